#include "scale/letter_board_codec.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarvelo::lcmd {
namespace {

// The bits of the status bytes s0 and s1.
constexpr int kS0Bit0 = 0, kS0Zero = 3, kS0Stable = 4, kS0LoadShift = 6, kS1Span = 3;

// A number as its eight characters: "0001.234" or "-001.500" for a weight in thousandths,
// "00123456" for a count.
std::string number_text(int kind, int32_t value) {
    char buf[24];
    if (kind == 1) {
        std::snprintf(buf, sizeof buf, "%08d", std::max(value % 100000000, -9999999));
        return buf;
    }
    auto a = static_cast<int>(std::min<int64_t>(std::llabs(value), value < 0 ? 999999 : 9999999));
    std::snprintf(buf, sizeof buf, value < 0 ? "-%03d.%03d" : "%04d.%03d", a / 1000, a % 1000);
    return buf;
}

}  // namespace

lcmd_status empty_status() {
    lcmd_status s;
    std::memset(&s, 0, sizeof s);
    return s;
}

lcmd_reply empty_reply() {
    lcmd_reply r;
    std::memset(&r, 0, sizeof r);
    return r;
}

uint8_t check_byte(const uint8_t* payload, size_t length) {
    uint8_t x = 0;
    for (size_t i = 0; i < length; ++i) x ^= payload[i];
    if (x == 0x00 || x == 0x11 || x == 0x13 || x == 0x02 || x == 0x03)
        x = static_cast<uint8_t>(x + 0x20);
    return x;
}

std::vector<uint8_t> encode_frame(std::string_view payload) {
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 3);
    frame.push_back(STX);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(ETX);
    frame.push_back(check_byte(frame.data() + 1, payload.size()));
    return frame;
}

std::optional<std::vector<uint8_t>> encode_command(char letter, std::string_view data) {
    if (data.size() > kMaxCommandData) return std::nullopt;
    return encode_frame(std::string{'W', letter}.append(data));
}

std::vector<uint8_t> encode_weight_frame(const WeightFrame& f) {
    auto bit = [](bool flag, int n) { return (flag ? 1 : 0) << n; };
    int s0 = bit(f.stable, kS0Stable) | bit(f.zero, kS0Zero) | bit(f.s0_bit0, kS0Bit0) |
             (f.load_state & 3) << kS0LoadShift;
    char status[8];
    std::snprintf(status, sizeof status, "%02X%02X00", s0, bit(f.span_switch, kS1Span));
    const char* tags = f.kind == 1 ? "ai" : "04";
    return encode_frame(tags[0] + number_text(f.kind, f.first) + " " + tags[1] +
                        number_text(f.kind, f.second) + "  " + status);
}

std::vector<uint8_t> encode_reply(char code, char result, std::string_view data) {
    return encode_frame(std::string{code, result}.append(data));
}

std::string normalise_number(std::string_view eight) {
    std::string text(eight.substr(0, eight.find('\0')));
    std::string sign;
    size_t minus = text.find('-');
    if (minus != std::string::npos) {
        sign = "-";
        text = text.substr(minus + 1);
    }
    size_t separator = text.find('.');
    if (separator == std::string::npos) separator = text.find(',');
    if (separator == std::string::npos) separator = text.size();
    size_t first = 0;
    while (first < separator && text[first] == '0') ++first;
    std::string integer = text.substr(first, separator - first);
    if (integer.empty()) integer = "0";
    return sign + integer + text.substr(separator);
}

int32_t convert_number(std::string_view text) {
    int64_t value = 0;
    bool negative = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            value = value * 10 + (c - '0');
            if (value > 0x7FFFFFFF) value = 0x7FFFFFFF;
        } else if (c == '.' || c == ',') {
            continue;
        } else if (c == '-') {
            value = 0;
            negative = true;
        } else {
            return 0;
        }
    }
    return static_cast<int32_t>(negative ? -value : value);
}

uint8_t hex_pair(uint8_t high, uint8_t low) {
    auto digit = [](uint8_t c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    int h = digit(high), l = digit(low);
    return (h < 0 || l < 0) ? 0 : static_cast<uint8_t>(h * 16 + l);
}

int frame27_kind(const uint8_t* p) {
    if (p[0] == '0' && p[10] == '4') return 0;
    if (p[0] == 'a' && p[10] == 'i') return 1;
    return -1;
}

lcmd_status decode_frame27(const uint8_t* p) {
    lcmd_status s = empty_status();
    int kind = frame27_kind(p);
    if (kind < 0) return s;
    std::string first = normalise_number(std::string_view(reinterpret_cast<const char*>(p + 1), 8));
    std::string second =
        normalise_number(std::string_view(reinterpret_cast<const char*>(p + 11), 8));
    std::snprintf(s.first_text, sizeof s.first_text, "%s", first.c_str());
    std::snprintf(s.second_text, sizeof s.second_text, "%s", second.c_str());
    uint8_t s0 = hex_pair(p[21], p[22]);
    uint8_t s1 = hex_pair(p[23], p[24]);
    s.stable = (s0 >> kS0Stable) & 1;
    s.zero = (s0 >> kS0Zero) & 1;
    s.s0_bit0 = (s0 >> kS0Bit0) & 1;
    s.span_switch = (s1 >> kS1Span) & 1;
    s.load_state = static_cast<uint8_t>((s0 >> kS0LoadShift) & 3);
    s.kind = kind;
    if (kind == 0) {
        s.weight = s.load_state == 0 ? convert_number(first) : 0;
        s.tare = convert_number(second);
    } else {
        s.ad_count = convert_number(first);
        s.internal_count = convert_number(second);
    }
    return s;
}

lcmd_reply decode_reply(const uint8_t* payload, size_t length, uint8_t last_command) {
    lcmd_reply r = empty_reply();
    r.reply_code = length > 0 ? payload[0] : 0;
    r.command_letter = last_command;
    r.result = length > 1 ? payload[1] : 0;
    if (length >= 2 && payload[0] == 'R' && payload[1] == '0') {
        size_t n = std::min(length - 2, sizeof r.data);
        std::memcpy(r.data, payload + 2, n);
        r.data_length = static_cast<int32_t>(n);
    }
    return r;
}

lcmd_status_word decode_status_word(const uint8_t* d) {
    uint8_t b[5];
    for (int i = 0; i < 5; ++i) b[i] = hex_pair(d[2 * i], d[2 * i + 1]);
    auto bit = [](uint8_t v, int n) { return (v >> n) & 1; };
    int b2_high = (b[2] >> 5) & 7;
    return lcmd_status_word{(b[0] >> 6) & 3,
                            bit(b[0], 5),
                            bit(b[0], 4),
                            (b[0] >> 2) & 3,
                            bit(b[0], 0) ? 0 : 1,
                            bit(b[1], 7),
                            bit(b[1], 6),
                            bit(b[1], 5),
                            bit(b[1], 3),
                            bit(b[1], 2),
                            bit(b[1], 1),
                            bit(b[1], 0),
                            b2_high <= 4 ? b2_high : 0,
                            (b[2] >> 2) & 3,
                            bit(b[2], 1),
                            bit(b[2], 0),
                            (b[3] >> 6) & 3,
                            bit(b[3], 4),
                            (b[4] >> 6) & 3};
}

lcmd_numbers decode_numbers(const uint8_t* d) {
    auto field = [d](size_t from, size_t n) {
        return convert_number(std::string_view(reinterpret_cast<const char*>(d + from), n));
    };
    return lcmd_numbers{field(0, 8), field(8, 8), field(16, 8), field(24, 2), field(26, 2)};
}

lcmd_firmware decode_firmware(const uint8_t* d) {
    lcmd_firmware f{};
    std::snprintf(f.text, sizeof f.text, "%c.%c.%c", d[0], d[1], d[2]);
    return f;
}

std::optional<FrameReader::Frame> FrameReader::feed(uint8_t byte) {
    switch (state_) {
        case State::hunting:
            if (byte == STX) {
                state_ = State::collecting;
                payload_.clear();
            }
            return std::nullopt;
        case State::collecting:
            if (byte == ETX) {
                state_ = State::checking;
                return std::nullopt;
            }
            if (payload_.size() >= kMaxPayload) {
                state_ = State::hunting;
                return Frame{static_cast<int>(kMaxPayload), std::move(payload_)};
            }
            payload_.push_back(byte);
            return std::nullopt;
        case State::checking: {
            state_ = State::hunting;
            bool good = byte == check_byte(payload_.data(), payload_.size());
            int length = static_cast<int>(payload_.size());
            return Frame{good ? length : -1, std::move(payload_)};
        }
    }
    return std::nullopt;
}

}  // namespace tarvelo::lcmd
