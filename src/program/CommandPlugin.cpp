#include "program/CommandPlugin.h"

#include "ElementWriter.h"
#include "MotionCommandSupport.h"
#include "core/LogSingleton.h"
#include "program/ProgramMemory.h"
#include "vision/PluginManager.h"

#include <tinyxml2.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

CommandPlugin::CommandPlugin() { className = "CommandPlugin"; }

void CommandPlugin::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    const char* name = element->Attribute("PluginName");
    const char* pos = element->Attribute("VarTargetPos");
    const char* model = element->Attribute("VarModelClass");
    if (name == nullptr || pos == nullptr || model == nullptr) {
        valid = false;
        log->addError("Could not read CommandPlugin, incomplete arguments");
        return;
    }
    int nr = 0;
    element->QueryIntAttribute("Nr", &nr);
    pluginName = Programs::ToLowerCase(name);
    varTargetPos = Programs::ToLowerCase(pos);
    varModelClass = Programs::ToLowerCase(model);
    valid = true;
    if (!quiet) {
        log->addFormat("   Nr. %d: Plugin: %s PosVariable: %s ClassVariable: %s", nr, pluginName.c_str(),
                       varTargetPos.c_str(), varModelClass.c_str());
    }
}

int CommandPlugin::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* state) {
    MotionCommandSupport::FoundTarget found(*this, varTargetPos, varModelClass);
    if (pluginManager == nullptr) {
        throw std::runtime_error("CommandPlugin: no plug-in manager");
    }

    const DataTypes::RobotState& pose = found.target.state;
    int model = -1;
    float rows[12];  // rows 0..2 of the pose, translation at 3, 7, 11
    for (int i = 0; i < 12; ++i) {
        rows[i] = pose.pose.m[i];
    }
    float orientation[3] = {pose.A, pose.B, pose.C};
    const int result = pluginManager->ExecutePluginCmdTarget(pluginName, &model, state->jointSet, rows, orientation,
                                                             state->DIn, state->DOut);

    found.Store(*memory, DataTypes::Vector3(rows[3], rows[7], rows[11]),
                DataTypes::Vector3(orientation[0], orientation[1], orientation[2]), model);

    if (result != 1) {
        return ResultNotFinished;
    }
    LogSingleton::instance()->addFormat(
        "Plugin: X=%.1lf Y=%.1lf Z=%.1lf -- A=%.1lf B=%.1lf C=%.1lf  - ModelClass=%d", static_cast<double>(rows[3]),
        static_cast<double>(rows[7]), static_cast<double>(rows[11]), static_cast<double>(orientation[0]),
        static_cast<double>(orientation[1]), static_cast<double>(orientation[2]), model);
    return nextSuccessor;
}

std::string CommandPlugin::ToString() {
    char line[1024];
    std::snprintf(line, sizeof(line), "Command Plugin %s PosVariable: %s ClassVariable: %s - Pre: %d - Succ: %d %d %d",
                  pluginName.c_str(), varTargetPos.c_str(), varModelClass.c_str(), predecessor, nextSuccessor,
                  bodySuccessor, elseSuccessor);
    return line;
}

void CommandPlugin::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out != nullptr) {
        ElementWriter::Line(*out, "Plugin", *this)
            .Text("PluginName", pluginName)
            .Text("VarTargetPos", varTargetPos)
            .Text("VarModelClass", varModelClass)
            .End(*this);
    }
}
