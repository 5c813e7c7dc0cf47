#include "project_support.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace ControlTest {
namespace {

struct BrokenCase {
    const char* label;
    const char* frontend;  // null: no front-end file
    const char* fixture;   // copied to Data/Projects/p.prj when set
    int result;
    const char* reason;
    int opMode;
    const char* line;
};

const char* kNamesP = "<JXRModule><StartUp Project=\"Data/Projects/p.prj\"/></JXRModule>";

const BrokenCase kBroken[] = {
    {"no front-end", nullptr, nullptr, 1, "1 JXRFrontend.xml missing", 1, "not available! Aborting read()"},
    {"front-end not xml", "<JXRModule><StartUp", nullptr, 2, "2 JXRFrontend.xml not valid", 1,
     "Could not read file JXRFrontend.xml correctly! Aborting! "},
    {"no StartUp", "<JXRModule><Logging FileCount=\"5\"/></JXRModule>", nullptr, 3, "3 Project not named", 1,
     "missing tag \"Project\" in line \"StartUp\"?."},
    {"StartUp without Project", "<JXRModule><StartUp/></JXRModule>", nullptr, 3, "3 Project not named", 1,
     "did not contain the project information"},
    {"no JXRModule", "<Other><StartUp Project=\"x.prj\"/></Other>", nullptr, 3, "3 Project not named", 1,
     "did not contain the project information"},
    {"empty project name", "<JXRModule><StartUp Project=\"\"/></JXRModule>", nullptr, 1, "4 project file not found",
     1, "Project: empty project file name"},
    {"project missing", kNamesP, nullptr, 1, "4 project file not found", 1, "Project: Could not find project file "},
    {"project name climbs out", "<JXRModule><StartUp Project=\"Data/../../p.prj\"/></JXRModule>", "complete.prj", 1,
     "4 project file not found", 1, "Project: Could not find project file "},
    {"project not xml", kNamesP, "not_xml.prj", 2, "5 .prj not valid", 1,
     "Project: Could not parse xml project file correctly: "},
    {"no ProjectFile", kNamesP, "no_root.prj", 3, "6 .prj file not complete", 1,
     "Project: Line \"ProjectFile\" not found in project file!"},
    {"no Robot", kNamesP, "no_robot.prj", 4, "7 .prj file not complete", 1,
     "Project: Line \"Robot\" not found in project file!"},
    {"no robot Name", kNamesP, "no_robot_name.prj", 5, "8 .prj file not complete", 1,
     "Project: Attribute \"Name\" not found in line Robot of project file!"},
    {"no robot Type", kNamesP, "no_robot_type.prj", 6, "9 .prj file not complete", 1,
     "Project: Attribute \"Type\" not found in line Robot of project file!"},
    {"robot Type climbs out", kNamesP, "unsafe_robot_type.prj", 6, "9 .prj file not complete", 1,
     "Project: Attribute \"Type\" not found in line Robot of project file!"},
    {"external axis without Type", kNamesP, "axis_without_type.prj", 6, "10 .prj file not complete", 1,
     "Project: Attribute \"Type\" not found in line \"ExternalAxis\" of project file!"},
    {"complete, leading backslash", "<JXRModule><StartUp Project=\"\\Data\\Projects\\p.prj\"/></JXRModule>",
     "complete.prj", 0, "na", 0, "Project: 2 PLC triggers loaded:"},
};


TEST_F(ProjectTest, BrokenFilesGiveResultReasonAndMode) {
    for (const BrokenCase& c : kBroken) {
        SCOPED_TRACE(c.label);
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("na");
        std::error_code ec;
        std::filesystem::remove(root + "JXRFrontend.xml", ec);
        std::filesystem::remove_all(root + "Data/Projects", ec);
        if (c.frontend != nullptr) WriteFrontend(c.frontend);
        if (c.fixture != nullptr) WriteProject("p.prj", ProjectFixture(c.fixture));
        // A project outside the data root, which a climbing name would reach.
        WriteText(root + "../p.prj", ProjectFixture("complete.prj"));

        RobotMaster master;
        ProjectManager pm;
        TestSupport::LogCapture capture;
        const int result = pm.OpenProject(&master);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_EQ(static_cast<int>(LogSingleton::instance()->get_opMode()), c.opMode);
        EXPECT_TRUE(capture.Contains(c.line)) << capture.Joined();
        pm.ApplyOpenFailure(result);  // keeps the reader's reason
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        std::filesystem::remove(root + "../p.prj", ec);
    }
}

// The front-end reader turns exceptions into results 4 and 5 without a reason; the
// program entry then needs mode 1 and the front-end reason.
class ThrowingLimits : public ProjectManager {
public:
    explicit ThrowingLimits(bool standard) : standard(standard) {}

protected:
    void ApplyLogLimits(int, int) override {
        if (standard) throw std::runtime_error("limits refused");
        throw 7;
    }

private:
    bool standard;
};

TEST_F(ProjectTest, FrontendExceptionsGiveFourAndFive) {
    WriteFrontend("<JXRModule><StartUp Project=\"Data/Projects/p.prj\"/><Logging FileCount=\"3\"/></JXRModule>");
    WriteProject("p.prj", ProjectFixture("complete.prj"));
    for (bool standard : {true, false}) {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("na");
        RobotMaster master;
        ThrowingLimits pm(standard);
        TestSupport::LogCapture capture;
        const int result = pm.OpenProject(&master);
        EXPECT_EQ(result, standard ? 4 : 5);
        EXPECT_TRUE(capture.Contains(standard ? "JXRFrontend.xml: limits refused!" : "JXRFrontend.xml!"));
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "na");
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
        pm.ApplyOpenFailure(result);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "2 JXRFrontend.xml not valid");
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
    }
}

TEST_F(ProjectTest, FrontendLoggingSetsLimits) {
    WriteFrontend("<JXRModule><Logging FileCount=\"1\" EntryCount=\"10\"/>"
                  "<StartUp Project=\"a.prj\"/><StartUp Project=\"b.prj\"/></JXRModule>");
    LogSingleton* log = LogSingleton::instance();
    const int files = log->GetLogFileCount();
    const unsigned entries = log->GetMaxEntries();
    ProjectManager pm;
    std::string name;
    EXPECT_EQ(pm.ReadFrontend(name), 0);
    EXPECT_EQ(name, "b.prj");  // the later StartUp wins
    EXPECT_EQ(log->GetLogFileCount(), 2);
    EXPECT_EQ(log->GetMaxEntries(), 250u);
    log->SetLogFileCount(static_cast<unsigned>(files));
    log->SetMaxEntries(entries);
}

TEST_F(ProjectTest, CompleteProjectHandsEverySettingOver) {
    WriteFrontendFor("Data/Projects/p.prj");
    const std::string path = WriteProject("p.prj", ProjectFixture("complete.prj"));
    RobotMaster master;
    ProjectManager pm;
    TestSupport::LogCapture capture;
    ASSERT_EQ(pm.OpenProject(&master), 0) << capture.Joined();
    EXPECT_EQ(pm.GetProjectFilePath(), path);
    EXPECT_EQ(pm.GetStartProgram(), "Programs/start.xml");
    EXPECT_EQ(pm.GetLogicProgram(), "logic.xml");
    EXPECT_FLOAT_EQ(pm.GetOverride(), 100.0f);
    EXPECT_TRUE(pm.GetRepeat());
    EXPECT_TRUE(pm.modbusEnabled.load());
    EXPECT_FALSE(master.GetMainInterpreter().GetStopOnError());  // no DefaultState
    EXPECT_EQ(master.GetVelocitySetting(), 2);
    EXPECT_TRUE(capture.Contains("Configured for 48V open loop (VelocitySetting 2)"));
    EXPECT_EQ(LogSingleton::instance()->get_robotType(), "ProjTest/Gantry");

    // Homepos with four numbers: a1..a4, the rest 0.
    const double home[9] = {1, 2, 3, 4, 0, 0, 0, 0, 0};
    for (int j = 0; j < 9; ++j) EXPECT_DOUBLE_EQ(RobotMasterTestAccess::HomePosition(master)[j], home[j]) << j;

    RobotKinematic* kin = master.GetKinematic();
    ASSERT_NE(kin, nullptr);
    EXPECT_TRUE(kin->virtualBoxActive);
    EXPECT_FLOAT_EQ(kin->virtualBoxMin.y, -200.0f);
    EXPECT_FLOAT_EQ(kin->virtualBoxMax.z, 300.0f);

    ASSERT_TRUE(master.HasExternalAxis(1));
    EXPECT_EQ(master.GetExternalAxis(1).Type, "Linear/Track");
    EXPECT_EQ(master.GetExternalAxis(1).MotionMode, ExternalAxis::Velocity);

    EXPECT_EQ(master.GetDOutTargetStateOnReset(3), DOutTrue);
    EXPECT_EQ(master.GetDOutTargetStateOnError(3), DOutFalse);
    EXPECT_TRUE(capture.Contains("Project: DOut Number \"70\" is not an output 0..63, skipped"));
    EXPECT_TRUE(capture.Contains("Project: DOut Number \"4x\" is not an output 0..63, skipped"));
    EXPECT_EQ(master.GetDOutTargetStateOnReset(4), DOutNoChange);

    const PLCInterfaceNumbers plc = LogSingleton::instance()->get_plcInterfaceNr();
    EXPECT_TRUE(plc.Active);
    EXPECT_EQ(plc.EnableNumber, 1);
    EXPECT_EQ(plc.ShutdownNumber, -1);
    EXPECT_EQ(plc.FaultNumber, 11);
    EXPECT_EQ(plc.ProgramRunningNumber, -1);  // not an int
    EXPECT_EQ(plc.JointToRef[0], 2);
    EXPECT_EQ(plc.JointToRef[2], -1);
    EXPECT_EQ(plc.RefDelay[0], 7);
    EXPECT_EQ(plc.RefDelay[8], 5);
    EXPECT_TRUE(capture.Contains("PLC-Interface: RefSequence: 2 0 -1 -1 -1 -1 -1 -1 -1"));

    const auto triggers = master.GetPLCTriggers();
    ASSERT_EQ(triggers.size(), 2u);
    EXPECT_TRUE(triggers[0].IsActive());
    EXPECT_EQ(triggers[0].GetTargetFileRelative(), "Programs/pick.xml");  // cut only after "/Programs/"
    EXPECT_FALSE(triggers[1].IsActive());  // both DIn and GSig: added, inactive
    EXPECT_TRUE(capture.Contains("Error in Project: PLCTrigger defines both DIn and GSig! Disabling trigger."));

    EXPECT_TRUE(LogSingleton::instance()->operationModesActive);
    EXPECT_EQ(LogSingleton::instance()->dInOpModeAuto, 9);
    EXPECT_TRUE(capture.Contains(
        "RobotMaster: attribute \"DInEnableMotionInManualMode\" not found in line \"OperationModes\" of robot ini file!"));
    EXPECT_TRUE(capture.Contains("Project: ModbusServer enabled"));
    EXPECT_TRUE(capture.Contains("Project: Cloud connection: enabled='true', clientID='client-1', robotName='r1', "
                                 "robotOwner='owner', cam environment='env', cam workarea=''"));
    LogSingleton::instance()->operationModesActive = false;
    LogSingleton::instance()->dInOpModeAuto = -1;
    LogSingleton::instance()->manualMaxVelMMPerSec = 250.0f;
}

TEST_F(ProjectTest, MinimalProjectKeepsDefaultsAndResetsPLCRecord) {
    // A stale record from before must not survive: without "PLCInterfaceRefSequence" a
    // reference-all references nothing.
    PLCInterfaceNumbers stale;
    stale.Active = true;
    RobotMaster master;
    master.SetPLCInterfaceSettings(stale);
    WriteFrontendFor("Data/Projects/p.prj");
    WriteProject("p.prj", ProjectFixture("minimal.prj"));
    ProjectLinks::StoredCloudSettings cloud;
    cloud.SetClientId("before");
    ProjectManager pm(&cloud);
    TestSupport::LogCapture capture;
    ASSERT_EQ(pm.OpenProject(&master), 0);
    const PLCInterfaceNumbers plc = LogSingleton::instance()->get_plcInterfaceNr();
    EXPECT_FALSE(plc.Active);
    EXPECT_EQ(plc.EnableNumber, 1);
    EXPECT_EQ(plc.FaultNumber, 2);
    EXPECT_EQ(plc.RequestReferenceNumber, -1);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(plc.JointToRef[i], -1);
        EXPECT_EQ(plc.RefDelay[i], 5);
    }
    EXPECT_TRUE(capture.Contains(
        "Project: Line \"PLCInterfaceRefSequence\" not found in project file! PLCInterface is not active!"));
    EXPECT_FLOAT_EQ(pm.GetOverride(), 40.0f);
    EXPECT_TRUE(capture.Contains("Project: Attribute \"Override\" not found in line Program of project file!"));
    EXPECT_FALSE(pm.modbusEnabled.load());
    EXPECT_TRUE(capture.Contains("Project: Line \"ModbusServer\" not found in project file! ModbusServer not active!"));
    EXPECT_TRUE(capture.Contains("Project: Line \"Cloud\" is incomplete! Cloud connection is not enabled!"));
    EXPECT_EQ(cloud.GetClientId(), "before");
    EXPECT_FALSE(cloud.IsEnabled());
}

TEST_F(ProjectTest, AttributeEdgeCases) {
    struct Case {
        const char* from;
        const char* to;
        float override;
        double home[2];
        bool homeValid;
    };
    const Case cases[] = {
        {"Override=\"150\"", "Override=\"-5\"", 0.0f, {1, 2}, true},
        {"Override=\"150\"", "Override=\"-1\"", 40.0f, {1, 2}, true},
        {"Override=\"150\"", "Override=\"abc\"", 40.0f, {1, 2}, true},
        {"Homepos=\"1 2 3 4\"", "Homepos=\"1 nan\"", 100.0f, {0, 0}, false},
        {"Homepos=\"1 2 3 4\"", "Homepos=\"1 2x\"", 100.0f, {0, 0}, false},
        {"Homepos=\"1 2 3 4\"", "Homepos=\"1e999\"", 100.0f, {0, 0}, false},
        {"Homepos=\"1 2 3 4\"", "Homepos=\"1 2 3 4 5 6 7 8 9 10\"", 100.0f, {0, 0}, false},
        {"Homepos=\"1 2 3 4\"", "Homepos=\" 1.5  -2 \"", 100.0f, {1.5, -2}, true},
    };
    WriteFrontendFor("Data/Projects/p.prj");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to);
        WriteProject("p.prj", Edit(ProjectFixture("complete.prj"), c.from, c.to));
        RobotMaster master;
        ProjectManager pm;
        TestSupport::LogCapture capture;
        ASSERT_EQ(pm.OpenProject(&master), 0);
        EXPECT_FLOAT_EQ(pm.GetOverride(), c.override);
        EXPECT_DOUBLE_EQ(RobotMasterTestAccess::HomePosition(master)[0], c.home[0]);
        EXPECT_DOUBLE_EQ(RobotMasterTestAccess::HomePosition(master)[1], c.home[1]);
        EXPECT_EQ(capture.Contains("Project: Attribute \"Homepos\" is not valid"), !c.homeValid);
    }
    LogSingleton::instance()->operationModesActive = false;
    LogSingleton::instance()->dInOpModeAuto = -1;
    LogSingleton::instance()->manualMaxVelMMPerSec = 250.0f;
}

// A NaN box corner switches the box check off and a NaN axis limit the axis's limit check:
// a value that is no finite number makes the project not valid.
TEST_F(ProjectTest, NonFiniteBoxCornersAndAxisValuesMakeTheProjectNotValid) {
    struct Case {
        const char* from;
        const char* to;
        const char* line;
    };
    const Case cases[] = {
        {"xMin=\"-100\"", "xMin=\"nan\"", "attribute \"xMin\" in line \"VirtualBox\" of project file is not a finite "
                                          "number: \"nan\""},
        {"zMax=\"300\"", "zMax=\"\"", "attribute \"zMax\" in line \"VirtualBox\" of project file is not a finite "
                                      "number: \"\""},
        {"Min=\"-50\"", "Min=\"1e309\"", "attribute \"Min\" in line \"ExternalAxis\" of project file is not a finite "
                                         "number: \"1e309\""},
        {"Max=\"900\"", "Max=\"-inf\"", "attribute \"Max\" in line \"ExternalAxis\" of project file is not a finite "
                                        "number: \"-inf\""},
        {"MotionMode=\"Velocity\"", "MotionMode=\"Velocity\" VelMax=\"nan\"",
         "attribute \"VelMax\" in line \"ExternalAxis\" of project file is not a finite number: \"nan\""},
    };
    WriteFrontendFor("Data/Projects/p.prj");
    LogSingleton* log = LogSingleton::instance();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to);
        log->set_opMode(OPMODE_NORMAL);
        log->set_seriousFailReason("");
        WriteProject("p.prj", Edit(ProjectFixture("complete.prj"), c.from, c.to));
        RobotMaster master;
        ProjectManager pm;
        TestSupport::LogCapture capture;
        pm.OpenProject(&master);
        EXPECT_EQ(log->get_opMode(), OPMODE_SERIOUS_FAILURE);
        EXPECT_EQ(log->get_seriousFailReason(), "5 .prj not valid");
        EXPECT_TRUE(capture.Contains(std::string("Project: ") + c.line)) << capture.Joined();
        const RobotKinematic* kin = master.GetKinematic();
        ASSERT_NE(kin, nullptr);
        for (float v : {kin->virtualBoxMin.x, kin->virtualBoxMin.z, kin->virtualBoxMax.x, kin->virtualBoxMax.z}) {
            EXPECT_TRUE(std::isfinite(v));
        }
        ASSERT_TRUE(master.HasExternalAxis(1));
        const ExternalAxis& axis = master.GetExternalAxis(1);
        EXPECT_TRUE(std::isfinite(axis.Min) && std::isfinite(axis.Max) && std::isfinite(axis.VelMax));
    }
    log->set_opMode(OPMODE_NORMAL);
    log->set_seriousFailReason("");
    log->operationModesActive = false;
    log->dInOpModeAuto = -1;
    log->manualMaxVelMMPerSec = 250.0f;
}

// Where a missing value has its own line, a value that is no finite number takes it.
TEST_F(ProjectTest, NonFiniteOverrideAndManualSpeedCountAsMissing) {
    WriteFrontendFor("Data/Projects/p.prj");
    std::string text = Edit(ProjectFixture("complete.prj"), "Override=\"150\"", "Override=\"inf\"");
    text = Edit(text, "ManualMaxVelMMPerSec=\"120\"", "ManualMaxVelMMPerSec=\"nan\"");
    WriteProject("p.prj", text);
    LogSingleton* log = LogSingleton::instance();
    log->set_opMode(OPMODE_NORMAL);
    log->manualMaxVelMMPerSec = 250.0f;
    RobotMaster master;
    ProjectManager pm;
    TestSupport::LogCapture capture;
    ASSERT_EQ(pm.OpenProject(&master), 0);
    EXPECT_EQ(log->get_opMode(), OPMODE_NORMAL);
    EXPECT_FLOAT_EQ(pm.GetOverride(), 40.0f);
    EXPECT_TRUE(capture.Contains("Project: Attribute \"Override\" not found in line Program of project file!"));
    EXPECT_FLOAT_EQ(log->manualMaxVelMMPerSec, 250.0f);
    EXPECT_TRUE(capture.Contains(
        "RobotMaster: attribute \"ManualMaxVelMMPerSec\" not found in line \"OperationModes\" of robot ini file!"));
    log->operationModesActive = false;
    log->dInOpModeAuto = -1;
}

TEST_F(ProjectTest, AxisWithoutTypeStopsAfterEarlierAxes) {
    WriteFrontendFor("Data/Projects/p.prj");
    WriteProject("p.prj", ProjectFixture("axis_without_type.prj"));
    RobotMaster master;
    ProjectManager pm;
    TestSupport::LogCapture capture;
    EXPECT_EQ(pm.OpenProject(&master), 6);
    EXPECT_TRUE(master.HasExternalAxis(0));
    EXPECT_FALSE(capture.Contains("DIOModule"));
    EXPECT_FALSE(capture.Contains("PLC-Interface:"));
    EXPECT_FALSE(LogSingleton::instance()->get_plcInterfaceNr().Active);
}

TEST(ProjectXmlErrorTest, TranslatesCodes) {
    std::string text = "x";
    EXPECT_TRUE(ProjectManager::TranslateXmlError(tinyxml2::XML_SUCCESS, text));
    EXPECT_EQ(text, "");
    EXPECT_FALSE(ProjectManager::TranslateXmlError(tinyxml2::XML_ERROR_FILE_NOT_FOUND, text));
    EXPECT_EQ(text, "file not found");
    EXPECT_FALSE(ProjectManager::TranslateXmlError(static_cast<tinyxml2::XMLError>(19), text));
    EXPECT_EQ(text, "no text node");
    EXPECT_FALSE(ProjectManager::TranslateXmlError(static_cast<tinyxml2::XMLError>(20), text));
    EXPECT_EQ(text, "unknown error");
}

}  // namespace
}  // namespace ControlTest
