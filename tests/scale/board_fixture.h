#pragma once
// A board simulator on a pty linked in a temporary directory, and helpers to read back what
// the driver wrote to it.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
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

inline std::vector<uint8_t> bytes(std::initializer_list<int> list) { return std::vector<uint8_t>(list.begin(), list.end()); }
inline std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// The frames and control bytes the board received, without their times.
inline std::vector<std::vector<uint8_t>> received_bytes(const sim::BoardSimulator& board) {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& r : board.received()) out.push_back(r.bytes);
    return out;
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
