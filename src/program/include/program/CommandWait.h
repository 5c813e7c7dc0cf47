#pragma once

#include "program/BooleanLogicParserFrontend.h"
#include "program/Command.h"

#include <cstdint>
#include <string>

// Program element "Wait": waits a time, or until a condition holds. Not combinable.
class CommandWait : public Command {
public:
    enum WaitType { WaitTime = 0, WaitConditional = 1 };

    std::int32_t waitTime = 0;  // ms, 0..2147483647
    int elapsed = 0;            // ms, never above the wait time for a time wait
    int waitType = WaitTime;
    std::string condition;

    CommandWait();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Wait" line: "Time" with the seconds, or "Conditional" with the condition.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // -1 until the accumulated cycle time exceeds the wait time (or the condition holds),
    // then the next successor. The first call of a run restarts the time.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;

    // Milliseconds of a "Seconds" value read as float f and as int i: i × 1000 when
    // f <= i, else f × 1000 truncated; clamped to 0..2147483647.
    static std::int32_t WaitMilliseconds(float seconds, int wholeSeconds);
    // The "Seconds" text that reads back as exactly these milliseconds: every whole
    // second and every wait up to 16384 s; a longer wait with a fraction of a second comes
    // back within the resolution of a float.
    static std::string SecondsText(std::int32_t milliseconds);

private:
    BooleanLogicParserFrontend conditionParser;
};
