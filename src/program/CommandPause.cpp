#include "program/CommandPause.h"

#include "ElementWriter.h"
#include "core/LogSingleton.h"
#include "program/IPO.h"

#include <tinyxml2.h>

#include <fstream>

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
    if (interpreter != nullptr && interpreter->IsReplayRunning()) {
        interpreter->Pause(IPO::STOP_PROGRAM);
        // The next motion is planned afresh from where the robot stands.
        if (PathGenerator* generator = interpreter->GetPathGenerator()) generator->SetPathUnavailable();
    }
    return nextSuccessor;
}

void CommandPause::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out != nullptr) {
        ElementWriter::Line(*out, "Pause", *this).End(*this);
    }
}
