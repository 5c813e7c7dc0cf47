#pragma once

// Small pieces several benches share: a working folder of their own and latency counters.

#include "core/LogSingleton.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace BenchSupport {

// A temporary working folder, /tmp/belvanto-<name>-XXXXXX: the log singleton writes its
// files there, without its start-up pause (set before any robot master asks for the log).
// Removed with everything in it when the object goes away.
class BenchFolder {
public:
    explicit BenchFolder(const std::string& name) {
        std::string pattern = "/tmp/belvanto-" + name + "-XXXXXX";
        folder = mkdtemp(pattern.data()) != nullptr ? pattern : "/tmp";
        std::filesystem::current_path(folder);
        LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    }
    ~BenchFolder() {
        if (folder == "/tmp") return;
        std::error_code ec;
        std::filesystem::current_path("/", ec);
        std::filesystem::remove_all(folder, ec);
    }
    BenchFolder(const BenchFolder&) = delete;
    BenchFolder& operator=(const BenchFolder&) = delete;

    const std::string& Path() const { return folder; }

private:
    std::string folder;
};

// p50, p99 and max of the recorded values as counters "<prefix>p50_<unit>" and so on.
inline void ReportPercentiles(benchmark::State& state, std::vector<double>& values, const std::string& prefix = "",
                              const std::string& unit = "us") {
    if (values.empty()) return;
    std::sort(values.begin(), values.end());
    state.counters[prefix + "p50_" + unit] = values[values.size() / 2];
    state.counters[prefix + "p99_" + unit] = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    state.counters[prefix + "max_" + unit] = values.back();
}

}  // namespace BenchSupport
