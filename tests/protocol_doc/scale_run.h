#pragma once
// One run of the real programs for the document's tests: boardsim on a pty and tarvelo
// offscreen in a directory of their own, an ECR connection to the scale's socket, and eyes on
// the display bar (the window probe of the desktop tests) so that a change at the board is
// waited for until the scale shows it, never slept for.

#include <map>
#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace tarvelo::test {

struct RunOptions {
    std::string board = "xon";                    // or "letter"
    std::map<std::string, std::string> settings;  // verify, min_wgt_fg, ...
    // The pipe's name; the socket goes into the run's directory as XDG_RUNTIME_DIR, or, with
    // private_directory, into /tmp/tarvelo-UID/ (so the name must be unique on the machine).
    std::string pipe_name = "ecr";
    bool private_directory = false;
    bool connect = true;  // false: the socket is left to other clients (the scale serves one)
};

class ScaleRun {
  public:
    explicit ScaleRun(const RunOptions& options);
    ~ScaleRun();
    ScaleRun(const ScaleRun&) = delete;
    ScaleRun& operator=(const ScaleRun&) = delete;

    // Empty when the scale is ready and the ECR connected; else what went wrong.
    const std::string& problem() const { return problem_; }

    // Sends bytes as the ECR.
    bool send(const std::string& bytes);
    // Reads exactly n bytes within timeout_ms; fewer when the time-out or the end came first.
    std::string receive(size_t n, int timeout_ms);

    // A control line to the board simulator; then waits until the display bar shows the
    // weight and tare that the board now reports. Empty, or why the scale never showed them.
    std::string board_line(const std::string& line);
    // Waits until the customer window shows the item text (UTF-8); empty, or what it shows.
    std::string customer_text(const std::string& text);

    // The environment under which a client finds this run's socket.
    std::map<std::string, std::string> client_env() const;
    const TempDir& dir() const { return dir_; }

  private:
    struct BoardState {
        std::string weight, tare;  // as the display bar would show them; empty: no answer
    };
    BoardState board_state();
    // The texts of a window's controls by their id, as the window probe sees them now.
    std::map<std::string, std::string> shown(const std::string& window_class);

    RunOptions options_;
    TempDir dir_;
    std::string problem_;
    std::unique_ptr<Process> board_;
    std::unique_ptr<Process> scale_;
    int ecr_ = -1;
    int probe_ = -1;
    int dumps_ = 0;
};

}  // namespace tarvelo::test
