#pragma once

#include "core/Matrix44.h"

#include <algorithm>
#include <cmath>

// The arms that swing upper arm and forearm in one vertical plane: their joint chain, and
// their elbow and side configuration as the forward kinematics leaves it for the next
// inverse kinematics.
namespace ArmConfiguration {

// [R(axis, deg) | (0, 0, z)]
inline DataTypes::Matrix44 JointFrame(DataTypes::Matrix44::Axis axis, float deg, float z) {
    DataTypes::Matrix44 t;
    t.SetRotationDeg(axis, deg);
    t.SetTranslation(0.0f, 0.0f, z);
    return t;
}

// Frame of the wrist point for base turn, shoulder and elbow (degrees): base column lz0,
// shoulder offset lz1, upper arm lz2, forearm lz3.
inline DataTypes::Matrix44 WristFrame(float base, float shoulder, float elbow, float lz0, float lz1, float lz2,
                                      float lz3) {
    using DataTypes::Matrix44;
    const Matrix44 t1 = JointFrame(Matrix44::Z, base, lz0);
    const Matrix44 t2 = JointFrame(Matrix44::Y, shoulder, lz1);
    const Matrix44 t3 = JointFrame(Matrix44::Y, elbow, lz2);
    Matrix44 t4;
    t4.SetTranslation(0.0f, 0.0f, lz3);
    // operator* multiplies right to left: this is T1·T2·T3·T4.
    return t4 * t3 * t2 * t1;
}

// Wrist-to-flange transform for the hand pitch (degrees) and hand length lz4.
inline DataTypes::Matrix44 HandFrame(float pitch, float lz4) {
    DataTypes::Matrix44 hand;
    hand.SetTranslation(0.0f, 0.0f, lz4);
    return hand * JointFrame(DataTypes::Matrix44::Y, pitch, 0.0f);
}

// deg folded into [-180, 180].
inline float FoldDeg(float deg) { return std::remainder(deg, 360.0f); }

// wristX: the wrist point's x seen in the arm's own vertical plane; elbowJoint: the
// internal elbow angle. A wrist point behind the base axis mirrors the elbow. The elbow
// side is taken from the folded angle: an elbow bent past the folded arm (internal 200
// degrees, say) is the negative side, as the inverse kinematics solves it.
inline void FromWristPoint(float wristX, float elbowJoint, bool& elbowPositive, bool& wristInFront) {
    elbowPositive = (FoldDeg(elbowJoint) >= 0.0f);
    if (wristX < 0.0f) {
        wristInFront = false;
        elbowPositive = !elbowPositive;
    } else {
        wristInFront = true;
    }
}

// Shoulder and elbow angles (degrees) for a wrist point at horizontal distance r >= 0 and
// height pz from the shoulder, reaching forward, for upper arm lz2 and forearm lz3. The
// angles of the triangle shoulder-elbow-wrist come from atan2 of twice its area (Heron in
// Kahan's ordering) and the law-of-cosines numerator, in double: acos of a rounded quotient
// loses up to 0.05 mm of tool position near the folded elbow. A wrist point inside the
// folded arm's reach (no triangle) gives NaN, which the joint check refuses.
inline void ShoulderElbow(double r, double pz, double lz2, double lz3, bool elbowPositive, float* shoulder,
                          float* elbow) {
    constexpr double kRadToDeg = 180.0 / 3.14159265358979323846;
    // Folded or stretched arm rounded past the end by the single-precision pose, mm.
    constexpr double kTriangleTolerance = 0.001;
    const double d = std::sqrt(r * r + pz * pz);
    const double alpha = std::atan2(pz, r);  // elevation of the wrist point seen from the shoulder
    double a = lz2;
    double b = lz3;
    double c = d;
    if (a < b) std::swap(a, b);
    if (b < c) std::swap(b, c);
    if (a < b) std::swap(a, b);
    double slack = c - (a - b);
    if (slack < 0.0 && slack > -kTriangleTolerance) {
        slack = 0.0;
    }
    const double area4 = std::sqrt((a + (b + c)) * slack * (c + (a - b)) * (a + (b - c)));
    const double beta = std::atan2(area4, (d * d - lz3 * lz3) + lz2 * lz2);   // at the shoulder
    const double gamma = std::atan2(area4, (lz3 * lz3 - d * d) + lz2 * lz2);  // at the elbow
    if (elbowPositive) {
        *shoulder = static_cast<float>(90.0 - (alpha + beta) * kRadToDeg);
        *elbow = static_cast<float>(180.0 - gamma * kRadToDeg);
    } else {
        *shoulder = static_cast<float>((beta - alpha) * kRadToDeg + 90.0);
        *elbow = static_cast<float>(gamma * kRadToDeg - 180.0);
    }
}

// Moves q[0..count-1] by whole turns onto the equivalent nearest current[i]. The closed-form
// angles come out in fixed ranges; a target just past one end would otherwise come back a
// whole turn away (and the limits would not see the jump).
inline void NearestToCurrent(float* q, const float* current, int count) {
    for (int i = 0; i < count; ++i) {
        q[i] += 360.0f * std::round((current[i] - q[i]) / 360.0f);
    }
}


}  // namespace ArmConfiguration
