// CONFIG over TCP for the Modbus server (the process-wide one, on run-time loopback ports,
// read by raw requests and by mbpoll) and for the cloud client (its setters and stored
// credentials, no broker); the quoted-field splitting the cloud keywords use.

#include "config_test_support.h"

#include "../fieldbus/Mbpoll.h"
#include "../fieldbus/RawModbusClient.h"
#include "cloud/MqttClient.h"
#include "core/DeviceIdentity.h"
#include "fieldbus/ModbusLinks.h"
#include "fieldbus/ModbusServer.h"
#include "testsupport/LoopbackSocket.h"


#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace ConfigTest {
namespace {

// --------------------------------------------------------------------- quoted fields

TEST(ConfigQuotedFields, BackslashPairsBecomeOneLeftToRight) {
    struct Case {
        std::string text, from, to, result;
    };
    const Case cases[] = {
        {R"(a\\\\b)", R"(\\)", R"(\)", R"(a\\b)"},  // four give two
        {R"(a\\\b)", R"(\\)", R"(\)", R"(a\\b)"},   // three give two
        {"aaa", "a", "b", "bbb"},
        {"abc", "", "x", "abc"},
    };
    for (const Case& c : cases) EXPECT_EQ(ComServer::Replace(c.text, c.from, c.to), c.result) << c.text;
}

TEST(ConfigQuotedFields, SeparatorsEscapedByAnOddRunOfBackslashesStayInThePiece) {
    struct Case {
        std::string text;
        char separator;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {"a,b,c", ',', {"a", "b", "c"}},
        {",x,", ',', {"", "x"}},
        {R"(a\,b,c)", ',', {R"(a\,b)", "c"}},
        // The count starts again after each separator: the second comma ends the piece.
        {R"(a\,,b)", ',', {R"(a\,)", "b"}},
        {R"(a\\,b)", ',', {R"(a\)", "b"}},
        {R"(x\\\\,y)", ',', {R"(x\\)", "y"}},
        {R"(x\\\,y,z)", ',', {R"(x\\,y)", "z"}},
        // The rest after the last separator is kept as it is.
        {R"(a,b\\\\)", ',', {"a", R"(b\\\\)"}},
        {R"(HVPSTART 1 CONFIG SetCloudInfo "Robo\"One" "a\\\\b" "cam\"" HVPEND)",
         '"',
         {"HVPSTART 1 CONFIG SetCloudInfo ", R"(Robo\"One)", " ", R"(a\\b)", " ", R"(cam\")", " HVPEND"}},
    };
    for (const Case& c : cases) EXPECT_EQ(ComServer::SplitIgnoreEscaped(c.text, c.separator), c.pieces) << c.text;
}

// ---------------------------------------------------------------------------- Modbus

std::vector<std::uint16_t> InputRegisters(ModbusTest::RawModbusClient& client, int address, int count) {
    return ModbusTest::RawModbusClient::Registers(client.Ask(ModbusTest::RawModbusClient::Pdu(
        4, {static_cast<std::uint16_t>(address), static_cast<std::uint16_t>(count)})));
}

class ConfigModbusTest : public ConfigServerTest {
protected:
    ConfigModbusTest() {
        modbusServer = &link;
        modbusSettings = &link;
    }
    void SetUp() override {
        ConfigServerTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        link.Init(controller.get());
        link.SetSoftwareInfo(980, 13, 30);
    }
    void TearDown() override {
        link.Stop();
        ConfigServerTest::TearDown();
    }
    bool ListensOn(int port) {
        return ControlTest::WaitFor([&] { return link.Server().GetBoundPort() == port; }, kWaitMs);
    }

    Modbus::ModbusServerLink link;  // the process-wide server
};

// "SetModbus TRUE 1502 3" on a run-time port instead of 1502, which may be taken.
TEST_F(ConfigModbusTest, SetModbusRestartsTheServerWithItsPortAndLimitAndSavesThem) {
    EXPECT_EQ(Get("GetModbus"), "CONFIG Modbus False 502 5");
    const int port = TestSupport::FreePort();
    ASSERT_GT(port, 0);
    const std::string portText = std::to_string(port);
    Send("SetModbus TRUE " + portText + " 3");
    ASSERT_TRUE(ListensOn(port));
    EXPECT_EQ(Get("GetModbus"), "CONFIG Modbus True " + portText + " 3");
    EXPECT_EQ(ProjectAttribute("ModbusServer", "Active"), "True");
    EXPECT_EQ(ProjectAttribute("ModbusServer", "Port"), portText);
    EXPECT_EQ(ProjectAttribute("ModbusServer", "MaxConnections"), "3");

    if (ModbusTest::HaveMbpoll()) {
        const std::string out = ModbusTest::Mbpoll(port, "-t 3 -r 0 -c 4");
        for (const char* line : {"[0]: \t980", "[1]: \t13", "[2]: \t30", "[3]: \t1"}) {
            EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
        }
    } else {
        std::printf("mbpoll not installed: its lines are not checked\n");
    }

    // Three clients are served; a fourth at the same time is closed at once.
    {
        TestSupport::LogCapture capture;
        std::vector<std::unique_ptr<ModbusTest::RawModbusClient>> served;
        for (int i = 0; i < 3; ++i) {
            served.push_back(std::make_unique<ModbusTest::RawModbusClient>(port));
            EXPECT_EQ(InputRegisters(*served.back(), 0, 4), (std::vector<std::uint16_t>{980, 13, 30, 1})) << i;
        }
        ModbusTest::RawModbusClient fourth(port);
        EXPECT_TRUE(fourth.ClosedByServer(kWaitMs));
        EXPECT_TRUE(ControlTest::WaitFor(
            [&] { return capture.Contains("Modbus: Cannot accept new client (limit 3 reached), closing connection"); },
            kWaitMs));
        for (auto& client : served) EXPECT_EQ(InputRegisters(*client, 3, 1), std::vector<std::uint16_t>{1});
    }

    // The same settings again change nothing and log nothing.
    {
        TestSupport::LogCapture capture;
        const Files before = Snapshot();
        Send("SetModbus true " + portText + " 3");
        EXPECT_FALSE(capture.Contains("HVP-Server: Changing Modbus server configuration"));
        EXPECT_FALSE(capture.Contains("Modbus: Restarting server"));
        EXPECT_TRUE(Snapshot() == before);
    }
    // A missing limit is refused.
    {
        TestSupport::LogCapture capture;
        const Files before = Snapshot();
        Send("SetModbus true " + portText);
        EXPECT_TRUE(capture.Contains("HVP-Server: Error: Incomplete or invalid SetModbus message"));
        EXPECT_TRUE(Snapshot() == before);
        EXPECT_EQ(link.Server().GetBoundPort(), port);
    }

    // Disabled: the listener stops and the project says so.
    Send("SetModbus false " + portText + " 3");
    EXPECT_TRUE(ControlTest::WaitFor([&] { return !link.Server().IsListening(); }, kWaitMs));
    EXPECT_EQ(Get("GetModbus"), "CONFIG Modbus False " + portText + " 3");
    EXPECT_EQ(ProjectAttribute("ModbusServer", "Active"), "False");
}

// ----------------------------------------------------------------------------- cloud

class ConfigCloudTest : public ConfigServerTest {
protected:
    ConfigCloudTest() {
        DeviceIdentity::SetDeviceIdOverride("config-test-controller-0042");
        // No broker is reached: no CA file lies in the data root, and the address is closed.
        setenv(Cloud::MqttClient::kUriEnvironment, "ssl://127.0.0.1:1", 1);
        client = std::make_unique<Cloud::MqttClient>(nullptr);
        cloud = client.get();
    }
    void SetUp() override {
        ConfigServerTest::SetUp();
        if (controller) client->SetControllerPort(controller.get());
    }
    void TearDown() override {
        ConfigServerTest::TearDown();
        project.reset();
        client.reset();
        unsetenv(Cloud::MqttClient::kUriEnvironment);
        DeviceIdentity::SetDeviceIdOverride("");
    }

    // Sends from the active client; both clients must then hear the cloud state.
    void SendAndHear(const std::string& body, const std::string& cloudLine) {
        const std::vector<std::string> replies = Send(Active(), body);
        EXPECT_NE(std::find(replies.begin(), replies.end(), cloudLine), replies.end()) << body << "\n" << cloudLine;
        EXPECT_TRUE(passive->WaitFor(cloudLine, kWaitMs).has_value()) << body << "\n" << cloudLine;
    }

    std::unique_ptr<Cloud::MqttClient> client;
    HvpTestClient* passive = nullptr;
};

TEST_F(ConfigCloudTest, CloudKeywordsSetTheClientAndEveryClientHearsTheState) {
    passive = &Passive();
    std::string user, password;

    // A backslash before a quote stays; four backslashes arrive as two.
    SendAndHear(R"(SetCloudConnection true "cell-7" "op\"s" "pa\\\\ss")",
                R"(CONFIG Cloud True True False "cell-7" "" "" "" "")");
    EXPECT_TRUE(client->IsEnabled());
    ASSERT_TRUE(client->GetCredentials(user, password));
    EXPECT_EQ(user, R"(op\"s)");
    EXPECT_EQ(password, R"(pa\\ss)");
    EXPECT_EQ(ProjectAttribute("Cloud", "ClientID"), "cell-7");
    EXPECT_EQ(ProjectAttribute("Cloud", "Active"), "True");
    EXPECT_EQ(ProjectAttribute("Cloud", "Credentials"), client->GetEncryptedCredentials());

    // A value that ends in an escaped quote keeps it and its closing quote ends it.
    SendAndHear(R"(SetCloudInfo "Robo\"One" "a\\\\b" "cam\"" "area")",
                R"(CONFIG Cloud True True False "cell-7" "Robo\"One" "a\\b" "cam\"" "area")");
    EXPECT_EQ(client->GetRobotName(), R"(Robo\"One)");
    EXPECT_EQ(client->GetRobotOwner(), R"(a\\b)");
    EXPECT_EQ(client->GetCameraEnvironment(), R"(cam\")");
    EXPECT_EQ(client->GetCameraWorkarea(), "area");
    EXPECT_EQ(ProjectAttribute("Cloud", "RobotName"), R"(Robo\"One)");
    EXPECT_EQ(ProjectAttribute("Cloud", "CameraEnvironmentName"), R"(cam\")");

    // Name and owner only: the camera names are cleared.
    SendAndHear(R"(SetCloudInfo "Robo" "Owner")", R"(CONFIG Cloud True True False "cell-7" "Robo" "Owner" "" "")");
    EXPECT_EQ(ProjectAttribute("Cloud", "CameraWorkareaName"), "");

    // One quoted field changes nothing.
    {
        TestSupport::LogCapture capture;
        const Files before = Snapshot();
        Send(R"(SetCloudInfo "Solo")");
        EXPECT_TRUE(capture.Contains("HVP-Server: Could not parse CONFIG SetCloudInfo: Incomplete parameters"));
        EXPECT_EQ(client->GetRobotName(), "Robo");
        EXPECT_TRUE(Snapshot() == before);
    }

    // The link alone is switched without saving.
    {
        const Files before = Snapshot();
        SendAndHear("SetCloudConnection false", R"(CONFIG Cloud False True False "cell-7" "Robo" "Owner" "" "")");
        EXPECT_FALSE(client->IsEnabled());
        EXPECT_TRUE(Snapshot() == before);
    }

    // An empty password clears the credentials and leaves the link off.
    SendAndHear(R"(SetCloudConnection true "cell-8" "user" "")",
                R"(CONFIG Cloud False False False "cell-8" "Robo" "Owner" "" "")");
    EXPECT_FALSE(client->IsEnabled());
    EXPECT_FALSE(client->AreCredentialsSet());
    EXPECT_FALSE(client->GetCredentials(user, password));
    EXPECT_EQ(ProjectAttribute("Cloud", "Credentials"), "");
    EXPECT_EQ(ProjectAttribute("Cloud", "Active"), "False");
    EXPECT_EQ(ProjectAttribute("Cloud", "ClientID"), "cell-8");

    // GetCloud answers the same line.
    EXPECT_EQ(Get("GetCloud"), R"(CONFIG Cloud False False False "cell-8" "Robo" "Owner" "" "")");
}

}  // namespace
}  // namespace ConfigTest
