#pragma once

#include "program/Command.h"

#include <string>

namespace PluginFramework {
class PluginManager;
}

// Program element "Plugin": asks a plug-in for a target pose and model class and writes
// them into two variables; the program waits at this command until the plug-in delivers.
class CommandPlugin : public Command {
public:
    std::string pluginName;     // lower case
    std::string varTargetPos;   // lower case
    std::string varModelClass;  // lower case
    // The interpreter's plug-in manager, set by the loader; not owned.
    PluginFramework::PluginManager* pluginManager = nullptr;

    CommandPlugin();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "Plugin" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // Stores the plug-in's answer on every call; the successor once it delivered, else -1.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    std::string ToString() override;
};
