#include "vision/CameraFrameAssembler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace Camera {

namespace {

const std::string kStart = "0000start";
const std::string kStop = "stop";
const std::string kImage = "#BMP#";
// Enough to hold all but the last byte of a "0000start" split between two reads.
constexpr std::size_t kCarry = 8;

}  // namespace

CameraFrameAssembler::CameraFrameAssembler(bool exactFillThrows)
    : exactFillThrows(exactFillThrows), buffer(BufferSize) {}

void CameraFrameAssembler::Reset() {
    length = 0;
    carry = 0;
    scanFrom = 0;
}

long CameraFrameAssembler::Find(const char* data, std::size_t size, const std::string& pattern) {
    if (data == nullptr || pattern.empty() || pattern.size() > size) return -1;
    const void* hit = ::memmem(data, size, pattern.data(), pattern.size());
    return hit == nullptr ? -1 : static_cast<const char*>(hit) - data;
}

bool CameraFrameAssembler::FindImageBlock(const char* frame, std::size_t size, std::size_t& imageStart,
                                          long& count) {
    const std::size_t header = std::min(size, HeaderBytes);
    const long marker = Find(frame, header, kImage);
    if (marker < 0) return false;
    const std::size_t digits = static_cast<std::size_t>(marker) + kImage.size();
    const void* close = digits < header ? std::memchr(frame + digits, '#', header - digits) : nullptr;
    if (close == nullptr) return false;
    const std::size_t end = static_cast<const char*>(close) - frame;
    // The frame is not terminated: convert a terminated copy of the digits.
    char text[HeaderBytes + 1];
    const std::size_t n = end - digits;
    std::memcpy(text, frame + digits, n);
    text[n] = '\0';
    count = std::strtol(text, nullptr, 10);
    imageStart = end + 1;
    return true;
}

int CameraFrameAssembler::Feed(const char* data, std::size_t size, const FrameHandler& handler) {
    int dropped = 0;
    while (size > 0) {
        const std::size_t n = std::min(size, ChunkSize);
        dropped += FeedPiece(data, n, handler);
        data += n;
        size -= n;
    }
    return dropped;
}

int CameraFrameAssembler::FeedPiece(const char* data, std::size_t n, const FrameHandler& handler) {
    if (length == 0) {
        // No frame open: look for its start in the kept tail and the new bytes together.
        std::memcpy(buffer.data() + carry, data, n);
        const std::size_t total = carry + n;
        const long start = Find(buffer.data(), total, kStart);
        if (start < 0) {
            // Keep the tail in case a "0000start" is split after it.
            carry = std::min(total, kCarry);
            std::memmove(buffer.data(), buffer.data() + total - carry, carry);
            return 0;
        }
        carry = 0;
        length = total;
        StartFrameAt(static_cast<std::size_t>(start));
    } else {
        const std::size_t total = length + n;
        if (total > BufferSize) {
            // The frame cannot be held: drop it and look for the next start afresh.
            length = 0;
            scanFrom = 0;
            carry = std::min(n, kCarry);
            std::memcpy(buffer.data(), data + n - carry, carry);
            return 1;
        }
        if (total == BufferSize && exactFillThrows) {
            throw std::out_of_range("CameraItf: Received message is bigger than buffer (2)");
        }
        std::memcpy(buffer.data() + length, data, n);
        length = total;
    }
    Cut(handler);
    return 0;
}

void CameraFrameAssembler::StartFrameAt(std::size_t offset) {
    if (offset > 0) std::memmove(buffer.data(), buffer.data() + offset, length - offset);
    length -= offset;
    scanFrom = 0;
}

void CameraFrameAssembler::Cut(const FrameHandler& handler) {
    while (length > 0) {
        char* data = buffer.data();
        long stop = -1;
        bool searched = false;
        const long marker = Find(data, std::min(length, HeaderBytes), kImage);
        if (marker >= 0) {
            // A "stop" before the image block ends this frame; the block is the next one's.
            stop = Find(data, static_cast<std::size_t>(marker), kStop);
            if (stop < 0) {
                std::size_t imageStart = 0;
                long count = 0;
                if (FindImageBlock(data, length, imageStart, count)) {
                    const std::size_t bytes = static_cast<std::size_t>(std::clamp<long>(count, 0, BufferSize));
                    const std::size_t from = std::max(imageStart + bytes, scanFrom);
                    if (from < length) {
                        const long hit = Find(data + from, length - from, kStop);
                        if (hit >= 0) stop = static_cast<long>(from + hit);
                    }
                    if (stop < 0) {
                        scanFrom = std::max(from, length >= kStop.size() ? length - kStop.size() + 1 : 0);
                        return;
                    }
                    searched = true;
                } else if (length < HeaderBytes) {
                    return;  // the block's count is not complete yet
                }
            } else {
                searched = true;
            }
        }
        if (!searched) {
            const long hit = scanFrom < length ? Find(data + scanFrom, length - scanFrom, kStop) : -1;
            if (hit < 0) {
                scanFrom = length >= kStop.size() ? length - kStop.size() + 1 : 0;
                return;
            }
            stop = static_cast<long>(scanFrom + hit);
        }

        handler(data, static_cast<unsigned>(stop));

        const std::size_t at = static_cast<std::size_t>(stop);
        const long next = Find(data + at, length - at, kStart);
        if (next < 0) {
            // Keep the tail in case the next frame's "0000start" is split after it.
            const std::size_t rest = length - at - kStop.size();
            carry = std::min(rest, kCarry);
            std::memmove(data, data + length - carry, carry);
            length = 0;
            scanFrom = 0;
            return;
        }
        StartFrameAt(at + static_cast<std::size_t>(next));
    }
}

}  // namespace Camera
