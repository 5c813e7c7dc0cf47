// belvanto-canopensim: plays CiA 402 drives and CiA 401 I/O modules on the virtual CAN bus.
//
//   BELVANTO_CAN_HUB=SOCKET belvanto-canopensim [--drive ID[:FIRMWARE]]...
//                                              [--io ID[:INPUTBYTES:OUTPUTBYTES]]...
//                                              [--homing-ms MS] [--homing-never ID]...
//
// IDs may be given in hex (0x10). A drive's firmware text defaults to "FIR-v2024"; an I/O
// module has 2 input and 2 output bytes unless told otherwise. --homing-ms sets how long
// every drive reports homing in progress before homing completes; a drive named by
// --homing-never reports homing in progress until it is halted or stopped. Lines on stdin
// change the nodes at run time:
//   silent ID MS      the node sends nothing for MS milliseconds (it still takes commands)
//   inputs ID BITS    the inputs an I/O module reports (e.g. "inputs 0x21 0x01")
// Runs until SIGINT or SIGTERM.

#include "canopensim/CanopenSimulator.h"
#include "simbus/Signals.h"
#include "simbus/StdinLines.h"
#include "platform/CanSocket.h"

#include <unistd.h>

#include <algorithm>
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
                 "usage: %s [--drive ID[:FIRMWARE]]... [--io ID[:IN:OUT]]... [--homing-ms MS] "
                 "[--homing-never ID]...\n(the bus is $%s)\n",
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

// A whole number in [low, high]; false for anything else.
bool ParseWhole(const char* text, long low, long high, long* value) {
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

// One command line from stdin; answers on stdout.
void RunCommand(CanopenSim::CanopenSimulator& simulator, const std::string& line) {
    char word[16] = {};
    char first[32] = {};
    char second[32] = {};
    long node = 0;
    long value = 0;
    const bool three = std::sscanf(line.c_str(), "%15s %31s %31s", word, first, second) == 3 &&
                       ParseWhole(first, 1, 127, &node);
    if (three && std::strcmp(word, "silent") == 0 && ParseWhole(second, 0, 3600000, &value) &&
        simulator.SilenceFor(static_cast<int>(node), std::chrono::milliseconds(value))) {
        std::printf("belvanto-canopensim: node %ld silent for %ld ms\n", node, value);
    } else if (three && std::strcmp(word, "inputs") == 0 && ParseWhole(second, 0, 0x7FFFFFFF, &value) &&
               simulator.SetInputs(static_cast<int>(node), static_cast<std::uint64_t>(value))) {
        std::printf("belvanto-canopensim: inputs of node %ld set to 0x%lX\n", node, value);
    } else if (!line.empty()) {
        std::printf("belvanto-canopensim: unknown command '%s' (silent ID MS, inputs ID BITS)\n", line.c_str());
    }
    std::fflush(stdout);
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
    std::vector<int> homingNever;
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
        } else if (std::strcmp(arg, "--homing-never") == 0 && hasValue) {
            int node = 0;
            if (!ParseNumber(argv[++i], 1, 127, &node, &rest) || *rest != '\0') {
                return Usage(argv[0]);
            }
            homingNever.push_back(node);
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

    for (int node : homingNever) {
        const auto named = [node](const CanopenSim::DriveConfig& d) { return d.nodeId == node; };
        if (std::none_of(drives.begin(), drives.end(), named)) {
            std::fprintf(stderr, "belvanto-canopensim: --homing-never %d: no such drive\n", node);
            return 2;
        }
    }
    CanopenSim::CanopenSimulator simulator;
    std::string error;
    for (CanopenSim::DriveConfig& config : drives) {
        if (std::find(homingNever.begin(), homingNever.end(), config.nodeId) != homingNever.end()) {
            config.homingScript = {{CanopenSim::HomingBits::kInProgress, 0}};  // the last step stays
        } else if (homingMs >= 0) {
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
    SimBus::StdinLines input;
    while (!stopRequested.load() && simulator.IsRunning()) {
        input.Poll(50, [&](const std::string& line) { RunCommand(simulator, line); });
    }
    simulator.Stop();
    return 0;
}
