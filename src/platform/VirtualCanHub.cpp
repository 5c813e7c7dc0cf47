#include "platform/VirtualCanHub.h"

#include "platform/CanSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <system_error>
#include <vector>

namespace Platform {

namespace {

constexpr int kListenBacklog = 16;
// Records taken from one endpoint per wake-up, so a flooding endpoint cannot starve the
// others.
constexpr int kBurstPerEndpoint = 64;
constexpr int kIdlePollMs = 100;  // pcap flush interval

std::string ErrnoText(const char* step, int error) {
    return std::string(step) + ": " + std::strerror(error);
}

void WritePcapHeader(std::FILE* file) {
    struct {
        std::uint32_t magic;
        std::uint16_t versionMajor;
        std::uint16_t versionMinor;
        std::int32_t thisZone;
        std::uint32_t sigFigs;
        std::uint32_t snapLen;
        std::uint32_t linkType;
    } header{0xa1b2c3d4u, 2, 4, 0, 0, 65535, kPcapLinkTypeCanSocketCan};
    static_assert(sizeof(header) == 24, "pcap file header is 24 bytes");
    std::fwrite(&header, sizeof(header), 1, file);
}

void WritePcapRecord(std::FILE* file, const unsigned char* record) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    struct {
        std::uint32_t seconds;
        std::uint32_t microseconds;
        std::uint32_t capturedLength;
        std::uint32_t originalLength;
    } header{static_cast<std::uint32_t>(now.tv_sec),
             static_cast<std::uint32_t>(now.tv_nsec / 1000),
             static_cast<std::uint32_t>(kCanFrameSize), static_cast<std::uint32_t>(kCanFrameSize)};
    unsigned char frame[kCanFrameSize];
    std::memcpy(frame, record, kCanFrameSize);
    // This link type carries the identifier word in network byte order; the rest of the
    // record is the same as struct can_frame.
    std::uint32_t id;
    std::memcpy(&id, frame, sizeof(id));
    id = htonl(id);
    std::memcpy(frame, &id, sizeof(id));
    std::fwrite(&header, sizeof(header), 1, file);
    std::fwrite(frame, sizeof(frame), 1, file);
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
        if (pcapFile != nullptr) {
            std::fclose(pcapFile);
            pcapFile = nullptr;
        }
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
        pcapFile = std::fopen(pcapPath.c_str(), "wb");
        if (pcapFile == nullptr) {
            return fail("pcap file", errno);
        }
        WritePcapHeader(pcapFile);
        std::fflush(pcapFile);
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
    if (pcapFile != nullptr) {
        std::fclose(pcapFile);
        pcapFile = nullptr;
    }
}

void VirtualCanHub::Run() {
    // pollfd slots: 0 wake pipe, 1 listening socket, then the endpoints.
    std::vector<pollfd> fds;
    fds.reserve(2 + kMaxEndpoints);
    fds.push_back(pollfd{wakeFds[0], POLLIN, 0});
    fds.push_back(pollfd{listenFd, POLLIN, 0});
    auto lastFlush = std::chrono::steady_clock::now();
    bool pcapDirty = false;

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
        if (pcapFile != nullptr) {
            WritePcapRecord(pcapFile, record);
            pcapDirty = true;
        }
    };

    while (running.load()) {
        // Wakes up on its own only while recorded frames wait to be flushed.
        int rc = ::poll(fds.data(), fds.size(), pcapDirty ? kIdlePollMs : -1);
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
        if (pcapDirty) {
            auto now = std::chrono::steady_clock::now();
            if (rc == 0 || now - lastFlush >= std::chrono::milliseconds(kIdlePollMs)) {
                std::fflush(pcapFile);
                lastFlush = now;
                pcapDirty = false;
            }
        }
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
        ::close(fds[i].fd);
    }
    endpointCount.store(0);
    if (pcapFile != nullptr) {
        std::fflush(pcapFile);
    }
}

}  // namespace Platform
