#include "motion/PathGenerator_01Joint.h"

#include "PathGeneratorFakes.h"
#include "testsupport/TestSupport.h"
#include "testsupport/PathGeneratorTestAccess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct EventRecord {
    std::mutex m;
    std::vector<std::string> texts;
    int a = 99, b = 99;
};
EventRecord gEvents;

void RecordEvent(HVPEventType event, int a, int b, const std::string& text) {
    std::lock_guard<std::mutex> lock(gEvents.m);
    EXPECT_EQ(event, HVP_EVENT_ERROR);
    gEvents.a = a;
    gEvents.b = b;
    gEvents.texts.push_back(text);
}

class JointGeneratorTest : public ::testing::Test {
protected:
    JointGeneratorTest() : gen(3) {
        gen.SetCommandAccess(&access);
        gen.SetKinematic(std::make_unique<FakeKinematic>());
        gen.SetResultCallback(&RecordEvent);
        std::lock_guard<std::mutex> lock(gEvents.m);
        gEvents.texts.clear();
        gEvents.a = gEvents.b = 99;
    }

    // Plans the commands (first one at program index 0, the others 1, 2, ...) from the
    // given start joints and waits for the planning thread.
    void Plan(const std::vector<std::shared_ptr<Command>>& commands, bool optimize,
              std::initializer_list<float> startJoints = {}) {
        DataTypes::RobotState state;
        int j = 0;
        for (float v : startJoints) state.jointSet[j++] = v;
        gen.SetFirstCmd(commands[0], &state, 0, commands[0]->next);
        for (size_t i = 1; i < commands.size(); ++i) {
            gen.SetNextCmd(commands[i], static_cast<int>(i), commands[i]->next);
        }
        gen.ComputePathStartThread();
        // ComputePathStartThread takes the optimisation option from the log singleton.
        ASSERT_TRUE(WaitFor([&] { return !gen.IsThreadRunning(); }));
        (void)optimize;
    }

    void PlanWith(bool optimize, const std::vector<std::shared_ptr<Command>>& commands,
                  std::initializer_list<float> startJoints = {}) {
        LogSingleton::instance()->set_pathGeneratorFlagOptimize(optimize);
        Plan(commands, optimize, startJoints);
    }

    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(gEvents.m);
        return gEvents.texts;
    }

    FakeCommandAccess access;
    PathGenerator_01Joint gen;
};

TEST_F(JointGeneratorTest, InitAcceptsSlicingOnlyInItsRange) {
    struct Case {
        int ms;
        long sliceUs;
        bool rangeLine;
    };
    const Case cases[] = {{4, 50000, true}, {5, 5000, false}, {100, 100000, false}, {101, 50000, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ms);
        PathGenerator_01Joint g(2);
        TestSupport::LogCapture capture;
        g.Init(true, c.ms, false);
        EXPECT_EQ(g.sliceUs, c.sliceUs);
        EXPECT_EQ(capture.Contains("PathGenerator_01Joint: SlicingMS from ini File smaller/bigger "
                                   "than min/max: 5 <= " + std::to_string(c.ms) + " <= 100"),
                  c.rangeLine);
        EXPECT_TRUE(capture.Contains("PathGenerator_01Joint: Optimize: 1 LookAhead: 2 SlicingMS: " +
                                     std::to_string(c.sliceUs / 1000)));
    }
    TestSupport::LogCapture capture;
    gen.Init(false, 20, true);
    EXPECT_FALSE(capture.Contains("PathGenerator_01Joint: Optimize"));
}

TEST_F(JointGeneratorTest, AccelerationBaseHasAFloorOfFive) {
    EXPECT_FLOAT_EQ(PathGeneratorTestAccess::Acc(gen).accBase[0], 300.0f);
    float vel[9] = {}, acc[9] = {1, 5, 4.99f, 100, 300, 0, -2, 7, 5.01f}, inc[9] = {};
    gen.InitVelAcc(vel, acc, inc, 0, 0, 0, 0, 0, 0);
    const float expected[9] = {5, 5, 5, 100, 300, 5, 5, 7, 5.01f};
    for (int j = 0; j < 9; ++j) EXPECT_FLOAT_EQ(PathGeneratorTestAccess::Acc(gen).accBase[j], expected[j]) << j;
}

TEST_F(JointGeneratorTest, FortySlicesRunUntilTheirEndThenGiveTheSuccessor) {
    PlanWith(false, {MakeJointMove({40, 0, 0, 0, 0, 0, 0, 0, 20}, 40, 17)});
    ASSERT_TRUE(gen.IsPathAvailable());
    ASSERT_EQ(gen.ServedSamples().size(), 41u);
    EXPECT_EQ(gen.GetResult(), 0);

    float joints[9];
    int index = -5;
    struct Probe {
        long tUs;
        int ret;
        float a1;
        float e3;
    };
    const Probe probes[] = {{0, -1, 0.0f, 0.0f},
                            {25000, -1, 0.5f, 0.25f},  // halfway into the first slice
                            {1000000, -1, 20.0f, 10.0f},
                            {2000000, -1, 40.0f, 20.0f},
                            {2049999, -1, 40.0f, 20.0f},
                            {2050000, 17, 40.0f, 20.0f},
                            {9000000, 17, 40.0f, 20.0f}};
    for (const Probe& p : probes) {
        SCOPED_TRACE(p.tUs);
        EXPECT_EQ(gen.GetJointPosition(p.tUs, joints, &index), p.ret);
        EXPECT_NEAR(joints[0], p.a1, 1e-4);
        EXPECT_NEAR(joints[8], p.e3, 1e-4);
        EXPECT_EQ(index, 0);
    }
}

TEST_F(JointGeneratorTest, CommandsFollowEachOtherWithTheirOwnIndices) {
    auto first = MakeJointMove({10, 0, 0, 0, 0, 0, 0, 0, 0}, 4, 1);
    auto second = MakeJointMove({10, 20, 0, 0, 0, 0, 0, 0, 0}, 6, 2);
    second->type = 1;  // Cartesian: the pose goes through the inverse kinematic
    second->target[0] = 10;
    second->target[1] = 20;
    PlanWith(false, {first, second}, {0, 0, 0});
    ASSERT_TRUE(gen.IsPathAvailable());
    ASSERT_EQ(gen.ServedSamples().size(), 11u);
    float joints[9];
    int index = -5;
    EXPECT_EQ(gen.GetJointPosition(4 * 50000, joints, &index), -1);
    EXPECT_EQ(index, 0);
    EXPECT_NEAR(joints[0], 10.0f, 1e-4);
    EXPECT_EQ(gen.GetJointPosition(7 * 50000, joints, &index), -1);
    EXPECT_EQ(index, 1);
    EXPECT_NEAR(joints[1], 10.0f, 1e-4);
    EXPECT_EQ(gen.GetJointPosition(11 * 50000, joints, &index), 2);
    EXPECT_NEAR(joints[1], 20.0f, 1e-4);
    ASSERT_EQ(gen.cornerSamples.size(), 1u);
    EXPECT_EQ(gen.cornerSamples[0], 4);
}

TEST_F(JointGeneratorTest, KinematicErrorRefusesTheTargetBeforeAnythingIsServed) {
    // a1 would reach its limit half-way: nothing of the path may be driven.
    static_cast<FakeKinematic&>(PathGeneratorTestAccess::Kinematic(gen)).a1Limit = 5.5f;
    PlanWith(false, {MakeJointMove({10, 0, 0, 0, 0, 0, 0, 0, 0}, 10, 3)});
    EXPECT_FALSE(gen.IsPathAvailable());
    EXPECT_EQ(gen.GetResult(), -1);
    const auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "Kinematic error: Joint limit min reached");
}

TEST_F(JointGeneratorTest, FailuresWhilePlanningAreErrorEventsAndNoPath) {
    struct Case {
        const char* name;
        int type;
        int steps;
        int throwAt;
        bool optimize;
        long slicingMs;
        const char* text;
    };
    const Case cases[] = {
        {"command throws", 0, 10, 3, false, 50, "PG: Error in ComputePath (1): boom"},
        // A move that would need more samples than allowed is not cut short silently.
        {"endless joint move", 0, -1, 0, false, 5,
         "PG: Error in ComputePath (1): PG: aborting interpolation Joint"},
        {"endless Cartesian move", 1, -1, 0, false, 5,
         "PG: Error in ComputePath (1): PG: aborting interpolation Linear"},
        // More than 5000 re-timing steps fail even without a stalled joint.
        {"long optimised path", 0, 6000, 0, true, 5,
         "PG: Error in ComputePath (2): LimitForward: joint -1 stalled at i=5000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> lock(gEvents.m);
            gEvents.texts.clear();
        }
        gen.Init(c.optimize, static_cast<int>(c.slicingMs), true);
        auto cmd = MakeJointMove({6, 0, 0, 0, 0, 0, 0, 0, 0}, c.steps, 4);
        cmd->type = c.type;
        cmd->throwAtStep = c.throwAt;
        cmd->thrower = [] { throw std::runtime_error("boom"); };
        TestSupport::LogCapture capture;
        PlanWith(c.optimize, {cmd});
        EXPECT_FALSE(gen.IsPathAvailable());
        EXPECT_EQ(gen.GetResult(), -1);
        const auto events = Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0], c.text);
        EXPECT_EQ(gEvents.a, -1);
        EXPECT_EQ(gEvents.b, -1);
        EXPECT_TRUE(capture.Contains(c.text));
    }
}

TEST_F(JointGeneratorTest, CornerIsSmoothedOverTheSmoothingPercentInSamples) {
    struct Case {
        int firstSteps;
        int smoothing;
        int expectedHalf;
    };
    // The corner sits after the first command's last sample; near the start fewer
    // samples are available.
    const Case cases[] = {{20, 5, 5}, {3, 5, 3}, {20, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firstSteps);
        auto first = MakeJointMove({static_cast<float>(c.firstSteps), 0, 0, 0, 0, 0, 0, 0, 0},
                                   c.firstSteps, 1);
        first->motion.smoothPercent = static_cast<float>(c.smoothing);
        auto second = MakeJointMove({static_cast<float>(c.firstSteps), 20, 0, 0, 0, 0, 0, 0, 0}, 20, 2);
        PlanWith(false, {first, second});
        const std::vector<JointSet> raw = gen.ServedSamples();
        gen.rawSamples = raw;
        gen.cornerSamples = {c.firstSteps};
        gen.cornerSmooth = {static_cast<float>(c.smoothing)};
        gen.SmoothCorner();
        const int k = c.firstSteps;
        for (int i = 0; i < static_cast<int>(raw.size()); ++i) {
            const bool inside = i >= k - c.expectedHalf && i < k + c.expectedHalf;
            const bool changed = std::fabs(raw[i].joints[0] - gen.rawSamples[i].joints[0]) > 1e-5f ||
                                 std::fabs(raw[i].joints[1] - gen.rawSamples[i].joints[1]) > 1e-5f;
            if (!inside) {
                EXPECT_FALSE(changed) << "sample " << i;
            } else if (i > k - c.expectedHalf) {
                EXPECT_TRUE(changed) << "sample " << i;
            }
        }
    }
}

// Second differences of a1..a3 per slice, in units/s^2.
double MaxAcceleration(const std::vector<JointSet>& s, int joint, double dt) {
    double worst = 0.0;
    for (size_t i = 1; i + 1 < s.size(); ++i) {
        const double a = (s[i + 1].joints[joint] - 2.0 * s[i].joints[joint] + s[i - 1].joints[joint]) /
                         (dt * dt);
        worst = std::max(worst, std::fabs(a));
    }
    return worst;
}

TEST_F(JointGeneratorTest, OptimisedPathKeepsTheAccelerationLimitOfTheFirstThreeJoints) {
    struct Case {
        const char* name;
        std::initializer_list<float> target;
        float accPercent;
    };
    const Case cases[] = {{"a1 fast", {90, 0, 0, 0, 0, 0, 0, 0, 0}, 100.0f},
                          {"a2 and a3 at half acceleration", {0, -60, 45, 0, 0, 0, 0, 0, 0}, 50.0f},
                          {"a1 with a4", {60, 0, 0, 90, 0, 0, 0, 0, 0}, 100.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto rawCmd = MakeJointMove(c.target, 10, 1);
        rawCmd->motion.accPercent = c.accPercent;
        PlanWith(false, {rawCmd});
        const std::vector<JointSet> raw = gen.ServedSamples();
        auto optCmd = MakeJointMove(c.target, 10, 1);
        optCmd->motion.accPercent = c.accPercent;
        PlanWith(true, {optCmd});
        ASSERT_TRUE(gen.IsPathAvailable());
        const std::vector<JointSet>& opt = gen.ServedSamples();
        EXPECT_GT(opt.size(), raw.size());
        const double limit = 300.0 * c.accPercent / 100.0;
        for (int j = 0; j < 3; ++j) {
            EXPECT_LE(MaxAcceleration(opt, j, 0.05), limit * 1.01) << "joint " << j;
        }
        // Same geometry: same start and end, every sample on the straight raw path.
        for (int j = 0; j < 9; ++j) {
            EXPECT_NEAR(opt.front().joints[j], raw.front().joints[j], 1e-4);
            EXPECT_NEAR(opt.back().joints[j], raw.back().joints[j], 1e-4);
        }
        const float* end = raw.back().joints;
        int lead = 0;
        while (end[lead] == 0.0f) ++lead;
        for (const JointSet& s : opt) {
            const float f = s.joints[lead] / end[lead];
            EXPECT_GE(f, -1e-4f);
            EXPECT_LE(f, 1.0f + 1e-4f);
            for (int j = 0; j < 9; ++j) EXPECT_NEAR(s.joints[j], f * end[j], 1e-3) << "joint " << j;
        }
    }
}

TEST_F(JointGeneratorTest, WristAndExternalAxesAreNeverLimited) {
    PlanWith(true, {MakeJointMove({0, 0, 0, 90, -90, 90, 50, 50, 50}, 10, 1)});
    ASSERT_TRUE(gen.IsPathAvailable());
    EXPECT_EQ(gen.ServedSamples().size(), 11u);
    float joints[9];
    int index = 0;
    gen.GetJointPosition(5 * 50000, joints, &index);
    EXPECT_NEAR(joints[3], 45.0f, 1e-3);
    EXPECT_NEAR(joints[6], 25.0f, 1e-3);
}

TEST_F(JointGeneratorTest, ConcurrentNewRequestCancelsTheSamplingOne) {
    auto slow = MakeJointMove({90, 0, 0, 0, 0, 0, 0, 0, 0}, 5000, 1);
    slow->stepDelayUs = 1000;
    LogSingleton::instance()->set_pathGeneratorFlagOptimize(false);
    TestSupport::LogCapture capture;
    DataTypes::RobotState state;
    gen.SetFirstCmd(slow, &state, 0, 1);
    gen.ComputePathStartThread();
    ASSERT_TRUE(WaitFor([&] { return slow->calls.load() > 0; }));

    auto quick = MakeJointMove({0, 10, 0, 0, 0, 0, 0, 0, 0}, 4, 9);
    gen.SetFirstCmd(quick, &state, 5, 9);
    EXPECT_FALSE(gen.IsPathAvailable());
    gen.ComputePathStartThread();
    ASSERT_TRUE(WaitFor([&] { return !gen.IsThreadRunning(); }));
    EXPECT_TRUE(capture.Contains("ComputePath: PathGeneration cancelled"));
    EXPECT_LT(slow->calls.load(), 5000);
    ASSERT_TRUE(gen.IsPathAvailable());
    ASSERT_EQ(gen.ServedSamples().size(), 5u);  // only the newest request's samples
    float joints[9];
    int index = 0;
    EXPECT_EQ(gen.GetJointPosition(5 * 50000, joints, &index), 9);
    EXPECT_EQ(index, 5);
    EXPECT_NEAR(joints[1], 10.0f, 1e-4);
}

}  // namespace
