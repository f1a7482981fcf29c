#pragma once
// Watches a board's weight stream for signs that the last status received is no longer the
// weight on the platform.
//
// Only a decoded status frame from the board counts as a sign of life. Our own writes (DC1
// after a reopen, the DC2/DC1 or DC3/DC1 around a command) and the board's command replies
// never do: a board that answers commands but sends no weight must not pass for a live one.
// While a command holds the stream paused the quiet time stops counting, so a slow command
// does not look like a dead line; it does not start again from zero either.
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
        quiet_before_ = 0;
        since_ = now_ms;
        running_ = true;
    }
    // A good status frame was decoded.
    void frame(int64_t now_ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        quiet_before_ = 0;
        since_ = now_ms;
        lost_ = false;
    }
    // A read error, or the device went away: lost until the next good frame.
    void lose() {
        std::lock_guard<std::mutex> lock(mutex_);
        lost_ = true;
    }
    // A command pauses the stream, and resumes it when done. Pauses may overlap.
    void pause(int64_t now_ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (paused_++ == 0) quiet_before_ += now_ms - since_;
    }
    void resume(int64_t now_ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (paused_ > 0 && --paused_ == 0) since_ = now_ms;
    }

    // Milliseconds the stream has been quiet while it was expected to flow.
    int64_t quiet_ms(int64_t now_ms) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return quiet_locked(now_ms);
    }
    bool lost(int64_t now_ms, int timeout_ms) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lost_ || (running_ && quiet_locked(now_ms) > timeout_ms);
    }

  private:
    int64_t quiet_locked(int64_t now_ms) const {
        return quiet_before_ + (paused_ > 0 ? 0 : now_ms - since_);
    }

    mutable std::mutex mutex_;
    bool running_ = false;
    bool lost_ = false;
    int paused_ = 0;
    int64_t quiet_before_ = 0;  // quiet time gathered before the current pause
    int64_t since_ = 0;         // when the quiet time last started counting
};

}  // namespace tarvelo
