#include "control/Application.h"

#include "control/KeyboardInput.h"
#include "control/ShutdownInit.h"
#include "core/DeviceIdentity.h"
#include "core/Filesystem.h"
#include "core/LogSingleton.h"
#include "hardware/HardwareProtocol.h"
#include "hardware/HardwareProtocolCANopen.h"
#include "program/IPO.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

// Codes stored from index first on, padded with 0 up to shown entries (at most count real ones).
void AppendCodes(std::ostringstream& out, const DataTypes::RobotState& state, int first, int count,
                 int shown) {
    for (int i = 0; i < shown; ++i) {
        const int index = first + i;
        const int code = (i < count && index >= 0 && index < 16) ? state.errorCodes[index] : 0;
        if (i > 0) out << " ";
        out << code;
    }
}

}  // namespace

Application::Links Application::NoOpLinks() {
    Links links;
    links.panel = std::make_unique<AppLinks::OperatorPanel>();
    links.servers = std::make_unique<AppLinks::RemoteServers>();
    links.modbus = std::make_unique<AppLinks::ModbusServer>();
    links.cameras = std::make_unique<AppLinks::Cameras>();
    links.cloud = std::make_unique<ProjectLinks::StoredCloudSettings>();
    return links;
}

Application::Application(KeyboardInput& keys, std::atomic<bool>& stopFlag, Links givenLinks)
    : keys(keys), flagStop(stopFlag), links(std::move(givenLinks)) {
    Links defaults = NoOpLinks();
    if (!links.panel) links.panel = std::move(defaults.panel);
    if (!links.servers) links.servers = std::move(defaults.servers);
    if (!links.modbus) links.modbus = std::move(defaults.modbus);
    if (!links.cameras) links.cameras = std::move(defaults.cameras);
    if (!links.cloud) links.cloud = std::move(defaults.cloud);
    projectManager = std::make_unique<ProjectManager>(links.cloud.get());
    port = std::make_unique<Control::RobotMasterPort>(rm, projectManager.get());
    projectManager->SetCameras(links.cameras->Settings());
}

Application::~Application() { Shutdown(); }

void Application::SetWait(WaitFunction wait) { waitFunction = std::move(wait); }

void Application::Wait(int ms) const {
    if (waitFunction) {
        waitFunction(ms);
    } else if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

// ------------------------------------------------------------------------------ start-up

int Application::Start(const ApplicationVersion& version) {
    LogSingleton* log = Log();
    const int result = projectManager->OpenProject(&rm);
    RemoveStaleTemporaryFiles();
    // Any failure, including a front-end file without a usable project, leaves the loop
    // in failure mode so that it reports instead of running an unconfigured robot.
    projectManager->ApplyOpenFailure(result);
    Wait(100);

    links.panel->Connect(rm.GetDisplayPortDefault());
    Wait(100);

    links.servers->Init(port.get(), projectManager.get(), links.cloud.get());
    links.servers->Start();
    links.modbus->Init(port.get());
    links.modbus->SetSoftwareInfo(version.major, version.minor, version.build);
    if (projectManager->modbusEnabled.load()) links.modbus->Start();

    if (result != 0) return result;

    Wait(50);
    log->add("");
    log->ReadVariablesFromStorage();
    log->add("");
    KeyboardInput::PrintHelp();
    std::fill(std::begin(jogValues), std::end(jogValues), 0.0f);
    Wait(100);
    log->add("");
    log->DisplayAndServerSetMessage("Belvanto " + version.text);

    rm.FinishInit();
    log->add("");
    Wait(500);

    IPO& mainIpo = rm.GetMainInterpreter();
    mainIpo.OffsetReset();
    mainIpo.LoadProgram(projectManager->GetStartProgram(), false);
    rm.SetOverride(projectManager->GetOverride());
    mainIpo.SetReplayMode(projectManager->GetRepeat() ? IPO::REPLAY_REPEAT : IPO::REPLAY_SINGLE);
    Wait(500);

    IPO& logicIpo = rm.GetLogicInterpreter();
    logicIpo.SetName("LogicIPO");
    if (!projectManager->GetLogicProgram().empty()) {
        logicIpo.OffsetReset();
        // Waits for the load however long it takes, so a slow load still starts.
        logicIpo.LoadProgramSynchronous(projectManager->GetLogicProgram(), false);
        logicIpo.SetReplayMode(IPO::REPLAY_REPEAT);
        logicIpo.Start();
    }

    ShutdownInit::Init(projectManager.get(), &rm);
    started = true;
    log->add("");
    Wait(1000);
    return 0;
}

void Application::RemoveStaleTemporaryFiles() {
    LogSingleton* log = Log();
    const std::string root = log->get_rootPath();
    std::vector<std::string> written = {log->GetStorageFilePath(), root + DeviceIdentity::kFallbackFile,
                                        root + "Data/Programs/" + IPO::kStoredProgramFile};
    // Known once the project and its robot file have been found.
    for (const std::string& path : {projectManager->GetProjectFilePath(), rm.GetRobotFilePath()}) {
        if (!path.empty()) written.push_back(path);
    }
    for (const std::string& path : written) Filesystem::RemoveStaleTemporaries(path);
}

// ----------------------------------------------------------------------------- main loop

bool Application::Run() {
    try {
        while (!flagStop.load()) RunPass();
    } catch (const std::exception& e) {
        Log()->addFormat("MAIN LOOP EXCEPTION: %s", e.what());
        Log()->addConsole((std::string("Error in Main Loop: ") + e.what()).c_str());
        return false;
    }
    return true;
}

void Application::RunPass() {
    if (throwInPass) throw std::runtime_error("test exception in a main-loop pass");
    LogSingleton* log = Log();
    links.panel->Update();
    rs = rm.GetRobotState();

    // Camera lines are built once per pass; every client then takes the ones it lacks.
    links.cameras->ProduceHVPLines();
    links.servers->SetCurrentPos(rs);
    links.servers->PublishData();
    Wait(1);
    links.servers->SendServerMessage();
    Wait(1);
    links.servers->PublishLogMessage();

    switch (log->get_opMode()) {
        case OPMODE_SERIOUS_FAILURE: {
            char buffer[512];
            std::snprintf(buffer, sizeof(buffer), "ERROR: %s", log->get_seriousFailReason().c_str());
            log->DisplayAndServerSetMessage(buffer);
            log->add(buffer);
            // Corrections sent by a client reach the files; with no project path the
            // project manager writes nothing.
            if (links.servers->GetActiveServer() != nullptr) {
                projectManager->UpdateConfiguration(&rm, false);
                rm.UpdateConfiguration();
            }
            Wait(kFailureWaitMs);
            return;
        }
        case OPMODE_CAN_BRIDGE:
            log->DisplayAndServerSetMessage("CAN Bridge Mode");
            log->add("CAN Bridge Mode");
            Wait(kFailureWaitMs);
            return;
        default:
            NormalPass();
            return;
    }
}

void Application::NormalPass() {
    LogSingleton* log = Log();
    ReconnectCan();
    links.panel->SetValues(rs);
    const std::shared_ptr<AppLinks::RemoteClient> client = links.servers->GetActiveServer();
    MergeJogValues(client.get());

    OperatorCommand command = PickUpCommand(client.get());
    HandleSdoRequest();
    if (command.code != 0) {
        ExecuteOperatorCommand(rm, Hooks(), rs, command);
    }

    ++slowCnt;
    if (slowCnt % kStatusEvery == 0) {
        projectManager->UpdateConfiguration(&rm, false);
        rm.UpdateConfiguration();
        log->add(StatusLine(rs));
    }
    if (slowCnt > kStatisticsAfter) {
        LogStatistics(rs);
        slowCnt = 0;
        log->WriteVariablesToStorage();
    }
    Wait(kPassWaitMs);
}

void Application::ReconnectCan() {
    Hardware::HardwareProtocol* hw = rm.GetHardware();
    if (hw == nullptr || hw->GetConnectionStatus() || cntCANConnectionTries <= 0) return;
    Log()->add("***************** Connecting CAN bus... ******************");
    --cntCANConnectionTries;
    Wait(1000);
    hw->Connect();
}

void Application::MergeJogValues(AppLinks::RemoteClient* client) {
    const KeyboardInput::JogValues console = keys.GetJogValues();
    float panel[AppLinks::kNrJogValues] = {};
    links.panel->GetJogValues(panel);
    double sum = 0.0;
    for (int i = 0; i < AppLinks::kNrJogValues; ++i) {
        jogValues[i] = console.values[i] + panel[i];
        sum += jogValues[i];
    }
    // Console and panel jogging take precedence over a remote client.
    if (sum == 0.0 && client != nullptr) client->GetJogValues(jogValues);
    rm.SetJogValues(jogValues);
}

OperatorCommand Application::PickUpCommand(AppLinks::RemoteClient* client) {
    OperatorCommand command;
    if (client != nullptr) command = client->TakeCommand();
    KeyboardInput::Command console;
    bool consoleStep = false;
    if (keys.TakeCommand(console) && console.code != 0) {
        command.code = console.code;
        command.argument = console.argument;
        command.value = static_cast<float>(console.value);
        // An override key steps the override in use now.
        if (console.overrideStep != 0) {
            command.value = KeyboardInput::SteppedOverride(rm.GetOverride(), console.overrideStep);
            consoleStep = true;
        }
    }
    OperatorCommand panel;
    if (links.panel->TakeCommand(panel) && panel.code != 0) {
        command = panel;
    } else if (consoleStep) {
        Log()->addFormat("Console: Override %.1f %% -> %.1f %%", static_cast<double>(rm.GetOverride()),
                         static_cast<double>(command.value));
    }
    return command;
}

void Application::HandleSdoRequest() {
    KeyboardInput::SdoRequest request;
    if (!keys.TakeSdoRequest(request)) return;
    auto* canopen = dynamic_cast<Hardware::HardwareProtocolCANopen*>(rm.GetHardware());
    if (canopen == nullptr) return;  // dropped without a message
    Log()->add("Sending requested SDO message");
    canopen->SDO().SendSDO(request.deviceId, request.address, request.subAddress,
                           static_cast<unsigned>(request.value));
    Wait(5);
    canopen->SDO().RequestSDO(request.deviceId, request.address, request.subAddress);
}

OperatorCommandHooks Application::Hooks() {
    OperatorCommandHooks hooks;
    hooks.resetJogValues = [this] { ResetJogValues(); };
    hooks.shutdownApplication = [this] { ShutdownApplication(); };
    hooks.queueProjectWrite = [this] { projectManager->QueueUpdateProjectFile(); };
    return hooks;  // shutdownSystem: the default, which refuses before a full start-up
}

// ------------------------------------------------------------------------ status lines

std::string Application::ProgramStateText(const IPO& ipo) {
    if (!ipo.IsProgramLoaded()) return "None";
    switch (ipo.GetRunState()) {
        case IPO::RUNSTATE_STOPPED: return "Stp";
        case IPO::RUNSTATE_RUNNING: return "Run";
        case IPO::RUNSTATE_PAUSED: return "Pau";
        default: return "n/a";
    }
}

std::string Application::StatusLine(const DataTypes::RobotState& state) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(1);
    out << "Pos: " << state.pose(0, 3) << " " << state.pose(1, 3) << " " << state.pose(2, 3) << " "
        << state.A << " " << state.B << " " << state.C << "    Joints: ";
    for (int j = 0; j < 6; ++j) out << (j > 0 ? " " : "") << state.jointSet[j];
    Hardware::HardwareProtocol* hw = rm.GetHardware();
    if (hw != nullptr && hw->GetExternalAxisCount() > 0) {
        out << "   ExtJ: " << state.jointSet[6] << " " << state.jointSet[7] << " " << state.jointSet[8]
            << "   Vel: " << state.jointVel[6] << " " << state.jointVel[7] << " " << state.jointVel[8];
    }
    if (hw != nullptr && hw->GetPlatformJointCount() > 0) {
        out << "   Pltf: ";
        for (int p = 0; p < 4; ++p) out << state.platformSet[p] << " ";
        out << state.jointSet[4] << " " << state.jointSet[5];
    }
    if (hw != nullptr && hw->GetGripperCount() > 0) out << "   Grp: " << state.gripper[0];
    out << "   Status: " << state.errorText << ", " << rm.TranslateKinErrorLog(state.kinState)
        << "   Prog: " << ProgramStateText(rm.GetMainInterpreter()) << ", "
        << ProgramStateText(rm.GetLogicInterpreter());
    out << links.cameras->GetCLIStateString();
    return out.str();
}

void Application::LogCANopenDrives(const Hardware::HardwareProtocolCANopen& canopen, int drives) {
    unsigned control[6] = {};
    unsigned status[6] = {};
    for (int k = 0; k < 6; ++k) {
        const Hardware::CANopenRecordData& co = canopen.GetCANopenData(k);
        control[k] = co.lastControlword.load();
        status[k] = co.statusword.load();
    }
    char line[1024];
    std::snprintf(line, sizeof(line), "CANopen: ctrlword hex: %X %X %X %X %X %X, statusword hex: %X %X %X %X %X %X",
                  control[0], control[1], control[2], control[3], control[4], control[5], status[0], status[1],
                  status[2], status[3], status[4], status[5]);
    Log()->add(line);

    std::string list;
    bool mismatch = false;
    for (int k = 0; k < drives; ++k) {
        const Hardware::CANopenRecordData& co = canopen.GetCANopenData(k);
        const auto requested = static_cast<Hardware::CANopenProfile>(co.requestedProfile.load());
        const auto actual = static_cast<Hardware::CANopenProfile>(co.actualProfile.load());
        if (!list.empty()) list += ", ";
        list += "A" + std::to_string(k + 1) + ": ";
        if (requested == actual) {
            list += Hardware::CANopenProfileToString(requested);
        } else {
            list += Hardware::CANopenProfileToString(actual) + " (!)";
            mismatch = true;
        }
    }
    Log()->add((mismatch ? "CANopen profiles (MISMATCH!): " : "CANopen profiles: ") + list);
}

void Application::LogStatistics(const DataTypes::RobotState& state) {
    LogSingleton* log = Log();
    log->addFormat("RobotThread Frequency: %.2lf Hz,  min CycleTime: %.2lf ms,  max CycleTime: %.2lf ms,  "
                   "Workload %.1lf%%",
                   static_cast<double>(rm.GetFrequency()), rm.GetMinCycleTime() / 1000.0,
                   rm.GetMaxCycleTime() / 1000.0, rm.GetWorkload() * 100.0);
    rm.ResetMaxCycleTime();
    rm.ResetMinCycleTime();

    Hardware::HardwareProtocol* hw = rm.GetHardware();
    const int arm = hw != nullptr ? std::min(hw->GetRobotJointCount(), 6) : 0;
    const int grippers = hw != nullptr ? hw->GetGripperCount() : 0;
    const int external = hw != nullptr ? std::min(hw->GetExternalAxisCount(), 3) : 0;
    const int platform = hw != nullptr ? std::min(hw->GetPlatformJointCount(), 4) : 0;
    const int dio = hw != nullptr ? std::min(hw->GetDIOModuleCount(), 3) : 0;
    const int armAll = hw != nullptr ? hw->GetRobotJointCount() : 0;
    std::ostringstream out;
    out << std::fixed << std::setprecision(1) << "Error Codes Arm: ";
    AppendCodes(out, state, 0, arm, 6);
    if (grippers > 0) {
        out << " - Grp: ";
        AppendCodes(out, state, armAll, 1, 1);
    }
    if (external > 0) {
        out << " - Ext: ";
        AppendCodes(out, state, armAll + grippers, external, 3);
    }
    if (dio > 0) {
        out << " - DIO: ";
        AppendCodes(out, state, armAll + grippers + hw->GetExternalAxisCount() + hw->GetPlatformJointCount(),
                    dio, 3);
    }
    if (platform > 0) {
        out << " - Plft: ";
        AppendCodes(out, state, armAll + grippers + hw->GetExternalAxisCount(), platform, 4);
    }
    out << " - Supply: " << state.supply / 1000.0 << std::setprecision(2)
        << " - Current: " << state.currentAll / 1000.0 << " - EStop: " << state.eStop;
    if (rm.IsOperationModesEnabled()) {
        switch (rm.GetOperationMode()) {
            case 1: out << " - OpMode: VelocityLimited"; break;
            case 2: out << " - OpMode: NoMotion"; break;
            case 0: out << " - OpMode: NoLimit"; break;
            default: break;
        }
    }
    log->add(out.str());

    if (auto* canopen = dynamic_cast<Hardware::HardwareProtocolCANopen*>(hw)) {
        LogCANopenDrives(*canopen, armAll + hw->GetExternalAxisCount());
    }

    log->addFormat("Board Temp: %.1lf  %.1lf  %.1lf  %.1lf  %.1lf  %.1lf, CPU: %.1lf",
                   static_cast<double>(state.boardTemps[0]), static_cast<double>(state.boardTemps[1]),
                   static_cast<double>(state.boardTemps[2]), static_cast<double>(state.boardTemps[3]),
                   static_cast<double>(state.boardTemps[4]), static_cast<double>(state.boardTemps[5]),
                   static_cast<double>(state.cpuTemp));
    log->addFormat("Ref State: Overall %d  Detailed: %d  %d  %d  %d  %d  %d", state.refOverall,
                   state.refJoint[0] ? 1 : 0, state.refJoint[1] ? 1 : 0, state.refJoint[2] ? 1 : 0,
                   state.refJoint[3] ? 1 : 0, state.refJoint[4] ? 1 : 0, state.refJoint[5] ? 1 : 0);
}

// ------------------------------------------------------------------------------ shut-down

void Application::ShutdownApplication() {
    LogSingleton* log = Log();
    log->add("Shutdown: ... closing down");
    StopRobot();
    Wait(50);
    log->add("Shutdown done");
    flagStop.store(true);
}

void Application::StopRobot() {
    robotStopped = true;
    rm.StopProgram(IPO::STOP_SHUTDOWN);
    rm.Reset();
    rm.DisableDrivesForShutdown();
}

void Application::ResetJogValues() {
    keys.ResetJogValues();
    links.panel->ResetJogValues();
    links.servers->ResetJogValues();
    std::fill(std::begin(jogValues), std::end(jogValues), 0.0f);
}

void Application::Shutdown() {
    if (shutDown) return;
    shutDown = true;
    if (started) {
        // A failed write logs its own line; the robot file may still hold a change whose
        // write failed during the run.
        Log()->WriteVariablesToStorage(true);
        rm.WritePendingRobotFile();
        if (projectManager) projectManager->UpdateConfiguration(&rm, true);
    }
    links.modbus->Stop();
    links.servers->Stop();
    // Every thread that holds the robot master or the project manager ends here.
    links.cloud->Close();
    // A signal ends the process as operator code 99 does: drives off, brake engaged.
    if (started && !robotStopped) StopRobot();
    rm.StopMainLoop();
    ShutdownInit::Clear();
    port.reset();
    projectManager.reset();
}
