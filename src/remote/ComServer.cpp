#include "remote/ComServer.h"

#include "core/LogSingleton.h"
#include "remote/ClientLog.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool HoldsMarker(std::string_view text) {
    return text.find("HVPSTART") != std::string_view::npos ||
           text.find("HVPEND") != std::string_view::npos;
}

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace

ComServer::ComServer(Control::ControllerPort* controller, ProjectManager* project, ProjectLinks::CloudSettings* cloud,
                     int socket, std::shared_ptr<Remote::CanBridgeOwner> bridge)
    : socketFd(socket), controller(controller), project(project), cloud(cloud), bridge(std::move(bridge)) {
    if (!this->bridge) this->bridge = std::make_shared<Remote::CanBridgeOwner>();
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ComServer::~ComServer() {
    connected.store(false);
    StopServer();
    const std::thread::id self = std::this_thread::get_id();
    if (readerThread.joinable()) {
        if (readerThread.get_id() == self) {
            readerThread.detach();
        } else {
            readerThread.join();
        }
    }
    if (writerThread.joinable() && writerThread.get_id() == self) {
        writerThread.detach();
    } else {
        StopWriter();
    }
    if (socketFd >= 0) {
        ::close(socketFd);
        socketFd = -1;
    }
    if (wakeFd >= 0) ::close(wakeFd);
}

void ComServer::wait(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ------------------------------------------------------------------------------ life cycle

void ComServer::StartServer() {
    stopRequest.store(false);
    writerThread = std::thread([this] { WriterLoop(); });
    readerThread = std::thread(&ComServer::threadComLoop, this);
    Log()->add("HVP-Server: starting");
}

void ComServer::StopServer() {
    stopRequest.store(true);
    Wake();
}

void ComServer::Join() {
    if (readerThread.joinable() && readerThread.get_id() != std::this_thread::get_id()) {
        readerThread.join();
    }
    StopWriter();
}

void ComServer::Wake() {
    if (wakeFd < 0) return;
    const std::uint64_t one = 1;
    const ssize_t written = ::write(wakeFd, &one, sizeof(one));
    (void)written;
}

void ComServer::threadComLoop(ComServer* connection) {
    try {
        connection->ComLoop();
    } catch (...) {
        // ComLoop handles its own errors; nothing may leave a thread.
    }
}

void ComServer::ComLoop() {
    try {
        TakeCommand();
        Log()->DisplayAndServerSetMessage("Client accepted!");
        connected.store(true);
        ReadLoop();
    } catch (const std::exception& e) {
        connected.store(false);
        Log()->addFormat("ERROR: HVP-Server Read error %s", e.what());
        jogWatchdog.store(-1);
    } catch (...) {
        connected.store(false);
        Log()->addFormat("ERROR: HVP-Server Read error %s", "unknown exception");
        jogWatchdog.store(-1);
    }
    EndConnection();
}

void ComServer::ReadLoop() {
    char buffer[4096];
    // A client that has closed its sending side (socat at the end of its input) may
    // still read: it keeps getting telegrams for the receive limit, or until a send fails.
    bool inputClosed = false;
    int inputError = 0;
    std::chrono::steady_clock::time_point lingerEnd;
    while (connected.load() && !stopRequest.load()) {
        // Counts held back are told once their window is over, also when the client went quiet.
        clientLog.Flush();
        pollfd fds[2] = {{inputClosed ? -1 : socketFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const bool inFrame = frameReader.InFrame();
        int timeout = inFrame ? kReceiveTimeoutMs : 1000;
        if (inputClosed) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                lingerEnd - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                throw std::runtime_error("40 (read failed at head of message), " + ErrorText(inputError));
            }
            timeout = static_cast<int>(left.count());
        }
        // Between frames a client may stay silent as long as it likes; inside a frame a
        // pause of the receive limit ends the connection.
        const int ready = ::poll(fds, wakeFd >= 0 ? 2 : 1, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(std::string(inFrame ? "41 (read failed at body of message), "
                                                         : "40 (read failed at head of message), ") +
                                     ErrorText(errno));
        }
        if (ready == 0) {
            if (inFrame) {
                throw std::runtime_error("41 (read failed at body of message), " + ErrorText(EAGAIN));
            }
            continue;
        }
        if (fds[1].revents != 0) {
            std::uint64_t count = 0;
            const ssize_t got = ::read(wakeFd, &count, sizeof(count));
            (void)got;
        }
        if (fds[0].revents == 0) continue;
        errno = 0;
        const ssize_t n = ::recv(socketFd, buffer, sizeof(buffer), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n == 0 && !frameReader.InFrame()) {
            inputClosed = true;
            inputError = errno;
            lingerEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReceiveTimeoutMs);
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error(std::string(frameReader.InFrame()
                                                     ? "41 (read failed at body of message), "
                                                     : "40 (read failed at head of message), ") +
                                     ErrorText(errno));
        }
        ServeBytes(buffer, static_cast<std::size_t>(n));
    }
}

void ComServer::EndConnection() {
    connected.store(false);
    ResetJogValues();
    upload.Abandon();
    StopWriter();
    if (socketFd >= 0) {
        if (::close(socketFd) != 0) {
            Log()->addFormat("Error while closing socket: %s", std::strerror(errno));
        }
        socketFd = -1;
    }
    clientLog.FlushAll();
    Log()->add("HVP-Server: connection closed");
    ReleaseCanBridgeAtEnd();
    finished.store(true);
    if (closedCallback) closedCallback(this);
}

void ComServer::StopWriter() {
    std::unique_lock<std::mutex> lock(queueMutex);
    writerStop = true;
    if (!writerThread.joinable()) return;
    queueCondition.notify_all();
    // Frames still queued get a short while to leave; then the socket is shut so that a
    // writer blocked on a stalled client gives up at once.
    if (!writerDoneCondition.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                                      [this] { return writerDone; })) {
        lock.unlock();
        if (socketFd >= 0) ::shutdown(socketFd, SHUT_RDWR);
        lock.lock();
        writerDoneCondition.wait(lock, [this] { return writerDone; });
    }
    lock.unlock();
    if (writerThread.joinable() && writerThread.get_id() != std::this_thread::get_id()) {
        writerThread.join();
    }
}

// --------------------------------------------------------------------------------- writer

void ComServer::WriterLoop() {
    try {
        std::deque<Outbound> batch;
        std::string bytes;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(queueMutex);
                queueCondition.wait(lock, [this] { return writerStop || !outbound.empty(); });
                if (outbound.empty()) break;
                batch.swap(outbound);
                queuedBytes = 0;
            }
            bytes.clear();
            char head[32];
            for (const Outbound& frame : batch) {
                const int n = std::snprintf(head, sizeof(head), "HVPSTART %d ", frame.counter);
                bytes.append(head, static_cast<std::size_t>(n));
                bytes.append(*frame.payload);
                bytes.append(" HVPEND\n");
            }
            batch.clear();
            int error = 0;
            if (!SendBytes(bytes, kSendTimeoutMs, &error)) {
                FailConnection(std::strerror(error));
                break;
            }
        }
    } catch (...) {
        FailConnection("writer failure");
    }
    std::lock_guard<std::mutex> lock(queueMutex);
    outbound.clear();
    queuedBytes = 0;
    writerDone = true;
    writerDoneCondition.notify_all();
}

bool ComServer::SendBytes(const std::string& bytes, int timeoutMs, int* error) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        if (socketFd < 0) {
            *error = EBADF;
            return false;
        }
        const ssize_t n = ::send(socketFd, bytes.data() + sent, bytes.size() - sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd fd{socketFd, POLLOUT, 0};
            const int ready = ::poll(&fd, 1, timeoutMs);
            if (ready > 0) continue;
            if (ready < 0 && errno == EINTR) continue;
            *error = ready == 0 ? ETIMEDOUT : errno;
            return false;
        }
        *error = n == 0 ? EPIPE : errno;
        return false;
    }
    return true;
}

void ComServer::FailConnection(const char* reason) {
    // Only the first failure is reported; the connection is ending anyway.
    if (!connected.exchange(false)) return;
    jogWatchdog.store(-1);
    Log()->addFormat("HVP-Server: Could not write to stream, closing connection (%s)", reason);
    Wake();
}

// -------------------------------------------------------------------------------- sending

ComServer::Payload ComServer::MakePayload(std::string text) {
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return std::make_shared<const std::string>(std::move(text));
}

ComServer::Payload ComServer::MakePayload(const char* text) { return MakePayload(std::string(text)); }

void ComServer::SendToClient(const std::string& payload) {
    if (!connected.load()) return;
    SendPayload(MakePayload(payload));
}

namespace {
// Set while a manager fans out on this thread: the flusher wakes the writers afterwards.
thread_local int deferredWakeScopes = 0;
}  // namespace

ComServer::DeferredWakes::DeferredWakes() { ++deferredWakeScopes; }
ComServer::DeferredWakes::~DeferredWakes() { --deferredWakeScopes; }

void ComServer::SendPayload(const Payload& given, bool wakeWriter) {
    if (deferredWakeScopes > 0) wakeWriter = false;
    if (!connected.load() || !given) return;
    Payload payload = given;
    if (payload->find('\0') != std::string::npos) payload = MakePayload(*given);
    if (HoldsMarker(*payload)) {
        Remote::ClientLines::addFormat(
            "HVP-Server: Could not send message to HVP client, it contains a reserved token: %s", payload->c_str());
        return;
    }
    bool full = false;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (writerStop) return;
        const std::size_t size = payload->size() + 24;
        if (queuedBytes + size > kMaxQueuedBytes) {
            full = true;
        } else {
            // The writer takes the whole queue at once: it waits only on an empty one.
            wake = outbound.empty();
            outbound.push_back(Outbound{sendCounter, std::move(payload)});
            queuedBytes += size;
            sendCounter = (sendCounter + 1) % 1000;
        }
    }
    if (full) {
        FailConnection(std::strerror(ENOBUFS));
        return;
    }
    if (!wakeWriter) {
        if (wake) unflushed.store(true);
    } else if (wake || unflushed.exchange(false)) {
        queueCondition.notify_one();
    }
}

void ComServer::FlushQueued() {
    if (unflushed.exchange(false)) queueCondition.notify_one();
}

std::size_t ComServer::QueuedBytes() const {
    std::lock_guard<std::mutex> lock(queueMutex);
    return queuedBytes;
}

void ComServer::SendCmdAck(int counter) { SendToClient("CMDACK " + std::to_string(counter)); }

void ComServer::SendCmdError(int counter, const std::string& text) {
    SendToClient("CMDERROR " + std::to_string(counter) + " " + text);
}

// -------------------------------------------------------------------------------- parsing

void ComServer::ServeBytes(const char* data, std::size_t size) {
    const Remote::ClientLog::Serving serving(clientLog);
    frameReader.Feed(
        data, size,
        [this](std::string_view frame) {
            receivedFrame.store(true);
            ParseMessage(frame.data(), frame.size());
        },
        [] { Remote::ClientLines::add("HVP-Server: Read buffer filled without HVPEND token, skipping message"); });
}

void ComServer::ParseMessage(const char* frame, std::size_t length) {
    const Remote::ClientLog::Serving serving(clientLog);
    const std::string_view text(frame, length);
    if (text.find('\0') != std::string_view::npos) {
        Remote::ClientLines::add("HVP-Server: Frame holds a NUL byte, not parsed");
        return;
    }
    Remote::HvpArgumentReader args(text);
    if (!args.IsParsable()) return;
    const std::string_view type = args.Token(1);
    args.SetPosition(2);
    try {
        if (StartsWith(type, "ALIVEJOG")) {
            HandleAliveJog(args);
        } else if (StartsWith(type, "CMD")) {
            HandleCmd(args);
        } else if (StartsWith(type, "VAR")) {
            HandleVar(args);
        } else if (StartsWith(type, "SYSTEM")) {
            HandleSystem(args);
        } else if (StartsWith(type, "CANBri")) {
            HandleCanBridge(args);
        } else if (StartsWith(type, "PROG") && !passive.load()) {
            HandleProg(args);
        } else if (type == "CONFIG") {
            HandleConfig(args);
        } else {
            // On standard output only, as one whole line.
            Remote::ClientLines::Print("unparsed frame",
                                       "Read, but not parsed: PROG " + std::string(type) + ": " + std::string(text));
        }
    } catch (...) {
        const std::size_t last = std::max<std::size_t>(args.Position(), 2) - 1;
        const std::string token(args.Token(last));
        std::string what = "unknown exception";
        try {
            throw;
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        Remote::ClientLines::addFormat("HVP-Server: Exception while parsing message of type '%s': %s",
                                       token.c_str(), what.c_str());
        throw std::exception();
    }
}

void ComServer::HandleAliveJog(Remote::HvpArgumentReader& args) {
    int counter = 0;
    float values[kNrJogValues] = {};
    const bool counterValid = Remote::HvpArgumentReader::ParseInt(args.Token(0), counter);
    int read = 0;
    while (read < kNrJogValues && args.ReadFloat(values[read])) ++read;
    const bool complete = counterValid && read == kNrJogValues;
    {
        std::lock_guard<std::mutex> lock(jogMutex);
        // A malformed one stops every axis rather than leaving some moving.
        for (int i = 0; i < kNrJogValues; ++i) jogValues[i] = complete ? values[i] : 0.0f;
    }
    jogWatchdog.store(kJogWatchdogStart);
    // Said once per connection: a front end sending short messages sends them all the time.
    if (read < kNrJogValues && !shortJogLogged) {
        shortJogLogged = true;
        Remote::ClientLines::addFormat("HVP-Server: ALIVEJOG with %d values, %d expected: jog values zeroed", read,
                                       kNrJogValues);
    }
}

// ------------------------------------------------------------------- jog and pending command

void ComServer::GetJogValues(float* out) {
    int armed = jogWatchdog.load();
    // Counts only while armed; disarmed (0 never armed, -1 after an error) stays as it is.
    while (armed > 0 && !jogWatchdog.compare_exchange_weak(armed, armed - 1)) {
    }
    if (armed == 1) {
        jogWatchdog.store(-1);
        connected.store(false);
        Log()->add("HVP-Server: client does not send anymore (watchdog), closing connection");
        ResetJogValues();
        Wake();
    }
    std::lock_guard<std::mutex> lock(jogMutex);
    std::copy(std::begin(jogValues), std::end(jogValues), out);
}

void ComServer::ResetJogValues() {
    std::lock_guard<std::mutex> lock(jogMutex);
    std::fill(std::begin(jogValues), std::end(jogValues), 0.0f);
}

OperatorCommand ComServer::TakeCommand() {
    std::lock_guard<std::mutex> lock(commandMutex);
    const OperatorCommand taken = pendingCommand;
    pendingCommand.code = 0;
    return taken;
}

void ComServer::QueueCommand(int code, int argument, float value) {
    std::lock_guard<std::mutex> lock(commandMutex);
    pendingCommand = OperatorCommand{code, argument, value};
}

void ComServer::QueueCommandCode(int code) {
    std::lock_guard<std::mutex> lock(commandMutex);
    pendingCommand.code = code;
}

OperatorCommand ComServer::PeekCommand() const {
    std::lock_guard<std::mutex> lock(commandMutex);
    return pendingCommand;
}

// ---------------------------------------------------------------------- active and passive

void ComServer::SetActive(bool active) {
    if (passive.load() != active) return;  // already in that state
    passive.store(!active);
    PublishActiveState();
}

void ComServer::PublishActiveState() {
    SendToClient(passive.load() ? "CMD Active false" : "CMD Active true");
}

void ComServer::RequestActivate(bool active) {
    if (activeRequestCallback) activeRequestCallback(this, active);
}

void ComServer::SetPassive(bool on) {
    if (passive.load() == on) return;
    Log()->add(on ? "ComServer: Switching to passive mode" : "ComServer: Switching to active mode");
    passive.store(on);
}
