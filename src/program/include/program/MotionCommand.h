#pragma once

#include "program/BooleanLogicParserFrontend.h"
#include "program/Command.h"

#include <string>

// What the moves Joint, Linear and Relative share: the interpreter's offsets and the abort
// condition. InterpolateLogic touches only the abort parser, so it may run while
// Interpolate moves the same command.
class MotionCommand : public Command {
public:
    const float* jointOffsets = nullptr;      // the interpreter's 9 joint offsets; null = none
    const float* cartesianOffsets = nullptr;  // x, y, z, a, b, c; null = none
    std::string abortCondition;

    // The successor once the abort condition holds, else ResultNotFinished.
    int InterpolateLogic(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* state) override {
        abortParser.SetExpression(abortCondition);
        return abortParser.GetCurrentResult(memory, state) ? nextSuccessor : ResultNotFinished;
    }

protected:
    BooleanLogicParserFrontend abortParser;
};

// A target given by numbers in the file or read from a position variable at run time.
struct VariableTarget {
    std::string source = "numerical";  // "numerical" or "variable"
    std::string variableName;          // lower case

    bool IsVariableSource() const { return source == "variable"; }
};
