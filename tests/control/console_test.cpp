// The operator console: key table, override steps (also through the main loop), layouts, SDO lines, number parsing and
// the reader thread's end.

#include "control/Application.h"
#include "control/KeyboardInput.h"
#include "core/LogSingleton.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A console on an empty input: the reader ends at once and the test drives HandleLine.
struct Console {
    std::istringstream in;
    std::ostringstream out;
    KeyboardInput keys{in, out, 0ms};
    Console() { EXPECT_TRUE(keys.WaitForReaderEnd(5s)); }
};

TEST(ConsoleTest, ToNumberReadsDecimalAndLowerCaseHex) {
    struct Case {
        const char* text;
        bool ok;
        int expected;
    };
    const Case cases[] = {
        {"15", true, 15},       {"-7", true, -7},     {"0x6040", true, 0x6040}, {"0xff", true, 255},
        {"0xFFFFFFFF", true, -1}, {"0X10", true, 0},  // upper-case X is decimal: "0" then stop
        {"0x", true, 0},        {"abc", true, 0},     {"12ab", true, 12},       {"0xzz", true, 0},
        {"99999999999", true, 2147483647},            {"", false, 1234},
    };
    for (const Case& c : cases) {
        int out = 1234;
        EXPECT_EQ(ToNumber(c.text, out), c.ok) << c.text;
        EXPECT_EQ(out, c.expected) << c.text;
    }
}

TEST(ConsoleTest, CommandKeysSetTheWholePendingTriple) {
    const struct {
        const char* line;
        int code;
    } cases[] = {{"5", 2}, {"6", 3}, {"7", 4}, {"1", 10}, {"2", 11}, {"8", 14}, {"9", 16}, {"0", 13}};
    for (const auto& c : cases) {
        Console console;
        console.keys.HandleLine(c.line);
        KeyboardInput::Command taken;
        ASSERT_TRUE(console.keys.TakeCommand(taken)) << c.line;
        EXPECT_EQ(taken.code, c.code) << c.line;
        EXPECT_EQ(taken.argument, 0) << c.line;
        EXPECT_FALSE(console.keys.TakeCommand(taken)) << "taking clears it: " << c.line;
        EXPECT_NE(console.out.str().find(std::string("You entered: \"") + c.line + "\"\n"), std::string::npos);
    }
}

TEST(ConsoleTest, OverrideKeysCarryTheirStepNotAValue) {
    Console console;
    for (const auto& key : {std::make_pair("o", 10), std::make_pair("l", -10)}) {
        console.keys.HandleLine(key.first);
        const KeyboardInput::Command c = console.keys.PeekCommand();
        EXPECT_EQ(c.code, 33) << key.first;
        EXPECT_EQ(c.argument, 0) << key.first;
        EXPECT_EQ(c.overrideStep, key.second) << key.first;
    }
    console.keys.HandleLine("5");
    EXPECT_EQ(console.keys.PeekCommand().overrideStep, 0) << "other keys carry no step";
}

TEST(ConsoleTest, SteppedOverrideStaysWithinTenAndHundredAndNeverRisesOnADownStep) {
    struct Case {
        float current;
        float up;    // after "o"
        float down;  // after "l"
    };
    const Case cases[] = {
        {10.0f, 20.0f, 10.0f}, {30.0f, 40.0f, 20.0f}, {95.0f, 100.0f, 85.0f}, {100.0f, 100.0f, 90.0f},
        {15.0f, 25.0f, 10.0f}, {5.0f, 15.0f, 5.0f},    {0.0f, 10.0f, 0.0f},    {33.5f, 43.5f, 23.5f},
    };
    for (const Case& c : cases) {
        EXPECT_FLOAT_EQ(KeyboardInput::SteppedOverride(c.current, 10), c.up) << c.current;
        EXPECT_FLOAT_EQ(KeyboardInput::SteppedOverride(c.current, -10), c.down) << c.current;
    }
}

// The keys through the main loop: each steps the robot's override as it is when the
// command is taken, and logs one line.
TEST(ConsoleTest, OverrideKeysStepTheOverrideInUseThroughTheMainLoop) {
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    struct Case {
        float start;
        const char* key;
        float expected;
        const char* line;
    };
    const Case cases[] = {
        {10.0f, "o", 20.0f, "Console: Override 10.0 % -> 20.0 %"},
        {10.0f, "l", 10.0f, "Console: Override 10.0 % -> 10.0 %"},
        {30.0f, "o", 40.0f, "Console: Override 30.0 % -> 40.0 %"},
        {30.0f, "l", 20.0f, "Console: Override 30.0 % -> 20.0 %"},
        {95.0f, "o", 100.0f, "Console: Override 95.0 % -> 100.0 %"},
        {95.0f, "l", 85.0f, "Console: Override 95.0 % -> 85.0 %"},
    };
    for (const Case& c : cases) {
        Console console;
        std::atomic<bool> stop{false};
        Application app(console.keys, stop);
        app.SetWait([](int) {});
        app.GetRobotMaster().SetOverride(c.start);
        TestSupport::LogCapture log;
        console.keys.HandleLine(c.key);
        app.RunPass();
        EXPECT_FLOAT_EQ(app.GetRobotMaster().GetOverride(), c.expected) << c.start << " " << c.key;
        EXPECT_EQ(log.Count(c.line), 1) << c.line;
        EXPECT_EQ(console.keys.PeekCommand().code, 0) << "taken";
        // A second press steps from the new value.
        console.keys.HandleLine(c.key);
        app.RunPass();
        EXPECT_FLOAT_EQ(app.GetRobotMaster().GetOverride(),
                        KeyboardInput::SteppedOverride(c.expected, c.key[0] == 'o' ? 10 : -10));
    }
}

TEST(ConsoleTest, JogKeysStepSetAndZeroTheirAxis) {
    const struct {
        const char* up;
        const char* zero;
        const char* down;
        int axis;
    } axes[] = {{"q", "a", "y", 0}, {"w", "s", "x", 1}, {"e", "d", "c", 2}, {"r", "f", "v", 3},
                {"t", "g", "b", 4}, {"z", "h", "n", 5}, {"u", "j", "m", 6}};
    for (const auto& a : axes) {
        Console console;
        console.keys.HandleLine(a.up);
        console.keys.HandleLine(a.up);
        EXPECT_EQ(console.keys.GetJogValues().values[a.axis], 20.0f) << a.up;
        console.keys.HandleLine(a.zero);
        EXPECT_EQ(console.keys.GetJogValues().values[a.axis], 0.0f) << a.zero;
        for (int i = 0; i < 12; ++i) console.keys.HandleLine(a.down);
        EXPECT_EQ(console.keys.GetJogValues().values[a.axis], -120.0f) << "no limit here: " << a.down;
        for (int other = 0; other < KeyboardInput::kNrJogValues; ++other) {
            if (other != a.axis) EXPECT_EQ(console.keys.GetJogValues().values[other], 0.0f) << a.up;
        }
        EXPECT_EQ(console.keys.PeekCommand().code, 0) << "jog keys set no command";
        console.keys.ResetJogValues();
        EXPECT_EQ(console.keys.GetJogValues().values[a.axis], 0.0f);
    }
}

TEST(ConsoleTest, LayoutSwapsYAndZAndLogsTheChange) {
    Console console;
    TestSupport::LogCapture log;
    console.keys.HandleLine("z");  // German: joint 5 up
    console.keys.HandleLine("y");  // German: joint 0 down
    EXPECT_EQ(console.keys.GetJogValues().values[5], 10.0f);
    EXPECT_EQ(console.keys.GetJogValues().values[0], -10.0f);

    console.keys.HandleLine("us");
    EXPECT_EQ(console.keys.GetKeyLayout(), KeyboardInput::LAYOUT_US);
    EXPECT_TRUE(log.Contains("Keyboard layout changed to US"));
    console.keys.HandleLine("z");  // US: joint 0 down
    console.keys.HandleLine("y");  // US: joint 5 up
    EXPECT_EQ(console.keys.GetJogValues().values[0], -20.0f);
    EXPECT_EQ(console.keys.GetJogValues().values[5], 20.0f);

    console.keys.HandleLine("de");
    EXPECT_EQ(console.keys.GetKeyLayout(), KeyboardInput::LAYOUT_GERMAN);
    EXPECT_TRUE(log.Contains("Keyboard layout changed to GER"));
}

TEST(ConsoleTest, UnknownLinesOnlyEchoAndEmptyLinesDoNothing) {
    Console console;
    for (const char* line : {"Q", "O", "55", "hello", " 5"}) console.keys.HandleLine(line);
    console.keys.HandleLine("");
    EXPECT_EQ(console.out.str(),
              "You entered: \"Q\"\nYou entered: \"O\"\nYou entered: \"55\"\nYou entered: \"hello\"\n"
              "You entered: \" 5\"\n");
    EXPECT_EQ(console.keys.PeekCommand().code, 0);
    for (float v : console.keys.GetJogValues().values) EXPECT_EQ(v, 0.0f);
}

TEST(ConsoleTest, SdoLineWithFourFieldsMakesAValidRequest) {
    Console console;
    TestSupport::LogCapture log;
    console.keys.HandleLine("sdo 5 0x6040 0 15");
    EXPECT_TRUE(log.Contains("You entered: sdo device 5 address 6040 subaddress 0 value 15 (0xf)"));
    EXPECT_EQ(console.out.str(), "") << "SDO lines are not echoed";
    KeyboardInput::SdoRequest r;
    ASSERT_TRUE(console.keys.TakeSdoRequest(r));
    EXPECT_EQ(r.deviceId, 5);
    EXPECT_EQ(r.address, 0x6040);
    EXPECT_EQ(r.subAddress, 0);
    EXPECT_EQ(r.value, 15);
    EXPECT_FALSE(console.keys.TakeSdoRequest(r));
    EXPECT_EQ(console.keys.PeekCommand().code, 0);
}

TEST(ConsoleTest, SdoLineWithTooFewFieldsIsInvalid) {
    Console console;
    console.keys.HandleLine("sdo 1 0x1000 1 2");
    ASSERT_TRUE(console.keys.IsSdoRequestPending());
    TestSupport::LogCapture log;
    console.keys.HandleLine("sdo 5 0x6040");
    EXPECT_TRUE(log.Contains("Invalid command for SDO: Got '5' '0x6040' '' ''"));
    EXPECT_FALSE(log.Contains("You entered: sdo device 5"));
    EXPECT_FALSE(console.keys.IsSdoRequestPending()) << "an invalid line clears an older request";

    // An empty middle field (two blanks) fails to read: logged, but no request.
    console.keys.HandleLine("sdo 7  3 4");
    EXPECT_FALSE(console.keys.IsSdoRequestPending());
    EXPECT_TRUE(log.Contains("You entered: sdo device 7 address "));
}

TEST(ConsoleTest, HelpListsTheKeys) {
    std::ostringstream out;
    KeyboardInput::PrintHelp(out);
    const std::string text = out.str();
    EXPECT_EQ(text.rfind("\n\nKeyboard Commands:\n1: Load Joint Values and Reset\n", 0), 0u);
    for (const char* line :
         {"567: Start/Pause/Stop\n", "qay: Joint 0 (qaz in US layout)\n", "zhn: Joint 5 (yhn in US layout)\n",
          "ol:  Override +/-\n", "\"sdo\" <device id> <address> <subaddress> <value>: Send CANopen SDO\n\n",
          "\"de\": use GER key layout (default)\n\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    Console console;
    console.keys.HandleLine("help");
    EXPECT_NE(console.out.str().find("You entered: \"help\"\n\n\nKeyboard Commands:"), std::string::npos);
}

TEST(ConsoleTest, ReaderThroughAStreamSetsTheOverrideCommandAndEndsAtEndOfInput) {
    std::istringstream in("\n6\nw\no\n");
    std::ostringstream out;
    KeyboardInput keys(in, out, 1ms);
    ASSERT_TRUE(keys.WaitForReaderEnd(10s));
    EXPECT_FALSE(keys.IsReaderRunning());
    const KeyboardInput::Command c = keys.PeekCommand();
    EXPECT_EQ(c.code, 33) << "the last command replaces the pause";
    EXPECT_EQ(c.overrideStep, 10);
    EXPECT_EQ(keys.GetJogValues().values[1], 10.0f);
}

bool WaitForCommand(const KeyboardInput& keys) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (keys.PeekCommand().code == 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(ConsoleConcurrentTest, EachTakenCommandIsOneWholeTriple) {
    // The reader alternates override and jog lines while this thread takes commands; every
    // command taken must be one the reader wrote (code 33 with a step of 10 or -10, or 14).
    std::string lines;
    for (int i = 0; i < 400; ++i) lines += (i % 3 == 0) ? "l\n" : (i % 3 == 1) ? "o\n" : "8\n";
    std::istringstream in(lines);
    std::ostringstream out;
    KeyboardInput keys(in, out, 0ms);
    int taken = 0;
    KeyboardInput::Command c;
    for (;;) {
        const bool running = keys.IsReaderRunning();
        if (!keys.TakeCommand(c)) {
            if (!running) break;
            std::this_thread::yield();
            continue;
        }
        ++taken;
        if (c.code == 33) {
            EXPECT_EQ(c.argument, 0);
            EXPECT_TRUE(c.overrideStep == 10 || c.overrideStep == -10) << c.overrideStep;
        } else {
            EXPECT_EQ(c.code, 14);
            EXPECT_EQ(c.overrideStep, 0) << "a command without a step carries none";
        }
        EXPECT_EQ(c.value, 0);
    }
    EXPECT_GT(taken, 0);
    EXPECT_TRUE(keys.WaitForReaderEnd(10s));
}

// A console input that blocks until the test hands it text.
class BlockingInput : public std::streambuf {
public:
    void Push(const std::string& text, bool end) {
        std::lock_guard<std::mutex> lock(mutex);
        pending += text;
        ended = end;
        signal.notify_all();
    }
    bool WaitForBlockedRead(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return signal.wait_for(lock, timeout, [this] { return waiting; });
    }
    bool WaitDrained(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return signal.wait_for(lock, timeout, [this] { return pending.empty() && handedOut > 0; });
    }

protected:
    int_type underflow() override {
        std::unique_lock<std::mutex> lock(mutex);
        waiting = true;
        signal.notify_all();
        signal.wait(lock, [this] { return !pending.empty() || ended; });
        waiting = false;
        if (pending.empty()) return traits_type::eof();
        current = pending;
        pending.clear();
        ++handedOut;
        signal.notify_all();
        setg(&current[0], &current[0], &current[0] + current.size());
        return traits_type::to_int_type(current[0]);
    }

private:
    std::mutex mutex;
    std::condition_variable signal;
    std::string pending;
    std::string current;
    bool ended = false;
    bool waiting = false;
    int handedOut = 0;
};

TEST(ConsoleConcurrentTest, ReaderStateOutlivesTheObjectWhileAReadIsBlocked) {
    // Static: the detached reader may still touch them after the test body.
    static BlockingInput buffer;
    static std::istream in(&buffer);
    static std::ostringstream out;
    {
        KeyboardInput keys(in, out, 1ms);
        ASSERT_TRUE(buffer.WaitForBlockedRead(5s));
        buffer.Push("5\n", false);
        ASSERT_TRUE(WaitForCommand(keys));
        ASSERT_TRUE(buffer.WaitForBlockedRead(5s));
    }  // destroyed while the reader waits for the next line
    buffer.Push("7\n", true);
    ASSERT_TRUE(buffer.WaitDrained(5s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(out.str(), "You entered: \"5\"\n") << "a line after the end is not acted on";
}

}  // namespace
