// Robot loop steps that connect the robot to its surroundings: the loop's copies of the
// settings other threads write, the reference-all sequence, the delayed brake, drive error
// changes and hardware errors, the PLC-interface outputs, the digital gripper, the output
// map and the inputs, the emergency-stop edge and the PLC-interface input signals.
#include "control/RobotLoop.h"

#include "control/RobotMaster.h"

#include "core/LogSingleton.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

bool TextIs(const std::string& text, const char* value) { return text.compare(value) == 0; }

// The seven PLC-interface command inputs in the order they are handled.
enum PLCSignal { kEnable = 0, kPlay, kPause, kRequestReference, kShutdown, kAltStart, kAltStop, kSignals };

int SignalInput(const PLCInterfaceNumbers& plc, int signal) {
    switch (signal) {
        case kEnable: return plc.EnableNumber;
        case kPlay: return plc.PlayNumber;
        case kPause: return plc.PauseNumber;
        case kRequestReference: return plc.RequestReferenceNumber;
        case kShutdown: return plc.ShutdownNumber;
        case kAltStart: return plc.AltStartNumber;
        default: return plc.AltStopNumber;
    }
}

const char* const kEStopRefusal[kSignals] = {
    "PLCInterface: Enable requested but E-Stop detected",
    "PLCInterface: Play requested but E-Stop detected",
    "PLCInterface: Pause requested but E-Stop detected",
    "PLCInterface: Reference all requested but E-Stop detected",
    nullptr,  // Shutdown is never refused
    "PLCInterface: AltStart requested but E-Stop detected",
    "PLCInterface: AltStop requested but E-Stop detected",
};

}  // namespace

// ---------------------------------------------------------------- settings copies

void RobotMaster::SetPLCInterfaceSettings(const PLCInterfaceNumbers& settings) { Log()->set_plcInterfaceNr(settings); }

void RobotMaster::ChangePLCInterfaceSettings(const std::function<void(PLCInterfaceNumbers&)>& edit) {
    Log()->change_plcInterfaceNr(edit);
}

void RobotLoop::RefreshLoopCopies() {
    loopAxes.Refresh(m);

    // PLC-interface settings: taken whole when they changed, never waiting for a writer.
    const std::uint32_t plcChange = Log()->get_plcInterfaceNrVersion();
    if (!loopPlcLoaded || plcChange != loopPlcSeen) {
        if (Log()->try_get_plcInterfaceNr(loopPlc)) {
            loopPlcSeen = plcChange;
            loopPlcLoaded = true;
        }
    }

    // Brake and e-stop settings: taken whole when they changed and no writer is busy. A new
    // e-stop input is read afresh: until its module has answered it counts as not read,
    // and its first reading counts as an edge. While latched the input that latched stays
    // monitored (only its closed reading releases); a new one is taken after the release.
    const std::uint32_t brakeChange = m.brakeSettingsChange.load();
    if (!loopBrakeLoaded || brakeChange != loopBrakeSeen || (eStopChannelDeferred && !m.eStopLatched.load())) {
        std::unique_lock<std::mutex> lock(m.brakeSettingsMutex, std::try_to_lock);
        if (lock.owns_lock()) {
            BrakeSettings next = m.brakeSettings;
            eStopChannelDeferred = false;
            if (loopBrakeLoaded && m.eStopLatched.load() && next.eStopDInChannel != loopBrake.eStopDInChannel) {
                next.eStopDInChannel = loopBrake.eStopDInChannel;
                eStopChannelDeferred = true;
            }
            if (!loopBrakeLoaded || next.eStopDInChannel != loopBrake.eStopDInChannel) {
                eStopRead = false;
                m.lastEStopInput.store(false);
                m.eStopInputRead.store(false);
            }
            loopBrake = next;
            loopBrakeSeen = m.brakeSettingsChange.load();
            loopBrakeLoaded = true;
        }
    }

    // On-error output states: taken whole when they changed and no writer is busy.
    const std::uint32_t errorChange = m.doutOnErrorChange.load();
    if (!loopDoutOnErrorLoaded || errorChange != loopDoutOnErrorSeen) {
        std::unique_lock<std::mutex> lock(m.doutTargetsMutex, std::try_to_lock);
        if (lock.owns_lock()) {
            for (int n = 0; n < DataTypes::RobotState::maxIOs; ++n) loopDoutOnError[n] = m.doutOnError[n].load();
            loopDoutOnErrorSeen = m.doutOnErrorChange.load();
            loopDoutOnErrorLoaded = true;
        }
    }
}

void RobotLoop::ProcessPLCTriggers() { loopTriggers.Process(m, m.liveState); }

void RobotLoop::LoopShow(const char* text) { m.loopOutbox.Post(LoopOutbox::DisplayAndServer, text); }

void RobotLoop::LoopNotify(const char* text) { m.loopOutbox.Post(LoopOutbox::Server, text); }

void RobotLoop::LoopResetOutputsOnError(bool engageBrake) {
    if (!loopDoutOnErrorLoaded) RefreshLoopCopies();
    for (int n = 0; n < DataTypes::RobotState::maxIOs; ++n) {
        if (loopDoutOnError[n] == DOutTrue) {
            m.SetManualDOut(n, true);
        } else if (loopDoutOnError[n] == DOutFalse) {
            m.SetManualDOut(n, false);
        }
    }
    if (engageBrake) m.SetBrake(false, false);
}

// ---------------------------------------------------------------- reference all (8)

void RobotLoop::ReferenceAllStep(std::uint64_t now) {
    // A command arms the sequence by raising the restart before the active flag.
    if (m.requests.restartReferenceAll.exchange(false)) {
        referenceAllStep = 0;
        referenceAllCounter = 0;
        referenceAllJoint = -1;
    }
    if (!m.referenceAllActive.load()) return;
    // A step (and the end) waits until the joint of the last step has finished; one whose
    // referencing failed ends the sequence there.
    if (referenceAllJoint >= 0 && m.hardware->IsAxisModule(referenceAllJoint)) {
        const Hardware::jointData& last = m.hardware->GetJointData(referenceAllJoint);
        if (last.referencingFailed.load() != 0) {
            Log()->addFormat("Reference all stopped: referencing of joint %d failed", referenceAllJoint);
            LoopShow("Ref All stopped");
            m.referenceAllActive.store(false);
            referenceAllStep = 0;
            referenceAllJoint = -1;
            return;
        }
        if (last.referencing.load() != 0) return;
    }
    const int step = referenceAllStep;
    if (step >= 0 && step <= 8) {
        const long long elapsedSeconds = static_cast<long long>(now / 1000000ULL) -
                                         static_cast<long long>(referenceStepStartUs / 1000000ULL);
        if (elapsedSeconds >= loopPlc.RefDelay[step]) {
            const int joint = loopPlc.JointToRef[step];
            // The settings come from outside: the module is checked before its error code.
            if (joint >= 0 && m.hardware->IsAxisModule(joint)) {
                const int code = m.hardware->GetJointData(joint).errorCode.load();
                if (code == 0 || referenceAllCounter > 9) {
                    // ReferenceJoint is a command: with the command mutex busy the step
                    // waits a cycle (a start or a drive command of another thread).
                    CommandLock lock(m);
                    if (!lock.Acquired()) return;
                    if (referenceAllCounter < 10) {
                        Log()->add("Referencing joint", joint);
                    } else {
                        Log()->addFormat("Referencing joint %d despite error code %d", joint, code);
                    }
                    m.ReferenceJoint(joint);
                    referenceAllJoint = joint;
                    referenceStepStartUs = now;
                    referenceAllCounter = 0;
                    referenceAllStep = step + 1;
                } else {
                    ++referenceAllCounter;
                }
            } else {
                referenceAllStep = 9;
            }
        }
    }
    if (referenceAllStep > 8 || referenceAllStep < 0) {
        m.referenceAllActive.store(false);
        referenceAllStep = 0;
        referenceAllJoint = -1;
    }
}

// ---------------------------------------------------------------- delayed brake (9)

void RobotLoop::DelayedBrakeStep(std::uint64_t now) {
    if (!m.brakeReleasePending.load()) return;
    // The delay runs on the loop's clock from the cycle that first sees the request.
    const std::uint32_t request = m.brakeReleaseRequests.load();
    if (request != brakeRequestSeen) {
        brakeRequestSeen = request;
        brakeDelayStartUs = now;
    }
    const long long elapsedMs = static_cast<long long>((now - brakeDelayStartUs) / 1000U);
    if (elapsedMs > loopBrake.brakeDelayMS && IsDriveReady()) {
        m.SetBrake(true, true);
        m.brakeReleasePending.store(false);
    }
}

// ---------------------------------------------------------------- error change (10)

void RobotLoop::ErrorChangeStep() {
    const std::string& text = m.liveState.errorText;
    const bool changed = text != m.liveState.previousErrorText;
    const bool referencing = m.hardware->IsReferencing();
    if (!changed && !(loopReferencing && !referencing)) return;

    const bool keep = (referencing && TextIs(text, "_MNE_LAG")) || TextIs(text, "NoError") ||
                      TextIs(text, "_MNE") || TextIs(text, "operation_enabled") ||
                      TextIs(text, "Homing") || TextIs(text, "switched_on") || TextIs(text, "n/a");
    if (!keep) {
        LoopResetOutputsOnError(true);
        m.referenceAllActive.store(false);
        Log()->addFormat("RobotMaster: Resetting DOuts on error (main loop), error state: %s",
                         text.c_str());
    }
    loopReferencing = referencing;
    m.liveState.previousErrorText.assign(text);
}

// ---------------------------------------------------------------- hardware error (12)

void RobotLoop::HardwareErrorStep() {
    // Only running interpreters are stopped; the texts are built only then. The stops are
    // posted: they halt the interpreters in this cycle whatever another thread holds.
    if (m.mainIpo.IsReplayRunning()) {
        m.ErrorStateProgram(IPO::STOP_ERROR, true, "Hardware error " + m.liveState.errorText);
    }
    if (m.moveToIpo.IsReplayRunning()) {
        m.moveToIpo.PostStop(IPO::STOP_ERROR, ("Hardware error " + m.liveState.errorText).c_str());
        m.moveToIpo.PostDeleteAll();
    }
    m.liveState.kinState = 99;
    m.ResetVelocities();
}

// ---------------------------------------------------------------- outputs (15, 16)

void RobotLoop::PLCOutputsStep() {
    if (!loopPlc.Active) return;
    // Not ready from the e-stop's opening until it is reset.
    const bool ready = IsDriveReady() && !m.IsEStopLatched();
    const bool running = m.mainIpo.IsReplayRunning();
    auto write = [this](int n, bool value) {
        if (m.IsValidIONum(n)) m.liveState.DOut[n] = value;
    };
    write(loopPlc.NoFaultNumber, ready);
    write(loopPlc.FaultNumber, !ready);
    write(loopPlc.ProgramRunningNumber, running);
    write(loopPlc.ProgramNotRunningNumber, ready && !running);
    write(loopPlc.RobotIsReferenced, m.hardware->IsReferenced());
}

void RobotLoop::DigitalGripperStep() {
    const Tool& tool = m.kinematic->tool;
    if (!TextIs(tool.protocol, "digital")) return;
    if (!m.IsValidIONum(tool.ChannelEnable) || !m.IsValidIONum(tool.ChannelOpenClose)) return;
    m.liveState.DOut[tool.ChannelEnable] = true;
    m.liveState.DOut[tool.ChannelOpenClose] = m.liveState.gripper[0] > 50.0f;
}

void RobotLoop::DigitalIOStep() {
    SendOutputs();
    m.hardware->GetDigitalIORail(m.liveState.DIn);
}

void RobotLoop::SendOutputs() {
    Hardware::HardwareProtocol& hw = *m.hardware;
    outputsSent = true;
    // Every output every cycle; 50..63 have no hardware.
    for (int n = 0; n < 50; ++n) {
        const bool value = m.liveState.DOut[n];
        if (n < 10) {
            hw.SetIO(0, n, value);
        } else if (n < 20) {
            hw.SetIO(3, n - 10, value);
        } else {
            hw.SetRailIO(n / 10 - 2, n % 10, value);
        }
    }
    // What the brake output that just went out does until the next cycle's.
    const int brake = loopBrake.brakeDOutChannel;
    brakeReleasedSent = m.IsValidIONum(brake) && m.liveState.DOut[brake];
}

bool RobotLoop::BrakeHolds() const { return m.IsValidIONum(loopBrake.brakeDOutChannel) && !brakeReleasedSent; }

void RobotLoop::EStopStep(const bool* inputs) {
    const int channel = loopBrake.eStopDInChannel;
    // A reset or an enable asked to release: only with the circuit closed, else dropped (a
    // later closing of the circuit releases nothing by itself). Without a monitored input,
    // or before its module has answered, nothing is released: the latch (kept with its own
    // input) ends only with a closed reading of that input.
    const bool releaseAsked = m.eStopReleaseRequested.exchange(false);
    if (!m.IsValidIONum(channel)) return;
    if (!m.hardware->IsDigitalInputRead(channel)) {
        // Until the module's first answer the input is neither open nor closed: nothing is
        // logged or reset, and starts and motion are refused as not read yet.
        m.eStopInputRead.store(false);
        return;
    }
    m.eStopInputRead.store(true);
    const bool level = inputs[channel];
    // An open reading after the set-point step takes that step back (latched or not).
    if (!level && setPointStepDone) restoreSetPoint = true;
    const bool first = !eStopRead;
    eStopRead = true;
    if (first || level != m.lastEStopInput.load()) {
        m.lastEStopInput.store(level);
        if (!level) {
            EStopOpened();
        } else if (!first && m.eStopLatched.load()) {
            Log()->add("RobotMaster: E-Stop circuit closed again, reset or enable to release");
        }
    }
    if (releaseAsked && m.eStopLatched.load()) EStopRelease(level);
}

void RobotLoop::ReadEStopInput() {
    // The protocol fills only the inputs it has; the others keep their live values.
    std::copy(std::begin(m.liveState.DIn), std::end(m.liveState.DIn), std::begin(eStopInputs));
    m.hardware->GetDigitalIORail(eStopInputs);
    EStopStep(eStopInputs);
}

void RobotLoop::EStopOpened() {
    Log()->add("RobotMaster: ***** ESTOP DETECTED! ***** Resetting outputs and applying brake!");
    m.hardware->StopReferencing();  // every homing stops at once
    LoopResetOutputsOnError(true);
    bool earlier;
    {
        // Latched under the start paths' lock when it is free, so that no start passes its
        // check and starts after this; a start holding it gives way itself.
        std::unique_lock<std::mutex> lock(m.eStopMutex, std::try_to_lock);
        earlier = m.eStopLatched.exchange(true);
    }
    // Opened after this cycle's outputs were handed over: they go again with the brake
    // engaged, so that the I/O frame of this cycle carries it.
    if (outputsSent) resendOutputs = true;
    if (earlier) return;  // still latched from an earlier opening
    // Motion stops here: the programs are paused (the move-to motion stopped), jog input
    // and velocities are dropped, and the set-point stays where it is until the release.
    m.PauseProgram(IPO::STOP_PLC);
    m.referenceAllActive.store(false);
    for (auto& value : m.jogValues) value.store(0.0f);
    m.jogRampJoint.Reset();
    m.jogRampCart.Reset();
}

void RobotLoop::EStopRelease(bool circuitClosed) {
    if (!circuitClosed) return;
    m.eStopLatched.store(false);
    Log()->add("RobotMaster: E-Stop released");
    // Nothing moves by itself after the release: a motion left in the move-to interpreter
    // is dropped, and the brake is lifted (after its delay) only for enabled drives.
    m.StopMoveTo(IPO::STOP_USER);
    if (m.hardware->GetMotorEnabled() && !m.brakeReleasePending.load()) m.SetBrake(true, false);
}

void RobotMaster::RequestEStopRelease() {
    if (IsEStopDetected() || IsEStopInputUnread()) return;
    // A program paused by the opening goes on, when started again, from where the robot
    // stands: its plan may be a cycle ahead of the held set-point.
    if (eStopLatched.load() && !IsLoopThread()) mainIpo.RestartCommand();
    eStopReleaseRequested.store(true);
}

void RobotLoop::RestoreCycleSetPoint() {
    // The joints the set-point step started from, as the robot was last sent them: the step
    // leaves no trace, and nothing moves on (velocities 0).
    try {
        m.kinematic->SetJoints(preSetPointJoints, true);
    } catch (...) {
        // The joints were accepted when the last cycle applied them; the copy below stands.
    }
    std::copy(std::begin(preSetPointJoints), std::end(preSetPointJoints), std::begin(m.liveState.jointSet));
    for (float& v : m.liveState.jointVel) v = 0.0f;
    restoreSetPoint = false;
}

// ---------------------------------------------------------------- PLC input signals (17)

void RobotLoop::PLCInputSignalsStep() {
    if (!loopPlc.Active) return;
    for (int signal = 0; signal < kSignals; ++signal) {
        const int input = SignalInput(loopPlc, signal);
        if (!m.IsValidIONum(input)) continue;
        const bool level = m.liveState.DIn[input];
        if (level && !plcInputMemory[signal]) {
            // The actions are commands: with the command mutex busy the edge is kept for
            // the next cycle.
            CommandLock lock(m);
            if (!lock.Acquired()) continue;
            PLCSignalAction(signal);
        }
        plcInputMemory[signal] = level;
    }
}

void RobotLoop::PLCSignalAction(int signal) {
    LogSingleton* log = Log();
    if (signal != kShutdown && m.IsEStopDetected()) {
        if (m.IsEStopInputUnread()) {
            // "<signal> requested but E-Stop input not read yet"
            const char* text = kEStopRefusal[signal];
            const char* tail = std::strstr(text, "E-Stop detected");
            const int head = tail != nullptr ? static_cast<int>(tail - text) : static_cast<int>(std::strlen(text));
            log->addFormat("%.*sE-Stop input not read yet", head, text);
        } else {
            log->add(kEStopRefusal[signal]);
        }
        return;
    }
    Hardware::HardwareProtocol& hw = *m.hardware;
    const bool mainRunning = m.mainIpo.IsReplayRunning();
    const int mainRunState = m.mainIpo.GetRunState();
    switch (signal) {
        case kEnable:
            m.ErrorStateProgram(IPO::STOP_PLC, false, std::string());
            if (!hw.GetMotorEnabled()) {
                log->add("PLCInterface: Enable");
                LoopNotify("PLC: Enable");
                m.Reset();
                m.EnableMotors(true);
            } else {
                log->add("PLCInterface: Reset");
                LoopNotify("PLC: Reset");
                m.Reset();
            }
            break;
        case kPlay:
            if (mainRunning) {
                log->add("PLCInterface: Stop");
                LoopNotify("PLC: Stop");
                m.StopProgram(IPO::STOP_PLC);
            } else {
                log->add("PLCInterface: Play");
                LoopNotify("PLC: Play");
                m.StartProgram();
            }
            break;
        case kPause:
            if (mainRunState == IPO::RUNSTATE_PAUSED) {
                log->add("PLCInterface: Continue");
                LoopNotify("PLC: Continue");
                m.StartProgram();
            } else if (mainRunState == IPO::RUNSTATE_RUNNING) {
                log->add("PLCInterface: Pause");
                LoopNotify("PLC: Pause");
                m.PauseProgram(IPO::STOP_PLC);
            }
            break;
        case kRequestReference:
            log->add("PLCInterface: Starting Reference All Joints");
            LoopNotify("PLC: RefAll");
            if (mainRunning) m.StopProgram(IPO::STOP_PLC);
            referenceAllStep = 0;
            referenceAllCounter = 0;
            referenceAllJoint = -1;
            m.referenceAllActive.store(true);
            break;
        case kShutdown:
            log->add("PLCInterface: Shutting down the system");
            LoopNotify("PLC: Shutdown");
            if (mainRunning) m.StopProgram(IPO::STOP_PLC);
            // Counters, project write and the power-off command run off the loop.
            m.loopOutbox.RequestShutdown();
            break;
        case kAltStart: {
            const bool referencingNeeded = hw.IsReferencingMandatory() && !hw.IsReferenced();
            if (!hw.GetMotorEnabled()) {
                log->add("PLCInterface: AltStart - Reset/Enable");
                LoopNotify("PLC: Reset/Enable");
                m.Reset();
                m.EnableMotors(true);
            } else if (referencingNeeded) {
                if (!m.referenceAllActive.load()) {
                    log->add("PLCInterface: AltStart - RefAll");
                    LoopNotify("PLC: RefAll");
                    if (mainRunning) m.StopProgram(IPO::STOP_PLC);
                    referenceAllStep = 0;
                    referenceAllCounter = 0;
                    referenceAllJoint = -1;
                    m.referenceAllActive.store(true);
                } else {
                    log->add("PLCInterface: RefAll already running");
                    LoopNotify("RefAll already running");
                }
            } else if (!mainRunning) {
                log->add("PLCInterface: AltStart - StartProgram");
                LoopNotify("PLC: Start");
                m.StartProgram();
            }
            break;
        }
        default:  // AltStop
            if (mainRunState == IPO::RUNSTATE_RUNNING) {
                log->add("PLCInterface: AltStop - Pause");
                LoopNotify("PLC: Pause");
                m.PauseProgram(IPO::STOP_PLC);
            } else if (mainRunState == IPO::RUNSTATE_PAUSED) {
                LoopNotify("PLC: Stop");
                m.StopProgram(IPO::STOP_PLC);
            } else {
                LoopNotify("PLC: Reset");
                m.Reset();
            }
            break;
    }
}
