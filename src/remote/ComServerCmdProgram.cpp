// CMD program keywords: run control of the main program, program information, loading and
// deleting programs, and the three steps of a file upload.

#include "control/ProjectManager.h"
#include "core/LogSingleton.h"
#include "core/PathCheck.h"
#include "remote/ClientLog.h"
#include "remote/ComServerHandlers.h"

#include <exception>
#include <string>
#include <vector>

namespace Remote {

namespace {

using Control::Interpreter;
using Control::NamedLoad;

void QueueProject(HvpHandlerContext& c) {
    if (c.project != nullptr) c.project->QueueUpdateProjectFile();
}

// A program name from a client: one that stays below the programs folder.
bool SafeName(const std::string& name) { return Filesystem::IsSafeRelativePath(name); }

void CmdStartProgram(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    if (!r.counterValid || c.controller == nullptr) return CmdRefuse(c, r);
    c.controller->ResetProgramOffsets();
    c.server.QueueCommandCode(kStartProgram);
    c.server.SendCmdAck(r.counter);
}

void CmdStartProgramWithOffset(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    float offsets[Control::kNrProgramOffsets] = {};
    if (!r.counterValid || c.controller == nullptr) return CmdRefuse(c, r);
    // Missing trailing values are 0; a value that is there must be a finite number.
    int given = 0;
    if (!r.args.ReadFloatsUpTo(offsets, Control::kNrProgramOffsets, given)) return CmdRefuse(c, r);
    c.controller->SetProgramOffsets(offsets);
    c.server.QueueCommandCode(kStartProgram);
    c.server.SendCmdAck(r.counter);
}

void CmdPauseProgram(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    if (!r.counterValid) return CmdRefuse(c, r);
    c.server.QueueCommandCode(kPauseProgram);
    c.server.SendCmdAck(r.counter);
}

void CmdStopProgram(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    if (!r.counterValid) return CmdRefuse(c, r);
    c.server.QueueCommandCode(kStopProgram);
    c.server.SendCmdAck(r.counter);
}

void CmdDeleteProgram(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    if (!r.counterValid || c.controller == nullptr) return CmdRefuse(c, r);
    c.controller->DeleteProgram(Interpreter::Main);
    QueueProject(c);
    c.server.SendCmdAck(r.counter);
}

void CmdDeleteLogicProgram(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    if (!r.counterValid || c.controller == nullptr) return CmdRefuse(c, r);
    c.controller->DeleteProgram(Interpreter::Logic);
    QueueProject(c);
    c.server.SendCmdAck(r.counter);
}

void CmdDeleteProgramFromFileSystem(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    std::string name;
    if (!r.counterValid || !r.args.ReadWord(name) || c.controller == nullptr || !SafeName(name)) {
        return CmdRefuse(c, r);
    }
    c.controller->DeleteProgramFile(name);
    c.server.SendCmdAck(r.counter);
}

void ProgramInfo(HvpHandlerContext& c, Interpreter which, const char* head) {
    std::string name = "n/a";
    int count = 0;
    int point = 0;
    if (c.controller != nullptr) c.controller->GetProgramInformation(which, &name, &count, &point);
    c.server.SendToClient(std::string(head) + name + " " + std::to_string(count) + " " + std::to_string(point));
}

void CmdGetProgramInfo(HvpHandlerContext& c, ComServer::CmdRequest& /*r*/) {
    ProgramInfo(c, Interpreter::Main, "INFO ProgramInfo ");
}

void CmdGetLogicProgramInfo(HvpHandlerContext& c, ComServer::CmdRequest& /*r*/) {
    ProgramInfo(c, Interpreter::Logic, "INFO LogicProgramInfo ");
}

void CmdGetProgramName(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    int index = 0;
    if (!r.counterValid || !r.args.ReadInt(index) || c.controller == nullptr) return CmdRefuse(c, r);
    std::string name;
    const int entries = c.controller->GetProgramFileName(index, name);
    c.server.SendToClient("INFO ProgramName " + name + " " + std::to_string(index) + " " + std::to_string(entries));
}

void CmdLoadProgram(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    std::string name;
    if (!r.counterValid || !r.args.ReadWord(name) || c.controller == nullptr) return CmdRefuse(c, r);
    // The name checks come before the interpreter stops and drops what it holds.
    const NamedLoad result = c.controller->LoadProgramByName(Interpreter::Main, name);
    if (result == NamedLoad::Refused) return CmdRefuse(c, r);
    if (result == NamedLoad::Loading) QueueProject(c);
    c.server.SendCmdAck(r.counter);
}

void CmdLoadLogicProgram(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    static const char* const kError = "could not load logic program";
    std::string name;
    if (!r.counterValid || !r.args.ReadWord(name)) return CmdRefuse(c, r, kError);
    ClientLines::addFormat("HVP-Server: Loading logic program %.900s", name.c_str());
    if (c.controller == nullptr || c.project == nullptr) {
        ClientLines::add("LogicIPO: could not load logic program, no ipo / pmptr");
        return c.server.SendCmdError(r.counter, kError);
    }
    const NamedLoad result = c.controller->LoadProgramByName(Interpreter::Logic, name);
    if (result == NamedLoad::Refused) return CmdRefuse(c, r, kError);
    if (result == NamedLoad::Loading) QueueProject(c);
    c.server.SendCmdAck(r.counter);
}

void CmdStartAt(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    static const char* const kError = "invalid command";
    std::string name;
    int index = 0;
    if (!r.counterValid || !r.args.ReadWord(name) || !r.args.ReadInt(index) || c.controller == nullptr ||
        !SafeName(name)) {
        return CmdRefuse(c, r, kError);
    }
    if (c.controller->RefuseWhileEStop("HVP-Server: StartAt")) return c.server.SendCmdError(r.counter, kError);
    try {
        c.controller->StartAt(name, index);
    } catch (const std::exception& e) {
        ClientLines::addFormat("HVP-Server: StartAt refused: %s", e.what());
        return c.server.SendCmdError(r.counter, kError);
    }
    c.server.SendCmdAck(r.counter);
}

void CmdUploadFileInit(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    std::string name;
    if (!r.counterValid || !r.args.ReadWord(name)) return CmdRefuse(c, r);
    int lines = 0;
    const bool counted = r.args.ReadInt(lines);
    c.upload.Init(name, counted, lines);
}

void CmdUploadFileLine(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    // The line is the raw text after the keyword and one blank, up to the blank before
    // the final "HVPEND"; blanks inside are kept.
    c.upload.Line(r.args.RestOfLine());
}

void CmdUploadFileFinish(HvpHandlerContext& c, ComServer::CmdRequest& /*r*/) { c.upload.Finish(); }

}  // namespace

const std::vector<CmdRow>& ProgramCmdRows() {
    static const std::vector<CmdRow> rows = {
        {"StartProgram", true, CmdStartProgram},
        {"StartProgramWithOffset", true, CmdStartProgramWithOffset},
        {"PauseProgram", true, CmdPauseProgram},
        {"StopProgram", true, CmdStopProgram},
        {"DeleteProgram", true, CmdDeleteProgram},
        {"DeleteLogicProgram", true, CmdDeleteLogicProgram},
        {"DeleteProgramFromFileSystem", true, CmdDeleteProgramFromFileSystem},
        {"GetProgramInfo", false, CmdGetProgramInfo},
        {"GetLogicProgramInfo", false, CmdGetLogicProgramInfo},
        {"GetProgramName", false, CmdGetProgramName},
        {"LoadProgram", true, CmdLoadProgram},
        {"LoadLogicProgram", true, CmdLoadLogicProgram},
        {"StartAt", true, CmdStartAt},
        {"UploadFileInit", true, CmdUploadFileInit},
        {"UploadFileLine", true, CmdUploadFileLine},
        {"UploadFileFinish", true, CmdUploadFileFinish},
    };
    return rows;
}

}  // namespace Remote
