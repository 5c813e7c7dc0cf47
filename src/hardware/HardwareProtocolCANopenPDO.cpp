#include "hardware/HardwareProtocolCANopenPDO.h"

#include "core/LogSingleton.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace Hardware {

namespace {

std::uint32_t U32(const unsigned char* d) {
    return static_cast<std::uint32_t>(d[0]) | (static_cast<std::uint32_t>(d[1]) << 8) |
           (static_cast<std::uint32_t>(d[2]) << 16) | (static_cast<std::uint32_t>(d[3]) << 24);
}

// Truncates toward zero; values beyond int32 saturate instead of wrapping into the
// opposite direction. False for NaN, which has no set-point to send.
bool ToInt32(double value, std::int32_t* out) {
    if (std::isnan(value)) return false;
    const double lo = static_cast<double>(std::numeric_limits<std::int32_t>::min());
    const double hi = static_cast<double>(std::numeric_limits<std::int32_t>::max());
    *out = static_cast<std::int32_t>(std::trunc(std::min(std::max(value, lo), hi)));
    return true;
}

}  // namespace

HardwareProtocolCANopenPDO::HardwareProtocolCANopenPDO(CANInterfaceSocketCAN* can, HardwareProtocolCANopenSDO* sdoPart,
                                                       bool debug)
    : canInterface(can), sdo(sdoPart), debugOutput(debug) {}

int HardwareProtocolCANopenPDO::MappedBytes(int bytes) { return std::min(std::max(bytes, 0), kMaxMappedObjects); }

void HardwareProtocolCANopenPDO::SendPDO(int node, int base, const unsigned char* data, int length) {
    if (node < HardwareProtocolCANopenSDO::kMinNode || node > HardwareProtocolCANopenSDO::kMaxNode) return;
    unsigned char frame[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const int n = std::min(std::max(length, 0), 8);
    if (n > 0) std::memcpy(frame, data, static_cast<size_t>(n));
    canInterface->WriteMessage(base + node, n, frame);
}

void HardwareProtocolCANopenPDO::SendPosPDO(const jointData& record, const CANopenRecordData& co, double counts) {
    const std::int32_t profile = co.requestedProfile;
    if (profile != CANopenProfileIPO && profile != CANopenProfileCSP) return;
    std::int32_t value = 0;
    if (!ToInt32(counts, &value)) return;
    const std::uint32_t u = static_cast<std::uint32_t>(value);
    const unsigned char data[4] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
                                   static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24)};
    SendPDO(record.canId, kRPDO1, data, 4);
}

void HardwareProtocolCANopenPDO::SendVelPDO(const jointData& record, const CANopenRecordData& co, double velocity) {
    // CSV maps the same target velocity; it needs its set-points as well.
    const std::int32_t profile = co.requestedProfile;
    if (profile != CANopenProfileVelocity && profile != CANopenProfileCSV) return;
    std::int32_t value = 0;
    if (!ToInt32(velocity, &value)) return;
    const std::uint32_t u = static_cast<std::uint32_t>(value);
    const unsigned char data[4] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
                                   static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24)};
    SendPDO(record.canId, kRPDO1, data, 4);
}

void HardwareProtocolCANopenPDO::SendDIOPDO(const jointData& record, const CANopenRecordData& co) {
    // Only as many bytes as the receive PDO maps; more would be a length error on the module.
    const int n = MappedBytes(co.outputBytes);
    const std::uint64_t outputs = co.digitalOutputs;
    unsigned char data[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int u = 0; u < n; ++u) data[u] = static_cast<unsigned char>((outputs >> (8 * u)) & 0xFF);
    SendPDO(record.canId, kRPDO1, data, n);
}

void HardwareProtocolCANopenPDO::ParsePDO(jointData& record, CANopenRecordData& co, int base, int node,
                                          const unsigned char* data, const timespec&) {
    // Every profile takes its feedback from the transmit PDOs: Position and CSV have no
    // other source of position, voltage and currents while PDOs are on.
    switch (base) {
        case kTPDO1: {
            const std::int32_t position = static_cast<std::int32_t>(U32(data + 2));
            if (record.GearScale != 0.0f) {
                record.measured =
                    static_cast<float>((static_cast<double>(position) - record.GearZero) / record.GearScale);
            }
            co.errorRegister = data[6];
            sdo->ParseStatusWord(record, co, static_cast<std::uint16_t>(data[0] | (data[1] << 8)));
            if (data[6] != 0) sdo->RequestSDO(node, 0x1003, 1);
            co.actualProfile = CANopenProfileOfMode(static_cast<std::int8_t>(data[7]));
            break;
        }
        case kTPDO2:
            co.supplyVoltage = static_cast<float>(U32(data) / 1000.0);
            record.temperature = static_cast<float>(static_cast<std::int32_t>(U32(data + 4)) * 0.1);
            break;
        case kTPDO3:
            co.phaseCurrent1 = static_cast<float>(static_cast<std::int32_t>(U32(data)) / 1000.0);
            co.phaseCurrent2 = static_cast<float>(static_cast<std::int32_t>(U32(data + 4)) / 1000.0);
            HardwareProtocolCANopenSDO::UpdateMotorCurrent(record, co);
            break;
        default:
            break;
    }
}

void HardwareProtocolCANopenPDO::ParseDIOPDO(jointData& record, CANopenRecordData& co, int base, int,
                                             const unsigned char* data, const timespec&) {
    if (base != kTPDO1) return;
    // Bytes beyond the mapped ones are not inputs.
    const int n = MappedBytes(co.inputBytes);
    std::uint64_t inputs = 0;
    for (int k = 0; k < n; ++k) inputs |= static_cast<std::uint64_t>(data[k]) << (8 * k);
    record.digitalInputs = inputs;
    record.inputsRead = 0xFF;  // all of them at once
    record.errorCode = 0;
}

void HardwareProtocolCANopenPDO::MapPDO(int node, int communicationIndex, int cobBase, unsigned transmissionType,
                                        int mappingIndex, const std::uint32_t* entries, int count, int waitMs) {
    const unsigned cobId = static_cast<unsigned>(cobBase + node);
    sdo->SendSDO(node, communicationIndex, 1, 0x80000000u + cobId);
    sdo->SendSDO(node, communicationIndex, 2, transmissionType);
    sdo->SendSDO(node, mappingIndex, 0, 0);
    HardwareProtocol::wait(waitMs);
    for (int k = 0; k < count; ++k) sdo->SendSDO(node, mappingIndex, k + 1, entries[k]);
    HardwareProtocol::wait(waitMs);
    sdo->SendSDO(node, mappingIndex, 0, static_cast<unsigned>(count));
    sdo->SendSDO(node, communicationIndex, 1, cobId);
}

void HardwareProtocolCANopenPDO::InitTPDOs(const jointData& record, const CANopenRecordData& co) {
    const int node = record.canId;
    const std::uint32_t tpdo1[] = {kMapStatusword, kMapPositionActual, kMapErrorRegister, kMapModeDisplay};
    MapPDO(node, 0x1800, kTPDO1, 1, 0x1A00, tpdo1, 4, 5);
    const std::uint32_t tpdo2[] = {kMapSupplyVoltage, kMapTemperature};
    MapPDO(node, 0x1801, kTPDO2, 20, 0x1A01, tpdo2, 2, 5);
    const bool closedLoop = (co.motorDriveSubmode.load() & 0x1u) != 0;
    const std::uint32_t closed[] = {kMapCurrentId, kMapCurrentIq};
    const std::uint32_t open[] = {kMapCurrentIa, kMapCurrentIb};
    MapPDO(node, 0x1802, kTPDO3, 20, 0x1A02, closedLoop ? closed : open, 2, 5);
}

void HardwareProtocolCANopenPDO::InitRPDO1(int node, std::uint32_t mappedObject, unsigned transmissionType) {
    MapPDO(node, 0x1400, kRPDO1, transmissionType, 0x1600, &mappedObject, 1, 5);
}

void HardwareProtocolCANopenPDO::InitDIOPDOs(const jointData& record, const CANopenRecordData& co) {
    const int node = record.canId;
    const int nOut = MappedBytes(co.outputBytes);
    const int nIn = MappedBytes(co.inputBytes);
    if (co.outputBytes > kMaxMappedObjects || co.inputBytes > kMaxMappedObjects) {
        LogSingleton::instance()->addFormat(
            "CANopen: IO module with ID %d has %d input and %d output bytes; only %d of each can be mapped", node,
            co.inputBytes.load(), co.outputBytes.load(), kMaxMappedObjects);
    }
    std::uint32_t outputs[kMaxMappedObjects];
    for (int k = 1; k <= nOut; ++k) outputs[k - 1] = 0x62000008u | (static_cast<std::uint32_t>(k) << 8);
    MapPDO(node, 0x1400, kRPDO1, 0, 0x1600, outputs, nOut, 2);
    std::uint32_t inputs[kMaxMappedObjects];
    for (int k = 1; k <= nIn; ++k) inputs[k - 1] = 0x60000008u | (static_cast<std::uint32_t>(k) << 8);
    MapPDO(node, 0x1800, kTPDO1, 1, 0x1A00, inputs, nIn, 2);
}

}  // namespace Hardware
