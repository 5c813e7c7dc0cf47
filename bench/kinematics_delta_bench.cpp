// Delta kinematics (rotary, linear and two-rail): nanoseconds per forward (SetJoints) and
// inverse (SetPosition) call with all checks, and the heap allocations each call makes
// (counted through a replaced global operator new; the robot loop needs 0). The rotary
// forward case is the worst one: every call lands far from the pose before it.
#include "AllocationCounter.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicDelta.h"
#include "kinematics/RobotKinematicDelta2Linear.h"
#include "kinematics/RobotKinematicDeltaLinear.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <vector>

namespace {

using DataTypes::Matrix44;
using DataTypes::Vector3;

constexpr std::size_t kSamples = 1024;

struct Sample {
    float joints[RobotKinematic::maxJoints];
    Matrix44 pose;
};

void Prepare(RobotKinematic& k) {
    k.tool.toolMatrix.SetRotationABCDeg2(0.0, 0.0, 25.0);
    k.tool.toolMatrix.SetTranslation(4.0f, -3.0f, 30.0f);
    k.tool.toolMatrixInverse = k.tool.toolMatrix.Inverse();
    k.cycleTimeMS = 4.0;
    k.virtualBoxActive = true;
    k.virtualBoxMin = Vector3(-5000, -5000, -5000);
    k.virtualBoxMax = Vector3(5000, 5000, 5000);
}

// Joint sets drawn from ranges and kept when the kinematic accepts them, with their poses.
template <typename Draw>
std::vector<Sample> MakeSamples(RobotKinematic& k, Draw draw) {
    std::mt19937 rng(42u);
    std::vector<Sample> out;
    while (out.size() < kSamples) {
        Sample s{{0, 0, 0, 0, 0, 0, 0, 0, 0}, Matrix44()};
        draw(rng, s.joints);
        try {
            k.SetJoints(s.joints, false);
            float none[RobotKinematic::maxJoints] = {};
            k.SetPosition(k.currentPosition, none);
        } catch (...) {
            continue;
        }
        s.pose = k.currentPosition;
        out.push_back(s);
    }
    return out;
}

void Forward(benchmark::State& state, RobotKinematic& k, const std::vector<Sample>& samples) {
    std::size_t i = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k.SetJoints(samples[i].joints, true);
        benchmark::DoNotOptimize(k.currentPosition);
        i = (i + 1) % samples.size();
    }
    AllocationCounter::Report(state, before);
}

void Inverse(benchmark::State& state, RobotKinematic& k, const std::vector<Sample>& samples) {
    std::size_t i = 0;
    float joints[RobotKinematic::maxJoints] = {};
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k.SetPosition(samples[i].pose, joints);
        benchmark::DoNotOptimize(k.currentJoints);
        i = (i + 1) % samples.size();
    }
    AllocationCounter::Report(state, before);
}

struct Rotary {
    RobotKinematicDelta k;
    std::vector<Sample> samples;
    Rotary() {
        k.Init("delta", "Delta", "", 0);
        Prepare(k);
        samples = MakeSamples(k, [](std::mt19937& rng, float* q) {
            std::uniform_real_distribution<float> angle(-30.0f, 70.0f);
            for (int j = 0; j < 3; ++j) {
                q[j] = angle(rng);
            }
        });
    }
};

struct Linear {
    RobotKinematicDeltaLinear k;
    std::vector<Sample> samples;
    Linear() {
        Prepare(k);
        k.FourthAxis = true;
        k.nrOfJoints = 4;
        samples = MakeSamples(k, [](std::mt19937& rng, float* q) {
            std::uniform_real_distribution<float> travel(0.0f, 260.0f), turn(-170.0f, 170.0f);
            for (int j = 0; j < 3; ++j) {
                q[j] = travel(rng);
            }
            q[3] = turn(rng);
        });
    }
};

struct Planar {
    RobotKinematicDelta2Linear k;
    std::vector<Sample> samples;
    Planar() {
        Prepare(k);
        samples = MakeSamples(k, [](std::mt19937& rng, float* q) {
            std::uniform_real_distribution<float> travel(0.0f, 210.0f);
            q[0] = travel(rng);
            q[1] = travel(rng);
        });
    }
};

void BM_DeltaForwardWorstCase(benchmark::State& state) {
    static Rotary r;
    Forward(state, r.k, r.samples);
}
BENCHMARK(BM_DeltaForwardWorstCase);

void BM_DeltaInverse(benchmark::State& state) {
    static Rotary r;
    Inverse(state, r.k, r.samples);
}
BENCHMARK(BM_DeltaInverse);

void BM_DeltaLinearForward(benchmark::State& state) {
    static Linear l;
    Forward(state, l.k, l.samples);
}
BENCHMARK(BM_DeltaLinearForward);

void BM_DeltaLinearInverse(benchmark::State& state) {
    static Linear l;
    Inverse(state, l.k, l.samples);
}
BENCHMARK(BM_DeltaLinearInverse);

void BM_Delta2LinearForward(benchmark::State& state) {
    static Planar p;
    Forward(state, p.k, p.samples);
}
BENCHMARK(BM_Delta2LinearForward);

void BM_Delta2LinearInverse(benchmark::State& state) {
    static Planar p;
    Inverse(state, p.k, p.samples);
}
BENCHMARK(BM_Delta2LinearInverse);

}  // namespace

int main(int argc, char** argv) {
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
