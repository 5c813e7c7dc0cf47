#pragma once

// The program interpreter: its record, set-up and state queries, and the program file
// loader. Three run side by side (main program, logic program, move-to); all three share
// one ProgramMemory.
//
// Threads: the robot loop runs the per-cycle operations, the main thread and the
// remote clients call set-up and run control, a detached thread per load fills the
// program list, and the planner reads commands on its own thread. The loader parses and
// links on a list of its own and installs it whole under programMutex; fields that other
// threads read are atomics, and the names and counts for readers are copied under a
// small lock of their own.

#include "core/RobotState.h"
#include "core/Vector3.h"
#include "motion/HVPEventType.h"
#include "motion/PathCommandAccess.h"
#include "motion/PathGenerator.h"
#include "program/Command.h"
#include "vision/PluginManager.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stack>
#include <string>
#include <utility>
#include <vector>

namespace tinyxml2 {
class XMLElement;
}

namespace Programs {
class ProgramMemory;
class MemoryPosition;
}

// Planner chosen by the robot file: 1 the Cartesian (linear) generator, any other value
// the joint-space generator.
enum PathGenType : int {
    PATHGEN_JOINT = 0,
    PATHGEN_LINEAR = 1,
};

// What IPO::Stop tells the robot's state machine first. The control layer above sets its
// state machine here; without one, nothing is told.
class ProgramStopInterface {
public:
    virtual ~ProgramStopInterface() = default;
    virtual void Stop() = 0;
};

// One loaded program: main (index 0) or sub-program.
// The attributes of one "Header" element, in file order.
using HeaderAttributes = std::vector<std::pair<std::string, std::string>>;

class RobotProgram {
public:
    RobotProgram() = default;
    explicit RobotProgram(const std::string& name) : name(name) {}

    void AddAncestor(int index) { ancestors.insert(index); }
    void RemoveAncestor(int index) { ancestors.erase(index); }
    // True when this program is called name, or when a program through which it was
    // reached (indices inside programs only) is, or has such an ancestor itself.
    bool IsAncestor(const std::string& name, const std::vector<RobotProgram>& programs) const;

    std::string name;  // file name as handed to the loader
    std::vector<std::shared_ptr<Command>> commands;
    int callerProgramIndex = 0;
    int returnCommandIndex = -2;
    std::set<int> ancestors;
    std::vector<HeaderAttributes> headers;  // of the file, written back with it
};

class IPO;

// How the planners reach program commands: forwards to the command's own members.
class IpoCommandAccess : public PathCommandAccess {
public:
    int GetCommandType(const Command& command) const override;
    const std::string& GetClassName(const Command& command) const override;
    PathCommandMotion GetMotion(const Command& command) const override;
    int Interpolate(Command& command, int cycleMs, float overridePercent,
                    DataTypes::RobotState* state) const override;
    void GetTargetPosition(Command& command, DataTypes::RobotState* current,
                           DataTypes::RobotState* target, float& velCartesianOut,
                           float& velJointPercentOut, float& accPercentOut,
                           float& smoothPercentOut) const override;
    // The circle of a CommandCircular (set by its GetTargetPosition); null otherwise.
    const CircleParameters* GetCircle(const Command& command) const override;
};

class IPO {
public:
    enum IpoType : std::int32_t {
        IPO_MAIN = 0,
        IPO_LOGIC = 1,
        IPO_MOVETO = 2,
    };
    enum StopReason : std::int32_t {
        STOP_USER = 0,
        STOP_PLC = 1,
        STOP_PROGRAM = 2,
        STOP_REPLAY_STEP = 3,
        STOP_SHUTDOWN = 4,
        STOP_REFERENCING = 5,
        STOP_ERROR = 6,
        STOP_PATHGEN_ERROR = 7,
        STOP_PATHGEN_ERROR2 = 8,
        STOP_FSM_ERROR = 9,
    };
    enum RunState : std::int32_t {
        RUNSTATE_PAUSED = 0,
        RUNSTATE_STOPPED = 1,
        RUNSTATE_RUNNING = 2,
    };
    enum ReplayMode : std::int32_t {
        REPLAY_SINGLE = 0,
        REPLAY_REPEAT = 1,
        REPLAY_STEP = 2,
    };

    using ResultCallback = PathGenerator::ResultCallback;
    using ErrorCallback = void (*)(void* context, IPO* ipo, bool stopped);

    // Where a cycle thread's events and variable changes go instead of to their receivers
    // (the robot loop hands them to a worker: receivers may take locks or allocate).
    class EffectSink {
    public:
        virtual ~EffectSink() = default;
        virtual bool PostEvent(ResultCallback callback, HVPEventType event, int commandIndex, int programIndex,
                               const std::string& text) = 0;
        virtual bool PostVariableChange(Programs::ProgramMemory* memory, const Programs::MemoryPosition& variable) = 0;
    };
    // The sink of the calling thread (nullptr: none, effects go to their receivers).
    static void SetEffectSinkOnThisThread(EffectSink* sink);

    // Name and command count of one loaded program, as readers get them.
    struct ProgramSummary {
        std::string name;
        int commandCount = 0;
    };

    // Shortest program pass.
    static const std::chrono::milliseconds m_MinimumExecutionTime;
    static constexpr int kNrOffsets = 15;  // 9 joint offsets, then x, y, z, a, b, c

    explicit IPO(IpoType type);
    // Waits for a running load to end; the planner's threads end with the generator.
    virtual ~IPO();
    IPO(const IPO&) = delete;
    IPO& operator=(const IPO&) = delete;

    // --- Set-up ---
    // Binds the run-state callback to the memory (main and logic interpreter only).
    void SetMemory(Programs::ProgramMemory* memory);
    // Creates the planner once: type 1 the linear generator, any other the joint-space
    // one; a second call changes nothing.
    void InitPathGen(PathGenType type, float smoothDistCart, float smoothDistJoint, int lookAhead);
    void InitJointMaxValues(float* jointMaxVelocities, float* jointAccelerations, float* jointAccInc,
                            float cartesianMaxVelocity, float cartAcc, float cartAccInc, double oriVel,
                            double oriAcc, double oriAccInc);
    void SetVelocityLimit(double limit) { velocityLimit.store(limit); }
    void VelocityLimitDisable() { velocityLimit.store(-1.0); }
    double GetVelocityLimit() const { return velocityLimit.load(); }
    // The robot's velocity setting, compared with a program header's; -1 none.
    void SetVelocitySetting(int setting) { velocitySetting.store(setting); }
    int GetVelocitySetting() const { return velocitySetting.load(); }
    // Error handling stops (true) or only pauses (false) the program.
    void SetStopOnError(bool stop) { stopOnError.store(stop); }
    bool GetStopOnError() const { return stopOnError.load(); }
    void SetIgnoreConsistencyCheck(bool ignore) { flagIgnoreConsistencyCheck.store(ignore); }
    // Replaces the plug-in manager (a stand-in for tests); call before loading.
    void SetPluginManager(std::unique_ptr<PluginFramework::PluginManager> manager);
    PluginFramework::PluginManager* GetPluginManager() { return pluginManager.get(); }

    // --- Program offset ---
    // 15 values: 9 joint offsets, then x, y, z, a, b, c. The set is kept whole and reaches
    // the commands with ApplyPendingOffsets.
    void OffsetSet(const float* values);
    void OffsetReset();
    // The newest set, whole.
    void GetOffsets(float* values) const;
    // Copies the newest set into the arrays the commands read. Call only where no plan
    // is computing: while stopped, or between SetFirstCmd and ComputePathStartThread.
    void ApplyPendingOffsets();

    // --- Queries ---
    // Joint counts of the planner's kinematic; std::runtime_error without one.
    int GetNrRobotJoints() const;
    int GetNrExternalJoints() const;
    bool IsReplayRunning() const { return replayRunning.load(); }
    void SetReplayRunning(bool running);
    // Hands the replay-running flag to the run-state callback, when one is bound.
    void UpdateRunstate();
    RunState GetRunState() const;
    bool IsProgramLoaded() const { return programCount.load() > 0; }
    bool IsLoading() const { return loading.load(); }
    std::chrono::nanoseconds GetLastProgramDuration() const {
        return std::chrono::nanoseconds(lastProgramDurationNs.load());
    }
    std::string GetLoadedProgramName() const;
    int GetLoadedPointCount() const { return loadedPointCount.load(); }
    std::vector<ProgramSummary> GetProgramSummaries() const;
    void SendHVPServerCallback(HVPEventType event, int commandIndex, int programIndex,
                               const std::string& text) const;

    // --- Loading ---
    // 2 when refused (a load runs, a blank in the name, a program runs or is paused),
    // 0 when the load was started on its own thread. A load replaces what is loaded.
    int LoadProgram(const std::string name, bool quiet);
    // The same checks and answers; loads in the calling thread.
    int LoadProgramSynchronous(const std::string& name, bool quiet);
    // Body of the loading thread; the loading flag is already up.
    static void threadLoadProg(IPO* ipo);
    // Loads name (with its sub-programs) into slot index of the program list, appending
    // to what is loaded. 0 loaded, -3 failed with a described error, -4 integer error.
    int LoadXMLFile2(int index, const std::string name, bool quiet, int parent);
    // 0 checked or nothing to check, 8 skipped; std::runtime_error on a mismatch.
    int CheckHeaderConsistency(tinyxml2::XMLElement* header, bool quiet);
    // Writes program 0 to data root + "Data/Programs/" + name (the int plays no part): its
    // headers, every command and the block ends, so that it loads as the same program.
    // Returns the number of commands written, or -1 when nothing was written; the result
    // goes to the display and to the HVP clients ("N Cmds written").
    int WriteXMLFile(int unused, const char* name);
    // The one program file the controller writes (operator code 83), below "Data/Programs/".
    static constexpr char kStoredProgramFile[] = "storage01.xml";
    static void PrintStacks(const std::string label, std::stack<int> first, std::stack<int> second);
    void PrintCommands(int program);
    void DeleteAll();

    // --- Run cycle and run control ---
    // One robot-loop cycle: runs logic commands, plans and samples motions and writes the
    // joint set-points into state. Main and move-to interpreter return 0; the logic
    // interpreter returns 1 when its current command is a Cartesian motion. The cycle only
    // try-locks programMutex: a missed cycle keeps the set-points and is counted.
    int GetNextPosition(int cycleMs, float overridePercent, DataTypes::RobotState* state);
    // Run control from any thread, and from commands inside the cycle.
    void Start();
    void Pause(StopReason reason);
    void Stop(StopReason reason, const std::string& text);
    // Stops (stop on error) or pauses, then tells the error callback.
    void ErrorState(StopReason reason, bool resetOutputs, const std::string text);
    // Starts paused at commandIndex of the named program, loading it when needed;
    // std::runtime_error "program is running" or "could not load program".
    void StartAt(const std::string& programName, int commandIndex);
    static void StartAtInternal(IPO* ipo, int programIndex, int commandIndex);
    // When paused: the current motion is planned again from the actual position.
    void RestartCommand();

    // --- Stops raised on the cycle thread (the robot loop) ---
    // The loop never waits for programMutex. These halt the interpreter at once (it gives
    // no further set-points, and a Start in progress gives way) and carry the stop out at
    // once when the lock is free, else in the next cycle that finds it free. Of several
    // requests before that, the strongest is kept (error state over stop over pause). For
    // the cycle thread only.
    void PostPause(StopReason reason);
    void PostStop(StopReason reason, const char* text);
    void PostErrorState(StopReason reason, bool resetOutputs, const char* text);
    // Drops every program (as the move-to interpreter's DeleteAll: the program variables
    // stay) once the lock is free; halts at once.
    void PostDeleteAll();
    // Carries out what was posted, when programMutex is free now; the loop calls it every
    // cycle. Cycle thread only.
    void ServiceCycleRequests();
    // True from a Post until its request is carried out.
    bool IsHaltPending() const { return haltRequested.load(); }
    // Cycles that found programMutex held by another thread.
    long long GetMissedCycles() const { return missedCycles.load(); }
    // "USER", "PLC", ... for a stop reason; "" for an unknown one.
    static const char* StopReasonName(int reason);
    // Marks the calling thread as a cycle thread, which never sleeps: there Stop skips its
    // pause after the stop, DeleteAll does not wait for the planner, and Start does not
    // wait for the plans of the last run to end (the cycle re-arms the commands once they
    // have).
    static void SetNoStopWaitOnThisThread(bool noWait);
    static bool NoStopWaitOnThisThread();
    // Waits, holding no lock, until no planning thread of this interpreter runs (cancelling
    // them), at most 10 s.
    void WaitForPlannerIdle();
    // How often run control slept on the calling thread (planner waits, the pause after
    // Stop); for tests and diagnostics.
    static long long RunControlSleepsOnThisThread();

    // Steps of the cycle; the caller holds programMutex.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state);
    int InterpolateLogic(int cycleMs, float overridePercent, DataTypes::RobotState* state);
    void HandleResult(int result);
    void PreparePath(DataTypes::RobotState* state);

    // --- Teach-in ---
    // Each appends one command to program 0 (created as "new.xml" when nothing is loaded)
    // and links it where the program ends (behind a closing block, its opener). A channel outside 0..63, a joint count outside
    // 0..9, a non-finite or negative value, or no kinematic: logged, nothing appended.
    // Motion commands get acceleration 40, smoothing 20 and the abort condition "false".
    void AddCommandJoint(int number, int count, const float* joints, float velPercent);
    void AddCommandRelativeJoint(int number, int count, const float* deltas, float velPercent);
    void AddCommandRelativeLinear(int number, float x, float y, float z, float velocity);
    void AddCommandRelativeTool(int number, float x, float y, float z, float velocity);
    // velPercent is a percent of 150 mm/s.
    void AddCommandLinear(int number, float x, float y, float z, float a, float b, float c, float e1, float e2,
                          float e3, float velPercent);
    void AddCommandDIO(int number, int channel, bool state);
    void AddCommandGripper(int number, const float* gripper);
    void AddCommandWait(int number, long milliseconds);
    void TouchUpLastCommand();

    // --- Direct moves ---
    // Each deletes every program, then installs one unnamed program holding one move; the
    // caller starts it. A velocity of 0.001 or less only deletes; a refused move (no
    // kinematic, non-finite values) leaves the interpreter empty.
    void MoveJoint(const float* joints, float velPercent);
    void MoveLinear(DataTypes::Vector3 position, DataTypes::Vector3 orientation, DataTypes::Vector3 external,
                    float velocity);
    void MoveRelativeJoint(const float* deltas, float velPercent);
    // The rotation is kept with the move but a relative move never turns the tool.
    void MoveRelativeBase(DataTypes::Vector3 translation, DataTypes::Vector3 rotation, DataTypes::Vector3 external,
                          float velocity);
    void MoveRelativeTool(DataTypes::Vector3 translation, DataTypes::Vector3 rotation, DataTypes::Vector3 external,
                          float velocity);

    // --- Program information and files ---
    // The active program's name and command count and the current point; untouched when
    // nothing is loaded.
    void GetProgramInformation(std::string* name, int* count, int* point) const;
    // What the robot loop last read of the program information; the loop keeps it.
    struct ProgramInfoSeen {
        std::uint64_t generation = 0;  // of the names and counts; 0: nothing read yet
        int activeProgram = -1;
        bool loaded = false;
    };
    // The robot loop's read, with GetProgramInformation's outputs. It never waits: name and
    // count are copied only when the programs or the active program changed since seen
    // (the name assigned into the caller's string, whose storage is reused), and when the
    // names are being replaced just then they keep their values until the next call. The
    // point is written on every call while programs are loaded.
    void ReadProgramInformation(ProgramInfoSeen& seen, std::string* name, int* count, int* point) const;
    // Removes a program file below Data/Programs/; a name leaving that folder is refused.
    void DeleteProgramFile(const char* fileName);

    // --- Program browser (entries are paths relative to Data/Programs/) ---
    // Lists the browser directory ("../" first below the root, no hidden entries, sorted),
    // stores and returns the entry count and gives the entry at index or "n/a". 0 and out
    // untouched when the directory cannot be opened.
    int GetFilename(int index, std::string* out);
    // The selected entry; "storage01.xml" when the listing fails.
    std::string GetCurrentProgShowName();
    void SendCurrentProgShowName();
    void ProgShowCntIncrease();
    void ProgShowCntDecrease();
    bool IsSelectedEntryAFile();
    // A name that stays below Data/Programs/ and names a regular file there.
    static bool IsProgramFile(const std::string& name);
    void GotoBasedir();
    // "../" or ".." goes up and restores the selection there; any other path must be an
    // existing folder below Data/Programs/ (false and logged otherwise).
    bool SetProgPath(const std::string& path);
    // A name ending in "/" changes the directory (-1); any other stops, deletes and loads
    // it (LoadProgram's answer). An unsafe name or folder: 2, nothing changed.
    int LoadDirectoryOrProgram(const std::string& entry);
    // The selected entry; "n/a" changes nothing and answers 2.
    int LoadCurrentDirectoryOrProgram();
    std::string GetBrowserDirectory() const;

    // --- Wiring (set-up, before the loop and the servers run) ---
    IpoType GetType() const { return type; }
    const std::string& GetName() const { return name; }
    void SetName(const std::string& value) { name = value; }
    // The interpreter that Pause and Stop commands of this one's programs act on.
    void SetMainInterpreter(IPO* main) { mainInterpreter = main; }
    // Result events (acknowledge, pause, end, error); null: none.
    void SetResultCallback(ResultCallback callback) { resultCallback.store(callback); }
    ResultCallback GetResultCallback() const { return resultCallback.load(); }
    void SetErrorCallback(ErrorCallback callback, void* context) {
        errorCallback = callback;
        errorCallbackContext = context;
    }
    void SetStateMachine(ProgramStopInterface* machine) { stateMachine = machine; }
    Programs::ProgramMemory* GetMemory() const { return memory; }
    // The planner (null before InitPathGen); it owns its kinematic copy.
    PathGenerator* GetPathGenerator() const { return pathGenerator.get(); }

    // --- Run state as other threads read it ---
    ReplayMode GetReplayMode() const { return replayMode.load(); }
    void SetReplayMode(ReplayMode mode) { replayMode.store(mode); }
    // The program counter: -1 stopped, else the command index in the active program.
    int GetCurrentPoint() const { return currentPoint.load(); }
    int GetActiveProgram() const { return activeProgram.load(); }
    StopReason GetLastStopReason() const { return lastStopReason.load(); }
    // The browser's selected entry and the entry count of its last listing.
    int GetBrowserSelection() const { return browserSelection.load(); }
    void SetBrowserSelection(int index) { browserSelection.store(index); }
    int GetBrowserEntryCount() const { return browserEntryCount.load(); }

private:
    friend class IpoInternals;
    friend class IpoTestAccess;

    const IpoType type;
    std::string name = "IPO";
    IPO* mainInterpreter = this;
    std::atomic<ResultCallback> resultCallback{nullptr};
    ErrorCallback errorCallback = nullptr;
    void* errorCallbackContext = nullptr;
    std::function<void(bool)> runStateCallback;
    std::atomic<ReplayMode> replayMode{REPLAY_REPEAT};
    int maximumPrograms = 200;
    std::atomic<bool> replayRunning{false};
    Programs::ProgramMemory* memory = nullptr;
    std::atomic<double> velocityLimit{-1.0};  // mm/s, negative: no limit
    std::chrono::steady_clock::time_point startTime;  // this and the restart wait: programMutex
    int restartWaitMs = 0;
    std::atomic<std::int64_t> lastProgramDurationNs{0};
    std::atomic<bool> stopOnError{true};
    std::atomic<StopReason> lastStopReason{STOP_SHUTDOWN};
    std::atomic<bool> flagIgnoreConsistencyCheck{false};
    // Index 0 is the main program, the others its sub-programs. Guarded by programMutex;
    // the robot loop only try-locks it.
    std::vector<RobotProgram> programs;
    mutable std::mutex programMutex;
    // Guards the names and counts for readers (below); held only for copies, taken after
    // programMutex where both are held.
    mutable std::mutex infoMutex;
    std::atomic<int> activeProgram{0};
    ProgramStopInterface* stateMachine = nullptr;
    // Browser directory and parent stack are guarded by browserMutex (held for copies
    // only); the selection is written by the Modbus map as well.
    std::string browserDirectory;  // "" at the root, else ending in "/"
    std::atomic<int> browserSelection{0};
    std::atomic<int> browserEntryCount{0};
    std::stack<int> browserParentStack;
    mutable std::mutex browserMutex;
    std::atomic<int> loadedPointCount{0};
    std::atomic<int> currentPoint{-1};
    int lastAcknowledgedPoint = -1;
    int lastAcknowledgedProgram = 0;
    std::atomic<int> velocitySetting{-1};
    double cartesianMaxVelocity = 100.0;      // mm/s
    double jointMaxVelocities[Command::maxJoints] = {10.0, 10.0, 10.0, 10.0, 10.0,
                                                     10.0, 10.0, 10.0, 10.0};
    double jointAccelerations[Command::maxJoints] = {};
    // What the commands read (planning thread); changed only by ApplyPendingOffsets.
    float jointOffset[Command::maxJoints] = {};
    float cartesianOffset[6] = {};
    IpoCommandAccess commandAccess;  // declared before the generator, which uses it
    std::unique_ptr<PathGenerator> pathGenerator;
    // Cycle state, guarded by programMutex like the program list.
    int preparedPoint = -1;
    long pathTime = 0;  // microseconds
    // Set by a Start that could not wait for the last run's plans: the cycle re-arms every
    // command once they have ended, before running or planning any.
    bool reinitPending = false;
    std::atomic<bool> pluginsNeeded{false};
    std::atomic<bool> loading{false};
    // Clock of the pass timing (start time, restart wait, last duration); tests replace it.
    using TimeSource = std::chrono::steady_clock::time_point (*)();
    TimeSource timeSource = &std::chrono::steady_clock::now;
    // Bumped by every stop and DeleteAll: a command result computed before is dropped.
    std::atomic<std::uint64_t> runGeneration{0};
    std::atomic<long long> missedCycles{0};
    // StartAt threads still waiting for a load; the destructor waits for them.
    std::atomic<int> startAtThreads{0};

    // Teach-in: appends to program 0 under programMutex and publishes its count.
    void AppendTaughtCommand(std::shared_ptr<Command> command);
    // Direct moves: installs one unnamed program holding the command.
    void InstallMove(std::shared_ptr<Command> command);
    // DeleteAll's change of the list and counters, with programMutex held; the old list and
    // names are moved into the arguments so they are freed after the lock is released.
    void DropProgramsLocked(std::vector<RobotProgram>& old, std::vector<ProgramSummary>& oldSummaries,
                            std::string& oldName);
    // DeleteAll's steps after the lock is released.
    void AfterProgramsDropped();
    // A request of the cycle thread (see PostStop); cycle thread only.
    enum CycleRequestKind : int { kCycleNone = 0, kCyclePause = 1, kCycleStop = 2, kCycleErrorState = 3 };
    struct CycleRequest {
        CycleRequestKind kind = kCycleNone;
        StopReason reason = STOP_USER;
        bool resetOutputs = false;
        bool deleteAll = false;
        char text[256] = {};
    };
    void Post(CycleRequestKind kind, StopReason reason, bool resetOutputs, const char* text);
    // With programMutex held by the cycle thread: carries the request out.
    void ApplyCycleRequestLocked();
    CycleRequest cycleRequest;
    std::atomic<bool> haltRequested{false};

    // LoadXMLFile2 on the given list (the loader's own).
    int LoadXMLFile2Into(std::vector<RobotProgram>& list, int index, const std::string& name,
                         bool quiet, int parent);
    // Raises the loading flag after the checks of LoadProgram; 0 accepted, 2 refused.
    int AcceptLoad(const std::string& name, bool quiet);
    // The loading thread's body after the flag is up; lowers it at the end.
    void RunLoad();
    // Replaces the program list by list and publishes names and counts.
    void Install(std::vector<RobotProgram>&& list, int loadedIndex);
    static std::vector<ProgramSummary> Summarise(const std::vector<RobotProgram>& list);
    void LogOffsets(bool reset, const float* values) const;

    std::unique_ptr<PluginFramework::PluginManager> pluginManager;
    std::atomic<int> programCount{0};

    // Names and counts for readers, guarded by infoMutex.
    std::string programFileToLoad;
    bool quietFlag = false;
    std::string loadedProgramName;
    std::vector<ProgramSummary> summaries;
    // Raised with every change of the summaries, under infoMutex; starts above 0.
    std::atomic<std::uint64_t> infoGeneration{1};

    mutable std::mutex offsetMutex;
    float pendingOffsets[kNrOffsets] = {};
};
