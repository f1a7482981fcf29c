#pragma once
// What the weighing facade needs of a board, whichever type is fitted. Each driver maps its
// own status into the weighing snapshot; the facade picks one board by ad_type and never
// asks which it is again.

#include <cstdint>
#include <string>

#include "platform/message_sink.h"
#include "scale/weighing_snapshot.h"

namespace tarvelo {

class WeighingBoard {
  public:
    virtual ~WeighingBoard() = default;

    // Opens the port and starts reading: 0; -1 the port was not opened; -2 the reader did not
    // start. `owner` receives the board's own messages, where it posts any.
    virtual int start(MessageSink* owner, const std::string& port_name) = 0;
    // Copies the board's status into `out`; false, and `out` untouched, while there is none.
    virtual bool snapshot(weighing_snapshot& out) const = 0;
    // True from a read error, a lost device or timeout_ms of silence in the weight stream
    // until the next good status frame.
    virtual bool link_lost(int timeout_ms) const = 0;

    // 0 = done, anything else failed. Zero, tare and preset tare may only queue the command.
    virtual int rezero() = 0;
    virtual int tare() = 0;
    virtual int preset_tare(int32_t value) = 0;
    // The start-up integrity check: 0 when the board confirms the scale library's checksum.
    virtual int check_integrity(const std::string& checksum) = 0;
    // The start-up zero: waits for the board's answer.
    virtual int init_rezero() = 0;
};

}  // namespace tarvelo
