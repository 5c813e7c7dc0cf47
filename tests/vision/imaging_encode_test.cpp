#include "vision/Imaging.h"

#include "core/Base64.h"

#include "testsupport/GreyBmp.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Imaging::Bitmap8BppIndexed Bitmap(uint32_t width, uint32_t height, const Bytes& pixels) {
    const Bytes file = TestSupport::MakeGreyBmp(width, height, pixels);
    return Imaging::Bitmap8BppIndexed(file.data(), static_cast<unsigned>(file.size()));
}

// The image data block the payload must carry: width, height, width (u32 LE), grey bytes.
Bytes Block(uint32_t width, uint32_t height, const Bytes& grey) {
    Bytes block(12);
    TestSupport::PutLE32(block, 0, width);
    TestSupport::PutLE32(block, 4, height);
    TestSupport::PutLE32(block, 8, width);
    block.insert(block.end(), grey.begin(), grey.end());
    return block;
}

// Text of an encoded payload: must end in exactly one NUL.
std::string Text(const std::vector<char>& out) {
    EXPECT_FALSE(out.empty());
    if (out.empty()) return "";
    EXPECT_EQ(out.back(), '\0');
    const std::string text(out.begin(), out.end() - 1);
    EXPECT_EQ(text.find('\0'), std::string::npos);
    return text;
}

// gunzip of one whole gzip stream; fails the test when the stream is not complete.
Bytes Gunzip(const unsigned char* data, size_t size, size_t* consumed) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 31), Z_OK);
    Bytes result;
    unsigned char chunk[65536];
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = static_cast<uInt>(size);
    int rc = Z_OK;
    while (rc == Z_OK) {
        stream.next_out = chunk;
        stream.avail_out = sizeof(chunk);
        rc = inflate(&stream, Z_NO_FLUSH);
        result.insert(result.end(), chunk, chunk + (sizeof(chunk) - stream.avail_out));
    }
    EXPECT_EQ(rc, Z_STREAM_END);
    *consumed = size - stream.avail_in;
    inflateEnd(&stream);
    return result;
}

Bytes Noise(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    Bytes pixels(count);
    for (auto& p : pixels) p = static_cast<unsigned char>(random());
    return pixels;
}

TEST(HvpPayload, RawTwoByOneGolden) {
    const auto bitmap = Bitmap(2, 1, {7, 200});
    std::vector<char> out;
    bitmap.EncodeHVP(out, false);
    // 0x10, 02 00 00 00, 01 00 00 00, 02 00 00 00, 07, C8
    EXPECT_EQ(Text(out), "EAIAAAABAAAAAgAAAAfI");
    EXPECT_EQ(out.size(), 21u);
}

struct Shape {
    const char* what;
    uint32_t width;
    uint32_t height;
    Bytes pixels;
};

std::vector<Shape> Shapes() {
    Bytes gradient(640 * 480);
    for (size_t i = 0; i < gradient.size(); ++i) gradient[i] = static_cast<unsigned char>((i % 640) * 255 / 639);
    return {
        {"1 x 1", 1, 1, {42}},
        {"2 x 1", 2, 1, {7, 200}},
        // 1012 bytes of noise grow under deflate beyond ceil(1.02 n).
        {"40 x 25 noise", 40, 25, Noise(1000, 1)},
        {"333 x 1 noise", 333, 1, Noise(333, 2)},
        {"640 x 480 gradient", 640, 480, gradient},
        {"640 x 480 noise", 640, 480, Noise(640 * 480, 3)},
    };
}

// Decoded as a client would: NUL removed, base64, marker 0x11, one gzip stream holding the
// block, then the one trailing 0x00 byte.
TEST(HvpPayload, CompressedPayloadDecodesToTheBlock) {
    for (const Shape& shape : Shapes()) {
        SCOPED_TRACE(shape.what);
        const auto bitmap = Bitmap(shape.width, shape.height, shape.pixels);
        std::vector<char> out;
        bitmap.EncodeHVP(out, true);
        const std::string text = Text(out);
        const Bytes payload = Base64::Decode(text);
        ASSERT_GE(payload.size(), 3u);
        EXPECT_EQ(payload[0], 0x11);
        size_t consumed = 0;
        const Bytes block = Gunzip(payload.data() + 1, payload.size() - 1, &consumed);
        EXPECT_EQ(block, Block(shape.width, shape.height, shape.pixels));
        EXPECT_EQ(consumed + 2, payload.size());
        EXPECT_EQ(payload.back(), 0x00);
        EXPECT_EQ(text.size(), (payload.size() + 2) / 3 * 4);
    }
}

TEST(HvpPayload, RawPayloadCarriesTheBlock) {
    for (const Shape& shape : Shapes()) {
        SCOPED_TRACE(shape.what);
        const auto bitmap = Bitmap(shape.width, shape.height, shape.pixels);
        std::vector<char> out;
        bitmap.EncodeHVP(out, false);
        const Bytes payload = Base64::Decode(Text(out));
        ASSERT_FALSE(payload.empty());
        EXPECT_EQ(payload[0], 0x10);
        EXPECT_EQ(Bytes(payload.begin() + 1, payload.end()), Block(shape.width, shape.height, shape.pixels));
    }
}

// The same check with the command-line tools a client developer would use:
// base64 -d, drop the first byte, gzip -dc.
TEST(HvpPayload, CommandLineToolsDecodeThePayload) {
    if (std::system("command -v base64 >/dev/null 2>&1 && command -v gzip >/dev/null 2>&1 && "
                    "command -v tail >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "base64, gzip or tail not installed";
    }
    TestSupport::TempDataRoot dir;
    const Bytes pixels = {0, 50, 100, 150, 200, 250};
    const auto bitmap = Bitmap(3, 2, pixels);
    std::vector<char> out;
    bitmap.EncodeHVP(out, true);
    const std::string payloadPath = dir.WriteFile("payload.txt", Text(out));
    const std::string blockPath = dir.Path() + "/block.bin";
    // gzip warns about the trailing 0x00 ("trailing garbage ignored", status 2) but
    // decodes the stream.
    const std::string command = "base64 -d '" + payloadPath + "' | tail -c +2 | gzip -dc > '" + blockPath +
                                "' 2>/dev/null; test -s '" + blockPath + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string block = TestSupport::ReadWholeFile(blockPath);
    const Bytes expected = Block(3, 2, pixels);
    EXPECT_EQ(Bytes(block.begin(), block.end()), expected);
}

TEST(HvpPayload, GreyLevelComesFromThePalette) {
    Bytes file = TestSupport::MakeGreyBmp(3, 1, {0, 1, 2}, 3);
    // Entry 0 inverted grey, entry 1 pure red, entry 2 pure green (blue, green, red, 0).
    const unsigned char palette[] = {255, 255, 255, 0, 0, 0, 255, 0, 0, 255, 0, 0};
    std::copy(std::begin(palette), std::end(palette), file.begin() + 54);
    const Imaging::Bitmap8BppIndexed bitmap(file.data(), static_cast<unsigned>(file.size()));
    std::vector<char> out;
    bitmap.EncodeHVP(out, false);
    const Bytes payload = Base64::Decode(Text(out));
    ASSERT_EQ(payload.size(), 16u);
    EXPECT_EQ(payload[13], 255);
    EXPECT_EQ(payload[14], 77);   // luminance of red
    EXPECT_EQ(payload[15], 149);  // luminance of green
}

// Too little room is logged and gives 0; the payload is then empty.
TEST(HvpPayload, CompressionFailuresAreLoggedAndGiveNothing) {
    const auto bitmap = Bitmap(40, 25, Noise(1000, 4));
    Bytes input = Noise(1000, 5);
    struct Case {
        unsigned capacity;
        const char* line;
    };
    for (const Case& c : {Case{0, "Could not compress image: buffer error"},
                          Case{40, "Could not compress image: not done yet"}}) {
        TestSupport::LogCapture log;
        Bytes room(c.capacity + 1);
        EXPECT_EQ(bitmap.CompressDataGZip(input.data(), static_cast<unsigned>(input.size()), room.data(), c.capacity),
                  0u);
        EXPECT_TRUE(log.Contains(c.line)) << log.Joined();
    }
    // Enough room: the count is the stream's length plus one.
    Bytes room(Imaging::Image::GZipBound(1000));
    const unsigned written =
        bitmap.CompressDataGZip(input.data(), 1000, room.data(), static_cast<unsigned>(room.size()));
    ASSERT_GT(written, 1u);
    size_t consumed = 0;
    EXPECT_EQ(Gunzip(room.data(), written - 1, &consumed), input);
}

TEST(HvpPayload, Base64TextEndsWithNul) {
    const auto bitmap = Bitmap(1, 1, {0});
    struct Case {
        Bytes in;
        const char* text;
    };
    for (const Case& c : {Case{{}, ""}, Case{{'M'}, "TQ=="}, Case{{'M', 'a'}, "TWE="}, Case{{'M', 'a', 'n'}, "TWFu"}}) {
        char out[16];
        std::fill(std::begin(out), std::end(out), 'x');
        const unsigned count = bitmap.EncodeDataB64(c.in.data(), static_cast<unsigned>(c.in.size()), out);
        EXPECT_EQ(count, std::string(c.text).size() + 1);
        EXPECT_STREQ(out, c.text);
    }
}

}  // namespace
