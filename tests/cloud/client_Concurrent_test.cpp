// Settings changed from three threads while the updater publishes telemetry and the broker
// drops the link (run under ThreadSanitizer by the CI).

#include "cloud_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace CloudTest;

TEST_F(BrokerTest, ConcurrentSettingsWhileTheUpdaterPublishesAndTheBrokerDrops) {
    std::atomic<int> callbacks{0};
    client->SetChangedCallback([&] {
        // What the remote-control server's telegram reads.
        if (client->IsEnabled() && !client->GetClientId().empty()) callbacks.fetch_add(1);
        (void)client->AreCredentialsSet();
        (void)client->IsConnected();
        (void)client->GetRobotName();
    });
    client->SetEnabled(true);
    ASSERT_TRUE(WaitConnected()) << broker->Log();
    const std::string stored = client->GetEncryptedCredentials();

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; !stop.load(); ++i) {
            client->SetRobotName("Arm " + std::to_string(i % 3));
            client->SetRobotOwner("Owner " + std::to_string(i % 2));
            (void)client->GetRobotOwner();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; !stop.load(); ++i) {
            client->SetClientId(i % 2 == 0 ? kTestClientId : "other-client");
            client->SetCameraEnvironment("cam" + std::to_string(i % 4));
            (void)client->GetCameraWorkarea();
            (void)client->IsConnected();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; !stop.load(); ++i) {
            client->SetEncryptedCredentials(stored);
            std::string user, password;
            (void)client->GetCredentials(user, password);
            client->SetCameraWorkarea("work" + std::to_string(i % 3));
            robot.protocol->SetStatus(i % 2 == 0 ? "Status: No_Error" : "Status: MNE", "code" + std::to_string(i % 5));
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });

    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    TestSupport::LogCapture log;
    broker->Kill();
    EXPECT_TRUE(AppTest::WaitUntil([&] { return !client->IsConnected(); }, 60000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    stop.store(true);
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(log.Contains("MQTT-Client: Connection lost")) << log.Joined();
    EXPECT_GT(callbacks.load(), 0);
    client.reset();
}
