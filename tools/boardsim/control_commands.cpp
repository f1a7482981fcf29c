#include "tools/boardsim/control_commands.h"

#include <cctype>
#include <charconv>
#include <climits>

namespace tarvelo::sim {
namespace {

const std::string kOk = "ok";

// One word of a pair: true for the first, false for the second, nullopt for anything else.
std::optional<bool> pick(std::istringstream& args, const char* first, const char* second) {
    std::string word;
    args >> word;
    if (word == first) return true;
    if (word == second) return false;
    return std::nullopt;
}

// The next word as a whole number within [lo, hi].
std::optional<long> whole(std::istringstream& args, long lo, long hi) {
    std::string word;
    if (!(args >> word)) return std::nullopt;
    return whole_number(word, lo, hi);
}

// Runs `set` with the picked word; nullopt (a usage error) when it is neither.
template <typename Set>
std::optional<std::string> picked(ControlCall& c, const char* first, const char* second, Set set) {
    std::optional<bool> value = pick(c.args, first, second);
    if (!value) return std::nullopt;
    set(c.board, *value);
    return kOk;
}

const ControlCommand kCommands[] = {
    {"weight", "G", "goods of G grams on the platform (gross; may be negative)",
     [](ControlCall& c) -> std::optional<std::string> {
         if ((c.args >> std::ws).eof()) return "error: weight needs grams";
         std::optional<long> grams = whole(c.args, -kMostGrams, kMostGrams);
         if (!grams) return "error: weight needs whole grams, -99999999 to 99999999";
         c.board.set_gross(static_cast<int32_t>(*grams));
         return kOk;
     }},
    {"stable | unstable", "", "the weight settles or keeps moving",
     [](ControlCall& c) -> std::optional<std::string> {
         c.board.set_stable(c.word == "stable");
         return kOk;
     }},
    {"overload | underload | normal", "", "the platform is over- or underloaded, or neither",
     [](ControlCall& c) -> std::optional<std::string> {
         c.board.set_load(c.word == "underload" ? 1 : c.word == "overload" ? 2 : 0);
         return kOk;
     }},
    {"span", "open|closed", "the calibration (span) switch",
     [](ControlCall& c) {
         return picked(c, "open", "closed", [](BoardSimulator& b, bool v) { b.set_span_open(v); });
     }},
    {"counts", "AD IR", "the converter's AD and internal counts",
     [](ControlCall& c) -> std::optional<std::string> {
         std::optional<long> ad = whole(c.args, INT32_MIN, INT32_MAX);
         std::optional<long> ir = whole(c.args, INT32_MIN, INT32_MAX);
         if (!ad || !ir) return std::nullopt;
         c.board.set_counts(static_cast<int32_t>(*ad), static_cast<int32_t>(*ir));
         return kOk;
     }},
    {"countframes", "on|off", "letter board: send count frames instead of weighing frames",
     [](ControlCall& c) {
         return picked(c, "on", "off", [](BoardSimulator& b, bool v) { b.set_count_frames(v); });
     }},
    {"rate", "N", "weight frames per second while switched on (1..100)",
     [](ControlCall& c) -> std::optional<std::string> {
         std::optional<long> hz = whole(c.args, 1, 100);
         if (!hz) return "error: rate 1..100";
         c.board.set_rate(static_cast<int>(*hz));
         return kOk;
     }},
    {"silent | resume", "", "stop every byte leaving the board (a lost link), or resume",
     [](ControlCall& c) -> std::optional<std::string> {
         c.board.set_silent(c.word == "silent");
         return kOk;
     }},
    {"mute", "on|off", "commands get no answer",
     [](ControlCall& c) {
         return picked(c, "on", "off", [](BoardSimulator& b, bool v) { b.set_mute(v); });
     }},
    {"fail", "L|any R", "the next command L (or any) is answered with result digit R",
     [](ControlCall& c) -> std::optional<std::string> {
         std::string letter, result;
         c.args >> letter >> result;
         if ((letter != "any" && letter.size() != 1) || result.size() != 1 ||
             !std::isdigit(static_cast<unsigned char>(result[0])))
             return std::nullopt;
         c.board.fail_next(letter == "any" ? 0 : letter[0], result[0]);
         return kOk;
     }},
    {"integrity", "fail|pass", "the start-up checksum check fails or passes",
     [](ControlCall& c) {
         return picked(c, "fail", "pass",
                       [](BoardSimulator& b, bool v) { b.set_integrity_fail(v); });
     }},
    {"corrupt", "",
     "the next weight frame is damaged (letter: bad check byte; xon: line\n"
     "noise, then a frame whose weight lost its decimal point)",
     [](ControlCall& c) -> std::optional<std::string> {
         c.board.send_corrupt();
         return kOk;
     }},
    {"overlong", "", "the next weight frame is 300 bytes long",
     [](ControlCall& c) -> std::optional<std::string> {
         c.board.send_overlong();
         return kOk;
     }},
    {"noise", "", "stray bytes after the next weight frame, outside any frame",
     [](ControlCall& c) -> std::optional<std::string> {
         c.board.send_noise();
         return kOk;
     }},
    {"garble", "on|off",
     "every weight frame damaged (xon: no decimal point; letter:\n"
     "no known kind, under a good check byte)",
     [](ControlCall& c) {
         return picked(c, "on", "off", [](BoardSimulator& b, bool v) { b.set_garble(v); });
     }},
    {"reply", "C R [DATA]",
     "the next command is answered with reply code C, result\n"
     "character R and DATA (e.g. reply E 0; reply R 0 A5F00C...)",
     [](ControlCall& c) -> std::optional<std::string> {
         std::string code, result, data;
         c.args >> code >> result >> data;
         if (code.size() != 1 || result.size() != 1) return std::nullopt;
         c.board.reply_next(code[0], result[0], data);
         return kOk;
     }},
    {"split", "MS", "frames leave byte by byte, MS milliseconds apart (0 = off)",
     [](ControlCall& c) -> std::optional<std::string> {
         std::optional<long> ms = whole(c.args, 0, INT_MAX);
         if (!ms) return std::nullopt;
         c.board.set_split_delay(static_cast<int>(*ms));
         return kOk;
     }},
    {"vanish | reappear", "", "the device disappears like an unplugged adapter, or returns",
     [](ControlCall& c) -> std::optional<std::string> {
         if (c.word == "vanish") {
             c.board.vanish();
             return kOk;
         }
         std::string error;
         if (!c.board.reappear(&error)) return "error: " + error;
         return kOk;
     }},
    {"status", "", "print the board's state",
     [](ControlCall& c) -> std::optional<std::string> { return c.board.status_line(); }},
    {"help", "", "this list",
     [](ControlCall&) -> std::optional<std::string> { return control_help(); }},
    {"quit | exit", "", "end the simulator, removing its link",
     [](ControlCall& c) -> std::optional<std::string> {
         c.quit = true;
         return "";
     }},
};

// A row takes at most as many words as its arguments' usage shows ("C R [DATA]": three).
size_t most_words(const ControlCommand& command) {
    std::istringstream usage(command.args);
    size_t n = 0;
    for (std::string word; usage >> word;) ++n;
    return n;
}

bool names(const ControlCommand& command, const std::string& word) {
    std::string_view words = command.words;
    for (size_t start = 0;;) {
        size_t bar = words.find(" | ", start);
        if (words.substr(start, bar - start) == word) return true;
        if (bar == std::string_view::npos) return false;
        start = bar + 3;
    }
}

}  // namespace

std::optional<long> whole_number(std::string_view word, long lo, long hi) {
    const char* first = word.data() + (word.size() > 1 && word[0] == '+' && word[1] != '-');
    const char* last = word.data() + word.size();
    long value = 0;
    auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last || value < lo || value > hi) return std::nullopt;
    return value;
}

std::span<const ControlCommand> control_commands() {
    return kCommands;
}

std::string control_usage(const ControlCommand& command) {
    std::string usage = command.words;
    if (*command.args) usage.append(" ").append(command.args);
    return usage;
}

std::string control_help() {
    constexpr size_t kUsageWidth = 20;
    const std::string indent(2 + kUsageWidth, ' ');
    std::string text = "Control lines (one per line on standard input):\n";
    for (const ControlCommand& command : kCommands) {
        std::string usage = control_usage(command);
        text += "  " + usage;
        if (usage.size() < kUsageWidth)
            text += std::string(kUsageWidth - usage.size(), ' ');
        else
            text += "\n" + indent;
        for (const char* c = command.help; *c; ++c)
            text += *c == '\n' ? "\n" + indent : std::string(1, *c);
        text += "\n";
    }
    return text;
}

ControlAnswer run_control_line(BoardSimulator& board, const std::string& line) {
    std::istringstream args(line);
    std::string word;
    args >> word;
    if (word.empty() || word[0] == '#') return {};
    for (const ControlCommand& command : kCommands) {
        if (!names(command, word)) continue;
        // A word too many is a mistyped line ("weight 1 234"), never ignored.
        std::istringstream all(line);
        size_t words = 0;
        for (std::string w; all >> w;) ++words;
        if (words - 1 > most_words(command)) return {"error: " + control_usage(command)};
        ControlCall call{board, word, args};
        std::optional<std::string> answer = command.run(call);
        return {answer ? *answer : "error: " + control_usage(command), call.quit};
    }
    return {"error: unknown command '" + word + "' (try help)"};
}

std::vector<std::optional<std::string>> ControlInput::feed(std::string_view bytes) {
    std::vector<std::optional<std::string>> lines;
    for (char c : bytes) {
        if (c == '\n') {
            if (!dropping_) lines.emplace_back(std::move(pending_));
            pending_.clear();
            dropping_ = false;
        } else if (dropping_) {
            continue;
        } else if (pending_.size() == kMaxControlLine) {
            lines.emplace_back(std::nullopt);
            pending_.clear();
            dropping_ = true;
        } else {
            pending_ += c;
        }
    }
    return lines;
}

}  // namespace tarvelo::sim
