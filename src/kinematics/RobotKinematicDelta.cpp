#include "kinematics/RobotKinematicDelta.h"

#include "core/LogSingleton.h"

#include <cmath>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {
constexpr int armCount = 3;
constexpr float armSpacingDeg = 120.0f;
}  // namespace

RobotKinematicDelta::RobotKinematicDelta() {
    nrOfJoints = 3;
    for (int i = 0; i <= 3; ++i) {
        currentJoints[i] = 0.0f;
    }
}

RobotKinematicDelta::~RobotKinematicDelta() = default;

void RobotKinematicDelta::clone(const RobotKinematic* other) {
    RobotKinematic::clone(other);
    const auto* o = dynamic_cast<const RobotKinematicDelta*>(other);
    if (o == nullptr) {
        return;
    }
    shoulderZ = o->shoulderZ;
    shoulderRadius = o->shoulderRadius;
    upperArmLength = o->upperArmLength;
    lowerArmLength = o->lowerArmLength;
    platformRadius = o->platformRadius;
    platformJointZ = o->platformJointZ;
    maxLinkageAngle = o->maxLinkageAngle;
    reachMargin = o->reachMargin;
}

std::unique_ptr<RobotKinematic> RobotKinematicDelta::clone() const {
    return CloneAs<RobotKinematicDelta>(*this);
}

void RobotKinematicDelta::Init(const std::string& name, const std::string& type,
                               const std::string& iniPath, int velocitySetting) {
    RobotKinematic::Init(name, type, iniPath, velocitySetting);

    currentPosition(0, 0) = 1.0f;
    currentPosition(1, 1) = 1.0f;
    currentPosition(2, 2) = 1.0f;
    currentPosition.SetTranslation(0.0f, 0.0f, 300.0f);

    for (int i = 0; i < 3; ++i) {
        jointMinMax[i][0] = -90.0f;
        jointMinMax[i][1] = 120.0f;
    }
    for (int i = 0; i < maxJoints; ++i) {
        jointMaxVelocity[i] = 100.0f;
        jointMaxAcceleration[i] = 100.0f;
        jointMaxAccelerationInc[i] = 100.0f;
    }
    AccLin = 1000.0;
    AccLinInc = 2000.0;

    shoulderZ = 20.0f;
    shoulderRadius = 50.0f;
    upperArmLength = 140.0f;
    lowerArmLength = 180.0f;
    platformRadius = 30.0f;
    platformJointZ = 10.0f;
    maxLinkageAngle = 30.0f;
    reachMargin = 20.0f;

    SetMinMaxValues(jointMinMax);
    LogSingleton::instance()->add("RKDelta: Init");
}

Vector3 RobotKinematicDelta::ShoulderToJoint(const Vector3& p) const {
    return p - Vector3(shoulderRadius, 0.0f, shoulderZ) + Vector3(platformRadius, 0.0f, -platformJointZ);
}

Vector3 RobotKinematicDelta::UpperArm(float angle) const {
    Vector3 u(0.0f, 0.0f, upperArmLength);
    u.RotateYDeg(90.0f - angle);
    return u;
}

Matrix44 RobotKinematicDelta::ToolPose(const Vector3& platformPoint) const {
    // The platform keeps the base orientation, so the flange frame is a pure translation.
    Matrix44 flange;
    flange.SetTranslation(platformPoint);
    return tool.toolMatrix * flange;  // flange · toolMatrix
}

float RobotKinematicDelta::ComputeError(float angle, const Vector3& p) const {
    return lowerArmLength - (ShoulderToJoint(p) - UpperArm(angle)).Magnitude();
}

float RobotKinematicDelta::Fitness(const float* q, const Vector3& p) const {
    Vector3 armPoint = p;
    float sum = 0.0f;
    for (int i = 0; i < armCount; ++i) {
        sum += static_cast<float>(std::pow(static_cast<double>(ComputeError(q[i], armPoint)), 2.0));
        armPoint.RotateZDeg(armSpacingDeg);
    }
    return std::sqrt(sum);
}

void RobotKinematicDelta::ForwardKin(const float* q, Matrix44& m) const {
    // Each rod ends on a sphere of rod length around its elbow, shifted back by the
    // platform joint offset; the platform point is where the three spheres meet.
    Vector3 centre[armCount];
    for (int i = 0; i < armCount; ++i) {
        Vector3 c = Vector3(shoulderRadius, 0.0f, shoulderZ) + UpperArm(q[i]) -
                    Vector3(platformRadius, 0.0f, -platformJointZ);
        c.RotateZDeg(-armSpacingDeg * static_cast<float>(i));
        centre[i] = c;
    }

    const Vector3 c01 = centre[1] - centre[0];
    const Vector3 c02 = centre[2] - centre[0];
    const float d = c01.Magnitude();
    if (!(d > 0.001f)) {
        throw KinematicError::DeltaOutOfReach;
    }
    const Vector3 ex = c01 / d;
    const float i = Vector3::Dot(ex, c02);
    const Vector3 eyLong = c02 - ex * i;
    const float j = eyLong.Magnitude();
    if (!(j > 0.001f)) {
        throw KinematicError::DeltaOutOfReach;
    }
    const Vector3 ey = eyLong / j;
    Vector3 ez = Vector3::Cross(ex, ey);
    if (ez.z < 0.0f) {
        // The platform hangs on the far side of the elbows, away from the base.
        ez = -ez;
    }

    const float x = 0.5f * d;
    const float y = (i * i + j * j - 2.0f * i * x) / (2.0f * j);
    const float h2 = lowerArmLength * lowerArmLength - x * x - y * y;
    if (!(h2 >= 0.0f)) {
        throw KinematicError::DeltaOutOfReach;
    }
    const Vector3 p = centre[0] + ex * x + ey * y + ez * std::sqrt(h2);

    if (!(Fitness(q, p) <= rodLengthTolerance)) {
        throw KinematicError::DeltaOutOfReach;
    }
    m.SetTranslation(p);
}

float RobotKinematicDelta::ComputeOneJoint(int /*arm*/, const Vector3& p) const {
    const Vector3 c = ShoulderToJoint(p);
    const float d = c.Magnitude();
    if (reachMargin + d > upperArmLength + lowerArmLength) {
        throw KinematicError::DeltaOutOfReach;
    }
    const float alpha = std::atan2(c.x, c.z);
    const float r = std::sqrt(lowerArmLength * lowerArmLength - c.y * c.y);
    const float m = std::sqrt(c.MagnitudeQ() - c.y * c.y);
    const float numerator = upperArmLength * upperArmLength - r * r + m * m;
    const double denominator = 2.0 * static_cast<double>(upperArmLength) * static_cast<double>(m);
    const float beta = static_cast<float>(std::acos(static_cast<double>(numerator) / denominator));
    const float angle = (-alpha - beta) * 57.29578f + 90.0f;
    // A rod shorter than the sideways offset, or a triangle that does not close, has no
    // real solution; the drives must never see the resulting NaN.
    if (!std::isfinite(angle)) {
        throw KinematicError::DeltaOutOfReach;
    }
    return angle;
}

void RobotKinematicDelta::InverseKin(const Matrix44& m, float* q) const {
    Vector3 p = m.GetTranslation();
    for (int i = 0; i < armCount; ++i) {
        q[i] = ComputeOneJoint(i, p);
        p.RotateZDeg(armSpacingDeg);
    }
}

void RobotKinematicDelta::checkLinkages(const float* q, const Vector3& p) const {
    Vector3 armPoint = p;
    for (int i = 0; i < armCount; ++i) {
        const Vector3 w = ShoulderToJoint(armPoint) - UpperArm(q[i]);
        const float tilt = 90.0f - static_cast<float>(std::acos(Vector3::Cos(w, Vector3(0.0f, 100.0f, 0.0f))) *
                                                      57.29577791868205);
        if (tilt > maxLinkageAngle) {
            throw KinematicError::DeltaLinkageAngle;
        }
        armPoint.RotateZDeg(armSpacingDeg);
    }
}

void RobotKinematicDelta::SetJoints(const float* joints, bool check) {
    float q[maxJoints];
    UserToInternal(joints, q);
    if (check) {
        CheckJoints(q);
    }

    Matrix44 platform;
    ForwardKin(q, platform);
    const Vector3 platformPoint = platform.GetTranslation();

    // The pose is built from the platform point each time, so the tool enters exactly once.
    Matrix44 m = ToolPose(platformPoint);
    AddLinearAxisPositionOffset(q, m);
    if (check) {
        CheckVirtualBox(m.GetTranslation(), currentPosition.GetTranslation());
    }
    // Rod tilts belong to the platform itself, not to where tool or linear axis put it.
    checkLinkages(q, platformPoint);

    for (int i = 0; i < nrOfJoints; ++i) {
        currentJoints[i] = q[i];
    }
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
    currentPosition = m;
}

void RobotKinematicDelta::SetPosition(const Matrix44& target, float* joints) {
    Vector3 p = target.GetTranslation();
    Vector3 platformPoint = SubtractLinearAxisPositionOffset(joints, p);
    // The platform does not turn, so the tool offset is a fixed shift in base coordinates.
    platformPoint = platformPoint - tool.toolMatrix.GetTranslation();

    CheckVirtualBox(p, currentPosition.GetTranslation());

    float q[maxJoints] = {};
    Matrix44 platform = target;
    platform.SetTranslation(platformPoint);
    InverseKin(platform, q);
    for (int i = extJointIndex; i < maxJoints; ++i) {
        q[i] = joints[i];
    }
    checkLinkages(q, platformPoint);

    currentPosition.SetTranslation(p);
    for (int i = 0; i < 3; ++i) {
        currentJoints[i] = q[i];
    }
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = joints[i];
    }
}
