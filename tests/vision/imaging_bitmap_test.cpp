#include "vision/Imaging.h"

#include "testsupport/GreyBmp.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using TestSupport::MakeGreyBmp;
using TestSupport::PutLE16;
using TestSupport::PutLE32;

Bytes Pixels(size_t count) {
    Bytes pixels(count);
    for (size_t i = 0; i < count; ++i) pixels[i] = static_cast<unsigned char>(i * 7);
    return pixels;
}

std::string ParseError(const Bytes& bytes, unsigned length) {
    try {
        Imaging::Bitmap8BppIndexed bitmap(bytes.data(), length);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "accepted";
}

struct BadFile {
    const char* what;
    std::function<Bytes()> make;
    std::string error;
    // Bytes handed to the parser; -1 means all of them.
    int length = -1;
};

// Every malformed file is refused with std::invalid_argument, and no read leaves the
// given bytes (the ASan build would catch one).
TEST(BitmapParse, MalformedFilesAreRefused) {
    const std::vector<BadFile> cases = {
        {"signature BX", [] { Bytes b = MakeGreyBmp(2, 2, Pixels(4)); b[1] = 'X'; return b; }, "invalid file type"},
        {"signature XM", [] { Bytes b = MakeGreyBmp(2, 2, Pixels(4)); b[0] = 'X'; return b; }, "invalid file type"},
        {"one byte", [] { return Bytes{'B'}; }, "invalid file type"},
        {"no bytes", [] { return Bytes{}; }, "invalid file type"},
        {"header cut at 53 bytes", [] { return MakeGreyBmp(2, 2, Pixels(4)); }, "invalid file size", 53},
        {"header cut at 30 bytes", [] { return MakeGreyBmp(2, 2, Pixels(4)); }, "invalid file size", 30},
        // The pixels would fit, the size field still rules.
        {"file-size field one above the bytes",
         [] { Bytes b = MakeGreyBmp(2, 2, Pixels(4)); PutLE32(b, 2, static_cast<uint32_t>(b.size() + 1)); return b; },
         "invalid file size"},
        {"zero width", [] { Bytes b = MakeGreyBmp(2, 2, Pixels(4)); PutLE32(b, 18, 0); return b; }, "invalid image size"},
        {"zero height", [] { Bytes b = MakeGreyBmp(2, 2, Pixels(4)); PutLE32(b, 22, 0); return b; },
         "invalid image size"},
        {"24 bits per pixel", [] { Bytes b = MakeGreyBmp(2, 2, Pixels(4)); PutLE16(b, 28, 24); return b; },
         "bit depth not supported"},
        {"run-length compressed", [] { Bytes b = MakeGreyBmp(2, 2, Pixels(4)); PutLE32(b, 30, 1); return b; },
         "compression not supported"},
        {"300 colours", [] { Bytes b = MakeGreyBmp(20, 20, Pixels(400)); PutLE32(b, 46, 300); return b; },
         "invalid colour count"},
        // 2 colours declared in the file body, but the field says 256: the palette would run
        // past the 70 bytes.
        {"palette past the end",
         [] { Bytes b = MakeGreyBmp(2, 2, Pixels(4), 2); PutLE32(b, 46, 256); return b; },
         "palette beyond end of data"},
        {"pixel rows past the end",
         [] { Bytes b = MakeGreyBmp(2, 2, Pixels(4)); PutLE32(b, 22, 3); return b; },
         "pixel data beyond end of data"},
        {"data offset past the end",
         [] { Bytes b = MakeGreyBmp(2, 2, Pixels(4)); PutLE32(b, 10, 0xFFFFFFFFu); return b; },
         "pixel data beyond end of data"},
        // 65536 x 65536 is 0 in 32 bits: it must not pass as an empty image.
        {"65536 x 65536",
         [] { Bytes b = MakeGreyBmp(2, 2, Pixels(4)); PutLE32(b, 18, 65536); PutLE32(b, 22, 65536); return b; },
         "pixel data beyond end of data"},
        {"widest row times two",
         [] { Bytes b = MakeGreyBmp(2, 2, Pixels(4)); PutLE32(b, 18, 0xFFFFFFFFu); PutLE32(b, 22, 2); return b; },
         "pixel data beyond end of data"},
    };
    for (const BadFile& c : cases) {
        const Bytes bytes = c.make();
        const unsigned length = c.length < 0 ? static_cast<unsigned>(bytes.size()) : static_cast<unsigned>(c.length);
        // A copy of exactly length bytes, so the sanitizer sees any read beyond them.
        const Bytes exact(bytes.begin(), bytes.begin() + length);
        EXPECT_EQ(ParseError(exact, length), c.error) << c.what;
    }
}

TEST(BitmapParse, RowsInFileOrderThroughThePalette) {
    // 3 x 2 with an inverted grey palette: index i shows 255 - i.
    Bytes file = MakeGreyBmp(3, 2, {0, 1, 2, 10, 20, 30});
    for (int i = 0; i < 256; ++i) {
        file[54 + 4 * i] = static_cast<unsigned char>(255 - i);
        file[55 + 4 * i] = static_cast<unsigned char>(255 - i);
        file[56 + 4 * i] = static_cast<unsigned char>(255 - i);
        file[57 + 4 * i] = static_cast<unsigned char>(i);
    }
    const Imaging::Bitmap8BppIndexed bitmap(file.data(), static_cast<unsigned>(file.size()));
    EXPECT_EQ(bitmap.GetWidth(), 3u);
    EXPECT_EQ(bitmap.GetHeight(), 2u);
    // No row flip, no padding: row 1 starts at the fourth pixel byte.
    EXPECT_EQ(bitmap.GetPixel(0, 0).B, 255);
    EXPECT_EQ(bitmap.GetPixel(2, 0).B, 253);
    EXPECT_EQ(bitmap.GetPixel(0, 1).B, 245);
    const Imaging::ColorARGB& last = bitmap.GetPixel(2, 1);
    EXPECT_EQ(last.B, 225);
    EXPECT_EQ(last.G, 225);
    EXPECT_EQ(last.R, 225);
    EXPECT_EQ(last.A, 30);  // the reserved byte, kept in file order
}

TEST(BitmapParse, PaletteSizeFollowsColoursUsed) {
    // Field 0 reads all 256 entries.
    const Bytes full = MakeGreyBmp(1, 1, {200}, 0);
    EXPECT_EQ(Imaging::Bitmap8BppIndexed(full.data(), static_cast<unsigned>(full.size())).GetPixel(0, 0).G, 200);

    // Two colours: entries beyond them stay 0 and nothing after the palette is read as one.
    const Bytes two = MakeGreyBmp(2, 1, {1, 5}, 2);
    ASSERT_EQ(two.size(), 54u + 8u + 2u);
    const Imaging::Bitmap8BppIndexed bitmap(two.data(), static_cast<unsigned>(two.size()));
    EXPECT_EQ(bitmap.GetPixel(0, 0).R, 1);
    EXPECT_EQ(bitmap.GetPixel(1, 0).R, 0);
    EXPECT_EQ(bitmap.GetPalette()[2].B, 0);
}

TEST(BitmapParse, CameraSizedImageHasNoPadding) {
    const Bytes file = MakeGreyBmp(640, 480, Pixels(640 * 480));
    ASSERT_EQ(file.size(), 308278u);
    const Imaging::Bitmap8BppIndexed bitmap(file.data(), static_cast<unsigned>(file.size()));
    EXPECT_EQ(bitmap.GetPixel(639, 479).B, static_cast<unsigned char>((640 * 480 - 1) * 7));
    EXPECT_EQ(bitmap.GetPixel(5, 1).B, static_cast<unsigned char>((640 + 5) * 7));
}

TEST(BitmapParse, FailedParseKeepsThePreviousImage) {
    const Bytes good = MakeGreyBmp(2, 1, {3, 4});
    Imaging::Bitmap8BppIndexed bitmap(good.data(), static_cast<unsigned>(good.size()));
    Bytes bad = MakeGreyBmp(4, 4, Pixels(16));
    PutLE32(bad, 22, 5);
    EXPECT_THROW(bitmap.Parse(bad.data(), static_cast<unsigned>(bad.size())), std::invalid_argument);
    EXPECT_EQ(bitmap.GetWidth(), 2u);
    EXPECT_EQ(bitmap.GetPixel(1, 0).B, 4);
}

TEST(BitmapPixels, GetPixelChecksBothCoordinates) {
    const Bytes file = MakeGreyBmp(3, 2, Pixels(6));
    const Imaging::Bitmap8BppIndexed bitmap(file.data(), static_cast<unsigned>(file.size()));
    const std::vector<std::pair<unsigned, unsigned>> outside = {{3, 0}, {0, 2}, {3, 2}, {0xFFFFFFFFu, 0}, {0, 0xFFFFFFFFu}};
    for (const auto& p : outside) {
        EXPECT_THROW(bitmap.GetPixel(p.first, p.second), std::out_of_range) << p.first << ", " << p.second;
    }
    EXPECT_NO_THROW(bitmap.GetPixel(2, 1));
}

TEST(BitmapPixels, CopiesAreDeepAndMovesLeaveNoPixels) {
    const Bytes first = MakeGreyBmp(2, 1, {10, 20});
    const Bytes second = MakeGreyBmp(1, 1, {99});
    Imaging::Bitmap8BppIndexed original(first.data(), static_cast<unsigned>(first.size()));
    Imaging::Bitmap8BppIndexed copy(original);
    Imaging::Bitmap8BppIndexed assigned(second.data(), static_cast<unsigned>(second.size()));
    assigned = original;
    original.Parse(second.data(), static_cast<unsigned>(second.size()));
    for (const Imaging::Bitmap8BppIndexed* b : {&copy, &assigned}) {
        EXPECT_EQ(b->GetWidth(), 2u);
        EXPECT_EQ(b->GetPixel(1, 0).B, 20);
    }

    Imaging::Bitmap8BppIndexed moved(std::move(copy));
    EXPECT_EQ(moved.GetPixel(0, 0).B, 10);
    EXPECT_FALSE(copy.HasPixels());  // NOLINT(bugprone-use-after-move): the moved-from state is the point
    try {
        copy.GetPixel(0, 0);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Bitmap8BppIndexed: image data not allocated!");
    }
    // Nothing to send without pixels.
    std::vector<char> out(5, 'x');
    copy.EncodeHVP(out, true);
    EXPECT_TRUE(out.empty());
    copy.EncodeHVP(out, false);
    EXPECT_TRUE(out.empty());
}

TEST(BitmapPixels, LittleEndianReads) {
    const unsigned char bytes[] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(Imaging::Bitmap8BppIndexed::Read2Byte(bytes), 0x5678);
    EXPECT_EQ(Imaging::Bitmap8BppIndexed::Read4Byte(bytes), 0x12345678u);
}

}  // namespace
