// CONFIG rules over TCP: a malformed Set changes nothing (both files byte-identical, every
// Get as before) and says why in the log; a passive client's Sets are dropped while its
// Gets are answered; unknown keywords are ignored.

#include "config_test_support.h"

#include "vision/CameraSimulated.h"

#include <string>
#include <vector>

namespace ConfigTest {
namespace {

class ConfigRulesTest : public ConfigServerTest {
protected:
    // Something in every setting, so that a stray change shows.
    void Populate() {
        ControlTest::WriteText(root + "Data/Tools/t1.xml", "<Tool/>");
        Camera::CameraManager::Instance().Add(std::make_unique<Camera::CameraSimulated>("simcam"));
        for (const char* body : {"SetTool t1.xml", "SetDIOModules 80 81 82", "SetDOutDefaults 1 2 2 1",
                                 "SetBrake 5 300 7", "SetProgramDefaultState 1", "SetVBox True -5 5 -4 4 0 8",
                                 "SetPLCInterface 1 2 3", "SetPLCInterfaceEnabled True False",
                                 "AddPLCTrigger true din 3 program a.xml",
                                 "SetExternalAxis 1 0 na Dependent Velocity 7 1 -100 100 10 20 30 0 0 1 0",
                                 "SetCloudInfo \"cell\" \"owner\""}) {
            // A Set has no reply; a cloud change is told to every client.
            for (const std::string& reply : Send(body)) EXPECT_EQ(reply.rfind("CONFIG Cloud ", 0), 0u) << body;
        }
    }
};

std::string Malformed(const char* keyword) {
    return std::string("HVP-Server: ERROR, received ") + keyword + " request but could not parse parameters";
}

TEST_F(ConfigRulesTest, MalformedSetsChangeNothingAndSayWhy) {
    Populate();
    const char* const incompleteTrigger = "HVP-Server: Received incomplete AddPLCTrigger message";
    const char* const invalidModbus = "HVP-Server: Error: Incomplete or invalid SetModbus message";
    struct Row {
        std::string body;
        std::string log;  // a line the row must log ("" for none in particular)
        std::vector<std::string> replies;
    };
    const std::vector<Row> rows = {
        {"SetDIOModules 80 81", Malformed("SetDIOModules"), {}},
        {"SetDIOModules 80 81 abc", Malformed("SetDIOModules"), {}},
        {"SetDIOModules 80 81 8.5", Malformed("SetDIOModules"), {}},
        {"SetDOutDefaults 0 0 0", Malformed("SetDOutDefaults"), {}},
        {"SetDOutDefaults 0 0 0 xyz", Malformed("SetDOutDefaults"), {}},
        {"SetDOutDefaults 0 0 0 HVPEND 0", Malformed("SetDOutDefaults"), {}},
        {"SetDOutDefaults 0 0 0 11111111111111111", Malformed("SetDOutDefaults"), {}},
        {"SetBrake abc", Malformed("SetBrake"), {}},
        {"SetBrake 3 nan 4", Malformed("SetBrake"), {}},
        {"SetBrake 3 -100 4", Malformed("SetBrake"), {}},
        {"SetProgramDefaultState", Malformed("SetProgramDefaultState"), {}},
        {"SetProgramDefaultState abc", Malformed("SetProgramDefaultState"), {}},
        {"SetKinematicLimits -1 1 nan 2", Malformed("SetKinematicLimits"), {}},
        {"SetKinematicLimits -1 1e999", Malformed("SetKinematicLimits"), {}},
        {"SetKinematicLimits -1 1 -2 inf", Malformed("SetKinematicLimits"), {}},
        // No complete pair: the limits stay and the robot file is written as it was.
        {"SetKinematicLimits 5", "", {}},
        {"SetVBox", Malformed("SetVBox"), {}},
        {"SetVBox True -500 500 -400 400 0", Malformed("SetVBox"), {}},
        {"SetVBox True -500 500 -400 400 0 HVPEND 800", Malformed("SetVBox"), {}},
        {"SetVBox True -500 500 nan 400 0 800", Malformed("SetVBox"), {}},
        {"SetVBox True -500 500 -400 400 0 1e999", Malformed("SetVBox"), {}},
        {"SetTool", Malformed("SetTool"), {"CONFIGERROR Tool invalid_file"}},
        {"SetPLCInterface 5 abc", Malformed("SetPLCInterface"), {}},
        {"AddPLCTrigger true din 4 program", incompleteTrigger, {}},
        {"AddPLCTrigger true din 4 program HVPEND", incompleteTrigger, {}},
        {"AddPLCTrigger true din 4 program ../x.xml", incompleteTrigger, {}},
        {"AddPLCTrigger true din x program a.xml", Malformed("AddPLCTrigger"), {}},
        {"AddPLCTrigger true din nan program a.xml", Malformed("AddPLCTrigger"), {}},
        {"SetCamera", Malformed("SetCamera"), {}},
        {"SetCamera None", Malformed("SetCamera"), {}},
        {"SetCamera IFMO2D c1 True 127.0.0.1 5000 1 1 0 0 0 0 0 1 1 0 0", Malformed("SetCamera"), {}},
        {"SetCamera IFMO2D c1 True 127.0.0.1 5000 nan 1 0 0 0 0 0 1 1 0 0 100 false", Malformed("SetCamera"), {}},
        {"SetCamera SolutionBinPicking c1 True 127.0.0.1 abc 0 0 0 0 0 1 1 0 0 100 false", Malformed("SetCamera"),
         {}},
        {"SetCamera SolutionBinPicking c1 True 127.0.0.1 5000 0 0 0 0 0 1 1 0 0 1e999 false",
         Malformed("SetCamera"), {}},
        {"SetExternalAxes abc", Malformed("SetExternalAxes"), {}},
        {"SetExternalAxes 1 na Dependent 5 1 -10 10 1 2", Malformed("SetExternalAxes"), {}},
        // The first axis is complete, the second is not: the axes are not cleared.
        {"SetExternalAxes 2 na Dependent 5 1 -10 10 1 2 3 na Dependent 6 1 -10 10 1 2", Malformed("SetExternalAxes"),
         {}},
        {"SetExternalAxes 1 na Dependent 5 1 -10 10 1 2 3 90 1 nan 0", Malformed("SetExternalAxes"), {}},
        {"SetExternalAxis 1 0 na Dependent Position 7 1 -100 100 10 20 30 abc 0 1 0", Malformed("SetExternalAxis"),
         {}},
        {"SetExternalAxis 1 0 na Dependent Position 7 nan -100 100 10 20 30 0 0 1 0", Malformed("SetExternalAxis"),
         {}},
        {"SetExternalAxis 1 5 na Dependent Position 7 1 -100 100 10 20 30 0 0 1 0", Malformed("SetExternalAxis"),
         {}},
        // A count other than 0 without all the fields changes nothing.
        {"SetExternalAxis 1 0 na", "", {}},
        {"SetExternalAxis 5", "HVP-Server: Invalid SetExternalAxis message", {}},
        {"SetModbus true 1502", invalidModbus, {}},
        {"SetModbus true 0 3", invalidModbus, {}},
        {"SetModbus true 70000 3", invalidModbus, {}},
        {"SetModbus true 1502 0", invalidModbus, {}},
        {"SetModbus true abc 3", invalidModbus, {}},
        {"SetCloudConnection true \"id\" \"user\"", "HVP-Server: Could not parse CONFIG SetCloudConnection: Incomplete parameters",
         {}},
        {"SetCloudConnection \"id\" \"user\" \"pw\"",
         "HVP-Server: Could not parse CONFIG SetCloudConnection: Incomplete parameters", {}},
        {"SetCloudInfo \"one\"", "HVP-Server: Could not parse CONFIG SetCloudInfo: Incomplete parameters", {}},
        {"SetCloudInfo \"one\" \"two", "HVP-Server: Could not parse CONFIG SetCloudInfo: Incomplete parameters", {}},
        // Keywords are compared whole and with case.
        {"getBrake", "", {}},
        {"SetBrakes 1 2 3", "", {}},
    };
    for (const Row& row : rows) {
        const Files before = Snapshot();
        const std::vector<std::string> state = AllGets(Active());
        TestSupport::LogCapture capture;
        EXPECT_EQ(Send(row.body), row.replies) << row.body;
        if (!row.log.empty()) {
            EXPECT_TRUE(capture.Contains(row.log)) << row.body << "\n" << capture.Joined();
        }
        EXPECT_TRUE(Snapshot() == before) << row.body;
        EXPECT_EQ(AllGets(Active()), state) << row.body;
    }
    EXPECT_EQ(recordingModbus.restarts + recordingModbus.stops, 0);
}

TEST_F(ConfigRulesTest, PassiveClientsSetNothingAndGetEverything) {
    Populate();
    HvpTestClient& passive = Passive();
    const std::vector<std::string> bodies = {
        "SetDIOModules 1 2 3",
        "SetDOutDefaults 0 0 0 0",
        "SetBrake 1 2 3",
        "SetBrake 12",
        "SetProgramDefaultState 0",
        "SetKinematicLimits -9 9 -9 9 -9 9 -9 9",
        "SetVBox true -1 1 -1 1 -1 1",
        "SetTool none",
        "SetPLCInterface 5 6",
        "SetPLCInterfaceEnabled true True",
        "AddPLCTrigger true din 1 program b.xml",
        "ClearPLCTriggers",
        "SetCamera None simcam",
        "SetCamera IFMO2D cam True 127.0.0.1 1 1 1 0 0 0 0 0 1 1 0 0 100 false",
        "ClearCameras",
        "SetExternalAxes 0",
        "SetExternalAxis 0 0",
        "SetExternalAxis 2 1 na Dependent Position 7 1 -100 100 10 20 30 0 0 1 0",
        "SetModbus true 1502 3",
        "SetCloudConnection false",
        "SetCloudConnection true \"id\" \"user\" \"pw\"",
        "SetCloudInfo \"name\" \"owner\" \"env\" \"area\"",
    };
    const Files before = Snapshot();
    const std::vector<std::string> state = AllGets(Active());
    for (const std::string& body : bodies) {
        EXPECT_TRUE(Send(passive, body).empty()) << body;
        EXPECT_TRUE(Snapshot() == before) << body;
    }
    EXPECT_EQ(AllGets(Active()), state);
    EXPECT_EQ(recordingModbus.restarts + recordingModbus.stops, 0);
    // The passive client sees the same state through every Get.
    EXPECT_EQ(AllGets(passive), state);
}

}  // namespace
}  // namespace ConfigTest
