// SYSTEM messages: power-off and reboot through the replaceable command runner, the
// temperature queries, and what passive clients may do.

#include "core/Shutdown.h"
#include "remote_test_support.h"

#include <mutex>

using namespace RemoteTest;

namespace {

class HvpSystemConcurrent : public ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        Shutdown::SetCommandRunner([this](const std::string& command) {
            std::lock_guard<std::mutex> lock(mutex);
            commands.push_back(command);
            return 0;
        });
    }
    void TearDown() override {
        ServerFixture::TearDown();
        Shutdown::SetCommandRunner(nullptr);
    }
    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> lock(mutex);
        return commands;
    }
    std::mutex mutex;
    std::vector<std::string> commands;
};

TEST_F(HvpSystemConcurrent, ShutdownCodesReachTheRunnerOnceAndOthersAreLogged) {
    TestSupport::LogCapture log;
    HvpTestClient& active = Connect();
    HvpTestClient& passive = Connect();
    Exchange(passive, "SYSTEM Shutdown 100");
    EXPECT_TRUE(Commands().empty()) << "a passive client's request does nothing";
    Exchange(active, "SYSTEM Shutdown 100");
    EXPECT_EQ(Commands(), std::vector<std::string>{"systemctl poweroff"});
    Exchange(active, "SYSTEM Shutdown 101");
    EXPECT_EQ(Commands(), (std::vector<std::string>{"systemctl poweroff", "systemctl reboot"}));
    for (const char* request : {"SYSTEM Shutdown 102", "SYSTEM Shutdown", "SYSTEM Shutdown 0x64",
                                "SYSTEM Reboot"}) {
        EXPECT_TRUE(Exchange(active, request).empty()) << "SYSTEM requests get no reply";
    }
    EXPECT_EQ(Commands().size(), 2u);
    EXPECT_TRUE(log.Contains("HVP-Server: Unknown shutdown code 102"));
    EXPECT_EQ(log.Count("HVP-Server: Incomplete or incorrect shutdown command"), 2);
    EXPECT_TRUE(log.Contains("HVP-Server: ERROR Could not parse system command 'HVPSTART 900 SYSTEM Reboot HVPEND'"));
}

TEST_F(HvpSystemConcurrent, TemperaturesComeFromTheStateCopyAlsoForPassiveClients) {
    TestSupport::LogCapture log;
    Connect();
    HvpTestClient& passive = Connect();
    std::string zeros;
    for (int i = 0; i < 16; ++i) zeros += "0.000000 ";
    EXPECT_EQ(Exchange(passive, "SYSTEM GetBoardTemp"), std::vector<std::string>{"INFO BoardTemp " + zeros});

    DataTypes::RobotState state;
    state.motorTemps[0] = 41.5f;
    state.motorTemps[15] = -3.25f;
    manager->CallSetCurrentPos(state);
    std::string motors = "41.500000 ";
    for (int i = 1; i < 15; ++i) motors += "0.000000 ";
    motors += "-3.250000 ";
    EXPECT_EQ(Exchange(passive, "SYSTEM GetMotorTemp"), std::vector<std::string>{"INFO MotorTemp " + motors});
    EXPECT_TRUE(log.Contains("HVP-Server: GetMotorTemp - not implemented!"));
}

}  // namespace
