#include "platform/output_lines.h"

#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

namespace tarvelo {

OutputLines::OutputLines(int fd) : state_(std::make_shared<State>(fd)) {}

OutputLines::~OutputLines() {
    flush(1000);
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        // What a stalled reader never took is lost; the owner may close the descriptor now,
        // and a later write could land on whatever reuses its number.
        state_->dropped += state_->queue.size();
        state_->queue.clear();
        state_->abandoned = true;
    }
    state_->changed.notify_all();
}

void OutputLines::write(std::string text) {
    State& s = *state_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.queue.size() >= kQueueLimit) {
            ++s.dropped;
            return;
        }
        s.queue.push_back(std::move(text));
        if (!s.started) {
            try {
                std::thread(&OutputLines::run, state_).detach();
                s.started = true;
            } catch (const std::system_error&) {
                s.queue.clear();  // no writer: nothing may pile up
                ++s.dropped;
                return;
            }
        }
    }
    s.changed.notify_all();
}

bool OutputLines::flush(int timeout_ms) {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return s.queue.empty() && !s.writing; });
}

size_t OutputLines::dropped() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->dropped;
}

void OutputLines::run(std::shared_ptr<State> state) {
    State& s = *state;
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        s.changed.wait(lock, [&] { return s.abandoned || !s.queue.empty(); });
        if (s.abandoned) return;
        std::string text = std::move(s.queue.front());
        s.queue.pop_front();
        s.writing = true;
        lock.unlock();
        const char* p = text.data();
        size_t left = text.size();
        while (left > 0) {
            ssize_t n = ::write(s.fd, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // closed or failing: the line is dropped
            p += n;
            left -= static_cast<size_t>(n);
            if (left > 0) {
                std::lock_guard<std::mutex> check(s.mutex);
                if (s.abandoned) break;  // the rest of a line the owner no longer waits for
            }
        }
        lock.lock();
        if (left > 0) ++s.dropped;
        s.writing = false;
        s.changed.notify_all();
    }
}

OutputLines& standard_output() {
    static OutputLines* out = new OutputLines(STDOUT_FILENO);  // used until the process ends
    return *out;
}

}  // namespace tarvelo
