// The robot loop's outbox with its worker running: the shut-down runs on a thread of its
// own while the worker goes on delivering, and the worker's own actions may stop it.

#include "control/LoopOutbox.h"
#include "testsupport/TestSupport.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr int kPatienceMs = 20000;

// Holds whoever enters until opened.
class Gate {
public:
    void Pass() {
        std::unique_lock<std::mutex> lock(mutex);
        ++entered;
        changed.notify_all();
        changed.wait(lock, [this] { return open; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
    int Entered() {
        std::lock_guard<std::mutex> lock(mutex);
        return entered;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int entered = 0;
};

std::string Numbered(int n) { return "outbox concurrent line " + std::to_string(n); }

TEST(LoopOutboxConcurrent, ALongShutdownLeavesTheWorkerDeliveringAndRunsAgainWhenAskedAgain) {
    LoopOutbox outbox;
    Gate gate;
    std::atomic<int> runs{0};
    std::atomic<std::thread::id> shutdownThread{};
    outbox.shutdownAction = [&] {
        shutdownThread.store(std::this_thread::get_id());
        ++runs;
        gate.Pass();
    };
    TestSupport::LogCapture log;
    outbox.Start();
    outbox.RequestShutdown();
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return gate.Entered() == 1; }, kPatienceMs));
    EXPECT_TRUE(outbox.IsShutdownRunning());
    // A second request while the first runs: the steps run again after it.
    outbox.RequestShutdown();

    // The loop goes on logging at its pace: nothing is dropped while the shut-down waits.
    constexpr int kLines = 200;
    for (int i = 0; i < kLines; ++i) {
        outbox.Line(LogLineKind::Log, "00:00:00:000", Numbered(i).c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return log.Count("outbox concurrent line ") == kLines; }, kPatienceMs))
        << log.Count("outbox concurrent line ");
    EXPECT_EQ(outbox.Dropped(), 0);
    EXPECT_EQ(runs.load(), 1);

    gate.Open();
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return runs.load() == 2 && !outbox.IsShutdownRunning(); }, kPatienceMs));
    outbox.Stop();
    EXPECT_NE(shutdownThread.load(), std::this_thread::get_id());
    EXPECT_EQ(runs.load(), 2);
}

TEST(LoopOutboxConcurrent, StopWaitsForTheShutdownInProgress) {
    LoopOutbox outbox;
    std::atomic<bool> done{false};
    outbox.shutdownAction = [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        done.store(true);
    };
    outbox.Start();
    outbox.RequestShutdown();
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return outbox.IsShutdownRunning() || done.load(); }, kPatienceMs));
    outbox.Stop();
    EXPECT_TRUE(done.load());
}

TEST(LoopOutboxConcurrent, AnActionOfTheWorkerMayStopItAndWhatFollowsIsStillDelivered) {
    static LoopOutbox* current = nullptr;
    static std::atomic<int> stopsReturned{0};
    static std::atomic<int> events{0};
    stopsReturned = 0;
    events = 0;
    LoopOutbox outbox;
    current = &outbox;
    // The first event stops the outbox from the worker's own delivery.
    const auto stopping = [](HVPEventType, int, int, const std::string&) {
        ++events;
        current->Stop();
        ++stopsReturned;
    };
    const auto counting = [](HVPEventType, int, int, const std::string&) { ++events; };
    TestSupport::LogCapture log;
    outbox.Start();
    outbox.PostEvent(stopping, HVP_EVENT_END, 1, 0, "stop");
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return stopsReturned.load() == 1; }, kPatienceMs))
        << "Stop from the worker's own action did not return";
    EXPECT_FALSE(outbox.IsWorkerRunning());
    // Posted after the stop: the next Stop delivers it and joins the worker.
    outbox.PostEvent(counting, HVP_EVENT_END, 2, 0, "after");
    outbox.Line(LogLineKind::Log, "00:00:00:000", "outbox line after the stop");
    outbox.Stop();
    EXPECT_EQ(events.load(), 2);
    EXPECT_TRUE(log.Contains("outbox line after the stop"));
    // And it starts again.
    outbox.Start();
    EXPECT_TRUE(outbox.IsWorkerRunning());
    outbox.PostEvent(counting, HVP_EVENT_END, 3, 0, "restarted");
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return events.load() == 3; }, kPatienceMs));
    outbox.Stop();
    current = nullptr;
}

}  // namespace
