#include "program/CommandMatrix.h"
#include "program/CommandMatrixDefinition.h"
#include "program/CommandMatrixQuery.h"

#include "kinematics/RobotKinematic.h"
#include "testsupport/PlanarKinematic.h"
#include "program/ProgramMemory.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using DataTypes::RobotState;
using Programs::MemoryPosition;
using Programs::ProgramMemory;

namespace {

// Joints 0..2 are the translation, joint 3 the turn A about z; external axes pass.
using FakeKinematic = TestSupport::PlanarKinematicT<true>;

template <typename T>
std::unique_ptr<T> Read(const std::string& xml, bool quiet = true) {
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
    auto cmd = std::make_unique<T>();
    cmd->ReadXML(doc.FirstChildElement(), quiet);
    return cmd;
}

RobotState Corner(float x, float y, float z, float a = 0.0f, float j0 = 0.0f) {
    RobotState s;
    s.A = a;
    s.UpdateMatrixFromABC();
    s.pose.SetTranslation(x, y, z);
    s.jointSet[0] = j0;
    return s;
}

// ---- Reading ----

struct ReadCase {
    const char* xml;
    bool valid;
    const char* line;
};

const char* kMatrix =
    R"(<Matrix Nr="4" CntX="3" CntY="2" VarPointA="pA" VarPointB="pB" VarPointC="pC" VarTargetPos="Target" )"
    R"(VarCntX="cx" VarCntY="cy" />)";

const ReadCase kReads[] = {
    {kMatrix, true, "   Nr. 4: Matrix: [3,2] A: pA, B: pB, C: pC, Target: Target, cntX: cx, cntY: cy"},
    {R"(<Matrix Nr="4" CntX="1" CntY="2" VarPointA="pA" VarPointB="pB" VarPointC="pC" VarTargetPos="T" VarCntX="cx" )"
     R"(VarCntY="cy" />)",
     true, "   Nr. 4: Matrix: [1,2] A: pA, B: pB, C: pC, Target: T, cntX: cx, cntY: cy"},
    {R"(<Matrix Nr="4" CntX="3" CntY="2" VarPointA="pA" VarPointB="pB" VarPointC="pC" VarTargetPos="T" VarCntX="cx" />)",
     false, "Could not read CommandMatrix, incomplete arguments"},
    {R"(<Matrix Nr="4" CntY="2" VarPointA="pA" VarPointB="pB" VarPointC="pC" VarTargetPos="T" VarCntX="cx" )"
     R"(VarCntY="cy" />)",
     false, "Could not read CommandMatrix, incomplete arguments"},
    {R"(<Matrix Nr="4" CntX="0" CntY="2" VarPointA="pA" VarPointB="pB" VarPointC="pC" VarTargetPos="T" VarCntX="cx" )"
     R"(VarCntY="cy" />)",
     false, "   Nr. 4: ERROR Matrix: [0,2] needs at least one place in each direction"},
    // A count beyond int is unreadable, not cut to 32 bits (4294967299 would be 3).
    {R"(<Matrix Nr="4" CntX="4294967299" CntY="2" VarPointA="pA" VarPointB="pB" VarPointC="pC" VarTargetPos="T" )"
     R"(VarCntX="cx" VarCntY="cy" />)",
     false, "Could not read CommandMatrix, incomplete arguments"},
    {R"(<MatrixDefinition Nr="2" CntX="3" CntY="2" Name="Pal" VarPointA="pA" VarPointB="pB" VarPointC="pC" />)", true,
     "   Nr. 2: MatrixDefinition: Pal [3,2] A: pA, B: pB, C: pC"},
    {R"(<MatrixDefinition Nr="2" CntX="3" Name="Pal" VarPointA="pA" VarPointB="pB" VarPointC="pC" />)", false,
     "Error: Could not read MatrixDefinition: Could not find attribute 'CntY'"},
    {R"(<MatrixDefinition Nr="2" CntX="three" CntY="2" Name="Pal" VarPointA="pA" VarPointB="pB" VarPointC="pC" />)",
     false, "Error: Could not read MatrixDefinition: Could not parse attribute 'CntX'"},
    {R"(<MatrixDefinition Nr="2" CntX="3" CntY="4294967298" Name="Pal" VarPointA="pA" VarPointB="pB" VarPointC="pC" />)",
     false, "Error: Could not read MatrixDefinition: Could not parse attribute 'CntY'"},
    {R"(<MatrixDefinition Nr="2" CntX="0" CntY="2" Name="Pal" VarPointA="pA" VarPointB="pB" VarPointC="pC" />)", false,
     "Error: Could not read MatrixDefinition: CntX and CntY must be 1 or more"},
    {R"(<MatrixDefinition Nr="2" CntX="3" CntY="-1" Name="Pal" VarPointA="pA" VarPointB="pB" VarPointC="pC" />)", false,
     "Error: Could not read MatrixDefinition: CntX and CntY must be 1 or more"},
    {R"(<MatrixQuery Nr="3" Name="Pal" VarIndex="i" VarTargetPos="T" VarCntX="cx" VarCntY="cy" />)", true,
     "   Nr. 3: MatrixQuery: Pal, Index: i, Target: T, cntX: cx, cntY: cy"},
    {R"(<MatrixQuery Nr="3" Name="Pal" VarIndex="i" VarTargetPos="T" VarCntY="cy" />)", false,
     "Error: Could not read MatrixQuery: Could not find attribute 'VarCntX'"},
    {R"(<MatrixQuery Name="Pal" VarIndex="i" VarTargetPos="T" VarCntX="cx" VarCntY="cy" />)", false,
     "Error: Could not read MatrixQuery: Could not find attribute 'Nr'"},
};

bool ReadValid(const std::string& xml, bool quiet) {
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
    const std::string tag = doc.FirstChildElement()->Name();
    std::unique_ptr<Command> cmd;
    if (tag == "Matrix") cmd = std::make_unique<CommandMatrix>();
    if (tag == "MatrixDefinition") cmd = std::make_unique<CommandMatrixDefinition>();
    if (tag == "MatrixQuery") cmd = std::make_unique<CommandMatrixQuery>();
    cmd->ReadXML(doc.FirstChildElement(), quiet);
    return cmd->valid;
}

TEST(PalletRead, ValidFlagAndExactLineWhetherQuietOrNot) {
    for (const ReadCase& c : kReads) {
        for (const bool quiet : {false, true}) {
            TestSupport::LogCapture log;
            EXPECT_EQ(ReadValid(c.xml, quiet), c.valid) << c.xml;
            EXPECT_EQ(log.Count(c.line), 1) << c.xml << "\n" << log.Joined();
        }
    }
}

TEST(PalletRead, FieldsAndLines) {
    auto matrix = Read<CommandMatrix>(kMatrix);
    EXPECT_EQ(matrix->CntX, 3);
    EXPECT_EQ(matrix->CntY, 2);
    EXPECT_EQ(matrix->varTargetPos, "Target");
    EXPECT_TRUE(matrix->IsCombinable());
    EXPECT_EQ(matrix->ToString(),
              "Command Matrix [3,2] A: pA, B: pB, C: pC, Target: Target, cntX: cx, cntY: cy - Pre: -42 - Succ: -2 -2 -2");

    auto def = Read<CommandMatrixDefinition>(
        R"(<MatrixDefinition Nr="2" CntX="3" CntY="2" Name="Pal" VarPointA="pA" VarPointB="pB" VarPointC="pC" />)");
    EXPECT_EQ(def->className, "CommandMatrixDefinition");
    EXPECT_EQ(def->ToString(), "Command MatrixDefinition Pal [3,2] A: pA, B: pB, C: pC - Pre: -42 - Succ: -2 -2 -2");

    auto query = Read<CommandMatrixQuery>(
        R"(<MatrixQuery Nr="3" Name="Pal" VarIndex="i" VarTargetPos="T" VarCntX="cx" VarCntY="cy" />)");
    EXPECT_EQ(query->className, "CommandMatrixQuery");
    EXPECT_EQ(query->ToString(), "Command MatrixQuery Pal, Index: i, Target: T, cntX: cx, cntY: cy - Pre: -42 - Succ: -2 -2 -2");
}

// ---- Running ----

// Corners A (0, 0, 0), B (200, 0, 0), C (0, 100, 0); B is turned A = 30 and has joint 0 at
// 20, so angles and joints are interpolated along the rows too.
class PalletRun : public ::testing::Test {
protected:
    PalletRun() {
        memory.SetKinematic(std::make_unique<FakeKinematic>());
        memory.SetRobotState(&live);
        SetCorners(Corner(0, 0, 0), Corner(200, 0, 0, 30, 20), Corner(0, 100, 0));
    }
    void SetCorners(const RobotState& a, const RobotState& b, const RobotState& c) {
        memory.SetVariable(MemoryPosition("pA", a, false), Programs::ContentUnchanged);
        memory.SetVariable(MemoryPosition("pB", b, false), Programs::ContentUnchanged);
        memory.SetVariable(MemoryPosition("pC", c, false), Programs::ContentUnchanged);
    }
    int Run(Command& cmd) {
        cmd.memory = &memory;
        return cmd.Interpolate(10, 100.0f, &cycle);
    }
    std::unique_ptr<CommandMatrix> Matrix(int cntX, int cntY) {
        auto m = Read<CommandMatrix>(kMatrix);
        m->CntX = cntX;
        m->CntY = cntY;
        m->bodySuccessor = 5;
        m->nextSuccessor = 9;
        return m;
    }
    void Define(int cntX, int cntY) {
        auto def = Read<CommandMatrixDefinition>(
            R"(<MatrixDefinition Nr="2" CntX="3" CntY="2" Name="Pal" VarPointA="pA" VarPointB="pB" VarPointC="pC" />)");
        def->CntX = cntX;
        def->CntY = cntY;
        def->nextSuccessor = 6;
        ASSERT_EQ(Run(*def), 6);
    }
    double Number(const std::string& name) { return memory.GetVariable(name).value; }

    ProgramMemory memory;
    RobotState live;
    RobotState cycle;
};

TEST_F(PalletRun, MatrixWalksThePlacesRowAfterRowAndRestartsOnReEntry) {
    auto m = Matrix(3, 2);
    for (int entry = 0; entry < 2; ++entry) {
        for (int place = 0; place < 6; ++place) {
            SCOPED_TRACE("entry " + std::to_string(entry) + " place " + std::to_string(place));
            ASSERT_EQ(Run(*m), 5);
            const RobotState t = memory.GetVariable("target").state;
            const int ix = place % 3;
            const int iy = place / 3;
            EXPECT_FLOAT_EQ(t.pose.m[3], 100.0f * ix);
            EXPECT_FLOAT_EQ(t.pose.m[7], 100.0f * iy);
            EXPECT_FLOAT_EQ(t.A, 15.0f * ix);
            EXPECT_FLOAT_EQ(t.jointSet[0], 10.0f * ix);
            EXPECT_EQ(Number("cx"), ix);
            EXPECT_EQ(Number("cy"), iy);
        }
        EXPECT_EQ(Run(*m), 9);
        EXPECT_TRUE(m->firstCycle);
    }
    // The cycle's own state is not touched.
    EXPECT_FLOAT_EQ(cycle.pose.m[3], 0.0f);
}

TEST_F(PalletRun, MatrixTakesCornersOnEntryOnly) {
    auto m = Matrix(3, 2);
    ASSERT_EQ(Run(*m), 5);
    SetCorners(Corner(1000, 0, 0), Corner(1200, 0, 0), Corner(1000, 100, 0));
    ASSERT_EQ(Run(*m), 5);
    EXPECT_FLOAT_EQ(memory.GetVariable("target").state.pose.m[3], 100.0f);
}

TEST_F(PalletRun, MatrixWhoseEntryThrewStartsAtTheRealCornersNextTime) {
    auto m = Matrix(3, 2);
    m->varPointC = "later";
    try {
        Run(*m);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "CommandMatrix: Variable 'later' is not defined.");
    }
    EXPECT_FALSE(memory.HasVariable("target"));
    memory.SetVariable(MemoryPosition("later", Corner(50, 150, 0), false), Programs::ContentUnchanged);
    SetCorners(Corner(50, 50, 0), Corner(250, 50, 0), Corner(0, 0, 0));
    ASSERT_EQ(Run(*m), 5);
    const RobotState t = memory.GetVariable("target").state;
    EXPECT_FLOAT_EQ(t.pose.m[3], 50.0f);  // place (0, 0) at corner A, not the base origin
    EXPECT_FLOAT_EQ(t.pose.m[7], 50.0f);
    EXPECT_EQ(Number("cx"), 0);
    EXPECT_EQ(Number("cy"), 0);
    ASSERT_EQ(Run(*m), 5);
    EXPECT_FLOAT_EQ(memory.GetVariable("target").state.pose.m[3], 150.0f);
}

TEST_F(PalletRun, SingleColumnStaysAtCornerAAndEmptyGridsRunNoPass) {
    auto column = Matrix(1, 2);
    for (int row = 0; row < 2; ++row) {
        ASSERT_EQ(Run(*column), 5);
        const RobotState t = memory.GetVariable("target").state;
        EXPECT_FLOAT_EQ(t.pose.m[3], 0.0f);
        EXPECT_FLOAT_EQ(t.pose.m[7], 100.0f * row);
        EXPECT_FALSE(std::isnan(t.A));
    }
    EXPECT_EQ(Run(*column), 9);

    for (const auto& counts : {std::pair<int, int>{0, 2}, {2, 0}, {-1, 3}}) {
        auto empty = Matrix(counts.first, counts.second);
        EXPECT_EQ(Run(*empty), 9);
        EXPECT_EQ(Run(*empty), 9);
    }
}

TEST_F(PalletRun, DefinitionStoresTheGrid) {
    Define(3, 2);
    const Programs::MatrixDefinition d = memory.GetMatrixDefinition("PAL");
    EXPECT_EQ(d.CntX, 3);
    EXPECT_EQ(d.CntY, 2);
    EXPECT_DOUBLE_EQ(d.stepX, 0.5);
    EXPECT_DOUBLE_EQ(d.stepY, 1.0);
    EXPECT_FLOAT_EQ(d.deltaAB.x, 200.0f);
    EXPECT_FLOAT_EQ(d.deltaAC.y, 100.0f);
    EXPECT_FLOAT_EQ(d.angleDeltaAB.x, 30.0f);

    auto def = Read<CommandMatrixDefinition>(
        R"(<MatrixDefinition Nr="2" CntX="3" CntY="2" Name="Other" VarPointA="pA" VarPointB="nope" VarPointC="pC" />)");
    try {
        Run(*def);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Variable nope is not defined");
    }
    EXPECT_FALSE(memory.HasMatrixDefinition("other"));
}

struct QueryCase {
    double index;
    const char* error;  // null: a place
    float x, y;
    int ix, iy;
};

TEST_F(PalletRun, QueryComputesThePlaceOfAnIndex) {
    Define(3, 2);
    const char* prefix = "Command MatrixQuery : Index for matrix Pal is out of range: ";
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const QueryCase cases[] = {
        {0, nullptr, 0, 0, 0, 0},
        {4, nullptr, 100, 100, 1, 1},
        {5, nullptr, 200, 100, 2, 1},
        {2.9, nullptr, 200, 0, 2, 0},
        {6, "6 >= 3x2", 0, 0, 0, 0},
        {-1, "-1 < 0", 0, 0, 0, 0},
        {nan, "nan is not an index", 0, 0, 0, 0},
        {1e10, "10000000000 >= 3x2", 0, 0, 0, 0},
        {-1e10, "-10000000000 < 0", 0, 0, 0, 0},
        {INFINITY, "inf >= 3x2", 0, 0, 0, 0},
    };
    auto query = Read<CommandMatrixQuery>(
        R"(<MatrixQuery Nr="3" Name="Pal" VarIndex="i" VarTargetPos="T" VarCntX="cx" VarCntY="cy" />)");
    query->nextSuccessor = 7;
    for (const QueryCase& c : cases) {
        SCOPED_TRACE(c.index);
        memory.SetVariable(MemoryPosition("i", c.index, false), Programs::ContentNumber);
        memory.SetVariableSingle("cx", -5, true);
        if (c.error != nullptr) {
            try {
                Run(*query);
                ADD_FAILURE() << "no exception";
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(e.what(), std::string(prefix) + c.error);
            }
            EXPECT_EQ(Number("cx"), -5);  // nothing written
            continue;
        }
        ASSERT_EQ(Run(*query), 7);
        const RobotState t = memory.GetVariable("t").state;
        EXPECT_FLOAT_EQ(t.pose.m[3], c.x);
        EXPECT_FLOAT_EQ(t.pose.m[7], c.y);
        EXPECT_EQ(Number("cx"), c.ix);
        EXPECT_EQ(Number("cy"), c.iy);
        // The rotation is rebuilt from the place's A (15 degrees per column), so the
        // joints are solved for it; the cycle's state stays as it was.
        const float a = 15.0f * c.ix;
        EXPECT_FLOAT_EQ(t.A, a);
        EXPECT_NEAR(t.jointSet[3], a, 1e-3);
        EXPECT_NEAR(t.jointSet[0], c.x, 1e-3);
        EXPECT_NEAR(t.pose.m[4], std::sin(a * 3.14159265 / 180.0), 1e-5);
        EXPECT_FLOAT_EQ(cycle.pose.m[3], 0.0f);
        EXPECT_FLOAT_EQ(cycle.A, 0.0f);
    }
}

TEST_F(PalletRun, QueryOfSingleColumnAndOfGridsWithoutPlaces) {
    Define(1, 2);
    auto query = Read<CommandMatrixQuery>(
        R"(<MatrixQuery Nr="3" Name="Pal" VarIndex="i" VarTargetPos="T" VarCntX="cx" VarCntY="cy" />)");
    memory.SetVariableSingle("i", 1, true);
    Run(*query);
    const RobotState t = memory.GetVariable("t").state;
    EXPECT_FLOAT_EQ(t.pose.m[3], 0.0f);
    EXPECT_FLOAT_EQ(t.pose.m[7], 100.0f);

    // A grid stored without places is refused, not divided by.
    memory.SetMatrixDefinition("pal", Programs::MatrixDefinition(0, 0), false);
    memory.SetVariableSingle("i", 0, true);
    try {
        Run(*query);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Command MatrixQuery : Index for matrix Pal is out of range: 0 >= 0x0");
    }
}

TEST_F(PalletRun, QueryNeedsGridAndIndexVariable) {
    auto query = Read<CommandMatrixQuery>(
        R"(<MatrixQuery Nr="3" Name="Nope" VarIndex="Index" VarTargetPos="T" VarCntX="cx" VarCntY="cy" />)");
    try {
        Run(*query);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Command MatrixQuery: Matrix Nope is not defined");
    }
    Define(3, 2);
    query->name = "Pal";
    try {
        Run(*query);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Command MatrixQuery: Index variable Index is not defined");
    }
}

}  // namespace
