#include "kinematics/RobotKinematicSlider.h"

#include "core/LogSingleton.h"
#include "testsupport/KinematicChecks.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <memory>

using DataTypes::Matrix44;

namespace {

using namespace TestSupport;

class SliderTest : public ::testing::Test {
protected:
    void SetUp() override {
        kin_.Init("slider", "JXRSlider", "/nonexistent/robot.xml", 0);
        kin_.cycleTimeMS = 4.0;
    }

    RobotKinematicSlider kin_;
};

TEST_F(SliderTest, InitSetsFourUncheckedWheelsAndReadsNothing) {
    TestSupport::LogCapture log;
    const operationMode mode = LogSingleton::instance()->get_opMode();
    RobotKinematicSlider k;
    EXPECT_TRUE(k.kinematicTypeName.empty());
    k.Init("slider", "JXRSlider", "/nonexistent/robot.xml", 0);

    EXPECT_TRUE(log.Contains("RKSlider: Init"));
    EXPECT_EQ(mode, LogSingleton::instance()->get_opMode());  // no ini file was looked for
    EXPECT_EQ(4, k.nrOfJoints);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(100.0f, k.jointMaxVelocity[i]) << "wheel " << i;
        EXPECT_EQ(0.0f, k.jointMinMax[i][0]) << "wheel " << i;
        EXPECT_EQ(0.0f, k.jointMinMax[i][1]) << "wheel " << i;
    }
    EXPECT_EQ(0.0f, k.jointMaxAcceleration[0]);
}

TEST_F(SliderTest, AnyJointValuesPassUncheckedAndUnchanged) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Joints q = {1e6f, -1e6f, 12345.5f, -0.25f, 77, 88, 1, 2, 3};
    kin_.SetJoints(q.data(), true);
    const Joints back = UserJointsOf(kin_);
    for (int i : {0, 1, 2, 3, 6, 7, 8}) {
        EXPECT_EQ(q[i], back[i]) << "joint " << i;
    }
    EXPECT_EQ(0.0f, back[4]);  // beyond the four wheels
    EXPECT_EQ(0.0f, back[5]);

    const Joints broken = {nan, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_NO_THROW(kin_.SetJoints(broken.data(), true));
    EXPECT_TRUE(kin_.currentPosition.Equals(Matrix44(), 0.0f));
}

struct PlatformMove {
    const char* name;
    float target[4];  // x, y, unused, heading
    float wheels[4];
};

TEST_F(SliderTest, PlatformTargetsAddWheelTurns) {
    // One wheel constant of travel turns every wheel once; a quarter heading turn
    // spins the wheel pairs against each other.
    const PlatformMove moves[] = {
        {"forward in x", {314.72818f, 0, 0, 0}, {-360, -360, -360, -360}},
        {"sideways in y", {0, 314.72818f, 0, 0}, {-360, 360, -360, 360}},
        {"quarter turn", {0, 0, 0, 90}, {-552.305f, 552.305f, 552.305f, -552.305f}},
    };
    for (const PlatformMove& m : moves) {
        RobotKinematicSlider k;
        k.Init("slider", "JXRSlider", "", 0);
        const Joints start = {10, 20, 30, 40, 0, 0, 0, 0, 0};
        k.SetJoints(start.data(), false);
        k.SetPosition(m.target);
        const Joints wheels = UserJointsOf(k);
        for (int i = 0; i < 4; ++i) {
            EXPECT_NEAR(start[i] + m.wheels[i], wheels[i], 0.01f) << m.name << ", wheel " << i;
        }
        EXPECT_EQ(m.target[0], k.currentPosition(0, 3)) << m.name;
        EXPECT_EQ(m.target[1], k.currentPosition(1, 3)) << m.name;
        EXPECT_EQ(160.0f, k.currentPosition(2, 3)) << m.name;
        EXPECT_EQ(m.target[3], k.platformPosition.x) << m.name;

        // The same target again moves nothing.
        k.SetPosition(m.target);
        EXPECT_EQ(wheels, UserJointsOf(k)) << m.name;
    }
}

TEST_F(SliderTest, CartesianTargetsChangeNothing) {
    const Joints q = {1, 2, 3, 4, 0, 0, 0, 0, 0};
    kin_.SetJoints(q.data(), false);
    Matrix44 target;
    target.SetTranslation(100, 200, 300);
    Joints other{};
    RobotKinematic& base = kin_;
    base.SetPosition(target, other.data());
    EXPECT_EQ(q, UserJointsOf(kin_));
    EXPECT_TRUE(kin_.currentPosition.Equals(Matrix44(), 0.0f));
}

TEST_F(SliderTest, CloneKeepsTheWheels) {
    const Joints q = {1, 2, 3, 4, 0, 0, 5, 0, 0};
    kin_.SetJoints(q.data(), false);
    std::unique_ptr<RobotKinematic> copy = kin_.clone();
    ASSERT_NE(nullptr, dynamic_cast<RobotKinematicSlider*>(copy.get()));
    EXPECT_EQ(4, copy->nrOfJoints);
    EXPECT_EQ(q, UserJointsOf(*copy));
}

}  // namespace
