#pragma once

// The Modbus map's port onto the real controller: the robot master, its hardware protocol,
// interpreters and program variables, the project manager and the log singleton. Without
// a hardware protocol (a project that did not open) every module value reads 0.

#include "core/LogSingleton.h"
#include "fieldbus/ModbusPort.h"

class RobotMaster;
class ProjectManager;
class IPO;

namespace Modbus {

class RobotMasterPort : public ControllerPort {
public:
    RobotMasterPort(RobotMaster& master, ProjectManager* project) : rm(master), project(project) {}

    DataTypes::RobotState GetRobotState() const override;
    ModuleLayout GetModules() const override;
    int GetOperationMode() const override;
    int GetSystemVar(int key) const override;
    bool GetDisplayMessage(std::string& out) const override;
    LoopFigures GetLoopFigures() const override;
    bool IsZeroTorqueAllowed() const override;
    bool IsZeroTorqueEnabled() const override;
    bool IsMoving() const override;
    void GetVelocities(float& e1, float& e2, float& e3) const override;
    float GetOverride() const override;
    int GetMotionType() const override;
    InterpreterInfo GetInterpreterInfo(Interpreter which) const override;
    int GetBrowserEntryCount() const override;
    int GetBrowserSelection() const override;
    std::string GetSelectedEntryName() const override;
    std::string GetBrowserDirectory() const override;
    bool IsSelectedEntryAFile() const override;
    std::shared_ptr<const Programs::MemoryPosition> GetVariable(const std::string& name) const override;
    double GetMaxJointVelocity(int joint) const override;

    void ShutdownSystem() override;
    void Reset() override;
    void EnableMotors(bool on) override;
    void ReferenceAllJoints() override;
    void ReferenceJointAlt(int n) override;
    void ReferenceJoint(int n) override;
    void ResetAllJointsToZero() override;
    void MoveCartesian(CartesianMove kind, const DataTypes::Vector3& position, const DataTypes::Vector3& orientation,
                       const DataTypes::Vector3& external, float speed) override;
    void MoveJoints(JointMove kind, const float* joints9, float speed) override;
    void SetZeroTorqueMode(bool on) override;
    void StartProgram() override;
    void PauseProgram() override;
    void StopProgram() override;
    void BrowserNext() override;
    void BrowserPrevious() override;
    void LoadCurrentDirectoryOrProgram() override;
    void GotoBasedir() override;
    void SetBrowserSelection(int index) override;
    void DeleteAll(Interpreter which) override;
    void SaveProject() override;
    void SetGlobalSignal(int n, bool on) override;
    void SetManualDOut(int n, bool on) override;
    void SetVelocities(float e1, float e2, float e3) override;
    void SetOverride(float percent) override;
    void SetMotionType(int type) override;
    void SetReplayMode(int mode) override;
    bool LoadProgram(Interpreter which, const std::string& name) override;
    void SetNumber(const std::string& name, double value) override;
    void StoreVariable(const Programs::MemoryPosition& variable, Programs::StoreContentType content) override;

private:
    IPO& Ipo(Interpreter which) const;

    RobotMaster& rm;
    ProjectManager* project;
    // The map's own place in the display messages: the panel keeps seeing all of them.
    mutable LogSingleton::DisplayCursor displayCursor;
};

}  // namespace Modbus
