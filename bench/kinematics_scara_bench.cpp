// SCARA kinematics: nanoseconds per inverse (SetPosition) and forward (SetJoints) call with
// all checks, and the heap allocations each call makes (counted through a replaced global
// operator new; the robot loop needs 0).
#include "AllocationCounter.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicSCARALRRR.h"
#include "kinematics/RobotKinematicSCARARRLR.h"
#include "kinematics/RobotKinematicSCARARRR.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using DataTypes::Matrix44;

constexpr int kPoses = 1024;

// A kinematic set up in code (no robot ini): internal joint values equal user values,
// soft limits wide open, a tool with offset and turn.
template <class K>
std::unique_ptr<RobotKinematic> Configure(std::unique_ptr<K> k, bool fourthAxis, int joints) {
    k->nrOfJoints = joints;
    for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
        k->brandTrafoJointOffsets[i] = 0.0f;
        k->jointMinMax[i][0] = -179.0f;
        k->jointMinMax[i][1] = 179.0f;
    }
    k->jointMinMax[0][0] = -300.0f;  // lift
    k->jointMinMax[0][1] = 300.0f;
    k->cycleTimeMS = 4.0;
    k->tool.toolMatrix.SetRotationABCDeg2(20.0, 0.0, 0.0);
    k->tool.toolMatrix.SetTranslation(5.0f, -3.0f, 40.0f);
    k->tool.toolMatrixInverse = k->tool.toolMatrix.Inverse();
    if constexpr (!std::is_same<K, RobotKinematicSCARARRR>::value) {
        k->FourthAxis = fourthAxis;
    }
    return k;
}

struct Variant {
    const char* name;
    std::function<std::unique_ptr<RobotKinematic>()> make;
    bool hasLift;
};

// Joint sets inside the work space, elbow negative, and their poses.
void Samples(RobotKinematic& k, bool hasLift, std::vector<std::vector<float>>& joints, std::vector<Matrix44>& poses) {
    std::mt19937 rng(4242u);
    std::uniform_real_distribution<float> lift(-50.0f, 200.0f);
    std::uniform_real_distribution<float> turn(-150.0f, 150.0f);
    std::uniform_real_distribution<float> elbow(-150.0f, -35.0f);
    for (int s = 0; s < kPoses; ++s) {
        std::vector<float> q(RobotKinematic::maxJoints, 0.0f);
        int i = 0;
        if (hasLift) {
            q[i++] = lift(rng);
        }
        q[i++] = turn(rng);
        q[i++] = elbow(rng);
        q[i] = turn(rng);
        k.SetJoints(q.data(), false);
        joints.push_back(q);
        poses.push_back(k.currentPosition);
    }
}

void InverseKinematics(benchmark::State& state, const Variant& v) {
    auto k = v.make();
    std::vector<std::vector<float>> joints;
    std::vector<Matrix44> poses;
    Samples(*k, v.hasLift, joints, poses);
    float ext[RobotKinematic::maxJoints] = {};
    int i = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k->SetPosition(poses[i], ext);
        benchmark::DoNotOptimize(k->currentJoints);
        i = (i + 1) % kPoses;
    }
    AllocationCounter::Report(state, before);
}

void ForwardKinematics(benchmark::State& state, const Variant& v) {
    auto k = v.make();
    std::vector<std::vector<float>> joints;
    std::vector<Matrix44> poses;
    Samples(*k, v.hasLift, joints, poses);
    int i = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k->SetJoints(joints[i].data(), true);
        benchmark::DoNotOptimize(k->currentPosition);
        i = (i + 1) % kPoses;
    }
    AllocationCounter::Report(state, before);
}

const std::vector<Variant>& Variants() {
    static const std::vector<Variant> variants = {
        {"SCARA-LRRR", [] { return Configure(std::make_unique<RobotKinematicSCARALRRR>(), false, 3); }, true},
        {"SCARA-LRRR/FourthAxis", [] { return Configure(std::make_unique<RobotKinematicSCARALRRR>(), true, 4); },
         true},
        {"SCARA-RRLR", [] { return Configure(std::make_unique<RobotKinematicSCARARRLR>(), false, 3); }, true},
        {"SCARA-RRLR/FourthAxis", [] { return Configure(std::make_unique<RobotKinematicSCARARRLR>(), true, 4); },
         true},
        {"SCARA-RRR", [] { return Configure(std::make_unique<RobotKinematicSCARARRR>(), false, 3); }, false},
    };
    return variants;
}

}  // namespace

int main(int argc, char** argv) {
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    for (const Variant& v : Variants()) {
        benchmark::RegisterBenchmark((std::string("IK/") + v.name).c_str(),
                                     [&v](benchmark::State& s) { InverseKinematics(s, v); });
        benchmark::RegisterBenchmark((std::string("FK/") + v.name).c_str(),
                                     [&v](benchmark::State& s) { ForwardKinematics(s, v); });
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
