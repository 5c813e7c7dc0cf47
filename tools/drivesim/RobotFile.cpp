#include "drivesim/RobotFile.h"

#include <tinyxml2.h>

#include <cmath>
#include <cstdio>
#include <set>

namespace DriveSim {

namespace {

bool Fail(std::string* errorText, const std::string& text) {
    if (errorText != nullptr) {
        *errorText = text;
    }
    return false;
}

// Increments at joint value 0, as the module counts them.
std::int32_t StartPosition(ModuleKind kind, double gearZero) {
    if (kind == ModuleKind::JointV1) {
        // First-generation positions travel as unsigned 16 bits.
        return static_cast<std::int32_t>(std::fmin(std::fmax(std::trunc(gearZero), 0.0), 65535.0));
    }
    return static_cast<std::int32_t>(
        std::fmin(std::fmax(std::trunc(gearZero), -2147483648.0), 2147483647.0));
}

}  // namespace

bool ModuleKindForProtocol(const std::string& protocol, ModuleKind* kind) {
    if (protocol == "JXRCAN") {
        *kind = ModuleKind::JointV1;
        return true;
    }
    if (protocol == "JXRCANV2" || protocol == "JXRCANV3") {
        *kind = ModuleKind::Joint;
        return true;
    }
    return false;
}

bool ReadRobotFile(const std::string& path, RobotFileModules* modules, std::string* errorText) {
    tinyxml2::XMLDocument document;
    tinyxml2::XMLError loaded = document.LoadFile(path.c_str());
    if (loaded == tinyxml2::XML_ERROR_FILE_NOT_FOUND ||
        loaded == tinyxml2::XML_ERROR_FILE_COULD_NOT_BE_OPENED) {
        return Fail(errorText, "robot file " + path + " not found");
    }
    if (loaded != tinyxml2::XML_SUCCESS) {
        return Fail(errorText, "robot file " + path + " is not valid XML: " +
                                   (document.ErrorStr() ? document.ErrorStr() : ""));
    }
    const tinyxml2::XMLElement* robot = document.FirstChildElement("Robot");
    if (robot == nullptr) {
        return Fail(errorText, "no \"Robot\" in " + path);
    }
    const tinyxml2::XMLElement* bus = robot->FirstChildElement("BusConfiguration");
    if (bus == nullptr) {
        return Fail(errorText, "no \"BusConfiguration\" in " + path);
    }
    const char* protocol = bus->Attribute("Protocol");
    if (protocol == nullptr) {
        return Fail(errorText, "no \"Protocol\" in \"BusConfiguration\" of " + path);
    }
    RobotFileModules result;
    result.protocol = protocol;
    if (!ModuleKindForProtocol(result.protocol, &result.kind)) {
        return Fail(errorText, "protocol \"" + result.protocol + "\" is not played by the simulator");
    }
    const tinyxml2::XMLElement* joints = bus->FirstChildElement("Joints");
    if (joints == nullptr) {
        return Fail(errorText, "no \"Joints\" in \"BusConfiguration\" of " + path);
    }
    int count = -1;
    if (joints->QueryIntAttribute("NrOfJoints", &count) != tinyxml2::XML_SUCCESS || count < 0 ||
        count > kMaxRobotJoints) {
        return Fail(errorText, "\"NrOfJoints\" missing or outside 0.." +
                                   std::to_string(kMaxRobotJoints) + " in " + path);
    }
    const double defaultGearZero = result.kind == ModuleKind::JointV1 ? 32000.0 : 0.0;
    std::set<int> ids;
    for (int n = 0; n < count; ++n) {
        char name[16];
        std::snprintf(name, sizeof(name), "Joint%d", n);
        const tinyxml2::XMLElement* joint = bus->FirstChildElement(name);
        if (joint == nullptr) {
            return Fail(errorText, std::string("no \"") + name + "\" in " + path);
        }
        int id = -1;
        if (joint->QueryIntAttribute("ID", &id) != tinyxml2::XML_SUCCESS || id < 0 ||
            id > SimModule::kHighestId) {
            return Fail(errorText, std::string("\"ID\" of \"") + name + "\" missing or outside 0.." +
                                       std::to_string(SimModule::kHighestId));
        }
        if (!ids.insert(id).second) {
            return Fail(errorText, std::string("\"") + name + "\" repeats CAN ID " + std::to_string(id));
        }
        double gearZero = defaultGearZero;
        joint->QueryDoubleAttribute("GearZero", &gearZero);
        ModuleConfig config;
        config.kind = result.kind;
        config.canId = id;
        config.position = StartPosition(result.kind, gearZero);
        result.joints.push_back(config);
    }
    *modules = std::move(result);
    return true;
}

}  // namespace DriveSim
