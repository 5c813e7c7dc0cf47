#include "kinematics/RobotKinematic3AxisPlane.h"

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

const std::string kFixture = std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/3axisplane/robot.xml";
const char kNoIni[] = "/nonexistent/robot.xml";

Joints Arm(float a1, float a2, float a3) { return Joints{a1, a2, a3, 0, 0, 0, 0, 0, 0}; }

// Keeps the process-wide operation mode and failure reason as a test found them.
class PlaneArmTest : public ::testing::Test {
protected:
    // Default geometry without limits, so any joint set may be applied.
    static void MakeFree(RobotKinematic3AxisPlane& k) {
        k.Init("plane", "JXR3AxisPlane", kNoIni, 0);
        ClearLimits(k);
    }

private:
    TestSupport::ScopedFailState failState_;
};

TEST_F(PlaneArmTest, ConstructionAndInitDefaults) {
    RobotKinematic3AxisPlane k;
    EXPECT_EQ("RobotKinematic3AxisPlane", k.kinematicTypeName);
    EXPECT_EQ(3, k.nrOfJoints);
    EXPECT_EQ(0.01f, k.planeTolerance);
    const float constructed[] = {10, 10, 10, 10, 0, 0, 0, 0, 0};
    for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
        EXPECT_EQ(constructed[i], k.currentJoints[i]) << i;
    }
    EXPECT_EQ(158.0f, k.lz0);
    EXPECT_EQ(46.0f, k.lz4);

    k.Init("plane", "JXR3AxisPlane", kNoIni, 0);
    ExpectJointsNear(Arm(0, -20, 110), UserJointsOf(k), 3, 0.0f);
    EXPECT_EQ(10.0f, k.currentJoints[3]);
    EXPECT_TRUE(k.currentPosition.Equals(
        Matrix44(Vector3(1, 0, 0), Vector3(0, 1, 0), Vector3(0, 0, 1), Vector3(0, 0, 300)), 0.0f));
    const float limits[][2] = {{-150, 150}, {-40, 60}, {-120, 140}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}};
    for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
        EXPECT_EQ(limits[i][0], k.jointMinMax[i][0]) << i;
        EXPECT_EQ(limits[i][1], k.jointMinMax[i][1]) << i;
        EXPECT_EQ(100.0f, k.jointMaxVelocity[i]) << i;
        EXPECT_EQ(100.0f, k.jointMaxAcceleration[i]) << i;
        EXPECT_EQ(100.0f, k.jointMaxAccelerationInc[i]) << i;
    }
    EXPECT_EQ(1000.0, k.AccLin);
    EXPECT_EQ(2000.0, k.AccLinInc);
    EXPECT_TRUE(k.elbowPositive);
    EXPECT_TRUE(k.wristInFront);
}

// ---------------------------------------------------------------------------------------
// Known poses.

struct PlanePose {
    const char* name;
    Joints joints;
    Vector3 toolPoint;
    Vector3 wrist;
    Vector3 approach;
    bool elbowPositive;
    bool wristInFront;
};

void PrintTo(const PlanePose& v, std::ostream* os) { *os << v.name; }

class PlaneArmPoseTest : public PlaneArmTest, public ::testing::WithParamInterface<PlanePose> {};

TEST_P(PlaneArmPoseTest, ForwardGivesPoseAndFlagsAndInverseGivesJointsBack) {
    const PlanePose& p = GetParam();
    RobotKinematic3AxisPlane k;
    MakeFree(k);

    k.SetJoints(p.joints.data(), true);
    EXPECT_LT(Distance(p.toolPoint, k.currentPosition.GetTranslation()), 0.002);
    EXPECT_LT(Distance(p.wrist, k.wristPoint), 0.002);
    EXPECT_LT(Distance(p.approach, k.currentPosition.GetColumnVector(2)), 1e-5);
    EXPECT_LT(Distance(Vector3(0, 1, 0), k.currentPosition.GetColumnVector(1)), 1e-6);
    EXPECT_EQ(p.elbowPositive, k.elbowPositive);
    EXPECT_EQ(p.wristInFront, k.wristInFront);

    const Matrix44 pose = k.currentPosition;
    Joints ext{};
    k.SetPosition(pose, ext.data());
    ExpectJointsNear(p.joints, UserJointsOf(k), 3, 1e-4f);
}

INSTANTIATE_TEST_SUITE_P(
    Poses, PlaneArmPoseTest,
    ::testing::Values(
        PlanePose{"HandForward", Arm(-20, 110, 0), {201.016f, 0, 396.542f}, {155.016f, 0, 396.542f}, {1, 0, 0}, true,
                  true},
        PlanePose{"OverTheBack", Arm(-60, -60, 0), {-394.908f, 0, 180.0f}, {-355.070f, 0, 203.0f},
                  {-0.86603f, 0, -0.5f}, true, false},
        PlanePose{"ElbowDown", Arm(60, -60, 20), {180.278f, 0, 576.226f}, {164.545f, 0, 533.0f},
                  {0.34202f, 0, 0.93969f}, false, true},
        PlanePose{"OverTheBackElbowDown", Arm(-70, 60, 0), {-224.732f, 0, 544.943f}, {-216.744f, 0, 499.642f},
                  {-0.17365f, 0, 0.98481f}, false, false}),
    [](const ::testing::TestParamInfo<PlanePose>& info) { return std::string(info.param.name); });

TEST_F(PlaneArmTest, SetJointsLeavesTheUnusedJointSlotsAlone) {
    RobotKinematic3AxisPlane k;  // slots 0..3 hold 10 after construction
    Joints q = Arm(-20, 110, 0);
    q[3] = 55.0f;
    q[4] = 66.0f;
    q[6] = 7.0f;
    q[8] = 9.0f;
    k.SetJoints(q.data(), false);
    const float expected[] = {-20, 110, 0, 10, 0, 0, 7, 0, 9};
    for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
        EXPECT_EQ(expected[i], k.currentJoints[i]) << i;
    }
}

// ---------------------------------------------------------------------------------------
// Refused targets.

struct PlaneRefusal {
    const char* name;
    Joints start;  // SetJoints before the attempt: decides the side of the base axis
    Matrix44 target;
    int code;
    const char* line;
};

void PrintTo(const PlaneRefusal& v, std::ostream* os) { *os << v.name; }

class PlaneArmRefusalTest : public PlaneArmTest, public ::testing::WithParamInterface<PlaneRefusal> {};

TEST_P(PlaneArmRefusalTest, ThrowsKeepsStateAndLogsOnce) {
    const PlaneRefusal& r = GetParam();
    RobotKinematic3AxisPlane k;
    MakeFree(k);
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
    EXPECT_EQ(1, log.Count(r.line)) << log.Joined();
    EXPECT_TRUE(k.ikErrorLogged);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, PlaneArmRefusalTest,
    ::testing::Values(
        // The hand-forward pose moved 0.02 mm off the plane.
        PlaneRefusal{"OffThePlane", Arm(-20, 110, 0), FlangeAt({201.016f, 0.02f, 396.542f}, {1, 0, 0}), 22,
                     "InvKin: OutofReach"},
        // Working over the back (wrist x = -355.1): the mirror image in front is on the other side.
        PlaneRefusal{"MirrorInFrontWhileOverTheBack", Arm(-60, -60, 0),
                     FlangeAt({394.908f, 0, 180.0f}, {0.86603f, 0, -0.5f}), 22, "InvKin: OutofReach"},
        PlaneRefusal{"BehindWhileInFront", Arm(-20, 110, 0), FlangeAt({-201.016f, 0, 396.542f}, {-1, 0, 0}), 22,
                     "InvKin: OutofReach"},
        PlaneRefusal{"CenterAxis", Arm(-20, 110, 0), FlangeAt({0, 0, 674}, {0, 0, 1}), 21,
                     "Kinematic Error: too close to center axis! "},
        PlaneRefusal{"BeyondReach", Arm(-20, 110, 0), FlangeAt({500, 0, 218}, {1, 0, 0}), 22, "InvKin: OutofReach"},
        // Approach axis along y: nothing of it lies in the plane.
        PlaneRefusal{"ApproachAcrossThePlane", Arm(-20, 110, 0), FlangeAt({300, 0, 300}, {0, 1, 0}), 22,
                     "InvKin: OutofReach"}),
    [](const ::testing::TestParamInfo<PlaneRefusal>& info) { return std::string(info.param.name); });

TEST_F(PlaneArmTest, SideFollowsTheLastJointSetPoint) {
    RobotKinematic3AxisPlane k;
    MakeFree(k);
    k.SetJoints(Arm(-60, -60, 0).data(), false);
    const Matrix44 behind = k.currentPosition;
    k.SetJoints(Arm(60, 60, 0).data(), false);  // mirror image in front
    const Matrix44 front = k.currentPosition;
    ASSERT_LT(Distance(Vector3(-behind(0, 3), 0, behind(2, 3)), front.GetTranslation()), 0.01);

    Joints ext{};
    k.SetPosition(front, ext.data());
    ExpectJointsNear(Arm(60, 60, 0), UserJointsOf(k), 3, 1e-3f);
    EXPECT_THROW(k.SetPosition(behind, ext.data()), int);

    k.SetJoints(Arm(-60, -60, 0).data(), false);
    k.SetPosition(behind, ext.data());
    ExpectJointsNear(Arm(-60, -60, 0), UserJointsOf(k), 3, 1e-3f);
    EXPECT_THROW(k.SetPosition(front, ext.data()), int);
}

TEST_F(PlaneArmTest, SidewaysTiltIsSolvedWithoutItWhileThePoseKeepsIt) {
    for (const float tilt : {15.0f, -40.0f}) {
        SCOPED_TRACE(testing::Message() << "tilt " << tilt);
        RobotKinematic3AxisPlane k;
        MakeFree(k);
        const Joints q = Arm(10, 60, -30);
        k.SetJoints(q.data(), false);
        Matrix44 target = k.currentPosition;
        // Turn the approach axis towards y about the flange point; its part in the plane
        // keeps its direction.
        Vector3 axis = Vector3::Cross(target.GetColumnVector(2), Vector3(0, 1, 0));
        axis.Normalize();
        target.RotateAxisAngle(axis, tilt);
        ASSERT_GT(std::fabs(target(1, 2)), 0.2f);

        Joints ext{};
        k.SetPosition(target, ext.data());
        EXPECT_TRUE(k.currentPosition.Equals(target, 0.0f));
        ExpectJointsNear(q, UserJointsOf(k), 3, 0.01f);
    }
}

// ---------------------------------------------------------------------------------------
// Round trip FK(IK(FK(q))) = FK(q) in every configuration.

TEST_F(PlaneArmTest, EveryConfigurationReturnsToTheSamePose) {
    RobotKinematic3AxisPlane k;
    MakeFree(k);  // joints are drawn from the whole circle
    k.tool.toolMatrix.SetRotationABCDeg2(0.0, 25.0, 0.0);  // tool pitched in the plane
    k.tool.toolMatrix.SetTranslation(15.0f, 0.0f, 80.0f);
    k.tool.toolMatrixInverse = k.tool.toolMatrix.Inverse();
    const float directions[] = {-1, 1, -1};
    const float offsets[] = {5, -10, 90};
    for (int i = 0; i < 3; ++i) {
        k.brandTrafoJointDirections[i] = directions[i];
        k.brandTrafoJointOffsets[i] = offsets[i];
    }

    constexpr int kPerConfiguration = 20000;
    constexpr int kMaxDraws = 400000;
    const float shoulderZ = k.lz0 + k.lz1;
    const float reach = k.lz2 + k.lz3 - k.singularityEllbow;

    std::mt19937 rng(77031u);
    std::uniform_real_distribution<float> angle(-180.0f, 180.0f);
    int done[4] = {0, 0, 0, 0};  // by elbowPositive + 2 * wristInFront
    int failures = 0;
    double worstMm = 0.0;
    double worstDeg = 0.0;

    for (int draw = 0; draw < kMaxDraws; ++draw) {
        if (std::min({done[0], done[1], done[2], done[3]}) >= kPerConfiguration) {
            break;
        }
        const Joints q = Arm(angle(rng), angle(rng), angle(rng));
        k.SetJoints(q.data(), false);
        // Leave out the refused zones: wrist point near the base axis or at full stretch.
        // The folded elbow stays in.
        const Vector3 w = k.wristPoint;
        const float d = std::hypot(w.x, w.z - shoulderZ);
        if (std::fabs(w.x) < k.singularityCenter + 1.0f || d > reach - 0.5f) {
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
        worstMm = std::max(worstMm, mm);
        worstDeg = std::max(worstDeg, deg);
    }

    for (int c = 0; c < 4; ++c) {
        EXPECT_GE(done[c], kPerConfiguration) << "configuration " << c;
    }
    EXPECT_EQ(0, failures) << "worst " << worstMm << " mm, " << worstDeg << " deg";
}

// Straight lines in the plane between random poses, 0.1 mm steps, start orientation kept:
// no joint steps more than 5 degrees unless the wrist is near the centre zone, full stretch
// or the folded elbow.
TEST_F(PlaneArmTest, StraightPathsMoveEveryJointContinuously) {
    RobotKinematic3AxisPlane k;
    MakeFree(k);
    RobotKinematic3AxisPlane probe;
    probe.clone(&k);
    const float shoulder = k.lz0 + k.lz1;
    const float stretch = k.lz2 + k.lz3 - k.singularityEllbow;
    const float fold = std::fabs(k.lz3 - k.lz2);
    auto singular = [&](const Vector3& w) {
        const float d = std::hypot(w.x, w.z - shoulder);
        return std::fabs(w.x) < k.singularityCenter + 3.0f || d > stretch - 2.0f || d < fold + 2.0f;
    };
    std::mt19937 rng(9173u);
    std::uniform_real_distribution<float> angle(-180.0f, 180.0f), delta(-25.0f, 25.0f);
    int paths = 0;
    int checked = 0;
    for (int draw = 0; paths < 150 && draw < 5000; ++draw) {
        const Joints from = Arm(angle(rng), angle(rng), angle(rng));
        k.SetJoints(from.data(), false);
        const Matrix44 start = k.currentPosition;
        if (singular(k.wristPoint)) continue;
        Joints to = from;
        to[0] += delta(rng);
        to[1] += delta(rng);
        probe.SetJoints(to.data(), false);
        const Vector3 a = start.GetTranslation();
        const Vector3 b = probe.currentPosition.GetTranslation();
        const double length = Distance(a, b);
        if (length > 150.0) continue;
        ++paths;
        const int steps = static_cast<int>(length / 0.1) + 1;
        Joints prev = from;
        bool prevRegular = true;
        for (int n = 1; n <= steps; ++n) {
            const float f = static_cast<float>(n) / steps;
            Matrix44 target = start;
            target.SetTranslation(a.x + (b.x - a.x) * f, 0.0f, a.z + (b.z - a.z) * f);
            Joints ext{};
            try {
                k.SetPosition(target, ext.data());
            } catch (int) {
                prevRegular = false;
                continue;
            }
            const Joints q = UserJointsOf(k);
            const bool regular = !singular(k.wristPoint);
            if (regular && prevRegular) {
                ++checked;
                for (int i = 0; i < 3; ++i) {
                    ASSERT_LT(std::fabs(q[i] - prev[i]), 5.0f)
                        << "joint " << i << " on the path from " << from[0] << " " << from[1] << " " << from[2];
                }
            }
            prev = q;
            prevRegular = regular;
        }
    }
    EXPECT_EQ(150, paths);
    EXPECT_GT(checked, 40000);
}

TEST_F(PlaneArmTest, TargetPastHalfTurnTakesTheWristEquivalentNearestTheCurrentOne) {
    RobotKinematic3AxisPlane k;
    MakeFree(k);
    const Joints from = Arm(-20, 110, 179.95f);
    k.SetJoints(Arm(-20, 110, -179.95f).data(), false);
    const Matrix44 target = k.currentPosition;
    k.SetJoints(from.data(), false);
    Joints ext{};
    k.SetPosition(target, ext.data());
    ExpectJointsNear(Arm(-20, 110, 180.05f), UserJointsOf(k), 3, 1e-3f);
}

TEST_F(PlaneArmTest, NonFiniteTargetThrowsAndKeepsState) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        int row, col;
        float value;
    } cases[] = {{0, 0, nan}, {1, 0, inf}, {2, 2, nan}, {1, 1, -inf}, {0, 3, nan}, {2, 3, -inf}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "R(" << c.row << "," << c.col << ") = " << c.value);
        RobotKinematic3AxisPlane k;
        MakeFree(k);
        const Joints start = Arm(-20, 110, 0);
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
        ExpectJointsNear(start, UserJointsOf(k), 3, 0.0f);
    }
}

TEST_F(PlaneArmTest, DependentLinearAxisAlongXCarriesTheArm) {
    RobotKinematic3AxisPlane k;
    MakeFree(k);
    const Joints q = Arm(10, 60, -30);
    k.SetJoints(q.data(), false);
    const Vector3 withoutAxis = k.currentPosition.GetTranslation();

    k.AddExternalAxis(DependentAxis(-90, 50.0));  // travel along +x
    Joints withTrack = q;
    withTrack[6] = 250.0f;
    k.SetJoints(withTrack.data(), false);
    const Matrix44 pose = k.currentPosition;
    EXPECT_LT(Distance(withoutAxis + Vector3(250.0f, 0, 50.0f), pose.GetTranslation()), 1e-4);

    k.SetJoints(Arm(-20, 110, 0).data(), false);
    Joints ext{};
    ext[6] = 250.0f;
    k.SetPosition(pose, ext.data());
    const Joints solved = UserJointsOf(k);
    ExpectJointsNear(withTrack, solved, 3, 1e-3f);
    EXPECT_EQ(250.0f, solved[6]);
    // The stored pose is the target itself, track offset included.
    EXPECT_TRUE(k.currentPosition.Equals(pose, 0.0f));
}

// ---------------------------------------------------------------------------------------
// Robot ini file.

TEST_F(PlaneArmTest, InitReadsTheIniFileAndLogsTheData) {
    TestSupport::LogCapture log;
    RobotKinematic3AxisPlane k;
    k.Init("plane", "JXR3AxisPlane", kFixture, 0);

    EXPECT_EQ(OPMODE_NORMAL, LogSingleton::instance()->get_opMode());
    EXPECT_EQ(150.0f, k.lz0);
    EXPECT_EQ(210.0f, k.lz3);
    EXPECT_EQ(50.0f, k.lz4);
    EXPECT_EQ(7.0f, k.singularityCenter);
    EXPECT_EQ(25.0f, k.singularityEllbow);
    EXPECT_EQ(12.5f, k.zOffset);
    // A1 direction -1, A2 offset -5, A3 offset 10; the rest keeps its limits.
    const float internal[][2] = {{-130, 120}, {-35, 65}, {-90, 130}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}};
    for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
        EXPECT_EQ(internal[i][0], k.jointMinMax[i][0]) << i;
        EXPECT_EQ(internal[i][1], k.jointMinMax[i][1]) << i;
    }
    EXPECT_EQ(43.0f, k.jointMaxVelocity[2]);
    EXPECT_EQ(100.0f, k.jointMaxVelocity[3]);
    EXPECT_EQ(242.0f, k.jointMaxAccelerationInc[1]);
    EXPECT_EQ(100.0f, k.jointMaxAccelerationInc[3]);

    const char* lines[] = {
        "RK3AxisPlane plane / JXR3AxisPlane  - Kinematic Data: ",
        "   Joint 0: Min -120.0 Max 130.0 MaxVel 41.0 JointOffset 0.0 JointDirection -1.0",
        "   Joint 2: Min -100.0 Max 120.0 MaxVel 43.0 JointOffset 10.0 JointDirection 1.0",
        "   Joint length: lz0 150.0, lz1 55.0, lz2 200.0, lz3 210.0, lz4 50.0",
    };
    for (const char* line : lines) {
        EXPECT_TRUE(log.Contains(line)) << line << "\n" << log.Joined();
    }
    EXPECT_FALSE(log.Contains("   Joint 3:"));
    EXPECT_FALSE(log.Contains("Singularities"));

    // User joints pass through direction and offset on the way in and out.
    ClearLimits(k);
    const Joints user = Arm(-10, 85, -20);
    k.SetJoints(user.data(), false);
    EXPECT_FLOAT_EQ(10.0f, k.currentJoints[0]);
    EXPECT_FLOAT_EQ(80.0f, k.currentJoints[1]);
    EXPECT_FLOAT_EQ(-10.0f, k.currentJoints[2]);
    const Matrix44 pose = k.currentPosition;
    Joints ext{};
    k.SetPosition(pose, ext.data());
    ExpectJointsNear(user, UserJointsOf(k), 3, 1e-3f);
}

struct PlaneIniFault {
    const char* name;
    const char* removeElement;  // dropped from the complete file; nullptr: file content below
    const char* content;
    const char* line;
    const char* reason;
};

void PrintTo(const PlaneIniFault& v, std::ostream* os) { *os << v.name; }

class PlaneArmIniFaultTest : public PlaneArmTest, public ::testing::WithParamInterface<PlaneIniFault> {};

TEST_P(PlaneArmIniFaultTest, LogsSetsTheReasonAndReadsTheRest) {
    const PlaneIniFault& f = GetParam();
    TestSupport::TempDataRoot root;
    std::string text = f.content != nullptr ? f.content : TestSupport::ReadWholeFile(kFixture);
    if (f.removeElement != nullptr) {
        const size_t begin = text.find(std::string("<") + f.removeElement + " ");
        ASSERT_NE(std::string::npos, begin);
        text.erase(begin, text.find("/>", begin) + 2 - begin);
    }
    const std::string path = root.WriteFile("robot.xml", text);

    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    TestSupport::LogCapture log;
    RobotKinematic3AxisPlane k;
    k.Init("plane", "JXR3AxisPlane", path, 0);

    EXPECT_TRUE(log.Contains(f.line)) << log.Joined();
    EXPECT_EQ(f.reason, LogSingleton::instance()->get_seriousFailReason());
    EXPECT_EQ(OPMODE_SERIOUS_FAILURE, LogSingleton::instance()->get_opMode());
    const bool parsed = f.removeElement != nullptr;
    EXPECT_EQ(parsed && std::string(f.removeElement) != "SINGULARITIES" ? 7.0f : 5.0f, k.singularityCenter);
    EXPECT_EQ(parsed && std::string(f.removeElement) != "Kinematic" ? 150.0f : 158.0f, k.lz0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PlaneArmIniFaultTest,
    ::testing::Values(
        PlaneIniFault{"NotXml", nullptr, "<Robot><Kinematic lz0=\"1\"></Robot>",
                      "RobotKinematic3AxisPlane: could not read robot ini file correctly: ", "52 Robot Ini not valid"},
        PlaneIniFault{"NoKinematic", "Kinematic", nullptr,
                      "RobotKinematic3AxisPlane: line Kinematic not found in robot ini file!",
                      "54 Robot Ini not complete"},
        PlaneIniFault{"NoSoftwareMinMax", "SoftwareMinMax", nullptr,
                      "RobotKinematic3AxisPlane: line SoftwareMinMax not found in robot ini file!",
                      "55 Robot Ini not complete"},
        PlaneIniFault{"NoJointAccelerations", "JointAccelerations", nullptr,
                      "RobotKinematic: line JointAccelerations not found in robot ini file!",
                      "57 Robot Ini not complete"},
        PlaneIniFault{"NoManufacturerJointConfig", "ManufacturerJointConfig", nullptr,
                      "RobotKinematic3AxisPlane: line ManufacturerJointConfig not found in robot ini file!",
                      "58 Robot Ini not complete"},
        PlaneIniFault{"NoSingularities", "SINGULARITIES", nullptr,
                      "RobotKinematic3AxisPlane: line \"SINGULARITIES\" not found in robot ini file!",
                      "59 Robot Ini not complete"}),
    [](const ::testing::TestParamInfo<PlaneIniFault>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Copies.

TEST_F(PlaneArmTest, CloneCopiesGeometryAndConfigurationButNotThePlaneTolerance) {
    RobotKinematic3AxisPlane original;
    original.Init("plane", "JXR3AxisPlane", kFixture, 0);
    ClearLimits(original);
    original.SetJoints(Arm(60, -55, -10).data(), false);  // internal (-60, -60, 0): over the back
    ASSERT_FALSE(original.wristInFront);
    original.planeTolerance = 2.0f;
    original.ikErrorLogged = true;

    std::unique_ptr<RobotKinematic> copy = original.clone();
    auto* c = dynamic_cast<RobotKinematic3AxisPlane*>(copy.get());
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(0.01f, c->planeTolerance);
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
    EXPECT_TRUE(c->currentPosition.Equals(original.currentPosition, 0.0f));
}

}  // namespace
