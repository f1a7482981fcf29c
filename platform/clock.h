#pragma once
// Sleeping and time, behind one small interface so that tests can run the real delays of the
// board drivers and the ECR link faster, or not at all.

#include <cstdint>

namespace tarvelo {

struct LocalTime {
    int year = 0;    // e.g. 2024
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..59
};

class Clock {
  public:
    virtual ~Clock() = default;
    virtual void sleep_ms(int ms) = 0;
    // Monotonic milliseconds, for measuring intervals.
    virtual int64_t now_ms() = 0;
    // The same in microseconds, for intervals shorter than a few milliseconds.
    virtual int64_t now_us() { return now_ms() * 1000; }
    virtual LocalTime local_time() = 0;
    // Wall-clock seconds since the epoch (the seed of the CS/KW challenge).
    virtual int64_t epoch_seconds() = 0;
};

class SystemClock : public Clock {
  public:
    void sleep_ms(int ms) override;
    int64_t now_ms() override;
    int64_t now_us() override;
    LocalTime local_time() override;
    int64_t epoch_seconds() override;
};

// Sleeps a fixed fraction of every requested delay (at least 0 ms); monotonic and wall time as
// the system has them. Lets driver tests keep the real sequence of waits at a tenth of the cost.
class ScaledClock : public SystemClock {
  public:
    explicit ScaledClock(int divisor) : divisor_(divisor < 1 ? 1 : divisor) {}
    void sleep_ms(int ms) override;

  private:
    int divisor_;
};

// The process-wide clock that the named free functions use.
Clock& system_clock();

}  // namespace tarvelo
