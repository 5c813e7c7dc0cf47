#pragma once

// Builds 8-bit palette BMP files as cameras send them: 54-byte header, a grey palette
// (entry i = i, i, i, 0), then width x height index bytes row after row, no padding.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace TestSupport {

inline void PutLE32(std::vector<unsigned char>& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

inline void PutLE16(std::vector<unsigned char>& bytes, size_t offset, uint16_t value) {
    bytes[offset] = static_cast<unsigned char>(value);
    bytes[offset + 1] = static_cast<unsigned char>(value >> 8);
}

// pixels holds width x height palette indices; colours is the palette size written (and
// stored in the colours-used field, 0 meaning 256).
inline std::vector<unsigned char> MakeGreyBmp(uint32_t width, uint32_t height, const std::vector<unsigned char>& pixels,
                                              uint32_t colours = 256) {
    const uint32_t paletteEntries = colours == 0 ? 256 : colours;
    const uint32_t dataOffset = 54 + 4 * paletteEntries;
    std::vector<unsigned char> bytes(dataOffset, 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    PutLE32(bytes, 10, dataOffset);
    PutLE32(bytes, 14, 40);  // info header size
    PutLE32(bytes, 18, width);
    PutLE32(bytes, 22, height);
    PutLE16(bytes, 26, 1);  // planes
    PutLE16(bytes, 28, 8);  // bits per pixel
    PutLE32(bytes, 34, static_cast<uint32_t>(pixels.size()));
    PutLE32(bytes, 46, colours);
    for (uint32_t i = 0; i < paletteEntries; ++i) {
        const auto grey = static_cast<unsigned char>(i);
        bytes[54 + 4 * i] = grey;
        bytes[55 + 4 * i] = grey;
        bytes[56 + 4 * i] = grey;
    }
    bytes.insert(bytes.end(), pixels.begin(), pixels.end());
    PutLE32(bytes, 2, static_cast<uint32_t>(bytes.size()));
    return bytes;
}

}  // namespace TestSupport
