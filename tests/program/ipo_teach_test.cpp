// Programs built in memory: teach-in, direct moves, program information and file removal.

#include "IpoRunSupport.h"
#include "IpoTestSupport.h"

#include "program/CommandDIO.h"
#include "program/CommandGripper.h"
#include "program/CommandJoint.h"
#include "program/CommandLinear.h"
#include "program/CommandRelative.h"
#include "program/CommandWait.h"
#include "testsupport/CommandCompare.h"
#include "testsupport/TestSupport.h"
#include "testsupport/IpoTestAccess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <future>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

template <typename T>
const T& As(const Command& c) {
    return dynamic_cast<const T&>(c);
}

std::vector<std::shared_ptr<Command>> Program0(IPO& ipo) {
    std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(ipo));
    return IpoTestAccess::Programs(ipo).empty() ? std::vector<std::shared_ptr<Command>>{} : IpoTestAccess::Programs(ipo)[0].commands;
}

int ProgramCount(IPO& ipo) {
    std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(ipo));
    return static_cast<int>(IpoTestAccess::Programs(ipo).size());
}

class TeachTest : public ::testing::Test {
protected:
    void SetUp() override {
        IpoTest::SetFixtureRobot();
        std::filesystem::create_directories(IpoTest::ProgramsDir());
        ipo = IpoTest::MakeIpo(&mem.memory);  // Cartesian maximum 250 mm/s
    }

    IpoTest::Memory mem;
    std::unique_ptr<IPO> ipo;
};

// ---------------------------------------------------------------------------------------
// Teach-in

TEST_F(TeachTest, TheFirstTeachInCreatesNewXmlAndTheNextOnesAreLinkedBehindIt) {
    const float joints[6] = {10, 20, 30, 40, 50, 60};
    ipo->AddCommandJoint(7, 6, joints, 25.0f);
    ipo->AddCommandLinear(8, 100, 200, 300, 10, 20, 30, 1, 2, 3, 50.0f);
    ipo->AddCommandWait(9, 250);

    ASSERT_EQ(ProgramCount(*ipo), 1);
    const auto cmds = Program0(*ipo);
    ASSERT_EQ(cmds.size(), 3u);
    {
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
        EXPECT_EQ(IpoTestAccess::Programs(*ipo)[0].name, "new.xml");
    }
    const int links[3][2] = {{0, 1}, {0, 2}, {1, -2}};  // predecessor, next
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cmds[i]->predecessor, links[i][0]);
        EXPECT_EQ(cmds[i]->nextSuccessor, links[i][1]);
        EXPECT_EQ(cmds[i]->number, 7 + i);
        EXPECT_EQ(cmds[i]->memory, &mem.memory);
    }

    const auto& joint = As<CommandJoint>(*cmds[0]);
    EXPECT_FLOAT_EQ(joint.velJointPercent, 25.0f);
    EXPECT_FLOAT_EQ(joint.accPercent, 40.0f);
    EXPECT_FLOAT_EQ(joint.smoothPercent, 20.0f);
    EXPECT_EQ(joint.abortCondition, "false");
    EXPECT_EQ(joint.jointOffsets, IpoTestAccess::JointOffset(*ipo));
    EXPECT_FLOAT_EQ(joint.jointMaxVelocity[0], 90.0f);
    EXPECT_FLOAT_EQ(joint.target.jointSet[5], 60.0f);
    EXPECT_FLOAT_EQ(joint.target.jointSet[6], 0.0f);

    const auto& linear = As<CommandLinear>(*cmds[1]);
    EXPECT_FLOAT_EQ(linear.velCartesian, 75.0f);  // 50 % of 150 mm/s
    EXPECT_EQ(linear.abortCondition, "false");
    EXPECT_EQ(linear.cartesianOffsets, IpoTestAccess::CartesianOffset(*ipo));
    EXPECT_FLOAT_EQ(linear.target.pose(0, 3), 100.0f);
    EXPECT_FLOAT_EQ(linear.target.B, 20.0f);
    DataTypes::Matrix44 rotation;
    rotation.SetRotationABCDeg2(10, 20, 30);
    EXPECT_NEAR(linear.target.pose(0, 1), rotation(0, 1), 1e-6f);
    EXPECT_FLOAT_EQ(linear.target.jointSet[8], 3.0f);

    EXPECT_EQ(As<CommandWait>(*cmds[2]).waitTime, 250);

    std::string name;
    int count = 0;
    int point = 99;
    ipo->GetProgramInformation(&name, &count, &point);
    EXPECT_EQ(name, "new.xml");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(point, -1);
    EXPECT_EQ(ipo->GetLoadedProgramName(), "new.xml");
    EXPECT_EQ(ipo->GetLoadedPointCount(), 3);
    ASSERT_EQ(ipo->GetProgramSummaries().size(), 1u);
    EXPECT_EQ(ipo->GetProgramSummaries()[0].commandCount, 3);
}

TEST_F(TeachTest, TeachInAppendsToALoadedProgramUnderItsOwnName) {
    IpoTest::WriteProgram("loaded.xml", "<Program><Gripper Nr=\"1\" Position=\"10\"/></Program>");
    ASSERT_EQ(ipo->LoadProgramSynchronous("loaded.xml", true), 0);
    ipo->AddCommandDIO(2, 3, true);

    const auto cmds = Program0(*ipo);
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0]->nextSuccessor, 1);
    EXPECT_EQ(cmds[1]->predecessor, 0);
    EXPECT_EQ(cmds[1]->nextSuccessor, -2);
    EXPECT_EQ(ipo->GetLoadedProgramName(), "loaded.xml");
    std::string name;
    int count = 0;
    ipo->GetProgramInformation(&name, &count, nullptr);
    EXPECT_EQ(name, "loaded.xml");
    EXPECT_EQ(count, 2);
}

// Every kind of teach-in (the PROG lines and the panel's teach keys come here), with values
// a 0.1 or 0.001 rounding would change.
void TeachEveryKind(IPO& ipo, int firstNumber) {
    int nr = firstNumber;
    const float joints[9] = {10.5f, -20.25f, 30.001f, 40, 50, 60.125f, 323.456f, 0.1f, -7};
    ipo.AddCommandJoint(nr++, 9, joints, 25.55f);
    const float deltas[9] = {1, -2.005f, 3, 0, 0, 0, 0.0001f, 0, 0};
    ipo.AddCommandRelativeJoint(nr++, 9, deltas, 40.0f);
    ipo.AddCommandRelativeLinear(nr++, 5.125f, 6, -7.0003f, 80.5f);
    ipo.AddCommandRelativeTool(nr++, -5, 0, 2.5f, 60.0f);
    ipo.AddCommandLinear(nr++, 323.456f, -200.125f, 300.1f, 179.999f, -45.5f, 0.001f, 1, 2.25f, 3, 33.3f);
    ipo.AddCommandDIO(nr++, 5, true);
    const float gripper[3] = {37.25f, 20.5f, 0.1f};
    ipo.AddCommandGripper(nr++, gripper);
    ipo.AddCommandWait(nr++, 251);
}

std::vector<std::shared_ptr<Command>> WrittenAndLoadedAgain(IPO& ipo, Programs::ProgramMemory& memory,
                                                            const std::string& file, bool ignoreHeader = false) {
    EXPECT_EQ(ipo.WriteXMLFile(0, file.c_str()), static_cast<int>(Program0(ipo).size()));
    auto fresh = IpoTest::MakeIpo(&memory);
    fresh->SetIgnoreConsistencyCheck(ignoreHeader);
    EXPECT_EQ(fresh->LoadProgramSynchronous(file, true), 0);
    return Program0(*fresh);
}

TEST_F(TeachTest, ATaughtProgramWrittenAndLoadedAgainIsTheSameList) {
    TeachEveryKind(*ipo, 7);
    const auto taught = Program0(*ipo);
    ASSERT_EQ(taught.size(), 8u);
    EXPECT_EQ(taught[0]->number, 7);
    CommandCompare::ExpectSameCommands(taught, WrittenAndLoadedAgain(*ipo, mem.memory, "taught.xml"));
}

// The default program starts with a Comment, which the former writer could not write.
TEST_F(TeachTest, TeachingOntoTheDemoProgramCanBeSaved) {
    IpoTest::WriteProgram("DemoStart.xml",
                          TestSupport::ReadWholeFile(std::string(BELVANTO_DEMO_DIR) + "/Data/Programs/DemoStart.xml"));
    ipo->SetIgnoreConsistencyCheck(true);  // the demo's arm is another robot
    ASSERT_EQ(ipo->LoadProgramSynchronous("DemoStart.xml", true), 0);
    const size_t loaded = Program0(*ipo).size();
    TeachEveryKind(*ipo, 20);
    const auto taught = Program0(*ipo);
    ASSERT_EQ(taught.size(), loaded + 8);
    const auto again = WrittenAndLoadedAgain(*ipo, mem.memory, IPO::kStoredProgramFile, true);
    CommandCompare::ExpectSameCommands(taught, again);
    EXPECT_EQ(again[0]->className, "CommandComment");
}

// A program that ends with a block: what is taught follows the block, as in the file, and
// the block's last command still leads back to its opener.
TEST_F(TeachTest, TeachingBehindAClosingBlockKeepsTheBlock) {
    IpoTest::WriteProgram("block_end.xml",
                          "<Program><Comment Nr=\"1\" Descr=\"x\"/>"
                          "<Loop Nr=\"2\" Mode=\"Count\" Times=\"2\"/>"
                          "<If Nr=\"3\" Condition=\"din1\"/><Wait Nr=\"4\" Type=\"Time\" Seconds=\"1\"/><EndIf/>"
                          "<EndLoop/></Program>");
    ASSERT_EQ(ipo->LoadProgramSynchronous("block_end.xml", true), 0);
    ipo->AddCommandWait(5, 100);
    const auto cmds = Program0(*ipo);
    ASSERT_EQ(cmds.size(), 5u);
    EXPECT_EQ(cmds[1]->nextSuccessor, 4);  // the Loop goes on to the taught Wait
    EXPECT_EQ(cmds[4]->predecessor, 1);
    EXPECT_EQ(cmds[3]->nextSuccessor, 2);  // the If's branch still ends at the If
    EXPECT_EQ(cmds[2]->nextSuccessor, 1);  // and the If at the Loop
    ipo->AddCommandWait(6, 200);
    EXPECT_EQ(Program0(*ipo)[4]->nextSuccessor, 5);

    CommandCompare::ExpectSameCommands(Program0(*ipo), WrittenAndLoadedAgain(*ipo, mem.memory, "block_end_saved.xml"));

    // Run: two passes of the loop, then both taught waits, then the end.
    const auto run = Program0(*ipo);
    std::vector<int> order;
    int point = 0;
    DataTypes::RobotState state;
    for (int guard = 0; guard < 50 && point >= 0; ++guard) {
        order.push_back(point);
        Command& c = *run[static_cast<size_t>(point)];
        int next = c.Interpolate(10, 100.0f, &state);
        while (next == -1) next = c.Interpolate(1000, 100.0f, &state);
        point = next;
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 2, 1, 2, 2, 1, 4, 5}));
}

TEST_F(TeachTest, OutOfRangeAndNonFiniteTeachInIsRefusedAndTheLimitsAreAccepted) {
    const float six[6] = {1, 2, 3, 4, 5, 6};
    const float nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const float withNaN[3] = {1, kNaN, 3};
    const float gripperInf[3] = {kInf, 0, 0};
    struct Case {
        const char* what;
        std::function<void(IPO&)> call;
        bool accepted;
    };
    const Case cases[] = {
        {"DIO channel 64", [](IPO& i) { i.AddCommandDIO(1, 64, true); }, false},
        {"DIO channel -1", [](IPO& i) { i.AddCommandDIO(1, -1, true); }, false},
        {"DIO channel 63", [](IPO& i) { i.AddCommandDIO(1, 63, true); }, true},
        {"DIO channel 0", [](IPO& i) { i.AddCommandDIO(1, 0, false); }, true},
        {"joint count 10", [&](IPO& i) { i.AddCommandJoint(1, 10, nine, 10); }, false},
        {"joint count -1", [&](IPO& i) { i.AddCommandJoint(1, -1, nine, 10); }, false},
        {"joint count 9", [&](IPO& i) { i.AddCommandJoint(1, 9, nine, 10); }, true},
        {"joint count 0 without values", [](IPO& i) { i.AddCommandJoint(1, 0, nullptr, 10); }, true},
        {"relative joint count 10", [&](IPO& i) { i.AddCommandRelativeJoint(1, 10, nine, 10); }, false},
        {"joints missing", [](IPO& i) { i.AddCommandJoint(1, 3, nullptr, 10); }, false},
        {"joint NaN", [&](IPO& i) { i.AddCommandJoint(1, 3, withNaN, 10); }, false},
        {"relative joint NaN", [&](IPO& i) { i.AddCommandRelativeJoint(1, 3, withNaN, 10); }, false},
        {"joint velocity NaN", [&](IPO& i) { i.AddCommandJoint(1, 6, six, kNaN); }, false},
        {"joint velocity negative", [&](IPO& i) { i.AddCommandJoint(1, 6, six, -1); }, false},
        {"linear x infinite", [](IPO& i) { i.AddCommandLinear(1, kInf, 0, 0, 0, 0, 0, 0, 0, 0, 10); }, false},
        {"linear e3 NaN", [](IPO& i) { i.AddCommandLinear(1, 0, 0, 0, 0, 0, 0, 0, 0, kNaN, 10); }, false},
        {"relative linear NaN", [](IPO& i) { i.AddCommandRelativeLinear(1, 0, kNaN, 0, 10); }, false},
        {"relative tool velocity infinite", [](IPO& i) { i.AddCommandRelativeTool(1, 0, 0, 0, kInf); }, false},
        {"gripper missing", [](IPO& i) { i.AddCommandGripper(1, nullptr); }, false},
        {"gripper infinite", [&](IPO& i) { i.AddCommandGripper(1, gripperInf); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto fresh = IpoTest::MakeIpo(&mem.memory);
        TestSupport::LogCapture log;
        c.call(*fresh);
        EXPECT_EQ(fresh->IsProgramLoaded(), c.accepted);
        EXPECT_EQ(Program0(*fresh).size(), c.accepted ? 1u : 0u);
        EXPECT_EQ(log.Contains("IPO:     Teach-in refused"), !c.accepted) << log.Joined();
    }
}

TEST_F(TeachTest, VelocitiesAreCappedAsTheLoaderCapsThem) {
    const float six[6] = {1, 2, 3, 4, 5, 6};
    ipo->AddCommandJoint(1, 6, six, 250.0f);
    ipo->AddCommandRelativeJoint(2, 6, six, 101.0f);
    ipo->AddCommandRelativeLinear(3, 1, 0, 0, 500.0f);
    ipo->AddCommandRelativeTool(4, 1, 0, 0, 249.0f);
    ipo->AddCommandLinear(5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 200.0f);  // 300 mm/s asked
    const float gripper[3] = {150, -5, 50};
    ipo->AddCommandGripper(6, gripper);
    ipo->AddCommandWait(7, -5);

    const auto cmds = Program0(*ipo);
    ASSERT_EQ(cmds.size(), 7u);
    EXPECT_FLOAT_EQ(cmds[0]->velJointPercent, 100.0f);
    EXPECT_FLOAT_EQ(cmds[1]->velJointPercent, 100.0f);
    EXPECT_FLOAT_EQ(cmds[2]->velCartesian, 250.0f);
    EXPECT_FLOAT_EQ(cmds[3]->velCartesian, 249.0f);
    EXPECT_FLOAT_EQ(cmds[4]->velCartesian, 250.0f);
    EXPECT_FLOAT_EQ(As<CommandGripper>(*cmds[5]).position[0], 100.0f);
    EXPECT_FLOAT_EQ(As<CommandGripper>(*cmds[5]).position[1], 0.0f);
    EXPECT_FLOAT_EQ(As<CommandGripper>(*cmds[5]).position[2], 50.0f);
    EXPECT_EQ(As<CommandWait>(*cmds[6]).waitTime, 0);
    EXPECT_EQ(cmds[1]->commandType, CMD_JOINT);
    EXPECT_EQ(cmds[2]->commandType, CMD_CARTESIAN);
}

TEST_F(TeachTest, TeachInLeavesAProgramThatRunsOrIsPausedAlone) {
    ipo->AddCommandWait(1, 10);
    IpoTestAccess::CurrentPoint(*ipo).store(0);  // paused
    ipo->AddCommandWait(2, 10);
    IpoTestAccess::CurrentPoint(*ipo).store(-1);
    IpoTestAccess::ReplayRunning(*ipo).store(true);  // running
    ipo->AddCommandWait(3, 10);
    IpoTestAccess::ReplayRunning(*ipo).store(false);
    const auto cmds = Program0(*ipo);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0]->nextSuccessor, -2);
    ipo->AddCommandWait(4, 10);
    EXPECT_EQ(Program0(*ipo).size(), 2u);
}

TEST_F(TeachTest, WithoutAKinematicTeachInAndMovesLogAndStayEmpty) {
    IPO bare(IPO::IPO_MOVETO);
    bare.SetMemory(&mem.memory);
    const float nine[9] = {};
    TestSupport::LogCapture log;
    bare.AddCommandJoint(1, 9, nine, 10);
    bare.AddCommandWait(2, 10);
    EXPECT_FALSE(bare.IsProgramLoaded());
    EXPECT_EQ(log.Count("IPO:     Teach-in refused"), 2) << log.Joined();
    bare.MoveJoint(nine, 10);
    bare.MoveLinear({1, 2, 3}, {}, {}, 10);
    EXPECT_FALSE(bare.IsProgramLoaded());
    EXPECT_EQ(log.Count("IPO: Move refused"), 2) << log.Joined();
}

TEST_F(TeachTest, TouchUpOnlyLogs) {
    TestSupport::LogCapture log;
    ipo->TouchUpLastCommand();
    EXPECT_TRUE(log.Contains("IPO:     TouchUp - not implemented yet"));
    EXPECT_FALSE(ipo->IsProgramLoaded());
}

// ---------------------------------------------------------------------------------------
// Direct moves

TEST_F(TeachTest, MoveJointReplacesEverythingByOneCappedJointMove) {
    IpoTest::WriteProgram("loaded.xml", "<Program><Gripper Nr=\"1\" Position=\"10\"/><Gripper/></Program>");
    ASSERT_EQ(ipo->LoadProgramSynchronous("loaded.xml", true), 0);
    const float joints[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    ipo->MoveJoint(joints, 250.0f);

    ASSERT_EQ(ProgramCount(*ipo), 1);
    const auto cmds = Program0(*ipo);
    ASSERT_EQ(cmds.size(), 1u);
    const auto& move = As<CommandJoint>(*cmds[0]);
    EXPECT_FLOAT_EQ(move.velJointPercent, 100.0f);
    EXPECT_FLOAT_EQ(move.accPercent, 40.0f);
    EXPECT_FLOAT_EQ(move.smoothPercent, 20.0f);
    EXPECT_EQ(move.abortCondition, "false");
    EXPECT_EQ(move.nrRobotJoints, 6);
    EXPECT_EQ(move.nrExternalJoints, 3);
    EXPECT_EQ(move.jointOffsets, IpoTestAccess::JointOffset(*ipo));
    EXPECT_EQ(move.memory, &mem.memory);
    EXPECT_EQ(move.predecessor, 0);
    EXPECT_EQ(move.nextSuccessor, -2);
    for (int j = 0; j < 9; ++j) EXPECT_FLOAT_EQ(move.target.jointSet[j], joints[j]);
    std::string name = "unset";
    ipo->GetProgramInformation(&name, nullptr, nullptr);
    EXPECT_EQ(name, "");

    ipo->MoveJoint(joints, 0.0005f);
    EXPECT_FALSE(ipo->IsProgramLoaded());
    EXPECT_EQ(ProgramCount(*ipo), 0);
}

TEST_F(TeachTest, MoveLinearTakesThePoseAndCapsTheVelocityAtTheMaximum) {
    IpoTestAccess::CartesianMaxVelocity(*ipo) = 100.0;
    ipo->MoveLinear({10, 20, 30}, {45, -30, 90}, {1, 2, 3}, 500.0f);
    const auto cmds = Program0(*ipo);
    ASSERT_EQ(cmds.size(), 1u);
    const auto& move = As<CommandLinear>(*cmds[0]);
    EXPECT_FLOAT_EQ(move.velCartesian, 100.0f);
    EXPECT_EQ(move.abortCondition, "false");
    EXPECT_EQ(move.cartesianOffsets, IpoTestAccess::CartesianOffset(*ipo));
    DataTypes::Matrix44 expected;
    expected.SetRotationABCDeg2(45, -30, 90);
    expected.SetTranslation(10, 20, 30);
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(move.target.pose(r, c), expected(r, c), 1e-6f) << r << c;
    }
    EXPECT_FLOAT_EQ(move.target.A, 45.0f);
    EXPECT_FLOAT_EQ(move.target.C, 90.0f);
    EXPECT_FLOAT_EQ(move.target.jointSet[6], 1.0f);
    EXPECT_FLOAT_EQ(move.target.jointSet[8], 3.0f);

    ipo->MoveLinear({10, 20, 30}, {}, {}, 60.0f);
    EXPECT_FLOAT_EQ(Program0(*ipo)[0]->velCartesian, 60.0f);
}

TEST_F(TeachTest, RelativeMovesTakeTheirFrameAndCappedVelocity) {
    const float deltas[9] = {1, -1, 2, 0, 0, 0, 0.5f, 0, 0};
    ipo->MoveRelativeJoint(deltas, 150.0f);
    auto cmds = Program0(*ipo);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(As<CommandRelative>(*cmds[0]).frameMode, CommandRelative::FrameJoint);
    EXPECT_EQ(cmds[0]->commandType, CMD_JOINT);
    EXPECT_FLOAT_EQ(cmds[0]->velJointPercent, 100.0f);
    EXPECT_FLOAT_EQ(As<CommandRelative>(*cmds[0]).delta.jointSet[6], 0.5f);

    struct Row {
        const char* what;
        void (IPO::*move)(DataTypes::Vector3, DataTypes::Vector3, DataTypes::Vector3, float);
        int frame;
    };
    const Row rows[] = {{"base", &IPO::MoveRelativeBase, CommandRelative::FrameBase},
                        {"tool", &IPO::MoveRelativeTool, CommandRelative::FrameTool}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ((*ipo).*row.move)({5, -6, 7}, {0, 0, 30}, {1, 2, 3}, 900.0f);
        cmds = Program0(*ipo);
        ASSERT_EQ(cmds.size(), 1u);
        const auto& move = As<CommandRelative>(*cmds[0]);
        EXPECT_EQ(move.frameMode, row.frame);
        EXPECT_EQ(move.commandType, CMD_CARTESIAN);
        EXPECT_FLOAT_EQ(move.velCartesian, 250.0f);
        EXPECT_EQ(move.abortCondition, "false");
        EXPECT_FLOAT_EQ(move.delta.pose(1, 3), -6.0f);
        EXPECT_FLOAT_EQ(move.delta.jointSet[7], 2.0f);
        EXPECT_FLOAT_EQ(move.delta.C, 30.0f);
    }
}

TEST_F(TeachTest, RefusedMovesLeaveTheInterpreterEmpty) {
    const float joints[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const float withNaN[9] = {0, 0, kNaN, 0, 0, 0, 0, 0, 0};
    struct Case {
        const char* what;
        std::function<void(IPO&)> call;
    };
    const Case cases[] = {
        {"joint velocity NaN", [&](IPO& i) { i.MoveJoint(joints, kNaN); }},
        {"joint target NaN", [&](IPO& i) { i.MoveJoint(withNaN, 50); }},
        {"joint target missing", [](IPO& i) { i.MoveJoint(nullptr, 50); }},
        {"relative joint NaN", [&](IPO& i) { i.MoveRelativeJoint(withNaN, 50); }},
        {"linear velocity infinite", [](IPO& i) { i.MoveLinear({1, 2, 3}, {}, {}, kInf); }},
        {"linear orientation NaN", [](IPO& i) { i.MoveLinear({1, 2, 3}, {0, kNaN, 0}, {}, 50); }},
        {"relative base NaN", [](IPO& i) { i.MoveRelativeBase({kNaN, 0, 0}, {}, {}, 50); }},
        {"relative tool external infinite", [](IPO& i) { i.MoveRelativeTool({}, {}, {0, 0, kInf}, 50); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ipo->MoveJoint(joints, 50);
        ASSERT_TRUE(ipo->IsProgramLoaded());
        TestSupport::LogCapture log;
        c.call(*ipo);
        EXPECT_FALSE(ipo->IsProgramLoaded());
        EXPECT_TRUE(log.Contains("IPO: Move refused")) << log.Joined();
    }
}

// ---------------------------------------------------------------------------------------
// Program information and file removal

TEST_F(TeachTest, ProgramInformationOfAnEmptyInterpreterLeavesTheOutputsAlone) {
    std::string name = "untouched";
    int count = 123;
    int point = 456;
    ipo->GetProgramInformation(&name, &count, &point);
    EXPECT_EQ(name, "untouched");
    EXPECT_EQ(count, 123);
    EXPECT_EQ(point, 456);
}

// The robot loop's read gives what GetProgramInformation gives, copies name and count only
// after a change, and never waits for the lock that guards them.
TEST_F(TeachTest, LoopReadOfProgramInformationCopiesOnlyOnChangesAndNeverWaitsConcurrent) {
    IPO::ProgramInfoSeen seen;
    std::string name = "untouched";
    int count = 123;
    int point = 456;
    ipo->ReadProgramInformation(seen, &name, &count, &point);
    EXPECT_EQ(name, "untouched");
    EXPECT_EQ(count, 123);
    EXPECT_EQ(point, 456);

    IpoTest::CopyFixtures();
    ASSERT_EQ(ipo->LoadProgramSynchronous("every_element.xml", true), 0);
    ipo->ReadProgramInformation(seen, &name, &count, &point);
    EXPECT_EQ(name, "every_element.xml");
    EXPECT_EQ(count, 26);
    EXPECT_EQ(point, -1);

    // Unchanged: the name is not assigned again; the point follows every call.
    name = "kept";
    IpoTestAccess::CurrentPoint(*ipo).store(3);
    ipo->ReadProgramInformation(seen, &name, &count, &point);
    EXPECT_EQ(name, "kept");
    EXPECT_EQ(point, 3);

    IpoTestAccess::ActiveProgram(*ipo).store(1);
    ipo->ReadProgramInformation(seen, &name, &count, &point);
    EXPECT_EQ(name, "subs/sub1.xml");
    EXPECT_EQ(count, 3);

    // With the names' lock held elsewhere the read returns at once with the old name and
    // count, and catches up on the next call.
    IpoTestAccess::ActiveProgram(*ipo).store(2);
    IpoTestAccess::CurrentPoint(*ipo).store(1);
    std::unique_lock<std::mutex> names(IpoTestAccess::InfoMutex(*ipo));
    auto reader = std::async(std::launch::async, [&] { ipo->ReadProgramInformation(seen, &name, &count, &point); });
    const std::future_status status = reader.wait_for(std::chrono::seconds(5));
    names.unlock();
    reader.get();
    EXPECT_EQ(status, std::future_status::ready) << "the read waited for the lock";
    EXPECT_EQ(name, "subs/sub1.xml");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(point, 1);
    ipo->ReadProgramInformation(seen, &name, &count, &point);
    EXPECT_EQ(name, "subs/sub2.xml");
    EXPECT_EQ(count, 2);

    // Teach-in on an emptied interpreter, then nothing loaded: outputs left alone.
    ipo->DeleteAll();
    const float joints[6] = {1, 2, 3, 4, 5, 6};
    ipo->AddCommandJoint(1, 6, joints, 50);
    ipo->ReadProgramInformation(seen, &name, &count, &point);
    EXPECT_EQ(name, "new.xml");
    EXPECT_EQ(count, 1);
    ipo->AddCommandJoint(2, 6, joints, 50);
    ipo->ReadProgramInformation(seen, &name, &count, &point);
    EXPECT_EQ(count, 2);
    ipo->DeleteAll();
    name = "after";
    point = 77;
    ipo->ReadProgramInformation(seen, &name, &count, &point);
    EXPECT_EQ(name, "after");
    EXPECT_EQ(count, 2);
    EXPECT_EQ(point, 77);
}

TEST_F(TeachTest, DeleteProgramFileRemovesOnlyProgramFilesBelowTheProgramsFolder) {
    IpoTest::WriteProgram("doomed.xml", "<Program/>");
    IpoTest::WriteProgram("folder/kept.xml", "<Program/>");
    const std::string outside = LogSingleton::instance()->get_rootPath() + "Data/outside.xml";
    { std::ofstream(outside) << "<Program/>"; }

    IpoTest::ServerMessages messages;
    TestSupport::LogCapture log;
    char doomed[] = "doomed.xml";
    ipo->DeleteProgramFile(doomed);
    EXPECT_FALSE(std::filesystem::exists(IpoTest::ProgramsDir() + "doomed.xml"));
    EXPECT_TRUE(log.Contains("Deleted file doomed.xml"));
    ASSERT_FALSE(messages.Texts().empty());
    EXPECT_EQ(messages.Texts().back(), "Deleted file doomed.xml");

    for (const char* refused : {"doomed.xml", "../outside.xml", "folder", "folder/", "/etc/passwd", ""}) {
        SCOPED_TRACE(refused);
        ipo->DeleteProgramFile(refused);
        EXPECT_EQ(messages.Texts().back(), std::string("Error: Could not delete file ") + refused);
    }
    ipo->DeleteProgramFile(nullptr);
    EXPECT_TRUE(std::filesystem::exists(outside));
    EXPECT_TRUE(std::filesystem::exists(IpoTest::ProgramsDir() + "folder/kept.xml"));
    std::filesystem::remove(outside);
}

// ---------------------------------------------------------------------------------------
// Concurrency

// Teach-in, deletions, loads and readers race; every list a reader sees is linked whole.
TEST_F(TeachTest, TeachInDeleteLoadAndReadersConcurrent) {
    IpoTest::WriteProgram("race.xml", "<Program><Gripper Nr=\"1\" Position=\"10\"/><Gripper/></Program>");
    std::atomic<bool> stop{false};
    std::atomic<int> broken{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        const float joints[6] = {1, 2, 3, 4, 5, 6};
        for (int i = 0; !stop.load(); ++i) {
            if (i % 3 == 0) ipo->AddCommandJoint(i, 6, joints, 50);
            if (i % 3 == 1) ipo->AddCommandDIO(i, i % 64, true);
            if (i % 3 == 2) ipo->AddCommandWait(i, i);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    threads.emplace_back([&] {
        while (!stop.load()) {
            ipo->DeleteAll();
            ipo->LoadProgramSynchronous("race.xml", true);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    threads.emplace_back([&] {
        while (!stop.load()) {
            std::string name;
            int count = 0;
            int point = 0;
            ipo->GetProgramInformation(&name, &count, &point);
            ipo->GetProgramSummaries();
            ipo->GetLoadedProgramName();
            std::unique_lock<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo), std::try_to_lock);
            if (!lock.owns_lock() || IpoTestAccess::Programs(*ipo).empty()) continue;
            const auto& cmds = IpoTestAccess::Programs(*ipo)[0].commands;
            for (size_t i = 1; i < cmds.size(); ++i) {
                if (cmds[i - 1]->nextSuccessor != static_cast<int>(i)) broken.fetch_add(1);
            }
            if (!cmds.empty() && cmds.back()->nextSuccessor != -2) broken.fetch_add(1);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop.store(true);
    for (auto& t : threads) t.join();
    EXPECT_EQ(broken.load(), 0);

    const auto cmds = Program0(*ipo);
    const auto summaries = ipo->GetProgramSummaries();
    if (!cmds.empty()) {
        ASSERT_EQ(summaries.size(), 1u);
        EXPECT_EQ(summaries[0].commandCount, static_cast<int>(cmds.size()));
        EXPECT_EQ(ipo->GetLoadedPointCount(), static_cast<int>(cmds.size()));
    } else {
        EXPECT_TRUE(summaries.empty());
    }
}

// ---------------------------------------------------------------------------------------
// Direct moves run by the move-to interpreter on the six-axis arm

class DirectMoveOnArm : public ::testing::TestWithParam<PathGenType> {
protected:
    void SetUp() override {
        IpoTest::SetFixtureRobot();
        ipo = IpoTest::MakeArmIpo(&mem.memory, GetParam(), IPO::IPO_MOVETO);
        IpoTest::EventLog::Take();
    }

    // Starts the installed move and runs it to its end.
    void Run() {
        ASSERT_TRUE(ipo->IsProgramLoaded());
        ipo->Start();
        ASSERT_TRUE(loop.RunToEnd(*ipo));
        EXPECT_EQ(loop.lastKinematicError, "");
        const auto events = IpoTest::EventLog::Take();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().type, HVP_EVENT_END);
        EXPECT_EQ(events.back().text, "PLAN");
    }

    IpoTest::ArmMemory mem;
    std::unique_ptr<IPO> ipo;
    IpoTest::StandInLoop loop{IpoTest::SixAxisArm()};
};

TEST_P(DirectMoveOnArm, JointLinearAndRelativeMovesEndAtTheirTargets) {
    const float joints[9] = {10, 20, 30, 0, 40, 0, 0, 0, 0};
    ipo->MoveJoint(joints, 80.0f);
    Run();
    for (int j = 0; j < 9; ++j) EXPECT_NEAR(loop.state.jointSet[j], joints[j], 1e-3f) << j;

    // A relative move shifts the tool; its rotation is not applied.
    const DataTypes::Matrix44 startPose = loop.state.pose;
    const DataTypes::Vector3 start = startPose.GetTranslation();
    ipo->MoveRelativeBase({10, -5, 20}, {0, 0, 30}, {}, 100.0f);
    Run();
    const DataTypes::Vector3 moved = loop.state.pose.GetTranslation();
    EXPECT_NEAR(moved.x, start.x + 10, 1e-3f);
    EXPECT_NEAR(moved.y, start.y - 5, 1e-3f);
    EXPECT_NEAR(moved.z, start.z + 20, 1e-3f);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(loop.state.pose(r, c), startPose(r, c), 1e-4f) << r << c;
    }
    float a = 0, b = 0, c = 0;
    loop.state.pose.GetABCDeg(a, b, c);

    ipo->MoveLinear({moved.x, moved.y, moved.z - 15}, {a, b, c}, {}, 100.0f);
    Run();
    const DataTypes::Vector3 end = loop.state.pose.GetTranslation();
    EXPECT_NEAR(end.x, moved.x, 1e-3f);
    EXPECT_NEAR(end.y, moved.y, 1e-3f);
    EXPECT_NEAR(end.z, moved.z - 15, 1e-3f);
}

INSTANTIATE_TEST_SUITE_P(Generators, DirectMoveOnArm, ::testing::Values(PATHGEN_JOINT, PATHGEN_LINEAR),
                         [](const ::testing::TestParamInfo<PathGenType>& info) {
                             return info.param == PATHGEN_LINEAR ? std::string("Linear") : std::string("Joint");
                         });

}  // namespace
