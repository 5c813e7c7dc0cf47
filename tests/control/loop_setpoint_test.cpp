// The robot loop's set-points: joint and Cartesian jog (with the velocity limit of the
// operation modes), the interpreter set-point and its kinematic errors, operation mode 2.
#include "kinematics/RobotKinematicSixAxis.h"
#include "loop_test_fixture.h"
#include "testsupport/IpoTestAccess.h"
#include "testsupport/KinematicChecks.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>

using namespace ControlTest;

namespace {

using DataTypes::Matrix44;
using DataTypes::Vector3;
using TestSupport::Distance;

void SetJog(RobotMaster& m, std::initializer_list<std::pair<int, float>> values) {
    float jog[9] = {};
    for (const auto& v : values) jog[v.first] = v.second;
    m.SetJogValues(jog);
}

TEST_F(LoopTest, GantryJointJogAtHalfSpeedSettlesAtHalfTheMaximumPerCycle) {
    InitGantry();
    ReleaseBrake();
    const double vmax = RobotMasterTestAccess::JointMaxVelocity(master)[0];
    ASSERT_GT(vmax, 0.0);
    const double cycleS = RobotMasterTestAccess::CycleTimeMs(master).load() / 1000.0;
    for (int i = 0; i < 200; ++i) {
        SetJog(master, {{0, 50.0f}});
        Cycles(1);
    }
    const float before = Live().jointSet[0];
    SetJog(master, {{0, 50.0f}});
    Cycles(1);
    // JogJoint 2 in the robot file doubles the jog speed.
    EXPECT_NEAR(Live().jointSet[0] - before, 0.5 * RobotMasterTestAccess::JogVelJoint(master) * vmax * cycleS, 1e-3);
    EXPECT_EQ(Live().jointSet[1], 0.0f);
    EXPECT_EQ(Live().kinState, 0);
}

// After a connect the drives may still be enabled from before it: until an operator's
// reset or enable takes them over, every set-point sent is the measured joints, whatever
// jog or the project's home position ask; afterwards jog starts from there, without a step.
TEST_F(LoopTest, AfterAConnectTheSetPointsAreTheMeasuredJointsUntilAResetOrEnable) {
    const struct {
        const char* name;
        std::function<void(RobotMaster&)> takeOver;
    } cases[] = {
        {"reset", [](RobotMaster& m) { m.Reset(); }},
        {"enable", [](RobotMaster& m) { m.EnableMotors(true); }},
    };
    InitGantry();
    const double vmax = RobotMasterTestAccess::JointMaxVelocity(master)[0];
    const double jogStep = RobotMasterTestAccess::JogVelJoint(master) * vmax * 0.02;  // 100 %, one 20 ms cycle
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Live().jointSet[0] = 10.0f;  // a home position the drives are not at
        Live().jointSet[1] = 60.0f;
        const float measured[3] = {120.5f, 80.25f, 40.0f};
        std::copy(std::begin(measured), std::end(measured), Live().jointAct);
        protocol->CountConnect();
        protocol->ClearSetPoints();
        for (int i = 0; i < 30; ++i) {
            SetJog(master, {{0, 100.0f}, {1, -100.0f}});
            Cycles(1);
        }
        for (const auto& sent : protocol->SentSetPoints(30)) {
            for (int j = 0; j < 3; ++j) EXPECT_NEAR(sent[j], measured[j], 1e-3) << "joint " << j;
        }
        EXPECT_NEAR(master.GetRobotState().jointSet[0], measured[0], 1e-3);

        c.takeOver(master);
        ReleaseBrake();  // the gantry has a brake: nothing moves while it holds
        protocol->ClearSetPoints();
        for (int i = 0; i < 5; ++i) {
            SetJog(master, {{0, 100.0f}});
            Cycles(1);
        }
        const auto sent = protocol->SentSetPoints(5);
        ASSERT_EQ(sent.size(), 5u);
        EXPECT_GT(sent.back()[0], measured[0]) << "jog moves again";
        float previous = measured[0];
        for (const auto& s : sent) {
            EXPECT_LE(std::fabs(s[0] - previous), jogStep + 1e-3) << "no step";
            previous = s[0];
        }
        SetJog(master, {});
        Cycles(20);
    }
}

// A six-axis arm standing with its tool tilted 90 degrees about Y.
class SixAxisJogTest : public LoopTest {
protected:
    void SetUp() override {
        LoopTest::SetUp();
        if (IsSkipped()) return;
        auto arm = std::make_unique<RobotKinematicSixAxis>();
        arm->Init("arm", "StandardSixAxisPlus",
                  std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/sixaxis/robot_default.xml", 0);
        InitWith(std::move(arm));
        DataTypes::RobotState state;
        master.GetKinematic()->GetPosition(&state);
        start = state.pose;
        start.SetRotationABCDeg2(0.0, 90.0, 0.0);
        start.SetTranslation(start.GetTranslation() + Vector3(-50.0f, 0.0f, -50.0f));
        float joints[9];
        master.GetKinematic()->GetJoints(joints);
        master.GetKinematic()->SetPosition(start, joints);
        master.GetKinematic()->GetJoints(Live().jointSet);
        Cycles(1);  // the drive state read back once, nothing jogged
        master.GetKinematic()->GetPosition(&state);
        start = state.pose;
    }
    Matrix44 PoseAfterOneJogCycle(MotionType type) {
        master.SetMotionMode(type);
        SetJog(master, {{3, 100.0f}});  // A: about Z
        Cycles(1);
        DataTypes::RobotState state;
        master.GetKinematic()->GetPosition(&state);
        return state.pose;
    }

    Matrix44 start;
};

TEST_F(SixAxisJogTest, BaseAndToolJogsAboutZTurnAboutTheBaseAndTheToolAxis) {
    const double step = RobotMasterTestAccess::JogVelOri(master)[0] * RobotMasterTestAccess::CycleTimeMs(master).load() / 1000.0;
    Matrix44 turn;
    turn.SetRotationABCDeg(step, 0.0, 0.0);
    struct Case {
        MotionType type;
        Matrix44 expected;
    };
    // Matrix44's product puts its right operand first.
    const Case cases[] = {
        {MOTION_ROBOT_CART_BASE, start * turn},  // turn·start: about the base Z axis
        {MOTION_ROBOT_CART_TOOL, turn * start},  // start·turn: about the tool's Z axis
    };
    const float joints[9] = {Live().jointSet[0], Live().jointSet[1], Live().jointSet[2],
                             Live().jointSet[3], Live().jointSet[4], Live().jointSet[5]};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        std::copy(joints, joints + 9, Live().jointSet);
        master.GetKinematic()->ResetLastJoints(joints);
        master.GetKinematic()->SetJoints(joints, false);
        const Matrix44 pose = PoseAfterOneJogCycle(c.type);
        EXPECT_EQ(Live().kinState, 0);
        for (int r = 0; r < 3; ++r) {
            for (int k = 0; k < 3; ++k) EXPECT_NEAR(pose(r, k), c.expected(r, k), 1e-4) << r << "," << k;
        }
        EXPECT_LT(Distance(pose.GetTranslation(), start.GetTranslation()), 1e-2);
    }
}

TEST_F(LoopTest, VelocityLimitedCartesianJogSettlesAtTheLimit) {
    InitGantry();
    ReleaseBrake();
    RobotMasterTestAccess::OperationModesActive(master) = true;
    RobotMasterTestAccess::DInEnableManualMotion(master) = 5;
    RobotMasterTestAccess::ManualModeMaxVel(master) = 100.0f;
    protocol->SetInput(5, true);
    master.SetMotionMode(MOTION_ROBOT_CART_BASE);
    Live().jointSet[0] = Live().jointSet[1] = Live().jointSet[2] = 100.0f;
    master.GetKinematic()->SetJoints(Live().jointSet, false);
    for (int i = 0; i < 60; ++i) {
        SetJog(master, {{0, 100.0f}, {1, 100.0f}, {2, 100.0f}});
        Cycles(1);
    }
    EXPECT_EQ(master.GetOperationMode(), 1);
    DataTypes::RobotState before;
    master.GetKinematic()->GetPosition(&before);
    SetJog(master, {{0, 100.0f}, {1, 100.0f}, {2, 100.0f}});
    Cycles(1);
    const double speed = Distance(Live().pose.GetTranslation(), before.pose.GetTranslation()) * 1000.0 /
                         RobotMasterTestAccess::CycleTimeMs(master).load();
    EXPECT_NEAR(speed, 100.0, 1e-2);
}

TEST_F(LoopTest, VelocityLimitedJointProbeScalesOnlyTheRobotAxes) {
    InitGantry();
    ReleaseBrake();
    RobotMasterTestAccess::OperationModesActive(master) = true;
    RobotMasterTestAccess::DInEnableManualMotion(master) = 5;
    RobotMasterTestAccess::ManualModeMaxVel(master) = 20.0f;
    RobotMasterTestAccess::JointMaxVelocity(master)[6] = 10.0;
    protocol->SetInput(5, true);
    TestSupport::LogCapture log;
    for (int i = 0; i < 100; ++i) {
        SetJog(master, {{0, 100.0f}, {6, 100.0f}});
        Cycles(1);
    }
    const float a1 = Live().jointSet[0];
    const float e1 = Live().jointSet[6];
    SetJog(master, {{0, 100.0f}, {6, 100.0f}});
    Cycles(1);
    const double cycleS = RobotMasterTestAccess::CycleTimeMs(master).load() / 1000.0;
    EXPECT_NEAR((Live().jointSet[0] - a1) / cycleS, 20.0, 1e-2);                         // scaled to the limit
    EXPECT_NEAR((Live().jointSet[6] - e1) / cycleS, RobotMasterTestAccess::JogVelJoint(master) * 10.0, 1e-2);  // not scaled
    EXPECT_EQ(log.Count("Safety speed reduction getting active: 20.00 mm/s maximum!"), 1);
}

// A move-to motion on the gantry; the loop's kinematic may get tighter limits than the
// planner's copy.
class LoopMotionTest : public LoopTest {
protected:
    void SetUp() override {
        LoopTest::SetUp();
        if (IsSkipped()) return;
        InitGantry();
        PrepareInterpreters();
        ReleaseBrake();
    }
    void StartMoveTo(float a1) {
        IPO& moveTo = master.GetMoveToInterpreter();
        const float target[9] = {a1, 0, 0, 0, 0, 0, 0, 0, 0};
        moveTo.MoveJoint(target, 100.0f);
        moveTo.Start();
        ASSERT_TRUE(moveTo.IsReplayRunning());
    }
};

TEST_F(LoopMotionTest, OperationModeTwoNeverAsksTheInterpreter) {
    RobotMasterTestAccess::OperationModesActive(master) = true;
    RobotMasterTestAccess::DInOpModeAuto(master) = 4;
    StartMoveTo(50.0f);
    IPO& moveTo = master.GetMoveToInterpreter();
    for (int i = 0; i < 50; ++i) Cycles(1);
    EXPECT_EQ(master.GetOperationMode(), 2);
    EXPECT_EQ(IpoTestAccess::PathTime(moveTo), 0);
    EXPECT_EQ(moveTo.GetMissedCycles(), 0);
    EXPECT_EQ(Live().jointSet[0], 0.0f);

    protocol->SetInput(4, true);  // not limited: the motion goes on
    EXPECT_TRUE(WaitFor([&] {
        Cycles(1);
        return Live().jointSet[0] > 0.0f;
    }));
    moveTo.Stop(IPO::STOP_USER, "");
}

TEST_F(LoopMotionTest, AJointLimitHitStopsTheMotionWithItsText) {
    // Only the loop's own field, not handed over: the planner plans to 50.
    RobotKinematic& kinematic = *master.GetKinematic();
    kinematic.jointMinMax[0][1] = kinematic.brandTrafoJointDirections[0] * 10.0f + kinematic.brandTrafoJointOffsets[0];
    TestSupport::LogCapture log;
    StartMoveTo(50.0f);
    IPO& moveTo = master.GetMoveToInterpreter();
    EXPECT_TRUE(WaitFor([&] {
        Cycles(1);
        return !moveTo.IsReplayRunning();
    }));
    EXPECT_EQ(Live().kinState, 14);
    EXPECT_TRUE(WaitFor([&] { return log.Contains("Kinematic error: Joint limit max reached"); }));
    EXPECT_LE(Live().jointSet[0], 10.0f + 1e-3f);
}

// A limit the robot's kinematic takes reaches the planners' copies: the target past it is
// refused before any set-point changes.
TEST_F(LoopMotionTest, ANewJointLimitIsCheckedByThePlannerBeforeMotion) {
    float limits[9][2];
    master.GetKinematic()->GetMinMaxValues(limits);
    limits[0][1] = 10.0f;
    master.GetKinematic()->SetMinMaxValues(limits);
    TestSupport::LogCapture log;
    IPO& moveTo = master.GetMoveToInterpreter();
    const float target[9] = {50.0f, 0, 0, 0, 0, 0, 0, 0, 0};
    moveTo.MoveJoint(target, 100.0f);
    moveTo.Start();
    EXPECT_TRUE(WaitFor([&] {
        Cycles(1);
        return !moveTo.IsReplayRunning();
    }));
    EXPECT_TRUE(WaitFor([&] { return log.Contains("PathGen: target refused before motion: Kinematic error: Joint limit max reached"); }));
    EXPECT_EQ(Live().jointSet[0], 0.0f);
}

TEST_F(LoopMotionTest, AHardwareErrorStopsTheMotionAndBlocksSetPoints) {
    RobotMasterTestAccess::DebugMode(master) = false;
    StartMoveTo(50.0f);
    protocol->SetErrorText("OverCurrent");
    Cycles(3);
    EXPECT_FALSE(master.GetMoveToInterpreter().IsReplayRunning());
    EXPECT_FALSE(master.GetMoveToInterpreter().IsProgramLoaded());
    EXPECT_EQ(Live().kinState, 99);
    SetJog(master, {{0, 100.0f}});
    const float a1 = Live().jointSet[0];
    Cycles(3);
    EXPECT_EQ(Live().jointSet[0], a1);  // no jog either

    protocol->SetErrorText("operation_enabled");
    Cycles(2);
    ReleaseBrake();  // the error engaged it; the operator's enable releases it
    SetJog(master, {{0, 100.0f}});
    Cycles(5);
    EXPECT_GT(Live().jointSet[0], a1);
    EXPECT_EQ(Live().kinState, 0);
}

// A reset seats the set-points at the measured joints; a program paused by a drive error
// then resumes from there, planned anew, without a step to where its old plan had got to.
TEST_F(LoopMotionTest, AResetReplansAPausedMotionFromTheMeasuredJoints) {
    RobotMasterTestAccess::DebugMode(master) = false;
    master.GetMainInterpreter().SetStopOnError(false);  // a drive error pauses (project "DefaultState" 0)
    const std::string programs = LogSingleton::instance()->get_rootPath() + "Data/Programs/";
    WriteText(programs + "ResetReplan.xml",
              "<?xml version=\"1.0\"?>\n<Program>\n  <Joint Nr=\"1\" a1=\"200\" a2=\"0\" a3=\"0\" "
              "velPercent=\"50\" acc=\"50\" smooth=\"0\" AbortCondition=\"false\" />\n</Program>\n");
    ASSERT_EQ(master.GetMainInterpreter().LoadProgramSynchronous("ResetReplan.xml", true), 0);
    Cycles(1);
    master.StartProgram();
    ASSERT_TRUE(WaitFor([&] {
        Cycles(1);
        return Live().jointSet[0] > 20.0f;
    }));
    protocol->SetErrorText("OverCurrent");
    Cycles(3);
    ASSERT_FALSE(master.GetMainInterpreter().IsReplayRunning());
    ASSERT_NE(master.GetMainInterpreter().GetCurrentPoint(), -1);  // paused
    protocol->SetErrorText("operation_enabled");
    Cycles(2);

    // The drive stands where it measures (this protocol measures 0), not at the held set-point.
    master.Reset();
    EXPECT_EQ(Live().jointSet[0], Live().jointAct[0]);
    ReleaseBrake();  // the drive error engaged it
    Cycles(1);
    master.StartProgram();
    ASSERT_TRUE(master.GetMainInterpreter().IsReplayRunning());
    float last = Live().jointSet[0];
    float largest = 0.0f;
    const auto cycle = [&] {
        Cycles(1);
        largest = std::max(largest, std::fabs(Live().jointSet[0] - last));
        last = Live().jointSet[0];
    };
    // It moves again once the new plan has come from the planning thread.
    EXPECT_TRUE(WaitFor([&] {
        cycle();
        return last > Live().jointAct[0] + 1.0f;
    }));
    for (int i = 0; i < 50; ++i) cycle();
    // At most one cycle (20 ms) at the joint's maximum velocity (80 deg/s).
    EXPECT_LE(largest, 80.0f * 0.020f + 1e-3f);
    std::error_code ec;
    std::filesystem::remove(programs + "ResetReplan.xml", ec);
}

TEST_F(LoopTest, JogIsRefusedOnceWhileAProgramIsPaused) {
    InitGantry();
    ReleaseBrake();
    IpoTestAccess::CurrentPoint(master.GetMainInterpreter()).store(0);  // paused at its first command
    for (int i = 0; i < 5; ++i) {
        SetJog(master, {{0, 100.0f}});
        Cycles(1);
    }
    EXPECT_EQ(Live().jointSet[0], 0.0f);
    EXPECT_EQ(std::count(Notes().begin(), Notes().end(), "Cannot jog while program is paused"), 1);
    IpoTestAccess::CurrentPoint(master.GetMainInterpreter()).store(-1);
    Cycles(1);
    EXPECT_GT(Live().jointSet[0], 0.0f);
}

}  // namespace
