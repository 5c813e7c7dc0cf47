// The simulator's other roles on the bus: DIO module, main DIO board, shutdown request
// sender, error events, a second master, and the record of received frames.

#include "SimBus.h"

#include <cerrno>
#include <functional>

namespace DriveSimTest {
namespace {

constexpr int kJoint = 0x10;
constexpr int kDio = 0x50;

class BusFramesTest : public SimBusTest {};

TEST_F(BusFramesTest, DioModuleTakesOutputsAndAnswersInputs) {
    DriveSim::ModuleConfig config;
    config.kind = DriveSim::ModuleKind::Dio;
    config.canId = kDio;
    ASSERT_TRUE(sim.AddModule(config));
    StartSim();
    const struct {
        std::uint8_t inputs;
        std::uint8_t counter;
        std::uint8_t outputs;
        std::uint8_t answerByte7;
    } cases[] = {{0x00, 0, 0x00, 0x00}, {0x55, 1, 0x7F, 0x55}, {0xFF, 254, 0xA5, 0x7F}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.counter));
        ASSERT_TRUE(sim.SetInputs(kDio, c.inputs));
        can_frame answer = Exchange(kDio, {0x14, 0, 0, 0, 0, 0, c.counter, c.outputs});
        EXPECT_EQ(Bytes({0x00, 0, 0, 0, 0, 0, 0, c.answerByte7}), Data(answer));
        EXPECT_EQ(c.outputs, State(kDio).outputs);
        EXPECT_EQ(c.counter, State(kDio).counter);
    }
    // No motor: enable, reference and restart change nothing, and an e-stop leaves it alone.
    Send(kDio, {0x01, 0x0A});
    Send(kDio, {0x01, 0x0B});
    Send(kDio, {0x01, 0xCF});
    sim.SetEStop(true);
    EXPECT_EQ(0x00, Exchange(kDio, {0x14, 0, 0, 0, 0, 0, 3, 0}).data[0]);
    ASSERT_TRUE(sim.InjectError(kDio, 0x08));
    EXPECT_EQ(0x08, Exchange(kDio, {0x14, 0, 0, 0, 0, 0, 4, 0}).data[0]);
    Send(kDio, {0x01, 0x06});
    EXPECT_EQ(0x00, Exchange(kDio, {0x14, 0, 0, 0, 0, 0, 5, 0}).data[0]);
}

TEST_F(BusFramesTest, MainDioFrameIsPeriodicAndShowsTheEStop) {
    DriveSim::MainDio board;
    board.active = true;
    board.supplyRaw = 0x0960;  // 2400
    board.secondRaw = 0x0CE4;  // 3300
    board.periodMs = 20;
    sim.SetMainDio(board);
    StartSim();
    auto frame = Next(DriveSim::kMainDioId);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(Bytes({0x00, 0x00, 0x09, 0x60, 0x0C, 0xE4, 0x80, 0x80}), Data(*frame));
    EXPECT_TRUE(Next(DriveSim::kMainDioId).has_value());

    sim.SetEStop(true);
    std::optional<can_frame> cut;
    ASSERT_TRUE(sim.WaitUntil([&] {
        cut = Next(DriveSim::kMainDioId);
        return cut && cut->data[6] == 0x00 && cut->data[7] == 0x00;
    }, kFrameTimeout));

    board.statusHigh = false;
    sim.SetMainDio(board);
    sim.SetEStop(false);
    ASSERT_TRUE(sim.WaitUntil([&] {
        cut = Next(DriveSim::kMainDioId);
        return cut && cut->data[6] == 0x80;
    }, kFrameTimeout));
    EXPECT_EQ(0x00, cut->data[7]);
}

TEST_F(BusFramesTest, OwnFramesHaveTheirLayouts) {
    AddJoint(kJoint);
    StartSim();
    const struct {
        const char* name;
        std::function<int()> send;
        int id;
        Bytes bytes;
    } cases[] = {
        {"shutdown stage 1", [&] { return sim.SendShutdownRequest(DriveSim::kShutdownStage1); }, 0x0FF,
         {0x01, 0x0C, 0x71, 0, 0, 0, 0, 0}},
        {"shutdown stage 2", [&] { return sim.SendShutdownRequest(DriveSim::kShutdownStage2); }, 0x0FF,
         {0x01, 0x29, 0x71, 0, 0, 0, 0, 0}},
        {"lag event", [&] { return sim.SendEvent(0x11, 0x77, 0x1234, 0xFEDC); }, 0x11,
         {0x07, 0x00, 0x00, 0x77, 0x12, 0x34, 0xFE, 0xDC}},
        {"I2T event", [&] { return sim.SendEvent(0x21, 0x70, 300, 500); }, 0x21,
         {0x07, 0x00, 0x00, 0x70, 0x01, 0x2C, 0x01, 0xF4}},
        {"unknown event", [&] { return sim.SendEvent(0x31, 0x42, 1, 2); }, 0x31,
         {0x07, 0x00, 0x00, 0x42, 0x00, 0x01, 0x00, 0x02}},
        {"event with byte 2 set", [&] { return sim.SendEvent(0x31, 0x71, 1, 2, 0x05); }, 0x31,
         {0x07, 0x00, 0x05, 0x71, 0x00, 0x01, 0x00, 0x02}},
        {"foreign master", [&] { return sim.SendForeignSetPoint(kJoint, 0x01020304, 9); }, kJoint,
         {0x14, 128, 0x01, 0x02, 0x03, 0x04, 9, 0x00}},
        {"raw frame", [&] {
             const std::uint8_t bytes[] = {0xBB, 1, 2};
             return sim.SendFrame(0x7FF, bytes, 3);
         },
         0x7FF, {0xBB, 1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(0, c.send());
        auto frame = Next(c.id);
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(c.bytes, Data(*frame));
    }
    // The simulated module never sees its own foreign set-point (the bus does not echo).
    EXPECT_EQ(0u, State(kJoint).setPoints);
}

TEST_F(BusFramesTest, BadRawFramesAndEventIdsAreRefused) {
    StartSim();
    const std::uint8_t bytes[8] = {};
    EXPECT_EQ(EINVAL, sim.SendFrame(0x800, bytes, 8));
    EXPECT_EQ(EINVAL, sim.SendFrame(-1, bytes, 8));
    EXPECT_EQ(EINVAL, sim.SendFrame(0x10, bytes, 9));
    EXPECT_EQ(EINVAL, sim.SendFrame(0x10, bytes, -1));
    EXPECT_EQ(EINVAL, sim.SendFrame(0x10, nullptr, 2));
    EXPECT_EQ(EINVAL, sim.SendEvent(0x800, 0x70, 0, 0));
    EXPECT_EQ(EINVAL, sim.SendForeignSetPoint(-3, 0));
    sim.Stop();
    EXPECT_EQ(ENOTCONN, sim.SendShutdownRequest(DriveSim::kShutdownStage1));
}

TEST_F(BusFramesTest, EveryReceivedFrameIsRecordedInOrder) {
    AddJoint(kJoint);
    StartSim();
    const std::vector<can_frame> frames = {
        MakeFrame(0x010, {0x42, 0x43, 0, 0, 0, 0, 0, 0}),
        MakeFrame(0x001, {0x01, 0x30, 0x00, 150, 0, 0, 0, 0}),
        MakeFrame(0x010, PositionSetPoint(5, 1)),
        MakeFrame(0x123, {}),
        MakeFrame(0x7FF, {1, 2, 3}),
        MakeFrame(0x010 | CAN_EFF_FLAG, {0x14, 0, 0, 0, 0, 0, 0, 0}),
    };
    for (const can_frame& frame : frames) {
        ASSERT_EQ(0, controller.Write(frame));
    }
    ASSERT_TRUE(sim.WaitForReceived(frames.size(), kFrameTimeout));
    std::vector<DriveSim::ReceivedFrame> recorded = sim.Received();
    ASSERT_EQ(frames.size(), recorded.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(frames[i].can_id, recorded[i].frame.can_id);
        EXPECT_EQ(Data(frames[i]), Data(recorded[i].frame));
        if (i > 0) {
            EXPECT_LE(recorded[i - 1].time, recorded[i].time);
        }
    }
    // Standard frames of one ID only; the extended frame with the same number is not one.
    std::vector<DriveSim::ReceivedFrame> joint = sim.ReceivedOn(0x010);
    ASSERT_EQ(2u, joint.size());
    EXPECT_EQ(0x42, joint[0].frame.data[0]);
    EXPECT_EQ(0x14, joint[1].frame.data[0]);
    EXPECT_EQ(1u, State(kJoint).setPoints) << "the extended frame is no set-point";

    sim.ClearReceived();
    EXPECT_EQ(0u, sim.ReceivedCount());
    EXPECT_TRUE(sim.Received().empty());
}

TEST_F(BusFramesTest, RecordKeepsTheNewestFramesWithinItsCapacity) {
    sim.SetRecordCapacity(3);
    StartSim();
    for (std::uint8_t i = 0; i < 5; ++i) {
        Send(0x200, {i});
    }
    ASSERT_TRUE(sim.WaitForReceived(5, kFrameTimeout));
    EXPECT_EQ(5u, sim.ReceivedCount());
    std::vector<DriveSim::ReceivedFrame> recorded = sim.Received();
    ASSERT_EQ(3u, recorded.size());
    EXPECT_EQ(2, recorded[0].frame.data[0]);
    EXPECT_EQ(4, recorded[2].frame.data[0]);
}

TEST_F(BusFramesTest, HubGoingAwayEndsTheRun) {
    StartSim();
    EXPECT_TRUE(sim.IsRunning());
    hub.Stop();
    EXPECT_TRUE(sim.WaitUntil([&] { return !sim.IsRunning(); }, kFrameTimeout));
}

TEST_F(BusFramesTest, StartFailsWithoutAHub) {
    DriveSim::DriveSimulator other;
    EXPECT_NE(0, other.Start(socketPath + ".missing"));
    EXPECT_FALSE(other.IsRunning());
    StartSim();
    EXPECT_EQ(EBUSY, sim.Start(socketPath));
}

}  // namespace
}  // namespace DriveSimTest
