#include "motion/PathBasicCurve.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

using Programs::PathBasicCurve;
using Programs::PathBasicCurveAcc;
using Programs::PathBasicCurveConst;

namespace {

PathBasicCurve MakeCurve(float vel, float acc, float jerk, float length, float velStart = 0.0f, float velEnd = 0.0f) {
    PathBasicCurve c;
    c.vel = vel;
    c.acc = acc;
    c.accInc = jerk;
    c.length = length;
    c.velStart = velStart;
    c.velEnd = velEnd;
    return c;
}

}  // namespace

TEST(PathBasicCurve, GoldenProfileForALongMove) {
    PathBasicCurve c = MakeCurve(100, 100, 300, 1000);
    c.PrepareAcceleration();

    EXPECT_NEAR(c.accPhase.tj, 1.0f / 3.0f, 1e-5);
    EXPECT_NEAR(c.accPhase.ta, 2.0f / 3.0f, 1e-5);
    EXPECT_NEAR(c.accPhase.lengthReached, 66.667, 1e-3);
    EXPECT_NEAR(c.decPhase.lengthReached, 66.667, 1e-3);
    EXPECT_NEAR(c.constPhase.length, 866.667, 1e-2);
    EXPECT_FLOAT_EQ(c.velReached, 100.0f);
    EXPECT_NEAR(c.GetDurationInMs(), 11333.33, 0.05);
    EXPECT_EQ(c.accPhase.ToString(), "From 0 to 67 with 1e+02 units/s in 1.3e+03 ms");

    const struct {
        float tMs;
        float s;
    } golden[] = {{0, 0},           {333.33f, 1.852f},   {1000, 35.185f},   {1333.33f, 66.667f},
                  {5666.67f, 500}, {10000, 933.333f},   {11000, 998.148f}, {11333.34f, 1000}};
    for (const auto& g : golden) {
        EXPECT_NEAR(c.GetValue(g.tMs), g.s, 2e-3) << "t=" << g.tMs;
    }
    // The constant phase starts exactly where the ramp ended.
    EXPECT_FLOAT_EQ(c.GetValue(c.accPhase.GetDurationInMs()), c.accPhase.lengthReached);
    EXPECT_EQ(c.GetValue(-5.0f), 0.0f);
    EXPECT_EQ(c.GetValue(1e6f), 1000.0f);
}

struct LimitedCase {
    const char* name;
    float acc, jerk, length;
    float velReached, tj, peakAcc, rampLength;
};

class PathBasicCurveLimited : public ::testing::TestWithParam<LimitedCase> {};

TEST_P(PathBasicCurveLimited, ReachesWhatTheLimitsAllow) {
    const LimitedCase& p = GetParam();
    PathBasicCurve c = MakeCurve(100, p.acc, p.jerk, p.length);
    c.PrepareAcceleration();
    EXPECT_NEAR(c.velReached, p.velReached, 0.01);
    EXPECT_NEAR(c.accPhase.tj, p.tj, 1e-4);
    EXPECT_NEAR(c.accPhase.accReached, p.peakAcc, 0.1);
    EXPECT_NEAR(c.accPhase.lengthReached, p.rampLength, 0.01);
    // The deceleration is planned for the velocity actually reached.
    EXPECT_NEAR(c.decPhase.velocityReached, c.velReached, 1e-3);
    EXPECT_NEAR(c.decPhase.lengthReached, c.accPhase.lengthReached, 1e-3);
    EXPECT_FLOAT_EQ(c.GetValue(c.GetDurationInMs()), p.length);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathBasicCurveLimited,
    ::testing::Values(
        // Ramps alone pass the velocity: shorter jerk ramps, no constant acceleration.
        LimitedCase{"JerkRampsOnly", 1000, 3000, 1000, 100, 0.18257f, 547.72f, 18.257f},
        // Not even the full jerk ramps fit into half the length.
        LimitedCase{"TooShortForRamps", 100, 300, 10, 19.57f, 0.25544f, 76.63f, 5.0f},
        // The constant-acceleration stretch is shortened in 10 ms steps.
        LimitedCase{"ShortenedAcceleration", 100, 300, 100, 84.42f, 1.0f / 3.0f, 100.0f, 49.703f}),
    [](const ::testing::TestParamInfo<LimitedCase>& i) { return std::string(i.param.name); });

TEST(PathBasicCurve, LengthBelowOneHundredthIsNotPlanned) {
    // Zero limits are fine here: nothing needs them.
    PathBasicCurve c = MakeCurve(0, 0, 0, 0.005f);
    ASSERT_NO_THROW(c.PrepareAcceleration());
    EXPECT_EQ(c.GetDurationInMs(), 0.0f);
    for (float t : {0.0f, 1.0f, 1000.0f}) {
        EXPECT_EQ(c.GetValue(t), 0.005f);
    }
}

TEST(PathBasicCurve, UnplannedVelocityCombinationIsRefusedAndLogged) {
    TestSupport::LogCapture log;
    PathBasicCurve c = MakeCurve(100, 100, 300, 1000, 0, 50);
    try {
        c.PrepareAcceleration();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "PathBasicCurve: not planned motion type!");
    }
    EXPECT_TRUE(log.Contains("PathBasicCurve::PrepareAcceleration: Not planned element sequence!"));
}

TEST(PathBasicCurve, RefusesLimitsThatWouldGiveUndefinedDurations) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        const char* what;
        float vel, acc, jerk, length;
    } cases[] = {
        {"zero velocity", 0, 100, 300, 100},      {"negative velocity", -10, 100, 300, 100},
        {"NaN velocity", nan, 100, 300, 100},     {"infinite velocity", inf, 100, 300, 100},
        {"zero acceleration", 100, 0, 300, 100},  {"negative acceleration", 100, -1, 300, 100},
        {"NaN acceleration", 100, nan, 300, 100}, {"negative jerk", 100, 100, -300, 100},
        {"infinite jerk", 100, 100, inf, 100},    {"NaN length", 100, 100, 300, nan},
        {"negative length", 100, 100, 300, -50},
    };
    for (const auto& k : cases) {
        for (float vs : {0.0f, 1.0f}) {
            // Each start/end case needs the same limits.
            PathBasicCurve c = MakeCurve(k.vel, k.acc, k.jerk, k.length, vs * k.vel, 0);
            EXPECT_THROW(c.PrepareAcceleration(), std::invalid_argument) << k.what;
            EXPECT_FALSE(std::isnan(c.GetDurationInMs())) << k.what;
        }
    }
}

TEST(PathBasicCurveAcc, ZeroJerkKeepsItsMessageAndPreviousResults) {
    PathBasicCurveAcc a;
    a.velSetPoint = 100;
    a.maxLength = 1000;
    a.PrepareAcceleration();
    const float before = a.duration;
    a.accInc = 0;
    try {
        a.PrepareAcceleration();
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "PathBasicCurveAcc: accInc must not be 0!");
    }
    EXPECT_EQ(a.duration, before);
}

TEST(PathBasicCurveConst, RunsAtConstantVelocityAndRefusesZeroVelocity) {
    PathBasicCurveConst c;
    c.vel = 50;
    c.length = 100;
    c.PrepareAcceleration();
    EXPECT_FLOAT_EQ(c.GetDurationInMs(), 2000.0f);
    EXPECT_FLOAT_EQ(c.GetValue(-1), 0.0f);
    EXPECT_FLOAT_EQ(c.GetValue(1000), 50.0f);
    EXPECT_FLOAT_EQ(c.GetValue(2500), 100.0f);
    EXPECT_EQ(c.ToString(), "From 0 to 1e+02 with 50 units/s in 2e+03 ms");
    c.vel = 0;
    EXPECT_THROW(c.PrepareAcceleration(), std::invalid_argument);
}

TEST(PathBasicCurve, AdaptToDurationStretchesButNeverShortens) {
    PathBasicCurve c = MakeCurve(100, 100, 300, 1000);
    c.PrepareAcceleration();
    const float T = c.GetDurationInMs();
    c.AdaptToDuration(2 * T);
    EXPECT_FLOAT_EQ(c.scale, 0.5f);
    EXPECT_NEAR(c.GetValue(T), 500.0f, 0.01);
    EXPECT_EQ(c.GetValue(2 * T), 1000.0f);
    EXPECT_EQ(c.GetDurationInMs(), T);  // the scale is not applied
    EXPECT_EQ(c.ToString(), "PathBasicCurve from 0 to 1000.00 with 50.00 units/s in 11333.33 ms");

    TestSupport::LogCapture log;
    try {
        c.AdaptToDuration(T / 2);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "JointElementSingle: Illegal acceleration requested!");
    }
    EXPECT_FLOAT_EQ(c.scale, 0.5f);
    EXPECT_TRUE(log.Contains("Cannot accelerate motion!"));

    PathBasicCurve empty;
    empty.AdaptToDuration(100);
    EXPECT_EQ(empty.scale, 1.0f);

    // NaN would make every position NaN, +inf would never move.
    for (float bad : {std::nanf(""), INFINITY, -INFINITY}) {
        EXPECT_THROW(c.AdaptToDuration(bad), std::invalid_argument) << bad;
        EXPECT_FLOAT_EQ(c.scale, 0.5f) << bad;
        EXPECT_EQ(c.GetValue(2 * T), 1000.0f) << bad;
    }
}

TEST(PathBasicCurve, DebugTracesThePlanning) {
    TestSupport::LogCapture log;
    PathBasicCurve c = MakeCurve(100, 100, 300, 100);
    c.SetDebugFlag(true);
    c.PrepareAcceleration();
    c.GetValue(10);
    EXPECT_TRUE(log.Contains("PathBasicCurve - PrepareAcceleration"));
    EXPECT_TRUE(log.Contains("Test3: p2"));
    EXPECT_TRUE(log.Contains("Iteration finished after"));
    EXPECT_TRUE(log.Contains("Curve: t=10.00"));
}

// Property sweep over random limits, lengths and the four planned start/end cases.
TEST(PathBasicCurve, RandomProfilesAreSmoothMonotoneAndExact) {
    std::mt19937 rng(20261209);
    auto logUniform = [&](float lo, float hi) {
        std::uniform_real_distribution<float> d(std::log(lo), std::log(hi));
        return std::exp(d(rng));
    };
    std::uniform_int_distribution<int> caseDist(0, 3);
    const int profiles = 4000;
    int testThreeOrTwo = 0;

    for (int n = 0; n < profiles; ++n) {
        const float vel = logUniform(1, 500);
        const float acc = logUniform(10, 5000);
        const float jerk = logUniform(30, 50000);
        const float length = logUniform(0.02f, 2000);
        const int kase = caseDist(rng);
        const float v0 = (kase == 2 || kase == 3) ? vel : 0.0f;
        const float v1 = (kase == 1 || kase == 3) ? vel : 0.0f;
        PathBasicCurve c = MakeCurve(vel, acc, jerk, length, v0, v1);
        SCOPED_TRACE(::testing::Message() << "profile " << n << ": vel " << vel << " acc " << acc << " jerk " << jerk
                                          << " length " << length << " v0 " << v0 << " v1 " << v1);
        ASSERT_NO_THROW(c.PrepareAcceleration());

        for (const PathBasicCurveAcc* ph : {&c.accPhase, &c.decPhase}) {
            if (ph->duration == 0.0f) {
                continue;
            }
            ASSERT_GE(ph->ta, 0.0f);
            ASSERT_LE(ph->lengthReached, ph->maxLength * (1 + 1e-5f) + 1e-6f);
            if (ph->maxLength < ph->accInc * std::pow(ph->acc / ph->accInc, 3.0f)) {
                ++testThreeOrTwo;
            }
        }

        const float T = c.GetDurationInMs();
        ASSERT_TRUE(std::isfinite(T));
        ASSERT_GT(T, 0.0f);
        ASSERT_EQ(c.GetValue(0), 0.0f);
        ASSERT_EQ(c.GetValue(T), length);

        // Velocity and acceleration from differences; the allowance covers float rounding.
        const int steps = 800;
        const double h = T / steps;  // ms
        const double hs = h / 1000.0;
        const double sNoise = 4.0 * FLT_EPSILON * length;
        const double vTol = vel * 2e-3 + 2 * sNoise / hs;
        const double aTol = acc * 2e-2 + 4 * sNoise / (hs * hs);
        double prevS = 0.0;
        double prevV = 0.0;
        bool havePrevV = false;
        for (int i = 1; i <= steps; ++i) {
            const float t = static_cast<float>(i * h);
            const double s = c.GetValue(t);
            ASSERT_FALSE(std::isnan(s)) << "t=" << t;
            ASSERT_GE(s, prevS - sNoise) << "t=" << t;
            const double v = (s - prevS) / hs;
            ASSERT_LE(v, vel + vTol) << "t=" << t;
            if (havePrevV) {
                ASSERT_LE(std::fabs(v - prevV), acc * hs + aTol * hs) << "t=" << t;
            }
            prevS = s;
            prevV = v;
            havePrevV = true;
        }

        // Start and end velocities match the case; a move too short to reach or leave vel
        // runs at the velocity it can reach instead.
        ASSERT_LE(c.velReached, vel * (1 + 1e-4f));
        const float e = static_cast<float>(std::min(0.5, h / 4));
        EXPECT_NEAR(c.GetValue(e) / (e / 1000.0f), v0 == 0.0f ? 0.0f : c.velReached,
                    0.01 * vel + 2 * sNoise / (e / 1000.0));
        EXPECT_NEAR((length - c.GetValue(T - e)) / (e / 1000.0f), v1 == 0.0f ? 0.0f : c.velReached,
                    0.01 * vel + 2 * sNoise / (e / 1000.0));

        // No velocity step at any junction of the phases.
        const float dA = c.accPhase.GetDurationInMs();
        const float dC = c.constPhase.GetDurationInMs();
        const float junctions[] = {c.accPhase.t1, c.accPhase.t2, dA, dA + dC, dA + dC + (c.decPhase.duration - c.decPhase.t2),
                                   dA + dC + (c.decPhase.duration - c.decPhase.t1)};
        const float dj = std::max(0.05f, T * 1e-4f);
        const double djs = dj / 1000.0;
        for (float tj : junctions) {
            if (tj - dj <= 0.0f || tj + dj >= T) {
                continue;
            }
            const double left = (c.GetValue(tj) - c.GetValue(tj - dj)) / djs;
            const double right = (c.GetValue(tj + dj) - c.GetValue(tj)) / djs;
            ASSERT_NEAR(left, right, 2 * acc * djs + vel * 2e-3 + 4 * sNoise / djs) << "junction at " << tj;
        }
    }
    // The sweep must reach the shortened-ramp branches, not only long moves.
    EXPECT_GT(testThreeOrTwo, profiles / 10);
}
