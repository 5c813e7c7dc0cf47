#pragma once

#include "program/Command.h"

// Program element "Pause": pauses the running program at this point. Not combinable, so it
// always starts a cycle of its own.
class CommandPause : public Command {
public:
    CommandPause();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Pause" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // Pauses the target interpreter (the main program's) when it runs, and returns the
    // next successor, so a resumed program continues after the Pause.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
};
