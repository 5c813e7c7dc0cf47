#include "remote/ComServerManager.h"

#include "core/FailureEpisode.h"
#include "core/LogSingleton.h"
#include "program/ProgramMemory.h"
#include "remote/ClientLog.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

// The manager the function-pointer hooks reach, and the hook calls in progress (a manager
// being destroyed waits for them).
std::atomic<ComServerManager*> hooked{nullptr};
std::atomic<int> hookCalls{0};

class HookCall {
public:
    HookCall() {
        hookCalls.fetch_add(1);
        manager = hooked.load();
    }
    ~HookCall() { hookCalls.fetch_sub(1); }
    HookCall(const HookCall&) = delete;
    HookCall& operator=(const HookCall&) = delete;
    ComServerManager* manager = nullptr;
};

void SleepInterruptible(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, fd >= 0 ? 1 : 0, ms);
}

void DrainEventFd(int fd) {
    std::uint64_t count = 0;
    const ssize_t got = ::read(fd, &count, sizeof(count));
    (void)got;
}

}  // namespace

ComServerManager::ComServerManager(int port) : port(port) {
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ComServerManager::~ComServerManager() {
    if (running.load()) Stop();
    ComServerManager* self = this;
    hooked.compare_exchange_strong(self, nullptr);
    while (hookCalls.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ReapClosed(true);
    if (wakeFd >= 0) ::close(wakeFd);
}

// ------------------------------------------------------------------------------ set-up

void ComServerManager::Init(Control::ControllerPort* controllerPort, ProjectManager* projectManager,
                            ProjectLinks::CloudSettings* cloudClient) {
    controller = controllerPort;
    project = projectManager;
    cloud = cloudClient;
    hooked.store(this);
    if (controller != nullptr) {
        controller->SetVariableReceiver(&ComServerManager::VariableChangedCallback);
        controller->SetResultReceiver(&ComServerManager::IpoResultsCallback);
        if (Log()->get_opMode() != OPMODE_SERIOUS_FAILURE) {
            controller->SetCanFrameReceiver(&ComServerManager::CANReceiveCallback);
        }
    }
    Log()->SetServerMessageCallback([](const std::string& text) {
        HookCall call;
        if (call.manager != nullptr) call.manager->OnServerMessage(text);
    });
    if (cloud != nullptr) {
        cloud->SetChangedCallback([] {
            HookCall call;
            if (call.manager != nullptr) call.manager->CallPublishCloudInfo();
        });
    }
}

void ComServerManager::SetModbus(AppLinks::ModbusServer* server, ProjectLinks::ModbusSettings* settings) {
    std::lock_guard<std::mutex> lock(listMutex);
    modbusServer = server;
    modbusSettings = settings;
}

void ComServerManager::Start() {
    std::lock_guard<std::mutex> lock(lifeMutex);
    if (running.load()) {
        Log()->add("ComServerManager: Can not start, already running");
        return;
    }
    Log()->add("ComServerManager: Starting");
    if (listenerThread.joinable()) listenerThread.join();
    boundPort.store(-1);
    listenerEnded.store(false);
    running.store(true);
    listenerThread = std::thread(&ComServerManager::Listener, this);
    flusherThread = std::thread(&ComServerManager::Flusher, this);
}

void ComServerManager::Stop() {
    std::lock_guard<std::mutex> lock(lifeMutex);
    if (!running.exchange(false)) {
        Log()->add("ComServerManager: Can not stop, not running");
        return;
    }
    Log()->add("ComServerManager: Stopping");
    WakeListener();
    if (listenerThread.joinable()) listenerThread.join();
    if (flusherThread.joinable()) flusherThread.join();
    std::deque<std::shared_ptr<ComServer>> ending;
    {
        std::lock_guard<std::mutex> listLock(listMutex);
        ending.swap(connections);
        connectionCount.store(0);
    }
    for (const auto& connection : ending) connection->StopServer();
    for (const auto& connection : ending) connection->Join();
    ReapClosed(true);
}

bool ComServerManager::WaitListening(int timeoutMs) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (boundPort.load() < 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return boundPort.load() > 0;
}

void ComServerManager::WakeListener() {
    const std::uint64_t one = 1;
    const ssize_t written = ::write(wakeFd, &one, sizeof(one));
    (void)written;
}

// ------------------------------------------------------------------------------ listener

void ComServerManager::Listener(ComServerManager* manager) {
    // Named, so its load can be told apart (top -H, /proc).
    pthread_setname_np(pthread_self(), "HvpListener");
    try {
        manager->ListenLoop();
    } catch (const std::exception& e) {
        Log()->addFormat("ComServerManager: listener ended: %s", e.what());
    } catch (...) {
        Log()->add("ComServerManager: listener ended");
    }
    if (manager->boundPort.load() < 0) manager->boundPort.store(0);
    manager->listenerEnded.store(true);
}

void ComServerManager::Flusher(ComServerManager* manager) {
    try {
        std::vector<std::shared_ptr<ComServer>> list;
        while (manager->running.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kFlushPeriodMs));
            if (!manager->flushNeeded.exchange(false)) continue;
            {
                std::lock_guard<std::mutex> lock(manager->listMutex);
                list.assign(manager->connections.begin(), manager->connections.end());
            }
            for (const auto& connection : list) connection->FlushQueued();
            list.clear();
        }
    } catch (...) {
        Log()->add("ComServerManager: flusher ended");
    }
}

void ComServerManager::ListenLoop() {
    Log()->addFormat("ComServerManager: port %d, max %d clients", port, clientLimit);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Log()->add("ComServerManager: Error opening socket");
        return;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        Log()->add("ComServerManager: error on binding socket");
        Log()->addConsole(std::strerror(errno));
        ::close(fd);
        return;
    }
    ::listen(fd, 5);
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort.store(ntohs(address.sin_port));

    bool waitingLogged = false;
    FailureEpisode acceptFailures;
    int waiting = -1;  // accepted while every place was taken by a client that has spoken
    while (running.load()) {
        ReapClosed(false);
        if (waiting >= 0) {
            if (StartComServer(waiting)) {
                waiting = -1;
            } else {
                SleepInterruptible(wakeFd, kAcceptBackoffMs);
                DrainEventFd(wakeFd);
            }
            continue;
        }
        bool canAccept = connectionCount.load() < static_cast<std::size_t>(clientLimit);
        if (!canAccept) {
            std::lock_guard<std::mutex> lock(listMutex);
            for (const auto& connection : connections) {
                if (!connection->HasReceivedFrame()) canAccept = true;
            }
        }
        if (!canAccept) {
            SleepInterruptible(wakeFd, kAcceptBackoffMs);
            DrainEventFd(wakeFd);
            continue;
        }
        if (!waitingLogged) {
            Log()->add("ComServerManager: Waiting for client");
            waitingLogged = true;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, 1000);
        if (ready <= 0) continue;
        if (fds[1].revents != 0) DrainEventFd(wakeFd);
        if (fds[0].revents == 0) continue;
        const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            // Out of descriptors (EMFILE, ENFILE) the connection stays pending and the
            // socket readable: told once per run, and each retry waits longer.
            if (acceptFailures.Failed()) Log()->addFormat("ComServerManager: Error on accept: %s", std::strerror(errno));
            SleepInterruptible(wakeFd, static_cast<int>(acceptFailures.RetryDelay().count()));
            DrainEventFd(wakeFd);
            continue;
        }
        if (const std::uint64_t failed = acceptFailures.Ended(); failed > 1) {
            Log()->addFormat("ComServerManager: Accepting clients again after %llu failed accepts",
                             static_cast<unsigned long long>(failed));
        }
        waitingLogged = false;
        // Small telegrams and replies must leave at once, not wait for an acknowledge.
        if (::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0) {
            Log()->add("ComServerManager: setsockopt failed (1)");
        }
        // A bounded kernel buffer keeps a stalled client's backlog small, so that the
        // writer notices the stall within seconds.
        const int sendBuffer = kSocketSendBuffer;
        if (::setsockopt(client, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer)) != 0) {
            Log()->add("ComServerManager: setsockopt failed (2)");
        }
        Log()->add("ComServerManager: Client accepted");
        if (!StartComServer(client)) waiting = client;
    }
    if (waiting >= 0) ::close(waiting);
    ::close(fd);
    if (acceptFailures.Running()) {
        Log()->addFormat("ComServerManager: %llu accepts failed until the server stopped",
                         static_cast<unsigned long long>(acceptFailures.Ended()));
    }
    Log()->add("ComServerManager: Stopped");
}

bool ComServerManager::StartComServer(int socket) {
    std::lock_guard<std::mutex> lock(listMutex);
    if (connections.size() >= static_cast<std::size_t>(clientLimit) && !EvictSilentConnection()) {
        return false;
    }
    bool anyActive = false;
    for (const auto& connection : connections) {
        if (connection->IsActive()) anyActive = true;
    }
    auto connection = std::make_shared<ComServer>(controller, project, cloud, socket, bridge);
    connection->SetActive(!anyActive);
    connections.push_back(connection);
    connectionCount.store(connections.size());
    connection->SetConnectionClosedCallback([this](ComServer* c) { OnConnectionClosed(c); });
    connection->SetActiveRequestCallback([this](ComServer* c, bool active) { OnChangeActiveRequest(c, active); });
    connection->SetModbus(modbusServer, modbusSettings);
    connection->SetCloudChangedCallback([this] { CallPublishCloudInfo(); });
    connection->StartServer();
    Log()->addFormat("ComServerManager: Client connected as %s", anyActive ? "passive" : "active");
    return true;
}

bool ComServerManager::EvictSilentConnection() {
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        if ((*it)->HasReceivedFrame()) continue;
        Log()->add("ComServerManager: Closing the oldest client that never sent a frame");
        std::shared_ptr<ComServer> evicted = *it;
        connections.erase(it);
        connectionCount.store(connections.size());
        evicted->StopServer();
        closed.push_back(std::move(evicted));
        return true;
    }
    return false;
}

void ComServerManager::OnConnectionClosed(ComServer* connection) {
    connection->StopServer();
    Log()->add("ComServerManager: Removing closed ComServer");
    {
        std::lock_guard<std::mutex> lock(listMutex);
        for (auto it = connections.begin(); it != connections.end(); ++it) {
            if (it->get() != connection) continue;
            closed.push_back(*it);
            connections.erase(it);
            connectionCount.store(connections.size());
            break;
        }
    }
    WakeListener();
}

void ComServerManager::ReapClosed(bool all) {
    std::vector<std::shared_ptr<ComServer>> done;
    {
        std::lock_guard<std::mutex> lock(listMutex);
        for (auto it = closed.begin(); it != closed.end();) {
            if (all || (*it)->IsFinished()) {
                done.push_back(std::move(*it));
                it = closed.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& connection : done) {
        connection->StopServer();
        connection->Join();
    }
}

// ------------------------------------------------------------------------------- fan-out

std::shared_ptr<ComServer> ComServerManager::GetActiveComServer() {
    std::lock_guard<std::mutex> lock(listMutex);
    for (const auto& connection : connections) {
        if (connection->IsActive()) return connection;
    }
    return nullptr;
}

void ComServerManager::CallResetJogValues() {
    std::lock_guard<std::mutex> lock(listMutex);
    for (const auto& connection : connections) connection->ResetJogValues();
}

void ComServerManager::CallSetCurrentPos(const DataTypes::RobotState& state) {
    std::lock_guard<std::mutex> lock(listMutex);
    for (const auto& connection : connections) connection->SetCurrentPos(state);
}

void ComServerManager::CallPublishData() {
    {
        ComServer::DeferredWakes deferred;
        std::lock_guard<std::mutex> lock(listMutex);
        for (const auto& connection : connections) connection->PublishData();
    }
    flushNeeded.store(true);
}

void ComServerManager::CallSendServerMessage() {
    std::deque<std::string> batch;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        batch.swap(serverMessages);
    }
    {
        ComServer::DeferredWakes deferred;
        std::lock_guard<std::mutex> lock(listMutex);
        for (const std::string& text : batch) {
            for (const auto& connection : connections) connection->OnServerMessage(text);
        }
        for (const auto& connection : connections) connection->SendServerMessage();
    }
    flushNeeded.store(true);
}

void ComServerManager::CallPublishLogMessage() {
    std::lock_guard<std::mutex> lock(listMutex);
    for (const auto& connection : connections) connection->PublishLogMessage();
}

void ComServerManager::CallPublishCloudInfo() {
    if (cloud == nullptr) return;
    const ComServer::Payload payload = ComServer::CloudInfoPayload(*cloud);
    std::lock_guard<std::mutex> lock(listMutex);
    for (const auto& connection : connections) connection->SendPayload(payload);
}

// ----------------------------------------------------------------------------- receivers

void ComServerManager::OnVariableChanged(const Programs::MemoryPosition& variable) {
    const ComServer::Payload payload = ComServer::VariablePayload(variable);
    if (!payload) return;
    {
        std::lock_guard<std::mutex> lock(listMutex);
        for (const auto& connection : connections) connection->SendPayload(payload, false);
    }
    flushNeeded.store(true);
}

void ComServerManager::OnIpoResultsReceived(HVPEventType event, int point, int program, const std::string& text) {
    const ComServer::Payload payload = ComServer::IpoResultPayload(event, point, program, text);
    if (!payload) return;
    {
        std::lock_guard<std::mutex> lock(listMutex);
        for (const auto& connection : connections) connection->SendPayload(payload, false);
    }
    flushNeeded.store(true);
}

int ComServerManager::OnCANMessageReceived(int id, int dlc, const unsigned char* data, long value, timespec time) {
    if (Log()->get_opMode() != OPMODE_CAN_BRIDGE) return 0;
    int taken = 0;
    {
        std::lock_guard<std::mutex> lock(listMutex);
        if (connections.empty()) return 0;
        const void* owner = bridge->Owner();
        ComServer* target = connections.front().get();
        for (const auto& connection : connections) {
            if (connection.get() == owner) target = connection.get();
        }
        taken = target->CANReceiveCallback(id, dlc, data, value, time, false) != 0 ? 1 : 0;
    }
    flushNeeded.store(true);
    return taken;
}

void ComServerManager::OnServerMessage(const std::string& text) {
    std::lock_guard<std::mutex> lock(queueMutex);
    serverMessages.push_back(text);
    while (serverMessages.size() > kMaxQueuedServerMessages) serverMessages.pop_front();
}

void ComServerManager::OnChangeActiveRequest(ComServer* connection, bool active) {
    // On the requesting client's reader: its lines are that client's.
    std::lock_guard<std::mutex> lock(listMutex);
    if (active) {
        Remote::ClientLines::add("ComServerManager: Instance requested active mode");
        // The requester is not switched off first: an active one would flicker.
        for (const auto& c : connections) {
            if (c.get() != connection) c->SetActive(false);
        }
        connection->SetActive(true);
    } else {
        Remote::ClientLines::add("ComServerManager: Instance requested passive mode");
        connection->SetActive(false);
    }
}

void ComServerManager::VariableChangedCallback(const Programs::MemoryPosition& variable) {
    // The robot loop stores "#position" every cycle: dropped before any lock or copy.
    if (variable.name == "#position") return;
    HookCall call;
    if (call.manager != nullptr) call.manager->OnVariableChanged(variable);
}

void ComServerManager::IpoResultsCallback(HVPEventType event, int point, int program, const std::string& text) {
    HookCall call;
    if (call.manager != nullptr) call.manager->OnIpoResultsReceived(event, point, program, text);
}

int ComServerManager::CANReceiveCallback(int id, int dlc, const unsigned char* data, long value, timespec time) {
    if (Log()->get_opMode() != OPMODE_CAN_BRIDGE) return 0;
    HookCall call;
    return call.manager != nullptr ? call.manager->OnCANMessageReceived(id, dlc, data, value, time) : 0;
}

// ----------------------------------------------------------------------------- inspection

std::vector<std::shared_ptr<ComServer>> ComServerManager::Connections() {
    std::lock_guard<std::mutex> lock(listMutex);
    return {connections.begin(), connections.end()};
}

std::size_t ComServerManager::ConnectionCount() {
    std::lock_guard<std::mutex> lock(listMutex);
    return connections.size();
}

std::size_t ComServerManager::QueuedServerMessages() {
    std::lock_guard<std::mutex> lock(queueMutex);
    return serverMessages.size();
}
