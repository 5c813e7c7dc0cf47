// Latency of LogSingleton::add with four threads writing at once, in a folder where the
// log rotates every 250 lines, so the figures include rotations (file moves, sync()).
// The console copy of each line goes to /dev/null for the run.
#include "core/LogSingleton.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct BenchLog {
    BenchLog() {
        char pattern[] = "/tmp/belvanto-logbench-XXXXXX";
        folder = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
        previous = std::filesystem::current_path().string();
        std::filesystem::current_path(folder);
        stdoutCopy = dup(STDOUT_FILENO);
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
        log = std::make_unique<LogSingleton>(std::chrono::milliseconds(0));
        log->SetMaxEntries(250);
    }
    ~BenchLog() {
        log.reset();
        std::cout.flush();
        dup2(stdoutCopy, STDOUT_FILENO);
        close(stdoutCopy);
        std::filesystem::current_path(previous);
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    std::string folder;
    std::string previous;
    int stdoutCopy = -1;
    std::unique_ptr<LogSingleton> log;
};

std::unique_ptr<BenchLog> benchLog;

void SetUp(const benchmark::State&) { benchLog = std::make_unique<BenchLog>(); }
void TearDown(const benchmark::State&) { benchLog.reset(); }

double Percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0.0;
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

void BM_LogAddConcurrent(benchmark::State& state) {
    LogSingleton* log = benchLog->log.get();
    const std::string text =
        "RobotMaster: thread " + std::to_string(state.thread_index()) + " status line";
    std::vector<double> latenciesUs;
    latenciesUs.reserve(1 << 16);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        log->add(text);
        const auto end = std::chrono::steady_clock::now();
        latenciesUs.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    // Per-thread percentiles, averaged over the threads.
    state.counters["p50_us"] =
        benchmark::Counter(Percentile(latenciesUs, 0.50), benchmark::Counter::kAvgThreads);
    state.counters["p99_us"] =
        benchmark::Counter(Percentile(latenciesUs, 0.99), benchmark::Counter::kAvgThreads);
    state.counters["max_us"] =
        benchmark::Counter(Percentile(latenciesUs, 1.0), benchmark::Counter::kAvgThreads);
}

}  // namespace

BENCHMARK(BM_LogAddConcurrent)
    ->Threads(4)
    ->Iterations(5000)
    ->Setup(SetUp)
    ->Teardown(TearDown)
    ->UseRealTime();

BENCHMARK_MAIN();
