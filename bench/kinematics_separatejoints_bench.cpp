// Separate-joints and slider kinematics: nanoseconds per joint (SetJoints, with checks)
// and target (SetPosition) call, and the heap allocations each call makes (counted
// through a replaced global operator new; the robot loop needs 0).
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicSeparateJointsLinear.h"
#include "kinematics/RobotKinematicSlider.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
// The matching deletes; memory from the replaced new comes from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

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

void Report(benchmark::State& state, long allocations) {
    state.counters["allocs_per_call"] =
        benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(state.iterations()));
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
    const long before = g_allocations.load();
    for (auto _ : state) {
        k.SetJoints(rows[i].values, true);
        benchmark::DoNotOptimize(k.currentJoints);
        i = (i + 1) % rows.size();
    }
    Report(state, g_allocations.load() - before);
}
BENCHMARK(BM_SeparateJointsForward);

void BM_SeparateJointsInverse(benchmark::State& state) {
    RobotKinematicSeparateJointsLinear k;
    k.Init("axes", "SeparateJoints", "", 0);
    Matrix44 target;
    target.SetTranslation(100.0f, 200.0f, 300.0f);
    float joints[RobotKinematic::maxJoints] = {};
    const long before = g_allocations.load();
    for (auto _ : state) {
        k.SetPosition(target, joints);
        benchmark::DoNotOptimize(k.currentJoints);
    }
    Report(state, g_allocations.load() - before);
}
BENCHMARK(BM_SeparateJointsInverse);

void BM_SliderForward(benchmark::State& state) {
    RobotKinematicSlider k;
    k.Init("slider", "JXRSlider", "", 0);
    const std::vector<Row> rows = MakeRows(-1000.0f, 1000.0f);
    std::size_t i = 0;
    const long before = g_allocations.load();
    for (auto _ : state) {
        k.SetJoints(rows[i].values, true);
        benchmark::DoNotOptimize(k.currentJoints);
        i = (i + 1) % rows.size();
    }
    Report(state, g_allocations.load() - before);
}
BENCHMARK(BM_SliderForward);

void BM_SliderPlatformTarget(benchmark::State& state) {
    RobotKinematicSlider k;
    k.Init("slider", "JXRSlider", "", 0);
    const std::vector<Row> rows = MakeRows(-1000.0f, 1000.0f);
    std::size_t i = 0;
    const long before = g_allocations.load();
    for (auto _ : state) {
        k.SetPosition(rows[i].values);
        benchmark::DoNotOptimize(k.currentJoints);
        i = (i + 1) % rows.size();
    }
    Report(state, g_allocations.load() - before);
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
