#include "kinematics/RobotKinematicSlider.h"

#include "core/LogSingleton.h"

RobotKinematicSlider::RobotKinematicSlider() {
    for (int i = 0; i < 4; ++i) {
        currentJoints[i] = 0.0f;
    }
}

RobotKinematicSlider::~RobotKinematicSlider() = default;

std::unique_ptr<RobotKinematic> RobotKinematicSlider::clone() const {
    return CloneAs<RobotKinematicSlider>(*this);
}

void RobotKinematicSlider::Init(const std::string& name, const std::string& type, const std::string& iniPath,
                                int velocitySetting) {
    RobotKinematic::Init(name, type, iniPath, velocitySetting);
    nrOfJoints = 4;
    for (int i = 0; i < 4; ++i) {
        jointMaxVelocity[i] = 100.0f;
        // Both limits 0: the wheels are not limit-checked.
        jointMinMax[i][0] = 0.0f;
        jointMinMax[i][1] = 0.0f;
    }
    LogSingleton::instance()->add("RKSlider: Init");
}

void RobotKinematicSlider::SetJoints(const float* joints, bool /*check*/) {
    for (int i = 0; i < nrOfJoints; ++i) {
        currentJoints[i] = joints[i];
    }
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = joints[i];
    }
}

void RobotKinematicSlider::SetPosition(const float* target) {
    const float dx = target[0] - currentPosition(0, 3);
    const float dy = target[1] - currentPosition(1, 3);
    const float dh = target[3] - platformPosition.x;

    currentPosition(0, 3) = target[0];
    currentPosition(1, 3) = target[1];
    currentPosition(2, 3) = 160.0f;
    platformPosition.x = target[3];

    const float a = static_cast<float>((dx / wheelConstant) * -360.0);
    const float f = static_cast<float>((dy / wheelConstant) * 360.0);
    const float g = static_cast<float>(dh * (430.0 * 3.141) / 360.0 / wheelConstant * -514.8);
    const float wheel[4] = {a - f + g, a + f - g, a - f - g, a + f + g};
    for (int i = 0; i < nrOfJoints && i < 4; ++i) {
        currentJoints[i] += wheel[i];
    }
}
