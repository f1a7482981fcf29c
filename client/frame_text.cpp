#include "client/frame_text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "client/kestrin_protocol.h"

namespace kestrin {
namespace {

std::string format(const char* fmt, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// 299 -> "2.99", -4 -> "-0.04"; 1234 -> "1.234" with three places.
std::string decimal(int32_t v, int places) {
    const int scale = places == 3 ? 1000 : 100;
    const long long a = std::llabs(static_cast<long long>(v));
    return format("%s%lld.%0*lld", v < 0 ? "-" : "", a / scale, places, a % scale);
}

// What the scale does to set each status it sends; the others are in kestrin's table only.
const char* status_reason(char s1, char s0) {
    struct Row {
        char s1, s0;
        const char* reason;
    };
    static const Row rows[] = {
        {'0', '0', "no refusal since the last status request"},
        {'0', '1',
         "record 06 with a tare in effect, the rezero (06) or tare (07) failed, or ENQ (weight "
         "mode) or record 21 while the board link is lost"},
        {'1', '0',
         "a record number the scale does not serve, or a served record of the wrong "
         "length"},
        {'1', '2', "a preset tare above the tare limit of 5998 g, or below zero"},
        {'2', '0', "the weight did not become stable in time (ENQ)"},
        {'2', '1',
         "ENQ again without a change of weight, or a weight-mode unit price while "
         "unit-price entry is closed"},
        {'3', '0', "the weight is below the minimum weight of 40 g (ENQ)"},
        {'3', '1', "underload (ENQ)"},
        {'3', '2', "overload (ENQ)"},
    };
    for (const Row& r : rows)
        if (r.s1 == s1 && r.s0 == s0) return r.reason;
    return "this scale never sends it";
}

// A text as the scale keeps it (up to a zero byte, trailing blanks dropped), quoted; valid
// UTF-8 stays as it is.
std::string quoted_text(std::string t) {
    t = t.substr(0, t.find('\0'));
    while (!t.empty() && (t.back() == ' ' || (t.back() >= '\t' && t.back() <= '\r'))) t.pop_back();
    std::string out = "'";
    for (size_t i = 0; i < t.size();) {
        const size_t n = first_characters(t.substr(i, 4), 1).size();
        const auto u = static_cast<unsigned char>(t[i]);
        out += n > 1 || (u >= 0x20 && u < 0x7F) ? t.substr(i, n) : format("\\x%02X", u);
        i += n;
    }
    return out + "'";
}

bool quantity_mode(const Frame& f) {
    return f.name.size() == 2 && f.name[0] == '3';
}

std::string label(const Frame& f) {
    if (f.name.size() == 2 && f.name[0] >= '0' && f.name[0] <= '9')
        return "record " + f.name + " (" + f.title + ")";
    return f.name + " (" + f.title + ")";
}

// "name=value" of a field for the one-line summary; empty for the frame's fixed bytes.
std::string assignment(const Item& item) {
    switch (item.part) {
        case Part::weight:
            return format("weight=%d g", item.value);
        case Part::tare:
            return format("tare=%d g", item.value);
        case Part::quantity:
            return format("quantity=%d", item.value);
        case Part::unit_price:
            return format("unit_price=%d", item.value);
        case Part::total_price:
            return format("total_price=%d", item.value);
        case Part::text:
            return "text=" + quoted_text(item.bytes);
        case Part::cs:
            return "cs=" + item.bytes;
        case Part::kw:
            return "kw=" + item.bytes;
        default:
            return "";
    }
}

std::string request_summary(const Frame& f) {
    if (!f.well_formed()) {
        std::string head = "malformed request";
        if (!f.layout.empty()) head += " " + label(f);
        return head + ": " + f.problem + (f.layout.empty() ? "" : "; its layout is " + f.layout);
    }
    std::string fields;
    for (const Item& item : f.items)
        if (std::string a = assignment(item); !a.empty())
            fields += (fields.empty() ? "" : ", ") + a;
    return label(f) + (fields.empty() ? "" : ": " + fields);
}

std::string reply_summary(const Frame& f) {
    switch (f.kind) {
        case ReplyKind::ack:
            return "ACK";
        case ReplyKind::nak:
            return "NAK (refused; `status` tells why)";
        case ReplyKind::scale_data:
        case ReplyKind::quantity_data:
        case ReplyKind::tare:
            return request_summary(f);
        case ReplyKind::status: {
            std::string head = "record 09 (status): s1=" + shown(f.s1) + " s0=" + shown(f.s0);
            if (f.s1 == '0' && f.s0 == '0') return head + " (no error)";
            const std::string text = status_text(f.s1, f.s0);
            return head + " (" + (text == "Unknown Error" ? "unknown status" : text) + ")";
        }
        case ReplyKind::cs_kw_request:
            return format(
                "record 11 (CS/KW request): random_number=%02x; the scale wants the "
                "handshake (`handshake CS`)",
                f.random_number);
        case ReplyKind::cs_kw_result:
            if (f.result == '1') return "record 11 (CS/KW result): valid";
            if (f.result == '0') return "record 11 (CS/KW result): invalid";
            return "record 11 (CS/KW result): unknown result '" + shown(f.result) +
                   "' (expected 1 or 0)";
        case ReplyKind::malformed:
            return "malformed " + label(f) + ": " + f.problem + "; its layout is " + f.layout;
        default:
            return "unrecognised reply: " + f.problem;
    }
}

// The meaning of one field for the table of `decode`.
std::string meaning(const Frame& f, const Item& item) {
    const std::string per = quantity_mode(f) ? " per piece" : " per kg";
    const int32_t v = item.value;
    switch (item.part) {
        case Part::record_number:
            return "record number: " + std::string(f.title);
        case Part::constant:
            return "constant";
        case Part::weight:
            return format("weight: %d g (%s kg)", v, decimal(v, 3).c_str());
        case Part::quantity:
            return format("quantity: %d pieces", v);
        case Part::tare:
            return f.direction == Direction::request
                       ? format("preset tare: %d g (above 5998 g the scale refuses: status 1 2)", v)
                       : format("tare in effect: %d g", v);
        case Part::unit_price:
            return "unit price: " + decimal(v, 2) + per +
                   format(" (%d in the smallest currency unit)", v);
        case Part::total_price:
            return "total price: " + decimal(v, 2) +
                   format(" (%d in the smallest currency unit)", v);
        case Part::random_number:
            return format("random number 0x%02x: the CS turns left by %d, the KW right by %d", v,
                          v >> 4, v & 0x0F);
        case Part::s1:
            return "s1, the first status character";
        case Part::s0:
            return "s0: status " + shown(f.s1) + " " + shown(f.s0) + ", " +
                   status_text(f.s1, f.s0) + ": " + status_reason(f.s1, f.s0);
        case Part::result:
            return f.result == '1'   ? "result: valid"
                   : f.result == '0' ? "result: invalid"
                                     : "result: unknown (expected 1 or 0)";
        case Part::text:
            return "text: " + quoted_text(item.bytes) +
                   (item.bytes.find('\0') == std::string::npos
                        ? " (13 bytes, padded with blanks, which the scale drops)"
                        : " (13 bytes; the zero byte ends it: the scale drops what follows)");
        case Part::cs:
            return format("CS of pair %d", v);
        case Part::kw:
            return format("KW of pair %d (`ecrctl cskw CS RANDOM` computes it)", v);
        default:
            return "";
    }
}

std::string content(const Item& item) {
    if (item.part == Part::control) return part_name(Part::control, item.bytes[0]);
    std::string out = "\"";
    for (char c : item.bytes) out += shown(c);
    return out + "\"";
}

}  // namespace

std::string shown(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x7F ? std::string(1, c) : format("\\x%02X", u);
}

std::string summary(const Frame& frame) {
    return frame.direction == Direction::request ? request_summary(frame) : reply_summary(frame);
}

DecodeReport decode_report(const std::string& bytes, std::optional<Direction> direction) {
    const Frame f = !direction                         ? decode_frame(bytes)
                    : *direction == Direction::request ? decode_request(bytes)
                                                       : decode_reply(bytes);
    DecodeReport report;
    report.well_formed = f.well_formed();
    report.text = format("%s, %zu %s: ", f.direction == Direction::request ? "request" : "reply",
                         bytes.size(), bytes.size() == 1 ? "byte" : "bytes") +
                  summary(f) + "\n";
    if (!f.well_formed()) {
        // The bytes, and a mark under the first one that breaks the layout.
        report.text += "  " + hex_dump(bytes) + "\n  " + std::string(3 * f.problem_at, ' ') +
                       (f.problem_at < bytes.size() ? "^^" : "^") + " byte " +
                       std::to_string(f.problem_at) + "\n";
        return report;
    }
    size_t width = 0;
    for (const Item& item : f.items) width = std::max(width, content(item).size());
    for (const Item& item : f.items) {
        const std::string at = item.bytes.size() == 1 ? std::to_string(item.offset)
                                                      : format("%zu-%zu", item.offset,
                                                               item.offset + item.bytes.size() - 1);
        std::string line = format("  %-6s %-*s  %s", at.c_str(), static_cast<int>(width),
                                  content(item).c_str(), meaning(f, item).c_str());
        while (!line.empty() && line.back() == ' ') line.pop_back();
        report.text += line + "\n";
    }
    return report;
}

std::string cs_kw_report(const std::string& cs_text, uint8_t r) {
    const CsKwSteps s = cs_kw_steps(cs_text, r);
    const std::string pair = cs_kw_chars(cs_text, r);
    const std::string typed = cs_text.substr(0, 4);
    const bool hex = std::all_of(typed.begin(), typed.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    });
    std::string out = "CS " + cs_text + ", random number " + format("%02x", r) + "\n";
    out += format("  value      %04x      the CS's 4 characters as hexadecimal%s\n", s.value,
                  hex ? "" : " (one is not a hexadecimal digit: 0, as kestrin reads it)");
    out += format("  CS         %04x      bytes exchanged\n", s.cs_swapped);
    out += format("             %04x      rotated left by %d (random number >> 4)\n", s.cs, r >> 4);
    out += format("  KW         %04x      CRC-16 (polynomial 0x86A3, initial 0) over %02x %02x\n",
                  s.crc, s.value >> 8, s.value & 0xFF);
    out += format("             %04x      bytes exchanged\n", s.kw_swapped);
    out += format("             %04x      rotated right by %d (random number & 0x0F)\n", s.kw,
                  r & 0x0F);
    out += "  pair       " + pair + "  CS " + pair.substr(0, 4) + " and KW " + pair.substr(4) +
           ", each low byte first\n";
    out += "  record 10  " + hex_dump(cs_kw_record(pair)) + "\n";
    return out;
}

}  // namespace kestrin
