#include "kinematics/RobotKinematicSixAxis.h"

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "testsupport/KinematicChecks.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

using namespace TestSupport;

const std::string kFixtures = std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/sixaxis/";

std::unique_ptr<RobotKinematicSixAxis> MakeArm(const std::string& file) {
    return MakeKinematic<RobotKinematicSixAxis>("arm", "StandardSixAxisPlus", kFixtures + file);
}

Matrix44 PoseOf(const RobotKinematic& k) {
    DataTypes::RobotState state;
    k.GetPosition(&state);
    return state.pose;
}

double PositionError(const Matrix44& a, const Matrix44& b) {
    double worst = 0.0;
    for (int r = 0; r < 3; ++r) {
        worst = std::max(worst, std::fabs(static_cast<double>(a.m[r * 4 + 3]) - b.m[r * 4 + 3]));
    }
    return worst;
}

int ConfigIndex(const RobotKinematicSixAxis& arm) {
    return (arm.configFront ? 4 : 0) + (arm.configElbow ? 2 : 0) + (arm.configWristFlip ? 1 : 0);
}

std::string ConfigName(int index) {
    std::string s = (index & 4) ? "front" : "back";
    s += (index & 2) ? "/elbow" : "/no-elbow";
    s += (index & 1) ? "/flipped" : "/not-flipped";
    return s;
}

// Flange pose with the given rotation whose wrist point is w (identity tool).
Matrix44 FlangeWithWristAt(const RobotKinematicSixAxis& arm, const Vector3& w, const Matrix44& rotation) {
    Matrix44 m = rotation;
    const Vector3 z = rotation.GetColumnVector(2);
    m.SetTranslation(w.x + arm.lx6 * z.x, w.y + arm.lx6 * z.y, w.z + arm.lx6 * z.z);
    return m;
}

std::string WithoutElement(std::string text, const std::string& name) {
    const size_t start = text.find("<" + name + " ");
    const size_t end = text.find("/>", start);
    if (start != std::string::npos && end != std::string::npos) {
        text.erase(start, end + 2 - start);
    }
    return text;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

std::string DefaultIniText() { return TestSupport::ReadWholeFile(kFixtures + "robot_default.xml"); }

}  // namespace

// --- construction and robot ini ---------------------------------------------------------

TEST(RobotKinematicSixAxisInitTest, ConstructorDefaults) {
    RobotKinematicSixAxis arm;
    EXPECT_EQ(arm.nrOfJoints, 6);
    EXPECT_EQ(arm.kinematicTypeName, "RobotKinematicSixAxis");
    EXPECT_FLOAT_EQ(arm.brandTrafoJointOffsets[2], 90.0f);
    EXPECT_FLOAT_EQ(arm.currentJoints[1], 30.0f);
    EXPECT_FLOAT_EQ(arm.currentJoints[2], 40.0f);
    EXPECT_TRUE(arm.configFront);
    EXPECT_TRUE(arm.configElbow);
    EXPECT_FALSE(arm.configWristFlip);
    EXPECT_FLOAT_EQ(arm.elbowOffsetAngle, std::atan(45.0f / 400.0f));
}

// Without a robot file the defaults still form one geometry: the wrist offset angle the
// inverse kinematics uses belongs to the lengths the forward kinematics uses.
TEST(RobotKinematicSixAxisInitTest, DefaultConstructedArmRoundTrips) {
    RobotKinematicSixAxis arm;
    const float joints[9] = {10, 20, 30, 40, 50, 60, 0, 0, 0};
    arm.SetJoints(joints, false);
    const Matrix44 pose = arm.currentPosition;
    float external[9] = {};
    arm.SetPosition(pose, external);
    float back[9];
    arm.GetJoints(back);
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(joints[i], back[i], 1e-3f) << "A" << i + 1;
    }
}

TEST(RobotKinematicSixAxisInitTest, ReadsTheRobotIniAndLogsTheData) {
    TestSupport::LogCapture log;
    auto arm = MakeArm("robot_mounted.xml");

    EXPECT_EQ(arm->robotName, "arm");
    EXPECT_EQ(arm->robotType, "StandardSixAxisPlus");
    EXPECT_FLOAT_EQ(arm->lz0, 122.4f);
    EXPECT_FLOAT_EQ(arm->lx3, 400.0f);
    EXPECT_FLOAT_EQ(arm->lz3, 45.0f);
    EXPECT_FLOAT_EQ(arm->lx6, 80.0f);
    EXPECT_TRUE(arm->wristDifferential);
    EXPECT_FALSE(arm->wristAngular);
    EXPECT_FLOAT_EQ(arm->zOffset, 250.0f);
    EXPECT_FLOAT_EQ(arm->brandTrafoJointDirections[0], -1.0f);
    EXPECT_FLOAT_EQ(arm->brandTrafoJointOffsets[1], -12.5f);
    EXPECT_FLOAT_EQ(arm->elbowOffsetAngle, std::atan(45.0f / 400.0f));
    EXPECT_FLOAT_EQ(arm->Center, 100.0f);
    EXPECT_FLOAT_EQ(arm->Ellbow, 20.0f);
    EXPECT_FLOAT_EQ(arm->Wrist, 5.0f);
    EXPECT_FLOAT_EQ(arm->jointMaxVelocity[2], 60.0f);
    EXPECT_DOUBLE_EQ(arm->VelTrans, 250.0);
    // Limits are internal after Init: A2 shifted by its offset, A3 by 90 degrees.
    EXPECT_FLOAT_EQ(arm->jointMinMax[1][0], -192.5f);
    EXPECT_FLOAT_EQ(arm->jointMinMax[1][1], 87.5f);
    EXPECT_FLOAT_EQ(arm->jointMinMax[2][0], -90.0f);
    EXPECT_FLOAT_EQ(arm->jointMinMax[2][1], 270.0f);
    // Init's start pose.
    EXPECT_FLOAT_EQ(arm->currentPosition.m[3], 400.0f);
    EXPECT_FLOAT_EQ(arm->currentPosition.m[7], 50.0f);
    EXPECT_FLOAT_EQ(arm->currentPosition.m[11], 300.0f);

    EXPECT_TRUE(log.Contains("RKSixAxis arm / StandardSixAxisPlus  - Kinematic Data: "));
    // Limits are logged as read, before the conversion.
    EXPECT_TRUE(log.Contains("   Joint 1: Min -180.0 Max 100.0 MaxVel 45.0 MaxAcc 400.0 JointOffset -12.5 "
                             "JointDirection 1.0"));
    EXPECT_TRUE(log.Contains("   Joint length: lz0 122.4, lx1 0.0, lz1 76.3, lx2 350.0, lx3 400.0, lz3 45.0, "
                             "lx4 0.0, lx6 80.0"));
    EXPECT_TRUE(log.Contains("   Singularities: Center 100.0, Ellbow 20.0 Wrist 5.0"));
}

TEST(RobotKinematicSixAxisInitTest, WristKindIsReadInAnyLetterCase) {
    struct Case {
        const char* wrist;
        bool angular;
        bool differential;
    } cases[] = {
        {"angular", true, false},
        {"DIFFERENTIAL", false, true},
        {"spherical", false, false},
    };
    TestSupport::TempDataRoot root;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wrist);
        const std::string path = root.WriteFile(
            "wrist.xml", Replaced(DefaultIniText(), "Wrist=\"angular\"", std::string("Wrist=\"") + c.wrist + "\""));
        RobotKinematicSixAxis arm;
        arm.Init("arm", "StandardSixAxisPlus", path, 0);
        EXPECT_EQ(arm.wristAngular, c.angular);
        EXPECT_EQ(arm.wristDifferential, c.differential);
    }
}

namespace {

struct IniFaultCase {
    const char* name;
    std::string (*makeText)();
    const char* message;  // regular expression of the logged line
};

const IniFaultCase kIniFaults[] = {
    {"Unparsable", [] { return Replaced(DefaultIniText(), "</Robot>", ""); },
     "RobotKinematicSixAxis: could not read robot ini file correctly: .*robot.xml"},
    {"NoRobotRoot", [] { return Replaced(Replaced(DefaultIniText(), "<Robot>", "<Arm>"), "</Robot>", "</Arm>"); },
     "RobotKinematicSixAxis: line Robot not found in robot ini file!"},
    {"NoKinematic", [] { return WithoutElement(DefaultIniText(), "Kinematic"); },
     "RobotKinematicSixAxis: line Kinematic not found in robot ini file!"},
    {"NoSoftwareMinMax", [] { return WithoutElement(DefaultIniText(), "SoftwareMinMax"); },
     "RobotKinematicSixAxis: line SoftwareMinMax not found in robot ini file!"},
    {"NoManufacturerJointConfig", [] { return WithoutElement(DefaultIniText(), "ManufacturerJointConfig"); },
     "RobotKinematicSixAxis: line ManufacturerJointConfig not found in robot ini file!"},
    {"NoSingularities", [] { return WithoutElement(DefaultIniText(), "SINGULARITIES"); },
     "RobotKinematicSixAxis: line \"SINGULARITIES\" not found in robot ini file!"},
};

int g_exitStatus = 0;
int g_exitCalls = 0;
void RecordExit(int status) {
    g_exitStatus = status;
    ++g_exitCalls;
}

}  // namespace

TEST(RobotKinematicSixAxisDeathTest, UnusableRobotIniEndsTheProcessWithStatus46) {
    // Fork-style children leave no temporary folders behind; nothing here runs threads.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "fast");
    TestSupport::TempDataRoot root;
    for (const IniFaultCase& c : kIniFaults) {
        SCOPED_TRACE(c.name);
        const std::string path = root.WriteFile("robot.xml", c.makeText());
        EXPECT_EXIT(
            {
                RobotKinematicSixAxis arm;
                arm.Init("arm", "StandardSixAxisPlus", path, 0);
            },
            ::testing::ExitedWithCode(46), c.message);
    }
    const std::string missing = root.Path() + "/Data/none.xml";
    EXPECT_EXIT(
        {
            RobotKinematicSixAxis arm;
            arm.Init("arm", "StandardSixAxisPlus", missing, 0);
        },
        ::testing::ExitedWithCode(46), "RobotKinematicSixAxis: could not find robot ini file: .*none.xml");
    GTEST_FLAG_SET(death_test_style, style);
}

TEST(RobotKinematicSixAxisInitTest, ReaderStopsWhenTheExitReturnsAndSetsNoFailure) {
    // A gap ends reading there: the values after it keep their defaults.
    TestSupport::TempDataRoot root;
    const std::string text = Replaced(WithoutElement(DefaultIniText(), "ManufacturerJointConfig"), "Center=\"100\"",
                                      "Center=\"110\"");
    const std::string path = root.WriteFile("robot.xml", text);
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    g_exitCalls = 0;
    const auto previous = RobotKinematic::SetExitFunction(&RecordExit);
    TestSupport::LogCapture log;
    RobotKinematicSixAxis arm;
    arm.Init("arm", "StandardSixAxisPlus", path, 0);
    RobotKinematic::SetExitFunction(previous);

    EXPECT_EQ(g_exitCalls, 1);
    EXPECT_EQ(g_exitStatus, 46);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    EXPECT_FLOAT_EQ(arm.jointMaxVelocity[5], 120.0f);  // read before the gap
    EXPECT_FLOAT_EQ(arm.Center, 100.0f);               // after the gap: not read
    EXPECT_TRUE(log.Contains("   Joint length: "));     // Init carried on
}

TEST(RobotKinematicSixAxisInitTest, GapsInTheVelocityTablesDoNotEndTheProcess) {
    TestSupport::TempDataRoot root;
    const std::string text = Replaced(WithoutElement(DefaultIniText(), "JointVelocities"), "Center=\"100\"",
                                      "Center=\"110\"");
    const std::string path = root.WriteFile("robot.xml", text);
    g_exitCalls = 0;
    const auto previous = RobotKinematic::SetExitFunction(&RecordExit);
    TestSupport::LogCapture log;
    RobotKinematicSixAxis arm;
    arm.Init("arm", "StandardSixAxisPlus", path, 0);
    RobotKinematic::SetExitFunction(previous);
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);

    EXPECT_EQ(g_exitCalls, 0);
    EXPECT_TRUE(log.Contains("RobotKinematic: line JointVelocities not found in robot ini file!"));
    EXPECT_FLOAT_EQ(arm.jointMaxVelocity[0], 20.0f);  // Init's default stays
    EXPECT_FLOAT_EQ(arm.Center, 110.0f);              // reading went on
}

// --- forward kinematics -----------------------------------------------------------------

TEST(RobotKinematicSixAxisForwardTest, PosesOfKnownJointValues) {
    // Internal joint values; A3 is given to SetJoints as internal - 90 (its drive offset).
    struct Case {
        const char* name;
        float q[6];
        Vector3 wrist;
        Vector3 flange;
        Vector3 flangeZ;
    } cases[] = {
        {"Upright", {0, 0, 0, 0, 0, 0}, {-45, 0, 948.7f}, {-45, 0, 1028.7f}, {0, 0, 1}},
        {"TurnedA1", {90, 0, 0, 0, 0, 0}, {0, -45, 948.7f}, {0, -45, 1028.7f}, {0, 0, 1}},
        {"ShoulderForward", {0, 90, 0, 0, 0, 0}, {750, 0, 243.7f}, {830, 0, 243.7f}, {1, 0, 0}},
        {"ForearmBackWristUp", {0, 0, -90, 0, 90, 0}, {-400, 0, 503.7f}, {-400, 0, 583.7f}, {0, 0, 1}},
        {"WristTurned", {0, 0, 0, 90, 90, 0}, {-45, 0, 948.7f}, {-45, 80, 948.7f}, {0, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RobotKinematicSixAxis arm;
        float user[9] = {c.q[0], c.q[1], c.q[2] - 90.0f, c.q[3], c.q[4], c.q[5], 0, 0, 0};
        arm.SetJoints(user, false);
        const Matrix44 pose = PoseOf(arm);
        const Vector3 z = pose.GetColumnVector(2);
        EXPECT_NEAR(arm.wristPoint.x, c.wrist.x, 1e-3);
        EXPECT_NEAR(arm.wristPoint.y, c.wrist.y, 1e-3);
        EXPECT_NEAR(arm.wristPoint.z, c.wrist.z, 1e-3);
        EXPECT_NEAR(pose.m[3], c.flange.x, 1e-3);
        EXPECT_NEAR(pose.m[7], c.flange.y, 1e-3);
        EXPECT_NEAR(pose.m[11], c.flange.z, 1e-3);
        EXPECT_NEAR(z.x, c.flangeZ.x, 1e-5);
        EXPECT_NEAR(z.y, c.flangeZ.y, 1e-5);
        EXPECT_NEAR(z.z, c.flangeZ.z, 1e-5);
        const auto back = UserJointsOf(arm);
        for (int i = 0; i < 6; ++i) {
            EXPECT_NEAR(back[i], user[i], 1e-4) << "joint " << i;
        }
    }
}

TEST(RobotKinematicSixAxisForwardTest, ToolAndLinearAxisMoveThePose) {
    RobotKinematicSixAxis arm;
    arm.tool.toolMatrix.SetTranslation(0, 0, 100);
    arm.tool.toolMatrixInverse = arm.tool.toolMatrix.Inverse();
    arm.AddExternalAxis(DependentAxis(90, 50));
    const float user[9] = {0, 90, -90, 0, 0, 0, 300, 0, 0};
    arm.SetJoints(user, false);
    const Matrix44 pose = PoseOf(arm);
    // Flange (830, 0, 243.7), tool 100 further along x, axis: x - 300, z + 50.
    EXPECT_NEAR(pose.m[3], 830.0f + 100.0f - 300.0f, 1e-3);
    EXPECT_NEAR(pose.m[7], 0.0f, 1e-3);
    EXPECT_NEAR(pose.m[11], 243.7f + 50.0f, 1e-3);
}

// --- inverse kinematics: round trips ----------------------------------------------------

namespace {

struct RoundTripCase {
    const char* name;
    const char* file;
    bool withTool;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

// Joints within margin of a singularity or the reach limit, as the inverse kinematics
// tests them, are not sampled.
bool NearSingularity(const RobotKinematicSixAxis& arm) {
    const Vector3& w = arm.wristPoint;
    const float margin = 1.0f;
    if (std::fabs(w.x) < arm.Center + margin && std::fabs(w.y) < arm.Center + margin) {
        return true;
    }
    const float rho = std::sqrt(w.x * w.x + w.y * w.y);
    const float r = arm.configFront ? rho - arm.lx1 : rho + arm.lx1;
    const float wz = w.z - (arm.lz0 + arm.lz1);
    if (std::sqrt(r * r + wz * wz) > arm.lx2 + arm.lx3 + arm.lx4 - arm.Ellbow - margin) {
        return true;
    }
    const float s = std::fabs(std::sin(arm.currentJoints[4] * 0.017453292f));
    return s < std::tan(arm.Wrist * 0.017453292f) + 0.002f;
}

}  // namespace

class RobotKinematicSixAxisRoundTripTest : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RobotKinematicSixAxisRoundTripTest, SolvedJointsReproduceThePoseInEveryConfiguration) {
    constexpr int kPerConfiguration = 20000;
    auto arm = MakeArm(GetParam().file);
    if (GetParam().withTool) {
        arm->tool.toolMatrix.SetRotationABCDeg2(30, 15, -20);
        arm->tool.toolMatrix.SetTranslation(20, -10, 150);
        arm->tool.toolMatrixInverse = arm->tool.toolMatrix.Inverse();
    }
    float limits[9][2];
    arm->GetMinMaxValues(limits);

    std::mt19937 rng(20240611u);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    int accepted[8] = {};
    long drawn = 0;
    long solvedNear = 0;
    std::map<int, int> rejected;      // away from singularities
    std::map<int, int> rejectedNear;  // within the sampling margin of one
    int poseMismatches = 0;
    int jointMismatches = 0;
    double worstMm = 0.0;
    double worstDeg = 0.0;
    double worstJoint = 0.0;
    auto done = [&] {
        for (int n : accepted) {
            if (n < kPerConfiguration) return false;
        }
        return true;
    };

    // A configuration that never turns up must fail the test, not hang it.
    constexpr long kMaxDraws = 3000000;
    while (!done() && drawn < kMaxDraws) {
        ++drawn;
        float q[9] = {};
        for (int i = 0; i < 6; ++i) {
            q[i] = limits[i][0] + (limits[i][1] - limits[i][0]) * unit(rng);
        }
        arm->SetJoints(q, false);
        const bool near = NearSingularity(*arm);
        const int config = ConfigIndex(*arm);
        const Matrix44 pose = PoseOf(*arm);
        try {
            arm->SetPosition(pose, q);
        } catch (int code) {
            ++(near ? rejectedNear : rejected)[code];
            continue;
        }
        if (near) {
            ++solvedNear;
        } else {
            ++accepted[config];
        }
        const auto solved = UserJointsOf(*arm);
        double jointError = 0.0;
        for (int i = 0; i < 6; ++i) {
            jointError = std::max(jointError, std::fabs(static_cast<double>(solved[i]) - q[i]));
        }
        worstJoint = std::max(worstJoint, jointError);
        // Same configuration, same turn: the solution is the sampled joint set.
        if (jointError > 0.2) {
            if (++jointMismatches <= 5) {
                ADD_FAILURE() << ConfigName(config) << ": joints " << q[0] << " " << q[1] << " " << q[2] << " "
                              << q[3] << " " << q[4] << " " << q[5] << " came back as " << solved[0] << " "
                              << solved[1] << " " << solved[2] << " " << solved[3] << " " << solved[4] << " "
                              << solved[5];
            }
        }
        arm->SetJoints(solved.data(), false);
        const double mm = PositionError(PoseOf(*arm), pose);
        const double deg = RotationDiffDeg(PoseOf(*arm), pose);
        worstMm = std::max(worstMm, mm);
        worstDeg = std::max(worstDeg, deg);
        if (mm > 1e-3 || deg > 1e-3) {
            if (++poseMismatches <= 5) {
                ADD_FAILURE() << ConfigName(config) << ": pose off by " << mm << " mm, " << deg << " deg";
            }
        }
    }

    auto summary = [](const std::map<int, int>& codes, long* total) {
        std::string text;
        for (const auto& entry : codes) {
            *total += entry.second;
            text += " " + std::to_string(entry.first) + ":" + std::to_string(entry.second);
            EXPECT_TRUE(entry.first == KinematicError::CenterSingularity ||
                        entry.first == KinematicError::OutOfReach || entry.first == KinematicError::WristSingularity)
                << "rejected with code " << entry.first;
        }
        return text.empty() ? std::string(" none") : text;
    };
    long rejectedTotal = 0;
    long rejectedNearTotal = 0;
    const std::string rejectedText = summary(rejected, &rejectedTotal);
    const std::string rejectedNearText = summary(rejectedNear, &rejectedNearTotal);
    long acceptedTotal = 0;
    for (int n : accepted) acceptedTotal += n;
    std::printf("%s: drawn %ld; away from singularities solved %ld, rejected%s; near one solved %ld, rejected%s; "
                "worst %.2e mm %.2e deg, joints %.2e deg\n",
                GetParam().name, drawn, acceptedTotal, rejectedText.c_str(), solvedNear, rejectedNearText.c_str(),
                worstMm, worstDeg, worstJoint);
    for (int i = 0; i < 8; ++i) {
        std::printf("  %-26s %d\n", ConfigName(i).c_str(), accepted[i]);
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_GE(accepted[i], kPerConfiguration) << ConfigName(i);
    }
    EXPECT_EQ(poseMismatches, 0);
    EXPECT_EQ(jointMismatches, 0);
    EXPECT_LE(rejectedTotal * 1000, acceptedTotal) << "rejections:" << rejectedText;
}

INSTANTIATE_TEST_SUITE_P(Geometries, RobotKinematicSixAxisRoundTripTest,
                         ::testing::Values(RoundTripCase{"DefaultGeometry", "robot_default.xml", false},
                                           RoundTripCase{"ShoulderOffset", "robot_shoulder_offset.xml", false},
                                           RoundTripCase{"MountedWithTool", "robot_mounted.xml", true}),
                         [](const ::testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

TEST(RobotKinematicSixAxisInverseTest, KeepsTheConfigurationOfTheLastJoints) {
    // Each case is a joint set that a Cartesian move must not leave: the pose it reaches,
    // solved again, gives the same joints.
    struct Case {
        const char* name;
        const char* file;
        float joints[6];  // user values
        bool front;
        bool elbow;
        bool flipped;
    } cases[] = {
        {"FrontElbow", "robot_default.xml", {10, 30, 0, 20, 45, -30}, true, true, false},
        {"FrontWristFlipped", "robot_default.xml", {10, 30, 0, 20, -45, -30}, true, true, true},
        {"BackWithElbowOffset", "robot_default.xml", {30, -60, -30, 10, -40, 20}, false, false, true},
        {"BackWithNegativeA1", "robot_default.xml", {-60, -60, -30, 10, 40, 20}, false, false, false},
        {"ElbowDownBehindShoulder", "robot_shoulder_offset.xml", {0, 20, -124.7f, 10, 60, -20}, true, false, false},
        {"BentBeyondTheFoldFront", "robot_shoulder_offset.xml", {0, 80, 150, 30, 50, 10}, true, false, false},
        {"BentBeyondTheFoldBack", "robot_default.xml", {0, -50, 150, 30, 50, 10}, false, true, false},
        {"WristAcrossHalfTurn", "robot_default.xml", {10, 30, 0, 179.5f, 45, -179.5f}, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto arm = MakeArm(c.file);
        float joints[9] = {c.joints[0], c.joints[1], c.joints[2], c.joints[3], c.joints[4], c.joints[5], 0, 0, 0};
        arm->SetJoints(joints, true);
        EXPECT_EQ(arm->configFront, c.front);
        EXPECT_EQ(arm->configElbow, c.elbow);
        EXPECT_EQ(arm->configWristFlip, c.flipped);
        const Matrix44 pose = PoseOf(*arm);
        arm->SetPosition(pose, joints);
        const auto solved = UserJointsOf(*arm);
        for (int i = 0; i < 6; ++i) {
            EXPECT_NEAR(solved[i], joints[i], 0.01) << "joint " << i;
        }
        EXPECT_LT(PositionError(PoseOf(*arm), pose), 1e-3);
    }
}

TEST(RobotKinematicSixAxisInverseTest, SolvedPoseIsTheTargetAndCartesianJogDoesNotCreep) {
    auto arm = MakeArm("robot_mounted.xml");
    float joints[9] = {20, -10, 10, 30, 40, 50, 0, 0, 0};
    arm->SetJoints(joints, true);
    const Matrix44 start = PoseOf(*arm);

    // The same joints without the plinth reach 250 mm higher.
    auto flat = arm->clone();
    flat->zOffset = 0.0f;
    flat->SetJoints(joints, false);
    EXPECT_NEAR(PoseOf(*flat).m[11] - start.m[11], 250.0f, 1e-3);

    // A jog cycle reads the pose and sends it back; nothing may drift.
    for (int cycle = 0; cycle < 200; ++cycle) {
        arm->SetPosition(PoseOf(*arm), joints);
    }
    EXPECT_LT(PositionError(PoseOf(*arm), start), 1e-3);
    const auto after = UserJointsOf(*arm);
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(after[i], joints[i], 1e-3) << "joint " << i;
    }

    // SetPosition leaves the target itself as the current pose.
    Matrix44 target = start;
    target.m[3] += 5.0f;
    target.m[11] -= 7.0f;
    arm->SetPosition(target, joints);
    EXPECT_TRUE(PoseOf(*arm).Equals(target, 0.0f));
    arm->GetJoints(joints);
    arm->SetJoints(joints, false);
    EXPECT_LT(PositionError(PoseOf(*arm), target), 1e-3);
}

TEST(RobotKinematicSixAxisInverseTest, LinearAxisAndToolAreTakenOff) {
    auto arm = MakeArm("robot_default.xml");
    arm->tool.toolMatrix.SetRotationABCDeg2(0, 90, 0);
    arm->tool.toolMatrix.SetTranslation(0, 30, 120);
    arm->tool.toolMatrixInverse = arm->tool.toolMatrix.Inverse();
    arm->AddExternalAxis(DependentAxis(0, 40));
    float joints[9] = {15, 20, -30, 40, 50, 60, 250, 0, 0};
    arm->SetJoints(joints, true);
    const Matrix44 pose = PoseOf(*arm);

    float moved[9] = {0, 0, 0, 0, 0, 0, 250, 0, 0};
    arm->SetPosition(pose, moved);
    const auto solved = UserJointsOf(*arm);
    for (int i = 0; i < 7; ++i) {
        EXPECT_NEAR(solved[i], joints[i], 0.01) << "joint " << i;
    }
}

// --- inverse kinematics: rejections -----------------------------------------------------

TEST(RobotKinematicSixAxisInverseTest, SingularitiesAndReachLimit) {
    Matrix44 tilted;  // flange turned 30 degrees about x: no wrist singularity at these points
    tilted.SetRotationDeg(Matrix44::X, 30.0);
    struct Case {
        const char* name;
        Vector3 wrist;
        int code;  // 0: solved
        const char* logged;
    } cases[] = {
        {"InsideCenterSquareCorner", {99, 99, 500}, KinematicError::CenterSingularity,
         "Kinematic Error: too close to center axis! 99.0 99 100"},
        {"InsideCenterSquareOtherSide", {-99, 60, 500}, KinematicError::CenterSingularity,
         "Kinematic Error: too close to center axis!"},
        {"JustOutsideOnX", {101, 0, 500}, 0, nullptr},
        {"JustOutsideOnY", {0, 101, 500}, 0, nullptr},
        {"ExactlyAtReach", {730, 0, 198.7f}, 0, nullptr},
        {"BeyondReach", {730.1f, 0, 198.7f}, KinematicError::OutOfReach, "InvKin: OutofReach"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto arm = MakeArm("robot_default.xml");
        const float start[9] = {0, 30, -40, 0, 45, 0, 0, 0, 0};
        arm->SetJoints(start, false);
        const Matrix44 before = PoseOf(*arm);
        const auto jointsBefore = UserJointsOf(*arm);
        TestSupport::LogCapture log;
        float joints[9] = {};
        int code = 0;
        try {
            arm->SetPosition(FlangeWithWristAt(*arm, c.wrist, tilted), joints);
        } catch (int thrown) {
            code = thrown;
        }
        EXPECT_EQ(code, c.code);
        if (c.code != 0) {
            EXPECT_TRUE(PoseOf(*arm).Equals(before, 0.0f));
            EXPECT_EQ(UserJointsOf(*arm), jointsBefore);
            EXPECT_TRUE(log.Contains(c.logged)) << log.Joined();
        }
    }
}

TEST(RobotKinematicSixAxisInverseTest, WristSingularityBelowTheWristAngle) {
    struct Case {
        float a5;
        int code;
    } cases[] = {{4.0f, KinematicError::WristSingularity}, {-4.0f, KinematicError::WristSingularity},
                 {6.0f, 0}, {-6.0f, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.a5);
        auto arm = MakeArm("robot_default.xml");
        float joints[9] = {20, 30, -20, 10, c.a5, 10, 0, 0, 0};
        arm->SetJoints(joints, false);
        TestSupport::LogCapture log;
        int code = 0;
        try {
            arm->SetPosition(PoseOf(*arm), joints);
        } catch (int thrown) {
            code = thrown;
        }
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(log.Contains("InvKin: HandSingularity: 0.1"), c.code != 0);
    }
}

TEST(RobotKinematicSixAxisInverseTest, ErrorIsLoggedOnceUntilTheNextSuccess) {
    auto arm = MakeArm("robot_default.xml");
    const float start[9] = {0, 30, -40, 0, 45, 0, 0, 0, 0};
    arm->SetJoints(start, false);
    const Matrix44 reachable = PoseOf(*arm);
    Matrix44 far = reachable;
    far.m[3] = 2000.0f;
    Matrix44 center = reachable;
    center.m[3] = 10.0f;
    center.m[7] = 10.0f;
    float joints[9] = {};

    TestSupport::LogCapture log;
    for (const Matrix44& target : {far, far, center, far}) {
        EXPECT_ANY_THROW(arm->SetPosition(target, joints));
    }
    EXPECT_EQ(log.Count("InvKin: OutofReach"), 1);
    EXPECT_EQ(log.Count("too close to center axis"), 0);
    arm->SetPosition(reachable, joints);
    EXPECT_ANY_THROW(arm->SetPosition(center, joints));
    EXPECT_EQ(log.Count("too close to center axis"), 1);
}

TEST(RobotKinematicSixAxisInverseTest, ChecksLimitsAndVirtualBoxEveryTime) {
    struct Case {
        const char* name;
        void (*configure)(RobotKinematicSixAxis&);
        Matrix44 (*target)(const RobotKinematicSixAxis&);
        int code;
    } cases[] = {
        {"A1MovingBeyondItsLimit",
         [](RobotKinematicSixAxis& a) {
             a.jointMinMax[0][0] = -5.0f;
             a.jointMinMax[0][1] = 5.0f;
         },
         [](const RobotKinematicSixAxis&) {
             auto other = MakeArm("robot_default.xml");
             const float turned[9] = {10, 30, -40, 0, 45, 0, 0, 0, 0};
             other->SetJoints(turned, false);
             return PoseOf(*other);
         },
         KinematicError::JointAboveMax},
        {"MovingOutOfTheBoxInX",
         [](RobotKinematicSixAxis& a) {
             a.virtualBoxActive = true;
             a.virtualBoxMin = Vector3(-2000, -2000, -2000);
             a.virtualBoxMax = Vector3(a.currentPosition.m[3] + 1.0f, 2000, 2000);
         },
         [](const RobotKinematicSixAxis& a) {
             Matrix44 t = PoseOf(a);
             t.m[3] += 5.0f;
             return t;
         },
         KinematicError::VirtualBoxXPlus},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto arm = MakeArm("robot_default.xml");
        float joints[9] = {0, 30, -40, 0, 45, 0, 0, 0, 0};
        arm->SetJoints(joints, false);
        c.configure(*arm);
        const Matrix44 before = PoseOf(*arm);
        const auto jointsBefore = UserJointsOf(*arm);
        int code = 0;
        try {
            arm->SetPosition(c.target(*arm), joints);
        } catch (int thrown) {
            code = thrown;
        }
        EXPECT_EQ(code, c.code);
        EXPECT_TRUE(PoseOf(*arm).Equals(before, 0.0f));
        EXPECT_EQ(UserJointsOf(*arm), jointsBefore);
    }
}

// --- differential wrist and copies ------------------------------------------------------

TEST(RobotKinematicSixAxisWristTest, DifferentialWristCouplesA5AndA6) {
    struct Case {
        bool differential;
        float joints[2];
        float motors[2];
    } cases[] = {
        {false, {10, 4}, {10, 4}},
        {true, {10, 4}, {6, 14}},
        {true, {-30, 12.5f}, {-42.5f, -17.5f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.differential);
        RobotKinematicSixAxis arm;
        arm.wristDifferential = c.differential;
        float v[9] = {1, 2, 3, 4, c.joints[0], c.joints[1], 7, 8, 9};
        arm.AdaptJointsToMotors(v);
        EXPECT_FLOAT_EQ(v[4], c.motors[0]);
        EXPECT_FLOAT_EQ(v[5], c.motors[1]);
        EXPECT_FLOAT_EQ(v[3], 4.0f);
        EXPECT_FLOAT_EQ(v[6], 7.0f);
        arm.AdaptMotorsToJoints(v);
        EXPECT_FLOAT_EQ(v[4], c.joints[0]);
        EXPECT_FLOAT_EQ(v[5], c.joints[1]);
    }
}

TEST(RobotKinematicSixAxisCloneTest, CopyKeepsGeometryAndConfigurationAndIsIndependent) {
    auto arm = MakeArm("robot_shoulder_offset.xml");
    arm->wristDifferential = true;
    float joints[9] = {30, -60, -30, 10, -40, 20, 0, 0, 0};
    arm->SetJoints(joints, false);
    const Matrix44 pose = PoseOf(*arm);

    std::unique_ptr<RobotKinematic> copy = arm->clone();
    auto* six = dynamic_cast<RobotKinematicSixAxis*>(copy.get());
    ASSERT_NE(six, nullptr);
    EXPECT_FLOAT_EQ(six->lx1, 150.0f);
    EXPECT_FLOAT_EQ(six->elbowOffsetAngle, arm->elbowOffsetAngle);
    EXPECT_EQ(six->configFront, arm->configFront);
    EXPECT_EQ(six->configElbow, arm->configElbow);
    EXPECT_EQ(six->configWristFlip, arm->configWristFlip);
    EXPECT_TRUE(six->wristDifferential);
    EXPECT_FLOAT_EQ(six->wristPoint.x, arm->wristPoint.x);
    EXPECT_FLOAT_EQ(six->Center, arm->Center);

    // The copy solves the same pose to the same joints, and later changes stay apart.
    arm->lx2 = 500.0f;
    six->SetPosition(pose, joints);
    const auto solved = UserJointsOf(*six);
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(solved[i], joints[i], 0.01) << "joint " << i;
    }
}
