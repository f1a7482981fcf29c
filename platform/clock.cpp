#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace tarvelo {

void SystemClock::sleep_ms(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int64_t SystemClock::now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t SystemClock::now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

LocalTime SystemClock::local_time() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour,        tm.tm_min,     tm.tm_sec};
}

int64_t SystemClock::epoch_seconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

void ScaledClock::sleep_ms(int ms) {
    if (ms <= 0) return;
    int scaled = ms / divisor_;
    if (scaled > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(scaled));
    else
        std::this_thread::sleep_for(std::chrono::microseconds(ms * 1000 / divisor_ + 100));
}

Clock& system_clock() {
    static SystemClock* clock = new SystemClock;  // never destroyed: worker threads outlive main
    return *clock;
}

}  // namespace tarvelo
