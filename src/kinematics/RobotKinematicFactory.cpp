// Creation of the kinematic variant named by the robot type string of the robot
// configuration.
#include "kinematics/RobotKinematic.h"

#include "kinematics/RobotKinematic3AxisPlane.h"
#include "kinematics/RobotKinematicCartesian1Axis.h"
#include "kinematics/RobotKinematicCartesian2AxisLine.h"
#include "kinematics/RobotKinematicCartesian2AxisPlane.h"
#include "kinematics/RobotKinematicCartesian3Axis.h"
#include "kinematics/RobotKinematicDelta.h"
#include "kinematics/RobotKinematicDelta2Linear.h"
#include "kinematics/RobotKinematicDeltaLinear.h"
#include "kinematics/RobotKinematicPivra4.h"
#include "kinematics/RobotKinematicPivra5.h"
#include "kinematics/RobotKinematicSCARALRRR.h"
#include "kinematics/RobotKinematicSCARARRLR.h"
#include "kinematics/RobotKinematicSCARARRR.h"
#include "kinematics/RobotKinematicSeparateJointsLinear.h"
#include "kinematics/RobotKinematicSeparateJointsRotational.h"
#include "kinematics/RobotKinematicSixAxis.h"
#include "kinematics/RobotKinematicSlider.h"

#include <memory>
#include <string>

namespace {

using Maker = std::unique_ptr<RobotKinematic> (*)();

template <typename T>
std::unique_ptr<RobotKinematic> Make() {
    return std::make_unique<T>();
}

struct TypeEntry {
    const char* type;
    Maker make;  // nullptr: the type is known but creates no kinematic
};

// Compared exactly, case included.
const TypeEntry kTypes[] = {
    {"StandardSixAxisPlus", &Make<RobotKinematicSixAxis>},
    {"Cartesian1Axis", &Make<RobotKinematicCartesian1Axis>},
    {"Cartesian2AxisLine", &Make<RobotKinematicCartesian2AxisLine>},
    {"Cartesian2AxisPlane", &Make<RobotKinematicCartesian2AxisPlane>},
    {"Cartesian3Axis", &Make<RobotKinematicCartesian3Axis>},
    {"Cartesian", &Make<RobotKinematicCartesian3Axis>},
    {"JXR3AxisPlane", &Make<RobotKinematic3AxisPlane>},
    {"JXRPivra4", &Make<RobotKinematicPivra4>},
    {"JXRPivra5", &Make<RobotKinematicPivra5>},
    {"JXRSlider", &Make<RobotKinematicSlider>},
    {"Delta", &Make<RobotKinematicDelta>},
    {"DeltaLinear", &Make<RobotKinematicDeltaLinear>},
    {"Delta2Linear", &Make<RobotKinematicDelta2Linear>},
    {"SCARA-LRRR", &Make<RobotKinematicSCARALRRR>},
    {"SCARA-RRLR", &Make<RobotKinematicSCARARRLR>},
    {"SCARA-RRR", &Make<RobotKinematicSCARARRR>},
    {"SeparateJointsLinear", &Make<RobotKinematicSeparateJointsLinear>},
    {"SeparateJoints", &Make<RobotKinematicSeparateJointsLinear>},
    {"SeparateJointsRotational", &Make<RobotKinematicSeparateJointsRotational>},
    // Accepted by the robot master, but the robot runs without a kinematic object.
    {"Parallel2Axis", nullptr},
};

const TypeEntry* Find(const std::string& robotType) {
    for (const TypeEntry& e : kTypes) {
        if (robotType == e.type) {
            return &e;
        }
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<RobotKinematic> RobotKinematic::Create(const std::string& robotType) {
    const TypeEntry* e = Find(robotType);
    if (e == nullptr || e->make == nullptr) {
        return nullptr;
    }
    return e->make();
}

bool RobotKinematic::IsKnownRobotType(const std::string& robotType) { return Find(robotType) != nullptr; }
