#pragma once

#include "kinematics/RobotKinematicCartesian2Axis.h"

// Two linear axes spanning a vertical plane, the tool pointing down; y is not driven.
// Robot type "Cartesian2AxisLine".
class RobotKinematicCartesian2AxisLine : public RobotKinematicCartesian2Axis {
public:
    static constexpr char KIN_TYPE_CONSTANT[] = "RobotKinematicCartesian2AxisLine";

    RobotKinematicCartesian2AxisLine();
    ~RobotKinematicCartesian2AxisLine() override;

    using RobotKinematicCartesian2Axis::clone;
    std::unique_ptr<RobotKinematic> clone() const override;
};
