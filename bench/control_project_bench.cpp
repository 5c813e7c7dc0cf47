// Project write-back: one forced UpdateConfiguration of a complete project (load, edit,
// print, atomic write with fsync), without the 100 ms pause before the write.
#include "control/ProjectManager.h"
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

const char* kProject =
    "<?xml version=\"1.0\"?>\n<ProjectFile>\n"
    "    <Robot Name=\"Cell1\" Type=\"Bench/Null\" Tool=\"\"/>\n"
    "    <Program File=\"start.xml\" Override=\"40\" Repeat=\"True\" FileLogic=\"\"/>\n"
    "    <PLCInterface Active=\"true\"/>\n    <PLCInterfaceIn EnableNumber=\"1\"/>\n"
    "    <PLCInterfaceOut FaultNumber=\"2\"/>\n    <PLCInterfaceRefSequence JointToRef0=\"0\"/>\n"
    "    <PLCTrigger DIn=\"5\" Type=\"Program\" Name=\"pick.xml\"/>\n"
    "    <OperationModes Active=\"false\"/>\n"
    "    <Environment><ModbusServer Active=\"false\"/></Environment>\n</ProjectFile>\n";

void BM_ProjectWriteBack(benchmark::State& state) {
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    const std::string root = LogSingleton::instance()->get_rootPath();
    std::filesystem::create_directories(root + "Data/Projects");
    const std::string name = "Data/Projects/bench.prj";
    std::ofstream(root + name) << kProject;

    RobotMaster master;  // no robot file: the reader stops in Init, the path is kept
    ProjectManager pm;
    pm.ReadProjectFile(name, &master);
    pm.SetWriteDelayMs(0);
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    float override = 0.0f;
    for (auto _ : state) {
        master.SetOverride(override);
        override = override >= 99.0f ? 0.0f : override + 1.0f;
        pm.QueueUpdateProjectFile();
        pm.UpdateConfiguration(&master, true);
    }
    std::filesystem::remove(root + name);
}
BENCHMARK(BM_ProjectWriteBack)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
