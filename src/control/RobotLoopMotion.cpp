// Robot loop steps that move the robot: operation modes, the choice of the set-point source,
// interpreter set-points, joint and Cartesian jog, the logic program, the tool, the
// hardware read-back and exchange, and the published run state.
#include "control/RobotLoop.h"

#include "control/RobotMaster.h"

#include "core/LogSingleton.h"

#include <cmath>
#include <exception>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

bool TextIs(const std::string& text, const char* value) { return text.compare(value) == 0; }

}  // namespace

bool RobotLoop::IsLiveErrorFree() const {
    const std::string& e = m.liveState.errorText;
    return TextIs(e, "NoError") || TextIs(e, "operation_enabled");
}

bool RobotLoop::IsDriveReady() const {
    const std::string& e = m.liveState.errorText;
    return TextIs(e, "NoError") || TextIs(e, "operation_enabled") || TextIs(e, "Homing");
}

// ---------------------------------------------------------------- operation modes (7)

void RobotLoop::UpdateOperationMode() {
    if (!m.operationModesActive) {
        cycleOperationMode = 0;
        return;
    }
    int mode = 2;
    if (m.IsValidIONum(m.dInOpModeAuto) && m.liveState.DIn[m.dInOpModeAuto]) {
        mode = 0;
    } else if (m.IsValidIONum(m.dInEnableManualMotion) && m.liveState.DIn[m.dInEnableManualMotion]) {
        mode = 1;
    }
    cycleOperationMode = mode;
    if (mode == m.operationMode.load()) return;
    m.operationMode.store(mode);
    switch (mode) {
        case 1:
            Log()->addFormat("Operation mode changed to velocity limited (%.1f mm/s)", m.manualModeMaxVel);
            m.mainIpo.SetVelocityLimit(m.manualModeMaxVel);
            m.moveToIpo.SetVelocityLimit(m.manualModeMaxVel);
            break;
        case 2:
            Log()->add("Operation mode changed to no motion");
            break;
        default:
            Log()->add("Operation mode changed to not limited");
            m.mainIpo.VelocityLimitDisable();
            m.moveToIpo.VelocityLimitDisable();
            break;
    }
    if (m.referenceAllActive.load() || m.hardware->IsReferencing()) {
        Log()->add("Resetting since operation mode changed while referencing is in progress");
        m.Reset();
        // This reset is the loop's own, not the operator's: it releases no e-stop.
        m.eStopReleaseRequested.store(false);
    }
}

// ---------------------------------------------------------------- set-point (12)

void RobotLoop::SetPointStep() {
    Hardware::HardwareProtocol& hw = *m.hardware;
    const bool cartAllowed =
        !(hw.GetConnectionStatus() && hw.IsReferencingMandatory() && !hw.IsReferenced());
    const bool jogRequested = IsJogRequested(cycleJog);

    if (!m.DebugMode && !IsLiveErrorFree()) {
        HardwareErrorStep();
        return;
    }
    if (cycleOperationMode == 2) return;  // no motion: not even the interpreters run
    if (m.IsEStopLatched()) {
        // The set-point is held until the e-stop is released; no velocity goes out.
        for (float& v : m.liveState.jointVel) v = 0.0f;
        if (!jogRefusedReported && jogRequested) {
            jogRefusedReported = true;
            LoopShow(!m.eStopLatched.load() && m.IsEStopInputUnread() ? "Cannot jog while E-Stop input not read yet"
                                                                      : "Cannot jog while E-Stop detected");
        }
        return;
    }

    const bool mainRunning = m.mainIpo.IsReplayRunning();
    if (m.mainIpo.GetCurrentPoint() != -1 && !mainRunning) {
        // A paused program keeps the robot where it is.
        if (m.moveToIpo.IsProgramLoaded()) m.moveToIpo.PostDeleteAll();
        if (!jogRefusedReported && jogRequested) {
            jogRefusedReported = true;
            LoopShow("Cannot jog while program is paused");
        }
        return;
    }
    if (BrakeHolds()) {
        // Nothing moves against the brake: a start, a move or a jog asked for meanwhile
        // begins from rest in the cycle after the one whose output released it.
        for (float& v : m.liveState.jointVel) v = 0.0f;
        m.jogRampJoint.Reset();
        m.jogRampCart.Reset();
        return;
    }
    if (!mainRunning) {
        if (!m.moveToIpo.IsReplayRunning()) {
            jogRefusedReported = false;
            switch (m.motionType.load()) {
                case MOTION_ROBOT_JOINT:
                    JogJoint();
                    break;
                case MOTION_ROBOT_CART_BASE:
                    if (cartAllowed) JogCartesian(false);
                    break;
                case MOTION_ROBOT_CART_TOOL:
                    if (cartAllowed) JogCartesian(true);
                    break;
                default:
                    break;
            }
            return;
        }
        if (!jogRefusedReported && jogRequested) {
            jogRefusedReported = true;
            LoopShow("Cannot jog while moving to position");
        }
        InterpreterSetPoint(m.moveToIpo);
        return;
    }
    if (m.moveToIpo.IsProgramLoaded()) m.moveToIpo.PostDeleteAll();
    if (!jogRefusedReported && jogRequested) {
        jogRefusedReported = true;
        LoopShow("Cannot jog while program is running");
    }
    InterpreterSetPoint(m.mainIpo);
}

bool RobotLoop::FollowMeasuredStep() {
    // A drive may still be enabled from before the connect (a restarted controller): no
    // set-point may take it away from where it stands until the operator takes over.
    if (m.hardware->GetConnectCount() == m.connectTakenOver.load()) return false;
    const bool hardwareError = !m.DebugMode && !IsLiveErrorFree();
    if (hardwareError) HardwareErrorStep();
    for (float& v : m.liveState.jointVel) v = 0.0f;
    m.jogRampJoint.Reset();
    m.jogRampCart.Reset();
    try {
        m.kinematic->ResetLastJoints(m.liveState.jointAct);
        // The read-back takes the set-points from the kinematic.
        m.kinematic->SetJoints(m.liveState.jointAct, false);
        if (!hardwareError) m.liveState.kinState = 0;
    } catch (int code) {
        // No pose for these joints: the kinematic still holds them (ResetLastJoints).
        if (!hardwareError) m.liveState.kinState = code;
    } catch (const std::exception&) {
        if (!hardwareError) m.liveState.kinState = -1;
    }
    return true;
}

void RobotLoop::InterpreterSetPoint(IPO& ipo) {
    m.liveState.gripper[0] = -1.0f;
    // Its exceptions end the cycle (the guard around the steps).
    ipo.GetNextPosition(m.CycleTimeMS.load(), m.liveState.override, &m.liveState);
    try {
        m.kinematic->SetJoints(m.liveState.jointSet, true);
        if (m.liveState.gripper[0] >= 0.0f) m.kinematic->tool.SetTargetValue(m.liveState.gripper[0]);
        m.liveState.kinState = 0;
    } catch (int code) {
        m.liveState.kinState = code;
        m.ResetVelocities();
        ipo.PostStop(IPO::STOP_ERROR, ("Kinematic error: " + m.TranslateKinError(code)).c_str());
    } catch (const std::exception& e) {
        Log()->addFormat("Error during IPO motion: %s", e.what());
        m.liveState.kinState = -1;
        m.ResetVelocities();
        ipo.PostStop(IPO::STOP_ERROR, (std::string("Kinematic error: ") + e.what()).c_str());
    }
}

// ---------------------------------------------------------------- jog

void RobotLoop::JogJoint() {
    const int cycleMs = m.CycleTimeMS.load();
    const double dt = cycleMs / 1000.0;
    const double overridePart = m.liveState.override / 100.0;
    ExternalJointVelocitySource& plc = m.GetExternalJointVelocitySource();

    float start[kNrJoints];
    double target[kNrJoints];
    double ramped[kNrJoints];
    for (int i = 0; i < kNrJoints; ++i) {
        start[i] = m.liveState.jointSet[i];
        const double jog = cycleJog[i] / 100.0 * m.jogVelJoint;
        const bool velocityAxis = i >= 6 && loopAxes.IsDefined(i - 6) &&
                                  loopAxes.Axis(i - 6).MotionMode == ExternalAxis::Velocity;
        if (velocityAxis) {
            // The PLC's velocity (0 when it holds none, so a released jog stops the axis)
            // unless the operator jogs the axis, regardless of override.
            const float fromPlc = plc.GetExternalJointVelocity(i - 6);
            const bool plcHeld = fromPlc != 0.0f;
            m.liveState.jointVel[i] = fromPlc;
            if (std::fabs(cycleJog[i]) > 0.0001f) {
                if (plcHeld) plc.ResetExternalJointVelocities();
                m.liveState.jointVel[i] = static_cast<float>(jog * m.jointMaxVelocity[i]);
            }
            target[i] = 0.0;
        } else {
            m.liveState.jointVel[i] = 0.0f;
            target[i] = jog * overridePart * m.jointMaxVelocity[i];
        }
    }
    m.jogRampJoint.SetTargetVel(target, ramped);

    if (m.operationModesActive && cycleOperationMode == 1) {
        // Probe the Cartesian speed of one cycle of this jog; an error leaves it unscaled.
        float probe[kNrJoints];
        for (int i = 0; i < kNrJoints; ++i) probe[i] = static_cast<float>(start[i] + ramped[i] * dt);
        try {
            m.kinematic->GetPosition(&probeState);
            const DataTypes::Vector3 before = probeState.pose.GetTranslation();
            m.kinematic->SetJoints(probe, true);
            m.kinematic->GetPosition(&probeState);
            const DataTypes::Vector3 d = probeState.pose.GetTranslation() - before;
            const double speed =
                std::sqrt(double(d.x) * d.x + double(d.y) * d.y + double(d.z) * d.z) * 1000.0 / cycleMs;
            if (speed <= m.manualModeMaxVel) {
                speedReductionReported = true;
            } else {
                const double scale = m.manualModeMaxVel / speed;
                for (int i = 0; i < 6; ++i) ramped[i] *= scale;
                if (speedReductionReported) {
                    Log()->addFormat("Safety speed reduction getting active: %.2lf mm/s maximum!",
                                     static_cast<double>(m.manualModeMaxVel));
                    speedReductionReported = false;
                }
            }
        } catch (int) {
        }
    }

    float next[kNrJoints];
    for (int i = 0; i < kNrJoints; ++i) next[i] = static_cast<float>(start[i] + ramped[i] * dt);
    try {
        m.kinematic->SetJoints(next, true);
        m.liveState.kinState = 0;
    } catch (int code) {
        m.liveState.kinState = code;
    } catch (const std::exception& e) {
        Log()->addFormat("Error during joint motion: %s", e.what());
        m.liveState.kinState = -1;
    }
}

void RobotLoop::JogCartesian(bool tool) {
    const double dt = m.CycleTimeMS.load() / 1000.0;
    const double overridePart = m.liveState.override / 100.0;

    m.kinematic->GetPosition(&probeState);
    const DataTypes::Matrix44 pose = probeState.pose;
    float joints[kNrJoints];
    m.kinematic->GetJoints(joints);

    double trans[3];
    double rot[3];
    for (int k = 0; k < 3; ++k) {
        trans[k] = cycleJog[k] / 100.0 * m.jogVelCart[k] * overridePart;
        rot[k] = cycleJog[3 + k] / 100.0 * m.jogVelOri[k] * overridePart;
    }
    double transSpeed = std::sqrt(trans[0] * trans[0] + trans[1] * trans[1] + trans[2] * trans[2]);
    const double rotSpeed = std::sqrt(rot[0] * rot[0] + rot[1] * rot[1] + rot[2] * rot[2]);
    if (m.operationModesActive && cycleOperationMode == 1 && transSpeed > m.manualModeMaxVel) {
        // Only the translation is limited.
        const double scale = m.manualModeMaxVel / transSpeed;
        for (double& t : trans) t *= scale;
        transSpeed = m.manualModeMaxVel;
    }
    double rampedTrans = 0.0;
    double rampedRot = 0.0;
    m.jogRampCart.SetTargetVel(transSpeed, rotSpeed, &rampedTrans, &rampedRot);
    const double transFactor = std::fabs(transSpeed) > 0.00001 ? rampedTrans / transSpeed : 0.0;
    const double rotFactor = std::fabs(rotSpeed) > 0.00001 ? rampedRot / rotSpeed : 0.0;

    const DataTypes::Vector3 offset(static_cast<float>(trans[0] * transFactor * dt),
                                    static_cast<float>(trans[1] * transFactor * dt),
                                    static_cast<float>(trans[2] * transFactor * dt));
    DataTypes::Matrix44 jog;
    jog.SetRotationABCDeg(rot[0] * rotFactor * dt, rot[1] * rotFactor * dt, rot[2] * rotFactor * dt);

    // Matrix44's product puts the right operand first: pose * jog is jog·pose.
    DataTypes::Matrix44 target;
    if (!tool) {
        // About the base axes through the tool centre point.
        target = pose * jog;
        target.SetTranslation(pose.GetTranslation() + offset);
    } else {
        // Along and about the tool's own axes.
        const DataTypes::Vector3 position = pose * offset;
        target = jog * pose;
        target.SetTranslation(position);
    }
    try {
        m.kinematic->SetPosition(target, joints);
        m.liveState.kinState = 0;
    } catch (int code) {
        m.liveState.kinState = code;
    } catch (const std::exception& e) {
        Log()->addFormat(tool ? "Error during cart-tool motion: %s" : "Error during cart-base motion: %s",
                         e.what());
        m.liveState.kinState = -1;
    }
    ExternalVelocityAxes();
}

void RobotLoop::ExternalVelocityAxes() {
    ExternalJointVelocitySource& plc = m.GetExternalJointVelocitySource();
    for (int e = 0; e < kNrExternalAxes; ++e) {
        if (loopAxes.IsDefined(e) && loopAxes.Axis(e).MotionMode == ExternalAxis::Velocity) {
            m.liveState.jointVel[6 + e] = plc.GetExternalJointVelocity(e);
        }
    }
}

// ---------------------------------------------------------------- logic program, tool

void RobotLoop::LogicProgramStep() {
    m.logicState = m.liveState;
    if (!m.logicIpo.IsReplayRunning()) return;
    m.logicIpo.GetNextPosition(m.CycleTimeMS.load(), m.liveState.override, &m.logicState);
    // Only its outputs and signals count; its motion results are not used.
    std::copy(std::begin(m.logicState.DOut), std::end(m.logicState.DOut), std::begin(m.liveState.DOut));
    std::copy(std::begin(m.logicState.GSig), std::end(m.logicState.GSig), std::begin(m.liveState.GSig));
}

void RobotLoop::ToolStep() {
    Tool& tool = m.kinematic->tool;
    tool.Update();
    m.liveState.gripper[0] = tool.GetJoint();
    m.liveState.gripperHw[0] = tool.GetHWPosition();
}

// ---------------------------------------------------------------- hardware (19, 20)

void RobotLoop::ReadBackStep(LoopClock& clock, std::uint64_t period) {
    Hardware::HardwareProtocol& hw = *m.hardware;
    m.kinematic->GetJoints(m.liveState.jointSet);
    // Into strings kept by the loop: GetErrorShort() would return a fresh copy each cycle.
    errorTextLong.clear();
    errorTextShort.clear();
    hw.GetError(errorTextLong, errorTextShort);
    m.liveState.errorText.assign(errorTextShort);
    m.liveState.supply = hw.GetSupplyVoltageRaw();
    m.liveState.currentAll = hw.GetMainDIOValue();
    m.liveState.eStop = hw.GetMainDIOStatus();
    hw.GetErrorHexCode(m.liveState.errorCodes);
    hw.GetTempValues(m.liveState.boardTemps);
    hw.GetCurrentValues(m.liveState.currents);
    hw.GetReferenceStatus(m.liveState.refJoint, &m.liveState.refOverall);
    if (m.TimingMode.load() == 2) WaitTimingMode2(clock, period);
}

void RobotLoop::HardwareExchangeStep() {
    Hardware::HardwareProtocol& hw = *m.hardware;
    // Last look at the e-stop before the set-points leave (timing mode 2 has waited since
    // the first), latched or not: an open reading since the set-point step takes the step
    // back, so the set-points sent are the held ones.
    if (m.IsValidIONum(loopBrake.eStopDInChannel)) ReadEStopInput();
    if (restoreSetPoint) RestoreCycleSetPoint();
    if (resendOutputs) SendOutputs();
    hw.SetJoints(m.liveState);
    hw.GetJoints(&m.liveState);
    m.kinematic->GetPosition(&m.liveState);
    m.liveState.UpdateABC();

    // Never waits; the name is copied into the live state's own string only when it changed.
    m.mainIpo.ReadProgramInformation(mainProgramInfoSeen, &m.liveState.programName, &m.liveState.programLength,
                                   &m.liveState.programLine);
    if (m.mainIpo.IsReplayRunning()) {
        m.liveState.runState = 1;
    } else if (m.mainIpo.GetCurrentPoint() < 0) {
        m.liveState.runState = 0;
    } else {
        m.liveState.runState = 2;
    }
    m.CheckJogValues();
    m.CheckRunStateChanged();
    // "#position" always holds the current position, without a snapshot for listeners.
    m.programMemory.OnPoseChanged(m.liveState);
}
