#include "hardware/HardwareProtocolJXRCAN.h"

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "hardware/HardwareProtocolConversions.h"
#include "hardware/HardwareProtocolJXRCommon.h"
#include "kinematics/RobotKinematic.h"

#include <tinyxml2.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

namespace Hardware {

namespace {

constexpr int kNotConnectedStatus = -1;
constexpr int kNoStatusYet = INT_MIN;
// Highest CAN ID whose answer (ID + 1) fits the last-message table.
constexpr int kMaxJointCanId = 0x7FF - 1;

const JXRErrorBitText kErrorBits[] = {
    {0x001, " - brown out or watch dog", "BOWD"},
    {0x002, " - velLag", "VLAG"},
    {0x004, " - motor not enabled", "MNE"},
    {0x008, " - comm watch dog", "_COM"},
    {0x010, " - position lag", "_LAG"},
    {0x020, " - encoder error", "_ENC"},
    {0x040, " - over current", "_OC"},
    {0x080, " - CAN error", "_CAN"},
    {0x100, " - bus dead", "_BUS"},
    {0x200, " - module dead", "_DEAD"},
};

LogSingleton* Log() { return LogSingleton::instance(); }

// Logs the line; the process ends with status 46 unless a test replaced the exit function.
bool Fatal(const std::string& line) {
    Log()->addError(line);
    RobotKinematic::ExitOnFatalIniFault();
    return false;
}

}  // namespace

HardwareProtocolJXRCAN::HardwareProtocolJXRCAN(RobotKinematic* kinematicIn)
    : HardwareProtocol(kinematicIn), lastStatusCode(kNoStatusYet) {
    robotJointCount = 3;
    supplyVoltage.store(0);
}

void HardwareProtocolJXRCAN::Init(const std::string& nameIn, const std::string& robotTypeIn,
                                  const std::string& robotFile) {
    name = nameIn;
    robotType = robotTypeIn;
    communicationActive.store(false);
    errorFree.store(false);
    gap = 3.0f;
    frameCounter = 0;
    const int defaultIds[4] = {0x10, 0x20, 0x30, 0x08};
    for (int i = 0; i < 4; ++i) joints[static_cast<size_t>(i)].canId = defaultIds[i];
    protocolWord = 0;
    for (int i = 0; i < 9; ++i) {
        jointData& r = joints[static_cast<size_t>(i)];
        r.GearScale = 190.0f;
        r.GearZero = 32000.0f;
        r.measured = 0.0f;
        r.errorCode = 0x100;
        outputBytes[static_cast<size_t>(i)].store(0);
    }
    ReadConfigFile(robotFile);
}

bool HardwareProtocolJXRCAN::ReadConfigFile(const std::string& path) {
    LogSingleton* log = Log();
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        const char* error = doc.ErrorStr();
        return Fatal(std::string("ProtocolJXRCAN: could not read ini correctly: ") +
                     (error != nullptr ? error : ""));
    }
    const tinyxml2::XMLElement* robot = doc.FirstChildElement("Robot");
    if (robot == nullptr) return Fatal("ProtocolJXRCAN: line Robot not found in project file!");
    const tinyxml2::XMLElement* bus = robot->FirstChildElement("BusConfiguration");
    if (bus == nullptr) {
        return Fatal("ProtocolJXRCAN: line BusConfiguration not found in project file!");
    }
    float gapMs = -1.0f;
    bus->QueryFloatAttribute("GapMS", &gapMs);
    if (!(gapMs > -1.0f) || !std::isfinite(gapMs)) {
        return Fatal(
            "ProtocolJXRCAN: attribute GapMS not found in line BusConfiguration of project file!");
    }
    gap = gapMs;
    log->addFormat("ProtocolJXRCAN: GapMS: %.1f", static_cast<double>(gap));

    const tinyxml2::XMLElement* jointsElement = bus->FirstChildElement("Joints");
    if (jointsElement == nullptr) return Fatal("ProtocolJXRCAN: line Joints not found in project file!");
    int count = -1;
    if (jointsElement->QueryIntAttribute("NrOfJoints", &count) != tinyxml2::XML_SUCCESS ||
        count < 0 || count > kMaxRobotJoints) {
        return Fatal("ProtocolJXRCAN: attribute NrOfJoints not found in line Joints of project file!");
    }
    SetRobotJointCount(count);
    log->addFormat("Protocol JXRCAN: %d joints:", count);

    for (int n = 0; n < count; ++n) {
        char elementName[16];
        std::snprintf(elementName, sizeof(elementName), "Joint%d", n);
        const tinyxml2::XMLElement* j = bus->FirstChildElement(elementName);
        if (j == nullptr) return Fatal("ProtocolJXRCAN: joint definition not found!");
        jointData& r = joints[static_cast<size_t>(n)];
        const JXRJointGearFault fault = ReadJXRJointGear(*j, kMaxJointCanId, r);
        if (fault != JXRJointGearFault::None) return Fatal(JXRJointGearFaultText(fault));
        log->addFormat("   Joint %d: CAN ID %d - GearScale %.3lf - GearZero %.3lf", n, r.canId,
                       static_cast<double>(r.GearScale), static_cast<double>(r.GearZero));
        ReadJXRJointFloat(*j, "CurrentScale", 1.0f, "ProtocolJXRCANV: joint CurrentScale not found!",
                          r.CurrentScale);
        ReadJXRJointFloat(*j, "CurrentZero", 30.0f, "ProtocolJXRCANV: joint CurrentZero not found!",
                          r.CurrentZero);
    }
    return true;
}

void HardwareProtocolJXRCAN::Connect() {
    Log()->add("ProtocolJXRCAN: connecting");
    errorFree.store(false);
    communicationActive.store(false);
    ClearAnswerWatch();
    if (!canInterface.IsConnected()) canInterface.Connect();
    const bool connected = canInterface.IsConnected();
    if (connected) {
        // Drives left enabled by an earlier run must not take the first set-points: they
        // stay off until the operator enables them.
        connectCount.fetch_add(1);
        DisableDrives();
    }
    communicationActive.store(connected);
}

void HardwareProtocolJXRCAN::Disconnect() {
    errorFree.store(false);
    if (canInterface.IsConnected()) canInterface.Disconnect();
}

bool HardwareProtocolJXRCAN::GetConnectionStatus() { return canInterface.IsConnected(); }

void HardwareProtocolJXRCAN::AppendErrorTexts(int code, std::string& text, std::string& shortText) {
    AppendJXRErrorTexts(kErrorBits, code, text, shortText);
}

void HardwareProtocolJXRCAN::DecodeErrorCode(int code, std::string* text, std::string* shortText) {
    text->clear();
    shortText->clear();
    AppendErrorTexts(code, *text, *shortText);
    if ((code & 0x3FF) == 0) errorFree.store(true);
}

void HardwareProtocolJXRCAN::GetError(std::string& text, std::string& shortText) {
    errorFree.store(false);
    static const char kPrefix[] = "Status: ";
    constexpr size_t kPrefixLength = sizeof(kPrefix) - 1;
    text.assign(kPrefix);
    shortText.clear();
    int status = kNotConnectedStatus;
    if (canInterface.IsConnected()) {
        int combined = 0;
        for (int j = 0; j < robotJointCount; ++j) combined |= joints[static_cast<size_t>(j)].errorCode.load();
        AppendErrorTexts(combined, text, shortText);
        if ((combined & 0x3FF) == 0) errorFree.store(true);
        status = combined;
    } else {
        text.append("not connected");
        shortText.assign("NotConnected");
    }
    if (status != lastStatusCode.load()) {
        Log()->addFormat("CAN status changed: %s", text.c_str() + kPrefixLength);
        lastStatusCode.store(status);
    }
}

void HardwareProtocolJXRCAN::GetError(std::string* perJoint) {
    std::string scratch;
    for (int j = 0; j < robotJointCount; ++j) {
        const int code = joints[static_cast<size_t>(j)].errorTextCode.load();
        if (code == kErrorTextNotAvailable) {
            perJoint[j] = "na";
        } else {
            scratch.clear();
            perJoint[j].clear();
            AppendErrorTexts(code, scratch, perJoint[j]);
        }
    }
}

void HardwareProtocolJXRCAN::GetErrorHexCode(int* perJoint) {
    for (int j = 0; j < robotJointCount; ++j) perJoint[j] = joints[static_cast<size_t>(j)].errorCode.load();
}

void HardwareProtocolJXRCAN::SendToJoint(int joint, int dlc, const unsigned char* data) {
    canInterface.WriteMessage(joints[static_cast<size_t>(joint)].canId, dlc, data);
}

void HardwareProtocolJXRCAN::ResetError() {
    communicationActive.store(false);
    // A joint not answering stays so until its answers are back.
    for (int j = 0; j < robotJointCount; ++j) {
        int dlc = 0;
        unsigned char d[8];
        ReleaseAnswering(j, ReadLastMessage(joints[static_cast<size_t>(j)].canId + 1, &dlc, d));
    }
    for (int j = 0; j < robotJointCount; ++j) {
        SendToJoint(j, 2, kJXRResetFrame);
        wait(0.5f);
    }
    communicationActive.store(true);
}

void HardwareProtocolJXRCAN::EnableMotors(bool on) {
    Log()->add(on ? "Enabling motors" : "Disabling motors");
    communicationActive.store(false);
    for (int j = 0; j < robotJointCount; ++j) {
        SendToJoint(j, 2, on ? kJXREnableFrame : kJXRDisableFrame);
        wait(2);
    }
    communicationActive.store(true);
}

bool HardwareProtocolJXRCAN::GetMotorEnabled() {
    if (robotJointCount <= 0) return false;
    for (int j = 0; j < robotJointCount; ++j) {
        if (joints[static_cast<size_t>(j)].enabled.load() != 1) return false;
    }
    return true;
}

void HardwareProtocolJXRCAN::SetJoints(const DataTypes::RobotState& target) {
    if (!canInterface.IsConnected() || !communicationActive.load()) return;
    const std::int64_t now = MonotonicMicros();
    BeginAnswerWatch(now);
    for (int j = 0; j < robotJointCount; ++j) {
        jointData& r = joints[static_cast<size_t>(j)];
        // A NaN set-point holds the last one.
        if (!std::isnan(target.jointSet[j])) r.setPoint = target.jointSet[j];
        const std::int32_t p = SaturateToInt32(r.setPoint.load() * r.GearScale + r.GearZero);
        unsigned char frame[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        frame[0] = 0x04;
        frame[1] = SaturateToUint8(r.velocity.load() / 4.0f + 128.0f, 128);
        frame[2] = static_cast<unsigned char>(p / 256);
        frame[3] = static_cast<unsigned char>(p % 256);
        frame[4] = static_cast<unsigned char>(frameCounter);
        frame[5] = static_cast<unsigned char>(outputBytes[static_cast<size_t>(j)].load() & 0xFF);
        frameCounter = (frameCounter + 1) % 100;
        SendToJoint(j, 6, frame);
        if (gap > 0.0f) wait(gap);
    }
    for (int j = 0; j < robotJointCount; ++j) {
        jointData& r = joints[static_cast<size_t>(j)];
        int dlc = 0;
        unsigned char d[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        const std::int32_t age = ReadLastMessage(r.canId + 1, &dlc, d);
        if (WatchAnswer(j, age, now)) LogNotAnswering("ProtocolJXRCAN", j);
        // A joint that stopped answering reads its last answer, marked dead until a reset.
        const int code = d[0] | (r.notAnswering.load() != 0 ? 0x200 : 0);
        r.errorCode = code;
        r.errorTextCode = code;
        if (code == 0) errorFree.store(true);
        r.enabled = code == 0 ? 1 : 0;
        r.measured = (static_cast<float>(d[2] * 256 + d[3]) - r.GearZero) / r.GearScale;
        r.current = static_cast<float>(d[4]) * r.CurrentScale + r.CurrentZero;
        r.auxValue = static_cast<float>(d[1] - 127);
        r.digitalInputs = static_cast<std::uint64_t>(d[7]);
        r.statusFlag = static_cast<std::uint8_t>(d[7] >> 7);
    }
}

void HardwareProtocolJXRCAN::GetJoints(DataTypes::RobotState* state) {
    for (int j = 0; j < robotJointCount; ++j) state->jointAct[j] = joints[static_cast<size_t>(j)].measured.load();
}

void HardwareProtocolJXRCAN::SetToZeroPos(int joint) {
    LogSingleton* log = Log();
    if (!canInterface.IsConnected()) {
        log->add("ProtocolJXRCAN: Can not set to zero pos before connecting");
        return;
    }
    if (joint < 0 || joint >= robotJointCount) return;
    communicationActive.store(false);
    SendToJoint(joint, 4, kJXRZeroFrame);
    wait(1);
    SendToJoint(joint, 4, kJXRZeroFrame);
    communicationActive.store(true);
    log->addFormat("Setting joint %d to zero pos", joint);
}

void HardwareProtocolJXRCAN::SetIO(int module, int channel, bool value) {
    if (!canInterface.IsConnected() || channel < 0 || channel > 3 || module < 0 ||
        module >= std::min(robotJointCount, kOutputBytes)) {
        return;
    }
    std::atomic<int>& b = outputBytes[static_cast<size_t>(module)];
    if (value) {
        b.fetch_or(1 << channel);
    } else {
        b.fetch_and(~(1 << channel));
    }
}

int HardwareProtocolJXRCAN::GetOutputByte(int joint) const {
    if (joint < 0 || joint >= kOutputBytes) return 0;
    return outputBytes[static_cast<size_t>(joint)].load();
}

void HardwareProtocolJXRCAN::InitDIOModules(int) {}

void HardwareProtocolJXRCAN::GetDIOModuleIDs(unsigned char& a, unsigned char& b, unsigned char& c) {
    a = 0;
    b = 0;
    c = 0;
}

void HardwareProtocolJXRCAN::SetDIOModuleIDs(unsigned char, unsigned char, unsigned char) {}

}  // namespace Hardware
