#include "core/RobotState.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using DataTypes::Matrix44;
using DataTypes::RobotState;

namespace {

// Gives every field (but previousErrorText) a value unlike the default and unlike its
// neighbours, seeded so two records can differ everywhere.
void Fill(RobotState& s, float seed) {
    float v = seed;
    const auto next = [&v]() { return v += 1.0f; };
    for (float& e : s.pose.m) e = next();
    s.A = next();
    s.B = next();
    s.C = next();
    for (float* arr : {s.jointSet, s.jointAct, s.jointVel, s.jointVelProgram}) {
        for (int i = 0; i < 9; ++i) arr[i] = next();
    }
    for (int i = 0; i < 3; ++i) s.gripper[i] = next();
    for (int i = 0; i < 3; ++i) s.gripperHw[i] = next();
    for (int i = 0; i < 4; ++i) s.platformSet[i] = next();
    for (int i = 0; i < 4; ++i) s.platformAct[i] = next();
    for (int i = 0; i < RobotState::maxIOs; ++i) {
        s.DIn[i] = (i % 3) == 0;
        s.DOut[i] = (i % 5) == 1;
    }
    s.override = next();
    s.errorText = "Error" + std::to_string(static_cast<int>(seed));
    for (int i = 0; i < 16; ++i) {
        s.errorCodes[i] = static_cast<int>(next());
        s.currents[i] = static_cast<int>(next());
        s.boardTemps[i] = next();
        s.motorTemps[i] = next();
        s.refJoint[i] = (i % 2) == 0;
    }
    s.kinState = static_cast<int>(next());
    s.supply = static_cast<int>(next());
    s.currentAll = static_cast<int>(next());
    s.eStop = static_cast<int>(next());
    s.cpuTemp = next();
    s.refOverall = static_cast<int>(next());
    s.programLine = static_cast<int>(next());
    s.programLength = static_cast<int>(next());
    s.runState = static_cast<int>(next());
    s.programReserved = static_cast<int>(next());
    s.programName = "Program" + std::to_string(static_cast<int>(seed)) + std::string(40, 'x');
    for (int i = 0; i < RobotState::maxSignals; ++i) s.GSig[i] = (i % 7) == 2;
}

template <typename T, std::size_t N>
void ExpectArrayEq(const T (&a)[N], const T (&b)[N], const char* name) {
    for (std::size_t i = 0; i < N; ++i) {
        EXPECT_EQ(a[i], b[i]) << name << "[" << i << "]";
    }
}

void ExpectSameExceptPreviousErrorText(const RobotState& a, const RobotState& b) {
    ExpectArrayEq(a.pose.m, b.pose.m, "pose");
    EXPECT_EQ(a.A, b.A);
    EXPECT_EQ(a.B, b.B);
    EXPECT_EQ(a.C, b.C);
    ExpectArrayEq(a.jointSet, b.jointSet, "jointSet");
    ExpectArrayEq(a.jointAct, b.jointAct, "jointAct");
    ExpectArrayEq(a.jointVel, b.jointVel, "jointVel");
    ExpectArrayEq(a.jointVelProgram, b.jointVelProgram, "jointVelProgram");
    ExpectArrayEq(a.gripper, b.gripper, "gripper");
    ExpectArrayEq(a.gripperHw, b.gripperHw, "gripperHw");
    ExpectArrayEq(a.platformSet, b.platformSet, "platformSet");
    ExpectArrayEq(a.platformAct, b.platformAct, "platformAct");
    ExpectArrayEq(a.DIn, b.DIn, "DIn");
    ExpectArrayEq(a.DOut, b.DOut, "DOut");
    EXPECT_EQ(a.override, b.override);
    EXPECT_EQ(a.errorText, b.errorText);
    ExpectArrayEq(a.errorCodes, b.errorCodes, "errorCodes");
    EXPECT_EQ(a.kinState, b.kinState);
    EXPECT_EQ(a.supply, b.supply);
    EXPECT_EQ(a.currentAll, b.currentAll);
    ExpectArrayEq(a.currents, b.currents, "currents");
    EXPECT_EQ(a.eStop, b.eStop);
    ExpectArrayEq(a.boardTemps, b.boardTemps, "boardTemps");
    ExpectArrayEq(a.motorTemps, b.motorTemps, "motorTemps");
    EXPECT_EQ(a.cpuTemp, b.cpuTemp);
    EXPECT_EQ(a.refOverall, b.refOverall);
    ExpectArrayEq(a.refJoint, b.refJoint, "refJoint");
    EXPECT_EQ(a.programLine, b.programLine);
    EXPECT_EQ(a.programLength, b.programLength);
    EXPECT_EQ(a.runState, b.runState);
    EXPECT_EQ(a.programReserved, b.programReserved);
    EXPECT_EQ(a.programName, b.programName);
    ExpectArrayEq(a.GSig, b.GSig, "GSig");
}

}  // namespace

TEST(RobotState, DefaultsAreIdentityZeroFalseAndNa) {
    static_assert(RobotState::maxIOs == 64 && RobotState::maxSignals == 100, "I/O and signal counts");
    const RobotState s;
    EXPECT_TRUE(s.pose.Equals(Matrix44(), 0.0f));
    const std::vector<std::pair<const float*, int>> floats = {
        {s.jointSet, 9},    {s.jointAct, 9},    {s.jointVel, 9},   {s.jointVelProgram, 9},
        {s.gripper, 3},     {s.gripperHw, 3},   {s.platformSet, 4}, {s.platformAct, 4},
        {s.boardTemps, 16}, {s.motorTemps, 16},
    };
    for (const auto& f : floats) {
        for (int i = 0; i < f.second; ++i) EXPECT_EQ(f.first[i], 0.0f);
    }
    for (const int* arr : {s.errorCodes, s.currents}) {
        for (int i = 0; i < 16; ++i) EXPECT_EQ(arr[i], 0);
    }
    for (bool v : s.DIn) EXPECT_FALSE(v);
    for (bool v : s.DOut) EXPECT_FALSE(v);
    for (bool v : s.GSig) EXPECT_FALSE(v);
    for (bool v : s.refJoint) EXPECT_FALSE(v);
    EXPECT_EQ(s.A + s.B + s.C + s.override + s.cpuTemp, 0.0f);
    EXPECT_EQ(s.kinState | s.supply | s.currentAll | s.eStop | s.refOverall | s.programLine | s.programLength |
                  s.runState | s.programReserved,
              0);
    EXPECT_EQ(s.errorText, "n/a");
    EXPECT_EQ(s.previousErrorText, "");
    EXPECT_EQ(s.programName, "");
}

TEST(RobotState, FieldsAreInDeclaredOrder) {
    const RobotState s;
    const std::vector<const void*> order = {
        &s.pose,        &s.A,          &s.B,           &s.C,         s.jointSet,      s.jointAct,
        s.jointVel,     s.jointVelProgram, s.gripper,  s.gripperHw,  s.platformSet,   s.platformAct,
        s.DIn,          s.DOut,        &s.override,    &s.errorText, &s.previousErrorText, s.errorCodes,
        &s.kinState,    &s.supply,     &s.currentAll,  s.currents,   &s.eStop,        s.boardTemps,
        s.motorTemps,   &s.cpuTemp,    &s.refOverall,  s.refJoint,   &s.programLine,  &s.programLength,
        &s.runState,    &s.programReserved, &s.programName, s.GSig,
    };
    for (std::size_t i = 1; i < order.size(); ++i) {
        EXPECT_LT(reinterpret_cast<std::uintptr_t>(order[i - 1]), reinterpret_cast<std::uintptr_t>(order[i]))
            << "field " << i;
    }
    // The motor temperatures follow the board temperatures and the saved program
    // velocities follow the joint velocities with nothing in between.
    EXPECT_EQ(static_cast<const void*>(s.boardTemps + 16), static_cast<const void*>(s.motorTemps));
    EXPECT_EQ(static_cast<const void*>(s.jointVel + 9), static_cast<const void*>(s.jointVelProgram));
}

TEST(RobotState, CopyTakesEverythingButPreviousErrorText) {
    RobotState source;
    Fill(source, 100.0f);
    source.previousErrorText = "SourcePrevious";

    const RobotState copy(source);
    ExpectSameExceptPreviousErrorText(copy, source);
    EXPECT_EQ(copy.previousErrorText, "");

    RobotState target;
    Fill(target, 5000.0f);
    target.previousErrorText = "TargetPrevious";
    target = source;
    ExpectSameExceptPreviousErrorText(target, source);
    EXPECT_EQ(target.previousErrorText, "TargetPrevious");

    RobotState& alias = target;
    target = alias;
    ExpectSameExceptPreviousErrorText(target, source);
    EXPECT_EQ(target.previousErrorText, "TargetPrevious");
}

TEST(RobotState, AbcAndMatrixRoundTripKeepingPosition) {
    const float cases[][3] = {{0, 0, 0}, {30, 20, 10}, {-175, 89.5f, 60}, {120, -89.5f, -150}, {90, 0, 180}};
    for (const auto& c : cases) {
        RobotState s;
        s.pose.SetTranslation(100, -200, 300);
        s.A = c[0];
        s.B = c[1];
        s.C = c[2];
        s.UpdateMatrixFromABC();
        s.A = s.B = s.C = 999;
        s.UpdateABC();
        EXPECT_NEAR(std::remainder(s.A - c[0], 360.0f), 0.0f, 1e-3f) << c[0] << " " << c[1] << " " << c[2];
        EXPECT_NEAR(s.B, c[1], 1e-3f);
        EXPECT_NEAR(std::remainder(s.C - c[2], 360.0f), 0.0f, 1e-3f);
        EXPECT_EQ(s.pose.m[3], 100.0f);
        EXPECT_EQ(s.pose.m[7], -200.0f);
        EXPECT_EQ(s.pose.m[11], 300.0f);
    }
}

TEST(RobotState, TextFormsUseSixDecimalsAndThreeValues) {
    RobotState s;
    s.pose.SetTranslation(1.5f, -2.0f, 1234.25f);
    EXPECT_EQ(s.ToStringPos(), "( 1.500000 -2.000000 1234.250000 )");
    for (int i = 0; i < 6; ++i) s.jointSet[i] = 10.0f * (i + 1);
    EXPECT_EQ(s.ToStringJoints(), "( 10.000000 20.000000 30.000000 )");
}
