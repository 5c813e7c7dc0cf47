#pragma once

#include "core/Vector3.h"
#include "motion/CircleParameters.h"
#include "program/BooleanLogicParserFrontend.h"
#include "program/Command.h"

#include <memory>
#include <string>

// Program element "Circular": the tool centre point runs along the circle from the current
// position through the help point to the end point (or by a given angle on that circle),
// while the orientation and the external axes move toward their programmed values.
class CommandCircular : public Command {
public:
    DataTypes::Vector3 endPoint;     // "p2x", "p2y", "p2z"
    DataTypes::Vector3 helpPoint;    // "p1x", "p1y", "p1z"
    DataTypes::Vector3 orientation;  // A, B, C in degrees
    DataTypes::Vector3 externalAxes;
    bool variableSource = false;
    std::string helpVariableName = "Position1";
    std::string endVariableName = "Position2";
    bool useAngle = false;
    double angle = 0.0;  // degrees
    std::string abortCondition = "false";
    std::shared_ptr<CircleParameters> circle;
    double angleStep = 0.0;     // rad per cycle
    double currentAngle = 0.0;  // rad
    double rotationStep = 0.0;  // degrees per cycle
    DataTypes::Vector3 externalStep;  // per cycle
    DataTypes::Vector3 startExternalAxes;
    DataTypes::Vector3 rotationAxis;

    CommandCircular();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Circular" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // One cycle along the arc. The first cycle builds the circle from the current position
    // and plans the steps; if that throws, the next call starts over.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    int InterpolateLogic(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    // Also (re)computes the command's circle for the planner's circular element.
    void GetTargetPosition(DataTypes::RobotState* current, DataTypes::RobotState* target, float& velCartesianOut,
                           float& velJointPercentOut, float& accPercentOut, float& smoothPercentOut) override;

    // Replaces the circle: by the given angle when useAngle is set, else through the points.
    void CalculateCircleParameters(const DataTypes::Vector3& start, const DataTypes::Vector3& help,
                                   const DataTypes::Vector3& end);

private:
    struct Targets {
        DataTypes::Vector3 help;
        DataTypes::Vector3 end;
        DataTypes::Vector3 orientation;
        DataTypes::Vector3 externalAxes;
    };
    // Help and end point, orientation and external axes from the fields or the variables.
    Targets ResolveTargets();
    void PlanSteps(const DataTypes::RobotState& state, const Targets& targets, int cycleMs, float overridePercent);

    BooleanLogicParserFrontend abortParser;
};
