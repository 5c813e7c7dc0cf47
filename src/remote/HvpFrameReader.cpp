#include "remote/HvpFrameReader.h"

#include <cstring>

namespace Remote {

namespace {
constexpr char kStart[] = "HVPSTART";
constexpr std::size_t kStartLength = 8;
constexpr char kEnd[] = "HVPEND";
constexpr std::size_t kEndLength = 6;
}  // namespace

HvpFrameReader::HvpFrameReader() { buffer.reserve(kMaxFrame + 1); }

void HvpFrameReader::Reset() {
    buffer.clear();
    inFrame = false;
}

void HvpFrameReader::Feed(const char* data, std::size_t size, const FrameHandler& onFrame,
                          const OverflowHandler& onOverflow) {
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        buffer.push_back(c);
        if (!inFrame) {
            // Keep the last 8 bytes read: the head search compares them with "HVPSTART".
            if (buffer.size() > kStartLength) buffer.erase(0, buffer.size() - kStartLength);
            if (buffer.size() == kStartLength && std::memcmp(buffer.data(), kStart, kStartLength) == 0) {
                inFrame = true;
            }
            continue;
        }
        if (buffer.size() >= kStartLength + kEndLength &&
            std::memcmp(buffer.data() + buffer.size() - kEndLength, kEnd, kEndLength) == 0) {
            inFrame = false;
            std::string frame;
            frame.swap(buffer);
            buffer.reserve(kMaxFrame + 1);
            onFrame(frame);
            continue;
        }
        if (buffer.size() >= kMaxFrame) {
            buffer.clear();
            inFrame = false;
            if (onOverflow) onOverflow();
        }
    }
}

}  // namespace Remote
