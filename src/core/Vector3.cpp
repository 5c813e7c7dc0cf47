#include "core/Vector3.h"

#include <cstdio>

namespace DataTypes {

Vector3 Vector3::Normalized() const {
    const float mag = Magnitude();
    if (!(mag > 0.0001f)) {
        throw std::runtime_error("tried to normalize zero length vector");
    }
    return Vector3(x / mag, y / mag, z / mag);
}

std::string Vector3::ToString() const {
    // Room for three of the widest floats in %.1f (about 42 characters each), so even
    // huge values print whole; snprintf keeps it bounded regardless.
    char buffer[160];
    std::snprintf(buffer, sizeof(buffer), "(%.1lf, %.1lf, %.1lf)", static_cast<double>(x),
                  static_cast<double>(y), static_cast<double>(z));
    return std::string(buffer);
}

void Vector3::CreateCoordSystem(Vector3& x, Vector3& y, Vector3& z) {
    Vector3 xn = x;
    Vector3 yn = y;
    xn.Normalize();
    yn.Normalize();

    // Rounding can push the cosine of parallel directions just above 1, where acos gives
    // NaN and the parallel case would go unnoticed.
    double cosine = static_cast<double>(Cos(xn, yn));
    if (cosine > 1.0) cosine = 1.0;
    const double a = std::acos(cosine) * 180.0 / 3.1415927410125732;
    if (a < 5.0) {
        // The two directions are (anti)parallel: fall back to the base x axis.
        yn = Vector3(1.0f, 0.0f, 0.0f);
    }

    const Vector3 zn = Cross(yn, xn);
    yn = Cross(xn, zn);

    x = xn;
    y = yn;
    z = zn;
}

}  // namespace DataTypes
