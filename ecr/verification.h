#pragma once
// The CS/KW handshake. The scale sends a random byte R in a request 11; the ECR answers with a
// record 10 of one to five groups, each 4 hex characters of CS and 4 of KW derived from its
// own 16-bit values and R; on the ECR's next ENQ the scale recomputes every pair and answers
// with result 11. Until the ECR has passed, only the handshake and record 08 are served.
//
// For a value v the ECR sends CS = v byte-swapped and rotated left by R >> 4, and KW = the
// CRC-16 (polynomial 0x86A3) of v's high and low byte, byte-swapped and rotated right by
// R & 0x0F, each written low byte first as two "%02x". The scale undoes the CS rotation and
// swap, recomputes the CRC, and compares with the KW undone the same way.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "log/event_log.h"

namespace tarvelo::ecr {

enum class VerifyState : int32_t {
    verified = 0,
    request = 1,
    await_cs_kw = 2,
    await_result_request = 3
};

struct KeyPair {
    std::string cs, kw;
};

// CRC-16, polynomial 0x86A3, initial value 0, most significant bit first, no reflection and
// no final XOR; high byte first.
std::array<uint8_t, 2> crc16_86a3(const uint8_t* data, size_t length);

// Up to 4 characters, a NUL ends them early; 0-9, a-f, A-F; any other character makes 0.
uint16_t hex_field_value(const std::string& field);

// Splits a record 10 payload (from offset 5 of the frame) into pairs: the characters before
// the first ETX, at most 63 of them, cut to whole groups of 8. Returns the number of groups,
// logging each pair, or -1 on a missing argument.
int parse_key_pairs(const char* payload, std::vector<KeyPair>* pairs, EventLog* log);
bool check_key_pair(const std::string& cs, const std::string& kw, uint8_t random_number);
bool check_key_pairs(const std::vector<KeyPair>& pairs, uint8_t random_number);

// The handshake's state, its random number and its pairs, owned by the pipe server thread.
class Verification {
  public:
    // random_source gives the next challenge byte (by default the low 8 bits of a C generator
    // seeded anew with the time in seconds).
    Verification(EventLog& log, std::function<uint8_t()> random_source);

    VerifyState state() const { return state_; }
    void set_state(VerifyState state) { state_ = state; }
    uint8_t random_number() const { return random_number_; }

    // Handles one frame in the request, await-CS/KW or await-result state; returns the reply.
    std::string step(const uint8_t* frame);

  private:
    std::string request();

    EventLog& log_;
    std::function<uint8_t()> random_source_;
    VerifyState state_ = VerifyState::request;
    uint8_t random_number_ = 0;
    std::vector<KeyPair> pairs_;
};

// The default challenge: rand_r seeded with `seconds`, low 8 bits.
uint8_t challenge_from_seconds(int64_t seconds);

}  // namespace tarvelo::ecr
