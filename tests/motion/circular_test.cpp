#include "motion/CircleParameters.h"
#include "motion/PathElementCircular.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

using DataTypes::RobotState;
using DataTypes::Vector3;
using Programs::PathElementCircular;

namespace {

constexpr double kPi = 3.141592653589793;

RobotState Pose(const Vector3& p, float a, float b, float c, float e1 = 0) {
    RobotState s;
    s.A = a;
    s.B = b;
    s.C = c;
    s.UpdateMatrixFromABC();
    s.pose.SetTranslation(p);
    s.jointSet[6] = e1;
    return s;
}

void ExpectNear(const Vector3& actual, const Vector3& expected, float tol, const std::string& what) {
    EXPECT_NEAR(actual.x, expected.x, tol) << what;
    EXPECT_NEAR(actual.y, expected.y, tol) << what;
    EXPECT_NEAR(actual.z, expected.z, tol) << what;
}

// Angle of p on the circle, measured like the circle's own angle (0 at the start point).
double AngleOnCircle(const CircleParameters& c, const Vector3& p) {
    const Vector3 d = p - c.center;
    return std::atan2(Vector3::Dot(d, c.frame.GetColumnVector(0)), Vector3::Dot(d, c.frame.GetColumnVector(1)));
}

struct ThreePointCase {
    const char* name;
    Vector3 start, help, end;
    Vector3 center;
    double radius;
    double sweep;
    double probeAngle;
    Vector3 probePoint;  // CalculatePosition(probeAngle)
    Vector3 startTangent;  // CalculateDirection(0)
};

class CircleThreePoints : public ::testing::TestWithParam<ThreePointCase> {};

TEST_P(CircleThreePoints, CentreRadiusSweepPointsAndTangents) {
    const ThreePointCase& k = GetParam();
    const CircleParameters c(k.start, k.help, k.end);
    ExpectNear(c.center, k.center, 1e-4f, "centre");
    EXPECT_NEAR(c.radius, k.radius, 1e-4);
    EXPECT_NEAR(c.angle, k.sweep, 1e-4);
    ExpectNear(c.CalculatePosition(0.0), k.start, 1e-4f, "angle 0 is the start");
    ExpectNear(c.CalculatePosition(c.angle), k.end, 1e-3f, "the sweep ends at the end point");
    ExpectNear(c.CalculatePosition(k.probeAngle), k.probePoint, 1e-4f, "probe");
    ExpectNear(c.CalculateDirection(0.0), k.startTangent, 1e-4f, "start tangent");
    // The help point lies on the swept arc.
    const double helpAngle = std::fmod(AngleOnCircle(c, k.help) + 2 * kPi, 2 * kPi);
    EXPECT_LT(helpAngle, c.angle);
}

INSTANTIATE_TEST_SUITE_P(
    Circles, CircleThreePoints,
    ::testing::Values(
        ThreePointCase{"half_via_plus_y", {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, 0, 0}, 1.0, kPi, kPi / 2, {0, 1, 0},
                       {0, 1, 0}},
        ThreePointCase{"three_quarters", {1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 0}, 1.0, 1.5 * kPi, kPi, {-1, 0, 0},
                       {0, 1, 0}},
        ThreePointCase{"half_via_minus_y", {1, 0, 0}, {0, -1, 0}, {-1, 0, 0}, {0, 0, 0}, 1.0, kPi, kPi / 2,
                       {0, -1, 0}, {0, -1, 0}},
        ThreePointCase{"offset_tilted_r100", {110, 20, 30}, {10, 120, 30}, {-90, 20, 30}, {10, 20, 30}, 100.0, kPi,
                       kPi / 2, {10, 120, 30}, {0, 1, 0}}),
    [](const ::testing::TestParamInfo<ThreePointCase>& info) { return std::string(info.param.name); });

TEST(CircleParametersTest, GivenAngleSignChoosesSideOfHelpPoint) {
    const CircleParameters plus({1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, 90.0);
    EXPECT_NEAR(plus.angle, kPi / 2, 1e-9);
    ExpectNear(plus.CalculatePosition(plus.angle), {0, 1, 0}, 1e-5f, "+90 toward the help point");

    const CircleParameters minus({1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, -90.0);
    EXPECT_NEAR(minus.angle, -kPi / 2, 1e-9);
    ExpectNear(minus.CalculatePosition(minus.angle), {0, -1, 0}, 1e-5f, "-90 away from the help point");
    // Travel runs toward decreasing angle, and the tangent says so.
    ExpectNear(minus.CalculateDirection(0.0), {0, -1, 0}, 1e-5f, "tangent of a negative sweep");
}

TEST(CircleParametersTest, BadDefinitionsThrowWithTheirText) {
    struct Bad {
        Vector3 s, h, e;
        bool useAngle;
        double angleDeg;
        const char* text;
    };
    const Bad cases[] = {
        {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, false, 0, "CommandCircular: Invalid definition of circle, points are in line"},
        {{0, 0, 0}, {0, 0, 0}, {5, 0, 0}, false, 0, "CommandCircular: Invalid definition of circle, points are in line"},
        {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, true, 90, "CommandCircular: Invalid definition of circle, points are in line"},
        {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, true, 0, "CommandCircular: Invalid definition of circle, target angle is 0"},
        {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, true, 0.05, "CommandCircular: Invalid definition of circle, target angle is 0"},
        {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, true, NAN, "CommandCircular: Invalid definition of circle, target angle is not finite"},
        {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, true, INFINITY,
         "CommandCircular: Invalid definition of circle, target angle is not finite"},
        {{1, 0, 0}, {0, NAN, 0}, {-1, 0, 0}, false, 0, "CommandCircular: Invalid definition of circle, point is not finite"},
        {{1, 0, 0}, {0, 1, 0}, {-INFINITY, 0, 0}, true, 90,
         "CommandCircular: Invalid definition of circle, point is not finite"},
    };
    for (const Bad& b : cases) {
        try {
            if (b.useAngle) {
                CircleParameters c(b.s, b.h, b.e, b.angleDeg);
            } else {
                CircleParameters c(b.s, b.h, b.e);
            }
            ADD_FAILURE() << "no exception for: " << b.text;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), b.text);
        }
    }
}

// Quarter circle of radius 100 in the XY plane from (100, 0, 0) to (0, 100, 0).
std::shared_ptr<const CircleParameters> QuarterCircle(double angleDeg = 0.0) {
    const Vector3 s(100, 0, 0);
    const Vector3 h(70.710678f, 70.710678f, 0);
    const Vector3 e(0, 100, 0);
    if (angleDeg != 0.0) {
        return std::make_shared<CircleParameters>(s, h, e, angleDeg);
    }
    return std::make_shared<CircleParameters>(s, h, e);
}

std::unique_ptr<PathElementCircular> MakeElement(std::shared_ptr<const CircleParameters> circle) {
    auto el = std::make_unique<PathElementCircular>(2, 3, std::move(circle));
    float vel[9], acc[9], jerk[9];
    for (int i = 0; i < 9; ++i) {
        vel[i] = 50.0f;
        acc[i] = 500.0f;
        jerk[i] = 1500.0f;
    }
    el->SetMotionParameter(vel, acc, jerk, 100, 1000, 3000, 90, 900, 2700);
    return el;
}

TEST(PathElementCircularTest, QuarterCircleArcAndCutLimitedToAThird) {
    auto circle = QuarterCircle();
    auto el = MakeElement(circle);
    RobotState start = Pose({100, 0, 0}, 0, 0, 0);
    RobotState end = Pose(circle->CalculatePosition(circle->angle), 0, 0, 0);
    el->Init(end, 100, 0, 0, 1, 0, 0);
    EXPECT_NEAR(el->GetDurationArc(), 1570.8, 0.1);
    EXPECT_NEAR(el->componentLength[0], 157.08, 0.01);

    el->PrepareGeometry(start, 60.0f, 0.0f, end);
    // 60 mm is more than a third of the arc: 52.36 mm are cut, i.e. 30 degrees.
    EXPECT_NEAR(el->componentLength[0], 157.08 - 52.36, 0.01);
    EXPECT_NEAR(el->angleStart, kPi / 6, 1e-4);
    EXPECT_NEAR(el->angleEnd, kPi / 2, 1e-6);
    ExpectNear(start.pose.GetTranslation(), {86.6025f, 50.0f, 0}, 1e-3f, "cut start handed back");
    ExpectNear(end.pose.GetTranslation(), {0, 100, 0}, 1e-3f, "uncut end");
    // The tangents are the circle's at the cut points.
    ExpectNear(el->startDir, {-0.5f, 0.8660254f, 0}, 1e-4f, "startDir");
    ExpectNear(el->endDir, {-1, 0, 0}, 1e-4f, "endDir");
}

struct RunCase {
    const char* name;
    double angleDeg;  // 0: through the three points
    float distStart, distEnd;
    float endA;       // orientation turn to reach
    float endE1;      // external axis e1 at the end
    int longest;      // component that sets the pace
};

class CircularRun : public ::testing::TestWithParam<RunCase> {};

// Runs the element in 4 ms cycles, past its end: it stays on the circle, never passes
// its end angle, and arrives with orientation and external axis on target.
TEST_P(CircularRun, StaysOnArcWithinItsAnglesAndArrives) {
    const RunCase& k = GetParam();
    auto circle = QuarterCircle(k.angleDeg);
    auto el = MakeElement(circle);
    RobotState start = Pose({100, 0, 0}, 0, 0, 0, 0);
    RobotState end = Pose(circle->CalculatePosition(circle->angle), k.endA, 0, 0, k.endE1);
    el->Init(end, 100, 0, 0, 1, 0, 0);
    el->PrepareGeometry(start, k.distStart, k.distEnd, end);
    el->PrepareAcceleration();
    const float duration = el->GetDuration();
    ASSERT_GT(duration, 0.0f);
    EXPECT_EQ(el->longest, k.longest);

    const double lo = std::fmin(el->angleStart, el->angleEnd);
    const double hi = std::fmax(el->angleStart, el->angleEnd);
    double previous = el->angleStart;
    int finishedAt = -1;
    RobotState out;
    for (int cycle = 0; cycle * 4.0f < duration + 200.0f; ++cycle) {
        const float t = cycle * 4.0f;
        const int result = el->GetPosition(t, out);
        if (result == 0 && finishedAt < 0) {
            finishedAt = cycle;
        }
        const Vector3 p = out.pose.GetTranslation();
        ASSERT_NEAR((p - circle->center).Magnitude(), 100.0f, 1e-3f) << "t=" << t;
        const double a = AngleOnCircle(*circle, p);
        ASSERT_GE(a, lo - 1e-5) << "t=" << t;
        ASSERT_LE(a, hi + 1e-5) << "t=" << t;
        // Monotone in the direction of travel.
        if (circle->angle > 0) {
            ASSERT_GE(a, previous - 1e-5) << "t=" << t;
        } else {
            ASSERT_LE(a, previous + 1e-5) << "t=" << t;
        }
        previous = a;
    }
    ASSERT_GE(finishedAt, 0) << "never finished";
    EXPECT_GE(finishedAt * 4.0f, duration - 8.0f);

    ExpectNear(out.pose.GetTranslation(), end.pose.GetTranslation(), 1e-2f, "end position");
    EXPECT_NEAR(out.A, end.A, 0.05f);
    EXPECT_NEAR(out.jointSet[6], end.jointSet[6], 1e-3f);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, CircularRun,
    ::testing::Values(RunCase{"positive_uncut", 0.0, 0, 0, 30, 10, 0}, RunCase{"positive_cut_both", 0.0, 20, 20, 0, 0, 0},
                      RunCase{"negative_uncut", -90.0, 0, 0, -45, -20, 0},
                      RunCase{"negative_cut_both", -90.0, 60, 30, 20, 5, 0},
                      RunCase{"negative_orientation_leads", -90.0, 0, 10, 170, 0, 1},
                      RunCase{"negative_axis_leads", -60.0, 0, 0, 0, 150, 2}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

TEST(PathElementCircularTest, NegativeSweepClampsAnOvershootingProfile) {
    auto circle = QuarterCircle(-90.0);
    auto el = MakeElement(circle);
    RobotState start = Pose({100, 0, 0}, 0, 0, 0);
    RobotState end = Pose(circle->CalculatePosition(circle->angle), 0, 0, 0);
    el->Init(end, 100, 0, 0, 1, 0, 0);
    el->PrepareGeometry(start, 0, 0, end);
    el->PrepareAcceleration();
    // Pretend the arc is a little shorter than the profile: the fraction then exceeds 1.
    el->componentLength[0] *= 0.9f;
    RobotState out;
    el->GetPosition(el->GetDuration(), out);
    ExpectNear(out.pose.GetTranslation(), {0, -100, 0}, 1e-3f, "held at the end angle");
}

TEST(PathElementCircularTest, NamesAndDescribesItself) {
    auto circle = QuarterCircle();
    auto el = MakeElement(circle);
    RobotState start = Pose({100, 0, 0}, 0, 0, 0);
    RobotState end = Pose({0, 100, 0}, 0, 0, 0);
    el->Init(end, 100, 0, 0, 1, 0, 0);
    el->PrepareGeometry(start, 0, 0, end);
    EXPECT_EQ(el->name, "Circular");
    EXPECT_EQ(el->cmdIndex, 2);
    EXPECT_EQ(el->nextCmdIndex, 3);
    EXPECT_EQ(el->ToString(), "PathElementCircular from " + start.pose.GetTranslation().ToString() + " to " +
                                  end.pose.GetTranslation().ToString());
}

}  // namespace
