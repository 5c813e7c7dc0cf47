#pragma once

// A simulated CiA 402 servo drive: the controlword state machine (fault reset on the
// rising edge of bit 7), the modes profile position, interpolated position, cyclic
// synchronous position, profile velocity, cyclic synchronous velocity and homing with a
// scripted sequence of homing status bits. It is an ideal drive: a position set-point
// is reached at the SYNC (or the new-set-point edge) that applies it; velocities
// integrate over time.
//
// Not thread-safe; the simulator serialises all access.

#include "canopensim/CanopenNode.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace CanopenSim {

enum class DriveState {
    NotReadyToSwitchOn,
    SwitchOnDisabled,
    ReadyToSwitchOn,
    SwitchedOn,
    OperationEnabled,
    QuickStopActive,
    FaultReactionActive,
    Fault,
};
const char* DriveStateName(DriveState state);

// Modes of operation (0x6060 values).
namespace Mode {
constexpr std::int8_t kProfilePosition = 1;
constexpr std::int8_t kProfileVelocity = 3;
constexpr std::int8_t kHoming = 6;
constexpr std::int8_t kInterpolatedPosition = 7;
constexpr std::int8_t kCyclicSyncPosition = 8;
constexpr std::int8_t kCyclicSyncVelocity = 9;
}  // namespace Mode

// Homing status bits of the statusword: bit 10 target reached, 12 homing attained,
// 13 homing error.
namespace HomingBits {
constexpr std::uint16_t kMask = 0x3400;
constexpr std::uint16_t kInProgress = 0x0000;
constexpr std::uint16_t kNotStarted = 0x0400;
constexpr std::uint16_t kAttainedNotReached = 0x1000;
constexpr std::uint16_t kCompleted = 0x1400;
constexpr std::uint16_t kErrorMoving = 0x2000;
constexpr std::uint16_t kErrorStopped = 0x2400;
}  // namespace HomingBits

// One step of a homing script: the bits shown for a while; the last step stays.
struct HomingStep {
    std::uint16_t bits = HomingBits::kCompleted;
    int durationMs = 0;
};

struct DriveConfig {
    int nodeId = 1;
    std::string deviceName = "Belvanto Servo 402";
    std::string firmware = "FIR-v2024";
    std::int32_t position = 0;               // counts at power-on
    std::uint32_t supplyMillivolt = 48000;   // 0x4014:1
    std::uint32_t logicMillivolt = 24000;    // 0x4014:2
    std::int32_t temperatureDeci = 350;      // 0x4014:3, 0.1 degC
    std::array<std::int32_t, 4> currentsMilliampere{{100, 200, 300, 400}};  // 0x2039:1..4
    std::uint32_t motorDriveSubmode = 0;     // 0x3202
    // Empty: in progress for 50 ms, then completed.
    std::vector<HomingStep> homingScript;
};

struct DriveSnapshot {
    DriveState state = DriveState::SwitchOnDisabled;
    std::uint16_t statusword = 0;
    std::uint16_t controlword = 0;
    std::int8_t mode = 0;
    std::int32_t position = 0;
    std::int32_t velocity = 0;
    std::uint16_t homingBits = HomingBits::kNotStarted;
    bool homingRunning = false;
    bool interpolationActive = false;
    std::uint8_t nmtState = 0;
    std::uint8_t errorRegister = 0;
};

class Cia402Drive : public CanopenNode {
public:
    explicit Cia402Drive(const DriveConfig& config);

    DriveSnapshot Snapshot() const;
    void SetHomingScript(const std::vector<HomingStep>& script);
    // Error as an emergency; with toFault the drive also falls into fault.
    void InjectError(std::uint16_t code, std::uint8_t errorRegister,
                     const std::array<std::uint8_t, 5>& manufacturer, bool toFault,
                     std::vector<can_frame>& out);
    std::uint16_t Statusword() const;

protected:
    std::uint32_t CheckWrite(std::uint16_t index, std::uint8_t subindex, std::uint32_t value) override;
    void OnWritten(std::uint16_t index, std::uint8_t subindex, std::uint32_t value,
                   Clock::time_point now, std::vector<can_frame>& out) override;
    void OnSync(Clock::time_point now, std::vector<can_frame>& out) override;
    void OnTick(Clock::time_point now, std::vector<can_frame>& out) override;
    void RefreshFeedback() override;
    void OnResetApplication() override;

private:
    void ApplyControlword(std::uint16_t controlword, Clock::time_point now, std::vector<can_frame>& out);
    void EnterState(DriveState next);
    void StartHoming(Clock::time_point now);
    void StepHoming(Clock::time_point now);
    std::int8_t ModeOfOperation() const;
    bool Halted() const { return (controlword & 0x100) != 0; }
    double InterpolationPeriodSeconds() const;

    DriveState state = DriveState::SwitchOnDisabled;
    std::uint16_t controlword = 0;
    double position = 0.0;
    double velocity = 0.0;
    bool setPointAcknowledged = false;
    bool interpolationActive = false;
    std::vector<HomingStep> homingScript;
    bool homingRunning = false;
    bool homingPositionSet = false;
    std::uint16_t homingBits = HomingBits::kNotStarted;
    Clock::time_point homingStart{};
    Clock::time_point lastTick{};
    Clock::time_point lastSync{};
};

}  // namespace CanopenSim
