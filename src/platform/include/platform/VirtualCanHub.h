#pragma once

// The virtual CAN bus: a listening AF_UNIX SOCK_SEQPACKET socket that endpoints
// (Platform::CanSocket with the VirtualHub backend) connect to. Every 16-byte can_frame
// record received from one endpoint is relayed to every other endpoint, never back to
// the sender, as a Linux vcan interface does. An endpoint that does not keep up loses
// frames instead of stalling the bus. Records of another size, or with a length byte
// above 8, are dropped.
//
// Optionally every relayed frame is recorded to a pcap file (see CanPcapRecorder); the
// file is written on a thread of its own, so a busy disk never stops the relay.
//
// Usage:
//   Platform::VirtualCanHub hub;
//   if (hub.Start("/tmp/bus.sock", "/tmp/bus.pcap") != 0) { ... hub.ErrorText() ... }
//   setenv(Platform::kCanHubEnvironment, "/tmp/bus.sock", 1);  // endpoints find it
//   ...
//   hub.Stop();  // also done by the destructor

#include "platform/CanPcapRecorder.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace Platform {

class VirtualCanHub {
public:
    VirtualCanHub();
    ~VirtualCanHub();  // Stop()
    VirtualCanHub(const VirtualCanHub&) = delete;
    VirtualCanHub& operator=(const VirtualCanHub&) = delete;

    // Listens on socketPath (a stale socket file there is replaced) and starts the relay
    // thread; with a non-empty pcapPath every relayed frame is recorded there. Returns 0
    // or an errno value, with ErrorText() naming the failing step. A running hub must be
    // stopped before it is started again (EBUSY).
    int Start(const std::string& socketPath, const std::string& pcapPath = std::string());
    // Closes every endpoint and the listening socket, removes the socket file, flushes and
    // closes the pcap file. Safe to call more than once.
    void Stop();

    bool IsRunning() const { return running.load(); }
    // Endpoints connected right now.
    int EndpointCount() const { return endpointCount.load(); }
    // Frames received from endpoints since Start.
    std::uint64_t FrameCount() const { return frameCount.load(); }
    // Records dropped since Start because they were no classic CAN frame.
    std::uint64_t DroppedCount() const { return droppedCount.load(); }
    // Frames relayed but not recorded, the recording having fallen too far behind.
    std::uint64_t PcapDroppedCount() const { return recorder.DroppedCount(); }
    const std::string& SocketPath() const { return socketPath; }
    const std::string& PcapPath() const { return pcapPath; }
    // Text of the last Start failure ("" after a good Start).
    const std::string& ErrorText() const { return errorText; }

    // Most endpoints served at once; further connections are closed at once.
    static constexpr int kMaxEndpoints = 64;

private:
    void Run();

    std::string socketPath;
    std::string pcapPath;
    std::string errorText;
    int listenFd = -1;
    int wakeFds[2] = {-1, -1};  // pipe: Stop() wakes the relay thread
    CanPcapRecorder recorder;
    std::thread relayThread;
    std::atomic<bool> running{false};
    std::atomic<int> endpointCount{0};
    std::atomic<std::uint64_t> frameCount{0};
    std::atomic<std::uint64_t> droppedCount{0};
};

}  // namespace Platform
