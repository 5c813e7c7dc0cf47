// RobotMaster: program control through the three interpreters, the start permission, the
// load-and-start worker, loading a program a client names and the EM67 program start.
#include "RobotMasterCommands.h"

#include "core/LogSingleton.h"
#include "core/PathCheck.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

using namespace RobotMasterCommands;

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

// Whether the robot may start a program now, with the values the refusal lines report.
struct StartPermission {
    bool connected = false;
    bool mandatory = false;
    bool referenced = false;
    bool cartAllowed = true;
    bool ready = true;
    bool referencing = false;
    std::string errorText;
};

StartPermission GetStartPermission(RobotMaster& master) {
    StartPermission p;
    Hardware::HardwareProtocol& hw = *master.GetHardware();
    p.connected = hw.GetConnectionStatus();
    p.mandatory = hw.IsReferencingMandatory();
    p.referenced = hw.IsReferenced();
    p.errorText = master.GetRobotState().errorText;
    if (p.connected) {
        p.cartAllowed = !p.mandatory || p.referenced;
        p.ready = RobotMasterInternals::DebugMode(master) || p.errorText == "NoError" || p.errorText == "operation_enabled";
    }
    p.referencing = RobotMasterInternals::ReferenceAllActive(master) || hw.IsReferencing();
    return p;
}

// Run control inside a command that holds the command mutex never sleeps or waits for a
// planner: a start leaves re-arming the commands to the cycle (as on the loop thread).
class NoRunControlWait {
public:
    NoRunControlWait() : previous(IPO::NoStopWaitOnThisThread()) { IPO::SetNoStopWaitOnThisThread(true); }
    ~NoRunControlWait() { IPO::SetNoStopWaitOnThisThread(previous); }
    NoRunControlWait(const NoRunControlWait&) = delete;
    NoRunControlWait& operator=(const NoRunControlWait&) = delete;

private:
    bool previous;
};

}  // namespace

void RobotMaster::StopMoveTo(IPO::StopReason reason) {
    // Only while it holds a running or paused motion: its stop also stops the EM67 state
    // machine, which would otherwise end with every start.
    if (moveToIpo.GetRunState() == IPO::RUNSTATE_STOPPED) return;
    if (IsLoopThread()) {
        moveToIpo.PostStop(reason, "");
    } else {
        moveToIpo.Stop(reason, "");
    }
}

bool RobotMaster::StartUnlessEStop(IPO& ipo, const char* request) {
    std::unique_lock<std::mutex> lock(eStopMutex, std::defer_lock);
    if (IsLoopThread()) {
        // The loop cannot latch while it runs this: the lock only keeps other starts out.
        if (!lock.try_lock()) return false;
    } else {
        lock.lock();
    }
    if (RefuseWhileEStop(request)) return false;
    ipo.Start();
    // The loop latches without the lock while a start holds it; the start then gives way
    // (no set-point leaves meanwhile: the loop holds them while latched).
    if (IsEStopLatched() && ipo.IsReplayRunning()) {
        Log()->addFormat("%s stopped, E-Stop detected while starting", request);
        if (&ipo == &mainIpo) {
            PauseProgram(IPO::STOP_PLC);
        } else if (IsLoopThread()) {
            ipo.PostStop(IPO::STOP_PLC, "");
        } else {
            ipo.Stop(IPO::STOP_PLC, "");
        }
        return false;
    }
    return true;
}

void RobotMaster::StartProgram() {
    if (RefuseWhileEStop("RobotMaster: Start program")) return;
    // The plans of the last run end first, without the command mutex held (a stop raised
    // meanwhile by another thread must not wait behind this start).
    if (!IsLoopThread()) mainIpo.WaitForPlannerIdle();
    CommandLock lock(*this);
    if (!lock.Acquired() || GetHardware() == nullptr) return;
    NoRunControlWait noWait;
    const StartPermission p = GetStartPermission(*this);
    if (p.referencing) {
        Log()->add("Can not start program while referencing");
        return;
    }
    if (p.cartAllowed && p.ready) {
        Show(*this, "Starting Program");
        Log()->add("Starting Program");
        if (mainIpo.GetRunState() == IPO::RUNSTATE_PAUSED) RestoreProgramVelocities();
        StopMoveTo(IPO::STOP_USER);
        StartUnlessEStop(mainIpo, "RobotMaster: Start program");
        return;
    }
    Show(*this, "Cannot start, not referenced/enabled!");
    Log()->addFormat("Cannot start program, not referenced/enabled: cartAllowed=%d, ready=%d",
                     p.cartAllowed ? 1 : 0, p.ready ? 1 : 0);
    Log()->addFormat("cartAllowed: connected=%d, referencing mandatory=%d, referenced=%d",
                     p.connected ? 1 : 0, p.mandatory ? 1 : 0, p.referenced ? 1 : 0);
    Log()->addFormat("ready: debugMode=%d, errorState=%s", DebugMode ? 1 : 0, p.errorText.c_str());
}

void RobotMaster::LoadProgramAndStartAsync(const std::string& file, IPO::StopReason reason) {
    // On the loop thread the stop (which waits for the interpreters) is left to the worker.
    const bool stopHere = !IsLoopThread();
    if (stopHere) StopProgram(reason);
    std::lock_guard<std::mutex> lock(loadMutex);
    loadFile = file;
    loadReason = reason;
    loadStopFirst = !stopHere;
    loadPending = true;
    if (!loadThread.joinable()) {
        loadThread = std::thread([this] { LoadAndStartWorker(); });
    }
    loadCondition.notify_all();
}

void RobotMaster::LoadAndStartWorker() {
    std::unique_lock<std::mutex> lock(loadMutex);
    for (;;) {
        loadCondition.wait(lock, [this] { return loadPending || loadStop; });
        if (loadStop) return;
        const std::string file = loadFile;
        const IPO::StopReason reason = loadReason;
        const bool stopFirst = loadStopFirst;
        loadPending = false;
        lock.unlock();

        if (stopFirst) StopProgram(reason);
        mainIpo.DeleteAll();
        mainIpo.LoadProgramSynchronous(file, false);
        lock.lock();
        // A newer request replaces this one before it starts.
        if (loadStop) return;
        if (loadPending) continue;
        lock.unlock();
        if (!mainIpo.IsProgramLoaded()) {
            Log()->addFormat("RobotMaster: Could not load program '%s'", file.c_str());
        } else {
            StartProgram();
        }
        lock.lock();
    }
}

void RobotMaster::PauseProgram(IPO::StopReason reason) {
    if (IsLoopThread()) {
        // The loop never waits for the command mutex: the stops are posted and halt the
        // interpreters at once, whatever another thread holds.
        if (mainIpo.GetRunState() == IPO::RUNSTATE_RUNNING) {
            StoreProgramVelocities();
            lastMainRunState.store(IPO::RUNSTATE_PAUSED);
        }
        mainIpo.PostPause(reason);
        moveToIpo.PostStop(reason, "");
        ResetVelocities();
        return;
    }
    CommandLock lock(*this);
    if (mainIpo.GetRunState() == IPO::RUNSTATE_RUNNING) {
        StoreProgramVelocities();
        lastMainRunState.store(IPO::RUNSTATE_PAUSED);
    }
    mainIpo.Pause(reason);
    moveToIpo.Stop(reason, "");
    ResetVelocities();
}

void RobotMaster::StopProgram(IPO::StopReason reason) {
    if (IsLoopThread()) {
        mainIpo.PostStop(reason, "");
        moveToIpo.PostStop(reason, "");
        ResetVelocities();
        return;
    }
    CommandLock lock(*this);
    mainIpo.Stop(reason, "");
    moveToIpo.Stop(reason, "");
    ResetVelocities();
}

void RobotMaster::StopLogicProgram(IPO::StopReason reason) {
    if (IsLoopThread()) {
        logicIpo.PostStop(reason, "");
        moveToIpo.PostStop(reason, "");
        ResetVelocities();
        return;
    }
    CommandLock lock(*this);
    logicIpo.Stop(reason, "");
    moveToIpo.Stop(reason, "");
    ResetVelocities();
}

void RobotMaster::ErrorStateProgram(IPO::StopReason reason, bool resetOutputs, const std::string& text) {
    if (IsLoopThread()) {
        mainIpo.PostErrorState(reason, resetOutputs, text.c_str());
        ResetVelocities();
        return;
    }
    CommandLock lock(*this);
    mainIpo.ErrorState(reason, resetOutputs, text);
    ResetVelocities();
}

void RobotMaster::DeleteProgram() {
    {
        CommandLock lock(*this);
        if (!lock.Acquired()) return;
        NoRunControlWait noWait;
        mainIpo.DeleteAll();
    }
    if (!IsLoopThread()) mainIpo.WaitForPlannerIdle();
}

void RobotMaster::DeleteLogicProgram() {
    {
        CommandLock lock(*this);
        if (!lock.Acquired()) return;
        NoRunControlWait noWait;
        logicIpo.DeleteAll();
    }
    if (!IsLoopThread()) logicIpo.WaitForPlannerIdle();
}

namespace {

// The logic program's load is awaited this long: 50 ms, then up to 51 polls of 20 ms.
constexpr int kLogicLoadFirstWaitMs = 50;
constexpr int kLogicLoadPollMs = 20;
constexpr int kLogicLoadPolls = 50;

// A load that did not happen: one log line, and the same text to the clients, since the
// one that asked would otherwise only see its acknowledgement. Names are cut to 200 bytes.
void RefuseLoad(const std::string& what, const std::string& name, const char* why) {
    const std::string text = what + " " + name.substr(0, 200) + why;
    Log()->add("RobotMaster: " + text);
    Log()->ServerSetMessage(text);
}

// The checks of a program name from a client, before anything is stopped: Loading when it
// may be loaded, Folder for a browser folder (main program only), else Refused or NotLoaded
// with one line saying why.
RobotMaster::NamedLoad CheckProgramName(const std::string& name, bool logic) {
    using NamedLoad = RobotMaster::NamedLoad;
    const char* const what = logic ? "Logic program" : "Program";
    if (name.empty()) {
        RefuseLoad(what, "name", " empty, nothing loaded");
        return NamedLoad::Refused;
    }
    if (!logic && name.back() == '/') return NamedLoad::Folder;
    const bool blank = std::any_of(name.begin(), name.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; });
    if (blank || !Filesystem::IsSafeRelativePath(name)) {
        RefuseLoad(std::string(what) + " name", name, " not allowed, nothing loaded");
        return NamedLoad::Refused;
    }
    if (!IPO::IsProgramFile(name)) {
        RefuseLoad(what, name, " not found, nothing loaded");
        return NamedLoad::NotLoaded;
    }
    return NamedLoad::Loading;
}

}  // namespace

RobotMaster::NamedLoad RobotMaster::LoadProgramByName(const std::string& name) {
    const NamedLoad checked = CheckProgramName(name, false);
    if (checked == NamedLoad::Folder) {
        return mainIpo.LoadDirectoryOrProgram(name) == -1 ? NamedLoad::Folder : NamedLoad::Refused;
    }
    if (checked != NamedLoad::Loading) return checked;
    // Stops the main program, deletes what it holds and begins the load.
    if (mainIpo.LoadDirectoryOrProgram(name) != 0) {
        RefuseLoad("Program", name, " not loaded, another load is still running");
        return NamedLoad::NotLoaded;
    }
    StopProgram(IPO::STOP_USER);
    return NamedLoad::Loading;
}

RobotMaster::NamedLoad RobotMaster::LoadLogicProgramByName(const std::string& name) {
    const NamedLoad checked = CheckProgramName(name, true);
    if (checked != NamedLoad::Loading) return checked;
    StopLogicProgram(IPO::STOP_USER);
    logicIpo.DeleteAll();
    logicIpo.OffsetReset();
    const int result = logicIpo.LoadProgram(name, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(kLogicLoadFirstWaitMs));
    int polls = 0;
    while (logicIpo.IsLoading()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kLogicLoadPollMs));
        if (++polls > kLogicLoadPolls) {
            Log()->add("LogicIPO: Loading program takes too long; try restart!", polls);
            break;
        }
    }
    logicIpo.SetReplayMode(IPO::REPLAY_REPEAT);
    logicIpo.Start();
    if (result != 0) RefuseLoad("Logic program", name, " not loaded, another load is still running");
    return result == 0 ? NamedLoad::Loading : NamedLoad::NotLoaded;
}

RobotMaster::NamedLoad RobotMaster::RequestLoadByName(bool logic, const std::string& name) {
    const NamedLoad checked = CheckProgramName(name, logic);
    if (checked == NamedLoad::Folder) return LoadProgramByName(name);  // a browser move only
    if (checked != NamedLoad::Loading) return checked;
    namedLoads.Post(logic ? 1 : 0, [this, logic, name] {
        if (logic) {
            LoadLogicProgramByName(name);
        } else {
            LoadProgramByName(name);
        }
    });
    return NamedLoad::Loading;
}

void RobotMaster::CheckRunStateChanged() {
    const int now = mainIpo.GetRunState();
    const int last = lastMainRunState.load();
    if (now != last && last == IPO::RUNSTATE_RUNNING && now == IPO::RUNSTATE_PAUSED) {
        PauseProgram(IPO::STOP_PROGRAM);
    }
    lastMainRunState.store(now);
}

void RobotMaster::IPOError(IPO*, bool resetOutputs) {
    if (!resetOutputs) return;
    Log()->add("RobotMaster: Resetting DOuts on error (IPOError)");
    DOutResetOnError(false);
}

bool RobotMaster::StartDirectMove(DirectMove kind, const float* values, float velocity, const char* request) {
    if (RefuseWhileEStop(request)) return false;
    const DataTypes::Vector3 first(values[0], values[1], values[2]);
    const DataTypes::Vector3 second(values[3], values[4], values[5]);
    const DataTypes::Vector3 external(values[6], values[7], values[8]);
    switch (kind) {
        case DirectMove::Joint: moveToIpo.MoveJoint(values, velocity); break;
        case DirectMove::RelativeJoint: moveToIpo.MoveRelativeJoint(values, velocity); break;
        case DirectMove::Linear: moveToIpo.MoveLinear(first, second, external, velocity); break;
        case DirectMove::RelativeBase: moveToIpo.MoveRelativeBase(first, second, external, velocity); break;
        case DirectMove::RelativeTool: moveToIpo.MoveRelativeTool(first, second, external, velocity); break;
    }
    return StartUnlessEStop(moveToIpo, request);
}

void RobotMaster::StartStopEM67FSM() {
    if (RefuseWhileEStop("RobotMaster: EM67 start")) return;
    CommandLock lock(*this);
    if (!lock.Acquired() || GetHardware() == nullptr) return;
    const StartPermission p = GetStartPermission(*this);
    if (!p.cartAllowed || !p.ready) {
        Show(*this, "Error EM67, robot not referenced!");
        return;
    }
    if (!stateMachine.GetActive(GetRobotState())) {
        Show(*this, "Error EM67, no Auto signal!");
        return;
    }
    if (!stateMachineActive.load()) {
        savedMotionType.store(motionType.load());
        stateMachine.Init();
        return;
    }
    Show(*this, "Starting EM67");
    NoRunControlWait noWait;
    StopMoveTo(IPO::STOP_USER);
    StartUnlessEStop(mainIpo, "RobotMaster: EM67 start");
}
