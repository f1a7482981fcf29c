#pragma once
// A board simulator on a pty linked in a temporary directory, and helpers to read back what
// the driver wrote to it.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
