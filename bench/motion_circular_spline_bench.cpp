// Per-cycle cost of the circular and blend elements (GetPosition runs in every robot cycle
// and must not touch the heap) and the one-off cost of a blend's arc-length table.
#include "AllocationCounter.h"
#include "core/BezierCasteljau.h"
#include "motion/CircleParameters.h"
#include "motion/PathElementCircular.h"
#include "motion/PathElementSpline.h"
#include "motion/PathElementSpline6.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace {

using DataTypes::RobotState;
using DataTypes::Vector3;

RobotState Pose(const Vector3& p, float a = 0, float b = 0, float c = 0) {
    RobotState s;
    s.A = a;
    s.B = b;
    s.C = c;
    s.UpdateMatrixFromABC();
    s.pose.SetTranslation(p);
    return s;
}

template <class Element>
void SetLimits(Element& el) {
    float vel[9], acc[9], jerk[9];
    for (int i = 0; i < 9; ++i) {
        vel[i] = 50.0f;
        acc[i] = 500.0f;
        jerk[i] = 1500.0f;
    }
    el.SetMotionParameter(vel, acc, jerk, 100, 1000, 3000, 90, 900, 2700);
}

// Calls GetPosition at 4 ms steps through the element's duration, over and over, and
// reports the heap allocations seen per call.
template <class Element>
void RunCycles(benchmark::State& state, Element& el) {
    RobotState out;
    const float duration = el.GetDuration();
    float t = 0.0f;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        benchmark::DoNotOptimize(el.GetPosition(t, out));
        benchmark::ClobberMemory();
        t += 4.0f;
        if (t > duration) {
            t = 0.0f;
        }
    }
    AllocationCounter::Report(state, before);
}

void BM_CircularGetPosition(benchmark::State& state) {
    auto circle = std::make_shared<CircleParameters>(Vector3(100, 0, 0), Vector3(70.710678f, 70.710678f, 0),
                                                     Vector3(0, 100, 0));
    Programs::PathElementCircular el(0, 1, circle);
    SetLimits(el);
    RobotState start = Pose({100, 0, 0});
    RobotState end = Pose({0, 100, 0}, 30, 10, 0);
    el.Init(end, 100, 0, 0, 1, 0, 0);
    el.PrepareGeometry(start, 10, 10, end);
    el.PrepareAcceleration();
    RunCycles(state, el);
}
BENCHMARK(BM_CircularGetPosition);

void BM_SplineGetPosition(benchmark::State& state) {
    Programs::PathElementSpline el(0, 1);
    el.InitSpline(Pose({0, 0, 0}), Pose({10, 0, 0}, 45, 0, 0), Pose({10, 10, 0}, 90, 20, 0), 100, 100, 100, 0, 0, 0);
    el.PrepareAcceleration();
    RunCycles(state, el);
}
BENCHMARK(BM_SplineGetPosition);

void BM_Spline6GetPosition(benchmark::State& state) {
    Programs::PathElementSpline6 el(0, 1);
    SetLimits(el);
    RobotState a, b, c;
    for (int i = 0; i < 9; ++i) {
        b.jointSet[i] = 10.0f + i;
        c.jointSet[i] = (i % 2 == 0) ? 25.0f : 5.0f;
    }
    el.InitSpline(a, b, c, 1, 1, 1, 0, 0, 0);
    el.PrepareAcceleration();
    RunCycles(state, el);
}
BENCHMARK(BM_Spline6GetPosition);

// Table build of a straight 20 mm blend; arguments are entry and exit speed in mm/s.
// 0 -> 0 is a blend between two stops, the slowest the planner can hand over: the
// rows then creep along by the parameter step.
void BM_SplineTableBuild(benchmark::State& state) {
    Programs::PathElementSpline el(0, 1);
    const float v0 = static_cast<float>(state.range(0)) / 100.0f;
    const float v1 = static_cast<float>(state.range(1)) / 100.0f;
    el.InitSpline(Pose({0, 0, 0}), Pose({10, 0, 0}), Pose({20, 0, 0}), 100, v0, v1, 0, 0, 0);
    for (auto _ : state) {
        el.PrepareAcceleration();
        benchmark::DoNotOptimize(el.table.data());
    }
    state.counters["rows"] = static_cast<double>(el.table.size());
    state.counters["duration_ms"] = el.duration;
}
// Speeds in hundredths of mm/s: 100 -> 100, 0 -> 100, 0.01 -> 0.01, 0 -> 0.
BENCHMARK(BM_SplineTableBuild)
    ->Args({10000, 10000})
    ->Args({0, 10000})
    ->Args({1, 1})
    ->Args({0, 0})
    ->Unit(benchmark::kMicrosecond);

// Table build of a 100 -> 100 mm/s blend at a corner cut 10 mm on both sides; the
// argument is the change of direction in degrees (179: the blend all but reverses).
void BM_SplineCornerTableBuild(benchmark::State& state) {
    const double turn = static_cast<double>(state.range(0)) * 3.14159265358979 / 180.0;
    const Vector3 out(static_cast<float>(std::cos(turn)), static_cast<float>(std::sin(turn)), 0.0f);
    Programs::PathElementSpline el(0, 1);
    el.InitSpline(Pose({0, 0, 0}), Pose({10, 0, 0}), Pose(Vector3(10, 0, 0) + out * 10.0f), 100, 100, 100, 0, 0, 0);
    for (auto _ : state) {
        el.PrepareAcceleration();
        benchmark::DoNotOptimize(el.table.data());
    }
    state.counters["rows"] = static_cast<double>(el.table.size());
    state.counters["duration_ms"] = el.duration;
}
BENCHMARK(BM_SplineCornerTableBuild)->ArgName("turn_deg")->Arg(90)->Arg(150)->Arg(179)->Unit(benchmark::kMicrosecond);

// One curve point by de Casteljau's construction: the blends' quadratic curves in 3 and
// 9 dimensions, and a cubic. The cost that decided the blend planning time before the
// tables moved to the curve's power form, and still paid for orientation every cycle.
void BM_BezierInterpolate(benchmark::State& state) {
    const int points = static_cast<int>(state.range(0));
    const int dimension = static_cast<int>(state.range(1));
    DataTypes::BezierCasteljau curve(dimension);
    float p[9];
    for (int i = 0; i < points; ++i) {
        for (int d = 0; d < dimension; ++d) p[d] = static_cast<float>(i * 10 + d);
        curve.AddStartPoint(p);
    }
    float out[9];
    float t = 0.0f;
    for (auto _ : state) {
        curve.Interpolate(t, out);
        benchmark::DoNotOptimize(out);
        t = t < 1.0f ? t + 0.0001f : 0.0f;
    }
}
BENCHMARK(BM_BezierInterpolate)->ArgNames({"points", "dim"})->Args({3, 3})->Args({3, 9})->Args({4, 3});

}  // namespace

BENCHMARK_MAIN();
