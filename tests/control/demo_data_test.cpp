// The demo data root (demo/ in the source tree), read as the controller reads it at
// start-up: front-end file, project, robot file, and the start and logic programs, which
// must pass the header check and run one pass on the demo robot's kinematic.

#include "../program/IpoStandInLoop.h"
#include "project_support.h"

#include "program/IPO.h"
#include "program/ProgramMemory.h"
#include "testsupport/IpoTestAccess.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>

namespace ControlTest {
namespace {

const std::string kDemoRoot = std::string(BELVANTO_FIXTURES_DIR) + "/../../demo/";

// An interpreter on the demo arm's Cartesian planner, set up as the robot master sets it
// up, running its program once.
void InitDemoInterpreter(IPO& ipo, Programs::ProgramMemory& memory, const RobotKinematic& arm, int velocitySetting) {
    ipo.SetMemory(&memory);
    ipo.InitPathGen(PATHGEN_LINEAR, 100.0f, 10.0f, 3);
    ipo.GetPathGenerator()->SetKinematic(arm.clone());
    float vel[9], acc[9], jerk[9];
    std::copy(std::begin(arm.jointMaxVelocity), std::end(arm.jointMaxVelocity), vel);
    std::copy(std::begin(arm.jointMaxAcceleration), std::end(arm.jointMaxAcceleration), acc);
    std::copy(std::begin(arm.jointMaxAccelerationInc), std::end(arm.jointMaxAccelerationInc), jerk);
    ipo.InitJointMaxValues(vel, acc, jerk, static_cast<float>(arm.VelTrans), static_cast<float>(arm.AccLin),
                           static_cast<float>(arm.AccLinInc), arm.VelOri, arm.AccOri, arm.AccOriInc);
    ipo.SetVelocitySetting(velocitySetting);
    ipo.SetReplayMode(IPO::REPLAY_SINGLE);
}

// A copy of demo/ as the data root (the test's working folder), removed afterwards.
class DemoDataTest : public RobotFileTest {
protected:
    void SetUp() override {
        RobotFileTest::SetUp();
        if (IsSkipped()) return;
        namespace fs = std::filesystem;
        ASSERT_TRUE(fs::exists(kDemoRoot + "JXRFrontend.xml")) << kDemoRoot;
        fs::copy_file(kDemoRoot + "JXRFrontend.xml", root + "JXRFrontend.xml", fs::copy_options::overwrite_existing);
        fs::copy(kDemoRoot + "Data", root + "Data", fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        // The interpreters compare the program headers with the version main sets.
        LogSingleton::instance()->set_softwareVersion("V980-13-030", 13, 30);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove(root + "JXRFrontend.xml", ec);
        std::filesystem::remove_all(root + "Data", ec);
        LogSingleton::instance()->set_robotName("");
        LogSingleton::instance()->set_robotType("");
        LogSingleton::instance()->set_robotGripper("");
    }
};

TEST_F(DemoDataTest, OpensWithTheFourAxisArmAndLoadsBothPrograms) {
    TestSupport::LogCapture capture;
    RobotMaster master;
    ProjectManager pm;
    ASSERT_EQ(pm.OpenProject(&master), 0) << capture.Joined();
    LogSingleton* log = LogSingleton::instance();
    EXPECT_EQ(log->get_seriousFailReason(), "na");
    EXPECT_EQ(static_cast<int>(log->get_opMode()), 0);

    // Project.
    EXPECT_EQ(pm.GetProjectFilePath(), root + "Data/Projects/Demo.prj");
    EXPECT_EQ(pm.GetStartProgram(), "DemoStart.xml");
    EXPECT_EQ(pm.GetLogicProgram(), "DemoLogic.xml");
    EXPECT_TRUE(pm.GetRepeat());
    // The demo serves PLCs (on port 1502).
    EXPECT_TRUE(pm.modbusEnabled.load());
    EXPECT_EQ(log->get_robotType(), "JXRPivra4");
    EXPECT_FALSE(log->get_plcInterfaceNr().Active);
    EXPECT_EQ(log->get_plcInterfaceNr().JointToRef[3], 3);
    EXPECT_EQ(log->get_plcInterfaceNr().JointToRef[4], -1);

    // Robot file: loop and bus sections, the arm, the protocol.
    EXPECT_EQ(RobotMasterTestAccess::CycleTimeMs(master).load(), 10);
    EXPECT_EQ(RobotMasterTestAccess::TimingMode(master).load(), 2);
    ASSERT_NE(master.GetKinematic(), nullptr);
    EXPECT_EQ(master.GetKinematic()->kinematicTypeName, "RobotKinematicPivra4");
    EXPECT_EQ(master.GetKinematic()->nrOfJoints, 4);
    ASSERT_NE(master.GetHardware(), nullptr);
    EXPECT_TRUE(capture.Contains("RobotMaster: 10 ms cycle time"));
    EXPECT_TRUE(capture.Contains("RobotMaster: Timing mode: Mode 2"));
    EXPECT_TRUE(capture.Contains("DIO module added on CAN ID 80."));
    // Every section the readers look for is there.
    EXPECT_FALSE(capture.Contains("not found in robot ini file")) << capture.Joined();
    EXPECT_FALSE(capture.Contains("not found in robot file")) << capture.Joined();
    EXPECT_FALSE(capture.Contains("not found in project file")) << capture.Joined();
    EXPECT_FALSE(capture.Contains("not found in line")) << capture.Joined();

    // Both programs pass the header check for this robot. The planners get the arm as
    // FinishInit hands it to them (without starting the loop).
    IPO& mainIpo = master.GetMainInterpreter();
    IPO& logicIpo = master.GetLogicInterpreter();
    for (IPO* ipo : {&mainIpo, &logicIpo}) {
        ASSERT_TRUE(ipo->GetPathGenerator());
        ipo->GetPathGenerator()->SetKinematic(master.GetKinematic()->clone());
    }
    ASSERT_EQ(mainIpo.LoadProgramSynchronous(pm.GetStartProgram(), false), 0);
    EXPECT_TRUE(mainIpo.IsProgramLoaded()) << capture.Joined();
    ASSERT_EQ(logicIpo.LoadProgramSynchronous(pm.GetLogicProgram(), false), 0);
    EXPECT_TRUE(logicIpo.IsProgramLoaded()) << capture.Joined();
    EXPECT_EQ(capture.Count("Consistency verified."), 2) << capture.Joined();
    EXPECT_FALSE(capture.Contains("Could not parse program")) << capture.Joined();
}

// One pass of each program on a stand-in loop with the demo arm: every target lies inside
// the limits and within reach, and the arm moves.
TEST_F(DemoDataTest, ProgramsRunOnePassOnTheDemoArm) {
    TestSupport::LogCapture capture;
    RobotMaster master;
    ProjectManager pm;
    ASSERT_EQ(pm.OpenProject(&master), 0) << capture.Joined();
    RobotKinematic* arm = master.GetKinematic();
    ASSERT_NE(arm, nullptr);

    DataTypes::RobotState memoryState;
    Programs::ProgramMemory memory;
    memory.SetKinematic(arm->clone());
    memory.SetRobotState(&memoryState);

    for (const std::string& name : {pm.GetStartProgram(), pm.GetLogicProgram()}) {
        SCOPED_TRACE(name);
        const bool logic = name == pm.GetLogicProgram();
        IPO ipo(logic ? IPO::IPO_LOGIC : IPO::IPO_MAIN);
        InitDemoInterpreter(ipo, memory, *arm, master.GetVelocitySetting());
        ASSERT_EQ(ipo.LoadProgramSynchronous(name, true), 0);
        ASSERT_TRUE(ipo.IsProgramLoaded()) << capture.Joined();

        IpoTest::StandInLoop loop(arm->clone());
        ipo.Start();
        float lowest[4] = {1e9f, 1e9f, 1e9f, 1e9f};
        float highest[4] = {-1e9f, -1e9f, -1e9f, -1e9f};
        bool outputSeen = false;
        ASSERT_TRUE(loop.RunUntil(ipo, [&] {
            for (int j = 0; j < 4; ++j) {
                lowest[j] = std::min(lowest[j], loop.state.jointSet[j]);
                highest[j] = std::max(highest[j], loop.state.jointSet[j]);
            }
            outputSeen = outputSeen || loop.state.DOut[0] || loop.state.GSig[0];
            return !ipo.IsReplayRunning();
        })) << capture.Joined();
        EXPECT_EQ(loop.lastKinematicError, "") << capture.Joined();
        EXPECT_TRUE(outputSeen);
        if (!logic) {
            // Visible motion on every joint, inside the software limits.
            for (int j = 0; j < 4; ++j) {
                EXPECT_GT(highest[j] - lowest[j], 10.0f) << "joint " << j;
                EXPECT_GE(lowest[j], arm->jointMinMax[j][0]) << "joint " << j;
                EXPECT_LE(highest[j], arm->jointMinMax[j][1]) << "joint " << j;
            }
        }
    }
    EXPECT_FALSE(capture.Contains("Kinematic Error")) << capture.Joined();
    EXPECT_FALSE(capture.Contains("InvKin: OutofReach")) << capture.Joined();
}

// The demo's Linear moves at override 100 on the stand-in loop (10 ms cycles, as the demo
// robot file runs): no joint steps further in one cycle than its JointVelocities allow.
TEST_F(DemoDataTest, LinearMovesKeepEveryJointWithinItsVelocity) {
    TestSupport::LogCapture capture;
    RobotMaster master;
    ProjectManager pm;
    ASSERT_EQ(pm.OpenProject(&master), 0) << capture.Joined();
    RobotKinematic* arm = master.GetKinematic();
    ASSERT_NE(arm, nullptr);
    constexpr int kCycleMs = 10;

    DataTypes::RobotState memoryState;
    Programs::ProgramMemory memory;
    memory.SetKinematic(arm->clone());
    memory.SetRobotState(&memoryState);
    IPO ipo(IPO::IPO_MAIN);
    InitDemoInterpreter(ipo, memory, *arm, master.GetVelocitySetting());
    ASSERT_EQ(ipo.LoadProgramSynchronous(pm.GetStartProgram(), true), 0);

    IpoTest::StandInLoop loop(arm->clone());
    ipo.Start();
    float previous[4];
    std::copy(loop.state.jointSet, loop.state.jointSet + 4, previous);
    float largest[4] = {};
    int linearCycles = 0;
    ASSERT_TRUE(loop.RunUntil(
        ipo,
        [&] {
            const int point = ipo.GetCurrentPoint();
            bool linear = false;
            {
                std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(ipo));
                const auto& commands = IpoTestAccess::Programs(ipo)[0].commands;
                linear = point >= 0 && point < static_cast<int>(commands.size()) &&
                         commands[static_cast<std::size_t>(point)]->className == "CommandLinear";
            }
            if (linear) {
                ++linearCycles;
                for (int j = 0; j < 4; ++j) {
                    largest[j] = std::max(largest[j], std::fabs(loop.state.jointSet[j] - previous[j]));
                }
            }
            std::copy(loop.state.jointSet, loop.state.jointSet + 4, previous);
            return !ipo.IsReplayRunning();
        },
        kCycleMs))
        << capture.Joined();
    EXPECT_EQ(loop.lastKinematicError, "") << capture.Joined();
    EXPECT_GT(linearCycles, 100);
    for (int j = 0; j < 4; ++j) {
        const float allowed = arm->jointMaxVelocity[j] * kCycleMs / 1000.0f;
        std::printf("demo Linear moves, override 100: joint %d largest step %.3f deg per %d ms cycle "
                    "(%.1f deg/s, JointVelocities %.1f)\n",
                    j + 1, static_cast<double>(largest[j]), kCycleMs,
                    static_cast<double>(largest[j]) * 1000.0 / kCycleMs,
                    static_cast<double>(arm->jointMaxVelocity[j]));
        EXPECT_LE(largest[j], allowed * 1.001f) << "joint " << j + 1;
    }
}

}  // namespace
}  // namespace ControlTest
