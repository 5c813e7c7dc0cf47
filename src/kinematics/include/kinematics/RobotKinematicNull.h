#pragma once

#include "kinematics/RobotKinematic.h"

// Stands in where no kinematic could be built (unknown robot type, "Parallel2Axis"), so
// that callers keep a valid object: no joints, forward kinematics does nothing, inverse
// kinematics only refuses a non-finite target.
class RobotKinematicNull : public RobotKinematic {
public:
    static constexpr char KIN_TYPE_CONSTANT[] = "RobotKinematicNull";

    RobotKinematicNull();
    ~RobotKinematicNull() override;

    using RobotKinematic::clone;
    std::unique_ptr<RobotKinematic> clone() const override;
};
