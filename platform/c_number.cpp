#include "platform/c_number.h"

#include <cctype>
#include <limits>

namespace tarvelo {

int32_t c_atoi(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    constexpr int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) value = limit;
    }
    if (negative) return static_cast<int32_t>(-value);
    return value >= limit ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(value);
}

}  // namespace tarvelo
