// Variable changes pushed through the manager to every client: a set that is refused
// changes nothing and pushes nothing to anyone; an accepted one is pushed once to each.

#include "hvp_robot_fixture.h"

#include "program/ProgramMemory.h"
#include "remote/ComServerManager.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using HvpTest::HvpTestClient;
using HvpTest::kWaitMs;

class VarPushConcurrent : public HvpTest::HvpRobotFixture {
protected:
    void SetUp() override {
        HvpRobotFixture::SetUp();
        master->GetProgramMemory().SetVariablePosJoint("mb_pos_r3", 10, 30, 60, 5, 40, 15, 0, 0, 0, false);
        manager = std::make_unique<ComServerManager>(0);
        manager->Init(controller.get(), &project, nullptr);
        manager->Start();
        ASSERT_TRUE(manager->WaitListening(kWaitMs));
        for (HvpTestClient* client : {&sender, &other}) {
            const std::size_t before = manager->ConnectionCount();
            ASSERT_TRUE(client->Connect(manager->GetPort()));
            ASSERT_TRUE(HvpTest::WaitFor([&] {
                const auto list = manager->Connections();
                return list.size() == before + 1 && list.back()->IsConnected();
            }));
        }
        UpToMarker(sender);
        UpToMarker(other);
    }
    void TearDown() override {
        sender.Close();
        other.Close();
        if (manager) manager->Stop();
        manager.reset();
        HvpRobotFixture::TearDown();
    }

    // The payloads that reached the client before the reply to a GetVersion sent now, which
    // shares the client's queue with every push made before it (server messages left out).
    static std::vector<std::string> UpToMarker(HvpTestClient& client) {
        std::vector<std::string> payloads;
        for (const HvpTestClient::Frame& frame : RemoteTest::FramesUpToMarker(client)) {
            if (frame.payload.rfind("MESSAGE ", 0) != 0) payloads.push_back(frame.payload);
        }
        return payloads;
    }

    static std::vector<std::string> Pushes(const std::vector<std::string>& payloads) {
        std::vector<std::string> out;
        for (const std::string& p : payloads) {
            if (p.rfind("VARINFO", 0) == 0) out.push_back(p);
        }
        return out;
    }

    std::string Stored() {
        EXPECT_TRUE(sender.Send(7, "VAR GetPosVariable mb_pos_r3"));
        const auto reply = sender.WaitFor("VARINFO ValuePosVariable mb_pos_r3", kWaitMs);
        EXPECT_TRUE(reply);
        return reply ? reply->payload : std::string();
    }

    std::unique_ptr<ComServerManager> manager;
    HvpTestClient sender;  // accepted first: the active client
    HvpTestClient other;
};

TEST_F(VarPushConcurrent, ARefusedPositionSetPushesNothingToAnyClient) {
    const std::string before = Stored();
    UpToMarker(sender);
    struct Case {
        const char* what;
        const char* body;
        const char* error;
        bool withoutKinematic;
    };
    const Case cases[] = {
        {"joint 1 below its limit", "VAR SetVariablePosCart mb_pos_r3 -143.921 -88.2679 40.5254 5.72109 -38.3808 -167.747 0 0 0",
         "CMDERROR 5 Joint limit min reached", false},
        {"singular", "VAR SetVariablePosCart mb_pos_r3 -12.34 5 400 170 -45 180 0 0 0", "CMDERROR 5 Center singularity",
         false},
        {"out of reach", "VAR SetVariablePosCart mb_pos_r3 99999 0 0 0 0 0 0 0 0", "CMDERROR 5 Out of reach", false},
        {"Cartesian, no kinematic", "VAR SetVariablePosCart mb_pos_r3 400 0 500 0 90 0 0 0 0",
         "CMDERROR 5 ProgramMemory: cannot compute the joints of variable mb_pos_r3: no kinematic or robot state set yet",
         true},
        {"joints, no kinematic", "VAR SetVariablePosJoint mb_pos_r3 0 0 90 0 90 0 0 0 0",
         "CMDERROR 5 ProgramMemory: cannot compute the pose of variable mb_pos_r3: no kinematic set yet", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<RobotKinematic> kept;
        if (c.withoutKinematic) {
            kept = master->GetKinematic()->clone();
            master->GetProgramMemory().SetKinematic(nullptr);
        }
        ASSERT_TRUE(sender.Send(5, c.body));
        const std::vector<std::string> toSender = UpToMarker(sender);
        EXPECT_EQ(toSender, std::vector<std::string>{c.error});
        EXPECT_TRUE(Pushes(UpToMarker(other)).empty());
        if (kept) master->GetProgramMemory().SetKinematic(std::move(kept));
        EXPECT_EQ(Stored(), before);
        UpToMarker(sender);
    }

    // The same way, an accepted set is seen: once by each client.
    ASSERT_TRUE(sender.Send(5, "VAR SetVariablePosJoint mb_pos_r3 0 0 90 0 90 0 0 0 0"));
    const std::vector<std::string> toSender = UpToMarker(sender);
    ASSERT_EQ(Pushes(toSender).size(), 1u);
    EXPECT_EQ(Pushes(toSender)[0].rfind("VARINFO ValuePosVariable mb_pos_r3 ", 0), 0u);
    EXPECT_EQ(Pushes(UpToMarker(other)), Pushes(toSender));
}

}  // namespace
