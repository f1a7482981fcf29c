#include "scale/xon_board_codec.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/c_number.h"

namespace tarvelo::xo {
namespace {

// The bits of status characters 1 and 3, read as hexadecimal digits.
constexpr int kStableBit = 0, kZeroBit = 2, kSpanBit = 3;  // character 1
constexpr int kUnderloadBit = 0, kOverloadBit = 1;         // character 3

// STX payload ETX and the check byte: what the PC sends.
std::vector<uint8_t> command_frame(std::string_view payload, bool with_data) {
    std::vector<uint8_t> frame = encode_frame(payload);
    frame.push_back(command_check_byte(frame.data() + 1, payload.size(), with_data));
    return frame;
}

// " 01.234": sign or blank, two integer places, the point, three decimals.
std::string weight_text(int32_t thousandths) {
    auto a = static_cast<int>(std::min<int64_t>(std::llabs(thousandths), 99999));
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%02d.%03d", thousandths < 0 ? '-' : ' ', a / 1000, a % 1000);
    return buf;
}

}  // namespace

std::vector<uint8_t> encode_frame(std::string_view payload) {
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 3);
    frame.push_back(STX);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(ETX);
    return frame;
}

uint8_t command_check_byte(const uint8_t* payload, size_t length, bool with_data) {
    uint8_t check = ETX;
    if (!with_data) check ^= STX;
    for (size_t i = 0; i < length; ++i) check ^= payload[i];
    return check;
}

std::vector<uint8_t> encode_write_cmd(char letter) {
    return command_frame(std::string{'W', letter}, false);
}

std::optional<std::vector<uint8_t>> encode_write_cmd_with_data(char letter, std::string_view data) {
    if (data.size() + 5 > kMaxPayload) return std::nullopt;
    return command_frame(std::string{'W', letter}.append(data), true);
}

std::vector<uint8_t> encode_integrity_request(std::string_view checksum) {
    return command_frame(std::string("RC").append(checksum), true);
}

std::vector<uint8_t> encode_weight_frame(const StatusBlock& s) {
    auto bit = [](int32_t flag, int n) { return (flag != 0 ? 1 : 0) << n; };
    int c1 = bit(s[stable], kStableBit) | bit(s[zero], kZeroBit) | bit(s[span_switch], kSpanBit);
    int c3 = bit(s[underload], kUnderloadBit) | bit(s[overload], kOverloadBit);
    char lines[64];
    std::snprintf(lines, sizeof lines, "a%d\ri%d\r\n0%X0%X0", s[ad_count] % 1000000,
                  s[internal_count] % 1000000, c1, c3);
    return encode_frame("0" + weight_text(s[weight]) + "\r4" + weight_text(s[tare]) + "\r" + lines);
}

std::vector<uint8_t> encode_reply(char code, char result, std::string_view data) {
    return encode_frame(std::string{code, result}.append(data));
}

Classified classify_payload(const uint8_t* payload, size_t length) {
    if (length >= 2 && payload[0] == 'W') return {PayloadKind::result, payload[1] - '0'};
    if (length >= 2 && payload[0] == 'R') return {PayloadKind::read_reply, payload[1] - '0'};
    return {PayloadKind::weight, 0};
}

int32_t weight_text_value(std::string_view text) {
    std::string t(text);
    if (t.size() >= 4) t.erase(3, 1);
    return c_atoi(t);
}

int32_t status_char_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return c;
}

bool weight_text_well_formed(std::string_view text) {
    if (text.empty()) return true;
    if (text.size() != 7 || text[3] != '.') return false;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = 0;
    while (i < 3 && text[i] == ' ') ++i;
    if (i < 3 && (text[i] == '+' || text[i] == '-')) ++i;
    if (i == 3) return false;  // no integer digit
    for (; i < 3; ++i)
        if (!digit(text[i])) return false;
    for (i = 4; i < text.size(); ++i)
        if (!digit(text[i])) return false;
    return true;
}

std::optional<StatusBlock> parse_weight_frame(const uint8_t* payload, size_t n) {
    std::string weight_text, tare_text, ad_text, ir_text, status_text;
    // The weight and tare lines as they came, uncut: their shape is checked whole.
    std::string weight_line, tare_line;
    bool weight_seen = false, status_seen = false;
    auto is_end = [](uint8_t c) { return c == '\r' || c == '\n'; };
    size_t pos = 0;
    while (pos < n) {
        uint8_t c = payload[pos];
        std::string* field = nullptr;
        size_t limit = 0;
        switch (c) {
            case '0':
                field = &weight_text, limit = 7;
                break;
            case '4':
                field = &tare_text, limit = 7;
                break;
            case 'a':
                field = &ad_text, limit = 6;
                break;
            case 'i':
                field = &ir_text, limit = 6;
                break;
            default:
                break;
        }
        if (field != nullptr) {
            size_t end = pos + 1;
            while (end < n && !is_end(payload[end])) ++end;
            field->assign(reinterpret_cast<const char*>(payload + pos + 1),
                          std::min(end - pos - 1, limit));
            if (c == '0' || c == '4')
                (c == '0' ? weight_line : tare_line)
                    .assign(reinterpret_cast<const char*>(payload + pos + 1), end - pos - 1);
            weight_seen = weight_seen || c == '0';
            pos = end;
        } else if ((c == '\n' || c == '\r') && pos + 1 < n && payload[pos + 1] == '\n') {
            size_t start = pos + 2, end = start;
            while (end < n && payload[end] != 0) ++end;
            status_text.assign(reinterpret_cast<const char*>(payload + start),
                               std::min<size_t>(end - start, 7));
            status_seen = true;
            pos = end;
        } else {
            ++pos;
        }
    }
    if (!weight_text_well_formed(weight_line) || !weight_text_well_formed(tare_line))
        return std::nullopt;
    // A status without a weight is a frame whose weight line was damaged (its tag lost): read
    // as 0 g, stable, it would pass for goods taken off.
    if (status_seen && !weight_seen) return std::nullopt;
    StatusBlock block{};
    block[weight] = weight_text_value(weight_text);
    block[tare] = weight_text_value(tare_text);
    block[ad_count] = c_atoi(ad_text);
    block[internal_count] = c_atoi(ir_text);
    status_text.resize(7, '\0');
    int32_t s1 = status_char_value(static_cast<uint8_t>(status_text[1]));
    int32_t s3 = status_char_value(static_cast<uint8_t>(status_text[3]));
    block[stable] = (s1 >> kStableBit) & 1;
    block[zero] = (s1 >> kZeroBit) & 1;
    block[span_switch] = (s1 >> kSpanBit) & 1;
    block[underload] = (s3 >> kUnderloadBit) & 1;
    block[overload] = (s3 >> kOverloadBit) & 1;
    return block;
}

std::optional<std::vector<uint8_t>> FrameReader::feed(uint8_t byte) {
    if (!collecting_) {
        if (byte == STX) {
            collecting_ = true;
            payload_.clear();
        }
        return std::nullopt;
    }
    if (byte == ETX) {
        collecting_ = false;
        return std::move(payload_);
    }
    payload_.push_back(byte);
    if (payload_.size() >= kMaxPayload) {
        collecting_ = false;
        return std::move(payload_);
    }
    return std::nullopt;
}

}  // namespace tarvelo::xo
