#include "motion/PathElementLine.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

using DataTypes::RobotState;
using DataTypes::Vector3;
using Programs::PathElementLine;

namespace {

RobotState Pose(float x, float y, float z, float a, float b, float c, float e1 = 0, float e2 = 0, float e3 = 0) {
    RobotState s;
    s.A = a;
    s.B = b;
    s.C = c;
    s.UpdateMatrixFromABC();
    s.pose.SetTranslation(x, y, z);
    s.jointSet[6] = e1;
    s.jointSet[7] = e2;
    s.jointSet[8] = e3;
    return s;
}

// Distance of p from the segment a-b.
float SegmentDeviation(const Vector3& p, const Vector3& a, const Vector3& b) {
    const Vector3 ab = b - a;
    float t = Vector3::Dot(p - a, ab) / ab.MagnitudeQ();
    t = std::fmax(0.0f, std::fmin(1.0f, t));
    return (p - (a + ab * t)).Magnitude();
}

float RotationDifference(const DataTypes::Matrix44& m, const DataTypes::Matrix44& n) {
    float worst = 0.0f;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            worst = std::fmax(worst, std::fabs(m(r, c) - n(r, c)));
        }
    }
    return worst;
}

// Cartesian limits 100/1000/3000, orientation 90/900/2700, every joint extVel/500/1500.
std::unique_ptr<PathElementLine> Make(float extVel = 50.0f) {
    auto line = std::make_unique<PathElementLine>(3, 4);
    float vel[9], acc[9], jerk[9];
    for (int i = 0; i < 9; ++i) {
        vel[i] = extVel;
        acc[i] = 500.0f;
        jerk[i] = 1500.0f;
    }
    line->SetMotionParameter(vel, acc, jerk, 100, 1000, 3000, 90, 900, 2700);
    return line;
}

}  // namespace

struct LineCase {
    const char* name;
    RobotState from, to;
};

class PathElementLineRun : public ::testing::TestWithParam<LineCase> {};

TEST_P(PathElementLineRun, StaysOnTheSegmentAndEndsOnTheTarget) {
    const LineCase& p = GetParam();
    auto owned = Make();
    PathElementLine& line = *owned;
    line.Init(p.to, 150, 0, 0, 1.0f, 0, 0);
    RobotState start = p.from;
    RobotState end;
    line.PrepareGeometry(start, 0, 0, end);
    line.PrepareAcceleration();

    const Vector3 a = p.from.pose.GetTranslation();
    const Vector3 b = p.to.pose.GetTranslation();
    const float duration = line.GetDuration();
    ASSERT_GT(duration, 0.0f);
    EXPECT_EQ(line.GetDuration(), line.curves[line.longest].GetDurationInMs());
    EXPECT_EQ(line.GetVel(), line.curves[line.longest].velReached);
    EXPECT_EQ(line.ToString(), "PathElementLine from " + a.ToString() + " to " + b.ToString());

    RobotState out;
    float t = 0.0f;
    float progress = 0.0f;
    int result = -1;
    for (; result == -1 && t < duration * 10; t += 4.0f) {
        result = line.GetPosition(t, out);
        const Vector3 pos = out.pose.GetTranslation();
        ASSERT_LT(SegmentDeviation(pos, a, b), 1e-3f) << "t=" << t;
        const float along = (pos - a).Magnitude();
        ASSERT_GE(along, progress - 1e-3f) << "t=" << t;
        progress = along;
    }
    ASSERT_EQ(result, 0);
    // It reports its end one 4 ms step early.
    t -= 4.0f;
    EXPECT_GE(t, duration - 4.0f - 1e-3f);
    EXPECT_LT(t, duration);

    line.GetPosition(duration, out);
    EXPECT_LT((out.pose.GetTranslation() - b).Magnitude(), 1e-3f);
    EXPECT_LT(RotationDifference(out.pose, p.to.pose), 1e-4f);
    for (int i = 6; i < 9; ++i) {
        EXPECT_NEAR(out.jointSet[i], p.to.jointSet[i], 1e-3);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathElementLineRun,
    ::testing::Values(LineCase{"PureTranslation", Pose(0, 0, 0, 0, 0, 0), Pose(300, 0, 0, 0, 0, 0)},
                      LineCase{"DiagonalWithTurn", Pose(10, 20, 30, 10, 20, 30), Pose(-50, 120, 80, 60, -30, 100)},
                      LineCase{"AlmostHalfTurn", Pose(0, 0, 500, 0, 0, 180), Pose(50, 0, 500, 179, 0, 180)},
                      LineCase{"HalfTurnAboutTilt", Pose(0, 0, 0, 0, 0, 0), Pose(0, 40, 0, 0, 89.5f, 179)},
                      LineCase{"ExternalAxesAlong", Pose(0, 0, 0, 0, 0, 0, 10, -20, 0),
                               Pose(0, 0, 100, 0, 0, 0, 110, -60, 5)}),
    [](const ::testing::TestParamInfo<LineCase>& i) { return std::string(i.param.name); });

TEST(PathElementLine, PureOrientationMoveIsRefused) {
    auto line = Make();
    line->Init(Pose(100, 0, 0, 90, 0, 0), 100, 0, 0, 1, 0, 0);
    RobotState start = Pose(100, 0, 0, 0, 0, 0);
    RobotState end;
    try {
        line->PrepareGeometry(start, 0, 0, end);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "tried to normalize zero length vector");
    }
    EXPECT_FLOAT_EQ(start.A, 0.0f);  // the caller's start is untouched
}

TEST(PathElementLine, CutsCornersAtMostAThirdAndHandsBackTheCutStates) {
    auto line = Make();
    line->SetDebugFlag(true);
    TestSupport::LogCapture log;
    // 90 mm along x, turning A by 90 degrees and e1 by 90.
    line->Init(Pose(90, 0, 0, 90, 0, 0, 90), 100, 0, 0, 1, 0, 0);
    RobotState start = Pose(0, 0, 0, 0, 0, 0, 0);
    RobotState end;
    line->PrepareGeometry(start, 50, 9, end);

    EXPECT_TRUE(log.Contains("Limiting SplineCut distStart from 50.000000 to 30.000000"));
    EXPECT_FALSE(log.Contains("Limiting SplineCut distEnd"));
    EXPECT_NEAR(start.pose.GetTranslation().x, 30.0f, 1e-4);
    EXPECT_NEAR(end.pose.GetTranslation().x, 81.0f, 1e-4);
    EXPECT_NEAR(start.A, 30.0f, 1e-3);  // a third of the turn
    EXPECT_NEAR(end.A, 81.0f, 1e-3);
    EXPECT_NEAR(start.jointSet[6], 30.0f, 1e-4);
    EXPECT_NEAR(end.jointSet[6], 81.0f, 1e-4);
    EXPECT_NEAR(line->componentLength[0], 51.0f, 1e-4);
    EXPECT_NEAR(line->rotAngle, 51.0f, 1e-3);
    EXPECT_NEAR(line->componentLength[2], 51.0f, 1e-4);
    EXPECT_NEAR(line->startDir.x, 1.0f, 1e-6);
    EXPECT_NEAR(line->endDir.x, 1.0f, 1e-6);
    EXPECT_NEAR(line->start.pose.GetTranslation().x, 30.0f, 1e-4);
    EXPECT_NEAR(line->target.pose.GetTranslation().x, 81.0f, 1e-4);

    // The element runs from the cut start to the cut end.
    line->PrepareAcceleration();
    RobotState out;
    line->GetPosition(0, out);
    EXPECT_NEAR(out.pose.GetTranslation().x, 30.0f, 1e-4);
    EXPECT_NEAR(out.A, 30.0f, 1e-3);
    line->GetPosition(line->GetDuration(), out);
    EXPECT_NEAR(out.pose.GetTranslation().x, 81.0f, 1e-3);
    EXPECT_NEAR(out.A, 81.0f, 1e-3);
    EXPECT_NEAR(out.jointSet[6], 81.0f, 1e-3);
}

TEST(PathElementLine, SlowestComponentSetsThePaceForAll) {
    // 100 mm at 100 mm/s takes about 1 s; e1 moves 100 at 50/s and needs about 2 s.
    auto line = Make(50.0f);
    line->Init(Pose(100, 0, 0, 0, 0, 0, 100), 100, 0, 0, 1, 0, 0);
    RobotState start = Pose(0, 0, 0, 0, 0, 0, 0);
    RobotState end;
    line->PrepareGeometry(start, 0, 0, end);
    line->PrepareAcceleration();
    ASSERT_EQ(line->longest, 2);
    EXPECT_NEAR(line->GetDuration(), line->curves[2].GetDurationInMs(), 1e-3);
    EXPECT_GT(line->GetDuration(), 2000.0f);
    EXPECT_NEAR(line->GetVel(), 50.0f, 1e-3);

    RobotState out;
    for (float t = 0; t <= line->GetDuration(); t += 100.0f) {
        line->GetPosition(t, out);
        EXPECT_NEAR(out.pose.GetTranslation().x, out.jointSet[6], 1e-3) << "t=" << t;
    }
    line->GetPosition(line->GetDuration(), out);
    EXPECT_NEAR(out.pose.GetTranslation().x, 100.0f, 1e-3);
    EXPECT_NEAR(out.jointSet[6], 100.0f, 1e-3);
}

TEST(PathElementLine, ComponentsTakeStartAndEndVelocityFromTheTranslation) {
    auto line = Make();
    line->Init(Pose(200, 0, 0, 30, 0, 0, 50), 80, 80, 0, 0.5f, 0, 0);
    EXPECT_EQ(line->curves[0].vel, 80.0f);
    EXPECT_EQ(line->curves[0].velStart, 80.0f);
    EXPECT_EQ(line->curves[0].acc, 500.0f);
    EXPECT_EQ(line->curves[0].accInc, 1500.0f);
    EXPECT_EQ(line->curves[1].velStart, 90.0f);
    EXPECT_EQ(line->curves[1].velEnd, 0.0f);
    EXPECT_EQ(line->curves[3].velStart, 50.0f);
    EXPECT_EQ(line->curves[3].acc, 250.0f);
    RobotState start = Pose(0, 0, 0, 0, 0, 0);
    RobotState end;
    line->PrepareGeometry(start, 0, 0, end);
    ASSERT_NO_THROW(line->PrepareAcceleration());

    // A start velocity that is neither 0 nor vel cannot be planned.
    auto bad = Make();
    bad->Init(Pose(200, 0, 0, 0, 0, 0), 80, 40, 0, 1, 0, 0);
    RobotState s2 = Pose(0, 0, 0, 0, 0, 0);
    bad->PrepareGeometry(s2, 0, 0, end);
    EXPECT_THROW(bad->PrepareAcceleration(), std::runtime_error);
}

TEST(PathElementLine, ZeroVelocityLimitIsRefusedOnlyForAMovingComponent) {
    // External axes with no velocity configured are fine while they stand still...
    auto still = Make(0.0f);
    still->Init(Pose(100, 0, 0, 0, 0, 0), 100, 0, 0, 1, 0, 0);
    RobotState start = Pose(0, 0, 0, 0, 0, 0);
    RobotState end;
    still->PrepareGeometry(start, 0, 0, end);
    ASSERT_NO_THROW(still->PrepareAcceleration());
    EXPECT_FALSE(std::isnan(still->GetDuration()));
    EXPECT_EQ(still->longest, 0);

    // ...but one that has to move cannot get there.
    auto moving = Make(0.0f);
    moving->Init(Pose(100, 0, 0, 0, 0, 0, 20), 100, 0, 0, 1, 0, 0);
    RobotState s2 = Pose(0, 0, 0, 0, 0, 0);
    moving->PrepareGeometry(s2, 0, 0, end);
    EXPECT_THROW(moving->PrepareAcceleration(), std::invalid_argument);

    // A programmed speed of 0 likewise.
    auto zero = Make();
    zero->Init(Pose(100, 0, 0, 0, 0, 0), 0, 0, 0, 1, 0, 0);
    RobotState s3 = Pose(0, 0, 0, 0, 0, 0);
    zero->PrepareGeometry(s3, 0, 0, end);
    EXPECT_THROW(zero->PrepareAcceleration(), std::invalid_argument);
}

TEST(PathElementLine, ElementWithoutLengthEndsAtOnceAndLeavesTheOutputAlone) {
    auto line = Make();
    EXPECT_EQ(line->name, "Line");
    EXPECT_EQ(line->cmdIndex, 3);
    EXPECT_EQ(line->nextCmdIndex, 4);
    EXPECT_EQ(line->lastTime, -1.0f);
    line->Init(Pose(100, 0, 0, 0, 0, 0), 100, 0, 0, 1, 0, 0);
    line->PrepareAcceleration();
    RobotState out = Pose(1, 2, 3, 4, 5, 6, 7);
    EXPECT_EQ(line->GetPosition(0, out), 0);
    EXPECT_EQ(out.pose.GetTranslation().x, 1.0f);
    EXPECT_EQ(out.A, 4.0f);
    EXPECT_EQ(out.jointSet[6], 7.0f);
}
