#include "app/scale_program.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <map>

#include "platform/message_box.h"
#include "platform/pipe_endpoint.h"
#include "tests/support/test_support.h"

namespace tarvelo::app {
namespace {

// The facade reaches the sale state only through the program's wiring: the tare key marks an
// operator's tare (which the next unit price must not clear), and a text alone opens a sale.
TEST(ScaleProgram, TheKeysAndTheSaleRefreshReachTheSaleState) {
    test::InstalledBoxes boxes;
    test::FakeClock clock;
    test::TempDir dir;
    test::write_file(dir.file("tarvelo.ini"), "[scale]\nad_type=0\n");
    ScaleProgram program({dir.file("tarvelo.ini")}, clock);
    ASSERT_TRUE(program.load_settings());

    weighing_snapshot goods_on;  // the display's last snapshot: not at zero
    program.saved().store(goods_on);
    program.facade().on_tare_button();  // no board answers here: "Tare Failed!", but the mark stays
    EXPECT_EQ(program.sale().one_touch_tare.load(), 1);
    weighing_snapshot empty;
    empty.zero = 1;
    program.saved().store(empty);
    program.facade().on_tare_button();
    EXPECT_EQ(program.sale().one_touch_tare.load(), 0);

    test::RecordingSink sink;
    program.sale().set_text("APPLES");
    program.facade().sale_refresh(&sink);
    EXPECT_EQ(program.sale().sale_active.load(), 1);
    program.sale().clear_text();
    program.facade().sale_refresh(&sink);
    EXPECT_EQ(program.sale().sale_active.load(), 0);
    program.sale().price_set = 1;
    program.facade().sale_refresh(&sink);
    EXPECT_EQ(program.sale().sale_active.load(), 1);
}

// Every sleep waits at a gate until the test lets it through, or until its gate is opened for
// good. Sleepers are told apart by the length they ask for: the display thread's boot steps are
// 100 ms, the pipe thread's polls while it waits for the display 10 ms.
class GateClock : public SystemClock {
  public:
    void sleep_ms(int ms) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!tids_.count(ms)) tids_[ms] = test::this_thread_tid();
        ++arrivals_[ms];
        changed_.wait(lock, [&] { return all_open_ || open_[ms] || passes_[ms] > 0; });
        if (all_open_ || open_[ms]) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // no busy loop
            return;
        }
        --passes_[ms];
    }
    int arrivals(int ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_[ms];
    }
    int tid_of(int ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        return tids_[ms];
    }
    void pass(int ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++passes_[ms];
        changed_.notify_all();
    }
    void open(int ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        open_[ms] = true;
        changed_.notify_all();
    }
    void open_all() {
        std::lock_guard<std::mutex> lock(mutex_);
        all_open_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, int> arrivals_, passes_, tids_;
    std::map<int, bool> open_;
    bool all_open_ = false;
};

// The ECR is served only while the display runs: stop() closes the ECR link and ends the pipe
// thread first, and only then the display thread, so that no request is answered while the
// display no longer follows the platform. Both have ended when it returns.
TEST(ScaleProgram, StopEndsTheEcrLinkBeforeTheDisplay) {
    test::TempDir dir;
    test::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path().string());
    test::ScopedEnv divisor("TARVELO_TIME_DIVISOR", nullptr);
    GateClock clock;
    test::write_file(dir.file("tarvelo.ini"), "[scale]\nad_type=0\npipe_name=ecr\nlog_fg=0\n");
    ScaleProgram program({dir.file("tarvelo.ini")}, clock);
    ASSERT_TRUE(program.load_settings());
    ui::CTarveloDlg dlg{program};
    std::thread stopper;
    struct OpenAtTheEnd {  // however the test ends, nothing stays held at the gate or running
        GateClock& clock;
        std::thread& stopper;
        ScaleProgram& program;
        ~OpenAtTheEnd() {
            clock.open_all();
            if (stopper.joinable()) stopper.join();
            program.stop();  // before the window the threads post to goes
        }
    } open_at_the_end{clock, stopper, program};
    auto alive = [](int tid) {
        return std::filesystem::exists("/proc/self/task/" + std::to_string(tid));
    };

    ASSERT_TRUE(program.start_display_thread(dlg));
    ASSERT_TRUE(test::wait_until([&] { return clock.arrivals(100) == 1; }));  // booting
    const int display = clock.tid_of(100);
    ASSERT_TRUE(program.start_pipe_thread(dlg));
    const std::string socket = dir.file("ecr");
    ASSERT_TRUE(test::wait_until([&] { return std::filesystem::exists(socket); }));
    auto ecr = PipeClient::connect("ecr");
    ASSERT_TRUE(ecr) << ecr.error();
    ASSERT_TRUE(test::wait_until([&] { return clock.arrivals(10) == 1; }));  // served

    std::atomic<bool> stopped{false};
    stopper = std::thread([&] {
        program.stop();
        stopped = true;
    });
    uint8_t byte = 0;
    ASSERT_EQ((*ecr)->read_byte(byte, 5000), PipeClient::Read::closed);
    // The ECR's link is closed, the pipe thread not yet ended: the display goes on booting.
    const int steps = clock.arrivals(100);
    clock.pass(100);
    ASSERT_TRUE(test::wait_until([&] { return clock.arrivals(100) > steps || !alive(display); }));
    EXPECT_TRUE(alive(display)) << "the display thread ended while the ECR was still served";

    // The pipe thread, let through, ends and takes the socket with it; only then is the display
    // told to stop, which it notices at its next step.
    clock.open(10);
    ASSERT_TRUE(test::wait_until([&] { return !std::filesystem::exists(socket); }));
    for (int step = 0; step < 20 && alive(display); ++step) {
        const int before = clock.arrivals(100);
        clock.pass(100);
        test::wait_until([&] { return clock.arrivals(100) > before || !alive(display); });
    }
    EXPECT_FALSE(alive(display)) << "the display thread was never told to stop";
    clock.open_all();
    stopper.join();
    EXPECT_TRUE(stopped);
}

}  // namespace
}  // namespace tarvelo::app
