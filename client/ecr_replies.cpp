#include "client/ecr_replies.h"

#include <cstdio>
#include <vector>

#include "client/kestrin_protocol.h"

namespace kestrin {
namespace {

std::string format(const char* fmt, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// One character of a reply as a person reads it: itself when printable, else \xNN.
std::string shown(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x7F ? std::string(1, c) : format("\\x%02X", u);
}

// A signed, zero-filled decimal field of `width` characters ("01234", "-0012").
bool number_field(const std::string& s, int& value) {
    size_t i = !s.empty() && s[0] == '-' ? 1 : 0;
    if (i == s.size()) return false;
    int v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    value = s[0] == '-' ? -v : v;
    return true;
}

// STX nn ESC "3" then, for each width, ESC and a number field, then ETX and nothing after.
bool data_record(const std::string& b, std::initializer_list<size_t> widths,
                 std::vector<int>& values) {
    size_t length = 6 + widths.size();
    for (size_t w : widths) length += w;
    if (b.size() != length || b[3] != ESC || b[4] != '3' || b.back() != ETX) return false;
    size_t at = 5;
    for (size_t w : widths) {
        int v = 0;
        if (b[at] != ESC || !number_field(b.substr(at + 1, w), v)) return false;
        values.push_back(v);
        at += 1 + w;
    }
    return true;
}

ReplyVerdict malformed(const std::string& number, const char* layout) {
    return {"malformed record " + number + " (its layout is " + layout + ")", kNegative};
}

ReplyVerdict describe_status(char s1, char s0) {
    std::string head = "record 09 (status): s1=" + shown(s1) + " s0=" + shown(s0);
    if (s1 == '0' && s0 == '0') return {head + " (no error)", kPositive};
    std::string text = status_text(s1, s0);
    if (text == "Unknown Error") return {head + " (unknown status)", kNegative};
    return {head + " (" + text + ")", kNegative};
}

ReplyVerdict describe_complete(const std::string& b) {
    if (b == std::string(1, ACK)) return {"ACK", kPositive};
    if (b == std::string(1, NAK)) return {"NAK (refused; `status` tells why)", kNegative};
    // A record ends with ETX; an ACK or NAK after STX is not one.
    if (b.size() < 4 || b[0] != STX || b.back() != ETX) return {"unrecognised reply", kNegative};
    const std::string number = b.substr(1, 2);
    std::vector<int> v;
    if (number == "02") {
        if (!data_record(b, {5, 6, 6}, v))
            return malformed(number,
                             "STX 02 ESC 3 ESC weight(5) ESC unit price(6) ESC total price(6) ETX");
        return {format("record 02 (scale data, weight mode): weight=%d g, unit_price=%d, "
                       "total_price=%d",
                       v[0], v[1], v[2]),
                kPositive};
    }
    if (number == "32") {
        if (!data_record(b, {5, 6, 6}, v))
            return malformed(
                number, "STX 32 ESC 3 ESC quantity(5) ESC unit price(6) ESC total price(6) ETX");
        return {format("record 32 (scale data, quantity mode): quantity=%d, unit_price=%d, "
                       "total_price=%d",
                       v[0], v[1], v[2]),
                kPositive};
    }
    if (number == "22") {
        if (!data_record(b, {5}, v)) return malformed(number, "STX 22 ESC 3 ESC tare(5) ETX");
        return {format("record 22 (tare): tare=%d g", v[0]), kPositive};
    }
    if (number == "09") {
        if (b.size() != 7 || b[3] != ESC) return malformed(number, "STX 09 ESC s1 s0 ETX");
        return describe_status(b[4], b[5]);
    }
    if (number == "11") {
        if (b.size() == 8 && b[3] == ESC && b[4] == '2') {
            auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
            if (!hex(b[5]) || !hex(b[6]))
                return malformed(number, "STX 11 ESC 2 rr ETX, rr two lower-case hex digits");
            return {"record 11 (CS/KW request): random_number=" + b.substr(5, 2) +
                        "; the scale wants the handshake (`handshake CS`)",
                    kNegative};
        }
        if (b.size() == 6 && b[3] == ESC) {
            const std::string head = "record 11 (CS/KW result): ";
            if (b[4] == '1') return {head + "valid", kPositive};
            if (b[4] == '0') return {head + "invalid", kNegative};
            return {head + "unknown result '" + shown(b[4]) + "' (expected 1 or 0)", kNegative};
        }
        return malformed(number, "STX 11 ESC 2 rr ETX (request) or STX 11 ESC r ETX (result)");
    }
    return {"unrecognised reply", kNegative};
}

}  // namespace

ReplyVerdict describe_reply(const RawReply& r, int timeout_ms) {
    const size_t n = r.bytes.size();
    const char* bytes = n == 1 ? "byte" : "bytes";
    switch (r.end) {
        case RawReply::End::complete:
            return describe_complete(r.bytes);
        case RawReply::End::full:
            return {format("over-long reply: %zu %s without an ETX, ACK or NAK", n, bytes),
                    kNoReply};
        case RawReply::End::timeout:
            if (n == 0) return {format("no reply within %d ms", timeout_ms), kNoReply};
            return {format("incomplete reply: %zu %s within %d ms, no ETX, ACK or NAK", n, bytes,
                           timeout_ms),
                    kNoReply};
        case RawReply::End::failed:
            if (n == 0) return {"no reply: the connection closed", kNoReply};
            return {format("incomplete reply: the connection closed after %zu %s", n, bytes),
                    kNoReply};
    }
    return {"no reply", kNoReply};
}

}  // namespace kestrin
