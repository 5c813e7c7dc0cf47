#pragma once

#include "core/BezierCasteljau.h"
#include "core/BezierPolynomial.h"
#include "core/VectorN.h"
#include "motion/PathElement.h"

#include <string>

namespace Programs {

// Euclidean norm of n floats.
double Magnitude(const float* values, int n);

// Joint-space corner blend: the 9 joints follow a quadratic Bezier curve through the cut
// points and the corner, at a joint-space speed that changes linearly from the speed
// entering the blend to the speed leaving it.
class PathElementSpline6 : public PathElement {
public:
    DataTypes::BezierCasteljau jointCurve{9};
    // jointCurve in power form, built with the table: arc length and every cycle's point.
    DataTypes::BezierPolynomial jointPoly;
    double length = 50.0;   // joint-space arc length
    double duration = 1.0;  // ms
    float velIn[9] = {};
    float velOut[9] = {};
    double velInNorm = 0.0;
    double velOutNorm = 0.0;
    DataTypes::VectorN jointPoint[3] = {DataTypes::VectorN(9), DataTypes::VectorN(9), DataTypes::VectorN(9)};

    PathElementSpline6(int cmdIndex, int nextCmdIndex) : PathElement("Spline", cmdIndex, nextCmdIndex) {}

    using PathElement::SetMotionParameter;

    void Init(const DataTypes::RobotState&, float, float, float, float, float, float) override {}
    // a: cut end of the joint move before the corner, b: the corner, c: cut start of the
    // move after it; velStart and velEnd are fractions of each joint's velocity limit.
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
    virtual int GetJointPosition(float, float*) { return 0; }
    // u is the Bezier parameter.
    void StateAt(double u, DataTypes::RobotState& out) const override;

    // Joint-space speed at parameter u: the linear change from the entry to the exit speed,
    // lowered where the curve's direction would take a joint past its velocity limit.
    double GetVelOnSpline(double u) const;
    void CreateLookUpTable(int count);

private:
    // Curve direction at u (half the derivative) and the derivative's magnitude.
    void Tangent(double u, float* d) const;
    double TangentNorm(double u) const;
    // Highest joint-space speed at u with every joint within its limit scaled by the
    // velocity factor at u.
    double JointLimitedSpeed(double u) const;
};

}  // namespace Programs
