// Drive commands, zero torque, external axes, PLC triggers and the home position: the
// hardware calls each command makes, their order and the hold they run under.

#include "master_command_fixture.h"

#include "control/LoopCopies.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

using namespace ControlTest;

namespace {

// Every hardware call of a command thread ran under an acknowledged hold.
void ExpectHeldCalls(const std::vector<RecordingProtocol::Call>& calls) {
    for (const auto& c : calls) {
        EXPECT_FALSE(c.onLoopThread) << c.name;
        EXPECT_TRUE(c.held) << c.name;
        EXPECT_TRUE(c.acknowledged) << c.name;
    }
}

}  // namespace

// After a failed start-up (unknown robot type, unknown protocol) the commands still find
// objects to act on.
class MasterFailedInitTest : public RobotFileTest {};

TEST_F(MasterFailedInitTest, CommandsRunCleanAfterReasons10And11) {
    struct Case {
        const char* protocol;
        const char* kinematic;
        const char* reason;
    };
    const Case cases[] = {{"JXRCANV2", "NoSuchType", "10 robot type unknown"},
                          {"JXRCANV2", "Parallel2Axis", "10 robot type unknown"},
                          {"NoSuchBus", "Cartesian3Axis", "11 protocol type unknown"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kinematic + std::string("/") + c.protocol);
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        RobotMaster master;
        master.Init("Robot", "Test/failed", WriteRobot("Test/failed", BaseRobotXml(c.protocol, c.kinematic)));
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        master.FinishInit();
        master.Reset();
        master.EnableMotors(true);
        master.StartProgram();
        master.SetManualDOut(70, true);
        const DataTypes::RobotState state = master.GetRobotState();
        EXPECT_FALSE(state.DOut[63]);
        master.StopMainLoop();
    }
    // Before Init there are no devices: the commands do nothing.
    RobotMaster bare;
    bare.Reset();
    bare.EnableMotors(true);
    bare.ReferenceJointAlt(2);
    bare.ResetAllJointsToZero();
    bare.StartProgram();
    bare.SetZeroTorqueMode(true);
    EXPECT_FALSE(bare.IsZeroTorqueEnabled());
}

TEST_F(MasterCommandTest, ResetRunsItsStepsUnderTheHoldAndAppliesTheResetOutputs) {
    StartLoop(20, 2);
    SetBrakeOutput(*master, 5);
    master->SetDOutTargetStateOnReset(3, DOutTrue);
    RobotMasterTestAccess::ReferenceAllActive(*master).store(true);
    kinematic->throwCode.store(13);  // the reset goes on past a kinematic error
    TestSupport::LogCapture log;

    master->Reset();

    EXPECT_EQ(CallNames(), (std::vector<std::string>{"ResetError", "GetJoints"}));
    ExpectHeldCalls(protocol->CallsNamed("ResetError"));
    EXPECT_FALSE(RobotMasterTestAccess::ReferenceAllActive(*master).load());
    EXPECT_TRUE(log.Contains("RobotMaster:  Resetting Joints"));
    EXPECT_TRUE(log.Contains("Error: Could not set joints during Reset, error code 13: "));
    EXPECT_TRUE(log.Contains("RobotMaster: Resetting DOuts on reset"));
    EXPECT_TRUE(WaitPublished([](const DataTypes::RobotState& s) { return s.DOut[3]; }));
    EXPECT_FALSE(master->GetRobotState().DOut[5]);  // brake engaged
    EXPECT_FALSE(master->IsHeld());
}

TEST_F(MasterCommandTest, EnableAndDisableDriveTheBrake) {
    StartLoop(20, 2);
    SetBrakeOutput(*master, 5);
    TestSupport::LogCapture log;

    master->EnableMotors(true);
    EXPECT_TRUE(RobotMasterTestAccess::BrakeReleasePending(*master).load());  // released by the loop after the delay
    EXPECT_TRUE(log.Contains("RobotMaster: Enabling Motors"));
    EXPECT_TRUE(log.Contains("Releasing brake (delayed)"));

    master->EnableMotors(false);
    EXPECT_FALSE(RobotMasterTestAccess::BrakeReleasePending(*master).load());  // a disable cancels the pending release
    EXPECT_TRUE(log.Contains("RobotMaster: Disabling Motors"));

    const auto calls = protocol->CallsNamed("EnableMotors");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].argument, 1);
    EXPECT_EQ(calls[1].argument, 0);
    ExpectHeldCalls(calls);
}

TEST_F(MasterCommandTest, ResetAllJointsToZeroLeavesTheDrivesDisabled) {
    StartLoop(20, 1);
    protocol->motorsEnabled.store(true);
    master->ResetAllJointsToZero();

    std::vector<std::string> expected = {"EnableMotors"};
    for (int j = 0; j < 9; ++j) expected.push_back("SetToZeroPos");
    expected.push_back("SetPlatformJointsToZeroPos");
    expected.push_back("ResetError");
    EXPECT_EQ(CallNames(), expected);
    const auto zero = protocol->CallsNamed("SetToZeroPos");
    for (int j = 0; j < 9; ++j) EXPECT_EQ(zero[static_cast<size_t>(j)].argument, j);
    ExpectHeldCalls(protocol->Calls());
    EXPECT_FALSE(protocol->motorsEnabled.load());
}

TEST_F(MasterCommandTest, ReferenceJointAltMapsOperatorNumbersToHardwareJoints) {
    struct Case {
        int robotJoints;
        int grippers;
        int n;
        int expected;  // -1: nothing referenced
    };
    const Case cases[] = {{5, 1, 7, 7}, {4, 0, 5, -1}, {6, 0, -1, -1}, {6, 0, 9, -1},
                          {6, 0, 0, 0}, {6, 2, 6, 8},  {4, 0, 3, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        protocol->SetCounts(c.robotJoints, c.grippers);
        protocol->Clear();
        master->ReferenceJointAlt(c.n);
        const auto calls = protocol->CallsNamed("ReferenceSingleJoint");
        if (c.expected < 0) {
            EXPECT_TRUE(calls.empty());
        } else {
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0].argument, c.expected);
        }
    }
}

TEST_F(MasterCommandTest, ReferenceAllJointsOnlyWithEnabledMotors) {
    StartLoop(20, 2);
    master->ReferenceAllJoints();
    EXPECT_TRUE(protocol->Calls().empty());
    EXPECT_FALSE(RobotMasterTestAccess::ReferenceAllActive(*master).load());

    protocol->motorsEnabled.store(true);
    master->ReferenceAllJoints();
    EXPECT_EQ(CallNames(), (std::vector<std::string>{"ReferenceReset", "EnableMotors"}));
    ExpectHeldCalls(protocol->Calls());
    EXPECT_TRUE(RobotMasterTestAccess::ReferenceAllActive(*master).load());
    // The steps are the loop's: it starts the sequence from the first at its next cycle.
    EXPECT_TRUE(RobotMasterTestAccess::Requests(*master).restartReferenceAll.load());
}

TEST_F(MasterCommandTest, AlignMotorsHoldsAroundTheHardwareCall) {
    StartLoop(20, 2);
    master->AlignMotors();
    EXPECT_EQ(CallNames(), (std::vector<std::string>{"AlignMotors"}));
    ExpectHeldCalls(protocol->Calls());
}

TEST_F(MasterCommandTest, ZeroTorqueSwitchesOnlyOnChangeAndOnlyAllowedJoints) {
    TestSupport::LogCapture log;
    master->SetZeroTorqueMode(true);
    EXPECT_TRUE(log.Contains("RobotMaster: Tried to switch zero torque mode but is not allowed for any joint"));
    EXPECT_FALSE(master->IsZeroTorqueEnabled());
    EXPECT_TRUE(protocol->Calls().empty());

    StartLoop(20, 2);
    RobotMasterTestAccess::ZeroTorqueAllowed(*master)[1] = true;
    RobotMasterTestAccess::ZeroTorqueAllowed(*master)[4] = true;
    master->SetZeroTorqueMode(true);
    master->SetZeroTorqueMode(true);
    EXPECT_TRUE(master->IsZeroTorqueEnabled());
    auto calls = protocol->CallsNamed("SetJointMode");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].argument, 1 * 100 + 11);
    EXPECT_EQ(calls[1].argument, 4 * 100 + 11);
    ExpectHeldCalls(calls);

    protocol->Clear();
    master->SetZeroTorqueMode(false);
    calls = protocol->CallsNamed("SetJointMode");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].argument, 1 * 100 + 4);
    EXPECT_FALSE(master->IsZeroTorqueEnabled());
    EXPECT_EQ(log.Count("RobotMaster: Enabling zero torque mode"), 1);
    EXPECT_EQ(log.Count("RobotMaster: Disabling zero torque mode"), 1);
}

TEST_F(MasterCommandTest, ExternalAxisSlots) {
    TestSupport::LogCapture log;
    master->SetExternalAxis(ExternalAxis(3, "track", ExternalAxis::Position));
    EXPECT_TRUE(log.Contains("RobotMaster: External axis number out of range"));

    try {
        master->GetExternalAxis(1);
        FAIL() << "undefined slot";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "external axis 1 is not defined");
    }
    EXPECT_THROW(master->GetExternalAxis(3), std::out_of_range);
    EXPECT_THROW(master->RemoveExternalAxis(-1), std::out_of_range);

    const std::uint32_t before = RobotMasterTestAccess::ExternalAxesChange(*master).load();
    ExternalAxis axis(1, "track", ExternalAxis::Velocity);
    axis.VelMax = 50.0;
    master->SetExternalAxis(axis);
    EXPECT_TRUE(master->HasExternalAxis(1));
    EXPECT_FALSE(master->HasExternalAxis(7));
    ExternalAxis copy = master->GetExternalAxis(1);
    copy.VelMax = 1.0;  // a copy: the slot keeps its value
    EXPECT_EQ(master->GetExternalAxis(1).VelMax, 50.0);
    EXPECT_GT(RobotMasterTestAccess::ExternalAxesChange(*master).load(), before);

    master->InitExternalJoints();
    EXPECT_EQ(protocol->CallsNamed("InitExternalJoint").size(), 1u);
    EXPECT_EQ(kinematic->nrOfExtJoints, 1);

    master->RemoveExternalAxis(1);
    EXPECT_TRUE(log.Contains("Removing external axis 1"));
    EXPECT_FALSE(master->HasExternalAxis(1));
    master->SetExternalAxis(axis);
    master->ClearExternalAxes();
    EXPECT_TRUE(log.Contains("Clearing external axes"));
    EXPECT_FALSE(master->HasExternalAxis(1));
}

TEST_F(MasterCommandTest, PlcTriggerListKeepsAtMostTen) {
    using PLCTrigger::PLCInterfaceTrigger;
    TestSupport::LogCapture log;
    for (int i = 0; i < 11; ++i) {
        master->AddPLCTrigger(PLCInterfaceTrigger(true, PLCTrigger::SignalDIn, i, PLCTrigger::TargetProgram,
                                                  "p" + std::to_string(i) + ".xml"));
    }
    EXPECT_TRUE(log.Contains("Can not add more than 10 PLC triggers"));
    auto triggers = master->GetPLCTriggers();
    ASSERT_EQ(triggers.size(), 10u);
    EXPECT_EQ(triggers[9].GetChannel(), 9);

    const std::uint32_t before = RobotMasterTestAccess::PLCTriggersChange(*master).load();
    master->ClearPLCTriggers();
    EXPECT_TRUE(master->GetPLCTriggers().empty());
    master->AddPLCTrigger(PLCInterfaceTrigger(true, PLCTrigger::SignalGSig, 40, PLCTrigger::TargetProgram, "a.xml"));
    master->AddPLCTrigger(PLCInterfaceTrigger(true, PLCTrigger::SignalDIn, 41, PLCTrigger::TargetProgram, "b.xml"));
    triggers = master->GetPLCTriggers();
    ASSERT_EQ(triggers.size(), 2u);
    EXPECT_EQ(triggers[0].GetChannel(), 40);
    EXPECT_EQ(triggers[0].GetSignalType(), PLCTrigger::SignalGSig);
    EXPECT_EQ(triggers[1].GetTargetFileRelative(), "b.xml");
    EXPECT_EQ(RobotMasterTestAccess::PLCTriggersChange(*master).load(), before + 3);
}

TEST_F(MasterCommandTest, HomePositionSetsKinematicAndSetPoints) {
    double home[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    master->SetHomePos(home);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(RobotMasterTestAccess::HomePosition(*master)[i], home[i]);
        EXPECT_FLOAT_EQ(kinematic->currentJoints[i], static_cast<float>(home[i]));
    }
    // A value that is not a number, or that no float set-point can hold, changes nothing.
    for (double value : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                         1e300, -1e40}) {
        SCOPED_TRACE(value);
        double bad[9] = {0, 0, value, 0, 0, 0, 0, 0, 0};
        TestSupport::LogCapture log;
        master->SetHomePos(bad);
        EXPECT_TRUE(log.Contains("home position is not a number"));
        EXPECT_EQ(RobotMasterTestAccess::HomePosition(*master)[0], 1.0);
        EXPECT_FLOAT_EQ(kinematic->currentJoints[2], 3.0f);
    }
}

TEST_F(MasterCommandTest, DioModuleAndBusGripperReachTheHardware) {
    master->InitDIOModule(0x70);
    const auto dio = protocol->CallsNamed("InitDIOModules");
    ASSERT_EQ(dio.size(), 1u);
    EXPECT_EQ(dio[0].argument, 0x70);

    TestSupport::LogCapture log;
    master->InitGripper("");
    EXPECT_TRUE(log.Contains("No gripper attached to the robot (to change set type in project file)."));
    EXPECT_TRUE(protocol->CallsNamed("InitTool").empty());
}

TEST_F(MasterCommandTest, DioModuleIdsChangeUnderAnAcknowledgedHold) {
    StartLoop(20, 2);
    EXPECT_TRUE(master->SetDIOModuleIDs(0x21, 0x22, 0));
    const auto calls = protocol->CallsNamed("SetDIOModuleIDs");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].argument, 0x212200);
    ExpectHeldCalls(calls);
    EXPECT_FALSE(master->IsHeld());
}

// A loop stuck in its cycle never pauses: the table it walks is left alone.
TEST(MasterDioModuleIds, AStuckLoopLeavesTheIdsAlone) {
    class StuckMaster : public RobotMaster {
    public:
        void FullCycleWork() override {
            inCycle.store(true);
            while (stuck.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::atomic<bool> inCycle{false};
        std::atomic<bool> stuck{true};
    };
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    StuckMaster master;
    RobotMasterTestAccess::Kinematic(master) = std::make_unique<RobotKinematicNull>();
    auto recording = std::make_unique<RecordingProtocol>(master.GetKinematic());
    RecordingProtocol* protocol = recording.get();
    master.SetHardwareProtocol(std::move(recording));
    RobotMasterTestAccess::CycleTimeMs(master).store(20);
    RobotMasterTestAccess::InitHold(master).store(false);
    master.StartMainLoop();
    ASSERT_TRUE(WaitFor([&] { return master.inCycle.load(); }));
    TestSupport::LogCapture log;

    EXPECT_FALSE(master.SetDIOModuleIDs(0x21, 0, 0));
    EXPECT_TRUE(protocol->CallsNamed("SetDIOModuleIDs").empty());
    EXPECT_EQ(log.Count("RobotMaster: DIO module IDs not changed, the robot loop did not pause"), 1);
    master.stuck.store(false);
    master.StopMainLoop();
}

TEST_F(MasterCommandTest, LoopCopiesFollowTheChangeCounters) {
    using PLCTrigger::PLCInterfaceTrigger;
    PLCTriggerLoopCopy triggers;
    master->AddPLCTrigger(PLCInterfaceTrigger(true, PLCTrigger::SignalDIn, 1, PLCTrigger::TargetProgram, "a.xml"));
    master->AddPLCTrigger(PLCInterfaceTrigger(true, PLCTrigger::SignalDIn, 2, PLCTrigger::TargetProgram, "b.xml"));
    ASSERT_TRUE(triggers.Refresh(*master));
    ASSERT_EQ(triggers.Entries().size(), 2u);
    EXPECT_TRUE(triggers.Entries()[0].previousLevel);  // new records start high
    triggers.Entries()[0].previousLevel = false;
    triggers.Entries()[1].previousLevel = false;

    // The second record is replaced: only it starts again; the first keeps its level.
    master->ClearPLCTriggers();
    master->AddPLCTrigger(PLCInterfaceTrigger(true, PLCTrigger::SignalDIn, 1, PLCTrigger::TargetProgram, "a.xml"));
    master->AddPLCTrigger(PLCInterfaceTrigger(true, PLCTrigger::SignalGSig, 2, PLCTrigger::TargetProgram, "b.xml"));
    master->AddPLCTrigger(PLCInterfaceTrigger(true, PLCTrigger::SignalDIn, 3, PLCTrigger::TargetProgram, "c.xml"));
    ASSERT_TRUE(triggers.Refresh(*master));
    ASSERT_EQ(triggers.Entries().size(), 3u);
    EXPECT_FALSE(triggers.Entries()[0].previousLevel);
    EXPECT_TRUE(triggers.Entries()[1].previousLevel);
    EXPECT_EQ(triggers.Entries()[1].trigger.GetSignalType(), PLCTrigger::SignalGSig);
    EXPECT_TRUE(triggers.Entries()[2].previousLevel);

    // A command holding the mutex on another thread: the copy waits for a later cycle.
    ExternalAxesLoopCopy axes;
    master->SetExternalAxis(ExternalAxis(2, "turntable", ExternalAxis::Position));
    std::atomic<bool> locked{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        std::lock_guard<std::recursive_mutex> lock(RobotMasterTestAccess::CommandMutex(*master));
        locked.store(true);
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!locked.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(axes.Refresh(*master));
    EXPECT_FALSE(axes.IsDefined(2));
    release.store(true);
    holder.join();
    ASSERT_TRUE(axes.Refresh(*master));
    EXPECT_TRUE(axes.IsDefined(2));
    EXPECT_EQ(axes.Axis(2).Type, "turntable");
    master->RemoveExternalAxis(2);
    ASSERT_TRUE(axes.Refresh(*master));
    EXPECT_FALSE(axes.IsDefined(2));
}
