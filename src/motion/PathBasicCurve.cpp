#include "motion/PathBasicCurve.h"

#include "core/LogSingleton.h"

#include <cmath>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace Programs {

namespace {

bool PositiveFinite(float v) { return std::isfinite(v) && v > 0.0f; }

}  // namespace

void PathBasicCurve::PrepareAcceleration() {
    LogSingleton* log = LogSingleton::instance();
    if (debug) {
        log->add("");
        log->add("PathBasicCurve - PrepareAcceleration");
        log->addFormat("Length %.2f", length);
        log->addFormat("Vel  %.2f VelStart %.2f VelEnd %.2f", vel, velStart, velEnd);
        log->addFormat("Acc  %.2f AccInc %.2f", acc, accInc);
        log->add("");
    }
    if (!std::isfinite(length)) {
        throw std::invalid_argument("PathBasicCurve: length must be finite!");
    }
    if (std::fabs(length) < 0.01f) {
        if (debug) {
            log->add("PathBasicCurve::PrepareAcceleration - Element with length < 0.01 units");
        }
        return;
    }
    if (length < 0.0f) {
        throw std::invalid_argument("PathBasicCurve: length must not be negative!");
    }
    if (accInc == 0.0f) {
        throw std::invalid_argument("PathBasicCurveAcc: accInc must not be 0!");
    }
    // Missing attributes arrive as 0: refuse them before they turn into 0/0 durations.
    if (!PositiveFinite(vel) || !PositiveFinite(acc) || !PositiveFinite(accInc)) {
        throw std::invalid_argument("PathBasicCurve: velocity, acceleration and jerk must be positive and finite!");
    }

    auto prepareRamp = [&](PathBasicCurveAcc& phase, float velSetPoint, float maxLength, bool mirrored) {
        phase.velSetPoint = velSetPoint;
        phase.acc = acc;
        phase.accInc = accInc;
        phase.maxLength = maxLength;
        phase.mirrored = mirrored;
        phase.PrepareAcceleration();
    };
    auto prepareConst = [&](float v, float len) {
        constPhase.vel = v;
        // Ramps that take the whole length can leave a rounding residue below 0, which
        // would be a negative duration.
        constPhase.length = len > 0.0f ? len : 0.0f;
        constPhase.PrepareAcceleration();
    };

    if (velStart == 0.0f && velEnd == 0.0f) {
        prepareRamp(accPhase, vel, length / 2.0f, false);
        velReached = accPhase.velocityReached;
        prepareRamp(decPhase, velReached, length / 2.0f, true);
        prepareConst(velReached, length - accPhase.lengthReached - decPhase.lengthReached);
    } else if (velStart == 0.0f && vel == velEnd) {
        prepareRamp(accPhase, vel, length, false);
        velReached = accPhase.velocityReached;
        prepareConst(velReached, length - accPhase.lengthReached);
    } else if (vel == velStart && velEnd == 0.0f) {
        prepareRamp(decPhase, vel, length, true);
        velReached = decPhase.velocityReached;
        prepareConst(velReached, length - decPhase.lengthReached);
    } else if (vel == velStart && vel == velEnd) {
        prepareConst(vel, length);
        velReached = vel;
    } else {
        log->add("PathBasicCurve::PrepareAcceleration: Not planned element sequence!");
        throw std::runtime_error("PathBasicCurve: not planned motion type!");
    }
}

float PathBasicCurve::GetValue(float tMs) const {
    const float t = scale * tMs;
    const float dA = accPhase.GetDurationInMs();
    const float dC = constPhase.GetDurationInMs();
    const float dD = decPhase.GetDurationInMs();
    float s;
    if (t >= dA + dC + dD) {
        s = length;
    } else if (t >= dA + dC) {
        s = accPhase.lengthReached + constPhase.length + decPhase.GetValue(t - dA - dC);
    } else if (t >= dA) {
        s = accPhase.lengthReached + constPhase.GetValue(t - dA);
    } else if (t < 0.0f) {
        s = 0.0f;
    } else {
        s = accPhase.GetValue(t);
    }
    if (debug) {
        LogSingleton::instance()->addFormat("Curve: t=%.2f, pos=%.2f", t, s);
    }
    return s;
}

float PathBasicCurve::GetDurationInMs() const {
    return accPhase.GetDurationInMs() + constPhase.GetDurationInMs() + decPhase.GetDurationInMs();
}

void PathBasicCurve::AdaptToDuration(float durationMs) {
    const float current = GetDurationInMs();
    // NaN would make every position NaN, +inf would never move: neither is a duration.
    if (!std::isfinite(durationMs)) {
        throw std::invalid_argument("PathBasicCurve: duration to adapt to must be finite!");
    }
    if (durationMs < current) {
        LogSingleton::instance()->add(
            "JointElementSingle: Duration to adapt to is smaller then current duration! Cannot accelerate motion!");
        throw std::invalid_argument("JointElementSingle: Illegal acceleration requested!");
    }
    scale = current == 0.0f ? 1.0f : current / durationMs;
    if (debug) {
        LogSingleton::instance()->addFormat("Scale set to %.2f, new duration is %.2f ms", scale, durationMs);
    }
}

void PathBasicCurve::SetDebugFlag(bool on) {
    debug = on;
    accPhase.debug = on;
    constPhase.debug = on;
    decPhase.debug = on;
}

std::string PathBasicCurve::ToString() const {
    std::ostringstream os;
    os << std::fixed << std::setprecision(2) << "PathBasicCurve from 0 to " << length << " with " << velReached * scale
       << " units/s in " << GetDurationInMs() << " ms";
    return os.str();
}

}  // namespace Programs
