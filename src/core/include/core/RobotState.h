#pragma once

#include "core/Matrix44.h"

#include <string>

namespace DataTypes {

// The robot at one moment: pose, joints, gripper, platform, I/O, drive data and program
// progress. Joint arrays hold robot joints a1..a6 at 0..5 and external axes e1..e3 at
// 6..8. The robot loop fills a working copy each cycle and assigns it to the published
// copy; the record itself carries no lock.
class RobotState {
public:
    static constexpr int maxIOs = 64;
    static constexpr int maxSignals = 100;

    Matrix44 pose;
    float A = 0.0f;
    float B = 0.0f;
    float C = 0.0f;
    float jointSet[9] = {};
    float jointAct[9] = {};
    float jointVel[9] = {};
    float jointVelProgram[9] = {};  // saved program velocities; 6..8 = external axes
    float gripper[3] = {};           // [0] = -1 during interpolation means "no new target"
    float gripperHw[3] = {};
    float platformSet[4] = {};
    float platformAct[4] = {};
    bool DIn[maxIOs] = {};
    bool DOut[maxIOs] = {};
    float override = 0.0f;
    std::string errorText = "n/a";
    std::string previousErrorText;  // belongs to the record's owner: never copied
    int errorCodes[16] = {};
    int kinState = 0;
    int supply = 0;
    int currentAll = 0;
    int currents[16] = {};
    int eStop = 0;
    float boardTemps[16] = {};
    float motorTemps[16] = {};
    float cpuTemp = 0.0f;
    int refOverall = 0;
    bool refJoint[16] = {};
    int programLine = 0;
    int programLength = 0;
    int runState = 0;  // 0 stopped, 1 running, 2 paused
    int programReserved = 0;
    std::string programName;
    bool GSig[maxSignals] = {};

    RobotState() = default;
    // Copies every field but previousErrorText: a copy starts with it empty, an assignment
    // keeps the target's own, so change detection stays with the working record.
    RobotState(const RobotState& o);
    RobotState& operator=(const RobotState& o);
    ~RobotState() = default;

    void UpdateMatrixFromABC() { pose.SetRotationABCDeg2(A, B, C); }
    void UpdateABC() { pose.GetABCDeg(&A, &B, &C); }

    // "( x y z )" of the pose translation.
    std::string ToStringPos() const;
    // "( j0 j1 j2 )" of the first three joint set-points only.
    std::string ToStringJoints() const;

private:
    void CopyFrom(const RobotState& o);
};

}  // namespace DataTypes
