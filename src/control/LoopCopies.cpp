#include "control/LoopCopies.h"

#include "control/RobotMaster.h"

#include <mutex>

namespace {

bool SameRecord(const PLCTrigger::PLCInterfaceTrigger& a, const PLCTrigger::PLCInterfaceTrigger& b) {
    return a.IsActive() == b.IsActive() && a.GetSignalType() == b.GetSignalType() &&
           a.GetChannel() == b.GetChannel() && a.GetTargetType() == b.GetTargetType() &&
           a.GetTargetFileRelative() == b.GetTargetFileRelative();
}

}  // namespace

PLCTriggerLoopCopy::PLCTriggerLoopCopy() { entries.reserve(RobotMaster::kMaxPLCTriggers); }

bool PLCTriggerLoopCopy::Refresh(RobotMaster& master) {
    const std::uint32_t change = master.plcTriggersChange.load();
    if (loaded && change == seenChange) return true;
    std::unique_lock<std::recursive_mutex> lock(master.commandMutex, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    const int count = master.plcTriggerCount;
    for (int i = 0; i < count; ++i) {
        const PLCTrigger::PLCInterfaceTrigger& source = master.plcTriggers[static_cast<size_t>(i)];
        if (i < static_cast<int>(entries.size())) {
            Entry& entry = entries[static_cast<size_t>(i)];
            if (!SameRecord(entry.trigger, source)) {
                entry.trigger = source;
                entry.previousLevel = true;
            }
        } else {
            entries.push_back(Entry{source, true});
        }
    }
    entries.resize(static_cast<size_t>(count));
    // Read under the lock: a command that bumped it meanwhile is already in the copy.
    seenChange = master.plcTriggersChange.load();
    loaded = true;
    return true;
}

bool ExternalAxesLoopCopy::Refresh(RobotMaster& master) {
    const std::uint32_t change = master.externalAxesChange.load();
    if (loaded && change == seenChange) return true;
    std::unique_lock<std::recursive_mutex> lock(master.commandMutex, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    for (int n = 0; n < 3; ++n) {
        defined[n] = master.externalAxisDefined[n];
        if (defined[n]) axes[n] = master.externalAxes[n];
    }
    seenChange = master.externalAxesChange.load();
    loaded = true;
    return true;
}
