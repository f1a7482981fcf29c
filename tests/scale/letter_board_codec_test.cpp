#include "scale/letter_board_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tarvelo::lcmd {
namespace {

const uint8_t* u8(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

TEST(LetterCodec, CheckByteAvoidsControlValues) {
    struct Case {
        std::string payload;
        uint8_t check;
    } cases[] = {
        {"A", 'A'},   {"\x01\x02", 0x23},  // XOR 03 goes out as 23
        {"AA", 0x20}, {"\x10\x01", 0x31}, {"\x10\x03", 0x33}, {"\x01\x03", 0x22}, {"W1", 'W' ^ '1'},
    };
    for (const Case& c : cases)
        EXPECT_EQ(check_byte(u8(c.payload), c.payload.size()), c.check) << c.payload;
}

TEST(LetterCodec, CommandFrames) {
    auto tare = encode_command('T', "");
    // 'W' ^ 'T' is 03, which would read as ETX: it goes out as 23.
    EXPECT_EQ(*tare, (std::vector<uint8_t>{0x02, 'W', 'T', 0x03, 0x23}));
    auto preset = encode_command('U', "00001500");
    ASSERT_EQ(preset->size(), 13u);
    EXPECT_EQ(std::string(preset->begin() + 1, preset->begin() + 11), "WU00001500");
    EXPECT_TRUE(encode_command('K', std::string(123, 'x')).has_value());
    EXPECT_FALSE(encode_command('K', std::string(124, 'x')).has_value());
}

TEST(LetterCodec, NumbersNormaliseAndConvert) {
    struct Case {
        const char* field;
        const char* text;
        int32_t value;
    } cases[] = {
        {"0001.234", "1.234", 1234},   {"0000.000", "0.000", 0},    {"-001.500", "-1.500", -1500},
        {"00-1.234", "-1.234", -1234}, {" 001.234", " 001.234", 0},  // a blank spoils the number
        {"00012,50", "12,50", 1250},   {"00000000", "0", 0},        {"00001234", "1234", 1234},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(normalise_number(c.field), c.text) << c.field;
        EXPECT_EQ(convert_number(normalise_number(c.field)), c.value) << c.field;
    }
    EXPECT_EQ(convert_number(""), 0);
    EXPECT_EQ(convert_number("12-3"), -3);  // '-' starts again, negative
    EXPECT_EQ(hex_pair('a', 'F'), 0xAF);
    EXPECT_EQ(hex_pair('G', '0'), 0);
}

std::string frame27(char tag1, const char* n1, char tag2, const char* n2, const char* status) {
    std::string f = std::string(1, tag1) + n1 + " " + tag2 + n2 + "  " + status;
    EXPECT_EQ(f.size(), 27u);
    return f;
}

TEST(LetterCodec, WeighingAndCountFrames) {
    lcmd_status w = decode_frame27(u8(frame27('0', "0001.234", '4', "0000.500", "190800")));
    EXPECT_STREQ(w.first_text, "1.234");
    EXPECT_EQ(w.weight, 1234);
    EXPECT_EQ(w.tare, 500);
    EXPECT_EQ(w.kind, 0);
    EXPECT_EQ(w.stable, 1);
    EXPECT_EQ(w.zero, 1);
    EXPECT_EQ(w.s0_bit0, 1);
    EXPECT_EQ(w.span_switch, 1);
    EXPECT_EQ(w.load_state, 0);

    lcmd_status c = decode_frame27(u8(frame27('a', "00123456", 'i', "00065432", "100000")));
    EXPECT_EQ(c.kind, 1);
    EXPECT_EQ(c.ad_count, 123456);
    EXPECT_EQ(c.internal_count, 65432);
    EXPECT_EQ(c.weight, 0);

    // Under-, over- and the odd load state keep the tare but not the weight.
    for (const char* s0 : {"50", "90", "d0"}) {
        lcmd_status l = decode_frame27(
            u8(frame27('0', "0002.000", '4', "0000.100", (std::string(s0) + "0000").c_str())));
        EXPECT_EQ(l.weight, 0) << s0;
        EXPECT_EQ(l.tare, 100) << s0;
        EXPECT_EQ(l.load_state, hex_pair(s0[0], s0[1]) >> 6) << s0;
    }

    lcmd_status unknown = decode_frame27(u8(frame27('0', "0001.234", 'i', "0000.500", "190800")));
    lcmd_status zero = empty_status();
    EXPECT_EQ(std::memcmp(&unknown, &zero, sizeof zero), 0);
}

TEST(LetterCodec, Replies) {
    lcmd_reply ok = decode_reply(u8("R0"), 2, 'z');
    EXPECT_EQ(ok.reply_code, 'R');
    EXPECT_EQ(ok.command_letter, 'z');
    EXPECT_EQ(ok.result, '0');
    EXPECT_EQ(ok.data_length, 0);

    lcmd_reply fw = decode_reply(u8("R0123"), 5, 'F');
    EXPECT_EQ(fw.data_length, 3);
    EXPECT_STREQ(decode_firmware(fw.data).text, "1.2.3");

    lcmd_reply refused = decode_reply(u8("E0abc"), 5, 'T');
    EXPECT_EQ(refused.reply_code, 'E');
    EXPECT_EQ(refused.result, '0');
    EXPECT_EQ(refused.data_length, 0);  // data only for 'R' '0'

    EXPECT_EQ(decode_numbers(u8("00001234"
                                "00000056"
                                "-0000012"
                                "34"
                                "05")),
              (lcmd_numbers{1234, 56, -12, 34, 5}));

    // b0=A5 b1=F0 b2=0C b3=40 b4=80 (and b2 with a top field above 4 reads 0)
    lcmd_status_word word = decode_status_word(u8("A5F00C4080"));
    EXPECT_EQ(word, (lcmd_status_word{2, 1, 0, 1, 0, 1, 1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 1, 0, 2}));
    EXPECT_EQ(decode_status_word(u8("0000E00000"))[12], 0);
    EXPECT_EQ(decode_status_word(u8("0000800000"))[12], 4);
    EXPECT_EQ(decode_status_word(u8("0000000000"))[4], 1);  // NOT bit 0 of b0
}

// What the board sends, read back the way the driver reads it: through the frame reader, which
// checks the check byte, and the decoders. Numbers beyond eight characters go out as the
// nearest that fits, never as a longer frame that the driver would drop.
TEST(LetterCodec, BoardFramesReadBack) {
    auto read_back = [](const std::vector<uint8_t>& frame) {
        FrameReader reader;
        std::vector<FrameReader::Frame> frames;
        for (uint8_t b : frame)
            if (auto f = reader.feed(b)) frames.push_back(*f);
        EXPECT_EQ(frames.size(), 1u);
        return frames.empty() ? FrameReader::Frame{-1, {}} : frames[0];
    };
    WeightFrame plain{0, 1234, 0, true, false, false, false, 0};
    std::string payload = "00001.234 40000.000  100000";
    EXPECT_EQ(encode_weight_frame(plain), encode_frame(payload));  // the form it always had

    struct Case {
        const char* name;
        WeightFrame sent;
        int32_t first, second;  // weight and tare, or AD and internal count, as read
    } cases[] = {
        {"weighing", {0, 1234, 500, true, true, true, true, 0}, 1234, 500},
        {"negative weight", {0, -1500, 0, false, false, false, false, 0}, -1500, 0},
        {"underload keeps the tare only", {0, 2000, 100, false, false, false, false, 1}, 0, 100},
        {"overload", {0, 7000, 0, true, false, false, false, 2}, 0, 0},
        {"neither flag", {0, 7000, 0, false, false, false, false, 3}, 0, 0},
        {"weights beyond eight characters",
         {0, 12345678, -2000000, false, false, false, false, 0},
         9999999,
         -999999},
        {"counts", {1, 123456, 65432, false, false, false, true, 0}, 123456, 65432},
        {"counts keep eight digits",
         {1, 123456789, -12345678, false, false, false, false, 0},
         23456789,
         -9999999},
    };
    for (const Case& c : cases) {
        FrameReader::Frame f = read_back(encode_weight_frame(c.sent));
        ASSERT_EQ(f.result, 27) << c.name;
        lcmd_status s = decode_frame27(f.payload.data());
        EXPECT_EQ(s.kind, c.sent.kind) << c.name;
        EXPECT_EQ(c.sent.kind == 0 ? s.weight : s.ad_count, c.first) << c.name;
        EXPECT_EQ(c.sent.kind == 0 ? s.tare : s.internal_count, c.second) << c.name;
        EXPECT_EQ(s.stable, c.sent.stable) << c.name;
        EXPECT_EQ(s.zero, c.sent.zero) << c.name;
        EXPECT_EQ(s.s0_bit0, c.sent.s0_bit0) << c.name;
        EXPECT_EQ(s.span_switch, c.sent.span_switch) << c.name;
        EXPECT_EQ(s.load_state, c.sent.load_state) << c.name;
    }

    struct Reply {
        char code, result;
        std::string data;
        int32_t data_length;  // as decoded: data only for 'R' '0'
    } replies[] = {{'R', '0', "", 0},
                   {'R', '1', "", 0},
                   {'E', '0', "abc", 0},
                   {'R', '0', "123", 3},
                   {'R', '0', std::string(28, '7'), 28},
                   {'R', '0', "a", 1}};  // 'R' '0' 'a' XOR to 03: the check goes out as 23
    for (const Reply& r : replies) {
        FrameReader::Frame f = read_back(encode_reply(r.code, r.result, r.data));
        ASSERT_EQ(f.result, static_cast<int>(2 + r.data.size())) << r.code << r.result;
        lcmd_reply got = decode_reply(f.payload.data(), f.payload.size(), 'F');
        EXPECT_EQ(got.reply_code, r.code);
        EXPECT_EQ(got.result, r.result);
        EXPECT_EQ(got.data_length, r.data_length) << r.code << r.result;
        EXPECT_EQ(std::string(got.data, got.data + got.data_length),
                  r.data.substr(0, r.data_length));
    }
}

TEST(LetterCodec, FrameReaderChecksAndLimits) {
    auto run = [](const std::string& stream) {
        FrameReader reader;
        std::vector<FrameReader::Frame> frames;
        for (char c : stream)
            if (auto f = reader.feed(static_cast<uint8_t>(c))) frames.push_back(*f);
        return frames;
    };
    std::string good = std::string("\x02R0\x03") + static_cast<char>(check_byte(u8("R0"), 2));
    auto frames = run("noise" + good + good);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].result, 2);

    frames = run("\x02R0\x03\x7f");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].result, -1);  // bad check byte

    frames = run("\x02" + std::string(256, 'x') + "y" + good);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].result, 256);  // given up at the 257th byte
    EXPECT_EQ(frames[1].result, 2);

    std::string with_stx =
        "A\x02"
        "B";
    frames = run("\x02" + with_stx + "\x03" + static_cast<char>(check_byte(u8(with_stx), 3)));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].result, 3);  // an STX inside is payload
}

}  // namespace
}  // namespace tarvelo::lcmd
