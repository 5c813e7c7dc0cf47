#include "program/CommandSetVelocity.h"

#include "ElementWriter.h"
#include "IntAttribute.h"
#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

CommandSetVelocity::CommandSetVelocity() { className = "CommandSetVelocity"; }

void CommandSetVelocity::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    // Each missing or unreadable attribute invalidates the element; reading goes on.
    valid = true;
    int nr = 0;
    int joint = 0;
    float vel = 0.0f;
    float acc = 0.0f;
    if (element->QueryIntAttribute("Nr", &nr) != tinyxml2::XML_SUCCESS) {
        valid = false;
    }
    if (IntAttribute::Query(*element, "Joint", &joint) != tinyxml2::XML_SUCCESS) {
        valid = false;
    }
    if (element->QueryFloatAttribute("Vel", &vel) != tinyxml2::XML_SUCCESS || !std::isfinite(vel)) {
        valid = false;
        vel = 0.0f;
    }
    if (element->QueryFloatAttribute("Acc", &acc) != tinyxml2::XML_SUCCESS) {
        valid = false;
    }
    if (joint < 0 || joint > 2) {
        valid = false;
        LogSingleton::instance()->addFormat("Error: Could not read SetVelocity command: %s", "invalid joint number");
        return;
    }
    externalAxis = joint;
    velRotation = vel;
    accPercent = acc;
    if (!quiet) {
        LogSingleton::instance()->addFormat("   Nr. %d: SetVelocity joint %d vel %0.1f acc %0.1f", nr, externalAxis,
                                            static_cast<double>(velRotation), static_cast<double>(accPercent));
    }
}

void CommandSetVelocity::WriteXML(std::ofstream* out, int /*commandCount*/) {
    LogSingleton::instance()->addConsole("****************** Writing Set Velocity*********************");
    if (out == nullptr) {
        return;
    }
    // The velocity as programmed: the axis maximum applies where it is set.
    ElementWriter::Line(*out, "SetVel", *this)
        .Int("Joint", externalAxis)
        .Number("Vel", velRotation)
        .Number("Acc", accPercent)
        .End(*this);
}

int CommandSetVelocity::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* state) {
    if (externalAxis >= 0 && externalAxis <= 2) {
        const float limit = std::fabs(jointMaxVelocity[6 + externalAxis]);
        state->jointVel[6 + externalAxis] = std::clamp(velRotation, -limit, limit);
    }
    return nextSuccessor;
}

int CommandSetVelocity::InterpolateLogic(int /*cycleMs*/, float /*overridePercent*/,
                                         DataTypes::RobotState* /*state*/) {
    return nextSuccessor;
}
