#pragma once

// Splits the byte stream of one HVP client into frames: bytes before "HVPSTART" are
// skipped, a frame ends with the first "HVPEND" after its start, and a frame that reaches
// kMaxFrame bytes (both markers included) without it is dropped; the search for the next
// "HVPSTART" then resumes with the following byte. Bytes may arrive in any chunks.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace Remote {

class HvpFrameReader {
public:
    static constexpr std::size_t kMaxFrame = 1019;

    // A complete frame (the view is valid during the call only).
    using FrameHandler = std::function<void(std::string_view frame)>;
    // A frame dropped for its length.
    using OverflowHandler = std::function<void()>;

    HvpFrameReader();

    // Feeds bytes; calls onFrame for each completed frame, in order. An exception from
    // onFrame leaves the reader after that frame and propagates.
    void Feed(const char* data, std::size_t size, const FrameHandler& onFrame,
              const OverflowHandler& onOverflow);

    // True between a frame's "HVPSTART" and its "HVPEND".
    bool InFrame() const { return inFrame; }
    void Reset();

private:
    std::string buffer;  // the frame so far, or the last bytes of the head search
    bool inFrame = false;
};

}  // namespace Remote
