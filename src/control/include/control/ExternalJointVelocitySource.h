#pragma once

// Where the robot loop reads the external-axis velocities that a PLC writes (the Modbus
// server's holding registers). The default source has none.
class ExternalJointVelocitySource {
public:
    virtual ~ExternalJointVelocitySource() = default;
    // Velocity of external axis 0..2 as last written by the PLC; 0 when none.
    virtual float GetExternalJointVelocity(int axis) const {
        (void)axis;
        return 0.0f;
    }
    // Clears the written velocities so that an old speed is not applied again.
    virtual void ResetExternalJointVelocities() {}
};
