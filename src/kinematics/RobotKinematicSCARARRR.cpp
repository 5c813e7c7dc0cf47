#include "kinematics/RobotKinematicSCARARRR.h"

#include "core/LogSingleton.h"
#include "kinematics/ScaraTwoLink.h"

#include <tinyxml2.h>

#include <cmath>

using DataTypes::Matrix44;
using DataTypes::Vector3;
using ScaraTwoLink::Frame;
using ScaraTwoLink::Mul;

RobotKinematicSCARARRR::RobotKinematicSCARARRR() {
    kinematicTypeName = "RobotKinematicSCARARRR";
    nrOfJoints = 3;
    SetStartJointsRightAngledElbow(ScaraTwoLink::kStartJoints);
}

RobotKinematicSCARARRR::~RobotKinematicSCARARRR() = default;

void RobotKinematicSCARARRR::clone(const RobotKinematic* other) {
    RobotKinematic::clone(other);
    const auto* o = dynamic_cast<const RobotKinematicSCARARRR*>(other);
    if (o == nullptr) {
        return;
    }
    hbase = o->hbase;
    h1 = o->h1;
    h2 = o->h2;
    h3 = o->h3;
    distx1 = o->distx1;
    radius1 = o->radius1;
    radius2 = o->radius2;
    radius3 = o->radius3;
    elbowNegative = o->elbowNegative;
    ikErrorLogged = o->ikErrorLogged;
}

std::unique_ptr<RobotKinematic> RobotKinematicSCARARRR::clone() const {
    return CloneAs<RobotKinematicSCARARRR>(*this);
}

void RobotKinematicSCARARRR::Init(const std::string& name, const std::string& type, const std::string& iniPath,
                                  int velocitySetting) {
    RobotKinematic::Init(name, type, iniPath, velocitySetting);
    ScaraTwoLink::BeginInit(*this, "ScaraRRR", name, type);
    ReadIniFile(iniPath);

    LogSingleton::instance()->add("Nr of joints: ", nrOfJoints + nrOfExtJoints);
    LogJointLinesAndConvertLimits(nrOfJoints);
    ScaraTwoLink::LogLengths(hbase, distx1, radius1, radius2, radius3);
    ikErrorLogged = false;
}

void RobotKinematicSCARARRR::ReadIniFile(const std::string& path) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* robot = OpenRobotIni(doc, path, RobotIniFailReason::NotCorrect);
    if (robot == nullptr) {
        return;
    }
    if (tinyxml2::XMLElement* e = FindIniElement(robot, "Kinematic", RobotIniFailReason::NoKinematic)) {
        ReadIniAttribute(e, "hbase", hbase);
        ReadIniAttribute(e, "distx1", distx1);
        ReadIniAttribute(e, "h1", h1);
        ReadIniAttribute(e, "h2", h2);
        ReadIniAttribute(e, "h3", h3);
        ReadIniAttribute(e, "radius1", radius1);
        ReadIniAttribute(e, "radius2", radius2);
        ReadIniAttribute(e, "radius3", radius3);
    }
    ReadIniJointLimitsAndConfig(robot, 3);
}

void RobotKinematicSCARARRR::ForwardKin(const float* q, Matrix44* m) const {
    const Matrix44 t0 = Frame(Matrix44::Z, q[0], distx1, 0.0f, hbase);
    const Matrix44 t1 = Frame(Matrix44::Z, q[1], radius1, 0.0f, h1);
    const Matrix44 t2 = Frame(Matrix44::Z, q[2], radius2, 0.0f, h2);
    const Matrix44 t3 = Frame(Matrix44::Y, 90.0, radius3, 0.0f, h3);
    const Matrix44 flange = Mul(Mul(Mul(t0, t1), t2), t3);
    *m = Mul(flange, tool.toolMatrix);
}

void RobotKinematicSCARARRR::InverseKin(const Matrix44& m, float* q) {
    const Vector3 p = m.GetTranslation();
    // The flange lies radius3 along its own z axis from the wrist axis.
    const Vector3 w(p.x - m.m[2] * radius3, p.y - m.m[6] * radius3, p.z - m.m[10] * radius3);
    const float phi = std::atan2(p.y - w.y, p.x - w.x) * ScaraTwoLink::kRad2Deg;
    float shoulder = 0.0f;
    float elbow = 0.0f;
    // The arm cannot change its height.
    const bool inPlane = std::fabs(w.z - hbase - h1 - h2 - h3) <= heightTolerance;
    if (!inPlane || !ScaraTwoLink::Solve(w, distx1, radius1, radius2, elbowNegative, shoulder, elbow)) {
        LogOnce(ikErrorLogged, "InvKin: OutofReach");
        throw KinematicError::OutOfReach;
    }
    q[0] = shoulder;
    q[1] = elbow;
    // Both ways: a wrist angle a full turn below its range would read as a limit
    // violation of a reachable target.
    q[2] = ScaraTwoLink::WrapHalfOpenDown(phi - shoulder - elbow);
}

void RobotKinematicSCARARRR::SetJoints(const float* joints, bool check) {
    float q[maxJoints];
    currentPosition = PoseOfUserJoints(joints, check, q, [this](const float* j, Matrix44* m) { ForwardKin(j, m); });
    StoreJoints(q);
    elbowNegative = q[1] < 0.0f;
}

void RobotKinematicSCARARRR::SetPosition(const Matrix44& target, float* joints) {
    float q[maxJoints] = {};
    const Vector3 offset = JointsOfTarget(target, joints, q, [this](Matrix44& f, float* j) {
        InverseKin(Mul(f, tool.toolMatrixInverse), j);
    });
    // The arm keeps its own height and orientation: store what it reaches, not the target.
    Matrix44 reached;
    ForwardKin(q, &reached);
    reached.m[3] += offset.x;
    reached.m[7] += offset.y;
    reached.m[11] += offset.z;
    currentPosition = reached;
    StoreJoints(q);
    ikErrorLogged = false;
}
