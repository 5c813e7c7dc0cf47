#pragma once

#include "core/RobotState.h"
#include "core/Vector3.h"
#include "program/Command.h"

#include <string>

// Program element "Matrix" (closed by "MatrixEnd"): runs its body once for every place of
// a pallet grid spanned by the corner variables A, B, C, row after row. Before each pass
// the place goes into VarTargetPos and its column and row into VarCntX and VarCntY.
class CommandMatrix : public Command {
public:
    DataTypes::RobotState cornerA;  // fetched when the block is entered
    DataTypes::RobotState cornerB;
    DataTypes::RobotState cornerC;
    DataTypes::Vector3 deltaAB;       // translation B - A
    DataTypes::Vector3 deltaAC;       // translation C - A
    DataTypes::Vector3 angleDeltaAB;  // A, B, C of corner B - those of corner A
    DataTypes::Vector3 angleDeltaAC;
    std::string varPointA = "myPosVar1";
    std::string varPointB = "myPosVar2";
    std::string varPointC = "myPosVar3";
    std::string varTargetPos = "myTargetPos";
    std::string varCntX = "myCounterX";
    std::string varCntY = "myCounterY";
    double jointDeltaAB[maxJoints] = {};  // set-point joints of B - those of A
    double jointDeltaAC[maxJoints] = {};
    double stepX = 0.0;  // 1 / (CntX - 1); 0 for a single column
    double stepY = 0.0;
    int counterX = 0;  // column of the next place
    int counterY = 0;  // row of the next place
    int CntX = 0;      // places along A to B, 1 or more for a valid element
    int CntY = 0;      // places along A to C

    CommandMatrix();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Matrix" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // Body successor with the next place written, next successor when all are done.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    std::string ToString() override;
};
