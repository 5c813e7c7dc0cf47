// RobotMaster: external-axis slots, zero-torque mode, PLC triggers, the home position and
// the kinematic's joint limits and virtual box. Slots and triggers change under the
// command mutex; the loop works on copies of its own and refreshes them when the change
// counters move. The kinematic is the loop's: it changes under a hold.
#include "RobotMasterCommands.h"

#include "core/LogSingleton.h"

#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>

using namespace RobotMasterCommands;

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

// Reads of slots and triggers from other threads; never from the loop, which has copies.
std::unique_lock<std::recursive_mutex> ReadLock(const RobotMaster& master) {
    return std::unique_lock<std::recursive_mutex>(RobotMasterInternals::CommandMutex(const_cast<RobotMaster&>(master)));
}

}  // namespace

// ---------------------------------------------------------------- external axes

void RobotMaster::SetExternalAxis(const ExternalAxis& axis) {
    const int slot = axis.Number;
    if (slot < 0 || slot >= kNrExternalAxes) {
        Log()->addError("RobotMaster: External axis number out of range");
        return;
    }
    CommandLock lock(*this);
    if (!lock.Acquired()) return;
    Log()->addFormat("Adding external axis: %s", axis.ToString().c_str());
    externalAxes[slot] = axis;
    externalAxisDefined[slot] = true;
    externalAxesChange.fetch_add(1);
}

ExternalAxis RobotMaster::GetExternalAxis(int n) const {
    if (n < 0 || n >= kNrExternalAxes) throw std::out_of_range("external axis number out of range");
    auto lock = ReadLock(*this);
    if (!externalAxisDefined[n]) {
        throw std::invalid_argument("external axis " + std::to_string(n) + " is not defined");
    }
    return externalAxes[n];
}

void RobotMaster::RemoveExternalAxis(int n) {
    if (n < 0 || n >= kNrExternalAxes) throw std::out_of_range("external axis number out of range");
    CommandLock lock(*this);
    if (!lock.Acquired()) return;
    Log()->addFormat("Removing external axis %d", n);
    externalAxisDefined[n] = false;
    externalAxesChange.fetch_add(1);
}

bool RobotMaster::HasExternalAxis(int n) const {
    if (n < 0 || n >= kNrExternalAxes) return false;
    auto lock = ReadLock(*this);
    return externalAxisDefined[n];
}

void RobotMaster::ClearExternalAxes() {
    CommandLock lock(*this);
    if (!lock.Acquired()) return;
    Log()->add("Clearing external axes");
    for (bool& defined : externalAxisDefined) defined = false;
    externalAxesChange.fetch_add(1);
}

void RobotMaster::ChangeExternalAxes(bool clearAll, int removeFrom, const std::vector<ExternalAxis>& add) {
    // The loop copies the slots only when it gets the command lock (see LoopCopies), so
    // it sees them before or after the whole change.
    CommandLock lock(*this);
    if (!lock.Acquired()) return;
    if (clearAll) ClearExternalAxes();
    for (int n = kNrExternalAxes - 1; n >= 0 && n >= removeFrom; --n) {
        if (externalAxisDefined[n]) RemoveExternalAxis(n);
    }
    for (const ExternalAxis& axis : add) SetExternalAxis(axis);
}

// ---------------------------------------------------------------- zero torque

bool RobotMaster::IsZeroTorqueAllowed() const {
    for (bool allowed : zeroTorqueAllowed) {
        if (allowed) return true;
    }
    return false;
}

void RobotMaster::SetZeroTorqueMode(bool on) {
    CommandLock lock(*this);
    if (!lock.Acquired()) return;
    if (on == zeroTorqueOn.load() || !hardware) return;
    if (!IsZeroTorqueAllowed()) {
        Log()->add("RobotMaster: Tried to switch zero torque mode but is not allowed for any joint");
        return;
    }
    Log()->add(on ? "RobotMaster: Enabling zero torque mode" : "RobotMaster: Disabling zero torque mode");
    // Mode changes are drive commands: the loop holds its cyclic exchange meanwhile.
    CommandHold hold(*this, 10, 10);
    const Hardware::JointMode mode = on ? Hardware::JointModeZeroTorque : Hardware::JointModePosition;
    for (int joint = 0; joint < kNrZeroTorqueJoints; ++joint) {
        if (zeroTorqueAllowed[joint]) hardware->SetJointMode(joint, mode);
    }
    zeroTorqueOn.store(on);
}

// ---------------------------------------------------------------- PLC triggers

void RobotMaster::AddPLCTrigger(const PLCTrigger::PLCInterfaceTrigger& trigger) {
    CommandLock lock(*this);
    if (!lock.Acquired()) return;
    if (plcTriggerCount >= kMaxPLCTriggers) {
        Log()->addFormat("Can not add more than %d PLC triggers", kMaxPLCTriggers);
        return;
    }
    // Entries beyond the count are kept for reuse.
    if (static_cast<int>(plcTriggers.size()) > plcTriggerCount) {
        plcTriggers[static_cast<size_t>(plcTriggerCount)] = trigger;
    } else {
        plcTriggers.push_back(trigger);
    }
    ++plcTriggerCount;
    plcTriggersChange.fetch_add(1);
}

void RobotMaster::ClearPLCTriggers() {
    CommandLock lock(*this);
    if (!lock.Acquired()) return;
    plcTriggerCount = 0;
    plcTriggersChange.fetch_add(1);
}

std::vector<PLCTrigger::PLCInterfaceTrigger> RobotMaster::GetPLCTriggers() const {
    auto lock = ReadLock(*this);
    return std::vector<PLCTrigger::PLCInterfaceTrigger>(plcTriggers.begin(),
                                                        plcTriggers.begin() + plcTriggerCount);
}

// ---------------------------------------------------------------- home position

void RobotMaster::SetHomePos(double* joints) {
    for (int i = 0; i < kNrJoints; ++i) {
        // The set-points are floats: a larger double would become an infinite set-point,
        // which passes the kinematic's NaN check on its way to the drives.
        if (!std::isfinite(joints[i]) || std::fabs(joints[i]) > std::numeric_limits<float>::max()) {
            Log()->addError("RobotMaster: home position is not a number, ignored");
            return;
        }
    }
    CommandLock lock(*this);
    if (!lock.Acquired() || !kinematic) return;
    // The kinematic and the set-points are the loop's: change them while it is held.
    CommandHold hold(*this, 0, 0);
    if (!CanWriteLive(*this)) {
        Log()->addError("RobotMaster: home position not applied, robot loop busy");
        return;
    }
    // Only the set-points and the pose are computed here; the rest of the live state stays
    // the loop's (it updates a few fields even in held cycles).
    DataTypes::RobotState work;
    for (int i = 0; i < kNrJoints; ++i) {
        homePosition[i] = joints[i];
        kinematic->currentJoints[i] = static_cast<float>(joints[i]);
        work.jointSet[i] = static_cast<float>(joints[i]);
    }
    try {
        kinematic->SetJoints(work.jointSet, false);
    } catch (int code) {
        Log()->addFormat("Error: Could not set joints during SetHomePos, error code %d: %s", code,
                         TranslateKinError(code).c_str());
    } catch (const std::exception& e) {
        Log()->addFormat("Error: Could not set joints during SetHomePos: %s", e.what());
    }
    kinematic->GetPosition(&work);
    work.UpdateABC();
    kinematic->KinAdaptorToInternalFormat(work.jointSet, &work.pose(2, 3));
    WithLive(*this, [&](DataTypes::RobotState& live) {
        std::copy(std::begin(work.jointSet), std::end(work.jointSet), std::begin(live.jointSet));
        live.pose = work.pose;
        live.A = work.A;
        live.B = work.B;
        live.C = work.C;
    });
}

// ---------------------------------------------------------------- limits and virtual box

namespace {

// Changes the loop's kinematic under the command lock and an acknowledged hold.
template <typename Change>
void ChangeKinematicHeld(RobotMaster& master, const char* what, Change change) {
    CommandLock lock(master);
    if (!lock.Acquired() || master.GetKinematic() == nullptr) return;
    CommandHold hold(master, 0, 0);
    if (!hold.Acknowledged()) {
        Log()->addError(std::string("RobotMaster: ") + what + " not changed, the robot loop did not pause");
        return;
    }
    change(*master.GetKinematic());
}

}  // namespace

void RobotMaster::SetJointLimits(const float (*minMax)[2]) {
    ChangeKinematicHeld(*this, "joint limits", [&](RobotKinematic& k) { k.SetMinMaxValues(minMax); });
}

void RobotMaster::SetVirtualBox(bool active, const DataTypes::Vector3& min, const DataTypes::Vector3& max) {
    ChangeKinematicHeld(*this, "virtual box", [&](RobotKinematic& k) { k.SetVirtualBox(active, min, max); });
}
