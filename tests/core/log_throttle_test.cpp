#include "core/LogThrottle.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace {

using Clock = LogThrottle::Clock;
using std::chrono::milliseconds;

int Admitted(LogThrottle& throttle, std::uint64_t key, int lines, Clock::time_point at) {
    int n = 0;
    for (int i = 0; i < lines; ++i) n += throttle.Admit(key, at) ? 1 : 0;
    return n;
}

// A steady flood of one key: ten lines a window, the rest counted and reported once the
// next window opens, before its first line.
TEST(LogThrottle, FloodOfOneKeyIsCutToTheBudgetAndCounted) {
    TestSupport::LogCapture capture;
    LogThrottle throttle("test flood");
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(10, Admitted(throttle, 7, 2000, t0));
    EXPECT_EQ(0, capture.Count("test flood"));
    EXPECT_EQ(1990u, throttle.SuppressedTotal());
    EXPECT_EQ(0, Admitted(throttle, 7, 5, t0 + milliseconds(999)));

    EXPECT_TRUE(throttle.Admit(7, t0 + milliseconds(1000)));
    EXPECT_EQ(1, capture.Count("test flood: 1995 similar lines suppressed"));
    EXPECT_EQ(9, Admitted(throttle, 7, 9, t0 + milliseconds(1500)));
    EXPECT_FALSE(throttle.Admit(7, t0 + milliseconds(1500)));
}

// Different keys have budgets of their own, up to the total of the kind.
TEST(LogThrottle, KeysHaveTheirOwnBudgetUpToTheTotal) {
    struct Case {
        const char* name;
        int perKey;
        int total;
        int keys;
        int linesPerKey;
        int admitted;
    };
    const Case cases[] = {
        {"two keys", 10, 50, 2, 20, 20},
        {"total reached", 10, 50, 8, 10, 50},
        {"alternating many keys", 10, 30, 100, 1, 30},
        {"below every budget", 10, 50, 3, 3, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogThrottle throttle("test keys", c.perKey, c.total);
        const Clock::time_point t0 = Clock::now();
        int admitted = 0;
        for (int line = 0; line < c.linesPerKey; ++line) {
            for (int key = 0; key < c.keys; ++key) {
                admitted += throttle.Admit(static_cast<std::uint64_t>(key), t0) ? 1 : 0;
            }
        }
        EXPECT_EQ(c.admitted, admitted);
        EXPECT_EQ(static_cast<std::uint64_t>(c.keys * c.linesPerKey - c.admitted), throttle.SuppressedTotal());
    }
}

// When the flood stops, Flush reports the count once the window is over, and only once.
TEST(LogThrottle, FlushReportsAnEndedWindowOnce) {
    TestSupport::LogCapture capture;
    LogThrottle throttle("test flush", 2, 50);
    const Clock::time_point t0 = Clock::now();
    Admitted(throttle, 1, 5, t0);
    throttle.Flush(t0 + milliseconds(500));
    EXPECT_EQ(0, capture.Count("test flush"));
    throttle.Flush(t0 + milliseconds(1000));
    throttle.Flush(t0 + milliseconds(3000));
    EXPECT_EQ(1, capture.Count("test flush: 3 similar lines suppressed"));
    EXPECT_EQ(1, capture.Count("test flush"));
}

// A key pushed out of the table by newer keys reports what it held back.
TEST(LogThrottle, EvictedKeyReportsItsCount) {
    TestSupport::LogCapture capture;
    LogThrottle throttle("test evict", 1, 1000);
    const Clock::time_point t0 = Clock::now();
    Admitted(throttle, 1000, 4, t0);
    for (int key = 0; key < LogThrottle::kKeySlots; ++key) {
        throttle.Admit(static_cast<std::uint64_t>(key), t0 + milliseconds(1 + key));
    }
    EXPECT_EQ(1, capture.Count("test evict: 3 similar lines suppressed"));
}

// A flood of ever new keys pushes keys out all the time: their counts come in one line at
// once and one summed line when the window is over, not one line each; none is lost.
TEST(LogThrottle, KeysPushedOutInOneWindowShareOneCountLine) {
    TestSupport::LogCapture capture;
    LogThrottle throttle("test many", 1, 100000);
    const Clock::time_point t0 = Clock::now();
    const int keys = 1000;
    for (int key = 0; key < keys; ++key) {
        EXPECT_EQ(1, Admitted(throttle, static_cast<std::uint64_t>(key), 2, t0));
    }
    EXPECT_EQ(1, capture.Count("test many: "));
    throttle.Flush(t0 + milliseconds(1000));
    unsigned long long reported = 0;
    int countLines = 0;
    for (const std::string& line : capture.Lines()) {
        const std::size_t at = line.find("test many: ");
        if (at == std::string::npos) continue;
        ++countLines;
        reported += std::stoull(line.substr(at + 11));
    }
    EXPECT_EQ(static_cast<unsigned long long>(keys), reported);
    EXPECT_EQ(2 + LogThrottle::kKeySlots, countLines) << "one at once, one sum, one per key still in the table";
}

}  // namespace
