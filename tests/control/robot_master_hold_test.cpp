// The hold hand-over between commands and the robot loop, the command lock on the loop
// thread, and the published state.
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicNull.h"
#include "recording_protocol.h"
#include "robot_master_support.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using ControlTest::RecordingProtocol;

// The stand-in loop: the master's own loop thread, whose full cycles call the hardware
// the way the robot loop's cycle begins (SendSync).
class StandInMaster : public RobotMaster {
public:
    void FullCycleWork() override {
        GetHardware()->SendSync();
        ApplyRequests();
    }
};

// A stand-in master on a recording protocol, without a robot file; Start releases the
// hold as FinishInit does.
class HoldFixture {
public:
    HoldFixture(int cycleMs, int timingMode) {
        RobotMasterTestAccess::Kinematic(master) = std::make_unique<RobotKinematicNull>();
        auto recording = std::make_unique<RecordingProtocol>(master.GetKinematic());
        protocol = recording.get();
        master.SetHardwareProtocol(std::move(recording));
        protocol->Observe(&master);
        protocol->Clear();
        RobotMasterTestAccess::CycleTimeMs(master).store(cycleMs);
        RobotMasterTestAccess::TimingMode(master).store(timingMode);
    }
    ~HoldFixture() { master.StopMainLoop(); }
    void Start() {
        RobotMasterTestAccess::InitHold(master).store(false);
        master.StartMainLoop();
    }

    StandInMaster master;
    RecordingProtocol* protocol = nullptr;
};

// One drive command as the command members run it: lock, hold, two hardware calls.
void StandInCommand(RobotMaster& m, RecordingProtocol& p) {
    CommandLock lock(m);
    HoldScope hold(m, 1, 0);
    p.ResetError();
    p.EnableMotors(true);
}

struct LoopCase {
    int cycleMs;
    int timingMode;
    int runMs;
};

class ConcurrentHoldHandOver : public ::testing::TestWithParam<LoopCase> {};

TEST_P(ConcurrentHoldHandOver, CommandsCallTheHardwareOnlyUnderAnAcknowledgedHold) {
    const LoopCase c = GetParam();
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    HoldFixture f(c.cycleMs, c.timingMode);
    f.Start();
    ASSERT_TRUE(ControlTest::WaitFor([&] { return f.protocol->syncCount.load() > 0; }));

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    std::atomic<int> commands{0};
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                StandInCommand(f.master, *f.protocol);
                commands.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(c.runMs));
    stop.store(true);
    for (std::thread& t : threads) t.join();
    EXPECT_GT(commands.load(), 3);

    // Every command-thread call ran under an acknowledged hold, and no loop cycle called
    // the hardware between a command's first and last call.
    bool inCommand = false;
    int loopCalls = 0;
    int commandCalls = 0;
    for (const RecordingProtocol::Call& call : f.protocol->Calls()) {
        if (call.onLoopThread) {
            ++loopCalls;
            EXPECT_FALSE(inCommand) << call.name << " of the loop inside a command";
            // A command may raise its hold after the loop read it; it then waits for the
            // acknowledgement, which comes only after this cycle.
            EXPECT_FALSE(call.held && call.acknowledged) << call.name;
            continue;
        }
        ++commandCalls;
        EXPECT_TRUE(call.held) << call.name;
        EXPECT_TRUE(call.acknowledged) << call.name;
        if (call.name == "ResetError") {
            EXPECT_FALSE(inCommand) << "two commands at once";
            inCommand = true;
        } else if (call.name == "EnableMotors") {
            EXPECT_TRUE(inCommand);
            inCommand = false;
        }
    }
    EXPECT_GT(loopCalls, 0);
    EXPECT_EQ(commandCalls, 2 * commands.load());
    EXPECT_EQ(f.master.GetHoldAcknowledged(), f.master.GetHoldRequests());
    EXPECT_FALSE(f.master.IsHeld());
}

INSTANTIATE_TEST_SUITE_P(StandInLoop, ConcurrentHoldHandOver,
                         ::testing::Values(LoopCase{200, 2, 1500}, LoopCase{4, 1, 500}),
                         [](const ::testing::TestParamInfo<LoopCase>& info) {
                             return "Cycle" + std::to_string(info.param.cycleMs) + "msMode" +
                                    std::to_string(info.param.timingMode);
                         });

TEST(HoldHandOver, WithoutALoopTheHoldIsAcknowledgedAtOnce) {
    HoldFixture f(200, 2);
    const auto start = std::chrono::steady_clock::now();
    {
        CommandLock lock(f.master);
        HoldScope hold(f.master, 0, 0);
        EXPECT_TRUE(hold.Acknowledged());
        EXPECT_TRUE(f.master.IsHeld());
        f.protocol->ResetError();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    const auto calls = f.protocol->CallsNamed("ResetError");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].acknowledged);
    EXPECT_TRUE(f.master.IsHeld());  // the start-up hold stays until FinishInit
}

TEST(ConcurrentLoopHold, IdlePassesAcknowledgeToo) {
    LogSingleton::instance()->set_opMode(OPMODE_CAN_BRIDGE);
    {
        HoldFixture f(200, 2);
        f.Start();
        {
            CommandLock lock(f.master);
            HoldScope hold(f.master, 0, 0);
            EXPECT_TRUE(hold.Acknowledged());
        }
        EXPECT_EQ(f.protocol->syncCount.load(), 0);  // idle: no cycle work
    }
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
}

TEST(ConcurrentLoopHold, SeriousFailureDisconnectsOnceInTheIdlePass) {
    LogSingleton::instance()->set_opMode(OPMODE_SERIOUS_FAILURE);
    {
        HoldFixture f(20, 2);
        f.protocol->connected.store(true);
        f.Start();
        EXPECT_TRUE(ControlTest::WaitFor([&] { return !f.protocol->connected.load(); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        EXPECT_EQ(f.protocol->CallsNamed("Disconnect").size(), 1u);
    }
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
}

TEST(ConcurrentLoopHold, OnTheLoopThreadACommandRunsOnlyWhenTheLockIsFree) {
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    HoldFixture f(10, 2);
    std::atomic<int> acquired{0};
    std::atomic<int> refused{0};
    std::atomic<bool> waitedForAHold{false};
    f.protocol->onSendSync = [&] {
        const std::uint64_t before = f.master.GetHoldRequests();
        CommandLock lock(f.master);
        (lock.Acquired() ? acquired : refused).fetch_add(1);
        if (!lock.Acquired()) return;
        HoldScope hold(f.master, 50, 50);  // skipped on the loop thread: no hand-over, no waits
        if (f.master.GetHoldRequests() != before || f.master.IsHeld()) waitedForAHold.store(true);
    };
    f.protocol->RecordCycleCalls(false);
    f.Start();
    ASSERT_TRUE(ControlTest::WaitFor([&] { return acquired.load() >= 3; }));
    {
        // Another thread holds the command lock (without a hold): the loop's try-lock fails.
        std::lock_guard<std::recursive_mutex> busy(RobotMasterTestAccess::CommandMutex(f.master));
        const int before = refused.load();
        EXPECT_TRUE(ControlTest::WaitFor([&] { return refused.load() > before + 2; }));
    }
    f.master.StopMainLoop();
    EXPECT_FALSE(waitedForAHold.load());
}

// ------------------------------------------------------------------ published state

TEST(ConcurrentPublishedState, ReadersAlwaysGetAWholeCopy) {
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    HoldFixture f(1, 2);
    f.Start();
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const DataTypes::RobotState s = f.master.GetRobotState();
                const std::string expected =
                    "state " + std::to_string(static_cast<int>(s.jointSet[0])) + std::string(30, 'x');
                bool whole = s.errorText == expected || (s.errorText == "n/a" && s.jointSet[0] == 0.0f);
                for (int j = 1; j < 9; ++j) whole = whole && s.jointSet[j] == s.jointSet[0];
                if (!whole) torn.fetch_add(1);
                reads.fetch_add(1);
            }
        });
    }
    // A command changes the live state under its acknowledged hold, as drive commands do.
    for (int k = 1; k <= 50; ++k) {
        CommandLock lock(f.master);
        HoldScope hold(f.master, 0, 0);
        std::lock_guard<std::mutex> publish(RobotMasterTestAccess::PublishMutex(f.master));
        for (float& v : RobotMasterTestAccess::LiveState(f.master).jointSet) v = static_cast<float>(k);
        // Longer than a short-string buffer, so a torn copy would show.
        RobotMasterTestAccess::LiveState(f.master).errorText = "state " + std::to_string(k) + std::string(30, 'x');
    }
    EXPECT_TRUE(ControlTest::WaitFor([&] { return f.master.GetRobotState().jointSet[0] == 50.0f; }));
    stop.store(true);
    for (std::thread& t : readers) t.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0);
}

TEST(ConcurrentLoopRequests, OutputAndVelocityRequestsReachTheLiveStateInOrder) {
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    HoldFixture f(5, 2);
    RobotMasterTestAccess::Requests(f.master).dout[3].store(LoopRequests::kOn);
    RobotMasterTestAccess::Requests(f.master).gsig[99].store(LoopRequests::kOn);
    RobotMasterTestAccess::Requests(f.master).ioChange.fetch_add(1);
    RobotMasterTestAccess::LiveState(f.master).jointVel[6] = 5.0f;
    RobotMasterTestAccess::Requests(f.master).storeProgramVelocities.store(true);
    RobotMasterTestAccess::Requests(f.master).resetVelocities.store(true);
    RobotMasterTestAccess::Requests(f.master).restoreProgramVelocities.store(true);
    f.Start();
    EXPECT_TRUE(ControlTest::WaitFor([&] {
        const DataTypes::RobotState s = f.master.GetRobotState();
        return s.DOut[3] && s.GSig[99];
    }));
    const DataTypes::RobotState s = f.master.GetRobotState();
    EXPECT_FLOAT_EQ(s.jointVel[6], 5.0f);  // stored, reset, then restored
    EXPECT_FLOAT_EQ(s.jointVelProgram[6], 0.0f);
}

}  // namespace
