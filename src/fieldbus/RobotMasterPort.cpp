#include "fieldbus/RobotMasterPort.h"

#include "control/ProjectManager.h"
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "core/Shutdown.h"

#include <algorithm>

namespace Modbus {

using Role = Hardware::HardwareProtocol::ModuleRole;

// The layout's roles are taken over by number.
static_assert(static_cast<int>(Role::RobotJoint) == ModuleLayout::RobotJoint &&
                  static_cast<int>(Role::Gripper) == ModuleLayout::Gripper &&
                  static_cast<int>(Role::ExternalAxis) == ModuleLayout::ExternalAxis &&
                  static_cast<int>(Role::Platform) == ModuleLayout::Platform &&
                  static_cast<int>(Role::DIO) == ModuleLayout::DIO,
              "module roles differ");

DataTypes::RobotState RobotMasterPort::GetRobotState() const { return rm.GetRobotState(); }

ModuleLayout RobotMasterPort::GetModules() const {
    ModuleLayout layout;
    Hardware::HardwareProtocol* hw = rm.GetHardware();
    if (hw == nullptr) return layout;
    for (int r = 0; r < ModuleLayout::RoleCount; ++r) {
        layout.first[r] = hw->FirstRecord(static_cast<Role>(r));
        layout.count[r] = hw->RoleCount(static_cast<Role>(r));
    }
    layout.total = std::clamp(hw->GetModuleTotal(), 0, Hardware::HardwareProtocol::kMaxRecords);
    for (int i = 0; i < layout.total; ++i) layout.referenced[i] = hw->GetJointData(i).referenced.load() != 0;
    hw->GetErrorHexCode(layout.errorCodes);
    layout.connected = hw->GetConnectionStatus();
    layout.motorsEnabled = hw->GetMotorEnabled();
    layout.allReferenced = hw->IsReferenced();
    layout.supplyVoltage = hw->GetSupplyVoltage();
    return layout;
}

int RobotMasterPort::GetOperationMode() const { return static_cast<int>(LogSingleton::instance()->get_opMode()); }
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

bool RobotMasterPort::IsZeroTorqueAllowed() const { return rm.IsZeroTorqueAllowed(); }
bool RobotMasterPort::IsZeroTorqueEnabled() const { return rm.IsZeroTorqueEnabled(); }
bool RobotMasterPort::IsMoving() const { return rm.IsMoving(); }
void RobotMasterPort::GetVelocities(float& e1, float& e2, float& e3) const { rm.GetVelocities(e1, e2, e3); }
float RobotMasterPort::GetOverride() const { return rm.GetOverride(); }
int RobotMasterPort::GetMotionType() const { return static_cast<int>(rm.GetMotionMode()); }

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
    return info;
}

int RobotMasterPort::GetBrowserEntryCount() const { return rm.GetMainInterpreter().GetBrowserEntryCount(); }
int RobotMasterPort::GetBrowserSelection() const { return rm.GetMainInterpreter().GetBrowserSelection(); }
std::string RobotMasterPort::GetSelectedEntryName() const { return rm.GetMainInterpreter().GetCurrentProgShowName(); }
std::string RobotMasterPort::GetBrowserDirectory() const { return rm.GetMainInterpreter().GetBrowserDirectory(); }
bool RobotMasterPort::IsSelectedEntryAFile() const { return rm.GetMainInterpreter().IsSelectedEntryAFile(); }

std::shared_ptr<const Programs::MemoryPosition> RobotMasterPort::GetVariable(const std::string& name) const {
    return rm.GetProgramMemory().Get(name);
}

double RobotMasterPort::GetMaxJointVelocity(int joint) const {
    if (joint < 0 || joint >= RobotMaster::kNrJoints) return 0.0;
    return rm.GetJointMaxVelocity(joint);
}

void RobotMasterPort::ShutdownSystem() { Shutdown::ShutdownSystem(true); }
void RobotMasterPort::Reset() { rm.Reset(); }
void RobotMasterPort::EnableMotors(bool on) { rm.EnableMotors(on); }
void RobotMasterPort::ReferenceAllJoints() { rm.ReferenceAllJoints(); }
void RobotMasterPort::ReferenceJointAlt(int n) { rm.ReferenceJointAlt(n); }
void RobotMasterPort::ReferenceJoint(int n) { rm.ReferenceJoint(n); }
void RobotMasterPort::ResetAllJointsToZero() { rm.ResetAllJointsToZero(); }

void RobotMasterPort::MoveCartesian(CartesianMove kind, const DataTypes::Vector3& position,
                                    const DataTypes::Vector3& orientation, const DataTypes::Vector3& external,
                                    float speed) {
    const float values[RobotMaster::kNrJoints] = {position.x,    position.y,    position.z,
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

void RobotMasterPort::SetZeroTorqueMode(bool on) { rm.SetZeroTorqueMode(on); }
void RobotMasterPort::StartProgram() { rm.StartProgram(); }
void RobotMasterPort::PauseProgram() { rm.PauseProgram(IPO::STOP_USER); }
void RobotMasterPort::StopProgram() { rm.StopProgram(IPO::STOP_USER); }
void RobotMasterPort::BrowserNext() { rm.GetMainInterpreter().ProgShowCntIncrease(); }
void RobotMasterPort::BrowserPrevious() { rm.GetMainInterpreter().ProgShowCntDecrease(); }
void RobotMasterPort::LoadCurrentDirectoryOrProgram() { rm.GetMainInterpreter().LoadCurrentDirectoryOrProgram(); }
void RobotMasterPort::GotoBasedir() { rm.GetMainInterpreter().GotoBasedir(); }
void RobotMasterPort::SetBrowserSelection(int index) { rm.GetMainInterpreter().SetBrowserSelection(index); }
void RobotMasterPort::DeleteAll(Interpreter which) { Ipo(which).DeleteAll(); }
void RobotMasterPort::SaveProject() {
    if (project != nullptr) project->QueueUpdateProjectFile();
}
void RobotMasterPort::SetGlobalSignal(int n, bool on) { rm.SetGlobalSignal(n, on); }
void RobotMasterPort::SetManualDOut(int n, bool on) { rm.SetManualDOut(n, on); }
void RobotMasterPort::SetVelocities(float e1, float e2, float e3) { rm.SetVelocities(e1, e2, e3); }
void RobotMasterPort::SetOverride(float percent) { rm.SetOverride(percent); }
void RobotMasterPort::SetMotionType(int type) { rm.SetMotionMode(static_cast<MotionType>(type)); }
void RobotMasterPort::SetReplayMode(int mode) {
    rm.GetMainInterpreter().SetReplayMode(static_cast<IPO::ReplayMode>(mode));
}
bool RobotMasterPort::LoadProgram(Interpreter which, const std::string& name) {
    return rm.RequestLoadByName(which == Interpreter::Logic, name) == RobotMaster::NamedLoad::Loading;
}
void RobotMasterPort::SetNumber(const std::string& name, double value) {
    rm.GetProgramMemory().SetVariableSingle(name, value, true);
}
void RobotMasterPort::StoreVariable(const Programs::MemoryPosition& variable, Programs::StoreContentType content) {
    rm.GetProgramMemory().SetVariable(variable, content);
}

}  // namespace Modbus
