// The robot loop's writes to the virtual CAN bus, timed one by one.
//  - ReadingHub: cycles of eight frames every 2 ms through the hub (recording a pcap file)
//    to a drive-like peer that reads on its own thread. Reported: p50, p99 and max of every
//    write and of each cycle's first write.
//  - SilentHub: a hub that takes nothing. The writer fills its queue, then every further
//    frame is refused; reported as above, with the count refused.

#include "BenchSupport.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"
#include "testsupport/SilentCanHub.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double MicrosSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void BM_CanWriteReadingHub(benchmark::State& state) {
    BenchSupport::BenchFolder folder("canwrite");
    const std::string socketPath = folder.Path() + "/bus.sock";
    Platform::VirtualCanHub hub;
    if (hub.Start(socketPath, folder.Path() + "/bus.pcap") != 0) {
        state.SkipWithError(hub.ErrorText().c_str());
        return;
    }
    Platform::CanSocket writer(Platform::CanSocket::Backend::VirtualHub, socketPath);
    Platform::CanSocket peer(Platform::CanSocket::Backend::VirtualHub, socketPath);
    if (writer.Open("can0") != 0 || peer.Open("can0") != 0) {
        state.SkipWithError("cannot attach to the hub");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<long> received{0};
    std::thread reader([&] {
        can_frame frame{};
        while (!stop.load()) {
            if (peer.WaitReadable(20) == 1 && peer.Read(&frame) == 16) received.fetch_add(1);
        }
    });
    while (hub.EndpointCount() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    constexpr int kCycles = 5000;
    constexpr int kFramesPerCycle = 8;
    std::vector<double> all;
    std::vector<double> first;
    all.reserve(kCycles * kFramesPerCycle);
    first.reserve(kCycles);
    long refused = 0;
    for (auto _ : state) {
        can_frame frame{};
        frame.can_dlc = 8;
        auto next = Clock::now();
        for (int c = 0; c < kCycles; ++c) {
            next += std::chrono::milliseconds(2);
            std::this_thread::sleep_until(next);
            for (int k = 0; k < kFramesPerCycle; ++k) {
                frame.can_id = 0x10 * (k + 1);
                frame.data[6] = static_cast<unsigned char>(c);
                const Clock::time_point start = Clock::now();
                if (writer.Write(frame) != 0) ++refused;
                const double us = MicrosSince(start);
                all.push_back(us);
                if (k == 0) first.push_back(us);
            }
        }
    }
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (received.load() < kCycles * kFramesPerCycle && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop.store(true);
    reader.join();
    BenchSupport::ReportPercentiles(state, all, "write_");
    BenchSupport::ReportPercentiles(state, first, "first_");
    state.counters["refused"] = static_cast<double>(refused);
    state.counters["lost"] = static_cast<double>(kCycles * kFramesPerCycle - received.load());
    hub.Stop();
}

void BM_CanWriteSilentHub(benchmark::State& state) {
    BenchSupport::BenchFolder folder("canwrite");
    const std::string socketPath = folder.Path() + "/silent.sock";
    TestSupport::SilentCanHub silent(socketPath);
    Platform::CanSocket writer(Platform::CanSocket::Backend::VirtualHub, socketPath);
    if (writer.Open("can0") != 0 || silent.AcceptWaiting() != 1) {
        state.SkipWithError("cannot attach to the silent hub");
        return;
    }
    // A few more than the queue holds: a waiting write would spend its time-out on each.
    const int frames = static_cast<int>(state.range(0));
    std::vector<double> beyondQueue;
    long refused = 0;
    for (auto _ : state) {
        can_frame frame{};
        frame.can_dlc = 8;
        for (int i = 0; i < frames; ++i) {
            const Clock::time_point start = Clock::now();
            const int rc = writer.Write(frame);
            const double us = MicrosSince(start);
            if (rc != 0) {
                ++refused;
                beyondQueue.push_back(us);
            }
        }
        silent.Drain();
    }
    BenchSupport::ReportPercentiles(state, beyondQueue, "refused_");
    state.counters["refused"] = static_cast<double>(refused);
}

BENCHMARK(BM_CanWriteReadingHub)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CanWriteSilentHub)->Arg(300)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
