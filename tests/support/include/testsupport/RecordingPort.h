#pragma once

// A controller port for the servers' and the cloud link's tests: reads come from plain
// fields, every call (reads included) is recorded by name, with arguments for the
// commands. Set the fields before the server runs, or between requests (the socket orders
// them). Commands that change settings also keep the new value, so a later read returns it.

#include "control/ControllerPort.h"

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace TestSupport {

class RecordingPort : public Control::ControllerPort {
public:
    using Layout = Control::ModuleLayout;

    RecordingPort() {
        for (int n = 1; n <= 16; ++n) {
            for (const char* kind : {"mb_num_r", "mb_num_w"}) {
                variables[kind + std::to_string(n)] =
                    Programs::MemoryPosition(kind + std::to_string(n), 0.0, true);
            }
            for (const char* kind : {"mb_pos_r", "mb_pos_w"}) {
                variables[kind + std::to_string(n)] =
                    Programs::MemoryPosition(kind + std::to_string(n), DataTypes::RobotState(), true);
            }
        }
    }

    // Six robot joints, one gripper, two external axes and one DIO module in record order.
    void SetArmWithGripperAndAxes() { SetRoles(6, 1, 2, 0, 1); }
    // Records of each role, in record order.
    void SetRoles(int robotJoints, int grippers, int externalAxes, int platformJoints, int dioModules) {
        modules = {};
        const int counts[Layout::RoleCount] = {robotJoints, grippers, externalAxes, platformJoints, dioModules};
        int first = 0;
        for (int r = 0; r < Layout::RoleCount; ++r) {
            modules.first[r] = first;
            modules.count[r] = counts[r];
            first += counts[r];
        }
        modules.total = first;
    }

    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    // The calls that are commands (reads left out).
    std::vector<std::string> Commands() const {
        std::vector<std::string> out;
        for (const auto& c : Calls()) {
            if (c.rfind("read ", 0) != 0) out.push_back(c);
        }
        return out;
    }
    // The commands whose text begins with name.
    std::vector<std::string> CommandsNamed(const std::string& name) const {
        std::vector<std::string> out;
        for (const auto& c : Commands()) {
            if (c == name || c.rfind(name + " ", 0) == 0) out.push_back(c);
        }
        return out;
    }
    int CountOf(const std::string& call) const {
        const auto all = Calls();
        return static_cast<int>(std::count(all.begin(), all.end(), call));
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex);
        calls.clear();
    }

    // --- Robot state and loop ---
    DataTypes::RobotState GetRobotState() const override { return Read("state", state); }
    Layout GetModules() const override { return Read("modules", modules); }
    int GetOperationMode() const override { return Read("opmode", operationMode); }
    int GetMotionOperationMode() const override { return Read("motion opmode", motionOperationMode); }
    int GetSystemVar(int key) const override { return Read("sysvar", key >= 0 && key < 5 ? systemVars[key] : -1); }
    bool GetDisplayMessage(std::string& out) const override {
        out = Read("message", displayMessage);
        return !out.empty();
    }
    Control::LoopFigures GetLoopFigures() const override { return Read("loop", loop); }
    int GetVelocitySetting() const override { return Read("velocity setting", velocitySetting); }
    bool IsZeroTorqueAllowed() const override { return Read("zt allowed", zeroTorqueAllowed); }
    bool IsZeroTorqueEnabled() const override { return Read("zt enabled", zeroTorqueEnabled); }
    bool IsMoving() const override { return Read("moving", moving); }
    void GetVelocities(float& e1, float& e2, float& e3) const override {
        Read("velocities", 0);
        e1 = velocities[0];
        e2 = velocities[1];
        e3 = velocities[2];
    }
    float GetOverride() const override { return Read("override", overridePercent); }
    int GetMotionType() const override { return Read("motion type", motionType); }
    double GetMaxJointVelocity(int joint) const override {
        return joint >= 0 && joint < 9 ? maxJointVelocity[joint] : 0.0;
    }
    float GetGripperPercent() const override { return Read("gripper", gripperPercent); }
    std::string GetKinematicRobotType() const override { return Read("robot type", kinematicRobotType); }

    // --- Hardware status ---
    bool GetHardwareStatus(std::string& text, std::string& code) const override {
        Read("hardware status", 0);
        if (!hardwarePresent) return false;
        text = hardwareText;
        code = hardwareCode;
        return true;
    }
    void GetModuleErrorTexts(std::string* perModule) const override {
        Read("module errors", 0);
        for (std::size_t i = 0; i < moduleErrors.size() && i < 16; ++i) perModule[i] = moduleErrors[i];
    }
    void GetModuleTemperatures(float* perModule) const override {
        Read("temperatures", 0);
        if (throwOnTemperatures) throw std::runtime_error("temperature sensor gone");
        for (std::size_t i = 0; i < temperatures.size() && i < 16; ++i) perModule[i] = temperatures[i];
    }
    std::array<unsigned char, 3> GetDIOModuleIDs() const override { return Read("dio ids", dioIds); }

    // --- Interpreters ---
    Control::InterpreterInfo GetInterpreterInfo(Control::Interpreter which) const override {
        return Read("interpreter", Info(which));
    }
    bool IsReplayRunning(Control::Interpreter which) const override {
        return Read("replay running", replayRunning[static_cast<int>(which)]);
    }
    // As the interpreter answers: the active program's name and command count, the point;
    // nothing while no program is loaded.
    void GetProgramInformation(Control::Interpreter which, std::string* name, int* count, int* point) const override {
        const Control::InterpreterInfo& info = Read("program information", Info(which));
        if (!info.loaded) return;
        const int active = info.activeProgram;
        const bool inside = active >= 0 && active < static_cast<int>(info.programNames.size());
        if (name != nullptr) *name = inside ? info.programNames[static_cast<size_t>(active)] : info.loadedName;
        if (count != nullptr) *count = info.activeCommandCount;
        if (point != nullptr) *point = info.currentPoint;
    }
    std::chrono::nanoseconds GetLastProgramDuration() const override {
        return Read("program duration", lastProgramDuration);
    }
    bool GetStopOnError() const override { return Read("stop on error", stopOnError); }
    int GetReplayMode() const override { return Read("replay mode", main.replayMode); }
    int GetBrowserEntryCount() const override { return Read("browser count", browserCount); }
    int GetBrowserSelection() const override { return Read("browser selection", browserSelection); }
    std::string GetSelectedEntryName() const override { return Read("browser entry", selectedEntry); }
    std::string GetBrowserDirectory() const override { return Read("browser dir", browserDirectory); }
    bool IsSelectedEntryAFile() const override { return Read("browser is file", selectedIsFile); }
    int GetProgramFileName(int index, std::string& name) override {
        Read("program file name", 0);
        name = index >= 0 && index < static_cast<int>(programFiles.size()) ? programFiles[static_cast<size_t>(index)]
                                                                            : std::string();
        return static_cast<int>(programFiles.size());
    }

    // --- Program variables ---
    std::shared_ptr<const Programs::MemoryPosition> GetVariable(const std::string& name) const override {
        if (recording) Record("read variable " + name);
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = variables.find(name);
        if (found == variables.end()) return nullptr;
        return std::make_shared<const Programs::MemoryPosition>(found->second);
    }

    // --- Configuration reads ---
    BrakeSettings GetBrakeSettings() const override { return Read("brake", brake); }
    Control::DOutTargets GetDOutTargets() const override { return Read("dout targets", doutTargets); }
    Control::JointLimits GetJointLimits() const override { return Read("joint limits", jointLimits); }
    Control::VirtualBox GetVirtualBox() const override { return Read("virtual box", virtualBox); }
    std::vector<PLCTrigger::PLCInterfaceTrigger> GetPLCTriggers() const override {
        return Read("plc triggers", plcTriggers);
    }
    bool GetExternalAxis(int n, ExternalAxis& out) const override {
        Read("external axis", 0);
        if (n < 0 || n >= Control::kNrExternalAxes || !axisDefined[n]) return false;
        out = axes[n];
        return true;
    }

    // --- Drive commands ---
    void ShutdownSystem() override { Record("ShutdownSystem"); }
    void Reset() override { Record("Reset"); }
    void EnableMotors(bool on) override {
        Record("EnableMotors " + std::to_string(on));
        modules.motorsEnabled = on;
    }
    void ReferenceAllJoints() override { Record("ReferenceAllJoints"); }
    void ReferenceJointAlt(int n) override { Record("ReferenceJointAlt " + std::to_string(n)); }
    void ReferenceJoint(int n) override { Record("ReferenceJoint " + std::to_string(n)); }
    void ResetAllJointsToZero() override { Record("ResetAllJointsToZero"); }
    // Switches only where it is allowed, as the controller does.
    void SetZeroTorqueMode(bool on) override {
        Record("SetZeroTorqueMode " + std::to_string(on));
        if (zeroTorqueAllowed) zeroTorqueEnabled = on;
    }
    bool WriteCanFrame(int id, int length, const unsigned char* data) override {
        std::ostringstream text;
        text << "WriteCanFrame " << id << " " << length;
        for (int i = 0; i < 8; ++i) text << " " << static_cast<int>(data[i]);
        Record(text.str());
        return canInterface;
    }

    // --- Moves ---
    void MoveCartesian(Control::CartesianMove kind, const DataTypes::Vector3& p, const DataTypes::Vector3& o,
                       const DataTypes::Vector3& e, float speed) override {
        std::ostringstream text;
        text << "MoveCartesian " << static_cast<int>(kind) << " " << p.x << " " << p.y << " " << p.z << " " << o.x
             << " " << o.y << " " << o.z << " " << e.x << " " << e.y << " " << e.z << " " << speed;
        Record(text.str());
    }
    void MoveJoints(Control::JointMove kind, const float* j, float speed) override {
        std::ostringstream text;
        text << "MoveJoints " << static_cast<int>(kind);
        for (int i = 0; i < 9; ++i) text << " " << j[i];
        text << " " << speed;
        Record(text.str());
    }
    bool StartDirectMove(Control::DirectMove kind, const float* values9, float velocity, const char* request) override {
        std::ostringstream text;
        text << "StartDirectMove " << static_cast<int>(kind);
        for (int i = 0; i < 9; ++i) text << " " << values9[i];
        text << " " << velocity << " " << request;
        Record(text.str());
        return !eStop;
    }
    void StopDirectMove() override { Record("StopDirectMove"); }

    // --- Programs ---
    void StartProgram() override { Record("StartProgram"); }
    void PauseProgram() override { Record("PauseProgram"); }
    void StopProgram() override { Record("StopProgram"); }
    void StopLogicProgram() override { Record("StopLogicProgram"); }
    void BrowserNext() override { Record("BrowserNext"); }
    void BrowserPrevious() override { Record("BrowserPrevious"); }
    void LoadCurrentDirectoryOrProgram() override { Record("LoadCurrentDirectoryOrProgram"); }
    void GotoBasedir() override { Record("GotoBasedir"); }
    void SetBrowserSelection(int index) override { Record("SetBrowserSelection " + std::to_string(index)); }
    void DeleteAll(Control::Interpreter which) override {
        Record("DeleteAll " + std::to_string(static_cast<int>(which)));
    }
    void DeleteProgram(Control::Interpreter which) override {
        Record("DeleteProgram " + std::to_string(static_cast<int>(which)));
    }
    void DeleteProgramFile(const std::string& name) override { Record("DeleteProgramFile " + name); }
    void SetReplayMode(int mode) override { Record("SetReplayMode " + std::to_string(mode)); }
    bool LoadProgram(Control::Interpreter which, const std::string& name) override {
        Record("LoadProgram " + std::to_string(static_cast<int>(which)) + " " + name);
        return loadAccepted;
    }
    Control::NamedLoad LoadProgramByName(Control::Interpreter which, const std::string& name) override {
        Record("LoadProgramByName " + std::to_string(static_cast<int>(which)) + " " + name);
        return namedLoad;
    }
    bool RefuseWhileEStop(const char* request) const override {
        Record(std::string("RefuseWhileEStop ") + request);
        return eStop;
    }
    void StartAt(const std::string& programName, int commandIndex) override {
        Record("StartAt " + programName + " " + std::to_string(commandIndex));
        if (!startAtRefusal.empty()) throw std::runtime_error(startAtRefusal);
    }
    void SetProgramOffsets(const float* offsets) override {
        std::ostringstream text;
        text << "SetProgramOffsets";
        for (int i = 0; i < Control::kNrProgramOffsets; ++i) text << " " << offsets[i];
        Record(text.str());
    }
    void ResetProgramOffsets() override { Record("ResetProgramOffsets"); }
    bool AppendTaughtCommand(const Control::TaughtCommand& command) override {
        std::ostringstream text;
        text << "AppendTaughtCommand " << static_cast<int>(command.kind) << " " << command.id;
        Record(text.str());
        if (!teachAccepted) return false;
        std::lock_guard<std::mutex> lock(mutex);
        taught.push_back(command);
        return true;
    }
    void SaveProject() override { Record("SaveProject"); }

    // --- I/O, signals, velocities ---
    void SetGlobalSignal(int n, bool on) override {
        if (recording) Record("SetGlobalSignal " + std::to_string(n) + " " + std::to_string(on));
    }
    void SetManualDOut(int n, bool on) override {
        if (recording) Record("SetManualDOut " + std::to_string(n) + " " + std::to_string(on));
    }
    void SetGripperPosition(float percent) override {
        std::ostringstream text;
        text << "SetGripperPosition " << percent;
        Record(text.str());
    }
    void SetVelocities(float e1, float e2, float e3) override {
        std::ostringstream text;
        text << "SetVelocities " << e1 << " " << e2 << " " << e3;
        Record(text.str());
    }
    void SetOverride(float percent) override {
        std::ostringstream text;
        text << "SetOverride " << percent;
        Record(text.str());
        overridePercent = percent;
    }
    void SetMotionType(int type) override { Record("SetMotionType " + std::to_string(type)); }

    // --- Program variables ---
    void SetNumber(const std::string& name, double value) override {
        std::ostringstream text;
        text << "SetNumber " << name << " " << value;
        Record(text.str());
        std::lock_guard<std::mutex> lock(mutex);
        variables[name].value = value;
    }
    bool SetExistingNumber(const std::string& name, double value) override {
        std::ostringstream text;
        text << "SetExistingNumber " << name << " " << value;
        Record(text.str());
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = variables.find(name);
        if (found == variables.end()) return false;
        found->second.value = value;
        return true;
    }
    void StoreVariable(const Programs::MemoryPosition& variable, Programs::StoreContentType content) override {
        Record("StoreVariable " + variable.name + " " + std::to_string(static_cast<int>(content)));
        if (throwOnStore != 0) throw throwOnStore;
        std::lock_guard<std::mutex> lock(mutex);
        stored.push_back(variable);
    }
    bool ReplacePosition(const std::string& name, const DataTypes::RobotState& position,
                         Programs::StoreContentType content) override {
        Record("ReplacePosition " + name + " " + std::to_string(static_cast<int>(content)));
        if (throwOnStore != 0) throw throwOnStore;
        if (!storeRefusal.empty()) throw std::runtime_error(storeRefusal);
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = variables.find(name);
        if (found == variables.end()) return false;
        found->second.state = position;
        return true;
    }

    // --- Hardware and loop settings ---
    bool SetDIOModuleIDs(unsigned char a, unsigned char b, unsigned char c) override {
        Record("SetDIOModuleIDs " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c));
        if (dioAccepted) dioIds = {a, b, c};
        return dioAccepted;
    }
    void SetDOutTargets(const Control::DOutTargets& targets) override {
        Record("SetDOutTargets");
        doutTargets = targets;
    }
    bool SetBrakeSettings(const BrakeSettings& settings) override {
        Record("SetBrakeSettings " + std::to_string(settings.brakeDOutChannel) + " " +
               std::to_string(settings.brakeDelayMS) + " " + std::to_string(settings.eStopDInChannel));
        brake = settings;
        return true;
    }
    void SetStopOnError(bool stop) override {
        Record("SetStopOnError " + std::to_string(stop));
        stopOnError = stop;
    }
    void SetJointLimits(const Control::JointLimits& limits) override {
        std::ostringstream text;
        text << "SetJointLimits";
        for (const auto& pair : limits.minMax) text << " " << pair[0] << " " << pair[1];
        Record(text.str());
        jointLimits = limits;
    }
    void SetVirtualBox(const Control::VirtualBox& box) override {
        std::ostringstream text;
        text << "SetVirtualBox " << box.active << " " << box.min.x << " " << box.max.x << " " << box.min.y << " "
             << box.max.y << " " << box.min.z << " " << box.max.z;
        Record(text.str());
        virtualBox = box;
    }
    void ChangePLCInterfaceSettings(const std::function<void(PLCInterfaceNumbers&)>& edit) override {
        Record("ChangePLCInterfaceSettings");
        edit(plcInterface);
    }
    void AddPLCTrigger(const PLCTrigger::PLCInterfaceTrigger& trigger) override {
        Record("AddPLCTrigger " + trigger.ToString());
        plcTriggers.push_back(trigger);
    }
    void ClearPLCTriggers() override {
        Record("ClearPLCTriggers");
        plcTriggers.clear();
    }
    void ChangeExternalAxes(const Control::ExternalAxesChange& change) override {
        std::string text = "ChangeExternalAxes clear " + std::to_string(change.clearAll) + " from " +
                           std::to_string(change.removeFrom) + " add";
        for (const ExternalAxis& axis : change.add) text += " " + std::to_string(axis.Number);
        Record(text);
        for (int n = 0; n < Control::kNrExternalAxes; ++n) {
            if (change.clearAll || n >= change.removeFrom) axisDefined[n] = false;
        }
        for (const ExternalAxis& axis : change.add) {
            if (axis.Number < 0 || axis.Number >= Control::kNrExternalAxes) continue;
            axes[axis.Number] = axis;
            axisDefined[axis.Number] = true;
        }
    }
    void QueueRobotFileWrite() override { Record("QueueRobotFileWrite"); }

    // --- Event receivers ---
    void SetVariableReceiver(Control::VariableReceiver receiver) override {
        Record("SetVariableReceiver");
        variableReceiver = std::move(receiver);
    }
    void SetResultReceiver(Control::ResultReceiver receiver) override {
        Record("SetResultReceiver");
        resultReceiver = receiver;
    }
    bool SetCanFrameReceiver(Control::CanFrameReceiver receiver) override {
        Record("SetCanFrameReceiver");
        canFrameReceiver = receiver;
        return canInterface;
    }

    // Plain fields the reads return (set them before the server runs).
    DataTypes::RobotState state;
    Layout modules;
    int operationMode = 0;
    int motionOperationMode = -1;
    int systemVars[5] = {};
    std::string displayMessage;
    Control::LoopFigures loop;
    int velocitySetting = 0;
    bool zeroTorqueAllowed = false, zeroTorqueEnabled = false, moving = false;
    float velocities[3] = {};
    float overridePercent = 50.0f;
    int motionType = 0;
    float gripperPercent = 0.0f;
    std::string kinematicRobotType;
    bool hardwarePresent = true;
    std::string hardwareText, hardwareCode;
    std::vector<std::string> moduleErrors;
    std::vector<float> temperatures;
    bool throwOnTemperatures = false;
    std::array<unsigned char, 3> dioIds = {0, 0, 0};
    bool dioAccepted = true;  // what SetDIOModuleIDs answers
    bool canInterface = true;  // what WriteCanFrame and SetCanFrameReceiver answer
    Control::InterpreterInfo main, logic, moveTo;
    bool replayRunning[3] = {};
    std::chrono::nanoseconds lastProgramDuration{0};
    bool stopOnError = true;
    int browserCount = 0, browserSelection = 0;
    std::string selectedEntry, browserDirectory;
    bool selectedIsFile = false;
    std::vector<std::string> programFiles;
    bool loadAccepted = true;  // what LoadProgram answers
    Control::NamedLoad namedLoad = Control::NamedLoad::Loading;  // what LoadProgramByName answers
    bool eStop = false;  // refuses starts and moves
    std::string startAtRefusal;  // StartAt throws it when not empty
    bool teachAccepted = true;
    std::vector<Control::TaughtCommand> taught;
    std::map<std::string, Programs::MemoryPosition> variables;
    double maxJointVelocity[9] = {90, 90, 90, 90, 90, 90, 50, 50, 50};
    int throwOnStore = 0;  // an int the stores throw, as the kinematic does
    std::string storeRefusal;  // ReplacePosition throws it when not empty
    bool recording = true;  // off: the calls are not kept (benchmarks)
    std::vector<Programs::MemoryPosition> stored;
    BrakeSettings brake;
    Control::DOutTargets doutTargets;
    Control::JointLimits jointLimits;
    Control::VirtualBox virtualBox;
    PLCInterfaceNumbers plcInterface;
    std::vector<PLCTrigger::PLCInterfaceTrigger> plcTriggers;
    ExternalAxis axes[Control::kNrExternalAxes];
    bool axisDefined[Control::kNrExternalAxes] = {};
    Control::VariableReceiver variableReceiver;
    Control::ResultReceiver resultReceiver = nullptr;
    Control::CanFrameReceiver canFrameReceiver = nullptr;

private:
    const Control::InterpreterInfo& Info(Control::Interpreter which) const {
        switch (which) {
            case Control::Interpreter::Logic: return logic;
            case Control::Interpreter::MoveTo: return moveTo;
            case Control::Interpreter::Main: break;
        }
        return main;
    }
    template <typename T>
    T Read(const char* what, const T& value) const {
        if (recording) Record(std::string("read ") + what);
        return value;
    }
    void Record(const std::string& call) const {
        if (!recording) return;
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(call);
    }
    mutable std::mutex mutex;
    mutable std::vector<std::string> calls;
};

}  // namespace TestSupport
