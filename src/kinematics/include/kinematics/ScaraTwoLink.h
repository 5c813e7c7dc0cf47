#pragma once

#include "core/LogSingleton.h"
#include "core/Matrix44.h"
#include "kinematics/RobotKinematic.h"

#include <cmath>
#include <string>

// Closed-form shoulder/elbow solution shared by the SCARA kinematics, the small matrix
// helpers their chains are built from, and the start of their Init.
namespace ScaraTwoLink {

// Radians to degrees as the controller has always scaled its IK angles.
constexpr float kRad2Deg = 57.29578f;
// The outer reach is cut this far short of the stretched arm, where the elbow angle
// becomes ill-conditioned.
constexpr double kOuterMargin = 5.0;

// a·b in ordinary product order (Matrix44::operator* multiplies the other way round).
inline DataTypes::Matrix44 Mul(const DataTypes::Matrix44& a, const DataTypes::Matrix44& b) { return b * a; }

// [R | t] with R the elementary rotation of deg degrees about axis.
inline DataTypes::Matrix44 Frame(DataTypes::Matrix44::Axis axis, double deg, float x, float y, float z) {
    DataTypes::Matrix44 t;
    t.SetRotationDeg(axis, deg);
    t.SetTranslation(x, y, z);
    return t;
}

// Brings an angle in degrees into (-180, 180]. Joint angles that differ by a full turn
// put the arm in the same place; the soft limits are given in this range.
inline float WrapHalfOpenUp(float deg) {
    while (deg > 180.0f) {
        deg -= 360.0f;
    }
    while (deg <= -180.0f) {
        deg += 360.0f;
    }
    return deg;
}

// Brings an angle in degrees into [-180, 180).
inline float WrapHalfOpenDown(float deg) {
    while (deg >= 180.0f) {
        deg -= 360.0f;
    }
    while (deg < -180.0f) {
        deg += 360.0f;
    }
    return deg;
}

// Shoulder and elbow angles (degrees) that put the wrist axis on the wrist point w, the
// shoulder axis standing vertical at (distx1, 0). elbowNegative picks the configuration.
// Returns false when w is out of reach: beyond radius1 + radius2 - 5 mm, or nearer to the
// shoulder axis than |radius1 - radius2| (the angles come out NaN there).
inline bool Solve(const DataTypes::Vector3& w, float distx1, float radius1, float radius2, bool elbowNegative,
                  float& shoulder, float& elbow) {
    const float r = (DataTypes::Vector3(distx1, 0.0f, w.z) - w).Magnitude();
    const float a = radius1;
    const float b = radius2;
    if (static_cast<double>(r) > static_cast<double>(a + b) - kOuterMargin) {
        return false;
    }
    const double deg = static_cast<double>(kRad2Deg);
    const float numAlpha = b * b - r * r - a * a;
    const float alpha = static_cast<float>(
        std::acos(static_cast<double>(numAlpha) / (-2.0 * static_cast<double>(r) * static_cast<double>(a))) * deg);
    const float beta = std::atan2(w.y, w.x - distx1) * kRad2Deg;
    const float numGamma = r * r - a * a - b * b;
    const float gamma = static_cast<float>(std::acos(static_cast<double>(numGamma) /
                                                     (-2.0 * static_cast<double>(a) * static_cast<double>(b))) *
                                           deg) -
                        180.0f;
    if (std::isnan(alpha) || std::isnan(beta) || std::isnan(gamma)) {
        return false;
    }
    if (elbowNegative) {
        shoulder = alpha + beta;
        elbow = gamma;
    } else {
        shoulder = beta - alpha;
        elbow = -gamma;
    }
    // alpha + beta can leave (-180, 180] by a full turn; keep the shoulder where its
    // limits are, or an in-limit target would read as a limit violation.
    shoulder = WrapHalfOpenUp(shoulder);
    return true;
}

// Joint values a SCARA starts from (lift or shoulder first).
inline constexpr float kStartJoints[RobotKinematic::maxJoints] = {100.0f, 30.0f, -40.0f, 0.0f, 0.0f,
                                                                  0.0f,   0.0f,  0.0f,   0.0f};

// The header line "<variant> <name> / <type>  - Kinematic Data: " after a blank line, then
// the pose, joint speeds and user limits a SCARA has before its robot ini file is read.
inline void BeginInit(RobotKinematic& k, const char* variant, const std::string& name, const std::string& type) {
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat("%s %s / %s  - Kinematic Data: ", variant, name.c_str(), type.c_str());

    k.currentPosition = DataTypes::Matrix44();
    k.currentPosition.SetTranslation(400.0f, 50.0f, 300.0f);
    for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
        k.jointMaxVelocity[i] = 20.0f;
        k.jointMaxAcceleration[i] = 100.0f;
        k.jointMinMax[i][0] = -150.0f;
        k.jointMinMax[i][1] = 150.0f;
    }
}

// The closing line with the link lengths, then a blank line.
inline void LogLengths(float hbase, float distx1, float radius1, float radius2, float radius3) {
    LogSingleton* log = LogSingleton::instance();
    log->addFormat("Kinematic length: hbase %.1lf, distx1 %.1lf, radius1 %.1lf, radius2 %.1lf, radius3 %.1lf",
                   static_cast<double>(hbase), static_cast<double>(distx1), static_cast<double>(radius1),
                   static_cast<double>(radius2), static_cast<double>(radius3));
    log->add(" ");
}

}  // namespace ScaraTwoLink
