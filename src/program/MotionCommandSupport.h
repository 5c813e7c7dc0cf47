#pragma once

// Shared checks and small helpers of the motion commands (Joint, Linear, Relative,
// Circular) and of the commands that write targets (Camera, Plugin).

#include "core/RobotState.h"
#include "program/ProgramMemory.h"

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

}  // namespace MotionCommandSupport
