// Cartesian paths and joint moves on the demo's four-axis arm, checked at planning: a target
// or any pose on the way past a soft limit, outside the virtual box or out of reach refuses
// the request before anything is served; every path that is served stays within the limits
// and the box, and no joint runs faster than its velocity limit.

#include "kinematics/RobotKinematicPivra4.h"
#include "motion/CircleParameters.h"
#include "motion/PathGenerator_02Linear.h"

#include "PathGeneratorFakes.h"
#include "testsupport/PathGeneratorTestAccess.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace {

using DataTypes::RobotState;
using DataTypes::Vector3;
using Joints = std::array<float, 9>;

const std::string kDemoRobot = std::string(BELVANTO_FIXTURES_DIR) + "/../../demo/Data/Robots/JXRPivra4/JXRPivra4.xml";
constexpr int kCycleMs = 10;  // the demo robot's cycle

std::unique_ptr<RobotKinematicPivra4> DemoArm() {
    auto arm = std::make_unique<RobotKinematicPivra4>();
    arm->Init("Demo", "JXRPivra4", kDemoRobot, 1);
    arm->cycleTimeMS = kCycleMs;
    return arm;
}

// The state of the arm at these joints, pose included.
RobotState At(RobotKinematic& arm, const Joints& q) {
    RobotState s;
    std::copy(q.begin(), q.end(), s.jointSet);
    arm.SetJoints(s.jointSet, false);
    arm.GetPosition(&s);
    s.UpdateABC();
    return s;
}

struct Events {
    std::mutex m;
    std::vector<std::string> texts;
};
Events gEvents;

void Record(HVPEventType, int, int, const std::string& text) {
    std::lock_guard<std::mutex> lock(gEvents.m);
    gEvents.texts.push_back(text);
}

// What each fake command hands the planner: the whole target state and, for an arc, the
// help point of its circle.
class PoseAccess : public FakeCommandAccess {
public:
    struct Target {
        RobotState state;
        bool arc = false;
        Vector3 help;
    };

    void GetTargetPosition(Command& c, RobotState* current, RobotState* target, float& velCart, float& velJoint,
                           float& acc, float& smooth) const override {
        const Target& t = targets.at(&c);
        *target = t.state;
        if (t.arc) circles[&c] = std::make_unique<CircleParameters>(current->pose.GetTranslation(), t.help,
                                                                   t.state.pose.GetTranslation());
        velCart = c.motion.velCartesian;
        velJoint = c.motion.velJointPercent;
        acc = c.motion.accPercent;
        smooth = c.motion.smoothPercent;
    }
    const CircleParameters* GetCircle(const Command& c) const override {
        auto found = circles.find(&c);
        return found == circles.end() ? nullptr : found->second.get();
    }

    std::map<const Command*, Target> targets;
    mutable std::map<const Command*, std::unique_ptr<CircleParameters>> circles;
};

// One move of a request: to the pose (Cartesian) or the joints (joint move) of `to`,
// through the pose of `help` for an arc.
struct Move {
    enum Kind { Line, Arc, Joint } kind;
    Joints to;
    Joints help{};
    bool helpIsPoint = false;  // the help point is helpPoint, not the pose of help
    Vector3 helpPoint{};
    Vector3 shift{};  // added to the target's position
};

class DemoArmPlanner {
public:
    explicit DemoArmPlanner(std::unique_ptr<RobotKinematicPivra4> planArm = DemoArm())
        : arm(DemoArm()), gen(100.0f, 10.0f, 5) {
        gen.SetCommandAccess(&access);
        gen.SetResultCallback(&Record);
        gen.InitVelAcc(planArm->jointMaxVelocity, planArm->jointMaxAcceleration, planArm->jointMaxAccelerationInc,
                       planArm->VelTrans, planArm->AccLin, planArm->AccLinInc, planArm->VelOri, planArm->AccOri,
                       planArm->AccOriInc);
        gen.SetKinematic(std::move(planArm));
        std::lock_guard<std::mutex> lock(gEvents.m);
        gEvents.texts.clear();
    }

    // Plans the moves from start (blended with the smoothing given) and waits for the
    // planning thread.
    void Plan(const Joints& start, const std::vector<Move>& moves, float velCart = 250.0f, float smooth = 0.0f) {
        commands.clear();
        for (std::size_t i = 0; i < moves.size(); ++i) {
            auto c = std::make_shared<Command>();
            const Move& m = moves[i];
            c->type = m.kind == Move::Joint ? 0 : 1;
            c->className = m.kind == Move::Arc     ? "CommandCircular"
                           : m.kind == Move::Joint ? "CommandJoint"
                                                   : "CommandLinear";
            c->next = static_cast<int>(i) + 1;
            c->motion.velCartesian = velCart;
            c->motion.velJointPercent = 100.0f;
            c->motion.accPercent = 100.0f;
            c->motion.smoothPercent = i + 1 < moves.size() ? smooth : 0.0f;
            PoseAccess::Target& t = access.targets[c.get()];
            t.state = At(*arm, m.to);
            t.state.pose.SetTranslation(t.state.pose.GetTranslation() + m.shift);
            t.arc = m.kind == Move::Arc;
            if (t.arc) t.help = m.helpIsPoint ? m.helpPoint : At(*arm, m.help).pose.GetTranslation();
            commands.push_back(c);
        }
        startState = At(*arm, start);
        RobotState state = startState;
        gen.SetFirstCmd(commands[0], &state, 0, commands[0]->next);
        for (std::size_t i = 1; i < commands.size(); ++i) {
            gen.SetNextCmd(commands[i], static_cast<int>(i), commands[i]->next);
        }
        gen.ComputePathStartThread();
        ASSERT_TRUE(WaitFor([&] { return !gen.IsThreadRunning(); }, 30000));
    }

    std::vector<std::string> EventTexts() {
        std::lock_guard<std::mutex> lock(gEvents.m);
        return gEvents.texts;
    }

    // The served path, one set-point per millisecond of path time, until the successor.
    std::vector<Joints> Walk() {
        std::vector<Joints> out;
        int cmdIndex = -1;
        for (long t = 1000; t < 120L * 1000000L; t += 1000) {
            Joints q{};
            const int r = gen.GetJointPosition(t, q.data(), &cmdIndex);
            out.push_back(q);
            if (r != -1) return out;
        }
        ADD_FAILURE() << "path never ended";
        return out;
    }

    std::unique_ptr<RobotKinematicPivra4> arm;  // the test's own, for poses
    PoseAccess access;
    PathGenerator_02Linear gen;
    std::vector<std::shared_ptr<Command>> commands;
    RobotState startState;
};

// ---------------------------------------------------------------- refused

struct RefusalCase {
    const char* name;
    Joints start;
    std::vector<Move> moves;
    bool floorAt200;  // virtual box active with its floor at z 200
    const char* text;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refused, BeforeAnythingIsServed) {
    const RefusalCase& c = GetParam();
    auto planArm = DemoArm();
    if (c.floorAt200) {
        planArm->virtualBoxActive = true;
        planArm->virtualBoxMin = Vector3(-800, -800, 200);
        planArm->virtualBoxMax = Vector3(800, 800, 900);
    }
    DemoArmPlanner p(std::move(planArm));
    TestSupport::LogCapture log;
    p.Plan(c.start, c.moves);
    const std::string text = std::string("Kinematic error: ") + c.text;
    EXPECT_FALSE(p.gen.IsPathAvailable());
    EXPECT_EQ(p.gen.GetResult(), -1);
    EXPECT_EQ(p.EventTexts(), std::vector<std::string>{text});
    EXPECT_TRUE(log.Contains("PathGen: target refused before motion: " + text)) << log.Joined();
    // The copy is back at the start for the next request.
    float joints[9];
    PathGeneratorTestAccess::Kinematic(p.gen).GetJoints(joints);
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(joints[j], c.start[static_cast<std::size_t>(j)], 1e-3f) << "joint " << j;
}

INSTANTIATE_TEST_SUITE_P(
    DemoArm, Refused,
    ::testing::Values(
        // The demo arm: A1 -120..130, A2 -30..70, A3 -100..120, A4 -90..95.
        RefusalCase{"target_past_a1_limit", {100, 20, 70, 45}, {{Move::Line, {135, 20, 70, 45}}}, false,
                    "Joint limit max reached"},
        RefusalCase{"line_across_a1_180_between_ends_inside", {125, 20, 70, 45}, {{Move::Line, {-115, 20, 70, 45}}},
                    false, "Joint limit max reached"},
        RefusalCase{"arc_through_a1_180", {110, 20, 70, 45}, {{Move::Arc, {-110, 20, 70, 45}, {180, 20, 70, 45}}},
                    false, "Joint limit max reached"},
        RefusalCase{"second_of_blended_lines_past_a2", {0, 20, 70, 45},
                    {{Move::Line, {20, 40, 70, 45}}, {Move::Line, {20, 75, 40, 45}}}, false,
                    "Joint limit max reached"},
        // Straight down from z 360 to below the floor.
        RefusalCase{"line_below_box_floor", {0, 20, 70, 45}, {{Move::Line, {0, 40, 110, 30}}}, true,
                    "Virtual box violated in Z-"},
        RefusalCase{"joint_target_below_box_floor", {0, 20, 70, 45}, {{Move::Joint, {0, 40, 110, 30}}}, true,
                    "Virtual box violated in Z-"},
        // Straight up, 300 mm above the start: past the arm's stretch.
        RefusalCase{"line_out_of_reach", {0, 20, 70, 0}, {{Move::Line, {0, 20, 70, 0}, {}, false, {}, {0, 0, 300}}},
                    false, "Out of reach"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST(RefusedPreconditions, TheFloorCasesEndBelowTheFloorAndStartAbove) {
    auto arm = DemoArm();
    EXPECT_GT(At(*arm, {0, 20, 70, 45}).pose(2, 3), 200.0f);
    EXPECT_LT(At(*arm, {0, 40, 110, 30}).pose(2, 3), 200.0f);
}

// ---------------------------------------------------------------- served

// Every served set-point within the soft limits, and no joint step of a 10 ms cycle at
// override 100 beyond the joint's velocity limit.
void ExpectWithinLimits(const std::vector<Joints>& walk, RobotKinematic& arm) {
    float limits[9][2];
    arm.GetMinMaxValues(limits);
    float fastest[4] = {};
    for (std::size_t i = 0; i < walk.size(); ++i) {
        for (int j = 0; j < 4; ++j) {
            ASSERT_GE(walk[i][static_cast<std::size_t>(j)], limits[j][0] - 1e-3f) << "joint " << j << " at " << i;
            ASSERT_LE(walk[i][static_cast<std::size_t>(j)], limits[j][1] + 1e-3f) << "joint " << j << " at " << i;
            if (i >= static_cast<std::size_t>(kCycleMs)) {
                const float step = std::fabs(walk[i][static_cast<std::size_t>(j)] -
                                             walk[i - kCycleMs][static_cast<std::size_t>(j)]);
                fastest[j] = std::max(fastest[j], step);
            }
        }
    }
    for (int j = 0; j < 4; ++j) {
        EXPECT_LE(fastest[j], arm.jointMaxVelocity[j] * kCycleMs / 1000.0f * 1.001f) << "joint " << j;
    }
}

TEST(Served, BlendedLinesAndArcsStayWithinTheLimitsAndTheirJointSpeeds) {
    DemoArmPlanner p;
    p.Plan({0, 20, 70, 45},
           {{Move::Line, {40, 30, 80, 30}},
            {Move::Arc, {80, 20, 60, 45}, {60, 35, 70, 40}},
            {Move::Line, {60, 10, 90, 20}},
            {Move::Line, {-30, 25, 75, 50}}},
           250.0f, 50.0f);
    ASSERT_TRUE(p.gen.IsPathAvailable()) << ::testing::PrintToString(p.EventTexts());
    ExpectWithinLimits(p.Walk(), *p.arm);
}

// A chord across the front of the arm at 250 mm/s would take the elbow past its
// 40 degrees/s.
TEST(Served, AFastLineIsSlowedForTheJointThatWouldRunTooFast) {
    DemoArmPlanner p;
    auto arm = DemoArm();
    TestSupport::LogCapture log;
    p.Plan({-50, 30, 80, 40}, {{Move::Line, {50, 30, 80, 40}}}, 250.0f);
    ASSERT_TRUE(p.gen.IsPathAvailable()) << ::testing::PrintToString(p.EventTexts());
    EXPECT_TRUE(log.Contains("PGLinear: command 0 slowed to")) << log.Joined();
    const std::vector<Joints> walk = p.Walk();
    ExpectWithinLimits(walk, *arm);
    // Slowed, not crawling: the fastest joint comes close to its limit.
    float share = 0.0f;
    for (std::size_t i = kCycleMs; i < walk.size(); ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            const float step = std::fabs(walk[i][j] - walk[i - kCycleMs][j]);
            share = std::max(share, step / (arm->jointMaxVelocity[j] * kCycleMs / 1000.0f));
        }
    }
    EXPECT_GT(share, 0.85f);
}

// ---------------------------------------------------------------- joint speeds and jumps

// Joints from the tool point: a1 = x / 10, plus jump once x passes 50, and a2 = gain * x.
class GearedKinematic : public RobotKinematic {
public:
    GearedKinematic(float gainValue, float jumpValue) : gain(gainValue), jump(jumpValue) { nrOfJoints = 2; }
    std::unique_ptr<RobotKinematic> clone() const override {
        return std::make_unique<GearedKinematic>(gain, jump);
    }
    void SetJoints(const float* joints, bool) override {
        for (int j = 0; j < 9; ++j) currentJoints[j] = joints[j];
        currentPosition.SetTranslation(Vector3(joints[0], 0, 0));
    }
    void SetPosition(const DataTypes::Matrix44& target, float*) override {
        const float x = target(0, 3);
        currentJoints[0] = 0.1f * x + (x > 50.0f ? jump : 0.0f);
        currentJoints[1] = gain * x;
        currentPosition = target;
    }
    float gain;
    float jump;
};

struct SpeedCase {
    const char* name;
    float lengthMm, velCart;
    float gain, jump;
    const char* refusal;  // the start of the error text; nullptr: planned, at most at a2's limit
};

void PrintTo(const SpeedCase& c, std::ostream* os) { *os << c.name; }

class JointSpeeds : public ::testing::TestWithParam<SpeedCase> {};

// A line along x; every joint may run at 100 units/s.
TEST_P(JointSpeeds, ASegmentIsSlowedToItsFastestJointOrRefused) {
    const SpeedCase& c = GetParam();
    PathGenerator_02Linear gen(20.0f, 20.0f, 5);
    PoseAccess access;
    gen.SetCommandAccess(&access);
    gen.SetResultCallback(&Record);
    gen.SetKinematic(std::make_unique<GearedKinematic>(c.gain, c.jump));
    float vel[9], acc[9], jerk[9];
    for (int j = 0; j < 9; ++j) {
        vel[j] = 100.0f;
        acc[j] = 1000.0f;
        jerk[j] = 5000.0f;
    }
    gen.InitVelAcc(vel, acc, jerk, 500.0, 1e6, 1e8, 90.0, 360.0, 2000.0);
    {
        std::lock_guard<std::mutex> lock(gEvents.m);
        gEvents.texts.clear();
    }
    auto line = std::make_shared<Command>();
    line->type = 1;
    line->className = "CommandLinear";
    line->next = 1;
    line->motion.velCartesian = c.velCart;
    line->motion.accPercent = 100.0f;
    access.targets[line.get()].state.pose.SetTranslation(Vector3(c.lengthMm, 0, 0));
    RobotState start;
    TestSupport::LogCapture log;
    gen.SetFirstCmd(line, &start, 0, 1);
    gen.ComputePathStartThread();
    ASSERT_TRUE(WaitFor([&] { return !gen.IsThreadRunning(); }));
    if (c.refusal != nullptr) {
        EXPECT_FALSE(gen.IsPathAvailable());
        std::lock_guard<std::mutex> lock(gEvents.m);
        ASSERT_EQ(gEvents.texts.size(), 1u);
        EXPECT_EQ(gEvents.texts[0].rfind(std::string("PathGen ERROR: ") + c.refusal, 0), 0u) << gEvents.texts[0];
        return;
    }
    ASSERT_TRUE(gen.IsPathAvailable());
    EXPECT_EQ(log.Contains("PGLinear: command 0 slowed to"), c.gain > 0.5f) << log.Joined();
    float fastest = 0.0f;
    float previous = 0.0f;
    for (long t = 1000; t < 60L * 1000000L; t += 1000) {
        float q[9];
        int index = -1;
        const int r = gen.GetJointPosition(t, q, &index);
        fastest = std::max(fastest, std::fabs(q[1] - previous) * 1000.0f);
        previous = q[1];
        if (r != -1) break;
    }
    // a2 at most at its limit, and at it: slowed, not more.
    EXPECT_LE(fastest, 100.0f * 1.001f);
    EXPECT_GT(fastest, std::min(100.0f, c.velCart * c.gain) * 0.95f);
}

INSTANTIATE_TEST_SUITE_P(
    Geared, JointSpeeds,
    ::testing::Values(SpeedCase{"slow_enough", 100, 200, 0.4f, 0, nullptr},
                      SpeedCase{"twice_too_fast", 100, 200, 1.0f, 0, nullptr},
                      SpeedCase{"four_times_too_fast", 100, 200, 2.0f, 0, nullptr},
                      // 600000 units/s needed: below 0.1 % of the line's speed.
                      SpeedCase{"would_crawl", 10, 2000, 300.0f, 0,
                                "command 0 refused, joint 2 would move faster than 100.0/s even at 0.1% of its speed"},
                      SpeedCase{"jumps", 100, 200, 0.4f, 100, "joint 1 would jump from 5.00 to 105.00 on the path"}),
    [](const ::testing::TestParamInfo<SpeedCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- turns between poses

// Chords in front of the arm: a3 turns back on each. A limit a hair inside the turn
// refuses, one a hair outside it passes: the turn is found, and a path that only comes
// close to a limit is not refused.
TEST(Turns, AJointTurningBackJustPastItsLimitBetweenTwoPosesIsFound) {
    auto arm = DemoArm();
    for (float shift : {0.0f, 2.9f, 5.6f}) {
        SCOPED_TRACE(shift);
        const Joints a = {-35 + shift, 20, 70, 45};
        const Joints b = {35 + 2 * shift, 20, 70, 45};
        // a3 along the line, walked in steps of a few micrometres as the planner's line runs.
        const RobotState sa = At(*arm, a);
        const RobotState sb = At(*arm, b);
        arm->SetJoints(sa.jointSet, false);
        Vector3 axis;
        float angle = 0.0f;
        (sa.pose.Inverse() * sb.pose).GetAxisAngle(&axis, &angle);
        std::vector<float> a3;
        float joints[9] = {};
        constexpr int kSteps = 100000;
        for (int i = 0; i <= kSteps; ++i) {
            const float f = static_cast<float>(i) / kSteps;
            DataTypes::Matrix44 m = sa.pose;
            m.RotateAxisAngle(axis, angle * f);
            m.SetTranslation(sa.pose.GetTranslation() + (sb.pose.GetTranslation() - sa.pose.GetTranslation()) * f);
            arm->SetPosition(m, joints);
            arm->GetJoints(joints);
            a3.push_back(joints[2]);
        }
        const float sign = a3[kSteps / 2] > a3.front() ? 1.0f : -1.0f;
        const float turn = sign > 0 ? *std::max_element(a3.begin(), a3.end()) : *std::min_element(a3.begin(), a3.end());
        ASSERT_GT(std::fabs(turn - a3.front()), 1.0f) << "the chord must bend the elbow";
        ASSERT_GT(std::fabs(turn - a3.back()), 1.0f);

        for (float margin : {-0.002f, 0.002f}) {
            SCOPED_TRACE(margin);
            auto planArm = DemoArm();
            float limits[9][2];
            planArm->GetMinMaxValues(limits);
            limits[2][sign > 0 ? 1 : 0] = turn + sign * margin;
            planArm->SetMinMaxValues(limits);
            DemoArmPlanner p(std::move(planArm));
            p.Plan(a, {{Move::Line, b}}, 100.0f);
            if (margin < 0.0f) {
                EXPECT_FALSE(p.gen.IsPathAvailable());
                const char* text = sign > 0 ? "Kinematic error: Joint limit max reached"
                                            : "Kinematic error: Joint limit min reached";
                EXPECT_EQ(p.EventTexts(), std::vector<std::string>{text});
            } else {
                EXPECT_TRUE(p.gen.IsPathAvailable()) << ::testing::PrintToString(p.EventTexts());
            }
        }
    }
}

// Arcs in the arm's vertical plane whose top lies a hair above or below the box's ceiling:
// the top is found also where it lies between two checked poses (several arcs, so that
// some do).
TEST(Turns, AnArcPassingTheBoxCeilingBetweenTwoPosesIsFound) {
    auto arm = DemoArm();
    const Joints a = {0, 10, 100, 30};
    const Joints e = {0, 40, 60, 30};
    const Vector3 pa = At(*arm, a).pose.GetTranslation();
    const Vector3 pe = At(*arm, e).pose.GetTranslation();
    for (float rise : {30.0f, 31.1f, 32.6f, 34.3f, 35.8f, 37.2f}) {
        SCOPED_TRACE(rise);
        const Vector3 help = (pa + pe) * 0.5f + Vector3(0, 0, rise);
        const CircleParameters circle(pa, help, pe);
        double top = -1e9;
        for (int i = 0; i <= 200000; ++i) {
            top = std::max(top, static_cast<double>(circle.CalculatePosition(circle.angle * i / 200000.0).z));
        }
        ASSERT_GT(top, std::max(pa.z, pe.z) + 1.0);

        for (double margin : {-0.002, 0.002}) {
            SCOPED_TRACE(margin);
            auto planArm = DemoArm();
            planArm->virtualBoxActive = true;
            planArm->virtualBoxMin = Vector3(-800, -800, 0);
            planArm->virtualBoxMax = Vector3(800, 800, static_cast<float>(top + margin));
            DemoArmPlanner p(std::move(planArm));
            Move arc{Move::Arc, e};
            arc.helpIsPoint = true;
            arc.helpPoint = help;
            p.Plan(a, {arc}, 100.0f);
            if (margin < 0.0) {
                EXPECT_FALSE(p.gen.IsPathAvailable());
                EXPECT_EQ(p.EventTexts(), std::vector<std::string>{"Kinematic error: Virtual box violated in Z+"});
            } else {
                EXPECT_TRUE(p.gen.IsPathAvailable()) << ::testing::PrintToString(p.EventTexts());
            }
        }
    }
}

}  // namespace
