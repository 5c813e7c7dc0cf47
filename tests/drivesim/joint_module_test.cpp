// Joint modules of the second generation on the virtual bus, driven by hand-made frames.

#include "SimBus.h"

#include <climits>
#include <thread>

namespace DriveSimTest {
namespace {

constexpr int kJoint = 0x10;
constexpr int kOther = 0x20;

class JointModuleTest : public SimBusTest {};

TEST_F(JointModuleTest, PositionSetPointIsTakenAndAnsweredBigEndian) {
    AddJoint(kJoint);
    ASSERT_TRUE(sim.SetInputs(kJoint, 0x05));
    StartSim();
    const struct {
        std::int32_t position;
        std::uint8_t counter;
        std::uint8_t outputs;
        std::uint8_t velocity;
    } cases[] = {
        {0, 0, 0x00, 128},
        {190, 1, 0x01, 130},
        {0x12345678, 2, 0x80, 255},
        {-1, 254, 0xFF, 0},
        {-17100, 0, 0x0F, 100},
        {INT_MIN, 7, 0x00, 128},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.position);
        can_frame answer = Exchange(kJoint, PositionSetPoint(c.position, c.counter, c.outputs, c.velocity));
        Bytes p = BigEndian32(c.position);
        EXPECT_EQ(Bytes({0x00, p[0], p[1], p[2], p[3], 0x00, 0x00, 0x05}), Data(answer));
        DriveSim::ModuleState state = State(kJoint);
        EXPECT_EQ(c.position, state.position);
        EXPECT_EQ(c.counter, state.counter);
        EXPECT_EQ(c.outputs, state.outputs);
        EXPECT_EQ(c.velocity, state.velocityByte);
        EXPECT_EQ(0x14, state.lastSetPointCommand);
    }
    EXPECT_EQ(std::size(cases), State(kJoint).setPoints);
    EXPECT_EQ(std::size(cases), State(kJoint).answers);
}

TEST_F(JointModuleTest, ShortOrWrongFramesAreIgnoredWithoutAnswer) {
    AddJoint(kJoint, 500);
    AddJoint(kOther);
    StartSim();
    // The controller's greeting lands on the first joint's ID; a short set-point and an
    // unknown command byte are not set-points either.
    Send(kJoint, {0x42, 0x43, 0, 0, 0, 0, 0, 0});
    Send(kJoint, {0x14, 128, 0, 0, 0x10, 0x00, 1});
    Send(kJoint, {0x33, 0x01});
    Send(kJoint, {0x01});
    // Frames are handled in order: an answer of the joint would come before this one.
    can_frame other = Exchange(kOther, PositionSetPoint(1, 1));
    EXPECT_EQ(static_cast<canid_t>(kOther + 1), other.can_id);
    EXPECT_FALSE(Next(kJoint + 1, std::chrono::milliseconds(0)).has_value());
    EXPECT_EQ(500, State(kJoint).position);
    EXPECT_EQ(0u, State(kJoint).setPoints);
}

TEST_F(JointModuleTest, EnableAndDisableDecideWhetherSetPointsAreFollowed) {
    AddJoint(kJoint, 1000, false);
    StartSim();
    const struct {
        Bytes command;  // empty: no command before the set-point
        std::int32_t setPoint;
        std::uint8_t errorByte;
        std::int32_t position;
    } steps[] = {
        {{}, 2000, 0x04, 1000},            // powers up disabled and holds its position
        {{0x01, 0x09}, 3000, 0x00, 3000},  // enabled: follows
        {{0x01, 0x0A}, 4000, 0x04, 3000},  // disabled again: holds
        {{0x01, 0x09}, 5000, 0x00, 5000},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.setPoint);
        if (!step.command.empty()) {
            Send(kJoint, step.command);
        }
        can_frame answer = Exchange(kJoint, PositionSetPoint(step.setPoint, 0));
        EXPECT_EQ(step.errorByte, answer.data[0]);
        EXPECT_EQ(step.position, AnswerPosition(answer));
    }
    EXPECT_EQ(2, State(kJoint).enables);
    EXPECT_EQ(1, State(kJoint).disables);
}

TEST_F(JointModuleTest, PositionLagIsLatchedUntilResetAndStopsTheDrive) {
    AddJoint(kJoint, 100);
    StartSim();
    ASSERT_TRUE(sim.InjectPositionLag(kJoint));
    can_frame answer = Exchange(kJoint, PositionSetPoint(900, 1));
    EXPECT_EQ(0x10, answer.data[0]);
    EXPECT_EQ(100, AnswerPosition(answer));
    // An enable does not clear the error; a reset does, and the drive stays enabled.
    Send(kJoint, {0x01, 0x09});
    EXPECT_EQ(0x10, Exchange(kJoint, PositionSetPoint(900, 2)).data[0]);
    Send(kJoint, {0x01, 0x06});
    answer = Exchange(kJoint, PositionSetPoint(900, 3));
    EXPECT_EQ(0x00, answer.data[0]);
    EXPECT_EQ(900, AnswerPosition(answer));
    EXPECT_EQ(1, State(kJoint).resets);
}

TEST_F(JointModuleTest, InjectedErrorBitsAppearInByteZero) {
    AddJoint(kJoint);
    StartSim();
    const int bits[] = {0x001, 0x008, 0x020, 0x040, 0x080, 0x028};
    int resets = 0;
    for (int b : bits) {
        SCOPED_TRACE(b);
        ASSERT_TRUE(sim.InjectError(kJoint, b));
        EXPECT_EQ(b, Exchange(kJoint, PositionSetPoint(0, 0)).data[0]);
        Send(kJoint, {0x01, 0x06});
        ++resets;
        ASSERT_TRUE(sim.WaitUntil([&] { return State(kJoint).resets == resets; }, kFrameTimeout));
    }
    EXPECT_FALSE(sim.InjectError(0x7A0, 0x10)) << "no module there";
}

TEST_F(JointModuleTest, ZeroAlignAndRestartCommands) {
    AddJoint(kJoint, 12345);
    ASSERT_TRUE(sim.SetReferenceDelayMs(kJoint, 0));
    StartSim();
    Send(kJoint, {0x01, 0x0B});  // referenced at once
    EXPECT_EQ(0x80, Exchange(kJoint, PositionSetPoint(12345, 0)).data[7] & 0x80);

    Send(kJoint, {0x01, 0x0C, 0x3C, 0x96, 0x64, 0x32});
    Send(kJoint, {0x01, 0x08, 0x7D, 0x00});
    DriveSim::ModuleState state;
    ASSERT_TRUE(sim.WaitUntil([&] { return sim.GetModuleState(kJoint, &state) && state.zeroings == 1; },
                              kFrameTimeout));
    EXPECT_EQ(0, state.position);
    EXPECT_EQ(1, state.aligns);

    ASSERT_TRUE(sim.InjectError(kJoint, 0x20));
    Send(kJoint, {0x01, 0xCF});
    can_frame answer = Exchange(kJoint, PositionSetPoint(777, 1));
    // Booted again: errors and reference forgotten, power stage off.
    EXPECT_EQ(0x04, answer.data[0]);
    EXPECT_EQ(0x00, answer.data[7] & 0x80);
    EXPECT_EQ(0, AnswerPosition(answer));
    EXPECT_EQ(1, State(kJoint).restarts);
}

TEST_F(JointModuleTest, ReferenceCompletesAfterTheConfiguredDelay) {
    constexpr int kDelayMs = 300;
    AddJoint(kJoint);
    ASSERT_TRUE(sim.SetReferenceDelayMs(kJoint, kDelayMs));
    StartSim();
    const auto sent = std::chrono::steady_clock::now();
    Send(kJoint, {0x01, 0x0B});
    Send(kJoint, {0x01, 0x0B});  // the controller sends it twice; the search is not restarted
    can_frame answer = Exchange(kJoint, PositionSetPoint(0, 0));
    EXPECT_EQ(0x00, answer.data[7] & 0x80);
    EXPECT_TRUE(State(kJoint).referencing);

    DriveSim::ModuleState state;
    ASSERT_TRUE(sim.WaitUntil([&] { return sim.GetModuleState(kJoint, &state) && state.referenced; },
                              std::chrono::milliseconds(10 * kDelayMs)));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(kDelayMs));
    EXPECT_FALSE(state.referencing);
    EXPECT_EQ(2, state.references);
    EXPECT_EQ(0x80, Exchange(kJoint, PositionSetPoint(0, 1)).data[7] & 0x80);
}

TEST_F(JointModuleTest, ReferenceNeedsAnEnabledDriveAndDisableAbortsIt) {
    AddJoint(kJoint, 0, false);
    ASSERT_TRUE(sim.SetReferenceDelayMs(kJoint, 0));
    StartSim();
    Send(kJoint, {0x01, 0x0B});
    EXPECT_EQ(0x00, Exchange(kJoint, PositionSetPoint(0, 0)).data[7] & 0x80);

    ASSERT_TRUE(sim.SetReferenceDelayMs(kJoint, 60000));
    Send(kJoint, {0x01, 0x09});
    Send(kJoint, {0x01, 0x0B});
    Exchange(kJoint, PositionSetPoint(0, 1));
    EXPECT_TRUE(State(kJoint).referencing);
    Send(kJoint, {0x01, 0x0A});
    Exchange(kJoint, PositionSetPoint(0, 2));
    EXPECT_FALSE(State(kJoint).referencing);
    EXPECT_FALSE(State(kJoint).referenced);
}

TEST_F(JointModuleTest, AReferenceThatNeverEndsRunsUntilTheDisable) {
    AddJoint(kJoint);
    ASSERT_TRUE(sim.SetReferenceNever(kJoint, true));
    StartSim();
    Send(kJoint, {0x01, 0x0B});
    Exchange(kJoint, PositionSetPoint(0, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // past any delay
    EXPECT_TRUE(State(kJoint).referencing);
    EXPECT_EQ(0x00, Exchange(kJoint, PositionSetPoint(0, 1)).data[7] & 0x80);
    Send(kJoint, {0x01, 0x0A});
    Exchange(kJoint, PositionSetPoint(0, 2));
    EXPECT_FALSE(State(kJoint).referencing);
    EXPECT_FALSE(State(kJoint).referenced);
}

TEST_F(JointModuleTest, CurrentInLongAndShortFormat) {
    AddJoint(kJoint);
    StartSim();
    const struct {
        int raw;
        bool shortFormat;
        std::uint8_t byte5;
        std::uint8_t byte6;
    } cases[] = {
        {0x1234, false, 0x12, 0x34},
        {0x9000, false, 0x7F, 0xFF},  // bit 7 of byte 5 would switch the reader's format
        {-5, false, 0x00, 0x00},
        {200, true, 0x80, 200},
        {300, true, 0x80, 0xFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        ASSERT_TRUE(sim.SetCurrent(kJoint, c.raw, c.shortFormat));
        can_frame answer = Exchange(kJoint, PositionSetPoint(0, 0));
        EXPECT_EQ(c.byte5, answer.data[5]);
        EXPECT_EQ(c.byte6, answer.data[6]);
    }
}

TEST_F(JointModuleTest, InputsShareByteSevenWithTheReferencedBit) {
    AddJoint(kJoint);
    ASSERT_TRUE(sim.SetReferenceDelayMs(kJoint, 0));
    StartSim();
    ASSERT_TRUE(sim.SetInputs(kJoint, 0xFF));
    EXPECT_EQ(0x7F, Exchange(kJoint, PositionSetPoint(0, 0)).data[7]);
    Send(kJoint, {0x01, 0x0B});
    EXPECT_EQ(0xFF, Exchange(kJoint, PositionSetPoint(0, 1)).data[7]);
    ASSERT_TRUE(sim.SetInputs(kJoint, 0x00));
    EXPECT_EQ(0x80, Exchange(kJoint, PositionSetPoint(0, 2)).data[7]);
}

TEST_F(JointModuleTest, VelocitySetPointsMoveTheJointTorqueFramesDoNot) {
    AddJoint(kJoint, 1000);
    StartSim();
    const struct {
        std::int16_t velocity;  // increments per second
        int direction;
    } cases[] = {{20000, 1}, {-20000, -1}, {0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.velocity);
        Exchange(kJoint, {0x16, 0x00, 0x00, 0});  // ends the previous motion
        const std::int32_t before = State(kJoint).position;
        const auto v = static_cast<std::uint16_t>(c.velocity);
        can_frame answer{};
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 10; ++i) {
            answer = Exchange(kJoint, {0x25, static_cast<std::uint8_t>(v >> 8),
                                       static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(i)});
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::int32_t moved = AnswerPosition(answer) - before;
        if (c.direction == 0) {
            EXPECT_EQ(0, moved);
        } else {
            EXPECT_GT(moved * c.direction, 0);
            EXPECT_LE(moved * c.direction, static_cast<int>(20000 * seconds) + 1);
        }
        EXPECT_EQ(9, State(kJoint).counter);
        EXPECT_EQ(c.velocity, State(kJoint).velocity);
    }
    const std::int32_t before = State(kJoint).position;
    can_frame answer = Exchange(kJoint, {0x16, 0x00, 0x00, 42});
    EXPECT_EQ(before, AnswerPosition(answer));
    EXPECT_EQ(42, State(kJoint).counter);
    EXPECT_EQ(0x16, State(kJoint).lastSetPointCommand);
}

TEST_F(JointModuleTest, TemperatureFramesArriveOnIdPlusThree) {
    AddJoint(kJoint);
    AddJoint(kOther);
    ASSERT_TRUE(sim.SetTemperature(kJoint, 0x1A2B));
    ASSERT_TRUE(sim.SetTemperature(kOther, 178));
    sim.SetTemperaturePeriodMs(20);
    StartSim();
    auto first = Next(kJoint + 3);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(Bytes({0x12, 0, 0, 0, 0, 0, 0x1A, 0x2B}), Data(*first));
    auto second = Next(kOther + 3);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(Bytes({0x12, 0, 0, 0, 0, 0, 0x00, 178}), Data(*second));
    // Periodic: another one follows.
    EXPECT_TRUE(Next(kJoint + 3).has_value());
}

TEST_F(JointModuleTest, SilentModuleTakesCommandsButSendsNothing) {
    AddJoint(kJoint);
    AddJoint(kOther);
    sim.SetTemperaturePeriodMs(0);
    StartSim();
    ASSERT_TRUE(sim.SetSilent(kJoint, true));
    Send(kJoint, PositionSetPoint(4321, 1));
    ASSERT_EQ(0, sim.SendTemperatures());
    // Frames are handled in order: the joint's answer would arrive before the other's.
    Exchange(kOther, PositionSetPoint(0, 1));
    EXPECT_FALSE(Next(kJoint + 1, std::chrono::milliseconds(0)).has_value());
    EXPECT_FALSE(Next(kJoint + 3, std::chrono::milliseconds(0)).has_value());
    EXPECT_EQ(4321, State(kJoint).position);
    EXPECT_TRUE(State(kJoint).silent);

    ASSERT_TRUE(sim.SetSilent(kJoint, false));
    EXPECT_EQ(4322, AnswerPosition(Exchange(kJoint, PositionSetPoint(4322, 2))));

    // Silent for a time: it answers again by itself afterwards.
    ASSERT_TRUE(sim.SilenceFor(kJoint, std::chrono::milliseconds(200)));
    Send(kJoint, PositionSetPoint(4323, 3));
    Exchange(kOther, PositionSetPoint(0, 2));
    EXPECT_FALSE(Next(kJoint + 1, std::chrono::milliseconds(0)).has_value());
    ASSERT_TRUE(sim.WaitUntil([&] { return !State(kJoint).silent; }, std::chrono::seconds(5)));
    EXPECT_EQ(4324, AnswerPosition(Exchange(kJoint, PositionSetPoint(4324, 4))));
}

TEST_F(JointModuleTest, EStopCutsTheDrivesUntilReleasedAndEnabled) {
    AddJoint(kJoint, 50);
    AddJoint(kOther, 60);
    StartSim();
    sim.SetEStop(true);
    for (int id : {kJoint, kOther}) {
        SCOPED_TRACE(id);
        can_frame answer = Exchange(id, PositionSetPoint(999, 1));
        EXPECT_EQ(0x06, answer.data[0]);  // supply cut, motor not enabled
        EXPECT_NE(999, AnswerPosition(answer));
    }
    Send(kJoint, {0x01, 0x09});
    Send(kJoint, {0x01, 0x06});
    EXPECT_EQ(0x06, Exchange(kJoint, PositionSetPoint(999, 2)).data[0]) << "enable refused";

    sim.SetEStop(false);
    EXPECT_EQ(0x04, Exchange(kJoint, PositionSetPoint(999, 3)).data[0]);
    Send(kJoint, {0x01, 0x09});
    can_frame answer = Exchange(kJoint, PositionSetPoint(999, 4));
    EXPECT_EQ(0x00, answer.data[0]);
    EXPECT_EQ(999, AnswerPosition(answer));
}

TEST_F(JointModuleTest, ModuleIdsAreChecked) {
    const struct {
        int id;
        bool accepted;
    } cases[] = {{0x10, true}, {0x10, false}, {-1, false}, {0x7FC, true}, {0x7FD, false}, {0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        DriveSim::ModuleConfig config;
        config.canId = c.id;
        std::string error;
        EXPECT_EQ(c.accepted, sim.AddModule(config, &error));
        EXPECT_EQ(c.accepted, error.empty()) << error;
    }
    EXPECT_EQ(std::vector<int>({0x10, 0x7FC, 0}), sim.ModuleIds());
}

}  // namespace
}  // namespace DriveSimTest
