// One robot loop cycle (RobotMaster::RunCycle, every step but the waits) on the recording
// protocol with a six-axis arm, for:
// - a joint jog,
// - a Cartesian jog (six-axis inverse kinematics every cycle),
// - the playback of a linear motion (linear path generator, planned once, sampled),
// - a logic program of 10 commands running beside an idle robot;
// - the set-points held at the measured joints after a connect (a jog asked meanwhile);
// with a change callback installed in the program variables. Per-cycle times are taken one
// by one (p50, p99, max in µs) and the heap allocations per steady cycle are counted.
// Separately: the hand-over of a new path request to a planner that is still computing.
#include "BenchSupport.h"
#include "AllocationCounter.h"
#include "../tests/control/recording_protocol.h"
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicSixAxis.h"
#include "testsupport/IpoTestAccess.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCycleMs = 4;

// A data root in a temporary folder for the programs.
struct BenchRoot {
    BenchRoot() {
        char pattern[] = "/tmp/belvanto-loopbench-XXXXXX";
        const std::string folder = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
        std::filesystem::create_directories(folder + "/Data/Programs");
        std::filesystem::current_path(folder);
        LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
        LogSingleton::instance()->set_softwareVersion("V980-13-030", 13, 30);
        std::string logic = "<Program>";
        for (int i = 0; i < 10; ++i) {
            logic += "<MathOperator Nr=\"1\" Function=\"ADD\" FirstOperand=\"count\" SecondOperand=\"1\"/>";
        }
        Write("logic10.xml", logic + "<Wait Nr=\"2\" Type=\"Time\" Seconds=\"0\"/></Program>");
        std::string outputs = "<Program>";
        for (int i = 0; i < 10; ++i) {
            outputs += "<Output Nr=\"1\" Channel=\"DOut" + std::to_string(i + 1) + "\" State=\"" +
                       (i % 2 == 0 ? "True" : "False") + "\"/>";
        }
        Write("outputs10.xml", outputs + "<Wait Nr=\"2\" Type=\"Time\" Seconds=\"0\"/></Program>");
    }
    static void Write(const std::string& name, const std::string& text) {
        std::ofstream(LogSingleton::instance()->get_rootPath() + "Data/Programs/" + name) << text;
    }
};

BenchRoot& Root() {
    static BenchRoot root;
    return root;
}

// Drives that are always ready; the first I/O module's input 0 (DIn 20) is on.
class ReadyProtocol : public ControlTest::RecordingProtocol {
public:
    using RecordingProtocol::RecordingProtocol;
    void GetError(std::string& text, std::string& shortText) override {
        text.assign("Status: operation_enabled");
        shortText.assign("operation_enabled");
    }
    // What a protocol's successful Connect counts.
    void CountConnect() { connectCount.fetch_add(1); }
    void GetDigitalIORail(bool* inputs) override { inputs[20] = true; }
};

// The loop's clock without waits (timing mode 0 never waits; only the statistics read it).
class CountingClock : public LoopClock {
public:
    std::uint64_t NowMicros() override { return now += 7; }
    void SleepUntilMicros(std::uint64_t deadline) override { now = std::max(now, deadline); }
    void SpinUntilMicros(std::uint64_t deadline) override { now = std::max(now, deadline); }
    std::uint64_t now = 1000000;
};

// Timed calls of `FastClock` move a second each: the logic program's passes never wait
// for their minimum time.
std::chrono::steady_clock::time_point FastClock() {
    static long long seconds = 0;
    return std::chrono::steady_clock::time_point(std::chrono::seconds(++seconds));
}

struct Bench {
    BenchRoot& root = Root();
    RobotMaster master;
    CountingClock clock;
    std::atomic<long long> callbacks{0};

    explicit Bench(PathGenType generator) {
        auto arm = std::make_unique<RobotKinematicSixAxis>();
        arm->Init("arm", "StandardSixAxisPlus", std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/sixaxis/robot_default.xml", 0);
        arm->cycleTimeMS = kCycleMs;
        RobotMasterTestAccess::Kinematic(master) = std::move(arm);
        auto protocol = std::make_unique<ReadyProtocol>(master.GetKinematic());
        protocol->RecordCycleCalls(false);
        master.SetHardwareProtocol(std::move(protocol));
        RobotMasterTestAccess::CycleTimeMs(master).store(kCycleMs);
        RobotMasterTestAccess::TimingMode(master).store(0);
        for (IPO* ipo : {&master.GetMainInterpreter(), &master.GetLogicInterpreter(),
                         &master.GetMoveToInterpreter()}) {
            ipo->InitPathGen(generator, 5.0f, 2.0f, 5);
            ipo->GetPathGenerator()->SetKinematic(master.GetKinematic()->clone());
            ipo->SetIgnoreConsistencyCheck(true);
        }
        master.SyncJointVelData();
        // A stand-off pose away from the singularities.
        const float joints[9] = {10.0f, -20.0f, 30.0f, 5.0f, 40.0f, 10.0f, 0, 0, 0};
        master.GetKinematic()->ResetLastJoints(joints);
        master.GetKinematic()->SetJoints(joints, false);
        std::copy(joints, joints + 9, RobotMasterTestAccess::LiveState(master).jointSet);
        Programs::ProgramMemory& memory = master.GetProgramMemory();
        memory.SetKinematic(master.GetKinematic()->clone());
        memory.SeedFromPosition();
        memory.SetVariablePos("#position", RobotMasterTestAccess::LiveState(master), false, Programs::ContentUnchanged);
        memory.SetVariableSingle("count", 0.0, true);
        memory.changeCallback = [this](const Programs::MemoryPosition&) { callbacks.fetch_add(1); };
        RobotMasterTestAccess::InitHold(master).store(false);
    }
    void Cycle() { master.RunCycle(clock); }
};

// Runs the timed cycles; before each, prepare(i) sets the cycle's input.
template <typename Prepare>
void TimeCycles(benchmark::State& state, Bench& b, Prepare prepare) {
    std::vector<double> us;
    us.reserve(1 << 20);
    long long i = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        prepare(i++);
        const auto t0 = Clock::now();
        b.Cycle();
        const auto t1 = Clock::now();
        if (us.size() < us.capacity()) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    AllocationCounter::Report(state, before, "allocs_per_cycle");
    state.counters["kin_state"] = RobotMasterTestAccess::LiveState(b.master).kinState;
    BenchSupport::ReportPercentiles(state, us);
}

// The jog turns every 500 cycles so that it never runs into a limit.
float Jog(long long i) { return (i / 500) % 2 == 0 ? 20.0f : -20.0f; }

// Joints 1 and 3 jogged against each other.
void JointJogValues(Bench& b, float* jog, long long i) {
    jog[0] = Jog(i);
    jog[2] = -Jog(i);
    b.master.SetJogValues(jog);
}

void BM_LoopJointJog(benchmark::State& state) {
    Bench b(PATHGEN_JOINT);
    b.master.SetMotionMode(MOTION_ROBOT_JOINT);
    float jog[9] = {};
    auto prepare = [&](long long i) { JointJogValues(b, jog, i); };
    for (int i = 0; i < 200; ++i) {
        prepare(i);
        b.Cycle();
    }
    TimeCycles(state, b, prepare);
}
BENCHMARK(BM_LoopJointJog);

// The same with the e-stop monitored (closed) and the brake configured (released): the
// input is looked at three times a cycle and the brake output checked before the set-point.
void BM_LoopJointJogEStopAndBrake(benchmark::State& state) {
    Bench b(PATHGEN_JOINT);
    BrakeSettings settings;
    settings.eStopDInChannel = 20;
    settings.brakeDOutChannel = 21;
    b.master.SetBrakeSettings(settings);
    b.master.SetBrake(true, true);
    b.master.SetMotionMode(MOTION_ROBOT_JOINT);
    float jog[9] = {};
    auto prepare = [&](long long i) { JointJogValues(b, jog, i); };
    for (int i = 0; i < 200; ++i) {
        prepare(i);
        b.Cycle();
    }
    const float before = RobotMasterTestAccess::LiveState(b.master).jointSet[0];
    TimeCycles(state, b, prepare);
    state.counters["latched"] = b.master.IsEStopLatched() ? 1 : 0;
    state.counters["moved"] = RobotMasterTestAccess::LiveState(b.master).jointSet[0] != before ? 1 : 0;
}
BENCHMARK(BM_LoopJointJogEStopAndBrake);

void BM_LoopCartesianJogSixAxis(benchmark::State& state) {
    Bench b(PATHGEN_JOINT);
    b.master.SetMotionMode(MOTION_ROBOT_CART_BASE);
    float jog[9] = {};
    auto prepare = [&](long long i) {
        jog[0] = Jog(i);
        jog[4] = Jog(i) / 4;  // some rotation too
        b.master.SetJogValues(jog);
    };
    for (int i = 0; i < 200; ++i) {
        prepare(i);
        b.Cycle();
    }
    TimeCycles(state, b, prepare);
}
BENCHMARK(BM_LoopCartesianJogSixAxis);

// After a connect, before an operator's reset or enable: the set-points are the measured
// joints whatever the jog asks.
void BM_LoopHeldAtMeasuredAfterConnect(benchmark::State& state) {
    Bench b(PATHGEN_JOINT);
    static_cast<ReadyProtocol*>(b.master.GetHardware())->CountConnect();
    DataTypes::RobotState& live = RobotMasterTestAccess::LiveState(b.master);
    std::copy(live.jointSet, live.jointSet + 9, live.jointAct);
    float jog[9] = {};
    auto prepare = [&](long long i) {
        jog[0] = Jog(i);
        b.master.SetJogValues(jog);
    };
    for (int i = 0; i < 200; ++i) {
        prepare(i);
        b.Cycle();
    }
    TimeCycles(state, b, prepare);
    state.counters["held"] = live.jointSet[0] == live.jointAct[0] ? 1 : 0;
}
BENCHMARK(BM_LoopHeldAtMeasuredAfterConnect);

void BM_LoopLinearPlayback(benchmark::State& state) {
    Bench b(PATHGEN_LINEAR);
    // A line of 100 mm from where the arm stands, same orientation, at a low override.
    const DataTypes::RobotState& s = RobotMasterTestAccess::LiveState(b.master);
    b.Cycle();
    char program[512];
    std::snprintf(program, sizeof program,
                  "<Program><Linear Nr=\"1\" x=\"%.3f\" y=\"%.3f\" z=\"%.3f\" a=\"%.3f\" b=\"%.3f\" c=\"%.3f\" "
                  "vel=\"10\" acc=\"50\" smooth=\"0\" AbortCondition=\"false\"/></Program>",
                  s.pose(0, 3) + 100.0, s.pose(1, 3), s.pose(2, 3), s.A, s.B, s.C);
    BenchRoot::Write("line.xml", program);
    IPO& main = b.master.GetMainInterpreter();
    main.SetReplayMode(IPO::REPLAY_SINGLE);
    main.LoadProgramSynchronous("line.xml", true);
    b.master.SetOverride(0.1f);  // the line lasts millions of cycles
    main.Start();
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (!(main.GetPathGenerator()->IsPathAvailable() && !main.GetPathGenerator()->IsThreadRunning()) && Clock::now() < end) {
        b.Cycle();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    for (int i = 0; i < 100; ++i) b.Cycle();
    TimeCycles(state, b, [](long long) {});
    state.counters["still_running"] = main.IsReplayRunning() ? 1 : 0;
    main.Stop(IPO::STOP_USER, "");
}
BENCHMARK(BM_LoopLinearPlayback);

// Arguments: the program (0: 10 MathOperators on a variable, 1: 10 digital outputs) and
// the program variables' change callback (1 installed, 0 not).
void BM_LoopLogicProgram10(benchmark::State& state) {
    Bench b(PATHGEN_JOINT);
    if (state.range(1) == 0) b.master.GetProgramMemory().changeCallback = nullptr;
    IPO& logic = b.master.GetLogicInterpreter();
    IpoTestAccess::TimeSource(logic) = &FastClock;
    logic.LoadProgramSynchronous(state.range(0) == 0 ? "logic10.xml" : "outputs10.xml", true);
    b.master.GetProgramMemory().SetVariableSingle("count", 0.0, true);  // loading clears them
    logic.Start();
    for (int i = 0; i < 100; ++i) b.Cycle();
    TimeCycles(state, b, [](long long) {});
    state.counters["still_running"] = logic.IsReplayRunning() ? 1 : 0;
    logic.Stop(IPO::STOP_USER, "");
}
BENCHMARK(BM_LoopLogicProgram10)->ArgsProduct({{0, 1}, {1, 0}})->ArgNames({"outputs", "callback"});

// The hand-over of a new motion to the planner while the previous plan still computes
// (the cycle's PreparePath), measured alone.
void BM_PathRequestToBusyPlanner(benchmark::State& state) {
    Bench b(PATHGEN_LINEAR);
    b.Cycle();
    const DataTypes::RobotState& s = RobotMasterTestAccess::LiveState(b.master);
    char program[512];
    std::snprintf(program, sizeof program,
                  "<Program><Linear Nr=\"1\" x=\"%.3f\" y=\"%.3f\" z=\"%.3f\" a=\"%.3f\" b=\"%.3f\" c=\"%.3f\" "
                  "vel=\"50\" acc=\"50\" smooth=\"0\" AbortCondition=\"false\"/></Program>",
                  s.pose(0, 3) + 100.0, s.pose(1, 3), s.pose(2, 3), s.A, s.B, s.C);
    BenchRoot::Write("handover.xml", program);
    IPO& main = b.master.GetMainInterpreter();
    main.LoadProgramSynchronous("handover.xml", true);
    main.Start();
    DataTypes::RobotState planState = RobotMasterTestAccess::LiveState(b.master);
    std::vector<double> us;
    long long busy = 0;
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(main));
            busy += main.GetPathGenerator()->IsThreadRunning() ? 1 : 0;
            const auto t0 = Clock::now();
            main.PreparePath(&planState);
            const auto t1 = Clock::now();
            us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::microseconds(500));  // the new plan starts
        state.ResumeTiming();
    }
    state.counters["planner_busy"] = static_cast<double>(busy) / static_cast<double>(std::max<size_t>(1, us.size()));
    main.Stop(IPO::STOP_USER, "");
    main.DeleteAll();
    BenchSupport::ReportPercentiles(state, us);
}
BENCHMARK(BM_PathRequestToBusyPlanner)->Iterations(300);

}  // namespace

BENCHMARK_MAIN();
