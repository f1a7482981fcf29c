#pragma once
// One run of the programs as processes for the end-to-end tests: boardsim on a pty, tarvelo
// offscreen in a directory of its own (optionally as another user), the ECR played over the
// socket. Readiness is waited for, never slept for.

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
    std::string board = "xon";
    std::string scale_section;  // extra lines for [scale]
    std::string spec_section;
    bool write_ini = true;
    bool start_board = true;
    std::vector<std::string> board_args;
    std::string main1_section, main2_section;  // lines that win over the defaults
    std::string serial_port;                   // empty: this run's own board
    std::string pipe_name = "ecr";
    std::map<std::string, std::string> env;  // over the run's own
    bool stdout_pipe = false;
    std::string wrap;  // a shell line that starts the scale as "$0" (to close its descriptors)
    // Non-empty: the settings go into this file of the run's directory, named by --config, and
    // ./tarvelo.ini names a board that is not there.
    std::string settings_file;
    // Not 0: the scale runs as this user (and group), which owns the run's directory and this
    // run's board; the test itself stays root.
    uid_t user = 0;
};

class Scale {
  public:
    explicit Scale(const Options& o = {});
    bool ready() { return tarvelo->wait_output("tarvelo: scale ready", 20000); }
    PipeClient& ecr();
    std::string exchange(const std::string& request, int timeout_ms = 5000);
    // Sends the board a control line.
    void board_line(const std::string& line) { board->send_line(line); }
    std::string logs();

    TempDir dir;
    std::unique_ptr<Process> board;
    std::unique_ptr<Process> tarvelo;
    std::unique_ptr<PipeClient> client;
};

// ENQ until the reply is `expected` (the board needs a moment to pass a new weight on).
bool enq_until(Scale& s, const std::string& expected);
// Reads the pipe until `text` has come or timeout_ms passed.
bool read_until(int fd, const std::string& text, int timeout_ms);
bool sanitizer_quiet(const std::string& err);

}  // namespace tarvelo::test
