#include "kinematics/RobotKinematicSixAxis.h"

#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cctype>
#include <cmath>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

constexpr float kRadToDeg = 57.29578f;
constexpr float kPi = 3.1415927f;
// Rounding allowance, in mm, of the triangle shoulder-elbow-wrist at its degenerate ends.
constexpr float kTriangleTolerance = 0.001f;

LogSingleton* Log() { return LogSingleton::instance(); }

// Angle in degrees folded into [-180, 180].
float FoldDeg(float deg) { return std::remainder(deg, 360.0f); }

}  // namespace

RobotKinematicSixAxis::RobotKinematicSixAxis() {
    nrOfJoints = 6;
    // The drives count A3 from the horizontal forearm, the equations from the upright one.
    brandTrafoJointOffsets[2] = 90.0f;
    zOffset = 0.0f;
    currentJoints[1] = 30.0f;
    currentJoints[2] = 40.0f;
    kinematicTypeName = "RobotKinematicSixAxis";
    // The default lengths hold without Init too, and the wrist offset angle belongs to them.
    elbowOffsetAngle = ElbowOffsetAngle();
}

float RobotKinematicSixAxis::ElbowOffsetAngle() const { return std::atan(lz3 / (lx3 + lx4)); }

RobotKinematicSixAxis::~RobotKinematicSixAxis() = default;

void RobotKinematicSixAxis::clone(const RobotKinematic* other) {
    RobotKinematic::clone(other);
    const auto* o = dynamic_cast<const RobotKinematicSixAxis*>(other);
    if (o == nullptr) {
        return;
    }
    lz0 = o->lz0;
    lx1 = o->lx1;
    lz1 = o->lz1;
    lx2 = o->lx2;
    lx3 = o->lx3;
    lz3 = o->lz3;
    lx4 = o->lx4;
    lx6 = o->lx6;
    kinErrorLogged = o->kinErrorLogged;
    configFront = o->configFront;
    configElbow = o->configElbow;
    configWristFlip = o->configWristFlip;
    wristAngular = o->wristAngular;
    wristDifferential = o->wristDifferential;
    wristPoint = o->wristPoint;
    Center = o->Center;
    Ellbow = o->Ellbow;
    Wrist = o->Wrist;
    elbowOffsetAngle = o->elbowOffsetAngle;
}

std::unique_ptr<RobotKinematic> RobotKinematicSixAxis::clone() const { return CloneAs<RobotKinematicSixAxis>(*this); }

void RobotKinematicSixAxis::AdaptJointsToMotors(float* v) {
    if (!wristDifferential) {
        return;
    }
    const float a5 = v[4];
    const float a6 = v[5];
    v[4] = a5 - a6;
    v[5] = a5 + a6;
}

void RobotKinematicSixAxis::AdaptMotorsToJoints(float* v) {
    if (!wristDifferential) {
        return;
    }
    // Exact inverse of AdaptJointsToMotors, so a set-point read back unchanged is the same
    // joint value again.
    const float m5 = v[4];
    const float m6 = v[5];
    v[4] = (m5 + m6) * 0.5f;
    v[5] = (m6 - m5) * 0.5f;
}

void RobotKinematicSixAxis::Init(const std::string& name, const std::string& type, const std::string& iniPath,
                                 int velocitySettingIn) {
    RobotKinematic::Init(name, type, iniPath, velocitySettingIn);
    Log()->add(" ");
    Log()->addFormat("RKSixAxis %s / %s  - Kinematic Data: ", name.c_str(), type.c_str());

    currentPosition = Matrix44();
    currentPosition.SetTranslation(400.0f, 50.0f, 300.0f);
    for (int i = 0; i < maxRobotJoints; ++i) {
        jointMaxVelocity[i] = 20.0f;
        jointMaxAcceleration[i] = 500.0f;
    }
    jointMinMax[0][0] = -120.0f;
    jointMinMax[0][1] = 120.0f;
    jointMinMax[1][0] = -180.0f;
    jointMinMax[1][1] = 100.0f;
    for (int i = 2; i < maxRobotJoints; ++i) {
        jointMinMax[i][0] = -180.0f;
        jointMinMax[i][1] = 180.0f;
    }

    ReadIniFile(iniPath);

    for (int i = 0; i < maxRobotJoints; ++i) {
        Log()->addFormat("   Joint %d: Min %.1lf Max %.1lf MaxVel %.1lf MaxAcc %.1lf JointOffset %.1lf "
                         "JointDirection %.1lf",
                         i, static_cast<double>(jointMinMax[i][0]), static_cast<double>(jointMinMax[i][1]),
                         static_cast<double>(jointMaxVelocity[i]), static_cast<double>(jointMaxAcceleration[i]),
                         static_cast<double>(brandTrafoJointOffsets[i]),
                         static_cast<double>(brandTrafoJointDirections[i]));
    }
    LogExtJointLines();

    SetMinMaxValues(jointMinMax);

    Log()->addFormat("   Joint length: lz0 %.1lf, lx1 %.1lf, lz1 %.1lf, lx2 %.1lf, lx3 %.1lf, lz3 %.1lf, lx4 %.1lf, "
                     "lx6 %.1lf",
                     static_cast<double>(lz0), static_cast<double>(lx1), static_cast<double>(lz1),
                     static_cast<double>(lx2), static_cast<double>(lx3), static_cast<double>(lz3),
                     static_cast<double>(lx4), static_cast<double>(lx6));
    Log()->addFormat("   Singularities: Center %.1lf, Ellbow %.1lf Wrist %.1lf", static_cast<double>(Center),
                     static_cast<double>(Ellbow), static_cast<double>(Wrist));
    Log()->add(" ");

    elbowOffsetAngle = ElbowOffsetAngle();
    kinErrorLogged = false;
}

void RobotKinematicSixAxis::ReadIniFile(const std::string& path) {
    // Every gap ends the process; when a test has replaced the exit, reading just stops.
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* robot = OpenRobotIni(doc, path, nullptr, IniFault::Exit);
    if (robot == nullptr) {
        return;
    }

    tinyxml2::XMLElement* kinematic = FindIniElement(robot, "Kinematic", nullptr, IniFault::Exit);
    if (kinematic == nullptr) {
        return;
    }
    ReadIniAttribute(kinematic, "lz0", lz0);
    ReadIniAttribute(kinematic, "lx1", lx1);
    ReadIniAttribute(kinematic, "lz1", lz1);
    ReadIniAttribute(kinematic, "lx2", lx2);
    ReadIniAttribute(kinematic, "lx3", lx3);
    ReadIniAttribute(kinematic, "lz3", lz3);
    ReadIniAttribute(kinematic, "lx4", lx4);
    ReadIniAttribute(kinematic, "lx6", lx6);
    std::string wrist;
    if (ReadIniAttribute(kinematic, "Wrist", wrist)) {
        std::transform(wrist.begin(), wrist.end(), wrist.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (wrist == "angular") {
            wristAngular = true;
        } else if (wrist == "differential") {
            wristDifferential = true;
        }
    }

    tinyxml2::XMLElement* minMax = FindIniElement(robot, "SoftwareMinMax", nullptr, IniFault::Exit);
    if (minMax == nullptr) {
        return;
    }
    ReadIniSoftwareMinMax(minMax, maxRobotJoints);

    ReadIniFileVelocities(robot);

    tinyxml2::XMLElement* manufacturer = FindIniElement(robot, "ManufacturerJointConfig", nullptr, IniFault::Exit);
    if (manufacturer == nullptr) {
        return;
    }
    ReadIniManufacturerJointConfig(manufacturer, maxRobotJoints);

    tinyxml2::XMLElement* singularities = FindIniElement(robot, "SINGULARITIES", nullptr, IniFault::Exit, true);
    if (singularities == nullptr) {
        return;
    }
    ReadIniAttribute(singularities, "Wrist", Wrist);
    ReadIniAttribute(singularities, "Center", Center);
    ReadIniAttribute(singularities, "Ellbow", Ellbow);
}

void RobotKinematicSixAxis::ForwardKinJ1toJ3(const float* q, Matrix44* m) {
    // The Matrix44 product A * B yields B·A, so the chain below reads right to left:
    // Rz(q0) · [Ry(q1) | shoulder] · [Ry(q2) | upper arm] · [I | forearm].
    Matrix44 base;
    base.SetRotationDeg(Matrix44::Z, q[0]);
    Matrix44 shoulder;
    shoulder.SetRotationDeg(Matrix44::Y, q[1]);
    shoulder.SetTranslation(lx1, 0.0f, lz0 + lz1);
    Matrix44 elbow;
    elbow.SetRotationDeg(Matrix44::Y, q[2]);
    elbow.SetTranslation(0.0f, 0.0f, lx2);
    Matrix44 forearm;
    forearm.SetTranslation(-lz3, 0.0f, lx3 + lx4);
    *m = forearm * elbow * shoulder * base;
    wristPoint = m->GetTranslation();
}

void RobotKinematicSixAxis::ForwardKinJ4toJ6(const float* q, Matrix44* w) const {
    Matrix44 a4;
    a4.SetRotationDeg(Matrix44::Z, q[3]);
    Matrix44 a5;
    a5.SetRotationDeg(Matrix44::Y, q[4]);
    Matrix44 a6;
    a6.SetRotationDeg(Matrix44::Z, q[5]);
    Matrix44 flange;
    flange.SetTranslation(0.0f, 0.0f, lx6);
    *w = flange * a6 * a5 * a4;
}

void RobotKinematicSixAxis::ForwardKin(const float* q, Matrix44* pose) {
    Matrix44 arm;
    ForwardKinJ1toJ3(q, &arm);
    Matrix44 wrist;
    ForwardKinJ4toJ6(q, &wrist);
    *pose = tool.toolMatrix * wrist * arm;
}

void RobotKinematicSixAxis::UpdateConfigurationFlags(const float* q) {
    // The elbow side is that of the forearm line (A3 less the offset angle of the wrist
    // point) against the upper arm, so that a bend beyond the folded arm counts as the
    // other side, as the inverse kinematics sees it.
    configElbow = FoldDeg(q[2] - elbowOffsetAngle * kRadToDeg) >= 0.0f;
    configWristFlip = (q[4] <= 0.0f);
    Vector3 v = wristPoint;
    v.RotateZDeg(-q[0]);
    if (v.x < 0.0f) {
        configFront = false;
        configElbow = !configElbow;
    } else {
        configFront = true;
    }
}

void RobotKinematicSixAxis::SetJoints(const float* joints, bool check) {
    float q[maxJoints];
    UserToInternal(joints, q);
    if (check) {
        CheckJoints(q);
    }
    Matrix44 pose;
    ForwardKin(q, &pose);
    AddLinearAxisPositionOffset(q, pose);
    // SetPosition solves for the target raised by zOffset; lowering the forward result by
    // the same amount keeps a pose read back and sent again where it was.
    pose.m[11] -= zOffset;
    if (check) {
        CheckVirtualBox(pose.GetTranslation(), currentPosition.GetTranslation());
    }
    for (int i = 0; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
    currentPosition = pose;
    UpdateConfigurationFlags(q);
}

void RobotKinematicSixAxis::SetPosition(const Matrix44& target, float* joints) {
    CheckTargetFinite(target);
    CheckVirtualBox(target.GetTranslation(), currentPosition.GetTranslation());
    // The tool pose in the arm's own frame: raised by zOffset, without the linear axes.
    Matrix44 tcp = target;
    tcp.m[11] += zOffset;
    SubtractLinearAxisPositionOffset(joints, tcp);
    float q[maxJoints];
    InverseKin(tcp, q);
    for (int i = extJointIndex; i < maxJoints; ++i) {
        q[i] = joints[i];
    }
    CheckJoints(q);
    currentPosition = target;
    for (int i = 0; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
    kinErrorLogged = false;
}

void RobotKinematicSixAxis::InverseKin(const Matrix44& tcp, float* q) {
    const Matrix44 flange = tool.toolMatrixInverse * tcp;
    float s[maxRobotJoints];
    ComputeA1toA3(flange, s);
    NearestToCurrent(s, 0, 2);
    Matrix44 arm;
    ForwardKinJ1toJ3(s, &arm);
    ComputeA4toA6(flange, arm, s);
    NearestToCurrent(s, 3, 3);
    NearestToCurrent(s, 5, 5);
    for (int i = 0; i < nrOfJoints && i < maxRobotJoints; ++i) {
        q[i] = s[i];
    }
}

void RobotKinematicSixAxis::NearestToCurrent(float* q, int first, int last) const {
    // The closed-form angles come out in fixed ranges; a whole turn away from the current
    // joint they would fail the limit check or send the drive round once.
    for (int i = first; i <= last; ++i) {
        q[i] += 360.0f * std::round((currentJoints[i] - q[i]) / 360.0f);
    }
}

void RobotKinematicSixAxis::ComputeA1toA3(const Matrix44& f, float* q) {
    const float wx = f.m[3] - lx6 * f.m[2];
    const float wy = f.m[7] - lx6 * f.m[6];
    float wz = f.m[11] - lx6 * f.m[10];
    wz -= lz0 + lz1;

    if (std::fabs(wx) < Center && std::fabs(wy) < Center) {
        LogFormatOnce(kinErrorLogged, "Kinematic Error: too close to center axis! %.1lf %1.lf %1.lf",
                      static_cast<double>(wx), static_cast<double>(wy), static_cast<double>(Center));
        throw KinematicError::CenterSingularity;
    }

    const float phi = std::atan2(wy, wx);
    float r = std::sqrt(wx * wx + wy * wy);
    if (configFront) {
        r -= lx1;
    } else {
        r += lx1;
    }
    const float d = std::sqrt(r * r + wz * wz);
    if (d > lx2 + lx3 + lx4 - Ellbow) {
        LogOnce(kinErrorLogged, "InvKin: OutofReach");
        throw KinematicError::OutOfReach;
    }

    // Elevation of the wrist point seen from the shoulder, in [-90, 90] degrees. atan2 keeps
    // full precision when the wrist point is straight above or below the shoulder.
    const float alpha = std::atan2(wz, std::fabs(r));
    const float forearm = lx3 + lx4;
    const float l = std::sqrt(forearm * forearm + lz3 * lz3);

    // Angles of the triangle shoulder-elbow-wrist: beta at the shoulder, gamma at the elbow.
    // Both from the sine (twice the area, from Kahan's ordering of Heron's formula) and the
    // cosine numerator of the law of cosines, which stays exact near the folded arm. Sides
    // that form no triangle (a target in the void around the shoulder) give NaN, which the
    // joint check rejects.
    float sideA = lx2;
    float sideB = l;
    float sideC = d;
    if (sideA < sideB) std::swap(sideA, sideB);
    if (sideB < sideC) std::swap(sideB, sideC);
    if (sideA < sideB) std::swap(sideA, sideB);
    float slack = sideC - (sideA - sideB);
    if (slack < 0.0f && slack > -kTriangleTolerance) {
        slack = 0.0f;  // folded or stretched arm, rounded past the end
    }
    const float area4 =
        std::sqrt((sideA + (sideB + sideC)) * slack * (sideC + (sideA - sideB)) * (sideA + (sideB - sideC)));
    const float beta = std::atan2(area4, (d * d - l * l) + lx2 * lx2);
    const float gamma = std::atan2(area4, (l * l - d * d) + lx2 * lx2);

    // Behind axis A1 the arm plane is solved mirrored, and the mirror turns the wrist
    // offset to the other side of the forearm.
    const float offset = configFront ? elbowOffsetAngle : -elbowOffsetAngle;

    q[0] = phi * kRadToDeg;
    if (r <= 0.0f) {
        q[1] = configElbow ? (alpha - beta) * kRadToDeg - 90.0f : (alpha + beta) * kRadToDeg - 90.0f;
    } else if (configElbow) {
        q[1] = 90.0f - (alpha + beta) * kRadToDeg;
    } else {
        q[1] = (beta - alpha) * kRadToDeg + 90.0f;
    }
    if (configElbow) {
        q[2] = 180.0f - (gamma - offset) * kRadToDeg;
    } else {
        q[2] = (gamma + offset) * kRadToDeg - 180.0f;
    }
    if (!configFront) {
        q[0] += 180.0f;
        q[1] = -q[1];
        q[2] = -q[2];
    }
}

void RobotKinematicSixAxis::ComputeA4toA6(const Matrix44& f, const Matrix44& a, float* q) {
    const Matrix44 r = f * a.Inverse();  // A⁻¹·F
    const float s = std::sqrt(r.m[2] * r.m[2] + r.m[6] * r.m[6]);
    if (s < std::tan(Wrist * 0.017453292f)) {
        if (!kinErrorLogged) {
            Log()->add("InvKin: HandSingularity:", s);
            kinErrorLogged = true;
        }
        throw KinematicError::WristSingularity;
    }

    float a4 = -std::atan2(r.m[6], -r.m[2]);
    Matrix44 undoA4;
    undoA4.SetRotationDeg(Matrix44::Z, -a4 * kRadToDeg);
    const Matrix44 m1 = r * undoA4;
    float a5 = -std::atan2(-m1.m[2], m1.m[10]);
    Matrix44 undoA5;
    undoA5.SetRotationDeg(Matrix44::Y, -a5 * kRadToDeg);
    const Matrix44 m2 = m1 * undoA5;
    float a6 = std::atan2(m2.m[4], m2.m[0]);

    // Of the two wrist solutions take the one whose A5 sign matches the configuration.
    if ((configWristFlip && a5 > 0.0f) || (!configWristFlip && a5 < 0.0f)) {
        a4 += (a4 <= 0.0f) ? kPi : -kPi;
        a5 = -a5;
        a6 += (a6 <= 0.0f) ? kPi : -kPi;
    }
    q[3] = a4 * kRadToDeg;
    q[4] = a5 * kRadToDeg;
    q[5] = a6 * kRadToDeg;
}
