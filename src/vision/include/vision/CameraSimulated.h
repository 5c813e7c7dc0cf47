#pragma once

// A camera without hardware: always connected, it reports the fixed pose and model read
// from the project, so programs with camera commands run without a camera.

#include "vision/CameraInterface.h"

#include <atomic>

namespace Camera {

class CameraSimulated : public CameraInterface {
public:
    static constexpr char TYPE_ID[] = "Sim";

    explicit CameraSimulated(const std::string& name);
    ~CameraSimulated() override;

    // Nothing runs: the pose is fixed.
    void Start() override;
    void Stop() override;
    // The pose with each angle brought into [-180, 180]; always true.
    bool GetTargetPos(DataTypes::Vector3& pos, DataTypes::Vector3& ori, int& model) const override;
    int Read(tinyxml2::XMLElement& element) override;
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& doc) override;
    std::string GetHVPConfigString(int count) const override;
    int GetStatus() const override { return 2; }

    DataTypes::Vector3 position;     // X, Y, Z in mm
    DataTypes::Vector3 orientation;  // A, B, C in degrees
    int model = 1;
    bool imageFlag = false;  // read and written as "ImageEnabled"; the camera makes no images

private:
    std::atomic<bool> running{false};
};

}  // namespace Camera
