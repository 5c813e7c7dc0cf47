#include "core/Shutdown.h"

#include "core/LogSingleton.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Records the hooks' calls in order; the runner never starts a real command.
class ShutdownSequence : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = LogSingleton::instance();
        storagePath_ = log_->GetStorageFilePath();
        fs::remove(storagePath_);
        Shutdown::SetCommandRunner([this](const std::string& command) {
            events_.push_back("run " + command);
            return runnerResult_;
        });
    }
    void TearDown() override {
        Shutdown::SetStopProgramHook(nullptr);
        Shutdown::SetResetRobotMasterHook(nullptr);
        Shutdown::SetSaveConfigurationHook(nullptr);
        Shutdown::SetCommandRunner(nullptr);
    }
    void InstallHooks() {
        Shutdown::SetStopProgramHook(
            [this](int reason) { events_.push_back("stop " + std::to_string(reason)); });
        Shutdown::SetResetRobotMasterHook([this] { events_.push_back("reset"); });
        Shutdown::SetSaveConfigurationHook([this] {
            events_.push_back(fs::exists(storagePath_) ? "save (counters written)" : "save");
        });
    }

    LogSingleton* log_ = nullptr;
    std::string storagePath_;
    std::vector<std::string> events_;
    int runnerResult_ = 0;
};

}  // namespace

TEST_F(ShutdownSequence, StepsRunInOrderForPowerOffAndReboot) {
    struct Case {
        const char* what;
        void (*call)(bool);
        bool save;
        int runnerResult;
        const char* logLine;
        const char* command;
        const char* errorLine;
    };
    const Case cases[] = {
        {"power off, save", Shutdown::ShutdownSystem, true, 0, "Shutting down the system...",
         "systemctl poweroff", "Could not execute shutdown"},
        {"power off, no save", Shutdown::ShutdownSystem, false, 0,
         "Shutting down the system...", "systemctl poweroff", "Could not execute shutdown"},
        {"power off fails", Shutdown::ShutdownSystem, true, -1, "Shutting down the system...",
         "systemctl poweroff", "Could not execute shutdown"},
        {"reboot, save", Shutdown::RestartSystem, true, 0, "Rebooting the system...",
         "systemctl reboot", "Could not execute reboot"},
        {"reboot fails", Shutdown::RestartSystem, false, -1, "Rebooting the system...",
         "systemctl reboot", "Could not execute reboot"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        events_.clear();
        fs::remove(storagePath_);
        runnerResult_ = c.runnerResult;
        log_->PartsGood = 77;
        InstallHooks();
        TestSupport::LogCapture capture;

        c.call(c.save);

        std::vector<std::string> expected = {"stop 4", "reset"};
        if (c.save) expected.push_back("save (counters written)");
        expected.push_back(std::string("run ") + c.command);
        EXPECT_EQ(events_, expected);
        // Written at once although the last write is far less than 300 s ago.
        EXPECT_NE(TestSupport::ReadWholeFile(storagePath_).find("PartsGood=\"77\""),
                  std::string::npos);
        EXPECT_EQ(capture.Count(c.logLine), 1);
        EXPECT_EQ(capture.Count(c.errorLine), c.runnerResult < 0 ? 1 : 0);
    }
}

TEST_F(ShutdownSequence, RunsWithoutControlHooksInstalled) {
    TestSupport::LogCapture capture;
    Shutdown::ShutdownSystem(true);
    EXPECT_EQ(events_, std::vector<std::string>{"run systemctl poweroff"});
    EXPECT_TRUE(fs::exists(storagePath_));
    EXPECT_EQ(capture.Count("Shutting down the system..."), 1);
}
