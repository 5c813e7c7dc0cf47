#include "program/CommandJoint.h"
#include "program/CommandLinear.h"
#include "program/CommandRelative.h"

#include "program/ProgramMemory.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>

using DataTypes::Matrix44;
using DataTypes::RobotState;
using DataTypes::Vector3;
using Programs::MemoryPosition;
using Programs::ProgramMemory;

namespace {

constexpr int kNext = 7;

// One element read into a fresh command of type T.
template <typename T>
struct Loaded {
    tinyxml2::XMLDocument doc;
    T cmd;
    explicit Loaded(const std::string& xml, bool quiet = true) {
        EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
        cmd.ReadXML(doc.FirstChildElement(), quiet);
        cmd.nextSuccessor = kNext;
    }
};

RobotState Pose(const Vector3& p, float a = 0, float b = 0, float c = 0) {
    RobotState s;
    s.A = a;
    s.B = b;
    s.C = c;
    s.UpdateMatrixFromABC();
    s.pose.SetTranslation(p);
    return s;
}

// Degrees between two rotations.
float AngleBetween(const Matrix44& from, const Matrix44& to) {
    Matrix44 r0 = from;
    Matrix44 r1 = to;
    r0.SetTranslation(0, 0, 0);
    r1.SetTranslation(0, 0, 0);
    Vector3 axis;
    float deg = 0;
    (r0.Inverse() * r1).GetAxisAngle(&axis, &deg);
    return deg;
}

bool AllFinite(const RobotState& s) {
    for (float v : s.pose.m) {
        if (!std::isfinite(v)) return false;
    }
    for (float v : s.jointSet) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

// Runs the command until it returns something other than -1; the number of calls, or
// limit + 1 when it never finished.
template <typename T>
int RunToEnd(T& cmd, RobotState& s, int limit = 20000, int cycleMs = 10, float ov = 100.0f) {
    for (int i = 1; i <= limit; ++i) {
        const int r = cmd.Interpolate(cycleMs, ov, &s);
        if (r != Command::ResultNotFinished) {
            EXPECT_EQ(r, kNext);
            return i;
        }
    }
    return limit + 1;
}

std::string ThrownText(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

// --- Reading ---------------------------------------------------------------------------

struct ReadCase {
    const char* xml;
    bool valid;
    const char* line;     // expected line, or "" for none
    bool errorLine;       // logged also when quiet
};

// Each case read loud and quiet: the informational line only when loud, an error line both times.
template <typename T>
void CheckReading(const ReadCase& k) {
    for (bool quiet : {false, true}) {
        TestSupport::LogCapture log;
        Loaded<T> l(k.xml, quiet);
        EXPECT_EQ(l.cmd.valid, k.valid) << k.xml;
        const bool expectLine = *k.line != '\0' && (!quiet || k.errorLine);
        if (expectLine) {
            EXPECT_EQ(log.Count(k.line), 1) << k.xml << "\n" << log.Joined();
            EXPECT_EQ(log.Lines().size(), 1u) << log.Joined();
        } else {
            EXPECT_TRUE(log.Lines().empty()) << k.xml << " quiet=" << quiet << "\n" << log.Joined();
        }
    }
}

TEST(CommandJointRead, TableOfElements) {
    const ReadCase cases[] = {
        {R"(<Joint Nr="4" Source="Numerical" velPercent="50" acc="40" smooth="10" AbortCondition="false" a1="10" )"
         R"(a2="-20" a3="30" a4="0" a5="0" a6="90" e1="1" e2="2" e3="3"/>)",
         true,
         "   Nr. 4: Joint 10.0 -20.0 30.0 0.0 0.0 90.0  ExtJoints 1.0 2.0 3.0  with vel 50.0%, acc 40.0%, smooth "
         "10.0%, abortcond false",
         false},
        {R"(<Joint Nr="1" AbortCondition="din1 == 1"/>)", true,
         "   Nr. 1: Joint 0.0 0.0 0.0 0.0 0.0 0.0  ExtJoints 0.0 0.0 0.0  with vel 0.0%, acc 50.0%, smooth 20.0%, "
         "abortcond din1 == 1",
         false},
        {R"(<Joint Nr="2" Source="VARIABLE" VariableName="Home" velPercent="20" AbortCondition="false"/>)", true,
         "   Nr. 2: JointbyVar home with vel 20.0%, acc 50.0%, smooth 20.0%, abortcond false", false},
        {R"(<Joint Nr="3" velPercent="20" a1="5"/>)", false, "Could not read CommandJoint, incomplete arguments", true},
        {R"(<Joint Nr="3" Source="teach" AbortCondition="false"/>)", false,
         "ERROR: could not read Joint cmd, wrong source type!", true},
        {R"(<Joint Nr="3" Source="variable" AbortCondition="false"/>)", false, "", false},
    };
    for (const ReadCase& k : cases) {
        CheckReading<CommandJoint>(k);
    }
}

TEST(CommandJointRead, FieldsAndDefaults) {
    Loaded<CommandJoint> full(
        R"(<Joint Nr="4" velPercent="50" acc="40" smooth="10" AbortCondition="din2" a1="10" a6="90" e3="3"/>)");
    EXPECT_EQ(full.cmd.className, "CommandJoint");
    EXPECT_EQ(full.cmd.commandType, CMD_JOINT);
    EXPECT_FALSE(full.cmd.IsCombinable());
    EXPECT_EQ(full.cmd.source, "numerical");
    EXPECT_EQ(full.cmd.abortCondition, "din2");
    EXPECT_FLOAT_EQ(full.cmd.velJointPercent, 50);
    EXPECT_FLOAT_EQ(full.cmd.accPercent, 40);
    EXPECT_FLOAT_EQ(full.cmd.smoothPercent, 10);
    EXPECT_FLOAT_EQ(full.cmd.target.jointSet[0], 10);
    EXPECT_FLOAT_EQ(full.cmd.target.jointSet[5], 90);
    EXPECT_FLOAT_EQ(full.cmd.target.jointSet[8], 3);

    Loaded<CommandJoint> byVar(R"(<Joint Source="Variable" VariableName="HomePos" AbortCondition="false"/>)");
    EXPECT_TRUE(byVar.cmd.IsVariableSource());
    EXPECT_EQ(byVar.cmd.variableName, "homepos");
    EXPECT_FLOAT_EQ(byVar.cmd.velJointPercent, 0);
    EXPECT_FLOAT_EQ(byVar.cmd.accPercent, 50);
    EXPECT_FLOAT_EQ(byVar.cmd.smoothPercent, 20);

    full.cmd.predecessor = 3;
    full.cmd.bodySuccessor = -2;
    EXPECT_EQ(full.cmd.ToString(), "Command Joint  - Pre: 3 - Succ: 7 -2 -2");
}

TEST(CommandLinearRead, TableOfElements) {
    const ReadCase cases[] = {
        {R"(<Linear Nr="5" x="100" y="-50.25" z="300" a="90" b="0" c="180" e1="1" e2="0" e3="0" vel="250" acc="40" )"
         R"(smooth="20" AbortCondition="false"/>)",
         true,
         "   Nr. 5: Linear 100.0 -50.2 300.0 -- 90.0 0.0 180.0  Ext 1.0 0.0 0.0   with 250.0 mm/s acc 40.0%, smooth "
         "20.0%, abortcond false",
         false},
        {R"(<Linear Nr="6" Source="Variable" VariableName="Place" vel="100" AbortCondition="false"/>)", true,
         "   Nr. 6: Linear by Variable place  with 100.0 mm/s acc 0.0%, smooth 0.0%, abortcond false", false},
        {R"(<Linear Nr="6" Source="nowhere" AbortCondition="false"/>)", false,
         "ERROR: could not read CommandLinear, wrong source type!", true},
        {R"(<Linear Nr="6" x="10"/>)", false, "Could not read CommandLinear, incomplete arguments", true},
        {R"(<Linear Nr="6" Source="variable" VariableName="p"/>)", false,
         "Could not read CommandLinear, incomplete arguments", true},
        {R"(<Linear Nr="6" Source="variable" AbortCondition="false"/>)", false, "", false},
    };
    for (const ReadCase& k : cases) {
        CheckReading<CommandLinear>(k);
    }
}

TEST(CommandLinearRead, TargetCarriesPoseRotationAndExternalAxes) {
    Loaded<CommandLinear> l(R"(<Linear x="100" y="20" z="300" a="90" e2="5" vel="250" acc="40" smooth="20" )"
                            R"(AbortCondition="false"/>)");
    EXPECT_EQ(l.cmd.className, "CommandLinear");
    EXPECT_EQ(l.cmd.commandType, CMD_CARTESIAN);
    EXPECT_FLOAT_EQ(l.cmd.velCartesian, 250);
    EXPECT_FLOAT_EQ(l.cmd.velRotation, 90);  // base default: not read from the file
    EXPECT_FLOAT_EQ(l.cmd.target.pose(0, 3), 100);
    EXPECT_FLOAT_EQ(l.cmd.target.pose(2, 3), 300);
    EXPECT_NEAR(l.cmd.target.pose(1, 0), 1.0f, 1e-6f);  // Rz(90): x axis along y
    EXPECT_FLOAT_EQ(l.cmd.target.A, 90);
    EXPECT_FLOAT_EQ(l.cmd.target.jointSet[7], 5);
}

TEST(CommandRelativeRead, TableOfElements) {
    const ReadCase cases[] = {
        {R"(<Relative Nr="8" MoType="JOINT" a1="10" e3="-4" velPercent="25" AbortCondition="false"/>)", true,
         "   Nr. 8: Relative Joint 10.0 0.0 0.0 0.0 0.0 0.0  ExtJoints 0.0 0.0 -4.0  with vel 25.0%, acc 50.0%, "
         "smooth 20.0%, abortcond false",
         false},
        {R"(<Relative Nr="9" MoType="CartBase" x="10" y="-2" z="0.5" vel="50" acc="30" smooth="5" )"
         R"(AbortCondition="false"/>)",
         true, "   Nr. 9: Relative CartBase 10.0 -2.0 0.5 with 50.0 mm/s, acc 30.0%, smooth 5.0%, abortcond false",
         false},
        {R"(<Relative Nr="10" MoType="tool" x="10" vel="50" AbortCondition="false"/>)", true,
         "   Nr. 10: Relative CartTool 10.0 0.0 0.0 with 50.0 mm/s, acc 50.0%, smooth 20.0%, abortcond false", false},
        {R"(<Relative Nr="11" x="10" vel="50" AbortCondition="false"/>)", false,
         "Command Relative: Attribute \"MoType\" not found! Cannot read command!", true},
        {R"(<Relative Nr="12" MoType="cartbase" x="10"/>)", false,
         "Could not read CommandRelative, incomplete arguments", true},
    };
    for (const ReadCase& k : cases) {
        CheckReading<CommandRelative>(k);
    }
}

TEST(CommandRelativeRead, FrameModeFollowsMoTypeAndSetsTheCommandType) {
    struct Case {
        const char* moType;
        int mode;
        CommandType type;
    };
    const Case cases[] = {{"JOINT", CommandRelative::FrameJoint, CMD_JOINT},
                          {"cartBase", CommandRelative::FrameBase, CMD_CARTESIAN},
                          {"CartTool", CommandRelative::FrameTool, CMD_CARTESIAN},
                          {"anything", CommandRelative::FrameTool, CMD_CARTESIAN}};
    for (const Case& k : cases) {
        for (bool quiet : {false, true}) {
            Loaded<CommandRelative> l(std::string(R"(<Relative MoType=")") + k.moType +
                                          R"(" a1="3" x="4" e1="5" vel="50" velPercent="20" AbortCondition="false"/>)",
                                      quiet);
            EXPECT_EQ(l.cmd.frameMode, k.mode) << k.moType;
            EXPECT_EQ(l.cmd.commandType, k.type) << k.moType;
            EXPECT_FALSE(l.cmd.IsCombinable());
            if (k.mode == CommandRelative::FrameJoint) {
                EXPECT_FLOAT_EQ(l.cmd.delta.jointSet[0], 3);
                EXPECT_FLOAT_EQ(l.cmd.velJointPercent, 20);
            } else {
                EXPECT_FLOAT_EQ(l.cmd.delta.jointSet[0], 0);  // a1..a6 are not read
                EXPECT_FLOAT_EQ(l.cmd.delta.pose(0, 3), 4);
                EXPECT_FLOAT_EQ(l.cmd.velCartesian, 50);
            }
            EXPECT_FLOAT_EQ(l.cmd.delta.jointSet[6], 5);
        }
    }
}

// --- Joint motion ----------------------------------------------------------------------

TEST(CommandJointMotion, LeadingJointMovesItsShareAndAllArriveTogether) {
    Loaded<CommandJoint> l(R"(<Joint velPercent="50" AbortCondition="false" a1="10" a2="-5"/>)");
    RobotState s;
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), Command::ResultNotFinished);
    EXPECT_NEAR(s.jointSet[0], 0.225f, 1e-6f);   // 50 % of 45 deg/s for 10 ms
    EXPECT_NEAR(s.jointSet[1], -0.1125f, 1e-6f);  // half the distance, half the step
    EXPECT_FLOAT_EQ(s.jointSet[2], 0.0f);
    EXPECT_FALSE(l.cmd.firstCycle);

    const int calls = RunToEnd(l.cmd, s);
    EXPECT_NEAR(calls, 44, 1);  // 10 / 0.225 = 44.4 cycles in all
    EXPECT_FLOAT_EQ(s.jointSet[0], 10.0f);
    EXPECT_FLOAT_EQ(s.jointSet[1], -5.0f);
    EXPECT_TRUE(l.cmd.firstCycle);
}

TEST(CommandJointMotion, OneAndAHalfStepsEndInTheSecondCycle) {
    Loaded<CommandJoint> l(R"(<Joint velPercent="50" AbortCondition="false" a3="0.3375"/>)");
    RobotState s;
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), Command::ResultNotFinished);
    EXPECT_NEAR(s.jointSet[2], 0.225f, 1e-6f);
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), kNext);
    EXPECT_FLOAT_EQ(s.jointSet[2], 0.3375f);
}

TEST(CommandJointMotion, NonexistentJointsAreZeroedInTheMoveAndTheTarget) {
    Loaded<CommandJoint> l(R"(<Joint velPercent="100" AbortCondition="false" a1="1" a5="30" a6="40" e2="9"/>)");
    l.cmd.nrRobotJoints = 4;
    l.cmd.nrExternalJoints = 1;
    RobotState s;
    s.jointSet[4] = 2;
    s.jointSet[5] = -2;
    RunToEnd(l.cmd, s);
    EXPECT_FLOAT_EQ(s.jointSet[0], 1);
    EXPECT_FLOAT_EQ(s.jointSet[4], 0);
    EXPECT_FLOAT_EQ(s.jointSet[5], 0);
    EXPECT_FLOAT_EQ(s.jointSet[7], 0);

    RobotState target;
    float vel = -1, velJ = -1, acc = -1, smooth = -1;
    l.cmd.GetTargetPosition(&s, &target, vel, velJ, acc, smooth);
    EXPECT_FLOAT_EQ(target.jointSet[0], 1);
    EXPECT_FLOAT_EQ(target.jointSet[4], 0);
    EXPECT_FLOAT_EQ(target.jointSet[5], 0);
    EXPECT_FLOAT_EQ(target.jointSet[7], 0);
    EXPECT_FLOAT_EQ(l.cmd.target.jointSet[5], 40);  // the programmed target is kept
    EXPECT_FLOAT_EQ(velJ, 100);
    EXPECT_FLOAT_EQ(acc, 50);
    EXPECT_FLOAT_EQ(smooth, 20);
}

TEST(CommandJointMotion, OffsetsMoveTheRunButNotThePlannerTarget) {
    Loaded<CommandJoint> l(R"(<Joint velPercent="100" AbortCondition="false" a1="10"/>)");
    const float offsets[9] = {5, 0, 0, 0, 0, 0, 0, 0, 1};
    l.cmd.jointOffsets = offsets;
    RobotState s;
    RunToEnd(l.cmd, s);
    EXPECT_FLOAT_EQ(s.jointSet[0], 15);
    EXPECT_FLOAT_EQ(s.jointSet[8], 1);

    RobotState target;
    float vel, velJ, acc, smooth;
    l.cmd.GetTargetPosition(&s, &target, vel, velJ, acc, smooth);
    EXPECT_FLOAT_EQ(target.jointSet[0], 10);
}

TEST(CommandJointMotion, VariableSourceTakesTheVariablesJoints) {
    Loaded<CommandJoint> l(R"(<Joint Source="variable" VariableName="Home" velPercent="100" AbortCondition="false"/>)");
    ProgramMemory memory;
    l.cmd.memory = &memory;
    RobotState s;
    EXPECT_NE(ThrownText([&] { l.cmd.Interpolate(10, 100, &s); }).find("Could not find variable \"home\""),
              std::string::npos);
    EXPECT_TRUE(l.cmd.firstCycle);

    RobotState home;
    home.jointSet[1] = 3;
    home.jointSet[6] = 2;
    memory.SetVariable(MemoryPosition("Home", home, false), Programs::ContentUnchanged);
    RunToEnd(l.cmd, s);
    EXPECT_FLOAT_EQ(s.jointSet[1], 3);
    EXPECT_FLOAT_EQ(s.jointSet[6], 2);

    RobotState target;
    float vel, velJ, acc, smooth;
    l.cmd.GetTargetPosition(&s, &target, vel, velJ, acc, smooth);
    EXPECT_FLOAT_EQ(target.jointSet[1], 3);
}

TEST(CommandJointMotion, ZeroVelocityOrOverrideNeverMakesNaN) {
    struct Case {
        const char* vel;
        float ov;
    };
    for (const Case k : {Case{"0", 100.0f}, Case{"50", 0.0f}}) {
        // Target not reached: stands still, returns -1.
        Loaded<CommandJoint> away(std::string(R"(<Joint AbortCondition="false" a1="10" velPercent=")") + k.vel + "\"/>");
        RobotState s;
        for (int i = 0; i < 50; ++i) {
            ASSERT_EQ(away.cmd.Interpolate(10, k.ov, &s), Command::ResultNotFinished);
        }
        EXPECT_TRUE(AllFinite(s));
        EXPECT_FLOAT_EQ(s.jointSet[0], 0);

        // Target reached exactly: finishes instead of dividing 0 by 0.
        Loaded<CommandJoint> there(std::string(R"(<Joint AbortCondition="false" velPercent=")") + k.vel + "\"/>");
        RobotState z;
        EXPECT_EQ(there.cmd.Interpolate(10, k.ov, &z), kNext);
        EXPECT_TRUE(AllFinite(z));
    }
}

TEST(CommandJointMotion, NegativeVelocityOrOverrideNeverWalksAway) {
    struct Case {
        const char* vel;
        float ov;
    };
    for (const Case k : {Case{"-50", 100.0f}, Case{"50", -100.0f}}) {
        SCOPED_TRACE(std::string(k.vel) + " at " + std::to_string(k.ov));
        Loaded<CommandJoint> joint(std::string(R"(<Joint AbortCondition="false" a1="10" velPercent=")") + k.vel +
                                   "\"/>");
        Loaded<CommandRelative> relative(
            std::string(R"(<Relative MoType="joint" AbortCondition="false" a1="10" velPercent=")") + k.vel + "\"/>");
        Command* commands[] = {&joint.cmd, &relative.cmd};
        for (Command* c : commands) {
            RobotState s;
            for (int i = 0; i < 50; ++i) {
                ASSERT_EQ(c->Interpolate(10, k.ov, &s), Command::ResultNotFinished) << c->className;
            }
            EXPECT_FLOAT_EQ(s.jointSet[0], 0) << c->className;
            EXPECT_TRUE(AllFinite(s));
        }
    }
}

TEST(CommandJointMotion, NonFiniteTargetOrVelocityThrowsBeforeAnyMove) {
    struct Case {
        const char* xml;
        const char* what;
    };
    const Case cases[] = {
        {R"(<Joint velPercent="50" AbortCondition="false" a1="nan"/>)", "CommandJoint: target a1 is not a finite"},
        {R"(<Joint velPercent="50" AbortCondition="false" e2="inf"/>)", "CommandJoint: target e2 is not a finite"},
        {R"(<Joint velPercent="nan" AbortCondition="false" a1="1"/>)", "CommandJoint: velPercent is not a finite"},
    };
    for (const Case& k : cases) {
        Loaded<CommandJoint> l(k.xml);
        RobotState s;
        EXPECT_NE(ThrownText([&] { l.cmd.Interpolate(10, 100, &s); }).find(k.what), std::string::npos) << k.xml;
        EXPECT_TRUE(AllFinite(s));
        EXPECT_TRUE(l.cmd.firstCycle);
        RobotState target;
        float vel, velJ, acc, smooth;
        EXPECT_NE(ThrownText([&] { l.cmd.GetTargetPosition(&s, &target, vel, velJ, acc, smooth); }).find(k.what),
                  std::string::npos);
    }
}

TEST(CommandJointMotion, NaNInAVariableNamesTheVariable) {
    Loaded<CommandJoint> l(R"(<Joint Source="variable" VariableName="Bad" velPercent="50" AbortCondition="false"/>)");
    ProgramMemory memory;
    l.cmd.memory = &memory;
    RobotState bad;
    bad.jointSet[2] = std::nanf("");
    memory.SetVariable(MemoryPosition("bad", bad, false), Programs::ContentUnchanged);
    RobotState s;
    EXPECT_EQ(ThrownText([&] { l.cmd.Interpolate(10, 100, &s); }),
              "CommandJoint: target a3 of variable \"bad\" is not a finite number");
    // The offset is added before the check: an infinite offset is caught too.
    Loaded<CommandJoint> o(R"(<Joint velPercent="50" AbortCondition="false" a1="1"/>)");
    const float offsets[9] = {0, 0, 0, 0, 0, 0, INFINITY, 0, 0};
    o.cmd.jointOffsets = offsets;
    EXPECT_EQ(ThrownText([&] { o.cmd.Interpolate(10, 100, &s); }), "CommandJoint: target e1 is not a finite number");
}

TEST(CommandMotionLogic, NumberVariableIsNoTarget) {
    // A number variable carries an empty state: a move to it would head for all-zero
    // joints or the base origin.
    ProgramMemory memory;
    memory.SetVariableSingle("n", 5, true);
    Loaded<CommandJoint> joint(R"(<Joint Source="variable" VariableName="N" velPercent="50" AbortCondition="false"/>)");
    Loaded<CommandLinear> linear(R"(<Linear Source="variable" VariableName="N" vel="10" AbortCondition="false"/>)");
    joint.cmd.memory = &memory;
    linear.cmd.memory = &memory;
    Command* commands[] = {&joint.cmd, &linear.cmd};
    for (Command* c : commands) {
        const std::string text = c->className + ": variable \"n\" is not a position variable";
        RobotState s = Pose({100, 0, 50});
        s.jointSet[0] = 20;
        const RobotState before = s;
        EXPECT_EQ(ThrownText([&] { c->Interpolate(10, 100, &s); }), text);
        EXPECT_FLOAT_EQ(s.jointSet[0], before.jointSet[0]);
        EXPECT_TRUE(s.pose.Equals(before.pose, 0.0f));
        EXPECT_TRUE(c->firstCycle);
        RobotState target;
        float vel, velJ, acc, smooth;
        EXPECT_EQ(ThrownText([&] { c->GetTargetPosition(&s, &target, vel, velJ, acc, smooth); }), text);
    }
}

TEST(CommandMotionLogic, AbortConditionDecidesTheResult) {
    ProgramMemory memory;
    memory.SetVariableSingle("stopnow", 0, true);
    Loaded<CommandJoint> j(R"(<Joint AbortCondition="stopnow > 0" a1="1"/>)");
    Loaded<CommandLinear> lin(R"(<Linear AbortCondition="stopnow > 0" x="1"/>)");
    Loaded<CommandRelative> rel(R"(<Relative MoType="joint" AbortCondition="stopnow > 0" a1="1"/>)");
    Command* commands[] = {&j.cmd, &lin.cmd, &rel.cmd};
    RobotState s;
    for (Command* c : commands) {
        c->memory = &memory;
        EXPECT_EQ(c->InterpolateLogic(10, 100, &s), Command::ResultNotFinished) << c->className;
    }
    memory.SetVariableSingle("stopnow", 1, false);
    for (Command* c : commands) {
        EXPECT_EQ(c->InterpolateLogic(10, 100, &s), kNext) << c->className;
        EXPECT_TRUE(c->firstCycle);  // the logic side leaves the motion alone
    }
}

// --- Linear motion ---------------------------------------------------------------------

TEST(CommandLinearMotion, StraightLineAtTheProgrammedSpeedEndsExactlyOnTarget) {
    Loaded<CommandLinear> l(R"(<Linear x="100" y="0" z="50" vel="100" AbortCondition="false"/>)");
    RobotState s = Pose({0, 0, 50});
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), Command::ResultNotFinished);
    EXPECT_NEAR(s.pose(0, 3), 1.0f, 1e-5f);  // 100 mm/s for 10 ms
    const int calls = RunToEnd(l.cmd, s);
    EXPECT_NEAR(calls, 99, 1);
    EXPECT_FLOAT_EQ(s.pose(0, 3), 100);
    EXPECT_FLOAT_EQ(s.pose(2, 3), 50);
    EXPECT_TRUE(l.cmd.firstCycle);
}

TEST(CommandLinearMotion, NinetyDegreeTurnMovesPointNineDegreesPerCycle) {
    Loaded<CommandLinear> l(R"(<Linear x="0" y="0" z="0" a="90" vel="100" AbortCondition="false"/>)");
    RobotState s = Pose({0, 0, 0});
    const Matrix44 start = s.pose;
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), Command::ResultNotFinished);
    EXPECT_NEAR(AngleBetween(start, s.pose), 0.9f, 1e-3f);
    EXPECT_NEAR(l.cmd.remainingRotation, 89.1f, 1e-3f);

    const int calls = 1 + RunToEnd(l.cmd, s);
    EXPECT_GE(calls, 99);
    EXPECT_LE(calls, 102);
    EXPECT_TRUE(s.pose.Equals(Pose({0, 0, 0}, 90).pose, 1e-5f));
}

TEST(CommandLinearMotion, OverrideChangeReplansFromWhereTheMoveStands) {
    Loaded<CommandLinear> l(R"(<Linear x="100" vel="100" AbortCondition="false"/>)");
    RobotState s = Pose({0, 0, 0});
    for (int i = 0; i < 10; ++i) {
        l.cmd.Interpolate(10, 100, &s);
    }
    EXPECT_NEAR(s.pose(0, 3), 10.0f, 1e-3f);
    EXPECT_EQ(l.cmd.Interpolate(10, 50, &s), Command::ResultNotFinished);
    EXPECT_NEAR(s.pose(0, 3), 10.5f, 1e-3f);
    EXPECT_FLOAT_EQ(l.cmd.lastOverride, 50);
    EXPECT_NEAR(l.cmd.translationStep, 0.5f, 1e-6f);
}

TEST(CommandLinearMotion, ZeroVelocityNeverArrivesAndZeroOverrideStandsStill) {
    struct Case {
        const char* vel;
        float ov;
    };
    for (const Case k : {Case{"0", 100.0f}, Case{"100", 0.0f}}) {
        Loaded<CommandLinear> l(std::string(R"(<Linear x="100" a="45" e1="30" AbortCondition="false" vel=")") + k.vel +
                                "\"/>");
        RobotState s = Pose({0, 0, 0});
        for (int i = 0; i < 2000; ++i) {
            ASSERT_EQ(l.cmd.Interpolate(10, k.ov, &s), Command::ResultNotFinished) << "cycle " << i;
        }
        EXPECT_TRUE(AllFinite(s));
        EXPECT_TRUE(s.pose.Equals(Pose({0, 0, 0}).pose, 1e-6f));
        EXPECT_TRUE(std::isfinite(l.cmd.rotationStep) && std::isfinite(l.cmd.externalStep));
    }
    // Nothing to do at velocity 0: done at once, without a NaN step.
    Loaded<CommandLinear> here(R"(<Linear x="0" vel="0" AbortCondition="false"/>)");
    RobotState s = Pose({0, 0, 0});
    EXPECT_EQ(here.cmd.Interpolate(10, 100, &s), kNext);
    EXPECT_TRUE(std::isfinite(here.cmd.translationStep));
    EXPECT_TRUE(AllFinite(s));
}

TEST(CommandLinearMotion, LeadingExternalAxisSetsTheDuration) {
    Loaded<CommandLinear> l(R"(<Linear x="1" e1="45" vel="100" AbortCondition="false"/>)");
    RobotState s = Pose({0, 0, 0});
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), Command::ResultNotFinished);
    EXPECT_NEAR(s.jointSet[6], 0.45f, 1e-5f);       // 45 units/s maximum for 10 ms
    EXPECT_NEAR(s.pose(0, 3), 0.01f, 1e-5f);        // 1 mm over the same 100 cycles
    const int calls = 1 + RunToEnd(l.cmd, s);
    EXPECT_NEAR(calls, 100, 2);
    EXPECT_FLOAT_EQ(s.jointSet[6], 45);
}

TEST(CommandLinearMotion, OffsetsAndVariableBuildTheRunTarget) {
    Loaded<CommandLinear> l(R"(<Linear Source="variable" VariableName="Place" vel="1000" AbortCondition="false"/>)");
    ProgramMemory memory;
    l.cmd.memory = &memory;
    // Only A, B, C count for the orientation: the stored rotation is the identity.
    RobotState place = Pose({10, 20, 30});
    place.A = 90;
    place.jointSet[6] = 4;
    memory.SetVariable(MemoryPosition("place", place, false), Programs::ContentUnchanged);
    const float cart[6] = {1, 2, 3, 0, 0, 0};
    const float joints[9] = {0, 0, 0, 0, 0, 0, 1, 0, 0};
    l.cmd.cartesianOffsets = cart;
    l.cmd.jointOffsets = joints;

    RobotState s = Pose({0, 0, 0});
    RunToEnd(l.cmd, s);
    EXPECT_FLOAT_EQ(s.pose(0, 3), 11);
    EXPECT_FLOAT_EQ(s.pose(1, 3), 22);
    EXPECT_FLOAT_EQ(s.pose(2, 3), 33);
    EXPECT_FLOAT_EQ(s.jointSet[6], 5);
    EXPECT_TRUE(s.pose.Equals(Pose({11, 22, 33}, 90).pose, 1e-5f));

    RobotState target;
    float vel, velJ, acc, smooth;
    l.cmd.GetTargetPosition(&s, &target, vel, velJ, acc, smooth);  // no offsets for the planner
    EXPECT_TRUE(target.pose.Equals(Pose({10, 20, 30}, 90).pose, 1e-5f));
    EXPECT_FLOAT_EQ(target.jointSet[6], 4);
    EXPECT_FLOAT_EQ(vel, 1000);
}

TEST(CommandLinearMotion, NonFiniteTargetOrVelocityThrowsNamingIt) {
    struct Case {
        const char* xml;
        const char* text;
    };
    const Case cases[] = {
        {R"(<Linear x="nan" vel="10" AbortCondition="false"/>)", "CommandLinear: target x is not a finite number"},
        {R"(<Linear b="inf" vel="10" AbortCondition="false"/>)", "CommandLinear: target b is not a finite number"},
        {R"(<Linear e3="-inf" vel="10" AbortCondition="false"/>)", "CommandLinear: target e3 is not a finite number"},
        {R"(<Linear x="1" vel="nan" AbortCondition="false"/>)", "CommandLinear: vel is not a finite number"},
    };
    for (const Case& k : cases) {
        Loaded<CommandLinear> l(k.xml);
        RobotState s = Pose({0, 0, 0});
        EXPECT_EQ(ThrownText([&] { l.cmd.Interpolate(10, 100, &s); }), k.text);
        EXPECT_TRUE(AllFinite(s));
        RobotState target;
        float vel, velJ, acc, smooth;
        EXPECT_EQ(ThrownText([&] { l.cmd.GetTargetPosition(&s, &target, vel, velJ, acc, smooth); }), k.text);
    }

    Loaded<CommandLinear> v(R"(<Linear Source="variable" VariableName="P" vel="10" AbortCondition="false"/>)");
    ProgramMemory memory;
    v.cmd.memory = &memory;
    RobotState p = Pose({0, 0, 0});
    p.pose(1, 3) = std::nanf("");
    memory.SetVariable(MemoryPosition("p", p, false), Programs::ContentUnchanged);
    RobotState s = Pose({0, 0, 0});
    EXPECT_EQ(ThrownText([&] { v.cmd.Interpolate(10, 100, &s); }),
              "CommandLinear: target y of variable \"p\" is not a finite number");
    RobotState target;
    float vel, velJ, acc, smooth;
    EXPECT_EQ(ThrownText([&] { v.cmd.GetTargetPosition(&s, &target, vel, velJ, acc, smooth); }),
              "CommandLinear: target y of variable \"p\" is not a finite number");
}

// --- Relative motion -------------------------------------------------------------------

TEST(CommandRelativeMotion, ToolFrameDistanceTurnsWithTheTool) {
    struct Case {
        const char* moType;
        Vector3 moved;
    };
    const Case cases[] = {{"carttool", {0, 10, 0}}, {"cartbase", {10, 0, 0}}};
    for (const Case& k : cases) {
        Loaded<CommandRelative> l(std::string(R"(<Relative MoType=")") + k.moType +
                                  R"(" x="10" vel="100" AbortCondition="false"/>)");
        const RobotState start = Pose({100, 200, 300}, 90);
        RobotState target;
        float vel = 0, velJ = 0, acc = 0, smooth = 0;
        RobotState current = start;
        l.cmd.GetTargetPosition(&current, &target, vel, velJ, acc, smooth);
        EXPECT_NEAR(target.pose(0, 3), 100 + k.moved.x, 1e-4f) << k.moType;
        EXPECT_NEAR(target.pose(1, 3), 200 + k.moved.y, 1e-4f) << k.moType;
        EXPECT_NEAR(target.pose(2, 3), 300 + k.moved.z, 1e-4f) << k.moType;
        EXPECT_FLOAT_EQ(vel, 100);
        EXPECT_FLOAT_EQ(acc, 50);

        RobotState s = start;
        RunToEnd(l.cmd, s);
        EXPECT_NEAR(s.pose(0, 3), 100 + k.moved.x, 1e-4f) << k.moType;
        EXPECT_NEAR(s.pose(1, 3), 200 + k.moved.y, 1e-4f) << k.moType;
        EXPECT_NEAR(AngleBetween(start.pose, s.pose), 0.0f, 1e-3f);  // orientation unchanged
    }
}

TEST(CommandRelativeMotion, EachRunMovesAgainFromWhereTheRobotIs) {
    Loaded<CommandRelative> l(R"(<Relative MoType="joint" a2="10" e1="2" velPercent="100" AbortCondition="false"/>)");
    l.cmd.nrExternalJoints = 0;  // e1 is not there: its distance counts as 0
    RobotState s;
    s.jointSet[1] = 5;
    RunToEnd(l.cmd, s);
    EXPECT_FLOAT_EQ(s.jointSet[1], 15);
    EXPECT_FLOAT_EQ(s.jointSet[6], 0);
    RunToEnd(l.cmd, s);
    EXPECT_FLOAT_EQ(s.jointSet[1], 25);
    EXPECT_FLOAT_EQ(l.cmd.delta.jointSet[6], 2);  // the programmed distance is kept
}

TEST(CommandRelativeMotion, JointModeStepsAndArrivalThreshold) {
    Loaded<CommandRelative> l(R"(<Relative MoType="joint" a1="10" velPercent="50" AbortCondition="false"/>)");
    RobotState s;
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), Command::ResultNotFinished);
    EXPECT_NEAR(s.jointSet[0], 0.225f, 1e-6f);
    // Within 0.1 of the target it snaps there.
    s.jointSet[0] = 9.95f;
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), kNext);
    EXPECT_FLOAT_EQ(s.jointSet[0], 10);
    // Velocity 0 never arrives, without a NaN.
    Loaded<CommandRelative> z(R"(<Relative MoType="joint" a1="10" velPercent="0" AbortCondition="false"/>)");
    RobotState t;
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(z.cmd.Interpolate(10, 100, &t), Command::ResultNotFinished);
    }
    EXPECT_TRUE(AllFinite(t));
}

TEST(CommandRelativeMotion, OverrideChangeAndZeroVelocityInTheCartesianMove) {
    Loaded<CommandRelative> l(R"(<Relative MoType="cartbase" x="100" vel="100" AbortCondition="false"/>)");
    RobotState s = Pose({0, 0, 0});
    l.cmd.Interpolate(10, 100, &s);
    EXPECT_NEAR(s.pose(0, 3), 1.0f, 1e-5f);
    l.cmd.Interpolate(10, 25, &s);
    EXPECT_NEAR(s.pose(0, 3), 1.25f, 1e-5f);
    EXPECT_FLOAT_EQ(l.cmd.lastOverride, 25);

    // Velocity 0, at full and at zero override: stands, never arrives, no NaN.
    Loaded<CommandRelative> z(R"(<Relative MoType="cartbase" x="10" e1="5" vel="0" AbortCondition="false"/>)");
    RobotState t = Pose({0, 0, 0});
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(z.cmd.Interpolate(10, 100, &t), Command::ResultNotFinished);
        ASSERT_EQ(z.cmd.Interpolate(10, 0, &t), Command::ResultNotFinished);
    }
    EXPECT_TRUE(AllFinite(t));
    EXPECT_TRUE(t.pose.Equals(Pose({0, 0, 0}).pose, 1e-6f));
}

TEST(CommandRelativeMotion, NonFiniteDistanceThrows) {
    Loaded<CommandRelative> l(R"(<Relative MoType="carttool" x="nan" vel="10" AbortCondition="false"/>)");
    RobotState s = Pose({0, 0, 0});
    EXPECT_EQ(ThrownText([&] { l.cmd.Interpolate(10, 100, &s); }), "CommandRelative: target x is not a finite number");
    RobotState target;
    float vel, velJ, acc, smooth;
    EXPECT_EQ(ThrownText([&] { l.cmd.GetTargetPosition(&s, &target, vel, velJ, acc, smooth); }),
              "CommandRelative: target x is not a finite number");
    Loaded<CommandRelative> j(R"(<Relative MoType="joint" a4="inf" velPercent="10" AbortCondition="false"/>)");
    EXPECT_EQ(ThrownText([&] { j.cmd.Interpolate(10, 100, &s); }), "CommandRelative: target a4 is not a finite number");
}

}  // namespace
