#include "core/Matrix44.h"
#include "core/Vector3.h"
#include "core/VectorN.h"

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>

using DataTypes::Matrix44;
using DataTypes::Vector3;
using DataTypes::VectorN;

namespace {

Eigen::Matrix4d ToEigen(const Matrix44& m) {
    Eigen::Matrix4d e;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            e(r, c) = m.m[r * 4 + c];
        }
    }
    return e;
}

Matrix44 FromEigen(const Eigen::Matrix4d& e) {
    Matrix44 m;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            m.m[r * 4 + c] = static_cast<float>(e(r, c));
        }
    }
    return m;
}

Eigen::Matrix3d Rot(const Eigen::Vector3d& axis, double deg) {
    return Eigen::AngleAxisd(deg * M_PI / 180.0, axis.normalized()).toRotationMatrix();
}

Eigen::Matrix3d Block(const Matrix44& m) { return ToEigen(m).block<3, 3>(0, 0); }

void ExpectVec(const Vector3& v, float x, float y, float z, float tol) {
    EXPECT_NEAR(v.x, x, tol);
    EXPECT_NEAR(v.y, y, tol);
    EXPECT_NEAR(v.z, z, tol);
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

double AngleDiffDeg(double a, double b) {
    double d = std::fmod(a - b, 360.0);
    if (d > 180.0) d -= 360.0;
    if (d < -180.0) d += 360.0;
    return std::fabs(d);
}

}  // namespace

// ---------------------------------------------------------------- Matrix44 basics

TEST(Matrix44Basics, DefaultIsIdentityAndColumnConstructorSetsColumns) {
    const Matrix44 id;
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(id.m[i], (i % 5 == 0) ? 1.0f : 0.0f) << i;
    }
    EXPECT_TRUE(Matrix44::Identity().Equals(id, 0.0f));

    const Matrix44 m(Vector3(1, 2, 3), Vector3(4, 5, 6), Vector3(7, 8, 9), Vector3(10, 11, 12));
    const float expected[16] = {1, 4, 7, 10, 2, 5, 8, 11, 3, 6, 9, 12, 0, 0, 0, 1};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(m.m[i], expected[i]) << i;
    }
    ExpectVec(m.GetColumnVector(1), 4, 5, 6, 0.0f);
    ExpectVec(m.GetTranslation(), 10, 11, 12, 0.0f);
    EXPECT_FLOAT_EQ(m.Trace3x3(), 15.0f);
    EXPECT_EQ(m(2, 3), 12.0f);
}

TEST(Matrix44Basics, ElementAccessOutsideRangeThrows) {
    const int bad[][2] = {{4, 0}, {0, 4}, {-1, 0}, {0, -1}, {7, 7}};
    for (const auto& rc : bad) {
        Matrix44 m;
        const Matrix44& cm = m;
        ExpectThrowWithMessage<std::out_of_range>([&] { m(rc[0], rc[1]) = 1.0f; }, "matrix index out of range");
        ExpectThrowWithMessage<std::out_of_range>([&] { (void)cm(rc[0], rc[1]); }, "matrix index out of range");
    }
    Matrix44 m;
    m(3, 2) = 5.0f;
    EXPECT_EQ(m.m[14], 5.0f);
}

TEST(Matrix44Basics, TransposeSwapsAllElements) {
    Matrix44 m;
    for (int i = 0; i < 16; ++i) m.m[i] = static_cast<float>(i);
    m.Transpose();
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(m(r, c), static_cast<float>(c * 4 + r));
        }
    }
}

TEST(Matrix44Basics, EqualsRejectsDifferencesAndNonFiniteValues) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float a;
        float b;
        float tol;
        bool equal;
    } cases[] = {
        {1.0f, 1.0f, 0.0f, true},     {1.0f, 1.05f, 0.1f, true}, {1.0f, 1.2f, 0.1f, false},
        {nan, nan, 1e30f, false},     {inf, inf, 1e30f, false},  {1.0f, -inf, 1e30f, false},
        {nan, 1.0f, 1e30f, false},
    };
    for (const auto& c : cases) {
        for (int index : {0, 7, 15}) {
            Matrix44 a;
            Matrix44 b;
            a.m[index] = c.a;
            b.m[index] = c.b;
            EXPECT_EQ(a.Equals(b, c.tol), c.equal) << c.a << " vs " << c.b << " at " << index;
            EXPECT_EQ(b.Equals(a, c.tol), c.equal);
        }
    }
}

TEST(Matrix44Basics, ToStringPrintsFourRowsAndStaysBoundedForHugeValues) {
    Matrix44 m;
    m.SetTranslation(1.5f, -2.25f, 1000.0f);
    EXPECT_EQ(m.ToString(),
              "( 1.000 0.000 0.000 1.500 )\n"
              "( 0.000 1.000 0.000 -2.250 )\n"
              "( 0.000 0.000 1.000 1000.000 )\n"
              "( 0.000 0.000 0.000 1.000 )\n");
    for (float& e : m.m) e = -FLT_MAX;
    const std::string text = m.ToString();
    EXPECT_EQ(text.substr(0, 11), "( -34028234");
    EXPECT_EQ(text.substr(text.size() - 7), ".000 )\n");
}

// ---------------------------------------------------------------- products

TEST(Matrix44Product, ReturnsRightOperandTimesLeft) {
    Matrix44 a;
    a.SetTranslation(10, 0, 0);
    Matrix44 b;
    b.SetRotationDeg(Matrix44::Z, 90);
    const Matrix44 p = a * b;  // B·A: the translation turns with B
    ExpectVec(p.GetTranslation(), 0, 10, 0, 1e-4f);

    std::mt19937 rng(7);
    std::uniform_real_distribution<float> d(-5, 5);
    for (int n = 0; n < 50; ++n) {
        Matrix44 x;
        Matrix44 y;
        for (int i = 0; i < 16; ++i) {
            x.m[i] = d(rng);
            y.m[i] = d(rng);
        }
        const Eigen::Matrix4d expected = ToEigen(y) * ToEigen(x);
        EXPECT_TRUE((x * y).Equals(FromEigen(expected), 1e-4f));
    }
}

TEST(Matrix44Product, TransformsPointsAndFourVectors) {
    Matrix44 m;
    m.SetRotationDeg(Matrix44::Z, 90);
    m.SetTranslation(1, 2, 3);
    ExpectVec(m * Vector3(1, 0, 5), 1, 3, 8, 1e-5f);

    const float values[4] = {1, 0, 5, 0};
    const VectorN r = m * VectorN(4, values);  // direction: no translation
    ASSERT_EQ(r.size(), 4);
    EXPECT_NEAR(r[0], 0, 1e-5f);
    EXPECT_NEAR(r[1], 1, 1e-5f);
    EXPECT_NEAR(r[2], 5, 1e-5f);
    EXPECT_NEAR(r[3], 0, 1e-5f);

    for (int n : {0, 3, 5}) {
        ExpectThrowWithMessage<std::length_error>([&] { (void)(m * VectorN(n)); },
                                                  "Matrix44: multiplication with VectorN of this length is not implemented");
    }
}

// ---------------------------------------------------------------- rotations

TEST(Matrix44Rotation, ElementaryRotationsAreRightHanded) {
    struct Case {
        Matrix44::Axis axis;
        Vector3 in;
        Vector3 out;  // after +90 degrees
    } cases[] = {
        {Matrix44::X, Vector3(0, 1, 0), Vector3(0, 0, 1)},
        {Matrix44::Y, Vector3(0, 0, 1), Vector3(1, 0, 0)},
        {Matrix44::Z, Vector3(1, 0, 0), Vector3(0, 1, 0)},
    };
    for (const auto& c : cases) {
        Matrix44 m;
        m.SetTranslation(5, 6, 7);
        m.SetRotationRad(c.axis, M_PI / 2);
        ExpectVec(m * c.in - m.GetTranslation(), c.out.x, c.out.y, c.out.z, 1e-6f);
        ExpectVec(m.GetTranslation(), 5, 6, 7, 0.0f);
        EXPECT_EQ(m.m[15], 1.0f);
    }

    Matrix44 m;
    m.SetRotationDeg(Matrix44::X, 33);
    const Matrix44 before = m;
    m.SetRotationRad(static_cast<Matrix44::Axis>(3), 1.0);
    EXPECT_TRUE(m.Equals(before, 0.0f));
}

TEST(Matrix44Rotation, SetRotationDegUsesShortPi) {
    Matrix44 m;
    m.SetRotationDeg(Matrix44::Z, 180);
    EXPECT_EQ(m.m[0], -1.0f);
    EXPECT_EQ(m.m[4], static_cast<float>(std::sin(3.141592)));
    EXPECT_NEAR(m.m[4], 6.5e-7f, 1e-8f);
    EXPECT_EQ(m.m[1], -m.m[4]);
}

TEST(Matrix44Rotation, AbcSettersComposeInOppositeOrders) {
    const double angles[][3] = {{90, 90, 0}, {30, 20, 10}, {-120, 45, 170}, {0, 0, 35}};
    for (const auto& a : angles) {
        Matrix44 m1;
        Matrix44 m2;
        m1.SetTranslation(1, 2, 3);
        m2.SetTranslation(1, 2, 3);
        m1.SetRotationABCDeg(a[0], a[1], a[2]);
        m2.SetRotationABCDeg2(a[0], a[1], a[2]);
        const Eigen::Matrix3d rz = Rot({0, 0, 1}, a[0]);
        const Eigen::Matrix3d ry = Rot({0, 1, 0}, a[1]);
        const Eigen::Matrix3d rx = Rot({1, 0, 0}, a[2]);
        EXPECT_LT((Block(m1) - rx * ry * rz).cwiseAbs().maxCoeff(), 1e-5) << a[0] << " " << a[1] << " " << a[2];
        EXPECT_LT((Block(m2) - rz * ry * rx).cwiseAbs().maxCoeff(), 1e-6) << a[0] << " " << a[1] << " " << a[2];
        ExpectVec(m1.GetTranslation(), 1, 2, 3, 0.0f);
        ExpectVec(m2.GetTranslation(), 1, 2, 3, 0.0f);
    }
    Matrix44 m1;
    Matrix44 m2;
    m1.SetRotationABCDeg(90, 90, 0);
    m2.SetRotationABCDeg2(90, 90, 0);
    EXPECT_FALSE(m1.Equals(m2, 0.1f));
}

TEST(Matrix44Rotation, GetAbcInvertsAbc2) {
    struct Case {
        float a, b, c;
        float ea, eb, ec;
    } cases[] = {
        {30, 20, 10, 30, 20, 10},
        {-170, -60, 120, -170, -60, 120},
        {40, 90, 10, 0, 90, -30},     // gimbal lock folds A into C
        {40, -90, 10, 0, -90, 50},
    };
    for (const auto& c : cases) {
        Matrix44 m;
        m.SetRotationABCDeg2(c.a, c.b, c.c);
        float a = 0, b = 0, cc = 0;
        m.GetABCDeg(&a, &b, &cc);
        EXPECT_NEAR(a, c.ea, 1e-3f) << c.a << " " << c.b << " " << c.c;
        EXPECT_NEAR(b, c.eb, 1e-3f);
        EXPECT_NEAR(cc, c.ec, 1e-3f);
        float ra = 1, rb = 1, rc = 1;
        m.GetABCDeg(ra, rb, rc);
        EXPECT_EQ(ra, a);
        EXPECT_EQ(rb, b);
        EXPECT_EQ(rc, cc);
    }
}

TEST(Matrix44Rotation, GetAbcRoundTripsRandomAnglesAwayFromGimbalLock) {
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<double> ac(-179.9, 179.9);
    std::uniform_real_distribution<double> bd(-89.9, 89.9);
    double worst = 0.0;
    for (int n = 0; n < 20000; ++n) {
        const double a = ac(rng), b = bd(rng), c = ac(rng);
        Matrix44 m;
        m.SetRotationABCDeg2(a, b, c);
        float ga, gb, gc;
        m.GetABCDeg(&ga, &gb, &gc);
        const double err = std::max({AngleDiffDeg(ga, a), std::fabs(gb - b), AngleDiffDeg(gc, c)});
        worst = std::max(worst, err);
        ASSERT_LT(err, 0.02) << a << " " << b << " " << c << " -> " << ga << " " << gb << " " << gc;
    }
    std::ostringstream text;
    text << worst;
    RecordProperty("worst_abc_error_deg", text.str());
}

TEST(Matrix44Rotation, GetAxisAngleGivesUnitAxisAndDegrees) {
    struct Case {
        Eigen::Vector3d axis;
        double deg;
        bool signFree;  // at 180 degrees axis and -axis are the same rotation
    } cases[] = {
        {{0, 0, 1}, 90, false},   {{1, 2, 3}, 30, false}, {{-1, 0.5, 0.2}, 135, false},
        {{1, 1, 0}, 180, true},   {{1, -1, 0}, 180, true}, {{0.3, -0.4, 0.8}, 180, true},
    };
    for (const auto& c : cases) {
        Matrix44 m;
        Eigen::Matrix4d e = Eigen::Matrix4d::Identity();
        e.block<3, 3>(0, 0) = Rot(c.axis, c.deg);
        m = FromEigen(e);
        Vector3 axis;
        float deg = 0;
        m.GetAxisAngle(&axis, &deg);
        const Eigen::Vector3d n = c.axis.normalized();
        EXPECT_NEAR(deg, c.deg, 0.05) << c.axis.transpose();
        EXPECT_NEAR(axis.Magnitude(), 1.0f, 1e-5f);
        const double dot = axis.x * n.x() + axis.y * n.y() + axis.z * n.z();
        EXPECT_NEAR(c.signFree ? std::fabs(dot) : dot, 1.0, 1e-5) << c.axis.transpose();
    }

    Matrix44 id;
    Vector3 axis(9, 9, 9);
    float deg = 9;
    id.GetAxisAngle(&axis, &deg);
    EXPECT_EQ(deg, 0.0f);
    EXPECT_LT(axis.Magnitude(), 1e-6f);
}

TEST(Matrix44Rotation, RotateAxisAnglePreMultipliesAndChecksAxis) {
    Matrix44 m;
    m.SetRotationDeg(Matrix44::X, 30);
    m.SetTranslation(4, 5, 6);
    const Matrix44 start = m;

    ExpectThrowWithMessage<std::runtime_error>([&] { m.RotateAxisAngle(Vector3(0, 0, 2), 90); },
                                               "axis vector is not normalized");
    EXPECT_TRUE(m.Equals(start, 0.0f));
    m.RotateAxisAngle(Vector3(0, 0, 2), 0.00005f);  // below the angle threshold: no check, no change
    EXPECT_TRUE(m.Equals(start, 0.0f));

    const Vector3 axis = Vector3(1, -2, 0.5f).Normalized();
    m.RotateAxisAngle(axis, 40);
    const Eigen::Matrix3d expected = Rot({1, -2, 0.5}, 40) * Block(start);
    EXPECT_LT((Block(m) - expected).cwiseAbs().maxCoeff(), 1e-5);
    ExpectVec(m.GetTranslation(), 4, 5, 6, 0.0f);
}

TEST(Matrix44Rotation, NormalizeScalesColumnsOrThrowsUnchanged) {
    Matrix44 m(Vector3(2, 0, 0), Vector3(0, 0.5f, 0), Vector3(3, 0, 4), Vector3(7, 8, 9));
    m.Normalize();
    ExpectVec(m.GetColumnVector(0), 1, 0, 0, 1e-6f);
    ExpectVec(m.GetColumnVector(1), 0, 1, 0, 1e-6f);
    ExpectVec(m.GetColumnVector(2), 0.6f, 0, 0.8f, 1e-6f);
    ExpectVec(m.GetTranslation(), 7, 8, 9, 0.0f);

    for (int zeroColumn = 0; zeroColumn < 3; ++zeroColumn) {
        Matrix44 z(Vector3(2, 0, 0), Vector3(0, 3, 0), Vector3(0, 0, 4), Vector3(1, 1, 1));
        z.SetColumnVector(zeroColumn, Vector3(0, 0.00005f, 0));
        const Matrix44 before = z;
        ExpectThrowWithMessage<std::runtime_error>([&] { z.Normalize(); }, "Tried to normalize matrix with zero column");
        EXPECT_TRUE(z.Equals(before, 0.0f)) << zeroColumn;
    }
}

// ---------------------------------------------------------------- inverse

TEST(Matrix44Inverse, RejectsSingularAndTinyDeterminants) {
    Matrix44 zeroRow;
    zeroRow.m[4] = zeroRow.m[5] = zeroRow.m[6] = zeroRow.m[7] = 0.0f;
    Matrix44 zero;
    for (float& e : zero.m) e = 0.0f;
    Matrix44 dependent(Vector3(1, 2, 3), Vector3(2, 4, 6), Vector3(0, 0, 1), Vector3(0, 0, 0));
    Matrix44 tinyScale;  // regular, but the pivot product falls below the threshold
    tinyScale.m[0] = tinyScale.m[5] = tinyScale.m[10] = tinyScale.m[15] = 0.001f;
    for (const Matrix44& m : {zeroRow, zero, dependent, tinyScale}) {
        ExpectThrowWithMessage<std::runtime_error>([&] { (void)m.Inverse(); }, "Matrix inversion: determinant is zero");
    }
}

TEST(Matrix44Inverse, RigidTransformInverseIsTransposeBased) {
    Matrix44 m;
    m.SetRotationABCDeg2(25, -40, 110);
    m.SetTranslation(300, -120, 45);
    const Matrix44 copy = m;
    const Matrix44 inv = m.Inverse();
    EXPECT_TRUE(m.Equals(copy, 0.0f));

    Matrix44 rt = m;
    rt.SetTranslation(0, 0, 0);
    rt.Transpose();
    const Vector3 t = rt * m.GetTranslation();
    rt.SetTranslation(-t);
    EXPECT_TRUE(inv.Equals(rt, 1e-4f)) << inv.ToString() << rt.ToString();
    EXPECT_TRUE((m * inv).Equals(Matrix44(), 1e-5f));
}

TEST(Matrix44Inverse, AgreesWithIndependentInverseOnRandomMatrices) {
    std::mt19937 rng(123456);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_real_distribution<double> scale(0.5, 2.0);
    std::uniform_real_distribution<double> angle(-180.0, 180.0);
    std::uniform_real_distribution<double> trans(-1000.0, 1000.0);
    double worst = 0.0;
    for (int n = 0; n < 10000; ++n) {
        Eigen::Matrix4d e = Eigen::Matrix4d::Identity();
        if (n % 2 == 0) {
            // A pose: rotation times scale, slightly skewed, with a large translation.
            // The skew stays below the smallest scale, so the block stays well conditioned.
            const Eigen::Vector3d axis(unit(rng), unit(rng), unit(rng) + 1e-3);
            Eigen::Matrix3d skew;
            for (int i = 0; i < 9; ++i) skew(i / 3, i % 3) = 0.05 * unit(rng);
            e.block<3, 3>(0, 0) =
                Rot(axis, angle(rng)) * Eigen::Vector3d(scale(rng), scale(rng), scale(rng)).asDiagonal() + skew;
            e.block<3, 1>(0, 3) = Eigen::Vector3d(trans(rng), trans(rng), trans(rng));
        } else {
            // A dense general matrix: random orthogonal 4x4 times a scale (condition <= 4),
            // so full pivoting and every row and column swap are exercised.
            Eigen::Matrix4d g;
            for (int i = 0; i < 16; ++i) g(i / 4, i % 4) = unit(rng);
            const Eigen::Matrix4d q = Eigen::HouseholderQR<Eigen::Matrix4d>(g).householderQ();
            e = q * Eigen::Vector4d(scale(rng), scale(rng), scale(rng), scale(rng)).asDiagonal();
        }
        const Matrix44 m = FromEigen(e);
        const Eigen::Matrix4d m64 = ToEigen(m);
        const Eigen::Matrix4d ref = m64.inverse();
        ASSERT_TRUE(ref.allFinite());

        const Eigen::Matrix4d got = ToEigen(m.Inverse());
        const double rel = (got - ref).norm() / ref.norm();
        worst = std::max(worst, rel);
        ASSERT_LT(rel, 1e-4) << "matrix " << n << "\n" << m64;
    }
    std::ostringstream text;
    text << worst;
    RecordProperty("worst_relative_error", text.str());
}

// ---------------------------------------------------------------- SolveLinear2

TEST(Matrix44SolveLinear2, SolvesTwoUnknownsOrFailsWithZero) {
    struct Case {
        const char* name;
        Vector3 u;    // column 0: x coefficients
        Vector3 v;    // column 1: y coefficients
        Vector3 rhs;  // column 2
        bool ok;
        float x, y;
    } cases[] = {
        {"general", Vector3(1, 2, 0), Vector3(0, 1, 1), Vector3(2, 7, 3), true, 2, 3},
        {"negative pivot", Vector3(-1, 2, 0), Vector3(1, 1, 0), Vector3(0, 3, 0), true, 1, 1},
        {"third row only", Vector3(0, 0, 2), Vector3(1, 0, 1), Vector3(3, 0, 11), true, 4, 3},
        {"no x term", Vector3(0, 0, 0), Vector3(1, 2, 0), Vector3(3, 6, 0), true, 0, 3},
        {"no x term, rows disagree", Vector3(0, 0, 0), Vector3(1, 2, 0), Vector3(3, 7, 0), false, 0, 0},
        {"no y term", Vector3(2, 0, 4), Vector3(0, 0, 0), Vector3(5, 0, 10), true, 2.5f, 0},
        {"no y term, rows disagree", Vector3(2, 0, 4), Vector3(0, 0, 0), Vector3(5, 0, 9), false, 0, 0},
        {"all zero", Vector3(0, 0, 0), Vector3(0, 0, 0), Vector3(1, 2, 3), false, 0, 0},
    };
    for (const auto& c : cases) {
        const Matrix44 m(c.u, c.v, c.rhs, Vector3(0, 0, 0));
        Vector3 out(9, 9, 9);
        EXPECT_EQ(m.SolveLinear2(out), c.ok) << c.name;
        ExpectVec(out, c.x, c.y, 0, 1e-5f);
        Vector3 viaPointer(9, 9, 9);
        EXPECT_EQ(m.SolveLinear2(&viaPointer), c.ok) << c.name;
        ExpectVec(viaPointer, c.x, c.y, 0, 1e-5f);
    }
}

// ---------------------------------------------------------------- Vector3

TEST(Vector3Ops, ArithmeticAndIndexing) {
    Vector3 v(1, 2, 3);
    ExpectVec(v + Vector3(1, 1, 1), 2, 3, 4, 0);
    ExpectVec(v - Vector3(1, 1, 1), 0, 1, 2, 0);
    ExpectVec(-v, -1, -2, -3, 0);
    ExpectVec(v * 2.0f, 2, 4, 6, 0);
    ExpectVec(v * 0.5, 0.5f, 1, 1.5f, 0);
    ExpectVec(v / 2.0f, 0.5f, 1, 1.5f, 0);
    ExpectVec(v / 4.0, 0.25f, 0.5f, 0.75f, 0);
    v += Vector3(1, 0, -1);
    ExpectVec(v, 2, 2, 2, 0);
    v[1] = 7;
    EXPECT_EQ(v.y, 7);
    for (unsigned bad : {3u, 100u}) {
        ExpectThrowWithMessage<std::out_of_range>([&] { v[bad] = 1; }, "vector component out of range");
    }
    ExpectVec(Vector3::Cross(Vector3(1, 0, 0), Vector3(0, 1, 0)), 0, 0, 1, 0);
    EXPECT_EQ(Vector3::Dot(Vector3(1, 2, 3), Vector3(4, -5, 6)), 12.0f);
    EXPECT_FLOAT_EQ(Vector3(3, 4, 12).Magnitude(), 13.0f);
    EXPECT_EQ(Vector3(3, 4, 12).MagnitudeQ(), 169.0f);
}

TEST(Vector3Ops, NormalizeLeavesTinyVectorsNormalizedThrows) {
    Vector3 tiny(0.00005f, 0, 0);
    tiny.Normalize();
    ExpectVec(tiny, 0.00005f, 0, 0, 0);
    ExpectThrowWithMessage<std::runtime_error>([&] { (void)tiny.Normalized(); }, "tried to normalize zero length vector");
    ExpectThrowWithMessage<std::runtime_error>([&] { (void)Vector3().Normalized(); }, "tried to normalize zero length vector");

    Vector3 v(0, 3, 4);
    ExpectVec(v.Normalized(), 0, 0.6f, 0.8f, 1e-7f);
    v.Normalize();
    ExpectVec(v, 0, 0.6f, 0.8f, 1e-7f);
}

TEST(Vector3Ops, CosIsAbsoluteAndAngleDoesNotDivideByLength) {
    struct Case {
        Vector3 a, b;
        float cos, angle;
    } cases[] = {
        {Vector3(1, 0, 0), Vector3(-1, 0, 0), 1.0f, static_cast<float>(M_PI)},
        {Vector3(2, 0, 0), Vector3(2, 0, 0), 1.0f, 0.0f},  // dot 4 clamped to 1
        {Vector3(1, 0, 0), Vector3(0, 1, 0), 0.0f, static_cast<float>(M_PI / 2)},
        {Vector3(1, 0, 0), Vector3(-1, 1, 0).Normalized(), static_cast<float>(M_SQRT1_2), static_cast<float>(3 * M_PI / 4)},
        {Vector3(0, 0, 0), Vector3(1, 0, 0), 0.0f, static_cast<float>(M_PI / 2)},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(Vector3::Cos(c.a, c.b), c.cos, 1e-6f) << c.a.ToString() << c.b.ToString();
        EXPECT_NEAR(Vector3::Angle(c.a, c.b), c.angle, 1e-6f) << c.a.ToString() << c.b.ToString();
    }
}

TEST(Vector3Ops, DegreeRotationsAreRightHanded) {
    struct Case {
        char axis;
        Vector3 in, out;
    } cases[] = {
        {'x', Vector3(0, 1, 0), Vector3(0, 0, 1)},
        {'y', Vector3(0, 0, 1), Vector3(1, 0, 0)},
        {'z', Vector3(1, 0, 0), Vector3(0, 1, 0)},
        {'z', Vector3(2, 0, 7), Vector3(0, 2, 7)},
    };
    for (const auto& c : cases) {
        Vector3 deg = c.in;
        Vector3 rad = c.in;
        switch (c.axis) {
            case 'x': deg.RotateXDeg(90); rad.RotateXRad(DataTypes::myPi / 2); break;
            case 'y': deg.RotateYDeg(90); rad.RotateYRad(DataTypes::myPi / 2); break;
            default: deg.RotateZDeg(90); rad.RotateZRad(DataTypes::myPi / 2); break;
        }
        ExpectVec(deg, c.out.x, c.out.y, c.out.z, 1e-6f);
        ExpectVec(rad, c.out.x, c.out.y, c.out.z, 1e-6f);
    }
}

TEST(Vector3Ops, ToStringPrintsOneDecimalWithoutOverflow) {
    EXPECT_EQ(Vector3(1.25f, -3.5f, 0).ToString(), "(1.2, -3.5, 0.0)");
    const std::string huge = Vector3(FLT_MAX, -FLT_MAX, FLT_MAX).ToString();
    EXPECT_GT(huge.size(), 64u);  // the whole text, not a cut one
    EXPECT_EQ(huge.substr(0, 9), "(34028234");
    EXPECT_NE(huge.find(", -34028234"), std::string::npos);
    EXPECT_EQ(huge.substr(huge.size() - 3), ".0)");
}

TEST(Vector3CoordSystem, BuildsLeftHandedFrame) {
    Vector3 x(2, 0, 0), y(0, 3, 0), z(5, 5, 5);
    Vector3::CreateCoordSystem(x, y, z);
    ExpectVec(x, 1, 0, 0, 0);
    ExpectVec(y, 0, 1, 0, 0);
    ExpectVec(z, 0, 0, -1, 0);

    // Inputs 45 degrees apart: y and z keep the length sin(45°).
    Vector3 a(1, 0, 0), b(1, 1, 0), c;
    Vector3::CreateCoordSystem(a, b, c);
    ExpectVec(a, 1, 0, 0, 1e-6f);
    ExpectVec(c, 0, 0, -static_cast<float>(M_SQRT1_2), 1e-6f);
    ExpectVec(b, 0, static_cast<float>(M_SQRT1_2), 0, 1e-6f);
}

TEST(Vector3CoordSystem, ParallelInputsFallBackToBaseX) {
    // (0, 1, 1) normalised has a rounded self-cosine just above 1.
    const Vector3 cases[][2] = {
        {Vector3(0, 1, 1), Vector3(0, 1, 1)},
        {Vector3(0, 1, 1), Vector3(0, -2, -2)},
        {Vector3(0, 0, 1), Vector3(0, 0.05f, 1)},  // under 5 degrees apart
        {Vector3(44.0649f, 99.437f, -16.5956f), Vector3(44.0649f, 99.437f, -16.5956f)},
    };
    for (const auto& in : cases) {
        Vector3 x = in[0], y = in[1], z;
        Vector3::CreateCoordSystem(x, y, z);
        const Vector3 xn = in[0].Normalized();
        const Vector3 expectedZ = Vector3::Cross(Vector3(1, 0, 0), xn);
        ExpectVec(z, expectedZ.x, expectedZ.y, expectedZ.z, 1e-6f);
        EXPECT_GT(z.Magnitude(), 0.1f) << in[0].ToString();
        EXPECT_NEAR(Vector3::Dot(z, x), 0.0f, 1e-6f);
        EXPECT_NEAR(Vector3::Dot(y, x), 0.0f, 1e-6f);
    }
}

// ---------------------------------------------------------------- VectorN

TEST(VectorNOps, ArithmeticChecksSizes) {
    const float av[3] = {1, 2, 3};
    const float bv[3] = {0.5f, -1, 4};
    const VectorN a(3, av), b(3, bv);
    const VectorN sum = a + b;
    const VectorN diff = a - b;
    const VectorN neg = -a;
    const VectorN twice = a * 2.0f, third = a / 3.0, half = a * 0.5, quarter = a / 4.0f;
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(sum[i], av[i] + bv[i]);
        EXPECT_EQ(diff[i], av[i] - bv[i]);
        EXPECT_EQ(neg[i], -av[i]);
        EXPECT_EQ(twice[i], av[i] * 2.0f);
        EXPECT_EQ(third[i], static_cast<float>(av[i] / 3.0));
        EXPECT_EQ(half[i], av[i] * 0.5f);
        EXPECT_EQ(quarter[i], av[i] / 4.0f);
    }
    VectorN acc(a);
    acc += b;
    acc -= b;
    EXPECT_EQ(acc.ToString(3), a.ToString(3));

    const VectorN four(4);
    const std::string add = "tried to add VectorN with different sizes";
    const std::string sub = "tried to subtract VectorN with different sizes";
    ExpectThrowWithMessage<std::invalid_argument>([&] { (void)(VectorN(3) + VectorN(4)); }, add);
    ExpectThrowWithMessage<std::invalid_argument>([&] { (void)(a - four); }, sub);
    VectorN target(a);
    ExpectThrowWithMessage<std::invalid_argument>([&] { target += four; }, add);
    ExpectThrowWithMessage<std::invalid_argument>([&] { target -= four; }, sub);
    EXPECT_EQ(target.ToString(3), a.ToString(3));
}

TEST(VectorNOps, AccessMagnitudeNormalizeAndText) {
    VectorN v(std::vector<float>{3, 4});
    EXPECT_EQ(v.size(), 2);
    EXPECT_DOUBLE_EQ(v.MagnitudeQ(), 25.0);
    EXPECT_DOUBLE_EQ(v.Magnitude(), 5.0);
    EXPECT_EQ(v.ToString(2), "(3.00, 4.00)");
    v.Normalize();
    EXPECT_EQ(v.ToString(1), "(0.6, 0.8)");
    v[1] = -2.5f;
    EXPECT_EQ(v.ToString(0), "(1, -2)");
    const VectorN& cv = v;
    ExpectThrowWithMessage<std::out_of_range>([&] { v[2] = 0; }, "vector component out of range");
    ExpectThrowWithMessage<std::out_of_range>([&] { (void)cv[2]; }, "vector component out of range");

    VectorN zero(3);
    zero.Normalize();
    EXPECT_EQ(zero.ToString(1), "(0.0, 0.0, 0.0)");
    EXPECT_EQ(VectorN(0).ToString(3), "()");
    EXPECT_EQ(VectorN(std::vector<float>{FLT_MAX}).ToString(60).size(), 2u + 39u + 1u + 60u);
}
