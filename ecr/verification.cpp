#include "ecr/verification.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "ecr/ecr_frames.h"

namespace tarvelo::ecr {
namespace {

uint16_t swap_bytes(uint16_t v) {
    return static_cast<uint16_t>((v << 8) | (v >> 8));
}
uint16_t rotate_right(uint16_t v, unsigned n) {
    n &= 15;
    return n == 0 ? v : static_cast<uint16_t>((v >> n) | (v << (16 - n)));
}
uint16_t rotate_left(uint16_t v, unsigned n) {
    n &= 15;
    return n == 0 ? v : static_cast<uint16_t>((v << n) | (v >> (16 - n)));
}

}  // namespace

std::array<uint8_t, 2> crc16_86a3(const uint8_t* data, size_t length) {
    uint16_t reg = 0;
    for (size_t i = 0; i < length; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            bool out = (reg & 0x8000) != 0;
            bool in = ((data[i] >> bit) & 1) != 0;
            reg = static_cast<uint16_t>(reg << 1);
            if (out != in) reg ^= 0x86A3;
        }
    }
    return {static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF)};
}

uint16_t hex_field_value(const std::string& field) {
    uint16_t value = 0;
    for (size_t i = 0; i < field.size() && i < 4 && field[i] != '\0'; ++i) {
        char c = field[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return 0;
        value = static_cast<uint16_t>(value * 16 + d);
    }
    return value;
}

int parse_key_pairs(const char* payload, std::vector<KeyPair>* pairs, EventLog* log) {
    if (payload == nullptr || pairs == nullptr) return -1;
    pairs->clear();
    size_t count = 0;
    while (count < 63 && payload[count] != '\0' && payload[count] != static_cast<char>(ETX))
        ++count;
    count -= count % 8;
    for (size_t g = 0; g < count / 8; ++g) {
        KeyPair p{std::string(payload + 8 * g, 4), std::string(payload + 8 * g + 4, 4)};
        if (log)
            log->write("cs/kw pair %d: cs='%s', kw='%s'", static_cast<int>(g + 1),
                       log_field(p.cs).c_str(), log_field(p.kw).c_str());
        pairs->push_back(std::move(p));
    }
    return static_cast<int>(pairs->size());
}

bool check_key_pair(const std::string& cs, const std::string& kw, uint8_t r) {
    uint16_t c = hex_field_value(cs);
    uint16_t rotated = rotate_right(swap_bytes(c), r >> 4);
    const uint8_t bytes[2] = {static_cast<uint8_t>(rotated & 0xFF),
                              static_cast<uint8_t>(rotated >> 8)};
    auto crc = crc16_86a3(bytes, 2);
    uint16_t x = swap_bytes(static_cast<uint16_t>(crc[0] << 8 | crc[1]));
    uint16_t y = rotate_left(swap_bytes(hex_field_value(kw)), r & 0x0F);
    return x == y;
}

bool check_key_pairs(const std::vector<KeyPair>& pairs, uint8_t random_number) {
    if (pairs.empty() || pairs.size() > 5) return false;
    for (const KeyPair& p : pairs)
        if (!check_key_pair(p.cs, p.kw, random_number)) return false;
    return true;
}

uint8_t challenge_from_seconds(int64_t seconds) {
    unsigned seed = static_cast<unsigned>(seconds);
    return static_cast<uint8_t>(rand_r(&seed) & 0xFF);
}

Verification::Verification(EventLog& log, std::function<uint8_t()> random_source)
    : log_(log), random_source_(std::move(random_source)) {}

std::string Verification::request() {
    random_number_ = random_source_();
    log_.write("   send: No. 11, request CS/KW, random_number='%02x'", random_number_);
    return encode_cs_kw_request(random_number_);
}

std::string Verification::step(const uint8_t* frame) {
    std::string reply;
    switch (state_) {
        case VerifyState::verified:
            return reply;
        case VerifyState::request:
            reply = request();
            state_ = VerifyState::await_cs_kw;
            return reply;
        case VerifyState::await_cs_kw:
            if (frame[1] == STX && frame[2] == '1' && frame[3] == '0') {
                log_.write("receive: No. 10, CS/KW");
                int n = parse_key_pairs(reinterpret_cast<const char*>(frame + 5), &pairs_, &log_);
                if (n >= 1 && n <= 5) {
                    log_.write("   send: ack");
                    state_ = VerifyState::await_result_request;
                    return std::string(1, static_cast<char>(ACK));
                }
                pairs_.clear();
                log_.write("   send: nak");
                state_ = VerifyState::request;
                return std::string(1, static_cast<char>(NAK));
            }
            log_.write("receive: not No. 10");
            return request();
        case VerifyState::await_result_request:
            if (frame[1] == ENQ) {
                bool valid = check_key_pairs(pairs_, random_number_);
                log_.write("   send: No. 11, response CS/KW result, result='%c'",
                           valid ? '1' : '0');
                state_ = valid ? VerifyState::verified : VerifyState::request;
                reply = encode_cs_kw_result(valid);
            } else {
                log_.write("receive: not ENQ request for verification result");
                reply = request();
                state_ = VerifyState::await_cs_kw;
            }
            pairs_.clear();
            return reply;
    }
    return reply;
}

}  // namespace tarvelo::ecr
