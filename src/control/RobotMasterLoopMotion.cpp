// Robot loop steps that move the robot: operation modes, the choice of the set-point source,
// interpreter set-points, joint and Cartesian jog, the logic program, the tool, the
// hardware read-back and exchange, and the published run state.
#include "control/RobotMaster.h"

#include "core/LogSingleton.h"

#include <cmath>
#include <exception>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

bool TextIs(const std::string& text, const char* value) { return text.compare(value) == 0; }

}  // namespace

bool RobotMaster::IsLiveErrorFree() const {
    const std::string& e = liveState.errorText;
    return TextIs(e, "NoError") || TextIs(e, "operation_enabled");
}

bool RobotMaster::IsDriveReady() const {
    const std::string& e = liveState.errorText;
    return TextIs(e, "NoError") || TextIs(e, "operation_enabled") || TextIs(e, "Homing");
}

// ---------------------------------------------------------------- operation modes (7)

void RobotMaster::UpdateOperationMode() {
    if (!operationModesActive) {
        cycleOperationMode = 0;
        return;
    }
    int mode = 2;
    if (IsValidIONum(dInOpModeAuto) && liveState.DIn[dInOpModeAuto]) {
        mode = 0;
    } else if (IsValidIONum(dInEnableManualMotion) && liveState.DIn[dInEnableManualMotion]) {
        mode = 1;
    }
    cycleOperationMode = mode;
    if (mode == operationMode.load()) return;
    operationMode.store(mode);
    switch (mode) {
        case 1:
            Log()->addFormat("Operation mode changed to velocity limited (%.1f mm/s)", manualModeMaxVel);
            mainIpo.SetVelocityLimit(manualModeMaxVel);
            moveToIpo.SetVelocityLimit(manualModeMaxVel);
            break;
        case 2:
            Log()->add("Operation mode changed to no motion");
            break;
        default:
            Log()->add("Operation mode changed to not limited");
            mainIpo.VelocityLimitDisable();
            moveToIpo.VelocityLimitDisable();
            break;
    }
    if (referenceAllActive.load() || hardware->IsReferencing()) {
        Log()->add("Resetting since operation mode changed while referencing is in progress");
        Reset();
        // This reset is the loop's own, not the operator's: it releases no e-stop.
        eStopReleaseRequested.store(false);
    }
}

// ---------------------------------------------------------------- set-point (12)

void RobotMaster::SetPointStep() {
    Hardware::HardwareProtocol& hw = *hardware;
    const bool cartAllowed =
        !(hw.GetConnectionStatus() && hw.IsReferencingMandatory() && !hw.IsReferenced());
    const bool jogRequested = IsJogRequested(cycleJog);

    if (!DebugMode && !IsLiveErrorFree()) {
        HardwareErrorStep();
        return;
    }
    if (cycleOperationMode == 2) return;  // no motion: not even the interpreters run
    if (IsEStopLatched()) {
        // The set-point is held until the e-stop is released; no velocity goes out.
        for (float& v : liveState.jointVel) v = 0.0f;
        if (!jogRefusedReported && jogRequested) {
            jogRefusedReported = true;
            LoopShow("Cannot jog while E-Stop detected");
        }
        return;
    }

    const bool mainRunning = mainIpo.IsReplayRunning();
    if (mainIpo.currentPoint.load() != -1 && !mainRunning) {
        // A paused program keeps the robot where it is.
        if (moveToIpo.IsProgramLoaded()) moveToIpo.PostDeleteAll();
        if (!jogRefusedReported && jogRequested) {
            jogRefusedReported = true;
            LoopShow("Cannot jog while program is paused");
        }
        return;
    }
    if (!mainRunning) {
        if (!moveToIpo.IsReplayRunning()) {
            jogRefusedReported = false;
            switch (motionType.load()) {
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
        InterpreterSetPoint(moveToIpo);
        return;
    }
    if (moveToIpo.IsProgramLoaded()) moveToIpo.PostDeleteAll();
    if (!jogRefusedReported && jogRequested) {
        jogRefusedReported = true;
        LoopShow("Cannot jog while program is running");
    }
    InterpreterSetPoint(mainIpo);
}

void RobotMaster::InterpreterSetPoint(IPO& ipo) {
    liveState.gripper[0] = -1.0f;
    // Its exceptions end the cycle (the guard around the steps).
    ipo.GetNextPosition(CycleTimeMS.load(), liveState.override, &liveState);
    try {
        kinematic->SetJoints(liveState.jointSet, true);
        if (liveState.gripper[0] >= 0.0f) kinematic->tool.SetTargetValue(liveState.gripper[0]);
        liveState.kinState = 0;
    } catch (int code) {
        liveState.kinState = code;
        ResetVelocities();
        ipo.PostStop(IPO::STOP_ERROR, ("Kinematic error: " + TranslateKinError(code)).c_str());
    } catch (const std::exception& e) {
        Log()->addFormat("Error during IPO motion: %s", e.what());
        liveState.kinState = -1;
        ResetVelocities();
        ipo.PostStop(IPO::STOP_ERROR, (std::string("Kinematic error: ") + e.what()).c_str());
    }
}

// ---------------------------------------------------------------- jog

void RobotMaster::JogJoint() {
    const int cycleMs = CycleTimeMS.load();
    const double dt = cycleMs / 1000.0;
    const double overridePart = liveState.override / 100.0;
    ExternalJointVelocitySource& plc = GetExternalJointVelocitySource();

    float start[kNrJoints];
    double target[kNrJoints];
    double ramped[kNrJoints];
    for (int i = 0; i < kNrJoints; ++i) {
        start[i] = liveState.jointSet[i];
        const double jog = cycleJog[i] / 100.0 * jogVelJoint;
        const bool velocityAxis = i >= 6 && loopAxes.IsDefined(i - 6) &&
                                  loopAxes.Axis(i - 6).MotionMode == ExternalAxis::Velocity;
        if (velocityAxis) {
            // The PLC's velocity (0 when it holds none, so a released jog stops the axis)
            // unless the operator jogs the axis, regardless of override.
            const float fromPlc = plc.GetExternalJointVelocity(i - 6);
            const bool plcHeld = fromPlc != 0.0f;
            liveState.jointVel[i] = fromPlc;
            if (std::fabs(cycleJog[i]) > 0.0001f) {
                if (plcHeld) plc.ResetExternalJointVelocities();
                liveState.jointVel[i] = static_cast<float>(jog * jointMaxVelocity[i]);
            }
            target[i] = 0.0;
        } else {
            liveState.jointVel[i] = 0.0f;
            target[i] = jog * overridePart * jointMaxVelocity[i];
        }
    }
    jogRampJoint.SetTargetVel(target, ramped);

    if (operationModesActive && cycleOperationMode == 1) {
        // Probe the Cartesian speed of one cycle of this jog; an error leaves it unscaled.
        float probe[kNrJoints];
        for (int i = 0; i < kNrJoints; ++i) probe[i] = static_cast<float>(start[i] + ramped[i] * dt);
        try {
            kinematic->GetPosition(&probeState);
            const DataTypes::Vector3 before = probeState.pose.GetTranslation();
            kinematic->SetJoints(probe, true);
            kinematic->GetPosition(&probeState);
            const DataTypes::Vector3 d = probeState.pose.GetTranslation() - before;
            const double speed =
                std::sqrt(double(d.x) * d.x + double(d.y) * d.y + double(d.z) * d.z) * 1000.0 / cycleMs;
            if (speed <= manualModeMaxVel) {
                speedReductionReported = true;
            } else {
                const double scale = manualModeMaxVel / speed;
                for (int i = 0; i < 6; ++i) ramped[i] *= scale;
                if (speedReductionReported) {
                    Log()->addFormat("Safety speed reduction getting active: %.2lf mm/s maximum!",
                                     static_cast<double>(manualModeMaxVel));
                    speedReductionReported = false;
                }
            }
        } catch (int) {
        }
    }

    float next[kNrJoints];
    for (int i = 0; i < kNrJoints; ++i) next[i] = static_cast<float>(start[i] + ramped[i] * dt);
    try {
        kinematic->SetJoints(next, true);
        liveState.kinState = 0;
    } catch (int code) {
        liveState.kinState = code;
    } catch (const std::exception& e) {
        Log()->addFormat("Error during joint motion: %s", e.what());
        liveState.kinState = -1;
    }
}

void RobotMaster::JogCartesian(bool tool) {
    const double dt = CycleTimeMS.load() / 1000.0;
    const double overridePart = liveState.override / 100.0;

    kinematic->GetPosition(&probeState);
    const DataTypes::Matrix44 pose = probeState.pose;
    float joints[kNrJoints];
    kinematic->GetJoints(joints);

    double trans[3];
    double rot[3];
    for (int k = 0; k < 3; ++k) {
        trans[k] = cycleJog[k] / 100.0 * jogVelCart[k] * overridePart;
        rot[k] = cycleJog[3 + k] / 100.0 * jogVelOri[k] * overridePart;
    }
    double transSpeed = std::sqrt(trans[0] * trans[0] + trans[1] * trans[1] + trans[2] * trans[2]);
    const double rotSpeed = std::sqrt(rot[0] * rot[0] + rot[1] * rot[1] + rot[2] * rot[2]);
    if (operationModesActive && cycleOperationMode == 1 && transSpeed > manualModeMaxVel) {
        // Only the translation is limited.
        const double scale = manualModeMaxVel / transSpeed;
        for (double& t : trans) t *= scale;
        transSpeed = manualModeMaxVel;
    }
    double rampedTrans = 0.0;
    double rampedRot = 0.0;
    jogRampCart.SetTargetVel(transSpeed, rotSpeed, &rampedTrans, &rampedRot);
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
        kinematic->SetPosition(target, joints);
        liveState.kinState = 0;
    } catch (int code) {
        liveState.kinState = code;
    } catch (const std::exception& e) {
        Log()->addFormat(tool ? "Error during cart-tool motion: %s" : "Error during cart-base motion: %s",
                         e.what());
        liveState.kinState = -1;
    }
    ExternalVelocityAxes();
}

void RobotMaster::ExternalVelocityAxes() {
    ExternalJointVelocitySource& plc = GetExternalJointVelocitySource();
    for (int e = 0; e < kNrExternalAxes; ++e) {
        if (loopAxes.IsDefined(e) && loopAxes.Axis(e).MotionMode == ExternalAxis::Velocity) {
            liveState.jointVel[6 + e] = plc.GetExternalJointVelocity(e);
        }
    }
}

// ---------------------------------------------------------------- logic program, tool

void RobotMaster::LogicProgramStep() {
    logicState = liveState;
    if (!logicIpo.IsReplayRunning()) return;
    logicIpo.GetNextPosition(CycleTimeMS.load(), liveState.override, &logicState);
    // Only its outputs and signals count; its motion results are not used.
    std::copy(std::begin(logicState.DOut), std::end(logicState.DOut), std::begin(liveState.DOut));
    std::copy(std::begin(logicState.GSig), std::end(logicState.GSig), std::begin(liveState.GSig));
}

void RobotMaster::ToolStep() {
    Tool& tool = kinematic->tool;
    tool.Update();
    liveState.gripper[0] = tool.GetJoint();
    liveState.gripperHw[0] = tool.GetHWPosition();
}

// ---------------------------------------------------------------- hardware (19, 20)

void RobotMaster::ReadBackStep(LoopClock& clock, std::uint64_t period) {
    Hardware::HardwareProtocol& hw = *hardware;
    kinematic->GetJoints(liveState.jointSet);
    // Into strings kept by the loop: GetErrorShort() would return a fresh copy each cycle.
    errorTextLong.clear();
    errorTextShort.clear();
    hw.GetError(errorTextLong, errorTextShort);
    liveState.errorText.assign(errorTextShort);
    liveState.supply = hw.GetSupplyVoltageRaw();
    liveState.currentAll = hw.GetMainDIOValue();
    liveState.eStop = hw.GetMainDIOStatus();
    hw.GetErrorHexCode(liveState.errorCodes);
    hw.GetTempValues(liveState.boardTemps);
    hw.GetCurrentValues(liveState.currents);
    hw.GetReferenceStatus(liveState.refJoint, &liveState.refOverall);
    if (TimingMode.load() == 2) WaitTimingMode2(clock, period);
}

void RobotMaster::HardwareExchangeStep() {
    Hardware::HardwareProtocol& hw = *hardware;
    // Last look at the e-stop before the set-points leave (timing mode 2 has waited since
    // the first): a circuit that opened meanwhile gets the last set-point sent again.
    if (IsValidIONum(loopBrake.eStopDInChannel) && !eStopLatched.load()) {
        ReadEStopInput();
        if (eStopLatched.load() && setPointSent) {
            std::copy(std::begin(lastSentJointSet), std::end(lastSentJointSet), std::begin(liveState.jointSet));
            for (float& v : liveState.jointVel) v = 0.0f;
        }
    }
    hw.SetJoints(liveState);
    std::copy(std::begin(liveState.jointSet), std::end(liveState.jointSet), std::begin(lastSentJointSet));
    setPointSent = true;
    hw.GetJoints(&liveState);
    kinematic->GetPosition(&liveState);
    liveState.UpdateABC();

    // Never waits; the name is copied into the live state's own string only when it changed.
    mainIpo.ReadProgramInformation(mainProgramInfoSeen, &liveState.programName, &liveState.programLength,
                                   &liveState.programLine);
    if (mainIpo.IsReplayRunning()) {
        liveState.runState = 1;
    } else if (mainIpo.currentPoint.load() < 0) {
        liveState.runState = 0;
    } else {
        liveState.runState = 2;
    }
    CheckJogValues();
    CheckRunStateChanged();
    // "#position" always holds the current position, without a snapshot for listeners.
    programMemory.OnPoseChanged(liveState);
}
