#pragma once

// One endpoint on a CAN bus, moving whole classic `struct can_frame` records (16 bytes).
// Two backends behind one face:
//  - Kernel: a raw SocketCAN socket (PF_CAN, SOCK_RAW, CAN_RAW) bound to a network
//    interface such as "can0".
//  - VirtualHub: an AF_UNIX SOCK_SEQPACKET connection to a VirtualCanHub, one record per
//    packet, for machines whose kernel has no CAN. The hub relays each record to every
//    other endpoint, as a vcan interface does.
// The backend is chosen from the environment: BELVANTO_CAN_HUB naming the hub's socket
// selects the virtual bus, otherwise the kernel is used.
//
// Thread use: one thread may wait and read while others write; each Write is a single
// system call carrying a whole frame, so frames never interleave. Close only after the
// reading thread has stopped.

#include <linux/can.h>

#include <atomic>
#include <cstddef>
#include <string>

namespace Platform {

// Environment variable naming the virtual CAN bus hub's socket path.
constexpr const char* kCanHubEnvironment = "BELVANTO_CAN_HUB";

// Size of one record on either backend.
constexpr std::size_t kCanFrameSize = sizeof(can_frame);
static_assert(sizeof(can_frame) == 16, "a classic CAN frame record is 16 bytes");

class CanSocket {
public:
    enum class Backend { Kernel, VirtualHub };

    // The backend the environment asks for; *hubPath gets the hub's socket path for
    // VirtualHub (may be null).
    static Backend BackendFromEnvironment(std::string* hubPath);

    CanSocket();  // backend from the environment
    explicit CanSocket(Backend backend, std::string hubPath = std::string());
    ~CanSocket();  // closes the descriptor
    CanSocket(const CanSocket&) = delete;
    CanSocket& operator=(const CanSocket&) = delete;

    // Change the backend of a closed socket (the next Create uses it).
    void SetBackend(Backend newBackend, std::string newHubPath = std::string());
    void SetBackendFromEnvironment();
    Backend GetBackend() const { return backend; }
    const std::string& HubPath() const { return hubPath; }

    // Creates the descriptor (closing a previous one). Returns 0 or an errno value.
    int Create();
    // Kernel: looks up the interface index (SIOCGIFINDEX; its result is not checked, the
    // bind reports a bad index) and binds. VirtualHub: connects to the hub's socket; the
    // interface name is not used. Returns 0 or an errno value. The descriptor stays open
    // on failure, until Close.
    int Bind(const char* interfaceName);
    // Create, then Bind. Returns 0 or the errno value of the failing step.
    int Open(const char* interfaceName);

    // Waits for a record: 1 readable, 0 time-out, negative errno on error.
    int WaitReadable(int timeoutMs) const;
    // Reads one record. Returns kCanFrameSize, or a negative errno: -ECONNRESET when the
    // hub has gone away, -EBADMSG for a record that is not a classic frame (wrong size or
    // a length above 8). -EBADMSG is no fault of the link: the record was taken off the
    // socket whole, *frame holds its first 16 bytes (zero-filled when shorter) and
    // *recordSize, when given, its size.
    int Read(can_frame* frame, std::size_t* recordSize = nullptr) const;
    // Writes one whole record without waiting. Returns 0 or an errno value: ENOBUFS when
    // the queue is full (the kernel's full transmit queue, or a hub that has not taken
    // the frames queued so far); the frame is then dropped. Never raises SIGPIPE.
    int Write(const can_frame& frame) const;

    void Close();
    bool IsOpen() const { return fd.load() >= 0; }
    int Fd() const { return fd.load(); }

private:
    Backend backend;
    std::string hubPath;
    std::atomic<int> fd{-1};
};

}  // namespace Platform
