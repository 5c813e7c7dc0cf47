// Robot master: how long a command waits for the loop to acknowledge its hold, and what
// a copy of the published robot state costs while the loop publishes at 1 kHz.
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "hardware/HardwareProtocol.h"
#include "kinematics/RobotKinematicNull.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

// A master without a robot file whose loop runs (hold released as after FinishInit).
std::unique_ptr<RobotMaster> StartMaster(int cycleMs, int timingMode) {
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    auto master = std::make_unique<RobotMaster>();
    RobotMasterTestAccess::Kinematic(*master) = std::make_unique<RobotKinematicNull>();
    master->SetHardwareProtocol(std::make_unique<Hardware::HardwareProtocol>(master->GetKinematic()));
    RobotMasterTestAccess::CycleTimeMs(*master).store(cycleMs);
    RobotMasterTestAccess::TimingMode(*master).store(timingMode);
    RobotMasterTestAccess::InitHold(*master).store(false);
    master->StartMainLoop();
    return master;
}

// Hold request to acknowledgement, at random phases of the cycle. Arguments: cycle (ms),
// timing mode. Reports p50 and max in µs.
void BM_HoldAcknowledgeLatency(benchmark::State& state) {
    const int cycleMs = static_cast<int>(state.range(0));
    const int mode = static_cast<int>(state.range(1));
    auto master = StartMaster(cycleMs, mode);
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * cycleMs));
    std::mt19937 random(42);
    std::uniform_int_distribution<int> phase(0, cycleMs * 1000);
    std::vector<double> samples;
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::microseconds(phase(random)));
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        {
            CommandLock lock(*master);
            HoldScope hold(*master, 0, 0);
            const auto acknowledged = std::chrono::steady_clock::now();
            samples.push_back(std::chrono::duration<double, std::micro>(acknowledged - start).count());
        }
    }
    master->StopMainLoop();
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["p50_us"] = samples[samples.size() / 2];
        state.counters["max_us"] = samples.back();
    }
}
BENCHMARK(BM_HoldAcknowledgeLatency)
    ->Args({4, 1})
    ->Args({4, 2})
    ->Args({10, 1})
    ->Args({10, 2})
    ->Iterations(300)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// GetRobotState from 4 reader threads while the loop publishes every millisecond.
std::unique_ptr<RobotMaster> gPublishingMaster;

void BM_GetRobotStateWhilePublishing(benchmark::State& state) {
    if (state.thread_index() == 0) {
        gPublishingMaster = StartMaster(1, 2);
        // A realistic error text (longer than a short-string buffer).
        std::lock_guard<std::mutex> lock(RobotMasterTestAccess::PublishMutex(*gPublishingMaster));
        RobotMasterTestAccess::LiveState(*gPublishingMaster).errorText = "operation_enabled, all joints referenced";
        RobotMasterTestAccess::LiveState(*gPublishingMaster).programName = "Data/Programs/pick_and_place.xml";
    }
    for (auto _ : state) {
        DataTypes::RobotState copy = gPublishingMaster->GetRobotState();
        benchmark::DoNotOptimize(copy);
    }
    if (state.thread_index() == 0) {
        gPublishingMaster->StopMainLoop();
        gPublishingMaster.reset();
    }
}
BENCHMARK(BM_GetRobotStateWhilePublishing)->Threads(4)->UseRealTime()->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
