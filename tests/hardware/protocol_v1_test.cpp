// The maker's protocol, version 1: robot file, 6-byte set-point frames with a per-frame
// counter, answers polled whatever their age, commands, and the exit on a fatal gap.

#include "hardware/HardwareProtocolJXRCAN.h"

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "kinematics/RobotKinematic.h"
#include "protocol_test_bus.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <vector>

using Hardware::HardwareProtocolJXRCAN;
using ProtocolTest::Bytes;
using ProtocolTest::WaitFor;

namespace {

std::atomic<int> exitStatus{-1};
void RecordExit(int status) { exitStatus.store(status); }

// Replaces the process exit for a fatal robot file gap while it lives.
class ExitRecorder {
public:
    ExitRecorder() : previous_(RobotKinematic::SetExitFunction(&RecordExit)) { exitStatus.store(-1); }
    ~ExitRecorder() { RobotKinematic::SetExitFunction(previous_); }

private:
    RobotKinematic::ExitFunction previous_;
};

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

const char kUnitScale[] =
    "<Robot><BusConfiguration GapMS=\"0\"><Joints NrOfJoints=\"3\"/>"
    "<Joint0 ID=\"16\" GearScale=\"1\" GearZero=\"32000\"/>"
    "<Joint1 ID=\"32\" GearScale=\"1\" GearZero=\"32000\"/>"
    "<Joint2 ID=\"48\" GearScale=\"1\" GearZero=\"32000\"/>"
    "</BusConfiguration></Robot>";

class V1Fixture : public ::testing::Test {
protected:
    void SetUp() override {
        peer = std::make_unique<ProtocolTest::ScriptedPeer>(bus.Path());
        protocol = std::make_unique<HardwareProtocolJXRCAN>(nullptr);
    }
    void TearDown() override {
        protocol.reset();
        peer.reset();
    }
    void Init(const std::string& file = ProtocolTest::FixturePath("robot_jxrcan.xml")) {
        protocol->Init("Robot", "JXRSlider", file);
    }
    std::string Write(const std::string& content) { return bus.Root().WriteFile("robot.xml", content); }
    void Connect() {
        protocol->Connect();
        ASSERT_TRUE(protocol->GetConnectionStatus());
        ASSERT_TRUE(WaitFor([&] { return !peer->FramesOn(0x10).empty(); }));
        peer->Clear();
    }
    void Deliver(int id, const std::vector<std::uint8_t>& bytes) {
        CANInterfaceSocketCAN& can = protocol->GetCANInterface();
        const timespec before = can.GetLastMessageEntry(id).time;
        peer->Send(id, bytes);
        ASSERT_TRUE(WaitFor([&] {
            const timespec t = can.GetLastMessageEntry(id).time;
            return t.tv_sec != before.tv_sec || t.tv_nsec != before.tv_nsec;
        }));
    }
    void Cycle(int n = 1) {
        for (int i = 0; i < n; ++i) {
            protocol->SetJoints(target);
            protocol->GetJoints(&measured);
        }
    }

    ProtocolTest::ScopedOperationMode mode;
    ProtocolTest::TestBus bus;
    std::unique_ptr<ProtocolTest::ScriptedPeer> peer;
    std::unique_ptr<HardwareProtocolJXRCAN> protocol;
    DataTypes::RobotState target;
    DataTypes::RobotState measured;
};

using V1 = V1Fixture;

TEST_F(V1, ReadsTheRobotFile) {
    TestSupport::LogCapture capture;
    Init();
    EXPECT_EQ(protocol->GetRobotJointCount(), 3);
    EXPECT_EQ(protocol->GetModuleTotal(), 3);
    EXPECT_EQ(protocol->GetGap(), 0.0f);
    const int ids[3] = {16, 32, 48};
    const float scales[3] = {190.0f, 100.0f, -150.0f};
    const float zeros[3] = {32000.0f, 30000.0f, 33000.0f};
    const float currentScales[3] = {2.0f, 1.0f, 1.0f};
    const float currentZeros[3] = {10.0f, 30.0f, 0.0f};
    for (int j = 0; j < 3; ++j) {
        const Hardware::jointData& r = protocol->GetJointData(j);
        EXPECT_EQ(r.canId, ids[j]);
        EXPECT_EQ(r.GearScale, scales[j]);
        EXPECT_EQ(r.GearZero, zeros[j]);
        EXPECT_EQ(r.CurrentScale, currentScales[j]);
        EXPECT_EQ(r.CurrentZero, currentZeros[j]);
        EXPECT_EQ(r.errorCode.load(), 0x100);
    }
    EXPECT_EQ(protocol->GetJointData(3).canId, 0x08);  // default of record 3
    EXPECT_TRUE(capture.Contains("ProtocolJXRCAN: GapMS: 0.0"));
    EXPECT_TRUE(capture.Contains("Protocol JXRCAN: 3 joints:"));
    EXPECT_TRUE(capture.Contains("   Joint 2: CAN ID 48 - GearScale -150.000 - GearZero 33000.000"));
    EXPECT_EQ(capture.Count("ProtocolJXRCANV: joint CurrentScale not found!"), 1);
    EXPECT_EQ(capture.Count("ProtocolJXRCANV: joint CurrentZero not found!"), 1);
    EXPECT_EQ(protocol->GetCANInterface().protocolCallback.load(), nullptr);
}

TEST_F(V1, FatalGapsEndTheProcessWithStatus46) {
    struct Case {
        const char* from;
        const char* to;
        const char* line;
    };
    const Case cases[] = {
        {"</Robot>", "<", "ProtocolJXRCAN: could not read ini correctly: "},
        {"Robot>", "Rob>", "ProtocolJXRCAN: line Robot not found in project file!"},
        {"BusConfiguration", "Bus", "ProtocolJXRCAN: line BusConfiguration not found in project file!"},
        {" GapMS=\"0\"", "", "ProtocolJXRCAN: attribute GapMS not found in line BusConfiguration of project file!"},
        {"GapMS=\"0\"", "GapMS=\"-1\"",
         "ProtocolJXRCAN: attribute GapMS not found in line BusConfiguration of project file!"},
        {"<Joints NrOfJoints=\"3\"/>", "", "ProtocolJXRCAN: line Joints not found in project file!"},
        {"NrOfJoints=\"3\"", "NrOfJoints=\"-2\"",
         "ProtocolJXRCAN: attribute NrOfJoints not found in line Joints of project file!"},
        {"NrOfJoints=\"3\"", "NrOfJoints=\"7\"",
         "ProtocolJXRCAN: attribute NrOfJoints not found in line Joints of project file!"},
        {"<Joint2 ", "<JointX ", "ProtocolJXRCAN: joint definition not found!"},
        {"ID=\"48\"", "ID=\"-48\"", "ProtocolJXRCAN: joint ID not found!"},
        {" GearScale=\"1\" GearZero=\"32000\"/></Bus", " GearZero=\"32000\"/></Bus",
         "ProtocolJXRCAN: joint GearScale not found!"},
        {"GearScale=\"1\"", "GearScale=\"0\"", "ProtocolJXRCAN: joint GearScale not found!"},
        {" GearZero=\"32000\"/></Bus", "/></Bus", "ProtocolJXRCAN: joint GearZero not found!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ExitRecorder recorder;
        TestSupport::LogCapture capture;
        HardwareProtocolJXRCAN p(nullptr);
        EXPECT_FALSE(p.ReadConfigFile(Write(ReplaceAll(kUnitScale, c.from, c.to))));
        EXPECT_EQ(exitStatus.load(), 46);
        EXPECT_TRUE(capture.Contains(c.line));
    }
    ExitRecorder recorder;
    HardwareProtocolJXRCAN p(nullptr);
    EXPECT_FALSE(p.ReadConfigFile(bus.Root().Path() + "/none.xml"));
    EXPECT_EQ(exitStatus.load(), 46);
}

TEST(V1Exit, MissingGearZeroEndsTheProcessWithStatus46) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TestSupport::TempDataRoot root;
    const std::string file =
        root.WriteFile("robot.xml", ReplaceAll(kUnitScale, " GearZero=\"32000\"/></Bus", "/></Bus"));
    EXPECT_EXIT(
        {
            HardwareProtocolJXRCAN p(nullptr);
            p.Init("Robot", "JXRSlider", file);
        },
        ::testing::ExitedWithCode(46), "ProtocolJXRCAN: joint GearZero not found!");
}

TEST_F(V1, SetPointFramesSplitThePositionIntoTwoBytes) {
    Init(Write(kUnitScale));
    Connect();
    protocol->SetIO(1, 3, true);
    protocol->SetIO(1, 4, true);   // version 1 modules have channels 0..3
    protocol->SetIO(3, 0, true);   // no such joint
    EXPECT_EQ(protocol->GetOutputByte(1), 0x08);
    EXPECT_EQ(protocol->GetOutputByte(3), 0);
    struct Case {
        float setPoint;
        std::uint8_t high;
        std::uint8_t low;
    };
    const Case cases[3] = {{256.0f, 0x7E, 0x00}, {-32001.0f, 0x00, 0xFF}, {-33000.0f, 0xFD, 0x18}};
    for (int j = 0; j < 3; ++j) target.jointSet[j] = cases[j].setPoint;
    Cycle();
    ASSERT_TRUE(peer->WaitForCount(3));
    const std::vector<can_frame> frames = peer->Frames();
    for (int j = 0; j < 3; ++j) {
        SCOPED_TRACE(j);
        EXPECT_EQ(static_cast<int>(frames[j].can_id), 0x10 * (j + 1));
        EXPECT_EQ(Bytes(frames[j]), (std::vector<std::uint8_t>{0x04, 0x80, cases[j].high, cases[j].low,
                                                               static_cast<std::uint8_t>(j),
                                                               static_cast<std::uint8_t>(j == 1 ? 0x08 : 0)}));
    }
}

TEST_F(V1, FrameCounterAdvancesPerFrameModulo100) {
    Init();
    Connect();
    Cycle(33);
    EXPECT_EQ(protocol->GetFrameCounter(), 99);
    peer->Clear();
    Cycle();
    ASSERT_TRUE(peer->WaitForCount(3));
    const std::vector<can_frame> frames = peer->Frames();
    EXPECT_EQ(frames[0].data[4], 99);
    EXPECT_EQ(frames[1].data[4], 0);
    EXPECT_EQ(frames[2].data[4], 1);
}

TEST_F(V1, NothingIsSentWhileNotConnected) {
    Init();
    target.jointSet[0] = 1.0f;
    Cycle(2);
    EXPECT_EQ(protocol->GetFrameCounter(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(peer->Count(), 0u);
}

TEST_F(V1, AnswersAreReadWhateverTheirAge) {
    Init();
    Connect();
    // Joint 0: 32380 -> (32380 - 32000) / 190 = 2; aux 130 - 127; current 7 * 2 + 10.
    Deliver(0x11, {0x00, 130, 0x7E, 0x7C, 7, 0, 0, 0x81});
    // Joint 1: error bits, aux 127 - 127.
    Deliver(0x21, {0x14, 127, 0x75, 0x30, 0, 0, 0, 0x01});
    Cycle();
    EXPECT_FLOAT_EQ(measured.jointAct[0], 2.0f);
    EXPECT_FLOAT_EQ(measured.jointAct[1], 0.0f);
    const Hardware::jointData& j0 = protocol->GetJointData(0);
    EXPECT_FLOAT_EQ(j0.auxValue.load(), 3.0f);
    EXPECT_FLOAT_EQ(j0.current.load(), 24.0f);
    EXPECT_EQ(j0.digitalInputs.load(), 0x81u);
    EXPECT_EQ(j0.statusFlag.load(), 1);
    EXPECT_EQ(j0.enabled.load(), 1);
    EXPECT_EQ(protocol->GetJointData(1).enabled.load(), 0);
    EXPECT_EQ(protocol->GetJointData(1).statusFlag.load(), 0);
    // Joint 2 never answered: it reads the neutral table entry, 0x80 is its error byte.
    EXPECT_EQ(protocol->GetJointData(2).errorCode.load(), 0x80);

    int codes[16] = {};
    protocol->GetErrorHexCode(codes);
    EXPECT_EQ(codes[0], 0);
    EXPECT_EQ(codes[1], 0x14);
    EXPECT_EQ(codes[2], 0x80);
    std::string texts[16];
    protocol->GetError(texts);
    EXPECT_EQ(texts[0], "NoError");
    EXPECT_EQ(texts[1], "MNE_LAG");
    EXPECT_EQ(texts[2], "_CAN");
    EXPECT_FALSE(protocol->GetMotorEnabled());

    TestSupport::LogCapture capture;
    std::string text;
    std::string shortText;
    protocol->GetError(text, shortText);
    protocol->GetError(text, shortText);
    EXPECT_EQ(text, "Status:  - motor not enabled - position lag - CAN error");
    EXPECT_EQ(shortText, "MNE_LAG_CAN");
    EXPECT_FALSE(protocol->IsErrorFree());
    EXPECT_EQ(capture.Count("CAN status changed:  - motor not enabled - position lag - CAN error"), 1);

    // Answers are not aged out: a silent joint keeps its last answer.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Cycle();
    EXPECT_FLOAT_EQ(measured.jointAct[0], 2.0f);
}

TEST_F(V1, StatusDecodesTheVersionOneBits) {
    struct Case {
        int code;
        const char* text;
        const char* shortText;
    };
    // Error-free is only ever set by decoding; the code without bits comes last.
    const Case cases[] = {
        {0x003, " - brown out or watch dog - velLag", "BOWDVLAG"},
        {0x0C8, " - comm watch dog - over current - CAN error", "_COM_OC_CAN"},
        {0x320, " - encoder error - bus dead - module dead", "_ENC_BUS_DEAD"},
        {0x000, "no error", "NoError"},
    };
    std::string text;
    std::string shortText;
    for (const Case& c : cases) {
        protocol->DecodeErrorCode(c.code, &text, &shortText);
        EXPECT_EQ(text, c.text) << c.code;
        EXPECT_EQ(shortText, c.shortText) << c.code;
        EXPECT_EQ(protocol->IsErrorFree(), c.code == 0) << c.code;
    }
    protocol->GetError(text, shortText);
    EXPECT_EQ(text, "Status: not connected");
    EXPECT_EQ(shortText, "NotConnected");
}

TEST_F(V1, MeasuredValuesFollowTheSetPointsOfIdealDrives) {
    Init();
    // Ideal first-generation drives: the 16-bit position of each set-point comes back.
    peer->SetResponder([](const can_frame& f, ProtocolTest::ScriptedPeer& p) {
        if (f.can_dlc == 6 && f.data[0] == 0x04) {
            p.Send(static_cast<int>(f.can_id) + 1, {0x00, 127, f.data[2], f.data[3], 0, 0, 0, 0});
        }
    });
    Connect();
    const float setPoints[][3] = {{0.0f, 0.0f, 0.0f}, {1.234f, -20.5f, 7.77f}, {-150.0f, 25.0f, -10.0f}};
    for (const auto& s : setPoints) {
        for (int j = 0; j < 3; ++j) target.jointSet[j] = s[j];
        ASSERT_TRUE(WaitFor([&] {
            Cycle();
            for (int j = 0; j < 3; ++j) {
                const float scale = std::fabs(protocol->GetJointData(j).GearScale);
                if (std::fabs(measured.jointAct[j] - s[j]) > 1.0f / scale) return false;
            }
            return true;
        }));
    }
    EXPECT_TRUE(protocol->GetMotorEnabled());
}

TEST_F(V1, CommandsGoToTheRobotJoints) {
    Init();
    TestSupport::LogCapture capture;
    protocol->SetToZeroPos(0);
    EXPECT_TRUE(capture.Contains("ProtocolJXRCAN: Can not set to zero pos before connecting"));
    Connect();
    struct Case {
        const char* what;
        std::function<void()> command;
        std::vector<int> to;
        std::vector<std::uint8_t> data;
    };
    const Case cases[] = {
        {"enable", [&] { protocol->EnableMotors(true); }, {0x10, 0x20, 0x30}, {0x01, 0x09}},
        {"disable", [&] { protocol->EnableMotors(false); }, {0x10, 0x20, 0x30}, {0x01, 0x0A}},
        {"reset", [&] { protocol->ResetError(); }, {0x10, 0x20, 0x30}, {0x01, 0x06}},
        {"zero", [&] { protocol->SetToZeroPos(1); }, {0x20, 0x20}, {0x01, 0x08, 0x7D, 0x00}},
        {"zero beyond the joints", [&] { protocol->SetToZeroPos(3); }, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        peer->Clear();
        c.command();
        EXPECT_TRUE(protocol->IsCommunicationActive());
        if (!c.to.empty()) {
            ASSERT_TRUE(peer->WaitForCount(c.to.size()));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const std::vector<can_frame> frames = peer->Frames();
        ASSERT_EQ(frames.size(), c.to.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(static_cast<int>(frames[i].can_id), c.to[i]);
            EXPECT_EQ(Bytes(frames[i]), c.data);
        }
    }
    EXPECT_TRUE(capture.Contains("Enabling motors"));
    EXPECT_TRUE(capture.Contains("Disabling motors"));
    EXPECT_EQ(capture.Count("Setting joint 1 to zero pos"), 1);
    EXPECT_EQ(capture.Count("to zero pos"), 2);  // the not-connected line and joint 1

    // No DIO modules in this version.
    protocol->InitDIOModules(0x300);
    protocol->SetDIOModuleIDs(1, 2, 3);
    unsigned char a = 9, b = 9, c = 9;
    protocol->GetDIOModuleIDs(a, b, c);
    EXPECT_EQ(a + b + c, 0);
    EXPECT_EQ(protocol->GetModuleTotal(), 3);
}

TEST_F(V1, NoJointsMeansMotorsNotEnabled) {
    Init(Write(ReplaceAll(kUnitScale, "NrOfJoints=\"3\"", "NrOfJoints=\"0\"")));
    EXPECT_EQ(protocol->GetRobotJointCount(), 0);
    EXPECT_FALSE(protocol->GetMotorEnabled());
}

}  // namespace
