#pragma once

#include "program/Command.h"

#include <string>

// Program element "Gripper": sets the set-points of the three grippers in percent.
class CommandGripper : public Command {
public:
    float position[3] = {0.0f, 0.0f, 0.0f};  // grippers 1, 2, 3, percent 0..100

    CommandGripper();
    // Teach-in: gripper 1 at the given percent, the others 0.
    explicit CommandGripper(float position1);

    // "Position" is optional and clamped to 0..100; a fault only logs.
    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int number) override;
    // Writes all three set-points, so grippers 2 and 3 go to 0 unless set otherwise.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
};
