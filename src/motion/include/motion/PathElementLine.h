#pragma once

#include "motion/PathBasicCurve.h"
#include "motion/PathElement.h"

#include <string>

namespace Programs {

// Straight line of the tool centre point; the orientation turns about one fixed axis and
// the external axes move along, all following the profile of the slowest component.
class PathElementLine : public PathElement {
public:
    DataTypes::RobotState target;
    DataTypes::RobotState start;
    // 0 translation (mm), 1 orientation (degrees), 2..4 external axes e1..e3.
    PathBasicCurve curves[5];
    float componentLength[5] = {};
    float componentDuration[5] = {};
    DataTypes::Vector3 dir;
    DataTypes::Vector3 rotAxis;
    float rotAngle = 0.0f;
    float extTarget[3] = {};
    float extStart[3] = {};
    float extDir[3] = {};
    int longest = 0;

    PathElementLine(int cmdIndex, int nextCmdIndex) : PathElement("Line", cmdIndex, nextCmdIndex) {}

    using PathElement::SetMotionParameter;

    // velStart and velEnd must each be 0 or vel.
    void Init(const DataTypes::RobotState& target, float vel, float velStart, float velEnd, float accScale, float,
              float) override;
    void InitSpline(const DataTypes::RobotState&, const DataTypes::RobotState&, const DataTypes::RobotState&, float,
                    float, float, float, float, float) override {}
    void PrepareAcceleration() override;
    int GetPosition(float tMs, DataTypes::RobotState& out) override;
    float GetVel() override { return curves[longest].velReached; }
    float GetDuration() override { return curves[longest].GetDurationInMs(); }
    std::string ToString() override;
    // Throws std::runtime_error "tried to normalize zero length vector" when the cut line
    // has no length left (a pure orientation move included).
    void PrepareGeometry(DataTypes::RobotState& start, float distStart, float distEnd,
                         DataTypes::RobotState& end) override;
    virtual void SetMotionParameter(float*, float*, float*) {}

    // Estimated durations (ms) at each component's own velocity; they also fix the
    // component lengths and directions.
    float GetDurationTranslation();
    float GetDurationOri();
    float GetDurationExt(int i);
};

}  // namespace Programs
