// Text from the camera plug-in's socket: the scan reads a terminated copy of at most one
// receive and accepts only a PASS frame whose seven fields all convert.
#include "vision/PluginCameraIFMO2D.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact copy without a terminator, as the bytes come from the socket.
    std::vector<char> bytes(data, data + size);
    const PluginFramework::CameraMessage message =
        PluginFramework::CameraIFMO2D::ScanMessage(bytes.data(), bytes.size());
    if (message.pass) {
        if (size < 13 || std::memcmp(bytes.data(), "0000startPASS", 13) != 0) std::abort();
        if (!std::isfinite(message.rotation)) std::abort();
    }
    return 0;
}
