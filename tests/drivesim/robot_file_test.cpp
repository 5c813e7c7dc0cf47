// The module list taken from the robot configuration file.

#include "drivesim/DriveSimulator.h"
#include "drivesim/RobotFile.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace DriveSimTest {
namespace {

using DriveSim::ModuleKind;

std::string RobotXml(const std::string& busAttributes, const std::string& joints) {
    return "<?xml version=\"1.0\"?>\n<Robot>\n  <Kinematic Type=\"SixAxis\"/>\n"
           "  <BusConfiguration " + busAttributes + ">\n" + joints +
           "  </BusConfiguration>\n</Robot>\n";
}

std::string Joint(int n, const std::string& attributes) {
    return "    <Joint" + std::to_string(n) + " " + attributes + "/>\n";
}

class RobotFileTest : public ::testing::Test {
protected:
    std::string Write(const std::string& content) { return root.WriteFile("Data/Robots/robot.xml", content); }
    TestSupport::TempDataRoot root;
};

TEST_F(RobotFileTest, JointsOfEachProtocolBecomeModules) {
    const struct {
        const char* protocol;
        ModuleKind kind;
        std::vector<int> ids;
        std::vector<std::int32_t> positions;
    } cases[] = {
        {"JXRCANV2", ModuleKind::Joint, {0x10, 0x20, 0x30}, {0, 1500, -2000}},
        {"JXRCANV3", ModuleKind::Joint, {0x10, 0x20, 0x30}, {0, 1500, -2000}},
        // Without GearZero the first generation sits in the middle of its 16-bit range;
        // values outside that range are clamped into it.
        {"JXRCAN", ModuleKind::JointV1, {0x10, 0x20, 0x30}, {32000, 1500, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.protocol);
        const std::string joints = "    <Joints NrOfJoints=\"3\"/>\n" +
                                   Joint(0, "ID=\"16\" GearScale=\"190\"") +
                                   Joint(2, "ID=\"48\" GearScale=\"190\" GearZero=\"-2000.7\"") +
                                   Joint(1, "ID=\"32\" GearScale=\"190\" GearZero=\"1500\"");
        const std::string path =
            Write(RobotXml(std::string("Protocol=\"") + c.protocol + "\" CycleTimeMS=\"4\" GapMS=\"0\"", joints));
        DriveSim::RobotFileModules modules;
        std::string error;
        ASSERT_TRUE(DriveSim::ReadRobotFile(path, &modules, &error)) << error;
        EXPECT_EQ(c.protocol, modules.protocol);
        EXPECT_EQ(c.kind, modules.kind);
        ASSERT_EQ(c.ids.size(), modules.joints.size());
        for (std::size_t i = 0; i < c.ids.size(); ++i) {
            EXPECT_EQ(c.kind, modules.joints[i].kind);
            EXPECT_EQ(c.ids[i], modules.joints[i].canId);
            EXPECT_EQ(c.positions[i], modules.joints[i].position);
            EXPECT_FALSE(modules.joints[i].enabled);
        }
    }
}

TEST_F(RobotFileTest, UnusableFilesAreRefusedWithAReason) {
    const std::string joint0 = Joint(0, "ID=\"16\"");
    const struct {
        const char* name;
        std::string content;  // empty: no file at all
        const char* reason;
    } cases[] = {
        {"missing file", "", "not found"},
        {"not XML", "<Robot><BusConfiguration", "not valid XML"},
        {"no Robot", "<Other/>", "\"Robot\""},
        {"no BusConfiguration", "<Robot><Kinematic Type=\"SixAxis\"/></Robot>", "\"BusConfiguration\""},
        {"no Protocol", RobotXml("CycleTimeMS=\"4\"", "    <Joints NrOfJoints=\"1\"/>\n" + joint0), "\"Protocol\""},
        {"CANopen", RobotXml("Protocol=\"CANopen_CSP\"", "    <Joints NrOfJoints=\"1\"/>\n" + joint0),
         "CANopen_CSP"},
        {"no Joints", RobotXml("Protocol=\"JXRCANV2\"", joint0), "\"Joints\""},
        {"no NrOfJoints", RobotXml("Protocol=\"JXRCANV2\"", "    <Joints/>\n" + joint0), "NrOfJoints"},
        {"negative NrOfJoints", RobotXml("Protocol=\"JXRCANV2\"", "    <Joints NrOfJoints=\"-1\"/>\n"),
         "NrOfJoints"},
        {"17 joints", RobotXml("Protocol=\"JXRCANV2\"", "    <Joints NrOfJoints=\"17\"/>\n"), "NrOfJoints"},
        {"joint missing", RobotXml("Protocol=\"JXRCANV2\"", "    <Joints NrOfJoints=\"2\"/>\n" + joint0),
         "\"Joint1\""},
        {"no ID", RobotXml("Protocol=\"JXRCANV2\"", "    <Joints NrOfJoints=\"1\"/>\n" + Joint(0, "GearZero=\"0\"")),
         "\"ID\""},
        {"negative ID", RobotXml("Protocol=\"JXRCANV2\"", "    <Joints NrOfJoints=\"1\"/>\n" + Joint(0, "ID=\"-4\"")),
         "\"ID\""},
        {"ID too high", RobotXml("Protocol=\"JXRCANV2\"", "    <Joints NrOfJoints=\"1\"/>\n" + Joint(0, "ID=\"2045\"")),
         "\"ID\""},
        {"ID twice", RobotXml("Protocol=\"JXRCANV2\"", "    <Joints NrOfJoints=\"2\"/>\n" + joint0 +
                                                          Joint(1, "ID=\"16\"")),
         "repeats CAN ID 16"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = root.Path() + "/Data/Robots/absent.xml";
        if (!c.content.empty()) {
            path = Write(c.content);
        }
        DriveSim::RobotFileModules modules;
        std::string error;
        EXPECT_FALSE(DriveSim::ReadRobotFile(path, &modules, &error));
        EXPECT_NE(std::string::npos, error.find(c.reason)) << error;
        EXPECT_TRUE(modules.joints.empty());

        DriveSim::DriveSimulator sim;
        EXPECT_FALSE(sim.LoadRobotFile(path, &error));
        EXPECT_TRUE(sim.ModuleIds().empty());
    }
}

TEST_F(RobotFileTest, SimulatorAddsTheJointsOnceAndRefusesTakenIds) {
    const std::string path = Write(RobotXml("Protocol=\"JXRCANV2\"", "    <Joints NrOfJoints=\"2\"/>\n" +
                                                                        Joint(0, "ID=\"16\" GearZero=\"7\"") +
                                                                        Joint(1, "ID=\"32\"")));
    DriveSim::DriveSimulator sim;
    std::string error;
    ASSERT_TRUE(sim.LoadRobotFile(path, &error)) << error;
    EXPECT_EQ(std::vector<int>({16, 32}), sim.ModuleIds());
    DriveSim::ModuleState state;
    ASSERT_TRUE(sim.GetModuleState(16, &state));
    EXPECT_EQ(7, state.position);
    EXPECT_EQ(ModuleKind::Joint, state.kind);

    EXPECT_FALSE(sim.LoadRobotFile(path, &error));
    EXPECT_NE(std::string::npos, error.find("already taken")) << error;
    EXPECT_EQ(std::vector<int>({16, 32}), sim.ModuleIds());
}

}  // namespace
}  // namespace DriveSimTest
