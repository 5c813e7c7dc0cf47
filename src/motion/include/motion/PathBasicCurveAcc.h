#pragma once

#include <string>

namespace Programs {

// One jerk-limited acceleration phase from rest to velSetPoint within maxLength: a jerk
// ramp up, a constant-acceleration stretch and a jerk ramp down. Mirrored, the same phase
// is played backwards as a deceleration. Distances in units, times in ms at the interface.
class PathBasicCurveAcc {
public:
    bool debug = false;
    bool mirrored = false;
    float velSetPoint = 0.5f;
    float acc = 100.0f;
    float accInc = 300.0f;
    float maxLength = 0.0f;
    float lengthReached = 0.0f;
    float velocityReached = 0.0f;
    float accReached = 0.0f;
    float duration = 0.0f;
    float t1 = 0.0f;
    float t2 = 0.0f;
    float t3 = 0.0f;
    float tj = 0.0f;  // s
    float ta = 0.0f;  // s
    float vel1 = 0.0f;
    float vel2 = 0.0f;
    float vel3 = 0.0f;
    float dvConst = 0.0f;
    float s1 = 0.0f;
    float s2 = 0.0f;
    float s3 = 0.0f;

    // Throws std::invalid_argument for a zero, negative or non-finite limit; the phase
    // then keeps its previous results.
    void PrepareAcceleration();
    void ComputeAccValues();
    float GetValue(float tMs) const;
    float GetDurationInMs() const { return duration; }
    virtual std::string ToString() const;
};

}  // namespace Programs
