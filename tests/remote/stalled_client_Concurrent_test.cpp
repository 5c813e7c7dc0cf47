// A client that stops reading while the robot loop drives simulated drives and the main
// loop fans out every 25 ms: the other client keeps getting its messages and events, the
// stalled one is closed, and the loop's longest cycles with and without it are printed.

#include "remote_test_support.h"

#ifdef BELVANTO_HAVE_DRIVESIM

#include "../control/robot_master_support.h"
#include "drivesim/DriveSimulator.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"
#include "program/IPO.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>

using namespace RemoteTest;

namespace {

using Clock = std::chrono::steady_clock;

class HvpStalledClientConcurrent : public RobotServerFixture {
protected:
    void SetUp() override {
        root = LogSingleton::instance()->get_rootPath();
        hubPath = root + "hvp-stall-bus-" + std::to_string(getpid()) + ".sock";
        ASSERT_EQ(0, hub.Start(hubPath)) << hub.ErrorText();
        setenv(Platform::kCanHubEnvironment, hubPath.c_str(), 1);
        const std::string relative = "HvpSim/HvpSim.xml";
        ControlTest::WriteText(root + "Data/Robots/" + relative, ControlTest::BaseRobotXml("JXRCANV2"));
        std::string error;
        ASSERT_TRUE(sim.LoadRobotFile(root + "Data/Robots/" + relative, &error)) << error;
        ASSERT_EQ(0, sim.Start(hubPath));
        robot.Init("robot", "HvpSim", relative);
        ASSERT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
        RobotMasterTestAccess::CycleTimeMs(robot).store(4);
        robot.GetHardware()->Connect();
        ASSERT_TRUE(robot.GetHardware()->GetConnectionStatus());
        robot.FinishInit();
        RobotServerFixture::SetUp();
    }
    void TearDown() override {
        StopMainLoop();
        RobotServerFixture::TearDown();
        robot.StopMainLoop();
        sim.Stop();
        hub.Stop();
        unsetenv(Platform::kCanHubEnvironment);
    }

    // The main loop's fan-out every 25 ms, on its own thread as in the application.
    void StartMainLoop() {
        mainLoopRunning = true;
        mainLoop = std::thread([this] {
            while (mainLoopRunning.load()) {
                Pass(robot.GetRobotState());
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
            }
        });
    }
    void StopMainLoop() {
        mainLoopRunning = false;
        if (mainLoop.joinable()) mainLoop.join();
    }

    // The longest robot-loop cycle (µs) over ms.
    float MaxCycle(int ms) {
        robot.ResetMaxCycleTime();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return robot.GetMaxCycleTime();
    }

    std::string root, hubPath;
    Platform::VirtualCanHub hub;
    DriveSim::DriveSimulator sim;
    std::atomic<bool> mainLoopRunning{false};
    std::thread mainLoop;
};

TEST_F(HvpStalledClientConcurrent, OneStalledClientStallsNeitherTheLoopNorTheOtherClients) {
    TestSupport::LogCapture log;
    StartMainLoop();
    HvpTestClient& healthy = Connect();
    const float idleMax = MaxCycle(5000);

    HvpTestClient& stalled = Connect();
    stalled.SetReceiveBuffer(4096);
    std::shared_ptr<ComServer> stalledServer = Server(1);
    ASSERT_TRUE(stalledServer);

    // Ten seconds in which the stalled client reads nothing; the healthy one gets a
    // server message and an interpreter event every half second.
    robot.ResetMaxCycleTime();
    long worstMs = 0;
    int delivered = 0;
    const auto end = Clock::now() + std::chrono::seconds(10);
    for (int round = 0; Clock::now() < end; ++round) {
        healthy.ClearReceived();
        const auto sent = Clock::now();
        LogSingleton::instance()->ServerSetMessage("round " + std::to_string(round));
        robot.GetMainInterpreter().SendHVPServerCallback(HVP_EVENT_ACK, round, 0, "");
        // The event leaves at once, the message with the next pass: either may come first.
        const std::string ackText = "EXECACK " + std::to_string(round) + " 0";
        const std::string messageText = "MESSAGE round " + std::to_string(round);
        bool ack = false, message = false;
        healthy.WaitForFrame(
            [&](const HvpTestClient::Frame& f) {
                ack = ack || f.payload == ackText;
                message = message || f.payload == messageText;
                return ack && message;
            },
            kWaitMs);
        ASSERT_TRUE(ack && message) << "round " << round;
        worstMs = std::max<long>(worstMs, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count());
        ++delivered;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    const float stalledMax = robot.GetMaxCycleTime();
    EXPECT_GT(delivered, 10);
    // Its kernel buffers fill at the telegrams' pace, then a send waits 1 s: slower builds
    // need longer than the ten seconds for that.
    EXPECT_TRUE(WaitFor([&] { return !stalledServer->IsConnected(); }, 30000));
    EXPECT_TRUE(log.Contains("HVP-Server: Could not write to stream, closing connection ("));
    EXPECT_TRUE(WaitFor([&] { return manager->ConnectionCount() == 1; }));
    EXPECT_TRUE(healthy.Send(1, "CMD GetVersion"));
    EXPECT_TRUE(healthy.WaitFor("INFO Version Belvanto 16", kWaitMs));
    (void)stalled;

    // The cycle times are figures for the closing measurement, not a verdict: a host busy
    // with other work moves them by milliseconds. Delivery is judged at ten times its goal
    // (a message waits for the next 25 ms pass before it leaves).
    const float idleAfter = MaxCycle(5000);
    RecordProperty("idle_max_cycle_us", std::to_string(std::max(idleMax, idleAfter)));
    RecordProperty("stalled_max_cycle_us", std::to_string(stalledMax));
    RecordProperty("slowest_delivery_ms", std::to_string(worstMs));
    std::printf("max cycle idle %.0f / %.0f us, with the stalled client %.0f us; slowest delivery %ld ms\n", idleMax,
                idleAfter, stalledMax, worstMs);
    EXPECT_LE(worstMs, 1000);
}

}  // namespace

#endif
