// Per-call cost of program commands as the interpreter runs them in the robot loop.
// Every benchmark reports its heap allocations per call ("allocs_per_call").
#include "AllocationCounter.h"

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "kinematics/RobotKinematic.h"
#include "testsupport/PlanarKinematic.h"
#include "program/CommandIf.h"
#include "program/CommandJoint.h"
#include "program/CommandLinear.h"
#include "program/CommandMathFunction.h"
#include "program/CommandMatrixDefinition.h"
#include "program/CommandMatrixQuery.h"
#include "program/CommandStoreData.h"
#include "program/ProgramMemory.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace {

// The log singleton writes its files into the working directory: keep them out of the way.
struct CommandBenchFolder {
    CommandBenchFolder() {
        char pattern[] = "/tmp/belvanto-cmdbench-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            std::filesystem::current_path(pattern);
        }
        LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
        LogSingleton::instance();
    }
};

void EnsureBenchFolder() { static CommandBenchFolder folder; }

// Joints 0..2 are the translation, joint 3 the turn about z: a cheap stand-in for the
// store's kinematic, so the query's figure is the command's own cost plus one solve.
class BenchKinematic : public TestSupport::PlanarKinematic {
public:
    BenchKinematic() { kinematicTypeName = "BenchKinematic"; }
    std::unique_ptr<RobotKinematic> clone() const override { return CloneAs<BenchKinematic>(*this); }
};

// A full store (system and exchange variables first, so the program's own variables are
// found last, as in a running program) with a kinematic, a pallet and a few variables.
struct DataEnvironment {
    DataEnvironment() {
        EnsureBenchFolder();
        memory.SetKinematic(std::make_unique<BenchKinematic>());
        memory.SetRobotState(&live);
        memory.SetVariableSingle("count", 2.0, true);
        memory.SetVariableSingle("index", 4.0, true);
        DataTypes::RobotState p;
        p.pose.SetTranslation(10.0f, 20.0f, 30.0f);
        memory.SetVariable(Programs::MemoryPosition("p", p, false), Programs::ContentUnchanged);
        DataTypes::RobotState b = p;
        b.pose.SetTranslation(210.0f, 20.0f, 30.0f);
        b.A = 30.0f;
        DataTypes::RobotState c = p;
        c.pose.SetTranslation(10.0f, 120.0f, 30.0f);
        memory.SetVariable(Programs::MemoryPosition("pb", b, false), Programs::ContentUnchanged);
        memory.SetVariable(Programs::MemoryPosition("pc", c, false), Programs::ContentUnchanged);
        CommandMatrixDefinition def;
        def.name = "pal";
        def.varPointA = "p";
        def.varPointB = "pb";
        def.varPointC = "pc";
        def.CntX = 3;
        def.CntY = 2;
        def.memory = &memory;
        def.Interpolate(10, 100.0f, &cycle);
    }
    Programs::ProgramMemory memory;
    DataTypes::RobotState live;
    DataTypes::RobotState cycle;
};

DataEnvironment& Data() {
    static DataEnvironment environment;
    return environment;
}

// One entry of an If whose condition is "false": the evaluating call and the call that
// continues after the block. Must not touch the heap once the command has run once.
void BM_IfFalseCondition(benchmark::State& run) {
    DataEnvironment& env = Data();
    CommandIf cmd;
    cmd.condition = "false";
    cmd.memory = &env.memory;
    cmd.bodySuccessor = 1;
    cmd.elseSuccessor = 0;
    cmd.nextSuccessor = 2;
    cmd.Interpolate(10, 100.0f, &env.cycle);  // first use sizes the parser's buffers
    cmd.Interpolate(10, 100.0f, &env.cycle);
    const long long before = AllocationCounter::Count();
    for (auto _ : run) {
        benchmark::DoNotOptimize(cmd.Interpolate(10, 100.0f, &env.cycle));
        benchmark::DoNotOptimize(cmd.Interpolate(10, 100.0f, &env.cycle));
    }
    AllocationCounter::Report(run, before);
}
BENCHMARK(BM_IfFalseCondition);

// MathOperator, argument 0: number + literal, 1: number + position element,
// 2: element of a position + literal, 3: whole position times a literal.
void BM_MathOperator(benchmark::State& run) {
    static const char* const operands[][3] = {
        {"add", "count", "1"}, {"add", "count", "p.x"}, {"add", "p.x", "1"}, {"multiply", "p", "1"}};
    DataEnvironment& env = Data();
    CommandMathFunction cmd;
    cmd.function = operands[run.range(0)][0];
    cmd.firstOperand = operands[run.range(0)][1];
    cmd.secondOperand = operands[run.range(0)][2];
    cmd.memory = &env.memory;
    cmd.nextSuccessor = 1;
    const long long before = AllocationCounter::Count();
    for (auto _ : run) {
        benchmark::DoNotOptimize(cmd.Interpolate(10, 100.0f, &env.cycle));
    }
    AllocationCounter::Report(run, before);
}
BENCHMARK(BM_MathOperator)->DenseRange(0, 3);

// MatrixQuery of index 4 in a 3x2 grid: place, joints solved, three variables written.
void BM_MatrixQuery(benchmark::State& run) {
    DataEnvironment& env = Data();
    CommandMatrixQuery cmd;
    cmd.name = "pal";
    cmd.varIndex = "index";
    cmd.varTargetPos = "target";
    cmd.varCntX = "cx";
    cmd.varCntY = "cy";
    cmd.memory = &env.memory;
    cmd.nextSuccessor = 1;
    const long long before = AllocationCounter::Count();
    for (auto _ : run) {
        benchmark::DoNotOptimize(cmd.Interpolate(10, 100.0f, &env.cycle));
    }
    AllocationCounter::Report(run, before);
}
BENCHMARK(BM_MatrixQuery);

// Store, argument 0: a number, 1: a given position.
void BM_Store(benchmark::State& run) {
    DataEnvironment& env = Data();
    CommandStoreData cmd;
    cmd.name = run.range(0) == 0 ? "stored" : "storedpos";
    cmd.type = run.range(0) == 0 ? "number" : "position";
    cmd.numberValue = 2.5f;
    cmd.position = DataTypes::Vector3(100.0f, 0.0f, 250.0f);
    cmd.memory = &env.memory;
    cmd.nextSuccessor = 1;
    const long long before = AllocationCounter::Count();
    for (auto _ : run) {
        benchmark::DoNotOptimize(cmd.Interpolate(10, 100.0f, &env.cycle));
    }
    AllocationCounter::Report(run, before);
}
BENCHMARK(BM_Store)->DenseRange(0, 1);

}  // namespace

// --- Motion commands, interpolated cycle by cycle -------------------------------------

namespace {

// Two moves of one kind that run back and forth between two targets, so the loop measures
// the steady per-cycle step; a new run's first cycle falls on one call in thousands.
template <typename T>
struct PingPong {
    T there;
    T back;
    T* active = &there;
    DataTypes::RobotState state;

    PingPong() {
        there.nextSuccessor = 1;
        back.nextSuccessor = 0;
    }
    int Step() {
        const int result = active->Interpolate(10, 100.0f, &state);
        if (result >= 0) {
            active = active == &there ? &back : &there;
            ++finished;
        }
        return result;
    }
    long long finished = 0;
};

// Moves finished per call: shows that the loop measured steady cycles.
template <typename T>
void ReportFinished(benchmark::State& run, const PingPong<T>& moves) {
    run.counters["moves_per_call"] =
        benchmark::Counter(static_cast<double>(moves.finished), benchmark::Counter::kAvgIterations);
}

void SetJointTarget(CommandJoint& cmd, float sign) {
    const float joints[9] = {170, -90, 120, 300, -115, 360, 500, -250, 90};
    for (int j = 0; j < 9; ++j) {
        cmd.target.jointSet[j] = sign * joints[j];
    }
    cmd.velJointPercent = 50.0f;
    cmd.abortCondition = "false";
}

void SetLinearTarget(CommandLinear& cmd, float sign) {
    cmd.target.pose.SetTranslation(sign * 1000.0f, sign * 500.0f, 300.0f + sign * 200.0f);
    cmd.target.A = sign * 170.0f;
    cmd.target.B = sign * 30.0f;
    cmd.target.C = sign * -20.0f;
    cmd.target.UpdateMatrixFromABC();
    cmd.target.jointSet[6] = sign * 500.0f;
    cmd.velCartesian = 100.0f;
    cmd.abortCondition = "false";
}

// Joint move of all nine axes, 50 % velocity, 10 ms cycles.
void BM_JointInterpolate(benchmark::State& run) {
    EnsureBenchFolder();
    PingPong<CommandJoint> moves;
    SetJointTarget(moves.there, 1.0f);
    SetJointTarget(moves.back, -1.0f);
    moves.Step();
    const long long before = AllocationCounter::Count();
    for (auto _ : run) {
        benchmark::DoNotOptimize(moves.Step());
    }
    AllocationCounter::Report(run, before);
    ReportFinished(run, moves);
}
BENCHMARK(BM_JointInterpolate);

// Linear move with translation, orientation and an external axis, 100 mm/s, 10 ms cycles.
void BM_LinearInterpolate(benchmark::State& run) {
    EnsureBenchFolder();
    PingPong<CommandLinear> moves;
    SetLinearTarget(moves.there, 1.0f);
    SetLinearTarget(moves.back, -1.0f);
    moves.Step();
    const long long before = AllocationCounter::Count();
    for (auto _ : run) {
        benchmark::DoNotOptimize(moves.Step());
    }
    AllocationCounter::Report(run, before);
    ReportFinished(run, moves);
}
BENCHMARK(BM_LinearInterpolate);

// A Linear move whose override changes every cycle: each call replans its steps.
void BM_LinearInterpolateReplan(benchmark::State& run) {
    EnsureBenchFolder();
    CommandLinear cmd;
    SetLinearTarget(cmd, 1.0f);
    cmd.velCartesian = 0.0f;  // never arrives: every call is a steady one
    DataTypes::RobotState state;
    float ov = 100.0f;
    cmd.Interpolate(10, ov, &state);
    const long long before = AllocationCounter::Count();
    for (auto _ : run) {
        ov = ov == 100.0f ? 99.0f : 100.0f;
        benchmark::DoNotOptimize(cmd.Interpolate(10, ov, &state));
    }
    AllocationCounter::Report(run, before);
}
BENCHMARK(BM_LinearInterpolateReplan);

// The abort condition "false" of a motion command, checked by the robot loop each cycle.
void BM_MotionAbortConditionFalse(benchmark::State& run) {
    EnsureBenchFolder();
    CommandJoint cmd;
    cmd.abortCondition = "false";
    Programs::ProgramMemory memory;
    cmd.memory = &memory;
    DataTypes::RobotState state;
    cmd.InterpolateLogic(10, 100.0f, &state);  // first use sizes the parser's buffers
    const long long before = AllocationCounter::Count();
    for (auto _ : run) {
        benchmark::DoNotOptimize(cmd.InterpolateLogic(10, 100.0f, &state));
    }
    AllocationCounter::Report(run, before);
}
BENCHMARK(BM_MotionAbortConditionFalse);

}  // namespace

// Further command benchmarks go above this line; BENCHMARK_MAIN stays last.
BENCHMARK_MAIN();
