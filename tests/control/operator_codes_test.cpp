// The operator command codes: which robot operations each code calls, in which order, and
// whether it zeroes the jog values first; then a few codes on a real robot master.

#include "control/OperatorCommands.h"
#include "control/ShutdownInit.h"
#include "master_command_fixture.h"
#include "testsupport/TestSupport.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

std::string Fmt(float v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

// Records every operation and hook as one text, in order.
class RecordingRobot : public OperatorRobot {
public:
    Calls calls;
    std::string refAllAction = "refall";
    int loadResult = 0;
    float overridePercent = 40.0f;

    void StartProgram() override { calls.push_back("StartProgram"); }
    void PauseProgram(IPO::StopReason r) override { calls.push_back("PauseProgram " + std::to_string(r)); }
    void StopProgram(IPO::StopReason r) override { calls.push_back("StopProgram " + std::to_string(r)); }
    void DeleteProgram() override { calls.push_back("DeleteProgram"); }
    void SetReplayMode(IPO::ReplayMode m) override { calls.push_back("SetReplayMode " + std::to_string(m)); }
    void Reset() override { calls.push_back("Reset"); }
    void EnableMotors(bool on) override { calls.push_back(std::string("EnableMotors ") + (on ? "1" : "0")); }
    void ResetAllJointsToZero() override { calls.push_back("ResetAllJointsToZero"); }
    void ToggleMotionMode() override { calls.push_back("ToggleMotionMode"); }
    void ReferenceJointAlt(int j) override { calls.push_back("ReferenceJointAlt " + std::to_string(j)); }
    std::string GetFunctionButtonRefAll() const override { return refAllAction; }
    void AlignMotors() override { calls.push_back("AlignMotors"); }
    void ReferenceAllJoints() override { calls.push_back("ReferenceAllJoints"); }
    void SetMotionMode(MotionType m) override { calls.push_back("SetMotionMode " + std::to_string(m)); }
    bool IsValidIONum(int n) const override { return n >= 0 && n < 64; }
    void SetManualDOut(int n, bool on) override {
        calls.push_back("SetManualDOut " + std::to_string(n) + (on ? " 1" : " 0"));
    }
    void SetOverride(float p) override {
        calls.push_back("SetOverride " + Fmt(p));
        overridePercent = p;
    }
    float GetOverride() const override { return overridePercent; }
    void StartStopEM67FSM() override { calls.push_back("StartStopEM67FSM"); }
    void SetEM67ManualOperation() override { calls.push_back("SetEM67ManualOperation"); }
    void RestartModules() override { calls.push_back("RestartModules"); }
    void AddCommandLinear(int number, float x, float y, float z, float a, float b, float c, float e1, float e2,
                          float e3, float v) override {
        calls.push_back("AddCommandLinear " + std::to_string(number) + " " + Fmt(x) + " " + Fmt(y) + " " +
                        Fmt(z) + " " + Fmt(a) + " " + Fmt(b) + " " + Fmt(c) + " " + Fmt(e1) + " " + Fmt(e2) +
                        " " + Fmt(e3) + " " + Fmt(v));
    }
    void AddCommandJoint(int number, int count, const float* joints, float v) override {
        std::string text = "AddCommandJoint " + std::to_string(number) + " " + std::to_string(count);
        for (int i = 0; i < count; ++i) text += " " + Fmt(joints[i]);
        calls.push_back(text + " " + Fmt(v));
    }
    void AddCommandWait(int number, long ms) override {
        calls.push_back("AddCommandWait " + std::to_string(number) + " " + std::to_string(ms));
    }
    void AddCommandGripper(int number, const float* g) override {
        calls.push_back("AddCommandGripper " + std::to_string(number) + " " + Fmt(g[0]));
    }
    void AddCommandDIO(int number, int channel, bool state) override {
        calls.push_back("AddCommandDIO " + std::to_string(number) + " " + std::to_string(channel) +
                        (state ? " 1" : " 0"));
    }
    void TouchUpLastCommand() override { calls.push_back("TouchUpLastCommand"); }
    void ProgShowCntIncrease() override { calls.push_back("ProgShowCntIncrease"); }
    void ProgShowCntDecrease() override { calls.push_back("ProgShowCntDecrease"); }
    void SendCurrentProgShowName() override { calls.push_back("SendCurrentProgShowName"); }
    int LoadCurrentDirectoryOrProgram() override {
        calls.push_back("LoadCurrentDirectoryOrProgram");
        return loadResult;
    }
    void WriteXMLFile(int program, const std::string& name) override {
        calls.push_back("WriteXMLFile " + std::to_string(program) + " " + name);
    }
};

struct CodeRun {
    RecordingRobot robot;
    OperatorCommandHooks hooks;
    DataTypes::RobotState rs;

    CodeRun() {
        hooks.resetJogValues = [this] { robot.calls.push_back("ResetJog"); };
        hooks.shutdownApplication = [this] { robot.calls.push_back("ShutdownApplication"); };
        hooks.queueProjectWrite = [this] { robot.calls.push_back("QueueProjectWrite"); };
        hooks.shutdownSystem = [this] { robot.calls.push_back("ShutdownSystem"); };
    }
    Calls Run(int code, int argument = 0, float value = 0.0f) {
        robot.calls.clear();
        OperatorCommands::Execute(robot, hooks, rs, OperatorCommand{code, argument, value});
        return robot.calls;
    }
};

struct Case {
    int code;
    int argument;
    float value;
    Calls expected;
};

std::string Describe(const Case& c) {
    return "code " + std::to_string(c.code) + " arg " + std::to_string(c.argument) + " value " + Fmt(c.value);
}

TEST(OperatorCodesTest, EachCodeCallsItsOperationsAfterTheJogResetWhereDue) {
    const std::string J = "ResetJog";
    const std::string W = "QueueProjectWrite";
    const Case cases[] = {
        {2, 0, 0, {J, "StartProgram"}},
        {3, 0, 0, {J, "PauseProgram 0"}},
        {4, 0, 0, {J, "StopProgram 0"}},
        {5, 0, 0, {J, "DeleteProgram", W}},
        {7, 0, 0, {J, "SetReplayMode 0", W}},
        {8, 0, 0, {J, "SetReplayMode 1", W}},
        {9, 0, 0, {J, "SetReplayMode 2", W}},
        {10, 0, 0, {J, "Reset"}},
        {11, 0, 0, {J, "Reset", "EnableMotors 1"}},
        {12, 0, 0, {J, "EnableMotors 0"}},
        {13, 0, 0, {J, "ResetAllJointsToZero", "Reset"}},
        {14, 0, 0, {J, "ToggleMotionMode"}},
        {15, 7, 0, {J, "ReferenceJointAlt 7"}},
        {16, 0, 0, {J, "ReferenceAllJoints"}},
        {17, 0, 0, {J, "AlignMotors"}},
        {21, 0, 0, {J, "SetMotionMode 0"}},
        {22, 0, 0, {J, "SetMotionMode 1"}},
        {23, 0, 0, {J, "SetMotionMode 2"}},
        {24, 0, 0, {J, "SetMotionMode 3"}},
        // Outputs leave the jog values alone; the channel is checked first.
        {31, 5, 0, {"SetManualDOut 5 1"}},
        {32, 63, 0, {"SetManualDOut 63 0"}},
        {31, 70, 0, {}},
        {32, 70, 0, {}},
        {31, -1, 0, {}},
        {32, 64, 0, {}},
        // Override, limited to 0..100, no jog reset.
        {33, 0, 150.0f, {"SetOverride 100", W}},
        {33, 0, -5.0f, {"SetOverride 0", W}},
        {33, 0, 37.5f, {"SetOverride 37.5", W}},
        {33, 0, std::nanf(""), {"SetOverride 0", W}},
        {51, 0, 0, {J}},
        {53, 0, 0, {J}},
        {54, 0, 0, {J, "AddCommandWait 7 1000"}},
        {57, 0, 0, {J, "TouchUpLastCommand"}},
        {61, 0, 0, {J, "SetReplayMode 0", "StartProgram"}},
        {62, 0, 0, {J, "SetReplayMode 1", "StartProgram"}},
        {70, 0, 0, {J, "StartStopEM67FSM"}},
        {71, 0, 0, {J, "SetEM67ManualOperation"}},
        {80, 0, 0, {J, "ProgShowCntIncrease", "SendCurrentProgShowName"}},
        {81, 0, 0, {J, "ProgShowCntDecrease", "SendCurrentProgShowName"}},
        {82, 0, 0, {J, "LoadCurrentDirectoryOrProgram", "StopProgram 0", W}},
        {83, 0, 0, {J, "WriteXMLFile 0 storage01.xml"}},
        {84, 0, 0, {J, "SendCurrentProgShowName"}},
        {99, 98, 0, {J}},
        {99, 0, 0, {J}},
        {99, 99, 0, {J, "ShutdownApplication"}},
        {99, 100, 0, {J, "ShutdownSystem"}},
        {99, 101, 0, {J, "Reset", "RestartModules"}},
        // No entry: nothing at all.
        {0, 0, 0, {}},
        {1, 0, 0, {}},
        {6, 0, 0, {}},
        {18, 0, 0, {}},
        {30, 5, 5, {}},
        {49, 0, 0, {}},
        {85, 0, 0, {}},
        {98, 99, 0, {}},
        {100, 99, 0, {}},
        {-2, 0, 0, {}},
    };
    CodeRun run;
    for (const Case& c : cases) {
        EXPECT_EQ(run.Run(c.code, c.argument, c.value), c.expected) << Describe(c);
        EXPECT_EQ(OperatorCommands::ResetsJog(c.code), !c.expected.empty() && c.expected[0] == J)
            << Describe(c);
    }
}

TEST(OperatorCodesTest, ReferenceAllFollowsTheFunctionButtonTextExactly) {
    const struct {
        const char* action;
        const char* call;
    } cases[] = {{"settozero", "ResetAllJointsToZero"}, {"alignmotors", "AlignMotors"},
                 {"refall", "ReferenceAllJoints"},      {"", "ReferenceAllJoints"},
                 {"AlignMotors", "ReferenceAllJoints"}, {"settozero ", "ReferenceAllJoints"}};
    CodeRun run;
    for (const auto& c : cases) {
        run.robot.refAllAction = c.action;
        EXPECT_EQ(run.Run(16), (Calls{"ResetJog", c.call})) << "'" << c.action << "'";
    }
}

TEST(OperatorCodesTest, ProgramBrowserLoadOnlyStopsAndWritesWhenALoadStarted) {
    CodeRun run;
    run.robot.loadResult = 1;
    EXPECT_EQ(run.Run(82), (Calls{"ResetJog", "LoadCurrentDirectoryOrProgram"}));
}

TEST(OperatorCodesTest, TeachInTakesTheMainLoopsRobotState) {
    CodeRun run;
    run.rs.pose(0, 3) = 100.0f;
    run.rs.pose(1, 3) = -20.5f;
    run.rs.pose(2, 3) = 300.0f;
    run.rs.A = 10.0f;
    run.rs.B = 20.0f;
    run.rs.C = 30.0f;
    for (int i = 0; i < 9; ++i) run.rs.jointSet[i] = static_cast<float>(i + 1);
    run.rs.override = 55.0f;
    run.rs.gripper[0] = 80.0f;
    run.rs.DOut[0] = true;
    run.robot.overridePercent = 70.0f;

    EXPECT_EQ(run.Run(50), (Calls{"ResetJog", "AddCommandLinear 4 100 -20.5 300 10 20 30 7 8 9 55"}));
    EXPECT_EQ(run.Run(52), (Calls{"ResetJog", "AddCommandJoint 5 6 1 2 3 4 5 6 35"}));
    EXPECT_EQ(run.Run(55), (Calls{"ResetJog", "AddCommandGripper 8 80"}));
    EXPECT_EQ(run.Run(56), (Calls{"ResetJog", "AddCommandDIO 9 0 1"}));
}

TEST(OperatorCodesTest, CodeNinetyNineLogsItsRequestLines) {
    const struct {
        int argument;
        const char* line;
    } cases[] = {{99, "Shutdown requested"}, {100, "System shutdown requested"}, {101, "Module restart requested"}};
    CodeRun run;
    for (const auto& c : cases) {
        TestSupport::LogCapture log;
        run.Run(99, c.argument);
        EXPECT_EQ(log.Count(c.line), 1) << c.argument;
    }
    TestSupport::LogCapture log;
    run.Run(99, 98);
    EXPECT_EQ(log.Count("requested"), 0);
}

TEST(OperatorCodesTest, EmptyHooksAreSkipped) {
    RecordingRobot robot;
    DataTypes::RobotState rs;
    OperatorCommands::Execute(robot, OperatorCommandHooks{}, rs, OperatorCommand{33, 0, 60.0f});
    OperatorCommands::Execute(robot, OperatorCommandHooks{}, rs, OperatorCommand{99, 99, 0.0f});
    EXPECT_EQ(robot.calls, (Calls{"SetOverride 60"}));
}

// The same table on a robot master with a recording protocol.
using OperatorCodesMasterTest = ControlTest::MasterCommandTest;

TEST_F(OperatorCodesMasterTest, OverrideIsClampedOnTheRobotMaster) {
    int writes = 0;
    OperatorCommandHooks hooks;
    hooks.queueProjectWrite = [&] { ++writes; };
    const DataTypes::RobotState rs;
    const struct {
        float value;
        float expected;
    } cases[] = {{150.0f, 100.0f}, {-5.0f, 0.0f}, {65.0f, 65.0f}};
    for (const auto& c : cases) {
        ExecuteOperatorCommand(*master, hooks, rs, OperatorCommand{33, 0, c.value});
        EXPECT_EQ(master->GetOverride(), c.expected) << c.value;
    }
    EXPECT_EQ(writes, 3);
}

TEST_F(OperatorCodesMasterTest, OutputsReachTheRobotAndChannelSeventyIsRefused) {
    StartLoop(20, 2);
    const DataTypes::RobotState rs;
    int jogResets = 0;
    OperatorCommandHooks hooks;
    hooks.resetJogValues = [&] { ++jogResets; };
    ExecuteOperatorCommand(*master, hooks, rs, OperatorCommand{31, 12, 0.0f});
    EXPECT_TRUE(WaitPublished([](const DataTypes::RobotState& s) { return s.DOut[12]; }));
    ExecuteOperatorCommand(*master, hooks, rs, OperatorCommand{32, 12, 0.0f});
    EXPECT_TRUE(WaitPublished([](const DataTypes::RobotState& s) { return !s.DOut[12]; }));

    TestSupport::LogCapture log;
    ExecuteOperatorCommand(*master, hooks, rs, OperatorCommand{31, 70, 0.0f});
    EXPECT_EQ(log.Count("digital output 70 out of range"), 1);
    EXPECT_EQ(log.Count("RobotMaster: digital output"), 0) << "refused before the robot master";
    EXPECT_EQ(jogResets, 0);
}

TEST_F(OperatorCodesMasterTest, ReplayModeCodesSetTheMainInterpreter) {
    const DataTypes::RobotState rs;
    const struct {
        int code;
        IPO::ReplayMode mode;
    } cases[] = {{7, IPO::REPLAY_SINGLE}, {9, IPO::REPLAY_STEP}, {8, IPO::REPLAY_REPEAT}};
    for (const auto& c : cases) {
        ExecuteOperatorCommand(*master, OperatorCommandHooks{}, rs, OperatorCommand{c.code, 0, 0.0f});
        EXPECT_EQ(master->GetMainInterpreter().GetReplayMode(), c.mode) << c.code;
    }
}

TEST_F(OperatorCodesMasterTest, ReferenceAllByAlignMotorsAlignsWithoutReferencing) {
    StartLoop(20, 2);
    RobotMasterTestAccess::FunctionButtonRefAll(*master) = "alignmotors";
    const DataTypes::RobotState rs;
    ExecuteOperatorCommand(*master, OperatorCommandHooks{}, rs, OperatorCommand{16, 0, 0.0f});
    EXPECT_EQ(protocol->CallsNamed("AlignMotors").size(), 1u);
    EXPECT_TRUE(protocol->CallsNamed("ReferenceReset").empty());
    EXPECT_FALSE(RobotMasterTestAccess::ReferenceAllActive(*master).load());
}

TEST_F(OperatorCodesMasterTest, SystemShutdownIsRefusedBeforeShutdownIsInitialised) {
    ShutdownInit::Clear();
    std::vector<std::string> commands;
    Shutdown::SetCommandRunner([&](const std::string& c) {
        commands.push_back(c);
        return 0;
    });
    TestSupport::LogCapture log;
    const DataTypes::RobotState rs;
    ExecuteOperatorCommand(*master, OperatorCommandHooks{}, rs, OperatorCommand{99, 100, 0.0f});
    EXPECT_TRUE(commands.empty());
    EXPECT_TRUE(log.Contains("System shutdown refused"));
    Shutdown::SetCommandRunner(nullptr);
}

}  // namespace
