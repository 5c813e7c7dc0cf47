// RobotMaster: drive commands. Each one that talks to the drives runs under the command
// lock and a hold of the robot loop (see RobotMasterCommands.h).
#include "RobotMasterCommands.h"

#include "core/LogSingleton.h"

#include <algorithm>
#include <cstdio>
#include <exception>

using namespace RobotMasterCommands;

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

// What a drive's read-back writes into a state; copied back into the live state whole.
void CopyReadBack(const DataTypes::RobotState& from, DataTypes::RobotState& to) {
    std::copy(std::begin(from.jointAct), std::end(from.jointAct), std::begin(to.jointAct));
    std::copy(std::begin(from.gripperHw), std::end(from.gripperHw), std::begin(to.gripperHw));
    std::copy(std::begin(from.platformAct), std::end(from.platformAct), std::begin(to.platformAct));
}

// Before Init there is neither kinematic nor protocol; after it (even a failed one) both exist.
bool DevicesReady(const RobotMaster& master) {
    return master.GetHardware() != nullptr && master.GetKinematic() != nullptr;
}

}  // namespace

void RobotMaster::Reset() {
    CommandLock lock(*this);
    if (!lock.Acquired() || !DevicesReady(*this)) return;  // loop thread: the step is tried again next cycle

    Log()->add("RobotMaster:  Resetting Joints");
    ErrorStateProgram(IPO::STOP_USER, false, "");

    CommandHold hold(*this, 20, 1);
    const bool live = CanWriteLive(*this);
    referenceAllActive.store(false);

    // Measured joints as the loop left them (the published copy without the hold).
    float measured[kNrJoints];
    float gripperHw;
    {
        std::lock_guard<std::mutex> guard(publishMutex);
        const DataTypes::RobotState& source = live ? liveState : publishedState;
        std::copy(std::begin(source.jointAct), std::end(source.jointAct), measured);
        gripperHw = source.gripperHw[0];
        if (live) std::copy(measured, measured + kNrJoints, liveState.jointSet);
    }
    if (live) {
        requests.resetJointRamp.store(false);
        requests.resetCartRamp.store(false);
        jogRampJoint.Reset();
        jogRampCart.Reset();
    } else {
        requests.resetJointRamp.store(true);
        requests.resetCartRamp.store(true);
    }

    if (live) {
        try {
            kinematic->ResetLastJoints(measured);
            kinematic->SetJoints(measured, false);
        } catch (int code) {
            Log()->addFormat("Error: Could not set joints during Reset, error code %d: %s", code,
                             TranslateKinError(code).c_str());
        } catch (const std::exception& e) {
            Log()->addFormat("Error: Could not set joints during Reset: %s", e.what());
        }
        kinematic->tool.SetHWPosition(gripperHw);
    }

    hardware->ResetError();
    DataTypes::RobotState readBack;
    hardware->GetJoints(&readBack);
    if (live) {
        WithLive(*this, [&](DataTypes::RobotState& state) { CopyReadBack(readBack, state); });
    }
    // The set-points now stand at the measured joints: a paused motion is planned again from
    // there when it resumes, not continued from where its old plan had got to. (On the loop
    // thread the enable that follows a PLC reset does it.)
    if (!IsLoopThread()) mainIpo.RestartCommand();

    DOutResetOnReset();
    Log()->add("RobotMaster: Resetting DOuts on reset");
    // A reset with the e-stop circuit closed again releases the e-stop.
    RequestEStopRelease();
    // The set-points are the measured joints now: the loop no longer needs to hold them so.
    connectTakenOver.store(hardware->GetConnectCount());
}

void RobotMaster::EnableMotors(bool enable) {
    // An open circuit is refused; one closed again but not reset is released by the enable.
    if (enable && IsEStopDetected()) {
        RefuseWhileEStop("RobotMaster: Enable");
        return;
    }
    CommandLock lock(*this);
    if (!lock.Acquired() || !DevicesReady(*this)) return;
    CommandHold hold(*this, 20, 1);
    if (enable) {
        RequestEStopRelease();
        Log()->add("RobotMaster: Enabling Motors");
        hardware->EnableMotors(true);
        connectTakenOver.store(hardware->GetConnectCount());
        SetBrake(true, false);
        mainIpo.RestartCommand();
    } else {
        Log()->add("RobotMaster: Disabling Motors");
        ResetVelocities();
        SetBrake(false, false);
        hardware->EnableMotors(false);
    }
}

void RobotMaster::DisableDrivesForShutdown() {
    {
        CommandLock lock(*this);
        if (!lock.Acquired() || !DevicesReady(*this)) return;
        CommandHold hold(*this, 20, 1);
        Log()->add("RobotMaster: Disabling Motors");
        ResetVelocities();
        SetBrake(false, false);
        hardware->DisableDrives();
    }
    // The brake output leaves with the loop's next full cycle; two cycles, bounded.
    if (!IsLoopThread() && loopRunning.load()) wait(std::min(2 * std::max(1, CycleTimeMS.load()) + 10, 500));
}

void RobotMaster::AlignMotors() {
    if (RefuseWhileEStop("RobotMaster: Align motors")) return;
    CommandLock lock(*this);
    if (!lock.Acquired() || !DevicesReady(*this)) return;
    CommandHold hold(*this, 0, 50);
    Show(*this, "Aligning Motors");
    hold.Wait(50);
    hardware->AlignMotors();
}

void RobotMaster::ReferenceJoint(int joint) {
    if (RefuseWhileEStop("RobotMaster: Reference joint")) return;
    CommandLock lock(*this);
    if (!lock.Acquired() || !DevicesReady(*this)) return;
    // Formatted on the stack: the loop's reference steps call this too.
    char text[32];
    std::snprintf(text, sizeof(text), "Ref Joint %d", joint + 1);
    Show(*this, text);
    if (mainIpo.IsReplayRunning()) StopProgram(IPO::STOP_REFERENCING);
    if (moveToIpo.IsReplayRunning()) StopMoveTo(IPO::STOP_REFERENCING);
    CommandHold hold(*this, 10, 10);
    hardware->ReferenceSingleJoint(joint);
}

void RobotMaster::ReferenceJointAlt(int n) {
    if (n < 0 || n > 8 || !DevicesReady(*this)) return;
    if (n < 6) {
        if (n >= hardware->GetRobotJointCount()) return;
        ReferenceJoint(n);
        return;
    }
    ReferenceJoint(hardware->GetRobotJointCount() + hardware->GetGripperCount() + n - 6);
}

void RobotMaster::ReferenceJointsReset() {
    CommandLock lock(*this);
    if (!lock.Acquired() || !DevicesReady(*this)) return;
    if (mainIpo.IsReplayRunning()) StopProgram(IPO::STOP_REFERENCING);
    if (moveToIpo.IsReplayRunning()) StopMoveTo(IPO::STOP_REFERENCING);
    CommandHold hold(*this, 10, 10);
    hardware->ReferenceReset();
}

void RobotMaster::ReferenceAllJoints() {
    CommandLock lock(*this);
    if (!lock.Acquired() || !DevicesReady(*this)) return;
    if (!hardware->GetMotorEnabled()) return;
    if (RefuseWhileEStop("RobotMaster: Reference all")) return;
    Show(*this, "Ref All Joints");
    ReferenceJointsReset();
    EnableMotors(true);
    // The sequence's steps are the loop's: it starts them from the first at its next cycle.
    requests.restartReferenceAll.store(true);
    referenceAllActive.store(true);
}

void RobotMaster::ResetAllJointsToZero() {
    CommandLock lock(*this);
    if (!lock.Acquired() || !DevicesReady(*this)) return;
    Show(*this, "Set Joints to Zero..");
    CommandHold hold(*this, 20, 1);
    const bool live = CanWriteLive(*this);
    hardware->EnableMotors(false);
    hold.Wait(2);

    auto zeroPose = [](DataTypes::RobotState& state) {
        state.pose(0, 3) = 0.0f;
        state.pose(1, 3) = 0.0f;
        state.A = 0.0f;
    };
    if (live) {
        WithLive(*this, [&](DataTypes::RobotState& state) {
            std::fill(std::begin(state.jointSet), std::end(state.jointSet), 0.0f);
            zeroPose(state);
        });
    }
    for (int j = 0; j < kNrJoints; ++j) {
        hardware->SetToZeroPos(j);
        if (live) WithLive(*this, [&](DataTypes::RobotState& state) { state.jointSet[j] = 0.0f; });
    }
    hardware->SetPlatformJointsToZeroPos();
    if (live) {
        WithLive(*this, [&](DataTypes::RobotState& state) {
            std::fill(std::begin(state.platformSet), std::end(state.platformSet), 0.0f);
            zeroPose(state);
        });
    }
    hardware->ResetError();
}

void RobotMaster::InitExternalJoints() {
    CommandLock lock(*this);
    if (!lock.Acquired() || !DevicesReady(*this)) return;
    // The hardware's record table and the kinematic belong to the loop while it runs.
    CommandHold hold(*this, 0, 0);
    for (int slot = 0; slot < kNrExternalAxes; ++slot) {
        if (!externalAxisDefined[slot]) continue;
        hardware->InitExternalJoint(externalAxes[slot]);
        kinematic->AddExternalAxis(externalAxes[slot]);
    }
}

void RobotMaster::InitDIOModule(int id) {
    CommandLock lock(*this);
    if (!lock.Acquired() || !DevicesReady(*this)) return;
    CommandHold hold(*this, 0, 0);
    hardware->InitDIOModules(id);
}

bool RobotMaster::SetDIOModuleIDs(unsigned char a, unsigned char b, unsigned char c) {
    CommandLock lock(*this);
    if (!lock.Acquired() || !DevicesReady(*this)) return false;
    // The ids reshape the protocol's record table, which the loop's hardware steps walk.
    CommandHold hold(*this, 0, 0);
    if (!hold.Acknowledged()) {
        Log()->addError("RobotMaster: DIO module IDs not changed, the robot loop did not pause");
        return false;
    }
    hardware->SetDIOModuleIDs(a, b, c);
    return true;
}

void RobotMaster::InitGripper(const std::string& type) {
    CommandLock lock(*this);
    if (!lock.Acquired() || !DevicesReady(*this)) return;
    CommandHold hold(*this, 0, 0);
    Log()->add("Gripper initialization:");
    if (type.empty()) {
        Log()->add("No gripper attached to the robot (to change set type in project file).");
    } else {
        Tool& tool = kinematic->tool;
        tool.Init(type);
        if (tool.protocol == "bus") hardware->InitTool(1, tool.BusID, tool.GearScale, tool.GearZero);
    }
    Log()->add("");
}
