// The expedited SDO server and the NMT slave of a simulated node.

#include "NodeHarness.h"

#include "canopensim/Cia401Module.h"
#include "canopensim/Cia402Drive.h"

#include <gtest/gtest.h>

#include <string>

namespace CanopenSimTest {
namespace {

using CanopenSim::Cia402Drive;
using CanopenSim::DriveConfig;

DriveConfig Config(int node, const std::string& firmware = "FIR-v2024") {
    DriveConfig config;
    config.nodeId = node;
    config.firmware = firmware;
    config.position = 12345;
    return config;
}

class SdoServerTest : public ::testing::Test {
protected:
    SdoServerTest() : drive(Config(5)), bus(drive) { bus.PowerOn(); }
    Cia402Drive drive;
    NodeHarness bus;
};

TEST_F(SdoServerTest, UploadAnswersWithTheObjectsWidthInTheCommandByte) {
    struct Case {
        std::uint16_t index;
        std::uint8_t sub;
        std::uint8_t command;
        std::uint32_t value;
    };
    const Case cases[] = {
        {0x1001, 0, 0x4F, 0},             // 1 byte
        {0x6041, 0, 0x4B, 0x0240},        // 2 bytes: switch on disabled, remote
        {0x6064, 0, 0x43, 12345},         // 4 bytes
        {0x4014, 1, 0x43, 48000},
        {0x1008, 0, 0x4F, 18},            // length of the device name
    };
    for (const Case& c : cases) {
        const can_frame answer = bus.Upload(c.index, c.sub);
        EXPECT_EQ(0x585u, answer.can_id);
        EXPECT_EQ(8, answer.can_dlc);
        EXPECT_EQ(Bytes({c.command, std::uint8_t(c.index), std::uint8_t(c.index >> 8), c.sub}),
                  Bytes(answer.data, answer.data + 4)) << std::hex << c.index;
        EXPECT_EQ(c.value, Le32(answer.data + 4)) << std::hex << c.index;
    }
}

TEST_F(SdoServerTest, DownloadIsConfirmedStoredAndRecorded) {
    const can_frame answer = bus.Download(0x607C, 0, 0xFFFFFF9C, 4);
    EXPECT_EQ(Bytes({0x60, 0x7C, 0x60, 0x00, 0, 0, 0, 0}), Data(answer));
    EXPECT_EQ(0xFFFFFF9Cu, bus.Read(0x607C, 0));
    ASSERT_TRUE(bus.last.sdoWrite == false);  // the read was the last frame
    bus.Download(0x3701, 0, 0xFFFF, 2);
    ASSERT_TRUE(bus.last.sdoWrite);
    EXPECT_EQ(5, bus.last.write.node);
    EXPECT_EQ(0x3701, bus.last.write.index);
    EXPECT_EQ(2, bus.last.write.size);
    EXPECT_EQ(0xFFFFu, bus.last.write.value);
    EXPECT_EQ(0u, bus.last.write.abortCode);
}

TEST_F(SdoServerTest, FaultyRequestsAreAbortedWithTheStandardCodes) {
    struct Case {
        const char* what;
        Bytes request;
        std::uint32_t code;
    };
    const Case cases[] = {
        {"unknown object", {0x40, 0x00, 0x20, 0, 0, 0, 0, 0}, 0x06020000},
        {"unknown subindex", {0x40, 0x99, 0x60, 5, 0, 0, 0, 0}, 0x06090011},
        {"read-only", {0x2B, 0x41, 0x60, 0, 0x06, 0, 0, 0}, 0x06010002},
        {"not mappable", {0x23, 0x00, 0x1A, 1, 0x08, 0x00, 0x98, 0x60}, 0x06040041},
        {"too long", {0x23, 0x40, 0x60, 0, 0x06, 0, 0, 0}, 0x06070012},
        {"too short", {0x2F, 0x7A, 0x60, 0, 0x06, 0, 0, 0}, 0x06070013},
        {"segmented", {0x21, 0x7A, 0x60, 0, 4, 0, 0, 0}, 0x05040001},
        {"unknown command", {0xE0, 0x7A, 0x60, 0, 0, 0, 0, 0}, 0x05040001},
        {"unknown mode", {0x2F, 0x60, 0x60, 0, 0x05, 0, 0, 0}, 0x06090030},
    };
    // The TPDO1 mapping may be changed only while the PDO is off.
    bus.Write(0x1800, 1, 0x80000185);
    bus.Write(0x1A00, 0, 0);
    for (const Case& c : cases) {
        const can_frame answer = bus.Answer(bus.Send(0x605, c.request));
        EXPECT_EQ(0x80, answer.data[0]) << c.what;
        EXPECT_EQ(Bytes(c.request.begin() + 1, c.request.begin() + 4), Bytes(answer.data + 1, answer.data + 4))
            << c.what;
        EXPECT_EQ(c.code, Le32(answer.data + 4)) << c.what;
        if (bus.last.sdoWrite) {
            EXPECT_EQ(c.code, bus.last.write.abortCode) << c.what;
        }
    }
    EXPECT_EQ(0u, bus.Read(0x6040, 0)) << "an aborted write changes nothing";
}

TEST(SdoTexts, NameAndFirmwareAreAnsweredOneCharacterPerSubindex) {
    const std::string texts[] = {"FIR-v1650", "X", "", std::string(40, 'A')};
    for (const std::string& firmware : texts) {
        DriveConfig config = Config(9, firmware);
        config.deviceName = "Servo " + firmware;
        Cia402Drive drive(config);
        NodeHarness bus(drive);
        bus.PowerOn();
        auto readText = [&](std::uint16_t index) {
            std::string text;
            for (std::uint8_t sub = 1; sub <= 32; ++sub) {
                const std::uint32_t c = bus.Read(index, sub);
                if (c == 0) {
                    break;
                }
                text.push_back(static_cast<char>(c));
            }
            return text;
        };
        const std::string expected = firmware.substr(0, 32);
        EXPECT_EQ(expected, readText(0x100A));
        EXPECT_EQ(("Servo " + firmware).substr(0, 32), readText(0x1008));
        EXPECT_EQ(expected.size(), bus.Read(0x100A, 0));
        EXPECT_EQ(0x80, bus.Upload(0x100A, 33).data[0]) << "no subindex beyond 32";
    }
}

TEST_F(SdoServerTest, NmtStatesGateSdoAndResetsRestoreTheDefaults) {
    bus.Write(0x1017, 0, 1000);
    bus.Write(0x607C, 0, 777);
    EXPECT_TRUE(bus.Nmt(0x02).empty());
    EXPECT_EQ(CanopenSim::Nmt::kStopped, drive.NmtState());
    EXPECT_TRUE(bus.Send(0x605, {0x40, 0x41, 0x60, 0, 0, 0, 0, 0}).empty()) << "no SDO while stopped";
    bus.Send(0x000, {0x01, 6});  // another node
    EXPECT_EQ(CanopenSim::Nmt::kStopped, drive.NmtState());
    bus.Send(0x000, {0x01, 5});
    EXPECT_EQ(CanopenSim::Nmt::kOperational, drive.NmtState());

    // Reset communication keeps the application objects, reset node restores everything.
    EXPECT_EQ(Bytes({0x00}), Data(On(bus.Nmt(0x82), 0x705).at(0)));
    EXPECT_EQ(CanopenSim::Nmt::kPreOperational, drive.NmtState());
    EXPECT_EQ(0u, bus.Read(0x1017, 0));
    EXPECT_EQ(777u, bus.Read(0x607C, 0));
    EXPECT_EQ(1u, On(bus.Nmt(0x81), 0x705).size());
    EXPECT_EQ(0u, bus.Read(0x607C, 0));
}

TEST_F(SdoServerTest, BootUpThenHeartbeatAtTheProducerTime) {
    Cia402Drive fresh(Config(7));
    NodeHarness other(fresh);
    const auto boot = other.PowerOn();
    ASSERT_EQ(1u, boot.size());
    EXPECT_EQ(0x707u, boot[0].can_id);
    EXPECT_EQ(Bytes({0x00}), Data(boot[0]));
    EXPECT_TRUE(On(other.Advance(5000), 0x707).empty()) << "no heartbeat while 0x1017 is 0";

    other.Write(0x1017, 0, 1000);
    EXPECT_TRUE(On(other.Advance(999), 0x707).empty());
    EXPECT_EQ(Bytes({0x7F}), Data(On(other.Advance(1), 0x707).at(0)));
    other.Nmt(0x01);
    EXPECT_TRUE(On(other.Advance(500), 0x707).empty());
    EXPECT_EQ(Bytes({0x05}), Data(On(other.Advance(500), 0x707).at(0)));
}

}  // namespace
}  // namespace CanopenSimTest
