// CONFIG keywords of the joint limits and the virtual box of the kinematic in use, and of
// the tool file name.

#include "ComServerConfig.h"

#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematic.h"
#include "kinematics/Tool.h"
#include "remote/ClientLog.h"

#include <algorithm>
#include <string>

namespace Remote {
namespace {

constexpr int kSlots = RobotKinematic::maxJoints;

RobotKinematic* Kinematic(const ConfigContext& context) {
    return context.robot != nullptr ? context.robot->GetKinematic() : nullptr;
}

void GetKinematicLimits(ConfigContext& context, HvpArgumentReader& /*args*/) {
    std::string payload = "CONFIG KinematicLimits";
    if (RobotKinematic* kinematic = Kinematic(context)) {
        float limits[kSlots][2] = {};
        kinematic->GetMinMaxValues(limits);
        const int joints = std::min(kinematic->nrOfJoints, kSlots);
        for (int j = 0; j < joints; ++j) {
            payload += " " + FormatNumber(limits[j][0], 5) + " " + FormatNumber(limits[j][1], 5);
        }
    }
    context.server.SendToClient(payload);
}

void SetKinematicLimits(ConfigContext& context, HvpArgumentReader& args) {
    float values[2 * kSlots] = {};
    int count = 0;
    if (!context.counterValid || !args.ReadFloatsUpTo(values, 2 * kSlots, count)) return ConfigMalformed(context);
    RobotKinematic* kinematic = Kinematic(context);
    if (kinematic == nullptr) return;
    // Fewer than one pair leaves the limits as they are; the robot file is still written.
    if (count < 2) {
        context.robot->QueueUpdateRobotFile();
        return;
    }
    ClientLines::addFormat("HVP-Server: Setting kinematic limits, number of received values:  %d", count);
    const int pairs = count / 2;
    for (int i = 0; i < pairs; ++i) {
        ClientLines::addFormat("HVP-Server: Kin limits axis %d: %f %f", i, static_cast<double>(values[2 * i]),
                               static_cast<double>(values[2 * i + 1]));
    }
    const int joints = std::max(0, std::min(kinematic->nrOfJoints, RobotKinematic::extJointIndex));
    float table[kSlots][2] = {};
    for (int i = 0; i < pairs; ++i) {
        // The pairs after the robot joints belong to the external axes in slots 6..8.
        const int slot = i < joints ? i : i + RobotKinematic::extJointIndex - joints;
        if (slot >= kSlots) {
            ClientLines::addFormat("HVP-Server: Kin limits axis %d dropped, no joint slot left", i);
            continue;
        }
        table[slot][0] = values[2 * i];
        table[slot][1] = values[2 * i + 1];
    }
    kinematic->SetMinMaxValues(table);
    context.robot->QueueUpdateRobotFile();
}

void GetVBox(ConfigContext& context, HvpArgumentReader& /*args*/) {
    std::string payload = "CONFIG VBox ";
    if (RobotKinematic* k = Kinematic(context)) {
        payload += k->virtualBoxActive ? "True" : "False";
        for (double v : {k->virtualBoxMin.x, k->virtualBoxMax.x, k->virtualBoxMin.y, k->virtualBoxMax.y,
                         k->virtualBoxMin.z, k->virtualBoxMax.z}) {
            payload += " " + FormatNumber(v);
        }
    } else {
        payload += "False 0 0 0 0 0 0";
    }
    context.server.SendToClient(payload);
}

void SetVBox(ConfigContext& context, HvpArgumentReader& args) {
    std::string_view active;
    float v[6] = {};  // xMin xMax yMin yMax zMin zMax
    int count = 0;
    if (!context.counterValid || !args.ReadWord(active) || !args.ReadFloatsUpTo(v, 6, count) || count < 6) {
        return ConfigMalformed(context);
    }
    RobotKinematic* k = Kinematic(context);
    if (k == nullptr) return;
    k->virtualBoxMax = DataTypes::Vector3(v[1], v[3], v[5]);
    k->virtualBoxMin = DataTypes::Vector3(v[0], v[2], v[4]);
    k->virtualBoxActive = active == "True";
    QueueProject(context);
}

void GetTool(ConfigContext& context, HvpArgumentReader& /*args*/) {
    const std::string name = LogSingleton::instance()->get_robotGripper();
    context.server.SendToClient("CONFIG Tool " + (name.empty() ? std::string("none") : name));
}

void SetTool(ConfigContext& context, HvpArgumentReader& args) {
    std::string name;
    if (!context.counterValid || !args.ReadWord(name)) {
        ConfigMalformed(context);
        context.server.SendToClient("CONFIGERROR Tool invalid_file");
        return;
    }
    if (name == "none") {
        name.clear();
    } else {
        std::replace(name.begin(), name.end(), '\\', '/');
        RobotKinematic* kinematic = Kinematic(context);
        const Tool fallback;
        const Tool& tool = kinematic != nullptr ? kinematic->tool : fallback;
        if (!tool.CheckConfigFileExists(name)) {
            ClientLines::addFormat("HVPServer: ERROR: Tool configuration file %s does not exist", name.c_str());
            context.server.SendToClient("CONFIGERROR Tool invalid_file");
            return;
        }
    }
    LogSingleton::instance()->set_robotGripper(name);
    QueueProject(context);
}

}  // namespace

const std::vector<ConfigRow>& ConfigLimitsRows() {
    static const std::vector<ConfigRow> rows = {
        {"GetKinematicLimits", false, &GetKinematicLimits},
        {"SetKinematicLimits", true, &SetKinematicLimits},
        {"GetVBox", false, &GetVBox},
        {"SetVBox", true, &SetVBox},
        {"GetTool", false, &GetTool},
        {"SetTool", true, &SetTool},
    };
    return rows;
}

}  // namespace Remote
