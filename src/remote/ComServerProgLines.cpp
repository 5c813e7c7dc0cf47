// PROG messages: teach-in, one command appended to the main program per message.

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "core/StringHelper.h"
#include "remote/ClientLog.h"
#include "remote/ComServerHandlers.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace Remote {

namespace {

using Line = Control::TaughtCommand;

struct LineKind {
    const char* keyword;
    Line::Kind line;
    const char* name;  // in the error lines
};

const LineKind kLines[] = {
    {"JOINT", Line::Joint, "joint"},
    {"RELATIVEJOINT", Line::RelativeJoint, "relative joint"},
    {"LINEAR", Line::Linear, "linear"},
    {"RELATIVELINEAR", Line::RelativeLinear, "relative linear"},
    {"RELATIVETOOL", Line::RelativeTool, "relative tool"},
    {"GRIPPER", Line::Gripper, "gripper"},
    {"WAIT", Line::Wait, "wait"},
    {"DOUT", Line::DOut, "dout"},
};

// JOINT and RELATIVEJOINT: six values, "EXT", three, "VEL" (or "VELMMS" for LINEAR), one.
bool ReadJointForm(HvpArgumentReader& args, Line& v, const char* velocityWord) {
    return args.ReadFloats(v.values, 6) && args.Expect("EXT") && args.ReadFloats(v.values + 6, 3) &&
           args.Expect(velocityWord) && args.ReadFloat(v.values[9]);
}

// The values of one line as its keyword's format reads them.
bool ReadLine(HvpArgumentReader& args, Line& v) {
    switch (v.kind) {
        case Line::Joint:
        case Line::RelativeJoint:
            return ReadJointForm(args, v, "VEL");
        case Line::Linear:
            // The velocity goes on as sent: the interpreter reads it as percent of 150 mm/s.
            return ReadJointForm(args, v, "VELMMS");
        case Line::RelativeLinear:
        case Line::RelativeTool:
            return args.ReadFloats(v.values, 4);
        case Line::Gripper:
            return args.ReadFloats(v.values, 3);
        case Line::Wait:
            return args.ReadInt(v.milliseconds);
        case Line::DOut: {
            std::string word;
            if (!args.ReadInt(v.channel) || !args.ReadWord(word)) return false;
            // The interpreter has outputs 0..63 only.
            if (v.channel < 0 || v.channel >= DataTypes::RobotState::maxIOs) return false;
            v.on = StringHelper::ToLower(word) == "true";
            return true;
        }
    }
    return false;
}

void LogAppended(const Line& v) {
    const float* f = v.values;
    switch (v.kind) {
        case Line::Joint:
            ClientLines::addFormat(
                "HVP-Server: JOINT %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf ext: %.1lf %.1lf %.1lf vel: %.1lf",
                f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9]);
            break;
        case Line::RelativeJoint:
            ClientLines::addFormat(
                "HVP-Server: RELATIVEJOINT %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf ext: %.1lf %.1lf %.1lf vel: %.1lf",
                f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9]);
            break;
        case Line::Linear:
            ClientLines::addFormat(
                "HVP-Server: LINEAR %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf ext: %.1lf %.1lf %.1lf vel: %.1lf",
                f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9]);
            break;
        case Line::RelativeLinear:
            ClientLines::addFormat("HVP-Server: RELATIVELINEAR %.1lf %.1lf %.1lf vel: %.1lf", f[0], f[1], f[2], f[3]);
            break;
        case Line::RelativeTool:
            ClientLines::addFormat("HVP-Server: RELATIVETOOL %.1lf %.1lf %.1lf vel: %.1lf", f[0], f[1], f[2], f[3]);
            break;
        case Line::Gripper:
            ClientLines::addFormat("HVP-Server: GRIPPER %.1lf %.1lf %.1lf", f[0], f[1], f[2]);
            break;
        case Line::Wait:
            ClientLines::addFormat("HVP-Server: WAIT %d", v.milliseconds);
            break;
        case Line::DOut:
            ClientLines::addFormat("HVP-Server: DOUT %d to %d", v.channel, v.on ? 1 : 0);
            break;
    }
}

void SendError(HvpHandlerContext& c, int counter, int id, const char* text) {
    char payload[64];
    std::snprintf(payload, sizeof(payload), "PROGERROR %d %d %s", counter, id, text);
    c.server.SendToClient(payload);
}

}  // namespace

void HandleProgMessage(HvpHandlerContext& c, HvpArgumentReader& args) {
    const std::string_view keyword = args.Token(3);  // counter, type, id, keyword
    const LineKind* kind = nullptr;
    for (const LineKind& k : kLines) {
        if (keyword == k.keyword) kind = &k;
    }
    if (kind == nullptr) return SendError(c, 0, 0, "unknown_command");

    // Counter and id as far as they read; values after a failed read stay 0.
    int counter = 0;
    int id = 0;
    Line line;
    line.kind = kind->line;
    args.SetPosition(0);
    const bool complete = args.ReadInt(counter) && args.Skip() && args.ReadInt(id) && args.Skip() &&
                          ReadLine(args, line);
    if (!complete) {
        ClientLines::addFormat("HVP-Server: ERROR, could not define %s command! (invalid number of arguments)", kind->name);
        return SendError(c, counter, id, "incomplete_argument");
    }
    if (c.controller == nullptr) {
        ClientLines::addFormat("HVP-Server: ERROR, could not define %s command! (IPO not available)", kind->name);
        return SendError(c, counter, id, "system_error");
    }
    line.id = id;
    // The interpreter refuses values it cannot run (negative velocity or time, no
    // kinematic) with a log line of its own: the client must not read that as appended.
    if (!c.controller->AppendTaughtCommand(line)) return SendError(c, counter, id, "incomplete_argument");
    LogAppended(line);
    char payload[64];
    std::snprintf(payload, sizeof(payload), "PROGACK %d %d", counter, id);
    c.server.SendToClient(payload);
}

}  // namespace Remote
