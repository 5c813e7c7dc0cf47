#pragma once

// Robot files for robot master tests: a complete base file that cases edit, and a data
// root (the log's, which is the test process's working folder) to put them under.

#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"
#include "testsupport/TestSupport.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace ControlTest {

inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
    return TestSupport::WaitUntil(condition, timeoutMs, 1);
}

// Three Cartesian joints on the maker's protocol version 2, every section present.
inline std::string BaseRobotXml(const std::string& protocol = "JXRCANV2",
                                const std::string& kinematicType = "Cartesian3Axis") {
    return "<?xml version=\"1.0\"?>\n"
           "<!-- robot master test robot -->\n"
           "<Robot>\n"
           "    <BusConfiguration Protocol=\"" + protocol +
           "\" CycleTimeMS=\"20\" GapMS=\"0\" SyncGapMS=\"0\" UsePDOs=\"true\">\n"
           "        <Joints NrOfJoints=\"3\"/>\n"
           "        <Joint0 ID=\"16\" GearScale=\"100\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\"/>\n"
           "        <Joint1 ID=\"32\" GearScale=\"100\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\"/>\n"
           "        <Joint2 ID=\"48\" GearScale=\"100\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\"/>\n"
           "    </BusConfiguration>\n"
           "    <Kinematic Type=\"" + kinematicType + "\" lx=\"600\" ly=\"400\" lz=\"200\"/>\n"
           "    <SoftwareMinMax A1Min=\"-5\" A1Max=\"500\" A2Min=\"-5\" A2Max=\"500\" A3Min=\"-5\" A3Max=\"300\"/>\n"
           "    <JointVelocities A1=\"80\" A2=\"80\" A3=\"60\" A4=\"90\"/>\n"
           "    <JointAccelerations A1=\"400\" A2=\"400\" A3=\"300\" A4=\"500\"/>\n"
           "    <JointAccelerationIncs A1=\"800\" A2=\"800\" A3=\"600\" A4=\"1000\"/>\n"
           "    <CartVelocities VelTrans=\"300\" VelOri=\"120\"/>\n"
           "    <CartAccelerations AccLin=\"1200\" AccLinInc=\"2400\" AccOri=\"900\" AccOriInc=\"1800\"/>\n"
           "    <Brake Active=\"true\" DelayMS=\"300\" DOutChannel=\"5\"/>\n"
           "    <EStopMonitoring DInChannel=\"7\"/>\n"
           "    <Belvanto DebugMode=\"true\" DisplayPort=\"/dev/ttyX\" JogBias=\"12\" "
           "FunctionButtonRefAll=\"settozero\" IgnoreConsistencyCheck=\"true\"/>\n"
           "    <PathGeneration Optimize=\"false\" SlicingMS=\"40\" LookAhead=\"5\" GeneratorType=\"02Linear\" "
           "SmoothDistCart=\"80\" SmoothDistJoint=\"8\"/>\n"
           "    <Velocities JogCart=\"150\" JogOri=\"40\" JogJoint=\"2\"/>\n"
           "    <AccelerationJog Active=\"true\" AccelJogJointDegPerSec2=\"91\" FastDecelJogJointDegPerSec2=\"361\" "
           "AccelJogCartMMPerSec2=\"501\" FastDecelJogCartMMPerSec2=\"1501\" AccelJogCartDegPerSec2=\"46\" "
           "FastDecelJogCartDegPerSec2=\"181\" AJJA1=\"7\" DJJE2=\"9\"/>\n"
           "    <ZeroTorque A2=\"true\"/>\n"
           "    <Referencing Mandatory=\"true\"/>\n"
           "</Robot>\n";
}

// text with the first occurrence of from replaced by to (a test error when absent).
// Changes one field of the robot master's brake and e-stop settings.
inline void SetBrakeOutput(RobotMaster& m, int channel) {
    BrakeSettings s = m.GetBrakeSettings();
    s.brakeDOutChannel = channel;
    m.SetBrakeSettings(s);
}
inline void SetEStopInput(RobotMaster& m, int channel) {
    BrakeSettings s = m.GetBrakeSettings();
    s.eStopDInChannel = channel;
    m.SetBrakeSettings(s);
}

inline std::string Edit(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "'" << from << "' not in the robot file";
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

// Robot files below the log's data root ("Data/Robots/<type>/<last part>.xml"), removed
// at the end. Skips when the data root is not the working folder the test main made.
class RobotFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = LogSingleton::instance()->get_rootPath();
        const std::string cwd = std::filesystem::current_path().string() + "/";
        if (root != cwd) GTEST_SKIP() << "data root " << root << " is not the working folder";
    }
    void TearDown() override {
        std::error_code ec;
        if (!root.empty()) std::filesystem::remove_all(root + "Data/Robots", ec);
    }
    // Writes the file of robot type and returns the robot file argument of Init.
    std::string WriteRobot(const std::string& type, const std::string& xml) {
        const std::string last = type.substr(type.rfind('/') + 1);
        const std::string relative = type + "/" + last + ".xml";
        WriteText(root + "Data/Robots/" + relative, xml);
        return relative;
    }
    std::string FullPath(const std::string& relative) const { return root + "Data/Robots/" + relative; }
    // A plain file in the working folder for ReadConfigFile cases.
    std::string WriteLoose(const std::string& name, const std::string& xml) {
        const std::string path = root + "loose/" + name;
        WriteText(path, xml);
        return path;
    }

    std::string root;
};

// A robot file test with a virtual CAN bus of its own, which endpoints find through the
// environment. A test's simulators stop in its own TearDown, before this one runs.
class VirtualBusTest : public RobotFileTest {
protected:
    void SetUp() override {
        RobotFileTest::SetUp();
        if (IsSkipped()) return;
        hubPath = root + "bus-" + std::to_string(getpid()) + ".sock";
        ASSERT_EQ(0, hub.Start(hubPath)) << hub.ErrorText();
        setenv(Platform::kCanHubEnvironment, hubPath.c_str(), 1);
    }
    void TearDown() override {
        hub.Stop();
        unsetenv(Platform::kCanHubEnvironment);
        RobotFileTest::TearDown();
    }

    std::string hubPath;
    Platform::VirtualCanHub hub;
};

}  // namespace ControlTest
