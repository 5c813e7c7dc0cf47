// The serial operator panel against a peer on a pseudo-terminal. The peer builds its input
// frames and the expected output frames from the panel's frame tables, byte by byte, never
// from the controller's code. A peer thread streams frames while the controller looks
// for the panel, hence Concurrent in the names.

#include "control/Display4DS.h"
#include "core/LogSingleton.h"
#include "testsupport/PseudoTerminal.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using TestSupport::PseudoTerminal;

// Input frame: FF 00, spare, mode, override, nine axes, button, two spares.
Bytes InputFrame(int mode = 0, int override = 100, std::vector<int> axes = {}, int button = 0) {
    axes.resize(9, 128);
    Bytes f{0xFF, 0x00, 0x00, static_cast<std::uint8_t>(mode), static_cast<std::uint8_t>(override)};
    for (int a : axes) f.push_back(static_cast<std::uint8_t>(a));
    f.push_back(static_cast<std::uint8_t>(button));
    f.push_back(0x00);
    f.push_back(0x00);
    return f;
}

Bytes Joined(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Restores an environment variable at the end of the test.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv(name, value, 1);
    }
    ~ScopedEnvironment() {
        if (hadOld_) {
            setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

private:
    std::string name_;
    std::string old_;
    bool hadOld_ = false;
};

// The panel side: writes frames on its own thread at a fixed rate until stopped.
class PanelPeer {
public:
    ~PanelPeer() { StopStreaming(); }

    void StartStreaming(const Bytes& first, std::chrono::microseconds interval) {
        SetFrame(first);
        running = true;
        thread = std::thread([this, interval] {
            auto next = std::chrono::steady_clock::now();
            while (running.load()) {
                Bytes f;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    f = frame;
                }
                if (pty.Write(f)) written.fetch_add(1);
                next += interval;
                std::this_thread::sleep_until(next);
            }
        });
    }
    void SetFrame(const Bytes& f) {
        std::lock_guard<std::mutex> lock(mutex);
        frame = f;
    }
    void StopStreaming() {
        running = false;
        if (thread.joinable()) thread.join();
    }

    PseudoTerminal pty;
    std::atomic<std::uint64_t> written{0};

private:
    std::mutex mutex;
    Bytes frame;
    std::atomic<bool> running{false};
    std::thread thread;
};

class Display4DSConcurrentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.pty.IsOpen());
        Display4DS::jogBias.store(30);
    }
    void TearDown() override { Display4DS::jogBias.store(30); }

    // Connects while the peer streams rest frames, then takes the backlog and drops the answer.
    void ConnectPanel() {
        peer.StartStreaming(InputFrame(), std::chrono::milliseconds(10));
        panel.Connect(peer.pty.SlavePath());
        peer.StopStreaming();
        ASSERT_TRUE(panel.IsConnected());
        panel.update();
        peer.pty.ReadAvailable();
    }

    // Writes bytes, runs one pass and returns what the controller answered.
    Bytes Pass(const Bytes& bytes) {
        EXPECT_TRUE(peer.pty.Write(bytes));
        panel.update();
        // The answer is written within the pass; a short grace for the line.
        return peer.pty.ReadAtLeast(1, 50);
    }

    float Jog(int i) const {
        float values[9];
        panel.GetJogValues(values);
        return values[i];
    }

    ScopedEnvironment noCandidates{Display4DS::kPortsEnvironment, ""};
    PanelPeer peer;
    Display4DS panel;
};

// ------------------------------------------------------------------------- detection

TEST_F(Display4DSConcurrentTest, StreamingPanelIsFoundWithinAboutASecond) {
    TestSupport::LogCapture log;
    peer.StartStreaming(InputFrame(), std::chrono::milliseconds(5));
    const auto start = std::chrono::steady_clock::now();
    panel.Connect(peer.pty.SlavePath());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    peer.StopStreaming();

    EXPECT_TRUE(panel.IsConnected());
    EXPECT_TRUE(log.Contains("Display 4DS: Connection successful")) << log.Joined();
    // Two 100 ms settling waits and a few bytes of search; generous for slow builds.
    EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
    EXPECT_EQ(peer.pty.DescriptorsOnSlave(), 2);  // the peer's and the panel's
}

TEST_F(Display4DSConcurrentTest, SilentPortIsNoPanelAndIsClosedAgain) {
    TestSupport::LogCapture log;
    const int before = peer.pty.DescriptorsOnSlave();
    panel.Connect(peer.pty.SlavePath());

    EXPECT_FALSE(panel.IsConnected());
    EXPECT_TRUE(log.Contains("Display 4DS: Port available but no display connected")) << log.Joined();
    EXPECT_EQ(peer.pty.DescriptorsOnSlave(), before);
    // Not connected: a pass neither reads nor answers, and there is no command.
    EXPECT_TRUE(peer.pty.Write(InputFrame(0, 100, {}, 50)));
    panel.update();
    EXPECT_EQ(panel.GetCommand(), 0);
    EXPECT_TRUE(peer.pty.ReadAtLeast(1, 100).empty());
    EXPECT_EQ(panel.GetPassCount(), 0u);
}

TEST_F(Display4DSConcurrentTest, DetectionTriesTheListedPortsInOrder) {
    ScopedEnvironment ports(Display4DS::kPortsEnvironment, ("/nonexistent/panel0::" + peer.pty.SlavePath()).c_str());
    TestSupport::LogCapture log;
    peer.StartStreaming(InputFrame(), std::chrono::milliseconds(5));
    panel.Connect("");
    peer.StopStreaming();

    EXPECT_TRUE(panel.IsConnected());
    const std::string text = log.Joined();
    const size_t first = text.find("Trying serial port /nonexistent/panel0");
    const size_t second = text.find("Trying serial port " + peer.pty.SlavePath());
    ASSERT_NE(first, std::string::npos) << text;
    ASSERT_NE(second, std::string::npos) << text;
    EXPECT_LT(first, second);
    EXPECT_TRUE(log.Contains("Display 4DS: Port not available"));
}

TEST(Display4DSPorts, CandidateListComesFromTheEnvironmentWhenSet) {
    {
        ScopedEnvironment unset("BELVANTO_PANEL_PORTS", "");
        unsetenv("BELVANTO_PANEL_PORTS");
        EXPECT_EQ(Display4DS::CandidatePorts(),
                  (std::vector<std::string>{"/dev/serial0", "/dev/ttyO0", "/dev/ttyO1", "/dev/ttyO2", "/dev/ttyO3"}));
    }
    ScopedEnvironment list("BELVANTO_PANEL_PORTS", ":/tmp/a::/tmp/b:");
    EXPECT_EQ(Display4DS::CandidatePorts(), (std::vector<std::string>{"/tmp/a", "/tmp/b"}));
    ScopedEnvironment none("BELVANTO_PANEL_PORTS", "");
    EXPECT_TRUE(Display4DS::CandidatePorts().empty());
}

// ------------------------------------------------------------------------- decoding

TEST_F(Display4DSConcurrentTest, AxisBytesBecomeJogValuesWithTheDeadBand) {
    ConnectPanel();
    struct Case {
        int bias;
        int byte;
        float jog1;  // mode 0: jog 1 = -axis 0
    };
    const Case cases[] = {
        {30, 150, 0.0f}, {30, 200, -21.0f}, {30, 0, 49.0f}, {30, 128, 0.0f}, {30, 255, -48.0f},
        {30, 98, 0.0f},  {30, 97, 0.0f},    {30, 96, 1.0f}, {10, 150, -6.0f},
    };
    for (const Case& c : cases) {
        Display4DS::jogBias.store(c.bias);
        Pass(InputFrame(0, 100, {c.byte}));
        EXPECT_EQ(Jog(0), c.jog1) << "byte " << c.byte << " bias " << c.bias;
    }
}

TEST_F(Display4DSConcurrentTest, PanelModeChoosesWhichAxisJogsWhichJoint) {
    ConnectPanel();
    // Axis i at byte 160 + 2i gives the axis value i + 1 with the dead band of 30.
    std::vector<int> axes;
    for (int i = 0; i < 9; ++i) axes.push_back(160 + 2 * i);
    struct Case {
        int mode;
        std::vector<float> jog;
    };
    const Case cases[] = {
        {0, {-1, -2, 3, 4, -5, 6, 0, 0, 0}}, {1, {-1, -2, 3, 4, -5, 6, 0, 0, 0}},
        {2, {-2, 3, -1, 4, -5, 6, 0, 0, 0}}, {5, {-2, 3, -1, 4, -5, 6, 0, 0, 0}},
        {6, {0, 0, 0, 0, 0, 0, 7, 8, 9}},    {7, {-2, -1, -3, 0, 0, 0, 0, 0, 0}},
        {8, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        Pass(InputFrame(c.mode, 100, axes));
        EXPECT_EQ(panel.GetPanelMode(), c.mode);
        float jog[9];
        panel.GetJogValues(jog);
        EXPECT_EQ(std::vector<float>(jog, jog + 9), c.jog) << "mode " << c.mode;
    }
}

TEST_F(Display4DSConcurrentTest, ButtonsBecomeOperatorCommands) {
    ConnectPanel();
    struct Case {
        int button;
        bool output5On;
        int overrideByte;
        int code;
        int argument;
        float value;
    };
    const Case cases[] = {
        {125, false, 100, 31, 5, 0.0f}, {125, true, 100, 32, 5, 0.0f}, {60, false, 70, 33, 0, 70.0f},
        {75, false, 100, 15, 6, 0.0f},  {70, false, 100, 15, 0, 0.0f},  {82, false, 100, 4, 0, 0.0f},
        {80, false, 100, 61, 0, 0.0f},  {50, false, 100, 11, 0, 0.0f},  {183, false, 100, 31, 63, 0.0f},
    };
    for (const Case& c : cases) {
        DataTypes::RobotState state;
        state.DOut[5] = c.output5On;
        panel.SetValues(state);
        Pass(InputFrame(0, c.overrideByte, {}, c.button));
        OperatorCommand command;
        ASSERT_TRUE(panel.TakeCommand(command)) << "button " << c.button;
        EXPECT_EQ(command.code, c.code) << "button " << c.button;
        EXPECT_EQ(command.argument, c.argument) << "button " << c.button;
        EXPECT_EQ(command.value, c.value) << "button " << c.button;
        EXPECT_EQ(panel.GetCommand(), 0);  // taken once
    }

    // Motion-type keys remember the panel's choice; unknown codes leave the pending command.
    Pass(InputFrame(0, 100, {}, 13));
    EXPECT_EQ(panel.GetMotionType(), 1);
    Pass(InputFrame(0, 100, {}, 18));
    EXPECT_EQ(panel.GetCommand(), 22);
}

// ------------------------------------------------------------------------- framing

TEST_F(Display4DSConcurrentTest, IncompleteFrameChangesNothingAndSendsNothing) {
    ConnectPanel();
    const std::uint64_t written = panel.GetBytesWritten();
    Bytes frame = InputFrame(2, 70, {200}, 50);
    frame.pop_back();
    EXPECT_TRUE(Pass(frame).empty());
    EXPECT_EQ(Jog(0), 0.0f);
    EXPECT_EQ(panel.GetPanelMode(), 0);
    EXPECT_EQ(panel.GetCommand(), 0);
    EXPECT_EQ(panel.GetBytesWritten(), written);
}

TEST_F(Display4DSConcurrentTest, SilentPanelStopsJoggingAfterAboutASecond) {
    ConnectPanel();
    Pass(InputFrame(0, 100, {200}));
    ASSERT_EQ(Jog(0), -21.0f);
    for (int pass = 1; pass < Display4DS::kSilentPassesStopJog; ++pass) panel.update();
    EXPECT_EQ(Jog(0), -21.0f);  // a few quiet passes keep the jog
    panel.update();
    EXPECT_EQ(Jog(0), 0.0f);
    Pass(InputFrame(0, 100, {200}));
    EXPECT_EQ(Jog(0), -21.0f);
}

TEST_F(Display4DSConcurrentTest, SplitStrayAndShortFramesStillDecode) {
    const Bytes frame = InputFrame(0, 100, {200}, 82);
    const Bytes shortFrame(frame.begin(), frame.end() - 1);
    struct Case {
        const char* name;
        std::vector<Bytes> chunks;  // one pass after each
    };
    const Case cases[] = {
        {"split 10 + 7", {Bytes(frame.begin(), frame.begin() + 10), Bytes(frame.begin() + 10, frame.end())}},
        {"split 1 + 16", {Bytes(frame.begin(), frame.begin() + 1), Bytes(frame.begin() + 1, frame.end())}},
        {"stray byte", {Joined({{0x55}, frame})}},
        {"stray FF", {Joined({{0xFF}, frame})}},
        {"short frame, then a whole one", {Joined({shortFrame, frame})}},
        {"short frame alone, then a whole one", {shortFrame, frame}},
        {"button in an older frame of the pass", {Joined({frame, InputFrame(0, 100, {200}), InputFrame(0, 100, {200})})}},
    };
    ConnectPanel();
    for (const Case& c : cases) {
        Bytes answer;
        for (const Bytes& chunk : c.chunks) answer = Pass(chunk);
        EXPECT_EQ(Jog(0), -21.0f) << c.name;
        EXPECT_EQ(panel.GetCommand(), 4) << c.name;
        ASSERT_EQ(answer.size(), Display4DS::kPositionFrameSize) << c.name;
        EXPECT_EQ(answer[2], 0x1C) << c.name;
        panel.ResetJogValues();
    }
}

TEST_F(Display4DSConcurrentTest, JogFollowsTheNewestFrameOfAFastPanel) {
    ConnectPanel();
    // 200 frames a second, and half a second of them before the first pass.
    peer.StartStreaming(InputFrame(0, 100, {200}), std::chrono::microseconds(5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    panel.update();
    EXPECT_EQ(Jog(0), -21.0f);
    for (int pass = 0; pass < 10; ++pass) {
        panel.update();
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    peer.pty.ReadAvailable();

    peer.SetFrame(InputFrame(0, 100, {0}));
    const std::uint64_t mark = peer.written.load();
    // Once two new frames are on the line, two passes must show them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (peer.written.load() < mark + 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(peer.written.load(), mark + 2);
    panel.update();
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    panel.update();
    EXPECT_EQ(Jog(0), 49.0f);
    peer.StopStreaming();
}

// ------------------------------------------------------------------------- output

void Put16(Bytes& f, std::size_t at, int value) {
    f[at] = static_cast<std::uint8_t>(value >> 8);
    f[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

void PutText(Bytes& f, std::size_t at, std::size_t size, const std::string& text) {
    for (std::size_t i = 0; i < size; ++i) f[at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
}

DataTypes::RobotState ShownState() {
    DataTypes::RobotState s;
    const float joints[9] = {10.5f, -20.25f, 0.0f, 300.5f, -400.0f, 45.0f, 7.5f, 1e9f,
                             std::numeric_limits<float>::quiet_NaN()};
    for (int i = 0; i < 9; ++i) {
        s.jointSet[i] = joints[i];
        s.errorCodes[i] = i + 1;
        s.boardTemps[i] = 20.9f + static_cast<float>(i);
    }
    s.errorCodes[7] = 258;
    s.errorCodes[9] = 11;
    s.errorCodes[10] = 12;
    s.boardTemps[8] = -5.5f;
    s.platformSet[0] = 1.5f;
    s.platformSet[1] = -2.5f;
    s.platformSet[2] = 100.0f;
    s.supply = 48765;
    s.currentAll = 12345;
    s.override = 55.9f;
    s.kinState = 3;
    s.programReserved = 1;
    s.runState = 1;
    s.programLine = 7;
    s.programLength = 12;
    s.programName = "DemoStart.xml";
    s.refOverall = 1;
    s.refJoint[0] = s.refJoint[3] = s.refJoint[15] = true;
    s.DIn[20] = s.DIn[27] = s.DIn[31] = s.DIn[47] = true;
    s.DOut[22] = s.DOut[30] = s.DOut[37] = s.DOut[40] = true;
    s.errorText = "Joint 2 following error!!";
    return s;
}

// The position frame of ShownState, from the frame table.
Bytes ExpectedPositionFrame(bool platformMode) {
    Bytes f(103, 0x00);
    f[0] = 0xFF, f[1] = 0x00, f[2] = 0x1C;
    if (platformMode) {
        const int words[4] = {3615, 3575, 4600, 3600};
        const int errors[4] = {258 & 0xFF, 9, 11, 12};
        for (int i = 0; i < 4; ++i) {
            Put16(f, 3 + 4 * i, words[i]);
            f[5 + 4 * i] = static_cast<std::uint8_t>(errors[i]);
        }
    } else {
        // The sixth place shows e1; the others saturate, NaN shows as zero.
        const int words[9] = {3705, 3397, 3600, 6605, 0, 3675, 3675, 65535, 3600};
        const int errors[9] = {1, 2, 3, 4, 5, 6, 7, 258 & 0xFF, 9};
        const int temps[9] = {20, 21, 22, 23, 24, 25, 26, 27, -5 & 0xFF};
        for (int i = 0; i < 9; ++i) {
            Put16(f, 3 + 4 * i, words[i]);
            f[5 + 4 * i] = static_cast<std::uint8_t>(errors[i]);
            f[6 + 4 * i] = static_cast<std::uint8_t>(temps[i]);
        }
    }
    Put16(f, 39, 48760);  // average of five equal samples, down to a multiple of 10
    Put16(f, 41, 1234);
    f[43] = 55;
    f[44] = 3;
    f[45] = 1;
    f[46] = 1;
    Put16(f, 47, 7);
    Put16(f, 49, 12);
    PutText(f, 52, 20, "DemoStart.xml");
    f[72] = 1;
    Put16(f, 73, 0x8009);
    f[75] = 0x81, f[76] = 0x02, f[77] = 0x80;
    f[78] = 0x04, f[79] = 0x81, f[80] = 0x01;
    PutText(f, 81, 20, "Joint 2 following er");
    f[101] = 'B', f[102] = 0xFF;
    return f;
}

TEST_F(Display4DSConcurrentTest, PositionFrameFollowsTheFrameTable) {
    ConnectPanel();
    panel.SetValues(ShownState());
    for (bool platformMode : {false, true}) {
        Bytes answer;
        // Five passes fill the supply average.
        for (int pass = 0; pass < 5; ++pass) answer = Pass(InputFrame(platformMode ? 7 : 0));
        EXPECT_EQ(answer, ExpectedPositionFrame(platformMode)) << (platformMode ? "panel mode 7" : "panel mode 0");
    }
}

TEST_F(Display4DSConcurrentTest, PendingMessageIsSentOnceInPlaceOfThePositionFrame) {
    LogSingleton* log = LogSingleton::instance();
    // A message queued after a quiet half second (once one has been shown) is shown once and
    // removed: show one, empty the queue, then wait.
    log->DisplayAndServerSetMessage("first");
    std::string drained;
    while (log->DisplayGetMessage(drained)) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    ConnectPanel();

    log->DisplayAndServerSetMessage("Program done, restarting now, and this text is longer");
    Bytes expected{0xFF, 0x02, 0x22};
    const std::string shown = "Program done, restarting now, an";  // 32 characters, then 0x00
    expected.insert(expected.end(), shown.begin(), shown.end());
    expected.push_back(0x00);
    expected.push_back('B');
    expected.push_back(0xFF);
    EXPECT_EQ(Pass(InputFrame()), expected);

    const Bytes next = Pass(InputFrame());
    ASSERT_EQ(next.size(), Display4DS::kPositionFrameSize);
    EXPECT_EQ(next[2], 0x1C);

    log->DisplaySetFilename("Pick.xml");
    Bytes file{0xFF, 0x01, 0x14, 'P', 'i', 'c', 'k', '.', 'x', 'm', 'l', 0x00};
    file.resize(23, ' ');
    file.push_back('B');
    file.push_back(0xFF);
    EXPECT_EQ(Pass(InputFrame()), file);
    EXPECT_EQ(Pass(InputFrame()).size(), Display4DS::kPositionFrameSize);
}

TEST_F(Display4DSConcurrentTest, CountersAreWideAndCountWhatWasWritten) {
    static_assert(sizeof(decltype(std::declval<Display4DS>().GetBytesWritten())) == 8, "64-bit byte counter");
    static_assert(sizeof(decltype(std::declval<Display4DS>().GetPassCount())) == 8, "64-bit pass counter");
    ConnectPanel();
    const std::uint64_t written = panel.GetBytesWritten();
    const std::uint64_t passes = panel.GetPassCount();
    std::size_t answered = 0;
    for (int pass = 0; pass < 3; ++pass) answered += Pass(InputFrame()).size();
    EXPECT_GE(answered, 3 * Display4DS::kMessageFrameSize);
    EXPECT_EQ(panel.GetBytesWritten() - written, answered);
    EXPECT_EQ(panel.GetPassCount() - passes, 3u);
}

}  // namespace
