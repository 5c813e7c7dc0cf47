// The worker behind the Modbus program loads: the latest job of each slot runs, in slot
// order; Stop waits for the running job and drops the waiting ones; a Post after it runs.
#include "control/LatestJobWorker.h"
#include "robot_master_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <mutex>
#include <string>
#include <vector>

using ControlTest::WaitFor;

namespace {

struct Ran {
    std::mutex mutex;
    std::vector<std::string> names;
    void Add(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex);
        names.push_back(name);
    }
    std::vector<std::string> Get() {
        std::lock_guard<std::mutex> lock(mutex);
        return names;
    }
};

}  // namespace

TEST(LatestJobWorkerConcurrent, LatestPerSlotRunsAndStopDropsWhatWaits) {
    LatestJobWorker worker(2);
    Ran ran;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> busy{false};
    auto holding = [&](const std::string& name) {
        return [&, name] {
            busy.store(true);
            released.wait();
            ran.Add(name);
        };
    };
    worker.Post(1, holding("first"));
    ASSERT_TRUE(WaitFor([&] { return busy.load(); }));
    for (const char* name : {"main a", "main b", "main c"}) worker.Post(0, [&, name] { ran.Add(name); });
    worker.Post(1, [&] { ran.Add("logic"); });
    worker.Post(5, [&] { ran.Add("no such slot"); });
    release.set_value();
    ASSERT_TRUE(WaitFor([&] { return ran.Get().size() == 3u; }));
    EXPECT_EQ(ran.Get(), (std::vector<std::string>{"first", "main c", "logic"}));

    // Stop while a job runs (for 300 ms) and another waits: the running one ends, the
    // waiting one never runs.
    busy.store(false);
    worker.Post(0, [&] {
        busy.store(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ran.Add("held");
    });
    ASSERT_TRUE(WaitFor([&] { return busy.load(); }));
    worker.Post(1, [&] { ran.Add("dropped"); });
    worker.Stop();
    EXPECT_EQ(ran.Get().size(), 4u);
    worker.Post(0, [&] { ran.Add("after"); });
    ASSERT_TRUE(WaitFor([&] { return ran.Get().size() == 5u; }));
    EXPECT_EQ(ran.Get(), (std::vector<std::string>{"first", "main c", "logic", "held", "after"}));
}
