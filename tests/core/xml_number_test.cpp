// XmlNumber: only finite numbers are taken from configuration attributes, and numbers are
// written so that they read back as themselves.
#include "core/XmlNumber.h"

#include "core/LogSingleton.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

using XmlNumber::Status;

// The element <E v="text"/>, or <E/> when text is null.
struct OneAttribute {
    explicit OneAttribute(const char* text) {
        element = doc.NewElement("E");
        if (text != nullptr) element->SetAttribute("v", text);
        doc.InsertEndChild(element);
    }
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* element = nullptr;
};

TEST(XmlNumberQuery, TakesFiniteNumbersOnlyAndKeepsTheValueOtherwise) {
    struct Case {
        const char* text;  // nullptr: no attribute
        Status status;
        double read;  // the value afterwards, starting from 7
    };
    const Case cases[] = {
        {"12.5", Status::Finite, 12.5},  {"-3", Status::Finite, -3.0},      {"1e3", Status::Finite, 1000.0},
        {nullptr, Status::Missing, 7.0}, {"", Status::NotNumber, 7.0},      {"abc", Status::NotNumber, 7.0},
        {"nan", Status::NotFinite, 7.0}, {"NAN", Status::NotFinite, 7.0},   {"inf", Status::NotFinite, 7.0},
        {"-inf", Status::NotFinite, 7.0}, {"1e309", Status::NotFinite, 7.0}, {"-1e309", Status::NotFinite, 7.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(missing)");
        OneAttribute e(c.text);
        double asDouble = 7.0;
        EXPECT_EQ(XmlNumber::Query(*e.element, "v", asDouble), c.status);
        EXPECT_DOUBLE_EQ(asDouble, c.read);
        float asFloat = 7.0f;
        EXPECT_EQ(XmlNumber::Query(*e.element, "v", asFloat), c.status);
        EXPECT_FLOAT_EQ(asFloat, static_cast<float>(c.read));
        EXPECT_EQ(XmlNumber::ReadFinite(*e.element, "v", asFloat), c.status == Status::Finite);
    }
}

// 1e39 fits a double but not a float: as a float it is inf.
TEST(XmlNumberQuery, AFloatOutOfRangeIsNotFinite) {
    OneAttribute e("1e39");
    float asFloat = 7.0f;
    EXPECT_EQ(XmlNumber::Query(*e.element, "v", asFloat), Status::NotFinite);
    EXPECT_FLOAT_EQ(asFloat, 7.0f);
    double asDouble = 0.0;
    EXPECT_EQ(XmlNumber::Query(*e.element, "v", asDouble), Status::Finite);
}

class FileNumbersTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("");
    }
    const XmlNumber::FileNumbers numbers{"Reader", "test file", "99 Test file not valid"};
};

TEST_F(FileNumbersTest, AnUnusableValueMakesTheFileNotValid) {
    for (const char* text : {"nan", "1e309", ""}) {
        SCOPED_TRACE(text);
        Reset();
        OneAttribute e(text);
        TestSupport::LogCapture capture;
        float value = 7.0f;
        EXPECT_FALSE(numbers.Read(e.element, "v", value));
        EXPECT_FLOAT_EQ(value, 7.0f);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "99 Test file not valid");
        EXPECT_TRUE(capture.Contains(std::string("Reader: attribute \"v\" in line \"E\" of test file is not a finite "
                                                 "number: \"") + text + "\""))
            << capture.Joined();
    }
}

TEST_F(FileNumbersTest, AFiniteOrMissingValueLeavesTheModeAlone) {
    OneAttribute given("2.5");
    double value = 0.0;
    EXPECT_TRUE(numbers.Read(given.element, "v", value));
    EXPECT_DOUBLE_EQ(value, 2.5);
    OneAttribute missing(nullptr);
    EXPECT_FALSE(numbers.Read(missing.element, "v", value));
    EXPECT_FALSE(numbers.Read(nullptr, "v", value));
    EXPECT_DOUBLE_EQ(value, 2.5);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "");
}

// The text read back (as tinyxml2 reads float and double attributes) is the same value,
// in plain decimals unless that runs long.
TEST(XmlNumberText, ShortestTextThatReadsBackExactly) {
    struct FloatCase {
        float value;
        const char* text;
    };
    const FloatCase floats[] = {
        {323.456f, "323.456"}, {0.1f, "0.1"},        {250.0f, "250"},        {-0.004f, "-0.004"},
        {0.0003f, "0.0003"},   {1e-7f, "0.0000001"}, {16777217.0f, "16777216"}, {1e-45f, "1e-45"},
        {std::numeric_limits<float>::max(), "3.4028235e+38"}, {-0.0f, "-0"},
    };
    for (const FloatCase& c : floats) {
        SCOPED_TRACE(c.text);
        const std::string text = XmlNumber::Text(c.value);
        EXPECT_EQ(text, c.text);
        OneAttribute attribute(text.c_str());
        float back = 1.0f;
        ASSERT_EQ(attribute.element->QueryFloatAttribute("v", &back), tinyxml2::XML_SUCCESS);
        EXPECT_EQ(back, c.value);
        EXPECT_EQ(std::signbit(back), std::signbit(c.value));
    }
    for (const double v : {0.1, 1.0 / 3.0, 123456.789012345, 5e-324, 1.7976931348623157e308}) {
        SCOPED_TRACE(v);
        OneAttribute attribute(XmlNumber::Text(v).c_str());
        double back = 1.0;
        ASSERT_EQ(attribute.element->QueryDoubleAttribute("v", &back), tinyxml2::XML_SUCCESS);
        EXPECT_EQ(back, v);
    }
    EXPECT_EQ(XmlNumber::Text(0.1), "0.1");
}

}  // namespace
