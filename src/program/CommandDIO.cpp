#include "program/CommandDIO.h"

#include "ElementWriter.h"
#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

CommandDIO::CommandDIO() { className = "CommandDIO"; }

void CommandDIO::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    const char* channelText = element->Attribute("Channel");
    const char* stateText = element->Attribute("State");
    if (channelText == nullptr || stateText == nullptr) {
        valid = false;
        log->addError("Could not read CommandDIO, incomplete arguments");
        return;
    }
    int nr = 0;
    element->QueryIntAttribute("Nr", &nr);

    try {
        const std::string text = channelText;
        if (text.size() <= 4) {
            throw std::invalid_argument("invalid channel name in DIO command");
        }
        const std::string prefix = text.substr(0, 4);
        const bool output = !(prefix == "GSig" || prefix == "gsig");
        const int n = std::stoi(text.substr(4));
        // The number indexes the robot state's arrays: keep it inside them.
        const int count = output ? DataTypes::RobotState::maxIOs : DataTypes::RobotState::maxSignals;
        if (n < 1 || n > count) {
            char reason[96];
            std::snprintf(reason, sizeof(reason), "channel %d outside 1..%d in DIO command", n, count);
            throw std::out_of_range(reason);
        }
        isDOut = output;
        channel = n - 1;
    } catch (const std::exception& ex) {
        valid = false;
        log->addFormat("Error: could not read Digital-Out command: %s", ex.what());
        return;
    }

    state = std::strcmp(stateText, "True") == 0 || std::strcmp(stateText, "true") == 0;
    if (!quiet) {
        log->addFormat(isDOut ? "   Nr. %d: DOut channel %d state %d" : "   Nr. %d: GSig channel %d state %d", nr,
                       channel, state ? 1 : 0);
    }
    valid = true;
}

void CommandDIO::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out == nullptr) {
        return;
    }
    char channelText[32];
    std::snprintf(channelText, sizeof(channelText), "%s%lld", isDOut ? "DOut" : "GSig", static_cast<long long>(channel) + 1);
    ElementWriter::Line(*out, "Output", *this)
        .Raw("Channel", channelText)
        .Raw("State", state ? "True" : "False")
        .End(*this);
}

int CommandDIO::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* robot) {
    // Checked again here: the fields are public and may be set without ReadXML.
    if (isDOut) {
        if (channel >= 0 && channel < DataTypes::RobotState::maxIOs) {
            robot->DOut[channel] = state;
        }
    } else if (channel >= 0 && channel < DataTypes::RobotState::maxSignals) {
        robot->GSig[channel] = state;
    }
    return nextSuccessor;
}

std::string CommandDIO::ToString() {
    char line[1024];
    std::snprintf(line, sizeof(line),
                  isDOut ? "Command DIO %d to %d - Pre: %d - Succ: %d %d %d"
                         : "Command GSig %d to %d - Pre: %d - Succ: %d %d %d",
                  channel, state ? 1 : 0, predecessor, nextSuccessor, bodySuccessor, elseSuccessor);
    return line;
}
