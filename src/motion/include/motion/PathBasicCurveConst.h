#pragma once

#include <string>

namespace Programs {

// One phase at constant velocity.
class PathBasicCurveConst {
public:
    bool debug = false;
    float vel = 0.5f;
    float length = 0.0f;
    float duration = 0.0f;  // ms

    // Throws std::invalid_argument for a zero, negative or non-finite velocity.
    void PrepareAcceleration();
    float GetValue(float tMs) const;
    float GetDurationInMs() const { return duration; }
    virtual std::string ToString() const;
};

}  // namespace Programs
