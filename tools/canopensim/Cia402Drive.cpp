#include "canopensim/Cia402Drive.h"

#include <cmath>

namespace CanopenSim {

namespace {

constexpr std::uint32_t kDeviceTypeServo = 0x00020192;

std::uint32_t Word(std::int32_t value) { return static_cast<std::uint32_t>(value); }

const std::vector<HomingStep>& DefaultHomingScript() {
    static const std::vector<HomingStep> script{{HomingBits::kInProgress, 50},
                                                {HomingBits::kCompleted, 0}};
    return script;
}

bool IsImmediateHoming(std::int8_t method) { return method == 35 || method == 37; }

}  // namespace

const char* DriveStateName(DriveState state) {
    switch (state) {
        case DriveState::NotReadyToSwitchOn: return "not_ready_to_switch_on";
        case DriveState::SwitchOnDisabled: return "switch_on_disabled";
        case DriveState::ReadyToSwitchOn: return "ready_to_switch_on";
        case DriveState::SwitchedOn: return "switched_on";
        case DriveState::OperationEnabled: return "operation_enabled";
        case DriveState::QuickStopActive: return "quick_stop_active";
        case DriveState::FaultReactionActive: return "fault_reaction_active";
        case DriveState::Fault: return "fault";
    }
    return "unknown";
}

Cia402Drive::Cia402Drive(const DriveConfig& config)
    : CanopenNode(config.nodeId, kDeviceTypeServo, config.deviceName, config.firmware),
      position(config.position),
      homingScript(config.homingScript) {
    auto& d = dictionary;
    const auto ro = Access::ReadOnly;
    const auto rw = Access::ReadWrite;
    for (std::uint8_t k = 1; k <= 4; ++k) {
        d.Add(0x2039, k, 4, ro, true, Word(config.currentsMilliampere[k - 1]));
    }
    d.Add(0x2052, 0, 4, rw, false, 4096);
    d.Add(0x3202, 0, 4, rw, false, config.motorDriveSubmode);
    d.Add(0x320A, 3, 4, rw, false, 0);
    d.Add(0x320A, 4, 4, rw, false, 0);
    d.Add(0x3212, 1, 1, rw, false, 0);
    for (std::uint8_t k : {1, 2, 6}) {
        d.Add(0x3240, k, 4, rw, false, 0);
    }
    d.Add(0x3243, 1, 4, rw, false, 0);
    d.Add(0x3701, 0, 2, rw, false, 0);
    d.Add(0x4014, 1, 4, ro, true, config.supplyMillivolt);
    d.Add(0x4014, 2, 4, ro, true, config.logicMillivolt);
    d.Add(0x4014, 3, 4, ro, true, Word(config.temperatureDeci));
    d.Add(0x6040, 0, 2, rw, true, 0);
    d.Add(0x6041, 0, 2, ro, true, 0);
    d.Add(0x6044, 0, 2, ro, true, 0);
    d.Add(0x6060, 0, 1, rw, true, 0);
    d.Add(0x6061, 0, 1, ro, true, 0);
    d.Add(0x6062, 0, 4, ro, true, 0);
    d.Add(0x6063, 0, 4, ro, true, 0);
    d.Add(0x6064, 0, 4, ro, true, 0);
    d.Add(0x6065, 0, 4, rw, false, 1000);
    d.Add(0x6066, 0, 2, rw, false, 100);
    d.Add(0x606C, 0, 4, ro, true, 0);
    d.Add(0x6078, 0, 2, ro, true, 0);
    d.Add(0x607A, 0, 4, rw, true, 0);
    d.Add(0x607B, 0, 1, ro, false, 2);
    d.Add(0x607B, 1, 4, rw, false, 0);
    d.Add(0x607B, 2, 4, rw, false, 0);
    d.Add(0x607C, 0, 4, rw, false, 0);
    d.Add(0x607D, 0, 1, ro, false, 2);
    d.Add(0x607D, 1, 4, rw, false, 0);
    d.Add(0x607D, 2, 4, rw, false, 0);
    d.Add(0x6081, 0, 4, rw, true, 0);
    d.Add(0x6082, 0, 4, rw, false, 0);
    d.Add(0x6083, 0, 4, rw, false, 0);
    d.Add(0x6084, 0, 4, rw, false, 0);
    d.Add(0x6098, 0, 1, rw, false, 0);
    d.Add(0x6099, 0, 1, ro, false, 2);
    d.Add(0x6099, 1, 4, rw, false, 0);
    d.Add(0x6099, 2, 4, rw, false, 0);
    d.Add(0x60A9, 0, 4, rw, false, 0);
    d.Add(0x60C1, 0, 1, ro, false, 1);
    d.Add(0x60C1, 1, 4, rw, true, 0);
    d.Add(0x60C2, 0, 1, ro, false, 2);
    d.Add(0x60C2, 1, 1, rw, false, 1);
    d.Add(0x60C2, 2, 1, rw, false, static_cast<std::uint32_t>(-3));
    d.Add(0x60C4, 0, 1, ro, false, 6);
    for (std::uint8_t k = 1; k <= 5; ++k) {
        d.Add(0x60C4, k, k == 1 || k == 2 ? 4 : 1, ro, false, 1);
    }
    d.Add(0x60C4, 6, 1, rw, false, 0);
    d.Add(0x60F2, 0, 2, rw, false, 0);
    d.Add(0x60FF, 0, 4, rw, true, 0);

    const auto node = static_cast<std::uint32_t>(config.nodeId);
    AddReceivePdo(1, 0x200 + node, 255, {0x60400010});
    AddReceivePdo(2, kPdoInvalid | (0x300 + node), 255, {});
    AddTransmitPdo(1, 0x180 + node, 255, {0x60410010});
    AddTransmitPdo(2, kPdoInvalid | (0x280 + node), 255, {});
    AddTransmitPdo(3, kPdoInvalid | (0x380 + node), 255, {});
    AddTransmitPdo(4, kPdoInvalid | (0x480 + node), 255, {});
    RefreshFeedback();
    SnapshotDefaults();
}

void Cia402Drive::SetHomingScript(const std::vector<HomingStep>& script) { homingScript = script; }

std::int8_t Cia402Drive::ModeOfOperation() const {
    return static_cast<std::int8_t>(dictionary.Get(0x6060, 0));
}

std::uint16_t Cia402Drive::Statusword() const {
    std::uint16_t word = 0;
    switch (state) {
        case DriveState::NotReadyToSwitchOn: word = 0x00; break;
        case DriveState::SwitchOnDisabled: word = 0x40; break;
        case DriveState::ReadyToSwitchOn: word = 0x31; break;
        case DriveState::SwitchedOn: word = 0x33; break;
        case DriveState::OperationEnabled: word = 0x37; break;
        case DriveState::QuickStopActive: word = 0x17; break;
        case DriveState::FaultReactionActive: word = 0x1F; break;
        case DriveState::Fault: word = 0x08; break;
    }
    word |= 0x200;  // remote: the bus is in control
    switch (ModeOfOperation()) {
        case Mode::kHoming:
            word |= homingBits & HomingBits::kMask;
            break;
        case Mode::kProfilePosition:
            word |= 0x400;  // the ideal drive is always at its target
            if (setPointAcknowledged) {
                word |= 0x1000;
            }
            break;
        case Mode::kInterpolatedPosition:
            word |= 0x400;
            if (interpolationActive) {
                word |= 0x1000;
            }
            break;
        case Mode::kCyclicSyncPosition:
        case Mode::kCyclicSyncVelocity:
            word |= 0x400;
            if (state == DriveState::OperationEnabled) {
                word |= 0x1000;  // following the set-points
            }
            break;
        case Mode::kProfileVelocity:
            word |= 0x400;
            if (velocity == 0.0) {
                word |= 0x1000;  // speed is zero
            }
            break;
        default:
            break;
    }
    return word;
}

DriveSnapshot Cia402Drive::Snapshot() const {
    DriveSnapshot s;
    s.state = state;
    s.statusword = Statusword();
    s.controlword = controlword;
    s.mode = ModeOfOperation();
    s.position = static_cast<std::int32_t>(std::lround(position));
    s.velocity = static_cast<std::int32_t>(std::lround(velocity));
    s.homingBits = homingBits;
    s.homingRunning = homingRunning;
    s.interpolationActive = interpolationActive;
    s.nmtState = NmtState();
    s.errorRegister = static_cast<std::uint8_t>(dictionary.Get(0x1001, 0));
    return s;
}

void Cia402Drive::RefreshFeedback() {
    auto& d = dictionary;
    const auto counts = static_cast<std::int32_t>(std::lround(position));
    d.Set(0x6041, 0, Statusword());
    d.Set(0x6063, 0, Word(counts));
    d.Set(0x6064, 0, Word(counts));
    const std::int8_t mode = ModeOfOperation();
    d.Set(0x6062, 0, mode == Mode::kCyclicSyncPosition ? d.Get(0x607A, 0) : Word(counts));
    const auto v = static_cast<std::int32_t>(std::lround(velocity));
    d.Set(0x606C, 0, Word(v));
    d.Set(0x6044, 0, Word(v));
    d.Set(0x6061, 0, static_cast<std::uint8_t>(mode));
    d.Set(0x6078, 0, state == DriveState::OperationEnabled ? d.Get(0x2039, 3) : 0);
}

std::uint32_t Cia402Drive::CheckWrite(std::uint16_t index, std::uint8_t subindex, std::uint32_t value) {
    if (index == 0x6060 && subindex == 0) {
        switch (static_cast<std::int8_t>(value)) {
            case Mode::kProfilePosition:
            case Mode::kProfileVelocity:
            case Mode::kHoming:
            case Mode::kInterpolatedPosition:
            case Mode::kCyclicSyncPosition:
            case Mode::kCyclicSyncVelocity:
                return 0;
            default:
                return Abort::kInvalidValue;
        }
    }
    return 0;
}

void Cia402Drive::OnWritten(std::uint16_t index, std::uint8_t subindex, std::uint32_t value,
                            Clock::time_point now, std::vector<can_frame>& out) {
    CanopenNode::OnWritten(index, subindex, value, now, out);
    if (index == 0x6040 && subindex == 0) {
        ApplyControlword(static_cast<std::uint16_t>(value), now, out);
    } else if (index == 0x6060 && subindex == 0) {
        interpolationActive = false;
        setPointAcknowledged = false;
        homingRunning = false;
        homingBits = HomingBits::kNotStarted;
        velocity = 0.0;
    } else if (index == 0x60C4 && subindex == 6 && value == 0) {
        interpolationActive = false;  // buffer cleared
    }
}

void Cia402Drive::EnterState(DriveState next) {
    if (next == DriveState::OperationEnabled && state != DriveState::OperationEnabled) {
        // Cyclic targets start where the motor is, so enabling never jumps.
        const auto counts = static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(position)));
        dictionary.Set(0x607A, 0, counts);
        dictionary.Set(0x60C1, 1, counts);
    }
    state = next;
    if (state != DriveState::OperationEnabled) {
        interpolationActive = false;
        velocity = 0.0;
        if (homingRunning && !(state == DriveState::SwitchedOn &&
                               IsImmediateHoming(static_cast<std::int8_t>(dictionary.Get(0x6098, 0))))) {
            homingRunning = false;
            homingBits = HomingBits::kNotStarted;
        }
    }
}

void Cia402Drive::ApplyControlword(std::uint16_t word, Clock::time_point now,
                                   std::vector<can_frame>& out) {
    const std::uint16_t previous = controlword;
    controlword = word;
    const bool rising4 = (word & 0x10) != 0 && (previous & 0x10) == 0;
    const bool falling4 = (word & 0x10) == 0 && (previous & 0x10) != 0;

    if ((word & 0x80) != 0) {
        if ((previous & 0x80) == 0 && state == DriveState::Fault) {
            EnterState(DriveState::SwitchOnDisabled);
            ClearErrors(out);
        }
        return;  // while fault reset is held no other command counts
    }
    const bool disableVoltage = (word & 0x02) == 0;
    const bool quickStop = (word & 0x06) == 0x02;
    const bool shutdown = (word & 0x07) == 0x06;
    const bool switchOn = (word & 0x0F) == 0x07;
    const bool enableOperation = (word & 0x0F) == 0x0F;
    switch (state) {
        case DriveState::SwitchOnDisabled:
            if (shutdown) EnterState(DriveState::ReadyToSwitchOn);
            break;
        case DriveState::ReadyToSwitchOn:
            if (disableVoltage || quickStop) EnterState(DriveState::SwitchOnDisabled);
            else if (switchOn) EnterState(DriveState::SwitchedOn);
            else if (enableOperation) EnterState(DriveState::OperationEnabled);
            break;
        case DriveState::SwitchedOn:
            if (disableVoltage || quickStop) EnterState(DriveState::SwitchOnDisabled);
            else if (shutdown) EnterState(DriveState::ReadyToSwitchOn);
            else if (enableOperation) EnterState(DriveState::OperationEnabled);
            break;
        case DriveState::OperationEnabled:
            if (disableVoltage) EnterState(DriveState::SwitchOnDisabled);
            else if (quickStop) EnterState(DriveState::QuickStopActive);
            else if (shutdown) EnterState(DriveState::ReadyToSwitchOn);
            else if (switchOn) EnterState(DriveState::SwitchedOn);
            break;
        case DriveState::QuickStopActive:
            if (disableVoltage) EnterState(DriveState::SwitchOnDisabled);
            else if (enableOperation) EnterState(DriveState::OperationEnabled);
            break;
        default:
            break;  // fault states leave only by fault reset
    }

    const std::int8_t mode = ModeOfOperation();
    const bool enabled = state == DriveState::OperationEnabled;
    if (mode == Mode::kProfilePosition) {
        if (rising4 && enabled && !Halted()) {
            const std::int32_t target = dictionary.GetSigned(0x607A, 0);
            position = (word & 0x40) != 0 ? position + target : target;
            setPointAcknowledged = true;
        } else if (falling4) {
            setPointAcknowledged = false;
        }
    } else if (mode == Mode::kInterpolatedPosition) {
        interpolationActive = enabled && (word & 0x10) != 0 && !Halted();
    } else if (mode == Mode::kHoming) {
        const bool immediate = IsImmediateHoming(static_cast<std::int8_t>(dictionary.Get(0x6098, 0)));
        const bool mayStart = enabled || (immediate && state == DriveState::SwitchedOn);
        if (rising4 && mayStart && !Halted()) {
            StartHoming(now);
        } else if ((falling4 || Halted()) && homingRunning) {
            // Halt (or the start bit dropped) interrupts the search where it is.
            homingRunning = false;
            homingBits = HomingBits::kNotStarted;
        }
    }
}

void Cia402Drive::StartHoming(Clock::time_point now) {
    homingStart = now;
    homingPositionSet = false;
    if (IsImmediateHoming(static_cast<std::int8_t>(dictionary.Get(0x6098, 0)))) {
        // Homing on the current position: done at once.
        position = dictionary.GetSigned(0x607C, 0);
        homingBits = HomingBits::kCompleted;
        homingRunning = false;
        return;
    }
    homingRunning = true;
    StepHoming(now);
}

void Cia402Drive::StepHoming(Clock::time_point now) {
    const std::vector<HomingStep>& script = homingScript.empty() ? DefaultHomingScript() : homingScript;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - homingStart).count();
    long long end = 0;
    std::size_t step = 0;
    for (; step + 1 < script.size(); ++step) {
        end += script[step].durationMs;
        if (elapsed < end) {
            break;
        }
    }
    homingBits = script[step].bits & HomingBits::kMask;
    if ((homingBits & 0x1000) != 0 && !homingPositionSet) {
        position = dictionary.GetSigned(0x607C, 0);  // the home position takes the offset
        homingPositionSet = true;
    }
    // The last step stays; a search still moving (in progress, or an error while moving)
    // goes on until it is halted or stopped.
    if (step + 1 == script.size() && homingBits != HomingBits::kInProgress &&
        homingBits != HomingBits::kErrorMoving) {
        homingRunning = false;
    }
}

double Cia402Drive::InterpolationPeriodSeconds() const {
    const double unit = dictionary.Get(0x60C2, 1);
    const double exponent = dictionary.GetSigned(0x60C2, 2);
    return unit * std::pow(10.0, exponent);
}

void Cia402Drive::OnSync(Clock::time_point now, std::vector<can_frame>&) {
    const double sinceLast = lastSync == Clock::time_point{} ? 0.0
                                                             : std::chrono::duration<double>(now - lastSync).count();
    lastSync = now;
    if (state != DriveState::OperationEnabled) {
        return;
    }
    switch (ModeOfOperation()) {
        case Mode::kCyclicSyncPosition:
            position = dictionary.GetSigned(0x607A, 0);
            break;
        case Mode::kInterpolatedPosition:
            if (interpolationActive) {
                position = dictionary.GetSigned(0x60C1, 1);
            }
            break;
        case Mode::kCyclicSyncVelocity: {
            velocity = Halted() ? 0.0 : dictionary.GetSigned(0x60FF, 0);
            const double period = InterpolationPeriodSeconds();
            position += velocity * (period > 0.0 ? period : sinceLast);
            break;
        }
        default:
            break;
    }
}

void Cia402Drive::OnTick(Clock::time_point now, std::vector<can_frame>&) {
    const double dt = lastTick == Clock::time_point{} ? 0.0
                                                      : std::chrono::duration<double>(now - lastTick).count();
    lastTick = now;
    if (homingRunning) {
        StepHoming(now);
    }
    if (state == DriveState::OperationEnabled && ModeOfOperation() == Mode::kProfileVelocity) {
        velocity = Halted() ? 0.0 : dictionary.GetSigned(0x60FF, 0);
        position += velocity * dt;
    }
}

void Cia402Drive::OnResetApplication() {
    state = DriveState::SwitchOnDisabled;
    controlword = 0;
    velocity = 0.0;
    setPointAcknowledged = false;
    interpolationActive = false;
    homingRunning = false;
    homingBits = HomingBits::kNotStarted;
    RefreshFeedback();
}

void Cia402Drive::InjectError(std::uint16_t code, std::uint8_t errorRegister,
                              const std::array<std::uint8_t, 5>& manufacturer, bool toFault,
                              std::vector<can_frame>& out) {
    if (toFault) {
        EnterState(DriveState::Fault);
    }
    Emergency(code, errorRegister, manufacturer, out);
}

}  // namespace CanopenSim
