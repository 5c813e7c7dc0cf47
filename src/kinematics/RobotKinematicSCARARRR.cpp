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
    const float start[maxJoints] = {100.0f, 30.0f, -40.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    for (int i = 0; i < maxJoints; ++i) {
        currentJoints[i] = start[i];
        brandTrafoJointOffsets[i] = 0.0f;
        brandTrafoJointDirections[i] = 1.0f;
    }
    brandTrafoJointOffsets[2] = 90.0f;
    zOffset = 0.0f;
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
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat("ScaraRRR %s / %s  - Kinematic Data: ", name.c_str(), type.c_str());

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
    if (tinyxml2::XMLElement* e = FindIniElement(robot, "SoftwareMinMax", RobotIniFailReason::NoSoftwareMinMax)) {
        ReadIniSoftwareMinMax(e, 3);
    }
    ReadIniFileVelocities(robot);
    if (tinyxml2::XMLElement* e =
            FindIniElement(robot, "ManufacturerJointConfig", RobotIniFailReason::NoManufacturerJointConfig)) {
        ReadIniManufacturerJointConfig(e, 3);
    }
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
    elbowNegative = q[1] < 0.0f;
}

void RobotKinematicSCARARRR::SetPosition(const Matrix44& target, float* joints) {
    CheckVirtualBox(target.GetTranslation(), currentPosition.GetTranslation());
    float q[maxJoints] = {};
    Matrix44 f = target;
    const Vector3 offset = SubtractLinearAxisPositionOffset(joints, f);
    f = Mul(f, tool.toolMatrixInverse);
    InverseKin(f, q);
    for (int i = extJointIndex; i < maxJoints; ++i) {
        q[i] = joints[i];
    }
    CheckJoints(q);
    // The arm keeps its own height and orientation: store what it reaches, not the target.
    Matrix44 reached;
    ForwardKin(q, &reached);
    reached.m[3] += offset.x;
    reached.m[7] += offset.y;
    reached.m[11] += offset.z;
    currentPosition = reached;
    for (int i = 0; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
    ikErrorLogged = false;
}
