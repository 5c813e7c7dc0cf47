#include "motion/PathElementCartesian.h"

#include "core/LogSingleton.h"

#include <cmath>

namespace Programs {

void PathElementCartesian::Init(const DataTypes::RobotState& target_, float vel_, float velStart_, float velEnd_,
                                float accScale, float, float) {
    target = target_;
    for (int i = 0; i < 3; ++i) {
        extTarget[i] = target.jointSet[6 + i];
    }

    PathBasicCurve& path = curves[0];
    path.vel = vel_;
    path.acc = cartAcc * accScale;
    path.accInc = cartAccInc * accScale;
    path.velStart = velStart_;
    path.velEnd = velEnd_;

    // The other components only know "moving on" or "stopping": each runs at its own limit.
    PathBasicCurve& ori = curves[1];
    ori.vel = oriVel;
    ori.acc = oriAcc * accScale;
    ori.accInc = oriAccInc * accScale;
    ori.velStart = oriVel * signumLocal(velStart_);
    ori.velEnd = oriVel * signumLocal(velEnd_);

    for (int i = 0; i < 3; ++i) {
        PathBasicCurve& ext = curves[2 + i];
        ext.vel = jointVel[6 + i];
        ext.acc = jointAcc[6 + i] * accScale;
        ext.accInc = jointAccInc[6 + i] * accScale;
        ext.velStart = jointVel[6 + i] * signumLocal(velStart_);
        ext.velEnd = jointVel[6 + i] * signumLocal(velEnd_);
    }
}

float PathElementCartesian::GetDurationOri() {
    rotAngle = 0.0f;
    const DataTypes::Matrix44 delta = start.pose.Inverse() * target.pose;
    delta.GetAxisAngle(&rotAxis, &rotAngle);
    componentLength[1] = rotAngle;
    return rotAngle * 1000.0f / curves[1].vel;
}

float PathElementCartesian::GetDurationExt(int i) {
    const float delta = extTarget[i] - extStart[i];
    componentLength[2 + i] = std::fabs(delta);
    extDir[i] = signumLocal(delta);
    return std::fabs(delta) * 1000.0f / curves[2 + i].vel;
}

void PathElementCartesian::BeginGeometry(const DataTypes::RobotState& startState) {
    start = startState;
    for (int i = 0; i < 3; ++i) {
        extStart[i] = start.jointSet[6 + i];
    }
}

float PathElementCartesian::LimitCut(const char* label, float& distStart, float& distEnd, float& ratioStart,
                                     float& ratioEnd) {
    LogSingleton* log = LogSingleton::instance();
    componentDuration[1] = GetDurationOri();
    for (int i = 0; i < 3; ++i) {
        componentDuration[2 + i] = GetDurationExt(i);
    }
    float best = 0.0f;
    for (int k = 0; k < 5; ++k) {
        if (componentDuration[k] > best) {
            best = componentDuration[k];
            longest = k;
        }
    }
    if (debug) {
        log->addFormat("%s: longest is %d with %lf ms", label, longest,
                       static_cast<double>(componentDuration[longest]));
    }

    const float L = componentLength[0];
    if (distStart > L / 3.0f) {
        if (debug) {
            log->addFormat("Limiting SplineCut distStart from %f to %f", static_cast<double>(distStart),
                           static_cast<double>(L / 3.0f));
        }
        distStart = L / 3.0f;
    }
    if (distEnd > L / 3.0f) {
        if (debug) {
            log->addFormat("Limiting SplineCut distEnd from %f to %f", static_cast<double>(distEnd),
                           static_cast<double>(L / 3.0f));
        }
        distEnd = L / 3.0f;
    }
    ratioStart = 0.0f;
    ratioEnd = 0.0f;
    if (L > 0.001f) {
        ratioStart = distStart / L;
        ratioEnd = distEnd / L;
    }
    return L;
}

void PathElementCartesian::FinishGeometry(DataTypes::RobotState& startState, DataTypes::RobotState& endState,
                                          const DataTypes::Vector3& pStart, const DataTypes::Vector3& pEnd,
                                          float distStart, float distEnd, float ratioStart, float ratioEnd) {
    DataTypes::Matrix44 m1 = start.pose;
    m1.RotateAxisAngle(rotAxis, ratioStart * rotAngle);
    rotAngle = rotAngle * (1.0f - ratioStart - ratioEnd);
    componentLength[1] = rotAngle;
    DataTypes::Matrix44 m2 = m1;
    m2.RotateAxisAngle(rotAxis, rotAngle);
    m1.SetTranslation(pStart);
    m2.SetTranslation(pEnd);
    startState.pose = m1;
    startState.UpdateABC();
    endState.pose = m2;
    endState.UpdateABC();

    for (int i = 0; i < 3; ++i) {
        const float d = componentLength[2 + i];
        extStart[i] += extDir[i] * ratioStart * d;
        extTarget[i] -= extDir[i] * ratioEnd * d;
        componentLength[2 + i] = d * (1.0f - ratioStart - ratioEnd);
        startState.jointSet[6 + i] = extStart[i];
        endState.jointSet[6 + i] = extTarget[i];
    }

    start = startState;
    target = endState;
    for (int k = 0; k < 5; ++k) {
        curves[k].length = componentLength[k];
    }
    if (debug) {
        LogSingleton::instance()->addFormat("%s Smoothing: before %lf A=%lf, after %lf A=%lf", GetLogName(),
                                            static_cast<double>(distStart), static_cast<double>(start.A),
                                            static_cast<double>(distEnd), static_cast<double>(target.A));
    }
}

void PathElementCartesian::PrepareAcceleration() {
    for (int k = 0; k < 5; ++k) {
        curves[k].PrepareAcceleration();
        componentDuration[k] = curves[k].GetDurationInMs();
    }
    if (debug) {
        LogSingleton* log = LogSingleton::instance();
        log->add("");
        log->addFormat("%s from %s to %s", GetLogName(), start.pose.GetTranslation().ToString().c_str(),
                       target.pose.GetTranslation().ToString().c_str());
        log->add(curves[0].ToString());
        log->add("");
    }
}

int PathElementCartesian::GetPosition(float tMs, DataTypes::RobotState& out) {
    if (curves[longest].length == 0.0f) {
        return 0;
    }
    const float f = curves[longest].GetValue(tMs) / componentLength[longest];
    PoseAt(f, out);
    out.UpdateABC();

    if (tMs < componentDuration[longest] - lastStep) {
        if (lastTime > 0.0f) {
            lastStep = tMs - lastTime;
        }
        lastTime = tMs;
        return -1;
    }
    return 0;
}

void PathElementCartesian::PoseAt(float f, DataTypes::RobotState& out) const {
    DataTypes::Matrix44 pose = start.pose;
    pose.RotateAxisAngle(rotAxis, rotAngle * f);
    pose.SetTranslation(GetTranslationAt(f));
    out.pose = pose;
    for (int i = 0; i < 3; ++i) {
        out.jointSet[6 + i] = extStart[i] + extDir[i] * curves[2 + i].length * f;
    }
}

void PathElementCartesian::StateAt(double p, DataTypes::RobotState& out) const {
    PoseAt(static_cast<float>(p), out);
}

double PathElementCartesian::ParamRate(double, double) const {
    const PathBasicCurve& lead = curves[longest];
    if (!(lead.length > 0.0f)) return 0.0;
    return static_cast<double>(lead.velReached) / static_cast<double>(lead.length);
}

void PathElementCartesian::LimitSpeed(float factor) {
    // Relative to what the slowest component reaches: a short move may never reach its vel.
    const PathBasicCurve& lead = curves[longest];
    const float ratio = lead.vel > 0.0f && lead.velReached > 0.0f ? factor * lead.velReached / lead.vel : factor;
    for (PathBasicCurve& c : curves) {
        // Start and end velocity are 0 or vel, and stay so.
        c.vel *= ratio;
        c.velStart *= ratio;
        c.velEnd *= ratio;
    }
}

std::string PathElementCartesian::ToString() {
    return std::string(GetLogName()) + " from " + start.pose.GetTranslation().ToString() + " to " +
           target.pose.GetTranslation().ToString();
}

}  // namespace Programs
