#pragma once
// One press of "Read" (the sequence in read_sequence.h) over kestrin's link, and how a reply
// is read off a link. Every message the operator sees goes through one function, so tests can
// read them.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "client/kestrin_protocol.h"
#include "client/pipe_link.h"

namespace kestrin {

using ShowMessage = std::function<void(const std::string&)>;
// Milliseconds of a monotonic clock; tests pass their own.
using MonotonicMs = std::function<int64_t()>;
int64_t steady_ms();

// One reply as it came off the link, and how its reading ended.
struct RawReply {
    enum class End {
        complete,  // its last byte is ETX, ACK or NAK
        full,      // the buffer filled before an end byte: an over-long reply
        timeout,   // the time-out ran out first (`bytes` holds what did arrive)
        failed,    // the connection closed or broke first (likewise)
    };
    std::string bytes;
    End end = End::failed;
};

// Reads one reply of at most `max` bytes. The time-out bounds the whole reply, not the gap
// between two bytes. Unless the reply is complete, the link is dropped, so that nothing of it
// can be taken for the answer to the next request.
RawReply receive_reply(Link* link, size_t max, int timeout_ms, const MonotonicMs& now = steady_ms);

// What a client judges of a reply: the bytes of one that ended or filled its buffer; nullopt
// when nothing whole arrived in time.
std::optional<std::string> judged(const RawReply& reply);

// Before a request goes out nothing may be waiting on the link: bytes there are more than a
// whole reply, or the answer to a request nobody waited for, and would be read as the answer
// to this one. Takes up to `max` of them without waiting; when there were any, or the scale
// has closed the connection, the link is dropped, so the request goes out on a fresh one.
std::string clear_left_over(Link* link, size_t max);

struct Reading {
    int32_t weight = 0;      // the last accepted weight (thousandths)
    int32_t unit_price = 0;  // the last accepted unit price (hundredths)
};

class Exchange {
  public:
    // The longest wait for a reply before a read fails: a scale that never answers must not
    // freeze the client's window for ever.
    static constexpr int kReplyTimeoutMs = 10000;

    Exchange(Link* link, ShowMessage show, int reply_timeout_ms = kReplyTimeoutMs,
             MonotonicMs now = steady_ms)
        : link_(link),
          show_(std::move(show)),
          timeout_ms_(reply_timeout_ms),
          now_(std::move(now)) {}

    // The whole exchange; true when it returned scale data (then `reading` holds the values
    // to display). On failure its own message and then "read weight error" have been shown.
    bool read(const std::string& cs_text, Reading& reading);

    // kestrin's view of one reply of at most `max` bytes: what was read when it ended or
    // filled the buffer; empty when nothing complete arrived in time.
    std::string read_reply(size_t max);

  private:
    void send(const std::string& request);

    Link* link_;
    ShowMessage show_;
    int timeout_ms_;
    MonotonicMs now_;
};

}  // namespace kestrin
