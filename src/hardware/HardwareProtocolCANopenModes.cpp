// Operation modes of the CANopen drives and I/O modules, homing and set-to-zero.

#include "core/LogSingleton.h"
#include "hardware/HardwareProtocolCANopen.h"

namespace Hardware {

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

unsigned U(std::int32_t value) { return static_cast<unsigned>(value); }

}  // namespace

void HardwareProtocolCANopen::InitProfileMotors(bool enable) {
    DisableCommunication();
    for (int i = 0; i < moduleTotal; ++i) {
        if (joints[static_cast<size_t>(i)].moduleType == 0) InitProfile(i, enable);
    }
    RequestActualProfiles();
    EnableCommunication();
}

void HardwareProtocolCANopen::InitProfileIO() {
    DisableCommunication();
    for (int i = 0; i < moduleTotal; ++i) {
        if (joints[static_cast<size_t>(i)].moduleType == 1) InitProfile(i, true);
    }
    EnableCommunication();
}

void HardwareProtocolCANopen::InitProfile(int index, bool enable) {
    if (!ValidRecord(index)) return;
    jointData& record = joints[static_cast<size_t>(index)];
    CANopenRecordData& c = co[static_cast<size_t>(index)];
    if (record.canId == 0) return;
    if (record.moduleType == 1) {
        InitDigitalIO(index);
        return;
    }
    if (record.moduleType != 0) return;
    const bool enabledBits = (c.lastControlword.load() & 7) == 7;
    ControlWordStatus target = ControlWordReadyToSwitchOn;
    if (IsFirmware1650(index)) {
        if (enable || enabledBits) target = ControlWordSwitchedOn;
    } else {
        if (enable || enabledBits) target = ControlWordOperationEnabled;
        const std::int32_t actual = c.actualProfile.load();
        if (actual == CANopenProfileHoming || actual == CANopenProfileHomingSetToZero) {
            SendControlWord(index, static_cast<std::uint16_t>(c.lastControlword.load() & 0xFFF7));
        }
    }
    SetControlWord(index, target);
    wait(10);
    const int selected = record.jointMode.load() == JointModeVelocity ? CANopenProfileVelocity : profile;
    c.referencingState = 0;
    switch (selected) {
        case CANopenProfilePosition: InitJointForProfilePositionMode(index); break;
        case CANopenProfileIPO: InitJointForInterpolatedPositionMode(index); break;
        case CANopenProfileCSP: InitJointForCyclicSynchronousPosition(index); break;
        case CANopenProfileVelocity: InitJointForProfileVelocityMode(index); break;
        case CANopenProfileCSV: InitJointForCyclicSynchronousVelocity(index); break;
        case CANopenProfileHoming: InitJointForHoming(index); break;
        case CANopenProfileHomingSetToZero: InitJointForHomingSetToZero(index); break;
        default: break;
    }
}

void HardwareProtocolCANopen::InitTPDOs(int index) {
    pdo.InitTPDOs(joints[static_cast<size_t>(index)], co[static_cast<size_t>(index)]);
}

void HardwareProtocolCANopen::CommonPDOStep(int index, std::uint32_t rpdoObject, unsigned transmissionType,
                                            int settleMs, bool withRPDO) {
    const int node = joints[static_cast<size_t>(index)].canId;
    CANopenRecordData& c = co[static_cast<size_t>(index)];
    if (usePDOs && !c.pdosConfigured.load()) {
        Log()->addFormat("CANopen: Initializing PDOs for joint %d", node);
        c.pdosConfigured = true;
        SendNMT(node, NMTEnterPreOperational);
        wait(20);
        InitTPDOs(index);
        if (withRPDO) {
            pdo.InitRPDO1(node, rpdoObject, transmissionType);
            wait(settleMs);
        }
        SendNMT(node, NMTEnterOperational);
    }
    if (!IsFirmware1650(index)) {
        sdo.SendSDO(node, 0x3701, 0, U(c.limitSwitchErrorOptionCode.load()));
        wait(5);
        sdo.SendSDO(node, 0x3243, 1, c.homingCaptureMode.load());
        wait(5);
    }
}

void HardwareProtocolCANopen::InitJointForProfilePositionMode(int index) {
    const int node = joints[static_cast<size_t>(index)].canId;
    Log()->addFormat("CANopen: initializing Profile Position mode for CANid %d, protocol cycle time %d ms", node,
                     cycleTime);
    CommonPDOStep(index, 0, 0, 0, false);
    co[static_cast<size_t>(index)].requestedProfile = CANopenProfilePosition;
    sdo.SendSDO(node, 0x6060, 0, 1u);
    // End velocity is no table object: a raw download.
    sdo.SendSDO(node, 0x6082, 0, 4, 0u);
}

void HardwareProtocolCANopen::InitJointForInterpolatedPositionMode(int index) {
    const int node = joints[static_cast<size_t>(index)].canId;
    Log()->addFormat("CANopen: initializing IPO mode for CANid %d, protocol cycle time %d ms", node, cycleTime);
    CommonPDOStep(index, HardwareProtocolCANopenPDO::kMapInterpolationData, 1, 100, true);
    co[static_cast<size_t>(index)].requestedProfile = CANopenProfileIPO;
    sdo.SendSDO(node, 0x60C2, 1, U(cycleTime));
    sdo.SendSDO(node, 0x60C2, 2, U(-3));
    wait(5);
    sdo.SendSDO(node, 0x60C4, 6, 1u);
    wait(5);
    sdo.SendSDO(node, 0x6060, 0, 7u);
}

void HardwareProtocolCANopen::InitJointForCyclicSynchronousPosition(int index) {
    const int node = joints[static_cast<size_t>(index)].canId;
    Log()->addFormat("CANopen: initializing CSP mode for CANid %d, protocol cycle time %d ms", node, cycleTime);
    CommonPDOStep(index, HardwareProtocolCANopenPDO::kMapTargetPosition, 0, 10, true);
    co[static_cast<size_t>(index)].requestedProfile = CANopenProfileCSP;
    sdo.SendSDO(node, 0x6060, 0, 8u);
    wait(5);
    sdo.SendSDO(node, 0x60C2, 1, U(cycleTime));
    wait(5);
    sdo.SendSDO(node, 0x60C2, 2, U(-3));
    wait(5);
}

void HardwareProtocolCANopen::InitJointForProfileVelocityMode(int index) {
    const int node = joints[static_cast<size_t>(index)].canId;
    Log()->addFormat("CANopen: initializing Profile Velocity mode for CANid %d, protocol cycle time %d ms", node,
                     cycleTime);
    CommonPDOStep(index, HardwareProtocolCANopenPDO::kMapTargetVelocity, 1, 10, true);
    co[static_cast<size_t>(index)].requestedProfile = CANopenProfileVelocity;
    sdo.SendSDO(node, 0x60A9, 0, 0x00410300u);
    sdo.SendSDO(node, 0x60FF, 0, 0u);
    sdo.SendSDO(node, 0x6060, 0, 3u);
}

void HardwareProtocolCANopen::InitJointForCyclicSynchronousVelocity(int index) {
    const int node = joints[static_cast<size_t>(index)].canId;
    Log()->addFormat("CANopen: initializing CSV mode for CANid %d, protocol cycle time %d ms", node, cycleTime);
    CommonPDOStep(index, HardwareProtocolCANopenPDO::kMapTargetVelocity, 1, 10, true);
    co[static_cast<size_t>(index)].requestedProfile = CANopenProfileCSV;
    sdo.SendSDO(node, 0x60A9, 0, 0x00410300u);
    sdo.SendSDO(node, 0x60FF, 0, 0u);
    sdo.SendSDO(node, 0x6060, 0, 9u);
    sdo.SendSDO(node, 0x60C2, 1, U(cycleTime));
    sdo.SendSDO(node, 0x60C2, 2, U(-3));
}

void HardwareProtocolCANopen::InitJointForHoming(int index) {
    const int node = joints[static_cast<size_t>(index)].canId;
    CANopenRecordData& c = co[static_cast<size_t>(index)];
    const int method = c.homingMethod.load();
    Log()->addFormat("CANopen: initializing Homing mode for CANid %d, method %d", node, method);
    c.requestedProfile = method == 35 ? CANopenProfileHomingSetToZero : CANopenProfileHoming;
    c.lastHomingBits = 0xFFFF;
    const bool fir1650 = IsFirmware1650(index);
    if (!fir1650) {
        sdo.SendSDO(node, 0x3243, 1, 0u);
        wait(5);
    }
    sdo.SendSDO(node, 0x607C, 0, U(c.homeOffset.load()));
    wait(5);
    sdo.SendSDO(node, 0x6099, 1, U(c.homingSpeed1.load()));
    wait(5);
    sdo.SendSDO(node, 0x6099, 2, U(c.homingSpeed2.load()));
    wait(5);
    if (!fir1650 && method != 35) {
        sdo.SendSDO(node, 0x3701, 0, U(-1));
        wait(5);
    }
    sdo.SendSDO(node, 0x6098, 0, U(method));
    wait(5);
    sdo.SendSDO(node, 0x6060, 0, 6u);
    wait(5);
}

void HardwareProtocolCANopen::InitJointForHomingSetToZero(int index) {
    const int node = joints[static_cast<size_t>(index)].canId;
    CANopenRecordData& c = co[static_cast<size_t>(index)];
    Log()->addFormat("CANopen: initializing Homing mode (set-to-zero) for CANid %d", node);
    c.requestedProfile = CANopenProfileHomingSetToZero;
    c.lastHomingBits = 0xFFFF;
    sdo.SendSDO(node, 0x607C, 0, 0u);
    wait(5);
    const std::int32_t speed1 = c.homingSpeed1.load();
    const std::int32_t speed2 = c.homingSpeed2.load();
    if (speed1 == 0 || speed2 == 0) {
        sdo.SendSDO(node, 0x6099, 1, 0u);
        wait(5);
        sdo.SendSDO(node, 0x6099, 2, 0u);
    } else {
        const std::int32_t offset = c.homeOffset.load();
        sdo.SendSDO(node, 0x6099, 1, U(offset) + U(speed1));
        wait(5);
        sdo.SendSDO(node, 0x6099, 2, U(offset) + U(speed2));
    }
    wait(5);
    sdo.SendSDO(node, 0x6098, 0, 35u);
    wait(5);
    sdo.SendSDO(node, 0x6060, 0, 6u);
    wait(5);
}

void HardwareProtocolCANopen::InitDigitalIO(int index) {
    const int node = joints[static_cast<size_t>(index)].canId;
    CANopenRecordData& c = co[static_cast<size_t>(index)];
    sdo.RequestSDO(node, 0x6000, 0);
    wait(5);
    sdo.RequestSDO(node, 0x6200, 0);
    if (usePDOs && !c.pdosConfigured.load()) {
        Log()->addFormat("CANopen: Initializing PDOs for IO module %d", node);
        c.pdosConfigured = true;
        SendNMT(node, NMTEnterPreOperational);
        wait(100);
        pdo.InitDIOPDOs(joints[static_cast<size_t>(index)], c);
        wait(100);
        SendNMT(node, NMTEnterOperational);
        wait(100);
    }
}

}  // namespace Hardware
