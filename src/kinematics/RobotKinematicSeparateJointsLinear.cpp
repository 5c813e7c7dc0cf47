#include "kinematics/RobotKinematicSeparateJointsLinear.h"

RobotKinematicSeparateJointsLinear::RobotKinematicSeparateJointsLinear()
    : RobotKinematicSeparateJoints("RobotKinematicSeparateJointsLinear",
                                   "RKSeperateJointsLinear %s / %s  - Kinematic Data: ") {}

RobotKinematicSeparateJointsLinear::~RobotKinematicSeparateJointsLinear() = default;

std::unique_ptr<RobotKinematic> RobotKinematicSeparateJointsLinear::clone() const {
    return CloneAs<RobotKinematicSeparateJointsLinear>(*this);
}
