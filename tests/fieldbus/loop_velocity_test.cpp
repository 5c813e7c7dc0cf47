// The robot loop takes the PLC's external-axis velocities from the Modbus server through
// the robot master's velocity interface and the real controller port.
#include "loop_test_fixture.h"

#include "control/RobotMasterPort.h"
#include "fieldbus/ModbusLinks.h"
#include "fieldbus/ModbusServer.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

namespace {

class ModbusLoopVelocity : public ControlTest::LoopTest {
protected:
    void SetUp() override {
        LoopTest::SetUp();
        if (IsSkipped()) return;
        InitGantry();
        UseLoopProtocol();
        ExternalAxis axis(0, "track", ExternalAxis::Velocity);
        axis.VelMax = 50.0;
        master.SetExternalAxis(axis);
        master.InitExternalJoints();
        PrepareInterpreters();
        ReleaseBrake();  // the drives enabled, the brake lifted: the axis may move
        server.Init(&port);
        master.SetExternalJointVelocitySource(&link);
    }
    void TearDown() override {
        master.SetExternalJointVelocitySource(nullptr);
        LoopTest::TearDown();
    }
    void WritePair(int address, std::int32_t value) {
        server.GetTable().holding[address] = Modbus::Lower16(value);
        server.GetTable().holding[address + 1] = Modbus::Upper16(value);
        server.OnWriteHoldingRegisters(static_cast<std::uint16_t>(address), 2);
    }

    Control::RobotMasterPort port{master, nullptr};
    Modbus::ModbusServer server;
    Modbus::ModbusServerLink link{&server};
};

TEST_F(ModbusLoopVelocity, WrittenVelocityDrivesTheAxisUntilReset) {
    const double maximum = RobotMasterTestAccess::JointMaxVelocity(master)[6];
    ASSERT_GT(maximum, 10.0);
    WritePair(181, 100);
    Cycles(3);
    EXPECT_FLOAT_EQ(Live().jointVel[6], 10.0f);
    // A read of the velocity block serves the set-points and keeps the PLC's command.
    server.OnReadHoldingRegisters(181, 6);
    Cycles(3);
    EXPECT_FLOAT_EQ(Live().jointVel[6], 10.0f);
    EXPECT_FLOAT_EQ(link.GetExternalJointVelocity(0), 10.0f);

    // Beyond the axis's maximum it is limited.
    WritePair(181, static_cast<std::int32_t>(maximum * 10.0) + 5000);
    Cycles(3);
    EXPECT_FLOAT_EQ(Live().jointVel[6], static_cast<float>(maximum));
    WritePair(181, -static_cast<std::int32_t>(maximum * 10.0) - 5000);
    Cycles(3);
    EXPECT_FLOAT_EQ(Live().jointVel[6], -static_cast<float>(maximum));

    master.ResetVelocities();
    Cycles(3);
    EXPECT_FLOAT_EQ(Live().jointVel[6], 0.0f);
    float v = 1.0f;
    EXPECT_FALSE(server.GetExternalJointVelocity(0, &v));
}

TEST_F(ModbusLoopVelocity, OperatorJogOverridesThePlcAndItsReleaseStopsTheAxis) {
    WritePair(181, 100);
    Cycles(1);
    float jog[9] = {};
    jog[6] = 50.0f;
    master.SetJogValues(jog);
    Cycles(3);
    const float jogged = static_cast<float>(0.5 * RobotMasterTestAccess::JogVelJoint(master) * RobotMasterTestAccess::JointMaxVelocity(master)[6]);
    EXPECT_FLOAT_EQ(Live().jointVel[6], jogged);
    float v = 1.0f;
    EXPECT_FALSE(server.GetExternalJointVelocity(0, &v));  // the jog took the axis from the PLC

    jog[6] = 0.0f;
    master.SetJogValues(jog);
    Cycles(3);
    EXPECT_FLOAT_EQ(Live().jointVel[6], 0.0f);
}

}  // namespace
