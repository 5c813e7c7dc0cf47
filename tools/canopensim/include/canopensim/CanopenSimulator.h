#pragma once

// The CANopen simulator: one endpoint on the virtual CAN bus that plays CiA 402 drives
// and CiA 401 I/O modules. Every frame it receives is recorded, and every SDO download
// and receive PDO is kept decoded for assertions.
//
// In-process use (tests):
//   Platform::VirtualCanHub hub;  hub.Start(path);
//   CanopenSim::CanopenSimulator sim;
//   sim.AddDrive(config);  sim.AddIoModule(ioConfig);
//   sim.Start(path);                       // every node sends its boot-up
//   ... the controller talks to the nodes ...
//   sim.SdoWrites(node);  sim.GetDrive(node, &snapshot);  sim.InjectEmergency(...);
//   sim.Stop();
//
// All members may be called from any thread while the simulator runs; Start and Stop
// belong to the owner's thread.

#include "canopensim/Cia401Module.h"
#include "canopensim/Cia402Drive.h"
#include "canopensim/CanopenNode.h"
#include "simbus/BusEndpoint.h"
#include "simbus/FrameRecorder.h"

#include <linux/can.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace CanopenSim {

using ReceivedFrame = SimBus::ReceivedFrame;

class CanopenSimulator {
public:
    CanopenSimulator();
    ~CanopenSimulator();  // Stop()
    CanopenSimulator(const CanopenSimulator&) = delete;
    CanopenSimulator& operator=(const CanopenSimulator&) = delete;

    // --- Nodes (before Start; later ones boot at once) -----------------------------------
    // False (and *errorText) for a node ID outside 1..127 or one already taken.
    bool AddDrive(const DriveConfig& config, std::string* errorText = nullptr);
    bool AddIoModule(const IoConfig& config, std::string* errorText = nullptr);
    std::vector<int> NodeIds() const;
    bool GetDrive(int node, DriveSnapshot* snapshot) const;
    bool GetIoModule(int node, IoSnapshot* snapshot) const;
    // A dictionary value as the node holds it now (feedback objects brought up to date).
    bool ReadObject(int node, std::uint16_t index, std::uint8_t subindex, std::uint32_t* value) const;
    // Sets a value behind the bus's back (supply voltage, temperature, ...).
    bool SetObject(int node, std::uint16_t index, std::uint8_t subindex, std::uint32_t value);

    // --- Behaviour ---------------------------------------------------------------------
    bool SetHomingScript(int node, const std::vector<HomingStep>& script);
    // Sends an EMCY and enters it into 0x1001/0x1003; a drive with toFault falls into fault.
    bool InjectEmergency(int node, std::uint16_t code, std::uint8_t errorRegister,
                         const std::array<std::uint8_t, 5>& manufacturer, bool toFault = true);
    bool SetInputs(int node, std::uint64_t mask);
    // A silent node takes commands but sends nothing.
    bool SetSilent(int node, bool silent);
    // Silent for the time, then it sends again by itself.
    bool SilenceFor(int node, std::chrono::milliseconds duration);
    // Any frame of its own, for example what a second master would send. 0 or an errno.
    int SendFrame(int id, const std::uint8_t* data, int dlc);

    // --- Recording -----------------------------------------------------------------------
    std::vector<ReceivedFrame> Received() const;
    std::vector<ReceivedFrame> ReceivedOn(int id) const;
    std::uint64_t ReceivedCount() const;
    // SDO downloads in arrival order; node 0 means every node.
    std::vector<SdoWrite> SdoWrites(int node = 0) const;
    std::vector<PdoWrite> PdoWrites(int node = 0) const;
    // Receive PDOs a node accepted since Start or the last ClearRecords.
    std::uint64_t AcceptedPdoCount(int node) const;
    // NMT commands as [command, node].
    std::vector<std::array<std::uint8_t, 2>> NmtCommands() const;
    void ClearRecords();
    // Re-checks the condition after every received frame and every few milliseconds.
    bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

    // --- Running -----------------------------------------------------------------------
    int Start(const std::string& hubPath);
    void Stop();
    bool IsRunning() const { return bus.IsRunning(); }

private:
    CanopenNode* Find(int node) const;
    bool AddNode(std::unique_ptr<CanopenNode> node, std::string* errorText);
    void HandleFrame(const can_frame& frame, Clock::time_point now, std::vector<can_frame>& out);
    void Tick(Clock::time_point now, std::vector<can_frame>& out);

    mutable std::mutex stateMutex;  // nodes and records
    mutable std::condition_variable received;
    std::vector<std::unique_ptr<CanopenNode>> nodes;
    SimBus::FrameRecorder frames;
    std::vector<SdoWrite> sdoWrites;
    std::vector<PdoWrite> pdoWrites;
    std::vector<std::array<std::uint8_t, 2>> nmtCommands;
    std::array<std::uint64_t, 128> acceptedPdos{};
    SimBus::BusEndpoint bus;  // last: its reader thread uses the members above
};

}  // namespace CanopenSim
