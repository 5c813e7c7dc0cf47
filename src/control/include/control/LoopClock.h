#pragma once

// The clock of the robot loop: the thread uses the monotonic clock, tests step cycles
// with a clock of their own.

#include <cstdint>

class LoopClock {
public:
    virtual ~LoopClock() = default;
    // Monotonic time in microseconds.
    virtual std::uint64_t NowMicros() = 0;
    // Sleeps until the absolute monotonic time (µs); returns at once when it has passed.
    virtual void SleepUntilMicros(std::uint64_t deadline) = 0;
    // Busy-waits until the absolute time (µs).
    virtual void SpinUntilMicros(std::uint64_t deadline) = 0;
};

// CLOCK_MONOTONIC with clock_nanosleep(TIMER_ABSTIME).
class MonotonicLoopClock : public LoopClock {
public:
    std::uint64_t NowMicros() override;
    void SleepUntilMicros(std::uint64_t deadline) override;
    void SpinUntilMicros(std::uint64_t deadline) override;
};
