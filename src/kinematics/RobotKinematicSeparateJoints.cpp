#include "kinematics/RobotKinematicSeparateJoints.h"

#include "core/LogSingleton.h"

#include <tinyxml2.h>

RobotKinematicSeparateJoints::RobotKinematicSeparateJoints(const char* className, const char* logHeader)
    : logHeader_(logHeader) {
    kinematicTypeName = className;
    nrOfJoints = 5;
    for (int i = 0; i < maxJoints; ++i) {
        currentJoints[i] = 0.0f;
        brandTrafoJointOffsets[i] = 0.0f;
        brandTrafoJointDirections[i] = 1.0f;
    }
}

RobotKinematicSeparateJoints::~RobotKinematicSeparateJoints() = default;

void RobotKinematicSeparateJoints::Init(const std::string& name, const std::string& type,
                                        const std::string& iniPath, int velocitySetting) {
    RobotKinematic::Init(name, type, iniPath, velocitySetting);
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat(logHeader_, name.c_str(), type.c_str());

    for (int i = 0; i < maxJoints; ++i) {
        jointMaxVelocity[i] = 20.0f;
        jointMaxAcceleration[i] = 100.0f;
        jointMinMax[i][0] = -100.0f;
        jointMinMax[i][1] = 100.0f;
    }
    AccLin = 1000.0;
    AccLinInc = 2000.0;

    ReadIniFile(iniPath);

    for (int i = 0; i < maxRobotJoints; ++i) {
        log->addFormat("   Joint %d: Min %.1lf Max %.1lf MaxVel %.1lf JointOffset %.1lf JointDirection %.1lf", i,
                       static_cast<double>(jointMinMax[i][0]), static_cast<double>(jointMinMax[i][1]),
                       static_cast<double>(jointMaxVelocity[i]), static_cast<double>(brandTrafoJointOffsets[i]),
                       static_cast<double>(brandTrafoJointDirections[i]));
    }
    for (int k = 0; k < nrOfExtJoints; ++k) {
        const int i = extJointIndex + k;
        log->addFormat("   ExtJoint %d: Min %.1lf Max %.1lf MaxVel %.1lf JointOffset %.1lf JointDirection %.1lf", k,
                       static_cast<double>(jointMinMax[i][0]), static_cast<double>(jointMinMax[i][1]),
                       static_cast<double>(jointMaxVelocity[i]), static_cast<double>(brandTrafoJointOffsets[i]),
                       static_cast<double>(brandTrafoJointDirections[i]));
    }
    SetMinMaxValues(jointMinMax);
    log->add(" ");
}

void RobotKinematicSeparateJoints::ReadIniFile(const std::string& path) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* robot = OpenRobotIni(doc, path, RobotIniFailReason::NotCorrect);
    if (robot == nullptr) {
        return;
    }
    if (tinyxml2::XMLElement* bus = FindIniElement(robot, "BusConfiguration", RobotIniFailReason::Incomplete59)) {
        if (tinyxml2::XMLElement* joints = FindIniElement(bus, "Joints", RobotIniFailReason::Incomplete60)) {
            int count = nrOfJoints;
            ReadIniAttribute(joints, "NrOfJoints", count);
            // The joint tables hold six robot joints; more would run into the external axes
            // and beyond the arrays.
            if (count >= minJointCount && count <= maxJointCount) {
                nrOfJoints = count;
            } else {
                SetFailure(kinematicTypeName + ": attribute NrOfJoints " + std::to_string(count) +
                               " out of range 1..6 in robot ini file!",
                           RobotIniFailReason::Incomplete60);
            }
        }
    }
    if (tinyxml2::XMLElement* limits = FindIniElement(robot, "SoftwareMinMax", RobotIniFailReason::NoSoftwareMinMax)) {
        ReadIniSoftwareMinMax(limits, maxRobotJoints);
    }
    ReadIniFileVelocities(robot);
}

void RobotKinematicSeparateJoints::SetJoints(const float* joints, bool check) {
    float internal[maxJoints];
    UserToInternal(joints, internal);
    if (check) {
        CheckJoints(internal);
    }
    for (int i = 0; i < maxJoints; ++i) {
        currentJoints[i] = internal[i];
    }
}

void RobotKinematicSeparateJoints::SetPosition(const DataTypes::Matrix44& target, float* /*joints*/) {
    // Nothing to solve, but a non-finite set-point still means a failed computation.
    CheckTargetFinite(target);
}
