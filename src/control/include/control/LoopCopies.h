#pragma once

// The robot loop's own copies of the PLC triggers and the external axes. Commands change
// the master's lists under the command mutex and bump a change counter; the loop refreshes
// its copy when the counter moved and the mutex is free (try-lock, never a wait), so it
// never reads a list while a command changes it.

#include "control/PLCInterfaceTrigger.h"
#include "kinematics/ExternalAxis.h"

#include <cstdint>
#include <vector>

class RobotMaster;

class PLCTriggerLoopCopy {
public:
    struct Entry {
        PLCTrigger::PLCInterfaceTrigger trigger;
        // Input level seen in the last full cycle. A new record starts true, so an input
        // that is already on fires only after it was seen off once.
        bool previousLevel = true;
    };

    PLCTriggerLoopCopy();
    // Takes the master's first count triggers when its change counter moved. A record that
    // is the same as the one at its index before keeps its level. False when the command
    // mutex was busy (the copy stays as it was; the next cycle tries again).
    bool Refresh(RobotMaster& master);
    std::vector<Entry>& Entries() { return entries; }
    const std::vector<Entry>& Entries() const { return entries; }

private:
    std::vector<Entry> entries;
    std::uint32_t seenChange = 0;
    bool loaded = false;
};

class ExternalAxesLoopCopy {
public:
    // As PLCTriggerLoopCopy::Refresh, for the three axis slots.
    bool Refresh(RobotMaster& master);
    bool IsDefined(int n) const { return n >= 0 && n < 3 && defined[n]; }
    const ExternalAxis& Axis(int n) const { return axes[n]; }

private:
    ExternalAxis axes[3];
    bool defined[3] = {false, false, false};
    std::uint32_t seenChange = 0;
    bool loaded = false;
};
