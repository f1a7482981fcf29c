#include "client/ecr_replies.h"

#include <cstdio>

#include "client/ecr_decoder.h"
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

ReplyVerdict describe_status(char s1, char s0) {
    std::string head = "record 09 (status): s1=" + shown(s1) + " s0=" + shown(s0);
    if (s1 == '0' && s0 == '0') return {head + " (no error)", kPositive};
    std::string text = status_text(s1, s0);
    if (text == "Unknown Error") return {head + " (unknown status)", kNegative};
    return {head + " (" + text + ")", kNegative};
}

ReplyVerdict describe_complete(const std::string& b) {
    const Frame f = decode_reply(b);
    switch (f.kind) {
        case ReplyKind::ack:
            return {"ACK", kPositive};
        case ReplyKind::nak:
            return {"NAK (refused; `status` tells why)", kNegative};
        case ReplyKind::scale_data:
            return {format("record 02 (scale data, weight mode): weight=%d g, unit_price=%d, "
                           "total_price=%d",
                           f.weight, f.unit_price, f.total_price),
                    kPositive};
        case ReplyKind::quantity_data:
            return {format("record 32 (scale data, quantity mode): quantity=%d, unit_price=%d, "
                           "total_price=%d",
                           f.quantity, f.unit_price, f.total_price),
                    kPositive};
        case ReplyKind::tare:
            return {format("record 22 (tare): tare=%d g", f.tare), kPositive};
        case ReplyKind::status:
            return describe_status(f.s1, f.s0);
        case ReplyKind::cs_kw_request:
            return {format("record 11 (CS/KW request): random_number=%02x; the scale wants the "
                           "handshake (`handshake CS`)",
                           f.random_number),
                    kNegative};
        case ReplyKind::cs_kw_result: {
            const std::string head = "record 11 (CS/KW result): ";
            if (f.result == '1') return {head + "valid", kPositive};
            if (f.result == '0') return {head + "invalid", kNegative};
            return {head + "unknown result '" + shown(f.result) + "' (expected 1 or 0)", kNegative};
        }
        case ReplyKind::malformed:
            return {"malformed record " + f.name + ": " + f.problem + " (its layout is " +
                        f.layout + ")",
                    kNegative};
        default:
            return {"unrecognised reply: " + f.problem, kNegative};
    }
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
