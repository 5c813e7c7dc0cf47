// Connecting drives and an I/O module, enabling them, and the cyclic exchange in the
// position profiles, against the simulated CiA 402 drives and CiA 401 module.

#include "canopen_fixture.h"

#include <array>
#include <cmath>
#include <cstring>
#include <tuple>

namespace {

using CanopenTest::CanopenBusTest;
using Hardware::CANopenProfile;
using Write = CanopenTest::SdoWrite;  // index, subindex, value

std::vector<Write> Downloads(CanopenSim::CanopenSimulator& sim, int node) {
    std::vector<Write> out;
    for (const auto& w : sim.SdoWrites(node)) out.emplace_back(w.index, w.subindex, w.value);
    return out;
}

using CanopenTest::GoldenCspDrive;

// Device names and firmware are read one character per request, each only after the
// answer to the one before came within the protocol's 3 ms; on a busy host an answer can
// come later and the text ends there. A further connect reads them again.
bool NamesRead(const Hardware::HardwareProtocolCANopen& p) {
    return p.GetCANopenData(0).deviceName.Str() == "Belvanto Servo 402" &&
           p.GetCANopenData(1).firmware.Str() == "FIR-v1650";
}

TEST_F(CanopenBusTest, ConnectWritesTheStartupSequenceToDrivesAndIOModule) {
    StartStandardBus();
    Build(Hardware::CANopenProfileCSP, {});
    TestSupport::LogCapture log;
    protocol->Connect();

    // The last frames of the connect may still be on their way to the simulator.
    using Nmt = std::array<std::uint8_t, 2>;
    const std::vector<Nmt> nmt = {{1, 0},   {128, 1}, {1, 1},    {128, 2},   {1, 2},
                                  {128, 3}, {1, 3},   {128, 0x21}, {1, 0x21}};
    const std::vector<Write> io = CanopenTest::GoldenIoModule();
    EXPECT_TRUE(CanopenTest::WaitFor(
        [&] {
            return Downloads(sim, 1) == GoldenCspDrive(1, false) && Downloads(sim, 2) == GoldenCspDrive(2, true) &&
                   Downloads(sim, 3) == GoldenCspDrive(3, false) && Downloads(sim, 0x21) == io &&
                   sim.NmtCommands() == nmt;
        },
        20000));
    EXPECT_EQ(GoldenCspDrive(1, false), Downloads(sim, 1));
    EXPECT_EQ(GoldenCspDrive(2, true), Downloads(sim, 2));
    EXPECT_EQ(GoldenCspDrive(3, false), Downloads(sim, 3));
    EXPECT_EQ(io, Downloads(sim, 0x21));
    EXPECT_EQ(nmt, sim.NmtCommands());

    EXPECT_TRUE(log.Contains("CANopen: initializing CSP mode for CANid 1, protocol cycle time 20 ms"));
    EXPECT_TRUE(protocol->IsCommunicationActive());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Hardware::CANopenProfileCSP, protocol->GetCANopenData(i).requestedProfile);
    EXPECT_EQ(2, protocol->GetCANopenData(3).outputBytes);

    // A second connect keeps the PDO configuration of the first.
    QuietClear();
    protocol->Connect();
    for (const auto& w : sim.SdoWrites()) {
        EXPECT_FALSE(w.index == 0x1A00 || w.index == 0x1600) << std::hex << w.index << " on node " << w.node;
    }

    for (int attempt = 0; attempt < 8 && !NamesRead(*protocol); ++attempt) {
        QuietClear();
        protocol->Connect();
    }
    EXPECT_EQ("Belvanto Servo 402", protocol->GetCANopenData(0).deviceName.Str());
    EXPECT_EQ("FIR-v1650", protocol->GetCANopenData(1).firmware.Str());
    EXPECT_TRUE(log.Contains("CANopen: Device ID: 2 Name: 'Belvanto Servo 402' Firmware 'FIR-v1650'"));
}

// A controller restarted while its drives were enabled: the new connect switches them off
// before anything else, so the profile set-up leaves them off and they follow no set-point
// until the operator enables them; DisableDrives does the same for enabled drives.
TEST_F(CanopenBusTest, AConnectSwitchesOffDrivesLeftEnabledByAnEarlierRun) {
    StartStandardBus();
    Build(Hardware::CANopenProfileCSP, {});
    protocol->Connect();
    EXPECT_EQ(1u, protocol->GetConnectCount());
    protocol->EnableMotors(true);
    const auto allIn = [&](CanopenSim::DriveState state) {
        return DriveState(1) == state && DriveState(2) == state && DriveState(3) == state;
    };
    ASSERT_TRUE(CanopenTest::WaitFor([&] { return allIn(CanopenSim::DriveState::OperationEnabled); }));
    protocol.reset();  // the controller ends without a word to the drives

    QuietClear();
    Build(Hardware::CANopenProfileCSP, {});
    protocol->Connect();
    EXPECT_EQ(1u, protocol->GetConnectCount());
    EXPECT_TRUE(allIn(CanopenSim::DriveState::ReadyToSwitchOn));
    for (int node = 1; node <= 3; ++node) {
        const auto writes = sim.SdoWrites(node);
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(0x6040, writes.front().index) << "switched off before anything else, node " << node;
        EXPECT_EQ(0x06u, writes.front().value);
    }
    DataTypes::RobotState target;
    target.jointSet[0] = 30.0f;
    DataTypes::RobotState actual;
    for (int i = 0; i < 20; ++i) {
        Cycle(target, &actual);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Still off (a drive ready to switch on counts as enabled here, so its set-points go
    // out, but it does not follow them).
    EXPECT_TRUE(allIn(CanopenSim::DriveState::ReadyToSwitchOn));
    CanopenSim::DriveSnapshot s;
    ASSERT_TRUE(sim.GetDrive(1, &s));
    EXPECT_EQ(0, s.position);

    protocol->EnableMotors(true);
    ASSERT_TRUE(CanopenTest::WaitFor([&] { return allIn(CanopenSim::DriveState::OperationEnabled); }));
    protocol->DisableDrives();
    EXPECT_TRUE(CanopenTest::WaitFor([&] { return allIn(CanopenSim::DriveState::ReadyToSwitchOn); }));
}

// The cyclic exchange of one position profile: set-points reach every drive and the
// measured positions come back; an I/O module gets its outputs and reports its inputs.
struct ProfileCase {
    const char* name;
    CANopenProfile profile;
    bool usePDOs;
};

class CanopenCycleTest : public CanopenBusTest, public ::testing::WithParamInterface<ProfileCase> {};

TEST_P(CanopenCycleTest, EnableThenSetPointsReachTheDrivesAndFeedbackComesBack) {
    const ProfileCase& c = GetParam();
    StartStandardBus();
    CanopenTest::BusOptions options;
    options.usePDOs = c.usePDOs;
    Build(c.profile, options);
    protocol->Connect();

    protocol->EnableMotors(true);
    EXPECT_TRUE(CanopenTest::WaitFor([&] {
        return DriveState(1) == CanopenSim::DriveState::OperationEnabled &&
               DriveState(2) == CanopenSim::DriveState::OperationEnabled &&
               DriveState(3) == CanopenSim::DriveState::OperationEnabled;
    }));
    DataTypes::RobotState target;
    target.jointSet[0] = 1.5f;
    target.jointSet[1] = -2.25f;
    target.jointSet[6] = 4.0f;  // external axis 0
    target.override = 100.0f;
    protocol->SetRailIO(0, 9, true);
    protocol->SetRailIO(0, 0, true);
    sim.SetInputs(0x21, 0x0204);
    DataTypes::RobotState actual;
    ASSERT_TRUE(CycleUntil(target, [&] {
        protocol->GetJoints(&actual);
        return protocol->GetMotorEnabled() && std::fabs(actual.jointAct[0] - 1.5f) < 1e-3f &&
               std::fabs(actual.jointAct[1] + 2.25f) < 1e-3f && std::fabs(actual.jointAct[6] - 4.0f) < 1e-3f;
    })) << actual.jointAct[0] << " " << actual.jointAct[1] << " " << actual.jointAct[6];

    CanopenSim::DriveSnapshot s;
    ASSERT_TRUE(sim.GetDrive(1, &s));
    EXPECT_EQ(150, s.position);
    ASSERT_TRUE(sim.GetDrive(3, &s));
    EXPECT_EQ(200, s.position);  // GearScale 50

    CanopenSim::IoSnapshot io;
    EXPECT_TRUE(CanopenTest::WaitFor([&] { return sim.GetIoModule(0x21, &io) && io.outputs == 0x0201; }))
        << std::hex << io.outputs;
    bool rail[64] = {};
    EXPECT_TRUE(CycleUntil(target, [&] {
        protocol->GetDigitalIORail(rail);
        return rail[22] && rail[29];
    }));
    EXPECT_FALSE(rail[20]);
    // The module has reported its inputs (by PDO or SDO); no other module's count as read.
    for (int n : {20, 27, 28, 29}) EXPECT_TRUE(protocol->IsDigitalInputRead(n)) << n;
    for (int n : {19, 30, 49, 50}) EXPECT_FALSE(protocol->IsDigitalInputRead(n)) << n;

    // In the steady cycle one SYNC per cycle, and with PDOs one receive PDO per drive.
    QuietClear();
    const int cycles = 20;
    for (int i = 0; i < cycles; ++i) {
        Cycle(target, &actual);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(sim.WaitUntil([&] { return sim.ReceivedOn(0x80).size() == cycles; }, CanopenTest::kTimeout));
    if (c.usePDOs && c.profile != Hardware::CANopenProfilePosition) {
        EXPECT_TRUE(sim.WaitUntil([&] { return sim.AcceptedPdoCount(1) == cycles; }, CanopenTest::kTimeout));
        // Frames to the other nodes may still be on their way through the hub.
        for (int cobId : {0x202, 0x203}) {
            EXPECT_TRUE(sim.WaitUntil([&] { return static_cast<int>(sim.ReceivedOn(cobId).size()) == cycles; },
                                      CanopenTest::kTimeout))
                << std::hex << cobId << std::dec << ": " << sim.ReceivedOn(cobId).size();
        }
    } else {
        const int index = c.profile == Hardware::CANopenProfileIPO ? 0x60C1 : 0x607A;
        EXPECT_TRUE(sim.WaitUntil(
            [&] {
                int n = 0;
                for (const auto& w : sim.SdoWrites(1)) n += (w.index == index && w.value == 150) ? 1 : 0;
                return n == cycles;
            },
            CanopenTest::kTimeout));
    }
    const int ioFrames = c.usePDOs ? cycles : 0;
    EXPECT_TRUE(sim.WaitUntil([&] { return static_cast<int>(sim.ReceivedOn(0x221).size()) == ioFrames; },
                              CanopenTest::kTimeout))
        << sim.ReceivedOn(0x221).size();

    std::string text, shortText;
    protocol->GetError(text, shortText);
    EXPECT_EQ("operation_enabled", text);
}

INSTANTIATE_TEST_SUITE_P(Profiles, CanopenCycleTest,
                         ::testing::Values(ProfileCase{"CspPdo", Hardware::CANopenProfileCSP, true},
                                           ProfileCase{"IpoPdo", Hardware::CANopenProfileIPO, true},
                                           ProfileCase{"PositionPdo", Hardware::CANopenProfilePosition, true},
                                           ProfileCase{"CspSdo", Hardware::CANopenProfileCSP, false}),
                         [](const ::testing::TestParamInfo<ProfileCase>& info) { return info.param.name; });

}  // namespace

namespace {

// An external axis in velocity mode runs in the Velocity profile whatever the protocol's
// profile; its set-point is the clamped, overridden joint velocity of its own slot.
TEST_F(CanopenBusTest, VelocityAxisGetsClampedVelocitySetPoints) {
    CanopenSim::DriveConfig d1;
    d1.nodeId = 1;
    ASSERT_TRUE(sim.AddDrive(d1));
    CanopenSim::DriveConfig d3;
    d3.nodeId = 3;
    ASSERT_TRUE(sim.AddDrive(d3));
    ASSERT_EQ(0, sim.Start(hubPath));
    CanopenTest::BusOptions options;
    options.joints = 1;
    const std::string file = root.WriteFile("robot.xml", CanopenTest::RobotFile(options));
    protocol = std::make_unique<Hardware::HardwareProtocolCANopen>(nullptr, Hardware::CANopenProfileCSP);
    protocol->Init("robot", "", file);
    ExternalAxis axis(0, "Linear", ExternalAxis::Velocity);
    axis.ID = 3;
    axis.GearScale = 50.0;
    axis.VelMax = 100.0;
    protocol->InitExternalJoint(axis);
    protocol->Connect();
    EXPECT_EQ(Hardware::CANopenProfileVelocity, protocol->GetCANopenData(1).requestedProfile);
    EXPECT_EQ(Hardware::CANopenProfileCSP, protocol->GetCANopenData(0).requestedProfile);
    protocol->EnableMotors(true);

    DataTypes::RobotState target;
    target.jointVel[0] = 7.0f;    // a robot joint's velocity must not reach the axis
    target.jointVel[6] = -150.0f;  // beyond VelMax
    target.override = 50.0f;
    ASSERT_TRUE(CycleUntil(target, [&] { return protocol->GetMotorEnabled(); }));
    QuietClear();
    DataTypes::RobotState actual;
    actual.jointAct[6] = 99.0f;
    Cycle(target, &actual);
    EXPECT_EQ(0.0f, actual.jointAct[6]);
    EXPECT_FLOAT_EQ(-50.0f, protocol->GetJointData(1).velocity.load());
    ASSERT_TRUE(sim.WaitUntil([&] { return !sim.ReceivedOn(0x203).empty(); }, CanopenTest::kTimeout));
    const can_frame f = sim.ReceivedOn(0x203).front().frame;
    std::int32_t value = 0;
    std::memcpy(&value, f.data, 4);
    EXPECT_EQ(-50, value);
}

}  // namespace
