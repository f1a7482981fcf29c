#pragma once
// The pipe server thread: creates the ECR pipe, serves one client at a time, reads one
// request byte by byte once the display is ready, hands it to the dispatcher and writes the
// one reply. A client that leaves, sends garbage or vanishes mid-frame costs nothing but its
// own connection: the next client is served as before, in the verification state the last
// one left.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "ecr/record_dispatcher.h"
#include "log/event_log.h"
#include "platform/clock.h"
#include "platform/pipe_endpoint.h"
#include "platform/thread_tuning.h"
#include "platform/traffic_capture.h"

namespace tarvelo {

namespace ecr {
// Reads one request byte by byte through the scale library's pipe read, never past its end
// (request_framer.h). Returns the bytes stored (the terminator included), 0 for a max_length
// below 1, -1 on a read failure (logged) or a null buffer.
// With a capture, the request is recorded as the scale read it, also when it was cut off.
int receive_frame(pipe_handle pipe, uint8_t* buffer, int max_length, EventLog& log,
                  TrafficCapture* capture = nullptr);
}  // namespace ecr

class PipeServerThread {
  public:
    struct Parts {
        std::string pipe_name;
        RecordDispatcher* dispatcher = nullptr;
        EventLog* log = nullptr;
        Clock* clock = nullptr;
        const std::atomic<int32_t>* display_ready = nullptr;
        TrafficCapture* capture = nullptr;            // told of every connection, request and reply
        Wakeups wakeups_ceiling = Wakeups::realtime;  // the most the thread asks the kernel for
    };
    explicit PipeServerThread(const Parts& parts) : p_(parts) {}

    // The thread procedure: -1 when the pipe cannot be created or the first client never
    // connects; otherwise it serves until stop() (0).
    int run();
    // Ends run() from another thread (orderly shut-down and tests).
    void stop();
    // Told once whether the pipe was created (true: the ECR link is served), from run()'s thread.
    void on_created(std::function<void(bool served)> hook) { created_ = std::move(hook); }
    // How promptly the kernel wakes the thread (thread_tuning.h), once run() has begun.
    Wakeups wakeups() const { return wakeups_.load(); }

  private:
    void pause(int64_t reply_at_us);

    Parts p_;
    std::function<void(bool)> created_;
    std::atomic<bool> stop_{false};
    std::atomic<Wakeups> wakeups_{Wakeups::ordinary};
    std::mutex server_mutex_;
    PipeServer* server_ = nullptr;
};

}  // namespace tarvelo
