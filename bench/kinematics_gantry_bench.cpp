// Cartesian gantry kinematics: nanoseconds per inverse (SetPosition) and forward
// (SetJoints) call with all checks, and the heap allocations each call makes (counted
// through a replaced global operator new; the robot loop needs 0).
#include "AllocationCounter.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicCartesian1Axis.h"
#include "kinematics/RobotKinematicCartesian2AxisLine.h"
#include "kinematics/RobotKinematicCartesian2AxisPlane.h"
#include "kinematics/RobotKinematicCartesian3Axis.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using DataTypes::Matrix44;
using DataTypes::Vector3;

constexpr int kPoses = 1024;

void SetTool(RobotKinematic& k) {
    k.tool.toolMatrix.SetRotationABCDeg2(20.0, 5.0, -10.0);
    k.tool.toolMatrix.SetTranslation(5.0f, -3.0f, 40.0f);
    k.tool.toolMatrixInverse = k.tool.toolMatrix.Inverse();
    k.cycleTimeMS = 4.0;
}

template <class K>
std::unique_ptr<RobotKinematic> TwoAxis(const Vector3& third) {
    auto k = std::make_unique<K>();
    k->dirA1 = Vector3(1.0f, 0.0f, 0.0f);
    k->dirA2 = third.z != 0.0f ? Vector3(0.0f, 1.0f, 0.0f) : Vector3(0.0f, 0.0f, 1.0f);
    k->axisMatrix = Matrix44(k->dirA1, k->dirA2, third, Vector3());
    k->axisMatrixInverse = k->axisMatrix.Inverse();
    SetTool(*k);
    return k;
}

template <class K>
std::unique_ptr<RobotKinematic> Gantry(bool fourthAxis) {
    auto k = std::make_unique<K>();
    k->dirA1 = Vector3(1.0f, 0.1f, 0.0f);
    k->FourthAxis = fourthAxis;
    k->nrOfJoints = fourthAxis ? 4 : 3;
    k->axisMatrix = Matrix44(k->dirA1, k->dirA2, k->dirA3, Vector3());
    k->axisMatrixInverse = k->axisMatrix.Inverse();
    SetTool(*k);
    return k;
}

struct Variant {
    const char* name;
    std::function<std::unique_ptr<RobotKinematic>()> make;
};

void Samples(RobotKinematic& k, std::vector<std::vector<float>>& joints, std::vector<Matrix44>& poses) {
    std::mt19937 rng(4242u);
    std::uniform_real_distribution<float> travel(0.0f, 290.0f);
    std::uniform_real_distribution<float> turn(-170.0f, 170.0f);
    for (int s = 0; s < kPoses; ++s) {
        std::vector<float> q(RobotKinematic::maxJoints, 0.0f);
        q[0] = travel(rng);
        q[1] = travel(rng);
        q[2] = travel(rng);
        q[3] = turn(rng);
        k.SetJoints(q.data(), false);
        joints.push_back(q);
        poses.push_back(k.currentPosition);
    }
}

void InverseKinematics(benchmark::State& state, const Variant& v) {
    auto k = v.make();
    std::vector<std::vector<float>> joints;
    std::vector<Matrix44> poses;
    Samples(*k, joints, poses);
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
    Samples(*k, joints, poses);
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
        {"Cartesian2AxisLine", [] { return TwoAxis<RobotKinematicCartesian2AxisLine>(Vector3(0, 1, 0)); }},
        {"Cartesian2AxisPlane", [] { return TwoAxis<RobotKinematicCartesian2AxisPlane>(Vector3(0, 0, 1)); }},
        {"Cartesian1Axis", [] { return Gantry<RobotKinematicCartesian1Axis>(false); }},
        {"Cartesian3Axis", [] { return Gantry<RobotKinematicCartesian3Axis>(false); }},
        {"Cartesian3Axis/FourthAxis", [] { return Gantry<RobotKinematicCartesian3Axis>(true); }},
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
