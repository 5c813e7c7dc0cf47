// The control layer's shut-down wiring: the hooks reach the robot master and the project,
// and the process's command runner never powers anything off when a log file is named.

#include "control/OperatorCommands.h"
#include "control/ProjectManager.h"
#include "control/ShutdownInit.h"
#include "core/Shutdown.h"
#include "master_command_fixture.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Sets an environment variable for its lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

class ShutdownInitTest : public ControlTest::MasterCommandTest {
protected:
    void SetUp() override {
        MasterCommandTest::SetUp();
        Shutdown::SetCommandRunner([this](const std::string& command) {
            commands.push_back(command);
            return 0;
        });
    }
    void TearDown() override {
        ShutdownInit::Clear();
        Shutdown::SetCommandRunner(nullptr);
        MasterCommandTest::TearDown();
    }
    std::vector<std::string> commands;
    TestSupport::TempDataRoot root;
};

TEST_F(ShutdownInitTest, HooksStopResetAndSaveThenRunThePowerOff) {
    int saves = 0;
    ShutdownInit::Init(master.get(), [&] { ++saves; });
    EXPECT_TRUE(ShutdownInit::IsInitialised());
    TestSupport::LogCapture log;
    Shutdown::ShutdownSystem(true);
    const std::string text = log.Joined();
    const auto announced = text.find("Shutting down the system...");
    ASSERT_NE(announced, std::string::npos);
    EXPECT_NE(text.find("RobotMaster:  Resetting Joints", announced), std::string::npos);
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(commands, (std::vector<std::string>{"systemctl poweroff"}));

    Shutdown::RestartSystem(false);
    EXPECT_EQ(saves, 1) << "no save when not asked";
    EXPECT_EQ(commands.back(), "systemctl reboot");
}

TEST_F(ShutdownInitTest, ClearRemovesTheHooks) {
    int saves = 0;
    ShutdownInit::Init(master.get(), [&] { ++saves; });
    ShutdownInit::Clear();
    EXPECT_FALSE(ShutdownInit::IsInitialised());
    TestSupport::LogCapture log;
    Shutdown::ShutdownSystem(true);
    EXPECT_EQ(saves, 0);
    EXPECT_FALSE(log.Contains("Resetting Joints"));
    EXPECT_EQ(commands.size(), 1u) << "the core still runs the command";
}

TEST_F(ShutdownInitTest, ProjectManagerSaveWithNothingPendingWritesNothing) {
    TestSupport::ScopedCwd cwd(root.Path());
    ProjectManager projectManager;
    ShutdownInit::Init(&projectManager, master.get());
    Shutdown::ShutdownSystem(true);
    EXPECT_EQ(commands, (std::vector<std::string>{"systemctl poweroff"}));
}

TEST_F(ShutdownInitTest, CodeNinetyNineHundredPowersOffThroughTheLogRunner) {
    const std::string logPath = root.Path() + "/shutdown.log";
    ScopedEnv env("BELVANTO_SHUTDOWN_LOG", logPath);
    ShutdownInit::InstallShutdownCommandRunner();
    ShutdownInit::Init(master.get(), nullptr);
    const DataTypes::RobotState rs;
    int jogResets = 0;
    OperatorCommandHooks hooks;
    hooks.resetJogValues = [&] { ++jogResets; };
    ExecuteOperatorCommand(*master, hooks, rs, OperatorCommand{99, 100, 0.0f});
    EXPECT_EQ(TestSupport::ReadWholeFile(logPath), "systemctl poweroff\n");
    EXPECT_EQ(jogResets, 1);
}

TEST(ShutdownRunnerTest, WithTheLogVariableTheRunnerAppendsAndReturnsZero) {
    TestSupport::TempDataRoot root;
    const std::string logPath = root.WriteFile("shutdown.log", "earlier\n");
    ScopedEnv env("BELVANTO_SHUTDOWN_LOG", logPath);
    const Shutdown::CommandRunner runner = ShutdownInit::MakeShutdownCommandRunner();
    EXPECT_EQ(runner("systemctl poweroff"), 0);
    EXPECT_EQ(runner("systemctl reboot"), 0);
    EXPECT_EQ(TestSupport::ReadWholeFile(logPath), "earlier\nsystemctl poweroff\nsystemctl reboot\n");
}

TEST(ShutdownRunnerTest, AnUnwritableLogFileCountsAsNotRun) {
    TestSupport::TempDataRoot root;
    ScopedEnv env("BELVANTO_SHUTDOWN_LOG", root.Path() + "/missing/dir/shutdown.log");
    TestSupport::LogCapture log;
    EXPECT_LT(ShutdownInit::MakeShutdownCommandRunner()("systemctl poweroff"), 0);
    EXPECT_TRUE(log.Contains("Shutdown: could not append to"));
}

TEST(ShutdownRunnerTest, WithoutTheLogVariableANonZeroExitStatusIsLogged) {
    ScopedEnv env("BELVANTO_SHUTDOWN_LOG", "");
    const Shutdown::CommandRunner runner = ShutdownInit::MakeShutdownCommandRunner();
    TestSupport::LogCapture log;
    EXPECT_EQ(runner("true"), 0);
    EXPECT_FALSE(log.Contains("ended with exit status"));
    EXPECT_NE(runner("exit 3"), 0);
    EXPECT_TRUE(log.Contains("Shutdown: 'exit 3' ended with exit status 3"));
}

}  // namespace
