#include "control/CameraLinks.h"

#include "vision/CameraManager.h"

#include <tinyxml2.h>

std::string CameraManagerLink::GetCLIStateString() const { return Camera::CameraManager::Instance().GetCLIStateString(); }

void CameraManagerLink::ProduceHVPLines() { Camera::CameraManager::Instance().ProduceHVPLines(); }

void CameraManagerLink::Read(const tinyxml2::XMLElement& element) {
    // The cameras only read attributes; the manager's interface takes a plain element.
    Camera::CameraManager::Instance().Read(const_cast<tinyxml2::XMLElement*>(&element));
}

tinyxml2::XMLElement* CameraManagerLink::Write(tinyxml2::XMLDocument& doc) {
    return Camera::CameraManager::Instance().Write(doc);
}
