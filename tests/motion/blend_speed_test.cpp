// Speed of the Cartesian corner blends, sampled as the robot loop samples them: the blend
// holds its entry and exit speeds (no over-speed where the curve bends hardest, no dip at
// its end), and a corner where the path turns back is not blended at all.
#include "motion/PathElementLine.h"
#include "motion/PathElementSpline.h"
#include "motion/PathGenerator_02Linear.h"
#include "motion/SplineLookUpTable.h"

#include "PathGeneratorFakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using DataTypes::RobotState;
using DataTypes::Vector3;
using Programs::PathElementSpline;

namespace {

constexpr float kCycleMs = 4.0f;
constexpr double kPi = 3.14159265358979323846;

RobotState At(const Vector3& p) {
    RobotState s;
    s.pose.SetTranslation(p);
    return s;
}

Vector3 Position(const RobotState& s) { return s.pose.GetTranslation(); }

// Unit direction in the xy plane, degrees from x.
Vector3 Heading(double deg) {
    return Vector3(static_cast<float>(std::cos(deg * kPi / 180.0)), static_cast<float>(std::sin(deg * kPi / 180.0)),
                   0.0f);
}

struct BlendCase {
    double turnDeg;  // change of direction at the corner
    float velStart, velEnd;
};

std::string CaseName(const ::testing::TestParamInfo<BlendCase>& info) {
    return "turn" + std::to_string(static_cast<int>(info.param.turnDeg)) + "_v" +
           std::to_string(static_cast<int>(info.param.velStart)) + "_to_" +
           std::to_string(static_cast<int>(info.param.velEnd));
}

class BlendSpeed : public ::testing::TestWithParam<BlendCase> {
protected:
    // A corner at (50, 20, 5) cut 10 mm on both sides.
    void SetUp() override {
        const BlendCase& k = GetParam();
        const Vector3 corner(50, 20, 5);
        const Vector3 in = Heading(0.0);
        const Vector3 out = Heading(k.turnDeg);
        blend.InitSpline(At(corner - in * 10.0f), At(corner), At(corner + out * 10.0f), 200, k.velStart, k.velEnd, 0,
                         0, 0);
        blend.PrepareAcceleration();
        lo = std::min(k.velStart, k.velEnd) * 0.99;
        hi = std::max(k.velStart, k.velEnd) * 1.01;
    }

    PathElementSpline blend{3, 4};
    double lo = 0.0, hi = 0.0;
};

// Every row of the table travels at the speed of its start; the last, partial row takes
// only the time of the distance that was left.
TEST_P(BlendSpeed, EveryTableRowKeepsTheSpeedRange) {
    const auto& table = blend.table;
    ASSERT_GE(table.size(), 2u);
    EXPECT_EQ(table.back().param, 1.0f);
    EXPECT_NEAR(table.back().length, blend.length, 1e-4);
    EXPECT_NEAR(table.back().time, blend.GetDuration(), 1e-3);
    for (std::size_t i = 1; i < table.size(); ++i) {
        const double dt = table[i].time - table[i - 1].time;
        ASSERT_GT(dt, 0.0) << "row " << i;
        ASSERT_LE(dt, 5.0 + 1e-4) << "row " << i;
        const double speed = (table[i].length - table[i - 1].length) / dt * 1000.0;
        EXPECT_GE(speed, lo) << "row " << i << " of " << table.size();
        EXPECT_LE(speed, hi) << "row " << i << " of " << table.size();
    }
    // The arc length of the table is the curve's own (a fine chord sum).
    double chords = 0.0;
    float prev[3], p[3];
    blend.posCurve.Interpolate(0.0f, prev);
    for (int i = 1; i <= 20000; ++i) {
        blend.posCurve.Interpolate(static_cast<float>(i) / 20000.0f, p);
        chords += std::sqrt(std::pow(p[0] - prev[0], 2) + std::pow(p[1] - prev[1], 2) + std::pow(p[2] - prev[2], 2));
        std::copy(p, p + 3, prev);
    }
    EXPECT_NEAR(blend.length, chords, 1e-3);
}

// Sampled every 4 ms as the robot loop does, then at the blend's duration: every step,
// the last one included, travels the path at a speed within the range. The speed along
// the path is the arc length between the sampled parameters; the straight distance
// between two samples is shorter where the curve bends within a cycle, and must never be
// longer.
TEST_P(BlendSpeed, SampledTcpSpeedStaysWithinEntryAndExitSpeeds) {
    RobotState out;
    int cursor = 0;
    std::vector<float> times;
    std::vector<double> params;
    std::vector<Vector3> points;
    for (int cycle = 0; cycle < 10000; ++cycle) {
        const float t = static_cast<float>(cycle) * kCycleMs;
        const int r = blend.GetPosition(t, out);
        times.push_back(t);
        params.push_back(Programs::SplineLookUp::ParamAt(blend.posPoly, blend.table, cursor, t));
        points.push_back(Position(out));
        if (r == 0) break;
    }
    const float duration = blend.GetDuration();
    ASSERT_LT(times.back(), duration + kCycleMs);
    blend.GetPosition(duration, out);
    const Vector3 end = Vector3(50, 20, 5) + Heading(GetParam().turnDeg) * 10.0f;
    EXPECT_LT((Position(out) - end).Magnitude(), 1e-4f);
    const double uEnd = Programs::SplineLookUp::ParamAt(blend.posPoly, blend.table, cursor, duration);
    EXPECT_EQ(uEnd, 1.0);
    if (duration - times.back() > 0.5f) {
        times.push_back(duration);
        params.push_back(uEnd);
        points.push_back(Position(out));
    }
    for (std::size_t i = 1; i < points.size(); ++i) {
        const double dt = (times[i] - times[i - 1]) / 1000.0;
        const double speed = blend.posPoly.ArcLength(params[i - 1], params[i]) / dt;
        EXPECT_GE(speed, lo) << "t=" << times[i] << " of " << duration;
        EXPECT_LE(speed, hi) << "t=" << times[i] << " of " << duration;
        EXPECT_LE((points[i] - points[i - 1]).Magnitude() / dt, hi) << "t=" << times[i] << " of " << duration;
    }
}

INSTANTIATE_TEST_SUITE_P(Corners, BlendSpeed,
                         ::testing::Values(BlendCase{90, 100, 100}, BlendCase{90, 60, 150}, BlendCase{150, 100, 100},
                                           BlendCase{150, 150, 60}, BlendCase{179, 100, 100},
                                           BlendCase{179, 60, 150}, BlendCase{30, 200, 80}),
                         CaseName);

// A crawling blend (0.01 mm/s over 20 mm, 2000 s) gets longer rows rather than running out
// of them: it still ends on its end point, at its own speed.
TEST(SlowBlend, CrawlingBlendKeepsItsSpeedToTheEnd) {
    PathElementSpline blend(1, 2);
    blend.InitSpline(At({0, 0, 0}), At({10, 0, 0}), At({10, 10, 0}), 0.01f, 0.01f, 0.01f, 0, 0, 0);
    blend.PrepareAcceleration();
    ASSERT_LT(blend.table.size(), static_cast<std::size_t>(Programs::SplineLookUp::kMaxRows));
    EXPECT_EQ(blend.table.back().param, 1.0f);
    EXPECT_NEAR(blend.GetDuration(), blend.length / 0.01 * 1000.0, blend.GetDuration() * 1e-3);
    RobotState out;
    blend.GetPosition(blend.GetDuration() * 0.999f, out);
    EXPECT_LT((Position(out) - Vector3(10, 10, 0)).Magnitude(), 0.05f);
}

// --- through the planner ------------------------------------------------------------------

// Targets of the fake commands as the Cartesian planner needs them: translation = a1..a3.
class CartesianAccess : public FakeCommandAccess {
public:
    void GetTargetPosition(Command& c, RobotState* current, RobotState* target, float& velCart, float& velJoint,
                           float& acc, float& smooth) const override {
        FakeCommandAccess::GetTargetPosition(c, current, target, velCart, velJoint, acc, smooth);
        target->pose.SetTranslation(Vector3(c.target[0], c.target[1], c.target[2]));
    }
};

constexpr float kVel = 200.0f;

class BlendedChain : public ::testing::Test {
protected:
    void SetUp() override {
        gen.SetCommandAccess(&access);
        gen.SetKinematic(std::make_unique<FakeKinematic>());
        float vel[9], acc[9], jerk[9];
        for (int j = 0; j < 9; ++j) {
            // The fake's joints are the tool point in mm: limits well above the Cartesian
            // speed keep the planner from slowing these paths for their joints.
            vel[j] = j < 6 ? 1000.0f : 100.0f;
            acc[j] = 400.0f;
            jerk[j] = 2000.0f;
        }
        gen.InitVelAcc(vel, acc, jerk, 500.0, 2000.0, 10000.0, 90.0, 360.0, 2000.0);
    }

    // Lines from the origin through the points, smoothed 50 % (10 mm) at every corner.
    void Plan(const std::vector<Vector3>& points) {
        std::vector<std::shared_ptr<Command>> commands;
        for (std::size_t i = 0; i < points.size(); ++i) {
            auto c = std::make_shared<Command>();
            c->type = 1;
            c->className = "CommandLinear";
            c->target[0] = points[i].x;
            c->target[1] = points[i].y;
            c->target[2] = points[i].z;
            c->next = static_cast<int>(i) + 1;
            c->motion.velCartesian = kVel;
            c->motion.accPercent = 100.0f;
            c->motion.smoothPercent = 50.0f;
            commands.push_back(c);
        }
        RobotState start;
        gen.SetFirstCmd(commands[0], &start, 0, commands[0]->next);
        for (std::size_t i = 1; i < commands.size(); ++i) {
            gen.SetNextCmd(commands[i], static_cast<int>(i), commands[i]->next);
        }
        gen.ComputePath();
        ASSERT_TRUE(gen.IsPathAvailable());
        ASSERT_EQ(gen.elementCount, static_cast<int>(2 * points.size() - 1));
    }

    // TCP positions every 4 ms until the successor comes back.
    std::vector<Vector3> Walk() {
        std::vector<Vector3> samples{Vector3(0, 0, 0)};
        float joints[9] = {};
        int cmdIndex = -1;
        for (long t = 4000; t < 60L * 1000000L; t += 4000) {
            const int r = gen.GetJointPosition(t, joints, &cmdIndex);
            samples.emplace_back(joints[0], joints[1], joints[2]);
            if (r != -1) return samples;
        }
        ADD_FAILURE() << "path never ended";
        return samples;
    }

    CartesianAccess access;
    PathGenerator_02Linear gen{20.0f, 20.0f, 10};
};

// Corners of 90, 150 and 30 degrees (a zig-zag): the programmed speed is never exceeded.
TEST_F(BlendedChain, ProgrammedSpeedIsALimitThroughEveryBlend) {
    Plan({{100, 0, 0}, {100, 100, 0}, {200, 100 + 100 * 0.2679f, 0}, {100, 100 + 100 * 0.2679f, 20}, {150, 50, 20}});
    const std::vector<Vector3> samples = Walk();
    double fastest = 0.0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        const double speed = (samples[i] - samples[i - 1]).Magnitude() / kCycleMs * 1000.0;
        EXPECT_LE(speed, kVel * 1.01) << "sample " << i;
        fastest = std::max(fastest, speed);
    }
    EXPECT_GT(fastest, kVel * 0.99) << "the lines reach their speed";
}

struct TurnCase {
    double turnDeg;
    bool blended;
};

class TurnBack : public BlendedChain, public ::testing::WithParamInterface<TurnCase> {};

// A reversal stops at the corner: the lines are not cut there, the blend between them is a
// single point, and the TCP passes the corner slowly instead of whipping through a cusp.
// Just below the threshold the corner is still blended.
TEST_P(TurnBack, ReversalStopsAtTheCornerInsteadOfBlending) {
    const TurnCase& k = GetParam();
    const Vector3 corner(100, 0, 0);
    Plan({corner, corner + Heading(k.turnDeg) * 100.0f});
    const auto* first = dynamic_cast<const Programs::PathElementLine*>(gen.elements[0].get());
    ASSERT_NE(first, nullptr);
    const std::vector<Vector3> samples = Walk();
    float nearest = 1e9f;
    double speedNearCorner = 0.0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        const float distance = (samples[i] - corner).Magnitude();
        if (distance < nearest) {
            nearest = distance;
            speedNearCorner = (samples[i] - samples[i - 1]).Magnitude() / kCycleMs * 1000.0;
        }
    }
    if (k.blended) {
        EXPECT_GT(gen.elements[1]->GetDuration(), 10.0f);
        EXPECT_GT(nearest, 1.0f) << "the blend cuts the corner";
    } else {
        EXPECT_EQ(gen.elements[1]->GetDuration(), 0.0f);
        EXPECT_LT((Position(first->target) - corner).Magnitude(), 1e-4f) << "first line not cut";
        EXPECT_LT(nearest, 0.1f);
        EXPECT_LT(speedNearCorner, 0.1 * kVel);
    }
}

INSTANTIATE_TEST_SUITE_P(Corners, TurnBack,
                         ::testing::Values(TurnCase{180.0, false}, TurnCase{179.5, false}, TurnCase{178.0, true}),
                         [](const ::testing::TestParamInfo<TurnCase>& info) {
                             return "turn" + std::to_string(static_cast<int>(info.param.turnDeg * 10));
                         });

}  // namespace
