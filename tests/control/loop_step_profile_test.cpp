// The robot loop's step profile: the slowest cycle since the last reading is handed out
// whole, once, with the time of each group of steps.

#include "control/LoopStepProfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

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

// The loop runs quick cycles with a slow one now and then, each slower than the one before;
// a reader takes the slowest over and over. Once the reader knows a slow cycle has ended,
// the take after its next one must have handed out that cycle or a slower one: a take
// that overlaps the slow cycle's hand-over may miss it, the next one may not.
TEST(LoopStepProfile, ConcurrentRisingSlowCyclesAreNeverLost) {
    constexpr int kSlow = 20000;
    LoopStepProfile profile;
    std::atomic<int> lastSlow{-1};  // the slow cycles handed over so far
    std::thread loop([&] {
        std::uint64_t t = 0;
        const std::uint32_t quick[LoopStepProfile::kSteps] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
        for (int k = 0; k < kSlow; ++k) {
            // Slow cycle k spends 100 + k in each step.
            const std::uint32_t n = 100 + static_cast<std::uint32_t>(k);
            const std::uint32_t slow[LoopStepProfile::kSteps] = {n, n, n, n, n, n, n, n, n, n};
            Cycle(profile, t, slow);
            t += 100000;
            lastSlow.store(k, std::memory_order_release);
            for (int q = 0; q < 3; ++q) {
                Cycle(profile, t, quick);
                t += 100000;
            }
        }
    });
    // taken[j]: the total take j handed out; known[j]: the last slow cycle ended before take j+1.
    std::vector<std::uint32_t> taken;
    std::vector<int> known;
    taken.reserve(4 * kSlow);
    known.reserve(4 * kSlow);
    bool done = false;
    while (!done) {
        done = lastSlow.load(std::memory_order_acquire) == kSlow - 1;
        taken.push_back(profile.TakeSlowest().totalUs);
        known.push_back(lastSlow.load(std::memory_order_acquire));
    }
    loop.join();
    taken.push_back(profile.TakeSlowest().totalUs);
    known.push_back(kSlow - 1);
    taken.push_back(profile.TakeSlowest().totalUs);
    known.push_back(kSlow - 1);

    // best[j]: the slowest handed out by takes 0 .. j.
    std::vector<std::uint32_t> best(taken.size());
    for (std::size_t i = 0; i < taken.size(); ++i) best[i] = std::max(taken[i], i > 0 ? best[i - 1] : 0u);
    int lost = 0;
    std::size_t j = 0;
    for (int k = 0; k < kSlow; ++k) {
        while (known[j] < k) ++j;
        const std::size_t by = std::min(j + 1, taken.size() - 1);
        if (best[by] < 10 * (100 + static_cast<std::uint32_t>(k))) ++lost;
    }
    EXPECT_EQ(lost, 0) << "of " << kSlow << " slow cycles, in " << taken.size() << " takes";
}

}  // namespace
