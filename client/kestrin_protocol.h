#pragma once
// kestrin's side of the scale's pipe protocol, as pure functions: the three requests it
// sends, the client half of the CS/KW rule, the status texts and its own display arithmetic
// (the replies are read by ecr_decoder.h). Kept apart from the scale program on purpose: the client
// must meet the scale only on the wire.
//
// Requests:  EOT ENQ (scale data, or the verification result)
//            EOT STX "10" ESC cs(4) kw(4) ETX (one CS/KW pair)
//            EOT STX "08" ETX (status)
// Replies:   ACK, NAK, STX "02"|"32" ... (26 bytes), STX "11" ESC "2" rr ETX (8),
//            STX "11" ESC "1"|"0" ETX (6), STX "09" ESC s1 s0 ETX (7)

#include <cstdint>
#include <string>

namespace kestrin {

constexpr char STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, NAK = 0x15, ESC = 0x1B;
constexpr char DC1 = 0x11, DC2 = 0x12;  // show and hide the scale's display windows

std::string enq_request();
std::string cs_kw_record(const std::string& cs_kw_chars);  // the 8 characters of one pair
std::string status_request();

// A reply ends after ETX, ACK or NAK.
bool ends_reply(char byte);

// Characters of a typed text: a UTF-8 sequence counts once, and a byte that is not part of
// valid UTF-8 counts as one character (a text from a single-byte code page).
size_t text_characters(const std::string& text);
// The first n characters of a text, counted the same way.
std::string first_characters(const std::string& text, size_t n);
// The CS the operator types has at least this many characters; the first four are used.
constexpr size_t kCsCharacters = 4;

// Up to 4 characters as hexadecimal; any other character makes 0.
uint16_t hex_value(const std::string& text);
uint16_t crc16_86a3(const uint8_t* data, size_t length);
// Every step from the typed CS text and the challenge R to the pair, for a person to check
// their own arithmetic against.
struct CsKwSteps {
    uint16_t value;       // the CS text read as hexadecimal
    uint16_t cs_swapped;  // its two bytes exchanged
    uint16_t cs;          // ... rotated left by R >> 4
    uint16_t crc;         // the CRC over the value's high byte, then its low byte
    uint16_t kw_swapped;  // its two bytes exchanged
    uint16_t kw;          // ... rotated right by R & 0x0F
};
CsKwSteps cs_kw_steps(const std::string& cs_text, uint8_t r);
// The 8 characters (CS then KW, each low byte first) for the typed CS text and the challenge R.
std::string cs_kw_chars(const std::string& cs_text, uint8_t r);

std::string status_text(char s1, char s0);

// The client's own total: W x U / 1000, rounded half up at the next decimal (64-bit product).
int64_t client_total(int32_t weight, int32_t unit_price);
std::string weight_display(int32_t weight);  // "%8.3f", decimal comma
std::string total_display(int64_t total);    // "%7.2f", decimal comma

// Where the scale's pipe lives: $XDG_RUNTIME_DIR/NAME (absolute, and a private directory by
// the rule of pipe_link.h), else in the private directory /tmp/tarvelo-UID/NAME, as the scale
// makes it.
std::string pipe_path(const std::string& name);
constexpr const char* kDefaultPipeName = "kv2170";

std::string hex_dump(const std::string& bytes);

}  // namespace kestrin
