#include "kinematics/RobotKinematicCartesian2AxisPlane.h"

namespace {

// Built on first use, so a gantry constructed during static initialisation finds it.
const RobotKinematicCartesian2Axis::Variant& PlaneVariant() {
    static const RobotKinematicCartesian2Axis::Variant variant = {
        RobotKinematicCartesian2AxisPlane::KIN_TYPE_CONSTANT,
        2,
        DataTypes::Vector3(0.0f, 0.0f, 1.0f),
        {1.0f, -1.0f, 1.0f},
        "RKCartesianFlat %s / %s  - Kinematic Data: ",
        "RobotKinematicCartesian2AxisPlane",
        3,
    };
    return variant;
}

}  // namespace

RobotKinematicCartesian2AxisPlane::RobotKinematicCartesian2AxisPlane()
    : RobotKinematicCartesian2Axis(PlaneVariant()) {}

RobotKinematicCartesian2AxisPlane::~RobotKinematicCartesian2AxisPlane() = default;

std::unique_ptr<RobotKinematic> RobotKinematicCartesian2AxisPlane::clone() const {
    return CloneAs<RobotKinematicCartesian2AxisPlane>(*this);
}
