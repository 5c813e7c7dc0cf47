#pragma once

// Reads the module list out of a robot configuration file, the same XML the controller
// reads: root "Robot", "BusConfiguration" with "Protocol", "Joints" with "NrOfJoints" and
// one "Joint%d" (N = 0 .. NrOfJoints - 1) with "ID" and, optionally, "GearZero".
// Each joint becomes one module that powers up at its GearZero increments (joint value 0).

#include "drivesim/SimModule.h"

#include <string>
#include <vector>

namespace DriveSim {

struct RobotFileModules {
    std::string protocol;              // "JXRCAN", "JXRCANV2" or "JXRCANV3"
    ModuleKind kind = ModuleKind::Joint;
    std::vector<ModuleConfig> joints;  // in joint order
};

// Most joints a robot file may name.
constexpr int kMaxRobotJoints = 16;

// The module kind that plays a protocol name; false for a protocol it does not play.
bool ModuleKindForProtocol(const std::string& protocol, ModuleKind* kind);

// False with *errorText set when the file cannot be used.
bool ReadRobotFile(const std::string& path, RobotFileModules* modules, std::string* errorText);

}  // namespace DriveSim
