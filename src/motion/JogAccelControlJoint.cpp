#include "motion/JogAccelControlJoint.h"

#include "JogRamp.h"

#include <cmath>
#include <cstdio>

void JogAccelControlJoint::Init(bool on_, int cycleMs, float* acc_, float* dec_) {
    on = on_;
    char what[40];
    for (int i = 0; i < 9; ++i) {
        std::snprintf(what, sizeof what, "acceleration of axis %d", i + 1);
        acc[i] = JogRamp::CheckedRate("JogAccelControlJoint", what, acc_[i], acc[i]);
        std::snprintf(what, sizeof what, "deceleration of axis %d", i + 1);
        dec[i] = JogRamp::CheckedRate("JogAccelControlJoint", what, dec_[i], dec[i]);
    }
    cycle = cycleMs / 1000.0;
}

void JogAccelControlJoint::Reset() {
    for (double& c : cur) {
        c = 0.0;
    }
}

void JogAccelControlJoint::SetTargetVel(double* target, double* out) {
    if (!on) {
        for (int i = 0; i < 9; ++i) {
            out[i] = target[i];
        }
        return;
    }
    double sum = 0.0;
    for (int i = 0; i < 9; ++i) {
        sum += std::fabs(target[i]);
    }
    const bool released = sum == 0.0;
    for (int i = 0; i < 9; ++i) {
        cur[i] = JogRamp::Step(cur[i], target[i], cycle, released ? dec[i] : acc[i]);
        out[i] = cur[i];
    }
}
