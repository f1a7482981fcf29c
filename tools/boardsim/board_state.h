#pragma once
// What a simulated board knows, whatever its type: the goods on the platform, the zero and tare
// it was told, its flags and counts, and the misbehaviour it was asked for. Plain data: the
// simulator guards it with one lock and hands it to the board model, which turns it into bytes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvelo::sim {

// Damage to the weight frames. The one-shot kinds hit the next frame only.
struct Damage {
    bool corrupt = false;   // one shot: damaged the way only the board's own check can tell
    bool overlong = false;  // one shot: 300 bytes of payload
    bool noise = false;     // one shot: stray bytes after the frame, outside any frame
    bool garble = false;    // every frame, until turned off: well framed, wrongly filled
};

struct BoardState {
    std::string checksum;  // the scale library checksum it accepts; empty = any 8 hex digits
    int32_t gross = 0, zero_offset = 0, tare = 0;
    bool stable = true, span_open = false;
    bool count_frames = false;  // letter board: count frames instead of weighing frames
    int load = 0;               // 0 normal, 1 underload, 2 overload
    int32_t ad = 123456, ir = 60000;

    bool mute = false;            // commands get no answer
    bool integrity_fail = false;  // the checksum check fails whatever the text
    struct Fail {
        char letter;  // 0: whatever command comes next
        char result;
    };
    std::optional<Fail> fail;
    struct Reply {
        char code, result;
        std::string data;
    };
    std::optional<Reply> reply;  // the next command's answer, instead of the board's own
    Damage damage;

    int32_t on_platform() const { return gross - zero_offset; }
    int32_t net() const { return on_platform() - tare; }
    bool at_zero() const { return on_platform() == 0; }

    // Carries out command `letter` with its data as the board does and returns the result
    // character ('0' done); an armed failure for this command is used up instead.
    char run(char letter, std::string_view data);
    // The damage for the next frame; the one-shot kinds are cleared.
    Damage take_damage();
};

}  // namespace tarvelo::sim
