#pragma once

// Plug-ins that deliver program targets. Each interpreter owns one manager; the program
// command "Plugin" asks it for a target pose by plug-in name.

#include <string>

namespace PluginFramework {

class PluginManager {
public:
    PluginManager() = default;
    PluginManager(const PluginManager&) = delete;
    PluginManager& operator=(const PluginManager&) = delete;
    virtual ~PluginManager();

    // Asks the named plug-in (lower case) for a target. pose holds rows 0..2 of a 4x4
    // row-major pose (translation at 3, 7 and 11), orientation A, B, C in degrees; joints
    // (nine), dIn and dOut (64 each) are handed along. Returns 1 when the plug-in
    // delivered and wrote its target into pose, orientation and modelClass; anything else
    // means no target yet. An unknown plug-in is reported and throws std::runtime_error.
    // Virtual so that tests can stand in a plug-in.
    virtual int ExecutePluginCmdTarget(const std::string& name, int* modelClass, float* joints, float* pose,
                                       float* orientation, bool* dIn, bool* dOut);
    // Starts (or reconfigures) the plug-ins; called when a loaded program holds a
    // "Plugin" element.
    virtual void StartPlugins();
};

}  // namespace PluginFramework
