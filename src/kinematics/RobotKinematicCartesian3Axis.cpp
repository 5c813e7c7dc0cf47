#include "kinematics/RobotKinematicCartesian3Axis.h"

RobotKinematicCartesian3Axis::RobotKinematicCartesian3Axis()
    : RobotKinematicCartesianGantry(KIN_TYPE_CONSTANT, true) {}

RobotKinematicCartesian3Axis::~RobotKinematicCartesian3Axis() = default;

std::unique_ptr<RobotKinematic> RobotKinematicCartesian3Axis::clone() const {
    return CloneAs<RobotKinematicCartesian3Axis>(*this);
}
