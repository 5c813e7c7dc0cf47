#pragma once

#include "program/Command.h"

#include <string>

// Program element "Sub": calls a sub-program file. The loader fills in the index of the
// loaded sub-program; the interpreter returns to the next successor when it ends.
class CommandSub : public Command {
public:
    std::string file;      // "/" as separator
    int subProgramIndex = 0;  // 1 or more once loaded; the main program is 0

    CommandSub();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Sub" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // Reports the call and returns -10 - index (index 1 gives -11).
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    std::string ToString() override;
};
