#include "program/CommandGripper.h"

#include "ElementWriter.h"
#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>

CommandGripper::CommandGripper() { className = "CommandGripper"; }

CommandGripper::CommandGripper(float position1) : CommandGripper() { position[0] = position1; }

void CommandGripper::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    try {
        int nr = 0;
        element->QueryIntAttribute("Nr", &nr);
        static const char* const names[3] = {"Position", "Position2", "Position3"};
        for (int i = 0; i < 3; ++i) {
            if (element->Attribute(names[i]) == nullptr) {
                continue;
            }
            const float p = ReadFloat(*element, names[i]);
            // "nan" parses as a float and would pass the clamp; it must not reach the
            // gripper. An infinity is clamped like any other value.
            if (std::isnan(p)) {
                throw std::invalid_argument("gripper position is not a number");
            }
            position[i] = std::min(std::max(p, 0.0f), 100.0f);
        }
        if (!quiet) {
            log->addFormat("   Nr. %d: Gripper Position %.1lf", nr, static_cast<double>(position[0]));
        }
        valid = true;
    } catch (const std::exception&) {
        log->add("ERROR - IPO: Could not read gripper command");
    }
}

void CommandGripper::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out == nullptr) {
        return;
    }
    ElementWriter::Line line(*out, "Gripper", *this);
    line.Number("Position", position[0]);
    // Grippers 2 and 3 are named only when set (a taught command), so the common line stays
    // as the front end writes it.
    if (position[1] != 0.0f) {
        line.Number("Position2", position[1]);
    }
    if (position[2] != 0.0f) {
        line.Number("Position3", position[2]);
    }
    line.End(*this);
}

int CommandGripper::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* state) {
    for (int i = 0; i < 3; ++i) {
        state->gripper[i] = position[i];
    }
    return nextSuccessor;
}
