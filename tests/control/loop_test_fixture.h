#pragma once

// The robot loop stepped by hand: a fake clock, a recording protocol with settable drive
// state, inputs and joint records, and a robot master built from the test robot file
// (a three-axis gantry) or given a kinematic of the test's choice.

#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "recording_protocol.h"
#include "robot_loop_test_access.h"
#include "robot_master_support.h"
#include "testsupport/TestSupport.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ControlTest {

// Time moves only when the loop sleeps or spins, or when a test (or a hook) advances it.
class FakeLoopClock : public LoopClock {
public:
    explicit FakeLoopClock(std::uint64_t start = 1000000000ULL) : now(start) {}
    std::uint64_t NowMicros() override { return now; }
    void SleepUntilMicros(std::uint64_t deadline) override {
        sleeps.push_back(deadline);
        now = std::max(now, deadline);
    }
    void SpinUntilMicros(std::uint64_t deadline) override {
        spins.push_back(deadline);
        now = std::max(now, deadline);
    }
    void Advance(std::uint64_t us) { now += us; }

    std::uint64_t now;
    std::vector<std::uint64_t> sleeps;
    std::vector<std::uint64_t> spins;
};

// A recording protocol with the drive state a loop test sets.
class LoopProtocol : public RecordingProtocol {
public:
    explicit LoopProtocol(RobotKinematic* kinematic) : RecordingProtocol(kinematic) {
        inputs[7] = true;  // the test robot's e-stop circuit is closed
    }

    void GetError(std::string& text, std::string& shortText) override {
        if (onGetError) onGetError();
        std::lock_guard<std::mutex> lock(stateMutex);
        text = "Status: " + errorShort;
        shortText = errorShort;
    }
    // The I/O modules have answered (false: as before their first frame at power-up).
    bool IsDigitalInputRead(int) override { return inputsAnswered.load(); }
    std::atomic<bool> inputsAnswered{true};
    // Runs inside GetError, on the loop's thread: the read-back, after the I/O step and
    // before the last e-stop look. Set before the loop runs.
    std::function<void()> onGetError;
    void GetDigitalIORail(bool* in) override {
        std::lock_guard<std::mutex> lock(stateMutex);
        std::copy(std::begin(inputs), std::end(inputs), in);
    }
    void SetJoints(const DataTypes::RobotState& state) override {
        RecordingProtocol::SetJoints(state);
        std::array<float, 9> sent{};
        std::copy(std::begin(state.jointSet), std::end(state.jointSet), sent.begin());
        std::lock_guard<std::mutex> lock(stateMutex);
        setPoints.push_back(sent);
    }
    // The last n joint set-points sent (all of them when fewer).
    std::vector<std::array<float, 9>> SentSetPoints(std::size_t n) {
        std::lock_guard<std::mutex> lock(stateMutex);
        const std::size_t from = setPoints.size() > n ? setPoints.size() - n : 0;
        return std::vector<std::array<float, 9>>(setPoints.begin() + static_cast<long>(from), setPoints.end());
    }
    void ClearSetPoints() {
        std::lock_guard<std::mutex> lock(stateMutex);
        setPoints.clear();
    }
    void SetRailIO(int module, int channel, bool value) override {
        railCalls.push_back(module * 1000 + channel * 10 + (value ? 1 : 0));
    }
    void SetIO(int module, int channel, bool value) override {
        ioCalls.push_back(module * 1000 + channel * 10 + (value ? 1 : 0));
        RecordingProtocol::SetIO(module, channel, value);
    }

    void SetErrorText(const std::string& text) {
        std::lock_guard<std::mutex> lock(stateMutex);
        errorShort = text;
    }
    void SetInput(int n, bool on) {
        std::lock_guard<std::mutex> lock(stateMutex);
        inputs[n] = on;
    }
    // n joint modules with CAN IDs (axis modules 0..n-1).
    void SetAxisModules(int n) {
        SetCounts(n, 0);
        for (int j = 0; j < n; ++j) joints[static_cast<size_t>(j)].canId = 16 * (j + 1);
    }
    void SetJointReferencing(int joint, bool on) { joints[static_cast<size_t>(joint)].referencing = on ? 1 : 0; }
    // A referencing that ended unfinished.
    void FailJointReferencing(int joint) {
        joints[static_cast<size_t>(joint)].referencing = 0;
        joints[static_cast<size_t>(joint)].referencingFailed = 1;
    }
    void SetJointErrorCode(int joint, int code) { joints[static_cast<size_t>(joint)].errorCode = code; }
    // What a protocol's successful Connect counts.
    void CountConnect() { connectCount.fetch_add(1); }

    std::vector<int> ioCalls;
    std::vector<int> railCalls;

private:
    std::mutex stateMutex;
    std::string errorShort = "NoError";
    bool inputs[DataTypes::RobotState::maxIOs] = {};
    std::vector<std::array<float, 9>> setPoints;
};

// A master stepped cycle by cycle on a fake clock (timing mode 1, 20 ms).
class LoopTest : public RobotFileTest {
protected:
    void SetUp() override {
        RobotFileTest::SetUp();
        if (IsSkipped()) return;
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        PLCInterfaceNumbers none;
        master.SetPLCInterfaceSettings(none);
    }
    void TearDown() override {
        master.StopMainLoop();
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        PLCInterfaceNumbers none;
        master.SetPLCInterfaceSettings(none);
        RobotFileTest::TearDown();
    }

    // The test gantry from its robot file, then the loop protocol in place of its own.
    void InitGantry(const std::string& xml = BaseRobotXml()) {
        master.Init("loop", "LoopGantry", WriteRobot("LoopGantry", xml));
        ASSERT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
        UseLoopProtocol();
        // The pose of the start joints, as the loop's first cycles would leave it.
        master.GetKinematic()->SetJoints(RobotMasterTestAccess::LiveState(master).jointSet, false);
    }
    // A kinematic of the test's choice (no robot file).
    void InitWith(std::unique_ptr<RobotKinematic> kinematic) {
        RobotMasterTestAccess::Kinematic(master) = std::move(kinematic);
        master.GetKinematic()->cycleTimeMS = RobotMasterTestAccess::CycleTimeMs(master).load();
        UseLoopProtocol();
    }
    void UseLoopProtocol() {
        auto p = std::make_unique<LoopProtocol>(master.GetKinematic());
        protocol = p.get();
        master.SetHardwareProtocol(std::move(p));
        protocol->Observe(&master);
        protocol->Clear();
        RobotMasterTestAccess::TimingMode(master).store(1);
        RobotMasterTestAccess::InitHold(master).store(false);
        // Texts for the remote clients are collected instead of sent.
        master.GetLoopOutbox().messageSink = [this](LoopOutbox::Kind, const char* text) {
            notes.emplace_back(text);
        };
    }
    // The interpreters get their planners' kinematics as FinishInit gives them, without
    // starting the loop thread.
    void PrepareInterpreters() {
        for (IPO* ipo : {&master.GetMainInterpreter(), &master.GetLogicInterpreter(),
                         &master.GetMoveToInterpreter()}) {
            if (ipo->GetPathGenerator()) ipo->GetPathGenerator()->SetKinematic(master.GetKinematic()->clone());
        }
        master.SyncJointVelData();
    }

    // The brake released as after an enable and its delay, already sent: the set-point
    // moves from the next cycle on (nothing moves while the brake output holds it).
    void ReleaseBrake() {
        master.SetBrake(true, true);
        RobotLoopTestAccess::BrakeReleasedSent(master) = true;
    }
    void Cycles(int n) {
        for (int i = 0; i < n; ++i) master.RunCycle(clock);
    }
    // The notes delivered so far.
    std::vector<std::string>& Notes() {
        master.GetLoopOutbox().Deliver();
        return notes;
    }
    DataTypes::RobotState& Live() { return RobotMasterTestAccess::LiveState(master); }
    void SetPLC(const std::function<void(PLCInterfaceNumbers&)>& edit) {
        PLCInterfaceNumbers plc;
        plc.Active = true;
        for (int* n : {&plc.RequestReferenceNumber, &plc.EnableNumber, &plc.PlayNumber, &plc.PauseNumber,
                       &plc.StartMissionNumber, &plc.ShutdownNumber, &plc.AltStartNumber, &plc.AltStopNumber,
                       &plc.AddJointNumber, &plc.AddLinearNumber, &plc.NoFaultNumber, &plc.RobotIsReferenced,
                       &plc.MissionRunningNumber, &plc.FaultNumber, &plc.ProgramNotRunningNumber,
                       &plc.ProgramRunningNumber}) {
            *n = -1;
        }
        std::fill(std::begin(plc.JointToRef), std::end(plc.JointToRef), -1);
        std::fill(std::begin(plc.RefDelay), std::end(plc.RefDelay), 5);
        edit(plc);
        master.SetPLCInterfaceSettings(plc);
    }
    // One press of a PLC input: on for a cycle, off for a cycle (inputs are read and
    // acted on in the same cycle).
    void Press(int input) {
        protocol->SetInput(input, true);
        Cycles(1);
        protocol->SetInput(input, false);
        Cycles(1);
    }

    RobotMaster master;
    LoopProtocol* protocol = nullptr;
    FakeLoopClock clock;
    std::vector<std::string> notes;
};

}  // namespace ControlTest
