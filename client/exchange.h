#pragma once
// One press of "Read": ask for the scale data, pass the CS/KW handshake when the scale asks
// for it, and fetch the status after a refusal. Every message the operator sees goes through
// one function, so tests can read them.

#include <functional>
#include <string>

#include "client/kestrin_protocol.h"
#include "client/pipe_link.h"

namespace kestrin {

using ShowMessage = std::function<void(const std::string&)>;

struct Reading {
    int32_t weight = 0;      // the last accepted weight (thousandths)
    int32_t unit_price = 0;  // the last accepted unit price (hundredths)
};

class Exchange {
public:
    // The longest wait for a reply before a read fails: a scale that never answers must not
    // freeze the client's window for ever.
    static constexpr int kReplyTimeoutMs = 10000;

    Exchange(Link* link, ShowMessage show, int reply_timeout_ms = kReplyTimeoutMs)
        : link_(link), show_(std::move(show)), timeout_ms_(reply_timeout_ms) {}

    // The whole exchange; true when it returned scale data (then `reading` holds the values
    // to display). On failure its own message and then "read weight error" have been shown.
    bool read(const std::string& cs_text, Reading& reading);

    // Reads one reply of at most `max` bytes; empty on failure or time-out.
    std::string read_reply(size_t max);

private:
    bool exchange(const std::string& cs_text, Reading& reading, bool& show_data);
    void ask_status();

    Link* link_;
    ShowMessage show_;
    int timeout_ms_;
};

}  // namespace kestrin
