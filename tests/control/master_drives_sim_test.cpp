// Drive commands from three threads against simulated version-2 drives on the virtual bus,
// with the master's loop running: the frames each command puts on the bus come in the
// command's order, commands never interleave, and no cycle frame falls inside a command.

#include "robot_master_support.h"

#ifdef BELVANTO_HAVE_SIMULATORS

#include "control/RobotMaster.h"
#include "core/Shutdown.h"
#include "drivesim/DriveSimulator.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace ControlTest;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kCommandFrame = 0x01;
constexpr std::uint8_t kCycleFrames[] = {0x14, 0x16, 0x25};  // set-points by mode

enum class DriveCommand { Reset, Enable, ReferenceAll, Zero };

struct Span {
    DriveCommand command;
    Clock::time_point start;
    Clock::time_point end;
};

// The command codes of the frames in order, with repeats (one frame per module) folded.
bool IsCycleFrame(const DriveSim::ReceivedFrame& f) {
    return std::find(std::begin(kCycleFrames), std::end(kCycleFrames), f.frame.data[0]) != std::end(kCycleFrames);
}

std::vector<int> FoldedCodes(const std::vector<DriveSim::ReceivedFrame>& frames) {
    std::vector<int> codes;
    for (const auto& f : frames) {
        const int code = f.frame.data[1];
        if (codes.empty() || codes.back() != code) codes.push_back(code);
    }
    return codes;
}

struct LoopSetting {
    int cycleMs;
    int timingMode;
};

class MasterDrivesSimTest : public VirtualBusTest, public ::testing::WithParamInterface<LoopSetting> {
protected:
    void TearDown() override {
        sim.Stop();
        VirtualBusTest::TearDown();
    }

    // The robot master on version-2 drives of the simulator, connected; the loop not started.
    void StartOnSimulatedDrives(RobotMaster& master, int cycleMs = 0, int timingMode = 0) {
        // The simulated drives have no e-stop circuit: monitoring would find it open.
        const std::string relative = WriteRobot(
            "SimV2", Edit(BaseRobotXml("JXRCANV2"), "<EStopMonitoring DInChannel=\"7\"/>", "<EStopMonitoring DInChannel=\"-1\"/>"));
        std::string error;
        ASSERT_TRUE(sim.LoadRobotFile(FullPath(relative), &error)) << error;
        ASSERT_EQ(0, sim.Start(hubPath));
        master.Init("robot", "SimV2", relative);
        ASSERT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL)
            << LogSingleton::instance()->get_seriousFailReason();
        if (cycleMs > 0) RobotMasterTestAccess::CycleTimeMs(master).store(cycleMs);
        if (timingMode > 0) RobotMasterTestAccess::TimingMode(master).store(timingMode);
        master.GetHardware()->Connect();
        ASSERT_TRUE(master.GetHardware()->GetConnectionStatus());
    }

    DriveSim::DriveSimulator sim;
};

}  // namespace

TEST_P(MasterDrivesSimTest, CommandsFromThreeThreadsKeepTheirFramesTogether) {
    const LoopSetting setting = GetParam();
    RobotMaster master;
    ASSERT_NO_FATAL_FAILURE(StartOnSimulatedDrives(master, setting.cycleMs, setting.timingMode));
    master.FinishInit();

    // Each command runs inside the command mutex taken here as well, so its span is exactly
    // the time it owns the drives; the pause after it lets its last frames cross the hub.
    std::mutex spansMutex;
    std::vector<Span> spans;
    auto run = [&](DriveCommand command) {
        std::lock_guard<std::recursive_mutex> lock(RobotMasterTestAccess::CommandMutex(master));
        Span span{command, Clock::now(), {}};
        switch (command) {
            case DriveCommand::Reset: master.Reset(); break;
            case DriveCommand::Enable: master.EnableMotors(true); break;
            case DriveCommand::ReferenceAll: master.ReferenceAllJoints(); break;
            case DriveCommand::Zero: master.ResetAllJointsToZero(); break;
        }
        span.end = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        std::lock_guard<std::mutex> spansLock(spansMutex);
        spans.push_back(span);
    };
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 3; ++i) {
            run(DriveCommand::Reset);
            run(DriveCommand::Enable);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 3; ++i) run(DriveCommand::ReferenceAll);
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 3; ++i) run(DriveCommand::Zero);
    });
    for (auto& t : threads) t.join();
    master.StopMainLoop();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
    ASSERT_EQ(spans.size(), 12u);
    const auto frames = sim.Received();
    for (size_t k = 0; k < spans.size(); ++k) {
        // The command owns the bus from its start until its frames have crossed the hub;
        // the loop may send commands of its own (reference-all steps) only between spans.
        // The hub keeps order, so once a cycle frame arrives after the span's end the loop
        // has resumed and what follows is the loop's own.
        const Clock::time_point from = spans[k].start;
        const Clock::time_point to = spans[k].end + std::chrono::milliseconds(25);
        std::vector<DriveSim::ReceivedFrame> commandFrames;
        Clock::time_point first = Clock::time_point::max();
        Clock::time_point last = Clock::time_point::min();
        for (const auto& f : frames) {
            if (f.time < from || f.time >= to) continue;
            if (f.time > spans[k].end && IsCycleFrame(f)) break;
            const canid_t id = f.frame.can_id & CAN_SFF_MASK;
            if ((id == 0x10 || id == 0x20 || id == 0x30) && f.frame.data[0] == kCommandFrame) {
                commandFrames.push_back(f);
                first = std::min(first, f.time);
                last = std::max(last, f.time);
            }
        }
        std::vector<int> expected;
        switch (spans[k].command) {
            case DriveCommand::Reset: expected = {0x06}; break;
            case DriveCommand::Enable: expected = {0x09}; break;
            case DriveCommand::ReferenceAll: expected = {0x0B, 0x06, 0x09}; break;
            case DriveCommand::Zero: expected = {0x0A, 0x08, 0x06}; break;
        }
        std::vector<int> codes = FoldedCodes(commandFrames);
        if (spans[k].command == DriveCommand::ReferenceAll) {
            if (codes.empty()) continue;  // motors not enabled: nothing to do
            // A drive that reports an error refuses the referencing reset's own frames.
            if (codes.front() != 0x0B) codes.insert(codes.begin(), 0x0B);
        }
        EXPECT_EQ(codes, expected) << "command " << static_cast<int>(spans[k].command) << " at span " << k;
        for (const auto& f : frames) {
            if (f.time <= first || f.time >= last) continue;
            for (std::uint8_t cycle : kCycleFrames) {
                EXPECT_NE(f.frame.data[0], cycle) << "cycle frame inside command at span " << k;
            }
        }
    }
}

// The drives' power-off request is seen in the loop's cycle; its shut-down runs on a thread
// of its own, so the loop never waits for the log, the counters or the system command.
TEST_F(MasterDrivesSimTest, APowerOffRequestOfTheDrivesRunsOffTheLoopThread) {
    RobotMaster master;
    ASSERT_NO_FATAL_FAILURE(StartOnSimulatedDrives(master));

    std::mutex mutex;
    std::vector<std::string> commands;
    bool onLoop = false;
    Shutdown::SetCommandRunner([&](const std::string& command) {
        std::lock_guard<std::mutex> lock(mutex);
        commands.push_back(command);
        onLoop = onLoop || master.IsLoopThread();
        return 0;
    });
    const auto ran = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return commands.size();
    };
    master.FinishInit();
    // Each stage is resent until a cycle has seen it young.
    Hardware::HardwareProtocol& hw = *master.GetHardware();
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (hw.GetShutdownStage() != 13 && Clock::now() < deadline) {
        ASSERT_EQ(sim.SendShutdownRequest(DriveSim::kShutdownStage1), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    while (ran() == 0 && Clock::now() < deadline) {
        ASSERT_EQ(sim.SendShutdownRequest(DriveSim::kShutdownStage2), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return !master.GetLoopOutbox().IsShutdownRunning(); }, 20000, 5));
    master.StopMainLoop();
    Shutdown::SetCommandRunner(nullptr);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(commands, std::vector<std::string>{"systemctl poweroff"});
    EXPECT_FALSE(onLoop);
}

INSTANTIATE_TEST_SUITE_P(Loop, MasterDrivesSimTest,
                         ::testing::Values(LoopSetting{200, 2}, LoopSetting{4, 1}),
                         [](const ::testing::TestParamInfo<LoopSetting>& info) {
                             return "Cycle" + std::to_string(info.param.cycleMs) + "msMode" +
                                    std::to_string(info.param.timingMode);
                         });

#endif  // BELVANTO_HAVE_SIMULATORS
