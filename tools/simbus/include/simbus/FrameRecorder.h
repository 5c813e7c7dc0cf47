#pragma once

// The frames a simulator received, oldest first, with their reception times. Not locked:
// the owner guards it with its own lock.

#include "simbus/BusEndpoint.h"

#include <linux/can.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace SimBus {

struct ReceivedFrame {
    can_frame frame{};
    Clock::time_point time{};
};

class FrameRecorder {
public:
    explicit FrameRecorder(std::size_t capacity) : capacity(capacity) {}

    // Frames kept; older ones are dropped beyond it, and 0 keeps none.
    void SetCapacity(std::size_t frames);
    // Counts the frame and keeps it.
    void Add(const can_frame& frame, Clock::time_point time);
    void Clear();
    std::vector<ReceivedFrame> Frames() const;
    // The kept frames for which keep(frame) holds.
    template <typename Predicate>
    std::vector<ReceivedFrame> Select(Predicate keep) const {
        std::vector<ReceivedFrame> result;
        for (const ReceivedFrame& entry : recorded) {
            if (keep(entry.frame)) {
                result.push_back(entry);
            }
        }
        return result;
    }
    // Frames added since construction or the last Clear, dropped ones included.
    std::uint64_t Count() const { return count; }

private:
    std::deque<ReceivedFrame> recorded;
    std::size_t capacity;
    std::uint64_t count = 0;
};

}  // namespace SimBus
