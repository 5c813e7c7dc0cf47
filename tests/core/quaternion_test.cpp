#include "core/Quaternion.h"

#include <gtest/gtest.h>

#include <cmath>

using DataTypes::Matrix44;
using DataTypes::Quaternion;
using DataTypes::Vector3;

namespace {

void ExpectQuat(const Quaternion& q, double w, double x, double y, double z, double tol) {
    EXPECT_NEAR(q.w, w, tol);
    EXPECT_NEAR(q.x, x, tol);
    EXPECT_NEAR(q.y, y, tol);
    EXPECT_NEAR(q.z, z, tol);
}

Matrix44 Abc(float a, float b, float c) {
    Matrix44 m;
    m.SetRotationABCDeg2(a, b, c);
    return m;
}

}  // namespace

TEST(Quaternion, BasicAlgebra) {
    const Quaternion q(1, 2, 3, 4);
    const Quaternion p(0.5, -1, 0, 2);
    EXPECT_EQ(q.RealPart(), 1.0);
    const Vector3 im = q.ImaginaryPart();
    EXPECT_EQ(im.x, 2.0f);
    EXPECT_EQ(im.y, 3.0f);
    EXPECT_EQ(im.z, 4.0f);
    ExpectQuat(q.Conjugate(), 1, -2, -3, -4, 0);
    ExpectQuat(q + p, 1.5, 1, 3, 6, 0);
    ExpectQuat(q - p, 0.5, 3, 3, 2, 0);
    ExpectQuat(-q, -1, -2, -3, -4, 0);
    ExpectQuat(q * 2.0, 2, 4, 6, 8, 0);
    ExpectQuat(q / 2.0, 0.5, 1, 1.5, 2, 0);
    EXPECT_EQ(q.Dot(p), 0.5 - 2 + 0 + 8);
    EXPECT_DOUBLE_EQ(q.Norm(), std::sqrt(30.0));
    EXPECT_NEAR(q.Normalize().Norm(), 1.0, 1e-15);
    ExpectQuat(q.Cross(p), 0, 3 * 2 - 4 * 0, 4 * -1 - 2 * 2, 2 * 0 - 3 * -1, 0);
}

TEST(Quaternion, HamiltonProductOfBasisUnits) {
    const Quaternion one(1, 0, 0, 0), i(0, 1, 0, 0), j(0, 0, 1, 0), k(0, 0, 0, 1);
    struct Case {
        Quaternion a, b, product;
    } cases[] = {
        {i, j, k}, {j, i, -k}, {j, k, i}, {k, j, -i}, {k, i, j}, {i, k, -j},
        {i, i, -one}, {j, j, -one}, {k, k, -one}, {one, k, k},
    };
    for (const auto& c : cases) {
        const Quaternion r = c.a * c.b;
        ExpectQuat(r, c.product.w, c.product.x, c.product.y, c.product.z, 0);
    }
}

TEST(Quaternion, InverseUndoesProduct) {
    ExpectQuat(Quaternion(1, 1, 0, 0).Inverse(), 0.5, -0.5, 0, 0, 1e-15);
    const Quaternion q = Quaternion(0.3, -0.2, 0.9, 0.1).Normalize();
    ExpectQuat(q * q.Inverse(), 1, 0, 0, 0, 1e-15);
    const Quaternion r(2, 1, -1, 3);  // not unit: the inverse divides by the squared norm
    ExpectQuat(r * r.Inverse(), 1, 0, 0, 0, 1e-15);
}

TEST(Quaternion, MatrixConversionsRoundTripAndCompose) {
    // Quarter turns about one axis leave rounding just below zero under some square roots.
    const float angles[][3] = {{0, 0, 0},   {30, 20, 10},   {-150, 60, 100}, {170, -10, 5},
                               {10, 80, -175}, {90, 0, 0},  {0, -90, 0},     {0, 0, 90}, {-90, 0, 0}};
    for (const auto& a : angles) {
        const Matrix44 r = Abc(a[0], a[1], a[2]);
        const Quaternion q = Quaternion::FromMatrix(r);
        EXPECT_NEAR(q.Norm(), 1.0, 1e-6);
        EXPECT_TRUE(q.ToRotationMatrix().Equals(r, 1e-5f)) << a[0] << " " << a[1] << " " << a[2];
    }
    // The Hamilton product composes rotations in ordinary matrix order.
    const Quaternion qa = Quaternion::FromMatrix(Abc(30, 20, 10));
    const Quaternion qb = Quaternion::FromMatrix(Abc(-70, 45, 120));
    const Matrix44 product = Abc(-70, 45, 120) * Abc(30, 20, 10);  // A·B in operator order
    EXPECT_TRUE((qa * qb).ToRotationMatrix().Equals(product, 1e-5f));

    // A reflection is no rotation: its radicands are truly negative and stay NaN.
    Matrix44 reflection;
    reflection.m[0] = reflection.m[5] = reflection.m[10] = -1.0f;
    EXPECT_TRUE(std::isnan(Quaternion::FromMatrix(reflection).w));

    Matrix44 withTranslation = Abc(10, 20, 30);
    withTranslation.SetTranslation(5, 6, 7);
    const Matrix44 back = Quaternion::FromMatrix(withTranslation).ToRotationMatrix();
    EXPECT_EQ(back.m[3], 0.0f);
    EXPECT_EQ(back.m[7], 0.0f);
    EXPECT_EQ(back.m[11], 0.0f);
    EXPECT_EQ(back.m[15], 1.0f);
}

TEST(Quaternion, AxisAngleConversions) {
    const double h = std::sqrt(0.5);
    double angle = 0;
    Vector3 axis;
    Quaternion(h, 0, 0, h).ToAxisAngle(angle, axis);
    EXPECT_NEAR(angle, M_PI / 2, 1e-12);
    EXPECT_NEAR(axis.x, 0.0f, 1e-7f);
    EXPECT_NEAR(axis.y, 0.0f, 1e-7f);
    EXPECT_NEAR(axis.z, 1.0f, 1e-7f);

    // The vector part comes out negated: a turn by -angle about the axis.
    ExpectQuat(Quaternion::FromAxisAngle(M_PI / 2, Vector3(0, 0, 2)), h, 0, 0, -h, 1e-12);
    ExpectQuat(Quaternion::FromAxisAngle(1.0, Vector3(0, 0, 0)), 0, 0, 0, 0, 0);
    const Quaternion q = Quaternion::FromAxisAngle(0.8, Vector3(1, 2, 2));
    q.ToAxisAngle(angle, axis);
    EXPECT_NEAR(angle, 0.8, 1e-7);
    EXPECT_NEAR(axis.x, -1.0f / 3, 1e-6f);
    EXPECT_NEAR(axis.y, -2.0f / 3, 1e-6f);
    EXPECT_NEAR(axis.z, -2.0f / 3, 1e-6f);
}

TEST(Quaternion, ExpAndLogAreInverse) {
    ExpectQuat(Quaternion(0, M_PI / 2, 0, 0).Exp(), 0, 1, 0, 0, 1e-7);
    ExpectQuat(Quaternion(1, 0, 0, 0.5).Exp(), std::exp(1.0) * std::cos(0.5), 0, 0, std::exp(1.0) * std::sin(0.5), 1e-7);

    const Quaternion cases[] = {Quaternion(0.2, 0.3, -0.4, 0.5), Quaternion(-1, 1, 1, 0.5), Quaternion(0.5, 0, 0, -1.2)};
    for (const Quaternion& q : cases) {
        const Quaternion back = q.Exp().Log();
        ExpectQuat(back, q.w, q.x, q.y, q.z, 1e-6);
    }
    const Quaternion unit = Quaternion(0.7, 0.1, -0.5, 0.3).Normalize();
    const Quaternion again = unit.Log().Exp();
    ExpectQuat(again, unit.w, unit.x, unit.y, unit.z, 1e-6);
}

TEST(Quaternion, ZeroDivisionsGiveNonFiniteInsteadOfThrowing) {
    const Quaternion zero(0, 0, 0, 0);
    const Quaternion n = zero.Normalize();
    EXPECT_TRUE(std::isnan(n.w));
    EXPECT_FALSE(std::isfinite(Quaternion(1, 0, 0, 0).Log().x));
}
