#pragma once
// The ECR's side of the CS/KW rule, written from the rule itself rather than from the scale's
// check, so that the two meet only on the wire.

#include <cstdio>
#include <string>

#include "ecr/verification.h"

namespace tarvelo::test {

// The 8 characters (CS then KW) an ECR sends for its value v and the challenge r.
inline std::string client_pair(uint16_t v, uint8_t r) {
    auto swap = [](uint16_t x) { return static_cast<uint16_t>(x << 8 | x >> 8); };
    auto rotl = [](uint16_t x, int n) {
        return n ? static_cast<uint16_t>(x << n | x >> (16 - n)) : x;
    };
    auto rotr = [](uint16_t x, int n) {
        return n ? static_cast<uint16_t>(x >> n | x << (16 - n)) : x;
    };
    uint16_t cs = rotl(swap(v), r >> 4);
    uint8_t bytes[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)};
    auto crc = ecr::crc16_86a3(bytes, 2);
    uint16_t kw = rotr(swap(static_cast<uint16_t>(crc[0] << 8 | crc[1])), r & 0x0F);
    char text[16];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x", cs & 0xFF, cs >> 8, kw & 0xFF, kw >> 8);
    return text;
}

// A record 10 frame with one group per value.
inline std::string record10(std::initializer_list<uint16_t> values, uint8_t r) {
    std::string f =
        "\x04\x02"
        "10\x1b";
    for (uint16_t v : values) f += client_pair(v, r);
    return f + "\x03";
}

}  // namespace tarvelo::test
