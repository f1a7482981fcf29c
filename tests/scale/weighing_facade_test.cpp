#include "scale/weighing_facade.h"

#include <gtest/gtest.h>

#include "platform/window_messages.h"
#include "tests/scale/board_fixture.h"

namespace tarvelo {
namespace {

// The sale flags the facade touches, as plain values.
struct FakeSale : SaleFlags {
    bool sale_open() const override { return open; }
    std::atomic<bool> open{false};
};

// A facade on real drivers, talking to a simulated board over a pty, with delays cut tenfold
// unless the test brings its own clock.
class Facade {
  public:
    Facade(int32_t ad_type, const test::TempDir& dir, sim::BoardType board_type,
           int link_timeout_ms = 300, Clock* own_clock = nullptr)
        : clock(own_clock ? *own_clock : scaled_clock) {
        board = test::make_board(dir, board_type);
        WeighingFacade::Parts parts;
        parts.ad_type = ad_type;
        parts.xon = &xon;
        parts.letter = &letter;
        parts.sale = &sale;
        parts.saved = &saved;
        parts.clock = &clock;
        parts.boxes = &boxes;
        parts.link_timeout_ms = link_timeout_ms;
        facade = std::make_unique<WeighingFacade>(parts);
    }
    int open() { return facade->open(&sink, board->device_name().c_str()); }
    weighing_snapshot snapshot() {
        weighing_snapshot s;
        facade->get_snapshot(&s);
        return s;
    }
    bool weight_is(int32_t grams) {
        return test::wait_until([&] { return snapshot().weight == grams; });
    }

    // Everything the drivers' threads reach is declared first, so that it outlives them.
    ScaledClock scaled_clock{10};
    Clock& clock;
    FakeSale sale;
    SavedSnapshot saved;
    test::RecordingBoxes boxes;
    test::RecordingSink sink;
    std::unique_ptr<sim::BoardSimulator> board;
    XonBoard xon{clock, [](const std::string&) {}};
    LetterBoard letter{clock, [](const std::string&) {}};
    std::unique_ptr<WeighingFacade> facade;
};

struct BoardCase {
    int32_t ad_type;
    sim::BoardType board;
};

class FacadeOnEitherBoard : public ::testing::TestWithParam<BoardCase> {
  protected:
    test::TempDir dir_;
    Facade f_{GetParam().ad_type, dir_, GetParam().board};
};

TEST_P(FacadeOnEitherBoard, StartsUpZeroesAndTares) {
    f_.board->set_gross(1000);
    ASSERT_EQ(f_.open(), 0);
    ASSERT_TRUE(f_.weight_is(1000));
    EXPECT_EQ(f_.facade->startup("0A1B2C3D"), 0);
    // The zero that follows the initial zero may still be on its way to a letter board.
    auto zero =
        GetParam().ad_type == 0 ? xo::encode_write_cmd('Z') : *lcmd::encode_command('Z', "");
    ASSERT_TRUE(test::wait_until([&] {
        for (auto& r : f_.board->received())
            if (r.bytes == zero) return true;
        return false;
    }));
    EXPECT_TRUE(f_.weight_is(0));  // the initial zero took the platform's load
    EXPECT_EQ(f_.snapshot().zero, 1);
    f_.board->set_gross(1500);
    ASSERT_TRUE(f_.weight_is(500));
    EXPECT_EQ(f_.facade->tare(), 0);
    ASSERT_TRUE(f_.weight_is(0));
    EXPECT_EQ(f_.snapshot().tare, 500);
    EXPECT_EQ(f_.facade->preset_tare(200), 0);
    ASSERT_TRUE(f_.weight_is(300));
    EXPECT_EQ(f_.snapshot().tare, 200);
}

TEST_P(FacadeOnEitherBoard, StartupFailures) {
    ASSERT_EQ(f_.open(), 0);
    ASSERT_TRUE(f_.weight_is(0));
    f_.board->set_integrity_fail(true);
    EXPECT_EQ(f_.facade->startup("0A1B2C3D"), -1);
    f_.board->set_integrity_fail(false);
    f_.board->set_stable(false);
    ASSERT_TRUE(test::wait_until([&] { return f_.snapshot().stable == 0; }));
    EXPECT_EQ(f_.facade->startup("0A1B2C3D"), -2);
    f_.board->set_stable(true);
    // The board refuses every initial zero while a tare is in force.
    ASSERT_EQ(f_.facade->preset_tare(100), 0);
    EXPECT_EQ(f_.facade->startup("0A1B2C3D"), -2);
    f_.board->set_mute(true);
    // The integrity check itself gets no answer now.
    EXPECT_EQ(f_.facade->startup("0A1B2C3D"), -1);
}

TEST_P(FacadeOnEitherBoard, LostLinkIsMarkedUntilFramesReturn) {
    f_.board->set_gross(700);
    ASSERT_EQ(f_.open(), 0);
    ASSERT_TRUE(f_.weight_is(700));
    EXPECT_EQ(f_.snapshot().link_lost, 0);
    EXPECT_EQ(f_.snapshot().stable, 1);
    f_.board->set_silent(true);
    ASSERT_TRUE(test::wait_until([&] { return f_.snapshot().link_lost == 1; }));
    EXPECT_EQ(f_.snapshot().stable, 0);
    f_.board->set_silent(false);
    ASSERT_TRUE(test::wait_until([&] { return f_.snapshot().link_lost == 0; }));
    EXPECT_EQ(f_.snapshot().stable, 1);
}

// A command pauses the board's stream (DC2 ... DC1 or DC3 ... DC1), but a board that has gone
// silent must not pass for a live one because commands keep being sent to it.
TEST_P(FacadeOnEitherBoard, CommandsNeverHideASilentBoard) {
    f_.board->set_gross(2990);
    ASSERT_EQ(f_.open(), 0);
    ASSERT_TRUE(f_.weight_is(2990));
    f_.board->clear_received();
    f_.board->set_silent(true);
    if (GetParam().ad_type == 0) {
        EXPECT_EQ(f_.facade->tare(), -1);  // sent before the silence showed; never answered
    } else {
        for (int i = 0; i < 5; ++i) f_.facade->tare();  // queued at once, each 1.1 s on the line
        ASSERT_TRUE(test::wait_until([&] { return f_.board->received().size() >= 15; }));
    }
    weighing_snapshot s = f_.snapshot();
    EXPECT_EQ(s.link_lost, 1);
    EXPECT_EQ(s.stable, 0);
}

// Bytes that arrive are no sign of life unless they make a good weight frame: a board that
// sends only damaged frames is lost as one that sends nothing.
TEST_P(FacadeOnEitherBoard, OnlyGoodFramesKeepTheLinkAlive) {
    f_.board->set_gross(1500);
    ASSERT_EQ(f_.open(), 0);
    ASSERT_TRUE(f_.weight_is(1500));
    f_.board->set_garble(true);
    ASSERT_TRUE(test::wait_until([&] { return f_.snapshot().link_lost == 1; }));
    f_.board->set_garble(false);
    ASSERT_TRUE(test::wait_until([&] { return f_.snapshot().link_lost == 0; }));
    EXPECT_EQ(f_.snapshot().weight, 1500);
}

// A board whose weight frames all arrive damaged but which answers every command is as lost as
// a silent one: a reply is no weight, however often a zero or a tare draws one. Every 100 ms
// of the clock a tare or a zero goes out, until 2.5 s after the last good frame.
TEST_P(FacadeOnEitherBoard, CommandRepliesAreNoSignOfLife) {
    test::TempDir dir;
    test::ManualClock clock;
    Facade f(GetParam().ad_type, dir, GetParam().board, 2000, &clock);
    f.board->set_gross(1500);
    ASSERT_EQ(f.open(), 0);
    ASSERT_TRUE(f.weight_is(1500));
    f.board->set_garble(true);
    int answered = 0;
    for (int64_t now = 100; now <= 2500; now += 100) {
        clock.set(now);
        const char letter = now % 200 ? 'Z' : 'T';
        if ((letter == 'T' ? f.facade->tare() : f.facade->rezero()) == -1) continue;
        // The letter board only queues the command: its answer is awaited here.
        if (GetParam().ad_type == 1) {
            ASSERT_TRUE(
                test::wait_until([&] { return f.letter.last_reply().command_letter == letter; }));
        }
        ++answered;
    }
    EXPECT_GE(answered, 19);  // every command until the time-out was answered
    EXPECT_EQ(f.snapshot().link_lost, 1);
}

// Only a new weight frame ends a loss: not the DC1 the driver writes after reopening the
// device, not a command's DC2/DC1 or DC3/DC1, not the time that passes. Meanwhile nothing is
// zeroed or tared, and the line is left alone.
TEST_P(FacadeOnEitherBoard, LostLinkStaysLostUntilANewWeightFrame) {
    test::TempDir dir;
    // A time-out far longer than the test: only the loss of the device can mark the link.
    Facade f(GetParam().ad_type, dir, GetParam().board, 60000);
    f.board->set_gross(1500);
    ASSERT_EQ(f.facade->open(&f.sink, dir.file("board").c_str()), 0);
    ASSERT_TRUE(f.weight_is(1500));

    f.board->vanish();  // unplugged at 1500 g
    ASSERT_TRUE(test::wait_until([&] { return f.snapshot().link_lost == 1; }));
    f.board->set_gross(2500);
    f.board->set_silent(true);
    f.board->clear_received();
    std::string error;
    ASSERT_TRUE(f.board->reappear(&error)) << error;  // back, but still silent
    ASSERT_TRUE(
        test::wait_until([&] { return !f.board->received().empty(); }));  // reopened: DC1 sent
    for (int i = 0; i < 5; ++i) {
        weighing_snapshot s = f.snapshot();
        EXPECT_EQ(s.link_lost, 1);
        EXPECT_EQ(s.stable, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    f.board->clear_received();
    EXPECT_EQ(f.facade->tare(), -1);
    EXPECT_EQ(f.facade->rezero(), -1);
    EXPECT_EQ(f.facade->preset_tare(100), -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(f.board->received().empty()) << "a command went out on a lost link";
    EXPECT_EQ(f.snapshot().link_lost, 1);

    f.board->set_silent(false);
    ASSERT_TRUE(f.weight_is(2500));
    EXPECT_EQ(f.snapshot().link_lost, 0);
    EXPECT_EQ(f.snapshot().stable, 1);
    EXPECT_EQ(f.facade->tare(), 0);
}

TEST_P(FacadeOnEitherBoard, ZeroKeyIsRefusedUnderATare) {
    ASSERT_EQ(f_.open(), 0);
    ASSERT_TRUE(f_.weight_is(0));
    weighing_snapshot with_tare;
    with_tare.tare = 150;
    f_.saved.store(with_tare);
    f_.board->clear_received();
    f_.facade->on_zero_button();
    EXPECT_EQ(f_.boxes.texts(), std::vector<std::string>{"Rezero Failed!"});
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    for (const auto& r : f_.board->received())
        EXPECT_NE(r.bytes.size(), 5u) << "a command was sent";
}

INSTANTIATE_TEST_SUITE_P(Boards, FacadeOnEitherBoard,
                         ::testing::Values(BoardCase{0, sim::BoardType::xon},
                                           BoardCase{1, sim::BoardType::letter}),
                         [](const ::testing::TestParamInfo<BoardCase>& p) {
                             return p.param.ad_type == 0 ? "XonBoard" : "LetterBoard";
                         });

TEST(Facade, OpenFailures) {
    test::TempDir dir;
    Facade xon(0, dir, sim::BoardType::xon);
    EXPECT_EQ(xon.facade->open(&xon.sink, dir.file("missing").c_str()), -1);
    test::TempDir dir2;
    Facade letter(1, dir2, sim::BoardType::letter);
    EXPECT_EQ(letter.facade->open(&letter.sink, dir2.file("missing").c_str()), -1);
    EXPECT_EQ(letter.facade->open(nullptr, letter.board->device_name().c_str()), 0);
}

TEST(Facade, LetterBoardLoadStateMapsToFlags) {
    test::TempDir dir;
    Facade f(1, dir, sim::BoardType::letter);
    ASSERT_EQ(f.open(), 0);
    struct Case {
        int load, underload, overload;
    } cases[] = {{1, 1, 0}, {3, 0, 0}, {2, 0, 1}, {0, 0, 0}};  // each row changes the flags
    for (const Case& c : cases) {
        f.board->set_load(c.load);
        EXPECT_TRUE(test::wait_until([&] {
            auto s = f.snapshot();
            return s.underload == c.underload && s.overload == c.overload;
        })) << c.load;
    }
}

// The program's own time-out: a snapshot is live up to 2 s after the last good frame, lost
// just after.
TEST(Facade, TheLinkIsLostJustAfterTwoSecondsOfSilence) {
    test::ManualClock clock;
    auto* line = new test::ScriptedLine;
    XonBoard xon(
        clock, [](const std::string&) {}, test::opener_of(line));
    FakeSale sale;
    SavedSnapshot saved;
    WeighingFacade::Parts parts;  // the default time-out
    parts.xon = &xon;
    parts.sale = &sale;
    parts.saved = &saved;
    parts.clock = &clock;
    WeighingFacade facade(parts);
    auto snapshot = [&] {
        weighing_snapshot s;
        facade.get_snapshot(&s);
        return s;
    };
    clock.set(5000);
    ASSERT_EQ(facade.open(nullptr, "scripted"), 0);
    line->bytes(
        "\x02"
        "0 01.000\r4 00.000\r\n0100\x03");
    ASSERT_TRUE(test::wait_until([&] { return snapshot().weight == 1000; }));
    clock.set(7000);
    EXPECT_EQ(snapshot().link_lost, 0);
    EXPECT_EQ(snapshot().stable, 1);
    clock.set(7001);
    EXPECT_EQ(snapshot().link_lost, 1);
    EXPECT_EQ(snapshot().stable, 0);
}

TEST(Facade, XonSnapshotBeforeTheFirstFrameLeavesTheRecord) {
    test::TempDir dir;
    Facade f(0, dir, sim::BoardType::xon);
    weighing_snapshot s;
    s.weight = 42;
    s.stable = 1;
    f.facade->get_snapshot(&s);  // not started: nothing to report
    EXPECT_EQ(s.weight, 42);
    EXPECT_EQ(s.stable, 1);
}

TEST(Facade, UnsupportedBoardTypeDoesNothingAndFailsStartup) {
    test::TempDir dir;
    Facade f(2, dir, sim::BoardType::letter);
    ASSERT_EQ(f.open(), 0);  // the letter board is opened all the same
    weighing_snapshot s;
    s.weight = 42;
    f.facade->get_snapshot(&s);
    EXPECT_EQ(s.weight, 42);
    EXPECT_EQ(f.facade->rezero(), 0);
    EXPECT_EQ(f.facade->tare(), 0);
    EXPECT_EQ(f.facade->preset_tare(100), 0);
    int64_t before = f.clock.now_ms();
    EXPECT_EQ(f.facade->startup("0A1B2C3D"), -2);
    EXPECT_GE(f.clock.now_ms() - before, 900);  // 100 passes of 100 ms, cut tenfold
    f.facade->on_zero_button();
    f.facade->on_tare_button();
    f.facade->sale_refresh(&f.sink);
    // Nothing was sent: a command of the test's own, queued behind anything the facade may have
    // queued, is the first the board hears after the DC1 that started its stream.
    ASSERT_EQ(f.letter.preset_tare(4321), 0);
    auto marker = *lcmd::encode_command('U', "00004321");
    auto got = [&] { return test::received_bytes(*f.board); };
    ASSERT_TRUE(test::wait_until([&] {
        auto r = got();
        return std::find(r.begin(), r.end(), marker) != r.end();
    }));
    auto heard = got();
    heard.erase(std::find(heard.begin(), heard.end(), marker) + 1, heard.end());
    EXPECT_EQ(heard, (std::vector<std::vector<uint8_t>>{{lcmd::DC1}, {lcmd::DC3}, marker}));
}

TEST(Facade, StartupNeedsThreeStableReadingsInARow) {
    test::FakeClock clock;
    std::vector<bool> readings{true, true, false, true, true, true, false};
    size_t i = 0;
    EXPECT_EQ(WeighingFacade::wait_for_settled([&] { return readings[i++]; }, clock), 6);
    EXPECT_EQ(WeighingFacade::wait_for_settled([] { return false; }, clock), -1);
    EXPECT_EQ(clock.slept_.load(), 5 * 100 + 100 * 100);
}

TEST(Facade, KeysReportFailuresAndRememberWhereTheTareCameFrom) {
    test::TempDir dir;
    Facade f(0, dir, sim::BoardType::xon);
    f.board->set_gross(300);
    ASSERT_EQ(f.open(), 0);
    ASSERT_TRUE(f.weight_is(300));

    weighing_snapshot loaded;  // goods on the platform: zero flag 0
    f.saved.store(loaded);
    f.facade->on_tare_button();
    EXPECT_EQ(f.sale.one_touch_tare.load(), 1);
    EXPECT_TRUE(f.boxes.texts().empty());

    f.board->fail_next('T', '1');
    weighing_snapshot empty;
    empty.zero = 1;
    f.saved.store(empty);
    f.facade->on_tare_button();
    EXPECT_EQ(f.sale.one_touch_tare.load(), 0);  // set whatever the board answered
    f.board->fail_next('Z', '1');
    f.facade->on_zero_button();
    EXPECT_EQ(f.boxes.texts(), (std::vector<std::string>{"Tare Failed!", "Rezero Failed!"}));
}

TEST(Facade, SaleRefreshEndsOrRefreshesTheSale) {
    test::TempDir dir;
    Facade f(0, dir, sim::BoardType::xon);
    ASSERT_EQ(f.open(), 0);
    ASSERT_TRUE(f.weight_is(0));

    f.board->clear_received();
    f.sale.sale_active = 1;
    f.facade->sale_refresh(&f.sink);  // no price, no text: the sale ends, the preset tare goes
    EXPECT_EQ(f.sale.sale_active.load(), 0);
    EXPECT_EQ(f.sink.messages().back().id, WM_SALE_CLEARED);
    bool cleared = false;
    for (const auto& r : f.board->received())
        cleared |= r.bytes == *xo::encode_write_cmd_with_data('U', "000000");
    EXPECT_TRUE(cleared);

    f.board->clear_received();
    f.sale.one_touch_tare = 1;  // a tare taken by key survives
    f.facade->sale_refresh(&f.sink);
    EXPECT_TRUE(f.board->received().empty());

    f.sale.open = true;
    f.facade->sale_refresh(&f.sink);
    EXPECT_EQ(f.sale.sale_active.load(), 1);
    EXPECT_EQ(f.sink.messages().back().id, WM_SALE_ARMED);
    EXPECT_TRUE(f.facade->take_weight_text_clear());
    EXPECT_FALSE(f.facade->take_weight_text_clear());
}

TEST(Facade, CalibrationNeedsTheXonBoard) {
    test::TempDir dir;
    Facade f(1, dir, sim::BoardType::letter);
    ASSERT_EQ(f.open(), 0);
    ASSERT_TRUE(test::wait_until([&] { return f.board->streaming(); }));  // its DC1 is in
    f.board->clear_received();
    EXPECT_EQ(f.facade->calibrate_zero(), -1);  // no xon/xoff board is open
    EXPECT_EQ(f.facade->init_rezero(), -1);     // the wizard's Exit: the xon/xoff board's too
    EXPECT_TRUE(f.board->received().empty()) << "the letter board was sent a command";
}

TEST(Facade, XonLoadFlagsMapToFlags) {
    test::TempDir dir;
    Facade f(0, dir, sim::BoardType::xon);
    ASSERT_EQ(f.open(), 0);
    struct Case {
        int load, underload, overload;
    } cases[] = {{1, 1, 0}, {2, 0, 1}, {0, 0, 0}};
    for (const Case& c : cases) {
        f.board->set_load(c.load);
        EXPECT_TRUE(test::wait_until([&] {
            auto s = f.snapshot();
            return s.underload == c.underload && s.overload == c.overload;
        })) << c.load;
    }
}

}  // namespace
}  // namespace tarvelo
