#pragma once
// The board's end of the serial line: a pseudo-terminal linked where the PC looks for it, one
// thread that reads what the PC sends and keeps time, and the writing side with its own
// misbehaviour (silent, byte by byte, unplugged). It knows no board type: what the PC sends
// reaches a LinePeer in units (a control byte, or a frame STX payload ETX check, the form both
// boards take commands in), and the peer answers through send(). A board model stands behind
// it today; anything else that plays the board's end (a recorded session played back) can
// stand there the same way.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/pseudo_terminal.h"

namespace tarvelo::sim {

// A frame or control byte received from the PC, with the steady-clock time it completed.
struct Received {
    int64_t ms;
    std::vector<uint8_t> bytes;
};

int64_t steady_ms();

class LinePeer {
  public:
    virtual ~LinePeer() = default;
    // A control byte (DC1, DC2, DC3) or a whole frame from the PC.
    virtual void on_received(const std::vector<uint8_t>& unit) = 0;
    // Every byte from the PC as it came, whatever it belongs to (before on_received).
    virtual void on_byte(uint8_t) {}
    // The PC let go of the line (the slave was closed).
    virtual void on_hangup() = 0;
    // Time to send what is due; returns the steady-clock time it next wants to be asked.
    virtual int64_t on_tick(int64_t now_ms) = 0;
};

class PtyLine {
  public:
    static std::unique_ptr<PtyLine> create(const std::string& link_path, bool verbose,
                                           std::string* error);
    ~PtyLine();  // stops the thread
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Starts the thread that serves `peer` until this line ends; once only.
    void start(LinePeer& peer);
    void stop();

    std::string device_name() const;
    void send(const std::vector<uint8_t>& bytes);

    void set_silent(bool silent);  // no byte at all leaves the board
    bool silent() const;
    void set_split_delay(int ms);       // frames leave byte by byte, this far apart
    void vanish();                      // the device disappears (unplugged adapter)
    bool reappear(std::string* error);  // and comes back under the same name

    std::vector<Received> received() const;
    void clear_received();

  private:
    PtyLine(std::string link_path, bool verbose)
        : link_path_(std::move(link_path)), verbose_(verbose) {}
    void loop(LinePeer& peer);
    void handle_byte(uint8_t byte, LinePeer& peer);
    void record(const std::vector<uint8_t>& bytes);

    const std::string link_path_;
    const bool verbose_;
    mutable std::mutex pty_mutex_;  // the pty (replaced by vanish/reappear) and its name
    std::shared_ptr<PseudoTerminal> pty_;
    std::string device_name_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    mutable std::mutex mutex_;  // everything below
    bool silent_ = false;
    int split_ms_ = 0;
    std::vector<Received> received_;

    // Receiving state (loop thread only; a new device asks the loop to start over).
    std::atomic<bool> rx_restart_{false};
    enum class Rx { idle, frame, check } rx_ = Rx::idle;
    std::vector<uint8_t> rx_frame_;
};

}  // namespace tarvelo::sim
