#include "kinematics/RobotKinematicPivra5.h"

#include "core/LogSingleton.h"
#include "kinematics/ArmConfiguration.h"

#include <tinyxml2.h>

#include <cctype>
#include <cmath>
#include <stdexcept>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

// Radians to degrees as the joint angles have always been scaled.
constexpr double kRadToDeg = static_cast<double>(DataTypes::rad2deg);
constexpr double kHalfPi = 1.5707963267948966;
constexpr double kPi = 3.141592653589793;
// Shorter directions than this cannot be normalised (same bound as Vector3::Normalize).
constexpr float kMinDirection = 0.0001f;

constexpr char kUprightToFree[] =
    "ToolComp type2: cannot change from upright motion to free motion. Please use joint command in between!";

}  // namespace

RobotKinematicPivra5::RobotKinematicPivra5() {
    nrOfJoints = 5;
    kinematicTypeName = "RobotKinematicPivra5";
    TCPXDirToFront = false;
    const float joints[maxJoints] = {0.0f, 30.0f, 40.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    SetStartJointsRightAngledElbow(joints);
}

RobotKinematicPivra5::~RobotKinematicPivra5() = default;

void RobotKinematicPivra5::clone(const RobotKinematic* other) {
    RobotKinematic::clone(other);
    const auto* src = dynamic_cast<const RobotKinematicPivra5*>(other);
    if (src == nullptr) {
        return;
    }
    lz0 = src->lz0;
    lz1 = src->lz1;
    lz2 = src->lz2;
    lz3 = src->lz3;
    lz4 = src->lz4;
    lz5 = src->lz5;
    ly0 = src->ly0;
    singularityCenter = src->singularityCenter;
    singularityEllbow = src->singularityEllbow;
    elbowPositive = src->elbowPositive;
    wristInFront = src->wristInFront;
    wristPoint = src->wristPoint;
    ikErrorLogged = src->ikErrorLogged;
    wristRedundancyHandling = src->wristRedundancyHandling;
    // type2MotionState stays with each copy's own motion history.
}

std::unique_ptr<RobotKinematic> RobotKinematicPivra5::clone() const { return CloneAs<RobotKinematicPivra5>(*this); }

void RobotKinematicPivra5::Init(const std::string& name, const std::string& type, const std::string& iniPath,
                                int velocitySettingIn) {
    RobotKinematic::Init(name, type, iniPath, velocitySettingIn);
    Log()->add(" ");
    Log()->addFormat("RK5Axis %s / %s  - Kinematic Data: ", name.c_str(), type.c_str());

    currentPosition.m[0] = 1.0f;
    currentPosition.m[5] = 1.0f;
    currentPosition.m[10] = 1.0f;
    currentPosition.SetTranslation(400.0f, 50.0f, 300.0f);

    for (int i = 0; i < maxJoints; ++i) {
        jointMaxVelocity[i] = 20.0f;
        jointMaxAcceleration[i] = 100.0f;
        jointMinMax[i][0] = -150.0f;
        jointMinMax[i][1] = 150.0f;
    }
    AccLin = 1000.0;
    AccLinInc = 2000.0;

    ReadIniFile(iniPath);

    LogJointLinesAndConvertLimits(nrOfJoints);

    Log()->addFormat("   Joint length: lz0 %.1lf, lz1 %.1lf, lz2 %.1lf, lz3 %.1lf, lz4 %.1lf, lz5 %.1lf, ly0 %.1lf",
                     static_cast<double>(lz0), static_cast<double>(lz1), static_cast<double>(lz2),
                     static_cast<double>(lz3), static_cast<double>(lz4), static_cast<double>(lz5),
                     static_cast<double>(ly0));
    Log()->addFormat("   Singularities: Center %.1lf, Ellbow %.1lf", static_cast<double>(singularityCenter),
                     static_cast<double>(singularityEllbow));
    const std::string where = " - Change in robot ini file, line \"Kinematic\", tag \"TCPXDirToFront\"";
    if (TCPXDirToFront) {
        Log()->add("TCP X-Direction points forwards (not compatible with old programs)" + where);
    } else {
        Log()->add("TCP X-Direction points backwards (legacy setting)" + where);
    }
    Log()->add(" ");
    ikErrorLogged = false;
}

void RobotKinematicPivra5::ReadIniFile(const std::string& path) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* robot = OpenRobotIni(doc, path, RobotIniFailReason::NotCorrect);
    if (robot == nullptr) {
        return;
    }

    if (tinyxml2::XMLElement* e = FindIniElement(robot, "Kinematic", RobotIniFailReason::NoKinematic)) {
        ReadIniAttribute(e, "lz0", lz0);
        ReadIniAttribute(e, "lz1", lz1);
        ReadIniAttribute(e, "lz2", lz2);
        ReadIniAttribute(e, "lz3", lz3);
        ReadIniAttribute(e, "lz4", lz4);
        ReadIniAttribute(e, "lz5", lz5);
        ReadIniAttribute(e, "ly0", ly0);
        ReadIniAttribute(e, "TCPXDirToFront", TCPXDirToFront);

        wristRedundancyHandling = WristStandard;
        std::string handling;
        if (ReadIniAttribute(e, "WristRedundancyHandling", handling)) {
            for (char& c : handling) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            if (handling == "type2") {
                wristRedundancyHandling = WristType2;
            }
        }
        Log()->add(wristRedundancyHandling == WristType2
                       ? "RobotKinematicPivra5: Wrist redundancy handling: type2"
                       : "RobotKinematicPivra5: Wrist redundancy handling: standard");
    }

    ReadIniJointLimitsAndConfig(robot, nrOfJoints);

    ReadIniSingularities(robot, singularityCenter, singularityEllbow);
}

void RobotKinematicPivra5::ForwardKinJ1toJ3(const float* q, Matrix44* out) {
    *out = ArmConfiguration::WristFrame(q[0], q[1], q[2], lz0, lz1, lz2, lz3);
    wristPoint = out->GetTranslation();
}

void RobotKinematicPivra5::ForwardKinJ4toJ6(const float* q, Matrix44* out) const {
    const double flip = TCPXDirToFront ? 180.0 : 0.0;
    Matrix44 pitch;
    pitch.SetRotationDeg(Matrix44::Y, q[3]);
    pitch.SetTranslation(0.0f, ly0, 0.0f);
    Matrix44 roll;
    roll.SetRotationDeg(Matrix44::Z, static_cast<double>(q[4]) - flip);
    Matrix44 hand;
    hand.SetTranslation(0.0f, 0.0f, lz4 + lz5);
    *out = hand * roll * pitch;
}

void RobotKinematicPivra5::ForwardKin(const float* q, Matrix44* pose) {
    Matrix44 wrist;
    ForwardKinJ1toJ3(q, &wrist);
    Matrix44 hand;
    ForwardKinJ4toJ6(q, &hand);
    *pose = tool.toolMatrix * hand * wrist;
}

void RobotKinematicPivra5::SetJoints(const float* joints, bool check) {
    // Any joint-space set-point releases the upright state of the type-2 handling.
    type2MotionState = Type2Free;

    float q[maxJoints];
    const Matrix44 m = PoseOfUserJoints(joints, check, q, [this](const float* j, Matrix44* p) { ForwardKin(j, p); });
    StoreJoints(q);
    currentPosition = m;

    // Configuration of this set-point, for the Cartesian motions that follow.
    Vector3 inPlane = wristPoint;
    inPlane.RotateZDeg(-q[0]);
    ArmConfiguration::FromWristPoint(inPlane.x, q[2], elbowPositive, wristInFront);
}

void RobotKinematicPivra5::SetPosition(const Matrix44& target, float* joints) {
    float q[maxJoints] = {};
    JointsOfTarget(target, joints, q, [this](Matrix44& m, float* j) { InverseKin(m, j); });

    currentPosition = target;
    StoreJoints(q);
    ikErrorLogged = false;
}

void RobotKinematicPivra5::InverseKin(const Matrix44& pose, float* out) {
    Matrix44 f = pose;
    if (wristRedundancyHandling == WristStandard) {
        f = LimitOrientationStandard(pose);
    } else if (wristRedundancyHandling == WristType2) {
        f = LimitOrientationType2(pose);
    }

    float q[maxJoints] = {};
    ComputeA1toA3(f, q);

    Matrix44 arm;
    ForwardKinJ1toJ3(q, &arm);
    const Matrix44 w = f * arm.Inverse();  // wrist-to-flange: arm⁻¹·f

    const double pitch = -std::atan2(-static_cast<double>(w.m[2]), static_cast<double>(w.m[10]));
    q[3] = static_cast<float>(pitch * kRadToDeg);

    Matrix44 unpitch;
    unpitch.SetRotationRad(Matrix44::Y, -pitch);
    const Matrix44 v = w * unpitch;  // Ry(-pitch)·w leaves the roll about z
    q[4] = static_cast<float>(std::atan2(static_cast<double>(v.m[4]), static_cast<double>(v.m[0])) * kRadToDeg);
    if (TCPXDirToFront) {
        q[4] += (q[4] < 0.0f) ? 180.0f : -180.0f;
    }
    ArmConfiguration::NearestToCurrent(q, currentJoints, nrOfJoints);

    for (int i = 0; i < nrOfJoints; ++i) {
        out[i] = q[i];
    }
}

void RobotKinematicPivra5::ComputeA1toA3(const Matrix44& f, float* q) {
    const double hand = static_cast<double>(lz4) + lz5;
    const double px = static_cast<double>(f.m[3]) - static_cast<double>(f.m[2]) * hand;
    const double py = static_cast<double>(f.m[7]) - static_cast<double>(f.m[6]) * hand;
    const double pz = static_cast<double>(f.m[11]) - static_cast<double>(f.m[10]) * hand - (lz0 + lz1);

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

    double base = std::atan2(py, px) * kRadToDeg;
    ArmConfiguration::ShoulderElbow(r, pz, lz2, lz3, elbowPositive, &q[1], &q[2]);
    if (!wristInFront) {
        // Reaching over the base axis: the mirrored arm turned half a revolution.
        base += 180.0;
        if (base > 180.0) {
            base -= 360.0;
        }
        q[1] = -q[1];
        q[2] = -q[2];
    }
    q[0] = static_cast<float>(base);
}

Matrix44 RobotKinematicPivra5::LimitOrientationStandard(const Matrix44& pose) {
    const Vector3 y = pose.GetColumnVector(1);
    const Vector3 z = pose.GetColumnVector(2);
    const Vector3 t = pose.GetTranslation();

    Vector3 h(t.x, t.y, 0.0f);
    h.Normalize();
    const double phi = std::atan2(static_cast<double>(h.y), static_cast<double>(h.x));

    Matrix44 turn;
    turn.SetRotationRad(Matrix44::Z, -phi);
    Vector3 a = turn * z;  // approach axis in the arm plane's frame
    a.y = 0.0f;
    // An approach axis standing perpendicular to the arm plane has no projection into it;
    // solving on would run on zero rotation columns.
    if (a.Magnitude() <= kMinDirection) {
        LogOnce(ikErrorLogged, "InvKin: OutofReach");
        throw KinematicError::OutOfReach;
    }
    a.Normalize();

    turn.SetRotationRad(Matrix44::Z, phi);
    const Vector3 zNew = turn * a;
    // Keeps the old y axis as far as it can; deliberately not normalised.
    const Vector3 xNew = Vector3::Cross(y, zNew);
    const Vector3 yNew = Vector3::Cross(zNew, xNew);
    if (xNew.Magnitude() <= kMinDirection) {
        LogOnce(ikErrorLogged, "InvKin: OutofReach");
        throw KinematicError::OutOfReach;
    }

    Matrix44 r = pose;
    r.SetColumnVector(0, xNew);
    r.SetColumnVector(1, yNew);
    r.SetColumnVector(2, zNew);
    return tool.toolMatrixInverse * r;
}

Matrix44 RobotKinematicPivra5::LimitOrientationType2(const Matrix44& pose) {
    const Matrix44 flange = tool.toolMatrixInverse * pose;
    const Vector3 h(flange.m[2], flange.m[6], 0.0f);
    if (h.MagnitudeQ() < 0.0001f) {
        // Flange axis (nearly) vertical: every arm plane fits, solve unchanged.
        type2MotionState = Type2Upright;
        return flange;
    }
    if (type2MotionState == Type2None) {
        type2MotionState = Type2Free;
    } else if (type2MotionState == Type2Upright) {
        // Leaving the vertical would pick an arbitrary turn; a joint move must settle it.
        throw std::runtime_error(kUprightToFree);
    }

    // Walk in 10 degree steps while the error falls; on a rise turn back at half the step.
    double step = 10.0 * static_cast<double>(DataTypes::deg2rad);  // 0.1745329238474369
    double angle = 0.0;
    double bestAngle = 0.0;
    double bestError = 9999999.9;
    double bestErrorDeg = 99999.9;
    double lastError = 999999.9;
    for (int n = 0; n < type2MaxEvaluations && bestErrorDeg > type2GoalDeg; ++n) {
        const double e = GetErrorForAngle(angle, pose);
        if (e < lastError) {
            if (e < bestError) {
                bestError = e;
                bestErrorDeg = e * kRadToDeg;
                bestAngle = angle;
            }
            angle += step;
        } else {
            step = -step / 2.0;
            angle += step;
        }
        lastError = e;
    }
    // Solving a turn that leaves the flange axis off the arm plane would move the tool
    // point elsewhere without notice (by centimetres when no turn fits at all).
    if (bestErrorDeg > type2GoalDeg) {
        LogOnce(ikErrorLogged, "InvKin: OutofReach");
        throw KinematicError::OutOfReach;
    }
    return tool.toolMatrixInverse * RotateFlangeZ(bestAngle, pose);
}

Matrix44 RobotKinematicPivra5::RotateFlangeZ(double angle, const Matrix44& pose) const {
    Matrix44 r = pose;
    r.SetTranslation(0.0f, 0.0f, 0.0f);
    r.Normalize();
    Matrix44 turn;
    turn.SetRotationRad(Matrix44::Z, angle);
    r = r * turn;  // turn·r: about the base vertical
    r.SetTranslation(pose.GetTranslation());
    return r;
}

double RobotKinematicPivra5::GetErrorForAngle(double angle, const Matrix44& pose) const {
    const Matrix44 f = tool.toolMatrixInverse * RotateFlangeZ(angle, pose);
    // Horizontal direction of the flange axis and of the flange point from the base axis.
    const double ux = f.m[2], uy = f.m[6];
    const double px = f.m[3], py = f.m[7];
    if (std::hypot(ux, uy) <= kMinDirection || std::hypot(px, py) <= kMinDirection) {
        return kHalfPi;  // no direction to compare: as far off as it gets
    }
    // atan2 of cross and dot product in double: an acos of a single-precision dot product
    // cannot resolve angles below about 0.02 degrees, far coarser than the search goal.
    double e = std::atan2(std::fabs(ux * py - uy * px), ux * px + uy * py);
    // Pointing inward lies in the arm plane just as well as pointing outward.
    if (e > kHalfPi) {
        e -= kPi;
    }
    return std::fabs(e);
}
