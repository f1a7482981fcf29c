// The board simulator's own parts: the two board models read back by the scale's decoders, and
// the control lines with the places that list them.

#include <gtest/gtest.h>

#include <chrono>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "scale/letter_board_codec.h"
#include "scale/xon_board_codec.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"
#include "tools/boardsim/board_model.h"
#include "tools/boardsim/board_replay.h"
#include "tools/boardsim/control_commands.h"

namespace tarvelo::sim {
namespace {

// What the scale makes of bytes from the board, frame by frame: "w=1234" (a weight), "ad=N" (a
// count frame), "dropped" (a weight frame the decoder refuses), "cut" (over-long), "bad-check",
// "unknown" (no known kind), a reply's payload as text, and "~N" for N bytes outside any frame.
std::string read_as_the_scale(BoardType type, const std::vector<uint8_t>& bytes) {
    std::vector<std::string> out;
    int stray = 0;
    auto item = [&](std::string s) {
        if (stray) out.push_back("~" + std::to_string(stray)), stray = 0;
        out.push_back(std::move(s));
    };
    xo::FrameReader xon;
    lcmd::FrameReader letter;
    bool in_frame = false;
    for (uint8_t b : bytes) {
        if (!in_frame && b != xo::STX) ++stray;
        in_frame = in_frame || b == xo::STX;
        if (type == BoardType::xon) {
            auto p = xon.feed(b);
            if (!p) continue;
            in_frame = false;
            if (p->size() == xo::kMaxPayload) {
                item("cut");
            } else if (xo::classify_payload(p->data(), p->size()).kind != xo::PayloadKind::weight) {
                item(std::string(p->begin(), p->end()));
            } else {
                auto block = xo::parse_weight_frame(p->data(), p->size());
                item(block ? "w=" + std::to_string((*block)[xo::weight]) : "dropped");
            }
        } else {
            auto f = letter.feed(b);
            if (!f) continue;
            in_frame = false;
            if (f->result == -1) {
                item("bad-check");
            } else if (f->result == 256) {
                item("cut");
            } else if (f->result != 27) {
                item(std::string(f->payload.begin(), f->payload.end()));
            } else {
                lcmd::lcmd_status s = lcmd::decode_frame27(f->payload.data());
                int kind = lcmd::frame27_kind(f->payload.data());
                item(kind < 0    ? "unknown"
                     : kind == 0 ? "w=" + std::to_string(s.weight)
                                 : "ad=" + std::to_string(s.ad_count));
            }
        }
    }
    if (stray) out.push_back("~" + std::to_string(stray));
    std::string joined;
    for (const auto& s : out) joined += (joined.empty() ? "" : " ") + s;
    return joined;
}

// Damage hits the frame it is meant for, in the way it is meant to, as the scale's own
// decoders see it; one-shot damage is gone from the next frame, lasting damage is not.
TEST(BoardModels, DamageAsTheScaleReadsIt) {
    struct Case {
        BoardType type;
        const char* damage;
        void (*arm)(BoardState&);
        const char* first;
        const char* second;
    } cases[] = {
        {BoardType::xon, "none", [](BoardState&) {}, "w=1234", "w=1234"},
        {BoardType::xon, "corrupt", [](BoardState& s) { s.damage.corrupt = true; }, "~6 dropped",
         "w=1234"},
        {BoardType::xon, "garble", [](BoardState& s) { s.damage.garble = true; }, "dropped",
         "dropped"},
        {BoardType::xon, "garble and corrupt",
         [](BoardState& s) { s.damage.garble = s.damage.corrupt = true; }, "~6 dropped", "dropped"},
        {BoardType::xon, "overlong", [](BoardState& s) { s.damage.overlong = true; }, "cut ~46",
         "w=1234"},
        {BoardType::xon, "noise", [](BoardState& s) { s.damage.noise = true; }, "w=1234 ~9",
         "w=1234"},
        {BoardType::letter, "none", [](BoardState&) {}, "w=1234", "w=1234"},
        {BoardType::letter, "count frames", [](BoardState& s) { s.count_frames = true; },
         "ad=123456", "ad=123456"},
        {BoardType::letter, "corrupt", [](BoardState& s) { s.damage.corrupt = true; }, "bad-check",
         "w=1234"},
        {BoardType::letter, "garble", [](BoardState& s) { s.damage.garble = true; }, "unknown",
         "unknown"},
        {BoardType::letter, "overlong", [](BoardState& s) { s.damage.overlong = true; }, "cut ~45",
         "w=1234"},
        {BoardType::letter, "noise", [](BoardState& s) { s.damage.noise = true; }, "w=1234 ~9",
         "w=1234"},
    };
    for (const Case& c : cases) {
        auto model = BoardModel::create(c.type);
        BoardState state;
        state.gross = 1234;
        c.arm(state);
        std::string name = std::string(model->name()) + ", " + c.damage;
        EXPECT_EQ(read_as_the_scale(c.type, model->weight_frame(state)), c.first) << name;
        EXPECT_EQ(read_as_the_scale(c.type, model->weight_frame(state)), c.second) << name;
    }
}

// Frames built by the scale's own command encoders are taken; the same frames with a wrong
// check byte are not (the xon/xoff board names the frame it could not read).
TEST(BoardModels, AnswerCommandsFromTheScaleEncoders) {
    auto bad = [](std::vector<uint8_t> frame) {
        frame.back() ^= 0x40;
        return frame;
    };
    auto letter = [](char l, const char* data) { return *lcmd::encode_command(l, data); };
    struct Case {
        BoardType type;
        const char* what;
        std::vector<uint8_t> frame;
        void (*arm)(BoardState&);
        const char* answer;
        int32_t tare_after = 0;
    } cases[] = {
        {BoardType::xon, "tare", xo::encode_write_cmd('T'), [](BoardState&) {}, "W0"},
        {BoardType::xon, "preset tare", *xo::encode_write_cmd_with_data('U', "001500"),
         [](BoardState&) {}, "W0", 1500},
        {BoardType::xon, "tare below zero", xo::encode_write_cmd('T'),
         [](BoardState& s) { s.gross = -50; }, "W0", 0},
        {BoardType::xon, "zero under a tare", xo::encode_write_cmd('Z'),
         [](BoardState& s) { s.tare = 100; }, "W2", 100},
        {BoardType::xon, "integrity", xo::encode_integrity_request("1A2B3C4D"), [](BoardState&) {},
         "R0"},
        {BoardType::xon, "span closed", xo::encode_write_cmd('P'), [](BoardState&) {}, "W3"},
        {BoardType::xon, "bad check", bad(xo::encode_write_cmd('T')), [](BoardState&) {}, "W8"},
        {BoardType::xon, "bad check, integrity", bad(xo::encode_integrity_request("1A2B3C4D")),
         [](BoardState&) {}, "R8"},
        {BoardType::xon, "muted", xo::encode_write_cmd('T'), [](BoardState& s) { s.mute = true; },
         ""},
        {BoardType::xon, "armed failure", xo::encode_write_cmd('Z'),
         [](BoardState& s) {
             s.fail = BoardState::Fail{'Z', '4'};
         },
         "W4"},
        {BoardType::letter, "tare", letter('T', ""), [](BoardState&) {}, "R0"},
        {BoardType::letter, "integrity", letter('K', "1A2B3C4D"), [](BoardState&) {}, "R0"},
        {BoardType::letter, "firmware", letter('F', ""), [](BoardState&) {}, "R0123"},
        {BoardType::letter, "bad check", bad(letter('T', "")), [](BoardState&) {}, ""},
        {BoardType::letter, "reply armed", letter('T', ""),
         [](BoardState& s) {
             s.reply = BoardState::Reply{'E', '0', ""};
         },
         "E0"},
    };
    for (const Case& c : cases) {
        auto model = BoardModel::create(c.type);
        BoardState state;
        c.arm(state);
        EXPECT_EQ(read_as_the_scale(c.type, model->answer(state, c.frame)), c.answer)
            << model->name() << ", " << c.what;
        EXPECT_EQ(state.tare, c.tare_after) << model->name() << ", " << c.what;
    }
}

class ControlLines : public ::testing::Test {
  protected:
    void SetUp() override {
        Options options;
        options.link_path = dir_.file("board");
        std::string error;
        board_ = BoardSimulator::create(options, &error);
        ASSERT_NE(board_, nullptr) << error;
    }
    std::string run(const std::string& line) { return run_control_line(*board_, line).text; }

    test::TempDir dir_;
    std::unique_ptr<BoardSimulator> board_;
};

TEST_F(ControlLines, AnswerEachLine) {
    struct Case {
        const char* line;
        const char* answer;
    } cases[] = {
        {"weight", "error: weight needs grams"},
        // A number is whole and fits, and a line has no word too many: "weight 1.5" is not
        // 1 g, "weight 1 234" not 1 g, and no weight overflows the board's arithmetic.
        {"weight 1.5", "error: weight needs whole grams, -99999999 to 99999999"},
        {"weight 12g", "error: weight needs whole grams, -99999999 to 99999999"},
        {"weight 100000000", "error: weight needs whole grams, -99999999 to 99999999"},
        {"weight 1 234", "error: weight G"},
        {"counts 1 2x", "error: counts AD IR"},
        {"rate 5.5", "error: rate 1..100"},
        {"split 10ms", "error: split MS"},
        {"stable now", "error: stable | unstable"},
        {"reply R 0 A5 F0", "error: reply C R [DATA]"},
        {"weight +1500", "ok"},
        {"weight -99999999", "ok"},
        {"span ajar", "error: span open|closed"},
        {"counts 1", "error: counts AD IR"},
        {"countframes maybe", "error: countframes on|off"},
        {"rate 0", "error: rate 1..100"},
        {"rate 101", "error: rate 1..100"},
        {"mute", "error: mute on|off"},
        {"fail T 33", "error: fail L|any R"},
        {"fail TT 3", "error: fail L|any R"},
        {"fail any x", "error: fail L|any R"},
        {"integrity maybe", "error: integrity fail|pass"},
        {"garble 1", "error: garble on|off"},
        {"reply R", "error: reply C R [DATA]"},
        {"split -1", "error: split MS"},
        {"frobnicate 3", "error: unknown command 'frobnicate' (try help)"},
        {"", ""},
        {"# a comment", ""},
        {"fail any 3", "ok"},
        {"reply E 0", "ok"},
        {"split 0", "ok"},
        {"garble off", "ok"},
        {"integrity pass", "ok"},
        {"quit", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.line), c.answer) << c.line;
    EXPECT_TRUE(run_control_line(*board_, "quit").quit);
    EXPECT_TRUE(run_control_line(*board_, "exit").quit);
    EXPECT_FALSE(run_control_line(*board_, "status").quit);

    // Each word reaches its own call: what they set, the status line shows.
    for (const char* line : {"weight 1500", "unstable", "overload", "span open", "counts 7 8",
                             "rate 20", "mute on", "silent"})
        EXPECT_EQ(run(line), "ok") << line;
    EXPECT_EQ(run("status"),
              "xon/xoff board: gross=1500 zero_offset=0 tare=0 net=1500 unstable overload "
              "span=open ad=7 ir=8 rate=20 paused silent mute");
    for (const char* line : {"stable", "underload", "span closed", "resume", "mute off"})
        EXPECT_EQ(run(line), "ok") << line;
    EXPECT_EQ(run("status"),
              "xon/xoff board: gross=1500 zero_offset=0 tare=0 net=1500 stable underload "
              "span=closed ad=7 ir=8 rate=20 paused");
}

// Lines as they come off standard input, in pieces; one that runs over is dropped up to its
// end and told once, and the next line is read whole.
TEST(ControlInput, CutsLinesAndDropsThoseThatRunOver) {
    const std::string longest(kMaxControlLine, 'x');
    using Lines = std::vector<std::optional<std::string>>;
    struct Case {
        const char* what;
        std::vector<std::string> pieces;
        Lines lines;
    } cases[] = {
        {"two lines at once", {"stable\nweight 5\n"}, {"stable", "weight 5"}},
        {"a line in pieces", {"wei", "ght 5", "\n"}, {"weight 5"}},
        {"no end yet", {"stable"}, {}},
        {"an empty line", {"\n"}, {""}},
        {"the longest line", {longest + "\n"}, {longest}},
        {"one byte over", {longest + "x", "\nstatus\n"}, {std::nullopt, "status"}},
        {"far over, never ended", {longest, longest, longest}, {std::nullopt}},
    };
    for (const Case& c : cases) {
        ControlInput input;
        Lines lines;
        for (const std::string& piece : c.pieces)
            for (auto& line : input.feed(piece)) lines.push_back(line);
        EXPECT_EQ(lines, c.lines) << c.what;
    }
}

// Every word of the table is a command, help lists each row once, and the program prints the
// same help for --help and for `help`, and ends on `quit`.
TEST_F(ControlLines, HelpComesFromTheTable) {
    std::string help = control_help();
    for (const ControlCommand& command : control_commands()) {
        std::string usage = control_usage(command);
        size_t at = help.find("\n  " + usage);
        ASSERT_NE(at, std::string::npos) << usage;
        EXPECT_NE(std::string(" \n").find(help[at + 3 + usage.size()]), std::string::npos) << usage;
        EXPECT_EQ(help.find("\n  " + usage, at + 1), std::string::npos) << usage;
        std::istringstream words(command.words);
        for (std::string word; words >> word;) {
            if (word == "|" || word == "quit" || word == "exit") continue;
            EXPECT_EQ(run(word).rfind("error: unknown", 0), std::string::npos) << word;
        }
    }

    test::TempDir dir;
    test::Process usage(BIN_DIR "/boardsim", {"--help"}, dir.path(), {}, dir.file("usage"));
    EXPECT_EQ(usage.wait_exit(10000), 0);
    EXPECT_NE(usage.out().find(help), std::string::npos) << usage.out();

    test::Process board(BIN_DIR "/boardsim", {"--link", dir.file("board")}, dir.path(), {},
                        dir.file("sim"));
    ASSERT_TRUE(board.wait_output("ready:", 10000)) << board.err();
    board.send_line("help");
    EXPECT_TRUE(board.wait_output(help, 10000)) << board.out();
    board.send_line("quit");
    EXPECT_EQ(board.wait_exit(10000), 0);
}

// A number on the command line is read as on a control line: "--weight 1.5" is refused, not
// 1 g. The options are read before the link is made.
TEST(BoardsimOptions, ANumberThatDoesNotFitIsRefused) {
    test::TempDir dir;
    for (std::vector<std::string> args : {std::vector<std::string>{"--weight", "1.5"},
                                          {"--weight", "100000000"},
                                          {"--rate", "10x"},
                                          {"--corrupt-percent", "101"}}) {
        args.insert(args.begin(), {"--link", dir.file("board")});
        test::Process board(BIN_DIR "/boardsim", args, dir.path(), {}, dir.file("sim"));
        EXPECT_EQ(board.wait_exit(10000), 2) << args[3];
        EXPECT_NE(board.err().find("boardsim: " + args[2] + " must be"), std::string::npos)
            << board.err();
        EXPECT_FALSE(std::filesystem::exists(dir.file("board"))) << args[3];
    }
}

std::string read_source(const char* path) {
    std::ifstream in(std::string(SOURCE_DIR) + "/" + path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> table_usages() {
    std::vector<std::string> out;
    for (const ControlCommand& command : control_commands()) out.push_back(control_usage(command));
    return out;
}

// The README and the manual page list the control lines of the table, in its order, and the
// README's examples are lines the table takes.
TEST_F(ControlLines, DocumentsListTheTable) {
    std::string readme = read_source("README.md");
    size_t from = readme.find("Control lines on its standard input");
    ASSERT_NE(from, std::string::npos);
    std::string paragraph = readme.substr(from, readme.find("\n\n", from) - from);
    std::vector<std::string> listed;
    std::regex code("`([^`]+)`");
    for (std::sregex_iterator it(paragraph.begin(), paragraph.end(), code), end; it != end; ++it)
        if ((*it)[1] != "boardsim --help") listed.push_back((*it)[1]);
    std::vector<std::string> usages = table_usages();
    ASSERT_GE(listed.size(), usages.size());
    EXPECT_EQ(std::vector<std::string>(listed.begin(), listed.begin() + usages.size()), usages);
    for (size_t i = usages.size(); i < listed.size(); ++i)
        EXPECT_EQ(run(listed[i]), "ok") << listed[i];

    // Each entry of the manual's CONTROL LINES: ".TP", then the usage in roff.
    std::string page = read_source("packaging/man/boardsim.1");
    from = page.find(".SH CONTROL LINES\n");
    ASSERT_NE(from, std::string::npos);
    std::istringstream section(page.substr(from, page.find("\n.SH ", from + 1) - from));
    std::vector<std::string> entries;
    bool after_tp = false;
    for (std::string line; std::getline(section, line);) {
        if (after_tp) {
            line = std::regex_replace(line, std::regex(R"(^\.[A-Z]+ |\\f[BIRP]|")"), "");
            entries.push_back(std::regex_replace(line, std::regex(" +"), " "));
        }
        after_tp = line == ".TP";
    }
    EXPECT_EQ(entries, usages);
}

// The settings a capture carries, ready for the scale at the desk: serial_port names the
// replay's board, in [scale] whatever the case of its name and blanks; everything else stays.
TEST(BoardReplay, SettingsNameTheReplaysBoard) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"[scale]\nserial_port=COM4\nad_type=1\n", "[scale]\nserial_port=/r/b\nad_type=1\n"},
        {"[Scale]\n Serial_Port = /dev/ttyUSB0\n[spec]\nserial_port=x\n",
         "[Scale]\nserial_port=/r/b\n[spec]\nserial_port=x\n"},
        {"[windowMain1]\nw=800\n[scale]\npipe_name=kv2170\n[spec]\n",
         "[windowMain1]\nw=800\n[scale]\npipe_name=kv2170\nserial_port=/r/b\n[spec]\n"},
        {"[scale]\nad_type=0", "[scale]\nad_type=0\nserial_port=/r/b\n"},
        {"", "[scale]\nserial_port=/r/b\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(replay_settings(c.in, "/r/b"), c.out) << c.in;
}

// --speed X plays the board's side X times faster: a capture's 80 s, with nothing of the scale's
// to wait for, are over in 2 s at --speed 40 (the bound below is far from both). So long a quiet
// stretch is said before it is waited out.
TEST(BoardReplay, SpeedShortensTheCapturesTime) {
    test::TempDir dir;
    std::ofstream(dir.file("far.txt")) << "tarvelo-capture 1 board=xon start=program pipe=ecr\n"
                                          "0080000000 board>pc 02 30 03\n"
                                          "0080000001 end\n";
    const auto before = std::chrono::steady_clock::now();
    test::Process p(BIN_DIR "/boardsim",
                    {"--link", dir.file("board"), "--replay", "far.txt", "--speed", "40"},
                    dir.path(), {}, dir.file("sim"));
    EXPECT_EQ(p.wait_exit(60000), 0) << p.err();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20)) << p.out();
    EXPECT_NE(p.out().find("0 bytes from the scale compared, 0 differ"), std::string::npos)
        << p.out() << p.err();
    EXPECT_NE(
        p.out().find("replay: note: line 2 (80.000000 s): nothing happens in the capture for"),
        std::string::npos)
        << p.out();
}

// What --replay does not go with, and a file that is no capture, are refused before anything
// starts (exit status 2), with the reason.
TEST(BoardReplay, RefusedCommandLines) {
    test::TempDir dir;
    std::ofstream(dir.file("not.txt")) << "tarvelo-log 1\n";
    std::ofstream(dir.file("letter.txt"))
        << "tarvelo-capture 1 board=letter start=program pipe=ecr\n";
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--speed", "2"}, "go with --replay FILE"},
        {{"--replay", "letter.txt", "--rate", "20"}, "do not go with it"},
        {{"--replay", "letter.txt", "--speed", "0"}, "--speed must be 0.1 to 100"},
        {{"--replay", "letter.txt", "--speed", "fast"}, "--speed must be 0.1 to 100"},
        {{"--replay", "letter.txt", "--type", "xon"}, "holds a letter board, not xon"},
        {{"--replay", "not.txt"}, "not.txt: line 1: not a capture"},
        {{"--replay", "missing.txt"}, "missing.txt"},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::vector<std::string> args{"--link", dir.file("board")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        test::Process p(BIN_DIR "/boardsim", args, dir.path(), {}, dir.file(std::to_string(n++)));
        EXPECT_EQ(p.wait_exit(10000), 2) << c.error;
        EXPECT_NE(p.err().find(c.error), std::string::npos) << p.err();
    }
}

}  // namespace
}  // namespace tarvelo::sim
