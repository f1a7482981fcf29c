#include "client/ecr_decoder.h"

#include <gtest/gtest.h>

#include "client/frame_text.h"
#include "client/kestrin_protocol.h"
#include "tests/client/client_fakes.h"

namespace kestrin {
namespace {

// A request record: EOT STX, the body, ETX.
std::string rec(const std::string& body) {
    return "\x04\x02" + body + "\x03";
}
// A reply record: STX, the body, ETX.
std::string reply(const std::string& body) {
    return "\x02" + body + "\x03";
}

const std::string PRICE =
                      "\x1b"
                      "000150",
                  TEXT =
                      "\x1b"
                      "APPLES       ";

// Every request and reply the wire knows, and the ways each can break: the name and summary
// of a good one, the first wrong byte and what is said about it for a bad one.
TEST(EcrDecoder, EveryFrameAndItsFaults) {
    struct Case {
        std::string bytes;
        Direction direction;
        std::string said;     // a part of the summary
        size_t wrong_at = 0;  // npos: well-formed
    };
    const size_t ok = std::string::npos;
    const Case cases[] = {
        // Requests.
        {"\x04\x05", Direction::request, "ENQ (scale data", ok},
        {"\x04\x11", Direction::request, "DC1 (show the display windows)", ok},
        {"\x04\x12", Direction::request, "DC2 (hide the display windows)", ok},
        {rec("00"), Direction::request, "record 00 (weight mode)", ok},
        {rec("30"), Direction::request, "record 30 (quantity mode)", ok},
        {rec("06"), Direction::request, "record 06 (rezero)", ok},
        {rec("07"), Direction::request, "record 07 (one-touch tare)", ok},
        {rec("08"), Direction::request, "record 08 (status request)", ok},
        {rec("21"), Direction::request, "record 21 (tare request)", ok},
        {rec("01" + PRICE + "\x1b"), Direction::request,
         "record 01 (unit price, weight mode): unit_price=150", ok},
        {rec("31" + PRICE + "\x1b"), Direction::request, "(unit price, quantity mode)", ok},
        {rec("03" + PRICE +
             "\x1b"
             "0200"),
         Direction::request, "unit_price=150, tare=200 g", ok},
        {rec("33" + PRICE +
             "\x1b"
             "0003"),
         Direction::request, "unit_price=150, quantity=3", ok},
        {rec("04" + PRICE + TEXT), Direction::request, "unit_price=150, text='APPLES'", ok},
        {rec("34" + PRICE + TEXT), Direction::request, "quantity mode): unit_price=150, text=", ok},
        {rec("05" + PRICE +
             "\x1b"
             "0200" +
             TEXT),
         Direction::request, "unit_price=150, tare=200 g, text='APPLES'", ok},
        {rec("35" + PRICE +
             "\x1b"
             "0003" +
             TEXT),
         Direction::request, "quantity=3, text=", ok},
        {rec("10\x1b"
             "a2b13295"),
         Direction::request,
         "record 10 (CS/KW; outside the handshake status 1 0): cs=a2b1, kw=3295", ok},
        {rec("10\x1b" + std::string(40, 'F')), Direction::request, "kw=FFFF", ok},
        // Requests that break their layout.
        {rec("01" + PRICE), Direction::request, "too short: ETX at byte 11", 11},
        {rec("01" + PRICE +
             "\x1b"
             "5"),
         Direction::request, "too long: byte 12 is '5'", 12},
        {rec("01\x1b"
             "0001x0\x1b"),
         Direction::request,
         "byte 9 is 'x', not a digit of the unit price (bytes 5-10); the scale reads the field "
         "as 1",
         9},
        {rec("01X000150\x1b"), Direction::request, "byte 4 is 'X', where the layout has ESC", 4},
        {std::string("\x04\x02") + "01" + PRICE + "\x1b", Direction::request,
         "too short: the bytes end after 12", 12},
        {rec("04" + PRICE +
             "\x1b"
             "AP\x03"
             "PLES       "),
         Direction::request, "too short: ETX at byte 14", 14},
        {rec("03" + PRICE), Direction::request, "(the scale answers NAK, status 1 0)", 11},
        {rec("08\x1b"), Direction::request, "whatever its length", 4},
        {rec("99"), Direction::request, "record 99 is not a request the scale serves", 2},
        {"\x04\x41\x03", Direction::request, "after EOT comes STX, ENQ, DC1 or DC2", 1},
        {"\x04\x02\x41\x03", Direction::request, "no record number", 2},
        {rec("10\x1b"
             "a2b1329"),
         Direction::request, "7 characters of CS/KW", 5},
        {rec("10\x1b"
             "a2b1329g"),
         Direction::request, "not a hexadecimal digit of the KW of pair 1", 12},
        {rec("10\x1b" + std::string(48, 'a')), Direction::request, "6 CS/KW pairs", 45},
        {rec("10\x1b" + std::string(52, 'a')), Direction::request, "6 CS/KW pairs", 45},
        {rec("10\x1b" + std::string(44, 'a')), Direction::request,
         "the scale ignores the incomplete last group", 45},
        {rec("0A"), Direction::request,
         "no record number: STX is followed by two digits (the "
         "scale answers NAK, status 1 0)",
         3},
        {rec("10\x1b"), Direction::request, "without a whole one the scale answers NAK", 5},
        {"\x04\x05\x04\x05", Direction::request, "trailing bytes: the frame ends at byte 1", 2},
        // Replies.
        {"\x06", Direction::reply, "ACK", ok},
        {"\x15", Direction::reply, "NAK", ok},
        {test::kData1234, Direction::reply,
         "record 02 (scale data, weight mode): weight=1234 g, unit_price=299, total_price=369", ok},
        {reply("02\x1b"
               "3\x1b"
               "-0012\x1b"
               "000299\x1b"
               "-00004"),
         Direction::reply, "weight=-12 g, unit_price=299, total_price=-4", ok},
        {reply("32\x1b"
               "3\x1b"
               "00003\x1b"
               "000250\x1b"
               "000750"),
         Direction::reply, "record 32 (scale data, quantity mode): quantity=3", ok},
        {reply("22\x1b"
               "3\x1b"
               "00200"),
         Direction::reply, "record 22 (tare): tare=200 g", ok},
        {reply("09\x1b"
               "21"),
         Direction::reply, "s1=2 s0=1 (No movement", ok},
        {reply("11\x1b"
               "24d"),
         Direction::reply, "random_number=4d", ok},
        {reply("11\x1b"
               "1"),
         Direction::reply, "(CS/KW result): valid", ok},
        {reply("11\x1b"
               "7"),
         Direction::reply, "unknown result '7'", ok},
        // Replies that break their layout.
        {reply("02\x1b"
               "3\x1b"
               "0123\x1b"
               "000299\x1b"
               "000369"),
         Direction::reply,
         "malformed record 02 (scale data, weight mode): byte 10 is ESC, not a digit of the "
         "weight (bytes 6-10)",
         10},
        {reply("02\x1b"
               "4\x1b"
               "01234\x1b"
               "000299\x1b"
               "000369"),
         Direction::reply, "byte 4 is '4', where the layout has \"3\"", 4},
        {reply("02\x1b"
               "3\x1b"
               "0-234\x1b"
               "000299\x1b"
               "000369"),
         Direction::reply, "byte 7 is '-', not a digit", 7},
        {reply("22\x1b"
               "3\x1b"
               "0020"),
         Direction::reply, "too short: ETX at byte 10", 10},
        {reply("09\x1b"
               "200"),
         Direction::reply, "too long: byte 6 is '0'", 6},
        {"\x02"
         "09\x1b"
         "20",
         Direction::reply, "too short: the bytes end after 6", 6},
        {reply("11\x1b"
               "2A5"),
         Direction::reply, "not a lower-case hexadecimal digit", 5},
        {reply("09\x1b"
               "00") +
             "\x06",
         Direction::reply, "trailing bytes", 7},
        {reply("99" + std::string(22, '0')), Direction::reply,
         "unrecognised reply: record 99 is not a reply the scale sends", 1},
        {"\x02"
         "09\x1b"
         "00\x06",
         Direction::reply, "ACK inside a record", 6},
        {"xyz\x03", Direction::reply, "unrecognised reply: byte 0 is 'x'", 0},
        {"\x02", Direction::reply, "no record number", 1},  // the mark just past the bytes
        {"\x04\x02", Direction::request, "no record number", 2},
    };
    for (const Case& c : cases) {
        const Frame f = decode_frame(c.bytes);
        EXPECT_EQ(f.direction, c.direction) << hex_dump(c.bytes);
        EXPECT_NE(summary(f).find(c.said), std::string::npos) << hex_dump(c.bytes) << "\n"
                                                              << summary(f);
        EXPECT_EQ(f.well_formed(), c.wrong_at == ok) << hex_dump(c.bytes) << "\n" << f.problem;
        if (c.wrong_at != ok) {
            EXPECT_EQ(f.problem_at, c.wrong_at) << hex_dump(c.bytes) << "\n" << f.problem;
            EXPECT_TRUE(f.items.empty()) << hex_dump(c.bytes);  // nothing to act on
        }
    }
}

// Stated directions win over the first byte.
TEST(EcrDecoder, AStatedDirectionHoldsTheBytesToItsLayouts) {
    EXPECT_FALSE(decode_report("\x06", Direction::request).well_formed);
    EXPECT_FALSE(decode_report("\x04\x05", Direction::reply).well_formed);
    EXPECT_TRUE(decode_report("\x04\x05", Direction::request).well_formed);
}

// The table `ecrctl decode` prints, which the protocol reference shows as it stands.
TEST(EcrDecoder, ReportTellsEveryFieldWithItsUnitOrMarksTheWrongByte) {
    EXPECT_EQ(decode_report(test::kData1234, std::nullopt).text,
              "reply, 26 bytes: record 02 (scale data, weight mode): weight=1234 g, "
              "unit_price=299, total_price=369\n"
              "  0      STX\n"
              "  1-2    \"02\"      record number: scale data, weight mode\n"
              "  3      ESC\n"
              "  4      \"3\"       constant\n"
              "  5      ESC\n"
              "  6-10   \"01234\"   weight: 1234 g (1.234 kg)\n"
              "  11     ESC\n"
              "  12-17  \"000299\"  unit price: 2.99 per kg (299 in the smallest currency unit)\n"
              "  18     ESC\n"
              "  19-24  \"000369\"  total price: 3.69 (369 in the smallest currency unit)\n"
              "  25     ETX\n");
    const auto per_piece = decode_report(rec("31\x1b"
                                             "000250\x1b"),
                                         std::nullopt)
                               .text;
    EXPECT_NE(per_piece.find("unit price: 2.50 per piece"), std::string::npos) << per_piece;
    const auto status = decode_report(reply("09\x1b"
                                            "12"),
                                      std::nullopt)
                            .text;
    EXPECT_NE(status.find("status 1 2, Invalid tare: a preset tare above the tare limit of 5998 g"),
              std::string::npos)
        << status;
    // What sets a status, as the scale sets it; a text as the scale keeps it.
    for (const auto& [pair, reason] : std::vector<std::pair<std::string, std::string>>{
             {"01", "while the board link is lost"},
             {"12", "above the tare limit of 5998 g, or below zero"}}) {
        const auto text = decode_report(reply("09\x1b" + pair), std::nullopt).text;
        EXPECT_NE(text.find(reason), std::string::npos) << text;
    }
    const auto zero_byte = decode_report(rec("04" + PRICE +
                                             "\x1b"
                                             "  PEARS" +
                                             std::string(1, '\0') + "XYZ  "),
                                         std::nullopt)
                               .text;
    EXPECT_NE(zero_byte.find("text='  PEARS'\n"), std::string::npos) << zero_byte;
    EXPECT_NE(zero_byte.find("the zero byte ends it"), std::string::npos) << zero_byte;
    EXPECT_EQ(decode_report(rec("01\x1b"
                                "0001x0\x1b"),
                            std::nullopt)
                  .text,
              "request, 13 bytes: malformed request record 01 (unit price, weight mode): byte 9 "
              "is 'x', not a digit of the unit price (bytes 5-10); the scale reads the field as "
              "1; its layout is EOT STX \"01\" ESC unit price(6) ESC ETX, 13 bytes\n"
              "  04 02 30 31 1B 30 30 30 31 78 30 1B 03\n"
              "                             ^^ byte 9\n");
}

}  // namespace
}  // namespace kestrin
