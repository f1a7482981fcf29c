// The captures of this folder, each replayed through the three programs as a technician would at
// the desk: boardsim --replay plays the board, tarvelo runs on the settings the capture carries,
// ecrctl --replay plays the ECR, the two replayers kept in step by boardsim's clock. A capture
// that no longer replays is a change of behaviour someone must look at (record.sh takes the
// captures again once the change is known to be right).

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "platform/capture_format.h"
#include "tests/e2e/scale_run.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace tarvelo::test {
namespace {

const std::string kCaptures = SOURCE_DIR "/tests/captures/";

struct Replayed {
    int board = -1000, ecr = -1000;
    std::string board_out, ecr_out;
    std::string scale;  // the scale's traces and event log, for a replay that went wrong
};

// One replay of `file` at `speed`; the exit codes and what each replayer said.
Replayed replay(const std::string& file, const std::string& speed) {
    Replayed r;
    auto parsed = capture::parse(read_file(file));
    EXPECT_TRUE(parsed) << file << ": " << parsed.error();
    if (!parsed) return r;
    TempDir dir;
    ::chmod(dir.path().c_str(), 0700);
    Process board(BIN_DIR "/boardsim",
                  {"--link", dir.file("board"), "--replay", file, "--speed", speed, "--sync",
                   dir.file("sync"), "--settings", dir.file("tarvelo.ini")},
                  dir.path(), {}, dir.file("boardsim"));
    EXPECT_TRUE(board.wait_output("ready:", 10000)) << board.err();
    std::map<std::string, std::string> env{{"XDG_RUNTIME_DIR", dir.path()},
                                           {"QT_QPA_PLATFORM", "offscreen"}};
    if (parsed->header.divisor > 0)
        env["TARVELO_TIME_DIVISOR"] = std::to_string(parsed->header.divisor);
    Process scale(BIN_DIR "/tarvelo", {"--config", "tarvelo.ini"}, dir.path(), env,
                  dir.file("tarvelo"));
    Process ecr(BIN_DIR "/ecrctl",
                {"--pipe", parsed->header.pipe, "--replay", file, "--sync", dir.file("sync")},
                dir.path(), {{"XDG_RUNTIME_DIR", dir.path()}}, dir.file("ecrctl"));
    r.ecr = ecr.wait_exit(120000);
    r.board = board.wait_exit(30000);
    r.ecr_out = ecr.out() + ecr.err();
    r.board_out = board.out() + board.err();
    scale.stop();
    r.scale = "\ntarvelo's output:\n" + scale.out() + scale.err() + "\nits event log:\n";
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().filename().string().rfind("log_", 0) == 0)
            r.scale += read_file(entry.path().string());
    EXPECT_EQ(scale.err().find("Sanitizer"), std::string::npos) << scale.err();
    EXPECT_EQ(scale.err().find("runtime error"), std::string::npos) << scale.err();
    return r;
}

struct Case {
    const char* name;
    const char* speed;  // 1 where the scale's own time-outs are part of what the capture shows
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name << " at speed " << c.speed;
}

class Captures : public ::testing::TestWithParam<Case> {};

TEST_P(Captures, ReplayAsCaptured) {
    Replayed r = replay(kCaptures + GetParam().name + ".txt", GetParam().speed);
    EXPECT_EQ(r.ecr, 0) << r.ecr_out << r.scale;
    EXPECT_EQ(r.board, 0) << r.board_out;
    EXPECT_NE(r.ecr_out.find(", 0 differ"), std::string::npos) << r.ecr_out;
}

INSTANTIATE_TEST_SUITE_P(Replay, Captures,
                         ::testing::Values(Case{"xon-weight-sale", "2"},
                                           Case{"letter-weight-sale", "1"},
                                           Case{"quantity-sale", "2"}, Case{"lost-link", "1"},
                                           Case{"handshake-reverify", "2"},
                                           Case{"damaged-frames", "1"}),
                         [](const ::testing::TestParamInfo<Case>& p) {
                             return std::regex_replace(p.param.name, std::regex("-"), "_");
                         });

// A copy of a capture with the first line that matches `pattern` changed as `change` says.
std::string changed_copy(const TempDir& dir, const std::string& name, const std::regex& pattern,
                         const std::string& change) {
    std::istringstream in(read_file(kCaptures + name));
    std::string out, line;
    bool done = false;
    while (std::getline(in, line)) {
        if (!done && std::regex_search(line, pattern)) {
            line =
                std::regex_replace(line, pattern, change, std::regex_constants::format_first_only);
            done = true;
        }
        out += line + "\n";
    }
    EXPECT_TRUE(done) << "nothing to change in " << name;
    std::string file = dir.file(name);
    std::ofstream(file) << out;
    return file;
}

// One reply byte changed in the capture (the last digit of a total price: 449 becomes 448) fails
// the replay, with the field named.
TEST(CaptureReplay, AChangedReplyByteFails) {
    TempDir dir;
    std::string file = changed_copy(
        dir, "xon-weight-sale.txt",
        std::regex("(scale>ecr 02 30 32 1B 33 1B 30 31 35 30 30 1B 30 30 30 32 39 39 1B 30 30 30 "
                   "34 34) 39 03"),
        "$1 38 03");
    Replayed r = replay(file, "2");
    EXPECT_EQ(r.ecr, 1) << r.ecr_out;
    EXPECT_NE(r.ecr_out.find("DIFFERS"), std::string::npos) << r.ecr_out;
    EXPECT_NE(r.ecr_out.find("total price at 19: \"000448\" in the capture, \"000449\" now"),
              std::string::npos)
        << r.ecr_out;
    EXPECT_NE(r.ecr_out.find(", 1 differ"), std::string::npos) << r.ecr_out << r.scale;
    EXPECT_EQ(r.board, 0) << r.board_out;
}

// One byte the scale sends the board changed in the capture (a preset tare of 200 g recorded as
// 300 g) fails the board's replay, with the line named.
TEST(CaptureReplay, AChangedCommandByteFails) {
    TempDir dir;
    std::string file =
        changed_copy(dir, "xon-weight-sale.txt", std::regex("pc>board 02 57 55 30 30 30 32 30 30"),
                     "pc>board 02 57 55 30 30 30 33 30 30");
    Replayed r = replay(file, "2");
    EXPECT_EQ(r.board, 1) << r.board_out;
    EXPECT_TRUE(std::regex_search(
        r.board_out, std::regex("DIFFERS: line [0-9]+ \\([0-9.]+ s\\): the scale sent the board "
                                "02 57 55 30 30 30 32 30 30 03 03; the capture has 02 57 55 30 "
                                "30 30 33 30 30 03 03")))
        << r.board_out;
    EXPECT_EQ(r.ecr, 0) << r.ecr_out;
}

// A capture started by SIGUSR2 while the scale runs begins in the middle of the session: the
// board replay answers the scale's own start-up first, and the recorded session then replays.
TEST(CaptureReplay, ACaptureStartedWhileTheScaleRunsReplays) {
    TempDir dir;
    std::string file;
    {
        Scale s;
        ASSERT_TRUE(s.ready()) << s.tarvelo->err();
        ::kill(s.tarvelo->pid(), SIGUSR2);
        ASSERT_TRUE(s.tarvelo->wait_output("tarvelo: capture started: ", 10000, true))
            << s.tarvelo->err();
        auto ecrctl = [&](const std::vector<std::string>& words) {
            std::vector<std::string> args{"--pipe", "ecr"};
            args.insert(args.end(), words.begin(), words.end());
            Process p(BIN_DIR "/ecrctl", args, s.dir.path(), s.client_env(), s.dir.file("ecrctl"));
            return p.wait_exit(20000);
        };
        EXPECT_EQ(ecrctl({"price", "2.99"}), 0);
        s.board_line("weight 1500");
        // The session being recorded: the platform settles before the ECR reads it.
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        EXPECT_EQ(ecrctl({"enq"}), 0);
        // A second SIGUSR2 ends the capture, never the scale.
        ::kill(s.tarvelo->pid(), SIGUSR2);
        ASSERT_TRUE(s.tarvelo->wait_output("tarvelo: capture ended: ", 10000, true))
            << s.tarvelo->err();
        EXPECT_TRUE(s.tarvelo->running());
        std::smatch m;
        std::string err = s.tarvelo->err();
        ASSERT_TRUE(std::regex_search(err, m, std::regex("capture started: (\\S+)")));
        file = dir.file("running.txt");
        std::filesystem::copy_file(m[1].str(), file);
        EXPECT_EQ(std::filesystem::path(m[1].str()).parent_path(), s.dir.path());
    }
    auto parsed = capture::parse(read_file(file));
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->header.start, "running");
    EXPECT_EQ(parsed->records.back().kind, capture::Kind::end);

    Replayed r = replay(file, "1");
    EXPECT_EQ(r.ecr, 0) << r.ecr_out << r.scale;
    EXPECT_EQ(r.board, 0) << r.board_out << "\nthe capture:\n" << read_file(file);
    EXPECT_NE(r.board_out.find("the scale has started; the recorded session begins"),
              std::string::npos)
        << r.board_out;
}

// SIGUSR2 any number of times in a row: the scale goes on, every capture it began has a file of
// its own (two in one second never share a name, the later emptying the earlier), and each file
// ends in order.
TEST(CaptureReplay, ASignalStormLeavesTheScaleAndEveryCaptureWhole) {
    Scale s;
    ASSERT_TRUE(s.ready()) << s.tarvelo->err();
    auto count = [&](const std::string& what) {
        std::string err = s.tarvelo->err();
        size_t n = 0;
        for (size_t at = 0; (at = err.find(what, at)) != std::string::npos; at += what.size()) ++n;
        return n;
    };
    // Begun and ended one after another, each taken before the next: several in one second.
    for (size_t i = 1; i <= 3; ++i) {
        for (const char* what : {"capture started: ", "capture ended: "}) {
            ::kill(s.tarvelo->pid(), SIGUSR2);
            ASSERT_TRUE(test::wait_until([&] { return count(what) == i; }, 10000))
                << s.tarvelo->err();
        }
    }
    // Then a storm, the signals coming faster than the scale takes them.
    for (int i = 0; i < 40; ++i) ::kill(s.tarvelo->pid(), SIGUSR2);
    // The storm has been taken once standard error has stood still for a second; one more
    // signal then ends a capture it left running.
    std::string seen;
    auto since = std::chrono::steady_clock::now();
    test::wait_until(
        [&] {
            if (std::string now = s.tarvelo->err(); now != seen) {
                seen = now;
                since = std::chrono::steady_clock::now();
            }
            return std::chrono::steady_clock::now() - since > std::chrono::seconds(1);
        },
        20000, 50);
    if (count("capture started: ") > count("capture ended: ")) ::kill(s.tarvelo->pid(), SIGUSR2);
    EXPECT_TRUE(test::wait_until(
        [&] { return count("capture started: ") == count("capture ended: "); }, 10000))
        << s.tarvelo->err();
    EXPECT_TRUE(s.tarvelo->running());
    std::string err = s.tarvelo->err();
    std::set<std::string> files;
    const std::regex started("capture started: (\\S+)");
    for (std::sregex_iterator m(err.begin(), err.end(), started), e; m != e; ++m)
        files.insert((*m)[1].str());
    EXPECT_EQ(files.size(), count("capture started: ")) << err;
    for (const std::string& file : files) {
        auto parsed = capture::parse(read_file(file));
        ASSERT_TRUE(parsed) << file << ": " << parsed.error();
        ASSERT_FALSE(parsed->records.empty()) << file;
        EXPECT_EQ(parsed->records.back().kind, capture::Kind::end) << file;
    }
}

// The README's desk replay, run as it stands (the pipe's name as the capture says it): a good
// capture replays clean, and a file boardsim cannot play ends the script, with the reason,
// rather than leave it waiting for a board that never comes.
TEST(CaptureReplay, TheReadmesDeskReplayRuns) {
    std::string readme = read_file(SOURCE_DIR "/README.md");
    size_t at = readme.find("### Replay at the desk");
    ASSERT_NE(at, std::string::npos);
    size_t from = readme.find("```\n", at) + 4, to = readme.find("```\n", from);
    std::string script = std::regex_replace(readme.substr(from, to - from),
                                            std::regex("--pipe kv2170"), "--pipe ecr");
    const struct {
        const char* capture;
        const char* expect;
    } cases[] = {
        {"xon-weight-sale.txt", "ecrctl 0, boardsim 0"},
        {nullptr, "boardsim: shop.txt: line 3: "},
    };
    for (const auto& c : cases) {
        TempDir dir;
        if (c.capture)
            std::filesystem::copy_file(kCaptures + c.capture, dir.file("shop.txt"));
        else
            std::ofstream(dir.file("shop.txt"))
                << read_file(kCaptures + "xon-weight-sale.txt").substr(0, 200)
                << "\nnot a record\n";
        std::map<std::string, std::string> env{
            {"PATH", BIN_DIR ":" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "")},
            {"TARVELO_TIME_DIVISOR", "20"}};
        Process bash("/bin/bash", {"-c", script}, dir.path(), env, dir.file("bash"));
        EXPECT_EQ(bash.wait_exit(120000), 0) << bash.out() << bash.err();
        EXPECT_NE(bash.out().find(c.expect), std::string::npos) << bash.out() << bash.err();
    }
}

// A capture the scale's user may not write is refused before anything starts, with the reason:
// a technician must not find out at the desk that nothing was recorded. (Root may write
// anywhere, so the scale runs as a user of its own.)
TEST(CaptureReplay, ACaptureTheUserMayNotWriteIsRefused) {
    constexpr uid_t kShopUser = 64919;
    TempDir root_only;
    ::chmod(root_only.path().c_str(), 0755);
    Options o;
    o.user = kShopUser;
    o.scale_args = {"--capture", root_only.file("shop.txt")};
    Scale s(o);
    EXPECT_EQ(s.tarvelo->wait_exit(20000), 2) << s.tarvelo->err();
    EXPECT_NE(s.tarvelo->err().find("tarvelo: cannot capture: " + root_only.file("shop.txt") +
                                    ": Permission denied"),
              std::string::npos)
        << s.tarvelo->err();
    EXPECT_FALSE(std::filesystem::exists(root_only.file("shop.txt")));
}

}  // namespace
}  // namespace tarvelo::test
