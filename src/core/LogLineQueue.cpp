#include "core/LogLineQueue.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t Align8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

}  // namespace

LogLineQueue::LogLineQueue(size_t capacityBytes)
    : capacity(Align8(std::max<size_t>(capacityBytes, 64))),
      // Value-initialised: every page is touched now, not by a caller's first lines.
      buffer(new std::uint64_t[capacity / 8]()) {}

size_t LogLineQueue::RecordBytes(size_t length) { return Align8(sizeof(Header) + length); }

bool LogLineQueue::Push(std::uint64_t seq, bool toStderr, const char* headText, size_t headLength,
                        const char* body, size_t bodyLength, bool consoleOnly) {
    bodyLength = std::min(bodyLength, kMaxTextBytes);
    const size_t length = headLength + bodyLength + 1;
    const size_t record = RecordBytes(length);
    const size_t at = static_cast<size_t>(head % capacity);
    // A record never wraps: when it does not fit before the end, the end stays unused.
    const size_t skip = capacity - at < record ? capacity - at : 0;
    if (head - tail + skip + record > capacity) {
        ++dropped;
        return false;
    }
    if (skip > 0) {
        if (skip >= sizeof(Header)) {
            Header marker{};
            marker.flags = kWrap;
            std::memcpy(At(head), &marker, sizeof(marker));
        }
        head += skip;
    }
    const std::uint32_t flags = (toStderr ? kStderr : 0u) | (consoleOnly ? kConsoleOnly : 0u);
    Header header{seq, dropped, static_cast<std::uint32_t>(length), flags};
    char* place = At(head);
    std::memcpy(place, &header, sizeof(header));
    char* text = place + sizeof(header);
    std::memcpy(text, headText, headLength);
    std::memcpy(text + headLength, body, bodyLength);
    text[length - 1] = '\n';
    head += record;
    dropped = 0;
    return true;
}

bool LogLineQueue::Next(std::uint64_t* cursor, Line* line) const {
    std::uint64_t at = *cursor;
    while (at != head) {
        const size_t offset = static_cast<size_t>(at % capacity);
        if (capacity - offset < sizeof(Header)) {
            at += capacity - offset;
            continue;
        }
        Header header;
        std::memcpy(&header, At(at), sizeof(header));
        if ((header.flags & kWrap) != 0) {
            at += capacity - offset;
            continue;
        }
        line->seq = header.seq;
        line->droppedBefore = header.droppedBefore;
        line->toStderr = (header.flags & kStderr) != 0;
        line->consoleOnly = (header.flags & kConsoleOnly) != 0;
        line->text = At(at) + sizeof(Header);
        line->length = header.length;
        *cursor = at + RecordBytes(header.length);
        return true;
    }
    *cursor = at;
    return false;
}

void LogLineQueue::PopTo(std::uint64_t cursor) {
    tail = cursor;
    // Empty: start again at the beginning, so the next lines need no skip at the end.
    if (tail == head) head = tail = 0;
}

bool LogLineQueue::Front(Line* line) {
    std::uint64_t cursor = tail;
    return Next(&cursor, line);
}

void LogLineQueue::PopFront() {
    std::uint64_t cursor = tail;
    Line line;
    if (Next(&cursor, &line)) PopTo(cursor);
}

void LogLineQueue::Clear() {
    head = tail = 0;
    dropped = 0;
}

bool LogLineQueue::MoreThanHalfFull() const { return head - tail > capacity / 2; }

std::uint64_t LogLineQueue::TakeDropped() {
    const std::uint64_t count = dropped;
    dropped = 0;
    return count;
}
