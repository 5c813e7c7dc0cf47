#pragma once

// The maker's joint protocol, versions 2 and 3 ("JXRCANV2", "JXRCANV3"): one fixed-format
// set-point frame per module and cycle, answers polled from the CAN interface's
// last-message table, error events and the alien-master check in a receive callback on
// the reader thread. Serves joint modules, DIO modules, gripper, platform joints and
// external axes. Both versions behave the same; only the first config log line differs.

#include "core/LogThrottle.h"
#include "hardware/HardwareProtocol.h"

#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <ctime>
#include <string>

namespace Hardware {

class HardwareProtocolJXRCANV2 : public HardwareProtocol {
public:
    // Throttling state of unknown error events of one CAN ID.
    struct LastUnknownErrorData {
        LastUnknownErrorData() = default;
        LastUnknownErrorData(std::uint8_t error, std::uint16_t byte1, std::uint16_t byte2,
                             timespec time)
            : errorNumber(error), byte1Value(byte1), byte2Value(byte2), eventTime(time) {}
        std::uint8_t errorNumber = 0;
        std::uint16_t byte1Value = 0;
        std::uint16_t byte2Value = 0;
        timespec eventTime{};
        std::int32_t count = 1;
    };

    static constexpr int kAnswerMaxAge = 20000;    // 2 s in 0.1 ms
    static constexpr int kShutdownMaxAge = 501;    // 50 ms in 0.1 ms
    static constexpr int kGraceCalls = 5;          // GetError calls before an error shows
    static constexpr int kSilentCyclesLimit = 100;
    // Events come on 11-bit identifiers only, so the unknown-event table has one slot per
    // identifier and never grows beyond it.
    static constexpr int kEventIdCount = 2048;
    // Lines per second of one event from one ID; unknown events are thinned by their
    // repeat count first, whose counts 1 to 10 and 20 fit in a second.
    static constexpr int kKnownEventLinesPerSecond = 10;
    static constexpr int kUnknownEventLinesPerSecond = 20;

    explicit HardwareProtocolJXRCANV2(RobotKinematic* kinematic);
    // Clears the process-wide pointer and waits for a receive callback in flight.
    ~HardwareProtocolJXRCANV2() override;

    void Init(const std::string& name, const std::string& robotType,
              const std::string& robotFile) override;
    void InitDIOModules(int canId) override;
    void InitTool(int count, int canId, float gearScale, float gearZero) override;
    void InitExternalJoint(const ExternalAxis& axis) override;
    void InitPlatform(int count);
    // Reads "BusConfiguration", "Joints", "Joint%d" and "Referencing"; false after a fatal
    // gap (logged, failure reason and operation mode 1 set).
    bool ReadConfigFile(const std::string& path);

    void Connect() override;
    void Disconnect() override;
    bool GetConnectionStatus() override;
    void GetError(std::string& text, std::string& shortText) override;
    void GetError(std::string* perJoint) override;
    void GetErrorHexCode(int* perJoint) override;
    void GetCurrentValues(int* perJoint) override;
    void GetTempValues(float* perJoint) override;
    void GetReferenceStatus(bool* perJoint, int* all) override;
    void ResetError() override;
    void AlignMotors() override;
    void ReferenceSingleJoint(int joint) override;
    // Sends the disable frame to every module whose referencing runs and fails it.
    void StopReferencing() override;
    void EnableMotors(bool on) override;
    bool GetMotorEnabled() override;
    void SetJoints(const DataTypes::RobotState& target) override;
    void GetJoints(DataTypes::RobotState* state) override;
    void SetJointMode(int joint, JointMode mode) override;
    void SetToZeroPos(int joint) override;
    void SetPlatformJointsToZeroPos() override;
    void RestartMotorController(int joint) override;
    void RestartModules() override;
    void SetIO(int module, int channel, bool value) override;
    void SetRailIO(int module, int channel, bool value) override;
    void GetDigitalIO(int module, int* value) override;
    void GetDigitalIORail(bool* inputs) override;
    bool IsDigitalInputRead(int n) override;
    void GetDIOModuleIDs(unsigned char& a, unsigned char& b, unsigned char& c) override;
    void SetDIOModuleIDs(unsigned char a, unsigned char b, unsigned char c) override;

    void ReadTemp();
    void ReadMainDIO();
    void ReadShutdownMessage();
    void SetLED(int code);
    // Texts of the error bits of code (" - temp", "TEMP", ...), or "no error" / "NoError".
    static void DecodeErrorCode(int code, std::string* text, std::string* shortText);
    // Runs on the CAN reader thread for every frame; always returns 1. Extended, remote
    // and error frames are no events of this protocol: only the alien check sees them.
    int ReceiveCallback(int id, int dlc, const unsigned char* data, long, timespec time);
    // Identifiers with an entry in the unknown-event table (at most kEventIdCount).
    int GetUnknownErrorTableSize() const { return unknownErrorIds.load(); }

    // --- State for the robot master, the servers and tests ---
    bool IsCommunicationActive() const { return communicationActive.load(); }
    bool IsErrorFree() const { return errorFree.load(); }
    int GetHardwareErrorCount() const { return hardwareErrorCount.load(); }
    int GetCycleCounter() const { return cycleCounter; }
    float GetGap() const { return gap; }
    int GetOutputByte(int record) const;
    int GetDIOModuleOutput(int module) const;
    int GetNoAnswerCycles() const { return noAnswerCycles.load(); }
    int GetShutdownWindow() const { return shutdownWindow; }

protected:
    jointData NewRecord() const override;

private:
    // Appends the texts of the set bits of code to text and shortText.
    static void AppendErrorTexts(int code, std::string& text, std::string& shortText);
    void SendFrame(int id, int dlc, const unsigned char* data);
    void SendToRecord(int record, int dlc, const unsigned char* data);
    void ApplyBacklash(jointData& record, float& value);
    void ReadAnswer(int record, float* values, bool* answered, std::int64_t nowUs);
    // Referencing runs past their time limit are stopped (disable frame) and fail.
    void WatchReferencing(std::int64_t nowUs);
    void StopReferencingRecord(int record, const char* reason);
    void LogUnknownEvent(int id, const unsigned char* data, const timespec& time);

    std::atomic<bool> communicationActive{false};
    std::atomic<bool> errorFree{false};
    // From a connect until GetError first shows a status of the modules' own.
    std::atomic<bool> settling{false};
    // Code of the status last logged by GetError: -1 not connected, else the error bits.
    std::atomic<int> lastStatusCode;
    std::atomic<int> hardwareErrorCount{0};
    std::array<std::atomic<int>, kMaxRecords> outputBytes{};
    std::array<std::atomic<int>, 5> dioModuleOutputs{};
    int cycleCounter = 0;
    float gap = 3.0f;
    int shutdownWindow = 0;
    std::atomic<int> noAnswerCycles{0};
    int cycleCount = 0;
    std::atomic<std::int64_t> lastUndervoltageLog{0};
    std::array<std::atomic<int>, kMaxDIOModules> dioModuleIds{};
    // Unknown-event table by 11-bit identifier; reader thread only.
    std::array<LastUnknownErrorData, kEventIdCount> unknownErrors{};
    std::bitset<kEventIdCount> unknownErrorUsed;
    std::atomic<int> unknownErrorIds{0};
    // Repeated bus events must not rotate the log away: keyed by identifier and event.
    LogThrottle knownEventLog{"JXRCAN: event lines", kKnownEventLinesPerSecond};
    LogThrottle unknownEventLog{"JXRCAN: unknown error message lines", kUnknownEventLinesPerSecond};
    static std::uint64_t EventKey(int id, int event) {
        return (static_cast<std::uint64_t>(static_cast<unsigned>(id)) << 8) | static_cast<unsigned>(event);
    }
    timespec lastShutdownFrame{};  // reception time of the last shutdown frame acted on
};

// The one live protocol of this kind, for the receive trampoline.
extern std::atomic<HardwareProtocolJXRCANV2*> ctxHWP;

// CANReceiveFunction: forwards to ctxHWP's ReceiveCallback; 0 when there is none.
int ReceiveCallback2(int id, int dlc, const unsigned char* data, long extra, timespec time);

}  // namespace Hardware
