#pragma once

// A manager on a free loopback port with a recording controller port (or, for the tests
// that run the whole controller, a robot master) and a cloud stand-in, clients that
// connect to it, and one main-loop pass of fan-out driven by the test.

#include "control/ProjectInterfaces.h"
#include "control/RobotMaster.h"
#include "control/RobotMasterPort.h"
#include "core/LogSingleton.h"
#include "remote/ComServerManager.h"
#include "testsupport/HvpTestClient.h"
#include "testsupport/RecordingPort.h"
#include "testsupport/TestSupport.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace RemoteTest {

using TestSupport::HvpTestClient;

// Generous: sanitizer builds are several times slower.
constexpr int kWaitMs = 10000;

inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = kWaitMs) {
    return TestSupport::WaitUntil(condition, timeoutMs, 2);
}

// Every frame queued for the client so far: sends a GetVersion and returns what came
// before its reply, which shares the client's queue. Unlike a quiet period this does not
// end early on a busy host, nor does it let a late frame slip past.
inline std::vector<HvpTestClient::Frame> FramesUpToMarker(HvpTestClient& client) {
    std::vector<HvpTestClient::Frame> frames;
    EXPECT_TRUE(client.Send(901, "CMD GetVersion"));
    HvpTestClient::Frame frame;
    while (client.ReadFrame(frame, kWaitMs)) {
        if (frame.payload == "INFO Version Belvanto 16") return frames;
        frames.push_back(frame);
    }
    ADD_FAILURE() << "no reply to the marker";
    return frames;
}

class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override { StartManager(); }
    void TearDown() override {
        clients.clear();
        if (manager) manager->Stop();
        manager.reset();
    }

    // The port the manager is given.
    virtual Control::ControllerPort& Controller() { return controller; }

    void StartManager() {
        manager = std::make_unique<ComServerManager>(0);
        manager->Init(&Controller(), nullptr, &cloud);
        manager->Start();
        ASSERT_TRUE(manager->WaitListening(kWaitMs));
        port = manager->GetPort();
    }

    // A new client, once the manager lists it as connected.
    HvpTestClient& Connect() {
        const std::size_t before = manager->ConnectionCount();
        clients.push_back(std::make_unique<HvpTestClient>());
        HvpTestClient& client = *clients.back();
        EXPECT_TRUE(client.Connect(port));
        EXPECT_TRUE(WaitFor([&] {
            const auto list = manager->Connections();
            return list.size() == before + 1 && list.back()->IsConnected();
        }));
        return client;
    }

    std::shared_ptr<ComServer> Server(std::size_t index) {
        const auto list = manager->Connections();
        return index < list.size() ? list[index] : nullptr;
    }

    // One main-loop pass of the fan-out.
    void Pass(const DataTypes::RobotState& state) {
        manager->CallSetCurrentPos(state);
        manager->CallPublishData();
        manager->CallSendServerMessage();
        manager->CallPublishLogMessage();
    }
    void Pass() { Pass(DataTypes::RobotState()); }

    // Sends body, then a GetVersion as a marker; the payloads that came before the marker's
    // reply (the request's replies and anything pushed meanwhile).
    std::vector<std::string> Exchange(HvpTestClient& client, const std::string& body) {
        EXPECT_TRUE(client.Send(900, body));
        std::vector<std::string> payloads;
        for (const HvpTestClient::Frame& frame : UpToMarker(client)) payloads.push_back(frame.payload);
        return payloads;
    }

    std::vector<HvpTestClient::Frame> UpToMarker(HvpTestClient& client) { return FramesUpToMarker(client); }

    TestSupport::RecordingPort controller;
    ProjectLinks::StoredCloudSettings cloud;
    std::unique_ptr<ComServerManager> manager;
    int port = 0;
    std::vector<std::unique_ptr<HvpTestClient>> clients;
};

// The same on a whole robot master, for tests that run the controller end to end.
class RobotServerFixture : public ServerFixture {
protected:
    Control::ControllerPort& Controller() override { return robotPort; }

    RobotMaster robot;
    Control::RobotMasterPort robotPort{robot, nullptr};
};

}  // namespace RemoteTest
