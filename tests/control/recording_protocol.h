#pragma once

// A hardware protocol that records every call with its thread and the robot master's hold
// state at that moment, and answers from settable values. For robot master tests.

#include "control/RobotMaster.h"
#include "hardware/HardwareProtocol.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ControlTest {

class RecordingProtocol : public Hardware::HardwareProtocol {
public:
    struct Call {
        std::string name;
        int argument = 0;
        std::thread::id thread;
        bool onLoopThread = false;  // called from inside the master's loop cycle
        bool held = false;          // the loop's hold was up
        bool acknowledged = false;  // every hold requested so far was acknowledged
    };

    explicit RecordingProtocol(RobotKinematic* kinematic = nullptr) : HardwareProtocol(kinematic) {}

    // The master whose hold state is recorded (null: none).
    void Observe(const RobotMaster* m) { master.store(m); }

    std::vector<Call> Calls() const {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    std::vector<Call> CallsNamed(const std::string& name) const {
        std::vector<Call> out;
        for (const Call& c : Calls()) {
            if (c.name == name) out.push_back(c);
        }
        return out;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex);
        calls.clear();
    }
    // Stops recording the loop's per-cycle calls (they can be many).
    void RecordCycleCalls(bool on) { recordCycle.store(on); }

    // Answers.
    std::atomic<bool> connected{false};
    std::atomic<bool> motorsEnabled{false};
    void SetCounts(int robotJoints, int grippers) {
        SetRobotJointCount(robotJoints);
        gripperCount = grippers;
    }
    // Every role, each with its records in the protocol's table.
    void SetRoles(int robotJoints, int grippers, int externalAxes, int platformJoints, int dioModules) {
        SetRobotJointCount(robotJoints);
        ResizeRole(ModuleRole::Gripper, grippers);
        ResizeRole(ModuleRole::ExternalAxis, externalAxes);
        ResizeRole(ModuleRole::Platform, platformJoints);
        ResizeRole(ModuleRole::DIO, dioModules);
    }
    void SetReferencing(bool mandatory, bool done) {
        referencingMandatory.store(mandatory);
        referenced.store(done);
    }

    // --- Recorded operations ---
    void Connect() override { Record("Connect"); connected.store(true); }
    void Disconnect() override { Record("Disconnect"); connected.store(false); }
    bool GetConnectionStatus() override { return connected.load(); }
    void ResetError() override { Record("ResetError"); }
    void AlignMotors() override { Record("AlignMotors"); }
    void ReferenceSingleJoint(int joint) override { Record("ReferenceSingleJoint", joint); }
    void ReferenceReset() override { Record("ReferenceReset"); }
    void StopReferencing() override { Record("StopReferencing"); }
    void EnableMotors(bool on) override {
        Record("EnableMotors", on ? 1 : 0);
        motorsEnabled.store(on);
    }
    bool GetMotorEnabled() override { return motorsEnabled.load(); }
    void SetJointMode(int joint, Hardware::JointMode mode) override {
        Record("SetJointMode", joint * 100 + static_cast<int>(mode));
    }
    void SetToZeroPos(int joint) override { Record("SetToZeroPos", joint); }
    void SetPlatformJointsToZeroPos() override { Record("SetPlatformJointsToZeroPos"); }
    void InitDIOModules(int id) override { Record("InitDIOModules", id); }
    // Argument: the three ids as one number, 0xAABBCC.
    void SetDIOModuleIDs(unsigned char a, unsigned char b, unsigned char c) override {
        Record("SetDIOModuleIDs", (a << 16) | (b << 8) | c);
    }
    void InitTool(int count, int, float, float) override { Record("InitTool", count); }
    void InitExternalJoint(const ExternalAxis&) override { Record("InitExternalJoint"); }
    void SendSync() override {
        if (recordCycle.load()) Record("SendSync");
        syncCount.fetch_add(1);
        if (onSendSync) onSendSync();
    }
    void SetJoints(const DataTypes::RobotState&) override {
        if (recordCycle.load()) Record("SetJoints");
    }
    void GetJoints(DataTypes::RobotState*) override {
        if (recordCycle.load()) Record("GetJoints");
    }
    void SetIO(int module, int channel, bool value) override {
        if (recordCycle.load()) Record("SetIO", module * 1000 + channel * 10 + (value ? 1 : 0));
    }

    std::atomic<long> syncCount{0};
    // Runs inside SendSync, on the caller's (the loop's) thread. Set before the loop runs.
    std::function<void()> onSendSync;

private:
    void Record(const char* name, int argument = 0) {
        Call call;
        call.name = name;
        call.argument = argument;
        call.thread = std::this_thread::get_id();
        if (const RobotMaster* m = master.load()) {
            call.onLoopThread = m->IsLoopThread();
            call.held = m->IsHeld();
            call.acknowledged = m->GetHoldAcknowledged() >= m->GetHoldRequests();
        }
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(call);
    }

    mutable std::mutex mutex;
    std::vector<Call> calls;
    std::atomic<const RobotMaster*> master{nullptr};
    std::atomic<bool> recordCycle{true};
};

}  // namespace ControlTest
