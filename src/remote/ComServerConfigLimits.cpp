// CONFIG keywords of the joint limits and the virtual box of the kinematic in use, and of
// the tool file name.

#include "ComServerConfig.h"

#include "core/LogSingleton.h"
#include "kinematics/Tool.h"
#include "remote/ClientLog.h"

#include <algorithm>
#include <string>

namespace Remote {
namespace {

constexpr int kSlots = Control::kNrJoints;
constexpr int kFirstExternalSlot = 6;

// The kinematic's limits; not available without a controller or a kinematic.
Control::JointLimits Limits(const ConfigContext& context) {
    return context.controller != nullptr ? context.controller->GetJointLimits() : Control::JointLimits();
}

void GetKinematicLimits(ConfigContext& context, HvpArgumentReader& /*args*/) {
    std::string payload = "CONFIG KinematicLimits";
    const Control::JointLimits limits = Limits(context);
    if (limits.available) {
        const int joints = std::min(limits.joints, kSlots);
        for (int j = 0; j < joints; ++j) {
            payload += " " + FormatNumber(limits.minMax[j][0], 5) + " " + FormatNumber(limits.minMax[j][1], 5);
        }
    }
    context.server.SendToClient(payload);
}

void SetKinematicLimits(ConfigContext& context, HvpArgumentReader& args) {
    float values[2 * kSlots] = {};
    int count = 0;
    if (!context.counterValid || !args.ReadFloatsUpTo(values, 2 * kSlots, count)) return ConfigMalformed(context);
    const Control::JointLimits current = Limits(context);
    if (!current.available) return;
    // Fewer than one pair leaves the limits as they are; the robot file is still written.
    if (count < 2) {
        context.controller->QueueRobotFileWrite();
        return;
    }
    ClientLines::addFormat("HVP-Server: Setting kinematic limits, number of received values:  %d", count);
    const int pairs = count / 2;
    for (int i = 0; i < pairs; ++i) {
        ClientLines::addFormat("HVP-Server: Kin limits axis %d: %f %f", i, static_cast<double>(values[2 * i]),
                               static_cast<double>(values[2 * i + 1]));
    }
    const int joints = std::max(0, std::min(current.joints, kFirstExternalSlot));
    Control::JointLimits table;
    table.available = true;
    table.joints = current.joints;
    for (int i = 0; i < pairs; ++i) {
        // The pairs after the robot joints belong to the external axes in slots 6..8.
        const int slot = i < joints ? i : i + kFirstExternalSlot - joints;
        if (slot >= kSlots) {
            ClientLines::addFormat("HVP-Server: Kin limits axis %d dropped, no joint slot left", i);
            continue;
        }
        table.minMax[slot][0] = values[2 * i];
        table.minMax[slot][1] = values[2 * i + 1];
    }
    // One command under a hold of the loop, which checks the limits every cycle.
    context.controller->SetJointLimits(table);
    context.controller->QueueRobotFileWrite();
}

void GetVBox(ConfigContext& context, HvpArgumentReader& /*args*/) {
    std::string payload = "CONFIG VBox ";
    const Control::VirtualBox box =
        context.controller != nullptr ? context.controller->GetVirtualBox() : Control::VirtualBox();
    if (box.available) {
        payload += box.active ? "True" : "False";
        for (double v : {box.min.x, box.max.x, box.min.y, box.max.y, box.min.z, box.max.z}) {
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
    if (context.controller == nullptr || !context.controller->GetVirtualBox().available) return;
    Control::VirtualBox box;
    box.available = true;
    box.max = DataTypes::Vector3(v[1], v[3], v[5]);
    box.min = DataTypes::Vector3(v[0], v[2], v[4]);
    box.active = active == "True";
    // One command under a hold of the loop, which checks the box every cycle.
    context.controller->SetVirtualBox(box);
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
        // Tool files lie below the data root's tool folder, whatever the kinematic.
        const Tool tool;
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
