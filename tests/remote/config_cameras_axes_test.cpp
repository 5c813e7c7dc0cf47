// CONFIG over TCP: cameras configured from the front end (running against loopback
// camera simulators) and the external axes, checked in the replies and the project file.

#include "config_test_support.h"

#include "program/IPO.h"
#include "vision/CameraInterface.h"

#if defined(BELVANTO_HAVE_CAMERASIM)
#include "camerasim/CameraSim.h"
#include "testsupport/IpoTestAccess.h"
#endif

#include <sstream>
#include <string>
#include <vector>

namespace ConfigTest {
namespace {

// The fields of a "CONFIG Camera <count> ..." line after its count: SetCamera's words.
std::string SetCameraWords(const std::string& line) {
    std::istringstream in(line);
    std::string config, camera, count, rest;
    in >> config >> camera >> count;
    std::getline(in, rest);
    return rest.substr(rest.find_first_not_of(' '));
}

TEST_F(ConfigServerTest, FrontEndCamerasRunAndTheirLinesComeBackAsTheSameCameras) {
#if !defined(BELVANTO_HAVE_CAMERASIM)
    GTEST_SKIP() << "the camera simulator is not built (tools off)";
#else
    CameraSim::Config o2dConfig;
    o2dConfig.periodMs = 100;
    CameraSim::Server o2dSim(o2dConfig);
    CameraSim::Config binConfig;
    binConfig.mode = CameraSim::Mode::OnRequest;
    CameraSim::Server binSim(binConfig);
    const int o2dPort = o2dSim.Start();
    const int binPort = binSim.Start();
    ASSERT_GT(o2dPort, 0);
    ASSERT_GT(binPort, 0);

    // The active word is not read: "False" still gives a running camera; "TRUE" enables images.
    Send("SetCamera IFMO2D Cam1 False 127.0.0.1 " + std::to_string(o2dPort) +
         " 0.5 0.25 10 20 30 0 0 1 1 0 0 100 TRUE");
    Send("SetCamera SolutionBinPicking Bin 0 127.0.0.1 " + std::to_string(binPort) + " 1 2 3 0 0 1 1 0 0 250 false");
    Camera::CameraManager& cameras = Camera::CameraManager::Instance();
    for (const char* name : {"cam1", "BIN"}) {
        ASSERT_NE(cameras.Get(name), nullptr) << name;
        EXPECT_TRUE(ControlTest::WaitFor([&] { return cameras.Get(name)->GetStatus() == 2; }, kWaitMs)) << name;
    }
    // The camera is connected before its first "REQUEST" reaches the simulator.
    EXPECT_TRUE(ControlTest::WaitFor([&] { return binSim.Requests() > 0; }, kWaitMs));

    const std::vector<std::string> lines = {
        "CONFIG Camera 2 SolutionBinPicking Bin True 127.0.0.1 " + std::to_string(binPort) +
            " 1.000 2.000 3.000 0.000 0.000 1.000 1.000 0.000 0.000 250.000 False",
        "CONFIG Camera 2 IFMO2D Cam1 True 127.0.0.1 " + std::to_string(o2dPort) +
            " 0.500 0.250 10.000 20.000 30.000 0.000 0.000 1.000 1.000 0.000 0.000 100.000 True"};
    EXPECT_EQ(Send("GetCameras"), lines);
    // The project's "HwCamera" elements and their names.
    tinyxml2::XMLDocument doc;
    std::vector<const tinyxml2::XMLElement*> saved;
    auto savedNames = [&] {
        saved = ProjectElements(doc, "HwCamera");
        std::vector<std::string> names;
        for (const tinyxml2::XMLElement* e : saved) names.push_back(e->Attribute("Name") ? e->Attribute("Name") : "");
        return names;
    };
    EXPECT_EQ(savedNames(), (std::vector<std::string>{"Bin", "Cam1"}));
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_STREQ(saved[1]->Attribute("Type"), "IFMO2D");
    EXPECT_STREQ(saved[1]->Attribute("Active"), "True");
    EXPECT_STREQ(saved[1]->Attribute("ImageEnabled"), "True");
    EXPECT_EQ(saved[1]->IntAttribute("Port"), o2dPort);
    EXPECT_DOUBLE_EQ(saved[1]->DoubleAttribute("ScaleY"), 0.25);
    EXPECT_DOUBLE_EQ(saved[0]->DoubleAttribute("ZDistance"), 250.0);
    EXPECT_EQ(saved[0]->Attribute("ScaleX"), nullptr);

    // Each line's fields sent back as SetCamera replace the camera by an equal one.
    const Files before = Snapshot();
    for (const std::string& line : lines) Send("SetCamera " + SetCameraWords(line));
    EXPECT_EQ(Send("GetCameras"), lines);
    EXPECT_TRUE(Snapshot() == before);

    // None removes the camera and stops the running program.
    IPO& main = robot.GetMainInterpreter();
    IpoTestAccess::CurrentPoint(main).store(4);
    IpoTestAccess::LastStopReason(main).store(IPO::STOP_SHUTDOWN);
    Send("SetCamera None cam1");
    EXPECT_EQ(main.GetCurrentPoint(), -1);
    EXPECT_EQ(main.GetLastStopReason(), IPO::STOP_USER);
    EXPECT_EQ(cameras.Get("Cam1"), nullptr);
    EXPECT_EQ(Send("GetCameras"), std::vector<std::string>{"CONFIG Camera 1 SolutionBinPicking Bin True 127.0.0.1 " +
                                                          std::to_string(binPort) +
                                                          " 1.000 2.000 3.000 0.000 0.000 1.000 1.000 0.000 0.000 "
                                                          "250.000 False"});
    EXPECT_EQ(savedNames(), std::vector<std::string>{"Bin"});

    // The simulated camera is built from the project file only.
    {
        TestSupport::LogCapture capture;
        const Files kept = Snapshot();
        Send("SetCamera Sim S1 1 2 3");
        EXPECT_TRUE(capture.Contains(
            "HVP-Server: Could not change camera configuration of camera 'S1', type 'Sim' is not implemented"));
        EXPECT_EQ(cameras.Count(), 1u);
        EXPECT_TRUE(Snapshot() == kept);
    }

    // Cleared cameras stay cleared in the project file.
    Send("ClearCameras");
    EXPECT_EQ(Get("GetCameras"), "CONFIG Camera 0");
    EXPECT_TRUE(savedNames().empty());
#endif
}

// "SetExternalAxis <count> <number> ..." with the given direction angle.
std::string Axis(int count, int number, const std::string& angle, const char* mode = "Velocity") {
    return "SetExternalAxis " + std::to_string(count) + " " + std::to_string(number) + " na Dependent " + mode +
           " 7 2.5 -100 200 30 40 50 " + angle + " 1.5 -1 3";
}

TEST_F(ConfigServerTest, ExternalAxisAnglesSnapToQuartersAndTheCountRemovesTheRest) {
    struct Case {
        const char* angle;
        int stored;
    };
    for (const Case& c : {Case{"88.9", 0}, Case{"89", 90}, Case{"178.9", 90}, Case{"269", 270}, Case{"-45", 270}}) {
        Send(Axis(3, 1, "0"));
        Send(Axis(3, 2, "0"));
        // Count 1: axes 1 and 2 go.
        Send(Axis(1, 0, c.angle));
        const std::string expected = "CONFIG ExternalAxis 1 0 na Dependent Velocity 7 2.5 -100 200 30 40 50 " +
                                     std::to_string(c.stored) + " 1.5 -1 3";
        EXPECT_EQ(Send("GetExternalAxes2"), std::vector<std::string>{expected}) << c.angle;
        EXPECT_FALSE(robot.HasExternalAxis(1));
        EXPECT_FALSE(robot.HasExternalAxis(2));
        tinyxml2::XMLDocument doc;
        const auto saved = ProjectElements(doc, "ExternalAxis");
        ASSERT_EQ(saved.size(), 1u) << c.angle;
        EXPECT_EQ(saved[0]->IntAttribute("DirectionAngleToY", -1), c.stored) << c.angle;
        EXPECT_STREQ(saved[0]->Attribute("MotionMode"), "Velocity");
    }

    // Axes 0 and 2: both listed by GetExternalAxes, only the gap-free axis 0 by GetExternalAxes2.
    Send(Axis(3, 2, "180", "Torque"));
    const std::string fields = " na Dependent 7 2.5 -100 200 30 40 50 ";
    EXPECT_EQ(Get("GetExternalAxes"), "CONFIG ExternalAxes 2" + fields + "270 1.5 -1 3" + fields + "180 1.5 -1 3");
    EXPECT_EQ(Send("GetExternalAxes2"),
              std::vector<std::string>{"CONFIG ExternalAxis 1 0 na Dependent Velocity 7 2.5 -100 200 30 40 50 270 1.5 -1 3"});

    // Too few fields: count 0 clears every axis, anything else is refused.
    {
        TestSupport::LogCapture capture;
        Send("SetExternalAxis 5");
        EXPECT_TRUE(capture.Contains("HVP-Server: Invalid SetExternalAxis message"));
        EXPECT_TRUE(robot.HasExternalAxis(0));
        Send("SetExternalAxis 0 0");
        EXPECT_TRUE(capture.Contains("HVP-Server: Clearing external axes"));
    }
    EXPECT_EQ(Get("GetExternalAxes"), "CONFIG ExternalAxes 0");
    EXPECT_EQ(Get("GetExternalAxes2"), "CONFIG ExternalAxis 0 0");
    tinyxml2::XMLDocument doc;
    EXPECT_TRUE(ProjectElements(doc, "ExternalAxis").empty());
}

TEST_F(ConfigServerTest, ExternalAxesReadTheOptionalGroupOnlyBeforeANumberAndKeepMotionModes) {
    Send(Axis(1, 0, "0", "Torque"));
    TestSupport::LogCapture capture;
    // Axis 0 with the optional group; axis 1 without it, followed by axis 2's type word.
    Send("SetExternalAxes 3 na Independent 11 1 -10 10 5 6 7 90 1 2 3 old\\file.xml Dependent 12 1 -20 20 5 6 7 "
         "na dependent 13 1 -30 30 5 6 7");
    EXPECT_EQ(capture.Count("HVP-Server: ERROR: Configuration file for external axis is not supported anymore"), 1);
    EXPECT_EQ(Send("GetExternalAxes2"),
              (std::vector<std::string>{
                  "CONFIG ExternalAxis 3 0 na Independent Torque 11 1 -10 10 5 6 7 90 1 2 3",
                  "CONFIG ExternalAxis 3 1 old/file.xml Dependent Position 12 1 -20 20 5 6 7 0 0 1 0",
                  "CONFIG ExternalAxis 3 2 na Dependent Position 13 1 -30 30 5 6 7 0 0 1 0"}));
    tinyxml2::XMLDocument doc;
    const auto saved = ProjectElements(doc, "ExternalAxis");
    ASSERT_EQ(saved.size(), 3u);
    EXPECT_STREQ(saved[0]->Attribute("Kinematic"), "Independent");
    EXPECT_STREQ(saved[1]->Attribute("Type"), "old/file.xml");

    // More than three are cut to three; none removes them all.
    Send("SetExternalAxes 4 na Dependent 1 1 -1 1 1 1 1 na Dependent 2 1 -1 1 1 1 1 na Dependent 3 1 -1 1 1 1 1");
    EXPECT_EQ(Send("GetExternalAxes2").size(), 3u);
    Send("SetExternalAxes 0");
    EXPECT_EQ(Get("GetExternalAxes"), "CONFIG ExternalAxes 0");
    tinyxml2::XMLDocument after;
    EXPECT_TRUE(ProjectElements(after, "ExternalAxis").empty());
}

}  // namespace
}  // namespace ConfigTest
