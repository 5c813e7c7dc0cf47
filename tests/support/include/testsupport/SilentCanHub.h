#pragma once

// A stand-in for the virtual CAN bus hub that takes connections but reads nothing until
// asked: an endpoint writing to it fills its queue, as a writer on a bus whose transmit
// queue never empties.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace TestSupport {

class SilentCanHub {
public:
    explicit SilentCanHub(const std::string& path) : path_(path) {
        listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        ::unlink(path.c_str());
        if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listenFd_, 4) != 0) {
            if (listenFd_ >= 0) ::close(listenFd_);
            throw std::runtime_error("silent hub cannot listen on " + path + ": " + std::strerror(errno));
        }
    }
    ~SilentCanHub() {
        for (int fd : clients_) ::close(fd);
        ::close(listenFd_);
        ::unlink(path_.c_str());
    }
    SilentCanHub(const SilentCanHub&) = delete;
    SilentCanHub& operator=(const SilentCanHub&) = delete;

    // Takes the connections waiting to be accepted (waits up to timeoutMs for the first).
    int AcceptWaiting(int timeoutMs = 2000) {
        pollfd entry{listenFd_, POLLIN, 0};
        while (::poll(&entry, 1, clients_.empty() ? timeoutMs : 0) == 1) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) break;
            clients_.push_back(fd);
        }
        return static_cast<int>(clients_.size());
    }

    // Reads every record queued so far on all connections; returns how many.
    int Drain() {
        int records = 0;
        unsigned char buffer[64];
        for (int fd : clients_) {
            while (::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) ++records;
        }
        return records;
    }

private:
    std::string path_;
    int listenFd_ = -1;
    std::vector<int> clients_;
};

}  // namespace TestSupport
