// The camera frame assembler fed in chunks whose sizes come from the input, with every
// frame parsed as a camera with images enabled parses it (result fields and BMP).
//
// Input: byte 0 selects whether an exactly full buffer throws; byte 1 seeds the chunk
// sizes; the rest is the byte stream from the camera.

#include "vision/CameraFrameAssembler.h"
#include "vision/CameraIFMO2D.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace {

class FuzzCamera : public Camera::CameraIFMO2D {
public:
    FuzzCamera() : CameraIFMO2D("Fuzz") {
        ImageEnabled.store(true);
        Up = DataTypes::Vector3(1, 0, 0);
        Look = DataTypes::Vector3(0, 0, 1);
        CreateTransferMatrix();
        connected.store(true);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static FuzzCamera camera;
    static Camera::CameraFrameAssembler strict(true);
    static Camera::CameraFrameAssembler lenient(false);
    Camera::CameraFrameAssembler& assembler = (data[0] & 1) != 0 ? strict : lenient;
    assembler.Reset();

    const auto handler = [](char* frame, unsigned length) {
        // Every frame starts at its marker and fits the buffer.
        if (length < 9 || length > Camera::CameraFrameAssembler::BufferSize || std::memcmp(frame, "0000start", 9) != 0) {
            __builtin_trap();
        }
        camera.ParseMessage(frame, length);
        DataTypes::Vector3 pos;
        DataTypes::Vector3 ori;
        int model = 0;
        camera.GetTargetPos(pos, ori, model);
    };

    uint32_t state = 0x9E3779B9u ^ data[1];
    size_t at = 2;
    while (at < size) {
        state = state * 1664525u + 1013904223u;
        const uint32_t r = state >> 8;
        size_t n = (r & 3) == 0 ? 1 + (r >> 2) % 16 : 1 + (r >> 2) % 9000;
        if (n > size - at) n = size - at;
        try {
            assembler.Feed(reinterpret_cast<const char*>(data + at), n, handler);
        } catch (const std::out_of_range&) {
            assembler.Reset();  // the camera renews its connection
        }
        at += n;
    }
    return 0;
}
