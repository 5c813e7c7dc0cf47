// belvanto-canopensim: plays CiA 402 drives and CiA 401 I/O modules on the virtual CAN bus.
//
//   BELVANTO_CAN_HUB=SOCKET belvanto-canopensim [--drive ID[:FIRMWARE]]...
//                                              [--io ID[:INPUTBYTES:OUTPUTBYTES]]...
//                                              [--homing-ms MS]
//
// IDs may be given in hex (0x10). A drive's firmware text defaults to "FIR-v2024"; an I/O
// module has 2 input and 2 output bytes unless told otherwise. --homing-ms sets how long
// every drive reports homing in progress before homing completes. Runs until SIGINT or
// SIGTERM.

#include "canopensim/CanopenSimulator.h"
#include "simbus/Signals.h"
#include "platform/CanSocket.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> stopRequested{false};

void OnStop(int) { stopRequested.store(true); }

int Usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--drive ID[:FIRMWARE]]... [--io ID[:IN:OUT]]... [--homing-ms MS]\n"
                 "(the bus is $%s)\n",
                 program, Platform::kCanHubEnvironment);
    return 2;
}

// Parses a number that ends at `stop` (or the end of the text); *rest points after it.
bool ParseNumber(const char* text, long low, long high, int* value, const char** rest) {
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || parsed < low || parsed > high) {
        return false;
    }
    *value = static_cast<int>(parsed);
    *rest = end;
    return true;
}

bool ParseDrive(const char* text, CanopenSim::DriveConfig* config) {
    const char* rest = nullptr;
    if (!ParseNumber(text, 1, 127, &config->nodeId, &rest)) {
        return false;
    }
    if (*rest == ':') {
        config->firmware = rest + 1;
        return true;
    }
    return *rest == '\0';
}

bool ParseIo(const char* text, CanopenSim::IoConfig* config) {
    const char* rest = nullptr;
    if (!ParseNumber(text, 1, 127, &config->nodeId, &rest)) {
        return false;
    }
    if (*rest == '\0') {
        return true;
    }
    return *rest == ':' &&
           ParseNumber(rest + 1, 0, CanopenSim::kMaxIoBytes, &config->inputBytes, &rest) &&
           *rest == ':' &&
           ParseNumber(rest + 1, 0, CanopenSim::kMaxIoBytes, &config->outputBytes, &rest) &&
           *rest == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<CanopenSim::DriveConfig> drives;
    std::vector<CanopenSim::IoConfig> modules;
    int homingMs = -1;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool hasValue = i + 1 < argc;
        const char* rest = nullptr;
        if (std::strcmp(arg, "--drive") == 0 && hasValue) {
            CanopenSim::DriveConfig config;
            if (!ParseDrive(argv[++i], &config)) {
                return Usage(argv[0]);
            }
            drives.push_back(config);
        } else if (std::strcmp(arg, "--io") == 0 && hasValue) {
            CanopenSim::IoConfig config;
            if (!ParseIo(argv[++i], &config)) {
                return Usage(argv[0]);
            }
            modules.push_back(config);
        } else if (std::strcmp(arg, "--homing-ms") == 0 && hasValue &&
                   ParseNumber(argv[i + 1], 0, 3600000, &homingMs, &rest) && *rest == '\0') {
            ++i;
        } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            Usage(argv[0]);
            return 0;
        } else {
            return Usage(argv[0]);
        }
    }
    const char* hub = std::getenv(Platform::kCanHubEnvironment);
    if (hub == nullptr || hub[0] == '\0' || (drives.empty() && modules.empty())) {
        return Usage(argv[0]);
    }

    CanopenSim::CanopenSimulator simulator;
    std::string error;
    for (CanopenSim::DriveConfig& config : drives) {
        if (homingMs >= 0) {
            config.homingScript = {{CanopenSim::HomingBits::kInProgress, homingMs},
                                   {CanopenSim::HomingBits::kCompleted, 0}};
        }
        if (!simulator.AddDrive(config, &error)) {
            std::fprintf(stderr, "belvanto-canopensim: --drive %d: %s\n", config.nodeId, error.c_str());
            return 2;
        }
    }
    for (const CanopenSim::IoConfig& config : modules) {
        if (!simulator.AddIoModule(config, &error)) {
            std::fprintf(stderr, "belvanto-canopensim: --io %d: %s\n", config.nodeId, error.c_str());
            return 2;
        }
    }
    SimBus::InstallSignalHandler(SIGINT, OnStop);
    SimBus::InstallSignalHandler(SIGTERM, OnStop);
    const int rc = simulator.Start(hub);
    if (rc != 0) {
        std::fprintf(stderr, "belvanto-canopensim: cannot attach to %s: %s\n", hub, std::strerror(rc));
        return 1;
    }
    std::printf("belvanto-canopensim: %zu drive(s), %zu I/O module(s) on %s\n", drives.size(),
                modules.size(), hub);
    std::fflush(stdout);
    while (!stopRequested.load() && simulator.IsRunning()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    simulator.Stop();
    return 0;
}
