#pragma once

// The application's reach into the operator panel, the remote-control and Modbus servers,
// the cloud link and the cameras. Until those exist the defaults do nothing and log
// nothing, so the main loop runs unchanged without them.

#include "control/OperatorCommands.h"
#include "control/ProjectInterfaces.h"
#include "core/RobotState.h"

#include <memory>
#include <string>

class ProjectManager;
namespace Control {
class ControllerPort;
}

namespace AppLinks {

constexpr int kNrJogValues = 9;

class OperatorPanel {
public:
    virtual ~OperatorPanel() = default;
    virtual void Connect(const std::string& /*port*/) {}
    virtual void Update() {}
    virtual void SetValues(const DataTypes::RobotState& /*rs*/) {}
    virtual void GetJogValues(float* values) const {
        for (int i = 0; i < kNrJogValues; ++i) values[i] = 0.0f;
    }
    virtual void ResetJogValues() {}
    // The pending command, taken and cleared as one unit; false when none.
    virtual bool TakeCommand(OperatorCommand& /*out*/) { return false; }
};

class RemoteClient {
public:
    virtual ~RemoteClient() = default;
    virtual void GetJogValues(float* /*values*/) {}
    // The pending triple, taken and cleared as one unit (also when its code is 0).
    virtual OperatorCommand TakeCommand() { return {}; }
};

class RemoteServers {
public:
    virtual ~RemoteServers() = default;
    virtual void Init(Control::ControllerPort* /*port*/, ProjectManager* /*pm*/,
                      ProjectLinks::CloudSettings* /*cloud*/) {}
    virtual void Start() {}
    virtual void Stop() {}
    virtual void SetCurrentPos(const DataTypes::RobotState& /*rs*/) {}
    virtual void PublishData() {}
    virtual void SendServerMessage() {}
    virtual void PublishLogMessage() {}
    virtual void ResetJogValues() {}
    // The first active client, or null; shared, so it stays valid while the caller uses it.
    virtual std::shared_ptr<RemoteClient> GetActiveServer() { return nullptr; }
};

class ModbusServer {
public:
    virtual ~ModbusServer() = default;
    virtual void Init(Control::ControllerPort* /*port*/) {}
    virtual void SetSoftwareInfo(int /*major*/, int /*minor*/, int /*build*/) {}
    virtual void Start() {}
    virtual void Stop() {}
    // Stop, then Start with the current settings.
    virtual void Restart() {}
};

class Cameras {
public:
    virtual ~Cameras() = default;
    virtual std::string GetCLIStateString() const { return ""; }
    // Once per main-loop pass, before the servers publish: builds the camera lines.
    virtual void ProduceHVPLines() {}
    // Where the project's "Cameras" element goes; null keeps the element as read.
    virtual ProjectLinks::CameraSettings* Settings() { return nullptr; }
};

}  // namespace AppLinks
