#include "program/CommandCamera.h"

#include "ElementWriter.h"
#include "MotionCommandSupport.h"
#include "core/LogSingleton.h"
#include "program/ProgramMemory.h"
#include "vision/CameraManager.h"

#include <tinyxml2.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

CommandCamera::CommandCamera() { className = "CommandCamera"; }

void CommandCamera::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    const char* name = element->Attribute("CameraName");
    const char* type = element->Attribute("CameraType");
    const char* pos = element->Attribute("VarTargetPos");
    const char* model = element->Attribute("VarModelClass");
    if (name == nullptr || type == nullptr || pos == nullptr || model == nullptr) {
        valid = false;
        log->addError("Could not read CommandCamera, incomplete arguments");
        return;
    }
    int nr = 0;
    element->QueryIntAttribute("Nr", &nr);
    cameraName = name;
    cameraType = type;
    varTargetPos = Programs::ToLowerCase(pos);
    varModelClass = Programs::ToLowerCase(model);
    valid = true;
    if (!quiet) {
        log->addFormat("   Nr. %d: Camera: %s Type: %s PosVariable: %s ClassVariable: %s", nr, cameraName.c_str(),
                       cameraType.c_str(), varTargetPos.c_str(), varModelClass.c_str());
    }
}

int CommandCamera::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* /*state*/) {
    LogSingleton* log = LogSingleton::instance();
    MotionCommandSupport::FoundTarget found(*this, varTargetPos, varModelClass);

    const std::shared_ptr<Camera::CameraInterface> camera = Camera::CameraManager::Instance().Get(cameraName);
    if (!camera) {
        char text[128];
        std::snprintf(text, sizeof(text), "CommandCamera: Camera %s does not exist", cameraName.c_str());
        log->addError(text);
        throw std::invalid_argument(text);
    }
    const std::string actualType = Programs::ToLowerCase(camera->typeId);
    if (actualType != Programs::ToLowerCase(cameraType) &&
        actualType != Programs::ToLowerCase(Camera::kSimulatedTypeId)) {
        char text[256];
        std::snprintf(text, sizeof(text), "CommandCamera: Type of camera %s does not match, expected %s, is %s",
                      cameraName.c_str(), cameraType.c_str(), camera->typeId.c_str());
        log->addError(text);
        throw std::invalid_argument(text);
    }

    const DataTypes::RobotState& pose = found.target.state;
    DataTypes::Vector3 position = pose.pose.GetTranslation();
    DataTypes::Vector3 orientation(pose.A, pose.B, pose.C);
    int model = -1;
    // Whatever the camera leaves is stored, target or not; the program does not wait.
    camera->GetTargetPos(position, orientation, model);
    found.Store(*memory, position, orientation, model);
    return nextSuccessor;
}

std::string CommandCamera::ToString() {
    char line[256];
    std::snprintf(line, sizeof(line), "Command Camera %s (%s) PosVariable: %s ClassVariable: %s - Pre: %d - Succ: %d %d %d",
                  cameraName.c_str(), cameraType.c_str(), varTargetPos.c_str(), varModelClass.c_str(), predecessor,
                  nextSuccessor, bodySuccessor, elseSuccessor);
    return line;
}

void CommandCamera::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out != nullptr) {
        ElementWriter::Line(*out, "Camera", *this)
            .Text("CameraName", cameraName)
            .Text("CameraType", cameraType)
            .Text("VarTargetPos", varTargetPos)
            .Text("VarModelClass", varModelClass)
            .End(*this);
    }
}
