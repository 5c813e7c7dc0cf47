#include "kinematics/RobotKinematicDelta.h"

#include "core/LogSingleton.h"
#include "testsupport/KinematicChecks.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <ostream>
#include <cmath>
#include <string>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

using namespace TestSupport;

constexpr double kPi = 3.14159265358979323846;

Matrix44 At(float x, float y, float z) {
    Matrix44 m;
    m.SetTranslation(x, y, z);
    return m;
}

// A dependent linear axis along -x that lifts the robot by 40 mm.
void AddLinearAxis(RobotKinematic& k) { k.AddExternalAxis(DependentAxis(90, 40.0)); }

// Rod lengths of the platform point p (flange, base frame) and the arm angles q, worked
// out in double from the geometry of the arms.
std::array<double, 3> RodLengths(const RobotKinematicDelta& k, const Vector3& p, const float* q) {
    std::array<double, 3> rods{};
    for (int i = 0; i < 3; ++i) {
        const double turn = -120.0 * i * kPi / 180.0;
        const double angle = q[i] * kPi / 180.0;
        // Elbow and platform joint in the arm frame, then turned back into the base frame.
        const double ex = k.shoulderRadius + k.upperArmLength * std::cos(angle);
        const double ez = k.shoulderZ + k.upperArmLength * std::sin(angle);
        const double elbow[3] = {std::cos(turn) * ex, std::sin(turn) * ex, ez};
        const double jx = k.platformRadius;
        const double joint[3] = {p.x + std::cos(turn) * jx, p.y + std::sin(turn) * jx, p.z - k.platformJointZ};
        const double dx = joint[0] - elbow[0];
        const double dy = joint[1] - elbow[1];
        const double dz = joint[2] - elbow[2];
        rods[i] = std::sqrt(dx * dx + dy * dy + dz * dz);
    }
    return rods;
}

class DeltaTest : public ::testing::Test {
protected:
    void SetUp() override { kin_.Init("delta", "Delta", "", 0); }

    RobotKinematicDelta kin_;
};

TEST_F(DeltaTest, InitGivesTheFixedGeometryStartPoseAndLimits) {
    TestSupport::LogCapture log;
    RobotKinematicDelta k;
    k.Init("delta", "Delta", "/nonexistent/robot.xml", 2);

    EXPECT_TRUE(log.Contains("RKDelta: Init"));
    EXPECT_EQ(3, k.nrOfJoints);
    EXPECT_TRUE(k.kinematicTypeName.empty());
    EXPECT_TRUE(k.currentPosition.Equals(At(0, 0, 300), 0.0f));
    EXPECT_EQ((Joints{}), UserJointsOf(k));
    float limits[9][2];
    k.GetMinMaxValues(limits);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(-90.0f, limits[i][0]) << "joint " << i;
        EXPECT_EQ(120.0f, limits[i][1]) << "joint " << i;
    }
    EXPECT_EQ(100.0f, k.jointMaxVelocity[8]);
    EXPECT_EQ(2000.0, k.AccLinInc);
    const float geometry[] = {k.shoulderZ,      k.shoulderRadius, k.upperArmLength,  k.lowerArmLength,
                              k.platformRadius, k.platformJointZ, k.maxLinkageAngle, k.reachMargin};
    const float expected[] = {20, 50, 140, 180, 30, 10, 30, 20};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(expected[i], geometry[i]) << "geometry field " << i;
    }
}

TEST_F(DeltaTest, StartPoseGivesAbout57DegreesOnEveryArm) {
    Joints joints{};
    kin_.SetPosition(At(0, 0, 300), joints.data());
    const Joints q = UserJointsOf(kin_);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(57.18f, q[i], 0.01f) << "joint " << i;
    }
}

// Options the round trips run with.
struct DeltaOption {
    const char* name;
    bool tool;
    bool linearAxis;
};

void PrintTo(const DeltaOption& option, std::ostream* os) { *os << option.name; }

class DeltaRoundTripTest : public ::testing::TestWithParam<DeltaOption> {
protected:
    // A fresh, initialised kinematic with the option applied; its stored pose is the
    // start pose, far away from most grid points.
    std::unique_ptr<RobotKinematicDelta> Make() const {
        auto k = std::make_unique<RobotKinematicDelta>();
        k->Init("delta", "Delta", "", 0);
        if (GetParam().tool) {
            SetTool(*k, 8, -5, 25, 35, 0, 0);
        }
        if (GetParam().linearAxis) {
            AddLinearAxis(*k);
        }
        return k;
    }
    float LinearAxisValue() const { return GetParam().linearAxis ? 275.0f : 0.0f; }
    // Base shift of the linear axis at LinearAxisValue().
    Vector3 AxisShift() const { return GetParam().linearAxis ? Vector3(-275, 0, 40) : Vector3(); }
};

TEST_P(DeltaRoundTripTest, ForwardOfInverseGivesTheTargetBackWithExactRods) {
    // Targets with some margin to the rod tilt limit form the work space.
    auto probe = Make();
    probe->maxLinkageAngle = 28.0f;
    int inside = 0;
    for (float x = -120; x <= 120; x += 40) {
        for (float y = -120; y <= 120; y += 40) {
            for (float z = 170; z <= 330; z += 20) {
                const Vector3 target = Vector3(x, y, z) + AxisShift();
                Joints ext{};
                ext[6] = LinearAxisValue();
                try {
                    probe->SetPosition(At(target.x, target.y, target.z), ext.data());
                } catch (int) {
                    continue;
                }
                ++inside;
                auto inverse = Make();
                inverse->SetPosition(At(target.x, target.y, target.z), ext.data());
                const Joints q = UserJointsOf(*inverse);

                auto forward = Make();
                forward->SetJoints(q.data(), false);
                const Vector3 reached = forward->currentPosition.GetTranslation();
                EXPECT_LT(Distance(target, reached), 1e-3) << "target " << target.ToString();
                const Vector3 platform = reached - AxisShift() - forward->tool.toolMatrix.GetTranslation();
                for (double rod : RodLengths(*forward, platform, q.data())) {
                    EXPECT_NEAR(180.0, rod, 1e-3) << "target " << target.ToString();
                }
            }
        }
    }
    EXPECT_GT(inside, 100);
}

TEST_P(DeltaRoundTripTest, InverseOfForwardGivesTheJointsBack) {
    int inside = 0;
    // Arms raised further stretch arm and rod beyond the reach margin of the inverse.
    for (float a = -30; a <= 60; a += 15) {
        for (float b = -30; b <= 60; b += 15) {
            for (float c = -30; c <= 60; c += 15) {
                auto k = Make();
                const Joints q = {a, b, c, 0, 0, 0, LinearAxisValue(), 0, 0};
                try {
                    k->SetJoints(q.data(), false);
                } catch (int code) {
                    // Rods that cannot meet or tilt too far.
                    EXPECT_TRUE(code == KinematicError::DeltaOutOfReach || code == KinematicError::DeltaLinkageAngle)
                        << code;
                    continue;
                }
                ++inside;
                Joints ext{};
                ext[6] = LinearAxisValue();
                k->SetPosition(k->currentPosition, ext.data());
                const Joints back = UserJointsOf(*k);
                for (int i = 0; i < 3; ++i) {
                    EXPECT_NEAR(q[i], back[i], 1e-3) << "joints " << a << " " << b << " " << c;
                }
            }
        }
    }
    EXPECT_GT(inside, 100);
}

INSTANTIATE_TEST_SUITE_P(Options, DeltaRoundTripTest,
                         ::testing::Values(DeltaOption{"Plain", false, false}, DeltaOption{"Tool", true, false},
                                           DeltaOption{"LinearAxis", false, true},
                                           DeltaOption{"ToolAndLinearAxis", true, true}),
                         [](const ::testing::TestParamInfo<DeltaOption>& info) { return info.param.name; });

TEST_F(DeltaTest, ForwardKinematicsDoesNotDependOnThePreviousPose) {
    Joints none{};
    kin_.SetPosition(At(35, -60, 250), none.data());
    const Joints q = UserJointsOf(kin_);

    // Stored poses near the answer, 25 mm off (beyond the reach of a 20 mm search),
    // and far off as after power-up.
    const Vector3 offsets[] = {Vector3(0, 0, 0), Vector3(5, 5, 5), Vector3(25, -25, 25), Vector3(0, 0, 200),
                               Vector3(-35, 60, -250)};
    for (const Vector3& off : offsets) {
        RobotKinematicDelta k;
        k.Init("delta", "Delta", "", 0);
        k.currentPosition = At(35 + off.x, -60 + off.y, 250 + off.z);
        k.SetJoints(q.data(), false);
        EXPECT_LT(Distance(Vector3(35, -60, 250), k.currentPosition.GetTranslation()), 1e-3)
            << "start offset " << off.ToString();
    }
}

TEST_F(DeltaTest, ToolIsAppliedOnceHoweverOftenTheJointsAreSet) {
    SetTool(kin_, 10, -5, 40, 30, 0, 0);
    Joints none{};
    kin_.SetPosition(At(20, 10, 280), none.data());
    const Joints q = UserJointsOf(kin_);
    const Matrix44 expected = kin_.tool.toolMatrix * At(10, 15, 240);  // platform · tool

    for (int call = 0; call < 3; ++call) {
        kin_.SetJoints(q.data(), false);
        EXPECT_TRUE(kin_.currentPosition.Equals(expected, 1e-3f)) << "call " << call << "\n"
                                                                  << kin_.currentPosition.ToString();
    }
}

struct UnreachableCase {
    const char* name;
    Vector3 target;
};

TEST_F(DeltaTest, TargetsWithoutASolutionThrowOutOfReachAndKeepTheState) {
    const UnreachableCase cases[] = {
        {"beyond the arms", Vector3(0, 0, 600)},
        {"platform joint on the shoulder", Vector3(20, 0, 30)},
        {"triangle does not close", Vector3(20, 0, 50)},
        {"sideways offset longer than the rod", Vector3(20, 200, 130)},
    };
    Joints none{};
    kin_.SetPosition(At(0, 0, 260), none.data());
    const Joints before = UserJointsOf(kin_);
    const Matrix44 poseBefore = kin_.currentPosition;

    for (const UnreachableCase& c : cases) {
        try {
            kin_.SetPosition(At(c.target.x, c.target.y, c.target.z), none.data());
            ADD_FAILURE() << c.name << ": no error";
        } catch (int code) {
            EXPECT_EQ(KinematicError::DeltaOutOfReach, code) << c.name;
        }
        EXPECT_EQ(before, UserJointsOf(kin_)) << c.name;
        EXPECT_TRUE(kin_.currentPosition.Equals(poseBefore, 0.0f)) << c.name;
    }
}

// Joints near a singular geometry: the exact intersection exists (rod error 1.5e-5 mm),
// while a single-precision solution lands up to 1e-3 mm off and, depending on rounding,
// is refused as out of reach.
TEST_F(DeltaTest, ForwardKinematicsIsExactNearSingularGeometry) {
    const Joints q = {-58.8806f, 96.9417f, 99.6210f, 0, 0, 0, 0, 0, 0};
    kin_.maxLinkageAngle = 90.0f;
    kin_.SetJoints(q.data(), false);
    for (double rod : RodLengths(kin_, kin_.currentPosition.GetTranslation(), q.data())) {
        EXPECT_NEAR(180.0, rod, 1e-4);
    }
}

// Rod folded back flat over the upper arm (shoulder angle 180 degrees): the cosine of the
// triangle rounds a hair past -1 and must still give the flat solution.
TEST_F(DeltaTest, FlatTriangleAtTheShoulderIsSolved) {
    for (float sideways : {0.0f, 33.3f, 71.7f, 101.9f}) {
        // Shoulder-to-joint distance in the arm plane of rod minus upper arm.
        const double rodInPlane = std::sqrt(180.0 * 180.0 - double(sideways) * sideways);
        for (float heading : {0.0f, 17.0f, -41.0f, 63.0f}) {
            const double m = rodInPlane - 140.0;
            const double h = heading * kPi / 180.0;
            // Arm frame point: shoulder (50, 0, 20) less the platform joint offset (30, 0, -10).
            const Vector3 p(static_cast<float>(20.0 + m * std::sin(h)), sideways,
                            static_cast<float>(30.0 + m * std::cos(h)));
            const float angle = kin_.ComputeOneJoint(0, p);
            // The upper arm points straight away from the platform joint.
            EXPECT_NEAR(-heading - 90.0f, angle, 0.2f) << "sideways " << sideways << " heading " << heading;
        }
    }
}

// The inverse kinematics used to hand out joints far beyond the limits with no error; the
// drives would have taken them.
TEST_F(DeltaTest, InverseRefusesJointsThatLeaveTheLimits) {
    struct Case {
        Vector3 target;
        bool limitOnly;  // refused by the limit check alone
    };
    const Case cases[] = {
        // Solves to (122.46, -32.73, -53.79): arm 1 beyond its 120 degrees.
        {Vector3(-178.1f, 9.3f, 17.0f), true},
        // Once (101.12, -234.73, -172.01); elbow-out arms meet it only with the platform
        // folded to the near side of the elbows, so it is out of reach as well.
        {Vector3(-73.1f, 18.8f, 1.0f), false},
    };
    Joints none{};
    kin_.SetPosition(At(0, 0, 260), none.data());
    const Joints before = UserJointsOf(kin_);
    const Matrix44 poseBefore = kin_.currentPosition;
    for (const Case& c : cases) {
        try {
            kin_.SetPosition(At(c.target.x, c.target.y, c.target.z), none.data());
            const Joints q = UserJointsOf(kin_);
            ADD_FAILURE() << c.target.ToString() << " accepted joints " << q[0] << " " << q[1] << " " << q[2];
        } catch (int code) {
            const bool limit = code == KinematicError::JointBelowMin || code == KinematicError::JointAboveMax;
            EXPECT_TRUE(limit || (!c.limitOnly && code == KinematicError::DeltaOutOfReach))
                << c.target.ToString() << ": " << code;
        }
        EXPECT_EQ(before, UserJointsOf(kin_));
        EXPECT_TRUE(kin_.currentPosition.Equals(poseBefore, 0.0f));
    }
}

// Where the elbow-out arms reach a point only with the platform on the near side of the
// elbows, the forward kinematics of those joints gives another point: refused.
TEST_F(DeltaTest, InverseRefusesPointsOfTheOtherLinkageAssembly) {
    RobotKinematicDelta loose;
    loose.Init("delta", "Delta", "", 0);
    loose.maxLinkageAngle = 90.0f;
    // Arms raised past the vertical put the platform below the elbows.
    const Joints q = {-46.0295f, 65.1012f, 119.1043f, 0, 0, 0, 0, 0, 0};
    loose.SetJoints(q.data(), false);
    const Matrix44 reached = loose.currentPosition;
    Joints none{};
    try {
        loose.SetPosition(reached, none.data());
        auto forward = loose.clone();
        const Joints back = UserJointsOf(loose);
        forward->SetJoints(back.data(), false);
        // Accepted only if the solution leads back to the point.
        EXPECT_LT(Distance(reached.GetTranslation(), forward->currentPosition.GetTranslation()), 1e-3);
    } catch (int code) {
        EXPECT_EQ(KinematicError::DeltaOutOfReach, code);
    }
}

TEST_F(DeltaTest, TiltedRodThrowsLinkageAngleInBothDirectionsEvenWithoutChecks) {
    RobotKinematicDelta loose;
    loose.Init("delta", "Delta", "", 0);
    loose.maxLinkageAngle = 90.0f;
    Joints none{};
    loose.SetPosition(At(0, 120, 250), none.data());
    const Joints tilted = UserJointsOf(loose);

    kin_.SetPosition(At(0, 0, 250), none.data());
    const Joints before = UserJointsOf(kin_);
    const Matrix44 poseBefore = kin_.currentPosition;
    for (bool check : {false, true}) {
        try {
            kin_.SetJoints(tilted.data(), check);
            ADD_FAILURE() << "no error, check " << check;
        } catch (int code) {
            EXPECT_EQ(KinematicError::DeltaLinkageAngle, code);
        }
    }
    try {
        kin_.SetPosition(At(0, 120, 250), none.data());
        ADD_FAILURE() << "no error from the inverse kinematics";
    } catch (int code) {
        EXPECT_EQ(KinematicError::DeltaLinkageAngle, code);
    }
    EXPECT_EQ(before, UserJointsOf(kin_));
    EXPECT_TRUE(kin_.currentPosition.Equals(poseBefore, 0.0f));
}

TEST_F(DeltaTest, TargetOrientationIsIgnoredAndTheStoredRotationKept) {
    Joints none{};
    kin_.SetPosition(At(30, 20, 270), none.data());
    const Joints plain = UserJointsOf(kin_);

    RobotKinematicDelta k;
    k.Init("delta", "Delta", "", 0);
    Matrix44 stored;
    stored.SetRotationABCDeg2(10, 0, 0);
    k.currentPosition = stored;
    Matrix44 turned;
    turned.SetRotationABCDeg2(30, 20, 10);
    turned.SetTranslation(30, 20, 270);
    k.SetPosition(turned, none.data());

    EXPECT_EQ(plain, UserJointsOf(k));
    Matrix44 expected = stored;
    expected.SetTranslation(30, 20, 270);
    EXPECT_TRUE(k.currentPosition.Equals(expected, 0.0f));
}

TEST_F(DeltaTest, VirtualBoxSeesTheToolPointWhenJointsAreChecked) {
    SetTool(kin_, 0, 0, 20, 0, 0, 0);
    Joints none{};
    kin_.SetPosition(At(0, 0, 280), none.data());  // platform at 260
    RobotKinematicDelta probe;
    probe.Init("delta", "Delta", "", 0);
    probe.SetPosition(At(0, 0, 295), none.data());
    const Joints up = UserJointsOf(probe);  // platform at 295, tool point at 315

    kin_.virtualBoxActive = true;
    kin_.virtualBoxMin = Vector3(-500, -500, -500);
    kin_.virtualBoxMax = Vector3(500, 500, 310);
    try {
        kin_.SetJoints(up.data(), true);
        ADD_FAILURE() << "tool point left the box without an error";
    } catch (int code) {
        EXPECT_EQ(KinematicError::VirtualBoxZPlus, code);
    }
    kin_.SetJoints(up.data(), false);
    EXPECT_NEAR(315.0f, kin_.currentPosition(2, 3), 1e-3f);
}

TEST_F(DeltaTest, JointLimitsAreCheckedOnlyWhenAsked) {
    Joints q = {-95, 0, 0, 0, 0, 0, 0, 0, 0};
    kin_.cycleTimeMS = 4.0;
    try {
        kin_.SetJoints(q.data(), true);
        ADD_FAILURE() << "joint beyond its minimum accepted";
    } catch (int code) {
        EXPECT_EQ(KinematicError::JointBelowMin, code);
    }
    EXPECT_EQ((Joints{}), UserJointsOf(kin_));
    kin_.SetJoints(q.data(), false);
    EXPECT_EQ(-95.0f, UserJointsOf(kin_)[0]);
}

TEST_F(DeltaTest, CloneCopiesTheGeometry) {
    kin_.upperArmLength = 150.0f;
    kin_.lowerArmLength = 200.0f;
    kin_.platformRadius = 35.0f;
    kin_.reachMargin = 10.0f;
    kin_.maxLinkageAngle = 33.0f;
    std::unique_ptr<RobotKinematic> copy = kin_.clone();
    auto* delta = dynamic_cast<RobotKinematicDelta*>(copy.get());
    ASSERT_NE(nullptr, delta);
    EXPECT_EQ(150.0f, delta->upperArmLength);
    EXPECT_EQ(200.0f, delta->lowerArmLength);
    EXPECT_EQ(35.0f, delta->platformRadius);
    EXPECT_EQ(10.0f, delta->reachMargin);
    EXPECT_EQ(33.0f, delta->maxLinkageAngle);

    Joints none{};
    kin_.SetPosition(At(10, -20, 300), none.data());
    delta->SetPosition(At(10, -20, 300), none.data());
    EXPECT_EQ(UserJointsOf(kin_), UserJointsOf(*delta));
}

}  // namespace
