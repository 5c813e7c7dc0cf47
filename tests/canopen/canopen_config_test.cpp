// Robot-file configuration, the receive dispatch with its alien check, the slow polls of
// the cycle and the parameter file.

#include "canopen_fixture.h"

#include <cstdio>
#include <filesystem>
#include <tuple>
#include <map>
#include <utility>

namespace {

using CanopenTest::CanopenBusTest;

// --- Robot file ---

struct ConfigCase {
    const char* name;
    std::string xml;
    const char* reason;  // expected failure reason, nullptr for none
};

std::string Joint(int i, const std::string& id) {
    return "<Joint" + std::to_string(i) + " ID=\"" + id + "\" GearScale=\"10\" GearZero=\"5\" GearPlay=\"0\" GearPlayInc=\"0\"/>";
}

std::string Bus(const std::string& attributes, const std::string& inner) {
    return "<Robot><BusConfiguration " + attributes + ">" + inner + "</BusConfiguration><Referencing Mandatory=\"false\"/></Robot>";
}

const std::string kGood = "CycleTimeMS=\"8\" GapMS=\"0.5\" SyncGapMS=\"0.2\" UsePDOs=\"false\" AllowAlienMessages=\"true\"";

class CanopenConfigTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(CanopenConfigTest, RobotFileIsReadOrRefusedWithItsReason) {
    const ConfigCase& c = GetParam();
    TestSupport::TempDataRoot root;
    LogSingleton* log = LogSingleton::instance();
    log->set_opMode(OPMODE_NORMAL);
    log->set_seriousFailReason("na");
    Hardware::HardwareProtocolCANopen protocol(nullptr, Hardware::CANopenProfileIPO);
    protocol.Init("robot", "type", root.WriteFile("robot.xml", c.xml));
    if (c.reason == nullptr) {
        EXPECT_EQ(OPMODE_NORMAL, log->get_opMode());
        EXPECT_EQ(2, protocol.GetRobotJointCount());
        EXPECT_EQ(8, protocol.GetCycleTime());
        EXPECT_FLOAT_EQ(0.5f, protocol.GetGap());
        EXPECT_FLOAT_EQ(0.2f, protocol.GetSyncGap());
        EXPECT_FALSE(protocol.GetUsePDOs());
        EXPECT_TRUE(protocol.GetAllowAlienMessages());
        EXPECT_FALSE(protocol.IsReferencingMandatory());
        EXPECT_EQ(1, protocol.NodeRecord(7));
        EXPECT_FLOAT_EQ(10.0f, protocol.GetJointData(1).GearScale);
    } else {
        EXPECT_EQ(c.reason, log->get_seriousFailReason());
        EXPECT_EQ(OPMODE_SERIOUS_FAILURE, log->get_opMode());
    }
    log->set_opMode(OPMODE_NORMAL);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CanopenConfigTest,
    ::testing::Values(
        ConfigCase{"Complete", Bus(kGood, "<Joints NrOfJoints=\"2\"/>" + Joint(0, "4") + Joint(1, "7")), nullptr},
        ConfigCase{"JointInsideJoints", Bus(kGood, "<Joints NrOfJoints=\"1\">" + Joint(0, "4") + "</Joints>"),
                   "68 Protocol Ini file not complete"},
        ConfigCase{"IdZero", Bus(kGood, "<Joints NrOfJoints=\"1\"/>" + Joint(0, "0")), "69 Protocol Ini file invalid"},
        ConfigCase{"Id128", Bus(kGood, "<Joints NrOfJoints=\"1\"/>" + Joint(0, "128")),
                   "69 Protocol Ini file invalid"},
        ConfigCase{"NoGap", Bus("CycleTimeMS=\"8\"", "<Joints NrOfJoints=\"0\"/>"), "65 Protocol Ini file not complete"},
        ConfigCase{"ZeroCycle", Bus("CycleTimeMS=\"0\" GapMS=\"0\"", "<Joints NrOfJoints=\"0\"/>"),
                   "36 Robot Ini file not complete"},
        ConfigCase{"TooManyJoints", Bus(kGood, "<Joints NrOfJoints=\"7\"/>"), "67 Protocol Ini file not complete"},
        ConfigCase{"NotXml", "<Robot><BusConfiguration", "62 Protocol Ini file not valid"},
        // A value that is no finite number counts as missing.
        ConfigCase{"GapNan", Bus("CycleTimeMS=\"8\" GapMS=\"nan\"", "<Joints NrOfJoints=\"0\"/>"),
                   "65 Protocol Ini file not complete"},
        ConfigCase{"GearScaleNan",
                   Bus(kGood, "<Joints NrOfJoints=\"1\"/><Joint0 ID=\"4\" GearScale=\"nan\" GearZero=\"5\"/>"),
                   "70 Protocol Ini file not complete"},
        ConfigCase{"GearZeroOutOfRange",
                   Bus(kGood, "<Joints NrOfJoints=\"1\"/><Joint0 ID=\"4\" GearScale=\"10\" GearZero=\"1e309\"/>"),
                   "71 Protocol Ini file not complete"}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return info.param.name; });

// The optional waits and backlash values: one that is no finite number takes the line and
// the value of a missing one.
TEST(CanopenConfig, NonFiniteOptionalValuesCountAsMissing) {
    TestSupport::TempDataRoot root;
    LogSingleton* log = LogSingleton::instance();
    log->set_opMode(OPMODE_NORMAL);
    Hardware::HardwareProtocolCANopen protocol(nullptr, Hardware::CANopenProfileIPO);
    TestSupport::LogCapture capture;
    protocol.Init("robot", "type",
                  root.WriteFile("robot.xml",
                                 Bus("CycleTimeMS=\"8\" GapMS=\"0.5\" SyncGapMS=\"inf\"",
                                     "<Joints NrOfJoints=\"1\"/><Joint0 ID=\"4\" GearScale=\"10\" GearZero=\"5\" "
                                     "GearPlay=\"nan\" GearPlayInc=\"-inf\"/>")));
    EXPECT_EQ(OPMODE_NORMAL, log->get_opMode());
    EXPECT_FLOAT_EQ(0.0f, protocol.GetSyncGap());
    EXPECT_FLOAT_EQ(0.0f, protocol.GetJointData(0).GearPlay);
    EXPECT_FLOAT_EQ(0.0f, protocol.GetJointData(0).GearPlayInc);
    EXPECT_TRUE(capture.Contains("ProtocolCANopen: attribute SyncGapMS not found in line BusConfiguration of robot ini "
                                 "file! Using default value 0 ms."));
    EXPECT_TRUE(capture.Contains("ProtocolCANopen: joint GearPlay not found!"));
    EXPECT_TRUE(capture.Contains("ProtocolCANopen: joint GearPlayInc not found!"));
}

TEST(CanopenRecords, DIOModulesExternalAxesAndTheirLimits) {
    TestSupport::TempDataRoot root;
    Hardware::HardwareProtocolCANopen protocol(nullptr, Hardware::CANopenProfileCSP);
    protocol.Init("robot", "type", root.WriteFile("robot.xml", Bus(kGood, "<Joints NrOfJoints=\"0\"/>")));
    EXPECT_FALSE(protocol.GetMotorEnabled());

    protocol.InitDIOModules(0x21);
    protocol.InitDIOModules(128);  // out of range
    ExternalAxis axis(0, "Linear", ExternalAxis::Velocity);
    axis.ID = 9;
    axis.GearScale = 20.0;
    protocol.InitExternalJoint(axis);  // lands before the DIO module
    EXPECT_EQ(2, protocol.GetModuleTotal());
    EXPECT_EQ(0, protocol.NodeRecord(9));
    EXPECT_EQ(1, protocol.NodeRecord(0x21));
    EXPECT_EQ(Hardware::JointModeVelocity, protocol.GetJointData(0).jointMode.load());

    // An ID above 127 becomes 0 and ends the list.
    protocol.SetDIOModuleIDs(0x22, 200, 0x24);
    unsigned char a = 1, b = 1, c = 1;
    protocol.GetDIOModuleIDs(a, b, c);
    EXPECT_EQ(0x22, a);
    EXPECT_EQ(0, b);
    EXPECT_EQ(0, c);
    EXPECT_EQ(1, protocol.GetDIOModuleCount());
    EXPECT_EQ(-1, protocol.NodeRecord(0x21));
    EXPECT_EQ(1, protocol.NodeRecord(0x22));
    protocol.SetDIOModuleIDs(0x22, 0x23, 0x24);
    EXPECT_EQ(3, protocol.GetDIOModuleCount());
    EXPECT_EQ(4, protocol.GetModuleTotal());
    EXPECT_EQ(2, protocol.NodeRecord(0x23));
    EXPECT_EQ(3, protocol.NodeRecord(0x24));
    EXPECT_EQ(1, protocol.GetJointData(3).moduleType);

    // Rail outputs outside the module range or bit range are ignored.
    protocol.SetRailIO(1, 3, true);
    protocol.SetRailIO(3, 3, true);
    protocol.SetRailIO(1, 64, true);
    EXPECT_EQ(0x8u, protocol.GetCANopenData(2).digitalOutputs.load());
    EXPECT_EQ(0u, protocol.GetCANopenData(1).digitalOutputs.load());
}

// --- Receive dispatch ---

struct FrameCase {
    int id;
    bool alien;
    int consumed;
};

TEST(CanopenReceive, AlienFramesStopTheApplicationAndUnknownNodesAreNotConsumed) {
    TestSupport::TempDataRoot root;
    Hardware::HardwareProtocolCANopen protocol(nullptr, Hardware::CANopenProfileCSP);
    protocol.Init("robot", "type",
                  root.WriteFile("robot.xml", Bus("CycleTimeMS=\"8\" GapMS=\"0\"", "<Joints NrOfJoints=\"1\"/>" + Joint(0, "1"))));
    const FrameCase cases[] = {
        {0x601, true, 0},  {0x581, false, 1}, {0x000, true, 0}, {0x080, true, 0}, {0x100, true, 0},
        {0x201, true, 0},  {0x580, true, 0},  {0x700, true, 0}, {0x701, false, 1}, {0x705, false, 0},
        {0x181, false, 1}, {0x081, false, 1}, {0x77F, false, 0}, {0x7E5, false, 0},
    };
    LogSingleton* log = LogSingleton::instance();
    const unsigned char data[8] = {0x05, 0, 0, 0, 0, 0, 0, 0};
    for (const FrameCase& c : cases) {
        log->set_opMode(OPMODE_NORMAL);
        log->set_seriousFailReason("na");
        const int result = protocol.ReceiveCallback(c.id, 8, data, 0, timespec{});
        EXPECT_EQ(c.consumed, result) << std::hex << c.id;
        EXPECT_EQ(c.alien ? "79 alien CAN msg" : "na", log->get_seriousFailReason()) << std::hex << c.id;
        EXPECT_EQ(c.alien ? OPMODE_SERIOUS_FAILURE : OPMODE_NORMAL, log->get_opMode()) << std::hex << c.id;
    }
    // While the application is stopped nothing is consumed.
    log->set_opMode(OPMODE_SERIOUS_FAILURE);
    EXPECT_EQ(0, protocol.ReceiveCallback(0x581, 8, data, 0, timespec{}));
    log->set_opMode(OPMODE_NORMAL);
    EXPECT_EQ(5, protocol.GetCANopenData(0).nmtState.load());
}

// --- Slow polls without and with PDOs ---

struct PollCase {
    const char* name;
    bool usePDOs;
    std::map<std::pair<int, int>, int> firstCycle;  // (index, subindex) -> cycle of its first request
};

class CanopenPollTest : public CanopenBusTest, public ::testing::WithParamInterface<PollCase> {};

TEST_P(CanopenPollTest, SlowPollsFireOnTheirCycles) {
    const PollCase& c = GetParam();
    CanopenSim::DriveConfig d1;
    d1.nodeId = 1;
    ASSERT_TRUE(sim.AddDrive(d1));
    CanopenSim::DriveConfig d2;
    d2.nodeId = 2;
    d2.supplyMillivolt = 24000;
    ASSERT_TRUE(sim.AddDrive(d2));
    ASSERT_EQ(0, sim.Start(hubPath));
    CanopenTest::BusOptions options;
    options.usePDOs = c.usePDOs;
    Build(Hardware::CANopenProfileCSP, options, false);
    ASSERT_TRUE(protocol->GetCANInterface().Connect());
    // Frames are read once the reader thread runs; an answer shows it does.
    protocol->RequestStatusWord(0);
    ASSERT_TRUE(CanopenTest::WaitFor([&] { return protocol->RecordStatus(0) != Hardware::ControlWordFault; }));
    protocol->EnableCommunication();
    QuietClear();

    // After each cycle a marker frame of our own: the simulator sees the frames of one
    // endpoint in order, so every request belongs to the cycle before the next marker.
    DataTypes::RobotState target;
    const int kMarker = 0x7E0;
    for (int cycle = 1; cycle <= 121; ++cycle) {
        protocol->SetJoints(target);
        const unsigned char mark[1] = {static_cast<unsigned char>(cycle)};
        protocol->GetCANInterface().WriteMessage(kMarker, 1, mark);
        // One cycle at a time, as the robot loop paces them.
        ASSERT_TRUE(sim.WaitUntil([&] { return static_cast<int>(sim.ReceivedOn(kMarker).size()) == cycle; },
                                  CanopenTest::kTimeout))
            << "cycle " << cycle;
    }
    std::map<std::pair<int, int>, int> seen;
    int cycle = 1;
    for (const auto& r : sim.Received()) {
        const can_frame& f = r.frame;
        if (static_cast<int>(f.can_id) == kMarker) ++cycle;
        if (f.can_id != 0x601 || f.data[0] != 0x40) continue;
        const int index = f.data[1] | (f.data[2] << 8);
        if (index == 0x6041) continue;
        seen.emplace(std::make_pair(index, static_cast<int>(f.data[3])), cycle);
    }
    EXPECT_EQ(c.firstCycle, seen);
    EXPECT_EQ(0, protocol->GetCycleCounter());

    // The average of the drives' supplies, in millivolts.
    if (!c.usePDOs) {
        protocol->ReadVoltagePower();
        EXPECT_TRUE(CanopenTest::WaitFor([&] {
            protocol->ReadVoltagePower();
            return protocol->GetSupplyVoltageRaw() == 36000;
        }));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, CanopenPollTest,
    ::testing::Values(PollCase{"WithoutPDOs",
                               false,
                               {{{0x6064, 0}, 20},
                                {{0x4014, 3}, 40},
                                {{0x2039, 3}, 60},
                                {{0x2039, 4}, 60},
                                {{0x1003, 0}, 80},
                                {{0x1001, 0}, 100},
                                {{0x4014, 1}, 121}}},
                      PollCase{"WithPDOs", true, {{{0x1003, 0}, 80}}}),
    [](const ::testing::TestParamInfo<PollCase>& info) { return info.param.name; });

// --- Parameter file ---

TEST_F(CanopenBusTest, ParameterFileWritesValidEntriesKeepsHomingValuesAndReadsBack) {
    CanopenSim::DriveConfig d1;
    d1.nodeId = 1;
    ASSERT_TRUE(sim.AddDrive(d1));
    ASSERT_EQ(0, sim.Start(hubPath));
    Build(Hardware::CANopenProfileCSP, {}, false);
    ASSERT_TRUE(protocol->GetCANInterface().Connect());
    const std::string type = "ParamRobot";
    const std::string path = LogSingleton::instance()->get_rootPath() + "Data/Robots/" + type;
    TestSupport::TempDataRoot scratch;
    const std::string file = scratch.WriteFile(
        "p.xml",
        "<CANopenParameter>"
        "<Parameter NodeID=\"1\" Name=\"offset\" AdressHex=\"607C\" SubAdressHex=\"0\" SizeInByte=\"4\" ValueDec=\"-500\"/>"
        "<Parameter NodeID=\"1\" Name=\"offset2\" AdressHex=\"0x607C\" SubAdressHex=\"0\" SizeInByte=\"4\" ValueDec=\"-600\"/>"
        "<Parameter NodeID=\"1\" Name=\"speed1\" AdressHex=\"6099\" SubAdressHex=\"1\" SizeInByte=\"4\" ValueDec=\"1000\"/>"
        "<Parameter NodeID=\"1\" Name=\"method\" AdressHex=\"6098\" SubAdressHex=\"0\" SizeInByte=\"1\" ValueDec=\"-18\"/>"
        "<Parameter NodeID=\"1\" Name=\"limit\" AdressHex=\"3701\" SubAdressHex=\"0\" SizeInByte=\"2\" ValueDec=\"3\"/>"
        "<Parameter NodeID=\"1\" Name=\"odd\" AdressHex=\"2000\" SubAdressHex=\"0\" SizeInByte=\"3\" ValueDec=\"7\"/>"
        "<Parameter NodeID=\"200\" Name=\"far\" AdressHex=\"2000\" SubAdressHex=\"0\" SizeInByte=\"1\" ValueDec=\"7\"/>"
        "<Parameter NodeID=\"5\" AdressHex=\"607C\" SubAdressHex=\"0\" SizeInByte=\"4\" ValueDec=\"9\"/>"
        "</CANopenParameter>");
    std::filesystem::create_directories(path);
    std::filesystem::copy_file(file, path + "/CANopenParameter.xml", std::filesystem::copy_options::overwrite_existing);
    TestSupport::LogCapture log;

    protocol->InitCANopenParameterFile(type);
    std::filesystem::remove_all(path);

    std::vector<std::tuple<int, int, int, std::uint32_t>> writes;
    EXPECT_TRUE(sim.WaitUntil([&] { return sim.SdoWrites().size() >= 5; }, CanopenTest::kTimeout));
    for (const auto& w : sim.SdoWrites(1)) writes.emplace_back(w.index, w.subindex, w.size, w.value);
    const std::vector<std::tuple<int, int, int, std::uint32_t>> expected = {
        {0x607C, 0, 4, static_cast<std::uint32_t>(-500)},
        {0x607C, 0, 4, static_cast<std::uint32_t>(-600)},
        {0x6099, 1, 4, 1000},
        {0x6098, 0, 1, 0xEE},
        {0x3701, 0, 2, 3}};
    EXPECT_EQ(expected, writes);
    // Node 5 has no record: its write goes out but is not kept.
    int toNode5 = 0;
    for (const auto& f : sim.ReceivedOn(0x605)) toNode5 += f.frame.data[0] == 0x23 ? 1 : 0;
    EXPECT_EQ(1, toNode5);
    EXPECT_TRUE(log.Contains("INVALID Parameter - ID: 1 Adr: 0x2000:0x00 Size: 3 Name: odd Value: 7"));
    EXPECT_TRUE(log.Contains("INVALID Parameter - ID: 200 Adr: 0x2000:0x00 Size: 1 Name: far Value: 7"));
    EXPECT_TRUE(log.Contains("Parameter - ID: 5 Adr: 0x607C:0x00 Size: 4 Name: n/a Value: 9"));

    // The drive's read-back answers land in the same fields.
    const Hardware::CANopenRecordData& c = protocol->GetCANopenData(0);
    EXPECT_TRUE(CanopenTest::WaitFor([&] { return c.homeOffset.load() == -600; }));
    EXPECT_EQ(1000, c.homingSpeed1.load());
    EXPECT_EQ(-18, c.homingMethod.load());
    EXPECT_EQ(3, c.limitSwitchErrorOptionCode.load());
    std::vector<int> readBack;
    for (const auto& f : sim.ReceivedOn(0x601)) {
        if (f.frame.data[0] == 0x40) readBack.push_back(f.frame.data[1] | (f.frame.data[2] << 8));
    }
    EXPECT_EQ((std::vector<int>{0x6098, 0x607C, 0x6099, 0x6099, 0x3701, 0x3243}), readBack);
}

TEST_F(CanopenBusTest, ParameterFileMissingOrBroken) {
    CanopenSim::DriveConfig d1;
    d1.nodeId = 1;
    ASSERT_TRUE(sim.AddDrive(d1));
    ASSERT_EQ(0, sim.Start(hubPath));
    Build(Hardware::CANopenProfileCSP, {}, false);
    ASSERT_TRUE(protocol->GetCANInterface().Connect());
    const std::string root = LogSingleton::instance()->get_rootPath() + "Data/Robots/";
    LogSingleton* log = LogSingleton::instance();

    // Missing: nothing written, nothing read back, no failure.
    protocol->InitCANopenParameterFile("NoSuchRobotType");
    EXPECT_EQ(OPMODE_NORMAL, log->get_opMode());

    // Empty: still read back.
    std::filesystem::create_directories(root + "EmptyParams");
    { std::FILE* f = std::fopen((root + "EmptyParams/CANopenParameter.xml").c_str(), "w"); std::fputs("<CANopenParameter/>", f); std::fclose(f); }
    protocol->InitCANopenParameterFile("EmptyParams");
    EXPECT_TRUE(sim.WaitUntil([&] { return sim.ReceivedOn(0x601).size() == 6; }, CanopenTest::kTimeout));

    // Broken XML stops the application.
    std::filesystem::create_directories(root + "BrokenParams");
    { std::FILE* f = std::fopen((root + "BrokenParams/CANopenParameter.xml").c_str(), "w"); std::fputs("<CANopenParameter><Par", f); std::fclose(f); }
    protocol->InitCANopenParameterFile("BrokenParams");
    EXPECT_EQ(OPMODE_SERIOUS_FAILURE, log->get_opMode());
    EXPECT_EQ("80 Could not read CANopen parameters", log->get_seriousFailReason());
    std::filesystem::remove_all(root + "EmptyParams");
    std::filesystem::remove_all(root + "BrokenParams");
    EXPECT_TRUE(sim.SdoWrites().empty());
}

}  // namespace
