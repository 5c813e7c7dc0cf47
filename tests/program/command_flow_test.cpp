#include "program/CommandComment.h"
#include "program/CommandPause.h"
#include "program/CommandSetVelocity.h"
#include "program/CommandStop.h"
#include "program/CommandWait.h"

#include "program/ProgramMemory.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <string>

using DataTypes::RobotState;
using Programs::ProgramMemory;

namespace {

constexpr int kNext = 5;

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

struct ReadCase {
    const char* xml;
    bool valid;
    const char* line;       // the informational line, "" for none
    const char* errorLine;  // written also when quiet, "" for none
};

// Reads each case loud and quiet and checks the valid flag and the exact lines.
template <typename T>
void CheckReading(const ReadCase& k) {
    for (bool quiet : {false, true}) {
        TestSupport::LogCapture log;
        Loaded<T> l(k.xml, quiet);
        EXPECT_EQ(l.cmd.valid, k.valid) << k.xml;
        size_t expected = 0;
        if (*k.errorLine != '\0') {
            EXPECT_EQ(log.Count(k.errorLine), 1) << k.xml << "\n" << log.Joined();
            ++expected;
        }
        if (*k.line != '\0' && !quiet) {
            EXPECT_EQ(log.Count(k.line), 1) << k.xml << "\n" << log.Joined();
            ++expected;
        }
        EXPECT_EQ(log.Lines().size(), expected) << k.xml << " quiet=" << quiet << "\n" << log.Joined();
    }
}

TEST(CommandFlowRead, CommentPauseStop) {
    CheckReading<CommandComment>({R"(<Comment Nr="3" Descr="pick the part"/>)", true, "   Nr. 3: Comment pick the part", ""});
    {
        // Without its text the comment stays valid; both lines are written even when quiet.
        for (bool quiet : {false, true}) {
            TestSupport::LogCapture log;
            Loaded<CommandComment> l(R"(<Comment Nr="4"/>)", quiet);
            EXPECT_TRUE(l.cmd.valid);
            ASSERT_EQ(log.Lines().size(), 2u) << log.Joined();
            EXPECT_NE(log.Lines()[0].find("Could not read CommandComment, incomplete arguments"), std::string::npos);
            EXPECT_EQ(log.Lines()[1].substr(log.Lines()[1].find(' ')), "   Nr. 4: Comment") << log.Lines()[1];
        }
    }
    CheckReading<CommandPause>({R"(<Pause Nr="6"/>)", true, "   Nr. 6: Pause", ""});
    CheckReading<CommandStop>({R"(<Stop Nr="7"/>)", true, "   Nr. 7: Stop", ""});
}

TEST(CommandFlowRead, WaitElements) {
    const ReadCase cases[] = {
        {R"(<Wait Nr="1" Type="Time" Seconds="2.5"/>)", true, "   Nr. 1: Wait 2500 ms", ""},
        {R"(<Wait Nr="2" Type="Time" Seconds="0"/>)", true, "   Nr. 2: Wait 0 ms", ""},
        {R"(<Wait Nr="3" Type="Conditional" Condition="din3 and count > 2"/>)", true,
         "   Nr. 3: Wait conditional: din3 and count > 2", ""},
        {R"(<Wait Nr="4" Type="time" Seconds="1"/>)", false, "", "Could not read CommandWait, incomplete arguments"},
        {R"(<Wait Nr="5" Seconds="1"/>)", false, "", "Could not read CommandWait, incomplete arguments"},
        {R"(<Wait Nr="6" Type="Conditional"/>)", false, "", "Could not read CommandWait, incomplete arguments"},
        {R"(<Wait Nr="7" Type="Time" Seconds="nan"/>)", false, "", "Could not read CommandWait, invalid \"Seconds\": nan"},
        {R"(<Wait Nr="8" Type="Time" Seconds="inf"/>)", false, "", "Could not read CommandWait, invalid \"Seconds\": inf"},
    };
    for (const ReadCase& k : cases) {
        CheckReading<CommandWait>(k);
    }
}

TEST(CommandFlowRead, WaitSecondsBecomeMilliseconds) {
    struct Case {
        const char* seconds;
        int ms;
    };
    const Case cases[] = {
        {"2.5", 2500}, {"3", 3000}, {"0.7", 700}, {"0.1", 100}, {"-0.5", 0}, {"-3", 0},
        {"abc", 0},    {"1e10", INT_MAX}, {"2147483.647", 2147483647}, {"3000000", INT_MAX},
        // Whole numbers beyond int are not read as a wrapped int: -4294967295 would be 1 s.
        {"-4294967295", 0}, {"4294967299", INT_MAX},
    };
    for (const Case& k : cases) {
        Loaded<CommandWait> l(std::string(R"(<Wait Type="Time" Seconds=")") + k.seconds + "\"/>");
        EXPECT_TRUE(l.cmd.valid) << k.seconds;
        EXPECT_EQ(l.cmd.waitTime, k.ms) << k.seconds;
        EXPECT_EQ(l.cmd.waitType, CommandWait::WaitTime);
    }
}

TEST(CommandFlowRead, SetVelocityElements) {
    const ReadCase cases[] = {
        {R"(<SetVel Nr="9" Joint="1" Vel="12.34" Acc="50"/>)", true, "   Nr. 9: SetVelocity joint 1 vel 12.3 acc 50.0", ""},
        {R"(<SetVel Nr="9" Joint="0" Vel="-500" Acc="0"/>)", true, "   Nr. 9: SetVelocity joint 0 vel -500.0 acc 0.0", ""},
        {R"(<SetVel Nr="9" Joint="3" Vel="10" Acc="50"/>)", false, "",
         "Error: Could not read SetVelocity command: invalid joint number"},
        {R"(<SetVel Nr="9" Joint="-1" Vel="10" Acc="50"/>)", false, "",
         "Error: Could not read SetVelocity command: invalid joint number"},
        // Beyond int the axis does not parse (cut to 32 bits it would be e1 or e2).
        {R"(<SetVel Nr="9" Joint="4294967296" Vel="10" Acc="50"/>)", false,
         "   Nr. 9: SetVelocity joint 0 vel 10.0 acc 50.0", ""},
        {R"(<SetVel Nr="9" Joint="0x100000001" Vel="10" Acc="50"/>)", false,
         "   Nr. 9: SetVelocity joint 0 vel 10.0 acc 50.0", ""},
        // Missing or unreadable values invalidate the element; reading goes on.
        {R"(<SetVel Nr="9" Joint="2" Vel="10"/>)", false, "   Nr. 9: SetVelocity joint 2 vel 10.0 acc 0.0", ""},
        {R"(<SetVel Joint="2" Vel="10" Acc="1"/>)", false, "   Nr. 0: SetVelocity joint 2 vel 10.0 acc 1.0", ""},
        {R"(<SetVel Nr="9" Joint="2" Vel="fast" Acc="1"/>)", false, "   Nr. 9: SetVelocity joint 2 vel 0.0 acc 1.0", ""},
        {R"(<SetVel Nr="9" Joint="2" Vel="nan" Acc="1"/>)", false, "   Nr. 9: SetVelocity joint 2 vel 0.0 acc 1.0", ""},
        {R"(<SetVel Nr="9" Joint="2" Vel="-inf" Acc="1"/>)", false, "   Nr. 9: SetVelocity joint 2 vel 0.0 acc 1.0", ""},
    };
    for (const ReadCase& k : cases) {
        CheckReading<CommandSetVelocity>(k);
    }
}

TEST(CommandFlow, CombinableFlagsAndTypes) {
    EXPECT_TRUE(CommandComment().IsCombinable());
    EXPECT_TRUE(CommandSetVelocity().IsCombinable());
    EXPECT_FALSE(CommandPause().IsCombinable());
    EXPECT_FALSE(CommandStop().IsCombinable());
    EXPECT_FALSE(CommandWait().IsCombinable());
    EXPECT_EQ(CommandWait().className, "CommandWait");
    EXPECT_EQ(CommandSetVelocity().className, "CommandSetVelocity");
    EXPECT_EQ(CommandPause().commandType, CMD_LOGIC);
}

TEST(CommandFlow, CommentPauseAndStopHandOnToTheirSuccessor) {
    RobotState s;
    Loaded<CommandComment> c(R"(<Comment Nr="1" Descr="x"/>)");
    Loaded<CommandPause> p(R"(<Pause Nr="2"/>)");
    Loaded<CommandStop> t(R"(<Stop Nr="3"/>)");
    EXPECT_EQ(c.cmd.Interpolate(10, 100, &s), kNext);
    EXPECT_EQ(p.cmd.Interpolate(10, 100, &s), kNext);
    EXPECT_EQ(t.cmd.Interpolate(10, 100, &s), kNext);
}

// --- Wait ------------------------------------------------------------------------------

TEST(CommandWaitRun, TimeWaitEndsInTheCycleThatExceedsIt) {
    Loaded<CommandWait> l(R"(<Wait Type="Time" Seconds="0.1"/>)");
    RobotState s;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(l.cmd.Interpolate(10, 100, &s), Command::ResultNotFinished) << "call " << i + 1;
    }
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), kNext);
    EXPECT_TRUE(l.cmd.firstCycle);
    EXPECT_EQ(l.cmd.elapsed, 0);
    // A second run waits the whole time again.
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), Command::ResultNotFinished);

    Loaded<CommandWait> zero(R"(<Wait Type="Time" Seconds="0"/>)");
    EXPECT_EQ(zero.cmd.Interpolate(10, 100, &s), kNext);
}

TEST(CommandWaitRun, InitRestartsTheTime) {
    Loaded<CommandWait> l(R"(<Wait Type="Time" Seconds="0.05"/>)");
    RobotState s;
    for (int i = 0; i < 4; ++i) {
        l.cmd.Interpolate(10, 100, &s);
    }
    l.cmd.Init();  // program stopped and started again
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(l.cmd.Interpolate(10, 100, &s), Command::ResultNotFinished) << "call " << i + 1;
    }
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), kNext);
}

TEST(CommandWaitRun, LongestWaitAndLongCyclesDoNotOverflow) {
    CommandWait w;
    w.nextSuccessor = kNext;
    w.waitTime = INT_MAX;
    RobotState s;
    EXPECT_EQ(w.Interpolate(INT_MAX, 100, &s), Command::ResultNotFinished);
    EXPECT_EQ(w.elapsed, INT_MAX);
    EXPECT_EQ(w.Interpolate(INT_MAX, 100, &s), kNext);

    // A conditional wait counts up to the int maximum and stays there.
    ProgramMemory memory;
    Loaded<CommandWait> c(R"(<Wait Type="Conditional" Condition="false"/>)");
    c.cmd.memory = &memory;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(c.cmd.Interpolate(INT_MAX, 100, &s), Command::ResultNotFinished);
    }
    EXPECT_EQ(c.cmd.elapsed, INT_MAX);
}

TEST(CommandWaitRun, ConditionalWaitFollowsTheVariables) {
    ProgramMemory memory;
    memory.SetVariableSingle("count", 1, true);
    Loaded<CommandWait> l(R"(<Wait Type="Conditional" Condition="count > 2 and !din2"/>)");
    l.cmd.memory = &memory;
    RobotState s;
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), Command::ResultNotFinished);
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), Command::ResultNotFinished);
    EXPECT_EQ(l.cmd.elapsed, 20);
    memory.SetVariableSingle("count", 3, false);
    s.DIn[1] = true;
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), Command::ResultNotFinished);
    s.DIn[1] = false;
    EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), kNext);
    EXPECT_EQ(l.cmd.elapsed, 0);

    Loaded<CommandWait> bad(R"(<Wait Type="Conditional" Condition="count >"/>)");
    bad.cmd.memory = &memory;
    EXPECT_ANY_THROW(bad.cmd.Interpolate(10, 100, &s));
}

// --- SetVel ----------------------------------------------------------------------------

TEST(CommandSetVelocityRun, VelocityIsClampedToTheAxisMaximum) {
    struct Case {
        const char* vel;
        int joint;
        float expected;
    };
    const Case cases[] = {{"500", 0, 45}, {"-500", 0, -45}, {"12.5", 2, 12.5f}, {"-45", 1, -45}};
    for (const Case& k : cases) {
        Loaded<CommandSetVelocity> l(std::string(R"(<SetVel Nr="1" Joint=")") + std::to_string(k.joint) +
                                     R"(" Vel=")" + k.vel + R"(" Acc="10"/>)");
        ASSERT_TRUE(l.cmd.valid);
        RobotState s;
        EXPECT_EQ(l.cmd.Interpolate(10, 100, &s), kNext);
        EXPECT_FLOAT_EQ(s.jointVel[6 + k.joint], k.expected) << k.vel;
        EXPECT_EQ(l.cmd.InterpolateLogic(10, 100, &s), kNext);
    }
    // The maximum comes from the axis itself.
    Loaded<CommandSetVelocity> l(R"(<SetVel Nr="1" Joint="1" Vel="500" Acc="10"/>)");
    double max[9] = {45, 45, 45, 45, 45, 45, 45, 120, 45};
    l.cmd.InitJointMaxVelocities(max);
    RobotState s;
    l.cmd.Interpolate(10, 100, &s);
    EXPECT_FLOAT_EQ(s.jointVel[7], 120);
    EXPECT_FLOAT_EQ(s.jointVel[6], 0);
}

TEST(CommandSetVelocityRun, WritesItsElementBack) {
    TestSupport::TempDataRoot root;
    const std::string path = root.Path() + "/setvel.xml";
    // Above the axis maximum: the maximum applies where the velocity is set, not here.
    Loaded<CommandSetVelocity> l(R"(<SetVel Nr="1" Joint="2" Vel="-512.25" Acc="40.125"/>)");
    l.cmd.number = 17;
    {
        std::ofstream out(path);
        l.cmd.WriteXML(&out, 3);
    }
    EXPECT_EQ(TestSupport::ReadWholeFile(path),
              "<SetVel Nr=\"17\" Joint=\"2\" Vel=\"-512.25\" Acc=\"40.125\" Descr=\"\" />\n");

    // What it writes reads back to the same element.
    Loaded<CommandSetVelocity> again(TestSupport::ReadWholeFile(path));
    EXPECT_TRUE(again.cmd.valid);
    EXPECT_EQ(again.cmd.externalAxis, 2);
    EXPECT_EQ(again.cmd.velRotation, -512.25f);
    EXPECT_EQ(again.cmd.accPercent, 40.125f);
}

}  // namespace
