#include "kinematics/RobotKinematicCartesian2Axis.h"

#include "core/LogSingleton.h"
#include "kinematics/CartesianGantryCommon.h"

#include <tinyxml2.h>

#include <cstdio>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

// a·b in ordinary product order (Matrix44::operator* multiplies the other way round).
Matrix44 Mul(const Matrix44& a, const Matrix44& b) { return b * a; }

}  // namespace

RobotKinematicCartesian2Axis::RobotKinematicCartesian2Axis(const Variant& variant) : variant_(&variant) {
    nrOfJoints = 2;
    kinematicTypeName = variant.typeName;
    for (int i = 0; i < maxJoints; ++i) {
        jointMaxVelocity[i] = 100.0f;
        jointMaxAcceleration[i] = 100.0f;
        jointMaxAccelerationInc[i] = 100.0f;
    }
    AccLin = 1000.0;
    AccLinInc = 2000.0;
    const float limits[maxJoints][2] = {{-5.0f, 500.0f},     {-5.0f, 500.0f},    {-5.0f, 300.0f},
                                        {-179.5f, 179.5f},   {0.0f, 0.0f},       {0.0f, 0.0f},
                                        {-179.5f, 179.5f},   {-179.5f, 179.5f},  {-179.5f, 179.5f}};
    for (int i = 0; i < maxJoints; ++i) {
        jointMinMax[i][0] = limits[i][0];
        jointMinMax[i][1] = limits[i][1];
    }
    for (int i = 0; i < 4; ++i) {
        currentJoints[i] = 0.0f;
    }
    currentPosition = Matrix44();
}

RobotKinematicCartesian2Axis::~RobotKinematicCartesian2Axis() = default;

void RobotKinematicCartesian2Axis::clone(const RobotKinematic* other) {
    RobotKinematic::clone(other);
    const auto* o = dynamic_cast<const RobotKinematicCartesian2Axis*>(other);
    if (o == nullptr) {
        return;
    }
    lx = o->lx;
    ly = o->ly;
    lz = o->lz;
    dirA1 = o->dirA1;
    dirA2 = o->dirA2;
    axisMatrix = o->axisMatrix;
    axisMatrixInverse = o->axisMatrixInverse;
    gantryOffset = o->gantryOffset;
}

void RobotKinematicCartesian2Axis::Init(const std::string& name, const std::string& type, const std::string& iniPath,
                                        int velocitySetting) {
    RobotKinematic::Init(name, type, iniPath, velocitySetting);
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat(variant_->initHeader, name.c_str(), type.c_str());

    ReadIniFile(iniPath);

    axisMatrix = Matrix44(dirA1, dirA2, variant_->undrivenDirection, Vector3());
    std::string inverseError;
    if (!CartesianGantryCommon::InvertAxes(axisMatrix, axisMatrixInverse, inverseError)) {
        // No Cartesian target can be solved. Mark the robot configuration as failed
        // instead of letting the start-up die on the exception.
        SetFailure(kinematicTypeName + ": axis directions are linearly dependent: " + inverseError,
                   RobotIniFailReason::NoKinematic);
    }

    CartesianGantryCommon::LogLinearAxis(1, dirA1, lx);
    CartesianGantryCommon::LogLinearAxis(2, dirA2, ly);
    LogJointLinesWithAcceleration(nrOfJoints);
    LogExtJointLines();
    SetMinMaxValues(jointMinMax);
    log->add(" ");
}

void RobotKinematicCartesian2Axis::ReadIniFile(const std::string& path) {
    std::FILE* probe = std::fopen(path.c_str(), "r");
    if (probe == nullptr) {
        SetFailure(std::string(variant_->missingFilePrefix) + ": could not find robot ini file: " + path,
                   RobotIniFailReason::NotFound);
        return;
    }
    std::fclose(probe);

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* robot = OpenRobotIni(doc, path, RobotIniFailReason::NotCorrect);
    if (robot == nullptr) {
        return;
    }
    if (tinyxml2::XMLElement* e = FindIniElement(robot, "Kinematic", RobotIniFailReason::NoKinematic)) {
        ReadIniAttribute(e, "xOffset", gantryOffset.x);
        ReadIniAttribute(e, "yOffset", gantryOffset.y);
        ReadIniAttribute(e, "zOffset", gantryOffset.z);
        ReadIniAttribute(e, "lx", lx);
        ReadIniAttribute(e, "ly", ly);
        ReadIniAttribute(e, "lz", lz);
        CartesianGantryCommon::ParseDirection(e->Attribute("dirA1"), dirA1);
        CartesianGantryCommon::ParseDirection(e->Attribute("dirA2"), dirA2);
    }
    ReadIniJointLimits(robot, variant_->limitJoints);
}

Matrix44 RobotKinematicCartesian2Axis::ForwardPose(const float* q) {
    const Vector3 p = gantryOffset + dirA1 * q[0] + dirA2 * q[1];
    Matrix44 pose;
    pose.m[0] = variant_->diagonal[0];
    pose.m[5] = variant_->diagonal[1];
    pose.m[10] = variant_->diagonal[2];
    pose.SetTranslation(p);
    pose = Mul(pose, tool.toolMatrix);
    AddLinearAxisPositionOffset(q, pose);
    return pose;
}

void RobotKinematicCartesian2Axis::SetJoints(const float* joints, bool check) {
    float q[maxJoints];
    UserToInternal(joints, q);
    if (check) {
        CheckJoints(q);
    }
    const Matrix44 pose = ForwardPose(q);
    // The box guards the tool point, the same point SetPosition checks.
    if (check) {
        CheckVirtualBox(pose.GetTranslation(), currentPosition.GetTranslation());
    }
    currentPosition = pose;
    currentJoints[0] = q[0];
    currentJoints[1] = q[1];
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
}

void RobotKinematicCartesian2Axis::SetPosition(const Matrix44& target, float* joints) {
    CheckTargetFinite(target);
    CheckVirtualBox(target.GetTranslation(), currentPosition.GetTranslation());
    float q[maxJoints] = {};
    Matrix44 flange = Mul(target, tool.toolMatrixInverse);
    SubtractLinearAxisPositionOffset(joints, flange);

    // Project along the undriven base axis onto the driven plane.
    flange.m[variant_->undrivenAxis * 4 + 3] = 0.0f;

    const Vector3 c = axisMatrixInverse * (flange.GetTranslation() - gantryOffset);
    q[0] = c.x;
    q[1] = c.y;
    for (int i = extJointIndex; i < maxJoints; ++i) {
        q[i] = joints[i];
    }
    CheckJoints(q);

    // The pose the solved joints reach, as SetJoints reports it: the tool, the gantry
    // offset and the linear axes keep their share of the undriven coordinate, and the
    // stored pose fed back in reaches the same joints.
    currentPosition = ForwardPose(q);
    currentJoints[0] = q[0];
    currentJoints[1] = q[1];
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
}

void RobotKinematicCartesian2Axis::UpdateConfigurationFile(tinyxml2::XMLDocument* /*doc*/,
                                                           tinyxml2::XMLElement* robot) {
    tinyxml2::XMLElement* e = (robot != nullptr) ? robot->FirstChildElement("SoftwareMinMax") : nullptr;
    if (e == nullptr) {
        LogSingleton::instance()->addError(kinematicTypeName +
                                           ": line SoftwareMinMax not found in robot configuration file!");
        return;
    }
    // Written from a command thread: the limits as handed over, not the loop's fields.
    const LimitsAndBox limits = GetLimitsAndBox();
    CartesianGantryCommon::WriteSoftwareMinMax(e, limits.jointMinMax, variant_->limitJoints);
}
