#pragma once

#include "program/MotionCommand.h"

#include <string>

// Program element "Joint": a synchronous move in joint space. All joints arrive together;
// the leading joint runs at its maximum velocity scaled by the velocity percent and the
// override. Interpolate runs on the robot loop or the joint-space planning thread; the
// cartesian offsets are not used by this class.
class CommandJoint : public MotionCommand, public VariableTarget {
public:
    DataTypes::RobotState target;           // set-point joints = programmed joints
    DataTypes::RobotState effectiveTarget;  // target plus the joint offsets, per run
    float step = 0.0f;                      // leading joint's share of its maximum per cycle
    float increments[maxJoints] = {};
    float leadingRatio = 0.0f;

    CommandJoint();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Joint" line: the joints (numerical) or the variable name, the motion
    // parameters and the abort condition.
    void WriteXML(std::ofstream* out, int commandCount) override;
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    // The target without offsets; std::invalid_argument for a non-finite joint or motion value.
    void GetTargetPosition(DataTypes::RobotState* current, DataTypes::RobotState* target,
                           float& velCartesianOut, float& velJointPercentOut, float& accPercentOut,
                           float& smoothPercentOut) override;
    // "Command Joint  - Pre: <p> - Succ: <next> <body> <else>", not logged.
    std::string ToString() override;
};
