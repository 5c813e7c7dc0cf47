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

// Index of the first entry with the largest magnitude.
int Dominant(const float* d) {
    int best = 0;
    for (int i = 1; i < 9; ++i) {
        if (std::fabs(d[i]) > std::fabs(d[best])) {
            best = i;
        }
    }
    return best;
}

// Scales each joint's speed by its share of the dominant joint's move, so the joints keep
// the proportions of a synchronised joint move, whichever way the dominant joint runs.
void ScaleToDominant(float* velocity, const float* delta) {
    const float lead = delta[Dominant(delta)];
    if (lead == 0.0f) {
        return;
    }
    for (int i = 0; i < 9; ++i) {
        velocity[i] *= std::fabs(delta[i] / lead);
    }
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
    u = std::min(u, 1.0);
    return (1.0 - u) * velInNorm + u * velOutNorm;
}

void PathElementSpline6::CreateLookUpTable(int) {
    SplineLookUp::Build(
        jointCurve, [this](double u) { return GetVelOnSpline(u); }, table, length, duration);
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
        velIn[i] = velStart * jointVel[i] * signumLocal(dIn[i]);
        velOut[i] = velEnd * jointVel[i] * signumLocal(dOut[i]);
    }
    ScaleToDominant(velIn, dIn);
    ScaleToDominant(velOut, dOut);
    velInNorm = Magnitude(velIn, 9);
    velOutNorm = Magnitude(velOut, 9);

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
    const float u = SplineLookUp::ParamAt(table, tableCursor, tMs);
    jointCurve.Interpolate(u, out.jointSet);

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

std::string PathElementSpline6::ToString() {
    return "PathElementSpline6 from " + jointPoint[0].ToString(2) + " to " + jointPoint[2].ToString(2);
}

}  // namespace Programs
