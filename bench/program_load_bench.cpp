// Loading a program of 5,000 elements (a main program calling 50 sub-programs), quiet
// and with the element log lines, and writing a program of 5,000 commands back. Reports
// the heap allocations per load and the process's peak resident memory. The write-back of
// a 1,000-command program reports its time and the size of the written file: the moves,
// I/O and waits alone, and a program holding every command kind and block.
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

        Write("bench/tiny.xml", "<Program><Comment Nr=\"1\" Descr=\"called\"/></Program>\n");
        Write("bench/moves1000.xml", Thousand(false));
        Write("bench/every1000.xml", Thousand(true));
    }

    // 1,000 commands with numbers as taught positions carry them (three decimals). The
    // first kind holds moves, outputs, gripper, waits and velocities only; the second every
    // command kind, its blocks and a header.
    static std::string Thousand(bool everyKind) {
        std::string xml = "<Program>\n";
        if (everyKind) {
            xml += "<Header Software=\"V980-13-030\"/>\n";
        }
        int commands = 0;
        for (int i = 0; commands < 1000; ++i) {
            const std::string n = std::to_string(i);
            const std::string f = std::to_string(i % 97) + ".456";
            const std::string moves[] = {
                "<Joint Nr=\"" + n + "\" a1=\"" + f + "\" a2=\"-20.125\" a3=\"70.5\" a4=\"45\" velPercent=\"50\" acc=\"50\" "
                "smooth=\"0\" AbortCondition=\"false\"/>\n",
                "<Linear Nr=\"" + n + "\" x=\"323." + n + "\" y=\"" + f + "\" z=\"357.6\" a=\"180\" b=\"45\" c=\"180\" "
                "vel=\"120\" acc=\"50\" smooth=\"0\" AbortCondition=\"false\"/>\n",
                "<Relative Nr=\"" + n + "\" MoType=\"cartbase\" x=\"" + f + "\" y=\"0\" z=\"-1.5\" vel=\"50\" acc=\"40\" "
                "smooth=\"0\" AbortCondition=\"false\"/>\n",
                "<Output Nr=\"" + n + "\" Channel=\"DOut3\" State=\"True\"/>\n",
                "<Gripper Nr=\"" + n + "\" Position=\"42.5\"/>\n",
                "<Wait Nr=\"" + n + "\" Type=\"Time\" Seconds=\"0.25\"/>\n",
                "<SetVel Nr=\"" + n + "\" Joint=\"1\" Vel=\"12.5\" Acc=\"30\"/>\n",
            };
            for (const std::string& m : moves) {
                if (commands < 1000) {
                    xml += m;
                    ++commands;
                }
            }
            if (!everyKind || commands + 17 > 1000) {
                continue;
            }
            xml += "<Comment Nr=\"" + n + "\" Descr=\"step " + n + "\"/>\n"
                   "<Store Nr=\"" + n + "\" Type=\"number\" Name=\"v\" Value=\"1.5\"/>\n"
                   "<Store Nr=\"" + n + "\" Type=\"position\" Name=\"p\" Value=\"400 0.5 300 180 20 180\"/>\n"
                   "<Loop Nr=\"" + n + "\" Mode=\"Count\" Times=\"2\"/>\n"
                   "<MathOperator Nr=\"" + n + "\" Function=\"add\" FirstOperand=\"v\" SecondOperand=\"1\"/>\n"
                   "<If Nr=\"" + n + "\" Condition=\"v &gt; 2\"/>\n"
                   "<Pause Nr=\"" + n + "\"/>\n"
                   "<Else/>\n"
                   "<Stop Nr=\"" + n + "\"/>\n"
                   "<EndIf/>\n"
                   "<EndLoop/>\n"
                   "<MatrixDefinition Nr=\"" + n + "\" CntX=\"3\" CntY=\"2\" Name=\"Pal\" VarPointA=\"p\" VarPointB=\"p\" "
                   "VarPointC=\"p\"/>\n"
                   "<MatrixQuery Nr=\"" + n + "\" Name=\"Pal\" VarIndex=\"v\" VarTargetPos=\"t\" VarCntX=\"x\" "
                   "VarCntY=\"y\"/>\n"
                   "<Matrix Nr=\"" + n + "\" CntX=\"2\" CntY=\"1\" VarPointA=\"p\" VarPointB=\"p\" VarPointC=\"p\" "
                   "VarTargetPos=\"t\" VarCntX=\"x\" VarCntY=\"y\"/>\n"
                   "<System Nr=\"" + n + "\"/>\n"
                   "<MatrixEnd/>\n"
                   "<Circular Nr=\"" + n + "\" vel=\"50\" acc=\"40\" smooth=\"0\" useAngle=\"false\" angle=\"0\" "
                   "Source=\"numerical\" p1x=\"440\" p1y=\"10\" p1z=\"250\" p2x=\"450\" p2y=\"0\" p2z=\"250\" a=\"180\" "
                   "b=\"10\" c=\"180\" e1=\"0\" e2=\"0\" e3=\"0\" AbortCondition=\"false\"/>\n"
                   "<Camera Nr=\"" + n + "\" CameraName=\"Cam1\" CameraType=\"Sim\" VarTargetPos=\"c\" VarModelClass=\"m\"/>\n"
                   "<Plugin Nr=\"" + n + "\" PluginName=\"PluginSim\" VarTargetPos=\"c\" VarModelClass=\"m\"/>\n"
                   "<Wait Nr=\"" + n + "\" Type=\"Conditional\" Condition=\"din1\"/>\n"
                   "<Sub Nr=\"" + n + "\" File=\"bench/tiny.xml\"/>\n";
            commands += 17;
        }
        return xml + "</Program>\n";
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

// Argument: 0 moves, I/O and waits only, 1 every command kind with its blocks. A program
// that cannot be written is reported as an error, not timed.
void BM_WriteBack1000(benchmark::State& state) {
    Folder();
    const char* source = state.range(0) == 0 ? "bench/moves1000.xml" : "bench/every1000.xml";
    Programs::ProgramMemory memory;
    auto ipo = MakeIpo(&memory);
    ipo->LoadProgramSynchronous(source, true);
    const std::string written = LogSingleton::instance()->get_rootPath() + "Data/Programs/bench/written1000.xml";
    std::error_code ec;
    std::filesystem::remove(written, ec);
    int commands = 0;
    for (auto _ : state) {
        commands = ipo->WriteXMLFile(0, "bench/written1000.xml");
        if (commands < 0) {
            state.SkipWithError("the program could not be written");
            break;
        }
    }
    const auto bytes = std::filesystem::file_size(written, ec);
    state.counters["commands"] = commands;
    state.counters["file_bytes"] = ec ? 0.0 : static_cast<double>(bytes);
}
BENCHMARK(BM_WriteBack1000)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
