#include "vision/PluginManager.h"

#include "core/LogSingleton.h"

#include <stdexcept>

namespace PluginFramework {

PluginManager::~PluginManager() { StopPlugins(); }

int PluginManager::ExecutePluginCmdTarget(const std::string& name, int* modelClass, float* /*joints*/, float* pose,
                                          float* orientation, bool* /*dIn*/, bool* /*dOut*/) {
    LogSingleton* log = LogSingleton::instance();
    if (name != kCameraPluginName) {
        const std::string text = "Error! Plugin not available: " + name;
        log->addError(text);
        log->DisplayAndServerSetMessage(text);
        throw std::runtime_error("PluginManager - Plugin not available!");
    }
    // While the first connect is under way there is no target yet, but nothing is wrong:
    // the command asks again next cycle. A camera that failed or went away is a fault.
    // Connecting is read first: the thread sets running before it clears connecting.
    const bool connecting = camera.IsConnecting();
    const bool running = camera.IsRunning();
    if (!connecting && !running) {
        const std::string text = "Error! IFM-O2D not connected!";
        log->addError(text);
        log->DisplayAndServerSetMessage(text);
        throw std::runtime_error("PluginManager - Camera not connected!");
    }
    int model = -1;
    float position[3] = {pose[3], pose[7], pose[11]};
    float angles[3] = {orientation[0], orientation[1], orientation[2]};
    const int result = camera.GetTargetPos(position, &angles[0], &model) ? 1 : 0;
    pose[3] = position[0];
    pose[7] = position[1];
    pose[11] = position[2];
    orientation[0] = angles[0];
    orientation[1] = angles[1];
    orientation[2] = angles[2];
    *modelClass = model;
    if (result == 1) {
        log->addFormat("PluginManager received target: x=%.1lf  y=%.1lf  z=%.1lf -  A=%.2lf  B=%.2lf  C=%.2lf - "
                       "modelclass %d",
                       static_cast<double>(position[0]), static_cast<double>(position[1]),
                       static_cast<double>(position[2]), static_cast<double>(angles[0]),
                       static_cast<double>(angles[1]), static_cast<double>(angles[2]), model);
    }
    return result;
}

void PluginManager::StartPlugins() {
    // The started flag, not the connected one: a start while the first connect is under
    // way must not add a second thread.
    if (!camera.IsStarted()) {
        camera.Start();
    } else {
        camera.ReadConfigFile();
    }
    if (!lidar.IsConnected()) {
        lidar.StartAutodetectSerial();
    }
}

void PluginManager::StopPlugins() {
    camera.Stop();
    if (lidar.IsConnected()) {
        lidar.Stop();
    }
}

}  // namespace PluginFramework
