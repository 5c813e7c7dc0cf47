#include "kinematics/RobotKinematicDelta.h"

#include "core/LogSingleton.h"

#include <algorithm>
#include <cmath>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {
constexpr int armCount = 3;
constexpr float armSpacingDeg = 120.0f;
constexpr double kPi = 3.14159265358979323846;
constexpr double kDegToRad = kPi / 180.0;
constexpr double kRadToDeg = 180.0 / kPi;
// Rounding of the cosine of the shoulder angle that still counts as a closed triangle
// (an arm stretched or folded flat); anything beyond it has no solution.
constexpr double kCosineSlack = 1e-6;

// The few vector operations the solvers need, in double: near a flat triangle or a
// tangent pair of rods single precision loses the solution.
struct V3 {
    double x, y, z;
};
V3 operator+(const V3& a, const V3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V3 operator-(const V3& a, const V3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V3 operator*(const V3& a, double f) { return {a.x * f, a.y * f, a.z * f}; }
double Dot(const V3& a, const V3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double Norm(const V3& a) { return std::sqrt(Dot(a, a)); }
V3 Cross(const V3& a, const V3& b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
V3 FromFloat(const Vector3& v) { return {v.x, v.y, v.z}; }

// p turned about the z axis by deg degrees (x toward y).
V3 TurnZ(const V3& p, double deg) {
    const double c = std::cos(deg * kDegToRad);
    const double s = std::sin(deg * kDegToRad);
    return {c * p.x - s * p.y, s * p.x + c * p.y, p.z};
}

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
    const double rod = lowerArmLength;
    V3 centre[armCount];
    for (int i = 0; i < armCount; ++i) {
        const double angle = static_cast<double>(q[i]) * kDegToRad;
        const V3 c = {static_cast<double>(shoulderRadius) + upperArmLength * std::cos(angle) - platformRadius, 0.0,
                      static_cast<double>(shoulderZ) + upperArmLength * std::sin(angle) + platformJointZ};
        centre[i] = TurnZ(c, -armSpacingDeg * i);
    }

    const V3 c01 = centre[1] - centre[0];
    const V3 c02 = centre[2] - centre[0];
    const double d = Norm(c01);
    if (!(d > 0.001)) {
        throw KinematicError::DeltaOutOfReach;
    }
    const V3 ex = c01 * (1.0 / d);
    const double i = Dot(ex, c02);
    const V3 eyLong = c02 - ex * i;
    const double j = Norm(eyLong);
    if (!(j > 0.001)) {
        throw KinematicError::DeltaOutOfReach;
    }
    const V3 ey = eyLong * (1.0 / j);
    V3 ez = Cross(ex, ey);
    if (ez.z < 0.0) {
        // The platform hangs on the far side of the elbows, away from the base.
        ez = ez * -1.0;
    }

    const double x = 0.5 * d;
    const double y = (i * i + j * j - 2.0 * i * x) / (2.0 * j);
    const double h2 = rod * rod - x * x - y * y;
    if (!(h2 > -rod * rod)) {
        throw KinematicError::DeltaOutOfReach;  // NaN, or spheres far apart
    }
    // Rods that only just touch may round to a slightly negative height; the rod check
    // below decides whether the point is a solution.
    const V3 p = centre[0] + ex * x + ey * y + ez * std::sqrt(std::max(h2, 0.0));

    for (int k = 0; k < armCount; ++k) {
        if (!(std::fabs(Norm(p - centre[k]) - rod) <= rodLengthTolerance)) {
            throw KinematicError::DeltaOutOfReach;
        }
    }
    m.SetTranslation(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
}

float RobotKinematicDelta::ComputeOneJoint(int /*arm*/, const Vector3& p) const {
    const V3 c = FromFloat(p) - V3{static_cast<double>(shoulderRadius) - platformRadius, 0.0,
                    static_cast<double>(shoulderZ) + platformJointZ};
    const double upper = upperArmLength;
    const double lower = lowerArmLength;
    const double d = Norm(c);
    if (!(reachMargin + d <= upper + lower)) {
        throw KinematicError::DeltaOutOfReach;
    }
    // The rod projected into the arm plane, and the shoulder-to-joint distance there.
    const double r2 = lower * lower - c.y * c.y;
    const double m = std::sqrt(c.x * c.x + c.z * c.z);
    if (!(r2 > 0.0) || !(m > 0.0)) {
        throw KinematicError::DeltaOutOfReach;  // rod shorter than the sideways offset
    }
    double cosBeta = (upper * upper - r2 + m * m) / (2.0 * upper * m);
    if (!(std::fabs(cosBeta) <= 1.0 + kCosineSlack)) {
        throw KinematicError::DeltaOutOfReach;  // the triangle does not close
    }
    cosBeta = std::min(1.0, std::max(-1.0, cosBeta));
    const double alpha = std::atan2(c.x, c.z);
    // Folded into [-180, 180]: below the shoulder the atan2 branch cut would otherwise
    // make the angle jump by a whole turn between two neighbouring points.
    const double angle = std::remainder((-alpha - std::acos(cosBeta)) * kRadToDeg + 90.0, 360.0);
    return static_cast<float>(angle);
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
    CheckTargetFinite(target);
    Vector3 p = target.GetTranslation();
    Vector3 platformPoint = SubtractLinearAxisPositionOffset(joints, p);
    // The platform does not turn, so the tool offset is a fixed shift in base coordinates.
    platformPoint = platformPoint - tool.toolMatrix.GetTranslation();

    CheckVirtualBox(p, currentPosition.GetTranslation());

    float q[maxJoints] = {};
    Matrix44 platform = target;
    platform.SetTranslation(platformPoint);
    InverseKin(platform, q);
    // The forward kinematics hangs the platform on the far side of the elbows. Where the
    // elbow-out arms meet the point only with the platform on the near side, the linkage
    // would have to fold through its flat, singular position: out of reach, and the joints
    // would otherwise report another point than the one asked for.
    Matrix44 reached;
    ForwardKin(q, reached);
    if (!((reached.GetTranslation() - platformPoint).Magnitude() <= rodLengthTolerance)) {
        throw KinematicError::DeltaOutOfReach;
    }
    for (int i = extJointIndex; i < maxJoints; ++i) {
        q[i] = joints[i];
    }
    // Nothing downstream limits the joints before they reach the drives.
    CheckJoints(q);
    checkLinkages(q, platformPoint);

    currentPosition.SetTranslation(p);
    for (int i = 0; i < 3; ++i) {
        currentJoints[i] = q[i];
    }
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = joints[i];
    }
}
