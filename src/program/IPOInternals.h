#pragma once

// The interpreter's own helpers outside its member functions (the cycle's steps, the
// side-effect queue, the loader's and teach-in's command set-up) reach its fields here.
// Private to the program layer: nothing outside it includes this.

#include "program/IPO.h"

#include <functional>
#include <mutex>
#include <vector>

class IpoInternals {
public:
    static std::mutex& ProgramMutex(IPO& ipo) { return ipo.programMutex; }
    // Guarded by programMutex.
    static std::vector<RobotProgram>& Programs(IPO& ipo) { return ipo.programs; }
    static const std::vector<RobotProgram>& Programs(const IPO& ipo) { return ipo.programs; }
    static int& PreparedPoint(IPO& ipo) { return ipo.preparedPoint; }
    static long& PathTime(IPO& ipo) { return ipo.pathTime; }
    static bool& ReinitPending(IPO& ipo) { return ipo.reinitPending; }

    static std::atomic<int>& CurrentPoint(IPO& ipo) { return ipo.currentPoint; }
    static std::atomic<int>& ActiveProgram(IPO& ipo) { return ipo.activeProgram; }
    static std::atomic<bool>& ReplayRunning(IPO& ipo) { return ipo.replayRunning; }
    static std::atomic<IPO::StopReason>& LastStopReason(IPO& ipo) { return ipo.lastStopReason; }
    static std::atomic<std::uint64_t>& RunGeneration(IPO& ipo) { return ipo.runGeneration; }
    static std::atomic<bool>& PluginsNeeded(IPO& ipo) { return ipo.pluginsNeeded; }

    // Receivers of the deferred effects.
    static const std::function<void(bool)>& RunStateCallback(const IPO& ipo) { return ipo.runStateCallback; }
    static IPO::ErrorCallback ErrorCallback(const IPO& ipo) { return ipo.errorCallback; }
    static void* ErrorCallbackContext(const IPO& ipo) { return ipo.errorCallbackContext; }
    static ProgramStopInterface* StateMachine(const IPO& ipo) { return ipo.stateMachine; }

    // What the commands of this interpreter's programs are set up with.
    static IPO* MainInterpreter(const IPO& ipo) { return ipo.mainInterpreter; }
    static float* JointOffset(IPO& ipo) { return ipo.jointOffset; }
    static float* CartesianOffset(IPO& ipo) { return ipo.cartesianOffset; }
    static const double* JointMaxVelocities(const IPO& ipo) { return ipo.jointMaxVelocities; }
    static double CartesianMaxVelocity(const IPO& ipo) { return ipo.cartesianMaxVelocity; }
};
