#pragma once

// The abstract camera: identity and the operations every camera type provides. Cameras
// are registered by name in the CameraManager, which owns them.

#include "core/Vector3.h"

#include <string>

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

namespace Camera {

// Copy with every byte lower-cased; camera names and types match without regard to case.
std::string toLower(const std::string& text);

// Type id of the simulated camera; a program's camera command accepts it for any type.
inline constexpr char kSimulatedTypeId[] = "Sim";

class CameraInterface {
public:
    CameraInterface(std::string typeId, std::string name);
    CameraInterface(const CameraInterface&) = delete;
    CameraInterface& operator=(const CameraInterface&) = delete;
    virtual ~CameraInterface();

    // Starts the camera's work (connection thread, encoding).
    virtual void Start() = 0;
    // Stops it and waits for its thread.
    virtual void Stop() = 0;
    // Latest target: position (mm, robot frame), orientation (A, B, C in degrees) and model
    // number; false when there is no valid result.
    virtual bool GetTargetPos(DataTypes::Vector3& pos, DataTypes::Vector3& ori, int& model) const = 0;
    // Reads the camera's own attributes from its "HwCamera" element; 0 on success.
    virtual int Read(tinyxml2::XMLElement& element) = 0;
    // A new "HwCamera" element with the camera's attributes, not yet inserted.
    virtual tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& doc) = 0;
    // The camera's configuration line; count is the number of registered cameras.
    virtual std::string GetHVPConfigString(int count) const = 0;
    // 0 inactive, 1 not connected, 2 connected.
    virtual int GetStatus() const = 0;

    std::string typeId;  // TYPE_ID of the concrete class: "IFMO2D", "SolutionBinPicking", "Sim"
    std::string name;    // Read may replace it with the "Name" attribute
};

}  // namespace Camera
