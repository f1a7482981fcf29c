#include "platform/output_lines.h"

#include <unistd.h>
#include <cerrno>
#include <chrono>

namespace tarvelo {

OutputLines::~OutputLines() {
    flush(1000);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    // A writer stuck on a stalled reader is left behind rather than waited for.
    if (writer_.joinable()) writer_.detach();
}

void OutputLines::write(std::string text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= kQueueLimit) {
            ++dropped_;
            return;
        }
        queue_.push_back(std::move(text));
        if (!writer_.joinable()) {
            try {
                writer_ = std::thread(&OutputLines::run, this);
            } catch (const std::system_error&) {
                queue_.clear();  // no writer: nothing may pile up
                ++dropped_;
                return;
            }
        }
    }
    changed_.notify_all();
}

bool OutputLines::flush(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return queue_.empty() && !writing_; });
}

size_t OutputLines::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void OutputLines::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        std::string text = std::move(queue_.front());
        queue_.pop_front();
        writing_ = true;
        lock.unlock();
        const char* p = text.data();
        size_t left = text.size();
        while (left > 0) {
            ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // closed or failing: the line is dropped
            p += n;
            left -= static_cast<size_t>(n);
        }
        lock.lock();
        if (left > 0) ++dropped_;
        writing_ = false;
        changed_.notify_all();
    }
}

OutputLines& standard_output() {
    static OutputLines* out = new OutputLines(STDOUT_FILENO);  // used until the process ends
    return *out;
}

}  // namespace tarvelo
