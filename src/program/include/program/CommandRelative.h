#pragma once

#include "program/MotionCommand.h"

#include <string>

// Program element "Relative": a move by a given distance from wherever the robot stands,
// in joint space, in the base frame or in the tool frame. The orientation never changes
// and no program offset applies: the offsets of the base stay unused.
class CommandRelative : public MotionCommand {
public:
    enum FrameMode { FrameJoint = 0, FrameBase = 1, FrameTool = 2 };

    float lastOverride = 0.0f;  // percent
    float jointStep = 0.0f;
    float increments[maxJoints] = {};
    float leadingRatio = 0.0f;
    float arrivalThreshold = 0.0f;
    float translationStep = 0.0f;  // mm per cycle
    float externalStep = 0.0f;     // per cycle
    int frameMode = FrameBase;
    DataTypes::RobotState delta;   // translation = Cartesian distance, set-points = joint distances
    DataTypes::RobotState target;  // built on the first cycle of each run

    CommandRelative();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Relative" line in the command's frame ("joint", "cartbase", "carttool").
    void WriteXML(std::ofstream* out, int commandCount) override;
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    // The current state moved by the distance; std::invalid_argument for a non-finite
    // target or motion value.
    void GetTargetPosition(DataTypes::RobotState* current, DataTypes::RobotState* target,
                           float& velCartesianOut, float& velJointPercentOut, float& accPercentOut,
                           float& smoothPercentOut) override;

    int InterpolateJoint(int cycleMs, float overridePercent, DataTypes::RobotState* state);
    int InterpolateLinear(int cycleMs, float overridePercent, DataTypes::RobotState* state);

private:
    // current moved by the distance (nonexistent joints of the distance count as 0).
    void MoveByDelta(const DataTypes::RobotState& current, DataTypes::RobotState* out) const;
    void CheckTarget(const DataTypes::RobotState& t) const;
    void PlanLinearSteps(const DataTypes::RobotState& state, int cycleMs, float overridePercent);
};
