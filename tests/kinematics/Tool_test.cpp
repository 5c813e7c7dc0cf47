#include "kinematics/Tool.h"

#include "core/LogSingleton.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

const std::string kFixtures = std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/";

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("");
    }
    static std::string Reason() { return LogSingleton::instance()->get_seriousFailReason(); }
    static bool Failed() { return LogSingleton::instance()->get_opMode() == OPMODE_SERIOUS_FAILURE; }
};

TEST_F(ToolTest, ConstructionValues) {
    Tool t;
    EXPECT_EQ(t.BusID, -1);
    EXPECT_EQ(t.percentScale, 1.0f);
    EXPECT_EQ(t.ChannelEnable, -1);
    EXPECT_EQ(t.ChannelOpenClose, -1);
    EXPECT_TRUE(t.toolMatrix.Equals(Matrix44(), 0.0f));
    EXPECT_TRUE(t.toolMatrixInverse.Equals(Matrix44(), 0.0f));
    EXPECT_TRUE(t.motionType.empty());
}

TEST_F(ToolTest, CompleteBusToolFileIsRead) {
    Tool t;
    t.ReadConfigFile(kFixtures + "tool_complete_bus.xml");
    EXPECT_FALSE(Failed());
    EXPECT_EQ(t.motionType, "rotationaltwofinger");
    EXPECT_EQ(t.protocol, "bus");
    EXPECT_EQ(t.offsetPosition.z, 150.0f);
    EXPECT_EQ(t.offsetRotation.z, 90.0f);
    EXPECT_EQ(t.MotionMin, 5.0f);
    EXPECT_EQ(t.MotionMax, 85.0f);
    EXPECT_EQ(t.MotionVel, 4.0f);
    EXPECT_EQ(t.BusID, 120);
    EXPECT_EQ(t.GearScale, -20.0f);
    EXPECT_EQ(t.GearZero, 100.0f);
    EXPECT_EQ(t.ChannelOpenClose, -1);
}

TEST_F(ToolTest, DigitalToolReadsOnlyItsAttributesAndChecksChannels) {
    Tool t;
    t.ReadConfigFile(kFixtures + "tool_complete_digital.xml");
    EXPECT_FALSE(Failed());
    EXPECT_EQ(t.motionType, "digital");
    EXPECT_EQ(t.protocol, "digital");
    EXPECT_EQ(t.MotionVel, 50.0f);
    EXPECT_EQ(t.MotionMin, 0.0f);  // not read for a digital gripper
    EXPECT_EQ(t.BusID, -1);        // not read for digital outputs
    EXPECT_EQ(t.ChannelEnable, 0);
    EXPECT_EQ(t.ChannelOpenClose, 63);
}

TEST_F(ToolTest, ChannelNumbersAreRangeChecked) {
    struct Case {
        const char* value;
        int expected;
    } cases[] = {
        {"1", 0}, {"0", 0}, {"64", 63}, {"65", -1}, {"100000", -1}, {"-7", -1},
    };
    TestSupport::TempDataRoot root;
    for (const Case& c : cases) {
        const std::string path = root.WriteFile(
            "tool.xml", std::string("<Tool><OFFSET/><KINEMATIC Motion=\"digital\"/>"
                                    "<INTERFACE Protocol=\"digital\" ChannelOpenClose=\"") +
                            c.value + "\"/></Tool>");
        Tool t;
        t.ChannelOpenClose = 5;
        TestSupport::LogCapture log;
        t.ReadConfigFile(path);
        EXPECT_EQ(t.ChannelOpenClose, c.expected) << c.value;
        EXPECT_EQ(log.Contains("out of range"), c.expected < 0) << c.value;
        EXPECT_FALSE(Failed());
    }
}

// An offset, an opening range or a gear value that is no finite number would put NaN into
// the tool frame or the gripper position: the file is not valid and the default stays.
TEST_F(ToolTest, NonFiniteNumbersMakeTheFileNotValid) {
    struct Case {
        const char* element;
        const char* attribute;
    } cases[] = {
        {"OFFSET", "OffsetZ"},     {"OFFSET", "OffsetC"},      {"KINEMATIC", "MotionMax"},
        {"KINEMATIC", "MotionVel"}, {"INTERFACE", "GearScale"}, {"INTERFACE", "GearZero"},
    };
    TestSupport::TempDataRoot root;
    for (const Case& c : cases) {
        for (const char* value : {"nan", "inf", "1e309", ""}) {
            SCOPED_TRACE(std::string(c.attribute) + "=\"" + value + "\"");
            SetUp();
            const std::string given = std::string(" ") + c.attribute + "=\"" + value + "\"";
            auto in = [&](const char* element) { return std::string(element) == c.element ? given : std::string(); };
            const std::string path =
                root.WriteFile("tool.xml", "<Tool><OFFSET OffsetX=\"1\"" + in("OFFSET") +
                                               "/><KINEMATIC Motion=\"linear\"" + in("KINEMATIC") +
                                               "/><INTERFACE Protocol=\"bus\" BusID=\"9\"" + in("INTERFACE") +
                                               "/></Tool>");
            TestSupport::LogCapture log;
            Tool t;
            t.ReadConfigFile(path);
            EXPECT_TRUE(Failed());
            EXPECT_EQ(Reason(), "42 Tool Ini file not valid");
            EXPECT_TRUE(log.Contains(std::string("Tool: attribute \"") + c.attribute + "\" in line \"" + c.element +
                                     "\" of tool ini file is not a finite number: \"" + value + "\""))
                << log.Joined();
            for (float v : {t.offsetPosition.x, t.offsetPosition.z, t.offsetRotation.z, t.MotionMax, t.MotionVel,
                            t.GearScale, t.GearZero}) {
                EXPECT_TRUE(std::isfinite(v));
            }
            EXPECT_EQ(t.offsetPosition.x, 1.0f);  // the finite values are still read
            EXPECT_EQ(t.BusID, 9);
        }
    }
}

struct ToolFaultCase {
    const char* file;
    const char* reason;
    const char* line;  // a trailing blank means: followed by the path
};

class ToolFaultTest : public ToolTest, public ::testing::WithParamInterface<ToolFaultCase> {};

TEST_P(ToolFaultTest, SetsReasonAndOperationModeOne) {
    const ToolFaultCase& c = GetParam();
    const std::string path = kFixtures + c.file;
    TestSupport::LogCapture log;
    Tool t;
    t.ReadConfigFile(path);
    EXPECT_TRUE(Failed());
    EXPECT_EQ(Reason(), c.reason);
    std::string line = c.line;
    if (line.back() == ' ') {
        line += path;
    }
    EXPECT_TRUE(log.Contains("Tool: reading ini file \"" + path + "\"")) << log.Joined();
    EXPECT_TRUE(log.Contains(line)) << log.Joined();
    // Reading ends at the fault: nothing of the interface element was taken.
    EXPECT_EQ(t.BusID, -1);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, ToolFaultTest,
    ::testing::Values(
        ToolFaultCase{"tool_missing.xml", "41 Tool Ini file not found", "Tool: could not find tool ini file: "},
        ToolFaultCase{"tool_not_xml.xml", "42 Tool Ini file not valid",
                      "Tool: could not read tool ini file XML code correctly: "},
        ToolFaultCase{"tool_no_root.xml", "43 Tool Ini file not complete",
                      "Tool: line \"Tool\" not found in tool ini file!"},
        ToolFaultCase{"tool_no_offset.xml", "44 Tool Ini file not complete",
                      "Tool: line \"OFFSET\" not found in .ini file!"},
        ToolFaultCase{"tool_no_kinematic.xml", "45 Tool Ini file not complete",
                      "Tool: line \"KINEMATIC\" not found in ini file!"},
        ToolFaultCase{"tool_no_motion.xml", "46 Tool Ini file not complete",
                      "Tool: attribute \"Motion\" not found in line \"Kinematic\" of tool file!"},
        ToolFaultCase{"tool_no_interface.xml", "47 Tool Ini file not complete",
                      "Tool: line \"INTERFACE\" not found in ini file!"},
        ToolFaultCase{"tool_no_protocol.xml", "48 Tool Ini file not complete",
                      "Tool: attribute \"Protocol\" not found in line \"INTERFACE\" of tool file!"}),
    [](const ::testing::TestParamInfo<ToolFaultCase>& info) {
        std::string name = info.param.file;
        return name.substr(0, name.find('.'));
    });

TEST_F(ToolTest, MissingMotionOrProtocolBecomesNone) {
    Tool t;
    t.ReadConfigFile(kFixtures + "tool_no_motion.xml");
    EXPECT_EQ(t.motionType, "none");
    EXPECT_EQ(t.MotionVel, 0.0f);
    Tool u;
    u.ReadConfigFile(kFixtures + "tool_no_protocol.xml");
    EXPECT_EQ(u.motionType, "linear");
    EXPECT_EQ(u.MotionVel, 9.0f);
    EXPECT_EQ(u.protocol, "none");
}

// Init finds its file below the data root, which the log derives from the working folder.
class ToolInitTest : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        root_ = LogSingleton::instance()->get_rootPath();
        const std::string cwd = std::filesystem::current_path().string() + "/";
        if (root_ != cwd) {
            GTEST_SKIP() << "data root " << root_ << " is not the test's working folder";
        }
        std::filesystem::create_directories(root_ + "Data/Tools");
    }
    void WriteTool(const std::string& name, const std::string& xml) {
        std::filesystem::create_directories(std::filesystem::path(root_ + "Data/Tools/" + name).parent_path());
        std::FILE* f = std::fopen((root_ + "Data/Tools/" + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(xml.c_str(), f);
        std::fclose(f);
    }
    std::string root_;
};

TEST_F(ToolInitTest, ToolMatrixTurnsOffsetCAboutZAndOffsetAAboutX) {
    WriteTool("turnC.xml",
              "<Tool><OFFSET OffsetX=\"10\" OffsetY=\"20\" OffsetZ=\"150\" OffsetC=\"90\"/>"
              "<KINEMATIC Motion=\"linear\"/><INTERFACE Protocol=\"bus\"/></Tool>");
    WriteTool("turnA.xml", "<Tool><OFFSET OffsetA=\"90\"/><KINEMATIC Motion=\"linear\"/>"
                           "<INTERFACE Protocol=\"bus\"/></Tool>");
    TestSupport::LogCapture log;
    Tool c;
    c.Init("turnC.xml");
    Matrix44 rz;
    rz.SetRotationABCDeg2(90, 0, 0);  // about z
    rz.SetTranslation(10, 20, 150);
    EXPECT_TRUE(c.toolMatrix.Equals(rz, 1e-6f)) << c.toolMatrix.ToString();
    EXPECT_TRUE((c.toolMatrix * c.toolMatrixInverse).Equals(Matrix44(), 1e-5f));
    EXPECT_TRUE(log.Contains("   Offsets: x: 10.0  y: 20.0  z: 150.0  -   a: 0.0  b: 0.0  c: 90.0")) << log.Joined();

    Tool a;
    a.Init("turnA.xml");
    Matrix44 rx;
    rx.SetRotationABCDeg2(0, 0, 90);  // about x
    EXPECT_TRUE(a.toolMatrix.Equals(rx, 1e-6f)) << a.toolMatrix.ToString();
    EXPECT_FALSE(Failed());
}

TEST_F(ToolInitTest, InitSetsGripperDefaultsAndKeepsChannels) {
    WriteTool("plain.xml", "<Tool><OFFSET/><KINEMATIC Motion=\"Linear\"/><INTERFACE Protocol=\"bus\"/></Tool>");
    Tool t;
    t.ChannelEnable = 4;
    t.currentPercent = 80.0f;
    t.Init("plain.xml");
    EXPECT_EQ(t.BusID, 112);
    EXPECT_EQ(t.GearScale, -10.0f);
    EXPECT_EQ(t.GearZero, 210.0f);
    EXPECT_EQ(t.targetPercent, 30.0f);
    EXPECT_EQ(t.currentPercent, 0.0f);
    EXPECT_EQ(t.MotionVel, 3.0f);
    EXPECT_EQ(t.MotionMax, 70.0f);
    EXPECT_FLOAT_EQ(t.percentScale, 0.7f);
    EXPECT_EQ(t.ChannelEnable, 4);
    EXPECT_EQ(t.motionType, "linear");
}

TEST_F(ToolInitTest, FileWithoutKinematicKeepsInitDefaults) {
    WriteTool("nokin.xml", "<Tool><OFFSET OffsetZ=\"5\"/><INTERFACE Protocol=\"bus\" BusID=\"9\"/></Tool>");
    Tool t;
    t.Init("nokin.xml");
    EXPECT_TRUE(Failed());
    EXPECT_EQ(Reason(), "45 Tool Ini file not complete");
    EXPECT_EQ(t.BusID, 112);  // INTERFACE not read
    EXPECT_EQ(t.MotionMax, 70.0f);
    EXPECT_EQ(t.toolMatrix(2, 3), 5.0f);  // the offsets read before the fault count
}

TEST_F(ToolInitTest, NamesLeavingTheToolFolderAreRefused) {
    WriteTool("ok.xml", "<Tool><OFFSET/><KINEMATIC Motion=\"linear\"/><INTERFACE Protocol=\"bus\"/></Tool>");
    // A real file one level up, which "../" names would otherwise reach.
    std::FILE* f = std::fopen((root_ + "Data/outside.xml").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("<Tool><OFFSET OffsetZ=\"999\"/><KINEMATIC Motion=\"linear\"/><INTERFACE Protocol=\"bus\"/></Tool>", f);
    std::fclose(f);

    Tool t;
    EXPECT_TRUE(t.CheckConfigFileExists("ok.xml"));
    EXPECT_FALSE(t.CheckConfigFileExists("nothere.xml"));
    const std::string names[] = {"../outside.xml", "..\\outside.xml", "sub/../../outside.xml",
                                 root_ + "Data/outside.xml", ""};
    for (const std::string& name : names) {
        EXPECT_FALSE(t.CheckConfigFileExists(name)) << name;
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        Tool u;
        u.Init(name);
        EXPECT_TRUE(Failed()) << name;
        EXPECT_EQ(Reason(), "41 Tool Ini file not found") << name;
        EXPECT_EQ(u.offsetPosition.z, 0.0f) << name;
    }
}

// --- gripper -------------------------------------------------------------------------------

TEST_F(ToolTest, TargetIsClampedAndNaNIgnored) {
    Tool t;
    struct Case {
        float in;
        float expected;
    } cases[] = {{150.0f, 100.0f}, {-5.0f, 0.0f}, {42.5f, 42.5f}, {std::numeric_limits<float>::quiet_NaN(), 42.5f}};
    for (const Case& c : cases) {
        t.SetTargetValue(c.in);
        EXPECT_EQ(t.targetPercent, c.expected) << c.in;
    }
    t.MotionVel = 10.0f;
    t.JogGripper(1.0f);
    EXPECT_EQ(t.targetPercent, 52.5f);
    t.JogGripper(-10.0f);
    EXPECT_EQ(t.targetPercent, 0.0f);
}

TEST_F(ToolTest, UpdateMovesAtMostMotionVelPerCycle) {
    Tool t;
    t.MotionVel = 3.0f;
    t.MotionMin = 0.0f;
    t.MotionMax = 70.0f;
    t.percentScale = 0.7f;
    t.SetTargetValue(31.0f);
    for (int i = 1; i <= 10; ++i) {
        t.Update();
        EXPECT_FLOAT_EQ(t.GetJoint(), 3.0f * i) << "cycle " << i;
    }
    t.Update();
    EXPECT_FLOAT_EQ(t.GetJoint(), 31.0f);
    EXPECT_FLOAT_EQ(t.GetHWPosition(), 21.7f);

    t.SetTargetValue(29.5f);  // closer than one step: reached at once, also downwards
    t.Update();
    EXPECT_FLOAT_EQ(t.GetJoint(), 29.5f);

    t.MotionVel = 0.0f;  // no velocity: never moves
    t.SetTargetValue(50.0f);
    t.Update();
    EXPECT_FLOAT_EQ(t.GetJoint(), 29.5f);
}

TEST_F(ToolTest, HardwarePositionConvertsBothWays) {
    Tool t;
    t.MotionMin = 0.0f;
    t.MotionMax = 70.0f;
    t.percentScale = 0.7f;
    t.currentPercent = 50.0f;
    t.UpdateNoVel();
    EXPECT_FLOAT_EQ(t.GetHWPosition(), 35.0f);
    t.SetHWPosition(35.0f);
    EXPECT_FLOAT_EQ(t.currentPercent, 50.0f);
    EXPECT_FLOAT_EQ(t.targetPercent, 50.0f);

    t.percentScale = 0.0f;  // MotionMax == MotionMin: the opening stays
    t.SetHWPosition(10.0f);
    EXPECT_FLOAT_EQ(t.GetHWPosition(), 10.0f);
    EXPECT_FLOAT_EQ(t.currentPercent, 50.0f);
}

TEST_F(ToolTest, AssignmentCopiesEveryField) {
    Tool a;
    a.ReadConfigFile(kFixtures + "tool_complete_bus.xml");
    a.ChannelEnable = 3;
    a.currentPercent = 12.0f;
    Tool b;
    b = a;
    EXPECT_EQ(b.motionType, a.motionType);
    EXPECT_EQ(b.BusID, 120);
    EXPECT_EQ(b.ChannelEnable, 3);
    EXPECT_EQ(b.currentPercent, 12.0f);
    a.BusID = 1;
    EXPECT_EQ(b.BusID, 120);
}

}  // namespace
