#include "motion/PathLimitCheck.h"

#include "core/RobotState.h"
#include "kinematics/RobotKinematic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace {

constexpr double kRadToDeg = 57.29577951308232;
// Smaller moves are rounding, not a direction: a joint or coordinate standing still.
constexpr double kStill = 1e-4;

float Coordinate(const DataTypes::Vector3& v, int c) { return c == 0 ? v.x : (c == 1 ? v.y : v.z); }

// Narrows a turn down: a, m, b in path order with metric(m) the largest of the three.
// Returns the pose of the turn and the one before it in path order.
template <typename Sample, typename Eval, typename Metric>
void NarrowTurn(Sample& lo, Sample& mid, Sample& hi, Eval eval, Metric metric, double minStep) {
    for (int i = 0; i < 60; ++i) {
        const double rise = std::max(std::fabs(metric(mid) - metric(lo)), std::fabs(metric(hi) - metric(mid)));
        if (rise <= PathLimitCheck::kTurnTolerance || hi.g - lo.g <= minStep) return;
        Sample left = eval(0.5 * (lo.g + mid.g), lo);
        Sample right = eval(0.5 * (mid.g + hi.g), mid);
        if (metric(left) > metric(mid)) {
            hi = mid;
            mid = left;
        } else if (metric(right) > metric(mid)) {
            lo = mid;
            mid = right;
        } else {
            lo = left;
            hi = right;
        }
    }
}

}  // namespace

PathLimitCheck::PathLimitCheck(RobotKinematic& kinematic, bool jointModeValue)
    : kin(kinematic), jointMode(jointModeValue) {}

PathLimitCheck::Sample PathLimitCheck::Current() const {
    Sample s;
    kin.GetJoints(s.joints);
    std::copy(kin.currentJoints, kin.currentJoints + 9, s.internal);
    s.pose = kin.currentPosition;
    s.tcp = s.pose.GetTranslation();
    for (int c = 0; c < 3; ++c) s.axes[c] = s.pose.GetColumnVector(c);
    return s;
}

void PathLimitCheck::PathState(double g, DataTypes::RobotState& out) const {
    int k = static_cast<int>(std::floor(g));
    k = std::min(std::max(k, 0), count - 1);
    const double p = std::min(std::max(g - k, 0.0), 1.0);
    (*chain)[static_cast<std::size_t>(k)]->StateAt(p, out);
}

void PathLimitCheck::Restore(const Sample& s) {
    std::copy(s.internal, s.internal + 9, kin.currentJoints);
    kin.currentPosition = s.pose;
}

void PathLimitCheck::Count() {
    if (++evaluations > kMaxSolves) {
        char text[128];
        std::snprintf(text, sizeof text, "path too long to check (more than %ld poses)", kMaxSolves);
        throw std::runtime_error(text);
    }
}

PathLimitCheck::Sample PathLimitCheck::Solve(double g, const Sample& pred) {
    Count();
    Restore(pred);
    DataTypes::RobotState state;
    std::copy(pred.joints, pred.joints + 9, state.jointSet);
    PathState(g, state);
    Sample s;
    s.g = g;
    if (jointMode) {
        kin.SetJoints(state.jointSet, true);
        s.tcp = kin.currentPosition.GetTranslation();
        for (int c = 0; c < 3; ++c) s.axes[c] = kin.currentPosition.GetColumnVector(c);
    } else {
        float joints[9];
        std::copy(state.jointSet, state.jointSet + 9, joints);
        kin.SetPosition(state.pose, joints);
        s.tcp = state.pose.GetTranslation();
        for (int c = 0; c < 3; ++c) s.axes[c] = state.pose.GetColumnVector(c);
    }
    kin.GetJoints(s.joints);
    std::copy(kin.currentJoints, kin.currentJoints + 9, s.internal);
    s.pose = kin.currentPosition;
    return s;
}

PathLimitCheck::Sample PathLimitCheck::Point(double g) {
    Count();
    DataTypes::RobotState state;
    PathState(g, state);
    Sample s;
    s.g = g;
    s.tcp = state.pose.GetTranslation();
    return s;
}

double PathLimitCheck::StepRatio(const Sample& a, const Sample& b) {
    double ratio = static_cast<double>((b.tcp - a.tcp).Magnitude()) / kMaxStepMm;
    for (int c = 0; c < 3; ++c) {
        // The chord between unit axes: the angle in radians for small turns.
        const double turn = static_cast<double>((b.axes[c] - a.axes[c]).Magnitude()) * kRadToDeg;
        ratio = std::max(ratio, turn / kMaxStepDeg);
    }
    for (int j = 0; j < 9; ++j) {
        ratio = std::max(ratio, std::fabs(static_cast<double>(b.joints[j]) - a.joints[j]) / kMaxJointStep);
    }
    // A NaN compares false everywhere: it counts as too far.
    return std::isnan(ratio) ? HUGE_VAL : ratio;
}

void PathLimitCheck::AddSpeeds(const Sample& a, const Sample& b) {
    const int k = std::min(static_cast<int>(std::floor(a.g)), count - 1);
    const double pa = a.g - k;
    const double pb = b.g - k;
    if (!(pb > pa)) return;
    const double rate = (*chain)[static_cast<std::size_t>(k)]->ParamRate(pa, pb);
    if (!(rate > 0.0)) return;
    std::array<double, 9>& peak = peakSpeeds[static_cast<std::size_t>(k)];
    for (int j = 0; j < 9; ++j) {
        const double dq = std::fabs(static_cast<double>(b.joints[j]) - a.joints[j]);
        if (dq < kStill) continue;
        peak[static_cast<std::size_t>(j)] = std::max(peak[static_cast<std::size_t>(j)], dq / (pb - pa) * rate);
    }
}

void PathLimitCheck::CheckTurns(const Sample& a, const Sample& m, const Sample& b) {
    auto solve = [this](double g, const Sample& pred) { return Solve(g, pred); };
    if (!jointMode) {
        // Joint moves and joint blends stay between joints that were checked (a blend within
        // the hull of its corner and cut points): only Cartesian paths turn a joint back.
        for (int j = 0; j < 9; ++j) {
            const double d1 = static_cast<double>(m.joints[j]) - a.joints[j];
            const double d2 = static_cast<double>(b.joints[j]) - m.joints[j];
            if (std::fabs(d1) < kStill || std::fabs(d2) < kStill || (d1 > 0.0) == (d2 > 0.0)) continue;
            const double dir = d1 > 0.0 ? 1.0 : -1.0;
            float probe[9];
            std::copy(m.joints, m.joints + 9, probe);
            probe[j] = static_cast<float>(probe[j] + dir * kMaxJointStep);
            if (kin.JointTargetError(probe, m.joints) == 0) continue;  // not within a step of a limit
            Sample lo = a, mid = m, hi = b;
            NarrowTurn(lo, mid, hi, solve, [j, dir](const Sample& s) { return dir * s.joints[j]; }, kMinStep);
        }
    }
    for (int c = 0; c < 3; ++c) {
        const double d1 = static_cast<double>(Coordinate(m.tcp, c)) - Coordinate(a.tcp, c);
        const double d2 = static_cast<double>(Coordinate(b.tcp, c)) - Coordinate(m.tcp, c);
        if (std::fabs(d1) < kStill || std::fabs(d2) < kStill || (d1 > 0.0) == (d2 > 0.0)) continue;
        const double dir = d1 > 0.0 ? 1.0 : -1.0;
        auto metric = [c, dir](const Sample& s) { return dir * Coordinate(s.tcp, c); };
        Sample lo = a, mid = m, hi = b;
        if (jointMode) {
            // The pose comes from the joints: every point is solved, box check included.
            NarrowTurn(lo, mid, hi, solve, metric, kMinStep);
        } else {
            // The point alone decides: no joints needed on the way.
            NarrowTurn(lo, mid, hi, [this](double g, const Sample&) { return Point(g); }, metric, kMinStep);
            kin.CheckVirtualBox(mid.tcp, lo.tcp);
        }
    }
}

int PathLimitCheck::Run(const std::vector<std::unique_ptr<Programs::PathElement>>& elements, int elementCount,
                        const std::atomic<bool>& cancel) {
    chain = &elements;
    count = elementCount;
    evaluations = 0;
    peakSpeeds.assign(static_cast<std::size_t>(std::max(count, 0)), std::array<double, 9>{});
    if (count <= 0) return 0;

    auto jump = [](const Sample& a, const Sample& b) {
        int worst = 0;
        for (int j = 1; j < 9; ++j) {
            if (std::fabs(b.joints[j] - a.joints[j]) > std::fabs(b.joints[worst] - a.joints[worst])) worst = j;
        }
        char text[160];
        std::snprintf(text, sizeof text, "joint %d would jump from %.2f to %.2f on the path", worst + 1,
                      static_cast<double>(a.joints[worst]), static_cast<double>(b.joints[worst]));
        return std::runtime_error(text);
    };

    try {
        Sample prev2;
        Sample prev = Current();
        // The path's first pose against where the robot stands: nothing to halve there.
        Sample first = Solve(0.0, prev);
        if (StepRatio(prev, first) > 1.0) throw jump(prev, first);
        bool haveTwo = false;
        prev = first;
        double step = kMaxStep;
        while (prev.g < count) {
            if (cancel.load()) return -1;
            // An interval never spans two elements: the speeds are per element.
            const double end = std::floor(prev.g) + 1.0;
            const double next = std::min(prev.g + step, end);
            const Sample s = Solve(next, prev);
            const double ratio = StepRatio(prev, s);
            const double taken = next - prev.g;
            if (ratio > 1.0) {
                if (taken <= kMinStep) throw jump(prev, s);
                step = std::max(kMinStep, taken * std::min(0.5, std::max(0.1, 0.8 / ratio)));
                continue;
            }
            AddSpeeds(prev, s);
            if (haveTwo) CheckTurns(prev2, prev, s);
            prev2 = prev;
            prev = s;
            haveTwo = true;
            // Aim the next interval at 80 % of the nearest limit.
            step = std::min(kMaxStep, taken * std::min(4.0, 0.8 / std::max(ratio, 1e-3)));
            step = std::max(step, kMinStep);
        }
    } catch (int code) {
        return code != 0 ? code : KinematicError::NaNInJoint;
    }
    return 0;
}
