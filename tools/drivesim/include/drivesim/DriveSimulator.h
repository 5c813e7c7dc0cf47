#pragma once

// The drive simulator: one endpoint on the virtual CAN bus that plays the robot's
// modules (joint modules of both generations, digital I/O modules), the main DIO board
// with its supply frame, the shutdown request sender, error events and, on request, a
// second master. Every frame it receives is recorded for assertions.
//
// In-process use (tests):
//   Platform::VirtualCanHub hub;  hub.Start(path);
//   DriveSim::DriveSimulator sim;
//   sim.LoadRobotFile(robotXml, &error);          // or AddModule(...)
//   sim.Start(path);
//   ... the controller or the test sends frames; sim answers ...
//   sim.WaitForReceived(n, 2s);  sim.ReceivedOn(0x10);  sim.GetModuleState(0x10, &s);
//   sim.InjectPositionLag(0x20);  sim.SetSilent(0x30, true);  sim.SendShutdownRequest(...);
//   sim.Stop();
//
// All members may be called from any thread while the simulator runs; Start and Stop
// belong to the owner's thread.

#include "drivesim/RobotFile.h"
#include "drivesim/SimModule.h"
#include "simbus/BusEndpoint.h"
#include "simbus/FrameRecorder.h"

#include <linux/can.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace DriveSim {

// Bus frames that belong to no module.
constexpr int kLedId = 0x001;
constexpr int kMainDioId = 0x006;
constexpr int kShutdownRequestId = 0x0FF;
constexpr std::uint8_t kShutdownStage1 = 0x0C;
constexpr std::uint8_t kShutdownStage2 = 0x29;

// The main DIO board's periodic frame: supply, a second analogue value and two status
// bits (both set in normal operation).
struct MainDio {
    bool active = false;
    std::uint16_t supplyRaw = 2400;   // the controller reads raw x 10
    std::uint16_t secondRaw = 3300;   // the controller reads raw - 3300
    bool statusLow = true;            // bit 7 of byte 6
    bool statusHigh = true;           // bit 7 of byte 7
    int periodMs = 100;
};

using ReceivedFrame = SimBus::ReceivedFrame;

class DriveSimulator {
public:
    DriveSimulator();
    ~DriveSimulator();  // Stop()
    DriveSimulator(const DriveSimulator&) = delete;
    DriveSimulator& operator=(const DriveSimulator&) = delete;

    // --- Modules -------------------------------------------------------------------
    // Adds the robot joints named in a robot configuration file. False with *errorText
    // set when the file cannot be used; nothing is added then.
    bool LoadRobotFile(const std::string& path, std::string* errorText);
    // False (and *errorText) for a CAN ID outside 0..0x7FC or one already taken.
    bool AddModule(const ModuleConfig& config, std::string* errorText = nullptr);
    std::vector<int> ModuleIds() const;
    bool GetModuleState(int canId, ModuleState* state) const;

    // --- Periodic frames -------------------------------------------------------------
    void SetMainDio(const MainDio& settings);
    // Period of the joint modules' temperature frames; 0 stops them.
    void SetTemperaturePeriodMs(int ms);

    // --- Recording -------------------------------------------------------------------
    // Received frames kept for Received()/ReceivedOn(); older ones are dropped beyond it.
    void SetRecordCapacity(std::size_t frames);
    std::vector<ReceivedFrame> Received() const;
    std::vector<ReceivedFrame> ReceivedOn(int canId) const;
    // Frames received since Start or the last ClearReceived, including dropped ones.
    std::uint64_t ReceivedCount() const;
    void ClearReceived();
    bool WaitForReceived(std::uint64_t count, std::chrono::milliseconds timeout) const;
    // Re-checks the condition after every received frame and every few milliseconds.
    bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

    // --- Running -----------------------------------------------------------------------
    // Attaches to the hub and starts answering. 0 or an errno value.
    int Start(const std::string& hubPath);
    void Stop();
    // True while attached; false after Stop or when the hub went away.
    bool IsRunning() const { return bus.IsRunning(); }

    // --- Faults and module behaviour ---------------------------------------------------
    // Error bits latched in the module's answers until a reset or restart command.
    bool InjectError(int canId, int bits);
    bool InjectPositionLag(int canId);
    // Cuts or restores the drives' power: joint modules report the supply bit and drop
    // their enable; the main DIO frame clears its status bits while it lasts.
    void SetEStop(bool active);
    // A silent module takes commands but sends nothing.
    bool SetSilent(int canId, bool silent);
    // Silent for the time, then it answers again by itself.
    bool SilenceFor(int canId, std::chrono::milliseconds duration);
    bool SetInputs(int canId, std::uint8_t inputs);
    bool SetCurrent(int canId, int raw, bool shortFormat);
    bool SetTemperature(int canId, int raw);
    bool SetReferenceDelayMs(int canId, int ms);
    void SetReferenceDelayMsAll(int ms);
    // A module whose referencing runs until it is disabled, loses its power or restarts.
    bool SetReferenceNever(int canId, bool never);

    // --- Frames of its own (0 or an errno value) ----------------------------------------
    int SendFrame(int id, const std::uint8_t* data, int dlc);
    int SendShutdownRequest(std::uint8_t stage);
    // Error event: 0x07, byte1, byte2, event, value 1 and value 2 big-endian.
    int SendEvent(int canId, std::uint8_t event, std::uint16_t value1, std::uint16_t value2,
                  std::uint8_t byte2 = 0x00);
    // What a second master on the bus would send to a module: a position set-point.
    int SendForeignSetPoint(int canId, std::int32_t position, std::uint8_t counter = 0);
    // Temperature frames of every joint module right now.
    int SendTemperatures();

private:
    SimModule* Find(int canId);
    const SimModule* Find(int canId) const;
    void HandleFrame(const can_frame& frame, Clock::time_point now, std::vector<can_frame>& out);
    void Tick(Clock::time_point now, std::vector<can_frame>& out);
    void AppendMainDio(std::vector<can_frame>& out) const;

    mutable std::mutex stateMutex;  // modules, settings, recording
    mutable std::condition_variable received;
    std::vector<std::unique_ptr<SimModule>> modules;
    MainDio mainDio;
    bool eStop = false;
    int temperaturePeriodMs = 1000;
    Clock::time_point nextMainDio{};
    Clock::time_point nextTemperature{};
    SimBus::FrameRecorder recorded{200000};
    SimBus::BusEndpoint bus;  // last: its reader thread uses the members above
};

}  // namespace DriveSim
