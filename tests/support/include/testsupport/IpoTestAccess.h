#pragma once

// The one way tests and benches reach into an interpreter's program list, locks, program
// counter and cycle state.

#include "program/IPO.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

class IpoTestAccess {
public:
    static std::mutex& ProgramMutex(IPO& ipo) { return ipo.programMutex; }
    static std::mutex& InfoMutex(IPO& ipo) { return ipo.infoMutex; }
    // Guarded by programMutex.
    static std::vector<RobotProgram>& Programs(IPO& ipo) { return ipo.programs; }
    static int& PreparedPoint(IPO& ipo) { return ipo.preparedPoint; }
    static long& PathTime(IPO& ipo) { return ipo.pathTime; }
    static int& RestartWaitMs(IPO& ipo) { return ipo.restartWaitMs; }

    static std::atomic<int>& CurrentPoint(IPO& ipo) { return ipo.currentPoint; }
    static std::atomic<int>& ActiveProgram(IPO& ipo) { return ipo.activeProgram; }
    static std::atomic<bool>& ReplayRunning(IPO& ipo) { return ipo.replayRunning; }
    static std::atomic<IPO::StopReason>& LastStopReason(IPO& ipo) { return ipo.lastStopReason; }
    static std::atomic<bool>& Loading(IPO& ipo) { return ipo.loading; }
    static std::atomic<bool>& PluginsNeeded(IPO& ipo) { return ipo.pluginsNeeded; }
    static std::atomic<int>& StartAtThreads(IPO& ipo) { return ipo.startAtThreads; }
    static std::atomic<bool>& FlagIgnoreConsistencyCheck(IPO& ipo) { return ipo.flagIgnoreConsistencyCheck; }
    // The clock of the pass timing.
    static auto& TimeSource(IPO& ipo) { return ipo.timeSource; }

    static IPO* MainInterpreter(IPO& ipo) { return ipo.mainInterpreter; }
    static IPO::ErrorCallback ErrorCallback(IPO& ipo) { return ipo.errorCallback; }
    static void* ErrorCallbackContext(IPO& ipo) { return ipo.errorCallbackContext; }
    static ProgramStopInterface* StateMachine(IPO& ipo) { return ipo.stateMachine; }
    static std::function<void(bool)>& RunStateCallback(IPO& ipo) { return ipo.runStateCallback; }
    static int& MaximumPrograms(IPO& ipo) { return ipo.maximumPrograms; }
    static IpoCommandAccess& CommandAccess(IPO& ipo) { return ipo.commandAccess; }

    // The limits and offsets the commands are set up with.
    static double& CartesianMaxVelocity(IPO& ipo) { return ipo.cartesianMaxVelocity; }
    static double* JointMaxVelocities(IPO& ipo) { return ipo.jointMaxVelocities; }
    static double* JointAccelerations(IPO& ipo) { return ipo.jointAccelerations; }
    static float* JointOffset(IPO& ipo) { return ipo.jointOffset; }
    static float* CartesianOffset(IPO& ipo) { return ipo.cartesianOffset; }
};
