#pragma once

#include "program/BooleanLogicParserFrontend.h"
#include "program/Command.h"

#include <string>

// Program element "Loop" (closed by "EndLoop"): runs its body a given number of times
// ("Count") or until a condition holds ("DIn"). The last body command leads back here.
class CommandLoop : public Command {
public:
    static constexpr int ModeCounting = 0;
    static constexpr int ModeCondition = 1;

    std::string condition;  // condition mode: ends the loop when it holds
    int times = 0;          // counting mode: number of passes
    int counter = 0;        // passes done in the current run
    int mode = ModeCounting;

    CommandLoop();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Loop" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // Body successor for another pass, next successor when the loop ends.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    std::string ToString() override;

private:
    BooleanLogicParserFrontend conditionParser;
};
