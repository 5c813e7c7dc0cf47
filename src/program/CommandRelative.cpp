#include "program/CommandRelative.h"

#include "ElementWriter.h"
#include "MotionCommandSupport.h"
#include "core/LogSingleton.h"
#include "program/ProgramMemory.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cmath>
#include <fstream>

using namespace MotionCommandSupport;

CommandRelative::CommandRelative() {
    className = "CommandRelative";
    commandType = CMD_CARTESIAN;
}

void CommandRelative::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    const tinyxml2::XMLElement& e = *element;
    const int nr = e.IntAttribute("Nr", 0);
    const char* moType = e.Attribute("MoType");
    if (moType == nullptr) {
        valid = false;
        log->addError("Command Relative: Attribute \"MoType\" not found! Cannot read command!");
        return;
    }
    const std::string mode = Programs::ToLowerCase(moType);
    frameMode = mode == "joint" ? FrameJoint : (mode == "cartbase" ? FrameBase : FrameTool);
    commandType = frameMode == FrameJoint ? CMD_JOINT : CMD_CARTESIAN;

    const char* abort = ReadAbortAttribute(e, *this);
    if (abort == nullptr) {
        return;
    }
    abortCondition = abort;
    accPercent = e.FloatAttribute("acc", 50.0f);
    smoothPercent = e.FloatAttribute("smooth", 20.0f);
    const double acc = accPercent;
    const double smooth = smoothPercent;
    valid = true;

    if (frameMode == FrameJoint) {
        for (int j = 0; j < maxJoints; ++j) {
            delta.jointSet[j] = e.FloatAttribute(JointName(j), 0.0f);
        }
        velJointPercent = e.FloatAttribute("velPercent", 0.0f);
        if (!quiet) {
            const float* d = delta.jointSet;
            log->addFormat("   Nr. %d: Relative Joint %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf  ExtJoints %.1lf %.1lf %.1lf  "
                           "with vel %.1lf%%, acc %.1lf%%, smooth %.1lf%%, abortcond %s",
                           nr, static_cast<double>(d[0]), static_cast<double>(d[1]), static_cast<double>(d[2]),
                           static_cast<double>(d[3]), static_cast<double>(d[4]), static_cast<double>(d[5]),
                           static_cast<double>(d[6]), static_cast<double>(d[7]), static_cast<double>(d[8]),
                           static_cast<double>(velJointPercent), acc, smooth, abortCondition.c_str());
        }
        return;
    }

    delta.pose.SetTranslation(e.FloatAttribute("x", 0.0f), e.FloatAttribute("y", 0.0f), e.FloatAttribute("z", 0.0f));
    for (int j = 6; j < maxJoints; ++j) {
        delta.jointSet[j] = e.FloatAttribute(JointName(j), 0.0f);
    }
    velCartesian = e.FloatAttribute("vel", 0.0f);
    if (!quiet) {
        const DataTypes::Vector3 d = delta.pose.GetTranslation();
        log->addFormat("   Nr. %d: Relative %s %.1lf %.1lf %.1lf with %.1lf mm/s, acc %.1lf%%, smooth %.1lf%%, abortcond %s",
                       nr, frameMode == FrameBase ? "CartBase" : "CartTool", static_cast<double>(d.x),
                       static_cast<double>(d.y), static_cast<double>(d.z), static_cast<double>(velCartesian), acc,
                       smooth, abortCondition.c_str());
    }
}

void CommandRelative::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out == nullptr) {
        return;
    }
    ElementWriter::Line line(*out, "Relative", *this);
    if (frameMode == FrameJoint) {
        line.Raw("MoType", "joint");
        for (int j = 0; j < maxJoints; ++j) {
            line.Number(JointName(j), delta.jointSet[j]);
        }
        line.Number("velPercent", velJointPercent);
    } else {
        line.Raw("MoType", frameMode == FrameBase ? "cartbase" : "carttool");
        const DataTypes::Vector3 d = delta.pose.GetTranslation();
        line.Number("x", d.x).Number("y", d.y).Number("z", d.z);
        for (int j = 6; j < maxJoints; ++j) {
            line.Number(JointName(j), delta.jointSet[j]);
        }
        // As programmed: the loader's limit applies where the move runs.
        line.Number("vel", velCartesian);
    }
    EndMotionLine(line, *this);
}

void CommandRelative::MoveByDelta(const DataTypes::RobotState& current, DataTypes::RobotState* out) const {
    // A local copy: the distance itself is shared with a planner that may read it.
    float distances[maxJoints];
    for (int j = 0; j < maxJoints; ++j) {
        distances[j] = delta.jointSet[j];
    }
    EliminateNonexistentJoints(distances);

    if (frameMode == FrameJoint) {
        for (int j = 0; j < maxJoints; ++j) {
            out->jointSet[j] = current.jointSet[j] + distances[j];
        }
        return;
    }
    DataTypes::Vector3 move = delta.pose.GetTranslation();
    if (frameMode == FrameTool) {
        DataTypes::Matrix44 rotation = current.pose;
        rotation.SetTranslation(0.0f, 0.0f, 0.0f);
        move = rotation * move;
    }
    out->pose.SetTranslation(current.pose.GetTranslation() + move);
    for (int j = 6; j < maxJoints; ++j) {
        out->jointSet[j] = current.jointSet[j] + distances[j];
    }
}

void CommandRelative::CheckTarget(const DataTypes::RobotState& t) const {
    if (frameMode == FrameJoint) {
        RequireFiniteJoints(className, t.jointSet, 0, maxJoints - 1);
        RequireFinite(className, "velPercent", velJointPercent);
    } else {
        RequireFiniteCartesian(className, t);
        RequireFinite(className, "vel", velCartesian);
    }
}

int CommandRelative::Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) {
    return frameMode == FrameJoint ? InterpolateJoint(cycleMs, overridePercent, state)
                                   : InterpolateLinear(cycleMs, overridePercent, state);
}

int CommandRelative::InterpolateJoint(int cycleMs, float overridePercent, DataTypes::RobotState* state) {
    if (firstCycle) {
        CopyPose(*state, target);
        MoveByDelta(*state, &target);
        CheckTarget(target);
        firstCycle = false;
    }

    jointStep = static_cast<float>(static_cast<double>(velJointPercent) / 100.0 * cycleMs / 1000.0 *
                                   static_cast<double>(overridePercent) / 100.0);
    // A negative velocity or override would walk away from the target for ever: the
    // joints stand still instead, as at 0.
    if (!std::isfinite(jointStep) || jointStep < 0.0f) {
        jointStep = 0.0f;
    }
    arrivalThreshold = 0.001f;
    leadingRatio = -1.0f;
    for (int j = 0; j < maxJoints; ++j) {
        if (jointMaxVelocity[j] > 0.0f) {
            increments[j] = (target.jointSet[j] - state->jointSet[j]) / jointMaxVelocity[j];
            if (std::fabs(increments[j]) > leadingRatio) {
                leadingRatio = std::fabs(increments[j]);
                arrivalThreshold = 0.1f / jointMaxVelocity[j];
            }
        } else {
            increments[j] = 0.0f;
        }
    }

    // The leading joint is within 0.1 of its target, or no joint can move.
    if (leadingRatio < arrivalThreshold) {
        for (int j = 0; j < maxJoints; ++j) {
            state->jointSet[j] = target.jointSet[j];
        }
        firstCycle = true;
        return nextSuccessor;
    }
    if (leadingRatio < jointStep) {
        jointStep = leadingRatio;
    }
    for (int j = 0; j < maxJoints; ++j) {
        increments[j] = increments[j] / leadingRatio * jointStep * jointMaxVelocity[j];
        state->jointSet[j] += increments[j];
    }
    return ResultNotFinished;
}

void CommandRelative::PlanLinearSteps(const DataTypes::RobotState& state, int cycleMs, float overridePercent) {
    const double length = (target.pose.GetTranslation() - state.pose.GetTranslation()).Magnitude();
    const MotionCommandSupport::SlowestExternalAxis ext = MotionCommandSupport::FindSlowestExternalAxis(
        target.jointSet, state.jointSet, jointMaxVelocity, maxJoints);
    const double tExt = ext.time;
    const double extDistance = ext.distance;
    const double extMaxVel = ext.maxVel;

    const double T = cycleMs / 1000.0;
    double tStep = 0.0;
    double eStep = 0.0;
    const double velocity = UsedVelCartesian();
    if (length / velocity >= tExt) {
        tStep = velocity * T;
        eStep = Share(extDistance, length / tStep);
    } else {
        eStep = extMaxVel * T;
        tStep = Share(length, extDistance / eStep);
    }
    const double scale = overridePercent / 100.0;
    translationStep = std::isfinite(tStep * scale) ? static_cast<float>(tStep * scale) : 0.0f;
    externalStep = std::isfinite(eStep * scale) ? static_cast<float>(eStep * scale) : 0.0f;
    lastOverride = overridePercent;
}

int CommandRelative::InterpolateLinear(int cycleMs, float overridePercent, DataTypes::RobotState* state) {
    if (firstCycle) {
        CopyPose(*state, target);
        MoveByDelta(*state, &target);
        CheckTarget(target);
        PlanLinearSteps(*state, cycleMs, overridePercent);
        firstCycle = false;
    } else if (overridePercent != lastOverride) {
        PlanLinearSteps(*state, cycleMs, overridePercent);
    }

    const DataTypes::Vector3 p0 = state->pose.GetTranslation();
    DataTypes::Vector3 d = target.pose.GetTranslation() - p0;
    float ld = d.Magnitude();
    if (ld > 0.1f) {
        d = d / ld;
    } else {
        ld = 0.0f;
    }
    DataTypes::Vector3 de(target.jointSet[6] - state->jointSet[6], target.jointSet[7] - state->jointSet[7],
                          target.jointSet[8] - state->jointSet[8]);
    float le = de.Magnitude();
    if (le > 0.1f) {
        de = de / le;
    } else {
        le = 0.0f;
    }

    if (ld > 0.1f || le > 0.1f) {
        state->pose.SetTranslation(p0 + d * std::min(translationStep, ld));
        const float me = std::min(externalStep, le);
        state->jointSet[6] += de.x * me;
        state->jointSet[7] += de.y * me;
        state->jointSet[8] += de.z * me;
        return ResultNotFinished;
    }

    state->pose = target.pose;
    for (int j = 6; j < maxJoints; ++j) {
        state->jointSet[j] = target.jointSet[j];
    }
    firstCycle = true;
    return nextSuccessor;
}

void CommandRelative::GetTargetPosition(DataTypes::RobotState* current, DataTypes::RobotState* targetOut,
                                        float& velCartesianOut, float& velJointPercentOut, float& accPercentOut,
                                        float& smoothPercentOut) {
    *targetOut = *current;
    MoveByDelta(*current, targetOut);
    CheckTarget(*targetOut);
    HandOutMotionValues(*this, velCartesianOut, velJointPercentOut, accPercentOut, smoothPercentOut);
}
