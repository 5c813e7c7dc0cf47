#include "platform/CanPcapRecorder.h"

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <system_error>

namespace Platform {

namespace {

constexpr auto kFlushInterval = std::chrono::milliseconds(100);
constexpr std::size_t kRecordSize = 16;

void WritePcapHeader(std::FILE* file) {
    struct {
        std::uint32_t magic;
        std::uint16_t versionMajor;
        std::uint16_t versionMinor;
        std::int32_t thisZone;
        std::uint32_t sigFigs;
        std::uint32_t snapLen;
        std::uint32_t linkType;
    } header{0xa1b2c3d4u, 2, 4, 0, 0, 65535, kPcapLinkTypeCanSocketCan};
    static_assert(sizeof(header) == 24, "pcap file header is 24 bytes");
    std::fwrite(&header, sizeof(header), 1, file);
}

}  // namespace

CanPcapRecorder::~CanPcapRecorder() { Close(); }

int CanPcapRecorder::Open(const std::string& path) {
    if (IsOpen()) {
        return EBUSY;
    }
    std::FILE* opened = std::fopen(path.c_str(), "wb");
    if (opened == nullptr) {
        return errno;
    }
    WritePcapHeader(opened);
    std::fflush(opened);
    file = opened;
    dropped.store(0);
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = false;
        pending.clear();
        pending.reserve(4096);
    }
    try {
        writer = std::thread(&CanPcapRecorder::Run, this);
    } catch (const std::system_error& e) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        std::fclose(file);
        file = nullptr;
        return e.code().value();
    }
    return 0;
}

void CanPcapRecorder::Add(const unsigned char* record) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    Entry entry{static_cast<std::uint32_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec / 1000), {}};
    std::memcpy(entry.frame, record, kRecordSize);
    // This link type carries the identifier word in network byte order; the rest of the
    // record is the same as struct can_frame.
    std::uint32_t id;
    std::memcpy(&id, entry.frame, sizeof(id));
    id = htonl(id);
    std::memcpy(entry.frame, &id, sizeof(id));

    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) {
        return;  // closed
    }
    if (pending.size() >= kMaxBacklog) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const bool first = pending.empty();
    pending.push_back(entry);
    if (first) {
        wake.notify_one();  // once per batch
    }
}

void CanPcapRecorder::Close() {
    if (!writer.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    writer.join();
    std::fclose(file);
    file = nullptr;
}

void CanPcapRecorder::Run() {
    std::vector<Entry> batch;
    batch.reserve(4096);
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
        wake.wait(lock, [&] { return stopping || !pending.empty(); });
        // Gather a batch for up to one flush interval: one write per batch, not per frame.
        wake.wait_for(lock, kFlushInterval, [&] { return stopping; });
        batch.swap(pending);
        const bool last = stopping;
        lock.unlock();
        WriteEntries(batch);
        batch.clear();
        lock.lock();
        if (last && pending.empty()) {
            return;
        }
    }
}

void CanPcapRecorder::WriteEntries(const std::vector<Entry>& entries) {
    for (const Entry& e : entries) {
        struct {
            std::uint32_t seconds;
            std::uint32_t microseconds;
            std::uint32_t capturedLength;
            std::uint32_t originalLength;
        } header{e.seconds, e.microseconds, static_cast<std::uint32_t>(kRecordSize),
                 static_cast<std::uint32_t>(kRecordSize)};
        std::fwrite(&header, sizeof(header), 1, file);
        std::fwrite(e.frame, sizeof(e.frame), 1, file);
    }
    std::fflush(file);
}

}  // namespace Platform
