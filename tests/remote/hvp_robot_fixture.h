#pragma once

// Client connections over socket pairs, active or passive, on a controller port and a
// project manager. The port is a recording one (onRecordingPort) or the real one of a
// robot master on the six-axis arm of the fixtures, with a recording protocol and no loop
// running (requests stay where the commands leave them). Replies of one request are
// collected up to the answer of a GetVersion sent behind it, so "no reply" needs no wait.

#include "../control/recording_protocol.h"
#include "remote_test_support.h"

#include "control/ProjectManager.h"
#include "control/RobotMaster.h"
#include "control/RobotMasterPort.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicSixAxis.h"
#include "remote/ComServer.h"
#include "testsupport/HvpTestClient.h"
#include "testsupport/RecordingPort.h"
#include "testsupport/TestSupport.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace HvpTest {

using TestSupport::HvpTestClient;

using RemoteTest::kWaitMs;
using RemoteTest::WaitFor;

// Reports referencing flags set by the test; the joint and axis counts are the test's.
class ReferencingProtocol : public ControlTest::RecordingProtocol {
public:
    using RecordingProtocol::RecordingProtocol;
    void SetLayout(int robotJoints, int externalAxes) {
        SetRobotJointCount(robotJoints);
        externalAxisCount = externalAxes;
    }
    void GetReferenceStatus(bool* perJoint, int* all) override {
        const int n = GetRobotJointCount() + GetExternalAxisCount();
        for (int i = 0; i < n && i < 16; ++i) perJoint[i] = flags[i];
        *all = allReferenced;
    }
    bool flags[16] = {};
    int allReferenced = 0;
};

// One client connection: the server side and the test's client on a socket pair.
struct Link {
    std::unique_ptr<ComServer> server;
    HvpTestClient client;
    ~Link() {
        client.Close();
        server.reset();
    }
};

class HvpRobotFixture : public ::testing::Test {
public:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        if (!onRecordingPort) BuildRobot();
        active = Open(true);
        passive = Open(false);
    }
    void BuildRobot() {
        master = std::make_unique<RobotMaster>();
        auto arm = std::make_unique<RobotKinematicSixAxis>();
        arm->Init("arm", "StandardSixAxisPlus", std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/sixaxis/robot_default.xml",
                  0);
        RobotMasterTestAccess::Kinematic(*master) = std::move(arm);
        auto owned = std::make_unique<ReferencingProtocol>(master->GetKinematic());
        protocol = owned.get();
        protocol->SetLayout(6, 0);
        protocol->connected.store(true);
        protocol->RecordCycleCalls(false);
        master->SetHardwareProtocol(std::move(owned));
        for (IPO* ipo : {&master->GetMainInterpreter(), &master->GetLogicInterpreter(), &master->GetMoveToInterpreter()}) {
            ipo->InitPathGen(PATHGEN_JOINT, 100.0f, 10.0f, 3);
        }
        RobotMasterTestAccess::ZeroTorqueAllowed(*master)[1] = true;
        master->FinishInit();
        // No loop: what the commands request stays in the request slots for the checks.
        master->StopMainLoop();
        controller = std::make_unique<Control::RobotMasterPort>(*master, &project);
        protocol->Clear();
    }
    void TearDown() override {
        active.reset();
        passive.reset();
        if (master) master->StopMainLoop();
        controller.reset();
        master.reset();
    }

    std::unique_ptr<Link> Open(bool isActive) {
        auto link = std::make_unique<Link>();
        int fds[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        link->server = std::make_unique<ComServer>(Controller(), &project, nullptr, fds[0]);
        link->server->SetActive(isActive);
        link->server->StartServer();
        link->client.Adopt(fds[1]);
        EXPECT_TRUE(WaitFor([&] { return link->server->IsConnected(); }));
        Replies(*link, "");  // whatever the connection sent on its own
        return link;
    }

    // Sends "HVPSTART <counter> <body> HVPEND" (nothing when body is empty) and returns the
    // payloads that came before the answer to a GetVersion sent right behind it.
    std::vector<std::string> Replies(Link& link, const std::string& body, int counter = 5) {
        link.client.ClearReceived();
        if (!body.empty()) {
            EXPECT_TRUE(link.client.Send(counter, body));
        }
        EXPECT_TRUE(link.client.Send(999, "CMD GetVersion"));
        EXPECT_TRUE(link.client.WaitFor("INFO Version", kWaitMs).has_value()) << body;
        std::vector<std::string> out;
        const auto& frames = link.client.Received();
        for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
            // Server messages of other sources are not replies.
            if (frames[i].payload.rfind("MESSAGE ", 0) != 0) out.push_back(frames[i].payload);
        }
        return out;
    }

    Control::ControllerPort* Controller() {
        return onRecordingPort ? static_cast<Control::ControllerPort*>(&recording) : controller.get();
    }

    // Set in the constructor of a test that only checks the server's side.
    bool onRecordingPort = false;
    TestSupport::RecordingPort recording;
    std::unique_ptr<RobotMaster> master;
    ReferencingProtocol* protocol = nullptr;
    ProjectManager project;
    std::unique_ptr<Control::RobotMasterPort> controller;
    std::unique_ptr<Link> active;
    std::unique_ptr<Link> passive;
};

}  // namespace HvpTest
