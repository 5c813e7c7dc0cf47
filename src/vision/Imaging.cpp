#include "vision/Imaging.h"

#include "core/Base64.h"
#include "core/LogSingleton.h"

#include <zlib.h>

#include <cstring>
#include <limits>
#include <stdexcept>

namespace Imaging {

namespace {

constexpr unsigned kHeaderSize = 54;
constexpr unsigned kPaletteOffset = 54;
constexpr unsigned kPaletteEntries = 256;
constexpr unsigned kBlockHeaderSize = 12;
constexpr unsigned char kMarkerGZip = 0x11;
constexpr unsigned char kMarkerRaw = 0x10;
constexpr int kGZipWindowBits = 31;  // 15 plus the gzip wrapper
constexpr int kMemLevel = 8;

void logError(const char* text) {
    LogSingleton::instance()->addError(text);
}

void put32(unsigned char* p, uint32_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Image

Image::Image(unsigned width, unsigned height) : width(width), height(height), creationTime(time(nullptr)) {}

Image::~Image() = default;

unsigned Image::GZipBound(unsigned n) {
    // deflateBound only knows the gzip wrapper's size on a stream set up for gzip.
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGZipWindowBits, kMemLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        // Without a stream: the conservative bound plus the gzip wrapper's extra 12 bytes.
        return static_cast<unsigned>(deflateBound(nullptr, n) + 12);
    }
    const uLong bound = deflateBound(&stream, n);
    deflateEnd(&stream);
    return static_cast<unsigned>(bound);
}

unsigned Image::CompressDataGZip(unsigned char* in, unsigned n, unsigned char* out, unsigned capacity) const {
    z_stream stream{};
    int result = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGZipWindowBits, kMemLevel,
                              Z_DEFAULT_STRATEGY);
    if (result != Z_OK) {
        switch (result) {
        case Z_VERSION_ERROR:
            logError("Could not compress image: incompatible library version");
            break;
        case Z_MEM_ERROR:
            logError("Could not compress image: not enough memory");
            break;
        case Z_STREAM_ERROR:
            logError("Could not compress image: invalid parameter");
            break;
        default:
            break;
        }
        return 0;
    }
    stream.next_in = in;
    stream.avail_in = n;
    stream.next_out = out;
    stream.avail_out = capacity;
    result = deflate(&stream, Z_FINISH);
    const uLong total = stream.total_out;
    deflateEnd(&stream);
    switch (result) {
    case Z_STREAM_END:
        return static_cast<unsigned>(total + 1);
    case Z_BUF_ERROR:
        logError("Could not compress image: buffer error");
        break;
    case Z_STREAM_ERROR:
        logError("Could not compress image: inconsistent stream state");
        break;
    case Z_OK:
        logError("Could not compress image: not done yet");
        break;
    default:
        break;
    }
    return 0;
}

unsigned Image::EncodeDataB64(const unsigned char* in, unsigned n, char* out) const {
    base64::encoder encoder(2048);
    // The block coder takes int lengths; a payload never comes near that, but slice anyway
    // so that the count cannot wrap.
    constexpr unsigned kSlice = 3u << 28;
    unsigned written = 0;
    for (unsigned done = 0; done < n;) {
        const unsigned part = (n - done < kSlice) ? n - done : kSlice;
        written += static_cast<unsigned>(
            encoder.encode(reinterpret_cast<const char*>(in + done), static_cast<int>(part), out + written));
        done += part;
    }
    written += static_cast<unsigned>(encoder.encode_end(out + written));
    out[written] = '\0';
    return written + 1;
}

void Image::ImageDataToHVPGrayScale(unsigned char* data, unsigned n, std::vector<char>& out, bool compress) const {
    std::vector<unsigned char> payload;
    if (compress) {
        // Marker, the gzip stream and one trailing 0x00. deflateBound, not a fixed 2 %:
        // small and noisy images grow under deflate.
        const unsigned capacity = GZipBound(n);
        payload.assign(static_cast<size_t>(capacity) + 2, 0);
        payload[0] = kMarkerGZip;
        const unsigned result = CompressDataGZip(data, n, payload.data() + 1, capacity);
        if (result == 0) {
            out.clear();
            return;
        }
        payload.resize(static_cast<size_t>(result) + 1);  // the byte after the stream is 0
    } else {
        payload.resize(static_cast<size_t>(n) + 1);
        payload[0] = kMarkerRaw;
        if (n > 0) {
            std::memcpy(payload.data() + 1, data, n);
        }
    }
    const size_t length = payload.size();
    out.resize((length + 2) / 3 * 4 + 1);
    const unsigned count = EncodeDataB64(payload.data(), static_cast<unsigned>(length), out.data());
    out.resize(count);
}

// ---------------------------------------------------------------------------------------
// Bitmap8BppIndexed

Bitmap8BppIndexed::Bitmap8BppIndexed(const unsigned char* data, unsigned length) : Image(0, 0) {
    Parse(data, length);
}

Bitmap8BppIndexed::Bitmap8BppIndexed(const Bitmap8BppIndexed& other) : Image(other), palette(other.palette) {
    if (other.pixels) {
        const size_t count = static_cast<size_t>(width) * height;
        pixels.reset(new unsigned char[count]);
        std::memcpy(pixels.get(), other.pixels.get(), count);
    }
}

Bitmap8BppIndexed& Bitmap8BppIndexed::operator=(const Bitmap8BppIndexed& other) {
    if (this != &other) {
        Bitmap8BppIndexed copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Bitmap8BppIndexed::Bitmap8BppIndexed(Bitmap8BppIndexed&& other) noexcept
    : Image(other), palette(other.palette), pixels(std::move(other.pixels)) {}

Bitmap8BppIndexed& Bitmap8BppIndexed::operator=(Bitmap8BppIndexed&& other) noexcept {
    if (this != &other) {
        Image::operator=(other);
        palette = other.palette;
        pixels = std::move(other.pixels);
    }
    return *this;
}

Bitmap8BppIndexed::~Bitmap8BppIndexed() = default;

uint16_t Bitmap8BppIndexed::Read2Byte(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Bitmap8BppIndexed::Read4Byte(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void Bitmap8BppIndexed::Parse(const unsigned char* data, unsigned length) {
    if (data == nullptr || length < 2 || data[0] != 'B' || data[1] != 'M') {
        throw std::invalid_argument("invalid file type");
    }
    if (length < kHeaderSize) {
        throw std::invalid_argument("invalid file size");
    }
    if (Read4Byte(data + 2) > length) {
        throw std::invalid_argument("invalid file size");
    }
    const uint32_t dataOffset = Read4Byte(data + 10);
    const uint32_t newWidth = Read4Byte(data + 18);
    const uint32_t newHeight = Read4Byte(data + 22);
    const uint16_t bitsPerPixel = Read2Byte(data + 28);
    const uint32_t compression = Read4Byte(data + 30);
    const uint32_t coloursUsed = Read4Byte(data + 46);

    if (newWidth == 0 || newHeight == 0) {
        throw std::invalid_argument("invalid image size");
    }
    if (bitsPerPixel != 8) {
        throw std::invalid_argument("bit depth not supported");
    }
    if (compression != 0) {
        throw std::invalid_argument("compression not supported");
    }
    const uint32_t colourCount = (coloursUsed == 0) ? kPaletteEntries : coloursUsed;
    if (colourCount > kPaletteEntries) {
        throw std::invalid_argument("invalid colour count");
    }
    if (kPaletteOffset + static_cast<uint64_t>(colourCount) * 4 > length) {
        throw std::invalid_argument("palette beyond end of data");
    }
    // 64 bits: 65536 x 65536 wraps to 0 in 32.
    const uint64_t pixelCount = static_cast<uint64_t>(newWidth) * newHeight;
    if (static_cast<uint64_t>(dataOffset) + pixelCount > length) {
        throw std::invalid_argument("pixel data beyond end of data");
    }

    std::array<ColorARGB, 256> newPalette{};
    for (uint32_t i = 0; i < colourCount; ++i) {
        const unsigned char* entry = data + kPaletteOffset + 4 * i;
        newPalette[i].B = entry[0];
        newPalette[i].G = entry[1];
        newPalette[i].R = entry[2];
        newPalette[i].A = entry[3];
    }
    // Rows in file order, exactly width bytes each, as the cameras send them.
    std::unique_ptr<unsigned char[]> newPixels(new unsigned char[pixelCount]);
    std::memcpy(newPixels.get(), data + dataOffset, pixelCount);

    palette = newPalette;
    pixels = std::move(newPixels);
    width = newWidth;
    height = newHeight;
}

const ColorARGB& Bitmap8BppIndexed::GetPixel(unsigned x, unsigned y) const {
    if (!pixels) {
        throw std::runtime_error("Bitmap8BppIndexed: image data not allocated!");
    }
    if (x >= width || y >= height) {
        throw std::out_of_range("Bitmap8BppIndexed: pixel outside the image");
    }
    return palette[pixels[static_cast<size_t>(y) * width + x]];
}

void Bitmap8BppIndexed::EncodeHVP(std::vector<char>& out, bool compress) const {
    if (!pixels) {
        out.clear();
        return;
    }
    const uint64_t pixelCount = static_cast<uint64_t>(width) * height;
    // The payload length travels as unsigned; a parsed image always fits (length bound).
    if (pixelCount > std::numeric_limits<unsigned>::max() - kBlockHeaderSize - 64) {
        out.clear();
        return;
    }
    const unsigned n = static_cast<unsigned>(pixelCount) + kBlockHeaderSize;
    std::vector<unsigned char> block(n);
    put32(block.data(), width);
    put32(block.data() + 4, height);
    put32(block.data() + 8, width);
    // Luminance of each palette entry, weights summing to 256: the grey palettes the
    // cameras send keep their level exactly, a colour palette still gives a sensible grey.
    unsigned char levels[kPaletteEntries];
    for (unsigned i = 0; i < kPaletteEntries; ++i) {
        const ColorARGB& c = palette[i];
        levels[i] = static_cast<unsigned char>((77u * c.R + 150u * c.G + 29u * c.B + 128u) >> 8);
    }
    unsigned char* grey = block.data() + kBlockHeaderSize;
    const unsigned char* index = pixels.get();
    for (uint64_t i = 0; i < pixelCount; ++i) {
        grey[i] = levels[index[i]];
    }
    ImageDataToHVPGrayScale(block.data(), n, out, compress);
}

}  // namespace Imaging
