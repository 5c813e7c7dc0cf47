#pragma once

// The CONFIG keywords, one table per family. A handler gets the connection's links and the
// argument reader with its cursor after the keyword. Every Set reads and checks its whole
// message before it changes anything: a malformed one changes nothing and logs why.

#include "control/ApplicationLinks.h"
#include "control/ProjectInterfaces.h"
#include "remote/ComServer.h"
#include "remote/HvpArgumentReader.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class ProjectManager;

namespace Remote {

struct ConfigContext {
    ComServer& server;
    Control::ControllerPort* controller;           // null: no robot settings
    ProjectManager* project;                       // null: nothing is queued for the project file
    ProjectLinks::CloudSettings* cloud;            // null: the cloud keywords do nothing
    AppLinks::ModbusServer* modbusServer;          // null with modbusSettings: no Modbus server
    ProjectLinks::ModbusSettings* modbusSettings;
    const std::function<void()>& cloudChanged;     // tells every client the cloud state
    std::string_view keyword;
    bool counterValid;                             // the frame's counter is a number
};

using ConfigHandler = void (*)(ConfigContext& context, HvpArgumentReader& args);
struct ConfigRow {
    const char* keyword;
    bool activeOnly;
    ConfigHandler handler;
};

const std::vector<ConfigRow>& ConfigIoRows();
const std::vector<ConfigRow>& ConfigLimitsRows();
const std::vector<ConfigRow>& ConfigPlcRows();
const std::vector<ConfigRow>& ConfigCameraAxesRows();
const std::vector<ConfigRow>& ConfigModbusCloudRows();

// "HVP-Server: ERROR, received <keyword> request but could not parse parameters".
void ConfigMalformed(const ConfigContext& context);
void QueueProject(const ConfigContext& context);
// Default stream formatting with the given significant digits.
std::string FormatNumber(double value, int digits = 6);
// The next token is a number (it would convert).
bool NextIsNumber(const HvpArgumentReader& args);

}  // namespace Remote
