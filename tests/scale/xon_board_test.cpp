#include "scale/xon_board.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>
#include <set>
#include <thread>

#include "tests/scale/board_fixture.h"

namespace tarvelo {
namespace {

using test::bytes;
using test::received_bytes;

class XonBoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        board_ = test::make_board(dir_, sim::BoardType::xon);
        ASSERT_NE(board_, nullptr);
        board_->set_gross(1234);
    }
    void start() {
        ASSERT_EQ(driver_.start(board_->device_name().c_str()), 0);
        ASSERT_TRUE(weight_is(1234));
    }
    bool weight_is(int32_t grams) {
        return test::wait_until([&] {
            xo::StatusBlock s{};
            return driver_.get_status(s) == 0 && s[xo::weight] == grams;
        });
    }
    xo::StatusBlock status() {
        xo::StatusBlock s{};
        driver_.get_status(s);
        return s;
    }

    test::TempDir dir_;
    std::unique_ptr<sim::BoardSimulator> board_;
    ScaledClock clock_{10};
    test::TraceLog trace_;
    XonBoard driver_{clock_, trace_.fn()};
};

TEST_F(XonBoardTest, StreamsStatusOnceSwitchedOn) {
    xo::StatusBlock untouched{};
    untouched.fill(77);
    EXPECT_EQ(driver_.get_status(untouched), -1);  // nothing before the first weight frame
    EXPECT_EQ(untouched[0], 77);
    start();
    EXPECT_EQ(received_bytes(*board_).front(), bytes({0x11}));
    xo::StatusBlock s = status();
    EXPECT_EQ(s[xo::stable], 1);
    EXPECT_EQ(s[xo::zero], 0);
    EXPECT_EQ(s[xo::ad_count], 123456);
    board_->set_load(2);
    board_->set_span_open(true);
    ASSERT_TRUE(test::wait_until(
        [&] { return status()[xo::overload] == 1 && status()[xo::span_switch] == 1; }));
}

TEST_F(XonBoardTest, CommandsGoOutByteForByteBetweenDc2AndDc1) {
    start();
    board_->clear_received();
    EXPECT_EQ(driver_.preset_tare(1500), 0);
    EXPECT_EQ(driver_.rezero(), 2);  // the board refuses to zero under a tare
    EXPECT_EQ(driver_.preset_tare(0), 0);
    EXPECT_EQ(driver_.rezero(), 0);
    auto got = received_bytes(*board_);
    std::vector<std::vector<uint8_t>> expected{
        {0x12},
        {0x02, 0x57, 0x55, 0x30, 0x30, 0x31, 0x35, 0x30, 0x30, 0x03, 0x05},
        {0x11},
        {0x12},
        {0x02, 0x57, 0x5A, 0x03, 0x0C},
        {0x11},
        {0x12},
        {0x02, 0x57, 0x55, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x03, 0x00 ^ 0x57 ^ 0x55 ^ 0x03},
        {0x11},
        {0x12},
        {0x02, 0x57, 0x5A, 0x03, 0x0C},
        {0x11},
    };
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(trace_.contains("Send write command:Z\nWrite command result:2\nRezero failed:2\n"));
    EXPECT_TRUE(weight_is(0));
}

TEST_F(XonBoardTest, UnstableScaleSendsNothing) {
    start();
    board_->set_stable(false);
    ASSERT_TRUE(test::wait_until([&] { return status()[xo::stable] == 0; }));
    board_->clear_received();
    EXPECT_EQ(driver_.tare(), -1);
    EXPECT_EQ(driver_.rezero(), -1);
    EXPECT_EQ(driver_.preset_tare(100), -1);
    EXPECT_TRUE(board_->received().empty());
    EXPECT_TRUE(trace_.contains("Tare failed:-1\nRezero failed:-1\nDigital Tare failed:-1\n"));
}

TEST_F(XonBoardTest, MissingAndFailedRepliesAreReported) {
    start();
    board_->fail_next('T', '3');
    EXPECT_EQ(driver_.tare(), 3);
    EXPECT_TRUE(trace_.contains("Write command result:3\nTare failed:3\n"));
    board_->set_mute(true);
    EXPECT_EQ(driver_.tare(), -1);  // after the full reply wait
    EXPECT_EQ(driver_.init_rezero(), -1);
    board_->set_mute(false);
    board_->fail_next('z', '1');
    board_->clear_received();
    EXPECT_EQ(driver_.init_rezero(), 0);  // the second try succeeds
    int sends = 0;
    for (auto& r : received_bytes(*board_)) sends += r == xo::encode_write_cmd('z');
    EXPECT_EQ(sends, 2);
    EXPECT_TRUE(trace_.contains("Init Rezero failed:1\n"));
    // Six characters: 999999 and -99999 fit, one place more does not and is never sent.
    board_->clear_received();
    EXPECT_EQ(driver_.preset_tare(1000000), -1);
    EXPECT_EQ(driver_.preset_tare(-100000), -1);
    EXPECT_TRUE(board_->received().empty());
    EXPECT_EQ(driver_.preset_tare(-99999), 0);
    // Found among what the board received, not at a place: on a busy machine the stream switch
    // of the command before may reach the board after the list was cleared.
    auto received = received_bytes(*board_);
    EXPECT_NE(
        std::find(received.begin(), received.end(), *xo::encode_write_cmd_with_data('U', "-99999")),
        received.end());
}

TEST_F(XonBoardTest, CalibrationAndIntegrity) {
    start();
    EXPECT_EQ(driver_.calibrate_zero(), 3);  // span switch closed
    board_->set_span_open(true);
    EXPECT_EQ(driver_.calibrate_zero(), 0);
    EXPECT_EQ(driver_.calibrate_span(), 0);
    EXPECT_EQ(driver_.check_integrity("1A2B3C4D"), 0);
    board_->set_integrity_fail(true);
    EXPECT_EQ(driver_.check_integrity("1A2B3C4D"), 1);
    EXPECT_TRUE(weight_is(1234));  // read replies are not weight data
}

// Commands from several threads never interleave their DC2 ... DC1 sequences.
TEST_F(XonBoardTest, ConcurrentCommandsStayWhole) {
    start();
    board_->clear_received();
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 3; ++i) (t == 0 ? driver_.tare() : driver_.preset_tare(0));
        });
    for (auto& th : threads) th.join();
    auto got = received_bytes(*board_);
    ASSERT_EQ(got.size(), 27u);
    for (size_t i = 0; i < got.size(); i += 3) {
        EXPECT_EQ(got[i], bytes({0x12})) << i;
        EXPECT_EQ(got[i + 1][0], 0x02) << i;
        EXPECT_EQ(got[i + 2], bytes({0x11})) << i;
    }
}

// An over-long frame is cut at 255 bytes and read as a weight frame whose lines are all
// missing: one all-zero, unstable status, until the next good frame restores the weight.
TEST_F(XonBoardTest, OverlongFrameIsAZeroBlockUntilTheNextGoodFrame) {
    start();
    board_->set_rate(2);  // a frame each 500 ms: the zero block stands long enough to be seen
    board_->send_overlong();
    EXPECT_TRUE(test::wait_until([&] { return status() == xo::StatusBlock{}; }, 3000));
    EXPECT_TRUE(test::wait_until(
        [&] {
            xo::StatusBlock s = status();
            return s[xo::weight] == 1234 && s[xo::stable] == 1;
        },
        3000));
}

TEST_F(XonBoardTest, NoiseBetweenFramesAndSplitFramesChangeNothing) {
    start();
    board_->set_split_delay(1);  // frames arrive a byte at a time
    std::set<int32_t> seen;
    for (int round = 0; round < 3; ++round) {
        board_->send_noise();
        for (int i = 0; i < 100; ++i) {
            seen.insert(status()[xo::weight]);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    EXPECT_EQ(seen, std::set<int32_t>{1234});
    board_->set_gross(2000);
    EXPECT_TRUE(weight_is(2000));
}

// With no check byte on this board, a weight field that lost its point ("0 02500") would read
// 200 g, stable; such a frame is dropped and the previous status stands.
TEST_F(XonBoardTest, DamagedWeightFieldIsDropped) {
    start();
    std::set<int32_t> seen;
    for (int round = 0; round < 5; ++round) {
        board_->send_corrupt();
        board_->set_gross(round % 2 ? 1234 : 2500);
        for (int i = 0; i < 60; ++i) {
            seen.insert(status()[xo::weight]);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    EXPECT_EQ(seen, (std::set<int32_t>{1234, 2500}));
    EXPECT_TRUE(trace_.contains("Malformed weight frame dropped"));
}

TEST_F(XonBoardTest, VanishedDeviceIsReopenedAndSwitchedOnAgain) {
    start();
    board_->vanish();
    ASSERT_TRUE(test::wait_until([&] { return trace_.contains("Scale link lost: "); }));
    std::string error;
    ASSERT_TRUE(board_->reappear(&error)) << error;
    ASSERT_TRUE(test::wait_until([&] { return trace_.contains("Scale link restored: "); }));
    board_->set_gross(777);
    EXPECT_TRUE(weight_is(777));
    EXPECT_TRUE(board_->streaming());
    EXPECT_EQ(driver_.tare(), 0);
}

// The exact waits of each command: the 50 ms pauses after DC2 and DC1, 100 (for 'P' 200)
// polls of 50 ms for the reply, the stability wait of 200 x 5 ms, and the initial zero's three
// sends 100 ms apart.
TEST(XonBoardTiming, EveryWaitOfEveryCommand) {
    test::TempDir dir;
    auto board = test::make_board(dir, sim::BoardType::xon);
    ASSERT_NE(board, nullptr);
    test::RecordingClock clock;
    XonBoard driver(clock, [](const std::string&) {});
    ASSERT_EQ(driver.start(board->device_name().c_str()), 0);
    ASSERT_TRUE(test::wait_until([&] {
        xo::StatusBlock s{};
        return driver.get_status(s) == 0 && s[xo::stable] == 1;
    }));
    using test::times;
    using test::operator+;
    const auto unanswered = [](int polls) {
        return times(1, 50) + times(polls, 50) + times(1, 50);
    };
    struct Case {
        const char* name;
        std::function<int()> operation;
        bool mute, unstable;
        std::vector<int> sleeps;
    } cases[] = {
        {"zero, no reply", [&] { return driver.rezero(); }, true, false, unanswered(100)},
        {"tare, no reply", [&] { return driver.tare(); }, true, false, unanswered(100)},
        {"preset tare, no reply", [&] { return driver.preset_tare(100); }, true, false,
         unanswered(100)},
        {"calibration zero, no reply", [&] { return driver.calibrate_zero(); }, true, false,
         unanswered(100)},
        {"span, no reply", [&] { return driver.calibrate_span(); }, true, false, unanswered(200)},
        {"integrity check, no reply", [&] { return driver.check_integrity("1A2B3C4D"); }, true,
         false, unanswered(100)},
        {"initial zero, no reply", [&] { return driver.init_rezero(); }, true, false,
         unanswered(100) + times(1, 100) + unanswered(100) + times(1, 100) + unanswered(100)},
        {"zero, unstable", [&] { return driver.rezero(); }, false, true, times(200, 5)},
        {"tare, unstable", [&] { return driver.tare(); }, false, true, times(200, 5)},
        {"preset tare, unstable", [&] { return driver.preset_tare(100); }, false, true,
         times(200, 5)},
    };
    for (const Case& c : cases) {
        board->set_mute(c.mute);
        board->set_stable(!c.unstable);
        ASSERT_TRUE(test::wait_until([&] {
            xo::StatusBlock s{};
            return driver.get_status(s) == 0 && s[xo::stable] == (c.unstable ? 0 : 1);
        }));
        clock.clear();
        EXPECT_EQ(c.operation(), -1) << c.name;
        EXPECT_EQ(clock.sleeps_of(std::this_thread::get_id()), c.sleeps) << c.name;
    }
    // Answered at once: one pause each side of the command, the polls until the reply, and
    // no second send of the initial zero.
    board->set_mute(false);
    board->set_stable(true);
    ASSERT_TRUE(test::wait_until([&] {
        xo::StatusBlock s{};
        return driver.get_status(s) == 0 && s[xo::stable] == 1;
    }));
    clock.clear();
    EXPECT_EQ(driver.init_rezero(), 0);
    std::vector<int> answered = clock.sleeps_of(std::this_thread::get_id());
    ASSERT_GE(answered.size(), 2u);
    EXPECT_LT(answered.size(), 102u);
    EXPECT_EQ(answered, times(static_cast<int>(answered.size()), 50));
}

// The reader's frame hunt: an empty frame and the bytes of a frame cut by a read error change
// nothing; after the error the reader looks for a new STX instead of finishing the frame it
// had begun (which here would read 2345 g), and the link counts as lost until a good frame.
TEST(XonBoardReader, AReadErrorStartsTheHuntAgain) {
    auto* line = new test::ScriptedLine;
    ScaledClock clock(10);
    XonBoard driver(
        clock, [](const std::string&) {}, test::opener_of(line));
    ASSERT_EQ(driver.start("scripted"), 0);
    auto weight = [&] {
        xo::StatusBlock s{};
        return driver.get_status(s) == 0 ? s[xo::weight] : -1;
    };
    line->bytes(
        "\x02"
        "0 01.000\r4 00.000\r\n0105\x03");
    ASSERT_TRUE(test::wait_until([&] { return weight() == 1000; }));
    line->bytes("\x02\x03");
    ASSERT_TRUE(test::wait_until([&] { return line->drained(); }));
    EXPECT_EQ(weight(), 1000);
    EXPECT_FALSE(driver.link_lost(60000));

    line->bytes(
        "\x02"
        "0 0");
    line->error();
    line->bytes("2.345\r\n0105\x03");
    ASSERT_TRUE(test::wait_until([&] { return line->drained(); }));
    EXPECT_EQ(weight(), 1000);
    EXPECT_TRUE(driver.link_lost(60000));
    line->bytes(
        "\x02"
        "0 01.500\r\n0105\x03");
    ASSERT_TRUE(test::wait_until([&] { return weight() == 1500; }));
    EXPECT_FALSE(driver.link_lost(60000));
}

// Frames of a few kinds, one after the other, as fast as the reader takes them, `count` in all.
class CyclingLine : public SerialLine {
  public:
    CyclingLine(std::vector<std::string> frames, int count)
        : frames_(std::move(frames)), count_(count) {}
    ReadStatus read_byte(uint8_t& out) override {  // the reader thread only
        if (sent_ == count_) {
            done_ = true;
            return ReadStatus::nothing;
        }
        const std::string& frame = frames_[static_cast<size_t>(sent_) % frames_.size()];
        out = static_cast<uint8_t>(frame[pos_++]);
        if (pos_ == frame.size()) pos_ = 0, ++sent_;
        return ReadStatus::byte;
    }
    bool write_all(const void*, size_t) override { return true; }
    bool done() const { return done_.load(); }

  private:
    std::vector<std::string> frames_;
    int count_, sent_ = 0;
    size_t pos_ = 0;
    std::atomic<bool> done_{false};
};

// A snapshot is one frame whole: never the stable flag of one frame with the weight of the
// next, which would let an ECR sell goods still moving as settled ones. The reader hammers the
// status while the board alternates 5 kg at rest and 1 kg moving.
TEST(XonBoardReader, ASnapshotIsNeverTornBetweenTwoFrames) {
    const std::string settled =
        "\x02"
        "0 05.000\r4 00.000\ra500000\ri50000\r\n0100\x03";
    const std::string moving =
        "\x02"
        "0 01.000\r4 00.200\ra100000\ri10000\r\n0400\x03";
    using Fields = std::array<int32_t, 9>;
    auto fields = [](const weighing_snapshot& s) {
        return Fields{s.weight,   s.tare,      s.stable,         s.zero,    s.span_switch,
                      s.overload, s.underload, s.internal_count, s.ad_count};
    };
    const Fields at_rest{5000, 0, 1, 0, 0, 0, 0, 50000, 500000};
    const Fields in_motion{1000, 200, 0, 1, 0, 0, 0, 10000, 100000};

    test::FakeClock clock;  // the pause after each frame returns at once
    auto* line = new CyclingLine({settled, moving}, 20000);
    XonBoard driver(
        clock, [](const std::string&) {}, test::opener_of(line));
    ASSERT_EQ(driver.start("cycling"), 0);
    int reads = 0, torn = 0;
    for (int i = 0; i < 20000000 && !line->done(); ++i) {
        weighing_snapshot s;
        if (!driver.snapshot(s)) continue;
        ++reads;
        Fields f = fields(s);
        if (f != at_rest && f != in_motion) ++torn;
    }
    EXPECT_EQ(torn, 0) << "torn snapshots of " << reads;
}

// Mapped, not opened: the machine's own COM4, if it has one, is left alone.
TEST(XonBoardPort, NoNameMeansCom4) {
    EXPECT_EQ(XonBoard::port_name_for(nullptr), "COM4");
    EXPECT_EQ(serial_device_path(XonBoard::port_name_for(nullptr)), "/dev/ttyS3");
    EXPECT_EQ(XonBoard::port_name_for("/tmp/board"), "/tmp/board");
}

}  // namespace
}  // namespace tarvelo
