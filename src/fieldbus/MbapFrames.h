#pragma once

// The bytes one client connection has sent and not yet had answered, cut into whole
// requests by the MBAP header's length field. The listener reads each socket without
// blocking into its buffer and answers a request only once all of it is there, so a
// client that stops half-way holds no one but itself.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Modbus {

class MbapFrames {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kHeaderLength = 6;  // transaction, protocol, length
    static constexpr int kMaxFrame = 260;    // the largest Modbus TCP request
    // Two whole requests fit: reading goes on while one waits for its answer.
    static constexpr int kCapacity = 2 * kMaxFrame;

    enum class Front { Incomplete, Complete, Invalid };

    std::uint8_t* Space() { return bytes + used; }
    std::size_t SpaceLeft() const { return kCapacity - used; }
    void Added(std::size_t count, Clock::time_point now) {
        used += count;
        lastBytes = now;
    }
    bool Empty() const { return used == 0; }
    Clock::time_point LastBytes() const { return lastBytes; }

    // Whether the first request is all there. Invalid: its length field cannot be a
    // request's (below unit and function code, or beyond the largest request).
    Front Check() const {
        if (used < kHeaderLength) return Front::Incomplete;
        const int length = LengthField();
        if (length < 2 || kHeaderLength + length > kMaxFrame) return Front::Invalid;
        return used >= static_cast<std::size_t>(kHeaderLength + length) ? Front::Complete : Front::Incomplete;
    }
    int LengthField() const { return (bytes[4] << 8) | bytes[5]; }
    // The first request (valid while Check() is Complete) and its length.
    const std::uint8_t* Frame() const { return bytes; }
    int FrameLength() const { return kHeaderLength + LengthField(); }

    // Drops the first request; the bytes after it move to the front.
    void Consume() {
        const std::size_t length = static_cast<std::size_t>(FrameLength());
        std::memmove(bytes, bytes + length, used - length);
        used -= length;
    }
    void Clear() { used = 0; }

private:
    std::uint8_t bytes[kCapacity] = {};
    std::size_t used = 0;
    Clock::time_point lastBytes{};
};

}  // namespace Modbus
