#include "kinematics/RobotKinematicSCARALRRR.h"

#include "core/LogSingleton.h"
#include "kinematics/ScaraTwoLink.h"

#include <tinyxml2.h>

#include <cmath>

using DataTypes::Matrix44;
using DataTypes::Vector3;
using ScaraTwoLink::Frame;
using ScaraTwoLink::Mul;

RobotKinematicSCARALRRR::RobotKinematicSCARALRRR() {
    kinematicTypeName = "RobotKinematicSCARALRRR";
    nrOfJoints = 4;
    SetStartJointsRightAngledElbow(ScaraTwoLink::kStartJoints);
}

RobotKinematicSCARALRRR::~RobotKinematicSCARALRRR() = default;

void RobotKinematicSCARALRRR::clone(const RobotKinematic* other) {
    RobotKinematic::clone(other);
    const auto* o = dynamic_cast<const RobotKinematicSCARALRRR*>(other);
    if (o == nullptr) {
        return;
    }
    hbase = o->hbase;
    distx1 = o->distx1;
    radius1 = o->radius1;
    radius2 = o->radius2;
    radius3 = o->radius3;
    distz1 = o->distz1;
    distz2 = o->distz2;
    distz3 = o->distz3;
    elbowNegative = o->elbowNegative;
    FourthAxis = o->FourthAxis;
    ikErrorLogged = o->ikErrorLogged;
}

std::unique_ptr<RobotKinematic> RobotKinematicSCARALRRR::clone() const {
    return CloneAs<RobotKinematicSCARALRRR>(*this);
}

void RobotKinematicSCARALRRR::Init(const std::string& name, const std::string& type, const std::string& iniPath,
                                   int velocitySetting) {
    RobotKinematic::Init(name, type, iniPath, velocitySetting);
    ScaraTwoLink::BeginInit(*this, "ScaraLRRR", name, type);
    ReadIniFile(iniPath);

    LogSingleton::instance()->add("Nr of joints: ", nrOfJoints + nrOfExtJoints);
    LogJointLinesAndConvertLimits(nrOfJoints);
    ScaraTwoLink::LogLengths(hbase, distx1, radius1, radius2, radius3);
    ikErrorLogged = false;
}

void RobotKinematicSCARALRRR::ReadIniFile(const std::string& path) {
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
        ReadIniAttribute(e, "distz1", distz1);
        ReadIniAttribute(e, "distz2", distz2);
        ReadIniAttribute(e, "distz3", distz3);
        ReadIniAttribute(e, "FourthAxis", FourthAxis);
        nrOfJoints = FourthAxis ? 4 : 3;
    }
    ReadIniJointLimitsAndConfig(robot, 4);
}

void RobotKinematicSCARALRRR::ForwardKin(const float* q, Matrix44* m) const {
    const Matrix44 t0 = Frame(Matrix44::Z, q[1], distx1, 0.0f, hbase + q[0]);
    const Matrix44 t1 = Frame(Matrix44::Z, q[2], radius1, 0.0f, distz1);
    Matrix44 flange;
    if (FourthAxis) {
        const Matrix44 t2 = Frame(Matrix44::Z, q[3], radius2, 0.0f, distz2);
        const Matrix44 t3 = Frame(Matrix44::Y, 180.0, radius3, 0.0f, distz3);
        const Matrix44 t4 = Frame(Matrix44::Z, 180.0, 0.0f, 0.0f, 0.0f);
        flange = Mul(Mul(Mul(Mul(t0, t1), t2), t3), t4);
    } else {
        const Matrix44 t2 = Frame(Matrix44::Y, 90.0, radius2, 0.0f, distz2);
        const Matrix44 t3 = Frame(Matrix44::Z, 180.0, 0.0f, 0.0f, 0.0f);
        const Matrix44 t4 = Frame(Matrix44::Y, -90.0, 0.0f, 0.0f, 0.0f);
        flange = Mul(Mul(Mul(Mul(t0, t1), t2), t3), t4);
    }
    *m = Mul(flange, tool.toolMatrix);
}

void RobotKinematicSCARALRRR::InverseKin(const Matrix44& m, float* q) {
    const Vector3 p = m.GetTranslation();
    Vector3 w = p;
    float phi = 0.0f;
    if (FourthAxis) {
        // The flange sits radius3 out from the wrist axis, horizontally along its own x
        // axis; step back along the heading of that axis (its tilt does not matter).
        const float heading = std::atan2(m.m[4], m.m[0]);
        phi = heading * ScaraTwoLink::kRad2Deg;
        w.x = p.x - radius3 * static_cast<float>(std::cos(static_cast<double>(heading)));
        w.y = p.y - radius3 * static_cast<float>(std::sin(static_cast<double>(heading)));
    }
    float lift = w.z - hbase - distz1 - distz2;
    if (FourthAxis) {
        lift -= distz3;
    }
    float shoulder = 0.0f;
    float elbow = 0.0f;
    if (!ScaraTwoLink::Solve(w, distx1, radius1, radius2, elbowNegative, shoulder, elbow)) {
        LogOnce(ikErrorLogged, "InvKin: OutofReach");
        throw KinematicError::OutOfReach;
    }
    float wrist = 0.0f;
    if (FourthAxis) {
        wrist = ScaraTwoLink::WrapHalfOpenUp(phi - shoulder - elbow);
    }
    q[0] = lift;
    q[1] = shoulder;
    q[2] = elbow;
    q[3] = wrist;
}

void RobotKinematicSCARALRRR::SetJoints(const float* joints, bool check) {
    float q[maxJoints];
    currentPosition = PoseOfUserJoints(joints, check, q, [this](const float* j, Matrix44* m) { ForwardKin(j, m); });
    StoreJoints(q);
    elbowNegative = q[2] < 0.0f;
}

void RobotKinematicSCARALRRR::SetPosition(const Matrix44& target, float* joints) {
    float q[maxJoints] = {};
    JointsOfTarget(target, joints, q, [this](Matrix44& f, float* j) {
        InverseKin(Mul(f, tool.toolMatrixInverse), j);
    });
    currentPosition = target;
    StoreJoints(q);
    ikErrorLogged = false;
}
