#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicCartesian1Axis.h"
#include "kinematics/RobotKinematicCartesian3Axis.h"
#include "testsupport/KinematicChecks.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using DataTypes::Matrix44;
using DataTypes::Vector3;

using namespace TestSupport;

std::string GantryFixture(const std::string& name) {
    return std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/gantry/" + name;
}

template <class K>
std::unique_ptr<K> MakeGantry(const std::string& file, const char* type) {
    return MakeKinematic<K>("Gantry", type, GantryFixture(file));
}

std::unique_ptr<RobotKinematicCartesianGantry> Three(const std::string& file = "cartesian_default.xml") {
    return MakeGantry<RobotKinematicCartesian3Axis>(file, "Cartesian3Axis");
}
std::unique_ptr<RobotKinematicCartesianGantry> One(const std::string& file = "cartesian_default.xml") {
    return MakeGantry<RobotKinematicCartesian1Axis>(file, "Cartesian1Axis");
}

struct Variant {
    const char* name;
    std::function<std::unique_ptr<RobotKinematicCartesianGantry>(const std::string&)> make;
    bool followsLinearAxes;
};

const Variant kVariants[] = {
    {"Cartesian3Axis", [](const std::string& f) { return Three(f); }, true},
    {"Cartesian1Axis", [](const std::string& f) { return One(f); }, false},
};

std::string Print(const tinyxml2::XMLDocument& doc) {
    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    return printer.CStr();
}

class CartesianGantryTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("na");
    }
};

TEST_F(CartesianGantryTest, DefaultGeometryPointsTheToolDown) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        auto k = v.make("cartesian_default.xml");
        const float joints[9] = {100.0f, 200.0f, 50.0f};
        k->SetJoints(joints, true);
        const Matrix44 expected(Vector3(1, 0, 0), Vector3(0, -1, 0), Vector3(0, 0, -1), Vector3(-95, -50, 80));
        EXPECT_TRUE(k->currentPosition.Equals(expected, 1e-5f)) << k->currentPosition.ToString();

        k->currentJoints[0] = k->currentJoints[1] = k->currentJoints[2] = 0.0f;
        float ext[9] = {};
        k->SetPosition(expected, ext);
        EXPECT_NEAR(k->currentJoints[0], 100.0f, 1e-4f);
        EXPECT_NEAR(k->currentJoints[1], 200.0f, 1e-4f);
        EXPECT_NEAR(k->currentJoints[2], 50.0f, 1e-4f);
    }
}

TEST_F(CartesianGantryTest, FourthAxisTurnsTheToolAboutTheVertical) {
    auto k = Three("cartesian_fourth.xml");
    ASSERT_EQ(k->nrOfJoints, 4);
    const float joints[9] = {100.0f, 50.0f, 20.0f, 30.0f};
    k->SetJoints(joints, true);
    const Matrix44 pose = k->currentPosition;
    EXPECT_NEAR(HeadingDeg(pose.GetColumnVector(0)), 30.0f, 1e-4f);
    EXPECT_NEAR(pose.GetColumnVector(2).z, -1.0f, 1e-6f);

    k->currentJoints[3] = 0.0f;
    float ext[9] = {};
    k->SetPosition(pose, ext);
    EXPECT_NEAR(k->currentJoints[3], 30.0f, 1e-4f);
}

TEST_F(CartesianGantryTest, TargetOrientationIsReplacedByTheGantrys) {
    for (const char* file : {"cartesian_default.xml", "cartesian_fourth.xml"}) {
        SCOPED_TRACE(file);
        auto k = Three(file);
        Matrix44 target;
        target.SetRotationABCDeg2(40.0, 25.0, -10.0);  // z axis tilted away from straight down
        target.SetTranslation(-20.0f, 30.0f, 100.0f);
        float ext[9] = {};
        k->SetPosition(target, ext);
        const Matrix44& stored = k->currentPosition;
        EXPECT_EQ(stored.GetTranslation().x, -20.0f);
        EXPECT_EQ(stored.GetTranslation().y, 30.0f);
        EXPECT_EQ(stored.GetTranslation().z, 100.0f);
        EXPECT_NEAR(stored.GetColumnVector(2).z, -1.0f, 1e-6f);
        if (k->FourthAxis) {
            EXPECT_NEAR(HeadingDeg(stored.GetColumnVector(0)), 40.0f, 1e-3f);
        } else {
            EXPECT_TRUE(stored.Equals(Matrix44(Vector3(1, 0, 0), Vector3(0, -1, 0), Vector3(0, 0, -1),
                                               Vector3(-20, 30, 100)),
                                      0.0f));
        }
    }
}

TEST_F(CartesianGantryTest, WithoutFourthAxisJointFourIsLeftAlone) {
    auto k = Three();
    k->currentJoints[3] = 12.5f;
    const float joints[9] = {100.0f, 200.0f, 50.0f, 77.0f};
    k->SetJoints(joints, true);
    EXPECT_EQ(k->currentJoints[3], 12.5f);
    float ext[9] = {};
    k->SetPosition(k->currentPosition, ext);
    EXPECT_EQ(k->currentJoints[3], 12.5f);
}

TEST_F(CartesianGantryTest, LimitsRejectOnlyMovesFurtherOut) {
    auto k = Three();
    struct Step {
        float joints[6];
        int code;
    };
    // Joints 5 and 6 have no limits at all; joint 3 stops at -5 unless it moves back.
    const Step steps[] = {
        {{100, 200, 50, 0, 1e6f, -1e6f}, -1},
        {{100, 200, -6, 0, 0, 0}, KinematicError::JointBelowMin},
        {{100, 200, 0, 0, 0, 0}, -1},
    };
    for (const Step& s : steps) {
        float joints[9] = {};
        std::copy(s.joints, s.joints + 6, joints);
        EXPECT_EQ(CodeOf([&] { k->SetJoints(joints, true); }), s.code);
    }
    k->SetJoints(std::vector<float>{100, 200, -8, 0, 0, 0, 0, 0, 0}.data(), false);
    EXPECT_EQ(CodeOf([&] { k->SetJoints(std::vector<float>{100, 200, -7, 0, 0, 0, 0, 0, 0}.data(), true); }), -1);
    EXPECT_EQ(CodeOf([&] { k->SetJoints(std::vector<float>{100, 200, -7.5f, 0, 0, 0, 0, 0, 0}.data(), true); }),
              KinematicError::JointBelowMin);
    EXPECT_EQ(k->currentJoints[2], -7.0f);
}

TEST_F(CartesianGantryTest, DirectionTextsSetTheAxes) {
    auto up = Three("cartesian_up.xml");
    up->SetJoints(std::vector<float>{0, 0, 0, 0, 0, 0, 0, 0, 0}.data(), true);
    const float low = up->currentPosition.m[11];
    up->SetJoints(std::vector<float>{0, 0, 50, 0, 0, 0, 0, 0, 0}.data(), true);
    EXPECT_NEAR(up->currentPosition.m[11] - low, 50.0f, 1e-4f);
    EXPECT_EQ(up->gantryOffset.x, -100.0f);
    EXPECT_EQ(up->gantryOffset.y, 50.0f);

    // "2 x 5": the first number is read, the ones after the unreadable one keep their values.
    auto partial = Three("cartesian_partial_dir.xml");
    EXPECT_EQ(partial->dirA1.x, 2.0f);
    EXPECT_EQ(partial->dirA1.y, 0.0f);
    EXPECT_EQ(partial->dirA1.z, 0.0f);
    partial->SetJoints(std::vector<float>{10, 0, 0, 0, 0, 0, 0, 0, 0}.data(), true);
    EXPECT_NEAR(partial->currentPosition.m[3], 20.0f, 1e-5f);
}

TEST_F(CartesianGantryTest, DependentDirectionsFailTheConfigurationInsteadOfThrowing) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        TestSupport::LogCapture log;
        std::unique_ptr<RobotKinematicCartesianGantry> k;
        EXPECT_NO_THROW(k = v.make("cartesian_equal_dirs.xml"));
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "54 Robot Ini not complete");
        EXPECT_TRUE(log.Contains(std::string(v.name == std::string("Cartesian3Axis")
                                                 ? "RobotKinematicCartesian3Axis"
                                                 : "RobotKinematicCartesian1Axis") +
                                 ": axis directions are linearly dependent: Matrix inversion: determinant is zero"))
            << log.Joined();
    }
}

TEST_F(CartesianGantryTest, ExternalAxesCountOnlyForTheThreeAxisGantry) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        auto k = v.make("cartesian_default.xml");
        k->AddExternalAxis(DependentAxis(-90, 40.0));
        const float joints[9] = {100.0f, 200.0f, 50.0f, 0.0f, 0.0f, 0.0f, 250.0f};
        k->SetJoints(joints, true);
        const float shift = v.followsLinearAxes ? 250.0f : 0.0f;
        const float lift = v.followsLinearAxes ? 40.0f : 0.0f;
        EXPECT_NEAR(k->currentPosition.m[3], -95.0f + shift, 1e-4f);
        EXPECT_NEAR(k->currentPosition.m[11], 80.0f + lift, 1e-4f);

        float given[9] = {0, 0, 0, 0, 0, 0, 250.0f, 0, 0};
        k->SetPosition(k->currentPosition, given);
        float back[9];
        k->GetJoints(back);
        EXPECT_NEAR(back[0], 100.0f, 1e-4f);
        EXPECT_NEAR(back[2], 50.0f, 1e-4f);
        EXPECT_EQ(back[6], v.followsLinearAxes ? 250.0f : 0.0f);
    }
}

// IK(FK(q)) = q and FK(IK(p)) = p on seeded random joint sets, with skewed axes, the
// fourth axis, a tool turned about every axis and a dependent external axis.
TEST_F(CartesianGantryTest, ForwardAndInverseKinematicsAreEachOthersInverse) {
    struct Case {
        const char* name;
        const Variant* variant;
        const char* file;
        bool tool;
        bool axis;
    };
    const Case cases[] = {
        {"3 default", &kVariants[0], "cartesian_default.xml", false, false},
        {"3 fourth tool axis", &kVariants[0], "cartesian_fourth.xml", true, true},
        {"1 fourth tool", &kVariants[1], "cartesian_fourth.xml", true, false},
        {"1 up tool axis", &kVariants[1], "cartesian_up.xml", true, true},
    };
    std::mt19937 rng(987654u);
    std::uniform_real_distribution<float> travel(0.0f, 290.0f);
    std::uniform_real_distribution<float> turn(-170.0f, 170.0f);
    std::uniform_real_distribution<float> ext(-500.0f, 500.0f);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto k = c.variant->make(c.file);
        if (c.tool) {
            SetTool(*k, 12.0f, -30.0f, 85.0f, 35.0, -15.0, 20.0);
        }
        if (c.axis) {
            k->AddExternalAxis(DependentAxis(180, 25.0));
        }
        int failures = 0;  // stop reporting a broken case after a few samples
        for (int sample = 0; sample < 3000 && failures < 5; ++sample) {
            float joints[9] = {travel(rng), travel(rng), travel(rng), turn(rng), 0, 0, ext(rng), 0, 0};
            k->SetJoints(joints, true);
            const Matrix44 pose = k->currentPosition;
            k->SetPosition(pose, joints);
            float back[9];
            k->GetJoints(back);
            for (int i = 0; i < k->nrOfJoints; ++i) {
                if (std::fabs(back[i] - joints[i]) > 1e-3f) {
                    ADD_FAILURE() << "joint " << i << ": " << back[i] << " instead of " << joints[i];
                    ++failures;
                }
            }
            // The stored pose is the one SetJoints reported, so feeding it back is a no-op.
            failures += ExpectPoseRoundTrip(*k, pose, back);
        }
    }
}

TEST_F(CartesianGantryTest, VirtualBoxChecksTheToolPointInBothDirections) {
    auto k = Three();
    SetTool(*k, 0.0f, 0.0f, 150.0f, 0.0, 0.0, 0.0);  // long tool: its tip is 150 mm below the flange
    k->SetJoints(std::vector<float>{100, 200, 0, 0, 0, 0, 0, 0, 0}.data(), true);
    const Matrix44 start = k->currentPosition;
    ASSERT_NEAR(start.m[11], 130.0f - 150.0f, 1e-4f);
    k->virtualBoxActive = true;
    k->virtualBoxMin = Vector3(-1000.0f, -1000.0f, -40.0f);
    k->virtualBoxMax = Vector3(1000.0f, 1000.0f, 1000.0f);

    // Flange at 100 stays inside, the tip at -50 does not.
    const float lower[9] = {100, 200, 30};
    EXPECT_EQ(CodeOf([&] { k->SetJoints(lower, true); }), KinematicError::VirtualBoxZMinus);
    EXPECT_TRUE(k->currentPosition.Equals(start, 0.0f));
    Matrix44 target = start;
    target.m[11] = -50.0f;
    float ext[9] = {};
    EXPECT_EQ(CodeOf([&] { k->SetPosition(target, ext); }), KinematicError::VirtualBoxZMinus);
    EXPECT_TRUE(k->currentPosition.Equals(start, 0.0f));
}

TEST_F(CartesianGantryTest, InitReadsTheRobotIni) {
    TestSupport::LogCapture log;
    auto k = Three("cartesian_fourth.xml");
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    EXPECT_EQ(k->kinematicTypeName, "RobotKinematicCartesian3Axis");
    EXPECT_TRUE(k->FourthAxis);
    EXPECT_EQ(k->lx, 800.0f);
    EXPECT_EQ(k->jointMinMax[3][0], -178.0f);
    EXPECT_EQ(k->jointMinMax[4][0], 0.0f);
    EXPECT_EQ(k->jointMaxVelocity[3], 90.0f);
    EXPECT_EQ(k->zOffset, 0.0f);  // the gantry's "zOffset" is its origin, not the base field
    EXPECT_EQ(k->gantryOffset.z, 300.0f);
    const Matrix44 inverse = k->axisMatrixInverse;
    EXPECT_TRUE((k->axisMatrix * inverse).Equals(Matrix44(), 1e-6f));
    for (const char* line : {"RKCartesian Gantry / Cartesian3Axis  - Kinematic Data: ",
                             "   Linear Axis 2:  Dir -0.1, 1.0, 0.1   Length: 600.0", "   Offset: 10.0, 20.0, 300.0",
                             "Fourth Axis is available",
                             "   Joint 3:  Min -178.0  Max 178.0   MaxVel 90.0   MaxAcc 500.0   JointOffset 0.0   "
                             "JointDirection 1.0"}) {
        EXPECT_TRUE(log.Contains(line)) << line;
    }
    auto plain = One();
    EXPECT_EQ(plain->nrOfJoints, 3);
    EXPECT_TRUE(log.Contains("Fourth Axis is NOT available"));
}

TEST_F(CartesianGantryTest, RobotIniFaultsSetTheirReason) {
    struct Case {
        const Variant* variant;
        const char* file;
        std::string reason;
        std::string line;
    };
    const Case cases[] = {
        {&kVariants[0], "absent.xml", "51 Robot Ini not found",
         "RobotKinematicCartesian3Axis: could not find robot ini file: " + GantryFixture("absent.xml")},
        {&kVariants[1], "no_root.xml", "53 Robot Ini not complete",
         "RobotKinematicCartesian1Axis: line Robot not found in robot ini file!"},
        {&kVariants[1], "no_kinematic.xml", "54 Robot Ini not complete",
         "RobotKinematicCartesian1Axis: line Kinematic not found in robot ini file!"},
        {&kVariants[0], "no_softwareminmax.xml", "55 Robot Ini not complete",
         "RobotKinematicCartesian3Axis: line SoftwareMinMax not found in robot ini file!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        TestSupport::LogCapture log;
        auto k = c.variant->make(c.file);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_TRUE(log.Contains(c.line)) << log.Joined();
        EXPECT_EQ(k->jointMinMax[0][1], 500.0f);  // constructor default kept
    }
}

TEST_F(CartesianGantryTest, UpdateConfigurationFileWritesTheLimits) {
    struct Case {
        const char* file;
        const char* golden;
    };
    const float limits[9][2] = {{-12.5f, 480.25f}, {0.1f, 333.33334f}, {-7.0f, 299.5f},
                                {-170.0f, 170.0f}, {0, 0},            {0, 0},
                                {-179.5f, 179.5f}, {-179.5f, 179.5f}, {-179.5f, 179.5f}};
    // Without the fourth axis "A4Min" and "A4Max" stay as they were.
    for (const Case& c : {Case{"cartesian_default.xml", "update_expected.xml"},
                          Case{"cartesian_fourth.xml", "update_fourth_expected.xml"}}) {
        SCOPED_TRACE(c.file);
        auto k = Three(c.file);
        k->SetMinMaxValues(limits);
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(doc.LoadFile(GantryFixture("update_in.xml").c_str()), tinyxml2::XML_SUCCESS);
        k->UpdateConfigurationFile(&doc, doc.FirstChildElement("Robot"));
        EXPECT_EQ(Print(doc), TestSupport::ReadWholeFile(GantryFixture(c.golden)));
    }
}

TEST_F(CartesianGantryTest, UpdateConfigurationFileWithoutLimitsOnlyLogs) {
    auto k = One();
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.LoadFile(GantryFixture("update_no_limits.xml").c_str()), tinyxml2::XML_SUCCESS);
    const std::string before = Print(doc);
    TestSupport::LogCapture log;
    k->UpdateConfigurationFile(&doc, doc.FirstChildElement("Robot"));
    EXPECT_EQ(Print(doc), before);
    EXPECT_TRUE(
        log.Contains("RobotKinematicCartesian1Axis: line SoftwareMinMax not found in robot configuration file!"));
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
}

TEST_F(CartesianGantryTest, CloneKeepsTheVariantAndItsGeometry) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        auto k = v.make("cartesian_fourth.xml");
        k->AddExternalAxis(DependentAxis(0, 10.0));
        auto copy = k->clone();
        k->dirA1 = Vector3(0.0f, 0.0f, 1.0f);
        k->FourthAxis = false;
        const float joints[9] = {100.0f, 50.0f, 20.0f, 30.0f, 0, 0, 40.0f};
        copy->SetJoints(joints, true);
        auto reference = v.make("cartesian_fourth.xml");
        reference->AddExternalAxis(DependentAxis(0, 10.0));
        reference->SetJoints(joints, true);
        EXPECT_TRUE(copy->currentPosition.Equals(reference->currentPosition, 0.0f));
        EXPECT_EQ(copy->kinematicTypeName, reference->kinematicTypeName);
    }
}

}  // namespace
