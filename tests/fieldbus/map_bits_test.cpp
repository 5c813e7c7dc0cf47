// Coils and discrete inputs: status bits before a read, commands on coil writes.
#include "testsupport/RecordingPort.h"
#include "fieldbus/ModbusServer.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Modbus::ModbusServer;
using TestSupport::RecordingPort;

class ModbusBits : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetArmWithGripperAndAxes();
        server.SetControllerPort(&port);
    }
    // Writes the coils into the table the way the library does, then runs the handler.
    void WriteCoils(int address, std::initializer_list<int> values) {
        int a = address;
        for (int v : values) server.GetTable().coils[a++] = static_cast<std::uint8_t>(v);
        server.OnWriteCoils(static_cast<std::uint16_t>(address), static_cast<int>(values.size()));
    }
    RecordingPort port;
    ModbusServer server;
};

TEST_F(ModbusBits, StatusBitsFromTheControllerInBothTables) {
    port.state.errorCodes[2] = 0x0005;
    port.state.errorCodes[7] = 0x0200;
    port.state.kinState = 32;
    port.state.GSig[99] = true;
    port.state.DOut[0] = true;
    port.state.DIn[63] = true;
    port.modules.connected = true;
    port.modules.motorsEnabled = true;
    port.modules.allReferenced = true;
    port.operationMode = 0;
    port.zeroTorqueEnabled = true;
    port.main.loaded = true;
    port.main.runState = 2;
    port.selectedIsFile = true;

    struct Case {
        int address;
        int value;
    };
    const Case cases[] = {{10, 1}, {11, 1}, {12, 1}, {13, 0}, {14, 1},  {20, 0},  {21, 1},  {22, 0},
                          {23, 1}, {30, 1}, {29, 0}, {37, 0}, {43, 1},  {44, 0},  {50, 1},  {53, 1},
                          {54, 1}, {60, 1}, {110, 0}, {111, 1}, {120, 1}, {121, 0}, {122, 1}, {123, 0},
                          {124, 0}, {132, 1}, {299, 1}, {298, 0}, {300, 1}, {301, 0}, {427, 1}, {364, 0}};
    for (bool coils : {true, false}) {
        if (coils) {
            server.OnReadCoils(0, 428);
        } else {
            server.OnReadDiscreteInputs(0, 428);
        }
        const std::uint8_t* bits = coils ? server.GetTable().coils : server.GetTable().discreteInputs;
        for (const Case& c : cases) EXPECT_EQ(bits[c.address], c.value) << (coils ? "coil " : "input ") << c.address;
    }
}

TEST_F(ModbusBits, ReferencedFlagsAreMappedByRoleNotByRecordIndex) {
    // Records: joints 0-5, gripper 6, external axes 7-8, DIO 9: all referenced.
    std::fill(std::begin(port.modules.referenced), std::end(port.modules.referenced), true);
    // Reaching any address of the block fills all of it.
    server.OnReadDiscreteInputs(65, 1);
    const std::uint8_t* bits = server.GetTable().discreteInputs;
    for (int a = 61; a <= 66; ++a) EXPECT_EQ(bits[a], 1) << a;
    EXPECT_EQ(bits[70], 1);
    EXPECT_EQ(bits[67], 1);
    EXPECT_EQ(bits[68], 1);
    for (int a : {69, 71, 72}) EXPECT_EQ(bits[a], 0) << a;

    // Only the second external axis referenced: 68, not 67 nor the gripper's 70.
    std::fill(std::begin(port.modules.referenced), std::end(port.modules.referenced), false);
    port.modules.referenced[8] = true;
    server.OnReadDiscreteInputs(61, 12);
    for (int a = 61; a <= 72; ++a) EXPECT_EQ(bits[a], a == 68 ? 1 : 0) << a;
}

TEST_F(ModbusBits, ReadsStopAtTheTableEnd) {
    TestSupport::LogCapture log;
    port.state.DIn[36] = true;
    port.state.DIn[63] = true;
    server.OnReadCoils(400, 100);
    EXPECT_EQ(server.GetTable().coils[400], 1);
    EXPECT_EQ(server.GetTable().coils[427], 1);
    // An address that wraps past 65535 is beyond the table as well.
    server.OnReadCoils(65535, 2);
    EXPECT_FALSE(log.Contains("Watchdog"));
    EXPECT_FALSE(log.Contains("Exception"));
}

TEST_F(ModbusBits, CommandCoilsActOnRisingEdgesAgainstWhatThePlcWrote) {
    WriteCoils(52, {1});
    WriteCoils(52, {1});
    EXPECT_EQ(port.CountOf("Reset"), 1);
    WriteCoils(52, {0});
    WriteCoils(52, {1});
    EXPECT_EQ(port.CountOf("Reset"), 2);

    // A status read between the writes changes the table, not the reference.
    port.modules.motorsEnabled = false;
    server.OnReadCoils(50, 11);
    port.Clear();
    WriteCoils(53, {1});
    EXPECT_EQ(port.Commands(), (std::vector<std::string>{"Reset", "EnableMotors 1"}));
    WriteCoils(53, {0});
    port.Clear();
    WriteCoils(53, {1});
    EXPECT_EQ(port.Commands(), (std::vector<std::string>{"EnableMotors 0"}));
}

TEST_F(ModbusBits, CoilActionsTable) {
    struct Case {
        int address;
        std::vector<std::string> commands;
    };
    const Case cases[] = {
        {51, {"ShutdownSystem"}},
        {60, {"ReferenceAllJoints"}},
        {61, {"ReferenceJointAlt 0"}},
        {69, {"ReferenceJointAlt 8"}},
        {70, {"ReferenceJoint 6"}},  // the module after the six robot joints
        {72, {"ReferenceJoint 8"}},
        {73, {"ResetAllJointsToZero"}},
        {122, {"StartProgram"}},
        {123, {"PauseProgram"}},
        {124, {"StopProgram"}},
        {130, {"BrowserNext"}},
        {131, {"BrowserPrevious"}},
        {133, {"LoadCurrentDirectoryOrProgram"}},
        {134, {"GotoBasedir"}},
        {135, {"DeleteAll 0", "SaveProject"}},
        {136, {"DeleteAll 1", "SaveProject"}},
        {140, {}},
    };
    for (const Case& c : cases) {
        port.Clear();
        WriteCoils(c.address, {1});
        EXPECT_EQ(port.Commands(), c.commands) << c.address;
        WriteCoils(c.address, {0});
    }
    // Zero torque follows every write, not only edges.
    port.Clear();
    WriteCoils(111, {1});
    WriteCoils(111, {1});
    WriteCoils(111, {0});
    EXPECT_EQ(port.Commands(),
              (std::vector<std::string>{"SetZeroTorqueMode 1", "SetZeroTorqueMode 1", "SetZeroTorqueMode 0"}));
}

TEST_F(ModbusBits, MoveGroupLooksAtTheFirstWrittenCoilOnlyAndReadsTargetsFromHoldingRegisters) {
    std::uint16_t* h = server.GetTable().holding;
    const std::int32_t x = -1234;  // -12.34 mm
    h[130] = Modbus::Lower16(x);
    h[131] = Modbus::Upper16(x);
    h[134] = 10000;  // z 100 mm
    h[154] = 250;    // e1 2.5
    h[180] = 300;    // 30.0
    WriteCoils(100, {0, 1, 0});
    EXPECT_TRUE(port.Commands().empty());
    WriteCoils(100, {0, 0, 0});
    WriteCoils(100, {1});
    EXPECT_EQ(port.Commands(), (std::vector<std::string>{"MoveCartesian 100 -12.34 0 100 0 0 0 2.5 0 0 30"}));

    port.Clear();
    h[142] = 4500;  // joint 1 45 degrees
    WriteCoils(104, {1});
    EXPECT_EQ(port.Commands(), (std::vector<std::string>{"MoveJoints 104 45 0 0 0 0 0 2.5 0 0 30"}));
}

TEST_F(ModbusBits, SignalAndOutputBlocksFromTheAddressReachedToTheWrittenEnd) {
    std::vector<int> values(20, 0);
    for (int i = 0; i < 20; i += 2) values[static_cast<size_t>(i)] = 1;
    for (int i = 0; i < 20; ++i) server.GetTable().coils[290 + i] = static_cast<std::uint8_t>(values[static_cast<size_t>(i)]);
    server.OnWriteCoils(290, 20);
    std::vector<std::string> expected;
    for (int i = 0; i < 10; ++i) expected.push_back("SetGlobalSignal " + std::to_string(90 + i) + " " + std::to_string(values[static_cast<size_t>(i)]));
    for (int i = 0; i < 10; ++i) expected.push_back("SetManualDOut " + std::to_string(i) + " " + std::to_string(values[static_cast<size_t>(10 + i)]));
    EXPECT_EQ(port.Commands(), expected);
}

TEST_F(ModbusBits, ResetTableRestoresTheCreationState) {
    WriteCoils(52, {1});
    server.GetTable().holding[180] = 7;
    server.GetTable().holding[170] = 1234;
    server.ResetTable();
    EXPECT_EQ(server.GetTable().holding[180], 500);
    EXPECT_EQ(server.GetTable().holding[170], 0);
    EXPECT_EQ(server.GetTable().coils[52], 0);
    // The previous values are 0 again: writing 1 is an edge once more.
    port.Clear();
    WriteCoils(52, {1});
    EXPECT_EQ(port.CountOf("Reset"), 1);
}

}  // namespace
