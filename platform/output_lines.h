#pragma once
// The program's standard output (board traces, "tarvelo: scale ready", screenshot paths),
// written by a thread of its own. No worker ever waits on a reader that has stalled or gone:
// a line that finds the queue full is dropped, and a closed output drops everything.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace tarvelo {

class OutputLines {
  public:
    static constexpr size_t kQueueLimit = 1000;

    explicit OutputLines(int fd) : fd_(fd) {}
    ~OutputLines();  // writes what is queued, for at most a second
    OutputLines(const OutputLines&) = delete;
    OutputLines& operator=(const OutputLines&) = delete;

    // Queues the text (one or more whole lines); never waits for the output.
    void write(std::string text);
    // Waits until everything queued has been written, or timeout_ms has passed; false then.
    bool flush(int timeout_ms);
    // Lines lost: refused by a full queue, or not written whole (a closed or full output).
    size_t dropped() const;

  private:
    void run();

    const int fd_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    bool writing_ = false;
    bool stopping_ = false;
    size_t dropped_ = 0;
    std::thread writer_;
};

// The process's standard output.
OutputLines& standard_output();

}  // namespace tarvelo
