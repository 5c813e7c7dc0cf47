#pragma once

// A CAN interface on a fresh virtual bus with a recording peer, for the CANopen SDO and
// PDO parts, and helpers to read back what they sent.

#include "hardware/CANInterfaceSocketCAN.h"
#include "hardware/HardwareProtocolCANopenPDO.h"
#include "hardware/HardwareProtocolCANopenSDO.h"
#include "protocol_test_bus.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <vector>

namespace CANopenTest {

// One SDO request as the node sees it.
struct SdoFrame {
    int node;
    int command;
    int index;
    int subindex;
    std::uint32_t value;
    bool operator==(const SdoFrame& o) const {
        return node == o.node && command == o.command && index == o.index && subindex == o.subindex &&
               value == o.value;
    }
};

inline std::ostream& operator<<(std::ostream& os, const SdoFrame& f) {
    return os << std::hex << "{node 0x" << f.node << " cmd 0x" << f.command << " 0x" << f.index << ":" << f.subindex
              << " = 0x" << f.value << "}" << std::dec;
}

// A download as the configuration writes it: 0x2F/0x2B/0x23 by width.
inline SdoFrame Download(int node, int index, int subindex, int bytes, std::uint32_t value) {
    static const int kCommands[5] = {0, 0x2F, 0x2B, 0x27, 0x23};
    return SdoFrame{node, kCommands[bytes], index, subindex, value};
}

class BusFixture : public ::testing::Test {
protected:
    void SetUp() override {
        peer = std::make_unique<ProtocolTest::ScriptedPeer>(bus.Path());
        ASSERT_TRUE(can.Connect());
        ASSERT_TRUE(ProtocolTest::WaitFor([&] { return !peer->FramesOn(0x10).empty(); }));
        seen = peer->Count();
    }
    void TearDown() override {
        can.Disconnect();
        peer.reset();
    }

    // Every frame sent since the last call, except the greeting: a marker frame closes the
    // batch, so frames that were never sent cannot still be on their way.
    std::vector<can_frame> Sent() {
        const unsigned char tag = ++marker;
        can.WriteMessage(kMarkerId, 1, &tag);
        std::size_t end = 0;
        EXPECT_TRUE(ProtocolTest::WaitFor([&] {
            const std::vector<can_frame> all = peer->Frames();
            for (std::size_t i = seen; i < all.size(); ++i) {
                if (all[i].can_id == kMarkerId && all[i].data[0] == tag) {
                    end = i;
                    return true;
                }
            }
            return false;
        }));
        const std::vector<can_frame> all = peer->Frames();
        std::vector<can_frame> out(all.begin() + static_cast<long>(seen), all.begin() + static_cast<long>(end));
        seen = end + 1;
        return out;
    }

    // The SDO requests among the frames sent since the last call.
    std::vector<SdoFrame> SentSdo() {
        std::vector<SdoFrame> out;
        for (const can_frame& f : Sent()) {
            const int id = static_cast<int>(f.can_id);
            if (id < 0x600 || id > 0x67F) continue;
            EXPECT_EQ(f.can_dlc, 8);
            std::uint32_t value = 0;
            for (int b = 0; b < 4; ++b) value |= static_cast<std::uint32_t>(f.data[4 + b]) << (8 * b);
            out.push_back(SdoFrame{id - 0x600, f.data[0], f.data[1] | (f.data[2] << 8), f.data[3], value});
        }
        return out;
    }

    static constexpr canid_t kMarkerId = 0x7EF;
    ProtocolTest::ScopedOperationMode mode;
    ProtocolTest::TestBus bus;
    std::unique_ptr<ProtocolTest::ScriptedPeer> peer;
    CANInterfaceSocketCAN can;
    std::size_t seen = 0;
    unsigned char marker = 0;
};

// 8 answer bytes: command, index, subindex, value little-endian.
inline std::vector<unsigned char> Answer(int command, int index, int subindex, std::uint32_t value) {
    return {static_cast<unsigned char>(command),
            static_cast<unsigned char>(index & 0xFF),
            static_cast<unsigned char>(index >> 8),
            static_cast<unsigned char>(subindex),
            static_cast<unsigned char>(value),
            static_cast<unsigned char>(value >> 8),
            static_cast<unsigned char>(value >> 16),
            static_cast<unsigned char>(value >> 24)};
}

}  // namespace CANopenTest
