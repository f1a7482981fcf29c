#pragma once
// The console tool's run: options, one command or a script, each request sent over a link
// that is opened only when a request is ready to go, and every exchange printed as hex and
// decoded, the request as well as the reply. decode and cskw never open the link, and a dry
// run prints the requests without sending them. main() only hands over its arguments and streams;
// tests hand over their own link.

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "client/ecrctl_commands.h"
#include "client/exchange.h"
#include "client/pipe_link.h"

namespace kestrin {

using Connector = std::function<std::unique_ptr<Link>(const std::string& pipe, std::string* error)>;
using Sleeper = std::function<void(int ms)>;

struct EcrctlEnv {
    Connector connect;
    MonotonicMs now = steady_ms;
    Sleeper sleep;
};

class EcrctlSession {
  public:
    // Longer than the scale's slowest reply. That is to the records that send the xon/xoff
    // board a command (06 zero, 07 tare, and 01, 03, 04, 05 when they change the tare), when the
    // board never answers: the wait for a stable weight (200 x 5 ms = 1000 ms), the pause
    // after DC2 (50 ms), the wait for the board's result (100 x 50 ms = 5000 ms), the pause
    // after DC1 (50 ms), and the serving loop's pause (10 ms): 6110 ms, measured 6.09 to
    // 6.13 s; 5.1 s with the weight already stable. An ENQ waits at most 40 x 50 ms for
    // stability; the letter-command board's commands are queued and answered at once. The
    // rest is margin for sleeps that overrun on a loaded machine. (A command the operator's
    // key or the calibration started just before holds the board first and adds its own time.)
    static constexpr int kDefaultTimeoutMs = 8000;
    static constexpr int kMaxTimeoutMs = 600000;
    static constexpr size_t kMaxReply = 128;

    EcrctlSession(std::ostream& out, std::ostream& err, EcrctlEnv env, std::string pipe)
        : out_(out), err_(err), env_(std::move(env)), pipe_(std::move(pipe)) {}

    // One command's words; the exit code of its outcome.
    int run(const std::vector<std::string>& words);
    int run(const Command& command);
    // Commands from a stream; the highest exit code of all that ran.
    int run_script(std::istream& in, bool stop_on_error);

    int timeout_ms = kDefaultTimeoutMs;
    // Print the requests that would go out, and open no pipe.
    bool dry_run = false;

  private:
    // Sends, reads the replies (the first into *reply), prints them all; the exit code of this
    // request.
    int request(const std::string& bytes, RawReply* reply = nullptr, size_t replies = 1);
    // "-> " and the bytes, then each request in them decoded.
    void print_request(const std::string& bytes);
    int handshake(const Command& c);
    int read(const Command& c);

    std::ostream& out_;
    std::ostream& err_;
    EcrctlEnv env_;
    std::string pipe_;
    std::unique_ptr<Link> link_;
};

// The whole program: `args` without the program name.
int ecrctl_main(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err, EcrctlEnv env);

}  // namespace kestrin
