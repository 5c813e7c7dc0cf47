#include "program/CommandPause.h"

#include "core/LogSingleton.h"

#include <tinyxml2.h>

CommandPause::CommandPause() {
    className = "CommandPause";
    combinable = false;
}

void CommandPause::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    valid = true;
    if (!quiet) {
        LogSingleton::instance()->addFormat("   Nr. %d: Pause", element->IntAttribute("Nr", 0));
    }
}

int CommandPause::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* /*state*/) {
    return nextSuccessor;
}
