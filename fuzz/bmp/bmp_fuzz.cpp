// BMP bytes from a camera frame: the parser must refuse bad files with
// std::invalid_argument and never read outside the given bytes; a parsed image encodes.
#include "vision/Imaging.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 20) return 0;
    // An exact copy, so that a read past the end is seen by the sanitizer.
    std::vector<unsigned char> bytes(data, data + size);
    try {
        Imaging::Bitmap8BppIndexed bitmap(bytes.data(), static_cast<unsigned>(bytes.size()));
        const unsigned width = bitmap.GetWidth();
        const unsigned height = bitmap.GetHeight();
        if (width == 0 || height == 0 || !bitmap.HasPixels()) std::abort();
        (void)bitmap.GetPixel(width - 1, height - 1);
        try {
            (void)bitmap.GetPixel(width, 0);
            std::abort();
        } catch (const std::out_of_range&) {
        }
        std::vector<char> out;
        bitmap.EncodeHVP(out, false);
        // Raw: marker + 12-byte header + pixels, base64 and a NUL.
        const size_t raw = 1 + 12 + static_cast<size_t>(width) * height;
        if (out.size() != (raw + 2) / 3 * 4 + 1 || out.back() != '\0') std::abort();
        if (static_cast<size_t>(width) * height <= 65536) {
            bitmap.EncodeHVP(out, true);
            if (out.empty() || out.back() != '\0') std::abort();
        }
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
