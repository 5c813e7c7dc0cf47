#pragma once

// Bounded queue of finished log lines between the threads that log and the one thread
// that writes them out. Lines are packed one after another into a fixed byte buffer, so
// queuing a line never allocates. A full queue refuses the newest line and counts it;
// the count travels with the next line that fits, or is taken once the queue is empty.
//
// The queue has no lock of its own: its owner serialises every call with one mutex. The
// line Front() hands out stays in place, unchanged, until PopFront(), so the consumer may
// read it after releasing that mutex.

#include <cstddef>
#include <cstdint>
#include <memory>

class LogLineQueue {
public:
    // Longest text of one line; longer text is cut.
    static constexpr size_t kMaxTextBytes = 4096;

    struct Line {
        std::uint64_t seq = 0;            // the owner's number of the line
        std::uint64_t droppedBefore = 0;  // lines refused since the previous line that fitted
        bool toStderr = false;
        bool consoleOnly = false;  // standard output only: not in the files
        const char* text = nullptr;  // head, body and a line end
        size_t length = 0;
    };

    // capacityBytes is rounded up to a multiple of 8.
    explicit LogLineQueue(size_t capacityBytes);
    LogLineQueue(const LogLineQueue&) = delete;
    LogLineQueue& operator=(const LogLineQueue&) = delete;

    // Queues head + body (cut to kMaxTextBytes) + "\n"; false when it does not fit.
    bool Push(std::uint64_t seq, bool toStderr, const char* head, size_t headLength, const char* body,
              size_t bodyLength, bool consoleOnly = false);
    // The oldest line, false when the queue is empty.
    bool Front(Line* line);
    void PopFront();
    // Reading several lines at once: Begin() is the oldest line's place; Next() hands out
    // the line at *cursor and moves it on (false at the end); PopTo(cursor) removes every
    // line before cursor.
    std::uint64_t Begin() const { return tail; }
    bool Next(std::uint64_t* cursor, Line* line) const;
    void PopTo(std::uint64_t cursor);
    bool MoreThanHalfFull() const;
    // Drops every line and the count of refused ones.
    void Clear();
    // Lines refused since the last line that fitted; the count starts again at 0.
    std::uint64_t TakeDropped();

    // Buffer bytes a line of length bytes (line end included) takes.
    static size_t RecordBytes(size_t length);

private:
    struct Header {
        std::uint64_t seq;
        std::uint64_t droppedBefore;
        std::uint32_t length;
        std::uint32_t flags;
    };
    static constexpr std::uint32_t kStderr = 1;
    static constexpr std::uint32_t kWrap = 2;  // the rest of the buffer is unused
    static constexpr std::uint32_t kConsoleOnly = 4;

    char* At(std::uint64_t position) const {
        return reinterpret_cast<char*>(buffer.get()) + position % capacity;
    }

    size_t capacity;
    std::unique_ptr<std::uint64_t[]> buffer;  // 8-byte aligned records
    std::uint64_t head = 0;  // byte positions, only ever growing
    std::uint64_t tail = 0;
    std::uint64_t dropped = 0;
};
