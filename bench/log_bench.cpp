// Latency of LogSingleton::add on the caller's thread:
// - BM_LogAddConcurrent: four threads at once, the log rotating every 250 lines (file
//   moves, sync()), the console copy to /dev/null;
// - BM_LogAddToFile: one caller, a line every 50 us, console to /dev/null, log to a file;
// - BM_LogAddSlowStdout: the same with standard output a pipe read 1 KiB every 10 ms
//   (a slow serial console);
// - BM_LogAddConsoleHeld: one caller while the console is held inside a write (before the
//   console had a thread of its own this held the writer: its queue filled, then lines
//   were dropped); in_file_pct as below.
// - BM_LogAddStalledStdout: one caller, a line every 50 us, standard output a pipe nobody
//   reads (a stalled log collector, a terminal on Ctrl-S); in_file_pct is the share of the
//   lines that reached the log file 200 ms after the last one.
// Counters p50_us, p99_us, max_us; allocs_per_add counts the heap allocations of the whole
// process per line.
#include "AllocationCounter.h"
#include "BenchSupport.h"
#include "core/LogSingleton.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Standard output to /dev/null, to a pipe drained 1 KiB every 10 ms, or to a pipe nobody
// reads until Hurry().
enum class Stdout { DevNull, SlowPipe, StalledPipe };

class StdoutTarget {
public:
    explicit StdoutTarget(Stdout kind) : saved(dup(STDOUT_FILENO)) {
        std::cout.flush();
        if (kind == Stdout::DevNull) {
            const int devNull = open("/dev/null", O_WRONLY);
            dup2(devNull, STDOUT_FILENO);
            close(devNull);
            return;
        }
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        readEnd = fds[0];
        if (kind == Stdout::StalledPipe) return;  // read only from Hurry() on
        StartReader();
    }
    // From now on the reader reads at full speed (the tear-down writes out the backlog).
    void Hurry() {
        hurry.store(true);
        if (!reader.joinable() && readEnd >= 0) StartReader();
    }
    ~StdoutTarget() {
        std::cout.flush();
        dup2(saved, STDOUT_FILENO);  // closes the pipe's last write end: the reader ends
        close(saved);
        if (reader.joinable()) reader.join();
        if (readEnd >= 0) close(readEnd);
    }

private:
    void StartReader() {
        reader = std::thread([this] {
            char buffer[1024];
            while (read(readEnd, buffer, sizeof(buffer)) > 0) {
                if (!hurry.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }

    int saved;
    int readEnd = -1;
    std::atomic<bool> hurry{false};
    std::thread reader;
};

struct BenchLog {
    explicit BenchLog(Stdout kind, unsigned maxEntries = 5000) : folder("logbench"), target(kind) {
        log = std::make_unique<LogSingleton>(std::chrono::milliseconds(0));
        log->SetMaxEntries(maxEntries);
    }
    ~BenchLog() {
        target.Hurry();
        log.reset();
    }
    BenchSupport::BenchFolder folder;
    StdoutTarget target;
    std::unique_ptr<LogSingleton> log;
};

std::unique_ptr<BenchLog> benchLog;

void SetUpRotating(const benchmark::State&) { benchLog = std::make_unique<BenchLog>(Stdout::DevNull, 250); }
void SetUpFile(const benchmark::State&) { benchLog = std::make_unique<BenchLog>(Stdout::DevNull); }
void SetUpSlowStdout(const benchmark::State&) { benchLog = std::make_unique<BenchLog>(Stdout::SlowPipe); }
// One file for the whole run, so its lines can be counted.
void SetUpStalledStdout(const benchmark::State&) {
    benchLog = std::make_unique<BenchLog>(Stdout::StalledPipe, 1000000);
}
void TearDown(const benchmark::State&) { benchLog.reset(); }

double Percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0.0;
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

double MicrosecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void BM_LogAddConcurrent(benchmark::State& state) {
    LogSingleton* log = benchLog->log.get();
    const std::string text =
        "RobotMaster: thread " + std::to_string(state.thread_index()) + " status line";
    std::vector<double> latenciesUs;
    latenciesUs.reserve(1 << 16);
    for (auto _ : state) {
        const auto start = Clock::now();
        log->add(text);
        latenciesUs.push_back(MicrosecondsSince(start));
    }
    // Per-thread percentiles, averaged over the threads.
    state.counters["p50_us"] =
        benchmark::Counter(Percentile(latenciesUs, 0.50), benchmark::Counter::kAvgThreads);
    state.counters["p99_us"] =
        benchmark::Counter(Percentile(latenciesUs, 0.99), benchmark::Counter::kAvgThreads);
    state.counters["max_us"] =
        benchmark::Counter(Percentile(latenciesUs, 1.0), benchmark::Counter::kAvgThreads);
}

// One line of common length every period (the time between lines is not measured).
void AddPaced(benchmark::State& state, LogSingleton* log, std::chrono::microseconds period) {
    const std::string text = "RobotMaster::Loop - CycleTime exceeded: 398853 us";
    std::vector<double> latenciesUs;
    latenciesUs.reserve(static_cast<size_t>(state.max_iterations));
    auto next = Clock::now();
    const long long allocationsBefore = AllocationCounter::Count();
    for (auto _ : state) {
        next += period;
        const auto start = Clock::now();
        log->add(text);
        latenciesUs.push_back(MicrosecondsSince(start));
        state.PauseTiming();
        while (Clock::now() < next) {
        }
        state.ResumeTiming();
    }
    AllocationCounter::Report(state, allocationsBefore, "allocs_per_add");
    BenchSupport::ReportPercentiles(state, latenciesUs);
}

void BM_LogAddToFile(benchmark::State& state) {
    AddPaced(state, benchLog->log.get(), std::chrono::microseconds(50));
}

void BM_LogAddSlowStdout(benchmark::State& state) {
    AddPaced(state, benchLog->log.get(), std::chrono::microseconds(50));
}

// Lines of the current log file that hold text.
long LinesInFile(const std::string& path, const std::string& text) {
    std::ifstream in(path);
    std::string line;
    long count = 0;
    while (std::getline(in, line)) {
        if (line.find(text) != std::string::npos) ++count;
    }
    return count;
}

void BM_LogAddStalledStdout(benchmark::State& state) {
    AddPaced(state, benchLog->log.get(), std::chrono::microseconds(50));
    // No Flush(): it could wait for the console. The writer has 200 ms to catch up.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long inFile = LinesInFile("logMessages01.txt", "CycleTime exceeded");
    state.counters["in_file_pct"] = 100.0 * static_cast<double>(inFile) / static_cast<double>(state.iterations());
}

// Holds the console in its first write until released.
class HeldConsole : public LogConsoleSink {
public:
    int Write(bool, const char*, size_t) override {
        std::unique_lock<std::mutex> lock(mutex);
        released.wait(lock, [this] { return !held; });
        return 0;
    }
    void Hold() {
        std::lock_guard<std::mutex> lock(mutex);
        held = true;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex);
        held = false;
        released.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable released;
    bool held = false;
};

void BM_LogAddConsoleHeld(benchmark::State& state) {
    BenchSupport::BenchFolder folder("logbench-held");
    auto sink = std::make_unique<HeldConsole>();
    HeldConsole* console = sink.get();
    auto log = std::make_unique<LogSingleton>(std::chrono::milliseconds(0), std::move(sink));
    log->SetMaxEntries(1000000);
    console->Hold();
    AddPaced(state, log.get(), std::chrono::microseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long inFile = LinesInFile("logMessages01.txt", "CycleTime exceeded");
    state.counters["in_file_pct"] = 100.0 * static_cast<double>(inFile) / static_cast<double>(state.iterations());
    console->Release();
    log.reset();
}

}  // namespace

BENCHMARK(BM_LogAddConcurrent)
    ->Threads(4)
    ->Iterations(5000)
    ->Setup(SetUpRotating)
    ->Teardown(TearDown)
    ->UseRealTime();
BENCHMARK(BM_LogAddToFile)->Iterations(20000)->Setup(SetUpFile)->Teardown(TearDown)->UseRealTime();
BENCHMARK(BM_LogAddSlowStdout)->Iterations(4000)->Setup(SetUpSlowStdout)->Teardown(TearDown)->UseRealTime();
BENCHMARK(BM_LogAddStalledStdout)->Iterations(20000)->Setup(SetUpStalledStdout)->Teardown(TearDown)->UseRealTime();
BENCHMARK(BM_LogAddConsoleHeld)->Iterations(50000)->UseRealTime();

BENCHMARK_MAIN();
