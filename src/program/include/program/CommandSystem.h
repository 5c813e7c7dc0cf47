#pragma once

#include "program/Command.h"

#include <string>

// Program element "System": only writes the line "System".
class CommandSystem : public Command {
public:
    CommandSystem();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    std::string ToString() override;
};
