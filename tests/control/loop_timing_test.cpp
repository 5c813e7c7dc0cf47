// The robot loop's timing: the two modes, the held cycle, the statistics, and a cycle that
// throws.
#include "kinematics/RobotKinematicNull.h"
#include "loop_test_fixture.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <atomic>
#include <memory>
#include <thread>

using namespace ControlTest;

namespace {

// A master on a kinematic that does nothing, stepped on the fake clock; each full cycle's
// work takes workUs of fake time.
class LoopTimingTest : public LoopTest {
protected:
    void SetUp() override {
        LoopTest::SetUp();
        if (IsSkipped()) return;
        RobotMasterTestAccess::CycleTimeMs(master).store(10);
        InitWith(std::make_unique<RobotKinematicNull>());
        protocol->onSendSync = [this] { clock.Advance(workUs); };
    }
    std::uint64_t workUs = 0;
};

TEST_F(LoopTimingTest, ModeOneWakesOnTheNextMultipleEvenFromAnExactOne) {
    const std::uint64_t period = 10000;
    clock.now = 123 * period;  // exactly on a multiple
    Cycles(1);
    ASSERT_FALSE(clock.spins.empty());
    EXPECT_EQ(clock.spins.front(), 124 * period);
    ASSERT_FALSE(clock.sleeps.empty());
    EXPECT_EQ(clock.sleeps.front(), 124 * period - 2000);  // sleeps to 2 ms before, spins the rest

    clock.spins.clear();
    clock.sleeps.clear();
    clock.now = 124 * period + 9000;  // 1 ms left: no sleep, only the spin
    Cycles(1);
    EXPECT_TRUE(clock.sleeps.empty());
    EXPECT_EQ(clock.spins.front(), 125 * period);

    RobotMasterTestAccess::PreciseTiming(master) = true;
    clock.spins.clear();
    clock.sleeps.clear();
    Cycles(1);
    EXPECT_TRUE(clock.sleeps.empty());  // the whole wait spins
    EXPECT_EQ(clock.spins.front(), 126 * period);
}

TEST_F(LoopTimingTest, ModeTwoReportsCyclesLongerThanOnePointTwoPeriods) {
    RobotMasterTestAccess::TimingMode(master).store(2);
    struct Case {
        std::uint64_t work;
        bool reported;
    };
    const Case cases[] = {{5000, false}, {12000, false}, {12001, true}, {30000, true}};
    Cycles(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.work);
        TestSupport::LogCapture log;
        workUs = c.work;
        const std::uint64_t start = clock.now;
        Cycles(1);
        EXPECT_EQ(log.Contains("RobotMaster::Loop - CycleTime exceeded: " + std::to_string(c.work) + " us"),
                  c.reported);
        EXPECT_EQ(clock.now - start, std::max<std::uint64_t>(c.work, 10000));
    }
    EXPECT_EQ(master.GetMaxCycleTime(), 30000.0f);
}

TEST_F(LoopTimingTest, ModeTwoPeriodIsComputedInSixtyFourBits) {
    RobotMasterTestAccess::TimingMode(master).store(2);
    RobotMasterTestAccess::CycleTimeMs(master).store(2000000);  // x 1200 does not fit an int
    TestSupport::LogCapture log;
    workUs = 2000000ULL * 1000ULL + 5;
    Cycles(2);
    EXPECT_FALSE(log.Contains("CycleTime exceeded"));
}

TEST_F(LoopTimingTest, AHeldCycleInModeTwoSleepsOneMillisecond) {
    RobotMasterTestAccess::TimingMode(master).store(2);
    RobotMasterTestAccess::InitHold(master).store(true);
    const std::uint64_t start = clock.now;
    Cycles(3);
    EXPECT_EQ(clock.now - start, 3000u);
    EXPECT_EQ(protocol->syncCount.load(), 0);  // no hardware work while held
}

TEST_F(LoopTimingTest, FrequencyAndLoadFollowFromTheStamps) {
    clock.now = 1000 * 10000;
    workUs = 2000;
    Cycles(50);
    // 50 periods plus the work of the last cycle since the first stamp; the first cycle
    // finished no work before its wait.
    const double elapsed = 50 * 10000.0 + 2000.0;
    EXPECT_NEAR(master.GetFrequency(), 50000000.0 / elapsed, 1e-3);
    EXPECT_NEAR(master.GetWorkload(), 49 * 2000.0 / (10 * 50000.0), 1e-6);

    // A pass 50 s or more after the last one updates nothing, but counts again from there.
    RobotMasterTestAccess::Frequency(master).store(-1.0f);
    Cycles(49);
    clock.Advance(50000000);
    Cycles(1);
    EXPECT_EQ(master.GetFrequency(), -1.0f);
    Cycles(50);
    EXPECT_GT(master.GetFrequency(), 0.0f);
}

TEST_F(LoopTimingTest, TheCpuTemperatureIsReadOffTheLoopAndTakenAtTheNextPass) {
    // Shared with the source: the outbox runs it again when TearDown stops the loop,
    // after this body's locals are gone.
    auto reader = std::make_shared<std::thread::id>();
    master.GetLoopOutbox().temperatureSource = [reader] {
        *reader = std::this_thread::get_id();
        return 45.678f;
    };
    Cycles(50);
    EXPECT_EQ(Live().cpuTemp, 0.0f);            // asked for, not read on the loop
    EXPECT_EQ(*reader, std::thread::id());
    master.GetLoopOutbox().Deliver();           // what the outbox worker does
    Cycles(50);
    EXPECT_EQ(Live().cpuTemp, 45.678f);
}

TEST_F(LoopTimingTest, DirectionChangesAreCountedWithHysteresis) {
    LogSingleton* log = LogSingleton::instance();
    const int before = log->GetSystemVar(SV_DirChangesJ1);
    // Statistics passes see joint 0 at these set-points in turn.
    const float path[] = {1.0f, 2.0f, 1.95f, 1.0f, 1.05f, 2.0f};
    for (float a1 : path) {
        for (int i = 0; i < 50; ++i) {
            master.GetKinematic()->currentJoints[0] = a1;
            Cycles(1);
        }
    }
    // Up (1.0), down (1.0 after 2.0), up again (2.0 after 1.0); the 0.05 moves are ignored.
    EXPECT_EQ(log->GetSystemVar(SV_DirChangesJ1), before + 3);
}

TEST_F(LoopTimingTest, ConcurrentLoopSurvivesAnIntegerThrownInACycle) {
    std::atomic<int> throws{1};
    protocol->onSendSync = [&] {
        if (throws.fetch_sub(1) == 1) throw 42;
    };
    TestSupport::LogCapture log;
    master.StartMainLoop();
    ASSERT_TRUE(WaitFor([&] { return protocol->syncCount.load() > 5; }));
    EXPECT_TRUE(master.IsMainLoopRunning());
    EXPECT_TRUE(WaitFor([&] { return log.Contains("ROBOTMASTER LOOP EXCEPTION: 42"); }));
    master.StopMainLoop();
    EXPECT_FALSE(master.IsMainLoopRunning());
}

}  // namespace
