#pragma once

// Ramps a Cartesian jog (one translational and one rotational speed) toward its targets,
// one step per robot cycle; with the ramp off the targets pass through unchanged.
class JogAccelControlCart {
public:
    bool on = false;
    double accTrans = 100.0;  // per s
    double decTrans = 500.0;
    double accRot = 30.0;
    double decRot = 180.0;
    double curTrans = 0.0;
    double curRot = 0.0;
    double cycle = 0.001;  // s

    virtual ~JogAccelControlCart() = default;

    // A rate that is not positive would never reach its target or run away: it is logged
    // and the previous value kept.
    void Init(bool on, int cycleMs, double accTrans, double decTrans, double accRot, double decRot);
    void Reset();
    void SetTargetVel(double vTrans, double vRot, double* outTrans, double* outRot);
};
