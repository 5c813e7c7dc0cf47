#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicSCARALRRR.h"
#include "kinematics/RobotKinematicSCARARRLR.h"
#include "kinematics/RobotKinematicSCARARRR.h"
#include "testsupport/KinematicChecks.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

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

std::string ScaraFixture(const std::string& name) {
    return std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/scara/" + name;
}

template <class K>
std::unique_ptr<K> MakeScara(const std::string& file, const char* type) {
    return MakeKinematic<K>("Scara", type, ScaraFixture(file));
}

std::unique_ptr<RobotKinematicSCARALRRR> Lrrr(const std::string& file = "lrrr.xml") {
    return MakeScara<RobotKinematicSCARALRRR>(file, "SCARA-LRRR");
}
std::unique_ptr<RobotKinematicSCARARRLR> Rrlr(const std::string& file = "rrlr_fourth.xml") {
    return MakeScara<RobotKinematicSCARARRLR>(file, "SCARA-RRLR");
}
std::unique_ptr<RobotKinematicSCARARRR> Rrr(const std::string& file = "rrr.xml") {
    return MakeScara<RobotKinematicSCARARRR>(file, "SCARA-RRR");
}

class ScaraTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("na");
    }
};

TEST_F(ScaraTest, RrrReachesTheKnownPointAndSolvesBothElbowConfigurations) {
    auto k = Rrr();
    const float joints[9] = {30.0f, -40.0f, 20.0f};
    k->SetJoints(joints, true);
    const Matrix44 pose = k->currentPosition;
    EXPECT_NEAR(pose.m[3], 301.95f, 0.005f);
    EXPECT_NEAR(pose.m[7], 47.85f, 0.01f);
    EXPECT_NEAR(pose.m[11], 200.0f, 1e-4f);
    const Vector3 toolAxis = pose.GetColumnVector(2);
    EXPECT_NEAR(toolAxis.z, 0.0f, 1e-6f);
    EXPECT_NEAR(HeadingDeg(toolAxis), 10.0f, 1e-3f);

    float ext[9] = {};
    float back[9];
    k->SetPosition(pose, ext);
    k->GetJoints(back);
    EXPECT_NEAR(back[0], 30.0f, 1e-4f);
    EXPECT_NEAR(back[1], -40.0f, 1e-4f);
    EXPECT_NEAR(back[2], 20.0f, 1e-4f);

    k->elbowNegative = false;
    k->SetPosition(pose, ext);
    k->GetJoints(back);
    EXPECT_NEAR(back[0], -6.21f, 0.005f);
    EXPECT_NEAR(back[1], 40.0f, 0.005f);
    EXPECT_NEAR(back[2], -23.79f, 0.005f);
}

TEST_F(ScaraTest, LrrrWithoutWristPointsDownAndIgnoresTargetOrientation) {
    auto k = Lrrr();
    ASSERT_EQ(k->nrOfJoints, 3);
    const float joints[9] = {10.0f, 30.0f, -40.0f, 77.0f};
    k->SetJoints(joints, true);
    Matrix44 pose = k->currentPosition;
    EXPECT_NEAR(pose.m[3], 272.40f, 0.005f);
    EXPECT_NEAR(pose.m[7], 42.64f, 0.005f);
    EXPECT_NEAR(pose.m[11], 210.0f, 1e-4f);
    EXPECT_NEAR(pose.GetColumnVector(2).z, -1.0f, 1e-6f);
    EXPECT_NEAR(HeadingDeg(pose.GetColumnVector(0)), -10.0f, 1e-3f);

    pose.SetRotationABCDeg2(55.0, 20.0, -35.0);  // any orientation: only the point counts
    float ext[9] = {};
    k->SetPosition(pose, ext);
    float back[9];
    k->GetJoints(back);
    EXPECT_NEAR(back[0], 10.0f, 1e-4f);
    EXPECT_NEAR(back[1], 30.0f, 1e-4f);
    EXPECT_NEAR(back[2], -40.0f, 1e-4f);
    EXPECT_EQ(back[3], 0.0f);
    EXPECT_TRUE(k->currentPosition.Equals(pose, 0.0f));  // the target is stored as reached
}

// Round trips on seeded random joint sets inside the work space: IK(FK(q)) = q and
// FK(IK(p)) = p, in user units, with tools, joint conversions and a dependent external axis.
enum class Role { Lift, Shoulder, Elbow, Wrist };

struct RoundTripCase {
    const char* name;
    std::function<std::unique_ptr<RobotKinematic>()> make;
    std::vector<Role> roles;  // of the internal joints 0..nrOfJoints-1
};

std::vector<RoundTripCase> RoundTripCases() {
    const std::vector<Role> lrrr3 = {Role::Lift, Role::Shoulder, Role::Elbow};
    const std::vector<Role> lrrr4 = {Role::Lift, Role::Shoulder, Role::Elbow, Role::Wrist};
    const std::vector<Role> rrr = {Role::Shoulder, Role::Elbow, Role::Wrist};
    auto withTool = [](std::unique_ptr<RobotKinematic> k) {
        SetTool(*k, 15.0f, -8.0f, 60.0f, 25.0, 10.0, -5.0);
        return k;
    };
    auto withAxis = [](std::unique_ptr<RobotKinematic> k) {
        k->AddExternalAxis(DependentAxis(90, 50.0));
        return k;
    };
    return {
        {"LRRR", [] { return std::unique_ptr<RobotKinematic>(Lrrr()); }, lrrr3},
        {"LRRR tool", [=] { return withTool(Lrrr()); }, lrrr3},
        {"LRRR wrist", [] { return std::unique_ptr<RobotKinematic>(Lrrr("lrrr_fourth.xml")); }, lrrr4},
        {"LRRR wrist tool axis", [=] { return withAxis(withTool(Lrrr("lrrr_fourth.xml"))); }, lrrr4},
        {"LRRR user units", [=] { return withTool(Lrrr("lrrr_user_units.xml")); }, lrrr4},
        {"RRLR", [] { return std::unique_ptr<RobotKinematic>(Rrlr("rrlr.xml")); }, lrrr3},
        {"RRLR wrist", [] { return std::unique_ptr<RobotKinematic>(Rrlr()); }, lrrr4},
        {"RRLR wrist tool axis", [=] { return withAxis(withTool(Rrlr())); }, lrrr4},
        {"RRR", [] { return std::unique_ptr<RobotKinematic>(Rrr()); }, rrr},
        {"RRR heights tool axis", [=] { return withAxis(withTool(Rrr("rrr_heights.xml"))); }, rrr},
    };
}

TEST_F(ScaraTest, ForwardAndInverseKinematicsAreEachOthersInverse) {
    std::mt19937 rng(20240611u);
    std::uniform_real_distribution<float> lift(-50.0f, 250.0f);
    std::uniform_real_distribution<float> shoulder(-165.0f, 165.0f);
    // Away from the stretched arm (5 mm margin) and from the folded one.
    std::uniform_real_distribution<float> elbow(30.0f, 165.0f);
    std::uniform_real_distribution<float> wrist(-170.0f, 170.0f);
    std::uniform_real_distribution<float> extAxis(-400.0f, 400.0f);
    std::bernoulli_distribution negative(0.5);

    for (const RoundTripCase& c : RoundTripCases()) {
        SCOPED_TRACE(c.name);
        auto k = c.make();
        ASSERT_EQ(static_cast<size_t>(k->nrOfJoints), c.roles.size());
        int mismatches = 0;  // stop reporting a broken case after a few samples
        for (int sample = 0; sample < 4000 && mismatches < 5; ++sample) {
            float internal[9] = {};
            for (size_t i = 0; i < c.roles.size(); ++i) {
                switch (c.roles[i]) {
                    case Role::Lift: internal[i] = lift(rng); break;
                    case Role::Shoulder: internal[i] = shoulder(rng); break;
                    case Role::Elbow: internal[i] = negative(rng) ? -elbow(rng) : elbow(rng); break;
                    case Role::Wrist: internal[i] = wrist(rng); break;
                }
            }
            internal[6] = extAxis(rng);
            float user[9];
            k->InternalToUser(internal, user);

            k->SetJoints(user, true);
            const Matrix44 pose = k->currentPosition;
            float back[9];
            try {
                k->SetPosition(pose, user);
            } catch (int code) {
                ADD_FAILURE() << "code " << code << " for a reachable pose, sample " << sample;
                ++mismatches;
                continue;
            }
            k->GetJoints(back);
            for (int i = 0; i < k->nrOfJoints; ++i) {
                if (std::fabs(back[i] - user[i]) > 1e-3f) {
                    ADD_FAILURE() << "joint " << i << ": " << back[i] << " instead of " << user[i] << ", sample "
                                  << sample;
                    ++mismatches;
                }
            }
            EXPECT_EQ(back[6], user[6]);

            auto forward = k->clone();
            forward->SetJoints(back, false);
            if (!forward->currentPosition.Equals(pose, 1e-3f)) {
                ADD_FAILURE() << "FK(IK(p)) misses p, sample " << sample << "\n"
                              << forward->currentPosition.ToString() << pose.ToString();
                ++mismatches;
            }
        }
    }
}

// Places the wrist axis of each variant at a horizontal distance from the shoulder axis.
struct ReachCase {
    const char* name;
    std::function<std::unique_ptr<RobotKinematic>()> make;
    // Tool pose whose wrist point lies at distance d, heading 25 degrees from the shoulder.
    std::function<Matrix44(RobotKinematic&, float d)> target;
};

std::vector<ReachCase> ReachCases() {
    const float heading = 25.0f * static_cast<float>(M_PI) / 180.0f;
    auto wristPoint = [heading](float distx1, float d, float z) {
        return Vector3(distx1 + d * std::cos(heading), d * std::sin(heading), z);
    };
    return {
        {"LRRR", [] { return std::unique_ptr<RobotKinematic>(Lrrr()); },
         [=](RobotKinematic&, float d) {
             Matrix44 m;
             m.SetTranslation(wristPoint(70.0f, d, 250.0f));
             return m;
         }},
        {"RRLR wrist",
         [] { return std::unique_ptr<RobotKinematic>(Rrlr()); },
         [=](RobotKinematic& k, float d) {
             // Tool axis horizontal at heading 60 degrees, flange radius3 out along it.
             Matrix44 m;
             m.SetRotationDeg(Matrix44::Z, 60.0);
             Matrix44 down;
             down.SetRotationDeg(Matrix44::Y, 90.0);
             m = down * m;
             const float r3 = static_cast<RobotKinematicSCARARRLR&>(k).radius3;
             m.SetTranslation(wristPoint(40.0f, d, 300.0f) + m.GetColumnVector(2) * r3);
             return m;
         }},
        {"RRR",
         [] { return std::unique_ptr<RobotKinematic>(Rrr()); },
         [=](RobotKinematic&, float d) {
             Matrix44 m;
             m.SetRotationDeg(Matrix44::Z, -30.0);
             Matrix44 down;
             down.SetRotationDeg(Matrix44::Y, 90.0);
             m = down * m;
             m.SetTranslation(wristPoint(70.0f, d, 200.0f) + m.GetColumnVector(2) * 30.0f);
             return m;
         }},
    };
}

TEST_F(ScaraTest, ReachEndsFiveMillimetresShortOfTheStretchedArmAndAtTheInnerCircle) {
    struct Distance {
        float fromOuterLimit;  // distance = radius1 + radius2 - this
        bool reachable;
    };
    // radius1 + radius2 is 220 for LRRR and RRR and 220 for the RRLR fixture as well.
    const Distance distances[] = {{4.0f, false}, {6.0f, true}, {220.0f, false}, {212.0f, false}, {25.0f, true}};
    for (const ReachCase& c : ReachCases()) {
        for (const Distance& d : distances) {
            SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(220.0f - d.fromOuterLimit));
            auto k = c.make();
            float ext[9] = {};
            const Matrix44 target = c.target(*k, 220.0f - d.fromOuterLimit);
            const int code = CodeOf([&] { k->SetPosition(target, ext); });
            EXPECT_EQ(code, d.reachable ? -1 : KinematicError::OutOfReach);
        }
    }
}

TEST_F(ScaraTest, OutOfReachIsLoggedOncePerRunOfFailuresAndKeepsTheState) {
    auto k = Lrrr();
    const float joints[9] = {10.0f, 30.0f, -40.0f};
    k->SetJoints(joints, true);
    const Matrix44 reachable = k->currentPosition;
    Matrix44 far;
    far.SetTranslation(600.0f, 0.0f, 250.0f);
    float ext[9] = {};
    float before[9];
    k->GetJoints(before);

    TestSupport::LogCapture log;
    EXPECT_EQ(CodeOf([&] { k->SetPosition(far, ext); }), KinematicError::OutOfReach);
    EXPECT_EQ(CodeOf([&] { k->SetPosition(far, ext); }), KinematicError::OutOfReach);
    EXPECT_EQ(log.Count("InvKin: OutofReach"), 1);
    EXPECT_TRUE(k->currentPosition.Equals(reachable, 0.0f));
    float after[9];
    k->GetJoints(after);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(after[i], before[i]) << i;
    }

    k->SetPosition(reachable, ext);
    EXPECT_EQ(CodeOf([&] { k->SetPosition(far, ext); }), KinematicError::OutOfReach);
    EXPECT_EQ(log.Count("InvKin: OutofReach"), 2);

    k->Init("Scara", "SCARA-LRRR", ScaraFixture("lrrr.xml"), 0);
    EXPECT_EQ(CodeOf([&] { k->SetPosition(far, ext); }), KinematicError::OutOfReach);
    EXPECT_EQ(log.Count("InvKin: OutofReach"), 3);
}

TEST_F(ScaraTest, ElbowConfigurationFollowsTheLastJointSetPointOnly) {
    struct Case {
        float elbow;
        bool negative;
    };
    for (const Case c : {Case{-70.0f, true}, Case{70.0f, false}}) {
        SCOPED_TRACE(c.elbow);
        auto k = Lrrr("lrrr_fourth.xml");
        const float joints[9] = {20.0f, 10.0f, c.elbow, 5.0f};
        k->SetJoints(joints, true);
        EXPECT_EQ(k->elbowNegative, c.negative);

        // A Cartesian move elsewhere keeps the configuration.
        Matrix44 target = k->currentPosition;
        target.m[3] += 15.0f;
        target.m[7] -= 20.0f;
        float ext[9] = {};
        for (int step = 0; step < 2; ++step) {
            ASSERT_EQ(CodeOf([&] { k->SetPosition(target, ext); }), -1);
            float back[9];
            k->GetJoints(back);
            EXPECT_EQ(back[2] < 0.0f, c.negative);
            EXPECT_EQ(k->elbowNegative, c.negative);
            target.m[3] -= 15.0f;
        }
    }
}

TEST_F(ScaraTest, RrrOnlySolvesTargetsInTheArmPlaneAndReportsItsOwnPose) {
    auto k = Rrr("rrr_heights.xml");
    const float joints[9] = {20.0f, -60.0f, 15.0f};
    k->SetJoints(joints, true);
    const Matrix44 onPlane = k->currentPosition;
    EXPECT_NEAR(onPlane.m[11], 150.0f + 10.0f - 5.0f + 20.0f, 1e-4f);
    float ext[9] = {};

    struct Case {
        float dz;
        bool solved;
    };
    for (const Case c : {Case{0.002f, false}, Case{-0.002f, false}, Case{0.0005f, true}, Case{-0.0005f, true}}) {
        SCOPED_TRACE(c.dz);
        Matrix44 target = onPlane;
        target.m[11] += c.dz;
        EXPECT_EQ(CodeOf([&] { k->SetPosition(target, ext); }), c.solved ? -1 : KinematicError::OutOfReach);
        if (c.solved) {
            // The stored pose is the forward pose, on the plane, not the target.
            EXPECT_NEAR(k->currentPosition.m[11], onPlane.m[11], 1e-5f);
            EXPECT_TRUE(k->currentPosition.Equals(onPlane, 1e-3f));
        }
    }
}

TEST_F(ScaraTest, ComputedWristAnglesAreWrappedIntoOneTurn) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<RobotKinematic>()> make;
        int wrist;               // index of the wrist joint
        std::vector<float> set;  // joints given to SetJoints; IK keeps shoulder and elbow
        float expected;
    };
    const std::vector<Case> cases = {
        // Computed 185 and -200 (heading 175 and -140 after shoulder + elbow).
        {"LRRR 185", [] { return std::unique_ptr<RobotKinematic>(Lrrr("lrrr_fourth.xml")); }, 3,
         {0.0f, 30.0f, -40.0f, 185.0f}, -175.0f},
        {"LRRR -200", [] { return std::unique_ptr<RobotKinematic>(Lrrr("lrrr_fourth.xml")); }, 3,
         {0.0f, 100.0f, -40.0f, -200.0f}, 160.0f},
        {"RRLR 185", [] { return std::unique_ptr<RobotKinematic>(Rrlr()); }, 3, {0.0f, 30.0f, -40.0f, 185.0f},
         -175.0f},
        {"RRLR -200", [] { return std::unique_ptr<RobotKinematic>(Rrlr()); }, 3, {0.0f, 100.0f, -40.0f, -200.0f},
         160.0f},
        {"RRR 185", [] { return std::unique_ptr<RobotKinematic>(Rrr()); }, 2, {30.0f, -40.0f, 185.0f}, -175.0f},
        {"RRR -200", [] { return std::unique_ptr<RobotKinematic>(Rrr()); }, 2, {100.0f, -40.0f, -200.0f}, 160.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto k = c.make();
        k->jointMinMax[c.wrist][0] = 0.0f;  // unlimited wrist: only the wrap is under test
        k->jointMinMax[c.wrist][1] = 0.0f;
        float joints[9] = {};
        for (size_t i = 0; i < c.set.size(); ++i) {
            joints[i] = c.set[i];
        }
        k->SetJoints(joints, false);
        float ext[9] = {};
        k->SetPosition(k->currentPosition, ext);
        float back[9];
        k->GetJoints(back);
        EXPECT_NEAR(back[c.wrist], c.expected, 1e-3f);
    }
}

TEST_F(ScaraTest, JointLimitsApplyOnlyWhenChecked) {
    auto k = Lrrr("lrrr_fourth.xml");
    const float inside[9] = {20.0f, 10.0f, -40.0f, 5.0f};
    k->SetJoints(inside, true);
    const Matrix44 pose = k->currentPosition;

    // Elbow 175 lies beyond its maximum of 170 and would flip the configuration.
    const float beyond[9] = {20.0f, 10.0f, 175.0f, 5.0f};
    EXPECT_EQ(CodeOf([&] { k->SetJoints(beyond, true); }), KinematicError::JointAboveMax);
    EXPECT_TRUE(k->currentPosition.Equals(pose, 0.0f));
    EXPECT_TRUE(k->elbowNegative);
    EXPECT_EQ(k->currentJoints[2], -40.0f);

    k->SetJoints(beyond, false);
    EXPECT_EQ(k->currentJoints[2], 175.0f);
    EXPECT_FALSE(k->elbowNegative);
}

TEST_F(ScaraTest, VirtualBoxGuardsBothDirections) {
    const std::vector<std::function<std::unique_ptr<RobotKinematic>()>> makers = {
        [] { return std::unique_ptr<RobotKinematic>(Lrrr("lrrr_fourth.xml")); },
        [] { return std::unique_ptr<RobotKinematic>(Rrlr()); },
        [] { return std::unique_ptr<RobotKinematic>(Rrr()); },
    };
    for (size_t v = 0; v < makers.size(); ++v) {
        SCOPED_TRACE(v);
        auto k = makers[v]();
        float joints[9] = {};
        const int shoulder = (k->kinematicTypeName == "RobotKinematicSCARARRR") ? 0 : 1;
        joints[shoulder] = 10.0f;
        joints[shoulder + 1] = -40.0f;
        k->SetJoints(joints, true);
        const Matrix44 start = k->currentPosition;
        k->virtualBoxActive = true;
        k->virtualBoxMin = Vector3(-1000.0f, -1000.0f, -1000.0f);
        k->virtualBoxMax = Vector3(1000.0f, start.m[7] + 1.0f, 1000.0f);

        joints[shoulder] = 30.0f;  // swings the tool further out in +y
        EXPECT_EQ(CodeOf([&] { k->SetJoints(joints, true); }), KinematicError::VirtualBoxYPlus);
        EXPECT_TRUE(k->currentPosition.Equals(start, 0.0f));

        Matrix44 target = start;
        target.m[7] += 5.0f;
        float ext[9] = {};
        EXPECT_EQ(CodeOf([&] { k->SetPosition(target, ext); }), KinematicError::VirtualBoxYPlus);
        EXPECT_TRUE(k->currentPosition.Equals(start, 0.0f));
    }
}

TEST_F(ScaraTest, DependentExternalAxisCarriesTheArm) {
    auto k = Lrrr();
    const float joints[9] = {10.0f, 30.0f, -40.0f};
    k->SetJoints(joints, false);
    const Matrix44 still = k->currentPosition;

    k->AddExternalAxis(DependentAxis(90, 50.0));
    float withAxis[9] = {10.0f, 30.0f, -40.0f, 0.0f, 0.0f, 0.0f, 300.0f};
    k->SetJoints(withAxis, false);
    EXPECT_NEAR(k->currentPosition.m[3], still.m[3] - 300.0f, 1e-3f);
    EXPECT_NEAR(k->currentPosition.m[7], still.m[7], 1e-4f);
    EXPECT_NEAR(k->currentPosition.m[11], still.m[11] + 50.0f, 1e-4f);

    // SetPosition takes the axis value from the caller and solves the arm relative to it.
    float ext[9] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 300.0f};
    k->SetPosition(k->currentPosition, ext);
    float back[9];
    k->GetJoints(back);
    EXPECT_NEAR(back[1], 30.0f, 1e-4f);
    EXPECT_EQ(back[6], 300.0f);
}

TEST_F(ScaraTest, WristAngleWithoutFlangeOffsetCancelsTheArm) {
    auto k = Rrr();
    k->radius3 = 0.0f;
    const float joints[9] = {30.0f, -40.0f, 70.0f};
    k->SetJoints(joints, true);
    Matrix44 target = k->currentPosition;
    target.SetRotationABCDeg2(123.0, 0.0, 0.0);  // orientation cannot enter without radius3
    float ext[9] = {};
    k->SetPosition(target, ext);
    float back[9];
    k->GetJoints(back);
    EXPECT_NEAR(back[2], -(back[0] + back[1]), 1e-4f);
}

TEST_F(ScaraTest, CloneCopiesGeometryAndConfigurationIndependently) {
    auto k = Lrrr("lrrr_fourth.xml");
    const float joints[9] = {20.0f, 10.0f, 40.0f, 5.0f};
    k->SetJoints(joints, true);
    auto copy = k->clone();
    auto* c = dynamic_cast<RobotKinematicSCARALRRR*>(copy.get());
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->FourthAxis);
    EXPECT_FALSE(c->elbowNegative);
    EXPECT_EQ(c->distz3, 12.0f);
    EXPECT_EQ(c->radius1, 150.0f);
    EXPECT_TRUE(c->currentPosition.Equals(k->currentPosition, 0.0f));

    k->radius1 = 10.0f;
    k->elbowNegative = true;
    EXPECT_EQ(c->radius1, 150.0f);
    EXPECT_FALSE(c->elbowNegative);
    c->cycleTimeMS = 4.0;
    c->SetJoints(joints, true);  // still the geometry it was copied with
    auto reference = Lrrr("lrrr_fourth.xml");
    reference->SetJoints(joints, true);
    EXPECT_TRUE(c->currentPosition.Equals(reference->currentPosition, 0.0f));
}

TEST_F(ScaraTest, InitReadsTheRobotIniAndConvertsLimits) {
    TestSupport::LogCapture log;
    auto k = Lrrr("lrrr_user_units.xml");
    EXPECT_EQ(k->nrOfJoints, 4);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    EXPECT_TRUE(log.Contains("ScaraLRRR Scara / SCARA-LRRR  - Kinematic Data: "));
    EXPECT_TRUE(log.Contains("Nr of joints:  4"));
    EXPECT_TRUE(log.Contains("   Joint 2: Min -260.0 Max 80.0 MaxVel 60.0 JointOffset 90.0 JointDirection 1.0"));
    EXPECT_TRUE(log.Contains("Kinematic length: hbase 200.0, distx1 70.0, radius1 120.0, radius2 100.0, radius3 30.0"));
    // Internal limits: lift dir -1 offset 10 turns (-300, 100) into (-90, 310).
    EXPECT_EQ(k->jointMinMax[0][0], -90.0f);
    EXPECT_EQ(k->jointMinMax[0][1], 310.0f);
    EXPECT_EQ(k->jointMinMax[2][0], -170.0f);
    EXPECT_EQ(k->jointMinMax[2][1], 170.0f);
    EXPECT_EQ(k->jointMaxVelocity[3], 90.0f);
    EXPECT_EQ(k->zOffset, 12.0f);
    EXPECT_TRUE(k->currentPosition.Equals(
        Matrix44(Vector3(1, 0, 0), Vector3(0, 1, 0), Vector3(0, 0, 1), Vector3(400, 50, 300)), 0.0f));

    // RRLR introduces itself with the LRRR header; without "FourthAxis" it has three joints.
    auto r = MakeScara<RobotKinematicSCARARRLR>("lrrr.xml", "SCARA-RRLR");
    EXPECT_EQ(r->nrOfJoints, 3);
    EXPECT_TRUE(log.Contains("ScaraLRRR Scara / SCARA-RRLR  - Kinematic Data: "));
    auto rrr = Rrr();
    EXPECT_TRUE(log.Contains("ScaraRRR Scara / SCARA-RRR  - Kinematic Data: "));
}

TEST_F(ScaraTest, RobotIniFaultsSetTheirReasonAndKeepDefaults) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<RobotKinematic>(const std::string&)> make;
        std::string file;
        std::string reason;
        std::string line;  // expected log text; "<path>" stands for the file path
        int joints;
        bool defaultLimits;   // no "SoftwareMinMax" was read
        bool defaultOffsets;  // no "ManufacturerJointConfig" was read
    };
    auto lrrr = [](const std::string& f) { return std::unique_ptr<RobotKinematic>(Lrrr(f)); };
    auto rrlr = [](const std::string& f) { return std::unique_ptr<RobotKinematic>(Rrlr(f)); };
    auto rrr = [](const std::string& f) { return std::unique_ptr<RobotKinematic>(Rrr(f)); };
    const std::vector<Case> cases = {
        {"missing file", rrlr, "absent.xml", "51 Robot Ini not found",
         "RobotKinematicSCARARRLR: could not find robot ini file: <path>", 4, true, true},
        {"not xml", lrrr, "not_xml.xml", "52 Robot Ini not correct",
         "RobotKinematicSCARALRRR: could not read robot ini file correctly: <path>", 4, true, true},
        {"no root", rrr, "no_root.xml", "53 Robot Ini not complete",
         "RobotKinematicSCARARRR: line Robot not found in robot ini file!", 3, true, true},
        {"no kinematic", lrrr, "no_kinematic.xml", "54 Robot Ini not complete",
         "RobotKinematicSCARALRRR: line Kinematic not found in robot ini file!", 4, false, false},
        {"no limits", rrlr, "no_softwareminmax.xml", "55 Robot Ini not complete",
         "RobotKinematicSCARARRLR: line SoftwareMinMax not found in robot ini file!", 4, true, false},
        {"no joint config", rrr, "no_manufacturerjointconfig.xml", "58 Robot Ini not complete",
         "RobotKinematicSCARARRR: line ManufacturerJointConfig not found in robot ini file!", 3, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        TestSupport::LogCapture log;
        auto k = c.make(c.file);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        std::string line = c.line;
        const size_t at = line.find("<path>");
        if (at != std::string::npos) {
            line.replace(at, 6, ScaraFixture(c.file));
        }
        EXPECT_TRUE(log.Contains(line)) << log.Joined();
        EXPECT_EQ(k->nrOfJoints, c.joints);
        // The defaults stay where the file said nothing: shoulder limits of +-150, joint 3
        // with its factory offset of 90.
        if (c.defaultLimits) {
            EXPECT_EQ(k->jointMinMax[1][0], -150.0f);
        }
        EXPECT_EQ(k->brandTrafoJointOffsets[2], c.defaultOffsets ? 90.0f : 0.0f);
    }
}

}  // namespace
