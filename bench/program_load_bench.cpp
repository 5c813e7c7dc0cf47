// Loading a program of 5,000 elements (a main program calling 50 sub-programs), quiet
// and with the element log lines, and writing a program of 5,000 commands back. Reports
// the heap allocations per load and the process's peak resident memory.
#include "AllocationCounter.h"

#include "core/LogSingleton.h"
#include "kinematics/RobotKinematic.h"
#include "program/IPO.h"
#include "program/ProgramMemory.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

constexpr int kSubPrograms = 50;
constexpr int kSubElements = 50;                                 // per sub-program
constexpr int kMainElements = 5000 - kSubPrograms * kSubElements;  // the Sub calls included

class BenchKinematic : public RobotKinematic {
public:
    BenchKinematic() {
        nrOfJoints = 6;
        nrOfExtJoints = 3;
    }
    std::unique_ptr<RobotKinematic> clone() const override { return std::make_unique<BenchKinematic>(); }
};

// The log singleton and the programs live in a folder of their own.
struct BenchFolder {
    BenchFolder() {
        char pattern[] = "/tmp/belvanto-loadbench-XXXXXX";
        folder = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
        previous = std::filesystem::current_path().string();
        std::filesystem::create_directories(folder + "/Data/Programs/bench");
        std::filesystem::current_path(folder);
        LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
        LogSingleton::instance();
        WritePrograms();
    }
    ~BenchFolder() {
        std::filesystem::current_path(previous);
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }

    static void Write(const std::string& name, const std::string& content) {
        std::ofstream out(LogSingleton::instance()->get_rootPath() + "Data/Programs/" + name);
        out << content;
    }

    // A mix of the common elements; every block closed within the group.
    static std::string Group(int nr, int* count) {
        const std::string n = std::to_string(nr);
        *count = 14;  // elements, block ends included
        return "<Joint Nr=\"" + n + "\" a1=\"10\" a2=\"20\" velPercent=\"50\" AbortCondition=\"false\"/>\n"
               "<Linear Nr=\"" + n + "\" x=\"300\" y=\"10\" z=\"400\" vel=\"100\" AbortCondition=\"din1 == 1\"/>\n"
               "<Store Nr=\"" + n + "\" Type=\"number\" Name=\"v" + n + "\" Value=\"1\"/>\n"
               "<Loop Nr=\"" + n + "\" Mode=\"Count\" Times=\"2\"/>\n"
               "<MathOperator Nr=\"" + n + "\" Function=\"ADD\" FirstOperand=\"v" + n + "\" SecondOperand=\"1\"/>\n"
               "<If Nr=\"" + n + "\" Condition=\"v" + n + " > 2\"/>\n"
               "<Output Nr=\"" + n + "\" Channel=\"DOut1\" State=\"True\"/>\n"
               "<Else/>\n"
               "<Wait Nr=\"" + n + "\" Type=\"Time\" Seconds=\"0.1\"/>\n"
               "<EndIf/>\n"
               "<EndLoop/>\n"
               "<Gripper Nr=\"" + n + "\" Position=\"50\"/>\n"
               "<SetVel Nr=\"" + n + "\" Joint=\"1\" Vel=\"10\" Acc=\"50\"/>\n"
               "<Comment Nr=\"" + n + "\" Descr=\"step\"/>\n";
    }

    static std::string Body(int elements, int reserved) {
        std::string xml;
        int count = 0;
        for (int nr = 0; count + 14 <= elements - reserved; ++nr) {
            int added = 0;
            xml += Group(nr, &added);
            count += added;
        }
        for (; count < elements - reserved; ++count) xml += "<Comment Nr=\"0\" Descr=\"pad\"/>\n";
        return xml;
    }

    static void WritePrograms() {
        for (int s = 0; s < kSubPrograms; ++s) {
            Write("bench/sub" + std::to_string(s) + ".xml", "<Program>\n" + Body(kSubElements, 0) + "</Program>\n");
        }
        std::string main = "<Program>\n" + Body(kMainElements, kSubPrograms);
        for (int s = 0; s < kSubPrograms; ++s) {
            main += "<Sub Nr=\"0\" File=\"bench\\sub" + std::to_string(s) + ".xml\"/>\n";
        }
        Write("bench/main.xml", main + "</Program>\n");

        std::string writable = "<Program>\n";
        for (int i = 0; i < 2500; ++i) {
            writable += "<SetVel Nr=\"1\" Joint=\"1\" Vel=\"10\" Acc=\"50\"/>\n<Gripper Nr=\"2\" Position=\"50\"/>\n";
        }
        Write("bench/writable.xml", writable + "</Program>\n");
    }

    std::string folder;
    std::string previous;
};

BenchFolder& Folder() {
    static BenchFolder folder;
    return folder;
}

std::unique_ptr<IPO> MakeIpo(Programs::ProgramMemory* memory) {
    auto ipo = std::make_unique<IPO>(IPO::IPO_MAIN);
    ipo->SetMemory(memory);
    ipo->InitPathGen(PATHGEN_JOINT, 1.0f, 1.0f, 5);
    ipo->GetPathGenerator()->SetKinematic(std::make_unique<BenchKinematic>());
    return ipo;
}

double PeakResidentMB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in kB
}

// Argument: 1 quiet, 0 with the element log lines.
void BM_LoadProgram(benchmark::State& state) {
    Folder();
    const bool quiet = state.range(0) != 0;
    Programs::ProgramMemory memory;
    auto ipo = MakeIpo(&memory);
    int commands = 0;
    const long long before = AllocationCounter::Count();
    for (auto _ : state) {
        ipo->LoadProgramSynchronous("bench/main.xml", quiet);
        state.PauseTiming();
        commands = 0;
        for (const IPO::ProgramSummary& s : ipo->GetProgramSummaries()) commands += s.commandCount;
        state.ResumeTiming();
    }
    AllocationCounter::Report(state, before, "allocs_per_load");
    state.counters["commands"] = commands;
    state.counters["elements"] = 5000;
    state.counters["programs"] = static_cast<double>(ipo->GetProgramSummaries().size());
    state.counters["peak_rss_MB"] = PeakResidentMB();
}
BENCHMARK(BM_LoadProgram)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_WriteXMLFile(benchmark::State& state) {
    Folder();
    Programs::ProgramMemory memory;
    auto ipo = MakeIpo(&memory);
    ipo->LoadProgramSynchronous("bench/writable.xml", true);
    int written = 0;
    for (auto _ : state) {
        written = ipo->WriteXMLFile(0, "bench/written.xml");
    }
    state.counters["commands"] = written;
    state.counters["peak_rss_MB"] = PeakResidentMB();
}
BENCHMARK(BM_WriteXMLFile)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
