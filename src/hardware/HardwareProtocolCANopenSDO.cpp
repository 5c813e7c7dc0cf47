#include "hardware/HardwareProtocolCANopenSDO.h"

#include "core/LogSingleton.h"

#include <cmath>
#include <cstdio>

namespace Hardware {

namespace {

std::uint16_t U16(const unsigned char* d) {
    return static_cast<std::uint16_t>(d[0] | (d[1] << 8));
}

std::uint32_t U32(const unsigned char* d) {
    return static_cast<std::uint32_t>(d[0]) | (static_cast<std::uint32_t>(d[1]) << 8) |
           (static_cast<std::uint32_t>(d[2]) << 16) | (static_cast<std::uint32_t>(d[3]) << 24);
}

std::string Hex(unsigned long long value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%llX", value);
    return buffer;
}

bool Printable(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

const char* AbortText(std::uint32_t code) {
    switch (code) {
        case 0x05030000: return "toggle bit not changed (missing message)";
        case 0x05040001: return "command specifier unknown";
        case 0x06010000: return "unsupported access";
        case 0x06010002: return "read only entry";
        case 0x06020000: return "object not existing";
        case 0x06040041: return "object can not be pdo mapped";
        case 0x06040042: return "mapped pdo exceed pdo";
        case 0x06070012: return "parameter length too long";
        case 0x06070013: return "parameter length too short";
        case 0x06090011: return "subindex not existing";
        case 0x06090031: return "value too great";
        case 0x06090032: return "value too small";
        case 0x08000000: return "general error";
        case 0x08000022: return "data cannot be read ot stored in this state (could not configure PDO)";
        default: return nullptr;
    }
}

const char* const kManufacturerErrors[] = {
    "Watchdog-Reset",
    "Input voltage too high",
    "Output current too high",
    "Input voltage too low",
    "Error at field bus",
    "Motor turns in wrong direction",
    "Node guarding request from NMT master delayed",
    "Encoder error: electrical fault or defective hardware",
    "Encoder error: could not find index during auto-setup",
    "Error in AB spur",
    "Exceeded positive end switch and tolerance zone",
    "Exceeded negative end switch and tolerance zone",
    "Temperature limit exceeded",
    "Fault due to following error",
    "Nonvolatile memory full, restart required",
    "Motor blocked",
    "Nonvolatile memory damaged, restart required",
    "Slave needs too long to send PDO message",
    "Hall sensor faulty",
    "Could not parse PDO due to invalid length",
    "PDO length exceeded",
    "Nonvolatile memory full, restart required",
    "Nominal current needs to be set (0x203B:01)",
    "Encoder resolution, pole pair count and other values are incorrect",
    "Motor current too high, change PI parameter",
    "Generic internal software error",
    "Current at digital output too high",
    "Unexpected Sync length",
};

}  // namespace

const char* CANopenStateText(std::int32_t code) {
    switch (code) {
        case CANopenStateStartUp: return "start_up";
        case CANopenStateNotReadyToSwitchOn: return "not_ready_to_switch_on";
        case CANopenStateSwitchOnDisabled: return "switch_on_disabled";
        case CANopenStateReadyToSwitchOn: return "ready_to_switch_on";
        case CANopenStateSwitchedOn: return "switched_on";
        case CANopenStateOperationEnabled: return "operation_enabled";
        case CANopenStateQuickStopActive: return "quick_stop_active";
        case CANopenStateFaultReactionActive: return "fault_reaction_active";
        case CANopenStateFault: return "fault";
        default: return "na";
    }
}

std::int32_t CANopenProfileOfMode(std::int32_t mode) {
    switch (mode) {
        case 1: return CANopenProfilePosition;
        case 3: return CANopenProfileVelocity;
        case 6: return CANopenProfileHoming;
        case 7: return CANopenProfileIPO;
        case 8: return CANopenProfileCSP;
        case 9: return CANopenProfileCSV;
        default: return 0;
    }
}

std::string CANopenText::Str() const {
    std::string out;
    for (const auto& c : chars) {
        const char v = c.load();
        if (v == '\0') break;
        out.push_back(v);
    }
    return out;
}

HardwareProtocolCANopenSDO::HardwareProtocolCANopenSDO(CANInterfaceSocketCAN* can, bool debug)
    : canInterface(can), debugOutput(debug) {
    table.reserve(150);
    BuildTable();
}

void HardwareProtocolCANopenSDO::Add(int index, int subindex, const std::string& name, sdoDataType type,
                                     sdoAccessType access, sdoObjectType kind) {
    SDOparameter row;
    row.index = index;
    row.subindex = subindex;
    row.name = name;
    row.objectType = kind;
    row.dataType = type;
    row.access = access;
    table.push_back(std::move(row));
}

void HardwareProtocolCANopenSDO::BuildTable() {
    const sdoAccessType ro = sdoAccessReadOnly;
    const sdoAccessType rw = sdoAccessReadWrite;
    const sdoDataType u8 = sdoData8Bit;
    const sdoDataType u16 = sdoData16Bit;
    const sdoDataType u32 = sdoData32Bit;

    Add(0x1001, 0, "Error Register", u8, ro);
    Add(0x1003, 0, "Pre-defined Error Field - Number of Errors", u8, rw, sdoObjectCount);
    for (int k = 1; k <= 8; ++k) Add(0x1003, k, "Pre-defined Error Field", u32, ro);
    for (int k = 0; k <= 32; ++k) Add(0x1008, k, "Manufacturer Device Name", u8, ro);
    for (int k = 0; k <= 32; ++k) Add(0x100A, k, "Manufacturer Software Version", u8, ro);
    Add(0x2039, 1, "Motor Currents - I_d", u32, ro);
    Add(0x2039, 2, "Motor Currents - I_q", u32, ro);
    Add(0x2039, 3, "Motor Currents - I_a", u32, ro);
    Add(0x2039, 4, "Motor Currents - I_b", u32, ro);
    Add(0x2052, 0, "Encoder Resolution", u32, rw);
    Add(0x3240, 1, "Digital inputs control - Special Function Enable", u32, rw);
    Add(0x3240, 2, "Digital inputs control - Function Inverted", u32, rw);
    Add(0x3240, 6, "Digital inputs control - Input Range Select", u32, rw);
    Add(0x3243, 1, "Digital Input Homing Capture", u32, rw);
    Add(0x3701, 0, "Limit Switch Error Option Code", u16, rw);
    Add(0x4014, 1, "Voltage UB Power", u32, ro);
    Add(0x4014, 2, "Voltage UB Logic", u32, ro);
    Add(0x4014, 3, "Temperature PCB", u32, ro);
    Add(0x6000, 0, "Read Digital Input 8 Bit - Number of indexes supported", u8, ro, sdoObjectCount);
    for (int k = 1; k <= 8; ++k) Add(0x6000, k, "Read Digital Input 8 Bit", u8, ro);
    Add(0x6200, 0, "Write Digital Output 8 Bit - Number of indexes supported", u8, ro, sdoObjectCount);
    for (int k = 1; k <= 8; ++k) Add(0x6200, k, "Write Digital Output 8 Bit", u8, rw);
    Add(0x6040, 0, "Controlword", u16, rw);
    Add(0x6041, 0, "Statusword", u16, ro);
    Add(0x6060, 0, "Mode of Operation", u8, rw);
    Add(0x6061, 0, "Modes of operation display", u8, ro);
    Add(0x6062, 0, "Position Demand Value", u32, ro);
    Add(0x6063, 0, "Position Actual Internal Value", u32, ro);
    Add(0x6064, 0, "Position Actual Value", u32, ro);
    Add(0x6065, 0, "Following error window", u32, rw);
    Add(0x6066, 0, "Following error time out", u16, rw);
    Add(0x607A, 0, "Target Position", u32, rw);
    Add(0x607B, 1, "Position Range Limit Min", u32, rw);
    Add(0x607B, 2, "Position Range Limit Max", u32, rw);
    Add(0x607D, 1, "Min Position Limit", u32, rw);
    Add(0x607D, 2, "Max Position Limit", u32, rw);
    Add(0x6081, 0, "Profile Velocity", u32, rw);
    Add(0x6083, 0, "Profile Acceleration", u32, rw);
    Add(0x6084, 0, "Profile Deceleration", u32, rw);
    Add(0x607C, 0, "Home Offset", u32, rw);
    Add(0x6098, 0, "Homing Method", u8, rw);
    Add(0x6099, 1, "Speed during Search for Switch", u32, rw);
    Add(0x6099, 2, "Speed during Search for Switch", u32, rw);
    Add(0x60A9, 0, "SI Unit Velocity", u32, rw);
    Add(0x60C1, 1, "1st set-point", u32, rw);
    Add(0x60C2, 1, "Interpolation time unit", u8, rw);
    Add(0x60C2, 2, "Interpolation time index", u8, rw);
    Add(0x60C4, 6, "Buffer clear", u8, rw);
    Add(0x60F2, 0, "Positioning Option Code", u16, rw);
    Add(0x60FF, 0, "Target Velocity", u32, rw);

    struct Mapping {
        int index;
        const char* name;
    };
    const Mapping mappings[] = {
        {0x1600, "Receive PDO 1 Mapping"},  {0x1601, "Receive PDO 2 Mapping"},
        {0x1A00, "Transmit PDO 1 Mapping"}, {0x1A01, "Transmit PDO 2 Mapping"},
        {0x1A02, "Transmit PDO 3 Mapping"}, {0x1A03, "Transmit PDO 4 Mapping"},
    };
    const char* const ordinals[] = {"1st", "2nd", "3rd", "4th"};
    for (const Mapping& m : mappings) {
        const std::string name = m.name;
        Add(m.index, 0, name + " - Nr of objects", u8, rw);
        for (int k = 1; k <= 4; ++k) {
            Add(m.index, k, name + " - " + ordinals[k - 1] + " Object", u32, rw);
        }
    }
    for (int p = 0; p < 2; ++p) {
        const std::string name = "Receive PDO " + std::to_string(p + 1) + " Communication Parameter";
        Add(0x1400 + p, 1, name + " - COD-ID", u32, rw);
        Add(0x1400 + p, 2, name + " - Transmission Type", u8, rw);
    }
    for (int p = 0; p < 4; ++p) {
        const std::string name = "Transmit PDO " + std::to_string(p + 1) + " Communication Parameter";
        Add(0x1800 + p, 1, name + " - COD-ID", u32, rw);
        Add(0x1800 + p, 2, name + " - Transmission Type", u8, rw);
        Add(0x1800 + p, 3, name + " - Inhibit Time", u16, rw);
    }
    Add(0x1017, 0, "Producer Heartbeat Time", u16, rw);
    Add(0x3202, 0, "Motor Drive Submode Select", u32, rw);
    Add(0x320A, 3, "Motor Drive Sensor Display Open Loop - Velocity", u32, rw);
    Add(0x320A, 4, "Motor Drive Sensor Display Open Loop - Position", u32, rw);
    Add(0x3212, 1, "Motor Drive Flags - Legacy Power Mode", u8, rw);
}

const SDOparameter* HardwareProtocolCANopenSDO::Find(int index, int subindex) const {
    for (const SDOparameter& row : table) {
        if (row.index == index && row.subindex == subindex) return &row;
    }
    return nullptr;
}

bool HardwareProtocolCANopenSDO::ValidNode(int node, const char* what) const {
    if (node >= kMinNode && node <= kMaxNode) return true;
    LogSingleton::instance()->addFormat("CANopen: %s refused, node ID %d out of range (1..127)", what, node);
    return false;
}

void HardwareProtocolCANopenSDO::RequestSDO(int node, int index, int subindex) {
    if (Find(index, subindex) == nullptr) {
        LogSingleton::instance()->addFormat("RequestSDO Error: index 0x%02X with subindex %d not defined!", index,
                                            subindex);
        return;
    }
    if (!ValidNode(node, "SDO upload")) return;
    const unsigned char data[8] = {0x40,
                                   static_cast<unsigned char>(index & 0xFF),
                                   static_cast<unsigned char>((index >> 8) & 0xFF),
                                   static_cast<unsigned char>(subindex),
                                   0, 0, 0, 0};
    canInterface->WriteMessage(kRequestBase + node, 8, data);
}

void HardwareProtocolCANopenSDO::SendSDO(int node, int index, int subindex, unsigned value) {
    const SDOparameter* row = Find(index, subindex);
    if (row == nullptr) {
        LogSingleton::instance()->addFormat("ERROR - could not find SDO 0x%X, subindex %d in list!", index, subindex);
        return;
    }
    SendSDO(node, index, subindex, static_cast<int>(row->dataType) + 1, value);
}

void HardwareProtocolCANopenSDO::SendSDO(int node, int index, int subindex, int size, unsigned value) {
    static const unsigned char kCommands[5] = {0, 0x2F, 0x2B, 0x27, 0x23};
    if (size < 1 || size > 4) return;
    // Out-of-range numbers would be cut to their low bytes and write some other object.
    if (index < 0 || index > 0xFFFF || subindex < 0 || subindex > 0xFF) {
        LogSingleton::instance()->addFormat("CANopen: SDO download to object 0x%X, subindex %d refused (out of range)",
                                            static_cast<unsigned>(index), subindex);
        return;
    }
    if (!ValidNode(node, "SDO download")) return;
    unsigned char data[8] = {kCommands[size],
                             static_cast<unsigned char>(index & 0xFF),
                             static_cast<unsigned char>((index >> 8) & 0xFF),
                             static_cast<unsigned char>(subindex),
                             0, 0, 0, 0};
    for (int b = 0; b < size; ++b) data[4 + b] = static_cast<unsigned char>((value >> (8 * b)) & 0xFF);
    if (debugOutput) {
        LogSingleton::instance()->addFormat("Send SDO ID: 0x%02X Index: 0x%04X:%02X value: 0x%08X", node, index,
                                            subindex, value);
    }
    canInterface->WriteMessage(kRequestBase + node, 8, data);
}

void HardwareProtocolCANopenSDO::ParseSDOAnswer(jointData& record, CANopenRecordData& co, int node,
                                                const unsigned char* data, const timespec&) {
    const unsigned char command = data[0];
    if (command == 0x60) return;
    if (command == 0x80) {
        const std::string text = ParseSDOError(record, node, data);
        // Keyed by node, object and abort code.
        const std::uint64_t key = (static_cast<std::uint64_t>(node) << 56) |
                                  (static_cast<std::uint64_t>(U16(data + 1)) << 40) |
                                  (static_cast<std::uint64_t>(data[3]) << 32) | U32(data + 4);
        if (!text.empty() && sdoErrorLog.Admit(key)) LogSingleton::instance()->add("CANopen SDO ERROR: " + text);
        return;
    }
    const int index = U16(data + 1);
    const int subindex = data[3];
    if (index >= 0x6000 && index <= 0x9FFF) {
        if (record.moduleType != 0) {
            ParseSDOAnswerProfileIO(record, co, index, subindex, data);
        } else {
            ParseSDOAnswerProfileMotors(record, co, index, data);
        }
        return;
    }
    ParseSDOAnswerGeneral(record, co, node, index, subindex, data);
}

std::string HardwareProtocolCANopenSDO::ParseSDOError(jointData&, int node, const unsigned char* data) {
    const std::uint32_t code = U32(data + 4);
    const int index = U16(data + 1);
    const int subindex = data[3];
    if (index == 0x1008 || index == 0x100A) return std::string();
    const char* known = AbortText(code);
    std::string text = known != nullptr ? std::string(known) : "unknown error: " + Hex(code);
    text += " (object: 0x" + Hex(static_cast<unsigned>(index)) + ", subindex: " + std::to_string(subindex) +
            ", device ID: " + std::to_string(node) + ")";
    return text;
}

void HardwareProtocolCANopenSDO::ParseSDOAnswerProfileMotors(jointData& record, CANopenRecordData& co, int index,
                                                             const unsigned char* data) {
    LogSingleton* log = LogSingleton::instance();
    const unsigned char* value = data + 4;
    switch (index) {
        case 0x6040:
            co.lastControlword = U16(value);
            break;
        case 0x6041:
            ParseStatusWord(record, co, U16(value));
            break;
        case 0x6044:
            co.measuredVelocity = static_cast<float>(static_cast<std::int16_t>(U16(value)));
            break;
        case 0x6060:
            co.requestedProfile = CANopenProfileOfMode(static_cast<std::int8_t>(value[0]));
            break;
        case 0x6061: {
            const std::int32_t actual = CANopenProfileOfMode(static_cast<std::int8_t>(value[0]));
            co.actualProfile = actual;
            const std::int32_t requested = co.requestedProfile;
            if (actual != requested) {
                log->addFormat("CANopen: Actual profile %d of joint %d does not match target profile %d.", actual,
                               record.canId, requested);
            }
            break;
        }
        case 0x6064:
            // A zero scale would publish an infinite position; keep the last one instead.
            if (record.GearScale != 0.0f) {
                record.measured = static_cast<float>(
                    (static_cast<double>(static_cast<std::int32_t>(U32(value))) - record.GearZero) / record.GearScale);
            }
            break;
        case 0x6078:
            record.current = static_cast<float>(U16(value));
            break;
        case 0x607C:
            co.homeOffset = static_cast<std::int32_t>(U32(value));
            log->addFormat("CANopen: Got homing offset of joint with id %d: %d", record.canId, co.homeOffset.load());
            break;
        case 0x6098:
            co.homingMethod = static_cast<std::int8_t>(value[0]);
            log->addFormat("CANopen: Got homing method of joint with ID %d: %d", record.canId,
                           static_cast<int>(co.homingMethod.load()));
            break;
        default:
            break;
    }
}

void HardwareProtocolCANopenSDO::ParseSDOAnswerProfileIO(jointData& record, CANopenRecordData& co, int index,
                                                         int subindex, const unsigned char* data) {
    LogSingleton* log = LogSingleton::instance();
    record.errorCode = 0;
    const int byte = data[4];
    if (index == 0x6000 && subindex == 0) {
        co.inputBytes = byte;
        log->addFormat("CANopen: Got number of DIn subindices for module with ID %d: %d (up to %d inputs)",
                       record.canId, byte, byte * 8);
        if (byte < 1) log->addFormat("CANopen: No DIn on IO module with ID %d", record.canId);
    } else if (index == 0x6000 && subindex >= 1 && subindex <= 8) {
        const unsigned shift = 8u * static_cast<unsigned>(subindex - 1);
        std::uint64_t inputs = record.digitalInputs;
        inputs &= ~(std::uint64_t{0xFF} << shift);
        inputs |= static_cast<std::uint64_t>(byte) << shift;
        record.digitalInputs = inputs;
        record.inputsRead = static_cast<std::uint8_t>(record.inputsRead.load() | (1u << (subindex - 1)));
    } else if (index == 0x6200 && subindex == 0) {
        co.outputBytes = byte;
        log->addFormat("CANopen: Got number of DOut subindices for module with ID %d: %d (up to %d outputs)",
                       record.canId, byte, byte * 8);
        if (byte < 1) log->addFormat("CANopen: No DOut on IO module with ID %d", record.canId);
    }
}

void HardwareProtocolCANopenSDO::ParseSDOAnswerGeneral(jointData& record, CANopenRecordData& co, int node, int index,
                                                       int subindex, const unsigned char* data) {
    LogSingleton* log = LogSingleton::instance();
    const unsigned char* value = data + 4;
    const std::int32_t asInt = static_cast<std::int32_t>(U32(value));
    switch (index) {
        case 0x1001:
            if (subindex != 0) break;
            co.errorRegister = value[0];
            if (value[0] != 0) {
                ParsePredefinedErrorField(record, 0, 0xFF, value[0], 0xFFFF);
                RequestSDO(node, 0x1003, 1);
            }
            break;
        case 0x1003:
            if (subindex == 0) {
                co.errorCount = value[0];
            } else {
                ParsePredefinedErrorField(record, subindex, value[3], value[2], U16(value));
            }
            break;
        case 0x1008:
        case 0x100A: {
            if (subindex < 1 || subindex > 32) break;
            CANopenText& text = index == 0x1008 ? co.deviceName : co.firmware;
            text.Set(subindex - 1, Printable(value[0]) ? static_cast<char>(value[0]) : '\0');
            break;
        }
        case 0x2039:
            if (subindex == 1 || subindex == 3) {
                co.phaseCurrent1 = static_cast<float>(asInt / 1000.0);
            } else if (subindex == 2 || subindex == 4) {
                co.phaseCurrent2 = static_cast<float>(asInt / 1000.0);
            } else {
                break;
            }
            UpdateMotorCurrent(record, co);
            break;
        case 0x3202: {
            const std::uint32_t submode = U32(value);
            co.motorDriveSubmode = submode;
            if ((submode & 0x1u) == 0) {
                log->addFormat("CANopen: Joint %d in open loop mode", record.canId);
            } else {
                log->addFormat("CANopen: Joint %d in closed loop mode", record.canId);
            }
            if ((submode & 0x9u) == 0) {
                log->addFormat("CANopen: WARNING! Open loop current reduction not enabled for joint %d. Is this intended?",
                               record.canId);
            }
            if ((submode & 0x40u) != 0) log->addFormat("CANopen: Joint %d is in BLDC mode", record.canId);
            break;
        }
        case 0x3243: {
            if (subindex != 1) break;
            const std::uint32_t mode = U32(value);
            co.homingCaptureMode = mode;
            static const char* const kModes[] = {"deactivated", "rising edge", "falling edge", "both edges"};
            log->addFormat("CANopen: Got homing capture mode for joint with ID %d: %s", record.canId,
                           mode < 4 ? kModes[mode] : "unknown");
            break;
        }
        case 0x3701:
            co.limitSwitchErrorOptionCode = static_cast<std::int16_t>(U16(value));
            log->addFormat("CANopen: Got limit switch error option code of joint with ID %d: %d", record.canId,
                           static_cast<int>(co.limitSwitchErrorOptionCode.load()));
            break;
        case 0x4014:
            if (subindex == 1) {
                co.supplyVoltage = static_cast<float>(asInt * 0.001);
            } else if (subindex == 3) {
                record.temperature = static_cast<float>(asInt * 0.1);
            }
            break;
        default:  // 0x200D and every object not decoded here
            break;
    }
}

void HardwareProtocolCANopenSDO::UpdateMotorCurrent(jointData& record, CANopenRecordData& co) {
    const double a = co.phaseCurrent1;
    const double b = co.phaseCurrent2;
    const double magnitude = std::sqrt(a * a * 1e6 + b * b * 1e6);  // mA
    if ((co.motorDriveSubmode.load() & 0x1u) == 0) {
        record.current = static_cast<float>(magnitude);
    } else {
        // I_d/I_q give the peak of the phase current; its RMS matches what open loop reports.
        record.current = static_cast<float>(magnitude / std::sqrt(2.0));
    }
}

const char* HardwareProtocolCANopenSDO::ParseStatusWord(jointData& record, CANopenRecordData& co,
                                                        std::uint16_t sw) {
    CANopenState state = CANopenStateStartUp;
    if ((sw & 0x4F) == 0x00) {
        state = CANopenStateNotReadyToSwitchOn;
    } else if ((sw & 0x4F) == 0x40) {
        state = CANopenStateSwitchOnDisabled;
    } else if ((sw & 0x6F) == 0x21) {
        state = CANopenStateReadyToSwitchOn;
    } else if ((sw & 0x6F) == 0x23) {
        state = CANopenStateSwitchedOn;
    } else if ((sw & 0x6F) == 0x27) {
        state = CANopenStateOperationEnabled;
    } else if ((sw & 0x6F) == 0x07) {
        state = CANopenStateQuickStopActive;
    } else if ((sw & 0x4F) == 0x0F) {
        state = CANopenStateFaultReactionActive;
    } else if ((sw & 0x4F) == 0x08) {
        state = CANopenStateFault;
    }
    // Fault, switch-on-disabled and quick-stop count as enabled too; the callers rely on it.
    record.enabled = (sw & 0x6F) == 0x23 ? 0 : 1;
    co.statusword = sw;
    record.errorTextCode = state;
    const char* text = CANopenStateText(state);
    if (debugOutput) {
        LogSingleton::instance()->addFormat("Status ID: 0x%02X Code: 0x%04X value: %s", record.canId, sw, text);
    }
    const std::int32_t profile = co.requestedProfile;
    if (profile == CANopenProfileHoming || profile == CANopenProfileHomingSetToZero) {
        EvaluateHoming(record, co, sw);
    }
    return text;
}

void HardwareProtocolCANopenSDO::EvaluateHoming(jointData& record, CANopenRecordData& co, std::uint16_t sw) {
    const std::uint16_t bits = sw & 0x3400;
    if (bits == co.lastHomingBits.load()) return;
    co.lastHomingBits = bits;
    struct Row {
        std::uint16_t bits;
        std::int32_t state;
        const char* text;
        bool finished;
    };
    static const Row kRows[] = {
        {0x0000, 4, "Joint %d: Homing active", false},
        {0x0400, 4, "Joint %d: Homing interrupted or not started", false},
        {0x1000, 6, "Joint %d: Homing confirmed but target not reached", true},
        {0x1400, 5, "Joint %d: Homing done", true},
        {0x2000, 7, "Joint %d: Homing error, motor still moving", false},
        {0x2400, 7, "Joint %d: Homing error, motor stopped", false},
    };
    for (const Row& row : kRows) {
        if (row.bits != bits) continue;
        co.referencingState = row.state;
        LogSingleton* log = LogSingleton::instance();
        log->addFormat(row.text, record.canId);
        if (row.finished) {
            log->addFormat("CANopen: Homing finished joint %d", record.canId);
            record.referenced = 1;
            RequestSDO(record.canId, 0x6064, 0);
            SendSDO(record.canId, 0x3701, 0, static_cast<unsigned>(co.limitSwitchErrorOptionCode.load()));
        }
        return;
    }
}

std::string HardwareProtocolCANopenSDO::addStringWithSeparator(const std::string& existing, const std::string& text,
                                                               const std::string& separator) {
    if (existing.empty()) return text;
    return existing + separator + text;
}

std::string HardwareProtocolCANopenSDO::ParseErrorRegister(std::uint8_t reg) {
    static const char* const kBits[] = {"GEN", "CUR", "VOL", "TEMP", "COM", "PROF", "MAN"};
    std::string text;
    for (int b = 0; b < 7; ++b) {
        if ((reg >> b) & 1) text = addStringWithSeparator(text, kBits[b], "_");
    }
    if (text.empty() && reg != 0) text = "UNKNOWN";
    return text;
}

std::string HardwareProtocolCANopenSDO::ParseErrorCode(std::uint16_t code) {
    switch (code) {
        case 0x0000: return "n/a";
        case 0x1000: return "general error";
        case 0x2300: return "current too high at output of control";
        case 0x3100: return "over-/undercurrent at input of control";
        case 0x4200: return "temperature error";
        case 0x6010: return "software reset (watchdog)";
        case 0x6100: return "generic internal software error";
        case 0x6320: return "nominal current needs to be set (0x203B:01)";
        case 0x7121: return "motor blocked";
        case 0x7305: return "incremental or hall sensor faulty";
        case 0x7600: return "nonvolatile memory full or corrupt, restart needed";
        case 0x8000: return "error at field bus monitoring";
        case 0x8130: return "life guard or heart beat error";
        case 0x8200: return "slave needed too long to send PDO message";
        case 0x8210: return "PDO was not processed due to length error";
        case 0x8220: return "PDO length exceeded";
        case 0x8611: return "error in position monitoring: position lag too large";
        case 0x8612: return "error in position monitoring: end switch and tolerance zone exceeded";
        default: return "unknown 0x" + Hex(code);
    }
}

std::string HardwareProtocolCANopenSDO::ParseManufacturerError(std::uint8_t number) {
    if (number < sizeof kManufacturerErrors / sizeof kManufacturerErrors[0]) return kManufacturerErrors[number];
    return "unknown 0x" + Hex(number);
}

void HardwareProtocolCANopenSDO::ParsePredefinedErrorField(jointData& record, int number,
                                                           std::uint8_t manufacturerByte, std::uint8_t errorRegister,
                                                           std::uint16_t errorCode) {
    const std::string numberText = ParseManufacturerError(manufacturerByte);
    std::string errorClass = ParseErrorRegister(errorRegister);
    if (errorClass.empty()) errorClass = "none";
    const std::string codeText = ParseErrorCode(errorCode);
    if (errorClass == lastErrorClass) return;
    lastErrorClass = errorClass;
    if (numberText != "n/a" || codeText != "n/a") {
        LogSingleton::instance()->addFormat("CANopen: Error #%d at joint %d: class='%s' number='%s' code='%s'", number,
                                            record.canId, errorClass.c_str(), numberText.c_str(), codeText.c_str());
    } else {
        LogSingleton::instance()->addFormat("CANopen: Error #%d at joint %d: class='%s'", number, record.canId,
                                            errorClass.c_str());
    }
}

void HardwareProtocolCANopenSDO::ParseEmergency(jointData& record, CANopenRecordData&, int node,
                                                const unsigned char* data) {
    const std::uint16_t code = U16(data);
    const std::uint8_t reg = data[2];
    unsigned long long manufacturer = 0;
    for (int b = 3; b < 8; ++b) manufacturer = (manufacturer << 8) | data[b];
    if (code == 0 && reg == 0) return;
    const std::uint64_t key = (static_cast<std::uint64_t>(node) << 24) | (static_cast<std::uint64_t>(reg) << 16) | code;
    if (!emergencyLog.Admit(key)) return;  // keyed by node, register and code
    LogSingleton* log = LogSingleton::instance();
    if (record.moduleType != 0) {
        log->addFormat(
            "Received EMERGENCY message from device %d (not a motor): err reg '0x%X', err code '0x%X', manufacturer "
            "err '0x%llX'",
            node, static_cast<unsigned>(reg), static_cast<unsigned>(code), manufacturer);
        return;
    }
    std::string errorClass = ParseErrorRegister(reg);
    if (errorClass.empty()) errorClass = "none";
    log->addFormat("Received EMERGENCY message from joint %d: err reg '%s', err code '%s', manufacturer err '0x%llX'",
                   node, errorClass.c_str(), ParseErrorCode(code).c_str(), manufacturer);
}

}  // namespace Hardware
