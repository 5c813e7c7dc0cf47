// The map on the real controller port: a hardware protocol with six robot joints, a gripper,
// two external axes and a DIO module, whose records the map finds by role.
#include "loop_test_fixture.h"

#include "control/RobotMasterPort.h"
#include "fieldbus/ModbusServer.h"

#include <gtest/gtest.h>

namespace {

using Role = Hardware::HardwareProtocol::ModuleRole;

// Records in role order whatever order they are added in: joints 0-5, gripper 6,
// external axes 7-8, DIO 9. Every record referenced; per-record codes and currents.
class ArmProtocol : public ControlTest::LoopProtocol {
public:
    explicit ArmProtocol(RobotKinematic* kinematic) : LoopProtocol(kinematic) {
        SetRobotJointCount(6);
        ResizeRole(Role::ExternalAxis, 2);
        ResizeRole(Role::Gripper, 1);
        ResizeRole(Role::DIO, 1);
        for (int i = 0; i < GetModuleTotal(); ++i) {
            joints[static_cast<size_t>(i)].referenced = 1;
            joints[static_cast<size_t>(i)].errorCode = 200 + i;
        }
    }
    void GetErrorHexCode(int* codes) override {
        for (int i = 0; i < GetModuleTotal(); ++i) codes[i] = joints[static_cast<size_t>(i)].errorCode;
    }
    void GetCurrentValues(int* currents) override {
        for (int i = 0; i < GetModuleTotal(); ++i) currents[i] = 100 + i;
    }
};

class ModbusMasterPort : public ControlTest::LoopTest {
protected:
    void SetUp() override {
        LoopTest::SetUp();
        if (IsSkipped()) return;
        InitGantry();
        auto arm = std::make_unique<ArmProtocol>(master.GetKinematic());
        protocol = arm.get();
        master.SetHardwareProtocol(std::move(arm));
        server.Init(&port);
    }
    Control::RobotMasterPort port{master, nullptr};
    Modbus::ModbusServer server;
};

TEST_F(ModbusMasterPort, ModuleBlocksFollowTheRecordsRoles) {
    ASSERT_EQ(master.GetHardware()->FirstRecord(Role::ExternalAxis), 7);
    Cycles(1);  // publishes the currents the loop read back

    server.OnReadDiscreteInputs(0, 100);
    const std::uint8_t* bits = server.GetTable().discreteInputs;
    for (int a : {10, 11, 12, 14}) EXPECT_EQ(bits[a], 1) << a;
    EXPECT_EQ(bits[13], 0);  // no platform
    for (int a : {61, 62, 63, 64, 65, 66, 70, 67, 68}) EXPECT_EQ(bits[a], 1) << a;
    for (int a : {69, 71, 72}) EXPECT_EQ(bits[a], 0) << a;

    server.OnReadInputRegisters(20, 72);
    const std::uint16_t* r = server.GetTable().input;
    const int counts[5] = {6, 2, 1, 0, 1};  // joints, external axes, grippers, platform, DIO
    for (int k = 0; k < 5; ++k) EXPECT_EQ(r[20 + k], counts[k]) << 20 + k;
    for (int j = 0; j < 6; ++j) {
        EXPECT_EQ(r[76 + j], 100 + j) << 76 + j;
        EXPECT_EQ(r[25 + j], 200 + j) << 25 + j;
    }
    const struct {
        int address, value;
    } byRole[] = {
        {82, 107}, {83, 108}, {84, 0}, {85, 106}, {86, 0}, {88, 0},  // currents
        {31, 207}, {32, 208}, {33, 0}, {34, 206}, {35, 0}, {41, 209}, {42, 0},  // error codes
    };
    for (const auto& c : byRole) EXPECT_EQ(r[c.address], c.value) << c.address;
}

}  // namespace
