#include "kinematics/RobotKinematicNull.h"

RobotKinematicNull::RobotKinematicNull() { kinematicTypeName = KIN_TYPE_CONSTANT; }

RobotKinematicNull::~RobotKinematicNull() = default;

std::unique_ptr<RobotKinematic> RobotKinematicNull::clone() const {
    return CloneAs<RobotKinematicNull>(*this);
}
