#include "kinematics/RobotKinematicCartesianGantry.h"

#include "core/LogSingleton.h"
#include "kinematics/CartesianGantryCommon.h"

#include <tinyxml2.h>

#include <cmath>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

// a·b in ordinary product order (Matrix44::operator* multiplies the other way round).
Matrix44 Mul(const Matrix44& a, const Matrix44& b) { return b * a; }

constexpr float kRad2Deg = 57.29578f;

}  // namespace

RobotKinematicCartesianGantry::RobotKinematicCartesianGantry(const char* typeName, bool followsLinearAxes)
    : followsLinearAxes_(followsLinearAxes) {
    kinematicTypeName = typeName;
    nrOfJoints = 3;
    FourthAxis = false;
    for (int i = 0; i < maxJoints; ++i) {
        jointMaxVelocity[i] = 100.0f;
        jointMaxAcceleration[i] = 100.0f;
        jointMaxAccelerationInc[i] = 100.0f;
    }
    AccLin = 1000.0;
    AccLinInc = 2000.0;
    const float limits[maxJoints][2] = {{-5.0f, 500.0f},    {-5.0f, 500.0f},   {-5.0f, 300.0f},
                                        {-179.5f, 179.5f},  {0.0f, 0.0f},      {0.0f, 0.0f},
                                        {-179.5f, 179.5f},  {-179.5f, 179.5f}, {-179.5f, 179.5f}};
    for (int i = 0; i < maxJoints; ++i) {
        jointMinMax[i][0] = limits[i][0];
        jointMinMax[i][1] = limits[i][1];
    }
    for (int i = 0; i < 4; ++i) {
        currentJoints[i] = 0.0f;
    }
    currentPosition.m[0] = 1.0f;
    currentPosition.m[5] = 1.0f;
    currentPosition.m[10] = 1.0f;
}

RobotKinematicCartesianGantry::~RobotKinematicCartesianGantry() = default;

void RobotKinematicCartesianGantry::clone(const RobotKinematic* other) {
    RobotKinematic::clone(other);
    const auto* o = dynamic_cast<const RobotKinematicCartesianGantry*>(other);
    if (o == nullptr) {
        return;
    }
    lx = o->lx;
    ly = o->ly;
    lz = o->lz;
    dirA1 = o->dirA1;
    dirA2 = o->dirA2;
    dirA3 = o->dirA3;
    axisMatrix = o->axisMatrix;
    axisMatrixInverse = o->axisMatrixInverse;
    gantryOffset = o->gantryOffset;
    FourthAxis = o->FourthAxis;
}

void RobotKinematicCartesianGantry::Init(const std::string& name, const std::string& type, const std::string& iniPath,
                                         int velocitySetting) {
    RobotKinematic::Init(name, type, iniPath, velocitySetting);
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat("RKCartesian %s / %s  - Kinematic Data: ", name.c_str(), type.c_str());

    ReadIniFile(iniPath);

    axisMatrix = Matrix44(dirA1, dirA2, dirA3, Vector3());
    std::string inverseError;
    if (!CartesianGantryCommon::InvertAxes(axisMatrix, axisMatrixInverse, inverseError)) {
        // No Cartesian target can be solved. Mark the robot configuration as failed
        // instead of letting the start-up die on the exception.
        SetFailure(kinematicTypeName + ": axis directions are linearly dependent: " + inverseError,
                   RobotIniFailReason::NoKinematic);
    }

    CartesianGantryCommon::LogLinearAxis(1, dirA1, lx);
    CartesianGantryCommon::LogLinearAxis(2, dirA2, ly);
    CartesianGantryCommon::LogLinearAxis(3, dirA3, lz);
    log->addFormat("   Offset: %.1lf, %.1lf, %.1lf", static_cast<double>(gantryOffset.x),
                   static_cast<double>(gantryOffset.y), static_cast<double>(gantryOffset.z));
    log->add(FourthAxis ? "Fourth Axis is available" : "Fourth Axis is NOT available");
    LogJointLinesWithAcceleration(nrOfJoints);
    LogExtJointLines();
    SetMinMaxValues(jointMinMax);
    log->add(" ");
}

void RobotKinematicCartesianGantry::ReadIniFile(const std::string& path) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* robot = OpenRobotIni(doc, path, RobotIniFailReason::NotCorrect);
    if (robot == nullptr) {
        return;
    }
    if (tinyxml2::XMLElement* e = FindIniElement(robot, "Kinematic", RobotIniFailReason::NoKinematic)) {
        if (e->Attribute("FourthAxis") != nullptr) {
            ReadIniAttribute(e, "FourthAxis", FourthAxis);
            if (FourthAxis) {
                nrOfJoints = 4;
            }
        }
        ReadIniAttribute(e, "lx", lx);
        ReadIniAttribute(e, "ly", ly);
        ReadIniAttribute(e, "lz", lz);
        ReadIniAttribute(e, "xOffset", gantryOffset.x);
        ReadIniAttribute(e, "yOffset", gantryOffset.y);
        ReadIniAttribute(e, "zOffset", gantryOffset.z);
        CartesianGantryCommon::ParseDirection(e->Attribute("dirA1"), dirA1);
        CartesianGantryCommon::ParseDirection(e->Attribute("dirA2"), dirA2);
        CartesianGantryCommon::ParseDirection(e->Attribute("dirA3"), dirA3);
    }
    ReadIniJointLimits(robot, FourthAxis ? 4 : 3);
}

Matrix44 RobotKinematicCartesianGantry::FlangeRotation(float fourthAxis) const {
    Matrix44 r;
    r.m[5] = -1.0f;
    r.m[10] = -1.0f;
    if (FourthAxis) {
        // Rx(180)·Rz(-a) = Rz(a)·Rx(180): the flange x axis gets heading a.
        r.SetRotationABCDeg(-fourthAxis, 0.0, 180.0);
    }
    return r;
}

void RobotKinematicCartesianGantry::SetJoints(const float* joints, bool check) {
    float q[maxJoints];
    UserToInternal(joints, q);
    if (check) {
        CheckJoints(q);
    }
    const Vector3 p = gantryOffset + dirA1 * q[0] + dirA2 * q[1] + dirA3 * q[2];
    Matrix44 pose = FlangeRotation(q[3]);
    pose.SetTranslation(p);
    pose = Mul(pose, tool.toolMatrix);
    if (followsLinearAxes_) {
        AddLinearAxisPositionOffset(q, pose);
    }
    // The box guards the tool point, the same point SetPosition checks.
    if (check) {
        CheckVirtualBox(pose.GetTranslation(), currentPosition.GetTranslation());
    }
    currentPosition = pose;
    for (int i = 0; i < nrOfJoints; ++i) {
        currentJoints[i] = q[i];
    }
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
}

void RobotKinematicCartesianGantry::SetPosition(const Matrix44& target, float* joints) {
    CheckTargetFinite(target);
    CheckVirtualBox(target.GetTranslation(), currentPosition.GetTranslation());
    float q[maxJoints] = {};
    Matrix44 flange = Mul(target, tool.toolMatrixInverse);
    if (followsLinearAxes_) {
        SubtractLinearAxisPositionOffset(joints, flange);
    }
    const Vector3 c = axisMatrixInverse * (flange.GetTranslation() - gantryOffset);
    q[0] = c.x;
    q[1] = c.y;
    q[2] = c.z;
    if (followsLinearAxes_) {
        for (int i = extJointIndex; i < maxJoints; ++i) {
            q[i] = joints[i];
        }
    }
    if (FourthAxis) {
        // Heading of the flange x axis: the tool is mounted after the fourth axis, so its
        // own turn must not end up in the joint.
        q[3] = std::atan2(flange.m[4], flange.m[0]) * kRad2Deg;
    }
    CheckJoints(q);

    // The target's translation with the gantry's own orientation, tool included, as
    // SetJoints reports it, so that feeding the stored pose back in reaches the same joints.
    Matrix44 reached = target;
    const Matrix44 rotation = Mul(FlangeRotation(q[3]), tool.toolMatrix);
    for (int r = 0; r < 3; ++r) {
        for (int col = 0; col < 3; ++col) {
            reached.m[r * 4 + col] = rotation.m[r * 4 + col];
        }
    }
    currentPosition = reached;
    for (int i = 0; i < nrOfJoints; ++i) {
        currentJoints[i] = q[i];
    }
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
}

void RobotKinematicCartesianGantry::UpdateConfigurationFile(tinyxml2::XMLDocument* /*doc*/,
                                                            tinyxml2::XMLElement* robot) {
    tinyxml2::XMLElement* e = (robot != nullptr) ? robot->FirstChildElement("SoftwareMinMax") : nullptr;
    if (e == nullptr) {
        LogSingleton::instance()->addError(kinematicTypeName +
                                           ": line SoftwareMinMax not found in robot configuration file!");
        return;
    }
    // Written from a command thread: the limits as handed over, not the loop's fields.
    const LimitsAndBox limits = GetLimitsAndBox();
    CartesianGantryCommon::WriteSoftwareMinMax(e, limits.jointMinMax, FourthAxis ? 4 : 3);
}
