#include "hardware/HardwareProtocol.h"

#include "core/LogSingleton.h"
#include "hardware/HardwareProtocolCANopen.h"
#include "hardware/HardwareProtocolJXRCAN.h"
#include "hardware/HardwareProtocolJXRCANV2.h"

#include <tinyxml2.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>

namespace Hardware {

namespace {

std::unique_ptr<HardwareProtocol> BuildCANopenCSP(RobotKinematic* kinematic) {
    return std::make_unique<HardwareProtocolCANopen>(kinematic, CANopenProfileCSP);
}

std::unique_ptr<HardwareProtocol> BuildCANopenIPO(RobotKinematic* kinematic) {
    return std::make_unique<HardwareProtocolCANopen>(kinematic, CANopenProfileIPO);
}

std::unique_ptr<HardwareProtocol> BuildCANopenPosition(RobotKinematic* kinematic) {
    return std::make_unique<HardwareProtocolCANopen>(kinematic, CANopenProfilePosition);
}

std::unique_ptr<HardwareProtocol> BuildVersion1(RobotKinematic* kinematic) {
    return std::make_unique<HardwareProtocolJXRCAN>(kinematic);
}

std::unique_ptr<HardwareProtocol> BuildVersion2(RobotKinematic* kinematic) {
    auto protocol = std::make_unique<HardwareProtocolJXRCANV2>(kinematic);
    protocol->SetVersion(2);
    return protocol;
}

std::unique_ptr<HardwareProtocol> BuildVersion3(RobotKinematic* kinematic) {
    auto protocol = std::make_unique<HardwareProtocolJXRCANV2>(kinematic);
    protocol->SetVersion(3);
    return protocol;
}

struct ProtocolEntry {
    const char* name;
    std::unique_ptr<HardwareProtocol> (*build)(RobotKinematic*);
};

const ProtocolEntry kProtocols[] = {
    {"JXRCAN", BuildVersion1},
    {"JXRCANV2", BuildVersion2},
    {"JXRCANV3", BuildVersion3},
    {"CANopen_CSP", BuildCANopenCSP},
    {"CANopen_IPO", BuildCANopenIPO},
    {"CANopen", BuildCANopenIPO},
    {"CANopen_Position", BuildCANopenPosition},
};

}  // namespace

std::string CANopenProfileToString(CANopenProfile profile) {
    switch (profile) {
        case CANopenProfilePosition: return "Position";
        case CANopenProfileIPO: return "IPO";
        case CANopenProfileCSP: return "CSP";
        case CANopenProfileVelocity: return "Velocity";
        case CANopenProfileCSV: return "CSV";
        case CANopenProfileHoming: return "Homing";
        case CANopenProfileHomingSetToZero: return "Homing (set-to-zero)";
    }
    return "unknown";
}

std::unique_ptr<HardwareProtocol> HardwareProtocol::Create(const std::string& protocolName,
                                                           RobotKinematic* kinematic) {
    for (const ProtocolEntry& entry : kProtocols) {
        if (protocolName == entry.name && entry.build != nullptr) {
            return entry.build(kinematic);
        }
    }
    LogSingleton::instance()->SeriousFailure("RobotMaster: could not recognize protocol type " + protocolName,
                                             "11 protocol type unknown");
    return nullptr;
}

HardwareProtocol::HardwareProtocol(RobotKinematic* kinematicIn) : kinematic(kinematicIn) {}

HardwareProtocol::~HardwareProtocol() = default;

void HardwareProtocol::Init(const std::string&, const std::string&, const std::string&) {}
void HardwareProtocol::InitDIOModules(int) {}
void HardwareProtocol::InitTool(int, int, float, float) {}
void HardwareProtocol::InitExternalJoint(const ExternalAxis&) {}
void HardwareProtocol::Connect() {}
void HardwareProtocol::Disconnect() {}
bool HardwareProtocol::GetConnectionStatus() { return false; }
void HardwareProtocol::GetError(std::string&, std::string&) {}
void HardwareProtocol::GetError(std::string*) {}
void HardwareProtocol::GetErrorHexCode(int*) {}
void HardwareProtocol::GetCurrentValues(int*) {}
void HardwareProtocol::GetTempValues(float*) {}
void HardwareProtocol::GetReferenceStatus(bool*, int*) {}
void HardwareProtocol::ResetError() {}
void HardwareProtocol::AlignMotors() {}
void HardwareProtocol::ReferenceSingleJoint(int) {}
void HardwareProtocol::EnableMotors(bool) {}
bool HardwareProtocol::GetMotorEnabled() { return false; }
void HardwareProtocol::DisableDrives() { EnableMotors(false); }
void HardwareProtocol::SendSync() {}
void HardwareProtocol::SetJoints(const DataTypes::RobotState&) {}
void HardwareProtocol::GetJoints(DataTypes::RobotState*) {}
void HardwareProtocol::SetJointMode(int, JointMode) {}
void HardwareProtocol::SetToZeroPos(int) {}
void HardwareProtocol::SetPlatformJointsToZeroPos() {}
void HardwareProtocol::RestartMotorController(int) {}
void HardwareProtocol::RestartModules() {}
void HardwareProtocol::SetCalibrationFlag(int) {}
void HardwareProtocol::GetVelocity(float*) {}
float HardwareProtocol::GetSupplyVoltage() { return static_cast<float>(supplyVoltage.load()); }
float HardwareProtocol::GetFrequency() { return 0.0f; }
void HardwareProtocol::SetIO(int, int, bool) {}
void HardwareProtocol::SetRailIO(int, int, bool) {}
void HardwareProtocol::GetDigitalIO(int, int*) {}
void HardwareProtocol::GetDigitalIORail(bool*) {}
bool HardwareProtocol::IsDigitalInputRead(int) { return true; }
void HardwareProtocol::GetDIOModuleIDs(unsigned char&, unsigned char&, unsigned char&) {}
void HardwareProtocol::SetDIOModuleIDs(unsigned char, unsigned char, unsigned char) {}
bool HardwareProtocol::GetZeroContact(int) { return false; }
bool HardwareProtocol::GetCalibFlag(int) { return false; }

void HardwareProtocol::StopReferencing() {}

bool HardwareProtocol::IsAxisModule(int index) {
    return ValidRecord(index) && joints[static_cast<size_t>(index)].canId != 0 &&
           joints[static_cast<size_t>(index)].moduleType == 0;
}

void HardwareProtocol::ReferenceReset() {
    LogSingleton* log = LogSingleton::instance();
    const PLCInterfaceNumbers plc = log->get_plcInterfaceNr();
    for (int i = 0; i < 9; ++i) {
        const int j = plc.JointToRef[i];
        if (j < 0) continue;
        if (IsAxisModule(j)) {
            log->addFormat("Resetting ref status of joint %d", j);
            ReferenceSingleJoint(j);
        }
    }
    wait(20);
    ResetError();
}

std::string HardwareProtocol::GetErrorShort() {
    // Kept per thread so that the robot loop's call each cycle reuses their capacity.
    thread_local std::string text;
    thread_local std::string shortText;
    text.clear();
    shortText.clear();
    GetError(text, shortText);
    return shortText;
}

bool HardwareProtocol::IsReferencing() const {
    const int end = moduleTotal - dioModuleCount;
    for (int i = 0; i < end; ++i) {
        if (joints[static_cast<size_t>(i)].referencing.load() != 0) return true;
    }
    return false;
}

void HardwareProtocol::wait(int ms) {
    if (ms <= 0) {
        usleep(0);
        return;
    }
    usleep(static_cast<useconds_t>(ms) * 1000u);
}

void HardwareProtocol::wait(float ms) {
    if (!(ms > 0.0f)) {
        usleep(0);
        return;
    }
    usleep(static_cast<useconds_t>(ms * 1000.0f));
}

void HardwareProtocol::waitActive(float ms) {
    if (!(ms > 0.0f)) return;
    // Compared in nanoseconds: whole microseconds at both ends could end the wait early.
    const std::int64_t span = static_cast<std::int64_t>(ms * 1000.0f) * 1000;
    const auto nanos = [] {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    };
    const std::int64_t begin = nanos();
    while (nanos() - begin < span) {
    }
}

std::int64_t HardwareProtocol::ToMicroSec(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

int* HardwareProtocol::CountOf(ModuleRole role) {
    switch (role) {
        case ModuleRole::RobotJoint: return &robotJointCount;
        case ModuleRole::Gripper: return &gripperCount;
        case ModuleRole::ExternalAxis: return &externalAxisCount;
        case ModuleRole::Platform: return &platformJointCount;
        case ModuleRole::DIO: return &dioModuleCount;
    }
    return &dioModuleCount;
}

int HardwareProtocol::RoleCount(ModuleRole role) const {
    return *const_cast<HardwareProtocol*>(this)->CountOf(role);
}

int HardwareProtocol::FirstRecord(ModuleRole role) const {
    int first = 0;
    for (int r = 0; r < static_cast<int>(role); ++r) {
        first += RoleCount(static_cast<ModuleRole>(r));
    }
    return first;
}

const jointData& HardwareProtocol::GetJointData(int index) const {
    if (index < 0 || index >= kMaxRecords) throw std::out_of_range("joint record index");
    return joints[static_cast<size_t>(index)];
}

jointData HardwareProtocol::NewRecord() const { return jointData{}; }

void HardwareProtocol::UpdateModuleTotal() {
    moduleTotal = robotJointCount + gripperCount + dioModuleCount + platformJointCount +
                  externalAxisCount;
}

int HardwareProtocol::AddRecord(ModuleRole role) {
    if (moduleTotal >= kMaxRecords) {
        LogSingleton::instance()->addError(
            "ERROR: Cannot add more modules, the table holds 16 modules at most!");
        return -1;
    }
    const int index = FirstRecord(role) + RoleCount(role);
    for (int i = moduleTotal; i > index; --i) {
        joints[static_cast<size_t>(i)] = joints[static_cast<size_t>(i - 1)];
    }
    joints[static_cast<size_t>(index)] = NewRecord();
    ++*CountOf(role);
    UpdateModuleTotal();
    return index;
}

bool HardwareProtocol::ResizeRole(ModuleRole role, int n) {
    int* count = CountOf(role);
    if (n < 0) n = 0;
    if (moduleTotal - *count + n > kMaxRecords) {
        LogSingleton::instance()->addError(
            "ERROR: Cannot add more modules, the table holds 16 modules at most!");
        return false;
    }
    while (*count < n) AddRecord(role);
    while (*count > n) {
        const int last = FirstRecord(role) + *count - 1;
        for (int i = last; i + 1 < moduleTotal; ++i) {
            joints[static_cast<size_t>(i)] = joints[static_cast<size_t>(i + 1)];
        }
        joints[static_cast<size_t>(moduleTotal - 1)] = jointData{};
        --*count;
        UpdateModuleTotal();
    }
    return true;
}

void HardwareProtocol::SetRobotJointCount(int n) {
    robotJointCount = n;
    UpdateModuleTotal();
}

std::int32_t HardwareProtocol::ReadLastMessage(int id, int* dlc, unsigned char* data) {
    if (id < 0 || id >= CANInterfaceSocketCAN::kMessageTableSize) return INT32_MAX;
    return canInterface.GetLastMessage(id, dlc, data);
}

std::int64_t HardwareProtocol::MonotonicMicros() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return ToMicroSec(t);
}

// --- Answer watch ---

namespace {

// A cycle that follows the last one after this long comes after a pause (a command holds
// the cycle, SYNCs and set-points stop): the drives' silence is counted afresh from it.
constexpr std::int64_t kAnswerWatchPauseUs = 500000;

}  // namespace

void HardwareProtocol::BeginAnswerWatch(std::int64_t nowUs) {
    const std::int64_t last = answerWatchLastCycleUs.exchange(nowUs);
    if (last == 0 || nowUs - last > kAnswerWatchPauseUs) answerWatchSinceUs.store(nowUs);
}

bool HardwareProtocol::WatchAnswer(int record, std::int32_t age, std::int64_t nowUs) {
    if (!ValidRecord(record)) return false;
    jointData& r = joints[static_cast<size_t>(record)];
    if (age < kAnswerLimitAge) {
        r.answered = 1;
        return false;
    }
    if (r.answered.load() == 0 || r.notAnswering.load() != 0) return false;
    // Silent since the last answer, but only counted while the cycle ran.
    const std::int64_t silentUs = std::min<std::int64_t>(static_cast<std::int64_t>(age) * 100,
                                                         nowUs - answerWatchSinceUs.load());
    if (silentUs < static_cast<std::int64_t>(kAnswerLimitAge) * 100) return false;
    r.notAnswering = 1;
    return true;
}

void HardwareProtocol::ReleaseAnswering(int record, std::int32_t age) {
    if (ValidRecord(record) && age < kAnswerLimitAge) joints[static_cast<size_t>(record)].notAnswering = 0;
}

void HardwareProtocol::ClearAnswerWatch() {
    for (jointData& r : joints) {
        r.answered = 0;
        r.notAnswering = 0;
    }
    answerWatchLastCycleUs.store(0);
}

void HardwareProtocol::LogNotAnswering(const char* who, int record) const {
    LogSingleton::instance()->addFormat("%s: joint %d (CAN ID %d) not answering", who, record,
                                        joints[static_cast<size_t>(record)].canId);
}

// --- Referencing watch ---

void HardwareProtocol::StartReferencingWatch(int record) {
    if (!ValidRecord(record)) return;
    jointData& r = joints[static_cast<size_t>(record)];
    r.referencingFailed = 0;
    r.referencingSinceUs = MonotonicMicros();
}

bool HardwareProtocol::ReferencingOverdue(int record, std::int64_t nowUs) const {
    const jointData& r = joints[static_cast<size_t>(record)];
    return r.referencing.load() != 0 && r.referenced.load() == 0 &&
           nowUs - r.referencingSinceUs.load() > static_cast<std::int64_t>(referencingTimeoutMs.load()) * 1000;
}

void HardwareProtocol::FailReferencing(const char* who, int record, const char* reason) {
    jointData& r = joints[static_cast<size_t>(record)];
    r.referencing = 0;
    r.referenced = 0;
    r.referencingFailed = 1;
    LogSingleton::instance()->addFormat("%s: Referencing joint %d (CAN ID %d) failed: %s", who, record, r.canId,
                                        reason);
}

void HardwareProtocol::ReadReferencingTimeout(const tinyxml2::XMLElement& referencing, const char* who) {
    if (referencing.Attribute("TimeoutS") == nullptr) return;
    float seconds = 0.0f;
    if (referencing.QueryFloatAttribute("TimeoutS", &seconds) != tinyxml2::XML_SUCCESS || !std::isfinite(seconds) ||
        seconds <= 0.0f || seconds > 86400.0f) {
        LogSingleton::instance()->addFormat("%s: attribute TimeoutS of line Referencing is not a time in seconds, "
                                            "using %d s",
                                            who, kDefaultReferencingTimeoutMs / 1000);
        referencingTimeoutMs.store(kDefaultReferencingTimeoutMs);
        return;
    }
    referencingTimeoutMs.store(std::max(1, static_cast<int>(seconds * 1000.0f)));
    LogSingleton::instance()->addFormat("%s: referencing time limit: %.1f s", who, static_cast<double>(seconds));
}

}  // namespace Hardware
