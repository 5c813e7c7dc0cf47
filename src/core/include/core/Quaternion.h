#pragma once

#include "core/Matrix44.h"
#include "core/Vector3.h"

namespace DataTypes {

// Double-precision quaternion (w real, x y z imaginary). Nothing is checked: operations
// that divide by a zero norm return infinite or NaN components.
class Quaternion {
public:
    double w;
    double x;
    double y;
    double z;

    Quaternion(double w_, double x_, double y_, double z_) : w(w_), x(x_), y(y_), z(z_) {}

    double RealPart() const { return w; }
    Vector3 ImaginaryPart() const {
        return Vector3(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z));
    }

    Quaternion Conjugate() const { return Quaternion(w, -x, -y, -z); }
    Quaternion operator+(const Quaternion& q) const { return Quaternion(w + q.w, x + q.x, y + q.y, z + q.z); }
    Quaternion operator-(const Quaternion& q) const { return Quaternion(w - q.w, x - q.x, y - q.y, z - q.z); }
    Quaternion operator-() const { return Quaternion(-w, -x, -y, -z); }
    Quaternion operator*(double s) const { return Quaternion(w * s, x * s, y * s, z * s); }
    Quaternion operator/(double s) const { return Quaternion(w / s, x / s, y / s, z / s); }
    // Hamilton product.
    Quaternion operator*(const Quaternion& q) const {
        return Quaternion(w * q.w - x * q.x - y * q.y - z * q.z,
                          w * q.x + x * q.w + y * q.z - z * q.y,
                          w * q.y - x * q.z + y * q.w + z * q.x,
                          w * q.z + x * q.y - y * q.x + z * q.w);
    }

    double Dot(const Quaternion& q) const { return w * q.w + x * q.x + y * q.y + z * q.z; }
    double Norm() const;
    Quaternion Normalize() const { return *this / Norm(); }
    Quaternion Inverse() const { return Conjugate() / Dot(*this); }
    Quaternion Cross(const Quaternion& q) const {
        return Quaternion(0.0, y * q.z - z * q.y, z * q.x - x * q.z, x * q.y - y * q.x);
    }

    Quaternion Exp() const;
    Quaternion Log() const;

    Matrix44 ToRotationMatrix() const;
    // angle in radians.
    void ToAxisAngle(double& angle, Vector3& axis) const;
    // Note the negated vector part: the result turns by -angle about axis.
    static Quaternion FromAxisAngle(double angle, const Vector3& axis);
    static Quaternion FromMatrix(const Matrix44& m);
};

}  // namespace DataTypes
