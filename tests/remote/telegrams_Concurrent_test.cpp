// The telegrams pushed to clients, pass by pass, read back with a parser of their own;
// events, variables, server messages and the cloud state.

#include "program/ProgramMemory.h"
#include "remote_test_support.h"
#include "vision/CameraManager.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <tinyxml2.h>

#include <map>
#include <sstream>

using namespace RemoteTest;

namespace {

// The status telegram by key, read without the server's format: each key is followed by
// its values up to the next key; ERROR holds its text and then 16 codes.
struct Status {
    std::map<std::string, std::vector<std::string>> fields;
    std::string errorText;

    explicit Status(const std::string& payload) {
        static const std::vector<std::string> keys = {
            "MODE", "POSJOINTSETPOINT", "POSJOINTCURRENT", "POSCARTROBOT", "POSCARTPLATTFORM", "OVERRIDE",
            "DIN", "DOUT", "ESTOP", "SUPPLY", "CURRENTALL", "CURRENTJOINTS", "ERROR", "KINSTATE", "OPMODE"};
        const auto tokens = HvpTestClient::Tokens(payload);
        EXPECT_EQ(tokens.front(), "STATUS");
        std::string key;
        std::size_t nextKey = 0;
        for (std::size_t i = 1; i < tokens.size(); ++i) {
            if (nextKey < keys.size() && tokens[i] == keys[nextKey]) {
                key = tokens[i];
                fields[key];
                ++nextKey;
                continue;
            }
            fields[key].push_back(tokens[i]);
        }
        EXPECT_EQ(nextKey, keys.size()) << payload;
        auto& error = fields["ERROR"];
        if (error.size() >= 16) {
            for (std::size_t i = 0; i + 16 < error.size(); ++i) errorText += (i ? " " : "") + error[i];
            error.erase(error.begin(), error.end() - 16);
        }
    }
    const std::vector<std::string>& operator[](const std::string& key) { return fields[key]; }
};

class HvpTelegramsConcurrent : public ServerFixture {};

TEST_F(HvpTelegramsConcurrent, EveryStatusFieldComesFromTheState) {
    HvpTestClient& client = Connect();
    DataTypes::RobotState s;
    for (int i = 0; i < 9; ++i) {
        s.jointSet[i] = 10.5f + i;
        s.jointAct[i] = -1.25f * i;
        s.currents[i] = 100 + i;
    }
    s.pose(0, 3) = 123.44f;
    s.pose(1, 3) = -5.0f;
    s.pose(2, 3) = 7.06f;
    s.A = 1.234f;
    s.B = -2.5f;
    s.C = 180.0f;
    s.override = 55.5f;
    s.DIn[0] = true;
    s.DOut[1] = true;
    s.eStop = 1;
    s.supply = 24000;
    s.currentAll = 3210;
    s.errorText = "Drive 2 lost";
    for (int i = 0; i < 16; ++i) s.errorCodes[i] = i * 3;
    s.kinState = 12;
    controller.motionType = 7;
    Pass(s);
    const auto status = client.WaitFor("STATUS", kWaitMs);
    ASSERT_TRUE(status);
    Status st(status->payload);
    EXPECT_EQ(st["MODE"], std::vector<std::string>{"joint"});
    ASSERT_EQ(st["POSJOINTSETPOINT"].size(), 16u);
    ASSERT_EQ(st["POSJOINTCURRENT"].size(), 16u);
    for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(std::stod(st["POSJOINTSETPOINT"][i]), 10.5 + i, 0.005);
        EXPECT_NEAR(std::stod(st["POSJOINTCURRENT"][i]), -1.25 * i, 0.005);
    }
    for (int i = 9; i < 16; ++i) EXPECT_EQ(st["POSJOINTSETPOINT"][i], "0.0");
    EXPECT_EQ(st["POSCARTROBOT"], (std::vector<std::string>{"123.4", "-5.0", "7.1", "1.23", "-2.50", "180.00"}));
    EXPECT_EQ(st["POSCARTPLATTFORM"], (std::vector<std::string>{"0.0", "0.0", "0.0"}));
    EXPECT_EQ(st["OVERRIDE"], std::vector<std::string>{"55.5"});
    EXPECT_EQ(st["DIN"], std::vector<std::string>{"1"});
    EXPECT_EQ(st["DOUT"], std::vector<std::string>{"2"});
    EXPECT_EQ(st["ESTOP"], std::vector<std::string>{"1"});
    EXPECT_EQ(st["SUPPLY"], std::vector<std::string>{"24000"});
    EXPECT_EQ(st["CURRENTALL"], std::vector<std::string>{"3210"});
    ASSERT_EQ(st["CURRENTJOINTS"].size(), 16u);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(st["CURRENTJOINTS"][i], std::to_string(100 + i));
    for (int i = 9; i < 16; ++i) EXPECT_EQ(st["CURRENTJOINTS"][i], "0");
    EXPECT_EQ(st.errorText, "Drive 2 lost");
    for (int i = 0; i < 16; ++i) EXPECT_EQ(st["ERROR"][i], std::to_string(i * 3));
    EXPECT_EQ(st["KINSTATE"], std::vector<std::string>{"12"});
    EXPECT_EQ(st["OPMODE"], std::vector<std::string>{"-1"});

    // Input 63 is not reported; the motion modes by name.
    DataTypes::RobotState last;
    last.DIn[63] = true;
    controller.motionType = MOTION_ROBOT_CART_TOOL;
    Pass(last);
    const auto next = client.WaitFor("STATUS", kWaitMs);
    ASSERT_TRUE(next);
    Status st2(next->payload);
    EXPECT_EQ(st2["DIN"], std::vector<std::string>{"0"});
    EXPECT_EQ(st2["MODE"], std::vector<std::string>{"carttool"});
}

TEST_F(HvpTelegramsConcurrent, CompanionsFollowTheirSubCycles) {
    HvpTestClient& client = Connect();
    // Between passes only: the fan-out reads the published state on this thread.
    auto setSignal = [&](int n, bool on) { controller.state.GSig[n] = on; };
    const int passes = 110;
    for (int pass = 1; pass <= passes; ++pass) {
        // The global signals seen at the GSIG calls 13, 34 and 55.
        setSignal(31, pass <= 13);
        setSignal(64, pass > 13 && pass <= 34);
        setSignal(99, pass > 34);
        Pass();
    }
    std::map<std::string, std::vector<int>> calls;
    std::vector<std::string> gsig;
    int call = 0;
    std::vector<HvpTestClient::Frame> frames = UpToMarker(client);
    for (const HvpTestClient::Frame& frame : frames) {
        const std::string type = HvpTestClient::Tokens(frame.payload).front();
        if (type == "STATUS") ++call;
        if (type == "MESSAGE" || type == "CMD") continue;
        calls[type].push_back(call);
        if (type == "GSIG") gsig.push_back(frame.payload);
        if (type == "RUNSTATE" && call == 5) {
            EXPECT_EQ(frame.payload,
                      "RUNSTATE None 0 -1 0 " + std::to_string(controller.main.replayMode));
        }
    }
    EXPECT_EQ(call, passes);
    EXPECT_EQ(calls["RUNSTATE"], (std::vector<int>{5, 26, 47, 68, 89, 110}));
    EXPECT_EQ(calls["GRIPPERSTATE"], (std::vector<int>{9, 30, 51, 72, 93}));
    EXPECT_EQ(calls["GSIG"], (std::vector<int>{13, 34, 55, 76, 97}));
    EXPECT_EQ(calls["OPINFO"], (std::vector<int>{1, 102}));
    ASSERT_GE(gsig.size(), 3u);
    EXPECT_EQ(gsig[0], "GSIG 2147483648 0");
    EXPECT_EQ(gsig[1], "GSIG 0 1");
    EXPECT_EQ(gsig[2], "GSIG 0 34359738368");
}

TEST_F(HvpTelegramsConcurrent, EveryClientGetsEachNewCameraLineAtItsCameraStep) {
    Camera::CameraManager& cameras = Camera::CameraManager::Instance();
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse("<Cameras><HwCamera Type=\"Sim\" Name=\"Sim\" A=\"270\"/></Cameras>"),
              tinyxml2::XML_SUCCESS);
    cameras.Read(doc.RootElement());
    const int period = cameras.resultPeriod;
    cameras.resultPeriod = 3600;  // no repeated line however slow the build
    HvpTestClient& a = Connect();
    HvpTestClient& b = Connect();
    for (int pass = 1; pass <= 40; ++pass) {
        // As the main loop does: the lines are built once per pass, before the fan-out.
        cameras.ProduceHVPLines();
        Pass();
    }
    cameras.Clear();
    cameras.resultPeriod = period;
    for (HvpTestClient* client : {&a, &b}) {
        int call = 0;
        std::vector<int> at;
        for (const HvpTestClient::Frame& frame : UpToMarker(*client)) {
            if (frame.payload.rfind("STATUS ", 0) == 0) ++call;
            if (frame.payload.rfind("CAMINFO ", 0) == 0) {
                EXPECT_EQ(frame.payload, "CAMINFO CameraResult Sim Sim CONNECTED 0 0 0 -90 0 0 1");
                at.push_back(call);
            }
        }
        // The first camera step (call 17) takes the new line; nothing new came after it.
        EXPECT_EQ(at, std::vector<int>{17});
    }
}

TEST_F(HvpTelegramsConcurrent, ServerMessagesKeepTheNewestTenInOrderAndReachEveryClient) {
    HvpTestClient& a = Connect();
    HvpTestClient& b = Connect();
    Pass();
    UpToMarker(a);
    UpToMarker(b);
    a.ClearReceived();
    b.ClearReceived();
    for (int i = 1; i <= 11; ++i) LogSingleton::instance()->ServerSetMessage("note " + std::to_string(i));
    EXPECT_EQ(manager->QueuedServerMessages(), 10u);
    Pass();
    for (HvpTestClient* client : {&a, &b}) {
        UpToMarker(*client);
        std::vector<std::string> expected;
        for (int i = 2; i <= 11; ++i) expected.push_back("MESSAGE note " + std::to_string(i));
        EXPECT_EQ(client->PayloadsStartingWith("MESSAGE note"), expected);
    }
}

TEST_F(HvpTelegramsConcurrent, EventsVariablesAndCloudChangesReachEveryClient) {
    HvpTestClient& a = Connect();
    HvpTestClient& b = Connect();
    // What the controller reports through the receivers the manager installed (that the
    // robot master's interpreters and variables reach them is the port's own test).
    ASSERT_NE(controller.resultReceiver, nullptr);
    ASSERT_TRUE(controller.variableReceiver);
    controller.resultReceiver(HVP_EVENT_ACK, 3, 0, "");
    controller.resultReceiver(HVP_EVENT_END, 7, 1, "user");
    controller.resultReceiver(HVP_EVENT_ERROR, 1, 0, "no path");
    controller.resultReceiver(HVP_EVENT_PAUSE, 4, 2, "");
    controller.variableReceiver(Programs::MemoryPosition("#position", 1.0, false));
    controller.variableReceiver(Programs::MemoryPosition("counter", 5.0, false));
    cloud.ClearCredentials();
    for (HvpTestClient* client : {&a, &b}) {
        ASSERT_TRUE(client->WaitFor("CONFIG Cloud", kWaitMs));
        EXPECT_EQ(client->PayloadsStartingWith("EXEC"),
                  (std::vector<std::string>{"EXECACK 3 0", "EXECEND 7 1 user", "EXECERROR 1 0 no path",
                                            "EXECPAUSE 4 2"}));
        EXPECT_EQ(client->PayloadsStartingWith("VARINFO"),
                  std::vector<std::string>{"VARINFO ValueNrVariable counter 5"});
        EXPECT_EQ(client->PayloadsStartingWith("CONFIG Cloud"),
                  std::vector<std::string>{"CONFIG Cloud False False False \"\" \"\" \"\" \"\" \"\""});
    }
}

}  // namespace
