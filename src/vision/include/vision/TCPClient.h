#pragma once

// The small IPv4 TCP client of the camera code. One thread uses one client; every
// operation runs on the calling thread. Connecting waits at most ConnectTimeoutMs, so an
// unreachable camera never holds up the thread that stops it.

#include "core/FailureEpisode.h"

#include <netinet/in.h>
#include <sys/time.h>

#include <string>

class TCPClient {
public:
    static constexpr int ConnectTimeoutMs = 2000;

    TCPClient();
    ~TCPClient();
    TCPClient(const TCPClient&) = delete;
    TCPClient& operator=(const TCPClient&) = delete;

    // Connects to host (dotted IPv4 or a name resolved to IPv4) and port 1..65535. A
    // refused or timed-out connect closes the socket; a name that does not resolve keeps it.
    bool setup(std::string const& host, int port);
    // Sends the text up to its first zero byte (one send, no SIGPIPE).
    void Send(std::string const& text);
    // One receive of at most size bytes, as text up to the first zero byte.
    std::string receive(int size);
    // Reads up to and including a line feed, or what came before the peer closed.
    std::string read();
    // One receive into buffer: byte count, 0 when the peer closed, -1 on error.
    int readBytes(char* buffer, int size);
    // True when the socket becomes readable (or closed by the peer) within the time-out.
    bool dataAvailable(timeval* timeout);
    bool dataAvailable(int timeoutMs);
    void Close();

    bool IsOpen() const { return sock >= 0; }

private:
    bool Connect(int timeoutMs);

    int sock = -1;
    // Sockets that could not be made in a row (no descriptors left): told once.
    FailureEpisode socketFailures;
    std::string address;
    int port = 0;
    sockaddr_in server{};
};
