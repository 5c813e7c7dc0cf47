#include "kinematics/RobotKinematicDeltaLinear.h"

#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <cmath>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {
constexpr float sameHeightTolerance = 0.001f;

float Square(float v) { return v * v; }
}  // namespace

RobotKinematicDeltaLinear::RobotKinematicDeltaLinear() {
    nrOfJoints = 3;
    for (int i = 0; i < maxJoints; ++i) {
        jointMaxVelocity[i] = 100.0f;
        jointMaxAcceleration[i] = 100.0f;
        jointMaxAccelerationInc[i] = 100.0f;
    }
    AccLin = 1000.0;
    AccLinInc = 2000.0;
    const int travelJoints[] = {0, 1};
    for (int i : travelJoints) {
        jointMinMax[i][0] = -5.0f;
        jointMinMax[i][1] = 500.0f;
    }
    jointMinMax[2][0] = -5.0f;
    jointMinMax[2][1] = 300.0f;
    const int turnJoints[] = {3, 6, 7, 8};
    for (int i : turnJoints) {
        jointMinMax[i][0] = -179.5f;
        jointMinMax[i][1] = 179.5f;
    }
    kinematicTypeName = "RobotKinematicDeltaLinear";
    PrepareKinematic();
}

RobotKinematicDeltaLinear::~RobotKinematicDeltaLinear() = default;

void RobotKinematicDeltaLinear::clone(const RobotKinematic* other) {
    RobotKinematic::clone(other);
    const auto* o = dynamic_cast<const RobotKinematicDeltaLinear*>(other);
    if (o == nullptr) {
        return;
    }
    mountZ = o->mountZ;
    distZ1 = o->distZ1;
    distZ2 = o->distZ2;
    radius1 = o->radius1;
    radius2 = o->radius2;
    lengthJoint = o->lengthJoint;
    distJoint = o->distJoint;
    tcpRadius = o->tcpRadius;
    tcpHeight = o->tcpHeight;
    FourthAxis = o->FourthAxis;
    MaxAngle = o->MaxAngle;
    errorLogged = o->errorLogged;
    PrepareKinematic();
}

std::unique_ptr<RobotKinematic> RobotKinematicDeltaLinear::clone() const {
    return CloneAs<RobotKinematicDeltaLinear>(*this);
}

void RobotKinematicDeltaLinear::Init(const std::string& name, const std::string& type,
                                     const std::string& iniPath, int velocitySetting) {
    RobotKinematic::Init(name, type, iniPath, velocitySetting);
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat("RKCartesian %s / %s  - Kinematic Data: ", name.c_str(), type.c_str());

    currentPosition(0, 0) = -1.0f;
    currentPosition(1, 1) = 1.0f;
    currentPosition(2, 2) = -1.0f;
    currentPosition.SetTranslation(0.0f, 0.0f, 300.0f);

    ReadIniFile(iniPath);
    log->add(FourthAxis ? "Fourth Axis is available" : "Fourth Axis is NOT available");
    LogJointData();
    SetMinMaxValues(jointMinMax);
    PrepareKinematic();
    log->add(" ");
}

void RobotKinematicDeltaLinear::LogJointData() const {
    LogJointLinesWithAcceleration(nrOfJoints);
    LogExtJointLines();
}

void RobotKinematicDeltaLinear::ReadIniFile(const std::string& path) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* robot = OpenRobotIni(doc, path, RobotIniFailReason::NotCorrect);
    if (robot == nullptr) {
        return;
    }

    if (tinyxml2::XMLElement* kin = FindIniElement(robot, "Kinematic", RobotIniFailReason::NoKinematic)) {
        if (kin->Attribute("FourthAxis") != nullptr) {
            ReadIniAttribute(kin, "FourthAxis", FourthAxis);
            if (FourthAxis) {
                nrOfJoints = 4;
            }
        }
        ReadIniAttribute(kin, "mountZ", mountZ);
        ReadIniAttribute(kin, "distZ1", distZ1);
        ReadIniAttribute(kin, "distZ2", distZ2);
        ReadIniAttribute(kin, "radius1", radius1);
        ReadIniAttribute(kin, "radius2", radius2);
        ReadIniAttribute(kin, "lengthJoint", lengthJoint);
        ReadIniAttribute(kin, "distJoint", distJoint);
        ReadIniAttribute(kin, "tcpRadius", tcpRadius);
        ReadIniAttribute(kin, "tcpHeight", tcpHeight);
    }
    if (tinyxml2::XMLElement* linkage = FindIniElement(robot, "Linkage", RobotIniFailReason::NoSoftwareMinMax)) {
        ReadIniAttribute(linkage, "MaxAngle", MaxAngle);
    }
    ReadIniJointLimits(robot, FourthAxis ? 4 : 3);
}

void RobotKinematicDeltaLinear::PrepareKinematic() {
    const Vector3 top(radius1, 0.0f, mountZ - distZ1);
    const Vector3 bottom(radius2, 0.0f, mountZ - distZ1 - distZ2);
    Vector3 direction = bottom - top;
    direction.Normalize();
    const Vector3 platformOffset(tcpRadius, 0.0f, tcpHeight);
    const Vector3 halfSpacing(0.0f, distJoint / 2.0f, 0.0f);
    for (int i = 0; i < 3; ++i) {
        const float turn = 120.0f * static_cast<float>(i);
        railTop[i] = top;
        railBottom[i] = bottom;
        railDirection[i] = direction;
        tcpOffset[i] = platformOffset;
        rodHalfSpacing[i] = halfSpacing;
        railTop[i].RotateZDeg(turn);
        railBottom[i].RotateZDeg(turn);
        railDirection[i].RotateZDeg(turn);
        tcpOffset[i].RotateZDeg(turn);
        rodHalfSpacing[i].RotateZDeg(turn);
    }
}

void RobotKinematicDeltaLinear::Fail(const char* text, int code) {
    LogOnce(errorLogged, text);
    throw code;
}

void RobotKinematicDeltaLinear::SetJoints(const float* joints, bool check) {
    float q[maxJoints];
    UserToInternal(joints, q);
    if (check) {
        CheckJoints(q);
    }
    for (int i = 0; i < 3; ++i) {
        carriage[i] = railTop[i] + railDirection[i] * q[i];
    }
    Matrix44 m = currentPosition;
    ForwardKin(q, &m);
    AddLinearAxisPositionOffset(q, m);
    if (check) {
        checkLinkages(q, m.GetTranslation());
        CheckVirtualBox(m.GetTranslation(), currentPosition.GetTranslation());
    }
    for (int i = 0; i < nrOfJoints; ++i) {
        currentJoints[i] = q[i];
    }
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
    currentPosition = m;
    errorLogged = false;
}

void RobotKinematicDeltaLinear::ForwardKin(const float* q, Matrix44* out) {
    Vector3 centre[3];
    for (int i = 0; i < 3; ++i) {
        centre[i] = carriage[i] - tcpOffset[i];
    }
    const Vector3 p = Trilateration(centre[0], centre[1], centre[2], lengthJoint, lengthJoint, lengthJoint);
    // Tool z axis points down.
    Matrix44 f(Vector3(1.0f, 0.0f, 0.0f), Vector3(0.0f, -1.0f, 0.0f), Vector3(0.0f, 0.0f, -1.0f), p);
    if (FourthAxis) {
        Matrix44 turn;
        turn.SetRotationDeg(Matrix44::Z, q[3]);
        f = turn * f;  // f · turn: about the platform's own z axis
    }
    *out = tool.toolMatrix * f;  // f · toolMatrix
}

Vector3 RobotKinematicDeltaLinear::Trilateration(Vector3 c1, Vector3 c2, Vector3 c3, float r1, float r2, float r3) {
    const float dz12 = std::fabs(c1.z - c2.z);
    const float dz13 = std::fabs(c1.z - c3.z);
    const float dz23 = std::fabs(c2.z - c3.z);
    if (dz12 < sameHeightTolerance && dz13 < sameHeightTolerance) {
        return TrilaterationSameZHeight(c1, c2, c3, r1, r2, r3);
    }
    if (dz13 < sameHeightTolerance) {
        return TrilaterationDifferentZHeight(c3, c1, c2, r3, r1, r2);
    }
    if (dz23 < sameHeightTolerance) {
        // Turned so that the two centres at one height differ in x.
        c1.RotateZDeg(240.0f);
        c2.RotateZDeg(240.0f);
        c3.RotateZDeg(240.0f);
        Vector3 p = TrilaterationDifferentZHeight(c2, c3, c1, r2, r3, r1);
        p.RotateZDeg(-240.0f);
        return p;
    }
    return TrilaterationDifferentZHeight(c1, c2, c3, r1, r2, r3);
}

Vector3 RobotKinematicDeltaLinear::TrilaterationSameZHeight(const Vector3& p1, const Vector3& p2, const Vector3& p3,
                                                             float r1, float r2, float r3) {
    const float a1 = 2.0f * (p3.x - p1.x);
    const float b1 = 2.0f * (p3.y - p1.y);
    const float d1 = r1 * r1 - r3 * r3 - p1.x * p1.x - p1.y * p1.y + p3.x * p3.x + p3.y * p3.y;
    const float a2 = 2.0f * (p3.x - p2.x);
    const float b2 = 2.0f * (p3.y - p2.y);
    const float d2 = r2 * r2 - r3 * r3 - p2.x * p2.x - p2.y * p2.y + p3.x * p3.x + p3.y * p3.y;
    const float det = a1 * b2 - b1 * a2;
    if (det == 0.0f) {
        // Centres on one line: the meeting point is not determined.
        Fail("ForwKin: TrilaterationError", KinematicError::LinearDeltaRodGeometry);
    }
    // Centres within the height tolerance still differ a little in z; with the point's
    // height known from a first pass, a second pass takes those differences in.
    const float c1 = 2.0f * (p3.z - p1.z);
    const float c2 = 2.0f * (p3.z - p2.z);
    const float e1 = p3.z * p3.z - p1.z * p1.z;
    const float e2 = p3.z * p3.z - p2.z * p2.z;
    const bool level = c1 == 0.0f && c2 == 0.0f;
    Vector3 result;
    float zPrevious = 0.0f;
    for (int pass = 0; pass < (level ? 1 : 2); ++pass) {
        const float h1 = pass == 0 ? d1 : d1 + e1 - c1 * zPrevious;
        const float h2 = pass == 0 ? d2 : d2 + e2 - c2 * zPrevious;
        const float x = (h1 * b2 - b1 * h2) / det;
        const float y = (a1 * h2 - h1 * a2) / det;
        const float B = -2.0f * p1.z;
        const float C = p1.z * p1.z - r1 * r1 + Square(x - p1.x) + Square(y - p1.y);
        const float D = B * B - 4.0f * C;
        if (D < 0.0f) {
            Fail("ForwKin: TrilaterationError", KinematicError::LinearDeltaRodGeometry);
        }
        const float root = std::sqrt(D);
        const float zPlus = (root - B) / 2.0f;
        const float zMinus = (-B - root) / 2.0f;
        result = Vector3(x, y, zPlus < zMinus ? zPlus : zMinus);
        zPrevious = result.z;
    }
    return result;
}

Vector3 RobotKinematicDeltaLinear::TrilaterationDifferentZHeight(const Vector3& p1, const Vector3& p2,
                                                                  const Vector3& p3, float r1, float r2, float r3) {
    const float a1 = 2.0f * (p3.x - p1.x);
    const float b1 = 2.0f * (p3.y - p1.y);
    const float c1 = 2.0f * (p3.z - p1.z);
    const float a2 = 2.0f * (p3.x - p2.x);
    const float b2 = 2.0f * (p3.y - p2.y);
    const float c2 = 2.0f * (p3.z - p2.z);
    if (c1 == 0.0f || c2 == 0.0f) {
        // Not a point at all; never hand the origin on as a platform position.
        Fail("ForwKin: TrilaterationError", KinematicError::LinearDeltaRodGeometry);
    }
    const float d1 = r1 * r1 - r3 * r3 - p1.MagnitudeQ() + p3.MagnitudeQ();
    const float d2 = r2 * r2 - r3 * r3 - p2.MagnitudeQ() + p3.MagnitudeQ();
    const float k = a1 / c1 - a2 / c2;
    if (k == 0.0f) {
        Fail("ForwKin: TrilaterationError", KinematicError::LinearDeltaRodGeometry);
    }
    const float m = b1 / c1 - b2 / c2;
    const float n = d2 / c2 - d1 / c1;
    const float xA = -m / k;
    const float xB = -n / k;
    const float zA = (-a2 * xA - b2) / c2;
    const float zB = (d2 - a2 * xB) / c2;
    const float A = xA * xA + 1.0f + zA * zA;
    if (A == 0.0f) {
        Fail("ForwKin: TrilaterationError", KinematicError::LinearDeltaRodGeometry);
    }
    const float B = 2.0f * xA * (xB - p1.x) - 2.0f * p1.y + 2.0f * zA * (zB - p1.z);
    const float C = (xB - 2.0f * p1.x) * xB + (zB - 2.0f * p1.z) * zB + p1.MagnitudeQ() - r1 * r1;
    const float D = B * B - 4.0f * A * C;
    if (D < 0.0f) {
        Fail("ForwKin: TrilaterationError", KinematicError::LinearDeltaRodGeometry);
    }
    const float root = std::sqrt(D);
    const float yPlus = (root - B) / (2.0f * A);
    const float yMinus = (-B - root) / (2.0f * A);
    const Vector3 plus(xA * yPlus + xB, yPlus, zA * yPlus + zB);
    const Vector3 minus(xA * yMinus + xB, yMinus, zA * yMinus + zB);
    return plus.z > minus.z ? minus : plus;
}

void RobotKinematicDeltaLinear::InverseKin(const Matrix44& m, float* q) {
    const Matrix44 flange = tool.toolMatrixInverse * m;  // m · toolMatrixInverse
    const Vector3 p = flange.GetTranslation();
    for (int i = 0; i < 3; ++i) {
        q[i] = ComputeOneJoint(i, p);
    }
}

float RobotKinematicDeltaLinear::ComputeOneJoint(int i, const Vector3& p) {
    // Triangle of the lower rail end B, the platform joint A and the carriage C, with the
    // rod |AC| = L and the carriage on the rail from B towards the upper end.
    const Vector3 jointA = p + tcpOffset[i];
    const float L = lengthJoint;
    const Vector3 v = jointA - railBottom[i];
    const Vector3 w = railTop[i] - railBottom[i];
    const float d = v.Magnitude();
    if (d > L) {
        Fail("InvKin: OutofReach", KinematicError::OutOfReach);
    }
    // The angle at B keeps its sign: A may lie on either side of the plane through B
    // across the rail. The side |BC| then follows as the projection of BA on the rail plus
    // the rest of the rod; unlike the law of cosines this stays accurate in float when
    // the carriage comes close to B.
    const float railLength = w.Magnitude();
    const Vector3 axis = railLength > 0.0f ? w / railLength : Vector3();
    const float along = Vector3::Dot(v, axis);
    const float across = Vector3::Cross(v, axis).MagnitudeQ();
    const float t = along + std::sqrt(L * L - across);
    if (!(t > 0.0f)) {
        Fail("InvKin: OutofReach", KinematicError::OutOfReach);
    }
    const float q = railLength - t;
    carriage[i] = railTop[i] + railDirection[i] * q;
    return q;
}

void RobotKinematicDeltaLinear::checkLinkages(const float* /*q*/, const Vector3& /*p*/) const {}

float RobotKinematicDeltaLinear::Fitness(const float* /*q*/, const Vector3& p) const {
    float sum = 0.0f;
    for (int i = 0; i < 3; ++i) {
        sum += Square((p + tcpOffset[i] - carriage[i]).Magnitude() - lengthJoint);
    }
    return std::sqrt(sum);
}

void RobotKinematicDeltaLinear::SetPosition(const Matrix44& target, float* joints) {
    CheckTargetFinite(target);
    CheckVirtualBox(target.GetTranslation(), currentPosition.GetTranslation());

    float q[maxJoints] = {};
    Matrix44 m = target;
    SubtractLinearAxisPositionOffset(joints, m);
    InverseKin(m, q);
    for (int i = extJointIndex; i < maxJoints; ++i) {
        q[i] = joints[i];
    }
    if (FourthAxis) {
        // The turn of the platform itself, so a tool turned about its axis does not shift it.
        const Vector3 x = (tool.toolMatrixInverse * m).GetColumnVector(0);
        float a = std::atan2(-x.y, -x.x) * 57.29578f;
        if (a >= 0.0f) {
            a = 180.0f - a;
        }
        if (a < 0.0f) {
            a = -(a + 180.0f);
        }
        if (a >= 180.0f) {
            a -= 180.0f;
        } else if (a <= -180.0f) {
            a += 180.0f;
        }
        q[3] = a;
    }
    CheckJoints(q);
    checkLinkages(q, m.GetTranslation());

    currentPosition = target;
    for (int i = 0; i <= 3; ++i) {
        currentJoints[i] = q[i];
    }
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = joints[i];
    }
}
