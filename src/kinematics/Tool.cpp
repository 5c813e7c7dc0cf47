#include "kinematics/Tool.h"

#include "core/LogSingleton.h"
#include "core/PathCheck.h"
#include "core/StringHelper.h"
#include "core/XmlNumber.h"

#include <tinyxml2.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr char kToolFolder[] = "Data/Tools/";

LogSingleton* Log() { return LogSingleton::instance(); }

void Fail(const std::string& line, const char* reason) { Log()->SeriousFailure(line, reason); }

float Clamp100(float p) { return std::min(100.0f, std::max(0.0f, p)); }

// Gripper channels are 1-based in the file and name one of the 64 digital outputs.
void ReadChannel(const tinyxml2::XMLElement* e, const char* attr, int& channel) {
    int value = 0;
    if (e->QueryIntAttribute(attr, &value) != tinyxml2::XML_SUCCESS) {
        return;
    }
    if (value > 0) {
        value -= 1;
    }
    if (value < 0 || value > Tool::maxChannel) {
        Log()->addFormat("Tool: attribute \"%s\" = %d out of range 1..%d, channel not used", attr,
                         value > 0 ? value + 1 : value, Tool::maxChannel + 1);
        channel = -1;
        return;
    }
    channel = value;
}

}  // namespace

Tool::Tool() = default;

void Tool::Init(const std::string& name) {
    BusID = 112;
    GearScale = -10.0f;
    GearZero = 210.0f;
    targetPercent = 30.0f;
    currentPercent = 0.0f;
    hwPosition = 0.0f;
    percentScale = 0.0f;
    MotionVel = 3.0f;
    MotionMin = 0.0f;
    MotionMax = 70.0f;

    const std::string path = Log()->get_rootPath() + kToolFolder + name;
    // Tool names come from the project and the remote protocol: stay below Data/Tools/.
    if (Filesystem::IsSafeRelativePath(name)) {
        ReadConfigFile(path);
    } else {
        Log()->add("Tool: reading ini file \"" + path + "\"");
        Fail("Tool: could not find tool ini file: " + path, "41 Tool Ini file not found");
    }

    // The tool file's A turns about x and its C about z: the reverse of the robot pose.
    toolMatrix = DataTypes::Matrix44();
    toolMatrix.SetRotationABCDeg2(offsetRotation.z, offsetRotation.y, offsetRotation.x);
    toolMatrix.SetTranslation(offsetPosition);
    toolMatrixInverse = toolMatrix.Inverse();
    percentScale = (MotionMax - MotionMin) / 100.0f;

    Log()->addFormat("   Offsets: x: %.1lf  y: %.1lf  z: %.1lf  -   a: %.1lf  b: %.1lf  c: %.1lf",
                     static_cast<double>(offsetPosition.x), static_cast<double>(offsetPosition.y),
                     static_cast<double>(offsetPosition.z), static_cast<double>(offsetRotation.x),
                     static_cast<double>(offsetRotation.y), static_cast<double>(offsetRotation.z));
    if (motionType == "rotationaltwofinger") {
        Log()->addFormat("  RotationalTwoFinger : motionVel %.1lf - motionMin %.1lf - motionMax %.1lf",
                         static_cast<double>(MotionVel), static_cast<double>(MotionMin),
                         static_cast<double>(MotionMax));
    }
}

void Tool::ReadConfigFile(const std::string& path) {
    Log()->add("Tool: reading ini file \"" + path + "\"");

    std::FILE* probe = std::fopen(path.c_str(), "r");
    if (probe == nullptr) {
        Fail("Tool: could not find tool ini file: " + path, "41 Tool Ini file not found");
        return;
    }
    std::fclose(probe);

    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        Fail("Tool: could not read tool ini file XML code correctly: " + path, "42 Tool Ini file not valid");
        return;
    }
    const tinyxml2::XMLElement* root = doc.FirstChildElement("Tool");
    if (root == nullptr) {
        Fail("Tool: line \"Tool\" not found in tool ini file!", "43 Tool Ini file not complete");
        return;
    }

    const tinyxml2::XMLElement* offset = root->FirstChildElement("OFFSET");
    if (offset == nullptr) {
        Fail("Tool: line \"OFFSET\" not found in .ini file!", "44 Tool Ini file not complete");
        return;
    }
    // All six are replaced; a missing one counts as 0.
    const XmlNumber::FileNumbers numbers("Tool", "tool ini file", "42 Tool Ini file not valid");
    float offsets[6] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    static const char* const kOffsetNames[6] = {"OffsetX", "OffsetY", "OffsetZ", "OffsetA", "OffsetB", "OffsetC"};
    for (int i = 0; i < 6; ++i) numbers.Read(offset, kOffsetNames[i], offsets[i]);
    offsetPosition = DataTypes::Vector3(offsets[0], offsets[1], offsets[2]);
    offsetRotation = DataTypes::Vector3(offsets[3], offsets[4], offsets[5]);

    const tinyxml2::XMLElement* kinematic = root->FirstChildElement("KINEMATIC");
    if (kinematic == nullptr) {
        Fail("Tool: line \"KINEMATIC\" not found in ini file!", "45 Tool Ini file not complete");
        return;
    }
    const char* motion = kinematic->Attribute("Motion");
    if (motion == nullptr) {
        motionType = "none";
        Fail("Tool: attribute \"Motion\" not found in line \"Kinematic\" of tool file!", "46 Tool Ini file not complete");
        return;
    }
    motionType = StringHelper::ToLower(motion);
    if (motionType == "linear" || motionType == "rotational" || motionType == "rotationaltwofinger") {
        numbers.Read(kinematic, "MotionMin", MotionMin);
        numbers.Read(kinematic, "MotionMax", MotionMax);
        numbers.Read(kinematic, "MotionVel", MotionVel);
    } else if (motionType == "digital") {
        numbers.Read(kinematic, "MotionVel", MotionVel);
    }

    const tinyxml2::XMLElement* iface = root->FirstChildElement("INTERFACE");
    if (iface == nullptr) {
        Fail("Tool: line \"INTERFACE\" not found in ini file!", "47 Tool Ini file not complete");
        return;
    }
    const char* proto = iface->Attribute("Protocol");
    if (proto == nullptr) {
        protocol = "none";
        Fail("Tool: attribute \"Protocol\" not found in line \"INTERFACE\" of tool file!",
             "48 Tool Ini file not complete");
        return;
    }
    protocol = StringHelper::ToLower(proto);
    if (protocol == "bus") {
        iface->QueryIntAttribute("BusID", &BusID);
        numbers.Read(iface, "GearScale", GearScale);
        numbers.Read(iface, "GearZero", GearZero);
    } else if (protocol == "digital") {
        ReadChannel(iface, "ChannelEnable", ChannelEnable);
        ReadChannel(iface, "ChannelOpenClose", ChannelOpenClose);
    }
}

bool Tool::CheckConfigFileExists(const std::string& name) const {
    if (!Filesystem::IsSafeRelativePath(name)) {
        return false;
    }
    const std::string path = Log()->get_rootPath() + kToolFolder + name;
    return access(path.c_str(), F_OK) == 0;
}

void Tool::SetTargetValue(float percent) {
    // A NaN set-point would reach the drive as a NaN position: keep the old target.
    if (std::isnan(percent)) {
        return;
    }
    targetPercent = Clamp100(percent);
}

void Tool::JogGripper(float direction) {
    const float next = targetPercent + MotionVel * direction;
    if (std::isnan(next)) {
        return;
    }
    targetPercent = Clamp100(next);
}

void Tool::Update() {
    const float d = targetPercent - currentPercent;
    if (std::fabs(d) < MotionVel) {
        currentPercent = targetPercent;
    } else if (d > 0.0f) {
        currentPercent += MotionVel;
    } else if (d < 0.0f) {
        currentPercent -= MotionVel;
    }
    UpdateNoVel();
}

void Tool::UpdateNoVel() { hwPosition = MotionMin + percentScale * currentPercent; }

void Tool::SetHWPosition(float hw) {
    hwPosition = hw;
    if (percentScale > 0.0f) {
        currentPercent = targetPercent = (hw - MotionMin) / percentScale;
    }
}
