#include "kinematics/RobotKinematicCartesian2AxisLine.h"

namespace {

// Built on first use, so a gantry constructed during static initialisation finds it.
const RobotKinematicCartesian2Axis::Variant& LineVariant() {
    static const RobotKinematicCartesian2Axis::Variant variant = {
        RobotKinematicCartesian2AxisLine::KIN_TYPE_CONSTANT,
        1,
        DataTypes::Vector3(0.0f, 1.0f, 0.0f),
        {1.0f, -1.0f, -1.0f},  // tool pointing down
        "RKCartesian %s / %s  - Kinematic Data: ",
        "RobotKinematicCartesian",
        2,
    };
    return variant;
}

}  // namespace

RobotKinematicCartesian2AxisLine::RobotKinematicCartesian2AxisLine()
    : RobotKinematicCartesian2Axis(LineVariant()) {}

RobotKinematicCartesian2AxisLine::~RobotKinematicCartesian2AxisLine() = default;

std::unique_ptr<RobotKinematic> RobotKinematicCartesian2AxisLine::clone() const {
    return CloneAs<RobotKinematicCartesian2AxisLine>(*this);
}
