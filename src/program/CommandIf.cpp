#include "program/CommandIf.h"

#include "ElementWriter.h"
#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <cstdio>
#include <exception>
#include <fstream>

CommandIf::CommandIf() {
    className = "CommandIf";
    commandType = CMD_LOGIC;
}

void CommandIf::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = element->IntAttribute("Nr", 0);
        const char* text = element->Attribute("Condition");
        if (text == nullptr) {
            valid = false;
            log->addError("Could not read CommandIf, incomplete arguments");
            return;
        }
        condition = text;
        valid = true;
        if (!quiet) {
            log->addFormat("   Nr. %d: If Condition %s", nr, condition.c_str());
        }
    } catch (const std::exception&) {
        // Nothing read is not a usable element.
        valid = false;
        log->addError("Error: could not read If command...");
    }
}

int CommandIf::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* state) {
    if (firstCycle) {
        conditionParser.SetExpression(condition);
        const bool holds = conditionParser.GetCurrentResult(memory, state);
        // Only now: if the evaluation threw, the next call must evaluate again instead of
        // taking the "branch ended" path and skipping both branches.
        firstCycle = false;
        return holds ? bodySuccessor : elseSuccessor;
    }
    firstCycle = true;
    return nextSuccessor;
}

std::string CommandIf::ToString() {
    char line[1024];
    std::snprintf(line, sizeof(line), "Command IF - Pre: %d - Succ: %d %d %d", predecessor, nextSuccessor,
                  bodySuccessor, elseSuccessor);
    return line;
}

void CommandIf::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out != nullptr) {
        ElementWriter::Line(*out, "If", *this).Text("Condition", condition).End(*this);
    }
}
