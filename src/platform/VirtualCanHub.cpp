#include "platform/VirtualCanHub.h"

#include "platform/CanSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <system_error>
#include <vector>

namespace Platform {

namespace {

constexpr int kListenBacklog = 16;
// Records taken from one endpoint per wake-up, so a flooding endpoint cannot starve the
// others.
constexpr int kBurstPerEndpoint = 64;

std::string ErrnoText(const char* step, int error) {
    return std::string(step) + ": " + std::strerror(error);
}

bool IsLiveSocket(const sockaddr_un& address) {
    int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    bool live = ::connect(probe, reinterpret_cast<const sockaddr*>(&address),
                          sizeof(address)) == 0;
    ::close(probe);
    return live;
}

}  // namespace

VirtualCanHub::VirtualCanHub() = default;

VirtualCanHub::~VirtualCanHub() { Stop(); }

int VirtualCanHub::Start(const std::string& socketPathIn, const std::string& pcapPathIn) {
    if (running.load() || relayThread.joinable()) {
        errorText = "hub already running";
        return EBUSY;
    }
    errorText.clear();
    socketPath = socketPathIn;
    pcapPath = pcapPathIn;
    frameCount.store(0);
    droppedCount.store(0);
    endpointCount.store(0);

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof(address.sun_path)) {
        errorText = "socket path empty or too long: " + socketPath;
        return ENAMETOOLONG;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

    struct stat info{};
    if (lstat(socketPath.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            errorText = "not a socket: " + socketPath;
            return EEXIST;
        }
        if (IsLiveSocket(address)) {
            errorText = "another hub is listening on " + socketPath;
            return EADDRINUSE;
        }
        ::unlink(socketPath.c_str());
    }

    auto fail = [this](const char* step, int error) {
        errorText = ErrnoText(step, error);
        if (listenFd >= 0) {
            ::close(listenFd);
            listenFd = -1;
            ::unlink(socketPath.c_str());
        }
        for (int& w : wakeFds) {
            if (w >= 0) {
                ::close(w);
                w = -1;
            }
        }
        recorder.Close();
        return error;
    };

    listenFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listenFd < 0) {
        return fail("socket", errno);
    }
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0) {
        int error = errno;
        ::close(listenFd);
        listenFd = -1;
        return fail("bind", error);
    }
    if (::listen(listenFd, kListenBacklog) < 0) {
        return fail("listen", errno);
    }
    if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) < 0) {
        return fail("pipe", errno);
    }
    if (!pcapPath.empty()) {
        int error = recorder.Open(pcapPath);
        if (error != 0) {
            return fail("pcap file", error);
        }
    }
    running.store(true);
    try {
        relayThread = std::thread(&VirtualCanHub::Run, this);
    } catch (const std::system_error& e) {
        running.store(false);
        return fail("thread", e.code().value());
    }
    return 0;
}

void VirtualCanHub::Stop() {
    if (!relayThread.joinable()) {
        return;
    }
    running.store(false);
    char wake = 1;
    ssize_t ignored = ::write(wakeFds[1], &wake, 1);
    (void)ignored;
    relayThread.join();
    ::close(listenFd);
    listenFd = -1;
    ::unlink(socketPath.c_str());
    for (int& w : wakeFds) {
        ::close(w);
        w = -1;
    }
    recorder.Close();
}

void VirtualCanHub::Run() {
    // pollfd slots: 0 wake pipe, 1 listening socket, then the endpoints.
    std::vector<pollfd> fds;
    fds.reserve(2 + kMaxEndpoints);
    fds.push_back(pollfd{wakeFds[0], POLLIN, 0});
    fds.push_back(pollfd{listenFd, POLLIN, 0});

    auto relay = [&](std::size_t from, const unsigned char* record) {
        frameCount.fetch_add(1, std::memory_order_relaxed);
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (i == from) {
                continue;
            }
            // A receiver that does not keep up loses this frame, as on a real bus
            // whose listener's queue is full.
            ssize_t n = ::send(fds[i].fd, record, kCanFrameSize, MSG_DONTWAIT | MSG_NOSIGNAL);
            (void)n;
        }
        recorder.Add(record);
    };

    while (running.load()) {
        int rc = ::poll(fds.data(), fds.size(), -1);
        if (rc < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents != 0) {
            break;  // Stop()
        }
        if (fds[1].revents & POLLIN) {
            int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (client >= 0) {
                if (static_cast<int>(fds.size()) - 2 >= kMaxEndpoints) {
                    ::close(client);
                } else {
                    fds.push_back(pollfd{client, POLLIN, 0});
                    endpointCount.store(static_cast<int>(fds.size()) - 2);
                }
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            short events = fds[i].revents;
            fds[i].revents = 0;
            if (events == 0) {
                continue;
            }
            bool closed = (events & (POLLERR | POLLNVAL)) != 0;
            if (!closed && (events & (POLLIN | POLLHUP))) {
                for (int k = 0; k < kBurstPerEndpoint; ++k) {
                    unsigned char record[kCanFrameSize * 5];
                    ssize_t n = ::recv(fds[i].fd, record, sizeof(record), MSG_DONTWAIT);
                    if (n == 0) {
                        closed = true;
                        break;
                    }
                    if (n < 0) {
                        closed = !(errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
                        break;
                    }
                    // Only classic frames travel: a record of another size or with a
                    // length byte above 8 would be refused by every endpoint anyway.
                    if (static_cast<std::size_t>(n) == kCanFrameSize &&
                        record[offsetof(can_frame, can_dlc)] <= CAN_MAX_DLEN) {
                        relay(i, record);
                    } else {
                        droppedCount.fetch_add(1, std::memory_order_relaxed);
                    }
                }
            }
            if (closed) {
                ::close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
                endpointCount.store(static_cast<int>(fds.size()) - 2);
                --i;
            }
        }
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
        ::close(fds[i].fd);
    }
    endpointCount.store(0);
}

}  // namespace Platform
