// Conditions read variables in place every cycle: long names, position elements in any
// case, and the faults of a missing or mistyped variable.

#include "IpoTestSupport.h"

#include "program/BooleanLogicParserFrontend.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ConditionRead, ReadsNumbersAndPositionElementsInPlace) {
    IpoTest::Memory mem;
    mem.memory.SetVariableSingle("aratherlongcountername", 4.0, true);
    mem.memory.SetVariablePosJoint("alongpositionvariable", 120.0, 0, 5, 0, 0, 0, 0, 0, 7, true);
    DataTypes::RobotState state;
    state.DIn[0] = true;
    struct Case {
        const char* condition;
        bool expected;
    };
    const Case cases[] = {
        {"din1 and ARatherLongCounterName > 3", true},
        {"aratherlongcountername > 4", false},
        {"alongpositionvariable.X > 119.5 and alongpositionvariable.x < 120.5", true},
        {"alongpositionvariable.E3 > 6.5", true},
        {"alongpositionvariable.a3 > 5", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.condition);
        BooleanLogicParserFrontend frontend;
        frontend.SetExpression(c.condition);
        EXPECT_EQ(frontend.GetCurrentResult(&mem.memory, &state), c.expected);
        // A kept frontend reads the variables anew each time.
        EXPECT_EQ(frontend.GetCurrentResult(&mem.memory, &state), c.expected);
    }
}

TEST(ConditionRead, MissingOrMistypedVariablesThrowTheirTexts) {
    IpoTest::Memory mem;
    mem.memory.SetVariableSingle("n", 1.0, true);
    mem.memory.SetVariablePosJoint("p", 1, 2, 3, 0, 0, 0, 0, 0, 0, true);
    DataTypes::RobotState state;
    struct Case {
        const char* condition;
        const char* text;
    };
    const Case cases[] = {
        {"nothere > 1", "BooleanParser: Could not find variable \"nothere\"!"},
        {"p > 1", "GetFromMemory: wrong var type"},
        {"n.x > 1", "GetFromMemory: wrong var type"},
        {"p.q > 1", "GetFromMemory: wrong element access"},
        {"p.a7 > 1", "GetFromMemory: wrong element access"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.condition);
        BooleanLogicParserFrontend frontend;
        frontend.SetExpression(c.condition);
        try {
            frontend.GetCurrentResult(&mem.memory, &state);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), c.text);
        }
    }
}

}  // namespace
