#pragma once

// Compares program commands attribute by attribute, exactly: what a program file holds of
// a command (its own number, description, motion values, targets, names, conditions), its
// links and the block ends written after it. Set-up that the loader gives (memory,
// interpreter, plug-in manager, joint maxima) and run state are not compared.

#include "program/Command.h"
#include "program/CommandCamera.h"
#include "program/CommandCircular.h"
#include "program/CommandDIO.h"
#include "program/CommandGripper.h"
#include "program/CommandIf.h"
#include "program/CommandJoint.h"
#include "program/CommandLinear.h"
#include "program/CommandLoop.h"
#include "program/CommandMathFunction.h"
#include "program/CommandMatrix.h"
#include "program/CommandMatrixDefinition.h"
#include "program/CommandMatrixQuery.h"
#include "program/CommandPlugin.h"
#include "program/CommandRelative.h"
#include "program/CommandSetVelocity.h"
#include "program/CommandStoreData.h"
#include "program/CommandSub.h"
#include "program/CommandWait.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace CommandCompare {

inline void ExpectSameVector(const DataTypes::Vector3& a, const DataTypes::Vector3& b, const char* what) {
    EXPECT_EQ(b.x, a.x) << what << ".x";
    EXPECT_EQ(b.y, a.y) << what << ".y";
    EXPECT_EQ(b.z, a.z) << what << ".z";
}

inline void ExpectSameFloats(const float* a, const float* b, int count, const char* what) {
    for (int i = 0; i < count; ++i) EXPECT_EQ(b[i], a[i]) << what << "[" << i << "]";
}

// Pose, A, B, C and the nine set-point joints: what a program target carries.
inline void ExpectSameTarget(const DataTypes::RobotState& a, const DataTypes::RobotState& b, const char* what) {
    ExpectSameFloats(a.pose.m, b.pose.m, 16, what);
    EXPECT_EQ(b.A, a.A) << what << ".A";
    EXPECT_EQ(b.B, a.B) << what << ".B";
    EXPECT_EQ(b.C, a.C) << what << ".C";
    ExpectSameFloats(a.jointSet, b.jointSet, Command::maxJoints, what);
}

template <typename T>
const T* As(const Command& c) {
    return dynamic_cast<const T*>(&c);
}

inline void ExpectSameOwnFields(const Command& a, const Command& b) {
    if (auto* x = As<CommandJoint>(a)) {
        auto& y = *As<CommandJoint>(b);
        EXPECT_EQ(y.source, x->source);
        EXPECT_EQ(y.variableName, x->variableName);
        EXPECT_EQ(y.abortCondition, x->abortCondition);
        ExpectSameTarget(x->target, y.target, "target");
    } else if (auto* x = As<CommandLinear>(a)) {
        auto& y = *As<CommandLinear>(b);
        EXPECT_EQ(y.source, x->source);
        EXPECT_EQ(y.variableName, x->variableName);
        EXPECT_EQ(y.abortCondition, x->abortCondition);
        ExpectSameTarget(x->target, y.target, "target");
    } else if (auto* x = As<CommandRelative>(a)) {
        auto& y = *As<CommandRelative>(b);
        EXPECT_EQ(y.frameMode, x->frameMode);
        EXPECT_EQ(y.abortCondition, x->abortCondition);
        // The distance as the move uses it: translation and the nine joints.
        ExpectSameVector(x->delta.pose.GetTranslation(), y.delta.pose.GetTranslation(), "delta");
        ExpectSameFloats(x->delta.jointSet, y.delta.jointSet, Command::maxJoints, "delta");
    } else if (auto* x = As<CommandCircular>(a)) {
        auto& y = *As<CommandCircular>(b);
        ExpectSameVector(x->endPoint, y.endPoint, "endPoint");
        ExpectSameVector(x->helpPoint, y.helpPoint, "helpPoint");
        ExpectSameVector(x->orientation, y.orientation, "orientation");
        ExpectSameVector(x->externalAxes, y.externalAxes, "externalAxes");
        EXPECT_EQ(y.variableSource, x->variableSource);
        EXPECT_EQ(y.helpVariableName, x->helpVariableName);
        EXPECT_EQ(y.endVariableName, x->endVariableName);
        EXPECT_EQ(y.useAngle, x->useAngle);
        EXPECT_EQ(y.angle, x->angle);
        EXPECT_EQ(y.abortCondition, x->abortCondition);
    } else if (auto* x = As<CommandWait>(a)) {
        auto& y = *As<CommandWait>(b);
        EXPECT_EQ(y.waitType, x->waitType);
        EXPECT_EQ(y.waitTime, x->waitTime);
        EXPECT_EQ(y.condition, x->condition);
    } else if (auto* x = As<CommandSetVelocity>(a)) {
        EXPECT_EQ(As<CommandSetVelocity>(b)->externalAxis, x->externalAxis);
    } else if (auto* x = As<CommandIf>(a)) {
        EXPECT_EQ(As<CommandIf>(b)->condition, x->condition);
    } else if (auto* x = As<CommandLoop>(a)) {
        auto& y = *As<CommandLoop>(b);
        EXPECT_EQ(y.mode, x->mode);
        EXPECT_EQ(y.times, x->times);
        EXPECT_EQ(y.condition, x->condition);
    } else if (auto* x = As<CommandSub>(a)) {
        auto& y = *As<CommandSub>(b);
        EXPECT_EQ(y.file, x->file);
        EXPECT_EQ(y.subProgramIndex, x->subProgramIndex);
    } else if (auto* x = As<CommandStoreData>(a)) {
        auto& y = *As<CommandStoreData>(b);
        EXPECT_EQ(y.name, x->name);
        EXPECT_EQ(y.type, x->type);
        EXPECT_EQ(y.useCurrentPosition, x->useCurrentPosition);
        ExpectSameVector(x->position, y.position, "position");
        ExpectSameVector(x->orientation, y.orientation, "orientation");
        ExpectSameFloats(x->joints, y.joints, Command::maxJoints, "joints");
        EXPECT_EQ(y.numberValue, x->numberValue);
    } else if (auto* x = As<CommandMathFunction>(a)) {
        auto& y = *As<CommandMathFunction>(b);
        EXPECT_EQ(y.function, x->function);
        EXPECT_EQ(y.firstOperand, x->firstOperand);
        EXPECT_EQ(y.secondOperand, x->secondOperand);
    } else if (auto* x = As<CommandMatrix>(a)) {
        auto& y = *As<CommandMatrix>(b);
        EXPECT_EQ(y.varPointA, x->varPointA);
        EXPECT_EQ(y.varPointB, x->varPointB);
        EXPECT_EQ(y.varPointC, x->varPointC);
        EXPECT_EQ(y.varTargetPos, x->varTargetPos);
        EXPECT_EQ(y.varCntX, x->varCntX);
        EXPECT_EQ(y.varCntY, x->varCntY);
        EXPECT_EQ(y.CntX, x->CntX);
        EXPECT_EQ(y.CntY, x->CntY);
    } else if (auto* x = As<CommandMatrixDefinition>(a)) {
        auto& y = *As<CommandMatrixDefinition>(b);
        EXPECT_EQ(y.name, x->name);
        EXPECT_EQ(y.varPointA, x->varPointA);
        EXPECT_EQ(y.varPointB, x->varPointB);
        EXPECT_EQ(y.varPointC, x->varPointC);
        EXPECT_EQ(y.CntX, x->CntX);
        EXPECT_EQ(y.CntY, x->CntY);
    } else if (auto* x = As<CommandMatrixQuery>(a)) {
        auto& y = *As<CommandMatrixQuery>(b);
        EXPECT_EQ(y.name, x->name);
        EXPECT_EQ(y.varIndex, x->varIndex);
        EXPECT_EQ(y.varTargetPos, x->varTargetPos);
        EXPECT_EQ(y.varCntX, x->varCntX);
        EXPECT_EQ(y.varCntY, x->varCntY);
    } else if (auto* x = As<CommandDIO>(a)) {
        auto& y = *As<CommandDIO>(b);
        EXPECT_EQ(y.channel, x->channel);
        EXPECT_EQ(y.state, x->state);
        EXPECT_EQ(y.isDOut, x->isDOut);
    } else if (auto* x = As<CommandGripper>(a)) {
        ExpectSameFloats(x->position, As<CommandGripper>(b)->position, 3, "position");
    } else if (auto* x = As<CommandCamera>(a)) {
        auto& y = *As<CommandCamera>(b);
        EXPECT_EQ(y.cameraName, x->cameraName);
        EXPECT_EQ(y.cameraType, x->cameraType);
        EXPECT_EQ(y.varTargetPos, x->varTargetPos);
        EXPECT_EQ(y.varModelClass, x->varModelClass);
    } else if (auto* x = As<CommandPlugin>(a)) {
        auto& y = *As<CommandPlugin>(b);
        EXPECT_EQ(y.pluginName, x->pluginName);
        EXPECT_EQ(y.varTargetPos, x->varTargetPos);
        EXPECT_EQ(y.varModelClass, x->varModelClass);
    }
    // Comment, Pause, Stop and System hold nothing of their own.
}

// One command: its class, its base fields and its own.
inline void ExpectSameCommand(const Command& a, const Command& b) {
    ASSERT_EQ(b.className, a.className);
    EXPECT_EQ(b.commandType, a.commandType);
    EXPECT_EQ(b.IsCombinable(), a.IsCombinable());
    EXPECT_EQ(b.valid, a.valid);
    EXPECT_EQ(b.number, a.number);
    EXPECT_EQ(b.description, a.description);
    EXPECT_EQ(b.velJointPercent, a.velJointPercent);
    EXPECT_EQ(b.velCartesian, a.velCartesian);
    EXPECT_EQ(b.velRotation, a.velRotation);
    EXPECT_EQ(b.accPercent, a.accPercent);
    EXPECT_EQ(b.smoothPercent, a.smoothPercent);
    ExpectSameOwnFields(a, b);
}

// Two command lists: every command as above, with its links and the block ends after it.
inline void ExpectSameCommands(const std::vector<std::shared_ptr<Command>>& a,
                               const std::vector<std::shared_ptr<Command>>& b) {
    ASSERT_EQ(b.size(), a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE("command " + std::to_string(i) + " " + a[i]->className);
        ExpectSameCommand(*a[i], *b[i]);
        EXPECT_EQ(b[i]->predecessor, a[i]->predecessor);
        EXPECT_EQ(b[i]->nextSuccessor, a[i]->nextSuccessor);
        EXPECT_EQ(b[i]->bodySuccessor, a[i]->bodySuccessor);
        EXPECT_EQ(b[i]->elseSuccessor, a[i]->elseSuccessor);
        EXPECT_EQ(b[i]->blockEndsAfter, a[i]->blockEndsAfter);
    }
}

}  // namespace CommandCompare
