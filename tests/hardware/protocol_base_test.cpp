#include "hardware/HardwareProtocol.h"
#include "hardware/HardwareProtocolCANopen.h"
#include "hardware/HardwareProtocolJXRCAN.h"
#include "hardware/HardwareProtocolJXRCANV2.h"

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "protocol_test_bus.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using Hardware::HardwareProtocol;
using ModuleRole = Hardware::HardwareProtocol::ModuleRole;

namespace {

// A protocol that overrides nothing but opens the record table to the test.
class OpenProtocol : public HardwareProtocol {
public:
    OpenProtocol() : HardwareProtocol(nullptr) {}
    using HardwareProtocol::AddRecord;
    using HardwareProtocol::ResizeRole;
    using HardwareProtocol::SetRobotJointCount;
    Hardware::jointData& Record(int i) { return joints[static_cast<size_t>(i)]; }
};

// Records what the reference-reset routine calls.
class ReferenceRecorder : public OpenProtocol {
public:
    void ReferenceSingleJoint(int joint) override { referenced.push_back(joint); }
    void ResetError() override { ++resets; }
    std::vector<int> referenced;
    int resets = 0;
};

TEST(ProtocolBase, ProtocolThatOverridesNothingAnswersNeutrallyAndIgnoresCommands) {
    OpenProtocol p;
    DataTypes::RobotState state;
    state.jointAct[0] = 7.0f;
    p.Init("name", "type", "/no/such/file");
    p.Connect();
    p.SendSync();
    p.SetJoints(state);
    p.GetJoints(&state);
    p.EnableMotors(true);
    p.SetIO(0, 0, true);
    EXPECT_FALSE(p.GetConnectionStatus());
    EXPECT_FALSE(p.GetMotorEnabled());
    EXPECT_FALSE(p.GetZeroContact(0));
    EXPECT_FALSE(p.GetCalibFlag(0));
    EXPECT_FALSE(p.IsAxisModule(0));
    EXPECT_FALSE(p.IsReferencing());
    EXPECT_EQ(p.GetSupplyVoltage(), 0.0f);
    EXPECT_EQ(p.GetFrequency(), 0.0f);
    EXPECT_EQ(state.jointAct[0], 7.0f);

    int codes[16];
    std::fill(codes, codes + 16, -5);
    float temps[16];
    std::fill(temps, temps + 16, -5.0f);
    bool flags[16];
    std::fill(flags, flags + 16, true);
    int all = -5;
    std::string text = "untouched";
    std::string shortText = "untouched";
    p.GetErrorHexCode(codes);
    p.GetCurrentValues(codes);
    p.GetTempValues(temps);
    p.GetReferenceStatus(flags, &all);
    p.GetError(text, shortText);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(codes[i], -5);
        EXPECT_EQ(temps[i], -5.0f);
        EXPECT_TRUE(flags[i]);
    }
    EXPECT_EQ(all, -5);
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(p.GetErrorShort(), "");
    unsigned char a = 9, b = 9, c = 9;
    p.GetDIOModuleIDs(a, b, c);
    EXPECT_EQ(a + b + c, 27);
}

TEST(ProtocolBase, CreateBuildsTheProtocolOfEachKnownName) {
    struct Case {
        const char* name;
        bool version1;
        int version;
    };
    const Case cases[] = {{"JXRCAN", true, 0}, {"JXRCANV2", false, 2}, {"JXRCANV3", false, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProtocolTest::ScopedOperationMode mode;
        auto protocol = HardwareProtocol::Create(c.name, nullptr);
        ASSERT_NE(protocol, nullptr);
        EXPECT_EQ(dynamic_cast<Hardware::HardwareProtocolJXRCAN*>(protocol.get()) != nullptr, c.version1);
        EXPECT_EQ(dynamic_cast<Hardware::HardwareProtocolJXRCANV2*>(protocol.get()) != nullptr, !c.version1);
        EXPECT_EQ(protocol->GetVersion(), c.version);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    }
}

TEST(ProtocolBase, CreateBuildsCANopenWithTheProfileOfItsName) {
    const std::pair<const char*, Hardware::CANopenProfile> cases[] = {
        {"CANopen", Hardware::CANopenProfileIPO},
        {"CANopen_IPO", Hardware::CANopenProfileIPO},
        {"CANopen_CSP", Hardware::CANopenProfileCSP},
        {"CANopen_Position", Hardware::CANopenProfilePosition}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        ProtocolTest::ScopedOperationMode mode;
        auto protocol = HardwareProtocol::Create(c.first, nullptr);
        auto* canopen = dynamic_cast<Hardware::HardwareProtocolCANopen*>(protocol.get());
        ASSERT_NE(canopen, nullptr);
        EXPECT_EQ(canopen->GetProfile(), c.second);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    }
}

TEST(ProtocolBase, CreateRefusesUnknownNamesWithReason11) {
    // Names compare exactly, case included.
    const char* names[] = {"canopen", "CANopen_CSV", "jxrcanv2", ""};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        ProtocolTest::ScopedOperationMode mode;
        TestSupport::LogCapture capture;
        EXPECT_EQ(HardwareProtocol::Create(name, nullptr), nullptr);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "11 protocol type unknown");
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
        EXPECT_TRUE(capture.Contains(std::string("RobotMaster: could not recognize protocol type ") + name));
    }
}

TEST(ProtocolBase, CANopenProfileTexts) {
    const std::pair<int, const char*> cases[] = {
        {0, "unknown"}, {1, "Position"}, {2, "IPO"}, {3, "CSP"}, {4, "Velocity"}, {5, "CSV"},
        {6, "Homing"}, {7, "Homing (set-to-zero)"}, {8, "unknown"}, {-1, "unknown"}};
    for (const auto& c : cases) {
        EXPECT_EQ(Hardware::CANopenProfileToString(static_cast<Hardware::CANopenProfile>(c.first)), c.second)
            << c.first;
    }
}

TEST(ProtocolBase, RecordsStayInRoleOrderWhateverTheOrderOfAdding) {
    OpenProtocol p;
    p.SetRobotJointCount(2);
    p.Record(0).canId = 0x10;
    p.Record(1).canId = 0x20;
    // Added in an order unlike the layout: DIO, external, gripper, platform, external.
    const std::pair<ModuleRole, int> adds[] = {{ModuleRole::DIO, 0x300},
                                               {ModuleRole::ExternalAxis, 0x70},
                                               {ModuleRole::Gripper, 0x90},
                                               {ModuleRole::Platform, 0xA0},
                                               {ModuleRole::ExternalAxis, 0x80}};
    for (const auto& add : adds) {
        const int index = p.AddRecord(add.first);
        ASSERT_GE(index, 0);
        p.Record(index).canId = add.second;
    }
    const int expected[] = {0x10, 0x20, 0x90, 0x70, 0x80, 0xA0, 0x300};
    ASSERT_EQ(p.GetModuleTotal(), 7);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(p.GetJointData(i).canId, expected[i]) << i;
    EXPECT_EQ(p.FirstRecord(ModuleRole::Gripper), 2);
    EXPECT_EQ(p.FirstRecord(ModuleRole::ExternalAxis), 3);
    EXPECT_EQ(p.FirstRecord(ModuleRole::Platform), 5);
    EXPECT_EQ(p.FirstRecord(ModuleRole::DIO), 6);
    EXPECT_EQ(p.RoleCount(ModuleRole::ExternalAxis), 2);

    // Shrinking a block closes the gap behind it.
    ASSERT_TRUE(p.ResizeRole(ModuleRole::ExternalAxis, 1));
    const int shrunk[] = {0x10, 0x20, 0x90, 0x70, 0xA0, 0x300};
    ASSERT_EQ(p.GetModuleTotal(), 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(p.GetJointData(i).canId, shrunk[i]) << i;
}

TEST(ProtocolBase, TheTableHoldsSixteenRecordsAtMost) {
    OpenProtocol p;
    p.SetRobotJointCount(6);
    for (int i = 0; i < 10; ++i) ASSERT_GE(p.AddRecord(ModuleRole::Platform), 0);
    TestSupport::LogCapture capture;
    EXPECT_EQ(p.AddRecord(ModuleRole::Gripper), -1);
    EXPECT_FALSE(p.ResizeRole(ModuleRole::Gripper, 1));
    EXPECT_EQ(p.GetModuleTotal(), 16);
    EXPECT_EQ(p.GetGripperCount(), 0);
    EXPECT_TRUE(capture.Contains("the table holds 16 modules at most"));
}

TEST(ProtocolBase, IsAxisModuleOnlyForExistingJointModulesWithAnId) {
    OpenProtocol p;
    p.SetRobotJointCount(2);
    p.Record(0).canId = 0x10;  // record 1 keeps CAN ID 0
    const int dio = p.AddRecord(ModuleRole::DIO);
    p.Record(dio).canId = 0x300;
    p.Record(dio).moduleType = 1;
    p.Record(5).canId = 0x50;  // beyond the module total
    const std::pair<int, bool> cases[] = {{-1, false}, {0, true}, {1, false}, {2, false}, {3, false}, {5, false}};
    for (const auto& c : cases) EXPECT_EQ(p.IsAxisModule(c.first), c.second) << c.first;
}

TEST(ProtocolBase, IsReferencingIgnoresTheDioRecordsAtTheEnd) {
    OpenProtocol p;
    p.SetRobotJointCount(2);
    const int dio = p.AddRecord(ModuleRole::DIO);
    EXPECT_FALSE(p.IsReferencing());
    p.Record(dio).referencing = 1;
    EXPECT_FALSE(p.IsReferencing());
    p.Record(1).referencing = 1;
    EXPECT_TRUE(p.IsReferencing());
}

TEST(ProtocolBase, ReferenceResetWalksThePlcSequenceThenResetsErrors) {
    struct Case {
        std::vector<int> sequence;  // nine entries
        std::vector<int> expected;
    };
    // Records: joints 0..2 with IDs, joint 3 without, then one DIO module (index 4).
    const Case cases[] = {
        {{-1, -1, -1, -1, -1, -1, -1, -1, -1}, {}},
        {{2, -1, 0, 3, 4, 7, 1, -5, 2}, {2, 0, 1, 2}},
    };
    LogSingleton* log = LogSingleton::instance();
    const PLCInterfaceNumbers saved = log->get_plcInterfaceNr();
    for (const Case& c : cases) {
        ReferenceRecorder p;
        p.SetRobotJointCount(4);
        for (int i = 0; i < 3; ++i) p.Record(i).canId = 0x10 * (i + 1);
        const int dio = p.AddRecord(ModuleRole::DIO);
        p.Record(dio).canId = 0x300;
        p.Record(dio).moduleType = 1;
        log->change_plcInterfaceNr(
            [&](PLCInterfaceNumbers& plc) { std::copy(c.sequence.begin(), c.sequence.end(), plc.JointToRef); });
        TestSupport::LogCapture capture;
        const auto start = std::chrono::steady_clock::now();
        p.ReferenceReset();
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
        EXPECT_EQ(p.referenced, c.expected);
        EXPECT_EQ(p.resets, 1);
        EXPECT_EQ(capture.Count("Resetting ref status of joint "), static_cast<int>(c.expected.size()));
    }
    log->set_plcInterfaceNr(saved);
}

TEST(ProtocolBase, WaitsAndTimeConversion) {
    auto start = std::chrono::steady_clock::now();
    HardwareProtocol::waitActive(0.0f);
    HardwareProtocol::waitActive(-3.0f);
    HardwareProtocol::wait(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));

    start = std::chrono::steady_clock::now();
    HardwareProtocol::waitActive(3.0f);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3));
    start = std::chrono::steady_clock::now();
    HardwareProtocol::wait(2.5f);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(2500));

    EXPECT_EQ(HardwareProtocol::ToMicroSec(timespec{3, 999999999}), 3999999);
    EXPECT_EQ(HardwareProtocol::ToMicroSec(timespec{0, 1500}), 1);
}

}  // namespace
