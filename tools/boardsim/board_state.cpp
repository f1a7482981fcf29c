#include "tools/boardsim/board_state.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

namespace tarvelo::sim {
namespace {

bool is_hex8(std::string_view s) {
    return s.size() == 8 && std::all_of(s.begin(), s.end(), [](char c) {
               return std::isxdigit(static_cast<unsigned char>(c));
           });
}

}  // namespace

char BoardState::run(char letter, std::string_view data) {
    if (fail && (fail->letter == 0 || fail->letter == letter)) {
        char result = fail->result;
        fail.reset();
        return result;
    }
    switch (letter) {
        case 'Z':
        case 'z':
            if (tare != 0) return '2';  // no zeroing under a tare
            zero_offset = gross;
            return '0';
        case 'T':
            tare = std::max(0, on_platform());
            return '0';
        case 'U':
            tare = std::atoi(std::string(data).c_str());
            return '0';
        case 'X':
        case 'P':
            return span_open ? '0' : '3';  // calibration only with the span switch open
        case 'K':
        case 'C': {
            bool known = checksum.empty() ? is_hex8(data) : data == checksum;
            return (known && !integrity_fail) ? '0' : '1';
        }
        default:
            return '9';
    }
}

Damage BoardState::take_damage() {
    Damage now = damage;
    damage.corrupt = damage.overlong = damage.noise = false;
    return now;
}

}  // namespace tarvelo::sim
