#include "core/LogSingleton.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using TestSupport::ReadWholeFile;
using TestSupport::ScopedCwd;
using TestSupport::TempDataRoot;

namespace {

const char kStorageName[] = "variableStorage.xml";

std::vector<std::string> DrainTexts(LogSingleton& log) {
    std::vector<std::string> texts;
    std::string line;
    while (log.GetLogMessage(&line) > 0) {
        const size_t blank = line.find(' ');
        texts.push_back(blank == std::string::npos ? line : line.substr(blank + 1));
    }
    return texts;
}

int CountContaining(const std::vector<std::string>& texts, const std::string& fragment) {
    int n = 0;
    for (const auto& t : texts) n += t.find(fragment) != std::string::npos ? 1 : 0;
    return n;
}

// A data root as working directory with its own log object, so the counters file lands
// in the root.
class Storage : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = std::make_unique<LogSingleton>(std::chrono::milliseconds(0));
        DrainTexts(*log_);
    }
    std::string StoragePath() const { return root_.RootWithSlash() + kStorageName; }

    TempDataRoot root_;
    ScopedCwd cwd_{root_.Path()};
    std::unique_ptr<LogSingleton> log_;
};

const char kInput[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<Data>\n"
    "  <SystemVariables UpTimeComplete=\"1500\" UpTimeLast=\"77\" UpTimeEnabled=\"42\" "
    "UpTimeMotion=\"17\" ProgramStarts=\"9\"/>\n"
    "  <JointDirChanges J1=\"11\" J2=\"12\" J3=\"13\" J4=\"14\" J5=\"15\" J6=\"16\" J7=\"17\" "
    "J8=\"18\" J9=\"19\"/>\n"
    "  <UserVariables User1=\"5.5\" PartsGood=\"12\" PartsBad=\"3\"/>\n"
    "</Data>\n";

}  // namespace

TEST_F(Storage, ReadsLogsAndWritesTheGoldenLayout) {
    root_.WriteFile(kStorageName, kInput);
    log_->ReadVariablesFromStorage();
    const auto texts = DrainTexts(*log_);
    const std::vector<std::string> expected = {
        "Reading persistent variables from " + StoragePath(),
        "System Variable: UpTimeComplete =   1 days   01 h   00 min",
        "System Variable: UpTimeLast =       0 days   01 h   17 min",
        "System Variable: UpTimeEnabled =    0 days   00 h   42 min",
        "System Variable: UpTimeMotion =     0 days   00 h   17 min",
        "System Variable: ProgramStarts =    9",
        "System Variable: DirectionChanges = 11 12 13 14 15 16 17 18 19",
    };
    EXPECT_EQ(texts, expected);
    EXPECT_EQ(log_->GetSystemVar(SV_UpTimeLast), 0);  // counts this run only
    EXPECT_EQ(log_->PartsGood, 12);
    EXPECT_EQ(log_->PartsBad, 3);

    log_->IncreaseSystemVariables(SV_UpTimeComplete, 60000);
    log_->WriteVariablesToStorage(true);
    const std::string golden =
        ReadWholeFile(std::string(BELVANTO_FIXTURES_DIR) + "/core/variableStorage.golden.xml");
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(ReadWholeFile(StoragePath()), golden);
    EXPECT_FALSE(fs::exists(StoragePath() + ".tmp"));

    const std::string lint = "xmllint --noout '" + StoragePath() + "' 2>&1";
    EXPECT_EQ(std::system(lint.c_str()), 0);

    // A fresh object reads back what was written.
    LogSingleton reader(std::chrono::milliseconds(0));
    reader.ReadVariablesFromStorage();
    const std::pair<SystemVar, int> values[] = {
        {SV_UpTimeComplete, 1501}, {SV_UpTimeLast, 0},     {SV_UpTimeEnabled, 42},
        {SV_UpTimeMotion, 17},     {SV_ProgramStarts, 9},  {SV_DirChangesJ1, 11},
        {SV_DirChangesJ5, 15},     {SV_DirChangesJ9, 19},
    };
    for (const auto& v : values) EXPECT_EQ(reader.GetSystemVar(v.first), v.second) << v.first;
    EXPECT_EQ(reader.PartsGood, 12);
    EXPECT_EQ(reader.PartsBad, 3);
}

TEST_F(Storage, DamagedOrIncompleteFilesAreReported) {
    struct Case {
        const char* what;
        const char* content;  // nullptr: no file
        const char* error;
        int programStarts;  // 7 was set before reading
        int j1;
        int partsGood;
    };
    const Case cases[] = {
        {"no file", nullptr,
         "ERROR - variable Storage file not found - reseting persistent variables!", 7, 0, 0},
        {"not XML", "<Data><SystemVariables",
         "Could not read file storage file correctly! Reseting persistent variables!", 7, 0, 0},
        {"empty file", "",
         "Could not read file storage file correctly! Reseting persistent variables!", 7, 0, 0},
        {"other root", "<Other/>", "LogSingleton: line Data not found in variableStorage file!",
         7, 0, 0},
        {"no system variables",
         "<Data><JointDirChanges J1=\"5\"/><UserVariables PartsGood=\"4\"/></Data>",
         "LogSingleton: line SystemVariables not found in variableStorage file!", 7, 0, 0},
        {"no user variables",
         "<Data><SystemVariables UpTimeComplete=\"1\" UpTimeLast=\"1\" UpTimeEnabled=\"1\" "
         "UpTimeMotion=\"1\" ProgramStarts=\"2\"/><JointDirChanges J1=\"5\"/></Data>",
         "LogSingleton: line UserVariables not found in variableStorage file!", 2, 5, 0},
        {"no joint counters",
         "<Data><SystemVariables UpTimeComplete=\"1\" UpTimeLast=\"1\" UpTimeEnabled=\"1\" "
         "UpTimeMotion=\"1\" ProgramStarts=\"2\"/><UserVariables PartsGood=\"4\"/></Data>",
         "LogSingleton: line JointDirChanges not found in variableStorage file!", 2, 0, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDataRoot root;
        ScopedCwd cwd(root.Path());
        LogSingleton log(std::chrono::milliseconds(0));
        log.IncreaseSystemVariables(SV_ProgramStarts, 7);
        if (c.content != nullptr) root.WriteFile(kStorageName, c.content);
        DrainTexts(log);

        log.ReadVariablesFromStorage();
        const auto texts = DrainTexts(log);
        EXPECT_EQ(CountContaining(texts, c.error), 1);
        EXPECT_EQ(log.GetSystemVar(SV_ProgramStarts), c.programStarts);
        EXPECT_EQ(log.GetSystemVar(SV_DirChangesJ1), c.j1);
        EXPECT_EQ(log.PartsGood, c.partsGood);
    }
}

TEST_F(Storage, MissingAttributesAreEachReported) {
    root_.WriteFile(kStorageName, "<Data><SystemVariables/><UserVariables/><JointDirChanges/></Data>");
    log_->ReadVariablesFromStorage();
    const auto texts = DrainTexts(*log_);
    for (const char* name :
         {"UpTimeComplete", "UpTimeLast", "UpTimeEnabled", "UpTimeMotion", "ProgramStarts"}) {
        EXPECT_EQ(CountContaining(texts, std::string("SystemVariable ") + name +
                                             " not found: reset to 0!"),
                  1)
            << name;
    }
    EXPECT_EQ(CountContaining(texts, "System Variable: DirectionChanges = 0 0 0 0 0 0 0 0 0"), 1);
}

TEST_F(Storage, CountersGrowByKey) {
    struct Case {
        const char* what;
        std::vector<std::pair<int, unsigned>> calls;
        std::vector<std::pair<int, int>> expected;  // key, value; unlisted keys stay 0
    };
    const Case cases[] = {
        {"minute carried with remainder", {{0, 61000}, {0, 59000}},
         {{SV_UpTimeComplete, 2}, {SV_UpTimeLast, 2}}},
        {"one minute per call", {{0, 180000}}, {{SV_UpTimeComplete, 1}, {SV_UpTimeLast, 1}}},
        {"remainder kept for later calls", {{0, 180000}, {0, 0}, {0, 0}},
         {{SV_UpTimeComplete, 3}, {SV_UpTimeLast, 3}}},
        {"just below a minute", {{2, 59999}}, {}},
        {"enabled and motion", {{2, 60000}, {3, 30000}, {3, 30000}},
         {{SV_UpTimeEnabled, 1}, {SV_UpTimeMotion, 1}}},
        {"program starts", {{4, 3}, {4, 1}}, {{SV_ProgramStarts, 4}}},
        {"direction changes ignore amount", {{10, 99}, {18, 5}, {18, 0}},
         {{SV_DirChangesJ1, 1}, {SV_DirChangesJ9, 2}}},
        {"other keys do nothing", {{1, 600000}, {5, 1}, {9, 1}, {19, 1}, {-1, 1}}, {}},
    };
    const int keys[] = {0, 1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDataRoot root;
        ScopedCwd cwd(root.Path());
        LogSingleton log(std::chrono::milliseconds(0));
        for (const auto& call : c.calls) log.IncreaseSystemVariables(call.first, call.second);
        for (int key : keys) {
            int want = 0;
            for (const auto& e : c.expected) {
                if (e.first == key) want = e.second;
            }
            EXPECT_EQ(log.GetSystemVar(key), want) << "key " << key;
        }
    }
    for (int key : {5, 6, 9, 19, -1}) EXPECT_EQ(log_->GetSystemVar(key), -1) << key;
}

TEST_F(Storage, WritesAreThrottledUnlessForced) {
    log_->WriteVariablesToStorage();
    EXPECT_FALSE(fs::exists(StoragePath())) << "first write only 300 s after start";

    log_->PartsGood = 1;
    log_->WriteVariablesToStorage(true);
    const std::string first = ReadWholeFile(StoragePath());
    EXPECT_NE(first.find("PartsGood=\"1\""), std::string::npos);

    log_->PartsGood = 2;
    log_->WriteVariablesToStorage();
    EXPECT_EQ(ReadWholeFile(StoragePath()), first) << "throttled";

    log_->SetStorageWriteInterval(std::chrono::seconds(0));
    log_->WriteVariablesToStorage();
    EXPECT_NE(ReadWholeFile(StoragePath()).find("PartsGood=\"2\""), std::string::npos);
    EXPECT_FALSE(fs::exists(StoragePath() + ".tmp"));
}

// A write that fails (a full disk) stays due whatever the interval; the first failure of
// a run and the write that lands after it log one line each, a forced write always.
TEST_F(Storage, AFailedWriteStaysDueAndItsFailureAndLandingAreLoggedOnce) {
    TestSupport::WriteFault fault;
    const std::string failed = "LogSingleton: Could not write persistent variables to " + StoragePath() +
                               ": No space left on device; trying again";
    fault.Fail(true);
    log_->PartsGood = 5;
    EXPECT_FALSE(log_->WriteVariablesToStorage(true));
    EXPECT_FALSE(log_->WriteVariablesToStorage());  // due again, within the 300 s
    EXPECT_FALSE(fs::exists(StoragePath()));
    EXPECT_FALSE(fs::exists(StoragePath() + ".tmp"));
    auto texts = DrainTexts(*log_);
    EXPECT_EQ(CountContaining(texts, failed), 1) << "one line for the run";

    fault.Fail(false);
    EXPECT_TRUE(log_->WriteVariablesToStorage());
    EXPECT_NE(ReadWholeFile(StoragePath()).find("PartsGood=\"5\""), std::string::npos);
    texts = DrainTexts(*log_);
    EXPECT_EQ(CountContaining(texts, "LogSingleton: Persistent variables written to " + StoragePath() +
                                         " after 2 failed attempts"),
              1);
    log_->PartsGood = 6;
    EXPECT_TRUE(log_->WriteVariablesToStorage());
    EXPECT_NE(ReadWholeFile(StoragePath()).find("PartsGood=\"5\""), std::string::npos) << "throttled again";

    // The exit's forced write reports its failure even inside a run of failures.
    fault.Fail(true);
    EXPECT_FALSE(log_->WriteVariablesToStorage(true));
    EXPECT_FALSE(log_->WriteVariablesToStorage(true));
    EXPECT_EQ(CountContaining(DrainTexts(*log_), "Could not write persistent variables"), 2);
    EXPECT_NE(ReadWholeFile(StoragePath()).find("PartsGood=\"5\""), std::string::npos) << "old file kept whole";
}

TEST_F(Storage, WriteIntoMissingFolderIsReported) {
    fs::remove_all(root_.Path() + "/Data");  // the root stays as resolved at start
    fs::remove_all(root_.Path());
    EXPECT_FALSE(log_->WriteVariablesToStorage(true));
    EXPECT_EQ(CountContaining(DrainTexts(*log_), "Could not write persistent variables"), 1);
    fs::create_directories(root_.Path());  // for the fixture's clean-up
}

TEST_F(Storage, KilledWriterNeverLeavesAnUnreadableFile) {
    log_->WriteVariablesToStorage(true);  // a valid file exists before the first kill
    const std::regex layout(
        "<\\?xml version=\"1\\.0\" encoding=\"utf-8\"\\?>\n"
        "<!-- Storage for Belvanto persistent system and user variable -->\n"
        "<Data>\n"
        "<SystemVariables UpTimeComplete=\"0\" UpTimeLast=\"0\" UpTimeEnabled=\"0\" "
        "UpTimeMotion=\"0\" ProgramStarts=\"(\\d+)\"/>\n"
        "<JointDirChanges J1=\"0\" J2=\"0\" J3=\"0\" J4=\"0\" J5=\"0\" J6=\"0\" J7=\"0\" "
        "J8=\"0\" J9=\"0\"/>\n"
        "<UserVariables   User1=\"1\\.0\" User2=\"1\\.0\" User3=\"1\\.0\" User4=\"1\\.0\" "
        "User5=\"1\\.0\" User6=\"1\\.0\" User7=\"1\\.0\" User8=\"1\\.0\" User9=\"1\\.0\" "
        "User10=\"1\\.0\" PartsGood=\"0\" PartsBad=\"0\"/>\n"
        "</Data>\n");

    std::mt19937 random(12345);
    std::uniform_int_distribution<int> delayUs(0, 3000);
    int killedMidWrite = 0;
    for (int round = 0; round < 200; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(ready[0]);
            const char go = 'x';
            if (write(ready[1], &go, 1) != 1) _exit(2);
            while (true) {
                log_->IncreaseSystemVariables(SV_ProgramStarts, 1);
                log_->WriteVariablesToStorage(true);
            }
        }
        close(ready[1]);
        char go = 0;
        ASSERT_EQ(read(ready[0], &go, 1), 1);
        close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
        if (fs::exists(StoragePath() + ".tmp")) ++killedMidWrite;

        const std::string content = ReadWholeFile(StoragePath());
        std::smatch m;
        ASSERT_TRUE(std::regex_match(content, m, layout)) << "round " << round << ":\n"
                                                           << content;
        DrainTexts(*log_);
        log_->ReadVariablesFromStorage();
        const auto texts = DrainTexts(*log_);
        EXPECT_EQ(CountContaining(texts, "not found"), 0) << "round " << round;
        EXPECT_EQ(CountContaining(texts, "Could not read"), 0) << "round " << round;
        EXPECT_EQ(log_->GetSystemVar(SV_ProgramStarts), std::stoi(m[1]));
    }
    std::cout << "kills that hit a write in progress: " << killedMidWrite << " of 200\n";
}
