#include "motion/PathElementJointSet.h"

#include "core/LogSingleton.h"

#include <cmath>

namespace Programs {

void PathElementJointSet::Init(const DataTypes::RobotState& target, float velFactor, float velStartFactor,
                               float velEndFactor, float accScale, float, float) {
    for (int i = 0; i < 9; ++i) {
        targetJoints[i] = target.jointSet[i];
    }
    vel = velFactor;
    velStart = velStartFactor;
    velEnd = velEndFactor;
    for (int i = 0; i < 9; ++i) {
        PathBasicCurve& c = curves[i];
        c.SetDebugFlag(false);
        c.vel = jointVel[i] * velFactor;
        c.acc = jointAcc[i] * accScale;
        c.accInc = jointAccInc[i];  // the jerk limit is not scaled
        c.velStart = jointVel[i] * velStartFactor;
        c.velEnd = jointVel[i] * velEndFactor;
    }
}

void PathElementJointSet::PrepareGeometry(DataTypes::RobotState& start, float distStart, float distEnd,
                                          DataTypes::RobotState& end) {
    LogSingleton* log = LogSingleton::instance();
    for (int i = 0; i < 9; ++i) {
        startJoints[i] = start.jointSet[i];
    }
    dirSign = targetJoints - startJoints;
    if (debug) {
        log->addFormat("PathElementJointSet from %s  to %s", startJoints.ToString(2).c_str(),
                       targetJoints.ToString(2).c_str());
    }
    dist = static_cast<float>(dirSign.Magnitude());
    dirSign.Normalize();

    if (distStart > dist / 3.0f) {
        if (debug) {
            log->addFormat("Limiting JointSplineCut distStart from %.2f to %.2f", distStart, dist / 3.0f);
        }
        distStart = dist / 3.0f;
    }
    if (distEnd > dist / 3.0f) {
        if (debug) {
            log->addFormat("Limiting JointSplineCut distEnd from %.2f to %.2f", distEnd, dist / 3.0f);
        }
        distEnd = dist / 3.0f;
    }

    startJoints += dirSign * distStart;
    targetJoints -= dirSign * distEnd;
    if (debug) {
        log->addFormat("PathElementJointSet from %s  to %s", startJoints.ToString(2).c_str(),
                       targetJoints.ToString(2).c_str());
        log->addFormat("PathElementJointSet Smoothing: before %.2f, after %.2f", distStart, distEnd);
    }
    for (int i = 0; i < 9; ++i) {
        start.jointSet[i] = startJoints[i];
        end.jointSet[i] = targetJoints[i];
    }

    dirSign = targetJoints - startJoints;
    dist = static_cast<float>(dirSign.Magnitude());
    for (int i = 0; i < 9; ++i) {
        curves[i].length = std::fabs(dirSign[i]);
        dirSign[i] = dirSign[i] < 0.0f ? -1.0f : 1.0f;
    }
}

void PathElementJointSet::PrepareAcceleration() {
    lastTime = 0.0f;
    lastStep = 0.0f;
    float largest = 0.0f;
    for (int i = 0; i < nJoints; ++i) {
        curves[i].PrepareAcceleration();
        const float d = std::fabs(curves[i].GetDurationInMs());
        if (d > largest) {
            largest = d;
            longest = i;
        }
    }
    PreparePace();
    duration = pace.GetDurationInMs();
    if (debug) {
        LogSingleton* log = LogSingleton::instance();
        log->add("");
        log->addFormat("Joint IPO values, duration %.1f ms", duration);
        for (int i = 0; i < nJoints; ++i) {
            log->add(curves[i].ToString());
        }
        log->add("");
    }
}

void PathElementJointSet::PreparePace() {
    const PathBasicCurve& lead = curves[longest];
    pace = PathBasicCurve();
    pace.length = lead.length;
    if (!(lead.length > 0.0f)) {
        return;
    }
    // The followers move lengths[i] / length times as far as the leading joint, so each
    // of them caps the shared profile at its own limits scaled by that ratio. Without this
    // a follower whose limits are tighter relative to its distance overshoots them.
    float vel = lead.vel;
    float acc = lead.acc;
    float jerk = lead.accInc;
    for (int i = 0; i < nJoints; ++i) {
        const PathBasicCurve& c = curves[i];
        if (!(c.length > 0.0f) || i == longest) {
            continue;
        }
        const float ratio = lead.length / c.length;
        if (c.vel > 0.0f) {
            vel = std::fmin(vel, c.vel * ratio);
        }
        if (c.acc > 0.0f) {
            acc = std::fmin(acc, c.acc * ratio);
        }
        if (c.accInc > 0.0f) {
            jerk = std::fmin(jerk, c.accInc * ratio);
        }
    }
    pace.vel = vel;
    pace.acc = acc;
    pace.accInc = jerk;
    // Start and end speed are 0 or the full speed, as the leading joint's are.
    pace.velStart = lead.velStart != 0.0f ? vel : 0.0f;
    pace.velEnd = lead.velEnd != 0.0f ? vel : 0.0f;
    pace.PrepareAcceleration();
}

void PathElementJointSet::StateAt(double p, DataTypes::RobotState& out) const {
    const float f = static_cast<float>(p);
    for (int i = 0; i < nJoints; ++i) {
        out.jointSet[i] = startJoints[i] + dirSign[i] * curves[i].length * f;
    }
}

int PathElementJointSet::GetPosition(float tMs, DataTypes::RobotState& out) {
    const float L = pace.length;
    if (L == 0.0f) {
        return 0;
    }
    const float f = pace.GetValue(tMs) / L;
    for (int i = 0; i < nJoints; ++i) {
        out.jointSet[i] = startJoints[i] + dirSign[i] * curves[i].length * f;
    }
    if (tMs < duration - lastStep) {
        SetLastJointPos(out);
        if (lastTime > 0.0f) {
            lastStep = tMs - lastTime;
        }
        lastTime = tMs;
        return -1;
    }
    return 0;
}

}  // namespace Programs
