#pragma once
// The control lines boardsim takes on its standard input, one a line. One table holds each
// command's words, its arguments, what it does and the call it makes: the `help` answer and
// `boardsim --help` are printed from it, and a test holds the README and the manual page to it.

#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/boardsim/board_simulator.h"

namespace tarvelo::sim {

struct ControlCall {
    BoardSimulator& board;
    const std::string& word;  // the command as typed, for rows of several words
    std::istringstream& args;
    bool quit = false;
};

struct ControlCommand {
    const char* words;  // "stable | unstable": each alternative is a command of its own
    const char* args;   // "open|closed", "G"; empty for none
    const char* help;   // what it does; a '\n' continues it on the next line
    // The answer ("ok", a status, "error: ..."); nullopt when the arguments do not fit, which
    // answers "error: " and the usage.
    std::optional<std::string> (*run)(ControlCall& call);
};

std::span<const ControlCommand> control_commands();
// "span open|closed": the words and the arguments, as help prints them.
std::string control_usage(const ControlCommand& command);
std::string control_help();

// A number word, whole and within [lo, hi]: "1.5", "12g" and "" are none, and one beyond the
// range is refused rather than cut to fit. The control lines and the options read numbers so.
std::optional<long> whole_number(std::string_view word, long lo, long hi);
// The widest weight a board frame carries, eight digits: zero and tare taken off it still fit.
constexpr long kMostGrams = 99999999;

struct ControlAnswer {
    std::string text;  // empty for a blank line or a comment
    bool quit = false;
};
ControlAnswer run_control_line(BoardSimulator& board, const std::string& line);

// Cuts standard input into control lines. A line longer than kMaxControlLine bytes is dropped
// up to its end and told once, as it overflows: input without line ends (a file piped in by
// mistake) never makes the simulator grow without bound.
constexpr size_t kMaxControlLine = 1024;
class ControlInput {
  public:
    // The lines these bytes complete, in order; nullopt where a line was dropped.
    std::vector<std::optional<std::string>> feed(std::string_view bytes);

  private:
    std::string pending_;
    bool dropping_ = false;
};

}  // namespace tarvelo::sim
