#include "scale/letter_board.h"

#include <gtest/gtest.h>

#include <cstring>
#include <system_error>
#include <thread>

#include "tests/scale/board_fixture.h"

namespace tarvelo {
namespace {

using test::bytes;
using test::received_bytes;

lcmd::lcmd_port_config config_for(const std::string& device) {
    lcmd::lcmd_port_config c;
    std::snprintf(c.port_name, sizeof c.port_name, "%s", device.c_str());
    return c;
}

class LetterBoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        board_ = test::make_board(dir_, sim::BoardType::letter);
        ASSERT_NE(board_, nullptr);
        board_->set_gross(1234);
    }
    void start() {
        auto config = config_for(board_->device_name());
        ASSERT_EQ(driver_.open(&config), 0);
        ASSERT_EQ(driver_.start(&sink_), 0);
        ASSERT_TRUE(weight_is(1234));
        ASSERT_TRUE(test::wait_until([&] { return board_->streaming(); }));
    }
    bool weight_is(int32_t grams) {
        return test::wait_until([&] {
            lcmd::lcmd_status s;
            driver_.get_status(&s);
            return s.weight == grams;
        });
    }
    std::vector<lcmd::lcmd_status> status_messages() {
        std::vector<lcmd::lcmd_status> out;
        for (const auto& m : sink_.messages())
            if (m.id == lcmd::WM_LCMD_STATUS) out.push_back(*m.record<lcmd::lcmd_status>());
        return out;
    }

    test::TempDir dir_;
    std::unique_ptr<sim::BoardSimulator> board_;
    ScaledClock clock_{10};
    test::TraceLog trace_;
    test::RecordingSink sink_;
    LetterBoard driver_{clock_, trace_.fn()};
};

TEST_F(LetterBoardTest, OpenFailsCleanly) {
    EXPECT_EQ(driver_.open(nullptr), -1);
    auto missing = config_for(dir_.file("nothing-here"));
    EXPECT_EQ(driver_.open(&missing), -1);
    auto good = config_for(board_->device_name());
    EXPECT_EQ(driver_.open(&good), 0);
    EXPECT_EQ(driver_.open(&good), 0);  // already open
}

TEST_F(LetterBoardTest, PostsACopyOfEveryChangedStatus) {
    start();
    EXPECT_EQ(received_bytes(*board_).front(), bytes({0x11}));
    auto first = status_messages();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.back().weight, 1234);
    EXPECT_STREQ(first.back().first_text, "1.234");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // several identical frames
    EXPECT_EQ(status_messages().size(), first.size());

    board_->set_load(1);
    ASSERT_TRUE(test::wait_until([&] { return status_messages().back().load_state == 1; }));
    EXPECT_EQ(status_messages().back().weight, 0);
    board_->set_load(2);  // straight from underload to overload
    ASSERT_TRUE(test::wait_until([&] { return status_messages().back().load_state == 2; }));
}

TEST_F(LetterBoardTest, CommandsLeaveOneAtATimeFramedByDc3AndDc1) {
    start();
    board_->clear_received();
    EXPECT_EQ(driver_.tare(), 0);
    EXPECT_EQ(driver_.preset_tare(1500), 0);
    EXPECT_EQ(driver_.rezero(), 0);
    ASSERT_TRUE(test::wait_until([&] { return board_->received().size() >= 9; }));
    auto got = received_bytes(*board_);
    std::vector<std::vector<uint8_t>> expected{
        {0x13}, *lcmd::encode_command('T', ""),         {0x11},
        {0x13}, *lcmd::encode_command('U', "00001500"), {0x11},
        {0x13}, *lcmd::encode_command('Z', ""),         {0x11},
    };
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(test::wait_until([&] { return board_->tare() == 1500; }));
}

// A burst of commands must not pause the weight stream for minutes: a few wait their turn,
// the rest fail at once; those that left never overlap on the line.
TEST_F(LetterBoardTest, CommandQueueIsBounded) {
    start();
    board_->clear_received();
    int accepted = 0, refused = 0;
    for (int i = 0; i < 50; ++i) (driver_.tare() == 0 ? accepted : refused)++;
    EXPECT_EQ(accepted, 1 + LetterBoard::kMaxWaiting);
    EXPECT_EQ(refused, 50 - accepted);
    EXPECT_EQ(driver_.preset_tare(123456789), -1);  // nine characters: never sent as a longer frame
    ASSERT_TRUE(test::wait_until([&] { return board_->received().size() >= size_t(3 * accepted); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    auto got = received_bytes(*board_);
    ASSERT_EQ(got.size(), size_t(3 * accepted));
    for (size_t i = 0; i < got.size(); i += 3) {
        EXPECT_EQ(got[i], bytes({0x13}));
        EXPECT_EQ(got[i + 1], *lcmd::encode_command('T', ""));
        EXPECT_EQ(got[i + 2], bytes({0x11}));
    }
    EXPECT_EQ(driver_.tare(), 0);  // room again once they have gone
}

// A command whose thread cannot be made fails and takes no turn: the next one still waits for
// the one on the line.
TEST(LetterBoardThreads, AFailedThreadTakesNoTurn) {
    test::TempDir dir;
    auto board = test::make_board(dir, sim::BoardType::letter);
    ASSERT_NE(board, nullptr);
    test::RecordingSink sink;
    ScaledClock clock(10);
    std::atomic<int> starts{0};
    LetterBoard driver(clock, [](const std::string&) {}, [&](std::function<void()> fn) {
        if (starts.fetch_add(1) == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        std::thread(std::move(fn)).detach();
    });
    auto config = config_for(board->device_name());
    ASSERT_EQ(driver.open(&config), 0);
    ASSERT_EQ(driver.start(&sink), 0);  // the reader is a thread of its own, not a command
    ASSERT_TRUE(test::wait_until([&] { return board->streaming(); }));
    board->clear_received();
    EXPECT_EQ(driver.tare(), 0);
    EXPECT_EQ(driver.rezero(), 0);
    EXPECT_EQ(driver.preset_tare(100), -1);  // its thread could not be made
    EXPECT_EQ(driver.rezero(), 0);
    ASSERT_TRUE(test::wait_until([&] { return board->received().size() >= 9; }));
    auto got = received_bytes(*board);
    std::vector<std::vector<uint8_t>> expected{
        {0x13}, *lcmd::encode_command('T', ""), {0x11},
        {0x13}, *lcmd::encode_command('Z', ""), {0x11},
        {0x13}, *lcmd::encode_command('Z', ""), {0x11},
    };
    EXPECT_EQ(got, expected);
}

TEST_F(LetterBoardTest, InitialZeroWaitsForItsAnswer) {
    start();
    EXPECT_EQ(driver_.init_rezero(), 0);
    board_->fail_next('z', '1');
    EXPECT_EQ(driver_.init_rezero(), -1);
    bool refused_posted = false;
    for (const auto& m : sink_.messages())
        if (m.id == lcmd::WM_LCMD_REPLY) refused_posted |= m.record<lcmd::lcmd_reply>()->result == '1';
    EXPECT_TRUE(refused_posted);
    board_->set_mute(true);
    EXPECT_EQ(driver_.init_rezero(), -1);  // no answer in 10 waits
}

TEST_F(LetterBoardTest, IntegrityCheck) {
    start();
    EXPECT_EQ(driver_.check_integrity("0123ABCD"), 0);
    EXPECT_EQ(driver_.check_integrity("not hex!"), -1);
    board_->set_integrity_fail(true);
    EXPECT_EQ(driver_.check_integrity("0123ABCD"), -1);
}

TEST_F(LetterBoardTest, DamagedFramesAreDropped) {
    start();
    board_->send_corrupt();
    board_->send_overlong();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const auto& s : status_messages()) EXPECT_EQ(s.weight, 1234);
}

// The timing is the behaviour here: each command holds the line for 1.1 s.
TEST(LetterBoardTiming, CommandsAreAboutASecondApart) {
    test::TempDir dir;
    auto board = test::make_board(dir, sim::BoardType::letter);
    ASSERT_NE(board, nullptr);
    test::RecordingSink sink;
    LetterBoard driver(system_clock(), [](const std::string&) {});
    auto config = config_for(board->device_name());
    ASSERT_EQ(driver.open(&config), 0);
    ASSERT_EQ(driver.start(&sink), 0);
    ASSERT_TRUE(test::wait_until([&] { return board->streaming(); }));
    board->clear_received();
    ASSERT_EQ(driver.tare(), 0);
    ASSERT_EQ(driver.rezero(), 0);
    ASSERT_TRUE(test::wait_until([&] { return board->received().size() >= 6; }));
    auto r = board->received();
    EXPECT_EQ(r[0].bytes, bytes({0x13}));
    EXPECT_GE(r[1].ms - r[0].ms, 90);  // DC3, 100 ms, frame
    EXPECT_GE(r[2].ms - r[1].ms, 990);  // frame, 1000 ms, DC1
    EXPECT_EQ(r[3].bytes, bytes({0x13}));
    EXPECT_GE(r[4].ms - r[1].ms, 1050);
    EXPECT_LE(r[4].ms - r[1].ms, 1400);
}

}  // namespace
}  // namespace tarvelo
