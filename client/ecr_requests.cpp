#include "client/ecr_requests.h"

#include <cctype>
#include <cstdio>

#include "client/ecr_decoder.h"
#include "client/kestrin_protocol.h"

namespace kestrin {
namespace {

bool all_digits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// The digits' value, or -1 once it passes `max` (no overflow for any length).
long long digits_value(const std::string& s, long long max) {
    long long v = 0;
    for (char c : s) {
        v = v * 10 + (c - '0');
        if (v > max) return -1;
    }
    return v;
}

std::string fixed(const char* format, int value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

std::string text13(const std::string& text) {
    std::string t = text.substr(0, kTextBytes);
    t.resize(kTextBytes, ' ');
    return t;
}

}  // namespace

std::optional<int> parse_unit_price(const std::string& text) {
    const size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    if (!all_digits(whole)) return std::nullopt;
    long long v = digits_value(whole, kMaxUnitPrice);
    if (dot != std::string::npos) {
        const std::string cents = text.substr(dot + 1);
        if (cents.size() != 2 || !all_digits(cents) || v < 0) return std::nullopt;
        v = v * 100 + digits_value(cents, 99);
    }
    if (v < 0 || v > kMaxUnitPrice) return std::nullopt;
    return static_cast<int>(v);
}

std::optional<int> parse_whole(const std::string& text, int max) {
    if (!all_digits(text)) return std::nullopt;
    long long v = digits_value(text, max);
    if (v < 0) return std::nullopt;
    return static_cast<int>(v);
}

bool has_control_byte(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

bool text_fits(const std::string& text) {
    return text.size() <= kTextBytes && !has_control_byte(text);
}

std::string record(const std::string& number, const std::vector<std::string>& fields) {
    std::string f{EOT, STX};
    f += number;
    for (const std::string& field : fields) f += ESC + field;
    return f + ETX;
}

std::string price_record(int unit_price, std::optional<int> tare, std::optional<std::string> text) {
    std::string up = fixed("%06d", unit_price);
    if (tare && text) return record("05", {up, fixed("%04d", *tare), text13(*text)});
    if (tare) return record("03", {up, fixed("%04d", *tare)});
    if (text) return record("04", {up, text13(*text)});
    return record("01", {up, ""});  // record 01 carries a closing ESC before ETX
}

std::string quantity_price_record(int unit_price, std::optional<int> quantity,
                                  std::optional<std::string> text) {
    std::string up = fixed("%06d", unit_price);
    if (quantity && text) return record("35", {up, fixed("%04d", *quantity), text13(*text)});
    if (quantity) return record("33", {up, fixed("%04d", *quantity)});
    if (text) return record("34", {up, text13(*text)});
    return record("31", {up, ""});
}

std::optional<std::string> parse_hex(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        digits.push_back(c);
    }
    if (digits.empty() || digits.size() % 2) return std::nullopt;
    std::string out;
    for (size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

RequestsSent requests_in(const std::string& bytes) {
    RequestsSent sent;
    for (size_t start = 0; start < bytes.size();) {
        const size_t end = request_end(bytes, start);
        const char last = bytes[end - 1];
        if (end - start < kMaxRequest && last != DC1 && last != DC2 && last != ENQ && last != ETX) {
            sent.unfinished = true;
            break;
        }
        const char second = end - start > 1 ? bytes[start + 1] : 0;
        if (bytes[start] == EOT &&
            (second == STX || second == ENQ || second == DC1 || second == DC2))
            ++sent.answered;
        start = end;
    }
    return sent;
}

}  // namespace kestrin
