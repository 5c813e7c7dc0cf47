#include "program/Command.h"

#include "program/ProgramMemory.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using DataTypes::RobotState;
using Programs::MemoryPosition;
using Programs::ProgramMemory;

namespace {

// The smallest concrete command: it only has to read XML.
class PlainCommand : public Command {
public:
    void ReadXML(tinyxml2::XMLElement* /*element*/, bool /*quiet*/) override { valid = true; }
};

TEST(CommandBase, FreshCommandHasTheDocumentedDefaults) {
    PlainCommand cmd;
    EXPECT_TRUE(cmd.combinable);
    EXPECT_EQ(cmd.interpreter, nullptr);
    EXPECT_EQ(cmd.memory, nullptr);
    EXPECT_EQ(cmd.number, 0);
    EXPECT_EQ(cmd.commandType, CMD_LOGIC);
    EXPECT_EQ(static_cast<int>(cmd.commandType), 2);
    EXPECT_EQ(sizeof(CommandType), 4u);
    EXPECT_TRUE(cmd.className.empty());
    EXPECT_TRUE(cmd.valid);
    EXPECT_EQ(cmd.predecessor, -42);
    EXPECT_EQ(cmd.nextSuccessor, -2);
    EXPECT_EQ(cmd.bodySuccessor, -2);
    EXPECT_EQ(cmd.elseSuccessor, -2);
    EXPECT_TRUE(cmd.firstCycle);
    EXPECT_EQ(cmd.nrRobotJoints, 6);
    EXPECT_EQ(cmd.nrExternalJoints, 3);
    for (float v : cmd.jointMaxVelocity) {
        EXPECT_FLOAT_EQ(v, 45.0f);
    }
    EXPECT_FLOAT_EQ(cmd.velJointPercent, 30.0f);
    EXPECT_FLOAT_EQ(cmd.velCartesian, 10.0f);
    EXPECT_FLOAT_EQ(cmd.velRotation, 90.0f);
    EXPECT_FLOAT_EQ(cmd.accPercent, 30.0f);
    EXPECT_FLOAT_EQ(cmd.smoothPercent, 30.0f);
}

TEST(CommandBase, CopyTakesEveryField) {
    ProgramMemory memory;
    PlainCommand cmd;
    cmd.combinable = false;
    cmd.interpreter = reinterpret_cast<IPO*>(&cmd);  // only compared, never used
    cmd.memory = &memory;
    cmd.number = 7;
    cmd.commandType = CMD_CARTESIAN;
    cmd.className = "CommandLinear";
    cmd.valid = false;
    cmd.predecessor = 3;
    cmd.nextSuccessor = 5;
    cmd.bodySuccessor = 6;
    cmd.elseSuccessor = 8;
    cmd.firstCycle = false;
    cmd.nrRobotJoints = 4;
    cmd.nrExternalJoints = 1;
    const double maxima[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9.5};
    cmd.InitJointMaxVelocities(maxima);
    cmd.velJointPercent = 11;
    cmd.velCartesian = 12;
    cmd.velRotation = 13;
    cmd.accPercent = 14;
    cmd.smoothPercent = 15;

    PlainCommand copy(cmd);
    EXPECT_FALSE(copy.combinable);
    EXPECT_EQ(copy.interpreter, cmd.interpreter);
    EXPECT_EQ(copy.memory, &memory);
    EXPECT_EQ(copy.number, 7);
    EXPECT_EQ(copy.commandType, CMD_CARTESIAN);
    EXPECT_EQ(copy.className, "CommandLinear");
    EXPECT_FALSE(copy.valid);
    EXPECT_EQ(copy.predecessor, 3);
    EXPECT_EQ(copy.nextSuccessor, 5);
    EXPECT_EQ(copy.bodySuccessor, 6);
    EXPECT_EQ(copy.elseSuccessor, 8);
    EXPECT_FALSE(copy.firstCycle);
    EXPECT_EQ(copy.nrRobotJoints, 4);
    EXPECT_EQ(copy.nrExternalJoints, 1);
    for (int j = 0; j < 9; ++j) {
        EXPECT_FLOAT_EQ(copy.jointMaxVelocity[j], static_cast<float>(maxima[j])) << j;
    }
    EXPECT_FLOAT_EQ(copy.velJointPercent, 11);
    EXPECT_FLOAT_EQ(copy.velCartesian, 12);
    EXPECT_FLOAT_EQ(copy.velRotation, 13);
    EXPECT_FLOAT_EQ(copy.accPercent, 14);
    EXPECT_FLOAT_EQ(copy.smoothPercent, 15);
}

TEST(CommandBase, ToStringFormatsLogsAndCuts) {
    TestSupport::LogCapture capture;
    PlainCommand cmd;
    EXPECT_EQ(cmd.ToString(), "VCmd : -2 -2 -2");
    EXPECT_EQ(capture.Count("VCmd : -2 -2 -2"), 1);

    cmd.className = "CommandIf";
    cmd.nextSuccessor = 4;
    cmd.bodySuccessor = 2;
    cmd.elseSuccessor = -2;
    EXPECT_EQ(cmd.ToString(), "VCmd CommandIf: 4 2 -2");

    cmd.className = std::string(300, 'n');
    EXPECT_EQ(cmd.ToString().size(), 127u);
}

TEST(CommandBase, IsCombinableOnlyForCombinableLogic) {
    struct Case {
        CommandType type;
        bool combinable;
        bool expected;
    };
    const Case cases[] = {
        {CMD_LOGIC, true, true},     {CMD_LOGIC, false, false},  // Pause, Stop, Wait
        {CMD_JOINT, true, false},    {CMD_CARTESIAN, true, false},
        {CMD_CARTESIAN, false, false},
    };
    for (const Case& c : cases) {
        PlainCommand cmd;
        cmd.commandType = c.type;
        cmd.combinable = c.combinable;
        EXPECT_EQ(cmd.IsCombinable(), c.expected) << c.type << " " << c.combinable;
    }
}

TEST(CommandBase, BaseCycleOperationsReportThemselves) {
    PlainCommand cmd;
    RobotState state;

    testing::internal::CaptureStderr();
    EXPECT_EQ(cmd.Interpolate(4, 100.0f, &state), -1);
    EXPECT_EQ(cmd.InterpolateLogic(4, 100.0f, &state), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("IpoMotionStd\n"), std::string::npos);
    EXPECT_NE(err.find("IpoLogicStd\n"), std::string::npos);

    cmd.firstCycle = false;
    cmd.Init();
    EXPECT_TRUE(cmd.firstCycle);
}

TEST(CommandBase, GetTargetPositionLeavesOutputsUntouched) {
    TestSupport::LogCapture capture;
    PlainCommand cmd;
    RobotState current;
    RobotState target;
    target.A = 12.0f;
    float vel = 1, joint = 2, acc = 3, smooth = 4;
    cmd.GetTargetPosition(&current, &target, vel, joint, acc, smooth);
    EXPECT_FLOAT_EQ(target.A, 12.0f);
    EXPECT_FLOAT_EQ(vel, 1);
    EXPECT_FLOAT_EQ(joint, 2);
    EXPECT_FLOAT_EQ(acc, 3);
    EXPECT_FLOAT_EQ(smooth, 4);
    EXPECT_EQ(capture.Count("Command::GetTargetPosition called but not implemented!"), 1);
}

TEST(CommandBase, EliminateNonexistentJointsZeroesMissingAxes) {
    struct Case {
        int robot;
        int external;
        const char* kept;  // '1' kept, '0' zeroed, per index 0..8
    };
    const Case cases[] = {
        {6, 3, "111111111"},
        {4, 1, "111100100"},
        {1, 0, "100000000"},
        {6, 0, "111111000"},
        {0, 2, "000000110"},
    };
    for (const Case& c : cases) {
        PlainCommand cmd;
        cmd.nrRobotJoints = c.robot;
        cmd.nrExternalJoints = c.external;
        float joints[9];
        for (int j = 0; j < 9; ++j) {
            joints[j] = static_cast<float>(j + 1);
        }
        cmd.EliminateNonexistentJoints(joints);
        for (int j = 0; j < 9; ++j) {
            EXPECT_FLOAT_EQ(joints[j], c.kept[j] == '1' ? static_cast<float>(j + 1) : 0.0f)
                << c.robot << "/" << c.external << " index " << j;
        }
    }
}

// Variable access of commands over a real store.
class CommandVariableTest : public ::testing::Test {
protected:
    CommandVariableTest() {
        cmd.memory = &memory;
        RobotState s;
        s.pose.SetTranslation(10.0f, 20.0f, 30.0f);
        s.A = 40.0f;
        s.B = 50.0f;
        s.C = 60.0f;
        for (int j = 0; j < 9; ++j) {
            s.jointSet[j] = 101.0f + j;
        }
        memory.SetVariable(MemoryPosition("Pos", s, false), Programs::ContentUnchanged);
        memory.SetVariable(MemoryPosition("Count", 2.5, false), Programs::ContentNumber);
        memory.changeCallback = [this](const MemoryPosition& v) {
            changedNames.push_back(v.name);
        };
    }

    template <typename F>
    static std::string ThrownText(F f) {
        try {
            f();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "(nothing thrown)";
    }

    ProgramMemory memory;
    PlainCommand cmd;
    std::vector<std::string> changedNames;
};

TEST_F(CommandVariableTest, PositionElementsByNameInAnyCase) {
    const std::pair<const char*, float> elements[] = {
        {"x", 10},  {"Y", 20},  {"z", 30},  {"A", 40},  {"b", 50},  {"C", 60},
        {"A1", 101}, {"a2", 102}, {"a3", 103}, {"a4", 104}, {"a5", 105}, {"A6", 106},
        {"e1", 107}, {"E2", 108}, {"e3", 109},
    };
    for (const auto& e : elements) {
        EXPECT_FLOAT_EQ(cmd.GetVariablePositionElement("POS", e.first), e.second) << e.first;
    }
    for (const auto& e : elements) {
        cmd.SetVariablePositionElement("pos", e.first, e.second + 1000.0f);
    }
    for (const auto& e : elements) {
        EXPECT_FLOAT_EQ(cmd.GetVariablePositionElement("pos", e.first), e.second + 1000.0f)
            << e.first;
    }
    // Joint-only edits do not count as a change of the position (joints are not compared).
    EXPECT_EQ(changedNames, std::vector<std::string>(6, "pos"));
}

TEST_F(CommandVariableTest, NumberValuesReadAndWriteThroughTheStore) {
    EXPECT_FLOAT_EQ(cmd.GetVariableNumberValue("COUNT"), 2.5f);
    cmd.SetVariableNumberValue("count", 7.25f);
    EXPECT_DOUBLE_EQ(memory.GetVariable("count").value, 7.25);
    EXPECT_EQ(changedNames, std::vector<std::string>{"count"});

    MemoryPosition out;
    EXPECT_TRUE(cmd.GetVariableFromProgramMemory("Count", &out));
    EXPECT_EQ(out.name, "count");
    EXPECT_EQ(out.type, MemoryPosition::TypeNumber);
}

TEST_F(CommandVariableTest, AccessFaultsThrowWithTheirTextsAndLogLines) {
    struct Case {
        const char* what;
        std::function<void()> call;
        const char* exceptionText;
        const char* logLine;
    };
    PlainCommand unbound;
    MemoryPosition out;
    const Case cases[] = {
        {"no memory", [&] { unbound.GetVariableNumberValue("count"); },
         "Command: memory not initialized", "ERROR in CMD: memory not initialized!"},
        {"unknown name", [&] { cmd.GetVariableFromProgramMemory("Nope", &out); },
         "Command: Could not find variable \"Nope\"!", "Command: Could not find variable \"Nope\"!"},
        {"number of a position", [&] { cmd.GetVariableNumberValue("pos"); },
         "GetFromMemory: wrong var type", "Memory: Variable pos is not a number variable!"},
        {"set number of a position", [&] { cmd.SetVariableNumberValue("pos", 1.0f); },
         "GetFromMemory: wrong var type",
         "Memory SetVarNumberValue: Variable pos is not a number variable!"},
        {"unknown element", [&] { cmd.GetVariablePositionElement("pos", "q"); },
         "GetFromMemory: wrong element access", "Memory: wrong element access: q"},
        {"joint beyond a6", [&] { cmd.GetVariablePositionElement("pos", "a7"); },
         "GetFromMemory: wrong element access", "Memory: wrong element access: a7"},
        {"element of a number", [&] { cmd.GetVariablePositionElement("Count", "x"); },
         "GetFromMemory: wrong var type", "Memory: Variable Count is not a position variable!"},
        {"set unknown element", [&] { cmd.SetVariablePositionElement("pos", "e4", 1.0f); },
         "GetFromMemory: wrong element access", "Memory SetElement: wrong element access: e4"},
        {"set element of a number", [&] { cmd.SetVariablePositionElement("count", "x", 1.0f); },
         "GetFromMemory: wrong var type",
         "Memory SetElement: Variable count is not a position variable!"},
    };
    for (const Case& c : cases) {
        TestSupport::LogCapture capture;
        EXPECT_EQ(ThrownText(c.call), c.exceptionText) << c.what;
        EXPECT_EQ(capture.Count(c.logLine), 1) << c.what;
    }
    EXPECT_THROW(unbound.GetVariableNumberValue("count"), std::runtime_error);
    EXPECT_THROW(cmd.GetVariableNumberValue("pos"), std::invalid_argument);
    EXPECT_THROW(cmd.GetVariableFromProgramMemory("nope", &out), std::invalid_argument);
    EXPECT_TRUE(changedNames.empty());  // no failed write reached the store
}

TEST(CommandXml, AttributeReadersReturnValuesOrThrowByName) {
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse("<Cmd count=\"12\" neg=\"-3\" vel=\"abc\" speed=\"2.5\" on=\"true\" "
                        "off=\"0\" name=\"Pallet A\" empty=\"\"/>"),
              tinyxml2::XML_SUCCESS);
    const tinyxml2::XMLElement& e = *doc.FirstChildElement("Cmd");

    EXPECT_EQ(Command::ReadInt(e, "count"), 12);
    EXPECT_EQ(Command::ReadInt(e, "neg"), -3);
    EXPECT_FLOAT_EQ(Command::ReadFloat(e, "speed"), 2.5f);
    EXPECT_FLOAT_EQ(Command::ReadFloat(e, "count"), 12.0f);
    EXPECT_TRUE(Command::ReadBool(e, "on"));
    EXPECT_FALSE(Command::ReadBool(e, "off"));
    EXPECT_EQ(Command::ReadString(e, "name"), "Pallet A");
    EXPECT_EQ(Command::ReadString(e, "empty"), "");

    struct Case {
        const char* what;
        std::function<void()> read;
        bool notFound;
        const char* text;
    };
    const Case cases[] = {
        {"float of text", [&] { Command::ReadFloat(e, "vel"); }, false, "Could not parse attribute 'vel'"},
        {"int of text", [&] { Command::ReadInt(e, "vel"); }, false, "Could not parse attribute 'vel'"},
        {"bool of text", [&] { Command::ReadBool(e, "name"); }, false, "Could not parse attribute 'name'"},
        {"int of nothing", [&] { Command::ReadInt(e, "empty"); }, false, "Could not parse attribute 'empty'"},
        {"missing int", [&] { Command::ReadInt(e, "Count"); }, true, "Could not find attribute 'Count'"},
        {"missing float", [&] { Command::ReadFloat(e, "x"); }, true, "Could not find attribute 'x'"},
        {"missing bool", [&] { Command::ReadBool(e, "y"); }, true, "Could not find attribute 'y'"},
        {"missing string", [&] { Command::ReadString(e, "z"); }, true, "Could not find attribute 'z'"},
    };
    for (const Case& c : cases) {
        try {
            c.read();
            ADD_FAILURE() << c.what << ": nothing thrown";
        } catch (const XMLAttribNotFoundException& ex) {
            EXPECT_TRUE(c.notFound) << c.what;
            EXPECT_STREQ(ex.what(), c.text) << c.what;
        } catch (const XMLAttribParseException& ex) {
            EXPECT_FALSE(c.notFound) << c.what;
            EXPECT_STREQ(ex.what(), c.text) << c.what;
        }
    }
}

TEST(CommandXml, ExceptionFamilyCatchesAsXmlExceptionAndRuntimeError) {
    EXPECT_THROW(throw XMLAttribParseException("a"), XMLException);
    EXPECT_THROW(throw XMLAttribNotFoundException("a"), XMLException);
    EXPECT_THROW(throw XMLException("free text"), std::runtime_error);
    EXPECT_STREQ(XMLException("free text").what(), "free text");
}

}  // namespace
