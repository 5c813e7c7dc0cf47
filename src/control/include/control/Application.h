#pragma once

// The controller application around the robot master: start-up after the banner, the
// 25 ms main loop (one pass at a time, so tests can drive it), the application's own
// shut-down and the exit order. `main` only logs the banner, installs the signal
// handlers and drives this class.

#include "control/ApplicationLinks.h"
#include "control/OperatorCommands.h"
#include "control/ProjectManager.h"
#include "control/RobotMaster.h"
#include "control/RobotMasterPort.h"
#include "core/RobotState.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

class KeyboardInput;
namespace Hardware {
class HardwareProtocolCANopen;
}

struct ApplicationVersion {
    std::string text;
    int major = 0;
    int minor = 0;
    int build = 0;
};

class Application {
public:
    // Control and status words of drives 1 to 6 and the profile of every drive.
    static void LogCANopenDrives(const Hardware::HardwareProtocolCANopen& canopen, int drives);
    static constexpr int kStatusEvery = 160;    // passes between status lines
    static constexpr int kStatisticsAfter = 749;  // statistics once the count passes this
    static constexpr int kFirstSlowCount = 80;  // so the first status line comes after ~2 s
    static constexpr int kCanConnectionTries = 5;
    static constexpr int kPassWaitMs = 25;
    static constexpr int kFailureWaitMs = 2000;

    using WaitFunction = std::function<void(int ms)>;

    struct Links {
        std::unique_ptr<AppLinks::OperatorPanel> panel;
        std::unique_ptr<AppLinks::RemoteServers> servers;
        std::unique_ptr<AppLinks::ModbusServer> modbus;
        std::unique_ptr<AppLinks::Cameras> cameras;
        std::unique_ptr<ProjectLinks::CloudSettings> cloud;
    };
    // The default links, which do nothing.
    static Links NoOpLinks();

    Application(KeyboardInput& keys, std::atomic<bool>& stopFlag, Links links = NoOpLinks());
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Every wait of start-up and the loop goes through this (tests shorten them).
    void SetWait(WaitFunction wait);
    // A pass throws std::runtime_error at its start (process-level test of the exception exit).
    void SetThrowInPass(bool on) { throwInPass = on; }

    // Opens the project and, when it opened, brings the robot, the persistent variables
    // and the start-up and logic programs up. Returns OpenProject's result.
    int Start(const ApplicationVersion& version);
    bool IsStarted() const { return started; }

    // One main-loop pass (without the stop-flag check).
    void RunPass();
    // Passes until the stop flag is set. False when a std::exception ended the loop; it
    // is logged and written to standard output.
    bool Run();

    // The exit: forces the counters and any pending project write (after a successful
    // start-up only: otherwise the stored counters were never read), stops the servers,
    // stops the robot as ShutdownApplication does (unless that ran), then the robot loop
    // and its load worker, clears the shut-down hooks and releases the project manager.
    // Safe to call twice.
    void Shutdown();

    // Operator command 99/99: stops the program, resets the robot, disables the drives
    // with the brake engaged and sets the stop flag.
    void ShutdownApplication();
    // Zeroes the jog values of every source and the merged ones.
    void ResetJogValues();

    RobotMaster& GetRobotMaster() { return rm; }
    // The one controller port the servers and the cloud link are given.
    Control::ControllerPort& GetControllerPort() { return *port; }
    ProjectManager* GetProjectManager() { return projectManager.get(); }
    int GetSlowCount() const { return slowCnt; }
    int GetCanConnectionTriesLeft() const { return cntCANConnectionTries; }

    // "Pos: ... Joints: ... Status: ... Prog: ..." of the state.
    std::string StatusLine(const DataTypes::RobotState& state);
    static std::string ProgramStateText(const IPO& ipo);

private:
    // Start-up: the temporaries that a write killed before its rename left beside the files
    // the controller writes that way (project, robot file, stored counters, device
    // identity, stored program). Runs before anything can write them.
    void RemoveStaleTemporaryFiles();
    void Wait(int ms) const;
    void NormalPass();
    void ReconnectCan();
    void MergeJogValues(AppLinks::RemoteClient* client);
    OperatorCommand PickUpCommand(AppLinks::RemoteClient* client);
    void HandleSdoRequest();
    void LogStatistics(const DataTypes::RobotState& state);
    // The robot part of every orderly exit: program stopped (shut-down), reset, drives
    // off and the brake engaged.
    void StopRobot();
    OperatorCommandHooks Hooks();

    KeyboardInput& keys;
    std::atomic<bool>& flagStop;
    Links links;
    // Declared before the project manager: it is released first.
    RobotMaster rm;
    std::unique_ptr<ProjectManager> projectManager;
    // On the two above; released before them.
    std::unique_ptr<Control::RobotMasterPort> port;
    DataTypes::RobotState rs;
    float jogValues[AppLinks::kNrJogValues] = {};
    int slowCnt = kFirstSlowCount;
    int cntCANConnectionTries = kCanConnectionTries;
    bool started = false;
    bool shutDown = false;
    bool robotStopped = false;
    bool throwInPass = false;
    WaitFunction waitFunction;
};
