#pragma once

#include "kinematics/RobotKinematicCartesianGantry.h"

// Three-axis Cartesian gantry that rides on dependent linear external axes.
// Robot types "Cartesian3Axis" and "Cartesian".
class RobotKinematicCartesian3Axis : public RobotKinematicCartesianGantry {
public:
    static constexpr char KIN_TYPE_CONSTANT[] = "RobotKinematicCartesian3Axis";

    RobotKinematicCartesian3Axis();
    ~RobotKinematicCartesian3Axis() override;

    using RobotKinematicCartesianGantry::clone;
    std::unique_ptr<RobotKinematic> clone() const override;
};
