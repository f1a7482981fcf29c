#include "scale/serial_link.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/scale/board_fixture.h"

namespace tarvelo {
namespace {

// An unplugged adapter is looked for again about once a second: not in a loop that keeps a core
// busy, and not so seldom that the scale stays blind long after it is back. The first attempt
// comes a second after the loss.
TEST(SerialLinkReopen, AVanishedDeviceIsLookedForOnceASecond) {
    test::FakeClock clock;  // the reader's pauses are the only passing time
    auto* line = new test::ScriptedLine;
    std::mutex mutex;
    std::vector<int64_t> attempts;  // the time of each open after the first
    int64_t lost_at = -1;
    auto trace = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        if (text.rfind("Scale link lost", 0) == 0) lost_at = clock.now_ms();
    };
    int opens = 0;
    auto opener = [&](const std::string&,
                      const LineSettings&) -> Result<std::unique_ptr<SerialLine>> {
        std::lock_guard<std::mutex> lock(mutex);
        if (++opens == 1) return std::unique_ptr<SerialLine>(line);
        attempts.push_back(clock.now_ms());
        if (attempts.size() < 4) return Failure{"not there"};
        return std::unique_ptr<SerialLine>(new test::ScriptedLine);
    };
    SerialLink link(clock, trace, opener);
    ASSERT_TRUE(link.open("board", LineSettings{}).ok);
    std::atomic<bool> running{true}, reopened{false};
    SerialLink::Reader reader;
    reader.running = [&] { return running.load(); };
    reader.byte = [](uint8_t) {};
    reader.restart = [] {};
    reader.reopened = [&] { reopened = true; };
    std::thread thread([&] { link.run(reader); });
    line->gone();
    const bool back = test::wait_until([&] { return reopened.load(); });
    running = false;
    thread.join();
    ASSERT_TRUE(back);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GE(lost_at, 0);
    std::vector<int64_t> after_loss;
    for (int64_t t : attempts) after_loss.push_back(t - lost_at);
    EXPECT_EQ(after_loss, (std::vector<int64_t>{1000, 2000, 3000, 4000}));
}

}  // namespace
}  // namespace tarvelo
