// The controller port on a robot master: what the servers' tests take from a recording
// port comes from the real interpreters, protocol and kinematic here, and the settings the
// servers hand over arrive as robot master commands (with a hold where the loop's
// kinematic changes) or as whole values.

#include "control/RobotMasterPort.h"
#include "master_command_fixture.h"
#include "testsupport/IpoTestAccess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using ControlTest::MasterCommandTest;
using ControlTest::RecordingProtocol;
using Control::Interpreter;

// The protocol's own reference report: one flag per robot joint and external axis.
class ReportingProtocol : public RecordingProtocol {
public:
    using RecordingProtocol::RecordingProtocol;
    void GetReferenceStatus(bool* perJoint, int* all) override {
        for (int i = 0; i < GetRobotJointCount() + GetExternalAxisCount(); ++i) perJoint[i] = i % 2 == 0;
        *all = 1;
    }
};

// What the receivers got (static: the receivers are plain functions).
std::vector<std::string> received;

void OnResult(HVPEventType event, int point, int program, const std::string& text) {
    received.push_back(std::to_string(static_cast<int>(event)) + " " + std::to_string(point) + " " +
                       std::to_string(program) + " " + text);
}

int OnCanFrame(int, int, const unsigned char*, long, timespec) { return 1; }

class ControllerPortTest : public MasterCommandTest {
protected:
    void SetUp() override {
        MasterCommandTest::SetUp();
        received.clear();
        port = std::make_unique<Control::RobotMasterPort>(*master, nullptr);
    }
    void TearDown() override {
        port.reset();
        MasterCommandTest::TearDown();
    }
    std::unique_ptr<Control::RobotMasterPort> port;
};

TEST_F(ControllerPortTest, InterpreterInfoOfALoadedProgramWithItsSubPrograms) {
    InitPathGenerators();
    const std::string programs = LogSingleton::instance()->get_rootPath() + "Data/Programs/";
    ControlTest::WriteText(programs + "cell/subA.xml",
                           "<?xml version=\"1.0\"?>\n<Program>\n  <Comment Nr=\"1\" Descr=\"a\" />\n"
                           "  <Comment Nr=\"2\" Descr=\"b\" />\n</Program>\n");
    ControlTest::WriteText(programs + "cell/subB.xml",
                           "<?xml version=\"1.0\"?>\n<Program>\n  <Comment Nr=\"1\" Descr=\"b\" />\n</Program>\n");
    ControlTest::WriteText(programs + "cell/main.xml",
                           "<?xml version=\"1.0\"?>\n<Program>\n  <Comment Nr=\"1\" Descr=\"main\" />\n"
                           "  <Sub Nr=\"2\" File=\"cell/subA.xml\" />\n  <Sub Nr=\"3\" File=\"cell/subB.xml\" />\n"
                           "</Program>\n");
    const Control::InterpreterInfo none = port->GetInterpreterInfo(Interpreter::Main);
    EXPECT_FALSE(none.loaded);
    EXPECT_EQ(none.currentPoint, -1);
    EXPECT_EQ(none.activeProgram, 0);
    EXPECT_TRUE(none.programNames.empty());
    std::string name = "untouched";
    int count = -5;
    port->GetProgramInformation(Interpreter::Main, &name, &count, nullptr);
    EXPECT_EQ(name, "untouched");
    EXPECT_EQ(count, -5);

    IPO& ipo = master->GetMainInterpreter();
    ASSERT_EQ(ipo.LoadProgramSynchronous("cell/main.xml", false), 0);
    const std::vector<IPO::ProgramSummary> summaries = ipo.GetProgramSummaries();
    ASSERT_EQ(summaries.size(), 3u);
    Control::InterpreterInfo loaded = port->GetInterpreterInfo(Interpreter::Main);
    EXPECT_TRUE(loaded.loaded);
    EXPECT_EQ(loaded.loadedName, ipo.GetLoadedProgramName());
    EXPECT_EQ(loaded.programCount, 3);
    EXPECT_EQ(loaded.programNames,
              (std::vector<std::string>{summaries[0].name, summaries[1].name, summaries[2].name}));
    EXPECT_EQ(loaded.activeCommandCount, 3);
    port->GetProgramInformation(Interpreter::Main, &name, &count, nullptr);
    EXPECT_EQ(name, summaries[0].name);
    EXPECT_EQ(count, 3);

    // A point inside the second program; an active index past the list counts no commands.
    IpoTestAccess::ActiveProgram(ipo).store(1);
    IpoTestAccess::CurrentPoint(ipo).store(1);
    loaded = port->GetInterpreterInfo(Interpreter::Main);
    EXPECT_EQ(loaded.activeProgram, 1);
    EXPECT_EQ(loaded.currentPoint, 1);
    EXPECT_EQ(loaded.activeCommandCount, 2);
    IpoTestAccess::ActiveProgram(ipo).store(7);
    EXPECT_EQ(port->GetInterpreterInfo(Interpreter::Main).activeCommandCount, 0);
    IpoTestAccess::ActiveProgram(ipo).store(0);
    IpoTestAccess::CurrentPoint(ipo).store(-1);
    ipo.DeleteAll();
    std::error_code ec;
    std::filesystem::remove_all(programs + "cell", ec);
}

TEST_F(ControllerPortTest, ReceiversReachEveryInterpreterTheVariablesAndTheBus) {
    port->SetResultReceiver(&OnResult);
    master->GetMainInterpreter().SendHVPServerCallback(HVP_EVENT_ACK, 3, 0, "");
    master->GetLogicInterpreter().SendHVPServerCallback(HVP_EVENT_END, 7, 1, "user");
    master->GetMoveToInterpreter().SendHVPServerCallback(HVP_EVENT_ERROR, 1, 0, "no path");
    EXPECT_EQ(received, (std::vector<std::string>{"10 3 0 ", "12 7 1 user", "13 1 0 no path"}));

    std::vector<std::string> variables;
    port->SetVariableReceiver([&](const Programs::MemoryPosition& v) { variables.push_back(v.name); });
    master->GetProgramMemory().SetVariableSingle("counter", 5.0, true);
    EXPECT_EQ(variables, std::vector<std::string>{"counter"});
    port->SetVariableReceiver(nullptr);

    EXPECT_TRUE(port->SetCanFrameReceiver(&OnCanFrame));
    EXPECT_EQ(master->GetHardware()->GetCANInterface().bridgeCallback.load(), &OnCanFrame);
    RobotMaster bare;
    Control::RobotMasterPort barePort(bare, nullptr);
    EXPECT_FALSE(barePort.SetCanFrameReceiver(&OnCanFrame));
    const unsigned char bytes[8] = {};
    EXPECT_FALSE(barePort.WriteCanFrame(0x100, 2, bytes));
}

TEST_F(ControllerPortTest, ModulesCarryTheRolesAndTheProtocolsReferenceReport) {
    auto owned = std::make_unique<ReportingProtocol>(kinematic);
    owned->SetRoles(4, 1, 2, 1, 2);
    master->SetHardwareProtocol(std::move(owned));
    const Control::ModuleLayout m = port->GetModules();
    EXPECT_EQ(m.total, 10);
    EXPECT_EQ(m.JointModuleCount(), 8);
    EXPECT_EQ(m.first[Control::ModuleLayout::ExternalAxis], 5);
    EXPECT_EQ(m.referenceState, 1);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(m.referenceStatus[i], i % 2 == 0) << i;
    const bool referencable[11] = {true, true, true, true, false, true, true, false, false, false, false};
    for (int r = 0; r < 11; ++r) EXPECT_EQ(m.IsReferencable(r), referencable[r]) << r;
    EXPECT_FALSE(m.IsReferencable(-1));

    RobotMaster bare;
    Control::RobotMasterPort barePort(bare, nullptr);
    EXPECT_EQ(barePort.GetModules().total, 0);
    std::string text, code;
    EXPECT_FALSE(barePort.GetHardwareStatus(text, code));
    EXPECT_FALSE(barePort.GetJointLimits().available);
    EXPECT_FALSE(barePort.GetVirtualBox().available);
}

TEST_F(ControllerPortTest, KinematicSettingsAreCommandsUnderAHold) {
    Control::JointLimits limits = port->GetJointLimits();
    ASSERT_TRUE(limits.available);
    limits.minMax[0][0] = -120.0f;
    limits.minMax[0][1] = 130.0f;
    const std::uint64_t holds = master->GetHoldRequests();
    port->SetJointLimits(limits);
    EXPECT_EQ(master->GetHoldRequests(), holds + 1);
    EXPECT_FLOAT_EQ(port->GetJointLimits().minMax[0][0], -120.0f);
    EXPECT_FLOAT_EQ(port->GetJointLimits().minMax[0][1], 130.0f);

    Control::VirtualBox box;
    box.active = true;
    box.min = DataTypes::Vector3(-1, -2, -3);
    box.max = DataTypes::Vector3(4, 5, 6);
    port->SetVirtualBox(box);
    EXPECT_EQ(master->GetHoldRequests(), holds + 2);
    EXPECT_TRUE(kinematic->virtualBoxActive);
    EXPECT_FLOAT_EQ(kinematic->virtualBoxMin.y, -2.0f);
    EXPECT_FLOAT_EQ(kinematic->virtualBoxMax.z, 6.0f);
    const Control::VirtualBox read = port->GetVirtualBox();
    EXPECT_TRUE(read.active);
    EXPECT_FLOAT_EQ(read.max.x, 4.0f);
}

TEST_F(ControllerPortTest, OutputStatesAndExternalAxesChangeAsOneValue) {
    Control::DOutTargets targets;
    targets.onReset[3] = DOutTrue;
    targets.onError[63] = DOutFalse;
    port->SetDOutTargets(targets);
    EXPECT_EQ(master->GetDOutTargetStateOnReset(3), DOutTrue);
    EXPECT_EQ(master->GetDOutTargetStateOnError(63), DOutFalse);
    EXPECT_EQ(master->GetDOutTargetStateOnError(3), DOutNoChange);
    EXPECT_EQ(port->GetDOutTargets().onReset[3], DOutTrue);

    TestSupport::LogCapture log;
    Control::ExternalAxesChange all;
    all.clearAll = true;
    for (int n = 0; n < 3; ++n) all.add.push_back(ExternalAxis(n, "axis" + std::to_string(n), ExternalAxis::Position));
    port->ChangeExternalAxes(all);
    for (int n = 0; n < 3; ++n) EXPECT_TRUE(master->HasExternalAxis(n)) << n;
    EXPECT_TRUE(log.Contains("Clearing external axes"));
    EXPECT_EQ(log.Count("Adding external axis"), 3);

    // From slot 1 on the axes go, axis 2 comes back.
    Control::ExternalAxesChange some;
    some.removeFrom = 1;
    some.add.push_back(ExternalAxis(2, "again", ExternalAxis::Velocity));
    port->ChangeExternalAxes(some);
    ExternalAxis axis;
    EXPECT_TRUE(port->GetExternalAxis(0, axis));
    EXPECT_FALSE(port->GetExternalAxis(1, axis));
    ASSERT_TRUE(port->GetExternalAxis(2, axis));
    EXPECT_EQ(axis.MotionMode, ExternalAxis::Velocity);
    EXPECT_TRUE(log.Contains("Removing external axis 1"));
    EXPECT_TRUE(log.Contains("Removing external axis 2"));
    EXPECT_FALSE(port->GetExternalAxis(5, axis));
}

}  // namespace
