#include "core/BezierCasteljau.h"
#include "core/BezierPolynomial.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

using DataTypes::BezierCasteljau;
using DataTypes::BezierPolynomial;

namespace {

BezierCasteljau RandomCurve(std::mt19937& rng, int dimension, int points) {
    std::uniform_real_distribution<float> coord(-200.0f, 200.0f);
    BezierCasteljau curve(dimension);
    std::vector<float> p(static_cast<std::size_t>(dimension));
    for (int i = 0; i < points; ++i) {
        for (float& v : p) v = coord(rng);
        curve.AddStartPoint(p.data());
    }
    return curve;
}

// de Casteljau's construction in float through a scratch array, as the reference.
std::vector<float> Reference(const std::vector<std::vector<float>>& points, float t) {
    const std::size_t n = points.size();
    std::vector<float> out(points[0].size());
    for (std::size_t d = 0; d < out.size(); ++d) {
        std::vector<float> b(n);
        for (std::size_t i = 0; i < n; ++i) b[i] = points[i][d];
        for (std::size_t r = 1; r < n; ++r) {
            for (std::size_t i = 0; i + r < n; ++i) b[i] = b[i] + (b[i + 1] - b[i]) * t;
        }
        out[d] = b[0];
    }
    return out;
}

// Chord sum in double at a fine parameter step.
double Chords(const BezierPolynomial& poly, double u0, double u1, int steps) {
    std::vector<double> prev(static_cast<std::size_t>(poly.Dimension())), p(prev.size());
    poly.Evaluate(u0, prev.data());
    double sum = 0.0;
    for (int i = 1; i <= steps; ++i) {
        poly.Evaluate(u0 + (u1 - u0) * i / steps, p.data());
        double q = 0.0;
        for (std::size_t d = 0; d < p.size(); ++d) q += (p[d] - prev[d]) * (p[d] - prev[d]);
        sum += std::sqrt(q);
        prev.swap(p);
    }
    return sum;
}

}  // namespace

// The short curves the blends use are evaluated without the scratch array: still the same
// construction, so the same values, also when extrapolating.
TEST(BezierCasteljau, ShortCurvesMatchTheScratchArrayConstruction) {
    std::mt19937 rng(7);
    for (int points = 2; points <= 6; ++points) {
        for (int dimension : {1, 3, 9}) {
            BezierCasteljau curve = RandomCurve(rng, dimension, points);
            std::vector<std::vector<float>> raw;
            for (int i = 0; i < points; ++i) raw.emplace_back(curve.GetPoint(i), curve.GetPoint(i) + dimension);
            for (float t : {-0.25f, 0.0f, 0.13f, 0.5f, 0.77f, 1.0f, 1.3f}) {
                std::vector<float> out(static_cast<std::size_t>(dimension));
                curve.Interpolate(t, out.data());
                const std::vector<float> want = Reference(raw, t);
                for (int d = 0; d < dimension; ++d) {
                    EXPECT_FLOAT_EQ(out[d], want[d]) << points << " points, dim " << dimension << ", t " << t;
                }
            }
        }
    }
}

TEST(BezierPolynomial, EvaluatesTheSameCurveAndItsDerivative) {
    std::mt19937 rng(11);
    for (int points = 2; points <= 5; ++points) {
        const BezierCasteljau curve = RandomCurve(rng, 3, points);
        const BezierPolynomial poly(curve);
        EXPECT_EQ(poly.Degree(), points - 1);
        for (double u : {0.0, 0.2, 0.5, 0.9, 1.0}) {
            float want[3];
            curve.Interpolate(static_cast<float>(u), want);
            double got[3], slope[3], left[3], right[3];
            poly.Evaluate(u, got);
            poly.Derivative(u, slope);
            poly.Evaluate(u - 1e-6, left);
            poly.Evaluate(u + 1e-6, right);
            double speed = 0.0;
            for (int d = 0; d < 3; ++d) {
                EXPECT_NEAR(got[d], want[d], 1e-3) << points << " points, u " << u;
                EXPECT_NEAR(slope[d], (right[d] - left[d]) / 2e-6, 1e-3 * (1.0 + std::fabs(slope[d])));
                speed += slope[d] * slope[d];
            }
            EXPECT_NEAR(poly.Speed(u), std::sqrt(speed), 1e-9 * (1.0 + std::sqrt(speed)));
        }
    }
}

// Arc length against a fine chord sum, including a corner of 179.9 degrees where |B'|
// nearly vanishes in the middle, and a straight curve with unevenly spaced points.
TEST(BezierPolynomial, ArcLengthMatchesAFineChordSum) {
    struct Case {
        std::vector<std::vector<float>> points;
        double exact;  // < 0: compare with the chord sum
    };
    const float s = std::sin(0.1f * 3.14159265f / 180.0f) * 10.0f;
    const Case cases[] = {
        {{{0, 0, 0}, {10, 0, 0}, {20, 0, 0}}, 20.0},
        {{{0, 0, 0}, {2, 0, 0}, {20, 0, 0}}, 20.0},
        {{{0, 0, 0}, {10, 0, 0}, {10, 10, 0}}, -1},
        {{{0, 0, 0}, {10, 0, 0}, {0.0f, s, 0}}, -1},
        {{{0, 0, 0}, {5, 5, 0}, {15, -5, 3}, {20, 0, 0}}, -1},
    };
    for (const Case& c : cases) {
        BezierCasteljau curve(3);
        for (const auto& p : c.points) curve.AddStartPoint(p.data());
        const BezierPolynomial poly(curve);
        const double want = c.exact >= 0 ? c.exact : Chords(poly, 0.0, 1.0, 2000000);
        EXPECT_NEAR(poly.ArcLength(0.0, 1.0), want, 1e-6 * want);
        EXPECT_NEAR(poly.ArcLength(0.3, 0.7), Chords(poly, 0.3, 0.7, 1000000), 1e-6 * want);
        EXPECT_NEAR(poly.ArcLength(0.7, 0.3), -poly.ArcLength(0.3, 0.7), 1e-12);
    }
}

// Advance inverts the arc length: walking in fixed distances lands on them, beyond the
// end it stops at the end, and a distance of 0 stays put.
TEST(BezierPolynomial, AdvanceInvertsTheArcLength) {
    const float s = std::sin(0.5f * 3.14159265f / 180.0f) * 10.0f;
    BezierCasteljau curve(3);
    const float points[3][3] = {{0, 0, 0}, {10, 0, 0}, {0.0f, s, 0}};  // a 179 degree turn
    for (const auto& p : points) curve.AddStartPoint(p);
    const BezierPolynomial poly(curve);
    const double total = poly.ArcLength(0.0, 1.0);
    double u = 0.0;
    double walked = 0.0;
    while (walked + 0.37 < total) {
        const double next = poly.Advance(u, 0.37);
        ASSERT_GT(next, u);
        EXPECT_NEAR(poly.ArcLength(u, next), 0.37, 1e-8);
        walked += 0.37;
        EXPECT_NEAR(poly.ArcLength(0.0, next), walked, 1e-7);
        u = next;
    }
    EXPECT_DOUBLE_EQ(poly.Advance(0.25, 0.0), 0.25);
    EXPECT_DOUBLE_EQ(poly.Advance(0.25, -1.0), 0.25);
    EXPECT_NEAR(poly.Advance(0.25, total * 2.0), 1.0, 1e-9);
    EXPECT_NEAR(poly.Advance(0.25, total * 2.0, 0.6), 0.6, 1e-9) << "bounded by uMax";
}

TEST(BezierPolynomial, NeedsTwoPoints) {
    BezierCasteljau curve(3);
    curve.AddStartPoint(DataTypes::Vector3(1, 2, 3));
    EXPECT_THROW(BezierPolynomial{curve}, std::invalid_argument);
    const BezierPolynomial empty;
    EXPECT_TRUE(empty.Empty());
    double out[3];
    EXPECT_THROW(empty.Evaluate(0.5, out), std::invalid_argument);
    EXPECT_EQ(empty.ArcLength(0.0, 1.0), 0.0);
}
