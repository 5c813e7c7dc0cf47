// Cloud client settings without a broker: client ID rules, stored credentials and their
// refusals, the connect refusals and the change callback.

#include "cloud/Encryption.h"
#include "cloud_test_support.h"
#include "core/Base64.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using CloudTest::CaPathInRoot;

namespace {

class ClientSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        DeviceIdentity::SetDeviceIdOverride(CloudTest::kTestIdentity);
        unsetenv(Cloud::MqttClient::kUriEnvironment);
    }
    void TearDown() override {
        DeviceIdentity::SetDeviceIdOverride("");
        std::error_code ec;
        std::filesystem::remove(CaPathInRoot(), ec);
    }
    static void WriteCa() { std::ofstream(CaPathInRoot()) << "not a certificate, only present\n"; }

    CloudTest::MasterFixture robot;
};

std::string RunShell(const std::string& script) {
    std::string out;
    FILE* pipe = popen(("/bin/bash -c '" + script + "' 2>&1").c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

}  // namespace

TEST_F(ClientSettingsTest, BrokerIsTheFixedHostUnlessTheEnvironmentNamesOne) {
    Cloud::MqttClient fixed(&robot.port);
    EXPECT_EQ(fixed.GetBrokerUri(), std::string("ssl://") + Cloud::MqttClient::kBrokerHost + ":8883");
    setenv(Cloud::MqttClient::kUriEnvironment, "ssl://127.0.0.1:18883", 1);
    Cloud::MqttClient local(&robot.port);
    EXPECT_EQ(local.GetBrokerUri(), "ssl://127.0.0.1:18883");
    unsetenv(Cloud::MqttClient::kUriEnvironment);
}

TEST_F(ClientSettingsTest, ClientIdRules) {
    const std::string identity = CloudTest::kTestIdentity;
    struct Case {
        std::string id;
        std::string stored;
        const char* line;  // nullptr: no line
    };
    const Case cases[] = {
        {std::string(24, 'a'), std::string(23, 'a'), "too long, will be truncated"},
        {std::string(23, 'b'), std::string(23, 'b'), nullptr},
        {"with+plus", identity.substr(0, 8), "invalid character"},
        {"with/slash", identity.substr(0, 8), "invalid character"},
        {"with#hash", identity.substr(0, 8), "invalid character"},
        {"", identity.substr(0, 8), nullptr},
        {"plain-id", "plain-id", nullptr},
    };
    Cloud::MqttClient client(&robot.port);
    EXPECT_EQ(client.GetClientId(), identity.substr(0, 8));  // the constructor's default
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        client.SetClientId("something-else");
        TestSupport::LogCapture log;
        client.SetClientId(c.id);
        EXPECT_EQ(client.GetClientId(), c.stored);
        if (c.line != nullptr) {
            EXPECT_TRUE(log.Contains("MQTT Client: Could not set client ID '" + c.id + "', " + c.line)) << log.Joined();
        } else {
            EXPECT_FALSE(log.Contains("MQTT Client: ")) << log.Joined();
        }
    }
    TestSupport::LogCapture again;
    client.SetClientId("plain-id");
    EXPECT_FALSE(again.Contains("MQTT Client: "));
}

TEST_F(ClientSettingsTest, ShortIdentityLeavesTheClientIdEmptyAndConnectRefuses) {
    DeviceIdentity::SetDeviceIdOverride("12345678");
    WriteCa();
    Cloud::MqttClient client(&robot.port);
    client.SetClientId("bad+id");
    EXPECT_EQ(client.GetClientId(), "");
    client.SetCredentials("user", "pass");
    TestSupport::LogCapture log;
    client.SetEnabled(true);
    EXPECT_TRUE(log.Contains("MQTT Client: Could not connect, client ID not defined!")) << log.Joined();
    client.SetEnabled(false);
}

TEST_F(ClientSettingsTest, StoredCredentialsAreIvThenOneBlockAndReadBack) {
    Cloud::MqttClient client(&robot.port);
    int changes = 0;
    client.SetChangedCallback([&] { ++changes; });
    client.SetCredentials("abc", "def");
    EXPECT_EQ(changes, 0);
    const std::string stored = client.GetEncryptedCredentials();
    EXPECT_EQ(Base64::Decode(stored).size(), 32u);
    std::string user, password;
    ASSERT_TRUE(client.GetCredentials(user, password));
    EXPECT_EQ(user, "abc");
    EXPECT_EQ(password, "def");

    // Same credentials, new IV: the stored text differs every time.
    client.SetCredentials("abc", "def");
    EXPECT_NE(client.GetEncryptedCredentials(), stored);

    // The project's text is taken as it is.
    client.SetEncryptedCredentials(stored);
    EXPECT_EQ(changes, 1);
    ASSERT_TRUE(client.GetCredentials(user, password));
    EXPECT_EQ(user, "abc");
}

TEST_F(ClientSettingsTest, OpensslDecryptsTheStoredText) {
    if (CloudTest::FindProgram("openssl").empty()) GTEST_SKIP() << "openssl is not installed";
    Cloud::MqttClient client(&robot.port);
    client.SetCredentials("user", "pass");
    const std::string script =
        "ID=\"" + std::string(CloudTest::kTestIdentity) + "\"; CRED=\"" + client.GetEncryptedCredentials() +
        "\"; KEY=$(printf %s \"$ID\" | head -c 32 | od -An -tx1 | tr -d \" \\n\"); "
        "KEY=$(printf %-64s \"$KEY\" | tr \" \" 0); "
        "IV=$(printf %s \"$CRED\" | base64 -d | head -c 16 | od -An -tx1 | tr -d \" \\n\"); "
        "printf %s \"$CRED\" | base64 -d | tail -c +17 | openssl enc -d -aes-256-cbc -K \"$KEY\" -iv \"$IV\"";
    EXPECT_EQ(RunShell(script), "user\npass\n");
}

TEST_F(ClientSettingsTest, RefusedCredentialsAreClearedAndLogged) {
    struct Case {
        std::string user, password;
        const char* line;
    };
    const Case cases[] = {
        {"a+b", "pw", "MQTT Client: Could not set username 'a+b', invalid character"},
        {"a/b", "pw", "MQTT Client: Could not set username 'a/b', invalid character"},
        {"a#b", "pw", "MQTT Client: Could not set username 'a#b', invalid character"},
        {"a\nb", "pw", "invalid character"},
        {"user", "", "MQTT Client: Could not set password, empty string"},
        {"user", "pass\nword", "MQTT Client: Could not set password, invalid character"},
    };
    WriteCa();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Cloud::MqttClient client(&robot.port);
        client.SetCredentials("good", "credentials");
        client.SetEnabled(true);
        int changes = 0;
        client.SetChangedCallback([&] { ++changes; });
        TestSupport::LogCapture log;
        client.SetCredentials(c.user, c.password);
        EXPECT_TRUE(log.Contains(c.line)) << log.Joined();
        EXPECT_FALSE(client.AreCredentialsSet());
        EXPECT_FALSE(client.IsEnabled());
        EXPECT_EQ(changes, 1);
    }
}

TEST_F(ClientSettingsTest, UnreadableStoredTextsAreRefusedWithOneLine) {
    struct Case {
        const char* name;
        std::string stored;
        const char* line;
    };
    const Case cases[] = {
        {"no complete IV", Base64::Encode("0123456789", 10), "MQTT Client: Could not decrypt credentials: "},
        {"IV without ciphertext", Base64::Encode("0123456789abcdef", 16), "MQTT Client: Could not decrypt credentials: Decryption failed"},
        {"not base64 at all", "!!!!", "MQTT Client: Could not decrypt credentials: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cloud::MqttClient client(&robot.port);
        client.SetEncryptedCredentials(c.stored);
        TestSupport::LogCapture log;
        std::string user = "untouched", password = "untouched";
        EXPECT_FALSE(client.GetCredentials(user, password));
        EXPECT_EQ(log.Count(c.line), 1) << log.Joined();
        EXPECT_EQ(log.Count("MQTT Client: "), 1) << log.Joined();
        EXPECT_EQ(user, "untouched");
    }
}

TEST_F(ClientSettingsTest, TextWithoutTwoLineBreaksCannotBeParsed) {
    const Encryption::InitializationVector iv;
    const Encryption::Key256 key(CloudTest::kTestIdentity);
    const std::string plain = "only-one-line\n";
    std::vector<Encryption::uint8> buffer(16 + plain.size() + 16);
    std::copy(iv.Data(), iv.Data() + 16, buffer.begin());
    const int n = Encryption::Encrypt(reinterpret_cast<const Encryption::uint8*>(plain.data()),
                                      static_cast<int>(plain.size()), key, iv, buffer.data() + 16);
    Cloud::MqttClient client(&robot.port);
    client.SetEncryptedCredentials(Base64::Encode(reinterpret_cast<const char*>(buffer.data()), 16 + n));
    TestSupport::LogCapture log;
    std::string user, password;
    EXPECT_FALSE(client.GetCredentials(user, password));
    EXPECT_TRUE(log.Contains("MQTT Client: Could not parse credentials"));
}

TEST_F(ClientSettingsTest, ConnectRefusals) {
    struct Case {
        const char* name;
        bool ca;
        std::string user, password;  // empty password: no credentials stored
        const char* line;
    };
    const Case cases[] = {
        {"no CA file", false, "user", "pw", "MQTT Client: Tried to connect but CA file '"},
        {"no credentials", true, "", "", "MQTT Client: Tried to connect but credentials are not set"},
        {"empty user name", true, "", "pw", "MQTT Client: Tried to connect but username or password is empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        std::filesystem::remove(CaPathInRoot(), ec);
        if (c.ca) WriteCa();
        Cloud::MqttClient client(&robot.port);
        if (!c.password.empty()) client.SetCredentials(c.user, c.password);
        TestSupport::LogCapture log;
        client.SetEnabled(true);
        EXPECT_TRUE(client.IsEnabled());
        EXPECT_EQ(log.Count(c.line), 1) << log.Joined();
        EXPECT_FALSE(client.IsConnected());
        client.SetEnabled(false);
    }
    std::error_code ec;
    std::filesystem::remove(CaPathInRoot(), ec);
    TestSupport::LogCapture log;
    Cloud::MqttClient client(&robot.port);
    client.SetEnabled(true);
    EXPECT_TRUE(log.Contains(std::string("does not exist")));
    EXPECT_TRUE(log.Contains(CaPathInRoot()));
}

TEST_F(ClientSettingsTest, ConcurrentEnableAndDisableNeverLoseTheUpdater) {
    // The updater takes its generation from Start: a disable right after an enable ends it,
    // whatever step it reached (a lost generation would make the disable join for ever).
    Cloud::MqttClient client(&robot.port);
    for (int i = 0; i < 50; ++i) {
        client.SetEnabled(true);
        client.SetEnabled(false);
    }
    EXPECT_FALSE(client.IsEnabled());
    client.SetEnabled(true);
}
