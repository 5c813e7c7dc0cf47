#pragma once

#include "core/Matrix44.h"

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

// wristX: the wrist point's x seen in the arm's own vertical plane; elbowJoint: the
// internal elbow angle. A wrist point behind the base axis mirrors the elbow.
inline void FromWristPoint(float wristX, float elbowJoint, bool& elbowPositive, bool& wristInFront) {
    elbowPositive = (elbowJoint >= 0.0f);
    if (wristX < 0.0f) {
        wristInFront = false;
        elbowPositive = !elbowPositive;
    } else {
        wristInFront = true;
    }
}

}  // namespace ArmConfiguration
