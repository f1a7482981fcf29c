#include "platform/traffic_capture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/support/test_support.h"

namespace tarvelo {
namespace {

using capture::Kind;

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

capture::Header shop_header() {
    capture::Header h;
    h.version = "1.0.0";
    h.board = "letter";
    h.checksum = "5F1A2B3C";
    h.pipe = "kv2170";
    h.settings = "/etc/tarvelo shop.ini";
    h.settings_text = "[scale]\r\nad_type=1\r\n\r\ntext=A\\B \x01 C\r\n";
    return h;
}

// Every record kind goes into a line and comes back out of it unchanged, and so do the header
// and the settings it carries (blanks, a backslash, a control byte, Windows line ends, an empty
// line, which is written without a trailing blank).
TEST(CaptureFormat, WhatIsWrittenReadsBack) {
    capture::Header h = shop_header();
    h.start = "running";
    h.divisor = 20;
    const uint8_t frame[] = {0x02, 0x57, 0x5A, 0x03, 0x0C};
    std::string text = capture::header_lines(h) + "# a sale at the shop\n\n" +
                       capture::text_record_line(5, Kind::board_open, "/dev/serial/by-id/usb A") +
                       capture::record_line(7, Kind::pc_to_board, frame, sizeof frame) +
                       capture::record_line(9, Kind::board_to_pc, frame, 3) +
                       capture::record_line(9, Kind::board_gone, nullptr, 0) +
                       capture::record_line(10, Kind::ecr_connect, nullptr, 0) +
                       capture::record_line(11, Kind::ecr_to_scale, frame, 2) +
                       capture::record_line(12, Kind::scale_to_ecr, frame + 4, 1) +
                       capture::count_record_line(13, Kind::lost, 42) +
                       capture::record_line(14, Kind::ecr_disconnect, nullptr, 0) +
                       capture::text_record_line(15, Kind::end, "size-limit");
    auto parsed = capture::parse(text);
    ASSERT_TRUE(parsed) << parsed.error();
    const capture::Header& got = parsed->header;
    EXPECT_EQ(got.version, "1.0.0");
    EXPECT_EQ(got.board, "letter");
    EXPECT_EQ(got.checksum, "5F1A2B3C");
    EXPECT_EQ(got.start, "running");
    EXPECT_EQ(got.pipe, "kv2170");
    EXPECT_EQ(got.divisor, 20);
    EXPECT_EQ(got.settings, "/etc/tarvelo shop.ini");
    EXPECT_EQ(got.settings_text, "[scale]\nad_type=1\n\ntext=A\\B \x01 C\n");
    EXPECT_EQ(text.find(" \n"), std::string::npos) << text;
    const std::vector<std::pair<Kind, std::vector<uint8_t>>> expected = {
        {Kind::board_open, {}},
        {Kind::pc_to_board, {0x02, 0x57, 0x5A, 0x03, 0x0C}},
        {Kind::board_to_pc, {0x02, 0x57, 0x5A}},
        {Kind::board_gone, {}},
        {Kind::ecr_connect, {}},
        {Kind::ecr_to_scale, {0x02, 0x57}},
        {Kind::scale_to_ecr, {0x0C}},
        {Kind::lost, {}},
        {Kind::ecr_disconnect, {}},
        {Kind::end, {}}};
    ASSERT_EQ(parsed->records.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(parsed->records[i].kind, expected[i].first) << i;
        EXPECT_EQ(parsed->records[i].bytes, expected[i].second) << i;
    }
    EXPECT_EQ(parsed->records[0].text, "/dev/serial/by-id/usb A");
    EXPECT_EQ(parsed->records[0].line, 8);
    EXPECT_EQ(parsed->records[7].count, 42u);
    EXPECT_EQ(parsed->records[9].text, "size-limit");
    EXPECT_EQ(capture::record_line(1234567, Kind::pc_to_board, frame, 2),
              "0001234567 pc>board 02 57\n");
}

// An edited capture must never replay as something it does not say: every line that is not
// what the format allows is refused with its number.
TEST(CaptureFormat, RefusesALineItCannotRead) {
    const std::string head =
        "tarvelo-capture 1 version=1 board=xon checksum=0 start=program pipe=p settings=s\n";
    struct Case {
        std::string text, error;
    } cases[] = {
        {"", "empty"},
        {"tarvelo-log 1\n", "line 1: not a capture"},
        {"tarvelo-capture 2 board=xon start=program\n", "line 1: capture format 2"},
        {"tarvelo-capture 1 board=scale start=program\n", "board must be xon or letter"},
        {"tarvelo-capture 1 board=xon start=later\n", "start must be"},
        {head + "12 pc>board 0G\n", "line 2: '0G' is not one byte"},
        {head + "12 pc>board 123\n", "line 2: '123' is not one byte"},
        {head + "12 pc>board\n", "line 2: pc>board without bytes"},
        {head + "12 board>scale 02\n", "line 2: unknown kind 'board>scale'"},
        {head + "x12 ecr-connect\n", "line 2: a record begins with its time"},
        {head + "12 ecr-connect 02\n", "line 2: ecr-connect takes nothing"},
        {head + "12 lost many\n", "line 2: lost takes the number"},
        {head + "12 ecr-connect\n11 ecr-disconnect\n", "line 3: its time is earlier"},
        {head + "12 ecr-connect\nini [scale]\n", "line 3: a settings line after the first"},
        {head + "12 board-open COM\\x4\n", "line 2: a broken \\x escape"},
        {head + "12 ecr-connect\n13 pc>board 02 57", "line 3: the file ends inside this record"},
        {head + "1000000000000001 ecr-connect\n", "line 2: its time is later than any"},
    };
    for (const Case& c : cases) {
        auto parsed = capture::parse(c.text);
        ASSERT_FALSE(parsed) << c.text;
        EXPECT_NE(parsed.error().find(c.error), std::string::npos)
            << c.text << " gave: " << parsed.error();
    }
}

// The board's line as a test scripts it.
class ScriptedLine : public SerialLine {
  public:
    explicit ScriptedLine(std::deque<std::pair<ReadStatus, uint8_t>> reads)
        : reads_(std::move(reads)) {}
    ReadStatus read_byte(uint8_t& out) override {
        if (reads_.empty()) return ReadStatus::nothing;
        auto [status, byte] = reads_.front();
        reads_.pop_front();
        out = byte;
        return status;
    }
    bool write_all(const void*, size_t) override { return true; }

  private:
    std::deque<std::pair<ReadStatus, uint8_t>> reads_;
};

struct Fixture {
    test::TempDir dir;
    std::string file = dir.file("shop.txt");
    std::atomic<int64_t> now_us{1000000};
    std::atomic<int> clock_reads{0};
    std::vector<std::string> notices;
    std::mutex notices_mutex;
    TrafficCapture::WriteFn write;
    std::unique_ptr<TrafficCapture> capture;

    void make() {
        capture = std::make_unique<TrafficCapture>(
            [this](const std::string& text) {
                std::lock_guard<std::mutex> lock(notices_mutex);
                notices.push_back(text);
            },
            [this] {
                ++clock_reads;
                return now_us.load();
            },
            write);
    }
    std::string all_notices() {
        std::lock_guard<std::mutex> lock(notices_mutex);
        std::string all;
        for (const std::string& n : notices) all += n + "\n";
        return all;
    }
};

// What the scale reads in one burst is one record, stamped when its last byte was read; each
// write is one record; the board's open and disappearance are records too; the ECR's traffic
// comes in between in the order it happened; nothing is kept before the header can be written,
// and an orderly end says so.
TEST(TrafficCapture, RecordsBothLinesInTheOrderTheyHappened) {
    Fixture f;
    f.make();
    ASSERT_TRUE(f.capture->start(f.file, true));
    f.capture->record(Kind::ecr_connect);  // before the header is known: not kept
    f.capture->identify(shop_header());

    std::deque<std::pair<ReadStatus, uint8_t>> reads = {{ReadStatus::byte, 0x02},
                                                        {ReadStatus::byte, 0x30},
                                                        {ReadStatus::byte, 0x03},
                                                        {ReadStatus::nothing, 0},
                                                        {ReadStatus::gone, 0}};
    LineOpener opener = capturing_opener(
        [&](const std::string&, const LineSettings&) -> Result<std::unique_ptr<SerialLine>> {
            return std::unique_ptr<SerialLine>(std::make_unique<ScriptedLine>(reads));
        },
        *f.capture);
    f.now_us = 1000100;
    auto line = opener("/dev/ttyUSB0", LineSettings{});
    ASSERT_TRUE(line);
    const uint8_t dc1 = 0x11;
    (*line)->write_all(&dc1, 1);
    uint8_t byte;
    for (int64_t t : {1000200, 1000210, 1000220}) {
        f.now_us = t;
        (*line)->read_byte(byte);
    }
    f.now_us = 1000500;
    f.capture->record(Kind::ecr_connect);
    (*line)->read_byte(byte);  // nothing: the burst is over, stamped at its last byte
    const uint8_t enq[] = {0x04, 0x05};
    f.capture->record(Kind::ecr_to_scale, enq, 2);
    (*line)->read_byte(byte);  // gone
    f.now_us = 2000000;
    f.capture->stop();

    auto parsed = capture::parse(slurp(f.file));
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->header.start, "program");
    EXPECT_EQ(parsed->header.board, "letter");
    std::vector<std::string> got;
    for (const capture::Record& r : parsed->records)
        got.push_back(std::to_string(r.us) + " " + std::string(capture::kind_name(r.kind)) + " " +
                      capture::hex_text(r.bytes.data(), r.bytes.size()) + r.text);
    const std::vector<std::string> expected = {
        "100 board-open /dev/ttyUSB0", "100 pc>board 11", "500 ecr-connect ",
        "500 board>pc 02 30 03",  // read at 220, but times never go back
        "500 ecr>scale 04 05",         "500 board-gone ", "1000000 end "};
    EXPECT_EQ(got, expected);
    struct stat st {};
    ASSERT_EQ(stat(f.file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A capture begun while the scale runs (SIGUSR2) may meet a burst the board reader began before
// it: the burst is stamped no later than the moment it is recorded, and the records after it
// keep their own times, as with a burst left over from a capture that ended before.
TEST(TrafficCapture, ABurstBegunBeforeTheCaptureKeepsTheTimesRight) {
    Fixture f;
    f.make();
    f.capture->identify(shop_header());
    std::deque<std::pair<ReadStatus, uint8_t>> reads = {
        {ReadStatus::byte, 0x02}, {ReadStatus::byte, 0x03}, {ReadStatus::nothing, 0},
        {ReadStatus::byte, 0x02}, {ReadStatus::byte, 0x03}, {ReadStatus::nothing, 0}};
    LineOpener opener = capturing_opener(
        [&](const std::string&, const LineSettings&) -> Result<std::unique_ptr<SerialLine>> {
            return std::unique_ptr<SerialLine>(std::make_unique<ScriptedLine>(reads));
        },
        *f.capture);
    auto line = opener("/dev/ttyUSB0", LineSettings{});
    ASSERT_TRUE(line);
    uint8_t byte;
    for (int round = 0; round < 2; ++round) {
        f.now_us = 5000000 + round * 1000000;
        (*line)->read_byte(byte);
        (*line)->read_byte(byte);  // the burst is read whole before the capture begins
        ASSERT_TRUE(f.capture->start(f.file, false));
        f.now_us += 300;
        (*line)->read_byte(byte);  // nothing: the burst is recorded now
        f.now_us += 200;
        f.capture->record(Kind::ecr_connect);
        f.capture->stop();
        auto parsed = capture::parse(slurp(f.file));
        ASSERT_TRUE(parsed) << parsed.error();
        ASSERT_EQ(parsed->records.size(), 3u);
        EXPECT_EQ(parsed->records[0].kind, Kind::board_to_pc);
        EXPECT_LE(parsed->records[0].us, 300) << round;
        EXPECT_EQ(parsed->records[1].us, 500) << round;
    }
}

// A disk whose writes wait until the test lets them through.
class StalledDisk {
  public:
    std::function<long(int, const void*, size_t)> writer() {
        return [this](int fd, const void* data, size_t length) -> long {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return resumed_; });
            return ::write(fd, data, length);
        };
    }
    void resume() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            resumed_ = true;
        }
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool resumed_ = false;
};

// A disk that stops answering must never hold up the board reader or the pipe thread: records
// beyond the queue are lost and counted, the file says where, and standard error says how many.
TEST(TrafficCapture, AStalledDiskCostsRecordsNeverTime) {
    Fixture f;
    StalledDisk disk;
    f.write = disk.writer();
    f.make();
    f.capture->identify(shop_header());
    ASSERT_TRUE(f.capture->start(f.file, true));
    const uint8_t frame[] = {0x02, 0x30, 0x03};
    const size_t total = 3 * TrafficCapture::kQueueLimit;
    for (size_t i = 0; i < total; ++i) f.capture->record(Kind::board_to_pc, frame, 3);  // returns
    EXPECT_GT(f.capture->lost(), 0u);
    disk.resume();
    // Once the disk has caught up, the next record says first where the gap was.
    test::wait_until(
        [&] {
            std::string text = slurp(f.file);
            size_t n = 0;
            for (size_t at = 0; (at = text.find(" board>pc ", at)) != std::string::npos; ++at) ++n;
            return n >= TrafficCapture::kQueueLimit;
        },
        10000, 10);
    f.capture->record(Kind::ecr_connect);
    f.capture->stop();

    auto parsed = capture::parse(slurp(f.file));
    ASSERT_TRUE(parsed) << parsed.error();
    size_t kept = 0, lost = 0;
    for (const capture::Record& r : parsed->records) {
        kept += r.kind == Kind::board_to_pc;
        lost += r.kind == Kind::lost ? r.count : 0;
    }
    ASSERT_GE(parsed->records.size(), 3u);
    const auto& records = parsed->records;
    EXPECT_EQ(records[records.size() - 3].kind, Kind::lost);  // the gap, before what followed it
    EXPECT_EQ(records[records.size() - 2].kind, Kind::ecr_connect);
    EXPECT_EQ(kept + lost, total);
    EXPECT_EQ(lost, f.capture->lost());
    EXPECT_NE(f.all_notices().find(std::to_string(lost) + " records lost"), std::string::npos)
        << f.all_notices();
}

// Ending a capture on a stalled disk (SIGUSR2, the program's end) waits a while for room for
// the last lines, but the board reader and the pipe thread go on meanwhile: they find no
// capture running rather than wait for it.
TEST(TrafficCapture, EndingOnAStalledDiskHoldsUpNoRecordingThread) {
    Fixture f;
    StalledDisk disk;
    f.write = disk.writer();
    f.make();
    f.capture->identify(shop_header());
    ASSERT_TRUE(f.capture->start(f.file, true));
    const uint8_t frame[] = {0x02, 0x30, 0x03};
    for (size_t i = 0; i < 2 * TrafficCapture::kQueueLimit; ++i)
        f.capture->record(Kind::board_to_pc, frame, 3);
    const int reads = f.clock_reads.load();
    std::thread ender([&] { f.capture->stop(); });
    test::wait_until([&] { return f.clock_reads.load() > reads; }, 5000);  // stop() has the time
    const auto before = std::chrono::steady_clock::now();
    f.capture->record(Kind::board_to_pc, frame, 3);
    EXPECT_FALSE(f.capture->running());
    const auto took = std::chrono::steady_clock::now() - before;
    disk.resume();
    ender.join();
    // stop() waits 2 s for room: a recording thread that waited with it took at least that.
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    auto parsed = capture::parse(slurp(f.file));
    ASSERT_TRUE(parsed) << parsed.error();
}

// The size limit ends the capture with a note in the file and on standard error; the file
// stays readable and nothing after the limit is kept.
TEST(TrafficCapture, TheSizeLimitEndsTheCaptureWithANote) {
    Fixture f;
    f.make();
    f.capture->set_limit(2000);
    f.capture->identify(shop_header());
    ASSERT_TRUE(f.capture->start(f.file, true));
    const uint8_t frame[32] = {};
    for (int i = 0; i < 100; ++i) f.capture->record(Kind::board_to_pc, frame, sizeof frame);
    EXPECT_FALSE(f.capture->running());
    f.capture->stop();
    std::string text = slurp(f.file);
    auto parsed = capture::parse(text);
    ASSERT_TRUE(parsed) << parsed.error();
    ASSERT_FALSE(parsed->records.empty());
    EXPECT_EQ(parsed->records.back().kind, Kind::end);
    EXPECT_EQ(parsed->records.back().text, "size-limit");
    EXPECT_NE(text.find("# capture stopped: the size limit of 2000 bytes was reached"),
              std::string::npos);
    EXPECT_LE(text.size(), 2000u + 200u);
    EXPECT_NE(f.all_notices().find("size limit of 2000 bytes reached"), std::string::npos);
}

// The limit is the file's size: a record that fills it exactly is kept, the next one is not.
TEST(TrafficCapture, TheSizeLimitKeepsARecordThatFillsItExactly) {
    Fixture f;
    f.make();
    capture::Header h = shop_header();
    h.start = "program";
    const uint8_t frame[] = {0x02, 0x30, 0x03};
    const size_t line = capture::record_line(0, Kind::board_to_pc, frame, 3).size();
    f.capture->set_limit(capture::header_lines(h).size() + 2 * line);
    f.capture->identify(shop_header());
    ASSERT_TRUE(f.capture->start(f.file, true));
    for (int i = 0; i < 3; ++i) f.capture->record(Kind::board_to_pc, frame, 3);
    f.capture->stop();
    auto parsed = capture::parse(slurp(f.file));
    ASSERT_TRUE(parsed) << parsed.error();
    ASSERT_EQ(parsed->records.size(), 3u);
    EXPECT_EQ(parsed->records[1].kind, Kind::board_to_pc);
    EXPECT_EQ(parsed->records[2].text, "size-limit");
}

// A disk that fills up ends the capture with a word on standard error; the scale goes on.
TEST(TrafficCapture, AFullDiskEndsTheCapture) {
    Fixture f;
    f.write = [](int, const void*, size_t) -> long {
        errno = ENOSPC;
        return -1;
    };
    f.make();
    f.capture->identify(shop_header());
    ASSERT_TRUE(f.capture->start(f.file, true));
    test::wait_until([&] { return !f.capture->running(); }, 5000);
    EXPECT_FALSE(f.capture->running());
    f.capture->record(Kind::ecr_connect);
    f.capture->stop();
    EXPECT_NE(f.all_notices().find("cannot write: No space left on device"), std::string::npos)
        << f.all_notices();
}

// Refused before anything starts where no capture can go: the file must be a regular file that
// can be written. One that exists is emptied.
TEST(TrafficCapture, RefusedWhereNoCaptureCanBeWritten) {
    Fixture f;
    f.make();
    ASSERT_EQ(mkfifo(f.dir.file("fifo").c_str(), 0600), 0);
    std::ofstream(f.dir.file("elsewhere")) << "the shop's own file\n";
    ASSERT_EQ(::symlink(f.dir.file("elsewhere").c_str(), f.dir.file("link").c_str()), 0);
    const struct {
        std::string path, error;
    } cases[] = {
        {f.dir.path().string(), "not a regular file"},
        {f.dir.file("fifo"), "not a regular file"},
        {"/dev/null", "not a regular file"},
        {f.dir.file("missing/shop.txt"), "missing/shop.txt: No such file or directory"},
        {"", "no file named"},
        // Followed, a link planted in a shared directory would empty the file it names.
        {f.dir.file("link"), "link: a symbolic link (name the file itself)"},
    };
    for (const auto& c : cases) {
        Result<void> started = f.capture->start(c.path, true);
        ASSERT_FALSE(started) << c.path;
        EXPECT_NE(started.error().find(c.error), std::string::npos) << started.error();
    }
    EXPECT_EQ(slurp(f.dir.file("elsewhere")), "the shop's own file\n");
    // One that exists is emptied, and readable by its user alone from then on, as a new one is.
    std::ofstream(f.file) << "an older capture\n";
    ASSERT_EQ(::chmod(f.file.c_str(), 0644), 0);
    ASSERT_TRUE(f.capture->start(f.file, true));
    f.capture->stop();
    EXPECT_EQ(slurp(f.file), "");  // no header known: nothing was recorded
    struct stat st {};
    ASSERT_EQ(::stat(f.file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace tarvelo
