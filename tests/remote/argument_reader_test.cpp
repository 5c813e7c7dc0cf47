// The strict argument reader every HVP handler reads through.

#include "remote/HvpArgumentReader.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

using Remote::HvpArgumentReader;

namespace {

struct IntCase {
    const char* token;
    bool decimalOk;
    int decimal;
    bool autoOk;
    int automatic;
};

TEST(HvpArgumentReader, IntegersAreWholeTokensWithinInt) {
    const IntCase cases[] = {
        {"0", true, 0, true, 0},
        {"42", true, 42, true, 42},
        {"-7", true, -7, true, -7},
        {"+5", true, 5, true, 5},
        {"2147483647", true, INT_MAX, true, INT_MAX},
        {"-2147483648", true, INT_MIN, true, INT_MIN},
        {"2147483648", false, 0, false, 0},
        {"99999999999999999999", false, 0, false, 0},
        {"12abc", false, 0, false, 0},
        {"1.5", false, 0, false, 0},
        {"", false, 0, false, 0},
        {"-", false, 0, false, 0},
        {"0x1F", false, 0, true, 31},
        {"-0x10", false, 0, true, -16},
        {"0x", false, 0, false, 0},
        {"010", true, 10, true, 8},
        {"08", true, 8, false, 0},
        {"0x7FFFFFFF", false, 0, true, INT_MAX},
        {"0x80000000", false, 0, false, 0},
    };
    for (const IntCase& c : cases) {
        int value = -1;
        EXPECT_EQ(HvpArgumentReader::ParseInt(c.token, value), c.decimalOk) << c.token;
        if (c.decimalOk) {
            EXPECT_EQ(value, c.decimal) << c.token;
        }
        value = -1;
        EXPECT_EQ(HvpArgumentReader::ParseIntAuto(c.token, value), c.autoOk) << c.token;
        if (c.autoOk) {
            EXPECT_EQ(value, c.automatic) << c.token;
        }
    }
}

TEST(HvpArgumentReader, FloatsMustBeFiniteWholeTokens) {
    const struct {
        const char* token;
        bool ok;
        float value;
    } cases[] = {
        {"1.5", true, 1.5f},   {"-3", true, -3.0f},      {"1e3", true, 1000.0f}, {".5", true, 0.5f},
        {"nan", false, 0},     {"NAN", false, 0},        {"inf", false, 0},      {"-inf", false, 0},
        {"1e999", false, 0},   {"1e39", false, 0},       {"12abc", false, 0},    {"1.5.", false, 0},
        {"", false, 0},        {"abc", false, 0},
    };
    for (const auto& c : cases) {
        float value = -99.0f;
        EXPECT_EQ(HvpArgumentReader::ParseFloat(c.token, value), c.ok) << c.token;
        if (c.ok) {
            EXPECT_FLOAT_EQ(value, c.value) << c.token;
        } else {
            EXPECT_EQ(value, -99.0f) << "a refused token leaves the value: " << c.token;
        }
    }
}

TEST(HvpArgumentReader, TokensLieBetweenTheMarkersAndEndAtAnHvpendToken) {
    HvpArgumentReader args("HVPSTART 17  CMD\tDOUT 0x3 true HVPEND");
    ASSERT_TRUE(args.IsParsable());
    ASSERT_EQ(args.Count(), 5u);
    EXPECT_EQ(args.Token(1), "CMD");
    int counter = 0, channel = 0;
    std::string state;
    EXPECT_TRUE(args.ReadInt(counter));
    EXPECT_TRUE(args.Expect("CMD"));
    EXPECT_FALSE(args.Expect("DOUTX"));
    EXPECT_TRUE(args.Expect("DOUT"));
    EXPECT_TRUE(args.ReadIntAuto(channel));
    EXPECT_TRUE(args.ReadWord(state));
    EXPECT_EQ(counter, 17);
    EXPECT_EQ(channel, 3);
    EXPECT_EQ(state, "true");
    EXPECT_TRUE(args.AtEnd());
    EXPECT_FALSE(args.ReadWord(state)) << "the final marker is no value";

    // A marker glued to the last token still ends the body; an inner "HVPEND" token ends
    // the values.
    HvpArgumentReader glued("HVPSTART 1 CMDHVPEND");
    ASSERT_TRUE(glued.IsParsable());
    EXPECT_EQ(glued.Count(), 2u);
    EXPECT_EQ(glued.Token(1), "CMD");
    HvpArgumentReader inner("HVPSTART 1 CMD SetActive HVPEND true HVPEND");
    EXPECT_EQ(inner.Count(), 3u);

    HvpArgumentReader markers("HVPSTARTHVPEND");
    ASSERT_TRUE(markers.IsParsable());
    EXPECT_EQ(markers.Count(), 0u);
    int value = 5;
    EXPECT_FALSE(markers.ReadInt(value));
    EXPECT_EQ(value, 5);
}

TEST(HvpArgumentReader, FramesWithANulOrWithoutMarkersAreNotParsable) {
    const std::string withNul("HVPSTART 1 CMD Get\0Version HVPEND", 33);
    for (const std::string& frame : {withNul, std::string("HVPSTART 1 CMD GetVersion"),
                                     std::string("XHVPSTART 1 CMD HVPEND"), std::string("HVPEND")}) {
        HvpArgumentReader args(frame);
        EXPECT_FALSE(args.IsParsable()) << frame;
        EXPECT_EQ(args.Count(), 0u);
    }
}

TEST(HvpArgumentReader, AFailedReadKeepsTheCursorForDefaults) {
    HvpArgumentReader args("HVPSTART 3 CMD Override abc HVPEND");
    args.SetPosition(3);
    float value = 0.0f;
    EXPECT_FALSE(args.ReadFloat(value));
    EXPECT_EQ(args.Position(), 3u);
    std::string word;
    EXPECT_TRUE(args.ReadWord(word));
    EXPECT_EQ(word, "abc");
}

TEST(HvpArgumentReader, NumberListsReadExactlyOrUpToTheirEnd) {
    const struct {
        const char* frame;
        bool exactThree;  // ReadFloats(3)
        bool upToFour;    // ReadFloatsUpTo(4)
        int count;
    } cases[] = {
        {"HVPSTART 1 1 2 3 HVPEND", true, true, 3},
        {"HVPSTART 1 1 2 HVPEND", false, true, 2},
        {"HVPSTART 1 HVPEND", false, true, 0},
        {"HVPSTART 1 1 2 3 4 5 HVPEND", true, true, 4},
        {"HVPSTART 1 1 x 3 HVPEND", false, false, 1},
        {"HVPSTART 1 1 2 nan HVPEND", false, false, 2},
    };
    for (const auto& c : cases) {
        HvpArgumentReader exact(c.frame);
        exact.SetPosition(1);
        float three[3] = {};
        EXPECT_EQ(exact.ReadFloats(three, 3), c.exactThree) << c.frame;

        HvpArgumentReader upTo(c.frame);
        upTo.SetPosition(1);
        float four[4] = {};
        int count = -1;
        EXPECT_EQ(upTo.ReadFloatsUpTo(four, 4, count), c.upToFour) << c.frame;
        EXPECT_EQ(count, c.count) << c.frame;
        if (c.upToFour && c.count > 0) {
            EXPECT_FLOAT_EQ(four[c.count - 1], static_cast<float>(c.count)) << c.frame;
        }

        HvpArgumentReader ints(c.frame);
        ints.SetPosition(1);
        int values[4] = {};
        count = -1;
        EXPECT_EQ(ints.ReadIntsUpTo(values, 4, count), c.upToFour) << c.frame;
        EXPECT_EQ(count, c.count) << c.frame;
    }
}

TEST(HvpArgumentReader, RestOfLineKeepsInnerBlanksAndDropsTheOneBeforeTheMarker) {
    const struct {
        const char* frame;
        const char* line;
    } cases[] = {
        {"HVPSTART 4 CMD UploadFileLine    <Program> HVPEND", "   <Program>"},
        {"HVPSTART 4 CMD UploadFileLine a  b  HVPEND", "a  b "},
        {"HVPSTART 4 CMD UploadFileLine  HVPEND", ""},
        {"HVPSTART 4 CMD UploadFileLine HVPEND", ""},
    };
    for (const auto& c : cases) {
        HvpArgumentReader args(c.frame);
        args.SetPosition(3);
        EXPECT_EQ(std::string(args.RestOfLine()), c.line) << c.frame;
    }
}

}  // namespace
