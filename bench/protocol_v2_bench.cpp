// One robot cycle of the maker's protocol version 2 with six joints and GapMS 0:
// SetJoints (six set-point frames out, six answers read back, main DIO and shutdown
// checks) followed by GetJoints, over the virtual CAN bus with a peer that answers every
// set-point like an ideal drive. Reported: time per cycle and heap allocations per cycle
// made by the cycling thread (expected 0 in a steady cycle).
#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "hardware/HardwareProtocolJXRCANV2.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <thread>

namespace {

thread_local long threadAllocations = 0;

}  // namespace

void* operator new(std::size_t size) {
    ++threadAllocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

const char kRobotFile[] =
    "<Robot><BusConfiguration GapMS=\"0\"><Joints NrOfJoints=\"6\"/>"
    "<Joint0 ID=\"16\" GearScale=\"190\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\" CurrentScale=\"1\" CurrentZero=\"0\"/>"
    "<Joint1 ID=\"32\" GearScale=\"190\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\" CurrentScale=\"1\" CurrentZero=\"0\"/>"
    "<Joint2 ID=\"48\" GearScale=\"190\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\" CurrentScale=\"1\" CurrentZero=\"0\"/>"
    "<Joint3 ID=\"64\" GearScale=\"190\" GearZero=\"0\" GearPlay=\"0.2\" GearPlayInc=\"0.01\" CurrentScale=\"1\" CurrentZero=\"0\"/>"
    "<Joint4 ID=\"80\" GearScale=\"190\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\" CurrentScale=\"1\" CurrentZero=\"0\"/>"
    "<Joint5 ID=\"96\" GearScale=\"190\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\" CurrentScale=\"1\" CurrentZero=\"0\"/>"
    "</BusConfiguration><Referencing Mandatory=\"true\"/></Robot>";

// Answers each position set-point with the same position and no error.
class IdealDrives {
public:
    explicit IdealDrives(const std::string& hub) : socket(Platform::CanSocket::Backend::VirtualHub, hub) {
        if (socket.Open("can0") != 0) std::abort();
        thread = std::thread([this] {
            while (!stop.load()) {
                if (socket.WaitReadable(20) <= 0) continue;
                can_frame in{};
                if (socket.Read(&in) != static_cast<int>(Platform::kCanFrameSize)) continue;
                if (in.can_dlc != 8 || in.data[0] != 0x14) continue;
                can_frame out{};
                out.can_id = in.can_id + 1;
                out.can_dlc = 8;
                out.data[1] = in.data[2];
                out.data[2] = in.data[3];
                out.data[3] = in.data[4];
                out.data[4] = in.data[5];
                out.data[7] = 0x80;
                socket.Write(out);
            }
        });
    }
    ~IdealDrives() {
        stop.store(true);
        thread.join();
        socket.Close();
    }

private:
    Platform::CanSocket socket;
    std::atomic<bool> stop{false};
    std::thread thread;
};

void BM_SetGetJointsSixJoints(benchmark::State& state) {
    char pattern[] = "/tmp/belvanto-protobench-XXXXXX";
    const std::string folder = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    const std::string previous = std::filesystem::current_path().string();
    std::filesystem::current_path(folder);
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    LogSingleton::instance();

    const std::string hubPath = folder + "/bus.sock";
    const std::string robotFile = folder + "/robot.xml";
    std::ofstream(robotFile) << kRobotFile;
    {
        Platform::VirtualCanHub hub;
        if (hub.Start(hubPath) != 0) {
            state.SkipWithError("hub did not start");
            return;
        }
        setenv(Platform::kCanHubEnvironment, hubPath.c_str(), 1);
        // Argument 1: drives answer every set-point; 0: nobody answers (modules dead).
        std::unique_ptr<IdealDrives> drives;
        if (state.range(0) != 0) drives = std::make_unique<IdealDrives>(hubPath);
        auto protocol = std::make_unique<Hardware::HardwareProtocolJXRCANV2>(nullptr);
        protocol->SetVersion(2);
        protocol->Init("Robot", "JXRPivra4", robotFile);
        protocol->Connect();
        if (!protocol->GetConnectionStatus()) {
            state.SkipWithError("no connection to the virtual bus");
            return;
        }

        DataTypes::RobotState target;
        DataTypes::RobotState measured;
        // Settle: answers present, statuses and flags in their steady state (a change of
        // the referenced flag is logged, and a log line allocates).
        const auto settleEnd = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (int i = 0; i < 200 || (drives && !(protocol->GetMotorEnabled() && protocol->IsReferenced()) &&
                                    std::chrono::steady_clock::now() < settleEnd);
             ++i) {
            protocol->SetJoints(target);
            protocol->GetJoints(&measured);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

        long cycles = 0;
        const long allocationsBefore = threadAllocations;
        for (auto _ : state) {
            const float t = static_cast<float>(cycles) * 0.001f;
            for (int j = 0; j < 6; ++j) target.jointSet[j] = std::sin(t + static_cast<float>(j));
            protocol->SetJoints(target);
            protocol->GetJoints(&measured);
            benchmark::DoNotOptimize(measured.jointAct[0]);
            ++cycles;
        }
        const long allocations = threadAllocations - allocationsBefore;
        state.counters["allocs_per_cycle"] = cycles > 0 ? static_cast<double>(allocations) / cycles : 0.0;
        state.counters["frames_per_cycle"] = 6;
        protocol.reset();
        drives.reset();
        unsetenv(Platform::kCanHubEnvironment);
    }
    std::filesystem::current_path(previous);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

BENCHMARK(BM_SetGetJointsSixJoints)->Arg(1)->Arg(0)->Unit(benchmark::kNanosecond)->Iterations(20000);

}  // namespace

BENCHMARK_MAIN();
