#include "kinematics/RobotKinematicPivra5.h"

#include "core/LogSingleton.h"
#include "testsupport/KinematicChecks.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

using namespace TestSupport;

const std::string kFixtures = std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/pivra5/";
const std::string kUprightToFree =
    "ToolComp type2: cannot change from upright motion to free motion. Please use joint command in between!";

Joints UserJoints(float a1, float a2, float a3, float a4, float a5) {
    return Joints{a1, a2, a3, a4, a5, 0.0f, 0.0f, 0.0f, 0.0f};
}

// Difference of two angles in degrees, folded into [-180, 180].
double AngleDiffDeg(double a, double b) {
    double d = std::fmod(a - b, 360.0);
    if (d > 180.0) d -= 360.0;
    if (d < -180.0) d += 360.0;
    return d;
}

// Horizontal angle between the flange axis and the vertical plane through the base axis
// and the flange point, degrees; 0 means the axis lies in the arm plane (either way).
double FlangeAxisOffPlaneDeg(const Matrix44& flange) {
    const double ax = flange(0, 2), ay = flange(1, 2);
    const double px = flange(0, 3), py = flange(1, 3);
    double e = std::atan2(ax * py - ay * px, ax * px + ay * py);
    if (e > M_PI / 2) e -= M_PI;
    if (e < -M_PI / 2) e += M_PI;
    return std::fabs(e) * 180.0 / M_PI;
}

// A pose from a translation and A, B, C in degrees.
Matrix44 Pose(float x, float y, float z, double a, double b, double c) {
    Matrix44 m;
    m.SetRotationABCDeg2(a, b, c);
    m.SetTranslation(x, y, z);
    return m;
}

class Pivra5Test : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("");
        k.cycleTimeMS = 4.0;
    }

    void InitFrom(const std::string& file) {
        k.Init("Arm", "JXRPivra5", kFixtures + file, 0);
        k.cycleTimeMS = 4.0;
    }

    Joints UserOf() const { return UserJointsOf(k); }

    // Pose after SetJoints with check off.
    Matrix44 Fk(const Joints& user) {
        k.SetJoints(user.data(), false);
        return k.currentPosition;
    }

    RobotKinematicPivra5 k;
};

// ---------------------------------------------------------------------------------------
// Forward kinematics

struct FkCase {
    const char* name;
    Joints user;
    float ly0;
    Vector3 flange;
    Vector3 approach;  // flange z axis
    Vector3 wrist;
};

TEST_F(Pivra5Test, ForwardKinematicsPlacesFlangeAndWrist) {
    const FkCase cases[] = {
        {"arm forward, forearm down", UserJoints(0, 30, 0, 0, 0), 0.0f, {283.253f, 0, 439.059f},
         {0.866f, 0, -0.5f}, {213.971f, 0, 479.059f}},
        {"turned by A1", UserJoints(90, 30, 0, 0, 0), 0.0f, {0, 283.253f, 439.059f}, {0, 0.866f, -0.5f},
         {0, 213.971f, 479.059f}},
        {"hand offset sideways", UserJoints(0, 30, 0, 0, 0), 25.0f, {283.253f, 25.0f, 439.059f},
         {0.866f, 0, -0.5f}, {213.971f, 0, 479.059f}},
        {"hand pitched level", UserJoints(0, 30, 0, -30, 0), 0.0f, {293.971f, 0, 479.059f}, {1, 0, 0},
         {213.971f, 0, 479.059f}},
        {"arm upright", UserJoints(0, 0, -90, 0, 0), 0.0f, {0, 0, 673.45f}, {0, 0, 1}, {0, 0, 593.45f}},
        {"reaching over the base", UserJoints(30, -60, -60, 20, 45), 0.0f, {-294.016f, -169.75f, 491.206f},
         {-0.150f, -0.087f, 0.985f}, {-281.986f, -162.804f, 412.421f}},
    };
    for (const FkCase& c : cases) {
        SCOPED_TRACE(c.name);
        k.ly0 = c.ly0;
        const Matrix44 pose = Fk(c.user);
        EXPECT_LT(Distance(pose.GetTranslation(), c.flange), 0.01);
        EXPECT_LT(Distance(pose.GetColumnVector(2), c.approach), 0.001);
        EXPECT_LT(Distance(k.wristPoint, c.wrist), 0.01);
        for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
            EXPECT_FLOAT_EQ(k.currentJoints[i], c.user[i] + (i == 2 ? 90.0f : 0.0f)) << "joint " << i;
        }
    }
}

TEST_F(Pivra5Test, TcpXDirToFrontTurnsFlangeHalfARevolution) {
    const Joints user = UserJoints(20, 30, 10, -15, 35);
    const Matrix44 back = Fk(user);
    k.TCPXDirToFront = true;
    const Matrix44 front = Fk(user);

    EXPECT_LT(Distance(front.GetTranslation(), back.GetTranslation()), 1e-3);
    EXPECT_LT(Distance(front.GetColumnVector(2), back.GetColumnVector(2)), 1e-5);
    EXPECT_LT(Distance(front.GetColumnVector(0), -back.GetColumnVector(0)), 1e-5);
    EXPECT_LT(Distance(front.GetColumnVector(1), -back.GetColumnVector(1)), 1e-5);
}

TEST_F(Pivra5Test, ToolAndDependentLinearAxisShiftTheToolPose) {
    const Joints user = UserJoints(0, 30, 0, 0, 0);
    const Matrix44 flange = Fk(user);

    SetTool(k, 0, 0, 100, 0, 0, 0);
    k.AddExternalAxis(DependentAxis(90, 50.0));
    Joints withTrack = user;
    withTrack[6] = 300.0f;
    const Matrix44 tcp = Fk(withTrack);

    const Vector3 expected = flange.GetTranslation() + flange.GetColumnVector(2) * 100.0f + Vector3(-300, 0, 50);
    EXPECT_LT(Distance(tcp.GetTranslation(), expected), 1e-3);
    EXPECT_FLOAT_EQ(k.currentJoints[6], 300.0f);

    // The inverse removes the track offset again and keeps the target as the stored pose.
    k.SetPosition(tcp, withTrack.data());
    const Joints back = UserOf();
    for (int i = 0; i < 5; ++i) {
        EXPECT_NEAR(back[i], user[i], 1e-3) << "joint " << i;
    }
    EXPECT_FLOAT_EQ(back[6], 300.0f);
    EXPECT_TRUE(k.currentPosition.Equals(tcp, 0.0f));
}

// ---------------------------------------------------------------------------------------
// Inverse kinematics with the default geometry

TEST_F(Pivra5Test, InverseGivesBackTheJointsOfTheReferencePose) {
    struct Case {
        const char* name;
        bool front;
        Joints user;
    } cases[] = {
        {"reference pose", false, UserJoints(0, 30, 0, 0, 0)},
        {"reference pose, flange x to the front", true, UserJoints(0, 30, 0, 0, 0)},
        {"rolled flange, x to the front", true, UserJoints(0, 30, 0, 0, -120)},
        {"rolled flange, x to the front, other side", true, UserJoints(10, 30, 0, 0, 150)},
        {"rolled flange, legacy x", false, UserJoints(-25, 40, -20, 30, 95)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        k.TCPXDirToFront = c.front;
        const Matrix44 pose = Fk(c.user);
        Joints current = c.user;
        k.SetPosition(pose, current.data());
        const Joints back = UserOf();
        for (int i = 0; i < 5; ++i) {
            EXPECT_NEAR(back[i], c.user[i], 1e-4) << "joint " << i;
        }
        EXPECT_TRUE(k.currentPosition.Equals(pose, 0.0f));
    }
}

TEST_F(Pivra5Test, WristBehindBaseAxisFlipsConfigurationAndSolvesBack) {
    const Joints user = UserJoints(0, -60, 10, 25, 30);  // internal A3 = 100
    const Matrix44 pose = Fk(user);
    EXPECT_LT(k.wristPoint.x, 0.0f);
    EXPECT_FALSE(k.wristInFront);
    EXPECT_FALSE(k.elbowPositive);  // A3 >= 0, inverted behind the axis

    Joints current = user;
    k.SetPosition(pose, current.data());
    const Joints back = UserOf();
    for (int i = 0; i < 5; ++i) {
        EXPECT_NEAR(AngleDiffDeg(back[i], user[i]), 0.0, 1e-3) << "joint " << i;
    }
}

TEST_F(Pivra5Test, CenterSingularityThrows21AndLogsOnceUntilASuccess) {
    const Matrix44 upright = Fk(UserJoints(0, 0, 0, 0, 0));  // wrist 45 mm from the base axis
    const Matrix44 reachable = Fk(UserJoints(0, 30, 0, 0, 0));
    const Joints before = UserOf();
    Joints current = before;

    TestSupport::LogCapture log;
    for (int call = 0; call < 2; ++call) {
        try {
            k.SetPosition(upright, current.data());
            FAIL() << "no throw";
        } catch (int code) {
            EXPECT_EQ(code, KinematicError::CenterSingularity);
        }
    }
    EXPECT_EQ(log.Count("Kinematic Error: too close to center axis! 45.0 0 100"), 1);
    EXPECT_TRUE(k.currentPosition.Equals(reachable, 0.0f));
    EXPECT_EQ(UserOf(), before);

    k.SetPosition(reachable, current.data());
    EXPECT_THROW(k.SetPosition(upright, current.data()), int);
    EXPECT_EQ(log.Count("too close to center axis"), 2);
}

TEST_F(Pivra5Test, RejectedCallsKeepJointsAndPose) {
    InitFrom("robot_pivra5.xml");
    const Joints start = UserJoints(10, 30, 0, 10, 20);
    Fk(start);
    const Matrix44 startPose = k.currentPosition;

    Matrix44 farAway = startPose;
    farAway.SetTranslation(600, 80, 300);
    Matrix44 halfway = startPose;
    halfway.SetTranslation(200, 40, 450);

    struct Case {
        const char* name;
        int expected;
        bool inverse;
        Joints joints;
        Matrix44 target;
        bool box;
    } cases[] = {
        {"target out of reach", KinematicError::OutOfReach, true, start, farAway, false},
        {"joint beyond its maximum", KinematicError::JointAboveMax, false, UserJoints(10, 185, 0, 10, 20),
         Matrix44(), false},
        {"joint target outside the box", KinematicError::VirtualBoxXMinus, false, UserJoints(90, 30, 0, 10, 20),
         Matrix44(), true},
        {"cartesian target outside the box", KinematicError::VirtualBoxZPlus, true, start, halfway, true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        k.virtualBoxActive = c.box;
        k.virtualBoxMin = Vector3(100, -300, 0);
        k.virtualBoxMax = Vector3(500, 300, 350);
        try {
            if (c.inverse) {
                k.SetPosition(c.target, c.joints.data());
            } else {
                k.SetJoints(c.joints.data(), true);
            }
            ADD_FAILURE() << "no throw";
        } catch (int code) {
            EXPECT_EQ(code, c.expected);
        }
        EXPECT_TRUE(k.currentPosition.Equals(startPose, 0.0f));
        EXPECT_EQ(UserOf(), start);
    }
}

// An approach axis perpendicular to the arm plane has no projection into it; such a
// target must be refused instead of being solved on zero rotation columns.
TEST_F(Pivra5Test, StandardHandlingRefusesApproachAxisPerpendicularToArmPlane) {
    const Matrix44 reachable = Fk(UserJoints(0, 30, 0, 0, 0));
    const Joints before = UserOf();

    auto frame = [](const Vector3& x, const Vector3& y, const Vector3& z, const Vector3& t) {
        return Matrix44(x, y, z, t);
    };
    const float s = std::sqrt(0.5f);
    struct Case {
        const char* name;
        Matrix44 target;
    } cases[] = {
        {"approach along +y, point on the x axis", frame({0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {300, 0, 400})},
        {"approach along -y, point on the x axis", frame({0, 0, -1}, {1, 0, 0}, {0, -1, 0}, {300, 0, 400})},
        {"approach across a 45 degree arm plane", frame({0, 0, 1}, {s, s, 0}, {-s, s, 0}, {200, 200, 400})},
        {"zero rotation", frame({0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {300, 0, 400})},
        {"y column along the approach axis", frame({0, 0, 1}, {1, 0, 0}, {1, 0, 0}, {300, 0, 400})},
    };
    TestSupport::LogCapture log;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Joints current = before;
        try {
            k.SetPosition(c.target, current.data());
            ADD_FAILURE() << "no throw";
        } catch (int code) {
            EXPECT_EQ(code, KinematicError::OutOfReach);
        }
        EXPECT_TRUE(k.currentPosition.Equals(reachable, 0.0f));
        EXPECT_EQ(UserOf(), before);
    }
    EXPECT_EQ(log.Count("InvKin: OutofReach"), 1);
}

TEST_F(Pivra5Test, StandardHandlingProjectsApproachAxisIntoArmPlane) {
    // Reference pose turned by 20 degrees about its own x axis: the approach axis leans
    // out of the x-z plane; the solution keeps the pitch and drops the sideways lean.
    const Matrix44 reference = Fk(UserJoints(0, 30, 0, 0, 0));
    Matrix44 lean;
    lean.SetRotationDeg(Matrix44::X, 20.0);
    Matrix44 target = lean * reference;  // reference·lean
    target.SetTranslation(reference.GetTranslation());

    Joints current = UserJoints(0, 30, 0, 0, 0);
    k.SetPosition(target, current.data());
    EXPECT_TRUE(k.currentPosition.Equals(target, 0.0f));  // the stored pose is the target

    const Matrix44 reached = Fk(UserOf());
    EXPECT_LT(Distance(reached.GetTranslation(), target.GetTranslation()), 1e-3);
    const Vector3 z = target.GetColumnVector(2);
    Vector3 projected(z.x, 0.0f, z.z);
    projected.Normalize();
    EXPECT_LT(Distance(reached.GetColumnVector(2), projected), 1e-5);
}

// ---------------------------------------------------------------------------------------
// Round trip FK(IK(FK(q))) = FK(q) over the working range

struct RoundTripConfig {
    const char* name;
    bool front;
    int handling;
    bool tool;
};

class Pivra5RoundTrip : public Pivra5Test, public ::testing::WithParamInterface<RoundTripConfig> {};

TEST_P(Pivra5RoundTrip, RandomJointSetsSolveBackWithinMicrometres) {
    const RoundTripConfig cfg = GetParam();
    InitFrom("robot_pivra5.xml");
    k.TCPXDirToFront = cfg.front;
    k.wristRedundancyHandling = cfg.handling;
    if (cfg.tool) {
        SetTool(k, 30, -20, 110, 30, 20, 10);
    }

    std::mt19937 rng(0x5eed5u);
    // The whole circle, folded elbow (internal A3 near +-180) and +-180 wrap included.
    std::uniform_real_distribution<float> a1(-180.0f, 180.0f), a2(-150.0f, 150.0f), a3(-180.0f, 180.0f),
        a45(-180.0f, 180.0f);
    // Stay clear of the refused regions so that float rounding cannot push a sample across.
    const float center = k.singularityCenter + 5.0f;
    const float reach = (k.lz2 + k.lz3) - k.singularityEllbow - 2.0f;
    const float shoulder = k.lz0 + k.lz1;

    const int wanted = 20000;
    int solved = 0;
    double worstMm = 0.0, worstDeg = 0.0, worstJoint = 0.0;
    for (int draw = 0; solved < wanted && draw < 20 * wanted; ++draw) {
        const float q[5] = {a1(rng), a2(rng), a3(rng), a45(rng), a45(rng)};
        const Joints user = UserJoints(q[0], q[1], q[2] - 90.0f, q[3], q[4]);
        const Matrix44 pose = Fk(user);
        const Vector3 w = k.wristPoint;
        const float d = std::sqrt(w.x * w.x + w.y * w.y + (w.z - shoulder) * (w.z - shoulder));
        if ((std::fabs(w.x) < center && std::fabs(w.y) < center) || d > reach) {
            continue;
        }
        ++solved;
        Joints current = user;
        k.SetPosition(pose, current.data());
        const Joints back = UserOf();
        const Matrix44 again = Fk(back);

        const double mm = Distance(again.GetTranslation(), pose.GetTranslation());
        const double deg = RotationDiffDeg(again, pose);
        double joint = 0.0;
        for (int i = 0; i < 5; ++i) {
            joint = std::max(joint, std::fabs(AngleDiffDeg(back[i], user[i])));
        }
        worstMm = std::max(worstMm, mm);
        worstDeg = std::max(worstDeg, deg);
        worstJoint = std::max(worstJoint, joint);
        // Near the folded elbow the joints are ill-conditioned (the pose is not): there only
        // the pose counts.
        const double jointTol = std::fabs(std::remainder(q[2], 360.0f)) > 170.0f ? 360.0 : 1e-3;
        if (mm > 1e-3 || deg > 1e-3 || joint > jointTol) {
            ADD_FAILURE() << "joints " << user[0] << " " << user[1] << " " << user[2] << " " << user[3] << " "
                          << user[4] << ": " << mm << " mm, " << deg << " deg, joints off by " << joint;
            break;
        }
    }
    EXPECT_EQ(solved, wanted);
    RecordProperty("worst_mm", std::to_string(worstMm));
    RecordProperty("worst_deg", std::to_string(worstDeg));
    RecordProperty("worst_joint_deg", std::to_string(worstJoint));
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, Pivra5RoundTrip,
    ::testing::Values(RoundTripConfig{"StandardLegacyX", false, RobotKinematicPivra5::WristStandard, false},
                      RoundTripConfig{"StandardFrontX", true, RobotKinematicPivra5::WristStandard, false},
                      RoundTripConfig{"Type2LegacyXWithTool", false, RobotKinematicPivra5::WristType2, true},
                      RoundTripConfig{"Type2FrontXWithTool", true, RobotKinematicPivra5::WristType2, true}),
    [](const ::testing::TestParamInfo<RoundTripConfig>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Continuity: the joint nearest the current one, the folded elbow, straight paths

TEST_F(Pivra5Test, TargetPastHalfTurnTakesTheEquivalentNearestTheCurrentJoint) {
    struct Case {
        const char* name;
        int joint;
        Joints from;  // user joints, the named joint just short of +180
    } cases[] = {
        {"A1", 0, UserJoints(179.95f, 30, 10, 20, 40)},
        {"A4", 3, UserJoints(20, 30, 10, 179.95f, 40)},
        {"A5", 4, UserJoints(20, 30, 10, 20, 179.95f)},
    };
    for (const Case& c : cases) {
        for (const float limit : {180.0f, 270.0f}) {
            SCOPED_TRACE(testing::Message() << c.name << ", limits +-" << limit);
            InitFrom("robot_pivra5.xml");
            k.jointMinMax[c.joint][0] = -limit;
            k.jointMinMax[c.joint][1] = limit;
            Joints past = c.from;
            past[c.joint] = -179.95f;  // 0.1 degree further on
            const Matrix44 target = Fk(past);
            k.SetJoints(c.from.data(), true);
            Joints current = c.from;
            if (limit < 180.05f) {
                EXPECT_THROW(
                    try { k.SetPosition(target, current.data()); } catch (int code) {
                        EXPECT_EQ(14, code);
                        throw;
                    },
                    int);
                EXPECT_FLOAT_EQ(179.95f, UserOf()[c.joint]);
                continue;
            }
            k.SetPosition(target, current.data());
            const Joints back = UserOf();
            for (int i = 0; i < 5; ++i) {
                EXPECT_NEAR(i == c.joint ? 180.05f : c.from[i], back[i], 1e-3) << "joint " << i;
            }
        }
    }
}

TEST_F(Pivra5Test, ElbowBentPastTheFoldedArmKeepsItsSide) {
    InitFrom("robot_pivra5.xml");
    k.jointMinMax[2][0] = k.jointMinMax[2][1] = 0.0f;
    // Internal A3 200 degrees: 20 degrees past the folded arm, the negative elbow side.
    const Joints start = UserJoints(10, 40, 110, 30, 0);
    const Matrix44 pose = Fk(start);
    EXPECT_FALSE(k.elbowPositive);
    Matrix44 target = pose;
    target(2, 3) += 0.1f;
    Joints current = start;
    k.SetPosition(target, current.data());
    const Joints back = UserOf();
    for (int i = 0; i < 5; ++i) {
        EXPECT_NEAR(start[i], back[i], 1.0) << "joint " << i;
    }
}

TEST_F(Pivra5Test, NonFiniteTargetThrowsAndKeepsState) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* name;
        int row, col;
        float value;
    } cases[] = {{"R(0,0) NaN", 0, 0, nan}, {"R(1,0) inf", 1, 0, inf},   {"R(2,1) -inf", 2, 1, -inf},
                 {"R(2,2) NaN", 2, 2, nan}, {"x NaN", 0, 3, nan},        {"z -inf", 2, 3, -inf}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InitFrom("robot_pivra5.xml");
        const Joints start = UserJoints(10, 30, 0, 20, 40);
        const Matrix44 pose = Fk(start);
        Matrix44 target = pose;
        target(c.row, c.col) = c.value;
        Joints current = start;
        EXPECT_THROW(
            try { k.SetPosition(target, current.data()); } catch (int code) {
                EXPECT_EQ(50, code);
                throw;
            },
            int);
        EXPECT_TRUE(k.currentPosition.Equals(pose, 0.0f));
        const Joints after = UserOf();
        for (int i = 0; i < 5; ++i) {
            EXPECT_FLOAT_EQ(start[i], after[i]) << "joint " << i;
        }
    }
}

// Straight lines between random poses in 0.1 mm steps, the orientation of the start pose
// kept: no joint moves more than 5 degrees in a step unless the step touches a singular
// zone (wrist near the centre zone, near full stretch or the folded elbow, or the approach
// axis nearly perpendicular to the arm plane, where the projection has no direction).
TEST_F(Pivra5Test, StraightPathsMoveEveryJointContinuously) {
    InitFrom("robot_pivra5.xml");
    for (auto& limits : k.jointMinMax) {
        limits[0] = limits[1] = 0.0f;  // paths may leave the working range; continuity is checked
    }
    RobotKinematicPivra5 probe;
    probe.clone(&k);
    const float shoulder = k.lz0 + k.lz1;
    const float stretch = k.lz2 + k.lz3 - k.singularityEllbow;
    const float fold = k.lz2 - k.lz3;

    auto singular = [&](const Matrix44& target, const Vector3& w) {
        const float d = std::sqrt(w.x * w.x + w.y * w.y + (w.z - shoulder) * (w.z - shoulder));
        const double phi = std::atan2(target(1, 3), target(0, 3));
        const double inPlane = std::hypot(target(0, 2) * std::cos(phi) + target(1, 2) * std::sin(phi), target(2, 2));
        return std::max(std::fabs(w.x), std::fabs(w.y)) < k.singularityCenter + 5.0f || d > stretch - 2.0f ||
               d < fold + 2.0f || inPlane < 0.3;
    };

    std::mt19937 rng(4242u);
    std::uniform_real_distribution<float> a1(-180.0f, 180.0f), a2(-90.0f, 90.0f), a3(-170.0f, 170.0f),
        a45(-180.0f, 180.0f), delta(-25.0f, 25.0f);
    int checked = 0;
    int paths = 0;
    double worst = 0.0;
    for (int draw = 0; paths < 150 && draw < 5000; ++draw) {
        const Joints from = UserJoints(a1(rng), a2(rng), a3(rng), a45(rng), a45(rng));
        Joints to = from;
        for (int i = 0; i < 3; ++i) to[i] += delta(rng);
        const Matrix44 start = Fk(from);
        if (singular(start, k.wristPoint)) continue;
        probe.SetJoints(to.data(), false);
        const Vector3 a = start.GetTranslation();
        const Vector3 b = probe.currentPosition.GetTranslation();
        const double length = Distance(a, b);
        if (length > 150.0) continue;
        ++paths;
        const int steps = static_cast<int>(length / 0.1) + 1;
        Joints prev = UserOf();
        bool prevRegular = true;
        for (int n = 1; n <= steps; ++n) {
            const float f = static_cast<float>(n) / steps;
            Matrix44 target = start;
            target.SetTranslation(a.x + (b.x - a.x) * f, a.y + (b.y - a.y) * f, a.z + (b.z - a.z) * f);
            Joints current = prev;
            try {
                k.SetPosition(target, current.data());
            } catch (int) {
                prevRegular = false;  // refused: the next step starts afresh
                continue;
            }
            const Joints now = UserOf();
            const bool regular = !singular(target, k.wristPoint);
            if (regular && prevRegular) {
                ++checked;
                for (int i = 0; i < 5; ++i) {
                    const double step = std::fabs(now[i] - prev[i]);
                    worst = std::max(worst, step);
                    if (step > 5.0) {
                        ADD_FAILURE() << "joint " << i << " steps " << step << " deg at n " << n << " of path from "
                                      << from[0] << " " << from[1] << " " << from[2] << " " << from[3] << " "
                                      << from[4];
                        return;
                    }
                }
            }
            prev = now;
            prevRegular = regular;
        }
    }
    EXPECT_EQ(150, paths);
    EXPECT_GT(checked, 60000);
    RecordProperty("worst_step_deg", std::to_string(worst));
}

// ---------------------------------------------------------------------------------------
// Type-2 wrist redundancy handling

class Pivra5Type2Test : public Pivra5Test {
protected:
    void SetUp() override {
        Pivra5Test::SetUp();
        k.wristRedundancyHandling = RobotKinematicPivra5::WristType2;
    }
};

TEST_F(Pivra5Type2Test, UprightTargetBlocksTiltedTargetUntilAJointMove) {
    // Hand pointing straight down in front of the arm.
    const Matrix44 upright = Pose(300, 0, 300, 0, 180, 0);
    Matrix44 tilted = Pose(300, 0, 300, 30, 170, 0);
    Joints current = UserJoints(0, 30, 0, 0, 0);
    EXPECT_EQ(k.type2MotionState, RobotKinematicPivra5::Type2None);

    k.SetPosition(upright, current.data());
    EXPECT_EQ(k.type2MotionState, RobotKinematicPivra5::Type2Upright);
    const Joints solvedUpright = UserOf();
    const Matrix44 reached = Fk(solvedUpright);
    EXPECT_LT(Distance(reached.GetTranslation(), upright.GetTranslation()), 1e-3);
    EXPECT_LT(RotationDiffDeg(reached, upright), 1e-3);  // solved unchanged

    k.SetPosition(upright, current.data());  // the state is entered, not toggled
    try {
        k.SetPosition(tilted, current.data());
        FAIL() << "no throw";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), kUprightToFree);
    }
    EXPECT_EQ(UserOf(), solvedUpright);

    k.SetJoints(solvedUpright.data(), true);
    EXPECT_EQ(k.type2MotionState, RobotKinematicPivra5::Type2Free);
    EXPECT_NO_THROW(k.SetPosition(tilted, current.data()));
    EXPECT_EQ(k.type2MotionState, RobotKinematicPivra5::Type2Free);
}

TEST_F(Pivra5Type2Test, TargetAlreadyInArmPlaneIsSolvedUnchanged) {
    const Joints user = UserJoints(0, 30, 0, 20, 60);
    const Matrix44 pose = Fk(user);
    k.type2MotionState = RobotKinematicPivra5::Type2None;
    EXPECT_EQ(k.GetErrorForAngle(0.0, pose), 0.0);

    const Matrix44 flange = k.LimitOrientationType2(pose);
    EXPECT_TRUE(flange.Equals(pose, 1e-6f));
    EXPECT_EQ(k.type2MotionState, RobotKinematicPivra5::Type2Free);

    Joints current = user;
    k.SetPosition(pose, current.data());
    const Joints back = UserOf();
    for (int i = 0; i < 5; ++i) {
        EXPECT_NEAR(back[i], user[i], 1e-4) << "joint " << i;
    }
}

TEST_F(Pivra5Type2Test, TurnsToolAboutVerticalUntilFlangeAxisLiesInArmPlane) {
    InitFrom("robot_pivra5.xml");
    k.wristRedundancyHandling = RobotKinematicPivra5::WristType2;
    SetTool(k, 40, 25, 120, 30, -10, 15);

    std::mt19937 rng(0x7e2u);
    std::uniform_real_distribution<float> a1(-170.0f, 170.0f), a2(-60.0f, 80.0f), a3(70.0f, 160.0f),
        a4(-100.0f, 100.0f), a5(-170.0f, 170.0f), tilt(-30.0f, 30.0f), unit(-1.0f, 1.0f);
    const int wanted = 3000;
    int searched = 0, refused = 0, solved = 0;
    double worstPlaneDeg = 0.0, worstMm = 0.0;
    for (int draw = 0; searched < wanted && draw < 10 * wanted; ++draw) {
        const Joints user = UserJoints(a1(rng), a2(rng), a3(rng) - 90.0f, a4(rng), a5(rng));
        Matrix44 target = Fk(user);
        // Turn the tool about a random axis through its point: in general the flange axis
        // then leaves the arm plane.
        Vector3 axis(unit(rng), unit(rng), unit(rng));
        if (axis.Magnitude() < 0.2f) {
            continue;
        }
        axis.Normalize();
        const Vector3 tcp = target.GetTranslation();
        target.RotateAxisAngle(axis, tilt(rng));
        target.SetTranslation(tcp);
        const Matrix44 targetFlange = k.tool.toolMatrixInverse * target;
        if (std::hypot(targetFlange(0, 2), targetFlange(1, 2)) < 0.05) {
            continue;  // upright targets are solved unchanged, covered above
        }
        ++searched;

        Matrix44 flange;
        try {
            flange = k.LimitOrientationType2(target);
        } catch (int code) {
            EXPECT_EQ(code, KinematicError::OutOfReach);
            ++refused;  // no turn within the goal (checked for one case below)
            continue;
        }
        const double planeDeg = FlangeAxisOffPlaneDeg(flange);
        const Matrix44 tool = k.tool.toolMatrix * flange;
        worstPlaneDeg = std::max(worstPlaneDeg, planeDeg);
        ASSERT_LE(planeDeg, 0.005) << "sample " << searched;
        ASSERT_LT(Distance(tool.GetTranslation(), tcp), 1e-3) << "sample " << searched;
        // Only a turn about the vertical: the z axis of the change stays vertical.
        const Matrix44 change = target.Inverse() * tool;  // tool·target⁻¹
        ASSERT_LT(Distance(change.GetColumnVector(2), Vector3(0, 0, 1)), 1e-5) << "sample " << searched;

        Joints current = user;
        try {
            k.SetPosition(target, current.data());
        } catch (int) {
            continue;  // the turned flange may leave the reachable space
        }
        ++solved;
        // The joints reach that pose up to what the residual off-plane angle allows: seen
        // from the wrist point's plane it grows by up to about 1.4, and it acts over the
        // hand, the tool and that lateral shift (about 330 mm at most here).
        const Matrix44 reached = Fk(UserOf());
        const double mm = Distance(reached.GetTranslation(), tcp);
        worstMm = std::max(worstMm, mm);
        ASSERT_LT(mm, 1e-3 + 500.0 * planeDeg * M_PI / 180.0) << "sample " << searched;
        ASSERT_LT(RotationDiffDeg(reached, tool), 1e-3 + 2.0 * planeDeg) << "sample " << searched;
    }
    EXPECT_EQ(searched, wanted);
    EXPECT_LT(refused, wanted / 20);
    EXPECT_GT(solved, wanted / 2);
    RecordProperty("worst_plane_deg", std::to_string(worstPlaneDeg));
    RecordProperty("worst_mm", std::to_string(worstMm));
}

// With the tool point closer to the base axis than the flange sits beside the tool axis, no
// turn about the vertical brings the flange axis into the arm plane. Solving the best turn
// anyway would put the tool point elsewhere; the target is refused instead.
TEST_F(Pivra5Type2Test, RefusesTargetNoTurnBringsIntoArmPlane) {
    SetTool(k, 0, 150, 0, 0, 0, 0);
    const Matrix44 target = Pose(50, 0, 400, 0, 150, 0);
    double closest = M_PI;
    for (int i = 0; i < 3600; ++i) {
        closest = std::min(closest, k.GetErrorForAngle(i * M_PI / 1800.0, target));
    }
    ASSERT_GT(closest * 180.0 / M_PI, 1.0);

    const Matrix44 before = Fk(UserJoints(0, 30, 0, 0, 0));
    const Joints beforeJoints = UserOf();
    Joints current = beforeJoints;
    TestSupport::LogCapture log;
    for (int call = 0; call < 2; ++call) {
        try {
            k.SetPosition(target, current.data());
            ADD_FAILURE() << "no throw";
        } catch (int code) {
            EXPECT_EQ(code, KinematicError::OutOfReach);
        }
    }
    EXPECT_EQ(log.Count("InvKin: OutofReach"), 1);
    EXPECT_EQ(k.type2MotionState, RobotKinematicPivra5::Type2Free);
    EXPECT_TRUE(k.currentPosition.Equals(before, 0.0f));
    EXPECT_EQ(UserOf(), beforeJoints);
}

TEST_F(Pivra5Type2Test, RotateFlangeZRefusesZeroRotationColumn) {
    Matrix44 broken = Pose(300, 0, 400, 0, 120, 0);
    broken.SetColumnVector(1, Vector3(0, 0, 0));
    try {
        k.RotateFlangeZ(0.3, broken);
        FAIL() << "no throw";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Tried to normalize matrix with zero column");
    }
}

// ---------------------------------------------------------------------------------------
// Robot ini file, Init and clone

TEST_F(Pivra5Test, InitReadsGeometryLimitsAndOptionsFromIniFile) {
    TestSupport::LogCapture log;
    InitFrom("robot_pivra5_custom.xml");

    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    const float geometry[] = {k.lz0, k.lz1, k.lz2, k.lz3, k.lz4, k.lz5, k.ly0};
    const float expectedGeometry[] = {110.0f, 70.5f, 320.0f, 60.0f, 10.0f, 75.0f, 12.5f};
    for (int i = 0; i < 7; ++i) {
        EXPECT_FLOAT_EQ(geometry[i], expectedGeometry[i]) << "length " << i;
    }
    EXPECT_TRUE(k.TCPXDirToFront);
    EXPECT_EQ(k.wristRedundancyHandling, RobotKinematicPivra5::WristType2);
    EXPECT_FLOAT_EQ(k.singularityCenter, 80.0f);
    EXPECT_FLOAT_EQ(k.singularityEllbow, 15.0f);
    EXPECT_FLOAT_EQ(k.zOffset, 3.5f);

    // Internal limits: user limits through direction and offset; A6 and the external
    // axes keep the defaults of Init.
    const float expectedLimits[RobotKinematic::maxJoints][2] = {
        {-155, 175}, {-40, 120}, {-110, 135}, {-112, 98}, {-60, 30}, {-150, 150}, {-150, 150}, {-150, 150},
        {-150, 150}};
    for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
        EXPECT_FLOAT_EQ(k.jointMinMax[i][0], expectedLimits[i][0]) << "joint " << i;
        EXPECT_FLOAT_EQ(k.jointMinMax[i][1], expectedLimits[i][1]) << "joint " << i;
    }
    EXPECT_FLOAT_EQ(k.jointMaxVelocity[4], 15.0f);
    EXPECT_FLOAT_EQ(k.jointMaxVelocity[5], 20.0f);
    EXPECT_FLOAT_EQ(k.jointMaxAcceleration[0], 21.0f);
    EXPECT_DOUBLE_EQ(k.AccLin, 1500.0);
    EXPECT_DOUBLE_EQ(k.AccLinInc, 2500.0);
    EXPECT_FLOAT_EQ(k.currentPosition(0, 3), 400.0f);
    EXPECT_FLOAT_EQ(k.currentPosition(1, 3), 50.0f);
    EXPECT_FLOAT_EQ(k.currentPosition(2, 3), 300.0f);

    EXPECT_TRUE(log.Contains("RK5Axis Arm / JXRPivra5  - Kinematic Data: "));
    EXPECT_TRUE(log.Contains("RobotKinematicPivra5: Wrist redundancy handling: type2"));
    EXPECT_TRUE(log.Contains("   Joint 4: Min -30.0 Max 60.0 MaxVel 15.0 JointOffset 0.0 JointDirection -1.0"));
    EXPECT_TRUE(log.Contains(
        "   Joint length: lz0 110.0, lz1 70.5, lz2 320.0, lz3 60.0, lz4 10.0, lz5 75.0, ly0 12.5"));
    EXPECT_TRUE(log.Contains("   Singularities: Center 80.0, Ellbow 15.0"));
    EXPECT_TRUE(log.Contains("TCP X-Direction points forwards (not compatible with old programs) - Change in robot "
                             "ini file, line \"Kinematic\", tag \"TCPXDirToFront\""));
}

TEST_F(Pivra5Test, WristRedundancyHandlingTextSelectsMode) {
    struct Case {
        const char* attribute;  // nullptr: attribute left out
        int mode;
    } cases[] = {
        {"Type2", RobotKinematicPivra5::WristType2},     {"TYPE2", RobotKinematicPivra5::WristType2},
        {"type1", RobotKinematicPivra5::WristStandard},  {"Standard", RobotKinematicPivra5::WristStandard},
        {"type 2", RobotKinematicPivra5::WristStandard}, {"", RobotKinematicPivra5::WristStandard},
        {nullptr, RobotKinematicPivra5::WristStandard},
    };
    TestSupport::TempDataRoot root;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attribute ? c.attribute : "(none)");
        std::string kinematic = "<Kinematic lz0=\"122.15\"";
        if (c.attribute != nullptr) {
            kinematic += std::string(" WristRedundancyHandling=\"") + c.attribute + "\"";
        }
        kinematic += "/>";
        const std::string path = root.WriteFile("robot.xml", "<Robot>" + kinematic + "</Robot>");
        RobotKinematicPivra5 arm;
        arm.wristRedundancyHandling = RobotKinematicPivra5::WristType2;  // reading resets it first
        TestSupport::LogCapture log;
        arm.ReadIniFile(path);
        EXPECT_EQ(arm.wristRedundancyHandling, c.mode);
        EXPECT_TRUE(log.Contains(c.mode == RobotKinematicPivra5::WristType2
                                     ? "RobotKinematicPivra5: Wrist redundancy handling: type2"
                                     : "RobotKinematicPivra5: Wrist redundancy handling: standard"));
    }
    // The sparse files above lack the other elements.
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    LogSingleton::instance()->set_seriousFailReason("");
}

TEST_F(Pivra5Test, IniFaultsLogSetFailReasonAndKeepDefaults) {
    const std::string kinematic = "<Kinematic lz0=\"100\" WristRedundancyHandling=\"type2\"/>";
    const std::string limits = "<SoftwareMinMax A1Min=\"-90\" A1Max=\"90\" A5Min=\"-10\" A5Max=\"10\"/>";
    const std::string velocities = "<JointVelocities A1=\"5\"/><JointAccelerations A1=\"6\"/>"
                                   "<JointAccelerationIncs A1=\"7\"/><CartVelocities VelTrans=\"1\"/>"
                                   "<CartAccelerations AccLin=\"2\"/>";
    const std::string manufacturer = "<ManufacturerJointConfig A1Offset=\"4\"/>";
    const std::string singularities = "<SINGULARITIES Center=\"50\" Ellbow=\"10\"/>";
    struct Case {
        const char* name;
        std::string content;  // empty: no file
        const char* line;
        const char* reason;
        // Which groups of values were read; a missing element keeps its defaults.
        bool kinematicRead, limitsRead, manufacturerRead, singularitiesRead;
    } cases[] = {
        {"no file", "", "RobotKinematicPivra5: could not find robot ini file: ", "51 Robot Ini not found", false,
         false, false, false},
        {"not XML", "<Robot><Kinematic", "RobotKinematicPivra5: could not read robot ini file correctly: ",
         "52 Robot Ini not correct", false, false, false, false},
        {"no root", "<Other>" + kinematic + "</Other>", "RobotKinematicPivra5: line Robot not found in robot ini file!",
         "53 Robot Ini not complete", false, false, false, false},
        {"no Kinematic", "<Robot>" + limits + velocities + manufacturer + singularities + "</Robot>",
         "RobotKinematicPivra5: line Kinematic not found in robot ini file!", "54 Robot Ini not complete", false, true,
         true, true},
        {"no SoftwareMinMax", "<Robot>" + kinematic + velocities + manufacturer + singularities + "</Robot>",
         "RobotKinematicPivra5: line SoftwareMinMax not found in robot ini file!", "55 Robot Ini not complete", true,
         false, true, true},
        {"no ManufacturerJointConfig", "<Robot>" + kinematic + limits + velocities + singularities + "</Robot>",
         "RobotKinematicPivra5: line ManufacturerJointConfig not found in robot ini file!",
         "58 Robot Ini not complete", true, true, false, true},
        {"no SINGULARITIES", "<Robot>" + kinematic + limits + velocities + manufacturer + "</Robot>",
         "RobotKinematicPivra5: line \"SINGULARITIES\" not found in robot ini file!", "59 Robot Ini not complete",
         true, true, true, false},
    };
    TestSupport::TempDataRoot root;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("");
        const std::string path =
            c.content.empty() ? root.Path() + "/missing.xml" : root.WriteFile("robot.xml", c.content);
        RobotKinematicPivra5 arm;
        TestSupport::LogCapture log;
        arm.Init("Arm", "JXRPivra5", path, 0);

        EXPECT_TRUE(log.Contains(c.line));
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
        EXPECT_FLOAT_EQ(arm.lz0, c.kinematicRead ? 100.0f : 122.15f);
        EXPECT_EQ(arm.wristRedundancyHandling,
                  c.kinematicRead ? RobotKinematicPivra5::WristType2 : RobotKinematicPivra5::WristStandard);
        // Internal A1 maximum: user 90 (file) or 150 (default), plus the A1 offset 4 (file) or 0.
        EXPECT_FLOAT_EQ(arm.jointMinMax[0][1], (c.limitsRead ? 90.0f : 150.0f) + (c.manufacturerRead ? 4.0f : 0.0f));
        EXPECT_FLOAT_EQ(arm.jointMinMax[2][1], 240.0f);  // default 150 user, A3 offset 90
        EXPECT_FLOAT_EQ(arm.singularityCenter, c.singularitiesRead ? 50.0f : 100.0f);
        EXPECT_TRUE(log.Contains("TCP X-Direction points backwards (legacy setting) - Change in robot ini file, "
                                 "line \"Kinematic\", tag \"TCPXDirToFront\""));
    }
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    LogSingleton::instance()->set_seriousFailReason("");
}

TEST_F(Pivra5Test, CloneCopiesGeometryAndConfigurationButNotType2State) {
    InitFrom("robot_pivra5_custom.xml");
    k.type2MotionState = RobotKinematicPivra5::Type2Upright;
    k.ikErrorLogged = true;
    const Joints user = UserJoints(30, -60, -60, 20, 45);
    const Matrix44 pose = Fk(user);  // wrist behind the base: configuration flags flip

    const std::unique_ptr<RobotKinematic> copy = k.clone();
    auto* arm = dynamic_cast<RobotKinematicPivra5*>(copy.get());
    ASSERT_NE(arm, nullptr);
    EXPECT_EQ(arm->kinematicTypeName, "RobotKinematicPivra5");
    EXPECT_EQ(arm->nrOfJoints, 5);
    EXPECT_FLOAT_EQ(arm->ly0, 12.5f);
    EXPECT_FLOAT_EQ(arm->singularityCenter, 80.0f);
    EXPECT_EQ(arm->wristRedundancyHandling, RobotKinematicPivra5::WristType2);
    EXPECT_TRUE(arm->TCPXDirToFront);
    EXPECT_EQ(arm->wristInFront, k.wristInFront);
    EXPECT_EQ(arm->elbowPositive, k.elbowPositive);
    EXPECT_LT(Distance(arm->wristPoint, k.wristPoint), 1e-6);
    EXPECT_EQ(arm->ikErrorLogged, k.ikErrorLogged);
    EXPECT_EQ(arm->type2MotionState, RobotKinematicPivra5::Type2None);
    EXPECT_TRUE(arm->currentPosition.Equals(pose, 0.0f));

    // The copy computes on its own: moving it leaves the original alone.
    arm->SetJoints(UserJoints(0, 30, 0, 0, 0).data(), false);
    EXPECT_TRUE(k.currentPosition.Equals(pose, 0.0f));
    EXPECT_FALSE(arm->currentPosition.Equals(pose, 1.0f));
}

}  // namespace
