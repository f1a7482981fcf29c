#pragma once
// The one decoder of the ECR wire that kestrin and ecrctl share, both directions: strict, so a
// reply is acted on only when every byte is where its layout puts it, and a malformed frame
// says what is wrong and at which byte.
//
// Requests (always EOT first; the scale reads one up to its first DC1, DC2, ENQ or ETX, or 255
// bytes without one, and the bytes after that end are its next request):
//   EOT ENQ, EOT DC1, EOT DC2                                     2 bytes
//   EOT STX nn ETX          00 06 07 08 21 30                     5 bytes
//   EOT STX nn ESC unit price(6) ESC ETX               01 31     13 bytes
//   EOT STX nn ESC unit price(6) ESC tare|quantity(4) ETX         03 33     17 bytes
//   EOT STX nn ESC unit price(6) ESC text(13) ETX                 04 34     26 bytes
//   EOT STX nn ESC unit price(6) ESC tare|quantity(4) ESC text(13) ETX   05 35   31 bytes
//   EOT STX "10" ESC (cs(4) kw(4)) x 1 to 5 ETX                   14 to 46 bytes
// Request numbers are plain zero-filled digits; the text is 13 bytes, padded with blanks.
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
    text,    // 13 bytes
    cs,      // 4 hexadecimal digits of a CS/KW pair
    kw,
    key_pairs,  // record 10's run of pairs, decoded as cs and kw items
};

// One part of a decoded frame, where it sits and what it holds.
struct Item {
    Part part = Part::control;
    size_t offset = 0;
    std::string bytes;
    int32_t value = 0;  // numbers and the random number; the pair's number for cs and kw
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
    std::string text;

    bool well_formed() const { return problem.empty(); }
};

// A reply as a client reads it: up to and including its first ETX, ACK or NAK; bytes after
// that end make it malformed.
Frame decode_reply(const std::string& bytes);
// A request as the scale reads it; likewise.
Frame decode_request(const std::string& bytes);
// EOT begins a request, anything else a reply.
Frame decode_frame(const std::string& bytes);

// Where the scale ends the request that starts at `from`: just past its first DC1, DC2, ENQ
// or ETX, or 255 bytes on, or at the end of the bytes.
size_t request_end(const std::string& bytes, size_t from = 0);
constexpr size_t kMaxRequest = 255;

// The name a person reads for a part ("unit price", "ESC").
std::string part_name(Part part, char byte = 0);

}  // namespace kestrin
