// Referencing, set-to-zero, emergencies with the reset walk, and enabling from an unknown
// state, against the simulated drives.

#include "canopen_fixture.h"

namespace {

using CanopenTest::CanopenBusTest;

std::vector<std::uint32_t> WritesOf(CanopenSim::CanopenSimulator& sim, int node, int index) {
    std::vector<std::uint32_t> out;
    for (const auto& w : sim.SdoWrites(node)) {
        if (w.index == index) out.push_back(w.value);
    }
    return out;
}

// Index of the first download of index:value to node after position `from`, or -1.
int FindWrite(const std::vector<CanopenSim::SdoWrite>& writes, int index, std::uint32_t value, int from = 0) {
    for (int i = from; i < static_cast<int>(writes.size()); ++i) {
        if (writes[i].index == index && writes[i].value == value) return i;
    }
    return -1;
}

struct ReferenceCase {
    const char* name;
    int joint;
    bool fir1650;
};

class CanopenReferenceTest : public CanopenBusTest, public ::testing::WithParamInterface<ReferenceCase> {};

TEST_P(CanopenReferenceTest, HomingStartsWith0x1FAndFinishesReferenced) {
    const ReferenceCase& c = GetParam();
    StartStandardBus();
    Build(Hardware::CANopenProfileCSP, {});
    protocol->Connect();
    protocol->EnableMotors(true);
    ASSERT_TRUE(sim.SetHomingScript(c.joint + 1, {{CanopenSim::HomingBits::kInProgress, 100},
                                                  {CanopenSim::HomingBits::kCompleted, 0}}));
    QuietClear();
    TestSupport::LogCapture log;

    protocol->ReferenceSingleJoint(c.joint);
    const int node = c.joint + 1;
    ASSERT_TRUE(sim.WaitUntil([&] { return FindWrite(sim.SdoWrites(node), 0x6040, 0x1F) >= 0; },
                              CanopenTest::kTimeout));
    EXPECT_EQ(Hardware::CANopenProfileHoming, protocol->GetCANopenData(c.joint).requestedProfile);
    EXPECT_EQ(std::vector<std::uint32_t>{6}, WritesOf(sim, node, 0x6060));
    // The limit-switch option is cleared for homing, except on the "FIR-v1650" firmware.
    EXPECT_EQ(c.fir1650 ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{0xFFFF},
              WritesOf(sim, node, 0x3701));
    EXPECT_EQ(c.fir1650 ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{0}, WritesOf(sim, node, 0x3243));

    DataTypes::RobotState target;
    ASSERT_TRUE(CycleUntil(target, [&] { return protocol->GetJointData(c.joint).referenced.load() != 0; }));
    EXPECT_TRUE(sim.WaitUntil([&] { return !WritesOf(sim, node, 0x3701).empty() &&
                                           WritesOf(sim, node, 0x3701).back() == 0; },
                              CanopenTest::kTimeout));
    EXPECT_TRUE(log.Contains("Joint " + std::to_string(node) + ": Homing done"));
    EXPECT_TRUE(log.Contains("CANopen: Homing finished joint " + std::to_string(node)));
    EXPECT_EQ(5, protocol->GetCANopenData(c.joint).referencingState);
    ASSERT_TRUE(CycleUntil(target, [&] { return protocol->GetJointData(c.joint).referencing.load() == 0; }));
    // Only one joint was homed.
    EXPECT_FALSE(protocol->IsReferenced());
}

INSTANTIATE_TEST_SUITE_P(Drives, CanopenReferenceTest,
                         ::testing::Values(ReferenceCase{"Standard", 0, false}, ReferenceCase{"Fir1650", 1, true}),
                         [](const ::testing::TestParamInfo<ReferenceCase>& info) { return info.param.name; });

TEST_F(CanopenBusTest, SetToZeroStartsSetToZeroHomingWith0x17) {
    StartStandardBus();
    Build(Hardware::CANopenProfileCSP, {});
    protocol->Connect();
    QuietClear();
    protocol->SetToZeroPos(0);
    ASSERT_TRUE(sim.WaitUntil([&] { return FindWrite(sim.SdoWrites(1), 0x6040, 0x17) >= 0; },
                              CanopenTest::kTimeout));
    EXPECT_EQ(std::vector<std::uint32_t>{35}, WritesOf(sim, 1, 0x6098));
    EXPECT_EQ(std::vector<std::uint32_t>{0}, WritesOf(sim, 1, 0x607C));
    EXPECT_EQ(Hardware::CANopenProfileHomingSetToZero, protocol->GetCANopenData(0).requestedProfile);
    EXPECT_NE(0, protocol->GetJointData(0).referenced.load());
    EXPECT_TRUE(protocol->IsCommunicationActive());
}

TEST_F(CanopenBusTest, EmergencyIsLoggedAndResetErrorWalksOutOfFault) {
    StartStandardBus();
    Build(Hardware::CANopenProfileCSP, {});
    protocol->Connect();
    protocol->EnableMotors(true);
    DataTypes::RobotState target;
    ASSERT_TRUE(CycleUntil(target, [&] { return protocol->GetMotorEnabled(); }));
    QuietClear();
    TestSupport::LogCapture log;

    ASSERT_TRUE(sim.InjectEmergency(1, 0x2300, 0x03, {{4, 0, 0, 0, 0}}, true));
    ASSERT_TRUE(CycleUntil(target, [&] { return protocol->RecordStatus(0) == Hardware::ControlWordFault; }));
    EXPECT_TRUE(sim.WaitUntil(
        [&] {
            for (const auto& f : sim.ReceivedOn(0x601)) {
                if (f.frame.data[0] == 0x40 && f.frame.data[1] == 0x01 && f.frame.data[2] == 0x10) return true;
            }
            return false;
        },
        CanopenTest::kTimeout));
    EXPECT_TRUE(CanopenTest::WaitFor([&] {
        return log.Contains("Received EMERGENCY message from joint 1") && log.Contains("CANopen: Error #");
    }));
    std::string text, shortText;
    protocol->GetError(text, shortText);
    EXPECT_EQ("fault", text);
    int codes[16] = {};
    protocol->GetErrorHexCode(codes);
    EXPECT_EQ(132 | 128 | 64, codes[0]);

    QuietClear();
    protocol->ResetError();
    const std::vector<std::uint32_t> resetWalk = {0x00, 0x80, 0x06, 0x07, 0x0F};
    EXPECT_EQ(resetWalk, WritesOf(sim, 1, 0x6040));
    // The CSP set-point is brought to the measured position before the walk.
    EXPECT_EQ(1u, WritesOf(sim, 1, 0x607A).size());
    EXPECT_TRUE(CanopenTest::WaitFor([&] { return DriveState(1) == CanopenSim::DriveState::OperationEnabled; }));
}

TEST_F(CanopenBusTest, UnknownStateCountsAsFaultAndDisableKeepsStandardDrivesEnabled) {
    StartStandardBus();
    Build(Hardware::CANopenProfileCSP, {});
    ASSERT_TRUE(protocol->GetCANInterface().Connect());
    // No statusword has come: the state reads "na", and the walk starts with a fault reset.
    protocol->EnableMotors(true);
    const std::vector<std::uint32_t> fromFault = {0x00, 0x80, 0x06, 0x07, 0x0F};
    EXPECT_EQ(fromFault, WritesOf(sim, 1, 0x6040));
    EXPECT_EQ(fromFault, WritesOf(sim, 2, 0x6040));
    EXPECT_TRUE(CanopenTest::WaitFor([&] {
        return protocol->RecordStatus(0) == Hardware::ControlWordOperationEnabled &&
               protocol->RecordStatus(1) == Hardware::ControlWordOperationEnabled;
    }));

    QuietClear();
    TestSupport::LogCapture log;
    protocol->EnableMotors(false);
    EXPECT_TRUE(WritesOf(sim, 1, 0x6040).empty());
    EXPECT_TRUE(log.Contains("CANopen: Joint 1: Ignoring requested state change from operation_enabled to "
                             "operation_enabled"));
    // Without a firmware text drive 2 is a standard drive as well.
    EXPECT_TRUE(WritesOf(sim, 2, 0x6040).empty());
}

}  // namespace

namespace {

// A node whose transmit PDO 1 stays away for 2 s is flagged dead and loses its enabled
// state, which holds back the set-points of every drive.
TEST_F(CanopenBusTest, SilentNodesAreFlaggedDeadAndStopTheSetPoints) {
    StartStandardBus();
    Build(Hardware::CANopenProfileCSP, {});
    protocol->Connect();
    protocol->EnableMotors(true);
    DataTypes::RobotState target;
    ASSERT_TRUE(CycleUntil(target, [&] { return protocol->GetMotorEnabled(); }));

    ASSERT_TRUE(sim.SetSilent(3, true));
    ASSERT_TRUE(sim.SetSilent(0x21, true));
    const auto silentSince = std::chrono::steady_clock::now();
    ASSERT_TRUE(CycleUntil(
        target,
        [&] {
            return std::chrono::steady_clock::now() - silentSince > std::chrono::milliseconds(2200) &&
                   protocol->GetJointData(2).errorCode.load() == 0x200 &&
                   protocol->GetJointData(3).errorCode.load() == 0x200;
        },
        2000));
    EXPECT_FALSE(protocol->GetMotorEnabled());
    EXPECT_EQ(0, protocol->GetJointData(2).enabled.load());
    std::string text, shortText;
    protocol->GetError(text, shortText);
    EXPECT_EQ("dio module dead", text);
    EXPECT_EQ("DEAD", shortText);

    QuietClear();
    DataTypes::RobotState actual;
    for (int i = 0; i < 5; ++i) Cycle(target, &actual);
    EXPECT_TRUE(sim.WaitUntil([&] { return sim.ReceivedOn(0x80).size() == 5; }, CanopenTest::kTimeout));
    EXPECT_TRUE(sim.ReceivedOn(0x201).empty());
    EXPECT_TRUE(sim.ReceivedOn(0x202).empty());
}

}  // namespace
