// CONFIG keywords that list, add, replace and remove cameras, and that read and define the
// external axes.

#include "ComServerConfig.h"

#include "core/LogSingleton.h"
#include "core/StringHelper.h"
#include "remote/ClientLog.h"
#include "vision/CameraBinPicking.h"
#include "vision/CameraIFMO2D.h"
#include "vision/CameraManager.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <string>

namespace Remote {
namespace {

// ------------------------------------------------------------------------------- cameras

// The fields both TCP cameras share, after type and name; scales only for the O2D.
struct CameraFields {
    std::string ip;
    int port = 0;
    double scale[2] = {1.0, 1.0};
    float geometry[9] = {};  // Origin, Look, Up
    double zDistance = 0.0;
    bool imageEnabled = false;
};

bool ReadCameraFields(HvpArgumentReader& args, bool withScales, CameraFields& f) {
    std::string_view active;
    std::string image;
    if (!args.ReadWord(active) || !args.ReadWord(f.ip) || !args.ReadInt(f.port)) return false;
    if (f.port < 1 || f.port > 65535) return false;
    if (withScales && (!args.ReadDouble(f.scale[0]) || !args.ReadDouble(f.scale[1]))) return false;
    if (!args.ReadFloats(f.geometry, 9)) return false;
    if (!args.ReadDouble(f.zDistance) || !args.ReadWord(image)) return false;
    f.imageEnabled = StringHelper::ToLower(image) == "true";
    return true;
}

void Apply(Camera::CameraTCP& camera, const CameraFields& f) {
    // A camera configured from the front end always runs.
    camera.Active.store(true);
    camera.IP = f.ip;
    camera.Port = f.port;
    camera.Origin = DataTypes::Vector3(f.geometry[0], f.geometry[1], f.geometry[2]);
    camera.Look = DataTypes::Vector3(f.geometry[3], f.geometry[4], f.geometry[5]);
    camera.Up = DataTypes::Vector3(f.geometry[6], f.geometry[7], f.geometry[8]);
    camera.ZDistance = f.zDistance;
    camera.ImageEnabled.store(f.imageEnabled);
}

void SetCamera(ConfigContext& context, HvpArgumentReader& args) {
    std::string type, name;
    if (!context.counterValid || !args.ReadWord(type) || !args.ReadWord(name)) return ConfigMalformed(context);
    std::unique_ptr<Camera::CameraTCP> camera;
    if (type == Camera::CameraIFMO2D::TYPE_ID || type == Camera::CameraBinPicking::TYPE_ID) {
        const bool o2d = type == Camera::CameraIFMO2D::TYPE_ID;
        CameraFields fields;
        if (!ReadCameraFields(args, o2d, fields)) return ConfigMalformed(context);
        if (o2d) {
            auto made = std::make_unique<Camera::CameraIFMO2D>(name);
            made->ScaleX = fields.scale[0];
            made->ScaleY = fields.scale[1];
            camera = std::move(made);
        } else {
            camera = std::make_unique<Camera::CameraBinPicking>(name);
        }
        Apply(*camera, fields);
    }
    // A program may be using the camera that is replaced or removed.
    if (context.controller != nullptr) context.controller->StopProgram();
    if (camera) {
        Camera::CameraManager::Instance().Add(std::move(camera));
    } else if (type == "None") {
        Camera::CameraManager::Instance().Remove(name);
    } else {
        // The simulated camera is built from the project file only.
        ClientLines::addFormat("HVP-Server: Could not change camera configuration of camera '%s', type '%s' is not "
                               "implemented",
                               name.c_str(), type.c_str());
    }
    QueueProject(context);
}

void GetCameras(ConfigContext& context, HvpArgumentReader& /*args*/) {
    const std::list<std::string> lines = Camera::CameraManager::Instance().GetHVPConfigStrings();
    if (lines.empty()) {
        context.server.SendToClient("CONFIG Camera 0");
        return;
    }
    for (const std::string& line : lines) context.server.SendToClient(line);
}

void ClearCameras(ConfigContext& context, HvpArgumentReader& /*args*/) {
    Camera::CameraManager::Instance().Clear();
    // Saved, or the cameras would come back after a restart.
    QueueProject(context);
}

// --------------------------------------------------------------------------- external axes

void FinishType(ExternalAxis& axis) {
    if (axis.Type == "na") axis.Type.clear();
    std::replace(axis.Type.begin(), axis.Type.end(), '\\', '/');
    if (!axis.Type.empty()) ClientLines::add("HVP-Server: ERROR: Configuration file for external axis is not supported anymore");
}

constexpr int kAxes = Control::kNrExternalAxes;

// A copy of a defined axis; false when it is not (or no longer) defined.
bool CopyAxis(Control::ControllerPort* controller, int n, ExternalAxis& out) {
    return controller != nullptr && controller->GetExternalAxis(n, out);
}

// The nine words every axis of SetExternalAxes has, from ID on.
bool ReadAxisValues(HvpArgumentReader& args, ExternalAxis& axis) {
    return args.ReadInt(axis.ID) && args.ReadDouble(axis.GearScale) && args.ReadDouble(axis.Min) &&
           args.ReadDouble(axis.Max) && args.ReadDouble(axis.VelMax) && args.ReadDouble(axis.Acc) &&
           args.ReadDouble(axis.AccInc);
}

void SetExternalAxes(ConfigContext& context, HvpArgumentReader& args) {
    int count = 0;
    if (!context.counterValid || !args.ReadInt(count)) return ConfigMalformed(context);
    // No axes (a count of 0 or less) removes them all.
    count = std::max(0, std::min(count, kAxes));
    ExternalAxis axes[kAxes];
    for (int i = 0; i < count; ++i) {
        ExternalAxis& axis = axes[i];
        std::string kinematic;
        if (!args.ReadWord(axis.Type) || !args.ReadWord(kinematic) || !ReadAxisValues(args, axis)) {
            return ConfigMalformed(context);
        }
        axis.Kinematic = ExternalAxis::KinematicFromString(kinematic);
        // The optional group starts with a number; a word is the next axis's type.
        if (NextIsNumber(args) && !(args.ReadInt(axis.DirectionAngleToY) && args.ReadDouble(axis.lz0) &&
                                    args.ReadDouble(axis.Dir) && args.ReadDouble(axis.Offset))) {
            return ConfigMalformed(context);
        }
    }
    Control::ControllerPort* controller = context.controller;
    if (controller == nullptr) return;
    // The new slots replace the old ones as one change; each keeps its motion mode.
    Control::ExternalAxesChange change;
    change.clearAll = true;
    for (int i = 0; i < count; ++i) {
        ExternalAxis old;
        axes[i].Number = i;
        axes[i].MotionMode = CopyAxis(controller, i, old) ? old.MotionMode : ExternalAxis::Position;
        FinishType(axes[i]);
        change.add.push_back(axes[i]);
    }
    controller->ChangeExternalAxes(change);
    QueueProject(context);
}

int DirectionAngle(float angle) {
    if (angle < 0.0f) angle += 360.0f;
    if (angle >= 0.0f && angle < 89.0f) return 0;
    if (angle < 179.0f) return 90;
    if (angle < 269.0f) return 180;
    return 270;
}

void SetExternalAxis(ConfigContext& context, HvpArgumentReader& args) {
    // The fields in order; n counts the conversions, the counter included.
    int count = 0;
    ExternalAxis axis;
    std::string kinematic, mode;
    float angle = 0.0f;
    int n = context.counterValid ? 1 : 0;
    bool malformed = !context.counterValid;
    auto step = [&](bool converted) {
        if (malformed || n < 0) return;
        if (converted) {
            ++n;
        } else {
            // A present value that does not convert makes the message malformed; the end
            // of the values only ends the count.
            if (!args.AtEnd()) malformed = true;
            n = -n;  // stop counting
        }
    };
    step(args.ReadInt(count));
    step(args.ReadInt(axis.Number));
    step(args.ReadWord(axis.Type));
    step(args.ReadWord(kinematic));
    step(args.ReadWord(mode));
    step(args.ReadInt(axis.ID));
    for (double* value : {&axis.GearScale, &axis.Min, &axis.Max, &axis.VelMax, &axis.Acc, &axis.AccInc}) {
        step(args.ReadDouble(*value));
    }
    step(args.ReadFloat(angle));
    for (double* value : {&axis.lz0, &axis.Dir, &axis.Offset}) step(args.ReadDouble(*value));
    if (n < 0) n = -n;
    Control::ControllerPort* controller = context.controller;
    if (malformed || (n == 17 && (axis.Number < 0 || axis.Number >= kAxes))) {
        return ConfigMalformed(context);
    }
    if (n <= 2) {
        ClientLines::add("HVP-Server: Invalid SetExternalAxis message");
        return;
    }
    if (controller == nullptr) return;
    Control::ExternalAxesChange change;
    if (n < 17) {
        if (count != 0) return;
        ClientLines::add("HVP-Server: Clearing external axes");
        change.clearAll = true;
        controller->ChangeExternalAxes(change);
        QueueProject(context);
        return;
    }
    axis.Kinematic = ExternalAxis::KinematicFromString(kinematic);
    axis.MotionMode = ExternalAxis::MotionModeFromString(mode);
    axis.DirectionAngleToY = DirectionAngle(angle);
    FinishType(axis);
    // The slots from count on go, and the axis comes in, as one change.
    change.removeFrom = count;
    change.add.push_back(axis);
    controller->ChangeExternalAxes(change);
    QueueProject(context);
}

std::string AxisFields(const ExternalAxis& a, bool withMode) {
    std::string text = " " + (a.Type.empty() ? std::string("na") : a.Type) + " " +
                       ExternalAxis::KinematicToString(a.Kinematic);
    if (withMode) text += " " + ExternalAxis::MotionModeToString(a.MotionMode);
    text += " " + std::to_string(a.ID);
    for (double v : {a.GearScale, a.Min, a.Max, a.VelMax, a.Acc, a.AccInc}) text += " " + FormatNumber(v);
    text += " " + std::to_string(a.DirectionAngleToY);
    for (double v : {a.lz0, a.Dir, a.Offset}) text += " " + FormatNumber(v);
    return text;
}

void GetExternalAxes(ConfigContext& context, HvpArgumentReader& /*args*/) {
    int count = 0;
    std::string fields;
    for (int n = 0; n < kAxes; ++n) {
        ExternalAxis axis;
        if (!CopyAxis(context.controller, n, axis)) continue;
        ++count;
        fields += AxisFields(axis, false);
    }
    context.server.SendToClient("CONFIG ExternalAxes " + std::to_string(count) + fields);
}

void GetExternalAxes2(ConfigContext& context, HvpArgumentReader& /*args*/) {
    ExternalAxis axes[kAxes];
    int count = 0;
    while (count < kAxes && CopyAxis(context.controller, count, axes[count])) ++count;
    if (count == 0) {
        context.server.SendToClient("CONFIG ExternalAxis 0 0");
        return;
    }
    for (int j = 0; j < count; ++j) {
        context.server.SendToClient("CONFIG ExternalAxis " + std::to_string(count) + " " + std::to_string(j) +
                                    AxisFields(axes[j], true));
    }
}

}  // namespace

const std::vector<ConfigRow>& ConfigCameraAxesRows() {
    static const std::vector<ConfigRow> rows = {
        {"SetCamera", true, &SetCamera},
        {"GetCameras", false, &GetCameras},
        {"ClearCameras", true, &ClearCameras},
        {"SetExternalAxes", true, &SetExternalAxes},
        {"SetExternalAxis", true, &SetExternalAxis},
        {"GetExternalAxes", false, &GetExternalAxes},
        {"GetExternalAxes2", false, &GetExternalAxes2},
    };
    return rows;
}

}  // namespace Remote
