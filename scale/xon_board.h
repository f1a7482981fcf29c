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
#include "scale/serial_link.h"
#include "scale/weighing_board.h"
#include "scale/xon_board_codec.h"

namespace tarvelo {

class XonBoard : public WeighingBoard {
  public:
    static constexpr const char* kDefaultPort = "COM4";
    // The port that start() opens for `port_name`: a null name stands for COM4.
    static std::string port_name_for(const char* port_name);
    static LineSettings line_settings() { return LineSettings{38400, 8, 'E', 1}; }

    // `opener` stands in for the serial devices in tests.
    explicit XonBoard(Clock& clock = system_clock(), TraceFn trace = stdout_trace(),
                      LineOpener opener = {});
    ~XonBoard() override;  // stops the update thread
    XonBoard(const XonBoard&) = delete;
    XonBoard& operator=(const XonBoard&) = delete;

    // 0 = port open and update thread running; -1 otherwise. A null name opens COM4.
    int start(const char* port_name);
    // 0 and the block copied; -1 and nothing copied before the first weight frame.
    int get_status(xo::StatusBlock& out) const;

    // The board as the facade sees it: the 11 status words are the snapshot, unchanged.
    int start(MessageSink* owner, const std::string& port_name) override;
    bool snapshot(weighing_snapshot& out) const override;
    bool link_lost(int timeout_ms) const override {
        return link_.watch().lost(clock_.now_ms(), timeout_ms);
    }

    int rezero() override;                    // 'Z' after the stability wait
    int init_rezero() override;               // 'z', up to three sends
    int tare() override;                      // 'T' after the stability wait
    int preset_tare(int32_t value) override;  // 'U' "%06d" after the stability wait
    int calibrate_zero();                     // 'X'
    int calibrate_span();                     // 'P', ten seconds for the reply
    int check_integrity(const std::string& checksum) override;

    void xon();
    void xoff();
    int send_write_cmd(char letter);
    int send_write_cmd_with_data(char letter, std::string_view data);

  private:
    bool open_port(const std::string& name);
    void update_thread();
    void handle_payload(const std::vector<uint8_t>& payload);
    bool write_frame(const uint8_t* data, size_t length) { return link_.write(data, length); }
    int wait_result(int tries);
    bool wait_stable();
    template <class Command>
    int bracketed(Command command);  // stream off, command, stream on

    Clock& clock_;
    TraceFn trace_;
    SerialLink link_;
    std::mutex command_mutex_;  // one command sequence at a time
    std::thread thread_;
    std::atomic<int32_t> running_{0};
    std::atomic<int32_t> last_result_{-1};

    // The status block and its data-valid flag are one value, written and copied whole under
    // the lock: a reader never sees the stable flag of one frame with the weight of the next.
    mutable std::mutex status_mutex_;
    xo::StatusBlock status_{};
    bool data_valid_ = false;
};

}  // namespace tarvelo
