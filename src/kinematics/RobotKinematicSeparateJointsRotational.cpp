#include "kinematics/RobotKinematicSeparateJointsRotational.h"

RobotKinematicSeparateJointsRotational::RobotKinematicSeparateJointsRotational()
    : RobotKinematicSeparateJoints("RobotKinematicSeparateJointsRotational",
                                   "RKSeperateJointsRotational %s / %s  - Kinematic Data: ") {}

RobotKinematicSeparateJointsRotational::~RobotKinematicSeparateJointsRotational() = default;

std::unique_ptr<RobotKinematic> RobotKinematicSeparateJointsRotational::clone() const {
    return CloneAs<RobotKinematicSeparateJointsRotational>(*this);
}
