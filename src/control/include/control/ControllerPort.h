#pragma once

// The one way the servers (Modbus, HVP) and the cloud link reach the controller: what they
// read of it and what they ask of it. The real port (control/RobotMasterPort.h) goes to the
// robot master, its protocol, kinematic, interpreters and program variables; tests give a
// recording one.
//
// Reads return copies. Calls that change hardware or loop settings are robot master
// commands (under its command lock, with a hold of the loop where drives are involved) or
// whole values the loop takes over at once; a server never writes the controller's state
// field by field.

#include "control/ControlTypes.h"
#include "control/PLCInterfaceTrigger.h"
#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "core/Vector3.h"
#include "kinematics/ExternalAxis.h"
#include "motion/HVPEventType.h"
#include "program/ProgramMemory.h"

#include <array>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Control {

constexpr int kNrJoints = 9;
constexpr int kNrExternalAxes = 3;
constexpr int kMaxModuleRecords = 16;
constexpr int kNrProgramOffsets = 15;  // 9 joint offsets, then x, y, z, a, b, c

// The hardware protocol's module records (record order: robot joints | gripper | external
// axes | platform | DIO), read in one go. Without a protocol every value is 0.
struct ModuleLayout {
    enum Role { RobotJoint = 0, Gripper = 1, ExternalAxis = 2, Platform = 3, DIO = 4, RoleCount = 5 };
    int first[RoleCount] = {};   // first record of the role
    int count[RoleCount] = {};   // records of the role
    int total = 0;
    bool referenced[kMaxModuleRecords] = {};  // per record
    int errorCodes[kMaxModuleRecords] = {};   // GetErrorHexCode, per record
    // The protocol's own reference report: robot joints first, then external axes.
    bool referenceStatus[kMaxModuleRecords] = {};
    int referenceState = 0;
    bool connected = false;
    bool motorsEnabled = false;
    bool allReferenced = false;
    float supplyVoltage = 0.0f;

    // Robot joints and external axes are the records that reference.
    bool IsReferencable(int record) const {
        for (Role role : {RobotJoint, ExternalAxis}) {
            if (record >= first[role] && record < first[role] + count[role]) return true;
        }
        return false;
    }
    // The records that are not I/O modules (they carry joint status and errors).
    int JointModuleCount() const { return total - count[DIO]; }
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
    std::vector<std::string> programNames;  // the loaded programs, the main one first
};

enum class CartesianMove { Linear = 100, RelativeBase = 101, RelativeTool = 102 };
enum class JointMove { Joint = 103, RelativeJoint = 104 };
// A move on the single-motion interpreter in any of its forms.
enum class DirectMove { Joint, RelativeJoint, Linear, RelativeBase, RelativeTool };

// What loading a program a client names came to (see RobotMaster::NamedLoad).
enum class NamedLoad { Loading, Folder, Refused, NotLoaded };

// One teach-in line appended to the main program.
struct TaughtCommand {
    enum Kind { Joint, RelativeJoint, Linear, RelativeLinear, RelativeTool, Gripper, Wait, DOut };
    Kind kind = Wait;
    int id = 0;
    float values[12] = {};  // joints or x..e3, then the velocity (index 9); 3 or 4 values otherwise
    int milliseconds = 0;
    int channel = 0;
    bool on = false;
};

// The joint limits of the robot's kinematic, user units, slots 0..8.
struct JointLimits {
    bool available = false;  // false without a kinematic
    int joints = 0;          // the kinematic's joints
    float minMax[kNrJoints][2] = {};
};

struct VirtualBox {
    bool available = false;  // false without a kinematic
    bool active = false;
    DataTypes::Vector3 min;
    DataTypes::Vector3 max;
};

// The output states applied on reset and on error, all outputs at once.
struct DOutTargets {
    DOutTargetState onReset[DataTypes::RobotState::maxIOs];
    DOutTargetState onError[DataTypes::RobotState::maxIOs];
    DOutTargets() {
        for (int i = 0; i < DataTypes::RobotState::maxIOs; ++i) onReset[i] = onError[i] = DOutNoChange;
    }
};

// One change of the external-axis slots, taken over as a whole: first every slot is
// cleared (clearAll) or the defined slots from removeFrom on are removed (highest first),
// then the axes of add go into their slots (ExternalAxis::Number).
struct ExternalAxesChange {
    bool clearAll = false;
    int removeFrom = kNrExternalAxes;
    std::vector<ExternalAxis> add;
};

// Receivers the HVP server installs for the controller's events.
using VariableReceiver = std::function<void(const Programs::MemoryPosition&)>;
using ResultReceiver = void (*)(HVPEventType event, int point, int program, const std::string& text);
using CanFrameReceiver = int (*)(int id, int dlc, const unsigned char* data, long value, timespec time);

class ControllerPort {
public:
    virtual ~ControllerPort() = default;

    // --- Robot state and loop ---
    // The published robot state (a copy).
    virtual DataTypes::RobotState GetRobotState() const = 0;
    virtual ModuleLayout GetModules() const = 0;
    // The process's operation mode (0 normal, 1 serious failure, 2 CAN bridge).
    virtual int GetOperationMode() const = 0;
    // The robot's own operation mode (0 not limited, 1 velocity limited, 2 no motion)
    // while operation modes are active; -1 when they are not.
    virtual int GetMotionOperationMode() const = 0;
    virtual int GetSystemVar(int key) const = 0;
    // The current display message as the Modbus map sees it; other readers (the panel)
    // still get every message.
    virtual bool GetDisplayMessage(std::string& out) const = 0;
    virtual LoopFigures GetLoopFigures() const = 0;
    virtual int GetVelocitySetting() const = 0;
    virtual bool IsZeroTorqueAllowed() const = 0;
    virtual bool IsZeroTorqueEnabled() const = 0;
    virtual bool IsMoving() const = 0;
    virtual void GetVelocities(float& e1, float& e2, float& e3) const = 0;
    virtual float GetOverride() const = 0;
    virtual int GetMotionType() const = 0;
    // Maximum velocity of joint 0..8.
    virtual double GetMaxJointVelocity(int joint) const = 0;
    // The gripper's position in percent; 0 without a kinematic.
    virtual float GetGripperPercent() const = 0;
    // The kinematic's robot type text; empty without a kinematic.
    virtual std::string GetKinematicRobotType() const = 0;

    // --- Hardware status ---
    // The protocol's status text and code; false (nothing written) without a protocol.
    virtual bool GetHardwareStatus(std::string& text, std::string& code) const = 0;
    // Per module record (16 entries); nothing written without a protocol.
    virtual void GetModuleErrorTexts(std::string* perModule) const = 0;
    virtual void GetModuleTemperatures(float* perModule) const = 0;
    virtual std::array<unsigned char, 3> GetDIOModuleIDs() const = 0;

    // --- Interpreters ---
    virtual InterpreterInfo GetInterpreterInfo(Interpreter which) const = 0;
    virtual bool IsReplayRunning(Interpreter which) const = 0;
    // The active program's name and command count and the current point; the outputs stay
    // as they are while nothing is loaded.
    virtual void GetProgramInformation(Interpreter which, std::string* name, int* count, int* point) const = 0;
    // The main program's last run.
    virtual std::chrono::nanoseconds GetLastProgramDuration() const = 0;
    virtual bool GetStopOnError() const = 0;
    // The main interpreter's replay mode (IPO::ReplayMode).
    virtual int GetReplayMode() const = 0;
    // Program browser of the main interpreter.
    virtual int GetBrowserEntryCount() const = 0;
    virtual int GetBrowserSelection() const = 0;
    virtual std::string GetSelectedEntryName() const = 0;
    virtual std::string GetBrowserDirectory() const = 0;
    virtual bool IsSelectedEntryAFile() const = 0;
    // Name of browser entry index; returns the number of entries.
    virtual int GetProgramFileName(int index, std::string& name) = 0;

    // --- Program variables ---
    // A copy of the program variable; null when it does not exist.
    virtual std::shared_ptr<const Programs::MemoryPosition> GetVariable(const std::string& name) const = 0;

    // --- Configuration reads ---
    virtual BrakeSettings GetBrakeSettings() const = 0;
    virtual DOutTargets GetDOutTargets() const = 0;
    virtual JointLimits GetJointLimits() const = 0;
    virtual VirtualBox GetVirtualBox() const = 0;
    virtual std::vector<PLCTrigger::PLCInterfaceTrigger> GetPLCTriggers() const = 0;
    // A copy of external axis n; false when the slot is not defined.
    virtual bool GetExternalAxis(int n, ExternalAxis& out) const = 0;

    // --- Drive commands ---
    virtual void ShutdownSystem() = 0;
    virtual void Reset() = 0;
    virtual void EnableMotors(bool on) = 0;
    virtual void ReferenceAllJoints() = 0;
    virtual void ReferenceJointAlt(int n) = 0;
    virtual void ReferenceJoint(int n) = 0;
    virtual void ResetAllJointsToZero() = 0;
    virtual void SetZeroTorqueMode(bool on) = 0;
    // The raw CAN bus (bridge mode); false without a CAN interface.
    virtual bool WriteCanFrame(int id, int length, const unsigned char* data) = 0;

    // --- Moves ---
    // On the single-motion interpreter, then started.
    virtual void MoveCartesian(CartesianMove kind, const DataTypes::Vector3& position,
                               const DataTypes::Vector3& orientation, const DataTypes::Vector3& external,
                               float speed) = 0;
    virtual void MoveJoints(JointMove kind, const float* joints9, float speed) = 0;
    // values: nine joints or x, y, z, a, b, c, e1, e2, e3; false (with request's refusal
    // line) while the e-stop forbids motion.
    virtual bool StartDirectMove(DirectMove kind, const float* values9, float velocity, const char* request) = 0;
    virtual void StopDirectMove() = 0;

    // --- Programs ---
    virtual void StartProgram() = 0;
    virtual void PauseProgram() = 0;
    virtual void StopProgram() = 0;
    virtual void StopLogicProgram() = 0;
    virtual void BrowserNext() = 0;
    virtual void BrowserPrevious() = 0;
    virtual void LoadCurrentDirectoryOrProgram() = 0;
    virtual void GotoBasedir() = 0;
    virtual void SetBrowserSelection(int index) = 0;
    // The interpreter's program list dropped at once (Modbus coils).
    virtual void DeleteAll(Interpreter which) = 0;
    // The robot master's delete of the main or logic program (stops and waits for the
    // planner).
    virtual void DeleteProgram(Interpreter which) = 0;
    virtual void DeleteProgramFile(const std::string& name) = 0;
    virtual void SetReplayMode(int mode) = 0;
    // Loads a program by name as the HVP LoadProgram / LoadLogicProgram keywords do (stop,
    // delete, load), never keeping the caller waiting; true when the load was begun. A name
    // refused or not found changes nothing.
    virtual bool LoadProgram(Interpreter which, const std::string& name) = 0;
    // The same, waiting for the stops (and, for the logic program, for its load and start).
    virtual NamedLoad LoadProgramByName(Interpreter which, const std::string& name) = 0;
    // While the e-stop forbids a start: logs "<request> requested but E-Stop detected" and
    // returns true.
    virtual bool RefuseWhileEStop(const char* request) const = 0;
    // The main program from program name's command index; throws what the interpreter
    // throws on a refusal.
    virtual void StartAt(const std::string& programName, int commandIndex) = 0;
    // Offsets of the main program's next start (kNrProgramOffsets values), or none.
    virtual void SetProgramOffsets(const float* offsets) = 0;
    virtual void ResetProgramOffsets() = 0;
    // False when the interpreter refused it (its own log line says why).
    virtual bool AppendTaughtCommand(const TaughtCommand& command) = 0;
    virtual void SaveProject() = 0;

    // --- I/O, signals, velocities ---
    virtual void SetGlobalSignal(int n, bool on) = 0;
    virtual void SetManualDOut(int n, bool on) = 0;
    virtual void SetGripperPosition(float percent) = 0;
    virtual void SetVelocities(float e1, float e2, float e3) = 0;
    virtual void SetOverride(float percent) = 0;
    virtual void SetMotionType(int type) = 0;

    // --- Program variables ---
    virtual void SetNumber(const std::string& name, double value) = 0;
    // Only an existing variable; false when there is none of that name.
    virtual bool SetExistingNumber(const std::string& name, double value) = 0;
    // ProgramMemory::SetVariable; the kinematic's int codes pass out of content 1 and 2.
    virtual void StoreVariable(const Programs::MemoryPosition& variable, Programs::StoreContentType content) = 0;
    // ProgramMemory::ReplaceVariablePos: false when there is no such variable; a failed
    // solve throws (the kinematic's int code or a std::exception) and changes nothing.
    virtual bool ReplacePosition(const std::string& name, const DataTypes::RobotState& state,
                                 Programs::StoreContentType content) = 0;

    // --- Hardware and loop settings ---
    // Under a hold of the loop; false (logged) when they were not handed over.
    virtual bool SetDIOModuleIDs(unsigned char a, unsigned char b, unsigned char c) = 0;
    virtual void SetDOutTargets(const DOutTargets& targets) = 0;
    // False (one line) when refused: a change of the e-stop input or brake output while
    // the e-stop is latched.
    virtual bool SetBrakeSettings(const BrakeSettings& settings) = 0;
    virtual void SetStopOnError(bool stop) = 0;
    virtual void SetJointLimits(const JointLimits& limits) = 0;
    virtual void SetVirtualBox(const VirtualBox& box) = 0;
    // edit changes the PLC-interface settings in one step (no other change comes between
    // its read and its store); the loop takes the result whole.
    virtual void ChangePLCInterfaceSettings(const std::function<void(PLCInterfaceNumbers&)>& edit) = 0;
    virtual void AddPLCTrigger(const PLCTrigger::PLCInterfaceTrigger& trigger) = 0;
    virtual void ClearPLCTriggers() = 0;
    virtual void ChangeExternalAxes(const ExternalAxesChange& change) = 0;
    // Writes the robot file with the current settings.
    virtual void QueueRobotFileWrite() = 0;

    // --- Event receivers (the HVP server; null removes one) ---
    virtual void SetVariableReceiver(VariableReceiver receiver) = 0;
    virtual void SetResultReceiver(ResultReceiver receiver) = 0;
    // False without a CAN interface.
    virtual bool SetCanFrameReceiver(CanFrameReceiver receiver) = 0;
};

}  // namespace Control
