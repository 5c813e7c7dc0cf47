// The cyclic exchange of the protocol of versions 2 and 3: set-point frames out, answers,
// temperatures and the main DIO frame back in.

#include "hardware/HardwareProtocolJXRCANV2.h"

#include "core/RobotState.h"
#include "kinematics/ExternalAxis.h"
#include "kinematics/RobotKinematic.h"
#include "protocol_test_bus.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <limits>
#include <vector>

using Hardware::HardwareProtocolJXRCANV2;
using ProtocolTest::Bytes;
using ProtocolTest::IdealDrives;
using ProtocolTest::WaitFor;

namespace {

const int kIds[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};

std::vector<std::uint8_t> PositionFrame(std::int32_t position, int counter, int output) {
    const std::uint32_t p = static_cast<std::uint32_t>(position);
    return {0x14, 0x80, static_cast<std::uint8_t>(p >> 24), static_cast<std::uint8_t>(p >> 16),
            static_cast<std::uint8_t>(p >> 8), static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(counter),
            static_cast<std::uint8_t>(output)};
}

// Doubles the first joint towards the motors and halves it back.
class DoublingKinematic : public RobotKinematic {
public:
    std::unique_ptr<RobotKinematic> clone() const override { return nullptr; }
    void AdaptJointsToMotors(float* values) override { values[0] *= 2.0f; }
    void AdaptMotorsToJoints(float* values) override { values[0] /= 2.0f; }
};

using V2Cycle = ProtocolTest::V2Fixture;

TEST_F(V2Cycle, NothingIsSentWhileNotConnected) {
    Init();
    target.jointSet[0] = 1.0f;
    Cycle(3);
    EXPECT_EQ(protocol->GetCycleCounter(), 0);
    EXPECT_FALSE(protocol->IsCommunicationActive());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(peer->Count(), 0u);
}

TEST_F(V2Cycle, PositionFramesCarryScaledSetPointsCounterAndOutputs) {
    Init();
    Connect();
    protocol->SetIO(1, 3, true);
    protocol->SetIO(1, 0, true);
    protocol->SetIO(1, 0, false);
    protocol->SetIO(1, 8, true);   // no such channel
    protocol->SetIO(6, 0, true);   // no such record
    protocol->SetIO(-1, 0, true);
    EXPECT_EQ(protocol->GetOutputByte(1), 0x08);
    EXPECT_EQ(protocol->GetOutputByte(6), 0);

    struct Case {
        float value;
        std::int32_t position;  // int(value * GearScale + GearZero), saturated
    };
    // Scales and zeros of the fixture: 190/0, 200/1000, -210/-500, 100/0, 100/0, 100/0.
    const Case cases[6] = {{0.5f, 95},        {-3.3f, 340},       {10.0f, -2600},
                           {1e9f, INT32_MAX}, {-1e9f, INT32_MIN}, {-0.019f, -1}};
    for (int j = 0; j < 6; ++j) target.jointSet[j] = cases[j].value;
    Cycle();
    ASSERT_TRUE(peer->WaitForCount(6));
    const std::vector<can_frame> frames = peer->Frames();
    ASSERT_EQ(frames.size(), 6u);
    for (int j = 0; j < 6; ++j) {
        SCOPED_TRACE(j);
        EXPECT_EQ(static_cast<int>(frames[j].can_id), kIds[j]);
        EXPECT_EQ(frames[j].can_dlc, 8);
        EXPECT_EQ(Bytes(frames[j]), PositionFrame(cases[j].position, 1, j == 1 ? 0x08 : 0));
        EXPECT_FLOAT_EQ(protocol->GetJointData(j).setPoint.load(), cases[j].value);
    }

    // A NaN set-point holds the last one.
    peer->Clear();
    target.jointSet[0] = std::numeric_limits<float>::quiet_NaN();
    Cycle();
    ASSERT_TRUE(peer->WaitForCount(6));
    EXPECT_EQ(Bytes(peer->FramesOn(0x10).at(0)), PositionFrame(95, 2, 0));
}

TEST_F(V2Cycle, CycleCounterRunsFrom0To254) {
    Init();
    Connect();
    Cycle(253);
    EXPECT_EQ(protocol->GetCycleCounter(), 253);
    const int expected[] = {254, 0, 1};
    for (int counter : expected) {
        peer->Clear();
        Cycle();
        EXPECT_EQ(protocol->GetCycleCounter(), counter);
        ASSERT_TRUE(peer->WaitForCount(6));
        for (const can_frame& f : peer->Frames()) EXPECT_EQ(f.data[6], counter);
    }
}

TEST_F(V2Cycle, GapSeparatesTheFramesOfOneCycle) {
    const std::string file = bus.Root().WriteFile(
        "robot.xml", ProtocolTest::FixtureWithEdit("robot_jxrcanv2.xml", "GapMS=\"0\"", "GapMS=\"2\""));
    Init(file);
    Connect();
    const auto start = std::chrono::steady_clock::now();
    Cycle();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(12));
}

TEST_F(V2Cycle, TorqueAndVelocityModesSendTheirOwnFrames) {
    Init();
    ExternalAxis axis(0, "Track", ExternalAxis::Velocity);
    axis.ID = 0x70;
    axis.GearScale = 100.0;
    axis.VelMax = 50.0;
    protocol->InitExternalJoint(axis);
    Connect();
    TestSupport::LogCapture capture;
    protocol->SetJointMode(0, Hardware::JointModeTorque);
    protocol->SetJointMode(1, Hardware::JointModeZeroTorque);
    protocol->SetJointMode(1, Hardware::JointModeZeroTorque);
    protocol->SetJointMode(7, Hardware::JointModeTorque);  // no such record
    EXPECT_TRUE(capture.Contains("Setting mode of joint 0 to 10"));
    EXPECT_TRUE(capture.Contains("Not setting mode of joint 1 to 11, already set"));
    EXPECT_FALSE(capture.Contains("joint 7"));

    struct Case {
        float velocity;
        float override;
        std::vector<std::uint8_t> bytes;  // without the counter
    };
    const Case cases[] = {
        {10.0f, 100.0f, {0x25, 0x03, 0xE8}},   // 10 * 100 = 1000
        {80.0f, 50.0f, {0x25, 0x09, 0xC4}},    // limited to 50, at 50 %: 2500
        {-80.0f, 100.0f, {0x25, 0xEC, 0x78}},  // -5000
    };
    int counter = 0;
    for (const Case& c : cases) {
        peer->Clear();
        target.jointVel[6] = c.velocity;
        target.override = c.override;
        Cycle();
        ++counter;
        ASSERT_TRUE(peer->WaitForCount(7));
        const can_frame torque0 = peer->FramesOn(0x10).at(0);
        EXPECT_EQ(Bytes(torque0), (std::vector<std::uint8_t>{0x16, 0x00, 0x00, static_cast<std::uint8_t>(counter)}));
        EXPECT_EQ(Bytes(peer->FramesOn(0x20).at(0)), Bytes(torque0));
        const can_frame v = peer->FramesOn(0x70).at(0);
        ASSERT_EQ(v.can_dlc, 4);
        std::vector<std::uint8_t> expected = c.bytes;
        expected.push_back(static_cast<std::uint8_t>(counter));
        EXPECT_EQ(Bytes(v), expected) << c.velocity;
    }
    // A velocity axis reads back 0 whatever it answers.
    Deliver(0x71, {0x00, 0x00, 0x00, 0x10, 0x00, 0, 0, 0});
    Cycle();
    EXPECT_EQ(measured.jointAct[6], 0.0f);
}

TEST_F(V2Cycle, DioInputsCountFromTheModulesFirstAnswerAndAreReadFromItsLatestFrame) {
    Init();
    protocol->InitDIOModules(0x300);
    Connect();
    // Before the module's first answer its inputs are not read and stay as they were.
    Cycle();
    bool inputs[64] = {};
    inputs[20] = true;
    protocol->GetDigitalIORail(inputs);
    EXPECT_TRUE(inputs[20]);
    EXPECT_FALSE(protocol->IsDigitalInputRead(20));

    // Its answer counts at the next read, with no cycle between (the e-stop reads it so).
    Deliver(0x301, {0, 0, 0, 0, 0, 0, 0, 0x01});
    protocol->GetDigitalIORail(inputs);
    EXPECT_TRUE(protocol->IsDigitalInputRead(20));
    EXPECT_TRUE(inputs[20]);
    Deliver(0x301, {0, 0, 0, 0, 0, 0, 0, 0x00});
    protocol->GetDigitalIORail(inputs);
    EXPECT_FALSE(inputs[20]) << "the latest frame, not the one the last cycle decoded";
    // Inputs no module carries are never read: channels 7..9 of a module, a module missing,
    // the joint modules' range and the inputs past the rail.
    for (int n : {0, 19, 27, 29, 30, 46, 50, 63}) EXPECT_FALSE(protocol->IsDigitalInputRead(n)) << n;
    for (int n : {20, 26}) EXPECT_TRUE(protocol->IsDigitalInputRead(n)) << n;
}

TEST_F(V2Cycle, DioModulesGetTheirOutputFrame) {
    Init();
    protocol->InitDIOModules(0x300);
    protocol->InitDIOModules(0x310);
    Connect();
    protocol->SetRailIO(0, 2, true);
    protocol->SetRailIO(0, 6, true);
    protocol->SetRailIO(0, 6, false);
    protocol->SetRailIO(0, 7, true);   // no such channel
    protocol->SetRailIO(3, 0, true);   // no such module
    protocol->SetIO(6, 0, true);       // the record's own output byte
    protocol->SetRailIO(1, 1, true);
    EXPECT_EQ(protocol->GetDIOModuleOutput(0), 0x04);
    Cycle();
    ASSERT_TRUE(peer->WaitForCount(8));
    EXPECT_EQ(Bytes(peer->FramesOn(0x300).at(0)), (std::vector<std::uint8_t>{0x14, 0, 0, 0, 0, 0, 1, 0x05}));
    EXPECT_EQ(Bytes(peer->FramesOn(0x310).at(0)), (std::vector<std::uint8_t>{0x14, 0, 0, 0, 0, 0, 1, 0x02}));

    // Inputs of the DIO modules spread into the rail inputs, bits 0..6 only.
    Deliver(0x301, {0, 0, 0, 0, 0, 0, 0, 0xC3});
    Deliver(0x311, {0, 0, 0, 0, 0, 0, 0, 0x7F});
    Cycle();
    bool inputs[64] = {};
    inputs[40] = true;  // a third module does not exist: its inputs stay untouched
    protocol->GetDigitalIORail(inputs);
    const bool first[7] = {true, true, false, false, false, false, true};
    for (int b = 0; b < 7; ++b) {
        EXPECT_EQ(inputs[20 + b], first[b]) << b;
        EXPECT_TRUE(inputs[30 + b]) << b;
    }
    EXPECT_FALSE(inputs[27]);
    EXPECT_TRUE(inputs[40]);
    // DIO records are not converted as joints.
    EXPECT_EQ(protocol->GetJointData(6).measured.load(), 0.0f);
    EXPECT_EQ(protocol->GetJointData(6).errorCode.load(), 0);
}

TEST_F(V2Cycle, AnswersBecomeMeasuredValuesCurrentsAndFlags) {
    Init();
    Connect();
    // Joint 0: no error, 2.0 at scale 190, current 0x0102, referenced.
    Deliver(0x11, {0x00, 0x00, 0x00, 0x01, 0x7C, 0x01, 0x02, 0x85});
    // Joint 1: position lag, -1.5 at scale 200 / zero 1000, current 16 * 2 + 5.
    Deliver(0x21, {0x10, 0x00, 0x00, 0x02, 0xBC, 0x00, 0x10, 0x01});
    // Joint 2: switches to the short current format with bit 7 of byte 5.
    Deliver(0x31, {0x00, 0xFF, 0xFF, 0xFE, 0x0C, 0x80, 0x21, 0x00});
    Cycle();
    EXPECT_FLOAT_EQ(measured.jointAct[0], 2.0f);
    EXPECT_FLOAT_EQ(measured.jointAct[1], -1.5f);
    EXPECT_FLOAT_EQ(measured.jointAct[2], (-500.0f - -500.0f) / -210.0f);

    int codes[16] = {};
    protocol->GetErrorHexCode(codes);
    const int expectedCodes[6] = {0, 0x10, 0, 0x200, 0x200, 0x200};
    for (int j = 0; j < 6; ++j) EXPECT_EQ(codes[j], expectedCodes[j]) << j;
    int currents[16] = {};
    protocol->GetCurrentValues(currents);
    EXPECT_EQ(currents[0], 258);
    EXPECT_EQ(currents[1], 37);
    EXPECT_EQ(currents[2], 0x21);
    std::string texts[16];
    protocol->GetError(texts);
    const char* expectedTexts[6] = {"NoError", "_LAG", "NoError", "na", "na", "na"};
    for (int j = 0; j < 6; ++j) EXPECT_EQ(texts[j], expectedTexts[j]) << j;
    EXPECT_EQ(protocol->GetJointData(0).enabled.load(), 1);
    EXPECT_EQ(protocol->GetJointData(1).enabled.load(), 0);
    EXPECT_EQ(protocol->GetJointData(3).enabled.load(), 0);
    EXPECT_EQ(protocol->GetJointData(0).referenced.load(), 1);
    EXPECT_EQ(protocol->GetJointData(1).referenced.load(), 0);
    int inputs = -1;
    protocol->GetDigitalIO(0, &inputs);
    EXPECT_EQ(inputs, 0x85);
    inputs = -1;
    protocol->GetDigitalIO(16, &inputs);
    EXPECT_EQ(inputs, -1);
    EXPECT_FALSE(protocol->GetMotorEnabled());

    // The short format stays once chosen: byte 6 alone is the current.
    Deliver(0x31, {0x00, 0xFF, 0xFF, 0xFE, 0x0C, 0x01, 0x22, 0x00});
    Cycle();
    protocol->GetCurrentValues(currents);
    EXPECT_EQ(currents[2], 0x22);
}

TEST_F(V2Cycle, MotorsCountAsEnabledWhileEveryModuleAnswersWithoutError) {
    Init();
    IdealDrives drives(*peer, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
    Connect();
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return protocol->GetMotorEnabled();
    }));
    protocol->SetJointMode(2, Hardware::JointModeZeroTorque);
    EXPECT_FALSE(protocol->GetMotorEnabled());
    protocol->SetJointMode(2, Hardware::JointModePosition);
    drives.SetError(0x40, 0x04);
    EXPECT_TRUE(WaitFor([&] {
        Cycle();
        return !protocol->GetMotorEnabled();
    }));
}

TEST_F(V2Cycle, SilentModulesAreDeadAfterTwoSecondsAndDisconnectAfter100Cycles) {
    Init();
    IdealDrives drives(*peer, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
    Connect();
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return protocol->GetMotorEnabled();
    }));
    drives.Silence(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    Cycle();
    for (int j = 0; j < 6; ++j) {
        EXPECT_EQ(protocol->GetJointData(j).errorCode.load(), 0x200) << j;
        EXPECT_EQ(protocol->GetJointData(j).enabled.load(), 0) << j;
    }
    Cycle(99);
    EXPECT_EQ(protocol->GetNoAnswerCycles(), 100);
    EXPECT_TRUE(protocol->GetConnectionStatus());
    Cycle();
    EXPECT_FALSE(protocol->GetConnectionStatus());
    EXPECT_EQ(protocol->GetNoAnswerCycles(), 0);
}

TEST_F(V2Cycle, TemperaturesAreReadEvery101Cycles) {
    Init();
    protocol->InitTool(1, 0x90, 100.0f, 0.0f);
    Connect();
    Deliver(0x13, {0x12, 0, 0, 0, 0, 0, 0x01, 0x00});   // 256 * 0.3125 - 25.6
    Deliver(0x23, {0x11, 0, 0, 0, 0, 0, 0x01, 0x00});   // not a temperature frame
    Deliver(0x33, {0x12, 0, 0, 0, 0, 0, 0x00, 0x64});   // 100 * 0.5 - 10
    Cycle(100);
    float temps[16] = {};
    protocol->GetTempValues(temps);
    EXPECT_EQ(temps[0], 0.0f);
    Cycle();
    protocol->GetTempValues(temps);
    EXPECT_FLOAT_EQ(temps[0], 54.4f);
    EXPECT_FLOAT_EQ(temps[1], -1.0f);
    EXPECT_FLOAT_EQ(temps[2], 40.0f);
    EXPECT_FLOAT_EQ(temps[3], -1.0f);
    // The gripper has no temperature frame.
    EXPECT_EQ(temps[6], 0.0f);
}

TEST_F(V2Cycle, MainDioFrameGivesSupplyValueAndStatus) {
    Init();
    Connect();
    EXPECT_EQ(protocol->GetMainDIOStatus(), 3);
    Deliver(0x006, {0, 0, 0x09, 0x60, 0x0E, 0x10, 0x80, 0x00});
    Cycle();
    EXPECT_EQ(protocol->GetSupplyVoltage(), 24000.0f);
    EXPECT_EQ(protocol->GetSupplyVoltageRaw(), 24000);
    EXPECT_EQ(protocol->GetMainDIOValue(), 300);
    EXPECT_EQ(protocol->GetMainDIOStatus(), 1);
    Deliver(0x006, {0, 0, 0x00, 0x10, 0x00, 0x00, 0x80, 0x80});
    Cycle();
    EXPECT_EQ(protocol->GetSupplyVoltage(), 160.0f);
    EXPECT_EQ(protocol->GetMainDIOValue(), -3300);
    EXPECT_EQ(protocol->GetMainDIOStatus(), 3);
}

TEST_F(V2Cycle, ReferencedFlagFollowsTheRobotJointsAndExternalAxes) {
    Init();
    protocol->InitTool(1, 0x90, 100.0f, 0.0f);
    ExternalAxis axis(0, "Track", ExternalAxis::Position);
    axis.ID = 0x70;
    axis.GearScale = 10.0;
    protocol->InitExternalJoint(axis);
    IdealDrives drives(*peer, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x90});
    drives.SetInputs(0x70, 0x00);
    drives.SetInputs(0x90, 0x00);
    Connect();
    TestSupport::LogCapture capture;
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        for (int j = 0; j < 6; ++j) {
            if (protocol->GetJointData(j).referenced.load() == 0) return false;
        }
        return true;
    }));
    Cycle(10);
    EXPECT_TRUE(capture.Contains("JXRCANV2 protocol: robot is NOT referenced"));
    EXPECT_FALSE(protocol->IsReferenced());
    bool flags[16] = {};
    int all = -1;
    protocol->GetReferenceStatus(flags, &all);
    for (int j = 0; j < 6; ++j) EXPECT_TRUE(flags[j]) << j;
    EXPECT_FALSE(flags[6]);  // the external axis, not the gripper
    EXPECT_EQ(all, 0);

    // The gripper does not count.
    drives.SetInputs(0x70, 0x80);
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return capture.Contains("JXRCANV2 protocol: robot is referenced now");
    }));
    EXPECT_TRUE(protocol->IsReferenced());
    protocol->GetReferenceStatus(flags, &all);
    EXPECT_TRUE(flags[6]);
    EXPECT_EQ(all, 1);
    EXPECT_EQ(protocol->GetJointData(6).referenced.load(), 0);
}

TEST_F(V2Cycle, EveryRoleTakesItsValuesFromItsOwnPlaceInTheRobotState) {
    Init();
    ExternalAxis axis(0, "Track", ExternalAxis::Position);
    axis.ID = 0x70;
    axis.GearScale = 10.0;
    protocol->InitExternalJoint(axis);
    protocol->InitTool(1, 0x90, 100.0f, 50.0f);
    protocol->InitDIOModules(0x300);
    protocol->InitPlatform(2);
    IdealDrives drives(*peer, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x90, 0xA0, 0xB0});
    Connect();
    target.jointSet[6] = 3.0f;      // external axis: 30
    target.gripperHw[0] = 2.0f;     // gripper: 250
    target.platformSet[0] = 1.0f;   // platform 0: 500
    target.platformSet[1] = 1.0f;   // platform 1: -500
    Cycle();
    ASSERT_TRUE(peer->WaitForCount(11));
    auto position = [&](int id) { return ProtocolTest::Bytes(peer->FramesOn(id).at(0)); };
    EXPECT_EQ(position(0x70), PositionFrame(30, 1, 0));
    EXPECT_EQ(position(0x90), PositionFrame(250, 1, 0));
    EXPECT_EQ(position(0xA0), PositionFrame(500, 1, 0));
    EXPECT_EQ(position(0xB0), PositionFrame(-500, 1, 0));
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return measured.jointAct[6] == 3.0f && measured.gripperHw[0] == 2.0f && measured.platformAct[0] == 1.0f &&
               measured.platformAct[1] == 1.0f;
    }));
}

TEST_F(V2Cycle, KinematicCouplingIsAppliedBothWays) {
    DoublingKinematic kinematic;
    protocol.reset();
    protocol = std::make_unique<HardwareProtocolJXRCANV2>(&kinematic);
    Init();
    IdealDrives drives(*peer, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
    Connect();
    target.jointSet[0] = 1.0f;
    Cycle();
    ASSERT_TRUE(peer->WaitForCount(6));
    EXPECT_EQ(Bytes(peer->FramesOn(0x10).at(0)), PositionFrame(380, 1, 0));
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return measured.jointAct[0] == 1.0f;
    }));
    EXPECT_FLOAT_EQ(protocol->GetJointData(0).setPoint.load(), 2.0f);
    protocol.reset();
}

TEST_F(V2Cycle, BacklashOffsetFollowsTheDirectionOfMotion) {
    const std::string file = bus.Root().WriteFile(
        "robot.xml", ProtocolTest::FixtureWithEdit("robot_jxrcanv2.xml",
                                                           "GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\"",
                                                           "GearZero=\"0\" GearPlay=\"0.25\" GearPlayInc=\"0.1\"",
                                                           1));
    Init(file);
    IdealDrives drives(*peer, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
    Connect();
    // The offset reaches the drive only while GetError finds no error.
    std::string text;
    std::string shortText;
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        protocol->GetError(text, shortText);
        return protocol->IsErrorFree() && protocol->GetHardwareErrorCount() == 0 && shortText == "NoError";
    }));
    struct Step {
        float target;
        float offset;
    };
    // The cycles above, all at 0 while moving "up", ran the offset to +0.25 already. A turn
    // of more than 0.01 below the extreme runs it down by 0.1 per cycle, and back up after
    // a turn above the low extreme.
    const Step steps[] = {{1.0f, 0.25f},   {2.0f, 0.25f},    {3.0f, 0.25f},    {2.995f, 0.25f},
                          {2.5f, 0.15f},   {2.0f, 0.05f},    {1.0f, -0.05f},   {0.0f, -0.15f},
                          {-1.0f, -0.25f}, {-0.995f, -0.25f}, {0.0f, -0.15f}};
    for (const Step& s : steps) {
        SCOPED_TRACE(s.target);
        const float before = protocol->GetJointData(0).backlashOffset;
        peer->Clear();
        target.jointSet[0] = s.target;
        Cycle();
        EXPECT_NEAR(protocol->GetJointData(0).backlashOffset, s.offset, 1e-5f) << "before " << before;
        // The frame of this cycle, known by its counter.
        can_frame f{};
        ASSERT_TRUE(WaitFor([&] {
            for (const can_frame& candidate : peer->FramesOn(0x10)) {
                if (candidate.data[6] == protocol->GetCycleCounter()) {
                    f = candidate;
                    return true;
                }
            }
            return false;
        }));
        const std::int32_t sent = static_cast<std::int32_t>((f.data[2] << 24) | (f.data[3] << 16) |
                                                            (f.data[4] << 8) | f.data[5]);
        EXPECT_EQ(sent, static_cast<std::int32_t>((s.target + protocol->GetJointData(0).backlashOffset) * 190.0f));
    }
}

}  // namespace
