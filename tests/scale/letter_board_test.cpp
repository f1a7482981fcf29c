#include "scale/letter_board.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <system_error>
#include <thread>

#include <sys/syscall.h>

#include "platform/pseudo_terminal.h"
#include "platform/window_messages.h"
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
            if (m.id == WM_LCMD_STATUS) out.push_back(*m.record<lcmd::lcmd_status>());
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
    ASSERT_TRUE(
        test::wait_until([&] { return board_->received().size() >= size_t(3 * accepted); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // nothing more is sent
    auto got = received_bytes(*board_);
    ASSERT_EQ(got.size(), size_t(3 * accepted));
    for (size_t i = 0; i < got.size(); i += 3) {
        EXPECT_EQ(got[i], bytes({0x13}));
        EXPECT_EQ(got[i + 1], *lcmd::encode_command('T', ""));
        EXPECT_EQ(got[i + 2], bytes({0x11}));
    }
    EXPECT_EQ(driver_.tare(), 0);  // room again once they have gone
    // Eight characters: 99999999 and -9999999 fit, one place more is never sent as a longer frame.
    EXPECT_EQ(driver_.preset_tare(123456789), -1);
    EXPECT_EQ(driver_.preset_tare(-10000000), -1);
    EXPECT_EQ(driver_.preset_tare(-9999999), 0);
    EXPECT_EQ(driver_.preset_tare(100000000), -1);
    EXPECT_EQ(driver_.preset_tare(99999999), 0);
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
    LetterBoard driver(
        clock, [](const std::string&) {},
        [&](std::function<void()> fn) {
            if (starts.fetch_add(1) == 2)
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
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
    board_->set_mute(true);
    EXPECT_EQ(driver_.init_rezero(), -1);  // the answer to the last one does not count
    board_->set_mute(false);
    board_->fail_next('z', '1');
    EXPECT_EQ(driver_.init_rezero(), -1);
    bool refused_posted = false;
    for (const auto& m : sink_.messages())
        if (m.id == WM_LCMD_REPLY) refused_posted |= m.record<lcmd::lcmd_reply>()->result == '1';
    EXPECT_TRUE(refused_posted);
}

TEST_F(LetterBoardTest, IntegrityCheck) {
    start();
    EXPECT_EQ(driver_.check_integrity("0123ABCD"), 0);
    EXPECT_EQ(driver_.check_integrity("not hex!"), -1);
    board_->set_integrity_fail(true);
    EXPECT_EQ(driver_.check_integrity("0123ABCD"), -1);
}

// The simulator damages a weight digit and keeps the check byte of the undamaged frame: only a
// driver that checks it keeps the weight.
TEST_F(LetterBoardTest, DamagedFramesAreDropped) {
    start();
    for (int i = 0; i < 3; ++i) {
        board_->send_corrupt();
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    board_->send_overlong();
    board_->send_noise();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const auto& s : status_messages()) EXPECT_EQ(s.weight, 1234);
}

// Holds the pause of a second that follows each command frame until the test lets it go; any
// shorter sleep takes a fiftieth of its length.
class HeldPauseClock : public SystemClock {
  public:
    void sleep_ms(int ms) override {
        if (ms < 1000) {
            std::this_thread::sleep_for(std::chrono::microseconds(ms * 20));
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        ++held_;
        changed_.wait(lock, [this] { return released_; });
        --held_;
    }
    bool holding() {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_ > 0;
    }
    bool released() {
        std::lock_guard<std::mutex> lock(mutex_);
        return released_;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int held_ = 0;
    bool released_ = false;
};

// A snapshot is one frame whole on this board too: never the stable flag of one frame with the
// weight of the next. The reader hammers it while the board alternates 5 kg at rest and 1 kg
// moving, as fast as the line carries them.
TEST(LetterBoardReader, ASnapshotIsNeverTornBetweenTwoFrames) {
    test::TempDir dir;
    auto pty = PseudoTerminal::create(dir.file("board"));
    ASSERT_TRUE(pty) << pty.error();
    lcmd::WeightFrame at_rest, in_motion;
    at_rest.first = 5000, at_rest.stable = true;
    in_motion.first = 1000, in_motion.second = 200, in_motion.zero = true;
    std::vector<uint8_t> frames = lcmd::encode_weight_frame(at_rest);
    for (uint8_t b : lcmd::encode_weight_frame(in_motion)) frames.push_back(b);

    test::FakeClock clock;
    test::RecordingSink sink;
    LetterBoard driver(clock, [](const std::string&) {});
    auto config = config_for(dir.file("board"));
    ASSERT_EQ(driver.open(&config), 0);
    ASSERT_EQ(driver.start(&sink), 0);
    std::atomic<bool> done{false};
    std::thread board([&] {
        for (int i = 0; i < 3000 && (*pty)->write_all(frames.data(), frames.size()); ++i) {
        }
        done = true;
    });
    using Fields = std::array<int32_t, 4>;
    const Fields rest{5000, 0, 1, 0}, motion{1000, 200, 0, 1};
    int reads = 0, torn = 0;
    while (!done.load()) {
        weighing_snapshot s;
        driver.snapshot(s);
        Fields f{s.weight, s.tare, s.stable, s.zero};
        if (f == Fields{}) continue;  // before the first frame
        ++reads;
        if (f != rest && f != motion) ++torn;
    }
    board.join();
    EXPECT_GT(reads, 0);
    EXPECT_EQ(torn, 0) << "torn snapshots of " << reads;
}

// The integrity check has its answer while the board's stream is still paused; it returns only
// once the stream flows again, since until then the status is that of the moment the board
// paused and must not pass for a fresh reading at start-up.
TEST(LetterBoardIntegrity, ReturnsOnlyOnceTheStreamFlowsAgain) {
    test::TempDir dir;
    auto board = test::make_board(dir, sim::BoardType::letter);
    ASSERT_NE(board, nullptr);
    HeldPauseClock clock;
    test::RecordingSink sink;
    LetterBoard driver(clock, [](const std::string&) {});
    auto config = config_for(board->device_name());
    ASSERT_EQ(driver.open(&config), 0);
    ASSERT_EQ(driver.start(&sink), 0);
    ASSERT_TRUE(test::wait_until([&] { return board->streaming(); }));

    std::atomic<int> checker{0};
    std::atomic<bool> returned{false};
    bool released_at_return = false;
    int result = -2;
    std::thread thread([&] {
        checker = test::this_thread_tid();
        result = driver.check_integrity("0123ABCD");
        released_at_return = clock.released();
        returned = true;
    });
    // Answered, the pause held: the check now either returns (too early) or waits for the stream.
    const bool settled = test::wait_until([&] {
        return returned.load() || (clock.holding() && driver.last_reply().command_letter == 'K' &&
                                   test::thread_blocked_in(checker.load(), SYS_futex));
    });
    clock.release();
    thread.join();
    EXPECT_TRUE(settled);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(released_at_return) << "the check returned while the stream was still paused";
}

// Every reply the board can give: a reply not beginning 'R' '0' is posted as such and, for
// 'z', still counts when its result is '0'; the 'C', 'D' and 'F' replies are decoded and posted.
// Reply data is decoded only after the letter it belongs to: 28 or 40 data bytes after another
// letter are neither numbers nor a status word.
TEST_F(LetterBoardTest, DecodedRepliesFollowTheirLetter) {
    start();
    auto count = [&](uint32_t id) {
        size_t n = 0;
        for (const auto& m : sink_.messages()) n += m.id == id;
        return n;
    };
    for (size_t length : {size_t{3}, size_t{28}, size_t{40}}) {
        board_->reply_next('R', '0', std::string(length, '1'));
        ASSERT_EQ(driver_.command('Q'), 0);
        ASSERT_TRUE(test::wait_until([&] {
            auto r = driver_.last_reply();
            return r.command_letter == 'Q' && r.data_length == static_cast<int32_t>(length);
        }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // nothing more is posted
    EXPECT_EQ(count(WM_LCMD_NUMBERS), 0u);
    EXPECT_EQ(count(WM_LCMD_STATUS_WORD), 0u);
    EXPECT_EQ(count(WM_LCMD_FIRMWARE), 0u);
}

TEST_F(LetterBoardTest, RepliesOfEveryKindArePosted) {
    start();
    auto posted = [&](uint32_t id) {
        std::vector<PostedMessage> out;
        for (const auto& m : sink_.messages())
            if (m.id == id) out.push_back(m);
        return out;
    };
    board_->reply_next('E', '0', "");
    EXPECT_EQ(driver_.init_rezero(), 0);
    ASSERT_EQ(posted(WM_LCMD_REPLY).size(), 1u);
    auto r = posted(WM_LCMD_REPLY)[0].record<lcmd::lcmd_reply>();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->reply_code, 'E');
    EXPECT_EQ(r->command_letter, 'z');
    EXPECT_EQ(r->result, '0');

    const std::string word = "A5F00C4080" + std::string(30, '0');
    board_->reply_next('R', '0', word);
    ASSERT_EQ(driver_.command('C'), 0);
    ASSERT_TRUE(test::wait_until([&] { return !posted(WM_LCMD_STATUS_WORD).empty(); }));
    PostedMessage c = posted(WM_LCMD_STATUS_WORD)[0];
    EXPECT_EQ(*c.record<lcmd::lcmd_status_word>(),
              lcmd::decode_status_word(reinterpret_cast<const uint8_t*>(word.data())));
    EXPECT_EQ(c.text, word);  // the raw reply data with it

    board_->reply_next('R', '0', "0000000100000002000000030405");
    ASSERT_EQ(driver_.command('D'), 0);
    ASSERT_TRUE(test::wait_until([&] { return !posted(WM_LCMD_NUMBERS).empty(); }));
    EXPECT_EQ(*posted(WM_LCMD_NUMBERS)[0].record<lcmd::lcmd_numbers>(),
              (lcmd::lcmd_numbers{1, 2, 3, 4, 5}));

    board_->reply_next('R', '0', "456");
    ASSERT_EQ(driver_.command('F'), 0);
    ASSERT_TRUE(test::wait_until([&] { return !posted(WM_LCMD_FIRMWARE).empty(); }));
    EXPECT_EQ(posted(WM_LCMD_FIRMWARE)[0].text, "4.5.6");

    // The same data after a letter it does not belong to decodes nothing.
    board_->reply_next('R', '0', "456");
    ASSERT_EQ(driver_.command('Q'), 0);
    ASSERT_TRUE(test::wait_until([&] {
        auto last = driver_.last_reply();
        return last.command_letter == 'Q' && last.data_length == 3;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // nothing more is posted
    EXPECT_EQ(posted(WM_LCMD_FIRMWARE).size(), 1u);
    EXPECT_EQ(posted(WM_LCMD_REPLY).size(), 1u);
}

// The waits of the letter board: a command thread pauses the stream, waits 100 ms, sends,
// waits 1000 ms and resumes; the initial zero looks for its answer every 2000 ms, ten times.
TEST(LetterBoardTiming, EveryWaitOfEveryCommand) {
    test::TempDir dir;
    auto board = test::make_board(dir, sim::BoardType::letter);
    ASSERT_NE(board, nullptr);
    test::RecordingClock clock;
    test::RecordingSink sink;
    LetterBoard driver(clock, [](const std::string&) {});
    auto config = config_for(board->device_name());
    ASSERT_EQ(driver.open(&config), 0);
    ASSERT_EQ(driver.start(&sink), 0);
    ASSERT_TRUE(test::wait_until([&] { return board->streaming(); }));
    const std::vector<std::vector<int>> one_command{{100, 1000}};

    clock.clear();
    EXPECT_EQ(driver.tare(), 0);
    EXPECT_TRUE(clock.sleeps_of(std::this_thread::get_id()).empty());  // the caller never waits
    ASSERT_TRUE(test::wait_until([&] { return clock.sequences_starting(100) == one_command; }));

    board->set_mute(true);
    clock.clear();
    EXPECT_EQ(driver.init_rezero(), -1);
    EXPECT_EQ(clock.sleeps_of(std::this_thread::get_id()), test::times(10, 2000));
    EXPECT_EQ(clock.sequences_starting(100), one_command);

    // The integrity check looks for its answer every 100 ms, 50 times, and returns only once
    // its command has left the line.
    clock.clear();
    EXPECT_EQ(driver.check_integrity("0123ABCD"), -1);
    EXPECT_EQ(clock.sleeps_of(std::this_thread::get_id()), test::times(50, 100));
    int command_threads = 0;
    for (const auto& seq : clock.sequences_starting(100)) command_threads += seq == one_command[0];
    EXPECT_EQ(command_threads, 1);

    board->set_mute(false);
    clock.clear();
    EXPECT_EQ(driver.init_rezero(), 0);
    EXPECT_EQ(clock.sleeps_of(std::this_thread::get_id()), test::times(1, 2000));
}

// The timing is the behaviour here: each command holds the line for 1.1 s of real time, and the
// next one waits for it. The simulator may notice a byte late, never before it was written, so
// its stamps are only compared with a time taken before the first command.
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
    using namespace std::chrono;
    const int64_t before =
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    ASSERT_EQ(driver.tare(), 0);
    ASSERT_EQ(driver.rezero(), 0);
    ASSERT_TRUE(test::wait_until([&] { return board->received().size() >= 6; }, 20000));
    auto r = board->received();
    std::vector<std::vector<uint8_t>> expected{
        {0x13}, *lcmd::encode_command('T', ""), {0x11},
        {0x13}, *lcmd::encode_command('Z', ""), {0x11},
    };
    EXPECT_EQ(received_bytes(*board), expected);
    EXPECT_GE(r[1].ms - before, 100);   // DC3, 100 ms, the frame
    EXPECT_GE(r[2].ms - before, 1100);  // 1000 ms more, DC1
    EXPECT_GE(r[4].ms - before, 1200);  // the second command, after the first has ended
    EXPECT_GE(r[5].ms - before, 2200);
}

}  // namespace
}  // namespace tarvelo
