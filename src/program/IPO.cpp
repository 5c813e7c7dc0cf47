#include "program/IPO.h"

#include "IPODeferred.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematic.h"
#include "motion/PathGenerator_01Joint.h"
#include "motion/PathGenerator_02Linear.h"
#include "program/CommandCircular.h"
#include "program/ProgramMemory.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <thread>
#include <unordered_set>

const std::chrono::milliseconds IPO::m_MinimumExecutionTime{500};

// ---------------------------------------------------------------------------------------
// RobotProgram

bool RobotProgram::IsAncestor(const std::string& wanted, const std::vector<RobotProgram>& list) const {
    // A depth-first walk over the call graph; a program reached on two paths (a sub
    // called from two callers) is looked at once.
    std::vector<const RobotProgram*> open{this};
    std::unordered_set<const RobotProgram*> seen{this};
    while (!open.empty()) {
        const RobotProgram* p = open.back();
        open.pop_back();
        if (p->name == wanted) return true;
        for (int index : p->ancestors) {
            if (index < 0 || index >= static_cast<int>(list.size())) continue;
            const RobotProgram* a = &list[static_cast<size_t>(index)];
            if (seen.insert(a).second) open.push_back(a);
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// Command access for the planners

int IpoCommandAccess::GetCommandType(const Command& command) const { return command.commandType; }

const std::string& IpoCommandAccess::GetClassName(const Command& command) const { return command.className; }

PathCommandMotion IpoCommandAccess::GetMotion(const Command& command) const {
    PathCommandMotion motion;
    motion.velJointPercent = command.velJointPercent;
    motion.velCartesian = command.UsedVelCartesian();
    motion.velRotation = command.velRotation;
    motion.accPercent = command.accPercent;
    motion.smoothPercent = command.smoothPercent;
    return motion;
}

int IpoCommandAccess::Interpolate(Command& command, int cycleMs, float overridePercent,
                                  DataTypes::RobotState* state) const {
    return command.Interpolate(cycleMs, overridePercent, state);
}

void IpoCommandAccess::GetTargetPosition(Command& command, DataTypes::RobotState* current,
                                         DataTypes::RobotState* target, float& velCartesianOut,
                                         float& velJointPercentOut, float& accPercentOut,
                                         float& smoothPercentOut) const {
    command.GetTargetPosition(current, target, velCartesianOut, velJointPercentOut, accPercentOut,
                              smoothPercentOut);
}

const CircleParameters* IpoCommandAccess::GetCircle(const Command& command) const {
    const auto* circular = dynamic_cast<const CommandCircular*>(&command);
    return circular != nullptr ? circular->circle.get() : nullptr;
}

// ---------------------------------------------------------------------------------------
// Construction and set-up

IPO::IPO(IpoType ipoType)
    : type(ipoType),
      startTime(std::chrono::steady_clock::now()),
      pluginManager(std::make_unique<PluginFramework::PluginManager>()) {
    // Variable changes made by commands under programMutex reach listeners after it.
    Programs::ProgramMemory::SetDeferHook(&IpoDeferred::MemoryChange);
}

IPO::~IPO() {
    // A detached loading thread works on this object until it lowers the flag, and a
    // start-at thread until it has set the start point.
    while (loading.load() || startAtThreads.load() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void IPO::SetMemory(Programs::ProgramMemory* programMemory) {
    memory = programMemory;
    if (programMemory == nullptr) {
        return;
    }
    if (type == IPO_MAIN) {
        runStateCallback = [programMemory](bool running) { programMemory->OnProgramRunStateChanged(running); };
    } else if (type == IPO_LOGIC) {
        runStateCallback = [programMemory](bool running) { programMemory->OnLogicProgramRunStateChanged(running); };
    }
}

void IPO::InitPathGen(PathGenType genType, float smoothDistCart, float smoothDistJoint, int lookAhead) {
    if (pathGenerator) {
        return;
    }
    if (genType == PATHGEN_LINEAR) {
        pathGenerator = std::make_unique<PathGenerator_02Linear>(smoothDistCart, smoothDistJoint, lookAhead);
    } else {
        pathGenerator = std::make_unique<PathGenerator_01Joint>(lookAhead);
    }
    pathGenerator->SetCommandAccess(&commandAccess);
}

void IPO::InitJointMaxValues(float* jointMaxVel, float* jointAcc, float* jointAccInc, float cartMaxVel,
                             float cartAcc, float cartAccInc, double oriVel, double oriAcc, double oriAccInc) {
    for (int j = 0; j < Command::maxJoints; ++j) {
        jointMaxVelocities[j] = jointMaxVel[j];
        jointAccelerations[j] = jointAcc[j];
    }
    cartesianMaxVelocity = cartMaxVel;
    if (!pathGenerator) {
        LogSingleton::instance()->addError(name + ": no path generator to initialise");
        return;
    }
    LogSingleton* log = LogSingleton::instance();
    pathGenerator->Init(log->get_pathGeneratorFlagOptimize(), log->get_pathGeneratorSlicingMS(), type != IPO_MAIN);
    pathGenerator->InitVelAcc(jointMaxVel, jointAcc, jointAccInc, static_cast<double>(cartMaxVel),
                              static_cast<double>(cartAcc), static_cast<double>(cartAccInc), oriVel, oriAcc,
                              oriAccInc);
}

void IPO::SetPluginManager(std::unique_ptr<PluginFramework::PluginManager> manager) {
    if (manager) {
        pluginManager = std::move(manager);
    }
}

// ---------------------------------------------------------------------------------------
// Program offset

void IPO::LogOffsets(bool reset, const float* v) const {
    if (type != IPO_MAIN) {
        return;
    }
    auto d = [v](int i) { return static_cast<double>(v[i]); };
    LogSingleton* log = LogSingleton::instance();
    if (reset) {
        log->addFormat("%s: Offset reset: joint %0.1lf %0.1lf %0.1lf   %0.1lf %0.1lf %0.1lf   %0.1lf %0.1lf %0.1lf   "
                       "cart %0.1lf %0.1lf %0.1lf   %0.1lf %0.1lf %0.1lf ",
                       name.c_str(), d(0), d(1), d(2), d(3), d(4), d(5), d(6), d(7), d(8), d(9), d(10), d(11), d(12),
                       d(13), d(14));
    } else {
        log->addFormat("%s: Offset defined: joint %0.1lf %0.1lf %0.1lf   %0.1lf %0.1lf %0.1lf   %0.1lf %0.1lf %0.1lf   "
                       "cart %0.1lf %0.1lf %0.1lf   %0.1lf %0.1lf %0.1lf ",
                       name.c_str(), d(0), d(1), d(2), d(3), d(4), d(5), d(6), d(7), d(8), d(9), d(10), d(11), d(12),
                       d(13), d(14));
    }
}

void IPO::OffsetSet(const float* values) {
    float copy[kNrOffsets];
    std::copy(values, values + kNrOffsets, copy);
    {
        std::lock_guard<std::mutex> lock(offsetMutex);
        std::copy(copy, copy + kNrOffsets, pendingOffsets);
    }
    LogOffsets(false, copy);
}

void IPO::OffsetReset() {
    const float zero[kNrOffsets] = {};
    {
        std::lock_guard<std::mutex> lock(offsetMutex);
        std::copy(zero, zero + kNrOffsets, pendingOffsets);
    }
    LogOffsets(true, zero);
}

void IPO::GetOffsets(float* values) const {
    std::lock_guard<std::mutex> lock(offsetMutex);
    std::copy(pendingOffsets, pendingOffsets + kNrOffsets, values);
}

void IPO::ApplyPendingOffsets() {
    std::lock_guard<std::mutex> lock(offsetMutex);
    std::copy(pendingOffsets, pendingOffsets + Command::maxJoints, jointOffset);
    std::copy(pendingOffsets + Command::maxJoints, pendingOffsets + kNrOffsets, cartesianOffset);
}

// ---------------------------------------------------------------------------------------
// Queries

int IPO::GetNrRobotJoints() const {
    if (!pathGenerator || !pathGenerator->GetKinematic()) {
        throw std::runtime_error(name + ": no path generator or kinematic for the joint count");
    }
    return pathGenerator->GetKinematic()->nrOfJoints;
}

int IPO::GetNrExternalJoints() const {
    if (!pathGenerator || !pathGenerator->GetKinematic()) {
        throw std::runtime_error(name + ": no path generator or kinematic for the joint count");
    }
    return pathGenerator->GetKinematic()->nrOfExtJoints;
}

void IPO::SetReplayRunning(bool running) {
    replayRunning.store(running);
    UpdateRunstate();
}

void IPO::UpdateRunstate() {
    if (IpoDeferred::InSection()) {
        // Under an interpreter lock: the callback runs once the lock is released.
        IpoDeferred::RunState(*this, replayRunning.load());
        return;
    }
    if (runStateCallback) {
        runStateCallback(replayRunning.load());
    }
}

IPO::RunState IPO::GetRunState() const {
    if (replayRunning.load()) {
        return RUNSTATE_RUNNING;
    }
    return currentPoint.load() == -1 ? RUNSTATE_STOPPED : RUNSTATE_PAUSED;
}

std::string IPO::GetLoadedProgramName() const {
    std::lock_guard<std::mutex> lock(infoMutex);
    return loadedProgramName;
}

std::vector<IPO::ProgramSummary> IPO::GetProgramSummaries() const {
    std::lock_guard<std::mutex> lock(infoMutex);
    return summaries;
}

void IPO::SendHVPServerCallback(HVPEventType event, int commandIndex, int programIndex,
                                const std::string& text) const {
    const ResultCallback callback = resultCallback.load();
    if (callback != nullptr && IpoDeferred::InSection()) {
        IpoDeferred::Event(callback, event, commandIndex, programIndex, text);
    } else if (callback != nullptr) {
        callback(event, commandIndex, programIndex, text);
    }
}

// ---------------------------------------------------------------------------------------
// Program list

std::vector<IPO::ProgramSummary> IPO::Summarise(const std::vector<RobotProgram>& list) {
    std::vector<ProgramSummary> out;
    out.reserve(list.size());
    for (const RobotProgram& p : list) {
        out.push_back(ProgramSummary{p.name, static_cast<int>(p.commands.size())});
    }
    return out;
}

void IPO::Install(std::vector<RobotProgram>&& list, int loadedIndex) {
    std::string loadedName;
    int points = 0;
    if (loadedIndex >= 0 && loadedIndex < static_cast<int>(list.size())) {
        loadedName = list[static_cast<size_t>(loadedIndex)].name;
        points = static_cast<int>(list[static_cast<size_t>(loadedIndex)].commands.size());
    }
    std::vector<ProgramSummary> copy = Summarise(list);
    {
        // The list and what readers see of it change together, so a DeleteAll racing
        // with the install never leaves names or counts of programs that are gone.
        std::lock_guard<std::mutex> lock(programMutex);
        programs.swap(list);
        programCount.store(static_cast<int>(programs.size()));
        loadedPointCount.store(points);
        std::lock_guard<std::mutex> info(infoMutex);
        summaries.swap(copy);
        loadedProgramName.swap(loadedName);
        infoGeneration.fetch_add(1);
    }
    // list now holds the replaced programs; they are released here, outside the lock.
}

void IPO::DeleteAll() {
    if (type != IPO_MOVETO) {
        LogSingleton::instance()->add("IPO:    Deleting All Programs");
    }
    std::vector<RobotProgram> old;
    std::vector<ProgramSummary> oldSummaries;
    std::string oldName;
    {
        std::lock_guard<std::mutex> lock(programMutex);
        DropProgramsLocked(old, oldSummaries, oldName);
    }
    AfterProgramsDropped();
    // The commands go only after the plans that use them have ended; a plan being computed
    // holds its own references to them, so a cycle thread need not wait for it.
    if (!IpoDeferred::InSection() && !IpoDeferred::OnCycleThread()) {
        IpoDeferred::WaitForPlanner(*this);
    }
}

void IPO::DropProgramsLocked(std::vector<RobotProgram>& old, std::vector<ProgramSummary>& oldSummaries,
                             std::string& oldName) {
    replayRunning.store(false);
    currentPoint.store(-1);
    activeProgram.store(0);
    runGeneration.fetch_add(1);
    // A plan still computing would be served to the next program.
    preparedPoint = -1;
    pathTime = 0;
    reinitPending = false;
    if (pathGenerator) {
        pathGenerator->RequestCancel();
        pathGenerator->SetPathUnavailable();
    }
    old.swap(programs);
    programCount.store(0);
    loadedPointCount.store(0);
    std::lock_guard<std::mutex> info(infoMutex);
    oldSummaries.swap(summaries);
    oldName.swap(loadedProgramName);
    infoGeneration.fetch_add(1);
    programFileToLoad.clear();
}

void IPO::AfterProgramsDropped() {
    UpdateRunstate();
    if (type != IPO_MOVETO && memory != nullptr) {
        memory->Clear();
    }
    pluginsNeeded.store(false);
}

void IPO::PrintCommands(int program) {
    std::vector<std::shared_ptr<Command>> commands;
    {
        std::lock_guard<std::mutex> lock(programMutex);
        if (program < 0 || program >= static_cast<int>(programs.size())) {
            return;
        }
        commands = programs[static_cast<size_t>(program)].commands;
    }
    LogSingleton* log = LogSingleton::instance();
    log->add("PrintCommands: ");
    for (const auto& command : commands) {
        log->add("IPO: cmd " + command->ToString());
    }
}

void IPO::PrintStacks(const std::string label, std::stack<int> first, std::stack<int> second) {
    std::cout << std::string(20, ' ') << label << " -- ";
    while (!first.empty() && !second.empty()) {
        std::cout << first.top() << "/" << second.top() << " ";
        first.pop();
        second.pop();
    }
    std::cout << std::endl;
}
