#pragma once

#include <cmath>
#include <stdexcept>
#include <string>

namespace DataTypes {

// Single-precision factors shared by the vector and matrix code.
constexpr float myPi = 3.1415927f;
constexpr float deg2rad = 0.017453292f;
constexpr float rad2deg = 57.29578f;

// A point or direction in mm. Plain value type: used by value inside the robot loop,
// so nothing here may allocate.
class Vector3 {
public:
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;

    Vector3() = default;
    Vector3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}

    Vector3 operator+(const Vector3& o) const { return Vector3(x + o.x, y + o.y, z + o.z); }
    Vector3 operator-(const Vector3& o) const { return Vector3(x - o.x, y - o.y, z - o.z); }
    Vector3& operator+=(const Vector3& o) {
        x += o.x;
        y += o.y;
        z += o.z;
        return *this;
    }
    Vector3 operator-() const { return Vector3(-x, -y, -z); }

    Vector3 operator*(float s) const { return Vector3(x * s, y * s, z * s); }
    Vector3 operator*(double s) const {
        return Vector3(static_cast<float>(x * s), static_cast<float>(y * s), static_cast<float>(z * s));
    }
    Vector3 operator/(float s) const { return Vector3(x / s, y / s, z / s); }
    Vector3 operator/(double s) const {
        return Vector3(static_cast<float>(x / s), static_cast<float>(y / s), static_cast<float>(z / s));
    }

    float& operator[](unsigned i) {
        switch (i) {
            case 0: return x;
            case 1: return y;
            case 2: return z;
            default: throw std::out_of_range("vector component out of range");
        }
    }
    float operator[](unsigned i) const { return const_cast<Vector3&>(*this)[i]; }

    float MagnitudeQ() const { return x * x + y * y + z * z; }
    float Magnitude() const { return static_cast<float>(std::sqrt(static_cast<double>(MagnitudeQ()))); }

    // Leaves a (near) zero vector unchanged instead of failing.
    void Normalize() {
        const float mag = Magnitude();
        if (mag > 0.0001f) {
            x /= mag;
            y /= mag;
            z /= mag;
        }
    }
    Vector3 Normalized() const;

    static float Dot(const Vector3& a, const Vector3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
    static Vector3 Cross(const Vector3& a, const Vector3& b) {
        return Vector3(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
    }
    // Absolute cosine: antiparallel directions count as parallel (result in [0, 1]).
    static float Cos(const Vector3& a, const Vector3& b) {
        const float p = a.Magnitude() * b.Magnitude();
        if (std::fabs(p) < 1e-8f) {
            return 0.0f;
        }
        return std::fabs(Dot(a, b)) / p;
    }
    // Angle in radians between unit vectors; the dot product is not divided by the lengths.
    static float Angle(const Vector3& a, const Vector3& b) {
        double d = static_cast<double>(Dot(a, b));
        if (d > 1.0) d = 1.0;
        if (d < -1.0) d = -1.0;
        return static_cast<float>(std::acos(d));
    }

    void RotateXRad(float r) {
        const float c = static_cast<float>(std::cos(static_cast<double>(r)));
        const float s = static_cast<float>(std::sin(static_cast<double>(r)));
        const float ny = c * y - s * z;
        const float nz = s * y + c * z;
        y = ny;
        z = nz;
    }
    void RotateYRad(float r) {
        const float c = static_cast<float>(std::cos(static_cast<double>(r)));
        const float s = static_cast<float>(std::sin(static_cast<double>(r)));
        const float nx = c * x + s * z;
        const float nz = -s * x + c * z;
        x = nx;
        z = nz;
    }
    void RotateZRad(float r) {
        const float c = static_cast<float>(std::cos(static_cast<double>(r)));
        const float s = static_cast<float>(std::sin(static_cast<double>(r)));
        const float nx = c * x - s * y;
        const float ny = s * x + c * y;
        x = nx;
        y = ny;
    }
    void RotateXDeg(float deg) { RotateXRad(deg * myPi / 180.0f); }
    void RotateYDeg(float deg) { RotateYRad(deg * myPi / 180.0f); }
    void RotateZDeg(float deg) { RotateZRad(deg * myPi / 180.0f); }

    // "(x, y, z)" with one decimal each.
    std::string ToString() const;

    // Builds a (left-handed) frame from the directions x and y; overwrites all three.
    static void CreateCoordSystem(Vector3& x, Vector3& y, Vector3& z);
};

}  // namespace DataTypes
