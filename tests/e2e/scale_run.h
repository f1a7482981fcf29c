#pragma once
// One run of the real programs as processes, for every test that needs them: boardsim on a pty
// and tarvelo offscreen in a directory of their own (optionally as another user), the ECR
// played over the scale's socket, control lines for the board, the event log, and (with
// watch_display) eyes on the windows through the window probe of the desktop tests, so that a
// change at the board is waited for until the scale shows it. Readiness is waited for, never
// slept for; every process is stopped by its id when the run ends.

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/pipe_endpoint.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace tarvelo::test {

extern const std::string ENQ, ACK, NAK, STATUS;
std::string status_reply(const char* s1s0);
std::string data02(const char* weight, const char* unit_price, const char* total);

struct Options {
    std::string board = "xon";  // or "letter"
    std::string scale_section;  // extra lines for [scale]
    std::string spec_section;
    bool write_ini = true;
    bool start_board = true;
    std::vector<std::string> board_args;
    std::string main1_section, main2_section;  // lines that win over the defaults
    std::string serial_port;                   // empty: this run's own board
    // The socket goes into the run's directory as XDG_RUNTIME_DIR unless env says otherwise;
    // an empty XDG_RUNTIME_DIR sends it into /tmp/tarvelo-UID/, where the name must be unique
    // on the machine.
    std::string pipe_name = "ecr";
    std::map<std::string, std::string> env;  // over the run's own
    bool stdout_pipe = false;
    // A shell line that starts the scale as "$0" with its command line "$@" (to close its
    // descriptors, to limit it).
    std::string wrap;
    // Non-empty: the settings go into this file of the run's directory, named by --config, and
    // ./tarvelo.ini names a board that is not there.
    std::string settings_file;
    // Not 0: the scale runs as this user (and group), which owns the run's directory and this
    // run's board; the test itself stays root.
    uid_t user = 0;
    // Loads the window probe into the scale, for board_line_shown() and customer_text().
    bool watch_display = false;
    std::vector<std::string> scale_args;  // more for the scale's command line
};

class Scale {
  public:
    explicit Scale(const Options& o = {});
    ~Scale();
    Scale(const Scale&) = delete;
    Scale& operator=(const Scale&) = delete;

    bool ready(int timeout_ms = 30000) {
        return tarvelo->wait_output("tarvelo: scale ready", timeout_ms);
    }
    // The ECR's connection, made at the first use.
    PipeClient& ecr();
    // One request and its whole reply (an ACK, a NAK, or up to the ETX).
    std::string exchange(const std::string& request, int timeout_ms = 5000);
    // Sends bytes as the ECR; false when there is no connection or it is closed.
    bool send(const std::string& bytes);
    // Reads exactly n bytes within timeout_ms; fewer when the time-out or the end came first.
    std::string receive(size_t n, int timeout_ms);

    // Sends the board a control line.
    void board_line(const std::string& line) { board->send_line(line); }
    // Sends the board a control line, then waits until the display bar shows the weight and
    // tare that the board now reports. Empty, or why the scale never showed them.
    std::string board_line_shown(const std::string& line);
    // Waits until the customer window shows the item text (UTF-8); empty, or what it shows.
    std::string customer_text(const std::string& text);
    // Waits until the board works on no command of the scale's: a letter-command board still
    // zeroes the platform for the start-up after the scale says it is ready, and goods put on
    // before that zero would be zeroed away.
    bool board_idle(int timeout_ms = 10000);

    std::string logs();
    // The environment under which a client finds this run's socket, and the socket's path.
    std::map<std::string, std::string> client_env() const;
    std::string socket_path() const;

    TempDir dir;
    std::unique_ptr<Process> board;
    std::unique_ptr<Process> tarvelo;
    std::unique_ptr<PipeClient> client;

  private:
    struct BoardState {
        std::string weight, tare;  // as the display bar would show them; empty: no answer
        bool paused = false;       // the scale has stopped the stream: a command is under way
    };
    BoardState board_state();
    // The texts of a window's controls by their id, as the window probe sees them now.
    std::map<std::string, std::string> shown(const std::string& window_class);

    std::string runtime_dir_;  // the scale's XDG_RUNTIME_DIR
    std::string pipe_name_;
    uid_t user_;
    int probe_ = -1;
    int dumps_ = 0;
};

// ENQ until the reply is `expected` (the board needs a moment to pass a new weight on).
bool enq_until(Scale& s, const std::string& expected);
// Reads the pipe until `text` has come or timeout_ms passed.
bool read_until(int fd, const std::string& text, int timeout_ms);
bool sanitizer_quiet(const std::string& err);

}  // namespace tarvelo::test
