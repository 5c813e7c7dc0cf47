// Cutting a client's byte stream into frames, whatever the chunks.

#include "remote/HvpFrameReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Remote::HvpFrameReader;

namespace {

struct Result {
    std::vector<std::string> frames;
    int overflows = 0;
};

Result FeedAll(const std::string& stream, std::size_t chunk) {
    HvpFrameReader reader;
    Result result;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        const std::string part = stream.substr(at, chunk);
        reader.Feed(part.data(), part.size(), [&](std::string_view f) { result.frames.emplace_back(f); },
                    [&] { ++result.overflows; });
    }
    return result;
}

std::string FrameOfLength(std::size_t length) {
    const std::string head = "HVPSTART 1 CMD GetVersion ";
    return head + std::string(length - head.size() - 6, 'x') + "HVPEND";
}

TEST(HvpFrameReader, JunkAndPartialHeadsAreSkippedInAnyChunking) {
    const std::string stream = "junk HVPSTA\r\nHVPSTART 1 CMD GetVersion HVPEND\r\nHVPSTART 2 ALIVEJOG HVPEND";
    for (std::size_t chunk : {1u, 2u, 7u, 1000u}) {
        const Result r = FeedAll(stream, chunk);
        ASSERT_EQ(r.frames.size(), 2u) << chunk;
        EXPECT_EQ(r.frames[0], "HVPSTART 1 CMD GetVersion HVPEND");
        EXPECT_EQ(r.frames[1], "HVPSTART 2 ALIVEJOG HVPEND");
        EXPECT_EQ(r.overflows, 0);
    }
}

TEST(HvpFrameReader, AFrameOf1019BytesPassesAndOneMoreIsDroppedWithoutLosingTheNext) {
    const std::string longest = FrameOfLength(HvpFrameReader::kMaxFrame);
    Result r = FeedAll(longest, 100);
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].size(), 1019u);

    const std::string next = "HVPSTART 2 CMD GetVersion HVPEND";
    r = FeedAll(FrameOfLength(HvpFrameReader::kMaxFrame + 1) + next, 4096);
    EXPECT_EQ(r.overflows, 1);
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], next);
}

TEST(HvpFrameReader, InFrameHoldsFromTheStartMarkerToTheEndMarker) {
    HvpFrameReader reader;
    auto feed = [&](const std::string& s) { reader.Feed(s.data(), s.size(), [](std::string_view) {}, nullptr); };
    feed("HVPSTA");
    EXPECT_FALSE(reader.InFrame());
    feed("RT 1 CMD");
    EXPECT_TRUE(reader.InFrame());
    feed(" HVPEND\n");
    EXPECT_FALSE(reader.InFrame());
}

}  // namespace
