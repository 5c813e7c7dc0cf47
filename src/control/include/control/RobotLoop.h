#pragma once

// The robot loop: the cyclic control thread's steps and the state only it touches. It is
// owned by the robot master and works on the master's devices, interpreters and live
// state. Command code never reaches into it: commands leave requests in LoopRequests and
// take texts and actions out of the LoopOutbox (both on the master); the loop applies the
// requests at its next full cycle.

#include "control/ControlTypes.h"
#include "control/LoopClock.h"
#include "control/LoopCopies.h"
#include "control/LoopStepProfile.h"
#include "control/PLCTriggerFiring.h"
#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "program/IPO.h"

#include <cstdint>
#include <string>

class RobotMaster;

class RobotLoop {
public:
    static constexpr int kNrJoints = 9;
    static constexpr int kNrExternalAxes = 3;

    explicit RobotLoop(RobotMaster& master);
    RobotLoop(const RobotLoop&) = delete;
    RobotLoop& operator=(const RobotLoop&) = delete;

    // The thread's body: cycles on the monotonic clock until the stop flag is set.
    void Run();
    // One cycle on the given clock (held, idle or full pass). False when the stop flag was
    // found set (nothing else is done then).
    bool RunCycle(LoopClock& clock);
    // Steps 5..20 of a cycle that is not held: sync, modes, set-point, logic program, I/O,
    // PLC signals and triggers, hardware exchange.
    void FullCycleWork();
    // Applies the requests of LoopRequests to the live state (full cycles only).
    void ApplyRequests();

    // The loop's copy of the brake and e-stop settings (loop thread only).
    const BrakeSettings& Brake() const { return loopBrake; }
    // Where its slow cycles spend their time; any thread may take the slowest.
    LoopStepProfile& Profile() { return profile; }

private:
    friend class RobotLoopTestAccess;

    // --- Timing, statistics, publishing (RobotLoop.cpp) ---
    // RunCycle on a thread marked as the loop's.
    void CycleBody(LoopClock& clock);
    void StampLoopStart(LoopClock& clock);
    void WaitTimingMode1(LoopClock& clock, std::uint64_t period);
    void WaitTimingMode2(LoopClock& clock, std::uint64_t period);
    void RecordCycleTime(std::uint64_t actual);
    void UpdateStatistics(LoopClock& clock);
    void CycleSteps(LoopClock& clock);
    void LoopException(const char* text);
    void RunIdlePass(LoopClock& clock);
    void PublishState();

    // --- Set-points (RobotLoopMotion.cpp) ---
    void UpdateOperationMode();
    void SetPointStep();
    // In place of SetPointStep from a hardware connect until an operator's reset or enable:
    // the set-points are the measured joints. False (nothing done) otherwise.
    bool FollowMeasuredStep();
    void InterpreterSetPoint(IPO& ipo);
    void JogJoint();
    void JogCartesian(bool tool);
    void ExternalVelocityAxes();
    void LogicProgramStep();
    void ToolStep();
    void ReadBackStep(LoopClock& clock, std::uint64_t period);
    void HardwareExchangeStep();
    bool IsDriveReady() const;
    bool IsLiveErrorFree() const;

    // --- I/O, safety, PLC interface (RobotLoopIO.cpp) ---
    void RefreshLoopCopies();
    void ReferenceAllStep(std::uint64_t now);
    void DelayedBrakeStep(std::uint64_t now);
    void ErrorChangeStep();
    void HardwareErrorStep();
    void PLCOutputsStep();
    void DigitalGripperStep();
    void DigitalIOStep();
    // The 64 live outputs to the hardware (the first half of DigitalIOStep).
    void SendOutputs();
    // The e-stop edge on the given inputs; run at the top of a cycle and before the
    // set-points leave (on fresh readings), and after the inputs are read.
    void EStopStep(const bool* inputs);
    // EStopStep on a fresh reading of the inputs (the live ones stay as they are).
    void ReadEStopInput();
    void EStopOpened();
    void EStopRelease(bool circuitClosed);
    // The set-point this cycle computed is taken back (an open reading came after it).
    void RestoreCycleSetPoint();
    // True while the brake output, as last handed to the hardware, holds the brake.
    bool BrakeHolds() const;
    void PLCInputSignalsStep();
    void PLCSignalAction(int signal);
    void ProcessPLCTriggers();
    // DOutResetOnError with the loop's copy of the on-error states.
    void LoopResetOutputsOnError(bool engageBrake);
    void LoopShow(const char* text);
    void LoopNotify(const char* text);

    RobotMaster& m;

    // Timing and statistics.
    LoopClock* cycleClock = nullptr;  // the clock of the full cycle in progress
    bool loopStamped = false;
    std::uint64_t cycleStartUs = 0;
    std::uint64_t workStartUs = 0;
    std::uint64_t statsStartUs = 0;
    int statsCycleCount = 0;
    float busyTimeSum = 0.0f;
    float statsLastSet[kNrJoints] = {};
    float statsTurningPoint[kNrJoints] = {};
    bool statsDirectionUp[kNrJoints] = {};
    bool mode2Waited = false;
    bool idleDisconnected = false;

    // Set-point choice and jog.
    int cycleOperationMode = 0;
    float cycleJog[kNrJoints] = {};
    bool jogRefusedReported = false;
    bool speedReductionReported = true;  // armed: the first reduction is reported
    DataTypes::RobotState probeState;

    // Reference-all sequence and referencing bookkeeping.
    int referenceAllStep = 0;
    int referenceAllCounter = 0;
    int referenceAllJoint = -1;  // the joint the last step referenced, -1 for none
    std::uint64_t referenceStepStartUs = 0;
    bool loopReferencing = false;

    // Copies of the settings other threads write.
    PLCInterfaceNumbers loopPlc;
    std::uint32_t loopPlcSeen = 0;
    bool loopPlcLoaded = false;
    BrakeSettings loopBrake;
    LoopStepProfile profile;
    std::uint32_t loopBrakeSeen = 0;
    // The delayed release being timed: its request count and the cycle that first saw it.
    std::uint32_t brakeRequestSeen = 0;
    std::uint64_t brakeDelayStartUs = 0;
    bool loopBrakeLoaded = false;
    DOutTargetState loopDoutOnError[DataTypes::RobotState::maxIOs];
    std::uint32_t loopDoutOnErrorSeen = 0;
    bool loopDoutOnErrorLoaded = false;
    ExternalAxesLoopCopy loopAxes;
    PLCTriggerFiring loopTriggers;
    std::uint32_t appliedIoChange = 0;

    // PLC-interface input levels (Enable, Play, Pause, RequestReference, Shutdown,
    // AltStart, AltStop).
    bool plcInputMemory[7] = {};

    // E-stop: the first reading (after start or a change of the input) counts as an edge,
    // so an input open at power-up is handled. A new input asked for while latched waits
    // until the release (the latched one stays monitored).
    bool eStopRead = false;
    bool eStopChannelDeferred = false;
    bool eStopInputs[DataTypes::RobotState::maxIOs] = {};
    // This cycle's set-point step has run, from these joints; an open reading after it
    // takes its result back before the set-points leave.
    bool setPointStepDone = false;
    bool restoreSetPoint = false;
    float preSetPointJoints[kNrJoints] = {};
    // The brake output last handed to the hardware released the brake.
    bool brakeReleasedSent = false;
    // This cycle's outputs went to the hardware; an opening since sends them again.
    bool outputsSent = false;
    bool resendOutputs = false;

    // Read-back.
    std::string errorTextLong;
    std::string errorTextShort;
    IPO::ProgramInfoSeen mainProgramInfoSeen;  // what the loop last read of the main program
};
