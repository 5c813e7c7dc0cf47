// Durations of the drive commands Reset and EnableMotors while the robot loop runs: the
// hold hand-over plus the commands' own waits (20 ms before, 1 ms after), against a
// protocol that does nothing. Arguments: cycle time in ms, timing mode.
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicNull.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

namespace {

std::unique_ptr<RobotMaster> MakeMaster(int cycleMs, int timingMode) {
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    auto master = std::make_unique<RobotMaster>();
    RobotMasterTestAccess::Kinematic(*master) = std::make_unique<RobotKinematicNull>();
    master->SetHardwareProtocol(std::make_unique<Hardware::HardwareProtocol>(master->GetKinematic()));
    RobotMasterTestAccess::CycleTimeMs(*master).store(cycleMs);
    RobotMasterTestAccess::TimingMode(*master).store(timingMode);
    RobotMasterTestAccess::InitHold(*master).store(false);
    master->StartMainLoop();
    return master;
}

void BM_Reset(benchmark::State& state) {
    auto master = MakeMaster(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        master->Reset();
    }
    master->StopMainLoop();
}

void BM_EnableMotors(benchmark::State& state) {
    auto master = MakeMaster(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    bool on = true;
    for (auto _ : state) {
        master->EnableMotors(on);
        on = !on;
    }
    master->StopMainLoop();
}

}  // namespace

BENCHMARK(BM_Reset)->Args({4, 1})->Args({10, 2})->Args({200, 2})->Iterations(40)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnableMotors)->Args({4, 1})->Args({10, 2})->Args({200, 2})->Iterations(40)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
