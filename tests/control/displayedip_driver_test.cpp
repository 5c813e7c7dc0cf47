// The graphic display driver against a pseudo-terminal. Expected packets are written out
// byte by byte from the display protocol (0x11, length, payload, checksum, 0x0A, 0x0D).

#include "control/DisplayEDIP.h"
#include "testsupport/PseudoTerminal.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using TestSupport::PseudoTerminal;

constexpr std::uint8_t ESC = 0x1B;

bool Contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

class DisplayEDIPTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.IsOpen());
        display.Connect(pty.SlavePath());
        ASSERT_TRUE(display.IsConnected());
        startup = pty.ReadAvailable();
    }

    // The display's reply to the next buffer request.
    void Reply(const Bytes& bytes) { ASSERT_TRUE(pty.Write(bytes)); }

    // A touch key as the display reports it: ESC 'A', a count, the key code.
    void Touch(int code) {
        Reply({ESC, 'A', 0x01, static_cast<std::uint8_t>(code)});
        display.readBuffer();
        pty.ReadAvailable();
    }

    PseudoTerminal pty;
    DisplayEDIP display;
    Bytes startup;
};

TEST_F(DisplayEDIPTest, ClearDisplayAndOverridePacketsCarryTheirChecksums) {
    const Bytes clear{
        0x11, 0x03, ESC, 'T', 'A', 0xC4, 0x0A, 0x0D,              // terminal off
        0x11, 0x05, ESC, 'A', 'L', 0x00, 0x01, 0xBF, 0x0A, 0x0D,  // touch areas removed
        0x11, 0x03, ESC, 'D', 'L', 0xBF, 0x0A, 0x0D,              // display cleared
    };
    // The start-up screen begins with the same three packets.
    ASSERT_GE(startup.size(), clear.size());
    EXPECT_EQ(Bytes(startup.begin(), startup.begin() + static_cast<long>(clear.size())), clear);
    EXPECT_TRUE(Contains(startup, {0x11, 0x04, ESC, 'Z', 'F', 0x04}));

    display.clearDisplay();
    EXPECT_EQ(pty.ReadAtLeast(clear.size(), 1000), clear);

    display.SetOverride(70);
    EXPECT_EQ(pty.ReadAtLeast(10, 1000), (Bytes{0x11, 0x05, ESC, 'B', 'A', 0x01, 70, 0xFB, 0x0A, 0x0D}));
    EXPECT_EQ(display.GetOverride(), 70);
}

TEST(DisplayEDIPText, ConvertDtoCShowsOneDecimalRightAligned) {
    struct Case {
        float value;
        const char* text;
    };
    const Case cases[] = {
        {0.0f, "   0.0"},     {5.25f, "   5.2"},    {-12.3f, " -12.3"},
        {999.9f, " 999.9"},   {1234.5f, " 999.9"},  {-1234.5f, "-999.9"},
        {0.7f, "   0.7"},     {-0.5f, "  -0.5"},    {-0.04f, "  -0.0"},
        {std::numeric_limits<float>::quiet_NaN(), "   n/a"},
        {std::numeric_limits<float>::infinity(), "   n/a"},
    };
    for (const Case& c : cases) {
        char text[7] = "xxxxxx";
        DisplayEDIP::convertDtoC(c.value, text);
        EXPECT_STREQ(text, c.text) << c.value;
    }
}

TEST_F(DisplayEDIPTest, ReadBufferAsksForTheBufferAndTakesTheOverrideBar) {
    Reply({0x06, ESC, 'B', 0x01, 0x00, 70});
    display.readBuffer();
    EXPECT_EQ(pty.ReadAtLeast(4, 1000), (Bytes{0x12, 0x01, 'S', 0x66}));
    EXPECT_EQ(display.GetCommand(), 33);
    EXPECT_EQ(display.GetFloatArgument(), 70.0f);
    EXPECT_EQ(display.GetOverride(), 70);
}

TEST_F(DisplayEDIPTest, SequencesCutOffByAFullReplyAreIgnored) {
    // 128 bytes, the most one read takes: the sequences at the end lack their values.
    struct Case {
        const char* name;
        Bytes tail;
    };
    const Case cases[] = {
        {"ESC B at the end", {ESC, 'B'}},
        {"ESC B without its value", {ESC, 'B', 0x01, 0x00}},
        {"ESC A without its key", {ESC, 'A', 0x01}},
    };
    for (const Case& c : cases) {
        Bytes reply(DisplayEDIP::kReadSize - c.tail.size(), 0x20);
        reply.insert(reply.end(), c.tail.begin(), c.tail.end());
        Reply(reply);
        display.readBuffer();
        pty.ReadAvailable();
        EXPECT_EQ(display.GetCommand(), 0) << c.name;
        EXPECT_EQ(display.GetScreen(), DisplayEDIP::SCREEN_ENABLE) << c.name;
    }
}

TEST_F(DisplayEDIPTest, TouchCodesMapToTheCommandsOfTheScreenShown) {
    struct Case {
        int screenKey;  // 'q' enable, 's' joint jog, 'u' program
        int code;
        int command;
        int screen;
    };
    const Case cases[] = {
        {'q', 33, 10, DisplayEDIP::SCREEN_ENABLE},    {'q', 35, 11, DisplayEDIP::SCREEN_ENABLE},
        {'q', 37, 13, DisplayEDIP::SCREEN_ENABLE},    {'u', 53, 2, DisplayEDIP::SCREEN_PROGRAM},
        {'u', 55, 3, DisplayEDIP::SCREEN_PROGRAM},    {'u', 57, 4, DisplayEDIP::SCREEN_PROGRAM},
        {'u', 33, 0, DisplayEDIP::SCREEN_PROGRAM},    {'s', 53, 0, DisplayEDIP::SCREEN_JOG_JOINT},
    };
    for (const Case& c : cases) {
        Touch(c.screenKey);
        EXPECT_EQ(display.GetScreen(), c.screen);
        Touch(c.code);
        EXPECT_EQ(display.GetCommand(), c.command) << "key " << c.screenKey << " code " << c.code;
    }

    // Joint jog: the radio keys choose the joint, '-', release and '+' jog it.
    Touch('s');
    Touch(7);
    EXPECT_EQ(display.GetActiveJoint(), 3);
    float jog[DisplayEDIP::kNrJogValues];
    Touch(19);
    display.GetJogValues(jog);
    EXPECT_EQ(std::vector<float>(jog, jog + 6), (std::vector<float>{0, 0, 0, 100, 0, 0}));
    Touch(17);
    display.GetJogValues(jog);
    EXPECT_EQ(jog[3], -100.0f);
    Touch(18);
    display.GetJogValues(jog);
    EXPECT_EQ(jog[3], 0.0f);
    EXPECT_EQ(display.GetCommand(), 0);
}

TEST_F(DisplayEDIPTest, FirstScreenAfterTheStartUpCountdown) {
    const Bytes enableKeyOn{0x11, 0x05, ESC, 'A', 'P', 'q', 0x01};
    for (int pass = 0; pass < 29; ++pass) display.update();
    Bytes sent = pty.ReadAvailable();
    EXPECT_FALSE(Contains(sent, enableKeyOn));
    EXPECT_TRUE(Contains(sent, {0x11, 0x08, ESC, 'Z', 'C', 80, 80}));  // alive sign during start-up

    display.update();
    sent = pty.ReadAvailable();
    EXPECT_TRUE(Contains(sent, enableKeyOn));
    EXPECT_TRUE(Contains(sent, {ESC, 'A', 'T', 5, 45, 47, 65, 35, 36, 'C', 'E', 'n', 'a', 'b', 'l', 'e', 0x00}));

    // Running: buffer request, status and, on the joint jog screen, the six values.
    Touch('s');
    DataTypes::RobotState state;
    state.jointSet[0] = 12.5f;
    state.jointSet[5] = -3.0f;
    display.SetValues(state);
    display.update();
    sent = pty.ReadAvailable();
    EXPECT_TRUE(Contains(sent, {0x12, 0x01, 'S', 0x66}));
    EXPECT_TRUE(Contains(sent, {ESC, 'Z', 'C', 0x40, 0x03, 'N', 'C', 0x00}));
    EXPECT_TRUE(Contains(sent, {ESC, 'Z', 'C', 36, 23, ' ', ' ', '1', '2', '.', '5', 0x00}));
    EXPECT_TRUE(Contains(sent, {ESC, 'Z', 'C', 94, 61, ' ', ' ', '-', '3', '.', '0', 0x00}));
}

TEST(DisplayEDIPPort, MissingPortLeavesItDisconnectedAndSilent) {
    TestSupport::LogCapture log;
    DisplayEDIP display;
    display.Connect("/nonexistent/ttyEDIP");
    EXPECT_FALSE(display.IsConnected());
    EXPECT_TRUE(log.Contains("Display: unable to open /nonexistent/ttyEDIP")) << log.Joined();
    display.update();
    display.readBuffer();
    EXPECT_EQ(display.GetCommand(), 0);
}

}  // namespace
