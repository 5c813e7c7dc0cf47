// The CiA 401 I/O module: counts, reads, writes, outputs by receive PDO, inputs by
// transmit PDO on SYNC.

#include "NodeHarness.h"

#include "canopensim/Cia401Module.h"

#include <gtest/gtest.h>

namespace CanopenSimTest {
namespace {

using CanopenSim::Cia401Module;
using CanopenSim::IoConfig;

IoConfig Config(int inputs, int outputs) {
    IoConfig config;
    config.nodeId = 0x21;
    config.inputBytes = inputs;
    config.outputBytes = outputs;
    config.inputs = 0x0000BEEF;
    return config;
}

TEST(IoModule, CountsReadsAndWritesBySdo) {
    struct Case {
        int inputs;
        int outputs;
    };
    for (const Case& c : {Case{2, 2}, Case{1, 3}, Case{0, 8}, Case{12, 0}}) {
        Cia401Module module(Config(c.inputs, c.outputs));
        NodeHarness bus(module);
        bus.PowerOn();
        const int in = std::min(c.inputs, 8);
        EXPECT_EQ(std::uint32_t(in), bus.Read(0x6000, 0));
        EXPECT_EQ(std::uint32_t(c.outputs), bus.Read(0x6200, 0));
        if (in >= 2) {
            EXPECT_EQ(0xEFu, bus.Read(0x6000, 1));
            EXPECT_EQ(0xBEu, bus.Read(0x6000, 2));
        }
        EXPECT_EQ(0x06090011u, Le32(bus.Upload(0x6000, std::uint8_t(in + 1)).data + 4)) << in;
        EXPECT_EQ(0x06010002u, Le32(bus.Download(0x6000, 0, 1, 1).data + 4));
        for (int k = 1; k <= c.outputs; ++k) {
            bus.Write(0x6200, std::uint8_t(k), std::uint32_t(0x10 + k));
        }
        std::uint64_t expected = 0;
        for (int k = c.outputs; k >= 1; --k) {
            expected = (expected << 8) | std::uint64_t(0x10 + k);
        }
        EXPECT_EQ(expected, module.Snapshot().outputs) << c.outputs;
    }
}

TEST(IoModule, OutputsByReceivePdoAndInputsOnSyncAfterTheMastersMapping) {
    Cia401Module module(Config(2, 2));
    NodeHarness bus(module);
    bus.PowerOn();
    // The master's configuration: outputs by RPDO1 (type 0), inputs by TPDO1 on every SYNC.
    bus.Write(0x1400, 1, 0x80000221);
    bus.Write(0x1400, 2, 0);
    bus.Write(0x1600, 0, 0);
    bus.Write(0x1600, 1, 0x62000108);
    bus.Write(0x1600, 2, 0x62000208);
    bus.Write(0x1600, 0, 2);
    bus.Write(0x1400, 1, 0x221);
    bus.Write(0x1800, 1, 0x800001A1);
    bus.Write(0x1800, 2, 1);
    bus.Write(0x1A00, 0, 0);
    bus.Write(0x1A00, 1, 0x60000108);
    bus.Write(0x1A00, 2, 0x60000208);
    bus.Write(0x1A00, 0, 2);
    bus.Write(0x1800, 1, 0x1A1);
    bus.Nmt(0x01);

    bus.Send(0x221, {0x01, 0x03});
    EXPECT_TRUE(bus.last.pdo.accepted);
    EXPECT_EQ(0u, module.Snapshot().outputs) << "synchronous: waits for SYNC";
    EXPECT_TRUE(On(bus.Advance(5), 0x1A1).empty()) << "inputs only on SYNC";
    module.SetInputs(0x8001);
    const auto out = bus.Sync();
    EXPECT_EQ(0x0301u, module.Snapshot().outputs);
    const auto inputs = On(out, 0x1A1);
    ASSERT_EQ(1u, inputs.size());
    EXPECT_EQ(Bytes({0x01, 0x80}), Data(inputs[0]));
    EXPECT_EQ(1u, On(bus.Sync(), 0x1A1).size()) << "every SYNC";
}

TEST(IoModule, DefaultPdosCarryOutputsAndInputsOnChange) {
    Cia401Module module(Config(1, 2));
    NodeHarness bus(module);
    bus.PowerOn();
    bus.Nmt(0x01);
    EXPECT_EQ(Bytes({0xEF}), Data(On(bus.Advance(1), 0x1A1).at(0)));
    EXPECT_TRUE(On(bus.Advance(1), 0x1A1).empty());
    module.SetInputs(0x05);
    EXPECT_EQ(Bytes({0x05}), Data(On(bus.Advance(1), 0x1A1).at(0)));
    bus.Send(0x221, {0xAA, 0x55});
    EXPECT_EQ(0x55AAu, module.Snapshot().outputs);
}

}  // namespace
}  // namespace CanopenSimTest
