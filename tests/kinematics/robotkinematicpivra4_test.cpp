#include "kinematics/RobotKinematicPivra4.h"

#include "core/LogSingleton.h"
#include "testsupport/KinematicChecks.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <ostream>
#include <limits>
#include <random>
#include <string>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

using namespace TestSupport;

const std::string kFixture = std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/pivra4/robot.xml";

Joints Arm(float a1, float a2, float a3, float a4) { return Joints{a1, a2, a3, a4, 0, 0, 0, 0, 0}; }

bool AllFinite(const float* v, int n) {
    return std::all_of(v, v + n, [](float x) { return std::isfinite(x); });
}

// Keeps the process-wide operation mode and failure reason as a test found them.
class Pivra4Test : public ::testing::Test {
private:
    TestSupport::ScopedFailState failState_;
};

// ---------------------------------------------------------------------------------------
// Construction: the controller's fallback robot runs without Init.

TEST_F(Pivra4Test, ConstructorSetsWhatInitSetsBeforeReadingTheIniFile) {
    RobotKinematicPivra4 built;
    RobotKinematicPivra4 initialised;
    initialised.Init("arm", "JXRPivra4", "/nonexistent/robot.xml", 0);

    EXPECT_EQ("RobotKinematicPivra4", built.kinematicTypeName);
    EXPECT_EQ(4, built.nrOfJoints);
    const float lengths[] = {built.lz0, built.lz1, built.lz2, built.lz3, built.lz4};
    const float expectedLengths[] = {158.0f, 60.0f, 190.0f, 220.0f, 46.0f};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(expectedLengths[i], lengths[i]) << "lz" << i;
    }
    EXPECT_EQ(5.0f, built.singularityCenter);
    EXPECT_EQ(30.0f, built.singularityEllbow);
    ExpectJointsNear(Arm(0, -20, 110, 0), UserJointsOf(built), 9, 0.0f);
    EXPECT_TRUE(built.currentPosition.Equals(initialised.currentPosition, 0.0f));
    EXPECT_EQ(300.0f, built.currentPosition(2, 3));

    // Field by field equal to an object whose Init found no ini file.
    EXPECT_EQ(initialised.lz0, built.lz0);
    EXPECT_EQ(initialised.lz4, built.lz4);
    EXPECT_EQ(initialised.elbowPositive, built.elbowPositive);
    EXPECT_EQ(initialised.wristInFront, built.wristInFront);
    EXPECT_EQ(initialised.ikErrorLogged, built.ikErrorLogged);
    EXPECT_EQ(initialised.AccLin, built.AccLin);
    EXPECT_EQ(initialised.AccLinInc, built.AccLinInc);
    EXPECT_EQ(initialised.VelTrans, built.VelTrans);
    for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
        EXPECT_EQ(initialised.currentJoints[i], built.currentJoints[i]) << i;
        EXPECT_EQ(initialised.jointMinMax[i][0], built.jointMinMax[i][0]) << i;
        EXPECT_EQ(initialised.jointMinMax[i][1], built.jointMinMax[i][1]) << i;
        EXPECT_EQ(initialised.jointMaxVelocity[i], built.jointMaxVelocity[i]) << i;
        EXPECT_EQ(initialised.jointMaxAcceleration[i], built.jointMaxAcceleration[i]) << i;
        EXPECT_EQ(initialised.jointMaxAccelerationInc[i], built.jointMaxAccelerationInc[i]) << i;
    }
}

TEST_F(Pivra4Test, FallbackObjectWithoutCycleTimeMovesWithFiniteValues) {
    RobotKinematicPivra4 k;  // no Init, cycleTimeMS still 0
    ASSERT_EQ(0.0, k.cycleTimeMS);

    const Joints path[] = {Arm(0, -20, 110, 0), Arm(1, -19, 109, 2), Arm(10, 0, 60, -30), Arm(-40, 30, 60, 45)};
    for (const Joints& q : path) {
        SCOPED_TRACE(testing::Message() << "A1 " << q[0]);
        Joints before = UserJointsOf(k);
        k.SetJoints(q.data(), true);
        EXPECT_TRUE(AllFinite(k.jointVelocities, RobotKinematic::maxJoints));
        EXPECT_TRUE(AllFinite(k.currentPosition.m, 16));
        // The velocity keeps the direction of the step.
        for (int i = 0; i < 4; ++i) {
            if (q[i] != before[i]) {
                EXPECT_EQ(q[i] > before[i], k.jointVelocities[i] > 0.0f) << "joint " << i;
            }
        }

        const Matrix44 pose = k.currentPosition;
        Joints ext{};
        k.SetPosition(pose, ext.data());
        EXPECT_TRUE(AllFinite(k.jointVelocities, RobotKinematic::maxJoints));
        ExpectJointsNear(q, UserJointsOf(k), 4, 1e-3f);
    }
}

// ---------------------------------------------------------------------------------------
// Forward and inverse kinematics of known poses (default geometry, identity tool).

struct NamedPose {
    const char* name;
    Joints joints;
    Vector3 toolPoint;
    Vector3 wrist;
    Vector3 approach;  // tool z axis
    bool elbowPositive;
    bool wristInFront;
};

void PrintTo(const NamedPose& v, std::ostream* os) { *os << v.name; }

class Pivra4NamedPoseTest : public Pivra4Test, public ::testing::WithParamInterface<NamedPose> {};

TEST_P(Pivra4NamedPoseTest, ForwardGivesPoseAndFlagsAndInverseGivesJointsBack) {
    const NamedPose& p = GetParam();
    RobotKinematicPivra4 k;
    k.Init("arm", "JXRPivra4", "/nonexistent/robot.xml", 0);
    ClearLimits(k);

    k.SetJoints(p.joints.data(), true);
    EXPECT_LT(Distance(p.toolPoint, k.currentPosition.GetTranslation()), 0.002);
    EXPECT_LT(Distance(p.wrist, k.wristPoint), 0.002);
    EXPECT_LT(Distance(p.approach, k.currentPosition.GetColumnVector(2)), 1e-5);
    EXPECT_EQ(p.elbowPositive, k.elbowPositive);
    EXPECT_EQ(p.wristInFront, k.wristInFront);

    const Matrix44 pose = k.currentPosition;
    Joints ext{};
    k.SetPosition(pose, ext.data());
    ExpectJointsNear(p.joints, UserJointsOf(k), 4, 1e-4f);
}

INSTANTIATE_TEST_SUITE_P(
    Poses, Pivra4NamedPoseTest,
    ::testing::Values(
        NamedPose{"HandForward", Arm(0, -20, 110, 0), {201.016f, 0, 396.542f}, {155.016f, 0, 396.542f}, {1, 0, 0},
                  true, true},
        NamedPose{"OverTheBack", Arm(0, -60, -60, 0), {-394.908f, 0, 180.0f}, {-355.070f, 0, 203.0f},
                  {-0.86603f, 0, -0.5f}, true, false},
        NamedPose{"TurnedElbowUp", Arm(30, 10, 45, -20), {207.492f, 119.796f, 568.981f},
                  {184.642f, 106.603f, 531.300f}, {0.49673f, 0.28679f, 0.81915f}, true, true},
        NamedPose{"TurnedElbowDown", Arm(-45, 60, -60, 10), {121.999f, -121.999f, 578.301f},
                  {116.351f, -116.351f, 533.000f}, {0.12279f, -0.12279f, 0.98481f}, false, true},
        NamedPose{"TurnedOverTheBack", Arm(-120, 35, -70, 25), {12.598f, 21.820f, 599.153f},
                  {8.604f, 14.902f, 553.852f}, {0.08682f, 0.15038f, 0.98481f}, true, false},
        NamedPose{"OverTheBackElbowDown", Arm(0, -70, 60, 0), {-224.732f, 0, 544.943f}, {-216.744f, 0, 499.642f},
                  {-0.17365f, 0, 0.98481f}, false, false}),
    [](const ::testing::TestParamInfo<NamedPose>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Refused targets: the code, one log line per run of failures, nothing changed.

struct Refusal {
    const char* name;
    Joints start;       // SetJoints before the attempt
    Matrix44 target;    // flange = tool pose (identity tool)
    int code;
    const char* line;   // expected log line
    bool once;          // logged once per run of failures (else at every attempt)
};

void PrintTo(const Refusal& v, std::ostream* os) { *os << v.name; }

class Pivra4RefusalTest : public Pivra4Test, public ::testing::WithParamInterface<Refusal> {};

TEST_P(Pivra4RefusalTest, ThrowsKeepsStateAndLogsOnce) {
    const Refusal& r = GetParam();
    RobotKinematicPivra4 k;
    k.Init("arm", "JXRPivra4", "/nonexistent/robot.xml", 0);
    k.cycleTimeMS = 10.0;
    k.SetJoints(r.start.data(), false);
    const Matrix44 poseBefore = k.currentPosition;
    const Joints jointsBefore = UserJointsOf(k);

    TestSupport::LogCapture log;
    Joints ext{};
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            k.SetPosition(r.target, ext.data());
            ADD_FAILURE() << "no throw on attempt " << attempt;
        } catch (int code) {
            EXPECT_EQ(r.code, code);
        }
    }
    EXPECT_TRUE(k.currentPosition.Equals(poseBefore, 0.0f));
    ExpectJointsNear(jointsBefore, UserJointsOf(k), 9, 0.0f);
    EXPECT_EQ(r.once ? 1 : 2, log.Count(r.line)) << log.Joined();
    EXPECT_EQ(r.once, k.ikErrorLogged);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, Pivra4RefusalTest,
    ::testing::Values(
        // All joints 0: the tool point (0, 0, 674) has its wrist point on the base axis.
        Refusal{"CenterAxis", Arm(0, -20, 110, 0), FlangeAt({0, 0, 674}, {0, 0, 1}), 21,
                "Kinematic Error: too close to center axis! ", true},
        // Wrist point (454, 0, 218): farther than 190 + 220 - 30 from the shoulder.
        Refusal{"BeyondReach", Arm(0, -20, 110, 0), FlangeAt({500, 0, 218}, {1, 0, 0}), 22, "InvKin: OutofReach",
                true},
        // Just beyond the 380 mm limit, straight up from the shoulder at 10 mm off the axis.
        Refusal{"JustBeyondReach", Arm(0, -20, 110, 0), FlangeAt({10, 0, 218 + 380.2f + 46}, {0, 0, 1}), 22,
                "InvKin: OutofReach", true},
        // Approach axis perpendicular to the arm plane: no projection exists.
        Refusal{"ApproachAcrossArmPlane", Arm(0, -20, 110, 0), FlangeAt({300, 0, 300}, {0, 1, 0}), 22,
                "InvKin: OutofReach", true},
        Refusal{"ApproachAcrossTurnedArmPlane", Arm(30, 10, 45, -20),
                FlangeAt({200 * 0.5f, 200 * 0.8660254f, 350}, {-0.8660254f, 0.5f, 0}), 22, "InvKin: OutofReach",
                true},
        // Wrist point 10 mm from the shoulder, closer than |lz3 - lz2|: the triangle does not close.
        Refusal{"WristInsideFoldedArm", Arm(0, -20, 110, 0), FlangeAt({56, 0, 218}, {1, 0, 0}), 50,
                "Error in computation, NAN in Joint 1", false}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(Pivra4Test, SuccessfulSetPositionRearmsTheErrorLine) {
    RobotKinematicPivra4 k;
    k.Init("arm", "JXRPivra4", "/nonexistent/robot.xml", 0);
    k.SetJoints(Arm(0, -20, 110, 0).data(), false);
    const Matrix44 reachable = k.currentPosition;
    const Matrix44 unreachable = FlangeAt({500, 0, 218}, {1, 0, 0});

    TestSupport::LogCapture log;
    Joints ext{};
    EXPECT_THROW(k.SetPosition(unreachable, ext.data()), int);
    EXPECT_THROW(k.SetPosition(unreachable, ext.data()), int);
    k.SetPosition(reachable, ext.data());
    EXPECT_FALSE(k.ikErrorLogged);
    EXPECT_THROW(k.SetPosition(unreachable, ext.data()), int);
    EXPECT_EQ(2, log.Count("InvKin: OutofReach"));
}

TEST_F(Pivra4Test, RejectedSetJointsKeepsPoseJointsAndConfiguration) {
    RobotKinematicPivra4 k;
    k.Init("arm", "JXRPivra4", "/nonexistent/robot.xml", 0);
    k.cycleTimeMS = 10.0;
    k.SetJoints(Arm(0, -60, -60, 0).data(), false);  // over the back, A2 below its limit
    const Matrix44 pose = k.currentPosition;
    const Vector3 wrist = k.wristPoint;

    // A2 beyond its maximum of 60 and moving further out.
    EXPECT_THROW(
        {
            try {
                k.SetJoints(Arm(0, 61, 10, 0).data(), true);
            } catch (int code) {
                EXPECT_EQ(14, code);
                throw;
            }
        },
        int);
    EXPECT_TRUE(k.currentPosition.Equals(pose, 0.0f));
    ExpectJointsNear(Arm(0, -60, -60, 0), UserJointsOf(k), 9, 0.0f);
    EXPECT_FALSE(k.wristInFront);
    EXPECT_TRUE(k.elbowPositive);
    EXPECT_LT(Distance(wrist, {-355.070f, 0, 203.0f}), 0.002);
}

TEST_F(Pivra4Test, VirtualBoxIsCheckedBySetPositionAlwaysAndBySetJointsOnRequest) {
    RobotKinematicPivra4 k;
    k.Init("arm", "JXRPivra4", "/nonexistent/robot.xml", 0);
    ClearLimits(k);
    k.SetJoints(Arm(0, -20, 110, 0).data(), false);  // tool point x = 201
    const Matrix44 start = k.currentPosition;
    k.virtualBoxActive = true;
    k.virtualBoxMin = Vector3(-250, -250, 0);
    k.virtualBoxMax = Vector3(210, 250, 700);

    k.SetJoints(Arm(0, -10, 110, 0).data(), false);  // unchecked: leaves the box
    const Matrix44 outside = k.currentPosition;
    ASSERT_GT(outside(0, 3), 210.0f);
    k.SetJoints(Arm(0, -20, 110, 0).data(), false);

    Joints ext{};
    try {
        k.SetPosition(outside, ext.data());
        ADD_FAILURE() << "no throw";
    } catch (int code) {
        EXPECT_EQ(30, code);
    }
    EXPECT_TRUE(k.currentPosition.Equals(start, 0.0f));
    EXPECT_THROW(k.SetJoints(Arm(0, -10, 110, 0).data(), true), int);
    EXPECT_TRUE(k.currentPosition.Equals(start, 0.0f));
}

// ---------------------------------------------------------------------------------------
// Orientation projection.

TEST_F(Pivra4Test, SidewaysTiltIsProjectedIntoTheArmPlane) {
    struct Case {
        float a1;  // arm plane azimuth, degrees
        float tiltDeg;
    };
    const Case cases[] = {{0.0f, 20.0f}, {30.0f, -35.0f}, {-135.0f, 10.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "A1 " << c.a1 << " tilt " << c.tiltDeg);
        RobotKinematicPivra4 k;
        k.Init("arm", "JXRPivra4", "/nonexistent/robot.xml", 0);
        ClearLimits(k);
        const Joints q = Arm(c.a1, 10, 45, -20);
        k.SetJoints(q.data(), false);
        Matrix44 target = k.currentPosition;
        // Tilt the approach axis sideways, out of the arm plane towards its normal s.
        const float az = c.a1 * static_cast<float>(M_PI) / 180.0f;
        const Vector3 s(-std::sin(az), std::cos(az), 0);
        Vector3 axis = Vector3::Cross(target.GetColumnVector(2), s);
        axis.Normalize();
        target.RotateAxisAngle(axis, c.tiltDeg);
        ASSERT_GT(std::fabs(Vector3::Dot(target.GetColumnVector(2), s)), 0.1f);

        Joints ext{};
        k.SetPosition(target, ext.data());
        const Matrix44& stored = k.currentPosition;
        EXPECT_LT(Distance(target.GetTranslation(), stored.GetTranslation()), 1e-6);
        // y axis horizontal and perpendicular to the arm plane.
        EXPECT_LT(Distance(s, stored.GetColumnVector(1)), 1e-5);
        // The approach axis keeps its pitch in the plane: that of the untilted pose (35 degrees).
        const Vector3 a = stored.GetColumnVector(2);
        const float inPlane = a.x * std::cos(az) + a.y * std::sin(az);
        EXPECT_NEAR(std::sin(35.0f * static_cast<float>(M_PI) / 180.0f), inPlane, 1e-5f);
        EXPECT_NEAR(std::cos(35.0f * static_cast<float>(M_PI) / 180.0f), a.z, 1e-5f);
        // The solution is the untilted arm.
        ExpectJointsNear(q, UserJointsOf(k), 4, 1e-3f);
    }
}

TEST_F(Pivra4Test, FlangeOnTheBaseAxisTakesTheArmPlaneFromTheApproachAxis) {
    // Wrist 46 mm from the axis at azimuth 45 degrees, hand horizontal and pointing at the
    // axis: the flange point lies on the base axis, a reachable pose.
    const float a2 = -20.0f;
    const float a23 = static_cast<float>(std::asin((46.0 - 190.0 * std::sin(a2 * M_PI / 180.0)) / 220.0) * 180.0 / M_PI);
    const Joints q = Arm(45.0f, a2, a23 - a2, -90.0f - a23);
    for (const float offset : {0.0f, 0.05f, 0.5f, 2.0f}) {
        SCOPED_TRACE(testing::Message() << "flange " << offset << " mm off the axis");
        RobotKinematicPivra4 k;
        k.Init("arm", "JXRPivra4", "/nonexistent/robot.xml", 0);
        ClearLimits(k);
        k.SetJoints(q.data(), false);
        Matrix44 target = k.currentPosition;
        ASSERT_LT(std::hypot(target(0, 3), target(1, 3)), 0.001f);
        // Shift the pose along the hand so the flange stays on the arm plane's line.
        const Vector3 a = target.GetColumnVector(2);
        target(0, 3) = -a.x * offset;
        target(1, 3) = -a.y * offset;
        target(2, 3) -= a.z * offset;

        Joints ext{};
        k.SetPosition(target, ext.data());
        const Joints solved = UserJointsOf(k);
        EXPECT_NEAR(45.0f, solved[0], 1e-3f);
        k.SetJoints(solved.data(), false);
        EXPECT_LT(Distance(target.GetTranslation(), k.currentPosition.GetTranslation()), 1e-3);
        EXPECT_LT(RotationDiffDeg(target, k.currentPosition), 1e-3);
    }
}

// ---------------------------------------------------------------------------------------
// Round trip FK(IK(FK(q))) = FK(q) in every configuration.

struct RoundTripSetup {
    const char* name;
    Vector3 toolOffset;
    Vector3 toolABC;      // tool file OffsetA, OffsetB, OffsetC
    float directions[4];
    float offsets[4];
};

void PrintTo(const RoundTripSetup& v, std::ostream* os) { *os << v.name; }

class Pivra4RoundTripTest : public Pivra4Test, public ::testing::WithParamInterface<RoundTripSetup> {};

TEST_P(Pivra4RoundTripTest, EveryConfigurationReturnsToTheSamePose) {
    const RoundTripSetup& s = GetParam();
    RobotKinematicPivra4 k;
    k.Init("arm", "JXRPivra4", "/nonexistent/robot.xml", 0);
    ClearLimits(k);  // joints are drawn from the whole circle
    k.tool.toolMatrix.SetRotationABCDeg2(s.toolABC.z, s.toolABC.y, s.toolABC.x);
    k.tool.toolMatrix.SetTranslation(s.toolOffset);
    k.tool.toolMatrixInverse = k.tool.toolMatrix.Inverse();
    for (int i = 0; i < 4; ++i) {
        k.brandTrafoJointDirections[i] = s.directions[i];
        k.brandTrafoJointOffsets[i] = s.offsets[i];
    }

    constexpr int kPerConfiguration = 20000;
    constexpr int kMaxDraws = 400000;
    const float shoulderZ = k.lz0 + k.lz1;
    const float reach = k.lz2 + k.lz3 - k.singularityEllbow;

    std::mt19937 rng(20240611u);
    std::uniform_real_distribution<float> angle(-180.0f, 180.0f);
    int done[4] = {0, 0, 0, 0};  // by elbowPositive + 2 * wristInFront
    int failures = 0;
    double worstMm = 0.0;
    double worstDeg = 0.0;
    Joints worstQ{};

    for (int draw = 0; draw < kMaxDraws; ++draw) {
        if (std::min({done[0], done[1], done[2], done[3]}) >= kPerConfiguration) {
            break;
        }
        const Joints q = Arm(angle(rng), angle(rng), angle(rng), angle(rng));
        k.SetJoints(q.data(), false);
        // Leave out the refused zones: the wrist point near the base axis (centre zone is a
        // square of singularityCenter) or at full stretch. The folded elbow stays in.
        const Vector3 w = k.wristPoint;
        const float d = std::hypot(std::hypot(w.x, w.y), w.z - shoulderZ);
        if (std::max(std::fabs(w.x), std::fabs(w.y)) < k.singularityCenter + 1.0f || d > reach - 0.5f) {
            continue;
        }
        const int config = (k.elbowPositive ? 1 : 0) + (k.wristInFront ? 2 : 0);
        if (done[config] >= kPerConfiguration) {
            continue;
        }
        ++done[config];

        const Matrix44 pose = k.currentPosition;
        Joints ext{};
        double mm = 1e9;
        double deg = 1e9;
        bool sameConfig = false;
        try {
            k.SetPosition(pose, ext.data());
            const Joints solved = UserJointsOf(k);
            k.SetJoints(solved.data(), false);
            mm = Distance(pose.GetTranslation(), k.currentPosition.GetTranslation());
            deg = RotationDiffDeg(pose, k.currentPosition);
            sameConfig = (config == (k.elbowPositive ? 1 : 0) + (k.wristInFront ? 2 : 0));
        } catch (int) {
        }
        if (!(mm <= 1e-3 && deg <= 1e-3) || !sameConfig) {
            ++failures;
        }
        if (mm > worstMm || deg > worstDeg) {
            worstQ = q;
        }
        worstMm = std::max(worstMm, mm);
        worstDeg = std::max(worstDeg, deg);
    }

    for (int c = 0; c < 4; ++c) {
        EXPECT_GE(done[c], kPerConfiguration) << "configuration " << c;
    }
    EXPECT_EQ(0, failures) << "worst " << worstMm << " mm, " << worstDeg << " deg at q = (" << worstQ[0] << ", "
                           << worstQ[1] << ", " << worstQ[2] << ", " << worstQ[3] << ")";
}

INSTANTIATE_TEST_SUITE_P(
    Setups, Pivra4RoundTripTest,
    ::testing::Values(RoundTripSetup{"PlainFlange", {0, 0, 0}, {0, 0, 0}, {1, 1, 1, 1}, {0, 0, 0, 0}},
                      RoundTripSetup{"SkewToolAndMotorConventions",
                                     {12.0f, -7.5f, 95.0f},
                                     {15.0f, -30.0f, 40.0f},
                                     {-1, 1, -1, 1},
                                     {5.0f, -10.0f, 3.0f, 90.0f}}),
    [](const ::testing::TestParamInfo<RoundTripSetup>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Continuity along straight paths.

// Walks the flange point from a to b in 0.1 mm steps with the orientation of pose and calls
// visit(target, solved user joints) for each solved step, or visit(target, nullptr) for a
// refused one.
template <typename Visit>
void WalkStraight(RobotKinematicPivra4& k, const Matrix44& pose, const Vector3& a, const Vector3& b, Visit visit) {
    const int steps = static_cast<int>(Distance(a, b) / 0.1) + 1;
    for (int n = 1; n <= steps; ++n) {
        const float f = static_cast<float>(n) / steps;
        Matrix44 target = pose;
        target.SetTranslation(a.x + (b.x - a.x) * f, a.y + (b.y - a.y) * f, a.z + (b.z - a.z) * f);
        Joints ext{};
        try {
            k.SetPosition(target, ext.data());
        } catch (int) {
            visit(target, nullptr);
            continue;
        }
        const Joints q = UserJointsOf(k);
        visit(target, &q);
    }
}

// Length of the approach axis of t projected into the vertical plane through its flange
// point: near 0 the projection has no direction left and flips.
double ApproachInArmPlane(const Matrix44& t) {
    const double phi = std::atan2(t(1, 3), t(0, 3));
    return std::hypot(t(0, 2) * std::cos(phi) + t(1, 2) * std::sin(phi), t(2, 2));
}

double LargestStep(const Joints& a, const Joints& b) {
    double step = 0.0;
    for (int i = 0; i < 4; ++i) {
        step = std::max(step, static_cast<double>(std::fabs(a[i] - b[i])));
    }
    return step;
}

// The flange point passes the base axis at a distance, the hand horizontal along x: only a
// path through the axis can keep the orientation; off it the arm plane turns with the
// flange point's azimuth, and within the near-axis radius nothing fixes the plane. A1 never
// jumps: each solved step moves every joint less than 5 degrees, and a refusal is 21.
TEST_F(Pivra4Test, FlangePassingTheBaseAxisMovesA1ContinuouslyOrIsRefused) {
    for (const float miss : {0.0f, 0.3f, 0.9f, 1.4f, 1.6f, 3.0f}) {
        SCOPED_TRACE(testing::Message() << "passes the axis at " << miss << " mm");
        RobotKinematicPivra4 k;
        k.Init("arm", "JXRPivra4", "/nonexistent/robot.xml", 0);
        ClearLimits(k);
        const Joints start = Arm(180, 20, 40, 30);  // arm turned to -x, flange and hand along -x
        k.SetJoints(start.data(), false);
        Matrix44 pose;
        pose.SetRotationABCDeg2(0.0, 90.0, 0.0);  // hand along +x, back towards the axis
        const float z = 350.0f;
        pose.SetTranslation(-4.0f, miss, z);
        Joints ext{};
        k.SetPosition(pose, ext.data());
        Joints prev = UserJointsOf(k);
        bool prevSolved = true;
        int refused = 0;
        WalkStraight(k, pose, Vector3(-4.0f, miss, z), Vector3(4.0f, miss, z), [&](const Matrix44& t, const Joints* q) {
            if (q == nullptr) {
                ++refused;
                prevSolved = false;
                EXPECT_LT(std::hypot(t(0, 3), t(1, 3)), 1.6f);
                return;
            }
            // Off the axis the path crosses the plane perpendicular to the hand, where no
            // projection exists; that is the other singular zone.
            const bool regular = ApproachInArmPlane(t) > 0.3;
            if (prevSolved && regular) {
                EXPECT_LT(LargestStep(prev, *q), 5.0) << "at x " << t(0, 3);
            }
            prev = *q;
            prevSolved = regular;
        });
        if (miss == 0.0f) {
            EXPECT_EQ(0, refused);  // the reachable path through the axis
            EXPECT_NEAR(180.0f, prev[0], 1e-3f);
        }
    }
}

// Random straight paths with the start orientation kept: no joint steps more than 5 degrees
// outside the singular zones (wrist near the centre zone, full stretch or the folded elbow,
// approach axis nearly perpendicular to the arm plane, flange point near the base axis:
// there the arm plane turns with the flange point's azimuth and swings the hand about).
TEST_F(Pivra4Test, StraightPathsMoveEveryJointContinuously) {
    RobotKinematicPivra4 k;
    k.Init("arm", "JXRPivra4", "/nonexistent/robot.xml", 0);
    ClearLimits(k);
    RobotKinematicPivra4 probe;
    probe.clone(&k);
    const float shoulder = k.lz0 + k.lz1;
    const float stretch = k.lz2 + k.lz3 - k.singularityEllbow;
    const float fold = std::fabs(k.lz3 - k.lz2);
    auto singular = [&](const Matrix44& t, const Vector3& w) {
        const float d = std::hypot(std::hypot(w.x, w.y), w.z - shoulder);
        const double r = std::hypot(t(0, 3), t(1, 3));
        return std::max(std::fabs(w.x), std::fabs(w.y)) < k.singularityCenter + 3.0f || d > stretch - 2.0f ||
               d < fold + 2.0f || r < 10.0 || ApproachInArmPlane(t) < 0.3;
    };

    std::mt19937 rng(777u);
    std::uniform_real_distribution<float> angle(-180.0f, 180.0f), delta(-25.0f, 25.0f);
    int paths = 0;
    int checked = 0;
    for (int draw = 0; paths < 150 && draw < 5000; ++draw) {
        const Joints from = Arm(angle(rng), angle(rng), angle(rng), angle(rng));
        k.SetJoints(from.data(), false);
        const Matrix44 start = k.currentPosition;
        if (singular(start, k.wristPoint)) continue;
        Joints to = from;
        for (int i = 0; i < 3; ++i) to[i] += delta(rng);
        probe.SetJoints(to.data(), false);
        const Vector3 a = start.GetTranslation();
        const Vector3 b = probe.currentPosition.GetTranslation();
        if (Distance(a, b) > 150.0) continue;
        ++paths;
        Joints prev = from;
        bool prevRegular = true;
        WalkStraight(k, start, a, b, [&](const Matrix44& t, const Joints* q) {
            if (q == nullptr) {
                prevRegular = false;
                return;
            }
            const bool regular = !singular(t, k.wristPoint);
            if (regular && prevRegular) {
                ++checked;
                EXPECT_LT(LargestStep(prev, *q), 5.0)
                    << "path from " << from[0] << " " << from[1] << " " << from[2] << " " << from[3] << ", flange at "
                    << t(0, 3) << " " << t(1, 3) << " " << t(2, 3);
            }
            prev = *q;
            prevRegular = regular;
        });
        if (HasFailure()) return;
    }
    EXPECT_EQ(150, paths);
    EXPECT_GT(checked, 40000);
}

TEST_F(Pivra4Test, NonFiniteTargetThrowsAndKeepsState) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        int row, col;
        float value;
    } cases[] = {{0, 0, nan}, {1, 0, inf}, {2, 2, nan}, {1, 2, -inf}, {0, 3, nan}, {2, 3, inf}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "R(" << c.row << "," << c.col << ") = " << c.value);
        RobotKinematicPivra4 k;
        k.Init("arm", "JXRPivra4", "/nonexistent/robot.xml", 0);
        const Joints start = Arm(10, -20, 110, 5);
        k.SetJoints(start.data(), false);
        const Matrix44 pose = k.currentPosition;
        Matrix44 target = pose;
        target(c.row, c.col) = c.value;
        Joints ext{};
        int code = 0;
        try {
            k.SetPosition(target, ext.data());
        } catch (int e) {
            code = e;
        }
        EXPECT_EQ(50, code);
        EXPECT_TRUE(k.currentPosition.Equals(pose, 0.0f));
        ExpectJointsNear(start, UserJointsOf(k), 4, 0.0f);
    }
}

// ---------------------------------------------------------------------------------------
// External axes.

TEST_F(Pivra4Test, DependentLinearAxisCarriesTheArm) {
    RobotKinematicPivra4 k;
    k.Init("arm", "JXRPivra4", "/nonexistent/robot.xml", 0);
    Joints q = Arm(30, 10, 45, -20);
    k.SetJoints(q.data(), false);
    const Vector3 withoutAxis = k.currentPosition.GetTranslation();

    // Travel towards -x, robot base lifted by 100 mm.
    k.AddExternalAxis(DependentAxis(90, 100.0));
    q[6] = 300.0f;
    k.SetJoints(q.data(), false);
    const Vector3 withAxis = k.currentPosition.GetTranslation();
    EXPECT_LT(Distance(withoutAxis + Vector3(-300.0f, 0, 100.0f), withAxis), 1e-4);

    const Matrix44 pose = k.currentPosition;
    k.SetJoints(Arm(0, -20, 110, 0).data(), false);
    Joints ext{};
    ext[6] = 300.0f;
    k.SetPosition(pose, ext.data());
    ExpectJointsNear(q, UserJointsOf(k), 7, 1e-3f);
    EXPECT_LT(Distance(pose.GetTranslation(), k.currentPosition.GetTranslation()), 1e-3);
}

// ---------------------------------------------------------------------------------------
// Robot ini file.

TEST_F(Pivra4Test, InitReadsTheIniFileAndLogsTheData) {
    TestSupport::LogCapture log;
    RobotKinematicPivra4 k;
    k.Init("arm", "JXRPivra4", kFixture, 0);

    EXPECT_EQ(OPMODE_NORMAL, LogSingleton::instance()->get_opMode());
    EXPECT_EQ("arm", k.robotName);
    EXPECT_EQ("JXRPivra4", k.robotType);
    EXPECT_EQ(150.0f, k.lz0);
    EXPECT_EQ(55.0f, k.lz1);
    EXPECT_EQ(200.0f, k.lz2);
    EXPECT_EQ(210.0f, k.lz3);
    EXPECT_EQ(50.0f, k.lz4);
    EXPECT_EQ(7.0f, k.singularityCenter);
    EXPECT_EQ(25.0f, k.singularityEllbow);
    EXPECT_EQ(12.5f, k.zOffset);
    // Internal limits: A1 offset 10, A2 direction -1, A3 offset -5; externals untouched.
    const float internal[][2] = {{-110, 140}, {-70, 30}, {-105, 115}, {-90, 95}, {0, 0}, {0, 0},
                                 {-150, 150}, {-150, 150}, {-150, 150}};
    for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
        EXPECT_EQ(internal[i][0], k.jointMinMax[i][0]) << i;
        EXPECT_EQ(internal[i][1], k.jointMinMax[i][1]) << i;
    }
    EXPECT_EQ(42.0f, k.jointMaxVelocity[1]);
    EXPECT_EQ(100.0f, k.jointMaxVelocity[4]);
    EXPECT_EQ(144.0f, k.jointMaxAcceleration[3]);
    EXPECT_EQ(241.0f, k.jointMaxAccelerationInc[0]);
    EXPECT_EQ(1500.0, k.AccLin);
    EXPECT_EQ(4500.0, k.AccLinInc);
    EXPECT_EQ(250.0, k.VelTrans);

    const char* lines[] = {
        "RK4Axis arm / JXRPivra4  - Kinematic Data: ",
        "   Joint 0: Min -120.0 Max 130.0 MaxVel 41.0 JointOffset 10.0 JointDirection 1.0",
        "   Joint 1: Min -30.0 Max 70.0 MaxVel 42.0 JointOffset 0.0 JointDirection -1.0",
        "   Joint 3: Min -90.0 Max 95.0 MaxVel 44.0 JointOffset 0.0 JointDirection 1.0",
        "   Joint length: lz0 150.0, lz1 55.0, lz2 200.0, lz3 210.0, lz4 50.0",
        "   Singularities: Center 7.0, Ellbow 25.0",
    };
    for (const char* line : lines) {
        EXPECT_TRUE(log.Contains(line)) << line << "\n" << log.Joined();
    }
    EXPECT_FALSE(log.Contains("   Joint 4:"));
}

TEST_F(Pivra4Test, IniFileAgreesWithTheManufacturerConventions) {
    // User joints go through direction and offset before the equations.
    RobotKinematicPivra4 k;
    k.Init("arm", "JXRPivra4", kFixture, 0);
    ClearLimits(k);
    const Joints user = Arm(20, -10, 50, 5);
    k.SetJoints(user.data(), false);
    EXPECT_FLOAT_EQ(30.0f, k.currentJoints[0]);
    EXPECT_FLOAT_EQ(10.0f, k.currentJoints[1]);
    EXPECT_FLOAT_EQ(45.0f, k.currentJoints[2]);
    const Matrix44 pose = k.currentPosition;
    Joints ext{};
    k.SetPosition(pose, ext.data());
    ExpectJointsNear(user, UserJointsOf(k), 4, 1e-3f);
}

struct IniFileFault {
    const char* name;
    const char* removeElement;  // element dropped from the complete file; nullptr: see content
    const char* content;        // whole file when removeElement is nullptr; nullptr: no file
    const char* line;
    const char* reason;
};

void PrintTo(const IniFileFault& v, std::ostream* os) { *os << v.name; }

class Pivra4IniFaultTest : public Pivra4Test, public ::testing::WithParamInterface<IniFileFault> {};

TEST_P(Pivra4IniFaultTest, LogsSetsTheReasonAndKeepsDefaults) {
    const IniFileFault& f = GetParam();
    TestSupport::TempDataRoot root;
    std::string path = root.Path() + "/missing/robot.xml";
    if (f.removeElement != nullptr) {
        std::string text = TestSupport::ReadWholeFile(kFixture);
        const size_t begin = text.find(std::string("<") + f.removeElement + " ");
        ASSERT_NE(std::string::npos, begin);
        text.erase(begin, text.find("/>", begin) + 2 - begin);
        path = root.WriteFile("robot.xml", text);
    } else if (f.content != nullptr) {
        path = root.WriteFile("robot.xml", f.content);
    }

    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    TestSupport::LogCapture log;
    RobotKinematicPivra4 k;
    k.Init("arm", "JXRPivra4", path, 0);

    EXPECT_TRUE(log.Contains(f.line)) << log.Joined();
    EXPECT_EQ(f.reason, LogSingleton::instance()->get_seriousFailReason());
    EXPECT_EQ(OPMODE_SERIOUS_FAILURE, LogSingleton::instance()->get_opMode());
    // The object stays usable.
    k.SetJoints(Arm(0, -20, 110, 0).data(), false);
    EXPECT_TRUE(AllFinite(k.currentPosition.m, 16));
    if (f.removeElement != nullptr) {
        // Elements after the missing one are still read.
        EXPECT_EQ(std::string(f.removeElement) == "SINGULARITIES" ? 5.0f : 7.0f, k.singularityCenter);
        EXPECT_EQ(std::string(f.removeElement) == "Kinematic" ? 158.0f : 150.0f, k.lz0);
    } else {
        EXPECT_EQ(158.0f, k.lz0);
        EXPECT_EQ(5.0f, k.singularityCenter);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Pivra4IniFaultTest,
    ::testing::Values(
        IniFileFault{"NoFile", nullptr, nullptr, "RobotKinematicPivra4: could not find robot ini file: ",
                 "51 Robot Ini not found"},
        IniFileFault{"NotXml", nullptr, "<Robot><Kinematic lz0=\"1\"></Robot>",
                 "RobotKinematicPivra4: could not read robot ini file correctly: ", "52 Robot Ini not valid"},
        IniFileFault{"NoRoot", nullptr, "<?xml version=\"1.0\"?>\n<Robots><Kinematic lz0=\"1\"/></Robots>\n",
                 "RobotKinematicPivra4: line Robot not found in robot ini file!", "53 Robot Ini not complete"},
        IniFileFault{"NoKinematic", "Kinematic", nullptr, "RobotKinematicPivra4: line Kinematic not found in robot ini file!",
                 "54 Robot Ini not complete"},
        IniFileFault{"NoSoftwareMinMax", "SoftwareMinMax", nullptr,
                 "RobotKinematicPivra4: line SoftwareMinMax not found in robot ini file!", "55 Robot Ini not complete"},
        IniFileFault{"NoJointVelocities", "JointVelocities", nullptr,
                 "RobotKinematic: line JointVelocities not found in robot ini file!", "56 Robot Ini not complete"},
        IniFileFault{"NoManufacturerJointConfig", "ManufacturerJointConfig", nullptr,
                 "RobotKinematicPivra4: line ManufacturerJointConfig not found in robot ini file!",
                 "58 Robot Ini not complete"},
        IniFileFault{"NoSingularities", "SINGULARITIES", nullptr,
                 "RobotKinematicPivra4: line \"SINGULARITIES\" not found in robot ini file!",
                 "59 Robot Ini not complete"}),
    [](const ::testing::TestParamInfo<IniFileFault>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Copies.

TEST_F(Pivra4Test, CloneCopiesGeometryAndConfigurationAndStaysIndependent) {
    RobotKinematicPivra4 original;
    original.Init("arm", "JXRPivra4", kFixture, 0);
    ClearLimits(original);
    original.SetJoints(Arm(-120, 35, -70, 25).data(), false);  // over the back
    original.ikErrorLogged = true;

    std::unique_ptr<RobotKinematic> copy = original.clone();
    auto* c = dynamic_cast<RobotKinematicPivra4*>(copy.get());
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(original.lz0, c->lz0);
    EXPECT_EQ(original.lz1, c->lz1);
    EXPECT_EQ(original.lz2, c->lz2);
    EXPECT_EQ(original.lz3, c->lz3);
    EXPECT_EQ(original.lz4, c->lz4);
    EXPECT_EQ(original.singularityCenter, c->singularityCenter);
    EXPECT_EQ(original.singularityEllbow, c->singularityEllbow);
    EXPECT_EQ(original.elbowPositive, c->elbowPositive);
    EXPECT_FALSE(c->wristInFront);
    EXPECT_TRUE(c->ikErrorLogged);
    EXPECT_EQ(0.0, Distance(original.wristPoint, c->wristPoint));

    // The copy solves the same pose in the same configuration.
    const Matrix44 pose = original.currentPosition;
    Joints ext{};
    c->SetPosition(pose, ext.data());
    original.SetPosition(pose, ext.data());
    ExpectJointsNear(UserJointsOf(original), UserJointsOf(*c), 9, 0.0f);

    original.lz2 = 500.0f;
    original.SetJoints(Arm(0, -20, 110, 0).data(), false);
    EXPECT_EQ(200.0f, c->lz2);
    EXPECT_FALSE(c->wristInFront);
}

}  // namespace
