#pragma once

// The application's cameras: the process-wide camera manager behind the console status
// text, the main loop's camera-line step and the project's "Cameras" element.

#include "control/ApplicationLinks.h"
#include "control/ProjectInterfaces.h"

#include <string>

class CameraManagerLink : public AppLinks::Cameras, public ProjectLinks::CameraSettings {
public:
    std::string GetCLIStateString() const override;
    void ProduceHVPLines() override;
    ProjectLinks::CameraSettings* Settings() override { return this; }

    // The project's "Cameras" element rebuilds the cameras; writing gives the current ones.
    void Read(const tinyxml2::XMLElement& element) override;
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& doc) override;
};
