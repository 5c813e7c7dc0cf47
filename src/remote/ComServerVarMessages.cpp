// VAR messages: read and write program variables, read the persistent system counters.

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "core/StringHelper.h"
#include "kinematics/KinematicErrorTexts.h"
#include "program/ProgramMemory.h"
#include "remote/ClientLog.h"
#include "remote/ComServerHandlers.h"

#include <exception>
#include <memory>
#include <sstream>
#include <string>

namespace Remote {

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

constexpr int kPositionValues = 9;

void EndOfChain(HvpHandlerContext& c) {
    // No reply; logged for an active client only.
    if (c.server.IsActive()) ClientLines::add("HVP-Server: ERROR Could not parse VAR command!");
}

void GetNumberOrPosition(HvpHandlerContext& c, HvpArgumentReader& args, bool position) {
    std::string name;
    if (!args.ReadWord(name) || c.controller == nullptr) return EndOfChain(c);
    name = StringHelper::ToLower(name);
    const char* kind = position ? "ValuePosVariable " : "ValueNrVariable ";
    std::ostringstream reply;
    // A copy, or null when not defined.
    const std::shared_ptr<const Programs::MemoryPosition> variable = c.controller->GetVariable(name);
    if (variable) {
        reply << "VARINFO " << kind << name;
        if (position) {
            const DataTypes::RobotState& s = variable->state;
            reply << ' ' << s.pose.m[3] << ' ' << s.pose.m[7] << ' ' << s.pose.m[11] << ' ' << s.A << ' ' << s.B
                  << ' ' << s.C;
            for (int j = 0; j < kPositionValues; ++j) reply << ' ' << s.jointSet[j];
        } else {
            reply << ' ' << variable->value;
        }
    } else {
        reply << "VARERROR " << kind << name << " variable_not_known";
    }
    c.server.SendToClient(reply.str());
}

void GetSystemVariable(HvpHandlerContext& c, HvpArgumentReader& args) {
    int key = -1;
    if (!args.ReadInt(key)) key = -1;
    if (key >= 0) {
        const int value = Log()->GetSystemVar(key);
        c.server.SendToClient("VARINFO ValueSystemVariable " + std::to_string(key) + " Value " + std::to_string(value));
        ClientLines::addFormat("HVP-Server: GetSystemVariable %d value %d", key, value);
        return;
    }
    c.server.SendToClient("VARERROR ValueSystemVariable " + std::to_string(key) + " variable_not_known");
    ClientLines::addFormat("HVP-Server: GetSystemVariable %d: ERROR, variable not found", key);
}

// Reads name and count floats; false when any is missing or not a finite number.
bool ReadWrite(HvpArgumentReader& args, std::string& name, float* values, int count) {
    return args.ReadWord(name) && args.ReadFloats(values, count);
}

void Reply(HvpHandlerContext& c, int counter, bool known) {
    if (known) {
        c.server.SendCmdAck(counter);
    } else {
        c.server.SendCmdError(counter, "variable_not_known");
    }
}

void SetVariableSingle(HvpHandlerContext& c, HvpArgumentReader& args, int counter, bool counterValid) {
    std::string name;
    float value = 0.0f;
    if (!counterValid || !ReadWrite(args, name, &value, 1)) {
        return c.server.SendCmdError(counter, "wrong_nr_of_arguments_in_cmd");
    }
    Reply(c, counter, c.controller->SetExistingNumber(StringHelper::ToLower(name), value));
}

// The position setters: a kinematic error is answered, and a refused set changes and
// pushes nothing (the store writes the variable only once the solve succeeded).
void SetVariablePosition(HvpHandlerContext& c, HvpArgumentReader& args, int counter, bool counterValid,
                         bool cartesian) {
    std::string name;
    float v[kPositionValues] = {};
    if (!counterValid || !ReadWrite(args, name, v, kPositionValues)) {
        return c.server.SendCmdError(counter, "wrong_nr_of_arguments_in_cmd");
    }
    name = StringHelper::ToLower(name);
    std::shared_ptr<const Programs::MemoryPosition> before = c.controller->GetVariable(name);
    if (!before) return Reply(c, counter, false);
    DataTypes::RobotState target = before->state;
    if (cartesian) {
        // Solved for the orientation given: the rotation is rebuilt from A, B, C as the
        // motion commands do before they solve.
        target.pose.SetTranslation(v[0], v[1], v[2]);
        target.A = v[3];
        target.B = v[4];
        target.C = v[5];
        target.UpdateMatrixFromABC();
        for (int e = 0; e < 3; ++e) target.jointSet[6 + e] = v[6 + e];
    } else {
        for (int j = 0; j < kPositionValues; ++j) target.jointSet[j] = v[j];
    }
    std::string error;
    bool known = false;
    try {
        known = c.controller->ReplacePosition(name, target,
                                              cartesian ? Programs::ContentCartesian : Programs::ContentJoints);
    } catch (int code) {
        error = KinematicErrorText(code);
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (error.empty()) return Reply(c, counter, known);
    ClientLines::addFormat("HVP-Server: Variable %.200s not set: %.200s", name.c_str(), error.c_str());
    c.server.SendCmdError(counter, error);
}

}  // namespace

void HandleVarMessage(HvpHandlerContext& c, HvpArgumentReader& args) {
    int counter = 0;
    const bool counterValid = HvpArgumentReader::ParseInt(args.Token(0), counter);
    if (!counterValid) counter = 0;
    std::string keyword;
    if (!args.ReadWord(keyword)) return EndOfChain(c);
    const bool active = c.server.IsActive();
    if (keyword == "GetNrVariable") return GetNumberOrPosition(c, args, false);
    if (keyword == "GetPosVariable") return GetNumberOrPosition(c, args, true);
    if (keyword == "GetSystemVariable") return GetSystemVariable(c, args);
    if (keyword == "GetPersistentNrVariable") {
        ClientLines::add("HVP-Server: GetPersistentNrVariable - not implemented yet!");
        return;
    }
    if (!active || c.controller == nullptr) return EndOfChain(c);
    if (keyword == "SetVariableSingle") return SetVariableSingle(c, args, counter, counterValid);
    if (keyword == "SetVariablePosCart") return SetVariablePosition(c, args, counter, counterValid, true);
    if (keyword == "SetVariablePosJoint") return SetVariablePosition(c, args, counter, counterValid, false);
    EndOfChain(c);
}

}  // namespace Remote
