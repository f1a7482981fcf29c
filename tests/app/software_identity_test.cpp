// What `tarvelo --version` prints is what the version window shows: the same checksum of the
// same library file, the same library versions.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "app/command_line.h"
#include "app/tarvelo_app.h"
#include "libs/dravix.h"
#include "platform/module_path.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"
#include "ui/templates.h"

namespace tarvelo::app {
namespace {

// The lines of `tarvelo --version` by their label: "CHECKSUM" -> "1A2B3C4D".
std::map<std::string, std::string> printed_identity() {
    test::TempDir dir;
    test::Process p(BIN_DIR "/tarvelo", {"--version"}, dir.path(), {}, dir.file("version"));
    EXPECT_EQ(p.wait_exit(20000), 0) << p.err();
    std::map<std::string, std::string> fields;
    std::istringstream lines(p.out());
    for (std::string line; std::getline(lines, line);) {
        size_t gap = line.find("  ");
        if (gap == std::string::npos) continue;
        fields[line.substr(0, gap)] = line.substr(line.find_first_not_of(' ', gap));
    }
    return fields;
}

TEST(SoftwareIdentity, VersionPrintsWhatTheVersionWindowShows) {
    // The main window on the program with its real libraries, on a board and threads that are
    // not there.
    struct NoBoardNoThreads : ScaleProgram {
        using ScaleProgram::ScaleProgram;
        int open_board(MessageSink*, const std::string&) override { return 0; }
        bool start_display_thread(CTarveloDlg&) override { return true; }
        bool start_pipe_thread(CTarveloDlg&) override { return true; }
        void exit_process(int) override {}
    };
    test::TempDir dir;
    test::write_file(dir.file("tarvelo.ini"), "");
    NoBoardNoThreads program({dir.file("tarvelo.ini")});
    test::InstalledBoxes boxes;
    CTarveloDlg dlg(program);
    ASSERT_TRUE(dlg.OnInitDialog()) << (boxes.texts().empty() ? "" : boxes.texts()[0]);
    std::string window_checksum = dlg.version().text(ui::IDC_CHECKSUM).toStdString();
    ASSERT_EQ(window_checksum.size(), 8u) << window_checksum;

    std::map<std::string, std::string> printed = printed_identity();
    EXPECT_EQ(printed["CHECKSUM"], window_checksum);
    EXPECT_EQ(printed["Pellum Ver."], dlg.version().text(ui::IDC_VER_PELLUM).toStdString());
    EXPECT_EQ(printed["Dravix Ver."], dlg.version().text(ui::IDC_VER_DRAVIX).toStdString());
    // The program and this test load the very same library file.
    EXPECT_EQ(printed["Scale library"],
              std::filesystem::canonical(
                  loaded_module_path(reinterpret_cast<const void*>(&get_scale_checksum)))
                  .string());
}

// A copy of the library with one byte more is another identity, and --version follows the file
// the loader took.
TEST(SoftwareIdentity, VersionFollowsTheLoadedLibraryFile) {
    test::TempDir dir;
    std::string original = loaded_module_path(reinterpret_cast<const void*>(&get_scale_checksum));
    std::filesystem::copy_file(original, dir.file("libdravix.so"));
    std::ofstream(dir.file("libdravix.so"), std::ios::binary | std::ios::app).put('\x5A');
    test::Process p(BIN_DIR "/tarvelo", {"--version"}, dir.path(),
                    {{"LD_PRELOAD", dir.file("libdravix.so")}}, dir.file("version"));
    ASSERT_EQ(p.wait_exit(20000), 0) << p.err();
    char mine[40] = {};
    ASSERT_EQ(get_scale_checksum(mine), 0);
    EXPECT_EQ(p.out().find(mine), std::string::npos) << p.out();
    std::string copy = std::filesystem::canonical(dir.file("libdravix.so")).string();
    EXPECT_NE(p.out().find("Scale library  " + copy + "\n"), std::string::npos) << p.out();
}

}  // namespace
}  // namespace tarvelo::app
