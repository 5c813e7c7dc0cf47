// Program entry: the banner, version and machine lines, then the application's start-up,
// its main loop until SIGINT, SIGTERM or operator command 99/99, and the orderly exit.
#include "cloud/MqttClient.h"
#include "control/Application.h"
#include "control/CameraLinks.h"
#include "control/Display4DS.h"
#include "control/KeyboardInput.h"
#include "control/ShutdownInit.h"
#include "core/LogSingleton.h"
#include "fieldbus/ModbusLinks.h"
#include "hardware/BoardSupport.h"
#include "remote/ComServerManager.h"

#include <unistd.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

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

// The HVP port: BELVANTO_HVP_PORT when it holds a port number, else 3920.
int HvpPort() {
    const char* value = std::getenv("BELVANTO_HVP_PORT");
    if (value == nullptr || value[0] == '\0') return ComServerManager::kDefaultPort;
    char* end = nullptr;
    const long port = std::strtol(value, &end, 10);
    if (*end != '\0' || port < 1 || port > 65535) {
        LogSingleton::instance()->addFormat("BELVANTO_HVP_PORT '%s' is no port, using %d", value,
                                            ComServerManager::kDefaultPort);
        return ComServerManager::kDefaultPort;
    }
    return static_cast<int>(port);
}

bool EnvironmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
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
    // A reader that went away (the console pipe, a client's socket) is a failed write for
    // whoever wrote, never the end of the controller.
    std::signal(SIGPIPE, SIG_IGN);
    LogSingleton* log = LogSingleton::instance();
    const std::string version = GetSoftwareVersion();

    log->add("");
    log->add("JXR Belvanto robot controller");
    log->add("");
    log->add(version);
    log->set_softwareVersion(version, kVersionMinor, kVersionBuild);
    log->set_opMode(static_cast<operationMode>(0));

    log->addFormat("Board Type: %s", Hardware::BoardSupport::BoardTypeToString(
                                         Hardware::BoardSupport::GetBoardType()));
    log->add("");

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

    // With BELVANTO_SHUTDOWN_LOG set, a power-off only appends its command to that file.
    ShutdownInit::InstallShutdownCommandRunner();

    // Installed before the start-up: a signal during its seconds of waiting still ends the
    // process through the orderly exit, with the counters saved.
    flagStop.store(false);
    std::signal(SIGINT, SIGINT_Handler);
    std::signal(SIGTERM, SIGTERM_Handler);

    KeyboardInput keys(std::cin);
    // The Modbus server: the application starts and stops it (its Stop joins the listener
    // before the robot master goes), the project sets its port and client limit, and the
    // robot loop takes the PLC's external-axis velocities from it.
    Application::Links links = Application::NoOpLinks();
    auto modbus = std::make_unique<Modbus::ModbusServerLink>();
    Modbus::ModbusServerLink* modbusLink = modbus.get();
    links.modbus = std::move(modbus);
    // The process-wide cloud client; the exit closes it (updater, then library client)
    // before the robot master goes.
    auto cloud = std::make_unique<Cloud::MqttClient>(nullptr);
    Cloud::MqttClient* cloudClient = cloud.get();
    links.cloud = std::move(cloud);
    // The HVP server for the PC front ends; the exit stops it and joins its threads.
    auto hvp = std::make_unique<ComServerManager>(HvpPort());
    // Its CONFIG messages read and switch the Modbus server.
    hvp->SetModbus(modbusLink, modbusLink);
    links.servers = std::move(hvp);
    // The serial operator panel, connected at start-up on the robot file's "DisplayPort".
    links.panel = std::make_unique<Display4DS>();
    // The cameras of the project; the main loop builds their HVP lines.
    links.cameras = std::make_unique<CameraManagerLink>();
    Application app(keys, flagStop, std::move(links));
    cloudClient->SetControllerPort(&app.GetControllerPort());
    app.GetRobotMaster().SetExternalJointVelocitySource(modbusLink);
    app.GetProjectManager()->SetModbus(modbusLink);
    app.SetThrowInPass(EnvironmentSet("BELVANTO_TEST_THROW_IN_PASS"));
    app.Start(ApplicationVersion{version, kVersionMajor, kVersionMinor, kVersionBuild});

    const bool loopEndedCleanly = app.Run();

    const int signal = receivedSignal.load();
    if (signal == SIGINT) log->add("SIGINT received.");
    if (signal == SIGTERM) log->add("SIGTERM received.");
    app.Shutdown();
    log->add("Belvanto: Exiting...");
    log->Flush();
    return loopEndedCleanly ? 0 : 1;
}
