// The Modbus map handlers on a controller port that answers from plain fields (six joints,
// a gripper, two external axes, a DIO module): the cost of refreshing one 125-register
// window of input registers, all 428 status bits, and acting on a write of coils 200-363
// (100 signals and 64 outputs). Heap allocations per call are counted.
#include "AllocationCounter.h"
#include "testsupport/RecordingPort.h"
#include "fieldbus/ModbusServer.h"

#include <benchmark/benchmark.h>

namespace {

struct Fixture {
    Fixture() {
        port.recording = false;
        port.SetArmWithGripperAndAxes();
        port.selectedEntry = "Demo/prog.xml";
        port.displayMessage = "Belvanto V980-13-030";
        for (int i = 0; i < 64; i += 3) port.state.DIn[i] = true;
        server.SetControllerPort(&port);
    }
    TestSupport::RecordingPort port;
    Modbus::ModbusServer server;
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

void BM_OnReadInputRegisters(benchmark::State& state) {
    Fixture& f = Shared();
    const auto start = static_cast<std::uint16_t>(state.range(0));
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        f.server.OnReadInputRegisters(start, 125);
        benchmark::DoNotOptimize(f.server.GetTable().input[start]);
    }
    AllocationCounter::Report(state, before);
}
BENCHMARK(BM_OnReadInputRegisters)->DenseRange(0, 625, 125)->Unit(benchmark::kMicrosecond);

void BM_OnReadBits(benchmark::State& state) {
    Fixture& f = Shared();
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        f.server.OnReadDiscreteInputs(0, 428);
        benchmark::DoNotOptimize(f.server.GetTable().discreteInputs[427]);
    }
    AllocationCounter::Report(state, before);
}
BENCHMARK(BM_OnReadBits)->Unit(benchmark::kMicrosecond);

void BM_OnWriteCoils(benchmark::State& state) {
    Fixture& f = Shared();
    for (int a = 200; a <= 363; a += 2) f.server.GetTable().coils[a] = 1;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        f.server.OnWriteCoils(200, 164);
    }
    AllocationCounter::Report(state, before);
}
BENCHMARK(BM_OnWriteCoils)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
