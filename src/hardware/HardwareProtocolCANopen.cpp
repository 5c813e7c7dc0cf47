#include "hardware/HardwareProtocolCANopen.h"

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "core/XmlNumber.h"
#include "kinematics/ExternalAxis.h"

#include <tinyxml2.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

namespace Hardware {

std::atomic<HardwareProtocolCANopen*> ctxHWPCANopen{nullptr};

namespace {

// Callbacks between reading ctxHWPCANopen and returning; the destructor waits for them.
std::atomic<int> callbacksInFlight{0};

constexpr std::int32_t kBusDead = 0x100;
constexpr std::int32_t kModuleDead = 0x200;
// Halt bit of the controlword; a halted drive is disabled this long after the halt.
constexpr std::uint16_t kHaltBit = 0x100;
constexpr std::int64_t kHaltSettleUs = 200000;

LogSingleton* Log() { return LogSingleton::instance(); }

std::int64_t MonotonicMicroSec() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return HardwareProtocol::ToMicroSec(t);
}

bool Fail(const std::string& line, const char* reason) {
    Log()->SeriousFailure(line, reason);
    return false;
}

const char* NmtStateText(int state) {
    switch (state) {
        case 5: return "OPERATIONAL";
        case 127: return "PRE-OPERATIONAL";
        case 4: return "STOPPED";
        default: return "UNKNOWN";
    }
}

}  // namespace

const char* ControlWordStatusToString(std::int32_t status) {
    switch (status) {
        case ControlWordFault: return "fault";
        case ControlWordQuickStopActive: return "quick_stop_active";
        case ControlWordSwitchOnDisabled: return "switch_on_disabled";
        case ControlWordReadyToSwitchOn: return "ready_to_switch_on";
        case ControlWordSwitchedOn: return "switched_on";
        case ControlWordOperationEnabled: return "operation_enabled";
        default: return "unknown";
    }
}

ControlWordStatus ControlWordStringToStatus(const std::string& text) {
    if (text == "quick_stop_active") return ControlWordQuickStopActive;
    if (text == "switch_on_disabled") return ControlWordSwitchOnDisabled;
    if (text == "ready_to_switch_on") return ControlWordReadyToSwitchOn;
    if (text == "switched_on") return ControlWordSwitchedOn;
    if (text == "operation_enabled") return ControlWordOperationEnabled;
    return ControlWordFault;
}

const char* NMTFunctionToString(int function) {
    switch (function) {
        case NMTEnterOperational: return "ENTER_OPERATIONAL";
        case NMTEnterStop: return "ENTER_STOP";
        case NMTEnterPreOperational: return "ENTER_PREOPERATIONAL";
        case NMTResetNode: return "RESET_NODE";
        case NMTResetCommunication: return "RESET_COMMUNICATION";
        default: return "UNKNOWN";
    }
}

int ReceiveCallbackCANopen(int id, int dlc, const unsigned char* data, long extra, timespec time) {
    callbacksInFlight.fetch_add(1);
    int result = 0;
    HardwareProtocolCANopen* protocol = ctxHWPCANopen.load();
    if (protocol != nullptr) result = protocol->ReceiveCallback(id, dlc, data, extra, time);
    callbacksInFlight.fetch_sub(1);
    return result;
}

// --- Construction and configuration ---

HardwareProtocolCANopen::HardwareProtocolCANopen(RobotKinematic* kinematicIn, CANopenProfile profileIn)
    : HardwareProtocol(kinematicIn),
      profile(profileIn),
      sdo(&canInterface, debugOutput),
      pdo(&canInterface, &sdo, debugOutput) {
    for (auto& entry : nodeTable) entry.store(-1);
    for (jointData& record : joints) record = NewRecord();
    for (int i = 0; i < kMaxRecords; ++i) joints[static_cast<size_t>(i)].canId = i + 1;
    if (allowAlienMessages) Log()->add("WARNING: CANopen alien message check is disabled!");
    ctxHWPCANopen.store(this);
    canInterface.protocolCallback.store(&ReceiveCallbackCANopen);
}

HardwareProtocolCANopen::~HardwareProtocolCANopen() {
    canInterface.protocolCallback.store(nullptr);
    HardwareProtocolCANopen* self = this;
    ctxHWPCANopen.compare_exchange_strong(self, nullptr);
    while (callbacksInFlight.load() != 0) std::this_thread::yield();
}

jointData HardwareProtocolCANopen::NewRecord() const {
    jointData record;
    record.GearScale = 100.0f;
    record.GearZero = 0.0f;
    record.measured = 0.0f;
    record.errorCode = 256;
    record.current = 0.0f;
    record.errorTextCode = kErrorTextNotAvailable;
    return record;
}

void HardwareProtocolCANopen::Init(const std::string& nameIn, const std::string& robotTypeIn,
                                   const std::string& robotFile) {
    name = nameIn;
    robotType = robotTypeIn;
    ReadConfigFile(robotFile);
}

bool HardwareProtocolCANopen::ReadConfigFile(const std::string& path) {
    LogSingleton* log = Log();
    log->add("Protocol CANopen: reading config file...");
    std::FILE* probe = std::fopen(path.c_str(), "rb");
    if (probe == nullptr) {
        return Fail("File " + path + " not available! Aborting read()", "61 Protocol Ini file not found");
    }
    std::fclose(probe);
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        return Fail("ProtocolCANopen: could not read ini correctly: " + path, "62 Protocol Ini file not valid");
    }
    const tinyxml2::XMLElement* robot = doc.FirstChildElement("Robot");
    if (robot == nullptr) {
        return Fail("ProtocolCANopen: line Robot not found in robot ini file!", "33 Robot Ini file not complete");
    }
    const tinyxml2::XMLElement* bus = robot->FirstChildElement("BusConfiguration");
    if (bus == nullptr) {
        return Fail("ProtocolCANopen: line BusConfiguration not found in robot ini file!",
                    "34 Robot Ini file not complete");
    }
    int cycle = 0;
    if (bus->QueryIntAttribute("CycleTimeMS", &cycle) != tinyxml2::XML_SUCCESS || cycle <= 0) {
        return Fail("ProtocolCANopen: attribute CycleTimeMS not found in line BusConfiguration of robot ini file!",
                    "36 Robot Ini file not complete");
    }
    cycleTime = cycle;
    log->addFormat("ProtocolCANopen: cycletime: %d ms", cycleTime);
    float gapValue = 0.0f;
    // Non-finite waits count as missing, like the scales below: a NaN or endless gap has no use.
    if (!XmlNumber::ReadFinite(*bus, "GapMS", gapValue) || gapValue < 0.0f) {
        return Fail("ProtocolCANopen: attribute GapMS not found in line BusConfiguration of robot ini file!",
                    "65 Protocol Ini file not complete");
    }
    gap = gapValue;
    float syncGapValue = 0.0f;
    if (!XmlNumber::ReadFinite(*bus, "SyncGapMS", syncGapValue) || syncGapValue < 0.0f) {
        syncGap = 0.0f;
        log->addFormat(
            "ProtocolCANopen: attribute SyncGapMS not found in line BusConfiguration of robot ini file! Using "
            "default value %d ms.",
            0);
    } else {
        syncGap = syncGapValue;
    }
    log->addFormat("ProtocolCANopen: GapMS: %.1f SyncGapMS: %.1f", static_cast<double>(gap),
                   static_cast<double>(syncGap));
    bool flag = true;
    if (bus->QueryBoolAttribute("UsePDOs", &flag) == tinyxml2::XML_SUCCESS) {
        usePDOs = flag;
    } else {
        log->add("ProtocolCANopen: attribute UsePDOs not found in line BusConfiguration of robot ini file!");
    }
    if (bus->QueryBoolAttribute("AllowAlienMessages", &flag) == tinyxml2::XML_SUCCESS) {
        allowAlienMessages = flag;
        if (allowAlienMessages) {
            log->add("ProtocolCANopen: WARNING: Alien CAN message check is disabled!");
            log->add("Use parameter 'AllowAlienMessages' in line 'BusConfiguration' only for debugging!");
        }
    }
    const tinyxml2::XMLElement* jointsElement = bus->FirstChildElement("Joints");
    if (jointsElement == nullptr) {
        return Fail("ProtocolCANopen: line Joints not found in robot ini file!", "66 Protocol Ini file not complete");
    }
    int count = -1;
    // More robot joints than the robot state holds would index past its arrays.
    if (jointsElement->QueryIntAttribute("NrOfJoints", &count) != tinyxml2::XML_SUCCESS || count < 0 ||
        count > kMaxRobotJoints) {
        return Fail("ProtocolCANopen: attribute NrOfJoints not found in line Joints of project file!",
                    "67 Protocol Ini file not complete");
    }
    // The robot joints come first; the records after them keep their order.
    for (int i = 0; i < kMaxRecords; ++i) co[static_cast<size_t>(i)] = CANopenRecordData{};
    SetRobotJointCount(count);
    log->addFormat("Protocol CANopen: %d joints:", count);
    for (int i = 0; i < count; ++i) {
        char elementName[16];
        std::snprintf(elementName, sizeof elementName, "Joint%d", i);
        const tinyxml2::XMLElement* joint = bus->FirstChildElement(elementName);
        if (joint == nullptr) {
            return Fail("ProtocolCANopen: joint definition not found!", "68 Protocol Ini file not complete");
        }
        jointData& record = joints[static_cast<size_t>(i)];
        record.moduleType = 0;
        record.measured = 0.0f;
        co[static_cast<size_t>(i)].referencingState = 0;
        record.errorTextCode = kErrorTextNotAvailable;
        record.enabled = 0;
        int id = 0;
        if (joint->QueryIntAttribute("ID", &id) != tinyxml2::XML_SUCCESS) {
            return Fail("ProtocolCANopen: joint ID not found!", "69 Protocol Ini file not complete");
        }
        if (id < 1 || id > 127) {
            char line[80];
            std::snprintf(line, sizeof line, "ProtocolCANopen: joint ID %d out of range (1..127)!", id);
            return Fail(line, "69 Protocol Ini file invalid");
        }
        record.canId = id;
        RebuildNodeTable();
        float value = 0.0f;
        if (!XmlNumber::ReadFinite(*joint, "GearScale", value)) {
            return Fail("ProtocolCANopen: joint GearScale not found!", "70 Protocol Ini file not complete");
        }
        record.GearScale = value;
        if (!XmlNumber::ReadFinite(*joint, "GearZero", value)) {
            return Fail("ProtocolCANopen: joint GearZero not found!", "71 Protocol Ini file not complete");
        }
        record.GearZero = value;
        if (XmlNumber::ReadFinite(*joint, "GearPlay", value)) {
            record.GearPlay = value;
        } else {
            log->addError("ProtocolCANopen: joint GearPlay not found!");
        }
        if (XmlNumber::ReadFinite(*joint, "GearPlayInc", value)) {
            record.GearPlayInc = value;
        } else {
            log->addError("ProtocolCANopen: joint GearPlayInc not found!");
        }
        log->addFormat("   Joint %d: CAN ID %d - GearScale %.3lf - GearZero %.3lf - GearPlay %.3lf - GearPlayInc %.3lf",
                       i, id, static_cast<double>(record.GearScale), static_cast<double>(record.GearZero),
                       static_cast<double>(record.GearPlay), static_cast<double>(record.GearPlayInc));
    }
    const tinyxml2::XMLElement* referencing = robot->FirstChildElement("Referencing");
    if (referencing == nullptr) {
        return Fail("ProtocolCANopen: line Referencing not found in project file!", "72 Protocol Ini file not complete");
    }
    bool mandatory = true;
    referencing->QueryBoolAttribute("Mandatory", &mandatory);
    referencingMandatory.store(mandatory);
    log->add(mandatory ? "Protocol ProtocolCANopen: Referencing mandatory: true"
                       : "Protocol ProtocolCANopen: Referencing mandatory: false");
    ReadReferencingTimeout(*referencing, "Protocol ProtocolCANopen");
    return true;
}

int HardwareProtocolCANopen::AddCANopenRecord(ModuleRole role) {
    const int index = AddRecord(role);
    if (index < 0) return -1;
    // AddRecord moved the later records up by one; their CANopen fields follow them.
    for (int k = moduleTotal - 1; k > index; --k) co[static_cast<size_t>(k)] = co[static_cast<size_t>(k - 1)];
    co[static_cast<size_t>(index)] = CANopenRecordData{};
    return index;
}

void HardwareProtocolCANopen::RebuildNodeTable() {
    for (auto& entry : nodeTable) entry.store(-1);
    for (int i = 0; i < moduleTotal && i < kMaxRecords; ++i) {
        const int id = joints[static_cast<size_t>(i)].canId;
        if (id >= 1 && id < kNodeTableSize) nodeTable[static_cast<size_t>(id)].store(i);
    }
}

int HardwareProtocolCANopen::NodeRecord(int node) const {
    if (node < 0 || node >= kNodeTableSize) return -1;
    return nodeTable[static_cast<size_t>(node)].load();
}

const CANopenRecordData& HardwareProtocolCANopen::GetCANopenData(int index) const {
    if (index < 0 || index >= kMaxRecords) throw std::out_of_range("CANopen record index");
    return co[static_cast<size_t>(index)];
}

void HardwareProtocolCANopen::InitDIOModules(int canId) {
    LogSingleton* log = Log();
    if (dioModuleCount >= kMaxDIOModules) {
        log->add("CANopen: cannot add more than 3 DIO modules!");
        return;
    }
    if (canId < 1 || canId > 127) {
        log->addFormat("CANopen: CAN ID %d for DIO module is out of range (1..127)", canId);
        return;
    }
    const int index = AddCANopenRecord(ModuleRole::DIO);
    if (index < 0) return;
    jointData& record = joints[static_cast<size_t>(index)];
    record.moduleType = 1;
    record.canId = canId;
    RebuildNodeTable();
    PublishDIOModuleIds();
    log->add("CANopen: added DIO module on ID ", canId);
    log->add("");
}

void HardwareProtocolCANopen::InitExternalJoint(const ExternalAxis& axis) {
    LogSingleton* log = Log();
    if (externalAxisCount >= kMaxExternalAxes) {
        log->add("Cannot add more then 3 External Joints!");
        return;
    }
    if (axis.ID < 1 || axis.ID > 127) {
        log->addFormat("CANopen: CAN ID %d for External Joint is out of range (1..127)", axis.ID);
        return;
    }
    const int index = AddCANopenRecord(ModuleRole::ExternalAxis);
    if (index < 0) return;
    jointData& record = joints[static_cast<size_t>(index)];
    record.moduleType = 0;
    record.canId = axis.ID;
    const int mode = static_cast<int>(axis.MotionMode);
    record.jointMode = (mode == 2 || mode == 4 || mode == 10) ? static_cast<JointMode>(mode) : JointModePosition;
    record.errorCode = 256;
    record.GearZero = 0.0f;
    record.GearScale = static_cast<float>(axis.GearScale);
    record.measured = 0.0f;
    record.TempScale = 0.3125f;
    record.TempZero = -25.6f;
    record.maxVelocity = static_cast<float>(axis.VelMax);
    RebuildNodeTable();
    log->addFormat("   External Joint %d: CAN ID %d - GearScale %.3lf - TempScale %.3lf - TempZero %.3lf - Mode %d",
                   externalAxisCount - 1, record.canId, static_cast<double>(record.GearScale),
                   static_cast<double>(record.TempScale), static_cast<double>(record.TempZero),
                   static_cast<int>(record.jointMode.load()));
}

void HardwareProtocolCANopen::SetDIOModuleIDs(unsigned char a, unsigned char b, unsigned char c) {
    LogSingleton* log = Log();
    log->addFormat("Setting DIO module IDs: %d %d %d", a, b, c);
    int ids[3] = {a, b, c};
    bool zeroRest = false;
    for (int& id : ids) {
        if (id > 127) {
            log->addError("CANopen: CAN ID for DIO module is out of range (1..127)");
            id = 0;
        }
        if (zeroRest) id = 0;
        if (id == 0) zeroRest = true;
    }
    // Modules are set up before Connect. On a live bus the change is made the way the
    // connect sequence would: no cycle traffic and no receive dispatch while the table
    // changes, then the I/O modules' profile set-up.
    const bool live = canInterface.IsConnected();
    if (live) DisableCommunication();
    {
        ReceivePause pause(*this);
        const int first = moduleTotal - dioModuleCount;
        const int before = dioModuleCount;
        // Only the records that fit the table count as modules.
        int placed = 0;
        while (placed < 3 && ids[placed] != 0 && first + placed < kMaxRecords) ++placed;
        ResizeRole(ModuleRole::DIO, placed);
        for (int k = 0; k < dioModuleCount; ++k) {
            const int index = first + k;
            jointData& record = joints[static_cast<size_t>(index)];
            // A record that now stands for another node starts afresh, so its PDOs are set up.
            if (k >= before || record.canId != ids[k]) co[static_cast<size_t>(index)] = CANopenRecordData{};
            record.moduleType = 1;
            record.canId = ids[k];
        }
        RebuildNodeTable();
        PublishDIOModuleIds();
    }
    if (live) InitProfileIO();
}

void HardwareProtocolCANopen::GetDIOModuleIDs(unsigned char& a, unsigned char& b, unsigned char& c) {
    a = static_cast<unsigned char>(dioModuleIds[0].load());
    b = static_cast<unsigned char>(dioModuleIds[1].load());
    c = static_cast<unsigned char>(dioModuleIds[2].load());
}

void HardwareProtocolCANopen::PublishDIOModuleIds() {
    const int first = moduleTotal - dioModuleCount;
    for (int k = 0; k < kMaxDIOModules; ++k) {
        const int id = k < dioModuleCount ? joints[static_cast<size_t>(first + k)].canId : 0;
        dioModuleIds[static_cast<size_t>(k)].store(id & 0xFF);
    }
}

HardwareProtocolCANopen::ReceivePause::ReceivePause(HardwareProtocolCANopen& p) : protocol(p) {
    protocol.receiveOpen.store(false);
    // The reader leaves a callback within microseconds; it does not wait for this thread.
    while (protocol.receivesInFlight.load() != 0) std::this_thread::yield();
}

HardwareProtocolCANopen::ReceivePause::~ReceivePause() { protocol.receiveOpen.store(true); }

bool HardwareProtocolCANopen::IsFirmware1650(int record) const {
    char text[CANopenText::kLength];
    const CANopenText& firmware = co[static_cast<size_t>(record)].firmware;
    for (int k = 0; k < CANopenText::kLength; ++k) text[k] = firmware.At(k);
    text[CANopenText::kLength - 1] = '\0';
    return std::strstr(text, "FIR-v1650") != nullptr;
}

int HardwareProtocolCANopen::SetPointSlot(int record) const {
    if (record >= 0 && record < robotJointCount) return record;
    const int firstExternal = FirstRecord(ModuleRole::ExternalAxis);
    if (record >= firstExternal && record < firstExternal + externalAxisCount) return 6 + (record - firstExternal);
    return -1;
}

ControlWordStatus HardwareProtocolCANopen::RecordStatus(int record) const {
    switch (joints[static_cast<size_t>(record)].errorTextCode.load()) {
        case CANopenStateQuickStopActive: return ControlWordQuickStopActive;
        case CANopenStateSwitchOnDisabled: return ControlWordSwitchOnDisabled;
        case CANopenStateReadyToSwitchOn: return ControlWordReadyToSwitchOn;
        case CANopenStateSwitchedOn: return ControlWordSwitchedOn;
        case CANopenStateOperationEnabled: return ControlWordOperationEnabled;
        default: return ControlWordFault;
    }
}

// --- Receive dispatch ---

int HardwareProtocolCANopen::ReceiveCallback(int rawId, int, const unsigned char* data, long, timespec time) {
    // Counted before the gate is read, so a ReceivePause either sees this frame in hand or
    // this frame sees the closed gate.
    receivesInFlight.fetch_add(1);
    struct Leave {
        std::atomic<int>& count;
        ~Leave() { count.fetch_sub(1); }
    } leave{receivesInFlight};
    if (!receiveOpen.load()) return 0;  // the record table is being changed
    LogSingleton* log = Log();
    if (log->get_opMode() != OPMODE_NORMAL) return 0;
    // Extended and remote frames are no CANopen traffic of ours.
    if ((static_cast<unsigned>(rawId) & ~static_cast<unsigned>(CAN_SFF_MASK)) != 0) return 0;
    const int id = rawId;
    if (!allowAlienMessages) {
        const char* format = nullptr;
        if (id == 0) {
            format = "CANopen: Received alien NMT message (ID %d) - ABORT!";
        } else if (id == 0x80) {
            format = "CANopen: Received alien Sync message (ID %d) - ABORT!";
        } else if (id == 0x100) {
            format = "CANopen: Received alien TimeStamp message (ID %d) - ABORT!";
        } else if ((id >= 0x200 && id <= 0x280) || (id >= 0x300 && id <= 0x380) || (id >= 0x400 && id <= 0x480) ||
                   (id >= 0x500 && id <= 0x580) || (id >= 0x600 && id <= 0x700)) {
            format = "CANopen: Received alien PDO or SDO (ID %d) - ABORT!";
        }
        if (format != nullptr) {
            log->addFormat(format, id);
            log->set_seriousFailReason("79 alien CAN msg");
            log->set_opMode(OPMODE_SERIOUS_FAILURE);
        }
    }
    enum class Kind { TPDO, SDO, EMCY, Heartbeat } kind;
    int base = 0;
    if ((id >= 0x181 && id <= 0x1FF) || (id >= 0x281 && id <= 0x2FF) || (id >= 0x381 && id <= 0x3FF) ||
        (id >= 0x481 && id <= 0x4FF)) {
        kind = Kind::TPDO;
        base = id & 0x780;
    } else if (id >= 0x581 && id <= 0x5FF) {
        kind = Kind::SDO;
        base = 0x580;
    } else if (id >= 0x81 && id <= 0xFF) {
        kind = Kind::EMCY;
        base = 0x80;
    } else if (id >= 0x701 && id <= 0x77F) {
        kind = Kind::Heartbeat;
        base = 0x700;
    } else {
        return 0;
    }
    const int node = id - base;
    const int index = NodeRecord(node);
    if (index < 0 || index >= moduleTotal) return 0;
    jointData& record = joints[static_cast<size_t>(index)];
    CANopenRecordData& data402 = co[static_cast<size_t>(index)];
    switch (kind) {
        case Kind::Heartbeat: {
            const std::uint8_t state = data[0] & 0x7F;
            if (state != data402.nmtState.load()) {
                if (nmtStateLog.Admit((static_cast<std::uint64_t>(node) << 8) | state)) {
                    log->addFormat("CANopen: Device %d changed state to %s", node, NmtStateText(state));
                }
                data402.nmtState = state;
            }
            break;
        }
        case Kind::EMCY:
            sdo.ParseEmergency(record, data402, node, data);
            sdo.RequestSDO(node, 0x1001, 0);
            break;
        case Kind::TPDO:
            if (usePDOs) {
                if (record.moduleType == 0) {
                    pdo.ParsePDO(record, data402, base, node, data, time);
                } else if (record.moduleType == 1) {
                    pdo.ParseDIOPDO(record, data402, base, node, data, time);
                }
            }
            break;
        case Kind::SDO:
            sdo.ParseSDOAnswer(record, data402, node, data, time);
            break;
    }
    lastFrameTimeUs.store(ToMicroSec(time));
    silenceCount.store(0);
    return 1;
}

// --- NMT, communication, connect ---

void HardwareProtocolCANopen::EnableCommunication() { communicationActive.store(true); }

void HardwareProtocolCANopen::DisableCommunication() {
    if (communicationActive.exchange(false)) wait(cycleTime);
}

void HardwareProtocolCANopen::SendNMT(int node, NMTFunction function) {
    if (node == 0) {
        Log()->addFormat("CANopen: NMT-Request %s for all devices", NMTFunctionToString(function));
    } else {
        Log()->addFormat("CANopen: NMT-Request %s for device %d", NMTFunctionToString(function), node);
    }
    const unsigned char frame[2] = {static_cast<unsigned char>(function), static_cast<unsigned char>(node)};
    canInterface.WriteMessage(0, 2, frame);
    if (debugOutput) std::printf("NMT ID: 0x%02X cmd: 0x%02X\n", node, static_cast<unsigned>(function));
    wait(50);
}

std::string HardwareProtocolCANopen::MsgToString(int id, int length, const unsigned char* data, long time) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "CANmsg - ID: %d Length: %d Data: 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X   Time: %ld",
                  id, length, data[0], data[1], data[2], data[3], data[4], data[5], data[6], data[7], time);
    return text;
}

void HardwareProtocolCANopen::SendSync() {
    if (!communicationActive.load()) return;
    const unsigned char none[1] = {0};
    canInterface.WriteMessage(0x80, 0, none);
}

void HardwareProtocolCANopen::ClearRecordForConnect(int index) {
    jointData& record = joints[static_cast<size_t>(index)];
    CANopenRecordData& c = co[static_cast<size_t>(index)];
    record.statusFlag = 0;
    record.enabled = 0;
    record.errorTextCode = kErrorTextNotAvailable;
    c.requestedProfile = 0;
    c.referencingState = 0;
    c.lastHomingBits = 0;
    record.referenced = 0;
    c.deviceName.Clear();
    c.firmware.Clear();
}

void HardwareProtocolCANopen::Connect() {
    LogSingleton* log = Log();
    log->add("CANopen: connecting");
    communicationActive.store(false);
    linkFlag.store(false);
    lastFrameTimeUs.store(0);
    silenceCount.store(0);
    for (int i = 0; i < kMaxRecords; ++i) ClearRecordForConnect(i);
    ClearAnswerWatch();
    for (auto& due : disableDueUs) due.store(0);
    if (!canInterface.IsConnected()) canInterface.Connect();
    if (!canInterface.IsConnected()) {
        log->add("CANopen: No connection!");
        return;
    }
    log->add("CANopen: Connection succeeded");
    wait(100);
    // Drives left enabled by an earlier run are switched off before anything else: the
    // profile set-up below then finds them off and leaves them so until the operator
    // enables them.
    DisableDrives();
    connectCount.fetch_add(1);
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) sdo.SendSDO(joints[static_cast<size_t>(i)].canId, 0x1017, 0, 1000u);
    wait(5);
    for (int k = 0; k < CANopenText::kLength - 1; ++k) {
        for (int i = 0; i < moduleTotal; ++i) {
            const int node = joints[static_cast<size_t>(i)].canId;
            const CANopenRecordData& c = co[static_cast<size_t>(i)];
            if (k == 0 || c.deviceName.At(k - 1) != '\0') {
                sdo.RequestSDO(node, 0x1008, k + 1);
                wait(3);
            }
            if (k == 0 || c.firmware.At(k - 1) != '\0') {
                sdo.RequestSDO(node, 0x100A, k + 1);
                wait(3);
            }
        }
    }
    for (int i = 0; i < robotJointCount; ++i) {
        sdo.RequestSDO(joints[static_cast<size_t>(i)].canId, 0x3202, 0);
        wait(3);
    }
    for (int i = 0; i < moduleTotal; ++i) {
        const CANopenRecordData& c = co[static_cast<size_t>(i)];
        log->addFormat("CANopen: Device ID: %d Name: '%s' Firmware '%s'", joints[static_cast<size_t>(i)].canId,
                       c.deviceName.Str().c_str(), c.firmware.Str().c_str());
    }
    InitCANopenParameterFile(robotType);
    wait(100);
    SendNMT(0, NMTEnterOperational);
    wait(2000);
    RequestControlWord();
    wait(10);
    RequestStatusWord();
    wait(10);
    InitProfileMotors(false);
    InitProfileIO();
}

void HardwareProtocolCANopen::Disconnect() {
    linkFlag.store(false);
    if (canInterface.IsConnected()) canInterface.Disconnect();
}

bool HardwareProtocolCANopen::GetConnectionStatus() {
    if (silenceCount.load() > kSilentCyclesLimit) {
        silenceCount.store(0);
        Log()->add("CANopen: Connection timed out, disconnecting");
        Disconnect();
    }
    return canInterface.IsConnected();
}

// --- Requests ---

void HardwareProtocolCANopen::RequestStatusWord() {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) {
        RequestStatusWord(i);
        wait(3);
    }
}

void HardwareProtocolCANopen::RequestStatusWord(int record) {
    if (!ValidRecord(record)) return;
    sdo.RequestSDO(joints[static_cast<size_t>(record)].canId, 0x6041, 0);
}

void HardwareProtocolCANopen::RequestControlWord() {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) {
        sdo.RequestSDO(joints[static_cast<size_t>(i)].canId, 0x6040, 0);
        wait(3);
    }
}

void HardwareProtocolCANopen::RequestActualProfiles() {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) sdo.RequestSDO(joints[static_cast<size_t>(i)].canId, 0x6061, 0);
    wait(5);
}

void HardwareProtocolCANopen::RequestPosition() {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) {
        const int node = joints[static_cast<size_t>(i)].canId;
        if (node == 0) continue;
        sdo.RequestSDO(node, 0x6064, 0);
        if (gap > 0.0f) wait(gap);
    }
}

void HardwareProtocolCANopen::RequestTemperatures() {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) sdo.RequestSDO(joints[static_cast<size_t>(i)].canId, 0x4014, 3);
}

void HardwareProtocolCANopen::RequestCurrents() {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) {
        const int node = joints[static_cast<size_t>(i)].canId;
        const bool closedLoop = (co[static_cast<size_t>(i)].motorDriveSubmode.load() & 1u) != 0;
        sdo.RequestSDO(node, 0x2039, closedLoop ? 1 : 3);
        sdo.RequestSDO(node, 0x2039, closedLoop ? 2 : 4);
    }
}

void HardwareProtocolCANopen::RequestErrorsErrorCount() {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) sdo.RequestSDO(joints[static_cast<size_t>(i)].canId, 0x1003, 0);
}

void HardwareProtocolCANopen::RequestErrorsErrorRegister() {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) sdo.RequestSDO(joints[static_cast<size_t>(i)].canId, 0x1001, 0);
}

void HardwareProtocolCANopen::ReadVoltagePower() {
    const int nonDIO = moduleTotal - dioModuleCount;
    if (!usePDOs) {
        for (int i = 0; i < nonDIO; ++i) sdo.RequestSDO(joints[static_cast<size_t>(i)].canId, 0x4014, 1);
    }
    double sum = 0.0;
    int n = 0;
    for (int i = 0; i < nonDIO; ++i) {
        const float v = co[static_cast<size_t>(i)].supplyVoltage.load();
        if (v > 0.1f) {
            sum += v;
            ++n;
        }
    }
    supplyVoltage.store(n > 0 ? static_cast<int>(sum / n * 1000.0) : 0);
}

// --- State walk ---

void HardwareProtocolCANopen::SendControlWord(int record, std::uint16_t controlword) {
    sdo.SendSDO(joints[static_cast<size_t>(record)].canId, 0x6040, 0, controlword);
    co[static_cast<size_t>(record)].lastControlword = controlword;
}

bool HardwareProtocolCANopen::SetControlWord(int record, ControlWordStatus target) {
    if (!ValidRecord(record)) return false;
    LogSingleton* log = Log();
    const int node = joints[static_cast<size_t>(record)].canId;
    ControlWordStatus current = RecordStatus(record);
    if (current == target) {
        log->addFormat("CANopen: Joint %d: Ignoring requested state change from %s to %s", node,
                       ControlWordStatusToString(current), ControlWordStatusToString(target));
        return true;
    }
    log->addFormat("CANopen: Joint %d: Requested state change from %s to %s", node, ControlWordStatusToString(current),
                   ControlWordStatusToString(target));
    if (target == ControlWordQuickStopActive && current != ControlWordOperationEnabled) {
        log->addFormat("CANopen: Requested invalid state change from %s to %s", ControlWordStatusToString(current),
                       ControlWordStatusToString(target));
    }
    bool ok = true;
    // Every walk ends within four steps; the bound only guards against a cycle.
    for (int steps = 0; current != target && ok && steps < 8; ++steps) {
        ControlWordStatus next = target;
        switch (current) {
            case ControlWordFault: next = ControlWordSwitchOnDisabled; break;
            case ControlWordQuickStopActive: next = ControlWordOperationEnabled; break;
            case ControlWordSwitchOnDisabled:
                next = (target == ControlWordSwitchedOn || target == ControlWordOperationEnabled)
                           ? ControlWordReadyToSwitchOn
                           : target;
                break;
            case ControlWordReadyToSwitchOn:
                next = target == ControlWordOperationEnabled ? ControlWordSwitchedOn : target;
                break;
            default: next = target; break;
        }
        ok = SetControlWordApplyState(record, current, next);
        if (ok) current = next;
        wait(50);
    }
    RequestStatusWord(record);
    return ok;
}

bool HardwareProtocolCANopen::SetControlWordApplyState(int record, ControlWordStatus from, ControlWordStatus to) {
    LogSingleton* log = Log();
    const int node = joints[static_cast<size_t>(record)].canId;
    CANopenRecordData& c = co[static_cast<size_t>(record)];
    log->addFormat("CANopen: Joint %d: Changing state from %s to %s", node, ControlWordStatusToString(from),
                   ControlWordStatusToString(to));
    if (to == ControlWordSwitchOnDisabled && from == ControlWordFault) {
        log->addFormat("CANopen: Joint %d: Fault reset from status word 0x%02X", node, c.statusword.load());
        SendControlWord(record, 0x00);
        wait(50);
        SendControlWord(record, 0x80);
        wait(50);
        return true;
    }
    if (to == ControlWordSwitchOnDisabled) {
        SendControlWord(record, 0x00);
        return true;
    }
    if (to == ControlWordReadyToSwitchOn &&
        (from == ControlWordSwitchOnDisabled || from == ControlWordSwitchedOn || from == ControlWordOperationEnabled)) {
        SendControlWord(record, 0x06);
        return true;
    }
    if (to == ControlWordSwitchedOn && (from == ControlWordReadyToSwitchOn || from == ControlWordOperationEnabled)) {
        const bool disableFirst = !IsFirmware1650(record) && from == ControlWordOperationEnabled &&
                                  c.requestedProfile.load() == CANopenProfileIPO;
        SendControlWord(record, disableFirst ? 0x00 : 0x07);
        return true;
    }
    if (to == ControlWordOperationEnabled && from == ControlWordSwitchedOn) {
        SendControlWord(record, 0x0F);
        return true;
    }
    if (to == ControlWordOperationEnabled && from == ControlWordQuickStopActive) {
        SendControlWord(record, 0x0B);
        log->addFormat("CANopen: Joint %d: Quick stop reset via operation_enabled from status word 0x%02X", node,
                       c.statusword.load());
        wait(100);
        SendControlWord(record, 0x0F);
        return true;
    }
    if (from == ControlWordOperationEnabled) {
        SendControlWord(record, 0x02);
        return true;
    }
    log->add("CANopen: tried invalid state change from {0} to {1}");
    return false;
}

// --- Commands ---

void HardwareProtocolCANopen::EnableMotors(bool enable) {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) {
        if (joints[static_cast<size_t>(i)].canId == 0) continue;
        ControlWordStatus target = ControlWordOperationEnabled;
        if (!enable && IsFirmware1650(i)) target = ControlWordSwitchedOn;
        SetControlWord(i, target);
    }
}

void HardwareProtocolCANopen::DisableDrives() {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) {
        if (joints[static_cast<size_t>(i)].canId == 0 || joints[static_cast<size_t>(i)].moduleType != 0) continue;
        SendControlWord(i, 0x06);
    }
}

bool HardwareProtocolCANopen::GetMotorEnabled() {
    if (robotJointCount == 0) return false;
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) {
        const jointData& record = joints[static_cast<size_t>(i)];
        if (record.enabled.load() != 1 || record.notAnswering.load() != 0) return false;
    }
    return true;
}

void HardwareProtocolCANopen::HaltVelocityModeJoints() {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) {
        const int node = joints[static_cast<size_t>(i)].canId;
        const std::int32_t requested = co[static_cast<size_t>(i)].requestedProfile.load();
        if (node == 0 || (requested != CANopenProfileVelocity && requested != CANopenProfileCSV)) continue;
        SendControlWord(i, static_cast<std::uint16_t>(co[static_cast<size_t>(i)].lastControlword.load() | 0x100));
        sdo.SendSDO(node, 0x60FF, 0, 0u);
    }
}

void HardwareProtocolCANopen::ResetError() {
    // A drive not answering stays so until its answers are back.
    for (int i = 0; i < moduleTotal - dioModuleCount; ++i) {
        ReleaseAnswering(i, AnswerAge(i));
        disableDueUs[static_cast<size_t>(i)].store(0);
    }
    HaltVelocityModeJoints();
    wait(10);
    RequestActualProfiles();
    wait(10);
    RequestPosition();
    wait(10);
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) {
        jointData& record = joints[static_cast<size_t>(i)];
        record.setPoint = record.measured.load();
        const int counts = static_cast<int>(static_cast<double>(record.setPoint.load()) * record.GearScale +
                                            record.GearZero);
        const std::int32_t requested = co[static_cast<size_t>(i)].requestedProfile.load();
        if (requested == CANopenProfileIPO) {
            sdo.SendSDO(record.canId, 0x60C4, 6, 0u);
            wait(5);
            sdo.SendSDO(record.canId, 0x60C4, 6, 1u);
            sdo.SendSDO(record.canId, 0x60C1, 1, static_cast<unsigned>(counts));
        } else if (requested == CANopenProfileCSP) {
            sdo.SendSDO(record.canId, 0x607A, 0, static_cast<unsigned>(counts));
        }
    }
    InitProfileMotors(true);
}

void HardwareProtocolCANopen::ReferenceSingleJoint(int joint) {
    if (joint < 0 || joint >= robotJointCount + externalAxisCount || !IsAxisModule(joint)) return;
    jointData& record = joints[static_cast<size_t>(joint)];
    record.referenced = 0;
    record.referencing = 1;
    record.referencingFailed = 0;
    disableDueUs[static_cast<size_t>(joint)].store(0);
    Log()->addFormat("CANopen: Starting to reference joint %d", record.canId);
    DisableCommunication();
    SetControlWord(joint, ControlWordSwitchedOn);
    wait(5);
    co[static_cast<size_t>(joint)].referencingState = 3;
    InitJointForHoming(joint);
    SetControlWord(joint, ControlWordOperationEnabled);
    wait(500);
    StartReferencingWatch(joint);  // the time limit runs from the start of the search
    SendControlWord(joint, 0x1F);
    EnableCommunication();
}

void HardwareProtocolCANopen::SetToZeroPos(int joint) {
    if (joint < 0 || joint >= robotJointCount + externalAxisCount || !ValidRecord(joint)) return;
    jointData& record = joints[static_cast<size_t>(joint)];
    record.referenced = 1;
    Log()->add("CANopen: Setting joint to zero ", joint);
    DisableCommunication();
    SetControlWord(joint, ControlWordSwitchedOn);
    wait(5);
    InitJointForHomingSetToZero(joint);
    SendControlWord(joint, 0x17);
    co[static_cast<size_t>(joint)].referencingState = 3;
    record.referenced = 1;
    bool all = true;
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) all = all && joints[static_cast<size_t>(i)].referenced.load() != 0;
    referenced.store(all);
    EnableCommunication();
}

void HardwareProtocolCANopen::ReferenceReset() {
    for (int i = 0; i < 9; ++i) {
        co[static_cast<size_t>(i)].referencingState = 2;
        joints[static_cast<size_t>(i)].referenced = 0;
        joints[static_cast<size_t>(i)].referencing = 0;
        joints[static_cast<size_t>(i)].referencingFailed = 0;
    }
    referenced.store(false);
}

void HardwareProtocolCANopen::StopReferencing() {
    const std::int64_t now = MonotonicMicros();
    for (int i = 0; i < moduleTotal - dioModuleCount; ++i) {
        const jointData& record = joints[static_cast<size_t>(i)];
        if (record.canId != 0 && record.referencing.load() != 0) StopHomingDrive(i, "e-stop open", now);
    }
}

void HardwareProtocolCANopen::StopHomingDrive(int i, const char* reason, std::int64_t nowUs) {
    CANopenRecordData& c = co[static_cast<size_t>(i)];
    SendControlWord(i, static_cast<std::uint16_t>(c.lastControlword.load() | kHaltBit));
    disableDueUs[static_cast<size_t>(i)].store(nowUs + kHaltSettleUs);
    c.referencingState = 7;
    FailReferencing("CANopen", i, reason);
}

void HardwareProtocolCANopen::WatchReferencing(std::int64_t nowUs) {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) {
        const std::int64_t due = disableDueUs[static_cast<size_t>(i)].load();
        if (due != 0 && nowUs >= due) {
            // Disabled as a fault leaves it: switch on disabled, enabled again by a reset.
            disableDueUs[static_cast<size_t>(i)].store(0);
            SendControlWord(i, 0x00);
        }
        const jointData& record = joints[static_cast<size_t>(i)];
        if (record.referencing.load() == 0 || record.referenced.load() != 0) continue;
        if (co[static_cast<size_t>(i)].referencingState.load() == 7) {
            StopHomingDrive(i, "homing error", nowUs);
        } else if (ReferencingOverdue(i, nowUs)) {
            char reason[48];
            std::snprintf(reason, sizeof reason, "homing not finished within %d s", GetReferencingTimeoutMs() / 1000);
            StopHomingDrive(i, reason, nowUs);
        }
    }
}

void HardwareProtocolCANopen::CheckHomingFinished() {
    bool all = true;
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) {
        jointData& record = joints[static_cast<size_t>(i)];
        const bool isReferenced = record.referenced.load() != 0;
        if (record.referencing.load() != 0 && isReferenced) record.referencing = 0;
        all = all && isReferenced;
    }
    referenced.store(all);
}

// --- Cyclic exchange ---

std::int32_t HardwareProtocolCANopen::AnswerAge(int i) {
    int dlc = 0;
    unsigned char data[8];
    const int base = usePDOs ? 0x180 : HardwareProtocolCANopenSDO::kAnswerBase;
    return ReadLastMessage(base + joints[static_cast<size_t>(i)].canId, &dlc, data);
}

void HardwareProtocolCANopen::SetJointsRecord(int i, const DataTypes::RobotState& target) {
    jointData& record = joints[static_cast<size_t>(i)];
    CANopenRecordData& c = co[static_cast<size_t>(i)];
    const int node = record.canId;
    const double counts = static_cast<double>(record.setPoint.load()) * record.GearScale + record.GearZero;
    const std::int32_t requested = c.requestedProfile.load();
    switch (requested) {
        case CANopenProfilePosition:
            // Profile position has no receive PDO: its set-points always go by SDO.
            SendControlWord(i, static_cast<std::uint16_t>(c.lastControlword.load() & ~0x110u));
            sdo.SendSDO(node, 0x607A, 0, static_cast<unsigned>(static_cast<int>(counts)));
            wait(1);
            SendControlWord(i, static_cast<std::uint16_t>(c.lastControlword.load() | 0x10u));
            break;
        case CANopenProfileIPO: {
            const bool active =
                (c.statusword.load() & 0x1000) != 0 && (c.lastControlword.load() & 0x110) == 0x10;
            if (!active) SendControlWord(i, static_cast<std::uint16_t>(c.lastControlword.load() & ~0x110u));
            if (usePDOs) {
                pdo.SendPosPDO(record, c, counts);
            } else {
                sdo.SendSDO(node, 0x60C1, 1, static_cast<unsigned>(static_cast<int>(counts)));
            }
            if (!active) {
                wait(5);
                SendControlWord(i, static_cast<std::uint16_t>(c.lastControlword.load() | 0x10u));
            }
            break;
        }
        case CANopenProfileCSP:
            if (usePDOs) {
                pdo.SendPosPDO(record, c, counts);
            } else {
                sdo.SendSDO(node, 0x607A, 0, static_cast<unsigned>(static_cast<int>(counts)));
            }
            break;
        case CANopenProfileVelocity:
        case CANopenProfileCSV: {
            const int slot = SetPointSlot(i);
            const float raw = slot >= 0 ? target.jointVel[slot] : 0.0f;
            const float limit = std::fabs(record.maxVelocity);
            const float v = std::min(std::max(raw, -limit), limit) * target.override / 100.0f;
            record.velocity = v;
            if (usePDOs) {
                pdo.SendVelPDO(record, c, v);
            } else {
                sdo.SendSDO(node, 0x60FF, 0, static_cast<unsigned>(static_cast<int>(v)));
            }
            break;
        }
        default:
            return;
    }
    if (gap > 0.0f) wait(gap);
}

void HardwareProtocolCANopen::SetJoints(const DataTypes::RobotState& target) {
    if (!GetConnectionStatus() || !communicationActive.load()) return;
    const int nonDIO = moduleTotal - dioModuleCount;
    const std::int64_t now = MonotonicMicroSec();
    BeginAnswerWatch(now);
    for (int i = 0; i < moduleTotal; ++i) {
        jointData& record = joints[static_cast<size_t>(i)];
        const std::int32_t age = AnswerAge(i);
        if (usePDOs && age >= kTPDOMaxAge) {
            record.errorCode = canInterface.IsConnected() ? kModuleDead : kBusDead;
            record.enabled = 0;
        }
        if (i < nonDIO && record.canId != 0 && WatchAnswer(i, age, now)) LogNotAnswering("CANopen", i);
    }
    if (now / 1000 - lastFrameTimeUs.load() / 1000 > kSilenceMs) silenceCount.fetch_add(1);
    if (syncGap > 0.0f) wait(syncGap);
    if (!usePDOs) {
        const int polled = robotJointCount + externalAxisCount;
        if (polled > 0) {
            if (statusPollIndex >= polled) statusPollIndex = 0;
            RequestStatusWord(statusPollIndex);
            statusPollIndex = (statusPollIndex + 1) % polled;
        }
    }
    CheckHomingFinished();
    WatchReferencing(now);
    bool ready = true;
    for (int i = 0; i < nonDIO; ++i) {
        jointData& record = joints[static_cast<size_t>(i)];
        if (record.canId == 0) continue;
        const int slot = SetPointSlot(i);
        if (slot >= 0) record.setPoint = target.jointSet[slot];
        const std::int32_t requested = co[static_cast<size_t>(i)].requestedProfile.load();
        const JointMode mode = record.jointMode.load();
        if (record.enabled.load() != 1 || record.notAnswering.load() != 0) ready = false;
        if (mode == JointModePosition && requested != profile) ready = false;
        if (mode == JointModeVelocity && requested != CANopenProfileVelocity && requested != CANopenProfileCSV) {
            ready = false;
        }
    }
    if (!ready) {
        HaltVelocityModeJoints();
    } else {
        for (int i = 0; i < nonDIO; ++i) {
            if (joints[static_cast<size_t>(i)].canId != 0) SetJointsRecord(i, target);
        }
    }
    for (int i = 0; i < moduleTotal; ++i) {
        const jointData& record = joints[static_cast<size_t>(i)];
        if (record.canId == 0 || record.moduleType != 1) continue;
        const CANopenRecordData& c = co[static_cast<size_t>(i)];
        if (usePDOs) {
            pdo.SendDIOPDO(record, c);
        } else {
            const int outBytes = std::min(std::max(c.outputBytes.load(), 0), 8);
            const std::uint64_t outputs = c.digitalOutputs.load();
            for (int u = 0; u < outBytes; ++u) {
                sdo.SendSDO(record.canId, 0x6200, u + 1, static_cast<unsigned>((outputs >> (8 * u)) & 0xFF));
            }
            const int inBytes = std::min(std::max(c.inputBytes.load(), 0), 8);
            for (int k = 0; k < inBytes; ++k) sdo.RequestSDO(record.canId, 0x6000, k + 1);
        }
        if (gap > 0.0f) wait(gap);
    }
    ++cycleCounter;
    if (!usePDOs) {
        if (cycleCounter == 20) RequestPosition();
        if (cycleCounter == 40) RequestTemperatures();
        if (cycleCounter == 60) RequestCurrents();
        if (cycleCounter == 100) RequestErrorsErrorRegister();
    }
    if (cycleCounter == 80) RequestErrorsErrorCount();
    if (cycleCounter > kSlowPollPeriod) {
        cycleCounter = 0;
        ReadVoltagePower();
    }
}

void HardwareProtocolCANopen::GetJoints(DataTypes::RobotState* state) {
    if (state == nullptr) return;
    for (int i = 0; i < robotJointCount && i < kMaxRobotJoints; ++i) {
        state->jointAct[i] = joints[static_cast<size_t>(i)].measured.load();
    }
    const int firstExternal = FirstRecord(ModuleRole::ExternalAxis);
    for (int e = 0; e < externalAxisCount && e < kMaxExternalAxes; ++e) {
        const jointData& record = joints[static_cast<size_t>(firstExternal + e)];
        state->jointAct[6 + e] = record.jointMode.load() == JointModeVelocity ? 0.0f : record.measured.load();
    }
    const int firstGripper = FirstRecord(ModuleRole::Gripper);
    for (int g = 0; g < gripperCount && g < kMaxGrippers; ++g) {
        state->gripperHw[g] = joints[static_cast<size_t>(firstGripper + g)].measured.load();
    }
    const int firstPlatform = FirstRecord(ModuleRole::Platform);
    for (int p = 0; p < platformJointCount && p < kMaxPlatformJoints; ++p) {
        state->platformAct[p] = joints[static_cast<size_t>(firstPlatform + p)].measured.load();
    }
}

void HardwareProtocolCANopen::SetRailIO(int module, int bit, bool value) {
    if (module < 0 || module >= dioModuleCount || bit < 0 || bit >= 64) return;
    CANopenRecordData& c = co[static_cast<size_t>(moduleTotal - dioModuleCount + module)];
    std::uint64_t outputs = c.digitalOutputs.load();
    const std::uint64_t mask = std::uint64_t{1} << bit;
    outputs = value ? (outputs | mask) : (outputs & ~mask);
    c.digitalOutputs = outputs;
}

void HardwareProtocolCANopen::GetDigitalIORail(bool* inputs) {
    if (inputs == nullptr) return;
    const int first = moduleTotal - dioModuleCount;
    for (int m = 0; m < dioModuleCount && m < kMaxDIOModules; ++m) {
        const jointData& r = joints[static_cast<size_t>(first + m)];
        if (r.inputsRead.load() == 0) continue;  // nothing reported yet: the inputs stay as they are
        const std::uint64_t mask = r.digitalInputs.load();
        for (int k = 0; k < 10; ++k) inputs[20 + 10 * m + k] = ((mask >> k) & 1u) != 0;
    }
}

bool HardwareProtocolCANopen::IsDigitalInputRead(int n) {
    // Inputs 20..49 are the I/O modules' ten each, from their input PDO (all bytes at once)
    // or, without PDOs, byte by byte from their SDO answers.
    if (n < 20 || n >= 20 + 10 * kMaxDIOModules) return false;
    const int m = (n - 20) / 10;
    if (m >= dioModuleCount) return false;
    const int byte = ((n - 20) % 10) / 8;
    return ((joints[static_cast<size_t>(moduleTotal - dioModuleCount + m)].inputsRead.load() >> byte) & 1u) != 0;
}

// --- Status getters ---

void HardwareProtocolCANopen::GetCurrentValues(int* perJoint) {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) perJoint[i] = static_cast<int>(joints[static_cast<size_t>(i)].current.load());
}

void HardwareProtocolCANopen::GetTempValues(float* perJoint) {
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) perJoint[i] = joints[static_cast<size_t>(i)].temperature.load();
}

void HardwareProtocolCANopen::GetReferenceStatus(bool* perJoint, int* all) {
    const int n = std::min(robotJointCount + externalAxisCount, moduleTotal);
    bool every = true;
    for (int i = 0; i < n; ++i) {
        perJoint[i] = joints[static_cast<size_t>(i)].referenced.load() != 0;
        every = every && perJoint[i];
    }
    if (all != nullptr) *all = every ? 1 : 0;
}

void HardwareProtocolCANopen::GetError(std::string* perJoint) {
    for (int i = 0; i < moduleTotal; ++i) {
        perJoint[i] = CANopenStateText(joints[static_cast<size_t>(i)].errorTextCode.load());
    }
}

void HardwareProtocolCANopen::GetErrorHexCode(int* perJoint) {
    for (int i = 0; i < moduleTotal; ++i) {
        if (joints[static_cast<size_t>(i)].moduleType == 1) {
            perJoint[i] = joints[static_cast<size_t>(i)].errorCode.load();
            continue;
        }
        if (joints[static_cast<size_t>(i)].notAnswering.load() != 0) {
            perJoint[i] = kModuleDead;
            continue;
        }
        const std::int32_t requested = co[static_cast<size_t>(i)].requestedProfile.load();
        perJoint[i] = (requested == 0 || requested == CANopenProfileHoming) ? 4 : TranslateJointErrorCode(i);
    }
}

int HardwareProtocolCANopen::TranslateJointErrorCode(int index) {
    if (!GetConnectionStatus()) return 256;
    if (!ValidRecord(index)) return 0;
    const CANopenRecordData& c = co[static_cast<size_t>(index)];
    const unsigned sw = c.statusword.load();
    if (sw == 0) return 512;
    int code = 0;
    if ((sw & 0x4F) == 0) {
        code = 132;
    } else if ((sw & 0x4F) == 0x40) {
        code = 4;
    } else if ((sw & 0x6F) == 0x21 || (sw & 0x6F) == 0x23) {
        code = 4;
    } else if ((sw & 0x6F) == 0x27) {
        code = 0;
    } else if ((sw & 0x6F) == 0x07) {
        code = 6;
    } else if ((sw & 0x4F) == 0x0F || (sw & 0x4F) == 0x08) {
        code = 132;
    }
    const std::int32_t requested = c.requestedProfile.load();
    if ((requested == CANopenProfilePosition || requested == CANopenProfileCSP) && (sw & 0x2000) != 0) code |= 16;
    const unsigned reg = c.errorRegister.load();
    if (reg & 0x01) code |= 128;
    if (reg & 0x02) code |= 64;
    if (reg & 0x04) code |= 128;
    if (reg & 0x08) code |= 1;
    if (reg & 0x10) code |= 8;
    if (reg & 0x20) code |= 128;
    if (reg & 0x80) code |= 128;
    return code;
}

void HardwareProtocolCANopen::GetError(std::string& text, std::string& shortText) {
    if (!canInterface.IsConnected()) {
        text = "not connected";
        shortText = "NotConnected";
        return;
    }
    if (moduleTotal == 0) {
        text = "not inited";
        shortText = "NotInited";
        return;
    }
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) {
        if (joints[static_cast<size_t>(i)].notAnswering.load() == 0) continue;
        char line[48];
        std::snprintf(line, sizeof line, "joint %d not answering", i);
        text.assign(line);
        shortText.assign("DEAD");
        return;
    }
    int worst = -1;
    ControlWordStatus worstStatus = ControlWordOperationEnabled;
    for (int i = 0; i < nonDIO; ++i) {
        const ControlWordStatus s = RecordStatus(i);
        if (worst < 0 || s <= worstStatus) {
            worst = i;
            worstStatus = s;
        }
    }
    if (worstStatus == ControlWordOperationEnabled) {
        for (int i = 0; i < nonDIO; ++i) {
            const std::int32_t requested = co[static_cast<size_t>(i)].requestedProfile.load();
            if (requested == CANopenProfileHoming || requested == CANopenProfileHomingSetToZero) {
                text = "homing";
                shortText = "Homing";
                return;
            }
        }
    }
    if (worst < 0 || worstStatus != ControlWordFault) {
        for (int i = nonDIO; i < moduleTotal; ++i) {
            const std::int32_t error = joints[static_cast<size_t>(i)].errorCode.load();
            if (error & kBusDead) {
                text = "bus dead";
                shortText = "BUS";
                return;
            }
            if (error & kModuleDead) {
                text = "dio module dead";
                shortText = "DEAD";
                return;
            }
        }
    }
    if (worst < 0) {
        // Only I/O modules and none of them reports an error.
        text = "operation_enabled";
        shortText = "operation_enabled";
        return;
    }
    const std::int32_t code = joints[static_cast<size_t>(worst)].errorTextCode.load();
    if (worstStatus == ControlWordFault && code == kErrorTextNotAvailable) {
        text = "module dead";
        shortText = "DEAD";
        return;
    }
    text = CANopenStateText(code);
    shortText = text;
}

}  // namespace Hardware
