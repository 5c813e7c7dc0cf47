#include "drivesim/SimModule.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace DriveSim {

namespace {

// Command bytes (byte 0) a module acts on.
constexpr std::uint8_t kCommand = 0x01;
constexpr std::uint8_t kPositionSetPoint = 0x14;
constexpr std::uint8_t kTorqueSetPoint = 0x16;
constexpr std::uint8_t kVelocitySetPoint = 0x25;
constexpr std::uint8_t kPositionSetPointV1 = 0x04;
constexpr std::uint8_t kTemperatureFrame = 0x12;

// Sub-commands (byte 1) of kCommand.
constexpr std::uint8_t kResetError = 0x06;
constexpr std::uint8_t kSetToZero = 0x08;
constexpr std::uint8_t kEnable = 0x09;
constexpr std::uint8_t kDisable = 0x0A;
constexpr std::uint8_t kReference = 0x0B;
constexpr std::uint8_t kAlign = 0x0C;
constexpr std::uint8_t kRestart = 0xCF;

// Bit 7 of answer byte 7: the joint is referenced; bit 7 of byte 5: short current format.
constexpr std::uint8_t kReferencedBit = 0x80;
constexpr std::uint8_t kShortCurrentBit = 0x80;

// A velocity set-point older than this does not count as a running motion.
constexpr auto kVelocityGapLimit = std::chrono::milliseconds(100);

std::int32_t ReadInt32(const std::uint8_t* bytes) {
    std::uint32_t value = (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) |
                          (std::uint32_t(bytes[2]) << 8) | std::uint32_t(bytes[3]);
    return static_cast<std::int32_t>(value);
}

std::int16_t ReadInt16(const std::uint8_t* bytes) {
    return static_cast<std::int16_t>((std::uint16_t(bytes[0]) << 8) | std::uint16_t(bytes[1]));
}

void WriteUInt32(std::uint8_t* bytes, std::uint32_t value) {
    bytes[0] = static_cast<std::uint8_t>(value >> 24);
    bytes[1] = static_cast<std::uint8_t>(value >> 16);
    bytes[2] = static_cast<std::uint8_t>(value >> 8);
    bytes[3] = static_cast<std::uint8_t>(value);
}

void WriteUInt16(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value >> 8);
    bytes[1] = static_cast<std::uint8_t>(value);
}

can_frame MakeFrame(int id) {
    can_frame frame{};
    frame.can_id = static_cast<canid_t>(id);
    frame.can_dlc = 8;
    return frame;
}

std::uint8_t ClampByte(int value) { return static_cast<std::uint8_t>(std::clamp(value, 0, 255)); }

}  // namespace

const char* ModuleKindName(ModuleKind kind) {
    switch (kind) {
    case ModuleKind::Joint:
        return "joint";
    case ModuleKind::Dio:
        return "DIO";
    case ModuleKind::JointV1:
        return "joint (first generation)";
    }
    return "?";
}

SimModule::SimModule(const ModuleConfig& configIn)
    : config(configIn), enabled(configIn.enabled), referenced(configIn.referenced) {
    config.referenceDelayMs = std::max(0, config.referenceDelayMs);
    SetPosition(config.position);
    if (config.kind == ModuleKind::Dio) {
        enabled = false;
        referenced = false;
    }
}

void SimModule::SetPosition(std::int32_t raw) {
    if (config.kind == ModuleKind::JointV1) {
        raw = std::clamp<std::int32_t>(raw, 0, 0xFFFF);
    }
    config.position = raw;
}

void SimModule::SetCurrent(int raw, bool shortFormat) {
    config.current = raw;
    config.shortCurrentFormat = shortFormat;
}

void SimModule::SetEStop(bool active) {
    eStop = active;
    if (active) {
        enabled = false;
        AbortReferencing();
    }
}

void SimModule::InjectError(int bits) {
    bits &= 0xFF;  // byte 0 of the answer carries them
    if (bits != 0) {
        latched |= bits;
        AbortReferencing();
    }
}

bool SimModule::CanMove() const { return enabled && !eStop && latched == 0; }

int SimModule::ErrorBits() const {
    int bits = latched;
    switch (config.kind) {
    case ModuleKind::Joint:
        bits |= (enabled ? 0 : ErrorBit::kMotorNotEnabled) | (eStop ? ErrorBit::kEStop : 0);
        break;
    case ModuleKind::JointV1:
        // A first-generation module reports the cut supply as a brown-out.
        bits |= (enabled ? 0 : ErrorBit::kMotorNotEnabled) | (eStop ? ErrorBit::kTemperature : 0);
        break;
    case ModuleKind::Dio:
        break;
    }
    return bits & 0xFF;
}

void SimModule::Handle(const can_frame& frame, Clock::time_point now, std::vector<can_frame>& out) {
    if (frame.can_dlc == 0) {
        return;
    }
    const std::uint8_t command = frame.data[0];
    if (command == kCommand) {
        HandleCommand(frame, now);
        return;
    }
    bool setPoint = false;
    switch (config.kind) {
    case ModuleKind::Joint:
        setPoint = (command == kPositionSetPoint && frame.can_dlc >= 8) ||
                   ((command == kTorqueSetPoint || command == kVelocitySetPoint) && frame.can_dlc >= 4);
        break;
    case ModuleKind::Dio:
        setPoint = command == kPositionSetPoint && frame.can_dlc >= 8;
        break;
    case ModuleKind::JointV1:
        setPoint = command == kPositionSetPointV1 && frame.can_dlc >= 6;
        break;
    }
    if (!setPoint) {
        return;  // e.g. the controller's greeting frame on the first joint's ID
    }
    HandleSetPoint(frame, now);
    AppendAnswer(out);
}

void SimModule::HandleCommand(const can_frame& frame, Clock::time_point now) {
    if (frame.can_dlc < 2) {
        return;
    }
    const std::uint8_t sub = frame.data[1];
    if (sub == kResetError) {
        ++counts.resets;
        latched = 0;
        return;
    }
    if (config.kind == ModuleKind::Dio) {
        return;  // the I/O module has no motor
    }
    switch (sub) {
    case kEnable:
        ++counts.enables;
        // A drive in error or without power refuses the enable.
        if (!eStop && latched == 0) {
            enabled = true;
        }
        break;
    case kDisable:
        ++counts.disables;
        enabled = false;
        AbortReferencing();
        break;
    case kSetToZero:
        if (frame.can_dlc < 4) {
            break;
        }
        ++counts.zeroings;
        velocityRunning = false;
        if (config.kind == ModuleKind::JointV1) {
            // The first generation takes its new position from bytes 2..3 (0x7D00 = 32000,
            // the middle of its 16-bit range).
            SetPosition((std::int32_t(frame.data[2]) << 8) | frame.data[3]);
        } else {
            SetPosition(0);
        }
        break;
    case kReference:
        if (config.kind != ModuleKind::Joint) {
            break;
        }
        ++counts.references;
        if (!CanMove() || referencing) {
            break;  // a repeated command does not restart a running search
        }
        referenced = false;
        if (config.referenceDelayMs == 0 && !config.referenceNever) {
            referenced = true;
        } else {
            referencing = true;
            referenceDue = now + std::chrono::milliseconds(config.referenceDelayMs);
        }
        break;
    case kAlign:
        if (config.kind == ModuleKind::Joint) {
            ++counts.aligns;
        }
        break;
    case kRestart:
        if (config.kind != ModuleKind::Joint) {
            break;
        }
        ++counts.restarts;
        // The controller boots again: power stage off, reference and errors forgotten.
        enabled = false;
        referenced = false;
        referencing = false;
        latched = 0;
        velocityRunning = false;
        break;
    default:
        break;
    }
}

void SimModule::HandleSetPoint(const can_frame& frame, Clock::time_point now) {
    const std::uint8_t* d = frame.data;
    ++counts.setPoints;
    counts.lastSetPointCommand = d[0];
    const bool move = CanMove();
    switch (config.kind) {
    case ModuleKind::Dio:
        counts.counter = d[6];
        counts.outputs = d[7];
        break;
    case ModuleKind::JointV1:
        counts.velocityByte = d[1];
        counts.counter = d[4];
        counts.outputs = d[5];
        if (move) {
            SetPosition((std::int32_t(d[2]) << 8) | d[3]);
        }
        break;
    case ModuleKind::Joint:
        if (d[0] == kPositionSetPoint) {
            counts.velocityByte = d[1];
            counts.counter = d[6];
            counts.outputs = d[7];
            velocityRunning = false;
            if (move) {
                SetPosition(ReadInt32(d + 2));
            }
        } else if (d[0] == kTorqueSetPoint) {
            counts.counter = d[3];
            velocityRunning = false;
        } else {
            counts.velocity = ReadInt16(d + 1);
            counts.counter = d[3];
            if (!move) {
                velocityRunning = false;
                break;
            }
            // Integrates the velocity over the time since the previous set-point.
            if (velocityRunning && now - lastVelocityFrame <= kVelocityGapLimit) {
                double seconds = std::chrono::duration<double>(now - lastVelocityFrame).count();
                velocityRemainder += counts.velocity * seconds;
                double whole = std::trunc(velocityRemainder);
                velocityRemainder -= whole;
                SetPosition(static_cast<std::int32_t>(config.position + static_cast<std::int64_t>(whole)));
            } else {
                velocityRemainder = 0.0;
            }
            velocityRunning = true;
            lastVelocityFrame = now;
        }
        break;
    }
}

void SimModule::AppendAnswer(std::vector<can_frame>& out) {
    if (silent) {
        return;
    }
    can_frame answer = MakeFrame(config.canId + kAnswerOffset);
    std::uint8_t* d = answer.data;
    d[0] = static_cast<std::uint8_t>(ErrorBits());
    switch (config.kind) {
    case ModuleKind::Joint:
        WriteUInt32(d + 1, static_cast<std::uint32_t>(config.position));
        if (config.shortCurrentFormat) {
            d[5] = kShortCurrentBit;
            d[6] = ClampByte(config.current);
        } else {
            // Bit 7 of byte 5 must stay clear: it would switch the reader to short format.
            WriteUInt16(d + 5, static_cast<std::uint16_t>(std::clamp(config.current, 0, 0x7FFF)));
        }
        d[7] = static_cast<std::uint8_t>((config.inputs & 0x7F) | (referenced ? kReferencedBit : 0));
        break;
    case ModuleKind::Dio:
        d[7] = static_cast<std::uint8_t>(config.inputs & 0x7F);
        break;
    case ModuleKind::JointV1:
        d[1] = ClampByte(config.auxiliary + 127);
        WriteUInt16(d + 2, static_cast<std::uint16_t>(config.position));
        d[4] = ClampByte(config.current);
        d[7] = config.inputs;
        break;
    }
    out.push_back(answer);
    ++counts.answers;
}

void SimModule::Tick(Clock::time_point now) {
    if (silent && silentUntil != Clock::time_point{} && now >= silentUntil) {
        SetSilent(false);
    }
    if (referencing && !config.referenceNever && now >= referenceDue) {
        referencing = false;
        referenced = true;
    }
}

void SimModule::AppendTemperature(std::vector<can_frame>& out) const {
    if (silent || config.kind != ModuleKind::Joint) {
        return;
    }
    can_frame frame = MakeFrame(config.canId + kTemperatureOffset);
    frame.data[0] = kTemperatureFrame;
    WriteUInt16(frame.data + 6, static_cast<std::uint16_t>(std::clamp(config.temperature, 0, 0xFFFF)));
    out.push_back(frame);
}

ModuleState SimModule::State() const {
    ModuleState state = counts;
    state.kind = config.kind;
    state.canId = config.canId;
    state.position = config.position;
    state.enabled = enabled;
    state.referenced = referenced;
    state.referencing = referencing;
    state.silent = silent;
    state.latchedErrors = latched;
    state.errorBits = ErrorBits();
    return state;
}

}  // namespace DriveSim
