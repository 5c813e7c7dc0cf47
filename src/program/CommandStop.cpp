#include "program/CommandStop.h"

#include "ElementWriter.h"
#include "core/LogSingleton.h"
#include "program/IPO.h"

#include <tinyxml2.h>

#include <fstream>

CommandStop::CommandStop() {
    className = "CommandStop";
    combinable = false;
}

void CommandStop::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    valid = true;
    if (!quiet) {
        LogSingleton::instance()->addFormat("   Nr. %d: Stop", element->IntAttribute("Nr", 0));
    }
}

int CommandStop::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* /*state*/) {
    if (interpreter != nullptr && interpreter->GetRunState() != IPO::RUNSTATE_STOPPED) {
        interpreter->Stop(IPO::STOP_PROGRAM, std::string());
    }
    return nextSuccessor;
}

void CommandStop::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out != nullptr) {
        ElementWriter::Line(*out, "Stop", *this).End(*this);
    }
}
