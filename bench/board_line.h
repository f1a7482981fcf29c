#pragma once
// The board's end of the serial line, played by the benchmark: a pseudo-terminal whose other end
// the scale's own xon/xoff driver opens, and a thread that writes a stable weight frame every
// period (each one 10 % longer or shorter at random), carrying the weight last set. Whatever the
// driver writes to the board is read and dropped. It remembers when the first frame of each new
// weight left.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/pseudo_terminal.h"

namespace tarvelo::bench {

class BoardLine {
  public:
    using Steady = std::chrono::steady_clock;

    // A line whose slave the driver opens by device(); null when no pseudo-terminal is had.
    static std::unique_ptr<BoardLine> create(int period_ms, int32_t grams);
    ~BoardLine();
    BoardLine(const BoardLine&) = delete;
    BoardLine& operator=(const BoardLine&) = delete;

    std::string device() const { return pty_->device_name(); }
    // The next frame carries `grams`.
    void set_weight(int32_t grams);
    // Waits until a frame with the weight last set has been written; when it was written.
    Steady::time_point wait_written();

  private:
    BoardLine(std::unique_ptr<PseudoTerminal> pty, int period_ms, int32_t grams);
    void run();

    std::unique_ptr<PseudoTerminal> pty_;
    const std::chrono::milliseconds period_;
    std::mutex mutex_;
    std::condition_variable written_changed_;
    int32_t grams_;
    bool written_ = false;
    Steady::time_point written_at_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace tarvelo::bench
