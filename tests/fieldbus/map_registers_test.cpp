// Input and holding registers: refreshed before reads, acting after writes.
#include "testsupport/RecordingPort.h"
#include "fieldbus/ModbusServer.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using Modbus::ModbusServer;
using TestSupport::RecordingPort;

class ModbusRegisters : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetArmWithGripperAndAxes();
        server.SetControllerPort(&port);
        server.SetSoftwareInfo(980, 13, 30);
    }
    std::uint16_t* In() { return server.GetTable().input; }
    std::uint16_t* Hold() { return server.GetTable().holding; }
    void WriteHolding(int address, std::initializer_list<int> values) {
        int a = address;
        for (int v : values) Hold()[a++] = static_cast<std::uint16_t>(v);
        server.OnWriteHoldingRegisters(static_cast<std::uint16_t>(address), static_cast<int>(values.size()));
    }
    RecordingPort port;
    ModbusServer server;
};

TEST_F(ModbusRegisters, InputRegistersFromTheController) {
    port.systemVars[0] = 70001;
    port.systemVars[4] = 12;
    port.loop.cycleTimeMs = 3;
    port.loop.maxCycleTimeUs = 4567;
    port.loop.frequencyHz = 1000;
    port.loop.workload = 0.25f;
    port.modules.supplyVoltage = 24000;
    port.state.currentAll = 70000;
    port.state.kinState = 99;
    port.operationMode = 1;
    port.state.DIn[17] = true;
    port.main.programCount = 2;
    port.main.activeProgram = 1;
    port.main.activeCommandCount = 7;
    port.main.currentPoint = -1;
    port.main.stopReason = 8;
    port.browserCount = 4;
    port.browserSelection = 3;
    port.selectedEntry = "prog.xml";
    for (int a = 0; a < 750; a += 125) server.OnReadInputRegisters(static_cast<std::uint16_t>(a), 125);

    struct Case {
        int address;
        int value;
    };
    const Case cases[] = {
        {0, 980},  {1, 13},   {2, 30},    {3, 1},      {4, 70001 & 0xFFFF}, {5, 0}, {12, 12},
        {13, 30},  {14, 45},  {15, 34464}, {16, 25},   {20, 6},  {21, 2},  {22, 1}, {23, 0}, {24, 1},
        {92, 2400}, {93, 4464}, {95, 1},   {96, 1},    {207, 0}, {208, 2}, {209, 0}, {210, 0},
        {262, 2},  {263, 1},  {264, 7},   {265, 65535}, {266, 102}, {331, 4}, {332, 3},
        {333, 0x7270}, {334, 0x676F}, {335, 0x782E}, {336, 0x6C6D}, {337, 0}, {364, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(In()[c.address], c.value) << "input register " << c.address;
}

TEST_F(ModbusRegisters, PoseBlockIsFilledWholeFromAnyOfItsRegisters) {
    port.state.pose(0, 3) = -12.34f;
    port.state.pose(2, 3) = 500.0f;
    port.state.C = 90.0f;
    server.OnReadInputRegisters(131, 1);
    EXPECT_EQ(In()[130], 0xFB2E);
    EXPECT_EQ(In()[131], 0xFFFF);
    EXPECT_EQ(Modbus::ToInt(In()[134], In()[135]), 50000);
    EXPECT_EQ(Modbus::ToInt(In()[140], In()[141]), 9000);
    EXPECT_EQ(In()[142], 0);  // the next block is not touched
}

TEST_F(ModbusRegisters, ModuleBlocksAreMappedByRole) {
    // Records: joints 0-5, gripper 6, external axes 7-8, DIO 9.
    for (int r = 0; r < 10; ++r) {
        port.state.currents[r] = 100 + r;
        port.modules.errorCodes[r] = 200 + r;
        port.state.boardTemps[r] = 30.5f + static_cast<float>(r);
        port.state.motorTemps[r] = -1.0f;
    }
    server.OnReadInputRegisters(25, 67);
    for (int j = 0; j < 6; ++j) {
        EXPECT_EQ(In()[76 + j], 100 + j);
        EXPECT_EQ(In()[25 + j], 200 + j);
        EXPECT_EQ(In()[44 + j], 305 + 10 * j);
        EXPECT_EQ(In()[60 + j], 0xFFF6);
    }
    EXPECT_EQ(In()[82], 107);  // external axis 1
    EXPECT_EQ(In()[83], 108);  // external axis 2
    EXPECT_EQ(In()[84], 0);
    EXPECT_EQ(In()[85], 106);  // gripper
    EXPECT_EQ(In()[86], 0);
    EXPECT_EQ(In()[31], 207);
    EXPECT_EQ(In()[34], 206);
    EXPECT_EQ(In()[41], 209);  // DIO module
    EXPECT_EQ(In()[53], 365);  // gripper board temperature
    EXPECT_EQ(In()[88], 0);    // no platform
}

TEST_F(ModbusRegisters, ExchangeVariablesAreServedAndAMissingOneIsSkipped) {
    port.variables["mb_num_r1"].value = 2.5;
    port.variables["mb_num_r2"].value = -4;
    port.variables["mb_num_r3"].value = 70000;
    port.variables["mb_num_r4"].value = std::nan("");
    port.variables.erase("mb_num_r5");
    In()[444] = 77;
    port.variables["mb_num_r6"].value = 6;
    DataTypes::RobotState& p = port.variables["mb_pos_r1"].state;
    p.jointSet[0] = -1.25f;
    p.jointSet[8] = 3.0f;
    p.pose(0, 3) = 100.0f;
    p.A = -90.0f;
    server.OnReadInputRegisters(440, 17);
    EXPECT_EQ(In()[440], 3);
    EXPECT_EQ(In()[441], 0);
    EXPECT_EQ(In()[442], 4464);
    EXPECT_EQ(In()[443], 0);
    EXPECT_EQ(In()[444], 77);  // missing: left alone, the walk goes on
    EXPECT_EQ(In()[445], 6);
    EXPECT_EQ(In()[456], 0xFFF4);  // -12 tenths, truncated toward zero
    EXPECT_EQ(In()[464], 30);
    EXPECT_EQ(In()[465], 1000);
    EXPECT_EQ(In()[468], static_cast<std::uint16_t>(-900));
}

TEST_F(ModbusRegisters, BrowserDirectoryEntryShowsOnlyItsLastPart) {
    struct Case {
        const char* name;
        const char* shown;
    };
    const Case cases[] = {{"Demo/Sub/", "Sub/"}, {"a/b.xml", "b.xml"}, {"../", "../"}, {"x/", "x/"}, {"ab", "ab"}};
    for (const Case& c : cases) {
        port.selectedEntry = c.name;
        server.OnReadInputRegisters(340, 1);
        EXPECT_EQ(Modbus::StringFromRegisters(In() + 333, 32), c.shown) << c.name;
    }
}

TEST_F(ModbusRegisters, HoldingReadsRefreshTheStatusAndKeepTheTargets) {
    port.velocities[0] = -2.5f;
    port.overridePercent = 40.0f;
    port.motionType = 2;
    port.state.GSig[17] = true;
    port.state.GSig[99] = true;
    port.state.DOut[0] = true;
    port.state.DOut[2] = true;
    port.main.runState = 0;
    port.main.replayMode = 2;
    port.main.loadedName = "prog.xml";
    Hold()[130] = 4321;
    server.OnReadHoldingRegisters(130, 125);
    server.OnReadHoldingRegisters(255, 80);
    EXPECT_EQ(Hold()[130], 4321);
    EXPECT_EQ(Hold()[180], 500);
    EXPECT_EQ(Modbus::ToInt(Hold()[181], Hold()[182]), -25);
    EXPECT_EQ(Hold()[187], 4000);
    EXPECT_EQ(Hold()[188], 2);
    EXPECT_EQ(Hold()[201], 0x0002);
    EXPECT_EQ(Hold()[206], 0x0008);
    EXPECT_EQ(Hold()[207], 0x0005);
    EXPECT_EQ(Hold()[260], 2);
    EXPECT_EQ(Hold()[261], 2);
    EXPECT_EQ(Modbus::StringFromRegisters(Hold() + 267, 32), "prog.xml");
}

TEST_F(ModbusRegisters, OverrideWritesAreLimitedAndSavedOnlyWhenTheyChange) {
    WriteHolding(187, {10000});
    EXPECT_EQ(port.Commands(), (std::vector<std::string>{"SetOverride 100", "SaveProject"}));
    port.Clear();
    WriteHolding(187, {10005});
    EXPECT_TRUE(port.Commands().empty());
    port.overridePercent = 30.0f;
    WriteHolding(187, {60000});
    EXPECT_EQ(port.Commands(), (std::vector<std::string>{"SetOverride 100", "SaveProject"}));
}

TEST_F(ModbusRegisters, WritesActOnEveryWrite) {
    struct Case {
        int address;
        int value;
        std::vector<std::string> commands;
    };
    port.main.replayMode = 0;
    const Case cases[] = {
        {260, 1, {"StartProgram"}},
        {260, 1, {"StartProgram"}},
        {260, 2, {"PauseProgram"}},
        {260, 0, {"StopProgram"}},
        {260, 7, {"StopProgram"}},
        {261, 1, {"SetReplayMode 1", "SaveProject"}},
        {261, 3, {}},  // 3 is no mode: single, which it already is
        {188, 3, {"SetMotionType 3"}},
        {188, 9, {"SetMotionType 0"}},
        {332, 5, {"SetBrowserSelection 5"}},
        {440, static_cast<std::uint16_t>(-25), {"SetNumber mb_num_w1 -25"}},
        {170, 1234, {}},
    };
    for (const Case& c : cases) {
        port.Clear();
        WriteHolding(c.address, {c.value});
        EXPECT_EQ(port.Commands(), c.commands) << c.address << " = " << c.value;
    }
    // The number reads back unsigned.
    server.OnReadHoldingRegisters(440, 1);
    EXPECT_EQ(Hold()[440], 0);

    port.Clear();
    WriteHolding(207, {0x0005});
    std::vector<std::string> outputs;
    for (int b = 0; b < 16; ++b) outputs.push_back("SetManualDOut " + std::to_string(b) + " " + std::to_string(b == 0 || b == 2));
    EXPECT_EQ(port.Commands(), outputs);
    port.Clear();
    WriteHolding(206, {0xFFFF});
    EXPECT_EQ(port.Commands().size(), 4u);  // signals 96-99 only
}

TEST_F(ModbusRegisters, ProgramNamesAreTakenFromTheWholeBlock) {
    std::uint16_t name[32] = {};
    Modbus::StringToRegisters("Demo.xml", name, 32);
    for (int k = 0; k < 32; ++k) Hold()[267 + k] = name[k];
    server.OnWriteHoldingRegisters(267, 32);
    EXPECT_EQ(port.Commands(), (std::vector<std::string>{"LoadProgram 0 Demo.xml", "SaveProject"}));
    port.Clear();
    for (int k = 0; k < 32; ++k) Hold()[299 + k] = name[k];
    server.OnWriteHoldingRegisters(299, 32);
    EXPECT_EQ(port.Commands(), (std::vector<std::string>{"LoadProgram 1 Demo.xml", "SaveProject"}));
}

TEST_F(ModbusRegisters, RefusedProgramNameQueuesNoSaveAndReadsTheLoadedName) {
    port.loadAccepted = false;
    port.main.loadedName = "Demo.xml";
    std::uint16_t name[32] = {};
    Modbus::StringToRegisters("../x.xml", name, 32);
    for (int k = 0; k < 32; ++k) Hold()[267 + k] = name[k];
    server.OnWriteHoldingRegisters(267, 32);
    EXPECT_EQ(port.Commands(), (std::vector<std::string>{"LoadProgram 0 ../x.xml"}));
    server.OnReadHoldingRegisters(267, 32);
    EXPECT_EQ(Modbus::StringFromRegisters(Hold() + 267, 32), "Demo.xml");
}

TEST_F(ModbusRegisters, PositionVariableWriteStoresByOffset15) {
    struct Case {
        int selector;
        int content;  // -1: nothing stored
    };
    const Case cases[] = {{0, 3}, {1, 1}, {2, 2}, {7, -1}};
    for (const Case& c : cases) {
        port.stored.clear();
        const int base = 456 + 16;  // mb_pos_w2
        for (int k = 0; k < 15; ++k) Hold()[base + k] = static_cast<std::uint16_t>(k == 9 ? -125 : 10 * k);
        Hold()[base + 15] = static_cast<std::uint16_t>(c.selector);
        server.OnWriteHoldingRegisters(static_cast<std::uint16_t>(base + 3), 2);
        if (c.content < 0) {
            EXPECT_TRUE(port.stored.empty());
            continue;
        }
        ASSERT_EQ(port.stored.size(), 1u) << c.selector;
        EXPECT_EQ(port.CountOf("StoreVariable mb_pos_w2 " + std::to_string(c.content)), 1);
        const DataTypes::RobotState& s = port.stored[0].state;
        EXPECT_FLOAT_EQ(s.jointSet[1], 1.0f);
        EXPECT_FLOAT_EQ(s.pose(0, 3), -12.5f);
        EXPECT_FLOAT_EQ(s.C, 14.0f);
        port.Clear();
    }
}

TEST_F(ModbusRegisters, KinematicErrorCodesEndTheHandlerWithAnExceptionLine) {
    TestSupport::LogCapture log;
    port.throwOnStore = 13;
    Hold()[456 + 15] = 2;
    EXPECT_NO_THROW(server.OnWriteHoldingRegisters(456, 16));
    EXPECT_TRUE(log.Contains("Exception in Modbus::OnWriteHoldingRegisters (address 456, num 16): ")) << log.Joined();
}

TEST_F(ModbusRegisters, PlcVelocitiesAreHeldApartFromTheTable) {
    float v = -1.0f;
    for (int axis = 0; axis < 3; ++axis) EXPECT_FALSE(server.GetExternalJointVelocity(axis, &v));
    EXPECT_EQ(v, 0.0f);
    EXPECT_FALSE(server.GetExternalJointVelocity(3, &v));

    port.modules.motorsEnabled = true;
    WriteHolding(181, {100, 0});
    EXPECT_EQ(port.Commands(), (std::vector<std::string>{"SetVelocities 10 0 0"}));
    ASSERT_TRUE(server.GetExternalJointVelocity(0, &v));
    EXPECT_FLOAT_EQ(v, 10.0f);
    // A read serves the robot master's set-points and leaves the PLC's command alone.
    port.velocities[0] = 0.0f;
    server.OnReadHoldingRegisters(181, 6);
    ASSERT_TRUE(server.GetExternalJointVelocity(0, &v));
    EXPECT_FLOAT_EQ(v, 10.0f);
    EXPECT_FALSE(server.GetExternalJointVelocity(1, &v));

    // Above the axis's maximum (50) it is limited, both signs.
    WriteHolding(183, {Modbus::Lower16(-900), Modbus::Upper16(-900)});
    ASSERT_TRUE(server.GetExternalJointVelocity(1, &v));
    EXPECT_FLOAT_EQ(v, -50.0f);
    WriteHolding(185, {Modbus::Lower16(100000), Modbus::Upper16(100000)});
    ASSERT_TRUE(server.GetExternalJointVelocity(2, &v));
    EXPECT_FLOAT_EQ(v, 50.0f);

    server.ResetExternalJointVelocities();
    for (int axis = 0; axis < 3; ++axis) EXPECT_FALSE(server.GetExternalJointVelocity(axis, &v));
}

TEST_F(ModbusRegisters, WithoutAControllerTheHandlersLogAndReturn) {
    TestSupport::LogCapture log;
    ModbusServer alone;
    alone.OnReadInputRegisters(0, 10);
    alone.OnWriteCoils(52, 1);
    EXPECT_TRUE(log.Contains("Exception in Modbus::OnReadInputRegisters (address 0, num 10)"));
    EXPECT_TRUE(log.Contains("Exception in Modbus::OnWriteCoils (address 52, num 1)"));
}

TEST(ModbusSettings, OutOfRangePortAndLimitKeepTheOldValue) {
    TestSupport::LogCapture log;
    ModbusServer server;
    server.SetPort(1502);
    server.SetMaxConnections(7);
    for (int bad : {0, -1, 65536}) server.SetPort(bad);
    for (unsigned bad : {0u, 1024u}) server.SetMaxConnections(bad);
    EXPECT_EQ(server.GetPort(), 1502);
    EXPECT_EQ(server.GetMaxConnections(), 7u);
    EXPECT_TRUE(log.Contains("Modbus: Port set to 1502"));
    EXPECT_TRUE(log.Contains("Modbus: Max connections set to 7"));
    EXPECT_EQ(log.Count("refused"), 5);
}

}  // namespace
