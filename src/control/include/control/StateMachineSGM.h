#pragma once

// The EM67 injection-moulding hand-shake: watches the moulding machine's inputs, sets
// outputs towards it and runs six fixed programs, one per phase. The robot master owns
// one, hands it to the interpreters (every interpreter stop calls Stop() first) and steps
// it with ProcessFSM once per robot-loop cycle while it is active.
//
// ProcessFSM runs on the robot loop: every wait in it is a deadline on the monotonic
// clock, never a sleep. Only SetManualMode (an operator entry, main thread) sleeps.

#include "core/RobotState.h"
#include "program/IPO.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class RobotMaster;

namespace TalvoStateMachine {

// What the hand-shake needs of the controller. The robot master provides it; tests can
// put a stand-in in its place.
class EM67Host {
public:
    virtual ~EM67Host() = default;

    // The command mutex for one step (a try-lock on the robot loop); false: skip the step.
    virtual bool TryLockStep() = 0;
    virtual void UnlockStep() = 0;

    // The machine's active flag (the robot loop steps it only while set).
    virtual bool IsActive() const = 0;
    virtual void SetActive(bool active) = 0;
    // Clears the flag; true when it was set.
    virtual bool Deactivate() = 0;

    virtual void SetOutput(int channel, bool on) = 0;
    // Returns once the output set last on channel has reached the outputs (bounded). The
    // manual pulse times its width from there, so a late loop cycle cannot shorten or
    // swallow it. A host that sets outputs at once has nothing to wait for.
    virtual void WaitOutputApplied(int channel) { (void)channel; }
    // Motion mode FSM for the hand-shake, and back to the one saved by the operator entry.
    virtual void EnterStateMachineMotionMode() = 0;
    virtual void RestoreMotionMode() = 0;
    virtual void Show(const std::string& text) = 0;

    // The main interpreter.
    virtual void SetReplaySingle() = 0;
    // Neither loading nor replaying.
    virtual bool IsInterpreterIdle() const = 0;
    virtual void DeleteAll() = 0;
    // Starts loading on its own thread; false when the interpreter refused.
    virtual bool LoadProgram(const std::string& name) = 0;
    virtual bool IsProgramLoaded() const = 0;
    // Starts the loaded program with the robot's start permission; false when refused.
    virtual bool StartProgram() = 0;
};

// Monotonic time for the deadlines, and the operator entry's sleep.
class EM67Clock {
public:
    virtual ~EM67Clock() = default;
    virtual std::int64_t NowNs() = 0;
    virtual void SleepMs(int ms) = 0;
};

class StateMachineSGM : public ProgramStopInterface {
public:
    enum State : int {
        StateStart = 0,
        StateIdle = 1,
        StateInMould = 2,
        StateInMouldEjectorFront = 3,
        StateInMouldEjectorBack = 4,
        StateOutOfMould = 5,
        StateFault = 6,
    };
    enum ProgramIndex : int {
        ProgramHome = 0,
        ProgramIntoMould = 1,
        ProgramGrabPart = 2,
        ProgramPlacePart = 3,
        ProgramOutOfMould = 4,
        ProgramOnConveyor = 5,
    };

    // An output with no channel assigned; skipped wherever outputs are set.
    static constexpr int kNoChannel = -1;
    static constexpr int kOutputRobotFailure = 25;
    static constexpr int kOutputOperationMode = 32;
    static constexpr int kInputAuto = 32;
    static constexpr int kOutputManualPulse = 20;

    StateMachineSGM();
    ~StateMachineSGM() override;
    StateMachineSGM(const StateMachineSGM&) = delete;
    StateMachineSGM& operator=(const StateMachineSGM&) = delete;

    // Wiring by the robot master's constructor: the master becomes the host.
    void SetOwner(RobotMaster* master, IPO* mainInterpreter);
    // Another host or clock (not owned; null restores the defaults).
    void SetHost(EM67Host* host);
    void SetClock(EM67Clock* clock);

    // Outputs towards the machine off, motion mode FSM, single replay, state Start, active.
    void Init();
    // State Start at its first sub-step; when active: inactive, outputs 32 and 25 off, the
    // saved motion mode back.
    void Stop() override;
    // One 100 ms pulse on output 20, then outputs 30, 31 and 32 on. Sleeps (operator entry).
    void SetManualMode();
    bool IsActive() const;
    // Input 32 (the machine's Auto signal) of the given state.
    bool GetActive(const DataTypes::RobotState& state) const;
    // One step, on the robot loop.
    void ProcessFSM(const DataTypes::RobotState& state);
    int GetState() const { return state.load(); }
    int GetSubStep() const { return subStep.load(); }
    const std::string& GetProgramName(ProgramIndex program) const { return programs[program]; }

    // Deadline = the step's current time + ms.
    void SetWaitTime(int ms);

    void TriggerStartAction(const DataTypes::RobotState& state);
    void TriggerIdleAction(const DataTypes::RobotState& state);
    void TriggerInMouldAction(const DataTypes::RobotState& state);
    void TriggerInMouldEjectorFrontAction(const DataTypes::RobotState& state);
    void TriggerInMouldEjectorBackAction(const DataTypes::RobotState& state);
    void TriggerOutOfMouldAction(const DataTypes::RobotState& state);
    void TriggerFaultAction(const DataTypes::RobotState& state);

private:
    // Runs the phase's program through the sub-steps; true once it has ended.
    bool ProgramStep(ProgramIndex program, bool firstWaitsForIdle, bool waitAfterStart);
    // A phase that could not run its program: Fault, with the reason logged.
    void PhaseFailed(ProgramIndex program, const char* what);
    void SetOutput(int channel, bool on);

    // Outputs towards the machine: the first group (30, 31 and a member without channel),
    // operation mode (32), and the two ejector releases (33 after the grab, 34 once the
    // robot is in the mould).
    int outputGroup[3] = {30, 31, kNoChannel};
    int outputOperationMode = kOutputOperationMode;
    int outputAfterGrab = 33;
    int outputInMould = 34;
    int outputRobotFailure = kOutputRobotFailure;
    // Inputs from the machine: 30 must be off and 31 on to enter the mould, 32 is Auto,
    // 34 and 33 are the ejector's back and front positions.
    int inputBlocked = 30;
    int inputMayEnter = 31;
    int inputAuto = kInputAuto;
    int inputEjectorBack = 34;
    int inputEjectorFront = 33;

    std::atomic<int> state{StateIdle};
    // Monotonic nanoseconds: the step waits until now reaches the deadline.
    std::atomic<std::int64_t> deadlineNs{0};
    std::int64_t nowNs = 0;  // the current step's time
    std::atomic<int> subStep{0};

    std::string programs[6] = {
        "EM67_01_moveToHomePos.xml",   "EM67_02_moveIntoMould.xml",
        "EM67_03_grabPart.xml",        "EM67_04_placePart.xml",
        "EM67_05_moveOutOfMould.xml",  "EM67_06_placePartOnConv.xml",
    };

    std::unique_ptr<EM67Host> ownerHost;  // the robot master's adapter
    EM67Host* host = nullptr;
    EM67Clock* clock = nullptr;
};

// The robot master as host (RobotMasterEM67.cpp).
std::unique_ptr<EM67Host> MakeRobotMasterHost(RobotMaster& master, IPO& mainInterpreter);

}  // namespace TalvoStateMachine
