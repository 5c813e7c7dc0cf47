// Program entry. Until the robot master and its loop exist, the start-up logs the banner
// and version, finds the data root, brings up the robot named under Data/Robots/ (kinematic
// and drive protocol), exchanges a few cycles with the drives, and idles until SIGINT or
// SIGTERM.
#include "core/Filesystem.h"
#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "hardware/HardwareProtocol.h"
#include "kinematics/RobotKinematic.h"

#include <tinyxml2.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <memory>
#include <string>
#include <vector>

void wait(int ms);

namespace {

const int kVersionMajor = 980;
const int kVersionMinor = 13;
const int kVersionBuild = 30;
const std::string VersionSuffix;

std::atomic<bool> flagStop{false};
// The handlers only record the signal: logging takes a mutex, which is not safe inside a
// signal handler, so the main thread writes the line.
std::atomic<int> receivedSignal{0};

void SIGINT_Handler(int) {
    receivedSignal.store(SIGINT);
    flagStop.store(true);
}

void SIGTERM_Handler(int) {
    receivedSignal.store(SIGTERM);
    flagStop.store(true);
}

// The robot whose folder under Data/Robots/ holds "<folder>/<folder>.xml"; the first one
// in name order. Empty when there is none.
std::string FindRobotType(const std::string& root) {
    const std::string robots = root + "Data/Robots/";
    std::vector<std::string> names;
    if (DIR* dir = opendir(robots.c_str())) {
        while (dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." && Filesystem::IsFile(robots + name + "/" + name + ".xml")) {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    if (names.empty()) return "";
    std::sort(names.begin(), names.end());
    return names.front();
}

struct RobotUnderTest {
    std::unique_ptr<RobotKinematic> kinematic;
    std::unique_ptr<Hardware::HardwareProtocol> protocol;
    int cycleTimeMS = 10;
};

// Builds and connects the robot of the data root and runs a few cycles holding the
// joints where the drives report them.
RobotUnderTest BringUpRobot(LogSingleton* log) {
    RobotUnderTest robot;
    const std::string type = FindRobotType(log->get_rootPath());
    if (type.empty()) {
        log->add("Belvanto: no robot configuration under Data/Robots/, running without drives");
        return robot;
    }
    const std::string file = log->get_rootPath() + "Data/Robots/" + type + "/" + type + ".xml";
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(file.c_str()) != tinyxml2::XML_SUCCESS || doc.FirstChildElement("Robot") == nullptr) {
        log->addFormat("Belvanto: could not read robot file %s", file.c_str());
        return robot;
    }
    const tinyxml2::XMLElement* root = doc.FirstChildElement("Robot");
    const tinyxml2::XMLElement* bus = root->FirstChildElement("BusConfiguration");
    const tinyxml2::XMLElement* kin = root->FirstChildElement("Kinematic");
    const char* protocolName = bus != nullptr ? bus->Attribute("Protocol") : nullptr;
    const char* kinematicType = kin != nullptr ? kin->Attribute("Type") : nullptr;
    if (protocolName == nullptr || kinematicType == nullptr) {
        log->addFormat("Belvanto: robot file %s names no protocol or kinematic type", file.c_str());
        return robot;
    }
    if (bus->IntAttribute("CycleTimeMS", 10) >= 1) robot.cycleTimeMS = bus->IntAttribute("CycleTimeMS", 10);

    robot.kinematic = RobotKinematic::Create(kinematicType);
    if (!robot.kinematic) {
        log->addFormat("Belvanto: unknown kinematic type %s", kinematicType);
        return robot;
    }
    robot.kinematic->Init("Belvanto", type, file, 0);
    robot.protocol = Hardware::HardwareProtocol::Create(protocolName, robot.kinematic.get());
    if (!robot.protocol) return robot;
    robot.protocol->Init("Belvanto", type, file);
    robot.protocol->Connect();
    if (!robot.protocol->GetConnectionStatus()) return robot;

    DataTypes::RobotState state;
    const int cycles = 50;
    for (int i = 0; i < cycles; ++i) {
        robot.protocol->SendSync();
        robot.protocol->GetJoints(&state);
        for (int j = 0; j < 9; ++j) state.jointSet[j] = state.jointAct[j];
        robot.protocol->SetJoints(state);
        wait(robot.cycleTimeMS);
    }
    std::string text, code;
    robot.protocol->GetError(text, code);
    log->addFormat("Belvanto: %d cycles exchanged with the drives, state %s, joints %.2f %.2f %.2f %.2f",
                   cycles, code.c_str(), state.jointAct[0], state.jointAct[1], state.jointAct[2],
                   state.jointAct[3]);
    return robot;
}

}  // namespace

void wait(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

std::string GetSoftwareVersion() {
    char build[16];
    std::snprintf(build, sizeof(build), "%03d", kVersionBuild);
    std::string version =
        "V" + std::to_string(kVersionMajor) + "-" + std::to_string(kVersionMinor) + "-" + build;
    if (!VersionSuffix.empty()) {
        version += "-" + VersionSuffix;
    }
    return version;
}

int main() {
    LogSingleton* log = LogSingleton::instance();
    const std::string version = GetSoftwareVersion();

    log->add("");
    log->add("JXR Belvanto robot controller");
    log->add("");
    log->add(version);
    log->set_softwareVersion(version, kVersionMinor, kVersionBuild);
    log->set_opMode(static_cast<operationMode>(0));

    log->add("Numeric Limits on this machine:");
    char buf[512];
    std::snprintf(buf, sizeof(buf), "Type (unsigned long long):    Size %u byte     Max %llu",
                  static_cast<unsigned>(sizeof(unsigned long long)), ULLONG_MAX);
    log->add(buf);
    std::snprintf(buf, sizeof(buf), "Type (long):                  Size %u byte     Max %ld",
                  static_cast<unsigned>(sizeof(long)), LONG_MAX);
    log->add(buf);
    std::snprintf(buf, sizeof(buf), "Type (int):                   Size %u byte     Max %d",
                  static_cast<unsigned>(sizeof(int)), INT_MAX);
    log->add(buf);
    log->add("");
    log->add("");

    RobotUnderTest robot = BringUpRobot(log);

    flagStop.store(false);
    std::signal(SIGINT, SIGINT_Handler);
    std::signal(SIGTERM, SIGTERM_Handler);

    while (!flagStop.load()) {
        wait(25);
    }

    log->add(receivedSignal.load() == SIGINT ? "SIGINT received." : "SIGTERM received.");
    if (robot.protocol) robot.protocol->Disconnect();
    log->add("Belvanto: Exiting...");
    log->Flush();
    return 0;
}
