#include "core/Shutdown.h"

#include "core/LogSingleton.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

struct Hooks {
    std::mutex mutex;
    Shutdown::StopProgramHook stopProgram;
    Shutdown::Hook resetRobotMaster;
    Shutdown::Hook saveConfiguration;
    Shutdown::CommandRunner runner;
};

Hooks& GetHooks() {
    static Hooks hooks;
    return hooks;
}

int DefaultRunner(const std::string& command) { return std::system(command.c_str()); }

void Run(bool saveConfiguration, const char* logLine, const char* command,
         const char* errorLine) {
    Shutdown::StopProgramHook stopProgram;
    Shutdown::Hook resetRobotMaster;
    Shutdown::Hook saveConfigurationHook;
    Shutdown::CommandRunner runner;
    {
        Hooks& hooks = GetHooks();
        std::lock_guard<std::mutex> lock(hooks.mutex);
        stopProgram = hooks.stopProgram;
        resetRobotMaster = hooks.resetRobotMaster;
        saveConfigurationHook = hooks.saveConfiguration;
        runner = hooks.runner ? hooks.runner : Shutdown::CommandRunner(DefaultRunner);
    }

    LogSingleton* log = LogSingleton::instance();
    log->add(logLine);
    if (stopProgram) stopProgram(Shutdown::kStopReasonShutdown);
    if (resetRobotMaster) resetRobotMaster();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Forced: the counters of the last minutes must not be lost to the write throttle.
    log->WriteVariablesToStorage(true);
    if (saveConfiguration && saveConfigurationHook) saveConfigurationHook();
    // The machine goes down with the command: the log must be out before it runs.
    log->Flush();
    if (runner(command) < 0) log->addError(errorLine);
}

}  // namespace

void Shutdown::SetStopProgramHook(StopProgramHook hook) {
    Hooks& hooks = GetHooks();
    std::lock_guard<std::mutex> lock(hooks.mutex);
    hooks.stopProgram = std::move(hook);
}

void Shutdown::SetResetRobotMasterHook(Hook hook) {
    Hooks& hooks = GetHooks();
    std::lock_guard<std::mutex> lock(hooks.mutex);
    hooks.resetRobotMaster = std::move(hook);
}

void Shutdown::SetSaveConfigurationHook(Hook hook) {
    Hooks& hooks = GetHooks();
    std::lock_guard<std::mutex> lock(hooks.mutex);
    hooks.saveConfiguration = std::move(hook);
}

void Shutdown::SetCommandRunner(CommandRunner runner) {
    Hooks& hooks = GetHooks();
    std::lock_guard<std::mutex> lock(hooks.mutex);
    hooks.runner = std::move(runner);
}

void Shutdown::ShutdownSystem(bool saveConfiguration) {
    Run(saveConfiguration, "Shutting down the system...", "systemctl poweroff",
        "Could not execute shutdown");
}

void Shutdown::RestartSystem(bool saveConfiguration) {
    Run(saveConfiguration, "Rebooting the system...", "systemctl reboot",
        "Could not execute reboot");
}
