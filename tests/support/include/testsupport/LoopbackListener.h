#pragma once

// A TCP listener on 127.0.0.1 at a port chosen by the system, for client tests.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace TestSupport {

class LoopbackListener {
public:
    explicit LoopbackListener(int backlog = 4) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0 ||
            ::listen(fd_, backlog) < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackListener() {
        for (int fd : held_) ::close(fd);
        if (fd_ >= 0) ::close(fd_);
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int Port() const { return port_; }

    // The next connection, or -1 when none comes within the time-out. The caller closes it.
    int Accept(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return -1;
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

    // Fills the accept queue with connections nobody accepts until a connect no longer
    // completes; later connects then hang. False when the system kept accepting.
    bool Stall() {
        for (int i = 0; i < 16; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) return false;
            held_.push_back(fd);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(port_));
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) continue;
            if (errno != EINPROGRESS) return false;
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 300) == 0) return true;
        }
        return false;
    }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> held_;
};

// Reads until the peer closes or the time-out passes.
inline std::string ReadAll(int fd, int timeoutMs) {
    std::string out;
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return out;
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) return out;
        out.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace TestSupport
