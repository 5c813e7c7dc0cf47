// The PDO engine: mapping and communication objects as the master writes them, receive
// PDOs into the dictionary, transmit PDOs out of it.

#include "NodeHarness.h"

#include "canopensim/Cia402Drive.h"

#include <gtest/gtest.h>

#include <vector>

namespace CanopenSimTest {
namespace {

using CanopenSim::Cia402Drive;
using CanopenSim::DriveConfig;
using CanopenSim::DriveState;
namespace Mode = CanopenSim::Mode;

constexpr int kNode = 4;

DriveConfig Config() {
    DriveConfig config;
    config.nodeId = kNode;
    config.position = -100;
    config.supplyMillivolt = 47500;
    config.temperatureDeci = 412;
    return config;
}

class PdoEngineTest : public ::testing::Test {
protected:
    PdoEngineTest() : drive(Config()), bus(drive) { bus.PowerOn(); }

    // Maps a PDO the way a master does: off, count 0, entries, count, on.
    void Map(std::uint16_t comm, std::uint32_t cobId, std::uint8_t type,
             const std::vector<std::uint32_t>& entries) {
        const auto map = static_cast<std::uint16_t>(comm + 0x200);
        bus.Write(comm, 1, 0x80000000u | cobId);
        bus.Write(comm, 2, type);
        bus.Write(map, 0, 0);
        for (std::size_t k = 0; k < entries.size(); ++k) {
            bus.Write(map, static_cast<std::uint8_t>(k + 1), entries[k]);
        }
        bus.Write(map, 0, static_cast<std::uint32_t>(entries.size()));
        bus.Write(comm, 1, cobId);
    }
    void EnableCsp() {
        bus.Write(0x6060, 0, static_cast<std::uint8_t>(Mode::kCyclicSyncPosition));
        for (std::uint16_t word : {0x06, 0x07, 0x0F}) {
            bus.Write(0x6040, 0, word);
        }
    }

    Cia402Drive drive;
    NodeHarness bus;
};

TEST_F(PdoEngineTest, TransmitPdosAreBuiltFromTheWrittenMappingOnTheirSyncCount) {
    Map(0x1800, 0x184, 1, {0x60410010, 0x60640020, 0x10010008, 0x60610008});
    Map(0x1801, 0x284, 20, {0x40140120, 0x40140320});
    EnableCsp();
    EXPECT_TRUE(bus.Sync().empty()) << "no PDOs before operational";
    bus.Nmt(0x01);
    for (int sync = 1; sync <= 20; ++sync) {
        const auto out = bus.Sync();
        const auto tpdo1 = On(out, 0x184);
        ASSERT_EQ(1u, tpdo1.size()) << "sync " << sync;
        EXPECT_EQ(Bytes({0x37, 0x16, 0x9C, 0xFF, 0xFF, 0xFF, 0x00, 0x08}), Data(tpdo1[0]));
        EXPECT_EQ(sync == 20 ? 1u : 0u, On(out, 0x284).size()) << "sync " << sync;
        if (sync == 20) {
            const can_frame tpdo2 = On(out, 0x284)[0];
            EXPECT_EQ(8, tpdo2.can_dlc);
            EXPECT_EQ(47500u, Le32(tpdo2.data));
            EXPECT_EQ(412u, Le32(tpdo2.data + 4));
        }
    }
}

TEST_F(PdoEngineTest, AWrongMappingShowsAsWrongFeedback) {
    // Position first, then statusword: a master expecting the usual layout reads garbage.
    Map(0x1800, 0x184, 1, {0x60640020, 0x60410010});
    bus.Nmt(0x01);
    const auto tpdo = On(bus.Sync(), 0x184);
    ASSERT_EQ(1u, tpdo.size());
    EXPECT_EQ(Bytes({0x9C, 0xFF, 0xFF, 0xFF, 0x40, 0x02}), Data(tpdo[0]));
}

TEST_F(PdoEngineTest, MappingRulesAreEnforcedWithAborts) {
    struct Case {
        const char* what;
        std::uint16_t index;
        std::uint8_t sub;
        std::uint32_t value;
        std::uint32_t code;
    };
    // 0x1A00 is still on (0x184) and 0x1A01 off; 0x1A01 has count 0 after its reset.
    const Case cases[] = {
        {"mapping of a PDO that is on", 0x1A00, 1, 0x60640020, 0x08000022},
        {"count of a PDO that is on", 0x1A00, 0, 0, 0x08000022},
        {"unknown object", 0x1A01, 1, 0x20000020, 0x06020000},
        {"unknown subindex", 0x1A01, 1, 0x60990320, 0x06090011},
        {"not mappable", 0x1A01, 1, 0x60980008, 0x06040041},
        {"wrong length", 0x1A01, 1, 0x60640010, 0x06040041},
        {"read-only into a receive PDO", 0x1601, 1, 0x60410010, 0x06040041},
        {"more than 8 entries", 0x1A01, 0, 9, 0x06090031},
        {"count over empty entries", 0x1A01, 0, 1, 0x06090030},
        {"new COB-ID while on", 0x1800, 1, 0x190, 0x06090030},
    };
    bus.Write(0x1801, 1, 0x80000284);
    for (const Case& c : cases) {
        const can_frame answer = bus.Download(c.index, c.sub, c.value,
                                              drive.Dictionary().Find(c.index, c.sub)->size);
        EXPECT_EQ(0x80, answer.data[0]) << c.what;
        EXPECT_EQ(c.code, Le32(answer.data + 4)) << c.what;
    }
    // Three 32-bit objects do not fit; entries change only while the count is 0.
    for (std::uint8_t k = 1; k <= 3; ++k) {
        bus.Write(0x1A01, k, 0x60640020);
    }
    EXPECT_EQ(0x06040042u, Le32(bus.Download(0x1A01, 0, 3, 1).data + 4));
    bus.Write(0x1A01, 0, 2);
    EXPECT_EQ(0x08000022u, Le32(bus.Download(0x1A01, 1, 0x60410010, 4).data + 4));
}

TEST_F(PdoEngineTest, ReceivePdosFollowTheirTransmissionType) {
    EnableCsp();
    bus.Nmt(0x01);
    struct Case {
        std::uint8_t type;
        bool effectBeforeSync;
    };
    const Case cases[] = {{0, false}, {1, false}, {255, true}};
    std::int32_t target = 7000;
    for (const Case& c : cases) {
        Map(0x1400, 0x204, c.type, {0x607A0020});
        target += 100;
        const auto t = static_cast<std::uint32_t>(target);
        bus.Send(0x204, {std::uint8_t(t), std::uint8_t(t >> 8), std::uint8_t(t >> 16), std::uint8_t(t >> 24)});
        ASSERT_TRUE(bus.last.pdoWrite);
        EXPECT_TRUE(bus.last.pdo.accepted);
        EXPECT_EQ(c.effectBeforeSync, bus.Read(0x607A, 0) == t) << "type " << int(c.type);
        bus.Sync();
        EXPECT_EQ(target, drive.Snapshot().position) << "type " << int(c.type);
    }
}

TEST_F(PdoEngineTest, ReceivePdosWithTheWrongLengthOrOutsideOperationalAreHandledAsTheStandardSays) {
    EnableCsp();
    Map(0x1400, 0x204, 255, {0x607A0020});
    bus.Send(0x204, {1, 0, 0, 0});
    EXPECT_FALSE(bus.last.pdo.accepted) << "pre-operational";
    const std::uint32_t enabledAt = static_cast<std::uint32_t>(-100);  // target starts at the position
    EXPECT_EQ(enabledAt, bus.Read(0x607A, 0));

    bus.Nmt(0x01);
    const auto shortFrame = On(bus.Send(0x204, {1, 2}), 0x84);
    EXPECT_FALSE(bus.last.pdo.accepted);
    ASSERT_EQ(1u, shortFrame.size());
    EXPECT_EQ(0x8210u, shortFrame[0].data[0] | (shortFrame[0].data[1] << 8));
    EXPECT_EQ(enabledAt, bus.Read(0x607A, 0));

    const auto longFrame = On(bus.Send(0x204, {5, 0, 0, 0, 9, 9, 9, 9}), 0x84);
    EXPECT_TRUE(bus.last.pdo.accepted) << "the first bytes are used";
    ASSERT_EQ(1u, longFrame.size());
    EXPECT_EQ(0x8220u, longFrame[0].data[0] | (longFrame[0].data[1] << 8));
    EXPECT_EQ(5u, bus.Read(0x607A, 0));
}

TEST_F(PdoEngineTest, DefaultMappingCarriesControlwordAndStatusword) {
    bus.Nmt(0x01);
    const auto first = On(bus.Advance(1), 0x184);
    ASSERT_EQ(1u, first.size()) << "event-driven statusword";
    EXPECT_EQ(Bytes({0x40, 0x02}), Data(first[0]));
    EXPECT_TRUE(On(bus.Advance(1), 0x184).empty()) << "sent again only on change";
    bus.Send(0x204, {0x06, 0x00});
    EXPECT_EQ(DriveState::ReadyToSwitchOn, drive.Snapshot().state);
    const auto changed = On(bus.Advance(1), 0x184);
    ASSERT_EQ(1u, changed.size());
    EXPECT_EQ(Bytes({0x31, 0x02}), Data(changed[0]));
}

}  // namespace
}  // namespace CanopenSimTest
