#pragma once
// One weighing board's serial line, as both board drivers use it: the port, opened with the
// board's line settings; whole writes from any thread; and the reader loop, which hands each
// byte to the driver, starts the frame hunt again after a read error, and when the device
// goes away (an unplugged USB adapter) reopens it by name until it returns. The link watch
// (link_watch.h) is told of every loss; the driver tells it of every good frame.

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "scale/board_trace.h"
#include "scale/link_watch.h"

namespace tarvelo {

class SerialLink {
  public:
    SerialLink(Clock& clock, TraceFn trace, LineOpener opener = {})
        : clock_(clock),
          trace_(std::move(trace)),
          opener_(opener ? std::move(opener) : serial_port_opener()) {}

    struct Opened {
        bool ok = false;
        bool refused_settings = false;  // the device opened but did not take the line settings
        std::string error;              // why not, when not ok
    };
    // Opens the named device (a COMn name or a path) with the line settings.
    Opened open(const std::string& name, const LineSettings& settings);
    bool is_open() const { return port() != nullptr; }
    bool was_opened() const { return !name_.empty(); }
    const std::string& name() const { return name_; }

    // Writes every byte; false when there is no port or the device refuses.
    bool write(const uint8_t* data, size_t length);

    struct Reader {
        std::function<bool()> running;      // the loop ends when this turns false
        std::function<void(uint8_t)> byte;  // one byte read
        std::function<void()> restart;      // start the frame hunt again
        std::function<void()> reopened;     // the device is back (switch the stream on)
    };
    // The reader thread's loop, on the calling thread. A read that finds nothing waits 20 ms,
    // and then until the next byte is there, up to kQuietLineWaitMs more: a quiet line costs
    // one read every 120 ms. A failing line costs one read every 20 ms; a lost device is tried
    // again once a second. The loop notices `running` turning false within 120 ms.
    void run(const Reader& reader);
    static constexpr int kQuietLineWaitMs = 100;

    LinkWatch& watch() { return watch_; }
    const LinkWatch& watch() const { return watch_; }

  private:
    std::shared_ptr<SerialLine> port() const;
    void reopen(const Reader& reader);

    Clock& clock_;
    TraceFn trace_;
    LineOpener opener_;
    std::string name_;
    LineSettings settings_;
    mutable std::mutex port_mutex_;  // guards the port pointer against the reopen
    std::shared_ptr<SerialLine> port_;
    LinkWatch watch_;
};

}  // namespace tarvelo
