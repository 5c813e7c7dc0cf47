// Start-up: kinematic and protocol choice, their failures, FinishInit and the loop thread.
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "hardware/HardwareProtocolCANopen.h"
#include "hardware/HardwareProtocolJXRCAN.h"
#include "hardware/HardwareProtocolJXRCANV2.h"
#include "kinematics/RobotKinematicCartesian3Axis.h"
#include "kinematics/RobotKinematicNull.h"
#include "kinematics/RobotKinematicPivra4.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"
#include "robot_master_support.h"
#include "testsupport/TestSupport.h"

#ifdef BELVANTO_HAVE_SIMULATORS
#include "canopensim/CanopenSimulator.h"
#include "drivesim/DriveSimulator.h"
#include "testsupport/IpoTestAccess.h"
#include "testsupport/RobotMasterTestAccess.h"
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using ControlTest::BaseRobotXml;
using ControlTest::Edit;
using ControlTest::RobotFileTest;
using ControlTest::VirtualBusTest;

class RobotMasterStartupTest : public RobotFileTest {};

TEST_F(RobotMasterStartupTest, UnknownRobotTypesGiveReasonTenAndUsableObjects) {
    for (const std::string type : {"NoSuchRobot", "delta", "Parallel2Axis"}) {
        SCOPED_TRACE(type);
        LogSingleton* log = LogSingleton::instance();
        log->set_opMode(OPMODE_NORMAL);
        const std::string relative = WriteRobot("Unknown" + std::to_string(type.size()), BaseRobotXml("JXRCANV2", type));
        TestSupport::LogCapture capture;
        RobotMaster m;
        m.Init("robot", "Unknown", relative);
        EXPECT_EQ(capture.Count("RobotMaster: could not recognize robot type " + type), 1);
        EXPECT_EQ(log->get_seriousFailReason(), "10 robot type unknown");
        EXPECT_EQ(log->get_opMode(), OPMODE_SERIOUS_FAILURE);
        ASSERT_NE(dynamic_cast<RobotKinematicNull*>(m.GetKinematic()), nullptr);
        ASSERT_NE(m.GetHardware(), nullptr);
        // Whatever runs later in the failure mode finds objects that do nothing.
        float joints[9] = {};
        m.GetKinematic()->SetJoints(joints, true);
        m.GetHardware()->Disconnect();
        EXPECT_FALSE(m.GetHardware()->GetConnectionStatus());
    }
}

TEST_F(RobotMasterStartupTest, UnknownProtocolGivesReasonElevenLoggedOnce) {
    const std::string relative = WriteRobot("BadBus", BaseRobotXml("FooBus"));
    TestSupport::LogCapture capture;
    RobotMaster m;
    m.Init("robot", "BadBus", relative);
    EXPECT_EQ(capture.Count("could not recognize protocol type"), 1) << capture.Joined();
    EXPECT_EQ(capture.Count("RobotMaster: could not recognize protocol type FooBus"), 1);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "11 protocol type unknown");
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
    EXPECT_NE(dynamic_cast<RobotKinematicCartesian3Axis*>(m.GetKinematic()), nullptr);
    ASSERT_NE(m.GetHardware(), nullptr);
    EXPECT_EQ(typeid(*m.GetHardware()), typeid(Hardware::HardwareProtocol));
    EXPECT_FALSE(capture.Contains("Belvanto DebugMode"));  // the rest of Init did not run
}

TEST_F(RobotMasterStartupTest, UnreadableFileGivesTheFallbackArmAndProtocol) {
    struct Case {
        const char* name;
        std::string robotFile;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"missing", "Nowhere/Nowhere.xml", "31 Robot Ini file not found"},
        {"outside_the_robots_folder", "../../etc/passwd", "31 Robot Ini file not found"},
        {"absolute", "/etc/passwd", "31 Robot Ini file not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        TestSupport::LogCapture capture;
        RobotMaster m;
        m.Init("robot", "Nowhere", c.robotFile);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
        EXPECT_TRUE(capture.Contains("RobotMaster: could not find robot ini file: "));
        EXPECT_NE(dynamic_cast<RobotKinematicPivra4*>(m.GetKinematic()), nullptr);
        auto* v2 = dynamic_cast<Hardware::HardwareProtocolJXRCANV2*>(m.GetHardware());
        ASSERT_NE(v2, nullptr);
        EXPECT_EQ(v2->GetVersion(), 2);
    }
}

TEST_F(RobotMasterStartupTest, InitCopiesCycleTimeAndLimits) {
    const std::string relative = WriteRobot("Plain", BaseRobotXml());
    TestSupport::LogCapture capture;
    RobotMaster m;
    m.Init("robot", "Plain", relative);
    ASSERT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    EXPECT_TRUE(capture.Contains("RobotMaster: 20 ms cycle time"));
    EXPECT_TRUE(capture.Contains("Belvanto DebugMode: On"));
    EXPECT_DOUBLE_EQ(m.GetKinematic()->cycleTimeMS, 20.0);
    EXPECT_FLOAT_EQ(m.GetCycleTime(), 20.0f);
    EXPECT_DOUBLE_EQ(RobotMasterTestAccess::JointMaxVelocity(m)[2], m.GetKinematic()->jointMaxVelocity[2]);
    EXPECT_EQ(m.GetRobotState().jointSet[0], 0.0f);
}

TEST_F(RobotMasterStartupTest, ConcurrentFinishInitStartsTheLoopAndSeedsTheProgramVariables) {
    const std::string relative = WriteRobot("Finish", BaseRobotXml());
    LogSingleton* log = LogSingleton::instance();
    log->PartsGood.store(17);
    log->PartsBad.store(3);
    RobotMaster m;
    m.Init("robot", "Finish", relative);
    ExternalAxis axis(0, "Linear", ExternalAxis::Position);
    axis.VelMax = 50.0;
    RobotMasterTestAccess::ExternalAxes(m)[0] = axis;
    RobotMasterTestAccess::ExternalAxisDefined(m)[0] = true;
    EXPECT_TRUE(m.IsHeld());

    m.FinishInit();
    EXPECT_FALSE(m.IsHeld());
    EXPECT_TRUE(m.IsMainLoopRunning());
    EXPECT_EQ(m.GetProgramMemory().GetVariable("#parts-good").value, 17.0);
    EXPECT_EQ(m.GetProgramMemory().GetVariable("#parts-bad").value, 3.0);
    EXPECT_DOUBLE_EQ(RobotMasterTestAccess::JointMaxVelocity(m)[6], 50.0);
    EXPECT_DOUBLE_EQ(IpoTestAccess::JointMaxVelocities(m.GetMainInterpreter())[6], m.GetKinematic()->jointMaxVelocity[6]);
    // The variables convert with their own kinematic, seeded from "#position".
    EXPECT_NO_THROW(m.GetProgramMemory().SetVariablePosCart("mb_pos_w1", 10, 20, 30, 0, 0, 0, 0, 0, 0, false));
    // Cycles publish the state.
    // (the live state is the loop's: the test compares with what the protocol reports)
    EXPECT_TRUE(ControlTest::WaitFor([&] { return m.GetRobotState().errorText == m.GetHardware()->GetErrorShort(); }));
    m.StopMainLoop();
    EXPECT_FALSE(m.IsMainLoopRunning());
    log->PartsGood.store(0);
    log->PartsBad.store(0);
}

// ------------------------------------------------------------------ one robot per protocol

#ifdef BELVANTO_HAVE_SIMULATORS

struct ProtocolCase {
    const char* protocol;
    int version;   // maker's protocol; 0 for CANopen
    int profile;   // CANopen profile; 0 for the maker's protocol
};

class RobotMasterProtocolTest : public VirtualBusTest, public ::testing::WithParamInterface<ProtocolCase> {
protected:
    void TearDown() override {
        driveSim.Stop();
        canopenSim.Stop();
        VirtualBusTest::TearDown();
    }

    DriveSim::DriveSimulator driveSim;
    CanopenSim::CanopenSimulator canopenSim;
};

TEST_P(RobotMasterProtocolTest, BuildsItsProtocolAndConnectsToTheSimulator) {
    const ProtocolCase& c = GetParam();
    const bool canopen = c.profile != 0;
    std::string xml = BaseRobotXml(c.protocol);
    if (canopen) {
        xml = Edit(Edit(Edit(xml, "ID=\"16\"", "ID=\"1\""), "ID=\"32\"", "ID=\"2\""), "ID=\"48\"", "ID=\"3\"");
    }
    const std::string type = std::string("Bus_") + c.protocol;
    const std::string relative = WriteRobot(type, xml);
    if (canopen) {
        for (int node = 1; node <= 3; ++node) {
            CanopenSim::DriveConfig d;
            d.nodeId = node;
            ASSERT_TRUE(canopenSim.AddDrive(d));
        }
        ASSERT_EQ(0, canopenSim.Start(hubPath));
    } else {
        std::string error;
        ASSERT_TRUE(driveSim.LoadRobotFile(FullPath(relative), &error)) << error;
        ASSERT_EQ(0, driveSim.Start(hubPath));
    }

    RobotMaster m;
    m.Init("robot", type, relative);
    ASSERT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL) << LogSingleton::instance()->get_seriousFailReason();
    Hardware::HardwareProtocol* hw = m.GetHardware();
    ASSERT_NE(hw, nullptr);
    EXPECT_EQ(RobotMasterTestAccess::TimingMode(m).load(), canopen ? 1 : 2);
    if (canopen) {
        auto* p = dynamic_cast<Hardware::HardwareProtocolCANopen*>(hw);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(static_cast<int>(p->GetProfile()), c.profile);
    } else if (c.version == 1) {
        EXPECT_NE(dynamic_cast<Hardware::HardwareProtocolJXRCAN*>(hw), nullptr);
    } else {
        ASSERT_NE(dynamic_cast<Hardware::HardwareProtocolJXRCANV2*>(hw), nullptr);
        EXPECT_EQ(hw->GetVersion(), c.version);
    }

    hw->Connect();
    EXPECT_TRUE(hw->GetConnectionStatus());
    if (canopen) {
        EXPECT_TRUE(ControlTest::WaitFor([&] { return canopenSim.ReceivedCount() > 0; }));
    } else {
        hw->SendSync();
        EXPECT_TRUE(driveSim.WaitForReceived(1, std::chrono::milliseconds(5000)));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryProtocolName, RobotMasterProtocolTest,
                         ::testing::Values(ProtocolCase{"JXRCAN", 1, 0}, ProtocolCase{"JXRCANV2", 2, 0},
                                           ProtocolCase{"JXRCANV3", 3, 0}, ProtocolCase{"CANopen", 0, 2},
                                           ProtocolCase{"CANopen_IPO", 0, 2}, ProtocolCase{"CANopen_CSP", 0, 3},
                                           ProtocolCase{"CANopen_Position", 0, 1}),
                         [](const ::testing::TestParamInfo<ProtocolCase>& info) {
                             return std::string(info.param.protocol);
                         });

#endif  // BELVANTO_HAVE_SIMULATORS

}  // namespace
