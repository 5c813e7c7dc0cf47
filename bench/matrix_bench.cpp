// Cost of the transform arithmetic that runs in every robot cycle, and proof that it never
// touches the heap: operator new is replaced by a counting one, and each benchmark reports
// the allocations it saw per iteration.
#include "AllocationCounter.h"
#include "core/Matrix44.h"
#include "core/Vector3.h"

#include <benchmark/benchmark.h>

namespace {

using DataTypes::Matrix44;
using DataTypes::Vector3;

Matrix44 SamplePose(float a, float b, float c, float x, float y, float z) {
    Matrix44 m;
    m.SetRotationABCDeg2(a, b, c);
    m.SetTranslation(x, y, z);
    return m;
}

// Runs body for every iteration and reports the heap allocations seen inside the loop.
template <typename Body>
void RunCounted(benchmark::State& state, Body body) {
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        body();
    }
    AllocationCounter::Report(state, before, "allocs per iteration");
}

void BM_Matrix44Product(benchmark::State& state) {
    Matrix44 a = SamplePose(30, 20, 10, 100, 200, 300);
    const Matrix44 b = SamplePose(-45, 15, 80, -50, 10, 5);
    RunCounted(state, [&] {
        benchmark::DoNotOptimize(a);
        Matrix44 p = a * b;
        benchmark::DoNotOptimize(p);
    });
}
BENCHMARK(BM_Matrix44Product);

void BM_Matrix44Inverse(benchmark::State& state) {
    Matrix44 a = SamplePose(30, 20, 10, 100, 200, 300);
    a.m[12] = 0.01f;  // a general matrix, so the full pivot search and swaps run
    RunCounted(state, [&] {
        benchmark::DoNotOptimize(a);
        Matrix44 inv = a.Inverse();
        benchmark::DoNotOptimize(inv);
    });
}
BENCHMARK(BM_Matrix44Inverse);

void BM_Matrix44PointTransform(benchmark::State& state) {
    Matrix44 a = SamplePose(30, 20, 10, 100, 200, 300);
    Vector3 v(1, 2, 3);
    RunCounted(state, [&] {
        benchmark::DoNotOptimize(v);
        Vector3 p = a * v;
        benchmark::DoNotOptimize(p);
    });
}
BENCHMARK(BM_Matrix44PointTransform);

// A typical chain of one kinematic step: compose frames, rotate, normalise, read angles.
void BM_CycleArithmeticMix(benchmark::State& state) {
    Matrix44 base = SamplePose(10, 0, 0, 0, 0, 400);
    const Matrix44 tool = SamplePose(0, 90, 0, 0, 0, 120);
    Vector3 target(500, -20, 300);
    RunCounted(state, [&] {
        benchmark::DoNotOptimize(target);
        Matrix44 flange = base * tool;
        flange.RotateAxisAngle(Vector3(0, 0, 1), 3.0f);
        flange.Normalize();
        Vector3 d = (flange * target - base.GetTranslation()) * 0.5f;
        d += Vector3::Cross(d, Vector3(0, 0, 1));
        d.Normalize();
        float a, b, c;
        flange.GetABCDeg(&a, &b, &c);
        benchmark::DoNotOptimize(d);
        benchmark::DoNotOptimize(a + b + c);
    });
}
BENCHMARK(BM_CycleArithmeticMix);

}  // namespace

BENCHMARK_MAIN();
