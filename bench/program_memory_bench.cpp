// Latency of the robot loop's per-cycle update of "#position" while reader threads copy
// variables out of the store (remote clients, Modbus, interpreters). Reports p50 and p99
// of single calls, with and without a change callback installed.
#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "program/ProgramMemory.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// The log singleton writes its files into the working directory: keep them out of the way.
struct BenchFolder {
    BenchFolder() {
        char pattern[] = "/tmp/belvanto-progmembench-XXXXXX";
        folder = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
        previous = std::filesystem::current_path().string();
        std::filesystem::current_path(folder);
        LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
        LogSingleton::instance();
    }
    ~BenchFolder() {
        std::filesystem::current_path(previous);
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    std::string folder;
    std::string previous;
};

double Percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0.0;
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

// Arguments: number of reader threads, whether a change callback is installed.
void BM_SetPositionWithReaders(benchmark::State& state) {
    static BenchFolder folder;
    const int readers = static_cast<int>(state.range(0));
    Programs::ProgramMemory memory;
    std::atomic<long> notified{0};
    if (state.range(1) != 0) {
        memory.changeCallback = [&notified](const Programs::MemoryPosition&) {
            notified.fetch_add(1, std::memory_order_relaxed);
        };
    }
    memory.SetVariableSingle("counter", 1.0, true);

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int r = 0; r < readers; ++r) {
        threads.emplace_back([&memory, &stop, r] {
            const char* names[] = {"#position", "mb_pos_r16", "counter", "mb_num_w1"};
            for (long i = 0; !stop.load(std::memory_order_relaxed); ++i) {
                Programs::MemoryPosition v = memory.GetVariable(names[(i + r) % 4]);
                benchmark::DoNotOptimize(v.value);
            }
        });
    }

    DataTypes::RobotState live;
    std::vector<double> samples;
    samples.reserve(1 << 20);
    long cycle = 0;
    for (auto _ : state) {
        const float v = static_cast<float>(cycle++ % 1000);
        live.pose.SetTranslation(v, v * 0.5f, 100.0f);
        live.jointSet[0] = v;
        const auto start = std::chrono::steady_clock::now();
        memory.SetVariablePos("#position", live, true, Programs::ContentUnchanged);
        const auto end = std::chrono::steady_clock::now();
        if (samples.size() < samples.capacity()) {
            samples.push_back(std::chrono::duration<double, std::nano>(end - start).count());
        }
    }
    stop.store(true);
    for (std::thread& t : threads) {
        t.join();
    }
    state.counters["p50_ns"] = Percentile(samples, 0.50);
    state.counters["p99_ns"] = Percentile(samples, 0.99);
}

BENCHMARK(BM_SetPositionWithReaders)
    ->ArgNames({"readers", "callback"})
    ->Args({0, 0})
    ->Args({5, 0})
    ->Args({0, 1})
    ->Args({5, 1})
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
