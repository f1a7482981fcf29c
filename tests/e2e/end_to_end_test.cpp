// The programs as processes (scale_run.h): a sale in each mode, verification, the settings' sale
// flags, a lost or vanished board, start-up failures, and a host that is hostile or unlucky.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "client/exchange.h"
#include "client/pipe_link.h"
#include "tests/e2e/scale_run.h"

namespace tarvelo::test {
namespace {

TEST(EndToEnd, WeightModeSaleWithAutoClear) {
    Scale s;
    ASSERT_TRUE(s.ready()) << s.tarvelo->err();
    EXPECT_EQ(s.exchange("\x04\x02"
                         "04\x1b"
                         "000150\x1b"
                         "APPLES       \x03"),
              ACK);
    EXPECT_EQ(s.exchange("\x04\x02"
                         "01\x1b"
                         "000160\x1b\x03"),
              NAK);  // entry closed until goods go
    EXPECT_EQ(s.exchange(STATUS), status_reply("21"));
    s.board_line("weight 1234");
    ASSERT_TRUE(enq_until(s, data02("01234", "000150", "000185")));
    EXPECT_EQ(s.exchange(ENQ), NAK);  // once per weighing
    EXPECT_EQ(s.exchange(STATUS), status_reply("21"));
    // A change of weight opens the next reading; once it is served the display has seen the
    // goods (that same cycle armed the sale), so taking them off must clear it.
    s.board_line("weight 1240");
    ASSERT_TRUE(enq_until(s, data02("01240", "000150", "000186")));
    s.board_line("weight 0");
    // The auto clear re-opens unit-price entry once the goods are gone.
    EXPECT_TRUE(wait_until(
        [&] {
            return s.exchange(
                       "\x04\x02"
                       "01\x1b"
                       "000160\x1b\x03") == ACK;
        },
        5000));
    std::string log = s.logs();
    EXPECT_NE(log.find("receive: No. 04, unit price and text (weight mode), unit_price='000150', "
                       "text='APPLES       '"),
              std::string::npos);
    EXPECT_NE(log.find("   send: No. 02, scale data (weight mode): weight='01234', "
                       "unit_price='000150', total_price='000185'"),
              std::string::npos);
}

TEST(EndToEnd, QuantityModeAndPresetTareOnTheBoard) {
    Scale s;
    ASSERT_TRUE(s.ready());
    EXPECT_EQ(s.exchange("\x04\x02"
                         "03\x1b"
                         "000150\x1b"
                         "0200\x03"),
              ACK);
    // The preset tare reaches the board as 'U' with six digits between DC2 and DC1.
    EXPECT_TRUE(s.board->wait_output("rx: 02 57 55 30 30 30 32 30 30 03 03", 5000))
        << s.board->out();
    // The board's next weight frames carry the new tare.
    EXPECT_TRUE(wait_until(
        [&] {
            return s.exchange(
                       "\x04\x02"
                       "21\x03") ==
                   "\x02"
                   "22\x1b"
                   "3\x1b"
                   "00200\x03";
        },
        5000));
    EXPECT_EQ(s.exchange("\x04\x12"), ACK);  // hiding the windows ends nothing
    EXPECT_EQ(s.exchange("\x04\x11"), ACK);
    EXPECT_TRUE(s.tarvelo->running());
    EXPECT_EQ(s.exchange("\x04\x02"
                         "30\x03"),
              ACK);
    EXPECT_EQ(s.exchange("\x04\x02"
                         "33\x1b"
                         "000250\x1b"
                         "0003\x03"),
              ACK);
    EXPECT_EQ(s.exchange(ENQ),
              "\x02"
              "32\x1b"
              "3\x1b"
              "00003\x1b"
              "000250\x1b"
              "000750\x03");
}

TEST(EndToEnd, VerificationAndItsRenewalWithKestrin) {
    Scale s({.scale_section = "verify=1\n"});
    ASSERT_TRUE(s.ready());
    s.board_line("weight 500");
    setenv("XDG_RUNTIME_DIR", s.dir.path().c_str(), 1);
    std::string error;
    auto link = kestrin::PipeLink::open("ecr", &error);
    ASSERT_NE(link, nullptr) << error;
    std::vector<std::string> shown;
    kestrin::Reading reading;
    kestrin::Exchange ex(link.get(), [&](const std::string& t) { shown.push_back(t); });
    ASSERT_TRUE(
        wait_until([&] { return ex.read("1A2B", reading) && reading.weight == 500; }, 5000));
    EXPECT_EQ(shown.front(), "CS/KW result: valid");
    // 51 scale-data records later the handshake is demanded again; kestrin passes it on its own.
    for (int i = 0; i < 3 && link->write("\x04\x02"
                                         "30\x03");
         ++i)
        ex.read_reply(128);
    int served = 0;
    for (int i = 0; i < 60; ++i) {
        link->write("\x04\x05");
        std::string reply = ex.read_reply(128);
        if (reply.substr(0, 3) ==
            "\x02"
            "32")
            ++served;
        if (reply.substr(0, 3) ==
            "\x02"
            "11")
            break;
    }
    EXPECT_EQ(served, 50);  // plus the one kestrin read before: 51
    EXPECT_NE(s.logs().find("reached the max reading count"), std::string::npos);
}

// The [spec] flags reach the ECR link and the display: without the minimum weight a light
// article is sold; without the auto clear the unit price stands when the goods are gone.
TEST(EndToEnd, SpecFlagsAreHonoured) {
    Scale s({.spec_section = "min_wgt_fg=0\nauto_clear_fg=0\n"});
    ASSERT_TRUE(s.ready()) << s.tarvelo->err();
    EXPECT_EQ(s.exchange("\x04\x02"
                         "01\x1b"
                         "000150\x1b\x03"),
              ACK);
    s.board_line("weight 1234");
    ASSERT_TRUE(enq_until(s, data02("01234", "000150", "000185")));
    s.board_line("weight 20");
    ASSERT_TRUE(enq_until(s, data02("00020", "000150", "000003")));
    s.board_line("weight 0");
    ASSERT_TRUE(enq_until(s, data02("00000", "000150", "000000")));
}

TEST(EndToEnd, LetterBoardSale) {
    Scale s({.board = "letter"});
    ASSERT_TRUE(s.ready()) << s.tarvelo->err();
    EXPECT_EQ(s.exchange("\x04\x02"
                         "01\x1b"
                         "000299\x1b\x03"),
              ACK);
    s.board_line("weight 1234");
    EXPECT_TRUE(enq_until(s, data02("01234", "000299", "000369")));
}

TEST(EndToEnd, LostBoardLinkIsRefusedUntilFramesReturn) {
    Scale s;
    ASSERT_TRUE(s.ready());
    s.board_line("weight 800");
    ASSERT_TRUE(enq_until(s, data02("00800", "000000", "000000")));
    s.board_line("silent");
    s.board_line("weight 900");
    EXPECT_TRUE(wait_until(
        [&] { return s.exchange(ENQ) == NAK && s.exchange(STATUS) == status_reply("01"); }, 6000));
    // A tare on a lost link is refused at once and never reaches the board; the DC2/DC1 it
    // would have cost must not pass for a sign of life either.
    std::string board_before = s.board->out();
    EXPECT_EQ(s.exchange("\x04\x02"
                         "07\x03"),
              NAK);
    EXPECT_EQ(s.exchange(STATUS), status_reply("01"));
    EXPECT_EQ(s.exchange(ENQ), NAK);
    EXPECT_EQ(s.exchange(STATUS), status_reply("01"));
    EXPECT_EQ(s.board->out(), board_before) << "the board was written to";
    s.board_line("resume");
    EXPECT_TRUE(enq_until(s, data02("00900", "000000", "000000")));
}

TEST(EndToEnd, VanishedUsbBoardIsReopened) {
    Scale s;
    ASSERT_TRUE(s.ready());
    s.board_line("vanish");
    EXPECT_TRUE(s.tarvelo->wait_output("Scale link lost", 5000));
    s.board_line("reappear");
    EXPECT_TRUE(s.tarvelo->wait_output("Scale link restored", 5000));
    s.board_line("weight 700");
    EXPECT_TRUE(enq_until(s, data02("00700", "000000", "000000")));
}

TEST(EndToEnd, StartUpFailures) {
    {
        Scale s({.write_ini = false, .start_board = false});
        EXPECT_EQ(s.tarvelo->wait_exit(10000), 255);  // exit code -1
        EXPECT_NE(s.tarvelo->err().find("Could not find tarvelo.ini"), std::string::npos);
    }
    {
        Scale s({.start_board = false});
        EXPECT_EQ(s.tarvelo->wait_exit(10000), 1);
        EXPECT_NE(s.tarvelo->err().find("Scale initialize failed!"), std::string::npos);
    }
    {
        Scale s({.board_args = {"--checksum", "00000000"}});
        EXPECT_TRUE(s.tarvelo->wait_output("Scale driver checksum error!", 10000, true))
            << s.tarvelo->err();
        EXPECT_EQ(s.exchange(ENQ, 300), "");  // the ECR is never served
        EXPECT_TRUE(s.tarvelo->running());    // the boot screen waits for Exit
    }
}

// --config names the only settings file (here relative to the current directory): the
// ./tarvelo.ini beside it, whose board is not there, is never read.
TEST(EndToEnd, SettingsFileNamedOnTheCommandLine) {
    Scale s({.settings_file = "shop.ini"});
    ASSERT_TRUE(s.ready()) << s.tarvelo->err();
    EXPECT_EQ(s.exchange(STATUS).substr(0, 4), status_reply("").substr(0, 4));  // served
}

TEST(EndToEnd, UnstablePlatformStopsTheStart) {
    Scale s;
    s.board_line("unstable");
    EXPECT_TRUE(s.tarvelo->wait_output("Please remove item from the scale platform!", 20000, true));
}

// --- a host that is hostile or unlucky --------------------------------------------------------

// The reader of the scale's standard output goes away (a log collector, `| grep -m1 ready`):
// the board traces that follow must not kill the scale.
TEST(HostileHost, AClosedStandardOutputNeverKillsTheScale) {
    Scale s({.stdout_pipe = true});
    ASSERT_TRUE(read_until(s.tarvelo->stdout_fd(), "tarvelo: scale ready", 20000));
    s.tarvelo->close_stdout();
    s.board_line("vanish");  // traced as the link lost, then as restored
    s.board_line("reappear");
    s.board_line("weight 600");
    EXPECT_TRUE(enq_until(s, data02("00600", "000000", "000000")));
    EXPECT_TRUE(s.tarvelo->running());
    s.tarvelo->stop();
    EXPECT_EQ(s.tarvelo->wait_exit(0), 0);
}

// A second copy started on the same board (as root, where TIOCEXCL does not stop it) fails as
// on a busy port before one byte reaches the board.
TEST(HostileHost, ASecondCopyOnTheSameBoardTouchesNothing) {
    Scale first;
    ASSERT_TRUE(first.ready());
    ASSERT_EQ(first.exchange(STATUS), status_reply("00"));
    auto received = [&] {
        std::string out = first.board->out();
        size_t n = 0;
        for (size_t at = out.find("rx:"); at != std::string::npos; at = out.find("rx:", at + 1))
            ++n;
        return n;
    };
    size_t before = received();
    const size_t seen = first.board->out().size();
    Scale second({.start_board = false,
                  .serial_port = first.dir.file("board"),
                  .env = {{"XDG_RUNTIME_DIR", first.dir.path()}}});
    EXPECT_EQ(second.tarvelo->wait_exit(10000), 1);
    EXPECT_NE(second.tarvelo->err().find("Scale initialize failed!"), std::string::npos)
        << second.tarvelo->err();
    EXPECT_EQ(received(), before) << first.board->out();
    // The board reads in order, and the simulator may print late: whatever the second copy had
    // sent would stand before the first copy's own zero (its DC2 pause, the command, DC1).
    EXPECT_EQ(first.exchange("\x04\x02"
                             "06\x03"),
              ACK);
    ASSERT_TRUE(first.board->wait_output("rx: 02 57 5A", 10000)) << first.board->out();
    const std::string since = first.board->out().substr(seen);
    EXPECT_EQ(since.substr(since.find("rx:")).rfind("rx: 12\n", 0), 0u) << since;
    first.board_line("weight 1500");
    EXPECT_TRUE(enq_until(first, data02("01500", "000000", "000000")));
}

// However the scale is told to close, it ends with 0, closes the ECR's connection, removes its
// socket, and (in the sanitizer build) nothing touches a window that is gone.
TEST(HostileHost, ToldToCloseItEndsCleanly) {
    struct Case {
        const char* how;
        std::string key;  // the operator's key, or
        int signal;       // a signal from the system
    } cases[] = {{"OK", "ok", 0},
                 {"close key", "escape", 0},
                 {"SIGTERM", "", SIGTERM},
                 {"SIGINT", "", SIGINT},
                 {"SIGHUP", "", SIGHUP}};
    for (const Case& c : cases) {
        TempDir keys_dir;
        std::string keys = keys_dir.file("keys");
        ASSERT_EQ(mkfifo(keys.c_str(), 0600), 0);
        Scale s({.env = {{"QT_PLUGIN_PATH", TEST_PLUGIN_DIR},
                         {"QT_QPA_GENERIC_PLUGINS", "operatorkeys:" + keys}}});
        ASSERT_TRUE(s.ready()) << c.how << s.tarvelo->err();
        ASSERT_EQ(s.exchange(STATUS), status_reply("00")) << c.how;  // an ECR is connected
        if (c.signal) {
            kill(s.tarvelo->pid(), c.signal);
        } else {
            int fd = open(keys.c_str(), O_WRONLY | O_NONBLOCK);
            std::string line = c.key + "\n";
            ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
            close(fd);
        }
        EXPECT_EQ(s.tarvelo->wait_exit(10000), 0) << c.how;
        uint8_t b;
        EXPECT_EQ(s.client->read_byte(b, 1000), PipeClient::Read::closed) << c.how;
        EXPECT_FALSE(std::filesystem::exists(s.dir.file("ecr"))) << c.how;
        EXPECT_TRUE(sanitizer_quiet(s.tarvelo->err())) << c.how << s.tarvelo->err();
    }
}

// Without XDG_RUNTIME_DIR the socket goes into a private directory under /tmp, never straight
// into /tmp; ecrctl finds it there.
TEST(HostileHost, WithoutARuntimeDirectoryTheSocketIsPrivate) {
    const std::string name = "e2e-" + std::to_string(getpid());
    const std::string dir = "/tmp/tarvelo-" + std::to_string(geteuid()), path = dir + "/" + name;
    Scale s({.pipe_name = name, .env = {{"XDG_RUNTIME_DIR", ""}}});
    ASSERT_TRUE(s.ready()) << s.tarvelo->err();
    struct stat st {};
    ASSERT_EQ(lstat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 077, 0u);
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists("/tmp/" + name));
    Process ecrctl(BIN_DIR "/ecrctl", {"--pipe", name, "status"}, s.dir.path(),
                   {{"XDG_RUNTIME_DIR", ""}}, s.dir.file("ecrctl"));
    EXPECT_EQ(ecrctl.wait_exit(5000), 0) << ecrctl.out() << ecrctl.err();
    EXPECT_NE(ecrctl.out().find("record 09 (status)"), std::string::npos) << ecrctl.out();
    s.tarvelo->stop();
    EXPECT_EQ(s.tarvelo->wait_exit(0), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
}

// "scale ready" only when the ECR is served. When the pipe cannot be made (its name is taken
// by a live scale, or is no plain file name), the scale runs on and says that the ECR will
// get no answer; ending it leaves the other scale's socket alone.
TEST(HostileHost, ReadyOnlyWhenTheEcrIsServed) {
    Scale first;
    ASSERT_TRUE(first.ready());
    struct Case {
        std::string pipe_name;
        std::string why;
    } cases[] = {
        {"ecr", "another server is listening"},
        {"sub/ecr", "invalid pipe name"},
        // Written out on standard error, never echoed raw or cut at the NUL.
        {std::string("ecr\x1b[2J\0sub/x", 13), "invalid pipe name 'ecr\\x1B[2J\\x00sub/x'"}};
    ASSERT_EQ(mkdir(first.dir.file("sub").c_str(), 0700), 0);
    for (const Case& c : cases) {
        Scale second({.pipe_name = c.pipe_name, .env = {{"XDG_RUNTIME_DIR", first.dir.path()}}});
        EXPECT_TRUE(
            second.tarvelo->wait_output("tarvelo: scale running without the ECR link", 20000, true))
            << second.tarvelo->err();
        std::string err = second.tarvelo->err();
        EXPECT_NE(err.find(c.why), std::string::npos) << err;
        EXPECT_NE(err.find("the ECR will get no answer"), std::string::npos) << err;
        EXPECT_EQ(second.tarvelo->out().find("scale ready"), std::string::npos)
            << second.tarvelo->out();
        second.tarvelo->stop();
        EXPECT_EQ(second.tarvelo->wait_exit(0), 0);
        EXPECT_FALSE(std::filesystem::exists(first.dir.file("sub/ecr")));
        EXPECT_EQ(first.exchange(STATUS), status_reply("00"));
    }
}

// A background that names a FIFO never blocks the windows, and a window as high as an int
// is no higher than the screen (the offscreen platform's screen is 800 x 800).
TEST(HostileHost, SpecialBackgroundAndHugeWindowsLeaveTheWindowsWorking) {
    TempDir shots;
    TempDir fifo_dir;
    std::string fifo = fifo_dir.file("bg.bmp");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Scale s({.main1_section = "bg_image=" + fifo + "\n",
             .main2_section = "w=2147483647\nh=2147483647\n",
             .env = {{"TARVELO_SCREENSHOT_DIR", shots.path()}}});
    ASSERT_TRUE(s.ready()) << s.tarvelo->err();
    kill(s.tarvelo->pid(), SIGUSR1);
    ASSERT_TRUE(s.tarvelo->wait_output("screenshot: " + shots.file("customer_window.png"), 10000));
    std::string png = read_file(shots.file("customer_window.png"));
    ASSERT_GT(png.size(), 24u);
    auto be32 = [&](size_t at) {
        return uint32_t(uint8_t(png[at])) << 24 | uint32_t(uint8_t(png[at + 1])) << 16 |
               uint32_t(uint8_t(png[at + 2])) << 8 | uint8_t(png[at + 3]);
    };
    EXPECT_EQ(be32(16), 800u);  // the IHDR's width and height: the offscreen screen's
    EXPECT_EQ(be32(20), 800u);
    s.tarvelo->stop();
    EXPECT_EQ(s.tarvelo->wait_exit(0), 0);
}

// Started with its standard input and output closed (as some service starters do), the scale
// must not take its own signal pipe or sockets for them: it serves, and SIGTERM ends it.
TEST(HostileHost, ClosedStandardDescriptorsAtStart) {
    Scale s({.env = {{"TARVELO_SCREENSHOT_DIR", ""}}, .wrap = "exec \"$0\" 0<&- 1>&-"});
    ASSERT_TRUE(wait_until([&] { return s.exchange(STATUS, 500) == status_reply("00"); }, 20000))
        << s.tarvelo->err();
    for (int fd : {0, 1})
        EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(s.tarvelo->pid()) +
                                                "/fd/" + std::to_string(fd)),
                  "/dev/null");
    kill(s.tarvelo->pid(), SIGTERM);
    EXPECT_EQ(s.tarvelo->wait_exit(10000), 0) << s.tarvelo->err();
    EXPECT_FALSE(std::filesystem::exists(s.dir.file("ecr")));
}

// A second signal while the first is still being honoured (here a zero that the board never
// answers holds the ECR link) ends the program at once, and gives the board up all the same.
TEST(HostileHost, ASecondSignalEndsAtOnce) {
    Scale s;
    ASSERT_TRUE(s.ready());
    s.board_line("mute on");
    setenv("XDG_RUNTIME_DIR", s.dir.path().c_str(), 1);
    s.ecr().write_all(
        "\x04\x02"
        "06\x03",
        5);
    ASSERT_TRUE(s.board->wait_output("rx: 02 57 5A", 10000)) << "the zero is under way";
    kill(s.tarvelo->pid(), SIGTERM);
    // The first signal has been taken once the scale no longer takes connections: it is ending,
    // held up by the zero that the board leaves unanswered.
    auto ending = [] {
        auto c = PipeClient::connect("ecr");
        return !c && c.error().find(std::strerror(ECONNREFUSED)) != std::string::npos;
    };
    ASSERT_TRUE(wait_until(ending, 5000));
    kill(s.tarvelo->pid(), SIGTERM);
    EXPECT_EQ(s.tarvelo->wait_exit(10000), 128 + SIGTERM);  // the default death, not the clean end
    // Even so the board is given up: on a pseudo-terminal its exclusive flag would otherwise
    // refuse the next start by a normal user. (Root opens it anyway, so the flag is read.)
    int board = open(s.dir.file("board").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int exclusive = -1;
    EXPECT_EQ(ioctl(board, TIOCGEXCL, &exclusive), 0);
    close(board);
    EXPECT_EQ(exclusive, 0) << "the board is left locked";
}

}  // namespace
}  // namespace tarvelo::test
