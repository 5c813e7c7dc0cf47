// The controller process as a whole: the real binary in a temporary data root, with the
// shut-down log set so that nothing can power anything off.

#include "app_process_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifdef BELVANTO_BINARY

namespace {

namespace fs = std::filesystem;
using AppTest::BelvantoProcess;
using AppTest::CountOf;
using AppTest::ExpectOrderlyExit;
using AppTest::StampsOf;

const char* const kFrontendMissing = "ERROR: 1 JXRFrontend.xml missing";
const char* const kConnecting = "***************** Connecting CAN bus... ******************";

TEST(AppProcess, WithoutFrontendReportsEveryTwoSecondsAndEndsOnSigterm) {
    BelvantoProcess p;
    p.Start({});
    ASSERT_TRUE(p.WaitForOutput([](const std::string& o) { return CountOf(o, kFrontendMissing) >= 2; }, 20000))
        << p.Output();
    ASSERT_NO_FATAL_FAILURE(AppTest::ExpectExitOnSigterm(p));

    const std::string out = p.Output();
    EXPECT_NE(out.find("V980-13-030"), std::string::npos);
    EXPECT_NE(out.find("Board Type: "), std::string::npos);
    EXPECT_EQ(out.find("RobotMainLoop is executing"), std::string::npos) << "no robot loop without a project";
    const std::vector<long> stamps = StampsOf(out, kFrontendMissing);
    ASSERT_GE(stamps.size(), 2u);
    for (size_t i = 1; i < stamps.size(); ++i) {
        EXPECT_GE(stamps[i] - stamps[i - 1], 1900) << out;
        EXPECT_LE(stamps[i] - stamps[i - 1], 20000) << out;
    }
    ExpectOrderlyExit(out);
    // The stored counters were never read, so they are not overwritten either.
    EXPECT_FALSE(fs::exists(p.root + "/variableStorage.xml"));
}

TEST(AppProcess, WithoutHubTriesTheBusFiveTimesThenRunsAndSavesOnSigterm) {
    BelvantoProcess p;
    p.CopyDataRoot(std::string(BELVANTO_FIXTURES_DIR) + "/app");
    p.Start({"BELVANTO_CAN_HUB=" + p.dir + "/no_hub.sock"});

    // The first status line comes after the tries: the loop kept running without the bus.
    ASSERT_TRUE(p.WaitForOutput([](const std::string& o) { return o.find("Prog: ") != std::string::npos; }, 30000))
        << p.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_NO_FATAL_FAILURE(AppTest::ExpectExitOnSigterm(p));

    const std::string out = p.Output();
    EXPECT_EQ(CountOf(out, kConnecting), 5) << out;
    const std::vector<long> stamps = StampsOf(out, kConnecting);
    for (size_t i = 1; i < stamps.size(); ++i) {
        EXPECT_GE(stamps[i] - stamps[i - 1], 900) << out;
        EXPECT_LE(stamps[i] - stamps[i - 1], 10000) << out;
    }
    EXPECT_NE(out.find("RobotMainLoop is executing"), std::string::npos);
    EXPECT_NE(out.find("Prog: None, None"), std::string::npos) << "no program in this project";
    ExpectOrderlyExit(out);
    EXPECT_TRUE(fs::exists(p.root + "/variableStorage.xml"));
    EXPECT_FALSE(fs::exists(p.shutdownLog)) << "nothing asked for a power-off";
}

TEST(AppProcess, ExceptionInAPassEndsWithNonZeroStatus) {
    BelvantoProcess p;
    p.Start({"BELVANTO_TEST_THROW_IN_PASS=1"});
    const int status = p.WaitForExit(20000);
    ASSERT_NE(status, -1) << "belvanto did not end after the exception";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal instead of its own exit";
    EXPECT_NE(WEXITSTATUS(status), 0);
    const std::string out = p.Output();
    EXPECT_NE(out.find("MAIN LOOP EXCEPTION: "), std::string::npos) << out;
    EXPECT_NE(out.find("Error in Main Loop: "), std::string::npos) << out;
    EXPECT_NE(out.find("Belvanto: Exiting..."), std::string::npos) << out;
}

TEST(AppProcess, OverrideKeyThroughAPipeReachesTheProjectFileAfterTheDebounce) {
    BelvantoProcess p;
    p.CopyDataRoot(std::string(BELVANTO_FIXTURES_DIR) + "/app");
    const std::string project = p.root + "/Data/Projects/App.prj";
    ASSERT_EQ(AppTest::ReadFile(project).find("Override="), std::string::npos) << "the console starts at 40";
    p.Start({"BELVANTO_CAN_HUB=" + p.dir + "/no_hub.sock"}, true);
    ASSERT_TRUE(p.WaitForOutput([](const std::string& o) { return o.find("RobotMainLoop is executing") != std::string::npos; },
                                30000))
        << p.Output();
    ASSERT_TRUE(p.Type("o\n"));

    // Debounce: 3 s without a further change (15 s at most), checked with the status lines.
    const bool written = AppTest::WaitUntil(
        [&] { return AppTest::ReadFile(project).find("Override=\"50\"") != std::string::npos; }, 60000);
    EXPECT_TRUE(written) << AppTest::ReadFile(project) << "\n" << p.Output();
    EXPECT_FALSE(p.HasExited()) << p.Output();
    ASSERT_NO_FATAL_FAILURE(AppTest::ExpectExitOnSigterm(p));
    ExpectOrderlyExit(p.Output());
    EXPECT_NE(AppTest::ReadFile(project).find("Override=\"50\""), std::string::npos);
    EXPECT_FALSE(fs::exists(project + "_tmp"));
}

// A kill during a write-back leaves "<file>.tmp" (or an older writer's "<file>_tmp") beside
// the file; the start-up removes those of every file the controller writes by rename, and
// nothing else.
TEST(AppProcess, StartupRemovesStaleTemporariesAndLeavesTheFilesAlone) {
    BelvantoProcess p;
    p.CopyDataRoot(std::string(BELVANTO_FIXTURES_DIR) + "/app");
    const std::string storage = p.root + "/variableStorage.xml";
    std::ofstream(storage) << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Data>\n"
                              "<SystemVariables UpTimeComplete=\"5\" UpTimeLast=\"0\" UpTimeEnabled=\"0\" "
                              "UpTimeMotion=\"0\" ProgramStarts=\"3\"/>\n</Data>\n";
    fs::create_directories(p.root + "/Data/Programs");
    const std::string program = p.root + "/Data/Programs/storage01.xml";
    std::ofstream(program) << "<Program></Program>";
    const std::string identity = p.root + "/deviceIdentity.txt";
    std::ofstream(identity) << "0123456789abcdef0123456789abcdef\n";
    const std::vector<std::string> written = {p.root + "/Data/Projects/App.prj",
                                              p.root + "/Data/Robots/AppBot/AppBot.xml", storage, identity, program};
    std::vector<std::string> kept;
    for (const std::string& file : written) {
        kept.push_back(AppTest::ReadFile(file));
        std::ofstream(file + ".tmp") << "<half";
    }
    std::ofstream(written[0] + "_tmp") << "<half";
    // Temporaries of no file the controller writes stay.
    const std::string foreign = p.root + "/Data/Programs/mine.xml.tmp";
    std::ofstream(foreign) << "mine";

    p.Start({"BELVANTO_CAN_HUB=" + p.dir + "/no_hub.sock"});
    ASSERT_TRUE(p.WaitForOutput([](const std::string& o) { return o.find("RobotMainLoop is executing") != std::string::npos; },
                                30000))
        << p.Output();
    const std::string out = p.Output();
    for (const std::string& file : written) {
        EXPECT_FALSE(fs::exists(file + ".tmp")) << file;
        EXPECT_NE(out.find("Removed stale temporary file '" + file + ".tmp'"), std::string::npos) << out;
    }
    EXPECT_FALSE(fs::exists(written[0] + "_tmp"));
    EXPECT_TRUE(fs::exists(foreign));
    for (size_t i = 0; i < written.size(); ++i) EXPECT_EQ(AppTest::ReadFile(written[i]), kept[i]) << written[i];
    ASSERT_NO_FATAL_FAILURE(AppTest::ExpectExitOnSigterm(p));
}

}  // namespace

#endif  // BELVANTO_BINARY
