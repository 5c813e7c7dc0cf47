// File upload and teach-in over the HVP server while the robot loop runs: a 5,000-line
// (200 KB) program upload on loopback, from its first frame to the clients' "uploaded"
// message, and 1,000 PROG lines sent back to back, to the last PROGACK. Beside each, the
// robot loop's longest cycle (10 ms cycles, timing mode 2, six-axis arm on a recording
// protocol) against idle windows of about the same length before each run. Reported as
// counters: finish time p50 / p99 / max (ms) and the loop's longest cycle idle / during (ms).
#include "../tests/control/recording_protocol.h"
#include "BenchSupport.h"
#include "control/ProjectInterfaces.h"
#include "control/RobotMaster.h"
#include "control/RobotMasterPort.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicSixAxis.h"
#include "remote/ComServerManager.h"
#include "testsupport/LoopbackSocket.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCycleMs = 10;
constexpr int kUploadLines = 5000;
constexpr int kProgLines = 1000;

// Reads the client's frames on its own thread and counts those that hold a marker.
struct Reader {
    explicit Reader(int socket) : fd(socket) {
        thread = std::thread([this] {
            std::string pending;
            char buffer[65536];
            while (running.load()) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0) continue;
                const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
                if (n <= 0) break;
                pending.append(buffer, static_cast<std::size_t>(n));
                std::size_t end;
                while ((end = pending.find("HVPEND\n")) != std::string::npos) {
                    const std::string frame = pending.substr(0, end);
                    pending.erase(0, end + 7);
                    std::lock_guard<std::mutex> lock(mutex);
                    if (!marker.empty() && frame.find(marker) != std::string::npos) ++count;
                }
            }
        });
    }
    ~Reader() {
        running.store(false);
        thread.join();
        ::close(fd);
    }
    void Expect(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        marker = what;
        count = 0;
    }
    int Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return count;
    }

    int fd;
    std::atomic<bool> running{true};
    std::mutex mutex;
    std::string marker;
    int count = 0;
    std::thread thread;
};

struct Rig {
    Rig() {
        std::filesystem::create_directories(folder.Path() + "/Data/Programs");

        auto arm = std::make_unique<RobotKinematicSixAxis>();
        arm->Init("arm", "StandardSixAxisPlus", std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/sixaxis/robot_default.xml", 0);
        RobotMasterTestAccess::Kinematic(master) = std::move(arm);
        auto protocol = std::make_unique<ControlTest::RecordingProtocol>(master.GetKinematic());
        protocol->RecordCycleCalls(false);
        master.SetHardwareProtocol(std::move(protocol));
        for (IPO* ipo : {&master.GetMainInterpreter(), &master.GetLogicInterpreter(), &master.GetMoveToInterpreter()}) {
            ipo->InitPathGen(PATHGEN_JOINT, 100.0f, 10.0f, 3);
        }
        RobotMasterTestAccess::CycleTimeMs(master).store(kCycleMs);
        RobotMasterTestAccess::TimingMode(master).store(2);
        master.FinishInit();

        manager = std::make_unique<ComServerManager>(0);
        manager->Init(&controller, nullptr, &cloud);
        manager->Start();
        manager->WaitListening(10000);
        reader = std::make_unique<Reader>(TestSupport::ConnectLoopback(manager->GetPort()));
        // The main loop's fan-out, every 25 ms: status to the client and the server messages.
        fanOut = std::thread([this] {
            while (fanOutRunning.load()) {
                manager->CallSetCurrentPos(master.GetRobotState());
                manager->CallPublishData();
                manager->CallSendServerMessage();
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ~Rig() {
        fanOutRunning.store(false);
        fanOut.join();
        reader.reset();
        manager->Stop();
        manager.reset();
        master.StopMainLoop();
    }

    // The loop's longest cycle (ms) while work runs.
    double LongestCycleDuring(const std::function<void()>& work) {
        master.ResetMaxCycleTime();
        work();
        return master.GetMaxCycleTime() / 1000.0;
    }

    BenchSupport::BenchFolder folder{"uploadbench"};  // first: removed last
    RobotMaster master;
    Control::RobotMasterPort controller{master, nullptr};
    ProjectLinks::StoredCloudSettings cloud;
    std::unique_ptr<ComServerManager> manager;
    std::unique_ptr<Reader> reader;
    std::atomic<bool> fanOutRunning{true};
    std::thread fanOut;
};

Rig& TheRig() {
    static Rig rig;
    return rig;
}

bool WaitCount(Reader& reader, int count, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        if (reader.Count() >= count) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Report(benchmark::State& state, std::vector<double>& finish, double idle, double during) {
    BenchSupport::ReportPercentiles(state, finish, "finish_", "ms");
    state.counters["loop_max_idle_ms"] = idle;
    state.counters["loop_max_during_ms"] = during;
}

void BM_Upload5000Lines(benchmark::State& state) {
    Rig& rig = TheRig();
    // 40-byte lines: 200 KB.
    std::string frames;
    frames += "HVPSTART 1 CMD UploadFileInit Programs/bench.xml " + std::to_string(kUploadLines) + " HVPEND";
    for (int i = 0; i < kUploadLines; ++i) {
        std::string line = "  <Wait Nr=\"" + std::to_string(i) + "\" Type=\"Time\" Seconds=\"0\"/>";
        line.resize(39, ' ');
        frames += "HVPSTART " + std::to_string(i + 2) + " CMD UploadFileLine " + line + " HVPEND";
    }
    frames += "HVPSTART 9 CMD UploadFileFinish HVPEND";
    std::vector<double> finish;
    double idle = 0.0;
    double during = 0.0;
    for (auto _ : state) {
        // An idle window of about the same length before each run: the machine's own jitter.
        idle = std::max(idle, rig.LongestCycleDuring([] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }));
        rig.reader->Expect("MESSAGE Programs/bench.xml uploaded, 5000 lines");
        during = std::max(during, rig.LongestCycleDuring([&] {
            const auto start = Clock::now();
            TestSupport::SendAll(rig.reader->fd, frames);
            if (!WaitCount(*rig.reader, 1, 20000)) state.SkipWithError("no finish message");
            finish.push_back(Ms(Clock::now() - start));
        }));
    }
    Report(state, finish, idle, during);
}
BENCHMARK(BM_Upload5000Lines)->Iterations(30)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ThousandProgLines(benchmark::State& state) {
    Rig& rig = TheRig();
    std::string frames;
    for (int i = 0; i < kProgLines; ++i) {
        frames += "HVPSTART " + std::to_string(i) + " PROG " + std::to_string(i) + " WAIT 10 HVPEND";
    }
    std::vector<double> finish;
    double idle = 0.0;
    double during = 0.0;
    for (auto _ : state) {
        idle = std::max(idle, rig.LongestCycleDuring([] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }));
        rig.master.GetMainInterpreter().DeleteAll();
        rig.reader->Expect("PROGACK ");
        during = std::max(during, rig.LongestCycleDuring([&] {
            const auto start = Clock::now();
            TestSupport::SendAll(rig.reader->fd, frames);
            if (!WaitCount(*rig.reader, kProgLines, 20000)) state.SkipWithError("PROGACKs missing");
            finish.push_back(Ms(Clock::now() - start));
        }));
    }
    Report(state, finish, idle, during);
}
BENCHMARK(BM_ThousandProgLines)->Iterations(30)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
