// The cloud client against the local test broker: basic data on connect, telemetry on a
// change and every 5 s, the retained messages, refused certificates and passwords, and
// the TLS version floor.

#include "cloud/MqttTopics.h"
#include "cloud_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace CloudTest;

namespace {

// Sanitizer builds run several times slower: their timing bounds get room (the lower bound
// only for the subscriber's receipt jitter; the client's own period is monotonic).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSlack = 1.0;
#else
constexpr double kSlack = 0.0;
#endif
// Times are stamped on receipt by the subscriber: one set delivered a little late and the
// next on time shows a gap just under the client's period.
constexpr double kReceiptJitter = 0.1;

double Now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::vector<Message> Under(const std::vector<Message>& all, const std::string& part) {
    std::vector<Message> out;
    for (const Message& m : all) {
        if (m.topic.find(part) != std::string::npos) out.push_back(m);
    }
    return out;
}

// The telemetry topics in the order of one set.
const std::vector<std::string> kTelemetryOrder = {
    "/Status/CurrentCommand",      "/Status/ErrorCodes",          "/Status/ErrorString",
    "/Status/LastMessage",         "/Status/ProgramRunning",      "/Status/SubPrograms",
    "/Status/TemperaturesPCB",     "/Statistics/ProgramStarts",   "/Statistics/UpTimeComplete",
    "/Statistics/UpTimeEnabled",   "/Statistics/UpTimeLast",      "/Statistics/UpTimeMotion",
};

// Messages split into whole telemetry sets (each starts with CurrentCommand).
std::vector<std::vector<Message>> Sets(const std::vector<Message>& telemetry) {
    std::vector<std::vector<Message>> sets;
    for (const Message& m : telemetry) {
        if (m.topic.size() >= kTelemetryOrder[0].size() &&
            m.topic.compare(m.topic.size() - kTelemetryOrder[0].size(), std::string::npos, kTelemetryOrder[0]) == 0) {
            sets.emplace_back();
        }
        if (!sets.empty()) sets.back().push_back(m);
    }
    if (!sets.empty() && sets.back().size() < kTelemetryOrder.size()) sets.pop_back();
    return sets;
}

// A late subscriber's retained message on one topic: "retained qos payload", or "" when none comes.
std::string Retained(TestBroker& broker, const std::string& topic) {
    auto sub = broker.Subscribe({topic}, {"-C", "1", "-W", "3"});
    sub->WaitForExit(10000);
    const std::vector<Message> got = TestBroker::Messages(*sub);
    if (got.empty()) return "";
    return std::to_string(got[0].retained) + " " + std::to_string(got[0].qos) + " " + got[0].payload;
}

}  // namespace

TEST_F(BrokerTest, ConnectPublishesTheSevenBasicsInOrderNotRetained) {
    auto sub = broker->Subscribe({Base() + "/#"});
    client->SetEnabled(true);
    ASSERT_TRUE(WaitConnected()) << broker->Log();
    ASSERT_TRUE(sub->WaitForOutput(
        [&](const std::string&) { return Under(TestBroker::Messages(*sub), "/Basics/").size() >= 7; }, 30000))
        << sub->Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::vector<Message> basics = Under(TestBroker::Messages(*sub), "/Basics/");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"/Basics/RobotName", "Arm 1"},
        {"/Basics/RobotOwner", "Cell 7"},
        {"/Basics/ConnectionStatus", "Connected"},
        {"/Basics/SWVersion", "Belvanto V980-13-030"},
        {"/Basics/DeviceID", kTestIdentity},
        {"/Basics/Type", "Pivra4"},
        {"/Basics/ModuleCount", "R=3 E=1 G=1 P=0 IO=1"},
    };
    ASSERT_EQ(basics.size(), expected.size()) << sub->Output();
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].first);
        EXPECT_EQ(basics[i].topic, Base() + expected[i].first);
        EXPECT_EQ(basics[i].payload, expected[i].second);
        EXPECT_EQ(basics[i].qos, 1);
        EXPECT_EQ(basics[i].retained, 0);
    }
    // Nothing of it stays with the broker.
    auto late = broker->Subscribe({Base() + "/Basics/#"}, {"-W", "2"});
    late->WaitForExit(10000);
    EXPECT_TRUE(TestBroker::Messages(*late).empty()) << late->Output();
}

TEST_F(BrokerTest, TelemetryOnAChangeAndAgainAfterFiveSeconds) {
    auto sub = broker->Subscribe({Base() + "/Status/#", Base() + "/Statistics/#"});
    client->SetEnabled(true);
    ASSERT_TRUE(WaitConnected()) << broker->Log();
    // The first set follows the connect; wait for it and the next unchanged one.
    ASSERT_TRUE(AppTest::WaitUntil([&] { return Sets(TestBroker::Messages(*sub)).size() >= 2; }, 30000))
        << sub->Output();

    robot.WriteProgram("cloud/main.xml", "  <Comment Nr=\"1\" Descr=\"a\" />\n  <Sub Nr=\"2\" File=\"cloud/sub.xml\" />\n");
    robot.WriteProgram("cloud/sub.xml", "  <Comment Nr=\"1\" Descr=\"b\" />\n");
    ASSERT_EQ(robot.master.GetMainInterpreter().LoadProgramSynchronous("cloud/main.xml", false), 0);
    const double loaded = Now();
    ASSERT_TRUE(AppTest::WaitUntil(
        [&] {
            for (const auto& set : Sets(TestBroker::Messages(*sub))) {
                if (set[4].payload == "main.xml") return true;
            }
            return false;
        },
        30000))
        << sub->Output();
    // Two more unchanged sets after it.
    const size_t before = Sets(TestBroker::Messages(*sub)).size();
    ASSERT_TRUE(AppTest::WaitUntil([&] { return Sets(TestBroker::Messages(*sub)).size() >= before + 2; }, 30000));

    const std::vector<std::vector<Message>> sets = Sets(TestBroker::Messages(*sub));
    size_t changed = 0;
    while (changed < sets.size() && sets[changed][4].payload != "main.xml") ++changed;
    ASSERT_LT(changed, sets.size());
    EXPECT_LT(sets[changed][0].time - loaded, 1.0 + 2 * kSlack);
    for (size_t s = 0; s < sets.size(); ++s) {
        SCOPED_TRACE(s);
        for (size_t i = 0; i < kTelemetryOrder.size(); ++i) {
            EXPECT_EQ(sets[s][i].topic, Base() + kTelemetryOrder[i]);
            EXPECT_EQ(sets[s][i].qos, 0);
            EXPECT_EQ(sets[s][i].retained, 0);
        }
        if (s > 0 && s != changed) {
            // Unchanged data: after more than 5 s, and soon after that.
            const double gap = sets[s][0].time - sets[s - 1][0].time;
            EXPECT_GT(gap, 5.0 - kReceiptJitter - 0.2 * kSlack);
            EXPECT_LT(gap, 7.0 + kSlack);
        }
    }
    EXPECT_EQ(sets[changed][5].payload, "cloud/sub.xml");
    EXPECT_EQ(sets[changed][3].payload, "No error");
}

TEST_F(BrokerTest, RetainedRobotNameAndDisconnected) {
    client->SetEnabled(true);
    ASSERT_TRUE(WaitConnected()) << broker->Log();
    client->SetRobotName("Arm 2");
    EXPECT_EQ(Retained(*broker, Base() + "/Basics/RobotName"), "1 1 Arm 2");

    TestSupport::LogCapture log;
    client->SetEnabled(false);
    EXPECT_FALSE(client->IsConnected());
    EXPECT_EQ(Retained(*broker, Base() + "/Basics/ConnectionStatus"), "1 1 Disconnected");
    EXPECT_FALSE(log.Contains("Disconnect message not confirmed")) << log.Joined();
    ASSERT_TRUE(AppTest::WaitUntil([&] { return log.Contains("MQTT-Client: Disconnected"); }, 10000)) << log.Joined();

    // While disconnected a new name is only stored; the next connect publishes it, not retained.
    client->SetRobotName("Arm 3");
    EXPECT_EQ(Retained(*broker, Base() + "/Basics/RobotName"), "1 1 Arm 2");
    auto sub = broker->Subscribe({Base() + "/Basics/RobotName"});
    client->SetEnabled(true);
    ASSERT_TRUE(WaitConnected()) << broker->Log();
    ASSERT_TRUE(AppTest::WaitUntil(
        [&] {
            for (const Message& m : TestBroker::Messages(*sub)) {
                if (m.payload == "Arm 3") return m.retained == 0;
            }
            return false;
        },
        30000))
        << sub->Output();
}

TEST_F(BrokerTest, DisabledLinkClosesWithTheUpdaterStopped) {
    // Many quick switches while the broker answers: no hang, and every disable publishes
    // its retained message once connected.
    for (int i = 0; i < 3; ++i) {
        client->SetEnabled(true);
        ASSERT_TRUE(WaitConnected()) << broker->Log();
        client->SetEnabled(false);
        EXPECT_EQ(Retained(*broker, Base() + "/Basics/ConnectionStatus"), "1 1 Disconnected");
    }
}

class OtherHostBrokerTest : public BrokerTest {
protected:
    TestBroker::Options BrokerOptions() override {
        TestBroker::Options o;
        o.subjectAltName = "DNS:otherhost.test";
        return o;
    }
};

TEST_F(OtherHostBrokerTest, CertificateForAnotherHostIsRefused) {
    auto sub = broker->Subscribe({"#"}, {"--insecure"});
    TestSupport::LogCapture log;
    client->SetEnabled(true);
    ASSERT_TRUE(AppTest::WaitUntil([&] { return log.Contains("MQTT-Client: Connect failed"); }, 30000))
        << log.Joined();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_FALSE(client->IsConnected());
    EXPECT_FALSE(log.Contains("MQTT-Client: Connected"));
    EXPECT_TRUE(TestBroker::Messages(*sub).empty()) << sub->Output();
}

class Tls13OnlyBrokerTest : public BrokerTest {
protected:
    TestBroker::Options BrokerOptions() override {
        TestBroker::Options o;
        o.tlsVersion = "tlsv1.3";
        return o;
    }
};

TEST_F(Tls13OnlyBrokerTest, TlsFloorStillReachesANewerVersion) {
    client->SetEnabled(true);
    EXPECT_TRUE(WaitConnected()) << broker->Log();
}

TEST_F(BrokerTest, WrongPasswordIsRetriedAfter15AndThen30Seconds) {
    client->SetCredentials(broker->user, "wrong-password");
    TestSupport::LogCapture log;
    client->SetEnabled(true);
    ASSERT_TRUE(AppTest::WaitUntil([&] { return log.Count("MQTT Client: Connecting") >= 3; }, 120000))
        << log.Joined();
    const std::vector<long> stamps = AppTest::StampsOf(log.Joined(), "MQTT Client: Connecting");
    ASSERT_GE(stamps.size(), 3u);
    const double first = (stamps[1] - stamps[0]) / 1000.0;
    const double second = (stamps[2] - stamps[1]) / 1000.0;
    EXPECT_GT(first, 15.0);
    EXPECT_LT(first, 17.0 + kSlack);
    EXPECT_GT(second, 30.0);
    EXPECT_LT(second, 32.0 + kSlack);
    EXPECT_GE(log.Count("MQTT-Client: Connect failed"), 2) << log.Joined();
    EXPECT_FALSE(client->IsConnected());
}
