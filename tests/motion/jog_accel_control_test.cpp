#include "motion/JogAccelControlCart.h"
#include "motion/JogAccelControlJoint.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(JogAccelControlCart, RampsUpAndStopsWithTheReleaseRate) {
    JogAccelControlCart ramp;
    ramp.Init(true, 1, 100, 500, 30, 180);
    double t = 0, r = 0;
    for (int call = 1; call <= 500; ++call) {
        ramp.SetTargetVel(50, 0, &t, &r);
        ASSERT_NEAR(t, std::fmin(50.0, call * 0.1), 1e-9) << "call " << call;
        if (call < 500) {
            ASSERT_LT(t, 50.0) << "call " << call;
        }
    }
    EXPECT_EQ(t, 50.0);
    int calls = 0;
    while (t > 0.0 && calls < 1000) {
        ramp.SetTargetVel(0, 0, &t, &r);
        ++calls;
    }
    EXPECT_EQ(calls, 100);
    EXPECT_EQ(t, 0.0);
}

TEST(JogAccelControlCart, MeetsTargetsBetweenStepsWithoutOvershoot) {
    const struct {
        double from, target;
        double expected[3];
    } cases[] = {
        {0.0, 1.0, {0.4, 0.8, 1.0}},     // up, acceleration 100 per s in 4 ms steps
        {1.0, 0.5, {0.6, 0.5, 0.5}},     // down to a smaller non-zero speed: still 100
        {0.3, -0.5, {-0.1, -0.5, -0.5}},  // reversing uses the acceleration too
    };
    for (const auto& k : cases) {
        JogAccelControlCart ramp;
        ramp.Init(true, 4, 100, 500, 100, 500);
        ramp.curTrans = k.from;
        ramp.curRot = k.from;
        for (double e : k.expected) {
            double t = 0, r = 0;
            ramp.SetTargetVel(k.target, k.target, &t, &r);
            EXPECT_NEAR(t, e, 1e-12) << k.from << " -> " << k.target;
            EXPECT_NEAR(r, e, 1e-12) << k.from << " -> " << k.target;
        }
    }
}

TEST(JogAccelControlCart, ReleaseRateOnlyWhenEverythingIsReleased) {
    JogAccelControlCart ramp;
    ramp.Init(true, 1, 100, 500, 30, 180);
    ramp.curTrans = 50;
    double t = 0, r = 0;
    ramp.SetTargetVel(0, 10, &t, &r);
    EXPECT_NEAR(t, 49.9, 1e-9);   // 100 per s, not 500
    EXPECT_NEAR(r, 0.03, 1e-12);  // 30 per s
    ramp.SetTargetVel(0, 0, &t, &r);
    EXPECT_NEAR(t, 49.4, 1e-9);
    EXPECT_NEAR(r, 0.0, 1e-12);

    ramp.Reset();
    EXPECT_EQ(ramp.curTrans, 0.0);
    EXPECT_EQ(ramp.curRot, 0.0);
}

TEST(JogAccelControlCart, OffPassesTargetsThrough) {
    JogAccelControlCart ramp;
    ramp.Init(false, 1, 100, 500, 30, 180);
    ramp.curTrans = 7;
    double t = 0, r = 0;
    for (double v : {50.0, -20.0, 0.0}) {
        ramp.SetTargetVel(v, 2 * v, &t, &r);
        EXPECT_EQ(t, v);
        EXPECT_EQ(r, 2 * v);
    }
    EXPECT_EQ(ramp.curTrans, 7.0);
}

TEST(JogAccelControlCart, InitKeepsDefaultsForUnusableRates) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double bad : {0.0, -100.0, nan}) {
        TestSupport::LogCapture log;
        JogAccelControlCart ramp;
        ramp.Init(true, 2, bad, 250, bad, 90);
        EXPECT_EQ(ramp.accTrans, 100.0) << bad;
        EXPECT_EQ(ramp.decTrans, 250.0) << bad;
        EXPECT_EQ(ramp.accRot, 30.0) << bad;
        EXPECT_EQ(ramp.decRot, 90.0) << bad;
        EXPECT_EQ(ramp.cycle, 0.002);
        EXPECT_EQ(log.Count("JogAccelControlCart: illegal"), 2) << bad;
    }
}

TEST(JogAccelControlJoint, RampsEachAxisWithItsOwnRates) {
    float acc[9], dec[9];
    for (int i = 0; i < 9; ++i) {
        acc[i] = 10.0f * (i + 1);
        dec[i] = 100.0f * (i + 1);
    }
    JogAccelControlJoint ramp;
    ramp.Init(true, 10, acc, dec);
    double target[9] = {5, -5, 0, 0, 0, 0, 0, 0, 1};
    double out[9];
    ramp.SetTargetVel(target, out);
    EXPECT_NEAR(out[0], 0.1, 1e-12);
    EXPECT_NEAR(out[1], -0.2, 1e-12);
    EXPECT_EQ(out[2], 0.0);
    EXPECT_NEAR(out[8], 0.9, 1e-12);
    ramp.SetTargetVel(target, out);
    EXPECT_EQ(out[8], 1.0);  // met exactly

    // One axis still held: the others slow down with their acceleration.
    double oneHeld[9] = {0, 0, 0, 0, 0, 0, 0, 0, 1};
    ramp.SetTargetVel(oneHeld, out);
    EXPECT_NEAR(out[0], 0.1, 1e-12);
    EXPECT_NEAR(out[1], -0.2, 1e-12);

    // All released: deceleration rates.
    double none[9] = {};
    ramp.SetTargetVel(none, out);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_EQ(out[1], 0.0);
    EXPECT_NEAR(out[8], 0.0, 1e-12);

    ramp.cur[3] = 4;
    ramp.Reset();
    EXPECT_EQ(ramp.cur[3], 0.0);
}

TEST(JogAccelControlJoint, OffPassesTargetsThroughAndBadRatesAreKeptAtDefault) {
    float acc[9] = {10, 0, -1, 10, 10, 10, 10, 10, std::numeric_limits<float>::infinity()};
    float dec[9] = {50, 50, 50, 50, 50, 50, 50, 50, 0};
    TestSupport::LogCapture log;
    JogAccelControlJoint ramp;
    ramp.Init(false, 1, acc, dec);
    EXPECT_EQ(ramp.acc[0], 10.0);
    EXPECT_EQ(ramp.acc[1], 45.0);
    EXPECT_EQ(ramp.acc[2], 45.0);
    EXPECT_EQ(ramp.acc[8], 45.0);
    EXPECT_EQ(ramp.dec[8], 180.0);
    EXPECT_EQ(ramp.dec[0], 50.0);
    EXPECT_EQ(log.Count("JogAccelControlJoint: illegal"), 4);

    double target[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    double out[9];
    ramp.SetTargetVel(target, out);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(out[i], target[i]);
        EXPECT_EQ(ramp.cur[i], 0.0);
    }
}
