// Cloud telemetry costs: one CollectData pass plus the comparison with the last set for a
// six-joint robot, and the CPU share of the updater thread (and of the whole process, with
// the library's threads and TLS keep-alive) while the link is connected and the telemetry
// does not change (needs mosquitto and openssl, skipped otherwise).

#include "cloud/MqttClient.h"
#include "cloud/TelemetryData.h"
#include "control/RobotMaster.h"
#include "control/RobotMasterPort.h"
#include "core/DeviceIdentity.h"
#include "core/LogSingleton.h"
#include "hardware/HardwareProtocol.h"
#include "testsupport/LoopbackSocket.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>
#include <thread>

namespace {

// Six joint modules answering like a version-2 bus at rest.
class SixJointProtocol : public Hardware::HardwareProtocol {
public:
    SixJointProtocol() : HardwareProtocol(nullptr) { ResizeRole(ModuleRole::RobotJoint, 6); }
    void GetError(std::string& text, std::string& code) override {
        text = "Status: No_Error MNE";
        code = "NoError";
    }
    void GetError(std::string* perModule) override {
        for (int i = 0; i < 6; ++i) perModule[i] = i == 3 ? "na" : "NoError";
    }
    void GetTempValues(float* perModule) override {
        for (int i = 0; i < 6; ++i) perModule[i] = 31.25f + static_cast<float>(i);
    }
};

void BM_CollectDataAndCompare(benchmark::State& state) {
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    RobotMaster master;
    master.SetHardwareProtocol(std::make_unique<SixJointProtocol>());
    Control::RobotMasterPort port(master, nullptr);
    Cloud::TelemetryData last;
    last.CollectData(&port);
    for (auto _ : state) {
        Cloud::TelemetryData data;
        data.CollectData(&port);
        const bool changed = data != last;
        benchmark::DoNotOptimize(changed);
    }
}
BENCHMARK(BM_CollectDataAndCompare)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

std::string Shell(const std::string& command) {
    return std::system(command.c_str()) == 0 ? "" : "failed: " + command;
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The CPU seconds of this process's thread with the given name, or -1 when there is none.
double ThreadCpuSeconds(const std::string& name) {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return -1.0;
    double seconds = -1.0;
    while (const dirent* entry = readdir(tasks)) {
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::string comm;
        std::getline(std::ifstream(task + "/comm"), comm);
        if (comm != name) continue;
        std::string stat;
        std::getline(std::ifstream(task + "/stat"), stat);
        // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        double ticks = 0.0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i >= 14) ticks += std::stod(field);
        }
        seconds = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
        break;
    }
    closedir(tasks);
    return seconds;
}

void BM_ConnectedIdleCpuShare(benchmark::State& state) {
    if (access("/usr/sbin/mosquitto", X_OK) != 0 || access("/usr/bin/openssl", X_OK) != 0) {
        state.SkipWithError("mosquitto or openssl missing");
        return;
    }
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    char pattern[] = "/tmp/belvanto_cloud_bench_XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const int port = TestSupport::FreePort();
    std::string error = Shell(
        "cd " + dir +
        " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem"
        " -days 1 -subj /CN=bench >/dev/null 2>&1"
        " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out server.csr"
        " -subj /CN=broker >/dev/null 2>&1 && echo subjectAltName=IP:127.0.0.1 > ext"
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 1"
        " -extfile ext >/dev/null 2>&1 && mosquitto_passwd -b -c passwd bench benchpw"
        " && printf 'listener " + std::to_string(port) + " 127.0.0.1\\ncafile " + dir + "/ca.pem\\ncertfile " + dir +
        "/server.pem\\nkeyfile " + dir + "/server.key\\nallow_anonymous false\\npassword_file " + dir +
        "/passwd\\npersistence false\\nuser '$(id -un)'\\npid_file " + dir + "/pid\\n' > conf"
        " && mosquitto -c conf -d && sleep 1");
    if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::string root = LogSingleton::instance()->get_rootPath();
    Shell("cp " + dir + "/ca.pem '" + root + Cloud::MqttClient::kCaFileName + "'");
    setenv(Cloud::MqttClient::kUriEnvironment, ("ssl://127.0.0.1:" + std::to_string(port)).c_str(), 1);
    DeviceIdentity::SetDeviceIdOverride("bench-device-identity-000000");

    RobotMaster master;
    master.SetHardwareProtocol(std::make_unique<SixJointProtocol>());
    Control::RobotMasterPort controller(master, nullptr);
    {
        Cloud::MqttClient client(&controller);
        client.SetClientId("bench");
        client.SetCredentials("bench", "benchpw");
        client.SetEnabled(true);
        for (int i = 0; i < 200 && !client.IsConnected(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!client.IsConnected()) state.SkipWithError("no connection to the local broker");
        std::this_thread::sleep_for(std::chrono::seconds(1));  // past the first set
        for (auto _ : state) {
            const double cpu0 = ProcessCpuSeconds();
            const double updater0 = ThreadCpuSeconds(Cloud::MqttClient::kUpdaterThreadName);
            const auto wall0 = std::chrono::steady_clock::now();
            // Several unchanged sets; one clock tick (10 ms) is then 0.03 % of the span.
            std::this_thread::sleep_for(std::chrono::seconds(30));
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
            const double updater1 = ThreadCpuSeconds(Cloud::MqttClient::kUpdaterThreadName);
            if (updater0 < 0.0 || updater1 < 0.0) state.SkipWithError("updater thread not found");
            state.counters["updater_cpu_percent"] = 100.0 * (updater1 - updater0) / wall;
            state.counters["process_cpu_percent"] = 100.0 * (ProcessCpuSeconds() - cpu0) / wall;
        }
        client.SetEnabled(false);
    }
    Shell("kill $(cat " + dir + "/pid) 2>/dev/null; rm -rf " + dir + " '" + root + Cloud::MqttClient::kCaFileName + "'");
    unsetenv(Cloud::MqttClient::kUriEnvironment);
    DeviceIdentity::SetDeviceIdOverride("");
}
BENCHMARK(BM_ConnectedIdleCpuShare)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
