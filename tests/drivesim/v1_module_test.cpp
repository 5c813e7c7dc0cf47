// First-generation joint modules: 6-byte set-points with 16-bit positions.

#include "SimBus.h"

namespace DriveSimTest {
namespace {

constexpr int kJoint = 0x10;
constexpr int kOther = 0x20;

class V1ModuleTest : public SimBusTest {
protected:
    void AddV1(int id, std::int32_t position, bool enabled = true) {
        DriveSim::ModuleConfig config;
        config.kind = DriveSim::ModuleKind::JointV1;
        config.canId = id;
        config.position = position;
        config.enabled = enabled;
        ASSERT_TRUE(sim.AddModule(config));
    }

    static Bytes SetPoint(std::uint8_t high, std::uint8_t low, std::uint8_t counter,
                          std::uint8_t outputs = 0, std::uint8_t velocity = 128) {
        return {0x04, velocity, high, low, counter, outputs};
    }
};

TEST_F(V1ModuleTest, SetPointIsTakenAsUnsigned16BitsAndAnswered) {
    AddV1(kJoint, 32000);
    ASSERT_TRUE(sim.SetInputs(kJoint, 0x81));
    ASSERT_TRUE(sim.SetCurrent(kJoint, 37, false));
    StartSim();
    const struct {
        std::uint8_t high;
        std::uint8_t low;  // bytes 2..3 as the controller builds them
        std::uint8_t counter;
        std::uint8_t outputs;
        std::int32_t position;
    } cases[] = {
        {0x7D, 0x00, 0, 0x0, 32000},
        {0x7E, 0x00, 1, 0x1, 32256},  // p = 32000 + 256
        {0x00, 0xFF, 2, 0x8, 255},    // p = -1: quotient 0, remainder -1
        {0xFF, 0xFF, 99, 0xF, 65535},
        {0x00, 0x00, 3, 0x0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.position);
        can_frame answer = Exchange(kJoint, SetPoint(c.high, c.low, c.counter, c.outputs));
        EXPECT_EQ(Bytes({0x00, 127, c.high, c.low, 37, 0x00, 0x00, 0x81}), Data(answer));
        DriveSim::ModuleState state = State(kJoint);
        EXPECT_EQ(c.position, state.position);
        EXPECT_EQ(c.counter, state.counter);
        EXPECT_EQ(c.outputs, state.outputs);
        EXPECT_EQ(0x04, state.lastSetPointCommand);
    }
}

TEST_F(V1ModuleTest, ErrorBitsOfTheFirstGeneration) {
    AddV1(kJoint, 1000, false);
    AddV1(kOther, 2000);
    StartSim();
    // Disabled: holds its position and says so.
    can_frame answer = Exchange(kJoint, SetPoint(0x7D, 0x00, 0));
    EXPECT_EQ(0x04, answer.data[0]);
    EXPECT_EQ(Bytes({0x03, 0xE8}), Bytes(answer.data + 2, answer.data + 4));
    Send(kJoint, {0x01, 0x09});
    EXPECT_EQ(0x00, Exchange(kJoint, SetPoint(0x7D, 0x00, 1)).data[0]);

    // A cut supply shows as a brown-out and drops the enable.
    sim.SetEStop(true);
    EXPECT_EQ(0x05, Exchange(kOther, SetPoint(0x10, 0x00, 2)).data[0]);
    sim.SetEStop(false);
    ASSERT_TRUE(sim.InjectPositionLag(kOther));
    Send(kOther, {0x01, 0x09});
    EXPECT_EQ(0x14, Exchange(kOther, SetPoint(0x10, 0x00, 3)).data[0]);
    Send(kOther, {0x01, 0x06});
    Send(kOther, {0x01, 0x09});
    answer = Exchange(kOther, SetPoint(0x10, 0x00, 4));
    EXPECT_EQ(0x00, answer.data[0]);
    EXPECT_EQ(0x1000, State(kOther).position);
}

TEST_F(V1ModuleTest, ZeroTakesTheValueOfBytesTwoAndThreeOtherCommandsAreUnknown) {
    AddV1(kJoint, 100);
    StartSim();
    Send(kJoint, {0x01, 0x0B});  // reference, align and restart belong to later generations
    Send(kJoint, {0x01, 0x0C, 0x3C, 0x96, 0x64, 0x32});
    Send(kJoint, {0x01, 0xCF});
    Send(kJoint, {0x14, 128, 0, 0, 0, 0, 0, 0});
    Send(kJoint, {0x01, 0x08, 0x7D, 0x00});
    DriveSim::ModuleState state;
    ASSERT_TRUE(sim.WaitUntil([&] { return sim.GetModuleState(kJoint, &state) && state.zeroings == 1; },
                              kFrameTimeout));
    EXPECT_EQ(32000, state.position);
    EXPECT_TRUE(state.enabled);
    EXPECT_EQ(0, state.references);
    EXPECT_EQ(0, state.aligns);
    EXPECT_EQ(0, state.restarts);
    EXPECT_EQ(0u, state.setPoints);
}

TEST_F(V1ModuleTest, AuxiliaryValueAndCurrentAreClampedIntoTheirBytes) {
    const struct {
        int auxiliary;
        int current;
        std::uint8_t byte1;
        std::uint8_t byte4;
    } cases[] = {{0, 0, 127, 0}, {-127, 255, 0, 255}, {128, 256, 255, 255}, {-500, -1, 0, 0}};
    int id = 0x100;
    for (const auto& c : cases) {
        DriveSim::ModuleConfig config;
        config.kind = DriveSim::ModuleKind::JointV1;
        config.canId = id;
        config.auxiliary = c.auxiliary;
        config.current = c.current;
        ASSERT_TRUE(sim.AddModule(config));
        id += 0x10;
    }
    StartSim();
    id = 0x100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.auxiliary);
        can_frame answer = Exchange(id, SetPoint(0, 0, 0));
        EXPECT_EQ(c.byte1, answer.data[1]);
        EXPECT_EQ(c.byte4, answer.data[4]);
        id += 0x10;
    }
}

}  // namespace
}  // namespace DriveSimTest
