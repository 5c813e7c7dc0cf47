#include "program/CommandLoop.h"

#include "ElementWriter.h"
#include "IntAttribute.h"
#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>

CommandLoop::CommandLoop() {
    className = "CommandLoop";
    commandType = CMD_LOGIC;
}

void CommandLoop::ReadXML(tinyxml2::XMLElement* element, bool /*quiet*/) {
    // The loop always logs its line, quiet or not.
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = element->IntAttribute("Nr", 0);
        const char* modeText = element->Attribute("Mode");
        if (modeText == nullptr) {
            valid = false;
            log->addError("Could not read CommandLoop, incomplete arguments");
            return;
        }
        if (std::strcmp(modeText, "Count") == 0) {
            mode = ModeCounting;
            int value = -1;
            if (IntAttribute::Query(*element, "Times", &value) != tinyxml2::XML_SUCCESS) {
                value = -1;
            }
            if (value < 0) {
                valid = false;
                log->addFormat("   Nr. %d: ERROR Loop counting: %d iterations", nr, value);
                return;
            }
            times = value;
            valid = true;
            log->addFormat("   Nr. %d: Loop counting: %d iterations", nr, times);
        } else if (std::strcmp(modeText, "DIn") == 0) {
            const char* text = element->Attribute("Condition");
            if (text == nullptr) {
                valid = false;
                log->addError("Could not read CommandLoop, incomplete arguments");
                return;
            }
            mode = ModeCondition;
            condition = text;
            valid = true;
            log->addFormat("   Nr. %d: Loop conditional: %s", nr, condition.c_str());
        } else {
            valid = false;
            log->addFormat("   Nr. %d: ERROR unknown loop mode: %s", nr, modeText);
        }
    } catch (const std::exception&) {
        valid = false;
        log->addError("Error: could not read Loop command...");
    }
}

int CommandLoop::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* state) {
    if (firstCycle) {
        firstCycle = false;
        counter = 0;
    }
    if (mode == ModeCounting) {
        if (counter >= times) {
            counter = 0;
            firstCycle = true;
            return nextSuccessor;
        }
        ++counter;
        return bodySuccessor;
    }
    conditionParser.SetExpression(condition);
    if (conditionParser.GetCurrentResult(memory, state)) {
        counter = 0;
        firstCycle = true;
        return nextSuccessor;
    }
    return bodySuccessor;
}

std::string CommandLoop::ToString() {
    char line[1024];
    if (mode == ModeCounting) {
        std::snprintf(line, sizeof(line), "Command Loop counting to %d - Pre: %d - Succ: %d %d %d", times,
                      predecessor, nextSuccessor, bodySuccessor, elseSuccessor);
    } else {
        std::snprintf(line, sizeof(line), "Command Loop condition %s - Pre: %d - Succ: %d %d %d", condition.c_str(),
                      predecessor, nextSuccessor, bodySuccessor, elseSuccessor);
    }
    return line;
}

void CommandLoop::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out == nullptr) {
        return;
    }
    ElementWriter::Line line(*out, "Loop", *this);
    if (mode == ModeCounting) {
        line.Raw("Mode", "Count").Int("Times", times);
    } else {
        line.Raw("Mode", "DIn").Text("Condition", condition);
    }
    line.End(*this);
}
