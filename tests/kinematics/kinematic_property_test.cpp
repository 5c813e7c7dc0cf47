// Properties every robot type's kinematic must keep, checked on seeded random joint
// vectors: the inverse kinematics reproduces the forward pose, straight Cartesian paths
// move the joints smoothly, non-finite targets are refused, and an accepted inverse
// solution never leaves the joint limits.

#include "kinematics/RobotKinematic.h"

#include "core/LogSingleton.h"
#include "testsupport/KinematicChecks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

using TestSupport::Distance;

constexpr int kJoints = RobotKinematic::maxJoints;

// Base coordinates a type's tool point can travel along.
constexpr unsigned X = 1;
constexpr unsigned Y = 2;
constexpr unsigned Z = 4;

struct KinematicType {
    const char* name;       // test name
    const char* robotType;  // robot type string of the robot configuration
    const char* fixture;    // robot ini below the kinematics fixtures; nullptr: defaults only
    unsigned travel;        // X | Y | Z
    // The inverse kinematics returns one of several joint solutions of a pose (the rotary
    // delta: each arm elbow-out), so joints drawn on another branch may solve to the
    // chosen branch beyond the limits, which the limit check refuses.
    bool oneBranch;
};

void PrintTo(const KinematicType& type, std::ostream* os) { *os << type.name; }

// One row per robot type, with the fixtures the per-type tests use.
const KinematicType kTypes[] = {
    {"SixAxis", "StandardSixAxisPlus", "sixaxis/robot_default.xml", X | Y | Z, false},
    {"Cartesian1Axis", "Cartesian1Axis", "gantry/cartesian_default.xml", X | Y | Z, false},
    {"Cartesian2AxisLine", "Cartesian2AxisLine", "gantry/line.xml", X | Z, false},
    {"Cartesian2AxisPlane", "Cartesian2AxisPlane", "gantry/plane.xml", X | Y, false},
    {"Cartesian3Axis", "Cartesian3Axis", "gantry/cartesian_default.xml", X | Y | Z, false},
    {"ThreeAxisPlane", "JXR3AxisPlane", "3axisplane/robot.xml", X | Z, false},
    {"Pivra4", "JXRPivra4", "pivra4/robot.xml", X | Y | Z, false},
    {"Pivra5", "JXRPivra5", "pivra5/robot_pivra5.xml", X | Y | Z, false},
    {"Slider", "JXRSlider", nullptr, X | Y | Z, false},
    {"Delta", "Delta", nullptr, X | Y | Z, true},
    {"DeltaLinear", "DeltaLinear", "deltalinear/robot.xml", X | Y | Z, false},
    {"Delta2Linear", "Delta2Linear", "delta2linear/robot.xml", X | Z, false},
    {"ScaraLRRR", "SCARA-LRRR", "scara/lrrr.xml", X | Y | Z, false},
    {"ScaraRRLR", "SCARA-RRLR", "scara/rrlr.xml", X | Y | Z, false},
    {"ScaraRRR", "SCARA-RRR", "scara/rrr.xml", X | Y, false},
    {"SeparateJointsLinear", "SeparateJointsLinear", "separatejoints/three_joints.xml", X | Y | Z, false},
    {"SeparateJointsRotational", "SeparateJointsRotational", "separatejoints/three_joints.xml", X | Y | Z, false},
};

constexpr int kSamples = 20000;
// Sampling range (user values) of robot joints without limits.
constexpr float kUnlimitedRange = 180.0f;
// Joint vectors drawn before a type counts as not sampled at all.
constexpr int kMaxDraws = 40 * kSamples;
constexpr double kPoseTolerance = 1e-3;  // mm
constexpr double kStepLimit = 5.0;        // degrees (or mm for linear joints) per 0.1 mm step
constexpr float kPathStep = 0.1f;         // mm
constexpr int kPathSteps = 300;           // 30 mm paths
constexpr int kPaths = 100;

// Outcome of one kinematic call.
struct Outcome {
    bool ok = true;
    std::string error;  // "int <code>" or the exception text
};

template <typename Call>
Outcome Try(Call&& call) {
    Outcome o;
    try {
        call();
    } catch (int code) {
        o.ok = false;
        o.error = "int " + std::to_string(code);
    } catch (const std::exception& e) {
        o.ok = false;
        o.error = e.what();
    }
    return o;
}

// Refusals an inverse kinematics may give for a pose its own forward kinematics reached:
// the singular zones and reach margins of the variants, and on one-branch solvers the
// limits of the chosen branch. Anything else is a fault.
bool IsAllowedRefusal(const std::string& error, bool oneBranch) {
    static const char* const allowed[] = {"int 5", "int 12", "int 21", "int 22", "int 23", "int 28"};
    for (const char* a : allowed) {
        if (error == a) {
            return true;
        }
    }
    if (oneBranch && (error == "int 13" || error == "int 14")) {
        return true;
    }
    return error.find("not reachable") != std::string::npos;
}

std::string JointsText(const float* q, int n) {
    std::ostringstream os;
    os.precision(9);
    for (int i = 0; i < n; ++i) {
        os << (i ? ", " : "(") << q[i];
    }
    os << ")";
    return os.str();
}

class KinematicPropertyTest : public ::testing::TestWithParam<KinematicType> {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        kin_ = Make();
        ASSERT_NE(nullptr, kin_);
        n_ = kin_->nrOfJoints;
        float limits[kJoints][2];
        kin_->GetMinMaxValues(limits);
        for (int i = 0; i < n_; ++i) {
            const bool limited = std::fabs(limits[i][0]) > 0.001f || std::fabs(limits[i][1]) > 0.001f;
            limited_[i] = limited;
            // Just inside the limits, so a sample is never itself a limit violation.
            lo_[i] = limited ? limits[i][0] + 0.01f : -kUnlimitedRange;
            hi_[i] = limited ? limits[i][1] - 0.01f : kUnlimitedRange;
        }
    }

    std::unique_ptr<RobotKinematic> Make() const {
        const KinematicType& t = GetParam();
        std::unique_ptr<RobotKinematic> k = RobotKinematic::Create(t.robotType);
        if (k == nullptr) {
            return k;
        }
        const std::string path =
            t.fixture != nullptr ? std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/" + t.fixture : "";
        k->Init("robot", t.robotType, path, 0);
        k->cycleTimeMS = 4.0;
        return k;
    }

    // Random user joints inside the sampling ranges.
    void Draw(std::mt19937& rng, float* q) const {
        std::fill(q, q + kJoints, 0.0f);
        for (int i = 0; i < n_; ++i) {
            q[i] = std::uniform_real_distribution<float>(lo_[i], hi_[i])(rng);
        }
    }

    // Draws joints until their forward kinematics succeeds; the kinematic is left at those
    // joints. False after kMaxDraws draws in all.
    bool DrawReachable(std::mt19937& rng, float* q, int& draws) {
        while (draws < kMaxDraws) {
            ++draws;
            Draw(rng, q);
            if (!Try([&] { kin_->SetJoints(q, false); }).ok) {
                continue;  // joints whose linkage does not close
            }
            return true;
        }
        return false;
    }

    bool WithinLimits(const float* q) const {
        for (int i = 0; i < n_; ++i) {
            if (limited_[i] && (q[i] < lo_[i] - 0.02f || q[i] > hi_[i] + 0.02f)) {
                return false;
            }
        }
        return true;
    }

    std::unique_ptr<RobotKinematic> kin_;
    int n_ = 0;
    float lo_[kJoints] = {};
    float hi_[kJoints] = {};
    bool limited_[kJoints] = {};
};

// FK(IK(P)) = P for poses P the forward kinematics reaches from random joints.
TEST_P(KinematicPropertyTest, InverseOfAReachedPoseLeadsBackToIt) {
    std::mt19937 rng(20240611u);
    int draws = 0;
    int verified = 0;
    std::map<std::string, int> refusals;
    int failures = 0;
    double worst = 0.0;
    float q[kJoints];
    while (verified < kSamples && failures < 5) {
        ASSERT_TRUE(DrawReachable(rng, q, draws)) << "only " << verified << " of " << draws << " draws verified";
        const Matrix44 pose = kin_->currentPosition;
        const Outcome inverse = Try([&] { kin_->SetPosition(pose, q); });
        if (!inverse.ok) {
            if (!IsAllowedRefusal(inverse.error, GetParam().oneBranch)) {
                ADD_FAILURE() << "joints " << JointsText(q, n_) << ": inverse refused with " << inverse.error;
                ++failures;
            }
            ++refusals[inverse.error];
            continue;
        }
        float back[kJoints];
        kin_->GetJoints(back);
        auto forward = kin_->clone();
        const Outcome fk = Try([&] { forward->SetJoints(back, false); });
        if (!fk.ok) {
            ADD_FAILURE() << "joints " << JointsText(q, n_) << " -> " << JointsText(back, n_)
                          << ": forward of the solution failed with " << fk.error;
            ++failures;
            continue;
        }
        const double miss = Distance(forward->currentPosition, pose);
        worst = std::max(worst, miss);
        if (!(miss <= kPoseTolerance)) {
            ADD_FAILURE() << "joints " << JointsText(q, n_) << " -> " << JointsText(back, n_) << ": FK(IK(P)) misses P by "
                          << miss << " mm";
            ++failures;
        }
        ++verified;
    }
    // Refusals belong to singular zones and reach margins, a small part of joint space.
    // How much of the joint space the singular zones and reach margins take differs
    // widely between the fixtures, so the refusals are reported, not bounded.
    std::ostringstream counts;
    for (const auto& r : refusals) {
        counts << r.first << ": " << r.second << "; ";
    }
    RecordProperty("refusals", counts.str());
    RecordProperty("worst_mm", std::to_string(worst));
}

// Straight Cartesian paths in 0.1 mm steps from random reachable poses: no joint moves
// more than 5 degrees (or 5 mm) in one step. A path ends where the inverse kinematics
// refuses a singular zone, a reach margin or a limit.
TEST_P(KinematicPropertyTest, StraightPathsMoveTheJointsSmoothly) {
    const unsigned travel = GetParam().travel;
    std::mt19937 rng(777u);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    int draws = 0;
    int steps = 0;
    int failures = 0;
    float q[kJoints];
    for (int path = 0; path < kPaths && failures < 5;) {
        ASSERT_TRUE(DrawReachable(rng, q, draws));
        const Matrix44 start = kin_->currentPosition;
        // The path starts at the inverse kinematics' own solution of its first point.
        if (!Try([&] { kin_->SetPosition(start, q); }).ok) {
            continue;
        }
        ++path;
        kin_->GetJoints(q);
        Vector3 dir((travel & X) ? gauss(rng) : 0.0f, (travel & Y) ? gauss(rng) : 0.0f,
                    (travel & Z) ? gauss(rng) : 0.0f);
        dir = dir / dir.Magnitude();
        float previous[kJoints];
        std::copy(q, q + kJoints, previous);
        for (int s = 1; s <= kPathSteps; ++s) {
            Matrix44 target = start;
            target.SetTranslation(start.GetTranslation() + dir * (kPathStep * static_cast<float>(s)));
            float current[kJoints];
            kin_->GetJoints(current);
            if (!Try([&] { kin_->SetPosition(target, current); }).ok) {
                break;
            }
            float next[kJoints];
            kin_->GetJoints(next);
            ++steps;
            for (int i = 0; i < n_; ++i) {
                const double jump = std::fabs(static_cast<double>(next[i]) - previous[i]);
                if (jump > kStepLimit) {
                    ADD_FAILURE() << "path from joints " << JointsText(q, n_) << " along " << dir.ToString()
                                  << ", step " << s << ": joint " << i + 1 << " jumps " << jump << " ("
                                  << JointsText(previous, n_) << " -> " << JointsText(next, n_) << ")";
                    ++failures;
                }
            }
            std::copy(next, next + kJoints, previous);
        }
    }
    // Paths end early near the zones and margins; most of their length must still count.
    EXPECT_GT(steps, kPaths * kPathSteps / 4) << "paths end too early to show anything";
}

// NaN and infinities in any rotation or translation entry are refused, and the kinematic
// keeps its joints and pose: nothing non-finite reaches the drives or the stored state.
TEST_P(KinematicPropertyTest, NonFiniteTargetsAreRefused) {
    std::mt19937 rng(4242u);
    int draws = 0;
    float q[kJoints];
    ASSERT_TRUE(DrawReachable(rng, q, draws));
    const Matrix44 pose = kin_->currentPosition;
    float before[kJoints];
    kin_->GetJoints(before);
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    for (int entry = 0; entry < 12; ++entry) {
        for (float value : bad) {
            Matrix44 target = pose;
            target.m[entry] = value;
            float joints[kJoints];
            std::copy(before, before + kJoints, joints);
            const Outcome o = Try([&] { kin_->SetPosition(target, joints); });
            EXPECT_FALSE(o.ok) << "row " << entry / 4 << " column " << entry % 4 << " = " << value << " accepted";
            float after[kJoints];
            kin_->GetJoints(after);
            for (int i = 0; i < kJoints; ++i) {
                EXPECT_EQ(before[i], after[i]) << "joint " << i + 1 << ", entry " << entry << " = " << value;
            }
            EXPECT_TRUE(kin_->currentPosition.Equals(pose, 0.0f)) << "entry " << entry << " = " << value;
        }
    }
}

// From joints inside the limits, an inverse solution that comes back without an error is
// inside the limits too: targets scattered up to 150 mm around reachable poses.
TEST_P(KinematicPropertyTest, AcceptedInverseSolutionsStayInsideTheLimits) {
    std::mt19937 rng(31337u);
    std::uniform_real_distribution<float> scatter(-150.0f, 150.0f);
    const unsigned travel = GetParam().travel;
    int draws = 0;
    int failures = 0;
    float q[kJoints];
    for (int sample = 0; sample < kSamples && failures < 5; ++sample) {
        ASSERT_TRUE(DrawReachable(rng, q, draws));
        Matrix44 target = kin_->currentPosition;
        const Vector3 shift((travel & X) ? scatter(rng) : 0.0f, (travel & Y) ? scatter(rng) : 0.0f,
                            (travel & Z) ? scatter(rng) : 0.0f);
        target.SetTranslation(target.GetTranslation() + shift);
        if (!Try([&] { kin_->SetPosition(target, q); }).ok) {
            continue;
        }
        float solved[kJoints];
        kin_->GetJoints(solved);
        if (!WithinLimits(solved)) {
            ADD_FAILURE() << "from " << JointsText(q, n_) << " to " << target.GetTranslation().ToString()
                          << ": joints " << JointsText(solved, n_) << " with no error";
            ++failures;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllTypes, KinematicPropertyTest, ::testing::ValuesIn(kTypes),
                         [](const ::testing::TestParamInfo<KinematicType>& info) { return info.param.name; });

}  // namespace
