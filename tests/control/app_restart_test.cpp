// The controller process restarted and ended beside drives that keep running: the drive
// simulator and the virtual CAN hub live in the test, so they outlast every controller.
// A restart must not move a drive that is still enabled, and every orderly exit leaves
// the drives off with the brake engaged.

#include "app_process_support.h"
#include "testsupport/HvpTestClient.h"

#include <gtest/gtest.h>

#if defined(BELVANTO_BINARY) && defined(BELVANTO_HAVE_SIMULATORS)

#include "canopensim/CanopenSimulator.h"
#include "drivesim/DriveSimulator.h"
#include "platform/VirtualCanHub.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using AppTest::BelvantoProcess;
using TestSupport::HvpTestClient;
using Clock = std::chrono::steady_clock;

const char* const kRobotFile = "/Data/Robots/JXRPivra4/JXRPivra4.xml";
constexpr int kDioId = 80;
constexpr std::uint8_t kBrakeOutput = 0x01;   // DOut 20: bit 0 of the I/O module's outputs
constexpr std::uint8_t kCircuitClosed = 0x01; // DIn 20: bit 0 of its inputs
const float kGearScales[4] = {190.0f, 190.0f, 190.0f, 100.0f};

// The demo robot on the given protocol, with a brake on DOut 20 and the e-stop circuit on
// DIn 20 (output and input 0 of the I/O module).
void UseProtocolBrakeAndEStop(BelvantoProcess& p, const std::string& protocol) {
    const std::string path = p.root + kRobotFile;
    std::string text = AppTest::ReadFile(path);
    for (const auto& edit : {std::make_pair(std::string("Protocol=\"JXRCANV2\""), "Protocol=\"" + protocol + "\""),
                             std::make_pair(std::string("<Brake Active=\"False\" DOutChannel=\"-1\" DelayMS=\"500\"/>"),
                                            std::string("<Brake Active=\"True\" DOutChannel=\"20\" DelayMS=\"300\"/>")),
                             std::make_pair(std::string("<EStopMonitoring DInChannel=\"-1\"/>"),
                                            std::string("<EStopMonitoring DInChannel=\"20\"/>"))}) {
        const size_t at = text.find(edit.first);
        ASSERT_NE(at, std::string::npos) << edit.first;
        text.replace(at, edit.first.size(), edit.second);
    }
    std::ofstream(path) << text;
}

// The demo's four joint modules and its I/O module (node or CAN ID 80) on a hub of the
// test's own, with the I/O module's input 0 on (the e-stop circuit closed).
class SimulatedDrives {
public:
    virtual ~SimulatedDrives() { hub.Stop(); }
    virtual ::testing::AssertionResult Start(const std::string& dir, const std::string& robotFile) = 0;
    virtual bool Enabled(int id) const = 0;
    virtual std::int32_t Position(int id) const = 0;
    virtual bool BrakeReleased() const = 0;
    virtual void ClearRecords() = 0;
    // The first thing the drive received since ClearRecords switched it off.
    virtual ::testing::AssertionResult SwitchedOffFirst(int id) const = 0;
    // The raw positions of the set-points it received since ClearRecords, in order.
    virtual std::vector<std::int32_t> SetPoints(int id) const = 0;

    std::string Environment() const { return "BELVANTO_CAN_HUB=" + socket; }
    bool AllJoints(bool enabled) const {
        for (int id : kJointIds) {
            if (Enabled(id) != enabled) return false;
        }
        return true;
    }
    std::vector<std::int32_t> Positions() const {
        std::vector<std::int32_t> out;
        for (int id : kJointIds) out.push_back(Position(id));
        return out;
    }

    static constexpr int kJointIds[4] = {16, 32, 48, 64};

protected:
    ::testing::AssertionResult StartHub(const std::string& dir) {
        socket = dir + "/can0.sock";
        if (hub.Start(socket) != 0) return ::testing::AssertionFailure() << "hub: " << hub.ErrorText();
        return ::testing::AssertionSuccess();
    }

    Platform::VirtualCanHub hub;
    std::string socket;
};

// Joint modules of the maker's protocol version 2, with the main DIO board.
class MakersDrives : public SimulatedDrives {
public:
    ~MakersDrives() override { sim.Stop(); }
    ::testing::AssertionResult Start(const std::string& dir, const std::string& robotFile) override {
        ::testing::AssertionResult hubStarted = StartHub(dir);
        if (!hubStarted) return hubStarted;
        std::string error;
        if (!sim.LoadRobotFile(robotFile, &error)) return ::testing::AssertionFailure() << error;
        DriveSim::ModuleConfig dio;
        dio.kind = DriveSim::ModuleKind::Dio;
        dio.canId = kDioId;
        if (!sim.AddModule(dio, &error)) return ::testing::AssertionFailure() << error;
        sim.SetInputs(kDioId, kCircuitClosed);
        DriveSim::MainDio board;
        board.active = true;
        sim.SetMainDio(board);
        if (sim.Start(socket) != 0) return ::testing::AssertionFailure() << "the simulator did not attach";
        return ::testing::AssertionSuccess();
    }
    bool Enabled(int id) const override { return State(id).enabled; }
    std::int32_t Position(int id) const override { return State(id).position; }
    bool BrakeReleased() const override { return (State(kDioId).outputs & kBrakeOutput) != 0; }
    void ClearRecords() override { sim.ClearReceived(); }
    ::testing::AssertionResult SwitchedOffFirst(int id) const override {
        for (const DriveSim::ReceivedFrame& f : sim.ReceivedOn(id)) {
            // The interface's greeting may come before the protocol's first frame.
            if (f.frame.data[0] != 0x01 && f.frame.data[0] != 0x14) continue;
            if (f.frame.data[0] == 0x01 && f.frame.data[1] == 0x0A) return ::testing::AssertionSuccess();
            return ::testing::AssertionFailure() << "first frame 0x" << std::hex << int(f.frame.data[0]) << " 0x"
                                                 << int(f.frame.data[1]);
        }
        return ::testing::AssertionFailure() << "nothing received";
    }
    std::vector<std::int32_t> SetPoints(int id) const override {
        std::vector<std::int32_t> out;
        for (const DriveSim::ReceivedFrame& f : sim.ReceivedOn(id)) {
            if (f.frame.can_dlc != 8 || f.frame.data[0] != 0x14) continue;
            const std::uint8_t* d = f.frame.data + 2;
            out.push_back(static_cast<std::int32_t>((std::uint32_t(d[0]) << 24) | (std::uint32_t(d[1]) << 16) |
                                                    (std::uint32_t(d[2]) << 8) | std::uint32_t(d[3])));
        }
        return out;
    }

private:
    DriveSim::ModuleState State(int id) const {
        DriveSim::ModuleState state;
        sim.GetModuleState(id, &state);
        return state;
    }
    DriveSim::DriveSimulator sim;
};

// CiA 402 drives and a CiA 401 I/O module.
class CanopenDrives : public SimulatedDrives {
public:
    ~CanopenDrives() override { sim.Stop(); }
    ::testing::AssertionResult Start(const std::string& dir, const std::string&) override {
        ::testing::AssertionResult hubStarted = StartHub(dir);
        if (!hubStarted) return hubStarted;
        for (int id : kJointIds) {
            CanopenSim::DriveConfig drive;
            drive.nodeId = id;
            if (!sim.AddDrive(drive)) return ::testing::AssertionFailure() << "drive " << id;
        }
        CanopenSim::IoConfig io;
        io.nodeId = kDioId;
        if (!sim.AddIoModule(io)) return ::testing::AssertionFailure() << "I/O module";
        if (sim.Start(socket) != 0) return ::testing::AssertionFailure() << "the simulator did not attach";
        sim.SetInputs(kDioId, kCircuitClosed);
        return ::testing::AssertionSuccess();
    }
    bool Enabled(int id) const override { return Drive(id).state == CanopenSim::DriveState::OperationEnabled; }
    std::int32_t Position(int id) const override { return Drive(id).position; }
    bool BrakeReleased() const override {
        CanopenSim::IoSnapshot io;
        sim.GetIoModule(kDioId, &io);
        return (io.outputs & kBrakeOutput) != 0;
    }
    void ClearRecords() override { sim.ClearRecords(); }
    ::testing::AssertionResult SwitchedOffFirst(int id) const override {
        const std::vector<CanopenSim::SdoWrite> writes = sim.SdoWrites(id);
        if (writes.empty()) return ::testing::AssertionFailure() << "nothing written";
        if (writes.front().index == 0x6040 && writes.front().value == 0x06) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "first write 0x" << std::hex << writes.front().index << " = "
                                             << writes.front().value;
    }
    std::vector<std::int32_t> SetPoints(int id) const override {
        std::vector<std::int32_t> out;
        for (const CanopenSim::PdoWrite& w : sim.PdoWrites(id)) {
            if (w.pdo != 1 || w.data.size() < 4) continue;
            out.push_back(static_cast<std::int32_t>(std::uint32_t(w.data[0]) | (std::uint32_t(w.data[1]) << 8) |
                                                    (std::uint32_t(w.data[2]) << 16) | (std::uint32_t(w.data[3]) << 24)));
        }
        return out;
    }

private:
    CanopenSim::DriveSnapshot Drive(int id) const {
        CanopenSim::DriveSnapshot s;
        sim.GetDrive(id, &s);
        return s;
    }
    CanopenSim::CanopenSimulator sim;
};

// One protocol of the table: the robot file's name for it, its drives, and the status
// texts of drives switched off and ready.
struct ProtocolCase {
    const char* name;
    const char* protocol;
    const char* offText;
    const char* readyText;
    std::function<std::unique_ptr<SimulatedDrives>()> drives;
};

const ProtocolCase kProtocols[] = {
    {"version 2", "JXRCANV2", "_MNE", "NoError", [] { return std::make_unique<MakersDrives>(); }},
    {"CANopen", "CANopen_IPO", "ready_to_switch_on", "operation_enabled",
     [] { return std::make_unique<CanopenDrives>(); }},
};

// Types the demo's reset-and-enable ("2") until every drive is enabled and the brake
// released: a key typed while the main loop is still connecting may be replaced before it
// is read, and an e-stop input not read yet refuses the enable (a CANopen reset enables
// the drives by itself).
::testing::AssertionResult EnableFromConsole(BelvantoProcess& p, const SimulatedDrives& drives) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (!p.Type("2\n")) return ::testing::AssertionFailure() << "the console input is closed";
        if (AppTest::WaitUntil([&] { return drives.AllJoints(true) && drives.BrakeReleased(); }, 3000)) {
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure() << "the drives were not enabled:\n" << p.Output();
}

// Waits until the protocol's connect has run through (the CANopen one takes seconds after
// its first line), reading the server's frames meanwhile when a client is given.
::testing::AssertionResult WaitForConnect(BelvantoProcess& p, const ProtocolCase& c, HvpTestClient* client) {
    const bool canopen = std::string(c.protocol).rfind("CANopen", 0) == 0;
    const std::string line = canopen ? "CANopen: Initializing PDOs for IO module" : "ProtocolJXRCANV2: Connection succeeded";
    const auto end = Clock::now() + std::chrono::seconds(90);
    HvpTestClient::Frame frame;
    while (p.Output().find(line) == std::string::npos) {
        if (Clock::now() > end || p.HasExited()) return ::testing::AssertionFailure() << "no connect:\n" << p.Output();
        if (client != nullptr) {
            client->ReadFrame(frame, 50);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    return ::testing::AssertionSuccess();
}

// Reads the server's frames for ms (every one is kept in the client).
void ReadFor(HvpTestClient& client, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    HvpTestClient::Frame frame;
    while (Clock::now() < end) client.ReadFrame(frame, 50);
}

std::string StatusErrorText(const std::string& payload) {
    const std::vector<std::string> tokens = HvpTestClient::Tokens(payload);
    const auto at = std::find(tokens.begin(), tokens.end(), "ERROR");
    return at != tokens.end() && at + 1 != tokens.end() ? *(at + 1) : std::string();
}

// One test per protocol of the table.
class AppRestart : public ::testing::TestWithParam<int> {
protected:
    const ProtocolCase& Case() const { return kProtocols[GetParam()]; }
};

// The controller is killed while the demo program moves the enabled drives, then started
// again beside them: it switches them off at connect, sends as set-points where they
// stand, shows them not ready until the operator enables, and then moves nothing either.
TEST_P(AppRestart, ARestartBesideEnabledDrivesCommandsNoStepAndShowsThemNotReady) {
    const ProtocolCase& c = Case();
    BelvantoProcess first;
    first.CopyDataRoot(BELVANTO_DEMO_DIR);
    ASSERT_NO_FATAL_FAILURE(UseProtocolBrakeAndEStop(first, c.protocol));
    const std::unique_ptr<SimulatedDrives> drives = c.drives();
    ASSERT_TRUE(drives->Start(first.dir, first.root + kRobotFile));

    first.Start({drives->Environment()}, true);
    ASSERT_TRUE(WaitForConnect(first, c, nullptr));
    ASSERT_TRUE(EnableFromConsole(first, *drives));
    // The program's first move takes joint 4 from the home position's 20 degrees to 45.
    bool moved = false;
    for (int attempt = 0; attempt < 6 && !moved; ++attempt) {
        ASSERT_TRUE(first.Type("5\n"));
        moved = AppTest::WaitUntil([&] { return drives->Position(64) > 3500; }, 10000);
    }
    ASSERT_TRUE(moved) << first.Output();
    first.Kill();  // no word to the drives: they stay enabled where they are
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(drives->AllJoints(true));
    const std::vector<std::int32_t> standing = drives->Positions();
    drives->ClearRecords();

    BelvantoProcess second;
    second.CopyDataRoot(BELVANTO_DEMO_DIR);
    ASSERT_NO_FATAL_FAILURE(UseProtocolBrakeAndEStop(second, c.protocol));
    second.Start({drives->Environment()}, true);
    HvpTestClient client;
    ASSERT_TRUE(client.Connect(second.hvpPort, 60000)) << second.Output();
    ASSERT_TRUE(WaitForConnect(second, c, &client));
    ReadFor(client, 3000);

    EXPECT_TRUE(drives->AllJoints(false)) << "switched off at connect";
    EXPECT_EQ(drives->Positions(), standing) << "no drive moved";
    for (size_t j = 0; j < 4; ++j) {
        const int id = SimulatedDrives::kJointIds[j];
        SCOPED_TRACE(id);
        EXPECT_TRUE(drives->SwitchedOffFirst(id));
        // Until its position is read the controller cannot know where a drive stands;
        // from then on every set-point is that position (within a count of rounding).
        const std::vector<std::int32_t> sent = drives->SetPoints(id);
        ASSERT_GT(sent.size(), 50u);
        size_t firstAtPosition = sent.size();
        for (size_t k = 0; k < sent.size(); ++k) {
            if (firstAtPosition == sent.size() && std::abs(sent[k] - standing[j]) <= 1) firstAtPosition = k;
            if (firstAtPosition < k) {
                EXPECT_LE(std::abs(sent[k] - standing[j]), 1) << "set-point " << k;
            }
        }
        EXPECT_LE(firstAtPosition, 50u) << "the set-points take the reported position within a few cycles";
    }
    // STATUS never shows the drives ready; once they have answered its set-points are
    // where they stand.
    const std::vector<std::string> statuses = client.PayloadsStartingWith("STATUS ");
    ASSERT_GT(statuses.size(), 40u);
    for (const std::string& s : statuses) EXPECT_NE(StatusErrorText(s), c.readyText) << s;
    const std::string last = statuses.back();
    const std::vector<float> set = HvpTestClient::ValuesAfter(last, "POSJOINTSETPOINT", 4);
    const std::vector<float> current = HvpTestClient::ValuesAfter(last, "POSJOINTCURRENT", 4);
    ASSERT_EQ(set.size(), 4u);
    ASSERT_EQ(current.size(), 4u);
    for (int j = 0; j < 4; ++j) {
        EXPECT_NEAR(current[j], standing[static_cast<size_t>(j)] / kGearScales[j], 0.02f) << last;
        EXPECT_NEAR(set[j], current[j], 0.02f) << last;
    }
    EXPECT_EQ(StatusErrorText(last), c.offText) << last;
    // The e-stop input counts from the I/O module's first answer: a circuit closed from
    // power-up is no opening.
    EXPECT_EQ(second.Output().find("ESTOP DETECTED"), std::string::npos) << second.Output();

    // The operator enables: the drives take over where they stand.
    ASSERT_TRUE(EnableFromConsole(second, *drives));
    EXPECT_TRUE(client.WaitForFrame(
                          [&](const HvpTestClient::Frame& f) {
                              return f.payload.rfind("STATUS ", 0) == 0 && StatusErrorText(f.payload) == c.readyText;
                          },
                          10000)
                    .has_value());
    ASSERT_TRUE(AppTest::WaitUntil([&] { return drives->BrakeReleased(); }, 10000)) << "the brake is released";
    const std::vector<std::int32_t> enabledAt = drives->Positions();
    for (size_t j = 0; j < standing.size(); ++j) EXPECT_LE(std::abs(enabledAt[j] - standing[j]), 2) << j;

    // SIGTERM: the orderly exit leaves the drives off and the brake engaged.
    client.Close();
    ASSERT_NO_FATAL_FAILURE(AppTest::ExpectExitOnSigterm(second));
    AppTest::ExpectOrderlyExit(second.Output());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(drives->AllJoints(false)) << second.Output();
    EXPECT_FALSE(drives->BrakeReleased()) << second.Output();
}

// SIGINT and SIGTERM end the controller as operator code 99 does: within a few seconds,
// with the program stopped, the drives off and the brake engaged.
TEST_P(AppRestart, EverySignalExitLeavesTheDrivesOffWithTheBrakeEngaged) {
    const ProtocolCase& c = Case();
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(std::string(c.name) + (signal == SIGINT ? " SIGINT" : " SIGTERM"));
        BelvantoProcess p;
        p.CopyDataRoot(BELVANTO_DEMO_DIR);
        ASSERT_NO_FATAL_FAILURE(UseProtocolBrakeAndEStop(p, c.protocol));
        const std::unique_ptr<SimulatedDrives> drives = c.drives();
        ASSERT_TRUE(drives->Start(p.dir, p.root + kRobotFile));
        p.Start({drives->Environment()}, true);
        ASSERT_TRUE(WaitForConnect(p, c, nullptr));
        ASSERT_TRUE(EnableFromConsole(p, *drives));
        ASSERT_TRUE(AppTest::WaitUntil([&] { return drives->BrakeReleased(); }, 10000)) << p.Output();

        const auto start = Clock::now();
        p.Signal(signal);
        const int status = p.WaitForExit(30000);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        ASSERT_NE(status, -1) << "no exit after the signal";
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_LT(took.count(), 10000) << "the exit is bounded";
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_TRUE(drives->AllJoints(false)) << p.Output();
        EXPECT_FALSE(drives->BrakeReleased()) << p.Output();
        const std::string out = p.Output();
        EXPECT_NE(out.find(signal == SIGINT ? "SIGINT received." : "SIGTERM received."), std::string::npos);
        EXPECT_NE(out.find("RobotMaster: Disabling Motors"), std::string::npos) << out;
        EXPECT_NE(out.find("Belvanto: Exiting..."), std::string::npos) << out;
    }
}

INSTANTIATE_TEST_SUITE_P(EachProtocol, AppRestart, ::testing::Range(0, static_cast<int>(std::size(kProtocols))), [](const ::testing::TestParamInfo<int>& info) {
    return std::string(kProtocols[info.param].protocol);
});

}  // namespace

#endif
