// The controller process with the cloud link on: a SIGKILL leaves the broker's will as the
// retained connection status, and an orderly exit adds no "Disconnected" of its own.

#include "cloud_test_support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#if defined(BELVANTO_BINARY) && defined(BELVANTO_CANHUB_PROGRAM) && defined(BELVANTO_DRIVESIM_PROGRAM)

namespace {

using namespace CloudTest;
namespace fs = std::filesystem;

// text with the first match of pattern replaced (a test error when there is none).
std::string Replaced(const std::string& text, const std::string& pattern, const std::string& replacement) {
    const std::regex re(pattern);
    EXPECT_TRUE(std::regex_search(text, re)) << pattern;
    return std::regex_replace(text, re, replacement, std::regex_constants::format_first_only);
}

std::string RetainedStatus(TestBroker& broker, const std::string& topic) {
    auto sub = broker.Subscribe({topic}, {"-C", "1", "-W", "3"});
    sub->WaitForExit(10000);
    const std::vector<Message> got = TestBroker::Messages(*sub);
    if (got.empty()) return "";
    return std::to_string(got[0].retained) + " " + std::to_string(got[0].qos) + " " + got[0].payload;
}

// The demo controller on the virtual bus with its project's cloud link enabled.
class CloudProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string missing = MissingBrokerTools();
        if (!missing.empty()) GTEST_SKIP() << missing;
        ASSERT_TRUE(broker.Start()) << broker.error;
        process.CopyDataRoot(BELVANTO_DEMO_DIR);
        // The identity the controller will find (made in its data root when the machine has none).
        const std::string identity = DeviceIdentity::ReadDeviceId(DeviceIdentity::kMachineIdFile, process.root + "/");
        DeviceIdentity::SetDeviceIdOverride(identity);
        std::string credentials;
        {
            Cloud::MqttClient encoder(nullptr);
            encoder.SetCredentials(broker.user, broker.password);
            credentials = encoder.GetEncryptedCredentials();
        }
        DeviceIdentity::SetDeviceIdOverride("");
        fs::copy_file(broker.CaFile(), process.root + "/" + Cloud::MqttClient::kCaFileName);

        const std::string project = process.root + "/Data/Projects/Demo.prj";
        std::string text = AppTest::ReadFile(project);
        // The cloud link on.
        text = Replaced(text, "<Cloud [^>]*/>",
                        "<Cloud Active=\"True\" Credentials=\"" + credentials +
                            "\" ClientID=\"proc-test\" RobotName=\"Demo\" RobotOwner=\"Tests\"/>");
        std::ofstream(project) << text;

        ASSERT_TRUE(bus.Start(process.dir, process.root + "/Data/Robots/JXRPivra4/JXRPivra4.xml"));
        process.Start({bus.Environment(), std::string(Cloud::MqttClient::kUriEnvironment) + "=" + broker.Uri()});
        ASSERT_TRUE(process.WaitForOutput(
            [](const std::string& o) { return o.find("MQTT Client: Basic data published") != std::string::npos; },
            60000))
            << process.Output();
        // The project's settings reach the client before it is enabled: the first attempt
        // connects with them (a missing setting would refuse it and wait for the 15 s retry).
        EXPECT_EQ(AppTest::CountOf(process.Output(), "MQTT Client: Connecting"), 1) << process.Output();
        EXPECT_NE(process.Output().find("MQTT Client: Connecting, username=" + broker.user +
                                        ", client ID=\"proc-test\", robot name=\"Demo\" robot owner=\"Tests\""),
                  std::string::npos)
            << process.Output();
        EXPECT_EQ(process.Output().find("MQTT Client: Tried to connect"), std::string::npos) << process.Output();
    }
    void TearDown() override {
        process.Kill();
        bus.sim.Stop();
        bus.hub.Stop();
    }

    std::string StatusTopic() const { return "user/" + broker.user + "/robot/proc-test/Basics/ConnectionStatus"; }

    TestBroker broker;
    AppTest::BelvantoProcess process;
    AppTest::SimulatedBus bus;
};

}  // namespace

TEST_F(CloudProcessTest, KilledControllerLeavesTheWill) {
    process.Signal(SIGKILL);
    ASSERT_NE(process.WaitForExit(30000), -1);
    std::string status;
    AppTest::WaitUntil([&] { return (status = RetainedStatus(broker, StatusTopic())) == "1 1 LostConnection"; }, 30000);
    EXPECT_EQ(status, "1 1 LostConnection") << broker.Log();
}

TEST_F(CloudProcessTest, OrderlyExitAddsNoDisconnected) {
    process.Signal(SIGTERM);
    const int exit = process.WaitForExit(60000);
    ASSERT_NE(exit, -1) << process.Output();
    EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << process.Output();
    AppTest::ExpectOrderlyExit(process.Output());
    const std::string status = RetainedStatus(broker, StatusTopic());
    EXPECT_NE(status, "1 1 Disconnected") << broker.Log();
    EXPECT_EQ(status, "1 1 LostConnection") << broker.Log();
}

#endif
