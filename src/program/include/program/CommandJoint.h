#pragma once

#include "program/BooleanLogicParserFrontend.h"
#include "program/Command.h"

#include <string>

// Program element "Joint": a synchronous move in joint space. All joints arrive together;
// the leading joint runs at its maximum velocity scaled by the velocity percent and the
// override.
//
// Interpolate (robot loop or joint-space planning thread) and InterpolateLogic (robot loop)
// may run at the same time on one command: Interpolate touches only the motion members,
// InterpolateLogic only the abort parser.
class CommandJoint : public Command {
public:
    std::string abortCondition = "false";
    DataTypes::RobotState target;           // set-point joints = programmed joints
    DataTypes::RobotState effectiveTarget;  // target plus the joint offsets, per run
    float step = 0.0f;                      // leading joint's share of its maximum per cycle
    float increments[maxJoints] = {};
    float leadingRatio = 0.0f;
    const float* jointOffsets = nullptr;      // the interpreter's 9 offsets; null = none
    const float* cartesianOffsets = nullptr;  // not used by this class
    std::string source = "numerical";         // "numerical" or "variable"
    std::string variableName;                 // lower case

    CommandJoint();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Joint" line: the joints (numerical) or the variable name, the motion
    // parameters and the abort condition.
    void WriteXML(std::ofstream* out, int number) override;
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    int InterpolateLogic(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    // The target without offsets; std::invalid_argument for a non-finite joint or motion value.
    void GetTargetPosition(DataTypes::RobotState* current, DataTypes::RobotState* target,
                           float& velCartesianOut, float& velJointPercentOut, float& accPercentOut,
                           float& smoothPercentOut) override;
    // "Command Joint  - Pre: <p> - Succ: <next> <body> <else>", not logged.
    std::string ToString() override;

    bool IsVariableSource() const { return source == "variable"; }

private:
    BooleanLogicParserFrontend abortParser;
};
