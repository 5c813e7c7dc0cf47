#pragma once

// Wires the core shut-down to the application: stopping the program, resetting the robot
// and saving the project go through the hooks installed here. The power-off command
// itself runs through the runner from MakeShutdownCommandRunner.

#include "core/Shutdown.h"

#include <functional>
#include <string>

class ProjectManager;
class RobotMaster;

class ShutdownInit {
public:
    // Installs the stop-program, reset and save-configuration hooks. Called once at the end
    // of a successful start-up; both objects must outlive the hooks (see Clear).
    static void Init(ProjectManager* projectManager, RobotMaster* robotMaster);
    // The same with the project save given as a function (empty: nothing to save).
    static void Init(RobotMaster* robotMaster, std::function<void()> saveConfiguration);
    // Removes the hooks again, before the objects they reach go away.
    static void Clear();
    static bool IsInitialised();

    // With BELVANTO_SHUTDOWN_LOG set, the runner appends the command and a line end to that
    // file and returns 0: nothing is powered off. Otherwise it runs the command with the
    // shell; a command that runs but ends with a non-zero status is logged.
    static Shutdown::CommandRunner MakeShutdownCommandRunner();
    // Installs that runner (the process calls this once at start).
    static void InstallShutdownCommandRunner();
};
