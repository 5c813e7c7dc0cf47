#include "program/CommandCircular.h"

#include "program/ProgramMemory.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cmath>
#include <stdexcept>
#include <string>

using DataTypes::RobotState;
using DataTypes::Vector3;
using Programs::MemoryPosition;
using Programs::ProgramMemory;

namespace {

constexpr double kPi = 3.141592653589793;

RobotState At(const Vector3& p, float a = 0, float b = 0, float c = 0, float e1 = 0) {
    RobotState s;
    s.A = a;
    s.B = b;
    s.C = c;
    s.UpdateMatrixFromABC();
    s.pose.SetTranslation(p);
    s.jointSet[6] = e1;
    return s;
}

const char* kNumerical =
    R"(<Circular Nr="7" AbortCondition="false" vel="100" acc="40" smooth="20" useAngle="false" angle="0" )"
    R"(Source="Numerical" p1x="70.710678" p1y="70.710678" p1z="0" p2x="0" p2y="100" p2z="0" a="0" b="0" c="0" )"
    R"(e1="0" e2="0" e3="0" />)";

// Reads one element into a fresh command.
struct Loaded {
    tinyxml2::XMLDocument doc;
    CommandCircular cmd;
    explicit Loaded(const std::string& xml, bool quiet = true) {
        EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS);
        cmd.ReadXML(doc.FirstChildElement(), quiet);
        cmd.nextSuccessor = 12;
    }
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const auto pos = text.find(from);
    EXPECT_NE(pos, std::string::npos) << from;
    return text.replace(pos, from.size(), to);
}

TEST(CommandCircularRead, NumericalElementFillsFieldsAndLogsItsLine) {
    TestSupport::LogCapture log;
    Loaded l(kNumerical, false);
    const CommandCircular& c = l.cmd;
    EXPECT_TRUE(c.valid);
    EXPECT_EQ(c.className, "CommandCircular");
    EXPECT_EQ(c.commandType, CMD_CARTESIAN);
    EXPECT_FALSE(c.IsCombinable());
    EXPECT_FLOAT_EQ(c.velCartesian, 100.0f);
    EXPECT_FLOAT_EQ(c.accPercent, 40.0f);
    EXPECT_FLOAT_EQ(c.smoothPercent, 20.0f);
    EXPECT_FALSE(c.variableSource);
    EXPECT_FLOAT_EQ(c.helpPoint.x, 70.710678f);
    EXPECT_FLOAT_EQ(c.endPoint.y, 100.0f);
    EXPECT_EQ(c.circle, nullptr);
    EXPECT_TRUE(log.Contains("   Nr. 7: Circular 70.7 70.7 0.0, 0.0 100.0 0.0, Ori 0.0 0.0 0.0 Ext 0.0 0.0 0.0   with "
                             "100.0 mm/s acc 40.0%, smooth 20.0%, abortcond false"))
        << log.Joined();
}

TEST(CommandCircularRead, VariableSourceTakesTheNamesAsWritten) {
    TestSupport::LogCapture log;
    Loaded l(R"(<Circular Nr="3" AbortCondition="false" vel="50" acc="40" smooth="20" useAngle="true" angle="-90" )"
             R"(Source="VARIABLE" VariableHelperName="HelpPos" VariableEndName="EndPos" />)",
             false);
    EXPECT_TRUE(l.cmd.valid);
    EXPECT_TRUE(l.cmd.variableSource);
    EXPECT_TRUE(l.cmd.useAngle);
    EXPECT_DOUBLE_EQ(l.cmd.angle, -90.0);
    EXPECT_EQ(l.cmd.helpVariableName, "HelpPos");
    EXPECT_EQ(l.cmd.endVariableName, "EndPos");
    EXPECT_TRUE(log.Contains("   Nr. 3: Circular var helper=\"HelpPos\", var target=\"EndPos\", angle -90.0   with 50.0 "
                             "mm/s acc 40.0%, smooth 20.0%, abortcond false"))
        << log.Joined();
}

TEST(CommandCircularRead, MissingOrBadAttributeInvalidatesWithItsName) {
    struct Case {
        const char* from;
        const char* to;
        const char* message;
    };
    const Case cases[] = {
        {R"(useAngle="false")", "", "Could not find attribute 'useAngle'"},
        {R"(AbortCondition="false")", "", "Could not find attribute 'AbortCondition'"},
        {R"(p2z="0")", "", "Could not find attribute 'p2z'"},
        {R"(e3="0")", "", "Could not find attribute 'e3'"},
        {R"(vel="100")", R"(vel="fast")", "Could not parse attribute 'vel'"},
        {R"(useAngle="false")", R"(useAngle="maybe")", "Could not parse attribute 'useAngle'"},
        // Numbers no motion can use: at 0 the arc never arrives, NaN and inf go nowhere.
        {R"(vel="100")", R"(vel="0")", "Could not parse attribute 'vel'"},
        {R"(vel="100")", R"(vel="-100")", "Could not parse attribute 'vel'"},
        {R"(vel="100")", R"(vel="nan")", "Could not parse attribute 'vel'"},
        {R"(vel="100")", R"(vel="inf")", "Could not parse attribute 'vel'"},
        {R"(angle="0")", R"(angle="nan")", "Could not parse attribute 'angle'"},
        {R"(angle="0")", R"(angle="-inf")", "Could not parse attribute 'angle'"},
        {R"(acc="40")", R"(acc="nan")", "Could not parse attribute 'acc'"},
        {R"(p1y="70.710678")", R"(p1y="inf")", "Could not parse attribute 'p1y'"},
        {R"(e2="0")", R"(e2="nan")", "Could not parse attribute 'e2'"},
    };
    for (const Case& k : cases) {
        TestSupport::LogCapture log;
        Loaded l(Replace(kNumerical, k.from, k.to), true);
        EXPECT_FALSE(l.cmd.valid) << k.message;
        EXPECT_TRUE(log.Contains(std::string("Error: Could not read CommandCircular: ") + k.message)) << log.Joined();
    }
}

TEST(CommandCircularTarget, NumericalTargetIsTheArcEndWithOrientationAxesAndParameters) {
    Loaded l(Replace(Replace(kNumerical, R"(a="0")", R"(a="30")"), R"(e1="0")", R"(e1="15")"));
    l.cmd.nrExternalJoints = 1;
    RobotState current = At({100, 0, 0});
    RobotState target = current;
    target.jointSet[7] = 99;  // a missing external axis is zeroed
    float vel = 0, velJ = 0, acc = 0, smooth = 0;
    l.cmd.GetTargetPosition(&current, &target, vel, velJ, acc, smooth);

    ASSERT_NE(l.cmd.circle, nullptr);
    EXPECT_NEAR(l.cmd.circle->radius, 100.0, 1e-3);
    EXPECT_NEAR(l.cmd.circle->angle, kPi / 2, 1e-4);
    EXPECT_NEAR(target.pose(0, 3), 0.0f, 1e-3f);
    EXPECT_NEAR(target.pose(1, 3), 100.0f, 1e-3f);
    EXPECT_FLOAT_EQ(target.A, 30.0f);
    EXPECT_NEAR(target.pose(1, 0), 0.5f, 1e-5f);  // Rz(30) in the rotation block
    EXPECT_FLOAT_EQ(target.jointSet[6], 15.0f);
    EXPECT_FLOAT_EQ(target.jointSet[7], 0.0f);
    EXPECT_FLOAT_EQ(vel, 100.0f);
    EXPECT_FLOAT_EQ(velJ, 30.0f);
    EXPECT_FLOAT_EQ(acc, 40.0f);
    EXPECT_FLOAT_EQ(smooth, 20.0f);
}

const char* kVariable =
    R"(<Circular Nr="1" AbortCondition="false" vel="100" acc="40" smooth="20" useAngle="false" angle="0" )"
    R"(Source="variable" VariableHelperName="Help" VariableEndName="Goal" />)";

TEST(CommandCircularTarget, VariableSourceReadsBothVariablesOrThrows) {
    ProgramMemory memory;
    Loaded l(kVariable);
    l.cmd.memory = &memory;
    RobotState current = At({100, 0, 0});
    RobotState target;
    float vel = 0, velJ = 0, acc = 0, smooth = 0;
    try {
        l.cmd.GetTargetPosition(&current, &target, vel, velJ, acc, smooth);
        FAIL() << "no exception without the variables";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "CommandCircular: Variable is not defined");
    }

    memory.SetVariable(MemoryPosition("Help", At({0, 100, 0}), false), Programs::ContentUnchanged);
    memory.SetVariable(MemoryPosition("Goal", At({-100, 0, 0}, 45, 0, 0, 7), false), Programs::ContentUnchanged);
    l.cmd.GetTargetPosition(&current, &target, vel, velJ, acc, smooth);
    EXPECT_NEAR(l.cmd.circle->angle, kPi, 1e-4);
    EXPECT_NEAR(target.pose(0, 3), -100.0f, 1e-3f);
    EXPECT_FLOAT_EQ(target.A, 45.0f);
    EXPECT_FLOAT_EQ(target.jointSet[6], 7.0f);
}

// A number variable as help or end point would give a point at the origin: refused by name,
// both when planned and when interpolated, before the circle is computed.
TEST(CommandCircularTarget, NumberVariableAsHelpOrEndPointThrowsNamingIt) {
    struct Case {
        bool helpIsNumber;
        const char* message;
    };
    for (const Case& k : {Case{true, "CommandCircular: variable \"help\" is not a position variable"},
                          Case{false, "CommandCircular: variable \"goal\" is not a position variable"}}) {
        ProgramMemory memory;
        if (k.helpIsNumber) {
            memory.SetVariableSingle("Help", 3.0, true);
            memory.SetVariable(MemoryPosition("Goal", At({-100, 0, 0}), false), Programs::ContentUnchanged);
        } else {
            memory.SetVariable(MemoryPosition("Help", At({0, 100, 0}), false), Programs::ContentUnchanged);
            memory.SetVariableSingle("Goal", 3.0, true);
        }
        Loaded l(kVariable);
        l.cmd.memory = &memory;
        RobotState current = At({100, 0, 0});
        RobotState target;
        float vel = 0, velJ = 0, acc = 0, smooth = 0;
        try {
            l.cmd.GetTargetPosition(&current, &target, vel, velJ, acc, smooth);
            ADD_FAILURE() << "GetTargetPosition accepted " << k.message;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), k.message);
        }
        EXPECT_FALSE(l.cmd.circle) << "no circle through the origin";
        RobotState state = current;
        try {
            l.cmd.Interpolate(10, 100.0f, &state);
            ADD_FAILURE() << "Interpolate accepted " << k.message;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), k.message);
        }
        EXPECT_NEAR(state.pose(0, 3), 100.0f, 1e-6f) << "nothing moved";
    }
}

struct RunCase {
    const char* name;
    float radiusScale;  // the quarter circle of the element, scaled
    float endA;         // programmed A
    float endE1;        // programmed e1
    double angleStep;   // expected rad per cycle
    int cycles;         // expected cycles to the end
};

class CommandCircularRun : public ::testing::TestWithParam<RunCase> {};

// 10 ms cycles, 100 % override, 100 mm/s, rotation 90 deg/s, axis maximum 45 /s.
TEST_P(CommandCircularRun, StepsPlannedSoEverythingEndsTogether) {
    const RunCase& k = GetParam();
    const float r = 100.0f * k.radiusScale;
    std::string xml = kNumerical;
    xml = Replace(xml, R"(p1x="70.710678" p1y="70.710678")",
                  "p1x=\"" + std::to_string(0.70710678f * r) + "\" p1y=\"" + std::to_string(0.70710678f * r) + "\"");
    xml = Replace(xml, R"(p2y="100")", "p2y=\"" + std::to_string(r) + "\"");
    xml = Replace(xml, R"(a="0")", "a=\"" + std::to_string(k.endA) + "\"");
    xml = Replace(xml, R"(e1="0")", "e1=\"" + std::to_string(k.endE1) + "\"");
    Loaded l(xml);
    RobotState state = At({r, 0, 0});

    int result = -1;
    int cycles = 0;
    while (result == -1 && cycles < 10000) {
        result = l.cmd.Interpolate(10, 100.0f, &state);
        ++cycles;
        if (cycles == 1) {
            EXPECT_NEAR(l.cmd.angleStep, k.angleStep, 1e-6);
        }
        ASSERT_NEAR((state.pose.GetTranslation() - l.cmd.circle->center).Magnitude(), r, 1e-2f);
        ASSERT_LE(l.cmd.currentAngle, l.cmd.circle->angle + 1e-12);
    }
    EXPECT_EQ(result, 12);
    EXPECT_TRUE(l.cmd.firstCycle) << "re-armed for the next run";
    EXPECT_NEAR(cycles, k.cycles, 1);
    // The last step is partial: arc, orientation and axis all end on their targets.
    EXPECT_NEAR(state.pose(0, 3), 0.0f, 1e-3f);
    EXPECT_NEAR(state.pose(1, 3), r, 1e-3f);
    state.UpdateABC();
    EXPECT_NEAR(state.A, k.endA, 0.01f);
    EXPECT_NEAR(state.jointSet[6], k.endE1, 1e-3f);
}

INSTANTIATE_TEST_SUITE_P(
    Leaders, CommandCircularRun,
    ::testing::Values(
        // 100 * 10 * 100 / (100 * 200000) = 0.005 rad: 0.5 mm of arc per cycle.
        RunCase{"arc_leads", 1.0f, 20.0f, 10.0f, 0.005, 315},
        // 90 deg at 90 deg/s: 100 cycles of 0.9 deg; the arc is stretched to match.
        RunCase{"rotation_leads", 0.1f, 90.0f, 0.0f, kPi / 2 / 100, 100},
        // 90 at 45 /s: 200 cycles of 0.45.
        RunCase{"axis_leads", 0.1f, 10.0f, 90.0f, kPi / 2 / 200, 200}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

TEST(CommandCircularInterpolate, NegativeAngleRunsAwayFromHelpPointAndStopsAtTheSweep) {
    Loaded l(Replace(Replace(kNumerical, R"(useAngle="false")", R"(useAngle="true")"), R"(angle="0")",
                     R"(angle="-90")"));
    RobotState state = At({100, 0, 0});
    int result = -1;
    for (int i = 0; i < 1000 && result == -1; ++i) {
        result = l.cmd.Interpolate(10, 100.0f, &state);
        ASSERT_LE(state.pose(1, 3), 1e-3f) << "stays on the side away from the help point";
        ASSERT_GE(l.cmd.currentAngle, -kPi / 2 - 1e-12);
    }
    EXPECT_EQ(result, 12);
    EXPECT_NEAR(state.pose(0, 3), 0.0f, 1e-3f);
    EXPECT_NEAR(state.pose(1, 3), -100.0f, 1e-3f);
}

// Nearly collinear points: a circle of 2.5 km radius still ends on its end point (its
// sweep is below the old 0.001 rad arrival tolerance); one of 125 km is refused.
TEST(CommandCircularInterpolate, NearlyStraightArcArrivesOrIsRefused) {
    const std::string xml = Replace(Replace(Replace(kNumerical, R"(p1x="70.710678" p1y="70.710678")",
                                                    R"(p1x="500" p1y="0.05")"),
                                            R"(p2x="0" p2y="100")", R"(p2x="1000" p2y="0")"),
                                    R"(vel="100")", R"(vel="500")");
    Loaded l(xml);
    RobotState state = At({0, 0, 0});
    int result = -1;
    int cycles = 0;
    for (; cycles < 100000 && result == -1; ++cycles) {
        result = l.cmd.Interpolate(10, 100.0f, &state);
    }
    EXPECT_EQ(result, 12);
    EXPECT_NEAR(cycles, 1000.0 / 2.5, 2);  // half the programmed speed, as every arc runs
    EXPECT_NEAR(state.pose(0, 3), 1000.0f, 1e-3f);
    EXPECT_NEAR(state.pose(1, 3), 0.0f, 1e-3f);

    RobotState current = At({0, 0, 0});
    RobotState target = current;
    float vel = 0, velJ = 0, acc = 0, smooth = 0;
    l.cmd.GetTargetPosition(&current, &target, vel, velJ, acc, smooth);
    EXPECT_NEAR(target.pose(0, 3), 1000.0f, 1e-3f);
    EXPECT_NEAR(target.pose(1, 3), 0.0f, 1e-3f);

    Loaded flat(Replace(xml, R"(p1y="0.05")", R"(p1y="0.001")"));
    state = At({0, 0, 0});
    try {
        flat.cmd.Interpolate(10, 100.0f, &state);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "CommandCircular: Invalid definition of circle, points are in line");
    }
    EXPECT_THROW(flat.cmd.GetTargetPosition(&current, &target, vel, velJ, acc, smooth), std::runtime_error);
}

// A first cycle that throws must run again as a first cycle, not continue with no circle.
TEST(CommandCircularInterpolate, FailedFirstCycleIsRepeatedNotResumed) {
    ProgramMemory memory;
    Loaded l(kVariable);
    l.cmd.memory = &memory;
    RobotState state = At({100, 0, 0});
    EXPECT_THROW(l.cmd.Interpolate(10, 100.0f, &state), std::runtime_error);
    EXPECT_TRUE(l.cmd.firstCycle);
    EXPECT_THROW(l.cmd.Interpolate(10, 100.0f, &state), std::runtime_error);

    memory.SetVariable(MemoryPosition("Help", At({0, 100, 0}), false), Programs::ContentUnchanged);
    memory.SetVariable(MemoryPosition("Goal", At({-100, 0, 0}), false), Programs::ContentUnchanged);
    EXPECT_EQ(l.cmd.Interpolate(10, 100.0f, &state), -1);
    EXPECT_FALSE(l.cmd.firstCycle);
    ASSERT_NE(l.cmd.circle, nullptr);
    EXPECT_NEAR(l.cmd.circle->angle, kPi, 1e-4);
    EXPECT_NEAR(l.cmd.currentAngle, 0.005, 1e-9);

    // Points in line fail the same way and also leave the command at its first cycle.
    l.cmd.firstCycle = true;
    memory.SetVariable(MemoryPosition("Help", At({110, 0, 0}), false), Programs::ContentUnchanged);
    memory.SetVariable(MemoryPosition("Goal", At({120, 0, 0}), false), Programs::ContentUnchanged);
    state = At({100, 0, 0});
    EXPECT_THROW(l.cmd.Interpolate(10, 100.0f, &state), std::runtime_error);
    EXPECT_TRUE(l.cmd.firstCycle);
}

TEST(CommandCircularInterpolate, PausedArcResumesWithItsCircleAndAngle) {
    Loaded l(kNumerical);
    RobotState state = At({100, 0, 0});
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(l.cmd.Interpolate(10, 100.0f, &state), -1);
    }
    const auto circle = l.cmd.circle;
    const double angle = l.cmd.currentAngle;
    // Resuming: the next cycle goes on from where the arc stood.
    ASSERT_EQ(l.cmd.Interpolate(10, 100.0f, &state), -1);
    EXPECT_EQ(l.cmd.circle, circle);
    EXPECT_NEAR(l.cmd.currentAngle, angle + 0.005, 1e-9);
    // A program start (Init) plans a new arc from the then current position.
    l.cmd.Init();
    ASSERT_EQ(l.cmd.Interpolate(10, 100.0f, &state), -1);
    EXPECT_NE(l.cmd.circle, circle);
    EXPECT_NEAR(l.cmd.currentAngle, 0.005 * 100.0 / l.cmd.circle->radius, 1e-6);
}

TEST(CommandCircularLogic, AbortConditionEndsTheMotion) {
    ProgramMemory memory;
    RobotState state;
    struct Case {
        const char* condition;
        int result;
    };
    for (const Case& k : {Case{"false", -1}, Case{"true", 12}}) {
        Loaded l(Replace(kNumerical, R"(AbortCondition="false")", std::string("AbortCondition=\"") + k.condition + "\""));
        l.cmd.memory = &memory;
        EXPECT_EQ(l.cmd.InterpolateLogic(10, 100.0f, &state), k.result) << k.condition;
    }
}

}  // namespace
