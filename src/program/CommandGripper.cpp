#include "program/CommandGripper.h"

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
        if (element->Attribute("Position") != nullptr) {
            const float p = ReadFloat(*element, "Position");
            // "nan" parses as a float and would pass the clamp; it must not reach the
            // gripper. An infinity is clamped like any other value.
            if (std::isnan(p)) {
                throw std::invalid_argument("gripper position is not a number");
            }
            position[0] = std::min(std::max(p, 0.0f), 100.0f);
        }
        if (!quiet) {
            log->addFormat("   Nr. %d: Gripper Position %.1lf", nr, static_cast<double>(position[0]));
        }
        valid = true;
    } catch (const std::exception&) {
        log->add("ERROR - IPO: Could not read gripper command");
    }
}

void CommandGripper::WriteXML(std::ofstream* out, int number) {
    if (out == nullptr) {
        return;
    }
    char line[512];
    std::snprintf(line, sizeof(line), "<Gripper Nr=\"%d\" Position=\"%0.1f\" Descr=\"\" />\n", number,
                  static_cast<double>(position[0]));
    *out << line;
    out->flush();
}

int CommandGripper::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* state) {
    for (int i = 0; i < 3; ++i) {
        state->gripper[i] = position[i];
    }
    return nextSuccessor;
}
