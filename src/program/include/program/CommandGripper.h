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

    // "Position" (gripper 1), "Position2" and "Position3" are optional and clamped to
    // 0..100; a fault only logs.
    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // "Position", and "Position2" / "Position3" when not 0, so a taught three-gripper
    // command comes back whole.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // Writes all three set-points, so grippers 2 and 3 go to 0 unless set otherwise.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
};
