// RobotMaster: program control through the three interpreters, the start permission, the
// load-and-start worker and the EM67 program start.
#include "RobotMasterCommands.h"

#include "core/LogSingleton.h"

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
        p.ready = master.DebugMode || p.errorText == "NoError" || p.errorText == "operation_enabled";
    }
    p.referencing = master.referenceAllActive.load() || hw.IsReferencing();
    return p;
}

// The move-to interpreter is stopped only while it holds a running or paused motion: its
// stop also stops the EM67 state machine, which would otherwise end with every start.
void StopMoveToIfBusy(IPO& moveTo) {
    if (moveTo.GetRunState() != IPO::RUNSTATE_STOPPED) moveTo.Stop(IPO::STOP_USER, "");
}

}  // namespace

void RobotMaster::StartProgram() {
    CommandLock lock(*this);
    if (!lock.Acquired() || GetHardware() == nullptr) return;
    const StartPermission p = GetStartPermission(*this);
    if (p.referencing) {
        Log()->add("Can not start program while referencing");
        return;
    }
    if (p.cartAllowed && p.ready) {
        Show(*this, "Starting Program");
        Log()->add("Starting Program");
        if (mainIpo.GetRunState() == IPO::RUNSTATE_PAUSED) RestoreProgramVelocities();
        StopMoveToIfBusy(moveToIpo);
        mainIpo.Start();
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
    CommandLock lock(*this);
    if (!lock.Acquired()) return;
    if (mainIpo.GetRunState() == IPO::RUNSTATE_RUNNING) {
        StoreProgramVelocities();
        lastMainRunState.store(IPO::RUNSTATE_PAUSED);
    }
    mainIpo.Pause(reason);
    moveToIpo.Stop(reason, "");
    ResetVelocities();
}

void RobotMaster::StopProgram(IPO::StopReason reason) {
    CommandLock lock(*this);
    if (!lock.Acquired()) return;
    mainIpo.Stop(reason, "");
    moveToIpo.Stop(reason, "");
    ResetVelocities();
}

void RobotMaster::StopLogicProgram(IPO::StopReason reason) {
    CommandLock lock(*this);
    if (!lock.Acquired()) return;
    logicIpo.Stop(reason, "");
    moveToIpo.Stop(reason, "");
    ResetVelocities();
}

void RobotMaster::ErrorStateProgram(IPO::StopReason reason, bool resetOutputs, const std::string& text) {
    CommandLock lock(*this);
    if (!lock.Acquired()) return;
    mainIpo.ErrorState(reason, resetOutputs, text);
    ResetVelocities();
}

void RobotMaster::DeleteProgram() {
    CommandLock lock(*this);
    if (!lock.Acquired()) return;
    mainIpo.DeleteAll();
}

void RobotMaster::DeleteLogicProgram() {
    CommandLock lock(*this);
    if (!lock.Acquired()) return;
    logicIpo.DeleteAll();
}

void RobotMaster::CheckRunStateChanged() {
    const int now = mainIpo.GetRunState();
    const int last = lastMainRunState.load();
    if (now != last && last == IPO::RUNSTATE_RUNNING && now == IPO::RUNSTATE_PAUSED) {
        CommandLock lock(*this);
        // Busy command mutex on the loop: keep the last state and look again next cycle.
        if (!lock.Acquired()) return;
        PauseProgram(IPO::STOP_PROGRAM);
    }
    lastMainRunState.store(now);
}

void RobotMaster::IPOError(IPO*, bool resetOutputs) {
    if (!resetOutputs) return;
    Log()->add("RobotMaster: Resetting DOuts on error (IPOError)");
    DOutResetOnError(false);
}

void RobotMaster::StartStopEM67FSM() {
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
    StopMoveToIfBusy(moveToIpo);
    mainIpo.Start();
}
