#pragma once

// Small value types of the controller that the robot master, its loop and the servers share.

#include <cstdint>

// Output state applied on reset or on error. Enum order differs from the number form.
enum DOutTargetState : std::int32_t {
    DOutTrue = 0,
    DOutFalse = 1,
    DOutNoChange = 2,
};

// The number form of the HVP protocol: True 1, False 0, NoChange 2; only the low two bits
// of a number are read.
inline unsigned DOutTargetStateToUInt(DOutTargetState state) {
    switch (state) {
        case DOutTrue: return 1;
        case DOutFalse: return 0;
        default: return 2;
    }
}
inline DOutTargetState DOutTargetStateFromUInt(unsigned value) {
    switch (value & 3u) {
        case 1: return DOutTrue;
        case 0: return DOutFalse;
        default: return DOutNoChange;
    }
}

// How the robot loop applies jog input.
enum MotionType : std::int32_t {
    MOTION_ROBOT_JOINT = 0,
    MOTION_ROBOT_CART_BASE = 1,
    MOTION_ROBOT_CART_TOOL = 2,
    MOTION_PLATFORM = 3,
    MOTION_FSM = 4,
};

// The brake output, its release delay and the e-stop input of the robot file, changed as
// one value (the loop takes a whole copy when they change).
struct BrakeSettings {
    int brakeDOutChannel = -1;  // -1: no brake output
    int brakeDelayMS = 500;
    int eStopDInChannel = -1;   // -1: no e-stop monitoring
};
