#include "control/RobotMasterPort.h"

#include "control/ProjectManager.h"
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "core/Shutdown.h"

#include <algorithm>
#include <exception>
#include <type_traits>

namespace Control {

using Role = Hardware::HardwareProtocol::ModuleRole;

// The layout's roles are taken over by number.
static_assert(static_cast<int>(Role::RobotJoint) == ModuleLayout::RobotJoint &&
                  static_cast<int>(Role::Gripper) == ModuleLayout::Gripper &&
                  static_cast<int>(Role::ExternalAxis) == ModuleLayout::ExternalAxis &&
                  static_cast<int>(Role::Platform) == ModuleLayout::Platform &&
                  static_cast<int>(Role::DIO) == ModuleLayout::DIO,
              "module roles differ");
static_assert(kMaxModuleRecords == Hardware::HardwareProtocol::kMaxRecords, "module records differ");
static_assert(kNrJoints == RobotMaster::kNrJoints && kNrJoints == RobotKinematic::maxJoints, "joints differ");
static_assert(kNrExternalAxes == RobotMaster::kNrExternalAxes, "external axes differ");
static_assert(kNrProgramOffsets == IPO::kNrOffsets, "program offsets differ");

namespace {

int CommandsOfMainProgram(const IPO& ipo) {
    const std::vector<IPO::ProgramSummary> programs = ipo.GetProgramSummaries();
    return programs.empty() ? 0 : programs[0].commandCount;
}

NamedLoad Named(RobotMaster::NamedLoad result) {
    switch (result) {
        case RobotMaster::NamedLoad::Loading: return NamedLoad::Loading;
        case RobotMaster::NamedLoad::Folder: return NamedLoad::Folder;
        case RobotMaster::NamedLoad::Refused: return NamedLoad::Refused;
        case RobotMaster::NamedLoad::NotLoaded: break;
    }
    return NamedLoad::NotLoaded;
}

}  // namespace

// ---------------------------------------------------------------- robot state and loop

DataTypes::RobotState RobotMasterPort::GetRobotState() const { return rm.GetRobotState(); }

ModuleLayout RobotMasterPort::GetModules() const {
    ModuleLayout layout;
    Hardware::HardwareProtocol* hw = rm.GetHardware();
    if (hw == nullptr) return layout;
    for (int r = 0; r < ModuleLayout::RoleCount; ++r) {
        layout.first[r] = hw->FirstRecord(static_cast<Role>(r));
        layout.count[r] = hw->RoleCount(static_cast<Role>(r));
    }
    layout.total = std::clamp(hw->GetModuleTotal(), 0, kMaxModuleRecords);
    for (int i = 0; i < layout.total; ++i) layout.referenced[i] = hw->GetJointData(i).referenced.load() != 0;
    hw->GetErrorHexCode(layout.errorCodes);
    hw->GetReferenceStatus(layout.referenceStatus, &layout.referenceState);
    layout.connected = hw->GetConnectionStatus();
    layout.motorsEnabled = hw->GetMotorEnabled();
    layout.allReferenced = hw->IsReferenced();
    layout.supplyVoltage = hw->GetSupplyVoltage();
    return layout;
}

int RobotMasterPort::GetOperationMode() const { return static_cast<int>(LogSingleton::instance()->get_opMode()); }

int RobotMasterPort::GetMotionOperationMode() const {
    return rm.IsOperationModesEnabled() ? rm.GetOperationMode() : -1;
}

int RobotMasterPort::GetSystemVar(int key) const { return LogSingleton::instance()->GetSystemVar(key); }

bool RobotMasterPort::GetDisplayMessage(std::string& out) const {
    return LogSingleton::instance()->DisplayGetMessage(displayCursor, &out);
}

LoopFigures RobotMasterPort::GetLoopFigures() const {
    LoopFigures f;
    f.cycleTimeMs = rm.GetCycleTime();
    f.maxCycleTimeUs = rm.GetMaxCycleTime();
    f.frequencyHz = rm.GetFrequency();
    f.workload = rm.GetWorkload();
    return f;
}

int RobotMasterPort::GetVelocitySetting() const { return rm.GetVelocitySetting(); }
bool RobotMasterPort::IsZeroTorqueAllowed() const { return rm.IsZeroTorqueAllowed(); }
bool RobotMasterPort::IsZeroTorqueEnabled() const { return rm.IsZeroTorqueEnabled(); }
bool RobotMasterPort::IsMoving() const { return rm.IsMoving(); }
void RobotMasterPort::GetVelocities(float& e1, float& e2, float& e3) const { rm.GetVelocities(e1, e2, e3); }
float RobotMasterPort::GetOverride() const { return rm.GetOverride(); }
int RobotMasterPort::GetMotionType() const { return static_cast<int>(rm.GetMotionMode()); }
double RobotMasterPort::GetMaxJointVelocity(int joint) const { return rm.GetJointMaxVelocity(joint); }

float RobotMasterPort::GetGripperPercent() const {
    const RobotKinematic* kinematic = rm.GetKinematic();
    return kinematic != nullptr ? kinematic->tool.GetJoint() : 0.0f;
}

std::string RobotMasterPort::GetKinematicRobotType() const {
    const RobotKinematic* kinematic = rm.GetKinematic();
    return kinematic != nullptr ? kinematic->robotType : std::string();
}

// ---------------------------------------------------------------- hardware status

bool RobotMasterPort::GetHardwareStatus(std::string& text, std::string& code) const {
    Hardware::HardwareProtocol* hw = rm.GetHardware();
    if (hw == nullptr) return false;
    hw->GetError(text, code);
    return true;
}

void RobotMasterPort::GetModuleErrorTexts(std::string* perModule) const {
    if (Hardware::HardwareProtocol* hw = rm.GetHardware()) hw->GetError(perModule);
}

void RobotMasterPort::GetModuleTemperatures(float* perModule) const {
    if (Hardware::HardwareProtocol* hw = rm.GetHardware()) hw->GetTempValues(perModule);
}

std::array<unsigned char, 3> RobotMasterPort::GetDIOModuleIDs() const {
    std::array<unsigned char, 3> ids = {0, 0, 0};
    if (Hardware::HardwareProtocol* hw = rm.GetHardware()) hw->GetDIOModuleIDs(ids[0], ids[1], ids[2]);
    return ids;
}

// ---------------------------------------------------------------- interpreters

IPO& RobotMasterPort::Ipo(Interpreter which) const {
    switch (which) {
        case Interpreter::Logic: return rm.GetLogicInterpreter();
        case Interpreter::MoveTo: return rm.GetMoveToInterpreter();
        case Interpreter::Main: break;
    }
    return rm.GetMainInterpreter();
}

InterpreterInfo RobotMasterPort::GetInterpreterInfo(Interpreter which) const {
    const IPO& ipo = Ipo(which);
    InterpreterInfo info;
    info.loaded = ipo.IsProgramLoaded();
    info.runState = static_cast<int>(ipo.GetRunState());
    const std::vector<IPO::ProgramSummary> summaries = ipo.GetProgramSummaries();
    info.programCount = static_cast<int>(summaries.size());
    info.activeProgram = ipo.GetActiveProgram();
    info.activeCommandCount = (info.activeProgram >= 0 && info.activeProgram < info.programCount)
                                  ? summaries[static_cast<size_t>(info.activeProgram)].commandCount
                                  : 0;
    info.currentPoint = ipo.GetCurrentPoint();
    info.stopReason = static_cast<int>(ipo.GetLastStopReason());
    info.replayMode = static_cast<int>(ipo.GetReplayMode());
    info.loadedName = ipo.GetLoadedProgramName();
    info.programNames.reserve(summaries.size());
    for (const IPO::ProgramSummary& summary : summaries) info.programNames.push_back(summary.name);
    return info;
}

bool RobotMasterPort::IsReplayRunning(Interpreter which) const { return Ipo(which).IsReplayRunning(); }

void RobotMasterPort::GetProgramInformation(Interpreter which, std::string* name, int* count, int* point) const {
    Ipo(which).GetProgramInformation(name, count, point);
}

std::chrono::nanoseconds RobotMasterPort::GetLastProgramDuration() const {
    return rm.GetMainInterpreter().GetLastProgramDuration();
}

bool RobotMasterPort::GetStopOnError() const { return rm.GetMainInterpreter().GetStopOnError(); }
int RobotMasterPort::GetReplayMode() const { return static_cast<int>(rm.GetMainInterpreter().GetReplayMode()); }
int RobotMasterPort::GetBrowserEntryCount() const { return rm.GetMainInterpreter().GetBrowserEntryCount(); }
int RobotMasterPort::GetBrowserSelection() const { return rm.GetMainInterpreter().GetBrowserSelection(); }
std::string RobotMasterPort::GetSelectedEntryName() const { return rm.GetMainInterpreter().GetCurrentProgShowName(); }
std::string RobotMasterPort::GetBrowserDirectory() const { return rm.GetMainInterpreter().GetBrowserDirectory(); }
bool RobotMasterPort::IsSelectedEntryAFile() const { return rm.GetMainInterpreter().IsSelectedEntryAFile(); }

int RobotMasterPort::GetProgramFileName(int index, std::string& name) {
    return rm.GetMainInterpreter().GetFilename(index, &name);
}

std::shared_ptr<const Programs::MemoryPosition> RobotMasterPort::GetVariable(const std::string& name) const {
    return rm.GetProgramMemory().Get(name);
}

// ---------------------------------------------------------------- configuration reads

BrakeSettings RobotMasterPort::GetBrakeSettings() const { return rm.GetBrakeSettings(); }

DOutTargets RobotMasterPort::GetDOutTargets() const {
    DOutTargets targets;
    for (int n = 0; n < DataTypes::RobotState::maxIOs; ++n) {
        targets.onReset[n] = rm.GetDOutTargetStateOnReset(n);
        targets.onError[n] = rm.GetDOutTargetStateOnError(n);
    }
    return targets;
}

JointLimits RobotMasterPort::GetJointLimits() const {
    JointLimits limits;
    const RobotKinematic* kinematic = rm.GetKinematic();
    if (kinematic == nullptr) return limits;
    limits.available = true;
    limits.joints = kinematic->nrOfJoints;
    // Read off the loop: the limits as last handed over, whole.
    kinematic->GetPublishedMinMaxValues(limits.minMax);
    return limits;
}

VirtualBox RobotMasterPort::GetVirtualBox() const {
    VirtualBox box;
    const RobotKinematic* kinematic = rm.GetKinematic();
    if (kinematic == nullptr) return box;
    box.available = true;
    const RobotKinematic::LimitsAndBox published = kinematic->GetLimitsAndBox();
    box.active = published.virtualBoxActive;
    box.min = published.virtualBoxMin;
    box.max = published.virtualBoxMax;
    return box;
}

std::vector<PLCTrigger::PLCInterfaceTrigger> RobotMasterPort::GetPLCTriggers() const { return rm.GetPLCTriggers(); }

bool RobotMasterPort::GetExternalAxis(int n, ExternalAxis& out) const {
    if (!rm.HasExternalAxis(n)) return false;
    try {
        out = rm.GetExternalAxis(n);
        return true;
    } catch (const std::exception&) {
        return false;  // removed meanwhile by another client
    }
}

// ---------------------------------------------------------------- drive commands

void RobotMasterPort::ShutdownSystem() { Shutdown::ShutdownSystem(true); }
void RobotMasterPort::Reset() { rm.Reset(); }
void RobotMasterPort::EnableMotors(bool on) { rm.EnableMotors(on); }
void RobotMasterPort::ReferenceAllJoints() { rm.ReferenceAllJoints(); }
void RobotMasterPort::ReferenceJointAlt(int n) { rm.ReferenceJointAlt(n); }
void RobotMasterPort::ReferenceJoint(int n) { rm.ReferenceJoint(n); }
void RobotMasterPort::ResetAllJointsToZero() { rm.ResetAllJointsToZero(); }
void RobotMasterPort::SetZeroTorqueMode(bool on) { rm.SetZeroTorqueMode(on); }

bool RobotMasterPort::WriteCanFrame(int id, int length, const unsigned char* data) {
    Hardware::HardwareProtocol* hw = rm.GetHardware();
    if (hw == nullptr) return false;
    hw->GetCANInterface().WriteMessage(id, length, data);
    return true;
}

// ---------------------------------------------------------------- moves

void RobotMasterPort::MoveCartesian(CartesianMove kind, const DataTypes::Vector3& position,
                                    const DataTypes::Vector3& orientation, const DataTypes::Vector3& external,
                                    float speed) {
    const float values[kNrJoints] = {position.x,    position.y,    position.z,
                                     orientation.x, orientation.y, orientation.z,
                                     external.x,    external.y,    external.z};
    RobotMaster::DirectMove move = RobotMaster::DirectMove::Linear;
    if (kind == CartesianMove::RelativeBase) move = RobotMaster::DirectMove::RelativeBase;
    if (kind == CartesianMove::RelativeTool) move = RobotMaster::DirectMove::RelativeTool;
    rm.StartDirectMove(move, values, speed, "Modbus: Cartesian move");
}

void RobotMasterPort::MoveJoints(JointMove kind, const float* joints9, float speed) {
    rm.StartDirectMove(kind == JointMove::Joint ? RobotMaster::DirectMove::Joint : RobotMaster::DirectMove::RelativeJoint,
                       joints9, speed, "Modbus: Joint move");
}

bool RobotMasterPort::StartDirectMove(DirectMove kind, const float* values9, float velocity, const char* request) {
    RobotMaster::DirectMove move = RobotMaster::DirectMove::Joint;
    switch (kind) {
        case DirectMove::Joint: move = RobotMaster::DirectMove::Joint; break;
        case DirectMove::RelativeJoint: move = RobotMaster::DirectMove::RelativeJoint; break;
        case DirectMove::Linear: move = RobotMaster::DirectMove::Linear; break;
        case DirectMove::RelativeBase: move = RobotMaster::DirectMove::RelativeBase; break;
        case DirectMove::RelativeTool: move = RobotMaster::DirectMove::RelativeTool; break;
    }
    return rm.StartDirectMove(move, values9, velocity, request);
}

void RobotMasterPort::StopDirectMove() { rm.GetMoveToInterpreter().Stop(IPO::STOP_USER, std::string()); }

// ---------------------------------------------------------------- programs

void RobotMasterPort::StartProgram() { rm.StartProgram(); }
void RobotMasterPort::PauseProgram() { rm.PauseProgram(IPO::STOP_USER); }
void RobotMasterPort::StopProgram() { rm.StopProgram(IPO::STOP_USER); }
void RobotMasterPort::StopLogicProgram() { rm.StopLogicProgram(IPO::STOP_USER); }
void RobotMasterPort::BrowserNext() { rm.GetMainInterpreter().ProgShowCntIncrease(); }
void RobotMasterPort::BrowserPrevious() { rm.GetMainInterpreter().ProgShowCntDecrease(); }
void RobotMasterPort::LoadCurrentDirectoryOrProgram() { rm.GetMainInterpreter().LoadCurrentDirectoryOrProgram(); }
void RobotMasterPort::GotoBasedir() { rm.GetMainInterpreter().GotoBasedir(); }
void RobotMasterPort::SetBrowserSelection(int index) { rm.GetMainInterpreter().SetBrowserSelection(index); }
void RobotMasterPort::DeleteAll(Interpreter which) { Ipo(which).DeleteAll(); }

void RobotMasterPort::DeleteProgram(Interpreter which) {
    switch (which) {
        case Interpreter::Main: rm.DeleteProgram(); return;
        case Interpreter::Logic: rm.DeleteLogicProgram(); return;
        case Interpreter::MoveTo: break;
    }
    rm.GetMoveToInterpreter().DeleteAll();
}

void RobotMasterPort::DeleteProgramFile(const std::string& name) {
    rm.GetMainInterpreter().DeleteProgramFile(name.c_str());
}

void RobotMasterPort::SetReplayMode(int mode) {
    rm.GetMainInterpreter().SetReplayMode(static_cast<IPO::ReplayMode>(mode));
}

bool RobotMasterPort::LoadProgram(Interpreter which, const std::string& name) {
    return rm.RequestLoadByName(which == Interpreter::Logic, name) == RobotMaster::NamedLoad::Loading;
}

NamedLoad RobotMasterPort::LoadProgramByName(Interpreter which, const std::string& name) {
    switch (which) {
        case Interpreter::Main: return Named(rm.LoadProgramByName(name));
        case Interpreter::Logic: return Named(rm.LoadLogicProgramByName(name));
        case Interpreter::MoveTo: break;
    }
    return NamedLoad::Refused;
}

bool RobotMasterPort::RefuseWhileEStop(const char* request) const { return rm.RefuseWhileEStop(request); }

void RobotMasterPort::StartAt(const std::string& programName, int commandIndex) {
    rm.GetMainInterpreter().StartAt(programName, commandIndex);
}

void RobotMasterPort::SetProgramOffsets(const float* offsets) { rm.GetMainInterpreter().OffsetSet(offsets); }
void RobotMasterPort::ResetProgramOffsets() { rm.GetMainInterpreter().OffsetReset(); }

bool RobotMasterPort::AppendTaughtCommand(const TaughtCommand& command) {
    IPO& ipo = rm.GetMainInterpreter();
    const int before = CommandsOfMainProgram(ipo);
    const float* f = command.values;
    const int id = command.id;
    switch (command.kind) {
        case TaughtCommand::Joint: ipo.AddCommandJoint(id, kNrJoints, f, f[9]); break;
        case TaughtCommand::RelativeJoint: ipo.AddCommandRelativeJoint(id, kNrJoints, f, f[9]); break;
        case TaughtCommand::Linear:
            ipo.AddCommandLinear(id, f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9]);
            break;
        case TaughtCommand::RelativeLinear: ipo.AddCommandRelativeLinear(id, f[0], f[1], f[2], f[3]); break;
        case TaughtCommand::RelativeTool: ipo.AddCommandRelativeTool(id, f[0], f[1], f[2], f[3]); break;
        case TaughtCommand::Gripper: ipo.AddCommandGripper(id, f); break;
        case TaughtCommand::Wait: ipo.AddCommandWait(id, command.milliseconds); break;
        case TaughtCommand::DOut: ipo.AddCommandDIO(id, command.channel, command.on); break;
    }
    // The interpreter refuses values it cannot run with a log line of its own.
    return CommandsOfMainProgram(ipo) > before;
}

void RobotMasterPort::SaveProject() {
    if (project != nullptr) project->QueueUpdateProjectFile();
}

// ---------------------------------------------------------------- I/O, signals, velocities

void RobotMasterPort::SetGlobalSignal(int n, bool on) { rm.SetGlobalSignal(n, on); }
void RobotMasterPort::SetManualDOut(int n, bool on) { rm.SetManualDOut(n, on); }
void RobotMasterPort::SetGripperPosition(float percent) { rm.SetGripperPosition(percent); }
void RobotMasterPort::SetVelocities(float e1, float e2, float e3) { rm.SetVelocities(e1, e2, e3); }
void RobotMasterPort::SetOverride(float percent) { rm.SetOverride(percent); }
void RobotMasterPort::SetMotionType(int type) { rm.SetMotionMode(static_cast<MotionType>(type)); }

// ---------------------------------------------------------------- program variables

void RobotMasterPort::SetNumber(const std::string& name, double value) {
    rm.GetProgramMemory().SetVariableSingle(name, value, true);
}

bool RobotMasterPort::SetExistingNumber(const std::string& name, double value) {
    return rm.GetProgramMemory().SetVariableSingle(name, value, false);
}

void RobotMasterPort::StoreVariable(const Programs::MemoryPosition& variable, Programs::StoreContentType content) {
    rm.GetProgramMemory().SetVariable(variable, content);
}

bool RobotMasterPort::ReplacePosition(const std::string& name, const DataTypes::RobotState& state,
                                      Programs::StoreContentType content) {
    return rm.GetProgramMemory().ReplaceVariablePos(name, state, content);
}

// ---------------------------------------------------------------- hardware and loop settings

bool RobotMasterPort::SetDIOModuleIDs(unsigned char a, unsigned char b, unsigned char c) {
    return rm.SetDIOModuleIDs(a, b, c);
}

void RobotMasterPort::SetDOutTargets(const DOutTargets& targets) {
    rm.SetDOutTargetStates(targets.onReset, targets.onError);
}

bool RobotMasterPort::SetBrakeSettings(const BrakeSettings& settings) { return rm.SetBrakeSettings(settings); }
void RobotMasterPort::SetStopOnError(bool stop) { rm.GetMainInterpreter().SetStopOnError(stop); }
void RobotMasterPort::SetJointLimits(const JointLimits& limits) { rm.SetJointLimits(limits.minMax); }
void RobotMasterPort::SetVirtualBox(const VirtualBox& box) { rm.SetVirtualBox(box.active, box.min, box.max); }

void RobotMasterPort::ChangePLCInterfaceSettings(const std::function<void(PLCInterfaceNumbers&)>& edit) {
    rm.ChangePLCInterfaceSettings(edit);
}

void RobotMasterPort::AddPLCTrigger(const PLCTrigger::PLCInterfaceTrigger& trigger) { rm.AddPLCTrigger(trigger); }
void RobotMasterPort::ClearPLCTriggers() { rm.ClearPLCTriggers(); }

void RobotMasterPort::ChangeExternalAxes(const ExternalAxesChange& change) {
    rm.ChangeExternalAxes(change.clearAll, change.removeFrom, change.add);
}

void RobotMasterPort::QueueRobotFileWrite() { rm.QueueUpdateRobotFile(); }

// ---------------------------------------------------------------- event receivers

void RobotMasterPort::SetVariableReceiver(VariableReceiver receiver) {
    rm.GetProgramMemory().changeCallback = std::move(receiver);
}

void RobotMasterPort::SetResultReceiver(ResultReceiver receiver) {
    static_assert(std::is_same<ResultReceiver, IPO::ResultCallback>::value, "result receivers differ");
    for (Interpreter which : {Interpreter::Main, Interpreter::Logic, Interpreter::MoveTo}) {
        Ipo(which).SetResultCallback(receiver);
    }
}

bool RobotMasterPort::SetCanFrameReceiver(CanFrameReceiver receiver) {
    static_assert(std::is_same<CanFrameReceiver, CANReceiveFunction>::value, "CAN receivers differ");
    Hardware::HardwareProtocol* hw = rm.GetHardware();
    if (hw == nullptr) return false;
    hw->GetCANInterface().bridgeCallback.store(receiver);
    return true;
}

}  // namespace Control
