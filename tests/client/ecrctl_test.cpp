#include "client/ecrctl_session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "client/ecr_replies.h"
#include "client/ecr_requests.h"
#include "client/kestrin_protocol.h"
#include "tests/client/client_fakes.h"
#include "tests/support/test_support.h"

namespace kestrin {
namespace {

using test::FakeLink;
using test::FakeReply;
using test::kData1234;
using test::ScriptedScale;

const std::string ACK = "\x06", NAK = "\x15";

using test::EcrctlRun;
using test::run_ecrctl;

std::string rec(const std::string& body) {
    return "\x04\x02" + body + "\x03";
}

// Command line -> bytes sent. Every refusal names the field, its unit and its range, exits 2
// and never opens the pipe.
TEST(Ecrctl, CommandLineToBytesSent) {
    const std::string enq = "\x04\x05";
    const std::string r11 =
                          "\x02"
                          "11\x1b"
                          "2a5\x03",
                      valid =
                          "\x02"
                          "11\x1b"
                          "1\x03";
    struct Case {
        std::vector<std::string> args;
        std::string sent;     // empty: refused
        std::string refusal;  // a part of the message (when sent: of what ecrctl says on stderr)
        std::vector<FakeReply> replies = {};
        int exit_code = 0;
    } cases[] = {
        {{"enq"}, enq, ""},
        {{"show"}, "\x04\x11", ""},
        {{"hide"}, "\x04\x12", ""},
        {{"status"}, rec("08"), ""},
        {{"weight-mode"}, rec("00"), ""},
        {{"quantity-mode"}, rec("30"), ""},
        {{"zero"}, rec("06"), ""},
        {{"tare"}, rec("07"), ""},
        {{"get-tare"}, rec("21"), ""},
        {{"price", "150"},
         rec("01\x1b"
             "000150\x1b"),
         ""},
        {{"price", "1.99"},
         rec("01\x1b"
             "000199\x1b"),
         ""},
        {{"price", "0.05"},
         rec("01\x1b"
             "000005\x1b"),
         ""},
        {{"price", "0"},
         rec("01\x1b"
             "000000\x1b"),
         ""},
        {{"price", "999999"},
         rec("01\x1b"
             "999999\x1b"),
         ""},
        {{"price", "9999.99"},
         rec("01\x1b"
             "999999\x1b"),
         ""},
        {{"price", "150", "tare", "200"},
         rec("03\x1b"
             "000150\x1b"
             "0200"),
         ""},
        {{"price", "150", "tare", "9999"},
         rec("03\x1b"
             "000150\x1b"
             "9999"),
         ""},
        {{"price", "150", "text", "APPLES"},
         rec("04\x1b"
             "000150\x1b"
             "APPLES       "),
         ""},
        {{"price", "150", "text", ""},
         rec("04\x1b"
             "000150\x1b"
             "             "),
         ""},
        {{"price", "150", "text", "RED APPLE #13"},
         rec("04\x1b"
             "000150\x1b"
             "RED APPLE #13"),
         ""},
        {{"price", "1.50", "text", "PEARS", "tare", "5"},
         rec("05\x1b"
             "000150\x1b"
             "0005\x1b"
             "PEARS        "),
         ""},
        {{"qprice", "250"},
         rec("31\x1b"
             "000250\x1b"),
         ""},
        {{"qprice", "250", "qty", "3"},
         rec("33\x1b"
             "000250\x1b"
             "0003"),
         ""},
        {{"qprice", "2.50", "text", "EGGS"},
         rec("34\x1b"
             "000250\x1b"
             "EGGS         "),
         ""},
        {{"qprice", "250", "qty", "9999", "text", "EGGS"},
         rec("35\x1b"
             "000250\x1b"
             "9999\x1b"
             "EGGS         "),
         ""},
        {{"record", "00"}, rec("00"), ""},
        {{"record", "01", "000150", ""},
         rec("01\x1b"
             "000150\x1b"),
         ""},
        {{"raw", "04", "05"}, enq, ""},
        {{"raw", "0405"}, enq, ""},
        {{"raw", "04 05 04 05"}, enq + enq, "", {ACK + NAK}, kNegative},
        {{"raw", "04 05 04"}, enq + "\x04", "", {ACK}, kNoReply},  // the second never ends
        {{"--timeout", "100", "--pipe", "other", "enq"}, enq, ""},
        {{"handshake", "1A2B"},
         enq + rec("10\x1b" + cs_kw_chars("1A2B", 0xA5)) + enq,
         "",
         {r11, ACK, valid}},
        {{"handshake", "1A2B5"},
         enq + rec("10\x1b" + cs_kw_chars("1A2B", 0xA5)) + enq,
         "",
         {r11, ACK, valid}},
        {{"handshake", "éééé"},
         enq + rec("10\x1b" + cs_kw_chars("0000", 0xA5)) + enq,
         "",
         {r11, ACK, valid}},
        {{"read", "1A2B"},
         enq + rec("10\x1b" + cs_kw_chars("1A2B", 0xA5)) + enq + enq,
         "",
         {r11, ACK, valid, kData1234}},
        {{"read", "1A2B"},
         enq + rec("08"),
         "",
         {NAK,
          "\x02"
          "09\x1b"
          "20\x03"},
         1},
        {{"read", "1A2B"},
         enq + rec("10\x1b" + cs_kw_chars("1A2B", 0xA5)) + rec("08"),
         "",
         {r11, NAK,
          "\x02"
          "09\x1b"
          "10\x03"},
         1},
        {{"read", "1A2B"},
         enq + rec("10\x1b" + cs_kw_chars("1A2B", 0xA5)) + enq,
         "",
         {r11, ACK, ACK},
         1},
        // Status 00 after a NAK explains nothing: the read still failed.
        {{"read", "1A2B"},
         enq + rec("08"),
         "",
         {NAK,
          "\x02"
          "09\x1b"
          "00\x03"},
         1},
        // A scale that asks again after a valid result would have ecrctl go round for ever.
        {{"read", "1A2B"},
         enq + rec("10\x1b" + cs_kw_chars("1A2B", 0xA5)) + enq + enq,
         "asks for CS/KW again right after a valid result",
         {r11, ACK, valid, r11, ACK, valid},
         1},
        // Refused before the pipe is opened.
        {{"price", "abc"},
         "",
         "unit price 'abc' does not fit: give the currency's smallest unit, 0 to 999999"},
        {{"price", "1234567"}, "", "unit price '1234567'"},
        {{"price", "10000.00"}, "", "unit price '10000.00'"},
        {{"price", "1.9"}, "", "two decimals, 0.00 to 9999.99"},
        {{"price", "1.999"}, "", "unit price '1.999'"},
        {{"price", "1,99"}, "", "unit price '1,99'"},
        {{"price", ".99"}, "", "unit price '.99'"},
        {{"price", "-5"}, "", "unit price '-5'"},
        {{"price", "+5"}, "", "unit price '+5'"},
        {{"price"}, "", "the unit price is missing"},
        {{"price", "150", "tare"}, "", "'tare' needs its value: give whole grams, 0 to 9999"},
        {{"price", "150", "text"}, "", "'text' needs its value: give 0 to 13 bytes"},
        {{"price", "150", "tare", "10000"},
         "",
         "tare '10000' does not fit: give whole grams, 0 to 9999"},
        {{"price", "150", "tare", "1.5"}, "", "tare '1.5'"},
        {{"price", "150", "tare", "abc"}, "", "tare 'abc'"},
        {{"price", "150", "qty", "200"}, "", "'qty' belongs to qprice"},
        {{"qprice", "150", "tare", "200"}, "", "'tare' belongs to price"},
        {{"qprice", "150", "qty", "10000"},
         "",
         "quantity '10000' does not fit: give whole pieces, 0 to 9999"},
        {{"price", "150", "colour", "red"}, "", "unknown word 'colour'"},
        {{"price", "150", "200"}, "", "unknown word '200'"},
        {{"price", "150", "tare", "5", "tare", "6"}, "", "'tare' is given twice"},
        {{"price", "150", "text", "FOURTEEN CHARS"},
         "",
         "(14 bytes) does not fit: give 0 to 13 bytes"},
        {{"price", "150", "text", "ÄÄÄÄÄÄÄ"}, "", "(14 bytes)"},
        {{"price", "150", "text",
          "AB\x03"
          "CD"},
         "",
         "text 'AB\\x03CD'"},
        {{"price", "150", "text", "AB\x11"}, "", "without control bytes"},
        {{"price", "150", "text", "A\tB"}, "", "text 'A\\x09B'"},
        {{"price", "150", "text",
          "A\x7F"
          "B"},
         "",
         "text 'A\\x7FB'"},
        {{"enq", "now"}, "", "enq takes no value; 'now' is one word too many"},
        {{"status", "x"}, "", "status takes no value"},
        {{"handshake", "123"}, "", "CS '123' has 3 characters: give at least 4"},
        {{"handshake", "ééé"}, "", "has 3 characters"},
        {{"read", "abc"}, "", "read: CS 'abc' has 3 characters"},
        {{"handshake"}, "", "the CS is missing"},
        {{"handshake", "1A2B", "x"}, "", "'x' is one word too many"},
        {{"record", "1"}, "", "record number is two digits, 00 to 99"},
        {{"record", "0A"}, "", "two digits"},
        {{"record", "01", "A\x05"}, "", "holds a control byte"},
        {{"raw", "4", "5", "6"}, "", "pairs of hex digits"},
        {{"raw"}, "", "pairs of hex digits"},
        {{"sleep", "abc"}, "", "whole milliseconds, 0 to 600000"},
        {{"sleep", "600001"}, "", "0 to 600000"},
        {{"frobnicate"}, "", "unknown command 'frobnicate'"},
        {{"--timeout", "abc", "enq"},
         "",
         "--timeout needs the longest wait for a reply in whole milliseconds, 1 to 600000"},
        {{"--timeout", "-1", "enq"}, "", "--timeout"},
        {{"--timeout", "0", "enq"}, "", "--timeout"},
        {{"--timeout", "600001", "enq"}, "", "--timeout"},
        {{"--timeout"}, "", "--timeout"},
        {{"--pipe"}, "", "--pipe needs"},
        {{"--bogus", "enq"}, "", "unknown option '--bogus'"},
        {{"-", "enq"}, "", "takes no words after it"},
        {{}, "", "Usage: ecrctl"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        EcrctlRun r = run_ecrctl(c.args, c.replies);
        if (c.sent.empty()) {
            EXPECT_EQ(r.exit_code, kRefused) << line;
            EXPECT_EQ(r.connects, 0) << line;
            EXPECT_NE(r.err.find(c.refusal), std::string::npos) << line << "\n" << r.err;
        } else {
            EXPECT_EQ(r.exit_code, c.exit_code) << line << "\n" << r.out << r.err;
            EXPECT_EQ(hex_dump(r.sent), hex_dump(c.sent)) << line;
            if (c.refusal.empty())
                EXPECT_EQ(r.err, "") << line;
            else
                EXPECT_NE(r.err.find(c.refusal), std::string::npos) << line << "\n" << r.err;
        }
    }
    EXPECT_EQ(run_ecrctl({"--pipe", "other", "enq"}).pipe, "other");
}

// Reply bytes -> description and exit code: every reply the scale sends, the ways a reply can
// be malformed, and the ways it can fail to arrive.
TEST(Ecrctl, ReplyBytesToDescriptionAndExitCode) {
    using End = RawReply::End;
    struct Case {
        std::string bytes;
        End end;
        std::string text;
        int exit_code;
    } cases[] = {
        {ACK, End::complete, "ACK", kPositive},
        {NAK, End::complete, "NAK (refused; `status` tells why)", kNegative},
        {kData1234, End::complete,
         "record 02 (scale data, weight mode): weight=1234 g, unit_price=299, total_price=369",
         kPositive},
        {"\x02"
         "02\x1b"
         "3\x1b"
         "-0012\x1b"
         "000299\x1b"
         "-00004\x03",
         End::complete,
         "record 02 (scale data, weight mode): weight=-12 g, unit_price=299, total_price=-4",
         kPositive},
        {"\x02"
         "32\x1b"
         "3\x1b"
         "00003\x1b"
         "000250\x1b"
         "000750\x03",
         End::complete,
         "record 32 (scale data, quantity mode): quantity=3, unit_price=250, total_price=750",
         kPositive},
        {"\x02"
         "22\x1b"
         "3\x1b"
         "00200\x03",
         End::complete, "record 22 (tare): tare=200 g", kPositive},
        {"\x02"
         "22\x1b"
         "3\x1b"
         "-0012\x03",
         End::complete, "record 22 (tare): tare=-12 g", kPositive},
        {"\x02"
         "09\x1b"
         "00\x03",
         End::complete, "record 09 (status): s1=0 s0=0 (no error)", kPositive},
        {"\x02"
         "09\x1b"
         "20\x03",
         End::complete, "record 09 (status): s1=2 s0=0 (Scale not stable)", kNegative},
        {"\x02"
         "09\x1b"
         "12\x03",
         End::complete, "record 09 (status): s1=1 s0=2 (Invalid tare)", kNegative},
        {"\x02"
         "09\x1b"
         "03\x03",
         End::complete, "record 09 (status): s1=0 s0=3 (unknown status)", kNegative},
        {"\x02"
         "09\x1b"
         "5\x01\x03",
         End::complete, "record 09 (status): s1=5 s0=\\x01 (unknown status)", kNegative},
        {"\x02"
         "11\x1b"
         "2a5\x03",
         End::complete,
         "record 11 (CS/KW request): random_number=a5; the scale wants the handshake (`handshake "
         "CS`)",
         kNegative},
        {"\x02"
         "11\x1b"
         "1\x03",
         End::complete, "record 11 (CS/KW result): valid", kPositive},
        {"\x02"
         "11\x1b"
         "0\x03",
         End::complete, "record 11 (CS/KW result): invalid", kNegative},
        {"\x02"
         "11\x1b"
         "7\x03",
         End::complete, "record 11 (CS/KW result): unknown result '7' (expected 1 or 0)",
         kNegative},
        // Malformed: a wrong length, separator, digit or marker.
        {"\x02"
         "02\x1b"
         "3\x1b"
         "0123\x1b"
         "000299\x1b"
         "000369\x03",
         End::complete, "malformed record 02", kNegative},
        {"\x02"
         "02\x1b"
         "3\x1b"
         "01234\x1b"
         "000299\x1b"
         "00036x\x03",
         End::complete, "malformed record 02", kNegative},
        {"\x02"
         "02\x1b"
         "4\x1b"
         "01234\x1b"
         "000299\x1b"
         "000369\x03",
         End::complete, "malformed record 02", kNegative},
        {"\x02"
         "02\x1b"
         "3\x1b"
         "01234-000299\x1b"
         "000369\x03",
         End::complete, "malformed record 02", kNegative},
        {"\x02"
         "32\x1b"
         "3\x1b"
         "00003\x1b"
         "000250\x03",
         End::complete, "malformed record 32", kNegative},
        {"\x02"
         "22\x1b"
         "3\x1b"
         "0200\x03",
         End::complete, "malformed record 22", kNegative},
        {"\x02"
         "22\x1b"
         "3\x1b"
         "0-012\x03",
         End::complete, "malformed record 22", kNegative},
        {"\x02"
         "02\x1b"
         "3\x1b"
         "01234\x1b"
         "000299\x1b"
         "00036-\x03",
         End::complete, "malformed record 02", kNegative},
        {"\x02"
         "09\x1b"
         "200\x03",
         End::complete, "malformed record 09", kNegative},
        {"\x02"
         "11\x1b"
         "2A5\x03",
         End::complete, "malformed record 11", kNegative},
        {"\x02"
         "11\x1b"
         "10\x03",
         End::complete, "malformed record 11", kNegative},
        {"\x02"
         "99" +
             std::string(22, '0') + "\x03",
         End::complete, "unrecognised reply", kNegative},
        {"xyz\x03", End::complete, "unrecognised reply", kNegative},
        {"x" + ACK, End::complete, "unrecognised reply", kNegative},
        {"\x02"
         "09\x1b"
         "00" +
             ACK,
         End::complete, "unrecognised reply", kNegative},
        // Not a whole reply.
        {"", End::timeout, "no reply within 5000 ms", kNoReply},
        {"\x02"
         "02",
         End::timeout, "incomplete reply: 3 bytes within 5000 ms, no ETX, ACK or NAK", kNoReply},
        {"", End::failed, "no reply: the connection closed", kNoReply},
        {"\x02", End::failed, "incomplete reply: the connection closed after 1 byte", kNoReply},
        {std::string(128, 'x'), End::full, "over-long reply: 128 bytes without an ETX, ACK or NAK",
         kNoReply},
    };
    for (const Case& c : cases) {
        ReplyVerdict v = describe_reply(RawReply{c.bytes, c.end}, 5000);
        EXPECT_EQ(v.text.substr(0, c.text.size()), c.text) << hex_dump(c.bytes) << "\n" << v.text;
        EXPECT_EQ(v.exit_code, c.exit_code) << hex_dump(c.bytes);
    }
}

TEST(Ecrctl, HelpStatesEveryValueWithItsUnitAndRange) {
    EcrctlRun r = run_ecrctl({"--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.connects, 0);
    for (const char* rule :
         {"smallest unit, 0 to 999999", "exactly two decimals, 0.00 to 9999.99",
          "whole grams, 0 to 9999", "whole pieces, 0 to 9999", "0 to 13 bytes", "no control bytes",
          "two digits 00 to 99", "at least 4 characters", "whole milliseconds, 0 to 600000",
          "milliseconds, 1 to 600000", "--stop-on-error", "record 08 to show why",
          "reply is read for each one answered", "left over from the previous request"})
        EXPECT_NE(r.out.find(rule), std::string::npos) << rule;
}

// The examples of the README and of the protocol reference (the lines of their fenced blocks
// that start "ecrctl ") are commands ecrctl takes as they stand.
TEST(Ecrctl, DocumentExamplesAreAccepted) {
    struct Document {
        const char* path;
        int examples, offline;  // at least
    } documents[] = {{"README.md", 8, 3}, {"docs/ecr-protocol.md", 6, 3}};
    for (const Document& d : documents) {
        SCOPED_TRACE(d.path);
        std::ifstream text(std::string(SOURCE_DIR "/") + d.path);
        ASSERT_TRUE(text.good());
        int examples = 0, offline = 0;
        bool fenced = false;
        for (std::string line; std::getline(text, line);) {
            if (line.rfind("```", 0) == 0) fenced = !fenced;
            if (!fenced || line.rfind("ecrctl ", 0) != 0) continue;
            ++examples;
            std::string error;
            auto words = split_line(line.substr(7), &error);  // '#' ends it, as in a shell
            ASSERT_TRUE(words) << line;
            EcrctlRun r = run_ecrctl(*words);
            EXPECT_NE(r.exit_code, kRefused) << line << "\n" << r.err;
            // decode, cskw and a dry run never open the pipe; every other example sends.
            const std::string& first = words->at(0);
            if (first == "decode" || first == "cskw" || first == "--dry-run") {
                ++offline;
                EXPECT_EQ(r.exit_code, kPositive) << line << "\n" << r.out;
                EXPECT_EQ(r.connects, 0) << line;
                EXPECT_FALSE(r.out.empty()) << line;
            } else {
                EXPECT_FALSE(r.sent.empty()) << line;
            }
        }
        EXPECT_GE(examples, d.examples);
        EXPECT_GE(offline, d.offline);
    }
}

TEST(Ecrctl, ScriptExitsWithItsWorstOutcome) {
    struct Case {
        const char* what;
        std::vector<std::string> options;
        std::string script;
        std::vector<FakeReply> replies;
        std::string sent;
        int exit_code;
    } cases[] = {
        {"a refused middle command",
         {},
         "show\nprice 1234567\nshow\n",
         {},
         "\x04\x11\x04\x11",
         kRefused},
        {"a negative reply before a positive one",
         {},
         "enq\nshow\n",
         {NAK, ACK},
         "\x04\x05\x04\x11",
         kNegative},
        {"no reply, then a refusal", {}, "enq\nprice abc\n", {FakeReply("")}, "\x04\x05", kNoReply},
        {"an unclosed quote", {}, "price 150 text \"APPLES\nshow\n", {}, "\x04\x11", kRefused},
        {"stop at the first negative",
         {"--stop-on-error"},
         "show\nenq\nhide\n",
         {ACK, NAK},
         "\x04\x11\x04\x05",
         kNegative},
        {"stop at a refused line", {"--stop-on-error"}, "price 1.9\nhide\n", {}, "", kRefused},
        {"all positive",
         {"--stop-on-error"},
         "show\n\n# nothing\nhide\n",
         {},
         "\x04\x11\x04\x12",
         kPositive},
        {"comments after commands",
         {},
         "enq # ask\nprice 150 text \"A # B\" # the text keeps its #\n",
         {},
         "\x04\x05" + rec("04\x1b"
                          "000150\x1b"
                          "A # B        "),
         kPositive},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.options;
        args.push_back("-");
        EcrctlRun r = run_ecrctl(args, c.replies, c.script);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.what << "\n" << r.out << r.err;
        EXPECT_EQ(hex_dump(r.sent), hex_dump(c.sent)) << c.what;
    }
    EcrctlRun refused = run_ecrctl({"-"}, {}, "show\nprice 1234567\nshow\n");
    EXPECT_NE(refused.err.find("line 2: price: unit price '1234567'"), std::string::npos)
        << refused.err;
}

TEST(Ecrctl, AReplyCutOffOrTrickledShowsTheBytesThatCame) {
    EcrctlRun cut = run_ecrctl({"enq"}, {FakeReply("\x02"
                                                   "02\x1b",
                                                   true)});
    EXPECT_EQ(cut.exit_code, kNoReply);
    EXPECT_NE(
        cut.out.find("<- 02 30 32 1B\n   incomplete reply: the connection closed after 4 bytes"),
        std::string::npos)
        << cut.out;
    // One byte every 0.8 s does not hold a 1000 ms time-out open: the whole reply must be in.
    EcrctlRun slow = run_ecrctl({"--timeout", "1000", "enq"}, {kData1234}, "", 800);
    EXPECT_EQ(slow.exit_code, kNoReply);
    EXPECT_NE(slow.out.find("<- 02\n   incomplete reply: 1 byte within 1000 ms"), std::string::npos)
        << slow.out;
    EXPECT_EQ(slow.drops, 1);
}

// The scale's slowest replies come to the records that send the board a command: a zero, a tare
// or a preset tare answered (or given up) by the board at the last moment while its weight
// settled, measured up to 6.13 s. With the defaults they arrive as what they are.
TEST(Ecrctl, TheDefaultTimeOutOutlastsTheScalesSlowestReply) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"zero"}, {"tare"}, {"price", "150", "tare", "200"}}) {
        EcrctlRun r = run_ecrctl(args, {ACK}, "", 6200);
        EXPECT_EQ(r.exit_code, kPositive) << args[0] << r.out;
    }
}

// How the scale cuts bytes sent at once into requests, and which of them it answers.
TEST(Ecrctl, RawBytesAreCutIntoRequestsAsTheScaleReadsThem) {
    const std::string record255 = "\x04\x02" + std::string(253, 'A');
    struct Case {
        std::string bytes;
        size_t answered;
        bool unfinished;
    } cases[] = {
        {"\x04\x05", 1, false},
        {"\x04\x05\x04\x05", 2, false},
        {"\x04\x11\x04\x12", 2, false},
        {"\x04\x02"
         "08\x03\x04\x05",
         2, false},
        {"\x04\x02"
         "04\x1b"
         "A\x03"
         "BC\x03",
         1, false},  // an ETX inside the text: the rest is no request
        {"A\x03", 0, false},
        {"\x04\x03", 0, false},
        {"\x04\x02"
         "00",
         0, true},
        {"\x04\x05\x04", 1, true},
        {record255, 1, false},  // 255 bytes without an end are a request of their own
        {record255 + "\x04\x05", 2, false},
    };
    for (const Case& c : cases) {
        RequestsSent r = requests_in(c.bytes);
        EXPECT_EQ(r.answered, c.answered) << hex_dump(c.bytes);
        EXPECT_EQ(r.unfinished, c.unfinished) << hex_dump(c.bytes);
    }
}

// A reply is only ever read as the answer to its own request: every reply to bytes sent at
// once is read, and bytes still waiting when the next request is due are shown as left over
// and go with the connection, which is opened anew.
TEST(Ecrctl, EveryReplyIsShownWithItsOwnRequest) {
    tarvelo::test::TempDir dir;
    tarvelo::test::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path().string());
    const std::string data1111 =
        "\x02"
        "02\x1b"
        "3\x1b"
        "01111\x1b"
        "000100\x1b"
        "000111\x03";
    const std::string data2222 =
        "\x02"
        "02\x1b"
        "3\x1b"
        "02222\x1b"
        "000100\x1b"
        "000222\x03";
    const std::string not_stable =
                          "\x02"
                          "09\x1b"
                          "20\x03",
                      no_error =
                          "\x02"
                          "09\x1b"
                          "00\x03";
    struct Case {
        const char* what;
        std::string script;
        std::vector<ScriptedScale::Step> steps;
        std::vector<std::string> shown;  // the decoded lines, in order
        int connections;
        int exit_code;
    } cases[] = {
        {"two requests in one",
         "raw 04 05 04 05\nstatus\nprice 150\nenq\n",
         {data1111, NAK, not_stable, ACK, data2222},
         {"reply 1 of 2: record 02 (scale data, weight mode): weight=1111 g", "reply 2 of 2: NAK",
          "record 09 (status): s1=2 s0=0", "ACK",
          "record 02 (scale data, weight mode): weight=2222 g"},
         1,
         kNegative},
        {"more than a whole reply",
         "enq\nstatus\n",
         {data1111 + ACK + NAK, no_error},
         {"record 02 (scale data, weight mode): weight=1111 g",
          "left over from the previous request (2 bytes)", "record 09 (status): s1=0 s0=0"},
         2,
         kNegative},
    };
    for (const Case& c : cases) {
        ScriptedScale scale("ecr", c.steps, true);
        std::istringstream in(c.script);
        std::ostringstream out, err;
        EcrctlEnv env;
        env.connect = [](const std::string& pipe, std::string* error) -> std::unique_ptr<Link> {
            return PipeLink::open(pipe, error);
        };
        EXPECT_EQ(ecrctl_main({"--pipe", "ecr", "-"}, in, out, err, env), c.exit_code)
            << c.what << "\n"
            << out.str() << err.str();
        // Each decoded reply (the line after "<- "), cut to the length of the expected one.
        std::vector<std::string> shown;
        std::istringstream lines(out.str());
        bool reply = false;
        for (std::string line; std::getline(lines, line);) {
            const bool decoded_reply = reply && line.rfind("   ", 0) == 0;
            reply = line.rfind("<- ", 0) == 0;
            if (!decoded_reply) continue;
            const size_t i = shown.size();
            shown.push_back(line.substr(3, i < c.shown.size() ? c.shown[i].size() : line.size()));
        }
        EXPECT_EQ(shown, c.shown) << c.what << "\n" << out.str();
        EXPECT_EQ(scale.connections(), c.connections) << c.what;
        EXPECT_EQ(scale.turned_away(), 0) << c.what;
        EXPECT_EQ(err.str(), "") << c.what;
    }
}

TEST(Ecrctl, ACommandAfterABadReplyGetsTheFreshAnswer) {
    tarvelo::test::TempDir dir;
    tarvelo::test::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path().string());
    const std::string stale =
        "\x02"
        "02\x1b"
        "3\x1b"
        "01111\x1b"
        "000100\x1b"
        "000111\x03";
    const std::string fresh =
        "\x02"
        "02\x1b"
        "3\x1b"
        "02222\x1b"
        "000100\x1b"
        "000222\x03";
    // The scale serves one client at a time: a new connection made before it has let go of the
    // old one is turned away. A client that leaves shuts its sending side, so the scale reads
    // that at once, and waits for the scale to close before it connects again.
    struct Case {
        const char* what;
        ScriptedScale::Step first;
        int half_closes;  // the scale closes a cut-off reply's connection itself
    } cases[] = {
        {"late", ScriptedScale::busy(stale, 300), 1},
        {"cut off", ScriptedScale::closing(stale.substr(0, 5)), 0},
        {"over-long", std::string(300, 'x') + "\x03", 1},
    };
    for (const Case& c : cases) {
        ScriptedScale scale("ecr", {c.first, fresh}, true);
        std::ostringstream out, err;
        EcrctlEnv env;
        env.connect = [](const std::string& pipe, std::string* error) -> std::unique_ptr<Link> {
            return PipeLink::open(pipe, error);
        };
        EcrctlSession session(out, err, env, "ecr");
        session.timeout_ms = 100;
        EXPECT_EQ(session.run(std::vector<std::string>{"enq"}), kNoReply) << c.what << out.str();
        session.timeout_ms = 5000;
        EXPECT_EQ(session.run(std::vector<std::string>{"enq"}), kPositive) << c.what << out.str();
        EXPECT_NE(out.str().find("weight=2222 g"), std::string::npos) << c.what << out.str();
        EXPECT_EQ(scale.connections(), 2) << c.what;
        EXPECT_EQ(scale.turned_away(), 0) << c.what;
        EXPECT_EQ(scale.half_closes(), c.half_closes) << c.what;
    }
}

}  // namespace
}  // namespace kestrin
