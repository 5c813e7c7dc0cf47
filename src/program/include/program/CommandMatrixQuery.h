#pragma once

#include "program/Command.h"

#include <string>

// Program element "MatrixQuery": the place with the index held in VarIndex of a stored
// grid goes into VarTargetPos (joints recomputed), its column and row into VarCntX and
// VarCntY.
class CommandMatrixQuery : public Command {
public:
    std::string name = "MyMatrix";
    std::string varIndex = "Index";
    std::string varTargetPos = "myTargetPos";
    std::string varCntX = "myCounterX";
    std::string varCntY = "myCounterY";

    CommandMatrixQuery();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "MatrixQuery" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // The robot state handed in is left unchanged: the place is computed on a copy.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    std::string ToString() override;
};
