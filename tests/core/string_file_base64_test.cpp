#include "core/Base64.h"
#include "core/Filesystem.h"
#include "core/StringHelper.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using TestSupport::TempDataRoot;

// ---------------------------------------------------------------------------------------
// StringHelper

TEST(StringHelper, SplitGetLastTakesTheTextAfterTheLastDelimiter) {
    const struct {
        const char* text;
        const char* delimiter;
        const char* expected;
    } cases[] = {
        {"a/b/c.xml", "/", "c.xml"},
        {"c.xml", "/", "c.xml"},
        {"a/b/", "/", ""},
        {"a::b", "::", "b"},
        {"a/b", "", "a/b"},
        {"", "/", ""},
        // Occurrences are cut from the front one at a time, so overlaps resolve leftmost.
        {"x:::y", "::", ":y"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StringHelper::SplitGetLast(c.text, c.delimiter), c.expected)
            << c.text << " / " << c.delimiter;
    }
}

TEST(StringHelper, ToLowerChangesOnlyAsciiLetters) {
    EXPECT_EQ(StringHelper::ToLower("MoType LIN 42_X"), "motype lin 42_x");
    const std::string highBytes = "\xC4\xD6\xDC\xFF";
    EXPECT_EQ(StringHelper::ToLower("A" + highBytes), "a" + highBytes);
}

TEST(StringHelper, FileComparatorPutsDirectoriesFirstThenNamesIgnoringCase) {
    std::vector<std::string> entries = {"b.xml", "Sub/", "A.xml", "a.xml", "c/", "", "B/"};
    std::sort(entries.begin(), entries.end(), StringHelper::FileComparator);
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_EQ(entries[0], "");
    EXPECT_EQ(entries[1], "B/");
    EXPECT_EQ(entries[2], "c/");
    EXPECT_EQ(entries[3], "Sub/");
    EXPECT_EQ(StringHelper::ToLower(entries[4]), "a.xml");
    EXPECT_EQ(StringHelper::ToLower(entries[5]), "a.xml");
    EXPECT_EQ(entries[6], "b.xml");
    EXPECT_FALSE(StringHelper::FileComparator("", ""));
    EXPECT_FALSE(StringHelper::FileComparator("A.xml", "a.xml"));
}

// ---------------------------------------------------------------------------------------
// Filesystem

TEST(Filesystem, TestsTellFilesFromDirectoriesAndMissingPaths) {
    TempDataRoot root;
    const std::string file = root.WriteFile("f.bin", std::string(1234, 'x'));
    const struct {
        std::string path;
        bool exists, isFile, isDirectory;
        int64_t size;
    } cases[] = {
        {file, true, true, false, 1234},
        {root.DataPath(), true, false, true, -2},  // size of a directory: not checked
        {root.Path() + "/missing", false, false, false, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(Filesystem::Exists(c.path), c.exists);
        EXPECT_EQ(Filesystem::IsFile(c.path), c.isFile);
        EXPECT_EQ(Filesystem::IsDirectory(c.path), c.isDirectory);
        if (c.size != -2) {
            EXPECT_EQ(Filesystem::GetFileSize(c.path), c.size);
        }
    }
}

TEST(Filesystem, GetFileSizeReportsSizesBeyond4GiB) {
    TempDataRoot root;
    const std::string path = root.Path() + "/sparse.bin";
    const int64_t size = (int64_t{5} << 30) + 7;
    {
        std::ofstream(path).put('x');
    }
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
    EXPECT_EQ(Filesystem::GetFileSize(path), size);
}

TEST(Filesystem, DeleteAndMoveLogTheirFailures) {
    TempDataRoot root;
    const std::string a = root.WriteFile("a.txt", "A");
    const std::string b = root.WriteFile("b.txt", "B");
    const std::string missing = root.Path() + "/missing.txt";
    TestSupport::LogCapture capture;

    EXPECT_TRUE(Filesystem::Move(a, b));  // replaces the target
    EXPECT_FALSE(Filesystem::Exists(a));
    EXPECT_EQ(TestSupport::ReadWholeFile(b), "A");
    EXPECT_TRUE(Filesystem::Delete(b));
    EXPECT_FALSE(Filesystem::Exists(b));
    EXPECT_TRUE(capture.Lines().empty());

    EXPECT_FALSE(Filesystem::Move(missing, b));
    EXPECT_FALSE(Filesystem::Delete(missing));
    EXPECT_EQ(capture.Count("Could not move file '" + missing + "' to '" + b +
                            "': No such file or directory"),
              1);
    EXPECT_EQ(capture.Count("Could not delete file '" + missing + "': No such file or directory"),
              1);
}

// ---------------------------------------------------------------------------------------
// Base64

namespace {

std::string Encode(const std::string& bytes) { return Base64::Encode(bytes.data(), bytes.size()); }

std::string DecodeToString(const std::string& text) {
    const auto bytes = Base64::Decode(text);
    return std::string(bytes.begin(), bytes.end());
}

// Output of coreutils "base64 -w0" for the bytes.
std::string CoreutilsBase64(const std::string& bytes, const std::string& folder) {
    const std::string path = folder + "/input.bin";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    FILE* pipe = popen(("base64 -w0 '" + path + "'").c_str(), "r");
    if (pipe == nullptr) return "<popen failed>";
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
    if (pclose(pipe) != 0) return "<base64 failed>";
    return text;
}

std::string RandomBytes(std::mt19937& random, size_t length) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(byte(random));
    return bytes;
}

}  // namespace

TEST(Base64, EncodesWithPaddingAndNoLineBreaks) {
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "YWJj"},
        {"ab", "YWI="},
        {"a", "YQ=="},
        {"", ""},
        {std::string("\xFB\xFF\xBF", 3), "+/+/"},
        {std::string("\0\0\0\0", 4), "AAAAAA=="},
    };
    for (const auto& c : cases) EXPECT_EQ(Encode(c.first), c.second);

    const std::string big = Encode(std::string(100000, 'z'));
    EXPECT_EQ(big.size(), 133336u);
    EXPECT_EQ(big.find('\n'), std::string::npos);
}

TEST(Base64, DecoderSkipsForeignCharactersAndDropsIncompleteGroups) {
    const std::pair<std::string, std::string> cases[] = {
        {"YW\nJj", "abc"},
        {"Y", ""},
        {"QQ", "A"},
        {"QQ==", "A"},
        {" Y W J j \r\n", "abc"},
        {"\xFFYW\x80Jj\xC3", "abc"},  // bytes above 127 are foreign too
        {"+/+/", std::string("\xFB\xFF\xBF", 3)},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeToString(c.first), c.second) << c.first;
}

TEST(Base64, BoundedDecodeNeverWritesPastTheBuffer) {
    const struct {
        const char* text;
        size_t outSize;
        const char* expected;
    } cases[] = {
        {"YWJjZGVm", 4, "abcd"},
        {"YWJjZGVm", 6, "abcdef"},
        {"YWJjZGVm", 64, "abcdef"},
        {"YWJjZGVm", 0, ""},
    };
    for (const auto& c : cases) {
        std::vector<char> out(c.outSize + 8, '#');
        const unsigned n = Base64::Decode(c.text, out.data(), c.outSize);
        EXPECT_EQ(std::string(out.data(), n), c.expected) << c.outSize;
        for (size_t i = n; i < out.size(); ++i) ASSERT_EQ(out[i], '#') << "byte " << i;
    }
    char unbounded[8];
    EXPECT_EQ(Base64::Decode("YWJj", unbounded), 3u);
    EXPECT_EQ(std::string(unbounded, 3), "abc");
}

TEST(Base64, MatchesCoreutilsOnRandomInputs) {
    TempDataRoot folder;
    std::mt19937 random(20240521);
    std::vector<std::string> inputs;
    for (size_t length = 0; length <= 5; ++length) {
        for (int sample = 0; sample < 8; ++sample) inputs.push_back(RandomBytes(random, length));
    }
    inputs.push_back(RandomBytes(random, 1 << 20));
    for (const auto& bytes : inputs) {
        SCOPED_TRACE("length " + std::to_string(bytes.size()));
        const std::string reference = CoreutilsBase64(bytes, folder.Path());
        ASSERT_EQ(Encode(bytes), reference);
        ASSERT_EQ(DecodeToString(reference), bytes);
    }
}

TEST(Base64, BlockCodersCarryStateAcrossCalls) {
    std::mt19937 random(7);
    const std::string bytes = RandomBytes(random, 1000);
    const std::string whole = Encode(bytes);
    const int slices[] = {1, 2, 5, 7, 64};

    for (int slice : slices) {
        SCOPED_TRACE(slice);
        // Image transfer: encode and encode_end into one buffer, then a zero byte.
        std::vector<char> buffer(bytes.size() * 2);
        base64::encoder encoder(static_cast<int>(buffer.size()));
        int written = 0;
        for (size_t at = 0; at < bytes.size(); at += static_cast<size_t>(slice)) {
            const int n = static_cast<int>(std::min(bytes.size() - at, size_t(slice)));
            written += encoder.encode(bytes.data() + at, n, buffer.data() + written);
        }
        written += encoder.encode_end(buffer.data() + written);
        buffer[static_cast<size_t>(written)] = '\0';
        EXPECT_EQ(std::string(buffer.data()), whole);

        base64_decodestate state;
        base64_init_decodestate(&state);
        std::string decoded(bytes.size() + 4, '\0');
        int got = 0;
        for (size_t at = 0; at < whole.size(); at += static_cast<size_t>(slice)) {
            const int n = static_cast<int>(std::min(whole.size() - at, size_t(slice)));
            got += base64_decode_block(whole.data() + at, n, &decoded[static_cast<size_t>(got)],
                                       &state);
        }
        EXPECT_EQ(decoded.substr(0, static_cast<size_t>(got)), bytes);
    }
}

TEST(Base64, ValueTables) {
    EXPECT_EQ(base64_encode_value(0), 'A');
    EXPECT_EQ(base64_encode_value(63), '/');
    EXPECT_EQ(base64_encode_value(64), '=');
    EXPECT_EQ(base64_encode_value(static_cast<char>(0xC0)), '=');
    EXPECT_EQ(base64_decode_value('A'), 0);
    EXPECT_EQ(base64_decode_value('/'), 63);
    EXPECT_EQ(base64_decode_value('='), -2);
    EXPECT_EQ(base64_decode_value('*'), -1);
    EXPECT_EQ(base64_decode_value(static_cast<char>(0xC3)), -1);
}
