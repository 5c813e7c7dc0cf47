#include "motion/PathElementCircular.h"

#include <cmath>

namespace Programs {

float PathElementCircular::GetDurationArc() {
    componentLength[0] = static_cast<float>(circle->radius * std::fabs(circle->angle));
    return componentLength[0] * 1000.0f / curves[0].vel;
}

void PathElementCircular::PrepareGeometry(DataTypes::RobotState& startState, float distStart, float distEnd,
                                          DataTypes::RobotState& endState) {
    BeginGeometry(startState);
    componentDuration[0] = GetDurationArc();
    float ratioStart = 0.0f;
    float ratioEnd = 0.0f;
    const float L = LimitCut("Circlie", distStart, distEnd, ratioStart, ratioEnd);

    const double sweep = circle->angle;
    angleStart = static_cast<double>(ratioStart) * sweep;
    angleEnd = (1.0 - static_cast<double>(ratioEnd)) * sweep;
    const DataTypes::Vector3 pStart = circle->CalculatePosition(angleStart);
    const DataTypes::Vector3 pEnd = circle->CalculatePosition(angleEnd);
    componentLength[0] = L - distStart - distEnd;
    startDir = circle->CalculateDirection(angleStart);
    endDir = circle->CalculateDirection(angleEnd);

    FinishGeometry(startState, endState, pStart, pEnd, distStart, distEnd, ratioStart, ratioEnd);
}

DataTypes::Vector3 PathElementCircular::GetTranslationAt(float f) const {
    // The profile may overshoot its length by a rounding step; the arc never passes its end.
    double angle = angleStart + static_cast<double>(f) * (angleEnd - angleStart);
    if (circle->angle > 0.0) {
        angle = std::fmin(angle, angleEnd);
    } else {
        angle = std::fmax(angle, angleEnd);
    }
    return circle->CalculatePosition(angle);
}

}  // namespace Programs
