#pragma once

// The controller port onto the real controller: the robot master, its hardware protocol,
// kinematic, interpreters and program variables, the project manager and the log
// singleton. Without a hardware protocol (a project that did not open) every module value
// reads 0; without a kinematic its reads say so.

#include "control/ControllerPort.h"
#include "core/LogSingleton.h"

class RobotMaster;
class ProjectManager;
class IPO;

namespace Control {

class RobotMasterPort : public ControllerPort {
public:
    // project may be null: nothing is queued for the project file then.
    RobotMasterPort(RobotMaster& master, ProjectManager* project) : rm(master), project(project) {}

    DataTypes::RobotState GetRobotState() const override;
    ModuleLayout GetModules() const override;
    int GetOperationMode() const override;
    int GetMotionOperationMode() const override;
    int GetSystemVar(int key) const override;
    bool GetDisplayMessage(std::string& out) const override;
    LoopFigures GetLoopFigures() const override;
    int GetVelocitySetting() const override;
    bool IsZeroTorqueAllowed() const override;
    bool IsZeroTorqueEnabled() const override;
    bool IsMoving() const override;
    void GetVelocities(float& e1, float& e2, float& e3) const override;
    float GetOverride() const override;
    int GetMotionType() const override;
    double GetMaxJointVelocity(int joint) const override;
    float GetGripperPercent() const override;
    std::string GetKinematicRobotType() const override;

    bool GetHardwareStatus(std::string& text, std::string& code) const override;
    void GetModuleErrorTexts(std::string* perModule) const override;
    void GetModuleTemperatures(float* perModule) const override;
    std::array<unsigned char, 3> GetDIOModuleIDs() const override;

    InterpreterInfo GetInterpreterInfo(Interpreter which) const override;
    bool IsReplayRunning(Interpreter which) const override;
    void GetProgramInformation(Interpreter which, std::string* name, int* count, int* point) const override;
    std::chrono::nanoseconds GetLastProgramDuration() const override;
    bool GetStopOnError() const override;
    int GetReplayMode() const override;
    int GetBrowserEntryCount() const override;
    int GetBrowserSelection() const override;
    std::string GetSelectedEntryName() const override;
    std::string GetBrowserDirectory() const override;
    bool IsSelectedEntryAFile() const override;
    int GetProgramFileName(int index, std::string& name) override;

    std::shared_ptr<const Programs::MemoryPosition> GetVariable(const std::string& name) const override;

    BrakeSettings GetBrakeSettings() const override;
    DOutTargets GetDOutTargets() const override;
    JointLimits GetJointLimits() const override;
    VirtualBox GetVirtualBox() const override;
    std::vector<PLCTrigger::PLCInterfaceTrigger> GetPLCTriggers() const override;
    bool GetExternalAxis(int n, ExternalAxis& out) const override;

    void ShutdownSystem() override;
    void Reset() override;
    void EnableMotors(bool on) override;
    void ReferenceAllJoints() override;
    void ReferenceJointAlt(int n) override;
    void ReferenceJoint(int n) override;
    void ResetAllJointsToZero() override;
    void SetZeroTorqueMode(bool on) override;
    bool WriteCanFrame(int id, int length, const unsigned char* data) override;

    void MoveCartesian(CartesianMove kind, const DataTypes::Vector3& position, const DataTypes::Vector3& orientation,
                       const DataTypes::Vector3& external, float speed) override;
    void MoveJoints(JointMove kind, const float* joints9, float speed) override;
    bool StartDirectMove(DirectMove kind, const float* values9, float velocity, const char* request) override;
    void StopDirectMove() override;

    void StartProgram() override;
    void PauseProgram() override;
    void StopProgram() override;
    void StopLogicProgram() override;
    void BrowserNext() override;
    void BrowserPrevious() override;
    void LoadCurrentDirectoryOrProgram() override;
    void GotoBasedir() override;
    void SetBrowserSelection(int index) override;
    void DeleteAll(Interpreter which) override;
    void DeleteProgram(Interpreter which) override;
    void DeleteProgramFile(const std::string& name) override;
    void SetReplayMode(int mode) override;
    bool LoadProgram(Interpreter which, const std::string& name) override;
    NamedLoad LoadProgramByName(Interpreter which, const std::string& name) override;
    bool RefuseWhileEStop(const char* request) const override;
    void StartAt(const std::string& programName, int commandIndex) override;
    void SetProgramOffsets(const float* offsets) override;
    void ResetProgramOffsets() override;
    bool AppendTaughtCommand(const TaughtCommand& command) override;
    void SaveProject() override;

    void SetGlobalSignal(int n, bool on) override;
    void SetManualDOut(int n, bool on) override;
    void SetGripperPosition(float percent) override;
    void SetVelocities(float e1, float e2, float e3) override;
    void SetOverride(float percent) override;
    void SetMotionType(int type) override;

    void SetNumber(const std::string& name, double value) override;
    bool SetExistingNumber(const std::string& name, double value) override;
    void StoreVariable(const Programs::MemoryPosition& variable, Programs::StoreContentType content) override;
    bool ReplacePosition(const std::string& name, const DataTypes::RobotState& state,
                         Programs::StoreContentType content) override;

    bool SetDIOModuleIDs(unsigned char a, unsigned char b, unsigned char c) override;
    void SetDOutTargets(const DOutTargets& targets) override;
    bool SetBrakeSettings(const BrakeSettings& settings) override;
    void SetStopOnError(bool stop) override;
    void SetJointLimits(const JointLimits& limits) override;
    void SetVirtualBox(const VirtualBox& box) override;
    void ChangePLCInterfaceSettings(const std::function<void(PLCInterfaceNumbers&)>& edit) override;
    void AddPLCTrigger(const PLCTrigger::PLCInterfaceTrigger& trigger) override;
    void ClearPLCTriggers() override;
    void ChangeExternalAxes(const ExternalAxesChange& change) override;
    void QueueRobotFileWrite() override;

    void SetVariableReceiver(VariableReceiver receiver) override;
    void SetResultReceiver(ResultReceiver receiver) override;
    bool SetCanFrameReceiver(CanFrameReceiver receiver) override;

private:
    IPO& Ipo(Interpreter which) const;

    RobotMaster& rm;
    ProjectManager* project;
    // The Modbus map's own place in the display messages: the panel keeps seeing all of them.
    mutable LogSingleton::DisplayCursor displayCursor;
};

}  // namespace Control
