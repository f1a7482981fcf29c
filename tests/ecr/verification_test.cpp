#include "ecr/verification.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ecr/ecr_frames.h"
#include "tests/ecr/cs_kw_client.h"
#include "tests/support/test_support.h"

namespace tarvelo::ecr {
namespace {

TEST(CsKw, CrcOfAbc) {
    auto crc = crc16_86a3(reinterpret_cast<const uint8_t*>("abc"), 3);
    EXPECT_EQ(crc[0], 0xC0);
    EXPECT_EQ(crc[1], 0x87);
    auto empty = crc16_86a3(nullptr, 0);
    EXPECT_EQ(empty[0] | empty[1], 0);
}

TEST(CsKw, PairsComputedByTheClientRuleArePassed) {
    for (uint16_t v : {0x0000, 0x1234, 0xABCD, 0xFFFF, 0x0001})
        for (int r : {0x00, 0x0F, 0x10, 0x5A, 0xA5, 0xFF}) {
            std::string p = test::client_pair(v, static_cast<uint8_t>(r));
            EXPECT_TRUE(check_key_pair(p.substr(0, 4), p.substr(4), static_cast<uint8_t>(r)))
                << v << " R=" << r;
            std::string upper = p;
            for (char& c : upper) c = static_cast<char>(std::toupper(c));
            EXPECT_TRUE(
                check_key_pair(upper.substr(0, 4), upper.substr(4), static_cast<uint8_t>(r)));
            if (v != 0x0000 && v != 0xFFFF) {  // these read the same under every rotation
                EXPECT_FALSE(
                    check_key_pair(p.substr(0, 4), p.substr(4), static_cast<uint8_t>(r ^ 0x11)));
            }
        }
    // A CS with a character outside the hex digits reads as 0: it passes with the KW of 0.
    std::string zero = test::client_pair(0, 0x37);
    EXPECT_TRUE(check_key_pair("12g4", zero.substr(4), 0x37));
    EXPECT_EQ(hex_field_value("aB9f"), 0xAB9F);
    EXPECT_EQ(hex_field_value(std::string("1\0"
                                          "23",
                                          4)),
              1);
}

TEST(CsKw, ParsingCountsWholeGroupsBeforeEtx) {
    struct Case {
        std::string payload;
        int groups;
    } cases[] = {
        {"12345678\x03", 1},
        {"123456781234567\x03", 1},  // the incomplete group is ignored
        {"1234567\x03", 0},
        {std::string(48, 'a') + "\x03", 6},
        {std::string(70, 'a'), 7},  // at most 63 characters are counted
        {"", 0},
    };
    for (const Case& c : cases) {
        std::vector<KeyPair> pairs;
        EXPECT_EQ(parse_key_pairs(c.payload.c_str(), &pairs, nullptr), c.groups) << c.payload;
    }
    EXPECT_EQ(parse_key_pairs(nullptr, nullptr, nullptr), -1);
    std::vector<KeyPair> pairs;
    parse_key_pairs("abcd1234", &pairs, nullptr);
    EXPECT_EQ(pairs[0].cs, "abcd");
    EXPECT_EQ(pairs[0].kw, "1234");
    EXPECT_FALSE(check_key_pairs({}, 0));
    EXPECT_FALSE(check_key_pairs(std::vector<KeyPair>(6, KeyPair{"0000", "0000"}), 0));
}

class Handshake : public ::testing::Test {
  protected:
    std::string step(const std::string& frame) {
        uint8_t f[256] = {};
        std::memcpy(f, frame.data(), frame.size());
        return v_.step(f);
    }
    std::string record10(const std::vector<uint16_t>& values) {
        std::string f =
            "\x04\x02"
            "10\x1b";
        for (uint16_t v : values) f += test::client_pair(v, v_.random_number());
        return f + "\x03";
    }
    test::TempDir dir_;
    test::FakeClock clock_;
    EventLog log_{100, clock_, dir_.path()};
    uint8_t next_random_ = 0x3C;
    Verification v_{log_, [this] { return next_random_; }};
};

TEST_F(Handshake, EveryTransition) {
    const std::string enq = "\x04\x05";
    EXPECT_EQ(v_.state(), VerifyState::request);
    EXPECT_EQ(step(enq),
              "\x02"
              "11\x1b"
              "23c\x03");  // 1 -> 2 on any frame
    EXPECT_EQ(v_.state(), VerifyState::await_cs_kw);
    next_random_ = 0x5A;
    EXPECT_EQ(step("\x04\x11"),
              "\x02"
              "11\x1b"
              "25a\x03");  // 2 -> 2: not record 10
    EXPECT_EQ(step("\x04\x02"
                   "10\x1b"
                   "1234567\x03"),
              "\x15");  // 2 -> 1: no whole group
    EXPECT_EQ(v_.state(), VerifyState::request);
    step(enq);
    EXPECT_EQ(step(record10({1, 2, 3, 4, 5, 6})), "\x15");  // six groups are refused
    step(enq);
    EXPECT_EQ(step(record10({0x1234, 0xBEEF})), "\x06");  // 2 -> 3
    EXPECT_EQ(v_.state(), VerifyState::await_result_request);
    EXPECT_EQ(step("\x04\x12"),
              "\x02"
              "11\x1b"
              "25a\x03");  // 3 -> 2: not ENQ
    EXPECT_EQ(v_.state(), VerifyState::await_cs_kw);
    EXPECT_EQ(step("\x04\x02"
                   "10\x1b"
                   "0000111100001111\x03"),
              "\x06");
    EXPECT_EQ(step(enq),
              "\x02"
              "11\x1b"
              "0\x03");  // 3 -> 1: a wrong pair
    EXPECT_EQ(v_.state(), VerifyState::request);
    step(enq);
    for (int n = 1; n <= 5; ++n) {
        v_.set_state(VerifyState::request);
        step(enq);
        std::vector<uint16_t> values(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i)
            values[static_cast<size_t>(i)] = static_cast<uint16_t>(0x1111 * i + 7);
        EXPECT_EQ(step(record10(values)), "\x06") << n;
        EXPECT_EQ(step(enq),
                  "\x02"
                  "11\x1b"
                  "1\x03")
            << n;  // 3 -> 0
        EXPECT_EQ(v_.state(), VerifyState::verified);
    }
    std::string logged = test::read_file(dir_.file(log_.current_file()));
    for (const char* line :
         {"-> receive: not No. 10\n", "-> receive: No. 10, CS/KW\n", "-> cs/kw pair 2: cs='",
          "-> receive: not ENQ request for verification result\n",
          "->    send: No. 11, request CS/KW, random_number='3c'\n",
          "->    send: No. 11, response CS/KW result, result='0'\n",
          "->    send: No. 11, response CS/KW result, result='1'\n", "->    send: nak\n"})
        EXPECT_NE(logged.find(line), std::string::npos) << line;
}

// The pairs go into the log as received, but no byte of them can end the line or forge another.
TEST_F(Handshake, PairsAreLoggedWithoutControlBytes) {
    step("\x04\x05");
    step(
        "\x04\x02"
        "10\x1b"
        "AB\nC\x7F\r\x1b"
        "1\x03");
    std::string logged = test::read_file(dir_.file(log_.current_file()));
    EXPECT_NE(logged.find("-> cs/kw pair 1: cs='AB\\x0AC', kw='\\x7F\\x0D\\x1B1'\n"),
              std::string::npos)
        << logged;
}

TEST(CsKwChallenge, SameSecondSameNumber) {
    EXPECT_EQ(challenge_from_seconds(1700000000), challenge_from_seconds(1700000000));
    int differing = 0;
    for (int s = 0; s < 20; ++s)
        differing += challenge_from_seconds(1700000000 + s) != challenge_from_seconds(1700000000);
    EXPECT_GT(differing, 10);
}

}  // namespace
}  // namespace tarvelo::ecr
