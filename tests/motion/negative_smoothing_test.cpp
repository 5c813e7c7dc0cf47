// A smoothing percent below 0 (or not a number) blends nothing: the path keeps to the
// programmed lines instead of running past the corner.

#include "motion/PathElementLine.h"
#include "motion/PathGenerator_02Linear.h"

#include "PathGeneratorFakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

// Cartesian targets: the pose translation is the command's a1..a3 (the fake kinematic's
// mapping back to joints).
class CartesianAccess : public FakeCommandAccess {
public:
    void GetTargetPosition(Command& c, DataTypes::RobotState* current, DataTypes::RobotState* target,
                           float& velCart, float& velJoint, float& acc, float& smooth) const override {
        FakeCommandAccess::GetTargetPosition(c, current, target, velCart, velJoint, acc, smooth);
        target->pose.SetTranslation(DataTypes::Vector3(c.target[0], c.target[1], c.target[2]));
    }
};

std::shared_ptr<Command> Line(float x, float y, int next, float smooth) {
    auto c = std::make_shared<Command>();
    c->type = 1;
    c->className = "CommandLinear";
    c->target[0] = x;
    c->target[1] = y;
    c->next = next;
    c->motion.velCartesian = 200.0f;
    c->motion.accPercent = 100.0f;
    c->motion.smoothPercent = smooth;
    return c;
}

// Distance of p from the segment a-b (2D, z = 0).
float FromSegment(float px, float py, float ax, float ay, float bx, float by) {
    const float dx = bx - ax, dy = by - ay;
    const float t = std::clamp(((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy), 0.0f, 1.0f);
    return std::hypot(px - ax - t * dx, py - ay - t * dy);
}

TEST(NegativeSmoothing, PathStaysOnTheProgrammedLines) {
    for (float smooth : {-50.0f, -100.0f, std::nanf("")}) {
        PathGenerator_02Linear gen(20.0f, 20.0f, 5);
        CartesianAccess access;
        gen.SetCommandAccess(&access);
        gen.SetKinematic(std::make_unique<FakeKinematic>());
        float vel[9], acc[9], jerk[9];
        std::fill(vel, vel + 9, 100.0f);
        std::fill(acc, acc + 9, 400.0f);
        std::fill(jerk, jerk + 9, 2000.0f);
        gen.InitVelAcc(vel, acc, jerk, 500.0, 2000.0, 10000.0, 90.0, 360.0, 2000.0);

        const std::vector<std::shared_ptr<Command>> commands = {Line(100, 0, 1, smooth), Line(100, 100, 2, smooth)};
        DataTypes::RobotState state;
        gen.SetFirstCmd(commands[0], &state, 0, commands[0]->next);
        gen.SetNextCmd(commands[1], 1, commands[1]->next);
        gen.ComputePathStartThread();
        ASSERT_TRUE(WaitFor([&] { return !gen.IsThreadRunning(); }));
        ASSERT_TRUE(gen.IsPathAvailable()) << smooth;
        ASSERT_EQ(gen.elementCount, 3);
        const auto& first = static_cast<const Programs::PathElementLine&>(*gen.elements[0]);
        EXPECT_NEAR(first.target.pose(0, 3), 100.0f, 1e-4f) << smooth << ": the first line ends at the corner";

        float worst = 0.0f;
        int result = -1;
        float joints[9] = {};
        for (long t = 4000; result == -1 && t < 20L * 1000000L; t += 4000) {
            int cmdIndex = -1;
            result = gen.GetJointPosition(t, joints, &cmdIndex);
            const float off = std::min(FromSegment(joints[0], joints[1], 0, 0, 100, 0),
                                       FromSegment(joints[0], joints[1], 100, 0, 100, 100));
            worst = std::max(worst, off);
        }
        EXPECT_EQ(result, 2) << smooth;
        EXPECT_LT(worst, 1e-3f) << smooth;
        EXPECT_NEAR(joints[0], 100.0f, 1e-3f) << smooth;
        EXPECT_NEAR(joints[1], 100.0f, 1e-3f) << smooth;
    }
}

}  // namespace
