// Forward and inverse kinematics of the six-axis arm, per call, with the heap allocations
// each call makes (counted through a replaced global operator new).
#include "AllocationCounter.h"
#include "kinematics/RobotKinematicSixAxis.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {

using DataTypes::Matrix44;

constexpr int kSteps = 1024;

struct Sample {
    float joints[RobotKinematic::maxJoints];
    Matrix44 pose;
};

// The arm as Init leaves it with its default robot ini values, plus an active virtual box
// so that every check runs.
void Configure(RobotKinematicSixAxis& k) {
    float limits[RobotKinematic::maxJoints][2] = {{-120, 120}, {-180, 100}, {-180, 180}, {-180, 180},
                                                  {-180, 180}, {-180, 180}, {0, 0},      {0, 0},
                                                  {0, 0}};
    k.SetMinMaxValues(limits);
    k.elbowOffsetAngle = std::atan(k.lz3 / (k.lx3 + k.lx4));
    k.cycleTimeMS = 4.0;
    k.virtualBoxActive = true;
    k.virtualBoxMin = DataTypes::Vector3(-2000, -2000, -2000);
    k.virtualBoxMax = DataTypes::Vector3(2000, 2000, 2000);
}

// A closed joint-space path, one step per robot cycle: in front of the base (arm 0) or
// reaching over behind it (arm 1).
std::vector<Sample> MakePath(RobotKinematicSixAxis& k, int arm) {
    const float base[2][6] = {{10, 20, -10, 30, 50, 40}, {30, -60, -30, 10, -50, 20}};
    const float amplitude[2][6] = {{40, 15, 20, 60, 25, 90}, {40, 10, 10, 60, 20, 90}};
    std::vector<Sample> out(kSteps);
    for (int s = 0; s < kSteps; ++s) {
        const float t = 6.2831853f * static_cast<float>(s) / kSteps;
        for (int i = 0; i < 6; ++i) {
            out[s].joints[i] = base[arm][i] + amplitude[arm][i] * std::sin(t * static_cast<float>(i % 3 + 1) + i);
        }
        for (int i = 6; i < RobotKinematic::maxJoints; ++i) {
            out[s].joints[i] = 0.0f;
        }
        k.SetJoints(out[s].joints, false);
        out[s].pose = k.currentPosition;
    }
    k.SetJoints(out[0].joints, false);  // configuration and start joints of the path
    return out;
}

// Forward kinematics with joint limit and virtual box checks, as the robot loop runs it.
void BM_SixAxis_SetJoints(benchmark::State& state) {
    RobotKinematicSixAxis k;
    Configure(k);
    const std::vector<Sample> path = MakePath(k, static_cast<int>(state.range(0)));
    int i = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k.SetJoints(path[i].joints, true);
        benchmark::DoNotOptimize(k.currentPosition);
        i = (i + 1) % kSteps;
    }
    AllocationCounter::Report(state, before);
}
BENCHMARK(BM_SixAxis_SetJoints)->Arg(0)->Arg(1)->ArgName("behind");

// Inverse kinematics with the virtual box and joint checks, followed by the joint read-out
// the robot loop does after it.
void BM_SixAxis_SetPosition(benchmark::State& state) {
    RobotKinematicSixAxis k;
    Configure(k);
    const std::vector<Sample> path = MakePath(k, static_cast<int>(state.range(0)));
    float joints[RobotKinematic::maxJoints] = {};
    int i = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k.SetPosition(path[i].pose, joints);
        k.GetJoints(joints);
        benchmark::DoNotOptimize(joints);
        i = (i + 1) % kSteps;
    }
    AllocationCounter::Report(state, before);
    // The path must have been solved to the joints it was made of.
    float worst = 0.0f;
    for (int s = 0; s < kSteps; ++s) {
        k.SetPosition(path[s].pose, joints);
        k.GetJoints(joints);
        for (int j = 0; j < 6; ++j) {
            worst = std::fmax(worst, std::fabs(joints[j] - path[s].joints[j]));
        }
    }
    state.counters["worst_joint_error_deg"] = worst;
}
BENCHMARK(BM_SixAxis_SetPosition)->Arg(0)->Arg(1)->ArgName("behind");

}  // namespace

BENCHMARK_MAIN();
