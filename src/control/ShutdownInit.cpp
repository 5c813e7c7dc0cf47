#include "control/ShutdownInit.h"

#include "control/ProjectManager.h"
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"

#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <fstream>

namespace {

std::atomic<bool> initialised{false};

// Appends one line; returns 0, or -1 when the file cannot be written.
int AppendToLog(const std::string& path, const std::string& command) {
    std::ofstream out(path, std::ios::app);
    out << command << '\n';
    out.flush();
    if (!out) {
        LogSingleton::instance()->addFormat("Shutdown: could not append to '%s'", path.c_str());
        return -1;
    }
    return 0;
}

int RunWithShell(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status < 0) return status;  // the caller reports that it could not be run
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        LogSingleton::instance()->addFormat("Shutdown: '%s' ended with exit status %d", command.c_str(),
                                            WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        LogSingleton::instance()->addFormat("Shutdown: '%s' ended by signal %d", command.c_str(),
                                            WTERMSIG(status));
    }
    return status;
}

}  // namespace

void ShutdownInit::Init(ProjectManager* projectManager, RobotMaster* robotMaster) {
    std::function<void()> save;
    if (projectManager != nullptr) {
        // A robot-file change whose write failed is tried once more before the power goes.
        save = [projectManager, robotMaster] {
            if (robotMaster != nullptr) robotMaster->WritePendingRobotFile();
            projectManager->UpdateConfiguration(robotMaster, true);
        };
    }
    Init(robotMaster, std::move(save));
}

void ShutdownInit::Init(RobotMaster* robotMaster, std::function<void()> saveConfiguration) {
    if (robotMaster != nullptr) {
        Shutdown::SetStopProgramHook(
            [robotMaster](int reason) { robotMaster->StopProgram(static_cast<IPO::StopReason>(reason)); });
        // The robot is left as an orderly exit leaves it: drives off, brake engaged.
        Shutdown::SetResetRobotMasterHook([robotMaster] {
            robotMaster->Reset();
            robotMaster->DisableDrivesForShutdown();
        });
    } else {
        Shutdown::SetStopProgramHook(nullptr);
        Shutdown::SetResetRobotMasterHook(nullptr);
    }
    Shutdown::SetSaveConfigurationHook(std::move(saveConfiguration));
    initialised.store(true);
}

void ShutdownInit::Clear() {
    initialised.store(false);
    Shutdown::SetStopProgramHook(nullptr);
    Shutdown::SetResetRobotMasterHook(nullptr);
    Shutdown::SetSaveConfigurationHook(nullptr);
}

bool ShutdownInit::IsInitialised() { return initialised.load(); }

Shutdown::CommandRunner ShutdownInit::MakeShutdownCommandRunner() {
    return [](const std::string& command) {
        // Read on every call: the process-level tests set it before the process starts.
        const char* logPath = std::getenv("BELVANTO_SHUTDOWN_LOG");
        if (logPath != nullptr && logPath[0] != '\0') return AppendToLog(logPath, command);
        return RunWithShell(command);
    };
}

void ShutdownInit::InstallShutdownCommandRunner() { Shutdown::SetCommandRunner(MakeShutdownCommandRunner()); }
