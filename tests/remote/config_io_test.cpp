// CONFIG over TCP: I/O modules, output states on reset and on error, brake and program
// default state, checked in the replies and in the robot and project files.

#include "config_test_support.h"

#include "hardware/HardwareProtocol.h"
#include "program/IPO.h"
#include "testsupport/RobotMasterTestAccess.h"

namespace ConfigTest {
namespace {

TEST_F(ConfigServerTest, OutputDefaultsPackTwoBitsPerOutputAndComeBackFromTheirWords) {
    struct Case {
        DOutTargetState reset0, resetOthers, errorAll;
        const char* reply;
    };
    const Case cases[] = {
        {DOutFalse, DOutFalse, DOutTrue, "CONFIG DOutDefaults 0 0 5555555555555555 5555555555555555"},
        {DOutNoChange, DOutFalse, DOutFalse, "CONFIG DOutDefaults 2 0 0 0"},
    };
    for (const Case& c : cases) {
        for (int i = 0; i < 64; ++i) {
            robot.SetDOutTargetStateOnReset(i, i == 0 ? c.reset0 : c.resetOthers);
            robot.SetDOutTargetStateOnError(i, c.errorAll);
        }
        EXPECT_EQ(Get("GetDOutDefaults"), c.reply);
    }

    // Sixteen f's: code 3 is read as NoChange for every output of that word; the others
    // take their two bits (output 32 True, output 33 False, error word 0x2 = output 0 NoChange).
    Send("SetDOutDefaults ffffffffffffffff 1 2 0");
    for (int i = 0; i < 32; ++i) EXPECT_EQ(robot.GetDOutTargetStateOnReset(i), DOutNoChange) << i;
    EXPECT_EQ(robot.GetDOutTargetStateOnReset(32), DOutTrue);
    EXPECT_EQ(robot.GetDOutTargetStateOnReset(33), DOutFalse);
    EXPECT_EQ(robot.GetDOutTargetStateOnError(0), DOutNoChange);
    EXPECT_EQ(robot.GetDOutTargetStateOnError(1), DOutFalse);
    EXPECT_EQ(Get("GetDOutDefaults"), "CONFIG DOutDefaults aaaaaaaaaaaaaaaa 1 2 0");
    // The project file holds output 32's states.
    tinyxml2::XMLDocument doc;
    bool found = false;
    for (const tinyxml2::XMLElement* e : ProjectElements(doc, "DOut")) {
        if (e->IntAttribute("Number", -1) != 32) continue;
        found = true;
        EXPECT_STREQ(e->Attribute("ResetState"), "True");
        EXPECT_STREQ(e->Attribute("ErrorState"), "False");
    }
    EXPECT_TRUE(found);
}

TEST_F(ConfigServerTest, BrakeKeepsWhatTheMessageLeavesOutAndRewritesTheRobotFile) {
    struct Case {
        const char* body;
        const char* reply;
        const char* output;
        const char* delay;
        const char* estop;
    };
    // The robot file starts with brake output 5, delay 300 and e-stop input 7.
    const Case cases[] = {
        {"SetBrake 70 100 5", "CONFIG Brake -1 100 5", "-1", "100", "5"},
        {"SetBrake 12", "CONFIG Brake 12 100 5", "12", "100", "5"},
        {"SetBrake 12 250 99", "CONFIG Brake 12 250 5", "12", "250", "5"},
        {"SetBrake 3 250 -1", "CONFIG Brake 3 250 -1", "3", "250", "-1"},
    };
    for (const Case& c : cases) {
        Send(c.body);
        EXPECT_EQ(Get("GetBrake"), c.reply) << c.body;
        EXPECT_EQ(RobotAttribute("Brake", "DOutChannel"), c.output) << c.body;
        EXPECT_EQ(RobotAttribute("Brake", "DelayMS"), c.delay) << c.body;
        EXPECT_EQ(RobotAttribute("EStopMonitoring", "DInChannel"), c.estop) << c.body;
    }
}

TEST_F(ConfigServerTest, BrakeChangesOfTheEStopInputOrBrakeOutputAreRefusedWhileTheEStopIsLatched) {
    // The robot file starts with brake output 5, delay 300 and e-stop input 7.
    RobotMasterTestAccess::EStopLatched(robot).store(true);
    const Files before = Snapshot();
    for (const char* body : {"SetBrake 21 500 -1", "SetBrake 5 300 8", "SetBrake 6 300 7"}) {
        SCOPED_TRACE(body);
        TestSupport::LogCapture log;
        Send(body);
        EXPECT_EQ(log.Count("RobotMaster: E-Stop or brake channel change requested but E-Stop detected"), 1);
        EXPECT_FALSE(log.Contains("HVP-Server: Brake DOut set"));
        EXPECT_EQ(Get("GetBrake"), "CONFIG Brake 5 300 7");
    }
    EXPECT_TRUE(Snapshot() == before) << "a refused change was written";
    // The delay alone changes nothing that holds the latch.
    Send("SetBrake 5 250 7");
    EXPECT_EQ(Get("GetBrake"), "CONFIG Brake 5 250 7");
    RobotMasterTestAccess::EStopLatched(robot).store(false);
    Send("SetBrake 21 500 -1");
    EXPECT_EQ(Get("GetBrake"), "CONFIG Brake 21 500 -1");
}

TEST_F(ConfigServerTest, DioModulesAndProgramDefaultStateGoToTheProjectFile) {
    ASSERT_NE(robot.GetHardware(), nullptr);
    Send("SetDIOModules 80 81 338");  // cut to 8 bits: 338 is 82
    EXPECT_EQ(Get("GetDIOModules"), "CONFIG DIOModules 80 81 82");
    tinyxml2::XMLDocument doc;
    std::vector<int> ids;
    for (const tinyxml2::XMLElement* e : ProjectElements(doc, "DIOModule")) ids.push_back(e->IntAttribute("ID"));
    EXPECT_EQ(ids, (std::vector<int>{80, 81, 82}));

    for (const auto& [body, reply, saved] : {std::tuple{"SetProgramDefaultState 5", "1", "1"},
                                             std::tuple{"SetProgramDefaultState 0", "0", "0"}}) {
        Send(body);
        EXPECT_EQ(Get("GetProgramDefaultState"), std::string("CONFIG ProgramDefaultState ") + reply);
        EXPECT_EQ(ProjectAttribute("Program", "DefaultState"), saved);
    }
}

}  // namespace
}  // namespace ConfigTest
