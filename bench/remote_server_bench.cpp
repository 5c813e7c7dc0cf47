// The HVP server under load: a GetVersion round trip on loopback while status telegrams
// flow to five clients; the main loop's fan-out with five clients, also with one that has
// stopped reading; the cost of an interpreter event, a variable change and a bridged CAN
// frame to the thread that raises it; and 8,000 bridged frames a second to a reading owner.
// Latencies are reported as p50 / p99 / max in microseconds (counters).
#include "BenchSupport.h"
#include "control/ProjectInterfaces.h"
#include "control/RobotMaster.h"
#include "control/RobotMasterPort.h"
#include "core/LogSingleton.h"
#include "program/IPO.h"
#include "program/ProgramMemory.h"
#include "remote/ComServerManager.h"
#include "testsupport/LoopbackSocket.h"

#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A client that reads and counts frames holding a marker, on its own thread.
struct Reader {
    explicit Reader(int port, const char* what = "CANBridge Msg") : fd(TestSupport::ConnectLoopback(port)), marker(what) {
        thread = std::thread([this] {
            std::string pending;
            char buffer[65536];
            while (running.load()) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
                if (n <= 0) break;
                pending.append(buffer, static_cast<std::size_t>(n));
                std::size_t at = 0, found;
                while ((found = pending.find(marker, at)) != std::string::npos) {
                    counted.fetch_add(1);
                    at = found + marker.size();
                }
                const std::size_t keep = std::min(pending.size(), marker.size());
                pending.erase(0, pending.size() - keep);
            }
        });
    }
    ~Reader() {
        running = false;
        thread.join();
        ::close(fd);
    }
    int fd;
    std::string marker;
    std::atomic<bool> running{true};
    std::atomic<long> counted{0};
    std::thread thread;
};

// The log works in a folder of its own, without its start-up pause; set up before any
// robot master asks for it.
const BenchSupport::BenchFolder benchFolder("hvpbench");

struct Server {
    Server() {
        manager = std::make_unique<ComServerManager>(0);
        manager->Init(&port, nullptr, &cloud);
        manager->Start();
        manager->WaitListening(5000);
    }
    ~Server() { manager->Stop(); }
    void WaitClients(std::size_t n) {
        while (manager->ConnectionCount() < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (const auto& c : manager->Connections()) {
            while (!c->IsConnected()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    RobotMaster robot;
    Control::RobotMasterPort port{robot, nullptr};
    ProjectLinks::StoredCloudSettings cloud;
    std::unique_ptr<ComServerManager> manager;
};

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// The main loop's fan-out every 25 ms.
struct FanOut {
    explicit FanOut(ComServerManager& m) : manager(m) {
        thread = std::thread([this] {
            DataTypes::RobotState state;
            while (running.load()) {
                manager.CallSetCurrentPos(state);
                manager.CallPublishData();
                manager.CallSendServerMessage();
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
            }
        });
    }
    ~FanOut() {
        running = false;
        thread.join();
    }
    ComServerManager& manager;
    std::atomic<bool> running{true};
    std::thread thread;
};

// GetVersion round trips from one client while the fan-out sends status telegrams to it
// and to four others; with stalled set, one of the four reads nothing at all.
void GetVersionRoundTrips(benchmark::State& state, bool stalled) {
    Server server;
    const int client = TestSupport::ConnectLoopback(server.manager->GetPort());
    std::vector<std::unique_ptr<Reader>> others;
    const int reading = stalled ? 3 : 4;
    for (int i = 0; i < reading; ++i) others.push_back(std::make_unique<Reader>(server.manager->GetPort(), "STATUS"));
    const int silent = stalled ? TestSupport::ConnectLoopback(server.manager->GetPort()) : -1;
    if (silent >= 0) {
        // A small window: its buffers are full within the first second.
        const int small = 4096;
        ::setsockopt(silent, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    }
    server.WaitClients(5);
    FanOut fanOut(*server.manager);
    const std::string request = "HVPSTART 1 CMD GetVersion HVPEND";
    std::vector<double> us;
    std::string pending;
    char buffer[65536];
    for (auto _ : state) {
        const auto start = Clock::now();
        TestSupport::SendAll(client, request);
        for (;;) {
            const ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            pending.append(buffer, static_cast<std::size_t>(n));
            const std::size_t at = pending.find("INFO Version");
            if (at != std::string::npos) {
                pending.erase(0, at + 12);
                break;
            }
            if (pending.size() > 64) pending.erase(0, pending.size() - 64);
        }
        us.push_back(Micros(Clock::now() - start));
    }
    BenchSupport::ReportPercentiles(state, us);
    state.counters["clients_left"] = static_cast<double>(server.manager->ConnectionCount());
    ::close(client);
    if (silent >= 0) ::close(silent);
}

void BM_GetVersionRoundTripWithStatusToFiveClients(benchmark::State& state) { GetVersionRoundTrips(state, false); }
void BM_GetVersionRoundTripOneClientStalled(benchmark::State& state) { GetVersionRoundTrips(state, true); }
BENCHMARK(BM_GetVersionRoundTripWithStatusToFiveClients)->Iterations(4000)->UseRealTime();
BENCHMARK(BM_GetVersionRoundTripOneClientStalled)->Iterations(20000)->UseRealTime();

void FanOutCost(benchmark::State& state, bool oneStalled) {
    Server server;
    std::vector<std::unique_ptr<Reader>> readers;
    const int reading = oneStalled ? 4 : 5;
    for (int i = 0; i < reading; ++i) readers.push_back(std::make_unique<Reader>(server.manager->GetPort(), "STATUS"));
    int stalled = -1;
    if (oneStalled) {
        stalled = TestSupport::ConnectLoopback(server.manager->GetPort());
        const int small = 4096;
        ::setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    }
    server.WaitClients(5);
    DataTypes::RobotState robotState;
    std::vector<double> us;
    for (auto _ : state) {
        const auto start = Clock::now();
        server.manager->CallSetCurrentPos(robotState);
        server.manager->CallPublishData();
        us.push_back(Micros(Clock::now() - start));
        // A 25 ms pass is not needed for the cost; a short pause keeps the readers level.
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    BenchSupport::ReportPercentiles(state, us);
    state.counters["clients_left"] = static_cast<double>(server.manager->ConnectionCount());
    if (stalled >= 0) ::close(stalled);
}

void BM_FanOutFiveClients(benchmark::State& state) { FanOutCost(state, false); }
void BM_FanOutFiveClientsOneStalled(benchmark::State& state) { FanOutCost(state, true); }
BENCHMARK(BM_FanOutFiveClients)->Iterations(5000)->UseRealTime();
BENCHMARK(BM_FanOutFiveClientsOneStalled)->Iterations(5000)->UseRealTime();

enum class Producer { Event, Variable, BridgeFrame };

void ProducerCost(benchmark::State& state, Producer kind) {
    Server server;
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < 5; ++i) readers.push_back(std::make_unique<Reader>(server.manager->GetPort(), "HVPEND"));
    server.WaitClients(5);
    if (kind == Producer::BridgeFrame) LogSingleton::instance()->set_opMode(OPMODE_CAN_BRIDGE);
    const Programs::MemoryPosition variable("counter", 5.0, false);
    const unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    IPO& ipo = server.robot.GetMainInterpreter();
    std::vector<double> us;
    int i = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        switch (kind) {
            case Producer::Event: ipo.SendHVPServerCallback(HVP_EVENT_ACK, ++i, 0, ""); break;
            case Producer::Variable: ComServerManager::VariableChangedCallback(variable); break;
            case Producer::BridgeFrame: ComServerManager::CANReceiveCallback(0x123, 8, data, 0, timespec{}); break;
        }
        us.push_back(Micros(Clock::now() - start));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    BenchSupport::ReportPercentiles(state, us);
}

void BM_EventCost(benchmark::State& state) { ProducerCost(state, Producer::Event); }
void BM_VariableChangeCost(benchmark::State& state) { ProducerCost(state, Producer::Variable); }
void BM_BridgeFrameCost(benchmark::State& state) { ProducerCost(state, Producer::BridgeFrame); }
BENCHMARK(BM_EventCost)->Iterations(10000)->UseRealTime();
BENCHMARK(BM_VariableChangeCost)->Iterations(10000)->UseRealTime();
BENCHMARK(BM_BridgeFrameCost)->Iterations(10000)->UseRealTime();

// 8,000 frames a second for two seconds from the CAN reader's side to a reading owner.
void BM_BridgeEightThousandFramesPerSecond(benchmark::State& state) {
    Server server;
    Reader owner(server.manager->GetPort());
    server.WaitClients(1);
    const std::string switchOn = "HVPSTART 1 CANBridge SwitchOn HVPEND";
    TestSupport::SendAll(owner.fd, switchOn);
    while (LogSingleton::instance()->get_opMode() != OPMODE_CAN_BRIDGE) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const int frames = 16000;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < frames; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(125) * i);
            ComServerManager::CANReceiveCallback(0x100 + (i & 0xFF), 8, data, 0, timespec{});
        }
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (owner.counted.load() < frames && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    state.counters["sent"] = frames;
    state.counters["received"] = static_cast<double>(owner.counted.load());
    state.counters["lost"] = static_cast<double>(frames - owner.counted.load());
    const std::string switchOff = "HVPSTART 2 CANBridge SwitchOff HVPEND";
    TestSupport::SendAll(owner.fd, switchOff);
    while (LogSingleton::instance()->get_opMode() == OPMODE_CAN_BRIDGE) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
BENCHMARK(BM_BridgeEightThousandFramesPerSecond)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
