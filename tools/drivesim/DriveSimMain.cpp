// belvanto-drivesim: plays the robot's drive modules on the virtual CAN bus.
//
//   BELVANTO_CAN_HUB=SOCKET belvanto-drivesim [ROBOTFILE] [--dio ID]... [--joint ID]...
//                                             [--reference-delay MS] [--reference-never ID]...
//                                             [--no-main-dio]
//
// ROBOTFILE (default $BELVANTO_DRIVESIM_ROBOT) is the robot configuration file the
// controller reads; its joints become modules of the protocol it names. --joint adds a
// further joint module of that kind (gripper, external axis, platform), --dio a digital
// I/O module; IDs may be given in hex (0x50). The main DIO board's supply frame is sent
// every 100 ms unless --no-main-dio. SIGUSR1 sends a shutdown request (stage 1, then
// stage 2 after 200 ms). A module named by --reference-never references until it is
// disabled. Lines on stdin change the modules at run time:
//   inputs ID BITS     the digital inputs a module reports (e.g. "inputs 80 0x01")
//   silent ID MS       the module answers nothing for MS milliseconds (it still takes commands)
// Runs until SIGINT or SIGTERM.

#include "drivesim/DriveSimulator.h"
#include "simbus/Signals.h"
#include "simbus/StdinLines.h"
#include "platform/CanSocket.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kRobotFileEnvironment = "BELVANTO_DRIVESIM_ROBOT";

std::atomic<bool> stopRequested{false};
std::atomic<bool> shutdownRequested{false};

void OnStop(int) { stopRequested.store(true); }
void OnShutdownRequest(int) { shutdownRequested.store(true); }

int Usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [ROBOTFILE] [--dio ID]... [--joint ID]... [--reference-delay MS] "
                 "[--reference-never ID]... [--no-main-dio]\n(ROBOTFILE defaults to $%s; the bus is $%s)\n",
                 program, kRobotFileEnvironment, Platform::kCanHubEnvironment);
    return 2;
}

bool ParseNumber(const char* text, long low, long high, int* value);

// One command line from stdin; answers on stdout.
void RunCommand(DriveSim::DriveSimulator& simulator, const std::string& line) {
    char word[16] = {};
    char id[32] = {};
    char bits[32] = {};
    int canId = 0;
    int value = 0;
    const bool three = std::sscanf(line.c_str(), "%15s %31s %31s", word, id, bits) == 3 &&
                       ParseNumber(id, 0, DriveSim::SimModule::kHighestId, &canId);
    if (three && std::strcmp(word, "inputs") == 0 && ParseNumber(bits, 0, 0xFF, &value) &&
        simulator.SetInputs(canId, static_cast<std::uint8_t>(value))) {
        std::printf("belvanto-drivesim: inputs of 0x%X set to 0x%02X\n", canId, value);
    } else if (three && std::strcmp(word, "silent") == 0 && ParseNumber(bits, 0, 3600000, &value) &&
               simulator.SilenceFor(canId, std::chrono::milliseconds(value))) {
        std::printf("belvanto-drivesim: 0x%X silent for %d ms\n", canId, value);
    } else if (!line.empty()) {
        std::printf("belvanto-drivesim: unknown command '%s' (inputs ID BITS, silent ID MS)\n", line.c_str());
    }
    std::fflush(stdout);
}

bool ParseNumber(const char* text, long low, long high, int* value) {
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string robotFile;
    std::vector<int> dioIds;
    std::vector<int> jointIds;
    int referenceDelayMs = 0;
    std::vector<int> referenceNeverIds;
    bool mainDio = true;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        int value = 0;
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(arg, "--dio") == 0 && hasValue &&
            ParseNumber(argv[i + 1], 0, DriveSim::SimModule::kHighestId, &value)) {
            dioIds.push_back(value);
            ++i;
        } else if (std::strcmp(arg, "--joint") == 0 && hasValue &&
                   ParseNumber(argv[i + 1], 0, DriveSim::SimModule::kHighestId, &value)) {
            jointIds.push_back(value);
            ++i;
        } else if (std::strcmp(arg, "--reference-delay") == 0 && hasValue &&
                   ParseNumber(argv[i + 1], 0, 3600000, &value)) {
            referenceDelayMs = value;
            ++i;
        } else if (std::strcmp(arg, "--reference-never") == 0 && hasValue &&
                   ParseNumber(argv[i + 1], 0, DriveSim::SimModule::kHighestId, &value)) {
            referenceNeverIds.push_back(value);
            ++i;
        } else if (std::strcmp(arg, "--no-main-dio") == 0) {
            mainDio = false;
        } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            Usage(argv[0]);
            return 0;
        } else if (arg[0] != '-' && robotFile.empty()) {
            robotFile = arg;
        } else {
            return Usage(argv[0]);
        }
    }
    if (robotFile.empty()) {
        const char* env = std::getenv(kRobotFileEnvironment);
        robotFile = env != nullptr ? env : "";
    }
    const char* hub = std::getenv(Platform::kCanHubEnvironment);
    if (robotFile.empty() || hub == nullptr || hub[0] == '\0') {
        return Usage(argv[0]);
    }

    DriveSim::RobotFileModules file;
    std::string error;
    if (!DriveSim::ReadRobotFile(robotFile, &file, &error)) {
        std::fprintf(stderr, "belvanto-drivesim: %s\n", error.c_str());
        return 2;
    }
    DriveSim::DriveSimulator simulator;
    simulator.SetRecordCapacity(0);  // nobody reads the record here
    for (const DriveSim::ModuleConfig& joint : file.joints) {
        simulator.AddModule(joint);
    }
    for (int id : jointIds) {
        DriveSim::ModuleConfig config;
        config.kind = file.kind;
        config.canId = id;
        if (!simulator.AddModule(config, &error)) {
            std::fprintf(stderr, "belvanto-drivesim: --joint %d: %s\n", id, error.c_str());
            return 2;
        }
    }
    for (int id : dioIds) {
        DriveSim::ModuleConfig config;
        config.kind = DriveSim::ModuleKind::Dio;
        config.canId = id;
        if (!simulator.AddModule(config, &error)) {
            std::fprintf(stderr, "belvanto-drivesim: --dio %d: %s\n", id, error.c_str());
            return 2;
        }
    }
    simulator.SetReferenceDelayMsAll(referenceDelayMs);
    for (int id : referenceNeverIds) {
        if (!simulator.SetReferenceNever(id, true)) {
            std::fprintf(stderr, "belvanto-drivesim: --reference-never %d: no such module\n", id);
            return 2;
        }
    }
    DriveSim::MainDio board;
    board.active = mainDio;
    simulator.SetMainDio(board);

    SimBus::InstallSignalHandler(SIGINT, OnStop);
    SimBus::InstallSignalHandler(SIGTERM, OnStop);
    SimBus::InstallSignalHandler(SIGUSR1, OnShutdownRequest);

    const int rc = simulator.Start(hub);
    if (rc != 0) {
        std::fprintf(stderr, "belvanto-drivesim: cannot attach to the CAN hub %s: %s\n", hub,
                     std::strerror(rc));
        return 1;
    }
    std::printf("belvanto-drivesim: %s on %s, protocol %s\n", robotFile.c_str(), hub,
                file.protocol.c_str());
    for (int id : simulator.ModuleIds()) {
        DriveSim::ModuleState state;
        simulator.GetModuleState(id, &state);
        std::printf("  %s module on CAN ID 0x%X (%d)\n", DriveSim::ModuleKindName(state.kind), id, id);
    }
    std::fflush(stdout);

    SimBus::StdinLines input;
    while (!stopRequested.load() && simulator.IsRunning()) {
        if (shutdownRequested.exchange(false)) {
            simulator.SendShutdownRequest(DriveSim::kShutdownStage1);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            simulator.SendShutdownRequest(DriveSim::kShutdownStage2);
            std::printf("belvanto-drivesim: shutdown request sent\n");
            std::fflush(stdout);
        }
        input.Poll(50, [&](const std::string& line) { RunCommand(simulator, line); });
    }
    const bool hubLost = !stopRequested.load();
    simulator.Stop();
    if (hubLost) {
        std::fprintf(stderr, "belvanto-drivesim: the CAN hub went away\n");
        return 1;
    }
    std::printf("belvanto-drivesim: stopped\n");
    return 0;
}
