#pragma once

// A robot master with a recording protocol and a kinematic that does nothing, without a
// robot file; the stand-in loop (the master's own loop thread) runs when a test starts it.

#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicNull.h"
#include "recording_protocol.h"
#include "robot_master_support.h"
#include "testsupport/TestSupport.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

namespace ControlTest {

// Forward kinematics that fails with a kinematic error code when armed.
class ThrowingKinematic : public RobotKinematicNull {
public:
    void SetJoints(const float* joints, bool check) override {
        if (throwCode.load() != 0) throw throwCode.load();
        RobotKinematicNull::SetJoints(joints, check);
    }
    std::atomic<int> throwCode{0};
};

// The commands' tests run the master's own loop thread as a stand-in: its full cycles only
// apply the commands' requests (the robot loop's steps have tests of their own).
class RequestsOnlyMaster : public RobotMaster {
public:
    void FullCycleWork() override { ApplyRequests(); }
};

class MasterCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        master = std::make_unique<RequestsOnlyMaster>();
        auto kin = std::make_unique<ThrowingKinematic>();
        kinematic = kin.get();
        RobotMasterTestAccess::Kinematic(*master) = std::move(kin);
        auto recording = std::make_unique<RecordingProtocol>(kinematic);
        protocol = recording.get();
        master->SetHardwareProtocol(std::move(recording));
        protocol->Observe(master.get());
        protocol->Clear();
    }
    void TearDown() override {
        if (master) master->StopMainLoop();
        master.reset();
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    }
    // The master's loop thread with its hold released (as after FinishInit).
    void StartLoop(int cycleMs, int timingMode) {
        RobotMasterTestAccess::CycleTimeMs(*master).store(cycleMs);
        RobotMasterTestAccess::TimingMode(*master).store(timingMode);
        RobotMasterTestAccess::InitHold(*master).store(false);
        master->StartMainLoop();
    }
    // Waits until the loop has published something that satisfies condition.
    bool WaitPublished(const std::function<bool(const DataTypes::RobotState&)>& condition) {
        return WaitFor([&] { return condition(master->GetRobotState()); });
    }
    // Sets the published error text as the loop would.
    void PublishErrorText(const std::string& text) {
        std::lock_guard<std::mutex> lock(RobotMasterTestAccess::PublishMutex(*master));
        RobotMasterTestAccess::PublishedState(*master).errorText = text;
    }
    // Path generators with the master's kinematic, so that the interpreters load programs.
    void InitPathGenerators() {
        for (IPO* ipo : {&master->GetMainInterpreter(), &master->GetLogicInterpreter()}) {
            ipo->InitPathGen(PATHGEN_JOINT, 100.0f, 10.0f, 3);
            ipo->GetPathGenerator()->SetKinematic(master->GetKinematic()->clone());
        }
    }
    // A program of one 0.5 s wait at programs root + name.
    static void WriteWaitProgram(const std::string& path) {
        WriteText(path, "<?xml version=\"1.0\"?>\n<Program>\n  <Wait Nr=\"1\" Type=\"Time\" Seconds=\"0.5\" />\n</Program>\n");
    }
    std::vector<std::string> CallNames() const {
        std::vector<std::string> names;
        for (const auto& c : protocol->Calls()) names.push_back(c.name);
        return names;
    }

    std::unique_ptr<RobotMaster> master;
    ThrowingKinematic* kinematic = nullptr;
    RecordingProtocol* protocol = nullptr;
};

}  // namespace ControlTest
