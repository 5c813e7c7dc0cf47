#pragma once

// RobotMaster: the one controller object. It reads the robot file, owns the kinematic, the
// joint-drive protocol, the program variables, the three interpreters, the jog ramps and
// the EM67 state machine, runs the robot loop thread and carries every operating command.
//
// Threads. Commands come from the main thread, the remote clients, the Modbus thread and
// the robot loop itself:
//  - One recursive command mutex serialises commands (they nest: Reset -> ErrorStateProgram
//    -> IPOError -> DOutResetOnError -> SetManualDOut). Take it with CommandLock.
//  - A command that talks to the drives takes a HoldScope: it raises the hold, waits until
//    the loop has acknowledged it at the start of a held cycle (at once when no loop
//    runs, bounded otherwise), then waits the command's own time before the hardware call.
//  - On the loop thread a command runs only when the try-lock succeeds; it then skips the
//    hand-over and the waits (the loop itself is not touching the hardware meanwhile).
//  - Commands without the hold never write the loop's live state: they leave requests in
//    LoopRequests, which the loop applies at its next full cycle. Under an acknowledged
//    hold a command may write the live state directly.
//  - Other threads read the robot through GetRobotState(), a copy taken under a short
//    mutex that the loop also takes to publish.

#include "control/ControlTypes.h"
#include "control/ExternalJointVelocitySource.h"
#include "control/LatestJobWorker.h"
#include "kinematics/KinematicErrorTexts.h"
#include "control/LoopClock.h"
#include "control/LoopCopies.h"
#include "control/LoopOutbox.h"
#include "control/PLCInterfaceTrigger.h"
#include "control/PLCTriggerFiring.h"
#include "control/RobotLoop.h"
#include "control/StateMachineSGM.h"
#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "core/FailureEpisode.h"
#include "hardware/HardwareProtocol.h"
#include "kinematics/ExternalAxis.h"
#include "kinematics/RobotKinematic.h"
#include "motion/JogAccelControlCart.h"
#include "motion/JogAccelControlJoint.h"
#include "program/IPO.h"
#include "program/ProgramMemory.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Microseconds of a time stamp and back, in 64 bits.
std::uint64_t ToMicroSec(const timespec& t);
timespec FromMicroSec(std::uint64_t us);

// Error callback of the three interpreters: forwards to RobotMaster::IPOError.
void IPOErrorFunc(void* context, IPO* ipo, bool resetOutputs);

class RobotMaster;

// Thread entry of the robot loop: runs RobotMaster::ThreadRobotLoop of its argument.
void* threadRobotLoop(void* master);
// True when any of the nine jog values exceeds 0.001 in magnitude.
bool IsJogRequested(const float* values);

// Requests that command threads leave for the loop; each slot is exchanged whole and the
// loop applies them at its next full cycle (not while held).
struct LoopRequests {
    // Digital outputs and global signals: 0 none, 1 on, 2 off (the latest request wins).
    static constexpr std::uint8_t kNone = 0;
    static constexpr std::uint8_t kOn = 1;
    static constexpr std::uint8_t kOff = 2;
    std::atomic<std::uint8_t> dout[DataTypes::RobotState::maxIOs] = {};
    std::atomic<std::uint8_t> gsig[DataTypes::RobotState::maxSignals] = {};
    // Bumped after every output/signal request so the loop scans only on a change.
    std::atomic<std::uint32_t> ioChange{0};

    // Gripper target in percent (tool SetTargetValue + UpdateNoVel on the loop).
    std::atomic<bool> gripperPending{false};
    std::atomic<float> gripperPercent{0.0f};

    // External-axis velocity set-points (joint velocities 6..8). The loop applies, in this
    // order: store, reset, set, restore. A setter therefore clears resetVelocities before it
    // raises velocitiesPending, and a reset clears velocitiesPending before it raises
    // resetVelocities, so that the later request wins.
    std::atomic<bool> velocitiesPending{false};
    std::atomic<float> velocities[3] = {};
    // All 9 joint velocities to 0.
    std::atomic<bool> resetVelocities{false};
    // Saved program velocities 6..8: store (running) / restore (paused).
    std::atomic<bool> storeProgramVelocities{false};
    std::atomic<bool> restoreProgramVelocities{false};

    // The reference-all sequence starts again at its first step.
    std::atomic<bool> restartReferenceAll{false};

    // Jog ramp resets (SetMotionMode, Reset without the hold).
    std::atomic<bool> resetJointRamp{false};
    std::atomic<bool> resetCartRamp{false};
};

// The recursive command mutex. Off the loop thread it locks; on the loop thread it only
// tries, and Acquired() tells whether the command may run now (else its step waits a cycle).
class CommandLock {
public:
    explicit CommandLock(RobotMaster& master);
    ~CommandLock();
    CommandLock(const CommandLock&) = delete;
    CommandLock& operator=(const CommandLock&) = delete;
    bool Acquired() const { return acquired; }

private:
    RobotMaster& master;
    bool acquired = false;
};

// The hold hand-over around hardware calls: raises the hold, waits for the loop's
// acknowledgement and then waitBeforeMs; the destructor waits waitAfterMs and lowers the
// hold. On the loop thread both waits and the hand-over are skipped. Take a CommandLock
// first.
class HoldScope {
public:
    HoldScope(RobotMaster& master, int waitBeforeMs, int waitAfterMs);
    ~HoldScope();
    HoldScope(const HoldScope&) = delete;
    HoldScope& operator=(const HoldScope&) = delete;
    // False only when the loop did not acknowledge within the bound (the command goes on).
    bool Acknowledged() const { return acknowledged; }
    // An extra wait inside the hold (skipped on the loop thread).
    void Wait(int ms) const;

private:
    RobotMaster& master;
    int waitAfterMs;
    bool onLoopThread;
    bool acknowledged = true;
};

class RobotMaster {
public:
    static constexpr int kMaxPLCTriggers = 10;
    static constexpr int kNrJoints = 9;
    static constexpr int kNrExternalAxes = 3;
    static constexpr int kNrZeroTorqueJoints = 16;
    // Longest wait for the loop to acknowledge a hold, beyond a few cycles.
    static constexpr int kHoldAckMinimumMs = 1000;

    RobotMaster();
    virtual ~RobotMaster();
    RobotMaster(const RobotMaster&) = delete;
    RobotMaster& operator=(const RobotMaster&) = delete;

    // --- Start-up ---
    void Init(const std::string& robotName, const std::string& robotType,
              const std::string& robotFile);
    void FinishInit();
    void SyncJointVelData();
    // Starts the loop thread (owned; a running loop is left alone).
    void StartMainLoop();
    // Sets the stop flag and joins the loop thread and the load-and-start worker.
    void StopMainLoop();
    bool IsMainLoopRunning() const { return loopRunning.load(); }
    float GetCycleTime() const { return static_cast<float>(CycleTimeMS.load()); }
    static void wait(int ms);

    // --- Robot configuration file ---
    int ReadConfigFile(const std::string& path);
    // The robot file read at start-up ("" before).
    const std::string& GetRobotFilePath() const { return robotFilePath; }
    // The drive supply variant of the project file's robot entry (set at start-up).
    int GetVelocitySetting() const { return VelocitySetting; }
    void SetVelocitySetting(int setting) { VelocitySetting = setting; }
    // The joint's maximum velocity as the limits were last synchronised; 0 outside 0..8.
    double GetJointMaxVelocity(int joint) const;
    // Writes the robot file now. False when it was not written; a failed write stays
    // pending for UpdateConfiguration (logged once per run of failures; requested: a
    // client's change, which always tells the clients it is not saved).
    bool UpdateConfigurationFile(bool requested = false);
    void QueueUpdateRobotFile();
    // A pending write at once (the exit); false when it failed.
    bool WritePendingRobotFile();
    // now: wall-clock seconds (time()).
    void UpdateConfiguration();
    void UpdateConfiguration(std::int64_t now);
    void UpdateTimingMode();
    // The kinematic's joint limits (user units, slots 0..8) and its virtual box, changed
    // under the command lock and a hold of the loop, which checks them every cycle. Not
    // changed (logged) when the loop did not pause or there is no kinematic.
    void SetJointLimits(const float (*minMax)[2]);
    void SetVirtualBox(bool active, const DataTypes::Vector3& min, const DataTypes::Vector3& max);

    // --- Kinematic error texts ---
    std::string TranslateKinError(int code) const { return KinematicErrorText(code); }
    std::string TranslateKinErrorLog(int code) const { return KinematicErrorToken(code); }

    // --- Robot loop ---
    // The published robot state, copied under a short lock.
    DataTypes::RobotState GetRobotState() const;
    // One cycle of the loop on the given clock (held, idle or full pass). Returns false
    // when the stop flag was found set (nothing else is done then).
    bool RunCycle(LoopClock& clock);
    // Steps 5..20 of a cycle that is not held, inside the cycle's exception guard: sync,
    // modes, set-point, logic program, I/O, PLC signals and triggers, hardware exchange. A
    // test's stand-in loop may replace it; the timing mode 2 wait then follows it.
    virtual void FullCycleWork();
    // Runs cycles on the monotonic clock until the stop flag is set.
    void ThreadRobotLoop();
    // The PLC-interface settings, written whole (the loop copies them when they change).
    void SetPLCInterfaceSettings(const PLCInterfaceNumbers& settings);
    // edit changes them in one step: no other change comes between its read and its store.
    void ChangePLCInterfaceSettings(const std::function<void(PLCInterfaceNumbers&)>& edit);
    // The loop's outbox (texts, shut-down, temperature); its worker runs with the loop.
    LoopOutbox& GetLoopOutbox() { return loopOutbox; }
    // True while the loop skips its hardware work (init hold or a command's hold).
    bool IsHeld() const { return initHold.load() || holdDepth.load() > 0; }
    bool IsLoopThread() const;
    float GetFrequency() const { return frequency.load(); }
    float GetWorkload() const { return workload.load(); }
    float GetMaxCycleTime() const { return static_cast<float>(maxCycleTime.load()); }
    float GetMinCycleTime() const { return static_cast<float>(minCycleTime.load()); }
    void ResetMaxCycleTime() { maxCycleTime.store(0); }
    void ResetMinCycleTime() { minCycleTime.store(99999999); }
    // The slowest cycle since the previous call, step by step (read off the loop).
    LoopStepProfile::Cycle TakeSlowestCycle() { return loop.Profile().TakeSlowest(); }
    bool IsZeroTorqueEnabled() const { return zeroTorqueOn.load(); }
    bool IsOperationModesEnabled() const { return operationModesActive; }
    int GetOperationMode() const { return operationMode.load(); }
    std::string GetDisplayPortDefault() const;
    std::string GetFunctionButtonRefAll() const;

    // --- Drive commands ---
    void Reset();
    void EnableMotors(bool enable);
    // The robot as an orderly exit or the system shut-down leaves it: velocities zero,
    // the brake engaged and every drive's power stage off. Bounded: it waits for no
    // answer, only the loop's next cycles for the brake output to go out.
    void DisableDrivesForShutdown();
    void AlignMotors();
    void ReferenceJoint(int joint);
    void ReferenceJointAlt(int n);
    void ReferenceJointsReset();
    void ReferenceAllJoints();
    void ResetAllJointsToZero();
    void InitExternalJoints();
    void InitDIOModule(int id);
    // New I/O module ids for the protocol, under the command lock and a hold of the loop.
    // False, with a log line, when they were not handed over (no protocol, loop not paused).
    bool SetDIOModuleIDs(unsigned char a, unsigned char b, unsigned char c);
    void InitGripper(const std::string& type);

    // --- Program control ---
    // Refused while the e-stop forbids motion (see RefuseWhileEStop). The command mutex is
    // not held while the interpreter waits for the plans of its last run to end.
    void StartProgram();
    // Stops, then loads and starts on the owned worker; the latest request wins.
    void LoadProgramAndStartAsync(const std::string& file, IPO::StopReason reason);
    // On the loop thread these never wait for a lock: the interpreters are halted at once
    // and carry the stop out as soon as their lock is free (IPO::PostStop).
    void PauseProgram(IPO::StopReason reason);
    void StopProgram(IPO::StopReason reason);
    void StopLogicProgram(IPO::StopReason reason);
    void ErrorStateProgram(IPO::StopReason reason, bool resetOutputs, const std::string& text);
    void DeleteProgram();
    void DeleteLogicProgram();

    // --- Loading a program a client names (HVP LoadProgram / LoadLogicProgram, the
    //     Modbus name registers) ---
    // Loading: stopped, deleted and the load begun. Folder: a name ending in "/" moved the
    // main program browser. Refused: the name is not allowed (empty, a blank, leaving the
    // programs folder, an unknown folder); NotLoaded: allowed, but nothing was loaded (no
    // such file, or the interpreter turned the load down). A name refused or not found is
    // checked before anything is stopped: it changes nothing and logs one line.
    enum class NamedLoad { Loading, Folder, Refused, NotLoaded };
    // Waits for the stops (some 150 ms); the file loads in the background.
    NamedLoad LoadProgramByName(const std::string& name);
    // Stops and deletes the logic program, waits for the load (at most about 1.1 s) and
    // starts it again, repeating.
    NamedLoad LoadLogicProgramByName(const std::string& name);
    // The same for a caller that must not wait: the name checks (and a folder change) here,
    // the load on an owned worker, where the latest request per interpreter wins.
    NamedLoad RequestLoadByName(bool logic, const std::string& name);

    void CheckRunStateChanged();
    void IPOError(IPO* ipo, bool resetOutputs);

    // --- Direct moves on the move-to interpreter ---
    enum class DirectMove { Joint, RelativeJoint, Linear, RelativeBase, RelativeTool };
    // values: nine joints (joint forms) or x, y, z, a, b, c, e1, e2, e3 (Cartesian forms).
    // Installs the move and starts it; false (and the refusal line with request) while the
    // e-stop forbids motion.
    bool StartDirectMove(DirectMove kind, const float* values, float velocity, const char* request);

    // --- Jog, motion mode and velocities ---
    void SetJogValues(float* values);
    void CheckJogValues();
    bool IsMoving();
    void ToggleMotionMode();
    void SetMotionMode(MotionType mode);
    MotionType GetMotionMode() const { return motionType.load(); }
    void SetOverride(float percent);
    float GetOverride() const { return overrideValue.load(); }
    void ResetVelocities();
    void StoreProgramVelocities();
    void RestoreProgramVelocities();
    void SetVelocities(float e1, float e2, float e3);
    void GetVelocities(float& e1, float& e2, float& e3) const;

    // --- Digital I/O, signals, brake, gripper ---
    void SetManualDOut(int n, bool on);
    void SetGlobalSignal(int n, bool on);
    void SetBrake(bool release, bool immediately);
    // Brake output, delay and e-stop input, as one value. While the e-stop is latched a
    // change of the e-stop input or of the brake output is refused (false, one line): only
    // a closed reading of the input that latched releases it.
    bool SetBrakeSettings(const BrakeSettings& settings);
    BrakeSettings GetBrakeSettings() const;
    void DOutResetOnError(bool engageBrake);
    void DOutResetOnReset();
    void SetGripperPosition(float percent);
    bool IsValidIONum(int n) const { return n >= 0 && n < DataTypes::RobotState::maxIOs; }
    // True while an e-stop input is configured and its last reading is off (open circuit).
    bool IsEStopDetected() const;
    // True while an e-stop input is configured and its I/O module has not answered yet:
    // until then the input tells nothing, and starts and motion are refused.
    bool IsEStopInputUnread() const;
    // True from the e-stop's opening until the circuit is closed again and the operator has
    // reset or enabled: no start and no motion meanwhile.
    bool IsEStopLatched() const { return eStopLatched.load() || IsEStopDetected(); }
    // While IsEStopLatched: logs "<request> requested but E-Stop detected" (or "... but
    // E-Stop input not read yet" before the input's first reading) and returns true
    // (refuse the request); else false.
    bool RefuseWhileEStop(const char* request) const;
    static unsigned DOutTargetStateToUInt(DOutTargetState state);
    static DOutTargetState DOutTargetStateFromUInt(unsigned value);
    static std::string DOutTargetStateToString(DOutTargetState state);
    static DOutTargetState DOutTargetStateFromString(std::string text);
    // On-reset and on-error target states (project reader, remote configuration).
    void SetDOutTargetStateOnReset(int n, DOutTargetState state);
    void SetDOutTargetStateOnError(int n, DOutTargetState state);
    DOutTargetState GetDOutTargetStateOnReset(int n) const;
    DOutTargetState GetDOutTargetStateOnError(int n) const;
    // Both tables (maxIOs entries each) as one value: the loop takes its copy of the
    // on-error table whole.
    void SetDOutTargetStates(const DOutTargetState* onReset, const DOutTargetState* onError);

    // --- External axes, zero torque, PLC triggers, home position ---
    void SetExternalAxis(const ExternalAxis& axis);
    // A copy of the axis; std::out_of_range / std::invalid_argument as RemoveExternalAxis.
    ExternalAxis GetExternalAxis(int n) const;
    void RemoveExternalAxis(int n);
    bool HasExternalAxis(int n) const;
    void ClearExternalAxes();
    // One change of the slots under one command lock, so the loop's copy never shows half
    // of it: every slot cleared (clearAll) or the defined slots from removeFrom on removed
    // (highest first), then the axes of add set.
    void ChangeExternalAxes(bool clearAll, int removeFrom, const std::vector<ExternalAxis>& add);
    bool IsZeroTorqueAllowed() const;
    void SetZeroTorqueMode(bool on);
    void AddPLCTrigger(const PLCTrigger::PLCInterfaceTrigger& trigger);
    void ClearPLCTriggers();
    std::vector<PLCTrigger::PLCInterfaceTrigger> GetPLCTriggers() const;
    void SetHomePos(double* joints);

    // --- EM67 ---
    void StartStopEM67FSM();
    void SetEM67ManualOperation();

    // --- Seams ---
    // The Modbus server's external-axis velocities (not owned; null = none).
    void SetExternalJointVelocitySource(ExternalJointVelocitySource* source);
    ExternalJointVelocitySource& GetExternalJointVelocitySource() const;
    Hardware::HardwareProtocol* GetHardware() const { return hardware.get(); }
    RobotKinematic* GetKinematic() const { return kinematic.get(); }
    Programs::ProgramMemory& GetProgramMemory() { return programMemory; }
    IPO& GetMainInterpreter() { return mainIpo; }
    IPO& GetLogicInterpreter() { return logicIpo; }
    IPO& GetMoveToInterpreter() { return moveToIpo; }
    TalvoStateMachine::StateMachineSGM& GetStateMachine() { return stateMachine; }
    // Test seam: replaces the protocol (the old one is disconnected and destroyed).
    void SetHardwareProtocol(std::unique_ptr<Hardware::HardwareProtocol> protocol);
    // Hold hand-over counters (acknowledged <= requested).
    std::uint64_t GetHoldRequests() const { return holdRequests.load(); }
    std::uint64_t GetHoldAcknowledged() const { return holdAcknowledged.load(); }

private:
    friend class CommandLock;
    friend class HoldScope;
    friend class RobotLoop;
    friend class RobotLoopTestAccess;
    friend class RobotMasterInternals;
    friend class RobotMasterTestAccess;

    // Configuration, read by start-up and by other threads after it.
    std::string robotName;
    std::string robotType;
    std::string kinematicType = "Delta";
    std::string protocolName = "JXRCAN";
    std::string robotFilePath;
    int VelocitySetting = 0;

    // Jog.
    std::atomic<int> jogWatchdog{0};
    float jogVelJoint = 1.0f;
    float jogVelCart[3] = {100.0f, 100.0f, 100.0f};
    float jogVelOri[3] = {30.0f, 30.0f, 30.0f};

    // Limits (SyncJointVelData).
    double jointMaxVelocity[kNrJoints] = {};
    double jointMaxAcceleration[kNrJoints] = {};
    double jointAccelerationIncrease[kNrJoints] = {};
    // Translation velocity, linear acc, linear acc increase, orientation velocity,
    // orientation acc, orientation acc increase.
    double cartesianLimits[6] = {};

    // External axes: slots changed by commands under the command mutex; the loop uses its
    // own copy, refreshed when externalAxesChange moves.
    ExternalAxis externalAxes[kNrExternalAxes];
    bool externalAxisDefined[kNrExternalAxes] = {false, false, false};
    std::atomic<std::uint32_t> externalAxesChange{0};

    // Zero torque.
    bool zeroTorqueAllowed[kNrZeroTorqueJoints] = {};
    std::atomic<bool> zeroTorqueOn{false};

    // Jog ramps (loop; reset by commands only under an acknowledged hold, else requested).
    JogAccelControlJoint jogRampJoint;
    JogAccelControlCart jogRampCart;
    bool jogAccelerationActive = false;
    // Joint acc / fast decel (deg/s2), Cart acc / fast decel (mm/s2), ori acc / decel (deg/s2).
    float jogAccelerations[6] = {90.0f, 360.0f, 500.0f, 1500.0f, 45.0f, 180.0f};
    float jogJointAccelerations[kNrJoints] = {};
    float jogJointDecelerations[kNrJoints] = {};

    // Operation modes (FinishInit copies them from LogSingleton).
    bool operationModesActive = false;
    std::atomic<int> operationMode{2};  // 0 not limited, 1 velocity limited, 2 no motion
    float manualModeMaxVel = 250.0f;
    int dInEnableManualMotion = -1;
    int dInOpModeAuto = -1;

    // PLC triggers: changed under the command mutex; the loop copies them when
    // plcTriggersChange moves.
    std::vector<PLCTrigger::PLCInterfaceTrigger> plcTriggers;
    int plcTriggerCount = 0;
    std::atomic<std::uint32_t> plcTriggersChange{0};

    // Path generation.
    PathGenType generatorType = PATHGEN_JOINT;
    int lookAhead = 3;
    float smoothDistCart = 100.0f;
    float smoothDistJoint = 10.0f;

    // Robot states: live (loop's working copy), logic (handed to the logic program),
    // published (GetRobotState, under publishMutex).
    DataTypes::RobotState liveState;
    DataTypes::RobotState logicState;
    DataTypes::RobotState publishedState;
    mutable std::mutex publishMutex;

    std::atomic<int> lastMainRunState{IPO::RUNSTATE_STOPPED};

    // Application settings of the robot file.
    bool DebugMode = false;
    std::string displayPort = "/dev/ttyO1";
    bool IgnoreConsistencyCheck = false;
    std::string functionButtonRefAll = "refall";

    // Timing.
    std::atomic<int> CycleTimeMS{200};
    std::atomic<float> frequency{0.0f};
    std::atomic<int> maxCycleTime{0};
    std::atomic<int> minCycleTime{0};
    std::atomic<float> workload{0.0f};
    std::atomic<int> TimingMode{0};
    bool PreciseTiming = false;

    // Loop control and the hold hand-over.
    std::atomic<bool> stopFlag{false};
    std::atomic<bool> initHold{true};        // from construction until FinishInit ends
    std::atomic<int> holdDepth{0};           // active command holds
    std::atomic<std::uint64_t> holdRequests{0};
    std::atomic<std::uint64_t> holdAcknowledged{0};
    std::mutex holdAckMutex;                 // only for the condition variable
    std::condition_variable holdAckCondition;
    std::recursive_mutex commandMutex;

    // Reference-all sequence.
    std::atomic<bool> referenceAllActive{false};

    // Owned devices. The kinematic is declared first so that the protocol, which points
    // to it, is destroyed first.
    std::unique_ptr<RobotKinematic> kinematic;
    std::unique_ptr<Hardware::HardwareProtocol> hardware;
    Programs::ProgramMemory programMemory;
    IPO mainIpo{IPO::IPO_MAIN};
    IPO logicIpo{IPO::IPO_LOGIC};
    IPO moveToIpo{IPO::IPO_MOVETO};

    // Jog values (percent), written by the main loop, decayed by the robot loop.
    std::atomic<float> jogValues[kNrJoints] = {};
    std::atomic<float> overrideValue{100.0f};
    std::atomic<MotionType> motionType{MOTION_ROBOT_JOINT};

    // EM67.
    std::atomic<bool> stateMachineActive{false};
    std::atomic<MotionType> savedMotionType{MOTION_ROBOT_JOINT};
    TalvoStateMachine::StateMachineSGM stateMachine;

    // Brake.
    std::atomic<bool> brakeReleasePending{false};
    // Counts delayed-release requests; the loop starts the delay on its own clock when it
    // sees a new one.
    std::atomic<std::uint32_t> brakeReleaseRequests{0};

    // E-stop: the last reading (loop), the latch from an opening until a reset with the
    // circuit closed (loop), and the release a reset or an enable asks for.
    std::atomic<bool> lastEStopInput{false};
    std::atomic<bool> eStopLatched{false};
    std::atomic<bool> eStopReleaseRequested{false};
    // The monitored input has been read from its module (loop).
    std::atomic<bool> eStopInputRead{false};
    // Taken by the start paths from their latch check until the interpreter has started;
    // the loop latches under it whenever it is free (it never waits for it).
    std::mutex eStopMutex;

    // The hardware connect (its GetConnectCount) whose drives an operator's reset or
    // enable has taken over. Until then the loop's set-points are the measured joints.
    std::atomic<std::uint32_t> connectTakenOver{0};

    // Output target states.
    std::atomic<DOutTargetState> doutOnReset[DataTypes::RobotState::maxIOs];
    std::atomic<DOutTargetState> doutOnError[DataTypes::RobotState::maxIOs];
    std::atomic<std::uint32_t> doutOnErrorChange{0};

    // Robot-file write delays (s) and request times (time() s; 0 = none pending).
    int robotFileDelayFirstS = 15;
    int robotFileDelayLastS = 3;
    std::int64_t robotFileFirstRequest = 0;
    std::int64_t robotFileLastRequest = 0;
    std::mutex robotFileMutex;  // one writer of the robot file at a time
    FailureEpisode robotFileWriteFailures;  // under robotFileMutex

    // Home position.
    double homePosition[kNrJoints] = {};

    // Requests left for the loop.
    LoopRequests requests;

    // Raises the hold and waits for the loop's acknowledgement (see HoldScope).
    bool BeginHold();
    void EndHold();
    // The loop's side: acknowledge the holds up to requested (a value of holdRequests).
    void AcknowledgeHold(std::uint64_t requested);

protected:
    // Applies the requests of LoopRequests to the live state (full cycles only); for a
    // test's stand-in FullCycleWork.
    void ApplyRequests();

private:
    void LoadAndStartWorker();
    // Asks the loop to release the e-stop latch (reset, enable) when the circuit is closed.
    void RequestEStopRelease();
    // Stops the move-to interpreter when it holds a motion (posted on the loop thread).
    void StopMoveTo(IPO::StopReason reason);
    // Starts ipo unless the e-stop forbids it (request names the refusal), with the latch
    // checked under eStopMutex right before the start; a latch the loop set meanwhile
    // pauses it again. False when refused (or, on the loop thread, the lock was busy).
    bool StartUnlessEStop(IPO& ipo, const char* request);

    LoopOutbox loopOutbox;
    mutable std::mutex brakeSettingsMutex;
    std::mutex doutTargetsMutex;  // writers of the output target states; the loop tries it
    BrakeSettings brakeSettings;
    std::atomic<std::uint32_t> brakeSettingsChange{0};

    // The loop's steps and its own state; its thread.
    RobotLoop loop{*this};
    std::thread loopThread;
    std::atomic<bool> loopRunning{false};

    // Load-and-start worker: one thread, the newest request wins.
    std::thread loadThread;
    std::mutex loadMutex;
    std::condition_variable loadCondition;
    bool loadPending = false;
    bool loadStop = false;
    std::string loadFile;
    IPO::StopReason loadReason = IPO::STOP_USER;
    bool loadStopFirst = false;  // the worker stops the program first (loop-thread request)

    // The loads RequestLoadByName hands on: slot 0 main, slot 1 logic.
    LatestJobWorker namedLoads{2};

    ExternalJointVelocitySource* externalVelocitySource = nullptr;
};
