#pragma once

// Orderly power-off and reboot of the controller's computer. The control layer installs
// the hooks that stop the program, reset the robot and save the project; until then those
// steps are skipped. The command runner is replaceable so tests never run systemctl.

#include <functional>
#include <string>

class Shutdown {
public:
    using StopProgramHook = std::function<void(int stopReason)>;
    using Hook = std::function<void()>;
    // Runs a shell command; a negative result means it could not be started.
    using CommandRunner = std::function<int(const std::string& command)>;

    static constexpr int kStopReasonShutdown = 4;

    static void SetStopProgramHook(StopProgramHook hook);
    static void SetResetRobotMasterHook(Hook hook);
    static void SetSaveConfigurationHook(Hook hook);
    // An empty runner restores the default, std::system.
    static void SetCommandRunner(CommandRunner runner);

    // Logs "Shutting down the system...", stops the program (stop reason 4), resets the
    // robot, waits 50 ms, writes the persistent counters at once, saves the project
    // configuration when asked, then runs "systemctl poweroff".
    static void ShutdownSystem(bool saveConfiguration);
    // The same steps with "Rebooting the system..." and "systemctl reboot".
    static void RestartSystem(bool saveConfiguration);
};
