#include "motion/PathGenerator_02Linear.h"
#include "motion/CircleParameters.h"
#include "motion/PathElementLine.h"
#include "motion/PathElementSpline.h"

#include "PathGeneratorFakes.h"
#include "testsupport/TestSupport.h"
#include "testsupport/PathGeneratorTestAccess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct EventRecord {
    std::mutex m;
    std::vector<std::string> texts;
};
EventRecord gLinearEvents;

void RecordLinearEvent(HVPEventType event, int, int, const std::string& text) {
    std::lock_guard<std::mutex> lock(gLinearEvents.m);
    EXPECT_EQ(event, HVP_EVENT_ERROR);
    gLinearEvents.texts.push_back(text);
}

// The fake commands' targets as the Cartesian planner needs them: the pose translation
// is the target's a1..a3 (the fake kinematic's own mapping); a thrower fires here.
class LinearCommandAccess : public FakeCommandAccess {
public:
    void GetTargetPosition(Command& c, DataTypes::RobotState* current, DataTypes::RobotState* target,
                           float& velCart, float& velJoint, float& acc, float& smooth) const override {
        if (c.thrower) c.thrower();
        FakeCommandAccess::GetTargetPosition(c, current, target, velCart, velJoint, acc, smooth);
        target->pose.SetTranslation(DataTypes::Vector3(c.target[0], c.target[1], c.target[2]));
    }
    const CircleParameters* GetCircle(const Command& c) const override {
        auto found = circles.find(&c);
        return found == circles.end() ? nullptr : found->second.get();
    }

    std::map<const Command*, std::unique_ptr<CircleParameters>> circles;
};

constexpr float kVel = 200.0f;    // mm/s, Cartesian commands
constexpr long kCycleUs = 4000;  // robot cycle

std::shared_ptr<Command> MakeMove(int type, float x, float y, float z, int next, float smooth = 0.0f) {
    auto c = std::make_shared<Command>();
    c->type = type;
    c->className = type == 0 ? "CommandJoint" : "CommandLinear";
    c->target[0] = x;
    c->target[1] = y;
    c->target[2] = z;
    c->next = next;
    c->motion.velCartesian = kVel;
    c->motion.velJointPercent = 50.0f;
    c->motion.accPercent = 100.0f;
    c->motion.smoothPercent = smooth;
    return c;
}

class LinearGeneratorTest : public ::testing::Test {
protected:
    void Make(int lookAhead) {
        gen = std::make_unique<PathGenerator_02Linear>(20.0f, 20.0f, lookAhead);
        gen->SetCommandAccess(&access);
        gen->SetKinematic(std::make_unique<FakeKinematic>());
        gen->SetResultCallback(&RecordLinearEvent);
        float vel[9], acc[9], jerk[9];
        for (int j = 0; j < 9; ++j) {
            // The fake's joints are the tool point in mm: limits well above the Cartesian
            // speed keep the planner from slowing these paths for their joints.
            vel[j] = j < 6 ? 1000.0f : 100.0f;
            acc[j] = 400.0f;
            jerk[j] = 2000.0f;
        }
        gen->InitVelAcc(vel, acc, jerk, 500.0, 2000.0, 10000.0, 90.0, 360.0, 2000.0);
        std::lock_guard<std::mutex> lock(gLinearEvents.m);
        gLinearEvents.texts.clear();
    }

    // Requests the commands (program indices 0, 1, ...) from the origin and waits for the
    // planning thread.
    void Plan(const std::vector<std::shared_ptr<Command>>& commands) {
        DataTypes::RobotState state;
        gen->SetFirstCmd(commands[0], &state, 0, commands[0]->next);
        for (size_t i = 1; i < commands.size(); ++i) {
            gen->SetNextCmd(commands[i], static_cast<int>(i), commands[i]->next);
        }
        gen->ComputePathStartThread();
        ASSERT_TRUE(WaitFor([&] { return !gen->IsThreadRunning(); }));
    }

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (int k = 0; k < gen->elementCount; ++k) names.push_back(gen->elements[k]->name);
        return names;
    }

    // Walks the path cycle by cycle until the successor comes back; returns it and the
    // path time (µs) of that cycle, checks the Cartesian step bound on the way.
    int Walk(bool checkSteps, long* endUs, float* joints) {
        float prev[9] = {};
        int cmdIndex = -1;
        for (long t = kCycleUs; t < 60L * 1000000L; t += kCycleUs) {
            const int r = gen->GetJointPosition(t, joints, &cmdIndex);
            if (checkSteps) {
                const float dx = joints[0] - prev[0], dy = joints[1] - prev[1], dz = joints[2] - prev[2];
                const float step = std::sqrt(dx * dx + dy * dy + dz * dz);
                EXPECT_LE(step, kVel * kCycleUs / 1e6f * 1.01f) << "at t=" << t;
            }
            for (int j = 0; j < 9; ++j) prev[j] = joints[j];
            if (r != -1) {
                *endUs = t;
                return r;
            }
        }
        ADD_FAILURE() << "path never ended";
        return -1;
    }

    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(gLinearEvents.m);
        return gLinearEvents.texts;
    }

    LinearCommandAccess access;
    std::unique_ptr<PathGenerator_02Linear> gen;
};

TEST_F(LinearGeneratorTest, SingleLineEndsAtItsDurationWithItsSuccessor) {
    Make(5);
    Plan({MakeMove(1, 100.0f, 50.0f, 0.0f, 7)});
    ASSERT_TRUE(gen->IsPathAvailable());
    ASSERT_EQ(Names(), std::vector<std::string>{"Line"});
    auto& line = static_cast<Programs::PathElementLine&>(*gen->elements[0]);
    EXPECT_FLOAT_EQ(line.curves[0].vel, kVel);
    EXPECT_FLOAT_EQ(line.curves[0].velStart, 0.0f);
    EXPECT_FLOAT_EQ(line.curves[0].velEnd, 0.0f);
    const float durationMs = line.GetDuration();
    EXPECT_FLOAT_EQ(PathGeneratorTestAccess::Times(*gen)[0], durationMs);

    float joints[9];
    long endUs = 0;
    EXPECT_EQ(Walk(true, &endUs, joints), 7);
    // The element reports its end one measured cycle early, so the successor comes in
    // the last cycle before the element's duration.
    EXPECT_LT(endUs / 1000.0f, durationMs);
    EXPECT_GE((endUs + kCycleUs) / 1000.0f, durationMs);
    EXPECT_NEAR(joints[0], 100.0f, 1e-3f);
    EXPECT_NEAR(joints[1], 50.0f, 1e-3f);
    EXPECT_NEAR(joints[2], 0.0f, 1e-3f);
}

TEST_F(LinearGeneratorTest, CallAfterTheEndReturnsTheSuccessorAgain) {
    Make(5);
    Plan({MakeMove(1, 0.0f, 0.0f, 80.0f, 4, 50.0f), MakeMove(1, 60.0f, 0.0f, 80.0f, 9)});
    ASSERT_TRUE(gen->IsPathAvailable());
    float joints[9];
    long endUs = 0;
    ASSERT_EQ(Walk(false, &endUs, joints), 9);
    for (long later : {endUs + kCycleUs, endUs + 10 * kCycleUs}) {
        float again[9] = {};
        int cmdIndex = -1;
        EXPECT_EQ(gen->GetJointPosition(later, again, &cmdIndex), 9);
        EXPECT_EQ(cmdIndex, 1);
        for (int j = 0; j < 9; ++j) EXPECT_FLOAT_EQ(again[j], joints[j]);
    }
}

TEST_F(LinearGeneratorTest, TwoLinesAreBlendedWithTheVelocitiesTheyReach) {
    Make(5);
    Plan({MakeMove(1, 100.0f, 0.0f, 0.0f, 1, 50.0f), MakeMove(1, 100.0f, 100.0f, 0.0f, 2)});
    ASSERT_TRUE(gen->IsPathAvailable());
    ASSERT_EQ(Names(), (std::vector<std::string>{"Line", "Spline", "Line"}));
    Programs::PathElement& first = *gen->elements[0];
    Programs::PathElement& blend = *gen->elements[1];
    Programs::PathElement& second = *gen->elements[2];
    auto& firstLine = static_cast<Programs::PathElementLine&>(first);
    auto& secondLine = static_cast<Programs::PathElementLine&>(second);
    EXPECT_FLOAT_EQ(firstLine.curves[0].velStart, 0.0f);
    EXPECT_FLOAT_EQ(firstLine.curves[0].velEnd, kVel);
    EXPECT_FLOAT_EQ(secondLine.curves[0].velStart, kVel);
    EXPECT_FLOAT_EQ(secondLine.curves[0].velEnd, 0.0f);
    EXPECT_FLOAT_EQ(blend.velStart, first.GetVel());
    EXPECT_FLOAT_EQ(blend.velEnd, second.GetVel());
    EXPECT_GT(blend.velStart, 0.0f);

    // Smoothing 50 % of 20 mm cuts 10 mm off each side of the corner.
    EXPECT_NEAR(firstLine.target.pose(0, 3), 90.0f, 1e-3f);
    EXPECT_NEAR(secondLine.start.pose(1, 3), 10.0f, 1e-3f);

    EXPECT_LT(0.0f, PathGeneratorTestAccess::Times(*gen)[0]);
    EXPECT_LT(PathGeneratorTestAccess::Times(*gen)[0], PathGeneratorTestAccess::Times(*gen)[1]);
    EXPECT_LT(PathGeneratorTestAccess::Times(*gen)[1], PathGeneratorTestAccess::Times(*gen)[2]);

    float joints[9];
    long endUs = 0;
    EXPECT_EQ(Walk(true, &endUs, joints), 2);
    EXPECT_LT(endUs / 1000.0f, PathGeneratorTestAccess::Times(*gen)[2]);
    EXPECT_GE((endUs + kCycleUs) / 1000.0f, PathGeneratorTestAccess::Times(*gen)[2]);
    EXPECT_NEAR(joints[0], 100.0f, 1e-3f);
    EXPECT_NEAR(joints[1], 100.0f, 1e-3f);
}

TEST_F(LinearGeneratorTest, CornerAtAnArcIsBlendedAlongBothTangents) {
    Make(5);
    // +x line into a half circle around (150, 0, 0) that starts toward +y.
    auto line = MakeMove(1, 100.0f, 0.0f, 0.0f, 1, 50.0f);
    auto arc = MakeMove(1, 200.0f, 0.0f, 0.0f, 2);
    arc->className = "CommandCircular";
    access.circles[arc.get()] = std::make_unique<CircleParameters>(
        DataTypes::Vector3(100, 0, 0), DataTypes::Vector3(150, 50, 0), DataTypes::Vector3(200, 0, 0));
    Plan({line, arc});
    ASSERT_TRUE(gen->IsPathAvailable());
    ASSERT_EQ(Names(), (std::vector<std::string>{"Line", "Spline", "Circular"}));

    auto& blend = static_cast<Programs::PathElementSpline&>(*gen->elements[1]);
    const Programs::PathElement& circular = *gen->elements[2];
    const DataTypes::Vector3 a = blend.posPoint[0];
    const DataTypes::Vector3 b = blend.posPoint[3];
    EXPECT_NEAR(a.x, 90.0f, 1e-3f);
    EXPECT_NEAR(a.y, 0.0f, 1e-3f);
    EXPECT_GT(circular.startDir.y, 0.9f);
    const float d = 0.3f * (b - a).Magnitude();
    const DataTypes::Vector3 c1 = a + DataTypes::Vector3(1, 0, 0) * d;
    const DataTypes::Vector3 c2 = b - circular.startDir * d;
    EXPECT_LT((blend.posPoint[1] - c1).Magnitude(), 1e-3f);
    EXPECT_LT((blend.posPoint[2] - c2).Magnitude(), 1e-3f);

    float joints[9];
    long endUs = 0;
    EXPECT_EQ(Walk(true, &endUs, joints), 2);
    EXPECT_NEAR(joints[0], 200.0f, 1e-3f);
    EXPECT_NEAR(joints[1], 0.0f, 1e-3f);
}

TEST_F(LinearGeneratorTest, CancelledBuildPublishesNothing) {
    Make(5);
    DataTypes::RobotState state;
    gen->SetFirstCmd(MakeMove(1, 100.0f, 0.0f, 0.0f, 1, 50.0f), &state, 0, 1);
    gen->SetNextCmd(MakeMove(1, 100.0f, 100.0f, 0.0f, 2), 1, 2);
    gen->RequestCancel();
    gen->ComputePath();
    EXPECT_FALSE(gen->IsPathAvailable());
    EXPECT_EQ(gen->elementCount, 0);
}

// Which commands one request plans: all of the first command's kind up to the
// look-ahead; a command of the other kind ends the chain.
TEST_F(LinearGeneratorTest, ChainHoldsTheCommandsOfTheFirstKindWithinTheLookAhead) {
    struct Case {
        const char* label;
        std::vector<int> types;
        int lookAhead;
        std::vector<std::string> names;
        bool lookAheadLine;
    };
    const std::vector<Case> cases = {
        {"joint after lines", {1, 1, 0}, 5, {"Line", "Spline", "Line"}, false},
        {"line after joint closes, later joint too", {0, 1, 0}, 5, {"Joint"}, false},
        {"joint moves blend in joint space", {0, 0}, 5, {"Joint", "Spline", "Joint"}, false},
        {"look-ahead full", {1, 1, 1, 1}, 3, {"Line", "Spline", "Line", "Spline", "Line"}, true},
    };
    // Corners of a square, 100 mm (or joint units) per side.
    const float corners[4][3] = {{100, 0, 0}, {100, 100, 0}, {0, 100, 0}, {0, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Make(c.lookAhead);
        std::vector<std::shared_ptr<Command>> commands;
        for (size_t i = 0; i < c.types.size(); ++i) {
            commands.push_back(
                MakeMove(c.types[i], corners[i][0], corners[i][1], corners[i][2], 10 + static_cast<int>(i), 50.0f));
        }
        TestSupport::LogCapture capture;
        Plan(commands);
        ASSERT_TRUE(gen->IsPathAvailable());
        EXPECT_EQ(Names(), c.names);
        EXPECT_EQ(capture.Contains("PGLinear::Could not set Position, look-ahead is limited"), c.lookAheadLine);

        const int planned = (static_cast<int>(c.names.size()) + 1) / 2;
        float joints[9];
        long endUs = 0;
        EXPECT_EQ(Walk(c.types[0] == 1, &endUs, joints), 10 + planned - 1);
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(joints[j], corners[planned - 1][j], 1e-3f);
    }
}

TEST_F(LinearGeneratorTest, FailuresBecomePlanningErrors) {
    struct Case {
        const char* label;
        std::function<void()> thrower;
        float x;  // target; 0 is the start, a line without length
        std::string logLine;
        std::string eventText;
    };
    const std::vector<Case> cases = {
        {"runtime error", [] { throw std::runtime_error("no target"); }, 50.0f,
         "Exception during path generation: no target", "PathGen ERROR: no target"},
        {"integer code", [] { throw 5; }, 50.0f, "int-exception during path generation: 5", "PathGen ERROR: 5"},
        {"line without length", nullptr, 0.0f, "Exception during path generation: tried to normalize zero length vector",
         "PathGen ERROR: tried to normalize zero length vector"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Make(5);
        auto command = MakeMove(1, c.x, 0.0f, 0.0f, 3);
        command->thrower = c.thrower;
        TestSupport::LogCapture capture;
        Plan({command});
        EXPECT_FALSE(gen->IsPathAvailable());
        EXPECT_EQ(gen->GetResult(), -1);
        EXPECT_TRUE(capture.Contains(c.logLine)) << capture.Joined();
        EXPECT_EQ(Events(), std::vector<std::string>{c.eventText});
    }
}

}  // namespace
