#pragma once

// The HVP server: listens on its TCP port (3920 by default, all IPv4 addresses), keeps up
// to kMaxClients connections in the order they were accepted, decides which one is active
// and fans the main loop's telegrams and the system's events out to all of them.
//
// Init installs the manager as the receiver of interpreter results, program-variable
// changes, received CAN frames (bridge), server messages of the log and cloud-link
// changes. Those hooks are plain function pointers, so they reach the manager that called
// Init last; a destroyed manager is unhooked and the hooks then do nothing.
//
// Every fan-out only enqueues on the connections (see ComServer), so no caller waits for a
// client.

#include "control/ApplicationLinks.h"
#include "control/ProjectInterfaces.h"
#include "core/RobotState.h"
#include "motion/HVPEventType.h"
#include "remote/CanBridgeOwner.h"
#include "remote/ComServer.h"

#include <atomic>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ProjectManager;

class ComServerManager : public AppLinks::RemoteServers {
public:
    static constexpr int kDefaultPort = 3920;
    static constexpr int kMaxClients = 5;
    static constexpr std::size_t kMaxQueuedServerMessages = 10;
    static constexpr int kAcceptBackoffMs = 100;
    static constexpr int kSocketSendBuffer = 64 * 1024;
    // Frames of the robot loop, the CAN reader and variable changes are queued without
    // waking the writers; a flusher wakes them this often.
    static constexpr int kFlushPeriodMs = 1;

    // port 0 takes a free port (see GetPort once started).
    explicit ComServerManager(int port = kDefaultPort);
    // Stops and joins everything; unhooks the static receivers.
    ~ComServerManager() override;
    ComServerManager(const ComServerManager&) = delete;
    ComServerManager& operator=(const ComServerManager&) = delete;

    void Init(Control::ControllerPort* controller, ProjectManager* project,
              ProjectLinks::CloudSettings* cloud) override;
    // The Modbus server that CONFIG messages read and switch (not owned); for clients that
    // connect afterwards.
    void SetModbus(AppLinks::ModbusServer* server, ProjectLinks::ModbusSettings* settings);
    void Start() override;
    // Ends the listener at once, closes every connection and joins all threads.
    void Stop() override;
    bool IsRunning() const { return running.load(); }
    // The bound port once listening (the configured one before), 0 when binding failed.
    int GetPort() const { return boundPort.load(); }
    // Waits until the listener is bound or failed; true when bound.
    bool WaitListening(int timeoutMs) const;

    // --- Main loop ---
    void SetCurrentPos(const DataTypes::RobotState& state) override { CallSetCurrentPos(state); }
    void PublishData() override { CallPublishData(); }
    void SendServerMessage() override { CallSendServerMessage(); }
    void PublishLogMessage() override { CallPublishLogMessage(); }
    void ResetJogValues() override { CallResetJogValues(); }
    std::shared_ptr<AppLinks::RemoteClient> GetActiveServer() override { return GetActiveComServer(); }

    std::shared_ptr<ComServer> GetActiveComServer();
    void CallResetJogValues();
    void CallSetCurrentPos(const DataTypes::RobotState& state);
    void CallPublishData();
    // Distributes the queued server messages to every connection, then sends them.
    void CallSendServerMessage();
    void CallPublishLogMessage();
    void CallPublishCloudInfo();

    // --- Receivers ---
    void OnVariableChanged(const Programs::MemoryPosition& variable);
    void OnIpoResultsReceived(HVPEventType event, int point, int program, const std::string& text);
    int OnCANMessageReceived(int id, int dlc, const unsigned char* data, long value, timespec time);
    void OnServerMessage(const std::string& text);
    void OnConnectionClosed(ComServer* connection);
    void OnChangeActiveRequest(ComServer* connection, bool active);

    static void VariableChangedCallback(const Programs::MemoryPosition& variable);
    static void IpoResultsCallback(HVPEventType event, int point, int program, const std::string& text);
    static int CANReceiveCallback(int id, int dlc, const unsigned char* data, long value, timespec time);

    // --- Inspection ---
    std::vector<std::shared_ptr<ComServer>> Connections();
    std::size_t ConnectionCount();
    std::size_t QueuedServerMessages();

private:
    static void Listener(ComServerManager* manager);
    static void Flusher(ComServerManager* manager);
    void ListenLoop();
    // False when every place is taken by a client that has spoken (the socket is kept).
    bool StartComServer(int socket);
    // Ends the oldest connection that never completed a frame; false when there is none.
    bool EvictSilentConnection();
    void ReapClosed(bool all);
    void WakeListener();

    const int port;
    const int clientLimit = kMaxClients;
    Control::ControllerPort* controller = nullptr;
    ProjectManager* project = nullptr;
    ProjectLinks::CloudSettings* cloud = nullptr;
    AppLinks::ModbusServer* modbusServer = nullptr;         // listMutex
    ProjectLinks::ModbusSettings* modbusSettings = nullptr;  // listMutex

    std::mutex listMutex;
    std::deque<std::shared_ptr<ComServer>> connections;
    std::vector<std::shared_ptr<ComServer>> closed;  // ended, waiting to be joined
    std::atomic<std::size_t> connectionCount{0};

    std::mutex queueMutex;
    std::deque<std::string> serverMessages;

    std::shared_ptr<Remote::CanBridgeOwner> bridge = std::make_shared<Remote::CanBridgeOwner>();

    std::atomic<bool> running{false};
    std::atomic<int> boundPort{-1};
    std::atomic<bool> listenerEnded{false};
    int wakeFd = -1;
    std::thread listenerThread;
    std::thread flusherThread;
    std::atomic<bool> flushNeeded{false};
    std::mutex lifeMutex;  // Start and Stop
};
