// Clients of the manager: the first lines a new client gets, active and passive roles,
// races between connects and activation, the client limit, and start and stop.

#include "remote_test_support.h"

#include <algorithm>

using namespace RemoteTest;

namespace {

class HvpClientsConcurrent : public ServerFixture {};

TEST_F(HvpClientsConcurrent, ANewClientGetsConfigurationActiveStateStatusAndOpinfoThenMessages) {
    LogSingleton* log = LogSingleton::instance();
    log->set_robotName("Cell 1");
    log->set_robotType("Scara/SCARA600");
    log->set_robotGripper("Vacuum");
    robot.SetVelocitySetting(7);
    HvpTestClient& first = Connect();
    Pass();
    HvpTestClient& second = Connect();
    Pass();
    const std::string version = log->get_softwareVersion();
    const std::vector<std::string> expected = {
        "MESSAGE Belvanto Version " + version,
        "MESSAGE Configuration: \"Cell 1\" Type: \"SCARA600\" Gripper: \"Vacuum\"",
        "MESSAGE VelocitySetting: \"7\"",
        "CMD Active false",
        "STATUS",
        "OPINFO",
        "MESSAGE Client accepted!",
    };
    const auto frames = UpToMarker(second);
    ASSERT_GE(frames.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(frames[i].payload.rfind(expected[i], 0), 0u) << i << ": " << frames[i].payload;
        EXPECT_EQ(frames[i].counter, static_cast<int>(i));
    }
    // Every client is told of every accept.
    UpToMarker(first);
    EXPECT_EQ(first.PayloadsStartingWith("MESSAGE Client accepted!").size(), 2u);
    EXPECT_EQ(first.PayloadsStartingWith("CMD Active true").size(), 1u);
}

TEST_F(HvpClientsConcurrent, FirstIsActiveLaterPassiveAndNobodyTakesOverWhenTheActiveLeaves) {
    Connect();
    HvpTestClient& second = Connect();
    std::shared_ptr<ComServer> firstServer = Server(0);
    std::shared_ptr<ComServer> secondServer = Server(1);
    EXPECT_TRUE(firstServer->IsActive());
    EXPECT_FALSE(secondServer->IsActive());
    EXPECT_EQ(manager->GetActiveComServer(), firstServer);

    clients[0]->Close();
    ASSERT_TRUE(WaitFor([&] { return manager->ConnectionCount() == 1; }));
    EXPECT_FALSE(secondServer->IsActive());
    EXPECT_EQ(manager->GetActiveComServer(), nullptr);
    EXPECT_FALSE(firstServer->IsConnected()) << "a removed connection gets no more fan-out";

    Connect();
    EXPECT_TRUE(Server(1)->IsActive()) << "with none active, a new client is";

    // A passive client that asks becomes the only active one; each changed client hears.
    using Lines = std::vector<std::string>;
    EXPECT_EQ(Exchange(second, "CMD SetActive TRUE"), (Lines{"CMD Active true", "CMD Active true"}));
    EXPECT_TRUE(clients[2]->WaitFor("CMD Active false", kWaitMs));
    EXPECT_TRUE(secondServer->IsActive());
    EXPECT_FALSE(Server(1)->IsActive());
    // Asking for the state it has changes nothing and only answers.
    EXPECT_EQ(Exchange(second, "CMD SetActive true"), (Lines{"CMD Active true"}));
    // Without a state nothing changes; the client hears its current state.
    EXPECT_EQ(Exchange(second, "CMD SetActive"), (Lines{"CMD Active true"}));
    EXPECT_TRUE(secondServer->IsActive());

    EXPECT_EQ(Exchange(second, "CMD SetActive false"), (Lines{"CMD Active false", "CMD Active false"}));
    EXPECT_EQ(manager->GetActiveComServer(), nullptr);
    EXPECT_EQ(Exchange(second, "CMD GetActive"), (Lines{"CMD Active false"}));
    EXPECT_TRUE(UpToMarker(*clients[2]).empty()) << "an unchanged client hears nothing";
}

TEST_F(HvpClientsConcurrent, ConnectsRacingAnActivationNeverGiveTwoActiveClients) {
    HvpTestClient& requester = Connect();
    for (int round = 0; round < 200; ++round) {
        // The requester goes passive, so the racing connect finds no active client.
        ASSERT_TRUE(requester.Send(round, "CMD SetActive false"));
        ASSERT_TRUE(requester.WaitFor("CMD Active false", kWaitMs));
        HvpTestClient racer;
        std::thread connect([&] { racer.Connect(port); });
        ASSERT_TRUE(requester.Send(round, "CMD SetActive true"));
        connect.join();
        ASSERT_TRUE(requester.WaitFor("CMD Active", kWaitMs));
        ASSERT_TRUE(WaitFor([&] { return manager->ConnectionCount() == 2; }));
        int active = 0;
        for (const auto& c : manager->Connections()) active += c->IsActive() ? 1 : 0;
        ASSERT_LE(active, 1) << "round " << round;
        racer.Close();
        // A closed client is noticed at the latest by the next telegram sent to it.
        ASSERT_TRUE(WaitFor([&] {
            Pass();
            return manager->ConnectionCount() == 1;
        }));
    }
}

TEST_F(HvpClientsConcurrent, ASixthClientEvictsTheOldestThatNeverSentAFrame) {
    TestSupport::LogCapture log;
    for (int i = 0; i < 5; ++i) Connect();
    // Clients 0 and 2 have spoken; 1 is the oldest silent one.
    ASSERT_TRUE(clients[0]->Send(1, "CMD GetVersion"));
    ASSERT_TRUE(clients[2]->Send(1, "CMD GetVersion"));
    ASSERT_TRUE(clients[0]->WaitFor("INFO Version", kWaitMs));
    ASSERT_TRUE(clients[2]->WaitFor("INFO Version", kWaitMs));
    std::shared_ptr<ComServer> silent = Server(1);

    HvpTestClient sixth;
    ASSERT_TRUE(sixth.Connect(port));
    EXPECT_TRUE(clients[1]->WaitClosed(kWaitMs));
    ASSERT_TRUE(WaitFor([&] {
        const auto list = manager->Connections();
        return list.size() == 5 && list.back()->IsConnected() && list.back() != silent;
    }));
    const auto list = manager->Connections();
    EXPECT_TRUE(std::find(list.begin(), list.end(), silent) == list.end());
    ASSERT_TRUE(sixth.Send(1, "CMD GetVersion"));
    EXPECT_TRUE(sixth.WaitFor("INFO Version", kWaitMs));
    EXPECT_TRUE(log.Contains("ComServerManager: Closing the oldest client that never sent a frame"));

    // With every client having spoken, a new one waits until a place is free.
    for (int i : {3, 4}) {
        ASSERT_TRUE(clients[i]->Send(1, "CMD GetVersion"));
        ASSERT_TRUE(clients[i]->WaitFor("INFO Version", kWaitMs));
    }
    HvpTestClient seventh;
    ASSERT_TRUE(seventh.Connect(port));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(manager->ConnectionCount(), 5u);
    const std::shared_ptr<ComServer> newest = manager->Connections().back();
    clients[0]->Close();
    ASSERT_TRUE(WaitFor([&] {
        const auto now = manager->Connections();
        return now.size() == 5 && now.back() != newest && now.back()->IsConnected();
    }));
    ASSERT_TRUE(seventh.Send(1, "CMD GetVersion"));
    EXPECT_TRUE(seventh.WaitFor("INFO Version", kWaitMs));
}

TEST_F(HvpClientsConcurrent, StartTwiceAndStopTwiceAreLoggedAndStopClosesEveryClientAtOnce) {
    TestSupport::LogCapture log;
    HvpTestClient& a = Connect();
    HvpTestClient& b = Connect();
    manager->Start();
    EXPECT_TRUE(log.Contains("ComServerManager: Can not start, already running"));
    const auto start = std::chrono::steady_clock::now();
    manager->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(manager->ConnectionCount(), 0u);
    EXPECT_TRUE(a.WaitClosed(kWaitMs));
    EXPECT_TRUE(b.WaitClosed(kWaitMs));
    manager->Stop();
    EXPECT_TRUE(log.Contains("ComServerManager: Can not stop, not running"));
    HvpTestClient late;
    EXPECT_FALSE(late.Connect(port, 200)) << "the listener is gone";
}

}  // namespace
