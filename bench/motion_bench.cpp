// Per-cycle costs of the velocity profile and the path elements. The "allocs" counter
// counts heap allocations inside the timed loop and must stay 0.
#include "motion/PathBasicCurve.h"
#include "motion/PathElementJointSet.h"
#include "motion/PathElementLine.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> g_allocs{0};
}

void* operator new(std::size_t n) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
// These are the replaced pair of the operator new above, which GCC cannot see.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using DataTypes::RobotState;

void SetLimits(Programs::PathElement& e) {
    float vel[9], acc[9], jerk[9];
    for (int i = 0; i < 9; ++i) {
        vel[i] = 100;
        acc[i] = 500;
        jerk[i] = 1500;
    }
    e.SetMotionParameter(vel, acc, jerk, 100, 1000, 3000, 90, 900, 2700);
}

template <typename F>
void RunCycles(benchmark::State& state, float duration, F&& step) {
    float t = 0.0f;
    const long before = g_allocs.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(step(t));
        t += 4.0f;
        if (t > duration) {
            t = 0.0f;
        }
    }
    state.counters["allocs"] = static_cast<double>(g_allocs.load() - before);
}

void BM_PathBasicCurveGetValue(benchmark::State& state) {
    Programs::PathBasicCurve c;
    c.vel = 100;
    c.acc = 100;
    c.accInc = 300;
    c.length = 1000;
    c.PrepareAcceleration();
    RunCycles(state, c.GetDurationInMs(), [&](float t) { return c.GetValue(t); });
}
BENCHMARK(BM_PathBasicCurveGetValue);

void BM_PathElementLineGetPosition(benchmark::State& state) {
    Programs::PathElementLine line(0, 1);
    SetLimits(line);
    RobotState target;
    target.A = 60;
    target.B = -30;
    target.C = 100;
    target.UpdateMatrixFromABC();
    target.pose.SetTranslation(300, 200, 100);
    target.jointSet[6] = 50;
    line.Init(target, 100, 0, 0, 1, 0, 0);
    RobotState start;
    RobotState end;
    line.PrepareGeometry(start, 0, 0, end);
    line.PrepareAcceleration();
    RobotState out;
    RunCycles(state, line.GetDuration(), [&](float t) { return line.GetPosition(t, out); });
}
BENCHMARK(BM_PathElementLineGetPosition);

void BM_PathElementJointSetGetPosition(benchmark::State& state) {
    Programs::PathElementJointSet joint(0, 1);
    SetLimits(joint);
    RobotState target;
    for (int i = 0; i < 9; ++i) {
        target.jointSet[i] = 10.0f * (i + 1);
    }
    joint.Init(target, 0.5f, 0, 0, 1, 0, 0);
    RobotState start;
    RobotState end;
    joint.PrepareGeometry(start, 0, 0, end);
    joint.PrepareAcceleration();
    RobotState out;
    RunCycles(state, joint.GetDuration(), [&](float t) { return joint.GetPosition(t, out); });
}
BENCHMARK(BM_PathElementJointSetGetPosition);

}  // namespace

BENCHMARK_MAIN();
