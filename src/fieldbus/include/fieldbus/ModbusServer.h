#pragma once

// Modbus::ModbusServer: the controller's Modbus TCP server for PLCs. One register table for
// the life of the object (the robot loop may ask for the PLC's velocities at any time), one
// joinable listener thread that follows the wanted state (Start / Stop / Restart), and the
// map handlers that refresh the table before a read and act after a write.
//
// Threads: Start, Stop, Restart and the setters run on the main thread or a remote-client
// thread, serialised by one life-cycle mutex; the handlers run on the listener thread (or
// on the caller's thread while no listener runs, as tests do); the robot loop reads the
// three PLC velocities through 32-bit atomics only, never the table.

#include "fieldbus/ModbusMapping.h"
#include "control/ControllerPort.h"
#include "core/FailureEpisode.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct _modbus;
struct _modbus_mapping_t;

namespace Modbus {

// The map reads and commands the controller through the controller port.
using Control::CartesianMove;
using Control::ControllerPort;
using Control::Interpreter;
using Control::InterpreterInfo;
using Control::JointMove;
using Control::LoopFigures;
using Control::ModuleLayout;

class MbapFrames;

// The four tables of the register map as plain arrays (views into the library's mapping).
struct Table {
    std::uint8_t* coils = nullptr;
    std::uint8_t* discreteInputs = nullptr;
    std::uint16_t* holding = nullptr;
    std::uint16_t* input = nullptr;
};

class ModbusServer {
public:
    // The process-wide server, made on the first call.
    static ModbusServer* Instance();

    // A server of its own (tests of the map); only Instance() serves, since the library
    // callbacks reach Instance().
    ModbusServer();
    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // The controller port of the application (not owned).
    void Init(ControllerPort* port);
    // The port the handlers use instead (not owned; null gives the one Init got).
    void SetControllerPort(ControllerPort* port);
    void SetSoftwareInfo(int major, int minor, int build);

    int GetPort() const { return port.load(); }
    // 1..65535; another value keeps the old one with a log line.
    void SetPort(int port);
    unsigned GetMaxConnections() const { return maxConnections.load(); }
    // 1..1023; another value keeps the old one with a log line.
    void SetMaxConnections(unsigned count);
    // Empty means all interfaces. Takes effect at the next start or restart.
    void SetInterface(const std::string& address);
    // Interface and port together; port 0 lets the system choose a free one (GetBoundPort).
    void SetListenAddress(const std::string& address, int port);
    std::string GetInterface() const;
    // The port the listener is bound to (getsockname), 0 while none listens.
    int GetBoundPort() const { return boundPort.load(); }
    bool IsListening() const { return boundPort.load() != 0; }

    void Start();
    // Ends and joins the listener.
    void Stop();
    // A running listener closes everything and listens again with the current settings,
    // keeping the table; otherwise Start.
    void Restart();

    // --- Map handlers ---
    void OnReadCoils(std::uint16_t address, int count);
    void OnReadDiscreteInputs(std::uint16_t address, int count);
    void OnReadInputRegisters(std::uint16_t address, int count);
    void OnReadHoldingRegisters(std::uint16_t address, int count);
    void OnWriteCoils(std::uint16_t address, int count);
    void OnWriteHoldingRegisters(std::uint16_t address, int count);

    // --- Robot loop ---
    // The PLC's velocity of external axis 0..2 (holding registers 181-186 as last written,
    // times 0.1, limited to the axis's maximum velocity); false when none is held.
    bool GetExternalJointVelocity(int axis, float* velocity) const;
    void ResetExternalJointVelocities();

    // The table (tests read and preset it while no listener runs).
    Table GetTable() const { return table; }
    // Back to the creation state: zeros, 180 = 500, previous coils 0, no PLC velocities.
    void ResetTable();
    const Callbacks& GetCallbacks() const { return callbacks; }

    // Coil edges against the value the PLC last wrote.
    bool CoilRisingEdge(int address) const;
    bool CoilChanged(int address) const;
    bool CoilFallingEdge(int address) const;

private:
    void OnReadBits(std::uint8_t* bits, int size, std::uint16_t address, int count);
    void Listener();
    // Serves the clients of one listening socket until stopped or restarted.
    void Serve(_modbus* context, int listenSocket);
    void Accept(_modbus* context, int listenSocket);
    // A failed accept: the first of a run is logged, and accepting rests for a while.
    void AcceptFailed(int error);
    // An accept succeeded: the end of a run of failures is logged with their number.
    void AcceptSucceeded();
    // Reads what the client sent and answers its first whole request; false when the
    // connection was closed.
    bool ServeClient(_modbus* context, int socket, MbapFrames& frames, short events,
                     std::chrono::steady_clock::time_point now);
    bool ReadFrom(_modbus* context, int socket, MbapFrames& frames, std::chrono::steady_clock::time_point now);
    bool Answer(_modbus* context, int socket, MbapFrames& frames);
    // Until the first unfinished request runs out of time, at most the poll period.
    int PollTimeoutMs(std::chrono::steady_clock::time_point now) const;
    void CloseClient(_modbus* context, int socket);
    void Wake();
    ControllerPort& Port() const;
    void StartLocked();

    // Settings.
    mutable std::mutex settingsMutex;
    std::string interfaceAddress;
    std::atomic<int> port{502};
    std::atomic<unsigned> maxConnections{5};
    std::atomic<int> boundPort{0};

    // The table, made once.
    _modbus_mapping_t* mapping = nullptr;
    Table table;
    std::vector<std::uint8_t> previousCoils;
    // The client connections and their unanswered bytes (listener only).
    std::map<int, std::unique_ptr<MbapFrames>> clients;
    // Failed accepts in a row, and when to try again (listener only).
    FailureEpisode acceptFailures;
    std::chrono::steady_clock::time_point acceptAgainAt{};

    // Life cycle.
    std::mutex lifecycleMutex;
    std::thread listener;
    std::atomic<bool> wanted{false};
    std::atomic<bool> restartRequested{false};
    std::atomic<bool> listenerAlive{false};
    int wakePipe[2] = {-1, -1};

    std::atomic<ControllerPort*> initPort{nullptr};
    std::atomic<ControllerPort*> givenPort{nullptr};

    int versionMajor = 980;
    int versionMinor = 0;
    int versionBuild = 0;

    // PLC velocities of the three external axes: the raw pair value (tenths).
    std::atomic<std::int32_t> plcVelocity[3] = {};

    Callbacks callbacks;
};

}  // namespace Modbus
