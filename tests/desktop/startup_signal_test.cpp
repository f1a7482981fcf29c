// A stop from the system (a service manager's, a logout's) while a start-up message box waits
// for an OK that nobody at the scale may give: on a real X server, under openbox.

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "tests/desktop/x_session.h"

namespace tarvelo::test {
namespace {

// The first signal closes the box and ends the scale with its failed start-up's exit code:
// no second box, no window, no socket left behind.
TEST(StartUpBoxes, ASignalClosesTheBoxAndEndsTheScale) {
    XSession x({QSize(800, 600)}, false);
    ASSERT_TRUE(x.ready()) << x.why();
    struct Case {
        const char* box;
        const char* settings;  // none: no settings file at all
        bool board;
        const char* preload;
        int signal;
        int code;
    } cases[] = {
        {"Could not find tarvelo.ini", nullptr, false, "", SIGTERM, 255},
        {"Scale initialize failed!", "[scale]\nserial_port=board\npipe_name=ecr\n", false, "",
         SIGINT, 1},
        {"Failed to get scale module checksum!", "[scale]\nserial_port=board\npipe_name=ecr\n",
         true, UNREADABLE_CHECKSUM, SIGHUP, 1},
        // Two failures in one start-up: the second box, the checksum's, never opens.
        {"Scale initialize failed!", "[scale]\nserial_port=board\npipe_name=ecr\n", false,
         UNREADABLE_CHECKSUM, SIGTERM, 1},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::unique_ptr<Process> board;
        if (c.board) {
            board = std::make_unique<Process>(
                BIN_DIR "/boardsim", std::vector<std::string>{"--link", dir.file("board")},
                dir.path(), std::map<std::string, std::string>{}, dir.file("boardsim"));
            ASSERT_TRUE(board->wait_output("ready:", 5000)) << board->err();
        }
        if (c.settings) std::ofstream(dir.file("tarvelo.ini")) << c.settings;
        Probe probe(x, dir.file("probe"));
        std::map<std::string, std::string> env{
            {"DISPLAY", x.display()},
            {"QT_QPA_PLATFORM", "xcb"},
            {"XDG_RUNTIME_DIR", dir.path()},
            {"HOME", dir.path()},
            {"QT_PLUGIN_PATH", TEST_PLUGIN_DIR},
            {"QT_QPA_GENERIC_PLUGINS", "windowprobe:" + probe.fifo()}};
        if (*c.preload) env["LD_PRELOAD"] = c.preload;
        Process tarvelo(BIN_DIR "/tarvelo", {}, dir.path(), env, dir.file("tarvelo"));
        auto shown = probe.wait([](const Dump& d) { return d.shown("QMessageBox"); });
        ASSERT_TRUE(shown) << c.box << "\n" << tarvelo.err();
        EXPECT_NE(tarvelo.err().find(c.box), std::string::npos) << tarvelo.err();
        ::kill(tarvelo.pid(), c.signal);
        EXPECT_EQ(tarvelo.wait_exit(10000), c.code) << c.box << "\n" << tarvelo.err();
        EXPECT_EQ(tarvelo.err().find(c.box), tarvelo.err().rfind(c.box)) << tarvelo.err();
        EXPECT_FALSE(std::filesystem::exists(dir.file("ecr"))) << c.box;
    }
}

}  // namespace
}  // namespace tarvelo::test
