#include "vision/TCPClient.h"

#include "core/LogSingleton.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

// Standard error only, through the log's console copy: a blocked console never holds a camera.
void PrintError(const char* what, const char* error) { Log()->addConsole((std::string(what) + error).c_str(), true); }

int PollFor(int fd, short events, int timeoutMs) {
    pollfd p{};
    p.fd = fd;
    p.events = events;
    int result;
    do {
        result = ::poll(&p, 1, timeoutMs);
    } while (result < 0 && errno == EINTR);
    return result > 0 ? p.revents : (result < 0 ? -1 : 0);
}

}  // namespace

TCPClient::TCPClient() = default;

TCPClient::~TCPClient() { Close(); }

bool TCPClient::setup(std::string const& host, int portNr) {
    if (portNr < 1 || portNr > 65535) {
        Log()->addError("TCPClient: invalid port " + std::to_string(portNr));
        return false;
    }
    if (sock < 0) {
        sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (sock < 0) {
            // Out of descriptors every retry fails alike: the line once per run.
            if (socketFailures.Failed()) {
                Log()->addError(std::string("TCPClient: Could not create socket... ") + std::strerror(errno));
            }
            return false;
        }
        if (const std::uint64_t failed = socketFailures.Ended(); failed > 1) {
            Log()->addFormat("TCPClient: Socket created again after %llu failed attempts",
                             static_cast<unsigned long long>(failed));
        }
    }
    server = sockaddr_in{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(portNr));
    if (::inet_pton(AF_INET, host.c_str(), &server.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (rc != 0 || found == nullptr) {
            PrintError("gethostbyname: ", ::gai_strerror(rc));
            Log()->addError("TCPClient: failed to resolve hostname...");
            if (found != nullptr) ::freeaddrinfo(found);
            return false;
        }
        server.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        ::freeaddrinfo(found);
    }
    if (!Connect(ConnectTimeoutMs)) {
        Log()->addError("TCPClient: Connect failed...");
        // A half-done connect leaves the socket unusable for the next attempt.
        Close();
        return false;
    }
    return true;
}

bool TCPClient::Connect(int timeoutMs) {
    const int flags = ::fcntl(sock, F_GETFL, 0);
    if (flags < 0 || ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) {
        PrintError("TCPClient: connect failed. Error: ", std::strerror(errno));
        return false;
    }
    int error = 0;
    if (::connect(sock, reinterpret_cast<const sockaddr*>(&server), sizeof(server)) < 0) {
        if (errno != EINPROGRESS) {
            error = errno;
        } else {
            const int revents = PollFor(sock, POLLOUT, timeoutMs);
            if (revents == 0) {
                error = ETIMEDOUT;
            } else if (revents < 0) {
                error = errno;
            } else {
                socklen_t length = sizeof(error);
                if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) < 0) error = errno;
            }
        }
    }
    if (error != 0) {
        PrintError("TCPClient: connect failed. Error: ", std::strerror(error));
        return false;
    }
    ::fcntl(sock, F_SETFL, flags & ~O_NONBLOCK);
    return true;
}

void TCPClient::Send(std::string const& text) {
    if (sock < 0) {
        Log()->addError("TCPClient: Send failed...");
        return;
    }
    const size_t length = std::strlen(text.c_str());
    if (::send(sock, text.data(), length, MSG_NOSIGNAL) < 0) {
        Log()->addError("TCPClient: Send failed...");
    }
}

std::string TCPClient::receive(int size) {
    if (size <= 0) return {};
    std::vector<char> buffer(static_cast<size_t>(size) + 1, '\0');
    const int n = readBytes(buffer.data(), size);
    if (n < 0) {
        Log()->addError("TCPClient: Receive failed...");
        return {};
    }
    buffer[static_cast<size_t>(n)] = '\0';
    return std::string(buffer.data());
}

std::string TCPClient::read() {
    std::string line;
    char c = 0;
    for (;;) {
        const int n = readBytes(&c, 1);
        if (n < 0) {
            Log()->addError("TCPClient: receive failed!...");
            return line;
        }
        if (n == 0) return line;
        line.push_back(c);
        if (c == '\n') return line;
    }
}

int TCPClient::readBytes(char* buffer, int size) {
    if (sock < 0 || buffer == nullptr || size <= 0) return -1;
    ssize_t n;
    do {
        n = ::recv(sock, buffer, static_cast<size_t>(size), 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

bool TCPClient::dataAvailable(timeval* timeout) {
    int ms = -1;
    if (timeout != nullptr) {
        ms = static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_usec / 1000);
        if (ms < 0) ms = 0;
    }
    return dataAvailable(ms);
}

bool TCPClient::dataAvailable(int timeoutMs) {
    if (sock < 0) return false;
    // A closed or failed peer counts as readable, so the next read reports it.
    return PollFor(sock, POLLIN, timeoutMs) > 0;
}

void TCPClient::Close() {
    if (sock >= 0) {
        ::close(sock);
        sock = -1;
    }
}
