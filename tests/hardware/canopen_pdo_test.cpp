#include "canopen_sdo_pdo_fixture.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

using CANopenTest::Download;
using CANopenTest::SdoFrame;
using Hardware::CANopenRecordData;
using Hardware::HardwareProtocolCANopenPDO;
using Hardware::HardwareProtocolCANopenSDO;
using Hardware::jointData;

namespace {

class CANopenPdo : public CANopenTest::BusFixture {
protected:
    CANopenPdo() {
        record.canId = 7;
        record.GearScale = 100.0f;
        record.GearZero = 0.0f;
    }
    void Parse(int base, const std::vector<unsigned char>& data) {
        pdo.ParsePDO(record, co, base, record.canId, data.data(), {});
    }
    // The one frame sent since the last call.
    std::vector<std::uint8_t> OneFrameOn(int id) {
        const std::vector<can_frame> frames = Sent();
        EXPECT_EQ(frames.size(), 1u);
        if (frames.size() != 1) return {};
        EXPECT_EQ(static_cast<int>(frames[0].can_id), id);
        return ProtocolTest::Bytes(frames[0]);
    }

    HardwareProtocolCANopenSDO sdo{&can, false};
    HardwareProtocolCANopenPDO pdo{&can, &sdo, false};
    jointData record;
    CANopenRecordData co;
};

// --- Receive PDO frames ---

TEST_F(CANopenPdo, SetPointFramesOnlyInTheirProfiles) {
    struct Case {
        int profile;
        bool velocity;
        double value;
        std::vector<std::uint8_t> bytes;  // empty: nothing sent
    };
    const double big = 1e12;
    const Case cases[] = {
        {Hardware::CANopenProfileCSP, false, 0x01020304, {0x04, 0x03, 0x02, 0x01}},
        {Hardware::CANopenProfileIPO, false, -1.6, {0xFF, 0xFF, 0xFF, 0xFF}},
        {Hardware::CANopenProfileCSP, false, 99.99, {99, 0, 0, 0}},
        // Beyond int32 the set-point saturates instead of wrapping to the other side.
        {Hardware::CANopenProfileCSP, false, big, {0xFF, 0xFF, 0xFF, 0x7F}},
        {Hardware::CANopenProfileIPO, false, -big, {0x00, 0x00, 0x00, 0x80}},
        {Hardware::CANopenProfileCSP, false, std::numeric_limits<double>::quiet_NaN(), {}},
        {Hardware::CANopenProfilePosition, false, 100, {}},
        {Hardware::CANopenProfileVelocity, false, 100, {}},
        {0, false, 100, {}},
        {Hardware::CANopenProfileVelocity, true, -300.7, {0xD4, 0xFE, 0xFF, 0xFF}},
        {Hardware::CANopenProfileCSV, true, 250, {0xFA, 0, 0, 0}},
        {Hardware::CANopenProfileCSP, true, 250, {}},
        {Hardware::CANopenProfileHoming, true, 250, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "profile " << c.profile << " value " << c.value);
        co.requestedProfile = c.profile;
        if (c.velocity) {
            pdo.SendVelPDO(record, co, c.value);
        } else {
            pdo.SendPosPDO(record, co, c.value);
        }
        const std::vector<can_frame> frames = Sent();
        if (c.bytes.empty()) {
            EXPECT_TRUE(frames.empty());
            continue;
        }
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].can_id, 0x207u);
        EXPECT_EQ(ProtocolTest::Bytes(frames[0]), c.bytes);
    }
}

TEST_F(CANopenPdo, DigitalOutputsGoOutAsManyBytesAsAreMapped) {
    struct Case {
        int outputBytes;
        std::uint64_t outputs;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {2, 0x0301, {0x01, 0x03}},
        {1, 0xFF80, {0x80}},
        {4, 0x1122334455667788ull, {0x88, 0x77, 0x66, 0x55}},
        // Only four output bytes can be mapped.
        {6, 0x1122334455667788ull, {0x88, 0x77, 0x66, 0x55}},
        {0, 0xFF, {}},
        {-3, 0xFF, {}},
    };
    record.moduleType = 1;
    record.canId = 33;
    for (const Case& c : cases) {
        co.outputBytes = c.outputBytes;
        co.digitalOutputs = c.outputs;
        pdo.SendDIOPDO(record, co);
        EXPECT_EQ(OneFrameOn(0x221), c.bytes) << c.outputBytes;
    }
}

TEST_F(CANopenPdo, RawFramesCheckNodeAndLength) {
    const unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    pdo.SendPDO(7, 0x200, data, 6);
    EXPECT_EQ(OneFrameOn(0x207), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
    pdo.SendPDO(7, 0x200, data, 12);
    EXPECT_EQ(OneFrameOn(0x207), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    pdo.SendPDO(0, 0x200, data, 4);
    pdo.SendPDO(128, 0x200, data, 4);
    EXPECT_TRUE(Sent().empty());
}

// --- Transmit PDO parsing ---

TEST_F(CANopenPdo, FirstTransmitPdoGivesStatePositionAndProfileInEveryProfile) {
    // 0x0237 operation enabled, position -100 counts, no error, mode 8 (CSP).
    const std::vector<unsigned char> frame = {0x37, 0x02, 0x9C, 0xFF, 0xFF, 0xFF, 0x00, 0x08};
    for (int profile : {0, 1, 2, 3, 4, 5}) {
        SCOPED_TRACE(profile);
        record.measured = 42.0f;
        record.enabled = 0;
        co.actualProfile = 0;
        co.requestedProfile = profile;
        Parse(HardwareProtocolCANopenPDO::kTPDO1, frame);
        EXPECT_FLOAT_EQ(record.measured, -1.0f);
        EXPECT_EQ(co.statusword, 0x0237);
        EXPECT_STREQ(Hardware::CANopenStateText(record.errorTextCode), "operation_enabled");
        EXPECT_EQ(record.enabled, 1);
        EXPECT_EQ(co.actualProfile, Hardware::CANopenProfileCSP);
    }
    EXPECT_TRUE(SentSdo().empty());
}

TEST_F(CANopenPdo, ModeDisplayMapsBackToProfiles) {
    const int modes[][2] = {{1, 1}, {3, 4}, {6, 6}, {7, 2}, {8, 3}, {9, 5}, {0, 0}, {2, 0}, {-1, 0}, {10, 0}};
    for (const auto& m : modes) {
        Parse(HardwareProtocolCANopenPDO::kTPDO1, {0x37, 0x02, 0, 0, 0, 0, 0, static_cast<unsigned char>(m[0])});
        EXPECT_EQ(co.actualProfile, m[1]) << m[0];
    }
}

TEST_F(CANopenPdo, ErrorRegisterInTheFirstPdoAsksForTheErrorEntry) {
    co.requestedProfile = Hardware::CANopenProfileCSP;
    Parse(HardwareProtocolCANopenPDO::kTPDO1, {0x08, 0x02, 0, 0, 0, 0, 0x81, 0x08});
    EXPECT_EQ(co.errorRegister, 0x81);
    EXPECT_STREQ(Hardware::CANopenStateText(record.errorTextCode), "fault");
    EXPECT_EQ(SentSdo(), (std::vector<SdoFrame>{{7, 0x40, 0x1003, 1, 0}}));
    Parse(HardwareProtocolCANopenPDO::kTPDO1, {0x37, 0x02, 0, 0, 0, 0, 0x00, 0x08});
    EXPECT_EQ(co.errorRegister, 0);
    EXPECT_TRUE(SentSdo().empty());
}

TEST_F(CANopenPdo, HomingStatusInTheFirstPdoFinishesReferencing) {
    co.requestedProfile = Hardware::CANopenProfileHoming;
    co.limitSwitchErrorOptionCode = 2;
    Parse(HardwareProtocolCANopenPDO::kTPDO1, {0x37, 0x16, 0, 0, 0, 0, 0, 0x06});
    EXPECT_EQ(co.referencingState, 5);
    EXPECT_EQ(record.referenced, 1);
    EXPECT_EQ(SentSdo(), (std::vector<SdoFrame>{{7, 0x40, 0x6064, 0, 0}, Download(7, 0x3701, 0, 2, 2)}));
}

TEST_F(CANopenPdo, SlowPdosGiveSupplyTemperatureAndCurrents) {
    co.requestedProfile = Hardware::CANopenProfilePosition;
    // 48.5 V, -3.5 degrees.
    Parse(HardwareProtocolCANopenPDO::kTPDO2, {0x74, 0xBD, 0x00, 0x00, 0xDD, 0xFF, 0xFF, 0xFF});
    EXPECT_NEAR(co.supplyVoltage, 48.5f, 1e-4);
    EXPECT_NEAR(record.temperature, -3.5f, 1e-5);
    // Open loop: I_a 3 A, I_b -4 A.
    Parse(HardwareProtocolCANopenPDO::kTPDO3, {0xB8, 0x0B, 0x00, 0x00, 0x60, 0xF0, 0xFF, 0xFF});
    EXPECT_NEAR(co.phaseCurrent1, 3.0f, 1e-6);
    EXPECT_NEAR(co.phaseCurrent2, -4.0f, 1e-6);
    EXPECT_NEAR(record.current, 5000.0f, 0.01f);
    // Frames of other bases change nothing.
    record.measured = 1.0f;
    Parse(0x480, {0x37, 0x02, 0x9C, 0xFF, 0xFF, 0xFF, 0x00, 0x08});
    EXPECT_FLOAT_EQ(record.measured, 1.0f);
}

TEST_F(CANopenPdo, IoModuleInputsComeFromTheFirstPdo) {
    struct Case {
        int inputBytes;
        int base;
        std::uint64_t inputs;  // expected
    };
    const std::vector<unsigned char> frame = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    const Case cases[] = {
        {2, HardwareProtocolCANopenPDO::kTPDO1, 0x0201},
        {1, HardwareProtocolCANopenPDO::kTPDO1, 0x01},
        // Bytes past the four mapped ones are not inputs.
        {8, HardwareProtocolCANopenPDO::kTPDO1, 0x04030201},
        {0, HardwareProtocolCANopenPDO::kTPDO1, 0},
        {2, HardwareProtocolCANopenPDO::kTPDO2, 0xDEAD},
    };
    record.moduleType = 1;
    for (const Case& c : cases) {
        co.inputBytes = c.inputBytes;
        record.digitalInputs = 0xDEAD;
        record.errorCode = 0x200;
        record.inputsRead = 0;
        pdo.ParseDIOPDO(record, co, c.base, record.canId, frame.data(), {});
        EXPECT_EQ(record.digitalInputs, c.inputs) << c.inputBytes;
        EXPECT_EQ(record.errorCode, c.base == HardwareProtocolCANopenPDO::kTPDO1 ? 0 : 0x200);
        // Only the input PDO counts as the module's first report of its inputs.
        EXPECT_EQ(record.inputsRead.load(), c.base == HardwareProtocolCANopenPDO::kTPDO1 ? 0xFF : 0);
    }
}

// --- Configuration ---

std::vector<SdoFrame> Mapping(int node, int comm, std::uint32_t cob, int type, int map,
                              const std::vector<std::uint32_t>& entries) {
    std::vector<SdoFrame> out = {Download(node, comm, 1, 4, 0x80000000u + cob + node),
                                 Download(node, comm, 2, 1, static_cast<std::uint32_t>(type)),
                                 Download(node, map, 0, 1, 0)};
    for (std::size_t k = 0; k < entries.size(); ++k) {
        out.push_back(Download(node, map, static_cast<int>(k) + 1, 4, entries[k]));
    }
    out.push_back(Download(node, map, 0, 1, static_cast<std::uint32_t>(entries.size())));
    out.push_back(Download(node, comm, 1, 4, cob + node));
    return out;
}

std::vector<SdoFrame> Concat(std::vector<std::vector<SdoFrame>> parts) {
    std::vector<SdoFrame> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST_F(CANopenPdo, TransmitPdoMappingByLoopMode) {
    struct Case {
        std::uint32_t submode;
        std::vector<std::uint32_t> currents;
    };
    const Case cases[] = {
        {0x0, {0x20390320, 0x20390420}},
        {0x8, {0x20390320, 0x20390420}},
        {0x1, {0x20390120, 0x20390220}},
    };
    for (const Case& c : cases) {
        co.motorDriveSubmode = c.submode;
        pdo.InitTPDOs(record, co);
        const std::vector<SdoFrame> expected = Concat({
            Mapping(7, 0x1800, 0x180, 1, 0x1A00, {0x60410010, 0x60640020, 0x10010008, 0x60610008}),
            Mapping(7, 0x1801, 0x280, 20, 0x1A01, {0x40140120, 0x40140320}),
            Mapping(7, 0x1802, 0x380, 20, 0x1A02, c.currents),
        });
        EXPECT_EQ(SentSdo(), expected) << c.submode;
    }
}

TEST_F(CANopenPdo, ReceivePdoMappingPerMode) {
    struct Case {
        std::uint32_t object;
        unsigned type;
    };
    const Case cases[] = {
        {HardwareProtocolCANopenPDO::kMapInterpolationData, 1},
        {HardwareProtocolCANopenPDO::kMapTargetPosition, 0},
        {HardwareProtocolCANopenPDO::kMapTargetVelocity, 1},
    };
    for (const Case& c : cases) {
        pdo.InitRPDO1(7, c.object, c.type);
        EXPECT_EQ(SentSdo(), Mapping(7, 0x1400, 0x200, static_cast<int>(c.type), 0x1600, {c.object}));
    }
    EXPECT_EQ(HardwareProtocolCANopenPDO::kMapInterpolationData, 0x60C10120u);
    EXPECT_EQ(HardwareProtocolCANopenPDO::kMapTargetPosition, 0x607A0020u);
    EXPECT_EQ(HardwareProtocolCANopenPDO::kMapTargetVelocity, 0x60FF0020u);
}

TEST_F(CANopenPdo, IoModuleMappingIsClampedToTheRowsThatExist) {
    struct Case {
        int inputs, outputs;
        int mappedIn, mappedOut;
        bool logged;
    };
    const Case cases[] = {
        {2, 1, 2, 1, false},
        {4, 4, 4, 4, false},
        {8, 6, 4, 4, true},
        {0, 0, 0, 0, false},
    };
    record.moduleType = 1;
    record.canId = 40;
    for (const Case& c : cases) {
        co.inputBytes = c.inputs;
        co.outputBytes = c.outputs;
        TestSupport::LogCapture capture;
        pdo.InitDIOPDOs(record, co);
        std::vector<std::uint32_t> outs;
        for (int k = 1; k <= c.mappedOut; ++k) outs.push_back(0x62000008u | (static_cast<std::uint32_t>(k) << 8));
        std::vector<std::uint32_t> ins;
        for (int k = 1; k <= c.mappedIn; ++k) ins.push_back(0x60000008u | (static_cast<std::uint32_t>(k) << 8));
        const std::vector<SdoFrame> expected = Concat({
            Mapping(40, 0x1400, 0x200, 0, 0x1600, outs),
            Mapping(40, 0x1800, 0x180, 1, 0x1A00, ins),
        });
        EXPECT_EQ(SentSdo(), expected) << c.inputs << "/" << c.outputs;
        EXPECT_EQ(capture.Contains("CANopen: IO module with ID 40 has 8 input and 6 output bytes; only 4 of each can "
                                   "be mapped"),
                  c.logged);
        EXPECT_FALSE(capture.Contains("could not find SDO"));
    }
}

}  // namespace
