#pragma once
// The letter-command board on the wire (19200 baud, 8 data bits, even parity).
//
// Both directions: STX payload ETX check. The check byte is the XOR of the payload; when that
// is 00, 11, 13, 02 or 03 it is sent plus 0x20, so it is never NUL, DC1, DC3, STX or ETX.
// PC to board: DC1 (0x11) streams on, DC3 (0x13) pauses; commands are 'W' letter data.
//   Integrity check: 'W' 'K' and the scale library's checksum text; the board answers
//   'R' '0' when it knows the text, 'R' and another digit when not.
// Board to PC, by payload length:
//   27  weighing frame '0' number(8) . '4' number(8) .. s0 s1 s2 (two hex characters each),
//       or count frame 'a' AD count(8) . 'i' internal count(8) .. s0 s1 s2;
//       s0: bit 4 stable, bit 3 zero, bit 0 stored, bits 7..6 load state (1 under, 2 over);
//       s1: bit 3 span switch open.
//   2, 5, 30, 42  reply: code ('R' for an answer), result ('0' done), data.
// Resync: bytes are dropped until STX; after ETX the next byte is the check byte; a frame
// with a bad check byte, or with more than 256 payload bytes, is dropped.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelo::lcmd {

constexpr uint8_t STX = 0x02, ETX = 0x03, DC1 = 0x11, DC3 = 0x13;
constexpr size_t kMaxPayload = 256;
constexpr size_t kMaxCommandData = 123;

struct lcmd_port_config {
    char port_name[256] = {};
    int32_t baud = 19200;
    int32_t byte_size = 8;
    int32_t stop_bits = 1;  // 1 one, 2 two, 15 one and a half, other one
    char parity = 'E';      // N O M S, anything else even
};

struct lcmd_status {
    char first_text[16];
    char second_text[16];
    int32_t weight;
    int32_t tare;
    int32_t ad_count;
    int32_t internal_count;
    int32_t kind;  // 0 weighing frame, 1 count frame
    int32_t s0_bit0;
    int32_t span_switch;
    int32_t zero;
    int32_t stable;
    uint8_t load_state;  // 0 normal, 1 underload, 2 overload, 3 neither flag
};

struct lcmd_reply {
    uint8_t reply_code;
    uint8_t command_letter;
    uint8_t result;
    uint8_t data[128];
    int32_t data_length;
};

using lcmd_status_word = std::array<int32_t, 19>;
using lcmd_numbers = std::array<int32_t, 5>;
struct lcmd_firmware {
    char text[16];
};

// Zero-initialised records (padding included, so that records compare byte for byte).
lcmd_status empty_status();
lcmd_reply empty_reply();

uint8_t check_byte(const uint8_t* payload, size_t length);
// STX payload ETX check, either direction.
std::vector<uint8_t> encode_frame(std::string_view payload);
// PC to board. Empty when the data exceeds 123 bytes.
std::optional<std::vector<uint8_t>> encode_command(char letter, std::string_view data);

// Board to PC. What a 27-byte weighing or count frame carries.
struct WeightFrame {
    int kind = 0;  // 0 weighing frame: weight and tare; 1 count frame: AD and internal count
    int32_t first = 0, second = 0;  // weights in thousandths ("0001.234"), counts whole
    bool stable = false, zero = false, s0_bit0 = false, span_switch = false;
    uint8_t load_state = 0;  // 0 normal, 1 underload, 2 overload, 3 neither flag
};
// Every number fills exactly eight characters: a weight beyond -999.999 or 9999.999 goes out
// as that limit, a count keeps its last eight digits (a negative one -9999999 at least).
std::vector<uint8_t> encode_weight_frame(const WeightFrame& frame);
// A reply: the code ('R' for an answer), the result character ('0' done) and any data.
std::vector<uint8_t> encode_reply(char code, char result, std::string_view data = {});

// "0001.234" -> "1.234", "-001.500" -> "-1.500", "00-1.234" -> "-1.234".
std::string normalise_number(std::string_view eight);
// "1.234" -> 1234; '-' resets to 0 and makes the result negative; any other character: 0.
int32_t convert_number(std::string_view text);
// Two hex characters, either case; anything else gives 0.
uint8_t hex_pair(uint8_t high, uint8_t low);

// A 27-byte weighing or count frame as the new status record; an unknown pair of tags gives
// an all-zero record.
lcmd_status decode_frame27(const uint8_t* payload);
// 0 weighing frame ('0' ... '4'), 1 count frame ('a' ... 'i'), -1 tags of neither kind.
int frame27_kind(const uint8_t* payload);
lcmd_reply decode_reply(const uint8_t* payload, size_t length, uint8_t last_command);
lcmd_status_word decode_status_word(const uint8_t* data);  // 'C' reply, 40 data bytes
lcmd_numbers decode_numbers(const uint8_t* data);          // 'D' reply, 28 data bytes
lcmd_firmware decode_firmware(const uint8_t* data);        // 'F' reply, 3 data bytes

// Collects frames one byte at a time: hunting, collecting, checking.
class FrameReader {
  public:
    struct Frame {
        int result;  // payload length, -1 for a bad check byte, 256 for an over-long frame
        std::vector<uint8_t> payload;
    };
    std::optional<Frame> feed(uint8_t byte);
    void reset() {
        state_ = State::hunting;
        payload_.clear();
    }

  private:
    enum class State { hunting, collecting, checking } state_ = State::hunting;
    std::vector<uint8_t> payload_;
};

}  // namespace tarvelo::lcmd
