// The CAN reader and the protocol of versions 2/3 under bad traffic: records that are no
// classic frame, floods of one event, extended identifiers by the hundred thousand. The
// records the hub refuses come through a raw relay that passes everything.

#include "protocol_test_bus.h"

#include "hardware/CANInterfaceSocketCAN.h"
#include "testsupport/RawCanRelay.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <linux/can.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace {

using ProtocolTest::FixturePath;
using ProtocolTest::WaitFor;

std::atomic<int> lastGoodId{-1};

int RecordingCallback(int id, int, const unsigned char*, long, timespec) {
    lastGoodId.store(id);
    return 0;
}

can_frame Record(canid_t id, unsigned char dlc) {
    can_frame f{};
    f.can_id = id;
    f.can_dlc = dlc;
    for (int b = 0; b < 8; ++b) f.data[b] = static_cast<unsigned char>(0x10 + b);
    return f;
}

// A raw relay in a temporary folder that endpoints find through the environment.
class BadFrameBus : public ::testing::Test {
protected:
    void SetUp() override {
        path = root.Path() + "/relay.sock";
        relay = std::make_unique<TestSupport::RawCanRelay>(path);
        setenv(Platform::kCanHubEnvironment, path.c_str(), 1);
    }
    void TearDown() override { unsetenv(Platform::kCanHubEnvironment); }

    // count records of the given size and length byte on identifier 0x21.
    void InjectBad(int count, std::size_t size = sizeof(can_frame), unsigned char dlc = 9) {
        const can_frame bad = Record(0x21, dlc);
        unsigned char record[32] = {};
        std::memcpy(record, &bad, sizeof(bad));
        for (int i = 0; i < count; ++i) ASSERT_TRUE(relay->Inject(record, size));
    }

    ProtocolTest::ScopedOperationMode mode;
    TestSupport::TempDataRoot root;
    std::string path;
    std::unique_ptr<TestSupport::RawCanRelay> relay;
};

// 1,600 records with a length byte of 9 (and two of the wrong size) are logged with
// throttling, dumped and skipped; the good frame after them arrives at once, and the
// link is never taken for broken.
TEST_F(BadFrameBus, MalformedRecordsAreSkippedWithoutStallingTheReader) {
    lastGoodId.store(-1);
    CANInterfaceSocketCAN iface;
    iface.protocolCallback = RecordingCallback;
    iface.SetCanDumpSize(100);
    ASSERT_TRUE(iface.Connect());
    ASSERT_TRUE(WaitFor([&] { return relay->Endpoints() == 1; }));
    TestSupport::LogCapture capture;
    const auto start = std::chrono::steady_clock::now();
    InjectBad(1600);
    InjectBad(1, 20, 8);
    InjectBad(1, 5, 1);
    const can_frame good = Record(0x22, 1);
    ASSERT_TRUE(relay->Inject(&good, sizeof(good)));
    // A reader that backs off per bad record needs minutes for this.
    ASSERT_TRUE(WaitFor([] { return lastGoodId.load() == 0x22; }, 10000));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(iface.IsConnected());

    const int lines = capture.Count("SocketCAN ReadLoop: skipped a malformed record");
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, 10 * (1 + static_cast<int>(std::ceil(seconds))));
    EXPECT_TRUE(capture.Contains("SocketCAN ReadLoop: skipped a malformed record (16 bytes, ID 0x21, length byte 9)"));
    EXPECT_EQ(0, capture.Count("failed to read"));

    TestSupport::LogCapture dump;
    iface.WriteCanDump();
    EXPECT_EQ(97, dump.Count("ID: 0x21 DLC: 9 MSG: 10 11 12 13 14 15 16 17 ERROR: Bad message"));
    EXPECT_EQ(99, dump.Count("ERROR: Bad message"));
    EXPECT_EQ(1, dump.Count("ID: 0x22 DLC: 1 MSG: 10"));
    iface.Disconnect();
}

// The acceptance case: 1,600 records of length 9 amid the cycle of a version-2 robot. The
// robot stays connected and its drives keep answering new set-points afterwards.
TEST_F(BadFrameBus, V2RobotStaysConnectedThroughABurstOfBadRecords) {
    ProtocolTest::ScriptedPeer peer(path);
    ProtocolTest::IdealDrives drives(peer, {16, 32, 48, 64, 80, 96});
    Hardware::HardwareProtocolJXRCANV2 protocol(nullptr);
    protocol.SetVersion(2);
    protocol.Init("Robot", "JXRPivra4", FixturePath("robot_jxrcanv2.xml"));
    protocol.Connect();
    ASSERT_TRUE(protocol.GetConnectionStatus());
    DataTypes::RobotState target;
    DataTypes::RobotState measured;
    auto cycle = [&] {
        protocol.SetJoints(target);
        protocol.GetJoints(&measured);
    };
    ASSERT_TRUE(WaitFor([&] {
        cycle();
        return protocol.GetJointData(0).errorCode.load() == 0;
    }));
    for (int burst = 0; burst < 16; ++burst) {
        InjectBad(100);
        cycle();
    }
    // Answers from after the burst: the drives echo a new set-point.
    target.jointSet[2] = 12.5f;
    EXPECT_TRUE(WaitFor([&] {
        cycle();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return std::fabs(measured.jointAct[2] - 12.5f) < 1e-3f;
    }));
    EXPECT_TRUE(protocol.GetConnectionStatus());
    EXPECT_TRUE(protocol.GetCANInterface().IsConnected());
    EXPECT_EQ(0, protocol.GetNoAnswerCycles());
    for (int j = 0; j < 6; ++j) EXPECT_EQ(0, protocol.GetJointData(j).errorCode.load()) << j;
    protocol.Disconnect();
}

class V2Events : public ::testing::Test {
protected:
    void SetUp() override { protocol.Init("Robot", "JXRPivra4", FixturePath("robot_jxrcanv2.xml")); }
    void Receive(std::uint32_t id, unsigned char event, unsigned char b2 = 0x00) {
        const unsigned char data[8] = {0x07, 0x00, b2, event, 0x00, 0x01, 0x00, 0x02};
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        protocol.ReceiveCallback(static_cast<int>(id), 8, data, 0, now);
    }
    ProtocolTest::ScopedOperationMode mode;
    Hardware::HardwareProtocolJXRCANV2 protocol{nullptr};
};

// Extended, remote and error frames are no events of the protocol: 300,000 distinct
// extended identifiers leave the event table empty, log nothing and hold no memory. The
// standard identifiers fill one slot each at most.
TEST_F(V2Events, EventTableIsBoundedToStandardIdentifiers) {
    TestSupport::LogCapture capture;
    const std::size_t before = mallinfo2().uordblks;
    for (std::uint32_t i = 0; i < 300000; ++i) {
        Receive(CAN_EFF_FLAG | (0x800 + i), static_cast<unsigned char>(0x50 + i % 3));
    }
    for (std::uint32_t flag : {CAN_RTR_FLAG, CAN_ERR_FLAG}) Receive(flag | 0x21, 0x55);
    const std::size_t after = mallinfo2().uordblks;
    EXPECT_EQ(0, protocol.GetUnknownErrorTableSize());
    EXPECT_LT(after > before ? after - before : 0, std::size_t{1} << 20);
    EXPECT_EQ(0, capture.Count("unknown error message"));

    for (int round = 0; round < 2; ++round) {
        for (std::uint32_t id = 0; id < 2048; ++id) Receive(id, static_cast<unsigned char>(0x50 + round));
    }
    EXPECT_EQ(2048, protocol.GetUnknownErrorTableSize());
}

// A drive sending one event 2,000 times writes ten lines, then one count line; the same
// event from another drive is not held back by it.
TEST_F(V2Events, EventFloodIsCutToTenLinesAndACount) {
    TestSupport::LogCapture capture;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000; ++i) Receive(0x21, 0x76);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int lines = capture.Count("JXRCAN: ComWDT on ID 0x2102! 0: 1 - 0: 2");
    EXPECT_GE(lines, 10);
    EXPECT_LE(lines, 10 * (1 + static_cast<int>(std::ceil(seconds))));
    Receive(0x31, 0x76);
    EXPECT_EQ(1, capture.Count("JXRCAN: ComWDT on ID 0x3102!"));

    // The count comes with the next frame once the second is over.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    Receive(0x40, 0x00, 0x01);  // any frame
    EXPECT_EQ(1, capture.Count("JXRCAN: event lines: " + std::to_string(2000 - lines) + " similar lines suppressed"))
        << capture.Joined();
}

}  // namespace
