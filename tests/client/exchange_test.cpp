#include "client/exchange.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/client/client_fakes.h"
#include "tests/support/test_support.h"

namespace kestrin {
namespace {

using test::FakeLink;
using test::kData1234;
using test::ScriptedScale;
const std::string kData39 =
    "\x02"
    "02\x1b"
    "3\x1b"
    "00039\x1b"
    "000150\x1b"
    "000006\x03";
const std::string kData40 =
    "\x02"
    "02\x1b"
    "3\x1b"
    "00040\x1b"
    "000150\x1b"
    "000006\x03";
const std::string kStale1111 =
    "\x02"
    "02\x1b"
    "3\x1b"
    "01111\x1b"
    "000100\x1b"
    "000111\x03";
const std::string kFresh2222 =
    "\x02"
    "02\x1b"
    "3\x1b"
    "02222\x1b"
    "000100\x1b"
    "000222\x03";

class ExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override { name_ = "fake-scale"; }
    std::unique_ptr<Link> connect() {
        std::string error;
        auto link = PipeLink::open(name_, &error);
        EXPECT_NE(link, nullptr) << error;
        return link;
    }
    tarvelo::test::TempDir dir_;
    tarvelo::test::ScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path().string()};
    std::string name_;
    std::vector<std::string> shown_;
    ShowMessage show_ = [this](const std::string& t) { shown_.push_back(t); };
};

TEST_F(ExchangeTest, OneReadPassesTheHandshakeAndFetchesTheData) {
    ScriptedScale scale(name_, {"\x02"
                                "11\x1b"
                                "2a5\x03",
                                "\x06",
                                "\x02"
                                "11\x1b"
                                "1\x03",
                                kData1234});
    auto link = connect();
    Reading reading;
    EXPECT_TRUE(Exchange(link.get(), show_).read("1A2B", reading));
    EXPECT_EQ(reading.weight, 1234);
    EXPECT_EQ(reading.unit_price, 299);
    EXPECT_EQ(shown_, std::vector<std::string>{"CS/KW result: valid"});
    auto requests = scale.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], enq_request());
    EXPECT_EQ(requests[1], cs_kw_record(cs_kw_chars("1A2B", 0xA5)));
    EXPECT_EQ(requests[1].size(), 14u);
    EXPECT_EQ(requests[2], enq_request());
    EXPECT_EQ(requests[3], enq_request());
}

TEST_F(ExchangeTest, ANakIsFollowedByTheStatusRequest) {
    ScriptedScale scale(name_, {"\x15",
                                "\x02"
                                "09\x1b"
                                "20\x03"});
    auto link = connect();
    Reading reading;
    EXPECT_FALSE(Exchange(link.get(), show_).read("0000", reading));
    EXPECT_EQ(shown_, (std::vector<std::string>{"Scale not stable", "read weight error"}));
    EXPECT_EQ(scale.requests().back(), status_request());
}

TEST_F(ExchangeTest, LightWeightKeepsThePreviousReading) {
    ScriptedScale scale(name_, {kData1234, kData39, kData40});
    auto link = connect();
    Reading reading;
    Exchange ex(link.get(), show_);
    EXPECT_TRUE(ex.read("0000", reading));
    EXPECT_TRUE(ex.read("0000", reading));  // still scale data, shown again
    EXPECT_EQ(reading.weight, 1234);
    EXPECT_EQ(reading.unit_price, 299);
    EXPECT_TRUE(ex.read("0000", reading));  // 40 g is no longer light
    EXPECT_EQ(reading.weight, 40);
    EXPECT_EQ(reading.unit_price, 150);
}

TEST_F(ExchangeTest, FailuresShowTheirOwnTextThenReadWeightError) {
    struct Case {
        std::vector<test::FakeReply> replies;
        std::vector<std::string> shown;
    } cases[] = {
        {{"xyz\x03"}, {"receive data unknown", "read weight error"}},
        {{"\x02"
          "11\x1b"
          "200\x03",
          "\x15",
          "\x02"
          "09\x1b"
          "10\x03"},
         {"Incorrect record number", "read weight error"}},
        {{"\x02"
          "11\x1b"
          "200\x03",
          "\x06",
          "\x02"
          "11\x1b"
          "0\x03"},
         {"CS/KW result: invalid", "read weight error"}},
        {{"\x02"
          "11\x1b"
          "200\x03",
          "\x06", "\x06"},
         {"read weight error"}},
        {{""}, {"receive data error 1", "read weight error"}},  // no answer
        {{"\x02"
          "11\x1b"
          "200\x03",
          ""},
         {"receive data error 2", "read weight error"}},
        {{"\x02"
          "11\x1b"
          "200\x03",
          "\x06", ""},
         {"receive data error 4", "read weight error"}},
        {{test::FakeReply("\x02"
                          "02\x1b",
                          true)},
         {"receive data error 1", "read weight error"}},
    };
    for (size_t row = 0; row < std::size(cases); ++row) {
        const Case& c = cases[row];
        shown_.clear();
        // In memory, on a clock that moves only while the client waits: a reply that is due
        // never misses the time-out on a busy machine, and a silent scale costs no real time.
        FakeLink link(c.replies);
        Reading reading;
        EXPECT_FALSE(Exchange(&link, show_, 200, [&] { return link.now(); }).read("0000", reading))
            << "row " << row;
        EXPECT_EQ(shown_, c.shown) << "row " << row;
    }
    shown_.clear();
    Reading reading;
    EXPECT_FALSE(Exchange(nullptr, show_).read("0000", reading));  // the pipe never opened
    EXPECT_EQ(shown_, (std::vector<std::string>{"receive data error 1", "read weight error"}));
}

// A reply that came too late, broke off or ran over, or bytes beyond a whole reply, must not
// answer the next read: the link is dropped and the next read goes out on a new connection.
TEST_F(ExchangeTest, TheReadAfterABadReplyGetsTheFreshAnswer) {
    struct Case {
        const char* what;
        ScriptedScale::Step first;
        std::vector<std::string> shown;
        bool first_read = false;
        // Only the late reply needs its time-out to run out; the others end by themselves, and
        // a short time-out would let a busy machine turn them into a late reply.
        int timeout_ms = 5000;
    } cases[] = {
        {"late",
         ScriptedScale::held(kStale1111),
         {"receive data error 1", "read weight error"},
         false,
         100},
        {"cut off",
         ScriptedScale::closing(kStale1111.substr(0, 9)),
         {"receive data error 1", "read weight error"}},
        {"over-long", std::string(200, 'x'), {"receive data unknown", "read weight error"}},
        {"more than a whole reply", kStale1111 + "\x06", {}, true},
    };
    for (const Case& c : cases) {
        shown_.clear();
        ScriptedScale scale(name_, {c.first, kFresh2222});
        auto link = connect();
        Reading reading;
        EXPECT_EQ(Exchange(link.get(), show_, c.timeout_ms).read("0000", reading), c.first_read)
            << c.what;
        EXPECT_EQ(shown_, c.shown) << c.what;
        scale.release();  // the late reply now reaches the old connection, if it is still there
        EXPECT_TRUE(Exchange(link.get(), show_, 5000).read("0000", reading)) << c.what;
        EXPECT_EQ(reading.weight, 2222) << c.what;
        EXPECT_EQ(scale.connections(), 2) << c.what;
        EXPECT_EQ(scale.requests().size(), 2u) << c.what;
    }
}

TEST(ReceiveReply, TheTimeOutBoundsTheWholeReplyNotTheGapBetweenBytes) {
    FakeLink link({kData1234, kData1234});
    link.ms_per_byte = 800;  // a peer that trickles one byte every 0.8 s
    link.write(enq_request());
    RawReply r = receive_reply(&link, 128, 1000, [&] { return link.now(); });
    EXPECT_EQ(r.end, RawReply::End::timeout);
    EXPECT_EQ(r.bytes, kData1234.substr(0, 1));
    EXPECT_EQ(link.now(), 1000);
    EXPECT_EQ(link.drops, 1);

    link.ms_per_byte = 10;  // the same reply in 260 ms is complete and keeps the connection
    link.write(enq_request());
    r = receive_reply(&link, 128, 1000, [&] { return link.now(); });
    EXPECT_EQ(r.end, RawReply::End::complete);
    EXPECT_EQ(r.bytes, kData1234);
    EXPECT_EQ(link.drops, 1);
}

// A reply of `max` bytes may still end on its last one; a byte more makes it over-long, and
// no more than `max` are read.
TEST(ReceiveReply, AReplyIsReadUpToItsLimit) {
    struct Case {
        size_t length;
        RawReply::End end;
    } cases[] = {{128, RawReply::End::complete}, {129, RawReply::End::full}};
    for (const Case& c : cases) {
        FakeLink link({std::string(c.length - 1, 'x') + "\x03"});
        link.write(enq_request());
        RawReply r = receive_reply(&link, 128, 1000, [&] { return link.now(); });
        EXPECT_EQ(r.end, c.end) << c.length;
        EXPECT_EQ(r.bytes.size(), 128u) << c.length;
        EXPECT_EQ(link.drops, c.end == RawReply::End::full ? 1 : 0) << c.length;
    }
}

// What waits on the link when a request is due is taken off without waiting, and the link
// given up with it; so is a connection the scale has closed.
TEST(ClearLeftOver, TakesWhatWaitsAndDropsTheLinkWithIt) {
    struct Case {
        const char* what;
        test::FakeReply waiting;
        std::string taken;
        int drops;
    } cases[] = {
        {"nothing", test::FakeReply(""), "", 0},
        {"two bytes", test::FakeReply("\x06\x15"), "\x06\x15", 1},
        {"more than the limit", test::FakeReply(std::string(200, 'x')), std::string(128, 'x'), 1},
        {"a closed connection", test::FakeReply("", true), "", 1},
    };
    for (const Case& c : cases) {
        FakeLink link({c.waiting});
        link.write(enq_request());
        EXPECT_EQ(clear_left_over(&link, 128), c.taken) << c.what;
        EXPECT_EQ(link.drops, c.drops) << c.what;
        EXPECT_EQ(link.now(), 0) << c.what;  // never waited
    }
}

}  // namespace
}  // namespace kestrin
