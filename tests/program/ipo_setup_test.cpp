// The interpreter record: construction, set-up, offsets, state queries, RobotProgram.

#include "IpoTestSupport.h"

#include "motion/PathGenerator_01Joint.h"
#include "motion/PathGenerator_02Linear.h"
#include "testsupport/TestSupport.h"
#include "testsupport/PathGeneratorTestAccess.h"
#include "testsupport/IpoTestAccess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using IpoTest::EventLog;

namespace {

TEST(IpoSetupTest, AFreshInterpreterIsStoppedEmptyAndRepeating) {
    for (IPO::IpoType type : {IPO::IPO_MAIN, IPO::IPO_LOGIC, IPO::IPO_MOVETO}) {
        IPO ipo(type);
        EXPECT_EQ(ipo.GetType(), type);
        EXPECT_EQ(ipo.GetName(), "IPO");
        EXPECT_EQ(IpoTestAccess::MainInterpreter(ipo), &ipo);
        EXPECT_EQ(ipo.GetRunState(), IPO::RUNSTATE_STOPPED);
        EXPECT_FALSE(ipo.IsProgramLoaded());
        EXPECT_FALSE(ipo.IsReplayRunning());
        EXPECT_EQ(ipo.GetReplayMode(), IPO::REPLAY_REPEAT);
        EXPECT_EQ(ipo.GetLastStopReason(), IPO::STOP_SHUTDOWN);
        EXPECT_TRUE(ipo.GetStopOnError());
        EXPECT_EQ(ipo.GetVelocityLimit(), -1.0);
        EXPECT_EQ(ipo.GetVelocitySetting(), -1);
        EXPECT_EQ(IpoTestAccess::MaximumPrograms(ipo), 200);
        EXPECT_EQ(ipo.GetCurrentPoint(), -1);
        EXPECT_EQ(IpoTestAccess::CartesianMaxVelocity(ipo), 100.0);
        EXPECT_EQ(IpoTestAccess::JointMaxVelocities(ipo)[8], 10.0);
        EXPECT_EQ(ipo.GetLastProgramDuration().count(), 0);
        EXPECT_NE(ipo.GetPluginManager(), nullptr);
        EXPECT_EQ(IPO::m_MinimumExecutionTime, std::chrono::milliseconds(500));
    }
}

TEST(IpoSetupTest, RunStateFollowsReplayFlagAndCurrentPoint) {
    IPO ipo(IPO::IPO_MAIN);
    IpoTestAccess::CurrentPoint(ipo).store(3);
    EXPECT_EQ(ipo.GetRunState(), IPO::RUNSTATE_PAUSED);
    ipo.SetReplayRunning(true);
    EXPECT_EQ(ipo.GetRunState(), IPO::RUNSTATE_RUNNING);
    ipo.SetReplayRunning(false);
    IpoTestAccess::CurrentPoint(ipo).store(-1);
    EXPECT_EQ(ipo.GetRunState(), IPO::RUNSTATE_STOPPED);
}

TEST(IpoSetupTest, SetMemoryBindsTheRunStateVariableOfItsType) {
    struct Case {
        IPO::IpoType type;
        double program;
        double logic;
    };
    const Case cases[] = {{IPO::IPO_MAIN, 1.0, 0.0}, {IPO::IPO_LOGIC, 0.0, 1.0}, {IPO::IPO_MOVETO, 0.0, 0.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        IpoTest::Memory mem;
        IPO ipo(c.type);
        ipo.SetMemory(&mem.memory);
        EXPECT_EQ(ipo.GetMemory(), &mem.memory);
        ipo.SetReplayRunning(true);
        EXPECT_EQ(mem.memory.GetVariable("#programrunning").value, c.program);
        EXPECT_EQ(mem.memory.GetVariable("#logicprogramrunning").value, c.logic);
    }
    IPO ipo(IPO::IPO_MAIN);
    ipo.SetMemory(nullptr);
    EXPECT_EQ(ipo.GetMemory(), nullptr);
    EXPECT_FALSE(static_cast<bool>(IpoTestAccess::RunStateCallback(ipo)));
    ipo.SetReplayRunning(true);  // nothing bound, nothing called
}

TEST(IpoSetupTest, InitPathGenBuildsTheGeneratorOnceAndHandsItTheCommandAccess) {
    IPO linear(IPO::IPO_MAIN);
    linear.InitPathGen(PATHGEN_LINEAR, 2.0f, 3.0f, 4);
    ASSERT_NE(dynamic_cast<PathGenerator_02Linear*>(linear.GetPathGenerator()), nullptr);
    EXPECT_EQ(linear.GetPathGenerator()->GetLookAhead(), 4);
    PathGenerator* first = linear.GetPathGenerator();
    linear.InitPathGen(PATHGEN_JOINT, 0.0f, 0.0f, 2);
    EXPECT_EQ(linear.GetPathGenerator(), first);

    IPO joint(IPO::IPO_MAIN);
    joint.InitPathGen(static_cast<PathGenType>(7), 0.0f, 0.0f, 3);
    EXPECT_NE(dynamic_cast<PathGenerator_01Joint*>(joint.GetPathGenerator()), nullptr);
}

TEST(IpoSetupTest, InitJointMaxValuesCopiesTheLimits) {
    IPO ipo(IPO::IPO_LOGIC);
    ipo.InitPathGen(PATHGEN_JOINT, 0.0f, 0.0f, 3);
    float vel[9], acc[9], jerk[9];
    for (int j = 0; j < 9; ++j) {
        vel[j] = 10.0f * (j + 1);
        acc[j] = 100.0f + j;
        jerk[j] = 1000.0f;
    }
    ipo.InitJointMaxValues(vel, acc, jerk, 321.0f, 1000.0f, 3000.0f, 180.0, 1000.0, 3000.0);
    EXPECT_EQ(IpoTestAccess::JointMaxVelocities(ipo)[0], 10.0);
    EXPECT_EQ(IpoTestAccess::JointMaxVelocities(ipo)[8], 90.0);
    EXPECT_EQ(IpoTestAccess::JointAccelerations(ipo)[4], 104.0);
    EXPECT_EQ(IpoTestAccess::CartesianMaxVelocity(ipo), 321.0);
    EXPECT_TRUE(PathGeneratorTestAccess::Quiet(*ipo.GetPathGenerator()));  // only the main interpreter's generator logs its settings
}

TEST(IpoSetupTest, JointCountsComeFromThePlannersKinematic) {
    IPO ipo(IPO::IPO_MAIN);
    EXPECT_THROW(ipo.GetNrRobotJoints(), std::runtime_error);
    ipo.InitPathGen(PATHGEN_JOINT, 0.0f, 0.0f, 3);
    EXPECT_THROW(ipo.GetNrRobotJoints(), std::runtime_error);
    auto kinematic = std::make_unique<IpoTest::TestKinematic>();
    kinematic->nrOfJoints = 4;
    kinematic->nrOfExtJoints = 1;
    ipo.GetPathGenerator()->SetKinematic(std::move(kinematic));
    EXPECT_EQ(ipo.GetNrRobotJoints(), 4);
    EXPECT_EQ(ipo.GetNrExternalJoints(), 1);
}

TEST(IpoSetupTest, VelocityLimitSettingAndStopOnError) {
    IPO ipo(IPO::IPO_MAIN);
    ipo.SetVelocityLimit(50.0);
    EXPECT_EQ(ipo.GetVelocityLimit(), 50.0);
    ipo.VelocityLimitDisable();
    EXPECT_EQ(ipo.GetVelocityLimit(), -1.0);
    ipo.SetVelocitySetting(2);
    EXPECT_EQ(ipo.GetVelocitySetting(), 2);
    ipo.SetStopOnError(false);
    EXPECT_FALSE(ipo.GetStopOnError());
}

TEST(IpoSetupTest, OffsetsAreLoggedByTheMainInterpreterAndReachCommandsWhole) {
    const float values[15] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    IPO main(IPO::IPO_MAIN);
    TestSupport::LogCapture log;
    main.OffsetSet(values);
    EXPECT_TRUE(log.Contains("IPO: Offset defined: joint 1.0 2.0 3.0   4.0 5.0 6.0   7.0 8.0 9.0   cart 10.0 11.0 "
                             "12.0   13.0 14.0 15.0 "))
        << log.Joined();
    // Pending until handed over where no plan computes.
    EXPECT_EQ(IpoTestAccess::JointOffset(main)[0], 0.0f);
    float copy[15] = {};
    main.GetOffsets(copy);
    EXPECT_EQ(copy[14], 15.0f);
    main.ApplyPendingOffsets();
    EXPECT_EQ(IpoTestAccess::JointOffset(main)[8], 9.0f);
    EXPECT_EQ(IpoTestAccess::CartesianOffset(main)[0], 10.0f);
    EXPECT_EQ(IpoTestAccess::CartesianOffset(main)[5], 15.0f);

    main.OffsetReset();
    EXPECT_TRUE(log.Contains("IPO: Offset reset: joint 0.0 0.0 0.0   0.0 0.0 0.0   0.0 0.0 0.0   cart 0.0 0.0 0.0   "
                             "0.0 0.0 0.0 "));
    main.ApplyPendingOffsets();
    EXPECT_EQ(IpoTestAccess::CartesianOffset(main)[5], 0.0f);

    IPO logic(IPO::IPO_LOGIC);
    TestSupport::LogCapture quiet;
    logic.OffsetSet(values);
    logic.OffsetReset();
    EXPECT_FALSE(quiet.Contains("Offset"));
}

TEST(IpoSetupTest, SendHVPServerCallbackCallsTheCallbackWhenSet) {
    IPO ipo(IPO::IPO_MAIN);
    EventLog::Take();
    ipo.SendHVPServerCallback(HVP_EVENT_PAUSE, 1, 2, "x");  // none set: nothing
    EXPECT_TRUE(EventLog::Take().empty());
    ipo.SetResultCallback(&EventLog::Record);
    ipo.SendHVPServerCallback(HVP_EVENT_END, 4, 5, "PLAN");
    const auto events = EventLog::Take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, HVP_EVENT_END);
    EXPECT_EQ(events[0].point, 4);
    EXPECT_EQ(events[0].program, 5);
    EXPECT_EQ(events[0].text, "PLAN");
}

TEST(IpoSetupTest, RobotProgramAncestors) {
    std::vector<RobotProgram> list(4);
    list[0].name = "main.xml";
    list[1].name = "a.xml";
    list[2].name = "b.xml";
    list[3].name = "c.xml";
    list[1].AddAncestor(0);
    list[2].AddAncestor(1);
    list[3].AddAncestor(2);
    list[3].AddAncestor(0);
    list[3].AddAncestor(17);  // outside the list: skipped

    EXPECT_TRUE(RobotProgram("x.xml").IsAncestor("x.xml", list));  // own name, no ancestors
    EXPECT_TRUE(list[3].IsAncestor("main.xml", list));
    EXPECT_TRUE(list[3].IsAncestor("a.xml", list));
    EXPECT_FALSE(list[3].IsAncestor("d.xml", list));
    EXPECT_FALSE(list[1].IsAncestor("b.xml", list));
    list[3].RemoveAncestor(2);
    EXPECT_FALSE(list[3].IsAncestor("a.xml", list));
    EXPECT_EQ(list[3].ancestors, (std::set<int>{0, 17}));
    EXPECT_EQ(list[0].callerProgramIndex, 0);
    EXPECT_EQ(list[0].returnCommandIndex, -2);
}

TEST(IpoSetupTest, DeleteAllDropsProgramsVariablesAndNames) {
    IpoTest::SetFixtureRobot();
    IpoTest::CopyFixtures();
    IpoTest::Memory mem;
    auto ipo = IpoTest::MakeIpo(&mem.memory);
    ASSERT_EQ(ipo->LoadProgramSynchronous("every_element.xml", true), 0);
    ASSERT_TRUE(ipo->IsProgramLoaded());
    mem.memory.SetVariableSingle("temp", 1.0, true);
    IpoTestAccess::ActiveProgram(*ipo).store(2);
    IpoTestAccess::CurrentPoint(*ipo).store(1);

    TestSupport::LogCapture log;
    ipo->DeleteAll();
    EXPECT_TRUE(log.Contains("IPO:    Deleting All Programs"));
    EXPECT_FALSE(ipo->IsProgramLoaded());
    EXPECT_EQ(ipo->GetLoadedProgramName(), "");
    EXPECT_TRUE(ipo->GetProgramSummaries().empty());
    EXPECT_EQ(ipo->GetActiveProgram(), 0);
    EXPECT_EQ(ipo->GetCurrentPoint(), -1);
    EXPECT_FALSE(IpoTestAccess::PluginsNeeded(*ipo).load());
    EXPECT_FALSE(mem.memory.HasVariable("temp"));

    // The move-to interpreter keeps the variables and logs nothing.
    IPO moveTo(IPO::IPO_MOVETO);
    moveTo.SetMemory(&mem.memory);
    mem.memory.SetVariableSingle("temp", 1.0, true);
    TestSupport::LogCapture quiet;
    moveTo.DeleteAll();
    EXPECT_TRUE(mem.memory.HasVariable("temp"));
    EXPECT_FALSE(quiet.Contains("Deleting"));
}

TEST(IpoSetupTest, PrintCommandsLogsEachCommand) {
    IpoTest::SetFixtureRobot();
    IpoTest::CopyFixtures();
    IpoTest::Memory mem;
    auto ipo = IpoTest::MakeIpo(&mem.memory);
    ASSERT_EQ(ipo->LoadProgramSynchronous("subs/sub1.xml", true), 0);
    TestSupport::LogCapture log;
    ipo->PrintCommands(0);
    EXPECT_TRUE(log.Contains("PrintCommands: "));
    EXPECT_EQ(log.Count("IPO: cmd "), 3);
    EXPECT_TRUE(log.Contains("IPO: cmd Command Sub subs/sub2.xml - Pre: 0 - Succ: 2 -2 -2")) << log.Joined();
    ipo->PrintCommands(7);  // no such program: nothing
}

TEST(IpoSetupTest, PrintStacksWritesThePairsFromTheTop) {
    std::stack<int> a;
    std::stack<int> b;
    a.push(0);
    b.push(0);
    a.push(3);
    b.push(1);
    testing::internal::CaptureStdout();
    IPO::PrintStacks("label", a, b);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(20, ' ') + "label -- 3/1 0/0 \n");
}

}  // namespace
