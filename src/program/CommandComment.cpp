#include "program/CommandComment.h"

#include "ElementWriter.h"
#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <fstream>

CommandComment::CommandComment() { className = "CommandComment"; }

void CommandComment::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    const int nr = element->IntAttribute("Nr", 0);
    const char* remark = element->Attribute("Descr");
    description = remark != nullptr ? remark : "";
    valid = true;  // a comment without its text is still a comment
    if (remark == nullptr) {
        log->addError("Could not read CommandComment, incomplete arguments");
        log->addFormat("  Nr. %d: Comment", nr);
        return;
    }
    if (!quiet) {
        log->addFormat("   Nr. %d: Comment %s", nr, remark);
    }
}

int CommandComment::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* /*state*/) {
    return nextSuccessor;
}

void CommandComment::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out != nullptr) {
        ElementWriter::Line(*out, "Comment", *this).End(*this);
    }
}
