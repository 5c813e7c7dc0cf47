#include "fieldbus/ModbusServer.h"

#include "control/ProjectManager.h"
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "fieldbus/ModbusWrapper.h"
#include "fieldbus/RobotMasterPort.h"

#include <modbus/modbus.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <vector>

namespace Modbus {

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

constexpr int kPollTimeoutMs = 1000;

bool IsLostOnRead(int error) {
    return error == EBADF || error == ECONNREFUSED || error == ECONNRESET || error == ECONNABORTED ||
           error == EINVAL || error == ENOTCONN || error == ENOTSOCK;
}

bool IsLostOnReply(int error) {
    return error == EBADF || error == ECONNREFUSED || error == EINVAL || error == ENOTCONN || error == ENOTSOCK;
}

int LocalPort(int socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

}  // namespace

// ------------------------------------------------------------------------------ callbacks

void onReadDiscreteInputs(std::uint16_t address, int count) {
    ModbusServer::Instance()->OnReadDiscreteInputs(address, count);
}
void onReadCoils(std::uint16_t address, int count) { ModbusServer::Instance()->OnReadCoils(address, count); }
void onReadInputRegisters(std::uint16_t address, int count) {
    ModbusServer::Instance()->OnReadInputRegisters(address, count);
}
void onReadHoldingRegisters(std::uint16_t address, int count) {
    ModbusServer::Instance()->OnReadHoldingRegisters(address, count);
}
void onWriteCoils(std::uint16_t address, int count) { ModbusServer::Instance()->OnWriteCoils(address, count); }
void onWriteHoldingRegisters(std::uint16_t address, int count) {
    ModbusServer::Instance()->OnWriteHoldingRegisters(address, count);
}

// ------------------------------------------------------------------------------ object

ModbusServer* ModbusServer::Instance() {
    static ModbusServer server;
    return &server;
}

ModbusServer::ModbusServer() {
    callbacks.SetupCallbacks(onReadDiscreteInputs, onReadCoils, onReadInputRegisters, onReadHoldingRegisters,
                             onWriteCoils, onWriteHoldingRegisters);
    mapping = modbus_mapping_new(kCoilCount, kDiscreteInputCount, kHoldingRegisterCount, kInputRegisterCount);
    if (mapping == nullptr) {
        Log()->addFormat("Modbus: Could not allocate memory for mapping: %s", modbus_strerror(errno));
        throw std::bad_alloc();
    }
    table.coils = mapping->tab_bits;
    table.discreteInputs = mapping->tab_input_bits;
    table.holding = mapping->tab_registers;
    table.input = mapping->tab_input_registers;
    previousCoils.assign(kCoilCount, 0);
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakePipe[0] = wakePipe[1] = -1;
    }
    ResetTable();
}

ModbusServer::~ModbusServer() {
    Stop();
    if (wakePipe[0] >= 0) close(wakePipe[0]);
    if (wakePipe[1] >= 0) close(wakePipe[1]);
    modbus_mapping_free(mapping);
}

void ModbusServer::ResetTable() {
    std::fill(table.coils, table.coils + kCoilCount, 0);
    std::fill(table.discreteInputs, table.discreteInputs + kDiscreteInputCount, 0);
    std::fill(table.holding, table.holding + kHoldingRegisterCount, 0);
    std::fill(table.input, table.input + kInputRegisterCount, 0);
    table.holding[kMoveSpeedRegister] = kMoveSpeedPreset;
    std::fill(previousCoils.begin(), previousCoils.end(), 0);
    for (auto& v : plcVelocity) v.store(0);
}

void ModbusServer::Init(RobotMaster* master, ProjectManager* project) {
    robotMaster = master;
    projectManager = project;
    if (master != nullptr) ownPort = std::make_unique<RobotMasterPort>(*master, project);
}

void ModbusServer::SetControllerPort(ControllerPort* p) { givenPort.store(p); }

ControllerPort& ModbusServer::Port() const {
    ControllerPort* p = givenPort.load();
    if (p != nullptr) return *p;
    if (ownPort) return *ownPort;
    throw std::runtime_error("no controller");
}

void ModbusServer::SetSoftwareInfo(int major, int minor, int build) {
    versionMajor = major;
    versionMinor = minor;
    versionBuild = build;
}

void ModbusServer::SetPort(int newPort) {
    if (newPort < 1 || newPort > 65535) {
        Log()->addFormat("Modbus: Port %d refused, keeping %d", newPort, port.load());
        return;
    }
    port.store(newPort);
    Log()->addFormat("Modbus: Port set to %d", newPort);
}

void ModbusServer::SetMaxConnections(unsigned count) {
    if (count < 1 || count > 1023) {
        Log()->addFormat("Modbus: Max connections %u refused, keeping %u", count, maxConnections.load());
        return;
    }
    maxConnections.store(count);
    Log()->addFormat("Modbus: Max connections set to %d", static_cast<int>(count));
}

void ModbusServer::SetInterface(const std::string& address) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    interfaceAddress = address;
}

void ModbusServer::SetListenAddress(const std::string& address, int newPort) {
    SetInterface(address);
    if (newPort >= 0 && newPort <= 65535) port.store(newPort);
}

std::string ModbusServer::GetInterface() const {
    std::lock_guard<std::mutex> lock(settingsMutex);
    return interfaceAddress;
}

void ModbusServer::SaveProject() {
    if (projectManager != nullptr) projectManager->QueueUpdateProjectFile();
}

// ------------------------------------------------------------------------------ life cycle

void ModbusServer::Start() {
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    StartLocked();
}

void ModbusServer::StartLocked() {
    if (listenerAlive.load()) {
        wanted.store(true);
        return;
    }
    // A listener that ended by itself (no context, no listen) is collected first.
    if (listener.joinable()) listener.join();
    Log()->add("Modbus: Starting server");
    ResetTable();
    restartRequested.store(false);
    wanted.store(true);
    listenerAlive.store(true);
    try {
        listener = std::thread([this] { Listener(); });
    } catch (const std::exception& e) {
        listenerAlive.store(false);
        wanted.store(false);
        Log()->addFormat("Modbus: Could not start the listener: %s", e.what());
    }
}

void ModbusServer::Stop() {
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (!listener.joinable()) return;
    if (listenerAlive.load()) Log()->add("Modbus: Stopping server");
    wanted.store(false);
    Wake();
    listener.join();
}

void ModbusServer::Restart() {
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (listenerAlive.load() && wanted.load()) {
        Log()->add("Modbus: Restarting server");
        restartRequested.store(true);
        Wake();
        return;
    }
    StartLocked();
}

void ModbusServer::Wake() {
    if (wakePipe[1] < 0) return;
    const char byte = 1;
    [[maybe_unused]] ssize_t written = write(wakePipe[1], &byte, 1);
}

// ------------------------------------------------------------------------------ listener

void ModbusServer::Listener() {
    pthread_setname_np(pthread_self(), "ModbusListener");
    try {
        Log()->add("Modbus: Initializing");
        do {
            restartRequested.store(false);
            const std::string address = GetInterface();
            const std::string service = std::to_string(port.load());
            const unsigned limit = maxConnections.load();
            Log()->addFormat("Modbus: Starting server at interface %s and port %s, max %d clients, mapping version %d",
                             address.empty() ? "any" : address.c_str(), service.c_str(), static_cast<int>(limit),
                             MODBUS_MAPPING_VERSION);
            modbus_t* context = modbus_new_tcp_pi(address.empty() ? nullptr : address.c_str(), service.c_str());
            if (context == nullptr) {
                Log()->addFormat("Modbus: Could not create context: %s", modbus_strerror(errno));
                break;
            }
            const int listenSocket = modbus_tcp_pi_listen(context, static_cast<int>(limit));
            if (listenSocket == -1) {
                Log()->addFormat("Modbus: Could not create listener socket: %s", modbus_strerror(errno));
            } else {
                boundPort.store(LocalPort(listenSocket));
                Log()->add("Modbus Server started");
                Serve(context, listenSocket);
                Log()->add("Modbus: Stopping...");
                boundPort.store(0);
                close(listenSocket);
                for (int s : clientSockets) CloseClient(context, s);
                clientSockets.clear();
            }
            modbus_free(context);
            Log()->add("Modbus: Server stopped");
            if (listenSocket == -1 && !restartRequested.load()) break;
        } while (restartRequested.load() && wanted.load());
    } catch (const std::exception& e) {
        Log()->addFormat("Modbus: Listener ended by an exception: %s", e.what());
    } catch (...) {
        Log()->add("Modbus: Listener ended by an exception");
    }
    boundPort.store(0);
    listenerAlive.store(false);
}

void ModbusServer::CloseClient(_modbus* context, int socket) {
    modbus_set_socket(context, socket);
    modbus_close(context);
}

void ModbusServer::Serve(_modbus* context, int listenSocket) {
    std::vector<pollfd> fds;
    std::vector<int> lost;
    std::uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
    while (wanted.load() && !restartRequested.load()) {
        fds.clear();
        fds.push_back({wakePipe[0], POLLIN, 0});
        fds.push_back({listenSocket, POLLIN, 0});
        for (int s : clientSockets) fds.push_back({s, POLLIN, 0});
        const int ready = poll(fds.data(), fds.size(), kPollTimeoutMs);
        if (ready == -1) {
            if (errno != EINTR) Log()->addFormat("Modbus: Select() failed: %s", std::strerror(errno));
            continue;
        }
        if (ready == 0) continue;
        if (fds[0].revents != 0) {
            char drain[64];
            while (read(wakePipe[0], drain, sizeof(drain)) > 0) {
            }
            continue;
        }
        if (fds[1].revents != 0) {
            const unsigned limit = maxConnections.load();
            int acceptSocket = listenSocket;
            if (clientSockets.size() < limit && clientSockets.size() < FD_SETSIZE) {
                const int client = modbus_tcp_pi_accept(context, &acceptSocket);
                if (client == -1) {
                    Log()->addFormat("Modbus: Could not accept new client: %s", modbus_strerror(errno));
                } else if (client >= FD_SETSIZE) {
                    // The library waits on each client with select(), which cannot hold it.
                    Log()->addFormat("Modbus: Cannot accept new client (descriptor %d too high), closing connection",
                                     client);
                    modbus_close(context);
                } else {
                    clientSockets.insert(client);
                    Log()->add("Modbus: Accepted new client");
                }
            } else {
                Log()->addFormat("Modbus: Cannot accept new client (limit %d reached), closing connection",
                                 static_cast<int>(clientSockets.size()));
                if (modbus_tcp_pi_accept(context, &acceptSocket) != -1) modbus_close(context);
            }
            continue;
        }
        lost.clear();
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            const int s = fds[i].fd;
            modbus_set_socket(context, s);
            const int length = modbus_receive(context, request);
            if (length == -1) {
                const int error = errno;
                if (IsLostOnRead(error)) {
                    modbus_close(context);
                    lost.push_back(s);
                    Log()->addFormat("Modbus: Lost client during read (%s)", modbus_strerror(error));
                } else {
                    Log()->addFormat("Modbus: Error during read (%s)", modbus_strerror(error));
                }
            } else if (length > 0) {
                if (Reply(context, request, length, mapping, callbacks) == -1) {
                    const int error = errno;
                    if (IsLostOnReply(error)) {
                        modbus_close(context);
                        lost.push_back(s);
                        Log()->addFormat("Modbus: Lost client while replying (%s)", modbus_strerror(error));
                    } else {
                        Log()->addFormat("Modbus: Error while replying (%s)", modbus_strerror(error));
                    }
                }
            }
        }
        for (int s : lost) clientSockets.erase(s);
    }
}

// ------------------------------------------------------------------------------ PLC velocities

bool ModbusServer::GetExternalJointVelocity(int axis, float* velocity) const {
    if (velocity != nullptr) *velocity = 0.0f;
    if (axis < 0 || axis > 2 || velocity == nullptr) return false;
    const std::int32_t raw = plcVelocity[axis].load();
    if (raw == 0) return false;
    float value = static_cast<float>(raw) * 0.1f;
    double maximum = 0.0;
    try {
        maximum = Port().GetMaxJointVelocity(6 + axis);
    } catch (...) {
        maximum = 0.0;
    }
    if (maximum > 0.0) {
        value = static_cast<float>(std::clamp(static_cast<double>(value), -maximum, maximum));
    }
    *velocity = value;
    return true;
}

void ModbusServer::ResetExternalJointVelocities() {
    for (auto& v : plcVelocity) v.store(0);
}

}  // namespace Modbus
