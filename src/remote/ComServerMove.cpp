// CMD "Move": direct moves on the single-motion interpreter, to a target or by a step.

#include "remote/ClientLog.h"
#include "remote/ComServerHandlers.h"

#include <string>
#include <vector>

namespace Remote {

namespace {

constexpr int kMoveValues = 10;  // nine joints or three vectors, then the velocity

struct MoveSub {
    const char* keyword;
    Control::DirectMove form;
    const char* request;  // named in the refusal line
};

const MoveSub kMoves[] = {
    {"Joint", Control::DirectMove::Joint, "HVP-Server: Move Joint"},
    {"Cart", Control::DirectMove::Linear, "HVP-Server: Move Cart"},
    {"RelativeJoint", Control::DirectMove::RelativeJoint, "HVP-Server: Move RelativeJoint"},
    {"RelativeBase", Control::DirectMove::RelativeBase, "HVP-Server: Move RelativeBase"},
    {"RelativeTool", Control::DirectMove::RelativeTool, "HVP-Server: Move RelativeTool"},
};

void Incomplete(HvpHandlerContext& c, ComServer::CmdRequest& r, const char* sub) {
    ClientLines::PrintError("incomplete move",
                            std::string("ComServer: Incomplete Move ") + sub + (*sub != '\0' ? " " : "") + "command");
    c.server.SendCmdError(r.counterValid ? r.counter : 0, "incomplete move command");
}

void CmdMove(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    std::string sub;
    if (!r.counterValid || !r.args.ReadWord(sub) || c.controller == nullptr) return Incomplete(c, r, sub.c_str());
    if (sub == "Stop") {
        c.controller->StopDirectMove();
        return c.server.SendCmdAck(r.counter);
    }
    const MoveSub* move = nullptr;
    for (const MoveSub& m : kMoves) {
        if (sub == m.keyword) move = &m;
    }
    if (move == nullptr) {
        ClientLines::PrintError("invalid move", "ComServer: Invalid Move command");
        return c.server.SendCmdError(r.counter, "invalid move command");
    }
    // All ten numbers, each finite, or nothing moves.
    float v[kMoveValues] = {};
    if (!r.args.ReadFloats(v, kMoveValues)) return Incomplete(c, r, move->keyword);
    if (!c.controller->StartDirectMove(move->form, v, v[9], move->request)) {
        return c.server.SendCmdError(r.counter, "E-Stop detected");
    }
    c.server.SendCmdAck(r.counter);
}

}  // namespace

const std::vector<CmdRow>& MoveCmdRows() {
    static const std::vector<CmdRow> rows = {
        {"Move", true, CmdMove},
    };
    return rows;
}

}  // namespace Remote
