#include "control/LoopCopies.h"

#include "RobotMasterInternals.h"
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
    const std::uint32_t change = RobotMasterInternals::PLCTriggersChange(master);
    if (loaded && change == seenChange) return true;
    std::unique_lock<std::recursive_mutex> lock(RobotMasterInternals::CommandMutex(master), std::try_to_lock);
    if (!lock.owns_lock()) return false;
    const int count = RobotMasterInternals::PLCTriggerCount(master);
    for (int i = 0; i < count; ++i) {
        const PLCTrigger::PLCInterfaceTrigger& source = RobotMasterInternals::PLCTriggers(master)[static_cast<size_t>(i)];
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
    seenChange = RobotMasterInternals::PLCTriggersChange(master);
    loaded = true;
    return true;
}

bool ExternalAxesLoopCopy::Refresh(RobotMaster& master) {
    const std::uint32_t change = RobotMasterInternals::ExternalAxesChange(master);
    if (loaded && change == seenChange) return true;
    std::unique_lock<std::recursive_mutex> lock(RobotMasterInternals::CommandMutex(master), std::try_to_lock);
    if (!lock.owns_lock()) return false;
    for (int n = 0; n < 3; ++n) {
        defined[n] = RobotMasterInternals::ExternalAxisDefined(master, n);
        if (defined[n]) axes[n] = RobotMasterInternals::ExternalAxisSlot(master, n);
    }
    seenChange = RobotMasterInternals::ExternalAxesChange(master);
    loaded = true;
    return true;
}
