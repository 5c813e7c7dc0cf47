#pragma once

#include "program/Command.h"

#include <string>

// Program element "MatrixDefinition": stores a named pallet grid, spanned by the corner
// variables A, B, C, in the program memory.
class CommandMatrixDefinition : public Command {
public:
    std::string name = "MyMatrix";
    std::string varPointA = "myPosVar1";
    std::string varPointB = "myPosVar2";
    std::string varPointC = "myPosVar3";
    int CntX = 0;  // 1 or more for a valid element
    int CntY = 0;

    CommandMatrixDefinition();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "MatrixDefinition" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    std::string ToString() override;
};
