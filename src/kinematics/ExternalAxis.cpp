#include "kinematics/ExternalAxis.h"

#include "core/LogSingleton.h"
#include "core/StringHelper.h"
#include "core/XmlNumber.h"

#include <tinyxml2.h>

#include <algorithm>
#include <sstream>

ExternalAxis::ExternalAxis(int number, const std::string& type, JointMode mode)
    : Number(number), Type(type), MotionMode(mode) {}

ExternalAxis::ExternalAxisKinematic ExternalAxis::KinematicFromString(const std::string& text) {
    return StringHelper::ToLower(text) == "independent" ? Independent : Dependent;
}

std::string ExternalAxis::KinematicToString(ExternalAxisKinematic k) {
    return k == Independent ? "Independent" : "Dependent";
}

ExternalAxis::JointMode ExternalAxis::MotionModeFromString(const std::string& text) {
    const std::string lower = StringHelper::ToLower(text);
    if (lower == "velocity") {
        return Velocity;
    }
    if (lower == "torque") {
        return Torque;
    }
    return Position;
}

std::string ExternalAxis::MotionModeToString(JointMode m) {
    switch (m) {
        case Velocity:
            return "Velocity";
        case Torque:
            return "Torque";
        default:
            return "Position";
    }
}

std::string ExternalAxis::ToString() const {
    std::ostringstream s;
    s << "ID=" << Number << ", CAN-ID=" << ID;
    if (MotionMode == Velocity) {
        s << ", Mode=Velocity";
    } else if (MotionMode == Position) {
        s << ", Mode=Position, Type=" << KinematicToString(Kinematic) << ", Min=" << Min << ", Max=" << Max;
    }
    return s.str();
}

bool ExternalAxis::ReadProjectElement(const tinyxml2::XMLElement* element) {
    const char* type = element->Attribute("Type");
    if (type == nullptr) {
        LogSingleton::instance()->SeriousFailure(
            "Project: Attribute \"Type\" not found in line \"ExternalAxis\" of project file!",
            "10 .prj file not complete");
        return false;
    }
    Type = type;
    std::replace(Type.begin(), Type.end(), '\\', '/');

    if (const char* n = element->Attribute("Name")) {
        name = n;
        hasName = true;
    }
    element->QueryIntAttribute("Number", &Number);
    if (const char* mode = element->Attribute("MotionMode")) {
        // The project knows velocity and position only; anything else drives by position.
        MotionMode = (StringHelper::ToLower(mode) == "velocity") ? Velocity : Position;
    }
    if (const char* kin = element->Attribute("Kinematic")) {
        Kinematic = KinematicFromString(kin);
    }
    element->QueryIntAttribute("ID", &ID);
    const XmlNumber::FileNumbers numbers("Project", "project file", "5 .prj not valid");
    numbers.Read(element, "GearScale", GearScale);
    numbers.Read(element, "Min", Min);
    numbers.Read(element, "Max", Max);
    numbers.Read(element, "VelMax", VelMax);
    numbers.Read(element, "Acc", Acc);
    numbers.Read(element, "AccInc", AccInc);
    element->QueryIntAttribute("DirectionAngleToY", &DirectionAngleToY);
    numbers.Read(element, "lz0", lz0);
    numbers.Read(element, "Dir", Dir);
    numbers.Read(element, "Offset", Offset);
    return true;
}

void ExternalAxis::WriteProjectElement(tinyxml2::XMLElement* element) const {
    if (hasName) {
        element->SetAttribute("Name", name.c_str());
    }
    element->SetAttribute("Type", Type.c_str());
    element->SetAttribute("Kinematic", KinematicToString(Kinematic).c_str());
    // Written for named axes too: nothing else restores these values on the next read.
    element->SetAttribute("Number", Number);
    element->SetAttribute("ID", ID);
    element->SetAttribute("MotionMode", MotionModeToString(MotionMode).c_str());
    element->SetAttribute("GearScale", GearScale);
    element->SetAttribute("Min", Min);
    element->SetAttribute("Max", Max);
    element->SetAttribute("VelMax", VelMax);
    element->SetAttribute("Acc", Acc);
    element->SetAttribute("AccInc", AccInc);
    element->SetAttribute("DirectionAngleToY", DirectionAngleToY);
    element->SetAttribute("lz0", lz0);
    element->SetAttribute("Dir", Dir);
    element->SetAttribute("Offset", Offset);
}
