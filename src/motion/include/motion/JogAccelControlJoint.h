#pragma once

// Ramps a joint jog (9 axes: a1..a6, e1..e3) toward its targets, one step per robot cycle;
// with the ramp off the targets pass through unchanged.
class JogAccelControlJoint {
public:
    bool on = false;
    double acc[9] = {45.0, 45.0, 45.0, 45.0, 45.0, 45.0, 45.0, 45.0, 45.0};  // per s
    double dec[9] = {180.0, 180.0, 180.0, 180.0, 180.0, 180.0, 180.0, 180.0, 180.0};
    double cur[9] = {};
    double cycle = 0.001;  // s

    virtual ~JogAccelControlJoint() = default;

    // A rate that is not positive would never reach its target or run away: it is logged
    // and the previous value kept.
    void Init(bool on, int cycleMs, float* acc, float* dec);
    void Reset();
    void SetTargetVel(double* target, double* out);
};
