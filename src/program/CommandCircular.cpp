#include "program/CommandCircular.h"

#include "ElementWriter.h"
#include "MotionCommandSupport.h"
#include "core/LogSingleton.h"
#include "core/StringHelper.h"
#include "program/ProgramMemory.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <stdexcept>

CommandCircular::CommandCircular() {
    className = "CommandCircular";
    commandType = CMD_CARTESIAN;
}

void CommandCircular::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    try {
        const tinyxml2::XMLElement& e = *element;
        // "nan" and "inf" parse as numbers, but no motion can be planned with them.
        auto finite = [&e](const char* name) {
            const float value = ReadFloat(e, name);
            if (!std::isfinite(value)) {
                throw XMLAttribParseException(name);
            }
            return value;
        };
        abortCondition = ReadString(e, "AbortCondition");
        const int nr = ReadInt(e, "Nr");
        velCartesian = finite("vel");
        // At 0 the arc never arrives; a negative speed is no speed.
        if (!(velCartesian > 0.0f)) {
            throw XMLAttribParseException("vel");
        }
        accPercent = finite("acc");
        smoothPercent = finite("smooth");
        useAngle = ReadBool(e, "useAngle");
        angle = static_cast<double>(finite("angle"));
        variableSource = StringHelper::ToLower(ReadString(e, "Source")) == "variable";
        if (variableSource) {
            helpVariableName = ReadString(e, "VariableHelperName");
            endVariableName = ReadString(e, "VariableEndName");
        } else {
            helpPoint = DataTypes::Vector3(finite("p1x"), finite("p1y"), finite("p1z"));
            endPoint = DataTypes::Vector3(finite("p2x"), finite("p2y"), finite("p2z"));
            orientation = DataTypes::Vector3(finite("a"), finite("b"), finite("c"));
            externalAxes = DataTypes::Vector3(finite("e1"), finite("e2"), finite("e3"));
        }
        valid = true;

        if (quiet) {
            return;
        }
        const double vel = velCartesian;
        const double acc = accPercent;
        const double smooth = smoothPercent;
        const char* cond = abortCondition.c_str();
        if (variableSource) {
            if (useAngle) {
                log->addFormat("   Nr. %d: Circular var helper=\"%s\", var target=\"%s\", angle %.1lf   with %.1lf "
                               "mm/s acc %.1lf%%, smooth %.1lf%%, abortcond %s",
                               nr, helpVariableName.c_str(), endVariableName.c_str(), angle, vel, acc, smooth, cond);
            } else {
                log->addFormat("   Nr. %d: Circular var helper=\"%s\", var target=\"%s\"   with %.1lf mm/s acc "
                               "%.1lf%%, smooth %.1lf%%, abortcond %s",
                               nr, helpVariableName.c_str(), endVariableName.c_str(), vel, acc, smooth, cond);
            }
            return;
        }
        const double h[3] = {helpPoint.x, helpPoint.y, helpPoint.z};
        const double p[3] = {endPoint.x, endPoint.y, endPoint.z};
        const double o[3] = {orientation.x, orientation.y, orientation.z};
        const double x[3] = {externalAxes.x, externalAxes.y, externalAxes.z};
        if (useAngle) {
            log->addFormat("   Nr. %d: Circular %.1lf %.1lf %.1lf, %.1lf %.1lf %.1lf, Ori %.1lf %.1lf %.1lf Ext %.1lf "
                           "%.1lf %.1lf, angle %.1lf   with %.1lf mm/s acc %.1lf%%, smooth %.1lf%%, abortcond %s",
                           nr, h[0], h[1], h[2], p[0], p[1], p[2], o[0], o[1], o[2], x[0], x[1], x[2], angle, vel, acc,
                           smooth, cond);
        } else {
            log->addFormat("   Nr. %d: Circular %.1lf %.1lf %.1lf, %.1lf %.1lf %.1lf, Ori %.1lf %.1lf %.1lf Ext %.1lf "
                           "%.1lf %.1lf   with %.1lf mm/s acc %.1lf%%, smooth %.1lf%%, abortcond %s",
                           nr, h[0], h[1], h[2], p[0], p[1], p[2], o[0], o[1], o[2], x[0], x[1], x[2], vel, acc, smooth,
                           cond);
        }
    } catch (const XMLException& ex) {
        valid = false;
        log->addFormat("Error: Could not read CommandCircular: %s", ex.what());
    }
}

void CommandCircular::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out == nullptr) {
        return;
    }
    ElementWriter::Line line(*out, "Circular", *this);
    // As programmed: the loader's limit applies where the arc runs.
    line.Number("vel", velCartesian).Number("acc", accPercent).Number("smooth", smoothPercent);
    // The reader takes the angle as a float.
    line.Bool("useAngle", useAngle).Number("angle", static_cast<float>(angle));
    if (variableSource) {
        line.Raw("Source", "variable");
        line.Text("VariableHelperName", helpVariableName).Text("VariableEndName", endVariableName);
    } else {
        line.Raw("Source", "numerical");
        line.Number("p1x", helpPoint.x).Number("p1y", helpPoint.y).Number("p1z", helpPoint.z);
        line.Number("p2x", endPoint.x).Number("p2y", endPoint.y).Number("p2z", endPoint.z);
        line.Number("a", orientation.x).Number("b", orientation.y).Number("c", orientation.z);
        line.Number("e1", externalAxes.x).Number("e2", externalAxes.y).Number("e3", externalAxes.z);
    }
    line.Text("AbortCondition", abortCondition);
    line.End(*this);
}

void CommandCircular::CalculateCircleParameters(const DataTypes::Vector3& start, const DataTypes::Vector3& help,
                                                const DataTypes::Vector3& end) {
    if (useAngle) {
        circle = std::make_shared<CircleParameters>(start, help, end, angle);
    } else {
        circle = std::make_shared<CircleParameters>(start, help, end);
    }
}

CommandCircular::Targets CommandCircular::ResolveTargets() {
    Targets t;
    if (!variableSource) {
        t.help = helpPoint;
        t.end = endPoint;
        t.orientation = orientation;
        t.externalAxes = externalAxes;
        return t;
    }
    if (memory == nullptr || !memory->HasVariable(helpVariableName) || !memory->HasVariable(endVariableName)) {
        throw std::runtime_error("CommandCircular: Variable is not defined");
    }
    const Programs::MemoryPosition help = memory->GetVariable(helpVariableName);
    const Programs::MemoryPosition end = memory->GetVariable(endVariableName);
    MotionCommandSupport::RequirePositionVariable(className, help);
    MotionCommandSupport::RequirePositionVariable(className, end);
    t.help = help.state.pose.GetTranslation();
    t.end = end.state.pose.GetTranslation();
    t.orientation = DataTypes::Vector3(end.state.A, end.state.B, end.state.C);
    t.externalAxes = DataTypes::Vector3(end.state.jointSet[6], end.state.jointSet[7], end.state.jointSet[8]);
    return t;
}

void CommandCircular::GetTargetPosition(DataTypes::RobotState* current, DataTypes::RobotState* target,
                                        float& velCartesianOut, float& velJointPercentOut, float& accPercentOut,
                                        float& smoothPercentOut) {
    const Targets t = ResolveTargets();
    CalculateCircleParameters(current->pose.GetTranslation(), t.help, t.end);

    target->jointSet[6] = t.externalAxes.x;
    target->jointSet[7] = t.externalAxes.y;
    target->jointSet[8] = t.externalAxes.z;
    target->pose.SetRotationABCDeg2(t.orientation.x, t.orientation.y, t.orientation.z);
    target->A = t.orientation.x;
    target->B = t.orientation.y;
    target->C = t.orientation.z;
    target->pose.SetTranslation(circle->CalculatePosition(circle->angle));
    target->pose(3, 3) = 1.0f;

    velCartesianOut = UsedVelCartesian();
    velJointPercentOut = velJointPercent;
    accPercentOut = accPercent;
    smoothPercentOut = smoothPercent;
    EliminateNonexistentJoints(target->jointSet);
}

void CommandCircular::PlanSteps(const DataTypes::RobotState& state, const Targets& targets, int cycleMs,
                                float overridePercent) {
    const double T = cycleMs;
    const double ov = overridePercent;
    // The arc runs at half the programmed speed: the divisor is 200000.
    const double arcStep = static_cast<double>(UsedVelCartesian()) * T * ov / (circle->radius * 200000.0);
    const double sweep = std::fabs(circle->angle);
    const double nArc = sweep / arcStep;

    DataTypes::Matrix44 rs = state.pose;
    rs.SetTranslation(0.0f, 0.0f, 0.0f);
    DataTypes::Matrix44 rt;
    rt.SetRotationABCDeg2(targets.orientation.x, targets.orientation.y, targets.orientation.z);
    DataTypes::Vector3 axis;
    float phi = 0.0f;
    (rs.Inverse() * rt).GetAxisAngle(&axis, &phi);

    DataTypes::Vector3 deltaExt;
    for (unsigned i = 0; i < 3; ++i) {
        deltaExt[i] = targets.externalAxes[i] - startExternalAxes[i];
    }

    // Cycles each quantity needs at its own maximum, scaled by the override like the arc.
    const double scale = T / 1000.0 * ov / 100.0;
    double nLead = nArc;
    bool arcLeads = true;
    if (velRotation > 0.0f) {
        const double nRot = static_cast<double>(phi) / (static_cast<double>(velRotation) * scale);
        if (nRot > nLead) {
            nLead = nRot;
            arcLeads = false;
        }
    }
    for (unsigned i = 0; i < 3; ++i) {
        const double maxVel = jointMaxVelocity[6 + i];
        if (maxVel != 0.0) {
            const double nExt = std::fabs(static_cast<double>(deltaExt[i]) / (maxVel * scale));
            if (nExt > nLead) {
                nLead = nExt;
                arcLeads = false;
            }
        }
    }

    angleStep = arcLeads ? arcStep : sweep / nLead;
    rotationStep = static_cast<double>(phi) / nLead;
    externalStep = deltaExt / nLead;
    rotationAxis = axis;
}

int CommandCircular::Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) {
    if (firstCycle) {
        startExternalAxes = DataTypes::Vector3(state->jointSet[6], state->jointSet[7], state->jointSet[8]);
        const Targets targets = ResolveTargets();
        CalculateCircleParameters(state->pose.GetTranslation(), targets.help, targets.end);
        PlanSteps(*state, targets, cycleMs, overridePercent);
        currentAngle = 0.0;
        // Only now: a failed first cycle must be repeated, not resumed with a stale circle.
        firstCycle = false;
    }

    const double sweep = circle->angle;
    const double before = currentAngle;
    if (sweep > 0.0) {
        currentAngle = std::min(currentAngle + angleStep, sweep);
    } else {
        currentAngle = std::max(currentAngle - angleStep, sweep);
    }
    // The last step is usually partial; orientation and axes take the same share of their
    // step, so all of them arrive together and none overshoots.
    const double share = angleStep > 0.0 ? std::fabs(currentAngle - before) / angleStep : 0.0;
    state->pose.SetTranslation(circle->CalculatePosition(currentAngle));
    state->pose.RotateAxisAngle(rotationAxis, static_cast<float>(rotationStep * share));
    for (int i = 0; i < 3; ++i) {
        state->jointSet[6 + i] += static_cast<float>(externalStep[static_cast<unsigned>(i)] * share);
    }

    // The angle is clamped to the sweep, so it reaches it exactly. A fixed angular
    // tolerance would stop a large circle far short of its end point.
    const bool arrived = currentAngle == sweep;
    if (arrived) {
        firstCycle = true;
        return nextSuccessor;
    }
    return ResultNotFinished;
}

int CommandCircular::InterpolateLogic(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* state) {
    abortParser.SetExpression(abortCondition);
    if (abortParser.GetCurrentResult(memory, state)) {
        return nextSuccessor;
    }
    return ResultNotFinished;
}
