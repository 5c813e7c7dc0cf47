// What an operator sets over HVP stays set across a restart of the controller, also when
// the disk was full while it was set: a virtual box (project file), joint limits (robot
// file) and a parts counter (counters file). Writes fail through the write-fault seam
// while its flag file exists.

#include "../control/app_process_support.h"
#include "testsupport/HvpTestClient.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#if defined(BELVANTO_BINARY)

namespace {

namespace fs = std::filesystem;
using AppTest::BelvantoProcess;
using AppTest::ReadFile;
using TestSupport::HvpTestClient;

constexpr int kWaitMs = 60000;  // sanitizer builds start slowly; the project write is debounced

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

class PersistenceProcess : public ::testing::Test {
protected:
    void SetUp() override {
        p.CopyDataRoot(std::string(BELVANTO_FIXTURES_DIR) + "/app");
        flag = p.dir + "/write-fault";
        project = p.root + "/Data/Projects/App.prj";
        robotFile = p.root + "/Data/Robots/AppBot/AppBot.xml";
        storage = p.root + "/variableStorage.xml";
    }
    void TearDown() override {
        client.Close();
        p.Stop(10000);
    }

    void StartController() {
        p.Start({"BELVANTO_CAN_HUB=" + p.dir + "/no_hub.sock", "BELVANTO_WRITE_FAULT_FILE=" + flag});
        ASSERT_TRUE(p.WaitForOutput([](const std::string& o) { return Has(o, "RobotMainLoop is executing"); }, kWaitMs))
            << p.Output();
        ASSERT_TRUE(client.Connect(p.hvpPort, kWaitMs)) << p.Output();
        ASSERT_TRUE(client.WaitFor("CMD Active true", kWaitMs).has_value()) << p.Output();
    }
    void Fail(bool on) {
        if (on) {
            std::ofstream(flag) << "on\n";
        } else {
            fs::remove(flag);
        }
    }
    // A request; the payload that starts with answer, "" when none came.
    std::string Ask(const std::string& body, const std::string& answer) {
        EXPECT_TRUE(client.Send(++counter, body));
        const auto frame = client.WaitFor(answer, kWaitMs);
        return frame ? frame->payload : std::string();
    }
    // Reads the client's frames (so the server never sees a stalled client) until the
    // condition holds.
    bool WaitWhileReading(const std::function<bool()>& condition) {
        return client.WaitForFrame([&](const HvpTestClient::Frame&) { return condition(); }, kWaitMs).has_value() ||
               condition();
    }
    bool Message(const std::string& start) {
        return client.WaitForFrame([&](const HvpTestClient::Frame& f) { return f.payload.rfind("MESSAGE " + start, 0) == 0; },
                                   kWaitMs)
            .has_value();
    }

    BelvantoProcess p;
    HvpTestClient client;
    std::string flag, project, robotFile, storage;
    int counter = 100;
};

TEST_F(PersistenceProcess, SetsMadeWhileTheDiskIsFullAreWrittenOnceItWorksAndSurviveARestart) {
    ASSERT_NO_FATAL_FAILURE(StartController());
    const std::string projectBefore = ReadFile(project);
    const std::string robotBefore = ReadFile(robotFile);

    Fail(true);
    ASSERT_TRUE(client.Send(++counter, "CONFIG SetKinematicLimits -100 100 -50 450 -5 250"));
    EXPECT_TRUE(Message("Robot file " + robotFile + " could not be saved (No space left on device)")) << p.Output();
    ASSERT_TRUE(client.Send(++counter, "CONFIG SetVBox True -555 555 -444 444 0 777"));
    const std::string ack7 = "CMDACK " + std::to_string(counter + 1);
    EXPECT_EQ(Ask("VAR SetVariableSingle #parts-good 7", "CMDACK"), ack7);
    const std::string ack3 = "CMDACK " + std::to_string(counter + 1);
    EXPECT_EQ(Ask("VAR SetVariableSingle #Parts-Bad 3", "CMDACK"), ack3);
    // The running settings take the change at once.
    EXPECT_EQ(Ask("CONFIG GetVBox", "CONFIG VBox"), "CONFIG VBox True -555 555 -444 444 0 777");
    EXPECT_EQ(Ask("CONFIG GetKinematicLimits", "CONFIG KinematicLimits"),
              "CONFIG KinematicLimits -100 100 -50 450 -5 250");
    // The project write comes after its debounce, and fails too.
    EXPECT_TRUE(Message("Project file " + project + " could not be saved (")) << p.Output();
    EXPECT_EQ(ReadFile(project), projectBefore);
    EXPECT_EQ(ReadFile(robotFile), robotBefore);

    Fail(false);
    EXPECT_TRUE(WaitWhileReading([&] {
        return Has(ReadFile(project), "xMin=\"-555\"") && Has(ReadFile(robotFile), "A1Min=\"-100\"");
    })) << p.Output();
    EXPECT_TRUE(Message("Project file " + project + " saved after failed writes"));
    const std::string out = p.Output();
    EXPECT_TRUE(Has(out, "saved after failed writes")) << out;
    EXPECT_EQ(AppTest::CountOf(out, "ProjectManager: Error while updating project file"), 1) << out;
    EXPECT_EQ(AppTest::CountOf(out, "RobotMaster: Updating robot configuration: could not write"), 1) << out;
    client.Close();
    ASSERT_NO_FATAL_FAILURE(AppTest::ExpectExitOnSigterm(p));
    EXPECT_TRUE(Has(ReadFile(storage), "PartsGood=\"7\" PartsBad=\"3\"")) << ReadFile(storage);

    // The second run reads back what the first one set.
    ASSERT_NO_FATAL_FAILURE(StartController());
    EXPECT_EQ(Ask("CONFIG GetVBox", "CONFIG VBox"), "CONFIG VBox True -555 555 -444 444 0 777");
    EXPECT_EQ(Ask("CONFIG GetKinematicLimits", "CONFIG KinematicLimits"),
              "CONFIG KinematicLimits -100 100 -50 450 -5 250");
    EXPECT_EQ(Ask("VAR GetNrVariable #parts-good", "VARINFO"), "VARINFO ValueNrVariable #parts-good 7");
    EXPECT_EQ(Ask("VAR GetNrVariable #parts-bad", "VARINFO"), "VARINFO ValueNrVariable #parts-bad 3");

    // An exit while the disk is full says what it could not save.
    const std::string ack8 = "CMDACK " + std::to_string(counter + 1);
    EXPECT_EQ(Ask("VAR SetVariableSingle #parts-good 8", "CMDACK"), ack8);
    Fail(true);
    client.Close();
    ASSERT_NO_FATAL_FAILURE(AppTest::ExpectExitOnSigterm(p));
    EXPECT_TRUE(Has(p.Output(), "LogSingleton: Could not write persistent variables to " + storage +
                                    ": No space left on device"))
        << p.Output();
    EXPECT_TRUE(Has(ReadFile(storage), "PartsGood=\"7\"")) << "the last good file stays whole";
}

}  // namespace

#endif  // BELVANTO_BINARY
