#pragma once
// A decoded frame told for a person: one line for every exchange ecrctl prints, and the
// table of `ecrctl decode`, with every field's unit (grams, pieces, the smallest currency
// unit per kg or per piece) and every status with what sets it.

#include <cstdio>
#include <optional>
#include <string>

#include "client/ecr_decoder.h"

namespace kestrin {

// "record 02 (scale data, weight mode): weight=1234 g, unit_price=299, total_price=369",
// "malformed record 01 (...): what is wrong; its layout is ...", "unrecognised reply: why".
std::string summary(const Frame& frame);

// printf into a string, for the short texts of the clients (at most 255 bytes).
std::string printf_text(const char* fmt, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// One character of a frame as a person reads it: itself when printable, else \xNN.
std::string shown(char c);

struct DecodeReport {
    std::string text;
    bool well_formed = false;
};

// `ecrctl decode`: the direction, the length and the summary on one line, then either one
// line per field (offset, content, meaning) or the bytes with a mark under the first wrong one.
DecodeReport decode_report(const std::string& bytes, std::optional<Direction> direction);

// `ecrctl cskw`: every step from the ECR's CS and the scale's random number to the pair and
// the record 10 that carries it.
std::string cs_kw_report(const std::string& cs_text, uint8_t random_number);

}  // namespace kestrin
