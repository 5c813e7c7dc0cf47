#include "motion/PathElementLine.h"

namespace Programs {

float PathElementLine::GetDurationTranslation() {
    dir = target.pose.GetTranslation() - start.pose.GetTranslation();
    componentLength[0] = dir.Magnitude();
    if (componentLength[0] <= 0.0001f) {
        dir = DataTypes::Vector3();
    } else {
        dir.Normalize();
    }
    return componentLength[0] * 1000.0f / curves[0].vel;
}

void PathElementLine::PrepareGeometry(DataTypes::RobotState& startState, float distStart, float distEnd,
                                      DataTypes::RobotState& endState) {
    BeginGeometry(startState);
    componentDuration[0] = GetDurationTranslation();
    float ratioStart = 0.0f;
    float ratioEnd = 0.0f;
    const float L = LimitCut("Line", distStart, distEnd, ratioStart, ratioEnd);

    const DataTypes::Vector3 pStart = start.pose.GetTranslation() + dir * distStart;
    const DataTypes::Vector3 pEnd = target.pose.GetTranslation() - dir * distEnd;
    componentLength[0] = L - distStart - distEnd;
    startDir = (pEnd - pStart).Normalized();
    endDir = startDir;

    FinishGeometry(startState, endState, pStart, pEnd, distStart, distEnd, ratioStart, ratioEnd);
}

DataTypes::Vector3 PathElementLine::GetTranslationAt(float f) const {
    return start.pose.GetTranslation() + dir * (curves[0].length * f);
}

}  // namespace Programs
