#include "ui/display_thread.h"

#include <gtest/gtest.h>

#include "platform/window_messages.h"
#include "tests/support/null_scale.h"
#include "tests/support/test_support.h"

namespace tarvelo::ui {
namespace {

class FakeScreens : public BootScreens {
  public:
    void set_flash_colour(int r, int g, int b) override {
        add("flash " + std::to_string(r) + "," + std::to_string(g) + "," + std::to_string(b));
    }
    void close_flash() override { add("close flash"); }
    void show_boot() override { add("show boot"); }
    void boot_failed(const std::string& text) override { add("failed: " + text); }
    void close_boot() override { add("close boot"); }
    void show_display_windows() override { add("show windows"); }
    void add(const std::string& s) { calls.push_back(s + " @" + std::to_string(clock->now_ms())); }
    std::vector<std::string> calls;
    test::FakeClock* clock = nullptr;
};

class FakeDisplayScale : public test::NullScale {
  public:
    void get_snapshot(weighing_snapshot* out) override { *out = snapshot; }
    int startup(const std::string&) override { return startup_result; }
    void sale_refresh(MessageSink*) override { ++refreshes; }
    bool take_weight_text_clear() override { return std::exchange(clear_weight, false); }
    weighing_snapshot snapshot;
    int startup_result = 0, refreshes = 0;
    bool clear_weight = false;
};

class DisplayThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        screens_.clock = &clock_;
        thread_ = std::make_unique<DisplayThread>(parts(clock_));
    }
    DisplayThread::Parts parts(Clock& clock) {
        DisplayThread::Parts parts;
        parts.scale = &scale_;
        parts.sale = &sale_;
        parts.saved = &saved_;
        parts.main = &sink_;
        parts.screens = &screens_;
        parts.clock = &clock;
        parts.display_ready = &ready_;
        parts.calibration_mode = &calibration_;
        return parts;
    }
    std::vector<std::string> texts(uint32_t id) {
        std::vector<std::string> out;
        for (const auto& m : sink_.messages())
            if (m.id == id) out.push_back(m.text);
        return out;
    }
    int count(uint32_t id) { return static_cast<int>(texts(id).size()); }
    // The last text posted with `id`; a check against it fails, rather than crashing the whole
    // test program, when none was posted.
    std::string last(uint32_t id) {
        std::vector<std::string> all = texts(id);
        return all.empty() ? "(nothing posted)" : all.back();
    }

    test::FakeClock clock_;
    FakeScreens screens_;
    FakeDisplayScale scale_;
    SaleState sale_;
    SavedSnapshot saved_;
    test::RecordingSink sink_;
    std::atomic<int32_t> ready_{0}, calibration_{0};
    std::unique_ptr<DisplayThread> thread_;
};

TEST_F(DisplayThreadTest, BootShowsColoursForTwoSecondsEach) {
    EXPECT_EQ(thread_->boot(), 0);
    EXPECT_EQ(screens_.calls,
              (std::vector<std::string>{"flash 0,255,169 @2000", "flash 135,206,250 @4000",
                                        "show boot @6000", "close flash @6000", "close boot @8000",
                                        "show windows @8000"}));
    EXPECT_EQ(ready_.load(), 1);
}

TEST_F(DisplayThreadTest, FailedStartUpTellsWhyAndNeverReleasesThePipe) {
    struct Case {
        int result;
        const char* text;
    } cases[] = {{-1, "Scale driver checksum error!"},
                 {-2, "Please remove item from the scale platform!"},
                 {-3, "ERROR"}};
    for (const Case& c : cases) {
        SetUp();
        screens_.calls.clear();
        clock_.now_ = 0;
        scale_.startup_result = c.result;
        EXPECT_EQ(thread_->run(), -1);
        ASSERT_FALSE(screens_.calls.empty()) << c.text;
        EXPECT_EQ(screens_.calls.back(), std::string("failed: ") + c.text + " @6000");
        EXPECT_EQ(ready_.load(), 0);
    }
}

// The program ends during the boot: the boot screens' waits end at once, nothing more is
// shown and the pipe is never released.
TEST_F(DisplayThreadTest, AStopDuringTheBootEndsItAtOnce) {
    std::atomic<bool> stop{false};
    struct StoppingClock : test::FakeClock {
        std::atomic<bool>* stop;
        void sleep_ms(int ms) override {
            test::FakeClock::sleep_ms(ms);
            if (now_ >= 3000) stop->store(true);
        }
    } clock;
    clock.stop = &stop;
    screens_.clock = &clock;
    EXPECT_EQ(DisplayThread(parts(clock)).run(&stop), -1);
    EXPECT_EQ(screens_.calls, std::vector<std::string>{"flash 0,255,169 @2000"});
    EXPECT_EQ(clock.now_.load(), 3000);
    EXPECT_EQ(ready_.load(), 0);
}

TEST_F(DisplayThreadTest, TextsArePostedOnlyWhenTheyChange) {
    sale_.unit_price = 299;
    scale_.snapshot.weight = 1234;
    scale_.snapshot.stable = 1;
    thread_->cycle();
    thread_->cycle();
    EXPECT_EQ(texts(WM_SHOW_TARE), std::vector<std::string>{" 0,000"});
    EXPECT_EQ(texts(WM_SHOW_WEIGHT),
              (std::vector<std::string>{" 1,234", " 1,234"}));  // posted and last-sent
    EXPECT_EQ(texts(WM_SHOW_UNIT_PRICE), std::vector<std::string>{"   2,99"});
    EXPECT_EQ(texts(WM_SHOW_TOTAL_PRICE), std::vector<std::string>{"   3,69"});
    EXPECT_EQ(count(WM_ZERO_OFF), 2);  // indicators every cycle
    EXPECT_EQ(count(WM_NET_OFF), 2);
    EXPECT_EQ(saved_.load().weight, 1234);

    struct Case {
        const char* name;
        int32_t weight, overload, underload, link_lost;
        const char* weight_text;
        const char* total_text;
    } cases[] = {
        {"overload", 7000, 1, 0, 0, "OF  ", "   0,00"},
        {"underload wins", -30, 1, 1, 0, "UF  ", "   0,00"},
        {"negative", -500, 0, 0, 0, "-0,500", "   0,00"},
        {"link lost", 1234, 0, 0, 1, "------", "-------"},
    };
    for (const Case& c : cases) {
        scale_.snapshot.weight = c.weight;
        scale_.snapshot.overload = c.overload;
        scale_.snapshot.underload = c.underload;
        scale_.snapshot.link_lost = c.link_lost;
        thread_->cycle();
        EXPECT_EQ(last(WM_SHOW_WEIGHT), c.weight_text) << c.name;
        EXPECT_EQ(last(WM_SHOW_TOTAL_PRICE), c.total_text) << c.name;
    }
}

TEST_F(DisplayThreadTest, QuantityModeSkipsTheCycleAndWeightModeRepostsAll) {
    scale_.snapshot.weight = 500;
    thread_->cycle();
    sink_.clear();
    sale_.mode = 1;
    thread_->cycle();
    EXPECT_TRUE(sink_.messages().empty());
    sale_.mode = 0;
    thread_->cycle();
    EXPECT_EQ(count(WM_SHOW_TARE), 1);
    EXPECT_EQ(count(WM_SHOW_UNIT_PRICE), 1);
    EXPECT_EQ(count(WM_SHOW_TOTAL_PRICE), 1);
    EXPECT_EQ(count(WM_SHOW_WEIGHT), 1);  // the last-sent copy did not change
}

// While the board is not heard from, no value and no indicator may look current; when it is
// back, every value is posted again.
TEST_F(DisplayThreadTest, LostLinkShowsDashesAndNoIndicators) {
    sale_.unit_price = 150;
    scale_.snapshot.weight = 1234;
    scale_.snapshot.tare = 200;
    scale_.snapshot.zero = 1;
    thread_->cycle();
    EXPECT_EQ(count(WM_ZERO_ON), 1);
    EXPECT_EQ(count(WM_NET_ON), 1);
    sink_.clear();
    scale_.snapshot.link_lost = 1;
    thread_->cycle();
    EXPECT_EQ(last(WM_SHOW_WEIGHT), "------");
    EXPECT_EQ(last(WM_SHOW_TARE), "------");
    EXPECT_EQ(last(WM_SHOW_TOTAL_PRICE), "-------");
    EXPECT_EQ(count(WM_ZERO_ON) + count(WM_NET_ON), 0);
    EXPECT_EQ(count(WM_ZERO_OFF), 1);
    EXPECT_EQ(count(WM_NET_OFF), 1);
    sink_.clear();
    scale_.snapshot.link_lost = 0;
    thread_->cycle();
    EXPECT_EQ(texts(WM_SHOW_UNIT_PRICE),
              std::vector<std::string>{"   1,50"});  // unchanged, posted again
    EXPECT_EQ(texts(WM_SHOW_TARE), std::vector<std::string>{" 0,200"});
    EXPECT_EQ(texts(WM_SHOW_TOTAL_PRICE), std::vector<std::string>{"   1,85"});
    EXPECT_EQ(count(WM_ZERO_ON), 1);
}

// Record 00 in weight mode, like every mode switch, puts placeholders in the windows: the next
// cycle posts every value again although none changed.
TEST_F(DisplayThreadTest, AnyModeSwitchRepostsEveryValue) {
    sale_.unit_price = 150;
    scale_.snapshot.weight = 1234;
    thread_->cycle();
    sink_.clear();
    thread_->cycle();
    EXPECT_EQ(count(WM_SHOW_WEIGHT) + count(WM_SHOW_TARE) + count(WM_SHOW_UNIT_PRICE) +
                  count(WM_SHOW_TOTAL_PRICE),
              0);
    sale_.mode_switches.fetch_add(1);
    thread_->cycle();
    EXPECT_EQ(texts(WM_SHOW_WEIGHT), (std::vector<std::string>{" 1,234", " 1,234"}));
    EXPECT_EQ(count(WM_SHOW_TARE), 1);
    EXPECT_EQ(count(WM_SHOW_UNIT_PRICE), 1);
    EXPECT_EQ(texts(WM_SHOW_TOTAL_PRICE), std::vector<std::string>{"   1,85"});
}

TEST_F(DisplayThreadTest, SaleRefreshResendsTheWeightAndAutoClearRuns) {
    sale_.sale_active = 1;
    sale_.price_set = 1;
    scale_.snapshot.weight = 500;
    thread_->cycle();
    EXPECT_EQ(sale_.sale_armed.load(), 1);
    EXPECT_EQ(count(WM_SALE_WEIGHT), 1);
    sink_.clear();
    scale_.clear_weight = true;
    thread_->cycle();
    EXPECT_EQ(texts(WM_SHOW_WEIGHT), std::vector<std::string>{" 0,500"});
    scale_.snapshot.weight = 0;
    scale_.snapshot.zero = 1;
    thread_->cycle();
    EXPECT_EQ(scale_.refreshes, 1);
    EXPECT_EQ(sale_.price_set.load(), 0);
    EXPECT_EQ(count(WM_ZERO_ON), 1);
}

TEST_F(DisplayThreadTest, CalibrationCountsOnlyWhenOnAndChanged) {
    scale_.snapshot.ad_count = 0;
    scale_.snapshot.internal_count = 42;
    thread_->cycle();
    EXPECT_EQ(count(WM_SHOW_IR_COUNT), 0);  // calibration mode off
    calibration_ = 1;
    thread_->cycle();
    thread_->cycle();
    EXPECT_EQ(count(WM_SHOW_AD_COUNT), 0);  // a count that stays 0 is never sent
    EXPECT_EQ(texts(WM_SHOW_IR_COUNT), std::vector<std::string>{"    42"});
}

}  // namespace
}  // namespace tarvelo::ui
