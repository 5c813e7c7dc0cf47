#pragma once

// The application's view of the Modbus server: its start-up and life-cycle calls, the
// project file's port and client limit, and the robot loop's PLC velocities, all forwarded
// to one server (the process-wide one by default).

#include "control/ApplicationLinks.h"
#include "control/ExternalJointVelocitySource.h"
#include "control/ProjectInterfaces.h"

namespace Modbus {

class ModbusServer;

class ModbusServerLink : public AppLinks::ModbusServer,
                         public ProjectLinks::ModbusSettings,
                         public ExternalJointVelocitySource {
public:
    explicit ModbusServerLink(Modbus::ModbusServer* server = nullptr);
    // Stops (joins) the listener.
    ~ModbusServerLink() override;

    // AppLinks::ModbusServer
    void Init(Control::ControllerPort* port) override;
    void SetSoftwareInfo(int major, int minor, int build) override;
    void Start() override;
    void Stop() override;
    void Restart() override;

    // ProjectLinks::ModbusSettings
    void SetPort(int port) override;
    void SetMaxConnections(unsigned count) override;
    int GetPort() const override;
    unsigned GetMaxConnections() const override;

    // ExternalJointVelocitySource: 0 when the PLC holds none.
    float GetExternalJointVelocity(int axis) const override;
    void ResetExternalJointVelocities() override;

    Modbus::ModbusServer& Server() const { return server; }

private:
    Modbus::ModbusServer& server;
};

}  // namespace Modbus
