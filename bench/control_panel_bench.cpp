// One main-loop pass of the serial operator panel: Display4DS::SetValues with a full robot
// state, then Display4DS::update taking one input frame from a pseudo-terminal and writing
// the 103-byte position frame back. Per-pass times are taken one by one (p50, p99, max in
// µs), with the heap allocations per pass. A second case takes a backlog of 20 frames per
// pass (a panel far faster than the pass).
#include "BenchSupport.h"
#include "AllocationCounter.h"
#include "control/Display4DS.h"
#include "core/LogSingleton.h"
#include "testsupport/PseudoTerminal.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

Bytes InputFrame(int axis0) {
    Bytes f{0xFF, 0x00, 0x00, 0x00, 100};
    for (int i = 0; i < 9; ++i) f.push_back(static_cast<std::uint8_t>(i == 0 ? axis0 : 128));
    f.insert(f.end(), {0x00, 0x00, 0x00});
    return f;
}

DataTypes::RobotState ShownState() {
    DataTypes::RobotState s;
    for (int i = 0; i < 9; ++i) {
        s.jointSet[i] = 12.5f * static_cast<float>(i);
        s.boardTemps[i] = 31.0f;
    }
    s.supply = 48000;
    s.currentAll = 2500;
    s.override = 80.0f;
    s.programName = "DemoStart.xml";
    s.errorText = "NoError";
    s.DIn[21] = s.DOut[33] = true;
    return s;
}

struct PanelBench {
    PanelBench() {
        char pattern[] = "/tmp/belvanto-panelbench-XXXXXX";
        if (mkdtemp(pattern) != nullptr) std::filesystem::current_path(pattern);
        LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
        setenv(Display4DS::kPortsEnvironment, "", 1);
        // The panel is found while frames stream in.
        std::atomic<bool> streaming{true};
        std::thread peer([&] {
            while (streaming.load()) {
                pty.Write(InputFrame(128));
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        panel.Connect(pty.SlavePath());
        streaming = false;
        peer.join();
        panel.update();
        pty.ReadAvailable();
    }
    TestSupport::PseudoTerminal pty;
    Display4DS panel;
};

void RunPasses(benchmark::State& state, int framesPerPass) {
    static PanelBench bench;
    const DataTypes::RobotState rs = ShownState();
    Bytes backlog;
    for (int i = 0; i < framesPerPass; ++i) {
        const Bytes f = InputFrame(i % 2 == 0 ? 200 : 60);
        backlog.insert(backlog.end(), f.begin(), f.end());
    }
    std::vector<double> us;
    us.reserve(1 << 16);
    long long allocations = 0;
    for (auto _ : state) {
        bench.pty.Write(backlog);
        const long long before = AllocationCounter::Count();
        const auto start = Clock::now();
        bench.panel.SetValues(rs);
        bench.panel.update();
        const auto end = Clock::now();
        allocations += AllocationCounter::Count() - before;
        const double elapsed = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(elapsed);
        us.push_back(elapsed * 1e6);
        bench.pty.ReadAvailable();
    }
    state.counters["allocs_per_pass"] =
        benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(std::max<long long>(1, state.iterations())));
    float jog[9];
    bench.panel.GetJogValues(jog);
    state.counters["jog1"] = jog[0];
    BenchSupport::ReportPercentiles(state, us);
}

void BM_PanelPassOneFrame(benchmark::State& state) { RunPasses(state, 1); }
void BM_PanelPassBacklog20(benchmark::State& state) { RunPasses(state, 20); }

BENCHMARK(BM_PanelPassOneFrame)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PanelPassBacklog20)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
