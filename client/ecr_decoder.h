#pragma once
// The one decoder of the scale's replies that kestrin and ecrctl share: strict, so a reply is
// acted on only when every byte is where its layout puts it, and a malformed one says what is
// wrong and at which byte.
//
// Replies (no EOT; a client's reading ends at the first ETX, ACK or NAK):
//   ACK, NAK                                one byte each
//   STX "02" ESC "3" ESC weight(5) ESC unit price(6) ESC total price(6) ETX      26 bytes
//   STX "32" ESC "3" ESC quantity(5) ESC unit price(6) ESC total price(6) ETX    26 bytes
//   STX "22" ESC "3" ESC tare(5) ETX                                             12 bytes
//   STX "09" ESC s1 s0 ETX                                                        7 bytes
//   STX "11" ESC "2" rr ETX          the CS/KW request, rr two lower-case hex     8 bytes
//   STX "11" ESC r ETX               the CS/KW result, "1" valid, "0" invalid     6 bytes
// Numbers are zero-filled decimal and may carry a minus sign inside their width ("-0012").

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrin {

enum class Direction { request, reply };

// What a byte range of a frame holds.
enum class Part {
    control,        // one fixed control byte
    record_number,  // two digits
    constant,       // one fixed character: "3" in data records, "2" in a CS/KW request
    weight,         // grams
    quantity,       // pieces
    tare,           // grams
    unit_price,     // smallest currency unit, per kg or per piece
    total_price,    // smallest currency unit
    random_number,  // two lower-case hexadecimal digits
    s1,
    s0,
    result,  // "1" valid, "0" invalid
};

// One part of a decoded frame, where it sits and what it holds.
struct Item {
    Part part = Part::control;
    size_t offset = 0;
    std::string bytes;
    int32_t value = 0;  // numbers and the random number
};

enum class ReplyKind {
    none,  // no bytes
    ack,
    nak,
    scale_data,      // record 02
    quantity_data,   // record 32
    tare,            // record 22
    status,          // record 09
    cs_kw_request,   // record 11 with "2" and the random number
    cs_kw_result,    // record 11 with the result
    unknown_record,  // STX, two digits, ..., ETX, but no record the scale sends
    malformed,       // a reply record whose bytes break its layout
    unknown,         // neither ACK, NAK nor a record
};

struct Frame {
    Direction direction = Direction::reply;
    ReplyKind kind = ReplyKind::none;
    std::string name;  // "ACK", "02", ...: what the frame is, as far as it could be told
    const char* title = "";
    std::vector<Item> items;  // every part, in order, when well-formed
    std::string problem;      // empty when well-formed
    size_t problem_at = 0;    // the first byte that breaks the layout
    std::string layout;       // the layout it was held against, for a person
    size_t length = 0;        // bytes up to and including the end byte

    // The values a client acts on.
    int32_t weight = 0, quantity = 0, tare = 0, unit_price = 0, total_price = 0;
    uint8_t random_number = 0;
    char result = 0, s1 = 0, s0 = 0;

    bool well_formed() const { return problem.empty(); }
};

// A reply as a client reads it: up to and including its first ETX, ACK or NAK; bytes after
// that end make it malformed.
Frame decode_reply(const std::string& bytes);

// The name a person reads for a part ("unit price", "ESC").
std::string part_name(Part part, char byte = 0);

}  // namespace kestrin
