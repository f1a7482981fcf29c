#pragma once
// Small helpers shared by the test programs: a clock that does not sleep, a temporary
// directory that cleans up after itself, and a message sink and message boxes that record what
// was posted or shown.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/message_sink.h"

namespace tarvelo::test {

// Time moves only when someone sleeps; sleeping returns at once.
class FakeClock : public Clock {
  public:
    void sleep_ms(int ms) override {
        now_ += ms;
        slept_ += ms;
        sleeps_.fetch_add(1);
        std::this_thread::yield();
    }
    int64_t now_ms() override { return now_; }
    LocalTime local_time() override { return time_; }
    int64_t epoch_seconds() override { return epoch_; }

    LocalTime time_{2024, 1, 31, 23, 59, 59};
    int64_t epoch_ = 1700000000;
    std::atomic<int64_t> now_{0};
    std::atomic<int64_t> slept_{0};
    std::atomic<int> sleeps_{0};
};

class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// Sets an environment variable (or, with nullptr, removes it) for its own lifetime, then puts
// back what was there, also when a check ends the test early.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value);
    ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_, old_;
    bool had_ = false;
};

class RecordingSink : public MessageSink {
  public:
    void post(PostedMessage message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(std::move(message));
    }
    std::vector<PostedMessage> messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<PostedMessage> messages_;
};

// The texts of the message boxes shown, from any thread.
class RecordingBoxes : public MessageBox {
  public:
    void error(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.push_back(text);
    }
    void info(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        infos_.push_back(text);
    }
    // The error boxes' texts; the information boxes' apart.
    std::vector<std::string> texts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }
    std::vector<std::string> infos() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return infos_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_, infos_;
};

// Recording boxes that are the process-wide message box while they live.
class InstalledBoxes : public RecordingBoxes {
  public:
    InstalledBoxes() { set_message_box(this); }
    ~InstalledBoxes() override { set_message_box(nullptr); }
    InstalledBoxes(const InstalledBoxes&) = delete;
    InstalledBoxes& operator=(const InstalledBoxes&) = delete;
};

// Polls `done` every `every_ms` until it holds or `timeout_ms` passes; returns its last value.
bool wait_until(const std::function<bool()>& done, int timeout_ms = 5000, int every_ms = 1);

// The kernel's id of the calling thread; and whether that thread of this process is blocked in
// the system call `number` (SYS_accept4, SYS_futex, ...) now: how a test knows that another
// thread has reached the wait it means to wake, instead of guessing with a sleep.
int this_thread_tid();
bool thread_blocked_in(int tid, long number);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

}  // namespace tarvelo::test
