#include "client/kestrin_protocol.h"

#include <gtest/gtest.h>

#include "client/ecr_decoder.h"
#include "client/ecr_requests.h"
#include "client/pipe_link.h"
#include "tests/support/test_support.h"

#include <sys/stat.h>
#include <unistd.h>

namespace kestrin {
namespace {

TEST(KestrinCsKw, ClientRule) {
    EXPECT_EQ(cs_kw_chars("1A2b", 0).substr(0, 4),
              "1a2b");  // R = 0: the typed characters in lower case
    EXPECT_EQ(cs_kw_chars("zzzz", 0x37), cs_kw_chars("0000", 0x37));  // a non-hex character: v = 0
    EXPECT_EQ(hex_value("12g4"), 0);
    EXPECT_EQ(hex_value("ABCD"), 0xABCD);
    // Rotations: R >> 4 turns the CS left, R & 0x0F the KW right.
    EXPECT_EQ(cs_kw_chars("0001", 0x10).substr(0, 4),
              "0002");  // 0x0100 rotated left by 1 = 0x0200, low byte first
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(crc16_86a3(abc, 3), 0xC087);
    // Worked by hand: CS "1A2B" against three challenges (CS then KW, low byte first).
    struct Case {
        uint8_t r;
        const char* chars;
    } cases[] = {{0x07, "1a2ba54c"}, {0xA5, "ac689532"}, {0x00, "1a2ba652"}};
    for (const Case& c : cases) EXPECT_EQ(cs_kw_chars("1A2B", c.r), c.chars) << int{c.r};
}

// kestrin acts only on a reply whose every byte is where its layout puts it.
TEST(KestrinReplies, DecodedStrictly) {
    std::string data02 =
        "\x02"
        "02\x1b"
        "3\x1b"
        "01234\x1b"
        "000299\x1b"
        "000369\x03";
    Frame r = decode_reply(data02);
    EXPECT_EQ(r.kind, ReplyKind::scale_data);
    EXPECT_EQ(r.weight, 1234);
    EXPECT_EQ(r.unit_price, 299);
    struct Case {
        std::string bytes;
        ReplyKind kind;
    } cases[] = {
        {"\x06", ReplyKind::ack},
        {"\x15", ReplyKind::nak},
        {"\x02"
         "32\x1b"
         "3\x1b"
         "00003\x1b"
         "000250\x1b"
         "000750\x03",
         ReplyKind::quantity_data},
        {"\x02"
         "99" +
             std::string(22, '0') + "\x03",
         ReplyKind::unknown_record},
        {"\x02"
         "11\x1b"
         "2a5\x03",
         ReplyKind::cs_kw_request},
        {"\x02"
         "11\x1b"
         "1\x03",
         ReplyKind::cs_kw_result},
        {"\x02"
         "09\x1b"
         "20\x03",
         ReplyKind::status},
        {"\x02"
         "09\x1b"
         "20\x04",
         ReplyKind::malformed},  // no ETX at byte 6
        {"\x02"
         "11\x1b"
         "3a5\x03",
         ReplyKind::malformed},
        {"", ReplyKind::none},
    };
    for (const Case& c : cases) EXPECT_EQ(decode_reply(c.bytes).kind, c.kind) << hex_dump(c.bytes);
    // A record refused after its weight was read (cut short, or followed by more bytes) keeps
    // no weight or price to act on.
    for (const std::string& broken : {data02.substr(0, 24) + "\x03", data02 + "\x06"}) {
        Frame f = decode_reply(broken);
        EXPECT_EQ(f.kind, ReplyKind::malformed) << hex_dump(broken);
        EXPECT_EQ(f.weight, 0) << hex_dump(broken);
        EXPECT_EQ(f.unit_price, 0) << hex_dump(broken);
    }
    EXPECT_EQ(decode_reply("\x02"
                           "11\x1b"
                           "2a5\x03")
                  .random_number,
              0xA5);
}

// The same place as the scale's: never a socket that any user could have put in /tmp.
TEST(KestrinPipe, PlaceRule) {
    {
        tarvelo::test::ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
        EXPECT_EQ(pipe_path("kv2170"), "/tmp/tarvelo-" + std::to_string(geteuid()) + "/kv2170");
        for (const char* name : {"a/b", ".", "..", ""}) {
            std::string error;
            EXPECT_EQ(PipeLink::open(name, &error), nullptr) << name;
            EXPECT_NE(error.find("invalid pipe name"), std::string::npos) << name << ": " << error;
        }
    }

    tarvelo::test::TempDir dir;
    const std::string mine = dir.file("mine"), open = dir.file("open"), link = dir.file("link"),
                      foreign = dir.file("foreign"), others = dir.file("others");
    mkdir(mine.c_str(), 0700);
    mkdir(open.c_str(), 0700);
    chmod(open.c_str(), 0755);
    mkdir(others.c_str(), 0700);
    chmod(others.c_str(), 0703);
    symlink(mine.c_str(), link.c_str());
    mkdir(foreign.c_str(), 0700);
    bool as_root = chown(foreign.c_str(), 65534, 65534) == 0;
    EXPECT_EQ(private_dir_problem(mine), "");
    EXPECT_NE(private_dir_problem(open).find("group or others"), std::string::npos);
    EXPECT_NE(private_dir_problem(others).find("group or others"), std::string::npos);
    EXPECT_NE(private_dir_problem(link).find("is a link"), std::string::npos);
    EXPECT_NE(private_dir_problem(dir.file("none")).find("No such file"), std::string::npos);
    // A name from the environment never forges a line of its own where it is shown.
    EXPECT_EQ(private_dir_problem(dir.file("a\nkestrin: ready\x1b[2J")),
              dir.file("a\\x0Akestrin: ready\\x1B[2J") + ": No such file or directory");
    if (as_root) {
        EXPECT_NE(private_dir_problem(foreign).find("belongs to user 65534"), std::string::npos);
    }
    // XDG_RUNTIME_DIR is held to the same rule: one that others may write to is passed over.
    const std::string fallback = "/tmp/tarvelo-" + std::to_string(geteuid()) + "/kv2170";
    for (const std::string& runtime : {open, others}) {
        tarvelo::test::ScopedEnv env("XDG_RUNTIME_DIR", runtime);
        EXPECT_EQ(pipe_path("kv2170"), fallback) << runtime;
    }
    tarvelo::test::ScopedEnv env("XDG_RUNTIME_DIR", mine + "/");
    EXPECT_EQ(pipe_path("kv2170"), mine + "/kv2170");
}

TEST(KestrinStatus, TextsWordForWord) {
    struct Case {
        char s1, s0;
        const char* text;
    } cases[] = {
        {'0', '0', "Unknown Error"},
        {'0', '1', "General Scale Error"},
        {'0', '2', "Parity Error"},
        {'1', '0', "Incorrect record number"},
        {'1', '1', "Invalid unit price"},
        {'1', '2', "Invalid tare"},
        {'1', '3', "Invalid text"},
        {'2', '0', "Scale not stable"},
        {'2', '1', "No movement since last weighting operation"},
        {'2', '2', "Price calculation not made"},
        {'3', '0', "Scale within minimun load range"},
        {'3', '1', "Underload"},
        {'3', '2', "Overload"},
        {'3', '3', "Unknown Error"},
        {'4', '0', "Unknown Error"},
        {'0', '9', "Unknown Error"},
    };
    for (const Case& c : cases) EXPECT_EQ(status_text(c.s1, c.s0), c.text) << c.s1 << c.s0;
}

TEST(KestrinDisplay, OwnRoundingAndDecimalCommas) {
    EXPECT_EQ(client_total(1234, 299), 369);  // 368.966: the next place, 9, rounds up
    EXPECT_EQ(weight_display(1234), "   1,234");
    EXPECT_EQ(total_display(369), "   3,69");
    EXPECT_EQ(client_total(99999, 999999), 99998900);  // beyond 32 bits in between
}

TEST(KestrinCs, CountsCharactersNotBytes) {
    struct Case {
        std::string text;
        size_t characters;
        std::string first4;
    } cases[] = {
        {"1A2B", 4, "1A2B"},
        {"1A2B5", 5, "1A2B"},
        {"\xc3\xa9\xc3\xa9\xc3\xa9", 3, "\xc3\xa9\xc3\xa9\xc3\xa9"},  // UTF-8 "ééé": 6 bytes
        {"\xe2\x82\xac"
         "12"
         "\xf0\x9f\x8d\x8e"
         "3",
         5,
         "\xe2\x82\xac"
         "12"
         "\xf0\x9f\x8d\x8e"},                 // 3- and 4-byte letters
        {"\xe9\xe9\xe9", 3, "\xe9\xe9\xe9"},  // "ééé" from a single-byte code page
        {"\xc3"
         "ABC",
         4,
         "\xc3"
         "ABC"},  // a lead byte without its tail
        {"", 0, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(text_characters(c.text), c.characters) << hex_dump(c.text);
        EXPECT_EQ(first_characters(c.text, 4), c.first4) << hex_dump(c.text);
    }
}

}  // namespace
}  // namespace kestrin
