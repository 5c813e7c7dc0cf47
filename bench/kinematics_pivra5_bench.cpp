// Forward and inverse kinematics of the five-axis arm, per call, with the heap
// allocations each call makes (counted through a replaced global operator new).
#include "AllocationCounter.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicPivra5.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <random>
#include <vector>

namespace {

using DataTypes::Matrix44;

struct Sample {
    float joints[RobotKinematic::maxJoints];
    Matrix44 pose;
    bool wristInFront;
    bool elbowPositive;
};

// Reachable joint sets (user values) and their tool poses, away from the refused regions.
std::vector<Sample> MakeSamples(RobotKinematicPivra5& k, std::size_t count) {
    std::mt19937 rng(42u);
    std::uniform_real_distribution<float> a1(-170.0f, 170.0f), a2(-60.0f, 80.0f), a3(-20.0f, 70.0f),
        a45(-170.0f, 170.0f);
    std::vector<Sample> out;
    while (out.size() < count) {
        Sample s{{a1(rng), a2(rng), a3(rng), a45(rng), a45(rng), 0.0f, 0.0f, 0.0f, 0.0f}, Matrix44(), true, true};
        k.SetJoints(s.joints, false);
        const DataTypes::Vector3 w = k.wristPoint;
        const float dz = w.z - (k.lz0 + k.lz1);
        const float d = std::sqrt(w.x * w.x + w.y * w.y + dz * dz);
        if ((std::fabs(w.x) < k.singularityCenter + 20.0f && std::fabs(w.y) < k.singularityCenter + 20.0f) ||
            d > k.lz2 + k.lz3 - k.singularityEllbow - 20.0f) {
            continue;
        }
        s.pose = k.currentPosition;
        s.wristInFront = k.wristInFront;
        s.elbowPositive = k.elbowPositive;
        out.push_back(s);
    }
    return out;
}

void SetUpArm(RobotKinematicPivra5& k, int handling) {
    k.cycleTimeMS = 4.0;
    k.wristRedundancyHandling = handling;
    // A tool with a sideways offset, so that type 2 has to search.
    k.tool.toolMatrix.SetRotationABCDeg2(30.0, -10.0, 15.0);
    k.tool.toolMatrix.SetTranslation(40.0f, 25.0f, 120.0f);
    k.tool.toolMatrixInverse = k.tool.toolMatrix.Inverse();
}

void BM_Pivra5ForwardKinematics(benchmark::State& state) {
    RobotKinematicPivra5 k;
    SetUpArm(k, RobotKinematicPivra5::WristStandard);
    const std::vector<Sample> samples = MakeSamples(k, 1024);
    std::size_t i = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k.SetJoints(samples[i].joints, true);
        benchmark::DoNotOptimize(k.currentPosition);
        i = (i + 1) & 1023;
    }
    AllocationCounter::Report(state, before);
}
BENCHMARK(BM_Pivra5ForwardKinematics);

// Inverse kinematics on targets whose orientation the arm cannot reach as they are. Only
// targets that solve are timed: the refusal path (exception, log line) is not the cycle's.
void BM_Pivra5InverseKinematics(benchmark::State& state) {
    const int handling = static_cast<int>(state.range(0));
    RobotKinematicPivra5 k;
    SetUpArm(k, handling);
    std::vector<Sample> samples;
    for (Sample s : MakeSamples(k, 4096)) {
        // Tilt the target a little out of the arm plane about the tool point.
        const DataTypes::Vector3 tcp = s.pose.GetTranslation();
        s.pose.RotateAxisAngle(DataTypes::Vector3(0.0f, 0.6f, 0.8f), 7.0f);
        s.pose.SetTranslation(tcp);
        k.wristInFront = s.wristInFront;
        k.elbowPositive = s.elbowPositive;
        k.type2MotionState = RobotKinematicPivra5::Type2Free;
        try {
            k.SetPosition(s.pose, s.joints);
        } catch (...) {
            continue;
        }
        if (k.type2MotionState == RobotKinematicPivra5::Type2Free && samples.size() < 1024) {
            samples.push_back(s);
        }
    }
    std::size_t i = 0;
    long long failures = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        Sample& s = samples[i];
        // The configuration and motion state of the sample, as its joint move left them.
        k.wristInFront = s.wristInFront;
        k.elbowPositive = s.elbowPositive;
        k.type2MotionState = RobotKinematicPivra5::Type2Free;
        try {
            k.SetPosition(s.pose, s.joints);
        } catch (...) {
            ++failures;
        }
        benchmark::DoNotOptimize(k.currentJoints);
        i = (i + 1) % samples.size();
    }
    AllocationCounter::Report(state, before);
    state.counters["failed_calls"] = benchmark::Counter(static_cast<double>(failures));
}
BENCHMARK(BM_Pivra5InverseKinematics)
    ->Arg(RobotKinematicPivra5::WristStandard)
    ->Arg(RobotKinematicPivra5::WristType2)
    ->ArgName("type2");

}  // namespace

int main(int argc, char** argv) {
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
