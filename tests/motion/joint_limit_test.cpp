// Every joint stays within its own velocity limit in joint moves and joint blends, also
// when the joints' limits differ: sampled every millisecond.

#include "motion/PathElementJointSet.h"
#include "motion/PathElementSpline6.h"
#include "motion/PathGenerator_02Linear.h"

#include "PathGeneratorFakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

using DataTypes::RobotState;
using Programs::PathElementJointSet;
using Programs::PathElementSpline6;

namespace {

using Joints9 = std::array<float, 9>;

struct Limits {
    Joints9 vel, acc, jerk;
};

// Limits given for the first joints; the others get generous ones.
Limits MakeLimits(std::initializer_list<float> vel, std::initializer_list<float> acc,
                  std::initializer_list<float> jerk) {
    Limits l;
    l.vel.fill(1000.0f);
    l.acc.fill(5000.0f);
    l.jerk.fill(50000.0f);
    std::copy(vel.begin(), vel.end(), l.vel.begin());
    std::copy(acc.begin(), acc.end(), l.acc.begin());
    std::copy(jerk.begin(), jerk.end(), l.jerk.begin());
    return l;
}

RobotState At(const Joints9& q) {
    RobotState s;
    std::copy(q.begin(), q.end(), s.jointSet);
    return s;
}

// Per-joint peak speed of positions sampled every dtMs, by differences.
Joints9 PeakSpeeds(const std::vector<Joints9>& samples, double dtMs) {
    Joints9 peak{};
    for (size_t k = 1; k < samples.size(); ++k) {
        for (int i = 0; i < 9; ++i) {
            const double v = (samples[k][i] - samples[k - 1][i]) / (dtMs / 1000.0);
            peak[i] = std::max(peak[i], static_cast<float>(std::fabs(v)));
        }
    }
    return peak;
}

// Per-joint peak acceleration by second differences (a coarse step keeps the float
// rounding of the positions out of it).
Joints9 PeakAccelerations(const std::vector<Joints9>& samples, double dtMs) {
    Joints9 peak{};
    const double dt = dtMs / 1000.0;
    for (size_t k = 2; k < samples.size(); ++k) {
        for (int i = 0; i < 9; ++i) {
            const double a = (samples[k][i] - 2.0 * samples[k - 1][i] + samples[k - 2][i]) / (dt * dt);
            peak[i] = std::max(peak[i], static_cast<float>(std::fabs(a)));
        }
    }
    return peak;
}

// Runs an element from 0 to endMs in steps of dtMs, whatever it returns on the way.
template <class Element>
std::vector<Joints9> Sample(Element& el, double dtMs, double endMs) {
    std::vector<Joints9> samples;
    RobotState out;
    for (double t = 0.0; t <= endMs; t += dtMs) {
        el.GetPosition(static_cast<float>(t), out);
        Joints9 q;
        std::copy(out.jointSet, out.jointSet + 9, q.begin());
        samples.push_back(q);
    }
    return samples;
}

// Float positions of a few hundred units carry about 3e-5 of rounding per millisecond
// sample, so a speed read from them may lie that much above the true one.
constexpr float kSpeedSlack = 0.05f;

struct JointMoveCase {
    const char* name;
    Limits limits;
    Joints9 start, target;
    float velFactor, velStartFactor, velEndFactor, accScale;
};

void PrintTo(const JointMoveCase& k, std::ostream* os) { *os << k.name; }

class JointMoveLimits : public ::testing::TestWithParam<JointMoveCase> {};

TEST_P(JointMoveLimits, EveryJointWithinItsOwnLimitsAndAllArriveTogether) {
    const JointMoveCase& k = GetParam();
    PathElementJointSet el(1, 2);
    Limits l = k.limits;
    el.SetMotionParameter(l.vel.data(), l.acc.data(), l.jerk.data(), 100, 1000, 3000, 100, 1000, 3000);
    el.Init(At(k.target), k.velFactor, k.velStartFactor, k.velEndFactor, k.accScale, 0, 0);
    RobotState start = At(k.start);
    RobotState end;
    el.PrepareGeometry(start, 0, 0, end);
    el.PrepareAcceleration();
    // The pace never runs faster than the slowest joint's own profile.
    for (int i = 0; i < 9; ++i) {
        EXPECT_GE(el.GetDuration(), el.curves[i].GetDurationInMs() - 1e-3f) << "joint " << i;
    }

    const std::vector<Joints9> samples = Sample(el, 1.0, el.GetDuration() + 5.0);
    const Joints9 speeds = PeakSpeeds(samples, 1.0);
    // Up to the end only: an element that ends at speed hands over to the next one there.
    const Joints9 accelerations = PeakAccelerations(Sample(el, 5.0, el.GetDuration()), 5.0);
    for (int i = 0; i < 9; ++i) {
        EXPECT_LE(speeds[i], l.vel[i] * k.velFactor * 1.0005f + kSpeedSlack) << "joint " << i;
        EXPECT_LE(accelerations[i], l.acc[i] * k.accScale * 1.005f + 0.5f) << "joint " << i;
        EXPECT_NEAR(samples.back()[i], k.target[i], 1e-3f) << "joint " << i;
    }
    // Synchronised: every joint at the same fraction of its move at every sample.
    const float d0 = k.target[0] - k.start[0];
    for (const Joints9& q : samples) {
        const float f = (q[0] - k.start[0]) / d0;
        for (int i = 1; i < 9; ++i) {
            ASSERT_NEAR(q[i], k.start[i] + f * (k.target[i] - k.start[i]), 1e-3f) << "joint " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JointMoveLimits,
    ::testing::Values(
        // a1 leads by duration only because it accelerates slowly; a2, following in
        // proportion, would run 1.3x its velocity limit.
        JointMoveCase{"slow_leader_fast_follower", MakeLimits({100, 20}, {50, 1000}, {1500, 15000}),
                      {0, 0, 0, 0, 0, 0, 0, 0, 0}, {30, 20, 0, 0, 0, 0, 0, 0, 0}, 1.0f, 0, 0, 1.0f},
        // The follower's acceleration is the tighter one relative to its distance.
        JointMoveCase{"follower_accelerates_slowly", MakeLimits({100, 100}, {400, 40}, {4000, 4000}),
                      {0, 0, 0, 0, 0, 0, 0, 0, 0}, {-60, 40, 0, 0, 0, 0, 0, 0, 0}, 0.5f, 0, 0, 1.0f},
        // Moving on at full speed at both ends (a blended middle command).
        JointMoveCase{"blended_both_ends", MakeLimits({100, 30, 60}, {300, 1000, 300}, {1500, 1500, 1500}),
                      {10, 10, 10, 0, 0, 0, 0, 0, 0}, {70, 50, -30, 0, 0, 0, 0, 0, 0}, 0.8f, 0.8f, 0.8f, 1.0f},
        JointMoveCase{"stops_at_the_end", MakeLimits({40, 200, 80, 150, 150, 300}, {200, 600, 200, 800, 800, 900},
                                                     {1000, 3000, 1000, 3000, 3000, 3000}),
                      {0, 0, 0, 0, 0, 0, 0, 0, 0}, {50, 45, 70, 90, -120, 200, 30, 0, 0}, 0.6f, 0.6f, 0, 0.5f},
        JointMoveCase{"equal_limits", MakeLimits({100, 100}, {500, 500}, {1500, 1500}), {0, 0, 0, 0, 0, 0, 0, 0, 0},
                      {30, -10, 0, 0, 0, 0, 0, 0, 5}, 0.5f, 0, 0, 1.0f}),
    [](const ::testing::TestParamInfo<JointMoveCase>& info) { return std::string(info.param.name); });

struct JointBlendCase {
    const char* name;
    Joints9 vel;  // per-joint velocity limits
    Joints9 a, b, c;
    float velStart, velEnd;
};

void PrintTo(const JointBlendCase& k, std::ostream* os) { *os << k.name; }

class JointBlendLimits : public ::testing::TestWithParam<JointBlendCase> {};

TEST_P(JointBlendLimits, EveryJointWithinItsOwnLimitThroughTheBlend) {
    const JointBlendCase& k = GetParam();
    PathElementSpline6 el(1, 2);
    Limits l = MakeLimits({}, {}, {});
    l.vel = k.vel;
    el.SetMotionParameter(l.vel.data(), l.acc.data(), l.jerk.data(), 100, 1000, 3000, 100, 1000, 3000);
    el.InitSpline(At(k.a), At(k.b), At(k.c), k.velStart, k.velStart, k.velEnd, 0, 0, 0);
    el.PrepareAcceleration();

    // Entry and exit speeds are those of the joint moves on either side: the joint that
    // reaches its limit first sets them.
    for (int i = 0; i < 9; ++i) {
        EXPECT_LE(std::fabs(el.velIn[i]), k.velStart * k.vel[i] * 1.0001f) << "joint " << i;
        EXPECT_LE(std::fabs(el.velOut[i]), k.velEnd * k.vel[i] * 1.0001f) << "joint " << i;
    }
    const auto atLimit = [](const float* v, const Joints9& lim, float f) {
        bool any = false;
        for (int i = 0; i < 9; ++i) any = any || std::fabs(std::fabs(v[i]) - f * lim[i]) < 1e-3f * f * lim[i];
        return any;
    };
    EXPECT_TRUE(atLimit(el.velIn, k.vel, k.velStart)) << "no joint enters at its limit";
    EXPECT_TRUE(atLimit(el.velOut, k.vel, k.velEnd)) << "no joint leaves at its limit";

    const std::vector<Joints9> samples = Sample(el, 1.0, el.GetDuration() + 5.0);
    const Joints9 speeds = PeakSpeeds(samples, 1.0);
    const float factor = std::max(k.velStart, k.velEnd);
    for (int i = 0; i < 9; ++i) {
        EXPECT_LE(speeds[i], k.vel[i] * factor * 1.0005f + kSpeedSlack) << "joint " << i;
        EXPECT_NEAR(samples.back()[i], k.c[i], 1e-3f) << "joint " << i;
    }
    EXPECT_GT(el.GetDuration(), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JointBlendLimits,
    ::testing::Values(
        // a2 moves farthest, but a1 with its low limit decides the speed.
        JointBlendCase{"slow_joint_moves_less", {50, 200, 100, 100, 100, 100, 100, 100, 100},
                       {0, 0, 0, 0, 0, 0, 0, 0, 0}, {20, 40, 0, 0, 0, 0, 0, 0, 0}, {60, 45, 0, 0, 0, 0, 0, 0, 0},
                       1.0f, 1.0f},
        // Mid-blend the direction turns into a1's axis: the speed must drop there.
        JointBlendCase{"direction_turns_onto_one_axis", {100, 100, 100, 100, 100, 100, 100, 100, 100},
                       {0, 0, 0, 0, 0, 0, 0, 0, 0}, {10, 10, 0, 0, 0, 0, 0, 0, 0}, {20, 0, 0, 0, 0, 0, 0, 0, 0},
                       0.5f, 0.5f},
        JointBlendCase{"slower_out_than_in", {80, 30, 120, 200, 200, 200, 100, 100, 100},
                       {0, 0, 0, 0, 0, 0, 0, 0, 0}, {15, 5, 10, 0, 0, 0, 0, 0, 0}, {15, 25, 30, 20, 0, 0, 5, 0, 0},
                       0.9f, 0.3f},
        JointBlendCase{"negative_moves", {60, 90, 45, 100, 100, 100, 100, 100, 100},
                       {50, 50, 50, 0, 0, 0, 0, 0, 0}, {30, 20, 45, 0, 0, 0, 0, 0, 0}, {-10, 15, 20, 0, 0, 0, 0, 0, 0},
                       1.0f, 1.0f}),
    [](const ::testing::TestParamInfo<JointBlendCase>& info) { return std::string(info.param.name); });

// The whole joint-mode chain (moves and blends) as the robot reads it.
TEST(JointModeChain, NoJointExceedsItsLimitOnTheWholePath) {
    PathGenerator_02Linear gen(20.0f, 15.0f, 5);
    FakeCommandAccess access;
    gen.SetCommandAccess(&access);
    gen.SetKinematic(std::make_unique<FakeKinematic>());
    Limits l = MakeLimits({50, 200, 120, 300, 300, 300}, {200, 800, 400, 1000, 1000, 1000},
                          {1500, 5000, 3000, 5000, 5000, 5000});
    gen.InitVelAcc(l.vel.data(), l.acc.data(), l.jerk.data(), 500.0, 2000.0, 10000.0, 90.0, 360.0, 2000.0);

    const std::vector<Joints9> targets = {
        {20, 40, 0, 10, 0, 0, 0, 0, 0}, {60, 45, -20, 10, 30, 0, 0, 0, 0}, {30, 90, -10, 0, 30, 40, 0, 0, 0}};
    std::vector<std::shared_ptr<Command>> commands;
    for (size_t i = 0; i < targets.size(); ++i) {
        auto c = std::make_shared<Command>();
        c->type = 0;
        std::copy(targets[i].begin(), targets[i].end(), c->target);
        c->next = static_cast<int>(i) + 1;
        c->motion.velJointPercent = 80.0f;
        c->motion.accPercent = 100.0f;
        c->motion.smoothPercent = 100.0f;
        commands.push_back(c);
    }
    RobotState state;
    gen.SetFirstCmd(commands[0], &state, 0, commands[0]->next);
    for (size_t i = 1; i < commands.size(); ++i) {
        gen.SetNextCmd(commands[i], static_cast<int>(i), commands[i]->next);
    }
    gen.ComputePathStartThread();
    ASSERT_TRUE(WaitFor([&] { return !gen.IsThreadRunning(); }));
    ASSERT_TRUE(gen.IsPathAvailable());
    ASSERT_EQ(gen.elementCount, 5);

    std::vector<Joints9> samples;
    int result = -1;
    for (long t = 1000; result == -1 && t < 60L * 1000000L; t += 1000) {
        Joints9 q;
        int cmdIndex = -1;
        result = gen.GetJointPosition(t, q.data(), &cmdIndex);
        samples.push_back(q);
    }
    ASSERT_EQ(result, 3);
    const Joints9 speeds = PeakSpeeds(samples, 1.0);
    for (int i = 0; i < 9; ++i) {
        EXPECT_LE(speeds[i], l.vel[i] * 0.8f * 1.0005f + kSpeedSlack) << "joint " << i;
        EXPECT_NEAR(samples.back()[i], targets.back()[i], 1e-2f) << "joint " << i;
    }
    // a1, the slow joint, does run at its limit somewhere: the cap is not a crawl.
    EXPECT_GT(speeds[0], l.vel[0] * 0.8f * 0.98f);
}

}  // namespace
