// Loaded commands as the planners reach them: through the interpreter's command access.

#include "IpoTestSupport.h"

#include "program/CommandCircular.h"
#include "testsupport/IpoTestAccess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

class PlannerAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        IpoTest::SetFixtureRobot();
        ipo = IpoTest::MakeIpo(&mem.memory);
    }

    std::vector<std::shared_ptr<Command>> Load(const std::string& elements) {
        IpoTest::WriteProgram("planner.xml", "<Program>" + elements + "</Program>");
        EXPECT_EQ(ipo->LoadProgramSynchronous("planner.xml", true), 0);
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
        return IpoTestAccess::Programs(*ipo).empty() ? std::vector<std::shared_ptr<Command>>{} : IpoTestAccess::Programs(*ipo)[0].commands;
    }

    IpoTest::Memory mem;
    std::unique_ptr<IPO> ipo;
};

TEST_F(PlannerAccessTest, GetCircleGivesTheCircleOfACircularOnly) {
    const auto cmds =
        Load("<Circular Nr=\"1\" vel=\"50\" acc=\"40\" smooth=\"0\" useAngle=\"false\" angle=\"0\" "
             "Source=\"numerical\" p1x=\"10\" p1y=\"10\" p1z=\"0\" p2x=\"20\" p2y=\"0\" p2z=\"0\" a=\"0\" b=\"0\" "
             "c=\"0\" e1=\"0\" e2=\"0\" e3=\"0\" AbortCondition=\"false\"/>"
             "<Joint Nr=\"2\" a1=\"5\" velPercent=\"50\" AbortCondition=\"false\"/>");
    ASSERT_EQ(cmds.size(), 2u);
    const PathCommandAccess& access = IpoTestAccess::CommandAccess(*ipo);
    DataTypes::RobotState current;
    DataTypes::RobotState target;
    float vc = 0, vj = 0, acc = 0, smooth = 0;
    access.GetTargetPosition(*cmds[0], &current, &target, vc, vj, acc, smooth);
    const CircleParameters* circle = access.GetCircle(*cmds[0]);
    ASSERT_NE(circle, nullptr);
    EXPECT_EQ(circle, static_cast<const CommandCircular&>(*cmds[0]).circle.get());
    EXPECT_FLOAT_EQ(vc, 50.0f);
    EXPECT_NEAR(target.pose(0, 3), 20.0f, 1e-3f);
    EXPECT_EQ(access.GetCircle(*cmds[1]), nullptr);

    EXPECT_EQ(access.GetCommandType(*cmds[0]), 1);
    EXPECT_EQ(access.GetCommandType(*cmds[1]), 0);
    EXPECT_EQ(access.GetClassName(*cmds[1]), "CommandJoint");
    const PathCommandMotion motion = access.GetMotion(*cmds[1]);
    EXPECT_FLOAT_EQ(motion.velJointPercent, 50.0f);
    EXPECT_FLOAT_EQ(motion.accPercent, cmds[1]->accPercent);
    EXPECT_FLOAT_EQ(motion.smoothPercent, cmds[1]->smoothPercent);
}

TEST_F(PlannerAccessTest, ALoadedJointPlannedByTheJointGeneratorReachesItsTarget) {
    const auto cmds = Load("<Joint Nr=\"1\" a1=\"10\" a2=\"-20\" a3=\"5\" a6=\"30\" e1=\"7\" velPercent=\"80\" "
                           "acc=\"50\" smooth=\"0\" AbortCondition=\"false\"/>");
    ASSERT_EQ(cmds.size(), 1u);
    PathGenerator& gen = *ipo->GetPathGenerator();
    DataTypes::RobotState start;
    gen.SetFirstCmd(cmds[0], &start, 0, cmds[0]->nextSuccessor);
    gen.ComputePathStartThread();
    ASSERT_TRUE(IpoTest::WaitFor([&] { return gen.IsPathAvailable() || !gen.IsThreadRunning(); }));
    ASSERT_TRUE(gen.IsPathAvailable());
    ASSERT_EQ(gen.GetResult(), 0);

    float joints[9] = {};
    int index = -1;
    int result = -1;
    long t = 0;
    for (int cycle = 0; cycle < 100000 && result == -1; ++cycle, t += 10000) {
        result = gen.GetJointPosition(t, joints, &index);
    }
    EXPECT_EQ(result, -2);  // the successor of the last (only) command
    const float expected[9] = {10, -20, 5, 0, 0, 30, 7, 0, 0};
    for (int j = 0; j < 9; ++j) EXPECT_NEAR(joints[j], expected[j], 1e-3f) << j;
}

}  // namespace
