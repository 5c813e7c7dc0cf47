#pragma once

#include "core/Vector3.h"

#include <stdexcept>
#include <string>

namespace DataTypes {

class VectorN;

// Homogeneous 4x4 transform, row-major: element (r, c) is m[r * 4 + c]; the 3x3 block is
// the rotation and column 3 the translation in mm. Used by value in the robot loop, so
// the arithmetic below never allocates.
class Matrix44 {
public:
    enum Axis { X = 0, Y = 1, Z = 2 };

    float m[16];

    Matrix44() { SetIdentity(); }
    Matrix44(const Matrix44&) = default;
    Matrix44& operator=(const Matrix44&) = default;
    // x, y, z and t become columns 0..3; bottom row (0, 0, 0, 1).
    Matrix44(const Vector3& x, const Vector3& y, const Vector3& z, const Vector3& t) {
        SetIdentity();
        SetColumnVector(0, x);
        SetColumnVector(1, y);
        SetColumnVector(2, z);
        SetColumnVector(3, t);
    }

    static Matrix44 Identity() { return Matrix44(); }

    float operator()(int r, int c) const {
        CheckIndex(r, c);
        return m[r * 4 + c];
    }
    float& operator()(int r, int c) {
        CheckIndex(r, c);
        return m[r * 4 + c];
    }

    // The column index is not checked.
    Vector3 GetColumnVector(int c) const { return Vector3(m[c], m[4 + c], m[8 + c]); }
    void SetColumnVector(int c, const Vector3& v) {
        m[c] = v.x;
        m[4 + c] = v.y;
        m[8 + c] = v.z;
    }

    void SetTranslation(float x, float y, float z) {
        m[3] = x;
        m[7] = y;
        m[11] = z;
    }
    void SetTranslation(const Vector3& t) { SetTranslation(t.x, t.y, t.z); }
    Vector3 GetTranslation() const { return GetColumnVector(3); }

    float Trace3x3() const { return m[0] + m[5] + m[10]; }
    void Transpose();

    // True when every element pair differs by at most tol and none is NaN or infinite.
    bool Equals(const Matrix44& o, float tol) const;

    std::string ToString() const;

    // Note the order: A * B yields the product B·A (right operand times left operand).
    // Every caller composes frames against this order.
    Matrix44 operator*(const Matrix44& b) const {
        Matrix44 p;
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 4; ++j) {
                float sum = 0.0f;
                for (int k = 0; k < 4; ++k) {
                    sum += b.m[i * 4 + k] * m[k * 4 + j];
                }
                p.m[i * 4 + j] = sum;
            }
        }
        return p;
    }

    // Point transform: rotation times v plus the translation.
    Vector3 operator*(const Vector3& v) const {
        float out[3];
        for (int i = 0; i < 3; ++i) {
            const float r = m[4 * i] * v.x + m[4 * i + 1] * v.y + m[4 * i + 2] * v.z;
            out[i] = static_cast<float>(static_cast<double>(r) + static_cast<double>(m[4 * i + 3]));
        }
        return Vector3(out[0], out[1], out[2]);
    }

    // Ordinary M·v for a vector of size 4.
    VectorN operator*(const VectorN& v) const;

    // The rotation setters write only the 3x3 block.
    void SetRotationRad(Axis a, double rad);
    // Uses 3.141592 for pi, as the kinematics were calibrated against it.
    void SetRotationDeg(Axis a, double deg);
    // 3x3 = Rx(C)·Ry(B)·Rz(A); GetABCDeg does not invert this one.
    void SetRotationABCDeg(double A, double B, double C);
    // 3x3 = Rz(A)·Ry(B)·Rx(C), the convention of the robot state and program poses.
    void SetRotationABCDeg2(double A, double B, double C);
    // Inverse of SetRotationABCDeg2; B in [-90, 90], at B = ±90 A folds into C.
    void GetABCDeg(float* A, float* B, float* C) const;
    void GetABCDeg(float& A, float& B, float& C) const { GetABCDeg(&A, &B, &C); }

    // Unit axis and angle in degrees (0..180) of the 3x3 block.
    void GetAxisAngle(Vector3* axis, float* deg) const;
    // Pre-multiplies the rotation by a turn about axis (base coordinates).
    void RotateAxisAngle(Vector3 axis, float deg);

    Matrix44 Inverse() const;
    // Scales the three rotation columns to unit length; throws on a zero column.
    void Normalize();

    // Solves rows 0..2 as W(i,0)·x + W(i,1)·y = W(i,2); out = (x, y, 0).
    bool SolveLinear2(Vector3& out) const;
    bool SolveLinear2(Vector3* out) const { return SolveLinear2(*out); }

private:
    void SetIdentity() {
        for (float& e : m) {
            e = 0.0f;
        }
        m[0] = m[5] = m[10] = m[15] = 1.0f;
    }
    static void CheckIndex(int r, int c) {
        if (r < 0 || r > 3 || c < 0 || c > 3) {
            throw std::out_of_range("matrix index out of range");
        }
    }
};

}  // namespace DataTypes
