#pragma once

// A bare stand-in for the virtual CAN bus hub: endpoints (Platform::CanSocket with the
// VirtualHub backend) connect to its socket path, and every record one of them sends is
// relayed to all others whatever its size or length byte, as a faulty bus or peer would.
// Inject hands the endpoints records the real hub refuses, to prove the readers robust.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport {

class RawCanRelay {
public:
    explicit RawCanRelay(const std::string& path) : path_(path) {
        listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        ::unlink(path.c_str());
        if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listenFd_, 16) != 0) {
            if (listenFd_ >= 0) ::close(listenFd_);
            throw std::runtime_error("relay cannot listen on " + path + ": " + std::strerror(errno));
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~RawCanRelay() {
        stop_.store(true);
        thread_.join();
        for (int fd : clients_) ::close(fd);
        ::close(listenFd_);
        ::unlink(path_.c_str());
    }
    RawCanRelay(const RawCanRelay&) = delete;
    RawCanRelay& operator=(const RawCanRelay&) = delete;

    int Endpoints() {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(clients_.size());
    }

    // Sends one record to every endpoint, waiting (up to 5 s) while an endpoint's queue is
    // full, so that none is lost. False when an endpoint took none in that time.
    bool Inject(const void* record, std::size_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        bool all = true;
        for (int fd : clients_) all = SendWaiting(fd, record, size) && all;
        return all;
    }

private:
    static bool SendWaiting(int fd, const void* record, std::size_t size) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (true) {
            if (::send(fd, record, size, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(size)) return true;
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
            if (std::chrono::steady_clock::now() > end) return false;
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }

    void Run() {
        while (!stop_.load()) {
            std::vector<pollfd> fds{{listenFd_, POLLIN, 0}};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (int fd : clients_) fds.push_back({fd, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (client >= 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    clients_.push_back(client);
                }
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                unsigned char record[256];
                ssize_t n;
                while ((n = ::recv(fds[i].fd, record, sizeof(record), MSG_DONTWAIT)) > 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    for (int fd : clients_) {
                        // Like the hub: a receiver that does not keep up loses the record.
                        if (fd == fds[i].fd) continue;
                        ::send(fd, record, static_cast<std::size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL);
                    }
                }
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    std::lock_guard<std::mutex> lock(mutex_);  // the endpoint left
                    for (std::size_t k = 0; k < clients_.size(); ++k) {
                        if (clients_[k] == fds[i].fd) {
                            ::close(clients_[k]);
                            clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(k));
                            break;
                        }
                    }
                }
            }
        }
    }

    std::string path_;
    int listenFd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;  // clients_, and one send at a time per endpoint
    std::vector<int> clients_;
};

}  // namespace TestSupport
