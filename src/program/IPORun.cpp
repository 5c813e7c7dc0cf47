// Run cycle and run control of the interpreter: the per-cycle step with its logic runs,
// planner hand-over and path sampling, the program counter, start, pause, stop and
// start-at.
//
// Locking: programMutex guards the program list and the counters. The robot loop only
// try-locks it; every other caller takes it. Pause, Stop and ErrorState reached from a
// command inside the cycle find the lock held by their own thread and do not take it
// again. Nothing below runs a callback, writes the log or sleeps while holding it: those
// side effects are queued per thread and run after the last interpreter lock is released.
// Lock order: logic interpreter, then main interpreter (a logic program's Pause/Stop acts
// on the main program).

#include "program/IPO.h"

#include "IPODeferred.h"
#include "IPOInternals.h"
#include "core/LogSingleton.h"
#include "kinematics/KinematicErrorTexts.h"
#include "kinematics/RobotKinematic.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr int kMaxLogicPerCycle = 10;
constexpr int kTextCapacity = 256;
constexpr int kQueueEntries = 64;
constexpr int kMaxHeld = 8;
// Stop from another thread waits this long after the stop, as callers expect.
constexpr std::chrono::milliseconds kStopWait{50};
// Set on the robot loop's thread, which must not sleep.
thread_local bool tlsNoStopWait = false;
// Sleeps of run control on this thread (planner waits, the wait after Stop).
thread_local long long tlsRunControlSleeps = 0;
// Where this thread's events and variable changes go (the robot loop's outbox).
thread_local IPO::EffectSink* tlsEffectSink = nullptr;

// ---------------------------------------------------------------------------------------
// Per-thread queue of side effects and the interpreter locks the thread holds

enum class Kind {
    Event,
    RunState,
    ErrorCallback,
    StateMachineStop,
    Log,
    LogError,
    Display,  // display and server message
    Server,   // server message only
    SystemVariable,
    MemoryChange,  // a program variable's change callback
};

struct Deferred {
    Kind kind = Kind::Log;
    IPO* ipo = nullptr;
    IPO::ResultCallback callback = nullptr;
    HVPEventType event = HVP_EVENT_ACK;
    int a = 0;
    int b = 0;
    bool flag = false;
    std::string text;
    Programs::ProgramMemory* memory = nullptr;
    // A copy of the changed variable; the entry keeps its storage for the next one.
    Programs::MemoryPosition variable;
};

class ThreadEffects {
public:
    static ThreadEffects& Get() {
        thread_local ThreadEffects effects;
        return effects;
    }

    ThreadEffects() {
        entries.resize(kQueueEntries);
        for (Deferred& d : entries) d.text.reserve(kTextCapacity);
    }

    Deferred& Add(Kind kind) {
        if (count == entries.size()) {
            entries.emplace_back();
        }
        Deferred& d = entries[count++];
        d.kind = kind;
        d.ipo = nullptr;
        d.callback = nullptr;
        d.text.clear();
        return d;
    }

    void Enter() { ++depth; }
    void Leave() {
        if (--depth == 0 && !flushing) Flush();
    }

    bool Holds(const IPO* ipo) const {
        for (int i = 0; i < heldCount; ++i) {
            if (held[i] == ipo) return true;
        }
        return false;
    }
    void Push(IPO* ipo) {
        if (heldCount < kMaxHeld) held[heldCount++] = ipo;
    }
    void Pop(const IPO* ipo) {
        for (int i = heldCount - 1; i >= 0; --i) {
            if (held[i] == ipo) {
                for (int k = i; k + 1 < heldCount; ++k) held[k] = held[k + 1];
                --heldCount;
                return;
            }
        }
    }

    int depth = 0;
    // This thread drives an interpreter's cycle (the robot loop): it never waits in Stop.
    bool cycleThread = false;

private:
    void Flush();
    static void Run(Deferred& d);

    // A deque: receivers run during the flush may queue more, and the entry being run
    // must stay where it is.
    std::deque<Deferred> entries;
    std::size_t count = 0;
    bool flushing = false;
    IPO* held[kMaxHeld] = {};
    int heldCount = 0;
};

void ThreadEffects::Run(Deferred& d) {
    LogSingleton* log = LogSingleton::instance();
    switch (d.kind) {
        case Kind::Event:
            if (d.callback == nullptr) break;
            if (tlsEffectSink != nullptr) {
                tlsEffectSink->PostEvent(d.callback, d.event, d.a, d.b, d.text);
            } else {
                d.callback(d.event, d.a, d.b, d.text);
            }
            break;
        case Kind::RunState: {
            const std::function<void(bool)>& callback = IpoInternals::RunStateCallback(*d.ipo);
            if (callback) callback(d.flag);
            break;
        }
        case Kind::ErrorCallback: {
            const IPO::ErrorCallback callback = IpoInternals::ErrorCallback(*d.ipo);
            if (callback != nullptr) callback(IpoInternals::ErrorCallbackContext(*d.ipo), d.ipo, d.flag);
            break;
        }
        case Kind::StateMachineStop: {
            ProgramStopInterface* machine = IpoInternals::StateMachine(*d.ipo);
            if (machine != nullptr) machine->Stop();
            break;
        }
        case Kind::Log:
            log->add(d.text);
            break;
        case Kind::LogError:
            log->addError(d.text);
            break;
        case Kind::Display:
            log->DisplayAndServerSetMessage(d.text);
            break;
        case Kind::Server:
            log->ServerSetMessage(d.text);
            break;
        case Kind::SystemVariable:
            log->IncreaseSystemVariables(d.a, static_cast<unsigned int>(d.b));
            break;
        case Kind::MemoryChange:
            if (tlsEffectSink != nullptr) {
                tlsEffectSink->PostVariableChange(d.memory, d.variable);
            } else {
                d.memory->DeliverChange(d.variable);
            }
            break;
    }
}

void ThreadEffects::Flush() {
    // Receivers may call back into an interpreter; what they queue runs in this loop, after
    // everything queued before it.
    flushing = true;
    for (std::size_t i = 0; i < count; ++i) {
        try {
            Run(entries[i]);
        } catch (...) {
            // A receiver's fault must not end the cycle or lose the later effects.
        }
    }
    count = 0;
    flushing = false;
}

// Queues side effects while it lives; they run when the outermost section ends.
class Section {
public:
    Section() { ThreadEffects::Get().Enter(); }
    ~Section() { ThreadEffects::Get().Leave(); }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
};

// The interpreter's programMutex, unless this thread holds it already. Declare it after a
// Section, so the lock is released before the queued effects run.
class ProgramLock {
public:
    enum Mode { Block, Try };
    ProgramLock(IPO& ipo, Mode mode) : ipo_(ipo) {
        ThreadEffects& fx = ThreadEffects::Get();
        if (fx.Holds(&ipo)) {
            acquired_ = true;
            return;
        }
        if (mode == Try) {
            acquired_ = IpoInternals::ProgramMutex(ipo).try_lock();
        } else {
            IpoInternals::ProgramMutex(ipo).lock();
            acquired_ = true;
        }
        if (acquired_) {
            owns_ = true;
            fx.Push(&ipo);
        }
    }
    ~ProgramLock() {
        if (owns_) {
            ThreadEffects::Get().Pop(&ipo_);
            IpoInternals::ProgramMutex(ipo_).unlock();
        }
    }
    ProgramLock(const ProgramLock&) = delete;
    ProgramLock& operator=(const ProgramLock&) = delete;
    bool Acquired() const { return acquired_; }

private:
    IPO& ipo_;
    bool acquired_ = false;
    bool owns_ = false;
};

void QueueText(Kind kind, const char* text) { ThreadEffects::Get().Add(kind).text.assign(text); }

void QueueFormat(Kind kind, const char* format, ...) __attribute__((format(printf, 2, 3)));
void QueueFormat(Kind kind, const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    QueueText(kind, buffer);
}

void QueueEvent(IPO& ipo, HVPEventType event, const char* text) {
    Deferred& d = ThreadEffects::Get().Add(Kind::Event);
    d.callback = ipo.GetResultCallback();
    d.event = event;
    d.a = ipo.GetCurrentPoint();
    d.b = ipo.GetActiveProgram();
    d.text.assign(text);
}

void QueueIpo(Kind kind, IPO& ipo, bool flag = false) {
    Deferred& d = ThreadEffects::Get().Add(kind);
    d.ipo = &ipo;
    d.flag = flag;
}

void QueueSystemVariable(int key, int amount) {
    Deferred& d = ThreadEffects::Get().Add(Kind::SystemVariable);
    d.a = key;
    d.b = amount;
}

// ---------------------------------------------------------------------------------------
// Helpers on the interpreter's fields; the caller holds programMutex

const char* CodeText(int code, char* buffer, std::size_t size) {
    switch (code) {
        case 13: return "Joint Min";
        case 14: return "Joint Max";
        case 21: return "Center Sing.";
        case 22: return "Out of Reach";
        case 51: return "PathGen Error LF";
        case 61: return "Variable not found";
        default: break;
    }
    // The virtual box and the other codes the kinematic has a sentence for.
    const bool box = code >= KinematicError::VirtualBoxXPlus && code <= KinematicError::VirtualBoxZMinus;
    if (box || code == KinematicError::WristSingularity || code == KinematicError::NaNInJoint) {
        std::snprintf(buffer, size, "Kinematic error: %s", KinematicErrorText(code).c_str());
    } else {
        std::snprintf(buffer, size, "unknown error %d", code);
    }
    return buffer;
}

bool ValidIndex(const IPO& ipo, int program, int point) {
    const std::vector<RobotProgram>& programs = IpoInternals::Programs(ipo);
    return program >= 0 && program < static_cast<int>(programs.size()) && point >= 0 &&
           point < static_cast<int>(programs[static_cast<std::size_t>(program)].commands.size());
}

Command& CommandAt(IPO& ipo, int program, int point) {
    return *IpoInternals::Programs(ipo)[static_cast<std::size_t>(program)].commands[static_cast<std::size_t>(point)];
}

// A plan being computed or served belongs to a run that has ended: the planner stops
// early, and nothing it publishes is served (only a plan requested after this is).
void CancelPlan(IPO& ipo) {
    IpoInternals::PreparedPoint(ipo) = -1;
    IpoInternals::PathTime(ipo) = 0;
    if (PathGenerator* generator = ipo.GetPathGenerator()) {
        generator->RequestCancel();
        generator->SetPathUnavailable();
    }
}

}  // namespace

void IpoDeferred::WaitForPlanner(IPO& ipo) {
    PathGenerator* generator = ipo.GetPathGenerator();
    if (generator == nullptr) return;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (generator->IsThreadRunning()) {
        generator->RequestCancel();
        if (std::chrono::steady_clock::now() > end) {
            LogSingleton::instance()->addError(ipo.GetName() + ": planner did not end");
            return;
        }
        ++tlsRunControlSleeps;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool IpoDeferred::OnCycleThread() { return tlsNoStopWait || ThreadEffects::Get().cycleThread; }

namespace {

using IpoDeferred::WaitForPlanner;

// Re-arms every command of every program; the caller holds programMutex and no plan runs.
void InitAllCommands(IPO& ipo) {
    for (RobotProgram& p : IpoInternals::Programs(ipo)) {
        for (auto& command : p.commands) command->Init();
    }
    IpoInternals::ReinitPending(ipo) = false;
}

bool Restartable(const IPO& ipo) { return ipo.GetCurrentPoint() == -1; }

void PauseLocked(IPO& ipo, IPO::StopReason reason) {
    if (ipo.GetCurrentPoint() == -1) return;
    if (ipo.GetType() == IPO::IPO_MAIN) {
        IpoInternals::LastStopReason(ipo).store(reason);
        const char* text = "ERROR";
        if (reason <= IPO::STOP_PROGRAM && reason >= IPO::STOP_USER) {
            text = IPO::StopReasonName(reason);
        } else if (reason == IPO::STOP_REPLAY_STEP || reason == IPO::STOP_SHUTDOWN) {
            text = "";
        }
        QueueEvent(ipo, HVP_EVENT_PAUSE, text);
        if (reason >= IPO::STOP_USER && reason <= IPO::STOP_SHUTDOWN) QueueText(Kind::Display, "Pausing Program");
        QueueText(Kind::Log, "IPO:    Pausing Program");
    }
    IpoInternals::ReplayRunning(ipo).store(false);
    QueueIpo(Kind::RunState, ipo, false);
}

void StopLocked(IPO& ipo, IPO::StopReason reason, const std::string& text) {
    if (ipo.GetCurrentPoint() == -1) return;
    IpoInternals::LastStopReason(ipo).store(reason);
    const char* reasonName = IPO::StopReasonName(reason);
    const bool error = reason >= IPO::STOP_ERROR && reason <= IPO::STOP_FSM_ERROR;
    QueueEvent(ipo, error ? HVP_EVENT_ERROR : HVP_EVENT_END, text.empty() ? reasonName : text.c_str());
    if (!error && reason != IPO::STOP_REPLAY_STEP) QueueText(Kind::Display, "Stopping Program");
    if (!text.empty()) {
        QueueFormat(Kind::Log, "IPO:    Stopping Program by %s, reason: %s", reasonName, text.c_str());
    } else {
        QueueFormat(Kind::Log, "IPO:    Stopping Program by %s", reasonName);
    }
    IpoInternals::ReplayRunning(ipo).store(false);
    QueueIpo(Kind::RunState, ipo, false);
    IpoInternals::ActiveProgram(ipo).store(0);
    IpoInternals::CurrentPoint(ipo).store(-1);
    IpoInternals::RunGeneration(ipo).fetch_add(1);
    CancelPlan(ipo);
}

void ErrorStateLocked(IPO& ipo, IPO::StopReason reason, bool resetOutputs, const std::string& text) {
    if (ipo.GetStopOnError()) {
        QueueIpo(Kind::StateMachineStop, ipo);
        StopLocked(ipo, reason, text);
        QueueIpo(Kind::ErrorCallback, ipo, resetOutputs);
    } else {
        PauseLocked(ipo, reason);
        QueueIpo(Kind::ErrorCallback, ipo, false);
    }
}

// Errors caught in the cycle, one kind per handler.
void HandlerLogic(IPO& ipo, const char* what) {
    char msg[1024];
    std::snprintf(msg, sizeof msg, "IPO Error in %d: %s", ipo.GetCurrentPoint(), what);
    QueueEvent(ipo, HVP_EVENT_ERROR, what);
    QueueText(Kind::Log, msg);
    QueueText(Kind::Server, msg);
    ErrorStateLocked(ipo, IPO::STOP_PATHGEN_ERROR2, true, what);
}

void HandlerLogicCommand(IPO& ipo, const char* what) {
    char msg[1024];
    std::snprintf(msg, sizeof msg, "IPO ERROR: %s", what);
    QueueEvent(ipo, HVP_EVENT_ERROR, msg);
    QueueText(Kind::Log, "");
    QueueText(Kind::Log, msg);
    QueueText(Kind::Log, "");
    QueueText(Kind::Display, msg);
    ErrorStateLocked(ipo, IPO::STOP_PATHGEN_ERROR2, true, what);
}

void HandlerMotionCode(IPO& ipo, int code) {
    char codeBuffer[64];
    const char* codeText = CodeText(code, codeBuffer, sizeof codeBuffer);
    char msg[1024];
    std::snprintf(msg, sizeof msg, "PathGen Error in command %d: %s", ipo.GetCurrentPoint(), codeText);
    QueueEvent(ipo, HVP_EVENT_ERROR, msg);
    QueueText(Kind::Log, "");
    QueueText(Kind::Log, msg);
    QueueText(Kind::Log, "");
    QueueText(Kind::Display, msg);
    ErrorStateLocked(ipo, IPO::STOP_PATHGEN_ERROR2, true, codeText);
}

void HandlerMotionException(IPO& ipo, const char* what) {
    char msg[1024];
    std::snprintf(msg, sizeof msg, "PathGen Error in command %d: %s", ipo.GetCurrentPoint(), what);
    QueueEvent(ipo, HVP_EVENT_ERROR, what);
    QueueText(Kind::Log, msg);
    QueueText(Kind::Server, msg);
    ErrorStateLocked(ipo, IPO::STOP_PATHGEN_ERROR2, true, what);
}

// A planner fault, once its planning thread has ended (so the planner's own event is out
// first); the error result is cleared with it.
bool HandlePlannerFault(IPO& ipo) {
    PathGenerator& generator = *ipo.GetPathGenerator();
    if (generator.GetResult() >= 0 || generator.IsThreadRunning()) return false;
    generator.ClearResult();
    ErrorStateLocked(ipo, IPO::STOP_PATHGEN_ERROR, true, std::string());
    return true;
}

// Runs logic commands from the current point, up to kMaxLogicPerCycle of a combinable
// chain.
void RunLogic(IPO& ipo, int cycleMs, float overridePercent, DataTypes::RobotState* state) {
    for (int n = 0; n < kMaxLogicPerCycle; ++n) {
        const int program = ipo.GetActiveProgram();
        const int point = ipo.GetCurrentPoint();
        const std::uint64_t generation = IpoInternals::RunGeneration(ipo).load();
        const int result = ipo.Interpolate(cycleMs, overridePercent, state);
        // A command that stopped its own interpreter has ended the run; its result would
        // resume the program past it.
        if (IpoInternals::RunGeneration(ipo).load() != generation) return;
        ipo.HandleResult(result);
        if ((result == Command::ResultEndOfProgram && ipo.GetActiveProgram() == 0) ||
            ipo.GetReplayMode() == IPO::REPLAY_STEP) {
            return;
        }
        if (!CommandAt(ipo, program, point).IsCombinable()) return;
        const int active = ipo.GetActiveProgram();
        const std::vector<RobotProgram>& programs = IpoInternals::Programs(ipo);
        if (active < 0 || active >= static_cast<int>(programs.size()) ||
            programs[static_cast<std::size_t>(active)].commands.empty()) {
            throw std::runtime_error("no command in program");
        }
        if (!ipo.IsReplayRunning() && ipo.GetType() != IPO::IPO_LOGIC) return;
        const int next = ipo.GetCurrentPoint();
        if (!ValidIndex(ipo, active, next) || CommandAt(ipo, active, next).commandType != CMD_LOGIC) return;
    }
}

// One cycle of a motion command: abort condition, planner fault, path sampling.
void RunMotion(IPO& ipo, int cycleMs, float overridePercent, DataTypes::RobotState* state) {
    const std::uint64_t generation = IpoInternals::RunGeneration(ipo).load();
    int result = ipo.InterpolateLogic(cycleMs, overridePercent, state);
    if (result == Command::ResultNotFinished) {
        PathGenerator& generator = *ipo.GetPathGenerator();
        if (HandlePlannerFault(ipo)) return;
        // Only a plan this run asked for is served.
        if (IpoInternals::PreparedPoint(ipo) >= 0 && generator.IsPathAvailable()) {
            int point = -1;
            result = generator.GetJointPosition(IpoInternals::PathTime(ipo), state->jointSet, &point);
            const int active = ipo.GetActiveProgram();
            const std::vector<RobotProgram>& programs = IpoInternals::Programs(ipo);
            const int count = static_cast<int>(programs[static_cast<std::size_t>(active)].commands.size());
            if (point < 0 || point >= count || result < Command::ResultEndOfProgram || result >= count) {
                char text[256];
                std::snprintf(text, sizeof text, "PathGen: command %d, successor %d outside program %d", point,
                              result, active);
                CancelPlan(ipo);
                ErrorStateLocked(ipo, IPO::STOP_PATHGEN_ERROR, true, text);
                return;
            }
            if (point != ipo.GetCurrentPoint() && ipo.GetReplayMode() == IPO::REPLAY_STEP) {
                PauseLocked(ipo, IPO::STOP_REPLAY_STEP);
                generator.SetPathUnavailable();
            }
            IpoInternals::CurrentPoint(ipo).store(point);
            IpoInternals::PreparedPoint(ipo) = point;
            IpoInternals::PathTime(ipo) += static_cast<long>(overridePercent * 1000.0 * cycleMs / 100.0);
        }
    }
    if (IpoInternals::RunGeneration(ipo).load() != generation) return;
    ipo.HandleResult(result);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Side-effect queue as the rest of the interpreter reaches it

namespace IpoDeferred {

bool InSection() { return ThreadEffects::Get().depth > 0; }

void Event(IPO::ResultCallback callback, HVPEventType event, int point, int program, const std::string& text) {
    Deferred& d = ThreadEffects::Get().Add(Kind::Event);
    d.callback = callback;
    d.event = event;
    d.a = point;
    d.b = program;
    d.text.assign(text);
}

void RunState(IPO& ipo, bool running) { QueueIpo(Kind::RunState, ipo, running); }

bool MemoryChange(Programs::ProgramMemory& memory, const Programs::MemoryPosition& variable) {
    if (!InSection()) {
        // Outside an interpreter section a cycle thread still hands the change on.
        if (tlsEffectSink == nullptr) return false;
        tlsEffectSink->PostVariableChange(&memory, variable);
        return true;
    }
    Deferred& d = ThreadEffects::Get().Add(Kind::MemoryChange);
    d.memory = &memory;
    d.variable = variable;
    return true;
}

}  // namespace IpoDeferred

// ---------------------------------------------------------------------------------------
// Names

const char* IPO::StopReasonName(int reason) {
    switch (reason) {
        case STOP_USER: return "USER";
        case STOP_PLC: return "PLC";
        case STOP_PROGRAM: return "PROGRAM";
        case STOP_REPLAY_STEP: return "REPLAY_STEP";
        case STOP_SHUTDOWN: return "SHUTDOWN";
        case STOP_REFERENCING: return "REFERENCING";
        case STOP_ERROR: return "ERROR";
        case STOP_PATHGEN_ERROR:
        case STOP_PATHGEN_ERROR2: return "PATHGEN_ERROR";
        case STOP_FSM_ERROR: return "FSM_ERROR";
        default: return "";
    }
}

// ---------------------------------------------------------------------------------------
// The cycle

int IPO::GetNextPosition(int cycleMs, float overridePercent, DataTypes::RobotState* state) {
    ThreadEffects::Get().cycleThread = true;
    Section section;
    ProgramLock lock(*this, ProgramLock::Try);
    if (!lock.Acquired()) {
        missedCycles.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    // A stop the loop raised goes first; this cycle gives no set-point.
    if (haltRequested.load()) {
        ApplyCycleRequestLocked();
        return 0;
    }

    // A start on a cycle thread found a plan of the last run still computing: the commands
    // are re-armed once it has ended, before anything runs or is planned. Until then the
    // cycle keeps the set-points.
    if (reinitPending) {
        if (pathGenerator && pathGenerator->IsThreadRunning()) {
            pathGenerator->RequestCancel();
            return 0;
        }
        InitAllCommands(*this);
    }

    if (restartWaitMs > 0) {
        restartWaitMs -= cycleMs;
        startTime = timeSource();
        return 0;
    }

    const double limit = velocityLimit.load();
    if (limit >= 0.0) {
        overridePercent = std::min(overridePercent, static_cast<float>(limit * 100.0 / cartesianMaxVelocity));
    }

    if (type == IPO_LOGIC) {
        // The robot loop asks only while the logic program runs; a stop by another thread
        // can come in between, so the check is repeated here under the lock.
        if (!replayRunning.load() || currentPoint.load() < 0) return 0;
        try {
            RunLogic(*this, cycleMs, overridePercent, state);
        } catch (const std::exception& e) {
            HandlerLogic(*this, e.what());
        } catch (int code) {
            char buffer[64];
            HandlerLogic(*this, CodeText(code, buffer, sizeof buffer));
        }
        const int program = activeProgram.load();
        const int point = currentPoint.load();
        return ValidIndex(*this, program, point) && CommandAt(*this, program, point).commandType == CMD_CARTESIAN
                   ? 1
                   : 0;
    }

    if (!replayRunning.load()) return 0;
    if (!ValidIndex(*this, activeProgram.load(), currentPoint.load())) {
        HandlerLogicCommand(*this, "invalid command index");
        return 0;
    }
    if (CommandAt(*this, activeProgram.load(), currentPoint.load()).commandType == CMD_LOGIC) {
        try {
            // The commands after a logic run are planned afresh.
            preparedPoint = -1;
            RunLogic(*this, cycleMs, overridePercent, state);
        } catch (const std::exception& e) {
            HandlerLogicCommand(*this, e.what());
        } catch (int code) {
            char buffer[64];
            HandlerLogicCommand(*this, CodeText(code, buffer, sizeof buffer));
        }
    } else {
        try {
            RunMotion(*this, cycleMs, overridePercent, state);
        } catch (int code) {
            HandlerMotionCode(*this, code);
        } catch (const std::exception& e) {
            HandlerMotionException(*this, e.what());
        }
    }

    const int program = activeProgram.load();
    const int point = currentPoint.load();
    if (replayRunning.load() && ValidIndex(*this, program, point) &&
        CommandAt(*this, program, point).commandType != CMD_LOGIC) {
        PathGenerator& generator = *pathGenerator;
        const bool planned =
            point == preparedPoint && (generator.IsPathAvailable() || generator.IsThreadRunning());
        // A fault of the last plan is reported before anything is planned again, or the
        // new request would hide it and the command be planned over and over.
        if (!planned && generator.GetResult() >= 0) {
            PreparePath(state);
        } else if (!planned) {
            HandlePlannerFault(*this);
        }
    }
    return 0;
}

int IPO::Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) {
    const int program = activeProgram.load();
    const int point = currentPoint.load();
    if (!ValidIndex(*this, program, point)) {
        char text[256];
        std::snprintf(text, sizeof text, "IPO-Error: Invalid command index in Interpolate: activeProgram=%d, currentPoint=%d",
                      program, point);
        throw std::out_of_range(text);
    }
    UpdateRunstate();
    return CommandAt(*this, program, point).Interpolate(cycleMs, overridePercent, state);
}

int IPO::InterpolateLogic(int cycleMs, float overridePercent, DataTypes::RobotState* state) {
    const int program = activeProgram.load();
    const int point = currentPoint.load();
    if (!ValidIndex(*this, program, point)) {
        char text[128];
        std::snprintf(text, sizeof text, "IPO-Error: Invalid command index in InterpolateLogic: activeProgram=%d, currentPoint=%d",
                      program, point);
        throw std::out_of_range(text);
    }
    Command& command = CommandAt(*this, program, point);
    const std::string& cls = command.className;
    if (cls == "CommandJoint" || cls == "CommandLinear" || cls == "CommandCircular" || cls == "CommandRelative") {
        return command.InterpolateLogic(cycleMs, overridePercent, state);
    }
    QueueFormat(Kind::Log, "IPO:    Unknown command '%s' in InterpolateLogic!", cls.c_str());
    return Command::ResultNotFinished;
}

void IPO::HandleResult(int result) {
    PathGenerator* generator = pathGenerator.get();
    auto dropPath = [this, generator] {
        if (generator != nullptr) generator->SetPathUnavailable();
        pathTime = 0;
        preparedPoint = -1;
    };
    const bool step = replayMode.load() == REPLAY_STEP;
    if (result >= 0) {
        const int active = activeProgram.load();
        if (!ValidIndex(*this, active, result)) {
            char text[128];
            std::snprintf(text, sizeof text, "IPO-Error: next command %d outside program %d", result, active);
            throw std::out_of_range(text);
        }
        currentPoint.store(result);
        if (step) {
            if (generator != nullptr) generator->SetPathUnavailable();
            PauseLocked(*this, STOP_REPLAY_STEP);
        }
    } else {
        while (result == Command::ResultEndOfProgram && activeProgram.load() != 0) {
            const int active = activeProgram.load();
            if (active < 0 || active >= static_cast<int>(programs.size())) {
                throw std::out_of_range("IPO-Error: return from a program that is not loaded");
            }
            const RobotProgram& sub = programs[static_cast<std::size_t>(active)];
            currentPoint.store(sub.returnCommandIndex);
            activeProgram.store(sub.callerProgramIndex);
            result = sub.returnCommandIndex;
            dropPath();
            if (step) PauseLocked(*this, STOP_REPLAY_STEP);
        }
        if (result == Command::ResultEndOfProgram && activeProgram.load() == 0) {
            const auto now = timeSource();
            if (replayMode.load() == REPLAY_REPEAT) {
                currentPoint.store(0);
                dropPath();
                replayRunning.store(true);
                QueueIpo(Kind::RunState, *this, true);
                if (type == IPO_MAIN) {
                    QueueText(Kind::Display, "Program done, restarting");
                    QueueText(Kind::Log, "IPO: Program done, restarting");
                    QueueText(Kind::Log, " ");
                    QueueSystemVariable(SV_ProgramStarts, 1);
                }
                const auto pass = now - startTime;
                if (pass < m_MinimumExecutionTime) {
                    restartWaitMs = static_cast<int>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(m_MinimumExecutionTime - pass).count());
                }
                lastProgramDurationNs.store(std::chrono::duration_cast<std::chrono::nanoseconds>(pass).count());
                startTime = now;
            } else {
                currentPoint.store(-1);
                dropPath();
                replayRunning.store(false);
                QueueIpo(Kind::RunState, *this, false);
                lastProgramDurationNs.store(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(now - startTime).count());
                if (type == IPO_MAIN) {
                    QueueEvent(*this, HVP_EVENT_END, "PLAN");
                    QueueText(Kind::Display, "Program done");
                    QueueText(Kind::Log, "IPO: Program done");
                    QueueText(Kind::Log, " ");
                } else if (type == IPO_MOVETO) {
                    QueueEvent(*this, HVP_EVENT_END, "PLAN");
                    QueueText(Kind::Log, "IPO: MoveTo done");
                }
            }
        } else if (result <= Command::ResultFirstSubProgramCall) {
            const int called = -10 - result;
            const int caller = activeProgram.load();
            const int point = currentPoint.load();
            if (called <= 0 || called >= static_cast<int>(programs.size()) || !ValidIndex(*this, caller, point)) {
                char text[128];
                std::snprintf(text, sizeof text, "IPO-Error: call of program %d, which is not loaded", called);
                throw std::out_of_range(text);
            }
            RobotProgram& sub = programs[static_cast<std::size_t>(called)];
            sub.callerProgramIndex = caller;
            sub.returnCommandIndex = CommandAt(*this, caller, point).nextSuccessor;
            activeProgram.store(called);
            currentPoint.store(0);
            dropPath();
            if (type == IPO_MAIN) {
                QueueFormat(Kind::Log, "IPO - changing to program %d, from %d, %d", called, caller,
                            sub.returnCommandIndex);
            }
        }
    }

    const int point = currentPoint.load();
    const int program = activeProgram.load();
    if (point >= 0 && program >= 0 && (point != lastAcknowledgedPoint || program != lastAcknowledgedProgram)) {
        lastAcknowledgedPoint = point;
        lastAcknowledgedProgram = program;
        if (type != IPO_LOGIC) QueueEvent(*this, HVP_EVENT_ACK, "");
    }
}

void IPO::PreparePath(DataTypes::RobotState* state) {
    PathGenerator& generator = *pathGenerator;
    const int program = activeProgram.load();
    std::vector<std::shared_ptr<Command>>& commands = programs[static_cast<std::size_t>(program)].commands;
    const int count = static_cast<int>(commands.size());
    int index = currentPoint.load();
    preparedPoint = index;
    generator.SetResultCallback(resultCallback.load());

    int next = commands[static_cast<std::size_t>(index)]->nextSuccessor;
    generator.SetFirstCmd(commands[static_cast<std::size_t>(index)], state, index, next);
    // Every plan that used these commands has ended now: a plan cancelled half-way may
    // have left a command's first-cycle flag clear, so each starts afresh.
    commands[static_cast<std::size_t>(index)]->Init();
    int handedOver = 1;
    while (handedOver < generator.GetLookAhead() && next > 0 && next < count && replayMode.load() != REPLAY_STEP) {
        if (commands[static_cast<std::size_t>(next)]->commandType == CMD_LOGIC ||
            commands[static_cast<std::size_t>(index)]->smoothPercent <= 0.0f) {
            break;
        }
        index = next;
        next = commands[static_cast<std::size_t>(index)]->nextSuccessor;
        generator.SetNextCmd(commands[static_cast<std::size_t>(index)], index, next);
        commands[static_cast<std::size_t>(index)]->Init();
        ++handedOver;
    }
    // No plan runs between SetFirstCmd and the new thread: the offsets may change here.
    ApplyPendingOffsets();
    generator.ClearResult();
    generator.ComputePathStartThread();
    pathTime = 0;
}

// ---------------------------------------------------------------------------------------
// Run control

void IPO::Start() {
    LogSingleton* log = LogSingleton::instance();
    if (loading.load()) {
        if (IpoDeferred::InSection()) {
            QueueText(Kind::Log, "IPO: Cannot start while loading!");
        } else {
            log->add("IPO: Cannot start while loading!");
        }
        return;
    }
    if (pluginsNeeded.load() && IsProgramLoaded() && !IpoDeferred::InSection()) {
        pluginManager->StartPlugins();
    }
    // Other threads wait for the plans of the last run to end; a cycle thread (or a
    // command inside the cycle) never waits, and leaves the re-arming to the cycle.
    const bool mayWait = !IpoDeferred::InSection() && !IpoDeferred::OnCycleThread();
    for (int attempt = 0;; ++attempt) {
        // Start re-arms every command: the plans of the last run must have ended first.
        if (mayWait && Restartable(*this)) WaitForPlanner(*this);
        Section section;
        ProgramLock lock(*this, ProgramLock::Block);
        if (mayWait && Restartable(*this) && pathGenerator && pathGenerator->IsThreadRunning() && attempt < 100) {
            continue;
        }
        // A stop the robot loop raised and has not carried out yet wins over this start.
        if (haltRequested.load()) {
            QueueFormat(Kind::Log, "%s: Start refused, a stop of the robot loop is pending", name.c_str());
            return;
        }
        if (programs.empty() || programs[0].commands.empty()) {
            QueueText(Kind::Display, "No Program loaded");
            QueueFormat(Kind::Log, "%s:    Cannot start, no Program loaded", name.c_str());
            return;
        }
        if (currentPoint.load() == -1) {
            QueueFormat(Kind::Log, "%s: Starting program with %d points and %d subprograms, first: %s", name.c_str(),
                        static_cast<int>(programs[0].commands.size()), static_cast<int>(programs.size()) - 1,
                        programs[0].commands[0]->className.c_str());
            // No planning thread starts while programMutex is held, so this answer holds
            // until the lock is released.
            if (pathGenerator && pathGenerator->IsThreadRunning()) {
                reinitPending = true;
            } else {
                InitAllCommands(*this);
            }
            if (!ValidIndex(*this, activeProgram.load(), 0)) activeProgram.store(0);
            currentPoint.store(0);
            lastAcknowledgedPoint = 0;
            lastAcknowledgedProgram = 0;
            restartWaitMs = 0;
            startTime = timeSource();
            CancelPlan(*this);
            if (type != IPO_LOGIC) {
                QueueEvent(*this, HVP_EVENT_ACK, "");
                QueueSystemVariable(SV_ProgramStarts, 1);
            }
        } else if (type == IPO_MAIN) {
            QueueFormat(Kind::Log, "IPO: Resuming program at point %d of %d", currentPoint.load() + 1,
                        static_cast<int>(programs[0].commands.size()));
            QueueEvent(*this, HVP_EVENT_ACK, "");
        }
        if (type == IPO_MAIN) QueueText(Kind::Display, "Starting/Resuming robot program");
        replayRunning.store(true);
        // The loop halts without this lock: a halt posted since the test above undoes the
        // start (it stores the flag after raising the halt, this reads it after storing).
        if (haltRequested.load()) replayRunning.store(false);
        return;
    }
}

void IPO::Pause(StopReason reason) {
    Section section;
    ProgramLock lock(*this, ProgramLock::Block);
    PauseLocked(*this, reason);
}

void IPO::Stop(StopReason reason, const std::string& text) {
    // The robot loop stops after a kinematic error between two of its cycles: it must not
    // wait either.
    const bool outside = !IpoDeferred::InSection() && !IpoDeferred::OnCycleThread();
    {
        Section section;
        // The state machine hears of every stop, first.
        QueueIpo(Kind::StateMachineStop, *this);
        ProgramLock lock(*this, ProgramLock::Block);
        StopLocked(*this, reason, text);
    }
    if (outside) {
        ++tlsRunControlSleeps;
        std::this_thread::sleep_for(kStopWait);
    }
}

void IPO::SetNoStopWaitOnThisThread(bool noWait) { tlsNoStopWait = noWait; }

void IPO::SetEffectSinkOnThisThread(EffectSink* sink) { tlsEffectSink = sink; }

bool IPO::NoStopWaitOnThisThread() { return tlsNoStopWait; }

void IPO::WaitForPlannerIdle() { WaitForPlanner(*this); }

// ---------------------------------------------------------------------------------------
// Stops raised on the cycle thread

void IPO::PostPause(StopReason reason) { Post(kCyclePause, reason, false, ""); }

void IPO::PostStop(StopReason reason, const char* text) { Post(kCycleStop, reason, false, text); }

void IPO::PostErrorState(StopReason reason, bool resetOutputs, const char* text) {
    Post(kCycleErrorState, reason, resetOutputs, text);
}

void IPO::PostDeleteAll() {
    cycleRequest.deleteAll = true;
    haltRequested.store(true);
    replayRunning.store(false);
    ServiceCycleRequests();
}

void IPO::Post(CycleRequestKind kind, StopReason reason, bool resetOutputs, const char* text) {
    // The strongest request waiting wins; an equal one replaces it (its reason is newer).
    if (kind >= cycleRequest.kind) {
        cycleRequest.kind = kind;
        cycleRequest.reason = reason;
        cycleRequest.resetOutputs = resetOutputs;
        std::snprintf(cycleRequest.text, sizeof cycleRequest.text, "%s", text != nullptr ? text : "");
    }
    // Halt first, then the flag: a Start that stores the flag after this reads the halt.
    haltRequested.store(true);
    replayRunning.store(false);
    ServiceCycleRequests();
}

void IPO::ServiceCycleRequests() {
    if (!haltRequested.load()) return;
    Section section;
    ProgramLock lock(*this, ProgramLock::Try);
    if (!lock.Acquired()) return;  // the next cycle tries again; the halt holds meanwhile
    ApplyCycleRequestLocked();
}

void IPO::ApplyCycleRequestLocked() {
    const CycleRequest request = cycleRequest;
    cycleRequest = CycleRequest();
    haltRequested.store(false);
    const std::string text(request.text);
    switch (request.kind) {
        case kCyclePause:
            PauseLocked(*this, request.reason);
            break;
        case kCycleStop:
            QueueIpo(Kind::StateMachineStop, *this);
            StopLocked(*this, request.reason, text);
            break;
        case kCycleErrorState:
            ErrorStateLocked(*this, request.reason, request.resetOutputs, text);
            break;
        case kCycleNone:
            break;
    }
    // The run-state callback hears of the halt as of any stop.
    if (request.kind == kCycleNone) QueueIpo(Kind::RunState, *this, false);
    if (request.deleteAll) {
        std::vector<RobotProgram> old;
        std::vector<ProgramSummary> oldSummaries;
        std::string oldName;
        DropProgramsLocked(old, oldSummaries, oldName);
        // As DeleteAll, but the program variables stay (the move-to interpreter's way): the
        // memory is not cleared under programMutex.
        UpdateRunstate();
        pluginsNeeded.store(false);
    }
}

long long IPO::RunControlSleepsOnThisThread() { return tlsRunControlSleeps; }

void IPO::ErrorState(StopReason reason, bool resetOutputs, const std::string text) {
    Section section;
    ProgramLock lock(*this, ProgramLock::Block);
    ErrorStateLocked(*this, reason, resetOutputs, text);
}

void IPO::RestartCommand() {
    Section section;
    ProgramLock lock(*this, ProgramLock::Block);
    if (GetRunState() == RUNSTATE_PAUSED) CancelPlan(*this);
}

void IPO::StartAt(const std::string& programName, int commandIndex) {
    LogSingleton* log = LogSingleton::instance();
    log->addFormat("Start command requested: program '%s', command %d", programName.c_str(), commandIndex);
    if (GetRunState() == RUNSTATE_RUNNING) {
        log->addError("Can not set start command while program is running");
        throw std::runtime_error("program is running");
    }
    int found = -1;
    {
        std::lock_guard<std::mutex> lock(programMutex);
        for (std::size_t i = 0; i < programs.size(); ++i) {
            if (programs[i].name == programName) {
                found = static_cast<int>(i);
                break;
            }
        }
    }
    if (found >= 0) {
        StartAtInternal(this, found, commandIndex);
        return;
    }
    // Another program is loaded (or none): it is stopped and dropped, so the start cannot
    // run the old program 0 under the new name.
    Stop(STOP_USER, std::string());
    DeleteAll();
    if (LoadProgram(programName, true) != 0) {
        throw std::runtime_error("could not load program");
    }
    startAtThreads.fetch_add(1);
    try {
        std::thread([this, commandIndex] {
            StartAtInternal(this, 0, commandIndex);
            startAtThreads.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        startAtThreads.fetch_sub(1);
        throw std::runtime_error("could not load program");
    }
}

void IPO::StartAtInternal(IPO* ipo, int programIndex, int commandIndex) {
    LogSingleton* log = LogSingleton::instance();
    while (ipo->loading.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    auto valid = [ipo, programIndex, commandIndex] {
        std::lock_guard<std::mutex> lock(ipo->programMutex);
        return ValidIndex(*ipo, programIndex, commandIndex);
    };
    if (!valid()) {
        log->addError("could not set start command, program not loaded");
        return;
    }
    if (ipo->GetRunState() == RUNSTATE_STOPPED) {
        ipo->Start();
        ipo->Pause(STOP_USER);
    }
    Section section;
    ProgramLock lock(*ipo, ProgramLock::Block);
    if (!ValidIndex(*ipo, programIndex, commandIndex)) {
        QueueText(Kind::LogError, "could not set start command, program not loaded");
        return;
    }
    if (programIndex != ipo->activeProgram.load()) {
        RobotProgram& p = ipo->programs[static_cast<std::size_t>(programIndex)];
        p.callerProgramIndex = 0;
        p.returnCommandIndex = Command::ResultEndOfProgram;
        ipo->activeProgram.store(programIndex);
    }
    ipo->currentPoint.store(commandIndex);
    // The resumed command is planned from where the robot stands.
    CancelPlan(*ipo);
}
