#include "client/ecr_replies.h"

#include <cstdio>

#include "client/ecr_decoder.h"
#include "client/frame_text.h"

namespace kestrin {
namespace {

// The exit code a whole reply earns.
int exit_code(const Frame& f) {
    switch (f.kind) {
        case ReplyKind::ack:
        case ReplyKind::scale_data:
        case ReplyKind::quantity_data:
        case ReplyKind::tare:
            return kPositive;
        case ReplyKind::status:
            return f.s1 == '0' && f.s0 == '0' ? kPositive : kNegative;
        case ReplyKind::cs_kw_result:
            return f.result == '1' ? kPositive : kNegative;
        default:
            return kNegative;
    }
}

ReplyVerdict describe_complete(const std::string& b) {
    const Frame f = decode_reply(b);
    return {summary(f), exit_code(f)};
}

}  // namespace

ReplyVerdict describe_reply(const RawReply& r, int timeout_ms) {
    const size_t n = r.bytes.size();
    const char* bytes = n == 1 ? "byte" : "bytes";
    switch (r.end) {
        case RawReply::End::complete:
            return describe_complete(r.bytes);
        case RawReply::End::full:
            return {printf_text("over-long reply: %zu %s without an ETX, ACK or NAK", n, bytes),
                    kNoReply};
        case RawReply::End::timeout:
            if (n == 0) return {printf_text("no reply within %d ms", timeout_ms), kNoReply};
            return {printf_text("incomplete reply: %zu %s within %d ms, no ETX, ACK or NAK", n,
                                bytes, timeout_ms),
                    kNoReply};
        case RawReply::End::failed:
            if (n == 0) return {"no reply: the connection closed", kNoReply};
            return {printf_text("incomplete reply: the connection closed after %zu %s", n, bytes),
                    kNoReply};
    }
    return {"no reply", kNoReply};
}

}  // namespace kestrin
