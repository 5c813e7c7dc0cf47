#pragma once

#include "program/Command.h"

#include <string>

// Program element "Output": switches one digital output ("DOut<n>") or one global signal
// ("GSig<n>") in the cycle's robot state. Numbers are 1-based in the program.
class CommandDIO : public Command {
public:
    int channel = 0;     // 0-based
    bool state = false;  // the value to set
    bool isDOut = true;  // false: global signal

    CommandDIO();

    // A channel outside 1..64 (outputs) or 1..100 (signals) makes the element invalid.
    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Output" line: "DOut<n>" or "GSig<n>" (1-based) and "True"/"False".
    void WriteXML(std::ofstream* out, int commandCount) override;
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    std::string ToString() override;
};
