#pragma once

// The planner's check of a prepared chain before any of it is served: the path is walked
// pose by pose on the planner's own kinematic copy, each pose turned into joints (or, for
// joint moves, joints into a pose) with the kinematic's checks, in path order, exactly as
// the robot cycle will do it. A pose whose joints leave the soft limits, that leaves the
// virtual box or that the arm cannot reach is so found before the robot moves.
//
// Why the step between two checked poses suffices: an interval moves the tool centre
// point by at most kMaxStepMm, turns the tool by at most kMaxStepDeg and moves every joint
// by at most kMaxJointStep; it is halved until it does, down to kMinStep of an element,
// and a joint that still moves further there jumps and is refused.
// - Soft limits: between two checked poses a joint follows a smooth curve, so it can only
//   pass a limit unseen by turning back between them. Where a joint turns back within one
//   joint step of a limit, the turn is narrowed down on solved poses to kTurnTolerance and
//   the pose there is checked.
// - Virtual box: a line between two points inside the (convex) box stays inside; where a
//   coordinate of an arc, a blend or a joint move turns back, the turn is narrowed down to
//   kTurnTolerance mm and the point there is checked.
// - Reach and singularities: close to a region the kinematic refuses, the joints turn ever
//   faster per millimetre (the first axis of an arm near its base axis), so the joint step
//   shortens the interval there. Only a path clipping a region by less than such a short
//   interval could pass between two poses.
//
// The walk also gives each joint's peak speed per element at its prepared speed, so the
// planner can slow a segment whose joints would exceed their velocity limits.

#include "core/Matrix44.h"
#include "core/Vector3.h"
#include "motion/PathElement.h"

#include <array>
#include <atomic>
#include <memory>
#include <vector>

class RobotKinematic;

class PathLimitCheck {
public:
    static constexpr double kMaxStepMm = 5.0;
    static constexpr double kMaxStepDeg = 2.0;
    static constexpr double kMaxJointStep = 0.5;  // degrees, or mm for a linear joint
    static constexpr double kTurnTolerance = 0.001;
    // Smallest interval and the largest, as shares of one element.
    static constexpr double kMinStep = 1e-6;
    static constexpr double kMaxStep = 0.125;
    // Poses one request may solve before it is refused as too long to check.
    static constexpr long kMaxSolves = 200000;

    // jointMode: the elements give joints (joint moves); otherwise poses.
    PathLimitCheck(RobotKinematic& kinematic, bool jointMode);

    // Walks chain[0 .. count-1] from where the kinematic stands (the request's start).
    // 0 when the whole path passes, the kinematic's code for the first pose that does not,
    // -1 once cancel is set. Throws std::runtime_error for a joint that jumps and for a path
    // too long to check. The kinematic is left at some pose of the path: the caller puts it
    // back at the start.
    int Run(const std::vector<std::unique_ptr<Programs::PathElement>>& chain, int count,
            const std::atomic<bool>& cancel);

    // After Run, per element: each joint's peak speed at the element's prepared speed,
    // units per second; 0 for elements that do not tie their joints to a Cartesian speed.
    const std::vector<std::array<double, 9>>& PeakJointSpeeds() const { return peakSpeeds; }
    // Poses solved (or, for turns of a coordinate, evaluated) by the last Run.
    long Evaluations() const { return evaluations; }

private:
    struct Sample {
        double g = 0.0;           // chain parameter: element k spans [k, k + 1]
        float joints[9] = {};     // user values
        float internal[9] = {};   // the kinematic's own values after the solve
        DataTypes::Matrix44 pose;  // the kinematic's pose after the solve
        DataTypes::Vector3 tcp;    // the path's tool centre point
        DataTypes::Vector3 axes[3];
    };

    Sample Current() const;
    // The path's state at g into out, from the element g lies in.
    void PathState(double g, DataTypes::RobotState& out) const;
    // Solves the pose at g with the kinematic standing at pred; throws its int codes.
    Sample Solve(double g, const Sample& pred);
    // The path's tool centre point at g, nothing solved.
    Sample Point(double g);
    void Restore(const Sample& s);
    void Count();
    // How far b lies from a in units of the step limits (1: at a limit).
    static double StepRatio(const Sample& a, const Sample& b);
    void AddSpeeds(const Sample& a, const Sample& b);
    // Checks the turns of the joints and coordinates at m, between a and b; throws codes.
    void CheckTurns(const Sample& a, const Sample& m, const Sample& b);

    RobotKinematic& kin;
    const bool jointMode;
    const std::vector<std::unique_ptr<Programs::PathElement>>* chain = nullptr;
    int count = 0;
    long evaluations = 0;
    std::vector<std::array<double, 9>> peakSpeeds;
};
