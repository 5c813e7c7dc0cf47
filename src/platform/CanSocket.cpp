#include "platform/CanSocket.h"

#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace Platform {

CanSocket::Backend CanSocket::BackendFromEnvironment(std::string* path) {
    const char* hub = std::getenv(kCanHubEnvironment);
    if (hub != nullptr && hub[0] != '\0') {
        if (path != nullptr) {
            *path = hub;
        }
        return Backend::VirtualHub;
    }
    if (path != nullptr) {
        path->clear();
    }
    return Backend::Kernel;
}

CanSocket::CanSocket() : backend(Backend::Kernel) { SetBackendFromEnvironment(); }

CanSocket::CanSocket(Backend backendIn, std::string hubPathIn)
    : backend(backendIn), hubPath(std::move(hubPathIn)) {}

CanSocket::~CanSocket() { Close(); }

void CanSocket::SetBackend(Backend newBackend, std::string newHubPath) {
    backend = newBackend;
    hubPath = std::move(newHubPath);
}

void CanSocket::SetBackendFromEnvironment() {
    std::string path;
    Backend b = BackendFromEnvironment(&path);
    SetBackend(b, path);
}

int CanSocket::Create() {
    Close();
    int newFd = -1;
    if (backend == Backend::Kernel) {
        newFd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    } else {
        newFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    }
    if (newFd < 0) {
        return errno;
    }
    fd.store(newFd);
    return 0;
}

int CanSocket::Bind(const char* interfaceName) {
    int current = fd.load();
    if (current < 0) {
        return EBADF;
    }
    if (backend == Backend::Kernel) {
        ifreq request{};
        std::strncpy(request.ifr_name, interfaceName, IFNAMSIZ - 1);
        // A missing interface leaves index 0, which bind rejects with its own error.
        ioctl(current, SIOCGIFINDEX, &request);
        sockaddr_can address{};
        address.can_family = AF_CAN;
        address.can_ifindex = request.ifr_ifindex;
        if (::bind(current, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0) {
            return errno;
        }
        return 0;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (hubPath.empty() || hubPath.size() >= sizeof(address.sun_path)) {
        return hubPath.empty() ? ENOENT : ENAMETOOLONG;
    }
    std::memcpy(address.sun_path, hubPath.c_str(), hubPath.size() + 1);
    int rc;
    do {
        rc = ::connect(current, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    } while (rc < 0 && errno == EINTR);
    return rc < 0 ? errno : 0;
}

int CanSocket::Open(const char* interfaceName) {
    int rc = Create();
    if (rc != 0) {
        return rc;
    }
    return Bind(interfaceName);
}

int CanSocket::WaitReadable(int timeoutMs) const {
    pollfd entry{};
    entry.fd = fd.load();
    if (entry.fd < 0) {
        return -EBADF;
    }
    entry.events = POLLIN;
    int rc = ::poll(&entry, 1, timeoutMs);
    if (rc < 0) {
        return -errno;
    }
    return rc > 0 ? 1 : 0;
}

int CanSocket::Read(can_frame* frame, std::size_t* recordSize) const {
    int current = fd.load();
    if (current < 0) {
        return -EBADF;
    }
    // Room for a larger record, so that one is seen as such instead of being cut down.
    unsigned char buffer[kCanFrameSize * 5];
    ssize_t n;
    if (backend == Backend::Kernel) {
        n = ::read(current, buffer, sizeof(buffer));
    } else {
        n = ::recv(current, buffer, sizeof(buffer), 0);
    }
    if (n < 0) {
        return -errno;
    }
    if (n == 0) {
        return -ECONNRESET;  // the hub closed the link
    }
    const std::size_t size = static_cast<std::size_t>(n);
    if (recordSize != nullptr) {
        *recordSize = size;
    }
    // A malformed record is handed out too (cut to, or zero-filled up to, one frame), so
    // the caller can dump what came.
    std::memset(frame, 0, kCanFrameSize);
    std::memcpy(frame, buffer, size < kCanFrameSize ? size : kCanFrameSize);
    if (size != kCanFrameSize || frame->can_dlc > CAN_MAX_DLEN) {
        return -EBADMSG;
    }
    return static_cast<int>(kCanFrameSize);
}

int CanSocket::Write(const can_frame& frame) const {
    int current = fd.load();
    if (current < 0) {
        return EBADF;
    }
    // Never waits: a full queue refuses the frame at once, as SocketCAN answers a full
    // transmit queue. The robot loop writes here and must not stall on a slow hub.
    ssize_t n;
    do {
        n = ::send(current, &frame, kCanFrameSize, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        // A full socket buffer reads as the kernel's full transmit queue.
        return errno == EAGAIN || errno == EWOULDBLOCK ? ENOBUFS : errno;
    }
    return static_cast<std::size_t>(n) == kCanFrameSize ? 0 : EIO;
}

void CanSocket::Close() {
    int old = fd.exchange(-1);
    if (old >= 0) {
        ::close(old);
    }
}

}  // namespace Platform
