#include "hardware/HardwareProtocolJXRCANV2.h"

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "core/Shutdown.h"
#include "core/XmlNumber.h"
#include "hardware/HardwareProtocolConversions.h"
#include "hardware/HardwareProtocolJXRCommon.h"
#include "kinematics/ExternalAxis.h"
#include "kinematics/RobotKinematic.h"

#include <tinyxml2.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

namespace Hardware {

std::atomic<HardwareProtocolJXRCANV2*> ctxHWP{nullptr};

namespace {

// Callbacks between reading ctxHWP and returning; the destructor waits for them.
std::atomic<int> callbacksInFlight{0};

constexpr int kNotConnectedStatus = -1;
constexpr int kNoStatusYet = INT_MIN;
constexpr int kMaxCanDumpSize = 100000;
// Highest CAN ID whose answer (ID + 1) and temperature (ID + 3) frames fit the table.
constexpr int kMaxModuleCanId = 0x7FF - 3;

const unsigned char kReferenceFrame[2] = {0x01, 0x0B};
const unsigned char kAlignFrame[6] = {0x01, 0x0C, 0x3C, 0x96, 0x64, 0x32};
const unsigned char kRestartFrame[2] = {0x01, 0xCF};

const JXRErrorBitText kErrorBits[] = {
    {0x001, " - temp", "TEMP"},
    {0x002, " - estop / low supply", "_ESTOP"},
    {0x004, " - motor not enabled", "_MNE"},
    {0x008, " - comm watch dog", "_COM"},
    {0x010, " - position lag", "_LAG"},
    {0x020, " - encoder error", "_ENC"},
    {0x040, " - over current", "_OC"},
    {0x080, " - driver/svm", "_DRV"},
    {0x100, " - bus dead", "_BUS"},
    {0x200, " - module dead", "_DEAD"},
};

const char* const kKnownEvents[10] = {
    "JXRCAN: I2TEvent on ID 0x%X02! actIntegrator: %d - Max: %d",
    "JXRCAN: TempBoard on ID 0x%X02! acttemp : %d - Max: %d",
    "JXRCAN: TempMotor  on ID 0x%X02! acttemp : %d - Max: %d",
    "JXRCAN: SupplyVoltage  on ID 0x%X02! actSupplyVoltage : %d - VoltageMin: %d",
    "JXRCAN: Vel on ID 0x%X02! actVel  : %d - MaxVel: %d",
    "JXRCAN: OvercurrentEvent on ID 0x%X02! AllowedCurrent: %d mA - MeasuredCurrent: %d mA",
    "JXRCAN: ComWDT on ID 0x%X02! 0: %d - 0: %d",
    "JXRCAN: LAG  on ID 0x%X02! actPos : %d - cmdPos: %d",
    "JXRCAN: Encoder  on ID 0x%X02! actPass : %d - 0x7E: %d",
    "JXRCAN: DriverLowAlign  on ID 0x%X02! actCurrent : %d - threshold: %d",
};

const int kPlatformIds[HardwareProtocol::kMaxPlatformJoints] = {0xA0, 0xB0, 0xC0, 0xD0};
const float kPlatformGearScales[HardwareProtocol::kMaxPlatformJoints] = {500.0f, -500.0f,
                                                                         -500.0f, 500.0f};

LogSingleton* Log() { return LogSingleton::instance(); }

timespec MonotonicNow() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

// Age in 0.1 ms between a reception time and now.
std::int64_t AgeTenthMs(const timespec& then, const timespec& now) {
    const std::int64_t ns = (static_cast<std::int64_t>(now.tv_sec) - then.tv_sec) * 1000000000LL +
                            (static_cast<std::int64_t>(now.tv_nsec) - then.tv_nsec);
    return ns / 100000;
}

bool Fail(const std::string& line, const char* reason) {
    Log()->SeriousFailure(line, reason);
    return false;
}

// Seconds on the monotonic clock, never 0 (0 marks "never logged").
std::int64_t MonotonicSeconds() {
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(MonotonicNow().tv_sec));
}

bool TenSecondsSince(std::int64_t last, std::int64_t now) { return last == 0 || now - last >= 10; }

}  // namespace

int ReceiveCallback2(int id, int dlc, const unsigned char* data, long extra, timespec time) {
    callbacksInFlight.fetch_add(1);
    int result = 0;
    HardwareProtocolJXRCANV2* protocol = ctxHWP.load();
    if (protocol != nullptr) {
        result = protocol->ReceiveCallback(id, dlc, data, extra, time);
    }
    callbacksInFlight.fetch_sub(1);
    return result;
}

HardwareProtocolJXRCANV2::HardwareProtocolJXRCANV2(RobotKinematic* kinematicIn)
    : HardwareProtocol(kinematicIn), lastStatusCode(kNoStatusYet) {
    // Six robot joints until the robot file says otherwise; no record is in use before
    // Init, so nothing is sent for an object that was never initialised.
    robotJointCount = 6;
    moduleTotal = 0;
    supplyVoltage.store(0);
    mainDIOValue.store(0);
    mainDIOStatus.store(3);
    shutdownStage.store(0);
    referenced.store(true);
    referencingMandatory.store(true);
    ctxHWP.store(this);
}

HardwareProtocolJXRCANV2::~HardwareProtocolJXRCANV2() {
    canInterface.protocolCallback.store(nullptr);
    HardwareProtocolJXRCANV2* self = this;
    ctxHWP.compare_exchange_strong(self, nullptr);
    while (callbacksInFlight.load() != 0) {
        std::this_thread::yield();
    }
}

jointData HardwareProtocolJXRCANV2::NewRecord() const {
    jointData record;
    record.jointMode = JointModePosition;
    record.GearScale = 190.0f;
    record.errorCode = 0x100;
    return record;
}

void HardwareProtocolJXRCANV2::Init(const std::string& nameIn, const std::string& robotTypeIn,
                                    const std::string& robotFile) {
    name = nameIn;
    robotType = robotTypeIn;
    for (int i = 0; i < 9; ++i) {
        jointData& r = joints[static_cast<size_t>(i)];
        r.jointMode = JointModePosition;
        r.canId = 0;
        r.GearScale = 190.0f;
        r.GearZero = 0.0f;
        r.measured = 0.0f;
        r.errorCode = 0x100;
        r.backlashOffset = 0.0f;
        r.backlashExtreme = 0.0f;
        r.current = 0.0f;
        r.CurrentScale = 1.0f;
        r.CurrentZero = 0.0f;
        r.TempScale = 0.0f;
        r.TempZero = 0.0f;
    }
    for (int i = 0; i < 6; ++i) joints[static_cast<size_t>(i)].canId = 0x10 * (i + 1);
    for (auto& b : outputBytes) b.store(0);
    for (auto& b : dioModuleOutputs) b.store(0);
    ReadConfigFile(robotFile);
    canInterface.protocolCallback.store(&ReceiveCallback2);
}

bool HardwareProtocolJXRCANV2::ReadConfigFile(const std::string& path) {
    LogSingleton* log = Log();
    log->add(version == 3 ? "Reading robot config file for HardwareProtocol JXRCAN-V3..."
                          : "Reading robot config file for HardwareProtocol JXRCAN-V2...");
    std::FILE* probe = std::fopen(path.c_str(), "r");
    if (probe == nullptr) {
        return Fail("File " + path + " not available! Aborting read()",
                    "61 Protocol Ini file not found");
    }
    std::fclose(probe);

    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        const char* error = doc.ErrorStr();
        return Fail(std::string("ProtocolJXRCANV2: could not read ini correctly: ") +
                        (error != nullptr ? error : ""),
                    "62 Protocol Ini file not valid");
    }
    const tinyxml2::XMLElement* robot = doc.FirstChildElement("Robot");
    if (robot == nullptr) {
        return Fail("ProtocolJXRCANV2: line Robot not found in project file!",
                    "63 Protocol Ini file not complete");
    }
    const tinyxml2::XMLElement* bus = robot->FirstChildElement("BusConfiguration");
    if (bus == nullptr) {
        return Fail("ProtocolJXRCANV2: line BusConfiguration not found in project file!",
                    "64 Protocol Ini file not complete");
    }
    float gapMs = -1.0f;
    if (!XmlNumber::ReadFinite(*bus, "GapMS", gapMs) || gapMs < 0.0f) {
        return Fail(
            "ProtocolJXRCANV2: attribute GapMS not found in line BusConfiguration of project file!",
            "65 Protocol Ini file not complete");
    }
    gap = gapMs;
    log->addFormat("ProtocolJXRCANV2: GapMS: %.1f", static_cast<double>(gap));

    int dumpSize = 0;
    bus->QueryIntAttribute("CanDumpSize", &dumpSize);
    dumpSize = std::min(std::max(dumpSize, 0), kMaxCanDumpSize);
    canInterface.SetCanDumpSize(static_cast<unsigned>(dumpSize));

    const tinyxml2::XMLElement* jointsElement = bus->FirstChildElement("Joints");
    if (jointsElement == nullptr) {
        return Fail("ProtocolJXRCANV2: line Joints not found in project file!",
                    "66 Protocol Ini file not complete");
    }
    int count = -1;
    if (jointsElement->QueryIntAttribute("NrOfJoints", &count) != tinyxml2::XML_SUCCESS ||
        count < 0 || count > kMaxRobotJoints) {
        return Fail(
            "ProtocolJXRCANV2: attribute NrOfJoints not found in line Joints of project file!",
            "67 Protocol Ini file not complete");
    }
    SetRobotJointCount(count);
    log->addFormat("Protocol JXRCANV2: %d joints:", count);

    for (int n = 0; n < count; ++n) {
        char elementName[16];
        std::snprintf(elementName, sizeof(elementName), "Joint%d", n);
        const tinyxml2::XMLElement* j = bus->FirstChildElement(elementName);
        if (j == nullptr) {
            return Fail("ProtocolJXRCANV2: joint definition not found!",
                        "68 Protocol Ini file not complete");
        }
        jointData& r = joints[static_cast<size_t>(n)];
        const JXRJointGearFault fault = ReadJXRJointGear(*j, kMaxModuleCanId, r);
        if (fault != JXRJointGearFault::None) {
            // 69 ID, 70 GearScale, 71 GearZero.
            static const char* const kReasons[] = {"", "69 Protocol Ini file not complete",
                                                   "70 Protocol Ini file not complete",
                                                   "71 Protocol Ini file not complete"};
            return Fail(JXRJointGearFaultText(fault), kReasons[static_cast<int>(fault)]);
        }
        // A value that is no finite number counts as missing.
        float value = 0.0f;
        if (XmlNumber::ReadFinite(*j, "GearPlay", value)) {
            r.GearPlay = value;
        } else {
            log->add("ProtocolJXRCAN: joint GearPlay not found!");
        }
        if (XmlNumber::ReadFinite(*j, "GearPlayInc", value)) {
            r.GearPlayInc = value;
        } else {
            log->add("ProtocolJXRCAN: joint GearPlayInc not found!");
        }
        r.TempScale = 0.3125f;
        r.TempZero = -25.6f;
        const XmlNumber::FileNumbers numbers("ProtocolJXRCANV2", "robot ini file", "62 Protocol Ini file not valid");
        numbers.Read(j, "TempScale", r.TempScale);
        numbers.Read(j, "TempZero", r.TempZero);
        ReadJXRJointFloat(*j, "CurrentScale", 0.0f, "ProtocolJXRCANV2: joint CurrentScale not found!",
                          r.CurrentScale);
        ReadJXRJointFloat(*j, "CurrentZero", 0.0f, "ProtocolJXRCANV2: joint CurrentZero not found!",
                          r.CurrentZero);
        log->addFormat(
            "   Joint %d: CAN ID %d - GearScale %.3lf - GearZero %.3lf - GearPlay %.3lf - "
            "GearPlayInc %.3lf - TempScale %.3lf - TempZero %.3lf",
            n, r.canId, static_cast<double>(r.GearScale), static_cast<double>(r.GearZero),
            static_cast<double>(r.GearPlay), static_cast<double>(r.GearPlayInc),
            static_cast<double>(r.TempScale), static_cast<double>(r.TempZero));
    }

    const tinyxml2::XMLElement* referencing = robot->FirstChildElement("Referencing");
    if (referencing == nullptr) {
        return Fail("ProtocolJXRCAN: line Referencing not found in project file!",
                    "72 Protocol Ini file not complete");
    }
    bool mandatory = true;
    referencing->QueryBoolAttribute("Mandatory", &mandatory);
    referencingMandatory.store(mandatory);
    log->add(mandatory ? "Protocol JXRCANV2: Referencing mandatory: true"
                       : "Protocol JXRCANV2: Referencing mandatory: false");
    ReadReferencingTimeout(*referencing, "Protocol JXRCANV2");
    return true;
}

void HardwareProtocolJXRCANV2::InitDIOModules(int canId) {
    LogSingleton* log = Log();
    if (dioModuleCount >= kMaxDIOModules) {
        log->addError("ERROR: Cannot add more than 3 DIO modules!");
        return;
    }
    const int slot = dioModuleCount;
    const int index = AddRecord(ModuleRole::DIO);
    if (index < 0) return;
    dioModuleIds[static_cast<size_t>(slot)].store(canId);
    jointData& r = joints[static_cast<size_t>(index)];
    r.moduleType = 1;
    r.canId = canId;
    log->addFormat("DIO module added on CAN ID %d.", canId);
}

void HardwareProtocolJXRCANV2::InitTool(int count, int canId, float gearScale, float gearZero) {
    LogSingleton* log = Log();
    if (count < 0 || count > kMaxGrippers) {
        log->addFormat("ERROR: Cannot add %d gripper modules, 3 at most!", count);
        return;
    }
    if (!ResizeRole(ModuleRole::Gripper, count)) return;
    if (count > 0) {
        jointData& r = joints[static_cast<size_t>(FirstRecord(ModuleRole::Gripper) + count - 1)];
        r.canId = canId;
        r.GearScale = gearScale;
        r.GearZero = gearZero;
        r.measured = 0.0f;
        r.errorCode = 0x100;
        log->addFormat("   Gripper Joint: CAN ID %d - GearScale %.3lf - GearZero %.3lf", canId,
                       static_cast<double>(gearScale), static_cast<double>(gearZero));
    }
}

void HardwareProtocolJXRCANV2::InitExternalJoint(const ExternalAxis& axis) {
    LogSingleton* log = Log();
    if (externalAxisCount >= kMaxExternalAxes) {
        log->addError("Cannot add more then 3 External Joints!");
        return;
    }
    const int number = externalAxisCount;
    const int index = AddRecord(ModuleRole::ExternalAxis);
    if (index < 0) return;
    jointData& r = joints[static_cast<size_t>(index)];
    r.canId = axis.ID;
    const int mode = static_cast<int>(axis.MotionMode);
    r.jointMode = (mode == JointModeVelocity || mode == JointModePosition || mode == JointModeTorque)
                      ? static_cast<JointMode>(mode)
                      : JointModePosition;
    r.errorCode = 0x100;
    r.GearScale = static_cast<float>(axis.GearScale);
    r.GearZero = 0.0f;
    r.measured = 0.0f;
    r.TempScale = 0.3125f;
    r.TempZero = -25.6f;
    r.CurrentScale = 1.0f;
    r.CurrentZero = 0.0f;
    r.maxVelocity = static_cast<float>(axis.VelMax);
    log->addFormat("   External Joint %d: CAN ID %d - GearScale %.3lf - TempScale %.3lf - TempZero %.3lf",
                   number, r.canId, static_cast<double>(r.GearScale),
                   static_cast<double>(r.TempScale), static_cast<double>(r.TempZero));
}

void HardwareProtocolJXRCANV2::InitPlatform(int count) {
    LogSingleton* log = Log();
    if (count < 0 || count > kMaxPlatformJoints) {
        log->addFormat("ERROR: Cannot add %d platform joints, 4 at most!", count);
        return;
    }
    if (!ResizeRole(ModuleRole::Platform, count)) return;
    const int first = FirstRecord(ModuleRole::Platform);
    for (int p = 0; p < count; ++p) {
        jointData& r = joints[static_cast<size_t>(first + p)];
        r.canId = kPlatformIds[p];
        r.GearScale = kPlatformGearScales[p];
        r.GearZero = 0.0f;
        r.measured = 0.0f;
        r.errorCode = 0x100;
        r.TempScale = 0.3125f;
        r.TempZero = -25.6f;
        r.CurrentScale = 1.0f;
        r.CurrentZero = 0.0f;
        log->addFormat(
            "   Platform Joint %d: CAN ID %d - GearScale %.3lf - GearZero %.3lf - TempScale %.3lf - "
            "TempZero %.3lf",
            p, r.canId, static_cast<double>(r.GearScale), static_cast<double>(r.GearZero),
            static_cast<double>(r.TempScale), static_cast<double>(r.TempZero));
    }
}

void HardwareProtocolJXRCANV2::Connect() {
    LogSingleton* log = Log();
    log->add("ProtocolJXRCANV2: connecting");
    errorFree.store(false);
    communicationActive.store(false);
    ClearAnswerWatch();
    if (!canInterface.IsConnected()) canInterface.Connect();
    const bool connected = canInterface.IsConnected();
    if (connected) {
        // Drives left enabled by an earlier run must not take the first set-points: they
        // stay off until the operator enables them, and until the modules have answered
        // the status shows no drive as ready (see GetError).
        settling.store(true);
        connectCount.fetch_add(1);
        DisableDrives();
    }
    communicationActive.store(connected);
    log->add(connected ? "ProtocolJXRCANV2: Connection succeeded" : "ProtocolJXRCANV2: No connection!");
}

void HardwareProtocolJXRCANV2::Disconnect() {
    errorFree.store(false);
    if (canInterface.IsConnected()) canInterface.Disconnect();
}

bool HardwareProtocolJXRCANV2::GetConnectionStatus() {
    if (noAnswerCycles.load() > kSilentCyclesLimit) {
        Disconnect();
        noAnswerCycles.store(0);
    }
    return canInterface.IsConnected();
}

void HardwareProtocolJXRCANV2::AppendErrorTexts(int code, std::string& text, std::string& shortText) {
    AppendJXRErrorTexts(kErrorBits, code, text, shortText);
}

void HardwareProtocolJXRCANV2::DecodeErrorCode(int code, std::string* text, std::string* shortText) {
    text->clear();
    shortText->clear();
    AppendErrorTexts(code, *text, *shortText);
}

void HardwareProtocolJXRCANV2::GetError(std::string& text, std::string& shortText) {
    LogSingleton* log = Log();
    errorFree.store(false);
    static const char kPrefix[] = "Status: ";
    constexpr size_t kPrefixLength = sizeof(kPrefix) - 1;
    text.assign(kPrefix);
    shortText.clear();

    int combined = 0;
    int status = kNotConnectedStatus;
    if (!canInterface.IsConnected()) {
        text.append("not connected");
        shortText.assign("NotConnected");
    } else {
        const std::int64_t now = MonotonicSeconds();
        for (int j = 0; j < moduleTotal; ++j) {
            jointData& r = joints[static_cast<size_t>(j)];
            const int code = r.errorCode.load();
            combined |= code;
            if ((code & 0x002) != 0 && TenSecondsSince(r.lastLowSupplyLog.load(), now)) {
                r.lastLowSupplyLog = now;
                log->addFormat("ProtocolJXRCANV2: low supply in module %d", j + 1);
            }
        }
        if (mainDIOStatus.load() != 3) combined |= 0x002;
        const int minimum = minSupplyVoltage.load();
        const int supply = supplyVoltage.load();
        if (minimum >= 2 && supply < minimum) {
            combined |= 0x002;
            if (TenSecondsSince(lastUndervoltageLog.load(), now)) {
                lastUndervoltageLog.store(now);
                log->add("ProtocolJXRCANV2: low supply due to supply voltage: ", supply);
            }
        }
        AppendErrorTexts(combined, text, shortText);

        int count = hardwareErrorCount.load();
        if (combined == 0) {
            count = 0;
        } else if (count < kGraceCalls) {
            ++count;
            log->addFormat("ProtocolJXRCANV2: allowing NoError, cntHWError: %d/%d - Error: %s", count,
                           kGraceCalls, text.c_str() + kPrefixLength);
            if (count == 1) canInterface.WriteCanDump();
        }
        hardwareErrorCount.store(count);
        if (combined != 0 && count >= kGraceCalls) {
            status = combined;
            settling.store(false);
        } else if (combined != 0 && settling.load()) {
            // The grace is for errors of running drives: right after a connect the modules
            // have not yet answered as ready, so the status stays "not connected".
            status = kNotConnectedStatus;
            text.resize(kPrefixLength);
            text.append("not connected");
            shortText.assign("NotConnected");
        } else {
            status = 0;
            errorFree.store(true);
            settling.store(false);
            if (combined != 0) {
                text.resize(kPrefixLength);
                shortText.clear();
                AppendErrorTexts(0, text, shortText);
            }
        }
    }

    if (status != lastStatusCode.load()) {
        char codes[16 * 12 + 16] = "";
        if (combined != 0) {
            size_t used = static_cast<size_t>(std::snprintf(codes, sizeof(codes), ", codes:"));
            for (int j = 0; j < moduleTotal && used < sizeof(codes); ++j) {
                used += static_cast<size_t>(std::snprintf(codes + used, sizeof(codes) - used, " %d",
                                                          joints[static_cast<size_t>(j)].errorCode.load()));
            }
        }
        log->addFormat("CAN status changed: %s, cntHWError: %d%s", text.c_str() + kPrefixLength,
                       hardwareErrorCount.load(), codes);
        SetLED(combined);
        lastStatusCode.store(status);
    }
}

void HardwareProtocolJXRCANV2::GetError(std::string* perJoint) {
    std::string scratch;
    for (int j = 0; j < moduleTotal; ++j) {
        const int code = joints[static_cast<size_t>(j)].errorTextCode.load();
        if (code == kErrorTextNotAvailable) {
            perJoint[j] = "na";
        } else {
            DecodeErrorCode(code, &scratch, &perJoint[j]);
        }
    }
}

void HardwareProtocolJXRCANV2::GetErrorHexCode(int* perJoint) {
    for (int j = 0; j < moduleTotal; ++j) perJoint[j] = joints[static_cast<size_t>(j)].errorCode.load();
}

void HardwareProtocolJXRCANV2::GetCurrentValues(int* perJoint) {
    const int end = moduleTotal - dioModuleCount;
    for (int j = 0; j < end; ++j) {
        perJoint[j] = SaturateToInt32(joints[static_cast<size_t>(j)].current.load());
    }
}

void HardwareProtocolJXRCANV2::GetTempValues(float* perJoint) {
    const int end = moduleTotal - dioModuleCount;
    for (int j = 0; j < end; ++j) perJoint[j] = joints[static_cast<size_t>(j)].temperature.load();
}

void HardwareProtocolJXRCANV2::GetReferenceStatus(bool* perJoint, int* all) {
    bool allReferenced = true;
    int k = 0;
    const ModuleRole roles[2] = {ModuleRole::RobotJoint, ModuleRole::ExternalAxis};
    for (ModuleRole role : roles) {
        const int first = FirstRecord(role);
        for (int i = 0; i < RoleCount(role); ++i) {
            const bool ref = joints[static_cast<size_t>(first + i)].referenced.load() != 0;
            perJoint[k++] = ref;
            allReferenced = allReferenced && ref;
        }
    }
    *all = allReferenced ? 1 : 0;
}

void HardwareProtocolJXRCANV2::SendFrame(int id, int dlc, const unsigned char* data) {
    canInterface.WriteMessage(id, dlc, data);
}

void HardwareProtocolJXRCANV2::SendToRecord(int record, int dlc, const unsigned char* data) {
    SendFrame(joints[static_cast<size_t>(record)].canId, dlc, data);
}

void HardwareProtocolJXRCANV2::ResetError() {
    communicationActive.store(false);
    // A module not answering stays so until its answers are back.
    for (int j = 0; j < moduleTotal; ++j) {
        int dlc = 0;
        unsigned char d[8];
        ReleaseAnswering(j, ReadLastMessage(joints[static_cast<size_t>(j)].canId + 1, &dlc, d));
    }
    for (int j = 0; j < moduleTotal; ++j) {
        joints[static_cast<size_t>(j)].referencing = 0;
        SendToRecord(j, 2, kJXRResetFrame);
        wait(2);
    }
    communicationActive.store(true);
}

void HardwareProtocolJXRCANV2::AlignMotors() {
    LogSingleton* log = Log();
    log->add("JXRCAN2: Starting to align torque motors");
    communicationActive.store(false);
    const int n = std::min(6, robotJointCount);
    for (int j = 0; j < n; ++j) {
        log->add("JXRCAN2: Aligning motor ", j);
        SendToRecord(j, 6, kAlignFrame);
        wait(10);
        SendToRecord(j, 6, kAlignFrame);
        wait(2000);
    }
    communicationActive.store(true);
}

void HardwareProtocolJXRCANV2::ReferenceSingleJoint(int joint) {
    LogSingleton* log = Log();
    if (!ValidRecord(joint) || joint >= moduleTotal - dioModuleCount) {
        log->addFormat("JXRCAN2: Can not reference joint %d, no such joint", joint);
        return;
    }
    jointData& r = joints[static_cast<size_t>(joint)];
    const int code = r.errorCode.load();
    if (code != 0) {
        log->addFormat("JXRCAN2: Can not reference joint %d, error code %d", joint, code);
        return;
    }
    log->add("JXRCAN2: Starting to reference joint ", joint);
    communicationActive.store(false);
    r.referencing = 1;
    StartReferencingWatch(joint);
    SendToRecord(joint, 2, kReferenceFrame);
    wait(2);
    SendToRecord(joint, 2, kReferenceFrame);
    wait(2);
    communicationActive.store(true);
}

void HardwareProtocolJXRCANV2::StopReferencing() {
    for (int j = 0; j < moduleTotal - dioModuleCount; ++j) {
        if (joints[static_cast<size_t>(j)].referencing.load() != 0) StopReferencingRecord(j, "e-stop open");
    }
}

void HardwareProtocolJXRCANV2::StopReferencingRecord(int j, const char* reason) {
    // The modules have no halt: disabling stops the search, and the module then reports
    // its motor not enabled until the operator enables it again.
    SendToRecord(j, 2, kJXRDisableFrame);
    FailReferencing("ProtocolJXRCANV2", j, reason);
}

void HardwareProtocolJXRCANV2::WatchReferencing(std::int64_t nowUs) {
    for (int j = 0; j < moduleTotal - dioModuleCount; ++j) {
        if (!ReferencingOverdue(j, nowUs)) continue;
        char reason[48];
        std::snprintf(reason, sizeof reason, "referencing not finished within %d s", GetReferencingTimeoutMs() / 1000);
        StopReferencingRecord(j, reason);
    }
}

void HardwareProtocolJXRCANV2::EnableMotors(bool on) {
    communicationActive.store(false);
    for (int j = 0; j < moduleTotal; ++j) {
        SendToRecord(j, 2, on ? kJXREnableFrame : kJXRDisableFrame);
        wait(2);
    }
    communicationActive.store(true);
}

bool HardwareProtocolJXRCANV2::GetMotorEnabled() {
    if (moduleTotal - dioModuleCount <= 0) return false;
    for (int j = 0; j < moduleTotal; ++j) {
        const jointData& r = joints[static_cast<size_t>(j)];
        if (r.enabled.load() != 1 || r.jointMode.load() == JointModeZeroTorque) return false;
    }
    return true;
}

void HardwareProtocolJXRCANV2::ApplyBacklash(jointData& r, float& value) {
    const float t = value;
    if (std::isnan(t)) return;  // the position frame holds the last set-point
    if (r.GearPlay > 0.05f) {
        float e = r.backlashExtreme;
        std::uint8_t d = r.backlashDirection;
        if (d == 0 && t > e + 0.01f) {
            d = 1;
        } else if (d == 1 && t < e - 0.01f) {
            d = 0;
        }
        if (d == 0) {
            e = std::min(e, t);
            r.backlashOffset = std::max(r.backlashOffset - r.GearPlayInc, -r.GearPlay);
        } else {
            e = std::max(e, t);
            r.backlashOffset = std::min(r.backlashOffset + r.GearPlayInc, r.GearPlay);
        }
        r.backlashExtreme = e;
        r.backlashDirection = d;
    }
    r.setPoint = t;
    value = errorFree.load() ? t + r.backlashOffset : t;
}

void HardwareProtocolJXRCANV2::ReadAnswer(int j, float* values, bool* answered, std::int64_t nowUs) {
    jointData& r = joints[static_cast<size_t>(j)];
    int dlc = 0;
    unsigned char d[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const std::int32_t age = ReadLastMessage(r.canId + 1, &dlc, d);
    if (r.moduleType == 0 && WatchAnswer(j, age, nowUs)) LogNotAnswering("ProtocolJXRCANV2", j);
    if (age < kAnswerMaxAge) {
        *answered = true;
        const int code = d[0];
        r.errorCode = code;
        r.errorTextCode = code;
        r.enabled = code == 0 ? 1 : 0;
        r.digitalInputs = static_cast<std::uint64_t>(d[7]);
        if (r.moduleType == 1) r.inputsRead = 1;
        // DIO modules carry no position: their records are not converted as joints.
        if (r.moduleType == 0) {
            if ((d[5] & 0x80) != 0) r.shortCurrentFormat = 1;
            const std::int32_t rawPosition = ReadBigEndianInt32(d + 1);
            const int rawCurrent = r.shortCurrentFormat.load() != 0 ? d[6] : d[5] * 256 + d[6];
            if (r.GearScale != 0.0f) {
                r.measured = (static_cast<float>(rawPosition) - r.GearZero) / r.GearScale;
            }
            r.current = static_cast<float>(rawCurrent) * r.CurrentScale + r.CurrentZero;
            r.auxValue = 0.0f;
            if ((d[7] & 0x80) != 0) {
                r.referenced = 1;
                r.referencing = 0;
            } else {
                r.referenced = 0;
            }
        }
    } else {
        r.errorCode = canInterface.IsConnected() ? 0x200 : 0x100;
        r.enabled = 0;
    }
    if (r.notAnswering.load() != 0) {
        // Module dead until a reset finds it answering again.
        r.errorCode = r.errorCode.load() | 0x200;
        r.errorTextCode = r.errorCode.load();
        r.enabled = 0;
    }
    values[j] = r.measured.load();
}

void HardwareProtocolJXRCANV2::SetJoints(const DataTypes::RobotState& target) {
    if (!canInterface.IsConnected() || !communicationActive.load()) return;
    const std::int64_t now = MonotonicMicros();
    BeginAnswerWatch(now);

    const int robotFirst = FirstRecord(ModuleRole::RobotJoint);
    const int gripperFirst = FirstRecord(ModuleRole::Gripper);
    const int externalFirst = FirstRecord(ModuleRole::ExternalAxis);
    const int platformFirst = FirstRecord(ModuleRole::Platform);
    const int dioFirst = FirstRecord(ModuleRole::DIO);

    float values[kMaxRecords] = {};
    for (int i = 0; i < robotJointCount; ++i) values[robotFirst + i] = target.jointSet[i];
    for (int i = 0; i < gripperCount; ++i) values[gripperFirst + i] = target.gripperHw[i];
    for (int i = 0; i < externalAxisCount; ++i) {
        values[externalFirst + i] = target.jointSet[RobotKinematic::extJointIndex + i];
    }
    for (int i = 0; i < platformJointCount; ++i) values[platformFirst + i] = target.platformSet[i];

    cycleCounter = (cycleCounter + 1) % 255;

    // Backlash compensation of the robot joints and external axes in position mode.
    for (int j = robotFirst; j < robotFirst + robotJointCount; ++j) {
        if (joints[static_cast<size_t>(j)].jointMode.load() == JointModePosition) {
            ApplyBacklash(joints[static_cast<size_t>(j)], values[j]);
        }
    }
    for (int j = externalFirst; j < externalFirst + externalAxisCount; ++j) {
        if (joints[static_cast<size_t>(j)].jointMode.load() == JointModePosition) {
            ApplyBacklash(joints[static_cast<size_t>(j)], values[j]);
        }
    }

    if (kinematic != nullptr) kinematic->AdaptJointsToMotors(values);

    const std::uint8_t counter = static_cast<std::uint8_t>(cycleCounter);
    const int jointModules = moduleTotal - dioModuleCount;
    for (int j = 0; j < jointModules; ++j) {
        jointData& r = joints[static_cast<size_t>(j)];
        unsigned char frame[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        switch (r.jointMode.load()) {
            case JointModePosition: {
                if (!std::isnan(values[j])) r.setPoint = values[j];
                const std::int32_t position =
                    SaturateToInt32(r.setPoint.load() * r.GearScale + r.GearZero);
                frame[0] = 0x14;
                frame[1] = SaturateToUint8(r.velocity.load() / 4.0f + 128.0f, 128);
                WriteBigEndianInt32(frame + 2, position);
                frame[6] = counter;
                frame[7] = static_cast<unsigned char>(outputBytes[static_cast<size_t>(j)].load() & 0xFF);
                SendFrame(r.canId, 8, frame);
                break;
            }
            case JointModeTorque:
            case JointModeZeroTorque:
                frame[0] = 0x16;
                frame[3] = counter;
                SendFrame(r.canId, 4, frame);
                break;
            case JointModeVelocity: {
                // Velocity set-points of external axes sit at joint index 6 onward.
                float v = 0.0f;
                if (j >= externalFirst && j < externalFirst + externalAxisCount) {
                    v = target.jointVel[RobotKinematic::extJointIndex + (j - externalFirst)];
                } else if (j >= robotFirst && j < robotFirst + robotJointCount) {
                    v = target.jointVel[j - robotFirst];
                }
                const float limit = std::fabs(r.maxVelocity);
                if (!std::isnan(v)) {
                    v = std::min(std::max(v, -limit), limit) * target.override / 100.0f;
                }
                if (!std::isnan(v)) r.velocity = v;
                frame[0] = 0x25;
                WriteBigEndianInt16(frame + 1, SaturateToInt16(r.velocity.load() * r.GearScale));
                frame[3] = counter;
                SendFrame(r.canId, 4, frame);
                break;
            }
            default:
                break;
        }
        if (gap > 0.0f) waitActive(gap);
    }

    for (int i = 0; i < dioModuleCount; ++i) {
        const int k = dioFirst + i;
        unsigned char frame[8] = {0x14, 0, 0, 0, 0, 0, counter, 0};
        frame[7] = static_cast<unsigned char>(
            (dioModuleOutputs[static_cast<size_t>(i)].load() | outputBytes[static_cast<size_t>(k)].load()) &
            0xFF);
        SendFrame(joints[static_cast<size_t>(k)].canId, 8, frame);
        if (gap > 0.0f) waitActive(gap);
    }

    bool answered = false;
    for (int j = 0; j < moduleTotal; ++j) ReadAnswer(j, values, &answered, now);
    WatchReferencing(now);
    if (kinematic != nullptr) kinematic->AdaptMotorsToJoints(values);
    for (int j = 0; j < moduleTotal; ++j) {
        jointData& r = joints[static_cast<size_t>(j)];
        if (r.moduleType == 0) r.measured = values[j];
    }

    if (answered) {
        noAnswerCycles.store(0);
    } else {
        noAnswerCycles.fetch_add(1);
    }

    ++cycleCount;
    if (cycleCount % 10 == 0) {
        bool all = true;
        for (int j = robotFirst; j < robotFirst + robotJointCount; ++j) {
            all = all && joints[static_cast<size_t>(j)].referenced.load() != 0;
        }
        for (int j = externalFirst; j < externalFirst + externalAxisCount; ++j) {
            all = all && joints[static_cast<size_t>(j)].referenced.load() != 0;
        }
        if (all != referenced.load()) {
            referenced.store(all);
            Log()->add(all ? "JXRCANV2 protocol: robot is referenced now"
                           : "JXRCANV2 protocol: robot is NOT referenced");
        }
    }
    if (cycleCount > 100) {
        cycleCount = 0;
        ReadTemp();
    }
    ReadMainDIO();
    ReadShutdownMessage();
}

void HardwareProtocolJXRCANV2::GetJoints(DataTypes::RobotState* state) {
    const int robotFirst = FirstRecord(ModuleRole::RobotJoint);
    const int gripperFirst = FirstRecord(ModuleRole::Gripper);
    const int externalFirst = FirstRecord(ModuleRole::ExternalAxis);
    const int platformFirst = FirstRecord(ModuleRole::Platform);
    for (int i = 0; i < robotJointCount; ++i) {
        state->jointAct[i] = joints[static_cast<size_t>(robotFirst + i)].measured.load();
    }
    for (int i = 0; i < externalAxisCount; ++i) {
        const jointData& r = joints[static_cast<size_t>(externalFirst + i)];
        state->jointAct[RobotKinematic::extJointIndex + i] =
            r.jointMode.load() == JointModeVelocity ? 0.0f : r.measured.load();
    }
    for (int i = 0; i < gripperCount; ++i) {
        state->gripperHw[i] = joints[static_cast<size_t>(gripperFirst + i)].measured.load();
    }
    for (int i = 0; i < platformJointCount; ++i) {
        state->platformAct[i] = joints[static_cast<size_t>(platformFirst + i)].measured.load();
    }
}

void HardwareProtocolJXRCANV2::SetJointMode(int joint, JointMode mode) {
    if (joint < 0 || joint >= moduleTotal - dioModuleCount) return;
    jointData& r = joints[static_cast<size_t>(joint)];
    if (r.jointMode.load() == mode) {
        Log()->addFormat("Not setting mode of joint %d to %d, already set", joint, static_cast<int>(mode));
        return;
    }
    Log()->addFormat("Setting mode of joint %d to %d", joint, static_cast<int>(mode));
    r.jointMode = mode;
}

void HardwareProtocolJXRCANV2::SetToZeroPos(int joint) {
    LogSingleton* log = Log();
    log->addFormat("ProtocolJXRCANV2: SetToZeroPos joint %d started...", joint);
    if (!canInterface.IsConnected()) {
        log->add("ProtocolJXRCANV2: Can not set to zero pos before connecting");
        return;
    }
    if (joint < 0 || joint >= robotJointCount + externalAxisCount + gripperCount) return;
    communicationActive.store(false);
    SendToRecord(joint, 4, kJXRZeroFrame);
    wait(0.5f);
    SendToRecord(joint, 4, kJXRZeroFrame);
    wait(1.0f);
    log->addFormat("ProtocolJXRCANV2: Setting joint %d to zero pos", joint);
    communicationActive.store(true);
}

void HardwareProtocolJXRCANV2::SetPlatformJointsToZeroPos() {
    if (!canInterface.IsConnected() || platformJointCount < 1) return;
    communicationActive.store(false);
    const int first = FirstRecord(ModuleRole::Platform);
    for (int p = 0; p < platformJointCount; ++p) {
        SendToRecord(first + p, 4, kJXRZeroFrame);
        wait(0.5f);
        SendToRecord(first + p, 4, kJXRZeroFrame);
        wait(1.0f);
    }
    communicationActive.store(true);
}

void HardwareProtocolJXRCANV2::RestartMotorController(int joint) {
    LogSingleton* log = Log();
    if (!canInterface.IsConnected()) {
        log->add("Can not restart motor controller before connecting.");
        return;
    }
    if (joint < 0 || joint >= moduleTotal - dioModuleCount) return;
    communicationActive.store(false);
    SendToRecord(joint, 2, kRestartFrame);
    wait(10);
    SendToRecord(joint, 2, kRestartFrame);
    log->addFormat("Sent restart request to motor controller %d", joint);
    communicationActive.store(true);
}

void HardwareProtocolJXRCANV2::RestartModules() {
    ResetError();
    for (int j = 0; j < moduleTotal; ++j) {
        if (joints[static_cast<size_t>(j)].moduleType == 0) RestartMotorController(j);
    }
}

void HardwareProtocolJXRCANV2::SetIO(int module, int channel, bool value) {
    if (!canInterface.IsConnected() || channel < 0 || channel > 7 || !ValidRecord(module)) return;
    std::atomic<int>& b = outputBytes[static_cast<size_t>(module)];
    if (value) {
        b.fetch_or(1 << channel);
    } else {
        b.fetch_and(~(1 << channel));
    }
}

void HardwareProtocolJXRCANV2::SetRailIO(int module, int channel, bool value) {
    if (!canInterface.IsConnected() || channel < 0 || channel > 6 || module < 0 ||
        module >= kMaxDIOModules) {
        return;
    }
    std::atomic<int>& b = dioModuleOutputs[static_cast<size_t>(module)];
    if (value) {
        b.fetch_or(1 << channel);
    } else {
        b.fetch_and(~(1 << channel));
    }
}

void HardwareProtocolJXRCANV2::GetDigitalIO(int module, int* value) {
    if (robotJointCount > 0 && ValidRecord(module)) {
        *value = static_cast<int>(joints[static_cast<size_t>(module)].digitalInputs.load());
    }
}

void HardwareProtocolJXRCANV2::GetDigitalIORail(bool* inputs) {
    const int first = FirstRecord(ModuleRole::DIO);
    const int modules = std::min(dioModuleCount, kMaxDIOModules);
    for (int m = 0; m < modules; ++m) {
        jointData& r = joints[static_cast<size_t>(first + m)];
        // The module's latest answer, not the one SetJoints last decoded: an input that
        // changed since is seen by the read that follows its frame (the e-stop).
        int dlc = 0;
        unsigned char d[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        if (canInterface.IsConnected() && ReadLastMessage(r.canId + 1, &dlc, d) < kAnswerMaxAge) {
            r.digitalInputs = static_cast<std::uint64_t>(d[7]);
            r.inputsRead = 1;
        }
        if (r.inputsRead.load() == 0) continue;  // not answered yet: the inputs stay as they are
        const std::uint64_t bits = r.digitalInputs.load();
        for (int b = 0; b < 7; ++b) inputs[20 + 10 * m + b] = ((bits >> b) & 1u) != 0;
    }
}

bool HardwareProtocolJXRCANV2::IsDigitalInputRead(int n) {
    // Inputs 20..26, 30..36 and 40..46 are the I/O modules' seven; no other input is read.
    if (n < 20 || n >= 20 + 10 * kMaxDIOModules || (n - 20) % 10 >= 7) return false;
    const int m = (n - 20) / 10;
    if (m >= dioModuleCount) return false;
    return joints[static_cast<size_t>(FirstRecord(ModuleRole::DIO) + m)].inputsRead.load() != 0;
}

void HardwareProtocolJXRCANV2::GetDIOModuleIDs(unsigned char& a, unsigned char& b, unsigned char& c) {
    a = static_cast<unsigned char>(dioModuleIds[0].load());
    b = static_cast<unsigned char>(dioModuleIds[1].load());
    c = static_cast<unsigned char>(dioModuleIds[2].load());
}

void HardwareProtocolJXRCANV2::SetDIOModuleIDs(unsigned char a, unsigned char b, unsigned char c) {
    Log()->addFormat("Setting DIO module IDs: %d %d %d (will be applied after restart)", a, b, c);
    dioModuleIds[0].store(a);
    dioModuleIds[1].store(b);
    dioModuleIds[2].store(c);
}

int HardwareProtocolJXRCANV2::GetOutputByte(int record) const {
    if (record < 0 || record >= kMaxRecords) return 0;
    return outputBytes[static_cast<size_t>(record)].load();
}

int HardwareProtocolJXRCANV2::GetDIOModuleOutput(int module) const {
    if (module < 0 || module >= static_cast<int>(dioModuleOutputs.size())) return 0;
    return dioModuleOutputs[static_cast<size_t>(module)].load();
}

void HardwareProtocolJXRCANV2::ReadTemp() {
    const int gripperFirst = FirstRecord(ModuleRole::Gripper);
    for (int j = 0; j < moduleTotal; ++j) {
        if (j >= gripperFirst && j < gripperFirst + gripperCount) continue;
        jointData& r = joints[static_cast<size_t>(j)];
        int dlc = 0;
        unsigned char d[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        ReadLastMessage(r.canId + 3, &dlc, d);
        if (d[0] == 0x12) {
            r.temperature = static_cast<float>(d[6] * 256 + d[7]) * r.TempScale + r.TempZero;
        } else {
            r.temperature = -1.0f;
        }
    }
}

void HardwareProtocolJXRCANV2::ReadMainDIO() {
    int dlc = 0;
    unsigned char d[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (ReadLastMessage(0x006, &dlc, d) >= kAnswerMaxAge) return;
    supplyVoltage.store((d[2] * 256 + d[3]) * 10);
    mainDIOValue.store((d[4] * 256 + d[5]) - 3300);
    mainDIOStatus.store(((d[6] & 0x80) != 0 ? 1 : 0) + ((d[7] & 0x80) != 0 ? 2 : 0));
}

void HardwareProtocolJXRCANV2::ReadShutdownMessage() {
    if (shutdownWindow > 0) --shutdownWindow;
    if (!canInterface.IsConnected()) return;
    const CANMessageEntry entry = canInterface.GetLastMessageEntry(0x0FF);
    if (AgeTenthMs(entry.time, MonotonicNow()) >= kShutdownMaxAge) return;
    if (entry.data[0] != 0x01 || entry.data[2] != 0x71) return;
    // One action per received frame, however many cycles see it young.
    if (entry.time.tv_sec == lastShutdownFrame.tv_sec &&
        entry.time.tv_nsec == lastShutdownFrame.tv_nsec) {
        return;
    }
    lastShutdownFrame = entry.time;
    LogSingleton* log = Log();
    const unsigned char stage = entry.data[1];
    if (stage == 0x0C) {
        shutdownStage.store(13);
        shutdownWindow = 100;
        log->add("ProtocolJXRCANV2: Shutdown request stage 1 ");
    } else if (stage == 0x29 && shutdownWindow > 0 && shutdownStage.load() == 13) {
        shutdownStage.store(0);
        log->add("ProtocolJXRCANV2: Shutdown request stage 2 final");
        if (shutdownRequestHandler) {
            shutdownRequestHandler();
        } else {
            Shutdown::ShutdownSystem(true);
        }
    } else {
        log->addError("ProtocolJXRCANV2: Shutdown request - error in sequence");
    }
}

void HardwareProtocolJXRCANV2::SetLED(int code) {
    unsigned char red = 150;
    unsigned char green = 0;
    unsigned char blue = 0;
    if (code == 0 || code == 0x100) {
        red = 0;
        green = 150;
    } else if (code == 0x004 || code == 0x104) {
        red = 220;
        green = 95;
    }
    const unsigned char frame[8] = {0x01, 0x30, 0x00, red, green, blue, 0x00, 0x00};
    SendFrame(0x001, 8, frame);
}

int HardwareProtocolJXRCANV2::ReceiveCallback(int id, int /*dlc*/, const unsigned char* data, long,
                                              timespec time) {
    LogSingleton* log = Log();
    const unsigned char command = data[0];
    if (command == 0x14 || command == 0xBB || command == 0xFE) {
        for (int j = 0; j < moduleTotal; ++j) {
            if (joints[static_cast<size_t>(j)].canId == id && log->get_opMode() == OPMODE_NORMAL) {
                log->SeriousFailure("ERROR - alien CAN command detected - ABORT!", "79 alien CAN msg");
            }
        }
    }
    // The flags (extended, remote, error frame) put such a word outside 0..0x7FF.
    if (static_cast<unsigned>(id) >= static_cast<unsigned>(kEventIdCount)) return 1;
    // Counts held back by a burst are reported once it is over, as long as frames come.
    const LogThrottle::Clock::time_point now = LogThrottle::Clock::now();
    knownEventLog.Flush(now);
    unknownEventLog.Flush(now);
    if (command != 0x07) return 1;
    const int event = data[3];
    if (data[2] == 0x00 && event >= 0x70 && event <= 0x79) {
        if (knownEventLog.Admit(EventKey(id, event), now)) {
            log->addFormat(kKnownEvents[event - 0x70], static_cast<unsigned>(id), ReadBigEndianUint16(data + 4),
                           ReadBigEndianUint16(data + 6));
        }
        return 1;
    }
    LogUnknownEvent(id, data, time);
    return 1;
}

void HardwareProtocolJXRCANV2::LogUnknownEvent(int id, const unsigned char* data, const timespec& time) {
    LogSingleton* log = Log();
    const std::uint8_t event = data[3];
    const std::uint16_t value1 = static_cast<std::uint16_t>(ReadBigEndianUint16(data + 4));
    const std::uint16_t value2 = static_cast<std::uint16_t>(ReadBigEndianUint16(data + 6));
    const size_t slot = static_cast<size_t>(id);  // 0..kEventIdCount - 1, checked by the caller
    LastUnknownErrorData& entry = unknownErrors[slot];
    if (unknownErrorUsed.test(slot) && entry.errorNumber == event && time.tv_sec - entry.eventTime.tv_sec <= 10) {
        const int count = ++entry.count;
        if ((count <= 9 || (count <= 99 && count % 10 == 0) || count % 100 == 0) &&
            unknownEventLog.Admit(EventKey(id, event))) {
            log->addFormat(
                "JXRCAN: unknown error message %d from ID 0x%X02! byte1: %d - byte2: %d (repeated %d "
                "times, omitting further messages)",
                event, static_cast<unsigned>(id), value1, value2, count);
        }
        return;
    }
    if (!unknownErrorUsed.test(slot)) {
        unknownErrorUsed.set(slot);
        unknownErrorIds.fetch_add(1);
    }
    entry = LastUnknownErrorData(event, value1, value2, time);
    if (unknownEventLog.Admit(EventKey(id, event))) {
        log->addFormat("JXRCAN: unknown error message %d from ID 0x%X02! byte1: %d - byte2: %d", event,
                       static_cast<unsigned>(id), value1, value2);
    }
}

}  // namespace Hardware
