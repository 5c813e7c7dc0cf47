// The CiA 402 drive: controlword state machine, modes of operation, homing, emergencies.

#include "NodeHarness.h"

#include "canopensim/Cia402Drive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace CanopenSimTest {
namespace {

using CanopenSim::Cia402Drive;
using CanopenSim::DriveConfig;
using CanopenSim::DriveState;
using CanopenSim::HomingStep;
namespace HomingBits = CanopenSim::HomingBits;
namespace Mode = CanopenSim::Mode;

DriveConfig Config() {
    DriveConfig config;
    config.nodeId = 3;
    config.position = 1000;
    return config;
}

class DriveTest : public ::testing::Test {
protected:
    DriveTest() : drive(Config()), bus(drive) {
        bus.PowerOn();
        bus.Nmt(0x01);
    }
    void Controlwords(const std::vector<std::uint16_t>& words) {
        for (std::uint16_t word : words) {
            bus.Write(0x6040, 0, word);
        }
    }
    void Enable(std::int8_t mode) {
        bus.Write(0x6060, 0, static_cast<std::uint8_t>(mode));
        Controlwords({0x06, 0x07, 0x0F});
        ASSERT_EQ(DriveState::OperationEnabled, drive.Snapshot().state);
    }
    DriveState State() const { return drive.Snapshot().state; }
    std::int32_t Position() const { return drive.Snapshot().position; }

    Cia402Drive drive;
    NodeHarness bus;
};

TEST_F(DriveTest, ControlwordSequencesWalkTheStateMachine) {
    struct Case {
        const char* what;
        std::vector<std::uint16_t> words;
        DriveState state;
        std::uint16_t statusLowBits;  // statusword & 0x6F
    };
    const Case cases[] = {
        {"enable", {0x06, 0x07, 0x0F}, DriveState::OperationEnabled, 0x27},
        {"enable from ready at once", {0x06, 0x0F}, DriveState::OperationEnabled, 0x27},
        {"disable operation", {0x06, 0x07, 0x0F, 0x07}, DriveState::SwitchedOn, 0x23},
        {"shutdown from enabled", {0x06, 0x07, 0x0F, 0x06}, DriveState::ReadyToSwitchOn, 0x21},
        {"quick stop", {0x06, 0x07, 0x0F, 0x02}, DriveState::QuickStopActive, 0x07},
        {"quick stop then enable", {0x06, 0x07, 0x0F, 0x0B, 0x0F}, DriveState::OperationEnabled, 0x27},
        {"quick stop when not enabled", {0x06, 0x07, 0x02}, DriveState::SwitchOnDisabled, 0x40},
        {"disable voltage", {0x06, 0x07, 0x0F, 0x00}, DriveState::SwitchOnDisabled, 0x40},
        {"switch on needs shutdown first", {0x07, 0x0F}, DriveState::SwitchOnDisabled, 0x40},
    };
    for (const Case& c : cases) {
        Controlwords({0x00});
        Controlwords(c.words);
        EXPECT_EQ(c.state, State()) << c.what;
        const std::uint32_t statusword = bus.Read(0x6041, 0);
        EXPECT_EQ(c.statusLowBits, statusword & 0x6F) << c.what;
        EXPECT_EQ(c.words.back(), bus.Read(0x6040, 0)) << c.what;
    }
}

TEST_F(DriveTest, FaultIsLeftOnlyOnTheRisingEdgeOfFaultReset) {
    Enable(Mode::kCyclicSyncPosition);
    { std::vector<can_frame> ignored; drive.InjectError(0x7121, 0x01, {15, 0, 0, 0, 0}, true, ignored); }
    EXPECT_EQ(DriveState::Fault, State());
    EXPECT_EQ(0x08u, bus.Read(0x6041, 0) & 0x4F);

    Controlwords({0x06, 0x0F});
    EXPECT_EQ(DriveState::Fault, State()) << "commands other than fault reset are ignored";
    Controlwords({0x80});
    EXPECT_EQ(DriveState::SwitchOnDisabled, State());
    EXPECT_EQ(0u, bus.Read(0x1001, 0));

    // A reset bit still held does not clear a fault that came meanwhile.
    { std::vector<can_frame> ignored; drive.InjectError(0x7121, 0x01, {15, 0, 0, 0, 0}, true, ignored); }
    Controlwords({0x80});
    EXPECT_EQ(DriveState::Fault, State());
    Controlwords({0x00, 0x80, 0x06, 0x07, 0x0F});
    EXPECT_EQ(DriveState::OperationEnabled, State());
}

TEST_F(DriveTest, EmergencyFillsErrorRegisterAndHistoryAndResetAnnouncesIt) {
    std::vector<can_frame> out;
    drive.InjectError(0x8611, 0x21, {13, 0xAA, 0xBB, 0xCC, 0xDD}, true, out);
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(0x83u, out[0].can_id);
    EXPECT_EQ(Bytes({0x11, 0x86, 0x21, 13, 0xAA, 0xBB, 0xCC, 0xDD}), Data(out[0]));
    drive.InjectError(0x4200, 0x09, {12, 0, 0, 0, 0}, false, out);
    EXPECT_EQ(0x09u, bus.Read(0x1001, 0));
    EXPECT_EQ(2u, bus.Read(0x1003, 0));
    EXPECT_EQ(0x0C094200u, bus.Read(0x1003, 1)) << "newest first: code, register, manufacturer byte";
    EXPECT_EQ(0x0D218611u, bus.Read(0x1003, 2));

    const auto reset = bus.Send(0x603, {0x2B, 0x40, 0x60, 0x00, 0x80, 0, 0, 0});
    const auto emcy = On(reset, 0x83);
    ASSERT_EQ(1u, emcy.size());
    EXPECT_EQ(Bytes(8, 0), Data(emcy[0])) << "error reset";

    EXPECT_EQ(0x06090030u, Le32(bus.Download(0x1003, 0, 1, 1).data + 4)) << "only 0 clears";
    bus.Write(0x1003, 0, 0);
    EXPECT_EQ(0u, bus.Read(0x1003, 0));
    EXPECT_EQ(0u, bus.Read(0x1003, 1));
}

TEST_F(DriveTest, PositionModesFollowTheirSetPoints) {
    // Cyclic synchronous position: the target takes effect on SYNC.
    Enable(Mode::kCyclicSyncPosition);
    bus.Write(0x607A, 0, 5000);
    EXPECT_EQ(1000, Position());
    bus.Sync();
    EXPECT_EQ(5000, Position());
    EXPECT_EQ(0x1000u, bus.Read(0x6041, 0) & 0x1000);

    // Interpolated position: only while bit 4 enables the interpolation.
    bus.Write(0x6060, 0, static_cast<std::uint8_t>(Mode::kInterpolatedPosition));
    bus.Write(0x60C1, 1, static_cast<std::uint32_t>(-2000));
    bus.Sync();
    EXPECT_EQ(5000, Position());
    EXPECT_EQ(0u, bus.Read(0x6041, 0) & 0x1000);
    Controlwords({0x1F});
    bus.Sync();
    EXPECT_EQ(-2000, Position());
    EXPECT_EQ(0x1000u, bus.Read(0x6041, 0) & 0x1000);

    // Profile position: the new-set-point edge moves, absolute or relative (bit 6).
    Controlwords({0x0F});
    bus.Write(0x6060, 0, static_cast<std::uint8_t>(Mode::kProfilePosition));
    bus.Write(0x607A, 0, 300);
    Controlwords({0x1F});
    EXPECT_EQ(300, Position());
    EXPECT_EQ(0x1400u, bus.Read(0x6041, 0) & 0x1400) << "set-point acknowledged, target reached";
    Controlwords({0x0F, 0x5F});
    EXPECT_EQ(600, Position());
    Controlwords({0x0F, 0x11F});
    EXPECT_EQ(600, Position()) << "halt";
    EXPECT_EQ(600u, bus.Read(0x6064, 0));
}

TEST_F(DriveTest, VelocityModesIntegrateTheTargetVelocity) {
    // Cyclic synchronous velocity advances by one interpolation period per SYNC.
    Enable(Mode::kCyclicSyncVelocity);
    bus.Write(0x60C2, 1, 20);
    bus.Write(0x60C2, 2, static_cast<std::uint8_t>(-3));
    bus.Write(0x60FF, 0, 1000);
    bus.Sync();
    bus.Sync();
    EXPECT_EQ(1040, Position());
    EXPECT_EQ(1000u, bus.Read(0x606C, 0));
    Controlwords({0x10F});
    bus.Sync();
    EXPECT_EQ(1040, Position()) << "halt";

    // Profile velocity runs on time, not on SYNC.
    Controlwords({0x0F});
    bus.Write(0x6060, 0, static_cast<std::uint8_t>(Mode::kProfileVelocity));
    bus.Write(0x60FF, 0, static_cast<std::uint32_t>(-500));
    bus.Advance(1);
    bus.Advance(200);
    EXPECT_EQ(940, Position());
}

TEST_F(DriveTest, HomingShowsTheScriptedBitsAndEndsAtTheHomeOffset) {
    drive.SetHomingScript({{HomingBits::kNotStarted, 10},
                           {HomingBits::kInProgress, 30},
                           {HomingBits::kErrorMoving, 20},
                           {HomingBits::kCompleted, 0}});
    bus.Write(0x607C, 0, 250);
    bus.Write(0x6098, 0, 17);
    Enable(Mode::kHoming);
    EXPECT_EQ(HomingBits::kNotStarted, bus.Read(0x6041, 0) & HomingBits::kMask) << "not started";
    Controlwords({0x1F});
    const std::vector<std::pair<int, std::uint16_t>> timeline = {
        {5, HomingBits::kNotStarted}, {10, HomingBits::kInProgress}, {30, HomingBits::kErrorMoving},
        {20, HomingBits::kCompleted}};
    for (const auto& step : timeline) {
        bus.Advance(step.first);
        EXPECT_EQ(step.second, bus.Read(0x6041, 0) & HomingBits::kMask) << "after +" << step.first << " ms";
    }
    EXPECT_EQ(250, Position());

    // Dropping bit 4 interrupts a running homing.
    Controlwords({0x0F, 0x1F});
    bus.Advance(15);
    Controlwords({0x0F});
    EXPECT_EQ(HomingBits::kNotStarted, bus.Read(0x6041, 0) & HomingBits::kMask);
}

TEST_F(DriveTest, ASearchThatNeverEndsRunsUntilTheHaltBitAndTimedSilenceEndsByItself) {
    drive.SetHomingScript({{HomingBits::kInProgress, 0}});  // the last step stays
    bus.Write(0x6098, 0, 17);
    Enable(Mode::kHoming);
    Controlwords({0x1F});
    bus.Advance(60000);
    EXPECT_TRUE(drive.Snapshot().homingRunning);
    EXPECT_EQ(HomingBits::kInProgress, bus.Read(0x6041, 0) & HomingBits::kMask);
    // The halt interrupts the search where it is; a start while halted does not start one.
    Controlwords({0x11F});
    EXPECT_FALSE(drive.Snapshot().homingRunning);
    EXPECT_EQ(HomingBits::kNotStarted, bus.Read(0x6041, 0) & HomingBits::kMask);
    Controlwords({0x10F, 0x11F});
    EXPECT_FALSE(drive.Snapshot().homingRunning);

    // Silent for a while: neither heartbeats nor answers, then by itself again.
    bus.Write(0x1017, 0, 100);
    drive.SetSilentUntil(bus.now + std::chrono::milliseconds(500));
    EXPECT_TRUE(bus.Advance(200).empty());
    EXPECT_TRUE(bus.Sync().empty());
    EXPECT_TRUE(drive.IsSilent());
    bus.Advance(400);
    EXPECT_FALSE(drive.IsSilent());
    EXPECT_FALSE(bus.Advance(200).empty());
}

TEST_F(DriveTest, HomingOnTheCurrentPositionCompletesAtOnceEvenWhenOnlySwitchedOn) {
    bus.Write(0x607C, 0, 0);
    bus.Write(0x6098, 0, 35);
    bus.Write(0x6060, 0, static_cast<std::uint8_t>(Mode::kHoming));
    Controlwords({0x06, 0x07, 0x17});
    EXPECT_EQ(DriveState::SwitchedOn, State());
    EXPECT_EQ(HomingBits::kCompleted, bus.Read(0x6041, 0) & HomingBits::kMask);
    EXPECT_EQ(0, Position());

    // Other methods need operation enabled.
    Cia402Drive other(Config());
    NodeHarness otherBus(other);
    otherBus.PowerOn();
    otherBus.Write(0x6098, 0, 17);
    otherBus.Write(0x6060, 0, static_cast<std::uint8_t>(Mode::kHoming));
    for (std::uint16_t word : {0x06, 0x07, 0x17}) {
        otherBus.Write(0x6040, 0, word);
    }
    EXPECT_FALSE(other.Snapshot().homingRunning);
    EXPECT_EQ(HomingBits::kNotStarted, otherBus.Read(0x6041, 0) & HomingBits::kMask);
}

}  // namespace
}  // namespace CanopenSimTest
