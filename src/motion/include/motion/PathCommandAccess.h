#pragma once

// The planners plan program commands, but the command classes live in the program layer
// above this one. They reach a command only through this interface, which the
// interpreter implements by forwarding to the command's own members, so the motion
// layer needs nothing but the forward declaration below.

#include "core/RobotState.h"

#include <string>

class Command;
class CircleParameters;

// The motion values of a command as the joint-space planner reads them.
struct PathCommandMotion {
    float velJointPercent = 0.0f;  // percent of each joint's maximum
    float velCartesian = 0.0f;     // mm/s
    float velRotation = 0.0f;      // degrees/s
    float accPercent = 0.0f;
    float smoothPercent = 0.0f;
};

class PathCommandAccess {
public:
    virtual ~PathCommandAccess() = default;

    // 0 joint motion, 1 Cartesian motion, 2 logic.
    virtual int GetCommandType(const Command& command) const = 0;
    // "CommandJoint", "CommandLinear", "CommandCircular", ...
    virtual const std::string& GetClassName(const Command& command) const = 0;
    virtual PathCommandMotion GetMotion(const Command& command) const = 0;
    // One interpolation step of the command (the command's own result contract).
    virtual int Interpolate(Command& command, int cycleMs, float overridePercent,
                            DataTypes::RobotState* state) const = 0;
    // Target of a motion command with its velocity, acceleration and smoothing.
    virtual void GetTargetPosition(Command& command, DataTypes::RobotState* current,
                                   DataTypes::RobotState* target, float& velCartesianOut,
                                   float& velJointPercentOut, float& accPercentOut,
                                   float& smoothPercentOut) const = 0;
    // The circle that a circular command's GetTargetPosition has just computed; nullptr
    // for every other command.
    virtual const CircleParameters* GetCircle(const Command& command) const = 0;
};
