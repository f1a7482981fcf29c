#pragma once
// Driver of the xon/xoff command board. One reader thread (the scale update thread) reads
// every frame: result frames set the last result, weight frames refresh the status block.
// Commands are synchronous: stream off (DC2), frame, poll the last result, stream on (DC1).
// One lock holds each whole command sequence apart from any other, whichever thread sends it.

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "scale/board_trace.h"
#include "scale/link_watch.h"
#include "scale/xon_board_codec.h"

namespace tarvelo {

class XonBoard {
public:
    static constexpr const char* kDefaultPort = "COM4";
    static LineSettings line_settings() { return LineSettings{38400, 8, 'E', 1}; }

    explicit XonBoard(Clock& clock = system_clock(), TraceFn trace = stdout_trace());
    ~XonBoard();  // stops the update thread (the process-wide board is never destroyed)
    XonBoard(const XonBoard&) = delete;
    XonBoard& operator=(const XonBoard&) = delete;

    // 0 = port open and update thread running; -1 otherwise. A null name opens COM4.
    int start(const char* port_name);
    // 0 and the block copied; -1 and nothing copied before the first weight frame.
    int get_status(xo::StatusBlock& out) const;

    int rezero();          // 'Z' after the stability wait
    int init_rezero();     // 'z', up to three sends
    int tare();            // 'T' after the stability wait
    int preset_tare(int32_t value);  // 'U' "%06d" after the stability wait
    int calibrate_zero();  // 'X'
    int calibrate_span();  // 'P', ten seconds for the reply
    // The start-up integrity check: 0 when the board confirms the scale library's checksum.
    int check_integrity(const std::string& checksum);

    void xon();
    void xoff();
    int send_write_cmd(char letter);
    int send_write_cmd_with_data(char letter, std::string_view data);

    // True from a read error, a lost device or timeout_ms of silence in the weight stream
    // until the next good weight frame.
    bool link_lost(int timeout_ms) const { return watch_.lost(clock_.now_ms(), timeout_ms); }

private:
    bool open_port(const std::string& name);
    void update_thread();
    void handle_payload(const std::vector<uint8_t>& payload);
    bool write_frame(const uint8_t* data, size_t length);
    int wait_result(int tries);
    bool wait_stable();
    void reopen_after_loss();
    template <class Command>
    int bracketed(Command command);  // stream off, command, stream on

    Clock& clock_;
    TraceFn trace_;
    std::string port_name_;
    mutable std::mutex port_mutex_;  // guards the port pointer against the reopen
    std::shared_ptr<SerialPort> port_;
    std::mutex command_mutex_;       // one command sequence at a time
    std::thread thread_;
    std::atomic<int32_t> running_{0};
    std::atomic<int32_t> last_result_{-1};
    std::atomic<int32_t> data_valid_{0};
    std::array<std::atomic<int32_t>, xo::field_count> status_{};
    LinkWatch watch_;
};

// The process-wide board and the operations of the rest of the program.
XonBoard& xon_board();
int xo_start(const char* port_name);
int xo_get_status(xo::StatusBlock& out);
int xo_rezero();
int xo_init_rezero();
int xo_tare();
int xo_preset_tare(int32_t value);
int xo_calibrate_zero();
int xo_calibrate_span();

}  // namespace tarvelo
