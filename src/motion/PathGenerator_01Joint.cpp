#include "motion/PathGenerator_01Joint.h"

#include "core/BezierCasteljau.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <stdexcept>

JointSet::JointSet(int /*joints*/) {}

JointSet::JointSet(int /*joints*/, const float* jointValues, long, long, int cmdIndexValue,
                   int successorValue, const float* accLimitValues)
    : cmdIndex(cmdIndexValue), successor(successorValue) {
    for (int j = 0; j < 9; ++j) {
        joints[j] = jointValues[j];
        accLimit[j] = accLimitValues[j];
    }
}

namespace {

timespec Now() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

}  // namespace

PathGenerator_01Joint::PathGenerator_01Joint(int lookAheadValue) : PathGenerator(lookAheadValue) {
    accHandler = AccHandler(300.0f, 2.0f);
}

PathGenerator_01Joint::~PathGenerator_01Joint() { StopThreads(); }

long PathGenerator_01Joint::GetDiffTime(const timespec& start) {
    timespec now = Now();
    return (now.tv_sec - start.tv_sec) * 10000L + (now.tv_nsec - start.tv_nsec) / 100000L;
}

void PathGenerator_01Joint::Init(bool optimizeValue, int slicingMs, bool quietValue) {
    optimize.store(optimizeValue);
    quiet = quietValue;
    LogSingleton* log = LogSingleton::instance();
    if (slicingMs >= minSlicingMs && slicingMs <= maxSlicingMs) {
        sliceUs = slicingMs * 1000L;
    } else {
        log->addFormat(
            "PathGenerator_01Joint: SlicingMS from ini File smaller/bigger than min/max: %ld <= %d "
            "<= %ld",
            minSlicingMs, slicingMs, maxSlicingMs);
    }
    if (!quiet) {
        log->addFormat("PathGenerator_01Joint: Optimize: %d LookAhead: %d SlicingMS: %ld",
                       optimize.load() ? 1 : 0, lookAhead, sliceUs / 1000);
    }
}

void PathGenerator_01Joint::InitVelAcc(float* /*jointVel*/, float* jointAcc, float* /*jointAccInc*/,
                                       double, double, double, double, double, double) {
    for (int j = 0; j < nJoints; ++j) accHandler.accBase[j] = std::max(jointAcc[j], 5.0f);
}

void PathGenerator_01Joint::SetFirstCmd(std::shared_ptr<Command> command,
                                        DataTypes::RobotState* state, int index, int successor) {
    LockPreempting(kPreemptRetryUs);
    std::unique_lock<std::mutex> lock(mutex, std::adopt_lock);
    if (debug && command) {
        LogSingleton* log = LogSingleton::instance();
        PathCommandMotion motion = Access().GetMotion(*command);
        log->add("");
        log->add("PG: adding first point: ", index);
        log->add("VelDeg: ", motion.velRotation);
        log->add("VelMms: ", motion.velCartesian);
        log->add("VelPer: ", motion.velJointPercent);
    }
    SetPathUnavailable();
    rawSamples.clear();
    fwdSamples.clear();
    bwdSamples.clear();
    optSamples.clear();
    cornerSamples.clear();
    cornerSmooth.clear();
    BeginRequest(std::move(command), index, successor);
    startState = *state;
}

JointSet PathGenerator_01Joint::GetJointsAt(long tUs, const std::vector<JointSet>& samples) const {
    const long n = static_cast<long>(samples.size());
    if (tUs < 0) tUs = 0;
    if (tUs < sliceUs * (n - 1)) {
        const long k = tUs / sliceUs;
        const float w = static_cast<float>(tUs % sliceUs) / static_cast<float>(sliceUs);
        JointSet out = samples[k];
        const JointSet& next = samples[k + 1];
        for (int j = 0; j < nJoints; ++j) {
            out.joints[j] = (1.0f - w) * samples[k].joints[j] + w * next.joints[j];
        }
        return out;
    }
    return samples[n - 1];
}

int PathGenerator_01Joint::GetJointPosition(long tUs, float* joints, int* cmdIndex) {
    if (servedSamples.empty()) return -1;  // nothing published: never the case once available
    JointSet sample = GetJointsAt(tUs, servedSamples);
    for (int j = 0; j < nJoints; ++j) joints[j] = sample.joints[j];
    *cmdIndex = sample.cmdIndex;
    if (tUs < sliceUs * static_cast<long>(servedSamples.size())) return -1;
    return sample.successor;
}

void PathGenerator_01Joint::ReportComputeError(int stage, const std::exception& e) {
    char text[1024];
    std::snprintf(text, sizeof text, "PG: Error in ComputePath (%d): %s", stage, e.what());
    DeferErrorEvent(-1, -1, text);
    LogSingleton::instance()->addError(text);
    result.store(-1);
    SetPathUnavailable();
}

bool PathGenerator_01Joint::SampleCommands() {
    LogSingleton* log = LogSingleton::instance();
    const PathCommandAccess& access = Access();
    RobotKinematic& kin = Kinematic();
    DataTypes::RobotState state = startState;
    const int cycleMs = static_cast<int>(sliceUs / 1000);
    try {
        for (int i = 0; i < cmdCount && !cancelRequested.load(); ++i) {
            if (!cmds[i]) throw std::invalid_argument("PathGen: command missing");
            Command& command = *cmds[i];
            const bool jointMove = access.GetCommandType(command) == 0;
            PathCommandMotion motion = access.GetMotion(command);
            accHandler.percent = motion.accPercent;
            const int limit = jointMove ? kMaxJointSamples : kMaxCartesianSamples;
            int next = -1;
            int count = 0;
            while (next == -1 && !cancelRequested.load()) {
                next = access.Interpolate(command, cycleMs, 100.0f, &state);
                if (jointMove) {
                    kin.SetJoints(state.jointSet, true);
                    kin.GetPosition(&state);
                } else {
                    kin.SetPosition(state.pose, state.jointSet);
                    kin.GetJoints(state.jointSet);
                }
                accHandler.RequestAcc(0.0f);
                rawSamples.emplace_back(nJoints, state.jointSet, 0L, 0L, cmdIndices[i], successors[i],
                                        accHandler.acc);
                pathTimeUs += sliceUs;
                ++count;
                if (sampleTrace) {
                    const float* q = state.jointSet;
                    if (jointMove) {
                        log->addFormat(
                            "PG-Joint: %ld - %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf -  %.1lf %.1lf %.1lf",
                            pathTimeUs, q[0], q[1], q[2], q[3], q[4], q[5], q[6], q[7], q[8]);
                    } else {
                        const DataTypes::Matrix44& p = state.pose;
                        log->addFormat(
                            "PG-Linear: %ld - Pos: %.1lf %.1lf %.1lf Ori:  %.1lf %.1lf %.1lf  Ext: "
                            "%.1lf %.1lf %.1lf Joints: %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf",
                            pathTimeUs, p(0, 3), p(1, 3), p(2, 3), state.A, state.B, state.C, q[6],
                            q[7], q[8], q[0], q[1], q[2], q[3], q[4], q[5]);
                    }
                }
                if (next == -1 && count >= limit) {
                    // Cutting the move short would let the program carry on as if the
                    // target had been reached: fail the request instead.
                    const char* text = jointMove ? "PG: aborting interpolation Joint"
                                                 : "PG: aborting interpolation Linear";
                    log->add(text);
                    throw std::runtime_error(text);
                }
            }
            if (i < cmdCount - 1) {
                cornerSamples.push_back(static_cast<int>(rawSamples.size()) - 1);
                cornerSmooth.push_back(motion.smoothPercent);
            }
            if (debug) log->add("PG: iterations: ", count);
        }
    } catch (int code) {
        // A sample the kinematic refuses (a joint past its limit, a pose out of reach) ends
        // the request before the robot moves: served, the path would run into the limit at
        // full speed and stop within one cycle.
        RefuseTarget(code);
        return false;
    } catch (const std::exception& e) {
        ReportComputeError(1, e);
        return false;
    }
    return true;
}

void PathGenerator_01Joint::ComputePath() {
    LogSingleton* log = LogSingleton::instance();
    if (debug) log->add("PG: computing path...");
    const timespec start = Now();
    SetPathUnavailable();
    pathTimeUs = 0;
    // A request is planned from scratch, never appended to an earlier plan.
    rawSamples.clear();
    fwdSamples.clear();
    bwdSamples.clear();
    optSamples.clear();
    cornerSamples.clear();
    cornerSmooth.clear();

    RobotKinematic& kin = Kinematic();
    const float* q0 = startState.jointSet;
    kin.SetJoints(q0, false);
    if (debug) {
        log->addFormat("PG StartPos: %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf - %.1lf %.1lf %.1lf", q0[0],
                       q0[1], q0[2], q0[3], q0[4], q0[5], q0[6], q0[7], q0[8]);
    }
    accHandler.RequestAcc(0.0f);
    rawSamples.emplace_back(nJoints, q0, 0L, 0L, cmdIndices[0], successors[0], accHandler.acc);

    if (!SampleCommands()) return;

    const long elapsed = GetDiffTime(start);
    if (debug) log->add("PG: path generation in ms: ", static_cast<int>(elapsed / 10));

    const bool optimizing = optimize.load();
    if (optimizing) {
        try {
            SmoothCorner();
            LimitForward();
            LimitBackward();
            Turn();
        } catch (const std::exception& e) {
            ReportComputeError(2, e);
            return;
        }
    }

    kin.SetJoints(q0, false);

    const long total = GetDiffTime(start);
    if (debug) log->add("PG: computing path - done in ms: ", static_cast<int>(total / 10));
    if (total > 5000) log->add("PG: DELAY in computing path - ms: ", static_cast<int>(total / 10));

    result.store(0);
    if (cancelRequested.load()) {
        log->add("ComputePath: PathGeneration cancelled");
        return;
    }
    // Publish: the cycle side gets the finished list whole, then the flag (release).
    servedSamples.swap(optimizing ? optSamples : rawSamples);
    pathAvailable.store(true, std::memory_order_release);
}

void PathGenerator_01Joint::SmoothCorner() {
    if (cornerSamples.empty()) return;
    const timespec start = Now();
    const int n = static_cast<int>(rawSamples.size());
    std::vector<float> point(nJoints);
    for (std::size_t c = 0; c < cornerSamples.size() && !cancelRequested.load(); ++c) {
        int half = static_cast<int>(cornerSmooth[c] * 100.0f / 100.0f);
        const int k = cornerSamples[c];
        half = std::min(half, k);
        if (n - k <= half) half = n - k - 1;
        if (half <= 0) continue;
        const int a = k - half;
        const int b = k + half;
        DataTypes::BezierCasteljau curve(nJoints);
        curve.AddStartPoint(rawSamples[a].joints);
        curve.AddStartPoint(rawSamples[k].joints);
        curve.AddStartPoint(rawSamples[b].joints);
        for (int s = 0; s < 2 * half; ++s) {
            curve.Interpolate(static_cast<float>(s) / static_cast<float>(2 * half), point.data());
            for (int j = 0; j < nJoints; ++j) rawSamples[a + s].joints[j] = point[j];
        }
    }
    if (debug) LogSingleton::instance()->add("PG: smoothing in ms: ", static_cast<int>(GetDiffTime(start) / 10));
}

void PathGenerator_01Joint::ComputeAcceleration(JointSet& cur, const JointSet& prev) const {
    const float f = 1000000.0f / static_cast<float>(sliceUs);
    for (int j = 0; j < 9; ++j) {
        if (j < 3) {
            cur.vel[j] = (cur.joints[j] - prev.joints[j]) * f;
            cur.acc[j] = (cur.vel[j] - prev.vel[j]) * f;
        } else {
            cur.vel[j] = 0.0f;
            cur.acc[j] = 0.0f;
        }
    }
}

float PathGenerator_01Joint::LimitScale(const JointSet& cand, const JointSet& prev, bool& limited,
                                        int& joint) const {
    const float dt = static_cast<float>(sliceUs) / 1000000.0f;
    float scale = 1.0f;
    limited = false;
    for (int j = 0; j < 3; ++j) {
        const float a = cand.acc[j];
        const float v = cand.vel[j];
        if (a == 0.0f || v == 0.0f || signum(a) != signum(v)) continue;  // braking or still
        if (std::fabs(a) < cand.accLimit[j]) continue;
        const float allowed = prev.vel[j] + signum(a) * cand.accLimit[j] * dt;
        const float ratio = std::fabs(allowed) / std::fabs(v);
        if (std::isnan(ratio)) continue;
        limited = true;
        if (ratio < scale) {
            scale = ratio;
            joint = j;
        }
    }
    return scale;
}

bool PathGenerator_01Joint::ExceedsLimit(const JointSet& cand) const {
    for (int j = 0; j < 3; ++j) {
        const float a = cand.acc[j];
        const float v = cand.vel[j];
        if (a == 0.0f || v == 0.0f || signum(a) != signum(v)) continue;
        if (std::fabs(a) > cand.accLimit[j] * kLimitTolerance) return true;
    }
    return false;
}

long PathGenerator_01Joint::LimitedStep(long estimate, const JointSet& prev, JointSet& cand,
                                        const std::function<JointSet(long)>& sampleAt) const {
    cand = sampleAt(estimate);
    ComputeAcceleration(cand, prev);
    if (!ExceedsLimit(cand)) return estimate;
    // The estimate assumes the path keeps its speed over the step; where the speed
    // changes within the step it overshoots the limit, so search the longest step that
    // keeps it.
    long lo = 0;
    long hi = estimate;
    for (int i = 0; i < kStepSearchIterations && hi - lo > 1; ++i) {
        const long mid = (lo + hi) / 2;
        cand = sampleAt(mid);
        ComputeAcceleration(cand, prev);
        if (ExceedsLimit(cand)) {
            hi = mid;
        } else {
            lo = mid;
        }
    }
    cand = sampleAt(lo);
    ComputeAcceleration(cand, prev);
    return lo;
}

void PathGenerator_01Joint::LimitForward() { LimitPass(rawSamples, fwdSamples, false, "LimitForward"); }

void PathGenerator_01Joint::LimitBackward() { LimitPass(fwdSamples, bwdSamples, true, "LimitBackward"); }

void PathGenerator_01Joint::LimitPass(const std::vector<JointSet>& source, std::vector<JointSet>& out,
                                      bool backward, const char* name) {
    const timespec start = Now();
    out.clear();
    const long end = sliceUs * (static_cast<long>(source.size()) - 1);
    // The source sample `offset` µs into the pass; backward passes run from the end.
    const auto sampleAt = [&](long offset) {
        return GetJointsAt(backward ? maximum(0, end - offset) : offset, source);
    };
    long pos = 0;
    int steps = 0;
    int stalledJoint = -1;
    JointSet first = backward ? source.back() : source.front();
    for (float& v : first.vel) v = 0.0f;
    out.push_back(first);
    while (pos + sliceUs < end && !cancelRequested.load()) {
        if (steps >= kMaxLimitSteps) {
            char text[128];
            std::snprintf(text, sizeof text, "%s: joint %d stalled at i=%d", name, stalledJoint, steps);
            LogSingleton::instance()->add(text);
            throw std::runtime_error(text);
        }
        ++steps;
        JointSet cand = sampleAt(pos + sliceUs);
        ComputeAcceleration(cand, out.back());
        bool limited = false;
        const float scale = LimitScale(cand, out.back(), limited, stalledJoint);
        if (limited) {
            const JointSet& prev = out.back();
            pos += LimitedStep(static_cast<long>(static_cast<float>(sliceUs) * scale), prev, cand,
                               [&](long step) { return sampleAt(pos + step); });
        } else {
            pos += sliceUs;
        }
        out.push_back(cand);
    }
    // Backward ends on the start sample itself, so the re-timed path begins where the robot
    // stands.
    out.push_back(backward ? source.front() : source.back());
    if (debug) {
        LogSingleton::instance()->addFormat("PG: %s in %.1lf ms, %d steps", name, GetDiffTime(start) / 10.0,
                                            steps);
    }
}

void PathGenerator_01Joint::Turn() { optSamples.assign(bwdSamples.rbegin(), bwdSamples.rend()); }

void PathGenerator_01Joint::CheckPath(const std::vector<JointSet>& samples) {
    float maxDiff[5] = {};
    bool tooHigh = false;
    const long n = static_cast<long>(samples.size());
    for (long i = 1; i < n; ++i) {
        JointSet a = GetJointsAt((i - 1) * sliceUs, samples);
        JointSet b = GetJointsAt(i * sliceUs, samples);
        for (int j = 0; j < 5; ++j) {
            const float diff = std::fabs(b.joints[j] - a.joints[j]);
            maxDiff[j] = std::max(maxDiff[j], diff);
            if (diff > 2.0f) {
                tooHigh = true;
                std::printf("Jointset %ld max %d: %f base: %f  a %f\n", i, j, diff, a.joints[j],
                            b.joints[j]);
            }
        }
    }
    LogSingleton* log = LogSingleton::instance();
    log->addFormat("Path length %d  Max: %.2lf  %.2lf   %.2lf  %.2lf   %.2lf", static_cast<int>(n),
                   maxDiff[0], maxDiff[1], maxDiff[2], maxDiff[3], maxDiff[4]);
    if (tooHigh) {
        log->add("");
        log->add("ERROR IN PATH");
        PrintPath(samples);
        log->add("");
        throw std::runtime_error("PG: Max path diff too high!");
    }
}

void PathGenerator_01Joint::PrintPath(const std::vector<JointSet>& samples) {
    LogSingleton* log = LogSingleton::instance();
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const float* q = samples[i].joints;
        log->addFormat("PG: %ld - %.2lf %.2lf %.2lf %.2lf %.2lf", static_cast<long>(i) * sliceUs, q[0],
                       q[1], q[2], q[3], q[4]);
    }
}
