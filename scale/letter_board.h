#pragma once
// Driver of the letter-command board. One reader thread decodes every frame the board sends
// and keeps the status record; each command leaves from a short-lived thread of its own,
// serialised by the command lock, framed by DC3 ... DC1 and followed by a second's pause, so
// that callers never wait on the line (except the initial zero and the integrity check,
// which wait for the board's answer). Changes are posted to the owner as copies.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/clock.h"
#include "platform/message_sink.h"
#include "platform/serial_port.h"
#include "scale/board_trace.h"
#include "scale/letter_board_codec.h"
#include "scale/serial_link.h"
#include "scale/weighing_board.h"

namespace tarvelo {

class LetterBoard : public WeighingBoard {
  public:
    // Commands that may wait behind the one on the line; a command beyond them fails at once
    // rather than pausing the weight stream for minutes.
    static constexpr int kMaxWaiting = 4;
    // Starts a detached thread for fn; throws std::system_error when none can be made.
    using ThreadStarter = std::function<void(std::function<void()> fn)>;

    // `opener` stands in for the serial devices (tests) or records what they carry (a capture).
    explicit LetterBoard(Clock& clock = system_clock(), TraceFn trace = stdout_trace(),
                         ThreadStarter start_thread = {}, LineOpener opener = {});
    ~LetterBoard() override;  // stops the reader and waits for queued commands
    LetterBoard(const LetterBoard&) = delete;
    LetterBoard& operator=(const LetterBoard&) = delete;

    // The line the board is opened with: 19200 baud, 8 data bits, even parity, one stop bit.
    static LineSettings line_settings() { return LineSettings{19200, 8, 'E', 1}; }

    int open(const lcmd::lcmd_port_config* config);  // 0 also when already open
    int start(MessageSink* owner);                   // 0 also when already running
    void get_status(lcmd::lcmd_status* out) const;

    // The board as the facade sees it: opened with line_settings(); the load state becomes the
    // over- and underload flags; unit and total price are left as the caller had them.
    int start(MessageSink* owner, const std::string& port_name) override;
    bool snapshot(weighing_snapshot& out) const override;
    bool link_lost(int timeout_ms) const override {
        return link_.watch().lost(clock_.now_ms(), timeout_ms);
    }

    int tare() override;
    int rezero() override;
    int preset_tare(int32_t value) override;
    int init_rezero() override;  // waits up to 10 x 2 s for the answer to 'z'
    // Queues any command letter with its data, as tare, zero and preset tare do. The scale
    // itself sends only those and 'z' and 'K'; service tools and tests use the others ('C'
    // status word, 'D' numbers, 'F' firmware), whose replies are decoded and posted.
    int command(char letter, std::string_view data = {});
    // The start-up integrity check: 0 when the board answers 'R' '0' to 'K' with the text.
    int check_integrity(const std::string& checksum) override;

    lcmd::lcmd_reply last_reply() const;

  private:
    struct Command {
        char letter;
        std::string data;
    };
    // Queues the command; returns its ticket, or -1 when the queue is full or no thread could
    // be made (the command then takes no turn).
    int64_t queue(Command command);
    void wait_done(int64_t ticket);    // until that command has left the line
    int send(const Command& command);  // the DC3, frame, DC1 sequence; runs under the lock
    void reader_thread(MessageSink* owner);
    void handle_frame(const lcmd::FrameReader::Frame& frame, MessageSink* owner);
    bool write(const uint8_t* data, size_t length) { return link_.write(data, length); }
    int wait_reply(char letter, int tries, int interval_ms);

    Clock& clock_;
    TraceFn trace_;
    ThreadStarter start_thread_;
    SerialLink link_;

    // One command on the line at a time, in the order the commands were queued: each command
    // thread takes a ticket and waits for its turn.
    std::mutex active_mutex_;
    std::condition_variable turn_changed_;
    uint64_t next_ticket_ = 0;
    uint64_t now_serving_ = 0;
    int active_commands_ = 0;
    std::atomic<uint8_t> last_command_{0};

    std::thread reader_;
    std::atomic<bool> reader_running_{false};
    std::atomic<bool> stop_{false};

    mutable std::mutex records_mutex_;  // the status record and the last reply
    lcmd::lcmd_status status_;
    lcmd::lcmd_reply reply_;
};

}  // namespace tarvelo
