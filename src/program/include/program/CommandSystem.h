#pragma once

#include "program/Command.h"

#include <string>

// Program element "System": only writes the line "System".
class CommandSystem : public Command {
public:
    CommandSystem();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "System" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    std::string ToString() override;
};
