#pragma once

#include "program/Command.h"

// Program element "Stop": stops the program. Not combinable, so it always starts a cycle of
// its own.
class CommandStop : public Command {
public:
    CommandStop();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Stop" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // Stops the target interpreter (the main program's) unless it is stopped, and returns
    // the next successor; the interpreter drops that result when the Stop ended its own
    // run.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
};
