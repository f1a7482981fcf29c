#pragma once
// The ECR's records on the pipe.
//
// Requests (ECR to scale) begin with EOT. EOT ENQ, EOT DC1 and EOT DC2 are two bytes; every
// other request is EOT STX, a two-character record number, fields each after an ESC, ETX.
// How they are cut from the byte stream: request_framer.h.
// Replies (scale to ECR) carry no EOT: ACK or NAK alone, or STX "nn" ESC ... ETX.
//   02/32 scale data  STX "02" ESC "3" ESC weight(5) ESC unit price(6) ESC total price(6) ETX
//   22 tare           STX "22" ESC "3" ESC tare(5) ETX
//   09 status         STX "09" ESC s1 s0 ETX
//   11 request CS/KW  STX "11" ESC "2" random(2 lower-case hex) ETX
//   11 CS/KW result   STX "11" ESC "1"|"0" ETX
// Numbers are sent modulo 10^width with the sign inside the width: -12 in 5 places is -0012,
// and a negative number keeps width - 1 digits: -123456 in 5 places is -3456.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvelo::ecr {

constexpr uint8_t STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, DC1 = 0x11,
                  DC2 = 0x12, NAK = 0x15, ESC = 0x1B;

constexpr size_t kReceiveBuffer = 256;
constexpr size_t kMaxFrame = 255;
// The one buffer a request lives in from the pipe to the dispatcher: zero before every read, at
// most kMaxFrame bytes read into it, so that a request is always followed by a zero byte and a
// field at a fixed offset past a short request reads zeros, never a former request's bytes.
using ReceiveBuffer = std::array<uint8_t, kReceiveBuffer>;

// The value as its reply field carries it: the truncating remainder modulo 10^width, or
// modulo 10^(width - 1) for a negative value, whose sign takes a place.
int32_t field_value(int32_t value, int width);

std::string encode_scale_data(const char* record, int32_t first, int32_t unit_price,
                              int32_t total_price);
std::string encode_tare(int32_t tare);
std::string encode_status(char s1, char s0);
std::string encode_cs_kw_request(uint8_t random_number);
std::string encode_cs_kw_result(bool valid);

}  // namespace tarvelo::ecr
