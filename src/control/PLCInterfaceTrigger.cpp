#include "control/PLCInterfaceTrigger.h"

#include "core/RobotState.h"

#include <algorithm>
#include <utility>

namespace PLCTrigger {

char OpReplaceBackslashWithSlash(char c) { return c == '\\' ? '/' : c; }

PLCInterfaceTrigger::PLCInterfaceTrigger(bool activeIn, SignalType signal, int channelIn,
                                         TargetType target, std::string file)
    : active(activeIn), signalType(signal), channel(channelIn), targetType(target),
      targetFile(std::move(file)) {
    Validate();
}

namespace {

// Drops everything up to and including the first occurrence of folder.
void CutAfter(std::string& path, const char* folder) {
    const std::string marker(folder);
    const std::size_t at = path.find(marker);
    if (at != std::string::npos) path.erase(0, at + marker.size());
}

}  // namespace

void PLCInterfaceTrigger::Validate() {
    valid = channel >= 0;
    if (signalType == DIn && channel >= DataTypes::RobotState::maxIOs) valid = false;
    if (signalType == GSig && channel >= DataTypes::RobotState::maxSignals) valid = false;
    if (targetFile.empty()) {
        valid = false;
    } else {
        std::transform(targetFile.begin(), targetFile.end(), targetFile.begin(),
                       OpReplaceBackslashWithSlash);
        CutAfter(targetFile, "/Programs/");
        CutAfter(targetFile, "/Missions/");
    }
    if (!valid) active = false;
}

std::string PLCInterfaceTrigger::ToString() const {
    std::string text = "Active=";
    text += active ? "True" : "False";
    text += ", SignalType=";
    text += signalType == GSig ? "GSig" : "DIn";
    text += ", Channel=" + std::to_string(channel);
    text += ", TargetType=";
    text += targetType == Mission ? "Mission" : "Program";
    text += ", FileName=" + targetFile;
    return text;
}

}  // namespace PLCTrigger
