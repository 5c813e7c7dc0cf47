// Forward and inverse kinematics of the four-axis arm, per call, with the heap
// allocations each call makes (counted through a replaced global operator new).
#include "AllocationCounter.h"
#include "kinematics/RobotKinematicPivra4.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

using DataTypes::Matrix44;

struct Sample {
    float joints[RobotKinematic::maxJoints];
    Matrix44 pose;
    bool elbowPositive;
    bool wristInFront;
};

// Joint sets within the default soft limits, away from the refused regions, with their
// tool poses and the configuration the inverse kinematics needs for them.
std::vector<Sample> MakeSamples(RobotKinematicPivra4& k, std::size_t count) {
    std::mt19937 rng(42u);
    std::uniform_real_distribution<float> a1(-150.0f, 150.0f), a2(-40.0f, 60.0f), a3(-120.0f, 140.0f),
        a4(-150.0f, 150.0f);
    std::vector<Sample> out;
    while (out.size() < count) {
        Sample s{{a1(rng), a2(rng), a3(rng), a4(rng), 0, 0, 0, 0, 0}, Matrix44(), true, true};
        k.SetJoints(s.joints, false);
        const DataTypes::Vector3 w = k.wristPoint;
        const float d = std::hypot(std::hypot(w.x, w.y), w.z - (k.lz0 + k.lz1));
        if (std::hypot(w.x, w.y) < 2.0f * k.singularityCenter || d > k.lz2 + k.lz3 - k.singularityEllbow - 5.0f ||
            d < std::fabs(k.lz3 - k.lz2) + 5.0f) {
            continue;
        }
        s.pose = k.currentPosition;
        s.elbowPositive = k.elbowPositive;
        s.wristInFront = k.wristInFront;
        out.push_back(s);
    }
    return out;
}

constexpr std::size_t kSamples = 1024;

// Forward kinematics with joint limit and virtual box checks, as the robot loop runs it.
void BM_Pivra4_SetJoints(benchmark::State& state) {
    RobotKinematicPivra4 k;  // the constructor already holds the Init defaults
    k.cycleTimeMS = 4.0;
    const std::vector<Sample> samples = MakeSamples(k, kSamples);
    std::size_t i = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k.SetJoints(samples[i].joints, true);
        benchmark::DoNotOptimize(k.currentPosition);
        i = (i + 1) % samples.size();
    }
    AllocationCounter::Report(state, before);
}
BENCHMARK(BM_Pivra4_SetJoints);

// Inverse kinematics: orientation projection, closed-form solution, joint checks.
void BM_Pivra4_SetPosition(benchmark::State& state) {
    RobotKinematicPivra4 k;
    k.cycleTimeMS = 4.0;
    const std::vector<Sample> samples = MakeSamples(k, kSamples);
    float ext[RobotKinematic::maxJoints] = {};
    std::size_t i = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k.elbowPositive = samples[i].elbowPositive;
        k.wristInFront = samples[i].wristInFront;
        // The solution is the equivalent nearest the current joints, as on a path.
        std::copy(samples[i].joints, samples[i].joints + RobotKinematic::maxJoints, k.currentJoints);
        k.SetPosition(samples[i].pose, ext);
        benchmark::DoNotOptimize(k.currentJoints);
        i = (i + 1) % samples.size();
    }
    AllocationCounter::Report(state, before);
}
BENCHMARK(BM_Pivra4_SetPosition);

}  // namespace

BENCHMARK_MAIN();
