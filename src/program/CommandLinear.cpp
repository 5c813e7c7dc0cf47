#include "program/CommandLinear.h"

#include "ElementWriter.h"
#include "MotionCommandSupport.h"
#include "core/LogSingleton.h"
#include "program/ProgramMemory.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cmath>
#include <fstream>

using namespace MotionCommandSupport;

CommandLinear::CommandLinear() {
    className = "CommandLinear";
    commandType = CMD_CARTESIAN;
}

void CommandLinear::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    const tinyxml2::XMLElement& e = *element;
    const int nr = e.IntAttribute("Nr", 0);
    if (!ReadSource(e, *this)) {
        valid = false;
        log->add("ERROR: could not read CommandLinear, wrong source type!");
        return;
    }
    const char* abort = ReadAbortAttribute(e, *this);
    if (abort == nullptr) {
        return;
    }
    abortCondition = abort;
    velCartesian = e.FloatAttribute("vel", 0.0f);
    accPercent = e.FloatAttribute("acc", 0.0f);
    smoothPercent = e.FloatAttribute("smooth", 0.0f);
    const double vel = velCartesian;
    const double acc = accPercent;
    const double smooth = smoothPercent;

    if (IsVariableSource()) {
        if (!ReadVariableName(e, *this)) {
            valid = false;
            return;
        }
        valid = true;
        if (!quiet) {
            log->addFormat("   Nr. %d: Linear by Variable %s  with %.1lf mm/s acc %.1lf%%, smooth %.1lf%%, abortcond %s",
                           nr, variableName.c_str(), vel, acc, smooth, abortCondition.c_str());
        }
        return;
    }

    target.pose.SetTranslation(e.FloatAttribute("x", 0.0f), e.FloatAttribute("y", 0.0f), e.FloatAttribute("z", 0.0f));
    target.A = e.FloatAttribute("a", 0.0f);
    target.B = e.FloatAttribute("b", 0.0f);
    target.C = e.FloatAttribute("c", 0.0f);
    target.UpdateMatrixFromABC();
    for (int j = 6; j < maxJoints; ++j) {
        target.jointSet[j] = e.FloatAttribute(JointName(j), 0.0f);
    }
    valid = true;
    if (!quiet) {
        const DataTypes::Vector3 p = target.pose.GetTranslation();
        const float* x = target.jointSet;
        log->addFormat("   Nr. %d: Linear %.1lf %.1lf %.1lf -- %.1lf %.1lf %.1lf  Ext %.1lf %.1lf %.1lf   with %.1lf mm/s "
                       "acc %.1lf%%, smooth %.1lf%%, abortcond %s",
                       nr, static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.z),
                       static_cast<double>(target.A), static_cast<double>(target.B), static_cast<double>(target.C),
                       static_cast<double>(x[6]), static_cast<double>(x[7]), static_cast<double>(x[8]), vel, acc,
                       smooth, abortCondition.c_str());
    }
}

void CommandLinear::WriteXML(std::ofstream* out, int /*commandCount*/) {
    LogSingleton::instance()->addConsole("****************** Writing Linear motion*********************");
    if (out == nullptr) {
        return;
    }
    ElementWriter::Line line(*out, "Linear", *this);
    if (IsVariableSource()) {
        // The target comes from the variable at run time; the numbers would load as a
        // numerical move to them.
        line.Raw("Source", "variable").Text("VariableName", variableName);
    } else {
        const DataTypes::Vector3 p = target.pose.GetTranslation();
        line.Number("x", p.x).Number("y", p.y).Number("z", p.z);
        line.Number("a", target.A).Number("b", target.B).Number("c", target.C);
        for (int j = 6; j < maxJoints; ++j) {
            line.Number(JointName(j), target.jointSet[j]);
        }
    }
    // As programmed: the loader's limit applies where the move runs.
    line.Number("vel", velCartesian);
    EndMotionLine(line, *this);
}

void CommandLinear::BuildEffectiveTarget(const DataTypes::RobotState& state) {
    const bool byVariable = IsVariableSource();
    if (byVariable) {
        const Programs::MemoryPosition variable = TargetVariable(*this, variableName);
        CopyPose(state, target);
        target.pose.SetTranslation(variable.state.pose.GetTranslation());
        target.A = variable.state.A;
        target.B = variable.state.B;
        target.C = variable.state.C;
        target.UpdateMatrixFromABC();
        for (int j = 6; j < maxJoints; ++j) {
            target.jointSet[j] = variable.state.jointSet[j];
        }
    }
    // The programmed target stays untouched (the planner may read it meanwhile).
    CopyPose(target, effectiveTarget);
    EliminateNonexistentJoints(effectiveTarget.jointSet);
    if (cartesianOffsets != nullptr) {
        const float* o = cartesianOffsets;
        const DataTypes::Vector3 p = effectiveTarget.pose.GetTranslation();
        effectiveTarget.pose.SetTranslation(p.x + o[0], p.y + o[1], p.z + o[2]);
        effectiveTarget.A += o[3];
        effectiveTarget.B += o[4];
        effectiveTarget.C += o[5];
    }
    effectiveTarget.UpdateMatrixFromABC();
    if (jointOffsets != nullptr) {
        for (int j = 6; j < maxJoints; ++j) {
            effectiveTarget.jointSet[j] += jointOffsets[j];
        }
    }
    RequireFiniteCartesian(className, effectiveTarget, byVariable ? variableName : std::string());
}

void CommandLinear::PlanSteps(const DataTypes::RobotState& state, int cycleMs, float overridePercent) {
    DataTypes::Matrix44 rs = state.pose;
    rs.SetTranslation(0.0f, 0.0f, 0.0f);
    DataTypes::Matrix44 rt = effectiveTarget.pose;
    rt.SetTranslation(0.0f, 0.0f, 0.0f);
    (rs.Inverse() * rt).GetAxisAngle(&rotationAxis, &remainingRotation);

    const double length = (effectiveTarget.pose.GetTranslation() - state.pose.GetTranslation()).Magnitude();
    const double rotation = remainingRotation;

    const MotionCommandSupport::SlowestExternalAxis ext = MotionCommandSupport::FindSlowestExternalAxis(
        effectiveTarget.jointSet, state.jointSet, jointMaxVelocity, maxJoints);
    const double tExt = ext.time;
    const double extDistance = ext.distance;
    const double extMaxVel = ext.maxVel;

    const double T = cycleMs / 1000.0;
    const double velocity = UsedVelCartesian();
    const double tLin = length / velocity;
    const double tRot = rotation / velRotation;
    // The slowest quantity moves at its own maximum; the others share its cycle count.
    double tStep = 0.0;
    double rStep = 0.0;
    double eStep = 0.0;
    if (tLin >= tRot && tLin >= tExt) {
        tStep = velocity * T;
        const double cycles = length / tStep;
        rStep = Share(rotation, cycles);
        eStep = Share(extDistance, cycles);
    } else if (tRot >= tExt) {
        rStep = velRotation * T;
        const double cycles = rotation / rStep;
        tStep = Share(length, cycles);
        eStep = Share(extDistance, cycles);
    } else {
        eStep = extMaxVel * T;
        const double cycles = extDistance / eStep;
        tStep = Share(length, cycles);
        rStep = Share(rotation, cycles);
    }
    const double scale = overridePercent / 100.0;
    const auto finiteOrZero = [](double v) { return std::isfinite(v) ? static_cast<float>(v) : 0.0f; };
    translationStep = finiteOrZero(tStep * scale);
    rotationStep = finiteOrZero(rStep * scale);
    externalStep = finiteOrZero(eStep * scale);
    lastOverride = overridePercent;
}

int CommandLinear::Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) {
    if (firstCycle) {
        BuildEffectiveTarget(*state);
        RequireFinite(className, "vel", velCartesian);
        RequireFinite(className, "rotation velocity", velRotation);
        PlanSteps(*state, cycleMs, overridePercent);
        firstCycle = false;
    } else if (overridePercent != lastOverride) {
        PlanSteps(*state, cycleMs, overridePercent);
    }

    const DataTypes::Vector3 p0 = state->pose.GetTranslation();
    DataTypes::Vector3 d = effectiveTarget.pose.GetTranslation() - p0;
    float ld = d.Magnitude();
    if (ld > 0.1f) {
        d = d / ld;
    } else {
        ld = 0.0f;
    }
    DataTypes::Vector3 de(effectiveTarget.jointSet[6] - state->jointSet[6],
                          effectiveTarget.jointSet[7] - state->jointSet[7],
                          effectiveTarget.jointSet[8] - state->jointSet[8]);
    float le = de.Magnitude();
    if (le > 0.1f) {
        de = de / le;
    } else {
        le = 0.0f;
    }

    if (ld > 0.1f || remainingRotation > 0.05f || le > 0.1f) {
        state->pose.SetTranslation(p0 + d * std::min(translationStep, ld));
        const float r = std::min(rotationStep, remainingRotation);
        state->pose.RotateAxisAngle(rotationAxis, r);
        remainingRotation -= r;
        const float me = std::min(externalStep, le);
        state->jointSet[6] += de.x * me;
        state->jointSet[7] += de.y * me;
        state->jointSet[8] += de.z * me;
        return ResultNotFinished;
    }

    state->pose = effectiveTarget.pose;
    for (int j = 6; j < maxJoints; ++j) {
        state->jointSet[j] = effectiveTarget.jointSet[j];
    }
    firstCycle = true;
    return nextSuccessor;
}

void CommandLinear::GetTargetPosition(DataTypes::RobotState* /*current*/, DataTypes::RobotState* targetOut,
                                      float& velCartesianOut, float& velJointPercentOut, float& accPercentOut,
                                      float& smoothPercentOut) {
    const bool byVariable = IsVariableSource();
    if (byVariable) {
        const Programs::MemoryPosition variable = TargetVariable(*this, variableName);
        *targetOut = variable.state;
        targetOut->UpdateMatrixFromABC();
    } else {
        *targetOut = target;
    }
    EliminateNonexistentJoints(targetOut->jointSet);
    RequireFiniteCartesian(className, *targetOut, byVariable ? variableName : std::string());
    RequireFinite(className, "vel", velCartesian);
    HandOutMotionValues(*this, velCartesianOut, velJointPercentOut, accPercentOut, smoothPercentOut);
}
