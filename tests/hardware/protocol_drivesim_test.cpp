// The maker's protocols against the drive simulator, which decodes the frames on its own:
// the whole road from set-point to answer, injected faults, events, a foreign master and
// the shutdown request, for version 2 and version 1.

#include "hardware/HardwareProtocolJXRCAN.h"
#include "hardware/HardwareProtocolJXRCANV2.h"

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "core/Shutdown.h"
#include "drivesim/DriveSimulator.h"
#include "protocol_test_bus.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

using ProtocolTest::FixturePath;
using ProtocolTest::WaitFor;

namespace {

const int kIds[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};

template <typename Protocol>
class SimFixture : public ::testing::Test {
protected:
    void Start(const std::string& robotFile) {
        std::string error;
        ASSERT_TRUE(sim.LoadRobotFile(robotFile, &error)) << error;
        ASSERT_EQ(sim.Start(bus.Path()), 0);
        protocol = std::make_unique<Protocol>(nullptr);
        protocol->SetVersion(std::is_same<Protocol, Hardware::HardwareProtocolJXRCANV2>::value ? 2 : 0);
        protocol->Init("Robot", "JXRPivra4", robotFile);
        protocol->Connect();
        ASSERT_TRUE(protocol->GetConnectionStatus());
        protocol->EnableMotors(true);
        ASSERT_TRUE(WaitFor([&] {
            Cycle();
            return protocol->GetMotorEnabled();
        }));
    }
    void TearDown() override {
        protocol.reset();
        sim.Stop();
    }
    // A controller started while its drives are still enabled from an earlier run, at
    // raw position 1234: every connect switches each module off before any set-point
    // reaches it, and counts itself.
    void ExpectConnectSwitchesOffDrivesLeftEnabled(const std::string& robotFile) {
        DriveSim::RobotFileModules file;
        std::string error;
        ASSERT_TRUE(DriveSim::ReadRobotFile(robotFile, &file, &error)) << error;
        for (DriveSim::ModuleConfig joint : file.joints) {
            joint.enabled = true;
            joint.position = 1234;
            ASSERT_TRUE(sim.AddModule(joint, &error)) << error;
        }
        ASSERT_EQ(sim.Start(bus.Path()), 0);
        protocol = std::make_unique<Protocol>(nullptr);
        protocol->SetVersion(std::is_same<Protocol, Hardware::HardwareProtocolJXRCANV2>::value ? 2 : 0);
        protocol->Init("Robot", "JXRPivra4", robotFile);
        EXPECT_EQ(protocol->GetConnectCount(), 0u);
        for (std::uint32_t connect = 1; connect <= 2; ++connect) {
            SCOPED_TRACE(connect);
            std::vector<std::int32_t> before;
            for (const DriveSim::ModuleConfig& joint : file.joints) {
                DriveSim::ModuleState state;
                ASSERT_TRUE(sim.GetModuleState(joint.canId, &state));
                EXPECT_TRUE(state.enabled) << joint.canId;
                before.push_back(state.position);
            }
            protocol->Connect();
            EXPECT_EQ(protocol->GetConnectCount(), connect);
            target.jointSet[0] = 50.0f;  // far from where the drives stand
            Cycle(3);
            for (size_t j = 0; j < file.joints.size(); ++j) {
                const DriveSim::ModuleConfig& joint = file.joints[j];
                ASSERT_TRUE(sim.WaitUntil([&] { return sim.ReceivedOn(joint.canId).size() >= 4; },
                                          std::chrono::seconds(5)));
                // The first command or set-point (the interface's greeting may come before).
                const auto frames = sim.ReceivedOn(joint.canId);
                auto first = std::find_if(frames.begin(), frames.end(), [](const DriveSim::ReceivedFrame& f) {
                    return f.frame.data[0] == 0x01 || f.frame.data[0] == 0x04 || f.frame.data[0] == 0x14;
                });
                ASSERT_NE(first, frames.end());
                EXPECT_EQ(first->frame.data[0], 0x01) << joint.canId;
                EXPECT_EQ(first->frame.data[1], 0x0A) << "the disable frame comes first";
                DriveSim::ModuleState state;
                ASSERT_TRUE(sim.GetModuleState(joint.canId, &state));
                EXPECT_FALSE(state.enabled) << joint.canId;
                EXPECT_EQ(state.position, before[j]) << joint.canId;
            }
            // Answers from before a reconnect may still be read for a cycle or two.
            EXPECT_TRUE(WaitFor([&] {
                Cycle();
                return !protocol->GetMotorEnabled();
            }));
            // A reconnect (after a lost bus) finds the drives enabled again.
            protocol->EnableMotors(true);
            ASSERT_TRUE(WaitFor([&] {
                Cycle();
                return protocol->GetMotorEnabled();
            }));
            protocol->Disconnect();
            ClearWhenQuiet();
        }
    }
    void Cycle(int n = 1) {
        for (int i = 0; i < n; ++i) {
            protocol->SetJoints(target);
            protocol->GetJoints(&measured);
        }
    }
    // Cycles like the robot loop, every 4 ms, for the given time.
    void CycleFor(std::chrono::milliseconds time) {
        const auto end = std::chrono::steady_clock::now() + time;
        while (std::chrono::steady_clock::now() < end) {
            Cycle();
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
    }
    // Forgets the received frames once the bus has been quiet for a moment.
    void ClearWhenQuiet() {
        std::uint64_t seen = sim.ReceivedCount();
        for (int i = 0; i < 200; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
            if (sim.ReceivedCount() == seen) break;
            seen = sim.ReceivedCount();
        }
        sim.ClearReceived();
    }

    ProtocolTest::ScopedOperationMode mode;
    ProtocolTest::TestBus bus;
    DriveSim::DriveSimulator sim;
    std::unique_ptr<Protocol> protocol;
    DataTypes::RobotState target;
    DataTypes::RobotState measured;
};

using SimV2 = SimFixture<Hardware::HardwareProtocolJXRCANV2>;
using SimV1 = SimFixture<Hardware::HardwareProtocolJXRCAN>;

TEST_F(SimV2, MeasuredJointsFollowTheSetPoints) {
    Start(FixturePath("robot_jxrcanv2.xml"));
    const float setPoints[][6] = {{10.0f, -20.0f, 30.5f, 1.25f, -7.0f, 0.0f}, {-90.0f, 45.0f, 0.1f, 0.0f, 3.0f, -3.0f}};
    for (const auto& s : setPoints) {
        for (int j = 0; j < 6; ++j) target.jointSet[j] = s[j];
        ASSERT_TRUE(WaitFor([&] {
            Cycle();
            for (int j = 0; j < 6; ++j) {
                if (std::fabs(measured.jointAct[j] - s[j]) > 1.0f / std::fabs(protocol->GetJointData(j).GearScale)) {
                    return false;
                }
            }
            return true;
        }));
    }
    // One set-point frame per module and cycle, counters in step.
    ClearWhenQuiet();
    Cycle(3);
    ASSERT_TRUE(sim.WaitForReceived(18, std::chrono::seconds(5)));
    for (int id : kIds) {
        const auto frames = sim.ReceivedOn(id);
        ASSERT_EQ(frames.size(), 3u) << id;
        for (size_t i = 1; i < frames.size(); ++i) {
            EXPECT_EQ((frames[i - 1].frame.data[6] + 1) % 255, frames[i].frame.data[6]);
        }
    }
}

TEST_F(SimV2, PositionLagShowsOnTheFifthGetErrorWithOneDumpAndARedLed) {
    Start(FixturePath("robot_jxrcanv2.xml"));
    std::string text;
    std::string shortText;
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        protocol->GetError(text, shortText);
        return shortText == "NoError" && protocol->GetHardwareErrorCount() == 0;
    }));
    ASSERT_TRUE(sim.InjectPositionLag(0x20));
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return (protocol->GetJointData(1).errorCode.load() & 0x10) != 0;
    }));
    ClearWhenQuiet();
    TestSupport::LogCapture capture;
    std::vector<std::string> shown;
    int dumpLinesAfterFirst = -1;
    for (int call = 1; call <= 5; ++call) {
        protocol->GetError(text, shortText);
        shown.push_back(text);
        if (call == 1) dumpLinesAfterFirst = capture.Count("I --> ") + capture.Count("O <-- ");
    }
    EXPECT_EQ(shown, (std::vector<std::string>{"Status: no error", "Status: no error", "Status: no error",
                                                "Status: no error", "Status:  - position lag"}));
    EXPECT_GT(dumpLinesAfterFirst, 0);
    EXPECT_EQ(capture.Count("I --> ") + capture.Count("O <-- "), dumpLinesAfterFirst);
    ASSERT_TRUE(sim.WaitUntil([&] { return !sim.ReceivedOn(0x001).empty(); }, std::chrono::seconds(5)));
    const can_frame led = sim.ReceivedOn(0x001).back().frame;
    EXPECT_EQ(std::vector<std::uint8_t>(led.data, led.data + 8),
              (std::vector<std::uint8_t>{0x01, 0x30, 0x00, 150, 0, 0, 0, 0}));

    // A reset clears the latched lag in the module; the status follows.
    protocol->ResetError();
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        protocol->GetError(text, shortText);
        return shortText == "NoError";
    }));
}

TEST_F(SimV2, SilentModuleIsDeadAfterTwoSecondsAndASilentBusDisconnects) {
    Start(FixturePath("robot_jxrcanv2.xml"));
    ASSERT_TRUE(sim.SetSilent(0x30, true));
    CycleFor(std::chrono::milliseconds(2100));
    int codes[16] = {};
    protocol->GetErrorHexCode(codes);
    for (int j = 0; j < 6; ++j) EXPECT_EQ(codes[j], j == 2 ? 0x200 : 0) << j;
    EXPECT_EQ(protocol->GetNoAnswerCycles(), 0);

    // The robot loop goes on; once the last answer is 2 s old, 100 silent cycles are
    // allowed and the 101st disconnects.
    for (int id : kIds) sim.SetSilent(id, true);
    ASSERT_TRUE(WaitFor(
        [&] {
            Cycle();
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
            return protocol->GetNoAnswerCycles() == 1;
        },
        10000));
    for (int j = 0; j < 6; ++j) EXPECT_EQ(protocol->GetJointData(j).errorCode.load(), 0x200) << j;
    Cycle(99);
    EXPECT_TRUE(protocol->GetConnectionStatus());
    Cycle();
    EXPECT_FALSE(protocol->GetConnectionStatus());
}

TEST_F(SimV2, ReferencingTakesTheModulesDelay) {
    Start(FixturePath("robot_jxrcanv2.xml"));
    sim.SetReferenceDelayMsAll(300);
    protocol->ReferenceSingleJoint(3);
    EXPECT_TRUE(protocol->IsReferencing());
    Cycle(5);
    EXPECT_TRUE(protocol->IsReferencing());
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return !protocol->IsReferencing();
    }));
    EXPECT_EQ(protocol->GetJointData(3).referenced.load(), 1);
}

// A module that answered and then stays silent for 2 s is latched dead (one line, its code
// 0x200, the status after the grace); back on the bus it stays dead until a reset.
TEST_F(SimV2, AModuleThatStopsAnsweringIsDeadUntilAResetFindsItBack) {
    Start(FixturePath("robot_jxrcanv2.xml"));
    TestSupport::LogCapture log;
    ASSERT_TRUE(sim.SetSilent(0x30, true));
    ASSERT_TRUE(WaitFor(
        [&] {
            CycleFor(std::chrono::milliseconds(4));
            return protocol->GetJointData(2).notAnswering.load() != 0;
        },
        10000));
    std::string text, shortText;
    for (int i = 0; i < Hardware::HardwareProtocolJXRCANV2::kGraceCalls; ++i) protocol->GetError(text, shortText);
    EXPECT_EQ(shortText, "_DEAD");

    ASSERT_TRUE(sim.SetSilent(0x30, false));
    CycleFor(std::chrono::milliseconds(100));
    int codes[16] = {};
    protocol->GetErrorHexCode(codes);
    EXPECT_EQ(codes[2], 0x200);
    EXPECT_EQ(codes[1], 0);
    EXPECT_FALSE(protocol->GetMotorEnabled());

    protocol->ResetError();
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return protocol->GetMotorEnabled();
    }));
    protocol->GetErrorHexCode(codes);
    EXPECT_EQ(codes[2], 0);
    EXPECT_EQ(1, log.Count("ProtocolJXRCANV2: joint 2 (CAN ID 48) not answering"));
}

// A referencing that does not finish is stopped by its time limit, or at once by the e-stop:
// the module gets the disable frame and the referencing fails with one line.
TEST_F(SimV2, AReferencingThatDoesNotFinishIsStoppedByItsLimitOrTheEStop) {
    Start(FixturePath("robot_jxrcanv2.xml"));
    protocol->SetReferencingTimeoutMs(1000);
    ASSERT_TRUE(sim.SetReferenceNever(0x30, true));
    ASSERT_TRUE(sim.SetReferenceNever(0x40, true));
    TestSupport::LogCapture log;
    const unsigned char disable[2] = {0x01, 0x0A};
    const auto disables = [&](int id) {
        int n = 0;
        for (const auto& f : sim.ReceivedOn(id)) n += f.frame.can_dlc == 2 && std::memcmp(f.frame.data, disable, 2) == 0;
        return n;
    };
    // The connect has switched every module off once already.
    const int atConnect[3] = {disables(0x10), disables(0x30), disables(0x40)};

    const auto started = std::chrono::steady_clock::now();
    protocol->ReferenceSingleJoint(2);
    CycleFor(std::chrono::milliseconds(500));
    EXPECT_TRUE(protocol->IsReferencing());
    ASSERT_TRUE(WaitFor([&] {
        CycleFor(std::chrono::milliseconds(4));
        return protocol->GetJointData(2).referencingFailed.load() != 0;
    }));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
    EXPECT_FALSE(protocol->IsReferencing());
    EXPECT_EQ(1, log.Count("ProtocolJXRCANV2: Referencing joint 2 (CAN ID 48) failed: referencing not finished "
                           "within 1 s"));
    ASSERT_TRUE(sim.WaitUntil([&] { return disables(0x30) == atConnect[1] + 1; }, std::chrono::seconds(5)));
    DriveSim::ModuleState state;
    ASSERT_TRUE(sim.GetModuleState(0x30, &state));
    EXPECT_FALSE(state.referencing);
    EXPECT_FALSE(state.enabled);

    protocol->ReferenceSingleJoint(3);
    Cycle(3);
    protocol->StopReferencing();  // the e-stop opened: no cycle needed
    EXPECT_EQ(protocol->GetJointData(3).referencingFailed.load(), 1);
    EXPECT_EQ(1, log.Count("ProtocolJXRCANV2: Referencing joint 3 (CAN ID 64) failed: e-stop open"));
    ASSERT_TRUE(sim.WaitUntil([&] { return disables(0x40) == atConnect[2] + 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(disables(0x10), atConnect[0]);
}

TEST_F(SimV2, ForeignMasterStopsTheController) {
    Start(FixturePath("robot_jxrcanv2.xml"));
    TestSupport::LogCapture capture;
    ASSERT_EQ(sim.SendForeignSetPoint(0x40, 1234), 0);
    ASSERT_TRUE(WaitFor([] { return LogSingleton::instance()->get_opMode() == OPMODE_SERIOUS_FAILURE; }));
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "79 alien CAN msg");
    EXPECT_TRUE(WaitFor([&] { return capture.Contains("ERROR - alien CAN command detected - ABORT!"); }));
}

TEST_F(SimV2, UnknownEventsAreThrottledKnownOnesLoggedEachTime) {
    Start(FixturePath("robot_jxrcanv2.xml"));
    TestSupport::LogCapture capture;
    for (int i = 0; i < 20; ++i) ASSERT_EQ(sim.SendEvent(0x21, 0x5A, 7, 8), 0);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(sim.SendEvent(0x21, 0x77, 100, 200), 0);
    ASSERT_TRUE(WaitFor([&] { return capture.Count("JXRCAN: LAG  on ID 0x2102! actPos : 100 - cmdPos: 200") == 2; }));
    std::vector<int> repeats;
    for (int count = 2; count <= 20; ++count) {
        if (capture.Contains("(repeated " + std::to_string(count) + " times")) repeats.push_back(count);
    }
    EXPECT_EQ(capture.Count("JXRCAN: unknown error message 90 from ID 0x2102! byte1: 7 - byte2: 8"), 11);
    // Counts 1 to 10 are logged, 11 to 19 are not; 20 is the next multiple of ten.
    EXPECT_EQ(repeats, (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9, 10, 20}));
}

TEST_F(SimV2, ShutdownRequestInTwoStagesPowersOffOnce) {
    std::atomic<int> calls{0};
    Shutdown::SetCommandRunner([&calls](const std::string& command) {
        if (command == "systemctl poweroff") calls.fetch_add(1);
        return 0;
    });
    Start(FixturePath("robot_jxrcanv2.xml"));
    TestSupport::LogCapture capture;
    // Each stage is resent until a cycle saw it younger than 50 ms.
    for (int attempt = 0; attempt < 50 && protocol->GetShutdownStage() != 13; ++attempt) {
        ASSERT_EQ(sim.SendShutdownRequest(DriveSim::kShutdownStage1), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        Cycle();
    }
    ASSERT_EQ(protocol->GetShutdownStage(), 13);
    for (int attempt = 0; attempt < 50 && calls.load() == 0; ++attempt) {
        ASSERT_EQ(sim.SendShutdownRequest(DriveSim::kShutdownStage2), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        Cycle();
    }
    Cycle(20);
    Shutdown::SetCommandRunner(nullptr);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(capture.Count("ProtocolJXRCANV2: Shutdown request stage 2 final"), 1);
    EXPECT_EQ(capture.Count("error in sequence"), 0);
}

TEST_F(SimV2, ConnectSwitchesOffDrivesLeftEnabled) {
    ExpectConnectSwitchesOffDrivesLeftEnabled(FixturePath("robot_jxrcanv2.xml"));
}

TEST_F(SimV1, ConnectSwitchesOffDrivesLeftEnabled) {
    ExpectConnectSwitchesOffDrivesLeftEnabled(FixturePath("robot_jxrcan.xml"));
}

// The first generation's answers carry no age of their own: a joint silent for 2 s of
// cycles is latched dead too, until a reset finds it answering.
TEST_F(SimV1, AJointThatStopsAnsweringIsDeadUntilAResetFindsItBack) {
    Start(FixturePath("robot_jxrcan.xml"));
    TestSupport::LogCapture log;
    ASSERT_TRUE(sim.SetSilent(0x20, true));
    ASSERT_TRUE(WaitFor(
        [&] {
            CycleFor(std::chrono::milliseconds(4));
            return protocol->GetJointData(1).notAnswering.load() != 0;
        },
        10000));
    EXPECT_EQ(1, log.Count("ProtocolJXRCAN: joint 1 (CAN ID 32) not answering"));
    ASSERT_TRUE(sim.SetSilent(0x20, false));
    CycleFor(std::chrono::milliseconds(100));
    int codes[16] = {};
    protocol->GetErrorHexCode(codes);
    EXPECT_EQ(codes[1], 0x200);
    std::string text, shortText;
    protocol->GetError(text, shortText);
    EXPECT_EQ(shortText, "_DEAD");
    EXPECT_FALSE(protocol->GetMotorEnabled());

    protocol->ResetError();
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return protocol->GetMotorEnabled();
    }));
}

TEST_F(SimV1, MeasuredJointsFollowTheSetPointsAndCountersRunModulo100) {
    Start(FixturePath("robot_jxrcan.xml"));
    const float setPoints[][3] = {{1.5f, -20.25f, 7.77f}, {-100.0f, 25.0f, -10.0f}};
    for (const auto& s : setPoints) {
        for (int j = 0; j < 3; ++j) target.jointSet[j] = s[j];
        ASSERT_TRUE(WaitFor([&] {
            Cycle();
            for (int j = 0; j < 3; ++j) {
                if (std::fabs(measured.jointAct[j] - s[j]) > 1.0f / std::fabs(protocol->GetJointData(j).GearScale)) {
                    return false;
                }
            }
            return true;
        }));
    }
    ClearWhenQuiet();
    Cycle(40);
    ASSERT_TRUE(sim.WaitForReceived(120, std::chrono::seconds(5)));
    const auto frames = sim.Received();
    ASSERT_EQ(frames.size(), 120u);
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ((frames[i - 1].frame.data[4] + 1) % 100, frames[i].frame.data[4]) << i;
        EXPECT_EQ(static_cast<int>(frames[i].frame.can_id), 0x10 * (static_cast<int>(i % 3) + 1));
    }
}

}  // namespace
