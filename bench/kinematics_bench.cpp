// Forward (SetJoints, with every check, as the robot loop runs it) and inverse
// (SetPosition) kinematics of every robot type: nanoseconds per call and the heap
// allocations each call makes (counted through a replaced global operator new; the robot
// loop needs 0). One table row per type: how it is set up in code (no robot ini), the
// joint sets and poses it is driven through, and what an inverse call takes besides the
// target. Benchmarks are named FK/<type> and IK/<type>.
#include "AllocationCounter.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematic3AxisPlane.h"
#include "kinematics/RobotKinematicCartesian1Axis.h"
#include "kinematics/RobotKinematicCartesian2AxisLine.h"
#include "kinematics/RobotKinematicCartesian2AxisPlane.h"
#include "kinematics/RobotKinematicCartesian3Axis.h"
#include "kinematics/RobotKinematicDelta.h"
#include "kinematics/RobotKinematicDelta2Linear.h"
#include "kinematics/RobotKinematicDeltaLinear.h"
#include "kinematics/RobotKinematicPivra4.h"
#include "kinematics/RobotKinematicPivra5.h"
#include "kinematics/RobotKinematicSCARALRRR.h"
#include "kinematics/RobotKinematicSCARARRLR.h"
#include "kinematics/RobotKinematicSCARARRR.h"
#include "kinematics/RobotKinematicSeparateJointsLinear.h"
#include "kinematics/RobotKinematicSixAxis.h"
#include "kinematics/RobotKinematicSlider.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using DataTypes::Matrix44;
using DataTypes::Vector3;

constexpr int kJoints = RobotKinematic::maxJoints;
constexpr std::size_t kSamples = 1024;

// A joint set and its pose, with the configuration the joint move left on arms whose
// inverse kinematics chooses among several solutions.
struct Sample {
    float joints[kJoints];
    Matrix44 pose;
    bool elbowPositive = true;
    bool wristInFront = true;
};

using Samples = std::vector<Sample>;
using MakeKinematic = std::function<std::unique_ptr<RobotKinematic>()>;
using MakeSamples = std::function<Samples(RobotKinematic&)>;

struct Row;
using Loop = void (*)(benchmark::State&, const Row&);

// One robot type (or one set-up of it).
struct Row {
    std::string name;
    MakeKinematic make;
    MakeSamples samples;
    Loop inverse;  // the timed inverse loop; nullptr: none
    bool forward = true;  // also time the forward kinematics
    // The inverse loop's kinematic and samples, where they are not the forward loop's.
    MakeKinematic inverseMake{};
    MakeSamples inverseSamples{};
    bool reportSolvedError = false;  // after the inverse loop: how far the solved joints are off
};

// The rows that differ from the plain pattern.
Row InverseOnly(Row row) {
    row.forward = false;
    return row;
}
Row InverseOn(Row row, MakeSamples samples, MakeKinematic make = {}) {
    row.inverseSamples = std::move(samples);
    row.inverseMake = std::move(make);
    return row;
}
Row ReportingSolvedError(Row row) {
    row.reportSolvedError = true;
    return row;
}

// Samples of joint sets and their poses as the kinematic's forward kinematics gives them.
Samples FromJoints(RobotKinematic& k, const std::vector<std::vector<float>>& joints) {
    Samples out(joints.size());
    for (std::size_t s = 0; s < joints.size(); ++s) {
        std::copy(joints[s].begin(), joints[s].end(), out[s].joints);
        k.SetJoints(out[s].joints, false);
        out[s].pose = k.currentPosition;
    }
    return out;
}

void ForwardLoop(benchmark::State& state, const Row& row) {
    auto k = row.make();
    const Samples samples = row.samples(*k);
    std::size_t i = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        k->SetJoints(samples[i].joints, true);
        benchmark::DoNotOptimize(k->currentPosition);
        if (++i == samples.size()) i = 0;
    }
    AllocationCounter::Report(state, before);
}

// The inverse calls: Step::Call(k, sample, ext) is one timed call, ext the external axes
// (all 0). A Step with kMayFail returns false for a refused target and is counted.
struct Plain {
    static constexpr bool kMayFail = false;
    static void Call(RobotKinematic& k, Sample& s, float* ext) { k.SetPosition(s.pose, ext); }
};

// The configuration the sample's joint move left.
template <class K>
struct InConfiguration {
    static constexpr bool kMayFail = false;
    static void Call(RobotKinematic& k, Sample& s, float* ext) {
        auto& arm = static_cast<K&>(k);
        arm.elbowPositive = s.elbowPositive;
        arm.wristInFront = s.wristInFront;
        k.SetPosition(s.pose, ext);
    }
};

// Also from the sample's joints: the solution is the equivalent nearest the current
// joints, as on a path.
struct NearSampleJoints {
    static constexpr bool kMayFail = false;
    static void Call(RobotKinematic& k, Sample& s, float* ext) {
        auto& arm = static_cast<RobotKinematicPivra4&>(k);
        arm.elbowPositive = s.elbowPositive;
        arm.wristInFront = s.wristInFront;
        std::copy(s.joints, s.joints + kJoints, k.currentJoints);
        k.SetPosition(s.pose, ext);
    }
};

// The configuration and motion state of the sample, as its joint move left them.
struct FreeMotion {
    static constexpr bool kMayFail = true;
    static bool Call(RobotKinematic& k, Sample& s, float*) {
        auto& arm = static_cast<RobotKinematicPivra5&>(k);
        arm.wristInFront = s.wristInFront;
        arm.elbowPositive = s.elbowPositive;
        arm.type2MotionState = RobotKinematicPivra5::Type2Free;
        try {
            k.SetPosition(s.pose, s.joints);
        } catch (...) {
            return false;
        }
        return true;
    }
};

// Followed by the joint read-out the robot loop does after it.
struct ReadBack {
    static constexpr bool kMayFail = false;
    static void Call(RobotKinematic& k, Sample& s, float* joints) {
        k.SetPosition(s.pose, joints);
        k.GetJoints(joints);
        benchmark::DoNotOptimize(joints);
    }
};

// The slider's platform target: the sample's values themselves.
struct PlatformTarget {
    static constexpr bool kMayFail = false;
    static void Call(RobotKinematic& k, Sample& s, float*) {
        static_cast<RobotKinematicSlider&>(k).SetPosition(s.joints);
    }
};

template <class Step>
void InverseLoop(benchmark::State& state, const Row& row) {
    auto k = row.inverseMake ? row.inverseMake() : row.make();
    Samples samples = row.inverseSamples ? row.inverseSamples(*k) : row.samples(*k);
    float ext[kJoints] = {};
    std::size_t i = 0;
    long long failures = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        if constexpr (Step::kMayFail) {
            failures += Step::Call(*k, samples[i], ext) ? 0 : 1;
        } else {
            Step::Call(*k, samples[i], ext);
        }
        benchmark::DoNotOptimize(k->currentJoints);
        if (++i == samples.size()) i = 0;
    }
    AllocationCounter::Report(state, before);
    if constexpr (Step::kMayFail) {
        state.counters["failed_calls"] = benchmark::Counter(static_cast<double>(failures));
    }
    if (row.reportSolvedError) {
        // The samples must have been solved to the joints they were made of.
        float worst = 0.0f;
        for (Sample& s : samples) {
            float joints[kJoints] = {};
            k->SetPosition(s.pose, joints);
            k->GetJoints(joints);
            for (int j = 0; j < k->nrOfJoints; ++j) {
                worst = std::fmax(worst, std::fabs(joints[j] - s.joints[j]));
            }
        }
        state.counters["worst_joint_error_deg"] = worst;
    }
}

// --- the arms with a wrist point -------------------------------------------------------

// count joint sets from draw, left out where the wrist point lies in a refused region,
// with their tool poses and the configuration the inverse kinematics needs for them.
template <class K, class Draw, class Refused>
Samples ArmSamples(K& k, std::size_t count, Draw draw, Refused refused) {
    std::mt19937 rng(42u);
    Samples out;
    while (out.size() < count) {
        Sample s{{0, 0, 0, 0, 0, 0, 0, 0, 0}, Matrix44(), true, true};
        draw(rng, s.joints);
        k.SetJoints(s.joints, false);
        if (refused(k.wristPoint)) {
            continue;
        }
        s.pose = k.currentPosition;
        s.elbowPositive = k.elbowPositive;
        s.wristInFront = k.wristInFront;
        out.push_back(s);
    }
    return out;
}

// Within the default soft limits, away from the base axis and from full and folded stretch.
Samples PlaneArmSamples(RobotKinematic& kin) {
    auto& k = static_cast<RobotKinematic3AxisPlane&>(kin);
    return ArmSamples(
        k, kSamples,
        [](std::mt19937& rng, float* q) {
            std::uniform_real_distribution<float> a1(-150.0f, 150.0f), a2(-40.0f, 60.0f), a3(-120.0f, 140.0f);
            q[0] = a1(rng);
            q[1] = a2(rng);
            q[2] = a3(rng);
        },
        [&k](const Vector3& w) {
            const float d = std::hypot(w.x, w.z - (k.lz0 + k.lz1));
            return std::fabs(w.x) < 2.0f * k.singularityCenter || d > k.lz2 + k.lz3 - k.singularityEllbow - 5.0f ||
                   d < std::fabs(k.lz3 - k.lz2) + 5.0f;
        });
}

Samples Pivra4Samples(RobotKinematic& kin) {
    auto& k = static_cast<RobotKinematicPivra4&>(kin);
    return ArmSamples(
        k, kSamples,
        [](std::mt19937& rng, float* q) {
            std::uniform_real_distribution<float> a1(-150.0f, 150.0f), a2(-40.0f, 60.0f), a3(-120.0f, 140.0f),
                a4(-150.0f, 150.0f);
            q[0] = a1(rng);
            q[1] = a2(rng);
            q[2] = a3(rng);
            q[3] = a4(rng);
        },
        [&k](const Vector3& w) {
            const float d = std::hypot(std::hypot(w.x, w.y), w.z - (k.lz0 + k.lz1));
            return std::hypot(w.x, w.y) < 2.0f * k.singularityCenter ||
                   d > k.lz2 + k.lz3 - k.singularityEllbow - 5.0f || d < std::fabs(k.lz3 - k.lz2) + 5.0f;
        });
}

// Reachable joint sets (user values), away from the refused regions.
Samples Pivra5Samples(RobotKinematicPivra5& k, std::size_t count) {
    return ArmSamples(
        k, count,
        [](std::mt19937& rng, float* q) {
            std::uniform_real_distribution<float> a1(-170.0f, 170.0f), a2(-60.0f, 80.0f), a3(-20.0f, 70.0f),
                a45(-170.0f, 170.0f);
            q[0] = a1(rng);
            q[1] = a2(rng);
            q[2] = a3(rng);
            q[3] = a45(rng);
            q[4] = a45(rng);
        },
        [&k](const Vector3& w) {
            const float dz = w.z - (k.lz0 + k.lz1);
            const float d = std::sqrt(w.x * w.x + w.y * w.y + dz * dz);
            return (std::fabs(w.x) < k.singularityCenter + 20.0f && std::fabs(w.y) < k.singularityCenter + 20.0f) ||
                   d > k.lz2 + k.lz3 - k.singularityEllbow - 20.0f;
        });
}

// Targets whose orientation the arm cannot reach as they are: each tilted a little out of
// the arm plane about the tool point. Only targets that solve in free motion are kept:
// the refusal path (exception, log line) is not the cycle's.
Samples Pivra5TiltedTargets(RobotKinematic& kin) {
    auto& k = static_cast<RobotKinematicPivra5&>(kin);
    Samples out;
    for (Sample s : Pivra5Samples(k, 4 * kSamples)) {
        const Vector3 tcp = s.pose.GetTranslation();
        s.pose.RotateAxisAngle(Vector3(0.0f, 0.6f, 0.8f), 7.0f);
        s.pose.SetTranslation(tcp);
        k.wristInFront = s.wristInFront;
        k.elbowPositive = s.elbowPositive;
        k.type2MotionState = RobotKinematicPivra5::Type2Free;
        try {
            k.SetPosition(s.pose, s.joints);
        } catch (...) {
            continue;
        }
        if (k.type2MotionState == RobotKinematicPivra5::Type2Free && out.size() < kSamples) {
            out.push_back(s);
        }
    }
    return out;
}

MakeKinematic Pivra5(int handling) {
    return [handling] {
        auto k = std::make_unique<RobotKinematicPivra5>();
        k->cycleTimeMS = 4.0;
        k->wristRedundancyHandling = handling;
        // A tool with a sideways offset, so that type 2 has to search.
        k->tool.toolMatrix.SetRotationABCDeg2(30.0, -10.0, 15.0);
        k->tool.toolMatrix.SetTranslation(40.0f, 25.0f, 120.0f);
        k->tool.toolMatrixInverse = k->tool.toolMatrix.Inverse();
        return k;
    };
}

// The six-axis arm as Init leaves it with its default robot ini values, plus an active
// virtual box so that every check runs.
std::unique_ptr<RobotKinematic> SixAxis() {
    auto k = std::make_unique<RobotKinematicSixAxis>();
    float limits[kJoints][2] = {{-120, 120}, {-180, 100}, {-180, 180}, {-180, 180}, {-180, 180},
                                {-180, 180}, {0, 0},      {0, 0},      {0, 0}};
    k->SetMinMaxValues(limits);
    k->elbowOffsetAngle = std::atan(k->lz3 / (k->lx3 + k->lx4));
    k->cycleTimeMS = 4.0;
    k->virtualBoxActive = true;
    k->virtualBoxMin = Vector3(-2000, -2000, -2000);
    k->virtualBoxMax = Vector3(2000, 2000, 2000);
    return k;
}

// A closed joint-space path, one step per robot cycle: in front of the base (arm 0) or
// reaching over behind it (arm 1).
MakeSamples SixAxisPath(int arm) {
    return [arm](RobotKinematic& k) {
        const float base[2][6] = {{10, 20, -10, 30, 50, 40}, {30, -60, -30, 10, -50, 20}};
        const float amplitude[2][6] = {{40, 15, 20, 60, 25, 90}, {40, 10, 10, 60, 20, 90}};
        Samples out(kSamples);
        for (std::size_t s = 0; s < kSamples; ++s) {
            const float t = 6.2831853f * static_cast<float>(s) / kSamples;
            for (int i = 0; i < 6; ++i) {
                out[s].joints[i] = base[arm][i] + amplitude[arm][i] * std::sin(t * static_cast<float>(i % 3 + 1) + i);
            }
            for (int i = 6; i < kJoints; ++i) {
                out[s].joints[i] = 0.0f;
            }
            k.SetJoints(out[s].joints, false);
            out[s].pose = k.currentPosition;
        }
        k.SetJoints(out[0].joints, false);  // configuration and start joints of the path
        return out;
    };
}

// --- SCARAs and gantries -----------------------------------------------------------------

// A SCARA set up in code: internal joint values equal user values, soft limits wide open,
// a tool with offset and turn.
template <class K>
MakeKinematic Scara(bool fourthAxis, int joints) {
    return [fourthAxis, joints] {
        auto k = std::make_unique<K>();
        k->nrOfJoints = joints;
        for (int i = 0; i < kJoints; ++i) {
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
        return std::unique_ptr<RobotKinematic>(std::move(k));
    };
}

// Joint sets inside the work space, elbow negative, and their poses.
MakeSamples ScaraSamples(bool hasLift) {
    return [hasLift](RobotKinematic& k) {
        std::mt19937 rng(4242u);
        std::uniform_real_distribution<float> lift(-50.0f, 200.0f);
        std::uniform_real_distribution<float> turn(-150.0f, 150.0f);
        std::uniform_real_distribution<float> elbow(-150.0f, -35.0f);
        std::vector<std::vector<float>> joints;
        for (std::size_t s = 0; s < kSamples; ++s) {
            std::vector<float> q(kJoints, 0.0f);
            int i = 0;
            if (hasLift) {
                q[i++] = lift(rng);
            }
            q[i++] = turn(rng);
            q[i++] = elbow(rng);
            q[i] = turn(rng);
            joints.push_back(q);
        }
        return FromJoints(k, joints);
    };
}

void SetGantryTool(RobotKinematic& k) {
    k.tool.toolMatrix.SetRotationABCDeg2(20.0, 5.0, -10.0);
    k.tool.toolMatrix.SetTranslation(5.0f, -3.0f, 40.0f);
    k.tool.toolMatrixInverse = k.tool.toolMatrix.Inverse();
    k.cycleTimeMS = 4.0;
}

template <class K>
MakeKinematic TwoAxisGantry(const Vector3& third) {
    return [third] {
        auto k = std::make_unique<K>();
        k->dirA1 = Vector3(1.0f, 0.0f, 0.0f);
        k->dirA2 = third.z != 0.0f ? Vector3(0.0f, 1.0f, 0.0f) : Vector3(0.0f, 0.0f, 1.0f);
        k->axisMatrix = Matrix44(k->dirA1, k->dirA2, third, Vector3());
        k->axisMatrixInverse = k->axisMatrix.Inverse();
        SetGantryTool(*k);
        return std::unique_ptr<RobotKinematic>(std::move(k));
    };
}

template <class K>
MakeKinematic Gantry(bool fourthAxis) {
    return [fourthAxis] {
        auto k = std::make_unique<K>();
        k->dirA1 = Vector3(1.0f, 0.1f, 0.0f);
        k->FourthAxis = fourthAxis;
        k->nrOfJoints = fourthAxis ? 4 : 3;
        k->axisMatrix = Matrix44(k->dirA1, k->dirA2, k->dirA3, Vector3());
        k->axisMatrixInverse = k->axisMatrix.Inverse();
        SetGantryTool(*k);
        return std::unique_ptr<RobotKinematic>(std::move(k));
    };
}

Samples GantrySamples(RobotKinematic& k) {
    std::mt19937 rng(4242u);
    std::uniform_real_distribution<float> travel(0.0f, 290.0f);
    std::uniform_real_distribution<float> turn(-170.0f, 170.0f);
    std::vector<std::vector<float>> joints;
    for (std::size_t s = 0; s < kSamples; ++s) {
        std::vector<float> q(kJoints, 0.0f);
        q[0] = travel(rng);
        q[1] = travel(rng);
        q[2] = travel(rng);
        q[3] = turn(rng);
        joints.push_back(q);
    }
    return FromJoints(k, joints);
}

// --- the delta family --------------------------------------------------------------------

void PrepareDelta(RobotKinematic& k) {
    k.tool.toolMatrix.SetRotationABCDeg2(0.0, 0.0, 25.0);
    k.tool.toolMatrix.SetTranslation(4.0f, -3.0f, 30.0f);
    k.tool.toolMatrixInverse = k.tool.toolMatrix.Inverse();
    k.cycleTimeMS = 4.0;
    k.virtualBoxActive = true;
    k.virtualBoxMin = Vector3(-5000, -5000, -5000);
    k.virtualBoxMax = Vector3(5000, 5000, 5000);
}

// Joint sets drawn from ranges and kept when the kinematic accepts them, with their poses.
MakeSamples Accepted(std::function<void(std::mt19937&, float*)> draw) {
    return [draw](RobotKinematic& k) {
        std::mt19937 rng(42u);
        Samples out;
        while (out.size() < kSamples) {
            Sample s{{0, 0, 0, 0, 0, 0, 0, 0, 0}, Matrix44()};
            draw(rng, s.joints);
            try {
                k.SetJoints(s.joints, false);
                float none[kJoints] = {};
                k.SetPosition(k.currentPosition, none);
            } catch (...) {
                continue;
            }
            s.pose = k.currentPosition;
            out.push_back(s);
        }
        return out;
    };
}

// --- separate joints and the slider ------------------------------------------------------

// Every value drawn from [lo, hi]; no pose.
MakeSamples Values(float lo, float hi) {
    return [lo, hi](RobotKinematic&) {
        std::mt19937 rng(42u);
        std::uniform_real_distribution<float> value(lo, hi);
        Samples rows(kSamples);
        for (Sample& r : rows) {
            for (float& v : r.joints) {
                v = value(rng);
            }
        }
        return rows;
    };
}

std::unique_ptr<RobotKinematic> SeparateJoints() {
    auto k = std::make_unique<RobotKinematicSeparateJointsLinear>();
    k->Init("axes", "SeparateJoints", "", 0);
    return k;
}

std::unique_ptr<RobotKinematic> SeparateJointsWithoutLimits() {
    auto k = SeparateJoints();
    k->cycleTimeMS = 4.0;
    for (auto& pair : k->jointMinMax) {
        pair[0] = 0.0f;
        pair[1] = 0.0f;
    }
    return k;
}

Samples FixedTarget(RobotKinematic&) {
    Samples out(kSamples);
    for (Sample& s : out) {
        s.pose.SetTranslation(100.0f, 200.0f, 300.0f);
    }
    return out;
}

std::vector<Row> Rows() {
    std::vector<Row> rows = {
        // The constructors already hold the Init defaults (no soft limits).
        {"3AxisPlane",
         [] {
             auto k = std::make_unique<RobotKinematic3AxisPlane>();
             k->cycleTimeMS = 4.0;
             return std::unique_ptr<RobotKinematic>(std::move(k));
         },
         PlaneArmSamples, &InverseLoop<InConfiguration<RobotKinematic3AxisPlane>>},
        {"Pivra4",
         [] {
             auto k = std::make_unique<RobotKinematicPivra4>();
             k->cycleTimeMS = 4.0;
             return std::unique_ptr<RobotKinematic>(std::move(k));
         },
         Pivra4Samples, &InverseLoop<NearSampleJoints>},
        // The inverse calls are timed on targets that need the free motion.
        InverseOn({"Pivra5", Pivra5(RobotKinematicPivra5::WristStandard),
                   [](RobotKinematic& k) { return Pivra5Samples(static_cast<RobotKinematicPivra5&>(k), kSamples); },
                   &InverseLoop<FreeMotion>},
                  Pivra5TiltedTargets),
        InverseOnly({"Pivra5/type2", Pivra5(RobotKinematicPivra5::WristType2), Pivra5TiltedTargets,
                     &InverseLoop<FreeMotion>}),
        ReportingSolvedError({"SixAxis", SixAxis, SixAxisPath(0), &InverseLoop<ReadBack>}),
        ReportingSolvedError({"SixAxis/behind", SixAxis, SixAxisPath(1), &InverseLoop<ReadBack>}),
        {"SCARA-LRRR", Scara<RobotKinematicSCARALRRR>(false, 3), ScaraSamples(true), &InverseLoop<Plain>},
        {"SCARA-LRRR/FourthAxis", Scara<RobotKinematicSCARALRRR>(true, 4), ScaraSamples(true), &InverseLoop<Plain>},
        {"SCARA-RRLR", Scara<RobotKinematicSCARARRLR>(false, 3), ScaraSamples(true), &InverseLoop<Plain>},
        {"SCARA-RRLR/FourthAxis", Scara<RobotKinematicSCARARRLR>(true, 4), ScaraSamples(true), &InverseLoop<Plain>},
        {"SCARA-RRR", Scara<RobotKinematicSCARARRR>(false, 3), ScaraSamples(false), &InverseLoop<Plain>},
        {"Cartesian2AxisLine", TwoAxisGantry<RobotKinematicCartesian2AxisLine>(Vector3(0, 1, 0)), GantrySamples,
         &InverseLoop<Plain>},
        {"Cartesian2AxisPlane", TwoAxisGantry<RobotKinematicCartesian2AxisPlane>(Vector3(0, 0, 1)), GantrySamples,
         &InverseLoop<Plain>},
        {"Cartesian1Axis", Gantry<RobotKinematicCartesian1Axis>(false), GantrySamples, &InverseLoop<Plain>},
        {"Cartesian3Axis", Gantry<RobotKinematicCartesian3Axis>(false), GantrySamples, &InverseLoop<Plain>},
        {"Cartesian3Axis/FourthAxis", Gantry<RobotKinematicCartesian3Axis>(true), GantrySamples,
         &InverseLoop<Plain>},
        // The rotary delta's forward kinematics is the worst case of all: every call lands
        // far from the pose before it.
        {"Delta",
         [] {
             auto k = std::make_unique<RobotKinematicDelta>();
             k->Init("delta", "Delta", "", 0);
             PrepareDelta(*k);
             return std::unique_ptr<RobotKinematic>(std::move(k));
         },
         Accepted([](std::mt19937& rng, float* q) {
             std::uniform_real_distribution<float> angle(-30.0f, 70.0f);
             for (int j = 0; j < 3; ++j) {
                 q[j] = angle(rng);
             }
         }),
         &InverseLoop<Plain>},
        {"DeltaLinear",
         [] {
             auto k = std::make_unique<RobotKinematicDeltaLinear>();
             PrepareDelta(*k);
             k->FourthAxis = true;
             k->nrOfJoints = 4;
             return std::unique_ptr<RobotKinematic>(std::move(k));
         },
         Accepted([](std::mt19937& rng, float* q) {
             std::uniform_real_distribution<float> travel(0.0f, 260.0f), turn(-170.0f, 170.0f);
             for (int j = 0; j < 3; ++j) {
                 q[j] = travel(rng);
             }
             q[3] = turn(rng);
         }),
         &InverseLoop<Plain>},
        {"Delta2Linear",
         [] {
             auto k = std::make_unique<RobotKinematicDelta2Linear>();
             PrepareDelta(*k);
             return std::unique_ptr<RobotKinematic>(std::move(k));
         },
         Accepted([](std::mt19937& rng, float* q) {
             std::uniform_real_distribution<float> travel(0.0f, 210.0f);
             q[0] = travel(rng);
             q[1] = travel(rng);
         }),
         &InverseLoop<Plain>},
        // Forward with limits off: consecutive rows jump far, which the limit check would
        // refuse. The inverse call: one fixed target, the limits as Init leaves them.
        InverseOn({"SeparateJointsLinear", SeparateJointsWithoutLimits, Values(-90.0f, 90.0f), &InverseLoop<Plain>},
                  FixedTarget, SeparateJoints),
        {"Slider",
         [] {
             auto k = std::make_unique<RobotKinematicSlider>();
             k->Init("slider", "JXRSlider", "", 0);
             return std::unique_ptr<RobotKinematic>(std::move(k));
         },
         Values(-1000.0f, 1000.0f), &InverseLoop<PlatformTarget>},
    };
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    static const std::vector<Row> rows = Rows();
    for (const Row& row : rows) {
        if (row.forward) {
            benchmark::RegisterBenchmark(("FK/" + row.name).c_str(),
                                         [&row](benchmark::State& s) { ForwardLoop(s, row); });
        }
        if (row.inverse != nullptr) {
            benchmark::RegisterBenchmark(("IK/" + row.name).c_str(),
                                         [&row](benchmark::State& s) { row.inverse(s, row); });
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
