// belvanto-looptiming [--seconds N] [--mode 1|2|both] [--cycle MS] [--keep]
//
// Runs the robot loop against simulated version-2 drives on the virtual CAN bus and
// reports, from the hub's pcap recording, how regularly the cycles reach the bus: the
// number of cycles (set-point frames of joint 1), the interval histogram (min, median,
// p99, p99.9, max) and the loop thread's CPU share (utime + stime from /proc). The robot
// is reset and enabled and then stands still, so every cycle sends its set-points.
#include "LoopTimingRobot.h"

#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "drivesim/DriveSimulator.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// utime + stime of the named thread of this process, in clock ticks; -1 when not found.
long long ThreadTicks(const std::string& name) {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    long long ticks = -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string base = std::string("/proc/self/task/") + entry->d_name;
        std::ifstream comm(base + "/comm");
        std::string threadName;
        std::getline(comm, threadName);
        if (threadName != name) continue;
        std::ifstream statFile(base + "/stat");
        std::string stat;
        std::getline(statFile, stat);
        // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
        std::istringstream rest(stat.substr(stat.rfind(')') + 2));
        std::string field;
        long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stoll(field);
            if (i == 15) stime = std::stoll(field);
        }
        ticks = utime + stime;
    }
    closedir(dir);
    return ticks;
}

// Hub reception times (µs) of joint 1's set-point frames in a pcap recording.
std::vector<std::int64_t> CycleStamps(const std::string& pcapPath) {
    std::vector<std::int64_t> stamps;
    std::FILE* f = std::fopen(pcapPath.c_str(), "rb");
    if (f == nullptr) return stamps;
    unsigned char header[24];
    if (std::fread(header, sizeof header, 1, f) != 1) {
        std::fclose(f);
        return stamps;
    }
    for (;;) {
        std::uint32_t record[4];
        if (std::fread(record, sizeof record, 1, f) != 1) break;
        std::vector<unsigned char> data(record[2]);
        if (record[2] == 0 || std::fread(data.data(), data.size(), 1, f) != 1) break;
        if (data.size() < 16) continue;
        std::uint32_t id;
        std::memcpy(&id, data.data(), sizeof id);
        id = ntohl(id) & CAN_SFF_MASK;
        const unsigned char command = data[8];
        if (id == 0x10 && (command == 0x14 || command == 0x16 || command == 0x25)) {
            stamps.push_back(static_cast<std::int64_t>(record[0]) * 1000000 + record[1]);
        }
    }
    std::fclose(f);
    return stamps;
}

double Percentile(const std::vector<std::int64_t>& sorted, double p) {
    if (sorted.empty()) return 0.0;
    const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5));
    return static_cast<double>(sorted[index]);
}

int RunMode(const std::string& folder, int mode, int cycleMs, int seconds) {
    const std::string hubPath = folder + "/bus-" + std::to_string(getpid()) + ".sock";
    const std::string pcapPath = folder + "/loop-mode" + std::to_string(mode) + ".pcap";
    Platform::VirtualCanHub hub;
    if (hub.Start(hubPath, pcapPath) != 0) {
        std::fprintf(stderr, "hub: %s\n", hub.ErrorText().c_str());
        return 1;
    }
    setenv(Platform::kCanHubEnvironment, hubPath.c_str(), 1);
    DriveSim::DriveSimulator sim;
    std::string error;
    sim.SetRecordCapacity(1000);
    if (!sim.LoadRobotFile(folder + "/Data/Robots/" + LoopTiming::kRobotFile, &error) || sim.Start(hubPath) != 0) {
        std::fprintf(stderr, "drive simulator: %s\n", error.c_str());
        return 1;
    }

    long long ticksBefore = -1;
    long long ticksAfter = -1;
    double wallSeconds = 0.0;
    float frequency = 0.0f, workload = 0.0f, minCycle = 0.0f, maxCycle = 0.0f;
    std::vector<LoopStepProfile::Cycle> slowest;
    {
        auto master = LoopTiming::StartRobot(cycleMs, mode, error);
        if (!master) {
            std::fprintf(stderr, "robot master: %s\n", error.c_str());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // settle
        master->ResetMaxCycleTime();
        master->ResetMinCycleTime();
        const auto start = std::chrono::steady_clock::now();
        ticksBefore = ThreadTicks("RobotLoop");
        master->TakeSlowestCycle();
        // The slowest cycle of each second, read off the loop; the three slowest are shown.
        for (int s = 0; s < seconds; ++s) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            slowest.push_back(master->TakeSlowestCycle());
        }
        ticksAfter = ThreadTicks("RobotLoop");
        wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        frequency = master->GetFrequency();
        workload = master->GetWorkload();
        minCycle = master->GetMinCycleTime();
        maxCycle = master->GetMaxCycleTime();
        master->StopMainLoop();
    }
    sim.Stop();
    hub.Stop();
    unsetenv(Platform::kCanHubEnvironment);

    const std::vector<std::int64_t> stamps = CycleStamps(pcapPath);
    std::vector<std::int64_t> intervals;
    for (size_t i = 1; i < stamps.size(); ++i) intervals.push_back(stamps[i] - stamps[i - 1]);
    std::sort(intervals.begin(), intervals.end());
    const double cpu = ticksBefore >= 0 && ticksAfter >= 0
                           ? static_cast<double>(ticksAfter - ticksBefore) / static_cast<double>(sysconf(_SC_CLK_TCK)) /
                                 wallSeconds
                           : -1.0;
    std::printf("mode %d, CycleTimeMS %d, %d s (%s)\n", mode, cycleMs, seconds, pcapPath.c_str());
    std::printf("  cycles on the bus: %zu (expected about %.0f for the whole recording)\n", stamps.size(),
                stamps.size() > 1 ? static_cast<double>(stamps.back() - stamps.front()) / (cycleMs * 1000.0) + 1 : 0.0);
    std::printf("  interval us: min %.0f  median %.0f  p99 %.0f  p99.9 %.0f  max %.0f\n",
                intervals.empty() ? 0.0 : static_cast<double>(intervals.front()), Percentile(intervals, 0.5),
                Percentile(intervals, 0.99), Percentile(intervals, 0.999),
                intervals.empty() ? 0.0 : static_cast<double>(intervals.back()));
    std::printf("  loop thread CPU share: %.1f %%\n", cpu * 100.0);
    std::printf("  loop's own figures: frequency %.2f Hz, load %.3f, cycle min %.0f us, max %.0f us\n", frequency,
                workload, minCycle, maxCycle);
    std::sort(slowest.begin(), slowest.end(), [](const LoopStepProfile::Cycle& a, const LoopStepProfile::Cycle& b) {
        return a.totalUs > b.totalUs;
    });
    for (size_t i = 0; i < std::min<size_t>(3, slowest.size()); ++i) {
        std::printf("  slow cycle's work %u us:", slowest[i].totalUs);
        for (int step = 0; step < LoopStepProfile::kSteps; ++step) {
            std::printf(" %s %u", LoopStepProfile::StepName(step), slowest[i].stepUs[step]);
        }
        std::printf("\n");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    int cycleMs = 4;
    std::string modes = "both";
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (a == "--mode" && i + 1 < argc) {
            modes = argv[++i];
        } else if (a == "--cycle" && i + 1 < argc) {
            cycleMs = std::atoi(argv[++i]);
        } else if (a == "--keep") {
            keep = true;
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--mode 1|2|both] [--cycle MS] [--keep]\n", argv[0]);
            return 2;
        }
    }
    char pattern[] = "/tmp/belvanto-looptiming-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string folder = pattern;
    LoopTiming::WriteRobotFile(folder, cycleMs);
    std::filesystem::current_path(folder);
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    LogSingleton::instance();

    int result = 0;
    if (modes == "1" || modes == "both") result |= RunMode(folder, 1, cycleMs, seconds);
    if (modes == "2" || modes == "both") result |= RunMode(folder, 2, cycleMs, seconds);
    if (!keep) {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    } else {
        std::printf("recordings kept in %s\n", folder.c_str());
    }
    return result;
}
