#pragma once

// Shared checks and small helpers of the motion commands (Joint, Linear, Relative,
// Circular) and of the commands that write targets (Camera, Plugin).

#include "ElementWriter.h"
#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "program/MotionCommand.h"
#include "program/ProgramMemory.h"

#include <tinyxml2.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace MotionCommandSupport {

// Names of the nine joint set-points in program files.
inline const char* JointName(int j) {
    static const char* const names[9] = {"a1", "a2", "a3", "a4", "a5", "a6", "e1", "e2", "e3"};
    return (j >= 0 && j < 9) ? names[j] : "?";
}

// A NaN or infinite target or velocity must never reach a kinematic: it throws
// std::invalid_argument naming the command class, the value and, for a target taken from
// a program variable, that variable.
[[noreturn]] inline void ThrowNotFinite(const std::string& className, const char* what,
                                        const std::string& variable) {
    std::string text = className + ": " + what;
    if (!variable.empty()) {
        text += " of variable \"" + variable + "\"";
    }
    text += " is not a finite number";
    throw std::invalid_argument(text);
}

inline void RequireFinite(const std::string& className, const char* what, float value,
                          const std::string& variable = std::string()) {
    if (!std::isfinite(value)) {
        ThrowNotFinite(className, what, variable);
    }
}

// A target variable must hold a position: a number variable carries an empty state, and a
// move to it would drive the robot toward all-zero joints or the base origin.
inline void RequirePositionVariable(const std::string& className, const Programs::MemoryPosition& variable) {
    if (variable.type != Programs::MemoryPosition::TypePosition) {
        throw std::invalid_argument(className + ": variable \"" + variable.name + "\" is not a position variable");
    }
}

// A variable that receives a number (a model class, a counter) must hold one: a position
// would take the value unseen, and the program would never read it as a number.
inline void RequireNumberVariable(const std::string& className, const Programs::MemoryPosition& variable) {
    if (variable.type != Programs::MemoryPosition::TypeNumber) {
        throw std::invalid_argument(className + ": variable \"" + variable.name + "\" is not a number variable");
    }
}

// Joints first..last (inclusive) of the nine set-points.
inline void RequireFiniteJoints(const std::string& className, const float* joints, int first, int last,
                                const std::string& variable = std::string()) {
    for (int j = first; j <= last; ++j) {
        if (!std::isfinite(joints[j])) {
            const std::string what = std::string("target ") + JointName(j);
            ThrowNotFinite(className, what.c_str(), variable);
        }
    }
}

// Translation, A, B, C and the external axes of a Cartesian target.
inline void RequireFiniteCartesian(const std::string& className, const DataTypes::RobotState& s,
                                   const std::string& variable = std::string()) {
    const float values[6] = {s.pose.m[3], s.pose.m[7], s.pose.m[11], s.A, s.B, s.C};
    static const char* const names[6] = {"target x", "target y", "target z",
                                         "target a", "target b", "target c"};
    for (int i = 0; i < 6; ++i) {
        if (!std::isfinite(values[i])) {
            ThrowNotFinite(className, names[i], variable);
        }
    }
    RequireFiniteJoints(className, s.jointSet, 6, 8, variable);
}

// x / cycles, or 0 when the cycle count is 0, negative or not finite (a quantity with
// nothing to do, or a velocity of 0): the steps never become NaN.
// The external axis (e1..e3) that needs the longest time at its own maximum velocity.
struct SlowestExternalAxis {
    double time = 0.0;
    double distance = 0.0;
    double maxVel = 0.0;
};
inline SlowestExternalAxis FindSlowestExternalAxis(const float* target, const float* current,
                                                   const float* maxVelocities, int jointCount) {
    SlowestExternalAxis slowest;
    for (int i = 6; i < jointCount; ++i) {
        const double maxVel = maxVelocities[i];
        if (maxVel > 0.0) {
            const double distance = std::fabs(static_cast<double>(target[i]) - current[i]);
            const double t = distance / maxVel;
            if (t > slowest.time) {
                slowest = {t, distance, maxVel};
            }
        }
    }
    return slowest;
}

inline double Share(double x, double cycles) {
    return (std::isfinite(cycles) && cycles > 0.0) ? x / cycles : 0.0;
}

// The fields a motion target carries: pose, A, B, C and the nine set-point joints.
// Cheaper than a whole state copy and never allocates.
inline void CopyPose(const DataTypes::RobotState& from, DataTypes::RobotState& to) {
    to.pose = from.pose;
    to.A = from.A;
    to.B = from.B;
    to.C = from.C;
    for (int j = 0; j < 9; ++j) {
        to.jointSet[j] = from.jointSet[j];
    }
}

// The position variable `name` of the command's program memory; throws as
// GetVariableFromProgramMemory and RequirePositionVariable do.
inline Programs::MemoryPosition TargetVariable(Command& command, const std::string& name) {
    Programs::MemoryPosition variable;
    command.GetVariableFromProgramMemory(name, &variable);
    RequirePositionVariable(command.className, variable);
    return variable;
}

// The two variables a vision command (Camera, Plugin) fills: a position and a model class.
struct FoundTarget {
    Programs::MemoryPosition target;
    Programs::MemoryPosition modelClass;

    // Both read and checked; throws as GetVariableFromProgramMemory and the Require checks do.
    FoundTarget(Command& command, const std::string& targetName, const std::string& modelClassName) {
        command.GetVariableFromProgramMemory(targetName, &target);
        command.GetVariableFromProgramMemory(modelClassName, &modelClass);
        RequirePositionVariable(command.className, target);
        RequireNumberVariable(command.className, modelClass);
    }

    // Stores the found position, orientation (A, B, C) and model class.
    void Store(Programs::ProgramMemory& memory, const DataTypes::Vector3& position,
               const DataTypes::Vector3& orientation, int model) {
        DataTypes::RobotState& pose = target.state;
        pose.A = orientation.x;
        pose.B = orientation.y;
        pose.C = orientation.z;
        pose.UpdateMatrixFromABC();
        pose.pose.SetTranslation(position);
        memory.SetVariable(target, Programs::ContentCartesian);
        modelClass.value = model;
        memory.SetVariable(modelClass, Programs::ContentNumber);
    }
};

// The "AbortCondition" every move needs; null (command invalid, logged) without it.
inline const char* ReadAbortAttribute(const tinyxml2::XMLElement& e, Command& command) {
    const char* abort = e.Attribute("AbortCondition");
    if (abort == nullptr) {
        command.valid = false;
        LogSingleton::instance()->addError("Could not read " + command.className + ", incomplete arguments");
    }
    return abort;
}

// "Source" in lower case, "numerical" when absent; false for any other value.
inline bool ReadSource(const tinyxml2::XMLElement& e, VariableTarget& target) {
    const char* src = e.Attribute("Source");
    target.source = Programs::ToLowerCase(src != nullptr ? src : "numerical");
    return target.source == "numerical" || target.source == "variable";
}

// "VariableName" in lower case; false without one.
inline bool ReadVariableName(const tinyxml2::XMLElement& e, VariableTarget& target) {
    const char* name = e.Attribute("VariableName");
    if (name == nullptr) {
        return false;
    }
    target.variableName = Programs::ToLowerCase(name);
    return true;
}

// The attributes that close every move's line, in file order.
inline void EndMotionLine(ElementWriter::Line& line, const MotionCommand& command) {
    line.Number("acc", command.accPercent).Number("smooth", command.smoothPercent);
    line.Text("AbortCondition", command.abortCondition);
    line.End(command);
}

// Checks acceleration and smoothing, then hands out the motion values of a move.
inline void HandOutMotionValues(const Command& command, float& velCartesianOut, float& velJointPercentOut,
                                float& accPercentOut, float& smoothPercentOut) {
    RequireFinite(command.className, "acc", command.accPercent);
    RequireFinite(command.className, "smooth", command.smoothPercent);
    velCartesianOut = command.UsedVelCartesian();
    velJointPercentOut = command.velJointPercent;
    accPercentOut = command.accPercent;
    smoothPercentOut = command.smoothPercent;
}

}  // namespace MotionCommandSupport
