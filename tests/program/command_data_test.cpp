#include "program/CommandMathFunction.h"
#include "program/CommandStoreData.h"
#include "program/CommandSystem.h"

#include "program/ProgramMemory.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using DataTypes::RobotState;
using Programs::MemoryPosition;
using Programs::ProgramMemory;

namespace {

template <typename T>
std::unique_ptr<T> Read(const std::string& xml, bool quiet = true) {
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
    auto cmd = std::make_unique<T>();
    cmd->ReadXML(doc.FirstChildElement(), quiet);
    return cmd;
}

// The fifteen values a whole-position operation works on: x, y, z, A, B, C, a1..a6, e1..e3.
std::vector<float> Components(const RobotState& s) {
    std::vector<float> v = {s.pose.m[3], s.pose.m[7], s.pose.m[11], s.A, s.B, s.C};
    v.insert(v.end(), s.jointSet, s.jointSet + 9);
    return v;
}

RobotState FromComponents(const std::vector<float>& v, float rotationA = 0.0f) {
    RobotState s;
    s.pose.SetRotationABCDeg2(rotationA, 0.0, 0.0);
    s.pose.SetTranslation(v[0], v[1], v[2]);
    s.A = v[3];
    s.B = v[4];
    s.C = v[5];
    for (int j = 0; j < 9; ++j) {
        s.jointSet[j] = v[6 + j];
    }
    return s;
}

// ---- Store ----

struct StoreReadCase {
    const char* xml;
    bool valid;
    const char* line;
};

const StoreReadCase kStoreReads[] = {
    {R"(<Store Nr="1" Type="number" Name="Count" Value="2.5" />)", true,
     "   Nr. 1: Store number Variable: count Value: 2.500000"},
    {R"(<Store Nr="1" Type="number" Name="Count" />)", true, "   Nr. 1: Store number Variable: count Value: 0.000000"},
    {R"(<Store Nr="1" Type="number" Name="Count" Value="abc" />)", true,
     "   Nr. 1: Store number Variable: count Value: 0.000000"},
    {R"(<Store Nr="2" Type="position" Name="P" Value="100 0 250 0 90 0" />)", true,
     "   Nr. 2: Store position Variable: p Value: X=100.0 Y=0.0 Z=250.0 A=0.0 B=90.0 C=0.0 A1=0.0 A2=0.0 A3=0.0 "
     "A4=0.0 A5=0.0 A6=0.0 E1=0.0 E2=0.0 E3=0.0"},
    {R"(<Store Nr="2" Type="position" Name="P" Value="1 2 3 4 5 6" ValueJoints="1 2 3 4 5 6 7 8 9" />)", true,
     "   Nr. 2: Store position Variable: p Value: X=1.0 Y=2.0 Z=3.0 A=4.0 B=5.0 C=6.0 A1=1.0 A2=2.0 A3=3.0 "
     "A4=4.0 A5=5.0 A6=6.0 E1=7.0 E2=8.0 E3=9.0"},
    {R"(<Store Nr="2" Type="position" Name="P" Value="1 2 3 4 5 6" ValueJoints="1 2 3 4 5 6 7 8" />)", true,
     "   Nr. 2: Store position Variable: p Value: X=1.0 Y=2.0 Z=3.0 A=4.0 B=5.0 C=6.0 A1=0.0 A2=0.0 A3=0.0 "
     "A4=0.0 A5=0.0 A6=0.0 E1=0.0 E2=0.0 E3=0.0"},
    {R"(<Store Nr="3" Type="position" Name="P" Value="1 2 3" />)", true,
     "   Nr. 3: Store position Variable: p Value: current position"},
    {R"(<Store Nr="3" Type="position" Name="P" />)", true, "   Nr. 3: Store position Variable: p Value: current position"},
    {R"(<Store Nr="4" Type="Number" Name="P" Value="1" />)", false, "ERROR: could not read StoreData cmd, wrong type!"},
    {R"(<Store Nr="4" Name="P" Value="1" />)", false, "Could not read CommandStoreData, incomplete arguments"},
    {R"(<Store Nr="4" Type="number" Value="1" />)", false, "Could not read CommandStoreData, incomplete arguments"},
};

TEST(StoreRead, ValidFlagAndExactLineWhetherQuietOrNot) {
    for (const StoreReadCase& c : kStoreReads) {
        for (const bool quiet : {false, true}) {
            TestSupport::LogCapture log;
            EXPECT_EQ(Read<CommandStoreData>(c.xml, quiet)->valid, c.valid) << c.xml;
            EXPECT_EQ(log.Count(c.line), 1) << c.xml << "\n" << log.Joined();
        }
    }
}

TEST(StoreRead, Fields) {
    auto number = Read<CommandStoreData>(R"(<Store Type="number" Name="Count" Value="2.5" />)");
    EXPECT_EQ(number->name, "count");
    EXPECT_EQ(number->type, "number");
    EXPECT_FLOAT_EQ(number->numberValue, 2.5f);
    EXPECT_EQ(number->className, "CommandStoreData");
    EXPECT_TRUE(number->IsCombinable());

    auto given = Read<CommandStoreData>(R"(<Store Type="position" Name="P" Value=" 100  0 250 0 90 0" />)");
    EXPECT_FALSE(given->useCurrentPosition);
    EXPECT_FLOAT_EQ(given->position.z, 250.0f);
    EXPECT_FLOAT_EQ(given->orientation.y, 90.0f);

    auto current = Read<CommandStoreData>(R"(<Store Type="position" Name="P" Value="1 2 3" />)");
    EXPECT_TRUE(current->useCurrentPosition);
}

class DataRun : public ::testing::Test {
protected:
    DataRun() {
        state = FromComponents({7, 8, 9, 10, 11, 12, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 30.0f);
        state.DOut[5] = true;
    }
    template <typename T>
    int Run(T& cmd) {
        cmd.memory = &memory;
        cmd.nextSuccessor = 11;
        return cmd.Interpolate(10, 100.0f, &state);
    }

    ProgramMemory memory;
    RobotState state;
};

TEST_F(DataRun, StoreNumberCreatesThenReplaces) {
    auto cmd = Read<CommandStoreData>(R"(<Store Type="number" Name="Count" Value="2.5" />)");
    EXPECT_EQ(Run(*cmd), 11);
    EXPECT_EQ(memory.GetVariableType("COUNT"), MemoryPosition::TypeNumber);
    EXPECT_DOUBLE_EQ(memory.GetVariable("count").value, 2.5);
    memory.SetVariableSingle("count", 9.0, false);
    Run(*cmd);
    EXPECT_DOUBLE_EQ(memory.GetVariable("count").value, 2.5);
}

TEST_F(DataRun, StoreGivenPositionKeepsTheCyclesRotationAndOtherFields) {
    auto cmd = Read<CommandStoreData>(R"(<Store Type="position" Name="P" Value="100 0 250 0 90 0" />)");
    EXPECT_EQ(Run(*cmd), 11);
    const MemoryPosition p = memory.GetVariable("p");
    EXPECT_EQ(p.type, MemoryPosition::TypePosition);
    EXPECT_EQ(Components(p.state), (std::vector<float>{100, 0, 250, 0, 90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FLOAT_EQ(p.state.pose.m[0], state.pose.m[0]);  // rotation of the cycle, not rebuilt
    EXPECT_FLOAT_EQ(p.state.pose.m[1], state.pose.m[1]);
    EXPECT_TRUE(p.state.DOut[5]);
}

TEST_F(DataRun, StoreCurrentPositionTakesTheWholeState) {
    auto cmd = Read<CommandStoreData>(R"(<Store Type="position" Name="Here" Value="1 2 3" />)");
    Run(*cmd);
    const MemoryPosition p = memory.GetVariable("here");
    EXPECT_EQ(Components(p.state), Components(state));
    EXPECT_TRUE(p.state.pose.Equals(state.pose, 0.0f));
}

TEST_F(DataRun, StoreOfAnUnknownTypeEndsTheProgram) {
    auto cmd = Read<CommandStoreData>(R"(<Store Type="number" Name="x" Value="1" />)");
    cmd->type = "text";
    TestSupport::LogCapture log;
    EXPECT_EQ(Run(*cmd), -2);
    EXPECT_TRUE(log.Contains("ERROR - StoreData: var type not correct!"));
    EXPECT_FALSE(memory.HasVariable("x"));
}

// ---- MathOperator ----

TEST(MathRead, LowerCasesAndAlwaysLogs) {
    for (const bool quiet : {false, true}) {
        TestSupport::LogCapture log;
        auto cmd = Read<CommandMathFunction>(
            R"(<MathOperator Nr="8" Function="ADD" FirstOperand="Count" SecondOperand="P.X" />)", quiet);
        EXPECT_TRUE(cmd->valid);
        EXPECT_EQ(cmd->function, "add");
        EXPECT_EQ(cmd->firstOperand, "count");
        EXPECT_EQ(cmd->secondOperand, "p.x");
        EXPECT_EQ(log.Count("   Nr. 8: Math add FirstOp: count SecondOp: p.x"), 1) << log.Joined();
    }
    TestSupport::LogCapture log;
    auto incomplete = Read<CommandMathFunction>(R"(<MathOperator Function="add" FirstOperand="n" />)");
    EXPECT_FALSE(incomplete->valid);
    EXPECT_TRUE(log.Contains("Could not read CommandMathFunction, incomplete arguments"));
    // The function name is checked only when the command runs.
    EXPECT_TRUE(Read<CommandMathFunction>(R"(<MathOperator Function="power" FirstOperand="n" SecondOperand="2" />)")
                    ->valid);
}

const std::vector<float> kP = {10, 20, 30, 1, 2, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9};
const std::vector<float> kQ = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

std::vector<float> Map(const std::vector<float>& a, const std::vector<float>& b, float (*f)(float, float)) {
    std::vector<float> r(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        r[i] = f(a[i], b[i]);
    }
    return r;
}
std::vector<float> Scaled(const std::vector<float>& a, float (*f)(float, float), float s) {
    return Map(a, std::vector<float>(a.size(), s), f);
}
std::vector<float> With(std::vector<float> v, int index, float value) {
    v[index] = value;
    return v;
}

enum class Expect { Number, Position, InvalidArgument, RuntimeError };

struct MathCase {
    const char* function;
    const char* first;
    const char* second;
    Expect expect;
    const char* variable;  // the variable checked, or the exception text
    double number;
    std::vector<float> position;
};

std::vector<MathCase> MathCases() {
    auto add = [](float a, float b) { return a + b; };
    auto sub = [](float a, float b) { return a - b; };
    auto mul = [](float a, float b) { return a * b; };
    auto div = [](float a, float b) { return a / b; };
    auto mod = [](float a, float b) { return std::fmod(a, b); };
    const char* invalidOp = "Invalid operation in MathOperator";
    const char* unknown = "Unknown operation in MathOperator";
    return {
        // Scalars: number variables (n = 2, m = 4), literals and position elements.
        {"add", "n", "3", Expect::Number, "n", 5, {}},
        {"subtract", "n", "3", Expect::Number, "n", -1, {}},
        {"set", "n", "3", Expect::Number, "n", 3, {}},
        {"multiply", "n", "3", Expect::Number, "n", 6, {}},
        {"divide", "n", "4", Expect::Number, "n", 0.5, {}},
        {"modulus", "n", "1.5", Expect::Number, "n", 0.5, {}},
        {"Add", "N", "-2.5", Expect::Number, "n", -0.5, {}},
        {"add", "n", "3mm", Expect::Number, "n", 5, {}},
        {"add", "n", "m", Expect::Number, "n", 6, {}},
        {"add", "n", "p.x", Expect::Number, "n", 12, {}},
        {"multiply", "n", "p.E3", Expect::Number, "n", 18, {}},
        {"divide", "n", "0", Expect::Number, "n", INFINITY, {}},
        {"set", "p.z", "100", Expect::Position, "p", 0, With(kP, 2, 100)},
        {"add", "p.a1", "n", Expect::Position, "p", 0, With(kP, 6, 3)},
        {"multiply", "p.c", "q.b", Expect::Position, "p", 0, With(kP, 5, 15)},
        {"power", "n", "3", Expect::InvalidArgument, "Unknown operation in MathOperator!", 0, {}},
        {"add", "n", "p", Expect::InvalidArgument, "Invalid second operand, must be scalar", 0, {}},
        {"add", "n", "nothing", Expect::InvalidArgument, "Invalid second operand, must be scalar", 0, {}},
        {"add", "n", "p.q", Expect::InvalidArgument, "GetFromMemory: wrong element access", 0, {}},
        {"add", "n.x", "1", Expect::InvalidArgument, "GetFromMemory: wrong var type", 0, {}},
        {"add", "n", "nope.x", Expect::InvalidArgument, "Command: Could not find variable \"nope\"!", 0, {}},
        // Whole positions.
        {"add", "p", "q", Expect::Position, "p", 0, Map(kP, kQ, add)},
        {"subtract", "p", "q", Expect::Position, "p", 0, Map(kP, kQ, sub)},
        {"set", "p", "q", Expect::Position, "p", 0, kQ},
        {"multiply", "p", "2", Expect::Position, "p", 0, Scaled(kP, mul, 2)},
        {"divide", "p", "n", Expect::Position, "p", 0, Scaled(kP, div, 2)},
        {"modulus", "p", "4", Expect::Position, "p", 0, Scaled(kP, mod, 4)},
        {"multiply", "p", "q", Expect::InvalidArgument, invalidOp, 0, {}},
        {"divide", "p", "q", Expect::InvalidArgument, invalidOp, 0, {}},
        {"modulus", "p", "q", Expect::InvalidArgument, invalidOp, 0, {}},
        {"add", "p", "2", Expect::InvalidArgument, invalidOp, 0, {}},
        {"subtract", "p", "2", Expect::InvalidArgument, invalidOp, 0, {}},
        {"set", "p", "2", Expect::InvalidArgument, invalidOp, 0, {}},
        {"power", "p", "q", Expect::InvalidArgument, unknown, 0, {}},
        {"power", "p", "2", Expect::InvalidArgument, unknown, 0, {}},
        {"add", "nope", "2", Expect::RuntimeError, "Variable nope is not defined", 0, {}},
        {"add", "p", "nope", Expect::RuntimeError, "Variable nope is not defined", 0, {}},
        // Operands with "." that do not name one element.
        {"add", ".x", "1", Expect::InvalidArgument, "MathOperator: invalid operand \".x\", expected variable.element", 0,
         {}},
        {"add", "n", "p.", Expect::InvalidArgument, "MathOperator: invalid operand \"p.\", expected variable.element", 0,
         {}},
        {"add", "p.x.y", "1", Expect::InvalidArgument,
         "MathOperator: invalid operand \"p.x.y\", expected variable.element", 0, {}},
    };
}

TEST(MathRun, EveryFunctionOverScalarsElementsAndPositions) {
    for (const MathCase& c : MathCases()) {
        SCOPED_TRACE(std::string(c.function) + " " + c.first + " " + c.second);
        ProgramMemory memory;
        memory.SetVariableSingle("n", 2.0, true);
        memory.SetVariableSingle("m", 4.0, true);
        // p turned 90 degrees about z: a whole-position result keeps p's rotation part.
        memory.SetVariable(MemoryPosition("p", FromComponents(kP, 90.0f), false), Programs::ContentUnchanged);
        memory.SetVariable(MemoryPosition("q", FromComponents(kQ), false), Programs::ContentUnchanged);

        auto cmd = Read<CommandMathFunction>(std::string("<MathOperator Function=\"") + c.function +
                                             "\" FirstOperand=\"" + c.first + "\" SecondOperand=\"" + c.second +
                                             "\" />");
        ASSERT_TRUE(cmd->valid);
        cmd->memory = &memory;
        cmd->nextSuccessor = 3;
        RobotState cycle;
        const auto run = [&] { return cmd->Interpolate(10, 100.0f, &cycle); };

        switch (c.expect) {
            case Expect::Number:
                EXPECT_EQ(run(), 3);
                EXPECT_EQ(memory.GetVariableType(c.variable), MemoryPosition::TypeNumber);
                EXPECT_FLOAT_EQ(static_cast<float>(memory.GetVariable(c.variable).value), static_cast<float>(c.number));
                break;
            case Expect::Position: {
                EXPECT_EQ(run(), 3);
                const MemoryPosition v = memory.GetVariable(c.variable);
                EXPECT_EQ(v.type, MemoryPosition::TypePosition);
                const std::vector<float> got = Components(v.state);
                for (size_t i = 0; i < got.size(); ++i) {
                    EXPECT_FLOAT_EQ(got[i], c.position[i]) << "component " << i;
                }
                EXPECT_NEAR(v.state.pose.m[1], -1.0f, 1e-6f);  // Rz(90): rotation part unchanged
                break;
            }
            case Expect::InvalidArgument:
            case Expect::RuntimeError:
                try {
                    run();
                    ADD_FAILURE() << "no exception";
                } catch (const std::invalid_argument& e) {
                    EXPECT_EQ(c.expect, Expect::InvalidArgument);
                    EXPECT_STREQ(e.what(), c.variable);
                } catch (const std::runtime_error& e) {
                    EXPECT_EQ(c.expect, Expect::RuntimeError);
                    EXPECT_STREQ(e.what(), c.variable);
                }
                // Every fault comes before the store.
                EXPECT_DOUBLE_EQ(memory.GetVariable("n").value, 2.0);
                EXPECT_EQ(Components(memory.GetVariable("p").state), kP);
                break;
        }
    }
}

TEST(MathRun, MemoryIsRequired) {
    auto cmd = Read<CommandMathFunction>(R"(<MathOperator Function="add" FirstOperand="n" SecondOperand="1" />)");
    RobotState cycle;
    EXPECT_THROW(cmd->Interpolate(10, 100.0f, &cycle), std::runtime_error);
}

TEST(SplitString, NonEmptyPiecesBetweenDelimiters) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Programs::SplitString("p.x", "."), (V{"p", "x"}));
    EXPECT_EQ(Programs::SplitString("..p..x..", "."), (V{"p", "x"}));
    EXPECT_EQ(Programs::SplitString("abc", "."), (V{"abc"}));
    EXPECT_EQ(Programs::SplitString("", "."), V{});
    EXPECT_EQ(Programs::SplitString("...", "."), V{});
    EXPECT_EQ(Programs::SplitString("a,b; c", ",; "), (V{"a", "b", "c"}));
}

// ---- System and the lines ----

TEST_F(DataRun, SystemLogsItsLine) {
    auto cmd = Read<CommandSystem>("<System />");
    EXPECT_TRUE(cmd->valid);
    EXPECT_EQ(cmd->className, "CommandSystem");
    TestSupport::LogCapture log;
    EXPECT_EQ(Run(*cmd), 11);
    EXPECT_EQ(log.Count("System"), 1);
}

TEST(DataRead, ToStringLines) {
    auto store = Read<CommandStoreData>(R"(<Store Type="number" Name="Count" Value="1" />)");
    store->predecessor = 2;
    store->nextSuccessor = 4;
    EXPECT_EQ(store->ToString(), "Command Store count - Pre: 2 - Succ: 4 -2 -2");
    auto math = Read<CommandMathFunction>(R"(<MathOperator Function="add" FirstOperand="n" SecondOperand="1" />)");
    EXPECT_EQ(math->ToString(), "Command Math add FirstOp: n SecondOp: 1 - Pre: -42 - Succ: -2 -2 -2");
    EXPECT_EQ(CommandSystem().ToString(), "CommandSystem - Pre: -42 - Succ: -2 -2 -2");
    // Long names are cut, never overrun.
    store->name = std::string(3000, 'n');
    EXPECT_EQ(store->ToString().size(), 1023u);
}

}  // namespace
