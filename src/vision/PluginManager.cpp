#include "vision/PluginManager.h"

#include "core/LogSingleton.h"

#include <stdexcept>

namespace PluginFramework {

PluginManager::~PluginManager() = default;

int PluginManager::ExecutePluginCmdTarget(const std::string& name, int* /*modelClass*/, float* /*joints*/,
                                          float* /*pose*/, float* /*orientation*/, bool* /*dIn*/,
                                          bool* /*dOut*/) {
    // No plug-in is built in yet, so every name is refused.
    const std::string text = "Error! Plugin not available: " + name;
    LogSingleton* log = LogSingleton::instance();
    log->addError(text);
    log->DisplayAndServerSetMessage(text);
    throw std::runtime_error("PluginManager - Plugin not available!");
}

void PluginManager::StartPlugins() {
    // Nothing to start while no plug-in is built in.
}

}  // namespace PluginFramework
