#pragma once

// Plug-ins that deliver program targets. Each interpreter owns one manager; the program
// command "Plugin" asks it for a target pose by plug-in name. The manager holds the ifm
// O2D camera plug-in and the lidar plug-in.

#include "vision/LidarHokuyoURG.h"
#include "vision/PluginCameraIFMO2D.h"

#include <string>

namespace PluginFramework {

class PluginManager {
public:
    // Name (lower case) under which programs ask the camera plug-in.
    static constexpr char kCameraPluginName[] = "pluginsmartcameraifmo2d";

    PluginManager() = default;
    PluginManager(const PluginManager&) = delete;
    PluginManager& operator=(const PluginManager&) = delete;
    // Stops the plug-ins and waits for the camera's receive thread.
    virtual ~PluginManager();

    // Asks the named plug-in (lower case) for a target. pose holds rows 0..2 of a 4x4
    // row-major pose (translation at 3, 7 and 11), orientation A, B, C in degrees; joints
    // (nine), dIn and dOut (64 each) are handed along. Returns 1 when the plug-in
    // delivered and wrote its target into pose, orientation and modelClass; anything else
    // means no target yet. An unknown plug-in, or a camera that is not connected, is
    // reported and throws std::runtime_error.
    // Virtual so that tests can stand in a plug-in.
    virtual int ExecutePluginCmdTarget(const std::string& name, int* modelClass, float* joints, float* pose,
                                       float* orientation, bool* dIn, bool* dOut);
    // Starts the camera plug-in (or re-reads its configuration while it is started) and
    // detects the lidar; called when a loaded program holds a "Plugin" element.
    virtual void StartPlugins();
    // Stops the started plug-ins.
    void StopPlugins();

    CameraIFMO2D& GetCamera() { return camera; }
    LidarHokuyoURG& GetLidar() { return lidar; }

private:
    CameraIFMO2D camera;
    LidarHokuyoURG lidar;
};

}  // namespace PluginFramework
