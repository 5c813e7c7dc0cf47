#include "kinematics/RobotKinematic3AxisPlane.h"

#include "core/LogSingleton.h"
#include "kinematics/ArmConfiguration.h"
#include "kinematics/RobotKinematicPivra4.h"

#include <tinyxml2.h>

#include <cmath>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

constexpr int kJoints = 3;

LogSingleton* Log() { return LogSingleton::instance(); }

}  // namespace

RobotKinematic3AxisPlane::RobotKinematic3AxisPlane() {
    planeTolerance = 0.01f;
    kinematicTypeName = "RobotKinematic3AxisPlane";
    nrOfJoints = kJoints;
    for (int i = 0; i < 4; ++i) {
        currentJoints[i] = 10.0f;
    }
    for (int i = 4; i < maxJoints; ++i) {
        currentJoints[i] = 0.0f;
    }
}

RobotKinematic3AxisPlane::~RobotKinematic3AxisPlane() = default;

void RobotKinematic3AxisPlane::clone(const RobotKinematic* other) {
    RobotKinematic::clone(other);
    const auto* o = dynamic_cast<const RobotKinematic3AxisPlane*>(other);
    if (o == nullptr) {
        return;
    }
    lz0 = o->lz0;
    lz1 = o->lz1;
    lz2 = o->lz2;
    lz3 = o->lz3;
    lz4 = o->lz4;
    singularityCenter = o->singularityCenter;
    singularityEllbow = o->singularityEllbow;
    elbowPositive = o->elbowPositive;
    wristInFront = o->wristInFront;
    wristPoint = o->wristPoint;
    ikErrorLogged = o->ikErrorLogged;
}

std::unique_ptr<RobotKinematic> RobotKinematic3AxisPlane::clone() const {
    return CloneAs<RobotKinematic3AxisPlane>(*this);
}

void RobotKinematic3AxisPlane::Init(const std::string& name, const std::string& type, const std::string& iniPath,
                                    int velocitySettingIn) {
    RobotKinematic::Init(name, type, iniPath, velocitySettingIn);
    Log()->add(" ");
    Log()->addFormat("RK3AxisPlane %s / %s  - Kinematic Data: ", name.c_str(), type.c_str());

    currentPosition = Matrix44();
    currentPosition.SetTranslation(0.0f, 0.0f, 300.0f);
    const float joints[kJoints] = {0.0f, -20.0f, 110.0f};
    for (int i = 0; i < kJoints; ++i) {
        currentJoints[i] = joints[i];
    }
    const float limits[kJoints][2] = {{-150.0f, 150.0f}, {-40.0f, 60.0f}, {-120.0f, 140.0f}};
    for (int i = 0; i < kJoints; ++i) {
        jointMinMax[i][0] = limits[i][0];
        jointMinMax[i][1] = limits[i][1];
    }
    for (int i = 0; i < maxJoints; ++i) {
        jointMaxVelocity[i] = 100.0f;
        jointMaxAcceleration[i] = 100.0f;
        jointMaxAccelerationInc[i] = 100.0f;
    }
    AccLin = 1000.0;
    AccLinInc = 2000.0;
    lz0 = 158.0f;
    lz1 = 60.0f;
    lz2 = 190.0f;
    lz3 = 220.0f;
    lz4 = 46.0f;
    singularityCenter = 5.0f;
    singularityEllbow = 30.0f;
    elbowPositive = true;
    wristInFront = true;

    ReadIniFile(iniPath);
    LogJointLinesAndConvertLimits(kJoints);
    Log()->addFormat("   Joint length: lz0 %.1lf, lz1 %.1lf, lz2 %.1lf, lz3 %.1lf, lz4 %.1lf", static_cast<double>(lz0),
                     static_cast<double>(lz1), static_cast<double>(lz2), static_cast<double>(lz3),
                     static_cast<double>(lz4));
    Log()->add(" ");
    ikErrorLogged = false;
}

void RobotKinematic3AxisPlane::ReadIniFile(const std::string& path) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* robot = OpenRobotIni(doc, path, RobotIniFailReason::NotValid);
    if (robot == nullptr) {
        return;
    }
    if (const tinyxml2::XMLElement* e = FindIniElement(robot, "Kinematic", RobotIniFailReason::NoKinematic)) {
        ReadIniAttribute(e, "lz0", lz0);
        ReadIniAttribute(e, "lz1", lz1);
        ReadIniAttribute(e, "lz2", lz2);
        ReadIniAttribute(e, "lz3", lz3);
        ReadIniAttribute(e, "lz4", lz4);
    }
    ReadIniJointLimitsAndConfig(robot, kJoints);
    ReadIniSingularities(robot, singularityCenter, singularityEllbow);
}

void RobotKinematic3AxisPlane::ForwardKinJ1toJ3(const float* q, Matrix44* out) {
    *out = ArmConfiguration::WristFrame(0.0f, q[0], q[1], lz0, lz1, lz2, lz3);
    wristPoint = out->GetTranslation();
}

void RobotKinematic3AxisPlane::ForwardKinJ4toJ6(const float* q, Matrix44* out) const {
    *out = ArmConfiguration::HandFrame(q[2], lz4);
}

void RobotKinematic3AxisPlane::ForwardKin(const float* q, Matrix44* pose) {
    Matrix44 arm;
    Matrix44 hand;
    ForwardKinJ1toJ3(q, &arm);
    ForwardKinJ4toJ6(q, &hand);
    *pose = tool.toolMatrix * hand * arm;
}

void RobotKinematic3AxisPlane::SetJoints(const float* joints, bool check) {
    float q[maxJoints];
    const Matrix44 m = PoseOfUserJoints(joints, check, q, [this](const float* j, Matrix44* p) { ForwardKin(j, p); });
    for (int i = 0; i < kJoints; ++i) {
        currentJoints[i] = q[i];
    }
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
    currentPosition = m;

    ArmConfiguration::FromWristPoint(wristPoint.x, q[1], elbowPositive, wristInFront);
}

void RobotKinematic3AxisPlane::SetPosition(const Matrix44& target, float* joints) {
    float q[maxJoints] = {};
    JointsOfTarget(target, joints, q, [this](Matrix44& m, float* j) {
        m = tool.toolMatrixInverse * m;
        LimitOrientation(&m);
        m = tool.toolMatrix * m;
        InverseKin(m, j);
    });
    currentPosition = target;
    for (int i = 0; i < kJoints; ++i) {
        currentJoints[i] = q[i];
    }
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
    ikErrorLogged = false;
}

void RobotKinematic3AxisPlane::LimitOrientation(Matrix44* flange) {
    // The arm plane is the x-z plane, on the side of the flange point. The flange point's
    // azimuth would say the same for a point in the plane, but near the base axis the
    // little y the plane test allows would turn it anywhere.
    const float phi = flange->m[3] < 0.0f ? static_cast<float>(RobotKinematicPivra4::kPi) : 0.0f;
    if (!RobotKinematicPivra4::ProjectOrientationToArmPlane(*flange, phi)) {
        LogOnce(ikErrorLogged, "InvKin: OutofReach");
        throw KinematicError::OutOfReach;
    }
}

void RobotKinematic3AxisPlane::InverseKin(const Matrix44& pose, float* out) {
    float q[maxJoints] = {};
    const Matrix44 f = tool.toolMatrixInverse * pose;
    ComputeA1toA3(f, q);
    Matrix44 a;
    ForwardKinJ1toJ3(q, &a);
    const Matrix44 w = f * a.Inverse();
    q[2] = static_cast<float>(-std::atan2(-static_cast<double>(w.m[2]), static_cast<double>(w.m[10])) *
                              RobotKinematicPivra4::kRadToDegD);
    ArmConfiguration::NearestToCurrent(q, currentJoints, kJoints);
    for (int i = 0; i < kJoints; ++i) {
        out[i] = q[i];
    }
}

void RobotKinematic3AxisPlane::ComputeA1toA3(const Matrix44& f, float* q) {
    const float px = f.m[3] - f.m[2] * lz4;
    const float py = f.m[7] - f.m[6] * lz4;
    const float wz = f.m[11] - f.m[10] * lz4;

    if (std::fabs(py) > planeTolerance) {
        LogOnce(ikErrorLogged, "InvKin: OutofReach");
        throw KinematicError::OutOfReach;
    }
    wristPoint = Vector3(px, py, wz);
    const double pz = static_cast<double>(f.m[11]) - static_cast<double>(f.m[10]) * lz4 - (lz0 + lz1);

    if (std::fabs(px) < singularityCenter && std::fabs(py) < singularityCenter) {
        LogFormatOnce(ikErrorLogged, "Kinematic Error: too close to center axis! %.1lf %1.lf %1.lf",
                      static_cast<double>(px), static_cast<double>(py), static_cast<double>(singularityCenter));
        throw KinematicError::CenterSingularity;
    }
    // Without a base rotation the arm cannot change sides except through the base axis;
    // solving a target on the other side would silently yield its mirror image.
    if ((px < 0.0f) == wristInFront) {
        LogOnce(ikErrorLogged, "InvKin: OutofReach");
        throw KinematicError::OutOfReach;
    }
    const double r = std::sqrt(static_cast<double>(px) * px + static_cast<double>(py) * py);
    if (std::sqrt(r * r + pz * pz) > (lz2 + lz3) - singularityEllbow) {
        LogOnce(ikErrorLogged, "InvKin: OutofReach");
        throw KinematicError::OutOfReach;
    }
    ArmConfiguration::ShoulderElbow(r, pz, lz2, lz3, elbowPositive, &q[0], &q[1]);
    if (!wristInFront) {
        q[0] = -q[0];
        q[1] = -q[1];
    }
}
