#pragma once

// One PLC trigger: a digital input or global signal that starts a program or a mission.
// A plain copyable value; the constructor validates and normalises it once. The level the
// robot loop last saw lives in the loop's own copy of the list (PLCTriggerLoopCopy), not
// here: the records in the robot master's list are shared with command threads.

#include <string>

namespace PLCTrigger {

class PLCInterfaceTrigger {
public:
    enum SignalType : int {
        DIn = 0,   // digital input 0..63
        GSig = 1,  // global signal 0..99
    };
    enum TargetType : int {
        Program = 0,
        Mission = 1,
    };

    PLCInterfaceTrigger() = default;
    // Takes the five values, then validates (see Validate).
    PLCInterfaceTrigger(bool active, SignalType signalType, int channel, TargetType targetType,
                        std::string file);
    PLCInterfaceTrigger(const PLCInterfaceTrigger&) = default;
    PLCInterfaceTrigger(PLCInterfaceTrigger&&) = default;
    PLCInterfaceTrigger& operator=(const PLCInterfaceTrigger&) = default;
    PLCInterfaceTrigger& operator=(PLCInterfaceTrigger&&) = default;
    ~PLCInterfaceTrigger() = default;

    // False when the channel does not fit the signal type or the file is empty.
    bool IsValid() const { return valid; }
    bool IsActive() const { return active; }
    SignalType GetSignalType() const { return signalType; }
    int GetChannel() const { return channel; }
    TargetType GetTargetType() const { return targetType; }
    // The target file relative to the programs or missions folder, '/' separated.
    const std::string& GetTargetFileRelative() const { return targetFile; }
    // "Active=True, SignalType=DIn, Channel=3, TargetType=Program, FileName=pick.xml"
    std::string ToString() const;

    // An invalid record becomes inactive (never the other way round). Every '\' becomes
    // '/', then the file is cut after the first "/Programs/" and, in what is left, after
    // the first "/Missions/".
    void Validate();

private:
    bool valid = false;
    bool active = false;
    SignalType signalType = DIn;
    int channel = -1;
    TargetType targetType = Program;
    std::string targetFile;
};

// '/' for '\', any other character unchanged.
char OpReplaceBackslashWithSlash(char c);

// Short names used across the code base.
using SignalType = PLCInterfaceTrigger::SignalType;
using TargetType = PLCInterfaceTrigger::TargetType;
constexpr SignalType SignalDIn = PLCInterfaceTrigger::DIn;
constexpr SignalType SignalGSig = PLCInterfaceTrigger::GSig;
constexpr TargetType TargetProgram = PLCInterfaceTrigger::Program;
constexpr TargetType TargetMission = PLCInterfaceTrigger::Mission;

}  // namespace PLCTrigger
