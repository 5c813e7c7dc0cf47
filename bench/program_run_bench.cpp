// The interpreter's cycle as the robot loop calls it (IPO::GetNextPosition, 4 ms cycles):
// - a steady motion with the abort condition "false" and with "din1 and count > 3", on
//   both planners: the path is planned once, every timed call samples it (the override is
//   low, so the path never ends while measured);
// - a burst of 10 combinable MathOperator commands per cycle;
// - PreparePath's hand-over (SetFirstCmd .. ComputePathStartThread) while a plan runs;
// - the robot loop's read of the program information while the program is unchanged:
//   it must not allocate (the run stops with an error otherwise).
// Per-call times are taken one by one; p50, p99 and max are counters in µs, and the heap
// allocations per call are counted.
#include "BenchSupport.h"
#include "AllocationCounter.h"
#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "kinematics/RobotKinematic.h"
#include "program/IPO.h"
#include "program/ProgramMemory.h"
#include "testsupport/IpoTestAccess.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCycleMs = 4;

// Pose translation = joints a1..a3: the cost measured is the interpreter's and the
// planner's, not an inverse kinematic's.
class BenchKinematic : public RobotKinematic {
public:
    BenchKinematic() {
        nrOfJoints = 6;
        nrOfExtJoints = 3;
    }
    std::unique_ptr<RobotKinematic> clone() const override { return std::make_unique<BenchKinematic>(); }
    void SetJoints(const float* joints, bool) override {
        for (int j = 0; j < maxJoints; ++j) currentJoints[j] = joints[j];
        currentPosition.SetTranslation(DataTypes::Vector3(joints[0], joints[1], joints[2]));
    }
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override {
        joints[0] = target(0, 3);
        joints[1] = target(1, 3);
        joints[2] = target(2, 3);
        SetJoints(joints, false);
    }
};

// A data root in a temporary folder with the programs below.
struct BenchRoot {
    BenchRoot() {
        char pattern[] = "/tmp/belvanto-runbench-XXXXXX";
        const std::string folder = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
        std::filesystem::create_directories(folder + "/Data/Programs");
        std::filesystem::current_path(folder);
        LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
        LogSingleton* log = LogSingleton::instance();
        log->set_softwareVersion("V980-13-030", 13, 30);
        Write("joint_false.xml", Motion("Joint", "false"));
        Write("joint_cond.xml", Motion("Joint", "din1 and count &gt; 3"));
        Write("linear_false.xml", Motion("Linear", "false"));
        Write("linear_cond.xml", Motion("Linear", "din1 and count &gt; 3"));
        std::string burst = "<Program>";
        for (int i = 0; i < 10; ++i) {
            burst += "<MathOperator Nr=\"1\" Function=\"ADD\" FirstOperand=\"count\" SecondOperand=\"1\"/>";
        }
        Write("burst.xml", burst + "<Wait Nr=\"2\" Type=\"Time\" Seconds=\"0\"/></Program>");
        // A name longer than any short-string buffer: a copy of it would allocate.
        Write("a_program_name_longer_than_short_strings.xml", burst + "</Program>");
    }
    static std::string Motion(const char* kind, const char* condition) {
        const std::string c = std::string("AbortCondition=\"") + condition + "\"";
        if (std::string(kind) == "Joint") {
            return "<Program><Joint Nr=\"1\" a1=\"300\" a2=\"200\" a3=\"100\" velPercent=\"10\" acc=\"50\" smooth=\"0\" " + c +
                   "/></Program>";
        }
        return "<Program><Linear Nr=\"1\" x=\"500\" y=\"300\" z=\"100\" a=\"0\" b=\"0\" c=\"0\" vel=\"10\" acc=\"50\" "
               "smooth=\"0\" " + c + "/></Program>";
    }
    static void Write(const std::string& name, const std::string& text) {
        std::ofstream(LogSingleton::instance()->get_rootPath() + "Data/Programs/" + name) << text;
    }
};

BenchRoot& Root() {
    static BenchRoot root;
    return root;
}

struct Interpreter {
    // The data root comes first: the members below already log.
    BenchRoot& root = Root();
    DataTypes::RobotState state;
    Programs::ProgramMemory memory;
    std::unique_ptr<IPO> ipo;

    Interpreter(PathGenType generator, const std::string& program) {
        memory.SetKinematic(std::make_unique<BenchKinematic>());
        memory.SetRobotState(&state);
        ipo = std::make_unique<IPO>(IPO::IPO_MAIN);
        ipo->SetMemory(&memory);
        ipo->InitPathGen(generator, 5.0f, 2.0f, 5);
        ipo->GetPathGenerator()->SetKinematic(std::make_unique<BenchKinematic>());
        float vel[9], acc[9], jerk[9];
        for (int j = 0; j < 9; ++j) {
            vel[j] = 90.0f;
            acc[j] = 300.0f;
            jerk[j] = 1000.0f;
        }
        ipo->InitJointMaxValues(vel, acc, jerk, 250.0f, 1000.0f, 3000.0f, 180.0, 1000.0, 3000.0);
        ipo->SetIgnoreConsistencyCheck(true);
        ipo->LoadProgramSynchronous(program, true);
        memory.SetVariableSingle("count", 0.0, true);
        state.DIn[0] = false;
    }
};

// Arguments: generator (0 joint, 1 linear), condition (0 "false", 1 "din1 and count > 3").
void BM_SteadyMotion(benchmark::State& state) {
    const bool linear = state.range(0) != 0;
    const bool cond = state.range(1) != 0;
    Interpreter it(linear ? PATHGEN_LINEAR : PATHGEN_JOINT,
                   std::string(linear ? "linear" : "joint") + (cond ? "_cond.xml" : "_false.xml"));
    IPO& ipo = *it.ipo;
    ipo.Start();
    // Until the plan is served, then a few cycles more so every buffer has its size.
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (!(ipo.GetPathGenerator()->IsPathAvailable() && !ipo.GetPathGenerator()->IsThreadRunning() &&
             ipo.GetCurrentPoint() == 0) &&
           Clock::now() < end) {
        ipo.GetNextPosition(kCycleMs, 1.0f, &it.state);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    for (int i = 0; i < 100; ++i) ipo.GetNextPosition(kCycleMs, 0.1f, &it.state);
    std::vector<double> us;
    us.reserve(1 << 20);
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(ipo.GetNextPosition(kCycleMs, 0.1f, &it.state));
        const auto t1 = Clock::now();
        if (us.size() < us.capacity()) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    AllocationCounter::Report(state, before);
    state.counters["still_running"] = ipo.IsReplayRunning() && ipo.GetCurrentPoint() == 0 ? 1 : 0;
    BenchSupport::ReportPercentiles(state, us);
    ipo.Stop(IPO::STOP_USER, "");
}
BENCHMARK(BM_SteadyMotion)->ArgsProduct({{0, 1}, {0, 1}})->ArgNames({"linear", "cond"});

// One cycle runs the 10 MathOperators; the Wait after them ends the pass (Repeat, no
// minimum pass wait in between: this clock moves a second per reading).
std::chrono::steady_clock::time_point FastClock() {
    static long long seconds = 0;
    return std::chrono::steady_clock::time_point(std::chrono::seconds(++seconds));
}

void BM_MathOperatorBurst(benchmark::State& state) {
    Interpreter it(PATHGEN_JOINT, "burst.xml");
    IPO& ipo = *it.ipo;
    IpoTestAccess::TimeSource(ipo) = &FastClock;
    ipo.Start();
    for (int i = 0; i < 10; ++i) ipo.GetNextPosition(kCycleMs, 100.0f, &it.state);
    std::vector<double> us;
    us.reserve(1 << 20);
    long long bursts = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        const bool burst = ipo.GetCurrentPoint() == 0;  // the Wait's cycle is not counted
        const auto t0 = Clock::now();
        ipo.GetNextPosition(kCycleMs, 100.0f, &it.state);
        const auto t1 = Clock::now();
        if (burst) {
            ++bursts;
            if (us.size() < us.capacity()) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
    }
    AllocationCounter::Report(state, before, "allocs_per_cycle");
    state.counters["bursts"] = static_cast<double>(bursts);
    BenchSupport::ReportPercentiles(state, us);
    ipo.Stop(IPO::STOP_USER, "");
}
BENCHMARK(BM_MathOperatorBurst);

// The cycle that hands a motion to the planner while the previous plan still computes.
void BM_PreparePathWhilePlanning(benchmark::State& state) {
    Interpreter it(PATHGEN_JOINT, "joint_false.xml");
    IPO& ipo = *it.ipo;
    ipo.Start();
    std::vector<double> us;
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(ipo));
            const auto t0 = Clock::now();
            ipo.PreparePath(&it.state);
            const auto t1 = Clock::now();
            us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
        state.PauseTiming();
        // Let the new plan start computing before the next hand-over.
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        state.ResumeTiming();
    }
    ipo.Stop(IPO::STOP_USER, "");
    ipo.DeleteAll();
    BenchSupport::ReportPercentiles(state, us);
}
BENCHMARK(BM_PreparePathWhilePlanning)->Iterations(300);

// The loop's read of name, count and point while a program runs unchanged. Allocations
// are counted around each read only, not in the benchmark's own loop.
void BM_LoopProgramInformationRead(benchmark::State& state) {
    Interpreter it(PATHGEN_JOINT, "a_program_name_longer_than_short_strings.xml");
    IPO& ipo = *it.ipo;
    ipo.Start();
    IPO::ProgramInfoSeen seen;
    std::string name;
    int count = 0;
    int point = 0;
    ipo.ReadProgramInformation(seen, &name, &count, &point);
    std::vector<double> us;
    us.reserve(1 << 20);
    long long allocations = 0;
    for (auto _ : state) {
        const long long before = AllocationCounter::Count();
        const auto t0 = Clock::now();
        ipo.ReadProgramInformation(seen, &name, &count, &point);
        const auto t1 = Clock::now();
        allocations += AllocationCounter::Count() - before;
        benchmark::DoNotOptimize(point);
        if (us.size() < us.capacity()) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    const long long iterations = std::max<long long>(1, static_cast<long long>(state.iterations()));
    state.counters["allocs_per_call"] =
        benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(iterations));
    ipo.Stop(IPO::STOP_USER, "");
    BenchSupport::ReportPercentiles(state, us);
    if (name != "a_program_name_longer_than_short_strings.xml" || count != 10) {
        state.SkipWithError("the read gave another program");
    } else if (allocations != 0) {
        state.SkipWithError("the loop's read of unchanged program information allocates");
    }
}
BENCHMARK(BM_LoopProgramInformationRead);

}  // namespace

BENCHMARK_MAIN();
