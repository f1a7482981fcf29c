#include "log/event_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/test_support.h"

namespace tarvelo {
namespace {

class EventLogTest : public ::testing::Test {
  protected:
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (auto& e : std::filesystem::directory_iterator(dir_.path()))
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string content(const std::string& name) const { return test::read_file(dir_.file(name)); }

    test::TempDir dir_;
    test::FakeClock clock_;
};

TEST(LogField, ControlBytesAndDelAreWrittenOutEverythingElseStays) {
    struct Case {
        std::string field, logged;
    } cases[] = {
        {"APPLES       ", "APPLES       "},
        {std::string("AB\nFAKE LINE\n"), "AB\\x0AFAKE LINE\\x0A"},
        {std::string("\0\x01\x1f \x7f", 5), "\\x00\\x01\\x1F \\x7F"},
        {"caf\xC3\xA9 \x80\xFF \\x41 ~",
         "caf\xC3\xA9 \x80\xFF \\x41 ~"},  // bytes from 0x20 stay as received
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(log_field(c.field), c.logged) << c.field;
}

TEST_F(EventLogTest, WritesTimeStampedLinesIntoATimeNamedFile) {
    EventLog log(100, clock_, dir_.path());
    log.write("receive: No. %02d, scale status", 8);
    log.write("   send: ack");
    EXPECT_EQ(files(), std::vector<std::string>{"log_20240131235959.txt"});
    EXPECT_EQ(content("log_20240131235959.txt"),
              "2024-01-31 23:59:59-> receive: No. 08, scale status\n"
              "2024-01-31 23:59:59->    send: ack\n");
}

TEST_F(EventLogTest, StartsANewFileAfterTheConfiguredNumberOfLines) {
    EventLog log(2, clock_, dir_.path());
    for (int i = 1; i <= 5; ++i) {
        clock_.time_.second = i;  // the file name is taken when a file is begun
        log.write("line %d", i);
    }
    EXPECT_EQ(files(), (std::vector<std::string>{"log_20240131235901.txt", "log_20240131235903.txt",
                                                 "log_20240131235905.txt"}));
    EXPECT_EQ(content("log_20240131235903.txt"),
              "2024-01-31 23:59:03-> line 3\n2024-01-31 23:59:04-> line 4\n");
}

TEST_F(EventLogTest, OneLinePerFileWithinOneSecondSharesTheFile) {
    EventLog log(1, clock_, dir_.path());
    log.write("a");
    log.write("b");
    EXPECT_EQ(files().size(), 1u);
    EXPECT_EQ(content(files()[0]), "2024-01-31 23:59:59-> a\n2024-01-31 23:59:59-> b\n");
}

TEST_F(EventLogTest, CutsLongMessagesTo1023Characters) {
    EventLog log(10, clock_, dir_.path());
    log.write("%s", std::string(2000, 'x').c_str());
    std::string line = content(files()[0]);
    EXPECT_EQ(line, "2024-01-31 23:59:59-> " + std::string(1023, 'x') + "\n");
}

TEST_F(EventLogTest, OffOrEmptyWritesNothing) {
    EventLog off(0, clock_, dir_.path());
    off.write("not logged");
    off.append_line("not logged\n");
    EventLog on(5, clock_, dir_.path());
    const char* empty = "";
    const char* missing = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    on.write(empty);  // what a caller with an empty or missing format gets: nothing
    on.write(missing);
#pragma GCC diagnostic pop
    on.append_line("");
    on.append_line(nullptr);
    EXPECT_TRUE(files().empty());
}

TEST_F(EventLogTest, AnUnwritableFileLosesItsLineButTheCountGoesOn) {
    EventLog log(2, clock_, dir_.file("no/such/dir"));
    log.write("lost 1");
    log.write("lost 2");
    clock_.time_.second = 30;
    EXPECT_EQ(log.current_file(), "log_20240131235959.txt");
    log.write("lost 3");
    EXPECT_EQ(log.current_file(), "log_20240131235930.txt");  // a new file after two lines
}

}  // namespace
}  // namespace tarvelo
