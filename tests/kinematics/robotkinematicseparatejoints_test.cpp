#include "kinematics/RobotKinematicSeparateJointsLinear.h"
#include "kinematics/RobotKinematicSeparateJointsRotational.h"

#include "core/LogSingleton.h"
#include "testsupport/KinematicChecks.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <typeinfo>

using DataTypes::Matrix44;

namespace {

using namespace TestSupport;

const std::string kFixtures = std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/separatejoints/";

// The two variants differ only in their names.
struct Variant {
    const char* className;
    const char* header;
    std::function<std::unique_ptr<RobotKinematic>()> make;
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.className; }

class SeparateJointsTest : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        ResetFailure();
    }
    static void ResetFailure() {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("");
    }
    std::unique_ptr<RobotKinematic> Load(const std::string& file) const {
        std::unique_ptr<RobotKinematic> k = GetParam().make();
        k->Init("axes", "SeparateJoints", kFixtures + file, 0);
        k->cycleTimeMS = 4.0;
        return k;
    }
    std::string Line(const char* text) const { return std::string(GetParam().className) + text; }

private:
    TestSupport::ScopedFailState failState_;
};

TEST_P(SeparateJointsTest, MissingIniFileKeepsTheInitDefaults) {
    TestSupport::LogCapture log;
    std::unique_ptr<RobotKinematic> k = Load("missing.xml");

    EXPECT_EQ(GetParam().className, k->kinematicTypeName);
    EXPECT_EQ("51 Robot Ini not found", LogSingleton::instance()->get_seriousFailReason());
    EXPECT_EQ(OPMODE_SERIOUS_FAILURE, LogSingleton::instance()->get_opMode());
    EXPECT_TRUE(log.Contains(Line(": could not find robot ini file: ")));
    EXPECT_TRUE(log.Contains(std::string(GetParam().header) + " axes / SeparateJoints  - Kinematic Data: "));
    EXPECT_TRUE(log.Contains("   Joint 5: Min -100.0 Max 100.0 MaxVel 20.0 JointOffset 0.0 JointDirection 1.0"));
    EXPECT_EQ(5, k->nrOfJoints);
    for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
        EXPECT_EQ(-100.0f, k->jointMinMax[i][0]) << "joint " << i;
        EXPECT_EQ(100.0f, k->jointMinMax[i][1]) << "joint " << i;
        EXPECT_EQ(20.0f, k->jointMaxVelocity[i]) << "joint " << i;
        EXPECT_EQ(100.0f, k->jointMaxAcceleration[i]) << "joint " << i;
    }
    EXPECT_EQ(1000.0, k->AccLin);
    EXPECT_EQ(2000.0, k->AccLinInc);
}

TEST_P(SeparateJointsTest, OnlyTheConfiguredJointsAreLimitChecked) {
    std::unique_ptr<RobotKinematic> k = Load("three_joints.xml");
    EXPECT_EQ(OPMODE_NORMAL, LogSingleton::instance()->get_opMode());
    EXPECT_EQ(3, k->nrOfJoints);
    EXPECT_EQ(31.0f, k->jointMaxVelocity[0]);
    EXPECT_EQ(1100.0, k->AccLin);

    const Joints start = {5, 0, 0, 0, 0, 0, 0, 0, 0};
    k->SetJoints(start.data(), true);
    // Joints 4 to 6 lie beyond the +-100 they keep, yet pass.
    const Joints wide = {5, 0, 0, 150, -150, 250, 0, 0, 0};
    k->SetJoints(wide.data(), true);
    EXPECT_EQ(wide, UserJointsOf(*k));

    const Joints outward = {12, 0, 0, 150, -150, 250, 0, 0, 0};
    try {
        k->SetJoints(outward.data(), true);
        ADD_FAILURE() << "joint 1 beyond its maximum accepted";
    } catch (int code) {
        EXPECT_EQ(KinematicError::JointAboveMax, code);
    }
    EXPECT_EQ(wide, UserJointsOf(*k));
    k->SetJoints(outward.data(), false);
    EXPECT_EQ(outward, UserJointsOf(*k));
    EXPECT_TRUE(k->currentPosition.Equals(Matrix44(), 0.0f));
}

struct IniCase {
    const char* file;
    const char* reason;
    const char* line;  // after the class name
    int joints;
};

TEST_P(SeparateJointsTest, IniFaultsSetTheirReasonAndReadTheRest) {
    const IniCase cases[] = {
        {"no_busconfiguration.xml", "59 Robot Ini not complete",
         ": line BusConfiguration not found in robot ini file!", 5},
        {"no_joints.xml", "60 Robot Ini not complete", ": line Joints not found in robot ini file!", 5},
        {"nrofjoints_0.xml", "60 Robot Ini not complete", ": attribute NrOfJoints 0 out of range 1..6", 5},
        {"nrofjoints_7.xml", "60 Robot Ini not complete", ": attribute NrOfJoints 7 out of range 1..6", 5},
        {"nrofjoints_10.xml", "60 Robot Ini not complete", ": attribute NrOfJoints 10 out of range 1..6", 5},
        {"nrofjoints_minus1.xml", "60 Robot Ini not complete", ": attribute NrOfJoints -1 out of range 1..6", 5},
        {"nrofjoints_6.xml", "", nullptr, 6},
    };
    for (const IniCase& c : cases) {
        ResetFailure();
        TestSupport::LogCapture log;
        std::unique_ptr<RobotKinematic> k = Load(c.file);
        EXPECT_EQ(c.reason, LogSingleton::instance()->get_seriousFailReason()) << c.file;
        if (c.line != nullptr) {
            EXPECT_TRUE(log.Contains(Line(c.line))) << c.file;
        }
        EXPECT_EQ(c.joints, k->nrOfJoints) << c.file;
        // The limits and velocities are read all the same.
        EXPECT_EQ(11.0f, k->jointMinMax[0][1]) << c.file;
        EXPECT_EQ(31.0f, k->jointMaxVelocity[0]) << c.file;
    }
}

TEST_P(SeparateJointsTest, CartesianTargetsChangeNothing) {
    std::unique_ptr<RobotKinematic> k = Load("three_joints.xml");
    const Joints q = {1, 2, 3, 4, 5, 0, 7, 8, 9};
    k->SetJoints(q.data(), false);
    Matrix44 target;
    target.SetRotationABCDeg2(10, 20, 30);
    target.SetTranslation(100, 200, 300);
    Joints other = {9, 9, 9, 9, 9, 9, 9, 9, 9};
    k->SetPosition(target, other.data());
    EXPECT_EQ(q, UserJointsOf(*k));
    EXPECT_TRUE(k->currentPosition.Equals(Matrix44(), 0.0f));
}

TEST_P(SeparateJointsTest, CloneKeepsTheVariantAndItsJoints) {
    std::unique_ptr<RobotKinematic> k = Load("three_joints.xml");
    const Joints q = {1, 2, 3, 0, 0, 0, 0, 0, 0};
    k->SetJoints(q.data(), false);
    std::unique_ptr<RobotKinematic> copy = k->clone();
    const RobotKinematic& original = *k;
    const RobotKinematic& copied = *copy;
    EXPECT_EQ(typeid(original), typeid(copied));
    EXPECT_EQ(GetParam().className, copy->kinematicTypeName);
    EXPECT_EQ(3, copy->nrOfJoints);
    EXPECT_EQ(q, UserJointsOf(*copy));
}

INSTANTIATE_TEST_SUITE_P(
    Variants, SeparateJointsTest,
    ::testing::Values(Variant{"RobotKinematicSeparateJointsLinear", "RKSeperateJointsLinear",
                              [] { return std::make_unique<RobotKinematicSeparateJointsLinear>(); }},
                      Variant{"RobotKinematicSeparateJointsRotational", "RKSeperateJointsRotational",
                              [] { return std::make_unique<RobotKinematicSeparateJointsRotational>(); }}),
    [](const ::testing::TestParamInfo<Variant>& info) { return std::string(info.param.className); });

}  // namespace
