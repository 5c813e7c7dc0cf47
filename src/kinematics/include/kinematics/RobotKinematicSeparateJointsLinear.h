#pragma once

#include "kinematics/RobotKinematicSeparateJoints.h"

// Separate linear axes (mm). Robot types "SeparateJointsLinear" and "SeparateJoints".
class RobotKinematicSeparateJointsLinear : public RobotKinematicSeparateJoints {
public:
    RobotKinematicSeparateJointsLinear();
    ~RobotKinematicSeparateJointsLinear() override;

    using RobotKinematic::clone;
    std::unique_ptr<RobotKinematic> clone() const override;
};
