#pragma once

// Test stand-ins for what the planners get from the layers around them: a program
// command (the real ones live in the program layer), the access object the interpreter
// hands in, and a kinematic whose pose is simply the first three joints.

#include "kinematics/RobotKinematic.h"
#include "motion/PathCommandAccess.h"
#include "testsupport/WaitUntil.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

// A motion command that moves in a straight line from where its first step finds the
// state to its target, in a fixed number of steps: joints for type 0, the pose's
// translation for type 1.
class Command {
public:
    int type = 0;
    std::string className = "CommandJoint";
    PathCommandMotion motion{30.0f, 10.0f, 90.0f, 100.0f, 0.0f};
    float target[9] = {};
    int steps = 10;   // < 0: never finishes
    int next = 1;     // result once finished
    int stepDelayUs = 0;
    // Thrown from the given step (1-based), when set.
    int throwAtStep = 0;
    std::function<void()> thrower;

    std::atomic<int> calls{0};
    float start[9] = {};

    int Step(DataTypes::RobotState* state) {
        const int n = calls.load() + 1;
        calls.store(n);
        if (stepDelayUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(stepDelayUs));
        if (n == 1) {
            for (int j = 0; j < 9; ++j) start[j] = type == 0 ? state->jointSet[j] : 0.0f;
            if (type != 0) {
                start[0] = state->pose(0, 3);
                start[1] = state->pose(1, 3);
                start[2] = state->pose(2, 3);
            }
        }
        if (throwAtStep > 0 && n == throwAtStep && thrower) thrower();
        const float f = steps > 0 ? std::min(1.0f, static_cast<float>(n) / steps) : 0.0f;
        if (type == 0) {
            for (int j = 0; j < 9; ++j) state->jointSet[j] = start[j] + (target[j] - start[j]) * f;
        } else {
            for (int j = 0; j < 3; ++j) state->pose(j, 3) = start[j] + (target[j] - start[j]) * f;
        }
        return (steps > 0 && n >= steps) ? next : -1;
    }
};

inline std::shared_ptr<Command> MakeJointMove(std::initializer_list<float> target, int steps,
                                              int next) {
    auto c = std::make_shared<Command>();
    int j = 0;
    for (float v : target) c->target[j++] = v;
    c->steps = steps;
    c->next = next;
    return c;
}

class FakeCommandAccess : public PathCommandAccess {
public:
    int GetCommandType(const Command& c) const override { return c.type; }
    const std::string& GetClassName(const Command& c) const override { return c.className; }
    PathCommandMotion GetMotion(const Command& c) const override { return c.motion; }
    int Interpolate(Command& c, int, float, DataTypes::RobotState* state) const override {
        return c.Step(state);
    }
    void GetTargetPosition(Command& c, DataTypes::RobotState*, DataTypes::RobotState* target,
                           float& velCart, float& velJoint, float& acc, float& smooth) const override {
        for (int j = 0; j < 9; ++j) target->jointSet[j] = c.target[j];
        velCart = c.motion.velCartesian;
        velJoint = c.motion.velJointPercent;
        acc = c.motion.accPercent;
        smooth = c.motion.smoothPercent;
    }
    const CircleParameters* GetCircle(const Command&) const override { return nullptr; }
};

// Pose translation = joints a1..a3; SetJoints with check throws errorCode once a1
// exceeds a1Limit.
class FakeKinematic : public RobotKinematic {
public:
    float a1Limit = 1e9f;
    int errorCode = 13;

    std::unique_ptr<RobotKinematic> clone() const override {
        auto copy = std::make_unique<FakeKinematic>();
        copy->a1Limit = a1Limit;
        copy->errorCode = errorCode;
        return copy;
    }
    void SetJoints(const float* joints, bool check) override {
        if (check && joints[0] > a1Limit) throw errorCode;
        for (int j = 0; j < 9; ++j) currentJoints[j] = joints[j];
        currentPosition.SetTranslation(DataTypes::Vector3(joints[0], joints[1], joints[2]));
    }
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override {
        joints[0] = target(0, 3);
        joints[1] = target(1, 3);
        joints[2] = target(2, 3);
        SetJoints(joints, true);
    }
};

// Polls cond every millisecond for up to timeoutMs; true once it holds.
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 10000) {
    return TestSupport::WaitUntil(cond, timeoutMs, 1);
}
