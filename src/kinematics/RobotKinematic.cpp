#include "kinematics/RobotKinematic.h"

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "core/XmlNumber.h"

#include <tinyxml2.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {

// Limits and velocities within this band count as "not set" / "standing still".
constexpr float kLimitEpsilon = 0.001f;

LogSingleton* Log() { return LogSingleton::instance(); }

}  // namespace

std::atomic<RobotKinematic::ExitFunction> RobotKinematic::exitFunction_{nullptr};

RobotKinematic::RobotKinematic() = default;

RobotKinematic::~RobotKinematic() = default;

void RobotKinematic::clone(const RobotKinematic* other) {
    robotName = other->robotName;
    robotType = other->robotType;
    kinematicTypeName = other->kinematicTypeName;
    nrOfJoints = other->nrOfJoints;
    nrOfExtJoints = other->nrOfExtJoints;
    currentPosition = other->currentPosition;
    platformPosition = other->platformPosition;
    for (int i = 0; i < maxJoints; ++i) {
        currentJoints[i] = other->currentJoints[i];
        jointVelocities[i] = other->jointVelocities[i];
        jointMinMax[i][0] = other->jointMinMax[i][0];
        jointMinMax[i][1] = other->jointMinMax[i][1];
        jointMaxVelocity[i] = other->jointMaxVelocity[i];
        jointMaxAcceleration[i] = other->jointMaxAcceleration[i];
        jointMaxAccelerationInc[i] = other->jointMaxAccelerationInc[i];
        brandTrafoJointOffsets[i] = other->brandTrafoJointOffsets[i];
        brandTrafoJointDirections[i] = other->brandTrafoJointDirections[i];
    }
    VelTrans = other->VelTrans;
    AccLin = other->AccLin;
    AccLinInc = other->AccLinInc;
    AccOri = other->AccOri;
    AccOriInc = other->AccOriInc;
    VelOri = other->VelOri;
    TCPXDirToFront = other->TCPXDirToFront;
    for (int k = 0; k < maxExtJoints; ++k) {
        extAxisPresent[k] = other->extAxisPresent[k];
        extAxisIndependent[k] = other->extAxisIndependent[k];
        extAxisOffset[k] = other->extAxisOffset[k];
        extAxisBase[k] = other->extAxisBase[k];
        extAxisDirectionAngleToY[k] = other->extAxisDirectionAngleToY[k];
    }
    zOffset = other->zOffset;
    cycleTimeMS = other->cycleTimeMS;
    virtualBoxActive = other->virtualBoxActive;
    virtualBoxMin = other->virtualBoxMin;
    virtualBoxMax = other->virtualBoxMax;
    // A copy follows what its original publishes, and the other way round.
    limitsAndBox = other->limitsAndBox;
    limitsAndBoxSeen = other->limitsAndBoxSeen;
    tool = other->tool;
}

void RobotKinematic::AdaptJointsToMotors(float* /*values*/) {}

void RobotKinematic::AdaptMotorsToJoints(float* /*values*/) {}

void RobotKinematic::Init(const std::string& name, const std::string& type, const std::string& /*iniPath*/,
                          int velocitySettingIn) {
    robotName = name;
    robotType = type;
    velocitySetting = velocitySettingIn;
}

void RobotKinematic::SetJoints(const float* /*joints*/, bool /*check*/) {}

void RobotKinematic::SetPosition(const Matrix44& target, float* /*joints*/) { CheckTargetFinite(target); }

// Nothing of its own to write: the robot control core writes the soft limits of every
// kinematic itself, so a line saying otherwise would mislead.
void RobotKinematic::UpdateConfigurationFile(tinyxml2::XMLDocument* /*doc*/, tinyxml2::XMLElement* /*robot*/) {}

void RobotKinematic::SetMinMaxValues(const float (*limits)[2]) {
    for (int i = 0; i < maxJoints; ++i) {
        // Read the pair before writing: limits may be jointMinMax itself.
        const float lo = limits[i][0];
        const float hi = limits[i][1];
        const float d = brandTrafoJointDirections[i];
        const float o = brandTrafoJointOffsets[i];
        float newMin = d * lo + o;
        float newMax = d * hi + o;
        if (newMin > newMax) {
            std::swap(newMin, newMax);
        }
        jointMinMax[i][0] = newMin;
        jointMinMax[i][1] = newMax;
    }
    PublishLimitsAndBox();
}

void RobotKinematic::GetMinMaxValues(float (*limits)[2]) const { ToUserLimits(jointMinMax, limits); }

void RobotKinematic::GetPublishedMinMaxValues(float (*limits)[2]) const {
    const LimitsAndBox published = GetLimitsAndBox();
    ToUserLimits(published.jointMinMax, limits);
}

RobotKinematic::LimitsAndBox RobotKinematic::GetLimitsAndBox() const { return limitsAndBox->Load(); }

void RobotKinematic::SetVirtualBox(bool active, const Vector3& min, const Vector3& max) {
    virtualBoxMax = max;
    virtualBoxMin = min;
    virtualBoxActive = active;
    PublishLimitsAndBox();
}

void RobotKinematic::PublishLimitsAndBox() {
    LimitsAndBox value;
    for (int i = 0; i < maxJoints; ++i) {
        value.jointMinMax[i][0] = jointMinMax[i][0];
        value.jointMinMax[i][1] = jointMinMax[i][1];
    }
    value.virtualBoxActive = virtualBoxActive;
    value.virtualBoxMin = virtualBoxMin;
    value.virtualBoxMax = virtualBoxMax;
    limitsAndBoxSeen = limitsAndBox->Store(value);
}

void RobotKinematic::RefreshLimitsAndBox() {
    const std::uint32_t version = limitsAndBox->Version();
    if (version == limitsAndBoxSeen) return;
    LimitsAndBox value;
    // A store under way: the fields keep the last whole value until the next refresh.
    if (!limitsAndBox->TryLoad(value)) return;
    for (int i = 0; i < maxJoints; ++i) {
        jointMinMax[i][0] = value.jointMinMax[i][0];
        jointMinMax[i][1] = value.jointMinMax[i][1];
    }
    virtualBoxActive = value.virtualBoxActive;
    virtualBoxMin = value.virtualBoxMin;
    virtualBoxMax = value.virtualBoxMax;
    limitsAndBoxSeen = version;
}

void RobotKinematic::ToUserLimits(const float (*internal)[2], float (*limits)[2]) const {
    for (int i = 0; i < maxJoints; ++i) {
        const float d = brandTrafoJointDirections[i];
        const float o = brandTrafoJointOffsets[i];
        if (d == 0.0f) {
            Log()->addFormat("Error while converting kinematic limits: brandTrafoJointDirections for axis %d is 0, "
                             "skipping axis",
                             i);
            continue;
        }
        float lo = (internal[i][0] - o) / d;
        float hi = (internal[i][1] - o) / d;
        if (lo > hi) {
            std::swap(lo, hi);
        }
        limits[i][0] = lo;
        limits[i][1] = hi;
    }
}

void RobotKinematic::AddExternalAxis(const ExternalAxis& axis) {
    if (nrOfExtJoints > maxExtJoints - 1) {
        Log()->add("Cannot add more then 3 External Joints!");
        return;
    }
    const int k = nrOfExtJoints;
    nrOfExtJoints += 1;
    extAxisPresent[k] = true;
    extAxisIndependent[k] = (axis.Kinematic == ExternalAxis::Independent);
    extAxisBase[k] = Vector3();
    if (!extAxisIndependent[k]) {
        extAxisBase[k].z = static_cast<float>(axis.lz0);
    }
    const int i = extJointIndex + k;
    extAxisDirectionAngleToY[k] = axis.DirectionAngleToY;
    jointMinMax[i][0] = static_cast<float>(axis.Min);
    jointMinMax[i][1] = static_cast<float>(axis.Max);
    jointMaxVelocity[i] = static_cast<float>(axis.VelMax);
    jointMaxAcceleration[i] = static_cast<float>(axis.Acc);
    jointMaxAccelerationInc[i] = static_cast<float>(axis.AccInc);
    PublishLimitsAndBox();
    Log()->addFormat("Kin: Ext%d - lz0: %.1lf  DirectionAngleToY: %d  Min: %.1lf  Max: %.1lf  -  MaxVel: %.1lf  -  "
                     "MaxAcc: %.1lf",
                     k, static_cast<double>(extAxisBase[k].z), extAxisDirectionAngleToY[k],
                     static_cast<double>(jointMinMax[i][0]), static_cast<double>(jointMinMax[i][1]),
                     static_cast<double>(jointMaxVelocity[i]), static_cast<double>(jointMaxAcceleration[i]));
}

void RobotKinematic::UserToInternal(const float* user, float* internal) const {
    for (int i = 0; i < maxJoints; ++i) {
        internal[i] = brandTrafoJointDirections[i] * user[i] + brandTrafoJointOffsets[i];
    }
}

void RobotKinematic::InternalToUser(const float* internal, float* user) const {
    for (int i = 0; i < maxJoints; ++i) {
        user[i] = brandTrafoJointDirections[i] * (internal[i] - brandTrafoJointOffsets[i]);
    }
}

void RobotKinematic::GetJoints(float* joints) const { InternalToUser(currentJoints, joints); }

void RobotKinematic::KinAdaptorToInternalFormat(float* joints, float* z) const {
    *z += zOffset;
    for (int i = 0; i < maxJoints; ++i) {
        joints[i] = brandTrafoJointDirections[i] * joints[i] + brandTrafoJointOffsets[i];
    }
}

void RobotKinematic::GetPosition(DataTypes::RobotState* state) const {
    state->pose = currentPosition;
    state->A = platformPosition.x;
    state->B = platformPosition.y;
    state->C = platformPosition.z;
}

void RobotKinematic::ResetLastJoints(const float* joints) {
    UserToInternal(joints, currentJoints);
    for (float& v : jointVelocities) {
        v = 0.0f;
    }
}

namespace {

// Joint velocity in internal units per second. Without a cycle time (a kinematic built
// without the robot loop's set-up) the step is taken over a nominal 1 ms, which keeps the
// sign that the limit rule needs and never divides by 0.
float JointVelocity(float target, float current, double cycleTimeMS) {
    const float diff = target - current;
    if (!(cycleTimeMS > 0.0)) {
        return static_cast<float>(static_cast<double>(diff) * 1000.0);
    }
    return static_cast<float>(static_cast<double>(diff) / cycleTimeMS * 1000.0);
}

}  // namespace

void RobotKinematic::CheckTargetFinite(const Matrix44& target) const {
    for (int i = 0; i < 12; ++i) {
        if (!std::isfinite(target.m[i])) {
            Log()->addFormat("Error in computation, target pose not finite: row %d column %d is %lf", i / 4, i % 4,
                             static_cast<double>(target.m[i]));
            throw KinematicError::NaNInJoint;
        }
    }
}

void RobotKinematic::CheckJoints(const float* joints) {
    for (int i = 0; i < nrOfJoints; ++i) {
        if (std::isnan(joints[i])) {
            Log()->addFormat("Error in computation, NAN in Joint %d: %lf", i, static_cast<double>(joints[i]));
            throw KinematicError::NaNInJoint;
        }
        jointVelocities[i] = JointVelocity(joints[i], currentJoints[i], cycleTimeMS);
    }
    for (int k = 0; k < nrOfExtJoints; ++k) {
        const int i = extJointIndex + k;
        if (std::isnan(joints[i])) {
            Log()->addFormat("Error in computation, NAN in Ext%d", k + 1);
            throw KinematicError::NaNInJoint;
        }
        jointVelocities[i] = JointVelocity(joints[i], currentJoints[i], cycleTimeMS);
    }

    // Only a move further out is rejected: a joint beyond a limit may stand or move back.
    auto violation = [&](int i) -> int {
        const float lo = jointMinMax[i][0];
        const float hi = jointMinMax[i][1];
        if (!(std::fabs(lo) > kLimitEpsilon || std::fabs(hi) > kLimitEpsilon)) {
            return KinematicError::None;
        }
        if (joints[i] < lo && jointVelocities[i] < -kLimitEpsilon) {
            return KinematicError::JointBelowMin;
        }
        if (joints[i] > hi && jointVelocities[i] > kLimitEpsilon) {
            return KinematicError::JointAboveMax;
        }
        return KinematicError::None;
    };

    for (int i = 0; i < nrOfJoints; ++i) {
        const int code = violation(i);
        if (code == KinematicError::None) {
            continue;
        }
        if (logLimitViolation) {
            logLimitViolation = false;
            const bool isMin = (code == KinematicError::JointBelowMin);
            Log()->addFormat(isMin ? "JointLimits Min exceeded: Nr %d requested %.1lf\xC2\xB0 allowed %.1lf\xC2\xB0, "
                                     "joint vel %.2lf"
                                   : "JointLimits Max exceeded: Nr %d requested %.1lf\xC2\xB0 allowed %.1lf\xC2\xB0, "
                                     "joint vel %.2lf",
                             i, static_cast<double>(joints[i]), static_cast<double>(jointMinMax[i][isMin ? 0 : 1]),
                             static_cast<double>(jointVelocities[i]));
        }
        throw code;
    }
    for (int k = 0; k < nrOfExtJoints; ++k) {
        const int i = extJointIndex + k;
        const int code = violation(i);
        if (code == KinematicError::None) {
            continue;
        }
        if (logLimitViolation) {
            logLimitViolation = false;
            const bool isMin = (code == KinematicError::JointBelowMin);
            Log()->addFormat(isMin ? "ExtJointLimits Min exceeded: Nr %d requested %.1lf allowed %.1lf, joint vel %.2lf"
                                   : "ExtJointLimits Max exceeded: Nr %d requested %.1lf allowed %.1lf, joint vel %.2lf",
                             k + 1, static_cast<double>(joints[i]),
                             static_cast<double>(jointMinMax[i][isMin ? 0 : 1]),
                             static_cast<double>(jointVelocities[i]));
        }
        throw code;
    }
    logLimitViolation = true;
}

int RobotKinematic::JointTargetError(const float* target, const float* from) const {
    float to[maxJoints];
    float start[maxJoints];
    UserToInternal(target, to);
    UserToInternal(from, start);
    auto error = [&](int i) -> int {
        if (std::isnan(to[i])) return KinematicError::NaNInJoint;
        const float lo = jointMinMax[i][0];
        const float hi = jointMinMax[i][1];
        if (!(std::fabs(lo) > kLimitEpsilon || std::fabs(hi) > kLimitEpsilon)) return KinematicError::None;
        // As in CheckJoints: only a move further out is refused.
        const float d = to[i] - start[i];
        if (to[i] < lo && d < -kLimitEpsilon) return KinematicError::JointBelowMin;
        if (to[i] > hi && d > kLimitEpsilon) return KinematicError::JointAboveMax;
        return KinematicError::None;
    };
    for (int i = 0; i < nrOfJoints; ++i) {
        if (const int code = error(i)) return code;
    }
    for (int k = 0; k < nrOfExtJoints; ++k) {
        if (const int code = error(extJointIndex + k)) return code;
    }
    return KinematicError::None;
}

void RobotKinematic::CheckVirtualBox(const Vector3& target, const Vector3& current) const {
    if (!virtualBoxActive) {
        return;
    }
    const float t[3] = {target.x, target.y, target.z};
    const float dir[3] = {current.x - target.x, current.y - target.y, current.z - target.z};
    const float lo[3] = {virtualBoxMin.x, virtualBoxMin.y, virtualBoxMin.z};
    const float hi[3] = {virtualBoxMax.x, virtualBoxMax.y, virtualBoxMax.z};
    static constexpr char letters[3] = {'x', 'y', 'z'};

    // Decide first, so the passing path builds no text.
    int plus[3] = {0, 0, 0};  // +1 above the box, -1 below, 0 fine
    int code = KinematicError::None;
    for (int a = 0; a < 3; ++a) {
        if (t[a] > hi[a] && dir[a] < 0.0f) {
            plus[a] = 1;
            code = KinematicError::VirtualBoxXPlus + 2 * a;
        } else if (t[a] < lo[a] && dir[a] > 0.0f) {
            plus[a] = -1;
            code = KinematicError::VirtualBoxXMinus + 2 * a;
        }
    }
    if (code == KinematicError::None) {
        return;
    }
    std::ostringstream text;
    for (int a = 0; a < 3; ++a) {
        if (plus[a] > 0) {
            text << letters[a] << ' ' << t[a] << " > " << hi[a];
        } else if (plus[a] < 0) {
            text << letters[a] << ' ' << t[a] << " < " << lo[a];
        }
    }
    Log()->add("Virtual box violated: " + text.str());
    throw code;
}

Vector3 RobotKinematic::ComputeLinearAxisPositionOffset(const float* joints) {
    Vector3 sum;
    for (int k = 0; k < nrOfExtJoints && k < maxExtJoints; ++k) {
        if (!extAxisPresent[k] || extAxisIndependent[k]) {
            continue;
        }
        const float e = joints[extJointIndex + k];
        Vector3& off = extAxisOffset[k];
        switch (extAxisDirectionAngleToY[k]) {
            case -90:
                off.x = e;
                off.y = 0.0f;
                break;
            case 90:
                off.x = -e;
                off.y = 0.0f;
                break;
            case 180:
                off.x = 0.0f;
                off.y = -e;
                break;
            default:
                off.x = 0.0f;
                off.y = e;
                break;
        }
        off.z = extAxisBase[k].z;
        sum += off;
    }
    return sum;
}

Vector3 RobotKinematic::AddLinearAxisPositionOffset(const float* joints, Matrix44& m) {
    const Vector3 v = ComputeLinearAxisPositionOffset(joints);
    m.m[3] += v.x;
    m.m[7] += v.y;
    m.m[11] += v.z;
    return v;
}

Vector3 RobotKinematic::AddLinearAxisPositionOffset(const float* joints, Vector3& p) {
    return p + ComputeLinearAxisPositionOffset(joints);
}

Vector3 RobotKinematic::SubtractLinearAxisPositionOffset(const float* joints, Matrix44& m) {
    const Vector3 v = ComputeLinearAxisPositionOffset(joints);
    m.m[3] -= v.x;
    m.m[7] -= v.y;
    m.m[11] -= v.z;
    return v;
}

Vector3 RobotKinematic::SubtractLinearAxisPositionOffset(const float* joints, Vector3& p) {
    return p - ComputeLinearAxisPositionOffset(joints);
}

namespace {

// Child named base + set number, else the plain base name.
tinyxml2::XMLElement* FindVelocityElement(tinyxml2::XMLElement* robot, const char* base, int set) {
    char name[64];
    std::snprintf(name, sizeof(name), "%s%d", base, set);
    tinyxml2::XMLElement* e = robot->FirstChildElement(name);
    if (e == nullptr) {
        e = robot->FirstChildElement(base);
    }
    return e;
}

// The numbers of the robot ini file, with the kinematic's name in front of their lines.
XmlNumber::FileNumbers IniNumbers(const std::string& kinematicTypeName) {
    return XmlNumber::FileNumbers(kinematicTypeName.empty() ? "RobotKinematic" : kinematicTypeName, "robot ini file",
                                  RobotIniFailReason::NotValid);
}

void ReadJointTable(const XmlNumber::FileNumbers& numbers, const tinyxml2::XMLElement* e, float* table) {
    char attr[16];
    for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
        std::snprintf(attr, sizeof(attr), "A%d", i + 1);
        numbers.Read(e, attr, table[i]);
    }
}

}  // namespace

void RobotKinematic::ReadIniFileVelocities(tinyxml2::XMLElement* robot) {
    if (velocitySetting < 0) {
        velocitySetting = 0;
    }
    if (robot == nullptr) {
        return;
    }
    const XmlNumber::FileNumbers numbers = IniNumbers(kinematicTypeName);
    if (tinyxml2::XMLElement* e = FindVelocityElement(robot, "JointVelocities", velocitySetting)) {
        ReadJointTable(numbers, e, jointMaxVelocity);
    } else {
        SetFailure("RobotKinematic: line JointVelocities not found in robot ini file!",
                   RobotIniFailReason::NoJointVelocities);
    }
    if (tinyxml2::XMLElement* e = FindVelocityElement(robot, "JointAccelerations", velocitySetting)) {
        ReadJointTable(numbers, e, jointMaxAcceleration);
    } else {
        SetFailure("RobotKinematic: line JointAccelerations not found in robot ini file!",
                   RobotIniFailReason::NoJointAccelerations);
    }
    if (tinyxml2::XMLElement* e = FindVelocityElement(robot, "JointAccelerationIncs", velocitySetting)) {
        ReadJointTable(numbers, e, jointMaxAccelerationInc);
    } else {
        Log()->addError("RobotKinematic: line JointAccelerationIncs not found in robot ini file!");
    }
    if (tinyxml2::XMLElement* e = FindVelocityElement(robot, "CartVelocities", velocitySetting)) {
        ReadIniAttribute(e, "VelTrans", VelTrans);
        ReadIniAttribute(e, "VelOri", VelOri);
    } else {
        Log()->addError("RobotKinematic: line CartVelocities not found in robot ini file!");
    }
    if (tinyxml2::XMLElement* e = FindVelocityElement(robot, "CartAccelerations", velocitySetting)) {
        ReadIniAttribute(e, "AccLin", AccLin);
        ReadIniAttribute(e, "AccLinInc", AccLinInc);
        ReadIniAttribute(e, "AccOri", AccOri);
        ReadIniAttribute(e, "AccOriInc", AccOriInc);
    } else {
        Log()->addError("RobotKinematic: line CartAccelerations not found in robot ini file!");
    }
}

RobotKinematic::ExitFunction RobotKinematic::SetExitFunction(ExitFunction f) { return exitFunction_.exchange(f); }

void RobotKinematic::ExitOnFatalIniFault() {
    ExitFunction f = exitFunction_.load();
    if (f != nullptr) {
        f(fatalExitStatus);
        return;
    }
    std::exit(fatalExitStatus);
}

void RobotKinematic::SetFailure(const std::string& line, const char* failReason) {
    Log()->SeriousFailure(line, failReason);
}

void RobotKinematic::ReportIniFault(const std::string& line, const char* failReason, IniFault fault) {
    if (fault == IniFault::Exit) {
        Log()->addError(line);
        ExitOnFatalIniFault();
        return;
    }
    if (failReason == nullptr) {
        Log()->addError(line);
        return;
    }
    SetFailure(line, failReason);
}

tinyxml2::XMLElement* RobotKinematic::OpenRobotIni(tinyxml2::XMLDocument& doc, const std::string& path,
                                                   const char* parseFailReason, IniFault fault) const {
    std::FILE* probe = std::fopen(path.c_str(), "r");
    if (probe == nullptr) {
        ReportIniFault(kinematicTypeName + ": could not find robot ini file: " + path, RobotIniFailReason::NotFound,
                       fault);
        return nullptr;
    }
    std::fclose(probe);
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        ReportIniFault(kinematicTypeName + ": could not read robot ini file correctly: " + path, parseFailReason,
                       fault);
        return nullptr;
    }
    tinyxml2::XMLElement* robot = doc.FirstChildElement("Robot");
    if (robot == nullptr) {
        ReportIniFault(kinematicTypeName + ": line Robot not found in robot ini file!", RobotIniFailReason::NoRobot,
                       fault);
    }
    return robot;
}

tinyxml2::XMLElement* RobotKinematic::FindIniElement(tinyxml2::XMLElement* parent, const char* name,
                                                     const char* failReason, IniFault fault, bool quoteName) const {
    if (parent == nullptr) {
        return nullptr;
    }
    tinyxml2::XMLElement* e = parent->FirstChildElement(name);
    if (e == nullptr) {
        const std::string shown = quoteName ? std::string("\"") + name + "\"" : std::string(name);
        ReportIniFault(kinematicTypeName + ": line " + shown + " not found in robot ini file!", failReason, fault);
    }
    return e;
}

bool RobotKinematic::ReadIniAttribute(const tinyxml2::XMLElement* e, const char* name, float& value) const {
    return IniNumbers(kinematicTypeName).Read(e, name, value);
}

bool RobotKinematic::ReadIniAttribute(const tinyxml2::XMLElement* e, const char* name, double& value) const {
    return IniNumbers(kinematicTypeName).Read(e, name, value);
}

bool RobotKinematic::ReadIniAttribute(const tinyxml2::XMLElement* e, const char* name, int& value) {
    return e != nullptr && e->QueryIntAttribute(name, &value) == tinyxml2::XML_SUCCESS;
}

bool RobotKinematic::ReadIniAttribute(const tinyxml2::XMLElement* e, const char* name, bool& value) {
    return e != nullptr && e->QueryBoolAttribute(name, &value) == tinyxml2::XML_SUCCESS;
}

bool RobotKinematic::ReadIniAttribute(const tinyxml2::XMLElement* e, const char* name, std::string& value) {
    const char* text = (e != nullptr) ? e->Attribute(name) : nullptr;
    if (text == nullptr) {
        return false;
    }
    value = text;
    return true;
}

void RobotKinematic::ReadIniSoftwareMinMax(const tinyxml2::XMLElement* e, int count) {
    char attr[16];
    for (int i = 0; i < count && i < maxJoints; ++i) {
        std::snprintf(attr, sizeof(attr), "A%dMin", i + 1);
        ReadIniAttribute(e, attr, jointMinMax[i][0]);
        std::snprintf(attr, sizeof(attr), "A%dMax", i + 1);
        ReadIniAttribute(e, attr, jointMinMax[i][1]);
    }
}

void RobotKinematic::ReadIniManufacturerJointConfig(const tinyxml2::XMLElement* e, int count) {
    ReadIniAttribute(e, "zOffset", zOffset);
    char attr[16];
    for (int i = 0; i < count && i < maxJoints; ++i) {
        std::snprintf(attr, sizeof(attr), "A%dOffset", i + 1);
        ReadIniAttribute(e, attr, brandTrafoJointOffsets[i]);
    }
    for (int i = 0; i < count && i < maxJoints; ++i) {
        std::snprintf(attr, sizeof(attr), "A%dDir", i + 1);
        ReadIniAttribute(e, attr, brandTrafoJointDirections[i]);
    }
}

void RobotKinematic::ReadIniJointLimits(tinyxml2::XMLElement* robot, int count) {
    if (tinyxml2::XMLElement* e = FindIniElement(robot, "SoftwareMinMax", RobotIniFailReason::NoSoftwareMinMax)) {
        ReadIniSoftwareMinMax(e, count);
    }
    ReadIniFileVelocities(robot);
}

void RobotKinematic::ReadIniJointLimitsAndConfig(tinyxml2::XMLElement* robot, int count) {
    ReadIniJointLimits(robot, count);
    if (tinyxml2::XMLElement* e =
            FindIniElement(robot, "ManufacturerJointConfig", RobotIniFailReason::NoManufacturerJointConfig)) {
        ReadIniManufacturerJointConfig(e, count);
    }
}

void RobotKinematic::ReadIniSingularities(tinyxml2::XMLElement* robot, float& center, float& ellbow) const {
    if (const tinyxml2::XMLElement* e =
            FindIniElement(robot, "SINGULARITIES", RobotIniFailReason::Incomplete59, IniFault::FailReason, true)) {
        ReadIniAttribute(e, "Center", center);
        ReadIniAttribute(e, "Ellbow", ellbow);
    }
}

void RobotKinematic::LogJointLines(int count) const {
    for (int i = 0; i < count && i < maxJoints; ++i) {
        Log()->addFormat("   Joint %d: Min %.1lf Max %.1lf MaxVel %.1lf JointOffset %.1lf JointDirection %.1lf", i,
                         static_cast<double>(jointMinMax[i][0]), static_cast<double>(jointMinMax[i][1]),
                         static_cast<double>(jointMaxVelocity[i]), static_cast<double>(brandTrafoJointOffsets[i]),
                         static_cast<double>(brandTrafoJointDirections[i]));
    }
}

void RobotKinematic::LogJointLinesWithAcceleration(int count) const {
    for (int i = 0; i < count && i < maxJoints; ++i) {
        Log()->addFormat("   Joint %d:  Min %.1lf  Max %.1lf   MaxVel %.1lf   MaxAcc %.1lf   JointOffset %.1lf   "
                         "JointDirection %.1lf",
                         i, static_cast<double>(jointMinMax[i][0]), static_cast<double>(jointMinMax[i][1]),
                         static_cast<double>(jointMaxVelocity[i]), static_cast<double>(jointMaxAcceleration[i]),
                         static_cast<double>(brandTrafoJointOffsets[i]),
                         static_cast<double>(brandTrafoJointDirections[i]));
    }
}

void RobotKinematic::LogJointLinesAndConvertLimits(int count) {
    LogJointLines(count);
    LogExtJointLines();
    SetMinMaxValues(jointMinMax);
}

void RobotKinematic::SetStartJointsRightAngledElbow(const float* start) {
    for (int i = 0; i < maxJoints; ++i) {
        currentJoints[i] = start[i];
        brandTrafoJointOffsets[i] = 0.0f;
        brandTrafoJointDirections[i] = 1.0f;
    }
    brandTrafoJointOffsets[2] = 90.0f;
    zOffset = 0.0f;
}

void RobotKinematic::StoreJoints(const float* q) {
    for (int i = 0; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
}

void RobotKinematic::LogExtJointLines() const {
    for (int k = 0; k < nrOfExtJoints && k < maxExtJoints; ++k) {
        const int i = extJointIndex + k;
        Log()->addFormat("   ExtJoint %d: Min %.1lf Max %.1lf MaxVel %.1lf JointOffset %.1lf JointDirection %.1lf", k,
                         static_cast<double>(jointMinMax[i][0]), static_cast<double>(jointMinMax[i][1]),
                         static_cast<double>(jointMaxVelocity[i]), static_cast<double>(brandTrafoJointOffsets[i]),
                         static_cast<double>(brandTrafoJointDirections[i]));
    }
}

void RobotKinematic::LogOnce(bool& logged, const std::string& text) {
    if (logged) {
        return;
    }
    logged = true;
    Log()->add(text);
}
