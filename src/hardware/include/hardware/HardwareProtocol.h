#pragma once

// Hardware::HardwareProtocol: the one interface through which the controller talks to the
// drive electronics. It owns the CAN interface, knows the kinematic (not owned) and keeps
// up to 16 joint or module records, laid out by role:
//
//     robot joints | gripper | external axes | platform joints | DIO modules
//
// Every loop and getter finds a module through FirstRecord()/RoleCount(), so the order
// holds whatever order the Init* calls come in. Every virtual operation has a harmless
// default, so a protocol overrides only what its hardware supports.
//
// Threads: the robot loop (SendSync, SetJoints, GetJoints, getters), the CAN reader thread
// (receive callbacks) and command threads (commands, issued while the robot loop holds its
// cyclic exchange). Values shared between them are SharedValue<> fields: single words
// exchanged whole, a reader may see a value one cycle old. Texts are published as codes
// and turned into text on read.

#include "hardware/CANInterfaceSocketCAN.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

class RobotKinematic;
class ExternalAxis;

namespace tinyxml2 {
class XMLElement;
}

namespace DataTypes {
class RobotState;
}

namespace Hardware {

// Drive modes.
enum JointMode : std::int32_t {
    JointModeVelocity = 2,
    JointModePosition = 4,
    JointModeTorque = 10,
    JointModeZeroTorque = 11,
};

// CANopen drive profiles.
enum CANopenProfile : std::int32_t {
    CANopenProfilePosition = 1,
    CANopenProfileIPO = 2,
    CANopenProfileCSP = 3,
    CANopenProfileVelocity = 4,
    CANopenProfileCSV = 5,
    CANopenProfileHoming = 6,
    CANopenProfileHomingSetToZero = 7,
};

// "Position", "IPO", "CSP", "Velocity", "CSV", "Homing", "Homing (set-to-zero)" for 1..7,
// "unknown" for anything else.
std::string CANopenProfileToString(CANopenProfile profile);

// A value written on one thread and read on others: loaded and stored whole (relaxed
// atomics), copyable so that records can be moved around while the table is built.
template <typename T>
class SharedValue {
public:
    SharedValue(T v = T()) : value(v) {}  // NOLINT: used like the plain value
    SharedValue(const SharedValue& other) : value(other.load()) {}
    SharedValue& operator=(const SharedValue& other) {
        store(other.load());
        return *this;
    }
    SharedValue& operator=(T v) {
        store(v);
        return *this;
    }
    operator T() const { return load(); }  // NOLINT
    T load() const { return value.load(std::memory_order_relaxed); }
    void store(T v) { value.store(v, std::memory_order_relaxed); }

private:
    std::atomic<T> value;
};

// Error text code of a record that has not been decoded yet: its text is "na".
constexpr std::int32_t kErrorTextNotAvailable = -1;

// One joint or module. Configuration fields are set while the protocol initialises;
// the SharedValue fields are exchanged between the robot loop, the reader thread and the
// command threads.
struct jointData {
    std::int32_t moduleType = 0;  // 0 joint module (motor controller), 1 digital I/O module
    SharedValue<JointMode> jointMode{JointModePosition};
    SharedValue<float> setPoint{0.0f};   // last commanded joint value, joint units
    SharedValue<float> velocity{0.0f};   // commanded velocity, joint units per second
    SharedValue<float> measured{0.0f};   // last measured joint value, joint units
    SharedValue<float> auxValue{0.0f};   // version 1: answer byte 1 - 127
    SharedValue<float> current{0.0f};    // raw * CurrentScale + CurrentZero
    float CurrentScale = 1.0f;
    float CurrentZero = 0.0f;
    float GearScale = 0.0f;  // motor increments per joint unit
    float GearZero = 0.0f;   // motor increments at joint value 0
    // Commands go to this identifier, answers come on canId + 1.
    std::int32_t canId = 0;
    SharedValue<std::int32_t> errorCode{0};
    // The code whose decoded text is the record's error text (kErrorTextNotAvailable: "na").
    SharedValue<std::int32_t> errorTextCode{kErrorTextNotAvailable};
    SharedValue<std::int32_t> enabled{0};  // 1 while the module reports no error bit
    SharedValue<std::uint64_t> digitalInputs{0};
    SharedValue<std::uint8_t> inputsRead{0};     // DIO: bit b set once input byte b was reported
    SharedValue<std::uint8_t> statusFlag{0};     // version 1: bit 7 of answer byte 7
    SharedValue<float> temperature{0.0f};
    SharedValue<std::uint8_t> referenced{0};
    SharedValue<std::uint8_t> referencing{0};    // set by a reference command
    SharedValue<std::uint8_t> shortCurrentFormat{0};
    float GearPlay = 0.0f;      // backlash amount, joint units
    float GearPlayInc = 0.0f;   // backlash compensation step per cycle
    float backlashOffset = 0.0f;
    float backlashExtreme = 0.0f;
    std::uint8_t backlashDirection = 1;  // 1 moving up, 0 moving down
    float TempScale = 0.0f;
    float TempZero = 0.0f;
    float maxVelocity = 0.0f;  // velocity limit of a velocity-mode record
    SharedValue<std::int64_t> lastLowSupplyLog{0};  // monotonic s of the last "low supply" line
    // Answer watch: the drive answered the cycle since the last connect, and is latched not
    // answering once it then stayed silent for the answer limit (until a reset finds it back).
    SharedValue<std::uint8_t> answered{0};
    SharedValue<std::uint8_t> notAnswering{0};
    // Referencing watch: when the running referencing started (monotonic us), and whether the
    // last one was stopped unfinished (time limit, homing error, e-stop).
    SharedValue<std::int64_t> referencingSinceUs{0};
    SharedValue<std::uint8_t> referencingFailed{0};
};

class HardwareProtocol {
public:
    static constexpr int kMaxRecords = 16;
    static constexpr int kMaxRobotJoints = 6;
    static constexpr int kMaxGrippers = 3;         // RobotState::gripperHw
    static constexpr int kMaxExternalAxes = 3;     // RobotState joints 6..8
    static constexpr int kMaxPlatformJoints = 4;   // RobotState::platformSet
    static constexpr int kMaxDIOModules = 3;

    // The roles in record order.
    enum class ModuleRole { RobotJoint = 0, Gripper = 1, ExternalAxis = 2, Platform = 3, DIO = 4 };

    // Builds the protocol that a robot file names: "JXRCAN" (version 1), "JXRCANV2" and
    // "JXRCANV3" (version 2 or 3 set). Init is left to the caller. Any other name logs
    // "RobotMaster: could not recognize protocol type <name>", sets the serious failure
    // reason "11 protocol type unknown" and operation mode 1, and returns nullptr.
    static std::unique_ptr<HardwareProtocol> Create(const std::string& protocolName,
                                                    RobotKinematic* kinematic);

    explicit HardwareProtocol(RobotKinematic* kinematic);
    virtual ~HardwareProtocol();
    HardwareProtocol(const HardwareProtocol&) = delete;
    HardwareProtocol& operator=(const HardwareProtocol&) = delete;

    virtual void Init(const std::string& name, const std::string& robotType,
                      const std::string& robotFile);
    virtual void InitDIOModules(int canId);
    virtual void InitTool(int count, int canId, float gearScale, float gearZero);
    virtual void InitExternalJoint(const ExternalAxis& axis);
    virtual void Connect();
    virtual void Disconnect();
    virtual bool GetConnectionStatus();
    virtual void GetError(std::string& text, std::string& shortText);
    virtual void GetError(std::string* perJoint);
    virtual void GetErrorHexCode(int* perJoint);
    virtual void GetCurrentValues(int* perJoint);
    virtual void GetTempValues(float* perJoint);
    virtual void GetReferenceStatus(bool* perJoint, int* all);
    virtual void ResetError();
    virtual void AlignMotors();
    virtual void ReferenceSingleJoint(int joint);
    virtual void ReferenceReset();
    virtual void EnableMotors(bool on);
    virtual bool GetMotorEnabled();
    // Switches every drive's power stage off, whatever its firmware, without waiting for
    // the drives: every connect and an orderly exit leave the drives so. The default is
    // EnableMotors(false).
    virtual void DisableDrives();
    virtual void SendSync();
    virtual void SetJoints(const DataTypes::RobotState& target);
    virtual void GetJoints(DataTypes::RobotState* state);
    virtual void SetJointMode(int joint, JointMode mode);
    virtual void SetToZeroPos(int joint);
    virtual void SetPlatformJointsToZeroPos();
    virtual void RestartMotorController(int joint);
    virtual void RestartModules();
    virtual void SetCalibrationFlag(int joint);
    virtual void GetVelocity(float* perJoint);
    virtual float GetSupplyVoltage();
    virtual float GetFrequency();
    virtual void SetIO(int module, int channel, bool value);
    virtual void SetRailIO(int module, int channel, bool value);
    virtual void GetDigitalIO(int module, int* value);
    virtual void GetDigitalIORail(bool* inputs);
    // True once the module that carries digital input n has reported its inputs (until then
    // GetDigitalIORail leaves the input as it was). A protocol without I/O modules of its
    // own has nothing to wait for and reports every input as read.
    virtual bool IsDigitalInputRead(int n);
    virtual void GetDIOModuleIDs(unsigned char& a, unsigned char& b, unsigned char& c);
    virtual void SetDIOModuleIDs(unsigned char a, unsigned char b, unsigned char c);
    virtual bool GetZeroContact(int joint);
    virtual bool GetCalibFlag(int joint);
    // True for an existing joint module record (not DIO) with a CAN ID.
    virtual bool IsAxisModule(int index);

    // Stops every referencing in progress at once (the e-stop opened): each such drive is
    // halted, then handled as after a drive fault, and its referencing fails. Never waits.
    virtual void StopReferencing();

    // The short text of GetError(text, shortText).
    std::string GetErrorShort();
    // True while a record other than the DIO modules has its referencing flag set.
    bool IsReferencing() const;

    static void wait(int ms);
    static void wait(float ms);
    // Busy wait on the monotonic clock, for gaps too short for a sleep.
    static void waitActive(float ms);
    static std::int64_t ToMicroSec(const timespec& t);

    // --- Record layout ---
    int FirstRecord(ModuleRole role) const;
    int RoleCount(ModuleRole role) const;
    int GetRobotJointCount() const { return robotJointCount; }
    int GetGripperCount() const { return gripperCount; }
    int GetDIOModuleCount() const { return dioModuleCount; }
    int GetPlatformJointCount() const { return platformJointCount; }
    int GetExternalAxisCount() const { return externalAxisCount; }
    int GetModuleTotal() const { return moduleTotal; }
    // Record i (0..15); a reference to the record itself, valid for the object's lifetime.
    const jointData& GetJointData(int index) const;

    // --- Values for the robot loop, the robot master, the servers and Modbus ---
    int GetVersion() const { return version; }
    void SetVersion(int v) { version = v; }
    const std::string& GetName() const { return name; }
    const std::string& GetRobotType() const { return robotType; }
    RobotKinematic* GetKinematic() const { return kinematic; }
    bool IsReferenced() const { return referenced.load(); }
    bool IsReferencingMandatory() const { return referencingMandatory.load(); }
    int GetSupplyVoltageRaw() const { return supplyVoltage.load(); }  // mV
    int GetMinSupplyVoltage() const { return minSupplyVoltage.load(); }
    // Below this supply (mV) versions 2/3 report low supply; below 2 switches it off.
    void SetMinSupplyVoltage(int mV) { minSupplyVoltage.store(mV); }
    int GetMainDIOValue() const { return mainDIOValue.load(); }
    int GetMainDIOStatus() const { return mainDIOStatus.load(); }
    int GetShutdownStage() const { return shutdownStage.load(); }
    // Who carries out a power-off the drives asked for (the bus's shutdown request). The
    // request is seen in the robot loop's cycle, which must not wait for the shut-down: the
    // robot master hands it to a thread of its own. Without a handler the protocol runs the
    // system shut-down itself. Set before the cycle runs.
    void SetShutdownRequestHandler(std::function<void()> handler) { shutdownRequestHandler = std::move(handler); }
    // Successful connects so far. The robot loop holds the set-points at the measured
    // joints from a connect until an operator's reset or enable takes the drives over.
    std::uint32_t GetConnectCount() const { return connectCount.load(); }
    // A referencing run that has not finished within this time is stopped and fails (robot
    // file "Referencing" attribute TimeoutS).
    static constexpr int kDefaultReferencingTimeoutMs = 60000;
    int GetReferencingTimeoutMs() const { return referencingTimeoutMs.load(); }
    void SetReferencingTimeoutMs(int ms) { referencingTimeoutMs.store(ms > 0 ? ms : kDefaultReferencingTimeoutMs); }

    // The bus connection: the robot master hands it to the CAN bridge.
    CANInterfaceSocketCAN& GetCANInterface() { return canInterface; }

protected:
    // Makes room for one more module of role at the end of its block (later records move
    // up) and returns its index, or -1 with a log line when the table is full.
    int AddRecord(ModuleRole role);
    // Sets the count of role to n, adding or removing records at the end of its block.
    // Returns false with a log line when the table would pass 16 records.
    bool ResizeRole(ModuleRole role, int n);
    // Sets the robot joint count (the robot file's NrOfJoints) and the module total.
    void SetRobotJointCount(int n);
    bool ValidRecord(int index) const { return index >= 0 && index < moduleTotal; }
    // The content of a record that AddRecord puts in place; a protocol gives its defaults.
    virtual jointData NewRecord() const;

    // Last frame of id with its age in 0.1 ms; an id outside the table answers as a frame
    // that never came (age INT32_MAX, data untouched).
    std::int32_t ReadLastMessage(int id, int* dlc, unsigned char* data);
    static std::int64_t MonotonicMicros();

    // --- Answer watch (the cycle's drives) ---
    // An answer older than this (2 s, in 0.1 ms) is missing.
    static constexpr std::int32_t kAnswerLimitAge = 20000;
    // Once per cycle that exchanges with the drives, before WatchAnswer. Silence counts only
    // while cycles run: after a pause of the cycle (a command) it starts again.
    void BeginAnswerWatch(std::int64_t nowUs);
    // One record's last answer age this cycle; true when the record has just been latched
    // not answering (the caller logs it).
    bool WatchAnswer(int record, std::int32_t age, std::int64_t nowUs);
    // A reset: a latched record whose answers are back (age below the limit) is released.
    void ReleaseAnswering(int record, std::int32_t age);
    // Connect: every record starts unwatched.
    void ClearAnswerWatch();
    // "<who>: joint N (CAN ID n) not answering".
    void LogNotAnswering(const char* who, int record) const;

    // --- Referencing watch ---
    void StartReferencingWatch(int record);
    bool ReferencingOverdue(int record, std::int64_t nowUs) const;
    // Ends record's referencing unfinished: flags cleared, failure marked, one line
    // "<who>: Referencing joint N (CAN ID n) failed: <reason>".
    void FailReferencing(const char* who, int record, const char* reason);
    // "Referencing" TimeoutS (seconds, > 0) when present; a bad value logs and keeps the default.
    void ReadReferencingTimeout(const tinyxml2::XMLElement& referencing, const char* who);

    CANInterfaceSocketCAN canInterface;
    RobotKinematic* kinematic;
    int version = 0;
    std::string name;
    std::string robotType;
    int robotJointCount = 0;
    int gripperCount = 0;
    int dioModuleCount = 0;
    int platformJointCount = 0;
    int externalAxisCount = 0;
    int moduleTotal = 0;
    std::array<jointData, kMaxRecords> joints;
    int protocolWord = 0;
    std::atomic<int> supplyVoltage{0};
    std::atomic<int> minSupplyVoltage{0};
    std::atomic<int> mainDIOValue{0};
    std::atomic<int> mainDIOStatus{0};
    std::atomic<int> shutdownStage{0};
    std::function<void()> shutdownRequestHandler;
    std::atomic<bool> referenced{false};
    std::atomic<bool> referencingMandatory{true};
    // Counted by Connect once the drives are reached and switched off.
    std::atomic<std::uint32_t> connectCount{0};
    std::atomic<int> referencingTimeoutMs{kDefaultReferencingTimeoutMs};

private:
    int* CountOf(ModuleRole role);
    void UpdateModuleTotal();

    std::atomic<std::int64_t> answerWatchLastCycleUs{0};
    std::atomic<std::int64_t> answerWatchSinceUs{0};
};

}  // namespace Hardware
