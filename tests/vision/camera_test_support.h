#pragma once

// Helpers of the camera tests: polling waits, a camera that records the pixel position of
// every pass frame it parses, and the decoding of an HVP image payload.

#include "vision/CameraBinPicking.h"
#include "vision/CameraIFMO2D.h"

#include "core/Base64.h"
#include "testsupport/WaitUntil.h"

#include <zlib.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace CameraTest {

inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    return TestSupport::WaitUntil(condition, timeoutMs, 5);
}

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Base is CameraIFMO2D or CameraBinPicking, configured for 127.0.0.1:port with the camera
// looking down the robot's z axis (Up x, Look z, ZDistance 100).
template <class Base>
class Recording : public Base {
public:
    Recording(const std::string& name, int port) : Base(name) {
        this->IP = "127.0.0.1";
        this->Port = port;
        this->Up = DataTypes::Vector3(1, 0, 0);
        this->Look = DataTypes::Vector3(0, 0, 1);
        this->ZDistance = 100.0;
        this->Active.store(true);
    }
    ~Recording() override { this->Stop(); }

    int TransformPixelToMM(int x, int y, double angle) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            xs.push_back(x);
        }
        return Base::TransformPixelToMM(x, y, angle);
    }
    std::vector<int> Xs() const {
        std::lock_guard<std::mutex> lock(mutex);
        return xs;
    }
    size_t Passes() const { return Xs().size(); }

private:
    mutable std::mutex mutex;
    std::vector<int> xs;
};

using RecordingO2D = Recording<Camera::CameraIFMO2D>;
using RecordingBinPicking = Recording<Camera::CameraBinPicking>;

inline std::string PassFrame(int model, int x, int y, double angle) {
    char frame[128];
    std::snprintf(frame, sizeof(frame), "0000startPASS#1.0#0#%d#%d#%d#%.1f#0.0stop", model, x, y, angle);
    return frame;
}

// The image data block of an HVP payload (base64 text, possibly with its trailing NUL):
// marker 0x11, then a gzip stream.
inline std::vector<unsigned char> DecodePayload(std::string text) {
    if (!text.empty() && text.back() == '\0') text.pop_back();
    const std::vector<unsigned char> bytes = Base64::Decode(text);
    if (bytes.empty() || bytes[0] != 0x11) throw std::runtime_error("payload is not compressed");
    z_stream stream{};
    if (inflateInit2(&stream, 31) != Z_OK) throw std::runtime_error("inflateInit2");
    std::vector<unsigned char> out(1 << 20);
    stream.next_in = const_cast<unsigned char*>(bytes.data() + 1);
    stream.avail_in = static_cast<uInt>(bytes.size() - 1);
    std::vector<unsigned char> block;
    int rc;
    do {
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        rc = inflate(&stream, Z_NO_FLUSH);
        block.insert(block.end(), out.data(), out.data() + (out.size() - stream.avail_out));
    } while (rc == Z_OK);
    inflateEnd(&stream);
    if (rc != Z_STREAM_END) throw std::runtime_error("gzip stream broken");
    return block;
}

inline uint32_t LE32(const std::vector<unsigned char>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

}  // namespace CameraTest
