// RobotMaster: jog input, motion mode, override and the external-axis velocities.
#include "RobotMasterCommands.h"

#include "core/LogSingleton.h"

#include <algorithm>
#include <cmath>

using namespace RobotMasterCommands;

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

constexpr int kJogWatchdogCycles = 30;
constexpr double kJogDecayStep = 0.05;

const char* ModeLine(MotionType mode, bool platformCart) {
    switch (mode) {
        case MOTION_ROBOT_JOINT: return "RobotMaster:  Changing motion mode to ROBOT-JOINT";
        case MOTION_ROBOT_CART_BASE: return "RobotMaster:  Changing motion mode to ROBOT-CART-BASE";
        case MOTION_ROBOT_CART_TOOL: return "RobotMaster:  Changing motion mode to ROBOT-CART-TOOL";
        case MOTION_PLATFORM:
            return platformCart ? "RobotMaster:  Changing motion mode to PLATFORM-CART"
                                : "RobotMaster:  Changing motion mode to PLATFORM";
        case MOTION_FSM: return "RobotMaster:  Changing motion mode to FSM";
    }
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------- jog

void RobotMaster::SetJogValues(float* values) {
    for (int i = 0; i < kNrJoints; ++i) {
        float v = values[i];
        if (!std::isfinite(v)) v = 0.0f;  // NaN would pass the clamp below
        jogValues[i].store(std::max(-100.0f, std::min(100.0f, v)));
    }
    jogWatchdog.store(kJogWatchdogCycles);
}

void RobotMaster::CheckJogValues() {
    // Jog input that stops arriving holds for the watchdog's cycles, then fades.
    int remaining = jogWatchdog.load();
    while (remaining > 0) {
        if (jogWatchdog.compare_exchange_weak(remaining, remaining - 1)) return;
    }
    for (int i = 0; i < kNrJoints; ++i) {
        double v = jogValues[i].load();
        if (v > kJogDecayStep) v -= kJogDecayStep;
        if (v < -kJogDecayStep) v += kJogDecayStep;
        if (std::fabs(v) < kJogDecayStep) v = 0.0;
        jogValues[i].store(static_cast<float>(v));
    }
}

bool RobotMaster::IsMoving() {
    if (mainIpo.IsReplayRunning() || moveToIpo.IsReplayRunning()) return true;
    for (int i = 0; i < kNrJoints; ++i) {
        if (std::fabs(jogValues[i].load()) > 0.001f) return true;
    }
    return false;
}

// ---------------------------------------------------------------- motion mode

void RobotMaster::ToggleMotionMode() {
    MotionType current = motionType.load();
    MotionType next;
    do {
        if (current == MOTION_FSM) return;
        switch (current) {
            case MOTION_ROBOT_JOINT: next = MOTION_ROBOT_CART_BASE; break;
            case MOTION_ROBOT_CART_BASE: next = MOTION_ROBOT_CART_TOOL; break;
            case MOTION_ROBOT_CART_TOOL: next = MOTION_PLATFORM; break;
            default: next = MOTION_ROBOT_JOINT; break;
        }
    } while (!motionType.compare_exchange_weak(current, next));
    Log()->add(ModeLine(next, true));
}

void RobotMaster::SetMotionMode(MotionType mode) {
    motionType.store(mode);
    const bool direct = CanWriteLive(*this);
    switch (mode) {
        case MOTION_ROBOT_JOINT:
            if (direct) {
                requests.resetJointRamp.store(false);
                jogRampJoint.Reset();
            } else {
                requests.resetJointRamp.store(true);
            }
            break;
        case MOTION_ROBOT_CART_BASE:
        case MOTION_ROBOT_CART_TOOL:
            if (direct) {
                requests.resetCartRamp.store(false);
                jogRampCart.Reset();
            } else {
                requests.resetCartRamp.store(true);
            }
            break;
        default:
            break;
    }
    if (const char* line = ModeLine(mode, false)) Log()->add(line);
}

void RobotMaster::SetOverride(float percent) {
    if (!std::isfinite(percent)) {
        Log()->addError("RobotMaster: override is not a number, ignored");
        return;
    }
    overrideValue.store(std::max(0.0f, std::min(100.0f, percent)));
}

// ---------------------------------------------------------------- velocities

void RobotMaster::ResetVelocities() {
    if (CanWriteLive(*this)) {
        requests.resetVelocities.store(false);
        requests.velocitiesPending.store(false);
        WithLive(*this, [](DataTypes::RobotState& live) {
            for (float& v : live.jointVel) v = 0.0f;
        });
    } else {
        // An older velocity request must not outlive the reset.
        requests.velocitiesPending.store(false);
        requests.resetVelocities.store(true);
    }
    // A PLC must not re-apply an old speed.
    GetExternalJointVelocitySource().ResetExternalJointVelocities();
}

void RobotMaster::StoreProgramVelocities() {
    if (mainIpo.GetRunState() != IPO::RUNSTATE_RUNNING) return;
    if (CanWriteLive(*this)) {
        WithLive(*this, [](DataTypes::RobotState& live) {
            for (int j = 6; j < kNrJoints; ++j) live.jointVelProgram[j] = live.jointVel[j];
        });
    } else {
        requests.storeProgramVelocities.store(true);
    }
}

void RobotMaster::RestoreProgramVelocities() {
    if (mainIpo.GetRunState() != IPO::RUNSTATE_PAUSED) return;
    if (CanWriteLive(*this)) {
        WithLive(*this, [](DataTypes::RobotState& live) {
            for (int j = 6; j < kNrJoints; ++j) {
                live.jointVel[j] = live.jointVelProgram[j];
                live.jointVelProgram[j] = 0.0f;
            }
        });
    } else {
        requests.restoreProgramVelocities.store(true);
    }
}

void RobotMaster::SetVelocities(float e1, float e2, float e3) {
    const float values[kNrExternalAxes] = {e1, e2, e3};
    for (float v : values) {
        if (!std::isfinite(v)) {
            Log()->addError("RobotMaster: external axis velocity is not a number, ignored");
            return;
        }
    }
    if (!hardware || !hardware->GetMotorEnabled() || mainIpo.IsReplayRunning()) return;
    if (RefuseWhileEStop("RobotMaster: External axis velocities")) return;
    float limited[kNrExternalAxes];
    for (int e = 0; e < kNrExternalAxes; ++e) {
        const float max = static_cast<float>(jointMaxVelocity[6 + e]);
        limited[e] = std::max(std::min(values[e], max), -max);
    }
    if (CanWriteLive(*this)) {
        requests.velocitiesPending.store(false);
        WithLive(*this, [&](DataTypes::RobotState& live) {
            for (int e = 0; e < kNrExternalAxes; ++e) live.jointVel[6 + e] = limited[e];
        });
        return;
    }
    for (int e = 0; e < kNrExternalAxes; ++e) requests.velocities[e].store(limited[e]);
    requests.velocitiesPending.store(true);
}

void RobotMaster::GetVelocities(float& e1, float& e2, float& e3) const {
    std::lock_guard<std::mutex> lock(publishMutex);
    e1 = publishedState.jointVel[6];
    e2 = publishedState.jointVel[7];
    e3 = publishedState.jointVel[8];
}
