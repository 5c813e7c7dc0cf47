// The robot configuration file: reading, faults, edge cases and the write-back.
#include "control/Display4DS.h"
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "robot_master_support.h"
#include "testsupport/TestSupport.h"
#include "testsupport/IpoTestAccess.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using ControlTest::BaseRobotXml;
using ControlTest::Edit;
using ControlTest::RobotFileTest;

class RobotMasterConfigTest : public RobotFileTest {};

TEST_F(RobotMasterConfigTest, ReadsEverySectionOfACompleteFile) {
    LogSingleton* log = LogSingleton::instance();
    log->set_pathGeneratorFlagOptimize(true);
    log->set_pathGeneratorSlicingMS(50);
    const std::string path = WriteLoose("complete.xml", BaseRobotXml());
    TestSupport::LogCapture capture;
    RobotMaster m;

    ASSERT_EQ(m.ReadConfigFile(path), 0);
    EXPECT_EQ(m.GetRobotFilePath(), path);
    EXPECT_EQ(RobotMasterTestAccess::ProtocolName(m), "JXRCANV2");
    EXPECT_EQ(RobotMasterTestAccess::CycleTimeMs(m).load(), 20);
    EXPECT_EQ(RobotMasterTestAccess::TimingMode(m).load(), 2);
    EXPECT_FALSE(RobotMasterTestAccess::PreciseTiming(m));
    EXPECT_EQ(RobotMasterTestAccess::KinematicType(m), "Cartesian3Axis");
    EXPECT_EQ(m.GetBrakeSettings().brakeDOutChannel, 5);
    EXPECT_EQ(m.GetBrakeSettings().brakeDelayMS, 300);
    EXPECT_EQ(m.GetBrakeSettings().eStopDInChannel, 7);
    EXPECT_TRUE(RobotMasterTestAccess::DebugMode(m));
    EXPECT_EQ(m.GetDisplayPortDefault(), "/dev/ttyX");
    EXPECT_EQ(Display4DS::jogBias.load(), 12);
    EXPECT_EQ(m.GetFunctionButtonRefAll(), "settozero");
    EXPECT_TRUE(RobotMasterTestAccess::IgnoreConsistencyCheck(m));
    EXPECT_TRUE(IpoTestAccess::FlagIgnoreConsistencyCheck(m.GetMainInterpreter()).load());
    EXPECT_EQ(RobotMasterTestAccess::LookAhead(m), 5);
    EXPECT_EQ(RobotMasterTestAccess::GeneratorType(m), PATHGEN_LINEAR);
    EXPECT_FLOAT_EQ(RobotMasterTestAccess::SmoothDistCart(m), 80.0f);
    EXPECT_FLOAT_EQ(RobotMasterTestAccess::SmoothDistJoint(m), 8.0f);
    EXPECT_FALSE(log->get_pathGeneratorFlagOptimize());
    EXPECT_EQ(log->get_pathGeneratorSlicingMS(), 40);
    EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogVelCart(m)[2], 150.0f);
    EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogVelOri(m)[0], 40.0f);
    EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogVelJoint(m), 2.0f);
    const float accelerations[6] = {91, 361, 501, 1501, 46, 181};
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogAccelerations(m)[i], accelerations[i]) << i;
    EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogJointAccelerations(m)[0], 91.0f);
    EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogJointAccelerations(m)[1], 7.0f);  // AJJA1
    EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogJointDecelerations(m)[8], 9.0f);  // DJJE2
    EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogJointDecelerations(m)[7], 361.0f);
    EXPECT_TRUE(RobotMasterTestAccess::JogAccelerationActive(m));
    EXPECT_TRUE(RobotMasterTestAccess::ZeroTorqueAllowed(m)[1]);
    EXPECT_FALSE(RobotMasterTestAccess::ZeroTorqueAllowed(m)[0]);

    EXPECT_TRUE(capture.Contains("RobotMaster: Timing mode: Mode 2"));
    EXPECT_TRUE(capture.Contains("RobotMaster: Brake functionality activated on DOut 6 with delay 300 ms"));
    EXPECT_TRUE(capture.Contains("RobotMaster: EStop monitoring enabled, using DIn 8"));
    EXPECT_TRUE(capture.Contains("RobotMaster: FunctionButtonRefAll set to: settozero"));
    EXPECT_TRUE(capture.Contains("RobotMaster: flagIgnoreConsistencyCheck set to true"));
    EXPECT_TRUE(capture.Contains("RobotMaster: JogVelocities: JogCart=150.00, JogOri=40.00, JogJoint=2.00"));
    EXPECT_TRUE(capture.Contains("RobotMaster: JogAccelerations/FastDecay: Active=1 Joint=91.00/361.00 [deg/s2], "
                                 "Cart=501.00/1501.00 [mm/s2], CartOri=46.00/181.00 [deg/s2]"));
    EXPECT_TRUE(capture.Contains("RobotMaster: Zero Torque mode enabled for joints: 0 1 0 0 0 0 0 0 0"));
    EXPECT_EQ(log->get_opMode(), OPMODE_NORMAL);
    Display4DS::jogBias.store(30);
}

struct FaultCase {
    const char* name;
    std::function<std::string()> xml;  // nullptr-like empty result: no file at all
    int result;
    const char* line;  // "<path>" stands for the file's path
    const char* reason;
};

TEST_F(RobotMasterConfigTest, FaultsSetTheirReasonLineAndOperationMode) {
    const std::vector<FaultCase> cases = {
        {"missing", [] { return std::string(); }, 2, "RobotMaster: could not find robot ini file: <path>",
         "31 Robot Ini file not found"},
        {"not_xml", [] { return std::string("<Robot><Bus"); }, 3,
         "RobotMaster: could not read robot ini file XML code correctly: <path>", "32 Robot Ini file not valid"},
        {"no_robot", [] { return Edit(Edit(BaseRobotXml(), "<Robot>", "<Robo>"), "</Robot>", "</Robo>"); }, 4,
         "RobotMaster: line Robot not found in robot ini file!", "33 Robot Ini file not complete"},
        {"no_bus", [] { return Edit(Edit(BaseRobotXml(), "<BusConfiguration ", "<Bus "), "</BusConfiguration>", "</Bus>"); },
         5, "RobotMaster: line BusConfiguration not found in robot ini file!", "34 Robot Ini file not complete"},
        {"no_protocol", [] { return Edit(BaseRobotXml(), "Protocol=\"JXRCANV2\"", ""); }, 6,
         "RobotMaster: attribute Protocol not found in line BusConfiguration of robot ini file!",
         "35 Robot Ini file not complete"},
        {"no_cycle", [] { return Edit(BaseRobotXml(), "CycleTimeMS=\"20\"", ""); }, 7,
         "RobotMaster: attribute CycleTimeMS not found in line BusConfiguration of robot ini file!",
         "36 Robot Ini file not complete"},
        {"no_kinematic", [] { return Edit(BaseRobotXml(), "<Kinematic ", "<Kinematik "); }, 8,
         "RobotMaster: line Kinematic not found in robot ini file!", "37 Robot Ini file not complete"},
        {"no_type", [] { return Edit(BaseRobotXml(), "Type=\"Cartesian3Axis\"", ""); }, 9,
         "RobotMaster: attribute \"Type\" not found in line \"Kinematic\" of robot ini file!",
         "38 Robot Ini file not complete"},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        LogSingleton* log = LogSingleton::instance();
        log->set_opMode(OPMODE_NORMAL);
        log->set_seriousFailReason("na");
        const std::string text = c.xml();
        const std::string path = text.empty() ? root + "loose/absent.xml" : WriteLoose(std::string(c.name) + ".xml", text);
        std::string line = c.line;
        const size_t at = line.find("<path>");
        if (at != std::string::npos) line.replace(at, 6, path);

        TestSupport::LogCapture capture;
        RobotMaster m;
        EXPECT_EQ(m.ReadConfigFile(path), c.result);
        EXPECT_EQ(capture.Count(line), 1) << capture.Joined();
        EXPECT_EQ(log->get_seriousFailReason(), c.reason);
        EXPECT_EQ(log->get_opMode(), OPMODE_SERIOUS_FAILURE);
    }
}

struct EdgeCase {
    const char* name;
    std::function<std::string()> xml;
    std::function<void(RobotMaster&, TestSupport::LogCapture&)> check;
    int result = 0;
};

TEST_F(RobotMasterConfigTest, EdgeCases) {
    LogSingleton* log = LogSingleton::instance();
    const std::vector<EdgeCase> cases = {
        {"timing_mode_3_is_chosen_automatically",
         [] { return Edit(BaseRobotXml(), "CycleTimeMS=\"20\"", "CycleTimeMS=\"20\" TimingMode=\"3\""); },
         [](RobotMaster& m, TestSupport::LogCapture&) { EXPECT_EQ(RobotMasterTestAccess::TimingMode(m).load(), 2); }},
        {"timing_mode_2_stays_with_canopen",
         [] { return Edit(BaseRobotXml("CANopen"), "CycleTimeMS=\"20\"", "CycleTimeMS=\"20\" TimingMode=\"2\""); },
         [](RobotMaster& m, TestSupport::LogCapture&) { EXPECT_EQ(RobotMasterTestAccess::TimingMode(m).load(), 2); }},
        {"precise_TRUE",
         [] { return Edit(BaseRobotXml(), "CycleTimeMS=\"20\"", "CycleTimeMS=\"20\" PreciseTiming=\"TRUE\""); },
         [](RobotMaster& m, TestSupport::LogCapture& c) {
             EXPECT_TRUE(RobotMasterTestAccess::PreciseTiming(m));
             EXPECT_TRUE(c.Contains("RobotMaster: Using precise timing. Warning, this can cause heavy CPU load."));
         }},
        {"precise_1",
         [] { return Edit(BaseRobotXml(), "CycleTimeMS=\"20\"", "CycleTimeMS=\"20\" PreciseTiming=\"1\""); },
         [](RobotMaster& m, TestSupport::LogCapture&) { EXPECT_TRUE(RobotMasterTestAccess::PreciseTiming(m)); }},
        {"precise_yes",
         [] { return Edit(BaseRobotXml(), "CycleTimeMS=\"20\"", "CycleTimeMS=\"20\" PreciseTiming=\"yes\""); },
         [](RobotMaster& m, TestSupport::LogCapture& c) {
             EXPECT_FALSE(RobotMasterTestAccess::PreciseTiming(m));
             EXPECT_FALSE(c.Contains("Using precise timing"));
         }},
        {"estop_64", [] { return Edit(BaseRobotXml(), "DInChannel=\"7\"", "DInChannel=\"64\""); },
         [](RobotMaster& m, TestSupport::LogCapture& c) {
             EXPECT_EQ(m.GetBrakeSettings().eStopDInChannel, -1);
             EXPECT_FALSE(c.Contains("EStop monitoring enabled"));
         }},
        {"estop_63", [] { return Edit(BaseRobotXml(), "DInChannel=\"7\"", "DInChannel=\"63\""); },
         [](RobotMaster& m, TestSupport::LogCapture& c) {
             EXPECT_EQ(m.GetBrakeSettings().eStopDInChannel, 63);
             EXPECT_TRUE(c.Contains("RobotMaster: EStop monitoring enabled, using DIn 64"));
         }},
        {"no_path_generation", [] { return Edit(BaseRobotXml(), "<PathGeneration ", "<PathGen "); },
         [log](RobotMaster& m, TestSupport::LogCapture& c) {
             EXPECT_TRUE(log->get_pathGeneratorFlagOptimize());
             EXPECT_EQ(log->get_pathGeneratorSlicingMS(), 50);
             EXPECT_EQ(RobotMasterTestAccess::LookAhead(m), 3);
             EXPECT_TRUE(c.Contains("RobotMaster: line \"PathGeneration\" not found in robot ini file!"));
         }},
        {"no_velocities", [] { return Edit(BaseRobotXml(), "<Velocities ", "<Velo "); },
         [](RobotMaster& m, TestSupport::LogCapture& c) {
             EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogVelCart(m)[0], 200.0f);
             EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogVelOri(m)[2], 45.0f);
             EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogVelJoint(m), 1.0f);
             EXPECT_TRUE(c.Contains("RobotMaster: line \"Velocities\" not found in robot file! Using default jog velocities."));
         }},
        {"zero_torque_A3", [] { return Edit(BaseRobotXml(), "<ZeroTorque A2=\"true\"/>", "<ZeroTorque A3=\"True\"/>"); },
         [](RobotMaster& m, TestSupport::LogCapture& c) {
             for (int j = 0; j < RobotMaster::kNrZeroTorqueJoints; ++j) EXPECT_EQ(RobotMasterTestAccess::ZeroTorqueAllowed(m)[j], j == 2) << j;
             EXPECT_TRUE(c.Contains("RobotMaster: Zero Torque mode enabled for joints: 0 0 1 0 0 0 0 0 0"));
         }},
        {"no_zero_torque_keeps_flags", [] { return Edit(BaseRobotXml(), "<ZeroTorque A2=\"true\"/>", ""); },
         [](RobotMaster& m, TestSupport::LogCapture& c) {
             EXPECT_FALSE(RobotMasterTestAccess::ZeroTorqueAllowed(m)[1]);
             EXPECT_TRUE(c.Contains("RobotMaster: line \"ZeroTorque\" not found in robot file! Disabling Zero Torque mode."));
         }},
        {"brake_inactive", [] { return Edit(BaseRobotXml(), "Active=\"true\" DelayMS", "Active=\"false\" DelayMS"); },
         [](RobotMaster& m, TestSupport::LogCapture& c) {
             EXPECT_EQ(m.GetBrakeSettings().brakeDOutChannel, -1);
             EXPECT_EQ(m.GetBrakeSettings().brakeDelayMS, 500);
             EXPECT_TRUE(c.Contains("RobotMaster: Brake functionality NOT activated."));
         }},
        {"no_belvanto_keeps_settings", [] { return Edit(BaseRobotXml(), "<Belvanto ", "<Other "); },
         [](RobotMaster& m, TestSupport::LogCapture& c) {
             EXPECT_FALSE(RobotMasterTestAccess::DebugMode(m));
             EXPECT_EQ(m.GetDisplayPortDefault(), "/dev/ttyO1");
             EXPECT_EQ(m.GetFunctionButtonRefAll(), "refall");
             EXPECT_TRUE(c.Contains("RobotMaster: line \"Belvanto\" not found in robot ini file!"));
         }},
        {"jog_bias_not_a_number", [] { return Edit(BaseRobotXml(), "JogBias=\"12\"", "JogBias=\"lots\""); },
         [](RobotMaster&, TestSupport::LogCapture& c) {
             EXPECT_EQ(Display4DS::jogBias.load(), 30);
             EXPECT_TRUE(c.Contains("RobotMaster: Could not parse JogBias value"));
         }},
        // "nan" and "inf" parse as floats; each is refused and the value kept.
        {"jog_joint_nan", [] { return Edit(BaseRobotXml(), "JogJoint=\"2\"", "JogJoint=\"nan\""); },
         [](RobotMaster& m, TestSupport::LogCapture& c) {
             EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogVelJoint(m), 1.0f);
             EXPECT_TRUE(c.Contains("RobotMaster: attribute \"JogJoint\" in line \"Velocities\" of robot ini "
                                    "file is not a finite number, ignored"));
             EXPECT_FALSE(c.Contains("attribute \"JogJoint\" not found"));
         }},
        {"jog_cart_inf", [] { return Edit(BaseRobotXml(), "JogCart=\"150\"", "JogCart=\"-inf\""); },
         [](RobotMaster& m, TestSupport::LogCapture&) { EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogVelCart(m)[1], 200.0f); }},
        {"smooth_dist_nan", [] { return Edit(BaseRobotXml(), "SmoothDistCart=\"80\"", "SmoothDistCart=\"NAN\""); },
         [](RobotMaster& m, TestSupport::LogCapture&) { EXPECT_FLOAT_EQ(RobotMasterTestAccess::SmoothDistCart(m), 100.0f); }},
        {"jog_accel_nan",
         [] { return Edit(BaseRobotXml(), "AccelJogJointDegPerSec2=\"91\"", "AccelJogJointDegPerSec2=\"nan\""); },
         [](RobotMaster& m, TestSupport::LogCapture&) {
             EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogAccelerations(m)[0], 90.0f);
             EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogJointAccelerations(m)[0], 90.0f);
         }},
        {"joint_accel_inf", [] { return Edit(BaseRobotXml(), "AJJA1=\"7\"", "AJJA1=\"inf\""); },
         [](RobotMaster& m, TestSupport::LogCapture&) { EXPECT_FLOAT_EQ(RobotMasterTestAccess::JogJointAccelerations(m)[1], 91.0f); }},
        {"no_protocol_sets_v2", [] { return Edit(BaseRobotXml("CANopen"), "Protocol=\"CANopen\"", ""); },
         [](RobotMaster& m, TestSupport::LogCapture&) { EXPECT_EQ(RobotMasterTestAccess::ProtocolName(m), "JXRCANV2"); }, 6},
        {"cycle_time_0", [] { return Edit(BaseRobotXml("CANopen_CSP"), "CycleTimeMS=\"20\"", "CycleTimeMS=\"0\""); },
         [](RobotMaster& m, TestSupport::LogCapture&) {
             EXPECT_EQ(RobotMasterTestAccess::ProtocolName(m), "CANopen_CSP");
             EXPECT_EQ(RobotMasterTestAccess::CycleTimeMs(m).load(), 200);
         },
         7},
    };
    for (const EdgeCase& c : cases) {
        SCOPED_TRACE(c.name);
        log->set_opMode(OPMODE_NORMAL);
        log->set_pathGeneratorFlagOptimize(false);
        log->set_pathGeneratorSlicingMS(10);
        Display4DS::jogBias.store(30);
        const std::string path = WriteLoose(std::string(c.name) + ".xml", c.xml());
        TestSupport::LogCapture capture;
        RobotMaster m;
        EXPECT_EQ(m.ReadConfigFile(path), c.result);
        c.check(m, capture);
        if (c.result == 0) {
            EXPECT_EQ(log->get_opMode(), OPMODE_NORMAL);
        }
    }
    Display4DS::jogBias.store(30);
}

// ------------------------------------------------------------------ write-back

// The file without the elements the write-back owns, in canonical XML form; empty when
// xmllint cannot run.
std::string CanonicalWithout(const std::string& path, const std::string& scratch) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) return "load failed";
    tinyxml2::XMLElement* robot = doc.FirstChildElement("Robot");
    for (const char* name : {"Brake", "EStopMonitoring", "SoftwareMinMax"}) {
        if (tinyxml2::XMLElement* e = robot->FirstChildElement(name)) robot->DeleteChild(e);
    }
    doc.SaveFile(scratch.c_str());
    const std::string out = scratch + ".c14n";
    const std::string command = "xmllint --c14n '" + scratch + "' > '" + out + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) return std::string();
    return TestSupport::ReadWholeFile(out);
}

bool HaveXmllint() { return std::system("xmllint --version > /dev/null 2>&1") == 0; }

TEST_F(RobotMasterConfigTest, WriteBackChangesOnlyBrakeEStopAndSoftwareLimits) {
    if (!HaveXmllint()) GTEST_SKIP() << "xmllint is not installed";
    const std::string type = "WriteBack/Gantry";
    const std::string relative = WriteRobot(type, BaseRobotXml("JXRCANV2", "Cartesian3Axis"));
    const std::string path = FullPath(relative);
    const std::string before = CanonicalWithout(path, root + "loose-before.xml");
    ASSERT_FALSE(before.empty());

    RobotMaster m;
    m.Init("robot", type, relative);
    ASSERT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    ControlTest::SetBrakeOutput(m, -1);
    ControlTest::SetEStopInput(m, 12);
    float limits[9][2] = {{-10, 450}, {-20, 460}, {-30, 270}};
    for (int j = 3; j < 9; ++j) {
        limits[j][0] = -1000;
        limits[j][1] = 1000;
    }
    m.GetKinematic()->SetMinMaxValues(limits);
    TestSupport::LogCapture capture;
    m.QueueUpdateRobotFile();
    EXPECT_TRUE(capture.Contains("RobotMaster: robot configuration file " + path + " updated"));

    EXPECT_EQ(CanonicalWithout(path, root + "loose-after.xml"), before);
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.LoadFile(path.c_str()), tinyxml2::XML_SUCCESS);
    const tinyxml2::XMLElement* robot = doc.FirstChildElement("Robot");
    const tinyxml2::XMLElement* brake = robot->FirstChildElement("Brake");
    ASSERT_NE(brake, nullptr);
    EXPECT_STREQ(brake->Attribute("Active"), "False");
    EXPECT_EQ(brake->IntAttribute("DOutChannel"), -1);
    EXPECT_EQ(brake->IntAttribute("DelayMS"), 300);
    EXPECT_EQ(robot->FirstChildElement("EStopMonitoring")->IntAttribute("DInChannel"), 12);
    const tinyxml2::XMLElement* minMax = robot->FirstChildElement("SoftwareMinMax");
    EXPECT_FLOAT_EQ(minMax->FloatAttribute("A2Min"), -20.0f);
    EXPECT_FLOAT_EQ(minMax->FloatAttribute("A3Max"), 270.0f);
    EXPECT_EQ(minMax->Attribute("A4Min"), nullptr);  // three joints only
}

TEST_F(RobotMasterConfigTest, WriteBackAppendsMissingElementsEStopAfterBrake) {
    std::string xml = BaseRobotXml();
    xml = Edit(xml, "<Brake Active=\"true\" DelayMS=\"300\" DOutChannel=\"5\"/>", "");
    xml = Edit(xml, "<EStopMonitoring DInChannel=\"7\"/>", "");
    const std::string type = "WriteBackAppend";
    const std::string relative = WriteRobot(type, xml);
    RobotMaster m;
    m.Init("robot", type, relative);
    ControlTest::SetBrakeOutput(m, 4);
    m.UpdateConfigurationFile();

    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.LoadFile(FullPath(relative).c_str()), tinyxml2::XML_SUCCESS);
    const tinyxml2::XMLElement* brake = doc.FirstChildElement("Robot")->FirstChildElement("Brake");
    ASSERT_NE(brake, nullptr);
    EXPECT_STREQ(brake->Attribute("Active"), "True");
    EXPECT_EQ(brake->IntAttribute("DOutChannel"), 4);
    EXPECT_EQ(brake->IntAttribute("DelayMS"), 500);
    const tinyxml2::XMLElement* next = brake->NextSiblingElement();
    ASSERT_NE(next, nullptr);
    EXPECT_STREQ(next->Name(), "EStopMonitoring");
    EXPECT_EQ(next->IntAttribute("DInChannel"), -1);
    EXPECT_NE(doc.FirstChildElement("Robot")->FirstChildElement("Referencing"), nullptr);
}

TEST_F(RobotMasterConfigTest, WriteBackOfABrokenFileLogsAndLeavesItAlone) {
    const std::string type = "WriteBackBroken";
    const std::string relative = WriteRobot(type, BaseRobotXml());
    RobotMaster m;
    m.Init("robot", type, relative);
    ControlTest::WriteText(FullPath(relative), "<Robot><Broken");
    TestSupport::LogCapture capture;
    m.UpdateConfigurationFile();
    EXPECT_TRUE(capture.Contains("RobotMaster: Updating robot configuration: Could not parse configuration file "
                                 "correctly: " + FullPath(relative)));
    EXPECT_EQ(TestSupport::ReadWholeFile(FullPath(relative)), "<Robot><Broken");
}

TEST_F(RobotMasterConfigTest, KillDuringWritesNeverLeavesABrokenFile) {
    const std::string type = "KillDuringWrite";
    const std::string relative = WriteRobot(type, BaseRobotXml());
    const std::string path = FullPath(relative);
    RobotMaster m;
    m.Init("robot", type, relative);
    ASSERT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);

    // Several children each start 500 write-backs; each is killed at a different moment.
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0; i < 500; ++i) {
                ControlTest::SetBrakeOutput(m, i % 64);
                m.UpdateConfigurationFile();
            }
            _exit(0);
        }
        usleep(static_cast<useconds_t>(2000 + round * 3000));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << "the child finished before the kill";

        ASSERT_TRUE(std::filesystem::exists(path));
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(doc.LoadFile(path.c_str()), tinyxml2::XML_SUCCESS) << TestSupport::ReadWholeFile(path);
        const tinyxml2::XMLElement* robot = doc.FirstChildElement("Robot");
        ASSERT_NE(robot, nullptr);
        EXPECT_NE(robot->FirstChildElement("BusConfiguration"), nullptr);
        EXPECT_NE(robot->FirstChildElement("Brake"), nullptr);
    }
}

TEST_F(RobotMasterConfigTest, DelayedWriteFollowsTheFirstAndLastRequestTimes) {
    const std::string type = "Delayed";
    const std::string relative = WriteRobot(type, BaseRobotXml());
    RobotMaster m;
    m.Init("robot", type, relative);
    TestSupport::LogCapture capture;
    const std::string updated = "robot configuration file " + FullPath(relative) + " updated";

    m.UpdateConfiguration(1000);  // nothing pending
    EXPECT_FALSE(capture.Contains(updated));

    struct Step {
        std::int64_t first, last, now;
        bool writes;
    };
    const Step steps[] = {
        {1000, 1000, 1003, false},  // 3 s after the last: not yet
        {1000, 1000, 1004, true},   // more than 3 s after the last
        {1000, 1013, 1015, false},  // 15 s after the first, 2 s after the last
        {1000, 1014, 1016, true},   // more than 15 s after the first
    };
    for (const Step& s : steps) {
        RobotMasterTestAccess::RobotFileFirstRequest(m) = s.first;
        RobotMasterTestAccess::RobotFileLastRequest(m) = s.last;
        const int before = capture.Count(updated);
        m.UpdateConfiguration(s.now);
        EXPECT_EQ(capture.Count(updated) - before, s.writes ? 1 : 0) << s.now;
        EXPECT_EQ(RobotMasterTestAccess::RobotFileFirstRequest(m), s.writes ? 0 : s.first);
    }
}

// A full disk during a limits change: the change stays pending, the client hears of it,
// the main loop's check writes it once writing works again, and a restart reads it back.
TEST_F(RobotMasterConfigTest, AFailedWriteStaysPendingAndLandsOnceWritingWorksAgain) {
    TestSupport::WriteFault fault;
    const std::string type = "FailedWrite";
    const std::string relative = WriteRobot(type, BaseRobotXml());
    const std::string path = FullPath(relative);
    const std::string before = TestSupport::ReadWholeFile(path);
    RobotMaster m;
    m.Init("robot", type, relative);
    TestSupport::ServerMessageCapture messages;
    TestSupport::LogCapture capture;
    const std::string failedLine = "could not write " + path + ": No space left on device; trying again";
    const std::string notSaved = "Robot file " + path + " could not be saved (No space left on device), trying again";

    fault.Fail(true);
    float limits[9][2] = {{-100, 100}, {-20, 460}, {-30, 270}};
    m.GetKinematic()->SetMinMaxValues(limits);
    m.QueueUpdateRobotFile();
    EXPECT_EQ(TestSupport::ReadWholeFile(path), before);
    EXPECT_EQ(capture.Count(failedLine), 1);
    EXPECT_EQ(messages.Texts(), std::vector<std::string>{notSaved});
    EXPECT_NE(RobotMasterTestAccess::RobotFileFirstRequest(m), 0) << "kept pending";

    // Another client change while the disk is full: that client hears too; the log does not repeat.
    m.QueueUpdateRobotFile();
    EXPECT_EQ(messages.Texts().size(), 2u);
    // The main loop's retries stay quiet while they fail, and so does the exit's attempt
    // apart from its own line.
    const std::int64_t now = static_cast<std::int64_t>(time(nullptr));
    m.UpdateConfiguration(now + 10);
    EXPECT_FALSE(m.WritePendingRobotFile());
    EXPECT_TRUE(capture.Contains("RobotMaster: pending change of robot configuration file " + path + " not saved"));
    EXPECT_EQ(capture.Count(failedLine), 1);
    EXPECT_EQ(messages.Texts().size(), 2u);
    EXPECT_EQ(TestSupport::ReadWholeFile(path), before);

    fault.Fail(false);
    m.UpdateConfiguration(now + 20);
    EXPECT_EQ(RobotMasterTestAccess::RobotFileFirstRequest(m), 0);
    EXPECT_EQ(capture.Count("RobotMaster: robot configuration file " + path + " saved after failed writes"), 1);
    ASSERT_EQ(messages.Texts().size(), 3u);
    EXPECT_EQ(messages.Texts()[2], "Robot file " + path + " saved after failed writes");

    RobotMaster again;
    again.Init("robot", type, relative);
    float read[9][2] = {};
    again.GetKinematic()->GetMinMaxValues(read);
    EXPECT_FLOAT_EQ(read[0][0], -100.0f);
    EXPECT_FLOAT_EQ(read[0][1], 100.0f);
    EXPECT_FLOAT_EQ(read[2][1], 270.0f);
    EXPECT_FALSE(capture.Contains("not implemented")) << "every kinematic's limits are written";
}

}  // namespace
