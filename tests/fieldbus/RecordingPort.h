#pragma once

// A controller port for the Modbus map's tests: reads come from plain fields, every call
// (reads included) is recorded by name, with arguments for the commands.

#include "fieldbus/ModbusPort.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace ModbusTest {

class RecordingPort : public Modbus::ControllerPort {
public:
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
    void SetArmWithGripperAndAxes() {
        modules = {};
        modules.first[Modbus::ModuleLayout::RobotJoint] = 0;
        modules.count[Modbus::ModuleLayout::RobotJoint] = 6;
        modules.first[Modbus::ModuleLayout::Gripper] = 6;
        modules.count[Modbus::ModuleLayout::Gripper] = 1;
        modules.first[Modbus::ModuleLayout::ExternalAxis] = 7;
        modules.count[Modbus::ModuleLayout::ExternalAxis] = 2;
        modules.first[Modbus::ModuleLayout::Platform] = 9;
        modules.count[Modbus::ModuleLayout::Platform] = 0;
        modules.first[Modbus::ModuleLayout::DIO] = 9;
        modules.count[Modbus::ModuleLayout::DIO] = 1;
        modules.total = 10;
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
    int CountOf(const std::string& call) const {
        const auto all = Calls();
        return static_cast<int>(std::count(all.begin(), all.end(), call));
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex);
        calls.clear();
    }

    // --- Reads ---
    DataTypes::RobotState GetRobotState() const override { return Read("state", state); }
    Modbus::ModuleLayout GetModules() const override { return Read("modules", modules); }
    int GetOperationMode() const override { return Read("opmode", operationMode); }
    int GetSystemVar(int key) const override { return Read("sysvar", key >= 0 && key < 5 ? systemVars[key] : -1); }
    bool GetDisplayMessage(std::string& out) const override {
        out = Read("message", displayMessage);
        return !out.empty();
    }
    Modbus::LoopFigures GetLoopFigures() const override { return Read("loop", loop); }
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
    Modbus::InterpreterInfo GetInterpreterInfo(Modbus::Interpreter which) const override {
        return Read("interpreter", which == Modbus::Interpreter::Logic ? logic : main);
    }
    int GetBrowserEntryCount() const override { return Read("browser count", browserCount); }
    int GetBrowserSelection() const override { return Read("browser selection", browserSelection); }
    std::string GetSelectedEntryName() const override { return Read("browser entry", selectedEntry); }
    std::string GetBrowserDirectory() const override { return Read("browser dir", browserDirectory); }
    bool IsSelectedEntryAFile() const override { return Read("browser is file", selectedIsFile); }
    std::shared_ptr<const Programs::MemoryPosition> GetVariable(const std::string& name) const override {
        if (recording) Record("read variable " + name);
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = variables.find(name);
        if (found == variables.end()) return nullptr;
        return std::make_shared<const Programs::MemoryPosition>(found->second);
    }
    double GetMaxJointVelocity(int joint) const override {
        return joint >= 0 && joint < 9 ? maxJointVelocity[joint] : 0.0;
    }

    // --- Commands ---
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
    void MoveCartesian(Modbus::CartesianMove kind, const DataTypes::Vector3& p, const DataTypes::Vector3& o,
                       const DataTypes::Vector3& e, float speed) override {
        std::ostringstream text;
        text << "MoveCartesian " << static_cast<int>(kind) << " " << p.x << " " << p.y << " " << p.z << " " << o.x
             << " " << o.y << " " << o.z << " " << e.x << " " << e.y << " " << e.z << " " << speed;
        Record(text.str());
    }
    void MoveJoints(Modbus::JointMove kind, const float* j, float speed) override {
        std::ostringstream text;
        text << "MoveJoints " << static_cast<int>(kind);
        for (int i = 0; i < 9; ++i) text << " " << j[i];
        text << " " << speed;
        Record(text.str());
    }
    void SetZeroTorqueMode(bool on) override { Record("SetZeroTorqueMode " + std::to_string(on)); }
    void StartProgram() override { Record("StartProgram"); }
    void PauseProgram() override { Record("PauseProgram"); }
    void StopProgram() override { Record("StopProgram"); }
    void BrowserNext() override { Record("BrowserNext"); }
    void BrowserPrevious() override { Record("BrowserPrevious"); }
    void LoadCurrentDirectoryOrProgram() override { Record("LoadCurrentDirectoryOrProgram"); }
    void GotoBasedir() override { Record("GotoBasedir"); }
    void SetBrowserSelection(int index) override { Record("SetBrowserSelection " + std::to_string(index)); }
    void DeleteAll(Modbus::Interpreter which) override {
        Record("DeleteAll " + std::to_string(static_cast<int>(which)));
    }
    void SaveProject() override { Record("SaveProject"); }
    void SetGlobalSignal(int n, bool on) override {
        if (recording) Record("SetGlobalSignal " + std::to_string(n) + " " + std::to_string(on));
    }
    void SetManualDOut(int n, bool on) override {
        if (recording) Record("SetManualDOut " + std::to_string(n) + " " + std::to_string(on));
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
    void SetReplayMode(int mode) override { Record("SetReplayMode " + std::to_string(mode)); }
    bool LoadProgram(Modbus::Interpreter which, const std::string& name) override {
        Record("LoadProgram " + std::to_string(static_cast<int>(which)) + " " + name);
        return loadAccepted;
    }
    void SetNumber(const std::string& name, double value) override {
        std::ostringstream text;
        text << "SetNumber " << name << " " << value;
        Record(text.str());
        std::lock_guard<std::mutex> lock(mutex);
        variables[name].value = value;
    }
    void StoreVariable(const Programs::MemoryPosition& variable, Programs::StoreContentType content) override {
        Record("StoreVariable " + variable.name + " " + std::to_string(static_cast<int>(content)));
        if (throwOnStore != 0) throw throwOnStore;
        std::lock_guard<std::mutex> lock(mutex);
        stored.push_back(variable);
    }

    // Plain fields the reads return (set them before the server runs).
    DataTypes::RobotState state;
    Modbus::ModuleLayout modules;
    int operationMode = 0;
    int systemVars[5] = {};
    std::string displayMessage;
    Modbus::LoopFigures loop;
    bool zeroTorqueAllowed = false, zeroTorqueEnabled = false, moving = false;
    float velocities[3] = {};
    float overridePercent = 50.0f;
    int motionType = 0;
    Modbus::InterpreterInfo main, logic;
    int browserCount = 0, browserSelection = 0;
    std::string selectedEntry, browserDirectory;
    bool selectedIsFile = false;
    bool loadAccepted = true;  // what LoadProgram answers
    std::map<std::string, Programs::MemoryPosition> variables;
    double maxJointVelocity[9] = {90, 90, 90, 90, 90, 90, 50, 50, 50};
    int throwOnStore = 0;  // an int the store throws, as the kinematic does
    bool recording = true;  // off: the calls are not kept (benchmarks)
    std::vector<Programs::MemoryPosition> stored;

private:
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

}  // namespace ModbusTest
