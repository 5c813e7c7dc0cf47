#pragma once

// CANopen protocol: CiA 402 motor controllers and CiA 401 digital I/O modules on the one
// CAN interface. Configuration from the robot file, NMT and heartbeat, the connect
// sequence, the CiA 402 state walk, enable/reset/reference commands, the cyclic exchange
// (by PDO or SDO), the status getters, the per-node parameter file and the operation-mode
// initialisers with homing.
//
// Threads: the CAN reader thread runs ReceiveCallback and writes SharedValue<> fields of
// the records; the robot loop runs SendSync/SetJoints/GetJoints and the getters; command
// threads run the commands while the loop holds. Drive states are kept as codes and turned
// into text on read.

#include "hardware/HardwareProtocol.h"
#include "hardware/HardwareProtocolCANopenPDO.h"
#include "hardware/HardwareProtocolCANopenSDO.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

namespace Hardware {

// CiA 402 state as the walk sees it.
enum ControlWordStatus : std::int32_t {
    ControlWordFault = 0,
    ControlWordQuickStopActive = 1,
    ControlWordSwitchOnDisabled = 2,
    ControlWordReadyToSwitchOn = 3,
    ControlWordSwitchedOn = 4,
    ControlWordOperationEnabled = 5,
};

// "fault", ..., "operation_enabled"; "unknown" for anything else.
const char* ControlWordStatusToString(std::int32_t status);
// "fault" and "fault_reaction_active" -> 0, the five walk states to their values, every
// other text -> 0.
ControlWordStatus ControlWordStringToStatus(const std::string& text);

enum NMTFunction : std::uint8_t {
    NMTEnterOperational = 1,
    NMTEnterStop = 2,
    NMTEnterPreOperational = 128,
    NMTResetNode = 129,
    NMTResetCommunication = 130,
};
const char* NMTFunctionToString(int function);

class HardwareProtocolCANopen;
// The live protocol object, for the receive function.
extern std::atomic<HardwareProtocolCANopen*> ctxHWPCANopen;
// Forwards every frame to ReceiveCallback of ctxHWPCANopen.
int ReceiveCallbackCANopen(int id, int dlc, const unsigned char* data, long extra, timespec time);

class HardwareProtocolCANopen : public HardwareProtocol {
public:
    static constexpr int kNodeTableSize = 128;
    static constexpr int kTPDOMaxAge = 20000;        // 2 s in 0.1 ms
    static constexpr std::int64_t kSilenceMs = 20000;
    static constexpr int kSilentCyclesLimit = 100;
    static constexpr int kSlowPollPeriod = 120;      // the counter wraps above this

    HardwareProtocolCANopen(RobotKinematic* kinematic, CANopenProfile profile);
    // Clears the process-wide pointer and waits for a receive callback in flight.
    ~HardwareProtocolCANopen() override;

    void Init(const std::string& name, const std::string& robotType,
              const std::string& robotFile) override;
    // False after a fatal gap (logged, failure reason and operation mode 1 set).
    bool ReadConfigFile(const std::string& path);
    void InitDIOModules(int canId) override;
    void InitExternalJoint(const ExternalAxis& axis) override;
    // On a connected bus: cycle traffic and receive dispatch pause while the table
    // changes, then the I/O modules are set up (InitProfileIO). Call it while the robot
    // loop is held.
    void SetDIOModuleIDs(unsigned char a, unsigned char b, unsigned char c) override;
    // Any thread: the ids as last set, never a table in change.
    void GetDIOModuleIDs(unsigned char& a, unsigned char& b, unsigned char& c) override;

    void Connect() override;
    void Disconnect() override;
    bool GetConnectionStatus() override;

    void GetError(std::string& text, std::string& shortText) override;
    void GetError(std::string* perJoint) override;
    void GetErrorHexCode(int* perJoint) override;
    void GetCurrentValues(int* perJoint) override;
    void GetTempValues(float* perJoint) override;
    void GetReferenceStatus(bool* perJoint, int* all) override;
    int TranslateJointErrorCode(int record);

    void ResetError() override;
    void ReferenceSingleJoint(int joint) override;
    void ReferenceReset() override;
    // Halts every drive whose referencing runs (controlword halt bit), disables it once the
    // halt had time to act, and fails its referencing. Loop thread; never waits.
    void StopReferencing() override;
    void SetToZeroPos(int joint) override;
    void EnableMotors(bool enable) override;
    bool GetMotorEnabled() override;
    // Controlword "shutdown" (0x06) to every drive: operation enabled, switched on and
    // switch-on disabled all end in ready to switch on, with the power stage off.
    void DisableDrives() override;
    void CheckHomingFinished();

    void SendSync() override;
    void SetJoints(const DataTypes::RobotState& target) override;
    void GetJoints(DataTypes::RobotState* state) override;
    void SetRailIO(int module, int bit, bool value) override;
    void GetDigitalIORail(bool* inputs) override;
    bool IsDigitalInputRead(int n) override;

    // Reader thread: 1 when the frame was consumed; 0 without looking while a table
    // change is under way.
    int ReceiveCallback(int id, int dlc, const unsigned char* data, long extra, timespec time);

    void EnableCommunication();
    void DisableCommunication();
    bool IsCommunicationActive() const { return communicationActive.load(); }
    void SendNMT(int node, NMTFunction function);
    static std::string MsgToString(int id, int length, const unsigned char* data, long time);

    // State walk.
    bool SetControlWord(int record, ControlWordStatus target);
    bool SetControlWordApplyState(int record, ControlWordStatus from, ControlWordStatus to);
    void SendControlWord(int record, std::uint16_t controlword);

    // Requests over the non-DIO records.
    void RequestStatusWord();
    void RequestStatusWord(int record);
    void RequestControlWord();
    void RequestActualProfiles();
    void RequestPosition();
    void RequestTemperatures();
    void RequestCurrents();
    void RequestErrorsErrorCount();
    void RequestErrorsErrorRegister();
    void ReadVoltagePower();
    void HaltVelocityModeJoints();

    // Operation modes and homing.
    void InitProfileMotors(bool enable);
    void InitProfileIO();
    void InitProfile(int record, bool enable);
    void InitJointForProfilePositionMode(int record);
    void InitJointForInterpolatedPositionMode(int record);
    void InitJointForCyclicSynchronousPosition(int record);
    void InitJointForProfileVelocityMode(int record);
    void InitJointForCyclicSynchronousVelocity(int record);
    void InitJointForHoming(int record);
    void InitJointForHomingSetToZero(int record);
    void InitDigitalIO(int record);
    void InitTPDOs(int record);

    // Per-node drive parameters from the robot type's "CANopenParameter.xml".
    void InitCANopenParameterFile(const std::string& robotType);

    // --- Inspection ---
    CANopenProfile GetProfile() const { return profile; }
    bool GetUsePDOs() const { return usePDOs; }
    int GetCycleTime() const { return cycleTime; }
    float GetGap() const { return gap; }
    float GetSyncGap() const { return syncGap; }
    bool GetAllowAlienMessages() const { return allowAlienMessages; }
    int GetCycleCounter() const { return cycleCounter; }
    int GetSilenceCount() const { return silenceCount.load(); }
    // Record index of a node, -1 for none or a node outside 0..127.
    int NodeRecord(int node) const;
    const CANopenRecordData& GetCANopenData(int index) const;
    // Current walk state of a record, from its decoded state.
    ControlWordStatus RecordStatus(int record) const;
    HardwareProtocolCANopenSDO& SDO() { return sdo; }
    HardwareProtocolCANopenPDO& PDO() { return pdo; }

protected:
    jointData NewRecord() const override;

private:
    bool NonDIO(int record) const { return record >= 0 && record < moduleTotal - dioModuleCount; }
    bool IsFirmware1650(int record) const;
    // jointSet/jointVel slot of a record (robot joint j -> j, external axis e -> 6 + e),
    // -1 for records without one.
    int SetPointSlot(int record) const;
    // Makes room for a record of role and keeps the CANopen fields beside their records.
    int AddCANopenRecord(ModuleRole role);
    void RebuildNodeTable();
    void CommonPDOStep(int record, std::uint32_t rpdoObject, unsigned transmissionType, int settleMs,
                       bool withRPDO);
    void ClearRecordForConnect(int index);
    // Copies the DIO records' ids to dioModuleIds.
    void PublishDIOModuleIds();

    // Keeps ReceiveCallback off the record table for its lifetime: closes the gate and
    // waits for the frame in hand.
    class ReceivePause {
    public:
        explicit ReceivePause(HardwareProtocolCANopen& protocol);
        ~ReceivePause();
        ReceivePause(const ReceivePause&) = delete;
        ReceivePause& operator=(const ReceivePause&) = delete;

    private:
        HardwareProtocolCANopen& protocol;
    };
    void SetJointsRecord(int record, const DataTypes::RobotState& target);
    // Age of the record's last cyclic answer: transmit PDO 1, or the SDO answer without PDOs.
    std::int32_t AnswerAge(int record);
    // Each cycle: referencing runs past their time limit or with a homing error are stopped,
    // and halted drives are disabled when their halt has had its time.
    void WatchReferencing(std::int64_t nowUs);
    void StopHomingDrive(int record, const char* reason, std::int64_t nowUs);

    CANopenProfile profile;
    bool usePDOs = true;
    std::atomic<bool> communicationActive{false};
    std::atomic<bool> linkFlag{false};
    int cycleTime = 20;
    float gap = 0.0f;
    float syncGap = 0.0f;
    std::atomic<std::int64_t> lastFrameTimeUs{0};
    std::atomic<int> silenceCount{0};
    int cycleCounter = 0;
    int statusPollIndex = 0;
    bool debugOutput = false;
    bool allowAlienMessages = false;
    HardwareProtocolCANopenSDO sdo;
    HardwareProtocolCANopenPDO pdo;
    std::array<std::atomic<int>, kNodeTableSize> nodeTable;
    std::array<CANopenRecordData, kMaxRecords> co;
    std::array<std::atomic<int>, kMaxDIOModules> dioModuleIds{};
    // When a halted drive is to be disabled (monotonic us), 0 for none.
    std::array<std::atomic<std::int64_t>, kMaxRecords> disableDueUs{};
    std::atomic<bool> receiveOpen{true};
    std::atomic<int> receivesInFlight{0};
    LogThrottle nmtStateLog{"CANopen: device state change lines"};  // a flapping heartbeat
};

}  // namespace Hardware
