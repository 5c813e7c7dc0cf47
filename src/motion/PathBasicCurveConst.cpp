#include "motion/PathBasicCurveConst.h"

#include "core/LogSingleton.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace Programs {

void PathBasicCurveConst::PrepareAcceleration() {
    // A zero velocity would give an infinite or undefined duration.
    if (!std::isfinite(vel) || !(vel > 0.0f) || !std::isfinite(length)) {
        throw std::invalid_argument("PathBasicCurveConst: velocity must be positive and finite!");
    }
    duration = length / vel * 1000.0f;
    if (debug) {
        LogSingleton::instance()->addFormat("PathBasicCurveConst - PrepareAcceleration: Length %.2f with %.2f units/s in %.2f ms",
                                            length, vel, duration);
    }
}

float PathBasicCurveConst::GetValue(float tMs) const {
    if (tMs >= duration) {
        return length;
    }
    if (tMs > 0.0f) {
        return vel * tMs / 1000.0f;
    }
    return 0.0f;
}

std::string PathBasicCurveConst::ToString() const {
    std::ostringstream os;
    os.precision(2);
    os << "From 0 to " << length << " with " << vel << " units/s in " << duration << " ms";
    return os.str();
}

}  // namespace Programs
