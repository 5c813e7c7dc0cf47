#include "hardware/CANInterfaceSocketCAN.h"

#include "core/LogSingleton.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

const unsigned char kGreeting[8] = {0x42, 0x43, 0, 0, 0, 0, 0, 0};  // "BC"
constexpr int kSelectTimeoutMs = 250;
constexpr int kIdleSleepMs = 100;
constexpr int kReadBackoffFirstMs = 10;
constexpr int kReadBackoffMaxMs = 1000;

timespec MonotonicNow() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

std::string SystemErrorText(int error) {
    char buffer[128];
    return std::string(strerror_r(error, buffer, sizeof(buffer)));
}

// A lasting fault is reported at its 1st, 11th, 26th, 51st, 101st ... occurrence.
bool RepeatIsLogged(int k) { return k == 0 || k == 10 || k == 25 || k % 50 == 0; }

}  // namespace

void* threadReadLoop(void* object) {
    static_cast<CANInterfaceSocketCAN*>(object)->ThreadReadLoop();
    return nullptr;
}

void wait2(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

CANInterfaceSocketCAN::CANInterfaceSocketCAN() {
    // Identifiers a protocol polls before any answer see a neutral, ten-second-old frame.
    timespec old = MonotonicNow();
    old.tv_sec -= 10;
    const unsigned char neutral[8] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
    for (int i = 0; i < 256; ++i) {
        StoreMessage(i, 0, neutral, old);
    }
}

CANInterfaceSocketCAN::~CANInterfaceSocketCAN() {
    connected.store(false);
    StopReader();
    canSocket.Close();
}

bool CANInterfaceSocketCAN::Connect() {
    connected.store(false);
    LogSingleton* log = LogSingleton::instance();
    log->add("....... SocketCAN connect ......");
    try {
        // A reader left from an earlier connection must not share the new socket.
        StopReader();
        canSocket.SetBackendFromEnvironment();
        int error = canSocket.Create();
        if (error != 0) {
            throw std::runtime_error("Could not create socket: " + SystemErrorText(error));
        }
        error = canSocket.Bind(kInterfaceName);
        if (error != 0) {
            throw std::runtime_error("Could not bind CAN socket: " + SystemErrorText(error));
        }
        // Cleared here rather than by the reader, so a Disconnect right after this
        // Connect cannot be undone by a reader that starts late.
        stopReadLoop.store(false);
        readerThread = std::thread(threadReadLoop, static_cast<void*>(this));
        connected.store(true);
        log->add("Connected to CAN module via SocketCAN...");
        WriteMessage(0x10, 8, kGreeting);
    } catch (const std::exception& e) {
        log->addFormat("Could not connect to CAN module via SocketCAN! (1): %s", e.what());
    } catch (...) {
        log->add("Could NOT connect to CAN module via SocketCAN!! (3)");
    }
    return connected.load();
}

bool CANInterfaceSocketCAN::Disconnect() {
    connected.store(false);
    stopReadLoop.store(true);
    if (canSocket.IsOpen()) {
        // The reader notices the stop flag within one select time-out.
        StopReader();
        canSocket.Close();
        LogSingleton::instance()->add("CAN interface SocketCAN disconnected.");
    }
    StopReader();
    return connected.load();
}

void CANInterfaceSocketCAN::StopReader() {
    if (!readerThread.joinable()) {
        return;
    }
    stopReadLoop.store(true);
    if (readerThread.get_id() == std::this_thread::get_id()) {
        readerThread.detach();  // called from a callback: the loop ends after it returns
    } else {
        readerThread.join();
    }
}

void CANInterfaceSocketCAN::WriteMessage(int id, int dlc, const unsigned char* data) {
    if (!connected.load() || !canSocket.IsOpen()) {
        return;
    }
    const std::uint32_t word = static_cast<std::uint32_t>(id);
    const bool extended = (word & CAN_EFF_FLAG) != 0;
    const bool idValid = extended ? (word & ~CAN_EFF_FLAG) <= CAN_EFF_MASK : word <= CAN_SFF_MASK;
    if (dlc < 0 || dlc > CAN_MAX_DLEN || !idValid) {
        // The same bad request over and over (a configuration fault hit every cycle) is
        // logged like a lasting write error; a different one counts as a first.
        const std::uint64_t key = (static_cast<std::uint64_t>(word) << 32) |
                                  static_cast<std::uint32_t>(dlc);
        if (lastRefusedWrite.exchange(key) != key) {
            refusedWriteRepeat.store(0);
        }
        int k = refusedWriteRepeat.fetch_add(1);
        if (RepeatIsLogged(k)) {
            char line[96];
            if (!idValid) {
                std::snprintf(line, sizeof(line), "CAN write refused: ID %d outside 0..0x7FF", id);
            } else {
                std::snprintf(line, sizeof(line), "CAN write refused on ID %d: DLC %d outside 0..8",
                              id, dlc);
            }
            if (k == 0) {
                LogSingleton::instance()->add(line);
            } else {
                LogSingleton::instance()->addFormat("%s (%d)", line, k);
            }
        }
        return;
    }

    can_frame frame{};
    frame.can_id = word;
    frame.can_dlc = static_cast<__u8>(dlc);
    if (data != nullptr && dlc > 0) {
        std::memcpy(frame.data, data, static_cast<std::size_t>(dlc));
    }
    int error = canSocket.Write(frame);
    if (error == 0) {
        lastWriteErrno.store(0, std::memory_order_relaxed);
        AddCanDumpEntry(frame, false, 0);
        return;
    }
    if (error != lastWriteErrno.load(std::memory_order_relaxed)) {
        writeErrorRepeat.store(0, std::memory_order_relaxed);
        lastWriteErrno.store(error, std::memory_order_relaxed);
    }
    int k = writeErrorRepeat.load(std::memory_order_relaxed);
    if (k == 0) {
        LogSingleton::instance()->addFormat("CAN write failed on ID %d (first byte %d): %s", id,
                                            frame.data[0], SystemErrorText(error).c_str());
    } else if (RepeatIsLogged(k)) {
        LogSingleton::instance()->addFormat("CAN write failed on ID %d (first byte %d): %s (%d)",
                                            id, frame.data[0], SystemErrorText(error).c_str(), k);
    }
    writeErrorRepeat.fetch_add(1, std::memory_order_relaxed);
    AddCanDumpEntry(frame, false, error);
}

void CANInterfaceSocketCAN::StoreMessage(int id, int dlc, const unsigned char* data,
                                         const timespec& time) {
    MessageSlot& slot = lastMessages[id];
    std::uint64_t bytes;
    std::memcpy(&bytes, data, sizeof(bytes));
    // Single writer: odd sequence while the fields change.
    std::uint32_t sequence = slot.sequence.load(std::memory_order_relaxed);
    slot.sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    slot.id.store(id, std::memory_order_relaxed);
    slot.dlc.store(dlc, std::memory_order_relaxed);
    slot.data.store(bytes, std::memory_order_relaxed);
    slot.seconds.store(time.tv_sec, std::memory_order_relaxed);
    slot.nanoseconds.store(time.tv_nsec, std::memory_order_relaxed);
    slot.sequence.store(sequence + 2, std::memory_order_release);
}

CANMessageEntry CANInterfaceSocketCAN::LoadMessage(int id) const {
    const MessageSlot& slot = lastMessages[id];
    CANMessageEntry entry;
    std::uint64_t bytes = 0;
    for (unsigned attempt = 0;; ++attempt) {
        std::uint32_t before = slot.sequence.load(std::memory_order_acquire);
        if ((before & 1u) == 0) {
            entry.id = slot.id.load(std::memory_order_relaxed);
            entry.dlc = slot.dlc.load(std::memory_order_relaxed);
            bytes = slot.data.load(std::memory_order_relaxed);
            entry.time.tv_sec = static_cast<time_t>(slot.seconds.load(std::memory_order_relaxed));
            entry.time.tv_nsec = static_cast<long>(slot.nanoseconds.load(std::memory_order_relaxed));
            std::atomic_thread_fence(std::memory_order_acquire);
            if (slot.sequence.load(std::memory_order_relaxed) == before) {
                break;
            }
        }
        if (attempt > 64) {
            std::this_thread::yield();  // the writer was preempted mid-entry
        }
    }
    std::memcpy(entry.data, &bytes, sizeof(bytes));
    return entry;
}

std::int32_t CANInterfaceSocketCAN::GetLastMessage(int id, int* dlc, unsigned char* data,
                                                   long* /*extra*/) const {
    if (!connected.load()) {
        return 0;
    }
    CANMessageEntry entry = GetLastMessageEntry(id);
    if (dlc != nullptr) {
        *dlc = entry.dlc;
    }
    if (data != nullptr) {
        std::memcpy(data, entry.data, sizeof(entry.data));
    }
    timespec now = MonotonicNow();
    std::int64_t seconds = static_cast<std::int64_t>(now.tv_sec) - entry.time.tv_sec;
    std::int64_t nanoseconds = static_cast<std::int64_t>(now.tv_nsec) - entry.time.tv_nsec;
    if (nanoseconds < 0) {
        seconds -= 1;
        nanoseconds += 1000000000;
    }
    std::int64_t age = seconds * 10000 + nanoseconds / 100000;
    // A never-written slot carries time 0, whose age can pass the 32-bit range.
    return age > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(age);
}

CANMessageEntry CANInterfaceSocketCAN::GetLastMessageEntry(int id) const {
    if (id < 0 || id >= kMessageTableSize) {
        throw std::invalid_argument("invalid message id!");
    }
    return LoadMessage(id);
}

void CANInterfaceSocketCAN::ThreadReadLoop() {
    LogSingleton::instance()->add("Starting SocketCAN ReadLoop..");
    lastReadErrno = 0;
    readErrorRepeat = 0;
    readBackoffMs = 0;
    can_frame frame{};
    while (true) {
        if (stopReadLoop.load()) {
            LogSingleton::instance()->add("SocketCAN ReadLoop has stopped...");
            return;
        }
        if (!connected.load()) {
            wait2(kIdleSleepMs);
            continue;
        }
        int ready = canSocket.WaitReadable(kSelectTimeoutMs);
        if (ready <= 0) {
            if (ready < 0 && ready != -EINTR) {
                wait2(10);  // a broken descriptor must not spin
            }
            if (ready == 0) {
                malformedLog.Flush();  // a quiet bus: report what a burst held back
            }
            continue;
        }
        std::size_t recordSize = 0;
        int n = canSocket.Read(&frame, &recordSize);
        if (n == -EBADMSG) {
            // A bad record from a working link: skipped, never taken for a broken link.
            lastReadErrno = 0;
            readBackoffMs = 0;
            HandleMalformedRecord(frame, recordSize);
            continue;
        }
        if (n == -EINTR || n == -EAGAIN || n == -EWOULDBLOCK) {
            continue;  // nothing lost; the next wait tells
        }
        if (n < 1) {
            HandleReadFailure(-n);
            continue;
        }
        lastReadErrno = 0;
        readBackoffMs = 0;
        if (frame.can_dlc == 0) {
            continue;
        }
        Dispatch(frame);
    }
}

void CANInterfaceSocketCAN::Dispatch(const can_frame& frame) {
    const timespec t = MonotonicNow();
    const int id = static_cast<int>(frame.can_id);
    const int dlc = frame.can_dlc;
    if (frame.can_id < static_cast<canid_t>(kMessageTableSize)) {
        StoreMessage(id, dlc, frame.data, t);
    }
    AddCanDumpEntry(frame, true, 0);
    // A callback that throws must not end the reader: the drives' answers would stop
    // reaching the table for good while the interface still reads as connected.
    try {
        int consumed = 0;
        if (CANReceiveFunction bridge = bridgeCallback.load()) {
            consumed = bridge(id, dlc, frame.data, 0, t);
        }
        CANReceiveFunction protocol = protocolCallback.load();
        if (protocol != nullptr && consumed != 1) {
            protocol(id, dlc, frame.data, 0, t);
        }
    } catch (const std::exception& e) {
        if (callbackErrorLog.Admit()) {
            LogSingleton::instance()->addFormat(
                "SocketCAN ReadLoop: receive callback failed on ID 0x%X: %s",
                static_cast<unsigned>(frame.can_id), e.what());
        }
    } catch (...) {
        if (callbackErrorLog.Admit()) {
            LogSingleton::instance()->addFormat("SocketCAN ReadLoop: receive callback failed on ID 0x%X",
                                                static_cast<unsigned>(frame.can_id));
        }
    }
}

void CANInterfaceSocketCAN::HandleMalformedRecord(const can_frame& frame, std::size_t size) {
    if (malformedLog.Admit()) {
        LogSingleton::instance()->addFormat(
            "SocketCAN ReadLoop: skipped a malformed record (%d bytes, ID 0x%X, length byte %d)",
            static_cast<int>(size), static_cast<unsigned>(frame.can_id), frame.can_dlc);
    }
    AddCanDumpEntry(frame, true, EBADMSG);
}

// Only a failing socket gets here; malformed records are handled above.
void CANInterfaceSocketCAN::HandleReadFailure(int error) {
    if (error != lastReadErrno) {
        readErrorRepeat = 0;
        lastReadErrno = error;
    }
    int k = readErrorRepeat++;
    if (k == 0) {
        LogSingleton::instance()->addFormat("SocketCAN ReadLoop: failed to read: %s",
                                            SystemErrorText(error).c_str());
    } else if (RepeatIsLogged(k)) {
        LogSingleton::instance()->addFormat("SocketCAN ReadLoop: failed to read: %s (%d)",
                                            SystemErrorText(error).c_str(), k);
    }
    can_frame empty{};
    AddCanDumpEntry(empty, true, error);
    // A link that keeps failing (the hub went away) is retried ever more slowly, in short
    // steps so that a stop request is still seen quickly.
    readBackoffMs = readBackoffMs == 0 ? kReadBackoffFirstMs
                                       : std::min(readBackoffMs * 2, kReadBackoffMaxMs);
    for (int slept = 0; slept < readBackoffMs && !stopReadLoop.load(); slept += 10) {
        wait2(10);
    }
}

void CANInterfaceSocketCAN::SetCanDumpSize(unsigned n) {
    {
        std::lock_guard<std::mutex> lock(canDumpMutex);
        if (n == canDump.size()) {
            return;  // same size: keep what the dump holds
        }
    }
    LogSingleton::instance()->addFormat("Setting CAN Dump size to %d messages", static_cast<int>(n));
    std::lock_guard<std::mutex> lock(canDumpMutex);
    canDump.assign(n, CanDumpEntry{});
    canDumpWriteIndex = 0;
    canDumpCount = 0;
    canDumpCapacity.store(n);
}

unsigned CANInterfaceSocketCAN::GetCanDumpSize() const { return canDumpCapacity.load(); }

void CANInterfaceSocketCAN::AddCanDumpEntry(const can_frame& frame, bool incoming, int error) {
    if (canDumpCapacity.load(std::memory_order_relaxed) == 0) {
        return;
    }
    CanDumpEntry entry;
    entry.frame = frame;
    entry.time = MonotonicNow();
    entry.incoming = incoming;
    entry.error = error;
    AddCanDumpEntry(entry);
}

void CANInterfaceSocketCAN::AddCanDumpEntry(const CanDumpEntry& entry) {
    std::lock_guard<std::mutex> lock(canDumpMutex);
    const std::uint32_t size = static_cast<std::uint32_t>(canDump.size());
    if (size == 0) {
        return;
    }
    const std::uint32_t slot = canDumpWriteIndex;
    canDumpWriteIndex = (canDumpWriteIndex + 1) % size;
    if (canDumpCount < size) {
        ++canDumpCount;
    }
    canDump[slot] = entry;
}

void CANInterfaceSocketCAN::WriteCanDump() {
    std::vector<CanDumpEntry> copy;
    std::uint32_t w = 0;
    std::uint32_t c = 0;
    {
        std::lock_guard<std::mutex> lock(canDumpMutex);
        if (canDump.empty() || canDumpCount == 0) {
            return;
        }
        copy = canDump;
        w = canDumpWriteIndex;
        c = canDumpCount;
        canDumpCount = 0;
    }
    const std::uint32_t size = static_cast<std::uint32_t>(copy.size());
    LogSingleton* log = LogSingleton::instance();
    int number = 0;
    for (std::uint32_t k = size - c; k < size; ++k, ++number) {
        const CanDumpEntry& e = copy[(k + w) % size];
        std::string line = e.incoming ? "I --> " : "O <-- ";
        char field[96];
        std::snprintf(field, sizeof(field), "%3d %2ld.%06ld ID: 0x%02X DLC: %d MSG:", number,
                      static_cast<long>(e.time.tv_sec), e.time.tv_nsec / 1000,
                      static_cast<unsigned>(e.frame.can_id), e.frame.can_dlc);
        line += field;
        const int bytes = e.frame.can_dlc < 8 ? e.frame.can_dlc : 8;
        for (int i = 0; i < bytes; ++i) {
            std::snprintf(field, sizeof(field), " %02X", e.frame.data[i]);
            line += field;
        }
        if (e.error != 0) {
            line += " ERROR: " + SystemErrorText(e.error);
        }
        log->add(line);
    }
}
