// The controller process in a copy of the demo data root on the virtual CAN hub with
// simulated drives, operated by an HVP client: reset, enable, reference, a joint move to
// a target, refused non-numbers, a program uploaded, loaded and run, a file name that
// leaves the programs folder, and the socat line the demo script prints.

#include "../control/app_process_support.h"
#include "testsupport/HvpTestClient.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if defined(BELVANTO_BINARY) && defined(BELVANTO_CANHUB_PROGRAM) && defined(BELVANTO_DRIVESIM_PROGRAM)

namespace {

namespace fs = std::filesystem;
using AppTest::BelvantoProcess;
using TestSupport::HvpTestClient;

constexpr int kWaitMs = 60000;  // sanitizer builds start and move slowly

// The values after key in a STATUS payload.
std::vector<float> StatusValues(const std::string& payload, const std::string& key, int count) {
    return HvpTestClient::ValuesAfter(payload, key, count);
}

bool Near(const std::vector<float>& values, const std::vector<float>& target, float tolerance) {
    if (values.size() < target.size()) return false;
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (std::fabs(values[i] - target[i]) > tolerance) return false;
    }
    return true;
}

class HvpDemoProcess : public ::testing::Test {
protected:
    void SetUp() override {
        p.CopyDataRoot(BELVANTO_DEMO_DIR);
        ASSERT_TRUE(bus.Start(p.dir, p.root + "/Data/Robots/JXRPivra4/JXRPivra4.xml", {"--dio", "80"}));
        // The HVP server listens on a port chosen at run time (p.hvpPort).
        p.Start({bus.Environment()});
        ASSERT_TRUE(p.WaitForOutput(
            [](const std::string& o) { return o.find("RobotMainLoop is executing") != std::string::npos; }, kWaitMs))
            << p.Output();
        ASSERT_TRUE(client.Connect(p.hvpPort, kWaitMs)) << p.Output();
        ASSERT_TRUE(client.WaitFor("CMD Active true", kWaitMs).has_value()) << p.Output();
    }
    void TearDown() override {
        client.Close();
        p.Stop(10000);
        bus.sim.Stop();
        bus.hub.Stop();
    }

    // Sends a CMD request and returns its reply without the counter: "CMDACK" or
    // "CMDERROR <text>" ("" when none came).
    std::string Command(const std::string& body) {
        const int counter = ++counterNow;
        EXPECT_TRUE(client.Send(counter, "CMD " + body));
        const std::string ack = "CMDACK " + std::to_string(counter);
        const std::string error = "CMDERROR " + std::to_string(counter) + " ";
        const auto reply = client.WaitForFrame(
            [&](const HvpTestClient::Frame& f) { return f.payload == ack || f.payload.rfind(error, 0) == 0; },
            kWaitMs);
        if (!reply) return std::string();
        return reply->payload == ack ? "CMDACK" : "CMDERROR " + reply->payload.substr(error.size());
    }
    static std::string Ack() { return "CMDACK"; }
    static std::string Error(const std::string& text) { return "CMDERROR " + text; }
    // A queued operator code, acknowledged and then taken by the main loop: a pass takes
    // the pending code before it sends the status, so two status telegrams after the
    // acknowledgement mean it ran (a later code would replace one not yet taken).
    void Operate(const std::string& body) {
        ASSERT_EQ(Command(body), Ack());
        ASSERT_TRUE(NextStatus().has_value());
        ASSERT_TRUE(NextStatus().has_value());
    }
    // Sends a move again until its outcome (the first frame that isEnd accepts) is the one
    // wanted: referencing stops a move meanwhile (EXECEND with REFERENCING) and drives still
    // coming up refuse it (EXECERROR). The interpreter acknowledges its start before the
    // server's CMDACK.
    void RepeatMove(const std::string& move, const std::function<bool(const HvpTestClient::Frame&)>& isEnd,
                    const std::function<bool(const HvpTestClient::Frame&)>& wanted) {
        bool done = false;
        std::string seen;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(3 * kWaitMs);
        while (!done && std::chrono::steady_clock::now() < giveUp) {
            client.ClearReceived();
            ASSERT_EQ(Command(move), Ack());
            std::optional<HvpTestClient::Frame> end;
            for (const auto& f : client.Received()) {
                if (!end && isEnd(f)) end = f;
            }
            if (!end) end = client.WaitForFrame(isEnd, kWaitMs);
            ASSERT_TRUE(end.has_value()) << p.Output();
            seen += end->payload + "\n";
            done = wanted(*end);
            if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        }
        ASSERT_TRUE(done) << seen;
    }
    // Until the move ends with EXECEND PLAN.
    void MoveToItsEnd(const std::string& move) {
        RepeatMove(
            move,
            [](const HvpTestClient::Frame& f) {
                return f.payload.rfind("EXECEND", 0) == 0 || f.payload.rfind("EXECERROR", 0) == 0;
            },
            [](const HvpTestClient::Frame& f) {
                return f.payload.rfind("EXECEND", 0) == 0 && HvpTestClient::Tokens(f.payload).back() == "PLAN";
            });
        ASSERT_FALSE(client.PayloadsStartingWith("EXECACK").empty());
    }
    // Until the move is refused with an EXECERROR holding refusal.
    void MoveRefused(const std::string& move, const std::string& refusal) {
        RepeatMove(
            move, [](const HvpTestClient::Frame& f) { return f.payload.rfind("EXECERROR", 0) == 0; },
            [&](const HvpTestClient::Frame&) {
                for (const auto& f : client.PayloadsStartingWith("EXECERROR")) {
                    if (f.find(refusal) != std::string::npos) return true;
                }
                return false;
            });
    }
    std::optional<HvpTestClient::Frame> NextStatus() {
        return client.WaitForFrame([](const HvpTestClient::Frame& f) { return f.payload.rfind("STATUS ", 0) == 0; },
                                   kWaitMs);
    }

    BelvantoProcess p;
    AppTest::SimulatedBus bus;
    HvpTestClient client;
    int counterNow = 100;
};

TEST_F(HvpDemoProcess, JointMoveReachesItsTargetAndNonNumbersChangeNothing) {
    Operate("Reset");
    Operate("Enable");
    Operate("ReferenceAllJoints");
    // Referencing runs joint by joint for some seconds and stops a move meanwhile.
    const std::vector<float> target = {10.0f, 20.0f, 30.0f, 15.0f};
    ASSERT_NO_FATAL_FAILURE(MoveToItsEnd("Move Joint 10 20 30 15 0 0 0 0 0 50"));

    std::string status;
    ASSERT_TRUE(AppTest::WaitUntil(
        [&] {
            const auto s = NextStatus();
            if (!s) return false;
            status = s->payload;
            return Near(StatusValues(status, "POSJOINTSETPOINT", 4), target, 0.05f) &&
                   Near(StatusValues(status, "POSJOINTCURRENT", 4), target, 0.05f);
        },
        kWaitMs))
        << status;
    const std::vector<float> overrideBefore = StatusValues(status, "OVERRIDE", 1);

    EXPECT_EQ(Command("Override nan"), Error("could not parse command"));
    EXPECT_EQ(Command("Move Joint nan 20 30 15 0 0 0 0 0 50"), Error("incomplete move command"));
    EXPECT_EQ(Command("Move Joint 10 20 30 15 0 0 0 0 0 inf"), Error("incomplete move command"));
    // Two passes later nothing has moved and the override is as it was.
    ASSERT_TRUE(NextStatus().has_value());
    const auto after = NextStatus();
    ASSERT_TRUE(after.has_value());
    EXPECT_TRUE(Near(StatusValues(after->payload, "POSJOINTSETPOINT", 4), target, 0.05f)) << after->payload;
    EXPECT_TRUE(Near(StatusValues(after->payload, "POSJOINTCURRENT", 4), target, 0.05f)) << after->payload;
    EXPECT_EQ(StatusValues(after->payload, "OVERRIDE", 1), overrideBefore) << after->payload;
    EXPECT_TRUE(client.PayloadsStartingWith("EXECACK").size() >= 1u);
}

TEST_F(HvpDemoProcess, JointMovePastASoftLimitIsRefusedBeforeTheArmMoves) {
    Operate("Reset");
    Operate("Enable");
    // The demo arm's A1 ends at 130 degrees: a move to 140 must not start at all.
    const std::string refusal = "Kinematic error: Joint limit max reached";
    ASSERT_NO_FATAL_FAILURE(MoveRefused("Move Joint 140 20 30 15 0 0 0 0 0 50", refusal));
    // The set-points never left the start.
    for (int i = 0; i < 3; ++i) {
        const auto status = NextStatus();
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(Near(StatusValues(status->payload, "POSJOINTSETPOINT", 4), {0, 0, 0, 0}, 0.001f)) << status->payload;
    }
    EXPECT_NE(p.Output().find("PathGen: target refused before motion: " + refusal), std::string::npos) << p.Output();
}

TEST_F(HvpDemoProcess, CartesianMovePastASoftLimitIsRefusedBeforeTheArmMoves) {
    Operate("Reset");
    Operate("Enable");
    const std::vector<float> start = {110.0f, 20.0f, 70.0f, 45.0f};
    ASSERT_NO_FATAL_FAILURE(MoveToItsEnd("Move Joint 110 20 70 45 0 0 0 0 0 100"));
    // The pose of the demo arm at joints (135, 20, 70, 45): its A1 ends at 130 degrees, so
    // the line there must not start at all.
    const std::string refusal = "Kinematic error: Joint limit max reached";
    ASSERT_NO_FATAL_FAILURE(MoveRefused("Move Cart -221.86 221.86 357.58 -45 45 180 0 0 0 120", refusal));
    for (int i = 0; i < 3; ++i) {
        const auto status = NextStatus();
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(Near(StatusValues(status->payload, "POSJOINTSETPOINT", 4), start, 0.01f)) << status->payload;
    }
    EXPECT_NE(p.Output().find("PathGen: target refused before motion: " + refusal), std::string::npos) << p.Output();
}

TEST_F(HvpDemoProcess, UploadedProgramLoadsAndRunsAndNamesStayInsideTheData) {
    const std::vector<std::string> lines = {
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>",
        "<Program>",
        "  <Header Software=\"V980-13-030\" RobotType=\"JXRPivra4\" RobotName=\"Demo\" GripperType=\"\" "
        "VelocitySetting=\"1\" />",
        "",
        "  <Wait Nr=\"1\" Type=\"Time\" Seconds=\"0.5\" />",
        "</Program>",
    };
    std::string expected;
    ASSERT_TRUE(client.Send(++counterNow, "CMD UploadFileInit Programs/up/hvp.xml " + std::to_string(lines.size())));
    for (const std::string& line : lines) {
        ASSERT_TRUE(client.Send(++counterNow, "CMD UploadFileLine " + line));
        expected += line + "\n";
    }
    ASSERT_TRUE(client.Send(++counterNow, "CMD UploadFileFinish"));
    ASSERT_TRUE(client.WaitFor("MESSAGE Programs/up/hvp.xml uploaded, 6 lines", kWaitMs).has_value()) << p.Output();
    EXPECT_EQ(AppTest::ReadFile(p.root + "/Data/Programs/up/hvp.xml"), expected);
    EXPECT_FALSE(fs::exists(p.root + "/Data/Programs/up/hvp.xml.part"));

    Operate("Reset");
    Operate("Enable");
    Operate("ProgramReplayMode 0");
    ASSERT_EQ(Command("LoadProgram up/hvp.xml"), Ack());
    ASSERT_TRUE(AppTest::WaitUntil(
        [&] {
            client.Send(++counterNow, "CMD GetProgramInfo");
            const auto info = client.WaitFor("INFO ProgramInfo", 10000);
            return info && info->payload.rfind("INFO ProgramInfo up/hvp.xml ", 0) == 0;
        },
        kWaitMs))
        << p.Output();
    // The start is a queued code: the interpreter's EXECACK follows the CMDACK.
    client.ClearReceived();
    ASSERT_EQ(Command("StartProgram"), Ack());
    const auto end = client.WaitForFrame(
        [](const HvpTestClient::Frame& f) {
            return f.payload.rfind("EXECEND", 0) == 0 || f.payload.rfind("EXECERROR", 0) == 0;
        },
        kWaitMs);
    ASSERT_TRUE(end.has_value()) << p.Output();
    EXPECT_EQ(end->payload.rfind("EXECEND", 0), 0u) << end->payload;
    EXPECT_FALSE(client.PayloadsStartingWith("EXECACK").empty());

    // A name that leaves the programs folder deletes nothing.
    const std::string sentinel = p.root + "/x";
    std::ofstream(sentinel) << "keep\n";
    EXPECT_EQ(Command("DeleteProgramFromFileSystem ../../x"), Error("could not parse command"));
    EXPECT_EQ(AppTest::ReadFile(sentinel), "keep\n");
}

TEST_F(HvpDemoProcess, TheSocatLineTheDemoPrintsShowsTheGreetingAndTheVersion) {
    if (std::system("command -v socat > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "socat not installed (scripts/deps.sh installs it)";
    }
    // The line as scripts/demo.sh prints it, with the port it expands.
    const std::string script = AppTest::ReadFile(std::string(BELVANTO_DEMO_DIR) + "/../scripts/demo.sh");
    const std::string head = "echo \"HVP: ";
    const std::size_t start = script.find(head);
    ASSERT_NE(start, std::string::npos) << "the demo script prints no HVP line";
    const std::size_t end = script.find("\"\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = script.substr(start + head.size(), end - start - head.size());
    ASSERT_NE(line.find("socat"), std::string::npos) << line;

    // As a user types it once the demo is up: the main loop stands still while it
    // connects the bus, longer than a closed client's linger.
    ASSERT_TRUE(AppTest::WaitForDemoDrives(p));
    const std::string command =
        "export BELVANTO_HVP_PORT=" + std::to_string(p.hvpPort) + "; timeout 20 sh -c \"" + line + "\" 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << out;
    EXPECT_NE(out.find(" MESSAGE Belvanto Version V980-13-030 HVPEND"), std::string::npos) << out << p.Output();
    EXPECT_NE(out.find(" INFO Version Belvanto 16 HVPEND"), std::string::npos) << out;
}

}  // namespace

#endif
