// Cycle timing mode and the loop's microsecond clock.
#include "control/LoopClock.h"
#include "control/RobotMaster.h"

#include "core/LogSingleton.h"

#include <cerrno>
#include <ctime>

std::uint64_t ToMicroSec(const timespec& t) {
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000ULL +
           static_cast<std::uint64_t>(t.tv_nsec) / 1000ULL;
}

timespec FromMicroSec(std::uint64_t us) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(us / 1000000ULL);
    t.tv_nsec = static_cast<long>((us % 1000000ULL) * 1000ULL);
    return t;
}

void RobotMaster::UpdateTimingMode() {
    LogSingleton* log = LogSingleton::instance();
    if (TimingMode.load() == 0) {
        // CANopen drives follow a synchronised bus: align the cycles to the period.
        TimingMode.store(protocolName.compare(0, 7, "CANopen") == 0 ? 1 : 2);
    }
    switch (TimingMode.load()) {
        case 1:
            log->add("RobotMaster: Timing mode: Mode 1");
            break;
        case 2:
            log->add("RobotMaster: Timing mode: Mode 2");
            break;
        case 0:
            log->SeriousFailure("RobotMaster: Timing mode auto detection failed", "00 timing not init'd");
            break;
        default:
            log->SeriousFailure("RobotMaster: Timing mode: unknown mode", "00 invalid timing");
            break;
    }
}

std::uint64_t MonotonicLoopClock::NowMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return ToMicroSec(now);
}

void MonotonicLoopClock::SleepUntilMicros(std::uint64_t deadline) {
    const timespec target = FromMicroSec(deadline);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr) == EINTR) {
        // A signal: sleep on to the same absolute time.
    }
}

void MonotonicLoopClock::SpinUntilMicros(std::uint64_t deadline) {
    while (NowMicros() < deadline) {
    }
}
