#pragma once

#include "program/Command.h"

// Program element "SetVel": sets the velocity of one external axis running in velocity
// mode. The velocity is kept in the base rotation velocity field, the acceleration in the
// base acceleration field.
class CommandSetVelocity : public Command {
public:
    int externalAxis = 0;  // 0..2, 0 is e1

    CommandSetVelocity();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int commandCount) override;
    // Velocity of the axis clamped to ± its joint maximum; returns the next successor.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    // Nothing to wait for: the next successor at once.
    int InterpolateLogic(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
};
