#pragma once

// CAN frames for tests of the bus, its backends and the simulators (header-only).

#include <linux/can.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace TestSupport {

// A data frame with the given id and payload (at most 8 bytes).
inline can_frame MakeFrame(canid_t id, const std::vector<std::uint8_t>& bytes) {
    can_frame frame{};
    frame.can_id = id;
    frame.can_dlc = static_cast<__u8>(std::min<std::size_t>(bytes.size(), 8));
    std::copy_n(bytes.begin(), frame.can_dlc, frame.data);
    return frame;
}

}  // namespace TestSupport
