#include "core/Quaternion.h"

#include <cmath>

namespace DataTypes {

double Quaternion::Norm() const { return std::sqrt(Dot(*this)); }

Quaternion Quaternion::Exp() const {
    const double er = std::exp(w);
    const double v = static_cast<double>(ImaginaryPart().Magnitude());
    const double es = er * std::sin(v);
    return Quaternion(er * std::cos(v), es * x / v, es * y / v, es * z / v);
}

Quaternion Quaternion::Log() const {
    const double v = static_cast<double>(ImaginaryPart().Magnitude());
    const double n = Norm();
    const double a = std::acos(w / n);
    return Quaternion(std::log(n), x * a / v, y * a / v, z * a / v);
}

Matrix44 Quaternion::ToRotationMatrix() const {
    Matrix44 r;
    r.m[0] = static_cast<float>(1.0 - 2.0 * y * y - 2.0 * z * z);
    r.m[1] = static_cast<float>(2.0 * x * y - 2.0 * w * z);
    r.m[2] = static_cast<float>(2.0 * x * z + 2.0 * w * y);
    r.m[4] = static_cast<float>(2.0 * x * y + 2.0 * w * z);
    r.m[5] = static_cast<float>(1.0 - 2.0 * x * x - 2.0 * z * z);
    r.m[6] = static_cast<float>(2.0 * y * z - 2.0 * w * x);
    r.m[8] = static_cast<float>(2.0 * x * z - 2.0 * w * y);
    r.m[9] = static_cast<float>(2.0 * y * z + 2.0 * w * x);
    r.m[10] = static_cast<float>(1.0 - 2.0 * x * x - 2.0 * y * y);
    return r;
}

void Quaternion::ToAxisAngle(double& angle, Vector3& axis) const {
    const double s = std::sqrt(x * x + y * y + z * z);
    angle = 2.0 * std::atan2(s, w);
    axis = Vector3(static_cast<float>(x / s), static_cast<float>(y / s), static_cast<float>(z / s));
}

Quaternion Quaternion::FromAxisAngle(double angle, const Vector3& axis) {
    const double n = static_cast<double>(axis.Magnitude());
    if (n == 0.0) {
        return Quaternion(0.0, 0.0, 0.0, 0.0);
    }
    const double s = std::sin(angle / 2.0);
    return Quaternion(std::cos(angle / 2.0), -axis.x * s / n, -axis.y * s / n, -axis.z * s / n);
}

namespace {

// A proper rotation rounded to float can push a radicand a hair below zero (Rz(90) gives
// 1 + m00 - m11 - m22 of about -1e-16); only such rounding is forgiven, so a matrix that
// is no rotation still yields NaN.
double RootHalf(double radicand) {
    if (radicand < 0.0 && radicand > -1e-6) {
        radicand = 0.0;
    }
    return std::sqrt(radicand) * 0.5;
}

}  // namespace

Quaternion Quaternion::FromMatrix(const Matrix44& m) {
    const double m00 = m.m[0], m11 = m.m[5], m22 = m.m[10];
    const float trace = m.m[0] + m.m[5] + m.m[10];
    const auto withSign = [](double magnitude, float sign) { return sign < 0.0f ? -magnitude : magnitude; };

    const double w = RootHalf(1.0 + static_cast<double>(trace));
    const double x = withSign(RootHalf(1.0 + m00 - m11 - m22), m.m[9] - m.m[6]);
    const double y = withSign(RootHalf(1.0 - m00 + m11 - m22), m.m[2] - m.m[8]);
    const double z = withSign(RootHalf(1.0 - m00 - m11 + m22), m.m[4] - m.m[1]);
    return Quaternion(w, x, y, z);
}

}  // namespace DataTypes
