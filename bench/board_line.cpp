#include "bench/board_line.h"

#include <random>

#include "scale/xon_board_codec.h"

namespace tarvelo::bench {

std::unique_ptr<BoardLine> BoardLine::create(int period_ms, int32_t grams) {
    auto pty = PseudoTerminal::create("");
    if (!pty) return nullptr;
    return std::unique_ptr<BoardLine>(new BoardLine(pty.take(), period_ms, grams));
}

BoardLine::BoardLine(std::unique_ptr<PseudoTerminal> pty, int period_ms, int32_t grams)
    : pty_(std::move(pty)), period_(period_ms), grams_(grams) {
    thread_ = std::thread(&BoardLine::run, this);
}

BoardLine::~BoardLine() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    written_changed_.notify_all();
    thread_.join();
}

void BoardLine::set_weight(int32_t grams) {
    std::lock_guard<std::mutex> lock(mutex_);
    grams_ = grams;
    written_ = false;
}

BoardLine::Steady::time_point BoardLine::wait_written() {
    std::unique_lock<std::mutex> lock(mutex_);
    written_changed_.wait(lock, [&] { return written_ || stop_; });
    return written_at_;
}

void BoardLine::run() {
    std::minstd_rand random(20240611);
    std::uniform_int_distribution<int> jitter(90, 110);
    auto next = Steady::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (written_changed_.wait_until(lock, next, [&] { return stop_; })) break;
        // A board keeps time by its own clock: its frames drift against the scale's cycles.
        next += period_ * jitter(random) / 100;
        xo::StatusBlock block{};
        const int32_t grams = grams_;
        block[xo::weight] = grams;
        block[xo::stable] = 1;
        lock.unlock();
        std::vector<uint8_t> frame = xo::encode_weight_frame(block);
        pty_->write_all(frame.data(), frame.size());
        auto at = Steady::now();
        uint8_t dropped = 0;
        while (pty_->read_byte(dropped) == ReadStatus::byte) {
        }
        lock.lock();
        if (!written_ && grams_ == grams) {
            written_ = true;
            written_at_ = at;
            written_changed_.notify_all();
        }
    }
}

}  // namespace tarvelo::bench
