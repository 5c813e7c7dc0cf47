#include "motion/PathElementJointSet.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>

using DataTypes::RobotState;
using Programs::PathElementJointSet;

namespace {

RobotState Joints(std::initializer_list<float> values) {
    RobotState s;
    int i = 0;
    for (float v : values) {
        s.jointSet[i++] = v;
    }
    return s;
}

// Every joint: 100 units/s, 500 units/s², 1500 units/s³ unless changed.
std::unique_ptr<PathElementJointSet> Make(float jointVel = 100.0f, float jointJerk = 1500.0f) {
    auto e = std::make_unique<PathElementJointSet>(5, 6);
    float vel[9], acc[9], jerk[9];
    for (int i = 0; i < 9; ++i) {
        vel[i] = jointVel;
        acc[i] = 500.0f;
        jerk[i] = jointJerk;
    }
    e->SetMotionParameter(vel, acc, jerk, 100, 1000, 3000, 100, 1000, 3000);
    return e;
}

}  // namespace

TEST(PathElementJointSet, JointsArriveTogether) {
    auto e = Make();
    const RobotState target = Joints({30, -10, 0, 0, 0, 0, 0, 0, 5});
    e->Init(target, 0.5f, 0, 0, 1, 0, 0);
    RobotState start = Joints({0, 0, 0, 0, 0, 0, 0, 0, 0});
    RobotState end;
    e->PrepareGeometry(start, 0, 0, end);
    e->PrepareAcceleration();

    EXPECT_EQ(e->name, "Joint");
    EXPECT_EQ(e->cmdIndex, 5);
    EXPECT_EQ(e->nextCmdIndex, 6);
    EXPECT_EQ(e->longest, 0);
    EXPECT_EQ(e->GetDuration(), e->curves[0].GetDurationInMs());
    EXPECT_EQ(e->GetVel(), 0.5f);
    EXPECT_EQ(e->ToString(), "PathElementJointSet");
    EXPECT_EQ(e->curves[0].vel, 50.0f);

    RobotState out;
    int result = -1;
    float t = 0;
    for (; result == -1 && t < 100000; t += 4) {
        result = e->GetPosition(t, out);
        // Every joint is at the same fraction of its move.
        EXPECT_NEAR(out.jointSet[1], -out.jointSet[0] / 3, 1e-4) << "t=" << t;
        EXPECT_NEAR(out.jointSet[8], out.jointSet[0] / 6, 1e-4) << "t=" << t;
        if (result == -1) {
            for (int i = 0; i < 9; ++i) {
                EXPECT_EQ(e->lastJointPos[i], out.jointSet[i]);
            }
        }
    }
    ASSERT_EQ(result, 0);
    EXPECT_GE(t - 4, e->GetDuration() - 4 - 1e-3);
    e->GetPosition(e->GetDuration(), out);
    for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(out.jointSet[i], target.jointSet[i], 1e-4) << "joint " << i;
    }
}

TEST(PathElementJointSet, StartEqualToTargetEndsAtOnce) {
    auto e = Make();
    const RobotState target = Joints({10, 20, 30, 40, 50, 60, 1, 2, 3});
    e->Init(target, 1, 0, 0, 1, 0, 0);
    RobotState start = target;
    RobotState end;
    e->PrepareGeometry(start, 5, 5, end);
    e->PrepareAcceleration();
    EXPECT_EQ(e->dist, 0.0f);
    EXPECT_EQ(e->GetDuration(), 0.0f);
    RobotState out = Joints({-1, -1, -1, -1, -1, -1, -1, -1, -1});
    EXPECT_EQ(e->GetPosition(0, out), 0);
    EXPECT_EQ(out.jointSet[0], -1.0f);
}

TEST(PathElementJointSet, CutsAtMostAThirdAndHandsBackTheCutJoints) {
    auto e = Make();
    e->SetDebugFlag(true);
    TestSupport::LogCapture log;
    // Joint-space distance 50: 30 on a1 and -40 on a2.
    e->Init(Joints({30, -40}), 1, 0, 0, 1, 0, 0);
    RobotState start;
    start.pose.SetTranslation(7, 8, 9);
    RobotState end;
    e->PrepareGeometry(start, 40, 5, end);

    EXPECT_TRUE(log.Contains("Limiting JointSplineCut distStart from 40.00 to 16.67"));
    EXPECT_TRUE(log.Contains("PathElementJointSet Smoothing: before 16.67, after 5.00"));
    EXPECT_NEAR(start.jointSet[0], 10.0f, 1e-4);
    EXPECT_NEAR(start.jointSet[1], -13.3333f, 1e-4);
    EXPECT_NEAR(end.jointSet[0], 27.0f, 1e-4);
    EXPECT_NEAR(end.jointSet[1], -36.0f, 1e-4);
    EXPECT_EQ(start.pose.GetTranslation().x, 7.0f);  // poses are not touched
    EXPECT_NEAR(e->dist, 50.0f - 16.6667f - 5.0f, 1e-3);
    EXPECT_EQ(e->dirSign[0], 1.0f);
    EXPECT_EQ(e->dirSign[1], -1.0f);
    EXPECT_EQ(e->dirSign[2], 1.0f);
    EXPECT_NEAR(e->curves[1].length, 22.6667f, 1e-3);

    e->PrepareAcceleration();
    EXPECT_TRUE(log.Contains("Joint IPO values, duration"));
    RobotState out;
    e->GetPosition(0, out);
    EXPECT_NEAR(out.jointSet[1], -13.3333f, 1e-4);
    e->GetPosition(e->GetDuration(), out);
    EXPECT_NEAR(out.jointSet[1], -36.0f, 1e-4);
}

TEST(PathElementJointSet, AccelerationFollowsAccScaleButJerkDoesNot) {
    auto e = Make();
    e->Init(Joints({10}), 0.8f, 0.8f, 0, 0.25f, 0, 0);
    EXPECT_EQ(e->curves[0].acc, 125.0f);
    EXPECT_EQ(e->curves[0].accInc, 1500.0f);
    EXPECT_EQ(e->curves[0].vel, 80.0f);
    EXPECT_EQ(e->curves[0].velStart, 80.0f);
    EXPECT_EQ(e->curves[0].velEnd, 0.0f);
    EXPECT_EQ(e->velStart, 0.8f);
}

TEST(PathElementJointSet, RefusesWhatItCannotPlan) {
    const struct {
        const char* what;
        float jointVel, jointJerk, velStartFactor;
        bool moves;
        const char* error;  // nullptr: plans fine
    } cases[] = {
        {"start factor neither 0 nor vel", 100, 1500, 0.3f, true, "PathBasicCurve: not planned motion type!"},
        {"zero jerk on a moving joint", 100, 0, 0, true, "PathBasicCurveAcc: accInc must not be 0!"},
        {"zero velocity on a moving joint", 0, 1500, 0, true, "velocity"},
        {"zero limits on joints that stand still", 0, 0, 0, false, nullptr},
    };
    for (const auto& k : cases) {
        auto e = Make(k.jointVel, k.jointJerk);
        e->Init(Joints({k.moves ? 20.0f : 0.0f}), 0.5f, k.velStartFactor, 0, 1, 0, 0);
        RobotState start;
        RobotState end;
        e->PrepareGeometry(start, 0, 0, end);
        if (k.error == nullptr) {
            EXPECT_NO_THROW(e->PrepareAcceleration()) << k.what;
            EXPECT_EQ(e->GetDuration(), 0.0f) << k.what;
            continue;
        }
        try {
            e->PrepareAcceleration();
            ADD_FAILURE() << k.what << ": no exception";
        } catch (const std::exception& ex) {
            EXPECT_NE(std::string(ex.what()).find(k.error), std::string::npos) << k.what << ": " << ex.what();
        }
    }
}
