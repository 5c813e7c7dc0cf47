// Program entry. For now the start-up covers what the core can do: the log singleton's
// banner, the version, the data root; then it idles until SIGINT or SIGTERM.
#include "core/LogSingleton.h"

#include <unistd.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <string>

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

    flagStop.store(false);
    std::signal(SIGINT, SIGINT_Handler);
    std::signal(SIGTERM, SIGTERM_Handler);

    while (!flagStop.load()) {
        wait(25);
    }

    log->add(receivedSignal.load() == SIGINT ? "SIGINT received." : "SIGTERM received.");
    log->add("Belvanto: Exiting...");
    log->Flush();
    return 0;
}
