#include "kinematics/RobotKinematicPivra4.h"

#include "core/LogSingleton.h"
#include "kinematics/ArmConfiguration.h"

#include <tinyxml2.h>

#include <cmath>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

constexpr int kJoints = 4;

LogSingleton* Log() { return LogSingleton::instance(); }

}  // namespace

RobotKinematicPivra4::RobotKinematicPivra4() {
    nrOfJoints = kJoints;
    kinematicTypeName = "RobotKinematicPivra4";
    SetInitDefaults();
}

RobotKinematicPivra4::~RobotKinematicPivra4() = default;

void RobotKinematicPivra4::SetInitDefaults() {
    currentPosition.m[0] = 1.0f;
    currentPosition.m[5] = 1.0f;
    currentPosition.m[10] = 1.0f;
    currentPosition.SetTranslation(0.0f, 0.0f, 300.0f);

    const float joints[kJoints] = {0.0f, -20.0f, 110.0f, 0.0f};
    for (int i = 0; i < kJoints; ++i) {
        currentJoints[i] = joints[i];
    }

    // User limits; Init converts them after reading the ini file.
    const float limits[kJoints][2] = {{-150.0f, 150.0f}, {-40.0f, 60.0f}, {-120.0f, 140.0f}, {-150.0f, 150.0f}};
    for (int i = 0; i < kJoints; ++i) {
        jointMinMax[i][0] = limits[i][0];
        jointMinMax[i][1] = limits[i][1];
    }
    for (int k = 0; k < maxExtJoints; ++k) {
        jointMinMax[extJointIndex + k][0] = -150.0f;
        jointMinMax[extJointIndex + k][1] = 150.0f;
    }
    for (int i = 0; i < maxJoints; ++i) {
        jointMaxVelocity[i] = 100.0f;
        jointMaxAcceleration[i] = 100.0f;
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
    ikErrorLogged = false;
}

void RobotKinematicPivra4::clone(const RobotKinematic* other) {
    RobotKinematic::clone(other);
    const auto* o = dynamic_cast<const RobotKinematicPivra4*>(other);
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

std::unique_ptr<RobotKinematic> RobotKinematicPivra4::clone() const { return CloneAs<RobotKinematicPivra4>(*this); }

void RobotKinematicPivra4::Init(const std::string& name, const std::string& type, const std::string& iniPath,
                                int velocitySettingIn) {
    RobotKinematic::Init(name, type, iniPath, velocitySettingIn);
    Log()->add(" ");
    Log()->addFormat("RK4Axis %s / %s  - Kinematic Data: ", name.c_str(), type.c_str());
    SetInitDefaults();
    ReadIniFile(iniPath);
    LogJointLinesAndConvertLimits(kJoints);
    Log()->addFormat("   Joint length: lz0 %.1lf, lz1 %.1lf, lz2 %.1lf, lz3 %.1lf, lz4 %.1lf", static_cast<double>(lz0),
                     static_cast<double>(lz1), static_cast<double>(lz2), static_cast<double>(lz3),
                     static_cast<double>(lz4));
    Log()->addFormat("   Singularities: Center %.1lf, Ellbow %.1lf", static_cast<double>(singularityCenter),
                     static_cast<double>(singularityEllbow));
    Log()->add(" ");
    ikErrorLogged = false;
}

void RobotKinematicPivra4::ReadIniFile(const std::string& path) {
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

void RobotKinematicPivra4::ForwardKinJ1toJ3(const float* q, Matrix44* out) {
    *out = ArmConfiguration::WristFrame(q[0], q[1], q[2], lz0, lz1, lz2, lz3);
    wristPoint = out->GetTranslation();
}

void RobotKinematicPivra4::ForwardKinJ4toJ6(const float* q, Matrix44* out) const {
    *out = ArmConfiguration::HandFrame(q[3], lz4);
}

void RobotKinematicPivra4::ForwardKin(const float* q, Matrix44* pose) {
    Matrix44 arm;
    Matrix44 hand;
    ForwardKinJ1toJ3(q, &arm);
    ForwardKinJ4toJ6(q, &hand);
    *pose = tool.toolMatrix * hand * arm;
}

void RobotKinematicPivra4::SetJoints(const float* joints, bool check) {
    float q[maxJoints];
    const Matrix44 m = PoseOfUserJoints(joints, check, q, [this](const float* j, Matrix44* p) { ForwardKin(j, p); });
    StoreJoints(q);
    currentPosition = m;

    // Configuration for the next inverse kinematics, seen in the arm's own vertical plane.
    Vector3 v = wristPoint;
    v.RotateZDeg(-q[0]);
    ArmConfiguration::FromWristPoint(v.x, q[2], elbowPositive, wristInFront);
}

void RobotKinematicPivra4::SetPosition(const Matrix44& target, float* joints) {
    float q[maxJoints] = {};
    Matrix44 m;
    const Vector3 off = JointsOfTarget(target, joints, q, [this, &m](Matrix44& f, float* j) {
        f = tool.toolMatrixInverse * f;
        LimitOrientation(&f);
        f = tool.toolMatrix * f;
        InverseKin(f, j);
        m = f;
    });
    m.m[3] += off.x;
    m.m[7] += off.y;
    m.m[11] += off.z;
    currentPosition = m;
    StoreJoints(q);
    ikErrorLogged = false;
}

float RobotKinematicPivra4::FlangeAzimuth(const Matrix44& flange) {
    Vector3 h(flange.m[3], flange.m[7], 0.0f);
    h.Normalize();
    return std::atan2(h.y, h.x);
}

bool RobotKinematicPivra4::ArmPlaneAzimuth(const Matrix44& flange, float* phi) {
    const double tx = flange.m[3];
    const double ty = flange.m[7];
    if (tx * tx + ty * ty >= static_cast<double>(kNearAxisRadius) * kNearAxisRadius) {
        *phi = FlangeAzimuth(flange);
        return true;
    }
    // Close to the base axis the flange point's azimuth is rounding noise, and for an
    // approach axis off its plane it would swing the arm plane (and A1) half a turn within
    // a fraction of a millimetre. There only the approach axis can fix the plane, and only
    // for a pose the arm can reach: one whose flange point lies in that plane.
    double ax = flange.m[2];
    double ay = flange.m[6];
    const double horizontal = std::sqrt(ax * ax + ay * ay);
    if (horizontal < 1e-4 || std::fabs(tx * ay - ty * ax) / horizontal > kNearAxisPlaneTolerance) {
        return false;
    }
    if (ax * tx + ay * ty < 0.0) {
        ax = -ax;  // towards the flange point's side, as its own azimuth would be
        ay = -ay;
    }
    *phi = static_cast<float>(std::atan2(ay, ax));
    return true;
}

bool RobotKinematicPivra4::ProjectOrientationToArmPlane(Matrix44& flange, float phi) {
    Matrix44 toPlane;
    toPlane.SetRotationRad(Matrix44::Z, -phi);
    Vector3 a = toPlane * flange.GetColumnVector(2);
    a.y = 0.0f;
    // Normalize would silently keep a vector this short: there is no direction left.
    if (!(a.Magnitude() > 0.0001f)) {
        return false;
    }
    a.Normalize();
    const Vector3 n = Vector3::Cross(Vector3(0.0f, 1.0f, 0.0f), a);
    const Vector3 o = Vector3::Cross(a, n);

    Matrix44 fromPlane;
    fromPlane.SetRotationRad(Matrix44::Z, phi);
    flange.SetColumnVector(0, fromPlane * n);
    flange.SetColumnVector(1, fromPlane * o);
    flange.SetColumnVector(2, fromPlane * a);
    return true;
}

void RobotKinematicPivra4::LimitOrientation(Matrix44* flange) {
    float phi = 0.0f;
    if (!ArmPlaneAzimuth(*flange, &phi)) {
        LogFormatOnce(ikErrorLogged, "Kinematic Error: too close to center axis! %.1lf %1.lf %1.lf",
                      static_cast<double>(flange->m[3]), static_cast<double>(flange->m[7]),
                      static_cast<double>(kNearAxisRadius));
        throw KinematicError::CenterSingularity;
    }
    if (!ProjectOrientationToArmPlane(*flange, phi)) {
        LogOnce(ikErrorLogged, "InvKin: OutofReach");
        throw KinematicError::OutOfReach;
    }
}

void RobotKinematicPivra4::InverseKin(const Matrix44& pose, float* out) {
    float q[maxJoints] = {};
    const Matrix44 f = tool.toolMatrixInverse * pose;
    ComputeA1toA3(f, q);
    Matrix44 a;
    ForwardKinJ1toJ3(q, &a);
    const Matrix44 w = f * a.Inverse();
    q[3] = static_cast<float>(-std::atan2(-static_cast<double>(w.m[2]), static_cast<double>(w.m[10])) * kRadToDegD);
    ArmConfiguration::NearestToCurrent(q, currentJoints, kJoints);
    for (int i = 0; i < nrOfJoints; ++i) {
        out[i] = q[i];
    }
}

void RobotKinematicPivra4::ComputeA1toA3(const Matrix44& f, float* q) {
    const double px = static_cast<double>(f.m[3]) - static_cast<double>(f.m[2]) * lz4;
    const double py = static_cast<double>(f.m[7]) - static_cast<double>(f.m[6]) * lz4;
    const double pz = static_cast<double>(f.m[11]) - static_cast<double>(f.m[10]) * lz4 - (lz0 + lz1);

    if (std::fabs(px) < singularityCenter && std::fabs(py) < singularityCenter) {
        LogFormatOnce(ikErrorLogged, "Kinematic Error: too close to center axis! %.1lf %1.lf %1.lf", px, py,
                      static_cast<double>(singularityCenter));
        throw KinematicError::CenterSingularity;
    }
    const double r = std::sqrt(px * px + py * py);
    if (std::sqrt(r * r + pz * pz) > (lz2 + lz3) - singularityEllbow) {
        LogOnce(ikErrorLogged, "InvKin: OutofReach");
        throw KinematicError::OutOfReach;
    }
    double base = std::atan2(py, px) * kRadToDegD;
    ArmConfiguration::ShoulderElbow(r, pz, lz2, lz3, elbowPositive, &q[1], &q[2]);
    if (!wristInFront) {
        // Reaching over the base axis: turn round and mirror the arm.
        base += 180.0;
        if (base > 180.0) {
            base -= 360.0;
        }
        q[1] = -q[1];
        q[2] = -q[2];
    }
    q[0] = static_cast<float>(base);
}
