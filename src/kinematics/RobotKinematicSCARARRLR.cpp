#include "kinematics/RobotKinematicSCARARRLR.h"

#include "core/LogSingleton.h"
#include "kinematics/ScaraTwoLink.h"

#include <tinyxml2.h>

#include <cmath>

using DataTypes::Matrix44;
using DataTypes::Vector3;
using ScaraTwoLink::Frame;
using ScaraTwoLink::Mul;

RobotKinematicSCARARRLR::RobotKinematicSCARARRLR() {
    kinematicTypeName = "RobotKinematicSCARARRLR";
    nrOfJoints = 4;
    SetStartJointsRightAngledElbow(ScaraTwoLink::kStartJoints);
}

RobotKinematicSCARARRLR::~RobotKinematicSCARARRLR() = default;

void RobotKinematicSCARARRLR::clone(const RobotKinematic* other) {
    RobotKinematic::clone(other);
    const auto* o = dynamic_cast<const RobotKinematicSCARARRLR*>(other);
    if (o == nullptr) {
        return;
    }
    hbase = o->hbase;
    distx1 = o->distx1;
    radius1 = o->radius1;
    radius2 = o->radius2;
    radius3 = o->radius3;
    elbowNegative = o->elbowNegative;
    FourthAxis = o->FourthAxis;
    ikErrorLogged = o->ikErrorLogged;
}

std::unique_ptr<RobotKinematic> RobotKinematicSCARARRLR::clone() const {
    return CloneAs<RobotKinematicSCARARRLR>(*this);
}

void RobotKinematicSCARARRLR::Init(const std::string& name, const std::string& type, const std::string& iniPath,
                                   int velocitySetting) {
    RobotKinematic::Init(name, type, iniPath, velocitySetting);
    // This variant has always introduced itself with the LRRR header.
    ScaraTwoLink::BeginInit(*this, "ScaraLRRR", name, type);
    ReadIniFile(iniPath);

    LogSingleton::instance()->add("Nr of joints: ", nrOfJoints + nrOfExtJoints);
    LogJointLinesAndConvertLimits(nrOfJoints);
    ScaraTwoLink::LogLengths(hbase, distx1, radius1, radius2, radius3);
    ikErrorLogged = false;
}

void RobotKinematicSCARARRLR::ReadIniFile(const std::string& path) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* robot = OpenRobotIni(doc, path, RobotIniFailReason::NotCorrect);
    if (robot == nullptr) {
        return;
    }
    if (tinyxml2::XMLElement* e = FindIniElement(robot, "Kinematic", RobotIniFailReason::NoKinematic)) {
        ReadIniAttribute(e, "hbase", hbase);
        ReadIniAttribute(e, "distx1", distx1);
        ReadIniAttribute(e, "radius1", radius1);
        ReadIniAttribute(e, "radius2", radius2);
        ReadIniAttribute(e, "radius3", radius3);
        ReadIniAttribute(e, "FourthAxis", FourthAxis);
        nrOfJoints = FourthAxis ? 4 : 3;
    }
    ReadIniJointLimitsAndConfig(robot, 4);
}

void RobotKinematicSCARARRLR::ForwardKin(const float* q, Matrix44* m) const {
    const Matrix44 t0 = Frame(Matrix44::Z, q[1], distx1, 0.0f, hbase + q[0]);
    const Matrix44 t1 = Frame(Matrix44::Z, q[2], radius1, 0.0f, 0.0f);
    Matrix44 flange;
    if (FourthAxis) {
        const Matrix44 t2 = Frame(Matrix44::Z, q[3], radius2, 0.0f, 0.0f);
        const Matrix44 t3 = Frame(Matrix44::Y, 90.0, radius3, 0.0f, 0.0f);
        flange = Mul(Mul(Mul(t0, t1), t2), t3);
    } else {
        const Matrix44 t2 = Frame(Matrix44::Y, 90.0, radius2, 0.0f, 0.0f);
        flange = Mul(Mul(t0, t1), t2);
    }
    *m = Mul(flange, tool.toolMatrix);
}

void RobotKinematicSCARARRLR::InverseKin(const Matrix44& m, float* q) {
    const Matrix44 f = Mul(m, tool.toolMatrixInverse);
    const Vector3 p = f.GetTranslation();
    Vector3 w = p;
    float phi = 0.0f;
    if (FourthAxis) {
        // The flange lies radius3 along its own z axis from the wrist axis.
        w = Vector3(p.x - f.m[2] * radius3, p.y - f.m[6] * radius3, p.z - f.m[10] * radius3);
        phi = std::atan2(p.y - w.y, p.x - w.x) * ScaraTwoLink::kRad2Deg;
    }
    const float lift = w.z - hbase;
    float shoulder = 0.0f;
    float elbow = 0.0f;
    if (!ScaraTwoLink::Solve(w, distx1, radius1, radius2, elbowNegative, shoulder, elbow)) {
        LogOnce(ikErrorLogged, "InvKin: OutofReach");
        throw KinematicError::OutOfReach;
    }
    float wrist = 0.0f;
    if (FourthAxis) {
        // Both ways: a wrist angle a full turn below its range would read as a limit
        // violation of a reachable target.
        wrist = ScaraTwoLink::WrapHalfOpenDown(phi - shoulder - elbow);
    }
    q[0] = lift;
    q[1] = shoulder;
    q[2] = elbow;
    q[3] = wrist;
}

void RobotKinematicSCARARRLR::SetJoints(const float* joints, bool check) {
    float q[maxJoints];
    currentPosition = PoseOfUserJoints(joints, check, q, [this](const float* j, Matrix44* m) { ForwardKin(j, m); });
    StoreJoints(q);
    elbowNegative = q[2] < 0.0f;
}

void RobotKinematicSCARARRLR::SetPosition(const Matrix44& target, float* joints) {
    float q[maxJoints] = {};
    JointsOfTarget(target, joints, q, [this](Matrix44& f, float* j) { InverseKin(f, j); });
    currentPosition = target;
    StoreJoints(q);
    ikErrorLogged = false;
}
