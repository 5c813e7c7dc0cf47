// One robot cycle of the CANopen protocol with six CSP drives and PDOs: SendSync, SetJoints
// (six receive PDOs with the position set-points) and GetJoints, over the virtual CAN bus
// with a peer that answers every SYNC with each drive's transmit PDO 1 (operation
// enabled, CSP, position = last set-point). Reported: time per cycle and heap allocations
// per cycle made by the cycling thread (expected 0 in a steady cycle).
#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "hardware/HardwareProtocolCANopen.h"
#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
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

constexpr int kDrives = 6;

std::string RobotFile() {
    std::string xml = "<Robot><BusConfiguration CycleTimeMS=\"4\" GapMS=\"0\" SyncGapMS=\"0\" UsePDOs=\"true\">"
                      "<Joints NrOfJoints=\"6\"/>";
    for (int i = 0; i < kDrives; ++i) {
        xml += "<Joint" + std::to_string(i) + " ID=\"" + std::to_string(i + 1) +
               "\" GearScale=\"1000\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\"/>";
    }
    return xml + "</BusConfiguration><Referencing Mandatory=\"false\"/></Robot>";
}

// Answers every SYNC with transmit PDO 1 of each drive.
class IdealDrives {
public:
    explicit IdealDrives(const std::string& hub) : socket(Platform::CanSocket::Backend::VirtualHub, hub) {
        if (socket.Open("can0") != 0) std::abort();
        thread = std::thread([this] {
            while (!stop.load()) {
                if (socket.WaitReadable(20) <= 0) continue;
                can_frame in{};
                if (socket.Read(&in) != static_cast<int>(Platform::kCanFrameSize)) continue;
                const int id = static_cast<int>(in.can_id);
                if (id > 0x200 && id <= 0x200 + kDrives && in.can_dlc == 4) {
                    std::memcpy(&positions[static_cast<size_t>(id - 0x201)], in.data, 4);
                } else if (id == 0x80) {
                    for (int n = 1; n <= kDrives; ++n) {
                        can_frame out{};
                        out.can_id = static_cast<canid_t>(0x180 + n);
                        out.can_dlc = 8;
                        out.data[0] = 0x27;  // operation enabled
                        std::memcpy(out.data + 2, &positions[static_cast<size_t>(n - 1)], 4);
                        out.data[7] = 8;  // CSP
                        socket.Write(out);
                    }
                }
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
    std::array<std::int32_t, kDrives> positions{};
};

void BM_CanopenCspSixDrives(benchmark::State& state) {
    char pattern[] = "/tmp/belvanto-canopenbench-XXXXXX";
    const std::string folder = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    const std::string previous = std::filesystem::current_path().string();
    std::filesystem::current_path(folder);
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    LogSingleton::instance();

    const std::string hubPath = folder + "/bus.sock";
    const std::string robotFile = folder + "/robot.xml";
    std::ofstream(robotFile) << RobotFile();
    {
        Platform::VirtualCanHub hub;
        if (hub.Start(hubPath) != 0) {
            state.SkipWithError("hub did not start");
            return;
        }
        setenv(Platform::kCanHubEnvironment, hubPath.c_str(), 1);
        auto drives = std::make_unique<IdealDrives>(hubPath);
        auto protocol = std::make_unique<Hardware::HardwareProtocolCANopen>(nullptr, Hardware::CANopenProfileCSP);
        protocol->Init("Robot", "", robotFile);
        protocol->Connect();
        DataTypes::RobotState target;
        DataTypes::RobotState measured;
        // Settle until the drives report enabled through their transmit PDOs.
        const auto settleEnd = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!protocol->GetMotorEnabled() && std::chrono::steady_clock::now() < settleEnd) {
            protocol->SendSync();
            protocol->SetJoints(target);
            protocol->GetJoints(&measured);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (!protocol->GetMotorEnabled()) {
            state.SkipWithError("drives did not come up");
            return;
        }

        long cycles = 0;
        const long allocationsBefore = threadAllocations;
        for (auto _ : state) {
            const float t = static_cast<float>(cycles) * 0.001f;
            for (int j = 0; j < kDrives; ++j) target.jointSet[j] = std::sin(t + static_cast<float>(j));
            protocol->SendSync();
            protocol->SetJoints(target);
            protocol->GetJoints(&measured);
            benchmark::DoNotOptimize(measured.jointAct[0]);
            ++cycles;
        }
        const long allocations = threadAllocations - allocationsBefore;
        state.counters["allocs_per_cycle"] = cycles > 0 ? static_cast<double>(allocations) / cycles : 0.0;
        state.counters["frames_per_cycle"] = 1 + kDrives;
        protocol.reset();
        drives.reset();
        unsetenv(Platform::kCanHubEnvironment);
    }
    std::filesystem::current_path(previous);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

// Fixed iterations: at 80 cycles past 121 the slow polls and the voltage average run too.
BENCHMARK(BM_CanopenCspSixDrives)->Unit(benchmark::kNanosecond)->Iterations(20000);

}  // namespace

BENCHMARK_MAIN();
