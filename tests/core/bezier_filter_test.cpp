#include "core/BezierCasteljau.h"
#include "core/FilterAverage.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

using DataTypes::BezierCasteljau;
using DataTypes::FilterAverage;
using DataTypes::Vector3;
using DataTypes::VectorN;

namespace {

BezierCasteljau Curve1D(const std::vector<float>& values) {
    BezierCasteljau b(1);
    for (float v : values) b.AddStartPoint(v);
    return b;
}

template <typename Exception>
void ExpectThrowWithMessage(const std::function<void()>& action, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "expected exception with \"" << message << "\"";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

}  // namespace

// ---------------------------------------------------------------- BezierCasteljau

TEST(BezierCasteljau, InterpolatesOneDimensionalCurves) {
    struct Case {
        std::vector<float> points;
        float t;
        float expected;
    } cases[] = {
        {{0, 10}, 0.5f, 5},       {{0, 10, 0}, 0.5f, 5},   {{0, 10, 0}, 0.25f, 3.75f},
        {{2, 7, -4, 9}, 0, 2},    {{2, 7, -4, 9}, 1, 9},   {{0, 10}, 2.0f, 20},  // not clamped
        {{0, 10}, -0.5f, -5},     {{1, 2, 3}, 0.5f, 2},
    };
    for (const auto& c : cases) {
        const BezierCasteljau b = Curve1D(c.points);
        float out = -1;
        b.Interpolate(c.t, &out);
        EXPECT_NEAR(out, c.expected, 1e-5f) << "t " << c.t << " points " << c.points.size();
    }
}

TEST(BezierCasteljau, AddsPointsOfEveryForm) {
    BezierCasteljau b(3);
    b.AddStartPoint(4.0f);  // (4, 0, 0)
    const float raw[3] = {0, 8, 2};
    b.AddStartPoint(raw);
    b.AddStartPoint(Vector3(2, 2, 6));
    const float nv[3] = {0, 0, 10};
    b.AddStartPoint(VectorN(3, nv));
    float p[3];
    b.Interpolate(0.0f, p);
    EXPECT_FLOAT_EQ(p[0], 4);
    EXPECT_FLOAT_EQ(p[1], 0);
    EXPECT_FLOAT_EQ(p[2], 0);
    b.Interpolate(0.5f, p);  // cubic Bernstein weights 1/8, 3/8, 3/8, 1/8
    EXPECT_FLOAT_EQ(p[0], (4 + 3 * 0 + 3 * 2 + 0) / 8.0f);
    EXPECT_FLOAT_EQ(p[1], (0 + 3 * 8 + 3 * 2 + 0) / 8.0f);
    EXPECT_FLOAT_EQ(p[2], (0 + 3 * 2 + 3 * 6 + 10) / 8.0f);
}

TEST(BezierCasteljau, RejectsWrongDimensionsAndTooFewPoints) {
    BezierCasteljau six(6);
    ExpectThrowWithMessage<std::invalid_argument>([&] { six.AddStartPoint(Vector3(1, 2, 3)); }, "Bezier: wrong dimension!");
    ExpectThrowWithMessage<std::invalid_argument>([&] { six.AddStartPoint(VectorN(5)); }, "Bezier: wrong dimension!");

    const std::string tooFew = "BezierCasteljau: not enough points to interpolate";
    float out[6];
    ExpectThrowWithMessage<std::invalid_argument>([&] { six.Interpolate(0.5f, out); }, tooFew);
    six.AddStartPoint(VectorN(6));
    ExpectThrowWithMessage<std::invalid_argument>([&] { six.Interpolate(0.5f, out); }, tooFew);
    ExpectThrowWithMessage<std::invalid_argument>([&] { (void)six.GetLength3D(10); }, tooFew);
    double t = 0;
    ExpectThrowWithMessage<std::invalid_argument>([&] { (void)six.ProceedCart(&t, 1, 0.1); }, tooFew);
}

TEST(BezierCasteljau, HandlesManyControlPoints) {
    // Evenly spaced control points give a straight, evenly parametrised curve.
    std::vector<float> values;
    for (int i = 0; i < 100; ++i) values.push_back(static_cast<float>(i));
    const BezierCasteljau b = Curve1D(values);
    for (float t : {0.0f, 0.3f, 0.5f, 1.0f}) {
        float out = -1;
        b.Interpolate(t, &out);
        EXPECT_NEAR(out, 99.0f * t, 1e-3f) << t;
    }
}

TEST(BezierCasteljau, LengthByChords) {
    BezierCasteljau line(3);
    line.AddStartPoint(Vector3(0, 0, 0));
    line.AddStartPoint(Vector3(30, 40, 0));
    EXPECT_NEAR(line.GetLength3D(10), 50.0f, 1e-4f);
    EXPECT_EQ(line.GetLength3D(0), 0.0f);
    EXPECT_EQ(line.GetLength3D(-3), 0.0f);

    // Quadratic arc approximating a quarter circle of radius 10: chords approach the
    // curve length from below.
    BezierCasteljau arc(2);
    const float p0[2] = {10, 0}, p1[2] = {10, 10}, p2[2] = {0, 10};
    arc.AddStartPoint(p0);
    arc.AddStartPoint(p1);
    arc.AddStartPoint(p2);
    const float coarse = arc.GetLength3D(2);
    const float fine = arc.GetLength3D(1000);
    EXPECT_LT(coarse, fine);
    EXPECT_NEAR(fine, 16.2323f, 1e-3f);  // closed form of the quadratic's arc length
}

TEST(BezierCasteljau, ProceedCartAdvancesByDistance) {
    struct Case {
        const char* name;
        double t;
        double distance;
        double dt;
        double expectedT;
        float expectedPoint;
    } cases[] = {
        {"stops after the step that passes the distance", 0.0, 10.5, 0.01, 0.105, 10.5f},
        {"beyond the end: end point, parameter untouched", 1.5, 5.0, 0.01, 1.5, 100.0f},
        {"runs off the end and is limited to 1", 0.75, 500.0, 0.5, 1.0, 100.0f},
        {"runs off the end with a small step: half a step back", 0.0, 500.0, 0.01, 0.995, 99.5f},
        {"zero distance still steps half a step back", 0.2, 0.0, 0.1, 0.15, 15.0f},
    };
    const BezierCasteljau b = Curve1D({0, 100});
    for (const auto& c : cases) {
        double t = c.t;
        const VectorN p = b.ProceedCart(&t, c.distance, c.dt);
        ASSERT_EQ(p.size(), 1) << c.name;
        EXPECT_NEAR(t, c.expectedT, 1e-6) << c.name;
        EXPECT_NEAR(p[0], c.expectedPoint, 1e-3f) << c.name;
    }
}

TEST(BezierCasteljau, DiagnosticDumpShowsOnlyExistingCoordinates) {
    const BezierCasteljau b = Curve1D({0, 10});
    testing::internal::CaptureStdout();
    b.Test();
    const std::string text = testing::internal::GetCapturedStdout();
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 1u + 1u + 2u + 50u + 1u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], " Bezier: 2 points, 1 dim");
    EXPECT_EQ(lines[2], "    Point 0: 0");
    EXPECT_EQ(lines[3], "    Point 1: 10");
    EXPECT_EQ(lines[4].rfind("t: 0.02 -> ", 0), 0u) << lines[4];
    EXPECT_EQ(lines[53], "t: 1 -> 10");
    EXPECT_EQ(lines[54], "");
}

// ---------------------------------------------------------------- FilterAverage

TEST(FilterAverage, AveragesOverFixedWindowCountingEmptySlotsAsZero) {
    struct Case {
        const char* name;
        int length;  // -1: default constructor
        std::vector<float> samples;
        std::vector<float> averages;
    } cases[] = {
        {"default length 5", -1, {5, 5, 5}, {1, 2, 3}},
        {"ring wraps", 3, {3, 6, 9, 12, 3}, {1, 3, 6, 9, 8}},
        {"length 0 becomes 1", 0, {7, -2, 4.5f}, {7, -2, 4.5f}},
        {"negative length becomes 1", -8, {3, 9}, {3, 9}},
        {"length 1", 1, {1, 2}, {1, 2}},
    };
    for (const auto& c : cases) {
        FilterAverage f = c.length == -1 ? FilterAverage() : FilterAverage(c.length);
        for (std::size_t i = 0; i < c.samples.size(); ++i) {
            EXPECT_FLOAT_EQ(f.GetNewAverage(c.samples[i]), c.averages[i]) << c.name << " sample " << i;
            EXPECT_FLOAT_EQ(f.GetAverage(), c.averages[i]) << c.name;
        }
    }
}

TEST(FilterAverage, LengthIsLimitedTo25) {
    FilterAverage f(30);
    for (int k = 1; k <= 26; ++k) {
        // With a window of 25, 25 samples of 25 average to 25 and stay there.
        EXPECT_FLOAT_EQ(f.GetNewAverage(25.0f), static_cast<float>(k > 25 ? 25 : k)) << k;
    }
}

TEST(FilterAverage, ResetAndCopyCarryTheWholeState) {
    FilterAverage f(4);
    for (float s : {8.0f, 8.0f, 8.0f}) f.GetNewAverage(s);
    FilterAverage copy(2);
    copy = f;
    EXPECT_FLOAT_EQ(copy.GetAverage(), 6.0f);
    EXPECT_FLOAT_EQ(copy.GetNewAverage(0.0f), f.GetNewAverage(0.0f));
    EXPECT_FLOAT_EQ(copy.GetNewAverage(4.0f), 5.0f);  // window 4: 8, 8, 0, 4

    f.ResetFilter();
    EXPECT_EQ(f.GetAverage(), 0.0f);
    EXPECT_FLOAT_EQ(f.GetNewAverage(4.0f), 1.0f);
}
