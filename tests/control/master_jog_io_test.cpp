// Jog input, motion modes, override, digital outputs, signals, brake, gripper and the
// output target states.

#include "master_command_fixture.h"
#include "testsupport/IpoTestAccess.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <cmath>
#include <limits>

using namespace ControlTest;

TEST_F(MasterCommandTest, JogValuesAreClampedAndNotANumberBecomesZero) {
    float values[9] = {250.0f, -250.0f, 50.0f, std::nanf(""), std::numeric_limits<float>::infinity(), 0, 0, 0, 0};
    master->SetJogValues(values);
    EXPECT_EQ(RobotMasterTestAccess::JogValues(*master)[0].load(), 100.0f);
    EXPECT_EQ(RobotMasterTestAccess::JogValues(*master)[1].load(), -100.0f);
    EXPECT_EQ(RobotMasterTestAccess::JogValues(*master)[2].load(), 50.0f);
    EXPECT_EQ(RobotMasterTestAccess::JogValues(*master)[3].load(), 0.0f);
    EXPECT_EQ(RobotMasterTestAccess::JogValues(*master)[4].load(), 0.0f);
    EXPECT_EQ(RobotMasterTestAccess::JogWatchdog(*master).load(), 30);
    EXPECT_TRUE(master->IsMoving());
}

TEST_F(MasterCommandTest, JogInputHoldsThirtyCyclesThenFades) {
    float values[9] = {0.12f, -0.12f, 0.07f, 0.04f, 0, 0, 0, 0, 0};
    master->SetJogValues(values);
    for (int call = 1; call <= 30; ++call) {
        master->CheckJogValues();
        EXPECT_EQ(RobotMasterTestAccess::JogValues(*master)[0].load(), 0.12f) << call;
    }
    master->CheckJogValues();  // 31st
    EXPECT_NEAR(RobotMasterTestAccess::JogValues(*master)[0].load(), 0.07f, 1e-6);
    EXPECT_NEAR(RobotMasterTestAccess::JogValues(*master)[1].load(), -0.07f, 1e-6);
    EXPECT_EQ(RobotMasterTestAccess::JogValues(*master)[2].load(), 0.0f);
    EXPECT_EQ(RobotMasterTestAccess::JogValues(*master)[3].load(), 0.0f);
    master->CheckJogValues();  // 32nd
    EXPECT_EQ(RobotMasterTestAccess::JogValues(*master)[0].load(), 0.0f);
    EXPECT_EQ(RobotMasterTestAccess::JogValues(*master)[1].load(), 0.0f);
    EXPECT_FALSE(master->IsMoving());
}

TEST_F(MasterCommandTest, ToggleMotionModeStepsThroughFourModesAndLeavesTheStateMachineMode) {
    const std::string prefix = "RobotMaster:  Changing motion mode to ";
    const struct {
        MotionType next;
        const char* text;
    } steps[] = {{MOTION_ROBOT_CART_BASE, "ROBOT-CART-BASE"},
                 {MOTION_ROBOT_CART_TOOL, "ROBOT-CART-TOOL"},
                 {MOTION_PLATFORM, "PLATFORM-CART"},
                 {MOTION_ROBOT_JOINT, "ROBOT-JOINT"}};
    for (const auto& step : steps) {
        TestSupport::LogCapture log;
        master->ToggleMotionMode();
        EXPECT_EQ(master->GetMotionMode(), step.next);
        EXPECT_TRUE(log.Contains(prefix + step.text)) << step.text;
    }
    EXPECT_FALSE(RobotMasterTestAccess::Requests(*master).resetJointRamp.load());  // toggling resets no ramp

    master->SetMotionMode(MOTION_FSM);
    TestSupport::LogCapture log;
    master->ToggleMotionMode();
    EXPECT_EQ(master->GetMotionMode(), MOTION_FSM);
    EXPECT_FALSE(log.Contains(prefix));
}

TEST_F(MasterCommandTest, SetMotionModeLogsAndRequestsTheRampReset) {
    const std::string prefix = "RobotMaster:  Changing motion mode to ";
    const struct {
        MotionType mode;
        const char* text;
        bool jointRamp;
        bool cartRamp;
    } cases[] = {{MOTION_ROBOT_JOINT, "ROBOT-JOINT", true, false},
                 {MOTION_ROBOT_CART_BASE, "ROBOT-CART-BASE", false, true},
                 {MOTION_ROBOT_CART_TOOL, "ROBOT-CART-TOOL", false, true},
                 {MOTION_PLATFORM, "PLATFORM", false, false},
                 {MOTION_FSM, "FSM", false, false}};
    for (const auto& c : cases) {
        RobotMasterTestAccess::Requests(*master).resetJointRamp.store(false);
        RobotMasterTestAccess::Requests(*master).resetCartRamp.store(false);
        TestSupport::LogCapture log;
        master->SetMotionMode(c.mode);
        EXPECT_TRUE(log.Contains(prefix + c.text)) << c.text;
        EXPECT_FALSE(log.Contains(prefix + "PLATFORM-CART"));
        EXPECT_EQ(RobotMasterTestAccess::Requests(*master).resetJointRamp.load(), c.jointRamp) << c.text;
        EXPECT_EQ(RobotMasterTestAccess::Requests(*master).resetCartRamp.load(), c.cartRamp) << c.text;
    }
}

TEST_F(MasterCommandTest, OverrideIsClampedAndNotANumberRefused) {
    master->SetOverride(150.0f);
    EXPECT_EQ(master->GetOverride(), 100.0f);
    master->SetOverride(40.0f);
    master->SetOverride(std::nanf(""));
    EXPECT_EQ(master->GetOverride(), 40.0f);
    master->SetOverride(-3.0f);
    EXPECT_EQ(master->GetOverride(), 0.0f);
}

TEST_F(MasterCommandTest, DOutTargetStateConversions) {
    EXPECT_EQ(RobotMaster::DOutTargetStateFromUInt(5), DOutTrue);
    EXPECT_EQ(RobotMaster::DOutTargetStateFromUInt(4), DOutFalse);
    EXPECT_EQ(RobotMaster::DOutTargetStateFromUInt(2), DOutNoChange);
    EXPECT_EQ(RobotMaster::DOutTargetStateFromUInt(3), DOutNoChange);
    EXPECT_EQ(RobotMaster::DOutTargetStateFromString("TRUE"), DOutTrue);
    EXPECT_EQ(RobotMaster::DOutTargetStateFromString("False"), DOutFalse);
    EXPECT_EQ(RobotMaster::DOutTargetStateFromString("yes"), DOutNoChange);
    for (DOutTargetState s : {DOutTrue, DOutFalse, DOutNoChange}) {
        EXPECT_EQ(RobotMaster::DOutTargetStateFromUInt(RobotMaster::DOutTargetStateToUInt(s)), s);
        EXPECT_EQ(RobotMaster::DOutTargetStateFromString(RobotMaster::DOutTargetStateToString(s)), s);
    }
    EXPECT_EQ(RobotMaster::DOutTargetStateToUInt(DOutTrue), 1u);
    EXPECT_EQ(RobotMaster::DOutTargetStateToString(static_cast<DOutTargetState>(7)), "NoChange");
}

TEST_F(MasterCommandTest, OutputsAndSignalsReachThePublishedStateThroughTheLoop) {
    StartLoop(10, 1);
    master->SetManualDOut(12, true);
    master->SetGlobalSignal(99, true);
    EXPECT_TRUE(WaitPublished([](const DataTypes::RobotState& s) { return s.DOut[12] && s.GSig[99]; }));
    master->SetManualDOut(12, false);
    EXPECT_TRUE(WaitPublished([](const DataTypes::RobotState& s) { return !s.DOut[12]; }));

    TestSupport::LogCapture log;
    master->SetManualDOut(64, true);
    master->SetManualDOut(-1, true);
    master->SetGlobalSignal(100, true);
    EXPECT_EQ(log.Count("out of range"), 3);
}

TEST_F(MasterCommandTest, OnErrorOutputsWithNoChangeTouchNothing) {
    master->DOutResetOnError(false);
    for (int n = 0; n < 64; ++n) EXPECT_EQ(RobotMasterTestAccess::Requests(*master).dout[n].load(), LoopRequests::kNone) << n;
}

TEST_F(MasterCommandTest, BrakeOutput) {
    TestSupport::LogCapture log;
    master->SetBrake(true, true);  // no brake channel: nothing
    EXPECT_FALSE(log.Contains("rake"));

    StartLoop(10, 2);
    SetBrakeOutput(*master, 5);
    master->SetBrake(true, true);
    EXPECT_TRUE(log.Contains("Releasing brake"));
    EXPECT_TRUE(WaitPublished([](const DataTypes::RobotState& s) { return s.DOut[5]; }));
    master->SetBrake(true, true);
    EXPECT_TRUE(log.Contains("Brake is already released"));
    master->SetBrake(true, false);
    EXPECT_TRUE(log.Contains("Brake is already released (delayed)"));
    master->SetBrake(false, false);
    EXPECT_TRUE(log.Contains("Enabling brake"));
    EXPECT_FALSE(RobotMasterTestAccess::BrakeReleasePending(*master).load());
    EXPECT_TRUE(WaitPublished([](const DataTypes::RobotState& s) { return !s.DOut[5]; }));
    master->SetBrake(false, false);
    EXPECT_TRUE(log.Contains("Brake is already enabled"));
}

TEST_F(MasterCommandTest, DigitalGripperFollowsItsOutputOnlyWhileNoProgramRuns) {
    kinematic->tool.protocol = "digital";
    kinematic->tool.ChannelOpenClose = 9;
    master->SetManualDOut(9, true);
    EXPECT_TRUE(RobotMasterTestAccess::Requests(*master).gripperPending.load());
    EXPECT_EQ(RobotMasterTestAccess::Requests(*master).gripperPercent.load(), 100.0f);

    RobotMasterTestAccess::Requests(*master).gripperPending.store(false);
    IpoTestAccess::ReplayRunning(master->GetLogicInterpreter()).store(true);
    IpoTestAccess::CurrentPoint(master->GetLogicInterpreter()).store(0);
    master->SetManualDOut(9, false);
    EXPECT_EQ(RobotMasterTestAccess::Requests(*master).dout[9].load(), LoopRequests::kOff);
    EXPECT_FALSE(RobotMasterTestAccess::Requests(*master).gripperPending.load());
    IpoTestAccess::ReplayRunning(master->GetLogicInterpreter()).store(false);
    IpoTestAccess::CurrentPoint(master->GetLogicInterpreter()).store(-1);

    master->SetGripperPosition(std::nanf(""));
    EXPECT_FALSE(RobotMasterTestAccess::Requests(*master).gripperPending.load());
}

TEST_F(MasterCommandTest, EStopDetectedOnlyWhenMonitoredAndInputLow) {
    EXPECT_FALSE(master->IsEStopDetected());
    SetEStopInput(*master, 7);
    EXPECT_TRUE(master->IsEStopDetected());
    RobotMasterTestAccess::LastEStopInput(*master).store(true);
    EXPECT_FALSE(master->IsEStopDetected());
}
