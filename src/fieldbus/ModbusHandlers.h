#pragma once

// Shared by the map handlers: the handler loop and the controller values read at most
// once per request.

#include "fieldbus/ModbusServer.h"

#include <cstdint>
#include <optional>

namespace Modbus {
namespace Detail {

// Walks start .. start+count-1 (16-bit addresses), stopping at the table's end. step(address)
// handles the address or its whole block and returns the last address it handled. Returns
// false when the watchdog stopped the walk (logged with watchdogFormat and the address).
template <typename Step>
bool Walk(int size, std::uint16_t start, int count, const char* watchdogFormat, Step step);

// Controller values fetched on first use within one request.
class Snapshot {
public:
    explicit Snapshot(const ControllerPort& port) : port(port) {}
    const DataTypes::RobotState& State() {
        if (!state) state.emplace(port.GetRobotState());
        return *state;
    }
    const ModuleLayout& Modules() {
        if (!modules) modules.emplace(port.GetModules());
        return *modules;
    }
    const InterpreterInfo& Main() {
        if (!mainInfo) mainInfo.emplace(port.GetInterpreterInfo(Interpreter::Main));
        return *mainInfo;
    }
    const InterpreterInfo& Logic() {
        if (!logicInfo) logicInfo.emplace(port.GetInterpreterInfo(Interpreter::Logic));
        return *logicInfo;
    }
    const LoopFigures& Loop() {
        if (!loop) loop.emplace(port.GetLoopFigures());
        return *loop;
    }

private:
    const ControllerPort& port;
    std::optional<DataTypes::RobotState> state;
    std::optional<ModuleLayout> modules;
    std::optional<InterpreterInfo> mainInfo;
    std::optional<InterpreterInfo> logicInfo;
    std::optional<LoopFigures> loop;
};

// First register of each role's group in a per-module block, the group's size, and the
// record index of the role's k-th module (-1 when it has none).
inline int RecordOf(const ModuleLayout& m, int role, int k) {
    if (k < 0 || k >= m.count[role]) return -1;
    const int record = m.first[role] + k;
    return (record >= 0 && record < 16) ? record : -1;
}

void LogWatchdog(const char* format, int address);

template <typename Step>
bool Walk(int size, std::uint16_t start, int count, const char* watchdogFormat, Step step) {
    int passes = 0;
    for (int offset = 0; offset < count;) {
        const int address = static_cast<std::uint16_t>(start + offset);
        if (address >= size) break;
        if (++passes > count) {
            LogWatchdog(watchdogFormat, address);
            return false;
        }
        const int last = step(address);
        offset += (last > address ? last - address : 0) + 1;
    }
    return true;
}

}  // namespace Detail
}  // namespace Modbus
