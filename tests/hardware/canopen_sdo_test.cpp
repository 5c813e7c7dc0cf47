#include "canopen_sdo_pdo_fixture.h"

#include "core/LogSingleton.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

using CANopenTest::Answer;
using CANopenTest::Download;
using CANopenTest::SdoFrame;
using Hardware::CANopenRecordData;
using Hardware::HardwareProtocolCANopenSDO;
using Hardware::jointData;

namespace {

class CANopenSdo : public CANopenTest::BusFixture {
protected:
    CANopenSdo() {
        record.canId = 5;
        record.GearScale = 100.0f;
        record.GearZero = 0.0f;
    }
    void Parse(const std::vector<unsigned char>& bytes) { sdo.ParseSDOAnswer(record, co, record.canId, bytes.data(), {}); }

    HardwareProtocolCANopenSDO sdo{&can, false};
    jointData record;
    CANopenRecordData co;
};

// --- Object table ---

TEST(CANopenSdoTable, HoldsEveryRowInOrderWithWidthsAndAccess) {
    CANInterfaceSocketCAN can;
    HardwareProtocolCANopenSDO sdo(&can, false);
    const std::vector<Hardware::SDOparameter>& table = sdo.GetTable();
    ASSERT_EQ(table.size(), 186u);

    struct Row {
        std::size_t position;
        int index, subindex;
        const char* name;
        Hardware::sdoDataType type;
        Hardware::sdoAccessType access;
        Hardware::sdoObjectType kind;
    };
    using namespace Hardware;
    const Row rows[] = {
        {0, 0x1001, 0, "Error Register", sdoData8Bit, sdoAccessReadOnly, sdoObjectValue},
        {1, 0x1003, 0, "Pre-defined Error Field - Number of Errors", sdoData8Bit, sdoAccessReadWrite, sdoObjectCount},
        {9, 0x1003, 8, "Pre-defined Error Field", sdoData32Bit, sdoAccessReadOnly, sdoObjectValue},
        {10, 0x1008, 0, "Manufacturer Device Name", sdoData8Bit, sdoAccessReadOnly, sdoObjectValue},
        {42, 0x1008, 32, "Manufacturer Device Name", sdoData8Bit, sdoAccessReadOnly, sdoObjectValue},
        {75, 0x100A, 32, "Manufacturer Software Version", sdoData8Bit, sdoAccessReadOnly, sdoObjectValue},
        {76, 0x2039, 1, "Motor Currents - I_d", sdoData32Bit, sdoAccessReadOnly, sdoObjectValue},
        {85, 0x3701, 0, "Limit Switch Error Option Code", sdoData16Bit, sdoAccessReadWrite, sdoObjectValue},
        {89, 0x6000, 0, "Read Digital Input 8 Bit - Number of indexes supported", sdoData8Bit, sdoAccessReadOnly,
         sdoObjectCount},
        {106, 0x6200, 8, "Write Digital Output 8 Bit", sdoData8Bit, sdoAccessReadWrite, sdoObjectValue},
        {107, 0x6040, 0, "Controlword", sdoData16Bit, sdoAccessReadWrite, sdoObjectValue},
        {124, 0x607C, 0, "Home Offset", sdoData32Bit, sdoAccessReadWrite, sdoObjectValue},
        {125, 0x6098, 0, "Homing Method", sdoData8Bit, sdoAccessReadWrite, sdoObjectValue},
        {132, 0x60C4, 6, "Buffer clear", sdoData8Bit, sdoAccessReadWrite, sdoObjectValue},
        {135, 0x1600, 0, "Receive PDO 1 Mapping - Nr of objects", sdoData8Bit, sdoAccessReadWrite, sdoObjectValue},
        {138, 0x1600, 3, "Receive PDO 1 Mapping - 3rd Object", sdoData32Bit, sdoAccessReadWrite, sdoObjectValue},
        {164, 0x1A03, 4, "Transmit PDO 4 Mapping - 4th Object", sdoData32Bit, sdoAccessReadWrite, sdoObjectValue},
        {165, 0x1400, 1, "Receive PDO 1 Communication Parameter - COD-ID", sdoData32Bit, sdoAccessReadWrite,
         sdoObjectValue},
        {168, 0x1401, 2, "Receive PDO 2 Communication Parameter - Transmission Type", sdoData8Bit, sdoAccessReadWrite,
         sdoObjectValue},
        {180, 0x1803, 3, "Transmit PDO 4 Communication Parameter - Inhibit Time", sdoData16Bit, sdoAccessReadWrite,
         sdoObjectValue},
        {181, 0x1017, 0, "Producer Heartbeat Time", sdoData16Bit, sdoAccessReadWrite, sdoObjectValue},
        {185, 0x3212, 1, "Motor Drive Flags - Legacy Power Mode", sdoData8Bit, sdoAccessReadWrite, sdoObjectValue},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.position);
        const Hardware::SDOparameter& p = table[r.position];
        EXPECT_EQ(p.index, r.index);
        EXPECT_EQ(p.subindex, r.subindex);
        EXPECT_EQ(p.name, r.name);
        EXPECT_EQ(p.dataType, r.type);
        EXPECT_EQ(p.access, r.access);
        EXPECT_EQ(p.objectType, r.kind);
    }
    // Index and subindex pairs are unique, so "first match" never hides a row.
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(sdo.Find(table[i].index, table[i].subindex), &table[i]) << i;
    }
}

// --- Frames ---

TEST_F(CANopenSdo, UploadAndDownloadFramesHaveTheExactBytes) {
    struct Case {
        std::function<void(HardwareProtocolCANopenSDO&)> call;
        int id;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {[](HardwareProtocolCANopenSDO& s) { s.RequestSDO(3, 0x6041, 0); }, 0x603, {0x40, 0x41, 0x60, 0, 0, 0, 0, 0}},
        {[](HardwareProtocolCANopenSDO& s) { s.RequestSDO(127, 0x100A, 32); }, 0x67F, {0x40, 0x0A, 0x10, 32, 0, 0, 0, 0}},
        // Table width.
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(5, 0x6040, 0, 6u); }, 0x605, {0x2B, 0x40, 0x60, 0, 6, 0, 0, 0}},
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(5, 0x6060, 0, 0x1FFu); }, 0x605, {0x2F, 0x60, 0x60, 0, 0xFF, 0, 0, 0}},
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(5, 0x3701, 0, static_cast<unsigned>(-1)); }, 0x605,
         {0x2B, 0x01, 0x37, 0, 0xFF, 0xFF, 0, 0}},
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(1, 0x607A, 0, 0x12345678u); }, 0x601,
         {0x23, 0x7A, 0x60, 0, 0x78, 0x56, 0x34, 0x12}},
        // Raw sizes 1..4.
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(2, 0x6082, 0, 1, 0xA1B2C3D4u); }, 0x602,
         {0x2F, 0x82, 0x60, 0, 0xD4, 0, 0, 0}},
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(2, 0x6082, 1, 2, 0xA1B2C3D4u); }, 0x602,
         {0x2B, 0x82, 0x60, 1, 0xD4, 0xC3, 0, 0}},
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(2, 0x6082, 2, 3, 0xA1B2C3D4u); }, 0x602,
         {0x27, 0x82, 0x60, 2, 0xD4, 0xC3, 0xB2, 0}},
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(2, 0x6082, 0xFF, 4, 0xA1B2C3D4u); }, 0x602,
         {0x23, 0x82, 0x60, 0xFF, 0xD4, 0xC3, 0xB2, 0xA1}},
    };
    for (const Case& c : cases) {
        c.call(sdo);
        const std::vector<can_frame> frames = Sent();
        ASSERT_EQ(frames.size(), 1u) << std::hex << c.id;
        EXPECT_EQ(static_cast<int>(frames[0].can_id), c.id);
        EXPECT_EQ(ProtocolTest::Bytes(frames[0]), c.bytes) << std::hex << c.id;
    }
}

TEST_F(CANopenSdo, RefusedRequestsSendNothingAndSayWhy) {
    struct Case {
        std::function<void(HardwareProtocolCANopenSDO&)> call;
        const char* log;  // nullptr: refused without a line
    };
    const Case cases[] = {
        {[](HardwareProtocolCANopenSDO& s) { s.RequestSDO(5, 0x6082, 0); },
         "RequestSDO Error: index 0x6082 with subindex 0 not defined!"},
        {[](HardwareProtocolCANopenSDO& s) { s.RequestSDO(5, 0x1008, 33); },
         "RequestSDO Error: index 0x1008 with subindex 33 not defined!"},
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(5, 0x1600, 5, 1u); },
         "ERROR - could not find SDO 0x1600, subindex 5 in list!"},
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(5, 0x6040, 0, 0, 1u); }, nullptr},
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(5, 0x6040, 0, 5, 1u); }, nullptr},
        // Identifiers from outside that do not fit the frame.
        {[](HardwareProtocolCANopenSDO& s) { s.RequestSDO(0, 0x6041, 0); }, "node ID 0 out of range (1..127)"},
        {[](HardwareProtocolCANopenSDO& s) { s.RequestSDO(128, 0x6041, 0); }, "node ID 128 out of range (1..127)"},
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(-1, 0x6040, 0, 6u); }, "node ID -1 out of range (1..127)"},
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(5, 0x16040, 0, 2, 6u); }, "object 0x16040, subindex 0 refused"},
        {[](HardwareProtocolCANopenSDO& s) { s.SendSDO(5, 0x6040, 256, 2, 6u); }, "object 0x6040, subindex 256 refused"},
    };
    for (const Case& c : cases) {
        TestSupport::LogCapture capture;
        c.call(sdo);
        EXPECT_TRUE(Sent().empty()) << (c.log ? c.log : "size");
        if (c.log != nullptr) {
            EXPECT_TRUE(capture.Contains(c.log)) << c.log << "\n" << capture.Joined();
        }
    }
}

TEST_F(CANopenSdo, DebugOutputLogsEveryDownload) {
    HardwareProtocolCANopenSDO debug(&can, true);
    TestSupport::LogCapture capture;
    debug.SendSDO(5, 0x6040, 0, 0x0Fu);
    EXPECT_TRUE(capture.Contains("Send SDO ID: 0x05 Index: 0x6040:00 value: 0x0000000F"));
    EXPECT_EQ(Sent().size(), 1u);
}

// --- Answers ---

TEST_F(CANopenSdo, DriveAnswersFillTheRecord) {
    struct Case {
        const char* what;
        std::vector<unsigned char> answer;
        std::function<void(const jointData&, const CANopenRecordData&)> check;
        const char* log;
    };
    const Case cases[] = {
        {"position", Answer(0x43, 0x6064, 0, static_cast<std::uint32_t>(-250)),
         [](const jointData& r, const CANopenRecordData&) { EXPECT_FLOAT_EQ(r.measured, -2.5f); }, nullptr},
        {"controlword", Answer(0x4B, 0x6040, 0, 0x0F),
         [](const jointData&, const CANopenRecordData& c) { EXPECT_EQ(c.lastControlword, 0x0F); }, nullptr},
        {"velocity", Answer(0x4B, 0x6044, 0, 0xFF38),
         [](const jointData&, const CANopenRecordData& c) { EXPECT_FLOAT_EQ(c.measuredVelocity, -200.0f); }, nullptr},
        {"current", Answer(0x4B, 0x6078, 0, 0xFF38),
         [](const jointData& r, const CANopenRecordData&) { EXPECT_FLOAT_EQ(r.current, 65336.0f); }, nullptr},
        {"home offset", Answer(0x43, 0x607C, 0, static_cast<std::uint32_t>(-1000)),
         [](const jointData&, const CANopenRecordData& c) { EXPECT_EQ(c.homeOffset, -1000); },
         "CANopen: Got homing offset of joint with id 5: -1000"},
        {"homing method", Answer(0x4F, 0x6098, 0, 0xFD),
         [](const jointData&, const CANopenRecordData& c) { EXPECT_EQ(c.homingMethod, -3); },
         "CANopen: Got homing method of joint with ID 5: -3"},
        {"requested profile CSP", Answer(0x4F, 0x6060, 0, 8),
         [](const jointData&, const CANopenRecordData& c) { EXPECT_EQ(c.requestedProfile, 3); }, nullptr},
        {"actual profile differs", Answer(0x4F, 0x6061, 0, 7),
         [](const jointData&, const CANopenRecordData& c) { EXPECT_EQ(c.actualProfile, 2); },
         "CANopen: Actual profile 2 of joint 5 does not match target profile 3."},
        {"unknown mode", Answer(0x4F, 0x6060, 0, 2),
         [](const jointData&, const CANopenRecordData& c) { EXPECT_EQ(c.requestedProfile, 0); }, nullptr},
        {"statusword", Answer(0x4B, 0x6041, 0, 0x0237),
         [](const jointData& r, const CANopenRecordData& c) {
             EXPECT_EQ(c.statusword, 0x0237);
             EXPECT_STREQ(Hardware::CANopenStateText(r.errorTextCode), "operation_enabled");
         },
         nullptr},
        // Outside the decoded range: ignored.
        {"0x6099", Answer(0x43, 0x6099, 1, 77),
         [](const jointData& r, const CANopenRecordData& c) {
             EXPECT_EQ(c.homingSpeed1, 0);
             EXPECT_FLOAT_EQ(r.measured, -2.5f);
         },
         nullptr},
        // A general object goes to the general parser, not the motor profile.
        {"supply", Answer(0x43, 0x4014, 1, 24123),
         [](const jointData&, const CANopenRecordData& c) { EXPECT_NEAR(c.supplyVoltage, 24.123f, 1e-4); }, nullptr},
        {"temperature", Answer(0x43, 0x4014, 3, static_cast<std::uint32_t>(-15)),
         [](const jointData& r, const CANopenRecordData&) { EXPECT_NEAR(r.temperature, -1.5f, 1e-5); }, nullptr},
        {"limit switch option", Answer(0x4B, 0x3701, 0, 0xFFFF),
         [](const jointData&, const CANopenRecordData& c) { EXPECT_EQ(c.limitSwitchErrorOptionCode, -1); },
         "CANopen: Got limit switch error option code of joint with ID 5: -1"},
        {"error count", Answer(0x4F, 0x1003, 0, 3),
         [](const jointData&, const CANopenRecordData& c) { EXPECT_EQ(c.errorCount, 3); }, nullptr},
        {"download confirmation", Answer(0x60, 0x6064, 0, 12345),
         [](const jointData& r, const CANopenRecordData&) { EXPECT_FLOAT_EQ(r.measured, -2.5f); }, nullptr},
    };
    // The cases run in order on one record: later ones rely on the profile set above them.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestSupport::LogCapture capture;
        Parse(c.answer);
        c.check(record, co);
        if (c.log != nullptr) {
            EXPECT_TRUE(capture.Contains(c.log)) << capture.Joined();
        }
    }
    EXPECT_TRUE(Sent().empty());
}

TEST_F(CANopenSdo, PositionWithZeroGearScaleKeepsTheLastValue) {
    record.measured = 1.25f;
    record.GearScale = 0.0f;
    Parse(Answer(0x43, 0x6064, 0, 500));
    EXPECT_FLOAT_EQ(record.measured, 1.25f);
    EXPECT_TRUE(std::isfinite(record.measured.load()));
}

TEST_F(CANopenSdo, TextsAreReadOneCharacterPerSubindex) {
    const std::string name = "D\x01Ve";
    for (int k = 0; k < 4; ++k) Parse(Answer(0x4F, 0x1008, k + 1, static_cast<unsigned char>(name[k])));
    const std::string fw = "FIR-v1650";
    for (std::size_t k = 0; k < fw.size(); ++k) Parse(Answer(0x4F, 0x100A, static_cast<int>(k) + 1, fw[k]));
    // Subindex 0 and anything past the 32 characters leave the texts alone.
    Parse(Answer(0x4F, 0x100A, 0, 'X'));
    Parse(Answer(0x4F, 0x100A, 33, 'X'));
    Parse(Answer(0x4F, 0x100A, 255, 'X'));
    EXPECT_EQ(co.deviceName.At(0), 'D');
    EXPECT_EQ(co.deviceName.At(1), '\0');  // not printable
    EXPECT_EQ(co.deviceName.At(2), 'V');
    EXPECT_EQ(co.deviceName.Str(), "D");
    EXPECT_EQ(co.firmware.Str(), "FIR-v1650");
    for (int k = 1; k <= 32; ++k) Parse(Answer(0x4F, 0x1008, k, 'a' + (k % 26)));
    EXPECT_EQ(co.deviceName.Str().size(), 32u);
    EXPECT_EQ(co.deviceName.At(32), '\0');
}

TEST_F(CANopenSdo, ErrorRegisterAnswerLogsAndAsksForTheFirstErrorEntry) {
    TestSupport::LogCapture capture;
    Parse(Answer(0x4F, 0x1001, 0, 0x11));
    EXPECT_EQ(co.errorRegister, 0x11);
    EXPECT_TRUE(capture.Contains(
        "CANopen: Error #0 at joint 5: class='GEN_COM' number='unknown 0xFF' code='unknown 0xFFFF'"))
        << capture.Joined();
    EXPECT_EQ(SentSdo(), (std::vector<SdoFrame>{{5, 0x40, 0x1003, 1, 0}}));

    Parse(Answer(0x4F, 0x1001, 0, 0));
    EXPECT_EQ(co.errorRegister, 0);
    EXPECT_TRUE(SentSdo().empty());
}

TEST_F(CANopenSdo, PredefinedErrorFieldLogsOnlyWhenTheClassChanges) {
    TestSupport::LogCapture capture;
    // Entry: bytes 4-5 code 0x8611, byte 6 register 0x20, byte 7 manufacturer 13.
    Parse(Answer(0x43, 0x1003, 1, 0x0D208611));
    Parse(Answer(0x43, 0x1003, 2, 0x0D208611));
    Parse(Answer(0x43, 0x1003, 3, 0x00000000));
    Parse(Answer(0x43, 0x1003, 4, 0x0D208611));
    const std::string first =
        "CANopen: Error #1 at joint 5: class='PROF' number='Fault due to following error' code='error in position "
        "monitoring: position lag too large'";
    EXPECT_EQ(capture.Count(first), 1) << capture.Joined();
    EXPECT_EQ(capture.Count("CANopen: Error #2"), 0);
    // Manufacturer byte 0 is "Watchdog-Reset", so the short form never shows for entries.
    EXPECT_TRUE(capture.Contains("CANopen: Error #3 at joint 5: class='none' number='Watchdog-Reset' code='n/a'"));
    EXPECT_TRUE(capture.Contains("CANopen: Error #4 at joint 5: class='PROF'"));
}

TEST_F(CANopenSdo, PhaseCurrentsGiveTheMotorCurrentInMilliamperes) {
    struct Case {
        std::uint32_t submode;
        int sub1, sub2;
        std::int32_t a, b;  // mA
        float current;
    };
    const Case cases[] = {
        {0x0, 3, 4, 3000, -4000, 5000.0f},                             // open loop: |(3 A, 4 A)|
        {0x1, 1, 2, 3000, 4000, static_cast<float>(5000.0 / std::sqrt(2.0))},  // closed loop, I_d/I_q peak
        {0x0, 3, 4, 0, 0, 0.0f},
    };
    for (const Case& c : cases) {
        co.motorDriveSubmode = c.submode;
        Parse(Answer(0x43, 0x2039, c.sub1, static_cast<std::uint32_t>(c.a)));
        Parse(Answer(0x43, 0x2039, c.sub2, static_cast<std::uint32_t>(c.b)));
        EXPECT_NEAR(co.phaseCurrent1, c.a / 1000.0f, 1e-5);
        EXPECT_NEAR(co.phaseCurrent2, c.b / 1000.0f, 1e-5);
        EXPECT_NEAR(record.current, c.current, 0.01f) << c.submode;
    }
}

TEST_F(CANopenSdo, DriveSetupAnswersAreLogged) {
    struct Case {
        std::vector<unsigned char> answer;
        std::vector<const char*> lines;
        std::vector<const char*> absent;
    };
    const Case cases[] = {
        {Answer(0x43, 0x3202, 0, 0x0),
         {"CANopen: Joint 5 in open loop mode",
          "CANopen: WARNING! Open loop current reduction not enabled for joint 5. Is this intended?"},
         {"closed loop", "BLDC"}},
        {Answer(0x43, 0x3202, 0, 0x8), {"CANopen: Joint 5 in open loop mode"}, {"WARNING", "BLDC"}},
        {Answer(0x43, 0x3202, 0, 0x41), {"CANopen: Joint 5 in closed loop mode", "CANopen: Joint 5 is in BLDC mode"},
         {"WARNING"}},
        {Answer(0x43, 0x3243, 1, 0), {"CANopen: Got homing capture mode for joint with ID 5: deactivated"}, {}},
        {Answer(0x43, 0x3243, 1, 3), {"CANopen: Got homing capture mode for joint with ID 5: both edges"}, {}},
        {Answer(0x43, 0x3243, 1, 4), {"CANopen: Got homing capture mode for joint with ID 5: unknown"}, {}},
        {Answer(0x43, 0x200D, 0, 4), {}, {"CANopen"}},
    };
    for (const Case& c : cases) {
        TestSupport::LogCapture capture;
        Parse(c.answer);
        for (const char* line : c.lines) EXPECT_TRUE(capture.Contains(line)) << line << "\n" << capture.Joined();
        for (const char* line : c.absent) EXPECT_FALSE(capture.Contains(line)) << line << "\n" << capture.Joined();
    }
    EXPECT_EQ(co.motorDriveSubmode, 0x41u);
    EXPECT_EQ(co.homingCaptureMode, 4u);
}

TEST_F(CANopenSdo, IoModuleAnswersFillCountsAndInputBytes) {
    record.moduleType = 1;
    record.canId = 20;
    record.errorCode = 0x200;
    record.digitalInputs = 0xFFFF'FFFF'FFFF'FFFFull;
    TestSupport::LogCapture capture;
    sdo.ParseSDOAnswer(record, co, 20, Answer(0x4F, 0x6000, 0, 2).data(), {});
    EXPECT_EQ(record.errorCode, 0);
    EXPECT_EQ(co.inputBytes, 2);
    EXPECT_TRUE(capture.Contains("CANopen: Got number of DIn subindices for module with ID 20: 2 (up to 16 inputs)"));
    sdo.ParseSDOAnswer(record, co, 20, Answer(0x4F, 0x6000, 2, 0x5A).data(), {});
    sdo.ParseSDOAnswer(record, co, 20, Answer(0x4F, 0x6000, 8, 0x00).data(), {});
    sdo.ParseSDOAnswer(record, co, 20, Answer(0x4F, 0x6000, 9, 0x00).data(), {});  // no such input byte
    EXPECT_EQ(record.digitalInputs, 0x00FF'FFFF'FFFF'5AFFull);
    sdo.ParseSDOAnswer(record, co, 20, Answer(0x4F, 0x6200, 0, 0).data(), {});
    EXPECT_EQ(co.outputBytes, 0);
    EXPECT_TRUE(capture.Contains("CANopen: Got number of DOut subindices for module with ID 20: 0 (up to 0 outputs)"));
    EXPECT_TRUE(capture.Contains("CANopen: No DOut on IO module with ID 20"));
    EXPECT_FALSE(capture.Contains("No DIn"));
    // The same profile range on a drive is a motor object.
    record.moduleType = 0;
    sdo.ParseSDOAnswer(record, co, 20, Answer(0x4F, 0x6000, 0, 7).data(), {});
    EXPECT_EQ(co.inputBytes, 2);
}

// --- Aborts ---

TEST_F(CANopenSdo, AbortAnswersAreLoggedWithTheirTextAndChangeNothing) {
    struct Case {
        std::uint32_t code;
        const char* text;
    };
    const Case cases[] = {
        {0x05030000, "toggle bit not changed (missing message)"},
        {0x05040001, "command specifier unknown"},
        {0x06010000, "unsupported access"},
        {0x06010002, "read only entry"},
        {0x06020000, "object not existing"},
        {0x06040041, "object can not be pdo mapped"},
        {0x06040042, "mapped pdo exceed pdo"},
        {0x06070012, "parameter length too long"},
        {0x06070013, "parameter length too short"},
        {0x06090011, "subindex not existing"},
        {0x06090031, "value too great"},
        {0x06090032, "value too small"},
        {0x08000000, "general error"},
        {0x08000022, "data cannot be read ot stored in this state (could not configure PDO)"},
        {0x06090030, "unknown error: 6090030"},
    };
    record.measured = 3.0f;
    for (const Case& c : cases) {
        const std::vector<unsigned char> abort = Answer(0x80, 0x6064, 0, c.code);
        const std::string expected = std::string(c.text) + " (object: 0x6064, subindex: 0, device ID: 5)";
        EXPECT_EQ(sdo.ParseSDOError(record, 5, abort.data()), expected);
        TestSupport::LogCapture capture;
        Parse(abort);
        EXPECT_TRUE(capture.Contains("CANopen SDO ERROR: " + expected)) << capture.Joined();
    }
    EXPECT_FLOAT_EQ(record.measured, 3.0f);
    EXPECT_EQ(sdo.ParseSDOError(record, 9, Answer(0x80, 0x1A00, 4, 0x06040041).data()),
              "object can not be pdo mapped (object: 0x1A00, subindex: 4, device ID: 9)");
}

TEST_F(CANopenSdo, AbortsOfTheTextObjectsEndTheReadingSilently) {
    for (int index : {0x1008, 0x100A}) {
        TestSupport::LogCapture capture;
        const std::vector<unsigned char> abort = Answer(0x80, index, 5, 0x06090011);
        EXPECT_EQ(sdo.ParseSDOError(record, 5, abort.data()), "");
        Parse(abort);
        EXPECT_FALSE(capture.Contains("SDO ERROR"));
    }
    EXPECT_EQ(co.deviceName.Str(), "");
}

// --- Statusword ---

TEST_F(CANopenSdo, StatuswordGivesTheStateTextAndEnabledFlag) {
    struct Case {
        std::uint16_t sw;
        const char* text;
        int enabled;
    };
    const Case cases[] = {
        {0x0000, "not_ready_to_switch_on", 1},
        {0x0250, "switch_on_disabled", 1},
        {0x0040, "switch_on_disabled", 1},
        {0x0221, "ready_to_switch_on", 1},
        {0x0231, "ready_to_switch_on", 1},
        {0x0223, "switched_on", 0},
        {0x0233, "switched_on", 0},
        {0x0237, "operation_enabled", 1},
        {0x1637, "operation_enabled", 1},
        {0x0217, "quick_stop_active", 1},
        {0x0007, "quick_stop_active", 1},
        {0x000F, "fault_reaction_active", 1},
        {0x0218, "fault", 1},
        {0x0008, "fault", 1},
        // Matches none of the patterns.
        {0x0001, "start_up", 1},
    };
    for (const Case& c : cases) {
        record.enabled = 7;
        EXPECT_STREQ(sdo.ParseStatusWord(record, co, c.sw), c.text) << std::hex << c.sw;
        EXPECT_STREQ(Hardware::CANopenStateText(record.errorTextCode), c.text);
        EXPECT_EQ(record.enabled, c.enabled) << std::hex << c.sw;
        EXPECT_EQ(co.statusword, c.sw);
    }
    EXPECT_STREQ(Hardware::CANopenStateText(Hardware::kErrorTextNotAvailable), "na");
}

TEST_F(CANopenSdo, StatuswordWithDebugOutputIsLogged) {
    HardwareProtocolCANopenSDO debug(&can, true);
    TestSupport::LogCapture capture;
    debug.ParseStatusWord(record, co, 0x0237);
    EXPECT_TRUE(capture.Contains("Status ID: 0x05 Code: 0x0237 value: operation_enabled"));
}

TEST_F(CANopenSdo, HomingBitsDriveTheReferencingState) {
    struct Step {
        std::uint16_t sw;
        int state;
        const char* log;  // nullptr: no change, no line
        bool finished;
    };
    const Step steps[] = {
        {0x0237, 4, "Joint 5: Homing active", false},
        {0x0237, 4, nullptr, false},
        {0x0637, 4, "Joint 5: Homing interrupted or not started", false},
        {0x2237, 7, "Joint 5: Homing error, motor still moving", false},
        {0x2637, 7, "Joint 5: Homing error, motor stopped", false},
        {0x1237, 6, "Joint 5: Homing confirmed but target not reached", true},
        {0x1637, 5, "Joint 5: Homing done", true},
    };
    co.requestedProfile = Hardware::CANopenProfileHoming;
    co.limitSwitchErrorOptionCode = -1;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.sw);
        TestSupport::LogCapture capture;
        record.referenced = 0;
        sdo.ParseStatusWord(record, co, s.sw);
        EXPECT_EQ(co.referencingState, s.state);
        EXPECT_EQ(co.lastHomingBits, s.sw & 0x3400);
        if (s.log != nullptr) {
            EXPECT_TRUE(capture.Contains(s.log)) << capture.Joined();
        } else {
            EXPECT_FALSE(capture.Contains("Homing")) << capture.Joined();
        }
        EXPECT_EQ(capture.Contains("CANopen: Homing finished joint 5"), s.finished);
        EXPECT_EQ(record.referenced, s.finished ? 1 : 0);
        const std::vector<SdoFrame> expected =
            s.finished ? std::vector<SdoFrame>{{5, 0x40, 0x6064, 0, 0}, Download(5, 0x3701, 0, 2, 0xFFFF)}
                       : std::vector<SdoFrame>{};
        EXPECT_EQ(SentSdo(), expected);
    }
}

TEST_F(CANopenSdo, HomingBitsOutsideTheHomingProfilesAreNotEvaluated) {
    for (int profile : {0, 1, 2, 3, 4, 5}) {
        co.requestedProfile = profile;
        sdo.ParseStatusWord(record, co, 0x1637);
        EXPECT_EQ(co.referencingState, 0);
        EXPECT_EQ(co.lastHomingBits, 0xFFFF);
    }
    co.requestedProfile = Hardware::CANopenProfileHomingSetToZero;
    sdo.ParseStatusWord(record, co, 0x1637);
    EXPECT_EQ(co.referencingState, 5);
    EXPECT_EQ(record.referenced, 1);
}

// --- Error texts ---

TEST(CANopenSdoTexts, ErrorRegisterBitsJoinInOrder) {
    struct Case {
        std::uint8_t reg;
        const char* text;
    };
    const Case cases[] = {
        {0x00, ""},     {0x01, "GEN"},  {0x02, "CUR"},          {0x04, "VOL"},
        {0x08, "TEMP"}, {0x10, "COM"},  {0x20, "PROF"},         {0x40, "MAN"},
        {0x81, "GEN"},  {0x80, "UNKNOWN"}, {0x7F, "GEN_CUR_VOL_TEMP_COM_PROF_MAN"}, {0x0A, "CUR_TEMP"},
    };
    for (const Case& c : cases) EXPECT_EQ(HardwareProtocolCANopenSDO::ParseErrorRegister(c.reg), c.text) << int(c.reg);
    EXPECT_EQ(HardwareProtocolCANopenSDO::addStringWithSeparator("", "A", "_"), "A");
    EXPECT_EQ(HardwareProtocolCANopenSDO::addStringWithSeparator("A", "B", ", "), "A, B");
}

TEST(CANopenSdoTexts, EmergencyCodesHaveTheirTexts) {
    struct Case {
        std::uint16_t code;
        const char* text;
    };
    const Case cases[] = {
        {0x0000, "n/a"},
        {0x1000, "general error"},
        {0x2300, "current too high at output of control"},
        {0x3100, "over-/undercurrent at input of control"},
        {0x4200, "temperature error"},
        {0x6010, "software reset (watchdog)"},
        {0x6100, "generic internal software error"},
        {0x6320, "nominal current needs to be set (0x203B:01)"},
        {0x7121, "motor blocked"},
        {0x7305, "incremental or hall sensor faulty"},
        {0x7600, "nonvolatile memory full or corrupt, restart needed"},
        {0x8000, "error at field bus monitoring"},
        {0x8130, "life guard or heart beat error"},
        {0x8200, "slave needed too long to send PDO message"},
        {0x8210, "PDO was not processed due to length error"},
        {0x8220, "PDO length exceeded"},
        {0x8611, "error in position monitoring: position lag too large"},
        {0x8612, "error in position monitoring: end switch and tolerance zone exceeded"},
        {0x5A0F, "unknown 0x5A0F"},
    };
    for (const Case& c : cases) EXPECT_EQ(HardwareProtocolCANopenSDO::ParseErrorCode(c.code), c.text);
}

TEST(CANopenSdoTexts, ManufacturerErrorNumbersHaveTheirTexts) {
    const char* const texts[] = {
        "Watchdog-Reset",
        "Input voltage too high",
        "Output current too high",
        "Input voltage too low",
        "Error at field bus",
        "Motor turns in wrong direction",
        "Node guarding request from NMT master delayed",
        "Encoder error: electrical fault or defective hardware",
        "Encoder error: could not find index during auto-setup",
        "Error in AB spur",
        "Exceeded positive end switch and tolerance zone",
        "Exceeded negative end switch and tolerance zone",
        "Temperature limit exceeded",
        "Fault due to following error",
        "Nonvolatile memory full, restart required",
        "Motor blocked",
        "Nonvolatile memory damaged, restart required",
        "Slave needs too long to send PDO message",
        "Hall sensor faulty",
        "Could not parse PDO due to invalid length",
        "PDO length exceeded",
        "Nonvolatile memory full, restart required",
        "Nominal current needs to be set (0x203B:01)",
        "Encoder resolution, pole pair count and other values are incorrect",
        "Motor current too high, change PI parameter",
        "Generic internal software error",
        "Current at digital output too high",
        "Unexpected Sync length",
    };
    for (int n = 0; n < 28; ++n) {
        EXPECT_EQ(HardwareProtocolCANopenSDO::ParseManufacturerError(static_cast<std::uint8_t>(n)), texts[n]) << n;
    }
    EXPECT_EQ(HardwareProtocolCANopenSDO::ParseManufacturerError(28), "unknown 0x1C");
    EXPECT_EQ(HardwareProtocolCANopenSDO::ParseManufacturerError(0xFF), "unknown 0xFF");
}

// --- Emergency ---

TEST_F(CANopenSdo, EmergencyMessagesAreDecoded) {
    struct Case {
        int moduleType;
        std::vector<unsigned char> data;
        const char* line;  // nullptr: ignored
    };
    const Case cases[] = {
        {0, {0x11, 0x86, 0x21, 0x0D, 0x00, 0x00, 0x00, 0x01},
         "Received EMERGENCY message from joint 5: err reg 'GEN_PROF', err code 'error in position monitoring: "
         "position lag too large', manufacturer err '0xD00000001'"},
        {0, {0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         "Received EMERGENCY message from joint 5: err reg 'none', err code 'general error', manufacturer err '0x0'"},
        {1, {0x30, 0x81, 0x10, 0x01, 0x02, 0x03, 0x04, 0x05},
         "Received EMERGENCY message from device 5 (not a motor): err reg '0x10', err code '0x8130', manufacturer err "
         "'0x102030405'"},
        {0, {0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00}, nullptr},
        {1, {0, 0, 0, 0, 0, 0, 0, 0}, nullptr},
    };
    for (const Case& c : cases) {
        record.moduleType = c.moduleType;
        TestSupport::LogCapture capture;
        sdo.ParseEmergency(record, co, 5, c.data.data());
        if (c.line != nullptr) {
            EXPECT_TRUE(capture.Contains(c.line)) << capture.Joined();
        } else {
            EXPECT_FALSE(capture.Contains("EMERGENCY")) << capture.Joined();
        }
    }
    EXPECT_TRUE(SentSdo().empty());
}

}  // namespace
