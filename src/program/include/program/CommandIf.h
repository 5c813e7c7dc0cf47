#pragma once

#include "program/BooleanLogicParserFrontend.h"
#include "program/Command.h"

#include <string>

// Program element "If" (blocks "Else", "EndIf"): chooses the first branch when the
// condition holds, else the Else branch. The loader links the branch ends back to the If,
// whose second call then continues after "EndIf".
class CommandIf : public Command {
public:
    std::string condition;

    CommandIf();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "If" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // First call: body successor when the condition holds, else successor otherwise.
    // Second call (a branch ended): next successor, ready for the next entry.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    std::string ToString() override;

private:
    BooleanLogicParserFrontend conditionParser;
};
