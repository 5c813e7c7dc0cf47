#pragma once

// CANopen process data: the receive-PDO frames the controller sends every cycle (set-point
// or digital outputs), the parsers of the drives' transmit PDOs, and the SDO writes that
// configure both directions on a node.
//
// Frames are written on the robot-loop thread without allocation; transmit PDOs are parsed
// on the CAN reader thread into SharedValue<> fields of the records.

#include "hardware/CANInterfaceSocketCAN.h"
#include "hardware/HardwareProtocol.h"
#include "hardware/HardwareProtocolCANopenSDO.h"

#include <cstdint>
#include <ctime>

namespace Hardware {

class HardwareProtocolCANopenPDO {
public:
    static constexpr int kRPDO1 = 0x200;
    static constexpr int kTPDO1 = 0x180;
    static constexpr int kTPDO2 = 0x280;
    static constexpr int kTPDO3 = 0x380;
    // The object table holds mapping rows 1..4 only.
    static constexpr int kMaxMappedObjects = 4;

    // Mapping entries: (index << 16) | (subindex << 8) | bit length.
    static constexpr std::uint32_t kMapStatusword = 0x60410010;
    static constexpr std::uint32_t kMapPositionActual = 0x60640020;
    static constexpr std::uint32_t kMapErrorRegister = 0x10010008;
    static constexpr std::uint32_t kMapModeDisplay = 0x60610008;
    static constexpr std::uint32_t kMapSupplyVoltage = 0x40140120;
    static constexpr std::uint32_t kMapTemperature = 0x40140320;
    static constexpr std::uint32_t kMapCurrentId = 0x20390120;
    static constexpr std::uint32_t kMapCurrentIq = 0x20390220;
    static constexpr std::uint32_t kMapCurrentIa = 0x20390320;
    static constexpr std::uint32_t kMapCurrentIb = 0x20390420;
    static constexpr std::uint32_t kMapInterpolationData = 0x60C10120;
    static constexpr std::uint32_t kMapTargetPosition = 0x607A0020;
    static constexpr std::uint32_t kMapTargetVelocity = 0x60FF0020;

    HardwareProtocolCANopenPDO(CANInterfaceSocketCAN* can, HardwareProtocolCANopenSDO* sdo, bool debug);

    // Writes COB-ID base + node with length data bytes (0..8).
    void SendPDO(int node, int base, const unsigned char* data, int length);
    // Position set-point in drive counts, in the IPO and CSP profiles only.
    void SendPosPDO(const jointData& record, const CANopenRecordData& co, double counts);
    // Velocity set-point, in the Velocity and CSV profiles only.
    void SendVelPDO(const jointData& record, const CANopenRecordData& co, double velocity);
    // Digital outputs of an I/O module, one byte per mapped output byte.
    void SendDIOPDO(const jointData& record, const CANopenRecordData& co);

    // base = COB-ID - node.
    void ParsePDO(jointData& record, CANopenRecordData& co, int base, int node, const unsigned char* data,
                  const timespec& time);
    void ParseDIOPDO(jointData& record, CANopenRecordData& co, int base, int node, const unsigned char* data,
                     const timespec& time);

    // Transmit PDOs 1 to 3 of a drive: state, position, error register and mode on every
    // SYNC; supply voltage and temperature, and the two phase currents, every 20th.
    void InitTPDOs(const jointData& record, const CANopenRecordData& co);
    // Receive PDO 1 of a drive carrying one object. The caller waits its settle time and
    // puts the node into operation afterwards.
    void InitRPDO1(int node, std::uint32_t mappedObject, unsigned transmissionType);
    // Receive PDO 1 (outputs) and transmit PDO 1 (inputs on every SYNC) of an I/O module.
    void InitDIOPDOs(const jointData& record, const CANopenRecordData& co);

    // Number of I/O bytes that fit the mapping (0..4).
    static int MappedBytes(int bytes);

private:
    // Disable, clear the count, write the entries, set the count, enable again.
    void MapPDO(int node, int communicationIndex, int cobBase, unsigned transmissionType, int mappingIndex,
                const std::uint32_t* entries, int count, int waitMs);

    CANInterfaceSocketCAN* canInterface;
    HardwareProtocolCANopenSDO* sdo;
    bool debugOutput;
};

}  // namespace Hardware
