#include "client/ecr_requests.h"

#include <cctype>
#include <cstdio>

#include "client/kestrin_protocol.h"

namespace kestrin {
namespace {

std::string fixed(const char* format, int value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

std::string text13(const std::string& text) {
    std::string t = text.substr(0, 13);
    t.resize(13, ' ');
    return t;
}

}  // namespace

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

std::string quantity_price_record(int unit_price, std::optional<int> quantity, std::optional<std::string> text) {
    std::string up = fixed("%06d", unit_price);
    if (quantity && text) return record("35", {up, fixed("%04d", *quantity), text13(*text)});
    if (quantity) return record("33", {up, fixed("%04d", *quantity)});
    if (text) return record("34", {up, text13(*text)});
    return record("31", {up, ""});
}

std::string describe_reply(const std::string& bytes, bool* positive) {
    Reply r = recognise(bytes);
    bool ok = false;
    std::string text;
    char buf[160];
    switch (r.kind) {
        case ReplyKind::none: text = "no reply"; break;
        case ReplyKind::ack: text = "ACK", ok = true; break;
        case ReplyKind::nak: text = "NAK"; break;
        case ReplyKind::scale_data:
            std::snprintf(buf, sizeof buf, "record 02 (scale data): weight=%d g, unit_price=%d, total_price=%d", r.weight,
                          r.unit_price, r.total_price);
            text = buf, ok = true;
            break;
        case ReplyKind::quantity_data:
            std::snprintf(buf, sizeof buf, "record 32 (quantity data): quantity=%d, unit_price=%d, total_price=%d",
                          r.quantity, r.unit_price, r.total_price);
            text = buf, ok = true;
            break;
        case ReplyKind::cs_kw_request:
            std::snprintf(buf, sizeof buf, "record 11 (CS/KW request): random_number=%02x", r.random_number);
            text = buf;
            break;
        case ReplyKind::cs_kw_result:
            text = std::string("record 11 (CS/KW result): ") + (r.result == '1' ? "valid" : "invalid");
            ok = r.result == '1';
            break;
        case ReplyKind::status:
            std::snprintf(buf, sizeof buf, "record 09 (status): s1=%c s0=%c", r.s1, r.s0);
            text = buf;
            ok = r.s1 == '0' && r.s0 == '0';
            text += ok ? " (no error)" : " (" + status_text(r.s1, r.s0) + ")";
            break;
        case ReplyKind::other_data:
        case ReplyKind::unknown: text = "unrecognised reply"; break;
    }
    if (positive) *positive = ok;
    return text;
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
    for (size_t i = 0; i < digits.size(); i += 2) out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace kestrin
