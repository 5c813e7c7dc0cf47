#pragma once

// What the Modbus map reads of and asks from the controller. The server's real port goes
// to the robot master, its interpreters and program variables; tests give a recording one.

#include "core/RobotState.h"
#include "core/Vector3.h"
#include "program/ProgramMemory.h"

#include <memory>
#include <string>

namespace Modbus {

// The hardware protocol's module records as the map needs them (record order: robot
// joints | gripper | external axes | platform | DIO).
struct ModuleLayout {
    enum Role { RobotJoint = 0, Gripper = 1, ExternalAxis = 2, Platform = 3, DIO = 4, RoleCount = 5 };
    int first[RoleCount] = {};   // first record of the role
    int count[RoleCount] = {};   // records of the role
    int total = 0;
    bool referenced[16] = {};    // per record
    int errorCodes[16] = {};     // GetErrorHexCode, per record
    bool connected = false;
    bool motorsEnabled = false;
    bool allReferenced = false;
    float supplyVoltage = 0.0f;
};

struct LoopFigures {
    float cycleTimeMs = 0.0f;
    float maxCycleTimeUs = 0.0f;
    float frequencyHz = 0.0f;
    float workload = 0.0f;
};

enum class Interpreter { Main = 0, Logic = 1, MoveTo = 2 };

// The interpreter's fields as readers get them (its reader copies, never its program list).
struct InterpreterInfo {
    bool loaded = false;
    int runState = 1;  // IPO::RunState: 0 paused, 1 stopped, 2 running
    int programCount = 0;
    int activeProgram = 0;
    int activeCommandCount = 0;  // 0 when the active index is outside the list
    int currentPoint = -1;
    int stopReason = 0;
    int replayMode = 0;
    std::string loadedName;
};

enum class CartesianMove { Linear = 100, RelativeBase = 101, RelativeTool = 102 };
enum class JointMove { Joint = 103, RelativeJoint = 104 };

class ControllerPort {
public:
    virtual ~ControllerPort() = default;

    // --- Reads ---
    // The published robot state (a copy).
    virtual DataTypes::RobotState GetRobotState() const = 0;
    virtual ModuleLayout GetModules() const = 0;
    virtual int GetOperationMode() const = 0;
    virtual int GetSystemVar(int key) const = 0;
    // The current display message as the map sees it; other readers (the panel) still get
    // every message.
    virtual bool GetDisplayMessage(std::string& out) const = 0;
    virtual LoopFigures GetLoopFigures() const = 0;
    virtual bool IsZeroTorqueAllowed() const = 0;
    virtual bool IsZeroTorqueEnabled() const = 0;
    virtual bool IsMoving() const = 0;
    virtual void GetVelocities(float& e1, float& e2, float& e3) const = 0;
    virtual float GetOverride() const = 0;
    virtual int GetMotionType() const = 0;
    virtual InterpreterInfo GetInterpreterInfo(Interpreter which) const = 0;
    // Program browser of the main interpreter.
    virtual int GetBrowserEntryCount() const = 0;
    virtual int GetBrowserSelection() const = 0;
    virtual std::string GetSelectedEntryName() const = 0;
    virtual std::string GetBrowserDirectory() const = 0;
    virtual bool IsSelectedEntryAFile() const = 0;
    // A copy of the program variable; null when it does not exist.
    virtual std::shared_ptr<const Programs::MemoryPosition> GetVariable(const std::string& name) const = 0;
    // Maximum velocity of joint 0..8.
    virtual double GetMaxJointVelocity(int joint) const = 0;

    // --- Commands ---
    virtual void ShutdownSystem() = 0;
    virtual void Reset() = 0;
    virtual void EnableMotors(bool on) = 0;
    virtual void ReferenceAllJoints() = 0;
    virtual void ReferenceJointAlt(int n) = 0;
    virtual void ReferenceJoint(int n) = 0;
    virtual void ResetAllJointsToZero() = 0;
    // On the single-motion interpreter, then started.
    virtual void MoveCartesian(CartesianMove kind, const DataTypes::Vector3& position,
                               const DataTypes::Vector3& orientation, const DataTypes::Vector3& external,
                               float speed) = 0;
    virtual void MoveJoints(JointMove kind, const float* joints9, float speed) = 0;
    virtual void SetZeroTorqueMode(bool on) = 0;
    virtual void StartProgram() = 0;
    virtual void PauseProgram() = 0;
    virtual void StopProgram() = 0;
    virtual void BrowserNext() = 0;
    virtual void BrowserPrevious() = 0;
    virtual void LoadCurrentDirectoryOrProgram() = 0;
    virtual void GotoBasedir() = 0;
    virtual void SetBrowserSelection(int index) = 0;
    virtual void DeleteAll(Interpreter which) = 0;
    virtual void SaveProject() = 0;
    virtual void SetGlobalSignal(int n, bool on) = 0;
    virtual void SetManualDOut(int n, bool on) = 0;
    virtual void SetVelocities(float e1, float e2, float e3) = 0;
    virtual void SetOverride(float percent) = 0;
    virtual void SetMotionType(int type) = 0;
    virtual void SetReplayMode(int mode) = 0;
    // Loads a program by name as the HVP LoadProgram / LoadLogicProgram keywords do (stop,
    // delete, load), never keeping the caller waiting; true when the load was begun. A name
    // refused or not found changes nothing.
    virtual bool LoadProgram(Interpreter which, const std::string& name) = 0;
    virtual void SetNumber(const std::string& name, double value) = 0;
    // ProgramMemory::SetVariable; the kinematic's int codes pass out of content 1 and 2.
    virtual void StoreVariable(const Programs::MemoryPosition& variable, Programs::StoreContentType content) = 0;
};

}  // namespace Modbus
