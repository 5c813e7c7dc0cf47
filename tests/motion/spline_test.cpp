#include "motion/CircleParameters.h"
#include "motion/PathElementCircular.h"
#include "motion/PathElementLine.h"
#include "motion/PathElementSpline.h"
#include "motion/PathElementSpline6.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

using DataTypes::Matrix44;
using DataTypes::RobotState;
using DataTypes::Vector3;
using Programs::PathElementSpline;
using Programs::PathElementSpline6;

namespace {

RobotState Pose(const Vector3& p, float a = 0, float b = 0, float c = 0, float e1 = 0) {
    RobotState s;
    s.A = a;
    s.B = b;
    s.C = c;
    s.UpdateMatrixFromABC();
    s.pose.SetTranslation(p);
    s.jointSet[6] = e1;
    return s;
}

RobotState Joints(std::initializer_list<float> values) {
    RobotState s;
    int i = 0;
    for (float v : values) {
        s.jointSet[i++] = v;
    }
    return s;
}

template <class Element>
void SetLimits(Element& el, float jointVel = 100.0f) {
    float vel[9], acc[9], jerk[9];
    for (int i = 0; i < 9; ++i) {
        vel[i] = jointVel;
        acc[i] = 500.0f;
        jerk[i] = 1500.0f;
    }
    el.SetMotionParameter(vel, acc, jerk, 100, 1000, 3000, 90, 900, 2700);
}

// Largest deviation of the rotation block from an orthonormal right-handed frame.
float OrthonormalError(const Matrix44& m) {
    const Vector3 x = m.GetColumnVector(0), y = m.GetColumnVector(1), z = m.GetColumnVector(2);
    float err = 0.0f;
    for (const Vector3& v : {x, y, z}) {
        err = std::fmax(err, std::fabs(v.Magnitude() - 1.0f));
    }
    err = std::fmax(err, std::fabs(Vector3::Dot(x, y)));
    err = std::fmax(err, std::fabs(Vector3::Dot(y, z)));
    err = std::fmax(err, std::fabs(Vector3::Dot(z, x)));
    err = std::fmax(err, (Vector3::Cross(x, y) - z).Magnitude());
    return err;
}

float AngleDeg(const Vector3& a, const Vector3& b) {
    const float c = Vector3::Dot(a, b) / (a.Magnitude() * b.Magnitude());
    return std::acos(std::fmax(-1.0f, std::fmin(1.0f, c))) * 57.29578f;
}

bool Finite(const RobotState& s) {
    for (float v : s.pose.m) {
        if (!std::isfinite(v)) return false;
    }
    for (float v : s.jointSet) {
        if (!std::isfinite(v)) return false;
    }
    return std::isfinite(s.A) && std::isfinite(s.B) && std::isfinite(s.C);
}

// Runs the element in 4 ms cycles; returns the states until (and including) the finishing call.
template <class Element>
std::vector<RobotState> RunElement(Element& el, float cycleMs = 4.0f, RobotState out = RobotState()) {
    std::vector<RobotState> states;
    for (int cycle = 0; cycle < 100000; ++cycle) {
        const int result = el.GetPosition(cycle * cycleMs, out);
        states.push_back(out);
        if (result == 0) {
            break;
        }
    }
    return states;
}

struct SpeedCase {
    const char* name;
    float velStart, velEnd;
    double minMs, maxMs;  // expected duration
};

class CartesianBlendSpeeds : public ::testing::TestWithParam<SpeedCase> {};

// A straight 20 mm blend isolates the table: arc length, duration, end point, no NaN.
TEST_P(CartesianBlendSpeeds, TableDurationAndEndPoint) {
    const SpeedCase& k = GetParam();
    PathElementSpline el(4, 5);
    SetLimits(el);
    el.InitSpline(Pose({0, 0, 0}), Pose({10, 0, 0}), Pose({20, 0, 0}), 100, k.velStart, k.velEnd, 0, 0, 0);
    el.PrepareAcceleration();

    ASSERT_GE(el.table.size(), 2u);
    EXPECT_FLOAT_EQ(el.table.front().param, 0.0f);
    EXPECT_FLOAT_EQ(el.table.back().param, 1.0f) << "closing row at the end point";
    for (std::size_t i = 1; i < el.table.size(); ++i) {
        ASSERT_GE(el.table[i].param, el.table[i - 1].param);
        ASSERT_GE(el.table[i].time, el.table[i - 1].time);
    }
    EXPECT_GE(el.GetDuration(), k.minMs);
    EXPECT_LE(el.GetDuration(), k.maxMs);
    if (k.velStart > 0 || k.velEnd > 0) {
        // The rows sum the distance asked for, which the curve matches only to its step.
        EXPECT_GE(el.length, 19.9);
        EXPECT_LE(el.length, 21.0);
    }

    const std::vector<RobotState> states = RunElement(el);
    float previousX = -1.0f;
    for (const RobotState& s : states) {
        ASSERT_TRUE(Finite(s));
        const float x = s.pose(0, 3);
        ASSERT_GE(x, previousX - 1e-4f);
        ASSERT_LE(x, 20.0f + 1e-4f) << "no overshoot past the end point";
        previousX = x;
    }
    // The element reports its end one cycle early (the next element takes over from the
    // planned end time), so its last call stands within one cycle's travel of the end.
    EXPECT_NEAR(states.back().pose(0, 3), 20.0f, 4.0f * std::max(k.velStart, k.velEnd) / 1000.0f + 0.01f);
    // A late call (a slow cycle) holds the end point instead of extrapolating past it.
    RobotState late;
    EXPECT_EQ(el.GetPosition(el.GetDuration() + 50.0f, late), 0);
    EXPECT_NEAR(late.pose(0, 3), 20.0f, 1e-4f);
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, CartesianBlendSpeeds,
    // Speed linear in the parameter of a straight curve: t = L / (v1 - v0) * ln(v1 / v0).
    ::testing::Values(SpeedCase{"full_to_full", 100, 100, 195, 215}, SpeedCase{"slow_to_fast", 20, 100, 400, 425},
                      // Toward a stop the rows creep on by the parameter step: long, but bounded.
                      SpeedCase{"fast_to_stop", 100, 0, 1000, 3000}, SpeedCase{"stop_to_stop", 0, 0, 0, 0}),
    [](const ::testing::TestParamInfo<SpeedCase>& info) { return std::string(info.param.name); });

TEST(CartesianBlend, ZeroSpeedBlendEndsAtOnceOnItsEndPoint) {
    PathElementSpline el(4, 5);
    el.InitSpline(Pose({0, 0, 0}), Pose({10, 0, 0}), Pose({10, 10, 0}, 90, 0, 0, 5), 100, 0, 0, 0, 0, 0);
    el.PrepareAcceleration();
    EXPECT_EQ(el.GetDuration(), 0.0f);
    RobotState out;
    EXPECT_EQ(el.GetPosition(0.0f, out), 0);
    ASSERT_TRUE(Finite(out));
    EXPECT_NEAR(out.pose(0, 3), 10.0f, 1e-4f);
    EXPECT_NEAR(out.pose(1, 3), 10.0f, 1e-4f);
    EXPECT_NEAR(out.A, 90.0f, 1e-3f);
    EXPECT_NEAR(out.jointSet[6], 5.0f, 1e-4f);
}

// Searching on from the last row gives what a search from the first row gives, for
// forward, repeated and backward times alike.
TEST(CartesianBlend, RowSearchFromCursorMatchesFreshSearch) {
    PathElementSpline kept(1, 2);
    kept.InitSpline(Pose({0, 0, 0}), Pose({10, 0, 0}), Pose({10, 10, 0}), 100, 30, 100, 0, 0, 0);
    kept.PrepareAcceleration();
    PathElementSpline fresh = kept;
    const float duration = kept.GetDuration();
    const float times[] = {0, 1, 4, 4, 9.5f, 60, 61, 30, 2, duration * 0.5f, duration - 1, duration,
                           duration + 7, 0.5f, -3, duration * 0.9f};
    for (float t : times) {
        RobotState a, b;
        fresh.tableCursor = 0;
        kept.GetPosition(t, a);
        fresh.GetPosition(t, b);
        for (int i = 0; i < 16; ++i) {
            ASSERT_FLOAT_EQ(a.pose.m[i], b.pose.m[i]) << "t=" << t;
        }
    }
}

struct CornerCase {
    const char* name;
    float startA, startB, startC;  // orientation at the cut end of the first line
    float cornerA, cornerB, cornerC;
    float endA, endB, endC;        // orientation at the cut start of the second line
};

class CornerBlend : public ::testing::TestWithParam<CornerCase> {};

// Two lines meeting at a right angle, cut by 10 mm each and blended: the blend leaves the
// first line and joins the second within 1 degree and keeps an orthonormal orientation.
TEST_P(CornerBlend, TangentsMeetNeighboursAndOrientationStaysOrthonormal) {
    const CornerCase& k = GetParam();
    const Vector3 p0(0, 0, 0), corner(50, 0, 0), p2(50, 50, 20);

    Programs::PathElementLine first(0, 1);
    SetLimits(first);
    RobotState s0 = Pose(p0, k.startA, k.startB, k.startC);
    RobotState cornerState = Pose(corner, k.cornerA, k.cornerB, k.cornerC);
    first.Init(cornerState, 100, 0, 100, 1, 0, 0);
    RobotState firstEnd = cornerState;
    first.PrepareGeometry(s0, 0, 10, firstEnd);

    Programs::PathElementLine second(1, 2);
    SetLimits(second);
    RobotState s2 = Pose(p2, k.endA, k.endB, k.endC);
    second.Init(s2, 100, 100, 0, 1, 0, 0);
    RobotState secondStart = cornerState;
    second.PrepareGeometry(secondStart, 10, 0, s2);

    PathElementSpline blend(1, 1);
    SetLimits(blend);
    blend.InitSpline(firstEnd, cornerState, secondStart, 100, 100, 100, 0, 0, 0);
    blend.PrepareAcceleration();
    const std::vector<RobotState> states = RunElement(blend, 1.0f);
    ASSERT_GE(states.size(), 4u);

    for (const RobotState& s : states) {
        ASSERT_TRUE(Finite(s));
        ASSERT_LT(OrthonormalError(s.pose), 1e-4f);
    }
    const Vector3 startTangent = states[1].pose.GetTranslation() - states[0].pose.GetTranslation();
    const Vector3 endTangent =
        states.back().pose.GetTranslation() - states[states.size() - 2].pose.GetTranslation();
    EXPECT_LT(AngleDeg(startTangent, first.endDir), 1.0f);
    EXPECT_LT(AngleDeg(endTangent, second.startDir), 1.0f);
    EXPECT_LT((states.front().pose.GetTranslation() - firstEnd.pose.GetTranslation()).Magnitude(), 1e-3f);
    EXPECT_LT((states.back().pose.GetTranslation() - secondStart.pose.GetTranslation()).Magnitude(), 0.05f);
}

INSTANTIATE_TEST_SUITE_P(Corners, CornerBlend,
                         ::testing::Values(CornerCase{"fixed_orientation", 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                           CornerCase{"turning_about_z", 0, 0, 0, 60, 0, 0, 120, 0, 0},
                                           CornerCase{"turning_about_all", 10, 20, 30, 50, -40, 80, 100, 10, 170},
                                           CornerCase{"tilting_far", 0, 0, 0, 0, 80, 0, 90, 0, 150}),
                         [](const ::testing::TestParamInfo<CornerCase>& info) { return std::string(info.param.name); });

// Next to an arc the position curve is cubic, with the inner points on the tangents.
TEST(CartesianBlend, CubicBlendLeavesArcAlongItsTangent) {
    auto circle = std::make_shared<CircleParameters>(Vector3(100, 0, 0), Vector3(70.710678f, 70.710678f, 0),
                                                     Vector3(0, 100, 0));
    Programs::PathElementCircular arc(0, 1, circle);
    SetLimits(arc);
    RobotState start = Pose({100, 0, 0});
    RobotState arcEnd = Pose({0, 100, 0});
    arc.Init(arcEnd, 100, 0, 100, 1, 0, 0);
    arc.PrepareGeometry(start, 0, 15, arcEnd);

    const Vector3 a = arcEnd.pose.GetTranslation();
    const Vector3 d(-40, 100, 0);
    RobotState b = Pose(a + arc.endDir * 5.0f), c = Pose(d + Vector3(5, 0, 0)), dState = Pose(d);
    PathElementSpline blend(1, 2);
    blend.InitSpline(arcEnd, b, c, dState, 100, 100, 100, 0, 0, 0);
    blend.PrepareAcceleration();
    const std::vector<RobotState> states = RunElement(blend, 1.0f);
    ASSERT_GE(states.size(), 4u);
    const Vector3 startTangent = states[1].pose.GetTranslation() - states[0].pose.GetTranslation();
    EXPECT_LT(AngleDeg(startTangent, arc.endDir), 1.0f);
    const Vector3 endTangent =
        states.back().pose.GetTranslation() - states[states.size() - 2].pose.GetTranslation();
    EXPECT_LT(AngleDeg(endTangent, Vector3(-1, 0, 0)), 1.0f);
    EXPECT_EQ(blend.ToString(), "PathElementSpline from " + a.ToString() + " to " + d.ToString());
}

struct JointSpeedCase {
    const char* name;
    RobotState a, b, c;
    float velStart, velEnd;
    float velIn[2], velOut[2];  // a1, a2
};

class JointBlendSpeeds : public ::testing::TestWithParam<JointSpeedCase> {};

// Joint speeds keep the proportions of a synchronised move, whichever way the dominant joint runs.
TEST_P(JointBlendSpeeds, EntryAndExitSpeedsFollowTheDominantJoint) {
    const JointSpeedCase& k = GetParam();
    PathElementSpline6 el(2, 3);
    SetLimits(el, 100.0f);
    el.InitSpline(k.a, k.b, k.c, 0.5f, k.velStart, k.velEnd, 0, 0, 0);
    el.PrepareAcceleration();
    for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(el.velIn[i], k.velIn[i], 1e-3f) << "joint " << i;
        EXPECT_NEAR(el.velOut[i], k.velOut[i], 1e-3f) << "joint " << i;
    }
    EXPECT_NEAR(el.velInNorm, std::hypot(k.velIn[0], k.velIn[1]), 1e-3);
    EXPECT_NEAR(el.velOutNorm, std::hypot(k.velOut[0], k.velOut[1]), 1e-3);

    const std::vector<RobotState> states = RunElement(el);
    for (const RobotState& s : states) {
        ASSERT_TRUE(Finite(s));
    }
    // The element reports its end a cycle early; at its duration it stands on the end point.
    RobotState end;
    el.GetPosition(el.GetDuration(), end);
    for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(end.jointSet[i], k.c.jointSet[i], 1e-3f) << "joint " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Joints, JointBlendSpeeds,
    ::testing::Values(
        JointSpeedCase{"positive_dominant", Joints({0, 0}), Joints({30, 10}), Joints({60, 10}), 0.5f, 0.5f,
                       {50, 50.0f / 3}, {50, 0}},
        JointSpeedCase{"negative_dominant", Joints({0, 0}), Joints({-30, 10}), Joints({-30, -20}), 0.5f, 0.5f,
                       {-50, 50.0f / 3}, {0, -50}},
        JointSpeedCase{"stop_to_stop", Joints({0, 0}), Joints({30, 10}), Joints({60, 10}), 0, 0, {0, 0}, {0, 0}}),
    [](const ::testing::TestParamInfo<JointSpeedCase>& info) { return std::string(info.param.name); });

TEST(JointBlend, RunsThroughTheCurveAndTracksLastJoints) {
    PathElementSpline6 el(2, 3);
    SetLimits(el, 100.0f);
    const RobotState a = Joints({0, 0, 0, 0, 0, 0, 0}), b = Joints({10, 0, 5}), c = Joints({10, 10, 5, 0, 0, 0, 3});
    el.InitSpline(a, b, c, 1, 1, 1, 0, 0, 0);
    el.PrepareAcceleration();
    EXPECT_EQ(el.name, "Spline");
    EXPECT_GT(el.length, 14.0);
    EXPECT_NEAR(el.velInNorm, std::hypot(100.0, 50.0), 1e-3);   // a1 leads in, a3 at half
    EXPECT_NEAR(el.velOutNorm, std::hypot(100.0, 30.0), 1e-3);  // a2 leads out, e1 at 0.3
    EXPECT_NEAR(el.GetDuration(), el.length * 1000.0 / ((el.velInNorm + el.velOutNorm) / 2.0), 10.0);

    RobotState out;
    EXPECT_EQ(el.GetPosition(0.0f, out), -1);
    EXPECT_NEAR(out.jointSet[0], 0.0f, 1e-5f);
    EXPECT_EQ(el.GetPosition(40.0f, out), -1);
    for (int i = 0; i < 9; ++i) {
        EXPECT_FLOAT_EQ(el.lastJointPos[i], out.jointSet[i]);
    }
    EXPECT_EQ(el.GetPosition(el.GetDuration() + 10.0f, out), 0);
    EXPECT_NEAR(out.jointSet[1], 10.0f, 1e-4f);
    EXPECT_NEAR(out.jointSet[6], 3.0f, 1e-4f);
    EXPECT_EQ(el.ToString(), "PathElementSpline6 from (0.00, 0.00, 0.00, 0.00, 0.00, 0.00, 0.00, 0.00, 0.00) to "
                             "(10.00, 10.00, 5.00, 0.00, 0.00, 0.00, 3.00, 0.00, 0.00)");
}

}  // namespace
