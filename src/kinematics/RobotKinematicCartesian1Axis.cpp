#include "kinematics/RobotKinematicCartesian1Axis.h"

RobotKinematicCartesian1Axis::RobotKinematicCartesian1Axis()
    : RobotKinematicCartesianGantry(KIN_TYPE_CONSTANT, false) {}

RobotKinematicCartesian1Axis::~RobotKinematicCartesian1Axis() = default;

std::unique_ptr<RobotKinematic> RobotKinematicCartesian1Axis::clone() const {
    return CloneAs<RobotKinematicCartesian1Axis>(*this);
}
