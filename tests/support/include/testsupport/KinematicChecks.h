#pragma once

// What the kinematic tests measure and set up again and again: joints read back in user
// units, distances and rotation angles worked out in double (so errors far below the
// float steps stay visible), tools, dependent external axes and the pose round trip
// through the inverse kinematics. Header only; the tests that use it link the kinematics.

#include "core/Matrix44.h"
#include "core/Vector3.h"
#include "kinematics/ExternalAxis.h"
#include "kinematics/RobotKinematic.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <string>

namespace TestSupport {

using Joints = std::array<float, RobotKinematic::maxJoints>;

// The kinematic's current joints in user units.
inline Joints UserJointsOf(const RobotKinematic& k) {
    Joints j{};
    k.GetJoints(j.data());
    return j;
}

inline double Distance(const DataTypes::Vector3& a, const DataTypes::Vector3& b) {
    const double dx = static_cast<double>(a.x) - b.x;
    const double dy = static_cast<double>(a.y) - b.y;
    const double dz = static_cast<double>(a.z) - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Distance of the translations of two poses.
inline double Distance(const DataTypes::Matrix44& a, const DataTypes::Matrix44& b) {
    double sum = 0.0;
    for (int r = 0; r < 3; ++r) {
        const double d = static_cast<double>(a(r, 3)) - b(r, 3);
        sum += d * d;
    }
    return std::sqrt(sum);
}

// Rotation angle between the 3x3 blocks of a and b in degrees, from Ra^T·Rb in double so
// that angles far below a millidegree stay resolvable.
inline double RotationDiffDeg(const DataTypes::Matrix44& a, const DataTypes::Matrix44& b) {
    double r[3][3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double s = 0.0;
            for (int k = 0; k < 3; ++k) {
                s += static_cast<double>(a.m[k * 4 + i]) * b.m[k * 4 + j];
            }
            r[i][j] = s;
        }
    }
    const double sx = r[2][1] - r[1][2];
    const double sy = r[0][2] - r[2][0];
    const double sz = r[1][0] - r[0][1];
    const double sinA = 0.5 * std::sqrt(sx * sx + sy * sy + sz * sz);
    const double cosA = 0.5 * (r[0][0] + r[1][1] + r[2][2] - 1.0);
    return std::atan2(sinA, cosA) * 180.0 / M_PI;
}

// Heading of v in the base's x-y plane, degrees from x towards y.
inline float HeadingDeg(const DataTypes::Vector3& v) {
    return static_cast<float>(std::atan2(v.y, v.x) * 180.0 / M_PI);
}

// A right-handed frame at t with approach axis z; any such frame will do.
inline DataTypes::Matrix44 FlangeAt(DataTypes::Vector3 t, DataTypes::Vector3 z) {
    using DataTypes::Vector3;
    Vector3 helper = std::fabs(z.z) < 0.9f ? Vector3(0, 0, 1) : Vector3(1, 0, 0);
    Vector3 x = Vector3::Cross(helper, z);
    x.Normalize();
    const Vector3 y = Vector3::Cross(z, x);
    return DataTypes::Matrix44(x, y, z, t);
}

inline void ExpectJointsNear(const Joints& expected, const Joints& actual, int count, float tol) {
    for (int i = 0; i < count; ++i) {
        EXPECT_NEAR(expected[i], actual[i], tol) << "joint " << i;
    }
}

// No joint limits at all, so any joint set may be applied.
inline void ClearLimits(RobotKinematic& k) {
    for (auto& pair : k.jointMinMax) {
        pair[0] = 0.0f;
        pair[1] = 0.0f;
    }
}

// The int code a kinematic call throws, or -1 when nothing was thrown.
inline int CodeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (int code) {
        return code;
    }
    return -1;
}

// Tool offset x, y, z and turn A, B, C (degrees, as SetRotationABCDeg2 takes them).
inline void SetTool(RobotKinematic& k, float x, float y, float z, double a, double b, double c) {
    k.tool.toolMatrix = DataTypes::Matrix44();
    k.tool.toolMatrix.SetRotationABCDeg2(a, b, c);
    k.tool.toolMatrix.SetTranslation(x, y, z);
    k.tool.toolMatrixInverse = k.tool.toolMatrix.Inverse();
}

// A dependent linear axis travelling in the direction directionAngleToY that lifts the
// robot by lz0 (travel limits at their defaults, ±1000).
inline ExternalAxis DependentAxis(int directionAngleToY, double lz0) {
    ExternalAxis axis;
    axis.Kinematic = ExternalAxis::Dependent;
    axis.DirectionAngleToY = directionAngleToY;
    axis.lz0 = lz0;
    axis.Min = -1000.0;
    axis.Max = 1000.0;
    return axis;
}

// A kinematic of type K read from iniPath, with a 4 ms cycle.
template <class K>
std::unique_ptr<K> MakeKinematic(const char* name, const char* type, const std::string& iniPath) {
    auto k = std::make_unique<K>();
    k->Init(name, type, iniPath, 0);
    k->cycleTimeMS = 4.0;
    return k;
}

// After k.SetPosition(pose, ...) solved back: the pose k keeps is pose, and the forward
// kinematics of the solved user joints back reaches it. Returns the failures it added.
inline int ExpectPoseRoundTrip(const RobotKinematic& k, const DataTypes::Matrix44& pose, const float* back) {
    int failures = 0;
    if (!k.currentPosition.Equals(pose, 1e-3f)) {
        ADD_FAILURE() << "stored pose differs from the forward pose\n"
                      << k.currentPosition.ToString() << pose.ToString();
        ++failures;
    }
    auto forward = k.clone();
    forward->SetJoints(back, false);
    if (!forward->currentPosition.Equals(pose, 1e-3f)) {
        ADD_FAILURE() << "FK(IK(p)) misses p\n" << forward->currentPosition.ToString() << pose.ToString();
        ++failures;
    }
    return failures;
}

}  // namespace TestSupport
