// A CANopen robot under a burst of records that are no classic frame (length byte 9),
// relayed to every endpoint by a raw relay in place of the hub, which would drop them.

#include "canopen_fixture.h"

#include "testsupport/RawCanRelay.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

namespace {

TEST(CanopenBadFrames, SetPointsKeepFlowingThroughABurstOfBadRecords) {
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    TestSupport::TempDataRoot root;
    const std::string path = root.Path() + "/relay.sock";
    TestSupport::RawCanRelay relay(path);
    setenv(Platform::kCanHubEnvironment, path.c_str(), 1);
    CanopenSim::CanopenSimulator sim;
    for (int node : {1, 2}) {
        CanopenSim::DriveConfig drive;
        drive.nodeId = node;
        ASSERT_TRUE(sim.AddDrive(drive));
    }
    ASSERT_EQ(0, sim.Start(path));
    CanopenTest::BusOptions options;
    const std::string file = root.WriteFile("robot.xml", CanopenTest::RobotFile(options));
    auto protocol = std::make_unique<Hardware::HardwareProtocolCANopen>(nullptr, Hardware::CANopenProfileCSP);
    protocol->Init("robot", "", file);
    protocol->Connect();
    protocol->EnableMotors(true);

    DataTypes::RobotState target;
    DataTypes::RobotState actual;
    auto cycleUntil = [&](const std::function<bool()>& condition) {
        return CanopenTest::WaitFor([&] {
            protocol->SendSync();
            protocol->SetJoints(target);
            protocol->GetJoints(&actual);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return condition();
        });
    };
    ASSERT_TRUE(cycleUntil([&] { return protocol->GetMotorEnabled(); }));

    can_frame bad{};
    bad.can_id = 0x181;  // a drive's TPDO1
    bad.can_dlc = 9;
    for (int burst = 0; burst < 16; ++burst) {
        for (int i = 0; i < 100; ++i) ASSERT_TRUE(relay.Inject(&bad, sizeof(bad)));
        protocol->SendSync();
        protocol->SetJoints(target);
        protocol->GetJoints(&actual);
    }
    // A new set-point reaches the drive and its position comes back.
    target.jointSet[1] = 4.5f;
    EXPECT_TRUE(cycleUntil([&] { return std::fabs(actual.jointAct[1] - 4.5f) < 1e-3f; }));
    CanopenSim::DriveSnapshot drive;
    ASSERT_TRUE(sim.GetDrive(2, &drive));
    EXPECT_EQ(450, drive.position);  // GearScale 100
    EXPECT_TRUE(protocol->GetMotorEnabled());
    EXPECT_TRUE(protocol->GetConnectionStatus());
    std::string text, shortText;
    protocol->GetError(text, shortText);
    EXPECT_EQ("operation_enabled", text);

    protocol.reset();
    sim.Stop();
    unsetenv(Platform::kCanHubEnvironment);
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
}

}  // namespace
