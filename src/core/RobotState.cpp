#include "core/RobotState.h"

#include <algorithm>
#include <iterator>

namespace DataTypes {

namespace {

template <typename T, std::size_t N>
void CopyArray(T (&to)[N], const T (&from)[N]) {
    std::copy(std::begin(from), std::end(from), std::begin(to));
}

std::string FormatTriple(float a, float b, float c) {
    return "( " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) + " )";
}

}  // namespace

RobotState::RobotState(const RobotState& o) { CopyFrom(o); }

RobotState& RobotState::operator=(const RobotState& o) {
    if (this != &o) {
        CopyFrom(o);
    }
    return *this;
}

void RobotState::CopyFrom(const RobotState& o) {
    pose = o.pose;
    A = o.A;
    B = o.B;
    C = o.C;
    CopyArray(jointSet, o.jointSet);
    CopyArray(jointAct, o.jointAct);
    CopyArray(jointVel, o.jointVel);
    CopyArray(jointVelProgram, o.jointVelProgram);
    CopyArray(gripper, o.gripper);
    CopyArray(gripperHw, o.gripperHw);
    CopyArray(platformSet, o.platformSet);
    CopyArray(platformAct, o.platformAct);
    CopyArray(DIn, o.DIn);
    CopyArray(DOut, o.DOut);
    override = o.override;
    errorText = o.errorText;
    CopyArray(errorCodes, o.errorCodes);
    kinState = o.kinState;
    supply = o.supply;
    currentAll = o.currentAll;
    CopyArray(currents, o.currents);
    eStop = o.eStop;
    CopyArray(boardTemps, o.boardTemps);
    CopyArray(motorTemps, o.motorTemps);
    cpuTemp = o.cpuTemp;
    refOverall = o.refOverall;
    CopyArray(refJoint, o.refJoint);
    programLine = o.programLine;
    programLength = o.programLength;
    runState = o.runState;
    programReserved = o.programReserved;
    programName = o.programName;
    CopyArray(GSig, o.GSig);
}

std::string RobotState::ToStringPos() const { return FormatTriple(pose.m[3], pose.m[7], pose.m[11]); }

std::string RobotState::ToStringJoints() const { return FormatTriple(jointSet[0], jointSet[1], jointSet[2]); }

}  // namespace DataTypes
