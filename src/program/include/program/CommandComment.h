#pragma once

#include "program/Command.h"

// Program element "Comment": a remark in the program; running it does nothing.
class CommandComment : public Command {
public:
    CommandComment();

    // The remark ("Descr") is logged here; the loader keeps it as the description, which
    // the writer writes back.
    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Comment" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
};
