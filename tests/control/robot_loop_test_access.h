#pragma once

// The one way tests reach into the robot loop's own state and steps.

#include "control/RobotLoop.h"
#include "control/RobotMaster.h"

class RobotLoopTestAccess {
public:
    static RobotLoop& Loop(RobotMaster& master) { return master.loop; }
    static int& ReferenceAllStep(RobotMaster& master) { return master.loop.referenceAllStep; }
    // The brake output as the last cycle handed it to the hardware (set: released).
    static bool& BrakeReleasedSent(RobotMaster& master) { return master.loop.brakeReleasedSent; }
    // The PLC-trigger step of a full cycle, on the live state as it stands.
    static void ProcessPLCTriggers(RobotMaster& master) { master.loop.ProcessPLCTriggers(); }
};
