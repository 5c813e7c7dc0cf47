// The robot loop's step profile: the slowest cycle since the last reading is handed out
// whole, once, with the time of each group of steps.

#include "control/LoopStepProfile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// One cycle that starts at t and spends us[i] in step i.
void Cycle(LoopStepProfile& profile, std::uint64_t t, const std::uint32_t (&us)[LoopStepProfile::kSteps]) {
    profile.Begin(t);
    for (int i = 0; i < LoopStepProfile::kSteps; ++i) {
        t += us[i];
        profile.Mark(static_cast<LoopStepProfile::Step>(i), t);
    }
    profile.End(t);
}

TEST(LoopStepProfile, TheSlowestCycleIsHandedOutOnceWithItsSteps) {
    LoopStepProfile profile;
    EXPECT_EQ(profile.TakeSlowest().totalUs, 0u);
    Cycle(profile, 1000, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    Cycle(profile, 2000, {1, 2, 3, 400, 5, 6, 7, 8, 9, 10});  // the slow one
    Cycle(profile, 3000, {1, 2, 3, 4, 5, 6, 70, 8, 9, 10});
    const LoopStepProfile::Cycle slow = profile.TakeSlowest();
    EXPECT_EQ(slow.totalUs, 451u);
    EXPECT_EQ(slow.stepUs[LoopStepProfile::SetPoint], 400u);
    EXPECT_EQ(slow.stepUs[LoopStepProfile::Publish], 10u);
    EXPECT_EQ(profile.TakeSlowest().totalUs, 0u) << "handed out twice";

    // After a reading the search starts again: a faster cycle than before counts.
    Cycle(profile, 4000, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
    EXPECT_EQ(profile.TakeSlowest().totalUs, 10u);
}

TEST(LoopStepProfile, AMarkOutsideACycleCountsNothing) {
    LoopStepProfile profile;
    profile.Mark(LoopStepProfile::Sync, 50);  // a held cycle marks nothing in between
    profile.End(60);
    EXPECT_EQ(profile.TakeSlowest().totalUs, 0u);
}

TEST(LoopStepProfile, ConcurrentReaderAlwaysGetsOneWholeCycle) {
    LoopStepProfile profile;
    std::atomic<bool> stop{false};
    // Every cycle spends the same time n in each step, so a whole one has total 10 n.
    std::thread loop([&] {
        std::uint64_t t = 0;
        for (std::uint32_t n = 1; !stop.load(); n = n % 1000 + 1) {
            const std::uint32_t us[LoopStepProfile::kSteps] = {n, n, n, n, n, n, n, n, n, n};
            Cycle(profile, t, us);
            t += 100000;
        }
    });
    for (int i = 0; i < 20000; ++i) {
        const LoopStepProfile::Cycle c = profile.TakeSlowest();
        for (int s = 0; s < LoopStepProfile::kSteps; ++s) ASSERT_EQ(c.stepUs[s] * 10, c.totalUs);
    }
    stop.store(true);
    loop.join();
}

}  // namespace
