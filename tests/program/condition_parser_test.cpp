#include "program/BooleanLogicParserFrontend.h"

#include "core/RobotState.h"
#include "program/Parser.h"
#include "program/ProgramMemory.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using BooleanLogicParser::Parser;
using BooleanLogicParser::Token;
using DataTypes::RobotState;
using Programs::ProgramMemory;
using Programs::StoreContentType;

namespace {

enum class Outcome { True, False, InvalidArgument, RuntimeError };

// Result of one evaluation through a fresh frontend, with the exception text if any.
struct Evaluation {
    Outcome outcome;
    std::string text;
};

Evaluation EvaluateFresh(const std::string& expression, ProgramMemory* memory,
                         const RobotState* state) {
    try {
        BooleanLogicParserFrontend frontend;
        frontend.SetExpression(expression);
        return {frontend.GetCurrentResult(memory, state) ? Outcome::True : Outcome::False, ""};
    } catch (const std::invalid_argument& e) {
        return {Outcome::InvalidArgument, e.what()};
    } catch (const std::runtime_error& e) {
        return {Outcome::RuntimeError, e.what()};
    }
}

const char* OutcomeName(Outcome o) {
    switch (o) {
        case Outcome::True: return "true";
        case Outcome::False: return "false";
        case Outcome::InvalidArgument: return "invalid_argument";
        case Outcome::RuntimeError: return "runtime_error";
    }
    return "?";
}

// Variables and I/O every case below is written against.
class ConditionParserTest : public ::testing::Test {
protected:
    ConditionParserTest() {
        memory.SetVariableSingle("Count", 5.0, true);
        memory.SetVariableSingle("half", 2.5, true);
        // Names that look like inputs or signals but are not.
        memory.SetVariableSingle("din", 1.0, true);
        memory.SetVariableSingle("gsig", 2.0, true);
        memory.SetVariableSingle("din1a", 3.0, true);
        memory.SetVariableSingle("gsigx", 4.0, true);
        memory.SetVariableSingle("dinner", 6.0, true);

        RobotState p1;
        p1.pose.SetTranslation(10.0f, 20.0f, 150.0f);
        p1.A = 30.0f;
        p1.B = -45.0f;
        p1.C = 90.0f;
        for (int j = 0; j < 9; ++j) {
            p1.jointSet[j] = static_cast<float>(j + 1) * 11.0f;  // a1 = 11 ... e3 = 99
        }
        memory.SetVariablePos("P1", p1, true, Programs::ContentUnchanged);

        state.DIn[0] = true;    // din1
        state.DIn[2] = false;   // din3
        state.DIn[63] = true;   // din64
        state.GSig[0] = false;  // gsig1
        state.GSig[99] = true;  // gsig100
    }

    ProgramMemory memory;
    RobotState state;
};

struct ConditionCase {
    const char* expression;
    Outcome outcome;
    const char* error;   // exception text, for the two exception outcomes
    const char* logged;  // a line the evaluation must log, or nullptr
};

TEST_F(ConditionParserTest, ConditionsGiveTheirValueOrTheirExactFault) {
    const Outcome T = Outcome::True;
    const Outcome F = Outcome::False;
    const Outcome IA = Outcome::InvalidArgument;
    const Outcome RE = Outcome::RuntimeError;
    const char* unsolved = "BooleanParser: Invalid Condition, Comparison not solved!";
    const char* unsolvedLog = "ERROR: BooleanParser - Invalid Condition, Comparison not solved!";
    const char* syntax = "BooleanParser: Syntax Error!";
    const char* noNegated = "BooleanParser: Missing expression after negation!";

    const ConditionCase cases[] = {
        // Literals, case, negation.
        {"true", T, nullptr, nullptr},
        {"FALSE", F, nullptr, nullptr},
        {"!true", F, nullptr, nullptr},
        {"!!true", T, nullptr, nullptr},
        {"!!!true", F, nullptr, nullptr},
        {"!(true and false)", T, nullptr, nullptr},
        {"!true or true", T, nullptr, nullptr},
        {"!false and false", F, nullptr, nullptr},
        // and/or: same precedence, grouped from the left; a negation after an operator
        // takes the rest of the chain.
        {"true or false and false", F, nullptr, nullptr},
        {"false and false or true", T, nullptr, nullptr},
        {"true or (false and false)", T, nullptr, nullptr},
        {"(true or false) and false", F, nullptr, nullptr},
        {"true or !true and false", T, nullptr, nullptr},
        {"((true) and ((false) or true))", T, nullptr, nullptr},
        // Leftover tokens after a complete expression are ignored.
        {"true false", T, nullptr, nullptr},
        {"true !", T, nullptr, nullptr},
        {"true & false", T, nullptr, nullptr},
        {"&& true", T, nullptr, nullptr},
        {"count > 3 && count < 2", T, nullptr, nullptr},
        {"count < 3 || count > 2", F, nullptr, nullptr},
        // Blanks, tabs and bytes outside ASCII are skipped.
        {"true\tand\tfalse", F, nullptr, nullptr},
        {"true and \xC4\xD6" "false", F, nullptr, nullptr},
        // Digital inputs and global signals.
        {"DIn1", T, nullptr, nullptr},
        {"DIN64", T, nullptr, nullptr},
        {"din3", F, nullptr, nullptr},
        {"TRUE And DIn3", F, nullptr, nullptr},
        {"!din3 and din1", T, nullptr, nullptr},
        {"gsig100", T, nullptr, nullptr},
        {"gsig1", F, nullptr, nullptr},
        {"din0", RE, "invalid DIn number in condition (0 > 64)",
         "invalid DIn number in condition (0 > 64)"},
        {"din65", RE, "invalid DIn number in condition (65 > 64)",
         "invalid DIn number in condition (65 > 64)"},
        {"din99999999999999999999", RE, "invalid DIn number in condition (2147483647 > 64)",
         nullptr},
        {"gsig0", RE, "invalid GSig number in condition (0 > 100)", nullptr},
        {"gsig101", RE, "invalid GSig number in condition (101 > 100)",
         "invalid GSig number in condition (101 > 100)"},
        // Short or non-numeric suffixes are program variables.
        {"din = 1", T, nullptr, nullptr},
        {"gsig = 2", T, nullptr, nullptr},
        {"din1a = 3", T, nullptr, nullptr},
        {"gsigx = 4", T, nullptr, nullptr},
        {"dinner > 5.5", T, nullptr, nullptr},
        // Literal comparisons.
        {"3 > 2", T, nullptr, nullptr},
        {"2 > 3", F, nullptr, nullptr},
        {"2 < 3", T, nullptr, nullptr},
        {"3 < 3", F, nullptr, nullptr},
        {"3 >= 3", T, nullptr, nullptr},
        {"3>=4", F, nullptr, nullptr},
        {"3 <= 3", T, nullptr, nullptr},
        {"4<=3", F, nullptr, nullptr},
        {"2.5 = 2.50", T, nullptr, nullptr},
        {"-1 < 0", T, nullptr, nullptr},
        {"5-3 = 5", T, nullptr, nullptr},
        {"# = 0", T, nullptr, nullptr},
        {"3 > 2 and 1 < 2", T, nullptr, nullptr},
        {"(3 > 2) and 1 = 2", F, nullptr, nullptr},
        {"true and 3 > 2 or false", T, nullptr, nullptr},
        {"!(count = 5)", F, nullptr, nullptr},
        // Number variables and position elements.
        {"din1 and count > 3", T, nullptr, nullptr},
        {"COUNT >= 5.01", F, nullptr, nullptr},
        {"half = 2.5", T, nullptr, nullptr},
        {"p1.x = 10 and p1.y = 20 and P1.Z > 100", T, nullptr, nullptr},
        {"p1.a = 30 and p1.b = -45 and p1.c = 90", T, nullptr, nullptr},
        {"p1.a1 = 11 and p1.a2 = 22 and p1.a3 = 33", T, nullptr, nullptr},
        {"p1.a4 = 44 and p1.a5 = 55 and p1.a6 = 66", T, nullptr, nullptr},
        {"p1.e1 = 77 and p1.e2 = 88 and p1.e3 = 99", T, nullptr, nullptr},
        {"p1.z < 100", F, nullptr, nullptr},
        {"nope > 1", IA, "BooleanParser: Could not find variable \"nope\"!",
         "BooleanParser: Could not find variable \"nope\"!"},
        {"nope.x > 1", IA, "BooleanParser: Could not find variable \"nope\"!", nullptr},
        {"p1 > 100", IA, "GetFromMemory: wrong var type",
         "Memory: Variable p1 is not a number variable!"},
        {"count.x > 1", IA, "GetFromMemory: wrong var type",
         "Memory: Variable count is not a position variable!"},
        {"p1.q > 1", IA, "GetFromMemory: wrong element access", "Memory: wrong element access: q"},
        {"p1.a7 > 1", IA, "GetFromMemory: wrong element access", nullptr},
        {"p1.e0 > 1", IA, "GetFromMemory: wrong element access", nullptr},
        {"p1. > 1", IA, "GetFromMemory: wrong element access", nullptr},
        // Comparisons need a number directly on both sides.
        {"1 < 2 < 3", IA, unsolved, unsolvedLog},
        {"true = 1", IA, unsolved, nullptr},
        {"> 3", IA, unsolved, nullptr},
        {"3", IA, unsolved, nullptr},
        {"count", IA, unsolved, nullptr},
        {"true and count", IA, unsolved, nullptr},
        // Syntax and parentheses.
        {"a => 3", IA, syntax, nullptr},
        {"a != 3", IA, syntax, nullptr},
        {"(count) > 1", IA, syntax, nullptr},
        {"3 == 3", IA, syntax, nullptr},
        {"true and or false", IA, syntax, nullptr},
        {"true (false)", IA, syntax, nullptr},
        {"(and true)", IA, syntax, nullptr},
        {"()", IA, "BooleanParser: Unexpected closing parenthesis!", nullptr},
        {"(true", IA, "BooleanParser: Missing )!", nullptr},
        {"true)", IA, "BooleanParser: Missing (!", nullptr},
        {"(true))", IA, "BooleanParser: Missing (!", nullptr},
        {")(", IA, syntax, nullptr},
        {"true and", IA, "BooleanParser: Missing expression after operand!", nullptr},
        {"", IA, "BooleanLogicParser: empty expression!", nullptr},
        {" \t&|", IA, "BooleanLogicParser: empty expression!", nullptr},
        // A leading operator and trailing negations end in an orderly fault.
        {"and true", IA, syntax, nullptr},
        {"or", IA, syntax, nullptr},
        {"!", IA, noNegated, nullptr},
        {"!!", IA, noNegated, nullptr},
        {"true and !", IA, noNegated, nullptr},
        {"true or !!", IA, noNegated, nullptr},
        {"(!)", IA, "BooleanParser: Unexpected closing parenthesis!", nullptr},
    };

    for (const ConditionCase& c : cases) {
        TestSupport::LogCapture log;
        const Evaluation e = EvaluateFresh(c.expression, &memory, &state);
        EXPECT_EQ(OutcomeName(e.outcome), std::string(OutcomeName(c.outcome)))
            << '"' << c.expression << "\" threw: " << e.text;
        if (c.error != nullptr) {
            EXPECT_EQ(e.text, c.error) << '"' << c.expression << '"';
        }
        if (c.logged != nullptr) {
            EXPECT_TRUE(log.Contains(c.logged)) << '"' << c.expression << "\" log:\n"
                                                << log.Joined();
        }
    }
}

// Kinds, names and values of the tokens, e.g. "VARIABLE:a BiggerEqual NUMBER:3".
std::string Render(const std::vector<Token>& tokens) {
    static const char* const names[] = {
        "UNDEFINED", "TRUE",     "FALSE",  "NEGATION", "AND",     "OR",          "OpenParenthesis",
        "ClosedParenthesis", "NUMBER", "VARIABLE", "Equal", "Bigger", "Smaller", "BiggerEqual",
        "SmallerEqual"};
    std::string out;
    for (const Token& t : tokens) {
        if (!out.empty()) {
            out += ' ';
        }
        out += names[t.kind];
        if (t.kind == BooleanLogicParser::NUMBER) {
            char value[32];
            std::snprintf(value, sizeof(value), ":%g", static_cast<double>(t.value));
            out += value;
        } else if (t.kind == BooleanLogicParser::VARIABLE) {
            out += ':' + t.name;
        }
    }
    return out;
}

TEST(ConditionTokenizer, TextIsSplitIntoTheExpectedTokens) {
    const struct {
        const char* expression;
        const char* tokens;
    } cases[] = {
        {"a >= 3", "VARIABLE:a BiggerEqual NUMBER:3"},
        {"a>=3", "VARIABLE:a BiggerEqual NUMBER:3"},
        {"(!X <= -2.5) OR y<1 AND True = FALSE",
         "OpenParenthesis NEGATION VARIABLE:x SmallerEqual NUMBER:-2.5 ClosedParenthesis OR "
         "VARIABLE:y Smaller NUMBER:1 AND TRUE Equal FALSE"},
        {"#Position p1.X Count_2 din3 1e5",
         "VARIABLE:#position VARIABLE:p1.x VARIABLE:count_2 VARIABLE:din3 VARIABLE:1e5"},
        {"5-3 # - 1.5.5 .5", "NUMBER:5 NUMBER:0 NUMBER:0 NUMBER:1.5 NUMBER:5"},
        {"a && b || c & | , \t", "VARIABLE:a VARIABLE:b VARIABLE:c"},
        {"\xC4x\xD6", "VARIABLE:x"},
        {"truefalse andor", "VARIABLE:truefalse VARIABLE:andor"},
    };
    for (const auto& c : cases) {
        Parser parser;
        parser.SetExpression(c.expression);
        EXPECT_EQ(Render(parser.GetTokens()), c.tokens) << '"' << c.expression << '"';
    }
}

TEST(ConditionTokenizer, TokenTextNamesKindAndContent) {
    Token number(BooleanLogicParser::NUMBER);
    number.value = 2.5f;
    Token variable(BooleanLogicParser::VARIABLE);
    variable.name = "din1";
    const struct {
        Token token;
        const char* text;
    } cases[] = {
        {number, "Token NUMBER   Value: 2.5"},
        {variable, "Token VARIABLE   Name: din1"},
        {Token(BooleanLogicParser::SmallerEqual), "Token SmallerEqual   "},
        {Token(), "Token UNDEFINED   "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.token.toString(), c.text);
    }
    EXPECT_EQ(Token().name, "na");
}

TEST(ConditionTokenizer, RefusedTextLeavesNoTokens) {
    Parser parser;
    parser.SetExpression("true and false");
    EXPECT_THROW(parser.SetExpression("a => 3"), std::invalid_argument);
    EXPECT_TRUE(parser.GetTokens().empty());
    RobotState state;
    try {
        parser.Evaluate(nullptr, state);
        FAIL() << "evaluating a refused text must fail";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "BooleanLogicParser: empty expression!");
    }
}

TEST_F(ConditionParserTest, KeptFrontendFollowsInputsAndVariables) {
    BooleanLogicParserFrontend frontend;
    frontend.SetExpression("din1 and count > 3");
    EXPECT_TRUE(frontend.GetCurrentResult(&memory, &state));
    EXPECT_TRUE(frontend.GetCurrentResult(&memory, &state));

    memory.SetVariableSingle("count", 2.0, false);
    frontend.SetExpression("din1 and count > 3");
    EXPECT_FALSE(frontend.GetCurrentResult(&memory, &state));

    memory.SetVariableSingle("count", 4.0, false);
    state.DIn[0] = false;
    EXPECT_FALSE(frontend.GetCurrentResult(&memory, &state));

    frontend.SetExpression("!din1");
    EXPECT_TRUE(frontend.GetCurrentResult(&memory, &state));
}

TEST_F(ConditionParserTest, KeptFrontendReportsFaultsAtEveryEvaluation) {
    const struct {
        const char* expression;
        const char* error;
    } cases[] = {
        {"a => 3", "BooleanParser: Syntax Error!"},
        {"(count > 3", "BooleanParser: Missing )!"},
        {"missing > 3", "BooleanParser: Could not find variable \"missing\"!"},
    };
    for (const auto& c : cases) {
        BooleanLogicParserFrontend frontend;
        try {
            frontend.SetExpression(c.expression);
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
        for (int evaluation = 0; evaluation < 2; ++evaluation) {
            try {
                frontend.SetExpression(c.expression);
                frontend.GetCurrentResult(&memory, &state);
                ADD_FAILURE() << '"' << c.expression << "\" evaluated without fault";
            } catch (const std::invalid_argument& e) {
                EXPECT_STREQ(e.what(), c.error);
            }
            // Evaluating without handing the text again reports the same fault.
            EXPECT_THROW(frontend.GetCurrentResult(&memory, &state), std::invalid_argument);
        }
    }
}

TEST_F(ConditionParserTest, MissingMemoryOrStateIsReported) {
    TestSupport::LogCapture log;
    const Evaluation noMemory = EvaluateFresh("count > 1", nullptr, &state);
    EXPECT_EQ(noMemory.outcome, Outcome::RuntimeError);
    EXPECT_EQ(noMemory.text, "BooleanParser: Memory not initialized");
    EXPECT_TRUE(log.Contains("BooleanParser: Memory not initialized!"));

    // Inputs and literals need no memory.
    EXPECT_EQ(EvaluateFresh("din1 and 2 > 1", nullptr, &state).outcome, Outcome::True);

    EXPECT_EQ(EvaluateFresh("true", &memory, nullptr).outcome, Outcome::RuntimeError);
}

TEST(ConditionWarnings, SkippedAndAndOrAreReportedOncePerCondition) {
    // Conditions are remembered for the whole process: make these ones new to it.
    const std::string tag = std::to_string(std::random_device{}());
    const std::string condition = "warn_a" + tag + " > 1 && warn_b < 2";
    const std::string upper = "WARN_A" + tag + " > 1 && WARN_B < 2";
    const std::string other = "warn_c" + tag + " || true";
    const std::string single = "warn_d" + tag + " & true | false";

    TestSupport::LogCapture log;
    for (const std::string& text : {condition, condition, upper}) {
        BooleanLogicParserFrontend frontend;
        frontend.SetExpression(text);
    }
    for (int i = 0; i < 2; ++i) {
        Parser parser;
        parser.SetExpression(other);
    }
    Parser parser;
    parser.SetExpression(single);

    EXPECT_EQ(log.Count("\"&&\" and \"||\" are ignored in condition \""), 2) << log.Joined();
    EXPECT_EQ(log.Count(condition), 1) << log.Joined();
    EXPECT_EQ(log.Count(other), 1) << log.Joined();
    EXPECT_FALSE(log.Contains("warn_d" + tag)) << log.Joined();
}

TEST_F(ConditionParserTest, DeepNestingIsRefusedInOrder) {
    const struct {
        int depth;
        Outcome outcome;
    } cases[] = {
        {400, Outcome::True},
        {Parser::kMaxNesting + 10, Outcome::InvalidArgument},
        {20000, Outcome::InvalidArgument},
    };
    for (const auto& c : cases) {
        const std::string parenthesised =
            std::string(c.depth, '(') + "true" + std::string(c.depth, ')');
        std::string chained = "false";
        for (int i = 0; i < c.depth; ++i) {
            chained += " or !false";
        }
        for (const std::string& text : {parenthesised, chained}) {
            const Evaluation e = EvaluateFresh(text, &memory, &state);
            EXPECT_EQ(e.outcome, c.outcome) << c.depth << ": " << e.text;
            if (c.outcome == Outcome::InvalidArgument) {
                EXPECT_EQ(e.text, "BooleanParser: Expression nested too deeply!");
            }
        }
    }
}

// Random strings of condition fragments, some fused without blanks, many with a leading
// operator or trailing negations. Every evaluation must end with a value or one of the
// two documented exception types, and a parser reused for every string must agree with
// a fresh one.
TEST_F(ConditionParserTest, RandomTokenStringsEndInValueOrOrderlyFault) {
    static const char* const fragments[] = {
        "true", "false", "and", "or", "!", "(", ")", "=", ">", "<", ">=", "<=", "==", "=>",
        "din1", "DIN64", "din0", "din65", "din", "gsig1", "gsig100", "gsig101", "count",
        "half", "p1.x", "p1.e3", "p1.q", "p1", "p1.", "nope", "3", "-2.5", "5-3", "#", "&&",
        "||", "&", "\t", ".", "\xC4", "1e5", "din99999999999999999999", "Or", "AND", "!!"};
    constexpr int kFragments = sizeof(fragments) / sizeof(fragments[0]);

    std::mt19937 random(20240611u);
    std::uniform_int_distribution<int> pick(0, kFragments - 1);
    std::uniform_int_distribution<int> length(0, 16);
    std::uniform_int_distribution<int> glue(0, 3);

    Parser reused;
    int values = 0;
    std::vector<std::string> problems;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (int i = 0; i < 100000; ++i) {
        std::string text;
        if (i % 4 == 0) {
            text = i % 8 == 0 ? "and " : "or ";
        }
        const int n = length(random);
        for (int k = 0; k < n; ++k) {
            text += fragments[pick(random)];
            if (glue(random) != 0) {
                text += ' ';
            }
        }
        if (i % 5 == 0) {
            text += i % 10 == 0 ? " !" : "!!";
        }

        const Evaluation fresh = EvaluateFresh(text, &memory, &state);
        Evaluation again{Outcome::True, ""};
        try {
            reused.SetExpression(text);
            reused.Evaluate(&memory, state);
            again.outcome = reused.Evaluate(&memory, state) ? Outcome::True : Outcome::False;
        } catch (const std::invalid_argument& e) {
            again = {Outcome::InvalidArgument, e.what()};
        } catch (const std::runtime_error& e) {
            again = {Outcome::RuntimeError, e.what()};
        }
        const bool isValue = fresh.outcome == Outcome::True || fresh.outcome == Outcome::False;
        if (fresh.outcome != again.outcome || fresh.text != again.text) {
            problems.push_back('"' + text + "\": fresh " + OutcomeName(fresh.outcome) + ' ' +
                               fresh.text + ", reused " + OutcomeName(again.outcome) + ' ' +
                               again.text);
        }
        if (i % 4 == 0 && isValue) {
            problems.push_back('"' + text + "\": a leading operator gave a value");
        }
        values += isValue;
    }
    // The log lines of the faults went to the captured streams; drop them.
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    for (const std::string& problem : problems) {
        ADD_FAILURE() << problem;
    }
    // The fragments must reach the parser's later stages, not just the syntax check.
    EXPECT_GT(values, 1000);
}

TEST(ConditionTokenizer, DebugListingShowsIndexAndToken) {
    Parser parser;
    parser.SetExpression("din1 and 3");
    testing::internal::CaptureStdout();
    Parser::PrintTokenVector(parser.GetTokens());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nTokenVector:\n0: Token VARIABLE   Name: din1\n1: Token AND   \n"
              "2: Token NUMBER   Value: 3.0\n\n");
}

}  // namespace
