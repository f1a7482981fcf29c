#pragma once
// Watches a board's weight stream for signs that the last status received is no longer the
// weight on the platform.
//
// Only a decoded status frame from the board counts as a sign of life. Our own writes (DC1
// after a reopen, the DC2/DC1 or DC3/DC1 around a command) and the board's command replies
// never do: a board that answers commands but sends no weight must not pass for a live one.
// The quiet time counts on while a command holds the stream paused: a status older than the
// time-out is not the weight on the platform, whatever the reason no frame came.
//
// Once lost (silence past the time-out, a read error, the device gone), the link stays lost
// until the next good status frame, whatever is written in between.

#include <cstdint>
#include <mutex>

namespace tarvelo {

class LinkWatch {
  public:
    // The stream was switched on: quiet time counts from here.
    void start(int64_t now_ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        since_ = now_ms;
        running_ = true;
    }
    // A good status frame was decoded.
    void frame(int64_t now_ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        since_ = now_ms;
        lost_ = false;
    }
    // A read error, or the device went away: lost until the next good frame.
    void lose() {
        std::lock_guard<std::mutex> lock(mutex_);
        lost_ = true;
    }

    // Milliseconds since the last good frame (or since the stream was switched on).
    int64_t quiet_ms(int64_t now_ms) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return now_ms - since_;
    }
    // Silence past the time-out is a loss like any other: it lasts until the next good frame.
    bool lost(int64_t now_ms, int timeout_ms) const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_ && now_ms - since_ > timeout_ms) lost_ = true;
        return lost_;
    }

  private:
    mutable std::mutex mutex_;
    bool running_ = false;
    mutable bool lost_ = false;
    int64_t since_ = 0;  // the last good frame, or the switch-on
};

}  // namespace tarvelo
