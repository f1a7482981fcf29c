#pragma once
// The program's standard output (board traces, "tarvelo: scale ready", screenshot paths),
// written by a thread of its own. No worker ever waits on a reader that has stalled or gone:
// a line that finds the queue full is dropped, and a closed output drops everything.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace tarvelo {

class OutputLines {
  public:
    static constexpr size_t kQueueLimit = 1000;

    explicit OutputLines(int fd);
    // Writes what is queued, for at most a second. A writer still stuck on a stalled reader
    // then is left behind, never waited for: it keeps the state it shares with this object
    // alive and ends once its write returns, writing nothing more.
    ~OutputLines();
    OutputLines(const OutputLines&) = delete;
    OutputLines& operator=(const OutputLines&) = delete;

    // Queues the text (one or more whole lines); never waits for the output.
    void write(std::string text);
    // Waits until everything queued has been written, or timeout_ms has passed; false then.
    bool flush(int timeout_ms);
    // Lines lost: refused by a full queue, or not written whole (a closed or full output).
    size_t dropped() const;

  private:
    struct State {
        explicit State(int out) : fd(out) {}
        const int fd;
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<std::string> queue;
        bool writing = false;
        bool started = false;
        bool abandoned = false;  // the owner is gone: write nothing more, end
        size_t dropped = 0;
    };
    static void run(std::shared_ptr<State> state);

    const std::shared_ptr<State> state_;
};

// The process's standard output.
OutputLines& standard_output();

}  // namespace tarvelo
