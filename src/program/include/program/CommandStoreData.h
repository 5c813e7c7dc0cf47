#pragma once

#include "core/Vector3.h"
#include "program/Command.h"

#include <string>

// Program element "Store": writes a number variable, or a position variable from given
// values or from the robot state of the cycle.
class CommandStoreData : public Command {
public:
    std::string name;  // lower case
    std::string type;  // "number" or "position"
    bool useCurrentPosition = false;  // the position comes from the robot state
    DataTypes::Vector3 position;      // x, y, z in mm
    DataTypes::Vector3 orientation;   // A, B, C in degrees
    float joints[maxJoints] = {};     // a1..a6, e1..e3
    float numberValue = 0.0f;

    CommandStoreData();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Store" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // Stores the variable (positions unchanged, nothing recomputed) and returns the next
    // successor; -2 for a type that is neither number nor position.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    std::string ToString() override;
};
