#include "motion/PathElementSpline.h"

#include "core/LogSingleton.h"
#include "motion/SplineLookUpTable.h"

#include <algorithm>
#include <cmath>

namespace Programs {

void PathElementSpline::InitSpline(const DataTypes::RobotState& a, const DataTypes::RobotState& b,
                                   const DataTypes::RobotState& c, float vel_, float velStart_, float velEnd_, float,
                                   float, float) {
    vel = vel_;
    velStart = velStart_;
    velEnd = velEnd_;
    const DataTypes::RobotState* states[3] = {&a, &b, &c};
    posCurve = DataTypes::BezierCasteljau(3);
    xAxisCurve = DataTypes::BezierCasteljau(3);
    zAxisCurve = DataTypes::BezierCasteljau(3);
    extCurve = DataTypes::BezierCasteljau(3);
    for (int i = 0; i < 3; ++i) {
        const DataTypes::RobotState& s = *states[i];
        posPoint[i] = s.pose.GetTranslation();
        xAxisPoint[i] = s.pose.GetColumnVector(0);
        zAxisPoint[i] = s.pose.GetColumnVector(2);
        extPoint[i] = DataTypes::Vector3(s.jointSet[6], s.jointSet[7], s.jointSet[8]);
        posCurve.AddStartPoint(posPoint[i]);
        xAxisCurve.AddStartPoint(xAxisPoint[i]);
        zAxisCurve.AddStartPoint(zAxisPoint[i]);
        extCurve.AddStartPoint(extPoint[i]);
    }
    posPointCount = 3;
    posPoly = DataTypes::BezierPolynomial(posCurve);
}

void PathElementSpline::InitSpline(const DataTypes::RobotState& a, const DataTypes::RobotState& b,
                                   const DataTypes::RobotState& c, const DataTypes::RobotState& d, float vel_,
                                   float velStart_, float velEnd_, float, float, float) {
    vel = vel_;
    velStart = velStart_;
    velEnd = velEnd_;
    const DataTypes::RobotState* states[4] = {&a, &b, &c, &d};
    posCurve = DataTypes::BezierCasteljau(3);
    xAxisCurve = DataTypes::BezierCasteljau(3);
    zAxisCurve = DataTypes::BezierCasteljau(3);
    extCurve = DataTypes::BezierCasteljau(3);
    for (int i = 0; i < 4; ++i) {
        const DataTypes::RobotState& s = *states[i];
        posPoint[i] = s.pose.GetTranslation();
        xAxisPoint[i] = s.pose.GetColumnVector(0);
        zAxisPoint[i] = s.pose.GetColumnVector(2);
        extPoint[i] = DataTypes::Vector3(s.jointSet[6], s.jointSet[7], s.jointSet[8]);
        posCurve.AddStartPoint(posPoint[i]);
        // The orientation and the external axes need no tangent points: a, b and d only.
        if (i != 2) {
            xAxisCurve.AddStartPoint(xAxisPoint[i]);
            zAxisCurve.AddStartPoint(zAxisPoint[i]);
            extCurve.AddStartPoint(extPoint[i]);
        }
    }
    posPointCount = 4;
    posPoly = DataTypes::BezierPolynomial(posCurve);
}

double PathElementSpline::GetVelOnSpline(double u) const {
    u = std::min(u, 1.0);
    return (1.0 - u) * static_cast<double>(velStart) + u * static_cast<double>(velEnd);
}

void PathElementSpline::CreateLookUpTable(int) {
    SplineLookUp::Build(
        posPoly, [this](double u) { return GetVelOnSpline(u); }, table, length, duration);
}

void PathElementSpline::PrepareAcceleration() {
    if (debug) {
        LogSingleton* log = LogSingleton::instance();
        log->add("");
        log->addFormat("Spline Start %.2f  --  Mid %.2f  --  End %.2f", static_cast<double>(posPoint[0].x),
                       static_cast<double>(posPoint[1].x), static_cast<double>(posPoint[posPointCount - 1].x));
        log->addFormat("Spline veloc %.2f  --  Mid %.2f  --  End %.2f", static_cast<double>(velStart),
                       static_cast<double>(vel), static_cast<double>(velEnd));
        log->add("");
    }
    CreateLookUpTable(100);
    tableCursor = 0;
}

int PathElementSpline::GetPosition(float tMs, DataTypes::RobotState& out) {
    PoseAt(SplineLookUp::ParamAt(posPoly, table, tableCursor, tMs), out);
    out.UpdateABC();

    if (tMs < static_cast<float>(duration) - lastStep) {
        if (lastTime > 0.0f) {
            lastStep = tMs - lastTime;
        }
        lastTime = tMs;
        return -1;
    }
    return 0;
}

void PathElementSpline::PoseAt(double uExact, DataTypes::RobotState& out) const {
    const float u = static_cast<float>(uExact);
    double p[3];
    float xa[3];
    float za[3];
    float e[3];
    xAxisCurve.Interpolate(u, xa);
    zAxisCurve.Interpolate(u, za);
    extCurve.Interpolate(u, e);
    posPoly.Evaluate(uExact, p);

    // The interpolated axes are neither unit nor perpendicular: rebuild a right-handed
    // orthonormal frame, keeping z and the plane of x and z.
    DataTypes::Vector3 x = DataTypes::Vector3(xa[0], xa[1], xa[2]).Normalized();
    const DataTypes::Vector3 z = DataTypes::Vector3(za[0], za[1], za[2]).Normalized();
    const DataTypes::Vector3 y = DataTypes::Vector3::Cross(z, x).Normalized();
    x = DataTypes::Vector3::Cross(y, z).Normalized();

    out.pose = DataTypes::Matrix44(
        x, y, z,
        DataTypes::Vector3(static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])));
    for (int i = 0; i < 3; ++i) {
        out.jointSet[6 + i] = e[i];
    }
}

void PathElementSpline::StateAt(double u, DataTypes::RobotState& out) const { PoseAt(u, out); }

double PathElementSpline::ParamRate(double ua, double ub) const {
    const double arc = std::fabs(posPoly.ArcLength(ua, ub));
    const double speed = std::max(GetVelOnSpline(ua), GetVelOnSpline(ub));
    if (!(speed > 0.0) || ub == ua) return 0.0;
    // A blend shorter than the table's smallest length takes no time at all: whatever its
    // joints do there, they do it at once.
    if (length < SplineLookUp::kMinLength || arc <= 0.0) return HUGE_VAL;
    return speed * std::fabs(ub - ua) / arc;
}

std::string PathElementSpline::ToString() {
    const int last = posPointCount > 0 ? posPointCount - 1 : 0;
    return "PathElementSpline from " + posPoint[0].ToString() + " to " + posPoint[last].ToString();
}

}  // namespace Programs
