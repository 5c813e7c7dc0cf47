#include "kinematics/RobotKinematicDeltaLinear.h"

#include "core/LogSingleton.h"
#include "testsupport/KinematicChecks.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <ostream>
#include <string>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

using namespace TestSupport;

const std::string kFixtures = std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/deltalinear/";

// Keeps the process-wide operation mode and failure reason as a test found them.
class DeltaLinearTest : public ::testing::Test {
protected:
    void SetUp() override {
        kin_.Init("linear", "DeltaLinear", "/nonexistent/robot.xml", 0);
        kin_.cycleTimeMS = 4.0;
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("");
    }

    RobotKinematicDeltaLinear kin_;

private:
    TestSupport::ScopedFailState failState_;
};

TEST_F(DeltaLinearTest, CarriagesAtTheUpperRailEndsHoldThePlatformAt245) {
    const Joints zero{};
    kin_.SetJoints(zero.data(), true);
    EXPECT_LT(Distance(Vector3(0, 0, 245.93f), kin_.currentPosition.GetTranslation()), 0.01);
    for (int i = 0; i < 3; ++i) {
        EXPECT_LT(Distance(kin_.railTop[i], kin_.carriage[i]), 1e-4) << "arm " << i;
    }

    Joints none{};
    kin_.SetPosition(kin_.currentPosition, none.data());
    const Joints back = UserJointsOf(kin_);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(0.0f, back[i], 1e-3f) << "joint " << i;
    }
}

TEST_F(DeltaLinearTest, DefaultRailsRunInwardsAndDown) {
    EXPECT_EQ("RobotKinematicDeltaLinear", kin_.kinematicTypeName);
    EXPECT_EQ(3, kin_.nrOfJoints);
    EXPECT_LT(Distance(Vector3(250, 0, 600), kin_.railTop[0]), 1e-4);
    EXPECT_LT(Distance(Vector3(50, 0, 400), kin_.railBottom[0]), 1e-4);
    EXPECT_NEAR(282.84, Distance(kin_.railTop[1], kin_.railBottom[1]), 0.01);
    Vector3 second(250, 0, 600);
    second.RotateZDeg(120.0f);
    EXPECT_LT(Distance(second, kin_.railTop[1]), 1e-4);
}

// Options the round trips run with.
struct LinearOption {
    const char* name;
    bool fourthAxis;
    bool tool;
    bool linearAxis;
};

void PrintTo(const LinearOption& option, std::ostream* os) { *os << option.name; }

class DeltaLinearRoundTripTest : public ::testing::TestWithParam<LinearOption> {
protected:
    std::unique_ptr<RobotKinematicDeltaLinear> Make() const {
        auto k = std::make_unique<RobotKinematicDeltaLinear>();
        // Soft limits off: the grids probe the geometry itself.
        for (auto& pair : k->jointMinMax) {
            pair[0] = 0.0f;
            pair[1] = 0.0f;
        }
        if (GetParam().fourthAxis) {
            k->FourthAxis = true;
            k->nrOfJoints = 4;
        }
        if (GetParam().tool) {
            SetTool(*k, 5, -7, 30, 40, -5, 10);
        }
        if (GetParam().linearAxis) {
            k->AddExternalAxis(DependentAxis(-90, 25.0));
        }
        return k;
    }
    float Ext() const { return GetParam().linearAxis ? 150.0f : 0.0f; }
    float Turn(int index) const {
        static const float turns[] = {-170.0f, -90.0f, -30.0f, 0.0f, 45.0f, 120.0f, 175.0f};
        return GetParam().fourthAxis ? turns[index % 7] : 0.0f;
    }
};

TEST_P(DeltaLinearRoundTripTest, InverseOfForwardGivesTheJointsBack) {
    // The grid holds equal-height triples and pairs as well as platform joints on the
    // rail side of the plane through a lower rail end.
    auto k = Make();
    int index = 0;
    for (float a = 0; a <= 260; a += 20) {
        for (float b = 0; b <= 260; b += 20) {
            for (float c = 0; c <= 260; c += 20) {
                const Joints q = {a, b, c, Turn(index++), 0, 0, Ext(), 0, 0};
                k->SetJoints(q.data(), false);
                const Matrix44 pose = k->currentPosition;
                Joints ext{};
                ext[6] = Ext();
                k->SetPosition(pose, ext.data());
                const Joints back = UserJointsOf(*k);
                for (int i = 0; i < 4; ++i) {
                    ASSERT_NEAR(q[i], back[i], 1e-3) << "joint " << i << " of " << a << " " << b << " " << c;
                }
                k->SetJoints(back.data(), false);
                ASSERT_TRUE(k->currentPosition.Equals(pose, 1e-3f)) << "joints " << a << " " << b << " " << c;
            }
        }
    }
}

TEST_P(DeltaLinearRoundTripTest, ForwardOfInverseGivesTheTargetBack) {
    auto k = Make();
    int inside = 0;
    int index = 0;
    for (float x = -150; x <= 150; x += 30) {
        for (float y = -150; y <= 150; y += 30) {
            for (float z = 0; z <= 240; z += 30) {
                // Target orientation the platform can take: tool down, turned by the fourth axis.
                Matrix44 platform(Vector3(1, 0, 0), Vector3(0, -1, 0), Vector3(0, 0, -1), Vector3(x, y, z));
                Matrix44 turn;
                turn.SetRotationDeg(Matrix44::Z, Turn(index++));
                Matrix44 target = k->tool.toolMatrix * (turn * platform);
                target(0, 3) += GetParam().linearAxis ? Ext() : 0.0f;
                target(2, 3) += GetParam().linearAxis ? 25.0f : 0.0f;

                Joints ext{};
                ext[6] = Ext();
                try {
                    k->SetPosition(target, ext.data());
                } catch (int code) {
                    EXPECT_EQ(KinematicError::OutOfReach, code);
                    continue;
                }
                const Joints q = UserJointsOf(*k);
                if (q[0] > 270 || q[1] > 270 || q[2] > 270 || q[0] < 0 || q[1] < 0 || q[2] < 0) {
                    continue;  // carriage off its rail
                }
                ++inside;
                k->SetJoints(q.data(), false);
                EXPECT_TRUE(k->currentPosition.Equals(target, 1e-3f)) << "target (" << x << ", " << y << ", " << z
                                                                       << ")\n"
                                                                       << k->currentPosition.ToString();
            }
        }
    }
    EXPECT_GT(inside, 300);
}

INSTANTIATE_TEST_SUITE_P(Options, DeltaLinearRoundTripTest,
                         ::testing::Values(LinearOption{"Plain", false, false, false},
                                           LinearOption{"FourthAxis", true, false, false},
                                           LinearOption{"Tool", false, true, false},
                                           LinearOption{"FourthAxisAndTool", true, true, false},
                                           LinearOption{"LinearAxis", false, false, true}),
                         [](const ::testing::TestParamInfo<LinearOption>& info) { return info.param.name; });

TEST_F(DeltaLinearTest, PlatformJointOnTheRailSideOfTheLowerEndSolvesExactly) {
    const Joints q = {0, 0, 200, 0, 0, 0, 0, 0, 0};
    kin_.SetJoints(q.data(), true);
    const Vector3 joint = kin_.currentPosition.GetTranslation() + kin_.tcpOffset[0];
    ASSERT_GT(Vector3::Dot(joint - kin_.railBottom[0], kin_.railTop[0] - kin_.railBottom[0]), 0.0f);

    Joints none{};
    kin_.SetPosition(kin_.currentPosition, none.data());
    const Joints back = UserJointsOf(kin_);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(q[i], back[i], 1e-3f) << "joint " << i;
    }
}

struct SphereCase {
    const char* name;
    float z[3];
    float r[3];
};

TEST_F(DeltaLinearTest, TrilaterationMeetsAllThreeSpheresAtTheLowerPoint) {
    const SphereCase cases[] = {
        {"all level", {500, 500, 500}, {400, 400, 400}},
        {"first and third level", {500, 450, 500}, {400, 390, 410}},
        {"second and third level", {450, 500, 500}, {400, 390, 410}},
        {"first and second level", {500, 500, 450}, {400, 390, 410}},
        {"all different", {500, 470, 440}, {400, 390, 410}},
    };
    for (const SphereCase& s : cases) {
        Vector3 c[3];
        for (int i = 0; i < 3; ++i) {
            c[i] = Vector3(200, 0, s.z[i]);
            c[i].RotateZDeg(120.0f * i);
        }
        const Vector3 p = kin_.Trilateration(c[0], c[1], c[2], s.r[0], s.r[1], s.r[2]);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(s.r[i], Distance(p, c[i]), 1e-3) << s.name << ", sphere " << i;
        }
        // The other meeting point is the mirror image through the plane of the centres.
        Vector3 n = Vector3::Cross(c[1] - c[0], c[2] - c[0]);
        n.Normalize();
        const Vector3 mirror = p - n * (2.0f * Vector3::Dot(p - c[0], n));
        EXPECT_LT(p.z, mirror.z) << s.name;
    }
}

TEST_F(DeltaLinearTest, TrilaterationFailureThrows28AndLogsOncePerRun) {
    const Vector3 a(0, 0, 500);
    const Vector3 b(100, 0, 500);
    const Vector3 c(200, 0, 500);
    try {
        kin_.Trilateration(a, b, c, 400, 400, 400);
        ADD_FAILURE() << "centres on one line accepted";
    } catch (int code) {
        EXPECT_EQ(KinematicError::LinearDeltaRodGeometry, code);
    }

    const Joints good = {10, 20, 30, 0, 0, 0, 0, 0, 0};
    kin_.SetJoints(good.data(), true);
    const Matrix44 pose = kin_.currentPosition;
    TestSupport::LogCapture log;
    kin_.lengthJoint = 100.0f;  // rods too short to meet
    const Joints next = {11, 20, 30, 0, 0, 0, 0, 0, 0};
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            kin_.SetJoints(next.data(), true);
            ADD_FAILURE() << "short rods accepted";
        } catch (int code) {
            EXPECT_EQ(KinematicError::LinearDeltaRodGeometry, code);
        }
    }
    EXPECT_EQ(good, UserJointsOf(kin_));
    EXPECT_TRUE(kin_.currentPosition.Equals(pose, 0.0f));
    EXPECT_EQ(1, log.Count("ForwKin: TrilaterationError"));

    kin_.lengthJoint = 400.0f;
    kin_.SetJoints(next.data(), true);
    kin_.lengthJoint = 100.0f;
    EXPECT_THROW(kin_.SetJoints(good.data(), true), int);
    EXPECT_EQ(2, log.Count("ForwKin: TrilaterationError"));
}

TEST_F(DeltaLinearTest, TargetOutOfReachThrows22AndLogsUntilJointsAreSetAgain) {
    TestSupport::LogCapture log;
    const Joints good = {10, 20, 30, 0, 0, 0, 0, 0, 0};
    kin_.SetJoints(good.data(), true);
    const Matrix44 reachable = kin_.currentPosition;
    Matrix44 far = reachable;
    far.SetTranslation(0, 0, -400);
    Joints none{};

    auto expectOutOfReach = [&]() {
        const Joints before = UserJointsOf(kin_);
        try {
            kin_.SetPosition(far, none.data());
            ADD_FAILURE() << "target out of reach accepted";
        } catch (int code) {
            EXPECT_EQ(KinematicError::OutOfReach, code);
        }
        EXPECT_EQ(before, UserJointsOf(kin_));
    };
    expectOutOfReach();
    expectOutOfReach();
    kin_.SetPosition(reachable, none.data());  // a successful inverse does not re-arm the message
    expectOutOfReach();
    EXPECT_EQ(1, log.Count("InvKin: OutofReach"));

    kin_.SetJoints(good.data(), true);
    expectOutOfReach();
    EXPECT_EQ(2, log.Count("InvKin: OutofReach"));
}

TEST_F(DeltaLinearTest, WithoutFourthAxisTheFourthJointIsZeroAfterAnInverse) {
    kin_.currentJoints[3] = 7.0f;
    Joints none{};
    const Joints q = {40, 50, 60, 0, 0, 0, 0, 0, 0};
    kin_.SetJoints(q.data(), true);
    EXPECT_EQ(7.0f, kin_.currentJoints[3]);
    kin_.SetPosition(kin_.currentPosition, none.data());
    EXPECT_EQ(0.0f, kin_.currentJoints[3]);
}

struct IniCase {
    const char* file;
    const char* reason;  // empty: no failure
    const char* line;
};

TEST_F(DeltaLinearTest, IniFaultsSetTheirFailureReasonAndKeepDefaults) {
    const IniCase cases[] = {
        {"missing.xml", "51 Robot Ini not found", "RobotKinematicDeltaLinear: could not find robot ini file: "},
        {"no_kinematic.xml", "54 Robot Ini not complete",
         "RobotKinematicDeltaLinear: line Kinematic not found in robot ini file!"},
        {"no_linkage.xml", "55 Robot Ini not complete",
         "RobotKinematicDeltaLinear: line Linkage not found in robot ini file!"},
        {"no_softwareminmax.xml", "55 Robot Ini not complete",
         "RobotKinematicDeltaLinear: line SoftwareMinMax not found in robot ini file!"},
    };
    for (const IniCase& c : cases) {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("");
        TestSupport::LogCapture log;
        RobotKinematicDeltaLinear k;
        k.Init("linear", "DeltaLinear", kFixtures + c.file, 0);
        EXPECT_EQ(c.reason, LogSingleton::instance()->get_seriousFailReason()) << c.file;
        EXPECT_EQ(OPMODE_SERIOUS_FAILURE, LogSingleton::instance()->get_opMode()) << c.file;
        EXPECT_TRUE(log.Contains(c.line)) << c.file;
        EXPECT_EQ(3, k.nrOfJoints) << c.file;
    }
}

TEST_F(DeltaLinearTest, IniFileWithFourthAxisSetsGeometryLimitsAndFourJoints) {
    TestSupport::LogCapture log;
    RobotKinematicDeltaLinear k;
    k.Init("linear", "DeltaLinear", kFixtures + "robot.xml", 0);

    EXPECT_EQ(OPMODE_NORMAL, LogSingleton::instance()->get_opMode());
    EXPECT_TRUE(log.Contains("RKCartesian linear / DeltaLinear  - Kinematic Data: "));
    EXPECT_TRUE(log.Contains("Fourth Axis is available"));
    EXPECT_TRUE(log.Contains("   Joint 3:  Min -170.0  Max 170.0   MaxVel 54.0   MaxAcc 154.0   JointOffset 0.0   "
                             "JointDirection 1.0"));
    EXPECT_TRUE(k.FourthAxis);
    EXPECT_EQ(4, k.nrOfJoints);
    const float geometry[] = {k.mountZ, k.distZ1, k.distZ2, k.radius1, k.radius2,
                              k.lengthJoint, k.distJoint, k.tcpRadius, k.tcpHeight, k.MaxAngle};
    const float expected[] = {720, 110, 190, 240, 60, 380, 40, 35, 25, 25};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(expected[i], geometry[i]) << "field " << i;
    }
    EXPECT_LT(Distance(Vector3(240, 0, 610), k.railTop[0]), 1e-4);
    EXPECT_LT(Distance(Vector3(35, 0, 25), k.tcpOffset[0]), 1e-4);
    EXPECT_EQ(-4.0f, k.jointMinMax[2][0]);
    EXPECT_EQ(170.0f, k.jointMinMax[3][1]);
    EXPECT_EQ(1600.0, k.AccLin);

    RobotKinematicDeltaLinear three;
    three.Init("linear", "DeltaLinear", kFixtures + "no_fourth_axis.xml", 0);
    EXPECT_FALSE(three.FourthAxis);
    EXPECT_EQ(3, three.nrOfJoints);
    EXPECT_EQ(-179.5f, three.jointMinMax[3][0]);  // A4 limits are not read without the axis
    EXPECT_EQ(390.0f, three.lengthJoint);
}

TEST_F(DeltaLinearTest, CloneCopiesGeometryAndPreparesTheRails) {
    kin_.radius1 = 260.0f;
    kin_.lengthJoint = 410.0f;
    kin_.FourthAxis = true;
    kin_.MaxAngle = 20.0f;
    kin_.errorLogged = true;
    std::unique_ptr<RobotKinematic> copy = kin_.clone();
    auto* linear = dynamic_cast<RobotKinematicDeltaLinear*>(copy.get());
    ASSERT_NE(nullptr, linear);
    EXPECT_EQ(410.0f, linear->lengthJoint);
    EXPECT_TRUE(linear->FourthAxis);
    EXPECT_EQ(20.0f, linear->MaxAngle);
    EXPECT_TRUE(linear->errorLogged);
    EXPECT_LT(Distance(Vector3(260, 0, 600), linear->railTop[0]), 1e-4);
}

}  // namespace
