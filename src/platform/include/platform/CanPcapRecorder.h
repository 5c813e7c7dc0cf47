#pragma once

// Records CAN frames to a pcap file (link type 227, LINKTYPE_CAN_SOCKETCAN, identifier word
// big-endian, realtime time stamps) on a writer thread of its own. Add() stamps the frame
// and queues it; the writer writes a batch about every 100 ms. A write that waits for a
// busy disk therefore never holds the caller, the hub's relay: while the relay waits, it
// reads no endpoint, and their frames would be refused.
//
// A backlog beyond kMaxBacklog records (the disk stalled for minutes at bus load) drops the
// newest frames and counts them.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Platform {

// LINKTYPE_CAN_SOCKETCAN
constexpr std::uint32_t kPcapLinkTypeCanSocketCan = 227;

class CanPcapRecorder {
public:
    static constexpr std::size_t kMaxBacklog = std::size_t{1} << 18;  // 8 MiB of records

    CanPcapRecorder() = default;
    ~CanPcapRecorder();  // Close()
    CanPcapRecorder(const CanPcapRecorder&) = delete;
    CanPcapRecorder& operator=(const CanPcapRecorder&) = delete;

    // Creates the file, writes its header and starts the writer. Returns 0 or an errno
    // value; EBUSY while a file is open.
    int Open(const std::string& path);
    // Queues one 16-byte can_frame record, stamped now. Does nothing while closed.
    void Add(const unsigned char* record);
    // Writes what is queued, then closes the file. Safe to call more than once.
    void Close();
    bool IsOpen() const { return writer.joinable(); }
    // Frames dropped because the backlog was full, since Open.
    std::uint64_t DroppedCount() const { return dropped.load(); }

private:
    struct Entry {
        std::uint32_t seconds;
        std::uint32_t microseconds;
        unsigned char frame[16];
    };

    void Run();
    void WriteEntries(const std::vector<Entry>& entries);

    std::FILE* file = nullptr;  // the writer thread's while it runs
    std::thread writer;
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<Entry> pending;  // under mutex
    bool stopping = true;        // under mutex; true while closed
    std::atomic<std::uint64_t> dropped{0};
};

}  // namespace Platform
