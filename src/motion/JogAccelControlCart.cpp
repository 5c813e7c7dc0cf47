#include "motion/JogAccelControlCart.h"

#include "JogRamp.h"

#include "core/LogSingleton.h"

#include <cmath>
#include <cstdlib>

namespace JogRamp {

double CheckedRate(const char* owner, const char* what, double value, double fallback) {
    if (std::isfinite(value) && value > 0.0) {
        return value;
    }
    LogSingleton::instance()->addFormat("%s: illegal %s %.2f in robot file, keeping %.2f", owner, what, value,
                                        fallback);
    return fallback;
}

}  // namespace JogRamp

void JogAccelControlCart::Init(bool on_, int cycleMs, double accTrans_, double decTrans_, double accRot_,
                               double decRot_) {
    on = on_;
    const char* owner = "JogAccelControlCart";
    accTrans = JogRamp::CheckedRate(owner, "translational acceleration", accTrans_, accTrans);
    decTrans = JogRamp::CheckedRate(owner, "translational deceleration", decTrans_, decTrans);
    accRot = JogRamp::CheckedRate(owner, "rotational acceleration", accRot_, accRot);
    decRot = JogRamp::CheckedRate(owner, "rotational deceleration", decRot_, decRot);
    cycle = cycleMs / 1000.0;
}

void JogAccelControlCart::Reset() {
    curTrans = 0.0;
    curRot = 0.0;
}

void JogAccelControlCart::SetTargetVel(double vTrans, double vRot, double* outTrans, double* outRot) {
    if (!on) {
        *outTrans = vTrans;
        *outRot = vRot;
        return;
    }
    // The larger deceleration applies only once the operator has let go of everything.
    const bool released = std::fabs(vTrans) + std::fabs(vRot) == 0.0;
    curTrans = JogRamp::Step(curTrans, vTrans, cycle, released ? decTrans : accTrans);
    curRot = JogRamp::Step(curRot, vRot, cycle, released ? decRot : accRot);
    *outTrans = curTrans;
    *outRot = curRot;
}
