// CMD operator and robot keywords: queued operator codes, direct robot calls and the
// state queries; and the dispatch over every keyword table of the handler files.

#include "control/ProjectManager.h"
#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "core/StringHelper.h"
#include "remote/ClientLog.h"
#include "remote/ComServerHandlers.h"

#include <algorithm>
#include <string>
#include <vector>

namespace Remote {

namespace {

constexpr int kReferencingSlots = 12;
constexpr int kFirstExternalSlot = 6;

// Keywords without arguments only need the counter for their reply.
bool CounterOk(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    if (r.counterValid) return true;
    CmdRefuse(c, r);
    return false;
}

void Queue(HvpHandlerContext& c, ComServer::CmdRequest& r, int code, const char* logLine) {
    if (!CounterOk(c, r)) return;
    c.server.QueueCommandCode(code);
    ClientLines::add(logLine);
    c.server.SendCmdAck(r.counter);
}

// Keywords that only queue their code for the main loop (all of them active-only).
struct QueuedRow {
    const char* keyword;
    int code;
    const char* logLine;
};
const QueuedRow kQueuedRows[] = {
    {"Reset", kReset, "HVP-Server: Reset joints"},
    {"Enable", kEnable, "HVP-Server: Enable joints"},
    {"Disable", kDisable, "HVP-Server: Disable joints"},
    {"SetJointsToZero", kSetJointsToZero, "HVP-Server: Set joints to zero"},
    {"ReferenceAllJoints", kReferenceAll, "HVP-Server: Reference all joints"},
    {"MotionTypeJoint", kMotionJoint, "HVP-Server: Set motion type to: Joint"},
    {"MotionTypeCartBase", kMotionCartBase, "HVP-Server: Set motion type to: CartBase"},
    {"MotionTypeCartTool", kMotionCartTool, "HVP-Server: Set motion type to: CartTool"},
    {"MotionTypePlatform", kMotionPlatform, "HVP-Server: Set motion type to: Platform"},
};

// "Connect" and "Disconnect".
void CmdNotAvailable(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    if (!CounterOk(c, r)) return;
    const std::string keyword(r.keyword);
    ClientLines::addFormat("HVP-Server: %s command not available", keyword.c_str());
    c.server.SendCmdError(r.counter, "not available");
}

void CmdDOut(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    int channel = 0;
    std::string state;
    if (!r.counterValid || !r.args.ReadIntAuto(channel) || !r.args.ReadWord(state) || c.controller == nullptr) {
        return CmdRefuse(c, r, "invalid DOut channel");
    }
    if (channel < 0) {
        ClientLines::add("HVP-Server: DOUT channel < 0!");
        return c.server.SendCmdError(r.counter, "invalid DOut channel");
    }
    if (channel > DataTypes::RobotState::maxIOs - 1) {
        ClientLines::add("HVP-Server: DOUT channel > 64!");
        return c.server.SendCmdError(r.counter, "invalid DOut channel");
    }
    if (c.controller->IsReplayRunning(Control::Interpreter::Main)) {
        return c.server.SendCmdError(r.counter, "can not set DOut while program is running");
    }
    const bool on = state == "true";
    c.server.QueueCommand(on ? kDOutOn : kDOutOff, channel, c.server.PeekCommand().value);
    ClientLines::add(on ? "HVP-Server: CMD-DOUT to TRUE: channel" : "HVP-Server: CMD-DOUT to FALSE: channel", channel);
    c.server.SendCmdAck(r.counter);
}

void CmdGSig(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    int channel = 0;
    std::string state;
    if (!r.counterValid || !r.args.ReadIntAuto(channel) || !r.args.ReadWord(state) || c.controller == nullptr) {
        return CmdRefuse(c, r, "invalid GSig channel");
    }
    if (channel < 0) {
        ClientLines::add("HVP-Server: GSIG channel < 0!");
        return c.server.SendCmdError(r.counter, "invalid GSig channel");
    }
    if (channel > DataTypes::RobotState::maxSignals - 1) {
        ClientLines::addFormat("HVP-Server: GSIG channel > %d!", DataTypes::RobotState::maxSignals);
        return c.server.SendCmdError(r.counter, "invalid GSig channel");
    }
    const bool on = state == "true";
    c.controller->SetGlobalSignal(channel, on);
    ClientLines::add(on ? "HVP-Server: CMD-GSIG to TRUE: channel" : "HVP-Server: CMD-GSIG to FALSE: channel", channel);
    c.server.SendCmdAck(r.counter);
}

void CmdProgramReplayMode(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    static const char* const kLines[] = {"HVP-Server: Replay Mode set to Single",
                                         "HVP-Server: Replay Mode set to Repeat",
                                         "HVP-Server: Replay Mode set to Step"};
    int mode = 0;
    if (!r.counterValid || !r.args.ReadIntAuto(mode)) return CmdRefuse(c, r, "invalid replay mode");
    if (mode < 0 || mode > 2) {
        ClientLines::add("HVP-Server: Replay Mode not recongnized!");
        return c.server.SendCmdError(r.counter, "invalid replay mode");
    }
    c.server.QueueCommand(kReplaySingle + mode, mode, c.server.PeekCommand().value);
    ClientLines::add(kLines[mode]);
    c.server.SendCmdAck(r.counter);
}

void CmdReferenceSingleJoint(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    int index = 0;
    // Checked first: ReferenceJoint stops a running program before the protocol looks.
    // Only robot joints and external axes reference; grippers, platform joints and I/O
    // modules lie between and after them.
    if (!r.counterValid || !r.args.ReadIntAuto(index) || c.controller == nullptr ||
        !c.controller->GetModules().IsReferencable(index)) {
        return CmdRefuse(c, r);
    }
    ClientLines::add("HVP-Server: Reference Joint", index);
    c.controller->ReferenceJoint(index);
    c.server.SendCmdAck(r.counter);
}

void CmdGetReferencingInfo(HvpHandlerContext& c, ComServer::CmdRequest& /*r*/) {
    bool slots[kReferencingSlots] = {};
    int state = 0;
    if (c.controller != nullptr) {
        using Layout = Control::ModuleLayout;
        const Layout modules = c.controller->GetModules();
        state = modules.referenceState;
        const int joints = modules.count[Layout::RobotJoint];
        const int axes = modules.count[Layout::ExternalAxis];
        // Robot joints from slot 0, external axes from slot 6.
        for (int i = 0; i < kReferencingSlots && i < joints + axes; ++i) {
            const int slot = i < joints ? i : kFirstExternalSlot + (i - joints);
            if (slot < kReferencingSlots) slots[slot] = modules.referenceStatus[i];
        }
    }
    std::string reply = "INFO ReferencingInfo " + std::to_string(state) + " Joints";
    for (bool slot : slots) reply += slot ? " 1" : " 0";
    c.server.SendToClient(reply);
}

void CmdOverride(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    float value = 0.0f;
    if (!r.counterValid || !r.args.ReadFloat(value) || c.controller == nullptr) return CmdRefuse(c, r);
    value = std::clamp(value, 0.0f, 100.0f);
    c.controller->SetOverride(value);
    if (c.project != nullptr) c.project->QueueUpdateProjectFile();
    ClientLines::add("HVP-Server: Change override to", value);
    c.server.SendCmdAck(r.counter);
}

void CmdZeroTorque(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    if (c.controller == nullptr) return CmdRefuse(c, r);
    std::string state;
    if (r.args.ReadWord(state) && c.server.IsActive()) {
        c.controller->SetZeroTorqueMode(StringHelper::ToLower(state) == "true");
    }
    std::string reply = "CMD ZeroTorque";
    reply += c.controller->IsZeroTorqueAllowed() ? " True" : " False";
    reply += c.controller->IsZeroTorqueEnabled() ? " True" : " False";
    c.server.SendToClient(reply);
}

void CmdGripper(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    float value = 0.0f;
    if (!r.counterValid || !r.args.ReadFloat(value) || c.controller == nullptr) return CmdRefuse(c, r);
    c.controller->SetGripperPosition(value);
    c.server.SendCmdAck(r.counter);
}

}  // namespace

void CmdRefuse(HvpHandlerContext& c, ComServer::CmdRequest& r, const std::string& text) {
    const std::string keyword(r.keyword);
    ClientLines::addFormat("HVP-Server: ERROR Could not parse robot command '%s'!", keyword.c_str());
    c.server.SendCmdError(r.counterValid ? r.counter : 0, text);
}

const std::vector<CmdRow>& OperatorCmdRows() {
    static const std::vector<CmdRow> rows = {
        {"Connect", true, CmdNotAvailable},
        {"Disconnect", true, CmdNotAvailable},
        {"DOUT", true, CmdDOut},
        {"GSIG", false, CmdGSig},
        {"ProgramReplayMode", false, CmdProgramReplayMode},
        {"ReferenceSingleJoint", true, CmdReferenceSingleJoint},
        {"GetReferencingInfo", false, CmdGetReferencingInfo},
        {"Override", true, CmdOverride},
        // Setting needs the active role, the report does not: checked inside.
        {"ZeroTorque", false, CmdZeroTorque},
        {"Gripper", true, CmdGripper},
    };
    return rows;
}

bool HandleCmdKeyword(HvpHandlerContext& context, ComServer::CmdRequest& request) {
    const bool passive = !context.server.IsActive();
    for (const QueuedRow& row : kQueuedRows) {
        if (request.keyword != row.keyword) continue;
        if (passive) return false;
        Queue(context, request, row.code, row.logLine);
        return true;
    }
    for (const auto* rows : {&OperatorCmdRows(), &ProgramCmdRows(), &MoveCmdRows()}) {
        for (const CmdRow& row : *rows) {
            if (request.keyword != row.keyword) continue;
            if (row.activeOnly && passive) return false;
            row.handler(context, request);
            return true;
        }
    }
    return false;
}

}  // namespace Remote
