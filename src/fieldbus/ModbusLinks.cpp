#include "fieldbus/ModbusLinks.h"

#include "fieldbus/ModbusServer.h"

namespace Modbus {

ModbusServerLink::ModbusServerLink(Modbus::ModbusServer* given)
    : server(given != nullptr ? *given : *Modbus::ModbusServer::Instance()) {}

ModbusServerLink::~ModbusServerLink() { server.Stop(); }

void ModbusServerLink::Init(Control::ControllerPort* port) { server.Init(port); }
void ModbusServerLink::SetSoftwareInfo(int major, int minor, int build) {
    server.SetSoftwareInfo(major, minor, build);
}
void ModbusServerLink::Start() { server.Start(); }
void ModbusServerLink::Stop() { server.Stop(); }
void ModbusServerLink::Restart() { server.Restart(); }
void ModbusServerLink::SetPort(int port) { server.SetPort(port); }
void ModbusServerLink::SetMaxConnections(unsigned count) { server.SetMaxConnections(count); }
int ModbusServerLink::GetPort() const { return server.GetPort(); }
unsigned ModbusServerLink::GetMaxConnections() const { return server.GetMaxConnections(); }

float ModbusServerLink::GetExternalJointVelocity(int axis) const {
    float velocity = 0.0f;
    return server.GetExternalJointVelocity(axis, &velocity) ? velocity : 0.0f;
}

void ModbusServerLink::ResetExternalJointVelocities() { server.ResetExternalJointVelocities(); }

}  // namespace Modbus
