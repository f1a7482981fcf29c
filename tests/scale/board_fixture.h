#pragma once
// A board simulator on a pty linked in a temporary directory, and helpers to read back what
// the driver wrote to it; a scripted line in its place where a test needs every byte, read
// error and answer in its own hands; clocks that record or hold time.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial_port.h"
#include "scale/board_trace.h"
#include "tests/support/test_support.h"
#include "tools/boardsim/board_simulator.h"

namespace tarvelo::test {

inline std::unique_ptr<sim::BoardSimulator> make_board(const TempDir& dir, sim::BoardType type) {
    sim::Options options;
    options.type = type;
    options.link_path = dir.file("board");
    options.rate_hz = 50;  // frequent frames keep the tests short
    std::string error;
    auto board = sim::BoardSimulator::create(options, &error);
    EXPECT_NE(board, nullptr) << error;
    return board;
}

inline std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    return std::vector<uint8_t>(list.begin(), list.end());
}
inline std::vector<uint8_t> bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// The frames and control bytes the board received, without their times.
inline std::vector<std::vector<uint8_t>> received_bytes(const sim::BoardSimulator& board) {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& r : board.received()) out.push_back(r.bytes);
    return out;
}

// Records every sleep a driver asks for, per thread, and sleeps a fiftieth of it, so that
// the exact waits of a command can be compared without waiting them out.
class RecordingClock : public SystemClock {
  public:
    void sleep_ms(int ms) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            sleeps_[std::this_thread::get_id()].push_back(ms);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(ms * 20));
    }
    std::vector<int> sleeps_of(std::thread::id thread) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sleeps_.find(thread);
        return it == sleeps_.end() ? std::vector<int>{} : it->second;
    }
    // The sequences of every thread whose first sleep was `first` (a command thread).
    std::vector<std::vector<int>> sequences_starting(int first) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::vector<int>> out;
        for (const auto& [id, seq] : sleeps_)
            if (!seq.empty() && seq.front() == first) out.push_back(seq);
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        sleeps_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::thread::id, std::vector<int>> sleeps_;
};

// n copies of a delay, for writing expected sequences of sleeps.
inline std::vector<int> times(int n, int ms) {
    return std::vector<int>(static_cast<size_t>(n), ms);
}
inline std::vector<int> operator+(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Time stands still until the test moves it. A sleep takes a fiftieth of its length in real
// time, so that threads that poll in a loop do not spin.
class ManualClock : public SystemClock {
  public:
    void sleep_ms(int ms) override {
        std::this_thread::sleep_for(std::chrono::microseconds(ms * 20));
    }
    int64_t now_ms() override { return now_.load(); }
    void set(int64_t ms) { now_ = ms; }

  private:
    std::atomic<int64_t> now_{0};
};

// A line whose bytes, read errors and silences a test hands over one by one. `answer`, when
// set, sees every write and returns the bytes the board sends back for it.
class ScriptedLine : public SerialLine {
  public:
    struct Step {
        ReadStatus status;
        uint8_t byte;
    };
    ReadStatus read_byte(uint8_t& out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (steps_.empty()) {
            ++idle_reads_;
            return ReadStatus::nothing;
        }
        Step s = steps_.front();
        steps_.pop_front();
        idle_reads_ = 0;
        out = s.byte;
        return s.status;
    }
    bool write_all(const void* data, size_t length) override {
        if (answer) {
            const auto* p = static_cast<const uint8_t*>(data);
            bytes(answer(std::vector<uint8_t>(p, p + length)));
        }
        return true;
    }
    void bytes(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (char c : text) steps_.push_back({ReadStatus::byte, static_cast<uint8_t>(c)});
    }
    void error() {
        std::lock_guard<std::mutex> lock(mutex_);
        steps_.push_back({ReadStatus::error, 0});
    }
    void gone() {
        std::lock_guard<std::mutex> lock(mutex_);
        steps_.push_back({ReadStatus::gone, 0});
    }
    // Everything handed over has been read, and the reader has come back for more since.
    bool drained() {
        std::lock_guard<std::mutex> lock(mutex_);
        return steps_.empty() && idle_reads_ >= 2;
    }

    std::function<std::string(const std::vector<uint8_t>& written)> answer;

  private:
    std::mutex mutex_;
    std::deque<Step> steps_;
    int idle_reads_ = 0;
};

// Opens `line` (owned by the driver from then on) whatever the name.
inline LineOpener opener_of(SerialLine* line) {
    return [line](const std::string&, const LineSettings&) -> Result<std::unique_ptr<SerialLine>> {
        return std::unique_ptr<SerialLine>(line);
    };
}

// Collects the driver's traces.
class TraceLog {
  public:
    TraceFn fn() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            text_ += line;
        };
    }
    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }

  private:
    mutable std::mutex mutex_;
    std::string text_;
};

}  // namespace tarvelo::test
