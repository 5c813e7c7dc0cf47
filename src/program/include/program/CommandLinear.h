#pragma once

#include "core/Vector3.h"
#include "program/MotionCommand.h"

#include <string>

// Program element "Linear": a straight Cartesian move of the tool centre point while the
// orientation turns about one axis and the external axes move, all ending together.
class CommandLinear : public MotionCommand, public VariableTarget {
public:
    DataTypes::RobotState target;      // pose, A, B, C and external axes (set-points 6..8)
    DataTypes::RobotState effectiveTarget;  // target plus the offsets, per run
    float lastOverride = 0.0f;              // percent
    float translationStep = 0.0f;           // mm per cycle
    float rotationStep = 0.0f;              // degrees per cycle
    float externalStep = 0.0f;              // per cycle
    DataTypes::Vector3 rotationAxis;
    float remainingRotation = 0.0f;  // degrees

    CommandLinear();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Linear" line: the target (numerical) or the variable name, velocity,
    // acceleration, smoothing and the abort condition.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // One cycle toward the target. The first cycle builds the target from the variable and
    // the offsets; steps are planned then and again whenever the override changes.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    // The target without offsets; std::invalid_argument for a non-finite target or motion value.
    void GetTargetPosition(DataTypes::RobotState* current, DataTypes::RobotState* target,
                           float& velCartesianOut, float& velJointPercentOut, float& accPercentOut,
                           float& smoothPercentOut) override;

private:
    void BuildEffectiveTarget(const DataTypes::RobotState& state);
    void PlanSteps(const DataTypes::RobotState& state, int cycleMs, float overridePercent);
};
