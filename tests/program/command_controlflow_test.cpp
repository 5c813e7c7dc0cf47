#include "program/CommandIf.h"
#include "program/CommandLoop.h"
#include "program/CommandSub.h"

#include "core/LogSingleton.h"
#include "program/ProgramMemory.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using DataTypes::RobotState;
using Programs::ProgramMemory;

namespace {

// Reads one element into a fresh command of type T.
template <typename T>
std::unique_ptr<T> Read(const std::string& xml, bool quiet) {
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
    auto cmd = std::make_unique<T>();
    cmd->ReadXML(doc.FirstChildElement(), quiet);
    return cmd;
}

bool ReadValid(const std::string& xml, bool quiet) {
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
    const std::string tag = doc.FirstChildElement()->Name();
    std::unique_ptr<Command> cmd;
    if (tag == "If") cmd = std::make_unique<CommandIf>();
    if (tag == "Loop") cmd = std::make_unique<CommandLoop>();
    if (tag == "Sub") cmd = std::make_unique<CommandSub>();
    cmd->ReadXML(doc.FirstChildElement(), quiet);
    return cmd->valid;
}

struct ReadCase {
    const char* xml;
    bool valid;
    const char* line;
    bool shownWhenQuiet;  // error lines and the Loop's lines ignore the quiet flag
};

const ReadCase kReadCases[] = {
    {R"(<If Nr="3" Condition="a > 1" />)", true, "   Nr. 3: If Condition a > 1", false},
    {R"(<If Nr="3" />)", false, "Could not read CommandIf, incomplete arguments", true},
    {R"(<Loop Nr="5" Mode="Count" Times="3" />)", true, "   Nr. 5: Loop counting: 3 iterations", true},
    {R"(<Loop Nr="5" Mode="Count" Times="0" />)", true, "   Nr. 5: Loop counting: 0 iterations", true},
    {R"(<Loop Nr="4" Mode="Count" Times="-1" />)", false, "   Nr. 4: ERROR Loop counting: -1 iterations", true},
    {R"(<Loop Nr="4" Mode="Count" />)", false, "   Nr. 4: ERROR Loop counting: -1 iterations", true},
    {R"(<Loop Nr="4" Mode="Count" Times="many" />)", false, "   Nr. 4: ERROR Loop counting: -1 iterations", true},
    // Beyond int: not an integer, never a count cut to 32 bits (4294967299 would be 3).
    {R"(<Loop Nr="4" Mode="Count" Times="4294967299" />)", false, "   Nr. 4: ERROR Loop counting: -1 iterations", true},
    {R"(<Loop Nr="4" Mode="Count" Times="2147483648" />)", false, "   Nr. 4: ERROR Loop counting: -1 iterations", true},
    {R"(<Loop Nr="5" Mode="Count" Times="2147483647" />)", true, "   Nr. 5: Loop counting: 2147483647 iterations", true},
    {R"(<Loop Nr="2" Mode="count" Times="3" />)", false, "   Nr. 2: ERROR unknown loop mode: count", true},
    {R"(<Loop Nr="6" Mode="DIn" Condition="din1 and x > 2" />)", true, "   Nr. 6: Loop conditional: din1 and x > 2",
     true},
    {R"(<Loop Nr="6" Mode="DIn" />)", false, "Could not read CommandLoop, incomplete arguments", true},
    {R"(<Loop Nr="6" Times="3" />)", false, "Could not read CommandLoop, incomplete arguments", true},
    {R"(<Sub Nr="9" File="progs\sub1.xml" />)", true, "   Nr. 9: Sub file progs/sub1.xml", false},
    {R"(<Sub Nr="9" />)", false, "Could not read CommandSub, incomplete arguments", true},
};

TEST(ControlFlowRead, ValidFlagAndExactLineQuietAndNot) {
    for (const ReadCase& c : kReadCases) {
        for (const bool quiet : {false, true}) {
            TestSupport::LogCapture log;
            EXPECT_EQ(ReadValid(c.xml, quiet), c.valid) << c.xml;
            const bool shown = !quiet || c.shownWhenQuiet;
            EXPECT_EQ(log.Count(c.line), shown ? 1 : 0) << c.xml << " quiet " << quiet << "\n" << log.Joined();
        }
    }
}

TEST(ControlFlowRead, FieldsAsRead) {
    auto cond = Read<CommandIf>(R"(<If Condition="DIn3 AND x > 1" />)", true);
    EXPECT_EQ(cond->condition, "DIn3 AND x > 1");  // kept as written; the parser lower-cases
    EXPECT_EQ(cond->className, "CommandIf");
    EXPECT_TRUE(cond->IsCombinable());

    auto count = Read<CommandLoop>(R"(<Loop Mode="Count" Times="7" />)", true);
    EXPECT_EQ(count->mode, CommandLoop::ModeCounting);
    EXPECT_EQ(count->times, 7);
    EXPECT_EQ(count->className, "CommandLoop");

    auto din = Read<CommandLoop>(R"(<Loop Mode="DIn" Condition="din2" />)", true);
    EXPECT_EQ(din->mode, CommandLoop::ModeCondition);
    EXPECT_EQ(din->condition, "din2");

    auto sub = Read<CommandSub>(R"(<Sub File="progs\deep\sub1.xml" />)", true);
    EXPECT_EQ(sub->file, "progs/deep/sub1.xml");
    EXPECT_EQ(sub->className, "CommandSub");
    EXPECT_TRUE(sub->IsCombinable());
}

TEST(ControlFlowRead, ToStringLines) {
    auto cond = Read<CommandIf>(R"(<If Condition="true" />)", true);
    cond->predecessor = 1;
    cond->nextSuccessor = 9;
    cond->bodySuccessor = 3;
    cond->elseSuccessor = 6;
    EXPECT_EQ(cond->ToString(), "Command IF - Pre: 1 - Succ: 9 3 6");

    auto count = Read<CommandLoop>(R"(<Loop Mode="Count" Times="4" />)", true);
    EXPECT_EQ(count->ToString(), "Command Loop counting to 4 - Pre: -42 - Succ: -2 -2 -2");
    auto din = Read<CommandLoop>(R"(<Loop Mode="DIn" Condition="din2" />)", true);
    EXPECT_EQ(din->ToString(), "Command Loop condition din2 - Pre: -42 - Succ: -2 -2 -2");

    auto sub = Read<CommandSub>(R"(<Sub File="a\b.xml" />)", true);
    EXPECT_EQ(sub->ToString(), "Command Sub a/b.xml - Pre: -42 - Succ: -2 -2 -2");
}

// Slots as the loader links them: the block's command at index 4, its body (or first
// branch) at 5, an Else branch at 8, the command after the block at 10.
constexpr int kSelf = 4;
constexpr int kBody = 5;
constexpr int kElse = 8;
constexpr int kNext = 10;

class ControlFlowRun : public ::testing::Test {
protected:
    template <typename T>
    void Link(T& cmd, int elseSlot = -2) {
        cmd.memory = &memory;
        cmd.nextSuccessor = kNext;
        cmd.bodySuccessor = kBody;
        cmd.elseSuccessor = elseSlot;
    }
    int Run(Command& cmd) { return cmd.Interpolate(10, 100.0f, &state); }

    ProgramMemory memory;
    RobotState state;
};

TEST_F(ControlFlowRun, CountingLoopRunsItsPassesAgainOnEveryEntry) {
    auto loop = Read<CommandLoop>(R"(<Loop Mode="Count" Times="3" />)", true);
    Link(*loop);
    for (int entry = 0; entry < 2; ++entry) {
        std::vector<int> results;
        for (int i = 0; i < 4; ++i) {
            results.push_back(Run(*loop));
        }
        EXPECT_EQ(results, (std::vector<int>{kBody, kBody, kBody, kNext})) << "entry " << entry;
        EXPECT_TRUE(loop->firstCycle);
        EXPECT_EQ(loop->counter, 0);
    }
}

TEST_F(ControlFlowRun, InitRestartsALoopCutShort) {
    auto loop = Read<CommandLoop>(R"(<Loop Mode="Count" Times="3" />)", true);
    Link(*loop);
    EXPECT_EQ(Run(*loop), kBody);
    EXPECT_EQ(Run(*loop), kBody);
    loop->Init();  // program started afresh
    EXPECT_EQ(Run(*loop), kBody);
    EXPECT_EQ(Run(*loop), kBody);
    EXPECT_EQ(Run(*loop), kBody);
    EXPECT_EQ(Run(*loop), kNext);
}

TEST_F(ControlFlowRun, ZeroTimesSkipsTheBody) {
    auto loop = Read<CommandLoop>(R"(<Loop Mode="Count" Times="0" />)", true);
    Link(*loop);
    EXPECT_EQ(Run(*loop), kNext);
    EXPECT_EQ(Run(*loop), kNext);
}

TEST_F(ControlFlowRun, ConditionLoopRepeatsUntilTheConditionHolds) {
    auto loop = Read<CommandLoop>(R"(<Loop Mode="DIn" Condition="done = 1 or din2" />)", true);
    Link(*loop);
    memory.SetVariableSingle("done", 0.0, true);
    EXPECT_EQ(Run(*loop), kBody);
    EXPECT_EQ(Run(*loop), kBody);
    memory.SetVariableSingle("done", 1.0, true);
    EXPECT_EQ(Run(*loop), kNext);
    EXPECT_TRUE(loop->firstCycle);

    // Holding already at entry: the body never runs.
    memory.SetVariableSingle("done", 0.0, true);
    state.DIn[1] = true;
    EXPECT_EQ(Run(*loop), kNext);
}

TEST_F(ControlFlowRun, ConditionFaultsPassOut) {
    auto loop = Read<CommandLoop>(R"(<Loop Mode="DIn" Condition="nope > 1" />)", true);
    Link(*loop);
    EXPECT_THROW(Run(*loop), std::invalid_argument);
    auto cond = Read<CommandIf>(R"(<If Condition="true and" />)", true);
    Link(*cond, kSelf);
    EXPECT_THROW(Run(*cond), std::invalid_argument);
}

TEST_F(ControlFlowRun, IfChoosesTheBranchThenContinuesAfterEndIf) {
    struct Case {
        bool condition;
        bool withElse;  // without Else a false condition leads back to the If itself
    };
    const Case cases[] = {{true, true}, {true, false}, {false, true}, {false, false}};
    for (const Case& c : cases) {
        auto cond = Read<CommandIf>(R"(<If Condition="flag = 1" />)", true);
        Link(*cond, c.withElse ? kElse : kSelf);
        for (int entry = 0; entry < 2; ++entry) {
            // The condition flips between entries: each entry evaluates afresh.
            const bool holds = entry == 0 ? c.condition : !c.condition;
            memory.SetVariableSingle("flag", holds ? 1.0 : 0.0, true);
            const int expected = holds ? kBody : (c.withElse ? kElse : kSelf);
            EXPECT_EQ(Run(*cond), expected) << c.condition << c.withElse << entry;
            EXPECT_EQ(Run(*cond), kNext) << c.condition << c.withElse << entry;
        }
    }
}

TEST_F(ControlFlowRun, IfWhoseEvaluationThrewEvaluatesOnTheNextCall) {
    auto cond = Read<CommandIf>(R"(<If Condition="later > 1" />)", true);
    Link(*cond, kElse);
    EXPECT_THROW(Run(*cond), std::invalid_argument);
    memory.SetVariableSingle("later", 2.0, true);
    // Not the "branch ended" path: the condition is evaluated and the branch taken.
    EXPECT_EQ(Run(*cond), kBody);
    EXPECT_EQ(Run(*cond), kNext);
}

TEST_F(ControlFlowRun, SubCallsItsProgramAndReportsIt) {
    std::vector<std::string> messages;
    LogSingleton::instance()->SetServerMessageCallback([&](const std::string& m) { messages.push_back(m); });
    TestSupport::LogCapture log;
    auto sub = Read<CommandSub>(R"(<Sub File="progs\sub1.xml" />)", true);
    sub->subProgramIndex = 2;
    sub->nextSuccessor = kNext;
    EXPECT_EQ(Run(*sub), -12);
    EXPECT_EQ(Run(*sub), -12);  // no run state
    sub->subProgramIndex = 1;
    EXPECT_EQ(Run(*sub), -11);
    LogSingleton::instance()->SetServerMessageCallback(nullptr);
    EXPECT_EQ(log.Count("Subprog nr 2: progs/sub1.xml"), 2) << log.Joined();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), "Subprog nr 2: progs/sub1.xml");
}

}  // namespace
