#include "libs/dravix.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "libs/pellum.h"
#include "platform/module_path.h"
#include "tests/support/test_support.h"

namespace tarvelo {
namespace {

bool is_upper_hex8(const char* text) {
    if (std::strlen(text) != 8) return false;
    for (const char* p = text; *p; ++p)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'A' && *p <= 'F'))) return false;
    return true;
}

TEST(Dravix, ChecksumIsStableEightUpperCaseHexDigits) {
    char first[40] = {}, second[40] = {};
    ASSERT_EQ(get_scale_checksum(first), 0);
    ASSERT_EQ(get_scale_checksum(second), 0);
    EXPECT_TRUE(is_upper_hex8(first)) << first;
    EXPECT_STREQ(first, second);
    EXPECT_LT(get_scale_checksum(nullptr), 0);
}

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[128];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    return out;
}

// A changed library file is a changed identity: a program that loads a copy with one byte
// more reports another checksum.
TEST(Dravix, ChecksumChangesWithTheLibraryFile) {
    std::string original = loaded_module_path(reinterpret_cast<const void*>(&get_scale_checksum));
    ASSERT_FALSE(original.empty());
    test::TempDir dir;
    std::string copy = dir.file("libdravix.so");
    std::filesystem::copy_file(original, copy);

    char mine[40] = {};
    ASSERT_EQ(get_scale_checksum(mine), 0);
    EXPECT_EQ(run(DRAVIX_PROBE), std::string(mine) + "\n");
    EXPECT_EQ(run("LD_PRELOAD=" + copy + " " DRAVIX_PROBE), std::string(mine) + "\n");
    std::ofstream(copy, std::ios::binary | std::ios::app).put('\x5A');
    std::string changed = run("LD_PRELOAD=" + copy + " " DRAVIX_PROBE);
    ASSERT_EQ(changed.size(), 9u) << changed;
    EXPECT_TRUE(is_upper_hex8(changed.substr(0, 8).c_str()));
    EXPECT_NE(changed, std::string(mine) + "\n");
}

// The library's identity is the checksum of its file: what the file offers to a program must be
// exactly its own operations, not the platform layer it is built with.
TEST(Dravix, ExportsItsOwnOperationsOnly) {
    std::string library = loaded_module_path(reinterpret_cast<const void*>(&get_scale_checksum));
    ASSERT_FALSE(library.empty());
    std::istringstream table(run(std::string(NM_PROGRAM) + " -D --defined-only -P " + library));
    std::set<std::string> exported;
    for (std::string line; std::getline(table, line);)
        exported.insert(line.substr(0, line.find(' ')));
    EXPECT_EQ(exported, (std::set<std::string>{"ReadFileOverLapped", "WriteFileOverLapped",
                                               "get_scale_checksum", "dravix_getversion",
                                               "dravix_get_manufacturer"}));
}

TEST(Dravix, VersionsAndManufacturer) {
    char text[32];
    std::memset(text, 'x', sizeof text);
    dravix_get_manufacturer(text);
    EXPECT_LT(std::strlen(text), 32u);
    EXPECT_GT(std::strlen(text), 0u);
    EXPECT_GT(dravix_getversion(), 0);
    EXPECT_GT(pellum_getversion(), 0);
}

TEST(Dravix, PipeReadsOneByteAndWritesWholeFrames) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const char frame[] =
        "\x02"
        "02\x1b"
        "3";
    uint32_t count = 0;
    WriteFileOverLapped(fds[0], frame, 5, &count, nullptr);
    EXPECT_EQ(count, 5u);
    for (int i = 0; i < 5; ++i) {
        uint8_t b = 0;
        ASSERT_NE(ReadFileOverLapped(fds[1], &b, 1, &count, nullptr), 0);
        EXPECT_EQ(b, static_cast<uint8_t>(frame[i]));
    }
    close(fds[0]);
    uint8_t b = 0;
    EXPECT_EQ(ReadFileOverLapped(fds[1], &b, 1, &count, nullptr), 0);      // connection lost
    EXPECT_EQ(WriteFileOverLapped(fds[1], frame, 5, &count, nullptr), 0);  // no SIGPIPE either
    close(fds[1]);
}

}  // namespace
}  // namespace tarvelo
