// The path generators as the robot loop uses them, on the six-axis arm of the default robot
// file:
// - planning time of one request, from SetFirstCmd until the path is available;
// - one GetJointPosition call per robot cycle (4 ms) while a planned path runs, with the
//   heap allocations each call makes (the cycle must make none);
// - the robot loop's side of starting a new request (SetFirstCmd, SetNextCmd,
//   ComputePathStartThread), on an idle generator and while an older plan is computing.
// Per-call times are taken one by one; p50 and max are reported as counters in µs.
#include "BenchSupport.h"
#include "AllocationCounter.h"
#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "kinematics/RobotKinematicSixAxis.h"
#include "motion/CircleParameters.h"
#include "motion/PathCommandAccess.h"
#include "motion/PathGenerator_01Joint.h"
#include "motion/PathGenerator_02Linear.h"
#include "program/Command.h"
#include "testsupport/PathGeneratorTestAccess.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using DataTypes::RobotState;
using DataTypes::Vector3;

constexpr long kCycleUs = 4000;
constexpr int kLookAhead = 10;

// The default arm's limits as its robot file gives them.
constexpr float kJointVel[9] = {45, 45, 60, 90, 90, 120, 45, 45, 45};
constexpr float kJointAcc[9] = {400, 400, 500, 800, 800, 900, 400, 400, 400};
constexpr float kJointJerk[9] = {3000, 3000, 3000, 5000, 5000, 5000, 3000, 3000, 3000};
constexpr double kCartVel = 250, kCartAcc = 1500, kCartJerk = 4500;
constexpr double kOriVel = 90, kOriAcc = 1200, kOriJerk = 3600;

// Start joints well away from the arm's singularities and limits.
constexpr float kStartJoints[9] = {10, 20, 30, 0, 45, 0, 0, 0, 0};

// By absolute path: __FILE__ may be relative to the build folder.
std::string RobotFile() { return std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/sixaxis/robot_default.xml"; }

// Null when the robot file cannot be read (the arm's Init would end the process).
std::unique_ptr<RobotKinematicSixAxis> MakeArm() {
    if (!std::ifstream(RobotFile()).good()) return nullptr;
    auto arm = std::make_unique<RobotKinematicSixAxis>();
    arm->Init("arm", "StandardSixAxisPlus", RobotFile(), 0);
    arm->cycleTimeMS = 4.0;
    return arm;
}

RobotState StartState(RobotKinematic& arm) {
    RobotState state;
    for (int j = 0; j < 9; ++j) state.jointSet[j] = kStartJoints[j];
    arm.SetJoints(state.jointSet, false);
    arm.GetPosition(&state);
    state.UpdateABC();
    return state;
}

// A motion command that moves itself in time: joints (joint move) or the pose translation
// (line, arc) from where its first step finds the state to its target, on a cosine
// profile. A delay per step stands in for a planner that is slow to finish.
class BenchMove : public Command {
public:
    Vector3 target;      // Cartesian target, mm
    Vector3 help;        // arcs: the circle's help point
    float targetJoints[9] = {};
    int delayUs = 0;
    std::atomic<int> steps{0};  // read by the benchmark thread while a plan runs
    std::unique_ptr<CircleParameters> circle;

    void ReadXML(tinyxml2::XMLElement*, bool) override {}

    int Interpolate(int cycleMs, float, RobotState* state) override {
        Step();
        if (firstCycle) {
            firstCycle = false;
            elapsedMs = 0.0f;
            for (int j = 0; j < 9; ++j) startJoints[j] = state->jointSet[j];
            startPos = state->pose.GetTranslation();
            durationMs = 1.0f;
            if (commandType == CMD_JOINT) {
                for (int j = 0; j < 9; ++j) {
                    const float vel = kJointVel[j] * velJointPercent / 100.0f;
                    durationMs = std::max(durationMs, std::fabs(targetJoints[j] - startJoints[j]) / vel * 1000.0f);
                }
            } else {
                durationMs = std::max(durationMs, (target - startPos).Magnitude() / velCartesian * 1000.0f);
            }
        }
        elapsedMs += static_cast<float>(cycleMs);
        const float f = std::min(1.0f, elapsedMs / durationMs);
        const float s = 0.5f - 0.5f * std::cos(3.14159265f * f);
        if (commandType == CMD_JOINT) {
            for (int j = 0; j < 9; ++j) state->jointSet[j] = startJoints[j] + (targetJoints[j] - startJoints[j]) * s;
        } else {
            state->pose.SetTranslation(startPos + (target - startPos) * s);
        }
        return f >= 1.0f ? nextSuccessor : -1;
    }

    void GetTargetPosition(RobotState* current, RobotState* out, float& velCart, float& velJoint, float& acc,
                           float& smooth) override {
        Step();
        *out = *current;
        if (commandType == CMD_JOINT) {
            for (int j = 0; j < 9; ++j) out->jointSet[j] = targetJoints[j];
        } else {
            out->pose.SetTranslation(target);
            if (className == "CommandCircular") {
                circle = std::make_unique<CircleParameters>(current->pose.GetTranslation(), help, target);
            }
        }
        velCart = velCartesian;
        velJoint = velJointPercent;
        acc = accPercent;
        smooth = smoothPercent;
    }

private:
    void Step() {
        steps.fetch_add(1);
        if (delayUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
    }

    float startJoints[9] = {};
    Vector3 startPos;
    float elapsedMs = 0.0f;
    float durationMs = 1.0f;
};

// Forwards to the command's own members, as the interpreter does.
class BenchAccess : public PathCommandAccess {
public:
    int GetCommandType(const Command& c) const override { return c.commandType; }
    const std::string& GetClassName(const Command& c) const override { return c.className; }
    PathCommandMotion GetMotion(const Command& c) const override {
        return {c.velJointPercent, c.velCartesian, c.velRotation, c.accPercent, c.smoothPercent};
    }
    int Interpolate(Command& c, int cycleMs, float overridePercent, RobotState* state) const override {
        return c.Interpolate(cycleMs, overridePercent, state);
    }
    void GetTargetPosition(Command& c, RobotState* current, RobotState* target, float& velCart, float& velJoint,
                           float& acc, float& smooth) const override {
        c.GetTargetPosition(current, target, velCart, velJoint, acc, smooth);
    }
    const CircleParameters* GetCircle(const Command& c) const override {
        const auto* move = dynamic_cast<const BenchMove*>(&c);
        return move != nullptr ? move->circle.get() : nullptr;
    }
};

using Request = std::vector<std::shared_ptr<BenchMove>>;

std::shared_ptr<BenchMove> NewMove(CommandType type, const char* className, int next, float smooth) {
    auto move = std::make_shared<BenchMove>();
    move->commandType = type;
    move->className = className;
    move->nextSuccessor = next;
    move->velJointPercent = 50.0f;
    move->velCartesian = 200.0f;
    move->accPercent = 100.0f;
    move->smoothPercent = smooth;
    return move;
}

// Cartesian request of `count` commands around the start point (a square with a rise);
// with arcs every second command is an arc bulging out of the square's side. Every
// command but the last is blended into the next.
Request CartesianRequest(const RobotState& start, int count, bool arcs) {
    static const Vector3 corners[4] = {{120, 0, 0}, {120, 120, 0}, {0, 120, 40}, {0, 0, 0}};
    const Vector3 origin = start.pose.GetTranslation();
    Request request;
    Vector3 from = origin;
    for (int i = 0; i < count; ++i) {
        const bool arc = arcs && i % 2 == 1;
        const float smooth = i + 1 < count ? 50.0f : 0.0f;
        auto move = NewMove(CMD_CARTESIAN, arc ? "CommandCircular" : "CommandLinear", i + 1, smooth);
        move->target = origin + corners[i % 4];
        if (arc) {
            const Vector3 chord = move->target - from;
            const Vector3 side(chord.y, -chord.x, 0.0f);  // outward for the square's direction
            move->help = from + chord * 0.5f + side * 0.25f;
        }
        from = move->target;
        request.push_back(move);
    }
    return request;
}

// Joint-space request: a joint move, a line and a joint move back, blended at both
// corners.
Request JointRequest(const RobotState& start) {
    Request request;
    auto first = NewMove(CMD_JOINT, "CommandJoint", 1, 20.0f);
    const float firstTarget[9] = {40, 35, 20, 30, 60, 45, 0, 0, 0};
    std::copy(firstTarget, firstTarget + 9, first->targetJoints);
    request.push_back(first);
    auto line = NewMove(CMD_CARTESIAN, "CommandLinear", 2, 20.0f);
    request.push_back(line);
    auto back = NewMove(CMD_JOINT, "CommandJoint", 3, 0.0f);
    std::copy(start.jointSet, start.jointSet + 9, back->targetJoints);
    request.push_back(back);
    return request;
}

// The line's target is where the first joint move ends, moved by 150 mm.
void AimLine(RobotKinematic& arm, Request& request) {
    const float* joints = request[0]->targetJoints;
    arm.SetJoints(joints, false);
    RobotState state;
    arm.GetPosition(&state);
    request[1]->target = state.pose.GetTranslation() + Vector3(-150, 0, 50);
}

// Hands the request to the generator and starts its planning thread.
void Submit(PathGenerator& gen, const Request& request, RobotState start) {
    gen.SetFirstCmd(request[0], &start, 0, request[0]->nextSuccessor);
    for (size_t i = 1; i < request.size(); ++i) {
        gen.SetNextCmd(request[i], static_cast<int>(i), request[i]->nextSuccessor);
    }
    gen.ComputePathStartThread();
}

bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 20000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (Clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Setup {
    std::unique_ptr<RobotKinematicSixAxis> arm;
    RobotState start;
    BenchAccess access;

    bool Ready(benchmark::State& state) {
        arm = MakeArm();
        if (!arm) {
            state.SkipWithError(("robot file missing: " + RobotFile()).c_str());
            return false;
        }
        start = StartState(*arm);
        return true;
    }

    template <class Generator>
    void Attach(Generator& gen) {
        gen.SetCommandAccess(&access);
        gen.SetKinematic(arm->clone());
        float vel[9], acc[9], jerk[9];
        std::copy(kJointVel, kJointVel + 9, vel);
        std::copy(kJointAcc, kJointAcc + 9, acc);
        std::copy(kJointJerk, kJointJerk + 9, jerk);
        gen.InitVelAcc(vel, acc, jerk, kCartVel, kCartAcc, kCartJerk, kOriVel, kOriAcc, kOriJerk);
    }
};

// Plans synchronously from the caller's view: true once the plan is published without a
// fault; the time from the request to the published path in *us.
bool PlanAndWait(PathGenerator& gen, const Request& request, const RobotState& start, double* us) {
    const auto t0 = Clock::now();
    Submit(gen, request, start);
    WaitFor([&] { return gen.IsPathAvailable() || !gen.IsThreadRunning(); });
    const auto t1 = Clock::now();
    if (us != nullptr) *us = Micros(t1 - t0);
    if (!WaitFor([&] { return !gen.IsThreadRunning(); })) return false;
    return gen.IsPathAvailable() && gen.GetResult() == 0;
}

// --- planning time per request -----------------------------------------------------------

void BM_JointPlanning(benchmark::State& state) {
    Setup setup;
    if (!setup.Ready(state)) return;
    const int slicingMs = static_cast<int>(state.range(0));
    const bool optimize = state.range(1) != 0;
    LogSingleton::instance()->set_pathGeneratorFlagOptimize(optimize);
    PathGenerator_01Joint gen(kLookAhead);
    setup.Attach(gen);
    gen.Init(optimize, slicingMs, true);
    std::vector<double> times;
    for (auto _ : state) {
        Request request = JointRequest(setup.start);
        AimLine(*setup.arm, request);
        double us = 0;
        if (!PlanAndWait(gen, request, setup.start, &us) || gen.GetResult() != 0) {
            state.SkipWithError("joint-space plan failed");
            break;
        }
        state.SetIterationTime(us / 1e6);
        times.push_back(us);
    }
    BenchSupport::ReportPercentiles(state, times);
    state.counters["samples"] = static_cast<double>(gen.ServedSamples().size());
    state.counters["path_s"] =
        static_cast<double>(gen.ServedSamples().size()) * static_cast<double>(gen.sliceUs) / 1e6;
}
BENCHMARK(BM_JointPlanning)
    ->ArgNames({"slicing_ms", "optimize"})
    ->Args({50, 0})
    ->Args({50, 1})
    ->Args({5, 0})
    ->Args({5, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

void BM_LinearPlanning(benchmark::State& state) {
    Setup setup;
    if (!setup.Ready(state)) return;
    const int count = static_cast<int>(state.range(0));
    const bool arcs = state.range(1) != 0;
    LogSingleton::instance()->set_pathGeneratorFlagOptimize(false);
    PathGenerator_02Linear gen(20.0f, 20.0f, kLookAhead);
    setup.Attach(gen);
    gen.Init(false, 50, true);
    std::vector<double> times;
    for (auto _ : state) {
        const Request request = CartesianRequest(setup.start, count, arcs);
        double us = 0;
        if (!PlanAndWait(gen, request, setup.start, &us)) {
            state.SkipWithError("linear plan failed");
            break;
        }
        state.SetIterationTime(us / 1e6);
        times.push_back(us);
    }
    BenchSupport::ReportPercentiles(state, times);
    state.counters["elements"] = gen.elementCount;
    state.counters["path_s"] = gen.elementCount > 0 ? PathGeneratorTestAccess::Times(gen)[gen.elementCount - 1] / 1000.0 : 0.0;
}
BENCHMARK(BM_LinearPlanning)
    ->ArgNames({"commands", "arcs"})
    ->Args({1, 0})
    ->Args({3, 0})
    ->Args({3, 1})
    ->Args({10, 0})
    ->Args({10, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// The planning itself, without the thread start and the hand-over: ComputePath called
// directly on the request. 10 commands with blends at every corner is the chain whose
// planning time the interpreter waits for before a blended program moves.
void BM_LinearComputePath(benchmark::State& state) {
    Setup setup;
    if (!setup.Ready(state)) return;
    const int count = static_cast<int>(state.range(0));
    const bool arcs = state.range(1) != 0;
    PathGenerator_02Linear gen(20.0f, 20.0f, kLookAhead);
    setup.Attach(gen);
    gen.Init(false, 50, true);
    std::vector<double> times;
    for (auto _ : state) {
        const Request request = CartesianRequest(setup.start, count, arcs);
        RobotState start = setup.start;
        gen.SetFirstCmd(request[0], &start, 0, request[0]->nextSuccessor);
        for (size_t i = 1; i < request.size(); ++i) {
            gen.SetNextCmd(request[i], static_cast<int>(i), request[i]->nextSuccessor);
        }
        const auto t0 = Clock::now();
        gen.ComputePath();
        const double us = Micros(Clock::now() - t0);
        if (!gen.IsPathAvailable()) {
            state.SkipWithError("linear plan failed");
            break;
        }
        state.SetIterationTime(us / 1e6);
        times.push_back(us);
    }
    BenchSupport::ReportPercentiles(state, times);
    state.counters["elements"] = gen.elementCount;
    state.counters["path_s"] = gen.elementCount > 0 ? PathGeneratorTestAccess::Times(gen)[gen.elementCount - 1] / 1000.0 : 0.0;
}
BENCHMARK(BM_LinearComputePath)
    ->ArgNames({"commands", "arcs"})
    ->Args({3, 0})
    ->Args({10, 0})
    ->Args({10, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// --- one robot cycle ---------------------------------------------------------------------

// Calls GetJointPosition once per iteration at 4 ms steps of path time; when the path
// ends, replan (untimed) through `restart` and walk it again.
void RunCycles(benchmark::State& state, PathGenerator& gen, const std::function<bool()>& restart) {
    std::vector<double> times;
    times.reserve(static_cast<size_t>(state.max_iterations));
    long long allocations = 0;
    float joints[9] = {};
    int cmdIndex = -1;
    long tUs = 0;
    for (auto _ : state) {
        tUs += kCycleUs;
        int r = -1;
        const long long before = AllocationCounter::Count();
        const auto t0 = Clock::now();
        try {
            r = gen.GetJointPosition(tUs, joints, &cmdIndex);
        } catch (int code) {
            state.SkipWithError(("kinematic error " + std::to_string(code)).c_str());
            break;
        }
        const auto t1 = Clock::now();
        allocations += AllocationCounter::Count() - before;
        benchmark::DoNotOptimize(joints);
        const double us = Micros(t1 - t0);
        state.SetIterationTime(us / 1e6);
        if (times.size() < times.capacity()) times.push_back(us);
        if (r != -1) {
            tUs = 0;
            if (!restart()) {
                state.SkipWithError("replanning failed");
                break;
            }
        }
    }
    BenchSupport::ReportPercentiles(state, times);
    state.counters["allocs_per_cycle"] =
        state.iterations() > 0 ? static_cast<double>(allocations) / static_cast<double>(state.iterations()) : 0.0;
}

// Cartesian path walked with the six-axis inverse kinematics in every cycle.
void BM_LinearCycle(benchmark::State& state) {
    Setup setup;
    if (!setup.Ready(state)) return;
    const bool arcs = state.range(0) != 0;
    LogSingleton::instance()->set_pathGeneratorFlagOptimize(false);
    PathGenerator_02Linear gen(20.0f, 20.0f, kLookAhead);
    setup.Attach(gen);
    gen.Init(false, 50, true);
    auto plan = [&] { return PlanAndWait(gen, CartesianRequest(setup.start, kLookAhead, arcs), setup.start, nullptr); };
    if (!plan()) {
        state.SkipWithError("linear plan failed");
        return;
    }
    RunCycles(state, gen, plan);
}
BENCHMARK(BM_LinearCycle)->ArgName("arcs")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kNanosecond);

// Joint-space path: interpolation between stored samples, no kinematics in the cycle.
void BM_JointCycle(benchmark::State& state) {
    Setup setup;
    if (!setup.Ready(state)) return;
    const bool optimize = state.range(0) != 0;
    LogSingleton::instance()->set_pathGeneratorFlagOptimize(optimize);
    PathGenerator_01Joint gen(kLookAhead);
    setup.Attach(gen);
    gen.Init(optimize, 5, true);
    Request request = JointRequest(setup.start);
    AimLine(*setup.arm, request);
    if (!PlanAndWait(gen, request, setup.start, nullptr)) {
        state.SkipWithError("joint-space plan failed");
        return;
    }
    // The samples stay until the next request: walk the same path again.
    RunCycles(state, gen, [] { return true; });
}
BENCHMARK(BM_JointCycle)->ArgName("optimize")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kNanosecond);

// --- starting a request from the robot loop ----------------------------------------------

// The robot loop's calls for a new request, timed alone. busy: an older request is being
// computed at that moment (its commands take 1 ms per step, so it would run for seconds);
// otherwise the generator is idle.
template <class Generator>
void RequestLatency(benchmark::State& state, Generator& gen, Setup& setup,
                    const std::function<Request()>& makeRequest) {
    const bool busy = state.range(0) != 0;
    auto next = [&] {
        Request request = makeRequest();
        if (busy) {
            for (auto& move : request) move->delayUs = 1000;
        }
        return request;
    };
    std::vector<double> times;
    std::vector<double> firstCmdTimes;
    long long allocations = 0;
    Request running;
    if (busy) {
        running = next();
        Submit(gen, running, setup.start);
    }
    for (auto _ : state) {
        Request request = next();
        // Before timing: the previous request is computing (busy) or every thread is done.
        const bool ready = busy ? WaitFor([&] { return running[0]->steps.load() > 0; })
                                : WaitFor([&] { return !gen.IsThreadRunning(); });
        if (!ready) {
            state.SkipWithError("planning thread did not start or end");
            break;
        }
        RobotState start = setup.start;
        const long long before = AllocationCounter::Count();
        const auto t0 = Clock::now();
        gen.SetFirstCmd(request[0], &start, 0, request[0]->nextSuccessor);
        const auto tFirst = Clock::now();
        for (size_t i = 1; i < request.size(); ++i) {
            gen.SetNextCmd(request[i], static_cast<int>(i), request[i]->nextSuccessor);
        }
        gen.ComputePathStartThread();
        const auto t1 = Clock::now();
        allocations += AllocationCounter::Count() - before;
        const double us = Micros(t1 - t0);
        state.SetIterationTime(us / 1e6);
        times.push_back(us);
        firstCmdTimes.push_back(Micros(tFirst - t0));
        running = std::move(request);
    }
    BenchSupport::ReportPercentiles(state, times);
    // SetFirstCmd alone: the part that takes the generator's mutex.
    if (!firstCmdTimes.empty()) {
        std::sort(firstCmdTimes.begin(), firstCmdTimes.end());
        state.counters["first_p50_us"] = firstCmdTimes[firstCmdTimes.size() / 2];
        state.counters["first_max_us"] = firstCmdTimes.back();
    }
    state.counters["allocs_per_request"] =
        state.iterations() > 0 ? static_cast<double>(allocations) / static_cast<double>(state.iterations()) : 0.0;
}

void BM_JointRequestStart(benchmark::State& state) {
    Setup setup;
    if (!setup.Ready(state)) return;
    LogSingleton::instance()->set_pathGeneratorFlagOptimize(false);
    PathGenerator_01Joint gen(kLookAhead);
    setup.Attach(gen);
    gen.Init(false, 5, true);
    RequestLatency(state, gen, setup, [&] {
        Request request = JointRequest(setup.start);
        AimLine(*setup.arm, request);
        return request;
    });
}
BENCHMARK(BM_JointRequestStart)
    ->ArgName("busy")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(40)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

void BM_LinearRequestStart(benchmark::State& state) {
    Setup setup;
    if (!setup.Ready(state)) return;
    LogSingleton::instance()->set_pathGeneratorFlagOptimize(false);
    PathGenerator_02Linear gen(20.0f, 20.0f, kLookAhead);
    setup.Attach(gen);
    gen.Init(false, 50, true);
    RequestLatency(state, gen, setup, [&] { return CartesianRequest(setup.start, kLookAhead, true); });
}
BENCHMARK(BM_LinearRequestStart)
    ->ArgName("busy")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(40)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    LogSingleton::instance();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    LogSingleton::instance()->Flush();
    return 0;
}
