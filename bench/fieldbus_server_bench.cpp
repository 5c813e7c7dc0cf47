// The Modbus server on 127.0.0.1 with two clients: one polls input registers 0-3 every 5 ms,
// the other sends, over and over, the requests of a misbehaving PLC (refused quantities,
// unknown function codes, half a request, a lying MBAP length). The poller's round trip is
// reported as p50, p99 and max; BM_PollAlone is the same poller without the other client.
#include "BenchSupport.h"
#include "testsupport/RecordingPort.h"
#include "../tests/fieldbus/StallRequests.h"
#include "fieldbus/ModbusServer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using ModbusTest::RawModbusClient;

struct Server {
    Server() : folder("modbus-server") {
        port.recording = false;
        port.SetArmWithGripperAndAxes();
        server = Modbus::ModbusServer::Instance();
        server->SetControllerPort(&port);
        server->SetListenAddress("127.0.0.1", 0);
        server->Start();
        for (int i = 0; i < 2000 && !server->IsListening(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Server() {
        server->Stop();
        server->SetControllerPort(nullptr);
    }
    BenchSupport::BenchFolder folder;
    TestSupport::RecordingPort port;
    Modbus::ModbusServer* server = nullptr;
};

void Poll(benchmark::State& state, bool disturbed) {
    Server s;
    const int port = s.server->GetBoundPort();
    std::atomic<bool> stop{false};
    std::thread other;
    if (disturbed) {
        other = std::thread([&] {
            const auto requests = ModbusTest::StallRequests();
            while (!stop.load()) {
                for (const auto& r : requests) {
                    double took = 0.0;
                    ModbusTest::SendStallRequest(port, r, 100, took);
                    if (stop.load()) break;
                }
            }
        });
    }
    RawModbusClient poller(port, 5000);
    const std::vector<std::uint8_t> read = RawModbusClient::Pdu(4, {0, 4});
    std::vector<double> waits;
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto start = std::chrono::steady_clock::now();
        const auto answer = poller.Ask(read);
        const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        if (answer.size() != 17u) {
            state.SkipWithError("no answer to the poll");
            break;
        }
        state.SetIterationTime(us * 1e-6);
        waits.push_back(us);
    }
    stop.store(true);
    if (other.joinable()) other.join();
    BenchSupport::ReportPercentiles(state, waits);
}

void BM_PollWhileAnotherClientMisbehaves(benchmark::State& state) { Poll(state, true); }
BENCHMARK(BM_PollWhileAnotherClientMisbehaves)->Iterations(1200)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_PollAlone(benchmark::State& state) { Poll(state, false); }
BENCHMARK(BM_PollAlone)->Iterations(1200)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
