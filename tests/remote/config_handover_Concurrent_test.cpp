// Every CONFIG Set keyword that changes hardware or loop settings reaches the controller as
// one call: a robot master command that holds the loop, or one whole value the loop takes
// over at once, never field by field. On a recording port the table checks the call made
// and the value it carries; on a robot master it checks which of them hold the loop.

#include "hvp_robot_fixture.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using HvpTest::HvpRobotFixture;

// How the call reaches the robot loop.
enum class Handover { Hold, Whole };

struct Row {
    std::string body;                   // after "CONFIG"
    Handover handover;
    std::vector<std::string> calls;     // the commands the port receives, exactly
    std::function<void(const TestSupport::RecordingPort&)> value;  // the value handed over (optional)
};

// The sixteen PLC-interface numbers of SetPLCInterface in wire order, 1..16.
std::string SixteenNumbers() {
    std::string text;
    for (int i = 1; i <= 16; ++i) text += " " + std::to_string(i);
    return text;
}

const std::vector<Row>& Rows() {
    using Port = TestSupport::RecordingPort;
    static const std::vector<Row> rows = {
        {"SetDIOModules 1 2 259", Handover::Hold, {"SetDIOModuleIDs 1 2 3"},
         [](const Port& p) { EXPECT_EQ(p.dioIds, (std::array<unsigned char, 3>{1, 2, 3})); }},
        // Reset: output 0 True, the rest False; error: output 1 True, the rest False.
        {"SetDOutDefaults 1 0 4 0", Handover::Whole, {"SetDOutTargets"},
         [](const Port& p) {
             EXPECT_EQ(p.doutTargets.onReset[0], DOutTrue);
             EXPECT_EQ(p.doutTargets.onReset[1], DOutFalse);
             EXPECT_EQ(p.doutTargets.onError[1], DOutTrue);
             EXPECT_EQ(p.doutTargets.onError[0], DOutFalse);
             EXPECT_EQ(p.doutTargets.onError[63], DOutFalse);
         }},
        {"SetBrake 5 300 7", Handover::Whole, {"SetBrakeSettings 5 300 7", "QueueRobotFileWrite"}, nullptr},
        {"SetProgramDefaultState 0", Handover::Whole, {"SetStopOnError 0"},
         [](const Port& p) { EXPECT_FALSE(p.stopOnError); }},
        {"SetKinematicLimits -10 10 -20 20", Handover::Hold,
         {"SetJointLimits -10 10 -20 20 0 0 0 0 0 0 0 0 0 0 0 0 0 0", "QueueRobotFileWrite"}, nullptr},
        {"SetVBox True 1 2 3 4 5 6", Handover::Hold, {"SetVirtualBox 1 1 2 3 4 5 6"},
         [](const Port& p) { EXPECT_TRUE(p.virtualBox.active); }},
        {"SetPLCInterface" + SixteenNumbers(), Handover::Whole, {"ChangePLCInterfaceSettings"},
         [](const Port& p) {
             EXPECT_EQ(p.plcInterface.EnableNumber, 1);
             EXPECT_EQ(p.plcInterface.MissionRunningNumber, 16);
         }},
        {"SetPLCInterfaceEnabled True True", Handover::Whole, {"ChangePLCInterfaceSettings"},
         [](const Port& p) {
             EXPECT_TRUE(p.plcInterface.Active);
             EXPECT_TRUE(p.plcInterface.AutoConnect);
         }},
        {"ClearPLCTriggers", Handover::Whole, {"ClearPLCTriggers"}, nullptr},
        {"AddPLCTrigger True DIn 3 Program sub/x.xml", Handover::Whole,
         {"AddPLCTrigger Active=True, SignalType=DIn, Channel=3, TargetType=Program, FileName=sub/x.xml"}, nullptr},
        {"SetExternalAxes 2 na Linear 7 1 -100 100 50 200 2000 na Rotational 8 1 -90 90 30 100 1000",
         Handover::Whole, {"ChangeExternalAxes clear 1 from 3 add 0 1"},
         [](const Port& p) {
             EXPECT_TRUE(p.axisDefined[0] && p.axisDefined[1]);
             EXPECT_FALSE(p.axisDefined[2]);
             EXPECT_EQ(p.axes[1].ID, 8);
         }},
        {"SetExternalAxis 1 0 na Linear Velocity 9 1 -100 100 50 200 2000 0 0 1 0", Handover::Whole,
         {"ChangeExternalAxes clear 0 from 1 add 0"},
         [](const Port& p) {
             EXPECT_TRUE(p.axisDefined[0]);
             EXPECT_FALSE(p.axisDefined[1]);
             EXPECT_EQ(p.axes[0].MotionMode, ExternalAxis::Velocity);
         }},
        {"SetExternalAxis 0 0", Handover::Whole, {"ChangeExternalAxes clear 1 from 3 add"},
         [](const Port& p) { EXPECT_FALSE(p.axisDefined[0]); }},
    };
    return rows;
}

std::string Describe(const Row& row) { return "CONFIG " + row.body; }

class ConfigHandoverConcurrent : public HvpRobotFixture {
public:
    ConfigHandoverConcurrent() { onRecordingPort = true; }
    void SetUp() override {
        HvpRobotFixture::SetUp();
        // A kinematic with four joints.
        recording.jointLimits.available = true;
        recording.jointLimits.joints = 4;
        recording.virtualBox.available = true;
    }
};

TEST_F(ConfigHandoverConcurrent, EachSetIsOneCallWithTheWholeValue) {
    for (const Row& row : Rows()) {
        SCOPED_TRACE(Describe(row));
        recording.Clear();
        EXPECT_TRUE(Replies(*active, "CONFIG " + row.body).empty());
        EXPECT_EQ(recording.Commands(), row.calls);
        if (row.value) row.value(recording);
    }
}

TEST_F(ConfigHandoverConcurrent, APassiveClientChangesNothing) {
    for (const Row& row : Rows()) {
        SCOPED_TRACE(Describe(row));
        recording.Clear();
        EXPECT_TRUE(Replies(*passive, "CONFIG " + row.body).empty());
        EXPECT_TRUE(recording.Commands().empty());
    }
}

// The same requests on a robot master: the hold rows raise the loop's hold once, the
// whole-value rows never.
class ConfigHandoverOnTheMasterConcurrent : public HvpRobotFixture {
protected:
    void SetUp() override {
        plcSettings = LogSingleton::instance()->get_plcInterfaceNr();
        HvpRobotFixture::SetUp();
        protocol->Observe(master.get());
    }
    void TearDown() override {
        HvpRobotFixture::TearDown();
        LogSingleton::instance()->set_plcInterfaceNr(plcSettings);
    }
    PLCInterfaceNumbers plcSettings;
};

TEST_F(ConfigHandoverOnTheMasterConcurrent, HoldRowsHoldTheLoopOnceAndWholeValuesNever) {
    for (const Row& row : Rows()) {
        SCOPED_TRACE(Describe(row));
        const std::uint64_t before = master->GetHoldRequests();
        EXPECT_TRUE(Replies(*active, "CONFIG " + row.body).empty());
        const std::uint64_t holds = master->GetHoldRequests() - before;
        EXPECT_EQ(holds, row.handover == Handover::Hold ? 1u : 0u);
        EXPECT_EQ(master->GetHoldAcknowledged(), master->GetHoldRequests());
    }
    // What the rows handed over arrived.
    EXPECT_EQ(master->GetDOutTargetStateOnError(1), DOutTrue);
    EXPECT_EQ(master->GetBrakeSettings().eStopDInChannel, 7);
    EXPECT_FALSE(master->GetMainInterpreter().GetStopOnError());
    EXPECT_TRUE(master->GetKinematic()->virtualBoxActive);
    EXPECT_EQ(master->GetPLCTriggers().size(), 1u);
    EXPECT_FALSE(master->HasExternalAxis(0));
    const auto dio = protocol->CallsNamed("SetDIOModuleIDs");
    ASSERT_EQ(dio.size(), 1u);
    EXPECT_EQ(dio[0].argument, (1 << 16) | (2 << 8) | 3);
    EXPECT_TRUE(dio[0].held);
}

}  // namespace
