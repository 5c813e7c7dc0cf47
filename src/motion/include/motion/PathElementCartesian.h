#pragma once

#include "motion/PathBasicCurve.h"
#include "motion/PathElement.h"

#include <string>

namespace Programs {

// Common part of the Cartesian elements (line, arc): the tool centre point travels along a
// path of its own, the orientation turns about one fixed axis and the external axes move
// along, all following the profile of the slowest component.
class PathElementCartesian : public PathElement {
public:
    DataTypes::RobotState start;
    DataTypes::RobotState target;
    // 0 path of the tool centre point (mm), 1 orientation (degrees), 2..4 external axes e1..e3.
    PathBasicCurve curves[5];
    float componentLength[5] = {};
    float componentDuration[5] = {};
    DataTypes::Vector3 rotAxis;
    float rotAngle = 0.0f;
    float extTarget[3] = {};
    float extStart[3] = {};
    float extDir[3] = {};
    int longest = 0;

    using PathElement::PathElement;
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
    virtual void SetMotionParameter(float*, float*, float*) {}
    void StateAt(double p, DataTypes::RobotState& out) const override;
    // The path fraction moves with the slowest component's profile: at most its peak
    // velocity over its length.
    double ParamRate(double pa, double pb) const override;
    // Scales every component, so the slowest one stays the slowest.
    void LimitSpeed(float factor) override;

    // Estimated durations (ms) at each component's own velocity; they also fix the
    // component lengths and directions.
    float GetDurationOri();
    float GetDurationExt(int i);

protected:
    // Takes over startState and the external axes' start positions.
    void BeginGeometry(const DataTypes::RobotState& startState);
    // With componentDuration[0] set: estimates the other components, picks the slowest
    // (logged as "<label>: longest is ...") and limits each cut to a third of the path;
    // returns the uncut path length and the cut ratios.
    float LimitCut(const char* label, float& distStart, float& distEnd, float& ratioStart, float& ratioEnd);
    // Cuts orientation and external axes by the ratios, places the cut ends at pStart and
    // pEnd and writes the cut states back into startState and endState.
    void FinishGeometry(DataTypes::RobotState& startState, DataTypes::RobotState& endState,
                        const DataTypes::Vector3& pStart, const DataTypes::Vector3& pEnd, float distStart,
                        float distEnd, float ratioStart, float ratioEnd);
    // Position of the tool centre point at fraction f (0..1) of the cut element.
    virtual DataTypes::Vector3 GetTranslationAt(float f) const = 0;
    // Pose (without A, B, C) and external axes at fraction f into out.
    void PoseAt(float f, DataTypes::RobotState& out) const;
    // "PathElementLine", "PathElementCircular", ...: the start of the element's log lines.
    virtual const char* GetLogName() const = 0;
};

}  // namespace Programs
