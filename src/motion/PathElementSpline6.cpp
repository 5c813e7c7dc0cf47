#include "motion/PathElementSpline6.h"

#include "core/LogSingleton.h"
#include "motion/SplineLookUpTable.h"

#include <algorithm>
#include <cmath>

namespace Programs {

double Magnitude(const float* values, int n) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        sum += static_cast<double>(values[i]) * static_cast<double>(values[i]);
    }
    return std::sqrt(sum);
}

namespace {

// Highest joint-space speed along direction d at which no joint exceeds factor times its
// own velocity limit; 0 when nothing moves.
double LimitedSpeed(const float* d, float factor, const float* jointVel) {
    const double norm = Magnitude(d, 9);
    double speed = HUGE_VAL;
    for (int i = 0; i < 9; ++i) {
        const double share = std::fabs(static_cast<double>(d[i]));
        if (share > 0.0 && jointVel[i] > 0.0f) {
            speed = std::min(speed, static_cast<double>(factor) * jointVel[i] * norm / share);
        }
    }
    return std::isfinite(speed) ? speed : 0.0;
}

}  // namespace

void PathElementSpline6::InitSpline(const DataTypes::RobotState& a, const DataTypes::RobotState& b,
                                    const DataTypes::RobotState& c, float vel_, float velStart_, float velEnd_, float,
                                    float, float) {
    vel = vel_;
    velStart = velStart_;
    velEnd = velEnd_;
    const DataTypes::RobotState* states[3] = {&a, &b, &c};
    jointCurve = DataTypes::BezierCasteljau(9);
    for (int i = 0; i < 3; ++i) {
        jointPoint[i] = DataTypes::VectorN(9, states[i]->jointSet);
        jointCurve.AddStartPoint(jointPoint[i]);
    }
}

double PathElementSpline6::GetVelOnSpline(double u) const {
    u = std::clamp(u, 0.0, 1.0);
    const double speed = (1.0 - u) * velInNorm + u * velOutNorm;
    // The table holds this speed for a whole step: cap it with the direction at the end of
    // the step as well, so a joint turning into its own axis stays within its limit.
    double capped = std::min(speed, JointLimitedSpeed(u));
    const double tangent = TangentNorm(u);
    if (tangent > 0.0) {
        const double ahead = u + speed * SplineLookUp::kStepMs / 1000.0 / tangent;
        capped = std::min(capped, JointLimitedSpeed(std::min(ahead, 1.0)));
    }
    return capped;
}

void PathElementSpline6::Tangent(double u, float* d) const {
    // Derivative of the quadratic Bezier curve (up to the constant factor 2).
    for (unsigned i = 0; i < 9; ++i) {
        d[i] = static_cast<float>((1.0 - u) * (jointPoint[1][i] - jointPoint[0][i]) +
                                  u * (jointPoint[2][i] - jointPoint[1][i]));
    }
}

double PathElementSpline6::TangentNorm(double u) const {
    float d[9];
    Tangent(u, d);
    return 2.0 * Magnitude(d, 9);
}

double PathElementSpline6::JointLimitedSpeed(double u) const {
    float d[9];
    Tangent(u, d);
    if (Magnitude(d, 9) == 0.0) {
        return HUGE_VAL;  // a cusp has no direction to limit
    }
    const float factor = static_cast<float>((1.0 - u) * velStart + u * velEnd);
    return LimitedSpeed(d, factor, jointVel);
}

void PathElementSpline6::CreateLookUpTable(int) {
    jointPoly = DataTypes::BezierPolynomial(jointCurve);
    SplineLookUp::Build(
        jointPoly, [this](double u) { return GetVelOnSpline(u); }, table, length, duration);
}

void PathElementSpline6::PrepareAcceleration() {
    lastTime = 0.0f;
    lastStep = 0.0f;

    float dIn[9];
    float dOut[9];
    for (int i = 0; i < 9; ++i) {
        const unsigned k = static_cast<unsigned>(i);
        dIn[i] = jointPoint[1][k] - jointPoint[0][k];
        dOut[i] = jointPoint[2][k] - jointPoint[1][k];
    }
    // The joint that reaches its limit first sets the joint-space speed, exactly as it
    // sets the pace of the joint moves on either side, so the speeds join without a step.
    velInNorm = LimitedSpeed(dIn, velStart, jointVel);
    velOutNorm = LimitedSpeed(dOut, velEnd, jointVel);
    const double inNorm = Magnitude(dIn, 9);
    const double outNorm = Magnitude(dOut, 9);
    for (int i = 0; i < 9; ++i) {
        velIn[i] = inNorm > 0.0 ? static_cast<float>(velInNorm * dIn[i] / inNorm) : 0.0f;
        velOut[i] = outNorm > 0.0 ? static_cast<float>(velOutNorm * dOut[i] / outNorm) : 0.0f;
    }

    CreateLookUpTable(100);
    if (debug) {
        LogSingleton* log = LogSingleton::instance();
        log->add("");
        log->addFormat("Spline Start %s  --  Mid %s  --  End %s", jointPoint[0].ToString(2).c_str(),
                       jointPoint[1].ToString(2).c_str(), jointPoint[2].ToString(2).c_str());
        log->addFormat("Spline veloc %.2f  --  Mid %.2f  --  End %.2f", static_cast<double>(velStart),
                       static_cast<double>(vel), static_cast<double>(velEnd));
        log->addFormat("Spline velIn %.2f  --  velOut %.2f", velInNorm, velOutNorm);
        log->addFormat("Spline length %.2f  --  Duration %.2f", length, duration);
        log->add("");
    }
    tableCursor = 0;
}

int PathElementSpline6::GetPosition(float tMs, DataTypes::RobotState& out) {
    // By arc length between the table's rows: the speed of a row holds for all of it.
    const double u = SplineLookUp::ParamAt(jointPoly, table, tableCursor, tMs);
    double q[9];
    jointPoly.Evaluate(u, q);
    for (int i = 0; i < 9; ++i) {
        out.jointSet[i] = static_cast<float>(q[i]);
    }

    if (tMs < static_cast<float>(duration) - lastStep) {
        SetLastJointPos(out);
        if (lastTime > 0.0f) {
            lastStep = tMs - lastTime;
        }
        lastTime = tMs;
        return -1;
    }
    return 0;
}

void PathElementSpline6::StateAt(double u, DataTypes::RobotState& out) const {
    double q[9];
    jointPoly.Evaluate(u, q);
    for (int i = 0; i < 9; ++i) {
        out.jointSet[i] = static_cast<float>(q[i]);
    }
}

std::string PathElementSpline6::ToString() {
    return "PathElementSpline6 from " + jointPoint[0].ToString(2) + " to " + jointPoint[2].ToString(2);
}

}  // namespace Programs
