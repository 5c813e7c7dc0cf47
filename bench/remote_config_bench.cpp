// CONFIG SetKinematicLimits against the running robot loop: the loop (timing mode 2, 4 ms)
// drives simulated version-2 drives on the virtual CAN bus while one HVP client sends 100
// SetKinematicLimits back to back, each of which rewrites and syncs the robot file on the
// connection's thread. Counters: the loop's max cycle time during the 100 requests and
// over a quiet phase of the same length right after, and the time per request (the 100
// frames and a GetVersion marker, until the marker's reply, divided by 100).
#include "control/ProjectInterfaces.h"
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "remote/ComServerManager.h"

#include <benchmark/benchmark.h>

#if defined(BELVANTO_HAVE_DRIVESIM)
#include "drivesim/DriveSimulator.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCycleMs = 4;
constexpr int kRequests = 100;

const char* const kRobotXml =
    "<?xml version=\"1.0\"?>\n<Robot>\n"
    "  <BusConfiguration Protocol=\"JXRCANV2\" CycleTimeMS=\"4\" GapMS=\"0\" SyncGapMS=\"0\" UsePDOs=\"true\">\n"
    "    <Joints NrOfJoints=\"3\"/>\n"
    "    <Joint0 ID=\"16\" GearScale=\"100\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\"/>\n"
    "    <Joint1 ID=\"32\" GearScale=\"100\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\"/>\n"
    "    <Joint2 ID=\"48\" GearScale=\"100\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\"/>\n"
    "  </BusConfiguration>\n"
    "  <Kinematic Type=\"Cartesian3Axis\" lx=\"600\" ly=\"400\" lz=\"200\"/>\n"
    "  <SoftwareMinMax A1Min=\"-5\" A1Max=\"500\" A2Min=\"-5\" A2Max=\"500\" A3Min=\"-5\" A3Max=\"300\"/>\n"
    "  <JointVelocities A1=\"80\" A2=\"80\" A3=\"60\"/>\n"
    "  <JointAccelerations A1=\"400\" A2=\"400\" A3=\"300\"/>\n"
    "  <JointAccelerationIncs A1=\"800\" A2=\"800\" A3=\"600\"/>\n"
    "  <CartVelocities VelTrans=\"300\" VelOri=\"120\"/>\n"
    "  <CartAccelerations AccLin=\"1200\" AccLinInc=\"2400\" AccOri=\"900\" AccOriInc=\"1800\"/>\n"
    "  <Belvanto DebugMode=\"false\"/>\n"
    "  <Referencing Mandatory=\"false\"/>\n"
    "</Robot>\n";

struct BenchFolder {
    BenchFolder() {
        char pattern[] = "/tmp/belvanto-configbench-XXXXXX";
        folder = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
        std::filesystem::create_directories(folder + "/Data/Robots/LoopTiming");
        std::ofstream(folder + "/Data/Robots/LoopTiming/LoopTiming.xml") << kRobotXml;
        std::filesystem::current_path(folder);
        LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    }
    ~BenchFolder() {
        std::error_code ec;
        if (folder != "/tmp") std::filesystem::remove_all(folder, ec);
    }
    std::string folder;
};

int ConnectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

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
    static BenchFolder folder;
    const std::string hubPath = folder.folder + "/bus.sock";
    Platform::VirtualCanHub hub;
    if (hub.Start(hubPath) != 0) {
        state.SkipWithError("virtual CAN hub did not start");
        return;
    }
    setenv(Platform::kCanHubEnvironment, hubPath.c_str(), 1);
    DriveSim::DriveSimulator sim;
    std::string error;
    if (!sim.LoadRobotFile(folder.folder + "/Data/Robots/LoopTiming/LoopTiming.xml", &error) ||
        sim.Start(hubPath) != 0) {
        state.SkipWithError(("drive simulator: " + error).c_str());
        return;
    }
    auto master = std::make_unique<RobotMaster>();
    master->Init("robot", "LoopTiming", "LoopTiming/LoopTiming.xml");
    if (LogSingleton::instance()->get_opMode() != OPMODE_NORMAL) {
        state.SkipWithError("robot master did not start");
        return;
    }
    master->CycleTimeMS.store(kCycleMs);
    master->TimingMode.store(2);
    master->GetHardware()->Connect();
    master->FinishInit();
    master->Reset();
    master->EnableMotors(true);

    ProjectLinks::StoredCloudSettings cloud;
    ComServerManager manager(0);
    manager.Init(master.get(), nullptr, &cloud);
    manager.Start();
    manager.WaitListening(5000);
    const int client = ConnectTo(manager.GetPort());
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
        ::send(client, frames.data(), frames.size(), MSG_NOSIGNAL);
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
