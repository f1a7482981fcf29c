#pragma once
// Building the ECR's records by name for the console tool: the fixed-width fields, the text
// padded to its 13 bytes, and the record number chosen from the fields given.

#include <optional>
#include <string>
#include <vector>

namespace kestrin {

// "%06d" unit price, "%04d" tare or quantity, text cut or blank-padded to 13 bytes.
std::string price_record(int unit_price, std::optional<int> tare, std::optional<std::string> text);
std::string quantity_price_record(int unit_price, std::optional<int> quantity, std::optional<std::string> text);
// EOT STX nn, each field after an ESC, ETX.
std::string record(const std::string& number, const std::vector<std::string>& fields);
// Decodes any reply for a person: "ACK", "record 02: weight=..."; `positive` says whether it
// is a positive answer (ACK, scale data, a valid result, status 00).
std::string describe_reply(const std::string& bytes, bool* positive);
// "04 05" or "0405" -> bytes; empty optional on a malformed text.
std::optional<std::string> parse_hex(const std::string& text);

}  // namespace kestrin
