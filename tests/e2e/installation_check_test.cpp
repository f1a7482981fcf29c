// tarvelo --check against the board simulator: a good set-up passes; a missing device, a device
// the user may not open, a silent board, a board of the other type and a board that a running
// scale holds are each named as the cause, with what to do. What the check sends the board is
// read back from the simulator's own record of the line.

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/e2e/scale_run.h"

namespace tarvelo::test {
namespace {

// A user that no one on this machine is, for the checks that concern permissions.
constexpr uid_t kCheckUser = 64918;

struct Checked {
    int code = -1;
    std::string out, err;
    // The line of one check ("board frames"), or empty.
    std::string line(const std::string& check) const {
        std::istringstream lines(out);
        for (std::string l; std::getline(lines, l);)
            if (l.size() > 6 && l.compare(6, check.size() + 1, check + ":") == 0) return l;
        return {};
    }
};

class CheckRun {
  public:
    // A simulated board of `type`, with goods of 1234 g on it.
    void start_board(const std::string& type) {
        board = std::make_unique<Process>(
            BIN_DIR "/boardsim",
            std::vector<std::string>{"--link", dir.file("board"), "--type", type, "--weight",
                                     "1234", "--verbose"},
            dir.path(), std::map<std::string, std::string>{}, dir.file("boardsim"));
        ASSERT_TRUE(board->wait_output("ready:", 5000)) << board->err();
    }
    void write_settings(const std::string& serial_port, int ad_type) {
        std::ofstream(dir.file("tarvelo.ini")) << "[scale]\nserial_port=" << serial_port
                                               << "\nad_type=" << ad_type << "\npipe_name=ecr\n";
    }
    // tarvelo --check in the run's directory; as `user` with `groups` (setpriv's list) when
    // not 0, with a runtime directory of that user's own.
    Checked check(uid_t user = 0, const std::string& groups = "") {
        std::string runtime = dir.path();
        std::string wrap = "exec \"$0\" --check";
        if (user != 0) {
            runtime = dir.file("run");
            std::filesystem::create_directory(runtime);
            EXPECT_EQ(chown(runtime.c_str(), user, user), 0);
            EXPECT_EQ(chmod(runtime.c_str(), 0700), 0);
            EXPECT_EQ(chmod(dir.path().c_str(), 0755), 0);
            const std::string id = std::to_string(user);
            wrap = "exec setpriv --reuid=" + id + " --regid=" + id +
                   (groups.empty() ? " --clear-groups" : " --groups=" + groups) + " \"$0\" --check";
        }
        Process p("/bin/sh", {"-c", wrap, BIN_DIR "/tarvelo"}, dir.path(),
                  {{"XDG_RUNTIME_DIR", runtime}}, dir.file("check"));
        Checked c;
        c.code = p.wait_exit(20000);
        c.out = p.out();
        c.err = p.err();
        return c;
    }
    // The bytes the board has received, one entry per unit ("11" for DC1), once `count` are in
    // (the last of them may still be on its way when the check has ended).
    std::vector<std::string> received(size_t count) {
        std::vector<std::string> units;
        wait_until(
            [&] {
                units.clear();
                std::istringstream lines(board->out());
                for (std::string l; std::getline(lines, l);)
                    if (l.rfind("rx: ", 0) == 0) units.push_back(l.substr(4));
                return units.size() >= count;
            },
            2000);
        return units;
    }

    TempDir dir;
    std::unique_ptr<Process> board;
};

std::string all(const Checked& c) {
    return c.out + c.err;
}

// Each board type on a good line: every check passes, the weight is read with the board's own
// codec, and the board hears its driver's stream-on byte and then its pause byte, nothing more.
TEST(InstallationCheck, PassesOnAGoodSetUpOfEitherBoard) {
    struct Case {
        const char* board;
        int ad_type;
        const char* frames;
        std::vector<std::string> sent;
    } cases[] = {
        {"xon",
         0,
         "frames of the xon/xoff board (ad_type=0); the last: weight 1.234 kg, tare "
         "0.000 kg, stable",
         {"11", "12"}},
        {"letter",
         1,
         "frames of the letter-command board (ad_type=1); the last: weight 1.234 kg, "
         "tare 0.000 kg, stable",
         {"11", "13"}},
    };
    for (const Case& k : cases) {
        CheckRun run;
        run.start_board(k.board);
        run.write_settings(run.dir.file("board"), k.ad_type);
        Checked c = run.check();
        EXPECT_EQ(c.code, 0) << k.board << all(c);
        for (const char* check : {"settings", "board device", "board open", "board frames",
                                  "scale library checksum", "ECR socket"})
            EXPECT_EQ(c.line(check).rfind("ok    ", 0), 0u) << k.board << " " << check << all(c);
        EXPECT_NE(c.line("board frames").find(k.frames), std::string::npos) << c.out;
        EXPECT_NE(c.out.find("tarvelo --check: all 6 checks passed"), std::string::npos) << c.out;
        EXPECT_EQ(run.received(2), k.sent) << k.board;
    }
}

// A board of the other type is recognised as such (both answer the same stream-on byte on a
// simulator's line), and it is paused with its own byte.
TEST(InstallationCheck, NamesABoardOfTheOtherType) {
    struct Case {
        const char* board;
        int ad_type;
        const char* says;
        std::vector<std::string> sent;
    } cases[] = {
        {"letter",
         0,
         "frames of the letter-command board arrive, not of the xon/xoff board that ad_type=0 "
         "names",
         {"11", "13"}},
        {"xon",
         1,
         "frames of the xon/xoff board arrive, not of the letter-command board that ad_type=1 "
         "names",
         {"11", "12"}},
    };
    for (const Case& k : cases) {
        CheckRun run;
        run.start_board(k.board);
        run.write_settings(run.dir.file("board"), k.ad_type);
        Checked c = run.check();
        EXPECT_EQ(c.code, 1) << all(c);
        const std::string frames = c.line("board frames");
        EXPECT_EQ(frames.rfind("FAIL  ", 0), 0u) << frames;
        EXPECT_NE(frames.find(k.says), std::string::npos) << frames;
        EXPECT_NE(frames.find("set ad_type=" + std::to_string(1 - k.ad_type) + " in " +
                              run.dir.file("tarvelo.ini")),
                  std::string::npos)
            << frames;
        EXPECT_EQ(run.received(2), k.sent) << k.board;
    }
}

// A board that sends nothing: both types are asked at their own line settings, each stream
// switched on and paused again, and the check says nothing arrived.
TEST(InstallationCheck, NamesASilentBoard) {
    CheckRun run;
    run.start_board("xon");
    run.board->send_line("silent");
    ASSERT_TRUE(run.board->wait_output("ok", 5000));
    run.write_settings(run.dir.file("board"), 0);
    Checked c = run.check();
    EXPECT_EQ(c.code, 1) << all(c);
    EXPECT_EQ(c.line("board frames"),
              "FAIL  board frames: no weight frame within 2 s of switching the stream on, at "
              "either board type's line settings (not a byte arrived): is the board powered and "
              "its cable in " +
                  run.dir.file("board") + "?")
        << c.out;
    EXPECT_EQ(run.received(4), (std::vector<std::string>{"11", "12", "11", "13"}));
}

TEST(InstallationCheck, NamesAMissingDevice) {
    CheckRun run;
    run.write_settings(run.dir.file("no-board"), 0);
    Checked c = run.check();
    EXPECT_EQ(c.code, 1) << all(c);
    EXPECT_EQ(c.line("board device"),
              "FAIL  board device: " + run.dir.file("no-board") +
                  " does not exist: is the board's adapter plugged in? ls -l /dev/serial/by-id/ "
                  "lists the boards' stable names")
        << c.out;
    EXPECT_EQ(c.line("board open"), "skip  board open: no usable device") << c.out;
    EXPECT_EQ(c.line("settings").rfind("ok    ", 0), 0u) << c.out;
}

// The device belongs to a group the user is not in: the check names the group and what to do,
// sends the board nothing, and passes once the user runs with that group. The scale's own
// start-up says the same beside its "Scale initialize failed!".
TEST(InstallationCheck, NamesTheGroupOfADeviceTheUserMayNotOpen) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run as a throw-away user";
    const group* dialout = getgrnam("dialout");
    if (!dialout) GTEST_SKIP() << "no dialout group here";
    const std::string gid = std::to_string(dialout->gr_gid);
    CheckRun run;
    run.start_board("xon");
    const std::string device = std::filesystem::canonical(run.dir.file("board")).string();
    ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(device.c_str(), 0660), 0);
    run.write_settings(run.dir.file("board"), 0);

    Checked refused = run.check(kCheckUser);
    EXPECT_EQ(refused.code, 1) << all(refused);
    const std::string line = refused.line("board device");
    EXPECT_EQ(line.rfind("FAIL  board device: " + run.dir.file("board") + " (" + device +
                             "): Permission denied for user uid " + std::to_string(kCheckUser) +
                             " (owner root, group dialout, mode 0660)",
                         0),
              0u)
        << line;
    EXPECT_NE(line.find("the user is not in group dialout; as root: usermod -aG dialout USER, "
                        "then log in again after usermod"),
              std::string::npos)
        << line;
    EXPECT_TRUE(run.received(0).empty());

    Checked allowed = run.check(kCheckUser, gid);
    EXPECT_EQ(allowed.code, 0) << all(allowed);

    std::ofstream(run.dir.file("tarvelo.ini"), std::ios::app) << "[windowMain1]\nw=800\nh=60\n";
    Process scale("/bin/sh",
                  {"-c",
                   "exec setpriv --reuid=" + std::to_string(kCheckUser) +
                       " --regid=" + std::to_string(kCheckUser) + " --clear-groups \"$0\"",
                   BIN_DIR "/tarvelo"},
                  run.dir.path(),
                  {{"XDG_RUNTIME_DIR", run.dir.file("run")},
                   {"QT_QPA_PLATFORM", "offscreen"},
                   {"TARVELO_TIME_DIVISOR", "20"}},
                  run.dir.file("scale"));
    EXPECT_EQ(scale.wait_exit(20000), 1) << scale.err();
    const std::string err = scale.err();
    const size_t hint = err.find("tarvelo: " + run.dir.file("board") + " (" + device +
                                 "): Permission denied for user uid " + std::to_string(kCheckUser));
    EXPECT_NE(hint, std::string::npos) << err;
    EXPECT_NE(err.find("log in again after usermod", hint), std::string::npos) << err;
    EXPECT_NE(err.find("Scale initialize failed!", hint), std::string::npos) << err;
}

// With a scale running, the check names it as the holder of the board and the server of the
// socket, and leaves it alone: not a byte goes to its board, no connection to its socket (its
// event log stays as it was), and it goes on weighing.
TEST(InstallationCheck, NamesARunningScaleAndLeavesItAlone) {
    Scale s;
    ASSERT_TRUE(s.ready()) << s.tarvelo->err();
    const std::string received_before = s.board->out();
    const std::string log_before = s.logs();
    Process p(BIN_DIR "/tarvelo", {"--check"}, s.dir.path(), {{"XDG_RUNTIME_DIR", s.dir.path()}},
              s.dir.file("check"));
    Checked c{p.wait_exit(20000), p.out(), p.err()};
    EXPECT_EQ(c.code, 1) << all(c);
    const std::string holder = "tarvelo (pid " + std::to_string(s.tarvelo->pid()) + ")";
    EXPECT_EQ(c.line("board open")
                  .rfind("FAIL  board open: " + s.dir.file("board") + " is held by " + holder, 0),
              0u)
        << c.out;
    EXPECT_EQ(c.line("board frames"), "skip  board frames: the board is not free") << c.out;
    EXPECT_NE(c.line("ECR socket").find(s.dir.file("ecr") + " is served by " + holder),
              std::string::npos)
        << c.out;
    EXPECT_EQ(s.board->out(), received_before);
    EXPECT_EQ(s.logs(), log_before);
    EXPECT_EQ(s.exchange("\x04\x02"
                         "01\x1b"
                         "000150\x1b\x03"),
              ACK);
    s.board_line("weight 1234");
    EXPECT_TRUE(enq_until(s, data02("01234", "000150", "000185")));
}

}  // namespace
}  // namespace tarvelo::test
