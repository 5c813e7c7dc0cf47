// Condition evaluations per second for a motion's abort condition, which is evaluated
// every robot cycle: a fresh frontend per evaluation (tokenize and check each time)
// against one frontend kept by the command (tokens kept, variables read each time).
#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "program/BooleanLogicParserFrontend.h"
#include "program/ProgramMemory.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace {

const std::string kCondition = "din1 and count > 3";

// A full store (system and exchange variables first, so "count" is found last) and a
// robot state with input 1 set. The log files of the store go to a temporary folder.
struct Environment {
    Environment() {
        char pattern[] = "/tmp/belvanto-condbench-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            std::filesystem::current_path(pattern);
        }
        LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
        memory = std::make_unique<Programs::ProgramMemory>();
        memory->SetVariableSingle("count", 5.0, true);
        state.DIn[0] = true;
    }
    std::unique_ptr<Programs::ProgramMemory> memory;
    DataTypes::RobotState state;
};

Environment& Env() {
    static Environment environment;
    return environment;
}

void BM_ConditionFreshFrontend(benchmark::State& run) {
    Environment& env = Env();
    for (auto _ : run) {
        BooleanLogicParserFrontend frontend;
        frontend.SetExpression(kCondition);
        benchmark::DoNotOptimize(frontend.GetCurrentResult(env.memory.get(), &env.state));
    }
    run.SetItemsProcessed(run.iterations());
}
BENCHMARK(BM_ConditionFreshFrontend);

void BM_ConditionKeptFrontend(benchmark::State& run) {
    Environment& env = Env();
    BooleanLogicParserFrontend frontend;
    for (auto _ : run) {
        frontend.SetExpression(kCondition);
        benchmark::DoNotOptimize(frontend.GetCurrentResult(env.memory.get(), &env.state));
    }
    run.SetItemsProcessed(run.iterations());
}
BENCHMARK(BM_ConditionKeptFrontend);

}  // namespace

BENCHMARK_MAIN();
