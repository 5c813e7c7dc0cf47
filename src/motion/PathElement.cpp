#include "motion/PathElement.h"

namespace Programs {

void PathElement::SetMotionParameter(float* jointVel_, float* jointAcc_, float* jointAccInc_, float cartVel_,
                                     float cartAcc_, float cartAccInc_, float oriVel_, float oriAcc_,
                                     float oriAccInc_) {
    for (int i = 0; i < 9; ++i) {
        jointVel[i] = jointVel_[i];
        jointAcc[i] = jointAcc_[i];
        jointAccInc[i] = jointAccInc_[i];
    }
    cartVel = cartVel_;
    cartAcc = cartAcc_;
    cartAccInc = cartAccInc_;
    oriVel = oriVel_;
    oriAcc = oriAcc_;
    oriAccInc = oriAccInc_;
}

void PathElement::StateAt(double, DataTypes::RobotState&) const {}

double PathElement::ParamRate(double, double) const { return 0.0; }

void PathElement::LimitSpeed(float) {}

void PathElement::SetLastJointPos(const DataTypes::RobotState& state) {
    for (int i = 0; i < 9; ++i) {
        lastJointPos[i] = state.jointSet[i];
    }
}

}  // namespace Programs
