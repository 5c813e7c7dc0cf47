#pragma once

#include "program/Command.h"

// Program element "Comment": a remark in the program; running it does nothing.
class CommandComment : public Command {
public:
    CommandComment();

    // The remark ("Descr") is only logged, never stored.
    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
};
