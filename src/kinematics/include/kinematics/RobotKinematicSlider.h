#pragma once

#include "kinematics/RobotKinematic.h"

// Four-wheel mobile platform (slider): the four wheel joints pass through unchanged and
// unchecked. No robot ini file is read. Robot type "JXRSlider".
class RobotKinematicSlider : public RobotKinematic {
public:
    RobotKinematicSlider();
    ~RobotKinematicSlider() override;

    using RobotKinematic::clone;
    std::unique_ptr<RobotKinematic> clone() const override;
    void Init(const std::string& name, const std::string& type, const std::string& iniPath,
              int velocitySetting) override;
    // Stores the wheel joints and external axes as given; check is ignored.
    void SetJoints(const float* joints, bool check) override;

    // Cartesian targets take the empty base version.
    using RobotKinematic::SetPosition;
    // Drives the platform to target = (x, y, unused, heading in degrees) by adding the
    // matching wheel turns to the joints.
    void SetPosition(const float* target);

    // Wheel constant of the platform drive, mm.
    static constexpr double wheelConstant = 314.72818;
};
