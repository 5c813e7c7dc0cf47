#include "motion/PathGenerator.h"

#include "core/LogSingleton.h"
#include "kinematics/KinematicErrorTexts.h"
#include "kinematics/RobotKinematic.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <system_error>
#include <thread>

AccHandler::AccHandler(float base, float factorValue) : percent(100.0f), factor(factorValue) {
    for (int j = 0; j < 9; ++j) {
        acc[j] = 0.0f;
        accBase[j] = base;
    }
}

void AccHandler::RequestAcc(float /*value*/) {
    for (int j = 0; j < 9; ++j) acc[j] = accBase[j] * percent / 100.0f;
}

void AccHandler::ResetAcc() {
    for (float& a : acc) a = 0.0f;
}

namespace {

// A look-ahead of 0 or less would leave no room for the first command, a huge one
// would size the lists without bound.
int ClampLookAhead(int requested) {
    int value = requested;
    if (value < PathGenerator::kMinLookAhead) value = PathGenerator::kMinLookAhead;
    if (value > PathGenerator::kMaxLookAhead) value = PathGenerator::kMaxLookAhead;
    if (value != requested) {
        LogSingleton::instance()->addFormat(
            "PathGen: LookAhead %d out of range %d..%d, using %d", requested,
            PathGenerator::kMinLookAhead, PathGenerator::kMaxLookAhead, value);
    }
    return value;
}

void SleepRetry(int us = PathGenerator::kLockRetryUs) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

}  // namespace

PathGenerator::PathGenerator(int lookAheadValue)
    : lookAhead(ClampLookAhead(lookAheadValue)),
      cmds(lookAhead + 1),
      times(2 * (lookAhead + 1), 0.0f),
      cmdIndices(lookAhead + 1, 0),
      successors(lookAhead + 1, 0) {}

PathGenerator::~PathGenerator() { StopThreads(); }

void PathGenerator::StopThreads() {
    // A newer sequence number makes waiting threads exit; the cancel flag stops a
    // running computation.
    requestSeq.fetch_add(1);
    while (threadRunning.load() > 0) {
        cancelRequested.store(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void PathGenerator::SetNextCmd(std::shared_ptr<Command> command, int index, int successor) {
    if (cmdCount < GetLookAhead()) {
        cmds[cmdCount] = std::move(command);
        cmdIndices[cmdCount] = index;
        successors[cmdCount] = successor;
        ++cmdCount;
    } else {
        LogSingleton::instance()->addFormat(
            "PathGen: Could not set Position, look-ahead is limited to %d", GetLookAhead());
    }
}

void PathGenerator::SetLookAhead(int value) {
    int limit = static_cast<int>(cmdIndices.size()) - 1;
    lookAhead = value < kMinLookAhead ? kMinLookAhead : (value > limit ? limit : value);
}

float PathGenerator::signum(float value) {
    if (value > 0.0f) return 1.0f;
    if (value < 0.0f) return -1.0f;
    return 0.0f;
}

long PathGenerator::maximum(long a, long b) { return a > b ? a : b; }

void PathGenerator::LockPreempting(int retryUs) {
    while (!mutex.try_lock()) {
        cancelRequested.store(true);
        SleepRetry(retryUs);
    }
}

void PathGenerator::BeginRequest(std::shared_ptr<Command> command, int index, int successor) {
    requestSeq.fetch_add(1);
    cmds[0] = std::move(command);
    cmdIndices[0] = index;
    successors[0] = successor;
    cmdCount = 1;
}

void PathGenerator::DeferErrorEvent(int commandIndex, int programIndex, const std::string& text) {
    deferredEvent.pending = true;
    deferredEvent.commandIndex = commandIndex;
    deferredEvent.programIndex = programIndex;
    deferredEvent.text = text;
}

void PathGenerator::RefuseTarget(int code) {
    SetPathUnavailable();
    // A request a newer one or the end of its run has cancelled reports nothing.
    if (cancelRequested.load()) return;
    const std::string text = "Kinematic error: " + KinematicErrorText(code);
    LogSingleton::instance()->addFormat("PathGen: target refused before motion: %s", text.c_str());
    DeferErrorEvent(-1, -1, text);
    result.store(-1);
    SetPathUnavailable();
}

const PathCommandAccess& PathGenerator::Access() const {
    if (commandAccess == nullptr) throw std::logic_error("PathGen: no command access set");
    return *commandAccess;
}

void PathGenerator::SetKinematic(std::unique_ptr<RobotKinematic> copy) { kinematic = std::move(copy); }

RobotKinematic& PathGenerator::Kinematic() const {
    if (!kinematic) throw std::logic_error("PathGen: no kinematic set");
    return *kinematic;
}

void PathGenerator::ComputePathStartThread() {
    LogSingleton* log = LogSingleton::instance();
    if (debug) log->add("PathGen: computing path in seperate Thread...");
    optimize.store(log->get_pathGeneratorFlagOptimize());
    std::uint64_t request = requestSeq.load();
    threadRunning.fetch_add(1);
    try {
        std::thread(threadPathGeneration, this, request).detach();
    } catch (const std::system_error& e) {
        threadRunning.fetch_sub(1);
        log->addFormat("PathGen: could not start planning thread: %s", e.what());
        result.store(-1);
    }
}

void PathGenerator::threadPathGeneration(PathGenerator* generator, std::uint64_t request) {
    PathGenerator& g = *generator;
    LogSingleton* log = LogSingleton::instance();
    if (g.debug) {
        log->add(g.optimize.load() ? "Starting PathGen thread with optimization..."
                                   : "Starting PathGen thread WITHOUT optimization...");
    }

    // Wait for the mutex; a thread whose request has been replaced meanwhile leaves.
    bool locked = false;
    while (g.requestSeq.load() == request) {
        if (g.mutex.try_lock()) {
            locked = true;
            break;
        }
        // A second start of the request that is already being planned must not cancel it.
        if (g.plannedSeq.load() >= request) break;
        g.cancelRequested.store(true);
        SleepRetry();
    }

    DeferredEvent event;
    if (locked) {
        // Plan each request once, and only the newest one.
        if (g.requestSeq.load() == request && g.plannedSeq.load() < request) {
            g.plannedSeq.store(request);
            g.cancelRequested.store(false);
            char text[1024];
            bool failed = false;
            try {
                // A limit or box the robot took since the last plan applies to this one.
                if (g.kinematic) g.kinematic->RefreshLimitsAndBox();
                g.ComputePath();
            } catch (const std::invalid_argument& e) {
                log->addFormat("Invalid argument during path generation: %s", e.what());
                std::snprintf(text, sizeof text, "PathGen ERROR: %s", e.what());
                failed = true;
            } catch (const std::exception& e) {
                log->addFormat("Exception during path generation: %s", e.what());
                std::snprintf(text, sizeof text, "PathGen ERROR: %s", e.what());
                failed = true;
            } catch (int code) {
                log->addFormat("int-exception during path generation: %d", code);
                std::snprintf(text, sizeof text, "PathGen ERROR: %d", code);
                failed = true;
            }
            if (failed) {
                g.result.store(-1);
                g.SetPathUnavailable();
                g.DeferErrorEvent(0, 0, text);
            }
            event = std::move(g.deferredEvent);
            g.deferredEvent = DeferredEvent();
        }
        g.mutex.unlock();
    }

    // The receiver runs without the generator's mutex held.
    if (event.pending) {
        ResultCallback callback = g.resultCallback.load();
        if (callback != nullptr) {
            callback(HVP_EVENT_ERROR, event.commandIndex, event.programIndex, event.text);
        }
    }

    if (g.debug) {
        log->add("Finishing PathGen thread...");
        log->add("");
    }
    // Last access to the generator: its destructor may proceed once the count drops.
    g.threadRunning.fetch_sub(1);
}
