#pragma once

// The robot loop's side of the PLC triggers: its own copy of the list (refreshed when the
// list's change counter moves), the rising-edge detection and the report of a trigger
// whose channel does not fit its signal type, once per list.

#include "control/LoopCopies.h"
#include "core/RobotState.h"

#include <cstdint>

class RobotMaster;

class PLCTriggerFiring {
public:
    // Looks at every trigger once; fires those whose input rose since the last call.
    void Process(RobotMaster& master, const DataTypes::RobotState& state);

private:
    PLCTriggerLoopCopy triggers;
    std::uint32_t reportedChange = 0;
    // Bit i: trigger i's misfit channel was reported for the current list.
    std::uint32_t reported = 0;
};
