#include "scale/serial_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <thread>

#include "tests/scale/board_fixture.h"

namespace tarvelo {
namespace {

// An unplugged adapter is looked for again about once a second: not in a loop that keeps a core
// busy, and not so seldom that the scale stays blind long after it is back. The first attempt
// comes a second after the loss.
TEST(SerialLinkReopen, AVanishedDeviceIsLookedForOnceASecond) {
    test::FakeClock clock;  // the reader's pauses are the only passing time
    auto* line = new test::ScriptedLine;
    std::mutex mutex;
    std::vector<int64_t> attempts;  // the time of each open after the first
    int64_t lost_at = -1;
    auto trace = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        if (text.rfind("Scale link lost", 0) == 0) lost_at = clock.now_ms();
    };
    int opens = 0;
    auto opener = [&](const std::string&,
                      const LineSettings&) -> Result<std::unique_ptr<SerialLine>> {
        std::lock_guard<std::mutex> lock(mutex);
        if (++opens == 1) return std::unique_ptr<SerialLine>(line);
        attempts.push_back(clock.now_ms());
        if (attempts.size() < 4) return Failure{"not there"};
        return std::unique_ptr<SerialLine>(new test::ScriptedLine);
    };
    SerialLink link(clock, trace, opener);
    ASSERT_TRUE(link.open("board", LineSettings{}).ok);
    std::atomic<bool> running{true}, reopened{false};
    SerialLink::Reader reader;
    reader.running = [&] { return running.load(); };
    reader.byte = [](uint8_t) {};
    reader.restart = [] {};
    reader.reopened = [&] { reopened = true; };
    std::thread thread([&] { link.run(reader); });
    line->gone();
    const bool back = test::wait_until([&] { return reopened.load(); });
    running = false;
    thread.join();
    ASSERT_TRUE(back);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GE(lost_at, 0);
    std::vector<int64_t> after_loss;
    for (int64_t t : attempts) after_loss.push_back(t - lost_at);
    EXPECT_EQ(after_loss, (std::vector<int64_t>{1000, 2000, 3000, 4000}));
}

// What the reader does, in order: its reads, its sleeps and its waits for input.
class Journal {
  public:
    void add(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(entry);
        changed_.notify_all();
    }
    std::vector<std::string> entries() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }
    size_t count(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<size_t>(std::count(entries_.begin(), entries_.end(), entry));
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> entries_;
};

class JournalClock : public test::FakeClock {
  public:
    explicit JournalClock(Journal& journal) : journal_(journal) {}
    void sleep_ms(int ms) override {
        journal_.add("sleep " + std::to_string(ms));
        test::FakeClock::sleep_ms(ms);
    }

  private:
    Journal& journal_;
};

// A quiet line whose wait for input lasts until the test hands over a byte or lets it go.
class QuietLine : public SerialLine {
  public:
    explicit QuietLine(Journal& journal) : journal_(journal) {}
    ReadStatus read_byte(uint8_t& out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.empty()) {
            journal_.add("read nothing");
            return ReadStatus::nothing;
        }
        out = static_cast<uint8_t>(pending_.front());
        pending_.erase(0, 1);
        journal_.add(std::string("read ") + static_cast<char>(out));
        return ReadStatus::byte;
    }
    bool write_all(const void*, size_t) override { return true; }
    void wait_for_input(int timeout_ms) override {
        journal_.add("wait " + std::to_string(timeout_ms));
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return !pending_.empty() || released_; });
    }
    void send(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_ += bytes;
        changed_.notify_all();
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    Journal& journal_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string pending_;
    bool released_ = false;
};

// A read that finds nothing waits its 20 ms, then until the next byte is there: a quiet line is
// not read again and again for nothing, and the bytes are still taken one per read.
TEST(SerialLinkReading, AnEmptyReadWaitsItsPauseAndThenForTheNextByte) {
    Journal journal;
    JournalClock clock(journal);
    auto* line = new QuietLine(journal);
    line->send("ab");
    SerialLink link(
        clock, [](const std::string&) {}, test::opener_of(line));
    ASSERT_TRUE(link.open("board", LineSettings{}).ok);
    std::atomic<bool> running{true};
    std::string bytes;
    SerialLink::Reader reader;
    reader.running = [&] { return running.load(); };
    reader.byte = [&](uint8_t b) { bytes.push_back(static_cast<char>(b)); };
    reader.restart = [] {};
    reader.reopened = [] {};
    std::thread thread([&] { link.run(reader); });
    ASSERT_TRUE(test::wait_until([&] { return journal.count("wait 100") == 1; }));
    line->send("c");
    ASSERT_TRUE(test::wait_until([&] { return journal.count("wait 100") == 2; }));
    running = false;
    line->release();
    thread.join();
    EXPECT_EQ(bytes, "abc");
    std::vector<std::string> entries = journal.entries();
    entries.resize(std::min<size_t>(entries.size(), 9));
    EXPECT_EQ(entries,
              (std::vector<std::string>{"read a", "read b", "read nothing", "sleep 20", "wait 100",
                                        "read c", "read nothing", "sleep 20", "wait 100"}));
}

}  // namespace
}  // namespace tarvelo
