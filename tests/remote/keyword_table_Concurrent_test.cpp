// Every operator, program, move, VAR and PROG request from an active and a passive client:
// the exact replies (or none), the pending command the main loop would take and the call
// made. The operator keywords and the referencing requests only check the server's side,
// on a recording controller port; the program, move, VAR and PROG requests run on a robot
// master. The frames of the table are also the seeds of the "hvp" fuzz target.

#include "hvp_robot_fixture.h"

#include "program/CommandDIO.h"
#include "program/CommandJoint.h"
#include "program/CommandLinear.h"
#include "program/CommandWait.h"
#include "program/ProgramMemory.h"
#include "testsupport/IpoTestAccess.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using HvpTest::HvpRobotFixture;
using HvpTest::Link;

namespace fs = std::filesystem;

// The pending command is preset to {0, kArg, kValue} before each row: a row that queues a
// code without arguments leaves these two as they are.
constexpr int kArg = 77;
constexpr float kValue = 7.5f;

struct Queued {
    int code;
    int argument;
};
constexpr Queued kNothing{0, kArg};

struct Row {
    bool fromActive;
    std::string body;                  // the frame between counter and "HVPEND"
    std::vector<std::string> replies;  // exact payloads, in order
    Queued queued;
    std::function<void(HvpRobotFixture&)> check;  // the call made (optional)
};

class HvpKeywordsConcurrent : public HvpRobotFixture {
public:
    void SetUp() override {
        HvpRobotFixture::SetUp();
        if (master) {
            Programs::ProgramMemory& memory = master->GetProgramMemory();
            memory.SetVariableSingle("Counter", 5.0, true);
            memory.SetVariablePosJoint("p", 10, 30, 60, 5, 40, 15, 0, 0, 0, true);
        }
        root = LogSingleton::instance()->get_rootPath();
        fs::create_directories(root + "Data/Programs");
    }
    void TearDown() override {
        HvpRobotFixture::TearDown();
        std::error_code ec;
        fs::remove_all(root + "Data", ec);
        fs::remove(root + "sentinel.txt", ec);
    }

    int ProgramCommands() {
        const auto summaries = master->GetMainInterpreter().GetProgramSummaries();
        return summaries.empty() ? 0 : summaries[0].commandCount;
    }
    std::shared_ptr<Command> LastTaught() {
        IPO& ipo = master->GetMainInterpreter();
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(ipo));
        if (IpoTestAccess::Programs(ipo).empty() || IpoTestAccess::Programs(ipo)[0].commands.empty()) return nullptr;
        return IpoTestAccess::Programs(ipo)[0].commands.back();
    }
    std::vector<float> Offsets() {
        float values[IPO::kNrOffsets] = {};
        master->GetMainInterpreter().GetOffsets(values);
        return std::vector<float>(values, values + IPO::kNrOffsets);
    }
    std::string PosReply(const std::string& name) {
        const Programs::MemoryPosition v = master->GetProgramMemory().GetVariable(name);
        std::ostringstream text;
        text << "VARINFO ValuePosVariable " << name << ' ' << v.state.pose.m[3] << ' ' << v.state.pose.m[7] << ' '
             << v.state.pose.m[11] << ' ' << v.state.A << ' ' << v.state.B << ' ' << v.state.C;
        for (int j = 0; j < 9; ++j) text << ' ' << v.state.jointSet[j];
        return text.str();
    }

    void RunRows(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            SCOPED_TRACE((row.fromActive ? "active: " : "passive: ") + row.body);
            Link& link = row.fromActive ? *active : *passive;
            link.server->QueueCommand(0, kArg, kValue);
            recording.Clear();
            EXPECT_EQ(Replies(link, row.body), row.replies);
            const OperatorCommand taken = link.server->TakeCommand();
            EXPECT_EQ(taken.code, row.queued.code);
            EXPECT_EQ(taken.argument, row.queued.argument);
            EXPECT_EQ(taken.value, kValue);
            if (row.check) row.check(*this);
            corpus.push_back("HVPSTART 5 " + row.body + " HVPEND");
        }
        CheckCorpus();
    }

    // Every frame of the table is a seed of the fuzz target (after the seed's first byte,
    // which picks the target's chunk sizes); with BELVANTO_WRITE_HVP_CORPUS set, missing
    // ones are written there instead of failing.
    void CheckCorpus() {
        const std::string dir = std::string(BELVANTO_FIXTURES_DIR) + "/../../fuzz/hvp/corpus";
        std::set<std::string> present;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            const std::string seed = TestSupport::ReadWholeFile(entry.path().string());
            if (!seed.empty()) present.insert(seed.substr(1));
        }
        const bool write = std::getenv("BELVANTO_WRITE_HVP_CORPUS") != nullptr;
        for (const std::string& frame : corpus) {
            if (present.count(frame) != 0) continue;
            if (!write) {
                ADD_FAILURE() << "not a seed in " << dir << ": " << frame;
                continue;
            }
            std::uint32_t hash = 2166136261u;  // FNV-1a: stable names across runs
            for (unsigned char c : frame) hash = (hash ^ c) * 16777619u;
            char name[32];
            std::snprintf(name, sizeof(name), "keyword-%08x", hash);
            const char chunking = static_cast<char>('A' + hash % 26);
            std::ofstream(dir + "/" + name, std::ios::binary) << chunking << frame;
            present.insert(frame);
        }
    }

    std::string root;
    std::vector<std::string> corpus;
};

// The server's side only: the controller is a recording port.
class HvpServerKeywordsConcurrent : public HvpKeywordsConcurrent {
public:
    HvpServerKeywordsConcurrent() { onRecordingPort = true; }
    // The commands of one row that begin with name.
    static std::vector<std::string> Made(HvpRobotFixture& f, const std::string& name) {
        return f.recording.CommandsNamed(name);
    }
};

const std::vector<std::string> kAck{"CMDACK 5"};
const std::vector<std::string> kNone{};
std::vector<std::string> Error(const std::string& text) { return {"CMDERROR 5 " + text}; }
const std::vector<std::string> kUnparsed = Error("could not parse command");

TEST_F(HvpServerKeywordsConcurrent, OperatorKeywords) {
    recording.SetRoles(6, 0, 0, 0, 0);
    recording.modules.referenceStatus[0] = recording.modules.referenceStatus[2] =
        recording.modules.referenceStatus[5] = true;
    recording.modules.referenceState = 0;
    recording.zeroTorqueAllowed = true;
    using Calls = std::vector<std::string>;
    auto gsig = [](const Calls& calls) {
        return [calls](HvpRobotFixture& f) { EXPECT_EQ(Made(f, "SetGlobalSignal"), calls); };
    };
    auto overrideIs = [](float value) {
        return [value](HvpRobotFixture& f) { EXPECT_FLOAT_EQ(f.recording.overridePercent, value); };
    };
    const std::vector<Row> rows = {
        {true, "CMD Connect", Error("not available"), kNothing, nullptr},
        {false, "CMD Connect", kNone, kNothing, nullptr},
        {true, "CMD Disconnect", Error("not available"), kNothing, nullptr},
        {false, "CMD Disconnect", kNone, kNothing, nullptr},
        {true, "CMD DOUT 63 true", kAck, {31, 63}, nullptr},
        {true, "CMD DOUT 64 true", Error("invalid DOut channel"), kNothing, nullptr},
        {true, "CMD DOUT -1 true", Error("invalid DOut channel"), kNothing, nullptr},
        {true, "CMD DOUT 5 True", kAck, {32, 5}, nullptr},
        {true, "CMD DOUT 0x3f true", kAck, {31, 63}, nullptr},
        {true, "CMD DOUT 010 true", kAck, {31, 8}, nullptr},
        {true, "CMD DOUT abc true", Error("invalid DOut channel"), kNothing, nullptr},
        {true, "CMD DOUT 5", Error("invalid DOut channel"), kNothing, nullptr},
        {false, "CMD DOUT 5 true", kNone, kNothing, nullptr},
        {false, "CMD DOUT 64 true", kNone, kNothing, nullptr},
        {true, "CMD GSIG 99 true", kAck, kNothing, gsig({"SetGlobalSignal 99 1"})},
        {false, "CMD GSIG 98 true", kAck, kNothing, gsig({"SetGlobalSignal 98 1"})},
        {true, "CMD GSIG 7 TRUE", kAck, kNothing, gsig({"SetGlobalSignal 7 0"})},
        {true, "CMD GSIG 100 true", Error("invalid GSig channel"), kNothing, gsig({})},
        {true, "CMD GSIG x true", Error("invalid GSig channel"), kNothing, gsig({})},
        {true, "CMD ProgramReplayMode 0", kAck, {7, 0}, nullptr},
        {true, "CMD ProgramReplayMode 1", kAck, {8, 1}, nullptr},
        {true, "CMD ProgramReplayMode 2", kAck, {9, 2}, nullptr},
        {true, "CMD ProgramReplayMode 3", Error("invalid replay mode"), kNothing, nullptr},
        {true, "CMD ProgramReplayMode", Error("invalid replay mode"), kNothing, nullptr},
        // A passive client's code waits on that client.
        {false, "CMD ProgramReplayMode 1", kAck, {8, 1}, nullptr},
        {true, "CMD Reset", kAck, {10, kArg}, nullptr},
        {false, "CMD Reset", kNone, kNothing, nullptr},
        {true, "CMD Enable", kAck, {11, kArg}, nullptr},
        {false, "CMD Enable", kNone, kNothing, nullptr},
        {true, "CMD Disable", kAck, {12, kArg}, nullptr},
        {false, "CMD Disable", kNone, kNothing, nullptr},
        {true, "CMD SetJointsToZero", kAck, {13, kArg}, nullptr},
        {false, "CMD SetJointsToZero", kNone, kNothing, nullptr},
        {true, "CMD ReferenceAllJoints", kAck, {16, kArg}, nullptr},
        {false, "CMD ReferenceAllJoints", kNone, kNothing, nullptr},
        {true, "CMD MotionTypeJoint", kAck, {21, kArg}, nullptr},
        {false, "CMD MotionTypeJoint", kNone, kNothing, nullptr},
        {true, "CMD MotionTypeCartBase", kAck, {22, kArg}, nullptr},
        {false, "CMD MotionTypeCartBase", kNone, kNothing, nullptr},
        {true, "CMD MotionTypeCartTool", kAck, {23, kArg}, nullptr},
        {false, "CMD MotionTypeCartTool", kNone, kNothing, nullptr},
        {true, "CMD MotionTypePlatform", kAck, {24, kArg}, nullptr},
        {false, "CMD MotionTypePlatform", kNone, kNothing, nullptr},
        {true, "CMD ReferenceSingleJoint 2", kAck, kNothing,
         [](HvpRobotFixture& f) { EXPECT_EQ(Made(f, "ReferenceJoint"), Calls{"ReferenceJoint 2"}); }},
        // Outside the protocol's records: nothing is stopped or called.
        {true, "CMD ReferenceSingleJoint 6", kUnparsed, kNothing,
         [](HvpRobotFixture& f) { EXPECT_TRUE(f.recording.Commands().empty()); }},
        {true, "CMD ReferenceSingleJoint -1", kUnparsed, kNothing,
         [](HvpRobotFixture& f) { EXPECT_TRUE(f.recording.Commands().empty()); }},
        {true, "CMD ReferenceSingleJoint", kUnparsed, kNothing, nullptr},
        {false, "CMD ReferenceSingleJoint 1", kNone, kNothing,
         [](HvpRobotFixture& f) { EXPECT_TRUE(f.recording.Commands().empty()); }},
        {true, "CMD GetReferencingInfo", {"INFO ReferencingInfo 0 Joints 1 0 1 0 0 1 0 0 0 0 0 0"}, kNothing, nullptr},
        {false, "CMD GetReferencingInfo", {"INFO ReferencingInfo 0 Joints 1 0 1 0 0 1 0 0 0 0 0 0"}, kNothing, nullptr},
        {true, "CMD Override 150", kAck, kNothing, overrideIs(100.0f)},
        {true, "CMD Override -3", kAck, kNothing, overrideIs(0.0f)},
        {true, "CMD Override 55.5", kAck, kNothing,
         [&](HvpRobotFixture& f) {
             overrideIs(55.5f)(f);
             EXPECT_TRUE(f.project.IsUpdatePending());
         }},
        {true, "CMD Override abc", kUnparsed, kNothing, overrideIs(55.5f)},
        {true, "CMD Override nan", kUnparsed, kNothing, overrideIs(55.5f)},
        {true, "CMD Override inf", kUnparsed, kNothing, overrideIs(55.5f)},
        {true, "CMD Override", kUnparsed, kNothing, overrideIs(55.5f)},
        {false, "CMD Override 20", kNone, kNothing, overrideIs(55.5f)},
        {true, "CMD ZeroTorque", {"CMD ZeroTorque True False"}, kNothing, nullptr},
        {false, "CMD ZeroTorque true", {"CMD ZeroTorque True False"}, kNothing,
         [](HvpRobotFixture& f) {
             EXPECT_FALSE(f.recording.zeroTorqueEnabled);
             EXPECT_TRUE(Made(f, "SetZeroTorqueMode").empty());
         }},
        {true, "CMD ZeroTorque TRUE", {"CMD ZeroTorque True True"}, kNothing,
         [](HvpRobotFixture& f) {
             EXPECT_TRUE(f.recording.zeroTorqueEnabled);
             EXPECT_EQ(Made(f, "SetZeroTorqueMode"), Calls{"SetZeroTorqueMode 1"});
         }},
        {false, "CMD ZeroTorque", {"CMD ZeroTorque True True"}, kNothing, nullptr},
        {true, "CMD ZeroTorque off", {"CMD ZeroTorque True False"}, kNothing, nullptr},
        {true, "CMD Gripper 40", kAck, kNothing,
         [](HvpRobotFixture& f) { EXPECT_EQ(Made(f, "SetGripperPosition"), Calls{"SetGripperPosition 40"}); }},
        {true, "CMD Gripper nan", kUnparsed, kNothing,
         [](HvpRobotFixture& f) { EXPECT_TRUE(Made(f, "SetGripperPosition").empty()); }},
        {false, "CMD Gripper 10", kNone, kNothing,
         [](HvpRobotFixture& f) { EXPECT_TRUE(Made(f, "SetGripperPosition").empty()); }},
        {true, "CMD NoSuchKeyword 1", kUnparsed, kNothing, nullptr},
        {false, "CMD NoSuchKeyword 1", kNone, kNothing, nullptr},
    };
    RunRows(rows);
}

TEST_F(HvpKeywordsConcurrent, ProgramKeywords) {
    const std::string sentinel = root + "sentinel.txt";
    std::ofstream(sentinel) << "keep\n";
    std::ofstream(root + "Data/Programs/gone.xml") << "<Program/>\n";
    fs::create_directories(root + "Data/Programs/sub");
    std::ofstream(root + "Data/Programs/sub/ok.xml")
        << "<?xml version=\"1.0\"?>\n<Program>\n  <Wait Nr=\"1\" Type=\"Time\" Seconds=\"0.5\" />\n</Program>\n";
    // The program a refused load must leave in place.
    auto keepsOk = [](HvpRobotFixture& f) {
        std::string name = "none";
        int count = 0;
        int point = 0;
        f.master->GetMainInterpreter().GetProgramInformation(&name, &count, &point);
        EXPECT_EQ(name, "sub/ok.xml");
        EXPECT_EQ(count, 1);
    };
    const std::vector<float> zero(IPO::kNrOffsets, 0.0f);
    std::vector<float> partial = zero;
    partial[0] = 1.0f;
    partial[1] = 2.0f;
    partial[2] = 3.0f;
    auto offsets = [&](const std::vector<float>& expected) {
        return [&, expected](HvpRobotFixture&) { EXPECT_EQ(Offsets(), expected); };
    };
    const std::vector<Row> rows = {
        // A folder only moves the browser: nothing is stopped or written.
        {true, "CMD LoadProgram sub/", kAck, kNothing,
         [](HvpRobotFixture& f) {
             EXPECT_EQ(f.master->GetMainInterpreter().GetBrowserDirectory(), "sub/");
             EXPECT_FALSE(f.project.IsUpdatePending());
         }},
        {true, "CMD LoadProgram ../", kAck, kNothing,
         [](HvpRobotFixture& f) { EXPECT_EQ(f.master->GetMainInterpreter().GetBrowserDirectory(), ""); }},
        {true, "CMD StartProgramWithOffset 1 2 3", kAck, {2, kArg}, offsets(partial)},
        {true, "CMD StartProgramWithOffset 9 nan", kUnparsed, kNothing, offsets(partial)},
        {true, "CMD StartProgramWithOffset 9 x", kUnparsed, kNothing, offsets(partial)},
        {false, "CMD StartProgramWithOffset 9", kNone, kNothing, offsets(partial)},
        {true, "CMD StartProgram", kAck, {2, kArg}, offsets(zero)},
        {false, "CMD StartProgram", kNone, kNothing, nullptr},
        {true, "CMD PauseProgram", kAck, {3, kArg}, nullptr},
        {false, "CMD PauseProgram", kNone, kNothing, nullptr},
        {true, "CMD StopProgram", kAck, {4, kArg}, nullptr},
        {false, "CMD StopProgram", kNone, kNothing, nullptr},
        {true, "CMD DeleteProgram", kAck, kNothing,
         [](HvpRobotFixture& f) { EXPECT_TRUE(f.project.IsUpdatePending()); }},
        {true, "CMD DeleteLogicProgram", kAck, kNothing, nullptr},
        {false, "CMD DeleteLogicProgram", kNone, kNothing, nullptr},
        {false, "CMD DeleteProgram", kNone, kNothing, nullptr},
        {true, "CMD DeleteProgramFromFileSystem ../../sentinel.txt", kUnparsed, kNothing,
         [&](HvpRobotFixture&) { EXPECT_TRUE(fs::exists(sentinel)); }},
        {true, "CMD DeleteProgramFromFileSystem", kUnparsed, kNothing, nullptr},
        {false, "CMD DeleteProgramFromFileSystem gone.xml", kNone, kNothing,
         [&](HvpRobotFixture&) { EXPECT_TRUE(fs::exists(root + "Data/Programs/gone.xml")); }},
        {true, "CMD DeleteProgramFromFileSystem gone.xml", kAck, kNothing,
         [&](HvpRobotFixture&) { EXPECT_FALSE(fs::exists(root + "Data/Programs/gone.xml")); }},
        {true, "CMD GetProgramInfo", {"INFO ProgramInfo n/a 0 0"}, kNothing, nullptr},
        {false, "CMD GetProgramInfo", {"INFO ProgramInfo n/a 0 0"}, kNothing, nullptr},
        {false, "CMD GetLogicProgramInfo", {"INFO LogicProgramInfo n/a 0 0"}, kNothing, nullptr},
        {true, "CMD GetLogicProgramInfo", {"INFO LogicProgramInfo n/a 0 0"}, kNothing, nullptr},
        {true, "CMD GetProgramName 0", {"INFO ProgramName sub/ 0 1"}, kNothing, nullptr},
        {false, "CMD GetProgramName 1", {"INFO ProgramName n/a 1 1"}, kNothing, nullptr},
        {true, "CMD GetProgramName", kUnparsed, kNothing, nullptr},
        {true, "CMD LoadProgram sub/ok.xml", kAck, kNothing,
         [&](HvpRobotFixture& f) {
             IPO& ipo = f.master->GetMainInterpreter();
             ASSERT_TRUE(HvpTest::WaitFor([&] { return !ipo.IsLoading() && ipo.IsProgramLoaded(); }));
             keepsOk(f);
         }},
        // A missing or refused name touches nothing: the loaded program stays.
        {true, "CMD LoadProgram", kUnparsed, kNothing, keepsOk},
        {true, "CMD LoadProgram ../x.xml", kUnparsed, kNothing, keepsOk},
        {true, "CMD LoadProgram /etc/x.xml", kUnparsed, kNothing, keepsOk},
        {true, "CMD LoadProgram nowhere/", kUnparsed, kNothing, keepsOk},
        {false, "CMD LoadProgram x.xml", kNone, kNothing, keepsOk},
        {true, "CMD StartAt ../sub/ok.xml 0", Error("invalid command"), kNothing, keepsOk},
        {true, "CMD LoadLogicProgram", Error("could not load logic program"), kNothing, nullptr},
        {true, "CMD LoadLogicProgram ../x.xml", Error("could not load logic program"), kNothing, nullptr},
        {false, "CMD LoadLogicProgram x.xml", kNone, kNothing, nullptr},
        {true, "CMD LoadLogicProgram none.xml", kAck, kNothing,
         [](HvpRobotFixture& f) {
             IPO& logic = f.master->GetLogicInterpreter();
             EXPECT_EQ(logic.GetReplayMode(), IPO::REPLAY_REPEAT);
             EXPECT_EQ(logic.GetName(), "LogicIPO");
             logic.Stop(IPO::STOP_USER, "");
         }},
        {true, "CMD StartAt main.xml", Error("invalid command"), kNothing, nullptr},
        {true, "CMD StartAt ../main.xml 0", Error("invalid command"), kNothing, nullptr},
        {true, "CMD StartAt main.xml x", Error("invalid command"), kNothing, nullptr},
        {false, "CMD StartAt main.xml 0", kNone, kNothing, nullptr},
        {true, "CMD UploadFileInit", kUnparsed, kNothing, nullptr},
        {false, "CMD UploadFileInit p.txt 1", kNone, kNothing, nullptr},
        {false, "CMD UploadFileLine a", kNone, kNothing, nullptr},
        {false, "CMD UploadFileFinish", kNone, kNothing,
         [&](HvpRobotFixture&) { EXPECT_FALSE(fs::exists(root + "Data/p.txt")); }},
        {true, "CMD UploadFileInit p.txt 1", kNone, kNothing, nullptr},
        {true, "CMD UploadFileLine   one  ", kNone, kNothing, nullptr},
        {true, "CMD UploadFileFinish", kNone, kNothing,
         [&](HvpRobotFixture&) { EXPECT_EQ(TestSupport::ReadWholeFile(root + "Data/p.txt"), "  one  \n"); }},
    };
    RunRows(rows);
    EXPECT_FALSE(master->GetMainInterpreter().IsReplayRunning());
    EXPECT_TRUE(fs::exists(sentinel));
}

// What the program, move, VAR and PROG handlers hand to the controller: the call and its
// values, and the answer to a refusal (their effect on a robot master is the tables below).
TEST_F(HvpServerKeywordsConcurrent, ProgramMoveVarAndProgHandTheirValuesOver) {
    using Calls = std::vector<std::string>;
    auto made = [](const Calls& calls) {
        return [calls](HvpRobotFixture& f) { EXPECT_EQ(f.recording.Commands(), calls); };
    };
    auto set = [](std::function<void(TestSupport::RecordingPort&)> change) {
        return [change](HvpRobotFixture& f) { change(f.recording); };
    };
    recording.variables["counter"] = Programs::MemoryPosition("counter", 5.0, false);
    recording.variables["p"] = Programs::MemoryPosition("p", DataTypes::RobotState(), false);
    const std::vector<Row> rows = {
        {true, "CMD Move Joint 0 0 90 0 90 0 1 2 3 50", kAck, kNothing,
         made({"StartDirectMove 0 0 0 90 0 90 0 1 2 3 50 HVP-Server: Move Joint"})},
        {true, "CMD Move Cart 400 0 500 0 90 0 0 0 0 20", kAck, kNothing,
         made({"StartDirectMove 2 400 0 500 0 90 0 0 0 0 20 HVP-Server: Move Cart"})},
        {true, "CMD Move RelativeTool 0 0 5 0 0 0 0 0 0 20", kAck, kNothing,
         made({"StartDirectMove 4 0 0 5 0 0 0 0 0 0 20 HVP-Server: Move RelativeTool"})},
        {true, "CMD Move Stop", kAck, kNothing, made({"StopDirectMove"})},
        {true, "CMD Move Joint 0 0 90 0 90 0 0 0 0", Error("incomplete move command"), kNothing, made({})},
        {true, "CMD StartProgramWithOffset 1 2 3", kAck, {2, kArg},
         made({"SetProgramOffsets 1 2 3 0 0 0 0 0 0 0 0 0 0 0 0"})},
        {true, "CMD StartProgram", kAck, {2, kArg}, made({"ResetProgramOffsets"})},
        {true, "CMD DeleteProgram", kAck, kNothing, made({"DeleteProgram 0"})},
        {true, "CMD DeleteLogicProgram", kAck, kNothing, made({"DeleteProgram 1"})},
        {true, "CMD DeleteProgramFromFileSystem gone.xml", kAck, kNothing, made({"DeleteProgramFile gone.xml"})},
        {true, "CMD DeleteProgramFromFileSystem ../gone.xml", kUnparsed, kNothing, made({})},
        {true, "CMD LoadProgram sub/ok.xml", kAck, kNothing,
         [](HvpRobotFixture& f) {
             EXPECT_EQ(f.recording.Commands(), Calls{"LoadProgramByName 0 sub/ok.xml"});
             EXPECT_TRUE(f.project.IsUpdatePending());
             f.recording.namedLoad = Control::NamedLoad::Refused;
         }},
        {true, "CMD LoadProgram x.xml", kUnparsed, kNothing,
         [](HvpRobotFixture& f) { f.recording.namedLoad = Control::NamedLoad::Folder; }},
        {true, "CMD LoadLogicProgram sub/", kAck, kNothing, made({"LoadProgramByName 1 sub/"})},
        {true, "CMD StartAt main.xml 2", kAck, kNothing,
         [](HvpRobotFixture& f) {
             EXPECT_EQ(f.recording.Commands(), (Calls{"RefuseWhileEStop HVP-Server: StartAt", "StartAt main.xml 2"}));
             f.recording.startAtRefusal = "program is running";
         }},
        {true, "CMD StartAt main.xml 3", Error("invalid command"), kNothing, set([](TestSupport::RecordingPort& p) {
             p.startAtRefusal.clear();
             p.eStop = true;
         })},
        {true, "CMD StartAt main.xml 4", Error("invalid command"), kNothing,
         made({"RefuseWhileEStop HVP-Server: StartAt"})},
        {true, "CMD Move Joint 0 0 90 0 90 0 0 0 0 50", Error("E-Stop detected"), kNothing,
         set([](TestSupport::RecordingPort& p) { p.eStop = false; })},
        {true, "VAR SetVariableSingle Counter 7", kAck, kNothing, made({"SetExistingNumber counter 7"})},
        {true, "VAR SetVariableSingle nothere 7", Error("variable_not_known"), kNothing,
         set([](TestSupport::RecordingPort& p) { p.throwOnStore = 22; })},
        {true, "VAR SetVariablePosCart p 99999 0 0 0 0 0 0 0 0", Error("Out of reach"), kNothing,
         [](HvpRobotFixture& f) {
             EXPECT_EQ(f.recording.CommandsNamed("ReplacePosition"), Calls{"ReplacePosition p 2"});
             f.recording.throwOnStore = 0;
         }},
        {true, "VAR SetVariablePosJoint p 1 2 3 4 5 6 7 8 9", kAck, kNothing,
         [](HvpRobotFixture& f) {
             EXPECT_EQ(f.recording.CommandsNamed("ReplacePosition"), Calls{"ReplacePosition p 1"});
             EXPECT_FLOAT_EQ(f.recording.variables.at("p").state.jointSet[8], 9.0f);
         }},
        {true, "PROG 7 JOINT 1 2 3 4 5 6 EXT 7 8 9 VEL 50", {"PROGACK 5 7"}, kNothing,
         [](HvpRobotFixture& f) {
             ASSERT_EQ(f.recording.taught.size(), 1u);
             const Control::TaughtCommand& c = f.recording.taught.back();
             EXPECT_EQ(c.kind, Control::TaughtCommand::Joint);
             EXPECT_EQ(c.id, 7);
             EXPECT_EQ(std::vector<float>(c.values, c.values + 10),
                       (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 50}));
         }},
        {true, "PROG 8 DOUT 3 True", {"PROGACK 5 8"}, kNothing,
         [](HvpRobotFixture& f) {
             const Control::TaughtCommand& c = f.recording.taught.back();
             EXPECT_EQ(c.kind, Control::TaughtCommand::DOut);
             EXPECT_EQ(c.channel, 3);
             EXPECT_TRUE(c.on);
             f.recording.teachAccepted = false;
         }},
        // The interpreter refuses it: not appended, and the client hears so.
        {true, "PROG 9 WAIT 500", {"PROGERROR 5 9 incomplete_argument"}, kNothing,
         made({"AppendTaughtCommand 6 9"})},
    };
    RunRows(rows);
}

TEST_F(HvpKeywordsConcurrent, MoveKeywords) {
    IPO& moveTo = master->GetMoveToInterpreter();
    auto moving = [&](bool loaded) {
        return [&moveTo, loaded](HvpRobotFixture&) {
            EXPECT_EQ(moveTo.IsProgramLoaded(), loaded);
            if (loaded) {
                EXPECT_TRUE(moveTo.IsReplayRunning());
            }
            moveTo.Stop(IPO::STOP_USER, "");
            moveTo.DeleteAll();
        };
    };
    const std::vector<Row> rows = {
        {true, "CMD Move Joint 0 0 90 0 90 0 0 0 0 50", kAck, kNothing, moving(true)},
        {true, "CMD Move Joint 0 0 90 0 90 0 0 0 0", Error("incomplete move command"), kNothing, moving(false)},
        {true, "CMD Move Joint nan 0 90 0 90 0 0 0 0 50", Error("incomplete move command"), kNothing, moving(false)},
        {true, "CMD Move Cart 400 0 500 0 90 0 0 0 0 20", kAck, kNothing, moving(true)},
        {true, "CMD Move RelativeJoint 1 0 0 0 0 0 0 0 0 20", kAck, kNothing, moving(true)},
        {true, "CMD Move RelativeBase 0 0 -5 0 0 0 0 0 0 20", kAck, kNothing, moving(true)},
        {true, "CMD Move RelativeTool 0 0 5 0 0 0 0 0 0 20", kAck, kNothing, moving(true)},
        {true, "CMD Move RelativeTool 0 0 5 0 0 0 0 0 0 inf", Error("incomplete move command"), kNothing,
         moving(false)},
        {true, "CMD Move Sideways 1 2 3", Error("invalid move command"), kNothing, moving(false)},
        {true, "CMD Move", Error("incomplete move command"), kNothing, moving(false)},
        {true, "CMD Move Stop", kAck, kNothing, moving(false)},
        {false, "CMD Move Joint 0 0 90 0 90 0 0 0 0 50", kNone, kNothing, moving(false)},
        {false, "CMD Move Stop", kNone, kNothing, nullptr},
    };
    RunRows(rows);
}

TEST_F(HvpKeywordsConcurrent, VarMessages) {
    LogSingleton* log = LogSingleton::instance();
    const std::string pBefore = PosReply("p");
    auto number = [](double value) {
        return [value](HvpRobotFixture& f) {
            EXPECT_DOUBLE_EQ(f.master->GetProgramMemory().GetVariable("counter").value, value);
        };
    };
    auto pUnchanged = [&](HvpRobotFixture&) { EXPECT_EQ(PosReply("p"), pBefore); };
    const std::vector<Row> rows = {
        {true, "VAR GetNrVariable Counter", {"VARINFO ValueNrVariable counter 5"}, kNothing, nullptr},
        {false, "VAR GetNrVariable counter", {"VARINFO ValueNrVariable counter 5"}, kNothing, nullptr},
        {true, "VAR GetNrVariable nothere", {"VARERROR ValueNrVariable nothere variable_not_known"}, kNothing,
         nullptr},
        {true, "VAR GetPosVariable P", {pBefore}, kNothing, nullptr},
        {false, "VAR GetPosVariable p", {pBefore}, kNothing, nullptr},
        {true, "VAR GetPosVariable nothere", {"VARERROR ValuePosVariable nothere variable_not_known"}, kNothing,
         nullptr},
        {true, "VAR GetNrVariable", kNone, kNothing, nullptr},
        {true, "VAR GetPosVariable", kNone, kNothing, nullptr},
        {true, "VAR GetSystemVariable 4",
         {"VARINFO ValueSystemVariable 4 Value " + std::to_string(log->GetSystemVar(4))}, kNothing, nullptr},
        {false, "VAR GetSystemVariable 7", {"VARINFO ValueSystemVariable 7 Value -1"}, kNothing, nullptr},
        {true, "VAR GetSystemVariable -2", {"VARERROR ValueSystemVariable -2 variable_not_known"}, kNothing,
         nullptr},
        {true, "VAR GetSystemVariable x", {"VARERROR ValueSystemVariable -1 variable_not_known"}, kNothing,
         nullptr},
        {true, "VAR GetPersistentNrVariable", kNone, kNothing, nullptr},
        {false, "VAR GetPersistentNrVariable", kNone, kNothing, nullptr},
        {false, "VAR SetVariableSingle counter 9", kNone, kNothing, number(5.0)},
        {true, "VAR SetVariableSingle Counter 7", kAck, kNothing, number(7.0)},
        {true, "VAR SetVariableSingle newvar 1", Error("variable_not_known"), kNothing,
         [](HvpRobotFixture& f) { EXPECT_FALSE(f.master->GetProgramMemory().HasVariable("newvar")); }},
        {true, "VAR SetVariableSingle counter", Error("wrong_nr_of_arguments_in_cmd"), kNothing, number(7.0)},
        {true, "VAR SetVariableSingle counter nan", Error("wrong_nr_of_arguments_in_cmd"), kNothing, number(7.0)},
        {true, "VAR SetVariablePosJoint p 0 0 90 0 90 0 0 0", Error("wrong_nr_of_arguments_in_cmd"), kNothing,
         pUnchanged},
        {true, "VAR SetVariablePosCart p 1 2 3 4 5 6 7 8 inf", Error("wrong_nr_of_arguments_in_cmd"), kNothing,
         pUnchanged},
        {true, "VAR SetVariablePosCart p 99999 0 0 0 0 0 0 0 0", Error("Out of reach"), kNothing, pUnchanged},
        {false, "VAR SetVariablePosJoint p 0 0 90 0 90 0 0 0 0", kNone, kNothing, pUnchanged},
        {false, "VAR SetVariablePosCart p 1 2 3 4 5 6 7 8 9", kNone, kNothing, pUnchanged},
        {true, "VAR SetVariablePosJoint nothere 0 0 90 0 90 0 0 0 0", Error("variable_not_known"), kNothing,
         nullptr},
        {true, "VAR SetVariablePosJoint p 0 0 90 0 90 0 0 0 0", kAck, kNothing,
         [](HvpRobotFixture& f) {
             EXPECT_NEAR(f.master->GetProgramMemory().GetVariable("p").state.jointSet[2], 90.0f, 1e-4);
         }},
        // Names are not cut to a buffer.
        {true, "VAR GetNrVariable " + std::string(900, 'N'),
         {"VARERROR ValueNrVariable " + std::string(900, 'n') + " variable_not_known"}, kNothing, nullptr},
        {true, "VAR SetVariableSingle counter" + std::string(600, 'x') + " 1", Error("variable_not_known"), kNothing,
         number(7.0)},
        {true, "VAR NoSuchKeyword x", kNone, kNothing, nullptr},
        {false, "VAR NoSuchKeyword x", kNone, kNothing, nullptr},
    };
    RunRows(rows);
}

TEST_F(HvpKeywordsConcurrent, ProgLines) {
    auto last = [](int count, std::function<void(Command&)> what) {
        return [count, what](HvpRobotFixture& f) {
            auto& t = static_cast<HvpKeywordsConcurrent&>(f);
            EXPECT_EQ(t.ProgramCommands(), count);
            auto command = t.LastTaught();
            ASSERT_NE(command, nullptr);
            if (what) what(*command);
        };
    };
    auto count = [](int n) {
        return [n](HvpRobotFixture& f) { EXPECT_EQ(static_cast<HvpKeywordsConcurrent&>(f).ProgramCommands(), n); };
    };
    const std::vector<Row> rows = {
        {true, "PROG 7 WAIT 500", {"PROGACK 5 7"}, kNothing,
         last(1, [](Command& c) { EXPECT_EQ(dynamic_cast<CommandWait&>(c).waitTime, 500); })},
        {true, "PROG 8 JOINT 0 0 90 0 90 0 EXT 0 0 0 VEL 50", {"PROGACK 5 8"}, kNothing,
         last(2, [](Command& c) {
             auto& joint = dynamic_cast<CommandJoint&>(c);
             EXPECT_EQ(joint.number, 8);
         })},
        {true, "PROG 7 JOINT 1 2 3 4 5 EXT 0 0 0 VEL 50", {"PROGERROR 5 7 incomplete_argument"}, kNothing, count(2)},
        {true, "PROG 7 joint 1 2 3 4 5 6 EXT 0 0 0 VEL 50", {"PROGERROR 0 0 unknown_command"}, kNothing, count(2)},
        {true, "PROG 9 RELATIVEJOINT 1 0 0 0 0 0 EXT 0 0 0 VEL 20", {"PROGACK 5 9"}, kNothing, count(3)},
        {true, "PROG 10 LINEAR 400 0 500 0 90 0 EXT 0 0 0 VELMMS 50", {"PROGACK 5 10"}, kNothing,
         last(4, [](Command& c) { EXPECT_FLOAT_EQ(dynamic_cast<CommandLinear&>(c).velCartesian, 75.0f); })},
        {true, "PROG 10 LINEAR 400 0 500 0 90 0 EXT 0 0 0 VEL 50", {"PROGERROR 5 10 incomplete_argument"}, kNothing,
         count(4)},
        {true, "PROG 11 RELATIVELINEAR 0 0 5 20", {"PROGACK 5 11"}, kNothing, count(5)},
        {true, "PROG 12 RELATIVETOOL 0 0 5 20", {"PROGACK 5 12"}, kNothing, count(6)},
        {true, "PROG 13 GRIPPER 10 20 30", {"PROGACK 5 13"}, kNothing, count(7)},
        {true, "PROG 14 DOUT 3 True", {"PROGACK 5 14"}, kNothing, last(8, [](Command& c) {
             auto& dio = dynamic_cast<CommandDIO&>(c);
             EXPECT_EQ(dio.channel, 3);
             EXPECT_TRUE(dio.state);
         })},
        {true, "PROG 15 DOUT 3 on", {"PROGACK 5 15"}, kNothing,
         last(9, [](Command& c) { EXPECT_FALSE(dynamic_cast<CommandDIO&>(c).state); })},
        {true, "PROG 7 DOUT 64 true", {"PROGERROR 5 7 incomplete_argument"}, kNothing, count(9)},
        {true, "PROG 7 DOUT -1 true", {"PROGERROR 5 7 incomplete_argument"}, kNothing, count(9)},
        {true, "PROG 7 WAIT nan", {"PROGERROR 5 7 incomplete_argument"}, kNothing, count(9)},
        {true, "PROG x WAIT 5", {"PROGERROR 5 0 incomplete_argument"}, kNothing, count(9)},
        {true, "PROG 7 GRIPPER 1 2", {"PROGERROR 5 7 incomplete_argument"}, kNothing, count(9)},
        {false, "PROG 16 WAIT 500", kNone, kNothing, count(9)},
        // The state word is compared whole, however long.
        {true, "PROG 17 DOUT 4 true" + std::string(40, 'x'), {"PROGACK 5 17"}, kNothing,
         last(10, [](Command& c) { EXPECT_FALSE(dynamic_cast<CommandDIO&>(c).state); })},
    };
    RunRows(rows);
}

// The 12-digit counter form and the teach-in example: counter and id come back as sent.
TEST_F(HvpKeywordsConcurrent, ProgAnswersWithTheClientsCounterAndId) {
    EXPECT_EQ(Replies(*active, "PROG 7 WAIT 500", 12), std::vector<std::string>{"PROGACK 12 7"});
    EXPECT_EQ(Replies(*active, "PROG 7 DOUT 64 true", 13),
              std::vector<std::string>{"PROGERROR 13 7 incomplete_argument"});
}

// While the main program runs: outputs are refused and a start point is refused by the
// interpreter; the refusal is an answer, the connection stays.
TEST_F(HvpKeywordsConcurrent, RefusalsWhileTheProgramRunsAreAnswersAndTheClientStays) {
    master->GetMainInterpreter().SetReplayRunning(true);
    EXPECT_EQ(Replies(*active, "CMD DOUT 5 true"), Error("can not set DOut while program is running"));
    EXPECT_EQ(active->server->TakeCommand().code, 0);
    EXPECT_EQ(Replies(*active, "CMD StartAt main.xml 0"), Error("invalid command"));
    master->GetMainInterpreter().SetReplayRunning(false);
    EXPECT_TRUE(active->server->IsConnected());
    EXPECT_EQ(Replies(*active, "CMD GetProgramInfo"), std::vector<std::string>{"INFO ProgramInfo n/a 0 0"});
}

// The table holds robot joints, grippers, external axes, platform joints and I/O modules
// in that order; only robot joints and external axes are referenced, any other index is
// refused and references nothing.
TEST_F(HvpServerKeywordsConcurrent, ReferenceSingleJointTakesOnlyJointsAndExternalAxes) {
    recording.SetRoles(4, 1, 2, 1, 2);
    ASSERT_EQ(recording.modules.total, 10);
    const struct {
        int index;
        bool referenced;
    } cases[] = {
        {-1, false}, {0, true}, {1, true}, {2, true}, {3, true},  // robot joints
        {4, false},                                               // gripper
        {5, true}, {6, true},                                     // external axes
        {7, false},                                               // platform joint
        {8, false}, {9, false},                                   // I/O modules
        {10, false},                                              // past the end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        recording.Clear();
        EXPECT_EQ(Replies(*active, "CMD ReferenceSingleJoint " + std::to_string(c.index)), c.referenced ? kAck : kUnparsed);
        const auto calls = recording.CommandsNamed("ReferenceJoint");
        if (c.referenced) {
            EXPECT_EQ(calls, std::vector<std::string>{"ReferenceJoint " + std::to_string(c.index)});
        } else {
            EXPECT_TRUE(calls.empty());
        }
    }
}

TEST_F(HvpServerKeywordsConcurrent, ReferencingSlotsPutExternalAxesFromSlotSix) {
    recording.SetRoles(4, 0, 2, 0, 0);
    for (int i = 0; i < 6; ++i) recording.modules.referenceStatus[i] = true;
    recording.modules.referenceState = 1;
    EXPECT_EQ(Replies(*passive, "CMD GetReferencingInfo"),
              std::vector<std::string>{"INFO ReferencingInfo 1 Joints 1 1 1 1 0 0 1 1 0 0 0 0"});
}

// Without a kinematic the store cannot solve: the client gets the store's text, the
// variable stays as it was and the connection stays.
TEST_F(HvpKeywordsConcurrent, PositionSettersWithoutAKinematicAnswerTheStoresText) {
    const std::string before = PosReply("p");
    master->GetProgramMemory().SetKinematic(nullptr);
    EXPECT_EQ(Replies(*active, "VAR SetVariablePosCart p 400 0 500 0 90 0 0 0 0"),
              Error("ProgramMemory: cannot compute the joints of variable p: no kinematic or robot state set yet"));
    EXPECT_EQ(Replies(*active, "VAR SetVariablePosJoint p 0 0 90 0 90 0 0 0 0"),
              Error("ProgramMemory: cannot compute the pose of variable p: no kinematic set yet"));
    EXPECT_EQ(PosReply("p"), before);
    EXPECT_TRUE(active->server->IsConnected());
}

// The Cartesian setter solves for the orientation sent: the stored joints give back the new
// A through the forward kinematic; a failed solve leaves the variable as it was.
TEST_F(HvpKeywordsConcurrent, SetVariablePosCartSolvesForTheOrientationSent) {
    Programs::ProgramMemory& memory = master->GetProgramMemory();
    const Programs::MemoryPosition p = memory.GetVariable("p");
    const float x = p.state.pose.m[3], y = p.state.pose.m[7], z = p.state.pose.m[11];
    const float a = p.state.A + 10.0f;
    std::ostringstream body;
    body << "VAR SetVariablePosCart p " << x << ' ' << y << ' ' << z << ' ' << a << ' ' << p.state.B << ' '
         << p.state.C << " 0 0 0";
    ASSERT_EQ(Replies(*active, body.str()), kAck);

    const Programs::MemoryPosition stored = memory.GetVariable("p");
    std::unique_ptr<RobotKinematic> kin = master->GetKinematic()->clone();
    float joints[9];
    std::copy(stored.state.jointSet, stored.state.jointSet + 9, joints);
    kin->SetJoints(joints, false);
    DataTypes::RobotState forward;
    kin->GetPosition(&forward);
    forward.UpdateABC();
    EXPECT_NEAR(forward.A, a, 0.05);
    EXPECT_NEAR(forward.B, p.state.B, 0.05);
    EXPECT_NEAR(forward.C, p.state.C, 0.05);
    EXPECT_NEAR(forward.pose.m[3], x, 0.05);
    EXPECT_NEAR(forward.pose.m[11], z, 0.05);

    const std::string solved = PosReply("p");
    EXPECT_EQ(Replies(*active, "VAR SetVariablePosCart p 99999 0 0 0 0 0 0 0 0", 6),
              std::vector<std::string>{"CMDERROR 6 Out of reach"});
    EXPECT_EQ(PosReply("p"), solved);
    EXPECT_EQ(Replies(*active, "VAR GetPosVariable p"), std::vector<std::string>{solved});
}

}  // namespace
