// Reading the robot file and setting up modules in the protocol of versions 2 and 3.

#include "hardware/HardwareProtocolJXRCANV2.h"

#include "core/LogSingleton.h"
#include "hardware/HardwareProtocolCANopen.h"
#include "kinematics/ExternalAxis.h"
#include "protocol_test_bus.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using Hardware::HardwareProtocolJXRCANV2;
using ModuleRole = Hardware::HardwareProtocol::ModuleRole;
using ProtocolTest::ScopedOperationMode;

namespace {

const char kTwoJoints[] =
    "<?xml version=\"1.0\"?>\n"
    "<Robot>\n"
    "  <BusConfiguration GapMS=\"1.5\" CanDumpSize=\"4\">\n"
    "    <Joints NrOfJoints=\"2\"/>\n"
    "    <Joint0 ID=\"16\" GearScale=\"190\" GearZero=\"7\" GearPlay=\"0.5\" GearPlayInc=\"0.01\" "
    "TempScale=\"0.5\" TempZero=\"-10\" CurrentScale=\"2\" CurrentZero=\"3\"/>\n"
    "    <Joint1 ID=\"32\" GearScale=\"-95.5\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\" "
    "CurrentScale=\"1\" CurrentZero=\"0\"/>\n"
    "  </BusConfiguration>\n"
    "  <Referencing Mandatory=\"false\"/>\n"
    "</Robot>\n";

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

class V2Config : public ::testing::Test {
protected:
    std::string Write(const std::string& content) { return root.WriteFile("Data/Robots/robot.xml", content); }

    ScopedOperationMode mode;
    TestSupport::TempDataRoot root;
};

TEST_F(V2Config, ReadsBusJointsAndReferencing) {
    HardwareProtocolJXRCANV2 p(nullptr);
    p.SetVersion(3);
    TestSupport::LogCapture capture;
    p.Init("Robot", "JXRPivra4", Write(kTwoJoints));

    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    EXPECT_EQ(p.GetRobotJointCount(), 2);
    EXPECT_EQ(p.GetModuleTotal(), 2);
    EXPECT_FLOAT_EQ(p.GetGap(), 1.5f);
    EXPECT_EQ(p.GetCANInterface().GetCanDumpSize(), 4u);
    EXPECT_FALSE(p.IsReferencingMandatory());
    EXPECT_TRUE(p.IsReferenced());
    EXPECT_EQ(p.GetCANInterface().protocolCallback.load(), &Hardware::ReceiveCallback2);
    EXPECT_EQ(p.GetName(), "Robot");
    EXPECT_EQ(p.GetRobotType(), "JXRPivra4");

    const Hardware::jointData& j0 = p.GetJointData(0);
    EXPECT_EQ(j0.canId, 16);
    EXPECT_FLOAT_EQ(j0.GearScale, 190.0f);
    EXPECT_FLOAT_EQ(j0.GearZero, 7.0f);
    EXPECT_FLOAT_EQ(j0.GearPlay, 0.5f);
    EXPECT_FLOAT_EQ(j0.GearPlayInc, 0.01f);
    EXPECT_FLOAT_EQ(j0.TempScale, 0.5f);
    EXPECT_FLOAT_EQ(j0.TempZero, -10.0f);
    EXPECT_FLOAT_EQ(j0.CurrentScale, 2.0f);
    EXPECT_FLOAT_EQ(j0.CurrentZero, 3.0f);
    EXPECT_EQ(j0.jointMode.load(), Hardware::JointModePosition);
    EXPECT_EQ(j0.errorCode.load(), 0x100);
    const Hardware::jointData& j1 = p.GetJointData(1);
    EXPECT_EQ(j1.canId, 32);
    EXPECT_FLOAT_EQ(j1.GearScale, -95.5f);
    // Temperature scale and zero default for a joint that names none.
    EXPECT_FLOAT_EQ(j1.TempScale, 0.3125f);
    EXPECT_FLOAT_EQ(j1.TempZero, -25.6f);

    EXPECT_TRUE(capture.Contains("Reading robot config file for HardwareProtocol JXRCAN-V3..."));
    EXPECT_TRUE(capture.Contains("ProtocolJXRCANV2: GapMS: 1.5"));
    EXPECT_TRUE(capture.Contains("Protocol JXRCANV2: 2 joints:"));
    EXPECT_TRUE(capture.Contains(
        "   Joint 0: CAN ID 16 - GearScale 190.000 - GearZero 7.000 - GearPlay 0.500 - GearPlayInc 0.010 - "
        "TempScale 0.500 - TempZero -10.000"));
    EXPECT_TRUE(capture.Contains("Protocol JXRCANV2: Referencing mandatory: false"));
}

TEST_F(V2Config, VersionTwoNamesItselfInTheFirstLine) {
    HardwareProtocolJXRCANV2 p(nullptr);
    p.SetVersion(2);
    TestSupport::LogCapture capture;
    p.ReadConfigFile(Write(kTwoJoints));
    EXPECT_TRUE(capture.Contains("Reading robot config file for HardwareProtocol JXRCAN-V2..."));
}

TEST_F(V2Config, OptionalAttributesTakeTheirDefaultsWithALogLine) {
    std::string text = kTwoJoints;
    text = ReplaceAll(text, " GearPlay=\"0.5\" GearPlayInc=\"0.01\"", "");
    text = ReplaceAll(text, " CurrentScale=\"2\" CurrentZero=\"3\"", "");
    text = ReplaceAll(text, " CanDumpSize=\"4\"", "");
    text = ReplaceAll(text, "<Referencing Mandatory=\"false\"/>", "<Referencing/>");
    HardwareProtocolJXRCANV2 p(nullptr);
    TestSupport::LogCapture capture;
    EXPECT_TRUE(p.ReadConfigFile(Write(text)));
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    const Hardware::jointData& j0 = p.GetJointData(0);
    EXPECT_EQ(j0.GearPlay, 0.0f);
    EXPECT_EQ(j0.GearPlayInc, 0.0f);
    EXPECT_EQ(j0.CurrentScale, 0.0f);
    EXPECT_EQ(j0.CurrentZero, 0.0f);
    EXPECT_EQ(p.GetCANInterface().GetCanDumpSize(), 0u);
    EXPECT_TRUE(p.IsReferencingMandatory());
    EXPECT_EQ(capture.Count("ProtocolJXRCAN: joint GearPlay not found!"), 1);
    EXPECT_EQ(capture.Count("ProtocolJXRCAN: joint GearPlayInc not found!"), 1);
    EXPECT_EQ(capture.Count("ProtocolJXRCANV2: joint CurrentScale not found!"), 1);
    EXPECT_EQ(capture.Count("ProtocolJXRCANV2: joint CurrentZero not found!"), 1);
    EXPECT_TRUE(capture.Contains("Protocol JXRCANV2: Referencing mandatory: true"));
}

// The referencing time limit: "Referencing" TimeoutS in seconds; without it the default,
// a value that is no time keeps the default with a line. The CANopen reader takes it too.
TEST_F(V2Config, ReferencingTimeLimitComesFromTheRobotFile) {
    struct Case {
        const char* attribute;
        int ms;
        const char* line;
    };
    const Case cases[] = {
        {"", Hardware::HardwareProtocol::kDefaultReferencingTimeoutMs, nullptr},
        {" TimeoutS=\"2.5\"", 2500, "Protocol JXRCANV2: referencing time limit: 2.5 s"},
        {" TimeoutS=\"0\"", Hardware::HardwareProtocol::kDefaultReferencingTimeoutMs,
         "Protocol JXRCANV2: attribute TimeoutS of line Referencing is not a time in seconds, using 60 s"},
        {" TimeoutS=\"soon\"", Hardware::HardwareProtocol::kDefaultReferencingTimeoutMs,
         "Protocol JXRCANV2: attribute TimeoutS of line Referencing is not a time in seconds, using 60 s"},
        {" TimeoutS=\"inf\"", Hardware::HardwareProtocol::kDefaultReferencingTimeoutMs,
         "Protocol JXRCANV2: attribute TimeoutS of line Referencing is not a time in seconds, using 60 s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attribute);
        HardwareProtocolJXRCANV2 p(nullptr);
        p.SetVersion(2);
        TestSupport::LogCapture capture;
        p.Init("Robot", "JXRPivra4",
               Write(ReplaceAll(kTwoJoints, "<Referencing Mandatory=\"false\"/>",
                                std::string("<Referencing Mandatory=\"false\"") + c.attribute + "/>")));
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
        EXPECT_EQ(p.GetReferencingTimeoutMs(), c.ms);
        if (c.line != nullptr) EXPECT_EQ(capture.Count(c.line), 1);
    }
    Hardware::HardwareProtocolCANopen canopen(nullptr, Hardware::CANopenProfileCSP);
    canopen.Init("Robot", "", Write("<Robot><BusConfiguration CycleTimeMS=\"10\" GapMS=\"0\"><Joints NrOfJoints=\"0\"/>"
                                    "</BusConfiguration><Referencing TimeoutS=\"90\"/></Robot>"));
    EXPECT_EQ(canopen.GetReferencingTimeoutMs(), 90000);
}

TEST_F(V2Config, FatalGapsSetTheirFailureReason) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> edits;
        const char* line;
        const char* reason;
    };
    const Case cases[] = {
        {"not XML", {{"</Robot>", "<"}}, "ProtocolJXRCANV2: could not read ini correctly: ",
         "62 Protocol Ini file not valid"},
        {"no Robot", {{"Robot>", "Robo>"}}, "ProtocolJXRCANV2: line Robot not found in project file!",
         "63 Protocol Ini file not complete"},
        {"no BusConfiguration", {{"BusConfiguration", "Bus"}},
         "ProtocolJXRCANV2: line BusConfiguration not found in project file!", "64 Protocol Ini file not complete"},
        {"no GapMS", {{" GapMS=\"1.5\"", ""}},
         "ProtocolJXRCANV2: attribute GapMS not found in line BusConfiguration of project file!",
         "65 Protocol Ini file not complete"},
        {"negative GapMS", {{"GapMS=\"1.5\"", "GapMS=\"-0.5\""}},
         "ProtocolJXRCANV2: attribute GapMS not found in line BusConfiguration of project file!",
         "65 Protocol Ini file not complete"},
        {"no Joints", {{"<Joints NrOfJoints=\"2\"/>", ""}}, "ProtocolJXRCANV2: line Joints not found in project file!",
         "66 Protocol Ini file not complete"},
        {"no NrOfJoints", {{"NrOfJoints=\"2\"", ""}},
         "ProtocolJXRCANV2: attribute NrOfJoints not found in line Joints of project file!",
         "67 Protocol Ini file not complete"},
        {"negative NrOfJoints", {{"NrOfJoints=\"2\"", "NrOfJoints=\"-1\""}},
         "ProtocolJXRCANV2: attribute NrOfJoints not found in line Joints of project file!",
         "67 Protocol Ini file not complete"},
        {"seven joints", {{"NrOfJoints=\"2\"", "NrOfJoints=\"7\""}},
         "ProtocolJXRCANV2: attribute NrOfJoints not found in line Joints of project file!",
         "67 Protocol Ini file not complete"},
        {"no Joint1", {{"<Joint1 ", "<JointB "}}, "ProtocolJXRCANV2: joint definition not found!",
         "68 Protocol Ini file not complete"},
        {"no ID", {{" ID=\"32\"", ""}}, "ProtocolJXRCAN: joint ID not found!", "69 Protocol Ini file not complete"},
        {"negative ID", {{"ID=\"32\"", "ID=\"-32\""}}, "ProtocolJXRCAN: joint ID not found!",
         "69 Protocol Ini file not complete"},
        {"ID whose answers leave the table", {{"ID=\"32\"", "ID=\"2045\""}}, "ProtocolJXRCAN: joint ID not found!",
         "69 Protocol Ini file not complete"},
        {"no GearScale", {{" GearScale=\"-95.5\"", ""}}, "ProtocolJXRCAN: joint GearScale not found!",
         "70 Protocol Ini file not complete"},
        {"GearScale 0", {{"GearScale=\"-95.5\"", "GearScale=\"0\""}}, "ProtocolJXRCAN: joint GearScale not found!",
         "70 Protocol Ini file not complete"},
        {"no GearZero", {{" GearZero=\"7\"", ""}}, "ProtocolJXRCAN: joint GearZero not found!",
         "71 Protocol Ini file not complete"},
        {"no Referencing", {{"<Referencing Mandatory=\"false\"/>", ""}},
         "ProtocolJXRCAN: line Referencing not found in project file!", "72 Protocol Ini file not complete"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedOperationMode reset;
        std::string text = kTwoJoints;
        for (const auto& edit : c.edits) text = ReplaceAll(text, edit.first, edit.second);
        HardwareProtocolJXRCANV2 p(nullptr);
        TestSupport::LogCapture capture;
        EXPECT_FALSE(p.ReadConfigFile(Write(text)));
        EXPECT_TRUE(capture.Contains(c.line));
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
    }
}

// tinyxml2 reads "nan", "inf" and "1e309" as numbers. Where a missing value has its case,
// such a value takes it; the temperature scale and zero, which have none, make the file
// not valid.
TEST_F(V2Config, NonFiniteNumbersAreHandledAsMissingOrMakeTheFileNotValid) {
    struct Case {
        const char* from;
        const char* to;
        const char* line;
        const char* reason;  // nullptr: operation mode stays normal
    };
    const Case cases[] = {
        {"GapMS=\"1.5\"", "GapMS=\"nan\"",
         "ProtocolJXRCANV2: attribute GapMS not found in line BusConfiguration of project file!",
         "65 Protocol Ini file not complete"},
        {"GearScale=\"-95.5\"", "GearScale=\"-inf\"", "ProtocolJXRCAN: joint GearScale not found!",
         "70 Protocol Ini file not complete"},
        {"GearZero=\"7\"", "GearZero=\"1e309\"", "ProtocolJXRCAN: joint GearZero not found!",
         "71 Protocol Ini file not complete"},
        {"GearPlay=\"0.5\"", "GearPlay=\"nan\"", "ProtocolJXRCAN: joint GearPlay not found!", nullptr},
        {"CurrentScale=\"2\"", "CurrentScale=\"inf\"", "ProtocolJXRCANV2: joint CurrentScale not found!", nullptr},
        {"TempScale=\"0.5\"", "TempScale=\"nan\"",
         "ProtocolJXRCANV2: attribute \"TempScale\" in line \"Joint0\" of robot ini file is not a finite number: "
         "\"nan\"",
         "62 Protocol Ini file not valid"},
        {"TempZero=\"-10\"", "TempZero=\"\"",
         "ProtocolJXRCANV2: attribute \"TempZero\" in line \"Joint0\" of robot ini file is not a finite number: \"\"",
         "62 Protocol Ini file not valid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to);
        ScopedOperationMode reset;
        HardwareProtocolJXRCANV2 p(nullptr);
        TestSupport::LogCapture capture;
        p.ReadConfigFile(Write(ReplaceAll(kTwoJoints, c.from, c.to)));
        EXPECT_TRUE(capture.Contains(c.line)) << capture.Joined();
        if (c.reason != nullptr) {
            EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
            EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
        } else {
            EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
        }
        const Hardware::jointData& j0 = p.GetJointData(0);
        for (float v : {j0.GearPlay, j0.CurrentScale, j0.TempScale, j0.TempZero}) EXPECT_TRUE(std::isfinite(v));
    }
}

TEST_F(V2Config, MissingFileIsReason61) {
    HardwareProtocolJXRCANV2 p(nullptr);
    TestSupport::LogCapture capture;
    const std::string path = root.Path() + "/Data/Robots/none.xml";
    EXPECT_FALSE(p.ReadConfigFile(path));
    EXPECT_TRUE(capture.Contains("File " + path + " not available! Aborting read()"));
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "61 Protocol Ini file not found");
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
}

TEST_F(V2Config, ModulesTakeTheirRoleBlocksWhateverTheCallOrder) {
    ExternalAxis axis(0, "Track", ExternalAxis::Position);
    axis.ID = 0x70;
    axis.GearScale = 50.0;
    axis.VelMax = 20.0;
    using Step = void (*)(HardwareProtocolJXRCANV2&, const ExternalAxis&);
    const Step tool = [](HardwareProtocolJXRCANV2& p, const ExternalAxis&) { p.InitTool(1, 0x90, 100.0f, 5.0f); };
    const Step external = [](HardwareProtocolJXRCANV2& p, const ExternalAxis& a) { p.InitExternalJoint(a); };
    const Step dio = [](HardwareProtocolJXRCANV2& p, const ExternalAxis&) { p.InitDIOModules(0x300); };
    const Step platform = [](HardwareProtocolJXRCANV2& p, const ExternalAxis&) { p.InitPlatform(2); };
    const std::vector<std::vector<Step>> orders = {
        {tool, external, dio, platform},
        {platform, dio, external, tool},
        {dio, tool, platform, external},
    };
    for (size_t o = 0; o < orders.size(); ++o) {
        SCOPED_TRACE(o);
        HardwareProtocolJXRCANV2 p(nullptr);
        p.Init("Robot", "JXRPivra4", Write(kTwoJoints));
        for (Step step : orders[o]) step(p, axis);
        const int ids[] = {16, 32, 0x90, 0x70, 0xA0, 0xB0, 0x300};
        ASSERT_EQ(p.GetModuleTotal(), 7);
        for (int i = 0; i < 7; ++i) EXPECT_EQ(p.GetJointData(i).canId, ids[i]) << i;
        EXPECT_EQ(p.FirstRecord(ModuleRole::DIO), 6);
        EXPECT_EQ(p.GetJointData(6).moduleType, 1);
        const Hardware::jointData& gripper = p.GetJointData(2);
        EXPECT_FLOAT_EQ(gripper.GearScale, 100.0f);
        EXPECT_FLOAT_EQ(gripper.GearZero, 5.0f);
        EXPECT_EQ(gripper.errorCode.load(), 0x100);
        const Hardware::jointData& track = p.GetJointData(3);
        EXPECT_FLOAT_EQ(track.GearScale, 50.0f);
        EXPECT_FLOAT_EQ(track.maxVelocity, 20.0f);
        EXPECT_FLOAT_EQ(track.TempScale, 0.3125f);
        EXPECT_EQ(track.jointMode.load(), Hardware::JointModePosition);
        EXPECT_FLOAT_EQ(p.GetJointData(5).GearScale, -500.0f);
    }
}

TEST_F(V2Config, ModuleLimitsAreKept) {
    HardwareProtocolJXRCANV2 p(nullptr);
    p.Init("Robot", "JXRPivra4", Write(kTwoJoints));
    TestSupport::LogCapture capture;
    for (int i = 0; i < 4; ++i) p.InitDIOModules(0xE0 + 4 * i);
    ExternalAxis axis(0, "Track", ExternalAxis::Velocity);
    for (int i = 0; i < 4; ++i) {
        axis.ID = 0x70 + i;
        p.InitExternalJoint(axis);
    }
    p.InitTool(4, 0x90, 1.0f, 0.0f);
    p.InitPlatform(5);
    EXPECT_EQ(p.GetDIOModuleCount(), 3);
    EXPECT_EQ(p.GetExternalAxisCount(), 3);
    EXPECT_EQ(p.GetGripperCount(), 0);
    EXPECT_EQ(p.GetPlatformJointCount(), 0);
    EXPECT_EQ(p.GetModuleTotal(), 8);
    EXPECT_EQ(capture.Count("ERROR: Cannot add more than 3 DIO modules!"), 1);
    EXPECT_EQ(capture.Count("Cannot add more then 3 External Joints!"), 1);
    EXPECT_EQ(capture.Count("DIO module added on CAN ID "), 3);
    EXPECT_EQ(p.GetJointData(2).jointMode.load(), Hardware::JointModeVelocity);

    unsigned char a = 0, b = 0, c = 0;
    p.GetDIOModuleIDs(a, b, c);
    EXPECT_EQ(a, 0xE0);
    EXPECT_EQ(c, 0xE8);
    p.SetDIOModuleIDs(7, 8, 9);
    p.GetDIOModuleIDs(a, b, c);
    EXPECT_EQ(a, 7);
    EXPECT_EQ(b, 8);
    EXPECT_EQ(c, 9);
    EXPECT_TRUE(capture.Contains("Setting DIO module IDs: 7 8 9 (will be applied after restart)"));
}

TEST_F(V2Config, ExternalAxisWithAnUnknownModeRunsInPosition) {
    HardwareProtocolJXRCANV2 p(nullptr);
    p.Init("Robot", "JXRPivra4", Write(kTwoJoints));
    ExternalAxis axis(0, "Track", static_cast<ExternalAxis::JointMode>(7));
    axis.ID = 0x70;
    p.InitExternalJoint(axis);
    EXPECT_EQ(p.GetJointData(2).jointMode.load(), Hardware::JointModePosition);
}

TEST(V2Context, TheProcessWidePointerFollowsTheLiveObject) {
    EXPECT_EQ(Hardware::ctxHWP.load(), nullptr);
    const unsigned char data[8] = {0x07, 0, 0, 0x70, 0, 0, 0, 0};
    EXPECT_EQ(Hardware::ReceiveCallback2(0x11, 8, data, 0, timespec{}), 0);
    {
        HardwareProtocolJXRCANV2 first(nullptr);
        EXPECT_EQ(Hardware::ctxHWP.load(), &first);
        EXPECT_EQ(Hardware::ReceiveCallback2(0x11, 8, data, 0, timespec{}), 1);
        {
            HardwareProtocolJXRCANV2 second(nullptr);
            EXPECT_EQ(Hardware::ctxHWP.load(), &second);
        }
        EXPECT_EQ(Hardware::ctxHWP.load(), nullptr);
    }
    EXPECT_EQ(Hardware::ctxHWP.load(), nullptr);
}

}  // namespace
