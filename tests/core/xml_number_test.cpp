// XmlNumber: only finite numbers are taken from configuration attributes.
#include "core/XmlNumber.h"

#include "core/LogSingleton.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

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

}  // namespace
