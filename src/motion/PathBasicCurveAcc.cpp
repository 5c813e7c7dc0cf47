#include "motion/PathBasicCurveAcc.h"

#include "core/LogSingleton.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

namespace Programs {

namespace {

bool PositiveFinite(float v) { return std::isfinite(v) && v > 0.0f; }

// Relative margin for the "too short for both jerk ramps" test: without it a length equal
// to the ramps' distance but for rounding slips into the iteration below.
constexpr float kRampLengthTolerance = 1e-5f;

}  // namespace

void PathBasicCurveAcc::PrepareAcceleration() {
    LogSingleton* log = LogSingleton::instance();
    if (debug) {
        log->addFormat("PathBasicCurveAcc - PrepareAcceleration: from 0.0 to %.2f in max %.2f units. acc=%.2f, accInc=%.2f",
                       velSetPoint, maxLength, acc, accInc);
    }
    if (accInc == 0.0f) {
        throw std::invalid_argument("PathBasicCurveAcc: accInc must not be 0!");
    }
    // A zero velocity would make every duration 0/0.
    if (!PositiveFinite(velSetPoint) || !PositiveFinite(acc) || !PositiveFinite(accInc)) {
        throw std::invalid_argument("PathBasicCurveAcc: velocity, acceleration and jerk must be positive and finite!");
    }
    if (!std::isfinite(maxLength) || maxLength < 0.0f) {
        throw std::invalid_argument("PathBasicCurveAcc: maximum length must be finite and not negative!");
    }
    const float j = accInc;

    accReached = acc;
    velocityReached = velSetPoint;
    tj = accReached / j;
    vel1 = j * 0.5f * tj * tj;

    // Test 1: the two jerk ramps alone would pass the set-point.
    if (2.0f * vel1 > velSetPoint) {
        if (debug) {
            log->addFormat("*********** Test1: 2.0f * v0 %.2f > velSetPoint %.2f ****************", 2.0f * vel1,
                           velSetPoint);
        }
        tj = std::sqrt(velSetPoint / j);
        vel1 = velSetPoint / 2.0f;
        accReached = tj * j;
        if (debug) {
            log->addFormat("*********** Results: new acc %.2f, original acc %.2f", accReached, acc);
        }
    }

    dvConst = velocityReached - 2.0f * vel1;
    ta = dvConst / accReached;
    ComputeAccValues();

    const float p2 = j * tj * tj * tj;

    // Shortens both jerk ramps so that they cover exactly the available length.
    auto fitRampsToLength = [&]() {
        const float oldTj = tj;
        // Never longer ramps than planned: within the tolerance the length may be a hair
        // above what the planned ramps cover.
        tj = std::min(oldTj, std::cbrt(maxLength / j));
        ta = 0.0f;
        accReached = tj * j;
        ComputeAccValues();
        if (debug) {
            log->addFormat("Limiting duration0 from %.2f to %.2f", oldTj, tj);
            log->addFormat("*********** Results: new length %.2f in %.2f ms", j * tj * tj * tj, 2.0f * tj);
        }
    };

    // Test 2: not even the jerk ramps fit.
    if (maxLength < p2 * (1.0f + kRampLengthTolerance)) {
        if (debug) {
            log->addFormat("*********** Test2: tmpP2Inc %.2f > maxLength %.2f ****************", p2, maxLength);
        }
        fitRampsToLength();
    } else if (maxLength < s3) {
        // Test 3: shorten the constant-acceleration stretch in 10 ms steps.
        if (debug) {
            log->addFormat("*********** Test3: p2 %.2f > maxLength %.2f ****************", s3, maxLength);
        }
        const float a = acc;
        const float L = maxLength - p2;
        const float root = std::sqrt(vel1 * vel1 + 2.0f * a * L);
        const float r1 = (root - vel1) / a;
        const float r2 = -(root + vel1) / a;
        ta = r1 > r2 ? r1 : r2;
        int loops = 0;
        // The stretch cannot become shorter than nothing: stop at 0 rather than run into
        // negative durations that would make the velocity jump.
        while (maxLength < s3 && ta > 0.0f) {
            ta -= 0.01f;
            if (ta < 0.0f) {
                ta = 0.0f;
            }
            accReached = tj * j;
            ComputeAccValues();
            ++loops;
        }
        if (maxLength < s3) {
            // Only the jerk ramps are left and rounding still puts them past the length.
            fitRampsToLength();
        }
        if (debug) {
            log->addFormat("Iteration finished after %d loops", loops);
            log->addFormat("*********** Results: new duration phase1 %.2f, length %.2f, accReached %.2f (planned: %.2f)", ta,
                           s3, accReached, acc);
        }
    }

    t1 = tj * 1000.0f;
    t2 = (tj + ta) * 1000.0f;
    t3 = (2.0f * tj + ta) * 1000.0f;
    lengthReached = s3;
    duration = t3;

    if (debug) {
        log->addFormat("CurveAcc: lengthReached %.2f, velocityReached %.2f duration %.2f", lengthReached, velocityReached,
                       duration);
        log->addFormat("CurveAcc Duration AccInc: %.2f  - Acc: %.2f  - AccInc: %.2f  - Complete: %.2f", tj, ta, tj,
                       duration);
        log->add("");
    }
}

void PathBasicCurveAcc::ComputeAccValues() {
    const float a = accReached;
    const float j = accInc;
    vel1 = tj * tj * j / 2.0f;
    s1 = j * tj * tj * tj / 6.0f;
    vel2 = vel1 + ta * a;
    s2 = s1 + ta * vel1 + ta * ta * a / 2.0f;
    vel3 = vel2 + tj * a - tj * tj * j / 2.0f;
    s3 = s2 + tj * vel2 + tj * tj * a / 2.0f - tj * tj * tj * j / 6.0f;
    velocityReached = vel3;
}

float PathBasicCurveAcc::GetValue(float tMs) const {
    const float t = mirrored ? duration - tMs : tMs;
    const float a = accReached;
    const float j = accInc;
    float s;
    if (t >= t3) {
        s = lengthReached;
    } else if (t > t2) {
        const float d = (t - t2) / 1000.0f;
        s = s2 + vel2 * d + d * d * a / 2.0f - j * d * d * d / 6.0f;
    } else if (t > t1) {
        const float d = (t - t1) / 1000.0f;
        s = s1 + vel1 * d + a * d * d / 2.0f;
    } else {
        const float d = t / 1000.0f;
        s = j * d * d * d / 6.0f;
    }
    return mirrored ? lengthReached - s : s;
}

std::string PathBasicCurveAcc::ToString() const {
    std::ostringstream os;
    os.precision(2);
    os << "From 0 to " << lengthReached << " with " << velocityReached << " units/s in " << duration << " ms";
    return os.str();
}

}  // namespace Programs
