// Circles through nearly collinear points: either refused, or exact to a micrometre at
// their end point however large their radius.

#include "motion/CircleParameters.h"
#include "motion/PathElementCircular.h"
#include "testsupport/KinematicChecks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>

using DataTypes::RobotState;
using DataTypes::Vector3;
using TestSupport::Distance;

namespace {

constexpr const char* kInLine = "CommandCircular: Invalid definition of circle, points are in line";

// Chord of 1000 mm from (100, 200, 300) along (1, 2, 2)/3, sagging along (2, 1, -2)/3.
Vector3 Tilted(double along, double sag) {
    return Vector3(static_cast<float>(100 + along / 3 + sag * 2 / 3), static_cast<float>(200 + along * 2 / 3 + sag / 3),
                   static_cast<float>(300 + along * 2 / 3 - sag * 2 / 3));
}

struct NearLineCase {
    const char* name;
    Vector3 start, help, end;
    bool refused;
    bool helpAtMidArc;  // symmetric: the help point is the middle of the arc
};

void PrintTo(const NearLineCase& k, std::ostream* os) { *os << k.name; }

class NearlyCollinearCircle : public ::testing::TestWithParam<NearLineCase> {};

TEST_P(NearlyCollinearCircle, RefusedOrExact) {
    const NearLineCase& k = GetParam();
    if (k.refused) {
        try {
            CircleParameters c(k.start, k.help, k.end);
            ADD_FAILURE() << "accepted, sweep " << c.angle << " radius " << c.radius;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), kInLine);
        }
        return;
    }
    const CircleParameters c(k.start, k.help, k.end);
    EXPECT_LT(Distance(c.CalculatePosition(0.0), k.start), 1e-3f);
    EXPECT_LT(Distance(c.CalculatePosition(c.angle), k.end), 1e-3f);
    if (k.helpAtMidArc) {
        EXPECT_LT(Distance(c.CalculatePosition(c.angle / 2), k.help), 1e-3f);
    }
    // The arc runs between the points: never farther from the chord than the help point.
    const Vector3 chord = k.end - k.start;
    const double helpOff = Vector3::Cross(k.help - k.start, chord).Magnitude() / chord.Magnitude();
    for (int i = 0; i <= 100; ++i) {
        const Vector3 p = c.CalculatePosition(c.angle * i / 100.0);
        const double off = Vector3::Cross(p - k.start, chord).Magnitude() / chord.Magnitude();
        ASSERT_LE(off, helpOff + 1e-3) << "at " << i << " %";
    }

    // The planner's element ends on the end point as well.
    Programs::PathElementCircular el(1, 2, std::make_shared<const CircleParameters>(c));
    float vel[9], acc[9], jerk[9];
    for (int i = 0; i < 9; ++i) {
        vel[i] = 100.0f;
        acc[i] = 500.0f;
        jerk[i] = 1500.0f;
    }
    el.SetMotionParameter(vel, acc, jerk, 200, 1000, 3000, 90, 900, 2700);
    RobotState start;
    start.pose.SetTranslation(k.start);
    RobotState end;
    end.pose.SetTranslation(c.CalculatePosition(c.angle));
    el.Init(end, 200, 0, 0, 1, 0, 0);
    el.PrepareGeometry(start, 0, 0, end);
    el.PrepareAcceleration();
    RobotState out = start;
    el.GetPosition(el.GetDuration(), out);
    EXPECT_LT(Distance(out.pose.GetTranslation(), k.end), 1e-3f);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NearlyCollinearCircle,
    ::testing::Values(
        // Radius 2500 m: a float centre alone is 0.1 mm off, the float sweep far more.
        NearLineCase{"sag_50um", {0, 0, 0}, {500, 0.05f, 0}, {1000, 0, 0}, false, true},
        NearLineCase{"sag_50um_tilted", Tilted(0, 0), Tilted(500, 0.05), Tilted(1000, 0), false, true},
        NearLineCase{"radius_20m_3deg", {20000, 0, 0}, {19993.146f, 523.539f, 0}, {19972.591f, 1046.719f, 0}, false,
                     false},
        // These would sweep nothing, or a kilometre-sized circle through the far side.
        NearLineCase{"sag_1um", {0, 0, 0}, {500, 0.001f, 0}, {1000, 0, 0}, true, false},
        NearLineCase{"sag_1um_tilted", Tilted(0, 0), Tilted(500, 0.001), Tilted(1000, 0), true, false},
        NearLineCase{"help_beyond_end", {0, 0, 0}, {2000, 0.002f, 0}, {1000, 0, 0}, true, false},
        NearLineCase{"help_before_start", {0, 0, 0}, {-800, 0.005f, 0}, {1000, 0, 0}, true, false}),
    [](const ::testing::TestParamInfo<NearLineCase>& info) { return std::string(info.param.name); });

}  // namespace
