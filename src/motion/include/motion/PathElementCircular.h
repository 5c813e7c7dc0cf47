#pragma once

#include "motion/CircleParameters.h"
#include "motion/PathBasicCurve.h"
#include "motion/PathElement.h"

#include <memory>
#include <string>

namespace Programs {

// Arc of a circle for the tool centre point; the orientation turns about one fixed axis
// and the external axes move along, all following the profile of the slowest component.
class PathElementCircular : public PathElement {
public:
    std::shared_ptr<const CircleParameters> circle;
    double angleStart = 0.0;  // rad, where the (cut) element begins
    double angleEnd = 0.0;    // rad, where the (cut) element ends
    int longest = 0;
    // 0 arc (mm), 1 orientation (degrees), 2..4 external axes e1..e3.
    PathBasicCurve curves[5];
    float componentLength[5] = {};
    float componentDuration[5] = {};
    float extTarget[3] = {};
    float extStart[3] = {};
    float extDir[3] = {};
    DataTypes::RobotState start;
    DataTypes::RobotState target;
    DataTypes::Vector3 rotAxis;
    float rotAngle = 0.0f;

    PathElementCircular(int cmdIndex, int nextCmdIndex, std::shared_ptr<const CircleParameters> circle_)
        : PathElement("Circular", cmdIndex, nextCmdIndex), circle(std::move(circle_)) {}

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
    // Cuts at most a third of the arc off each end; writes the cut start and end states
    // (position on the circle, orientation, external axes) back into start and end.
    void PrepareGeometry(DataTypes::RobotState& start, float distStart, float distEnd,
                         DataTypes::RobotState& end) override;
    virtual void SetMotionParameter(float*, float*, float*) {}

    // Estimated durations (ms) at each component's own velocity; they also fix the
    // component lengths and directions.
    float GetDurationArc();
    float GetDurationOri();
    float GetDurationExt(int i);
};

}  // namespace Programs
