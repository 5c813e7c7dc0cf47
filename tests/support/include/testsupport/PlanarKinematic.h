#pragma once

// A cheap stand-in for a robot's kinematic in program tests and benches: joints 0..2 are
// the translation, joint 3 the turn A about z; the external axes pass through. Header
// only (no test framework), so the benches can use it too.

#include "kinematics/RobotKinematic.h"

#include <memory>

namespace TestSupport {

// ClearWrist: SetPosition also sets the unused joints 4 and 5 to 0 instead of leaving
// the caller's values.
template <bool ClearWrist = false>
class PlanarKinematicT : public RobotKinematic {
public:
    PlanarKinematicT() {
        nrOfJoints = 4;
        kinematicTypeName = "FakeKinematic";
    }
    std::unique_ptr<RobotKinematic> clone() const override { return CloneAs<PlanarKinematicT>(*this); }
    void SetJoints(const float* joints, bool /*check*/) override {
        for (int j = 0; j < maxJoints; ++j) {
            currentJoints[j] = joints[j];
        }
        currentPosition = DataTypes::Matrix44();
        currentPosition.SetRotationABCDeg2(joints[3], 0.0, 0.0);
        currentPosition.SetTranslation(joints[0], joints[1], joints[2]);
    }
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override {
        float a = 0.0f, b = 0.0f, c = 0.0f;
        target.GetABCDeg(&a, &b, &c);
        joints[0] = target.m[3];
        joints[1] = target.m[7];
        joints[2] = target.m[11];
        joints[3] = a;
        if (ClearWrist) {
            joints[4] = 0.0f;
            joints[5] = 0.0f;
        }
        for (int j = 0; j < maxJoints; ++j) {
            currentJoints[j] = joints[j];
        }
        currentPosition = target;
    }
};

using PlanarKinematic = PlanarKinematicT<false>;

}  // namespace TestSupport
