// CONFIG keywords of the digital I/O modules, the output states on reset and on error, the
// brake and the program default state.

#include "ComServerConfig.h"

#include "core/LogSingleton.h"
#include "remote/ClientLog.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace Remote {
namespace {

constexpr int kOutputs = DataTypes::RobotState::maxIOs;

// A whole token of 1..16 hexadecimal digits (an optional "0x" before them).
bool ParseHex64(std::string_view token, std::uint64_t& out) {
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) token.remove_prefix(2);
    if (token.empty() || token.size() > 16) return false;
    std::uint64_t value = 0;
    for (char c : token) {
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    out = value;
    return true;
}

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
    return text;
}

void GetDIOModules(ConfigContext& context, HvpArgumentReader& /*args*/) {
    std::array<unsigned char, 3> ids = {0, 0, 0};
    if (context.controller != nullptr) ids = context.controller->GetDIOModuleIDs();
    context.server.SendToClient("CONFIG DIOModules " + std::to_string(ids[0]) + " " + std::to_string(ids[1]) + " " +
                                std::to_string(ids[2]));
}

void SetDIOModules(ConfigContext& context, HvpArgumentReader& args) {
    int ids[3] = {0, 0, 0};
    int count = 0;
    if (!context.counterValid || !args.ReadIntsUpTo(ids, 3, count) || count < 3) return ConfigMalformed(context);
    if (context.controller == nullptr) return;
    if (!context.controller->SetDIOModuleIDs(static_cast<unsigned char>(ids[0] & 0xff),
                                        static_cast<unsigned char>(ids[1] & 0xff),
                                        static_cast<unsigned char>(ids[2] & 0xff))) {
        return;
    }
    ClientLines::addFormat("HVP-Server: DIO module configuration changed, CAN-IDs: %d %d %d", ids[0] & 0xff,
                           ids[1] & 0xff, ids[2] & 0xff);
    QueueProject(context);
}

void GetDOutDefaults(ConfigContext& context, HvpArgumentReader& /*args*/) {
    std::uint64_t reset[2] = {0, 0};
    std::uint64_t error[2] = {0, 0};
    if (context.controller != nullptr) {
        const Control::DOutTargets targets = context.controller->GetDOutTargets();
        for (int i = 0; i < kOutputs; ++i) {
            const int word = i < 32 ? 0 : 1;
            const int shift = 2 * (i - 32 * word);
            reset[word] |= static_cast<std::uint64_t>(DOutTargetStateToUInt(targets.onReset[i])) << shift;
            error[word] |= static_cast<std::uint64_t>(DOutTargetStateToUInt(targets.onError[i])) << shift;
        }
    }
    context.server.SendToClient("CONFIG DOutDefaults " + Hex(reset[0]) + " " + Hex(reset[1]) + " " + Hex(error[0]) +
                                " " + Hex(error[1]));
}

void SetDOutDefaults(ConfigContext& context, HvpArgumentReader& args) {
    std::uint64_t words[4] = {0, 0, 0, 0};  // resetLow, resetHigh, errorLow, errorHigh
    for (std::uint64_t& word : words) {
        std::string_view token;
        if (!args.ReadWord(token) || !ParseHex64(token, word)) return ConfigMalformed(context);
    }
    if (!context.counterValid) return ConfigMalformed(context);
    if (context.controller == nullptr) return;
    // Both tables as one value: the loop never applies half of them.
    Control::DOutTargets targets;
    for (int i = 0; i < kOutputs; ++i) {
        const int word = i < 32 ? 0 : 1;
        const int shift = 2 * (i - 32 * word);
        targets.onReset[i] = DOutTargetStateFromUInt(static_cast<unsigned>((words[word] >> shift) & 3u));
        targets.onError[i] = DOutTargetStateFromUInt(static_cast<unsigned>((words[2 + word] >> shift) & 3u));
    }
    context.controller->SetDOutTargets(targets);
    ClientLines::add("HVP-Server: DOut defaults set");
    QueueProject(context);
}

void GetBrake(ConfigContext& context, HvpArgumentReader& /*args*/) {
    int output = -1, delay = 0, estop = -1;
    if (context.controller != nullptr) {
        const BrakeSettings settings = context.controller->GetBrakeSettings();
        output = settings.brakeDOutChannel;
        delay = settings.brakeDelayMS;
        estop = settings.eStopDInChannel;
    }
    char text[96];
    std::snprintf(text, sizeof(text), "CONFIG Brake %d %d %d", output, delay, estop);
    context.server.SendToClient(text);
}

bool IsChannel(int value) { return value >= -1 && value < kOutputs; }

void SetBrake(ConfigContext& context, HvpArgumentReader& args) {
    int values[3] = {-1, 0, -1};  // brake output, delay ms, e-stop input
    int count = 0;
    if (!context.counterValid || !args.ReadIntsUpTo(values, 3, count)) return ConfigMalformed(context);
    // A negative delay would be written to the robot file as a huge unsigned one.
    if (count >= 2 && values[1] < 0) return ConfigMalformed(context);
    Control::ControllerPort* controller = context.controller;
    if (controller == nullptr) return;
    // One whole value: the robot loop never sees half of the change.
    BrakeSettings settings = controller->GetBrakeSettings();
    settings.brakeDOutChannel = count >= 1 && IsChannel(values[0]) ? values[0] : -1;
    if (count >= 2) settings.brakeDelayMS = values[1];
    // Monitoring goes off only on an explicit -1: a missing or impossible channel keeps it.
    if (count >= 3 && IsChannel(values[2])) settings.eStopDInChannel = values[2];
    // Refused (one line) while the e-stop is latched: nothing changes, nothing is written.
    if (!controller->SetBrakeSettings(settings)) return;
    ClientLines::addFormat("HVP-Server: Brake DOut set to  %d", settings.brakeDOutChannel);
    controller->QueueRobotFileWrite();
}

void GetProgramDefaultState(ConfigContext& context, HvpArgumentReader& /*args*/) {
    const bool stop = context.controller != nullptr && context.controller->GetStopOnError();
    context.server.SendToClient(std::string("CONFIG ProgramDefaultState ") + (stop ? "1" : "0"));
}

void SetProgramDefaultState(ConfigContext& context, HvpArgumentReader& args) {
    int value = 0;
    if (!context.counterValid || !args.ReadInt(value)) return ConfigMalformed(context);
    if (context.controller == nullptr) return;
    context.controller->SetStopOnError(value != 0);
    ClientLines::addFormat("HVP-Server: Program default state set to  %d", value != 0 ? 1 : 0);
    QueueProject(context);
}

}  // namespace

const std::vector<ConfigRow>& ConfigIoRows() {
    static const std::vector<ConfigRow> rows = {
        {"GetDIOModules", false, &GetDIOModules},
        {"SetDIOModules", true, &SetDIOModules},
        {"GetDOutDefaults", false, &GetDOutDefaults},
        {"SetDOutDefaults", true, &SetDOutDefaults},
        {"GetBrake", false, &GetBrake},
        {"SetBrake", true, &SetBrake},
        {"GetProgramDefaultState", false, &GetProgramDefaultState},
        {"SetProgramDefaultState", true, &SetProgramDefaultState},
    };
    return rows;
}

}  // namespace Remote
