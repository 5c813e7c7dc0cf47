#pragma once

// A client of the HVP server for tests: connects (or adopts a socket), sends frames and
// raw bytes, and reads the server's frames "HVPSTART <n> <payload> HVPEND\n" with
// time-outs. Every frame read is kept in order, so a test can look back at what came.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace TestSupport {

class HvpTestClient {
public:
    struct Frame {
        int counter = -1;
        std::string payload;
    };

    HvpTestClient() = default;
    ~HvpTestClient();
    HvpTestClient(const HvpTestClient&) = delete;
    HvpTestClient& operator=(const HvpTestClient&) = delete;

    // Connects to 127.0.0.1:port; false after timeoutMs of refused attempts.
    bool Connect(int port, int timeoutMs = 5000);
    // Takes over an already connected socket (closed with the client).
    void Adopt(int fd);
    void Close();
    bool IsOpen() const { return fd >= 0; }
    int Fd() const { return fd; }
    // Shrinks the kernel's receive buffer (call before the peer sends much).
    void SetReceiveBuffer(int bytes);

    bool SendRaw(const std::string& bytes);
    // "HVPSTART <counter> <body> HVPEND".
    bool Send(int counter, const std::string& body);

    // The next frame; false when none came within timeoutMs or the server closed.
    bool ReadFrame(Frame& out, int timeoutMs);
    // Reads until a frame whose payload starts with prefix (earlier frames are kept in
    // Received()); empty when none came within timeoutMs.
    std::optional<Frame> WaitFor(const std::string& prefix, int timeoutMs);
    // Reads until the condition holds for a frame; empty on time-out.
    std::optional<Frame> WaitForFrame(const std::function<bool(const Frame&)>& condition, int timeoutMs);
    // Reads everything that comes within quietMs of silence; returns the frames read now.
    std::vector<Frame> Drain(int quietMs);
    // True once the server closed the connection (reads and drops frames meanwhile).
    bool WaitClosed(int timeoutMs);
    bool PeerClosed() const { return peerClosed; }

    const std::vector<Frame>& Received() const { return received; }
    // Payloads of the frames received so far that start with prefix.
    std::vector<std::string> PayloadsStartingWith(const std::string& prefix) const;
    void ClearReceived() { received.clear(); }

    // Blank-separated tokens of a payload.
    static std::vector<std::string> Tokens(const std::string& payload);
    // Up to count numbers after the token key ("POSJOINTCURRENT" of a STATUS payload).
    static std::vector<float> ValuesAfter(const std::string& payload, const std::string& key, int count);

private:
    // Cuts one frame off the buffer; false when none is complete.
    bool TakeFrame(Frame& out);
    // Reads more bytes within timeoutMs; false on time-out or end.
    bool Fill(int timeoutMs);

    int fd = -1;
    bool peerClosed = false;
    std::string buffer;
    std::vector<Frame> received;
};

}  // namespace TestSupport
