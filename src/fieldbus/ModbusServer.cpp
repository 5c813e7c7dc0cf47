#include "fieldbus/ModbusServer.h"

#include "MbapFrames.h"
#include "core/LogSingleton.h"
#include "fieldbus/ModbusWrapper.h"

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
// How long the rest of a started request is awaited (the library's byte time-out).
constexpr std::chrono::milliseconds kByteTimeout{500};

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

void ModbusServer::Init(ControllerPort* p) { initPort.store(p); }

void ModbusServer::SetControllerPort(ControllerPort* p) { givenPort.store(p); }

ControllerPort& ModbusServer::Port() const {
    ControllerPort* p = givenPort.load();
    if (p != nullptr) return *p;
    p = initPort.load();
    if (p != nullptr) return *p;
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
                for (const auto& client : clients) CloseClient(context, client.first);
                clients.clear();
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
    while (wanted.load() && !restartRequested.load()) {
        // After a failed accept the listening socket rests: the connection stays pending,
        // so it would be readable at once again.
        const auto start = MbapFrames::Clock::now();
        const bool accepting = !acceptFailures.Running() || start >= acceptAgainAt;
        fds.clear();
        fds.push_back({wakePipe[0], POLLIN, 0});
        fds.push_back({listenSocket, static_cast<short>(accepting ? POLLIN : 0), 0});
        for (const auto& [s, frames] : clients) {
            // Reading stops while the buffer is full; an answer waits until the client takes it.
            short events = frames->SpaceLeft() > 0 ? POLLIN : 0;
            if (frames->Check() == MbapFrames::Front::Complete) events |= POLLOUT;
            fds.push_back({s, events, 0});
        }
        int timeoutMs = PollTimeoutMs(start);
        if (!accepting) {
            const auto rest = std::chrono::ceil<std::chrono::milliseconds>(acceptAgainAt - start);
            timeoutMs = std::min(timeoutMs, static_cast<int>(rest.count()));
        }
        const int ready = poll(fds.data(), fds.size(), timeoutMs);
        if (ready == -1) {
            if (errno != EINTR) Log()->addFormat("Modbus: Select() failed: %s", std::strerror(errno));
            continue;
        }
        if (fds[0].revents != 0) {
            char drain[64];
            while (read(wakePipe[0], drain, sizeof(drain)) > 0) {
            }
            continue;
        }
        // A new client does not keep the others waiting: they are served in the same pass.
        if (accepting && fds[1].revents != 0) Accept(context, listenSocket);
        // Every client in turn, one request each, and the unfinished ones' time-outs.
        lost.clear();
        const auto now = MbapFrames::Clock::now();
        for (size_t i = 2; i < fds.size(); ++i) {
            const int s = fds[i].fd;
            if (!ServeClient(context, s, *clients.at(s), fds[i].revents, now)) lost.push_back(s);
        }
        for (int s : lost) clients.erase(s);
    }
    if (acceptFailures.Running()) {
        Log()->addFormat("Modbus: %llu accepts failed until the server stopped",
                         static_cast<unsigned long long>(acceptFailures.Ended()));
    }
}

void ModbusServer::AcceptFailed(int error) {
    if (acceptFailures.Failed()) {
        Log()->addFormat("Modbus: Could not accept new client: %s", modbus_strerror(error));
    }
    acceptAgainAt = MbapFrames::Clock::now() + acceptFailures.RetryDelay();
}

void ModbusServer::AcceptSucceeded() {
    const std::uint64_t failed = acceptFailures.Ended();
    if (failed > 1) {
        Log()->addFormat("Modbus: Accepting clients again after %llu failed accepts",
                         static_cast<unsigned long long>(failed));
    }
}

void ModbusServer::Accept(_modbus* context, int listenSocket) {
    const unsigned limit = maxConnections.load();
    int acceptSocket = listenSocket;
    if (clients.size() < limit && clients.size() < FD_SETSIZE) {
        const int client = modbus_tcp_pi_accept(context, &acceptSocket);
        if (client == -1) {
            // Out of descriptors (EMFILE, ENFILE) the connection stays pending: the
            // episode is told once, and accepting rests while it lasts.
            AcceptFailed(errno);
            return;
        }
        AcceptSucceeded();
        if (client >= FD_SETSIZE) {
            // The library's own waits use select(), which cannot hold it.
            Log()->addFormat("Modbus: Cannot accept new client (descriptor %d too high), closing connection",
                             client);
            modbus_close(context);
        } else {
            // Never blocks the listener: reads take what is there, answers go out only to a
            // client whose socket has room.
            fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
            clients.emplace(client, std::make_unique<MbapFrames>());
            Log()->add("Modbus: Accepted new client");
        }
    } else {
        // Refusing takes a descriptor too; without one the connection waits, told once.
        if (modbus_tcp_pi_accept(context, &acceptSocket) == -1) {
            AcceptFailed(errno);
            return;
        }
        AcceptSucceeded();
        Log()->addFormat("Modbus: Cannot accept new client (limit %d reached), closing connection",
                         static_cast<int>(clients.size()));
        modbus_close(context);
    }
}

bool ModbusServer::ServeClient(_modbus* context, int socket, MbapFrames& frames, short events,
                               MbapFrames::Clock::time_point now) {
    if ((events & (POLLIN | POLLHUP | POLLERR)) != 0 && frames.SpaceLeft() > 0) {
        if (!ReadFrom(context, socket, frames, now)) return false;
    }
    switch (frames.Check()) {
        case MbapFrames::Front::Invalid:
            Log()->addFormat("Modbus: Closing client, request length %d not valid", frames.LengthField());
            CloseClient(context, socket);
            return false;
        case MbapFrames::Front::Incomplete:
            // The rest of a request is awaited as long as the library's byte time-out.
            if (!frames.Empty() && now - frames.LastBytes() > kByteTimeout) {
                Log()->addFormat("Modbus: Error during read (%s)", modbus_strerror(ETIMEDOUT));
                frames.Clear();
            }
            return true;
        case MbapFrames::Front::Complete:
            break;
    }
    if ((events & POLLOUT) == 0) {
        pollfd writable{socket, POLLOUT, 0};
        if (poll(&writable, 1, 0) != 1 || (writable.revents & POLLOUT) == 0) return true;
    }
    return Answer(context, socket, frames);
}

bool ModbusServer::ReadFrom(_modbus* context, int socket, MbapFrames& frames, MbapFrames::Clock::time_point now) {
    const ssize_t n = recv(socket, frames.Space(), frames.SpaceLeft(), MSG_DONTWAIT);
    if (n > 0) {
        frames.Added(static_cast<size_t>(n), now);
        return true;
    }
    // A closed peer reads as the library reports it.
    const int error = n == 0 ? ECONNRESET : errno;
    if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) return true;
    if (IsLostOnRead(error)) {
        CloseClient(context, socket);
        Log()->addFormat("Modbus: Lost client during read (%s)", modbus_strerror(error));
        return false;
    }
    Log()->addFormat("Modbus: Error during read (%s)", modbus_strerror(error));
    return true;
}

bool ModbusServer::Answer(_modbus* context, int socket, MbapFrames& frames) {
    modbus_set_socket(context, socket);
    const int result = Reply(context, frames.Frame(), frames.FrameLength(), mapping, callbacks);
    const int error = errno;
    frames.Consume();
    if (result != -1) return true;
    // A client that takes no answers is closed rather than waited for.
    if (IsLostOnReply(error) || error == EAGAIN || error == EWOULDBLOCK) {
        CloseClient(context, socket);
        Log()->addFormat("Modbus: Lost client while replying (%s)", modbus_strerror(error));
        return false;
    }
    Log()->addFormat("Modbus: Error while replying (%s)", modbus_strerror(error));
    return true;
}

int ModbusServer::PollTimeoutMs(MbapFrames::Clock::time_point now) const {
    auto wait = std::chrono::milliseconds(kPollTimeoutMs);
    for (const auto& [s, frames] : clients) {
        if (frames->Empty() || frames->Check() != MbapFrames::Front::Incomplete) continue;
        const auto left = frames->LastBytes() + kByteTimeout - now;
        // Rounded up, so the wake-up finds the time-out passed.
        wait = std::min(wait, std::max(std::chrono::milliseconds(0),
                                       std::chrono::duration_cast<std::chrono::milliseconds>(left) +
                                           std::chrono::milliseconds(1)));
    }
    return static_cast<int>(wait.count());
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
