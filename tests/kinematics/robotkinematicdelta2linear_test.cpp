#include "kinematics/RobotKinematicDelta2Linear.h"

#include "core/LogSingleton.h"
#include "testsupport/KinematicChecks.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

using namespace TestSupport;

const std::string kFixtures = std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/delta2linear/";
const char* const kNotReachable = "Kinematics Error Delta2: not reachable";
const char* const kYMotion = "Kinematics Error Delta2: Y motion is not allowed";

// Runs f and expects a std::runtime_error with the given text.
template <typename F>
void ExpectRuntimeError(const char* text, F f) {
    try {
        f();
        ADD_FAILURE() << "no error, expected \"" << text << "\"";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(text, e.what());
    }
}

class Delta2LinearTest : public ::testing::Test {
protected:
    void SetUp() override {
        kin_.Init("planar", "Delta2Linear", "/nonexistent/robot.xml", 0);
        kin_.cycleTimeMS = 4.0;
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("");
    }

    RobotKinematicDelta2Linear kin_;

private:
    TestSupport::ScopedFailState failState_;
};

TEST_F(Delta2LinearTest, DefaultRailsStartAtTheUpperEndsAndPositiveTravelGoesDown) {
    EXPECT_EQ("RobotKinematicDelta2Linear", kin_.kinematicTypeName);
    EXPECT_EQ(2, kin_.nrOfJoints);
    for (int r = 0; r < 2; ++r) {
        EXPECT_GT(kin_.railU[r].z, kin_.railD[r].z) << "rail " << r;
        EXPECT_LT(Distance(kin_.railU[r], kin_.carriage[r]), 1e-4) << "rail " << r;
    }
    EXPECT_LT(Distance(Vector3(-250, 0, 710), kin_.railU[0]), 1e-4);
    EXPECT_LT(Distance(Vector3(100, 0, 560), kin_.railD[1]), 1e-4);

    const Joints q = {50, 0, 0, 0, 0, 0, 0, 0, 0};
    kin_.SetJoints(q.data(), true);
    EXPECT_LT(kin_.carriage[0].z, kin_.railU[0].z);
    Joints none{};
    kin_.SetPosition(kin_.currentPosition, none.data());
    EXPECT_NEAR(50.0f, UserJointsOf(kin_)[0], 1e-3f);
}

// Rail layouts the round trip runs with: {U x, U depth, D x, D depth} of both rails.
struct RailLayout {
    const char* name;
    float left[4];
    float right[4];
};

void PrintTo(const RailLayout& layout, std::ostream* os) { *os << layout.name; }

class Delta2LinearRoundTripTest : public ::testing::TestWithParam<RailLayout> {
protected:
    std::unique_ptr<RobotKinematicDelta2Linear> Make(bool withTool) const {
        auto k = std::make_unique<RobotKinematicDelta2Linear>();
        const RailLayout& l = GetParam();
        k->railLUX = l.left[0];
        k->railLUZ = l.left[1];
        k->railLDX = l.left[2];
        k->railLDZ = l.left[3];
        k->railRUX = l.right[0];
        k->railRUZ = l.right[1];
        k->railRDX = l.right[2];
        k->railRDZ = l.right[3];
        k->PrepareKinematic();
        if (withTool) {
            k->tool.toolMatrix.SetRotationABCDeg2(0, 15, 0);
            k->tool.toolMatrix.SetTranslation(6, 0, 35);
            k->tool.toolMatrixInverse = k->tool.toolMatrix.Inverse();
        }
        return k;
    }
    static float RailLength(const RobotKinematicDelta2Linear& k, int r) {
        return static_cast<float>(Distance(k.railU[r], k.railD[r]));
    }
};

TEST_P(Delta2LinearRoundTripTest, InverseOfForwardGivesTheTravelsBack) {
    for (bool withTool : {false, true}) {
        auto k = Make(withTool);
        const float left = RailLength(*k, 0);
        const float right = RailLength(*k, 1);
        for (int i = 0; i <= 20; ++i) {
            for (int j = 0; j <= 20; ++j) {
                const Joints q = {left * i / 20.0f, right * j / 20.0f, 0, 0, 0, 0, 0, 0, 0};
                k->SetJoints(q.data(), false);
                const Matrix44 pose = k->currentPosition;
                Joints none{};
                k->SetPosition(pose, none.data());
                const Joints back = UserJointsOf(*k);
                ASSERT_NEAR(q[0], back[0], 1e-3) << "travels " << q[0] << " " << q[1] << ", tool " << withTool;
                ASSERT_NEAR(q[1], back[1], 1e-3) << "travels " << q[0] << " " << q[1] << ", tool " << withTool;
                k->SetJoints(back.data(), false);
                ASSERT_TRUE(k->currentPosition.Equals(pose, 1e-3f));
            }
        }
    }
}

TEST_P(Delta2LinearRoundTripTest, ForwardOfInverseGivesTheTargetBack) {
    auto k = Make(true);
    int inside = 0;
    for (float x = -200; x <= 200; x += 10) {
        for (float z = 0; z <= 500; z += 10) {
            Matrix44 platform(Vector3(1, 0, 0), Vector3(0, -1, 0), Vector3(0, 0, -1), Vector3(x, 0, z));
            const Matrix44 target = k->tool.toolMatrix * platform;
            Joints none{};
            try {
                k->SetPosition(target, none.data());
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(kNotReachable, e.what());
                continue;
            } catch (int) {
                continue;  // carriage beyond its soft limits
            }
            const Joints q = UserJointsOf(*k);
            if (q[0] < 0 || q[1] < 0 || q[0] > RailLength(*k, 0) || q[1] > RailLength(*k, 1)) {
                continue;  // carriage off its rail
            }
            ++inside;
            k->SetJoints(q.data(), false);
            EXPECT_LT(Distance(target.GetTranslation(), k->currentPosition.GetTranslation()), 1e-3)
                << "target " << x << " " << z;
        }
    }
    EXPECT_GT(inside, 40);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Delta2LinearRoundTripTest,
    ::testing::Values(RailLayout{"Default", {250, 50, 100, 200}, {250, 50, 100, 200}},
                      RailLayout{"HorizontalOutwards", {100, 50, 250, 50}, {100, 50, 250, 50}},
                      RailLayout{"HorizontalInwards", {250, 50, 100, 50}, {250, 50, 100, 50}},
                      RailLayout{"Vertical", {250, 50, 250, 250}, {250, 50, 250, 250}},
                      RailLayout{"Uneven", {260, 40, 110, 210}, {240, 80, 120, 180}}),
    [](const ::testing::TestParamInfo<RailLayout>& info) { return info.param.name; });

struct CircleCase {
    const char* name;
    Vector3 c0;
    float r0;
    Vector3 c1;
    float r1;
    int count;
};

TEST_F(Delta2LinearTest, CircleIntersectionsCountTheirPointsInThePlane) {
    const CircleCase cases[] = {
        {"crossing", Vector3(-100, 5, 700), 400, Vector3(150, -5, 650), 400, 2},
        {"touching", Vector3(-400, 0, 700), 400, Vector3(400, 0, 700), 400, 1},
        {"too far apart", Vector3(-401, 0, 700), 400, Vector3(400, 0, 700), 400, 0},
        {"one inside the other", Vector3(0, 0, 700), 400, Vector3(10, 0, 700), 100, 0},
        {"same circle", Vector3(0, 0, 700), 400, Vector3(0, 7, 700), 400, 0},
    };
    for (const CircleCase& c : cases) {
        Vector3 i1(9, 9, 9);
        Vector3 i2(9, 9, 9);
        EXPECT_EQ(c.count, kin_.FindCircleCircleIntersections(c.c0, c.r0, c.c1, c.r1, &i1, &i2)) << c.name;
        if (c.count == 0) {
            EXPECT_LT(Distance(Vector3(), i1) + Distance(Vector3(), i2), 1e-9) << c.name;
            continue;
        }
        for (const Vector3& p : {i1, i2}) {
            EXPECT_EQ(0.0f, p.y) << c.name;
            EXPECT_NEAR(c.r0, std::hypot(p.x - c.c0.x, p.z - c.c0.z), 1e-3) << c.name;
            EXPECT_NEAR(c.r1, std::hypot(p.x - c.c1.x, p.z - c.c1.z), 1e-3) << c.name;
        }
        if (c.count == 1) {
            EXPECT_LT(Distance(i1, i2), 1e-4) << c.name;
        }
    }
}

struct LineCase {
    const char* name;
    Vector3 p1;
    Vector3 p2;
    int count;
};

TEST_F(Delta2LinearTest, LineIntersectionsPutThePointNearerTheFirstEndSecond) {
    const Vector3 centre(0, 0, 300);
    const LineCase cases[] = {
        {"secant", Vector3(-500, 0, 400), Vector3(500, 0, 400), 2},
        {"tangent", Vector3(-500, 0, 700), Vector3(500, 0, 700), 1},
        {"miss", Vector3(-500, 0, 701), Vector3(500, 0, 701), 0},
        {"no line", Vector3(-100, 0, 400), Vector3(-100, 0, 400), 0},
    };
    for (const LineCase& c : cases) {
        Vector3 i1(9, 9, 9);
        Vector3 i2(9, 9, 9);
        EXPECT_EQ(c.count, kin_.FindLineCircleIntersections(centre, 400, c.p1, c.p2, &i1, &i2)) << c.name;
        if (c.count == 0) {
            EXPECT_LT(Distance(Vector3(), i1) + Distance(Vector3(), i2), 1e-9) << c.name;
        } else {
            EXPECT_NEAR(400.0, Distance(centre, i1), 1e-3) << c.name;
        }
        if (c.count == 2) {
            EXPECT_LT(Distance(c.p1, i2), Distance(c.p1, i1)) << c.name;
        }
    }
}

TEST_F(Delta2LinearTest, UnreachableGeometriesThrowTheNotReachableText) {
    const Joints good = {30, 40, 0, 0, 0, 0, 0, 0, 0};
    kin_.SetJoints(good.data(), true);
    const Matrix44 pose = kin_.currentPosition;
    Joints none{};

    // Platform point farther than a rod from the left rail.
    Matrix44 far = pose;
    far.SetTranslation(-900, 0, 300);
    ExpectRuntimeError(kNotReachable, [&]() { kin_.SetPosition(far, none.data()); });

    // Carriages farther apart than two rods.
    kin_.lengthJoint = 200.0f;
    ExpectRuntimeError(kNotReachable, [&]() { kin_.SetJoints(good.data(), true); });
    kin_.lengthJoint = 400.0f;

    // A rail whose ends coincide.
    kin_.railLDX = kin_.railLUX;
    kin_.railLDZ = kin_.railLUZ;
    kin_.PrepareKinematic();
    ExpectRuntimeError(kNotReachable, [&]() { kin_.SetPosition(pose, none.data()); });

    EXPECT_EQ(good, UserJointsOf(kin_));
    EXPECT_TRUE(kin_.currentPosition.Equals(pose, 0.0f));
}

TEST_F(Delta2LinearTest, YTranslationBeyondFloatNoiseIsRefusedFirst) {
    const Joints q = {30, 40, 0, 0, 0, 0, 0, 0, 0};
    kin_.SetJoints(q.data(), true);
    const Matrix44 pose = kin_.currentPosition;
    Joints none{};

    for (float y : {0.005f, -0.009f}) {
        Matrix44 target = pose;
        target(1, 3) = y;
        kin_.SetPosition(target, none.data());
        EXPECT_NEAR(30.0f, UserJointsOf(kin_)[0], 1e-3f) << "y " << y;
    }

    // Box violated as well: the y motion is reported.
    kin_.virtualBoxActive = true;
    kin_.virtualBoxMin = Vector3(-1, -1, -1);
    kin_.virtualBoxMax = Vector3(1, 1, 1);
    for (float y : {0.02f, -1.0f}) {
        Matrix44 target = pose;
        target(1, 3) = y;
        target(0, 3) += 5.0f;
        ExpectRuntimeError(kYMotion, [&]() { kin_.SetPosition(target, none.data()); });
    }
    // A NaN is no y motion but a failed computation, refused as by every other variant.
    Matrix44 target = pose;
    target(1, 3) = std::numeric_limits<float>::quiet_NaN();
    try {
        kin_.SetPosition(target, none.data());
        ADD_FAILURE() << "NaN y accepted";
    } catch (int code) {
        EXPECT_EQ(KinematicError::NaNInJoint, code);
    }
}

TEST_F(Delta2LinearTest, InverseLeavesJointsThreeAndFourAtZero) {
    kin_.currentJoints[2] = 5.0f;
    kin_.currentJoints[3] = 6.0f;
    const Joints q = {30, 40, 0, 0, 0, 0, 12, 0, 0};
    kin_.SetJoints(q.data(), false);
    Joints ext{};
    ext[6] = 12.0f;
    kin_.SetPosition(kin_.currentPosition, ext.data());
    EXPECT_EQ(0.0f, kin_.currentJoints[2]);
    EXPECT_EQ(0.0f, kin_.currentJoints[3]);
    EXPECT_EQ(12.0f, kin_.currentJoints[6]);
}

struct IniCase {
    const char* file;
    const char* reason;
    const char* line;
};

TEST_F(Delta2LinearTest, IniFaultsSetTheirFailureReason) {
    const IniCase cases[] = {
        {"missing.xml", "51 Robot Ini not found", "RobotKinematicDelta2Linear: could not find robot ini file: "},
        {"no_kinematic.xml", "54 Robot Ini not complete",
         "RobotKinematicDelta2Linear: line Kinematic not found in robot ini file!"},
        {"no_softwareminmax.xml", "55 Robot Ini not complete",
         "RobotKinematicDelta2Linear: line SoftwareMinMax not found in robot ini file!"},
    };
    for (const IniCase& c : cases) {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("");
        TestSupport::LogCapture log;
        RobotKinematicDelta2Linear k;
        k.Init("planar", "Delta2Linear", kFixtures + c.file, 0);
        EXPECT_EQ(c.reason, LogSingleton::instance()->get_seriousFailReason()) << c.file;
        EXPECT_EQ(OPMODE_SERIOUS_FAILURE, LogSingleton::instance()->get_opMode()) << c.file;
        EXPECT_TRUE(log.Contains(c.line)) << c.file;
    }
}

TEST_F(Delta2LinearTest, IniFileSetsGeometryAndLimits) {
    TestSupport::LogCapture log;
    RobotKinematicDelta2Linear k;
    k.Init("planar", "Delta2Linear", kFixtures + "robot.xml", 0);

    EXPECT_EQ(OPMODE_NORMAL, LogSingleton::instance()->get_opMode());
    EXPECT_TRUE(log.Contains("RKDelta2Linear planar / Delta2Linear  - Kinematic Data: "));
    const float fields[] = {k.mountZ,  k.railLUX,  k.railLUZ,     k.railLDX, k.railLDZ,  k.railRUX,
                            k.railRUZ, k.railRDX,  k.railRDZ,     k.distStab, k.connDepth, k.lengthJoint,
                            k.tcpLeft, k.tcpRight, k.tcpHeight};
    const float expected[] = {800, 260, 40, 110, 210, 270, 45, 120, 215, 31, 11, 420, 12, 13, 22};
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(expected[i], fields[i]) << "field " << i;
    }
    EXPECT_LT(Distance(Vector3(-260, 0, 760), k.railU[0]), 1e-4);
    EXPECT_LT(Distance(Vector3(120, 0, 585), k.railD[1]), 1e-4);
    EXPECT_EQ(-2.0f, k.jointMinMax[1][0]);
    EXPECT_EQ(231.0f, k.jointMinMax[1][1]);
    EXPECT_EQ(1700.0, k.AccLin);
    EXPECT_TRUE(k.currentPosition.Equals(Matrix44(Vector3(-1, 0, 0), Vector3(0, 1, 0), Vector3(0, 0, -1),
                                                  Vector3(0, 0, 300)),
                                         0.0f));
}

TEST_F(Delta2LinearTest, CloneCopiesTheGeometryAndResetsTheCarriages) {
    kin_.railLUX = 270.0f;
    kin_.lengthJoint = 410.0f;
    kin_.tcpHeight = 25.0f;
    kin_.distStab = 33.0f;
    const Joints q = {30, 40, 0, 0, 0, 0, 0, 0, 0};
    kin_.SetJoints(q.data(), false);

    std::unique_ptr<RobotKinematic> copy = kin_.clone();
    auto* planar = dynamic_cast<RobotKinematicDelta2Linear*>(copy.get());
    ASSERT_NE(nullptr, planar);
    EXPECT_EQ(410.0f, planar->lengthJoint);
    EXPECT_EQ(25.0f, planar->tcpHeight);
    EXPECT_EQ(33.0f, planar->distStab);
    EXPECT_LT(Distance(Vector3(-270, 0, 710), planar->railU[0]), 1e-4);
    EXPECT_LT(Distance(planar->railU[0], planar->carriage[0]), 1e-4);
    EXPECT_EQ(UserJointsOf(kin_), UserJointsOf(*planar));
}

}  // namespace
