// Switching the CAN bridge (the server's side, on a recording controller port): nothing
// may drive the joints once the client owns the bus, and only the owner switches the
// bridge off.

#include "hvp_robot_fixture.h"

using namespace HvpTest;

namespace {

class HvpCanBridgeSwitchConcurrent : public HvpRobotFixture {
protected:
    HvpCanBridgeSwitchConcurrent() { onRecordingPort = true; }
    void TearDown() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        HvpRobotFixture::TearDown();
    }
};

TEST_F(HvpCanBridgeSwitchConcurrent, SwitchOnStopsARunningMoveAndDisablesTheMotorsFirst) {
    LogSingleton* log = LogSingleton::instance();
    recording.modules.motorsEnabled = true;

    // A passive client may not take the bus.
    EXPECT_TRUE(Replies(*passive, "CANBridge SwitchOn").empty());
    EXPECT_EQ(log->get_opMode(), OPMODE_NORMAL);
    EXPECT_TRUE(recording.Commands().empty());

    // The programs and the running move stop, then the motors go off, before the bridge is on.
    EXPECT_TRUE(Replies(*active, "CANBridge SwitchOn").empty()) << "no reply to a bridge request";
    EXPECT_EQ(log->get_opMode(), OPMODE_CAN_BRIDGE);
    EXPECT_EQ(recording.Commands(),
              (std::vector<std::string>{"StopProgram", "StopLogicProgram", "StopDirectMove", "EnableMotors 0"}));
    EXPECT_FALSE(recording.modules.motorsEnabled);
    EXPECT_TRUE(active->server->OwnsCanBridge());
    recording.Clear();

    // Once on, a second SwitchOn changes nothing; the owner keeps the bridge after it
    // turned passive and alone may end it.
    active->server->SetActive(false);
    passive->server->SetActive(true);
    Replies(*passive, "CANBridge SwitchOn");
    EXPECT_TRUE(active->server->OwnsCanBridge());
    EXPECT_TRUE(recording.Commands().empty());
    Replies(*passive, "CANBridge SwitchOff");
    EXPECT_EQ(log->get_opMode(), OPMODE_CAN_BRIDGE);
    Replies(*active, "CANBridge SwitchOff");
    EXPECT_EQ(log->get_opMode(), OPMODE_NORMAL);
    EXPECT_FALSE(active->server->OwnsCanBridge());
}

}  // namespace
