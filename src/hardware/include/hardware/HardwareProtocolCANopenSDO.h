#pragma once

// CANopen SDO client: a fixed table of object-dictionary entries, expedited uploads and
// downloads (CiA 301), and the decoders for SDO answers, emergency messages and the CiA 402
// statusword. Longer texts (device name, firmware) are read one character per subindex.
//
// Sending runs on whichever thread calls; parsing runs on the CAN reader thread. Values
// the parsers write into the records are SharedValue<> words; the drive state is
// published as a code (CANopenState) and turned into text on read.

#include "core/LogThrottle.h"
#include "hardware/CANInterfaceSocketCAN.h"
#include "hardware/HardwareProtocol.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace Hardware {

enum sdoObjectType : std::int32_t { sdoObjectCount = 0, sdoObjectValue = 1 };
enum sdoDataType : std::int32_t { sdoData8Bit = 0, sdoData16Bit = 1, sdoData24Bit = 2, sdoData32Bit = 3 };
enum sdoAccessType : std::int32_t { sdoAccessReadOnly = 0, sdoAccessReadWrite = 2 };

// One row of the object table.
struct SDOparameter {
    int index = 0;
    int subindex = 0;
    std::string name;
    sdoObjectType objectType = sdoObjectValue;
    sdoDataType dataType = sdoData8Bit;
    sdoAccessType access = sdoAccessReadOnly;
};

// CiA 402 drive state as decoded from the statusword; stored in jointData::errorTextCode
// (kErrorTextNotAvailable reads as "na").
enum CANopenState : std::int32_t {
    CANopenStateStartUp = 0,
    CANopenStateNotReadyToSwitchOn = 1,
    CANopenStateSwitchOnDisabled = 2,
    CANopenStateReadyToSwitchOn = 3,
    CANopenStateSwitchedOn = 4,
    CANopenStateOperationEnabled = 5,
    CANopenStateQuickStopActive = 6,
    CANopenStateFaultReactionActive = 7,
    CANopenStateFault = 8,
};

// "start_up", "not_ready_to_switch_on", ..., "fault"; "na" for kErrorTextNotAvailable and
// any other code.
const char* CANopenStateText(std::int32_t code);

// Profile of a CiA 402 mode of operation (0x6060/0x6061 value); 0 for unknown modes.
std::int32_t CANopenProfileOfMode(std::int32_t mode);

// Texts of up to 32 characters read one character per answer; NUL-terminated.
class CANopenText {
public:
    static constexpr int kLength = 33;
    char At(int k) const { return (k >= 0 && k < kLength) ? chars[static_cast<size_t>(k)].load() : '\0'; }
    void Set(int k, char c) {
        if (k >= 0 && k < kLength - 1) chars[static_cast<size_t>(k)] = c;
    }
    void Clear() {
        for (auto& c : chars) c = '\0';
    }
    std::string Str() const;

private:
    std::array<SharedValue<char>, kLength> chars{};
};

// The CANopen fields of one record, kept beside its jointData.
struct CANopenRecordData {
    CANopenText deviceName;   // object 0x1008
    CANopenText firmware;     // object 0x100A
    SharedValue<std::uint32_t> motorDriveSubmode{0};  // object 0x3202
    SharedValue<std::int32_t> requestedProfile{0};
    SharedValue<std::int32_t> actualProfile{0};
    SharedValue<std::uint16_t> statusword{0};
    SharedValue<std::uint16_t> lastControlword{0};
    // 2 reset, 3 started, 4 homing active or not started, 5 done, 6 confirmed but target
    // not reached, 7 error
    SharedValue<std::int32_t> referencingState{0};
    SharedValue<std::uint16_t> lastHomingBits{0xFFFF};  // 0xFFFF: none yet
    SharedValue<std::uint8_t> nmtState{0};
    SharedValue<std::uint8_t> errorRegister{0};
    SharedValue<std::uint8_t> errorCount{0};
    SharedValue<std::int8_t> homingMethod{0};
    SharedValue<std::int32_t> homeOffset{0};
    SharedValue<std::uint32_t> homingCaptureMode{0};
    SharedValue<std::int32_t> homingSpeed1{0};
    SharedValue<std::int32_t> homingSpeed2{0};
    SharedValue<std::int16_t> limitSwitchErrorOptionCode{0};
    SharedValue<float> phaseCurrent1{0.0f};  // A
    SharedValue<float> phaseCurrent2{0.0f};  // A
    SharedValue<float> measuredVelocity{0.0f};  // object 0x6044
    SharedValue<float> supplyVoltage{0.0f};     // V
    SharedValue<std::uint64_t> digitalOutputs{0};  // bit 8k+b = bit b of output byte k
    SharedValue<std::int32_t> inputBytes{0};
    SharedValue<std::int32_t> outputBytes{0};
    SharedValue<bool> pdosConfigured{false};
};

class HardwareProtocolCANopenSDO {
public:
    static constexpr int kRequestBase = 0x600;
    static constexpr int kAnswerBase = 0x580;
    static constexpr int kMinNode = 1;
    static constexpr int kMaxNode = 127;

    HardwareProtocolCANopenSDO(CANInterfaceSocketCAN* can, bool debug);

    // Upload request of a table entry.
    void RequestSDO(int node, int index, int subindex);
    // Download with the width of the table row.
    void SendSDO(int node, int index, int subindex, unsigned value);
    // Raw download of size bytes (1..4), no table lookup.
    void SendSDO(int node, int index, int subindex, int size, unsigned value);

    // data: the answer's 8 bytes.
    void ParseSDOAnswer(jointData& record, CANopenRecordData& co, int node, const unsigned char* data,
                        const timespec& time);
    void ParseEmergency(jointData& record, CANopenRecordData& co, int node, const unsigned char* data);
    // Returns the state text; runs the homing evaluation in the homing profiles.
    const char* ParseStatusWord(jointData& record, CANopenRecordData& co, std::uint16_t statusword);
    static std::string ParseErrorRegister(std::uint8_t errorRegister);
    static std::string ParseErrorCode(std::uint16_t code);
    static std::string ParseManufacturerError(std::uint8_t number);
    void ParsePredefinedErrorField(jointData& record, int number, std::uint8_t manufacturerByte,
                                   std::uint8_t errorRegister, std::uint16_t errorCode);
    // Abort text, empty for the objects whose absence is expected (0x1008, 0x100A).
    std::string ParseSDOError(jointData& record, int node, const unsigned char* data);
    static std::string addStringWithSeparator(const std::string& existing, const std::string& text,
                                              const std::string& separator);

    // Motor current (mA) from the two phase currents, by the drive's loop mode.
    static void UpdateMotorCurrent(jointData& record, CANopenRecordData& co);

    const std::vector<SDOparameter>& GetTable() const { return table; }
    // First row of index:subindex, or nullptr.
    const SDOparameter* Find(int index, int subindex) const;

private:
    void ParseSDOAnswerProfileMotors(jointData& record, CANopenRecordData& co, int index,
                                     const unsigned char* data);
    void ParseSDOAnswerProfileIO(jointData& record, CANopenRecordData& co, int index, int subindex,
                                 const unsigned char* data);
    void ParseSDOAnswerGeneral(jointData& record, CANopenRecordData& co, int node, int index, int subindex,
                               const unsigned char* data);
    void EvaluateHoming(jointData& record, CANopenRecordData& co, std::uint16_t statusword);
    void BuildTable();
    void Add(int index, int subindex, const std::string& name, sdoDataType type, sdoAccessType access,
             sdoObjectType kind = sdoObjectValue);
    bool ValidNode(int node, const char* what) const;

    CANInterfaceSocketCAN* canInterface;
    std::vector<SDOparameter> table;
    bool debugOutput;
    std::string lastErrorClass;  // reader thread only
    // A drive repeating an emergency or an SDO abort must not rotate the log away.
    LogThrottle emergencyLog{"CANopen: EMERGENCY message lines"};
    LogThrottle sdoErrorLog{"CANopen: SDO error lines"};
};

}  // namespace Hardware
