#include "simbus/FrameRecorder.h"

namespace SimBus {

void FrameRecorder::SetCapacity(std::size_t frames) {
    capacity = frames;
    while (recorded.size() > capacity) {
        recorded.pop_front();
    }
}

void FrameRecorder::Add(const can_frame& frame, Clock::time_point time) {
    ++count;
    if (capacity > 0) {
        if (recorded.size() >= capacity) {
            recorded.pop_front();
        }
        recorded.push_back(ReceivedFrame{frame, time});
    }
}

void FrameRecorder::Clear() {
    recorded.clear();
    count = 0;
}

std::vector<ReceivedFrame> FrameRecorder::Frames() const {
    return std::vector<ReceivedFrame>(recorded.begin(), recorded.end());
}

}  // namespace SimBus
