#pragma once

#include "kinematics/RobotKinematicCartesianGantry.h"

// Cartesian gantry that ignores external axes. Robot type "Cartesian1Axis".
class RobotKinematicCartesian1Axis : public RobotKinematicCartesianGantry {
public:
    static constexpr char KIN_TYPE_CONSTANT[] = "RobotKinematicCartesian1Axis";

    RobotKinematicCartesian1Axis();
    ~RobotKinematicCartesian1Axis() override;

    using RobotKinematicCartesianGantry::clone;
    std::unique_ptr<RobotKinematic> clone() const override;
};
