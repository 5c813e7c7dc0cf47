// Linking of loaded programs: link tables, the every-element golden table, and empty
// blocks whose flow must still reach the end.

#include "IpoTestSupport.h"
#include "testsupport/IpoTestAccess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// index, class, predecessor, next, body, else
struct Row {
    int index;
    const char* className;
    int predecessor;
    int next;
    int body;
    int otherwise;
};

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        IpoTest::SetFixtureRobot();
        IpoTest::CopyFixtures();
        ipo = IpoTest::MakeIpo(&mem.memory);
    }

    // Loads the elements as a program of their own.
    std::vector<std::shared_ptr<Command>> Load(const std::string& elements) {
        IpoTest::WriteProgram("link.xml", "<Program>" + elements + "</Program>");
        EXPECT_EQ(ipo->LoadProgramSynchronous("link.xml", true), 0);
        return Commands(0);
    }

    std::vector<std::shared_ptr<Command>> Commands(size_t program) {
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
        if (program >= IpoTestAccess::Programs(*ipo).size()) return {};
        return IpoTestAccess::Programs(*ipo)[program].commands;
    }

    static void Expect(const std::vector<std::shared_ptr<Command>>& cmds, const std::vector<Row>& rows) {
        ASSERT_EQ(cmds.size(), rows.size());
        for (const Row& r : rows) {
            SCOPED_TRACE(r.index);
            const Command& c = *cmds[static_cast<size_t>(r.index)];
            EXPECT_EQ(c.className, r.className);
            EXPECT_EQ(c.predecessor, r.predecessor);
            EXPECT_EQ(c.nextSuccessor, r.next);
            EXPECT_EQ(c.bodySuccessor, r.body);
            EXPECT_EQ(c.elseSuccessor, r.otherwise);
        }
    }

    IpoTest::Memory mem;
    std::unique_ptr<IPO> ipo;
};

const char* kWait = "<Wait Nr=\"0\" Type=\"Time\" Seconds=\"0\"/>";
const char* kComment = "<Comment Nr=\"0\" Descr=\"c\"/>";
const char* kLoop = "<Loop Nr=\"0\" Mode=\"Count\" Times=\"2\"/>";
const char* kIfTrue = "<If Nr=\"0\" Condition=\"true\"/>";
const char* kIfFalse = "<If Nr=\"0\" Condition=\"false\"/>";
const char* kMatrix =
    "<Matrix Nr=\"0\" CntX=\"2\" CntY=\"2\" VarPointA=\"pa\" VarPointB=\"pa\" VarPointC=\"pa\" VarTargetPos=\"t\" "
    "VarCntX=\"cx\" VarCntY=\"cy\"/>";

std::string Join(std::initializer_list<const char*> parts) {
    std::string s;
    for (const char* p : parts) s += p;
    return s;
}

TEST_F(LinkTest, BlockTables) {
    struct Case {
        const char* name;
        std::string xml;
        std::vector<Row> rows;
    };
    const Case cases[] = {
        {"Loop, Wait, EndLoop",
         Join({kLoop, kWait, "<EndLoop/>"}),
         {{0, "CommandLoop", -42, -2, 1, -2}, {1, "CommandWait", 0, 0, -2, -2}}},
        {"first command and If without Else",
         Join({kWait, kIfTrue, kComment, "<EndIf/>", kWait}),
         {{0, "CommandWait", 0, 1, -2, -2},
          {1, "CommandIf", 0, 3, 2, 1},
          {2, "CommandComment", 1, 1, -2, -2},
          {3, "CommandWait", 1, -2, -2, -2}}},
        {"If/Else",
         Join({kIfTrue, kWait, "<Else/>", kComment, "<EndIf/>", kWait}),
         {{0, "CommandIf", -42, 3, 1, 2},
          {1, "CommandWait", 0, 0, -2, -2},
          {2, "CommandComment", 0, 0, -2, -2},
          {3, "CommandWait", 0, -2, -2, -2}}},
        {"If in Loop",
         Join({kLoop, kIfTrue, kWait, "<EndIf/>", "<EndLoop/>"}),
         {{0, "CommandLoop", -42, -2, 1, -2}, {1, "CommandIf", 0, 0, 2, 1}, {2, "CommandWait", 1, 1, -2, -2}}},
        {"Loop in If",
         Join({kIfTrue, kLoop, kWait, "<EndLoop/>", "<EndIf/>"}),
         {{0, "CommandIf", -42, -2, 1, 0}, {1, "CommandLoop", 0, 0, 2, -2}, {2, "CommandWait", 1, 1, -2, -2}}},
        {"Matrix body",
         Join({kComment, kMatrix, kWait, "<MatrixEnd/>", kComment}),
         {{0, "CommandComment", 0, 1, -2, -2},
          {1, "CommandMatrix", 0, 3, 2, -2},
          {2, "CommandWait", 1, 1, -2, -2},
          {3, "CommandComment", 1, -2, -2, -2}}},
        // An empty block is a no-op: its opener never becomes its own successor.
        {"empty Loop at the end",
         Join({kComment, kLoop, "<EndLoop/>"}),
         {{0, "CommandComment", 0, 1, -2, -2}, {1, "CommandLoop", 0, -2, 1, -2}}},
        {"empty Loop last in a body",
         Join({kLoop, kComment, kLoop, "<EndLoop/>", "<EndLoop/>"}),
         {{0, "CommandLoop", -42, -2, 1, -2}, {1, "CommandComment", 0, 2, -2, -2}, {2, "CommandLoop", 1, 0, 2, -2}}},
        {"empty If and Else at the end",
         Join({kComment, kIfTrue, "<Else/>", "<EndIf/>"}),
         {{0, "CommandComment", 0, 1, -2, -2}, {1, "CommandIf", 0, -2, 1, 1}}},
        {"empty Matrix at the end",
         Join({kComment, kMatrix, "<MatrixEnd/>"}),
         {{0, "CommandComment", 0, 1, -2, -2}, {1, "CommandMatrix", 0, -2, 1, -2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Expect(Load(c.xml), c.rows);
    }
}

TEST_F(LinkTest, EveryElementGoldenTable) {
    ASSERT_EQ(ipo->LoadProgramSynchronous("every_element.xml", true), 0);
    Expect(Commands(0), {
                            {0, "CommandComment", 0, 1, -2, -2},
                            {1, "CommandStoreData", 0, 2, -2, -2},
                            {2, "CommandStoreData", 1, 3, -2, -2},
                            {3, "CommandJoint", 2, 4, -2, -2},
                            {4, "CommandLinear", 3, 5, -2, -2},
                            {5, "CommandRelative", 4, 6, -2, -2},
                            {6, "CommandCircular", 5, 7, -2, -2},
                            {7, "CommandLoop", 6, 12, 8, -2},
                            {8, "CommandMathFunction", 7, 9, -2, -2},
                            {9, "CommandIf", 8, 7, 10, 11},
                            {10, "CommandDIO", 9, 9, -2, -2},
                            {11, "CommandGripper", 9, 9, -2, -2},
                            {12, "CommandWait", 7, 13, -2, -2},
                            {13, "CommandSetVelocity", 12, 14, -2, -2},
                            {14, "CommandMatrixDefinition", 13, 15, -2, -2},
                            {15, "CommandStoreData", 14, 16, -2, -2},
                            {16, "CommandMatrixQuery", 15, 17, -2, -2},
                            {17, "CommandMatrix", 16, 19, 18, -2},
                            {18, "CommandSystem", 17, 17, -2, -2},
                            {19, "CommandCamera", 17, 20, -2, -2},
                            {20, "CommandPlugin", 19, 21, -2, -2},
                            {21, "CommandSub", 20, 22, -2, -2},
                            {22, "CommandSub", 21, 23, -2, -2},
                            {23, "CommandIf", 22, -2, 24, 23},
                            {24, "CommandPause", 23, 25, -2, -2},
                            {25, "CommandStop", 24, 23, -2, -2},
                        });
    Expect(Commands(1), {{0, "CommandComment", 0, 1, -2, -2},
                         {1, "CommandSub", 0, 2, -2, -2},
                         {2, "CommandMathFunction", 1, -2, -2, -2}});
    Expect(Commands(2), {{0, "CommandComment", 0, 1, -2, -2}, {1, "CommandMathFunction", 0, -2, -2, -2}});
}

// Runs the loaded program through the commands' own results; the number of steps until
// the end, or -1 when it never got there.
int Walk(const std::vector<std::shared_ptr<Command>>& cmds, int limit = 1000) {
    DataTypes::RobotState state;
    int index = 0;
    for (int step = 1; step <= limit; ++step) {
        const int r = cmds[static_cast<size_t>(index)]->Interpolate(10, 100.0f, &state);
        if (r == Command::ResultEndOfProgram) return step;
        if (r >= 0) index = r;
    }
    return -1;
}

TEST_F(LinkTest, EmptyBlocksAnywhereReachTheEnd) {
    const std::string cases[] = {
        Join({kComment, kLoop, "<EndLoop/>"}),
        Join({kLoop, "<EndLoop/>", kComment}),
        Join({kLoop, kComment, kLoop, "<EndLoop/>", "<EndLoop/>"}),
        Join({kComment, kIfTrue, "<EndIf/>"}),
        Join({kComment, kIfFalse, "<EndIf/>"}),
        Join({kIfTrue, "<EndIf/>", kComment}),
        Join({kComment, kIfFalse, "<Else/>", "<EndIf/>"}),
        Join({kIfTrue, "<Else/>", kComment, "<EndIf/>"}),
        Join({kLoop, kComment, kIfTrue, "<EndIf/>", "<EndLoop/>"}),
        Join({kLoop, kComment, kIfFalse, "<Else/>", "<EndIf/>", "<EndLoop/>"}),
        Join({kComment, kMatrix, "<MatrixEnd/>"}),
        Join({kMatrix, "<MatrixEnd/>", kComment}),
        Join({kLoop, kComment, kMatrix, "<MatrixEnd/>", "<EndLoop/>"}),
        Join({kIfTrue, kLoop, "<EndLoop/>", "<EndIf/>"}),
    };
    for (const std::string& xml : cases) {
        SCOPED_TRACE(xml);
        const auto cmds = Load(xml);
        ASSERT_FALSE(cmds.empty());
        // Every load clears the variables: the pallet corner comes after it.
        mem.memory.SetVariablePos("pa", DataTypes::RobotState(), true, Programs::ContentUnchanged);
        EXPECT_GT(Walk(cmds), 0);
    }
}

TEST_F(LinkTest, LoopBodiesAndBranchesRunAsWritten) {
    // Loop twice over an If/Else: the walk visits the branch commands in order.
    const auto cmds = Load(Join({kLoop, kIfFalse, kComment, "<Else/>", kWait, "<EndIf/>", "<EndLoop/>", kComment}));
    std::vector<int> visited;
    DataTypes::RobotState state;
    int index = 0;
    for (int step = 0; step < 100 && index >= 0; ++step) {
        visited.push_back(index);
        const int r = cmds[static_cast<size_t>(index)]->Interpolate(10, 100.0f, &state);
        index = r == Command::ResultEndOfProgram ? -1 : r;
    }
    EXPECT_EQ(visited, (std::vector<int>{0, 1, 3, 1, 0, 1, 3, 1, 0, 4}));
}

}  // namespace
