#include "motion/PathGenerator.h"

#include "PathGeneratorFakes.h"
#include "core/LogSingleton.h"
#include "testsupport/TestSupport.h"
#include "testsupport/PathGeneratorTestAccess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

// A planner whose computation the test scripts: it records each request it plans,
// optionally throws, and runs until cancelled when asked to.
class ScriptedGenerator : public PathGenerator {
public:
    explicit ScriptedGenerator(int lookAhead) : PathGenerator(lookAhead) {}
    ~ScriptedGenerator() override { StopThreads(); }

    std::function<void()> thrower;
    std::atomic<bool> runUntilCancelled{false};
    std::atomic<bool> computing{false};
    std::atomic<int> cancelledRuns{0};

    // Planning thread only (mutex held); read by the test after the threads ended.
    std::map<int, int> plannedCount;
    // Published plan: the first command's program index; read after IsPathAvailable.
    int plannedIndex = -1;
    int plannedCommands = 0;

    void ComputePath() override {
        const int index = cmdIndices[0];
        ++plannedCount[index];
        // The lists must be whole: every command of the request carries its own index.
        for (int i = 0; i < cmdCount; ++i) {
            if (!cmds[i] || cmds[i]->next != cmdIndices[i]) throw std::logic_error("torn request");
        }
        if (thrower) thrower();
        computing.store(true);
        while (runUntilCancelled.load() && !cancelRequested.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        computing.store(false);
        if (cancelRequested.load()) {
            cancelledRuns.fetch_add(1);
            return;
        }
        plannedIndex = index;
        plannedCommands = cmdCount;
        pathAvailable.store(true, std::memory_order_release);
    }
    int GetJointPosition(long, float*, int* cmdIndex) override {
        *cmdIndex = plannedIndex;
        return plannedIndex;
    }
    void InitVelAcc(float*, float*, float*, double, double, double, double, double, double) override {}
    void Init(bool, int, bool) override {}
    void SetFirstCmd(std::shared_ptr<Command> command, DataTypes::RobotState*, int index,
                     int successor) override {
        LockPreempting();
        SetPathUnavailable();
        BeginRequest(std::move(command), index, successor);
        mutex.unlock();
    }
};

std::shared_ptr<Command> Tagged(int index) {
    auto c = std::make_shared<Command>();
    c->next = index;
    return c;
}

// The result callback is a plain function pointer, so its record is file-wide.
struct CallbackRecord {
    std::mutex m;
    std::vector<std::string> texts;
    int event = 0, a = 99, b = 99;
    bool generatorMutexFree = false;
};
CallbackRecord gRecord;
PathGenerator* gProbe = nullptr;

void RecordCallback(HVPEventType event, int a, int b, const std::string& text) {
    std::lock_guard<std::mutex> lock(gRecord.m);
    gRecord.event = event;
    gRecord.a = a;
    gRecord.b = b;
    gRecord.texts.push_back(text);
    if (gProbe != nullptr && PathGeneratorTestAccess::Mutex(*gProbe).try_lock()) {
        gRecord.generatorMutexFree = true;
        PathGeneratorTestAccess::Mutex(*gProbe).unlock();
    }
}

class PathGeneratorTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(gRecord.m);
        gRecord.texts.clear();
        gRecord.event = 0;
        gRecord.a = gRecord.b = 99;
        gRecord.generatorMutexFree = false;
    }
    void TearDown() override { gProbe = nullptr; }

    // One request of one command, planned to its end.
    static void RunRequest(ScriptedGenerator& g, int index) {
        DataTypes::RobotState state;
        g.SetFirstCmd(Tagged(index), &state, index, index + 1);
        g.ComputePathStartThread();
        ASSERT_TRUE(WaitFor([&] { return !g.IsThreadRunning(); }));
    }
};

TEST(AccHandlerTest, ConstructionRequestAndReset) {
    AccHandler h(300.0f, 2.0f);
    EXPECT_FLOAT_EQ(h.percent, 100.0f);
    EXPECT_FLOAT_EQ(h.factor, 2.0f);
    h.accBase[4] = 50.0f;
    h.percent = 40.0f;
    h.RequestAcc(12345.0f);  // the argument does not enter
    EXPECT_FLOAT_EQ(h.acc[0], 120.0f);
    EXPECT_FLOAT_EQ(h.acc[4], 20.0f);
    EXPECT_FLOAT_EQ(h.acc[8], 120.0f);
    h.ResetAcc();
    for (float a : h.acc) EXPECT_EQ(a, 0.0f);
}

TEST_F(PathGeneratorTest, LookAheadIsClampedAndSizesTheLists) {
    struct Case {
        int requested;
        int used;
        bool logged;
    };
    const Case cases[] = {{-1, 1, true}, {0, 1, true}, {1, 1, false}, {5, 5, false},
                          {PathGenerator::kMaxLookAhead, PathGenerator::kMaxLookAhead, false},
                          {1000000, PathGenerator::kMaxLookAhead, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested);
        TestSupport::LogCapture capture;
        ScriptedGenerator g(c.requested);
        EXPECT_EQ(g.GetLookAhead(), c.used);
        EXPECT_EQ(PathGeneratorTestAccess::Cmds(g).size(), static_cast<size_t>(c.used + 1));
        EXPECT_EQ(PathGeneratorTestAccess::CmdIndices(g).size(), static_cast<size_t>(c.used + 1));
        EXPECT_EQ(PathGeneratorTestAccess::Successors(g).size(), static_cast<size_t>(c.used + 1));
        EXPECT_EQ(PathGeneratorTestAccess::Times(g).size(), static_cast<size_t>(2 * (c.used + 1)));
        EXPECT_EQ(capture.Contains("PathGen: LookAhead"), c.logged);
    }
}

TEST_F(PathGeneratorTest, SetNextCmdStopsAtTheLookAhead) {
    for (int lookAhead : {1, 3}) {
        SCOPED_TRACE(lookAhead);
        ScriptedGenerator g(lookAhead);
        DataTypes::RobotState state;
        g.SetFirstCmd(Tagged(0), &state, 0, 1);
        TestSupport::LogCapture capture;
        for (int i = 1; i <= lookAhead; ++i) g.SetNextCmd(Tagged(i), i, i + 1);
        EXPECT_EQ(PathGeneratorTestAccess::CmdCount(g), lookAhead);
        EXPECT_EQ(capture.Count("PathGen: Could not set Position, look-ahead is limited to " +
                                std::to_string(lookAhead)),
                  1);
        EXPECT_EQ(PathGeneratorTestAccess::CmdIndices(g)[lookAhead - 1], lookAhead - 1);
        EXPECT_EQ(PathGeneratorTestAccess::Successors(g)[lookAhead - 1], lookAhead);
    }
}

TEST_F(PathGeneratorTest, FaultsBecomeResultErrorAndEventOutsideTheLock) {
    struct Case {
        const char* name;
        std::function<void()> thrower;
        const char* logLine;
        const char* eventText;
    };
    const Case cases[] = {
        {"invalid_argument", [] { throw std::invalid_argument("bad value"); },
         "Invalid argument during path generation: bad value", "PathGen ERROR: bad value"},
        {"runtime_error", [] { throw std::runtime_error("no way"); },
         "Exception during path generation: no way", "PathGen ERROR: no way"},
        {"int", [] { throw 5; }, "int-exception during path generation: 5", "PathGen ERROR: 5"},
    };
    for (const Case& c : cases) {
        for (bool withCallback : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (withCallback ? " with callback" : " without"));
            SetUp();
            ScriptedGenerator g(2);
            gProbe = &g;
            g.thrower = c.thrower;
            if (withCallback) g.SetResultCallback(&RecordCallback);
            TestSupport::LogCapture capture;
            RunRequest(g, 7);
            EXPECT_TRUE(capture.Contains(c.logLine));
            EXPECT_EQ(g.GetResult(), -1);
            EXPECT_FALSE(g.IsPathAvailable());
            std::lock_guard<std::mutex> lock(gRecord.m);
            if (withCallback) {
                ASSERT_EQ(gRecord.texts.size(), 1u);
                EXPECT_EQ(gRecord.texts[0], c.eventText);
                EXPECT_EQ(gRecord.event, 13);
                EXPECT_EQ(gRecord.a, 0);
                EXPECT_EQ(gRecord.b, 0);
                EXPECT_TRUE(gRecord.generatorMutexFree);
            } else {
                EXPECT_TRUE(gRecord.texts.empty());
            }
            // The mutex was released: the next request plans normally.
            g.thrower = nullptr;
            g.ClearResult();
            RunRequest(g, 8);
            EXPECT_TRUE(g.IsPathAvailable());
            EXPECT_EQ(g.plannedIndex, 8);
        }
    }
}

TEST_F(PathGeneratorTest, RequestCountsAsRunningBeforeItsThreadStarts) {
    ScriptedGenerator g(1);
    DataTypes::RobotState state;
    g.SetFirstCmd(Tagged(3), &state, 3, 4);
    // Holding the mutex keeps the planning thread waiting: the request must already show
    // as running, so the interpreter does not ask for it again.
    PathGeneratorTestAccess::Mutex(g).lock();
    g.ComputePathStartThread();
    EXPECT_TRUE(g.IsThreadRunning());
    EXPECT_FALSE(g.IsPathAvailable());
    PathGeneratorTestAccess::Mutex(g).unlock();
    ASSERT_TRUE(WaitFor([&] { return !g.IsThreadRunning(); }));
    EXPECT_TRUE(g.IsPathAvailable());
    EXPECT_EQ(g.plannedCount[3], 1);
}

TEST_F(PathGeneratorTest, RequestStartedTwiceIsPlannedOnce) {
    ScriptedGenerator g(1);
    DataTypes::RobotState state;
    g.SetFirstCmd(Tagged(3), &state, 3, 4);
    g.ComputePathStartThread();
    g.ComputePathStartThread();
    ASSERT_TRUE(WaitFor([&] { return !g.IsThreadRunning(); }));
    EXPECT_TRUE(g.IsPathAvailable());
    EXPECT_EQ(g.plannedCount[3], 1);
}

TEST_F(PathGeneratorTest, NewerRequestCancelsTheRunningComputation) {
    ScriptedGenerator g(3);
    g.runUntilCancelled.store(true);
    DataTypes::RobotState state;
    g.SetFirstCmd(Tagged(1), &state, 1, 2);
    g.ComputePathStartThread();
    ASSERT_TRUE(WaitFor([&] { return g.computing.load(); }));

    // Blocks until the running computation has given up the mutex.
    g.SetFirstCmd(Tagged(5), &state, 5, 6);
    g.SetNextCmd(Tagged(6), 6, 7);
    EXPECT_EQ(g.cancelledRuns.load(), 1);
    EXPECT_FALSE(g.IsPathAvailable());
    g.runUntilCancelled.store(false);
    g.ComputePathStartThread();
    ASSERT_TRUE(WaitFor([&] { return !g.IsThreadRunning(); }));
    ASSERT_TRUE(g.IsPathAvailable());
    EXPECT_EQ(g.plannedIndex, 5);
    EXPECT_EQ(g.plannedCommands, 2);
}

TEST_F(PathGeneratorTest, DestructionWaitsForARunningComputation) {
    auto g = std::make_unique<ScriptedGenerator>(1);
    g->runUntilCancelled.store(true);
    DataTypes::RobotState state;
    g->SetFirstCmd(Tagged(1), &state, 1, 2);
    g->ComputePathStartThread();
    ASSERT_TRUE(WaitFor([&] { return g->computing.load(); }));
    g.reset();  // a use after free here shows under the sanitizers
}

TEST(PathGeneratorHelpers, SignumAndMaximum) {
    EXPECT_EQ(PathGenerator::signum(2.5f), 1.0f);
    EXPECT_EQ(PathGenerator::signum(0.0f), 0.0f);
    EXPECT_EQ(PathGenerator::signum(-0.1f), -1.0f);
    EXPECT_EQ(PathGenerator::maximum(-3, 4), 4);
    EXPECT_EQ(PathGenerator::maximum(9, 4), 9);
}

// Runs under ThreadSanitizer in CI: requests, re-requests and cancels from the robot
// side, interleaved at random with the planning threads; every finished path must be the
// newest request's, planned once, from whole command lists.
TEST_F(PathGeneratorTest, ConcurrentRequestsCancelsAndPublishNewestWins) {
    ScriptedGenerator g(3);
    std::mt19937 rng(20240607u);
    std::uniform_int_distribution<int> action(0, 9);
    std::uniform_int_distribution<int> pause(0, 300);
    DataTypes::RobotState state;
    int newest = -1;
    for (int i = 0; i < 1000; ++i) {
        g.SetFirstCmd(Tagged(i), &state, i, i + 1);
        const int extra = i % 3;
        for (int k = 1; k <= extra; ++k) {
            auto c = Tagged(i);
            g.SetNextCmd(c, i, i + 1);
        }
        g.ComputePathStartThread();
        newest = i;
        switch (action(rng)) {
            case 0:  // the interpreter drops the path again
                g.SetPathUnavailable();
                break;
            case 1:  // the same request started twice
                g.ComputePathStartThread();
                break;
            case 2:  // wait for this request and read its plan
                ASSERT_TRUE(WaitFor([&] { return g.IsPathAvailable(); }));
                {
                    int index = -2;
                    float joints[9];
                    EXPECT_EQ(g.GetJointPosition(0, joints, &index), newest);
                    EXPECT_EQ(index, newest);
                }
                break;
            default:
                std::this_thread::sleep_for(std::chrono::microseconds(pause(rng)));
                break;
        }
        // Whatever is published is the newest request's.
        if (g.IsPathAvailable()) {
            int index = -2;
            float joints[9];
            g.GetJointPosition(0, joints, &index);
            EXPECT_EQ(index, newest);
        }
    }
    ASSERT_TRUE(WaitFor([&] { return g.IsPathAvailable() || !g.IsThreadRunning(); }));
    ASSERT_TRUE(WaitFor([&] { return !g.IsThreadRunning(); }));
    if (!g.IsPathAvailable()) {  // the last action dropped it: plan it once more
        g.SetFirstCmd(Tagged(newest), &state, newest, newest + 1);
        g.ComputePathStartThread();
        ASSERT_TRUE(WaitFor([&] { return !g.IsThreadRunning(); }));
    }
    ASSERT_TRUE(g.IsPathAvailable());
    EXPECT_EQ(g.plannedIndex, newest);
    EXPECT_EQ(g.GetResult(), 0);
    for (const auto& entry : g.plannedCount) {
        EXPECT_LE(entry.second, entry.first == newest ? 2 : 1) << "request " << entry.first;
    }
}

}  // namespace
