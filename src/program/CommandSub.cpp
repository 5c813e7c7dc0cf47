#include "program/CommandSub.h"

#include "ElementWriter.h"
#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>

CommandSub::CommandSub() {
    className = "CommandSub";
    commandType = CMD_LOGIC;
}

void CommandSub::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = element->IntAttribute("Nr", 0);
        const char* text = element->Attribute("File");
        if (text == nullptr) {
            valid = false;
            log->addError("Could not read CommandSub, incomplete arguments");
            return;
        }
        file = text;
        std::replace(file.begin(), file.end(), '\\', '/');
        valid = true;
        if (!quiet) {
            log->addFormat("   Nr. %d: Sub file %s", nr, file.c_str());
        }
    } catch (const std::exception&) {
        valid = false;
        log->addError("Error: could not read Sub command...");
    }
}

int CommandSub::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* /*state*/) {
    char line[1024];
    std::snprintf(line, sizeof(line), "Subprog nr %d: %s", subProgramIndex, file.c_str());
    LogSingleton* log = LogSingleton::instance();
    log->add(line);
    log->DisplayAndServerSetMessage(line);
    return -10 - subProgramIndex;
}

std::string CommandSub::ToString() {
    char line[1024];
    std::snprintf(line, sizeof(line), "Command Sub %s - Pre: %d - Succ: %d %d %d", file.c_str(), predecessor,
                  nextSuccessor, bodySuccessor, elseSuccessor);
    return line;
}

void CommandSub::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out != nullptr) {
        ElementWriter::Line(*out, "Sub", *this).Text("File", file).End(*this);
    }
}
