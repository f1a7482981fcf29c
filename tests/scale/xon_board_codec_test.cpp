#include "scale/xon_board_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelo::xo {
namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    return std::vector<uint8_t>(list.begin(), list.end());
}

std::optional<StatusBlock> parse(const std::string& payload) {
    return parse_weight_frame(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
}

TEST(XonCodec, CommandFramesByteForByte) {
    EXPECT_EQ(encode_write_cmd('Z'), bytes({0x02, 0x57, 0x5A, 0x03, 0x0C}));
    EXPECT_EQ(encode_write_cmd('z'), bytes({0x02, 0x57, 0x7A, 0x03, 0x2C}));
    EXPECT_EQ(encode_write_cmd('T'), bytes({0x02, 0x57, 0x54, 0x03, 0x02}));  // check equals STX
    EXPECT_EQ(encode_write_cmd_with_data('U', "001500"),
              bytes({0x02, 0x57, 0x55, 0x30, 0x30, 0x31, 0x35, 0x30, 0x30, 0x03, 0x05}));
    EXPECT_TRUE(encode_write_cmd_with_data('U', std::string(250, '0')).has_value());  // 255 bytes
    EXPECT_FALSE(encode_write_cmd_with_data('U', std::string(251, '0')).has_value());
    auto integrity = encode_integrity_request("1A2B3C4D");
    ASSERT_EQ(integrity.size(), 13u);
    EXPECT_EQ(integrity[1], 'R');
    EXPECT_EQ(integrity[2], 'C');
    uint8_t x = 0;
    for (size_t i = 1; i < 12; ++i) x ^= integrity[i];
    EXPECT_EQ(integrity[12], x);
}

// What the board sends, read back by the decoder the driver uses: every field survives, and
// what does not fit the wire goes out as the nearest thing that does.
TEST(XonCodec, BoardFramesReadBack) {
    auto read_back = [](const std::vector<uint8_t>& frame) {
        FrameReader reader;
        std::vector<std::vector<uint8_t>> payloads;
        for (uint8_t b : frame)
            if (auto p = reader.feed(b)) payloads.push_back(*p);
        EXPECT_EQ(payloads.size(), 1u);
        return payloads.empty() ? std::vector<uint8_t>{} : payloads[0];
    };
    // The form the board has always sent, byte for byte.
    StatusBlock block{1234, 0, 0, 0, 1, 0, 0, 0, 0, 60000, 123456};
    std::string expected =
        "\x02"
        "0 01.234\r4 00.000\ra123456\ri60000\r\n01000\x03";
    EXPECT_EQ(encode_weight_frame(block), std::vector<uint8_t>(expected.begin(), expected.end()));

    struct Case {
        const char* name;
        StatusBlock sent, read;  // weight tare up tp stable zero span over under ir ad
    } cases[] = {
        {"weight, tare, counts",
         {1234, 500, 0, 0, 0, 0, 0, 0, 0, 654321, 123456},
         {1234, 500, 0, 0, 0, 0, 0, 0, 0, 654321, 123456}},
        {"negative weight",
         {-500, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0},
         {-500, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}},
        {"every flag", {0, 0, 0, 0, 1, 1, 1, 1, 1, 0, 0}, {0, 0, 0, 0, 1, 1, 1, 1, 1, 0, 0}},
        {"overload alone", {9, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, {9, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}},
        {"prices are not on this wire",
         {1, 2, 300, 400, 0, 0, 0, 0, 0, 0, 0},
         {1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"weights beyond seven characters",
         {123456, -100000, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         {99999, -99999, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"counts keep six digits",
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 1234567, 7654321},
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 234567, 654321}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> payload = read_back(encode_weight_frame(c.sent));
        EXPECT_EQ(parse_weight_frame(payload.data(), payload.size()), c.read) << c.name;
    }

    struct Reply {
        char code, result;
        const char* data;
        PayloadKind kind;
        int32_t value;
    } replies[] = {{'W', '0', "", PayloadKind::result, 0},
                   {'W', '3', "", PayloadKind::result, 3},
                   {'R', '1', "", PayloadKind::read_reply, 1},
                   {'R', '0', "extra", PayloadKind::read_reply, 0}};
    for (const Reply& r : replies) {
        std::vector<uint8_t> payload = read_back(encode_reply(r.code, r.result, r.data));
        EXPECT_EQ(payload.size(), 2 + std::string(r.data).size()) << r.code << r.result;
        Classified got = classify_payload(payload.data(), payload.size());
        EXPECT_EQ(got.kind, r.kind) << r.code << r.result;
        EXPECT_EQ(got.result, r.value) << r.code << r.result;
    }
}

TEST(XonCodec, NumberAndStatusCharacters) {
    struct Case {
        const char* text;
        int32_t value;
    } weights[] = {{"+12.345", 12345},
                   {" 01.234", 1234},
                   {"-00.500", -500},
                   {"12.3456", 12},  // the 4th character goes whatever it is: "12.456"
                   {"", 0},
                   {" xx.yyy", 0}};
    for (const Case& c : weights) EXPECT_EQ(weight_text_value(c.text), c.value) << c.text;
    EXPECT_EQ(status_char_value('0'), 0);
    EXPECT_EQ(status_char_value('9'), 9);
    EXPECT_EQ(status_char_value('D'), 13);
    EXPECT_EQ(status_char_value('d'), 0x64);
    EXPECT_EQ(status_char_value(0), 0);
}

TEST(XonCodec, WeightFrames) {
    struct Case {
        const char* name;
        std::string payload;
        StatusBlock expected;  // weight tare up tp stable zero span over under ir ad
    } cases[] = {
        {"full frame",
         "0 01.234\r4 00.500\ra123456\ri654321\r\n0105",
         {1234, 500, 0, 0, 1, 0, 0, 0, 1, 654321, 123456}},
        {"status D: stable, zero, span", "0 00.000\r\n0D02", {0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0}},
        {"lower-case d is its code", "0-00.002\n\n0d03", {-2, 0, 0, 0, 0, 1, 0, 1, 1, 0, 0}},
        {"single byte W", "W", {}},
        {"missing lines read 0", "4 00.100\r", {0, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"CR LF after the first line makes the rest status",
         "0 01.000\r\n4 00.500\r",
         {1000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"long count fields are cut",
         "0 01.234\ra12345678\r",
         {1234, 0, 0, 0, 0, 0, 0, 0, 0, 0, 123456}},
        {"status cut at NUL",
         std::string("0 00.010\r\n0", 11) + '\0' + "1",
         {10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) EXPECT_EQ(parse(c.payload), c.expected) << c.name;
}

// With no check byte on this board, a field of the wrong shape is the only sign of damage:
// such a frame is dropped whole, never read as a (wrong) weight.
TEST(XonCodec, MalformedWeightOrTareDropsTheFrame) {
    const char* malformed[] = {
        "0 02500\r4 00.000\r\n0105",   // the point lost: would read 200 g
        "0 01.234\r4 00500\r\n0105",   // the same in the tare
        "012.3456\r\n0105",            // the point in the wrong place
        "0 01.2x4\r\n0105",            // a letter among the digits
        "0 0-1.234\r\n0105",           // a sign after a digit
        "0   .500\r\n0105",            // no integer digit
        "0 01.\r\n0105",               // no decimal digit
        "0 1.2\r\n0105",               // too short to have its point 4th
        "0 01.23\r\n0105",             // two decimals: 1,23 kg would read 123 g
        "0+-1.234\r\n0105",            // two signs
        "0 012345\r\n0105",            // seven characters, but a digit where the point belongs
        "0 12.5389\r\n0105",           // a byte too many: its first seven would read 12538 g
        "0 01.2345678\r\n0105",        // far too long
        "X 12.389\r4 00.000\r\n0105",  // the weight's tag lost: a status without a weight
    };
    for (const char* payload : malformed) EXPECT_EQ(parse(payload), std::nullopt) << payload;
    const char* well_formed[] = {"0+12.345\r", "0-00.500\r", "0  0.000\r", "0 01.234\r4  0.500\r",
                                 "0"};
    for (const char* payload : well_formed) EXPECT_NE(parse(payload), std::nullopt) << payload;
}

TEST(XonCodec, ClassifiesPayloads) {
    auto kind = [](const std::string& p) {
        return classify_payload(reinterpret_cast<const uint8_t*>(p.data()), p.size());
    };
    EXPECT_EQ(kind("W0").kind, PayloadKind::result);
    EXPECT_EQ(kind("W3").result, 3);
    EXPECT_EQ(kind("R0").kind, PayloadKind::read_reply);
    EXPECT_EQ(kind("R1").result, 1);
    EXPECT_EQ(kind("W").kind, PayloadKind::weight);
    EXPECT_EQ(kind("0 01.000\r").kind, PayloadKind::weight);
}

std::vector<std::vector<uint8_t>> feed_all(FrameReader& reader, const std::string& stream) {
    std::vector<std::vector<uint8_t>> frames;
    for (char c : stream)
        if (auto f = reader.feed(static_cast<uint8_t>(c))) frames.push_back(*f);
    return frames;
}

TEST(XonCodec, FrameReaderFindsFramesInTheStream) {
    using Frames = std::vector<std::vector<uint8_t>>;
    auto v = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    struct Case {
        const char* name;
        std::string stream;
        Frames frames;
    } cases[] = {
        {"one frame", "\x02W0\x03", {v("W0")}},
        {"leading garbage", "xx\x03\x7f\x02W1\x03", {v("W1")}},
        {"two frames at once", "\x02W0\x03\x02R1\x03", {v("W0"), v("R1")}},
        {"immediate ETX", "\x02\x03", {v("")}},
        {"STX inside is data",
         "\x02W\x02"
         "0\x03",
         {v("W\x02"
            "0")}},
        {"no ETX yet", "\x02W0", {}},
    };
    for (const Case& c : cases) {
        FrameReader reader;
        EXPECT_EQ(feed_all(reader, c.stream), c.frames) << c.name;
    }
    // Over-long: cut at 255 bytes; the rest is skipped until the next STX.
    FrameReader reader;
    Frames frames = feed_all(reader, "\x02" + std::string(300, 'x') + "\x03\x02W0\x03");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].size(), 255u);
    EXPECT_EQ(frames[1], v("W0"));
}

}  // namespace
}  // namespace tarvelo::xo
