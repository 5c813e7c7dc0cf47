#include "vision/CameraSimulated.h"

#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <cstdio>

namespace Camera {

namespace {

float Normalised(float angle) {
    if (angle > 180.0f) angle -= 360.0f;
    if (angle < -180.0f) angle += 360.0f;
    return angle;
}

}  // namespace

CameraSimulated::CameraSimulated(const std::string& name) : CameraInterface(TYPE_ID, name) {}

CameraSimulated::~CameraSimulated() { Stop(); }

void CameraSimulated::Start() {}

void CameraSimulated::Stop() { running.store(false); }

bool CameraSimulated::GetTargetPos(DataTypes::Vector3& pos, DataTypes::Vector3& ori, int& modelOut) const {
    pos = position;
    ori = DataTypes::Vector3(Normalised(orientation.x), Normalised(orientation.y), Normalised(orientation.z));
    modelOut = model;
    return true;
}

int CameraSimulated::Read(tinyxml2::XMLElement& element) {
    LogSingleton* log = LogSingleton::instance();
    log->add("Camera Sim: Loading configuration");
    if (const char* v = element.Attribute("Name")) name = v;
    const XmlNumber::FileNumbers numbers = ProjectNumbers();
    numbers.Read(&element, "X", position.x);
    numbers.Read(&element, "Y", position.y);
    numbers.Read(&element, "Z", position.z);
    numbers.Read(&element, "A", orientation.x);
    numbers.Read(&element, "B", orientation.y);
    numbers.Read(&element, "C", orientation.z);
    if (const char* v = element.Attribute("ImageEnabled")) {
        // An integer (non-zero is true) or "true"/"false" in any case; anything else keeps it.
        int number = 0;
        const std::string text = toLower(v);
        if (element.QueryIntAttribute("ImageEnabled", &number) == tinyxml2::XML_SUCCESS) {
            imageFlag = number != 0;
        } else if (text == "true" || text == "false") {
            imageFlag = text == "true";
        }
    }
    log->add("Camera Simulated '" + name + "': Configuration loaded: Pos=" + position.ToString() +
             " Ori=" + orientation.ToString());
    return 0;
}

tinyxml2::XMLElement* CameraSimulated::Write(tinyxml2::XMLDocument& doc) {
    tinyxml2::XMLElement* element = doc.NewElement("HwCamera");
    element->SetAttribute("Type", typeId.c_str());
    element->SetAttribute("Name", name.c_str());
    element->SetAttribute("X", position.x);
    element->SetAttribute("Y", position.y);
    element->SetAttribute("Z", position.z);
    element->SetAttribute("A", orientation.x);
    element->SetAttribute("B", orientation.y);
    element->SetAttribute("C", orientation.z);
    element->SetAttribute("ImageEnabled", imageFlag ? "True" : "False");
    return element;
}

std::string CameraSimulated::GetHVPConfigString(int count) const {
    char line[512];
    std::snprintf(line, sizeof(line), "CONFIG Camera %d %s %s", count, typeId.c_str(), name.c_str());
    return line;
}

}  // namespace Camera
