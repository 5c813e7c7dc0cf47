#include "program/CommandSystem.h"

#include "ElementWriter.h"
#include "core/LogSingleton.h"

#include <cstdio>
#include <fstream>

CommandSystem::CommandSystem() {
    className = "CommandSystem";
    commandType = CMD_LOGIC;
}

void CommandSystem::ReadXML(tinyxml2::XMLElement* /*element*/, bool /*quiet*/) { valid = true; }

int CommandSystem::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* /*state*/) {
    LogSingleton::instance()->add("System");
    return nextSuccessor;
}

std::string CommandSystem::ToString() {
    char line[1024];
    std::snprintf(line, sizeof(line), "CommandSystem - Pre: %d - Succ: %d %d %d", predecessor, nextSuccessor,
                  bodySuccessor, elseSuccessor);
    return line;
}

void CommandSystem::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out != nullptr) {
        ElementWriter::Line(*out, "System", *this).End(*this);
    }
}
