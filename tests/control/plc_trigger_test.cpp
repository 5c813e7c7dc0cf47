// PLC triggers: the record's validation and listing text, and firing as the robot loop
// does it (ProcessPLCTriggers on the live state, one call per full cycle).

#include "robot_loop_test_access.h"
#include "control/PLCInterfaceTrigger.h"
#include "master_command_fixture.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ControlTest;
using PLCTrigger::PLCInterfaceTrigger;

TEST(PLCInterfaceTrigger, ValidatesAndNormalises) {
    struct Case {
        bool active;
        PLCInterfaceTrigger::SignalType signal;
        int channel;
        PLCInterfaceTrigger::TargetType target;
        const char* file;
        const char* text;  // ToString
    };
    const Case cases[] = {
        {true, PLCInterfaceTrigger::DIn, 3, PLCInterfaceTrigger::Program, "pick.xml",
         "Active=True, SignalType=DIn, Channel=3, TargetType=Program, FileName=pick.xml"},
        {true, PLCInterfaceTrigger::DIn, 63, PLCInterfaceTrigger::Program, "C:\\Data\\Programs\\sub\\a.xml",
         "Active=True, SignalType=DIn, Channel=63, TargetType=Program, FileName=sub/a.xml"},
        {true, PLCInterfaceTrigger::GSig, 99, PLCInterfaceTrigger::Program, "x/Programs/y/Programs/b.xml",
         "Active=True, SignalType=GSig, Channel=99, TargetType=Program, FileName=y/Programs/b.xml"},
        {true, PLCInterfaceTrigger::DIn, 0, PLCInterfaceTrigger::Mission, "/data/Missions/m1.xml",
         "Active=True, SignalType=DIn, Channel=0, TargetType=Mission, FileName=m1.xml"},
        {true, PLCInterfaceTrigger::DIn, 1, PLCInterfaceTrigger::Program, "/r/Programs/p/Missions/q.xml",
         "Active=True, SignalType=DIn, Channel=1, TargetType=Program, FileName=q.xml"},
        // Inactive: a channel that does not fit, none, or no file.
        {true, PLCInterfaceTrigger::DIn, 64, PLCInterfaceTrigger::Program, "a.xml",
         "Active=False, SignalType=DIn, Channel=64, TargetType=Program, FileName=a.xml"},
        {true, PLCInterfaceTrigger::GSig, 100, PLCInterfaceTrigger::Program, "a.xml",
         "Active=False, SignalType=GSig, Channel=100, TargetType=Program, FileName=a.xml"},
        {true, PLCInterfaceTrigger::DIn, -1, PLCInterfaceTrigger::Program, "a.xml",
         "Active=False, SignalType=DIn, Channel=-1, TargetType=Program, FileName=a.xml"},
        {true, PLCInterfaceTrigger::DIn, 4, PLCInterfaceTrigger::Program, "",
         "Active=False, SignalType=DIn, Channel=4, TargetType=Program, FileName="},
        // Validation never activates.
        {false, PLCInterfaceTrigger::DIn, 4, PLCInterfaceTrigger::Program, "a.xml",
         "Active=False, SignalType=DIn, Channel=4, TargetType=Program, FileName=a.xml"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const PLCInterfaceTrigger trigger(c.active, c.signal, c.channel, c.target, c.file);
        EXPECT_EQ(trigger.ToString(), c.text);
        // A copy is a deep, equal value.
        PLCInterfaceTrigger copy;
        copy = trigger;
        EXPECT_EQ(copy.ToString(), c.text);
    }
    const PLCInterfaceTrigger none;
    EXPECT_FALSE(none.IsActive());
    EXPECT_EQ(none.GetChannel(), -1);
    EXPECT_EQ(PLCTrigger::OpReplaceBackslashWithSlash('\\'), '/');
    EXPECT_EQ(PLCTrigger::OpReplaceBackslashWithSlash('a'), 'a');
}

namespace {

class PLCTriggerFiringTest : public MasterCommandTest {
protected:
    void Add(bool active, PLCInterfaceTrigger::SignalType signal, int channel, const char* file,
             PLCInterfaceTrigger::TargetType target = PLCInterfaceTrigger::Program) {
        master->AddPLCTrigger(PLCInterfaceTrigger(active, signal, channel, target, file));
    }
    // One full cycle with input (or signal) channel at level.
    void Cycle(bool gsig, int channel, bool level) {
        (gsig ? RobotMasterTestAccess::LiveState(*master).GSig : RobotMasterTestAccess::LiveState(*master).DIn)[channel] = level;
        RobotLoopTestAccess::ProcessPLCTriggers(*master);
    }
};

}  // namespace

TEST_F(PLCTriggerFiringTest, FiresOnlyOnARisingEdgeAfterTheInputWasSeenOff) {
    Add(true, PLCInterfaceTrigger::DIn, 5, "edge.xml");
    Add(false, PLCInterfaceTrigger::DIn, 5, "inactive.xml");
    TestSupport::LogCapture log;
    // The input is already on when the trigger arrives.
    const bool levels[] = {true, true, false, true, true, false, true};
    const int detected[] = {0, 0, 0, 1, 1, 1, 2};
    for (std::size_t i = 0; i < std::size(levels); ++i) {
        SCOPED_TRACE(i);
        Cycle(false, 5, levels[i]);
        EXPECT_EQ(log.Count("RobotMaster: PLC-Interface - Trigger 0 detected!"), detected[i]);
    }
    EXPECT_FALSE(log.Contains("Trigger 1 detected!"));  // inactive: tracked, never fired
    EXPECT_TRUE(WaitFor([&] { return log.Contains("RobotMaster: Could not load program 'edge.xml'"); }));
}

TEST_F(PLCTriggerFiringTest, TwoTriggersOnOneInputFireInListOrder) {
    Add(true, PLCInterfaceTrigger::DIn, 7, "first.xml");
    Add(true, PLCInterfaceTrigger::DIn, 7, "second.xml", PLCInterfaceTrigger::Mission);
    Cycle(false, 7, false);
    TestSupport::LogCapture log;
    Cycle(false, 7, true);
    const std::vector<std::string>& lines = log.Lines();
    std::vector<std::string> detections;
    for (const std::string& line : lines) {
        if (line.find("PLC-Interface - Trigger") != std::string::npos) detections.push_back(line.substr(line.find("Trigger")));
    }
    EXPECT_EQ(detections, (std::vector<std::string>{"Trigger 0 detected!", "Trigger 1 detected!"}));
}

TEST_F(PLCTriggerFiringTest, GlobalSignal99FiresAndAChannelThatDoesNotFitIsReportedOncePerList) {
    const auto fill = [&] {
        Add(true, PLCInterfaceTrigger::GSig, 99, "g99.xml");
        Add(true, PLCInterfaceTrigger::GSig, 100, "g100.xml");
        Add(true, PLCInterfaceTrigger::DIn, 64, "d64.xml");
    };
    fill();
    TestSupport::LogCapture log;
    for (int i = 0; i < 6; ++i) Cycle(true, 99, i % 2 == 1);
    EXPECT_EQ(log.Count("Trigger 0 detected!"), 3);
    EXPECT_EQ(log.Count("Trigger 1: channel 100 does not fit its signal type"), 1);
    EXPECT_EQ(log.Count("Trigger 2: channel 64 does not fit its signal type"), 1);
    EXPECT_FALSE(log.Contains("Trigger 1 detected!"));

    // A new list is reported again, once.
    master->ClearPLCTriggers();
    fill();
    for (int i = 0; i < 4; ++i) Cycle(true, 99, false);
    EXPECT_EQ(log.Count("Trigger 1: channel 100 does not fit its signal type"), 2);
    EXPECT_EQ(log.Count("Trigger 2: channel 64 does not fit its signal type"), 2);
}

TEST_F(PLCTriggerFiringTest, AKeptRecordKeepsItsLevelAndANewOneStartsOn) {
    Add(true, PLCInterfaceTrigger::DIn, 3, "kept.xml");
    Add(true, PLCInterfaceTrigger::DIn, 3, "old.xml");
    Cycle(false, 3, false);  // both have seen the input off
    master->ClearPLCTriggers();
    Add(true, PLCInterfaceTrigger::DIn, 3, "kept.xml");
    Add(true, PLCInterfaceTrigger::DIn, 3, "new.xml");
    TestSupport::LogCapture log;
    Cycle(false, 3, true);
    EXPECT_EQ(log.Count("Trigger 0 detected!"), 1);
    EXPECT_EQ(log.Count("Trigger 1 detected!"), 0);  // not yet seen off
    Cycle(false, 3, false);
    Cycle(false, 3, true);
    EXPECT_EQ(log.Count("Trigger 1 detected!"), 1);
}
