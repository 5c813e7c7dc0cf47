// CMD program keywords: run control of the main program, program information, loading and
// deleting programs, and the three steps of a file upload.

#include "control/ProjectManager.h"
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "core/PathCheck.h"
#include "program/IPO.h"
#include "remote/ClientLog.h"
#include "remote/ComServerHandlers.h"

#include <chrono>
#include <exception>
#include <string>
#include <thread>
#include <vector>

namespace Remote {

namespace {

// The logic program's load is awaited this long: 50 ms, then up to 51 polls of 20 ms.
constexpr int kLogicLoadFirstWaitMs = 50;
constexpr int kLogicLoadPollMs = 20;
constexpr int kLogicLoadPolls = 50;

IPO* MainIpo(HvpHandlerContext& c) { return c.robot != nullptr ? &c.robot->GetMainInterpreter() : nullptr; }
IPO* LogicIpo(HvpHandlerContext& c) { return c.robot != nullptr ? &c.robot->GetLogicInterpreter() : nullptr; }

void QueueProject(HvpHandlerContext& c) {
    if (c.project != nullptr) c.project->QueueUpdateProjectFile();
}

// A program name from a client: one that stays below the programs folder.
bool SafeName(const std::string& name) { return Filesystem::IsSafeRelativePath(name); }

void CmdStartProgram(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    if (!r.counterValid || c.robot == nullptr) return CmdRefuse(c, r);
    MainIpo(c)->OffsetReset();
    c.server.QueueCommandCode(kStartProgram);
    c.server.SendCmdAck(r.counter);
}

void CmdStartProgramWithOffset(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    float offsets[IPO::kNrOffsets] = {};
    if (!r.counterValid || c.robot == nullptr) return CmdRefuse(c, r);
    // Missing trailing values are 0; a value that is there must be a finite number.
    int given = 0;
    if (!r.args.ReadFloatsUpTo(offsets, IPO::kNrOffsets, given)) return CmdRefuse(c, r);
    MainIpo(c)->OffsetSet(offsets);
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
    if (!r.counterValid || c.robot == nullptr) return CmdRefuse(c, r);
    c.robot->DeleteProgram();
    QueueProject(c);
    c.server.SendCmdAck(r.counter);
}

void CmdDeleteLogicProgram(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    if (!r.counterValid || c.robot == nullptr) return CmdRefuse(c, r);
    c.robot->DeleteLogicProgram();
    QueueProject(c);
    c.server.SendCmdAck(r.counter);
}

void CmdDeleteProgramFromFileSystem(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    std::string name;
    if (!r.counterValid || !r.args.ReadWord(name) || c.robot == nullptr || !SafeName(name)) {
        return CmdRefuse(c, r);
    }
    MainIpo(c)->DeleteProgramFile(name.c_str());
    c.server.SendCmdAck(r.counter);
}

void ProgramInfo(HvpHandlerContext& c, IPO* ipo, const char* head) {
    std::string name = "n/a";
    int count = 0;
    int point = 0;
    if (ipo != nullptr) ipo->GetProgramInformation(&name, &count, &point);
    c.server.SendToClient(std::string(head) + name + " " + std::to_string(count) + " " + std::to_string(point));
}

void CmdGetProgramInfo(HvpHandlerContext& c, ComServer::CmdRequest& /*r*/) {
    ProgramInfo(c, MainIpo(c), "INFO ProgramInfo ");
}

void CmdGetLogicProgramInfo(HvpHandlerContext& c, ComServer::CmdRequest& /*r*/) {
    ProgramInfo(c, LogicIpo(c), "INFO LogicProgramInfo ");
}

void CmdGetProgramName(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    int index = 0;
    if (!r.counterValid || !r.args.ReadInt(index) || c.robot == nullptr) return CmdRefuse(c, r);
    std::string name;
    const int entries = MainIpo(c)->GetFilename(index, &name);
    c.server.SendToClient("INFO ProgramName " + name + " " + std::to_string(index) + " " + std::to_string(entries));
}

void CmdLoadProgram(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    std::string name;
    if (!r.counterValid || !r.args.ReadWord(name) || c.robot == nullptr) return CmdRefuse(c, r);
    const bool folder = name.back() == '/';
    // A program name is checked before the interpreter stops and drops what it holds.
    if (!folder && !SafeName(name)) return CmdRefuse(c, r);
    const int result = MainIpo(c)->LoadDirectoryOrProgram(name);
    if (folder && result == 2) return CmdRefuse(c, r);
    if (result == 0) {
        c.robot->StopProgram(IPO::STOP_USER);
        QueueProject(c);
    }
    c.server.SendCmdAck(r.counter);
}

void CmdLoadLogicProgram(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    static const char* const kError = "could not load logic program";
    std::string name;
    if (!r.counterValid || !r.args.ReadWord(name) || !SafeName(name)) return CmdRefuse(c, r, kError);
    ClientLines::addFormat("HVP-Server: Loading logic program %.900s", name.c_str());
    IPO* logic = LogicIpo(c);
    if (logic == nullptr || c.project == nullptr) {
        ClientLines::add("LogicIPO: could not load logic program, no ipo / pmptr");
        return c.server.SendCmdError(r.counter, kError);
    }
    c.robot->StopLogicProgram(IPO::STOP_USER);
    logic->DeleteAll();
    logic->OffsetReset();
    const int result = logic->LoadProgram(name, false);
    ComServer::wait(kLogicLoadFirstWaitMs);
    int polls = 0;
    while (logic->IsLoading()) {
        ComServer::wait(kLogicLoadPollMs);
        if (++polls > kLogicLoadPolls) {
            ClientLines::add("LogicIPO: Loading program takes too long; try restart!", polls);
            break;
        }
    }
    // The name is read by the loader thread: only written when it is not yet this one.
    if (logic->name != "LogicIPO") logic->name = "LogicIPO";
    logic->replayMode.store(IPO::REPLAY_REPEAT);
    logic->Start();
    if (result == 0) QueueProject(c);
    c.server.SendCmdAck(r.counter);
}

void CmdStartAt(HvpHandlerContext& c, ComServer::CmdRequest& r) {
    static const char* const kError = "invalid command";
    std::string name;
    int index = 0;
    if (!r.counterValid || !r.args.ReadWord(name) || !r.args.ReadInt(index) || c.robot == nullptr ||
        !SafeName(name)) {
        return CmdRefuse(c, r, kError);
    }
    if (c.robot->RefuseWhileEStop("HVP-Server: StartAt")) return c.server.SendCmdError(r.counter, kError);
    try {
        MainIpo(c)->StartAt(name, index);
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
