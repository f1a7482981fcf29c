#pragma once
// Listening to a board for the installation check: the two board types as the scale opens
// them, and what arrives on the line, decoded by both boards' own codecs at once, so that a
// board of the other type is recognised as such rather than taken for a silent one.

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/serial_port.h"

namespace tarvelo::app {

// A board type as its driver opens it: the line settings, and the byte the driver sends to
// switch the weight stream on and the one it sends to pause it.
struct BoardType {
    int ad_type;
    const char* name;
    LineSettings line;
    uint8_t stream_on, stream_off;
};
const BoardType& xon_board_type();     // ad_type 0: DC1 on, DC2 off, 38400 baud
const BoardType& letter_board_type();  // ad_type 1: DC1 on, DC3 pause, 19200 baud
const BoardType& other_board_type(const BoardType& type);

struct Heard {
    int bytes = 0;
    int frames[2] = {0, 0};  // weight (or count) frames decoded, by ad_type
    std::string last[2];     // the last of them, as a technician reads it
    bool any_frames() const { return frames[0] + frames[1] > 0; }
};

// Reads what arrives for up to `ms` milliseconds, or until a few frames of one type are in.
// `weight_unit` names the unit of the weights (the settings' weight symbol).
Heard listen_to_board(SerialLine& line, int ms, const std::string& weight_unit, Clock& clock);

}  // namespace tarvelo::app
