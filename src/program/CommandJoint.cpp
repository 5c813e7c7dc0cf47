#include "program/CommandJoint.h"

#include "ElementWriter.h"
#include "MotionCommandSupport.h"
#include "core/LogSingleton.h"
#include "program/ProgramMemory.h"

#include <tinyxml2.h>

#include <cmath>
#include <cstdio>
#include <fstream>

using namespace MotionCommandSupport;

CommandJoint::CommandJoint() {
    className = "CommandJoint";
    commandType = CMD_JOINT;
    abortCondition = "false";
}

void CommandJoint::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    const tinyxml2::XMLElement& e = *element;
    const char* abort = ReadAbortAttribute(e, *this);
    if (abort == nullptr) {
        return;
    }
    const int nr = e.IntAttribute("Nr", 0);
    if (!ReadSource(e, *this)) {
        valid = false;
        log->add("ERROR: could not read Joint cmd, wrong source type!");
        return;
    }
    abortCondition = abort;
    velJointPercent = e.FloatAttribute("velPercent", 0.0f);
    accPercent = e.FloatAttribute("acc", 50.0f);
    smoothPercent = e.FloatAttribute("smooth", 20.0f);

    if (IsVariableSource()) {
        if (!ReadVariableName(e, *this)) {
            valid = false;
            return;
        }
        valid = true;
        if (!quiet) {
            log->addFormat("   Nr. %d: JointbyVar %s with vel %.1lf%%, acc %.1lf%%, smooth %.1lf%%, abortcond %s", nr,
                           variableName.c_str(), static_cast<double>(velJointPercent),
                           static_cast<double>(accPercent), static_cast<double>(smoothPercent),
                           abortCondition.c_str());
        }
        return;
    }

    for (int j = 0; j < maxJoints; ++j) {
        target.jointSet[j] = e.FloatAttribute(JointName(j), 0.0f);
    }
    valid = true;
    if (!quiet) {
        const float* t = target.jointSet;
        log->addFormat("   Nr. %d: Joint %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf  ExtJoints %.1lf %.1lf %.1lf  with vel "
                       "%.1lf%%, acc %.1lf%%, smooth %.1lf%%, abortcond %s",
                       nr, static_cast<double>(t[0]), static_cast<double>(t[1]), static_cast<double>(t[2]),
                       static_cast<double>(t[3]), static_cast<double>(t[4]), static_cast<double>(t[5]),
                       static_cast<double>(t[6]), static_cast<double>(t[7]), static_cast<double>(t[8]),
                       static_cast<double>(velJointPercent), static_cast<double>(accPercent),
                       static_cast<double>(smoothPercent), abortCondition.c_str());
    }
}

void CommandJoint::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out == nullptr) {
        return;
    }
    ElementWriter::Line line(*out, "Joint", *this);
    if (IsVariableSource()) {
        line.Raw("Source", "variable").Text("VariableName", variableName);
    } else {
        line.Raw("Source", "numerical");
        for (int j = 0; j < maxJoints; ++j) {
            line.Number(JointName(j), target.jointSet[j]);
        }
    }
    line.Number("velPercent", velJointPercent);
    EndMotionLine(line, *this);
}

int CommandJoint::Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) {
    if (firstCycle) {
        const bool byVariable = IsVariableSource();
        if (byVariable) {
            const Programs::MemoryPosition variable = TargetVariable(*this, variableName);
            CopyPose(*state, target);
            for (int j = 0; j < maxJoints; ++j) {
                target.jointSet[j] = variable.state.jointSet[j];
            }
        }
        // The programmed target stays untouched (the planner may read it meanwhile); the
        // run works on its own copy.
        float goal[maxJoints];
        for (int j = 0; j < maxJoints; ++j) {
            goal[j] = target.jointSet[j];
        }
        EliminateNonexistentJoints(goal);
        for (int j = 0; j < maxJoints; ++j) {
            effectiveTarget.jointSet[j] = goal[j] + (jointOffsets != nullptr ? jointOffsets[j] : 0.0f);
        }
        RequireFiniteJoints(className, effectiveTarget.jointSet, 0, maxJoints - 1,
                            byVariable ? variableName : std::string());
        RequireFinite(className, "velPercent", velJointPercent);
        // Only now: a first cycle that threw is repeated, not resumed with half a plan.
        firstCycle = false;
    }

    step = static_cast<float>(static_cast<double>(velJointPercent) / 100.0 * cycleMs / 1000.0 *
                              static_cast<double>(overridePercent) / 100.0);
    // A negative velocity or override would walk away from the target for ever: the
    // joints stand still instead, as at 0.
    if (!std::isfinite(step) || step < 0.0f) {
        step = 0.0f;
    }

    leadingRatio = 0.0f;
    for (int j = 0; j < maxJoints; ++j) {
        if (jointMaxVelocity[j] != 0.0f) {
            increments[j] = (effectiveTarget.jointSet[j] - state->jointSet[j]) / jointMaxVelocity[j];
            if (std::fabs(increments[j]) > leadingRatio) {
                leadingRatio = std::fabs(increments[j]);
            }
        } else {
            increments[j] = 0.0f;
        }
    }

    // A reached target also ends a run whose step is 0 (velocity or override 0), where
    // the division below would be 0/0.
    if (leadingRatio < step || leadingRatio == 0.0f) {
        for (int j = 0; j < maxJoints; ++j) {
            state->jointSet[j] = effectiveTarget.jointSet[j];
        }
        firstCycle = true;
        return nextSuccessor;
    }

    for (int j = 0; j < maxJoints; ++j) {
        increments[j] = increments[j] / leadingRatio * step * jointMaxVelocity[j];
        state->jointSet[j] += increments[j];
    }
    return ResultNotFinished;
}

void CommandJoint::GetTargetPosition(DataTypes::RobotState* /*current*/, DataTypes::RobotState* targetOut,
                                     float& velCartesianOut, float& velJointPercentOut, float& accPercentOut,
                                     float& smoothPercentOut) {
    const bool byVariable = IsVariableSource();
    if (byVariable) {
        const Programs::MemoryPosition variable = TargetVariable(*this, variableName);
        *targetOut = variable.state;
    } else {
        *targetOut = target;
    }
    EliminateNonexistentJoints(targetOut->jointSet);
    RequireFiniteJoints(className, targetOut->jointSet, 0, maxJoints - 1, byVariable ? variableName : std::string());
    RequireFinite(className, "velPercent", velJointPercent);
    HandOutMotionValues(*this, velCartesianOut, velJointPercentOut, accPercentOut, smoothPercentOut);
}

std::string CommandJoint::ToString() {
    char line[256];
    std::snprintf(line, sizeof(line), "Command Joint  - Pre: %d - Succ: %d %d %d", predecessor, nextSuccessor,
                  bodySuccessor, elseSuccessor);
    return line;
}
