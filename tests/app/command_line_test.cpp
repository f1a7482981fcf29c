#include "app/command_line.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace tarvelo::app {
namespace {

using Action = CommandLine::Action;

TEST(CommandLine, EachArgumentIsOursOrRefused) {
    struct Case {
        std::vector<std::string> args;
        Action action;
        std::optional<std::string> file;
        std::string refusal;
    };
    const Case cases[] = {
        {{}, Action::run, std::nullopt, ""},
        {{"--config", "shop.ini"}, Action::run, "shop.ini", ""},
        {{"--config=/etc/shop.ini"}, Action::run, "/etc/shop.ini", ""},
        {{"--config", "--version"}, Action::run, "--version", ""},  // a file's name, as given
        {{"--help"}, Action::help, std::nullopt, ""},
        {{"-h", "--version"}, Action::help, std::nullopt, ""},
        {{"--version"}, Action::version, std::nullopt, ""},
        {{"--version", "--config", "a.ini"}, Action::version, "a.ini", ""},
        {{"--check"}, Action::check, std::nullopt, ""},
        {{"--check", "--config", "a.ini"}, Action::check, "a.ini", ""},
        {{"--check", "--version"}, Action::version, std::nullopt, ""},
        {{"--"}, Action::run, std::nullopt, ""},
        // Qt's own options are as unknown as any other.
        {{"-platform", "offscreen"}, Action::refuse, std::nullopt, "unknown option '-platform'"},
        {{"-style=fusion"}, Action::refuse, std::nullopt, "unknown option '-style=fusion'"},
        {{"--", "-platform"}, Action::refuse, std::nullopt, "unexpected argument '-platform'"},
        {{"--verbose"}, Action::refuse, std::nullopt, "unknown option '--verbose'"},
        {{"-"}, Action::refuse, std::nullopt, "unknown option '-'"},
        {{"tarvelo.ini"}, Action::refuse, std::nullopt, "unexpected argument 'tarvelo.ini'"},
        {{""}, Action::refuse, std::nullopt, "unexpected argument ''"},
        // A refusal wins over --help and --version.
        {{"--version", "--bogus"}, Action::refuse, std::nullopt, "unknown option '--bogus'"},
        {{"--config"}, Action::refuse, std::nullopt, "--config needs the settings file"},
        {{"--config="}, Action::refuse, std::nullopt, "--config needs the settings file"},
        {{"--config", ""}, Action::refuse, std::nullopt, "--config needs the settings file"},
        {{"--config", "a", "--config=b"}, Action::refuse, std::nullopt, "--config given twice"},
        // Only --config itself: nothing that merely begins like it.
        {{"--configure"}, Action::refuse, std::nullopt, "unknown option '--configure'"},
        {{"--config-file=x"}, Action::refuse, std::nullopt, "unknown option '--config-file=x'"},
        {{"--configshop.ini"}, Action::refuse, std::nullopt, "unknown option '--configshop.ini'"},
        {{"--capture", "shop.txt", "--capture-limit", "8"}, Action::run, std::nullopt, ""},
        {{"--capture=shop.txt", "--capture-limit=4096"}, Action::run, std::nullopt, ""},
        {{"--capture"}, Action::refuse, std::nullopt, "--capture needs the file to write"},
        {{"--capture="}, Action::refuse, std::nullopt, "--capture needs the file to write"},
        {{"--capture", "a", "--capture", "b"}, Action::refuse, std::nullopt, "given twice"},
        {{"--capture-limit", "8"}, Action::refuse, std::nullopt, "goes with --capture FILE"},
        {{"--capture", "a", "--capture-limit", "0"}, Action::refuse, std::nullopt, "1 to 4096"},
        {{"--capture", "a", "--capture-limit=4097"}, Action::refuse, std::nullopt, "1 to 4096"},
        {{"--capture", "a", "--capture-limit", "-1"}, Action::refuse, std::nullopt, "1 to 4096"},
        {{"--capture", "a", "--capture-limit", "1e3"}, Action::refuse, std::nullopt, "1 to 4096"},
        {{"--check", "--capture", "a"}, Action::refuse, std::nullopt, "does not go with --check"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += "[" + a + "]";
        CommandLine line = parse_command_line(c.args);
        EXPECT_EQ(line.action, c.action) << shown;
        if (c.action == Action::run && !c.args.empty() && c.args[0].rfind("--capture", 0) == 0) {
            EXPECT_EQ(line.capture_file, "shop.txt") << shown;
            EXPECT_EQ(line.capture_limit_mib, c.args.size() == 4 ? 8u : 4096u) << shown;
        }
        if (c.action != Action::refuse) {
            EXPECT_EQ(line.settings_file, c.file) << shown;
        }
        if (c.refusal.empty()) {
            EXPECT_EQ(line.refusal, "") << shown;
        } else {
            EXPECT_NE(line.refusal.find(c.refusal), std::string::npos)
                << shown << ": " << line.refusal;
        }
    }
}

TEST(CommandLine, AFileNamedIsTheOnlyPlaceTried) {
    EXPECT_EQ(settings_places(parse_command_line({})),
              (std::vector<std::string>{"./tarvelo.ini", "/etc/tarvelo.ini"}));
    EXPECT_EQ(settings_places(parse_command_line({"--config", "shop.ini"})),
              (std::vector<std::string>{"shop.ini"}));
}

// The four programs as processes: exit code, standard output and standard error of each
// command line. Where no window may open, Qt is pointed at an X display that does not exist:
// an application object made by mistake would abort the program.
TEST(Programs, CommandLines) {
    const std::map<std::string, std::string> no_screen{{"QT_QPA_PLATFORM", "xcb"},
                                                       {"DISPLAY", ":99999"}};
    const std::map<std::string, std::string> offscreen{{"QT_QPA_PLATFORM", "offscreen"}};
    const std::string version = std::regex_replace(TARVELO_VERSION, std::regex("\\."), "\\.");
    const std::string any = "[\\s\\S]*";
    auto in_order = [&any](const std::vector<std::string>& pieces) {
        std::string pattern = any;
        for (const auto& piece : pieces) pattern += piece + any;
        return pattern;
    };
    const std::string usage =
        "Usage: tarvelo \\[--config FILE\\] \\[--check\\] \\[--capture FILE \\[--capture-limit "
        "MIB\\]\\] \\[--version\\] \\[-h\\|--help\\]\n";
    test::TempDir dir;
    std::ofstream(dir.file("tarvelo.ini")) << "[scale]\nserial_port=" << dir.file("no-board");
    std::ofstream(dir.file("long-pipe.ini")) << "[scale]\nserial_port=" << dir.file("no-board")
                                             << "\npipe_name=" << std::string(120, 'p');
    std::filesystem::create_directory(dir.file("folder.ini"));
    ASSERT_EQ(mkfifo(dir.file("fifo.ini").c_str(), 0600), 0);
    struct Case {
        std::string program;
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int code;
        std::string out, err;  // regular expressions for the whole text
    };
    const Case cases[] = {
        {"tarvelo",
         {"--version"},
         no_screen,
         0,
         "tarvelo " + version +
             "\nCHECKSUM       [0-9A-F]{8}\nPellum Ver\\.    105\nDravix Ver\\.    110\n"
             "Scale library  /.*/libdravix\\.so\n",
         ""},
        {"tarvelo",
         {"--help"},
         no_screen,
         0,
         usage + in_order({"--config FILE", "--check", "--capture FILE", "--capture-limit MIB",
                           "--version", "--help", "\\./tarvelo\\.ini", "/etc/tarvelo\\.ini",
                           "\\$XDG_RUNTIME_DIR", "/tmp/tarvelo-UID/", "SIGUSR2", "XDG_RUNTIME_DIR",
                           "QT_QPA_PLATFORM", "TARVELO_TIME_DIVISOR", "TARVELO_SCREENSHOT_DIR"}),
         ""},
        {"tarvelo", {"--bogus"}, no_screen, 2, "", "tarvelo: unknown option '--bogus'\n" + usage},
        {"tarvelo",
         {"-platform", "offscreen"},
         no_screen,
         2,
         "",
         "tarvelo: unknown option '-platform'\n" + usage},
        // A control byte in an argument is written out, never sent to the terminal raw.
        {"tarvelo",
         {"--\x1b[2J\nforged"},
         no_screen,
         2,
         "",
         "tarvelo: unknown option '--\\\\x1B\\[2J\\\\x0Aforged'\n" + usage},
        {"tarvelo",
         {"tarvelo.ini"},
         no_screen,
         2,
         "",
         "tarvelo: unexpected argument 'tarvelo.ini': tarvelo takes options only\n" + usage},
        {"tarvelo",
         {"--version", "--config"},
         no_screen,
         2,
         "",
         "tarvelo: --config needs the settings file\n" + usage},
        // A FILE that is missing or no regular file is as no settings at all, even with a
        // ./tarvelo.ini at hand; what is wrong with it is said first.
        {"tarvelo",
         {"--config", "missing.ini"},
         offscreen,
         255,
         "",
         any + "tarvelo: missing\\.ini: No such file or directory\nCould not find tarvelo\\.ini\n"},
        {"tarvelo",
         {"--config=folder.ini"},
         offscreen,
         255,
         "",
         any + "tarvelo: folder\\.ini: is a directory, not a regular file\nCould not find "
               "tarvelo\\.ini\n"},
        {"tarvelo",
         {"--config", "fifo.ini"},
         offscreen,
         255,
         "",
         any +
             "tarvelo: fifo\\.ini: is a FIFO, not a regular file\nCould not find tarvelo\\.ini\n"},
        {"tarvelo",
         {"--config", "/dev/null"},
         offscreen,
         255,
         "",
         any + "tarvelo: /dev/null: is a character device, not a regular file\nCould not find "
               "tarvelo\\.ini\n"},
        // A capture that cannot be written is refused before any window, board or socket.
        {"tarvelo",
         {"--capture", "folder.ini"},
         no_screen,
         2,
         "",
         "tarvelo: cannot capture: folder\\.ini: not a regular file\n"},
        {"tarvelo",
         {"--capture", "no-such-dir/shop.txt"},
         no_screen,
         2,
         "",
         "tarvelo: cannot capture: no-such-dir/shop\\.txt: No such file or directory\n"},
        // The installation check opens no window: the board named is not there.
        {"tarvelo",
         {"--check", "--config", "tarvelo.ini"},
         no_screen,
         1,
         in_order({"ok    file descriptors: ", "ok    settings: .*/tarvelo\\.ini\n",
                   "FAIL  board device: .*/no-board does not exist", "skip  board open",
                   "skip  board frames", "ok    scale library checksum: [0-9A-F]{8}",
                   "ECR socket: ", "tarvelo --check: 3 of 7 checks failed\n"}),
         ""},
        // A socket path longer than the kernel keeps cannot be served.
        {"tarvelo",
         {"--check", "--config", "long-pipe.ini"},
         no_screen,
         1,
         in_order({"\nFAIL  ECR socket: socket path too long: /.*/p{120} \\([0-9]+ bytes, at most "
                   "107\\): the scale would not serve the ECR; set a shorter pipe_name\n"}),
         ""},
        // A name with a control byte cannot forge a line of the check, nor drive the terminal.
        {"tarvelo",
         {"--check", "--config", "no\nok    settings\x1b[2K.ini"},
         no_screen,
         1,
         in_order(
             {"\nFAIL  settings: no tarvelo\\.ini \\(no\\\\x0Aok    settings\\\\x1B\\[2K\\.ini: "}),
         ""},
        {"kestrin", {"--version"}, no_screen, 0, "kestrin " + version + "\n", ""},
        {"kestrin",
         {"--help"},
         no_screen,
         0,
         "Usage: kestrin \\[--version\\] \\[--help\\]\n" + in_order({"kv2170"}),
         ""},
        {"kestrin",
         {"-platform", "offscreen"},
         no_screen,
         2,
         "",
         "kestrin: unknown argument '-platform'\nUsage: kestrin \\[--version\\] \\[--help\\]\n"},
        {"ecrctl", {"--version"}, {}, 0, "ecrctl " + version + "\n", ""},
        {"boardsim", {"--version"}, {}, 0, "boardsim " + version + "\n", ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string shown = c.program;
        for (const auto& a : c.args) shown += " " + a;
        test::Process p(BIN_DIR "/" + c.program, c.args, dir.path(), c.env,
                        dir.file("run" + std::to_string(n++)));
        EXPECT_EQ(p.wait_exit(20000), c.code) << shown << "\n" << p.err();
        EXPECT_TRUE(std::regex_match(p.out(), std::regex(c.out))) << shown << "\n" << p.out();
        EXPECT_TRUE(std::regex_match(p.err(), std::regex(c.err))) << shown << "\n" << p.err();
    }
}

// The identity an inspector keeps must never be a silent blank: text that cannot be written
// fails the command.
TEST(Programs, AnIdentityThatCannotBeWrittenFails) {
    for (const char* args : {"--version", "--help"}) {
        for (const char* output : {" > /dev/full", " >&-"}) {  // full, and no output at all
            std::string command = std::string(BIN_DIR "/tarvelo ") + args + output;
            int status = std::system(command.c_str());
            ASSERT_TRUE(WIFEXITED(status)) << command;
            EXPECT_EQ(WEXITSTATUS(status), 1) << command;
        }
    }
}

// Without its checksum the software identity is incomplete: --version says so and fails,
// never printing an identity with the checksum left blank.
TEST(Programs, AnIdentityWithoutItsChecksumFails) {
    std::string command = "LD_PRELOAD=" UNREADABLE_CHECKSUM " " BIN_DIR "/tarvelo --version 2>&1";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buffer[256];
    while (size_t n = fread(buffer, 1, sizeof buffer, p)) out.append(buffer, n);
    int status = pclose(p);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(out.find("Failed to get scale module checksum!"), std::string::npos) << out;
    EXPECT_EQ(out.find("CHECKSUM"), std::string::npos) << out;
}

}  // namespace
}  // namespace tarvelo::app
