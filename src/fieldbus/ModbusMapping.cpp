#include "fieldbus/ModbusMapping.h"

#include <cmath>
#include <limits>

namespace Modbus {

void Callbacks::SetupCallbacks(Callback onReadDi, Callback onReadCo, Callback onReadIr, Callback onReadHr,
                               Callback onWriteCo, Callback onWriteHr) {
    readDiscreteInputs = onReadDi;
    readCoils = onReadCo;
    readInputRegisters = onReadIr;
    readHoldingRegisters = onReadHr;
    writeCoils = onWriteCo;
    writeHoldingRegisters = onWriteHr;
}

std::int32_t SaturateToInt32(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

void StringToRegisters(const std::string& text, std::uint16_t* registers, int n) {
    const size_t length = text.size();
    for (int k = 0; k < n; ++k) {
        const size_t lo = 2 * static_cast<size_t>(k);
        const unsigned low = lo < length ? static_cast<unsigned char>(text[lo]) : 0u;
        const unsigned high = lo + 1 < length ? static_cast<unsigned char>(text[lo + 1]) : 0u;
        registers[k] = static_cast<std::uint16_t>(low | (high << 8));
    }
}

std::string StringFromRegisters(const std::uint16_t* registers, int n) {
    std::string text;
    for (int k = 0; k < n; ++k) {
        const char low = static_cast<char>(registers[k] & 0xFF);
        if (low == 0) break;
        text += low;
        const char high = static_cast<char>(registers[k] >> 8);
        if (high == 0) break;
        text += high;
    }
    return text;
}

std::uint16_t FromMotionType(int motionType) {
    return (motionType >= 0 && motionType <= 3) ? static_cast<std::uint16_t>(motionType) : 65535;
}

int ToMotionType(std::uint16_t value) { return (value >= 1 && value <= 3) ? value : 0; }

std::uint16_t FromReplayMode(int replayMode) {
    return (replayMode >= 0 && replayMode <= 3) ? static_cast<std::uint16_t>(replayMode) : 65535;
}

// The interpreter knows single, repeat and step only: 3 would be no mode at all.
int ToReplayMode(std::uint16_t value) { return (value == 1 || value == 2) ? value : 0; }

std::uint16_t FromRunState(int runState) {
    switch (runState) {
        case 1: return 0;  // stopped
        case 2: return 1;  // running
        case 0: return 2;  // paused
        default: return 65535;
    }
}

int ToRunState(std::uint16_t value) {
    if (value == 1) return 2;  // running
    if (value == 2) return 0;  // paused
    return 1;                  // stopped
}

std::uint16_t FromKinematicState(int kinState) {
    switch (kinState) {
        case 0: case 13: case 14: case 21: case 22: case 23: case 30: case 31: case 32: case 33: case 34:
        case 35: case 50:
            return static_cast<std::uint16_t>(kinState);
        case 99: return 1;
        default: return 65535;
    }
}

std::uint16_t FromIPOStopReason(int stopReason) {
    if (stopReason >= 0 && stopReason <= 5) return static_cast<std::uint16_t>(stopReason);
    if (stopReason >= 7 && stopReason <= 9) return static_cast<std::uint16_t>(94 + stopReason);
    return 100;
}

std::uint16_t FromOperationMode(int mode) {
    return (mode >= 0 && mode <= 2) ? static_cast<std::uint16_t>(mode) : 65535;
}

}  // namespace Modbus
