// CONFIG over TCP: the PLC interface numbers and switches, and the PLC triggers.

#include "config_test_support.h"

#include "control/PLCInterfaceTrigger.h"

namespace ConfigTest {
namespace {

using Trigger = PLCTrigger::PLCInterfaceTrigger;

TEST_F(ConfigServerTest, PlcInterfaceNumbersInWireOrderMissingAndImpossibleOnesUnused) {
    Send("SetPLCInterface 5 6");
    EXPECT_EQ(Get("GetPLCInterface"), "CONFIG PLCInterface 5 6 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1");
    EXPECT_EQ(ProjectAttribute("PLCInterfaceIn", "EnableNumber"), "5");
    EXPECT_EQ(ProjectAttribute("PLCInterfaceIn", "RequestReferenceNumber"), "6");
    EXPECT_EQ(ProjectAttribute("PLCInterfaceOut", "NoFaultNumber"), "-1");

    // Sixteen numbers, two of them outside the channels.
    Send("SetPLCInterface 1 2 3 4 5 6 7 8 9 10 11 12 13 64 -2 63");
    EXPECT_EQ(Get("GetPLCInterface"), "CONFIG PLCInterface 1 2 3 4 5 6 7 8 9 10 11 12 13 -1 -1 63");
    EXPECT_EQ(ProjectAttribute("PLCInterfaceOut", "NoFaultNumber"), "4");
    EXPECT_EQ(ProjectAttribute("PLCInterfaceOut", "MissionRunningNumber"), "63");
    EXPECT_EQ(ProjectAttribute("PLCInterfaceIn", "AddLinearNumber"), "13");

    for (const auto& [body, reply, active, autoConnect] :
         {std::tuple{"SetPLCInterfaceEnabled true True", "False True", "false", "true"},
          std::tuple{"SetPLCInterfaceEnabled True", "True False", "true", "false"}}) {
        Send(body);
        EXPECT_EQ(Get("GetPLCInterfaceEnabled"), std::string("CONFIG PLCInterfaceEnabled ") + reply);
        EXPECT_EQ(ProjectAttribute("PLCInterface", "Active"), active);
        EXPECT_EQ(ProjectAttribute("PLCInterface", "AutoConnect"), autoConnect);
    }
}

TEST_F(ConfigServerTest, TriggersAreAddedListedClearedAndSaved) {
    EXPECT_EQ(Get("GetPLCTriggers"), "CONFIG PLCTrigger 0 0");
    Send("AddPLCTrigger TRUE DIN 4 PROGRAM Programs\\pick.xml");
    Send("AddPLCTrigger false gsig 12 mission none");
    EXPECT_EQ(Send("GetPLCTriggers"), (std::vector<std::string>{"CONFIG PLCTrigger 0 2 True DIn 4 Program Programs/pick.xml",
                                                                  "CONFIG PLCTrigger 1 2 False GSig 12 Mission none"}));
    tinyxml2::XMLDocument doc;
    const auto saved = ProjectElements(doc, "PLCTrigger");
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_STREQ(saved[0]->Attribute("DIn"), "4");
    EXPECT_STREQ(saved[0]->Attribute("Active"), "True");
    EXPECT_STREQ(saved[1]->Attribute("GSig"), "12");
    EXPECT_STREQ(saved[1]->Attribute("Type"), "Mission");

    // A file that climbs out of the programs folder adds nothing.
    for (const char* body : {"AddPLCTrigger true din 5 program ../x.xml", "AddPLCTrigger true din 5 program a/Programs/../../x"}) {
        TestSupport::LogCapture capture;
        const Files before = Snapshot();
        Send(body);
        EXPECT_TRUE(capture.Contains("HVP-Server: Received incomplete AddPLCTrigger message")) << body;
        EXPECT_EQ(robot.GetPLCTriggers().size(), 2u) << body;
        EXPECT_TRUE(Snapshot() == before) << body;
    }

    // Cleared triggers stay cleared in the project file.
    Send("ClearPLCTriggers");
    EXPECT_EQ(Get("GetPLCTriggers"), "CONFIG PLCTrigger 0 0");
    tinyxml2::XMLDocument after;
    EXPECT_TRUE(ProjectElements(after, "PLCTrigger").empty());
}

TEST_F(ConfigServerTest, TriggerWithABlankInItsFileLeavesAGapInTheList) {
    robot.AddPLCTrigger(Trigger(true, Trigger::DIn, 1, Trigger::Program, "a.xml"));
    robot.AddPLCTrigger(Trigger(true, Trigger::DIn, 2, Trigger::Program, "b c.xml"));
    robot.AddPLCTrigger(Trigger(true, Trigger::GSig, 3, Trigger::Mission, "m.xml"));
    EXPECT_EQ(Send("GetPLCTriggers"), (std::vector<std::string>{"CONFIG PLCTrigger 0 3 True DIn 1 Program a.xml",
                                                                  "CONFIG PLCTrigger 2 3 True GSig 3 Mission m.xml"}));
}

}  // namespace
}  // namespace ConfigTest
