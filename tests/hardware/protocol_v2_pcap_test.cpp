// The maker's protocol version 2 as seen on the wire: a recording hub, the drive
// simulator answering and 300 controller cycles with changing set-points; the capture is
// then decoded by check_v2_pcap.py, which knows nothing of the controller's code and
// takes scales, zeros and the frame pause from the robot file itself.

#include "hardware/HardwareProtocol.h"

#include "core/RobotState.h"
#include "drivesim/DriveSimulator.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"
#include "protocol_test_bus.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kJoints = 6;
constexpr int kCycles = 300;

// Set-points in 1/16 degree steps between -180 and +180: exact in single precision, so
// that position = trunc(value x scale + zero) has one right answer; the mix of signs and
// fractions checks the truncation toward zero.
float SetPoint(int cycle, int joint) {
    const int step = (cycle * 7919 + joint * 104729 + 13) % 5761 - 2880;
    return static_cast<float>(step) / 16.0f;
}

// Runs a command and returns its exit status (-1 when it did not exit normally) with
// its standard output and error in *output.
int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output->append(buffer, n);
    const int status = ::pclose(pipe);
    return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

// Points the protocol's and the simulator's endpoints at the hub while it lives.
class ScopedHubEnvironment {
public:
    explicit ScopedHubEnvironment(const std::string& path) {
        setenv(Platform::kCanHubEnvironment, path.c_str(), 1);
    }
    ~ScopedHubEnvironment() { unsetenv(Platform::kCanHubEnvironment); }
    ScopedHubEnvironment(const ScopedHubEnvironment&) = delete;
    ScopedHubEnvironment& operator=(const ScopedHubEnvironment&) = delete;
};

TEST(ProtocolV2Capture, SetPointFramesDecodeToTheCommandedPositionsCountersAndGaps) {
    ProtocolTest::ScopedOperationMode mode;
    TestSupport::TempDataRoot root;
    const std::string robotFile = ProtocolTest::FixturePath("robot_jxrcanv2_gap.xml");
    const std::string busPath = root.Path() + "/bus.sock";
    const std::string pcapPath = root.Path() + "/bus.pcap";

    Platform::VirtualCanHub hub;
    ASSERT_EQ(hub.Start(busPath, pcapPath), 0) << hub.ErrorText();
    ScopedHubEnvironment environment(busPath);

    std::vector<std::vector<float>> sent;
    {
        DriveSim::DriveSimulator sim;
        std::string error;
        ASSERT_TRUE(sim.LoadRobotFile(robotFile, &error)) << error;
        ASSERT_EQ(sim.Start(busPath), 0);

        std::unique_ptr<Hardware::HardwareProtocol> protocol =
            Hardware::HardwareProtocol::Create("JXRCANV2", nullptr);
        ASSERT_NE(protocol, nullptr);
        protocol->Init("Robot", "JXRPivra4", robotFile);
        protocol->Connect();
        ASSERT_TRUE(protocol->GetConnectionStatus());

        DataTypes::RobotState target;
        DataTypes::RobotState measured;
        // Every cycle goes on the record, those spent waiting included.
        auto cycle = [&](const std::vector<float>& points) {
            for (int j = 0; j < kJoints; ++j) target.jointSet[j] = points[j];
            protocol->SetJoints(target);
            protocol->GetJoints(&measured);
            sent.push_back(points);
        };
        auto follows = [&] {
            for (int j = 0; j < kJoints; ++j) {
                if (measured.jointAct[j] < target.jointSet[j] - 0.02f ||
                    measured.jointAct[j] > target.jointSet[j] + 0.02f) {
                    return false;
                }
            }
            return true;
        };

        // The simulated drives move only when enabled.
        protocol->EnableMotors(true);
        const std::vector<float> rest(kJoints, 0.0f);
        ASSERT_TRUE(ProtocolTest::WaitFor([&] {
            cycle(rest);
            return protocol->GetMotorEnabled();
        }));
        for (int c = 0; c < kCycles; ++c) {
            std::vector<float> points(kJoints);
            for (int j = 0; j < kJoints; ++j) points[j] = SetPoint(c, j);
            cycle(points);
        }
        // The drives answered: the last set-points come back as measured values.
        const std::vector<float> last = sent.back();
        EXPECT_TRUE(ProtocolTest::WaitFor([&] {
            cycle(last);
            return follows();
        }));
        protocol.reset();
        sim.Stop();
    }
    // Frames still queued at the hub when it stops would be missing from the capture:
    // stop once it has relayed nothing new for a while.
    std::uint64_t relayed = hub.FrameCount();
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::uint64_t now = hub.FrameCount();
        if (now == relayed) break;
        relayed = now;
    }
    hub.Stop();  // flushes and closes the capture

    std::ostringstream expected;
    expected << "# one line per cycle: set-points of joints 0..5\n";
    expected.precision(9);
    for (const std::vector<float>& points : sent) {
        for (int j = 0; j < kJoints; ++j) expected << (j == 0 ? "" : " ") << points[j];
        expected << "\n";
    }
    const std::string expectedPath = root.WriteFile("expected_setpoints.txt", expected.str());

    const std::string script = std::string(BELVANTO_SOURCE_DIR) + "/tests/hardware/check_v2_pcap.py";
    const std::string command = "python3 '" + script + "' --pcap '" + pcapPath + "' --robot '" + robotFile +
                                "' --expected '" + expectedPath + "' --first-counter 1";
    std::string output;
    const int status = RunCommand(command, &output);
    EXPECT_EQ(status, 0) << command << "\n" << output;
}

}  // namespace
