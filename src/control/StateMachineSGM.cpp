#include "control/StateMachineSGM.h"

#include "control/RobotMaster.h"
#include "core/LogSingleton.h"

#include <chrono>
#include <thread>

namespace TalvoStateMachine {

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

class SteadyClock : public EM67Clock {
public:
    std::int64_t NowNs() override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void SleepMs(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

SteadyClock& DefaultClock() {
    static SteadyClock clock;
    return clock;
}

// The host's step lock for the length of one step.
class StepLock {
public:
    explicit StepLock(EM67Host& h) : host(h), acquired(h.TryLockStep()) {}
    ~StepLock() {
        if (acquired) host.UnlockStep();
    }
    StepLock(const StepLock&) = delete;
    StepLock& operator=(const StepLock&) = delete;
    bool Acquired() const { return acquired; }

private:
    EM67Host& host;
    bool acquired;
};

constexpr int kProgramWaitMs = 50;
constexpr int kFaultRepeatMs = 100;
constexpr int kManualPulseMs = 100;

}  // namespace

StateMachineSGM::StateMachineSGM() : clock(&DefaultClock()) {}

StateMachineSGM::~StateMachineSGM() = default;

void StateMachineSGM::SetOwner(RobotMaster* master, IPO* mainInterpreter) {
    ownerHost.reset();
    if (master != nullptr && mainInterpreter != nullptr) {
        ownerHost = MakeRobotMasterHost(*master, *mainInterpreter);
    }
    host = ownerHost.get();
}

void StateMachineSGM::SetHost(EM67Host* other) { host = other != nullptr ? other : ownerHost.get(); }

void StateMachineSGM::SetClock(EM67Clock* other) { clock = other != nullptr ? other : &DefaultClock(); }

bool StateMachineSGM::IsActive() const { return host != nullptr && host->IsActive(); }

bool StateMachineSGM::GetActive(const DataTypes::RobotState& robotState) const {
    return robotState.DIn[inputAuto];
}

void StateMachineSGM::SetOutput(int channel, bool on) {
    if (channel == kNoChannel) return;
    host->SetOutput(channel, on);
}

void StateMachineSGM::Init() {
    if (host == nullptr) return;
    SetOutput(outputAfterGrab, false);
    SetOutput(outputInMould, false);
    for (int channel : outputGroup) SetOutput(channel, false);
    SetOutput(outputOperationMode, false);
    SetOutput(outputRobotFailure, false);
    host->EnterStateMachineMotionMode();
    host->SetReplaySingle();
    state.store(StateStart);
    subStep.store(0);  // as in Stop()
    deadlineNs.store(0);
    host->SetActive(true);
    Log()->add("FSM EM67 initialized.");
    Log()->add("FSM running in state ", static_cast<int>(StateStart));
}

void StateMachineSGM::Stop() {
    state.store(StateStart);
    // The machine stays active across its own program starts, so a stop always cuts a
    // phase short: the next activation starts over at home, not in the middle of a phase
    // whose program is no longer the one loaded.
    subStep.store(0);
    deadlineNs.store(0);
    if (host == nullptr) return;
    // Deactivate exchanges the flag: two threads stopping at once switch the outputs once.
    if (host->Deactivate()) {
        SetOutput(outputOperationMode, false);
        SetOutput(outputRobotFailure, false);
        host->RestoreMotionMode();
    }
}

void StateMachineSGM::SetManualMode() {
    if (host == nullptr) return;
    host->Show("EM67 Manual Mode activated");
    for (bool level : {false, true, false}) {
        SetOutput(kOutputManualPulse, level);
        host->WaitOutputApplied(kOutputManualPulse);
        clock->SleepMs(kManualPulseMs);
    }
    SetOutput(outputGroup[0], true);
    SetOutput(outputGroup[1], true);
    SetOutput(outputOperationMode, true);
}

void StateMachineSGM::SetWaitTime(int ms) {
    deadlineNs.store(nowNs + static_cast<std::int64_t>(ms) * 1000000LL);
}

void StateMachineSGM::ProcessFSM(const DataTypes::RobotState& robotState) {
    if (host == nullptr || !host->IsActive()) return;
    nowNs = clock->NowNs();
    if (nowNs < deadlineNs.load()) return;
    // On the robot loop a busy command mutex postpones the step by a cycle.
    StepLock lock(*host);
    if (!lock.Acquired()) return;

    const int before = state.load();
    if (robotState.DOut[outputRobotFailure]) {
        if (before != StateFault) {
            Log()->add("SGM-FSM: Received robot failure state, proceed to fail mode!");
            subStep.store(0);
        }
        state.store(StateFault);
    }
    switch (state.load()) {
        case StateStart:
            TriggerStartAction(robotState);
            break;
        case StateIdle:
            TriggerIdleAction(robotState);
            break;
        case StateInMould:
            TriggerInMouldAction(robotState);
            break;
        case StateInMouldEjectorFront:
            TriggerInMouldEjectorFrontAction(robotState);
            break;
        case StateInMouldEjectorBack:
            TriggerInMouldEjectorBackAction(robotState);
            break;
        case StateOutOfMould:
            TriggerOutOfMouldAction(robotState);
            break;
        default:
            TriggerFaultAction(robotState);
            break;
    }
    const int after = state.load();
    if (after != before) Log()->add("FSM running in state ", after);
}

bool StateMachineSGM::ProgramStep(ProgramIndex program, bool firstWaitsForIdle, bool waitAfterStart) {
    const bool idle = host->IsInterpreterIdle();
    switch (subStep.load()) {
        case 0:
            if (firstWaitsForIdle && !idle) return false;
            subStep.store(1);
            SetWaitTime(kProgramWaitMs);
            return false;
        case 1:
            if (!idle) return false;
            host->DeleteAll();
            if (!host->LoadProgram(programs[program])) {
                PhaseFailed(program, "load");
                return false;
            }
            SetWaitTime(kProgramWaitMs);
            subStep.store(2);
            return false;
        case 2:
            if (!idle) return false;
            if (!host->IsProgramLoaded()) {
                PhaseFailed(program, "load");
                return false;
            }
            if (!host->StartProgram()) {
                PhaseFailed(program, "start");
                return false;
            }
            subStep.store(3);
            if (waitAfterStart) SetWaitTime(kProgramWaitMs);
            return false;
        default:
            if (!idle) return false;
            subStep.store(0);
            return true;
    }
}

void StateMachineSGM::PhaseFailed(ProgramIndex program, const char* what) {
    Log()->addFormat("SGM-FSM: Could not %s program '%s', proceed to fail mode!", what,
                     programs[program].c_str());
    subStep.store(0);
    state.store(StateFault);
}

void StateMachineSGM::TriggerStartAction(const DataTypes::RobotState&) {
    if (!ProgramStep(ProgramHome, true, false)) return;
    SetOutput(outputGroup[0], true);
    SetOutput(outputGroup[1], true);
    state.store(StateIdle);
}

void StateMachineSGM::TriggerIdleAction(const DataTypes::RobotState&) {
    if (!ProgramStep(ProgramOnConveyor, false, false)) return;
    state.store(StateInMould);
}

void StateMachineSGM::TriggerInMouldAction(const DataTypes::RobotState& robotState) {
    if (!robotState.DIn[inputAuto]) {
        Log()->add("SGM: BA Auto nicht gesetzt --> Abbruch des Zyklus!");
        Stop();
        return;
    }
    if (!(robotState.DIn[inputMayEnter] && !robotState.DIn[inputBlocked] &&
          robotState.DIn[inputEjectorBack])) {
        return;
    }
    SetOutput(outputGroup[0], false);
    SetOutput(outputGroup[1], false);
    if (!ProgramStep(ProgramIntoMould, false, false)) return;
    SetOutput(outputInMould, true);
    state.store(StateInMouldEjectorFront);
}

void StateMachineSGM::TriggerInMouldEjectorFrontAction(const DataTypes::RobotState& robotState) {
    if (!(robotState.DIn[inputEjectorFront] && !robotState.DIn[inputEjectorBack])) return;
    SetOutput(outputInMould, false);
    if (!ProgramStep(ProgramGrabPart, false, false)) return;
    SetOutput(outputAfterGrab, true);
    state.store(StateInMouldEjectorBack);
}

void StateMachineSGM::TriggerInMouldEjectorBackAction(const DataTypes::RobotState& robotState) {
    if (!(!robotState.DIn[inputEjectorFront] && robotState.DIn[inputEjectorBack])) return;
    SetOutput(outputAfterGrab, false);
    if (!ProgramStep(ProgramPlacePart, false, false)) return;
    state.store(StateOutOfMould);
}

void StateMachineSGM::TriggerOutOfMouldAction(const DataTypes::RobotState&) {
    if (!ProgramStep(ProgramOutOfMould, false, true)) return;
    SetOutput(outputGroup[0], true);
    SetOutput(outputGroup[1], true);
    state.store(StateIdle);
}

void StateMachineSGM::TriggerFaultAction(const DataTypes::RobotState&) {
    SetOutput(outputGroup[0], false);
    SetOutput(outputGroup[1], false);
    SetWaitTime(kFaultRepeatMs);
}

}  // namespace TalvoStateMachine
