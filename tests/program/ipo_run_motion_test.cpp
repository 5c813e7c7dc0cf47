// Programs run cycle by cycle on the six-axis fixture robot, through both planners.

#include "IpoRunSupport.h"

#include "program/CommandLinear.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <string>
#include <tuple>
#include <vector>

namespace {

using IpoTest::Event;

class RunOnArm : public ::testing::TestWithParam<PathGenType> {
protected:
    void SetUp() override {
        IpoTest::SetFixtureRobot();
        IpoTest::CopyFixtures();
        ipo = IpoTest::MakeArmIpo(&mem.memory, GetParam());
        auto plugins = std::make_unique<IpoTest::InstantPlugins>();
        ipo->SetPluginManager(std::move(plugins));
        IpoTest::EventLog::Take();
    }
    void TearDown() override { IpoTest::EventLog::Take(); }

    double Number(const std::string& name) { return mem.memory.GetVariable(name).value; }

    IpoTest::ArmMemory mem;
    std::unique_ptr<IPO> ipo;
    IpoTest::StandInLoop loop{IpoTest::SixAxisArm()};
};

TEST_P(RunOnArm, EveryElementFixtureRunsToItsEndInSingleMode) {
    IpoTest::CameraRegistration camera("Cam1");
    ASSERT_EQ(ipo->LoadProgramSynchronous("every_element.xml", true), 0);
    // The camera and plug-in commands write variables the program's front end defines.
    for (const char* position : {"camTarget", "plugTarget"}) {
        mem.memory.SetVariablePosJoint(position, 0, 0, 0, 0, 0, 0, 0, 0, 0, true);
    }
    mem.memory.SetVariableSingle("camModel", 0.0, true);
    mem.memory.SetVariableSingle("plugModel", 0.0, true);
    ipo->SetReplayMode(IPO::REPLAY_SINGLE);
    ipo->Start();
    ASSERT_TRUE(loop.RunToEnd(*ipo)) << "still running at command " << ipo->GetCurrentPoint();
    EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_STOPPED);
    EXPECT_EQ(loop.lastKinematicError, "");
    // Each command acknowledged as the counter reaches it: the loop twice through its If and
    // Else, the matrix loop twice, both subs (sub2 from sub1 and again from the main program).
    const std::vector<std::pair<int, int>> golden = {
        {0, 0},  {1, 0},  {2, 0},  {3, 0},  {4, 0},  {5, 0},  {6, 0},  {7, 0},  {8, 0},  {9, 0},  {11, 0},
        {9, 0},  {7, 0},  {8, 0},  {9, 0},  {10, 0}, {9, 0},  {7, 0},  {12, 0}, {13, 0}, {14, 0}, {15, 0},
        {16, 0}, {17, 0}, {18, 0}, {17, 0}, {18, 0}, {17, 0}, {19, 0}, {20, 0}, {21, 0}, {0, 1},  {1, 1},
        {0, 2},  {1, 2},  {2, 1},  {22, 0}, {0, 2},  {1, 2},  {23, 0}};
    const std::vector<Event> events = IpoTest::EventLog::Take();
    ASSERT_EQ(events.size(), golden.size() + 1);
    for (std::size_t i = 0; i < golden.size(); ++i) {
        EXPECT_EQ(events[i].type, HVP_EVENT_ACK) << i;
        EXPECT_EQ(events[i].point, golden[i].first) << i;
        EXPECT_EQ(events[i].program, golden[i].second) << i;
        EXPECT_EQ(events[i].text, "") << i;
    }
    EXPECT_EQ(events.back().type, HVP_EVENT_END);
    EXPECT_EQ(events.back().text, "PLAN");

    EXPECT_DOUBLE_EQ(Number("count"), 2.0 + 10 + 100 + 100);
    EXPECT_TRUE(loop.state.DOut[0]) << "DOut1 set in the second pass of the loop";
    const Programs::MemoryPosition place = mem.memory.GetVariable("place");
    EXPECT_NEAR(place.state.pose(0, 3), 400.0f, 1e-3f);
    EXPECT_NEAR(place.state.pose(2, 3), 300.0f, 1e-3f);
    EXPECT_DOUBLE_EQ(Number("cx"), 1.0);
    EXPECT_DOUBLE_EQ(Number("cy"), 1.0);
    EXPECT_DOUBLE_EQ(Number("camModel"), 2.0);
    EXPECT_DOUBLE_EQ(Number("plugModel"), 4.0);
    // The arm stands at the Circular's end point, the last motion of the program.
    EXPECT_NEAR(loop.state.pose(0, 3), 450.0f, 1e-3f);
    EXPECT_NEAR(loop.state.pose(1, 3), 0.0f, 1e-3f);
    EXPECT_NEAR(loop.state.pose(2, 3), 250.0f, 1e-3f);
    // The camera's and the plug-in's targets were solved on the arm: their joints lead
    // back to the delivered poses.
    auto reference = IpoTest::SixAxisArm();
    for (const auto& [name, x, y, z] : {std::tuple<const char*, float, float, float>{"camTarget", 400, 50, 300},
                                        {"plugTarget", 410, 40, 310}}) {
        const Programs::MemoryPosition target = mem.memory.GetVariable(name);
        reference->SetJoints(target.state.jointSet, true);
        DataTypes::RobotState solved;
        reference->GetPosition(&solved);
        EXPECT_NEAR(solved.pose(0, 3), x, 1e-2f) << name;
        EXPECT_NEAR(solved.pose(1, 3), y, 1e-2f) << name;
        EXPECT_NEAR(solved.pose(2, 3), z, 1e-2f) << name;
    }
}

// The real six-axis arm: each motion ends on its target.
class MotionOnArm : public ::testing::TestWithParam<PathGenType> {
protected:
    void SetUp() override {
        IpoTest::SetFixtureRobot();
        ipo = IpoTest::MakeArmIpo(&mem.memory, GetParam());
        ipo->SetReplayMode(IPO::REPLAY_SINGLE);
        const float start[9] = {0, 10, 20, 0, 45, 0, 0, 0, 0};
        std::copy(start, start + 9, loop.state.jointSet);
        loop.kin->SetJoints(start, false);
        loop.kin->GetPosition(&loop.state);
        startPose = loop.state.pose;
        startPose.GetABCDeg(a, b, c);
        IpoTest::EventLog::Take();
    }
    void TearDown() override { IpoTest::EventLog::Take(); }

    // "x=.. y=.. z=.. a=.. b=.. c=.." of the start pose moved by (dx, dy, dz).
    std::string Pose(float dx, float dy, float dz, const char* prefix = "") const {
        char text[256];
        std::snprintf(text, sizeof text, "%sx=\"%.4f\" %sy=\"%.4f\" %sz=\"%.4f\"", prefix, startPose(0, 3) + dx,
                      prefix, startPose(1, 3) + dy, prefix, startPose(2, 3) + dz);
        return text;
    }
    std::string Orientation() const {
        char text[128];
        std::snprintf(text, sizeof text, "a=\"%.4f\" b=\"%.4f\" c=\"%.4f\"", a, b, c);
        return text;
    }
    void Run(const std::string& elements) {
        IpoTest::WriteProgram("motion.xml", "<Program>" + elements + "</Program>");
        ASSERT_EQ(ipo->LoadProgramSynchronous("motion.xml", true), 0);
        ipo->Start();
        ASSERT_TRUE(loop.RunToEnd(*ipo));
        EXPECT_EQ(loop.lastKinematicError, "");
        const std::vector<Event> events = IpoTest::EventLog::Take();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().text, "PLAN");
    }
    void ExpectAt(float dx, float dy, float dz) const {
        EXPECT_NEAR(loop.state.pose(0, 3), startPose(0, 3) + dx, 1e-3f);
        EXPECT_NEAR(loop.state.pose(1, 3), startPose(1, 3) + dy, 1e-3f);
        EXPECT_NEAR(loop.state.pose(2, 3), startPose(2, 3) + dz, 1e-3f);
    }

    IpoTest::ArmMemory mem;
    std::unique_ptr<IPO> ipo;
    IpoTest::StandInLoop loop{IpoTest::SixAxisArm()};
    DataTypes::Matrix44 startPose;
    float a = 0, b = 0, c = 0;
};

TEST_P(MotionOnArm, JointEndsOnItsTarget) {
    Run("<Joint Nr=\"1\" a1=\"5\" a2=\"15\" a3=\"25\" a4=\"3\" a5=\"40\" a6=\"5\" velPercent=\"80\" acc=\"50\" "
        "smooth=\"0\" AbortCondition=\"false\"/>");
    const float target[9] = {5, 15, 25, 3, 40, 5, 0, 0, 0};
    auto reference = IpoTest::SixAxisArm();
    reference->SetJoints(target, false);
    DataTypes::RobotState expected;
    reference->GetPosition(&expected);
    for (int r = 0; r < 3; ++r) EXPECT_NEAR(loop.state.pose(r, 3), expected.pose(r, 3), 1e-3f) << r;
}

TEST_P(MotionOnArm, LinearWithSmoothing50EndsOnTheLastTarget) {
    Run("<Linear Nr=\"1\" " + Pose(30, 20, -10) + " " + Orientation() +
        " vel=\"100\" acc=\"40\" smooth=\"50\" AbortCondition=\"false\"/>"
        "<Linear Nr=\"2\" " + Pose(60, 0, -20) + " " + Orientation() +
        " vel=\"100\" acc=\"40\" smooth=\"50\" AbortCondition=\"false\"/>");
    ExpectAt(60, 0, -20);
}

TEST_P(MotionOnArm, CircularEndsOnItsEndPoint) {
    Run("<Circular Nr=\"1\" vel=\"50\" acc=\"40\" smooth=\"0\" useAngle=\"false\" angle=\"0\" Source=\"numerical\" " +
        Pose(20, 20, 0, "p1") + " " + Pose(40, 0, 0, "p2") + " " + Orientation() +
        " e1=\"0\" e2=\"0\" e3=\"0\" AbortCondition=\"false\"/>");
    ExpectAt(40, 0, 0);
}

TEST_P(MotionOnArm, RelativeEndsOnItsTarget) {
    Run("<Relative Nr=\"1\" MoType=\"CartBase\" x=\"20\" y=\"-10\" z=\"5\" vel=\"50\" acc=\"40\" smooth=\"0\" "
        "AbortCondition=\"false\"/>");
    ExpectAt(20, -10, 5);
}

// Angle in degrees between two orientations.
double TurnBetween(const DataTypes::Matrix44& p, const DataTypes::Matrix44& q) {
    double trace = 0.0;
    for (int i = 0; i < 3; ++i) {
        for (int k = 0; k < 3; ++k) trace += static_cast<double>(p(k, i)) * q(k, i);
    }
    const double cosine = std::max(-1.0, std::min(1.0, (trace - 1.0) / 2.0));
    return std::acos(cosine) * 180.0 / 3.14159265358979;
}

TEST(MotionAbort, AnAbortDuringJointSpacePlanningMovesOnWithoutAJump) {
    IpoTest::SetFixtureRobot();
    IpoTest::ArmMemory mem;
    auto ipo = IpoTest::MakeArmIpo(&mem.memory, PATHGEN_JOINT);
    IpoTest::StandInLoop loop(IpoTest::SixAxisArm());
    const float start[9] = {0, 10, 20, 0, 45, 0, 0, 0, 0};
    std::copy(start, start + 9, loop.state.jointSet);
    loop.kin->SetJoints(start, false);
    loop.kin->GetPosition(&loop.state);
    const DataTypes::Matrix44 p0 = loop.state.pose;
    float a = 0, b = 0, c = 0;
    p0.GetABCDeg(a, b, c);
    char program[1024];
    // A long, slow, turning Linear that din1 aborts, then a Linear back; Repeat runs the
    // aborted Linear again in full on the second pass.
    std::snprintf(program, sizeof program,
                  "<Program><Linear Nr=\"1\" x=\"%.3f\" y=\"%.3f\" z=\"%.3f\" a=\"%.3f\" b=\"%.3f\" c=\"%.3f\" vel=\"20\" "
                  "acc=\"40\" smooth=\"0\" AbortCondition=\"din1\"/>"
                  "<Linear Nr=\"2\" x=\"%.3f\" y=\"%.3f\" z=\"%.3f\" a=\"%.3f\" b=\"%.3f\" c=\"%.3f\" vel=\"100\" acc=\"40\" "
                  "smooth=\"0\" AbortCondition=\"false\"/></Program>",
                  p0(0, 3) - 40.0f, p0(1, 3) + 30.0f, p0(2, 3), a + 20.0f, b, c, p0(0, 3), p0(1, 3), p0(2, 3), a, b, c);
    IpoTest::WriteProgram("abort.xml", program);
    ASSERT_EQ(ipo->LoadProgramSynchronous("abort.xml", true), 0);
    ipo->SetReplayMode(IPO::REPLAY_REPEAT);
    ipo->Start();
    loop.Step(*ipo);  // plans the first Linear
    loop.state.DIn[0] = true;
    DataTypes::Matrix44 last = loop.state.pose;
    double worstTurn = 0.0;
    double worstMove = 0.0;
    int passes = 0;
    bool wasAtSecond = false;
    ASSERT_TRUE(loop.RunUntil(*ipo, [&] {
        const DataTypes::Matrix44& now = loop.state.pose;
        worstTurn = std::max(worstTurn, TurnBetween(last, now));
        double d = 0.0;
        for (int r = 0; r < 3; ++r) d += std::pow(static_cast<double>(now(r, 3)) - last(r, 3), 2);
        worstMove = std::max(worstMove, std::sqrt(d));
        last = now;
        const bool atSecond = ipo->GetCurrentPoint() == 1;
        if (wasAtSecond && !atSecond) {
            ++passes;
            loop.state.DIn[0] = false;  // the second pass runs the first Linear in full
        }
        wasAtSecond = atSecond;
        return passes >= 2;
    }));
    ipo->Stop(IPO::STOP_USER, "");
    EXPECT_EQ(loop.lastKinematicError, "");
    // 100 mm/s and the orientation limit give at most ~1 mm and ~2 degrees per 10 ms cycle.
    EXPECT_LT(worstMove, 3.0);
    EXPECT_LT(worstTurn, 5.0);
    IpoTest::EventLog::Take();
}

INSTANTIATE_TEST_SUITE_P(Generators, MotionOnArm, ::testing::Values(PATHGEN_JOINT, PATHGEN_LINEAR),
                         [](const ::testing::TestParamInfo<PathGenType>& info) {
                             return info.param == PATHGEN_LINEAR ? std::string("Linear") : std::string("Joint");
                         });

INSTANTIATE_TEST_SUITE_P(Generators, RunOnArm, ::testing::Values(PATHGEN_JOINT, PATHGEN_LINEAR),
                         [](const ::testing::TestParamInfo<PathGenType>& info) {
                             return info.param == PATHGEN_LINEAR ? std::string("Linear") : std::string("Joint");
                         });

}  // namespace
