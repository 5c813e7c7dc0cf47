#pragma once

// One simulated module on the bus: a joint module of the second generation (also
// answering as the third), a digital I/O module, or a first-generation joint module.
// The module works in raw units (motor increments, raw current, raw temperature); the
// controller does all scaling. It is an ideal drive: while it may move it takes each
// position set-point at once, so its next answer already carries it.
//
// Not thread-safe; DriveSimulator serialises all access.

#include <linux/can.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace DriveSim {

using Clock = std::chrono::steady_clock;

enum class ModuleKind {
    Joint,    // joint module, second/third generation (commands 0x14, 0x16, 0x25, 0x01 ..)
    Dio,      // digital I/O module of the second generation
    JointV1,  // joint module, first generation (6-byte set-points, 16-bit positions)
};

const char* ModuleKindName(ModuleKind kind);

// Error bits a module reports in byte 0 of its answer.
namespace ErrorBit {
constexpr int kTemperature = 0x001;   // first generation: brown out or watch dog
constexpr int kEStop = 0x002;         // low supply; first generation: velocity lag
constexpr int kMotorNotEnabled = 0x004;
constexpr int kCommWatchdog = 0x008;
constexpr int kPositionLag = 0x010;
constexpr int kEncoder = 0x020;
constexpr int kOverCurrent = 0x040;
constexpr int kDriver = 0x080;
}  // namespace ErrorBit

struct ModuleConfig {
    ModuleKind kind = ModuleKind::Joint;
    int canId = 0;                 // commands arrive here, answers leave on canId + 1
    std::int32_t position = 0;     // raw increments at power-up (first generation: 0..65535)
    bool enabled = false;          // real modules power up disabled
    bool referenced = false;
    int referenceDelayMs = 0;      // time from the reference command to "referenced"
    bool referenceNever = false;   // a referencing run never ends by itself
    int current = 0;               // raw current reported in the answer
    bool shortCurrentFormat = false;
    std::uint8_t inputs = 0;       // digital inputs (bit 7 is the referenced flag on joints)
    int temperature = 160;         // raw temperature sent in the temperature frame
    int auxiliary = 0;             // first generation: answer byte 1 is this + 127
};

// A snapshot of one module for assertions.
struct ModuleState {
    ModuleKind kind = ModuleKind::Joint;
    int canId = 0;
    std::int32_t position = 0;
    bool enabled = false;
    bool referenced = false;
    bool referencing = false;
    bool silent = false;
    int latchedErrors = 0;         // injected errors, kept until a reset or restart
    int errorBits = 0;             // byte 0 of the next answer
    std::uint8_t outputs = 0;      // output byte of the last set-point
    int counter = -1;              // counter of the last set-point, -1 before the first
    std::uint8_t velocityByte = 0; // velocity byte of the last position set-point
    std::int16_t velocity = 0;     // last velocity set-point, increments per second
    int lastSetPointCommand = 0;   // command byte of the last set-point, 0 before the first
    std::uint64_t setPoints = 0;   // set-point frames taken
    std::uint64_t answers = 0;     // answers sent
    int enables = 0;
    int disables = 0;
    int resets = 0;
    int references = 0;
    int aligns = 0;
    int zeroings = 0;
    int restarts = 0;
};

class SimModule {
public:
    // Answers leave on canId + 1 and temperatures on canId + 3.
    static constexpr int kAnswerOffset = 1;
    static constexpr int kTemperatureOffset = 3;
    static constexpr int kHighestId = CAN_SFF_MASK - kTemperatureOffset;

    explicit SimModule(const ModuleConfig& config);

    int CanId() const { return config.canId; }
    ModuleKind Kind() const { return config.kind; }

    // Acts on a standard frame addressed to this module's CAN ID and appends the answer,
    // if one is due, to out.
    void Handle(const can_frame& frame, Clock::time_point now, std::vector<can_frame>& out);
    // Finishes a referencing run whose delay has passed.
    void Tick(Clock::time_point now);
    // Appends the temperature frame (joint modules of the second generation only).
    void AppendTemperature(std::vector<can_frame>& out) const;

    // Power of the drives cut (e-stop) or back; a cut disables the motor.
    void SetEStop(bool active);
    void InjectError(int bits);
    void SetSilent(bool on) {
        silent = on;
        silentUntil = Clock::time_point{};
    }
    // Silent until the time; it answers again at the first tick after it.
    void SetSilentUntil(Clock::time_point until) {
        silent = true;
        silentUntil = until;
    }
    void SetReferenceNever(bool on) { config.referenceNever = on; }
    void SetInputs(std::uint8_t bits) { config.inputs = bits; }
    void SetCurrent(int raw, bool shortFormat);
    void SetTemperature(int raw) { config.temperature = raw; }
    void SetReferenceDelayMs(int ms) { config.referenceDelayMs = ms < 0 ? 0 : ms; }
    void SetPosition(std::int32_t raw);

    ModuleState State() const;
    int ErrorBits() const;

private:
    bool CanMove() const;
    void HandleCommand(const can_frame& frame, Clock::time_point now);
    void HandleSetPoint(const can_frame& frame, Clock::time_point now);
    void AbortReferencing() { referencing = false; }
    void AppendAnswer(std::vector<can_frame>& out);

    ModuleConfig config;
    bool enabled;
    bool referenced;
    bool referencing = false;
    bool eStop = false;
    bool silent = false;
    Clock::time_point silentUntil{};  // zero: silent until told otherwise
    int latched = 0;
    Clock::time_point referenceDue{};
    Clock::time_point lastVelocityFrame{};
    bool velocityRunning = false;
    double velocityRemainder = 0.0;  // increments not yet taken by a velocity motion
    ModuleState counts;  // counters and last set-point fields
};

}  // namespace DriveSim
