#pragma once

#include "kinematics/RobotKinematicSeparateJoints.h"

// Separate rotary axes (degrees). Robot type "SeparateJointsRotational".
class RobotKinematicSeparateJointsRotational : public RobotKinematicSeparateJoints {
public:
    RobotKinematicSeparateJointsRotational();
    ~RobotKinematicSeparateJointsRotational() override;

    using RobotKinematic::clone;
    std::unique_ptr<RobotKinematic> clone() const override;
};
