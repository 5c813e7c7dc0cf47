#include "kinematics/RobotKinematic.h"

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
#include "kinematics/RobotKinematicSeparateJointsRotational.h"
#include "kinematics/RobotKinematicSixAxis.h"
#include "kinematics/RobotKinematicSlider.h"

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "testsupport/KinematicChecks.h"
#include "testsupport/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cmath>
#include <limits>
#include <string>
#include <typeindex>
#include <typeinfo>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

const std::string kFixtures = std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/";

// Smallest concrete kinematic: three joints, its own field, and a robot ini reader built
// from the shared helpers the way the arm variants use them.
class TestKinematic : public RobotKinematic {
public:
    TestKinematic() {
        nrOfJoints = 3;
        kinematicTypeName = "TestKinematic";
    }

    std::unique_ptr<RobotKinematic> clone() const override { return CloneAs<TestKinematic>(*this); }
    void clone(const RobotKinematic* other) override {
        RobotKinematic::clone(other);
        length = static_cast<const TestKinematic*>(other)->length;
    }

    void Init(const std::string& name, const std::string& type, const std::string& iniPath,
              int velocitySettingIn) override {
        RobotKinematic::Init(name, type, iniPath, velocitySettingIn);
        ReadIniFile(iniPath);
        SetMinMaxValues(jointMinMax);
    }

    void ReadIniFile(const std::string& path) {
        tinyxml2::XMLDocument doc;
        tinyxml2::XMLElement* robot = OpenRobotIni(doc, path, RobotIniFailReason::NotValid, fault);
        if (robot == nullptr) {
            return;
        }
        if (auto* e = FindIniElement(robot, "Kinematic", RobotIniFailReason::NoKinematic, fault)) {
            ReadIniAttribute(e, "length", length);
        }
        if (auto* e = FindIniElement(robot, "SoftwareMinMax", RobotIniFailReason::NoSoftwareMinMax, fault)) {
            ReadIniSoftwareMinMax(e, nrOfJoints);
        }
        ReadIniFileVelocities(robot);
        if (auto* e = FindIniElement(robot, "ManufacturerJointConfig", RobotIniFailReason::NoManufacturerJointConfig,
                                     fault)) {
            ReadIniManufacturerJointConfig(e, nrOfJoints);
        }
        FindIniElement(robot, "SINGULARITIES", RobotIniFailReason::Incomplete59, fault, true);
        FindIniElement(robot, "Joints", RobotIniFailReason::Incomplete60, fault);
    }

    using RobotKinematic::IniFault;
    IniFault fault = IniFault::FailReason;
    float length = 100.0f;
};

class RobotKinematicTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("");
        k.cycleTimeMS = 10.0;
    }

    // Internal limits for joint i (directions 1, offsets 0: user = internal).
    void SetLimits(int i, float lo, float hi) {
        k.jointMinMax[i][0] = lo;
        k.jointMinMax[i][1] = hi;
    }

    TestKinematic k;
};

// --- construction, user/internal conversion, limits conversion -------------------------

TEST_F(RobotKinematicTest, ConstructionGivesTheDocumentedDefaults) {
    TestKinematic fresh;
    EXPECT_EQ(fresh.velocitySetting, -1);
    EXPECT_EQ(fresh.nrOfExtJoints, 0);
    EXPECT_DOUBLE_EQ(fresh.VelTrans, 100.0);
    EXPECT_DOUBLE_EQ(fresh.AccLin, 1000.0);
    EXPECT_DOUBLE_EQ(fresh.AccLinInc, 3000.0);
    EXPECT_DOUBLE_EQ(fresh.AccOri, 1000.0);
    EXPECT_DOUBLE_EQ(fresh.AccOriInc, 3000.0);
    EXPECT_DOUBLE_EQ(fresh.VelOri, 180.0);
    EXPECT_TRUE(fresh.logLimitViolation);
    EXPECT_TRUE(fresh.currentPosition.Equals(Matrix44(), 0.0f));
    for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
        EXPECT_EQ(fresh.brandTrafoJointDirections[i], 1.0f);
        EXPECT_EQ(fresh.brandTrafoJointOffsets[i], 0.0f);
    }
    for (int kx = 0; kx < RobotKinematic::maxExtJoints; ++kx) {
        EXPECT_FALSE(fresh.extAxisPresent[kx]);
        EXPECT_TRUE(fresh.extAxisIndependent[kx]);
    }
}

TEST_F(RobotKinematicTest, UserAndInternalJointValuesConvertBothWays) {
    const float dirs[9] = {-1, 1, -1, 1, 1, 1, 1, 1, 1};
    const float offs[9] = {10, -5, 2.5f, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 9; ++i) {
        k.brandTrafoJointDirections[i] = dirs[i];
        k.brandTrafoJointOffsets[i] = offs[i];
    }
    const float user[9] = {30, -20, 7, 1, 2, 3, 400, 500, 600};
    k.ResetLastJoints(user);
    EXPECT_FLOAT_EQ(k.currentJoints[0], -20.0f);  // -1 * 30 + 10
    EXPECT_FLOAT_EQ(k.currentJoints[1], -25.0f);
    EXPECT_FLOAT_EQ(k.currentJoints[2], -4.5f);
    EXPECT_FLOAT_EQ(k.currentJoints[6], 400.0f);  // external axes: d = 1, o = 0

    float back[9];
    k.GetJoints(back);
    for (int i = 0; i < 9; ++i) {
        EXPECT_FLOAT_EQ(back[i], user[i]) << "joint " << i;
        EXPECT_EQ(k.jointVelocities[i], 0.0f);
    }

    float inPlace[9] = {30, -20, 7, 1, 2, 3, 400, 500, 600};
    float z = 100.0f;
    k.zOffset = 12.5f;
    k.KinAdaptorToInternalFormat(inPlace, &z);
    EXPECT_FLOAT_EQ(z, 112.5f);
    for (int i = 0; i < 9; ++i) {
        EXPECT_FLOAT_EQ(inPlace[i], k.currentJoints[i]) << "joint " << i;
    }
}

TEST_F(RobotKinematicTest, MinMaxConversionSwapsReversedJointsAndRoundTrips) {
    k.brandTrafoJointDirections[0] = -1.0f;
    k.brandTrafoJointOffsets[0] = 10.0f;
    k.brandTrafoJointOffsets[1] = 5.0f;
    float user[9][2] = {{-90, 90}, {-45, 135}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {-1000, 1000}, {0, 0}, {0, 0}};

    k.SetMinMaxValues(user);
    EXPECT_FLOAT_EQ(k.jointMinMax[0][0], -80.0f);
    EXPECT_FLOAT_EQ(k.jointMinMax[0][1], 100.0f);
    EXPECT_FLOAT_EQ(k.jointMinMax[1][0], -40.0f);
    EXPECT_FLOAT_EQ(k.jointMinMax[1][1], 140.0f);
    EXPECT_FLOAT_EQ(k.jointMinMax[6][1], 1000.0f);

    float back[9][2] = {};
    k.GetMinMaxValues(back);
    for (int i = 0; i < 9; ++i) {
        EXPECT_FLOAT_EQ(back[i][0], user[i][0]) << "joint " << i;
        EXPECT_FLOAT_EQ(back[i][1], user[i][1]) << "joint " << i;
    }

    // In place, as the variants call it at the end of Init.
    k.SetMinMaxValues(k.jointMinMax);
    EXPECT_FLOAT_EQ(k.jointMinMax[0][0], -90.0f);
    EXPECT_FLOAT_EQ(k.jointMinMax[0][1], 90.0f);
}

TEST_F(RobotKinematicTest, GetMinMaxValuesSkipsAJointWithDirectionZero) {
    TestSupport::LogCapture log;
    k.brandTrafoJointDirections[2] = 0.0f;
    k.jointMinMax[2][0] = -5.0f;
    k.jointMinMax[2][1] = 5.0f;
    float out[9][2];
    for (auto& pair : out) {
        pair[0] = 123.0f;
        pair[1] = 456.0f;
    }
    k.GetMinMaxValues(out);
    EXPECT_EQ(out[2][0], 123.0f);
    EXPECT_EQ(out[2][1], 456.0f);
    EXPECT_EQ(out[3][0], 0.0f);
    EXPECT_TRUE(log.Contains(
        "Error while converting kinematic limits: brandTrafoJointDirections for axis 2 is 0, skipping axis"));
}

// --- CheckJoints ---------------------------------------------------------------------

struct LimitCase {
    const char* name;
    int index;       // joint index in the 9-vector
    float current;   // internal value before the step
    float target;    // internal value requested
    int expected;    // 0: passes
};

class CheckJointsLimitTest : public RobotKinematicTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(CheckJointsLimitTest, RejectsOnlyMovesFurtherOut) {
    const LimitCase& c = GetParam();
    ExternalAxis axis;
    axis.Min = -100.0;
    axis.Max = 100.0;
    k.AddExternalAxis(axis);
    SetLimits(0, -90.0f, 90.0f);
    SetLimits(1, -90.0f, 90.0f);

    float joints[9] = {};
    k.currentJoints[c.index] = c.current;
    joints[c.index] = c.target;
    if (c.expected == 0) {
        EXPECT_NO_THROW(k.CheckJoints(joints));
    } else {
        try {
            k.CheckJoints(joints);
            ADD_FAILURE() << "no code thrown";
        } catch (int code) {
            EXPECT_EQ(code, c.expected);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckJointsLimitTest,
    ::testing::Values(LimitCase{"InsideMoving", 1, 10.0f, 20.0f, 0},
                      LimitCase{"BeyondMaxMovingBack", 1, 92.0f, 91.5f, 0},
                      LimitCase{"BeyondMaxStanding", 1, 92.0f, 92.0f, 0},
                      LimitCase{"BeyondMaxMovingOut", 1, 92.0f, 92.5f, KinematicError::JointAboveMax},
                      LimitCase{"CrossingMax", 0, 89.9f, 90.1f, KinematicError::JointAboveMax},
                      LimitCase{"BeyondMinMovingBack", 0, -95.0f, -94.0f, 0},
                      LimitCase{"BeyondMinMovingOut", 0, -95.0f, -96.0f, KinematicError::JointBelowMin},
                      LimitCase{"ExtBeyondMaxMovingOut", 6, 101.0f, 102.0f, KinematicError::JointAboveMax},
                      LimitCase{"ExtBeyondMinMovingBack", 6, -101.0f, -100.5f, 0},
                      LimitCase{"ExtBeyondMinMovingOut", 6, -101.0f, -102.0f, KinematicError::JointBelowMin},
                      // Joint 2 has no limits set: never checked.
                      LimitCase{"UnlimitedJoint", 2, 5000.0f, 6000.0f, 0},
                      // Index 7 is no registered external axis: never checked.
                      LimitCase{"UnregisteredExtAxis", 7, 5000.0f, 6000.0f, 0}),
    [](const ::testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

TEST_F(RobotKinematicTest, LimitsWithinTheEpsilonBandAreNotChecked) {
    SetLimits(0, -0.001f, 0.0005f);
    SetLimits(1, 0.0f, 0.0f);
    float joints[9] = {50.0f, -50.0f};
    EXPECT_NO_THROW(k.CheckJoints(joints));
    SetLimits(1, 0.0f, 0.002f);  // one limit outside the band: checked
    EXPECT_THROW(k.CheckJoints(joints), int);
}

TEST_F(RobotKinematicTest, CheckJointsStoresVelocitiesPerSecond) {
    k.cycleTimeMS = 4.0;
    ExternalAxis axis;
    k.AddExternalAxis(axis);
    k.currentJoints[0] = 10.0f;
    k.currentJoints[6] = 100.0f;
    float joints[9] = {10.2f, -0.4f, 0.0f, 0, 0, 0, 99.0f};
    k.CheckJoints(joints);
    EXPECT_NEAR(k.jointVelocities[0], 50.0f, 1e-3f);
    EXPECT_NEAR(k.jointVelocities[1], -100.0f, 1e-3f);
    EXPECT_NEAR(k.jointVelocities[6], -250.0f, 1e-3f);
}

TEST_F(RobotKinematicTest, WithoutCycleTimeVelocitiesStayFiniteAndTheLimitRuleHolds) {
    k.cycleTimeMS = 0.0;
    SetLimits(0, -90.0f, 90.0f);
    k.currentJoints[0] = 95.0f;
    float standing[9] = {95.0f};
    EXPECT_NO_THROW(k.CheckJoints(standing));
    EXPECT_TRUE(std::isfinite(k.jointVelocities[0]));
    float back[9] = {94.0f};
    EXPECT_NO_THROW(k.CheckJoints(back));
    EXPECT_TRUE(std::isfinite(k.jointVelocities[0]));
    float out[9] = {96.0f};
    EXPECT_THROW(k.CheckJoints(out), int);
    EXPECT_TRUE(std::isfinite(k.jointVelocities[0]));
}

TEST_F(RobotKinematicTest, NaNIsRejectedWithTheJointNamed) {
    ExternalAxis axis;
    k.AddExternalAxis(axis);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        int index;
        const char* line;
    } cases[] = {
        {1, "Error in computation, NAN in Joint 1: nan"},
        {6, "Error in computation, NAN in Ext1"},
    };
    for (const Case& c : cases) {
        TestSupport::LogCapture log;
        float joints[9] = {};
        joints[c.index] = nan;
        try {
            k.CheckJoints(joints);
            ADD_FAILURE() << "no code for index " << c.index;
        } catch (int code) {
            EXPECT_EQ(code, KinematicError::NaNInJoint);
        }
        EXPECT_TRUE(log.Contains(c.line)) << log.Joined();
    }
    // Entries the robot does not use are not looked at.
    float unused[9] = {0, 0, 0, nan, nan, nan, 0, nan, nan};
    EXPECT_NO_THROW(k.CheckJoints(unused));
}

TEST_F(RobotKinematicTest, LimitViolationIsLoggedOncePerRunOfFailures) {
    SetLimits(0, -90.0f, 90.0f);
    ExternalAxis axis;
    axis.Min = -10.0;
    axis.Max = 10.0;
    k.AddExternalAxis(axis);
    TestSupport::LogCapture log;
    float joints[9] = {};

    for (int cycle = 0; cycle < 5; ++cycle) {
        k.currentJoints[0] = 91.0f + cycle;
        joints[0] = 92.0f + cycle;
        EXPECT_THROW(k.CheckJoints(joints), int);
    }
    EXPECT_EQ(log.Count("JointLimits Max exceeded: Nr 0 requested 92.0\xC2\xB0 allowed 90.0\xC2\xB0, joint vel 100.00"),
              1)
        << log.Joined();
    EXPECT_EQ(log.Count("JointLimits Max exceeded"), 1);
    EXPECT_FALSE(k.logLimitViolation);

    joints[0] = 0.0f;  // a passing cycle re-arms the log line
    k.currentJoints[0] = 0.0f;
    k.CheckJoints(joints);
    EXPECT_TRUE(k.logLimitViolation);

    k.currentJoints[6] = -11.0f;
    joints[6] = -12.0f;
    EXPECT_THROW(k.CheckJoints(joints), int);
    EXPECT_TRUE(log.Contains("ExtJointLimits Min exceeded: Nr 1 requested -12.0 allowed -10.0, joint vel -100.00"))
        << log.Joined();
}

// --- virtual box -------------------------------------------------------------------------

TEST_F(RobotKinematicTest, VirtualBoxRejectsOnlyMovesFurtherOut) {
    k.virtualBoxActive = true;
    k.virtualBoxMin = Vector3(0, -500, 0);
    k.virtualBoxMax = Vector3(1000, 500, 800);
    struct Case {
        const char* name;
        Vector3 current;
        Vector3 target;
        int expected;
    } cases[] = {
        {"inside", {100, 0, 100}, {200, 0, 100}, 0},
        {"x+ out", {990, 0, 100}, {1010, 0, 100}, KinematicError::VirtualBoxXPlus},
        {"x- out", {10, 0, 100}, {-10, 0, 100}, KinematicError::VirtualBoxXMinus},
        {"y+ out", {0, 490, 100}, {0, 510, 100}, KinematicError::VirtualBoxYPlus},
        {"y- out", {0, -490, 100}, {0, -510, 100}, KinematicError::VirtualBoxYMinus},
        {"z+ out", {0, 0, 790}, {0, 0, 810}, KinematicError::VirtualBoxZPlus},
        {"z- out", {0, 0, 10}, {0, 0, -10}, KinematicError::VirtualBoxZMinus},
        {"outside moving back", {1200, 0, -50}, {1100, 0, -40}, 0},
        {"outside standing", {1200, 0, -50}, {1200, 0, -50}, 0},
    };
    for (const Case& c : cases) {
        int code = 0;
        try {
            k.CheckVirtualBox(c.target, c.current);
        } catch (int thrown) {
            code = thrown;
        }
        EXPECT_EQ(code, c.expected) << c.name;
    }
}

TEST_F(RobotKinematicTest, VirtualBoxLogsAllAxesAndThrowsTheLast) {
    k.virtualBoxActive = true;
    k.virtualBoxMin = Vector3(0, 0, 0);
    k.virtualBoxMax = Vector3(1000, 1000, 1000);
    TestSupport::LogCapture log;
    try {
        k.CheckVirtualBox(Vector3(1200.5f, 500, -50), Vector3(1100, 500, -40));
        ADD_FAILURE() << "no code thrown";
    } catch (int code) {
        EXPECT_EQ(code, KinematicError::VirtualBoxZMinus);
    }
    EXPECT_TRUE(log.Contains("Virtual box violated: x 1200.5 > 1000z -50 < 0")) << log.Joined();
}

TEST_F(RobotKinematicTest, InactiveVirtualBoxChecksNothing) {
    k.virtualBoxActive = false;
    k.virtualBoxMax = Vector3(1, 1, 1);
    EXPECT_NO_THROW(k.CheckVirtualBox(Vector3(500, 500, 500), Vector3(0, 0, 0)));
}

// --- external axes -----------------------------------------------------------------------

TEST_F(RobotKinematicTest, DependentLinearAxisShiftsTheBaseByDirection) {
    struct Case {
        int angle;
        Vector3 expected;
    } cases[] = {
        {-90, {300, 0, 55}}, {90, {-300, 0, 55}}, {180, {0, -300, 55}}, {0, {0, 300, 55}}, {45, {0, 300, 55}},
    };
    for (const Case& c : cases) {
        TestKinematic kin;
        kin.AddExternalAxis(TestSupport::DependentAxis(c.angle, 55.0));
        const float joints[9] = {1, 2, 3, 4, 5, 6, 300, 0, 0};
        const Vector3 v = kin.ComputeLinearAxisPositionOffset(joints);
        EXPECT_FLOAT_EQ(v.x, c.expected.x) << "angle " << c.angle;
        EXPECT_FLOAT_EQ(v.y, c.expected.y) << "angle " << c.angle;
        EXPECT_FLOAT_EQ(v.z, c.expected.z) << "angle " << c.angle;
    }
}

TEST_F(RobotKinematicTest, LinearAxisOffsetsAddUpAndApplyToPosesAndPoints) {
    ExternalAxis dependentX;
    dependentX.DirectionAngleToY = 90;
    dependentX.lz0 = 20.0;
    ExternalAxis independent;
    independent.Kinematic = ExternalAxis::Independent;
    independent.lz0 = 999.0;
    ExternalAxis dependentY;
    dependentY.lz0 = 5.0;
    k.AddExternalAxis(dependentX);
    k.AddExternalAxis(independent);
    k.AddExternalAxis(dependentY);
    EXPECT_TRUE(k.extAxisIndependent[1]);
    EXPECT_EQ(k.extAxisBase[1].z, 0.0f);

    const float joints[9] = {0, 0, 0, 0, 0, 0, 300, 777, 40};
    Matrix44 m;
    m.SetTranslation(10, 20, 30);
    const Vector3 v = k.AddLinearAxisPositionOffset(joints, m);
    EXPECT_FLOAT_EQ(v.x, -300.0f);
    EXPECT_FLOAT_EQ(v.y, 40.0f);
    EXPECT_FLOAT_EQ(v.z, 25.0f);
    EXPECT_FLOAT_EQ(m(0, 3), -290.0f);
    EXPECT_FLOAT_EQ(m(1, 3), 60.0f);
    EXPECT_FLOAT_EQ(m(2, 3), 55.0f);
    k.SubtractLinearAxisPositionOffset(joints, m);
    EXPECT_TRUE(m.GetTranslation().x == 10.0f && m.GetTranslation().y == 20.0f && m.GetTranslation().z == 30.0f);

    Vector3 p(1, 2, 3);
    const Vector3 added = k.AddLinearAxisPositionOffset(joints, p);
    const Vector3 subtracted = k.SubtractLinearAxisPositionOffset(joints, p);
    EXPECT_FLOAT_EQ(added.x, -299.0f);
    EXPECT_FLOAT_EQ(subtracted.z, -22.0f);
    EXPECT_FLOAT_EQ(p.x, 1.0f);  // the point itself is left alone
}

TEST_F(RobotKinematicTest, AddExternalAxisRegistersLimitsAndRefusesAFourth) {
    TestSupport::LogCapture log;
    ExternalAxis axis;
    axis.Min = -250.5;
    axis.Max = 750.0;
    axis.VelMax = 300.0;
    axis.Acc = 900.0;
    axis.AccInc = 2700.0;
    axis.DirectionAngleToY = 180;
    axis.lz0 = 12.0;
    for (int i = 0; i < 3; ++i) {
        k.AddExternalAxis(axis);
    }
    EXPECT_EQ(k.nrOfExtJoints, 3);
    EXPECT_FLOAT_EQ(k.jointMinMax[8][0], -250.5f);
    EXPECT_FLOAT_EQ(k.jointMinMax[8][1], 750.0f);
    EXPECT_FLOAT_EQ(k.jointMaxVelocity[8], 300.0f);
    EXPECT_FLOAT_EQ(k.jointMaxAcceleration[8], 900.0f);
    EXPECT_FLOAT_EQ(k.jointMaxAccelerationInc[8], 2700.0f);
    EXPECT_EQ(k.extAxisDirectionAngleToY[2], 180);
    EXPECT_TRUE(log.Contains("Kin: Ext2 - lz0: 12.0  DirectionAngleToY: 180  Min: -250.5  Max: 750.0  -  MaxVel: "
                             "300.0  -  MaxAcc: 900.0"))
        << log.Joined();

    ExternalAxis fourth;
    fourth.Min = -1.0;
    k.AddExternalAxis(fourth);
    EXPECT_EQ(k.nrOfExtJoints, 3);
    EXPECT_FLOAT_EQ(k.jointMinMax[8][0], -250.5f);
    EXPECT_TRUE(log.Contains("Cannot add more then 3 External Joints!"));
}

TEST_F(RobotKinematicTest, GetPositionCopiesPoseAndPlatform) {
    k.currentPosition.SetRotationABCDeg2(30, 20, 10);
    k.currentPosition.SetTranslation(1, 2, 3);
    k.platformPosition = Vector3(4, 5, 6);
    DataTypes::RobotState state;
    k.GetPosition(&state);
    EXPECT_TRUE(state.pose.Equals(k.currentPosition, 0.0f));
    EXPECT_EQ(state.A, 4.0f);
    EXPECT_EQ(state.B, 5.0f);
    EXPECT_EQ(state.C, 6.0f);
}

TEST_F(RobotKinematicTest, BaseBodiesOfTheVariantOperations) {
    TestSupport::LogCapture log;
    k.UpdateConfigurationFile(nullptr, nullptr);
    EXPECT_FALSE(log.Contains("not implemented")) << "the robot file's limits are written by the robot master";

    float values[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    k.AdaptJointsToMotors(values);
    k.AdaptMotorsToJoints(values);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(values[i], i + 1.0f);
    }
}

// --- clone -------------------------------------------------------------------------------

TEST_F(RobotKinematicTest, CloneIsAnIndependentCopy) {
    k.Init("Robby", "TestType", kFixtures + "robot_complete.xml", 2);
    ExternalAxis axis;
    axis.lz0 = 33.0;
    k.AddExternalAxis(axis);
    k.cycleTimeMS = 8.0;
    k.virtualBoxActive = true;
    k.virtualBoxMax = Vector3(1, 2, 3);
    k.currentJoints[1] = 42.0f;
    k.currentPosition.SetTranslation(7, 8, 9);
    k.platformPosition = Vector3(1, 1, 1);
    k.tool.offsetPosition = Vector3(0, 0, 150);
    k.TCPXDirToFront = true;
    k.length = 321.0f;
    k.logLimitViolation = false;

    std::unique_ptr<RobotKinematic> copy = k.clone();
    auto* c = dynamic_cast<TestKinematic*>(copy.get());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->robotName, "Robby");
    EXPECT_EQ(c->robotType, "TestType");
    EXPECT_EQ(c->kinematicTypeName, "TestKinematic");
    EXPECT_EQ(c->length, 321.0f);
    EXPECT_EQ(c->nrOfExtJoints, 1);
    EXPECT_EQ(c->extAxisBase[0].z, 33.0f);
    EXPECT_FALSE(c->extAxisIndependent[0]);
    EXPECT_EQ(c->cycleTimeMS, 8.0);
    EXPECT_TRUE(c->virtualBoxActive);
    EXPECT_EQ(c->currentJoints[1], 42.0f);
    EXPECT_EQ(c->jointMinMax[0][0], k.jointMinMax[0][0]);
    EXPECT_EQ(c->jointMaxVelocity[1], 22.0f);
    EXPECT_EQ(c->brandTrafoJointDirections[0], -1.0f);
    EXPECT_EQ(c->zOffset, 12.5f);
    EXPECT_DOUBLE_EQ(c->VelTrans, 500.0);
    EXPECT_EQ(c->tool.offsetPosition.z, 150.0f);
    EXPECT_TRUE(c->TCPXDirToFront);
    EXPECT_TRUE(c->currentPosition.Equals(k.currentPosition, 0.0f));
    // Not part of a copy.
    EXPECT_EQ(c->velocitySetting, -1);
    EXPECT_TRUE(c->logLimitViolation);

    // Later changes of the original do not reach the copy.
    k.currentJoints[1] = -1.0f;
    k.jointMinMax[0][0] = -1.0f;
    k.currentPosition.SetTranslation(0, 0, 0);
    k.tool.offsetPosition = Vector3();
    k.virtualBoxActive = false;
    k.AddExternalAxis(axis);
    k.robotName = "Other";
    k.length = 0.0f;
    EXPECT_EQ(c->currentJoints[1], 42.0f);
    EXPECT_NE(c->jointMinMax[0][0], -1.0f);
    EXPECT_EQ(c->currentPosition(0, 3), 7.0f);
    EXPECT_EQ(c->tool.offsetPosition.z, 150.0f);
    EXPECT_TRUE(c->virtualBoxActive);
    EXPECT_EQ(c->nrOfExtJoints, 1);
    EXPECT_EQ(c->robotName, "Robby");
    EXPECT_EQ(c->length, 321.0f);
}

// --- robot ini -----------------------------------------------------------------------------

TEST_F(RobotKinematicTest, CompleteRobotIniIsReadAndLimitsBecomeInternal) {
    TestSupport::LogCapture log;
    k.Init("Robby", "TestType", kFixtures + "robot_complete.xml", -1);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL) << log.Joined();
    EXPECT_EQ(k.velocitySetting, 0);
    EXPECT_EQ(k.length, 250.5f);
    EXPECT_EQ(k.zOffset, 12.5f);
    EXPECT_EQ(k.brandTrafoJointOffsets[1], -5.0f);
    // A1: user (-90, 90), d = -1, o = 10 -> internal (-80, 100).
    EXPECT_FLOAT_EQ(k.jointMinMax[0][0], -80.0f);
    EXPECT_FLOAT_EQ(k.jointMinMax[0][1], 100.0f);
    EXPECT_FLOAT_EQ(k.jointMinMax[1][0], -50.0f);
    EXPECT_FLOAT_EQ(k.jointMinMax[1][1], 130.0f);
    EXPECT_FLOAT_EQ(k.jointMaxVelocity[6], 17.0f);  // A7 belongs to the table too
    EXPECT_DOUBLE_EQ(k.AccOriInc, 3600.0);
}

TEST_F(RobotKinematicTest, VelocityTablesPreferTheSuffixedSet) {
    struct Case {
        int setting;
        float jointVel0;   // JointVelocities<n> or plain
        float jointAcc0;   // JointAccelerations<n> or plain
        double velTrans;   // CartVelocities<n> or plain
        double velOri;
    } cases[] = {
        {-1, 11.0f, 201.0f, 250.0, 90.0},  // set 0: only JointAccelerations0 exists
        {0, 11.0f, 201.0f, 250.0, 90.0},
        {1, 11.0f, 101.0f, 250.0, 90.0},
        {2, 21.0f, 101.0f, 500.0, 180.0},  // CartVelocities2 lacks VelOri: field unchanged
    };
    for (const Case& c : cases) {
        TestKinematic kin;
        kin.Init("r", "t", kFixtures + "robot_complete.xml", c.setting);
        EXPECT_EQ(kin.velocitySetting, c.setting < 0 ? 0 : c.setting);
        EXPECT_EQ(kin.jointMaxVelocity[0], c.jointVel0) << "set " << c.setting;
        EXPECT_EQ(kin.jointMaxAcceleration[0], c.jointAcc0) << "set " << c.setting;
        EXPECT_EQ(kin.jointMaxAccelerationInc[2], 303.0f) << "set " << c.setting;
        EXPECT_DOUBLE_EQ(kin.VelTrans, c.velTrans) << "set " << c.setting;
        EXPECT_DOUBLE_EQ(kin.VelOri, c.velOri) << "set " << c.setting;
        EXPECT_EQ(kin.jointMaxVelocity[3], 0.0f) << "missing attribute keeps the field";
    }
}

TEST_F(RobotKinematicTest, MissingOptionalVelocityTablesOnlyLog) {
    TestSupport::LogCapture log;
    k.Init("r", "t", kFixtures + "robot_no_optional_tables.xml", 0);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    EXPECT_TRUE(log.Contains("RobotKinematic: line JointAccelerationIncs not found in robot ini file!"));
    EXPECT_TRUE(log.Contains("RobotKinematic: line CartVelocities not found in robot ini file!"));
    EXPECT_TRUE(log.Contains("RobotKinematic: line CartAccelerations not found in robot ini file!"));
    EXPECT_DOUBLE_EQ(k.VelTrans, 100.0);
    EXPECT_DOUBLE_EQ(k.AccLinInc, 3000.0);
}

struct IniFaultCase {
    const char* file;
    const char* reason;
    const char* line;
};

class RobotIniFaultTest : public RobotKinematicTest, public ::testing::WithParamInterface<IniFaultCase> {};

TEST_P(RobotIniFaultTest, SetsReasonAndOperationModeOne) {
    const IniFaultCase& c = GetParam();
    TestSupport::LogCapture log;
    const std::string path = kFixtures + c.file;
    k.Init("r", "t", path, 0);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
    std::string line = c.line;
    if (line.back() == ' ') {
        line += path;
    }
    EXPECT_TRUE(log.Contains(line)) << log.Joined();
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, RobotIniFaultTest,
    ::testing::Values(
        IniFaultCase{"robot_missing.xml", "51 Robot Ini not found", "TestKinematic: could not find robot ini file: "},
        IniFaultCase{"robot_not_xml.xml", "52 Robot Ini not valid",
                     "TestKinematic: could not read robot ini file correctly: "},
        IniFaultCase{"robot_no_root.xml", "53 Robot Ini not complete",
                     "TestKinematic: line Robot not found in robot ini file!"},
        IniFaultCase{"robot_no_kinematic.xml", "54 Robot Ini not complete",
                     "TestKinematic: line Kinematic not found in robot ini file!"},
        IniFaultCase{"robot_no_softwareminmax.xml", "55 Robot Ini not complete",
                     "TestKinematic: line SoftwareMinMax not found in robot ini file!"},
        IniFaultCase{"robot_no_jointvelocities.xml", "56 Robot Ini not complete",
                     "RobotKinematic: line JointVelocities not found in robot ini file!"},
        IniFaultCase{"robot_no_jointaccelerations.xml", "57 Robot Ini not complete",
                     "RobotKinematic: line JointAccelerations not found in robot ini file!"},
        IniFaultCase{"robot_no_manufacturerjointconfig.xml", "58 Robot Ini not complete",
                     "TestKinematic: line ManufacturerJointConfig not found in robot ini file!"},
        IniFaultCase{"robot_no_singularities.xml", "59 Robot Ini not complete",
                     "TestKinematic: line \"SINGULARITIES\" not found in robot ini file!"},
        IniFaultCase{"robot_no_joints.xml", "60 Robot Ini not complete",
                     "TestKinematic: line Joints not found in robot ini file!"}),
    [](const ::testing::TestParamInfo<IniFaultCase>& info) {
        std::string name = info.param.file;
        return name.substr(0, name.find('.'));
    });

TEST_F(RobotKinematicTest, MissingElementKeepsDefaultsAndReadingGoesOn) {
    k.length = 77.0f;
    k.Init("r", "t", kFixtures + "robot_no_kinematic.xml", 0);
    EXPECT_EQ(k.length, 77.0f);
    EXPECT_EQ(k.zOffset, 12.5f);                   // later elements still read
    EXPECT_EQ(k.jointMaxVelocity[0], 11.0f);
}

// The exit seam: a fatal reader ends the process with status 46.
int g_exitStatus = 0;
void RecordExit(int status) { g_exitStatus = status; }

TEST_F(RobotKinematicTest, FatalIniFaultGoesThroughTheExitFunction) {
    g_exitStatus = 0;
    RobotKinematic::ExitFunction previous = RobotKinematic::SetExitFunction(&RecordExit);
    k.fault = TestKinematic::IniFault::Exit;
    TestSupport::LogCapture log;
    k.ReadIniFile(kFixtures + "robot_no_singularities.xml");
    RobotKinematic::SetExitFunction(previous);

    EXPECT_EQ(g_exitStatus, 46);
    EXPECT_TRUE(log.Contains("TestKinematic: line \"SINGULARITIES\" not found in robot ini file!"));
    // A fatal reader sets no failure reason.
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
}

TEST(RobotKinematicDeathTest, FatalIniFaultEndsTheProcessWithStatus46) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TestKinematic kin;
            kin.fault = TestKinematic::IniFault::Exit;
            kin.ReadIniFile(kFixtures + "robot_missing.xml");
        },
        ::testing::ExitedWithCode(46), "");
}

// --- creation from the robot type string -----------------------------------------------

TEST(RobotKinematicFactoryTest, CreatesTheVariantOfEveryRobotTypeString) {
    struct Case {
        const char* type;
        std::type_index variant;
    } cases[] = {
        {"StandardSixAxisPlus", typeid(RobotKinematicSixAxis)},
        {"Cartesian1Axis", typeid(RobotKinematicCartesian1Axis)},
        {"Cartesian2AxisLine", typeid(RobotKinematicCartesian2AxisLine)},
        {"Cartesian2AxisPlane", typeid(RobotKinematicCartesian2AxisPlane)},
        {"Cartesian3Axis", typeid(RobotKinematicCartesian3Axis)},
        {"Cartesian", typeid(RobotKinematicCartesian3Axis)},
        {"JXR3AxisPlane", typeid(RobotKinematic3AxisPlane)},
        {"JXRPivra4", typeid(RobotKinematicPivra4)},
        {"JXRPivra5", typeid(RobotKinematicPivra5)},
        {"JXRSlider", typeid(RobotKinematicSlider)},
        {"Delta", typeid(RobotKinematicDelta)},
        {"DeltaLinear", typeid(RobotKinematicDeltaLinear)},
        {"Delta2Linear", typeid(RobotKinematicDelta2Linear)},
        {"SCARA-LRRR", typeid(RobotKinematicSCARALRRR)},
        {"SCARA-RRLR", typeid(RobotKinematicSCARARRLR)},
        {"SCARA-RRR", typeid(RobotKinematicSCARARRR)},
        {"SeparateJointsLinear", typeid(RobotKinematicSeparateJointsLinear)},
        {"SeparateJoints", typeid(RobotKinematicSeparateJointsLinear)},
        {"SeparateJointsRotational", typeid(RobotKinematicSeparateJointsRotational)},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(RobotKinematic::IsKnownRobotType(c.type)) << c.type;
        std::unique_ptr<RobotKinematic> kin = RobotKinematic::Create(c.type);
        ASSERT_NE(kin, nullptr) << c.type;
        EXPECT_EQ(std::type_index(typeid(*kin)), c.variant) << c.type;
        EXPECT_TRUE(kin->robotType.empty()) << "Init must not run on creation: " << c.type;
        std::unique_ptr<RobotKinematic> copy = kin->clone();
        ASSERT_NE(copy, nullptr) << c.type;
        EXPECT_EQ(std::type_index(typeid(*copy)), c.variant) << c.type;
    }
}

TEST(RobotKinematicFactoryTest, Parallel2AxisIsKnownButCreatesNoKinematic) {
    EXPECT_TRUE(RobotKinematic::IsKnownRobotType("Parallel2Axis"));
    EXPECT_EQ(RobotKinematic::Create("Parallel2Axis"), nullptr);
}

TEST(RobotKinematicFactoryTest, UnknownStringsAreRejected) {
    for (const char* type : {"", "delta", "JXRPivra4 ", "Pivra4", "SCARA"}) {
        EXPECT_FALSE(RobotKinematic::IsKnownRobotType(type)) << "'" << type << "'";
        EXPECT_EQ(RobotKinematic::Create(type), nullptr) << "'" << type << "'";
    }
}

}  // namespace
