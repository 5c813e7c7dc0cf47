#include "program/CommandCamera.h"
#include "program/CommandDIO.h"
#include "program/CommandGripper.h"
#include "program/CommandPlugin.h"

#include "core/LogSingleton.h"
#include "kinematics/RobotKinematic.h"
#include "testsupport/PlanarKinematic.h"
#include "program/ProgramMemory.h"
#include "testsupport/TestSupport.h"
#include "vision/CameraManager.h"
#include "vision/PluginManager.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using DataTypes::RobotState;
using DataTypes::Vector3;
using Programs::MemoryPosition;
using Programs::ProgramMemory;

namespace {

// True when a captured line ("time text") carries exactly this text.
bool HasLine(TestSupport::LogCapture& log, const std::string& text) {
    for (const std::string& line : log.Lines()) {
        if (line.size() > text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0 &&
            line[line.size() - text.size() - 1] == ' ') {
            return true;
        }
    }
    return false;
}

// Parses one element and lets the command read it.
template <typename C>
struct Loaded {
    tinyxml2::XMLDocument doc;
    C cmd;
    explicit Loaded(const std::string& xml, bool quiet = true) {
        EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
        cmd.ReadXML(doc.FirstChildElement(), quiet);
        cmd.predecessor = 4;
        cmd.nextSuccessor = 6;
    }
};

// Reads the element quiet and not: the informational line only when not quiet, the error
// line both times.
template <typename C, typename Check>
void ReadBothWays(const std::string& xml, const std::string& infoLine, const std::string& errorLine, Check check) {
    for (bool quiet : {true, false}) {
        SCOPED_TRACE(xml + (quiet ? " (quiet)" : " (loud)"));
        TestSupport::LogCapture log;
        Loaded<C> l(xml, quiet);
        check(l.cmd);
        if (!infoLine.empty()) {
            EXPECT_EQ(HasLine(log, infoLine), !quiet) << log.Joined();
        }
        if (!errorLine.empty()) {
            EXPECT_TRUE(HasLine(log, errorLine)) << log.Joined();
        }
        if (infoLine.empty() && errorLine.empty()) {
            EXPECT_TRUE(log.Lines().empty()) << log.Joined();
        }
    }
}

// ---------------------------------------------------------------------------------------
// Output

struct DioCase {
    const char* attributes;
    bool valid;
    bool isDOut;
    int channel;
    bool state;
    const char* line;  // informational when valid, error line otherwise
};

const DioCase kDioCases[] = {
    {R"(Nr="3" Channel="DOut1" State="True")", true, true, 0, true, "   Nr. 3: DOut channel 0 state 1"},
    {R"(Nr="4" Channel="GSig100" State="false")", true, false, 99, false, "   Nr. 4: GSig channel 99 state 0"},
    {R"(Nr="5" Channel="dout3" State="true")", true, true, 2, true, "   Nr. 5: DOut channel 2 state 1"},
    {R"(Channel="gsig7" State="True")", true, false, 6, true, "   Nr. 0: GSig channel 6 state 1"},
    {R"(Nr="1" Channel="xxxx64" State="TRUE")", true, true, 63, false, "   Nr. 1: DOut channel 63 state 0"},
    {R"(Nr="1" Channel="DOut12abc" State="1")", true, true, 11, false, "   Nr. 1: DOut channel 11 state 0"},
    {R"(Channel="DOut0" State="True")", false, true, 0, false,
     "Error: could not read Digital-Out command: channel 0 outside 1..64 in DIO command"},
    {R"(Channel="DOut65" State="True")", false, true, 0, false,
     "Error: could not read Digital-Out command: channel 65 outside 1..64 in DIO command"},
    {R"(Channel="GSig101" State="True")", false, true, 0, false,
     "Error: could not read Digital-Out command: channel 101 outside 1..100 in DIO command"},
    {R"(Channel="DOut-3" State="True")", false, true, 0, false,
     "Error: could not read Digital-Out command: channel -3 outside 1..64 in DIO command"},
    {R"(Channel="DOut" State="True")", false, true, 0, false,
     "Error: could not read Digital-Out command: invalid channel name in DIO command"},
    {R"(Channel="DOutX" State="True")", false, true, 0, false, "Error: could not read Digital-Out command: stoi"},
    {R"(Channel="DOut99999999999" State="True")", false, true, 0, false,
     "Error: could not read Digital-Out command: stoi"},
    {R"(Channel="DOut1")", false, true, 0, false, "Could not read CommandDIO, incomplete arguments"},
    {R"(State="True")", false, true, 0, false, "Could not read CommandDIO, incomplete arguments"},
};

TEST(CommandDIORead, ChannelAndStateTable) {
    for (const DioCase& k : kDioCases) {
        const std::string xml = std::string("<Output ") + k.attributes + " />";
        auto check = [&k](const CommandDIO& c) {
            EXPECT_EQ(c.valid, k.valid);
            EXPECT_EQ(c.className, "CommandDIO");
            EXPECT_TRUE(c.IsCombinable());
            if (k.valid) {
                EXPECT_EQ(c.isDOut, k.isDOut);
                EXPECT_EQ(c.channel, k.channel);
                EXPECT_EQ(c.state, k.state);
            }
        };
        if (k.valid) {
            ReadBothWays<CommandDIO>(xml, k.line, "", check);
        } else {
            ReadBothWays<CommandDIO>(xml, "", k.line, check);
        }
    }
}

TEST(CommandDIORun, SetsTheAddressedElementOnlyAndReturnsTheSuccessor) {
    Loaded<CommandDIO> on(R"(<Output Channel="DOut1" State="True" />)");
    Loaded<CommandDIO> off(R"(<Output Channel="GSig100" State="false" />)");
    RobotState state;
    state.GSig[99] = true;
    RobotState expected = state;
    EXPECT_EQ(on.cmd.Interpolate(10, 100.0f, &state), 6);
    EXPECT_EQ(off.cmd.Interpolate(10, 100.0f, &state), 6);
    expected.DOut[0] = true;
    expected.GSig[99] = false;
    EXPECT_EQ(std::memcmp(state.DOut, expected.DOut, sizeof(state.DOut)), 0);
    EXPECT_EQ(std::memcmp(state.GSig, expected.GSig, sizeof(state.GSig)), 0);
    EXPECT_EQ(std::memcmp(state.DIn, expected.DIn, sizeof(state.DIn)), 0);

    EXPECT_EQ(on.cmd.ToString(), "Command DIO 0 to 1 - Pre: 4 - Succ: 6 -2 -2");
    EXPECT_EQ(off.cmd.ToString(), "Command GSig 99 to 0 - Pre: 4 - Succ: 6 -2 -2");
}

TEST(CommandDIORun, ChannelSetByHandOutsideTheArraysWritesNothing) {
    CommandDIO c;
    c.state = true;
    RobotState state;
    for (int channel : {-1, RobotState::maxIOs, 1000}) {
        c.isDOut = true;
        c.channel = channel;
        c.Interpolate(10, 100.0f, &state);
        c.isDOut = false;
        c.channel = channel == RobotState::maxIOs ? RobotState::maxSignals : channel;
        c.Interpolate(10, 100.0f, &state);
    }
    const RobotState untouched;
    EXPECT_EQ(std::memcmp(state.DOut, untouched.DOut, sizeof(state.DOut)), 0);
    EXPECT_EQ(std::memcmp(state.GSig, untouched.GSig, sizeof(state.GSig)), 0);
}

// ---------------------------------------------------------------------------------------
// Gripper

TEST(CommandGripperRead, PositionClampedOptionalAndFaultsOnlyLogged) {
    struct Case {
        const char* attributes;
        float position;
        const char* info;   // informational line, empty when none
        const char* error;  // error line, empty when none
        float second = 0.0f;  // grippers 2 and 3
        float third = 0.0f;
    };
    const Case cases[] = {
        {R"(Nr="2" Position="150")", 100.0f, "   Nr. 2: Gripper Position 100.0", ""},
        {R"(Nr="2" Position="-5")", 0.0f, "   Nr. 2: Gripper Position 0.0", ""},
        {R"(Nr="3" Position="42.5")", 42.5f, "   Nr. 3: Gripper Position 42.5", ""},
        {R"(Nr="4")", 0.0f, "   Nr. 4: Gripper Position 0.0", ""},
        {R"(Nr="5" Position="open")", 0.0f, "", "ERROR - IPO: Could not read gripper command"},
        {R"(Nr="6" Position="nan")", 0.0f, "", "ERROR - IPO: Could not read gripper command"},
        // An infinity is a float above 100 (or below 0) like any other and is clamped.
        {R"(Nr="7" Position="inf")", 100.0f, "   Nr. 7: Gripper Position 100.0", ""},
        {R"(Nr="7" Position="-inf")", 0.0f, "   Nr. 7: Gripper Position 0.0", ""},
        // Grippers 2 and 3, as a saved taught command holds them, are clamped alike.
        {R"(Nr="8" Position="10" Position2="150" Position3="33.5")", 10.0f, "   Nr. 8: Gripper Position 10.0", "", 100.0f,
         33.5f},
        {R"(Nr="9" Position2="nan")", 0.0f, "", "ERROR - IPO: Could not read gripper command"},
    };
    for (const Case& k : cases) {
        ReadBothWays<CommandGripper>(std::string("<Gripper ") + k.attributes + " />", k.info, k.error,
                                     [&k](const CommandGripper& c) {
                                         EXPECT_TRUE(c.valid);
                                         EXPECT_FLOAT_EQ(c.position[0], k.position);
                                         EXPECT_FLOAT_EQ(c.position[1], k.second);
                                         EXPECT_FLOAT_EQ(c.position[2], k.third);
                                         EXPECT_TRUE(c.IsCombinable());
                                     });
    }
}

TEST(CommandGripperRun, WritesAllThreeSetPointsAndItsElement) {
    CommandGripper c(42.5f);
    c.nextSuccessor = 9;
    EXPECT_EQ(c.className, "CommandGripper");
    RobotState state;
    state.gripper[0] = 10.0f;
    state.gripper[1] = 20.0f;
    state.gripper[2] = 30.0f;
    EXPECT_EQ(c.Interpolate(10, 100.0f, &state), 9);
    EXPECT_FLOAT_EQ(state.gripper[0], 42.5f);
    EXPECT_FLOAT_EQ(state.gripper[1], 0.0f);
    EXPECT_FLOAT_EQ(state.gripper[2], 0.0f);

    TestSupport::TempDataRoot root;
    const std::string path = root.Path() + "/gripper.xml";
    c.number = 7;
    c.description = "grip \"it\"";
    {
        std::ofstream out(path);
        c.WriteXML(&out, 1);
        c.WriteXML(nullptr, 8);
        // A taught command sets all three; each comes back.
        CommandGripper three;
        three.number = 8;
        three.position[1] = 20.5f;
        three.position[2] = 100.0f;
        three.WriteXML(&out, 2);
    }
    EXPECT_EQ(TestSupport::ReadWholeFile(path),
              "<Gripper Nr=\"7\" Position=\"42.5\" Descr=\"grip &quot;it&quot;\" />\n"
              "<Gripper Nr=\"8\" Position=\"0\" Position2=\"20.5\" Position3=\"100\" Descr=\"\" />\n");
}

// ---------------------------------------------------------------------------------------
// Variables for Camera and Plugin

// Joints 0..2 are the translation, joint 3 is A; e1..e3 pass through.
using FakeKinematic = TestSupport::PlanarKinematic;

// A store with the fake kinematic, a position "Target" at (1, 2, 3) with A = 0 and a
// number "Model" at 7.
class VariablesFixture : public ::testing::Test {
protected:
    VariablesFixture() {
        memory.SetKinematic(std::make_unique<FakeKinematic>());
        memory.SetRobotState(&live);
        RobotState start;
        start.pose.SetTranslation(1.0f, 2.0f, 3.0f);
        memory.SetVariable(MemoryPosition("Target", start, false), Programs::ContentUnchanged);
        memory.SetVariable(MemoryPosition("Model", 7.0, false), Programs::ContentNumber);
    }

    MemoryPosition Target() { return memory.GetVariable("target"); }
    double Model() { return memory.GetVariable("model").value; }

    // The stored target carries this pose, its rotation built from A, B, C, and the
    // joints that the kinematic solved for it.
    void ExpectTarget(const Vector3& p, const Vector3& abc) {
        const MemoryPosition t = Target();
        EXPECT_FLOAT_EQ(t.state.A, abc.x);
        EXPECT_FLOAT_EQ(t.state.B, abc.y);
        EXPECT_FLOAT_EQ(t.state.C, abc.z);
        DataTypes::Matrix44 expected;
        expected.SetRotationABCDeg2(abc.x, abc.y, abc.z);
        expected.SetTranslation(p);
        EXPECT_TRUE(t.state.pose.Equals(expected, 1e-5f)) << t.state.pose.ToString();
        EXPECT_FLOAT_EQ(t.state.jointSet[0], p.x);
        EXPECT_FLOAT_EQ(t.state.jointSet[1], p.y);
        EXPECT_FLOAT_EQ(t.state.jointSet[2], p.z);
        EXPECT_NEAR(t.state.jointSet[3], abc.x, 1e-3f);
    }

    RobotState live;
    ProgramMemory memory;
};

// ---------------------------------------------------------------------------------------
// Camera

const char* kCameraXml =
    R"(<Camera Nr="5" CameraName="Cam1" CameraType="IFMO2D" VarTargetPos="Target" VarModelClass="MODEL" />)";

TEST(CommandCameraRead, AllFourAttributesRequired) {
    ReadBothWays<CommandCamera>(kCameraXml, "   Nr. 5: Camera: Cam1 Type: IFMO2D PosVariable: target ClassVariable: model",
                                "", [](const CommandCamera& c) {
                                    EXPECT_TRUE(c.valid);
                                    EXPECT_EQ(c.className, "CommandCamera");
                                    EXPECT_TRUE(c.IsCombinable());
                                    EXPECT_EQ(c.cameraName, "Cam1");
                                    EXPECT_EQ(c.cameraType, "IFMO2D");
                                    EXPECT_EQ(c.varTargetPos, "target");
                                    EXPECT_EQ(c.varModelClass, "model");
                                });
    for (const char* attribute :
         {R"(CameraName="Cam1")", R"(CameraType="IFMO2D")", R"(VarTargetPos="Target")", R"(VarModelClass="MODEL")"}) {
        std::string xml = kCameraXml;
        xml.erase(xml.find(attribute), std::strlen(attribute));
        ReadBothWays<CommandCamera>(xml, "", "Could not read CommandCamera, incomplete arguments",
                                    [](const CommandCamera& c) { EXPECT_FALSE(c.valid); });
    }
    Loaded<CommandCamera> l(kCameraXml);
    EXPECT_EQ(l.cmd.ToString(), "Command Camera Cam1 (IFMO2D) PosVariable: target ClassVariable: model - Pre: 4 - Succ: 6 -2 -2");
}

// Hands out a preset target, or leaves the arguments alone when it has none.
class FakeCamera : public Camera::CameraInterface {
public:
    FakeCamera(const std::string& type, const std::string& name) : CameraInterface(type, name) {}
    void Start() override {}
    void Stop() override {}
    bool GetTargetPos(Vector3& pos, Vector3& ori, int& model) const override {
        ++calls;
        if (!hasTarget) {
            return false;
        }
        pos = position;
        ori = orientation;
        model = modelClass;
        return true;
    }
    int Read(tinyxml2::XMLElement&) override { return 0; }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument&) override { return nullptr; }
    std::string GetHVPConfigString(int) const override { return ""; }
    int GetStatus() const override {
        ADD_FAILURE() << "the camera command does not ask for the status";
        return 2;
    }

    bool hasTarget = true;
    Vector3 position{100.0f, 200.0f, 300.0f};
    Vector3 orientation{90.0f, 0.0f, 0.0f};
    int modelClass = 3;
    mutable int calls = 0;
};

// Registers the camera in the process-wide manager for the test's lifetime.
class CommandCameraRun : public VariablesFixture {
protected:
    FakeCamera* Register(const std::string& type, const std::string& name = "Cam1") {
        auto camera = std::make_unique<FakeCamera>(type, name);
        FakeCamera* raw = camera.get();
        Camera::CameraManager::Instance().Add(std::move(camera));
        registered.push_back(name);
        return raw;
    }
    ~CommandCameraRun() override {
        for (const std::string& name : registered) {
            Camera::CameraManager::Instance().Remove(name);
        }
    }

    Loaded<CommandCamera> command{kCameraXml};
    RobotState state;
    std::vector<std::string> registered;

    void SetUp() override { command.cmd.memory = &memory; }
};

TEST_F(CommandCameraRun, WritesBothVariablesRebuildsRotationAndRecomputesJoints) {
    FakeCamera* camera = Register("IFMO2D");
    EXPECT_EQ(command.cmd.Interpolate(10, 100.0f, &state), 6);
    EXPECT_EQ(camera->calls, 1);
    ExpectTarget({100.0f, 200.0f, 300.0f}, {90.0f, 0.0f, 0.0f});
    EXPECT_DOUBLE_EQ(Model(), 3.0);
}

TEST_F(CommandCameraRun, WithoutATargetTheStartValuesAndModelMinusOneAreStored) {
    Register("IFMO2D")->hasTarget = false;
    EXPECT_EQ(command.cmd.Interpolate(10, 100.0f, &state), 6);
    ExpectTarget({1.0f, 2.0f, 3.0f}, {0.0f, 0.0f, 0.0f});
    EXPECT_DOUBLE_EQ(Model(), -1.0);
}

TEST_F(CommandCameraRun, TypeIsComparedWithoutCaseAndSimStandsInForAny) {
    struct Case {
        const char* cameraType;    // the registered camera's type id
        const char* expectedType;  // "CameraType" of the element
        bool passes;
    };
    const Case cases[] = {
        {"IFMO2D", "ifmo2d", true},
        {"IFMO2D", "IFMO2D", true},
        {"Sim", "IFMO2D", true},
        {"Sim", "SolutionBinPicking", true},
        {"IFMO2D", "SolutionBinPicking", false},
        {"SolutionBinPicking", "Sim", false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.cameraType) + " for " + k.expectedType);
        Register(k.cameraType);
        command.cmd.cameraType = k.expectedType;
        memory.SetVariableSingle("model", 7.0, false);
        TestSupport::LogCapture log;
        if (k.passes) {
            EXPECT_EQ(command.cmd.Interpolate(10, 100.0f, &state), 6);
            EXPECT_DOUBLE_EQ(Model(), 3.0);
            continue;
        }
        const std::string text = std::string("CommandCamera: Type of camera Cam1 does not match, expected ") +
                                 k.expectedType + ", is " + k.cameraType;
        try {
            command.cmd.Interpolate(10, 100.0f, &state);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), text);
        }
        EXPECT_TRUE(HasLine(log, text)) << log.Joined();
        EXPECT_DOUBLE_EQ(Model(), 7.0) << "nothing stored";
    }
}

TEST_F(CommandCameraRun, UnknownCameraOrVariableThrowsBeforeAnythingIsStored) {
    TestSupport::LogCapture log;
    command.cmd.cameraName = "Nope";
    try {
        command.cmd.Interpolate(10, 100.0f, &state);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "CommandCamera: Camera Nope does not exist");
    }
    EXPECT_TRUE(HasLine(log, "CommandCamera: Camera Nope does not exist")) << log.Joined();
    EXPECT_DOUBLE_EQ(Model(), 7.0);

    Register("IFMO2D");
    command.cmd.cameraName = "CAM1";  // names match without regard to case
    command.cmd.varTargetPos = "missing";
    try {
        command.cmd.Interpolate(10, 100.0f, &state);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Command: Could not find variable \"missing\"!");
    }
    EXPECT_DOUBLE_EQ(Model(), 7.0);
}

TEST_F(CommandCameraRun, LongNamesAreCutToTheirBuffers) {
    const std::string longName(400, 'n');
    command.cmd.cameraName = longName;
    try {
        command.cmd.Interpolate(10, 100.0f, &state);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), ("CommandCamera: Camera " + longName).substr(0, 127));
    }
    Register("IFMO2D", longName);
    command.cmd.cameraType = std::string(400, 't');
    try {
        command.cmd.Interpolate(10, 100.0f, &state);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).size(), 255u);
    }
    EXPECT_EQ(command.cmd.ToString().size(), 255u);
}

// ---------------------------------------------------------------------------------------
// Plugin

const char* kPluginXml =
    R"(<Plugin Nr="8" PluginName="PluginSmartCameraIFMO2D" VarTargetPos="TARGET" VarModelClass="Model" />)";

TEST(CommandPluginRead, AllThreeAttributesRequiredAndLowerCased) {
    ReadBothWays<CommandPlugin>(
        kPluginXml, "   Nr. 8: Plugin: pluginsmartcameraifmo2d PosVariable: target ClassVariable: model", "",
        [](const CommandPlugin& c) {
            EXPECT_TRUE(c.valid);
            EXPECT_EQ(c.className, "CommandPlugin");
            EXPECT_TRUE(c.IsCombinable());
            EXPECT_EQ(c.pluginName, "pluginsmartcameraifmo2d");
            EXPECT_EQ(c.varTargetPos, "target");
            EXPECT_EQ(c.varModelClass, "model");
            EXPECT_EQ(c.pluginManager, nullptr);
        });
    for (const char* attribute :
         {R"(PluginName="PluginSmartCameraIFMO2D")", R"(VarTargetPos="TARGET")", R"(VarModelClass="Model")"}) {
        std::string xml = kPluginXml;
        xml.erase(xml.find(attribute), std::strlen(attribute));
        ReadBothWays<CommandPlugin>(xml, "", "Could not read CommandPlugin, incomplete arguments",
                                    [](const CommandPlugin& c) { EXPECT_FALSE(c.valid); });
    }
    Loaded<CommandPlugin> l(kPluginXml);
    EXPECT_EQ(l.cmd.ToString(),
              "Command Plugin pluginsmartcameraifmo2d PosVariable: target ClassVariable: model - Pre: 4 - Succ: 6 -2 -2");
}

// Delivers a target on the given call; records what it was handed.
class FakePluginManager : public PluginFramework::PluginManager {
public:
    int ExecutePluginCmdTarget(const std::string& name, int* modelClass, float* joints, float* pose,
                               float* orientation, bool* dIn, bool* dOut) override {
        ++calls;
        lastName = name;
        lastJoints = joints;
        lastDIn = dIn;
        lastDOut = dOut;
        for (int i = 0; i < 12; ++i) {
            handedPose[i] = pose[i];
        }
        handedA = orientation[0];
        if (calls < deliverOnCall) {
            return 0;
        }
        pose[3] = 10.0f;
        pose[7] = 20.0f;
        pose[11] = 30.0f;
        pose[0] = 99.0f;  // only the translation is taken back
        orientation[0] = 90.0f;
        orientation[1] = 0.0f;
        orientation[2] = 0.0f;
        *modelClass = 3;
        return 1;
    }

    int deliverOnCall = 3;
    int calls = 0;
    std::string lastName;
    const float* lastJoints = nullptr;
    const bool* lastDIn = nullptr;
    const bool* lastDOut = nullptr;
    float handedPose[12] = {};
    float handedA = 0.0f;
};

class CommandPluginRun : public VariablesFixture {
protected:
    void SetUp() override {
        command.cmd.memory = &memory;
        command.cmd.pluginManager = &plugins;
    }
    Loaded<CommandPlugin> command{kPluginXml};
    FakePluginManager plugins;
    RobotState state;
};

TEST_F(CommandPluginRun, WaitsUntilThePluginDeliversThenStoresAndLogs) {
    for (int call = 1; call < 3; ++call) {
        TestSupport::LogCapture log;
        EXPECT_EQ(command.cmd.Interpolate(10, 100.0f, &state), -1) << call;
        EXPECT_FALSE(log.Contains("Plugin: X=")) << log.Joined();
        // Stored on every call, with the model class the command started from.
        EXPECT_DOUBLE_EQ(Model(), -1.0);
        ExpectTarget({1.0f, 2.0f, 3.0f}, {0.0f, 0.0f, 0.0f});
    }
    EXPECT_EQ(plugins.lastName, "pluginsmartcameraifmo2d");
    EXPECT_EQ(plugins.lastJoints, state.jointSet);
    EXPECT_EQ(plugins.lastDIn, state.DIn);
    EXPECT_EQ(plugins.lastDOut, state.DOut);
    EXPECT_FLOAT_EQ(plugins.handedPose[3], 1.0f);
    EXPECT_FLOAT_EQ(plugins.handedPose[7], 2.0f);
    EXPECT_FLOAT_EQ(plugins.handedPose[11], 3.0f);
    EXPECT_FLOAT_EQ(plugins.handedPose[0], 1.0f);

    TestSupport::LogCapture log;
    EXPECT_EQ(command.cmd.Interpolate(10, 100.0f, &state), 6);
    EXPECT_TRUE(HasLine(log, "Plugin: X=10.0 Y=20.0 Z=30.0 -- A=90.0 B=0.0 C=0.0  - ModelClass=3")) << log.Joined();
    EXPECT_EQ(plugins.calls, 3);
    ExpectTarget({10.0f, 20.0f, 30.0f}, {90.0f, 0.0f, 0.0f});
    EXPECT_DOUBLE_EQ(Model(), 3.0);
}

TEST_F(CommandPluginRun, ManagerFaultsPassThrough) {
    PluginFramework::PluginManager real;
    command.cmd.pluginManager = &real;
    EXPECT_THROW(
        {
            try {
                command.cmd.Interpolate(10, 100.0f, &state);
            } catch (const std::runtime_error& e) {
                // The camera plug-in exists but was never started.
                EXPECT_STREQ(e.what(), "PluginManager - Camera not connected!");
                throw;
            }
        },
        std::runtime_error);

    command.cmd.pluginManager = nullptr;
    EXPECT_THROW(command.cmd.Interpolate(10, 100.0f, &state), std::runtime_error);

    command.cmd.pluginManager = &plugins;
    command.cmd.varModelClass = "missing";
    EXPECT_THROW(command.cmd.Interpolate(10, 100.0f, &state), std::invalid_argument);
    EXPECT_EQ(plugins.calls, 0);
}

// Camera and Plugin name a position for the target and a number for the model class; the
// other type is refused by name before the device is asked and before anything is stored.
TEST_F(CommandCameraRun, CameraAndPluginRefuseVariablesOfTheWrongType) {
    FakeCamera* camera = Register("IFMO2D");
    FakePluginManager plugins;
    plugins.deliverOnCall = 1;
    Loaded<CommandPlugin> plugin{kPluginXml};
    plugin.cmd.memory = &memory;
    plugin.cmd.pluginManager = &plugins;
    memory.SetVariableSingle("Count", 5.0, true);
    RobotState somewhere;
    somewhere.pose.SetTranslation(4.0f, 5.0f, 6.0f);
    memory.SetVariable(MemoryPosition("Spot", somewhere, false), Programs::ContentUnchanged);
    struct Case {
        const char* targetVariable;
        const char* modelVariable;
        const char* variableInText;
        const char* expectedType;
    };
    for (const Case& k : {Case{"count", "model", "count", "position"}, Case{"target", "spot", "spot", "number"}}) {
        command.cmd.varTargetPos = k.targetVariable;
        command.cmd.varModelClass = k.modelVariable;
        plugin.cmd.varTargetPos = k.targetVariable;
        plugin.cmd.varModelClass = k.modelVariable;
        const std::string tail = std::string(": variable \"") + k.variableInText + "\" is not a " + k.expectedType +
                                 " variable";
        try {
            command.cmd.Interpolate(10, 100.0f, &state);
            ADD_FAILURE() << "Camera accepted " << tail;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), "CommandCamera" + tail);
        }
        try {
            plugin.cmd.Interpolate(10, 100.0f, &state);
            ADD_FAILURE() << "Plugin accepted " << tail;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), "CommandPlugin" + tail);
        }
        EXPECT_EQ(camera->calls, 0);
        EXPECT_EQ(plugins.calls, 0);
        EXPECT_DOUBLE_EQ(Model(), 7.0);
        EXPECT_DOUBLE_EQ(memory.GetVariable("count").value, 5.0);
        EXPECT_FLOAT_EQ(memory.GetVariable("spot").state.pose(0, 3), 4.0f);
        EXPECT_FLOAT_EQ(Target().state.pose(0, 3), 1.0f);
    }
}

}  // namespace
