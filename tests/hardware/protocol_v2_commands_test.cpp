// Operator commands of the protocol of versions 2 and 3: the frames they send, to whom,
// and what they change in the records.

#include "hardware/HardwareProtocolJXRCANV2.h"

#include "protocol_test_bus.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using ProtocolTest::Bytes;
using ProtocolTest::IdealDrives;
using ProtocolTest::WaitFor;

namespace {

using V2Commands = ProtocolTest::V2Fixture;

// (CAN ID, data) of every recorded frame, in order.
std::vector<std::pair<int, std::vector<std::uint8_t>>> Sent(ProtocolTest::ScriptedPeer& peer) {
    std::vector<std::pair<int, std::vector<std::uint8_t>>> out;
    for (const can_frame& f : peer.Frames()) out.emplace_back(static_cast<int>(f.can_id), Bytes(f));
    return out;
}

TEST_F(V2Commands, EnableResetAndRestartGoToEveryModuleInRecordOrder) {
    Init();
    protocol->InitDIOModules(0x300);
    Connect();
    const std::vector<int> ids = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x300};
    struct Case {
        const char* what;
        std::function<void()> command;
        std::vector<int> to;
        std::vector<std::uint8_t> data;
    };
    const Case cases[] = {
        {"enable", [&] { protocol->EnableMotors(true); }, ids, {0x01, 0x09}},
        {"disable", [&] { protocol->EnableMotors(false); }, ids, {0x01, 0x0A}},
        {"reset", [&] { protocol->ResetError(); }, ids, {0x01, 0x06}},
        {"restart one", [&] { protocol->RestartMotorController(2); }, {0x30, 0x30}, {0x01, 0xCF}},
        {"restart a DIO module", [&] { protocol->RestartMotorController(6); }, {}, {}},
        {"restart no module", [&] { protocol->RestartMotorController(-1); }, {}, {}},
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
        const auto sent = Sent(*peer);
        ASSERT_EQ(sent.size(), c.to.size());
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].first, c.to[i]) << i;
            EXPECT_EQ(sent[i].second, c.data) << i;
        }
    }
}

TEST_F(V2Commands, RestartModulesResetsThenRestartsTheJointModules) {
    Init();
    protocol->InitDIOModules(0x300);
    Connect();
    TestSupport::LogCapture capture;
    protocol->RestartModules();
    ASSERT_TRUE(peer->WaitForCount(7 + 12));
    const auto sent = Sent(*peer);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(sent[i].second, (std::vector<std::uint8_t>{0x01, 0x06}));
    for (int j = 0; j < 6; ++j) {
        EXPECT_EQ(sent[7 + 2 * j].first, 0x10 * (j + 1));
        EXPECT_EQ(sent[8 + 2 * j].second, (std::vector<std::uint8_t>{0x01, 0xCF}));
    }
    EXPECT_EQ(capture.Count("Sent restart request to motor controller "), 6);
}

TEST_F(V2Commands, CommandsNeedingTheBusSayWhyWhenNotConnected) {
    Init();
    TestSupport::LogCapture capture;
    protocol->SetToZeroPos(1);
    protocol->RestartMotorController(1);
    protocol->SetPlatformJointsToZeroPos();
    EXPECT_TRUE(capture.Contains("ProtocolJXRCANV2: SetToZeroPos joint 1 started..."));
    EXPECT_TRUE(capture.Contains("ProtocolJXRCANV2: Can not set to zero pos before connecting"));
    EXPECT_TRUE(capture.Contains("Can not restart motor controller before connecting."));
    // Not connected: SetIO and SetRailIO change nothing.
    protocol->SetIO(0, 1, true);
    protocol->SetRailIO(0, 1, true);
    EXPECT_EQ(protocol->GetOutputByte(0), 0);
    EXPECT_EQ(protocol->GetDIOModuleOutput(0), 0);
}

TEST_F(V2Commands, SetToZeroPosSendsTwoFramesToRobotGripperOrExternalRecords) {
    Init();
    protocol->InitTool(1, 0x90, 100.0f, 0.0f);
    protocol->InitPlatform(2);
    Connect();
    TestSupport::LogCapture capture;
    const std::vector<std::uint8_t> zero = {0x01, 0x08, 0x7D, 0x00};
    protocol->SetToZeroPos(6);   // the gripper
    protocol->SetToZeroPos(7);   // a platform joint: not this command's
    protocol->SetToZeroPos(-1);
    protocol->SetPlatformJointsToZeroPos();
    ASSERT_TRUE(peer->WaitForCount(6));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto sent = Sent(*peer);
    const std::vector<int> to = {0x90, 0x90, 0xA0, 0xA0, 0xB0, 0xB0};
    ASSERT_EQ(sent.size(), to.size());
    for (size_t i = 0; i < to.size(); ++i) {
        EXPECT_EQ(sent[i].first, to[i]);
        EXPECT_EQ(sent[i].second, zero);
    }
    EXPECT_EQ(capture.Count("ProtocolJXRCANV2: Setting joint 6 to zero pos"), 1);
    EXPECT_EQ(capture.Count("to zero pos"), 1);
    EXPECT_TRUE(protocol->IsCommunicationActive());
}

TEST_F(V2Commands, ReferencingStartsOnlyWithoutErrorAndEndsWithTheReferencedBit) {
    Init();
    protocol->InitDIOModules(0x300);
    IdealDrives drives(*peer, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
    drives.SetInputs(0x10, 0x00);
    drives.SetError(0x20, 0x04);
    Connect();
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return protocol->GetJointData(0).errorCode.load() == 0 && protocol->GetJointData(1).errorCode.load() == 4;
    }));
    TestSupport::LogCapture capture;
    peer->Clear();
    protocol->ReferenceSingleJoint(1);
    protocol->ReferenceSingleJoint(6);   // a DIO module
    protocol->ReferenceSingleJoint(16);
    protocol->ReferenceSingleJoint(0);
    EXPECT_TRUE(capture.Contains("JXRCAN2: Can not reference joint 1, error code 4"));
    EXPECT_TRUE(capture.Contains("JXRCAN2: Starting to reference joint  0"));
    EXPECT_TRUE(protocol->IsReferencing());
    ASSERT_TRUE(peer->WaitForCount(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto sent = Sent(*peer);
    ASSERT_EQ(sent.size(), 2u);
    for (const auto& frame : sent) {
        EXPECT_EQ(frame.first, 0x10);
        EXPECT_EQ(frame.second, (std::vector<std::uint8_t>{0x01, 0x0B}));
    }

    // The module reports being referenced: the referencing flag goes.
    drives.SetInputs(0x10, 0x80);
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return !protocol->IsReferencing();
    }));
    EXPECT_EQ(protocol->GetJointData(0).referenced.load(), 1);

    // An error reset clears the referencing flags as well.
    drives.SetInputs(0x10, 0x00);
    protocol->ReferenceSingleJoint(0);
    EXPECT_TRUE(protocol->IsReferencing());
    protocol->ResetError();
    EXPECT_FALSE(protocol->IsReferencing());
}

TEST_F(V2Commands, AlignSendsTheAlignFrameTwicePerMotor) {
    const std::string file = bus.Root().WriteFile(
        "robot.xml", ProtocolTest::FixtureWithEdit("robot_jxrcanv2.xml", "NrOfJoints=\"6\"", "NrOfJoints=\"1\""));
    Init(file);
    Connect();
    TestSupport::LogCapture capture;
    const auto start = std::chrono::steady_clock::now();
    protocol->AlignMotors();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(protocol->IsCommunicationActive());
    ASSERT_TRUE(peer->WaitForCount(2));
    for (const auto& frame : Sent(*peer)) {
        EXPECT_EQ(frame.first, 0x10);
        EXPECT_EQ(frame.second, (std::vector<std::uint8_t>{0x01, 0x0C, 0x3C, 0x96, 0x64, 0x32}));
    }
    EXPECT_TRUE(capture.Contains("JXRCAN2: Starting to align torque motors"));
    EXPECT_TRUE(capture.Contains("JXRCAN2: Aligning motor  0"));
}

}  // namespace
