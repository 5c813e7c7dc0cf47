// Separate-joints and slider kinematics: nanoseconds per joint (SetJoints, with checks)
// and target (SetPosition) call, and the heap allocations each call makes (counted
// through a replaced global operator new; the robot loop needs 0).
#include "AllocationCounter.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicSeparateJointsLinear.h"
#include "kinematics/RobotKinematicSlider.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <vector>

namespace {

using DataTypes::Matrix44;

constexpr std::size_t kSamples = 1024;

struct Row {
    float values[RobotKinematic::maxJoints];
};

std::vector<Row> MakeRows(float lo, float hi) {
    std::mt19937 rng(42u);
    std::uniform_real_distribution<float> value(lo, hi);
    std::vector<Row> rows(kSamples);
    for (Row& r : rows) {
        for (float& v : r.values) {
            v = value(rng);
        }
    }
    return rows;
}

void BM_SeparateJointsForward(benchmark::State& state) {
    RobotKinematicSeparateJointsLinear k;
    k.Init("axes", "SeparateJoints", "", 0);
    k.cycleTimeMS = 4.0;
    // Limits off: consecutive rows jump far, which the limit check would refuse.
    for (auto& pair : k.jointMinMax) {
        pair[0] = 0.0f;
        pair[1] = 0.0f;
    }
    const std::vector<Row> rows = MakeRows(-90.0f, 90.0f);
    std::size_t i = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k.SetJoints(rows[i].values, true);
        benchmark::DoNotOptimize(k.currentJoints);
        i = (i + 1) % rows.size();
    }
    AllocationCounter::Report(state, before);
}
BENCHMARK(BM_SeparateJointsForward);

void BM_SeparateJointsInverse(benchmark::State& state) {
    RobotKinematicSeparateJointsLinear k;
    k.Init("axes", "SeparateJoints", "", 0);
    Matrix44 target;
    target.SetTranslation(100.0f, 200.0f, 300.0f);
    float joints[RobotKinematic::maxJoints] = {};
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k.SetPosition(target, joints);
        benchmark::DoNotOptimize(k.currentJoints);
    }
    AllocationCounter::Report(state, before);
}
BENCHMARK(BM_SeparateJointsInverse);

void BM_SliderForward(benchmark::State& state) {
    RobotKinematicSlider k;
    k.Init("slider", "JXRSlider", "", 0);
    const std::vector<Row> rows = MakeRows(-1000.0f, 1000.0f);
    std::size_t i = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k.SetJoints(rows[i].values, true);
        benchmark::DoNotOptimize(k.currentJoints);
        i = (i + 1) % rows.size();
    }
    AllocationCounter::Report(state, before);
}
BENCHMARK(BM_SliderForward);

void BM_SliderPlatformTarget(benchmark::State& state) {
    RobotKinematicSlider k;
    k.Init("slider", "JXRSlider", "", 0);
    const std::vector<Row> rows = MakeRows(-1000.0f, 1000.0f);
    std::size_t i = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k.SetPosition(rows[i].values);
        benchmark::DoNotOptimize(k.currentJoints);
        i = (i + 1) % rows.size();
    }
    AllocationCounter::Report(state, before);
}
BENCHMARK(BM_SliderPlatformTarget);

}  // namespace

int main(int argc, char** argv) {
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
