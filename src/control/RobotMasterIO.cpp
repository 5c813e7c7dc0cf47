// RobotMaster: digital outputs, global signals, brake, gripper and output target states,
// and the helpers that let commands reach the loop's live state safely.
#include "RobotMasterCommands.h"

#include "core/LogSingleton.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>

namespace RobotMasterCommands {

namespace {

// The robot master whose acknowledged hold this thread holds (nested holds restore).
thread_local const RobotMaster* tlsHoldOwner = nullptr;

}  // namespace

bool CanWriteLive(const RobotMaster& master) {
    return master.IsLoopThread() || tlsHoldOwner == &master;
}

CommandHold::CommandHold(RobotMaster& master, int waitBeforeMs, int waitAfterMs)
    : hold(master, waitBeforeMs, waitAfterMs), previous(tlsHoldOwner) {
    if (hold.Acknowledged()) tlsHoldOwner = &master;
}

// Runs before the HoldScope member ends the hold.
CommandHold::~CommandHold() { tlsHoldOwner = previous; }

bool CurrentDOut(RobotMaster& master, int n) {
    const std::uint8_t pending = RobotMasterInternals::Requests(master).dout[n].load();
    if (pending != LoopRequests::kNone) return pending == LoopRequests::kOn;
    if (CanWriteLive(master)) {
        std::lock_guard<std::mutex> lock(RobotMasterInternals::PublishMutex(master));
        return RobotMasterInternals::LiveState(master).DOut[n];
    }
    std::lock_guard<std::mutex> lock(RobotMasterInternals::PublishMutex(master));
    return RobotMasterInternals::PublishedState(master).DOut[n];
}

void WriteDOut(RobotMaster& master, int n, bool on) {
    LoopRequests& requests = RobotMasterInternals::Requests(master);
    if (CanWriteLive(master)) {
        // A request left earlier is older than this write.
        requests.dout[n].store(LoopRequests::kNone);
        WithLive(master, [&](DataTypes::RobotState& live) { live.DOut[n] = on; });
        return;
    }
    requests.dout[n].store(on ? LoopRequests::kOn : LoopRequests::kOff);
    requests.ioChange.fetch_add(1);
}

void Show(RobotMaster& master, const char* text) {
    if (master.IsLoopThread()) {
        master.GetLoopOutbox().Post(LoopOutbox::DisplayAndServer, text);
        return;
    }
    LogSingleton::instance()->DisplayAndServerSetMessage(text);
}

}  // namespace RobotMasterCommands

using namespace RobotMasterCommands;

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

bool AllInterpretersStopped(RobotMaster& master) {
    return master.GetMainInterpreter().GetRunState() == IPO::RUNSTATE_STOPPED &&
           master.GetLogicInterpreter().GetRunState() == IPO::RUNSTATE_STOPPED &&
           master.GetMoveToInterpreter().GetRunState() == IPO::RUNSTATE_STOPPED;
}

}  // namespace

// ---------------------------------------------------------------- outputs and signals

void RobotMaster::SetManualDOut(int n, bool on) {
    if (!IsValidIONum(n)) {
        Log()->addFormat("RobotMaster: digital output %d out of range (0..%d), ignored", n,
                         DataTypes::RobotState::maxIOs - 1);
        return;
    }
    // A digital gripper follows its open/close output (tool settings are fixed after start-up).
    if (kinematic && n == kinematic->tool.ChannelOpenClose && kinematic->tool.protocol == "digital") {
        SetGripperPosition(on ? 100.0f : 0.0f);
    }
    WriteDOut(*this, n, on);
}

void RobotMaster::SetGlobalSignal(int n, bool on) {
    if (n < 0 || n >= DataTypes::RobotState::maxSignals) {
        Log()->addFormat("RobotMaster: global signal %d out of range (0..%d), ignored", n,
                         DataTypes::RobotState::maxSignals - 1);
        return;
    }
    if (CanWriteLive(*this)) {
        requests.gsig[n].store(LoopRequests::kNone);
        WithLive(*this, [&](DataTypes::RobotState& live) { live.GSig[n] = on; });
        return;
    }
    requests.gsig[n].store(on ? LoopRequests::kOn : LoopRequests::kOff);
    requests.ioChange.fetch_add(1);
}

// ---------------------------------------------------------------- brake

bool RobotMaster::SetBrakeSettings(const BrakeSettings& settings) {
    std::lock_guard<std::mutex> lock(brakeSettingsMutex);
    // While latched the input that latched stays monitored and the brake output stays the
    // one that holds the brake. (The loop keeps its input should it latch after this check.)
    const bool changes = settings.eStopDInChannel != brakeSettings.eStopDInChannel ||
                         settings.brakeDOutChannel != brakeSettings.brakeDOutChannel;
    if (changes && eStopLatched.load()) {
        Log()->add("RobotMaster: E-Stop or brake channel change requested but E-Stop detected");
        return false;
    }
    brakeSettings = settings;
    brakeSettingsChange.fetch_add(1);
    return true;
}

BrakeSettings RobotMaster::GetBrakeSettings() const {
    std::lock_guard<std::mutex> lock(brakeSettingsMutex);
    return brakeSettings;
}

void RobotMaster::SetBrake(bool release, bool immediately) {
    // The loop works with its copy of the settings; other threads read them whole.
    const int channel = IsLoopThread() ? loop.Brake().brakeDOutChannel : GetBrakeSettings().brakeDOutChannel;
    if (!IsValidIONum(channel)) return;
    const bool on = CurrentDOut(*this, channel);  // output set = brake released
    if (!release) {
        Log()->add(on ? "Enabling brake" : "Brake is already enabled");
        // A delayed release still pending must not lift the brake after this.
        brakeReleasePending.store(false);
        WriteDOut(*this, channel, false);
    } else if (immediately) {
        Log()->add(on ? "Brake is already released" : "Releasing brake");
        brakeReleasePending.store(false);
        WriteDOut(*this, channel, true);
    } else {
        Log()->add(on ? "Brake is already released (delayed)" : "Releasing brake (delayed)");
        brakeReleaseRequests.fetch_add(1);
        brakeReleasePending.store(true);
    }
}

// ---------------------------------------------------------------- target states

void RobotMaster::DOutResetOnError(bool engageBrake) {
    for (int n = 0; n < DataTypes::RobotState::maxIOs; ++n) {
        const DOutTargetState target = doutOnError[n].load();
        if (target == DOutTrue) {
            SetManualDOut(n, true);
        } else if (target == DOutFalse) {
            SetManualDOut(n, false);
        }
    }
    if (engageBrake) SetBrake(false, false);
}

void RobotMaster::DOutResetOnReset() {
    for (int n = 0; n < DataTypes::RobotState::maxIOs; ++n) {
        const DOutTargetState target = doutOnReset[n].load();
        if (target == DOutTrue) {
            SetManualDOut(n, true);
        } else if (target == DOutFalse) {
            SetManualDOut(n, false);
        }
    }
    SetBrake(false, false);
}

void RobotMaster::SetDOutTargetStateOnReset(int n, DOutTargetState state) {
    if (!IsValidIONum(n)) return;
    doutOnReset[n].store(state);
}

void RobotMaster::SetDOutTargetStateOnError(int n, DOutTargetState state) {
    if (!IsValidIONum(n)) return;
    std::lock_guard<std::mutex> lock(doutTargetsMutex);
    doutOnError[n].store(state);
    doutOnErrorChange.fetch_add(1);
}

void RobotMaster::SetDOutTargetStates(const DOutTargetState* onReset, const DOutTargetState* onError) {
    std::lock_guard<std::mutex> lock(doutTargetsMutex);
    for (int n = 0; n < DataTypes::RobotState::maxIOs; ++n) {
        doutOnReset[n].store(onReset[n]);
        doutOnError[n].store(onError[n]);
    }
    doutOnErrorChange.fetch_add(1);
}

DOutTargetState RobotMaster::GetDOutTargetStateOnReset(int n) const {
    return IsValidIONum(n) ? doutOnReset[n].load() : DOutNoChange;
}

DOutTargetState RobotMaster::GetDOutTargetStateOnError(int n) const {
    return IsValidIONum(n) ? doutOnError[n].load() : DOutNoChange;
}

unsigned RobotMaster::DOutTargetStateToUInt(DOutTargetState state) { return ::DOutTargetStateToUInt(state); }

DOutTargetState RobotMaster::DOutTargetStateFromUInt(unsigned value) { return ::DOutTargetStateFromUInt(value); }

std::string RobotMaster::DOutTargetStateToString(DOutTargetState state) {
    switch (state) {
        case DOutTrue: return "True";
        case DOutFalse: return "False";
        default: return "NoChange";
    }
}

DOutTargetState RobotMaster::DOutTargetStateFromString(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (text == "true") return DOutTrue;
    if (text == "false") return DOutFalse;
    return DOutNoChange;
}

// ---------------------------------------------------------------- gripper and checks

void RobotMaster::SetGripperPosition(float percent) {
    if (!std::isfinite(percent)) {
        Log()->addError("RobotMaster: gripper position is not a number, ignored");
        return;
    }
    if (!kinematic || !AllInterpretersStopped(*this)) return;
    if (RefuseWhileEStop("RobotMaster: Gripper move")) return;
    if (CanWriteLive(*this)) {
        requests.gripperPending.store(false);
        WithLive(*this, [&](DataTypes::RobotState&) {
            kinematic->tool.SetTargetValue(percent);
            kinematic->tool.UpdateNoVel();
        });
        return;
    }
    requests.gripperPercent.store(percent);
    requests.gripperPending.store(true);
}

bool RobotMaster::IsEStopDetected() const {
    const int channel = IsLoopThread() ? loop.Brake().eStopDInChannel : GetBrakeSettings().eStopDInChannel;
    return channel >= 0 && !lastEStopInput.load();
}

bool RobotMaster::IsEStopInputUnread() const {
    const int channel = IsLoopThread() ? loop.Brake().eStopDInChannel : GetBrakeSettings().eStopDInChannel;
    return channel >= 0 && !eStopInputRead.load();
}

bool RobotMaster::RefuseWhileEStop(const char* request) const {
    if (!IsEStopLatched()) return false;
    if (!eStopLatched.load() && IsEStopInputUnread()) {
        Log()->addFormat("%s requested but E-Stop input not read yet", request);
    } else {
        Log()->addFormat("%s requested but E-Stop detected", request);
    }
    return true;
}
