#pragma once

// Handlers of the operator, program, move and upload keywords of "CMD", and of the "VAR"
// and "PROG" messages. The connection hands each request over with what the handlers
// reach of it; they read every argument through the connection's argument reader and
// answer through its senders.
//
// Malformed requests change nothing. A CMD keyword answers "CMDERROR <counter> " with its
// own error text where it has one, else "could not parse command" (logged with the
// chain's line); VAR writes answer "wrong_nr_of_arguments_in_cmd"; PROG lines
// "incomplete_argument". File names from clients are checked before anything is stopped.

#include "remote/ComServer.h"
#include "remote/ComServerUpload.h"
#include "remote/HvpArgumentReader.h"

class ProjectManager;

namespace Remote {

// The main loop's operator codes the handlers queue (what they do: control/OperatorCommands.h).
enum QueuedCode : int {
    kStartProgram = 2,
    kPauseProgram = 3,
    kStopProgram = 4,
    kReplaySingle = 7,  // + 1 repeat, + 2 step
    kReset = 10,
    kEnable = 11,
    kDisable = 12,
    kSetJointsToZero = 13,
    kReferenceAll = 16,
    kMotionJoint = 21,
    kMotionCartBase = 22,
    kMotionCartTool = 23,
    kMotionPlatform = 24,
    kDOutOn = 31,
    kDOutOff = 32,
};

struct HvpHandlerContext {
    ComServer& server;
    Control::ControllerPort* controller;  // null: no robot, every robot keyword is malformed
    ProjectManager* project;              // null: no project writes
    ComServerUpload& upload;              // the connection's upload
};

// The CMD keywords of this file set. False when the keyword is none of them, or an
// active-only one from a passive client: the chain then goes on to its end.
bool HandleCmdKeyword(HvpHandlerContext& context, ComServer::CmdRequest& request);

// A "VAR" message; the reader's cursor stands after the message type.
void HandleVarMessage(HvpHandlerContext& context, HvpArgumentReader& args);

// A "PROG" message of an active client; the reader's cursor stands after the type.
void HandleProgMessage(HvpHandlerContext& context, HvpArgumentReader& args);

// The log line of the CMD chain's end for a malformed request, and the reply with text.
void CmdRefuse(HvpHandlerContext& context, ComServer::CmdRequest& request,
               const std::string& text = "could not parse command");

// The keyword handlers, one per keyword family (the table in HandleCmdKeyword names
// them).
using CmdHandler = void (*)(HvpHandlerContext& context, ComServer::CmdRequest& request);
struct CmdRow {
    const char* keyword;
    bool activeOnly;
    CmdHandler handler;
};
const std::vector<CmdRow>& OperatorCmdRows();
const std::vector<CmdRow>& ProgramCmdRows();
const std::vector<CmdRow>& MoveCmdRows();

}  // namespace Remote
