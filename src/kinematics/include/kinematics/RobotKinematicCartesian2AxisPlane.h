#pragma once

#include "kinematics/RobotKinematicCartesian2Axis.h"

// Two linear axes spanning the horizontal plane; the height is not driven.
// Robot type "Cartesian2AxisPlane".
class RobotKinematicCartesian2AxisPlane : public RobotKinematicCartesian2Axis {
public:
    static constexpr char KIN_TYPE_CONSTANT[] = "RobotKinematicCartesian2AxisPlane";

    RobotKinematicCartesian2AxisPlane();
    ~RobotKinematicCartesian2AxisPlane() override;

    using RobotKinematicCartesian2Axis::clone;
    std::unique_ptr<RobotKinematic> clone() const override;
};
