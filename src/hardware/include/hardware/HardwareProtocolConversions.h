#pragma once

// Frame field helpers of the maker's protocols: big-endian fields and float-to-integer
// conversions that truncate toward zero and saturate at the field's range instead of
// wrapping (a wrapped position or velocity would send a drive the other way).

#include <cmath>
#include <cstdint>
#include <limits>

namespace Hardware {

template <typename Int>
Int SaturateTo(double v, Int nanValue = 0) {
    if (std::isnan(v)) return nanValue;
    const double t = std::trunc(v);
    if (t <= static_cast<double>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
    if (t >= static_cast<double>(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
    return static_cast<Int>(t);
}

inline std::int32_t SaturateToInt32(double v) { return SaturateTo<std::int32_t>(v); }
inline std::int16_t SaturateToInt16(double v) { return SaturateTo<std::int16_t>(v); }
inline std::uint8_t SaturateToUint8(double v, std::uint8_t nanValue) {
    return SaturateTo<std::uint8_t>(v, nanValue);
}

inline std::int32_t ReadBigEndianInt32(const unsigned char* p) {
    const std::uint32_t u = (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
                            (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
    return static_cast<std::int32_t>(u);
}

inline int ReadBigEndianUint16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

inline void WriteBigEndianInt32(unsigned char* p, std::int32_t value) {
    const std::uint32_t u = static_cast<std::uint32_t>(value);
    p[0] = static_cast<unsigned char>(u >> 24);
    p[1] = static_cast<unsigned char>(u >> 16);
    p[2] = static_cast<unsigned char>(u >> 8);
    p[3] = static_cast<unsigned char>(u);
}

inline void WriteBigEndianInt16(unsigned char* p, std::int16_t value) {
    const std::uint16_t u = static_cast<std::uint16_t>(value);
    p[0] = static_cast<unsigned char>(u >> 8);
    p[1] = static_cast<unsigned char>(u);
}

}  // namespace Hardware
