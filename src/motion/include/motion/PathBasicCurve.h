#pragma once

#include "motion/PathBasicCurveAcc.h"
#include "motion/PathBasicCurveConst.h"

#include <string>

namespace Programs {

// Whole one-dimensional profile: acceleration, constant and deceleration phase. Start and
// end velocity are each either 0 or vel; other combinations are refused.
class PathBasicCurve {
public:
    bool debug = false;
    float vel = 0.5f;
    float velStart = 0.0f;
    float velEnd = 0.0f;
    float velReached = 0.0f;
    float acc = 100.0f;
    float accInc = 300.0f;
    float length = 0.0f;
    PathBasicCurveAcc accPhase;
    PathBasicCurveConst constPhase;
    PathBasicCurveAcc decPhase;
    float scale = 1.0f;

    // Throws std::invalid_argument for a non-finite or negative length and for a zero,
    // negative or non-finite vel, acc or accInc (a length below 0.01 needs no limits),
    // std::runtime_error for a start/end velocity combination it cannot plan.
    void PrepareAcceleration();
    float GetValue(float tMs) const;
    // Not scaled.
    float GetDurationInMs() const;
    // Stretches the profile to durationMs; std::invalid_argument for a shorter or
    // non-finite duration, scale unchanged.
    void AdaptToDuration(float durationMs);
    void SetDebugFlag(bool on);
    virtual std::string ToString() const;
};

}  // namespace Programs
