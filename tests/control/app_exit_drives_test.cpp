// The orderly exits inside the process, on each protocol against its simulator on the
// virtual bus: operator code 99/99 (the application's own shut-down) and the system
// shut-down (the power-off hooks) leave the drives off and the brake engaged, in bounded
// time. The signal exits are the process tests' (app_restart_test.cpp).

#include "robot_master_support.h"

#ifdef BELVANTO_HAVE_SIMULATORS

#include "canopensim/CanopenSimulator.h"
#include "control/Application.h"
#include "control/KeyboardInput.h"
#include "control/OperatorCommands.h"
#include "control/ShutdownInit.h"
#include "core/Shutdown.h"
#include "drivesim/DriveSimulator.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace ControlTest;

namespace {

using Clock = std::chrono::steady_clock;

enum class Exit { OperatorCode99, SystemShutdown };

struct ExitCase {
    const char* protocol;
    Exit exit;
};

constexpr int kIoNode = 0x21;  // the CANopen I/O module that carries the brake output

class AppExitDrivesTest : public VirtualBusTest, public ::testing::WithParamInterface<ExitCase> {
protected:
    void TearDown() override {
        ShutdownInit::Clear();
        Shutdown::SetCommandRunner(nullptr);
        driveSim.Stop();
        canopenSim.Stop();
        VirtualBusTest::TearDown();
    }

    bool CANopen() const { return std::string(GetParam().protocol).rfind("CANopen", 0) == 0; }

    // The test robot without e-stop monitoring (nothing closes its circuit here) and with
    // its brake where the protocol carries outputs: DOut 3 of the first joint module, or
    // DOut 20 on the CANopen I/O module.
    std::string RobotFile() {
        std::string xml = BaseRobotXml(GetParam().protocol);
        xml = Edit(xml, "<EStopMonitoring DInChannel=\"7\"/>", "<EStopMonitoring DInChannel=\"-1\"/>");
        xml = Edit(xml, "DOutChannel=\"5\"", CANopen() ? "DOutChannel=\"20\"" : "DOutChannel=\"3\"");
        return WriteRobot(std::string("Exit_") + GetParam().protocol, xml);
    }

    void StartSimulator(const std::string& relative) {
        if (CANopen()) {
            for (int node : {16, 32, 48}) {
                CanopenSim::DriveConfig d;
                d.nodeId = node;
                ASSERT_TRUE(canopenSim.AddDrive(d));
            }
            CanopenSim::IoConfig io;
            io.nodeId = kIoNode;
            ASSERT_TRUE(canopenSim.AddIoModule(io));
            ASSERT_EQ(0, canopenSim.Start(hubPath));
        } else {
            std::string error;
            ASSERT_TRUE(driveSim.LoadRobotFile(FullPath(relative), &error)) << error;
            ASSERT_EQ(0, driveSim.Start(hubPath));
        }
    }

    bool DrivesEnabled(bool enabled) const {
        for (int node : {16, 32, 48}) {
            bool on = false;
            if (CANopen()) {
                CanopenSim::DriveSnapshot s;
                canopenSim.GetDrive(node, &s);
                on = s.state == CanopenSim::DriveState::OperationEnabled;
            } else {
                DriveSim::ModuleState s;
                driveSim.GetModuleState(node, &s);
                on = s.enabled;
            }
            if (on != enabled) return false;
        }
        return true;
    }
    bool BrakeReleased() const {
        if (CANopen()) {
            CanopenSim::IoSnapshot io;
            canopenSim.GetIoModule(kIoNode, &io);
            return (io.outputs & 0x01) != 0;
        }
        DriveSim::ModuleState s;
        driveSim.GetModuleState(16, &s);
        return (s.outputs & 0x08) != 0;
    }

    DriveSim::DriveSimulator driveSim;
    CanopenSim::CanopenSimulator canopenSim;
};

TEST_P(AppExitDrivesTest, LeavesTheDrivesOffWithTheBrakeEngaged) {
    const ExitCase& c = GetParam();
    const std::string relative = RobotFile();
    ASSERT_NO_FATAL_FAILURE(StartSimulator(relative));

    std::istringstream noInput;
    std::ostringstream console;
    KeyboardInput keys(noInput, console, std::chrono::milliseconds(1));
    std::atomic<bool> stop{false};
    Application app(keys, stop);
    RobotMaster& rm = app.GetRobotMaster();
    rm.Init("robot", std::string("Exit_") + c.protocol, relative);
    ASSERT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL) << LogSingleton::instance()->get_seriousFailReason();
    if (CANopen()) rm.InitDIOModule(kIoNode);
    rm.GetHardware()->Connect();
    ASSERT_TRUE(rm.GetHardware()->GetConnectionStatus());
    rm.FinishInit();
    // As an operator would: enabled once the status shows the drives switched off by the
    // connect (a later change of that status would reset the outputs, brake included).
    const std::string off = CANopen() ? "ready_to_switch_on" : std::string(GetParam().protocol) == "JXRCAN" ? "MNE" : "_MNE";
    ASSERT_TRUE(WaitFor([&] { return rm.GetRobotState().errorText == off; }, 10000)) << rm.GetRobotState().errorText;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the loop's next cycles act on it
    rm.Reset();
    rm.EnableMotors(true);
    ASSERT_TRUE(WaitFor([&] { return DrivesEnabled(true); }, 10000));
    ASSERT_TRUE(WaitFor([&] { return BrakeReleased(); }, 10000)) << "the brake is released after its delay";

    std::vector<std::string> commands;
    Shutdown::SetCommandRunner([&](const std::string& command) {
        commands.push_back(command);
        return 0;
    });
    ShutdownInit::Init(&rm, nullptr);
    TestSupport::LogCapture log;
    const auto start = Clock::now();
    if (c.exit == Exit::OperatorCode99) {
        OperatorCommandHooks hooks;
        hooks.shutdownApplication = [&] { app.ShutdownApplication(); };
        ExecuteOperatorCommand(rm, hooks, rm.GetRobotState(), OperatorCommand{99, 99, 0.0f});
        EXPECT_TRUE(stop.load()) << "the main loop ends";
        EXPECT_TRUE(commands.empty());
    } else {
        Shutdown::ShutdownSystem(true);
        EXPECT_EQ(commands, (std::vector<std::string>{"systemctl poweroff"}));
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_LT(took.count(), 10000) << "bounded";
    EXPECT_TRUE(log.Contains("RobotMaster: Disabling Motors"));
    EXPECT_TRUE(log.Contains("Enabling brake"));

    EXPECT_TRUE(WaitFor([&] { return DrivesEnabled(false); }, 5000)) << "the drives are off";
    EXPECT_TRUE(WaitFor([&] { return !BrakeReleased(); }, 5000)) << "the brake is engaged";
    app.Shutdown();
}

INSTANTIATE_TEST_SUITE_P(
    EachProtocolAndExit, AppExitDrivesTest,
    ::testing::Values(ExitCase{"JXRCAN", Exit::OperatorCode99}, ExitCase{"JXRCANV2", Exit::OperatorCode99},
                      ExitCase{"CANopen_CSP", Exit::OperatorCode99}, ExitCase{"JXRCAN", Exit::SystemShutdown},
                      ExitCase{"JXRCANV2", Exit::SystemShutdown}, ExitCase{"CANopen_CSP", Exit::SystemShutdown}),
    [](const ::testing::TestParamInfo<ExitCase>& info) {
        return std::string(info.param.protocol) +
               (info.param.exit == Exit::OperatorCode99 ? "_Code99" : "_SystemShutdown");
    });

}  // namespace

#endif
