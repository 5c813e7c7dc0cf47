// CMD "Move": direct moves on the single-motion interpreter, to a target or by a step.

#include "control/RobotMaster.h"
#include "core/Vector3.h"
#include "program/IPO.h"
#include "remote/ClientLog.h"
#include "remote/ComServerHandlers.h"

#include <string>
#include <vector>

namespace Remote {

namespace {

constexpr int kMoveValues = 10;  // nine joints or three vectors, then the velocity

enum class MoveForm { Joint, Cart, RelativeJoint, RelativeBase, RelativeTool };

struct MoveSub {
    const char* keyword;
    MoveForm form;
};

const MoveSub kMoves[] = {
    {"Joint", MoveForm::Joint},
    {"Cart", MoveForm::Cart},
    {"RelativeJoint", MoveForm::RelativeJoint},
    {"RelativeBase", MoveForm::RelativeBase},
    {"RelativeTool", MoveForm::RelativeTool},
};

void Incomplete(HvpHandlerContext& c, ComServer::CmdRequest& r, const char* sub) {
    ClientLines::PrintError("incomplete move",
                            std::string("ComServer: Incomplete Move ") + sub + (*sub != '\0' ? " " : "") + "command");
    c.server.SendCmdError(r.counterValid ? r.counter : 0, "incomplete move command");
}

void CmdMove(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    std::string sub;
    if (!r.counterValid || !r.args.ReadWord(sub) || c.robot == nullptr) return Incomplete(c, r, sub.c_str());
    IPO& moveTo = c.robot->GetMoveToInterpreter();
    if (sub == "Stop") {
        moveTo.Stop(IPO::STOP_USER, std::string());
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
    const float velocity = v[9];
    const DataTypes::Vector3 first(v[0], v[1], v[2]);
    const DataTypes::Vector3 second(v[3], v[4], v[5]);
    const DataTypes::Vector3 external(v[6], v[7], v[8]);
    switch (move->form) {
        case MoveForm::Joint:
            moveTo.MoveJoint(v, velocity);
            break;
        case MoveForm::Cart:
            moveTo.MoveLinear(first, second, external, velocity);
            break;
        case MoveForm::RelativeJoint:
            moveTo.MoveRelativeJoint(v, velocity);
            break;
        case MoveForm::RelativeBase:
            moveTo.MoveRelativeBase(first, second, external, velocity);
            break;
        case MoveForm::RelativeTool:
            moveTo.MoveRelativeTool(first, second, external, velocity);
            break;
    }
    moveTo.Start();
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
