#pragma once
// The ECR's requests for the console tool: the values a person types, checked against what
// the record's fixed-width fields can carry, and the records built from them. A value that
// does not fit is refused, never cut, padded with zeros or read as 0.
//
// Record: EOT STX nn, each field after an ESC, ETX. Unit price 6 digits, tare and quantity
// 4 digits, text 13 bytes padded with blanks.

#include <optional>
#include <string>
#include <vector>

namespace kestrin {

constexpr int kMaxUnitPrice = 999999;
constexpr int kMaxTare = 9999;      // grams
constexpr int kMaxQuantity = 9999;  // pieces
constexpr size_t kTextBytes = 13;

// "150" (smallest currency unit) or "1.50" (exactly two decimals) -> 150; 0 to 999999.
std::optional<int> parse_unit_price(const std::string& text);
// Whole decimal digits only, 0 to `max`.
std::optional<int> parse_whole(const std::string& text, int max);
// At most 13 bytes and no control byte: DC1, DC2, ENQ and ETX end a frame on the scale's
// side, and the rest would be read as a request of its own.
bool text_fits(const std::string& text);
bool has_control_byte(const std::string& text);

// Records 01/03/04/05 and 31/33/34/35, chosen by the fields given; the values must have
// passed the checks above.
std::string price_record(int unit_price, std::optional<int> tare, std::optional<std::string> text);
std::string quantity_price_record(int unit_price, std::optional<int> quantity,
                                  std::optional<std::string> text);
std::string record(const std::string& number, const std::vector<std::string>& fields);
// "04 05" or "0405" -> bytes; empty optional on a malformed text.
std::optional<std::string> parse_hex(const std::string& text);

// Bytes sent at once, cut as the scale reads them: a request ends at its first DC1, DC2, ENQ
// or ETX, or after 255 bytes without one. Only a request that begins EOT and then STX, ENQ,
// DC1 or DC2 gets a reply, exactly one; anything else gets none at all.
struct RequestsSent {
    size_t answered = 0;      // requests the scale answers
    bool unfinished = false;  // bytes after the last end: the scale waits for the rest
};
RequestsSent requests_in(const std::string& bytes);

}  // namespace kestrin
