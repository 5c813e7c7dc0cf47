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

// A node whose transmit PDO 1 stays away for 2 s of running cycles is latched not answering:
// an error of that joint (status, codes, one line) that holds back the set-points of every
// drive, and stays after the node is back until a reset finds it answering.
TEST_F(CanopenBusTest, ADriveThatStopsAnsweringIsAnErrorUntilAResetFindsItBack) {
    StartStandardBus();
    Build(Hardware::CANopenProfileCSP, {});
    protocol->Connect();
    protocol->EnableMotors(true);
    DataTypes::RobotState target;
    ASSERT_TRUE(CycleUntil(target, [&] { return protocol->GetMotorEnabled(); }));
    std::string text, shortText;
    TestSupport::LogCapture log;

    ASSERT_TRUE(sim.SetSilent(3, true));  // the external axis
    ASSERT_TRUE(sim.SetSilent(0x21, true));
    const auto silentSince = std::chrono::steady_clock::now();
    ASSERT_TRUE(CycleUntil(
        target, [&] { return protocol->GetJointData(2).notAnswering.load() != 0; }, 2000));
    // Not before 2 s of silence, counted from its last answer, which may have come up to a
    // cycle before the switch.
    EXPECT_GE(std::chrono::steady_clock::now() - silentSince, std::chrono::milliseconds(1950));
    EXPECT_FALSE(protocol->GetMotorEnabled());
    protocol->GetError(text, shortText);
    EXPECT_EQ("joint 2 not answering", text);  // before the dead I/O module
    EXPECT_EQ("DEAD", shortText);
    int codes[16] = {};
    protocol->GetErrorHexCode(codes);
    EXPECT_EQ(512, codes[2]);
    EXPECT_NE(512, codes[0]);

    QuietClear();
    DataTypes::RobotState actual;
    for (int i = 0; i < 5; ++i) Cycle(target, &actual);
    EXPECT_TRUE(sim.WaitUntil([&] { return sim.ReceivedOn(0x80).size() == 5; }, CanopenTest::kTimeout));
    EXPECT_TRUE(sim.ReceivedOn(0x201).empty());
    EXPECT_TRUE(sim.ReceivedOn(0x202).empty());

    // Back on the bus: still an error, no set-points, until the reset.
    ASSERT_TRUE(sim.SetSilent(3, false));
    ASSERT_TRUE(sim.SetSilent(0x21, false));
    ASSERT_TRUE(CycleUntil(target, [&] { return protocol->GetJointData(2).enabled.load() == 1; }));
    for (int i = 0; i < 20; ++i) Cycle(target, &actual);
    protocol->GetError(text, shortText);
    EXPECT_EQ("joint 2 not answering", text);
    EXPECT_FALSE(protocol->GetMotorEnabled());
    EXPECT_EQ(1, log.Count("CANopen: joint 2 (CAN ID 3) not answering"));

    // The operator's reset and enable.
    protocol->ResetError();
    protocol->EnableMotors(true);
    ASSERT_TRUE(CycleUntil(target, [&] { return protocol->GetMotorEnabled(); }));
    protocol->GetError(text, shortText);
    EXPECT_EQ("operation_enabled", shortText);
    QuietClear();
    for (int i = 0; i < 5; ++i) Cycle(target, &actual);
    EXPECT_TRUE(sim.WaitUntil([&] { return !sim.ReceivedOn(0x201).empty(); }, CanopenTest::kTimeout));
}

// A reset while the drive is still silent releases nothing; cycles paused by a command
// (no SYNC, no answers) do not count as silence.
TEST_F(CanopenBusTest, OnlyRunningCyclesCountTheSilenceAndAResetKeepsASilentDriveDead) {
    StartStandardBus();
    Build(Hardware::CANopenProfileCSP, {});
    protocol->Connect();
    protocol->EnableMotors(true);
    DataTypes::RobotState target;
    ASSERT_TRUE(CycleUntil(target, [&] { return protocol->GetMotorEnabled(); }));

    std::this_thread::sleep_for(std::chrono::milliseconds(2300));  // a long command: no cycle
    DataTypes::RobotState actual;
    for (int i = 0; i < 3; ++i) Cycle(target, &actual);
    for (int j = 0; j < 3; ++j) EXPECT_EQ(0, protocol->GetJointData(j).notAnswering.load()) << j;

    ASSERT_TRUE(sim.SetSilent(1, true));
    ASSERT_TRUE(CycleUntil(target, [&] { return protocol->GetJointData(0).notAnswering.load() != 0; }, 2000));
    protocol->ResetError();
    protocol->EnableMotors(true);
    for (int i = 0; i < 5; ++i) Cycle(target, &actual);
    EXPECT_NE(0, protocol->GetJointData(0).notAnswering.load());
    EXPECT_FALSE(protocol->GetMotorEnabled());
}

// Homing is bounded: a drive that never finishes, or reports a homing error, is halted
// (controlword halt bit), disabled once the halt had its time, and its referencing fails
// with one line; the e-stop stops a homing drive the same way at once.
struct HomingStopCase {
    const char* name;
    std::vector<CanopenSim::HomingStep> script;
    bool eStop;
    bool atTheLimit;  // stopped by the time limit, not before
    const char* reason;
};

class CanopenHomingStopTest : public CanopenBusTest, public ::testing::WithParamInterface<HomingStopCase> {};

TEST_P(CanopenHomingStopTest, StopsHaltsThenDisablesAndFailsTheReferencing) {
    const HomingStopCase& c = GetParam();
    StartStandardBus();
    Build(Hardware::CANopenProfileCSP, {});
    protocol->SetReferencingTimeoutMs(1000);
    protocol->Connect();
    protocol->EnableMotors(true);
    ASSERT_TRUE(sim.SetHomingScript(1, c.script));
    DataTypes::RobotState target;
    ASSERT_TRUE(CycleUntil(target, [&] { return protocol->GetMotorEnabled(); }));
    TestSupport::LogCapture log;

    protocol->ReferenceSingleJoint(0);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(CycleUntil(target, [&] {
        CanopenSim::DriveSnapshot s;
        sim.GetDrive(1, &s);
        return s.homingRunning || (s.homingBits & 0x2000) != 0;
    }));
    QuietClear();
    if (c.eStop) protocol->StopReferencing();
    ASSERT_TRUE(CycleUntil(target, [&] { return protocol->GetJointData(0).referencingFailed.load() != 0; }, 1000));
    if (c.atTheLimit) {
        EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
    }
    EXPECT_FALSE(protocol->IsReferencing());
    EXPECT_EQ(0, protocol->GetJointData(0).referenced.load());
    EXPECT_EQ(1, log.Count(std::string("CANopen: Referencing joint 0 (CAN ID 1) failed: ") + c.reason));

    // Halt first (the search stops where it is), then disabled as after a fault.
    ASSERT_TRUE(CycleUntil(target, [&] { return DriveState(1) == CanopenSim::DriveState::SwitchOnDisabled; }));
    const std::vector<std::uint32_t> words = Controlwords(1);
    ASSERT_GE(words.size(), 2u);
    EXPECT_EQ(0x11Fu, words.front());
    EXPECT_EQ(0x00u, words.back());
    std::string text, shortText;
    ASSERT_TRUE(CycleUntil(target, [&] {
        protocol->GetError(text, shortText);
        return shortText == "switch_on_disabled";
    }));

    // The reset enables the drive in the robot's profile again.
    protocol->ResetError();
    ASSERT_TRUE(CycleUntil(target, [&] { return DriveState(1) == CanopenSim::DriveState::OperationEnabled; }));
    EXPECT_EQ(Hardware::CANopenProfileCSP, protocol->GetCANopenData(0).requestedProfile);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, CanopenHomingStopTest,
    ::testing::Values(
        HomingStopCase{"NeverFinishes", {{CanopenSim::HomingBits::kInProgress, 0}}, false, true,
                       "homing not finished within 1 s"},
        HomingStopCase{"HomingError", {{CanopenSim::HomingBits::kInProgress, 50}, {CanopenSim::HomingBits::kErrorMoving, 0}},
                       false, false, "homing error"},
        HomingStopCase{"EStop", {{CanopenSim::HomingBits::kInProgress, 0}}, true, false, "e-stop open"}),
    [](const ::testing::TestParamInfo<HomingStopCase>& info) { return info.param.name; });

}  // namespace
