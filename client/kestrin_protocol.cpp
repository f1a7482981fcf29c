#include "client/kestrin_protocol.h"

#include "client/pipe_link.h"

#include <unistd.h>
#include <cstdio>
#include <cstdlib>

namespace kestrin {
namespace {

std::string with_comma(std::string s) {
    for (char& c : s)
        if (c == '.') c = ',';
    return s;
}

// Length of the UTF-8 sequence that starts at `i`, or 1 when it is not a valid one.
size_t sequence_length(const std::string& s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    size_t n = lead >= 0xC2 && lead <= 0xDF   ? 2
               : lead >= 0xE0 && lead <= 0xEF ? 3
               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                              : 1;
    if (n == 1 || i + n > s.size()) return 1;
    for (size_t k = i + 1; k < i + n; ++k)
        if ((byte(k) & 0xC0) != 0x80) return 1;
    return n;
}

}  // namespace

size_t text_characters(const std::string& text) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); i += sequence_length(text, i)) ++count;
    return count;
}

std::string first_characters(const std::string& text, size_t n) {
    size_t i = 0;
    for (size_t count = 0; count < n && i < text.size(); ++count) i += sequence_length(text, i);
    return text.substr(0, i);
}

std::string enq_request() {
    return {EOT, ENQ};
}
std::string cs_kw_record(const std::string& pair) {
    return std::string{EOT, STX, '1', '0', ESC} + pair.substr(0, 8) + ETX;
}
std::string status_request() {
    return {EOT, STX, '0', '8', ETX};
}

bool ends_reply(char byte) {
    return byte == ETX || byte == ACK || byte == NAK;
}

uint16_t hex_value(const std::string& text) {
    uint16_t v = 0;
    for (size_t i = 0; i < text.size() && i < 4; ++i) {
        char c = text[i];
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0) return 0;
        v = static_cast<uint16_t>(v * 16 + d);
    }
    return v;
}

uint16_t crc16_86a3(const uint8_t* data, size_t length) {
    uint16_t reg = 0;
    for (size_t i = 0; i < length; ++i)
        for (int bit = 7; bit >= 0; --bit) {
            bool top = (reg & 0x8000) != 0;
            bool in = (data[i] >> bit) & 1;
            reg = static_cast<uint16_t>(reg << 1);
            if (top != in) reg ^= 0x86A3;
        }
    return reg;
}

CsKwSteps cs_kw_steps(const std::string& cs_text, uint8_t r) {
    auto swap = [](uint16_t x) { return static_cast<uint16_t>(x << 8 | x >> 8); };
    auto rotl = [](uint16_t x, unsigned n) {
        n &= 15;
        return n ? static_cast<uint16_t>(x << n | x >> (16 - n)) : x;
    };
    auto rotr = [](uint16_t x, unsigned n) {
        n &= 15;
        return n ? static_cast<uint16_t>(x >> n | x << (16 - n)) : x;
    };
    CsKwSteps s{};
    s.value = hex_value(cs_text.substr(0, 4));
    s.cs_swapped = swap(s.value);
    s.cs = rotl(s.cs_swapped, r >> 4);
    const uint8_t bytes[2] = {static_cast<uint8_t>(s.value >> 8),
                              static_cast<uint8_t>(s.value & 0xFF)};
    s.crc = crc16_86a3(bytes, 2);
    s.kw_swapped = swap(s.crc);
    s.kw = rotr(s.kw_swapped, r & 0x0F);
    return s;
}

std::string cs_kw_chars(const std::string& cs_text, uint8_t r) {
    const CsKwSteps s = cs_kw_steps(cs_text, r);
    char out[16];
    std::snprintf(out, sizeof out, "%02x%02x%02x%02x", s.cs & 0xFF, s.cs >> 8, s.kw & 0xFF,
                  s.kw >> 8);
    return out;
}

std::string status_text(char s1, char s0) {
    static const char* table[4][4] = {
        {"Unknown Error", "General Scale Error", "Parity Error", "Unknown Error"},
        {"Incorrect record number", "Invalid unit price", "Invalid tare", "Invalid text"},
        {"Scale not stable", "No movement since last weighting operation",
         "Price calculation not made", "Unknown Error"},
        {"Scale within minimun load range", "Underload", "Overload", "Unknown Error"},
    };
    if (s1 < '0' || s1 > '3' || s0 < '0' || s0 > '3') return "Unknown Error";
    return table[s1 - '0'][s0 - '0'];
}

int64_t client_total(int32_t weight, int32_t unit_price) {
    int64_t p = int64_t{weight} * unit_price;
    return p / 1000 + ((p / 100) % 10 >= 5 ? 1 : 0);
}

std::string weight_display(int32_t weight) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%8.3f", weight / 1000.0);
    return with_comma(buf);
}

std::string total_display(int64_t total) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%7.2f", static_cast<double>(total) / 100.0);
    return with_comma(buf);
}

std::string pipe_path(const std::string& name) {
    return pipe_dir() + "/" + name;
}

std::string hex_dump(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

}  // namespace kestrin
