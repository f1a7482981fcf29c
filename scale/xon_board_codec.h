#pragma once
// The xon/xoff command board on the wire (38400 baud, 8 data bits, even parity).
//
// Board to PC, every frame STX payload ETX, no check byte:
//   weight frame  lines introduced by a tag, each ended by one CR or LF:
//                 '0' weight " 01.234" (7 characters, the point 4th), '4' tare (same form),
//                 'a' AD count, 'i' internal (IR) count; then CR LF or LF LF and the status
//                 text, of which characters 1 (stable bit 0, zero bit 2, span switch bit 3)
//                 and 3 (underload bit 0, overload bit 1) are read as hexadecimal digits.
//   result frame  'W' and the result character ('0' = done), e.g. 02 57 30 03.
//   read reply    'R' and the result character; answers the integrity request below.
// PC to board:
//   DC1 (0x11) switches the weight stream on, DC2 (0x12) off.
//   write command STX 'W' L ETX, check = L ^ 0x56 (the XOR of STX, 'W', L and ETX).
//   with data     STX 'W' L data ETX, check = XOR of 'W' through ETX (STX not included).
//   integrity     STX 'R' 'C' checksum-text ETX, check as for a command with data; the
//                 board answers 'R' '0' when the text is the scale library's checksum it
//                 knows, 'R' and another digit when not.
// Resync: bytes are dropped until STX; a payload that reaches 255 bytes without ETX is cut
// there and the rest of it is skipped by the next hunt for STX. A weight frame whose weight
// or tare text is not of the form above is dropped whole.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tarvelo::xo {

constexpr uint8_t STX = 0x02, ETX = 0x03, DC1 = 0x11, DC2 = 0x12;
constexpr size_t kMaxPayload = 255;

// The 11 words of the board status, in the order of the weighing snapshot.
enum Field {
    weight,
    tare,
    unit_price,
    total_price,
    stable,
    zero,
    span_switch,
    overload,
    underload,
    internal_count,
    ad_count,
    field_count
};
using StatusBlock = std::array<int32_t, field_count>;

// PC to board.
std::vector<uint8_t> encode_write_cmd(char letter);
// Empty when the frame would exceed 255 bytes.
std::optional<std::vector<uint8_t>> encode_write_cmd_with_data(char letter, std::string_view data);
std::vector<uint8_t> encode_integrity_request(std::string_view checksum);
// The check byte after a frame's ETX: a write command without data covers STX, 'W', L and
// ETX; a frame with data covers its payload and ETX. A board that receives a two-byte payload
// takes it for a command without data.
uint8_t command_check_byte(const uint8_t* payload, size_t length, bool with_data);

// Board to PC. Any payload as the board frames it: STX payload ETX.
std::vector<uint8_t> encode_frame(std::string_view payload);
// A weight frame for the status block, in the form the decoder below reads:
// "0" weight CR "4" tare CR "a" AD CR "i" IR CR LF, then the status text "0" c1 "0" c3 "0".
// Weight and tare beyond +-99.999 go out as +-99.999 (seven characters hold no more); the
// counts keep their last six digits. Unit and total price are not on this wire.
std::vector<uint8_t> encode_weight_frame(const StatusBlock& status);
// A result frame ('W') or read reply ('R'): the code, the result character, any data.
std::vector<uint8_t> encode_reply(char code, char result, std::string_view data = {});

enum class PayloadKind { weight, result, read_reply };
struct Classified {
    PayloadKind kind;
    int32_t result;  // for result and read reply: the second byte minus '0'
};
Classified classify_payload(const uint8_t* payload, size_t length);

// Parses a weight frame's lines into weight, tare, stable, zero, span switch, overload,
// underload, internal and AD count; unit and total price stay 0. Missing fields read 0.
// Empty when a weight or tare line is malformed (see weight_text_well_formed; the whole line,
// not only the seven characters kept), or when a status text comes without a weight line: the
// board has no check byte, so a damaged field must not be read as a weight.
std::optional<StatusBlock> parse_weight_frame(const uint8_t* payload, size_t length);

// A weight or tare text as the board writes it: seven characters, blanks, an optional sign and
// digits, the decimal point 4th, three digits after it (" 01.234", "-00.500", "+12.345").
// An empty text (a missing line) is well-formed and reads 0.
bool weight_text_well_formed(std::string_view text);

// "+12.345" -> 12345: the 4th character (the point) removed, the rest read like atoi.
int32_t weight_text_value(std::string_view text);
// '0'..'9' -> 0..9, 'A'..'F' -> 10..15, anything else its own code.
int32_t status_char_value(uint8_t c);

// Collects frames from the byte stream one byte at a time.
class FrameReader {
  public:
    // A complete payload (possibly empty, or 255 bytes cut short) when this byte ends one.
    std::optional<std::vector<uint8_t>> feed(uint8_t byte);
    void reset() {
        collecting_ = false;
        payload_.clear();
    }

  private:
    bool collecting_ = false;
    std::vector<uint8_t> payload_;
};

}  // namespace tarvelo::xo
