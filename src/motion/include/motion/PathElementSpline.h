#pragma once

#include "core/BezierCasteljau.h"
#include "core/BezierPolynomial.h"
#include "motion/PathElement.h"

#include <string>

namespace Programs {

// Cartesian corner blend: position, x and z axes of the orientation and the external
// axes follow Bezier curves through the cut points and the corner, at a speed that
// changes linearly from velStart to velEnd along the curve parameter. Between the rows of
// its table the blend moves by arc length, so the speed of each row holds exactly.
class PathElementSpline : public PathElement {
public:
    DataTypes::BezierCasteljau posCurve{3};
    DataTypes::BezierCasteljau xAxisCurve{3};
    DataTypes::BezierCasteljau zAxisCurve{3};
    DataTypes::BezierCasteljau extCurve{3};
    double length = 50.0;    // arc length of the blend
    double duration = 1.0;   // ms
    DataTypes::Vector3 posPoint[4];
    DataTypes::Vector3 xAxisPoint[4];
    DataTypes::Vector3 zAxisPoint[4];
    DataTypes::Vector3 extPoint[4];
    // posCurve in power form: arc length for the table and the position every cycle.
    DataTypes::BezierPolynomial posPoly;

    PathElementSpline(int cmdIndex, int nextCmdIndex) : PathElement("Spline", cmdIndex, nextCmdIndex) {}

    using PathElement::SetMotionParameter;

    void Init(const DataTypes::RobotState&, float, float, float, float, float, float) override {}
    // a: cut end of the element before the corner, b: the corner, c: cut start of the
    // element after it; vel, velStart, velEnd in mm/s.
    void InitSpline(const DataTypes::RobotState& a, const DataTypes::RobotState& b, const DataTypes::RobotState& c,
                    float vel, float velStart, float velEnd, float, float, float) override;
    void PrepareAcceleration() override;
    // Allocation free: called every cycle.
    int GetPosition(float tMs, DataTypes::RobotState& out) override;
    float GetVel() override { return vel; }
    float GetDuration() override { return static_cast<float>(duration); }
    std::string ToString() override;
    void PrepareGeometry(DataTypes::RobotState&, float, float, DataTypes::RobotState&) override {}
    virtual void SetMotionParameter(float*, float*, float*) {}
    // Cubic position curve through a, b, c, d (b and c on the neighbours' tangents);
    // orientation and external axes stay quadratic through a, b and d.
    virtual void InitSpline(const DataTypes::RobotState& a, const DataTypes::RobotState& b,
                            const DataTypes::RobotState& c, const DataTypes::RobotState& d, float vel, float velStart,
                            float velEnd, float, float, float);
    virtual int GetJointPosition(float, float*) { return 0; }

    // u is the Bezier parameter.
    void StateAt(double u, DataTypes::RobotState& out) const override;
    // At most the larger end speed, over the arc length between ua and ub.
    double ParamRate(double ua, double ub) const override;

    // Speed along the curve at parameter u, mm/s.
    double GetVelOnSpline(double u) const;
    void CreateLookUpTable(int count);

private:
    // Pose (without A, B, C) and external axes at u into out.
    void PoseAt(double u, DataTypes::RobotState& out) const;

    int posPointCount = 0;
};

}  // namespace Programs
