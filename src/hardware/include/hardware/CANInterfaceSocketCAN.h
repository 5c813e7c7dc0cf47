#pragma once

// The controller's door to the CAN bus "can0": one socket, one reader thread, a table of
// the last frame per 11-bit identifier for polling, two receive callbacks (the CAN
// bridge's first, then the protocol's unless the bridge consumed the frame), single-frame
// writes and an optional dump ring of recent traffic in both directions.
//
// The socket is the kernel's SocketCAN, or the virtual CAN bus hub when the environment
// variable BELVANTO_CAN_HUB names the hub's socket (see platform/CanSocket.h).

#include "core/LogThrottle.h"
#include "platform/CanSocket.h"

#include <linux/can.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

// Receive function: identifier word as received (flags included), data length, the
// frame's 8 data bytes, always 0, monotonic time of reception. Returns 1 when it has
// consumed the frame.
typedef int (*CANReceiveFunction)(int id, int dlc, const unsigned char* data, long,
                                  timespec time);

// One slot of the last-message table, as a reader gets it: all fields from one frame.
struct CANMessageEntry {
    std::int32_t id = 0;
    std::int32_t dlc = 0;
    unsigned char data[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    timespec time{};
};

// One slot of the dump ring.
struct CanDumpEntry {
    can_frame frame{};
    timespec time{};
    bool incoming = false;
    std::int32_t error = 0;  // errno of a failed read or write, 0 on success
};

class CANInterfaceSocketCAN {
public:
    static constexpr int kMessageTableSize = 2048;
    static constexpr const char* kInterfaceName = "can0";

    CANInterfaceSocketCAN();
    // Stops and joins the reader and closes the socket.
    virtual ~CANInterfaceSocketCAN();
    CANInterfaceSocketCAN(const CANInterfaceSocketCAN&) = delete;
    CANInterfaceSocketCAN& operator=(const CANInterfaceSocketCAN&) = delete;

    // Opens and binds the socket, starts the reader and sends the greeting frame
    // (0x10, "BC" and six zero bytes). Failures are logged, never thrown. Returns
    // IsConnected().
    bool Connect();
    // Stops and joins the reader and closes the socket. Returns false.
    bool Disconnect();
    bool IsConnected() const { return connected.load(); }

    // Sends one frame while connected. A DLC outside 0..8, or an identifier outside
    // 0..0x7FF, is logged and not sent; an extended frame is asked for with CAN_EFF_FLAG
    // in id and then allows identifiers up to 0x1FFFFFFF. Never waits for the bus: a
    // full transmit queue refuses the frame (ENOBUFS) on either backend. Failed writes are
    // logged with throttling and dumped, never reported to the caller.
    void WriteMessage(int id, int dlc, const unsigned char* data);

    // Last frame of identifier id (0..2047): *dlc and 8 bytes into data; the result is
    // its age in 0.1 ms (saturated at INT32_MAX). Not connected: returns 0 and leaves the
    // outputs alone. Throws std::invalid_argument("invalid message id!") for a bad id.
    std::int32_t GetLastMessage(int id, int* dlc, unsigned char* data,
                                long* extra = nullptr) const;
    // The whole slot of identifier id, connected or not; same exception as above.
    CANMessageEntry GetLastMessageEntry(int id) const;

    // Dump capacity; 0 turns the dump off. Setting the current size keeps the entries.
    void SetCanDumpSize(unsigned n);
    unsigned GetCanDumpSize() const;
    void AddCanDumpEntry(const can_frame& frame, bool incoming, int error);
    void AddCanDumpEntry(const CanDumpEntry& entry);
    // Logs the entries since the last dump, oldest first, and empties the dump.
    void WriteCanDump();

    // Body of the reader thread; it ends only on Disconnect. A malformed record (length
    // byte above 8, wrong size) is logged with throttling, dumped and skipped; only a
    // failing socket makes it back off (10 ms doubling to 1 s).
    void ThreadReadLoop();

    // Installing a callback is a plain store; the reader picks it up with the next frame.
    std::atomic<CANReceiveFunction> protocolCallback{nullptr};
    std::atomic<CANReceiveFunction> bridgeCallback{nullptr};

private:
    // Last-message slot with a sequence counter: odd while the reader thread writes it,
    // so a polling reader retries until it copied the fields of one frame.
    struct MessageSlot {
        std::atomic<std::uint32_t> sequence{0};
        std::atomic<std::int32_t> id{0};
        std::atomic<std::int32_t> dlc{0};
        std::atomic<std::uint64_t> data{0};
        std::atomic<std::int64_t> seconds{0};
        std::atomic<std::int64_t> nanoseconds{0};
    };

    void StoreMessage(int id, int dlc, const unsigned char* data, const timespec& time);
    CANMessageEntry LoadMessage(int id) const;
    void StopReader();
    // Table, dump and callbacks for one received frame.
    void Dispatch(const can_frame& frame);
    // A record that is no classic frame: logged (throttled), dumped and skipped.
    void HandleMalformedRecord(const can_frame& frame, std::size_t size);
    // A failing socket: logged with throttling, dumped, then the reader backs off.
    void HandleReadFailure(int error);

    std::atomic<bool> stopReadLoop{false};
    std::atomic<bool> connected{false};
    MessageSlot lastMessages[kMessageTableSize];
    Platform::CanSocket canSocket;  // backend chosen from the environment at each Connect
    std::atomic<int> lastWriteErrno{0};
    std::atomic<int> writeErrorRepeat{0};
    // Throttle of the log of refused frames: the last refused identifier and length (0,
    // a valid frame, when none) and how often it came in a row.
    std::atomic<std::uint64_t> lastRefusedWrite{0};
    std::atomic<int> refusedWriteRepeat{0};
    std::vector<CanDumpEntry> canDump;
    std::uint32_t canDumpWriteIndex = 0;
    std::uint32_t canDumpCount = 0;
    mutable std::mutex canDumpMutex;
    std::atomic<unsigned> canDumpCapacity{0};  // lets the reader skip the lock when off

    std::thread readerThread;
    // Reader thread only: throttling and back-off of failed reads.
    int lastReadErrno = 0;
    int readErrorRepeat = 0;
    int readBackoffMs = 0;
    LogThrottle malformedLog{"SocketCAN ReadLoop: malformed records"};
    LogThrottle callbackErrorLog{"SocketCAN ReadLoop: receive callback failures"};
};

// Thread entry: runs ThreadReadLoop of the CANInterfaceSocketCAN it is given.
void* threadReadLoop(void* object);
// Sleeps ms milliseconds.
void wait2(int ms);
