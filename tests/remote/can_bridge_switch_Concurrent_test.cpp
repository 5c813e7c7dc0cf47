// Switching the CAN bridge on a robot master with a recording protocol: nothing may drive
// the joints once the client owns the bus, and only the owner switches the bridge off.

#include "hvp_robot_fixture.h"

#include "program/IPO.h"

using namespace HvpTest;

namespace {

class HvpCanBridgeSwitchConcurrent : public HvpRobotFixture {
protected:
    void TearDown() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        HvpRobotFixture::TearDown();
    }
};

TEST_F(HvpCanBridgeSwitchConcurrent, SwitchOnStopsARunningMoveAndDisablesTheMotorsFirst) {
    LogSingleton* log = LogSingleton::instance();
    IPO& moveTo = master->GetMoveToInterpreter();
    const float joints[9] = {0, 0, 90, 0, 90, 0, 0, 0, 0};
    moveTo.MoveJoint(joints, 50.0f);
    moveTo.Start();
    ASSERT_TRUE(moveTo.IsReplayRunning());
    protocol->motorsEnabled.store(true);

    // A passive client may not take the bus.
    EXPECT_TRUE(Replies(*passive, "CANBridge SwitchOn").empty());
    EXPECT_EQ(log->get_opMode(), OPMODE_NORMAL);
    EXPECT_TRUE(moveTo.IsReplayRunning());

    EXPECT_TRUE(Replies(*active, "CANBridge SwitchOn").empty()) << "no reply to a bridge request";
    EXPECT_EQ(log->get_opMode(), OPMODE_CAN_BRIDGE);
    EXPECT_FALSE(moveTo.IsReplayRunning());
    EXPECT_FALSE(protocol->motorsEnabled.load());
    const auto disabled = protocol->CallsNamed("EnableMotors");
    ASSERT_FALSE(disabled.empty());
    EXPECT_EQ(disabled.back().argument, 0);
    EXPECT_TRUE(active->server->OwnsCanBridge());

    // Once on, a second SwitchOn changes nothing; the owner keeps the bridge after it
    // turned passive and alone may end it.
    active->server->SetActive(false);
    passive->server->SetActive(true);
    Replies(*passive, "CANBridge SwitchOn");
    EXPECT_TRUE(active->server->OwnsCanBridge());
    Replies(*passive, "CANBridge SwitchOff");
    EXPECT_EQ(log->get_opMode(), OPMODE_CAN_BRIDGE);
    Replies(*active, "CANBridge SwitchOff");
    EXPECT_EQ(log->get_opMode(), OPMODE_NORMAL);
    EXPECT_FALSE(active->server->OwnsCanBridge());
}

}  // namespace
