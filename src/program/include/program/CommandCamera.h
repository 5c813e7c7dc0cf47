#pragma once

#include "program/Command.h"

#include <string>

// Program element "Camera": takes the latest target of a named camera and writes its pose
// into a position variable and its model class into a number variable. It never waits
// for a result: whatever the camera holds is stored.
class CommandCamera : public Command {
public:
    std::string varTargetPos;   // lower case
    std::string varModelClass;  // lower case
    std::string cameraName;     // as written
    std::string cameraType;     // as written; a simulated camera stands in for any type

    CommandCamera();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Camera" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // An unknown camera or a type mismatch throws std::invalid_argument before anything
    // is stored.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    std::string ToString() override;
};
