// CONFIG SetKinematicLimits against the running robot loop: the loop (timing mode 2, 4 ms)
// drives simulated version-2 drives on the virtual CAN bus while one HVP client sends 100
// SetKinematicLimits back to back, each of which rewrites and syncs the robot file on the
// connection's thread. Counters: the loop's max cycle time during the 100 requests and
// over a quiet phase of the same length right after, and the time per request (the 100
// frames and a GetVersion marker, until the marker's reply, divided by 100).
#include "control/ProjectInterfaces.h"
#include "control/RobotMaster.h"
#include "control/RobotMasterPort.h"
#include "core/LogSingleton.h"
#include "remote/ComServerManager.h"

#include <benchmark/benchmark.h>

#if defined(BELVANTO_HAVE_DRIVESIM)
#include "../tools/looptiming/LoopTimingRobot.h"
#include "BenchSupport.h"
#include "drivesim/DriveSimulator.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"
#include "testsupport/LoopbackSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCycleMs = 4;
constexpr int kRequests = 100;

// The log and the robot file in a folder of their own.
struct ConfigBenchFolder : BenchSupport::BenchFolder {
    ConfigBenchFolder() : BenchFolder("configbench") { LoopTiming::WriteRobotFile(Path(), kCycleMs); }
};

// Reads until the text arrives; false when the connection ends first.
bool ReadUntil(int fd, const std::string& text) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(n));
        if (pending.find(text) != std::string::npos) return true;
        if (pending.size() > 4 * text.size()) pending.erase(0, pending.size() - 2 * text.size());
    }
}

void BM_HundredSetKinematicLimitsBesideTheRobotLoop(benchmark::State& state) {
    static ConfigBenchFolder folder;
    const std::string hubPath = folder.Path() + "/bus.sock";
    Platform::VirtualCanHub hub;
    if (hub.Start(hubPath) != 0) {
        state.SkipWithError("virtual CAN hub did not start");
        return;
    }
    setenv(Platform::kCanHubEnvironment, hubPath.c_str(), 1);
    DriveSim::DriveSimulator sim;
    std::string error;
    if (!sim.LoadRobotFile(folder.Path() + "/Data/Robots/" + LoopTiming::kRobotFile, &error) ||
        sim.Start(hubPath) != 0) {
        state.SkipWithError(("drive simulator: " + error).c_str());
        return;
    }
    std::unique_ptr<RobotMaster> master = LoopTiming::StartRobot(kCycleMs, 2, error);
    if (!master) {
        state.SkipWithError("robot master did not start");
        return;
    }

    ProjectLinks::StoredCloudSettings cloud;
    ComServerManager manager(0);
    Control::RobotMasterPort port(*master, nullptr);
    manager.Init(&port, nullptr, &cloud);
    manager.Start();
    manager.WaitListening(5000);
    const int client = TestSupport::ConnectLoopback(manager.GetPort());
    if (client < 0) {
        state.SkipWithError("no HVP connection");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // settle

    double loadedMaxUs = 0.0, quietMaxUs = 0.0, perRequestMs = 0.0;
    for (auto _ : state) {
        std::string frames;
        for (int i = 0; i < kRequests; ++i) {
            // Every request changes the limits, so every write has something to write.
            const std::string max = std::to_string(500 + i % 2);
            frames += "HVPSTART " + std::to_string(i) + " CONFIG SetKinematicLimits -5 " + max + " -5 " + max +
                      " -5 300 HVPEND";
        }
        frames += "HVPSTART 999 CMD GetVersion HVPEND";
        master->ResetMaxCycleTime();
        const auto start = Clock::now();
        TestSupport::SendAll(client, frames);
        if (!ReadUntil(client, "INFO Version")) {
            state.SkipWithError("no reply to the marker");
            break;
        }
        const auto took = Clock::now() - start;
        loadedMaxUs = master->GetMaxCycleTime();
        perRequestMs = std::chrono::duration<double, std::milli>(took).count() / kRequests;

        master->ResetMaxCycleTime();
        std::this_thread::sleep_for(took);
        quietMaxUs = master->GetMaxCycleTime();
    }
    state.counters["loop_max_cycle_loaded_us"] = loadedMaxUs;
    state.counters["loop_max_cycle_quiet_us"] = quietMaxUs;
    state.counters["per_request_ms"] = perRequestMs;

    ::close(client);
    manager.Stop();
    master->StopMainLoop();
    master.reset();
    sim.Stop();
    hub.Stop();
    unsetenv(Platform::kCanHubEnvironment);
}
BENCHMARK(BM_HundredSetKinematicLimitsBesideTheRobotLoop)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

#endif  // BELVANTO_HAVE_DRIVESIM

BENCHMARK_MAIN();
