#pragma once

// Camera images and their HVP payload. Cameras send 8-bit palette BMP files inside their
// result frames; Bitmap8BppIndexed parses one from memory, and Image::EncodeHVP turns an
// image into the base64 text that "CAMINFO CameraImage " lines carry: a one-byte marker
// (0x11 gzip, 0x10 raw), then the image data block (width, height, width as u32
// little-endian, one grey byte per pixel row after row), gzip-compressed or raw.

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

namespace Imaging {

// One palette entry: the four file bytes in file order (blue, green, red, reserved).
struct ColorARGB {
    uint8_t B = 0;
    uint8_t G = 0;
    uint8_t R = 0;
    uint8_t A = 0;
};

class Image {
public:
    Image(unsigned width, unsigned height);
    Image(const Image&) = default;
    Image& operator=(const Image&) = default;
    virtual ~Image();

    // Fills out with the HVP payload as base64 text and a terminating NUL, or clears it
    // when there is nothing to send (no pixels, compression failed).
    virtual void EncodeHVP(std::vector<char>& out, bool compress) const = 0;

    unsigned GetWidth() const { return width; }
    unsigned GetHeight() const { return height; }
    time_t GetCreationTime() const { return creationTime; }

    // Payload of the n-byte image data block, base64-encoded into out (text + NUL); out is
    // cleared when compression fails.
    void ImageDataToHVPGrayScale(unsigned char* data, unsigned n, std::vector<char>& out, bool compress) const;
    // One gzip stream of the n input bytes into out; returns the bytes written plus one,
    // 0 on failure (logged).
    unsigned CompressDataGZip(unsigned char* in, unsigned n, unsigned char* out, unsigned capacity) const;
    // Base64 text of the n bytes and a NUL into out; returns the text length plus one.
    // out must hold ceil(n / 3) * 4 + 1 bytes.
    unsigned EncodeDataB64(const unsigned char* in, unsigned n, char* out) const;
    // Room a gzip stream of n bytes may need at most.
    static unsigned GZipBound(unsigned n);

protected:
    uint32_t width;
    uint32_t height;
    time_t creationTime;
};

class Bitmap8BppIndexed : public Image {
public:
    // Parses the file; a malformed one throws std::invalid_argument.
    Bitmap8BppIndexed(const unsigned char* data, unsigned length);
    Bitmap8BppIndexed(const Bitmap8BppIndexed& other);
    Bitmap8BppIndexed& operator=(const Bitmap8BppIndexed& other);
    Bitmap8BppIndexed(Bitmap8BppIndexed&& other) noexcept;
    Bitmap8BppIndexed& operator=(Bitmap8BppIndexed&& other) noexcept;
    ~Bitmap8BppIndexed() override;

    // Reads an uncompressed 8-bit BMP of length bytes; every read stays inside them.
    // Throws std::invalid_argument and leaves the image as it was on any fault.
    void Parse(const unsigned char* data, unsigned length);
    // Palette entry of the pixel at column x, row y. Throws std::runtime_error without
    // pixel data and std::out_of_range for a point outside the image.
    const ColorARGB& GetPixel(unsigned x, unsigned y) const;
    bool HasPixels() const { return pixels != nullptr; }
    const std::array<ColorARGB, 256>& GetPalette() const { return palette; }

    static uint16_t Read2Byte(const unsigned char* p);
    static uint32_t Read4Byte(const unsigned char* p);

    void EncodeHVP(std::vector<char>& out, bool compress) const override;

private:
    std::array<ColorARGB, 256> palette{};
    std::unique_ptr<unsigned char[]> pixels;
};

}  // namespace Imaging
