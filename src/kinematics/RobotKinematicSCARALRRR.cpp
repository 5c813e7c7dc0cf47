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
    const float start[maxJoints] = {100.0f, 30.0f, -40.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    for (int i = 0; i < maxJoints; ++i) {
        currentJoints[i] = start[i];
        brandTrafoJointOffsets[i] = 0.0f;
        brandTrafoJointDirections[i] = 1.0f;
    }
    brandTrafoJointOffsets[2] = 90.0f;
    zOffset = 0.0f;
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
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat("ScaraLRRR %s / %s  - Kinematic Data: ", name.c_str(), type.c_str());

    currentPosition = Matrix44();
    currentPosition.SetTranslation(400.0f, 50.0f, 300.0f);
    for (int i = 0; i < maxJoints; ++i) {
        jointMaxVelocity[i] = 20.0f;
        jointMaxAcceleration[i] = 100.0f;
        jointMinMax[i][0] = -150.0f;
        jointMinMax[i][1] = 150.0f;
    }

    ReadIniFile(iniPath);

    log->add("Nr of joints: ", nrOfJoints + nrOfExtJoints);
    LogJointLines(nrOfJoints);
    LogExtJointLines();
    SetMinMaxValues(jointMinMax);
    log->addFormat("Kinematic length: hbase %.1lf, distx1 %.1lf, radius1 %.1lf, radius2 %.1lf, radius3 %.1lf",
                   static_cast<double>(hbase), static_cast<double>(distx1), static_cast<double>(radius1),
                   static_cast<double>(radius2), static_cast<double>(radius3));
    log->add(" ");
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
    if (tinyxml2::XMLElement* e = FindIniElement(robot, "SoftwareMinMax", RobotIniFailReason::NoSoftwareMinMax)) {
        ReadIniSoftwareMinMax(e, 4);
    }
    ReadIniFileVelocities(robot);
    if (tinyxml2::XMLElement* e =
            FindIniElement(robot, "ManufacturerJointConfig", RobotIniFailReason::NoManufacturerJointConfig)) {
        ReadIniManufacturerJointConfig(e, 4);
    }
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
    UserToInternal(joints, q);
    if (check) {
        CheckJoints(q);
    }
    Matrix44 m = currentPosition;
    ForwardKin(q, &m);
    AddLinearAxisPositionOffset(q, m);
    if (check) {
        CheckVirtualBox(m.GetTranslation(), currentPosition.GetTranslation());
    }
    for (int i = 0; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
    currentPosition = m;
    elbowNegative = q[2] < 0.0f;
}

void RobotKinematicSCARALRRR::SetPosition(const Matrix44& target, float* joints) {
    CheckVirtualBox(target.GetTranslation(), currentPosition.GetTranslation());
    float q[maxJoints] = {};
    Matrix44 f = target;
    SubtractLinearAxisPositionOffset(joints, f);
    f = Mul(f, tool.toolMatrixInverse);
    InverseKin(f, q);
    for (int i = extJointIndex; i < maxJoints; ++i) {
        q[i] = joints[i];
    }
    CheckJoints(q);
    currentPosition = target;
    for (int i = 0; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
    ikErrorLogged = false;
}
