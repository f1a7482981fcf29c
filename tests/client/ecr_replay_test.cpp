#include "client/ecr_replay.h"

#include <gtest/gtest.h>

#include <sstream>

#include "client/ecr_replies.h"
#include "client/kestrin_protocol.h"
#include "tests/client/client_fakes.h"

namespace kestrin {
namespace {

// Without the board replay's clock, --speed X plays the capture X times faster, counted from the
// first event done: a capture's 2 s come after 4 s at half speed, 1 s at double.
TEST(EcrReplay, OwnClockFollowsTheSpeed) {
    for (double speed : {0.5, 1.0, 2.0}) {
        int64_t now = 5000;
        OwnReplayClock clock(
            speed, [&] { return now; }, [&](int ms) { now += ms; });
        clock.done(0);
        clock.wait_until(2000000);
        EXPECT_EQ(now, 5000 + static_cast<int64_t>(2000 / speed)) << "speed " << speed;
    }
}

// A pair valid for the recorded challenge is valid for the new one; an invalid pair stays
// invalid, even where the new challenge would by chance make it valid; the ECR's capitals and
// what is no hexadecimal number are kept.
TEST(EcrReplay, PairsFollowTheChallenge) {
    // Valid: some CS the ECR could have typed gives this very pair (the search is the check).
    auto valid = [](const std::string& pair, uint8_t r) {
        std::string lower = pair;
        for (char& c : lower) c = static_cast<char>(std::tolower(c));
        for (int typed = 0; typed <= 0xFFFF; ++typed) {
            char text[8];
            std::snprintf(text, sizeof text, "%04X", typed);
            if (cs_kw_chars(text, r) == lower) return true;
        }
        return false;
    };
    struct Case {
        std::string typed;
        uint8_t recorded, now;
    } cases[] = {{"1A2B", 0xbc, 0xfa},
                 {"0000", 0x00, 0xff},
                 {"FFFF", 0x4d, 0x4d},
                 {"BEEF", 0x0f, 0xf0},
                 {"0001", 0x80, 0x08}};
    for (const Case& c : cases) {
        const std::string pair = cs_kw_chars(c.typed, c.recorded);
        ASSERT_TRUE(valid(pair, c.recorded)) << c.typed;
        const std::string moved = pair_for_challenge(pair, c.recorded, c.now);
        EXPECT_EQ(moved, cs_kw_chars(c.typed, c.now)) << c.typed;
        EXPECT_TRUE(valid(moved, c.now)) << c.typed;

        std::string upper = pair;
        for (char& ch : upper) ch = static_cast<char>(std::toupper(ch));
        std::string moved_upper = pair_for_challenge(upper, c.recorded, c.now);
        EXPECT_TRUE(valid(moved_upper, c.now)) << c.typed;
        EXPECT_EQ(moved_upper.find_first_of("abcdef"), std::string::npos) << moved_upper;

        std::string wrong = pair;
        wrong[7] = wrong[7] == '0' ? '1' : '0';
        ASSERT_FALSE(valid(wrong, c.recorded));
        EXPECT_FALSE(valid(pair_for_challenge(wrong, c.recorded, c.now), c.now)) << c.typed;
    }
    // Wrong for the recorded challenge, right for the new one: made wrong again.
    const std::string right_now = cs_kw_chars("1A2B", 0xfa);
    ASSERT_FALSE(valid(right_now, 0xbc));
    EXPECT_FALSE(valid(pair_for_challenge(right_now, 0xbc, 0xfa), 0xfa));
    EXPECT_EQ(pair_for_challenge("1A2BXYZW", 0xbc, 0xfa), "1A2BXYZW");
}

const std::string kHead =
    "tarvelo-capture 1 version=1.0.0 board=xon checksum=0 start=program pipe=ecr settings=s\n"
    "ini [scale]\n"
    "# a note\n";

// The ECR's events, in order, with their lines; the board's records are read past; a line
// that is no record is refused with its number.
TEST(EcrReplay, ReadsTheEcrSideOfACapture) {
    EcrCapture c;
    std::string error;
    ASSERT_TRUE(read_ecr_capture(kHead + "0000000010 board-open /dev/ttyUSB0\n"
                                         "0000000011 pc>board 11\n"
                                         "0000000020 ecr-connect\n"
                                         "0000000030 ecr>scale 04 05\n"
                                         "0000000031 board>pc 02 30 03\n"
                                         "0000000040 scale>ecr 15\n"
                                         "0000000041 lost 3\n"
                                         "0000000050 ecr-disconnect\n"
                                         "0000000060 end\n",
                                 &c, &error))
        << error;
    ASSERT_EQ(c.events.size(), 4u);
    EXPECT_EQ(c.events[1].kind, CaptureEvent::Kind::request);
    EXPECT_EQ(c.events[1].bytes, "\x04\x05");
    EXPECT_EQ(c.events[1].line, 7);
    EXPECT_EQ(c.events[2].bytes, "\x15");
    EXPECT_EQ(c.events[3].us, 50);
    ASSERT_EQ(c.notes.size(), 1u);
    EXPECT_NE(c.notes[0].find("line 10"), std::string::npos);

    const struct {
        std::string text, error;
    } refused[] = {
        {"", "empty"},
        {"tarvelo-capture 2\n", "format 2"},
        {"something else\n", "line 1: not a capture"},
        {kHead + "10 ecr>scale 4\n", "line 4: '4' is not one byte"},
        {kHead + "10 ecr>scale\n", "line 4: ecr>scale without bytes"},
        {kHead + "10 ecr-connect 04\n", "line 4: ecr-connect takes nothing"},
        {kHead + "10 scale<ecr 06\n", "line 4: unknown kind"},
        {kHead + "20 ecr-connect\n10 ecr-disconnect\n", "line 5: its time is earlier"},
        {kHead + "20 ecr-connect\n30 scale>ecr 02 30", "line 5: the file ends inside this record"},
        {kHead + "1000000000000001 ecr-connect\n", "line 4: its time is later than any"},
    };
    for (const auto& r : refused) {
        EcrCapture ignored;
        EXPECT_FALSE(read_ecr_capture(r.text, &ignored, &error)) << r.text;
        EXPECT_NE(error.find(r.error), std::string::npos) << r.text << ": " << error;
    }
}

struct Replay {
    int code = -1;
    std::string out, sent;
};

Replay replay(const std::string& records, std::vector<test::FakeReply> replies) {
    EcrCapture c;
    std::string error;
    EXPECT_TRUE(read_ecr_capture(kHead + records, &c, &error)) << error;
    test::FakeLink scale(std::move(replies));
    EcrctlEnv env;
    env.connect = [&](const std::string&, std::string*) -> std::unique_ptr<Link> {
        return std::make_unique<test::BorrowedLink>(scale);
    };
    env.now = [&] { return scale.now(); };
    env.sleep = [&](int ms) { scale.clock_ms += ms; };
    OwnReplayClock clock(1.0, env.now, env.sleep);
    std::ostringstream out;
    Replay r;
    r.code = replay_capture(c, clock, env, "ecr", 8000, out);
    r.out = out.str();
    r.sent = scale.sent;
    return r;
}

// The scale's challenge differs from the recorded one: the reply counts as captured, the record
// 10 that answers it goes out with the pair for this challenge, and the result is compared as
// recorded.
TEST(EcrReplay, Record10FollowsThisScalesChallenge) {
    const std::string recorded_pair = cs_kw_chars("1A2B", 0xbc);
    std::string record10 = cs_kw_record(recorded_pair), hex;
    for (unsigned char b : record10) {
        char two[4];
        std::snprintf(two, sizeof two, " %02X", b);
        hex += two;
    }
    const std::string records =
        "0000000010 ecr-connect\n"
        "0000000020 ecr>scale 04 05\n"
        "0000000021 scale>ecr 02 31 31 1B 32 62 63 03\n"
        "0000000030 ecr>scale" +
        hex +
        "\n"
        "0000000031 scale>ecr 06\n"
        "0000000040 ecr>scale 04 05\n"
        "0000000041 scale>ecr 02 31 31 1B 31 03\n";
    Replay r = replay(records, {"\x02"
                                "11\x1b"
                                "2fa\x03",
                                "\x06",
                                "\x02"
                                "11\x1b"
                                "1\x03"});
    EXPECT_EQ(r.code, kPositive) << r.out;
    EXPECT_EQ(r.sent, enq_request() + cs_kw_record(cs_kw_chars("1A2B", 0xfa)) + enq_request());
    EXPECT_NE(r.out.find("record 10 sent with the pairs for this scale's challenge fa (the "
                         "capture's was bc)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("3 replies compared, 0 differ"), std::string::npos) << r.out;
}

// A reply that is not the recorded one fails the replay and is shown decoded beside it, with
// the fields that differ; one that does not come at all is said to be missing; a reply that the
// capture does not have is caught before the next request.
// A long quiet stretch of the capture is said before it is waited out: a replay that seems to
// hang is a capture that was quiet, or a time damaged by hand.
TEST(EcrReplay, ALongQuietStretchIsSaid) {
    Replay r = replay(
        "0000000010 ecr-connect\n"
        "0090000020 ecr>scale 04 05\n"
        "0090000021 scale>ecr 15\n",
        {"\x15"});
    EXPECT_EQ(r.code, kPositive) << r.out;
    EXPECT_NE(r.out.find("note: line 5 (90.000020 s): the capture is quiet for 90.000010 s before "
                         "this; the replay waits as long"),
              std::string::npos)
        << r.out;
}

// A request the scale left unanswered at the shop, answered here just before the ECR leaves,
// is a difference: the leaving must not swallow it.
TEST(EcrReplay, AReplyTheCaptureDoesNotHaveBeforeTheEcrLeavesDiffers) {
    Replay r = replay(
        "0000000010 ecr-connect\n"
        "0000000020 ecr>scale 41 05\n"
        "0000000030 ecr-disconnect\n",
        {"\x15"});
    EXPECT_EQ(r.code, kNegative) << r.out;
    EXPECT_NE(r.out.find("DIFFERS: line 6 (0.000030 s): before the ECR left the scale sent 15"),
              std::string::npos)
        << r.out;
}

TEST(EcrReplay, EveryDifferenceIsShown) {
    Replay r = replay(
        "0000000010 ecr-connect\n"
        "0000000020 ecr>scale 04 05\n"
        "0000000021 scale>ecr 02 30 32 1B 33 1B 30 31 32 33 34 1B 30 30 30 32 39 39 "
        "1B 30 30 30 33 36 39 03\n"
        "0000000030 ecr>scale 41 05\n"
        "0000000040 ecr>scale 04 02 30 38 03\n"
        "0000000041 scale>ecr 02 30 39 1B 30 30 03\n"
        "0000000050 ecr>scale 04 05\n"
        "0000000051 scale>ecr 15\n",
        {"\x02"
         "02\x1b"
         "3\x1b"
         "01234\x1b"
         "000299\x1b"
         "000368\x03",
         "\x15",
         "\x02"
         "09\x1b"
         "00\x03",
         ""});
    EXPECT_EQ(r.code, kNegative) << r.out;
    EXPECT_NE(r.out.find("DIFFERS: line 6 (0.000021 s): the reply to ENQ"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("field total price at 19: \"000369\" in the capture, \"000368\" now"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("line 8 (0.000040 s): before this request the scale sent 15"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("line 11 (0.000051 s): the reply to ENQ"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("no reply"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3 replies compared, 3 differ"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace kestrin
