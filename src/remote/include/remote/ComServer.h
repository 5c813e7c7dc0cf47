#pragma once

// One HVP client connection. The connection owns its socket and two threads:
//  - the reader (threadComLoop) cuts the byte stream into frames and dispatches each
//    through ParseMessage to the handler of its message type;
//  - the writer is the only thread that touches the socket for sending. Every sender
//    (main loop telegrams, interpreter events, variable changes, CAN frames, replies)
//    only frames the payload's counter and enqueues it; a queue above kMaxQueuedBytes or
//    a send blocked for kSendTimeoutMs ends the connection, so a stalled client never
//    holds up the thread that sends to it.
// Connections are shared-owned: the manager keeps them in its list and joins their
// threads after they end.
//
// Message families are handled in their own files: ComServerCmd.cpp (CMD keyword table),
// ComServerVar.cpp, ComServerProg.cpp, ComServerConfig.cpp, ComServerSystem.cpp (SYSTEM
// and CANBridge); the telegrams pushed to the client are in ComServerTelegrams.cpp.

#include "control/ApplicationLinks.h"
#include "control/ControllerPort.h"
#include "control/OperatorCommands.h"
#include "control/ProjectInterfaces.h"
#include "core/RobotState.h"
#include "motion/HVPEventType.h"
#include "remote/CanBridgeOwner.h"
#include "remote/ClientLog.h"
#include "remote/ComServerUpload.h"
#include "remote/HvpArgumentReader.h"
#include "remote/HvpFrameReader.h"
#include "vision/CameraManager.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class ProjectManager;

class ComServer : public AppLinks::RemoteClient {
public:
    using Payload = std::shared_ptr<const std::string>;
    using ClosedCallback = std::function<void(ComServer*)>;
    using ActiveRequestCallback = std::function<void(ComServer*, bool)>;

    static constexpr std::size_t kMaxQueuedBytes = 1u << 20;
    static constexpr int kSendTimeoutMs = 1000;
    static constexpr int kReceiveTimeoutMs = 1000;  // inside a frame only
    static constexpr int kCloseWaitMs = 200;        // for queued frames at the end
    static constexpr int kJogWatchdogStart = 100;
    static constexpr std::size_t kMaxServerMessages = 10;
    static constexpr int kNrJogValues = 9;

    // The bridge owner is shared by the connections of one manager; a connection made
    // without one has its own.
    // controller null: no robot, every robot keyword is malformed.
    ComServer(Control::ControllerPort* controller, ProjectManager* project, ProjectLinks::CloudSettings* cloud,
              int socket, std::shared_ptr<Remote::CanBridgeOwner> bridge = nullptr);
    // Stops and joins the threads (unless called on one of them) and closes the socket.
    ~ComServer() override;
    ComServer(const ComServer&) = delete;
    ComServer& operator=(const ComServer&) = delete;

    // --- Life cycle ---
    // Starts the writer and the reader thread.
    void StartServer();
    // Asks the reader to end the connection (at once: it is woken).
    void StopServer();
    // Waits for both threads (not from one of them).
    void Join();
    // True once the reader thread has ended the connection.
    bool IsFinished() const { return finished.load(); }
    bool IsConnected() const { return connected.load(); }
    // True once a whole frame ("HVPSTART" to "HVPEND") came in.
    bool HasReceivedFrame() const { return receivedFrame.load(); }
    void SetConnectionClosedCallback(ClosedCallback callback) { closedCallback = std::move(callback); }
    void SetActiveRequestCallback(ActiveRequestCallback callback) {
        activeRequestCallback = std::move(callback);
    }

    // --- Frames (reader thread; tests and fuzzing call them directly) ---
    // Runs received bytes through the frame reader into ParseMessage. Exceptions of a
    // handler propagate as std::exception, as they end the connection.
    void ServeBytes(const char* data, std::size_t size);
    // Dispatches one complete frame by its message type.
    void ParseMessage(const char* frame, std::size_t length);
    // What the reader thread sets at its start; lets tests and fuzzing serve frames
    // without threads.
    void SetConnected(bool on) { connected.store(on); }

    // --- Sending (any thread) ---
    // Queues one payload; it is sent up to its first NUL. Refused (logged) when it holds
    // a frame marker; dropped while not connected.
    void SendToClient(const std::string& payload);
    // wakeWriter false: the writer is woken later by FlushQueued (threads that must not
    // pay for waking it, such as the robot loop and the CAN reader).
    void SendPayload(const Payload& payload, bool wakeWriter = true);
    void FlushQueued();
    // While one exists on a thread, every send of that thread queues without waking.
    struct DeferredWakes {
        DeferredWakes();
        ~DeferredWakes();
        DeferredWakes(const DeferredWakes&) = delete;
        DeferredWakes& operator=(const DeferredWakes&) = delete;
    };
    void SendCmdAck(int counter);
    void SendCmdError(int counter, const std::string& text);
    // A shared payload of text cut at its first NUL (null for an empty text).
    static Payload MakePayload(std::string text);
    static Payload MakePayload(const char* text);
    // Frames waiting for the writer, in bytes.
    std::size_t QueuedBytes() const;

    // --- Jog and pending command (main loop; handlers) ---
    // Copies the nine values; counts an armed watchdog down and ends the connection at 0.
    void GetJogValues(float* out) override;
    void ResetJogValues();
    int GetJogWatchdog() const { return jogWatchdog.load(); }
    // Returns the pending triple and clears its code, as one unit.
    OperatorCommand TakeCommand() override;
    // Stores a code with both arguments (replaces a pending one).
    void QueueCommand(int code, int argument, float value);
    // Stores a code and keeps the arguments.
    void QueueCommandCode(int code);
    OperatorCommand PeekCommand() const;

    // --- Telegrams (main loop fan-out and events) ---
    void SetCurrentPos(const DataTypes::RobotState& state);
    void PublishData();
    void PublishConfiguration();
    void SendServerMessage();
    void PublishLogMessage();
    void PublishCloudInfo();
    void ProcessIPOResults(HVPEventType event, int point, int program, const std::string& text);
    void SendVariable(const Programs::MemoryPosition& variable);
    void OnServerMessage(const std::string& text);
    // Payloads the manager formats once for every connection (null: nothing to send).
    static Payload IpoResultPayload(HVPEventType event, int point, int program,
                                    const std::string& text);
    static Payload VariablePayload(const Programs::MemoryPosition& variable);
    static Payload CloudInfoPayload(const ProjectLinks::CloudSettings& cloud);
    static Payload CanFramePayload(int id, int dlc, const unsigned char* data, long value,
                                   timespec time);
    // The status telegram of a state.
    std::string StatusPayload(const DataTypes::RobotState& state) const;

    // --- Active and passive ---
    bool IsActive() const { return !passive.load(); }
    void SetActive(bool active);
    void PublishActiveState();
    void RequestActivate(bool active);
    void SetPassive(bool passive);

    // --- CAN bridge ---
    int CANReceiveCallback(int id, int dlc, const unsigned char* data, long value, timespec time,
                           bool wakeWriter = true);
    bool OwnsCanBridge() const { return bridge->IsOwner(this); }

    // One CMD request as the keyword handlers get it.
    struct CmdRequest {
        Remote::HvpArgumentReader& args;  // cursor after the keyword
        int counter;                      // 0 when it did not parse
        bool counterValid;
        std::string_view keyword;
    };
    // A CMD keyword: exact, case-sensitive match; activeOnly keywords are unknown to a
    // passive client.
    struct CmdKeyword {
        const char* keyword;
        bool activeOnly;
        void (ComServer::*handler)(CmdRequest& request);
    };

    static void wait(int ms);

    // Splits text at each separator not escaped by an odd run of backslashes; in each piece
    // but the last, backslash pairs become one (the escaping backslash stays).
    static std::vector<std::string> SplitIgnoreEscaped(const std::string& text, char separator);
    // Every occurrence of from, left to right, replaced by to (replacements are not searched again).
    static std::string Replace(const std::string& text, const std::string& from, const std::string& to);

    // The Modbus server the CONFIG keywords switch (not owned; set before StartServer).
    void SetModbus(AppLinks::ModbusServer* server, ProjectLinks::ModbusSettings* settings) {
        modbusServer = server;
        modbusSettings = settings;
    }
    // Tells every client the cloud state after a CONFIG change (set before StartServer).
    void SetCloudChangedCallback(std::function<void()> callback) { cloudChanged = std::move(callback); }

private:
    struct Outbound {
        int counter;
        Payload payload;
    };

    static void threadComLoop(ComServer* connection);
    void ComLoop();
    void ReadLoop();
    void EndConnection();
    void WriterLoop();
    bool SendBytes(const std::string& bytes, int timeoutMs, int* error);
    void FailConnection(const char* reason);
    void Wake();
    void StopWriter();

    // Message families.
    void HandleAliveJog(Remote::HvpArgumentReader& args);
    void HandleCmd(Remote::HvpArgumentReader& args);
    void HandleVar(Remote::HvpArgumentReader& args);
    void HandleSystem(Remote::HvpArgumentReader& args);
    void HandleCanBridge(Remote::HvpArgumentReader& args);
    void HandleProg(Remote::HvpArgumentReader& args);
    void HandleConfig(Remote::HvpArgumentReader& args);
    static const std::vector<CmdKeyword>& CmdKeywords();
    // CMDERROR "could not parse command" for a request whose arguments did not parse.
    void CmdMalformed(CmdRequest& request);

    // CMD keywords.
    void CmdGetVersion(CmdRequest& request);
    void CmdGetActive(CmdRequest& request);
    void CmdSetActive(CmdRequest& request);

    // CAN bridge.
    void CanBridgeSwitchOn();
    void CanBridgeSwitchOff();
    void CanBridgeMessage(Remote::HvpArgumentReader& args);
    void ReleaseCanBridgeAtEnd();

    // Telegram parts.
    void PublishRunState();
    void PublishGripperState();
    void PublishGlobalSignals();
    void PublishCameraLines();
    void PublishOperationInfo();
    std::string TemperaturePayload(const char* head, bool board);

    std::atomic<bool> stopRequest{false};
    std::atomic<bool> connected{false};
    std::atomic<bool> logForwarding{false};
    std::atomic<bool> passive{false};
    bool configurationSent = false;  // main thread
    std::atomic<bool> receivedFrame{false};
    std::atomic<bool> finished{false};

    int socketFd;
    int wakeFd = -1;

    // Outbound queue; the send counter is taken at enqueue.
    mutable std::mutex queueMutex;
    std::condition_variable queueCondition;
    std::deque<Outbound> outbound;
    std::size_t queuedBytes = 0;
    std::atomic<bool> unflushed{false};  // frames queued without waking the writer
    int sendCounter = 0;
    bool writerStop = false;
    bool writerDone = false;
    std::condition_variable writerDoneCondition;

    mutable std::mutex commandMutex;
    OperatorCommand pendingCommand;

    mutable std::mutex jogMutex;
    float jogValues[kNrJogValues] = {};
    std::atomic<int> jogWatchdog{0};

    mutable std::mutex stateMutex;  // the copy: written by the main thread, read by handlers
    DataTypes::RobotState stateCopy;
    int statusSubCycle = 0;  // main thread
    int infoSubCycle = 0;    // main thread
    Camera::CameraManager::HVPLineCursor cameraCursor;  // main thread

    ClosedCallback closedCallback;
    ActiveRequestCallback activeRequestCallback;

    Control::ControllerPort* controller;
    ProjectManager* project;
    ProjectLinks::CloudSettings* cloud;
    AppLinks::ModbusServer* modbusServer = nullptr;
    ProjectLinks::ModbusSettings* modbusSettings = nullptr;
    std::function<void()> cloudChanged;
    std::shared_ptr<Remote::CanBridgeOwner> bridge;

    std::mutex serverMessageMutex;
    std::deque<std::string> serverMessages;

    Remote::HvpFrameReader frameReader;  // reader thread
    bool shortJogLogged = false;         // reader thread
    Remote::ClientLog clientLog;         // the lines this client's input causes
    Remote::ComServerUpload upload;      // reader thread
    std::thread readerThread;
    std::thread writerThread;
};
